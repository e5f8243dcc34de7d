// The metadata index's upkeep: rebuilding it for 60,000 records (what opening a collection
// does) and changing one record's metadata in it (what every mutation does), with metadata
// that has something for each of its views: numbers, strings, an array of 1 to 4 words, a
// field in half of the records and an object in a tenth. Run it against an older build
// (the file uses only index, remove and rebuild) to see what the views cost.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "quarn_core/filter.hpp"

namespace {

using quarn_core::db::MetadataIndex;
using quarn_core::json::Value;

std::vector<std::optional<Value>> records(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::optional<Value>> out;
  for (std::size_t i = 0; i < n; ++i) {
    Value v = Value::object();
    v["label"] = i % 10;
    v["group"] = static_cast<int>(rng() % 10);
    v["score"] = static_cast<double>(rng() % 1000000) / 1e6;
    Value tags = Value::array();
    for (std::uint32_t t = 0, count = 1 + rng() % 4; t < count; ++t) {
      std::string word = "w";  // (not "w" + ...: GCC 12 warns about that wrongly)
      word += std::to_string(rng() % 40);
      tags.push_back(std::move(word));
    }
    v["tags"] = std::move(tags);
    if (i % 2 == 0) v["note"] = std::string(1, static_cast<char>('a' + i % 7));
    if (i % 10 == 0) v["extra"] = Value::object({{"k", i % 3}});
    out.push_back(std::move(v));
  }
  return out;
}

void BM_Rebuild(benchmark::State& state) {
  const auto metadata = records(60000, 11);
  for (auto _ : state) {
    MetadataIndex index;
    index.rebuild(metadata, {});
    benchmark::DoNotOptimize(index);
  }
}
BENCHMARK(BM_Rebuild)->Unit(benchmark::kMillisecond);

// One record's metadata replaced, as update() does: its old entries out, the new ones in.
void BM_Replace(benchmark::State& state) {
  auto metadata = records(60000, 11);
  const auto fresh = records(4096, 12);
  MetadataIndex index;
  index.rebuild(metadata, {});
  std::mt19937 rng(13);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto slot = static_cast<std::uint32_t>(rng() % metadata.size());
    index.remove(slot, metadata[slot]);
    metadata[slot] = fresh[i++ % fresh.size()];
    index.index(slot, metadata[slot]);
  }
}
BENCHMARK(BM_Replace)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
