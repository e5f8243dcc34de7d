// JSON values and the one compact text form of them that the log, the graph file's metadata
// section and the export all write, plus type-sensitive equality and hashing of values.
//
// Values are nlohmann's tree. Two of its defaults are deliberately not used: its operator==
// and std::hash treat the integer 1 and the float 1.0 as the same value, and its dump() lays
// numbers out differently from our files. Use the functions here instead.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace quarn_core::json {

// Objects are std::maps, so their keys iterate in ascending byte order.
using Value = nlohmann::json;

// The deepest nesting a stored value may have: a scalar is depth 0, `{}` and `[1]` depth 1.
// The export document wraps each metadata value in three levels and its reader stops at 128,
// so every value within this limit can be exported and imported again.
inline constexpr std::size_t kMaxDepth = 125;

// The nesting depth of a value, computed without recursion.
std::size_t depth(const Value& value);
// Whether JSON text opens more than `limit` arrays or objects inside one another (strings
// skipped). A linear scan that needs no parse; the text need not be valid JSON.
bool nested_deeper_than(std::string_view text, std::size_t limit);

// Compact text: no whitespace, object keys in ascending byte order, integers (signed and
// unsigned 64-bit) as integers, floats through format_f64, strings through append_quoted.
// Binary and discarded values (which parse() never produces) are written as null.
std::string to_text(const Value& value);
// The same text, appended to out.
void append_text(std::string& out, const Value& value);

// Shortest text that reads back to the same double. With e the decimal exponent of the first
// significant digit: plain notation with a decimal point and at least one fraction digit for
// -5 <= e <= 15 (0.1, 1.0, -0.0, 1000000000000.0), otherwise scientific with a point only if
// there is more than one digit and a signed exponent without leading zeros (1e-7, 2.5e+16).
// NaN and infinities, which a JSON document cannot hold, come out as null.
std::string format_f64(double value);
// The same for a float (shortest text that reads back to the same float), plain for
// -6 <= e <= 12 (0.000001, 1000000000000.0), scientific otherwise; NaN and infinities as null.
std::string format_f32(float value);
void append_f64(std::string& out, double value);
void append_f32(std::string& out, float value);

// A JSON string literal: quote and backslash escaped, \n \t \r \b \f, other control
// characters as \u00xx (lowercase hex), everything else copied as is.
void append_quoted(std::string& out, std::string_view text);

// Parses one complete JSON document (surrounding whitespace allowed). Integers become signed
// or unsigned 64-bit values, other numbers doubles. Returns nullopt for anything that is not
// valid JSON, including numbers too large for a double, and for a document nested deeper than
// kMaxDepth. Never throws.
std::optional<Value> parse(std::string_view text);

// Writing, equality and hashing walk values with an explicit stack, so no nesting depth can
// exhaust the call stack.
//
// Type-sensitive equality: an integer never equals a float (1 != 1.0), signed and unsigned
// integers compare by value (int64 5 == uint64 5), floats by value (0.0 == -0.0), objects
// by their keys and values, arrays element by element.
bool json_equal(const Value& a, const Value& b);
// A hash consistent with json_equal.
std::size_t json_hash(const Value& value);

// Key traits for unordered containers keyed by values.
struct JsonHash {
  std::size_t operator()(const Value& value) const { return json_hash(value); }
};
struct JsonEqual {
  bool operator()(const Value& a, const Value& b) const { return json_equal(a, b); }
};

}  // namespace quarn_core::json
