#include "quarn_core/filter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <unordered_set>
#include <vector>

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
      // Negations hold where the field is missing, never without (object) metadata.
      {"not eq", Filter::negation(Filter::eq("a", 1)), R"({"a":1.0})", true},
      {"not missing field", Filter::negation(Filter::gt("a", 0.0)), R"({"b":1})", true},
      {"not no metadata", Filter::negation(Filter::eq("a", 1)), nullptr, false},
      {"not non-object", Filter::negation(Filter::eq("a", 1)), "[1]", false},
      {"not not", Filter::negation(Filter::negation(Filter::eq("a", 1))), R"({"b":1})", false},
      {"nin missing", Filter::negation(Filter::in("a", {Value(1)})), R"({})", true},
      {"exists null", Filter::exists("a"), R"({"a":null})", true},
      {"exists missing", Filter::exists("a"), R"({"b":1})", false},
      {"not exists", Filter::negation(Filter::exists("a")), R"({"b":1})", true},
      {"contains", Filter::contains("t", "x"), R"({"t":["y","x"]})", true},
      {"contains type-sensitive", Filter::contains("t", 1), R"({"t":[1.0,true,"1"]})", false},
      {"contains not an array", Filter::contains("t", "x"), R"({"t":"x"})", false},
      {"contains nested array", Filter::contains("t", "x"), R"({"t":[["x"]]})", false},
      {"contains null", Filter::contains("t", nullptr), R"({"t":[1,null]})", true},
      {"contains big", Filter::contains("t", Value(std::uint64_t{18446744073709551615u})),
       R"({"t":[18446744073709551615]})", true},
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

// The flat slot set against a node-based one through random inserts and erases: slot
// ranges small enough to collide, strides that share the table's power-of-two factors, and
// erasing through runs that wrap around the table's end.
TEST(SlotSetTest, AgreesWithAModelSet) {
  std::mt19937 rng(17);
  for (std::uint32_t stride : {1u, 7u, 1024u, 65536u}) {
    SlotSet set;
    std::unordered_set<std::uint32_t> model;
    for (int step = 0; step < 20000; ++step) {
      const std::uint32_t s = static_cast<std::uint32_t>(rng() % 600) * stride;
      if (rng() % 3 == 0) {
        ASSERT_EQ(set.erase(s), model.erase(s)) << s;
      } else {
        ASSERT_EQ(set.insert(s), model.insert(s).second) << s;
      }
      if (step % 997 == 0) {
        ASSERT_EQ(set.size(), model.size());
        std::vector<std::uint32_t> listed(set.begin(), set.end());
        std::sort(listed.begin(), listed.end());
        std::vector<std::uint32_t> expected(model.begin(), model.end());
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(listed, expected) << "stride " << stride << " step " << step;
        for (std::uint32_t probe = 0; probe < 600; ++probe) {
          ASSERT_EQ(set.contains(probe * stride), model.contains(probe * stride));
        }
      }
    }
    EXPECT_EQ(set, SlotSet(model.begin(), model.end()));
  }
}

TEST_F(MetadataIndexTest, KeysAreTypeSensitiveAndSkipUnindexableValues) {
  ASSERT_NE(index_.find("n", 1), nullptr);
  EXPECT_EQ(*index_.find("n", 1), (SlotSet{0}));
  EXPECT_EQ(*index_.find("n", 1.0), (SlotSet{1}));
  EXPECT_EQ(*index_.find("n", "1"), (SlotSet{2}));
  EXPECT_EQ(*index_.find("color", "red"), (SlotSet{0, 1}));
  EXPECT_EQ(index_.find("color", nullptr), nullptr);
  EXPECT_EQ(index_.find("tags", Value::array({"a"})), nullptr);
  EXPECT_EQ(index_.find_element("tags", "a")->size(), 1u);
  EXPECT_EQ(index_.find_present("color")->size(), 4u);  // null counts as present
  EXPECT_EQ(index_.field_count(), 4u);
}

TEST_F(MetadataIndexTest, RemovingTheLastSlotDropsValueAndField) {
  index_.remove(2, metadata_[2]);
  EXPECT_EQ(index_.find("color", "blue"), nullptr);
  EXPECT_EQ(index_.find("n", "1"), nullptr);
  index_.remove(0, metadata_[0]);
  index_.remove(1, metadata_[1]);
  EXPECT_EQ(index_.find("color", "red"), nullptr);
  EXPECT_EQ(index_.field_count(), 3u);  // slot 4 holds color, tags and o
  index_.remove(4, metadata_[4]);
  EXPECT_TRUE(index_.empty());
  EXPECT_EQ(index_.object_count(), 0u);
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
      // null, arrays and objects are never indexed: the index cannot answer for them.
      {"eq null", Filter::eq("color", nullptr), std::nullopt},
      {"in with an array", Filter::in("tags", {Value("a"), Value::array({"a"})}), std::nullopt},
      {"in union", Filter::in("n", {Value(1), Value("1"), Value(9)}), SlotSet{0, 2}},
      {"in nothing", Filter::in("zz", {Value(1)}), SlotSet{}},
      // Negations: the object slots less those the inner condition matches exactly.
      {"ne", Filter::ne("color", "red"), SlotSet{2, 4}},
      {"ne null", Filter::ne("color", nullptr), std::nullopt},
      {"range", Filter::gt("n", 0.0), SlotSet{0, 1}},
      {"or", Filter::any_of({Filter::eq("color", "red"), Filter::eq("n", "1")}), SlotSet{0, 1, 2}},
      {"or with unresolvable", Filter::any_of({Filter::eq("n", 1), Filter::eq("o", nullptr)}),
       std::nullopt},
      {"and empty", Filter::all_of({}), SlotSet{}},
      {"and intersect", Filter::all_of({Filter::eq("color", "red"), Filter::eq("n", 1.0)}),
       SlotSet{1}},
      {"and takes a negation out", Filter::all_of({Filter::eq("color", "red"), Filter::ne("n", 1)}),
       SlotSet{1}},
      {"and skips unresolvable",
       Filter::all_of({Filter::eq("color", "red"), Filter::ne("o", nullptr)}), SlotSet{0, 1}},
      {"and all unresolvable",
       Filter::all_of({Filter::eq("o", nullptr), Filter::any_of({Filter::ne("n", nullptr)})}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.filter.resolve_from_index(index_), c.expected);
  }
}

// Ranges and bands resolve to exactly the slots `matches` accepts, whatever the values: only
// numbers compare (as doubles, so 2^53 + 1 is 2^53), NaN passes nothing, -0.0 equals 0.0.
TEST(MetadataIndexRangeTest, ResolvesExactlyTheMatchingSlots) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  auto x_is = [](double x) {
    Value v = Value::object();
    v["x"] = x;
    return std::optional<Value>(v);
  };
  std::vector<std::optional<Value>> metadata;
  for (const char* text :
       {R"({"x":1,"y":3})", R"({"x":1.0})", R"({"x":1})", R"({"x":-0.0})", R"({"x":0})",
        R"({"x":2.5,"y":1})", R"({"x":-7})", R"({"x":9007199254740993})",
        R"({"x":18446744073709551615})", R"({"x":true})", R"({"x":"1"})", R"({"x":null})",
        R"({"x":[1]})", R"({"x":{"x":1}})", R"({"y":1})", "[1,2]", "3", "null"}) {
    metadata.push_back(md(text));
  }
  metadata.push_back(std::nullopt);
  for (double x : {nan, inf, -inf}) metadata.push_back(x_is(x));
  std::vector<Filter> filters;
  const double bounds[] = {-inf, -7, -0.0, 0.0, 1, 2.5, 9007199254740992.0, 1.8446744073709552e19,
                           inf,  nan};
  for (double b : bounds) {
    for (Filter f :
         {Filter::gt("x", b), Filter::gte("x", b), Filter::lt("x", b), Filter::lte("x", b)}) {
      filters.push_back(std::move(f));
    }
    filters.push_back(Filter::all_of({Filter::gte("x", b), Filter::lt("x", b + 2)}));
    filters.push_back(
        Filter::all_of({Filter::lte("x", b), Filter::gt("x", -b), Filter::gte("x", b)}));
  }
  filters.push_back(Filter::all_of({Filter::gt("x", 0.0), Filter::lte("y", 3.0)}));
  filters.push_back(Filter::all_of({Filter::eq("y", 3), Filter::gte("x", 1.0)}));
  filters.push_back(Filter::all_of({Filter::gt("nope", 0.0)}));

  MetadataIndex index;
  index.rebuild(metadata, {});
  std::unordered_set<std::uint32_t> deleted;
  auto check = [&](const char* stage) {
    SCOPED_TRACE(stage);
    for (std::size_t i = 0; i < filters.size(); ++i) {
      SCOPED_TRACE(i);
      const Filter& f = filters[i];
      SlotSet expected;
      for (std::uint32_t s = 0; s < metadata.size(); ++s) {
        if (!deleted.contains(s) && f.matches(metadata[s])) expected.insert(s);
      }
      // Without a limit every one resolves exactly; under one a range too large is left
      // out: a superset then, no longer exact.
      constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
      for (std::size_t limit : {kNoLimit, std::size_t{0}, std::size_t{2}}) {
        const Filter::Resolved r = f.resolve_within(index, limit);
        EXPECT_TRUE(r.exact || limit != kNoLimit);
        if (r.exact) {
          EXPECT_EQ(r.slots, expected);
        }
        for (std::uint32_t s : expected) EXPECT_TRUE(!r.slots || r.slots->contains(s));
      }
    }
  };
  check("built");
  auto set = [&](std::uint32_t s, std::optional<Value> m) {
    index.remove(s, metadata[s]);
    index.index(s, m);
    metadata[s] = std::move(m);
  };
  set(1, md(R"({"x":5})"));  // the last 1.0 goes, a new value comes
  set(5, md(R"({"x":"2.5"})"));
  set(9, md(R"({"x":-7.0})"));
  set(14, md(R"({"x":0.5})"));
  for (std::uint32_t s : {0u, 6u, 20u}) {  // one of two 1s, the only integer -7, +inf
    index.remove(s, metadata[s]);
    deleted.insert(s);
  }
  check("changed");
}

// The same through many changes, with enough records that the ordered runs split and merge.
TEST(MetadataIndexRangeTest, StaysExactThroughManyChanges) {
  std::mt19937 rng(3);
  auto draw = [&]() -> std::optional<Value> {
    const unsigned pick = rng() % 8;
    if (pick == 0) return std::nullopt;
    if (pick == 1) return md(R"({"x":"s"})");
    Value v = Value::object();
    if (pick < 5)
      v["x"] = static_cast<int>(rng() % 40);  // many slots per value
    else
      v["x"] = static_cast<double>(rng() % 100000) / 1000.0;
    return v;
  };
  std::vector<std::optional<Value>> metadata(3000);
  for (auto& m : metadata) m = draw();
  MetadataIndex index, incremental;
  index.rebuild(metadata, {});
  for (std::uint32_t s = 0; s < metadata.size(); ++s) incremental.index(s, metadata[s]);
  std::unordered_set<std::uint32_t> deleted;
  // Rounds of mixed changes, then mostly removals (runs merge), then only additions (split).
  for (int round = 0; round < 9; ++round) {
    for (int i = 0; i < 1500; ++i) {
      const auto s = static_cast<std::uint32_t>(rng() % metadata.size());
      for (MetadataIndex* ix : {&index, &incremental}) ix->remove(s, metadata[s]);
      if (round < 6 && rng() % 10 < (round < 3 ? 3u : 9u)) {
        deleted.insert(s);
        metadata[s].reset();
        continue;
      }
      deleted.erase(s);
      metadata[s] = draw();
      for (MetadataIndex* ix : {&index, &incremental}) ix->index(s, metadata[s]);
    }
    for (int q = 0; q < 20; ++q) {
      const double low = static_cast<double>(rng() % 110) - 5, high = low + rng() % 30;
      const Filter f = Filter::all_of({Filter::gt("x", low), Filter::lte("x", high)});
      SlotSet expected;
      for (std::uint32_t s = 0; s < metadata.size(); ++s) {
        if (!deleted.contains(s) && f.matches(metadata[s])) expected.insert(s);
      }
      EXPECT_EQ(f.resolve_from_index(index), expected) << round << " " << low << " " << high;
      EXPECT_EQ(f.resolve_from_index(incremental), expected);
    }
  }
}

// Every condition, nested, against `matches` over records of every shape, through changes:
// what the index answers is a superset of the matching live slots, exactly them when it says
// so, the same whether borrowed or copied, and the same for an index kept up to date as for
// one rebuilt from scratch.
TEST(MetadataIndexModelTest, AnswersAgreeWithMatches) {
  const std::uint32_t seed = 29;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::vector<Value> scalars = {1,    1.0,   2,       -0.0,    0,   "1",
                                      "x",  true,  false,   nullptr, 2.5, Value(std::uint64_t{1} << 63),
                                      9007199254740993};
  std::vector<Value> values = scalars;
  for (const char* text : {R"([1,"x"])", R"(["x"])", "[1.0,null]", "[]", "[[1]]", R"({"k":1})"}) {
    values.push_back(*json::parse(text));
  }
  const char* fields[] = {"a", "b", "t"};
  auto draw_record = [&]() -> std::optional<Value> {
    const std::size_t shape = pick(10);
    if (shape == 0) return std::nullopt;
    if (shape == 1) return Value::array({1});
    Value v = Value::object();
    for (const char* f : fields) {
      if (pick(10) < 6) v[f] = values[pick(values.size())];
    }
    return v;
  };
  std::function<Filter(int)> draw_filter = [&](int depth) -> Filter {
    const std::string f = fields[pick(3)];
    // Half the conditions at each level above the leaves combine others.
    const std::size_t kind = depth > 0 && pick(2) == 0 ? 9 + pick(3) : pick(9);
    auto members = [&] {
      std::vector<Filter> out;
      for (std::size_t i = 0, n = 1 + pick(3); i < n; ++i) out.push_back(draw_filter(depth - 1));
      return out;
    };
    switch (kind) {
      case 0:  // any operand: null, arrays and objects are never indexed
        return Filter::eq(f, values[pick(values.size())]);
      case 1:
        return Filter::ne(f, scalars[pick(scalars.size())]);
      case 2:
        return Filter::in(f, {scalars[pick(scalars.size())], scalars[pick(scalars.size())]});
      case 3: {
        const double bounds[] = {-1.0, 0.0, 1.0, 1.5, 9007199254740992.0, std::nan("")};
        const double b = bounds[pick(6)];
        const Filter ranges[] = {Filter::gt(f, b), Filter::gte(f, b), Filter::lt(f, b),
                                 Filter::lte(f, b)};
        return ranges[pick(4)];
      }
      case 4:
        return Filter::exists(f);
      case 5:
        return Filter::contains(f, scalars[pick(scalars.size())]);
      case 6:
        return Filter::eq(f, pick(2) == 0 ? Value(nullptr) : values[13 + pick(6)]);
      case 7:
        return Filter::any_of({});
      case 8:
        return Filter::eq(f, scalars[pick(scalars.size())]);
      case 9:
        return Filter::all_of(members());
      case 10:
        return Filter::any_of(members());
      default:
        return Filter::negation(draw_filter(depth - 1));
    }
  };

  // Enough records that the per-field sets split their runs and join them again.
  std::vector<std::optional<Value>> metadata(1200);
  std::unordered_set<std::uint32_t> deleted;
  MetadataIndex kept, changed;  // one indexed slot by slot, one rebuilt once, both changed
  for (std::uint32_t s = 0; s < metadata.size(); ++s) {
    metadata[s] = draw_record();
    kept.index(s, metadata[s]);
  }
  changed.rebuild(metadata, deleted);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    MetadataIndex rebuilt;
    rebuilt.rebuild(metadata, deleted);
    for (int i = 0; i < 150; ++i) {
      const Filter f = draw_filter(3);
      SCOPED_TRACE(i);
      SlotSet expected;
      for (std::uint32_t s = 0; s < metadata.size(); ++s) {
        if (!deleted.contains(s) && f.matches(metadata[s])) expected.insert(s);
      }
      for (std::size_t limit : {std::numeric_limits<std::size_t>::max(), std::size_t{100}}) {
        const Filter::Resolved r = f.resolve_within(kept, limit);
        for (const MetadataIndex* other : {&rebuilt, &changed}) {
          const Filter::Resolved again = f.resolve_within(*other, limit);
          ASSERT_EQ(r.slots, again.slots);
          ASSERT_EQ(r.exact, again.exact);
        }
        const Candidates c = f.candidates(kept, limit);
        ASSERT_EQ(c.set() ? std::optional<SlotSet>(*c.set()) : std::nullopt, r.slots);
        ASSERT_EQ(c.exact, r.exact);
        if (!r.slots) continue;
        for (std::uint32_t s : expected) ASSERT_TRUE(r.slots->contains(s)) << s;
        if (r.exact) {
          ASSERT_EQ(*r.slots, expected);
        }
      }
    }
    // Changes: new metadata for some slots, deletions, and deleted slots filled again.
    for (int i = 0; i < 600; ++i) {
      const auto s = static_cast<std::uint32_t>(pick(metadata.size()));
      for (MetadataIndex* ix : {&kept, &changed}) {
        if (!deleted.contains(s)) ix->remove(s, metadata[s]);
      }
      if (pick(round == 1 ? 2 : 4) == 0) {
        deleted.insert(s);
        metadata[s].reset();
        continue;
      }
      deleted.erase(s);
      metadata[s] = draw_record();
      for (MetadataIndex* ix : {&kept, &changed}) ix->index(s, metadata[s]);
    }
  }
}

}  // namespace
}  // namespace quarn_core::db
