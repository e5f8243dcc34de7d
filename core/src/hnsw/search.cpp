// Graph search: layer searches, their quantized variants, the exact scan.
#pragma GCC optimize("fp-contract=off")  // the exact-scan formulas and SQ8 decoding are
                                         // separate f32 multiplies and adds

#include <cblas.h>
#include <smmintrin.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "internal.hpp"
#include "kernels.hpp"
#include "scan_codes.hpp"
#include "quarn_core/hnsw.hpp"

namespace quarn_core::hnsw {

// Re-ranks of one index that skip bounding their candidates after one whose bounds ruled out
// too few.
constexpr int kRerankRest = 32;
// Rows a re-rank asks for ahead of the one it measures: 8 to 32 measured alike, 6-9% more
// queries per second than 1 on Fashion-MNIST and on clusters; beyond them, a bounded re-rank
// would fetch rows its bounds then rule out.
constexpr std::size_t kRerankAhead = 16;
// Candidates a re-rank after a walk with precise estimates measures at most: this many per
// result, and never fewer than the minimum.
constexpr std::size_t kPreciseRerankPerK = 3;
constexpr std::size_t kPreciseRerankMin = 32;

namespace {

// Heap orders as function objects, so that the heap operations inline them.
struct {
  bool operator()(const Candidate& a, const Candidate& b) const { return a.distance < b.distance; }
} constexpr heap_max_less;
struct {
  bool operator()(const Candidate& a, const Candidate& b) const { return a.distance > b.distance; }
} constexpr heap_min_less;

// A beam search's step for one candidate it keeps: onto the frontier (a min-heap) and into
// the results (a max-heap of at most ef).
inline void admit(std::vector<Candidate>& frontier, std::vector<Candidate>& results,
                  Candidate c, std::size_t ef) {
  frontier.push_back(c);
  std::push_heap(frontier.begin(), frontier.end(), heap_min_less);
  results.push_back(c);
  std::push_heap(results.begin(), results.end(), heap_max_less);
  if (results.size() > ef) {
    std::pop_heap(results.begin(), results.end(), heap_max_less);
    results.pop_back();
  }
}

}  // namespace

float HnswIndex::quantized_distance(std::span<const float> q, std::uint32_t slot,
                                    std::span<float> scratch) const {
  assert(quantized_);
  const std::uint8_t* codes = quantized_->codes.data() + static_cast<std::size_t>(slot) * dim_;
  const float* scales = quantized_->quantizer.scales().data();
  const float* mins = quantized_->quantizer.mins().data();
  if (const auto fused = detail::fused_sq8_distance(metric_)) {
    return fused(q.data(), codes, scales, mins, dim_);
  }
  float* out = scratch.data();
  for (std::size_t i = 0; i < dim_; ++i) {
    out[i] = static_cast<float>(codes[i]) * scales[i] + mins[i];
  }
  return distance::distance(q.data(), out, dim_, metric_);
}

namespace {

// The distance from the query to one stored row, f32 or SQ8, with what it needs resolved
// once per search instead of once per row.
template <bool kQuantized>
class Measure;

// Linking (`linking`: q is a stored row) measures cosine as HnswIndex::link_dist does.
template <>
class Measure<false> {
 public:
  Measure(const HnswIndex& index, std::span<const float> q, detail::Scratch&, bool linking)
      : q_(q.data()),
        base_(index.vectors().data()),
        norms_(index.norms().data()),
        dim_(index.dim()),
        metric_(index.metric()),
        by_norms_(linking && metric_ == distance::Metric::Cosine),
        q_norm_(by_norms_ ? vector_norm(q) : 0.0f) {}
  const void* row(std::uint32_t s) const { return base_ + static_cast<std::size_t>(s) * dim_; }
  std::size_t row_bytes() const { return dim_ * sizeof(float); }
  float operator()(std::uint32_t s) const {
    const float* x = base_ + static_cast<std::size_t>(s) * dim_;
    if (by_norms_) return detail::cosine_by_norms(q_, q_norm_, x, norms_[s], dim_);
    return detail::pair_distance(q_, x, dim_, metric_);
  }

 private:
  const float* q_;
  const float* base_;
  const float* norms_;
  std::size_t dim_;
  distance::Metric metric_;
  bool by_norms_;
  float q_norm_;
};

template <>
class Measure<true> {
 public:
  Measure(const HnswIndex& index, std::span<const float> q, detail::Scratch& s, bool)
      : q_(q.data()),
        codes_(index.quantized()->codes.data()),
        scales_(index.quantized()->quantizer.scales().data()),
        mins_(index.quantized()->quantizer.mins().data()),
        dim_(index.dim()),
        metric_(index.metric()),
        fused_(detail::fused_sq8_distance(index.metric())) {
    if (fused_ == nullptr) {
      s.decoded.resize(dim_);
      decoded_ = s.decoded.data();
    }
  }
  const void* row(std::uint32_t s) const { return codes_ + static_cast<std::size_t>(s) * dim_; }
  std::size_t row_bytes() const { return dim_; }
  float operator()(std::uint32_t s) const {
    const std::uint8_t* codes = codes_ + static_cast<std::size_t>(s) * dim_;
    if (fused_ != nullptr) return fused_(q_, codes, scales_, mins_, dim_);
    for (std::size_t i = 0; i < dim_; ++i) {
      decoded_[i] = static_cast<float>(codes[i]) * scales_[i] + mins_[i];
    }
    return distance::distance(q_, decoded_, dim_, metric_);
  }

 private:
  const float* q_;
  const std::uint8_t* codes_;
  const float* scales_;
  const float* mins_;
  std::size_t dim_;
  distance::Metric metric_;
  detail::FusedSq8Distance fused_;
  float* decoded_ = nullptr;
};

// One list's ids: read in place where no writer can run, copied under the list's lock into
// `out` (room for a whole list) where one can.
template <bool kLocked>
std::span<const std::uint32_t> list_ids(std::uint32_t* words, std::uint32_t* out) {
  if constexpr (kLocked) {
    return {out, detail::copy_list(words, out)};
  } else {
    (void)out;
    return {detail::list_ids(words), detail::list_count(words)};
  }
}

// The same, copied into the scratch's ids.
template <bool kLocked>
std::span<const std::uint32_t> list_ids(std::uint32_t* words, detail::Scratch& s,
                                        std::size_t capacity) {
  if (kLocked && s.ids.size() < capacity) s.ids.resize(capacity);
  return list_ids<kLocked>(words, s.ids.data());
}

}  // namespace

template <bool kQuantized, bool kLocked>
std::uint32_t HnswIndex::greedy_walk(std::span<const float> q, std::uint32_t entry,
                                     std::size_t layer, detail::Scratch& s) const {
  const Measure<kQuantized> measure(*this, q, s, kLocked);
  std::uint32_t cur = entry;
  float best = measure(cur);
  for (;;) {
    if (levels_[cur] < layer) return cur;
    const auto ids = list_ids<kLocked>(list_words(cur, layer), s, list_capacity(layer));
    std::uint32_t tracked = cur;
    float running = best;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (i + 1 < ids.size()) detail::prefetch_bytes(measure.row(ids[i + 1]), 256);
      const float d = measure(ids[i]);
      if (d < running) {
        running = d;
        tracked = ids[i];
      }
    }
    if (tracked == cur) return cur;
    cur = tracked;
    best = running;
  }
}

template <bool kQuantized, bool kLocked>
void HnswIndex::beam_search(std::span<const float> q, std::span<const std::uint32_t> entries,
                            std::size_t ef, std::size_t layer, detail::Scratch& s) const {
  const Measure<kQuantized> measure(*this, q, s, kLocked);
  const std::size_t row_bytes = std::min<std::size_t>(measure.row_bytes(), kQuantized ? 1024 : 512);
  detail::VisitedTable visited(node_count());
  auto& frontier = s.frontier;  // min-heap
  auto& results = s.results;    // max-heap
  frontier.clear();
  results.clear();
  ef = std::max<std::size_t>(ef, 1);
  if (s.ids.size() < list_capacity(layer)) s.ids.resize(list_capacity(layer));

  for (std::uint32_t e : entries) {
    if (visited.test_and_set(e)) continue;
    const Candidate c{e, measure(e)};
    admit(frontier, results, c, ef);
  }

  while (!frontier.empty()) {
    std::pop_heap(frontier.begin(), frontier.end(), heap_min_less);
    const Candidate c = frontier.back();
    frontier.pop_back();
    if (c.distance > results.front().distance) break;
    // The next node to expand is most likely the frontier's best now: fetch its list while
    // this one's neighbours are measured.
    if (layer == 0 && !frontier.empty())
      _mm_prefetch(list_words(frontier.front().slot, 0), _MM_HINT_T0);
    if (layer != 0 && levels_[c.slot] < layer) continue;
    const auto ids = list_ids<kLocked>(list_words(c.slot, layer), s, list_capacity(layer));
    // Mark first, then measure in list order: the same as marking as we go, since a slot
    // listed twice is measured once either way. Marking first lets each row be fetched
    // while the one before it is measured.
    std::uint32_t* fresh_ids = s.ids.data();
    std::size_t fresh = 0;
    for (std::uint32_t n : ids) {
      if (!visited.test_and_set(n)) fresh_ids[fresh++] = n;
    }
    if (fresh != 0) detail::prefetch_bytes(measure.row(fresh_ids[0]), row_bytes);
    for (std::size_t i = 0; i < fresh; ++i) {
      if (i + 1 < fresh) detail::prefetch_bytes(measure.row(fresh_ids[i + 1]), row_bytes);
      const std::uint32_t n = fresh_ids[i];
      const float dn = measure(n);
      if (dn < results.front().distance || results.size() < ef) {
        admit(frontier, results, {n, dn}, ef);
      }
    }
  }
  // Ascending; equal distances carry no order, so an in-place heap sort does.
  std::sort_heap(results.begin(), results.end(), heap_max_less);
}

// The linking phase's variants, used from index.cpp.
template std::uint32_t HnswIndex::greedy_walk<false, true>(std::span<const float>, std::uint32_t,
                                                           std::size_t, detail::Scratch&) const;
template void HnswIndex::beam_search<false, true>(std::span<const float>,
                                                  std::span<const std::uint32_t>, std::size_t,
                                                  std::size_t, detail::Scratch&) const;

std::uint32_t HnswIndex::search_layer_single(std::span<const float> q, std::uint32_t entry,
                                             std::size_t layer) const {
  detail::ScratchLease s;
  return greedy_walk<false, false>(q, entry, layer, *s);
}

std::vector<Candidate> HnswIndex::search_layer(std::span<const float> q, std::uint32_t entry,
                                               std::size_t ef, std::size_t layer) const {
  detail::ScratchLease s;
  beam_search<false, false>(q, {&entry, 1}, ef, layer, *s);
  return s->results;
}

std::uint32_t HnswIndex::search_layer_single_quantized(std::span<const float> q,
                                                       std::uint32_t entry,
                                                       std::size_t layer) const {
  detail::ScratchLease s;
  return greedy_walk<true, false>(q, entry, layer, *s);
}

std::vector<Candidate> HnswIndex::search_layer_quantized(std::span<const float> q,
                                                         std::uint32_t entry,
                                                         std::size_t ef) const {
  detail::ScratchLease s;
  beam_search<true, false>(q, {&entry, 1}, ef, 0, *s);
  return s->results;
}

std::uint32_t HnswIndex::descend(std::span<const float> q, detail::Scratch& s,
                                 const detail::WalkQuery* walk) const {
  std::uint32_t ep = entry_point_;
  if (ep == kNoEntry) return kNoEntry;
  for (std::size_t lc = max_level_; lc >= 1; --lc) {
    if (lc >= kDescentBeamFrom) {
      if (walk != nullptr) {
        beam_search_codes<false>(*walk, {&ep, 1}, kDescentBeam, lc, s);
      } else if (quantized_) {
        beam_search<true, false>(q, {&ep, 1}, kDescentBeam, lc, s);
      } else {
        beam_search<false, false>(q, {&ep, 1}, kDescentBeam, lc, s);
      }
      ep = s.results.front().slot;  // ascending; the entry at least
      continue;
    }
    ep = walk != nullptr ? greedy_walk_codes<false>(*walk, ep, lc, s)
         : quantized_    ? greedy_walk<true, false>(q, ep, lc, s)
                         : greedy_walk<false, false>(q, ep, lc, s);
  }
  return ep;
}

std::uint32_t HnswIndex::layer0_entry(std::span<const float> q) const {
  detail::ScratchLease s;
  return descend(q, *s);
}

std::vector<Candidate> HnswIndex::search(std::span<const float> q, std::size_t k, std::size_t ef,
                                         std::size_t exact_scan_floats) const {
  assert(q.size() == dim_ && "query dimension mismatch");
  if (entry_point_ == kNoEntry || k == 0) return {};
  if (count() * dim_ < exact_scan_floats) return search_exact(q, k);
  return search_graph(q, k, ef);
}

std::vector<Candidate> HnswIndex::search_graph(std::span<const float> q, std::size_t k,
                                               std::size_t ef) const {
  if (entry_point_ == kNoEntry || k == 0) return {};
  const std::size_t width = std::max(ef, k);
  detail::ScratchLease s;
  if (compressed_) {
    if (const detail::ScanCodes* sc = scan_codes(); walkable(sc)) {
      // Every layer is walked on the codes: full-precision rows are read only to re-rank.
      const detail::WalkQuery walk(q, *sc, metric_, *s);
      const std::uint32_t ep = descend(q, *s, &walk);
      // Estimates misorder near neighbours that full distances would keep apart: a beam
      // k/2 wider lets the re-rank recover them (recall at each width at least the f32
      // walk's), k/4 wider where the codes are sharp enough to misorder few.
      beam_search_codes<false>(walk, {&ep, 1}, width + (sc->walk_sharp ? k / 4 : k / 2), 0, *s);
      return rerank_beam(q, k, *s, &walk);
    }
  }
  const std::uint32_t ep = descend(q, *s);
  std::vector<Candidate> out;
  if (!quantized_) {
    beam_search<false, false>(q, {&ep, 1}, width, 0, *s);
    out.reserve(std::min(k, s->results.size()));
    for (const Candidate& c : s->results) {
      if (is_deleted(c.slot)) continue;
      out.push_back(c);
      if (out.size() == k) break;
    }
    // Deleted nodes that fill the beam are walked through but not returned, and a k beyond
    // the beam's reach finds only what it met: either way, fewer than min(k, live) is no
    // answer, and the exact scan gives one.
    if (out.size() < std::min(k, count())) return scan_live(q, k);
    return out;
  }
  beam_search<true, false>(q, {&ep, 1}, width, 0, *s);
  return rerank_beam(q, k, *s);
}

detail::WalkQuery::WalkQuery(std::span<const float> q, const ScanCodes& codes,
                             distance::Metric m, Scratch& s, bool fine_codes)
    : sc(&codes),
      metric(m),
      fine(fine_codes),
      stride(fine_codes ? codes.stride : codes.stride4),
      rows(fine_codes ? codes.codes.data() : codes.codes4.data()),
      dots4(walk_dots4()),
      dots8(code_dots()),
      terms(fine_codes == codes.walk_fine ? codes.walk_terms.data() : nullptr) {
  const std::size_t dim = codes.dim;
  const std::size_t components = fine ? codes.stride : 2 * codes.stride4;
  const float t_top =
      fine ? std::min(32767.0f, std::floor(2147483647.0f / (255.0f * static_cast<float>(components))))
           : 127.0f;
  // Plain loops over local pointers with four partial sums each: one running sum kept the
  // loop waiting on its own additions, about a tenth of a query's time on 784 dimensions.
  s.scaled.resize(dim);
  float* p = s.scaled.data();
  const float* x = q.data();
  const float* mins = codes.mins.data();
  const float* steps = fine ? codes.steps.data() : codes.dim_steps4.data();  // per dimension
  double rr[4] = {}, qq[4] = {};
  float p_top = 0.0f;
  std::size_t j = 0;
#ifdef __SSE4_1__
  // Four components at a time, each into the partial sums of its j & 3 as below, so that
  // both give the same values to the bit.
  {
    __m128d qq01 = _mm_setzero_pd(), qq23 = _mm_setzero_pd();
    __m128d rr01 = _mm_setzero_pd(), rr23 = _mm_setzero_pd();
    __m128 top = _mm_setzero_ps();
    const __m128 sign = _mm_set1_ps(-0.0f);
    for (; j + 4 <= dim; j += 4) {
      const __m128 xv = _mm_loadu_ps(x + j);
      const __m128 r = _mm_sub_ps(xv, _mm_loadu_ps(mins + j));
      const __m128d x01 = _mm_cvtps_pd(xv), x23 = _mm_cvtps_pd(_mm_movehl_ps(xv, xv));
      const __m128d r01 = _mm_cvtps_pd(r), r23 = _mm_cvtps_pd(_mm_movehl_ps(r, r));
      qq01 = _mm_add_pd(qq01, _mm_mul_pd(x01, x01));
      qq23 = _mm_add_pd(qq23, _mm_mul_pd(x23, x23));
      rr01 = _mm_add_pd(rr01, _mm_mul_pd(r01, r01));
      rr23 = _mm_add_pd(rr23, _mm_mul_pd(r23, r23));
      const __m128 pv = _mm_mul_ps(r, _mm_loadu_ps(steps + j));
      _mm_storeu_ps(p + j, pv);
      top = _mm_max_ps(_mm_andnot_ps(sign, pv), top);  // a NaN leaves top as it was
    }
    _mm_storeu_pd(qq, qq01);
    _mm_storeu_pd(qq + 2, qq23);
    _mm_storeu_pd(rr, rr01);
    _mm_storeu_pd(rr + 2, rr23);
    alignas(16) float tops[4];
    _mm_store_ps(tops, top);
    for (const float t : tops) p_top = std::max(p_top, t);
  }
#endif
  for (; j < dim; ++j) {
    const float r = x[j] - mins[j];
    qq[j & 3] += static_cast<double>(x[j]) * x[j];
    rr[j & 3] += static_cast<double>(r) * r;
    p[j] = r * steps[j];
    p_top = std::max(p_top, std::abs(p[j]));
  }
  const double qq_sum = (qq[0] + qq[1]) + (qq[2] + qq[3]);
  alpha = p_top > 0.0f && std::isfinite(p_top) ? p_top / t_top : 0.0f;
  base = static_cast<float>((rr[0] + rr[1]) + (rr[2] + rr[3]));
  qsq = static_cast<float>(qq_sum);
  qn = static_cast<float>(std::sqrt(qq_sum));
  std::int16_t* t16 = nullptr;
  std::int8_t* t8 = nullptr;
  if (fine) {
    s.weights16.assign(components, 0);
    t16 = s.weights16.data();
  } else {
    // Per dimension first; gathered into the components below where the codes leave some out.
    s.natural.assign(std::max(components, dim), 0);
    t8 = s.natural.data();
  }
  double dd[4] = {};  // ‖p − alpha·t‖²: what rounding the weights costs
  if (alpha > 0.0f) {
    j = 0;
#ifdef __SSE4_1__
    __m128d dd01 = _mm_setzero_pd(), dd23 = _mm_setzero_pd();
    const __m128 a = _mm_set1_ps(alpha), lo = _mm_set1_ps(-t_top), hi = _mm_set1_ps(t_top);
    const __m128d ad = _mm_set1_pd(alpha);
    for (; j + 4 <= dim; j += 4) {
      const __m128 pv = _mm_loadu_ps(p + j);
      const __m128 t = _mm_min_ps(
          _mm_max_ps(_mm_round_ps(_mm_div_ps(pv, a), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC),
                     lo),
          hi);
      const __m128i ti = _mm_cvtps_epi32(t);  // whole numbers within ±t_top: exact
      const __m128i t16v = _mm_packs_epi32(ti, ti);
      if (fine) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(t16 + j), t16v);
      } else {
        const int four = _mm_cvtsi128_si32(_mm_packs_epi16(t16v, t16v));
        std::memcpy(t8 + j, &four, 4);
      }
      const __m128d d01 = _mm_sub_pd(_mm_cvtps_pd(pv), _mm_mul_pd(ad, _mm_cvtps_pd(t)));
      const __m128d d23 = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(pv, pv)),
                                     _mm_mul_pd(ad, _mm_cvtps_pd(_mm_movehl_ps(t, t))));
      dd01 = _mm_add_pd(dd01, _mm_mul_pd(d01, d01));
      dd23 = _mm_add_pd(dd23, _mm_mul_pd(d23, d23));
    }
    _mm_storeu_pd(dd, dd01);
    _mm_storeu_pd(dd + 2, dd23);
#endif
    for (; j < dim; ++j) {
      const float t = std::clamp(std::nearbyint(p[j] / alpha), -t_top, t_top);
      if (fine) {
        t16[j] = static_cast<std::int16_t>(t);
      } else {
        t8[j] = static_cast<std::int8_t>(t);
      }
      const double delta = static_cast<double>(p[j]) - static_cast<double>(alpha) * t;
      dd[j & 3] += delta * delta;
    }
  }
  if (fine) {
    weights16 = t16;
  } else {
    if (codes.drops4()) {
      // dims4 ascends, so each weight moves down or stays: a forward pass gathers in place.
      const std::size_t kept = codes.dims4.size();
      for (std::size_t i = 0; i < kept; ++i) t8[i] = t8[codes.dims4[i]];
      std::fill(t8 + kept, t8 + std::max(components, dim), std::int8_t{0});
    }
    s.weights.resize(walk_weights_size(stride));
    arrange_walk_weights(t8, stride, s.weights.data());
    weights4 = s.weights.data();
  }
  reach = static_cast<float>(std::sqrt((dd[0] + dd[1]) + (dd[2] + dd[3])) *
                             (fine ? codes.top_code_norm : codes.top_code_norm4) *
                             (1.0 + 0x1p-20));
}

float detail::WalkQuery::distance_floor(float l2, float size, float error, float norm) const {
  constexpr float kNone = -std::numeric_limits<float>::infinity();
  // The pair kernels' rounding, relative to the distance (Euclidean), to ‖q‖·‖x‖ (dot
  // product), or absolute (cosine), with room to spare.
  const float kernel = static_cast<float>(sc->dim + 16) * 0x1p-22f + 0x1p-12f;
  // What the kernels lose to products below the normal floats, and norms whose squares the
  // floats cannot hold: the kernels' cosine says nothing a bound could use there.
  const float underflow = static_cast<float>(sc->dim) * 0x1p-125f;
  if (!std::isfinite(size) || !std::isfinite(reach) || !std::isfinite(norm)) return kNone;
  if (metric == distance::Metric::Cosine &&
      !(detail::cosine_norm_in_range(qn) && detail::cosine_norm_in_range(norm))) {
    return kNone;
  }
  // ‖q − x̂‖² lies within 2·reach of l2, and ‖q − x‖ ≥ ‖q − x̂‖ − ‖x − x̂‖.
  const float low = l2 - 2.0f * reach - size * 0x1p-20f - std::abs(l2) * 0x1p-12f;
  const float gap = std::sqrt(std::max(low, 0.0f)) - error;
  if (!(gap > 0.0f)) return kNone;
  const float d2 = gap * gap * (1.0f - 0x1p-12f);  // ‖q − x‖² at least
  const float nn = norm * norm;                      // ‖x‖² at most
  float floor = kNone;
  switch (metric) {
    case distance::Metric::Euclidean:
      floor = d2 * (1.0f - kernel) - underflow;
      break;
    case distance::Metric::DotProduct:  // −q·x, with q·x = (‖q‖² + ‖x‖² − ‖q − x‖²) / 2
      floor = -0.5f * (qsq + nn - d2) - (qsq + nn) * kernel - underflow;
      break;
    case distance::Metric::Cosine: {
      // The similarity is at most (‖q‖² + ‖x‖² − d2) / (2·‖q‖·‖x‖): convex in ‖x‖, or rising,
      // so at most its larger value at the ends of ‖x‖'s range (norm is ‖x‖ rounded up).
      auto similarity = [&](float x_norm) {
        return (qsq + x_norm * x_norm - d2) / (2.0f * qn * x_norm);
      };
      const float top = std::max(similarity(norm), similarity(norm * (1.0f - 0x1p-20f)));
      floor = 1.0f - top - (1.0f + std::abs(top)) * kernel;
      break;
    }
  }
  return std::isnan(floor) ? kNone : floor;
}

float detail::WalkQuery::estimate_floor(std::uint32_t slot, float estimate) const {
  const WalkTerms& t = terms[slot];
  if (metric == distance::Metric::Euclidean) {
    return distance_floor(estimate, 2.0f * (base + t.decoded_sq + std::abs(estimate)), t.error,
                          t.norm);
  }
  // The ‖q − x̂‖² that estimate() started from, taken back from the distance it gave.
  const float nn = t.norm * t.norm;
  if (metric == distance::Metric::Cosine && (t.norm == 0.0f || qn == 0.0f)) {
    return -std::numeric_limits<float>::infinity();
  }
  const float dot =
      metric == distance::Metric::DotProduct ? -estimate : (1.0f - estimate) * (qn * t.norm);
  const float l2 = qsq + nn - t.error * t.error - 2.0f * dot;
  const float size = 2.0f * (base + t.decoded_sq + std::abs(l2)) + qsq + nn +
                     t.error * t.error + 2.0f * std::abs(dot) + qn * t.norm;
  return distance_floor(l2, size, t.error, t.norm);
}

template <bool kLocked>
std::uint32_t HnswIndex::greedy_walk_codes(const detail::WalkQuery& walk, std::uint32_t entry,
                                           std::size_t layer, detail::Scratch& s) const {
  const std::size_t capacity = list_capacity(layer);
  if (s.sums.size() < capacity) s.sums.resize(capacity);
  std::int32_t* sums = s.sums.data();
  std::uint32_t cur = entry;
  walk.dots(&cur, 1, sums);
  float best = walk.estimate(cur, sums[0]);
  for (;;) {
    if (levels_[cur] < layer) return cur;
    const auto ids = list_ids<kLocked>(list_words(cur, layer), s, capacity);
    if (ids.empty()) return cur;
    for (const std::uint32_t id : ids) {
      detail::prefetch_bytes(walk.row(id), walk.stride);
      walk.prefetch_terms(id);
    }
    walk.dots(ids.data(), ids.size(), sums);
    std::uint32_t tracked = cur;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const float d = walk.estimate(ids[i], sums[i]);
      if (d < best) {
        best = d;
        tracked = ids[i];
      }
    }
    if (tracked == cur) return cur;
    cur = tracked;
  }
}

template <bool kLocked>
void HnswIndex::beam_search_codes(const detail::WalkQuery& walk,
                                  std::span<const std::uint32_t> entries, std::size_t ef,
                                  std::size_t layer, detail::Scratch& s) const {
  detail::VisitedTable visited(node_count());
  // The beam: the best ef candidates met, ascending, each marked once expanded. One sorted
  // array, where an insertion moves the worse ones up a slot, instead of a heap of candidates
  // to expand beside a heap of results: the next to expand is the first unmarked one, and
  // one that falls out of the beam is gone from both at once.
  auto& beam = s.results;
  auto& expanded = s.expanded;
  beam.clear();
  expanded.clear();
  ef = std::max<std::size_t>(ef, 1);
  std::size_t next = 0;  // every candidate before it is expanded
  auto admit_to_beam = [&](Candidate c) {
    // After any at the same distance: the one met first stays ahead. Its place is the count
    // of those no farther, taken without branches: a binary search's branches go either way
    // at random, and counting the whole beam (four at a time) gave 3-9% more queries per
    // second.
    std::uint32_t no_farther = 0;
    for (const Candidate& x : beam) no_farther += x.distance <= c.distance;
    const std::size_t at = no_farther;
    if (beam.size() == ef) {  // the caller admits only what beats the last
      beam.pop_back();
      expanded.pop_back();
    }
    beam.insert(beam.begin() + static_cast<std::ptrdiff_t>(at), c);
    expanded.insert(expanded.begin() + static_cast<std::ptrdiff_t>(at), std::uint8_t{0});
    next = std::min(next, at);
    return at;
  };
  auto within = [&](float d) { return beam.size() < ef || d < beam.back().distance; };
  auto unexpanded_from = [&](std::size_t i) {
    while (i < beam.size() && expanded[i] != 0) ++i;
    return i;
  };
  // A search expands the two best candidates together: the rows of both lists are then
  // asked for at once, and each round waits on memory once for two nodes. On 500,000 x 128
  // clusters that is 3% more rows scored and 5% more queries per second, at a recall a little
  // higher; 2-8% on Fashion-MNIST. A build keeps to one at a time, where it measured no faster.
  const std::size_t together = kLocked ? 1 : 2;
  const std::size_t capacity = list_capacity(layer);
  if (s.ids.size() < together * capacity) s.ids.resize(together * capacity);
  if (s.sums.size() < together * capacity) s.sums.resize(together * capacity);
  std::int32_t* sums = s.sums.data();
  // A node named on an upper layer without a list there is scored, not expanded, as in the
  // other walks.
  auto listed = [&](std::uint32_t n) { return layer == 0 || levels_[n] >= layer; };

  for (std::uint32_t e : entries) {
    if (visited.test_and_set(e)) continue;
    walk.dots(&e, 1, sums);
    const Candidate c{e, walk.estimate(e, sums[0])};
    if (within(c.distance)) admit_to_beam(c);
  }

  for (;;) {
    next = unexpanded_from(next);
    if (next == beam.size()) break;
    std::uint32_t* fresh_ids = s.ids.data();
    std::size_t fresh = 0;
    for (std::size_t taken = 1;; ++taken) {
      expanded[next] = 1;
      const std::uint32_t slot = beam[next].slot;
      const std::size_t after = unexpanded_from(next + 1);
      if (after < beam.size() && listed(beam[after].slot)) {
        _mm_prefetch(list_words(beam[after].slot, layer), _MM_HINT_T0);
      }
      if (listed(slot)) {
        // Copied after the fresh ids so far, and filtered in place (the kept ids never pass
        // the ones still to read).
        const auto ids = list_ids<kLocked>(list_words(slot, layer), fresh_ids + fresh);
        // Every id is stored and the count moves past the fresh ones: whether an id was met
        // before goes either way at random, and without a branch on it tight clusters and
        // Fashion-MNIST ran 1.4-2.2% more queries per second (overlapping clusters -0.7% and
        // -2.5%, about the noise).
        for (std::uint32_t id : ids) {
          fresh_ids[fresh] = id;
          fresh += visited.mark(id);
        }
      }
      if (taken == together || after == beam.size()) break;
      next = after;
    }
    if (fresh == 0) continue;
    // Ask for every row at once, with the per-row terms its estimate reads: the rows lie
    // scattered over the codes, and the kernel scores each in far less time than one takes
    // to arrive.
    for (std::size_t i = 0; i < fresh; ++i) {
      detail::prefetch_bytes(walk.row(fresh_ids[i]), walk.stride);
      walk.prefetch_terms(fresh_ids[i]);
    }
    walk.dots(fresh_ids, fresh, sums);
    for (std::size_t i = 0; i < fresh; ++i) {
      const std::uint32_t id = fresh_ids[i];
      const float dn = walk.estimate(id, sums[i]);
      if (within(dn)) {
        // A candidate taken in ahead of every unexpanded one is the next expanded, right
        // after this loop: its list is asked for now rather than when it comes up
        // (128-dimension clusters spent a fifth of the walk waiting on lists). Asking for
        // the lists of all taken in, most of which the walk never expands, gave 0.5-2% more
        // queries per second on Fashion-MNIST but 1-19% fewer on clusters.
        const std::size_t expanded_to = next;  // none unexpanded before it
        if (admit_to_beam({id, dn}) <= expanded_to && listed(id)) {
          _mm_prefetch(list_words(id, layer), _MM_HINT_T0);
        }
      }
    }
  }
}

template std::uint32_t HnswIndex::greedy_walk_codes<true>(const detail::WalkQuery&, std::uint32_t,
                                                          std::size_t, detail::Scratch&) const;
template void HnswIndex::beam_search_codes<true>(const detail::WalkQuery&,
                                                 std::span<const std::uint32_t>, std::size_t,
                                                 std::size_t, detail::Scratch&) const;

std::vector<Candidate> HnswIndex::rerank_beam(std::span<const float> q, std::size_t k,
                                              detail::Scratch& s,
                                              const detail::WalkQuery* walk) const {
  // The live candidates, in the walk's order.
  auto& pool = s.frontier;  // the walk is done with it
  pool.clear();
  for (const Candidate& c : s.results) {
    if (!is_deleted(c.slot)) pool.push_back(c);
  }
  // Deleted nodes that fill the beam are walked through but not returned: fewer than
  // min(k, live) is no answer, and the exact scan gives one.
  if (pool.size() < std::min(k, count())) return scan_live(q, k);
  const detail::ScanCodes* codes = walk != nullptr ? walk->sc : nullptr;
  // Estimates from the 8-bit codes, or from 4-bit ones that are sharp for the data, misorder
  // neighbours by little: the k nearest lie among the first few of the beam, and measuring
  // the rest only costs reads. Recall with the first 30 was that with all at every ef
  // measured, 10-128 on Fashion-MNIST and 10-200 on tight clusters, at 6-27% more queries
  // per second. Coarser 4-bit estimates (overlapping clusters) lost recall so: bounds spare
  // them reads instead.
  if (codes != nullptr && (codes->walk_fine || codes->walk_sharp)) {
    const std::size_t depth = std::max(kPreciseRerankPerK * k, kPreciseRerankMin);
    if (pool.size() > depth) pool.resize(depth);
  }
  // After the compressed walk, each candidate gets a lower bound on its distance (−∞ without
  // one) and the pool is taken in the order of the bounds. Once k distances are measured, a
  // candidate bounded beyond the k-th cannot be among the k nearest, nor can any after it:
  // they are never read. Where the beam's distances lie closer together than the codes can
  // tell apart (tight clusters), bounds rule out nothing and cost a tenth of the search, so a
  // re-rank that rules out too few spares the next ones of this index the bounds.
  bool bounded = codes != nullptr && pool.size() > k;
  if (bounded && codes->rerank_rest.load(std::memory_order_relaxed) > 0) {
    codes->rerank_rest.fetch_sub(1, std::memory_order_relaxed);
    bounded = false;
  }
  if (bounded) {
    if (!codes->walk_fine && !codes->rows_exact) {
      // A walk on the 4-bit codes bounds too loosely to rule out much: the 8-bit codes, a
      // quarter of a row's bytes, rule out most of a beam over overlapping clusters.
      const detail::WalkQuery fine(q, *codes, metric_, s, /*fine=*/true);
      if (s.ids.size() < pool.size()) s.ids.resize(pool.size());
      if (s.sums.size() < pool.size()) s.sums.resize(pool.size());
      for (std::size_t i = 0; i < pool.size(); ++i) {
        const std::uint32_t slot = pool[i].slot;
        s.ids[i] = slot;
        detail::prefetch_bytes(fine.row(slot), fine.stride);
        _mm_prefetch(reinterpret_cast<const char*>(&codes->decoded_sq[slot]), _MM_HINT_T0);
      }
      fine.dots(s.ids.data(), pool.size(), s.sums.data());
      for (std::size_t i = 0; i < pool.size(); ++i) {
        pool[i].distance = fine.fine_floor(pool[i].slot, s.sums[i]);
      }
    } else {
      for (Candidate& c : pool) c.distance = walk->estimate_floor(c.slot, c.distance);
    }
    // Bounds are never NaN.
    std::sort(pool.begin(), pool.end(),
              [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  }
  auto& exact = s.pairs;
  exact.clear();
  thread_local std::vector<float> top;  // the k smallest distances measured, largest in front
  top.clear();
  const float* base = vectors_.data().data();
  std::size_t ahead = detail::f32_row_ahead(dim_);
  // Rows whose codes decode to them exactly are measured from the codes: a quarter of the
  // bytes for the same distance, and the vectors stay where they are (paged out, mapped).
  const detail::ScanCodes* exact_rows = codes != nullptr && codes->rows_exact ? codes : nullptr;
  thread_local std::vector<float> decoded;
  if (exact_rows != nullptr) {
    decoded.resize(dim_);
    ahead = exact_rows->stride;
  }
  auto row_of = [&](std::uint32_t slot) -> const void* {
    if (exact_rows == nullptr) return base + static_cast<std::size_t>(slot) * dim_;
    return exact_rows->codes.data() + std::size_t{slot} * exact_rows->stride;
  };
  // The pool lies scattered over the whole store: its rows are asked for kRerankAhead at a
  // time (one at a time waited on memory for nearly every row).
  for (std::size_t i = 0; i < std::min(kRerankAhead, pool.size()); ++i) {
    detail::prefetch_bytes(row_of(pool[i].slot), ahead);
  }
  for (std::size_t i = 0; i < pool.size(); ++i) {
    const Candidate& c = pool[i];
    if (bounded && top.size() == k && c.distance > top.front()) break;
    if (i + kRerankAhead < pool.size()) {
      detail::prefetch_bytes(row_of(pool[i + kRerankAhead].slot), ahead);
    }
    const float* x = base + static_cast<std::size_t>(c.slot) * dim_;
    if (exact_rows != nullptr) {
      exact_rows->decode_row(c.slot, decoded.data());
      x = decoded.data();
    }
    const float d = dist(q.data(), x);
    exact.push_back({c.slot, d});
    if (bounded) detail::keep_smallest(top, k, d);
  }
  // Ruled out too few: fewer than a quarter of those beyond the k.
  if (bounded && (pool.size() - exact.size()) * 4 < pool.size() - k) {
    codes->rerank_rest.store(kRerankRest, std::memory_order_relaxed);
  }
  // The k smallest exact distances, ascending. A partial sort allocates nothing; the order
  // of equal distances is left open.
  const std::size_t take = std::min(k, exact.size());
  std::partial_sort(exact.begin(), exact.begin() + static_cast<std::ptrdiff_t>(take), exact.end(),
                    [](const Candidate& a, const Candidate& b) {
                      return detail::distance_less(a.distance, b.distance);
                    });
  return {exact.begin(), exact.begin() + static_cast<std::ptrdiff_t>(take)};
}

}  // namespace quarn_core::hnsw
