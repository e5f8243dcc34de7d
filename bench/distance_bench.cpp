// The three distance kernels against a plain scalar loop, and SQ8 encode/decode throughput.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "quarn_core/distance.hpp"
#include "quarn_core/quantize.hpp"

namespace {

using quarn_core::distance::Metric;

std::vector<float> random_vector(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

// What a straightforward implementation would write. Kept from being vectorised so that it
// stands for the portable baseline rather than for whatever the compiler makes of it here.
__attribute__((optimize("no-tree-vectorize"))) float scalar_distance(const float* a,
                                                                      const float* b,
                                                                      std::size_t n, Metric m) {
  float dot = 0, na = 0, nb = 0, l2 = 0;
  for (std::size_t i = 0; i < n; ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
    const float d = a[i] - b[i];
    l2 += d * d;
  }
  switch (m) {
    case Metric::Cosine:
      return 1.0f - dot / std::sqrt(na * nb);
    case Metric::Euclidean:
      return l2;
    case Metric::DotProduct:
      return -dot;
  }
  return 0;
}

template <Metric M>
void BM_Simd(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  auto a = random_vector(n, 1), b = random_vector(n, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(quarn_core::distance::distance(a.data(), b.data(), n, M));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

template <Metric M>
void BM_Scalar(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  auto a = random_vector(n, 1), b = random_vector(n, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(scalar_distance(a.data(), b.data(), n, M));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

#define DIMS ->Arg(96)->Arg(128)->Arg(768)->Arg(1536)
BENCHMARK(BM_Simd<Metric::Cosine>) DIMS;
BENCHMARK(BM_Scalar<Metric::Cosine>) DIMS;
BENCHMARK(BM_Simd<Metric::Euclidean>) DIMS;
BENCHMARK(BM_Scalar<Metric::Euclidean>) DIMS;
BENCHMARK(BM_Simd<Metric::DotProduct>) DIMS;
BENCHMARK(BM_Scalar<Metric::DotProduct>) DIMS;

void BM_QuantizeBatch(benchmark::State& state) {
  const std::size_t dim = 768, n = 1000;
  auto data = random_vector(dim * n, 3);
  auto q = quarn_core::quantize::ScalarQuantizer::train(data, dim);
  for (auto _ : state) {
    auto codes = q.quantize_batch(data, dim);
    benchmark::DoNotOptimize(codes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(dim * n * 4));
}
BENCHMARK(BM_QuantizeBatch);

void BM_Decode(benchmark::State& state) {
  const std::size_t dim = 768;
  auto data = random_vector(dim, 4);
  auto q = quarn_core::quantize::ScalarQuantizer::train(data, dim);
  auto codes = q.quantize(data);
  std::vector<float> out(dim);
  for (auto _ : state) {
    q.decode(codes.data(), out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(dim));
}
BENCHMARK(BM_Decode);

}  // namespace

BENCHMARK_MAIN();
