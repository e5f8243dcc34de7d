#include "quarn_core/json.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <system_error>
#include <utility>
#include <vector>

namespace quarn_core::json {
namespace {

// Lays out the shortest round-trip digits of a finite number. to_chars in scientific form
// gives exactly those digits as "d[.ddd]e±XX"; we take the digits and the exponent apart and
// place the point ourselves.
template <class F>
void append_float(std::string& out, F value, int plain_min_exp, int plain_max_exp) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  (void)ec;  // 64 bytes always hold a scientific double.
  std::string_view text(buf, static_cast<std::size_t>(end - buf));

  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  const std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp = 0;
  std::string_view exp_text = text.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);

  if (negative) out += '-';
  const int n = static_cast<int>(digits.size());
  if (exp >= plain_min_exp && exp <= plain_max_exp) {
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    } else if (n > exp + 1) {
      out.append(digits, 0, static_cast<std::size_t>(exp + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exp + 1));
    } else {
      out += digits;
      out.append(static_cast<std::size_t>(exp + 1 - n), '0');
      out += ".0";
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  out += exp < 0 ? '-' : '+';
  out += std::to_string(exp < 0 ? -exp : exp);
}

template <class I>
void append_integer(std::string& out, I value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // 24 bytes hold any 64-bit integer.
  out.append(buf, end);
}

// Integers of either signedness share one hash space so that int64 5 and uint64 5 collide,
// as json_equal requires.
enum class HashTag : std::uint64_t { Null = 1, Bool, Integer, Float, String, Array, Object, Other };

std::size_t mix(std::size_t seed, std::size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

bool is_integer(const Value& v) { return v.is_number_integer(); }

bool integers_equal(const Value& a, const Value& b) {
  const bool a_unsigned = a.is_number_unsigned();
  const bool b_unsigned = b.is_number_unsigned();
  if (a_unsigned && b_unsigned) {
    return a.get<std::uint64_t>() == b.get<std::uint64_t>();
  }
  if (!a_unsigned && !b_unsigned) return a.get<std::int64_t>() == b.get<std::int64_t>();
  const std::int64_t s = a_unsigned ? b.get<std::int64_t>() : a.get<std::int64_t>();
  const std::uint64_t u = a_unsigned ? a.get<std::uint64_t>() : b.get<std::uint64_t>();
  return s >= 0 && static_cast<std::uint64_t>(s) == u;
}

}  // namespace

void append_f64(std::string& out, double value) { append_float(out, value, -5, 15); }
void append_f32(std::string& out, float value) { append_float(out, value, -6, 12); }

std::string format_f64(double value) {
  std::string out;
  append_f64(out, value);
  return out;
}

std::string format_f32(float value) {
  std::string out;
  append_f32(out, value);
  return out;
}

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
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
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default: {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20) {
          out += "\\u00";
          out += kHex[u >> 4];
          out += kHex[u & 0xF];
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

namespace {

void append_scalar(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Value::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case Value::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return;
    case Value::value_t::number_float:
      append_f64(out, value.get<double>());
      return;
    case Value::value_t::string:
      append_quoted(out, value.get_ref<const std::string&>());
      return;
    default:
      out += "null";
      return;
  }
}

// One array or object being walked: the next element's index or member.
struct Frame {
  const Value* value;
  std::size_t index = 0;
  Value::object_t::const_iterator member{};
  std::size_t hash = 0;
};

Frame open_frame(const Value& value, std::size_t hash) {
  Frame f{&value};
  if (value.is_object()) f.member = value.get_ref<const Value::object_t&>().begin();
  f.hash = hash;
  return f;
}

}  // namespace

void append_text(std::string& out, const Value& value) {
  std::vector<Frame> stack;
  const Value* next = &value;
  for (;;) {
    if (next != nullptr) {
      const Value& v = *next;
      next = nullptr;
      if (v.is_array()) {
        out += '[';
        stack.push_back(open_frame(v, 0));
      } else if (v.is_object()) {
        out += '{';
        stack.push_back(open_frame(v, 0));
      } else {
        append_scalar(out, v);
      }
    }
    if (stack.empty()) return;
    Frame& f = stack.back();
    if (f.value->is_array()) {
      const auto& items = f.value->get_ref<const Value::array_t&>();
      if (f.index == items.size()) {
        out += ']';
        stack.pop_back();
        continue;
      }
      if (f.index > 0) out += ',';
      next = &items[f.index++];
    } else {
      const auto& members = f.value->get_ref<const Value::object_t&>();
      if (f.member == members.end()) {
        out += '}';
        stack.pop_back();
        continue;
      }
      if (f.member != members.begin()) out += ',';
      append_quoted(out, f.member->first);
      out += ':';
      next = &f.member->second;
      ++f.member;
    }
  }
}

std::size_t depth(const Value& value) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Value*, std::size_t>> stack{{&value, 0}};
  while (!stack.empty()) {
    auto [v, d] = stack.back();
    stack.pop_back();
    if (v->is_array()) {
      deepest = std::max(deepest, d + 1);
      for (const auto& item : v->get_ref<const Value::array_t&>()) stack.emplace_back(&item, d + 1);
    } else if (v->is_object()) {
      deepest = std::max(deepest, d + 1);
      for (const auto& [key, item] : v->get_ref<const Value::object_t&>()) {
        stack.emplace_back(&item, d + 1);
      }
    }
  }
  return deepest;
}

bool nested_deeper_than(std::string_view text, std::size_t limit) {
  std::size_t level = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++level > limit) return true;
    } else if ((c == ']' || c == '}') && level > 0) {
      --level;
    }
  }
  return false;
}

std::string to_text(const Value& value) {
  std::string out;
  append_text(out, value);
  return out;
}

std::optional<Value> parse(std::string_view text) {
  // The parser itself keeps its own stack, but every later walk of a value (copies, the
  // metadata index, conversion to Python) is bounded by this limit.
  if (nested_deeper_than(text, kMaxDepth)) return std::nullopt;
  try {
    // The non-throwing form reports a syntax error, and a number that overflows a double,
    // as a discarded value.
    Value v = Value::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (v.is_discarded()) return std::nullopt;
    return v;
  } catch (const std::exception&) {
    // Only allocation failure can still get here; keep it inside the core.
    return std::nullopt;
  }
}

namespace {

// One level of json_equal: whether a and b can be equal, pushing their children's pairs.
bool equal_shallow(const Value& a, const Value& b,
                   std::vector<std::pair<const Value*, const Value*>>& pending) {
  if (is_integer(a) || is_integer(b)) {
    return is_integer(a) && is_integer(b) && integers_equal(a, b);
  }
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      return true;
    case Value::value_t::boolean:
      return a.get<bool>() == b.get<bool>();
    case Value::value_t::number_float:
      return a.get<double>() == b.get<double>();
    case Value::value_t::string:
      return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
    case Value::value_t::array: {
      const auto& x = a.get_ref<const Value::array_t&>();
      const auto& y = b.get_ref<const Value::array_t&>();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) pending.emplace_back(&x[i], &y[i]);
      return true;
    }
    case Value::value_t::object: {
      const auto& x = a.get_ref<const Value::object_t&>();
      const auto& y = b.get_ref<const Value::object_t&>();
      if (x.size() != y.size()) return false;
      // Both maps iterate in the same key order, so equal objects line up pair by pair.
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first) return false;
        pending.emplace_back(&i->second, &j->second);
      }
      return true;
    }
    case Value::value_t::binary:
      return a.get_binary() == b.get_binary();
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
      break;  // handled above
  }
  return false;
}

std::size_t scalar_hash(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
      return static_cast<std::size_t>(HashTag::Null);
    case Value::value_t::boolean:
      return mix(static_cast<std::size_t>(HashTag::Bool), value.get<bool>() ? 1 : 0);
    case Value::value_t::number_integer:
      return mix(static_cast<std::size_t>(HashTag::Integer),
                 std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(value.get<std::int64_t>())));
    case Value::value_t::number_unsigned:
      return mix(static_cast<std::size_t>(HashTag::Integer),
                 std::hash<std::uint64_t>{}(value.get<std::uint64_t>()));
    case Value::value_t::number_float: {
      double d = value.get<double>();
      if (d == 0.0) d = 0.0;  // -0.0 equals 0.0, so it must hash alike
      return mix(static_cast<std::size_t>(HashTag::Float),
                 std::hash<std::uint64_t>{}(std::bit_cast<std::uint64_t>(d)));
    }
    case Value::value_t::string:
      return mix(static_cast<std::size_t>(HashTag::String),
                 std::hash<std::string_view>{}(value.get_ref<const std::string&>()));
    default:
      return static_cast<std::size_t>(HashTag::Other);
  }
}

}  // namespace

bool json_equal(const Value& a, const Value& b) {
  // Scalars compare without the stack: the metadata index compares its keys (all scalars)
  // while removing entries, which must not allocate and so cannot fail.
  std::vector<std::pair<const Value*, const Value*>> pending;
  if (!a.is_structured() || !b.is_structured()) return equal_shallow(a, b, pending);
  pending.emplace_back(&a, &b);
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (!equal_shallow(*x, *y, pending)) return false;
  }
  return true;
}

std::size_t json_hash(const Value& value) {
  // Post-order: a container's hash folds in its children's hashes in order, so each frame
  // carries its running hash until its last child is done.
  std::vector<Frame> stack;
  const Value* next = &value;
  for (;;) {
    std::optional<std::size_t> finished;
    if (next != nullptr) {
      const Value& v = *next;
      next = nullptr;
      if (v.is_array()) {
        stack.push_back(open_frame(v, static_cast<std::size_t>(HashTag::Array)));
      } else if (v.is_object()) {
        stack.push_back(open_frame(v, static_cast<std::size_t>(HashTag::Object)));
      } else {
        finished = scalar_hash(v);
      }
    }
    if (finished) {
      if (stack.empty()) return *finished;
      stack.back().hash = mix(stack.back().hash, *finished);
    }
    Frame& f = stack.back();
    if (f.value->is_array()) {
      const auto& items = f.value->get_ref<const Value::array_t&>();
      if (f.index == items.size()) {
        const std::size_t h = f.hash;
        stack.pop_back();
        if (stack.empty()) return h;
        stack.back().hash = mix(stack.back().hash, h);
        continue;
      }
      next = &items[f.index++];
    } else {
      const auto& members = f.value->get_ref<const Value::object_t&>();
      if (f.member == members.end()) {
        const std::size_t h = f.hash;
        stack.pop_back();
        if (stack.empty()) return h;
        stack.back().hash = mix(stack.back().hash, h);
        continue;
      }
      f.hash = mix(f.hash, std::hash<std::string_view>{}(f.member->first));
      next = &f.member->second;
      ++f.member;
    }
  }
}

}  // namespace quarn_core::json
