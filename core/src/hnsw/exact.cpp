// The exact scan: every live slot scored against the query, for one query or a batch of them.
#pragma GCC optimize("fp-contract=off")  // the scan's formulas are separate f32 multiplies and adds

#include <cblas.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "internal.hpp"
#include "quarn_core/hnsw.hpp"

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
    // Beyond these norms the kernel's sums of squares leave the normal floats, where its
    // cosine is not within the bound below.
    extreme_query_ = qq_ != 0.0f && !(qn_ >= kSmallNorm && qn_ <= kLargeNorm);
  }

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
    if (!(norm >= kSmallNorm && norm <= kLargeNorm)) return true;
    return !(norm * qn_ >= std::numeric_limits<float>::min() * 0x1p24f);
  }

 private:
  static constexpr float kSmallNorm = 0x1p-60f, kLargeNorm = 0x1p60f;

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
  std::vector<Candidate> pairs(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
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
  const std::size_t rows = std::max<std::size_t>(64, (std::size_t{1} << 18) / dim_);
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
        for (std::size_t i = 0; i < r; ++i) {
          const auto s = static_cast<std::uint32_t>(r0 + i);
          if (metrics[j].unstable(norms[s])) {
            lists[j].keep(s);
          } else {
            lists[j].offer(s, metrics[j](row[i], norms[s]));
          }
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
