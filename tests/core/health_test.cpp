// verify() on a collection in memory, health(), repair() and calibrate().
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "collection_files.hpp"
#include "quarn_core/db.hpp"
#include "testutil.hpp"

namespace quarn_core::db {

// Reaches into a database to plant damage that no file can carry into memory.
struct DatabaseTestPeer {
  static MetadataIndex& metadata_index(Database& db) { return db.metadata_index_; }
  static std::vector<std::string>& slot_to_id(Database& db) { return db.slot_to_id_; }
  static std::vector<Metadata>& metadata(Database& db) { return db.metadata_; }
};

namespace {

namespace fs = std::filesystem;
using testing::GraphModel;
using testing::Ok;
using testing::TempDir;
using Vec = std::vector<float>;

std::string id_of(std::size_t i) {
  std::string out("v");
  out += std::to_string(i);
  return out;
}

bool mentions(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& l : lines) {
    if (l.find(part) != std::string::npos) return true;
  }
  return false;
}

std::unique_ptr<Database> create(const fs::path& dir, std::size_t dim, DatabaseConfig config) {
  auto r = Database::open_or_create_with_config(dir, dim, distance::Metric::Euclidean, config);
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : nullptr;
}

std::unique_ptr<Database> reopen(const fs::path& dir) {
  auto r = Database::open(dir);
  EXPECT_TRUE(Ok(r));
  return r ? std::move(*r) : nullptr;
}

// Every live record as (vector, metadata text).
std::map<std::string, std::pair<Vec, std::string>> records_of(const Database& db) {
  std::map<std::string, std::pair<Vec, std::string>> out;
  for (const auto& id : db.ids()) {
    auto r = db.get(id);
    EXPECT_TRUE(Ok(r));
    if (r) out[id] = {r->first, r->second ? json::to_text(*r->second) : "<none>"};
  }
  return out;
}

// 60 vectors of dimension 4, metadata on most, v7 and v13 deleted, saved.
class HealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = create(dir(), 4, DatabaseConfig{16, 40, false});
    std::mt19937 rng(3);
    std::normal_distribution<float> g;
    std::vector<Record> items;
    for (std::size_t i = 0; i < 60; ++i) {
      Vec v(4);
      for (auto& x : v) x = g(rng);
      Metadata md;
      if (i % 5 != 0) md = json::parse("{\"i\":" + std::to_string(i) + ",\"g\":\"x\"}");
      items.push_back(Record{id_of(i), v, md});
    }
    ASSERT_TRUE(Ok(db_->add_many(items)));
    ASSERT_TRUE(Ok(db_->remove("v7")));
    ASSERT_TRUE(Ok(db_->remove("v13")));
    ASSERT_TRUE(Ok(db_->save()));
  }

  // Saves, edits the graph file and opens the collection again.
  void edit_graph(const std::function<void(GraphModel&)>& f) {
    ASSERT_TRUE(Ok(db_->save()));
    db_.reset();
    GraphModel g = GraphModel::read(dir() / "graph.quarn");
    f(g);
    g.write(dir() / "graph.quarn");
    db_ = reopen(dir());
    ASSERT_NE(db_, nullptr);
  }

  fs::path dir() const { return tmp_.path() / "c"; }

  TempDir tmp_;
  std::unique_ptr<Database> db_;
};

TEST_F(HealthTest, VerifyFindsNothingInASoundCollection) {
  ASSERT_TRUE(Ok(db_->upsert("w", Vec(4, 0.5f), std::nullopt)));  // a log record too
  const VerifyReport report = db_->verify();
  EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
  EXPECT_EQ(report.nodes, 61u);
  EXPECT_EQ(report.live, 59u);
  EXPECT_EQ(report.unreachable, 0u);
  EXPECT_EQ(report.log_records, 1u);
}

TEST_F(HealthTest, VerifyReportsDamageInMemory) {
  struct Case {
    const char* name;
    std::function<void(Database&)> plant;
    std::string expect;
  };
  const Case cases[] = {
      {"metadata index misses an entry",
       [](Database& db) {
         DatabaseTestPeer::metadata_index(db).remove(1, DatabaseTestPeer::metadata(db)[1]);
       },
       "metadata index: slot 1 holds g = \"x\" but is not indexed under it"},
      {"metadata index keeps a stale entry",
       [](Database& db) {
         DatabaseTestPeer::metadata_index(db).index(0, json::parse("{\"g\":1}"));
       },
       "metadata index: slot 0 is indexed under g = 1 but its metadata does not hold it"},
      {"id maps disagree", [](Database& db) { DatabaseTestPeer::slot_to_id(db)[2] = "v3"; },
       "ids: id 'v2' names slot 2, which holds id 'v3'"},
      {"deleted slot keeps its metadata",
       [](Database& db) { DatabaseTestPeer::metadata(db)[7] = json::parse("{}"); },
       "ids: deleted slot 7 still holds an id or metadata"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto db = reopen(dir());
    ASSERT_NE(db, nullptr);
    c.plant(*db);
    const VerifyReport report = db->verify();
    EXPECT_FALSE(report.ok());
    EXPECT_TRUE(mentions(report.problems, c.expect))
        << (report.problems.empty() ? "<none>" : report.problems[0]);
  }
}

TEST_F(HealthTest, VerifyReportsGraphDamageThatOpenAccepts) {
  edit_graph([](GraphModel& g) { g.nodes[5][0][0] = 5; });
  const VerifyReport report = db_->verify();
  EXPECT_TRUE(mentions(report.problems, "graph: node 5 lists itself on layer 0"));
}

TEST_F(HealthTest, UnreachableNodesAreCountedAndRepairLinksThemAgain) {
  std::vector<std::uint32_t> cut;
  edit_graph([&](GraphModel& g) {
    for (std::uint32_t s : {20u, 30u, 40u}) {
      if (s == g.entry_point) ++s;
      cut.push_back(s);
      g.unlink(s);
    }
  });
  const auto before = records_of(*db_);
  const VerifyReport report = db_->verify();
  EXPECT_TRUE(report.ok());  // a count, not damage
  EXPECT_EQ(report.unreachable, 3u);
  const HealthReport health = db_->health();
  EXPECT_EQ(health.unreachable, 3u);
  EXPECT_TRUE(mentions(health.suggestions, "repair: 3 live vectors cannot be reached"));

  const RepairReport repaired = db_->repair();
  EXPECT_EQ(repaired.ids, 58u);
  EXPECT_EQ(repaired.tombstones_dropped, 2u);
  EXPECT_TRUE(repaired.lost.empty());
  EXPECT_EQ(db_->health().unreachable, 0u);
  EXPECT_EQ(db_->total_slots(), 58u);
  EXPECT_EQ(records_of(*db_), before);
  EXPECT_TRUE(db_->verify().ok());
  Filter g = Filter::eq("g", json::Value("x"));
  EXPECT_EQ(db_->count(g), 46u);  // the metadata index is rebuilt with the tables
}

TEST_F(HealthTest, HealthFiguresAndTheCompactSuggestion) {
  HealthReport h = db_->health();
  EXPECT_EQ(h.num_vectors, 58u);
  EXPECT_EQ(h.num_deleted, 2u);
  EXPECT_DOUBLE_EQ(h.tombstone_ratio, 2.0 / 60.0);
  ASSERT_FALSE(h.layer_counts.empty());
  EXPECT_EQ(h.layer_counts[0], 58u);
  for (std::size_t l = 1; l < h.layer_counts.size(); ++l) {
    EXPECT_LE(h.layer_counts[l], h.layer_counts[l - 1]);
  }
  EXPECT_TRUE(h.exact_search);
  EXPECT_EQ(h.estimated_recall, 1.0);
  EXPECT_EQ(h.recall_sample, 0u);
  EXPECT_EQ(h.default_ef, 200u);
  EXPECT_TRUE(h.suggestions.empty());

  for (std::size_t i = 20; i < 31; ++i) ASSERT_TRUE(Ok(db_->remove(id_of(i))));  // 13 of 60
  h = db_->health();
  EXPECT_EQ(h.num_deleted, 13u);
  EXPECT_EQ(h.suggestions,
            std::vector<std::string>{"compact: 21.7% of the slots are deleted (more than 20%)"});
}

TEST_F(HealthTest, CalibrationSideFileSetsTheDefaultWidth) {
  db_.reset();
  const std::string text = "{\"ef_search\":40,\"k\":10,\"recall\":0.95}";
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  testing::write_bytes(dir() / kCalibrationFileName,
                       std::vector<std::byte>(bytes, bytes + text.size()));
  db_ = reopen(dir());
  // Up to the calibrated k the width itself; above it the same width per result.
  EXPECT_EQ(db_->default_search_width(1), 40u);
  EXPECT_EQ(db_->default_search_width(10), 40u);
  EXPECT_EQ(db_->default_search_width(25), 100u);
  EXPECT_EQ(db_->default_search_width(11), 44u);
  const HealthReport h = db_->health();
  EXPECT_EQ(h.calibrated_ef, 40u);
  EXPECT_EQ(h.calibrated_k, 10u);
  EXPECT_EQ(h.default_ef, 40u);

  // A collection that is scanned exactly measures nothing and drops the calibration.
  auto calibrated = db_->calibrate(0.9, 10);
  ASSERT_TRUE(Ok(calibrated));
  EXPECT_EQ(calibrated->ef_search, 200u);
  EXPECT_EQ(calibrated->sample, 0u);
  EXPECT_FALSE(fs::exists(dir() / kCalibrationFileName));
  EXPECT_EQ(db_->default_search_width(10), Database::default_ef(10));
  EXPECT_EQ(db_->default_search_width(300), Database::default_ef(300));
}

// verify() never reports a problem that is not there while other threads mutate, save,
// repair and calibrate; health() and searches run beside them.
TEST_F(HealthTest, ConcurrentChecksRepairsAndMutationsKeepTheCollectionSound) {
  std::atomic<bool> writing{true};
  std::vector<std::string> failures;
  std::mutex failures_lock;
  auto fail = [&](std::string m) {
    std::lock_guard g(failures_lock);
    failures.push_back(std::move(m));
  };
  std::thread writer([&] {
    for (std::size_t op = 0; op < 300; ++op) {
      const std::string id = id_of(op % 70);
      const Vec v(4, static_cast<float>(op));
      bool ok = true;
      switch (op % 5) {
        case 0:
          ok = db_->remove(id).has_value();
          break;
        case 1:
          ok = db_->update(id, v, std::nullopt).has_value() || !db_->contains(id);
          break;
        case 4:  // a save now and then; mostly an upsert
          ok =
              op % 25 == 4 ? db_->save().has_value() : db_->upsert(id, v, std::nullopt).has_value();
          break;
        default:
          ok = db_->upsert(id, v, json::parse("{\"op\":1}")).has_value();
      }
      if (!ok) fail("mutation " + std::to_string(op) + " failed");
    }
    writing = false;
  });
  std::thread maintainer([&] {
    for (std::size_t round = 0; writing; ++round) {
      if (round % 3 == 0) (void)db_->repair();
      if (!db_->calibrate(0.9, 10)) fail("calibrate failed");
      (void)db_->health();
    }
  });
  while (writing) {
    const VerifyReport report = db_->verify();
    if (!report.ok()) fail(report.problems[0]);
    (void)db_->search(
        Vec(4, 0.5f),
        SearchOptions{
            .k = 5, .ef_search = std::nullopt, .filter = nullptr, .max_distance = std::nullopt});
  }
  writer.join();
  maintainer.join();
  for (const auto& f : failures) ADD_FAILURE() << f;
  EXPECT_TRUE(db_->verify().ok());
  EXPECT_TRUE(Database::verify_path(dir())->ok());
}

TEST(CalibrateTest, GraphCollectionKeepsTheWidthAcrossReopenAndSearchesUseIt) {
  // 8,000 x 1,250 floats: past the exact-scan threshold, so searches walk the graph. The
  // vectors lie near a 6-dimensional subspace, where a small graph finds neighbours well.
  constexpr std::size_t kDim = 1250, kCount = 8000, kLatent = 6;
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  auto db = create(dir, kDim, DatabaseConfig{8, 32, false});
  std::mt19937 rng(21);
  std::normal_distribution<float> g;
  std::vector<float> basis(kLatent * kDim);
  for (auto& x : basis) x = g(rng);
  std::vector<Record> items;
  for (std::size_t i = 0; i < kCount; ++i) {
    Vec v(kDim, 0.0f);
    for (std::size_t l = 0; l < kLatent; ++l) {
      const float c = g(rng);
      for (std::size_t d = 0; d < kDim; ++d) v[d] += c * basis[l * kDim + d];
    }
    for (auto& x : v) x += 0.05f * g(rng);
    items.push_back(Record{id_of(i), std::move(v), std::nullopt});
  }
  ASSERT_TRUE(Ok(db->add_many(std::move(items))));
  ASSERT_TRUE(Ok(db->save()));
  ASSERT_FALSE(db->health().exact_search);

  auto calibrated = db->calibrate(0.9, 10);
  ASSERT_TRUE(Ok(calibrated));
  ASSERT_TRUE(calibrated->reached);
  const std::size_t ef = calibrated->ef_search;
  EXPECT_GE(ef, 10u);
  EXPECT_GE(calibrated->recall, 0.9);
  EXPECT_EQ(calibrated->sample, std::min<std::size_t>(kCalibrationSample, kCount / 10));
  EXPECT_EQ(db->default_search_width(10), ef);
  const HealthReport h = db->health();
  EXPECT_EQ(h.calibrated_ef, ef);
  EXPECT_EQ(h.default_ef, ef);
  EXPECT_EQ(h.recall_sample, kHealthRecallSample);
  EXPECT_GT(h.estimated_recall, 0.8);

  db.reset();
  db = reopen(dir);
  EXPECT_EQ(db->default_search_width(10), ef);
  // A search without ef_search is the search at the calibrated width.
  for (std::size_t i = 0; i < 20; ++i) {
    const Vec q = db->get(id_of(i * 37))->first;
    auto by_default = db->search(
        q,
        SearchOptions{
            .k = 10, .ef_search = std::nullopt, .filter = nullptr, .max_distance = std::nullopt});
    auto at_ef = db->search(
        q,
        SearchOptions{.k = 10, .ef_search = ef, .filter = nullptr, .max_distance = std::nullopt});
    ASSERT_TRUE(Ok(by_default) && Ok(at_ef));
    ASSERT_EQ(by_default->size(), at_ef->size());
    for (std::size_t j = 0; j < at_ef->size(); ++j) {
      EXPECT_EQ((*by_default)[j].id, (*at_ef)[j].id);
    }
  }
}

}  // namespace
}  // namespace quarn_core::db
