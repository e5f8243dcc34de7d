#include "quarn_core/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace quarn_core::json {
namespace {

TEST(JsonFormatTest, F64Layout) {
  struct Case {
    double x;
    const char* text;
  };
  // clang-format off
  const Case cases[] = {
      {1e-7, "1e-7"}, {0.1, "0.1"}, {1.0, "1.0"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {-2.5, "-2.5"},
      {2.5e13, "25000000000000.0"}, {2.5e16, "2.5e+16"}, {1000000000000.0, "1000000000000.0"},
      {1e15, "1000000000000000.0"}, {1e16, "1e+16"}, {1e-5, "0.00001"}, {1.5e-5, "0.000015"},
      {1e-6, "1e-6"}, {123.456, "123.456"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"}, {-1e100, "-1e+100"}, {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_f64(c.x), c.text);
    EXPECT_EQ(to_text(Value(c.x)), c.text);
  }
}

TEST(JsonFormatTest, F32Layout) {
  struct Case {
    float x;
    const char* text;
  };
  const Case cases[] = {
      {1e-7f, "1e-7"},         {0.1f, "0.1"},
      {1.0f, "1.0"},           {0.5f, "0.5"},
      {-0.0f, "-0.0"},         {1e-6f, "0.000001"},
      {2.5e13f, "2.5e+13"},    {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},        {3.4028235e38f, "3.4028235e+38"},
      {std::nanf(""), "null"}, {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_f32(c.x), c.text);
  }
}

// Whatever the layout, the text must read back to the same bits.
TEST(JsonFormatTest, RoundTripsRandomBitPatterns) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = rng();
    SCOPED_TRACE(bits);
    const double d = std::bit_cast<double>(bits);
    if (std::isfinite(d)) {
      const auto back = parse(format_f64(d));
      ASSERT_TRUE(back && back->is_number_float());
      EXPECT_EQ(std::bit_cast<std::uint64_t>(back->get<double>()), bits);
    }
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (std::isfinite(f)) {
      EXPECT_EQ(std::strtof(format_f32(f).c_str(), nullptr), f);
    }
  }
}

TEST(JsonWriterTest, CompactText) {
  struct Case {
    Value v;
    const char* text;
  };
  const Case cases[] = {
      {Value(123456789012345678LL), "123456789012345678"},
      {Value(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {Value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value(nullptr), "null"},
      {Value(true), "true"},
      {Value::array(), "[]"},
      {Value::object(), "{}"},
      {Value::array({1, 2.0, "x", nullptr, false}), R"([1,2.0,"x",null,false])"},
      // Keys in ascending byte order: upper case before lower, multi-byte UTF-8 last.
      {Value{{"b", 1}, {"a", Value{{"z", 0.5}, {"Z", 1}}}, {"\xC3\xA9", 2}},
       "{\"a\":{\"Z\":1,\"z\":0.5},\"b\":1,\"\xC3\xA9\":2}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(to_text(c.v), c.text);
  }
}

TEST(JsonWriterTest, StringEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\n\t\r\b\f", R"("\n\t\r\b\f")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f/<", "\"\x7f/<\""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(to_text(Value(c.in)), c.out);
    const auto back = parse(c.out);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->get<std::string>(), c.in);
  }
}

TEST(JsonParseTest, AcceptsAndRejects) {
  const auto big = parse("18446744073709551615");
  ASSERT_TRUE(big);
  EXPECT_TRUE(big->is_number_unsigned());
  const auto neg = parse(" -5 ");
  ASSERT_TRUE(neg);
  EXPECT_EQ(neg->get<std::int64_t>(), -5);
  EXPECT_TRUE(parse("1.0")->is_number_float());
  EXPECT_TRUE(parse("1e2")->is_number_float());

  for (const char* bad : {"", "{", "[1,]", "{\"a\":1} x", "NaN", "Infinity", "-Infinity", "1e400",
                          "-1e400", "\"\xFF\"", "'a'", "{\"a\" 1}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse(bad).has_value());
  }
}

TEST(JsonEqualTest, TypeSensitiveTable) {
  const std::vector<std::pair<const char*, Value>> values = {
      {"int 1", Value(1)},
      {"float 1.0", Value(1.0)},
      {"string 1", Value("1")},
      {"true", Value(true)},
      {"null", Value(nullptr)},
      {"[1]", Value::array({1})},
      {"[1.0]", Value::array({1.0})},
      {"{a:1}", Value{{"a", 1}}},
      {"{a:1.0}", Value{{"a", 1.0}}},
      {"int -1", Value(-1)},
      {"uint max", Value(std::numeric_limits<std::uint64_t>::max())},
  };
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = 0; j < values.size(); ++j) {
      SCOPED_TRACE(std::string(values[i].first) + " vs " + values[j].first);
      EXPECT_EQ(json_equal(values[i].second, values[j].second), i == j);
    }
  }

  // Equal across representations, and hashed alike.
  const std::pair<Value, Value> same[] = {
      {Value(std::int64_t{5}), Value(std::uint64_t{5})},
      {Value(0.0), Value(-0.0)},
      {Value{{"k", std::int64_t{7}}}, Value{{"k", std::uint64_t{7}}}},
      {Value::array({-0.0, "x"}), Value::array({0.0, "x"})},
  };
  for (const auto& [a, b] : same) {
    SCOPED_TRACE(to_text(a) + " vs " + to_text(b));
    EXPECT_TRUE(json_equal(a, b));
    EXPECT_TRUE(json_equal(b, a));
    EXPECT_EQ(json_hash(a), json_hash(b));
  }
}

}  // namespace
}  // namespace quarn_core::json
