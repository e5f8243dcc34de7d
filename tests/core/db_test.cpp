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
#include <tuple>
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
using testing::create;
using testing::Fails;
using testing::log_records;
using testing::name;
using testing::Ok;
using testing::reopen;
using testing::TempDir;
using testing::text;
using testing::value;
using Vec = std::vector<float>;
using Ids = std::set<std::string>;
using Rec = std::pair<Vec, std::string>;
using Slots = std::map<std::string, std::uint32_t>;
constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

Rec rec(const Database& db, const std::string& id) {
  auto r = db.get(id);
  EXPECT_TRUE(Ok(r)) << id;
  return r ? Rec{r->first, text(r->second)} : Rec{{}, "<missing>"};
}

// Every live record as the public reads show it, plus the slot counters.
struct State {
  testing::Records records;
  std::size_t count = 0, total_slots = 0, deleted = 0;
  bool operator==(const State&) const = default;
};

State state_of(const Database& db) {
  return {testing::records_of(db), db.count(), db.total_slots(), db.deleted_count()};
}

// id -> slot as the last save wrote them.
Slots saved_slots(const fs::path& dir) {
  Slots out;
  for (const auto& r : value(storage::Storage(dir).load()).records) out[r.id] = r.slot;
  return out;
}

SearchOptions options(std::size_t k = 10, const Filter* filter = nullptr,
                      std::optional<std::size_t> ef_search = std::nullopt,
                      std::optional<float> max_distance = std::nullopt) {
  return SearchOptions{
      .k = k, .ef_search = ef_search, .filter = filter, .max_distance = max_distance};
}

std::vector<SearchResult> search(const Database& db, const Vec& q,
                                 const SearchOptions& o = options()) {
  return value(db.search(q, o));
}

Ids ids_of(const std::vector<SearchResult>& results) {
  Ids out;
  for (const auto& r : results) out.insert(r.id);
  return out;
}

Value obj(std::initializer_list<std::pair<const std::string, Value>> fields) {
  Value v = Value::object();
  for (const auto& [k, x] : fields) v[k] = x;
  return v;
}

Vec random_vector(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  Vec v(dim);
  for (auto& x : v) x = g(rng);
  return v;
}

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = create(dir(), 3);
    ASSERT_NE(db_, nullptr);
  }
  fs::path dir() const { return tmp_.path() / "c"; }
  // Closes the collection and opens it again: saved files plus the log.
  void reload() {
    db_.reset();
    db_ = create(dir(), 3);
    ASSERT_NE(db_, nullptr);
  }

  TempDir tmp_;
  std::shared_ptr<Database> db_;
};

// ---------------------------------------------------------------------------------------------
// Mutations

TEST_F(DbTest, RejectedCallsReportTheFirstFailingCheckAndLeaveNoTrace) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"color", "red"}}))));
  const std::size_t records = log_records(dir());
  const State before = state_of(*db_);

  // Checked right after each call, which must fail with `kind` (naming `id` for DuplicateId
  // and NotFound, or the length `got` for DimensionMismatch) and leave nothing behind.
  auto rejected = [&](const char* label, const auto& r, ErrorKind kind, std::string id,
                      std::size_t got) {
    SCOPED_TRACE(label);
    ASSERT_TRUE(Fails(r, kind));
    if (kind == ErrorKind::DimensionMismatch) {
      EXPECT_EQ(r.error().expected(), 3u);
      EXPECT_EQ(r.error().got(), got);
    } else {
      EXPECT_EQ(r.error().text(), id);
    }
    EXPECT_EQ(log_records(dir()), records);
    EXPECT_EQ(state_of(*db_), before);
  };
  auto items = [](std::vector<std::pair<std::string, std::size_t>> lengths) {
    std::vector<Record> out;
    for (auto& [id, len] : lengths) out.push_back(Record{id, Vec(len, 0.5f), obj({{"n", 1}})});
    return out;
  };
  constexpr auto kMismatch = ErrorKind::DimensionMismatch;
  rejected("add: wrong length", db_->add("b", {1, 2}, std::nullopt), kMismatch, "", 2);
  rejected("add: wrong length beats stored id", db_->add("a", {1, 2, 3, 4}, std::nullopt),
           kMismatch, "", 4);
  rejected("add: stored id", db_->add("a", {0, 0, 1}, std::nullopt), ErrorKind::DuplicateId, "a",
           0);
  rejected("upsert: wrong length", db_->upsert("a", {1}, std::nullopt), kMismatch, "", 1);
  rejected("update: unknown id beats wrong length", db_->update("zz", Vec{1, 2}, std::nullopt),
           ErrorKind::NotFound, "zz", 0);
  rejected("update: unknown id, nothing given", db_->update("zz", std::nullopt, std::nullopt),
           ErrorKind::NotFound, "zz", 0);
  rejected("update: wrong length", db_->update("a", Vec{1, 2}, Metadata{}), kMismatch, "", 2);
  rejected("add_many: first bad length beats stored id",
           db_->add_many(items({{"a", 3}, {"b", 5}, {"c", 2}})), kMismatch, "", 5);
  rejected("add_many: third id stored", db_->add_many(items({{"b", 3}, {"c", 3}, {"a", 3}})),
           ErrorKind::DuplicateId, "a", 0);
  rejected("add_many: new id named twice", db_->add_many(items({{"x", 3}, {"y", 3}, {"x", 3}})),
           ErrorKind::DuplicateId, "x", 0);
  rejected("upsert_many: last length bad", db_->upsert_many(items({{"a", 3}, {"b", 3}, {"c", 7}})),
           kMismatch, "", 7);

  // The reads and deletions that find nothing.
  EXPECT_TRUE(Fails(db_->get("zz"), ErrorKind::NotFound));
  EXPECT_FALSE(value(db_->remove("zz")));
  EXPECT_EQ(value(db_->delete_many({"zz", "yy"})), 0u);
  EXPECT_EQ(value(db_->delete_many({})), 0u);
  EXPECT_EQ(log_records(dir()), records);
  EXPECT_EQ(state_of(*db_), before);

  // A rejected add leaves nothing that a replay would apply.
  reload();
  EXPECT_EQ(state_of(*db_), before);
}

// update changes only what it is given; upsert without metadata clears it. Both drop the index
// entries of the values they replace.
TEST_F(DbTest, UpdateAndUpsertReplaceMetadataAndItsIndexEntries) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"color", "red"}}))));
  const Filter red = Filter::eq("color", "red"), blue = Filter::eq("color", "blue");
  ASSERT_TRUE(Ok(db_->update("a", std::nullopt, std::nullopt)));
  EXPECT_EQ(log_records(dir()), 2u);

  ASSERT_TRUE(Ok(db_->update("a", std::nullopt, Metadata(obj({{"color", "blue"}})))));
  EXPECT_EQ(rec(*db_, "a"), (Rec{{1, 2, 3}, R"({"color":"blue"})"}));
  EXPECT_EQ(db_->count(red), 0u);
  EXPECT_EQ(db_->count(blue), 1u);
  ASSERT_TRUE(Ok(db_->update("a", Vec{4, 5, 6}, std::nullopt)));
  EXPECT_EQ(rec(*db_, "a"), (Rec{{4, 5, 6}, R"({"color":"blue"})"}));
  EXPECT_EQ(db_->count(blue), 1u);
  // A present but empty replacement clears the metadata and its index entries.
  ASSERT_TRUE(Ok(db_->update("a", std::nullopt, Metadata{})));
  EXPECT_EQ(rec(*db_, "a").second, "<none>");
  EXPECT_EQ(db_->count(blue), 0u);
  EXPECT_EQ(db_->count(Filter::ne("color", "red")), 0u);
  const Filter any_color = Filter::in("color", {"red", "blue"});
  EXPECT_TRUE(search(*db_, Vec{1, 0, 0}, options(10, &any_color)).empty());
  // The log rebuilds the same thing.
  const State before = state_of(*db_);
  reload();
  EXPECT_EQ(state_of(*db_), before);

  ASSERT_TRUE(Ok(db_->add("b", {1, 0, 0}, obj({{"color", "red"}, {"size", 3}}))));
  ASSERT_TRUE(Ok(db_->upsert("b", {0, 1, 0}, obj({{"color", "green"}}))));
  EXPECT_EQ(db_->count(red), 0u);
  EXPECT_EQ(db_->count(Filter::eq("size", 3)), 0u);
  EXPECT_EQ(db_->count(Filter::eq("color", "green")), 1u);
  ASSERT_TRUE(Ok(db_->upsert("b", {0, 0, 1}, std::nullopt)));
  EXPECT_EQ(rec(*db_, "b"), (Rec{{0, 0, 1}, "<none>"}));
  EXPECT_EQ(db_->count(Filter::eq("color", "green")), 0u);
  EXPECT_EQ(db_->count(Filter::ne("color", "x")), 0u);
  // Indexing a value again brings its entry back.
  ASSERT_TRUE(Ok(db_->add("c", {0, 0, 2}, obj({{"color", "red"}}))));
  EXPECT_EQ(db_->count(red), 1u);
  EXPECT_EQ(ids_of(search(*db_, Vec{1, 0, 0}, options(10, &red))), Ids{"c"});
  EXPECT_EQ(db_->total_slots(), 3u);
  const auto hits = search(*db_, Vec{0, 0, 1});
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].id, "b");
  EXPECT_FALSE(hits[0].metadata.has_value());
}

TEST_F(DbTest, DeleteLeavesATombstoneAndReAddingTakesANewSlot) {
  for (const char* id : {"a", "b", "c"}) {
    ASSERT_TRUE(Ok(db_->add(id, {1, 2, 3}, obj({{"color", "red"}}))));
  }
  EXPECT_TRUE(value(db_->remove("b")));
  EXPECT_FALSE(value(db_->remove("b")));
  EXPECT_TRUE(Fails(db_->get("b"), ErrorKind::NotFound));
  EXPECT_FALSE(db_->contains("b"));
  auto ids = db_->ids();
  EXPECT_EQ(Ids(ids.begin(), ids.end()), (Ids{"a", "c"}));
  EXPECT_EQ(db_->count(), 2u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_EQ(db_->total_slots(), 3u);
  EXPECT_EQ(db_->count(Filter::eq("color", "red")), 2u);

  ASSERT_TRUE(Ok(db_->add("b", {3, 2, 1}, obj({{"color", "blue"}}))));
  EXPECT_EQ(db_->total_slots(), 4u);
  EXPECT_EQ(db_->deleted_count(), 1u);
  EXPECT_EQ(db_->count(Filter::eq("color", "red")), 2u);
  EXPECT_EQ(db_->count(Filter::eq("color", "blue")), 1u);
  EXPECT_EQ(rec(*db_, "b").first, (Vec{3, 2, 1}));
  ASSERT_TRUE(Ok(db_->save()));
  EXPECT_EQ(saved_slots(dir()), (Slots{{"a", 0}, {"b", 3}, {"c", 2}}));

  EXPECT_EQ(value(db_->delete_many({"a", "a", "zz"})), 1u);
  EXPECT_EQ(db_->deleted_count(), 2u);
}

// 1, 1.0, "1" and true are four different values to equality filters and the index; numbers
// of both integer kinds meet by value; ranges see every number and nothing else.
TEST_F(DbTest, FiltersAreTypeSensitive) {
  const std::vector<std::pair<std::string, Value>> records = {
      {"int", Value(1)},   {"uint", Value(1u)},   {"float", Value(1.0)},
      {"str", Value("1")}, {"bool", Value(true)}, {"null", Value(nullptr)},
  };
  float x = 0.0f;
  for (const auto& [id, v] : records) {
    ASSERT_TRUE(Ok(db_->add(id, {x, 1, 0}, obj({{"n", v}}))));
    x += 1.0f;
  }
  ASSERT_TRUE(Ok(db_->add("none", {x, 1, 0}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->add("other", {x + 1, 1, 0}, obj({{"m", 1}}))));

  const std::vector<std::tuple<const char*, Filter, Ids>> cases = {
      {"eq int", Filter::eq("n", 1), {"int", "uint"}},
      {"eq float", Filter::eq("n", 1.0), {"float"}},
      {"eq string", Filter::eq("n", "1"), {"str"}},
      {"eq bool", Filter::eq("n", true), {"bool"}},
      // null is never indexed: the records answer for it, not the index's empty entry.
      {"eq null", Filter::eq("n", nullptr), {"null"}},
      {"in null or true", Filter::in("n", {Value(nullptr), Value(true)}), {"bool", "null"}},
      {"in float or string", Filter::in("n", {1.0, "1"}), {"float", "str"}},
      {"in nothing", Filter::in("n", {}), {}},
      {"gte 1.0", Filter::gte("n", 1.0), {"int", "uint", "float"}},
      {"lt 10 never a string", Filter::lt("n", 10), {"int", "uint", "float"}},
      {"ne int", Filter::ne("n", 1), {"float", "str", "bool", "null", "other"}},
      {"and eq with range",
       Filter::all_of({Filter::eq("n", 1), Filter::gt("n", 0.5)}),
       {"int", "uint"}},
      {"or", Filter::any_of({Filter::eq("n", true), Filter::eq("m", 1)}), {"bool", "other"}},
      {"empty and: no candidates, unlike no filter", Filter::all_of({}), {}},
  };
  for (const auto& [label, filter, want] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(db_->count(filter), want.size());
    const auto hits = search(*db_, Vec{0, 1, 0}, options(100, &filter));
    EXPECT_EQ(ids_of(hits), want);
    for (const auto& h : hits) EXPECT_TRUE(filter.matches(h.metadata)) << h.id;
  }
}

// ---------------------------------------------------------------------------------------------
// Save, reopen and replay

TEST_F(DbTest, ReopenReplaysTheLogOverTheSavedFilesTheSameWayEachTime) {
  ASSERT_TRUE(Ok(db_->add("saved", {1, 1, 1}, obj({{"k", 1}}))));
  ASSERT_TRUE(Ok(db_->add("gone", {2, 2, 2}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->add("tmp", {3, 4, 5}, obj({{"k", 1}}))));
  ASSERT_TRUE(Ok(db_->remove("tmp")));
  // Never saved by hand: the collection was saved when it was created, so it opens (with no
  // dim) and replays its log.
  const State logged = state_of(*db_);
  db_.reset();
  auto opened = reopen(dir());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(state_of(*opened), logged);
  opened.reset();
  reload();
  EXPECT_EQ(state_of(*db_), logged);
  EXPECT_EQ(db_->count(Filter::eq("k", 1)), 1u);
  ASSERT_TRUE(Ok(db_->save()));  // keeps what the log held
  for (const char* file : {"wal.quarn", "graph.tmp", "vectors.tmp", "vectors.sq8"}) {
    EXPECT_FALSE(fs::exists(dir() / file)) << file;
  }
  ASSERT_TRUE(Ok(db_->add("new1", {3, 3, 3}, obj({{"k", 2}}))));
  ASSERT_TRUE(Ok(db_->add("new2", {4, 4, 4}, obj({{"k", 3}}))));
  ASSERT_TRUE(Ok(db_->remove("new2")));
  ASSERT_TRUE(Ok(db_->remove("gone")));
  ASSERT_TRUE(Ok(db_->update("saved", Vec{5, 5, 5}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->upsert("new1", {6, 6, 6}, obj({{"k", 4}}))));
  ASSERT_TRUE(Ok(
      db_->upsert_many({{"u1", {7, 7, 7}, std::nullopt}, {"saved", {8, 8, 8}, obj({{"k", 5}})}})));
  const State want = state_of(*db_);
  EXPECT_EQ(want.count, 3u);

  db_.reset();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto db = reopen(dir());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(state_of(*db), want);
    EXPECT_EQ(db->count(Filter::eq("k", 4)), 1u);
    EXPECT_EQ(db->count(Filter::eq("k", 1)), 0u);
    // The second round saves what it reopened.
    if (round == 1) {
      ASSERT_TRUE(Ok(db->save()));
    }
  }
  // The next open agrees.
  auto third = reopen(dir());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(state_of(*third), want);
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
  EXPECT_EQ(rec(*db, "a"), (Rec{{1, 2, 3}, R"({"k":1})"}));
  EXPECT_EQ(db->count(Filter::eq("k", 0)), 0u);
  EXPECT_EQ(rec(*db, "good").first, (Vec{4, 5, 6}));
}

TEST(DbOpen, ALogWithoutSavedFilesIsCreatedFromOnlyWithItsOwnDimension) {
  // What an older build left of a collection it created, changed and never saved.
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  fs::create_directories(dir);
  {
    wal::Wal log(dir / wal::kWalFileName);
    ASSERT_TRUE(Ok(log.append(wal::WalEntry::Insert{"a", {1, 2, 3}, std::nullopt})));
  }
  auto refused = Database::open_or_create_with_config(dir, 4, Metric::Euclidean, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(),
            "io error: the log in '" + dir.string() +
                "' holds vectors of dimension 3, not 4: open the collection with the dimension "
                "it was created with");
  EXPECT_TRUE(fs::exists(dir / wal::kWalFileName));
  auto db = create(dir, 3);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->contains("a"));
  EXPECT_FALSE(fs::exists(dir / wal::kWalFileName));  // saved at once, with the record
  db.reset();
  EXPECT_TRUE(reopen(dir)->contains("a"));
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
    if (c.toggle == true) db->enable_quantized_search();
    if (c.toggle == false) db->disable_quantized_search();
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
    const auto hits = search(*db, Vec{1, 1, 1, 1}, options(1));
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, "late");
    if (c.quantize) continue;
    // Asked for on a reopen, quantize starts writing codes; the next open searches them.
    ASSERT_TRUE(Ok(db->save()));
    db.reset();
    db = create(dir, 4, Metric::Cosine, DatabaseConfig{.quantize = true});
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(db->quantize());
    EXPECT_FALSE(db->quantized_search());
    ASSERT_TRUE(Ok(db->save()));
    db.reset();
    db = reopen(dir);
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(db->quantized_search());
  }
}

// An unwritable log: every mutation fails with Io and changes nothing.
TEST_F(DbTest, FailedLogAppendChangesNothing) {
  ASSERT_TRUE(Ok(db_->add("a", {1, 2, 3}, obj({{"color", "red"}}))));
  ASSERT_TRUE(Ok(db_->add("b", {4, 5, 6}, obj({{"color", "red"}}))));
  ASSERT_TRUE(Ok(db_->save()));  // closes the log, so the next append opens it again
  // A directory in the log's place makes opening it fail, even for root.
  fs::create_directory(dir() / "wal.quarn");
  const State before = state_of(*db_);

  // Checked right after each call: it fails with Io and changes nothing.
  auto io = [&](const char* label, const auto& r) {
    SCOPED_TRACE(label);
    EXPECT_TRUE(Fails(r, ErrorKind::Io));
    EXPECT_EQ(state_of(*db_), before);
    EXPECT_EQ(db_->count(Filter::eq("color", "red")), 2u);
  };
  io("add", db_->add("c", {1, 1, 1}, std::nullopt));
  io("upsert new", db_->upsert("c", {1, 1, 1}, std::nullopt));
  io("upsert stored", db_->upsert("a", {1, 1, 1}, std::nullopt));
  io("update", db_->update("a", Vec{0, 0, 0}, Metadata(obj({{"x", 1}}))));
  io("remove", db_->remove("a"));
  io("delete_many", db_->delete_many({"zz", "a", "b"}));
  io("add_many", db_->add_many({{"c", {1, 1, 1}, std::nullopt}, {"d", {1, 1, 1}, std::nullopt}}));
  io("upsert_many",
     db_->upsert_many({{"a", {1, 1, 1}, std::nullopt}, {"d", {1, 1, 1}, std::nullopt}}));

  // Once the log can be written again, the ids that a failed delete kept are still usable.
  fs::remove(dir() / "wal.quarn");
  EXPECT_TRUE(value(db_->remove("a")));
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
  EXPECT_EQ(log_records(dir()), 6u);
  // The log replays a repeated new id to its last values too; then a save keeps them.
  for (const char* phase : {"in memory", "replayed", "saved"}) {
    SCOPED_TRACE(phase);
    if (phase[0] == 's') {
      ASSERT_TRUE(Ok(db_->save()));
      EXPECT_EQ(saved_slots(dir()), (Slots{{"old", 0}, {"x", 1}, {"y", 2}}));
    }
    if (phase[0] != 'i') reload();
    EXPECT_EQ(db_->total_slots(), 3u);
    EXPECT_EQ(db_->count(), 3u);
    EXPECT_EQ(rec(*db_, "x"), (Rec{{4, 4, 4}, R"({"k":4})"}));
    EXPECT_EQ(rec(*db_, "old"), (Rec{{5, 5, 5}, "<none>"}));
    EXPECT_EQ(rec(*db_, "y"), (Rec{{3, 3, 3}, "<none>"}));
    EXPECT_EQ(db_->count(Filter::eq("k", 1)), 0u);
    EXPECT_EQ(db_->count(Filter::eq("k", 4)), 1u);
    EXPECT_EQ(db_->count(Filter::in("k", {0, 2})), 0u);
  }
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
  // The replay links the run of new ids as one batch too, and must give the same slots.
  for (const char* phase : {"in memory", "replayed"}) {
    SCOPED_TRACE(phase);
    if (phase[0] == 'r') reload();
    for (int i : {0, 150, 299}) {
      const float f = static_cast<float>(i);
      const std::string meta = "{\"i\":" + std::to_string(i) + "}";
      EXPECT_EQ(rec(*db_, name("id", i)), (Rec{{f, -f, 1}, meta}));
    }
  }
  ASSERT_TRUE(Ok(db_->save()));
  const auto slots = saved_slots(dir());
  for (int i = 0; i < 300; ++i)
    EXPECT_EQ(slots.at(name("id", i)), static_cast<std::uint32_t>(i + 1));
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

// The results must be the k nearest: same distances as the reference, rank by rank, and each
// hit's distance must be its own reference distance (so near-ties may swap, nothing else).
void expect_matches_reference(const std::vector<SearchResult>& hits,
                              const std::map<std::string, Vec>& data, const Vec& q, Metric metric,
                              std::size_t k) {
  std::vector<std::pair<double, std::string>> want;
  for (const auto& [id, v] : data) want.push_back({reference_distance(q, v, metric), id});
  std::sort(want.begin(), want.end());
  if (want.size() > k) want.resize(k);
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

class ExactSearch : public ::testing::TestWithParam<Metric> {};

TEST_P(ExactSearch, MatchesBruteForceWithAndWithoutDeletionsAndFilters) {
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
    items.push_back({id, data[id], obj({{"parity", i % 2}, {"i", i}})});
  }
  ASSERT_TRUE(Ok(db->add_many(items)));
  std::vector<Vec> queries;
  for (int i = 0; i < 8; ++i) queries.push_back(random_vector(rng, 16));
  // Half the records, by the index; three by $in; eleven by a range.
  const std::vector<std::pair<Filter, std::function<bool(int)>>> filters = {
      {Filter::eq("parity", 1), [](int i) { return i % 2 == 1; }},
      {Filter::in("i", {5, 6, 200}), [](int i) { return i == 5 || i == 6 || i == 200; }},
      {Filter::lt("i", 11), [](int i) { return i < 11; }},
  };
  for (const char* phase : {"no deletions", "with deletions"}) {
    SCOPED_TRACE(phase);
    if (phase[0] == 'w') {
      std::vector<std::string> doomed;
      for (int i = 0; i < 400; i += 3) doomed.push_back(name("v", i));
      EXPECT_EQ(value(db->delete_many(doomed)), doomed.size());
      for (const auto& id : doomed) data.erase(id);
    }
    for (const auto& q : queries) {
      for (std::size_t k : {1u, 10u, 50u}) {
        expect_matches_reference(search(*db, q, options(k)), data, q, metric, k);
      }
      for (const auto& [filter, passes] : filters) {
        std::map<std::string, Vec> passing;
        for (const auto& [id, v] : data) {
          if (passes(std::stoi(id.substr(1)))) passing[id] = v;
        }
        expect_matches_reference(search(*db, q, options(10, &filter)), passing, q, metric, 10);
      }
    }
  }
}

// A filter whose records all lie far from the query (the other side of the origin): the scan
// of the passing records, bounded from 2,048 of them on, still returns the min(k, passing)
// nearest, on the exact path and after a graph walk that meets none of them.
TEST_P(ExactSearch, FarFilterMatchesKeepMinOfKAndPassing) {
  const Metric metric = GetParam();
  TempDir tmp;
  auto db = create(tmp.path() / "c", 16, metric);
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(9);
  std::map<std::string, Vec> far;
  std::vector<Record> items;
  for (int i = 0; i < 5000; ++i) {
    const std::string id = name("v", i);
    Vec v = random_vector(rng, 16);
    if (i % 2 == 1) {
      for (float& x : v) x += 6.0f;
      far[id] = v;
    }
    items.push_back({id, v, obj({{"side", i % 2}})});
  }
  ASSERT_TRUE(Ok(db->add_many(items)));
  const Filter filter = Filter::eq("side", 1);
  for (const char* path : {"exact", "graph"}) {
    SCOPED_TRACE(path);
    if (path[0] == 'g') {
      ASSERT_TRUE(Ok(db->set_exact_scan_limit(0)));
    }
    for (int i = 0; i < 4; ++i) {
      Vec q = random_vector(rng, 16);
      for (float& x : q) x -= 6.0f;
      for (std::size_t k : {10u, 2600u}) {
        expect_matches_reference(search(*db, q, options(k, &filter)), far, q, metric, k);
      }
    }
  }
}

// search_many answers a batch of exact scans with matrix-matrix products, whose rounding
// differs from the single query's matrix-vector product; the answers must not. 300 queries
// make two blocks and 600 vectors of 512 floats two tiles of rows. Duplicates make exact
// ties, and a zero vector and a zero query the cosine special cases; deletions, filters
// (by the index or scanned) and max_distance apply alike.
TEST_P(ExactSearch, SearchManyEqualsSearchBitForBit) {
  const Metric metric = GetParam();
  constexpr std::size_t kDim = 512;
  TempDir tmp;
  auto db = create(tmp.path() / "c", kDim, metric);
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(23);
  std::vector<Record> items;
  for (std::size_t i = 0; i < 600; ++i) {
    Vec v = i % 50 == 1 ? items[i - 1].vector : random_vector(rng, kDim);
    if (i == 7) v.assign(kDim, 0.0f);
    items.push_back({name("v", i), std::move(v), obj({{"b", i % 3}})});
  }
  ASSERT_TRUE(Ok(db->add_many(items)));
  ASSERT_TRUE(Ok(db->delete_many({"v2", "v3", "v5"})));
  std::vector<Vec> queries;
  for (std::size_t i = 0; i < 300; ++i) {
    queries.push_back(i % 3 == 0 ? items[i].vector : random_vector(rng, kDim));
  }
  queries[4].assign(kDim, 0.0f);
  const Filter b1 = Filter::eq("b", 1), scanned = Filter::lt("b", 1.5);
  const float cut = search(*db, queries[1], options(20))[9].distance;
  const std::tuple<const char*, SearchOptions> cases[] = {
      {"k 1", options(1)},
      {"k 10", options(10)},
      {"k past the count", options(700)},
      {"indexed filter", options(7, &b1)},
      {"scanned filter", options(7, &scanned)},
      {"max_distance", options(20, nullptr, std::nullopt, cut)},
  };
  for (const auto& [label, opts] : cases) {
    SCOPED_TRACE(label);
    const auto many = value(db->search_many(queries, opts));
    ASSERT_EQ(many.size(), queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const auto one = search(*db, queries[i], opts);
      ASSERT_EQ(many[i].size(), one.size()) << "query " << i;
      for (std::size_t j = 0; j < one.size(); ++j) {
        ASSERT_EQ(many[i][j].id, one[j].id) << "query " << i << " rank " << j;
        ASSERT_EQ(many[i][j].distance, one[j].distance) << "query " << i << " rank " << j;
        ASSERT_EQ(text(many[i][j].metadata), text(one[j].metadata));
      }
    }
  }
}

// Vectors far from the origin (timestamps, coordinates, un-centred features): the matrix
// product's |x|² + |q|² − 2x·q cancels nearly every digit there. Every answer, single or
// batched, with a filter or after a deletion, must be the k smallest pair distances.
TEST_P(ExactSearch, AnswersArePairDistancesAwayFromTheOrigin) {
  const Metric metric = GetParam();
  TempDir tmp;
  auto db = create(tmp.path() / "c", 16, metric);
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(31);
  std::normal_distribution<float> g(1000.0f, 0.1f);
  std::map<std::string, Vec> data;
  std::vector<Record> items;
  for (std::size_t i = 0; i < 1000; ++i) {
    Vec v(16);
    for (auto& x : v) x = g(rng);
    data[name("v", i)] = v;
    items.push_back({name("v", i), v, obj({{"all", true}})});
  }
  ASSERT_TRUE(Ok(db->add_many(items)));
  std::vector<Vec> queries;
  for (std::size_t i = 0; i < 300; i += 15) queries.push_back(items[i].vector);
  const Filter all = Filter::eq("all", true);
  const std::tuple<const char*, const Filter*, bool> phases[] = {
      {"no filter", nullptr, false}, {"filter", &all, false}, {"after a deletion", nullptr, true}};
  for (const auto& [label, filter, deletion] : phases) {
    SCOPED_TRACE(label);
    if (deletion) {
      ASSERT_TRUE(Ok(db->remove("v999")));
      data.erase("v999");
    }
    const auto many = value(db->search_many(queries, options(10, filter)));
    for (std::size_t i = 0; i < queries.size(); ++i) {
      std::vector<float> want;
      for (const auto& [id, v] : data) want.push_back(distance::distance(queries[i], v, metric));
      std::sort(want.begin(), want.end());
      for (const auto& hits : {search(*db, queries[i], options(10, filter)), many[i]}) {
        ASSERT_EQ(hits.size(), 10u);
        for (std::size_t j = 0; j < 10; ++j) {
          ASSERT_EQ(hits[j].distance, want[j]) << "query " << i << " rank " << j;
          ASSERT_EQ(hits[j].distance, distance::distance(queries[i], data.at(hits[j].id), metric));
        }
      }
    }
  }
}

const auto kAllMetrics = ::testing::Values(Metric::Cosine, Metric::Euclidean, Metric::DotProduct);
std::string metric_name(const ::testing::TestParamInfo<Metric>& p) {
  return std::string(distance::metric_name(p.param));
}
INSTANTIATE_TEST_SUITE_P(Db, ExactSearch, kAllMetrics, metric_name);

// A few very long vectors put the collection past the exact-scan threshold (count × dim of
// 10,000,000 floats), so the database's own graph path runs, filters and deletions included.
// (Recall on a large graph is the index's own test.)
class GraphPath : public ::testing::TestWithParam<Metric> {};

TEST_P(GraphPath, MatchesBruteForcePastTheExactScanThreshold) {
  const Metric metric = GetParam();
  // Only the leading kUsed floats of each vector are non-zero; the reference distances are
  // computed over those alone.
  constexpr std::size_t kDim = 1'000'000, kN = 11, kUsed = 64;
  TempDir tmp;
  auto db = create(tmp.path() / "c", kDim, metric);
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(3);
  std::map<std::string, Vec> data, even_data;
  std::vector<Record> items;
  for (std::size_t i = 0; i < kN; ++i) {
    const std::string id = name("v", i);
    Vec v(kDim, 0.0f);
    for (std::size_t j = 0; j < kUsed; ++j)
      v[j] = std::uniform_real_distribution<float>(-1, 1)(rng);
    data[id] = Vec(v.begin(), v.begin() + kUsed);
    if (i % 2 == 0 && i != 4) even_data[id] = data[id];
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
  const std::vector<std::pair<std::size_t, std::optional<std::size_t>>> widths = {
      {kHuge, std::nullopt}, {kHuge, kHuge}, {kHuge - 1, kHuge - 1}, {kHuge / 2, kHuge / 2}};
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized ? "quantized" : "full precision");
    if (quantized) db->enable_quantized_search();
    // Ten live nodes: a beam of 200 covers the whole graph, so the answers are exact.
    expect_matches_reference(search(*db, q, options(5)), data, q_used, metric, 5);
    expect_matches_reference(search(*db, q, options(3, &even)), even_data, q_used, metric, 3);
    // Widths far beyond the collection neither fail nor reserve that much.
    for (const auto& [k, ef] : widths) {
      EXPECT_EQ(search(*db, q, options(k, nullptr, ef)).size(), data.size());
      const auto some = search(*db, q, options(k, &even, ef));
      EXPECT_EQ(some.size(), even_data.size());
      for (const auto& h : some) EXPECT_TRUE(even_data.contains(h.id)) << h.id;
    }
    auto many = value(db->search_many({q}, options(kHuge, nullptr, kHuge)));
    ASSERT_EQ(many.size(), 1u);
    EXPECT_EQ(many[0].size(), data.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Db, GraphPath, kAllMetrics, metric_name);

// Two clusters far apart (the second shifted by 100 in the first coordinate), past the
// exact-scan threshold, in a graph far larger than the search width. A filter whose records
// all lie in the other cluster is usually beyond any beam near the query: it must still be
// answered in full (k results, all passing), by the exact scan that follows the walk when the
// walk falls short. Selective filters (an equality, a range or an $in, each resolved by the
// index to its few records) are scanned exactly from the start and must equal the reference.
TEST(DbSearch, FilteredSearchIsCompleteOnTheGraphPath) {
  constexpr std::size_t kDim = 5000, kUsed = 16, kN = 2001, kK = 10;
  TempDir tmp;
  auto db = create(tmp.path() / "c", kDim, Metric::Euclidean, {.m = 4, .ef_construction = 16});
  ASSERT_NE(db, nullptr);
  std::mt19937 rng(17);
  std::map<std::string, Vec> used;  // the leading kUsed floats, the only non-zero ones
  std::vector<Record> items;
  for (std::size_t i = 0; i < kN; ++i) {
    Vec v = random_vector(rng, kUsed);
    if (i >= 1000) v[0] += 100.0f;
    used[name("v", i)] = v;
    v.resize(kDim, 0.0f);
    Value m = obj({{"i", i}, {"far", i >= 1000}, {"seven", i % 100 == 7},
                   {"tags", Value::array({i % 250, "t"})}});
    if (i % 400 == 9) m["rare"] = nullptr;
    items.push_back({name("v", i), std::move(v), std::move(m)});
  }
  ASSERT_TRUE(Ok(db->add_many(std::move(items))));
  ASSERT_TRUE(Ok(db->remove("v1007")));
  used.erase("v1007");
  ASSERT_FALSE(db->stats().uses_brute_force);

  struct Case {
    const char* name;
    Filter filter;
    std::function<bool(std::size_t)> passes;
    bool selective;
  };
  const std::vector<Case> cases = {
      {"far cluster, by index", Filter::eq("far", true), [](auto i) { return i >= 1000; }, false},
      {"far cluster, by range", Filter::gte("i", 1000), [](auto i) { return i >= 1000; }, false},
      {"near cluster", Filter::eq("far", false), [](auto i) { return i < 1000; }, false},
      {"twenty, by index", Filter::eq("seven", true), [](auto i) { return i % 100 == 7; }, true},
      {"five, by range", Filter::gt("i", 1995), [](auto i) { return i > 1995; }, true},
      {"three, by $in", Filter::in("i", {5, 1500, 2000}),
       [](auto i) { return i == 5 || i == 1500 || i == 2000; }, true},
      // The conditions of the richer language: by the index where it answers, by the walk
      // (or the scan after it) where it cannot.
      {"near cluster, by negation", Filter::negation(Filter::eq("far", true)),
       [](auto i) { return i < 1000; }, false},
      {"far or seven", Filter::any_of({Filter::eq("far", true), Filter::eq("seven", true)}),
       [](auto i) { return i >= 1000 || i % 100 == 7; }, false},
      {"eight, by $contains", Filter::contains("tags", 17), [](auto i) { return i % 250 == 17; },
       true},
      {"five, by presence", Filter::exists("rare"), [](auto i) { return i % 400 == 9; }, true},
      {"eighteen, by $nin",
       Filter::all_of({Filter::eq("seven", true), Filter::negation(Filter::in("i", {7, 1107}))}),
       [](auto i) { return i % 100 == 7 && i != 7 && i != 1107; }, true},
      {"five, unresolvable",
       Filter::any_of({Filter::eq("rare", nullptr), Filter::contains("tags", Value::array())}),
       [](auto i) { return i % 400 == 9; }, true},
  };
  // Half the queries in each cluster; a batch of 12 is large enough that search_many tests
  // the filter on every record once instead of estimating its share.
  std::vector<Vec> queries;
  for (std::size_t qi = 0; qi < 12; ++qi) {
    queries.push_back(random_vector(rng, kUsed));
    if (qi % 2 == 1) queries.back()[0] += 100.0f;
    queries.back().resize(kDim, 0.0f);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, Vec> passing;
    for (std::size_t i = 0; i < kN; ++i) {
      if (i != 1007 && c.passes(i)) passing[name("v", i)] = used.at(name("v", i));
    }
    const SearchOptions opts = options(kK, &c.filter);
    const auto many = value(db->search_many(queries, opts));
    ASSERT_EQ(many.size(), queries.size());
    for (std::size_t qi = 0; qi < queries.size(); ++qi) {
      SCOPED_TRACE(qi);
      const Vec q(queries[qi].begin(), queries[qi].begin() + kUsed);
      const bool near_query = c.passes(qi % 2 == 0 ? 0 : 1500);
      for (const bool batch : {true, false}) {
        SCOPED_TRACE(batch ? "search_many" : "search");
        const auto hits = batch ? many[qi] : search(*db, queries[qi], opts);
        if (c.selective) {
          expect_matches_reference(hits, passing, q, Metric::Euclidean, kK);
          continue;
        }
        // A walk that crosses to the other cluster may return k matches that are not the
        // nearest (the search is approximate); it must never return fewer than k.
        ASSERT_EQ(hits.size(), kK) << (near_query ? "near" : "far");
        for (const auto& h : hits) EXPECT_TRUE(passing.contains(h.id)) << h.id;
      }
    }
  }
}

TEST(DbSearch, DefaultWidth) {
  const std::vector<std::pair<std::size_t, std::size_t>> cases = {
      {0, 200}, {10, 200}, {100, 200}, {101, 201}, {200, 341}, {kHuge, kHuge}};
  for (const auto& [k, ef] : cases) EXPECT_EQ(Database::default_ef(k), ef) << k;
}

TEST_F(DbTest, SearchEdgeCases) {
  const Filter all = Filter::all_of({});
  // Empty collection: nothing, but the dimension is still checked.
  EXPECT_TRUE(search(*db_, Vec{1, 2, 3}).empty());
  EXPECT_TRUE(search(*db_, Vec{1, 2, 3}, options(10, &all)).empty());
  auto bad = db_->search(Vec{1, 2}, options());
  ASSERT_TRUE(Fails(bad, ErrorKind::DimensionMismatch));
  EXPECT_EQ(bad.error().got(), 2u);
  EXPECT_TRUE(value(db_->search_many({}, options())).empty());
  auto bad_many = db_->search_many({{1, 2, 3}, {1, 2}, {1}}, options());
  ASSERT_TRUE(Fails(bad_many, ErrorKind::DimensionMismatch));
  EXPECT_EQ(bad_many.error().got(), 2u);

  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(Ok(
        db_->add(name("v", i), {float(i), 0, 0}, i == 0 ? Metadata{} : Metadata(obj({{"i", i}})))));
  }
  EXPECT_TRUE(search(*db_, Vec{0, 0, 0}, options(0)).empty());

  const auto hits = search(*db_, Vec{0, 0, 0}, options(6));
  ASSERT_EQ(hits.size(), 6u);
  EXPECT_EQ(hits[0].id, "v0");
  EXPECT_FALSE(hits[0].metadata.has_value());  // absent, not an empty object
  EXPECT_EQ(text(hits[2].metadata), R"({"i":2})");
  // A result exactly at max_distance is kept.
  const float third = hits[2].distance;
  EXPECT_EQ(third, 4.0f);
  EXPECT_EQ(ids_of(search(*db_, Vec{0, 0, 0}, options(6, nullptr, std::nullopt, third))),
            (Ids{"v0", "v1", "v2"}));
  EXPECT_TRUE(search(*db_, Vec{0, 0, 0}, options(6, nullptr, std::nullopt, -1.0f)).empty());
  // max_distance only trims the k chosen.
  EXPECT_EQ(search(*db_, Vec{0, 0, 0}, options(2, nullptr, std::nullopt, 100.0f)).size(), 2u);

  // Widths far beyond the collection on the exact path.
  const Filter f = Filter::gte("i", 1);
  for (std::size_t k : {kHuge, kHuge - 1}) {
    for (std::size_t ef : {kHuge, kHuge - 1, std::size_t{0}}) {
      EXPECT_EQ(search(*db_, Vec{0, 0, 1}, options(k, nullptr, ef)).size(), 6u);
      EXPECT_EQ(search(*db_, Vec{0, 0, 1}, options(k, &f, ef)).size(), 5u);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Compaction and statistics

// The log names records by id, so the files saved before a compaction plus the log still
// rebuild the collection when the compaction itself was never saved.
TEST_F(DbTest, CompactKeepsEveryRecordAndRenumbersSlots) {
  std::mt19937 rng(9);
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(Ok(db_->add(name("v", i), random_vector(rng, 3),
                            i % 4 == 0 ? Metadata{} : Metadata(obj({{"g", i % 3}, {"i", i}})))));
  }
  db_->compact();  // nothing deleted: nothing changes
  EXPECT_EQ(db_->total_slots(), 30u);
  ASSERT_TRUE(Ok(db_->save()));
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
  for (const auto& [id, r] : after.records) {
    const auto hits = search(*db_, r.first, options(1));
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, id);
    EXPECT_EQ(text(hits[0].metadata), r.second);
  }

  // Mutations after compaction work on the new slots and replay over the older save.
  ASSERT_TRUE(Ok(db_->update("v2", std::nullopt, Metadata(obj({{"g", 7}})))));
  ASSERT_TRUE(Ok(db_->remove("v3")));
  ASSERT_TRUE(Ok(db_->upsert("v6", {9, 9, 9}, std::nullopt)));
  ASSERT_TRUE(Ok(db_->add("new", {1, 1, 1}, obj({{"g", 7}}))));
  EXPECT_EQ(db_->count(Filter::eq("g", 7)), 2u);
  const auto want = state_of(*db_).records;
  reload();
  EXPECT_EQ(state_of(*db_).records, want);

  // Saved after a compaction, the slots are dense and keep their relative order.
  db_->compact();
  after = state_of(*db_);
  ASSERT_TRUE(Ok(db_->save()));
  const auto slots = saved_slots(dir());
  std::set<std::uint32_t> used;
  for (const auto& [id, s] : slots) used.insert(s);
  EXPECT_EQ(used.size(), after.count);
  EXPECT_EQ(*used.rbegin(), after.count - 1);
  EXPECT_LT(slots.at("v0"), slots.at("v2"));
  EXPECT_LT(slots.at("v2"), slots.at("v28"));
  EXPECT_LT(slots.at("v28"), slots.at("new"));
  db_.reset();
  auto db = reopen(dir());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(state_of(*db), after);
}

// Renumbering for locality moves each record's vector, metadata and index entries together:
// reads, filters, text and vector searches answer as before, the log written after it replays
// over a save made before it, and a save after it keeps the new numbers.
TEST_F(DbTest, ReorderMovesEveryRecordWithItsIndexEntries) {
  std::mt19937 rng(12);
  ASSERT_TRUE(Ok(db_->create_text_index("t", std::nullopt)));
  const char* words[] = {"red", "green", "blue", "amber", "violet"};
  for (int i = 0; i < 400; ++i) {
    const std::string t = std::string(words[i % 5]) + " w" + std::to_string(i);
    ASSERT_TRUE(Ok(db_->add(name("v", i), random_vector(rng, 3), obj({{"g", i % 3}, {"t", t}}))));
  }
  ASSERT_TRUE(Ok(db_->save()));
  std::vector<std::string> doomed;
  for (int i = 0; i < 400; i += 7) doomed.push_back(name("v", i));
  ASSERT_TRUE(Ok(db_->delete_many(doomed)));
  const auto answers = [&] {
    std::vector<std::string> out;
    const auto put = [&](const std::vector<SearchResult>& hits) {
      for (const auto& h : hits) out.push_back(h.id + " " + std::to_string(h.distance));
    };
    std::mt19937 queries(5);
    for (int g = 0; g < 3; ++g) {
      const Filter f = Filter::eq("g", g);
      out.push_back(std::to_string(db_->count(f)));
      for (int i = 0; i < 10; ++i) put(search(*db_, random_vector(queries, 3), options(5, &f)));
    }
    // Equal scores come in slot order, which renumbering changes: compared as a set.
    const std::size_t from = out.size();
    TextSearchOptions all;
    all.k = 1000;
    put(value(db_->search_text("red", all)));
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(from), out.end());
    return out;
  };
  for (int round = 0; round < 2; ++round) {
    const State before = state_of(*db_);
    const auto want = answers();
    ASSERT_TRUE(Ok(db_->reorder()));
    EXPECT_EQ(state_of(*db_), before);
    EXPECT_EQ(answers(), want);
    EXPECT_TRUE(db_->verify().ok());
    ASSERT_TRUE(Ok(db_->add(name("late", round), {1, 2, 3}, obj({{"g", 1}, {"t", "red"}}))));
    const State last = state_of(*db_);
    const auto last_answers = answers();
    if (round == 1) {
      ASSERT_TRUE(Ok(db_->save()));
    }
    reload();  // round 0: the log over the save made before the renumbering
    EXPECT_EQ(state_of(*db_), last);
    EXPECT_EQ(answers(), last_answers);
    EXPECT_TRUE(db_->verify().ok());
  }
  const auto slots = saved_slots(dir());
  int out_of_order = 0;
  for (int i = 1; i < 399; ++i) {
    if (i % 7 == 0 || (i + 1) % 7 == 0) continue;  // deleted ones are not saved
    out_of_order += slots.at(name("v", i)) > slots.at(name("v", i + 1));
  }
  EXPECT_GT(out_of_order, 50);
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
  ASSERT_TRUE(Ok(db->add("v0", {0, 1, 0, 2}, obj({{"k", 1}}))));
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

  // Compacting everything away leaves an empty index that takes new records.
  ASSERT_TRUE(Ok(db->delete_many(db->ids())));
  db->compact();
  EXPECT_EQ(db->total_slots(), 0u);
  st = db->stats();
  EXPECT_EQ(st.num_layers, 0u);
  EXPECT_EQ(st.memory_vectors_bytes, 0u);
  EXPECT_TRUE(st.uses_brute_force);
  EXPECT_TRUE(search(*db, Vec{0, 1, 0, 2}).empty());
  EXPECT_EQ(db->count(Filter::eq("k", 1)), 0u);
  ASSERT_TRUE(Ok(db->add("v0", {0, 1, 0, 2}, std::nullopt)));
  EXPECT_EQ(db->count(), 1u);
}

}  // namespace
}  // namespace quarn_core::db
