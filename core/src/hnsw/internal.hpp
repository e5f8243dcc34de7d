// Helpers private to the hnsw sources: list locks, the per-thread visited table, the
// total order on distances used by every sort.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "../distance_kernels.hpp"
#include "quarn_core/hnsw.hpp"

namespace quarn_core::hnsw::detail {

// The first word of a list (see kListHeader) is its lock and version: even while the list is
// free, odd while a writer holds it, and two higher after each change. Writers take it as a
// tiny spin lock: lists are held for short stretches (a prune computes at most a few hundred
// distances), so a full mutex per list would cost more memory and time than it saves.
// Readers that may meet a writer (the searches of a batch's linking phase) take no lock at
// all: they copy the list and keep the copy if the version did not move meanwhile, so a read
// never has to own the list's cache line. While such readers may run, every word of a list
// is written with an atomic store (see set_word).
class ListLock {
 public:
  explicit ListLock(std::uint32_t* words) : word_(words[0]) {
    int spins = 0;
    for (;;) {
      std::uint32_t v = word_.load(std::memory_order_relaxed);
      if ((v & 1) == 0 && word_.compare_exchange_weak(v, v + 1, std::memory_order_acquire,
                                                      std::memory_order_relaxed)) {
        version_ = v;
        break;
      }
      if (++spins < 64) {
        _mm_pause();
      } else {
        std::this_thread::yield();
      }
    }
  }
  ~ListLock() { word_.store(version_ + 2, std::memory_order_release); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  std::atomic_ref<std::uint32_t> word_;
  std::uint32_t version_ = 0;
};

// A list is [lock, count, incoming, ids × capacity]. `incoming` counts the lists of other
// nodes on the same layer that hold the list's owner (each occurrence once); it changes by
// atomic increments and decrements, without the lock, while a batch links in parallel.
inline constexpr std::size_t kListHeader = 3;
inline std::uint32_t list_count(const std::uint32_t* words) { return words[1]; }
inline std::uint32_t* list_ids(std::uint32_t* words) { return words + kListHeader; }
inline const std::uint32_t* list_ids(const std::uint32_t* words) { return words + kListHeader; }

// Writes one word of a list (the count or an id) as readers without the lock expect it. A
// reader whose acquiring load sees the value also sees the odd version the writer set
// before it, and retries. (On x86 both are plain moves.)
inline void set_word(std::uint32_t& word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_release);
}

// Copies a list's ids into `out` as they stood at one moment; returns their number. `out`
// holds at least the list's capacity. For readers that may meet a writer.
inline std::size_t copy_list(std::uint32_t* words, std::uint32_t* out) {
  std::atomic_ref<std::uint32_t> version(words[0]);
  for (int spins = 0;; ++spins) {
    const std::uint32_t before = version.load(std::memory_order_acquire);
    if ((before & 1) == 0) {
      const std::uint32_t n =
          std::atomic_ref<std::uint32_t>(words[1]).load(std::memory_order_acquire);
      std::uint32_t* ids = list_ids(words);
      for (std::uint32_t i = 0; i < n; ++i) {
        out[i] = std::atomic_ref<std::uint32_t>(ids[i]).load(std::memory_order_acquire);
      }
      if (version.load(std::memory_order_relaxed) == before) return n;
    }
    if (spins < 64) {
      _mm_pause();
    } else {
      std::this_thread::yield();
    }
  }
}

// Whether a norm lies where the pair kernel's cosine keeps its error bound: beyond it the
// kernel's sums of squares leave the normal floats. Bounds on a cosine outside it say nothing.
inline bool cosine_norm_in_range(float norm) { return norm >= 0x1p-60f && norm <= 0x1p60f; }

// Asks for the cache lines of [p, p + bytes) ahead of their use: a row is read whole and at
// once, and the hardware prefetcher only catches on after a few misses. Measured on
// Fashion-MNIST (784 dims): the first 8 lines of an f32 row (the prefetcher streams the rest)
// beat all 49 by 8-10%, while an SQ8 row (13 lines) is best fetched whole.
inline void prefetch_bytes(const void* p, std::size_t bytes) {
  const char* c = static_cast<const char*>(p);
  for (std::size_t off = 0; off < bytes; off += 64) _mm_prefetch(c + off, _MM_HINT_T0);
}
// How much of an f32 row of `dim` floats to ask for ahead: its first 8 lines at most.
inline std::size_t f32_row_ahead(std::size_t dim) {
  return std::min<std::size_t>(dim * sizeof(float), 512);
}

using distance::detail::pair_distance;

// 1 − cos of a and b (dim floats each) from one dot product and their known norms, as the
// pair kernel defines it at the edges: 0 between two zero vectors, 1 when the dot is zero,
// never below 0 (NaN stays NaN).
inline float cosine_by_norms(const float* a, float norm_a, const float* b, float norm_b,
                             std::size_t dim) {
  const float dot = -pair_distance(a, b, dim, distance::Metric::DotProduct);
  if (norm_a == 0.0f && norm_b == 0.0f) return 0.0f;
  if (dot == 0.0f) return 1.0f;
  const float d = 1.0f - dot / (norm_a * norm_b);
  return d < 0.0f ? 0.0f : d;
}

// Strict weak order on distances: ascending, NaN after everything. A plain `<` is not a
// strict weak order once a NaN distance appears, and the standard sorts may then misbehave.
inline bool distance_less(float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

// Offers d to `top`, a heap (largest in front, by distance_less) of the k smallest distances
// offered so far.
inline void keep_smallest(std::vector<float>& top, std::size_t k, float d) {
  if (top.size() < k) {
    top.push_back(d);
    std::push_heap(top.begin(), top.end(), distance_less);
  } else if (distance_less(d, top.front())) {
    std::pop_heap(top.begin(), top.end(), distance_less);
    top.back() = d;
    std::push_heap(top.begin(), top.end(), distance_less);
  }
}

// A per-thread array of epoch tags, one per slot: a slot is visited in the current search
// when its tag equals the epoch. A new search bumps the epoch instead of clearing the array;
// the array is cleared only when the 16-bit epoch wraps. A nested search on the same thread
// (none today) gets a private table.
class VisitedTable {
 public:
  explicit VisitedTable(std::size_t n) {
    thread_local Table shared;
    if (!shared.in_use) {
      table_ = &shared;
    } else {
      own_ = std::make_unique<Table>();
      table_ = own_.get();
    }
    table_->in_use = true;
    table_->prepare(n);
    tags_ = table_->tags.data();
    epoch_ = table_->epoch;
  }
  ~VisitedTable() { table_->in_use = false; }
  VisitedTable(const VisitedTable&) = delete;
  VisitedTable& operator=(const VisitedTable&) = delete;

  // Marks the slot; true if it was already marked.
  bool test_and_set(std::uint32_t slot) {
    if (tags_[slot] == epoch_) return true;
    tags_[slot] = epoch_;
    return false;
  }
  // Marks the slot; 1 if it was not marked before, else 0. No branch: a search that keeps
  // the fresh ones of a list stores every id and advances by this.
  std::uint32_t mark(std::uint32_t slot) {
    const std::uint32_t fresh = tags_[slot] != epoch_;
    tags_[slot] = epoch_;
    return fresh;
  }
  const void* tag_address(std::uint32_t slot) const { return tags_ + slot; }

 private:
  struct Table {
    std::vector<std::uint16_t> tags;
    std::uint16_t epoch = 0;
    bool in_use = false;

    void prepare(std::size_t n) {
      if (tags.size() < n) {
        tags.assign(n + n / 4 + 64, 0);
        epoch = 0;
      }
      if (++epoch == 0) {
        std::fill(tags.begin(), tags.end(), 0);
        epoch = 1;
      }
    }
  };

  Table* table_ = nullptr;
  std::unique_ptr<Table> own_;
  std::uint16_t* tags_ = nullptr;
  std::uint16_t epoch_ = 0;
};

// The working memory of one graph search or one linking step, kept per thread so that a
// search in steady state allocates nothing: the buffers keep their capacity from one use to
// the next. A nested use on the same thread (none today) gets buffers of its own.
struct Scratch {
  std::vector<Candidate> frontier;     // beam search: min-heap of the nodes to expand
  std::vector<Candidate> results;      // beam search: max-heap of the best, then ascending
                                       // (the compressed walk keeps it ascending throughout)
  std::vector<std::uint8_t> expanded;  // compressed walk: which of `results` it expanded
  std::vector<std::uint32_t> ids;      // one list's ids
  std::vector<float> decoded;          // one dequantized row (SQ8 without a fused kernel)
  std::vector<Candidate> pairs;        // neighbour selection, pruning, re-ranking
  std::vector<std::uint8_t> settled;   // pruning: which pairs a list's last prune kept
  std::vector<std::uint32_t> kept;     // neighbour selection: positions of the chosen ones
  std::vector<std::uint8_t> verdicts;  // neighbour selection: what became of each position
  std::vector<std::uint32_t> order;    // neighbour selection: kept entries, in test order
  std::vector<std::uint32_t> entries;  // starting points of a beam search
  std::vector<std::int32_t> sums;      // compressed walk: one list's code dots
  std::vector<std::int8_t> weights;    // compressed walk: the query's weights, arranged
  std::vector<std::int16_t> weights16;  // compressed walk over 8-bit codes: its weights
  std::vector<float> scaled;           // compressed walk: the query, scaled by the steps
  std::vector<std::int8_t> natural;    // compressed walk: 8-bit weights in component order
  std::vector<std::vector<std::uint32_t>> chosen;  // linking: the neighbours per layer
  // Linking: entries a prune left with few incoming links, and who is to link to them.
  struct Rescue {
    std::uint32_t owner, entry, layer;
  };
  std::vector<Rescue> rescue;
  bool in_use = false;

  // Gives back memory that one unusually wide search grew, so that a thread does not keep
  // it for good.
  void trim() {
    constexpr std::size_t kKeep = std::size_t{1} << 16;
    for (auto* v : {&frontier, &results, &pairs}) {
      if (v->capacity() > kKeep) std::vector<Candidate>().swap(*v);
    }
  }
};

class ScratchLease {
 public:
  ScratchLease() {
    thread_local Scratch shared;
    if (!shared.in_use) {
      scratch_ = &shared;
    } else {
      own_ = std::make_unique<Scratch>();
      scratch_ = own_.get();
    }
    scratch_->in_use = true;
  }
  ~ScratchLease() {
    scratch_->trim();
    scratch_->in_use = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  Scratch& operator*() const { return *scratch_; }
  Scratch* operator->() const { return scratch_; }

 private:
  Scratch* scratch_ = nullptr;
  std::unique_ptr<Scratch> own_;
};

}  // namespace quarn_core::hnsw::detail

namespace quarn_core::hnsw {

inline float HnswIndex::dist(const float* a, const float* b) const {
  return detail::pair_distance(a, b, dim_, metric_);
}

}  // namespace quarn_core::hnsw
