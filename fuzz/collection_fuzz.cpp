// The collection loader over all three files. Input: u32 length of "graph.quarn", u32 length
// of "vectors.bin", those bytes, and the rest as "vectors.sq8" (no such file when empty).
// Whatever loads must answer reads, searches and counts without touching memory it lacks, and
// stay within what a save could have written: m and the levels within a new collection's
// bounds, as many nodes as the files hold, and memory in proportion to the files (a file
// claiming a huge structure must fail, not allocate it).
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/storage.hpp"

using namespace quarn_core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint32_t graph_len, vectors_len;
  std::memcpy(&graph_len, data, 4);
  std::memcpy(&vectors_len, data + 4, 4);
  data += 8;
  size -= 8;
  if (graph_len > size || vectors_len > size - graph_len) return 0;
  const auto dir = quarn_fuzz::fresh_dir("collection");
  quarn_fuzz::write_file(dir / "graph.quarn", data, graph_len);
  quarn_fuzz::write_file(dir / "vectors.bin", data + graph_len, vectors_len);
  const std::size_t rest = size - graph_len - vectors_len;
  if (rest > 0) quarn_fuzz::write_file(dir / "vectors.sq8", data + graph_len + vectors_len, rest);

  if (auto loaded = storage::Storage(dir).load()) {
    const hnsw::HnswIndex& index = *loaded->index;
    const std::size_t n = index.node_count();
    if (index.m() < hnsw::kMinM || index.m() > hnsw::kMaxM) __builtin_trap();
    if (index.max_level() > hnsw::HnswIndex::kMaxLevel) __builtin_trap();
    // A node record takes at least 8 bytes (a layer count and a list count) ...
    if (n > graph_len / 8 || n * (index.dim() + 1) * 4 != vectors_len) __builtin_trap();
    // ... and brings lists of at most 4·(2m + 4) bytes on layer 0 and 4·(m + 4) on each
    // layer above, which takes 4 more bytes of the file.
    const std::size_t per_byte = (2 * hnsw::kMaxM + 4) / 2 + (hnsw::kMaxM + 4);
    if (index.memory_usage() > per_byte * size + (std::size_t{1} << 20)) __builtin_trap();
  }
  auto db = db::Database::open(dir);
  if (!db) return 0;
  auto& d = **db;
  for (const auto& id : d.ids()) {
    auto got = d.get(id);
    if (got && got->second) (void)json::to_text(*got->second);
  }
  (void)d.stats();
  (void)d.count(db::Filter::eq("c", "red"));
  if (d.dim() <= 4096) {
    std::vector<float> query(d.dim(), 0.5f);
    db::SearchOptions options;
    options.k = 5;
    (void)d.search(query, options);
    const auto filter = db::Filter::gte("n", 1.0);
    options.filter = &filter;
    (void)d.search(query, options);
  }
  return 0;
}
