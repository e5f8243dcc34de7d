// The exact scan: every live slot scored against the query, for one query or a batch of them.
#pragma GCC optimize("fp-contract=off")  // the scan's formulas are separate f32 multiplies and adds

#include <cblas.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <optional>
#include <string_view>

#include "internal.hpp"
#include "kernels.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/sync.hpp"
#include "scan_codes.hpp"

namespace quarn_core::hnsw {

namespace {

// The scan's distance from a dot product and the slot's stored norm: cosine 1 − dot / (norm ×
// |q|), 1 when either norm is 0; Euclidean (norm² + |q|²) − 2·dot; dot product −dot. Only a
// first pass: far from the origin the Euclidean form cancels nearly every digit (vectors
// around 1000 in 16 dimensions lose all of them to a spread of 0.1), so these distances
// choose a shortlist and the pair kernel measures the answer.
class ScanMetric {
 public:
  ScanMetric(std::span<const float> q, distance::Metric metric) : metric_(metric) {
    for (float x : q) qq_ += x * x;
    qn_ = std::sqrt(qq_);
    // Outside cosine_norm_in_range the kernel's sums of squares leave the normal floats,
    // where its cosine is not within the bound below.
    extreme_query_ = qq_ != 0.0f && !detail::cosine_norm_in_range(qn_);
  }

  float query_square() const { return qq_; }

  float operator()(float dot, float norm) const {
    switch (metric_) {
      case distance::Metric::Cosine:
        if (qq_ == 0.0f || norm == 0.0f) return 1.0f;
        return 1.0f - dot / (norm * qn_);
      case distance::Metric::Euclidean:
        return (norm * norm + qq_) - (dot + dot);
      case distance::Metric::DotProduct:
        return -dot;
    }
    return 0.0f;
  }

  // A bound on how far this first pass's distance can lie from the pair kernel's, for slots
  // with norms up to `top_norm`. Both are within a few dim·u of the exact distance (u =
  // 2^-24), relative to (|x| + |q|)² for Euclidean and dot product and absolutely for cosine:
  //   first pass: the dot product (in any summation order, fused or not) is within
  //     dim·u·|x||q|, the stored norm and |q|² within (dim + 2)·u of |x|² and |q|², and the
  //     last two operations add 2u of their result;
  //   pair kernel: Euclidean sums dim rounded squared differences, within (dim + 3)·u of the
  //     exact distance, itself at most (|x| + |q|)²; the dot product as above; cosine
  //     divides by square roots that the SIMD kernels approximate (an approximate reciprocal
  //     square root and one Newton step, within about 4e-7 each), which 2^-20 covers.
  // Their sum is below (4·dim + 16)·u·(|x| + |q|)² (plus 2^-20 for cosine); this is twice
  // that, plus dim·2^-126 for products that fall below the normal floats. Infinite or NaN
  // when the norms are.
  float spread(std::size_t dim, float top_norm) const {
    const float rounding = static_cast<float>(8 * dim + 32) * 0x1p-24f;
    const float underflow = static_cast<float>(dim) * 0x1p-126f;
    if (metric_ == distance::Metric::Cosine) {
      return extreme_query_ ? std::numeric_limits<float>::infinity()
                            : rounding + 0x1p-20f + underflow;
    }
    const float scale = top_norm + qn_;
    return rounding * scale * scale + underflow;
  }

  // Slots whose first-pass distance says nothing under cosine, always re-scored: a norm
  // whose square the kernel cannot hold as a normal float, and a norm times |q| so small
  // that the sign of a tiny dot product decides between ±infinity.
  bool unstable(float norm) const {
    if (metric_ != distance::Metric::Cosine || norm == 0.0f || qq_ == 0.0f) return false;
    if (!detail::cosine_norm_in_range(norm)) return true;
    return !(norm * qn_ >= std::numeric_limits<float>::min() * 0x1p24f);
  }

 private:
  distance::Metric metric_;
  float qq_ = 0.0f;
  float qn_ = 0.0f;
  bool extreme_query_ = false;
};

// The largest stored norm; infinity when any norm is not finite.
float top_norm(std::span<const float> norms) {
  float top = 0.0f;
  for (float x : norms) {
    if (!std::isfinite(x)) return std::numeric_limits<float>::infinity();
    top = std::max(top, x);
  }
  return top;
}

// Rows per block of a matrix-matrix product against the stored rows: about 1 MiB of them.
std::size_t product_rows(std::size_t dim) {
  return std::max<std::size_t>(64, (std::size_t{1} << 18) / dim);
}

// The slots an exact scan must re-score. A bulk product (a matrix-vector product for one query,
// a matrix-matrix product for a block of them) gives first-pass distances only (see
// ScanMetric): every slot whose first-pass distance is within `reach` (twice the spread) of
// the k-th smallest is kept and re-scored by the pair kernel. The k slots at or below that
// k-th distance have pair distances at most one spread above it; a slot beyond the reach has
// one more than a spread above it, so it cannot be among the k nearest by the pair kernel.
// Every query therefore gets the pair kernel's answer, the same bit for bit whether it is
// asked alone or in a batch. Once k pairs are in, most slots are rejected by one comparison.
class Shortlist {
 public:
  Shortlist(std::size_t k, float reach) : k_(k), reach_(reach) { heap_.reserve(k); }

  void offer(std::uint32_t slot, float d) {
    // NaN bulk distances are kept: they compare false.
    if (!(d > bound_)) admit(slot, d);
  }
  void keep(std::uint32_t slot) {
    kept_.push_back({slot, -std::numeric_limits<float>::infinity()});
  }

  // The kept slots (in the order offered).
  std::vector<std::uint32_t> take() {
    prune();
    std::vector<std::uint32_t> out(kept_.size());
    for (std::size_t i = 0; i < kept_.size(); ++i) out[i] = kept_[i].slot;
    return out;
  }

 private:
  void admit(std::uint32_t slot, float d) {
    if (heap_.size() < k_) {
      heap_.push_back(d);
      std::push_heap(heap_.begin(), heap_.end(), detail::distance_less);
    } else if (detail::distance_less(d, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), detail::distance_less);
      heap_.back() = d;
      std::push_heap(heap_.begin(), heap_.end(), detail::distance_less);
    }
    // A NaN k-th distance or reach makes the bound NaN, which keeps everything.
    if (heap_.size() == k_) bound_ = heap_.front() + reach_;
    kept_.push_back({slot, d});
    if (kept_.size() >= limit_) {
      prune();
      limit_ = std::max(limit_, 2 * kept_.size());
    }
  }

  void prune() {
    std::erase_if(kept_, [&](const Candidate& c) { return c.distance > bound_; });
  }

  std::size_t k_;
  float reach_;
  float bound_ = std::numeric_limits<float>::infinity();
  std::vector<float> heap_;  // the k smallest bulk distances so far, largest in front
  std::vector<Candidate> kept_;
  std::size_t limit_ = 256;
};

}  // namespace

// ---- The codes of the bounded scan ----

namespace detail {

namespace {

// The float at or above d.
float round_up_float(double d) {
  float f = static_cast<float>(d);
  if (static_cast<double>(f) < d) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// The dimensions the 4-bit codes keep: all of them, unless a few would start another cache
// line of every row while adding almost nothing to the codes' error when left out. A dimension
// left out is taken as its minimum, so what it adds to a row's squared error is its squared
// distance from the minimum: `off_min` holds its mean per dimension, `variance` the variance.
std::vector<std::uint32_t> dims_for_4bit(const std::vector<double>& off_min,
                                         const std::vector<double>& variance) {
  constexpr std::size_t kLineDims = 128;  // 4-bit components per 64-byte line
  constexpr std::size_t kMaxLeftOut = 16;
  // Fashion-MNIST's 16 quietest pixels add 0.002% of its total variance; a seventh of every
  // row's lines is worth far more than that to the walk.
  constexpr double kMaxShare = 1e-3;
  const std::size_t dim = variance.size();
  std::vector<std::uint32_t> dims(dim);
  std::iota(dims.begin(), dims.end(), 0u);
  const std::size_t over = dim % kLineDims;
  if (dim < kLineDims || over == 0 || over > kMaxLeftOut) return dims;
  std::vector<std::uint32_t> order = dims;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return off_min[a] < off_min[b]; });
  double total = 0.0, left = 0.0;
  for (std::size_t j = 0; j < dim; ++j) total += variance[j];
  for (std::size_t j = 0; j < over; ++j) left += off_min[order[j]];
  if (!(total > 0.0) || !std::isfinite(total) || !(left <= kMaxShare * total)) return dims;
  std::vector<std::uint8_t> out(dim, 0);
  for (std::size_t j = 0; j < over; ++j) out[order[j]] = 1;
  std::erase_if(dims, [&](std::uint32_t j) { return out[j] != 0; });
  return dims;
}

}  // namespace

ScanCodes::ScanCodes(std::span<const float> vectors, std::size_t d)
    : dim(d), stride(stride_for(d)), built_for(d == 0 ? 0 : vectors.size() / d) {
  mins.assign(stride, 0.0f);
  steps.assign(stride, 0.0f);
  std::vector<float> tops(dim, -std::numeric_limits<float>::infinity());
  std::vector<std::uint8_t> whole(dim, 1);  // every finite value a whole number
  std::vector<double> sums(dim, 0.0), squares(dim, 0.0);
  std::vector<std::size_t> finite(dim, 0);
  for (std::size_t j = 0; j < dim; ++j) mins[j] = std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < built_for; ++i) {
    const float* x = vectors.data() + i * dim;
    for (std::size_t j = 0; j < dim; ++j) {
      if (!std::isfinite(x[j])) continue;
      mins[j] = std::min(mins[j], x[j]);
      tops[j] = std::max(tops[j], x[j]);
      whole[j] &= static_cast<std::uint8_t>(x[j] == std::nearbyint(x[j]));
      sums[j] += x[j];
      squares[j] += static_cast<double>(x[j]) * x[j];
      ++finite[j];
    }
  }
  std::vector<float> steps4_of(dim, 0.0f);
  std::vector<double> variance(dim, 0.0), off_min(dim, 0.0);
  for (std::size_t j = 0; j < dim; ++j) {
    if (!(mins[j] <= tops[j])) {  // no finite value
      mins[j] = 0.0f;
      continue;
    }
    const double mean = sums[j] / static_cast<double>(finite[j]);
    const double mean_sq = squares[j] / static_cast<double>(finite[j]);
    variance[j] = std::max(0.0, mean_sq - mean * mean);
    off_min[j] = std::max(0.0, mean_sq - 2.0 * mins[j] * mean + double{mins[j]} * mins[j]);
    const float step4 = (tops[j] - mins[j]) / 15.0f;
    steps4_of[j] = std::isfinite(step4) ? step4 : 0.0f;
    // Whole numbers over a range of at most 255 (pixels, counts) take a step of 1: their codes
    // are then the values themselves, less the minimum, and decode exactly (see rows_exact).
    if (whole[j] != 0 && tops[j] - mins[j] <= 255.0f && tops[j] > mins[j] &&
        std::abs(mins[j]) < 0x1p23f) {
      steps[j] = 1.0f;
      continue;
    }
    const float step = (tops[j] - mins[j]) / 255.0f;
    // A range too wide for a float step leaves every code 0: x̂ is the minimum, and the
    // error bound says how far off that is.
    steps[j] = std::isfinite(step) ? step : 0.0f;
  }
  set_dims4(dims_for_4bit(off_min, variance));
  for (std::size_t i = 0; i < dims4.size(); ++i) steps4[i] = steps4_of[dims4[i]];
  derive_dims4();
  reserve(built_for);
  for (std::size_t i = 0; i < built_for; ++i) encode(i, vectors.data() + i * dim);
}

void ScanCodes::set_dims4(std::vector<std::uint32_t> dims) {
  dims4 = std::move(dims);
  stride4 = stride4_for(dims4.size());
  steps4.assign(2 * stride4, 0.0f);
}

void ScanCodes::derive_dims4() {
  dim_steps4.assign(dim, 0.0f);
  component4.assign(dim, kNotCoded4);
  for (std::size_t i = 0; i < dims4.size(); ++i) {
    component4[dims4[i]] = static_cast<std::uint32_t>(i);
    dim_steps4[dims4[i]] = steps4[i];
  }
}

void ScanCodes::choose_walk_level(std::span<const float> vectors) {
  // Measured ratios (see coarse_ratio): Fashion-MNIST 0.09, noise 0.15, overlapping clusters
  // 0.15-0.18, where the 4-bit walk kept the f32 walk's recall@10 at ef 10; clusters with
  // spread 0.1, 1.1, where 4-bit codes barely tell a cluster's members apart and recall@10
  // fell below 0.2. Between, clusters set apart lost recall on the 4-bit walk the more the
  // higher the ratio: 0.011-0.018 at 0.20-0.22, 0.05-0.08 at 0.24-0.29, 0.13 at 0.38 (50,000
  // to 100,000 x 128, spreads 0.5-3). The 8-bit walk kept it on every such set it was run on,
  // and on 200,000 x 128 at 0.40 was faster at equal recall too (0.945 at 70,000 q/s against
  // 0.914 at 47,000).
  constexpr double kMaxRatio = 0.19;
  // At or below this the 4-bit estimates rarely misorder neighbours and a narrower beam keeps
  // the f32 walk's recall (see walk_sharp): Fashion-MNIST did, overlapping clusters at about
  // 0.18 lost 0.06 of recall@10 at ef 10. The 8-bit walk never takes the narrower beam:
  // 500,000 vectors in tight clusters lost recall with it.
  constexpr double kSharpRatio = 0.1;
  const auto ratio = coarse_ratio(vectors);
  walk_fine = ratio && *ratio > kMaxRatio;
  walk_sharp = ratio && *ratio <= kSharpRatio;
  level_chosen = true;
  set_walk_terms();
}

void ScanCodes::set_walk_terms() {
  walk_terms.resize(rows());
  for (std::size_t i = 0; i < rows(); ++i) walk_terms[i] = walk_terms_of(i);
}

std::optional<double> ScanCodes::coarse_ratio(std::span<const float> vectors) const {
  // The probes' neighbours are found exactly, as the exact scan finds a batch of queries':
  // one product of the probes against the rows in blocks, and the pair kernel over each
  // probe's shortlist. A sample of the rows misses a probe's own cluster wherever clusters
  // hold fewer rows than the set has per sampled row. 200,000 rows in 10,000 clusters
  // measured 0.08 against the nearest of 1,024 sampled rows and 0.37 exactly, and their 4-bit
  // walk, taken with the narrower beam, lost 0.055 of recall@10 at ef 10. Sets past kMaxRows
  // are scanned on evenly spaced rows.
  constexpr std::size_t kProbes = 32, kNear = 10, kMaxRows = 1 << 20;
  // Room for copies of a probe among its nearest rows: they are no neighbours, and dropped.
  constexpr std::size_t kKept = 2 * kNear;
  if (built_for < 2 || dim == 0) return std::nullopt;
  std::vector<std::uint32_t> probes;
  const std::size_t probe_step = std::max<std::size_t>(1, built_for / kProbes);
  for (std::size_t i = probe_step / 2; i < built_for && probes.size() < kProbes; i += probe_step) {
    if (always[i] == 0 && std::isfinite(error4[i])) probes.push_back(static_cast<std::uint32_t>(i));
  }
  if (probes.empty()) return std::nullopt;
  const std::size_t p = probes.size();
  const std::size_t row_step = (built_for + kMaxRows - 1) / kMaxRows;
  const float top = top_norm(std::span<const float>(norm).first(built_for));
  std::vector<float> packed(p * dim);
  std::vector<ScanMetric> metrics;
  std::vector<Shortlist> lists;
  metrics.reserve(p);
  lists.reserve(p);
  for (std::size_t j = 0; j < p; ++j) {
    const std::span<const float> x = vectors.subspan(std::size_t{probes[j]} * dim, dim);
    std::copy(x.begin(), x.end(), packed.begin() + static_cast<std::ptrdiff_t>(j * dim));
    metrics.emplace_back(x, distance::Metric::Euclidean);
    lists.emplace_back(kKept, 2.0f * metrics.back().spread(dim, top));
  }
  const std::size_t block = product_rows(dim);
  std::vector<float> rows(block * dim), scores(p * block);
  std::vector<std::uint32_t> slots(block);
  for (std::size_t next = 0; next < built_for;) {
    std::size_t r = 0;
    for (; r < block && next < built_for; ++r, next += row_step) {
      const float* x = vectors.data() + next * dim;
      std::copy(x, x + dim, rows.begin() + static_cast<std::ptrdiff_t>(r * dim));
      slots[r] = static_cast<std::uint32_t>(next);
    }
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(p), static_cast<int>(r),
                static_cast<int>(dim), 1.0f, packed.data(), static_cast<int>(dim), rows.data(),
                static_cast<int>(dim), 0.0f, scores.data(), static_cast<int>(r));
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t i = 0; i < r; ++i) {
        if (slots[i] == probes[j]) continue;
        lists[j].offer(slots[i], metrics[j](scores[j * r + i], norm[slots[i]]));
      }
    }
  }
  std::vector<double> errors, nearest;
  std::vector<double> exact;
  for (std::size_t j = 0; j < p; ++j) {
    exact.clear();
    const float* x = vectors.data() + std::size_t{probes[j]} * dim;
    for (std::uint32_t c : lists[j].take()) {
      const double d = distance::distance(x, vectors.data() + std::size_t{c} * dim, dim,
                                          distance::Metric::Euclidean);
      if (d > 0.0) exact.push_back(d);  // copies of the probe are not its neighbours
    }
    if (exact.empty()) continue;
    std::sort(exact.begin(), exact.end());
    errors.push_back(error4[probes[j]]);
    nearest.push_back(std::sqrt(exact[std::min(kNear, exact.size()) - 1]));
  }
  if (errors.empty()) return std::nullopt;
  auto median = [](std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
  };
  return median(errors) / median(nearest);
}

void ScanCodes::reserve(std::size_t n) {
  codes.reserve(n * stride);
  codes4.reserve(n * stride4);
  error4.reserve(n);
  decoded_sq4.reserve(n);
  error.reserve(n);
  decoded_sq.reserve(n);
  norm.reserve(n);
  always.reserve(n);
  walk_terms.reserve(n);
}

std::size_t ScanCodes::memory_usage() const {
  return codes.capacity() + codes4.capacity() +
         (error.capacity() + decoded_sq.capacity() + norm.capacity() + error4.capacity() +
          decoded_sq4.capacity()) * 4 +
         always.capacity() + (mins.capacity() + steps.capacity() + steps4.capacity()) * 4 +
         (dims4.capacity() + dim_steps4.capacity() + component4.capacity()) * 4 +
         walk_terms.capacity() * sizeof(WalkTerms);
}

void ScanCodes::encode(std::size_t slot, const float* x) {
  if (slot >= rows()) {
    // Rows skipped over (none in practice) are measured by every scan.
    if (slot > rows()) rows_exact = false;
    codes.resize((slot + 1) * stride, 0);
    codes4.resize((slot + 1) * stride4, 0);
    error4.resize(slot + 1, 0.0f);
    decoded_sq4.resize(slot + 1, 0.0f);
    error.resize(slot + 1, 0.0f);
    decoded_sq.resize(slot + 1, 0.0f);
    norm.resize(slot + 1, 0.0f);
    always.resize(slot + 1, 1);
    walk_terms.resize(slot + 1, WalkTerms{});
  }
  std::uint8_t* c = codes.data() + slot * stride;
  double err = 0.0, dsq = 0.0, xx = 0.0, cc = 0.0;
  bool finite = true;
  bool exact = true;
  for (std::size_t j = 0; j < dim; ++j) {
    const float v = x[j];
    finite = finite && std::isfinite(v);
    float code = 0.0f;
    if (steps[j] > 0.0f && std::isfinite(v)) {
      code = std::clamp(std::nearbyint((v - mins[j]) / steps[j]), 0.0f, 255.0f);
    }
    c[j] = static_cast<std::uint8_t>(code);
    // As decode_row computes it, to the bit (a -0.0 does not decode back).
    exact = exact && std::bit_cast<std::uint32_t>(mins[j] + steps[j] * code) ==
                         std::bit_cast<std::uint32_t>(v);
    // step × code is exact in double (24 + 8 bits); the rest rounds once or twice per term.
    const double offset = static_cast<double>(steps[j]) * c[j];
    const double diff = static_cast<double>(v) - (static_cast<double>(mins[j]) + offset);
    err += diff * diff;
    dsq += offset * offset;
    xx += static_cast<double>(v) * v;
    cc += static_cast<double>(c[j]) * c[j];
  }
  // Double rounding leaves every sum within a few 2^-53 of its value and the difference
  // within 2^-52 of |x_j| + |x̂_j|; the margins below cover that many times over.
  // The 4-bit level, packed for the kernels: component i sits in byte (i / 64)·32 + i % 32,
  // in its high half when i % 64 >= 32.
  std::uint8_t* c4 = codes4.data() + slot * stride4;
  std::fill(c4, c4 + stride4, std::uint8_t{0});
  double err4 = 0.0, dsq4 = 0.0, cc4 = 0.0;
  for (std::size_t j = 0; j < dim; ++j) {
    const float v = x[j];
    const float step4 = dim_steps4[j];  // 0 for a dimension left out: code 0
    float code = 0.0f;
    if (step4 > 0.0f && std::isfinite(v)) {
      code = std::clamp(std::nearbyint((v - mins[j]) / step4), 0.0f, 15.0f);
    }
    const auto q4 = static_cast<std::uint8_t>(code);
    if (const std::uint32_t i = component4[j]; i != kNotCoded4) {
      c4[i / 64 * 32 + i % 32] |= static_cast<std::uint8_t>(i % 64 >= 32 ? q4 << 4 : q4);
    }
    const double offset = static_cast<double>(step4) * q4;
    const double diff = static_cast<double>(v) - (static_cast<double>(mins[j]) + offset);
    err4 += diff * diff;
    dsq4 += offset * offset;
    cc4 += static_cast<double>(q4) * q4;
  }
  const double x_norm = std::sqrt(xx);
  error4[slot] = round_up_float(std::sqrt(err4) * (1.0 + 0x1p-40) + x_norm * 0x1p-40);
  decoded_sq4[slot] = static_cast<float>(dsq4);
  top_code_norm4 = std::max(top_code_norm4, std::sqrt(cc4) * (1.0 + 0x1p-40));
  error[slot] = round_up_float(std::sqrt(err) * (1.0 + 0x1p-40) + x_norm * 0x1p-40);
  decoded_sq[slot] = static_cast<float>(dsq);
  norm[slot] = round_up_float(x_norm * (1.0 + 0x1p-40));
  top_code_norm = std::max(top_code_norm, std::sqrt(cc) * (1.0 + 0x1p-40));
  always[slot] = finite && std::isfinite(error[slot]) && std::isfinite(decoded_sq[slot]) &&
                         std::isfinite(norm[slot]) && std::isfinite(error4[slot]) &&
                         std::isfinite(decoded_sq4[slot])
                     ? 0
                     : 1;
  walk_terms[slot] = walk_terms_of(slot);
  rows_exact = rows_exact && exact;
}

void ScanCodes::decode_row(std::size_t slot, float* out) const {
  detail::decode_row()(mins.data(), steps.data(), codes.data() + slot * stride, dim, out);
}

}  // namespace detail

// ---- The bounded exact scan ----
//
// A first pass over the slots' codes (one byte per component instead of four) gives, for
// each slot, a lower and an upper bound on the distance the pair kernel would give it; only
// slots whose lower bound does not exceed the k-th smallest upper bound are kept, and they are
// measured in ascending order of their lower bounds until the next one exceeds the k-th
// distance measured. What it returns is therefore what measuring every slot would return.
//
// The bounds, for x̂ = min + step·code (see ScanCodes) and e = ‖x − x̂‖:
//   Euclidean: ‖q − x‖ lies within e of ‖q − x̂‖ (triangle inequality), and
//     ‖q − x̂‖² = ‖r‖² − 2·Σ p_j·code_j + ‖x̂ − min‖², with r = q − min and p = r·step;
//   dot product and cosine: q·x lies within ‖q‖·e of q·x̂ (Cauchy–Schwarz), and
//     q·x̂ = q·min + Σ p_j·code_j, with p = q·step; cosine divides by bounds on ‖q‖·‖x‖.
// Σ p_j·code_j is taken as α·T: p rounded to 16-bit integers t = p/α, T = Σ t_j·code_j summed
// exactly in 32 bits, and the rounding of p bounded by Cauchy–Schwarz against the largest
// code norm. The pair kernel is itself within a relative (Euclidean, dot product) or an
// absolute (cosine) error of the true distance, and the bounds are widened by that. All
// arithmetic on the bounds is in double, with margins far above its rounding.
namespace {

// Fewer candidates than this are measured directly: the first pass and its bookkeeping cost
// more than they save. Nor when k asks for more than 1/kBoundedMaxShare of the candidates.
// Single calls against the plain scan on random vectors (96 and 768 dimensions): k 10 gained
// 1.08-1.20x at 2,048 and 4,096 vectors and 1.22-1.30x at 16,384, where k 100 lost 0.85-0.92x
// at 2,048 and 4,096 and only broke even (0.98-1.00x) at 16,384.
constexpr std::size_t kBoundedMinSlots = 2048;
constexpr std::size_t kBoundedMaxShare = 200;
// Stored floats up to which a scan of some slots (a filter's) builds the codes: 96 MiB of
// codes at most (they hold 3/8 of the vectors' memory again: a scan of some records of a
// very large collection does not build them, unless they exist already).
constexpr std::size_t kFilteredCodesFloats = std::size_t{1} << 26;
// Slots per call of the code-dot kernel.
constexpr std::size_t kBoundedBlock = 256;
// Bytes of codes from which one pass is split over the pool's threads, as the plain scan's
// matrix product is over OpenBLAS's: a pass reads its codes at about what one core can
// fetch (13,000 x 768: 35 GB/s of codes, 61% of the time in the kernel), and a second core
// took single calls there from about 3,400 to 5,600 per second. The threshold is a round
// figure, not tuned: below it a pass takes a few tens of microseconds, the order of handing
// work to a sleeping thread.
constexpr std::size_t kParallelPassBytes = std::size_t{1} << 20;

// Set (to anything but "0") in a benchmark's environment, it turns the bounded scan off, so
// that one build can measure both scans.
bool plain_scan_forced() {
  static const bool forced = [] {
    const char* v = std::getenv("QUARN_PLAIN_EXACT_SCAN");
    return v != nullptr && *v != '\0' && std::string_view(v) != "0";
  }();
  return forced;
}

// Dimensions from which a scan reads the 4-bit codes first. Below, the per-slot work of the
// bounds, not the reading of the codes, is most of a scan's cost, and a second pass only
// adds to it.
constexpr std::size_t kCoarseMinDim = 256;

// Set to "8" in a benchmark's environment, it keeps the bounded scan to its 8-bit pass, so
// that one build can measure both.
bool coarse_pass_off() {
  static const bool off = [] {
    const char* v = std::getenv("QUARN_EXACT_SCAN_LEVELS");
    return v != nullptr && std::string_view(v) == "8";
  }();
  return off;
}

// Slots the 4-bit pass bounds before it is judged, and the share of them (1 in
// kCoarseMaxKept) it may leave in doubt and still go on.
constexpr std::size_t kCoarseProbe = 1024;
constexpr std::size_t kCoarseMaxKept = 4;
constexpr int kCoarseRest = 32;

bool coarse_first(std::size_t dim) { return dim >= kCoarseMinDim && !coarse_pass_off(); }

// One level of a slot's codes as a pass reads them.
struct CodeLevel {
  const float* steps;         // per dimension
  const std::uint32_t* components_of;  // per dimension, its component; null: the same index
  std::size_t components;     // weights per row, padding included
  const std::uint8_t* codes;  // row_bytes per row
  std::size_t row_bytes;
  const float* error;
  const float* decoded_sq;
  double top_code_norm;
  double top_code;  // the largest code: 255 or 15
  detail::CodeDots dots;
};

// Moves a computed bound outwards by far more than the rounding of the few double
// operations that produced it.
double down(double x) { return x - std::abs(x) * 0x1p-40; }
double up(double x) { return x + std::abs(x) * 0x1p-40; }

// The slots the bounded scan keeps, with their lower bounds, and the k smallest upper bounds
// met so far, whose largest (`bound`) only falls.
class BoundList {
 public:
  struct Entry {
    std::uint32_t slot;
    double lower;
  };

  explicit BoundList(std::size_t k) : k_(k) { uppers_.reserve(k); }
  // A list for some of the slots of a scan whose other slots have already given the bound
  // `ceiling`: its own bound is never above it.
  BoundList(std::size_t k, double ceiling) : BoundList(k) { bound_ = ceiling; }

  double bound() const { return bound_; }

  void keep(std::uint32_t slot, double lower) {
    kept_.push_back({slot, lower});
    if (kept_.size() >= limit_) {
      prune();
      limit_ = std::max(limit_, 2 * kept_.size());
    }
  }
  void offer_upper(double upper) {
    if (!(upper < bound_)) return;  // NaN included
    if (uppers_.size() < k_) {
      uppers_.push_back(upper);
      std::push_heap(uppers_.begin(), uppers_.end());
    } else {
      std::pop_heap(uppers_.begin(), uppers_.end());
      uppers_.back() = upper;
      std::push_heap(uppers_.begin(), uppers_.end());
    }
    if (uppers_.size() == k_) bound_ = std::min(bound_, uppers_.front());
  }

  // Takes over another list's slots and upper bounds, as if this list had bounded its slots
  // too: the merged bound is at most either list's, so no slot either kept is lost wrongly.
  void absorb(BoundList&& other) {
    for (double upper : other.uppers_) offer_upper(upper);
    kept_.insert(kept_.end(), other.kept_.begin(), other.kept_.end());
    prune();
  }

  // How many kept slots are within the bound so far.
  std::size_t within_bound() {
    prune();
    return kept_.size();
  }

  // The kept slots within the final bound, ascending by lower bound.
  std::vector<Entry> take() {
    prune();
    std::sort(kept_.begin(), kept_.end(), [](const Entry& a, const Entry& b) {
      return a.lower < b.lower || (a.lower == b.lower && a.slot < b.slot);
    });
    return std::move(kept_);
  }

 private:
  void prune() {
    std::erase_if(kept_, [&](const Entry& e) { return e.lower > bound_; });
  }

  std::size_t k_;
  double bound_ = std::numeric_limits<double>::infinity();
  std::vector<double> uppers_;  // max-heap
  std::vector<Entry> kept_;
  std::size_t limit_ = 1024;
};

}  // namespace

bool HnswIndex::bounded_scan_applies(std::size_t count, std::size_t k) const {
  if (dim_ == 0 || plain_scan_forced()) return false;
  // Under cosine the bounds hold too, but below kCoarseMinDim dimensions working them out
  // per slot costs about what reading the vector does: single calls at 1.07x the plain
  // scan's rate on 100,000 x 96 random vectors, where 30,000 x 256 gained 1.46x, 13,000 x
  // 768 2.59x and Fashion-MNIST 4.08x (one run each, quiet machine).
  if (metric_ == distance::Metric::Cosine && dim_ < kCoarseMinDim) return false;
  return count >= kBoundedMinSlots && k <= count / kBoundedMaxShare;
}

bool HnswIndex::filtered_scan_reads_codes(std::size_t count, std::size_t k) const {
  const bool codes_exist =
      scan_cache_ && scan_cache_->ready.load(std::memory_order_acquire) != nullptr;
  return (codes_exist || node_count() * dim_ <= kFilteredCodesFloats) &&
         bounded_scan_applies(count, k);
}

const detail::ScanCodes* HnswIndex::bounded_codes(std::size_t count, std::size_t k) const {
  return bounded_scan_applies(count, k) ? scan_codes() : nullptr;
}

const detail::ScanCodes* HnswIndex::scan_codes() const {
  if (!scan_cache_) return nullptr;
  if (const detail::ScanCodes* ready = scan_cache_->ready.load(std::memory_order_acquire)) {
    return ready;
  }
  MutexLock lock(scan_cache_->mutex);
  if (!scan_cache_->codes) {
    const std::span<const float> rows = vectors_.data().first(node_count() * dim_);
    scan_cache_->codes = std::make_unique<detail::ScanCodes>(rows, dim_);
    if (compressed_) scan_cache_->codes->choose_walk_level(rows);
  }
  scan_cache_->ready.store(scan_cache_->codes.get(), std::memory_order_release);
  return scan_cache_->codes.get();
}

std::optional<std::vector<Candidate>> HnswIndex::search_bounded(
    std::span<const float> q, std::size_t k, std::span<const std::uint32_t> slots) const {
  const detail::ScanCodes* codes = scan_codes();
  if (codes == nullptr || k == 0) return std::vector<Candidate>{};
  if (slots.empty()) return scan_bounded(q, k, *codes, nullptr, 0);
  return scan_bounded(q, k, *codes, slots.data(), slots.size());
}

std::optional<std::vector<Candidate>> HnswIndex::scan_bounded(std::span<const float> q,
                                                              std::size_t k,
                                                              const detail::ScanCodes& sc,
                                                              const std::uint32_t* slots,
                                                              std::size_t count) const {
  const std::size_t n = node_count();
  if (sc.rows() < n || sc.dim != dim_) return std::nullopt;
  const std::size_t dim = dim_;
  const bool euclidean = metric_ == distance::Metric::Euclidean;
  const bool cosine = metric_ == distance::Metric::Cosine;
  const ScanMetric metric(q, metric_);
  double qq = 0.0;
  for (float v : q) {
    if (!std::isfinite(v)) return std::nullopt;
    qq += static_cast<double>(v) * v;
  }
  if (cosine && (qq == 0.0 || !std::isfinite(metric.spread(dim, 0.0f)))) return std::nullopt;

  // Relative margin for sums over the dimensions in double, and the pair kernel's error:
  // relative for Euclidean and dot product (f32 sums of dim terms, whatever their order,
  // plus the rounding of each term and of the result), absolute for cosine (see ScanMetric),
  // with products below the normal floats.
  const double sigma = (static_cast<double>(dim) + 64.0) * 0x1p-45;
  const double eps = (2.0 * static_cast<double>(dim) + 16.0) * 0x1p-24;
  const double eta = static_cast<double>(dim) * 0x1p-125;
  const double kappa = (8.0 * static_cast<double>(dim) + 32.0) * 0x1p-24 + 0x1p-20 +
                       static_cast<double>(dim) * 0x1p-126 + 0x1p-40;
  const double qn = std::sqrt(qq);
  const double qn_hi = qn * (1.0 + sigma), qn_lo = qn * (1.0 - sigma);

  // The query as a pass over one level of codes reads it: 16-bit weights for the code-dot
  // kernel, their scale, and the sums the bounds' formulas take.
  struct Weights {
    std::vector<std::int16_t> t;
    double alpha = 0.0, rr = 0.0, qm = 0.0, qm_abs = 0.0, reach = 0.0;
  };
  auto weigh = [&](const CodeLevel& level, Weights& out) {
    thread_local std::vector<double> p;
    out.t.assign(level.components, 0);
    p.assign(dim, 0.0);
    double rr = 0.0, qm = 0.0, qm_abs = 0.0, p_top = 0.0, pp = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
      double r = q[j];
      if (euclidean) {
        r -= sc.mins[j];
        rr += r * r;
      } else {
        qm += r * sc.mins[j];
        qm_abs += std::abs(r * sc.mins[j]);
      }
      p[j] = r * level.steps[j];
      p_top = std::max(p_top, std::abs(p[j]));
      pp += p[j] * p[j];
    }
    // |t| up to 2^15 − 1, and less where top_code·components·|t| would leave 32 bits.
    const double t_top = std::min(
        32767.0, std::floor(2147483647.0 / (level.top_code * static_cast<double>(level.components))));
    const double alpha = p_top > 0.0 ? p_top / t_top : 0.0;
    double dd = 0.0;
    if (alpha > 0.0) {
      for (std::size_t j = 0; j < dim; ++j) {
        const double t = std::clamp(std::nearbyint(p[j] / alpha), -t_top, t_top);
        const std::size_t at = level.components_of != nullptr ? level.components_of[j] : j;
        if (at != detail::ScanCodes::kNotCoded4) out.t[at] = static_cast<std::int16_t>(t);
        const double delta = p[j] - alpha * t;
        dd += delta * delta;
      }
    }
    out.alpha = alpha, out.rr = rr, out.qm = qm, out.qm_abs = qm_abs;
    // |Σ p_j·code_j − α·T| for any row: the weights' rounding, and p's own (2^-51 relative).
    out.reach = (std::sqrt(dd) * (1.0 + 0x1p-40) + std::sqrt(pp) * 0x1p-45) * level.top_code_norm;
  };

  // One pass over one level of codes: the bounds of every slot given, and the slots that
  // may be among the k nearest kept in `list`.
  auto pass = [&](const CodeLevel& level, const Weights& weights, const std::uint32_t* among,
                  std::size_t begin, std::size_t end, BoundList& list) {
    const double alpha = weights.alpha, rr = weights.rr, qm = weights.qm,
                 qm_abs = weights.qm_abs, reach = weights.reach;
    // The bounds' formulas, used by the block-wide screen and the per-slot test alike.
    struct Range {
      double low, high;
    };
    // Euclidean: ‖q − x̂‖² from the codes, widened by the rounding of its terms.
    auto code_distance_sq = [&](double dot_codes, double h) {
      const double slack = (rr + h + 2.0 * std::abs(dot_codes)) * sigma + 2.0 * reach;
      return Range{rr + h * (1.0 - 0x1p-22) - 2.0 * dot_codes - slack,
                   rr + h * (1.0 + 0x1p-22) - 2.0 * dot_codes + slack};
    };
    // Dot product and cosine: the range of q·x.
    auto dot_range = [&](double dot_codes, double e) {
      const double spread = reach + qn_hi * e;
      const double slack = (qm_abs + std::abs(dot_codes) + spread) * sigma;
      return Range{qm + dot_codes - spread - slack, qm + dot_codes + spread + slack};
    };
    // Dot product: the pair kernel's rounding, relative to ‖q‖·‖x‖.
    auto dot_kernel_error = [&](double x_norm) { return eps * qn_hi * x_norm + eta; };

    // Euclidean: once the list has a bound, a slot with ‖q − x̂‖² above (e + s)² has a lower
    // bound above it, which is decided without a square root.
    double bound_seen = std::numeric_limits<double>::quiet_NaN();
    double s = -1.0;
    // Cosine: the same for 1 − kappa − bound.
    double c = std::numeric_limits<double>::quiet_NaN();
    auto refresh_s = [&] {
      if (list.bound() == bound_seen) return;
      bound_seen = list.bound();
      const double beta = (bound_seen + eta) / (1.0 - eps) * (1.0 + 0x1p-40);
      s = std::isfinite(beta) && beta >= 0.0 ? std::sqrt(beta) * (1.0 + 0x1p-40) : -1.0;
    };
    auto refresh_c = [&] {
      if (list.bound() == bound_seen) return;
      bound_seen = list.bound();
      c = 1.0 - kappa - bound_seen;
    };
    std::int32_t sums[kBoundedBlock];
    std::uint8_t doubt[kBoundedBlock];
    for (std::size_t b0 = begin; b0 < end; b0 += kBoundedBlock) {
      const std::size_t b = std::min(kBoundedBlock, end - b0);
      if (among != nullptr) {
        level.dots(weights.t.data(), level.codes, level.row_bytes, among + b0, b, sums);
      } else {
        level.dots(weights.t.data(), level.codes + b0 * level.row_bytes, level.row_bytes, nullptr,
                   b, sums);
      }
      // On consecutive slots: the test below that rules most slots out, for the whole block
      // in one loop without branches, against the list's bound as the block starts. The
      // bound only falls, so a slot this leaves in doubt is tested again below; `always`
      // slots stay in doubt whatever their numbers say. Cosine keeps the test per slot.
      bool screened = false;
      if (among == nullptr && std::isfinite(list.bound())) {
        const float* err = level.error + b0;
        const std::uint8_t* always = sc.always.data() + b0;
        const float* x_norm = sc.norm.data() + b0;
        if (euclidean) {
          refresh_s();
          if (s >= 0.0) {
            const float* dsq = level.decoded_sq + b0;
            for (std::size_t i = 0; i < b; ++i) {
              const double low = code_distance_sq(alpha * static_cast<double>(sums[i]), dsq[i]).low;
              const double t = static_cast<double>(err[i]) + s;
              doubt[i] = static_cast<std::uint8_t>(!(low > t * t * (1.0 + 0x1p-36)) |
                                                   (always[i] != 0));
            }
            screened = true;
          }
        } else if (!cosine) {
          const double bound = list.bound();
          for (std::size_t i = 0; i < b; ++i) {
            const double hi = dot_range(alpha * static_cast<double>(sums[i]), err[i]).high;
            const double lower = down(-hi - dot_kernel_error(x_norm[i]));
            doubt[i] = static_cast<std::uint8_t>(!(lower > bound) | (always[i] != 0));
          }
          screened = true;
        }
      }
      for (std::size_t i = 0; i < b; ++i) {
        if (screened && doubt[i] == 0) continue;
        const std::uint32_t slot =
            among != nullptr ? among[b0 + i] : static_cast<std::uint32_t>(b0 + i);
        if (deleted_flags_[slot] != 0) continue;
        if (sc.always[slot] != 0 ||
            (cosine && (sc.norm[slot] == 0.0f || metric.unstable(norms_[slot])))) {
          list.keep(slot, -std::numeric_limits<double>::infinity());
          continue;
        }
        const double dot_codes = alpha * static_cast<double>(sums[i]);
        const double e = level.error[slot];
        double lower, upper;
        if (euclidean) {
          const auto [low, high] = code_distance_sq(dot_codes, level.decoded_sq[slot]);
          refresh_s();
          if (s >= 0.0 && low > (e + s) * (e + s) * (1.0 + 0x1p-36)) continue;
          const double a = std::sqrt(std::max(low, 0.0)) * (1.0 - 0x1p-40) - e;
          const double lb = a > 0.0 ? a * a : 0.0;
          const double hb = std::sqrt(std::max(high, 0.0)) * (1.0 + 0x1p-40) + e;
          lower = down(down(lb) * (1.0 - eps) - eta);
          upper = up(up(hb * hb) * (1.0 + eps) + eta);
        } else {
          const auto [lo, hi] = dot_range(dot_codes, e);  // lo ≤ q·x ≤ hi
          if (cosine) {
            const double x_hi = sc.norm[slot];
            const double x_lo = x_hi * (1.0 - 0x1p-22);
            // The lower bound exceeds the list's bound when the similarity's upper bound is
            // below 1 − kappa − bound: decided by a product instead of a division.
            refresh_c();
            if (std::isfinite(c)) {
              const double t = hi >= 0.0 ? c * (qn_lo * x_lo) : c * (qn_hi * x_hi);
              if (hi < t - std::abs(t) * 0x1p-30) continue;
            }
            const double sim_hi = std::min(1.0, hi >= 0.0 ? up(hi / (qn_lo * x_lo)) : up(hi / (qn_hi * x_hi)));
            const double sim_lo = std::max(-1.0, lo >= 0.0 ? down(lo / (qn_hi * x_hi)) : down(lo / (qn_lo * x_lo)));
            lower = down(1.0 - sim_hi - kappa);
            upper = up(1.0 - sim_lo + kappa);
          } else {
            const double kernel = dot_kernel_error(sc.norm[slot]);
            lower = down(-hi - kernel);
            upper = up(-lo + kernel);
          }
        }
        if (!(lower <= list.bound())) continue;  // a NaN lower bound is not possible here
        list.keep(slot, lower);
        list.offer_upper(upper);
      }
    }
  };

  // A pass over many codes, split into parts bounded each into a list of its own and merged.
  // Each part's list starts from the bound the slots before the split gave (a true upper
  // bound on the k-th distance) and keeps every slot it cannot rule out, so the merged list
  // keeps every slot the single pass would have.
  auto split_pass = [&](const CodeLevel& level, const Weights& weights, const std::uint32_t* among,
                        std::size_t begin, std::size_t end, BoundList& list) {
    const auto threads = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
    if (threads == 1 || (end - begin) * level.row_bytes < kParallelPassBytes ||
        end - begin < 2 * kBoundedBlock) {
      pass(level, weights, among, begin, end, list);
      return;
    }
    // The first block alone, so that every part starts from its bound rather than from none.
    if (!std::isfinite(list.bound())) {
      pass(level, weights, among, begin, begin + kBoundedBlock, list);
      begin += kBoundedBlock;
    }
    const std::size_t blocks = (end - begin + kBoundedBlock - 1) / kBoundedBlock;
    const std::size_t parts = std::min(blocks, 2 * threads);
    std::vector<BoundList> lists(parts, BoundList(k, list.bound()));
    // Isolated: a thread waiting here must not take up another search's task, which would
    // run on this thread's scratch buffers while this search still needs them.
    tbb::this_task_arena::isolate([&] {
      tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t part) {
        const std::size_t from = begin + (blocks * part / parts) * kBoundedBlock;
        const std::size_t to = std::min(end, begin + (blocks * (part + 1) / parts) * kBoundedBlock);
        pass(level, weights, among, from, to, lists[part]);
      });
    });
    for (BoundList& part : lists) list.absorb(std::move(part));
  };

  const CodeLevel fine{sc.steps.data(), nullptr, sc.stride, sc.codes.data(), sc.stride,
                       sc.error.data(), sc.decoded_sq.data(), sc.top_code_norm, 255.0,
                       detail::code_dots()};
  // Kept per thread between scans; the parts of a split pass only read the caller's. Every
  // scan makes one 8-bit pass, over all its slots or over the 4-bit pass's survivors.
  thread_local Weights fine_held, coarse_held;
  weigh(fine, fine_held);
  const std::size_t total = slots != nullptr ? count : n;
  std::vector<BoundList::Entry> kept;
  bool coarse_done = false;
  if (coarse_first(dim)) {
    // The 4-bit pass rules out most slots where the nearest stand apart from the rest (a
    // filter's matches far from the query, clustered data); the 8-bit one bounds the others
    // more tightly. Where the 4-bit bounds are too loose for that (uniform noise, where all
    // distances are alike), the first slots show it and the 8-bit pass alone does the scan.
    const CodeLevel coarse{sc.dim_steps4.data(), sc.drops4() ? sc.component4.data() : nullptr,
                           2 * sc.stride4, sc.codes4.data(), sc.stride4,
                           sc.error4.data(), sc.decoded_sq4.data(), sc.top_code_norm4, 15.0,
                           detail::code_dots4()};
    // A probe that fails spares the next kCoarseRest scans of this index the probe.
    BoundList first(k);
    const std::size_t probe = std::min(total, kCoarseProbe);
    bool go_on = false;
    if (sc.coarse_rest.load(std::memory_order_relaxed) > 0) {
      sc.coarse_rest.fetch_sub(1, std::memory_order_relaxed);
    } else {
      weigh(coarse, coarse_held);
      pass(coarse, coarse_held, slots, 0, probe, first);
      go_on = first.within_bound() * kCoarseMaxKept <= probe;
      if (!go_on) sc.coarse_rest.store(kCoarseRest, std::memory_order_relaxed);
    }
    if (go_on) {
      split_pass(coarse, coarse_held, slots, probe, total, first);
      thread_local std::vector<std::uint32_t> survivors;
      survivors.clear();
      for (const BoundList::Entry& entry : first.take()) survivors.push_back(entry.slot);
      BoundList second(k);
      split_pass(fine, fine_held, survivors.data(), 0, survivors.size(), second);
      kept = second.take();
      coarse_done = true;
    }
  }
  if (!coarse_done) {
    BoundList list(k);
    split_pass(fine, fine_held, slots, 0, total, list);
    kept = list.take();
  }

  // Measure in ascending order of lower bounds until the next one exceeds the k-th distance.
  std::vector<Candidate> pairs;
  pairs.reserve(std::min(kept.size(), 4 * k + 16));
  std::vector<float> top;  // the k smallest distances measured, largest in front
  top.reserve(k);
  for (const BoundList::Entry& entry : kept) {
    if (top.size() == k && !std::isnan(top.front()) &&
        entry.lower > static_cast<double>(top.front())) {
      break;
    }
    const float d = dist(q.data(), row(entry.slot));
    pairs.push_back({entry.slot, d});
    detail::keep_smallest(top, k, d);
  }
  select_nearest(pairs, k);
  return pairs;
}

std::vector<Candidate> HnswIndex::search_exact_among(std::span<const float> q,
                                                     std::span<const std::uint32_t> slots,
                                                     std::size_t k) const {
  if (k == 0 || slots.empty()) return {};
  if (filtered_scan_reads_codes(slots.size(), k)) {
    if (const detail::ScanCodes* codes = bounded_codes(slots.size(), k)) {
      if (auto out = scan_bounded(q, k, *codes, slots.data(), slots.size())) {
        return std::move(*out);
      }
    }
  }
  return rescore_exact(q, slots, k);
}

void select_nearest(std::vector<Candidate>& pairs, std::size_t k) {
  auto closer = [](const Candidate& a, const Candidate& b) {
    if (detail::distance_less(a.distance, b.distance)) return true;
    if (detail::distance_less(b.distance, a.distance)) return false;
    return a.slot < b.slot;
  };
  if (pairs.size() > k) {
    std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(k), pairs.end(),
                     closer);
    pairs.resize(k);
  }
  std::sort(pairs.begin(), pairs.end(), closer);
}

std::vector<Candidate> HnswIndex::rescore_exact(std::span<const float> q,
                                                std::span<const std::uint32_t> slots,
                                                std::size_t k) const {
  // Each row is fetched while the one before it is measured.
  const std::size_t ahead = detail::f32_row_ahead(dim_);
  std::vector<Candidate> pairs(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i + 1 < slots.size()) detail::prefetch_bytes(row(slots[i + 1]), ahead);
    pairs[i] = {slots[i], dist(q.data(), row(slots[i]))};
  }
  select_nearest(pairs, k);
  return pairs;
}

std::vector<Candidate> HnswIndex::scan_live(std::span<const float> q, std::size_t k) const {
  const std::size_t n = node_count();
  std::vector<Candidate> pairs;
  pairs.reserve(count());
  for (std::size_t s = 0; s < n; ++s) {
    if (deleted_flags_[s] != 0) continue;
    const auto slot = static_cast<std::uint32_t>(s);
    pairs.push_back({slot, dist(q.data(), row(slot))});
  }
  select_nearest(pairs, k);
  return pairs;
}

std::vector<Candidate> HnswIndex::search_exact(std::span<const float> q, std::size_t k) const {
  if (entry_point_ == kNoEntry || k == 0) return {};
  if (const detail::ScanCodes* codes = bounded_codes(count(), k)) {
    if (auto out = scan_bounded(q, k, *codes, nullptr, 0)) return std::move(*out);
  }
  const std::size_t n = node_count();
  if (!deleted_.empty()) return scan_live(q, k);

  // One matrix-vector product gives every slot's dot product with the query; the norms turn
  // it into the metric. y needs no zeroing: with beta = 0 the product never reads it.
  // Reused per thread up to a million slots; beyond that a buffer of its own, so that a
  // thread does not keep tens of megabytes after one scan of a very long, narrow collection.
  thread_local std::vector<float> reused;
  std::vector<float> own;
  std::vector<float>& scores = n <= (std::size_t{1} << 20) ? reused : own;
  scores.resize(n);
  if (dim_ > 0) {
    cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(n), static_cast<int>(dim_), 1.0f,
                vectors_.data().data(), static_cast<int>(dim_), q.data(), 1, 0.0f, scores.data(),
                1);
  } else {
    std::fill(scores.begin(), scores.end(), 0.0f);
  }
  const ScanMetric metric(q, metric_);
  Shortlist list(k, 2.0f * metric.spread(dim_, top_norm(norms_)));
  const float* norms = norms_.data();
  for (std::size_t s = 0; s < n; ++s) {
    if (metric.unstable(norms[s])) {
      list.keep(static_cast<std::uint32_t>(s));
    } else {
      list.offer(static_cast<std::uint32_t>(s), metric(scores[s], norms[s]));
    }
  }
  return rescore_exact(q, list.take(), k);
}

std::vector<std::vector<Candidate>> HnswIndex::search_exact_many(
    std::span<const std::vector<float>> queries, std::size_t k) const {
  std::vector<std::vector<Candidate>> out(queries.size());
  if (entry_point_ == kNoEntry || k == 0 || queries.empty()) return out;
  if (!deleted_.empty() || dim_ == 0) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, queries.size()),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t i = r.begin(); i < r.end(); ++i) {
                          out[i] = search_exact(queries[i], k);
                        }
                      });
    return out;
  }

  // One matrix-matrix product per block of queries and tile of rows (about 1 MiB of
  // vectors), then each query's shortlist takes its row of the scores, all on the calling
  // thread: OpenBLAS spreads each product over its own threads, and nothing else runs
  // meanwhile, so OpenBLAS and TBB never compete for the cores. (Products inside TBB tasks
  // would nest OpenBLAS's threads in TBB's; OpenBLAS's thread count is process-wide state
  // shared with NumPy, so it is left alone.) Measured on 100,000 x 96 with 1,000 queries:
  // taking the shortlists on the TBB pool between products, or running whole blocks as TBB
  // tasks, was no faster.
  const std::size_t n = node_count();
  const std::size_t block = std::min(kExactQueryBlock, queries.size());
  const std::size_t rows = product_rows(dim_);
  const float top = top_norm(norms_);
  const float* base = vectors_.data().data();
  const float* norms = norms_.data();
  std::vector<float> packed(block * dim_);
  std::vector<float> scores(block * std::min(rows, n));
  for (std::size_t q0 = 0; q0 < queries.size(); q0 += block) {
    const std::size_t b = std::min(block, queries.size() - q0);
    std::vector<ScanMetric> metrics;
    std::vector<Shortlist> lists;
    metrics.reserve(b);
    lists.reserve(b);
    for (std::size_t j = 0; j < b; ++j) {
      const std::vector<float>& q = queries[q0 + j];
      std::copy(q.begin(), q.end(), packed.begin() + static_cast<std::ptrdiff_t>(j * dim_));
      metrics.emplace_back(q, metric_);
      lists.emplace_back(k, 2.0f * metrics.back().spread(dim_, top));
    }
    for (std::size_t r0 = 0; r0 < n; r0 += rows) {
      const std::size_t r = std::min(rows, n - r0);
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(b), static_cast<int>(r),
                  static_cast<int>(dim_), 1.0f, packed.data(), static_cast<int>(dim_),
                  base + r0 * dim_, static_cast<int>(dim_), 0.0f, scores.data(),
                  static_cast<int>(r));
      for (std::size_t j = 0; j < b; ++j) {
        const float* row = scores.data() + j * r;
        const ScanMetric& m = metrics[j];
        Shortlist& list = lists[j];
        const auto first = static_cast<std::uint32_t>(r0);
        // The metric is chosen once per row, not per score: this loop runs queries x rows
        // times, as often as the product's own inner loop. Same expressions as ScanMetric's.
        switch (metric_) {
          case distance::Metric::Euclidean: {
            const float qq = m.query_square();
            for (std::size_t i = 0; i < r; ++i) {
              const float x = norms[first + i];
              list.offer(first + static_cast<std::uint32_t>(i), (x * x + qq) - (row[i] + row[i]));
            }
            break;
          }
          case distance::Metric::DotProduct:
            for (std::size_t i = 0; i < r; ++i) {
              list.offer(first + static_cast<std::uint32_t>(i), -row[i]);
            }
            break;
          case distance::Metric::Cosine:
            for (std::size_t i = 0; i < r; ++i) {
              const auto s = first + static_cast<std::uint32_t>(i);
              if (m.unstable(norms[s])) {
                list.keep(s);
              } else {
                list.offer(s, m(row[i], norms[s]));
              }
            }
            break;
        }
      }
    }
    for (std::size_t j = 0; j < b; ++j) {
      out[q0 + j] = rescore_exact(queries[q0 + j], lists[j].take(), k);
    }
  }
  return out;
}

}  // namespace quarn_core::hnsw
