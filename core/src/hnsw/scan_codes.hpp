// Compact codes of every slot and the bounds on their error that let the exact scan skip
// full-precision reads: private to the hnsw sources.
#pragma once

#include <immintrin.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kernels.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/sync.hpp"

namespace quarn_core::hnsw::detail {

// What the compressed walk's estimate reads of a row besides its codes, side by side so that
// one line holds them all: a cosine walk read three scattered arrays per neighbour.
struct alignas(16) WalkTerms {
  float decoded_sq, error, norm;  // decoded_sq and error of the level walked
  float fine_error;               // error of the 8-bit codes, for the re-rank's bounds
};

// Per dimension a minimum and a step (the range of the stored values over 255), per slot one
// byte per dimension, x̂_j = min_j + step_j·code_j taken in exact arithmetic, and per slot
// what the scan needs to bound any distance from the codes alone:
//   error: ‖x − x̂‖, rounded up;
//   decoded_sq: ‖x̂ − min‖² = Σ (step_j·code_j)², to the nearest float;
//   norm: ‖x‖, rounded up.
// A second, coarser level holds 4 bits per dimension (the same minimum, the range over 15),
// packed as the 4-bit code-dot kernels read them, with its own error4 and decoded_sq4: a
// first pass over it reads half the bytes, and only the slots it cannot rule out are
// bounded again with the 8-bit codes.
// A slot whose bounds are not finite (a vector with an infinite or NaN component, or so
// large that its squares overflow) is marked `always`: the scan measures it whatever its
// codes say. The bounds hold for any codes, so a vector outside the ranges the steps were
// taken from (added later) is only clamped, and bounded less tightly.
//
// Not thread-safe for writing: HnswIndex changes it only under exclusive access.
struct ScanCodes {
  // Codes for the first `n` vectors of `vectors` (n × dim floats), ranges taken from them.
  ScanCodes(std::span<const float> vectors, std::size_t dim);

  std::size_t rows() const { return error.size(); }
  // Codes and bounds of row `slot` from x (dim floats); rows up to it are added as needed.
  void encode(std::size_t slot, const float* x);
  void reserve(std::size_t n);
  std::size_t memory_usage() const;

  std::size_t dim;
  // Bytes per row of each level, for `dim` dimensions or `kept` of them: the codes files are
  // sized from these too.
  static constexpr std::size_t stride_for(std::size_t dim) { return (dim + 31) / 32 * 32; }
  static constexpr std::size_t stride4_for(std::size_t kept) { return (kept + 63) / 64 * 32; }
  std::size_t stride;     // dim rounded up to a multiple of 32; the padding codes are zero
  std::size_t built_for;  // rows when the ranges were taken
  std::vector<float> mins, steps;
  std::vector<std::uint8_t, LargeAllocator<std::uint8_t>> codes;  // stride per row
  std::vector<float> error, decoded_sq, norm;
  std::vector<std::uint8_t> always;
  // Per row, of the level walk_fine picks: kept in step by encode and choose_walk_level, and
  // by set_walk_terms after the fields it reads are set some other way.
  std::vector<WalkTerms, LargeAllocator<WalkTerms>> walk_terms;
  void set_walk_terms();
  // Row `slot`'s entry, from the fields it packs.
  WalkTerms walk_terms_of(std::size_t slot) const {
    return walk_fine ? WalkTerms{decoded_sq[slot], error[slot], norm[slot], error[slot]}
                     : WalkTerms{decoded_sq4[slot], error4[slot], norm[slot], error[slot]};
  }
  // The largest ‖code‖ of any row, rounded up (never lowered when a row changes).
  double top_code_norm = 0.0;

  // The 4-bit level holds the dimensions of `dims4`, ascending, component i holding dimension
  // dims4[i]: all of them, except where a few of the least varying ones would start another
  // cache line of every row (784 dimensions: 392 bytes, 8 of them on a seventh line). Those
  // are left out, taken as their minimum like a code 0, and their error counts in error4.
  std::vector<std::uint32_t> dims4;
  std::size_t stride4;  // bytes per 4-bit row: dims4's size rounded up to 64, halved
  std::vector<float> steps4;  // per component, 2·stride4 of them; the padding steps are zero
  // Per dimension: its 4-bit step (0 where left out) and its component (kNotCoded4 where left
  // out); derived from dims4 and steps4 by derive_dims4.
  static constexpr std::uint32_t kNotCoded4 = 0xffffffffu;
  std::vector<float> dim_steps4;
  std::vector<std::uint32_t> component4;
  bool drops4() const { return dims4.size() < dim; }
  // Sets dims4 and stride4, and resizes steps4 to match (zeros: the caller sets them).
  void set_dims4(std::vector<std::uint32_t> dims);
  void derive_dims4();
  std::vector<std::uint8_t, LargeAllocator<std::uint8_t>> codes4;  // stride4 per row
  std::vector<float> error4, decoded_sq4;
  double top_code_norm4 = 0.0;
  // Whether the compressed walk reads the 8-bit codes: set by choose_walk_level when the
  // 4-bit ones are too coarse for the data, so that walking on them would lose its way.
  // Chosen only for an index with the walk on: it costs a product of 32 rows against every row,
  // which an exact scan's first use need not pay.
  bool walk_fine = false;
  // Whether the 4-bit codes' error is small against the distances between neighbours, so
  // that the walk's beam need be only k/4 wider than asked instead of k/2: set by
  // choose_walk_level.
  bool walk_sharp = false;
  bool level_chosen = false;  // by choose_walk_level, or read back with the codes
  // Whether every row's 8-bit codes decode (decode_row) to its vector bit for bit, as whole
  // numbers over a range of at most 255 do: the re-rank then measures a row from its codes,
  // a quarter of the bytes, with the same result. Cleared for good by any row that does not.
  bool rows_exact = true;
  // min + step·code of row `slot` into out (dim floats): each a product, then a sum.
  void decode_row(std::size_t slot, float* out) const;
  // `vectors` holds the first built_for rows the codes were taken from.
  void choose_walk_level(std::span<const float> vectors);
  // The typical 4-bit error against the typical distance from a vector to its tenth nearest
  // distinct row; nothing for sets too small to tell.
  std::optional<double> coarse_ratio(std::span<const float> vectors) const;
  // Scans left that skip the 4-bit pass since it last decided too little: a hint shared by
  // concurrent scans, which return the same answer either way.
  mutable std::atomic<int> coarse_rest{0};
  // Re-ranks left that measure every candidate of the beam without bounding them first, since
  // bounds last ruled out too few: the same kind of hint.
  mutable std::atomic<int> rerank_rest{0};
};

// The lazily built ScanCodes of one index. Searches build it under the mutex on first use and
// read it through `ready` afterwards; writers, which run alone, keep it in step or drop it.
struct ScanCodesCache {
  Mutex mutex;
  std::unique_ptr<ScanCodes> codes GUARDED_BY(mutex);
  std::atomic<const ScanCodes*> ready{nullptr};
};

// One query as the compressed walk scores it against the codes of a ScanCodes: p_j =
// (q_j − min_j)·step_j scaled into integer weights ≈ p_j / alpha, 8-bit ones over the 4-bit
// codes or 16-bit ones over the 8-bit codes (see ScanCodes::walk_fine). Made once per query
// and used on every layer; the weights live in the Scratch it was made with.
struct WalkQuery {
  // On the level the walk reads, or on the 8-bit codes when `fine_codes`: such a query bounds the
  // re-rank's candidates more tightly than a walk over the 4-bit codes can, but its terms are
  // not packed and estimate() is not for it.
  WalkQuery(std::span<const float> q, const ScanCodes& codes, distance::Metric m, Scratch& s,
            bool fine_codes);
  WalkQuery(std::span<const float> q, const ScanCodes& codes, distance::Metric m, Scratch& s)
      : WalkQuery(q, codes, m, s, codes.walk_fine) {}

  // Code dots of the rows of `slots` with the weights.
  void dots(const std::uint32_t* slots, std::size_t n, std::int32_t* out) const {
    if (fine) {
      dots8(weights16, rows, stride, slots, n, out);
    } else {
      dots4(weights4, rows, stride, slots, n, out);
    }
  }
  // The estimated distance of `slot` from its code dot. Every metric starts from ‖q − x̂‖²,
  // whose error shrinks with the distance itself (2·(q − x̂)·(x − x̂) + ‖x − x̂‖²), so near
  // neighbours are told apart well. Dot product and cosine take
  // q·x = (‖q‖² + ‖x‖² − ‖q − x‖²) / 2 from it, with ‖x − x̂‖² added back: q·x̂ itself is off
  // by q·(x − x̂), which grows with ‖q‖ and drowned the differences between close neighbours
  // (recall@10 0.74 against the f32 walk's 0.98 on tight clusters).
  // A row whose terms give no number (a non-finite vector) gets +∞: ordered after every other,
  // so that the walk's comparisons stay an order.
  float estimate(std::uint32_t slot, std::int32_t sum) const {
    const WalkTerms& t = terms[slot];
    const float l2 = base + t.decoded_sq - 2.0f * alpha * static_cast<float>(sum);
    float e = l2;
    if (metric != distance::Metric::Euclidean) {
      const float dot = 0.5f * (qsq + t.norm * t.norm - l2 - t.error * t.error);
      e = metric == distance::Metric::DotProduct    ? -dot
          : t.norm == 0.0f || qn == 0.0f ? 1.0f
                                         : 1.0f - dot / (qn * t.norm);
    }
    return std::isnan(e) ? std::numeric_limits<float>::infinity() : e;
  }
  // A lower bound on the exact distance of `slot`, or −∞ where there is none: from the
  // ‖q − x̂‖² of its codes on this query's level (`l2`, within 2·reach plus the rounding of
  // terms that add up to `size`) and the row's ‖x − x̂‖ and ‖x‖ bounds.
  float distance_floor(float l2, float size, float error, float norm) const;
  // The same for the estimate() that this query, walking, gave `slot`.
  float estimate_floor(std::uint32_t slot, float estimate) const;
  // The same for `slot` from its code dot on the 8-bit codes, for a `fine` query.
  float fine_floor(std::uint32_t slot, std::int32_t sum) const {
    const float dsq = sc->decoded_sq[slot];
    const float dot = 2.0f * alpha * static_cast<float>(sum);
    const WalkTerms& t = sc->walk_terms[slot];
    return distance_floor(base + dsq - dot, base + dsq + std::abs(dot), t.fine_error, t.norm);
  }
  // Asks for the terms estimate() reads for `slot`.
  void prefetch_terms(std::uint32_t slot) const {
    _mm_prefetch(reinterpret_cast<const char*>(terms + slot), _MM_HINT_T0);
  }
  // The start of a row (`stride` bytes), for prefetches.
  const std::uint8_t* row(std::uint32_t slot) const { return rows + std::size_t{slot} * stride; }

  const ScanCodes* sc;
  distance::Metric metric;
  bool fine;  // over the 8-bit codes
  std::size_t stride;
  const std::uint8_t* rows;
  const std::int8_t* weights4 = nullptr;
  const std::int16_t* weights16 = nullptr;
  WalkDots dots4;
  CodeDots dots8;
  const WalkTerms* terms;
  float alpha = 0.0f;
  float base = 0.0f;  // ‖q − min‖²
  float qsq = 0.0f;   // ‖q‖²
  float qn = 0.0f;    // ‖q‖
  // How far the rounding of the weights can move any row's code dot (by Cauchy–Schwarz),
  // for the re-rank's bound.
  float reach = 0.0f;
};

}  // namespace quarn_core::hnsw::detail
