#include "quarn_core/filter.hpp"

#include <gtest/gtest.h>

namespace quarn_core::db {
namespace {

using json::Value;

std::optional<Value> md(const char* text) { return json::parse(text); }

TEST(FilterTest, MatchesTruthTable) {
  struct Case {
    const char* name;
    Filter filter;
    const char* metadata;  // nullptr: no metadata
    bool expected;
  };
  const Case cases[] = {
      {"eq int", Filter::eq("n", 1), R"({"n":1})", true},
      {"eq int vs float", Filter::eq("n", 1), R"({"n":1.0})", false},
      {"eq float vs int", Filter::eq("n", 1.0), R"({"n":1})", false},
      {"eq int vs string", Filter::eq("n", 1), R"({"n":"1"})", false},
      {"eq bool vs int", Filter::eq("flag", true), R"({"flag":1})", false},
      {"eq bool", Filter::eq("flag", true), R"({"flag":true})", true},
      {"eq unsigned vs signed", Filter::eq("n", Value(std::uint64_t{5})), R"({"n":5})", true},
      {"eq missing", Filter::eq("n", 1), R"({"m":1})", false},
      {"eq key case", Filter::eq("N", 1), R"({"n":1})", false},
      {"eq dotted key", Filter::eq("a.b", 1), R"({"a.b":1,"a":{"b":2}})", true},
      {"ne missing field", Filter::ne("x", 1), R"({"y":2})", true},
      {"ne no metadata", Filter::ne("x", 1), nullptr, false},
      {"ne non-object", Filter::ne("x", 1), "[1,2]", false},
      {"ne equal", Filter::ne("x", 1), R"({"x":1})", false},
      {"ne other type", Filter::ne("x", 1), R"({"x":1.0})", true},
      {"in hit", Filter::in("t", {Value("a"), Value(2)}), R"({"t":2})", true},
      {"in miss", Filter::in("t", {Value("a"), Value(2)}), R"({"t":2.0})", false},
      {"in empty", Filter::in("t", {}), R"({"t":2})", false},
      {"gte int vs float bound", Filter::gte("n", 1.0), R"({"n":1})", true},
      {"gt equal", Filter::gt("n", 1.0), R"({"n":1})", false},
      {"lt string never", Filter::lt("n", 10.0), R"({"n":"7"})", false},
      {"lte bool never", Filter::lte("n", 10.0), R"({"n":true})", false},
      {"lt unsigned big", Filter::lt("n", 1e20), R"({"n":18446744073709551615})", true},
      {"range missing", Filter::gt("n", 0.0), R"({})", false},
      {"range nan bound", Filter::lt("n", std::nan("")), R"({"n":1})", false},
      {"and empty object", Filter::all_of({}), R"({})", true},
      {"and empty no metadata", Filter::all_of({}), nullptr, false},
      {"and both", Filter::all_of({Filter::eq("a", 1), Filter::gt("b", 2.0)}), R"({"a":1,"b":3})",
       true},
      {"and one fails", Filter::all_of({Filter::eq("a", 1), Filter::gt("b", 2.0)}),
       R"({"a":1,"b":2})", false},
      {"or empty", Filter::any_of({}), R"({"a":1})", false},
      {"or one", Filter::any_of({Filter::eq("a", 2), Filter::eq("a", 1)}), R"({"a":1})", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<Value> m = c.metadata ? md(c.metadata) : std::nullopt;
    if (c.metadata) {
      ASSERT_TRUE(m.has_value());
    }
    EXPECT_EQ(c.filter.matches(m), c.expected);
  }
}

class MetadataIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    metadata_ = {md(R"({"color":"red","n":1})"),  md(R"({"color":"red","n":1.0})"),
                 md(R"({"color":"blue","n":"1"})"), std::nullopt,
                 md(R"({"color":null,"tags":["a"],"o":{"x":1}})"), md("[1,2]")};
    index_.rebuild(metadata_, {});
  }
  std::vector<std::optional<Value>> metadata_;
  MetadataIndex index_;
};

TEST_F(MetadataIndexTest, KeysAreTypeSensitiveAndSkipUnindexableValues) {
  ASSERT_NE(index_.find("n", 1), nullptr);
  EXPECT_EQ(*index_.find("n", 1), (SlotSet{0}));
  EXPECT_EQ(*index_.find("n", 1.0), (SlotSet{1}));
  EXPECT_EQ(*index_.find("n", "1"), (SlotSet{2}));
  EXPECT_EQ(*index_.find("color", "red"), (SlotSet{0, 1}));
  EXPECT_EQ(index_.find("color", nullptr), nullptr);
  EXPECT_EQ(index_.find("tags", Value::array({"a"})), nullptr);
  EXPECT_EQ(index_.field_count(), 2u);  // color and n; tags and o are never indexed
}

TEST_F(MetadataIndexTest, RemovingTheLastSlotDropsValueAndField) {
  index_.remove(2, metadata_[2]);
  EXPECT_EQ(index_.find("color", "blue"), nullptr);
  EXPECT_EQ(index_.find("n", "1"), nullptr);
  index_.remove(0, metadata_[0]);
  index_.remove(1, metadata_[1]);
  EXPECT_TRUE(index_.empty());
  index_.index(0, metadata_[0]);
  EXPECT_EQ(*index_.find("color", "red"), (SlotSet{0}));
  // Removing under metadata that was never indexed is a no-op.
  index_.remove(7, md(R"({"color":"green"})"));
  index_.remove(7, std::nullopt);
  EXPECT_EQ(index_.field_count(), 2u);
}

TEST_F(MetadataIndexTest, RebuildSkipsDeletedSlots) {
  index_.rebuild(metadata_, {0, 2});
  EXPECT_EQ(*index_.find("color", "red"), (SlotSet{1}));
  EXPECT_EQ(index_.find("color", "blue"), nullptr);
}

TEST_F(MetadataIndexTest, ResolveFromIndex) {
  struct Case {
    const char* name;
    Filter filter;
    std::optional<SlotSet> expected;
  };
  const Case cases[] = {
      {"eq", Filter::eq("color", "red"), SlotSet{0, 1}},
      {"eq unknown value", Filter::eq("color", "green"), SlotSet{}},
      {"eq unknown field", Filter::eq("size", 1), SlotSet{}},
      {"eq null never indexed", Filter::eq("color", nullptr), SlotSet{}},
      {"in union", Filter::in("n", {Value(1), Value("1"), Value(9)}), SlotSet{0, 2}},
      {"in nothing", Filter::in("zz", {Value(1)}), SlotSet{}},
      {"ne", Filter::ne("color", "red"), std::nullopt},
      {"range", Filter::gt("n", 0.0), std::nullopt},
      {"or", Filter::any_of({Filter::eq("color", "red")}), std::nullopt},
      {"and empty", Filter::all_of({}), SlotSet{}},
      {"and intersect", Filter::all_of({Filter::eq("color", "red"), Filter::eq("n", 1.0)}),
       SlotSet{1}},
      {"and skips unresolvable", Filter::all_of({Filter::eq("color", "red"), Filter::ne("n", 1)}),
       SlotSet{0, 1}},
      {"and all unresolvable", Filter::all_of({Filter::ne("n", 1), Filter::lt("n", 3.0)}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.filter.resolve_from_index(index_), c.expected);
  }
}

}  // namespace
}  // namespace quarn_core::db
