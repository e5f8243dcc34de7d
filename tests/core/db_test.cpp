#include "quarn_core/db.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quarn_core/storage.hpp"
#include "quarn_core/wal.hpp"
#include "testutil.hpp"

namespace quarn_core::db {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using error::ErrorKind;
using json::Value;
using testing::Fails;
using testing::Ok;
using testing::TempDir;
using Vec = std::vector<float>;

std::unique_ptr<Database> create(const fs::path& path, std::size_t dim,
                                 Metric metric = Metric::Euclidean, DatabaseConfig config = {}) {
  auto r = Database::open_or_create_with_config(path, dim, metric, config);
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : nullptr;
}

std::unique_ptr<Database> reopen(const fs::path& path) {
  auto r = Database::open(path);
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : nullptr;
}

std::size_t log_records(const fs::path& dir) {
  auto entries = wal::Wal(dir / wal::kWalFileName).read_all();
  EXPECT_TRUE(Ok(entries));
  return entries ? entries->size() : 0;
}

// "v" + std::to_string(i) without the string operator+ (which trips -Wrestrict in GCC 12).
std::string name(const char* prefix, std::size_t i) {
  std::string out(prefix);
  out += std::to_string(i);
  return out;
}

std::string text(const Metadata& m) { return m ? json::to_text(*m) : "<none>"; }

// Every live record as the public reads show it, plus the slot counters.
struct State {
  std::map<std::string, std::pair<Vec, std::string>> records;
  std::size_t count = 0;
  std::size_t total_slots = 0;
  std::size_t deleted = 0;
  bool operator==(const State&) const = default;
};

State state_of(const Database& db) {
  State s;
  for (const auto& id : db.ids()) {
    auto r = db.get(id);
    EXPECT_TRUE(Ok(r)) << id;
    if (r) s.records[id] = {r->first, text(r->second)};
  }
  s.count = db.count();
  s.total_slots = db.total_slots();
  s.deleted = db.deleted_count();
  return s;
}

// id -> slot as the last save wrote them.
std::map<std::string, std::uint32_t> saved_slots(const fs::path& dir) {
  std::map<std::string, std::uint32_t> out;
  auto loaded = storage::Storage(dir).load();
  EXPECT_TRUE(Ok(loaded));
  if (loaded) {
    for (const auto& rec : loaded->records) out[rec.id] = rec.slot;
  }
  return out;
}

std::set<std::string> result_ids(const std::vector<SearchResult>& results) {
  std::set<std::string> out;
  for (const auto& r : results) out.insert(r.id);
  return out;
}

SearchOptions options(std::size_t k = 10, const Filter* filter = nullptr,
                      std::optional<std::size_t> ef_search = std::nullopt,
                      std::optional<float> max_distance = std::nullopt) {
  SearchOptions o;
  o.k = k;
  o.filter = filter;
  o.ef_search = ef_search;
  o.max_distance = max_distance;
  return o;
}

Value obj(std::initializer_list<std::pair<const std::string, Value>> fields) {
  Value v = Value::object();
  for (const auto& [k, x] : fields) v[k] = x;
  return v;
}

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = create(dir(), 3);
    ASSERT_NE(db_, nullptr);
  }
  fs::path dir() const { return tmp_.path() / "c"; }

  TempDir tmp_;
  std::unique_ptr<Database> db_;
};

// ---------------------------------------------------------------------------------------------
// Rejected calls: which error wins, and that nothing reaches the log or memory.

TEST_F(DbTest, RejectedCallsReportTheFirstFailingCheckAndLeaveNoTrace) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"color", "red"}}))));
  const std::size_t records = log_records(dir());
  const State before = state_of(*db_);

  struct Case {
    const char* name;
    std::function<Result<void>(Database&)> call;
    ErrorKind kind;
    std::string text;  // id for DuplicateId / NotFound
    std::size_t got;   // length for DimensionMismatch
  };
  auto items = [](std::vector<std::pair<std::string, std::size_t>> lengths) {
    std::vector<Record> out;
    for (auto& [id, len] : lengths) out.push_back(Record{id, Vec(len, 0.5f), obj({{"n", 1}})});
    return out;
  };
  const std::vector<Case> cases = {
      {"add: wrong length", [](Database& d) { return d.add("b", {1, 2}, std::nullopt); },
       ErrorKind::DimensionMismatch, "", 2},
      {"add: wrong length beats stored id",
       [](Database& d) { return d.add("a", {1, 2, 3, 4}, std::nullopt); },
       ErrorKind::DimensionMismatch, "", 4},
      {"add: stored id", [](Database& d) { return d.add("a", {0, 0, 1}, std::nullopt); },
       ErrorKind::DuplicateId, "a", 0},
      {"upsert: wrong length", [](Database& d) { return d.upsert("a", {1}, std::nullopt); },
       ErrorKind::DimensionMismatch, "", 1},
      {"update: unknown id beats wrong length",
       [](Database& d) { return d.update("zz", Vec{1, 2}, std::nullopt); }, ErrorKind::NotFound,
       "zz", 0},
      {"update: unknown id, nothing given",
       [](Database& d) { return d.update("zz", std::nullopt, std::nullopt); },
       ErrorKind::NotFound, "zz", 0},
      {"update: wrong length", [](Database& d) { return d.update("a", Vec{1, 2}, Metadata{}); },
       ErrorKind::DimensionMismatch, "", 2},
      {"add_many: first bad length beats stored id",
       [&](Database& d) { return d.add_many(items({{"a", 3}, {"b", 5}, {"c", 2}})); },
       ErrorKind::DimensionMismatch, "", 5},
      {"add_many: third id stored",
       [&](Database& d) { return d.add_many(items({{"b", 3}, {"c", 3}, {"a", 3}})); },
       ErrorKind::DuplicateId, "a", 0},
      {"add_many: new id named twice",
       [&](Database& d) { return d.add_many(items({{"x", 3}, {"y", 3}, {"x", 3}})); },
       ErrorKind::DuplicateId, "x", 0},
      {"upsert_many: last length bad",
       [&](Database& d) { return d.upsert_many(items({{"a", 3}, {"b", 3}, {"c", 7}})); },
       ErrorKind::DimensionMismatch, "", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.call(*db_);
    ASSERT_TRUE(Fails(r, c.kind));
    if (c.kind == ErrorKind::DimensionMismatch) {
      EXPECT_EQ(r.error().expected(), 3u);
      EXPECT_EQ(r.error().got(), c.got);
    } else {
      EXPECT_EQ(r.error().text(), c.text);
    }
    EXPECT_EQ(log_records(dir()), records);
    EXPECT_EQ(state_of(*db_), before);
  }

  // The reads and deletions that find nothing.
  EXPECT_TRUE(Fails(db_->get("zz"), ErrorKind::NotFound));
  auto removed = db_->remove("zz");
  ASSERT_TRUE(Ok(removed));
  EXPECT_FALSE(*removed);
  auto many = db_->delete_many({"zz", "yy"});
  ASSERT_TRUE(Ok(many));
  EXPECT_EQ(*many, 0u);
  auto none = db_->delete_many({});
  ASSERT_TRUE(Ok(none));
  EXPECT_EQ(*none, 0u);
  EXPECT_EQ(log_records(dir()), records);
  EXPECT_EQ(state_of(*db_), before);

  // A rejected add leaves nothing that a replay would apply.
  db_.reset();
  db_ = create(dir(), 3);
  EXPECT_EQ(state_of(*db_), before);
}

TEST_F(DbTest, UpdateChangesOnlyWhatIsGiven) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"color", "red"}}))));
  const Filter red = Filter::eq("color", "red");
  const Filter blue = Filter::eq("color", "blue");

  ASSERT_TRUE(Ok(db_->update("a", std::nullopt, std::nullopt)));
  EXPECT_EQ(log_records(dir()), 2u);
  auto entries = wal::Wal(dir() / wal::kWalFileName).read_all();
  ASSERT_TRUE(Ok(entries));
  EXPECT_TRUE(std::holds_alternative<wal::WalEntry::Update>(entries->back().op));

  ASSERT_TRUE(Ok(db_->update("a", std::nullopt, Metadata(obj({{"color", "blue"}})))));
  auto got = db_->get("a");
  ASSERT_TRUE(Ok(got));
  EXPECT_EQ(got->first, (Vec{1, 2, 3}));
  EXPECT_EQ(text(got->second), R"({"color":"blue"})");
  EXPECT_EQ(db_->count(red), 0u);
  EXPECT_EQ(db_->count(blue), 1u);

  ASSERT_TRUE(Ok(db_->update("a", Vec{4, 5, 6}, std::nullopt)));
  got = db_->get("a");
  EXPECT_EQ(got->first, (Vec{4, 5, 6}));
  EXPECT_EQ(text(got->second), R"({"color":"blue"})");
  EXPECT_EQ(db_->count(blue), 1u);

  // A present but empty replacement clears the metadata and its index entries.
  ASSERT_TRUE(Ok(db_->update("a", std::nullopt, Metadata{})));
  got = db_->get("a");
  EXPECT_FALSE(got->second.has_value());
  EXPECT_EQ(db_->count(blue), 0u);
  EXPECT_EQ(db_->count(Filter::ne("color", "red")), 0u);

  // The log rebuilds the same thing.
  const State before = state_of(*db_);
  db_.reset();
  db_ = create(dir(), 3);
  EXPECT_EQ(state_of(*db_), before);
}

TEST_F(DbTest, UpsertWithoutMetadataClearsOldMetadataAndItsIndexEntries) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 0, 0}, obj({{"color", "red"}, {"size", 3}}))));
  ASSERT_TRUE(Ok(db_->upsert("a", {0, 1, 0}, obj({{"color", "green"}}))));
  EXPECT_EQ(db_->count(Filter::eq("color", "red")), 0u);
  EXPECT_EQ(db_->count(Filter::eq("size", 3)), 0u);
  EXPECT_EQ(db_->count(Filter::eq("color", "green")), 1u);

  ASSERT_TRUE(Ok(db_->upsert("a", {0, 0, 1}, std::nullopt)));
  auto got = db_->get("a");
  ASSERT_TRUE(Ok(got));
  EXPECT_EQ(got->first, (Vec{0, 0, 1}));
  EXPECT_FALSE(got->second.has_value());
  EXPECT_EQ(db_->count(Filter::eq("color", "green")), 0u);
  EXPECT_EQ(db_->count(Filter::ne("color", "x")), 0u);
  EXPECT_EQ(db_->total_slots(), 1u);
  auto hits = db_->search(Vec{0, 0, 1}, options());
  ASSERT_TRUE(Ok(hits));
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_FALSE((*hits)[0].metadata.has_value());
}

TEST_F(DbTest, DeleteLeavesATombstoneAndReAddingTakesANewSlot) {
  for (const char* id : {"a", "b", "c"}) {
    ASSERT_TRUE(Ok(db_->add(id, {1, 2, 3}, obj({{"color", "red"}}))));
  }
  auto removed = db_->remove("b");
  ASSERT_TRUE(Ok(removed));
  EXPECT_TRUE(*removed);
  removed = db_->remove("b");
  ASSERT_TRUE(Ok(removed));
  EXPECT_FALSE(*removed);
  EXPECT_TRUE(Fails(db_->get("b"), ErrorKind::NotFound));
  EXPECT_FALSE(db_->contains("b"));
  auto ids = db_->ids();
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()), (std::set<std::string>{"a", "c"}));
  EXPECT_EQ(db_->count(), 2u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_EQ(db_->total_slots(), 3u);
  EXPECT_EQ(db_->count(Filter::eq("color", "red")), 2u);

  ASSERT_TRUE(Ok(db_->add("b", {3, 2, 1}, obj({{"color", "blue"}}))));
  EXPECT_EQ(db_->total_slots(), 4u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_EQ(db_->count(Filter::eq("color", "red")), 2u);
  EXPECT_EQ(db_->count(Filter::eq("color", "blue")), 1u);
  auto got = db_->get("b");
  ASSERT_TRUE(Ok(got));
  EXPECT_EQ(got->first, (Vec{3, 2, 1}));

  ASSERT_TRUE(Ok(db_->save()));
  const auto slots = saved_slots(dir());
  EXPECT_EQ(slots, (std::map<std::string, std::uint32_t>{{"a", 0}, {"b", 3}, {"c", 2}}));

  auto many = db_->delete_many({"a", "a", "zz"});
  ASSERT_TRUE(Ok(many));
  EXPECT_EQ(*many, 1u);
  EXPECT_EQ(db_->deleted_count(), 2u);
}

TEST_F(DbTest, IndexEntriesGoWithTheirLastSlot) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 0, 0}, obj({{"color", "red"}}))));
  ASSERT_TRUE(Ok(db_->add("b", {0, 1, 0}, obj({{"color", "red"}, {"size", 1}}))));
  const Filter red = Filter::eq("color", "red");
  const Filter any_color = Filter::in("color", {"red", "blue"});
  const Filter size1 = Filter::eq("size", 1);
  EXPECT_EQ(db_->count(red), 2u);

  ASSERT_TRUE(Ok(db_->remove("a")));
  EXPECT_EQ(db_->count(red), 1u);
  ASSERT_TRUE(Ok(db_->update("b", std::nullopt, Metadata(obj({{"shape", "round"}})))));
  EXPECT_EQ(db_->count(red), 0u);
  EXPECT_EQ(db_->count(any_color), 0u);
  EXPECT_EQ(db_->count(size1), 0u);
  auto hits = db_->search(Vec{1, 0, 0}, options(10, &any_color));
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());

  // Indexing the value again brings the entry back.
  ASSERT_TRUE(Ok(db_->add("c", {0, 0, 1}, obj({{"color", "red"}}))));
  EXPECT_EQ(db_->count(red), 1u);
  hits = db_->search(Vec{1, 0, 0}, options(10, &red));
  ASSERT_TRUE(Ok(hits));
  EXPECT_EQ(result_ids(*hits), (std::set<std::string>{"c"}));
}

// 1, 1.0, "1" and true are four different values to equality filters and the index; numbers
// of both integer kinds meet by value; ranges see every number and nothing else.
TEST_F(DbTest, FiltersAreTypeSensitive) {
  const std::vector<std::pair<std::string, Value>> records = {
      {"int", Value(1)},  {"uint", Value(1u)},   {"float", Value(1.0)},
      {"str", Value("1")}, {"bool", Value(true)}, {"null", Value(nullptr)},
  };
  float x = 0.0f;
  for (const auto& [id, value] : records) {
    ASSERT_TRUE(Ok(db_->add(id, {x, 1, 0}, obj({{"n", value}}))));
    x += 1.0f;
  }
  ASSERT_TRUE(Ok(db_->add("none", {x, 1, 0}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->add("other", {x + 1, 1, 0}, obj({{"m", 1}}))));

  using Ids = std::set<std::string>;
  struct Case {
    const char* name;
    Filter filter;
    Ids want;
  };
  const std::vector<Case> cases = {
      {"eq int", Filter::eq("n", 1), {"int", "uint"}},
      {"eq float", Filter::eq("n", 1.0), {"float"}},
      {"eq string", Filter::eq("n", "1"), {"str"}},
      {"eq bool", Filter::eq("n", true), {"bool"}},
      {"eq null", Filter::eq("n", nullptr), {}},
      {"in float or string", Filter::in("n", {1.0, "1"}), {"float", "str"}},
      {"in nothing", Filter::in("n", {}), {}},
      {"gte 1.0", Filter::gte("n", 1.0), {"int", "uint", "float"}},
      {"lt 10 never a string", Filter::lt("n", 10), {"int", "uint", "float"}},
      {"ne int", Filter::ne("n", 1), {"float", "str", "bool", "null", "other"}},
      {"and eq with range", Filter::all_of({Filter::eq("n", 1), Filter::gt("n", 0.5)}),
       {"int", "uint"}},
      {"or", Filter::any_of({Filter::eq("n", true), Filter::eq("m", 1)}), {"bool", "other"}},
      {"empty and", Filter::all_of({}), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(db_->count(c.filter), c.want.size());
    auto hits = db_->search(Vec{0, 1, 0}, options(100, &c.filter));
    ASSERT_TRUE(Ok(hits));
    EXPECT_EQ(result_ids(*hits), c.want);
    for (const auto& h : *hits) EXPECT_TRUE(c.filter.matches(h.metadata)) << h.id;
  }
}

TEST_F(DbTest, CountWithIndexableAndScannedFilters) {
  int price = 5;
  for (const char* id : {"a", "b", "c"}) {
    ASSERT_TRUE(Ok(db_->add(id, {1, 2, 3}, obj({{"color", "red"}, {"price", price}}))));
    price += 10;
  }
  ASSERT_TRUE(Ok(db_->add("d", {1, 2, 3}, obj({{"color", "blue"}, {"price", 50}}))));
  ASSERT_TRUE(Ok(db_->add("e", {1, 2, 3}, std::nullopt)));
  const Filter red_over_10 = Filter::all_of({Filter::eq("color", "red"), Filter::gt("price", 10)});
  EXPECT_EQ(db_->count(red_over_10), 2u);
  EXPECT_EQ(db_->count(Filter::gt("price", 10)), 3u);
  EXPECT_EQ(db_->count(Filter::ne("color", "red")), 1u);  // e has no metadata
  EXPECT_EQ(db_->count(), 5u);
  auto hits = db_->search(Vec{1, 2, 3}, options(10, &red_over_10));
  ASSERT_TRUE(Ok(hits));
  EXPECT_EQ(result_ids(*hits), (std::set<std::string>{"b", "c"}));

  ASSERT_TRUE(Ok(db_->delete_many({"b", "d"})));
  EXPECT_EQ(db_->count(), 3u);
  EXPECT_EQ(db_->count(red_over_10), 1u);
  EXPECT_EQ(db_->count(Filter::gt("price", 10)), 1u);
}

// ---------------------------------------------------------------------------------------------
// Save, reopen and replay

TEST_F(DbTest, ReopenReplaysTheLogOverTheSavedFilesTheSameWayEachTime) {
  EXPECT_TRUE(Fails(Database::open(dir()), ErrorKind::DatabaseNotFound));
  ASSERT_TRUE(Ok(db_->add("saved", {1, 1, 1}, obj({{"k", 1}}))));
  ASSERT_TRUE(Ok(db_->add("gone", {2, 2, 2}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->save()));
  EXPECT_FALSE(fs::exists(dir() / "wal.quarn"));
  EXPECT_FALSE(fs::exists(dir() / "graph.tmp"));
  EXPECT_FALSE(fs::exists(dir() / "vectors.tmp"));
  EXPECT_FALSE(fs::exists(dir() / "vectors.sq8"));

  ASSERT_TRUE(Ok(db_->add("new1", {3, 3, 3}, obj({{"k", 2}}))));
  ASSERT_TRUE(Ok(db_->add("new2", {4, 4, 4}, obj({{"k", 3}}))));
  ASSERT_TRUE(Ok(db_->remove("new2")));
  ASSERT_TRUE(Ok(db_->remove("gone")));
  ASSERT_TRUE(Ok(db_->update("saved", Vec{5, 5, 5}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->upsert("new1", {6, 6, 6}, obj({{"k", 4}}))));
  ASSERT_TRUE(Ok(db_->upsert_many({{"u1", {7, 7, 7}, std::nullopt}, {"saved", {8, 8, 8}, obj({{"k", 5}})}})));
  const State want = state_of(*db_);
  EXPECT_EQ(want.count, 3u);

  db_.reset();
  auto first = reopen(dir());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(state_of(*first), want);
  EXPECT_EQ(first->count(Filter::eq("k", 4)), 1u);
  EXPECT_EQ(first->count(Filter::eq("k", 1)), 0u);
  first.reset();
  auto second = reopen(dir());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(state_of(*second), want);

  // A save of the reopened collection writes that state, and the next open agrees.
  ASSERT_TRUE(Ok(second->save()));
  second.reset();
  auto third = reopen(dir());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(state_of(*third), want);
}

TEST_F(DbTest, StoredConfigurationWinsOnReopen) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->save()));
  db_.reset();
  auto again = create(dir(), 7, Metric::DotProduct);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->dim(), 3u);
  EXPECT_EQ(again->metric(), Metric::Euclidean);
  EXPECT_EQ(again->count(), 1u);
}

TEST_F(DbTest, LogRecordsThatDoNotFitAreSkippedAtReplay) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"k", 0}}))));
  ASSERT_TRUE(Ok(db_->save()));
  db_.reset();
  {
    wal::Wal log(dir() / wal::kWalFileName);
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Insert{"short", {1, 2}, std::nullopt})));
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Insert{"a", {1, 2, 3, 4}, obj({{"k", 9}})})));
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Insert{"good", {4, 5, 6}, std::nullopt})));
    // A vector of the wrong length is ignored; the metadata part still applies.
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Update{"a", Vec{9, 9}, Metadata(obj({{"k", 1}}))})));
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Update{"missing", Vec{1, 2, 3}, std::nullopt})));
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Delete{"missing"})));
  }
  auto db = reopen(dir());
  ASSERT_NE(db, nullptr);
  EXPECT_FALSE(db->contains("short"));
  EXPECT_FALSE(db->contains("missing"));
  EXPECT_EQ(db->count(), 2u);
  EXPECT_EQ(db->total_slots(), 2u);
  auto a = db->get("a");
  ASSERT_TRUE(Ok(a));
  EXPECT_EQ(a->first, (Vec{1, 2, 3}));
  EXPECT_EQ(text(a->second), R"({"k":1})");
  EXPECT_EQ(db->count(Filter::eq("k", 0)), 0u);
  auto good = db->get("good");
  ASSERT_TRUE(Ok(good));
  EXPECT_EQ(good->first, (Vec{4, 5, 6}));
}

TEST(DbOpen, LogWithoutSavedFilesIsReplayedWhenCreating) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  {
    auto db = create(dir, 2);
    ASSERT_NE(db, nullptr);
    ASSERT_TRUE(Ok(db->add("a", {1, 2}, obj({{"k", 1}}))));
    ASSERT_TRUE(Ok(db->add("b", {3, 4}, std::nullopt)));
    ASSERT_TRUE(Ok(db->remove("b")));
  }
  EXPECT_TRUE(Fails(Database::open(dir), ErrorKind::DatabaseNotFound));
  auto db = create(dir, 2);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->count(), 1u);
  auto a = db->get("a");
  ASSERT_TRUE(Ok(a));
  EXPECT_EQ(a->first, (Vec{1, 2}));
  EXPECT_EQ(db->count(Filter::eq("k", 1)), 1u);
  // Saving keeps what the log held.
  ASSERT_TRUE(Ok(db->save()));
  db.reset();
  db = reopen(dir);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->contains("a"));
  EXPECT_FALSE(db->contains("b"));
}

TEST(DbOpen, QuantizeSettingDecidesQuantizedSearchAfterSaveAndReopen) {
  struct Case {
    const char* name;
    bool quantize;
    std::optional<bool> toggle;  // switch quantized search in memory before the save
    bool want;
  };
  const std::vector<Case> cases = {
      {"on", true, std::nullopt, true},
      {"on, disabled in memory", true, false, true},
      {"off", false, std::nullopt, false},
      {"off, enabled in memory", false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    const fs::path dir = tmp.path() / "c";
    auto db = create(dir, 4, Metric::Cosine, DatabaseConfig{.quantize = c.quantize});
    ASSERT_NE(db, nullptr);
    for (int i = 0; i < 20; ++i) {
      const float f = static_cast<float>(i);
      ASSERT_TRUE(Ok(db->add(name("v", i), {f, 1, -f, 2}, std::nullopt)));
    }
    if (c.toggle) {
      if (*c.toggle) db->enable_quantized_search();
      if (!*c.toggle) db->disable_quantized_search();
    }
    ASSERT_TRUE(Ok(db->save()));
    EXPECT_EQ(fs::exists(dir / "vectors.sq8"), c.want);
    const State want = state_of(*db);
    db.reset();
    db = reopen(dir);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->quantized_search(), c.want);
    EXPECT_EQ(db->quantize(), c.want);
    EXPECT_EQ(state_of(*db), want);
    // Codes for slots added after the open line up with their vectors.
    ASSERT_TRUE(Ok(db->add("late", {1, 1, 1, 1}, std::nullopt)));
    auto hits = db->search(Vec{1, 1, 1, 1}, options(1));
    ASSERT_TRUE(Ok(hits));
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].id, "late");
  }
}

TEST(DbOpen, QuantizeRequestedOnReopenStartsWritingCodes) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  auto db = create(dir, 2);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(Ok(db->add("a", {1, 2}, std::nullopt)));
  ASSERT_TRUE(Ok(db->save()));
  db.reset();
  db = create(dir, 2, Metric::Euclidean, DatabaseConfig{.quantize = true});
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->quantize());
  EXPECT_FALSE(db->quantized_search());
  ASSERT_TRUE(Ok(db->save()));
  db.reset();
  db = reopen(dir);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->quantized_search());
}

// ---------------------------------------------------------------------------------------------
// An unwritable log: every mutation fails with Io and changes nothing.

TEST_F(DbTest, FailedLogAppendChangesNothing) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"color", "red"}}))));
  ASSERT_TRUE(Ok(db_->add("b", {4, 5, 6}, obj({{"color", "red"}}))));
  ASSERT_TRUE(Ok(db_->save()));  // closes the log, so the next append opens it again
  // A directory in the log's place makes opening it fail, even for root.
  fs::create_directory(dir() / "wal.quarn");
  const State before = state_of(*db_);

  struct Case {
    const char* name;
    std::function<bool(Database&)> fails_with_io;
  };
  auto io = [](const auto& r) { return !r && r.error().kind() == ErrorKind::Io; };
  const std::vector<Case> cases = {
      {"add", [&](Database& d) { return io(d.add("c", {1, 1, 1}, std::nullopt)); }},
      {"upsert new", [&](Database& d) { return io(d.upsert("c", {1, 1, 1}, std::nullopt)); }},
      {"upsert stored", [&](Database& d) { return io(d.upsert("a", {1, 1, 1}, std::nullopt)); }},
      {"update",
       [&](Database& d) { return io(d.update("a", Vec{0, 0, 0}, Metadata(obj({{"x", 1}})))); }},
      {"remove", [&](Database& d) { return io(d.remove("a")); }},
      {"delete_many", [&](Database& d) { return io(d.delete_many({"zz", "a", "b"})); }},
      {"add_many",
       [&](Database& d) {
         return io(d.add_many({{"c", {1, 1, 1}, std::nullopt}, {"d", {1, 1, 1}, std::nullopt}}));
       }},
      {"upsert_many",
       [&](Database& d) {
         return io(d.upsert_many({{"a", {1, 1, 1}, std::nullopt}, {"d", {1, 1, 1}, std::nullopt}}));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.fails_with_io(*db_));
    EXPECT_EQ(state_of(*db_), before);
    EXPECT_EQ(db_->count(Filter::eq("color", "red")), 2u);
  }

  // Once the log can be written again, the ids that a failed delete kept are still usable.
  fs::remove(dir() / "wal.quarn");
  auto removed = db_->remove("a");
  ASSERT_TRUE(Ok(removed));
  EXPECT_TRUE(*removed);
  EXPECT_EQ(db_->count(Filter::eq("color", "red")), 1u);
  const State after = state_of(*db_);
  db_.reset();
  auto db = reopen(dir());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(state_of(*db), after);
}

// ---------------------------------------------------------------------------------------------
// Batches

TEST_F(DbTest, UpsertManyUpdatesStoredIdsAndInsertsNewOnesInFirstAppearanceOrder) {
  ASSERT_TRUE(Ok(db_->add("old", {0, 0, 0}, obj({{"k", 0}}))));
  ASSERT_TRUE(Ok(db_->upsert_many({
      {"x", {1, 1, 1}, obj({{"k", 1}})},
      {"old", {2, 2, 2}, obj({{"k", 2}})},
      {"y", {3, 3, 3}, std::nullopt},
      {"x", {4, 4, 4}, obj({{"k", 4}})},
      {"old", {5, 5, 5}, std::nullopt},
  })));
  EXPECT_EQ(db_->total_slots(), 3u);
  EXPECT_EQ(db_->count(), 3u);
  auto x = db_->get("x");
  ASSERT_TRUE(Ok(x));
  EXPECT_EQ(x->first, (Vec{4, 4, 4}));
  EXPECT_EQ(text(x->second), R"({"k":4})");
  auto old = db_->get("old");
  ASSERT_TRUE(Ok(old));
  EXPECT_EQ(old->first, (Vec{5, 5, 5}));
  EXPECT_FALSE(old->second.has_value());
  EXPECT_EQ(db_->count(Filter::eq("k", 1)), 0u);
  EXPECT_EQ(db_->count(Filter::eq("k", 4)), 1u);
  EXPECT_EQ(db_->count(Filter::in("k", {0, 2})), 0u);
  EXPECT_EQ(log_records(dir()), 6u);

  const State want = state_of(*db_);
  ASSERT_TRUE(Ok(db_->save()));
  EXPECT_EQ(saved_slots(dir()), (std::map<std::string, std::uint32_t>{{"old", 0}, {"x", 1}, {"y", 2}}));
  db_.reset();
  auto db = reopen(dir());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(state_of(*db), want);
}

TEST_F(DbTest, ReplayOfARepeatedNewIdEndsWithItsLastValues) {
  ASSERT_TRUE(Ok(db_->upsert_many({
      {"x", {1, 1, 1}, obj({{"k", 1}})},
      {"y", {2, 2, 2}, std::nullopt},
      {"x", {3, 3, 3}, obj({{"k", 3}})},
  })));
  const State want = state_of(*db_);
  EXPECT_EQ(want.total_slots, 2u);
  db_.reset();
  auto db = create(dir(), 3);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(state_of(*db), want);
  EXPECT_EQ(db->count(Filter::eq("k", 1)), 0u);
  EXPECT_EQ(db->count(Filter::eq("k", 3)), 1u);
}

TEST_F(DbTest, AddManyGivesConsecutiveSlotsInItemOrder) {
  std::vector<Record> items;
  for (int i = 0; i < 300; ++i) {  // past the sequential prefix of batch insertion
    const float f = static_cast<float>(i);
    items.push_back({name("id", i), {f, -f, 1}, obj({{"i", i}})});
  }
  ASSERT_TRUE(Ok(db_->add("first", {0, 0, 0}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->add_many(items)));
  EXPECT_EQ(db_->count(), 301u);
  EXPECT_EQ(log_records(dir()), 301u);
  for (int i : {0, 150, 299}) {
    auto got = db_->get(name("id", i));
    ASSERT_TRUE(Ok(got));
    const float f = static_cast<float>(i);
    EXPECT_EQ(got->first, (Vec{f, -f, 1}));
    EXPECT_EQ(db_->count(Filter::eq("i", i)), 1u);
  }
  ASSERT_TRUE(Ok(db_->save()));
  const auto slots = saved_slots(dir());
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(slots.at(name("id", i)), static_cast<std::uint32_t>(i + 1));
  }
}

// ---------------------------------------------------------------------------------------------
// Search

// Distances computed independently in double precision.
double reference_distance(const Vec& q, const Vec& v, Metric metric) {
  double dot = 0, qq = 0, vv = 0, l2 = 0;
  for (std::size_t i = 0; i < q.size(); ++i) {
    dot += double(q[i]) * v[i];
    qq += double(q[i]) * q[i];
    vv += double(v[i]) * v[i];
    l2 += (double(q[i]) - v[i]) * (double(q[i]) - v[i]);
  }
  switch (metric) {
    case Metric::Cosine:
      return (qq == 0 || vv == 0) ? 1.0 : 1.0 - dot / std::sqrt(qq * vv);
    case Metric::Euclidean:
      return l2;
    case Metric::DotProduct:
      return -dot;
  }
  return 0;
}

std::vector<std::pair<double, std::string>> brute_force(const std::map<std::string, Vec>& data,
                                                        const Vec& q, Metric metric,
                                                        std::size_t k) {
  std::vector<std::pair<double, std::string>> all;
  for (const auto& [id, v] : data) all.push_back({reference_distance(q, v, metric), id});
  std::sort(all.begin(), all.end());
  if (all.size() > k) all.resize(k);
  return all;
}

Vec random_vector(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  Vec v(dim);
  for (auto& x : v) x = g(rng);
  return v;
}

// The results must be the k nearest: same distances as the reference, rank by rank, and each
// hit's distance must be its own reference distance (so near-ties may swap, nothing else).
void expect_matches_reference(const std::vector<SearchResult>& hits,
                              const std::map<std::string, Vec>& data, const Vec& q,
                              Metric metric, std::size_t k) {
  const auto want = brute_force(data, q, metric, k);
  ASSERT_EQ(hits.size(), want.size());
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const double scale = 1e-4 * std::max(1.0, std::abs(want[i].first));
    EXPECT_NEAR(hits[i].distance, want[i].first, scale) << "rank " << i;
    ASSERT_TRUE(data.contains(hits[i].id));
    EXPECT_NEAR(hits[i].distance, reference_distance(q, data.at(hits[i].id), metric), scale);
    if (i > 0) {
      EXPECT_LE(hits[i - 1].distance, hits[i].distance);
    }
  }
}

class ExactSearchTest : public ::testing::TestWithParam<Metric> {};

TEST_P(ExactSearchTest, MatchesBruteForceWithAndWithoutDeletionsAndFilters) {
  const Metric metric = GetParam();
  TempDir tmp;
  auto db = create(tmp.path() / "c", 16, metric);
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(7);
  std::map<std::string, Vec> data;
  std::vector<Record> items;
  for (int i = 0; i < 400; ++i) {
    const std::string id = name("v", i);
    data[id] = random_vector(rng, 16);
    items.push_back({id, data[id], obj({{"parity", i % 2}})});
  }
  ASSERT_TRUE(Ok(db->add_many(items)));
  std::vector<Vec> queries;
  for (int i = 0; i < 8; ++i) queries.push_back(random_vector(rng, 16));

  auto check_all = [&](const char* phase) {
    SCOPED_TRACE(phase);
    for (std::size_t k : {1u, 10u, 50u}) {
      for (const auto& q : queries) {
        auto hits = db->search(q, options(k));
        ASSERT_TRUE(Ok(hits));
        expect_matches_reference(*hits, data, q, metric, k);
      }
    }
    const Filter odd = Filter::eq("parity", 1);
    std::map<std::string, Vec> odd_data;
    for (const auto& [id, v] : data) {
      if (std::stoi(id.substr(1)) % 2 == 1) odd_data[id] = v;
    }
    for (const auto& q : queries) {
      auto hits = db->search(q, options(10, &odd));
      ASSERT_TRUE(Ok(hits));
      expect_matches_reference(*hits, odd_data, q, metric, 10);
    }
  };
  check_all("no deletions");

  std::vector<std::string> doomed;
  for (int i = 0; i < 400; i += 3) doomed.push_back(name("v", i));
  auto removed = db->delete_many(doomed);
  ASSERT_TRUE(Ok(removed));
  EXPECT_EQ(*removed, doomed.size());
  for (const auto& id : doomed) data.erase(id);
  check_all("with deletions");
}

INSTANTIATE_TEST_SUITE_P(Metrics, ExactSearchTest,
                         ::testing::Values(Metric::Cosine, Metric::Euclidean, Metric::DotProduct),
                         [](const auto& param) { return std::string(distance::metric_name(param.param)); });

class GraphSearchTest : public ::testing::TestWithParam<Metric> {};

// The graph path, asked of the index directly: recall against brute force, and deleted slots
// never come back.
TEST_P(GraphSearchTest, FindsMostTrueNeighboursAndSkipsDeletedSlots) {
  const Metric metric = GetParam();
  constexpr std::size_t kDim = 12, kN = 2000, kK = 10;
  hnsw::HnswIndex index(kDim, 16, 100, metric);
  std::mt19937 rng(11);
  std::vector<Vec> vectors;
  for (std::size_t i = 0; i < kN; ++i) vectors.push_back(random_vector(rng, kDim));
  const auto slots = index.batch_insert(vectors);
  ASSERT_EQ(slots.size(), kN);
  std::set<std::uint32_t> deleted;
  for (std::uint32_t s = 0; s < kN; s += 5) {
    ASSERT_TRUE(index.mark_deleted(s));
    deleted.insert(s);
  }
  std::size_t found = 0, wanted = 0;
  for (int qi = 0; qi < 40; ++qi) {
    const Vec q = random_vector(rng, kDim);
    std::vector<std::pair<double, std::uint32_t>> ref;
    for (std::uint32_t s = 0; s < kN; ++s) {
      if (!deleted.contains(s)) ref.push_back({reference_distance(q, vectors[s], metric), s});
    }
    std::sort(ref.begin(), ref.end());
    std::set<std::uint32_t> truth;
    for (std::size_t i = 0; i < kK; ++i) truth.insert(ref[i].second);
    const auto hits = index.search_graph(q, kK, 64);
    ASSERT_EQ(hits.size(), kK);
    for (std::size_t i = 0; i < hits.size(); ++i) {
      EXPECT_FALSE(deleted.contains(hits[i].slot));
      EXPECT_NEAR(hits[i].distance, reference_distance(q, vectors[hits[i].slot], metric), 1e-3);
      if (i > 0) {
      EXPECT_LE(hits[i - 1].distance, hits[i].distance);
    }
      found += truth.contains(hits[i].slot);
    }
    wanted += kK;
  }
  EXPECT_GE(static_cast<double>(found) / static_cast<double>(wanted), 0.9);
}

INSTANTIATE_TEST_SUITE_P(Metrics, GraphSearchTest,
                         ::testing::Values(Metric::Cosine, Metric::Euclidean, Metric::DotProduct),
                         [](const auto& param) { return std::string(distance::metric_name(param.param)); });

// A few very long vectors put the collection past the exact-scan threshold (count × dim of
// 10,000,000 floats), so the database's own graph path runs, filters included.
TEST(DbGraphPath, SearchesPastTheExactScanThreshold) {
  // Only the leading kUsed floats of each vector are non-zero; the reference distances are
  // computed over those alone.
  constexpr std::size_t kDim = 1'000'000, kN = 11, kUsed = 64;
  TempDir tmp;
  auto db = create(tmp.path() / "c", kDim, Metric::Euclidean);
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(3);
  std::map<std::string, Vec> data;
  std::vector<Record> items;
  for (std::size_t i = 0; i < kN; ++i) {
    const std::string id = name("v", i);
    Vec v(kDim, 0.0f);
    for (std::size_t j = 0; j < kUsed; ++j) v[j] = std::uniform_real_distribution<float>(-1, 1)(rng);
    data[id] = Vec(v.begin(), v.begin() + kUsed);
    items.push_back({id, std::move(v), obj({{"even", i % 2 == 0}})});
  }
  ASSERT_TRUE(Ok(db->add_many(std::move(items))));
  ASSERT_TRUE(Ok(db->remove("v4")));
  data.erase("v4");
  ASSERT_FALSE(db->stats().uses_brute_force);

  Vec q(kDim, 0.0f);
  for (std::size_t j = 0; j < kUsed; ++j) q[j] = 0.25f;
  const Vec q_used(q.begin(), q.begin() + kUsed);
  const Filter even = Filter::eq("even", true);
  std::map<std::string, Vec> even_data;
  for (const auto& [id, v] : data) {
    if (std::stoi(id.substr(1)) % 2 == 0) even_data[id] = v;
  }
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  const std::vector<std::pair<std::size_t, std::optional<std::size_t>>> widths = {
      {huge, std::nullopt}, {huge, huge}, {huge - 1, huge - 1}, {huge / 2, huge / 2}};
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized ? "quantized" : "full precision");
    if (quantized) db->enable_quantized_search();
    // Ten live nodes: a beam of 200 covers the whole graph, so the answers are exact.
    auto hits = db->search(q, options(5));
    ASSERT_TRUE(Ok(hits));
    expect_matches_reference(*hits, data, q_used, Metric::Euclidean, 5);
    auto filtered = db->search(q, options(3, &even));
    ASSERT_TRUE(Ok(filtered));
    expect_matches_reference(*filtered, even_data, q_used, Metric::Euclidean, 3);
    // Widths far beyond the collection neither fail nor reserve that much.
    for (const auto& [k, ef] : widths) {
      auto all = db->search(q, options(k, nullptr, ef));
      ASSERT_TRUE(Ok(all));
      EXPECT_EQ(all->size(), data.size());
      auto some = db->search(q, options(k, &even, ef));
      ASSERT_TRUE(Ok(some));
      EXPECT_EQ(some->size(), even_data.size());
      for (const auto& h : *some) EXPECT_TRUE(even_data.contains(h.id)) << h.id;
    }
    auto many = db->search_many({q}, options(huge, nullptr, huge));
    ASSERT_TRUE(Ok(many));
    EXPECT_EQ((*many)[0].size(), data.size());
  }
}

TEST_F(DbTest, HugeWidthsOnTheExactPath) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(Ok(db_->add(name("v", i), {float(i), 0, 1}, obj({{"i", i}}))));
  }
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  const Filter f = Filter::gte("i", 1);
  for (std::size_t k : {huge, huge - 1}) {
    for (std::size_t ef : {huge, huge - 1, std::size_t{0}}) {
      auto all = db_->search(Vec{0, 0, 1}, options(k, nullptr, ef));
      ASSERT_TRUE(Ok(all));
      EXPECT_EQ(all->size(), 5u);
      auto some = db_->search(Vec{0, 0, 1}, options(k, &f, ef));
      ASSERT_TRUE(Ok(some));
      EXPECT_EQ(some->size(), 4u);
    }
  }
}

TEST(DbSearch, DefaultWidth) {
  EXPECT_EQ(Database::default_ef(0), 200u);
  EXPECT_EQ(Database::default_ef(10), 200u);
  EXPECT_EQ(Database::default_ef(100), 200u);
  EXPECT_EQ(Database::default_ef(101), 201u);
  EXPECT_EQ(Database::default_ef(200), 341u);
  EXPECT_EQ(Database::default_ef(std::numeric_limits<std::size_t>::max()),
            std::numeric_limits<std::size_t>::max());
}

TEST_F(DbTest, ZeroCosineQueryIsAtDistanceOne) {
  auto db = create(tmp_.path() / "cos", 3, Metric::Cosine);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(Ok(db->add("a", {1, 2, 3}, std::nullopt)));
  ASSERT_TRUE(Ok(db->add("zero", {0, 0, 0}, std::nullopt)));
  ASSERT_TRUE(Ok(db->add("b", {-1, 0, 4}, std::nullopt)));
  auto hits = db->search(Vec{0, 0, 0}, options());
  ASSERT_TRUE(Ok(hits));
  ASSERT_EQ(hits->size(), 3u);
  for (const auto& h : *hits) EXPECT_EQ(h.distance, 1.0f) << h.id;
  // A stored zero vector is at distance 1.0 from any query.
  hits = db->search(Vec{1, 0, 0}, options(3));
  ASSERT_TRUE(Ok(hits));
  for (const auto& h : *hits) {
    if (h.id == "zero") {
      EXPECT_EQ(h.distance, 1.0f);
    }
  }
}

TEST_F(DbTest, SearchEdgeCases) {
  const Filter all = Filter::all_of({});
  // Empty collection: nothing, but the dimension is still checked.
  auto hits = db_->search(Vec{1, 2, 3}, options());
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());
  hits = db_->search(Vec{1, 2, 3}, options(10, &all));
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());
  auto bad = db_->search(Vec{1, 2}, options());
  ASSERT_TRUE(Fails(bad, ErrorKind::DimensionMismatch));
  EXPECT_EQ(bad.error().got(), 2u);

  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(Ok(db_->add(name("v", i), {float(i), 0, 0},
                            i == 0 ? Metadata{} : Metadata(obj({{"i", i}})))));
  }
  hits = db_->search(Vec{0, 0, 0}, options(0));
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());
  // An empty And resolves to no candidates: nothing, unlike no filter at all.
  hits = db_->search(Vec{0, 0, 0}, options(10, &all));
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());
  EXPECT_EQ(db_->count(all), 0u);

  hits = db_->search(Vec{0, 0, 0}, options(6));
  ASSERT_TRUE(Ok(hits));
  ASSERT_EQ(hits->size(), 6u);
  EXPECT_EQ((*hits)[0].id, "v0");
  EXPECT_FALSE((*hits)[0].metadata.has_value());  // absent, not an empty object
  EXPECT_EQ(text((*hits)[2].metadata), R"({"i":2})");
  // A result exactly at max_distance is kept.
  const float third = (*hits)[2].distance;
  EXPECT_EQ(third, 4.0f);
  hits = db_->search(Vec{0, 0, 0}, options(6, nullptr, std::nullopt, third));
  ASSERT_TRUE(Ok(hits));
  EXPECT_EQ(result_ids(*hits), (std::set<std::string>{"v0", "v1", "v2"}));
  hits = db_->search(Vec{0, 0, 0}, options(6, nullptr, std::nullopt, -1.0f));
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());
  // max_distance only trims the k chosen.
  hits = db_->search(Vec{0, 0, 0}, options(2, nullptr, std::nullopt, 100.0f));
  ASSERT_TRUE(Ok(hits));
  EXPECT_EQ(hits->size(), 2u);
}

TEST_F(DbTest, SearchManyEqualsOneSearchPerQuery) {
  std::mt19937 rng(5);
  std::vector<Record> items;
  for (int i = 0; i < 200; ++i) {
    items.push_back({name("v", i), random_vector(rng, 3), obj({{"b", i % 3}})});
  }
  ASSERT_TRUE(Ok(db_->add_many(items)));
  ASSERT_TRUE(Ok(db_->delete_many({"v1", "v2", "v3"})));
  std::vector<Vec> queries;
  for (int i = 0; i < 37; ++i) queries.push_back(random_vector(rng, 3));

  const Filter b1 = Filter::eq("b", 1);
  const Filter scanned = Filter::lt("b", 1.5);
  for (const Filter* f : {static_cast<const Filter*>(nullptr), &b1, &scanned}) {
    SCOPED_TRACE(f == nullptr ? "no filter" : f == &b1 ? "indexed" : "scanned");
    const SearchOptions opts = options(7, f, std::nullopt, 2.0f);
    auto many = db_->search_many(queries, opts);
    ASSERT_TRUE(Ok(many));
    ASSERT_EQ(many->size(), queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
      auto one = db_->search(queries[i], opts);
      ASSERT_TRUE(Ok(one));
      ASSERT_EQ((*many)[i].size(), one->size()) << "query " << i;
      for (std::size_t j = 0; j < one->size(); ++j) {
        EXPECT_EQ((*many)[i][j].id, (*one)[j].id);
        EXPECT_EQ((*many)[i][j].distance, (*one)[j].distance);
        EXPECT_EQ(text((*many)[i][j].metadata), text((*one)[j].metadata));
      }
    }
  }
  auto empty = db_->search_many({}, options());
  ASSERT_TRUE(Ok(empty));
  EXPECT_TRUE(empty->empty());
  auto bad = db_->search_many({{1, 2, 3}, {1, 2}, {1}}, options());
  ASSERT_TRUE(Fails(bad, ErrorKind::DimensionMismatch));
  EXPECT_EQ(bad.error().got(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Compaction and statistics

TEST_F(DbTest, CompactKeepsEveryRecordAndRenumbersSlots) {
  std::mt19937 rng(9);
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(Ok(db_->add(name("v", i), random_vector(rng, 3),
                            i % 4 == 0 ? Metadata{} : Metadata(obj({{"g", i % 3}, {"i", i}})))));
  }
  db_->compact();  // nothing deleted: nothing changes
  EXPECT_EQ(db_->total_slots(), 30u);
  std::vector<std::string> doomed;
  for (int i = 0; i < 30; i += 4) doomed.push_back(name("v", i + 1));
  ASSERT_TRUE(Ok(db_->delete_many(doomed)));
  const State before = state_of(*db_);
  std::vector<std::size_t> groups;
  for (int g = 0; g < 3; ++g) groups.push_back(db_->count(Filter::eq("g", g)));
  db_->enable_quantized_search();

  db_->compact();
  State after = state_of(*db_);
  EXPECT_EQ(after.records, before.records);
  EXPECT_EQ(after.total_slots, before.count);
  EXPECT_EQ(after.deleted, 0u);
  EXPECT_TRUE(db_->quantized_search());
  for (int g = 0; g < 3; ++g) EXPECT_EQ(db_->count(Filter::eq("g", g)), groups[g]);
  for (const auto& [id, rec] : after.records) {
    auto hits = db_->search(rec.first, options(1));
    ASSERT_TRUE(Ok(hits));
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].id, id);
    EXPECT_EQ(text((*hits)[0].metadata), rec.second);
  }

  ASSERT_TRUE(Ok(db_->save()));
  const auto slots = saved_slots(dir());
  std::set<std::uint32_t> used;
  for (const auto& [id, s] : slots) used.insert(s);
  EXPECT_EQ(used.size(), before.count);
  EXPECT_EQ(*used.rbegin(), before.count - 1);
  // Live slots keep their relative order.
  EXPECT_LT(slots.at("v0"), slots.at("v2"));
  EXPECT_LT(slots.at("v2"), slots.at("v28"));

  // Mutations after compaction work on the new slots, and survive a reopen.
  ASSERT_TRUE(Ok(db_->update("v2", std::nullopt, Metadata(obj({{"g", 7}})))));
  ASSERT_TRUE(Ok(db_->remove("v3")));
  ASSERT_TRUE(Ok(db_->add("new", {1, 1, 1}, obj({{"g", 7}}))));
  EXPECT_EQ(db_->count(Filter::eq("g", 7)), 2u);
  after = state_of(*db_);
  db_.reset();
  auto db = reopen(dir());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(state_of(*db), after);
}

TEST_F(DbTest, CompactWithoutSaveReopensToTheSameRecords) {
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(Ok(db_->add(name("v", i), {float(i), 1, 2}, obj({{"i", i}}))));
  }
  ASSERT_TRUE(Ok(db_->save()));
  ASSERT_TRUE(Ok(db_->remove("v1")));
  db_->compact();
  ASSERT_TRUE(Ok(db_->upsert("v5", {9, 9, 9}, std::nullopt)));
  const auto want = state_of(*db_).records;
  db_.reset();
  auto db = reopen(dir());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(state_of(*db).records, want);
}

TEST_F(DbTest, CompactingEverythingAwayLeavesAnEmptyIndex) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"k", 1}}))));
  ASSERT_TRUE(Ok(db_->add("b", {1, 2, 4}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->delete_many({"a", "b"})));
  db_->compact();
  EXPECT_EQ(db_->total_slots(), 0u);
  const Stats st = db_->stats();
  EXPECT_EQ(st.num_layers, 0u);
  EXPECT_EQ(st.memory_vectors_bytes, 0u);
  EXPECT_TRUE(st.uses_brute_force);
  auto hits = db_->search(Vec{1, 2, 3}, options());
  ASSERT_TRUE(Ok(hits));
  EXPECT_TRUE(hits->empty());
  EXPECT_EQ(db_->count(Filter::eq("k", 1)), 0u);
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, std::nullopt)));
  EXPECT_EQ(db_->count(), 1u);
}

TEST(DbStats, FiguresOfASmallCollection) {
  TempDir tmp;
  auto db = create(tmp.path() / "c", 4);
  ASSERT_NE(db, nullptr);
  Stats st = db->stats();
  EXPECT_EQ(st.num_vectors, 0u);
  EXPECT_EQ(st.num_layers, 0u);
  EXPECT_EQ(st.avg_degree_layer0, 0.0);
  EXPECT_EQ(st.memory_graph_bytes, 0u);
  EXPECT_TRUE(st.uses_brute_force);
  db->enable_quantized_search();
  EXPECT_FALSE(db->stats().uses_quantized_search);

  // Two nodes link each other on layer 0 whatever their levels.
  ASSERT_TRUE(Ok(db->add("v0", {0, 1, 0, 2}, std::nullopt)));
  ASSERT_TRUE(Ok(db->add("v1", {1, 1, 1, 2}, std::nullopt)));
  st = db->stats();
  EXPECT_EQ(st.num_vectors, 2u);
  EXPECT_GE(st.num_layers, 1u);
  EXPECT_EQ(st.avg_degree_layer0, 1.0);
  EXPECT_EQ(st.min_degree_layer0, 1u);
  EXPECT_EQ(st.max_degree_layer0, 1u);
  EXPECT_GE(st.memory_graph_bytes, 8u);
  EXPECT_EQ(st.memory_graph_bytes % 8, 0u);  // links come in pairs here
  for (int i = 2; i < 10; ++i) {
    const float f = static_cast<float>(i);
    ASSERT_TRUE(Ok(db->add(name("v", i), {f, 1, f * f, 2}, std::nullopt)));
  }
  st = db->stats();
  EXPECT_EQ(st.num_vectors, 10u);
  EXPECT_EQ(st.memory_vectors_bytes, 160u);
  EXPECT_GE(st.min_degree_layer0, 1u);
  EXPECT_LE(st.max_degree_layer0, 9u);
  EXPECT_LE(static_cast<double>(st.min_degree_layer0), st.avg_degree_layer0);
  EXPECT_LE(st.avg_degree_layer0, static_cast<double>(st.max_degree_layer0));
  EXPECT_EQ(st.memory_quantized_bytes, 0u);

  ASSERT_TRUE(Ok(db->delete_many({"v1", "v5", "v9"})));
  st = db->stats();
  EXPECT_EQ(st.num_vectors, 7u);
  EXPECT_EQ(st.num_deleted, 3u);
  EXPECT_EQ(st.memory_vectors_bytes, 160u);
  db->enable_quantized_search();
  st = db->stats();
  EXPECT_TRUE(st.uses_quantized_search);
  EXPECT_EQ(st.memory_quantized_bytes, 8u * 4u + 40u);

  db->compact();
  st = db->stats();
  EXPECT_EQ(st.num_vectors, 7u);
  EXPECT_EQ(st.num_deleted, 0u);
  EXPECT_EQ(st.memory_vectors_bytes, 112u);
  EXPECT_LE(st.max_degree_layer0, 6u);  // no links to the dropped slots remain
  EXPECT_EQ(st.memory_quantized_bytes, 8u * 4u + 28u);
  EXPECT_TRUE(st.uses_brute_force);
  db->disable_quantized_search();
  EXPECT_FALSE(db->stats().uses_quantized_search);
  EXPECT_EQ(db->stats().memory_quantized_bytes, 0u);
}

}  // namespace
}  // namespace quarn_core::db
