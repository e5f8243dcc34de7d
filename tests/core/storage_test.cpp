#include "quarn_core/storage.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>

#include "collection_files.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/wal.hpp"
#include "testutil.hpp"

namespace quarn_core::storage {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using testing::read_bytes;
using testing::write_bytes;

std::shared_ptr<db::Database> create(const fs::path& dir, std::size_t dim, bool quantize = false) {
  return testing::create(dir, dim, Metric::Euclidean, {4, 20, quantize});
}

// A loaded index must be usable without reading outside its buffers: walk everything.
void exercise(const Storage::Loaded& loaded) {
  const auto& index = *loaded.index;
  std::vector<float> q(index.dim(), 0.5f);
  (void)index.search(q, 5, 16);
  if (index.entry_point() != hnsw::kNoEntry) (void)index.search_graph(q, 5, 16);
  for (std::uint32_t s = 0; s < index.node_count(); ++s) {
    for (std::size_t l = 0; l <= index.node_level(s); ++l) {
      for (auto n : index.neighbors(s, l)) {
        EXPECT_LT(n, index.node_count());
      }
    }
    (void)index.vector(s);
  }
  for (const auto& r : loaded.records) {
    EXPECT_LT(r.slot, index.node_count());
  }
}

TEST(StorageTest, EmptyAndOneVectorFilesAreExact) {
  testing::TempDir dir;
  auto db = create(dir.path(), 3);
  ASSERT_TRUE(db->save());
  const auto graph = read_bytes(dir.path() / "graph.quarn");
  ASSERT_EQ(graph.size(), 45u);
  const unsigned char expected[45] = {
      'G',  'W',  'S', 'H', 2, 0, 0, 0, 3, 0, 0, 0, 1, 4, 0,   0,   0,   20,  0, 0, 0, 0xFF, 0xFF,
      0xFF, 0xFF, 0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'A', 'T', 'E', 'M', 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(graph.data(), expected, 45), 0);
  EXPECT_EQ(fs::file_size(dir.path() / "vectors.bin"), 0u);
  auto loaded = Storage(dir.path()).load();
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  EXPECT_EQ(loaded->index->node_count(), 0u);
  EXPECT_EQ(loaded->index->entry_point(), hnsw::kNoEntry);
  EXPECT_TRUE(loaded->records.empty());

  // One vector: the vector file holds it, then its norm.
  ASSERT_TRUE(db->add("a", {3, 0, 4}, json::parse(R"({"k":1})")));
  ASSERT_TRUE(db->save());
  const auto bytes = read_bytes(dir.path() / "vectors.bin");
  ASSERT_EQ(bytes.size(), 16u);
  float f[4];
  std::memcpy(f, bytes.data(), 16);
  EXPECT_EQ(std::vector<float>(f, f + 4), (std::vector<float>{3, 0, 4, 5}));
}

TEST(StorageTest, DamagedGraphFilesHaveTheirMessages) {
  testing::TempDir dir;
  auto db = create(dir.path(), 2);
  ASSERT_TRUE(db->add("a", {1, 2}, json::parse(R"({"k":1})")));
  ASSERT_TRUE(db->save());
  db.reset();
  const auto good = read_bytes(dir.path() / "graph.quarn");
  // The metadata section: magic, count, then slot, id length, id 'a', text length, {"k":1}.
  const std::size_t section = good.size() - (4 + 4 + 4 + 4 + 1 + 4 + 7);
  struct Case {
    std::size_t offset;
    std::vector<unsigned char> bytes;
    const char* message;
  };
  const Case cases[] = {
      {0, {'H', 'S', 'W', 'G'}, "io error: bad graph magic"},
      {4, {1, 0, 0, 0}, "io error: unsupported graph version: 1"},
      {12, {3}, "io error: unknown metric: 3"},
      {29, {2, 0, 0, 0}, nullptr},  // N = 2 with one vector's worth of files: invalid data
      {21, {5, 0, 0, 0}, nullptr},  // entry point beyond N
      {section, {'X'}, "io error: bad metadata section magic"},
      {good.size() - 12, {0xFF}, "io error: invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    auto bad = good;
    std::memcpy(bad.data() + c.offset, c.bytes.data(), c.bytes.size());
    write_bytes(dir.path() / "graph.quarn", bad);
    auto r = Storage(dir.path()).load();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), error::ErrorKind::Io);
    if (c.message) {
      EXPECT_EQ(r.error().to_string(), c.message);
    }
  }
  // Metadata text that is not JSON loads as no metadata.
  auto bytes = good;
  bytes[bytes.size() - 1] = std::byte{'x'};
  write_bytes(dir.path() / "graph.quarn", bytes);
  auto loaded = Storage(dir.path()).load();
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->records.size(), 1u);
  EXPECT_EQ(loaded->records[0].id, "a");
  EXPECT_FALSE(loaded->records[0].metadata.has_value());
}

class SavedCollection : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = create(dir_.path(), 4, /*quantize=*/true);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1, 1);
    for (int i = 0; i < 40; ++i) {
      std::vector<float> v(4);
      for (auto& x : v) x = u(rng);
      ASSERT_TRUE(
          db->add("id" + std::to_string(i), v, json::parse("{\"i\":" + std::to_string(i) + "}")));
    }
    for (int i = 0; i < 40; i += 7) ASSERT_TRUE(db->remove("id" + std::to_string(i)));
    ASSERT_TRUE(db->save());
    graph_ = read_bytes(dir_.path() / "graph.quarn");
    vectors_ = read_bytes(dir_.path() / "vectors.bin");
  }
  testing::TempDir dir_;
  std::vector<std::byte> graph_, vectors_;
};

TEST_F(SavedCollection, DeletedSlotsSurviveAndStoreIsMappedUntilFirstInsert) {
  auto loaded = Storage(dir_.path()).load();
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  auto& index = *loaded->index;
  EXPECT_EQ(index.node_count(), 40u);
  EXPECT_EQ(index.deleted().size(), 6u);
  EXPECT_EQ(index.count(), 34u);
  EXPECT_TRUE(index.is_deleted(0));
  EXPECT_FALSE(index.neighbors(0, 0).empty());  // a tombstone keeps its links
  EXPECT_EQ(loaded->records.size(), 34u);
  ASSERT_NE(index.quantized(), nullptr);
  EXPECT_EQ(index.quantized()->codes.size(), 40u * 4);
  ASSERT_TRUE(index.is_mapped());
  EXPECT_EQ(index.ml(), 1.0 / std::log(4.0));  // from the stored m, not a default
  const std::vector<float> before(index.vectors().begin(), index.vectors().end());
  const std::vector<float> norms(index.norms().begin(), index.norms().end());
  (void)index.insert(std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f});
  EXPECT_FALSE(index.is_mapped());
  EXPECT_FALSE(index.vector_store().mapped_norms());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), index.vectors().begin()));
  EXPECT_TRUE(std::equal(norms.begin(), norms.end(), index.norms().begin()));
  EXPECT_EQ(index.vectors().size(), 41u * 4);
}

TEST_F(SavedCollection, EveryTruncationIsACleanError) {
  for (std::size_t len = 0; len < graph_.size(); ++len) {
    SCOPED_TRACE(len);
    write_bytes(dir_.path() / "graph.quarn", std::span(graph_).first(len));
    auto r = Storage(dir_.path()).load();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), error::ErrorKind::Io);
  }
  write_bytes(dir_.path() / "graph.quarn", graph_);
  for (std::size_t len = 0; len < vectors_.size(); len += 3) {
    SCOPED_TRACE(len);
    write_bytes(dir_.path() / "vectors.bin", std::span(vectors_).first(len));
    auto r = Storage(dir_.path()).load();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), error::ErrorKind::Io);
  }
}

TEST_F(SavedCollection, EveryHeaderByteCorruptionIsCleanErrorOrConsistentIndex) {
  // The header, the deleted slots and the first node records: every byte, several values.
  const std::size_t span = std::min<std::size_t>(graph_.size(), 37 + 6 * 4 + 200);
  for (std::size_t at = 0; at < span; ++at) {
    for (unsigned value : {0x00u, 0x01u, 0x7Fu, 0x80u, 0xFFu}) {
      if (graph_[at] == std::byte(value)) continue;
      SCOPED_TRACE(std::to_string(at) + "=" + std::to_string(value));
      auto bad = graph_;
      bad[at] = std::byte(value);
      write_bytes(dir_.path() / "graph.quarn", bad);
      auto r = Storage(dir_.path()).load();
      if (r) {
        exercise(*r);
      } else {
        EXPECT_EQ(r.error().kind(), error::ErrorKind::Io);
      }
    }
  }
}

// Files no save writes: parameters beyond what a new collection may have, and records that
// disagree about an id or a slot. Each is refused as invalid data, before the nodes'
// lists are allocated for the parameters claimed.
TEST_F(SavedCollection, LoadRefusesWhatNoSaveWrites) {
  const testing::GraphModel sound = testing::GraphModel::read(dir_.path() / "graph.quarn");
  const std::pair<const char*, std::function<void(testing::GraphModel&)>> cases[] = {
      {"m 65536 is not between 2 and 2048", [](auto& g) { g.m = 65536; }},
      {"m 1 is not between 2 and 2048", [](auto& g) { g.m = 1; }},
      {"max_level 65 is above 64",
       [](auto& g) {
         g.max_level = 65;
         g.nodes[g.entry_point].resize(66);
       }},
      {"node 3 claims 66 layers", [](auto& g) { g.nodes[3].resize(66); }},
      {"id 'id1' is stored twice (slots 1 and 2)", [](auto& g) { g.records[1].id = "id1"; }},
      {"slot 1 is named by both 'id1' and 'id2'", [](auto& g) { g.records[1].slot = 1; }},
  };
  for (const auto& [message, damage] : cases) {
    SCOPED_TRACE(message);
    testing::GraphModel g = sound;
    // Records in slot order, so that the messages name them predictably.
    std::sort(g.records.begin(), g.records.end(),
              [](const auto& a, const auto& b) { return a.slot < b.slot; });
    damage(g);
    g.write(dir_.path() / "graph.quarn");
    auto r = Storage(dir_.path()).load();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), error::ErrorKind::Io);
    EXPECT_EQ(r.error().io_error().kind, error::IoKind::InvalidData);
    EXPECT_NE(r.error().to_string().find(message), std::string::npos) << r.error().to_string();
  }
}

// A planted link is replaced or refused, never written through: the temporary names of a
// save are unlinked first and created afresh, and the log and the lock file are not opened
// through a link. A collection directory that is itself a link works as any other.
TEST(StorageTest, LinksInTheDirectoryAreNeverWrittenThrough) {
  testing::TempDir tmp;
  const fs::path real = tmp.path() / "real", linked = tmp.path() / "linked";
  const fs::path victim = tmp.path() / "victim", absent = tmp.path() / "absent";
  fs::create_directories(real);
  fs::create_directory_symlink(real, linked);
  auto db = create(linked, 2);
  ASSERT_TRUE(db->add("a", {1, 2}, std::nullopt));
  ASSERT_TRUE(db->save());
  for (const char* planted : {"graph.tmp", "vectors.tmp", "wal.quarn", "LOCK"}) {
    for (const fs::path& target : {victim, absent}) {
      SCOPED_TRACE(std::string(planted) + " -> " + target.filename().string());
      testing::write_text(victim, "precious");
      fs::remove(absent);
      fs::remove(linked / planted);
      fs::create_symlink(target, linked / planted);
      if (std::string(planted) == "LOCK") {
        db.reset();
        EXPECT_FALSE(db::Database::open(linked));  // the lock is not taken through a link
      } else {
        auto reopened = testing::reopen(linked);
        ASSERT_NE(reopened, nullptr);
        if (std::string(planted) == "wal.quarn") {
          EXPECT_FALSE(reopened->add("b", {3, 4}, std::nullopt));  // the log's writer refuses it
        } else {
          EXPECT_TRUE(reopened->save());  // the temporary names are replaced
          EXPECT_FALSE(fs::exists(fs::symlink_status(linked / planted)));
        }
      }
      EXPECT_EQ(testing::read_text(victim), "precious");
      EXPECT_FALSE(fs::exists(absent));
      for (const char* name : {"graph.quarn", "vectors.bin"}) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(real / name))) << name;
      }
      fs::remove(linked / planted);
      db = testing::reopen(linked);
      ASSERT_NE(db, nullptr);
      EXPECT_EQ(db->count(), 1u);
    }
  }
}

TEST_F(SavedCollection, QuantizedFileMustMatchTheCollection) {
  const auto sq8 = read_bytes(dir_.path() / "vectors.sq8");
  // Short codes.
  write_bytes(dir_.path() / "vectors.sq8", std::span(sq8).first(sq8.size() - 1));
  EXPECT_FALSE(Storage(dir_.path()).load());
  // A quantizer header cut short.
  write_bytes(dir_.path() / "vectors.sq8", std::span(sq8).first(10));
  auto r = Storage(dir_.path()).load();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "io error: failed to fill whole buffer");
  // Another dimension.
  auto bad = sq8;
  bad[0] = std::byte{3};
  write_bytes(dir_.path() / "vectors.sq8", bad);
  EXPECT_FALSE(Storage(dir_.path()).load());
}

}  // namespace
}  // namespace quarn_core::storage

namespace quarn_core::storage {
namespace {

// A save stopped between its renames is undone at the next open: the old files come back
// and the log, which that save never reset, replays the rest.
TEST(InterruptedSaveTest, RollsBackBeforeTheGraphAndForwardAfterIt) {
  testing::TempDir dir;
  const fs::path d = dir.path();
  {
    auto db = create(d, 2);
    ASSERT_TRUE(db->add("a", {1, 2}, std::nullopt));
    ASSERT_TRUE(db->save());
    ASSERT_TRUE(db->add("b", {3, 4}, std::nullopt));
    // The first half of a save: backups taken, a new vector file renamed in, then a crash.
    Storage storage(d);
    ASSERT_TRUE(begin_save(storage));
    ASSERT_TRUE(replace_file(storage.vectors_path(), [](io::BufWriter& w) -> Result<void> {
      const float floats[] = {1, 2, 3, 4, 9, 9};
      return w.write(floats, sizeof floats);
    }));
  }
  {
    auto db = db::Database::open(d);
    ASSERT_TRUE(db) << db.error().to_string();
    EXPECT_EQ((*db)->count(), 2u);
    EXPECT_EQ((*db)->get("b")->first, (std::vector<float>{3, 4}));
    EXPECT_FALSE(fs::exists(d / "graph.quarn.bak"));
    EXPECT_FALSE(fs::exists(d / "vectors.bin.bak"));
    ASSERT_TRUE((*db)->save());
  }
  // A save that renamed its graph but stopped before dropping the backups: keep the new set.
  {
    testing::write_text(d / "other", "x");
    fs::create_hard_link(d / "other", d / "graph.quarn.bak");
    fs::create_hard_link(d / "other", d / "vectors.bin.bak");
    auto db = db::Database::open(d);
    ASSERT_TRUE(db) << db.error().to_string();
    EXPECT_EQ((*db)->count(), 2u);
    EXPECT_FALSE(fs::exists(d / "graph.quarn.bak"));
    EXPECT_FALSE(fs::exists(d / "vectors.bin.bak"));
  }
}

// Nesting far past what any walk of a value could take on the call stack.
json::Value nested(std::size_t levels) {
  json::Value root = json::Value::array();
  json::Value* at = &root;
  for (std::size_t i = 1; i < levels; ++i) {
    at->push_back(json::Value::array());
    at = &at->back();
  }
  return root;
}

TEST(DepthTest, DeepValuesAreWrittenComparedAndHashedWithoutRecursion) {
  const json::Value a = nested(200000), b = nested(200000), c = nested(199999);
  EXPECT_EQ(json::depth(a), 200000u);
  const std::string text = json::to_text(a);
  EXPECT_EQ(text.size(), 400000u);
  EXPECT_TRUE(json::json_equal(a, b));
  EXPECT_FALSE(json::json_equal(a, c));
  EXPECT_EQ(json::json_hash(a), json::json_hash(b));
  EXPECT_FALSE(json::parse(text));  // deeper than any stored value may be
  EXPECT_TRUE(json::nested_deeper_than(text, json::kMaxDepth));
  EXPECT_FALSE(json::nested_deeper_than(R"({"a":"[[[[[[\\"","b":[1]})", 2));
  EXPECT_TRUE(json::parse(json::to_text(nested(json::kMaxDepth))));
}

TEST(DepthTest, LoadersRefuseMetadataDeeperThanTheLimit) {
  testing::TempDir dir;
  // Each use gets its own value, moved in: copying one this deep would itself recurse.
  // A log record: skipped like any record that does not decode; the others apply.
  const fs::path log_dir = dir.path() / "log";
  fs::create_directories(log_dir);
  {
    wal::Wal log(log_dir / wal::kWalFileName);
    ASSERT_TRUE(log.append(wal::WalEntry::Insert{"a", {1, 2}, std::nullopt}));
    ASSERT_TRUE(log.append(wal::WalEntry::Insert{"deep", {3, 4}, nested(200000)}));
    ASSERT_TRUE(log.append(wal::WalEntry::Insert{"b", {5, 6}, std::nullopt}));
  }
  auto replayed = create(log_dir, 2);
  EXPECT_EQ(replayed->count(), 2u);
  EXPECT_TRUE(replayed->contains("a") && replayed->contains("b"));
  // A graph file: the usual invalid-data error.
  const fs::path graph_dir = dir.path() / "graph";
  {
    auto db = create(graph_dir, 2);
    ASSERT_TRUE(db->add("deep", {1, 2}, json::Value(0)));
    ASSERT_TRUE(db->save());
  }
  auto g = testing::GraphModel::read(graph_dir / "graph.quarn");
  g.records[0].metadata = json::to_text(nested(200000));
  g.write(graph_dir / "graph.quarn");
  auto opened = db::Database::open(graph_dir);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().to_string(), "io error: metadata of id 'deep' nested deeper than " +
                                            std::to_string(json::kMaxDepth) + " levels");
  // The mutations refuse such a value before logging it.
  auto db = create(dir.path() / "refused", 2);
  auto added = db->add("deep", {1, 2}, nested(200000));
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().to_string(),
            "io error: metadata nested deeper than " + std::to_string(json::kMaxDepth) + " levels");
}

TEST(BoundsTest, NewCollectionsMustFitTheFilesAndWork) {
  const std::pair<db::DatabaseConfig, std::size_t> ok[] = {
      {{2, 1, false}, 1}, {{2048, 100000, true}, std::size_t{1} << 24}};
  for (const auto& [config, dim] : ok) EXPECT_FALSE(db::check_new_collection(dim, config));
  const std::tuple<std::size_t, std::size_t, std::size_t, const char*> bad[] = {
      {0, 16, 200, "dim must be between 1 and 16777216"},
      {(std::size_t{1} << 24) + 1, 16, 200, "dim must be between 1 and 16777216"},
      {3, 1, 200, "m must be at least 2"},
      {3, 70000, 200, "m must be at most 2048"},
      {3, 16, 0, "ef_construction must be between 1 and 100000"},
      {3, 16, 100001, "ef_construction must be between 1 and 100000"},
  };
  testing::TempDir dir;
  {  // the largest m and ef_construction build, save and load
    auto db = testing::create(dir.path() / "big", 2, Metric::Euclidean, {2048, 100000, false});
    ASSERT_TRUE(db->add_many({{"a", {1, 0}, {}}, {"b", {0, 1}, {}}, {"c", {1, 1}, {}}}));
    ASSERT_TRUE(db->save());
  }
  EXPECT_EQ(testing::reopen(dir.path() / "big")->count(), 3u);
  for (const auto& [dim, m, ef, message] : bad) {
    const db::DatabaseConfig config{m, ef, false};
    EXPECT_EQ(db::check_new_collection(dim, config), message);
    auto r =
        db::Database::open_or_create_with_config(dir.path() / "c", dim, Metric::Cosine, config);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), std::string("io error: ") + message);
  }
}

}  // namespace
}  // namespace quarn_core::storage
