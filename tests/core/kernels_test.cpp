// The fused SQ8 kernels against the f32 kernels they replicate, bit for bit: every kernel this
// CPU can run (so an AVX-512 machine checks the AVX2 ones too), and the one chosen at run time
// against `distance` on the decoded vector.
#pragma GCC optimize("fp-contract=off")  // the decoding below is a multiply, then an add

#include "hnsw/kernels.hpp"
#include "hnsw/internal.hpp"
#include "hnsw/scan_codes.hpp"

#include <gtest/gtest.h>
#include <simsimd/simsimd.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quarn_core/distance.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/io.hpp"

namespace quarn_core::hnsw::detail {
namespace {

using distance::Metric;

struct Sq8Row {
  std::vector<float> q, scales, mins, decoded;
  std::vector<std::uint8_t> codes;
};

// A random query and code row of length n; a zero query or decoded row are the cases the
// cosine normalisation treats apart.
Sq8Row random_row(std::size_t n, std::mt19937& rng, bool zero_query = false,
                  bool zero_row = false) {
  std::uniform_real_distribution<float> unit(-1, 1), scale(0.0f, 0.05f);
  std::uniform_int_distribution<int> code(0, 255);
  Sq8Row r;
  for (std::size_t i = 0; i < n; ++i) {
    r.q.push_back(zero_query ? 0.0f : unit(rng) * 3);
    r.scales.push_back(zero_row ? 0.0f : scale(rng));
    r.mins.push_back(zero_row ? 0.0f : unit(rng));
    r.codes.push_back(static_cast<std::uint8_t>(code(rng)));
    r.decoded.push_back(static_cast<float>(r.codes[i]) * r.scales[i] + r.mins[i]);
  }
  return r;
}

float fused(FusedSq8Distance kernel, const Sq8Row& r) {
  return kernel(r.q.data(), r.codes.data(), r.scales.data(), r.mins.data(), r.q.size());
}

// Lengths below, at and around both register widths, and Fashion-MNIST's.
std::vector<std::size_t> lengths() {
  std::vector<std::size_t> out;
  for (std::size_t n = 1; n <= 50; ++n) out.push_back(n);
  for (std::size_t n : {63, 64, 65, 96, 127, 784}) out.push_back(n);
  return out;
}

struct MetricCase {
  Metric metric;
  simsimd_metric_kind_t kind;
};
constexpr MetricCase kMetrics[] = {{Metric::Cosine, simsimd_metric_cos_k},
                                   {Metric::Euclidean, simsimd_metric_l2sq_k},
                                   {Metric::DotProduct, simsimd_metric_dot_k}};

TEST(FusedSq8KernelTest, EachKernelMatchesTheF32KernelOfItsInstructionSet) {
  const struct {
    KernelIsa isa;
    simsimd_capability_t capability;
    const char* name;
  } isas[] = {{KernelIsa::Avx512, simsimd_cap_skylake_k, "AVX-512"},
              {KernelIsa::Avx2, simsimd_cap_haswell_k, "AVX2"}};
  std::size_t checked = 0;
  for (const auto& isa : isas) {
    if ((simsimd_capabilities() & isa.capability) == 0) continue;  // cannot run here
    for (const MetricCase& m : kMetrics) {
      SCOPED_TRACE(std::string(isa.name) + " " + std::string(distance::metric_name(m.metric)));
      simsimd_metric_dense_punned_t reference = nullptr;
      simsimd_capability_t used = simsimd_cap_serial_k;
      simsimd_find_kernel_punned(m.kind, simsimd_datatype_f32_k, simsimd_capabilities(),
                                 isa.capability,
                                 reinterpret_cast<simsimd_kernel_punned_t*>(&reference), &used);
      ASSERT_EQ(used, isa.capability);
      const FusedSq8Distance kernel = fused_sq8_kernel(m.metric, isa.isa);
      ASSERT_NE(kernel, nullptr);
      std::mt19937 rng(11);
      for (std::size_t n : lengths()) {
        for (int trial = 0; trial < 4; ++trial) {
          const Sq8Row r = random_row(n, rng, trial == 0 && n % 5 == 0, trial < 2 && n % 7 == 0);
          simsimd_distance_t out = 0;
          reference(r.q.data(), r.decoded.data(), n, &out);
          // As `distance` turns the library's double into its float.
          const float expected =
              m.metric == Metric::DotProduct ? -static_cast<float>(out) : static_cast<float>(out);
          ASSERT_EQ(std::bit_cast<std::uint32_t>(fused(kernel, r)),
                    std::bit_cast<std::uint32_t>(expected))
              << "n=" << n << " trial " << trial;
        }
      }
      ++checked;
    }
  }
  if (checked == 0) GTEST_SKIP() << "this CPU runs neither the AVX2 nor the AVX-512 kernels";
}

// Whatever `distance` dispatches to on this CPU, the chosen fused kernel (or the decoding
// fallback when there is none) gives its bits.
TEST(FusedSq8KernelTest, TheChosenKernelMatchesDistanceOnTheDecodedRow) {
  std::mt19937 rng(12);
  for (const MetricCase& m : kMetrics) {
    SCOPED_TRACE(std::string(distance::metric_name(m.metric)));
    const FusedSq8Distance kernel = fused_sq8_distance(m.metric);
    if (kernel == nullptr) continue;  // the scalar kernel: callers decode
    for (std::size_t n : lengths()) {
      const Sq8Row r = random_row(n, rng);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(fused(kernel, r)),
                std::bit_cast<std::uint32_t>(distance::distance(r.q, r.decoded, m.metric)))
          << "n=" << n;
    }
  }
}

// The code-dot kernels, 8-bit and 4-bit, against a plain loop in 64 bits, on rows reached in
// order and through a slot list, with weights at the extremes the bounded scan allows (no
// sum may wrap).
TEST(FusedSq8KernelTest, CodeDotKernelsAreExactIntegerSums) {
  const struct {
    CodeDots kernel;
    simsimd_capability_t capability;
    const char* name;
    bool four_bit;
  } kernels[] = {{code_dots_kernel(KernelIsa::Avx512), simsimd_cap_skylake_k, "AVX-512", false},
                 {code_dots_kernel(KernelIsa::Avx2), simsimd_cap_haswell_k, "AVX2", false},
                 {code_dots_portable(), simsimd_cap_serial_k, "portable", false},
                 {code_dots(), simsimd_cap_serial_k, "chosen", false},
                 {code_dots4_kernel(KernelIsa::Avx512), simsimd_cap_skylake_k, "4-bit AVX-512", true},
                 {code_dots4_kernel(KernelIsa::Avx2), simsimd_cap_haswell_k, "4-bit AVX2", true},
                 {code_dots4_portable(), simsimd_cap_serial_k, "4-bit portable", true},
                 {code_dots4(), simsimd_cap_serial_k, "4-bit chosen", true}};
  std::mt19937 rng(13);
  for (std::size_t stride : {32, 64, 96, 800, 2048}) {
    // 8-bit rows hold `stride` components, 4-bit rows twice as many: the same bound keeps
    // both within 32 bits.
    const auto top = static_cast<int>(std::min<long>(32767, 2147483647L / (255L * static_cast<long>(stride))));
    const std::size_t rows = 7;
    std::vector<std::uint8_t> codes(rows * stride);
    std::vector<std::int16_t> t(2 * stride);
    for (int trial = 0; trial < 3; ++trial) {
      for (std::size_t j = 0; j < 2 * stride; ++j) {
        // Trial 0: every weight and code at its largest, the sum at the 32-bit edge.
        t[j] = static_cast<std::int16_t>(trial == 0 ? top : trial == 1 ? -top : static_cast<int>(rng() % (2 * top + 1)) - top);
      }
      for (auto& c : codes) c = trial < 2 ? 255 : static_cast<std::uint8_t>(rng());
      std::vector<std::int64_t> want8(rows), want4(rows);
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < stride; ++j) {
          const std::uint8_t c = codes[i * stride + j];
          want8[i] += std::int64_t{t[j]} * c;
          // Byte j holds component 2·(j − j % 32) + j % 32 low and that + 32 high.
          const std::size_t low = 2 * (j - j % 32) + j % 32;
          want4[i] += std::int64_t{t[low]} * (c & 15) + std::int64_t{t[low + 32]} * (c >> 4);
        }
      }
      const std::uint32_t slots[] = {6, 0, 3, 3, 5};
      for (const auto& k : kernels) {
        if (k.kernel == nullptr || (simsimd_capabilities() & k.capability) != k.capability) continue;
        SCOPED_TRACE(std::string(k.name) + " stride " + std::to_string(stride));
        const auto& want = k.four_bit ? want4 : want8;
        std::vector<std::int32_t> got(rows);
        k.kernel(t.data(), codes.data(), stride, nullptr, rows, got.data());
        for (std::size_t i = 0; i < rows; ++i) EXPECT_EQ(got[i], want[i]) << "row " << i;
        k.kernel(t.data(), codes.data(), stride, slots, 5, got.data());
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(got[i], want[slots[i]]) << "slot " << slots[i];
      }
    }
  }
}

// The compressed walk's kernels against a plain loop over the weights in component order,
// at the weights' extremes and at random, on rows in order and through a slot list.
TEST(FusedSq8KernelTest, WalkKernelsAreExactIntegerSums) {
  const struct {
    WalkDots kernel;
    simsimd_capability_t capability;
    const char* name;
  } kernels[] = {{walk_dots4_kernel(KernelIsa::Avx512), simsimd_cap_ice_k, "AVX-512"},
                 {walk_dots4_kernel(KernelIsa::Avx2), simsimd_cap_haswell_k, "AVX2"},
                 {walk_dots4_portable(), simsimd_cap_serial_k, "portable"},
                 {walk_dots4(), simsimd_cap_serial_k, "chosen"}};
  std::mt19937 rng(14);
  for (std::size_t stride : {32, 64, 96, 416, 2048}) {
    const std::size_t rows = 7;
    std::vector<std::uint8_t> codes(rows * stride);
    std::vector<std::int8_t> natural(2 * stride), arranged(walk_weights_size(stride));
    for (int trial = 0; trial < 3; ++trial) {
      for (auto& t : natural) {
        t = static_cast<std::int8_t>(trial == 0 ? 127 : trial == 1 ? -127 : static_cast<int>(rng() % 255) - 127);
      }
      for (auto& c : codes) c = trial < 2 ? 255 : static_cast<std::uint8_t>(rng());
      arrange_walk_weights(natural.data(), stride, arranged.data());
      std::vector<std::int64_t> want(rows);
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < stride; ++j) {
          const std::uint8_t c = codes[i * stride + j];
          const std::size_t low = 2 * (j - j % 32) + j % 32;
          want[i] += std::int64_t{natural[low]} * (c & 15) + std::int64_t{natural[low + 32]} * (c >> 4);
        }
      }
      const std::uint32_t slots[] = {6, 0, 3, 3, 5};
      for (const auto& k : kernels) {
        if (k.kernel == nullptr || (simsimd_capabilities() & k.capability) != k.capability) continue;
        SCOPED_TRACE(std::string(k.name) + " stride " + std::to_string(stride));
        std::vector<std::int32_t> got(rows);
        k.kernel(arranged.data(), codes.data(), stride, nullptr, rows, got.data());
        for (std::size_t i = 0; i < rows; ++i) EXPECT_EQ(got[i], want[i]) << "row " << i;
        k.kernel(arranged.data(), codes.data(), stride, slots, 5, got.data());
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(got[i], want[slots[i]]) << "slot " << slots[i];
      }
    }
  }
}

// A query's integer weights are its scaled components p_j = (q_j − min_j)·step_j over alpha,
// rounded; `reach`, the bound the re-rank skips rows by, is ‖p − alpha·t‖ times the largest
// code norm. At lengths with and without a tail past the vector loops, on both levels.
TEST(WalkQueryTest, WeightsAndReachFollowTheScaledQuery) {
  std::mt19937 rng(15);
  std::normal_distribution<float> g(0.0f, 3.0f);
  for (const std::size_t dim : {5, 37, 784}) {
    for (const bool fine : {false, true}) {
      SCOPED_TRACE(std::to_string(dim) + (fine ? " dims, 8-bit" : " dims, 4-bit"));
      std::vector<float> data(40 * dim), q(dim);
      for (auto& x : data) x = g(rng);
      for (auto& x : q) x = 2.0f * g(rng);
      ScanCodes sc(data, dim);
      sc.walk_fine = fine;
      Scratch s;
      const WalkQuery w(q, sc, distance::Metric::Euclidean, s);
      double base = 0.0, qsq = 0.0, rounding = 0.0;
      for (std::size_t j = 0; j < dim; ++j) {
        const float r = q[j] - sc.mins[j];
        const float p = r * (fine ? sc.steps : sc.dim_steps4)[j];
        base += double{r} * r;
        qsq += double{q[j]} * q[j];
        const int t = fine ? s.weights16[j] : s.natural[sc.component4[j]];
        EXPECT_LE(std::abs(double{p} / w.alpha - t), 0.5 + 1e-6) << "component " << j;
        rounding += (double{p} - double{w.alpha} * t) * (double{p} - double{w.alpha} * t);
      }
      EXPECT_NEAR(w.base, base, 1e-6 * base);
      EXPECT_NEAR(w.qsq, qsq, 1e-6 * qsq);
      const double reach = std::sqrt(rounding) * (fine ? sc.top_code_norm : sc.top_code_norm4);
      EXPECT_GE(w.reach, reach);
      EXPECT_LE(w.reach, reach * (1.0 + 1e-5));
    }
  }
}

// The walk reads a row's decoded_sq, error and norm from one packed entry: it must follow the
// level walked when the level changes, and rows encoded or re-encoded afterwards.
TEST(WalkQueryTest, PackedTermsFollowTheWalkedLevel) {
  std::mt19937 rng(16);
  std::normal_distribution<float> g(0.0f, 2.0f);
  constexpr std::size_t kDim = 37;
  std::vector<float> data(40 * kDim), x(kDim);
  for (auto& v : data) v = g(rng);
  ScanCodes sc(data, kDim);
  for (const bool fine : {true, false}) {
    sc.walk_fine = fine;
    sc.set_walk_terms();
    for (const std::size_t slot : {std::size_t{3}, sc.rows()}) {
      for (auto& v : x) v = g(rng);
      sc.encode(slot, x.data());
    }
    ASSERT_EQ(sc.walk_terms.size(), sc.rows());
    for (std::size_t i = 0; i < sc.rows(); ++i) {
      const WalkTerms& t = sc.walk_terms[i];
      EXPECT_EQ(t.decoded_sq, (fine ? sc.decoded_sq : sc.decoded_sq4)[i]) << i;
      EXPECT_EQ(t.error, (fine ? sc.error : sc.error4)[i]) << i;
      EXPECT_EQ(t.norm, sc.norm[i]) << i;
      EXPECT_EQ(t.fine_error, sc.error[i]) << i;
    }
  }
}

// A re-rank never reads a row whose floor lies beyond the k-th distance it has measured, so
// every floor, from the walk's estimate or from the 8-bit codes, must lie at or below the pair
// kernel's distance: under every metric, for either walked level, and with squares near the
// floats' limits. Floors that ruled out nothing would only cost reads, so on plain data the
// 8-bit floors must also rule out most rows of other clusters.
TEST(WalkQueryTest, RerankFloorsNeverExceedThePairKernelsDistance) {
  std::mt19937 rng(17);
  std::normal_distribution<float> g(0.0f, 1.0f);
  constexpr std::size_t kDim = 48, kRows = 400, kClusters = 8;
  std::vector<float> centres(kClusters * kDim), plain(kRows * kDim), q(kDim);
  for (auto& x : centres) x = g(rng);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    plain[i] = centres[(i / kDim) % kClusters * kDim + i % kDim] + 0.3f * g(rng);
  }
  for (const float scale : {1.0f, 1e-19f, 1e18f}) {
    std::vector<float> data = plain;
    for (auto& x : data) x *= scale;
    ScanCodes sc(data, kDim);
    for (const auto& [metric, kind] : kMetrics) {
      for (const bool fine_walk : {false, true}) {
        SCOPED_TRACE("metric " + std::to_string(static_cast<int>(metric)) + ", scale " +
                     std::to_string(scale) + (fine_walk ? ", 8-bit walk" : ", 4-bit walk"));
        sc.walk_fine = fine_walk;
        sc.set_walk_terms();
        std::size_t far = 0, ruled_out = 0;
        for (std::size_t qi = 0; qi < 12; ++qi) {
          for (std::size_t j = 0; j < kDim; ++j) {
            q[j] = data[qi * 31 * kDim + j] + 0.05f * scale * g(rng);
          }
          Scratch s1, s2;
          const WalkQuery walk(q, sc, metric, s1);
          const WalkQuery fine(q, sc, metric, s2, /*fine_codes=*/true);
          std::vector<float> exact(kRows);
          for (std::uint32_t i = 0; i < kRows; ++i) {
            exact[i] = distance::distance(q.data(), &data[i * kDim], kDim, metric);
          }
          std::vector<float> sorted = exact;
          std::nth_element(sorted.begin(), sorted.begin() + 9, sorted.end());
          for (std::uint32_t i = 0; i < kRows; ++i) {
            std::int32_t sum = 0, sum8 = 0;
            walk.dots(&i, 1, &sum);
            fine.dots(&i, 1, &sum8);
            const float from_walk = walk.estimate_floor(i, walk.estimate(i, sum));
            const float from_fine = fine.fine_floor(i, sum8);
            ASSERT_LE(from_walk, exact[i]) << "row " << i;
            ASSERT_LE(from_fine, exact[i]) << "row " << i;
            if (i % kClusters != qi * 31 % kClusters) {
              ++far;
              ruled_out += from_fine > sorted[9];
            }
          }
        }
        if (scale == 1.0f) {
          EXPECT_GT(ruled_out, far * 3 / 4);
        }
      }
    }
  }
}

// Decoding a row: every kernel gives the product-then-sum of the plain loop, to the bit, at
// lengths with and without tails past the vector loops.
TEST(FusedSq8KernelTest, DecodeKernelsMatchTheLoop) {
  const struct {
    DecodeRow kernel;
    simsimd_capability_t capability;
    const char* name;
  } kernels[] = {{decode_row_kernel(KernelIsa::Avx512), simsimd_cap_skylake_k, "AVX-512"},
                 {decode_row_kernel(KernelIsa::Avx2), simsimd_cap_haswell_k, "AVX2"},
                 {decode_row_portable(), simsimd_cap_serial_k, "portable"},
                 {decode_row(), simsimd_cap_serial_k, "chosen"}};
  std::mt19937 rng(19);
  std::normal_distribution<float> g(0.0f, 10.0f);
  for (const std::size_t n : {5, 37, 784}) {
    std::vector<float> mins(n), steps(n), want(n), got(n);
    std::vector<std::uint8_t> codes(n);
    for (std::size_t j = 0; j < n; ++j) {
      mins[j] = g(rng), steps[j] = std::abs(g(rng)) / 255.0f;
      codes[j] = static_cast<std::uint8_t>(rng());
      const float offset = steps[j] * static_cast<float>(codes[j]);
      want[j] = mins[j] + offset;
    }
    for (const auto& k : kernels) {
      if (k.kernel == nullptr || (simsimd_capabilities() & k.capability) != k.capability) continue;
      SCOPED_TRACE(std::string(k.name) + " n " + std::to_string(n));
      k.kernel(mins.data(), steps.data(), codes.data(), n, got.data());
      for (std::size_t j = 0; j < n; ++j) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[j]), std::bit_cast<std::uint32_t>(want[j])) << j;
      }
    }
  }
}

// Whole numbers over a range of at most 255 take a step of 1, so that every row decodes to
// itself bit for bit and the re-rank may read codes instead of vectors. One value that is not
// a whole number, a wider range, or a later row outside the ranges leaves that off for good.
TEST(ScanCodesTest, WholeNumbersDecodeExactly) {
  constexpr std::size_t kDim = 37, kRows = 50;
  const std::pair<const char*, void (*)(std::vector<float>&)> cases[] = {
      {"pixels", [](std::vector<float>&) {}},
      {"shifted", [](std::vector<float>& d) { for (float& x : d) x -= 200.0f; }},
      {"a fraction", [](std::vector<float>& d) { d[3 * kDim + 7] += 0.5f; }},
      {"a range of 256", [](std::vector<float>& d) { d[7] = 0.0f, d[kDim + 7] = 256.0f; }},
  };
  for (const auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    std::mt19937 rng(18);
    std::uniform_int_distribution<int> pixel(0, 255);
    std::vector<float> data(kRows * kDim), out(kDim);
    for (auto& x : data) x = static_cast<float>(pixel(rng));
    change(data);
    ScanCodes sc(data, kDim);
    const bool exact = std::string(name) == "pixels" || std::string(name) == "shifted";
    ASSERT_EQ(sc.rows_exact, exact);
    if (!exact) continue;
    for (std::size_t i = 0; i < kRows; ++i) {
      sc.decode_row(i, out.data());
      for (std::size_t j = 0; j < kDim; ++j) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(out[j]),
                  std::bit_cast<std::uint32_t>(data[i * kDim + j]));
      }
    }
    std::vector<float> later(data.begin(), data.begin() + kDim);
    sc.encode(kRows, later.data());  // inside the ranges
    EXPECT_TRUE(sc.rows_exact);
    later[9] = sc.mins[9] - 1.0f;  // coded as the minimum
    sc.encode(kRows + 1, later.data());
    EXPECT_FALSE(sc.rows_exact);
  }
}

// Data whose `quiet` dimensions, spread evenly, barely vary.
std::vector<float> with_quiet_dims(std::size_t rows, std::size_t dim, std::size_t quiet,
                                   float quiet_scale, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> data(rows * dim);
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t j = i % dim;
    const bool is_quiet = quiet != 0 && j % (dim / quiet) == 3 && j / (dim / quiet) < quiet;
    data[i] = (is_quiet ? quiet_scale : 1.0f) * g(rng) + 2.0f;
  }
  return data;
}

// The 4-bit codes leave out the least varying dimensions only where they would start another
// cache line of every row and hold almost none of the spread. A dimension left out counts as
// its minimum: the error bound, the decoded norm and the walk's estimate must all say so.
TEST(ScanCodesTest, QuietDimensionsLeftOutOfTheFourBitCodes) {
  struct Case {
    std::size_t dim, quiet;
    float quiet_scale;
    bool far_minimum;  // one row far below the others in the quiet dimensions
    std::size_t kept;  // by the 4-bit codes
  };
  const Case cases[] = {
      {136, 8, 1e-3f, false, 128},   // 8 past a whole line, quiet: left out
      {136, 8, 0.2f, false, 136},    // not quiet enough
      {136, 8, 1e-3f, true, 136},    // quiet, but taken as the minimum they would be far off
      {784, 16, 1e-3f, false, 768},  // Fashion-MNIST's shape
      {100, 4, 1e-3f, false, 100},   // under a line
      {180, 52, 1e-3f, false, 180},  // too many past a line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dim) + " dims, " + std::to_string(c.quiet) + " quiet at " +
                 std::to_string(c.quiet_scale));
    constexpr std::size_t kRows = 60;
    auto data = with_quiet_dims(kRows, c.dim, c.quiet, c.quiet_scale, 19);
    if (c.far_minimum) {
      for (std::size_t j = 3; j < c.dim; j += c.dim / c.quiet) data[j] = 1.5f;  // 0.5 below
    }
    ScanCodes sc(data, c.dim);
    ASSERT_EQ(sc.dims4.size(), c.kept);
    EXPECT_EQ(sc.stride4, (c.kept + 63) / 64 * 32);
    std::vector<float> q(c.dim);
    std::mt19937 rng(20);
    std::normal_distribution<float> g(2.0f, 1.0f);
    for (auto& x : q) x = g(rng);
    Scratch s;
    const WalkQuery walk(q, sc, Metric::Euclidean, s, /*fine_codes=*/false);
    for (std::uint32_t i = 0; i < kRows; ++i) {
      // x̂ from the packed nibbles, left-out dimensions at their minimum.
      const std::uint8_t* c4 = sc.codes4.data() + i * sc.stride4;
      double err = 0.0, dsq = 0.0, l2 = 0.0;
      for (std::size_t j = 0; j < c.dim; ++j) {
        const std::uint32_t at = sc.component4[j];
        int code = 0;
        if (at != ScanCodes::kNotCoded4) {
          code = (c4[at / 64 * 32 + at % 32] >> (at % 64 >= 32 ? 4 : 0)) & 15;
          ASSERT_EQ(sc.dims4[at], j);
        }
        const double offset = double{sc.dim_steps4[j]} * code;
        const double x_hat = sc.mins[j] + offset;
        err += (data[i * c.dim + j] - x_hat) * (data[i * c.dim + j] - x_hat);
        dsq += offset * offset;
        l2 += (q[j] - x_hat) * (q[j] - x_hat);
      }
      EXPECT_GE(sc.error4[i], std::sqrt(err)) << i;
      EXPECT_LE(sc.error4[i], std::sqrt(err) * (1.0 + 1e-6)) << i;
      EXPECT_NEAR(sc.decoded_sq4[i], dsq, 1e-6 * dsq) << i;
      std::int32_t sum = 0;
      walk.dots(&i, 1, &sum);
      EXPECT_NEAR(walk.estimate(i, sum), l2, 2.0 * walk.reach + 1e-5 * l2) << i;
    }
  }
}

// Inserts and updates with the walk on keep its codes what encoding every current vector
// afresh, with the ranges they were built from, gives: a save writes no stale row. Codes that
// leave quiet dimensions out say which, and read back to the same file.
TEST(WalkCodesTest, MutationsKeepCodesEqualToAFreshEncoding) {
  for (const std::size_t quiet : {0, 8}) {
    SCOPED_TRACE(std::to_string(quiet) + " quiet dimensions");
    const std::size_t dim = quiet == 0 ? 37 : 136, rows = 300;
    std::mt19937 rng(17);
    std::normal_distribution<float> g(0.0f, 1.0f);
    const auto data = with_quiet_dims(rows, dim, quiet, 1e-3f, 17);
    std::vector<float> x(dim);
    HnswIndex index(dim, 8, 32, distance::Metric::Cosine);
    index.batch_insert_flat(data);
    index.enable_compressed_search();
    auto draw = [&] {
      for (auto& v : x) v = 1.5f * g(rng);  // some components outside the ranges: clamped
      return std::span<const float>(x);
    };
    for (int i = 0; i < 20; ++i) index.insert(draw());
    for (std::uint32_t s = 0; s < rows + 20; s += 7) index.update_vector(s, draw());
    for (std::uint32_t s = 1; s < rows; s += 11) index.mark_deleted(s);
    std::vector<float> batch(10 * dim);
    for (auto& v : batch) v = g(rng);
    index.batch_insert_flat(batch);

    auto save = [&] {
      std::FILE* file = std::tmpfile();
      EXPECT_NE(file, nullptr);
      io::BufWriter writer(fileno(file));
      EXPECT_TRUE(index.save_walk_codes(writer, 1));
      std::vector<char> out(static_cast<std::size_t>(::lseek(fileno(file), 0, SEEK_END)));
      EXPECT_EQ(::pread(fileno(file), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
      std::fclose(file);
      return out;
    };
    const std::vector<char> saved = save();

    ScanCodes fresh(data, dim);
    ASSERT_EQ(fresh.drops4(), quiet != 0);
    for (std::uint32_t s = 0; s < index.node_count(); ++s) fresh.encode(s, index.vector(s).data());
    std::vector<char> want;
    auto put = [&](const auto& v) {
      const char* p = reinterpret_cast<const char*>(v.data());
      want.insert(want.end(), p, p + v.size() * sizeof(v[0]));
    };
    if (quiet != 0) {
      std::vector<std::uint8_t> kept(dim, 0);
      for (const std::uint32_t j : fresh.dims4) kept[j] = 1;
      put(kept);
    }
    for (const auto* v : {&fresh.mins, &fresh.steps, &fresh.steps4, &fresh.error,
                          &fresh.decoded_sq, &fresh.norm, &fresh.error4, &fresh.decoded_sq4}) {
      put(*v);
    }
    put(fresh.always);
    put(fresh.codes);
    put(fresh.codes4);
    constexpr std::size_t kHeader = 48, kCrc = 4;
    ASSERT_EQ(saved.size(), kHeader + want.size() + kCrc);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), saved.begin() + kHeader));

    const auto bytes = std::as_bytes(std::span<const char>(saved));
    ASSERT_TRUE(index.load_walk_codes(bytes, 1));
    EXPECT_EQ(save(), saved);
    if (quiet != 0) {  // a damaged list of kept dimensions
      std::vector<char> damaged = saved;
      damaged[kHeader + 5] = 2;
      EXPECT_TRUE(walk_codes_problem(std::as_bytes(std::span<const char>(damaged)), dim,
                                     index.node_count(), 1));
    }
  }
}

}  // namespace
}  // namespace quarn_core::hnsw::detail
