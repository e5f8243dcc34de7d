// The collection loader over all three files. Input: u32 length of "graph.quarn", u32 length
// of "vectors.bin", those bytes, and the rest as "vectors.sq8" (no such file when empty).
// Whatever loads must answer reads, searches and counts without touching memory it lacks.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "quarn_core/db.hpp"

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
