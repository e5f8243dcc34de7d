// Import: the JSON document reader, with messages that name what was expected and the line
// and column, and the import of a document into a collection.
#include <fcntl.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "quarn_core/export.hpp"
#include "quarn_core/io.hpp"
#include "transfer.hpp"

namespace quarn_core::export_ {

using detail::failed;
using detail::interrupted;

namespace {

using error::fail;
using error::IoError;

constexpr int kMaxDepth = 128;

// A number as written: integers keep their exact value when they fit 64 bits.
struct Number {
  enum class Kind { Unsigned, Signed, Float } kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;
  std::string_view text;
};

// The text of a float as a value description: the shortest digits that read back, written
// out without an exponent, always with a decimal point.
std::string float_display(double value) {
  char buf[512];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (ec != std::errc()) return json::format_f64(value);
  std::string text(buf, end);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

// A string value as an error message shows it: quoted, with quotes, backslashes and control
// characters escaped.
std::string quoted_for_message(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out += "\\u{";
          if (u >= 0x10) out += kHex[u >> 4];
          out += kHex[u & 0xF];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Whether a float literal that from_chars found out of range is too large (rather than too
// small) for a double: the decimal exponent of its first significant digit is positive.
bool overflows(std::string_view text) {
  std::size_t p = 0;
  if (p < text.size() && text[p] == '-') ++p;
  long lead = -1;  // exponent of the first nonzero digit, before the written exponent
  long int_digits = 0;
  for (; p < text.size() && is_digit(text[p]); ++p, ++int_digits) {
    if (lead < 0 && text[p] != '0') lead = int_digits;
  }
  long exp10 = 0;
  bool found = lead >= 0;
  if (found) exp10 = int_digits - 1 - lead;
  if (p < text.size() && text[p] == '.') {
    ++p;
    for (long k = 1; p < text.size() && is_digit(text[p]); ++p, ++k) {
      if (!found && text[p] != '0') {
        found = true;
        exp10 = -k;
      }
    }
  }
  if (!found) return false;  // zero never overflows
  if (p < text.size() && (text[p] == 'e' || text[p] == 'E')) {
    ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    long e = 0;
    for (; p < text.size() && is_digit(text[p]); ++p) {
      e = std::min<long>(e * 10 + (text[p] - '0'), 1L << 40);
    }
    exp10 += negative ? -e : e;
  }
  return exp10 > 0;
}

// A strict recursive-descent reader over the whole document. Each method starts at the
// current position, returns false after recording the first failure, and never throws.
// Positions in messages are 1-based lines and byte columns: the offending character for an
// unexpected one, the last character of a value of the wrong type, the last character of
// the input for an early end.
class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  Result<ExportFormat> read() {
    ExportFormat doc;
    if (!read_format(doc)) return failure();
    if (peek() >= 0) {
      fail_peek("trailing characters");
      return failure();
    }
    return doc;
  }

 private:
  // The next non-whitespace byte (not consumed), or -1 at the end.
  int peek() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
        return static_cast<unsigned char>(c);
      }
      ++pos_;
    }
    return -1;
  }

  // Records a failure once consumed bytes have been read.
  bool fail_after(std::size_t consumed, std::string message) {
    if (!message_.empty()) return false;
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < consumed; ++i) {
      if (s_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    message_ = std::move(message) + " at line " + std::to_string(line) + " column " +
               std::to_string(consumed - line_start);
    return false;
  }
  // At the byte under the cursor (or the end of the input).
  bool fail_peek(std::string message) {
    return fail_after(std::min(pos_ + 1, s_.size()), std::move(message));
  }
  // At the last byte consumed.
  bool fail_here(std::string message) { return fail_after(pos_, std::move(message)); }
  bool fail_eof(std::string message) { return fail_after(s_.size(), std::move(message)); }

  std::unexpected<QuarnError> failure() const {
    return fail(QuarnError::corrupt("invalid JSON: " + message_));
  }

  bool invalid_type(const std::string& unexpected, std::string_view expected) {
    return fail_here("invalid type: " + unexpected + ", expected " + std::string(expected));
  }

  // Consumes the '[' or '{' under the cursor.
  bool enter() {
    if (++depth_ > kMaxDepth) return fail_peek("recursion limit exceeded");
    ++pos_;
    return true;
  }
  void leave() { --depth_; }

  // Reads a value of the wrong kind far enough to describe it, as "string \"x\"",
  // "integer `5`", "map" and so on. Arrays and objects are not read beyond their opening.
  bool describe(std::string& out) {
    const int c = peek();
    switch (c) {
      case -1:
        return fail_eof("EOF while parsing a value");
      case 'n':
        ++pos_;
        if (!literal("ull")) return false;
        out = "null";
        return true;
      case 't':
        ++pos_;
        if (!literal("rue")) return false;
        out = "boolean `true`";
        return true;
      case 'f':
        ++pos_;
        if (!literal("alse")) return false;
        out = "boolean `false`";
        return true;
      case '"': {
        std::string text;
        if (!string(text)) return false;
        out = "string " + quoted_for_message(text);
        return true;
      }
      case '[':
        ++pos_;
        out = "sequence";
        return true;
      case '{':
        ++pos_;
        out = "map";
        return true;
      default:
        if (c == '-' || is_digit(c)) {
          Number n;
          if (!number(n)) return false;
          out = describe(n);
          return true;
        }
        return fail_peek("expected value");
    }
  }

  static std::string describe(const Number& n) {
    switch (n.kind) {
      case Number::Kind::Unsigned:
        return "integer `" + std::to_string(n.u) + "`";
      case Number::Kind::Signed:
        return "integer `" + std::to_string(n.i) + "`";
      case Number::Kind::Float:
        break;
    }
    return "floating point `" + float_display(n.f) + "`";
  }

  bool wrong_type(std::string_view expected) {
    std::string unexpected;
    if (!describe(unexpected)) return false;
    return invalid_type(unexpected, expected);
  }

  // The rest of null, true or false after its first letter.
  bool literal(std::string_view rest) {
    for (char expected : rest) {
      if (pos_ >= s_.size()) return fail_eof("EOF while parsing a value");
      if (s_[pos_] != expected) {
        ++pos_;
        return fail_here("expected ident");
      }
      ++pos_;
    }
    return true;
  }

  // A number at the cursor (which holds '-' or a digit).
  bool number(Number& out) {
    const std::size_t start = pos_;
    const bool negative = s_[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ >= s_.size()) return fail_eof("EOF while parsing a value");
    if (s_[pos_] == '0') {
      ++pos_;
      if (pos_ < s_.size() && is_digit(s_[pos_])) return fail_peek("invalid number");
    } else if (is_digit(s_[pos_])) {
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    } else {
      return fail_peek("invalid number");
    }
    bool is_float = false;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      is_float = true;
      ++pos_;
      if (pos_ >= s_.size()) return fail_eof("EOF while parsing a value");
      if (!is_digit(s_[pos_])) return fail_peek("invalid number");
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      is_float = true;
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (pos_ >= s_.size()) return fail_eof("EOF while parsing a value");
      if (!is_digit(s_[pos_])) return fail_peek("invalid number");
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    }
    out.text = s_.substr(start, pos_ - start);
    const char* first = out.text.data();
    const char* last = first + out.text.size();
    if (!is_float) {
      // Integers that do not fit 64 bits are read as floats, like any other number.
      if (negative) {
        auto [p, ec] = std::from_chars(first, last, out.i);
        if (ec == std::errc() && p == last) {
          out.kind = Number::Kind::Signed;
          return true;
        }
      } else {
        auto [p, ec] = std::from_chars(first, last, out.u);
        if (ec == std::errc() && p == last) {
          out.kind = Number::Kind::Unsigned;
          return true;
        }
      }
    }
    out.kind = Number::Kind::Float;
    auto [p, ec] = std::from_chars(first, last, out.f);
    if (ec == std::errc::result_out_of_range) {
      if (overflows(out.text)) return fail_here("number out of range");
      out.f = negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || p != last) {
      return fail_here("invalid number");
    }
    return true;
  }

  // A string at the cursor (which holds the opening quote), unescaped into out.
  bool string(std::string& out) {
    ++pos_;
    for (;;) {
      // Copy a run of plain characters in one go.
      std::size_t run = pos_;
      while (run < s_.size()) {
        const auto u = static_cast<unsigned char>(s_[run]);
        if (u == '"' || u == '\\' || u < 0x20 || u >= 0x80) break;
        ++run;
      }
      out.append(s_, pos_, run - pos_);
      pos_ = run;
      if (pos_ >= s_.size()) return fail_eof("EOF while parsing a string");
      const auto u = static_cast<unsigned char>(s_[pos_]);
      if (u == '"') {
        ++pos_;
        return true;
      }
      if (u == '\\') {
        ++pos_;
        if (!escape(out)) return false;
        continue;
      }
      if (u < 0x20) {
        return fail_peek("control character (\\u0000-\\u001F) found while parsing a string");
      }
      // Ids, keys and values must be well-formed UTF-8: nothing downstream can show
      // anything else.
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(s_.data() + pos_);
      const auto length = static_cast<std::int32_t>(std::min<std::size_t>(4, s_.size() - pos_));
      std::int32_t i = 0;
      UChar32 c;
      U8_NEXT(bytes, i, length, c);
      if (c < 0) return fail_peek("invalid unicode code point");
      out.append(s_, pos_, static_cast<std::size_t>(i));
      pos_ += static_cast<std::size_t>(i);
    }
  }

  // Four hex digits of a \u escape.
  bool hex4(std::uint32_t& out) {
    out = 0;
    for (int k = 0; k < 4; ++k) {
      if (pos_ >= s_.size()) return fail_eof("EOF while parsing a string");
      const int v = hex_value(s_[pos_++]);
      if (v < 0) return fail_here("invalid escape");
      out = out * 16 + static_cast<std::uint32_t>(v);
    }
    return true;
  }

  // The escape after a backslash.
  bool escape(std::string& out) {
    if (pos_ >= s_.size()) return fail_eof("EOF while parsing a string");
    const char c = s_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return fail_here("invalid escape");
    }
    std::uint32_t cp;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_here("invalid unicode code point");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A leading surrogate must be followed by the escape of its trailing half.
      if (pos_ + 1 >= s_.size()) return fail_eof("EOF while parsing a string");
      if (s_[pos_] != '\\' || s_[pos_ + 1] != 'u') {
        ++pos_;
        return fail_here("unexpected end of hex escape");
      }
      pos_ += 2;
      std::uint32_t low;
      if (!hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, cp);
    return true;
  }

  // The items of an array or object whose opening bracket is under the cursor, up to and
  // past `close`: separators, trailing commas and early ends are checked here, and item()
  // reads one item starting at the cursor.
  template <class F>
  bool items(char close, const char* eof_message, const char* separator_message, F&& item) {
    if (!enter()) return false;
    bool first = true;
    for (;;) {
      int c = peek();
      if (c == close) {
        ++pos_;
        break;
      }
      if (c == ',' && !first) {
        ++pos_;
        c = peek();
      } else if (c < 0) {
        return fail_eof(eof_message);
      } else if (!first) {
        return fail_peek(separator_message);
      }
      first = false;
      if (c == close) return fail_peek("trailing comma");
      if (c < 0) return fail_eof("EOF while parsing a value");
      if (!item(c)) return false;
    }
    leave();
    return true;
  }

  // The elements of an array whose '[' is under the cursor; element() reads one at the
  // cursor. Ends after the ']'.
  template <class F>
  bool sequence(F&& element) {
    return items(']', "EOF while parsing a list", "expected `,` or `]`",
                 [&](int) { return element(); });
  }

  // The members of an object whose '{' is under the cursor; member(key) is called after
  // each key and reads the colon and the value. Ends after the '}'.
  template <class F>
  bool object(F&& member) {
    return items('}', "EOF while parsing an object", "expected `,` or `}`", [&](int c) {
      if (c != '"') return fail_peek("key must be a string");
      std::string key;
      if (!string(key)) return false;
      return member(key);
    });
  }

  bool colon() {
    const int c = peek();
    if (c == ':') {
      ++pos_;
      return true;
    }
    if (c < 0) return fail_eof("EOF while parsing an object");
    return fail_peek("expected `:`");
  }

  bool duplicate(std::string_view field) {
    peek();
    return fail_here("duplicate field `" + std::string(field) + "`");
  }

  // Any JSON value; built into *out unless out is null (a skipped member).
  bool value(json::Value* out) {
    const int c = peek();
    switch (c) {
      case -1:
        return fail_eof("EOF while parsing a value");
      case 'n':
        ++pos_;
        if (!literal("ull")) return false;
        if (out) *out = nullptr;
        return true;
      case 't':
        ++pos_;
        if (!literal("rue")) return false;
        if (out) *out = true;
        return true;
      case 'f':
        ++pos_;
        if (!literal("alse")) return false;
        if (out) *out = false;
        return true;
      case '"': {
        std::string text;
        if (!string(text)) return false;
        if (out) *out = std::move(text);
        return true;
      }
      case '[': {
        if (out) *out = json::Value::array();
        return sequence([&] {
          if (!out) return value(nullptr);
          json::Value item;
          if (!value(&item)) return false;
          out->get_ref<json::Value::array_t&>().push_back(std::move(item));
          return true;
        });
      }
      case '{': {
        if (out) *out = json::Value::object();
        return object([&](std::string& key) {
          if (!colon()) return false;
          if (!out) return value(nullptr);
          json::Value item;
          if (!value(&item)) return false;
          // A repeated key keeps its last value.
          out->get_ref<json::Value::object_t&>().insert_or_assign(std::move(key), std::move(item));
          return true;
        });
      }
      default:
        if (c == '-' || is_digit(c)) {
          Number n;
          if (!number(n)) return false;
          if (out) {
            switch (n.kind) {
              case Number::Kind::Unsigned:
                *out = n.u;
                break;
              case Number::Kind::Signed:
                *out = n.i;
                break;
              case Number::Kind::Float:
                *out = n.f;
                break;
            }
          }
          return true;
        }
        return fail_peek("expected value");
    }
  }

  // A non-negative integer no larger than max.
  bool unsigned_integer(std::uint64_t& out, std::uint64_t max, std::string_view expected) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return wrong_type(expected);
    Number n;
    if (!number(n)) return false;
    switch (n.kind) {
      case Number::Kind::Unsigned:
        if (n.u > max) break;
        out = n.u;
        return true;
      case Number::Kind::Signed:
        if (n.i < 0) break;
        out = static_cast<std::uint64_t>(n.i);
        return true;
      case Number::Kind::Float:
        return invalid_type(describe(n), expected);
    }
    return fail_here("invalid value: " + describe(n) + ", expected " + std::string(expected));
  }

  bool f32(float& out) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) return wrong_type("f32");
    Number n;
    if (!number(n)) return false;
    switch (n.kind) {
      case Number::Kind::Unsigned:
        out = static_cast<float>(n.u);
        return true;
      case Number::Kind::Signed:
        out = static_cast<float>(n.i);
        return true;
      case Number::Kind::Float:
        break;
    }
    // Round the decimal text straight to the nearest float rather than through a double.
    const char* last = n.text.data() + n.text.size();
    auto [p, ec] = std::from_chars(n.text.data(), last, out);
    if (ec != std::errc() || p != last) out = static_cast<float>(n.f);
    return true;
  }

  bool text(std::string& out) {
    if (peek() != '"') return wrong_type("a string");
    return string(out);
  }

  bool floats(std::vector<float>& out) {
    if (peek() != '[') return wrong_type("a sequence");
    return sequence([&] {
      float x;
      if (!f32(x)) return false;
      out.push_back(x);
      return true;
    });
  }

  bool metadata(std::optional<json::Value>& out) {
    json::Value v;
    if (!value(&v)) return false;
    if (v.is_null()) {
      out.reset();
    } else {
      out = std::move(v);
    }
    return true;
  }

  // A record in either form a document may hold: the array of its fields in order (exactly
  // keys.size() values), or the object of them by key (unknown keys skipped; a key given
  // twice, or one of the first `required` keys missing, refused). field(i) reads keys[i].
  // The array form has the first `positional` fields only (all of them unless given): a
  // member added later to the object form does not change what an array must hold.
  template <std::size_t N, class F>
  bool record(std::string_view name, const std::array<std::string_view, N>& keys,
              std::size_t required, F&& field, std::size_t positional = N) {
    const int c = peek();
    if (c == '[') {
      std::size_t count = 0;
      const bool ok = sequence([&] {
        const std::size_t i = count++;
        return i < positional ? field(i) : value(nullptr);
      });
      if (!ok) return false;
      if (count == positional) return true;
      return fail_here("invalid length " + std::to_string(count) + ", expected struct " +
                       std::string(name) + " with " + std::to_string(positional) +
                       " elements");
    }
    if (c != '{') return wrong_type("struct " + std::string(name));
    std::array<bool, N> seen{};
    const bool ok = object([&](const std::string& key) {
      const auto at =
          static_cast<std::size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
      if (at == N) return colon() && value(nullptr);
      if (seen[at]) return duplicate(key);
      seen[at] = true;
      return colon() && field(at);
    });
    if (!ok) return false;
    for (std::size_t i = 0; i < required; ++i) {
      if (!seen[i]) return fail_here("missing field `" + std::string(keys[i]) + "`");
    }
    return true;
  }

  bool read_entry(ExportVector& out) {
    static constexpr std::array<std::string_view, 3> kKeys{"id", "vector", "metadata"};
    return record("ExportVector", kKeys, 2, [&](std::size_t i) {
      switch (i) {
        case 0:
          return text(out.id);
        case 1:
          return floats(out.vector);
        default:
          return metadata(out.metadata);
      }
    });
  }

  bool entries(std::vector<ExportVector>& out) {
    if (peek() != '[') return wrong_type("a sequence");
    return sequence([&] {
      ExportVector entry;
      if (!read_entry(entry)) return false;
      out.push_back(std::move(entry));
      return true;
    });
  }

  bool version(std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!unsigned_integer(v, std::numeric_limits<std::uint32_t>::max(), "u32")) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  bool dim(std::size_t& out) {
    std::uint64_t v = 0;
    if (!unsigned_integer(v, std::numeric_limits<std::size_t>::max(), "usize")) return false;
    out = static_cast<std::size_t>(v);
    return true;
  }

  bool read_format(ExportFormat& out) {
    static constexpr std::array<std::string_view, 5> kKeys{"version", "dim", "metric", "vectors",
                                                           "text_indexes"};
    return record(
        "ExportFormat", kKeys, 4,
        [&](std::size_t i) {
          switch (i) {
            case 0:
              return version(out.version);
            case 1:
              return dim(out.dim);
            case 2:
              return text(out.metric);
            case 3:
              return entries(out.vectors);
            default:
              return text_indexes(out.text_indexes);
          }
        },
        4);
  }

  // [{"field": "title", "language": "english" or null}, ...]
  bool text_indexes(std::vector<text::TextIndexSpec>& out) {
    static constexpr std::array<std::string_view, 2> kKeys{"field", "language"};
    if (peek() != '[') return wrong_type("a sequence");
    return sequence([&] {
      text::TextIndexSpec spec;
      const bool ok = record("TextIndex", kKeys, 2, [&](std::size_t i) {
        if (i == 0) return text(spec.field);
        if (peek() == 'n') return value(nullptr);  // null: no language
        std::string language;
        if (!text(language)) return false;
        spec.language = std::move(language);
        return true;
      });
      if (!ok) return false;
      out.push_back(std::move(spec));
      return true;
    });
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::string message_;
};

// Entries per block of an import: each block is one batch insert, whose first vectors link
// one by one, so blocks stay large (about twenty over the document).
std::size_t import_step(std::size_t total) { return std::max<std::size_t>(4096, total / 20); }

}  // namespace

Result<ExportFormat> parse_document(std::string_view text) { return Reader(text).read(); }

TransferResult<void> import_json(db::Database& db, const std::filesystem::path& path,
                                 const Progress& progress) {
  auto fd = io::open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(failed(std::move(fd.error()), true));

  // Reading is part of parsing the document: a file that opens but cannot be read (a
  // directory, say) is a document that does not parse.
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd->get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string why = IoError::from_errno(errno).to_string();
      return std::unexpected(failed(QuarnError::corrupt("invalid JSON: " + why)));
    }
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  fd->reset();

  auto doc = parse_document(text);
  if (!doc) return std::unexpected(failed(std::move(doc.error())));
  if (doc->dim != db.dim()) {
    return std::unexpected(failed(QuarnError::dimension_mismatch(db.dim(), doc->dim)));
  }
  // The text indexes come first, so that the records are indexed as they are added; a
  // definition this collection cannot take (an unknown language, or the field indexed with
  // another) refuses the document before anything changes.
  for (const auto& spec : doc->text_indexes) {
    if (spec.language) {
      if (auto bad = text::check_language(*spec.language)) {
        return std::unexpected(failed(QuarnError::corrupt("text index on '" + spec.field +
                                                          "': " + std::move(*bad))));
      }
    }
    for (const auto& have : db.text_indexes()) {
      if (have.field == spec.field && have.language != spec.language) {
        return std::unexpected(failed(QuarnError::invalid_argument(
            "the document indexes the text of '" + spec.field +
            "' with another language than this collection does: drop its text index first")));
      }
    }
  }
  for (const auto& spec : doc->text_indexes) {
    if (auto r = db.create_text_index(spec.field, spec.language); !r) {
      return std::unexpected(failed(std::move(r.error())));
    }
  }
  // A number too large for a float reads as infinity; nothing non-finite may be stored.
  for (const auto& entry : doc->vectors) {
    for (std::size_t i = 0; i < entry.vector.size(); ++i) {
      if (std::isfinite(entry.vector[i])) continue;
      return std::unexpected(failed(QuarnError::corrupt("vector of id '" + entry.id +
                                                        "' has a non-finite component at index " +
                                                        std::to_string(i))));
    }
  }
  std::vector<db::Record> records;
  records.reserve(doc->vectors.size());
  for (auto& entry : doc->vectors) {
    records.push_back(
        db::Record{std::move(entry.id), std::move(entry.vector), std::move(entry.metadata)});
  }
  if (!progress) {
    if (auto r = db.upsert_many(std::move(records)); !r) {
      return std::unexpected(failed(std::move(r.error())));
    }
    return {};
  }
  // In blocks, so that progress can be told; the dimensions are checked first so that a bad
  // entry still changes nothing.
  for (const auto& record : records) {
    if (record.vector.size() != db.dim()) {
      return std::unexpected(
          failed(QuarnError::dimension_mismatch(db.dim(), record.vector.size())));
    }
  }
  const std::size_t total = records.size(), step = import_step(total);
  for (std::size_t done = 0; done < total;) {
    const std::size_t end = std::min(total, done + step);
    std::vector<db::Record> block(std::make_move_iterator(records.begin() + done),
                                  std::make_move_iterator(records.begin() + end));
    if (auto r = db.upsert_many(std::move(block)); !r) {
      return std::unexpected(failed(std::move(r.error())));
    }
    done = end;
    if (!progress(done, total)) return std::unexpected(interrupted());
  }
  if (total == 0 && !progress(0, 0)) return std::unexpected(interrupted());
  return {};
}

}  // namespace quarn_core::export_
