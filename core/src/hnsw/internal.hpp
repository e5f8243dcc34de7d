// Helpers private to the hnsw sources: list locks, the per-thread visited table, the
// total order on distances used by every sort.
#pragma once

#include <immintrin.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "quarn_core/hnsw.hpp"

namespace quarn_core::hnsw::detail {

// A list is [lock word, count, ids...]. The lock word is a tiny spin lock: lists are held
// for a handful of loads and stores (a prune computes at most limit + 1 distances), so a
// full mutex per list would cost more memory and time than it saves.
class ListLock {
 public:
  explicit ListLock(std::uint32_t* words) : word_(words[0]) {
    int spins = 0;
    while (word_.exchange(1, std::memory_order_acquire) != 0) {
      while (word_.load(std::memory_order_relaxed) != 0) {
        if (++spins < 64) {
          _mm_pause();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  ~ListLock() { word_.store(0, std::memory_order_release); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  std::atomic_ref<std::uint32_t> word_;
};

// The second word of a list holds its count, and in its top bit whether the ids are in
// ascending order of their exact distance to the list's owner, with ties in the order they
// were added. Such a list takes a new entry by binary search instead of a full re-sort.
inline constexpr std::uint32_t kSortedBit = 0x80000000u;
inline std::uint32_t list_count(const std::uint32_t* words) { return words[1] & ~kSortedBit; }

// Copies a list's ids into `out` under its lock; returns their number. `out` holds at
// least the list's capacity.
inline std::size_t copy_list(std::uint32_t* words, std::uint32_t* out) {
  ListLock lock(words);
  const std::uint32_t n = list_count(words);
  const std::uint32_t* ids = words + 2;
  for (std::uint32_t i = 0; i < n; ++i) out[i] = ids[i];
  return n;
}

// Strict weak order on distances: ascending, NaN after everything. A plain `<` is not a
// strict weak order once a NaN distance appears, and the standard sorts may then misbehave.
inline bool distance_less(float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

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

}  // namespace quarn_core::hnsw::detail
