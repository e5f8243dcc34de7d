// verify_path and repair_path on a small collection whose files are damaged on purpose.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "collection_files.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/wal.hpp"
#include "testutil.hpp"

namespace quarn_core::db {
namespace {

namespace fs = std::filesystem;
using testing::GraphModel;
using testing::Ok;
using testing::TempDir;
using Vec = std::vector<float>;

constexpr std::uint32_t kNodes = 60;
constexpr std::size_t kDim = 4;

std::string id_of(std::size_t i) {
  std::string out("v");
  out += std::to_string(i);
  return out;
}

// Every file of a directory, byte for byte.
std::map<std::string, std::vector<std::byte>> snapshot(const fs::path& dir) {
  std::map<std::string, std::vector<std::byte>> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    out[e.path().filename().string()] = testing::read_bytes(e.path());
  }
  return out;
}

bool mentions(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& l : lines) {
    if (l.find(part) != std::string::npos) return true;
  }
  return false;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "\n  " + l;
  return out;
}

// 60 vectors of dimension 4 with metadata on most, two of them deleted, saved with SQ8 codes.
class SalvageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = open_fixture();
    std::mt19937 rng(11);
    std::normal_distribution<float> g;
    std::vector<Record> items;
    for (std::size_t i = 0; i < kNodes; ++i) {
      Vec v(kDim);
      for (auto& x : v) x = g(rng);
      Metadata md;
      if (i % 5 != 0) md = json::parse("{\"i\":" + std::to_string(i) + ",\"g\":\"abc\"}");
      items.push_back(Record{id_of(i), v, md});
    }
    ASSERT_TRUE(Ok(db->add_many(items)));
    ASSERT_TRUE(Ok(db->remove("v7")));
    ASSERT_TRUE(Ok(db->remove("v13")));
    ASSERT_TRUE(Ok(db->save()));
    for (const auto& id : db->ids()) expected_[id] = value_of(*db, id);
  }

  std::unique_ptr<Database> open_fixture() {
    auto r = Database::open_or_create_with_config(dir(), kDim, distance::Metric::Euclidean,
                                                  DatabaseConfig{16, 40, true});
    EXPECT_TRUE(Ok(r));
    return r ? std::move(*r) : nullptr;
  }

  static std::pair<Vec, std::string> value_of(const Database& db, const std::string& id) {
    auto r = db.get(id);
    EXPECT_TRUE(Ok(r)) << id;
    if (!r) return {};
    return {r->first, r->second ? json::to_text(*r->second) : "<none>"};
  }

  // Every id of the repaired collection holds exactly its original vector and metadata.
  void expect_recovered(const Database& db, std::size_t ids) {
    EXPECT_EQ(db.ids().size(), ids);
    for (const auto& id : db.ids()) {
      ASSERT_TRUE(expected_.contains(id)) << "invented id " << id;
      EXPECT_EQ(value_of(db, id), expected_.at(id)) << id;
    }
    EXPECT_TRUE(db.verify().ok()) << joined(db.verify().problems);
  }

  fs::path dir() const { return tmp_.path() / "c"; }
  fs::path graph() const { return dir() / "graph.quarn"; }

  TempDir tmp_;
  std::map<std::string, std::pair<Vec, std::string>> expected_;
};

TEST_F(SalvageTest, SoundCollectionHasNoProblems) {
  auto report = Database::verify_path(dir());
  ASSERT_TRUE(Ok(report));
  EXPECT_TRUE(report->ok()) << joined(report->problems);
  EXPECT_EQ(report->nodes, kNodes);
  EXPECT_EQ(report->live, kNodes - 2);
  EXPECT_EQ(report->unreachable, 0u);
  EXPECT_EQ(report->log_records, 0u);
  auto missing = Database::verify_path(tmp_.path() / "nothing");
  EXPECT_TRUE(testing::Fails(missing, error::ErrorKind::DatabaseNotFound));
}

// Each kind of damage, planted alone; the plant returns a part of the line that must report it.
struct Damage {
  const char* name;
  std::function<std::string(const fs::path& dir)> plant;
};

std::string edit_graph(const fs::path& dir, const std::function<std::string(GraphModel&)>& f) {
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
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.nodes[3][0][0] = kNodes + 7;
         return std::string("node 3 lists neighbour 67 on layer 0, not below the node count 60");
       });
     }},
    {"node lists itself",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.nodes[5][0][0] = 5;
         return std::string("node 5 lists itself on layer 0");
       });
     }},
    {"list over its limit",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.nodes[2][0].resize(33, 1);
         return std::string("node 2 has 33 neighbours on layer 0, more than its limit 32");
       });
     }},
    {"entry point below the top",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         ++g.max_level;
         return "the entry point " + std::to_string(g.entry_point) + " is on layer " +
                std::to_string(g.max_level - 1) + ", not on the top layer " +
                std::to_string(g.max_level);
       });
     }},
    {"node above the top",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.nodes[9].resize(g.max_level + 2);
         return "node 9 reaches layer " + std::to_string(g.max_level + 1) + ", above the top";
       });
     }},
    {"deleted slot out of range",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.deleted.push_back(99);
         return std::string("deleted slot 99 is not below the node count 60");
       });
     }},
    {"graph cut inside the node records",
     [](const fs::path& d) {
       const GraphModel g = GraphModel::read(d / "graph.quarn");
       testing::resize_file(d / "graph.quarn", g.nodes_at + 30);
       return std::string("runs past the end of the file");
     }},
    {"section magic damaged",
     [](const fs::path& d) {
       flip_byte(d / "graph.quarn", GraphModel::read(d / "graph.quarn").section_at);
       return std::string("no metadata section");
     }},
    {"record names a slot out of range",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.records[0].slot = kNodes + 3;
         return std::string("names slot 63, not below the node count 60");
       });
     }},
    {"id stored twice",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.records[1].id = g.records[0].id;
         return "id '" + g.records[0].id + "' is stored twice";
       });
     }},
    {"live slot without id",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         const std::uint32_t slot = g.records[4].slot;
         g.records.erase(g.records.begin() + 4);
         return "live slot " + std::to_string(slot) + " has no id";
       });
     }},
    {"id names a deleted slot",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         g.records[0].slot = 7;  // v7 was deleted
         return "id '" + g.records[0].id + "' names deleted slot 7";
       });
     }},
    {"metadata text not JSON",
     [](const fs::path& d) {
       return edit_graph(d, [](GraphModel& g) {
         for (auto& r : g.records) {
           if (!r.metadata.empty()) {
             r.metadata = "{oops";
             return "the metadata of id '" + r.id + "' is not valid JSON";
           }
         }
         return std::string("unreached");
       });
     }},
    {"bad graph magic",
     [](const fs::path& d) {
       flip_byte(d / "graph.quarn", 0);
       return std::string("graph.quarn: bad magic");
     }},
    {"vectors.bin short",
     [](const fs::path& d) {
       testing::resize_file(d / "vectors.bin", kNodes * (kDim + 1) * 4 - 4);
       return std::string(
           "vectors.bin: 1196 bytes, but the graph's 60 vectors of dimension 4 "
           "and their norms take 1200");
     }},
    {"vectors.bin missing",
     [](const fs::path& d) {
       fs::remove(d / "vectors.bin");
       return std::string("vectors.bin is missing");
     }},
    {"vector damaged",
     [](const fs::path& d) {
       flip_byte(d / "vectors.bin", 3 * kDim * 4 + 2);
       return std::string("the stored norm of slot 3 does not match its vector");
     }},
    {"codes short",
     [](const fs::path& d) {
       testing::resize_file(d / "vectors.sq8", fs::file_size(d / "vectors.sq8") - 1);
       return std::string("vectors.sq8: 239 code bytes");
     }},
    {"log record torn",
     [](const fs::path& d) {
       const std::size_t record = log_two_records(d);
       testing::resize_file(d / "wal.quarn", 2 * record - 3);
       return "the record at offset " + std::to_string(record) +
              " runs past the end of the file (a torn write or a damaged length); a replay "
              "stops there and the " +
              std::to_string(record - 3) + " bytes from it are not applied";
     }},
    {"log record damaged",
     [](const fs::path& d) {
       const std::size_t record = log_two_records(d);
       flip_byte(d / "wal.quarn", 2 * record - 1);
       return "the record at offset " + std::to_string(record) + " fails its checksum";
     }},
    {"log vector of another dimension",
     [](const fs::path& d) {
       wal::Wal log(d / wal::kWalFileName);
       EXPECT_TRUE(Ok(log.append(wal::WalEntry::Insert{"x", Vec(3, 1.0f), std::nullopt})));
       return std::string("the record at offset 0 carries a vector of 3 floats, not 4");
     }},
    {"interrupted save",
     [](const fs::path& d) {
       fs::create_hard_link(d / "graph.quarn", d / "graph.quarn.bak");
       return std::string("graph.quarn.bak: a save was interrupted");
     }},
    {"calibration unreadable",
     [](const fs::path& d) {
       testing::write_bytes(d / kCalibrationFileName, {std::byte{'x'}});
       return std::string("calibration.json: not a calibration");
     }},
};

TEST_F(SalvageTest, VerifyPathReportsEachKindOfDamageAndChangesNothing) {
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.name);
    const fs::path copy = tmp_.path() / "copy";
    fs::remove_all(copy);
    fs::copy(dir(), copy, fs::copy_options::recursive);
    const std::string expect = damage.plant(copy);
    const auto before = snapshot(copy);
    auto report = Database::verify_path(copy);
    ASSERT_TRUE(Ok(report));
    EXPECT_FALSE(report->ok());
    EXPECT_TRUE(mentions(report->problems, expect))
        << "expected: " << expect << "\ngot:" << joined(report->problems);
    EXPECT_EQ(snapshot(copy), before);
  }
}

TEST_F(SalvageTest, RepeatedProblemsAreSummarised) {
  edit_graph(dir(), [](GraphModel& g) {
    for (auto& node : g.nodes) node[0].assign(1, kNodes + 1);
    return std::string();
  });
  auto report = Database::verify_path(dir());
  ASSERT_TRUE(Ok(report));
  EXPECT_TRUE(mentions(report->problems, "graph.quarn: neighbour out of range: 55 more"))
      << joined(report->problems);
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

TEST_F(SalvageTest, RepairPathBringsBackEveryRecordWhenTheNodeRecordsAreDestroyed) {
  const GraphModel g = GraphModel::read(graph());
  scramble(graph(), g.nodes_at, g.section_at);
  ASSERT_FALSE(Database::open(dir()).has_value());
  auto repaired = Database::repair_path(dir());
  ASSERT_TRUE(Ok(repaired));
  const RepairReport& report = repaired->second;
  EXPECT_TRUE(report.lost.empty()) << joined(report.lost);
  EXPECT_EQ(report.ids, kNodes - 2);
  EXPECT_EQ(report.tombstones_dropped, 2u);
  expect_recovered(*repaired->first, kNodes - 2);
  repaired->first.reset();
  auto reopened = Database::open(dir());
  ASSERT_TRUE(Ok(reopened));
  expect_recovered(**reopened, kNodes - 2);
  auto hits = (*reopened)->search(
      expected_.at("v1").first,
      SearchOptions{
          .k = 1, .ef_search = std::nullopt, .filter = nullptr, .max_distance = std::nullopt});
  ASSERT_TRUE(Ok(hits));
  EXPECT_EQ(hits->at(0).id, "v1");
}

TEST_F(SalvageTest, RepairPathReadsTheShapeFromTheVectorsWhenTheHeaderIsDestroyed) {
  const GraphModel g = GraphModel::read(graph());
  const auto metric = testing::read_bytes(graph()).at(12);
  scramble(graph(), 0, g.section_at);
  auto b = testing::read_bytes(graph());
  b[12] = metric;
  testing::write_bytes(graph(), b);
  auto repaired = Database::repair_path(dir());
  ASSERT_TRUE(Ok(repaired));
  EXPECT_TRUE(mentions(repaired->second.lost,
                       "dimension 4 and 60 vectors were read from "
                       "vectors.bin"))
      << joined(repaired->second.lost);
  EXPECT_EQ(repaired->first->metric(), distance::Metric::Euclidean);
  expect_recovered(*repaired->first, kNodes - 2);
}

TEST_F(SalvageTest, RepairPathReportsWhatItCannotRecoverAndInventsNothing) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
    std::vector<std::string> lost;
    std::size_t ids;
  };
  const Case cases[] = {
      {"last vector cut off",
       [](const fs::path& d) { testing::resize_file(d / "vectors.bin", (kNodes - 1) * kDim * 4); },
       {"id 'v59': its vector is missing from vectors.bin"},
       kNodes - 3},
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
    const fs::path copy = tmp_.path() / "copy";
    fs::remove_all(copy);
    fs::copy(dir(), copy, fs::copy_options::recursive);
    c.plant(copy);
    auto repaired = Database::repair_path(copy);
    ASSERT_TRUE(Ok(repaired));
    for (const auto& part : c.lost) {
      EXPECT_TRUE(mentions(repaired->second.lost, part))
          << "expected: " << part << "\ngot:" << joined(repaired->second.lost);
    }
    expected_["w1"] = {Vec(kDim, 1.0f), "<none>"};  // the log's first record
    expect_recovered(*repaired->first, c.ids);
    expected_.erase("w1");
  }
}

TEST_F(SalvageTest, RepairPathReplaysTheLogOnTopAndSaves) {
  {
    auto db = Database::open(dir());
    ASSERT_TRUE(Ok(db));
    ASSERT_TRUE(Ok((*db)->upsert("w1", Vec(kDim, 1.0f), json::parse("{\"new\":true}"))));
    ASSERT_TRUE(Ok((*db)->remove("v1")));
    ASSERT_TRUE(Ok((*db)->update("v2", std::nullopt, Metadata(json::parse("{\"k\":2}")))));
  }
  const GraphModel g = GraphModel::read(graph());
  scramble(graph(), g.nodes_at, g.section_at);
  auto repaired = Database::repair_path(dir());
  ASSERT_TRUE(Ok(repaired));
  EXPECT_EQ(repaired->second.log_entries, 3u);
  EXPECT_FALSE(fs::exists(dir() / wal::kWalFileName));
  expected_.erase("v1");
  expected_["w1"] = {Vec(kDim, 1.0f), "{\"new\":true}"};
  expected_["v2"].second = "{\"k\":2}";
  expect_recovered(*repaired->first, kNodes - 2);
}

TEST_F(SalvageTest, RepairPathRefusesWhenTheShapeIsLostAndLeavesTheFiles) {
  scramble(graph(), 0, GraphModel::read(graph()).section_at);
  auto b = testing::read_bytes(graph());
  b[12] = std::byte{9};  // no metric has this code
  testing::write_bytes(graph(), b);
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
