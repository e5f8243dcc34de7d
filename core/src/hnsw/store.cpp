// The vector store and the selection helpers shared by the exact scans.
#pragma GCC optimize("fp-contract=off")  // the norms are a plain f32 sum of products

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <new>

#include "internal.hpp"
#include "quarn_core/hnsw.hpp"

namespace quarn_core::hnsw {

void VectorStore::ensure_owned() {
  if (!mapped_) return;
  const float* src = static_cast<const float*>(region_.data());
  owned_.assign(src, src + len_);
  region_.reset();
  len_ = 0;
  mapped_ = false;
}

std::optional<std::vector<float>> VectorStore::mapped_norms() const {
  if (!mapped_) return std::nullopt;
  const float* all = static_cast<const float*>(region_.data());
  const std::size_t total = region_.size() / sizeof(float);
  if (total <= len_) return std::vector<float>{};
  return std::vector<float>(all + len_, all + total);
}

namespace detail {

namespace {
constexpr std::size_t kHugePage = std::size_t{1} << 21;
}  // namespace

void* allocate_large(std::size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes);
  const std::size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned != start) ::munmap(raw, aligned - start);
  const std::uintptr_t end = start + length + kHugePage;
  if (end != aligned + length) {
    ::munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
  }
  // Advice only: without huge pages the memory still works, at 4 KiB granularity.
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void free_large(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kHugePage) {
    ::operator delete(p);
    return;
  }
  ::munmap(p, (bytes + kHugePage - 1) & ~(kHugePage - 1));
}

}  // namespace detail

VectorStore::Owned& VectorStore::owned() {
  assert(!mapped_ && "cannot mutate mmap'd vectors — save and reopen, or use owned mode");
  return owned_;
}

float vector_norm(std::span<const float> v) {
  float sum = 0.0f;
  for (float x : v) sum += x * x;
  return std::sqrt(sum);
}

namespace {

bool pair_less(const Candidate& a, const Candidate& b) {
  return detail::distance_less(a.distance, b.distance);
}

}  // namespace

void stable_sort_by_distance(std::span<Candidate> pairs, std::span<std::uint8_t> riders) {
  const std::size_t n = pairs.size();
  if (n < 21 || !riders.empty()) {
    for (std::size_t i = 1; i < n; ++i) {
      const Candidate c = pairs[i];
      const std::uint8_t r = riders.empty() ? 0 : riders[i];
      std::size_t j = i;
      while (j > 0 && pair_less(c, pairs[j - 1])) {
        pairs[j] = pairs[j - 1];
        if (!riders.empty()) riders[j] = riders[j - 1];
        --j;
      }
      pairs[j] = c;
      if (!riders.empty()) riders[j] = r;
    }
    return;
  }
  std::stable_sort(pairs.begin(), pairs.end(), pair_less);
}

void select_k(std::vector<Candidate>& pairs, std::size_t k) {
  if (pairs.size() > k) {
    if (k == 0) {
      pairs.clear();
      return;
    }
    if (k <= 256 && pairs.size() >= 8 * k) {
      // Few wanted out of many: a bounded max-heap rejects most pairs with one comparison.
      auto first = pairs.begin();
      auto kth = first + static_cast<std::ptrdiff_t>(k);
      std::make_heap(first, kth, pair_less);
      for (auto it = kth; it != pairs.end(); ++it) {
        if (pair_less(*it, *first)) {
          std::pop_heap(first, kth, pair_less);
          *(kth - 1) = *it;
          std::push_heap(first, kth, pair_less);
        }
      }
    } else {
      std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(k), pairs.end(),
                       pair_less);
    }
    pairs.resize(k);
  }
  stable_sort_by_distance(pairs);
}

}  // namespace quarn_core::hnsw
