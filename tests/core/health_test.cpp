// verify() on a collection in memory, health(), repair() and calibrate(); verify_path and
// repair_path on a small collection whose files are damaged on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "collection_files.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/wal.hpp"
#include "testutil.hpp"

namespace quarn_core::db {

// Reaches into a database to plant damage that no file can carry into memory.
struct DatabaseTestPeer {
  static MetadataIndex& metadata_index(Database& db) { return db.records_.index_; }
  static std::vector<std::string>& slot_to_id(Database& db) { return db.records_.ids_; }
  static std::vector<Metadata>& metadata(Database& db) { return db.records_.metadata_; }
};

namespace {

namespace fs = std::filesystem;
using distance::Metric;
using testing::create;
using testing::GraphModel;
using testing::name;
using testing::nearest;
using testing::Ok;
using testing::records_of;
using testing::reopen;
using testing::TempDir;
using Vec = std::vector<float>;

constexpr std::uint32_t kNodes = 60;
constexpr std::size_t kDim = 4;

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "\n  " + l;
  return out;
}

// Whether one of the lines contains `part`; if not, the failure lists them all.
::testing::AssertionResult Mentions(const std::vector<std::string>& lines,
                                    const std::string& part) {
  if (testing::mentions(lines, part)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected: " << part << "\ngot:" << joined(lines);
}

// 60 vectors of dimension 4 with metadata on most, v7 and v13 deleted, saved with SQ8 codes;
// left open in db_.
class HealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = create(dir(), kDim, Metric::Euclidean, {16, 40, true});
    std::mt19937 rng(11);
    std::normal_distribution<float> g;
    std::vector<Record> items;
    for (std::size_t i = 0; i < kNodes; ++i) {
      Vec v(kDim);
      for (auto& x : v) x = g(rng);
      Metadata md;
      if (i % 5 != 0) md = json::parse("{\"i\":" + std::to_string(i) + ",\"g\":\"x\"}");
      items.push_back(Record{name("v", i), v, md});
    }
    ASSERT_TRUE(Ok(db_->add_many(items)));
    ASSERT_TRUE(Ok(db_->remove("v7")));
    ASSERT_TRUE(Ok(db_->remove("v13")));
    ASSERT_TRUE(Ok(db_->save()));
    expected_ = records_of(*db_);
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

  // Every id of the repaired collection holds exactly its original vector and metadata.
  void expect_recovered(const Database& db, std::size_t ids) {
    EXPECT_EQ(db.ids().size(), ids);
    for (const auto& [id, rec] : records_of(db)) {
      ASSERT_TRUE(expected_.contains(id)) << "invented id " << id;
      EXPECT_EQ(rec, expected_.at(id)) << id;
    }
    EXPECT_TRUE(db.verify().ok()) << joined(db.verify().problems);
  }

  // A fresh copy of the saved collection to damage.
  fs::path copy() const {
    const fs::path out = tmp_.path() / "copy";
    fs::remove_all(out);
    fs::copy(dir(), out, fs::copy_options::recursive);
    return out;
  }

  fs::path dir() const { return tmp_.path() / "c"; }
  fs::path graph() const { return dir() / "graph.quarn"; }

  TempDir tmp_;
  std::shared_ptr<Database> db_;
  testing::Records expected_;
};

TEST_F(HealthTest, VerifyAndVerifyPathFindNothingInASoundCollection) {
  auto on_files = Database::verify_path(dir());
  ASSERT_TRUE(Ok(on_files));
  EXPECT_TRUE(on_files->ok()) << joined(on_files->problems);
  EXPECT_EQ(on_files->nodes, kNodes);
  EXPECT_EQ(on_files->live, kNodes - 2);
  EXPECT_EQ(on_files->unreachable, 0u);
  EXPECT_EQ(on_files->log_records, 0u);
  EXPECT_TRUE(testing::Fails(Database::verify_path(tmp_.path() / "nothing"),
                             error::ErrorKind::DatabaseNotFound));
  // Log records too, two of them in a batch, whose frame is no record of its own.
  ASSERT_TRUE(Ok(db_->upsert("w", Vec(4, 0.5f), std::nullopt)));
  ASSERT_TRUE(Ok(
      db_->upsert_many({{"x", Vec(4, 0.25f), std::nullopt}, {"y", Vec(4, 0.75f), std::nullopt}})));
  const VerifyReport report = db_->verify();
  EXPECT_TRUE(report.ok()) << joined(report.problems);
  EXPECT_EQ(report.nodes, 63u);
  EXPECT_EQ(report.live, 61u);
  EXPECT_EQ(report.unreachable, 0u);
  EXPECT_EQ(report.log_records, 3u);
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
    EXPECT_TRUE(Mentions(report.problems, c.expect));
  }
}

TEST_F(HealthTest, VerifyReportsGraphDamageThatOpenAccepts) {
  edit_graph([](GraphModel& g) { g.nodes[5][0][0] = 5; });
  const VerifyReport report = db_->verify();
  EXPECT_TRUE(Mentions(report.problems, "graph: node 5 lists itself on layer 0"));
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
  EXPECT_TRUE(Mentions(health.suggestions, "repair: 3 live vectors cannot be reached"));

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

  for (std::size_t i = 20; i < 31; ++i) ASSERT_TRUE(Ok(db_->remove(name("v", i))));  // 13 of 60
  h = db_->health();
  EXPECT_EQ(h.num_deleted, 13u);
  EXPECT_EQ(h.suggestions,
            std::vector<std::string>{"compact: 21.7% of the slots are deleted (more than 20%)"});
}

TEST_F(HealthTest, CalibrationSideFileSetsTheDefaultWidth) {
  db_.reset();
  testing::write_text(dir() / kCalibrationFileName, R"({"ef_search":40,"k":10,"recall":0.95})");
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

// The collection's exact-scan limit decides every path, and it is kept across reopen. A live
// vector that no list links to tells the paths apart: only the exact scan finds it.
TEST_F(HealthTest, ExactScanLimitDecidesEveryPathAndSurvivesReopen) {
  std::string hidden;
  edit_graph([&](GraphModel& g) {
    for (const auto& r : g.records) {
      if (r.slot == g.entry_point || r.metadata.empty()) continue;
      hidden = r.id;
      for (auto& node : g.nodes) {
        for (auto& list : node) std::erase(list, r.slot);
      }
      break;
    }
  });
  ASSERT_FALSE(hidden.empty());
  const Vec query = db_->get(hidden)->first;
  const std::size_t live_floats = (kNodes - 2) * kDim;
  struct Case {
    std::optional<std::size_t> limit;
    bool exact;
  };
  const Case cases[] = {{std::nullopt, true},
                        {0, false},
                        {live_floats, false},
                        {live_floats + 1, true},
                        {std::numeric_limits<std::size_t>::max(), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit ? std::to_string(*c.limit) : std::string("default"));
    ASSERT_TRUE(Ok(db_->set_exact_scan_limit(c.limit)));
    db_.reset();
    db_ = reopen(dir());
    EXPECT_EQ(db_->exact_scan_limit(), c.limit.value_or(hnsw::kExactScanFloats));
    EXPECT_EQ(fs::exists(dir() / kExactScanFileName), c.limit.has_value());
    EXPECT_EQ(db_->stats().uses_brute_force, c.exact);
    const HealthReport h = db_->health();
    EXPECT_EQ(h.exact_search, c.exact);
    EXPECT_EQ(h.recall_sample == 0, c.exact);
    SearchOptions one;
    one.k = 1;
    auto finds = [&](const std::vector<SearchResult>& r) {
      return !r.empty() && r[0].id == hidden;
    };
    EXPECT_EQ(finds(*db_->search(query, one)), c.exact);
    EXPECT_EQ(finds(db_->search_many({query}, one)->at(0)), c.exact);
    auto calibrated = db_->calibrate(0.5, 1);
    ASSERT_TRUE(Ok(calibrated));
    EXPECT_EQ(calibrated->sample == 0, c.exact);
  }
}

// The side file is written through a temporary made afresh: a link planted under the
// temporary's name is replaced, never written through.
TEST_F(HealthTest, ExactScanLimitNeverWritesThroughALink) {
  const fs::path outside = tmp_.path() / "outside";
  testing::write_text(outside, "keep");
  fs::create_symlink(outside, dir() / "exact_scan.tmp");
  ASSERT_TRUE(Ok(db_->set_exact_scan_limit(5)));
  EXPECT_EQ(testing::read_bytes(outside).size(), 4u);
  EXPECT_FALSE(fs::is_symlink(dir() / kExactScanFileName));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir() / "exact_scan.tmp")));
  EXPECT_EQ(reopen(dir())->exact_scan_limit(), 5u);
}

// The compressed traversal on a collection searched through its graph: recall@10 against
// the exact answer stays high after changes made while it is on, across save and reopen and
// through compact, which keep the mode; turning it off removes the side file.
TEST(CompressedSearchTest, KeepsRecallThroughChangesReopenAndCompact) {
  constexpr std::size_t kD = 32, kCount = 3000, kK = 10, kChanged = 100;
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  auto db = create(dir, kD);
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  auto random_vector = [&] {
    Vec v(kD);
    for (auto& x : v) x = g(rng);
    return v;
  };
  std::map<std::string, Vec> live;
  std::vector<Record> items;
  for (std::size_t i = 0; i < kCount; ++i) {
    live[name("v", i)] = random_vector();
    items.push_back(Record{name("v", i), live[name("v", i)], std::nullopt});
  }
  ASSERT_TRUE(Ok(db->add_many(std::move(items))));
  ASSERT_TRUE(Ok(db->set_exact_scan_limit(0)));
  std::vector<Vec> queries(50);
  for (auto& q : queries) q = random_vector();
  auto exact_top = [&](const Vec& q) {
    std::vector<std::pair<float, std::string>> exact;
    for (const auto& [id, v] : live) {
      float dist = 0.0f;
      for (std::size_t j = 0; j < kD; ++j) dist += (v[j] - q[j]) * (v[j] - q[j]);
      exact.emplace_back(dist, id);
    }
    std::partial_sort(exact.begin(), exact.begin() + kK, exact.end());
    exact.resize(kK);
    return exact;
  };
  auto recall = [&](const Database& d) {
    std::size_t found = 0;
    for (const Vec& q : queries) {
      const auto exact = exact_top(q);
      auto got = d.search(q, nearest(kK));
      EXPECT_TRUE(Ok(got));
      if (!got) continue;
      for (const auto& r : *got) {
        EXPECT_TRUE(live.contains(r.id)) << r.id;  // never a deleted one
        found += std::any_of(exact.begin(), exact.begin() + kK,
                             [&](const auto& e) { return e.second == r.id; });
      }
    }
    return static_cast<double>(found) / static_cast<double>(queries.size() * kK);
  };
  auto nearest_id = [&](const Vec& q) {
    auto got = db->search(q, nearest(1));
    return got && !got->empty() ? got->front().id : std::string();
  };

  ASSERT_TRUE(Ok(db->set_compressed_search(true)));
  EXPECT_TRUE(db->compressed_search());
  EXPECT_TRUE(db->stats().uses_compressed_search);
  EXPECT_GE(recall(*db), 0.9);

  // Changes while it is on: new vectors, moved ones and deleted ones.
  std::vector<Vec> deleted;
  for (std::size_t i = 0; i < kChanged; ++i) {
    const std::string added = name("w", i), moved = name("v", i), gone = name("v", kCount - 1 - i);
    live[added] = random_vector();
    ASSERT_TRUE(Ok(db->add(added, live[added], std::nullopt)));
    live[moved] = random_vector();
    ASSERT_TRUE(Ok(db->update(moved, live[moved], std::nullopt)));
    ASSERT_TRUE(Ok(db->remove(gone)));
    deleted.push_back(live[gone]);
    live.erase(gone);
  }
  for (std::size_t i = 0; i < kChanged; ++i) {
    EXPECT_EQ(nearest_id(live[name("w", i)]), name("w", i));
    EXPECT_EQ(nearest_id(live[name("v", i)]), name("v", i));
    // Searched for by its own value, a deleted vector is not returned.
    EXPECT_TRUE(live.contains(nearest_id(deleted[i])));
  }
  EXPECT_GE(recall(*db), 0.9);

  // The codes are saved beside the vectors and read back, not encoded again: with a beam
  // holding every node the answer is the exact one, which wrong bounds would break; with a
  // narrow one the answers are those before the save, walked on the same codes and beam.
  auto narrow = [&](const Database& d) {
    std::vector<std::pair<std::string, float>> answers;
    for (const Vec& q : queries) {
      const auto got = d.search(q, nearest(kK, kK));
      EXPECT_TRUE(Ok(got));
      for (const auto& r : got.value_or(std::vector<SearchResult>{})) {
        answers.emplace_back(r.id, r.distance);
      }
    }
    return answers;
  };
  const auto before = narrow(*db);
  ASSERT_TRUE(Ok(db->save()));
  db.reset();
  EXPECT_TRUE(fs::exists(dir / hnsw::kWalkCodesFileName));
  auto report = Database::verify_path(dir);
  ASSERT_TRUE(Ok(report));
  EXPECT_TRUE(report->ok());
  db = reopen(dir);
  EXPECT_TRUE(db->compressed_search());
  EXPECT_TRUE(db->stats().uses_compressed_search);
  EXPECT_GE(recall(*db), 0.9);
  EXPECT_EQ(narrow(*db), before);
  // Through the graph, then through the exact scan, which bounds with the 8-bit codes.
  for (const std::size_t limit : {std::size_t{0}, std::size_t{1} << 30}) {
    ASSERT_TRUE(Ok(db->set_exact_scan_limit(limit)));
    for (std::size_t i = 0; i < 10; ++i) {
      const auto exact = exact_top(queries[i]);
      auto got = db->search(queries[i], nearest(kK, kCount + kChanged));
      ASSERT_TRUE(Ok(got));
      ASSERT_EQ(got->size(), kK);
      for (std::size_t j = 0; j < kK; ++j) EXPECT_EQ((*got)[j].id, exact[j].second);
    }
  }
  ASSERT_TRUE(Ok(db->set_exact_scan_limit(0)));
  db->compact();
  EXPECT_TRUE(db->stats().uses_compressed_search);
  EXPECT_GE(recall(*db), 0.9);

  ASSERT_TRUE(Ok(db->set_compressed_search(false)));
  EXPECT_FALSE(fs::exists(dir / kTraversalFileName));
  EXPECT_FALSE(db->stats().uses_compressed_search);
  ASSERT_TRUE(Ok(db->save()));
  EXPECT_FALSE(fs::exists(dir / hnsw::kWalkCodesFileName));
  db.reset();
  EXPECT_FALSE(reopen(dir)->compressed_search());
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
      const std::string id = name("v", op % 70);
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
    (void)db_->search(Vec(4, 0.5f), nearest(5));
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
  constexpr std::size_t kWide = 1250, kCount = 8000, kLatent = 6;
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  auto db = create(dir, kWide, Metric::Euclidean, {8, 32, false});
  std::mt19937 rng(21);
  std::normal_distribution<float> g;
  std::vector<float> basis(kLatent * kWide);
  for (auto& x : basis) x = g(rng);
  std::vector<Record> items;
  for (std::size_t i = 0; i < kCount; ++i) {
    Vec v(kWide, 0.0f);
    for (std::size_t l = 0; l < kLatent; ++l) {
      const float c = g(rng);
      for (std::size_t d = 0; d < kWide; ++d) v[d] += c * basis[l * kWide + d];
    }
    for (auto& x : v) x += 0.05f * g(rng);
    items.push_back(Record{name("v", i), std::move(v), std::nullopt});
  }
  ASSERT_TRUE(Ok(db->add_many(std::move(items))));
  ASSERT_TRUE(Ok(db->save()));
  const HealthReport uncalibrated = db->health();
  ASSERT_FALSE(uncalibrated.exact_search);
  EXPECT_EQ(uncalibrated.recall_source, "sample");
  EXPECT_TRUE(testing::mentions(uncalibrated.suggestions, "calibrate: every search runs at the "
                                                          "default width 200 ("));

  auto calibrated = db->calibrate(0.9, 10);
  ASSERT_TRUE(Ok(calibrated));
  ASSERT_TRUE(calibrated->reached);
  const std::size_t ef = calibrated->ef_search;
  EXPECT_GE(ef, 10u);
  EXPECT_GE(calibrated->recall, 0.9);
  EXPECT_EQ(calibrated->sample, std::min<std::size_t>(kCalibrationSample, kCount / 10));
  EXPECT_EQ(db->default_search_width(10), ef);
  // health() reports calibrate's own measurement at the width in use.
  const HealthReport h = db->health();
  EXPECT_EQ(h.calibrated_ef, ef);
  EXPECT_EQ(h.default_ef, ef);
  EXPECT_EQ(h.recall_source, "calibrate");
  EXPECT_EQ(h.estimated_recall, calibrated->recall);
  EXPECT_EQ(h.recall_sample, calibrated->sample);
  EXPECT_FALSE(testing::mentions(h.suggestions, "calibrate"));

  db.reset();
  db = reopen(dir);
  EXPECT_EQ(db->default_search_width(10), ef);
  // A search without ef_search is the search at the calibrated width.
  for (std::size_t i = 0; i < 20; ++i) {
    const Vec q = db->get(name("v", i * 37))->first;
    auto by_default = db->search(q, nearest(10));
    auto at_ef = db->search(q, nearest(10, ef));
    ASSERT_TRUE(Ok(by_default) && Ok(at_ef));
    ASSERT_EQ(by_default->size(), at_ef->size());
    for (std::size_t j = 0; j < at_ef->size(); ++j) {
      EXPECT_EQ((*by_default)[j].id, (*at_ef)[j].id);
    }
  }
  // Grown by more than a tenth since: the figure is measured again, and calibrating again
  // is suggested.
  std::vector<Record> more;
  for (std::size_t i = 0; i < kCount / 9; ++i) {
    more.push_back(Record{name("w", i), db->get(name("v", i))->first, std::nullopt});
  }
  ASSERT_TRUE(Ok(db->add_many(std::move(more))));
  const HealthReport grown = db->health();
  EXPECT_EQ(grown.recall_source, "sample");
  EXPECT_TRUE(testing::mentions(grown.suggestions, "calibrate again: 8888 live vectors, 11% more"));
}

// ---- verify_path and repair_path on damaged files ----

// Every file of a directory, byte for byte.
std::map<std::string, std::vector<std::byte>> snapshot(const fs::path& dir) {
  std::map<std::string, std::vector<std::byte>> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    out[e.path().filename().string()] = testing::read_bytes(e.path());
  }
  return out;
}

// Each kind of damage, planted alone; the plant returns a part of the line that must report it.
// An edit of the graph file's model, or any other plant on the directory.
struct Damage {
  const char* name;
  std::function<std::string(GraphModel&)> edit;
  std::function<std::string(const fs::path& dir)> plant = nullptr;
};

std::string edit_graph_file(const fs::path& dir, const std::function<std::string(GraphModel&)>& f) {
  GraphModel g = GraphModel::read(dir / "graph.quarn");
  std::string expect = f(g);
  g.write(dir / "graph.quarn");
  return expect;
}

void flip_byte(const fs::path& file, std::size_t at) {
  auto b = testing::read_bytes(file);
  b.at(at) ^= std::byte{0x5A};
  testing::write_bytes(file, b);
}

// Two logged upserts of the same size, and the size of one record.
std::size_t log_two_records(const fs::path& dir) {
  auto db = Database::open(dir);
  EXPECT_TRUE(Ok(db));
  EXPECT_TRUE(Ok((*db)->upsert("w1", Vec(kDim, 1.0f), std::nullopt)));
  EXPECT_TRUE(Ok((*db)->upsert("w2", Vec(kDim, 2.0f), std::nullopt)));
  return fs::file_size(dir / wal::kWalFileName) / 2;
}

const Damage kDamages[] = {
    {"neighbour out of range",
     [](GraphModel& g) {
       g.nodes[3][0][0] = kNodes + 7;
       return std::string("node 3 lists neighbour 67 on layer 0, not below the node count 60");
     }},
    {"node lists itself",
     [](GraphModel& g) {
       g.nodes[5][0][0] = 5;
       return std::string("node 5 lists itself on layer 0");
     }},
    {"list over its limit",
     [](GraphModel& g) {
       g.nodes[2][0].resize(33, 1);
       return std::string("node 2 has 33 neighbours on layer 0, more than its limit 32");
     }},
    {"entry point below the top",
     [](GraphModel& g) {
       ++g.max_level;
       return "the entry point " + std::to_string(g.entry_point) + " is on layer " +
              std::to_string(g.max_level - 1) + ", not on the top layer " +
              std::to_string(g.max_level);
     }},
    {"max_level damaged",
     [](GraphModel& g) {
       g.max_level = 0xFFFFFFF0u;  // a check that walks every layer up to it never ends
       return std::string("max_level 4294967280 is above 64");
     }},
    {"node above the top",
     [](GraphModel& g) {
       g.nodes[9].resize(g.max_level + 2);
       return "node 9 reaches layer " + std::to_string(g.max_level + 1) + ", above the top";
     }},
    {"deleted slot out of range",
     [](GraphModel& g) {
       g.deleted.push_back(99);
       return std::string("deleted slot 99 is not below the node count 60");
     }},
    {"graph cut inside the node records", nullptr,
     [](const fs::path& d) {
       const GraphModel g = GraphModel::read(d / "graph.quarn");
       testing::resize_file(d / "graph.quarn", g.nodes_at + 30);
       return std::string("runs past the end of the file");
     }},
    {"section magic damaged", nullptr,
     [](const fs::path& d) {
       flip_byte(d / "graph.quarn", GraphModel::read(d / "graph.quarn").section_at);
       return std::string("no metadata section");
     }},
    {"record names a slot out of range",
     [](GraphModel& g) {
       g.records[0].slot = kNodes + 3;
       return std::string("names slot 63, not below the node count 60");
     }},
    {"id stored twice",
     [](GraphModel& g) {
       g.records[1].id = g.records[0].id;
       return "id '" + g.records[0].id + "' is stored twice";
     }},
    {"live slot without id",
     [](GraphModel& g) {
       const std::uint32_t slot = g.records[4].slot;
       g.records.erase(g.records.begin() + 4);
       return "live slot " + std::to_string(slot) + " has no id";
     }},
    {"id names a deleted slot",
     [](GraphModel& g) {
       g.records[0].slot = 7;  // v7 was deleted
       return "id '" + g.records[0].id + "' names deleted slot 7";
     }},
    {"metadata text not JSON",
     [](GraphModel& g) {
       for (auto& r : g.records) {
         if (!r.metadata.empty()) {
           r.metadata = "{oops";
           return "the metadata of id '" + r.id + "' is not valid JSON";
         }
       }
       return std::string("unreached");
     }},
    {"bad graph magic", nullptr,
     [](const fs::path& d) {
       flip_byte(d / "graph.quarn", 0);
       return std::string("graph.quarn: bad magic");
     }},
    {"vectors.bin short", nullptr,
     [](const fs::path& d) {
       testing::resize_file(d / "vectors.bin", kNodes * (kDim + 1) * 4 - 4);
       return std::string(
           "vectors.bin: 1196 bytes, but the graph's 60 vectors of dimension 4 "
           "and their norms take 1200");
     }},
    {"vectors.bin missing", nullptr,
     [](const fs::path& d) {
       fs::remove(d / "vectors.bin");
       return std::string("vectors.bin is missing");
     }},
    {"vector damaged", nullptr,
     [](const fs::path& d) {
       flip_byte(d / "vectors.bin", 3 * kDim * 4 + 2);
       return std::string("the stored norm of slot 3 does not match its vector");
     }},
    {"codes short", nullptr,
     [](const fs::path& d) {
       testing::resize_file(d / "vectors.sq8", fs::file_size(d / "vectors.sq8") - 1);
       return std::string("vectors.sq8: 239 code bytes");
     }},
    {"log record torn", nullptr,
     [](const fs::path& d) {
       const std::size_t record = log_two_records(d);
       testing::resize_file(d / "wal.quarn", 2 * record - 3);
       return "the record at offset " + std::to_string(record) +
              " runs past the end of the file (a torn write or a damaged length); a replay "
              "stops there and the " +
              std::to_string(record - 3) + " bytes from it are not applied";
     }},
    {"log record damaged", nullptr,
     [](const fs::path& d) {
       const std::size_t record = log_two_records(d);
       flip_byte(d / "wal.quarn", 2 * record - 1);
       return "the record at offset " + std::to_string(record) + " fails its checksum";
     }},
    {"log batch torn", nullptr,
     [](const fs::path& d) {
       auto db = Database::open(d);
       EXPECT_TRUE(Ok(db));
       EXPECT_TRUE(Ok((*db)->upsert("w1", Vec(kDim, 1.0f), std::nullopt)));
       const std::size_t batch = fs::file_size(d / wal::kWalFileName);
       EXPECT_TRUE(Ok((*db)->upsert_many(
           {{"w2", Vec(kDim, 2.0f), std::nullopt}, {"w3", Vec(kDim, 3.0f), std::nullopt}})));
       const std::size_t end = fs::file_size(d / wal::kWalFileName);
       testing::resize_file(d / "wal.quarn", end - 3);
       return "the batch at offset " + std::to_string(batch) +
              " runs past the end of the file (a torn write or a damaged length); a replay "
              "stops there and the " +
              std::to_string(end - 3 - batch) + " bytes from it are not applied";
     }},
    {"log vector of another dimension", nullptr,
     [](const fs::path& d) {
       wal::Wal log(d / wal::kWalFileName);
       EXPECT_TRUE(Ok(log.append(wal::WalEntry::Insert{"x", Vec(3, 1.0f), std::nullopt})));
       return std::string("the record at offset 0 carries a vector of 3 floats, not 4");
     }},
    {"interrupted save", nullptr,
     [](const fs::path& d) {
       fs::create_hard_link(d / "graph.quarn", d / "graph.quarn.bak");
       return std::string("graph.quarn.bak: a save was interrupted");
     }},
    {"calibration unreadable", nullptr,
     [](const fs::path& d) {
       testing::write_text(d / kCalibrationFileName, "x");
       return std::string("calibration.json: not a calibration");
     }},
    {"exact-scan limit unreadable", nullptr,
     [](const fs::path& d) {
       testing::write_text(d / kExactScanFileName, R"({"exact_scan_limit":-1})");
       return std::string("exact_scan.json: not an exact-scan limit");
     }},
    {"walk codes damaged", nullptr,
     [](const fs::path& d) {
       auto db = Database::open(d);
       EXPECT_TRUE(Ok(db) && Ok((*db)->set_compressed_search(true)) && Ok((*db)->save()));
       flip_byte(d / hnsw::kWalkCodesFileName, 100);
       return std::string("vectors.codes: fails its checksum");
     }},
    {"walk codes of another save", nullptr,
     [](const fs::path& d) {
       auto db = Database::open(d);
       EXPECT_TRUE(Ok(db) && Ok((*db)->set_compressed_search(true)) && Ok((*db)->save()));
       fs::copy_file(d / hnsw::kWalkCodesFileName, d / "old.codes");
       EXPECT_TRUE(Ok((*db)->upsert("w1", Vec(kDim, 1.0f), std::nullopt)) && Ok((*db)->save()));
       fs::rename(d / "old.codes", d / hnsw::kWalkCodesFileName);
       return std::string("vectors.codes: written with another save of the collection");
     }},
    {"traversal setting unreadable", nullptr,
     [](const fs::path& d) {
       testing::write_text(d / kTraversalFileName, R"({"compressed":1})");
       return std::string("traversal.json: not a traversal setting");
     }},
};

TEST_F(HealthTest, VerifyPathReportsEachKindOfDamageAndChangesNothing) {
  db_.reset();
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.name);
    const fs::path damaged = copy();
    const std::string expect =
        damage.edit ? edit_graph_file(damaged, damage.edit) : damage.plant(damaged);
    const auto before = snapshot(damaged);
    auto report = Database::verify_path(damaged);
    ASSERT_TRUE(Ok(report));
    EXPECT_FALSE(report->ok());
    EXPECT_TRUE(Mentions(report->problems, expect));
    EXPECT_EQ(snapshot(damaged), before);
  }
}

TEST_F(HealthTest, RepeatedProblemsAreSummarised) {
  db_.reset();
  edit_graph_file(dir(), [](GraphModel& g) {
    for (auto& node : g.nodes) node[0].assign(1, kNodes + 1);
    return std::string();
  });
  auto report = Database::verify_path(dir());
  ASSERT_TRUE(Ok(report));
  EXPECT_TRUE(Mentions(report->problems, "graph.quarn: neighbour out of range: 55 more"));
  EXPECT_LT(report->problems.size(), 12u);
}

// ---- repair_path ----

// Overwrites [from, to) of a file with seeded noise.
void scramble(const fs::path& file, std::size_t from, std::size_t to) {
  auto b = testing::read_bytes(file);
  std::mt19937 rng(5);
  for (std::size_t i = from; i < to && i < b.size(); ++i) b[i] = static_cast<std::byte>(rng());
  testing::write_bytes(file, b);
}

// Destroys the graph file up to its metadata section, but for the metric byte, set to `metric`.
void scramble_header(const fs::path& file, std::byte metric) {
  scramble(file, 0, GraphModel::read(file).section_at);
  auto b = testing::read_bytes(file);
  b.at(12) = metric;
  testing::write_bytes(file, b);
}

// The log's changes are replayed on top of what the other files give back, and the result
// is saved.
TEST_F(HealthTest, RepairPathBringsBackEveryRecordWhenTheNodeRecordsAreDestroyed) {
  db_.reset();
  {
    auto db = Database::open(dir());
    ASSERT_TRUE(Ok(db));
    ASSERT_TRUE(Ok((*db)->upsert("w1", Vec(kDim, 1.0f), json::parse("{\"new\":true}"))));
    ASSERT_TRUE(Ok((*db)->remove("v1")));
    ASSERT_TRUE(Ok((*db)->update("v2", std::nullopt, Metadata(json::parse("{\"k\":2}")))));
  }
  const GraphModel g = GraphModel::read(graph());
  scramble(graph(), g.nodes_at, g.section_at);
  ASSERT_FALSE(Database::open(dir()).has_value());
  auto repaired = Database::repair_path(dir());
  ASSERT_TRUE(Ok(repaired));
  const RepairReport& report = repaired->second;
  EXPECT_TRUE(report.lost.empty()) << joined(report.lost);
  EXPECT_EQ(report.ids, kNodes - 2);
  EXPECT_EQ(report.tombstones_dropped, 2u);
  EXPECT_EQ(report.log_entries, 3u);
  EXPECT_FALSE(fs::exists(dir() / wal::kWalFileName));
  expected_.erase("v1");
  expected_["w1"] = {Vec(kDim, 1.0f), "{\"new\":true}"};
  expected_["v2"].second = "{\"k\":2}";
  expect_recovered(*repaired->first, kNodes - 2);
  repaired->first.reset();
  auto reopened = Database::open(dir());
  ASSERT_TRUE(Ok(reopened));
  expect_recovered(**reopened, kNodes - 2);
  auto hits = (*reopened)->search(expected_.at("v3").first, nearest(1));
  ASSERT_TRUE(Ok(hits));
  EXPECT_EQ(hits->at(0).id, "v3");
}

TEST_F(HealthTest, RepairPathReadsTheShapeFromTheVectorsWhenTheHeaderIsDestroyed) {
  db_.reset();
  scramble_header(graph(), testing::read_bytes(graph()).at(12));
  auto repaired = Database::repair_path(dir());
  ASSERT_TRUE(Ok(repaired));
  EXPECT_TRUE(
      Mentions(repaired->second.lost, "dimension 4 and 60 vectors were read from vectors.bin"));
  EXPECT_EQ(repaired->first->metric(), Metric::Euclidean);
  expect_recovered(*repaired->first, kNodes - 2);
}

TEST_F(HealthTest, RepairPathReportsWhatItCannotRecoverAndInventsNothing) {
  db_.reset();
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
    std::vector<std::string> lost;
    std::size_t ids;
  };
  const Case cases[] = {
      {"last vector cut off, logged again",
       [](const fs::path& d) {
         (void)log_two_records(d);
         testing::resize_file(d / "vectors.bin", (kNodes - 1) * kDim * 4);
         wal::Wal log(d / wal::kWalFileName);
         EXPECT_TRUE(Ok(log.append(wal::WalEntry::Insert{"v59", Vec(kDim, 5.0f), std::nullopt})));
       },
       {},
       kNodes},
      {"id stored twice",
       [](const fs::path& d) {
         (void)log_two_records(d);
         GraphModel g = GraphModel::read(d / "graph.quarn");
         std::sort(g.records.begin(), g.records.end(),
                   [](const auto& a, const auto& b) { return a.slot < b.slot; });
         for (auto& r : g.records) {
           if (r.id == "v12") r.id = "v11";
         }
         g.write(d / "graph.quarn");
       },
       {"id 'v11' is stored twice (slots 11 and 12): the vector at slot 11 is dropped"},
       kNodes - 1},
      {"metadata section damaged at its 31st record",
       [](const fs::path& d) {
         GraphModel g = GraphModel::read(d / "graph.quarn");
         g.records[30].id = std::string(1, '\xff');  // not UTF-8: reading stops there
         g.write(d / "graph.quarn");
       },
       {"the ids and metadata of 28 of its 58 records are lost",
        "28 stored vectors that no id names are dropped"},
       30},
      {"log damaged after its first record",
       [](const fs::path& d) {
         const std::size_t record = log_two_records(d);
         flip_byte(d / "wal.quarn", 2 * record - 1);
       },
       {"the changes logged from offset "},
       kNodes - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path damaged = copy();
    c.plant(damaged);
    auto repaired = Database::repair_path(damaged);
    ASSERT_TRUE(Ok(repaired));
    for (const auto& part : c.lost) EXPECT_TRUE(Mentions(repaired->second.lost, part));
    expected_["w1"] = {Vec(kDim, 1.0f), "<none>"};  // the log's first record
    expected_["w2"] = {Vec(kDim, 2.0f), "<none>"};
    const testing::Records before = expected_;
    if (c.lost.empty()) expected_["v59"] = {Vec(kDim, 5.0f), "<none>"};
    if (c.name == std::string("id stored twice")) expected_["v11"] = expected_.at("v12");
    expect_recovered(*repaired->first, c.ids);
    expected_ = before;
    expected_.erase("w1");
    expected_.erase("w2");
  }
}

// A repair that would save fewer ids than the files name, because their vectors are found
// nowhere (vectors.bin gone, emptied or cut short, and the log does not hold them), leaves
// every file as it was and names what is missing.
TEST_F(HealthTest, RepairPathRefusesToDropIdsWhoseVectorsAreLost) {
  db_.reset();
  const std::pair<const char*, std::function<void(const fs::path&)>> cases[] = {
      {"58 ids named in graph.quarn have no vector in vectors.bin or the log ('v0', 'v1', "
       "'v10', 'v11', 'v12' and 53 more)",
       [](const fs::path& d) { fs::remove(d / "vectors.bin"); }},
      {"58 ids named in graph.quarn have no vector",
       [](const fs::path& d) { testing::resize_file(d / "vectors.bin", 0); }},
      {"1 id named in graph.quarn has no vector in vectors.bin or the log ('v59')",
       [](const fs::path& d) { testing::resize_file(d / "vectors.bin", (kNodes - 1) * kDim * 4); }},
  };
  for (const auto& [message, plant] : cases) {
    SCOPED_TRACE(message);
    const fs::path damaged = copy();
    (void)log_two_records(damaged);
    plant(damaged);
    const auto before = snapshot(damaged);
    auto repaired = Database::repair_path(damaged);
    ASSERT_FALSE(repaired.has_value());
    EXPECT_NE(repaired.error().to_string().find(message), std::string::npos)
        << repaired.error().to_string();
    EXPECT_NE(repaired.error().to_string().find("nothing was changed"), std::string::npos);
    EXPECT_EQ(snapshot(damaged), before);
  }
}

TEST_F(HealthTest, RepairPathRefusesWhenTheShapeIsLostAndLeavesTheFiles) {
  db_.reset();
  scramble_header(graph(), std::byte{9});  // no metric has this code
  const auto before = snapshot(dir());
  auto repaired = Database::repair_path(dir());
  ASSERT_FALSE(repaired.has_value());
  EXPECT_NE(repaired.error().to_string().find("the metric byte of graph.quarn is damaged"),
            std::string::npos);
  EXPECT_EQ(snapshot(dir()), before);
  EXPECT_TRUE(testing::Fails(Database::repair_path(tmp_.path() / "nothing"),
                             error::ErrorKind::DatabaseNotFound));
}

}  // namespace
}  // namespace quarn_core::db
