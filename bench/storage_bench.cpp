// Opening a saved collection of 60,000 vectors of 784 floats (the size of Fashion-MNIST):
// the graph file is read and parsed, the vector file only mapped, the log replayed (empty).
// The collection is built once, from seeded random vectors, before the timed opens.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "quarn_core/db.hpp"

namespace {

namespace fs = std::filesystem;
using quarn_core::db::Database;

constexpr std::size_t kCount = 60'000;
constexpr std::size_t kDim = 784;
fs::path g_root;  // set once the collection is built, removed at exit

const fs::path& saved_collection() {
  static const fs::path dir = [] {
    std::string tmpl = (fs::temp_directory_path() / "quarn-storage-bench-XXXXXX").string();
    fs::path root = ::mkdtemp(tmpl.data());
    g_root = root;
    auto db = Database::open_or_create_with_config(root / "c", kDim,
                                                   quarn_core::distance::Metric::Euclidean, {});
    if (!db) std::abort();
    std::mt19937 rng(1);
    std::normal_distribution<float> g;
    std::vector<quarn_core::db::Record> items(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
      items[i].id = std::to_string(i);
      items[i].vector.resize(kDim);
      for (auto& x : items[i].vector) x = g(rng);
    }
    if (!(*db)->add_many(std::move(items)) || !(*db)->save()) std::abort();
    return root / "c";
  }();
  return dir;
}

void BM_OpenSaved60kx784(benchmark::State& state) {
  const fs::path& dir = saved_collection();
  for (auto _ : state) {
    auto db = Database::open(dir);
    if (!db) state.SkipWithError(db.error().to_string().c_str());
    benchmark::DoNotOptimize(db);
  }
  state.counters["graph_MB"] = double(fs::file_size(dir / "graph.quarn")) / 1e6;
  state.counters["vectors_MB"] = double(fs::file_size(dir / "vectors.bin")) / 1e6;
}
BENCHMARK(BM_OpenSaved60kx784)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  if (!g_root.empty()) fs::remove_all(g_root, ec);
  return 0;
}
