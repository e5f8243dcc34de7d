// get_many, scan, delete_where and update_metadata against the single-record operations and
// a plain model of what each must leave behind.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quarn_core/db.hpp"
#include "testutil.hpp"

namespace quarn_core::db {
namespace {

namespace fs = std::filesystem;
using error::ErrorKind;
using testing::Fails;
using testing::name;
using testing::Ok;
using testing::TempDir;
using testing::text;
using testing::value;
using Vec = std::vector<float>;

constexpr std::size_t kDim = 4;

Vec vec(std::size_t i) { return {float(i), float(i % 7), float(i % 3), 1.0f}; }

json::Value js(const std::string& text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v.has_value()) << text;
  return v ? *v : json::Value();
}

Metadata meta(const std::string& text) { return text.empty() ? Metadata() : Metadata(js(text)); }

// n records r0.. with {"c": i % 3}, every fifth without metadata, and r3, r8 deleted.
std::shared_ptr<Database> filled(const fs::path& dir, std::size_t n) {
  auto db = testing::create(dir, kDim);
  std::vector<Record> items;
  for (std::size_t i = 0; i < n; ++i) {
    items.push_back({name("r", i), vec(i),
                     i % 5 == 4 ? Metadata() : meta("{\"c\":" + std::to_string(i % 3) + "}")});
  }
  EXPECT_TRUE(Ok(db->add_many(std::move(items))));
  EXPECT_TRUE(Ok(db->delete_many({"r3", "r8"})));
  return db;
}

TEST(GetManyTest, ReadsWhatGetReadsInTheOrderAsked) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 20);
  struct Case {
    std::vector<std::string> ids;
    ReadFields fields;
    bool skip;
    const char* missing;  // the id NotFound names, or null
  };
  const Case cases[] = {
      {{"r5", "r0", "r19", "r5"}, {true, true}, false, nullptr},
      {{"r1", "r4"}, {false, true}, false, nullptr},
      {{"r2"}, {true, false}, false, nullptr},
      {{}, {true, true}, false, nullptr},
      {{"r1", "r3", "zz", "r2"}, {true, true}, false, "r3"},  // deleted: not stored
      {{"r1", "r3", "zz", "r2"}, {true, true}, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ids.size() > 0 ? c.ids[0] + "..." : "none");
    Vec rows(c.ids.size() * kDim, -1.0f);
    auto got = db->get_many(c.ids, c.fields, c.skip, rows);
    if (c.missing != nullptr) {
      ASSERT_TRUE(Fails(got, ErrorKind::NotFound));
      EXPECT_EQ(got.error().text(), c.missing);
      continue;
    }
    ASSERT_TRUE(Ok(got));
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < c.ids.size(); ++i) {
      if (db->contains(c.ids[i])) expected.push_back(i);
    }
    ASSERT_EQ(got->found, expected);
    ASSERT_EQ(got->metadata.size(), c.fields.metadata ? expected.size() : 0u);
    for (std::size_t j = 0; j < expected.size(); ++j) {
      const auto one = value(db->get(c.ids[expected[j]]));
      if (c.fields.vectors) {
        EXPECT_EQ(Vec(rows.begin() + j * kDim, rows.begin() + (j + 1) * kDim), one.first);
      }
      if (c.fields.metadata) {
        EXPECT_EQ(text(got->metadata[j]), text(one.second));
      }
    }
    if (!c.fields.vectors) {
      EXPECT_EQ(rows, Vec(c.ids.size() * kDim, -1.0f));
    }
  }
}

// Batches taken while records are deleted and added between them: a record stored from start
// to end comes exactly once, one deleted before the scan reached it never, none twice.
TEST(ScanTest, CoversEveryRecordOnceWhateverChangesBetweenBatches) {
  const Filter even = Filter::eq("c", json::Value(0));
  for (std::size_t batch : {1u, 7u, 64u, 1000u}) {
    for (const Filter* filter : {static_cast<const Filter*>(nullptr), &even}) {
      SCOPED_TRACE(std::to_string(batch) + (filter ? " filtered" : ""));
      TempDir tmp;
      auto db = filled(tmp.path() / "c", 300);
      std::mt19937 rng(static_cast<unsigned>(batch));
      std::set<std::string> stored_throughout, deleted_unseen;
      for (const auto& id : db->ids()) {
        const auto m = value(db->get(id)).second;
        if (filter == nullptr || filter->matches(m)) stored_throughout.insert(id);
      }
      std::map<std::string, int> seen;
      std::size_t added = 0;
      ScanCursor cursor;
      while (!cursor.done) {
        Vec rows(batch * kDim);
        auto got = db->scan(cursor, batch, filter, {true, true}, rows);
        ASSERT_TRUE(Ok(got));
        ASSERT_LE(got->ids.size(), batch);
        for (std::size_t j = 0; j < got->ids.size(); ++j) {
          const auto one = value(db->get(got->ids[j]));
          EXPECT_EQ(Vec(rows.begin() + j * kDim, rows.begin() + (j + 1) * kDim), one.first);
          EXPECT_EQ(text(got->metadata[j]), text(one.second));
          if (filter != nullptr) {
            EXPECT_TRUE(filter->matches(one.second));
          }
          ++seen[got->ids[j]];
        }
        cursor = got->next;
        // Three deletions anywhere (behind the scan or ahead of it) and, for the first
        // batches, two additions (more for ever would keep a small batch from ending).
        auto ids = db->ids();
        for (int d = 0; d < 3 && !ids.empty(); ++d) {
          const std::string id = ids[rng() % ids.size()];
          if (value(db->remove(id)) && stored_throughout.erase(id) && !seen.contains(id)) {
            deleted_unseen.insert(id);
          }
        }
        for (int a = 0; a < 2 && added < 40; ++a, ++added) {
          ASSERT_TRUE(Ok(db->add(name("n", added), vec(added), meta("{\"c\":0}"))));
        }
      }
      for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;
      for (const auto& id : stored_throughout) EXPECT_TRUE(seen.contains(id)) << id;
      for (const auto& id : deleted_unseen) EXPECT_FALSE(seen.contains(id)) << id;
    }
  }
}

TEST(ScanTest, TheEmptyFilterSelectsNothingAsInSearch) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 30);
  const Filter none = Filter::all_of({});
  auto got = db->scan({}, 10, &none, {false, false}, {});
  ASSERT_TRUE(Ok(got));
  EXPECT_TRUE(got->ids.empty() && got->next.done);
  EXPECT_EQ(db->count(none), 0u);
}

TEST(ScanTest, RefusesToGoOnAfterSlotsAreRenumbered) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 30);
  auto first = db->scan({}, 10, nullptr, {false, false}, {});
  ASSERT_TRUE(Ok(first));
  // A save keeps every slot: the scan goes on.
  ASSERT_TRUE(Ok(db->save()));
  auto second = db->scan(first->next, 10, nullptr, {false, false}, {});
  ASSERT_TRUE(Ok(second));
  db->compact();
  auto third = db->scan(second->next, 10, nullptr, {false, false}, {});
  ASSERT_TRUE(Fails(third, ErrorKind::Io));
  EXPECT_NE(third.error().to_string().find("start the scan again"), std::string::npos);
}

TEST(DeleteWhereTest, DeletesWhatTheFilterSelectsLoggedAndReplayed) {
  struct Case {
    const char* what;
    Filter filter;
    bool selects_none = false;  // what the empty filter {} does, although every record matches
  };
  const Case cases[] = {
      {"equality (exact from the index)", Filter::eq("c", json::Value(1))},
      {"not equal (tested on every record)", Filter::ne("c", json::Value(1))},
      {"and (candidates tested)",
       Filter::all_of({Filter::eq("c", json::Value(2)), Filter::lt("c", 5.0)})},
      {"empty and (nothing)", Filter::all_of({}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const fs::path dir = tmp.path() / "c";
    auto db = filled(dir, 40);
    ASSERT_TRUE(Ok(db->save()));
    std::set<std::string> keep;
    for (const auto& id : db->ids()) {
      if (c.selects_none || !c.filter.matches(value(db->get(id)).second)) keep.insert(id);
    }
    const std::size_t before = db->count();
    EXPECT_EQ(value(db->delete_where(c.filter)), before - keep.size());
    EXPECT_EQ(testing::log_records(dir), before - keep.size());
    EXPECT_EQ(db->count(c.filter), 0u);
    EXPECT_TRUE(db->verify().ok());
    db.reset();
    db = testing::reopen(dir);  // from the files and the log
    const auto ids = db->ids();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()), keep);
  }
}

TEST(UpdateMetadataTest, MergesTopLevelKeysAsOneLoggedRecord) {
  struct Case {
    const char* stored;  // "" for none
    const char* patch;
    const char* merged;  // the metadata afterwards, or null when refused
    ErrorKind error = ErrorKind::Io;
  };
  const Case cases[] = {
      {R"({"a":1,"b":"x"})", R"({"b":"y","c":[1]})", R"({"a":1,"b":"y","c":[1]})"},
      {R"({"a":1,"b":"x"})", R"({"a":null,"z":null})", R"({"b":"x"})"},
      {"", R"({"a":2})", R"({"a":2})"},
      {R"({"a":{"deep":1}})", R"({"a":{"other":2}})", R"({"a":{"other":2}})"},
      {R"({"a":1})", R"({})", R"({"a":1})"},
      {R"([1,2])", R"({"a":1})", nullptr},
      {R"({"a":1})", R"([1])", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stored) + " + " + c.patch);
    TempDir tmp;
    const fs::path dir = tmp.path() / "c";
    auto db = testing::create(dir, kDim);
    ASSERT_TRUE(Ok(db->add("x", vec(1), meta(c.stored))));
    ASSERT_TRUE(Ok(db->save()));
    auto r = db->update_metadata("x", js(c.patch));
    if (c.merged == nullptr) {
      EXPECT_TRUE(Fails(r, c.error));
      EXPECT_EQ(testing::log_records(dir), 0u);
      continue;
    }
    ASSERT_TRUE(Ok(r));
    EXPECT_EQ(testing::log_records(dir), 1u);
    EXPECT_EQ(text(value(db->get("x")).second), c.merged);
    EXPECT_TRUE(db->verify().ok());  // the metadata index against the metadata
    db.reset();
    db = testing::reopen(dir);
    EXPECT_EQ(text(value(db->get("x")).second), c.merged);
  }
  TempDir tmp;
  auto db = testing::create(tmp.path() / "c", kDim);
  EXPECT_TRUE(Fails(db->update_metadata("nobody", json::Value::object()), ErrorKind::NotFound));
}

TEST(UpdateMetadataTest, TheFilterIndexFollowsAndConcurrentPatchesAllCount) {
  TempDir tmp;
  auto db = filled(tmp.path() / "c", 20);
  ASSERT_TRUE(Ok(db->update_metadata("r1", js(R"({"c":7})"))));
  EXPECT_EQ(db->count(Filter::eq("c", json::Value(7))), 1u);
  EXPECT_EQ(db->count(Filter::eq("c", json::Value(1))), 4u);  // r7, r10, r13, r16
  // Each thread sets its own key again and again: a merge made from a value another patch
  // replaced meanwhile would drop that patch's key.
  constexpr int kThreads = 6, kRounds = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        json::Value patch = json::Value::object();
        patch[name("t", t)] = i;
        EXPECT_TRUE(Ok(db->update_metadata("r2", patch)));
      }
    });
  }
  for (auto& t : threads) t.join();
  const auto merged = value(db->get("r2")).second;
  ASSERT_TRUE(merged);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ((*merged)[name("t", t)], kRounds - 1);
  EXPECT_EQ(db->count(Filter::eq(name("t", 0), json::Value(kRounds - 1))), 1u);
}

}  // namespace
}  // namespace quarn_core::db
