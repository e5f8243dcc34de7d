// Log appends of 768-dimensional inserts (the size of common text embeddings), each record
// handed to the operating system before the append returns, and reading such a log back.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "quarn_core/wal.hpp"

namespace {

using quarn_core::wal::Value;
using quarn_core::wal::Wal;
using quarn_core::wal::WalEntry;

constexpr std::size_t kDim = 768;

std::filesystem::path make_temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quarn-wal-bench-XXXXXX").string();
  return ::mkdtemp(tmpl.data());
}

std::vector<float> random_vector(std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<float> v(kDim);
  for (auto& x : v) x = u(rng);
  return v;
}

// state.range(0) = 1 attaches a small metadata object to every insert.
void BM_AppendInsert768(benchmark::State& state) {
  const auto dir = make_temp_dir();
  std::mt19937 rng(42);
  WalEntry::Insert entry{"", random_vector(rng), std::nullopt};
  if (state.range(0) != 0) entry.metadata = Value{{"lang", "en"}, {"page", 12}, {"score", 0.75}};
  Wal wal(dir / "wal.quarn");
  std::size_t i = 0;
  for (auto _ : state) {
    entry.id = "doc-" + std::to_string(i++);
    if (!wal.append(entry)) {
      state.SkipWithError("append failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(std::filesystem::file_size(dir / "wal.quarn")));
  (void)wal.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_AppendInsert768)->Arg(0)->Arg(1);

void BM_ReadAll768(benchmark::State& state) {
  const auto dir = make_temp_dir();
  std::mt19937 rng(42);
  Wal wal(dir / "wal.quarn");
  const auto n = static_cast<std::size_t>(state.range(0));
  for (std::size_t i = 0; i < n; ++i) {
    if (!wal.append(WalEntry::Insert{"doc-" + std::to_string(i), random_vector(rng),
                                     Value{{"i", i}}})) {
      state.SkipWithError("append failed");
      return;
    }
  }
  for (auto _ : state) {
    auto entries = wal.read_all();
    if (!entries || entries->size() != n) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(entries->data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  (void)wal.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReadAll768)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
