// The index's structure and graph construction: levels, insertion, batches, re-linking.
#pragma GCC optimize("fp-contract=off")

#include <sys/random.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "internal.hpp"
#include "quarn_core/hnsw.hpp"

namespace quarn_core::hnsw {

namespace {

// xoshiro256** per thread, seeded from getrandom(2) and reseeded every 2^20 draws.
class LevelRng {
 public:
  std::uint64_t next() {
    if (draws_ == 0) reseed();
    draws_ = (draws_ + 1) & ((1u << 20) - 1);
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  void reseed() {
    std::size_t got = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(s_);
    while (got < sizeof(s_)) {
      const ssize_t r = ::getrandom(bytes + got, sizeof(s_) - got, 0);
      if (r > 0) got += static_cast<std::size_t>(r);
    }
    if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;  // the one forbidden state
  }

  std::uint64_t s_[4] = {0, 0, 0, 0};
  std::uint32_t draws_ = 0;
};

thread_local LevelRng tl_level_rng;

}  // namespace

HnswIndex::HnswIndex(std::size_t dim, std::size_t m, std::size_t ef_construction,
                     distance::Metric metric)
    : dim_(dim),
      m_(m),
      m0_(2 * m),
      ef_construction_(ef_construction),
      ml_(1.0 / std::log(static_cast<double>(m))),
      metric_(metric) {}

HnswIndex::HnswIndex(HnswIndex&& other) noexcept
    : dim_(other.dim_),
      m_(other.m_),
      m0_(other.m0_),
      ef_construction_(other.ef_construction_),
      ml_(other.ml_),
      metric_(other.metric_),
      vectors_(std::move(other.vectors_)),
      norms_(std::move(other.norms_)),
      levels_(std::move(other.levels_)),
      layer0_(std::move(other.layer0_)),
      upper_(std::move(other.upper_)),
      quantized_(std::move(other.quantized_)),
      deleted_(std::move(other.deleted_)),
      deleted_flags_(std::move(other.deleted_flags_)),
      touched_(std::move(other.touched_)),
      max_level_(other.max_level_),
      count_(other.count_.load()),
      entry_point_(other.entry_point_) {
  other.max_level_ = 0;
  other.count_ = 0;
  other.entry_point_ = kNoEntry;
}

HnswIndex& HnswIndex::operator=(HnswIndex&& other) noexcept {
  if (this == &other) return *this;
  dim_ = other.dim_;
  m_ = other.m_;
  m0_ = other.m0_;
  ef_construction_ = other.ef_construction_;
  ml_ = other.ml_;
  metric_ = other.metric_;
  vectors_ = std::move(other.vectors_);
  norms_ = std::move(other.norms_);
  levels_ = std::move(other.levels_);
  layer0_ = std::move(other.layer0_);
  upper_ = std::move(other.upper_);
  quantized_ = std::move(other.quantized_);
  deleted_ = std::move(other.deleted_);
  deleted_flags_ = std::move(other.deleted_flags_);
  touched_ = std::move(other.touched_);
  max_level_ = std::exchange(other.max_level_, 0);
  count_ = other.count_.exchange(0);
  entry_point_ = std::exchange(other.entry_point_, kNoEntry);
  return *this;
}

HnswIndex::~HnswIndex() = default;

Result<std::unique_ptr<HnswIndex>> HnswIndex::from_loaded(LoadedGraph&& g) {
  auto bad = [](const std::string& what) {
    return error::fail(error::IoError::invalid_data("inconsistent graph: " + what));
  };
  const std::size_t n = g.layers.size();
  if (g.m > 65536) return bad("m " + std::to_string(g.m) + " out of range");
  if (n > kNoEntry) return bad("too many nodes");
  if (g.vectors.size() != n * g.dim) return bad("vector data does not match the node count");
  if (g.norms.size() != n) return bad("norm count does not match the node count");
  if (g.entry_point == kNoEntry) {
    if (n != 0) return bad("no entry point in a non-empty graph");
  } else {
    if (g.entry_point >= n) return bad("entry point out of range");
    if (g.layers[g.entry_point].size() != g.max_level + 1) {
      return bad("entry point is not on the top layer");
    }
  }
  for (std::uint32_t s : g.deleted) {
    if (s >= n) return bad("deleted slot out of range");
  }
  for (const auto& node : g.layers) {
    if (node.empty()) return bad("node without layers");
    if (node.size() - 1 > g.max_level) return bad("node above the top layer");
    for (std::size_t lc = 0; lc < node.size(); ++lc) {
      const std::size_t limit = lc == 0 ? 2 * g.m : g.m;
      if (node[lc].size() > limit) return bad("neighbour list over its limit");
      for (std::uint32_t nb : node[lc]) {
        if (nb >= n) return bad("neighbour out of range");
      }
    }
  }

  auto index = std::make_unique<HnswIndex>(g.dim, g.m, g.ef_construction, g.metric);
  index->vectors_ = std::move(g.vectors);
  index->norms_ = std::move(g.norms);
  index->reserve_nodes(n);
  const std::size_t stride0 = index->list_stride(0);
  const std::size_t stride1 = index->list_stride(1);
  index->layer0_.assign(n * stride0, 0);
  for (std::size_t s = 0; s < n; ++s) {
    auto& node = g.layers[s];
    const std::size_t level = node.size() - 1;
    index->levels_.push_back(static_cast<std::uint32_t>(level));
    std::uint32_t* w0 = index->layer0_.data() + s * stride0;
    w0[1] = static_cast<std::uint32_t>(node[0].size());
    std::copy(node[0].begin(), node[0].end(), w0 + 2);
    if (level == 0) {
      index->upper_.emplace_back();
    } else {
      auto block = std::make_unique<std::uint32_t[]>(level * stride1);
      for (std::size_t lc = 1; lc <= level; ++lc) {
        std::uint32_t* w = block.get() + (lc - 1) * stride1;
        w[1] = static_cast<std::uint32_t>(node[lc].size());
        std::copy(node[lc].begin(), node[lc].end(), w + 2);
      }
      index->upper_.push_back(std::move(block));
    }
    std::vector<std::vector<std::uint32_t>>().swap(node);
  }
  index->deleted_flags_.assign(n, 0);
  for (std::uint32_t s : g.deleted) index->deleted_flags_[s] = 1;
  index->count_ = n - g.deleted.size();
  index->deleted_ = std::move(g.deleted);
  index->entry_point_ = g.entry_point;
  index->max_level_ = n == 0 ? 0 : g.max_level;
  return index;
}

std::size_t HnswIndex::memory_usage() const {
  std::size_t bytes =
      vectors_.size() * sizeof(float) + norms_.capacity() * sizeof(float) +
      levels_.capacity() * sizeof(std::uint32_t) + layer0_.capacity() * sizeof(std::uint32_t) +
      upper_.capacity() * sizeof(upper_[0]) + deleted_flags_.capacity() + touched_.capacity() +
      deleted_.size() * (sizeof(std::uint32_t) + 2 * sizeof(void*));
  for (std::uint32_t level : levels_) bytes += level * list_stride(1) * sizeof(std::uint32_t);
  if (quantized_) bytes += quantized_->codes.capacity() + 8 * dim_;
  return bytes;
}

// ---- Lists ----

std::uint32_t* HnswIndex::list_words(std::uint32_t slot, std::size_t layer) const {
  if (layer == 0) {
    return const_cast<std::uint32_t*>(layer0_.data()) +
           static_cast<std::size_t>(slot) * list_stride(0);
  }
  return upper_[slot].get() + (layer - 1) * list_stride(1);
}

std::vector<std::uint32_t> HnswIndex::neighbors(std::uint32_t slot, std::size_t layer) const {
  if (slot >= node_count() || layer > levels_[slot]) return {};
  std::vector<std::uint32_t> out(list_capacity(layer));
  out.resize(detail::copy_list(list_words(slot, layer), out.data()));
  return out;
}

float HnswIndex::dist(const float* a, const float* b) const {
  return distance::distance(a, b, dim_, metric_);
}

void HnswIndex::add_link(std::uint32_t n, std::uint32_t slot, std::size_t lc, std::size_t limit) {
  const float* base = vectors_.data().data();
  const float* owner = base + static_cast<std::size_t>(n) * dim_;
  auto distance_to = [&](std::uint32_t e) {
    return dist(owner, base + static_cast<std::size_t>(e) * dim_);
  };
  std::uint32_t* words = list_words(n, lc);
  detail::ListLock lock(words);
  std::uint32_t* ids = words + 2;
  const bool sorted = (words[1] & detail::kSortedBit) != 0;
  const std::uint32_t count = detail::list_count(words);
  if (count < limit) {
    ids[count] = slot;
    words[1] = count + 1;  // order unknown now (a single entry is trivially in order)
    if (count == 0) words[1] |= detail::kSortedBit;
    return;
  }
  // The append over-fills the list: keep the `limit` closest by exact distance, stable.
  bool current = sorted;
  if (current && !touched_.empty()) {
    for (std::uint32_t i = 0; i < count && current; ++i) current = touched_[ids[i]] == 0;
  }
  if (current) {
    // The ids are already in stable order of their present distances, so the stable sort
    // of the list plus the new last entry only places the new one: after every entry that
    // is not farther. A binary search finds the place with a handful of distances.
    const float d_new = distance_to(slot);
    std::uint32_t lo = 0, hi = count;
    while (lo < hi) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      if (detail::distance_less(d_new, distance_to(ids[mid]))) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    if (lo < limit) {
      for (std::uint32_t i = static_cast<std::uint32_t>(limit) - 1; i > lo; --i)
        ids[i] = ids[i - 1];
      ids[lo] = slot;
    }
    words[1] = static_cast<std::uint32_t>(limit) | detail::kSortedBit;
    return;
  }
  thread_local std::vector<Candidate> pairs;
  pairs.resize(count + 1);
  for (std::uint32_t i = 0; i < count; ++i) pairs[i] = {ids[i], distance_to(ids[i])};
  pairs[count] = {slot, distance_to(slot)};
  stable_sort_by_distance(pairs);
  for (std::size_t i = 0; i < limit; ++i) ids[i] = pairs[i].slot;
  words[1] = static_cast<std::uint32_t>(limit) | detail::kSortedBit;
}

// ---- Construction ----

std::size_t HnswIndex::random_level() const {
  double u = 0.0;
  do {
    u = static_cast<double>(tl_level_rng.next() >> 11) * 0x1.0p-53;
  } while (u == 0.0);
  const double x = -std::log(u) * ml_;
  if (!(x >= 0.0)) return 0;
  if (x >= static_cast<double>(kMaxLevel)) return kMaxLevel;
  return static_cast<std::size_t>(x);
}

void HnswIndex::reserve_nodes(std::size_t extra) {
  const std::size_t n = node_count() + extra;
  norms_.reserve(n);
  levels_.reserve(n);
  layer0_.reserve(n * list_stride(0));
  upper_.reserve(n);
  deleted_flags_.reserve(n);
}

void HnswIndex::reserve(std::size_t extra) {
  vectors_.ensure_owned();
  // Called before every insert: room grows by doubling, as push_back would grow it, so that
  // one insert at a time stays amortised constant.
  const std::size_t n = node_count();
  const std::size_t want = n + extra;
  if (levels_.capacity() < want || norms_.capacity() < want || upper_.capacity() < want ||
      deleted_flags_.capacity() < want || layer0_.capacity() < want * list_stride(0)) {
    reserve_nodes(std::max(extra, n));
  }
  auto grow = [](auto& v, std::size_t needed) {
    if (v.capacity() < needed) v.reserve(std::max(needed, 2 * v.capacity()));
  };
  grow(vectors_.owned(), vectors_.size() + extra * dim_);
  if (quantized_) grow(quantized_->codes, quantized_->codes.size() + extra * dim_);
  if (!touched_.empty()) grow(touched_, n + extra);
}

void HnswIndex::append_unlinked(std::span<const float> vector, std::size_t level) {
  // The one allocation that reserve cannot make ahead comes first, so that a failure leaves
  // no half-appended node.
  std::unique_ptr<std::uint32_t[]> upper;
  if (level > 0) upper = std::make_unique<std::uint32_t[]>(level * list_stride(1));
  if (quantized_) {
    auto& codes = quantized_->codes;
    const std::size_t at = codes.size();
    codes.resize(at + dim_);
    quantized_->quantizer.quantize_into(vector, codes.data() + at);
  }
  norms_.push_back(vector_norm(vector));
  auto& store = vectors_.owned();
  store.insert(store.end(), vector.begin(), vector.end());
  levels_.push_back(static_cast<std::uint32_t>(level));
  layer0_.resize(layer0_.size() + list_stride(0), 0);
  upper_.push_back(std::move(upper));
  deleted_flags_.push_back(0);
  if (!touched_.empty()) touched_.push_back(0);
}

void HnswIndex::connect_node(std::uint32_t slot, std::size_t level, std::uint32_t entry) {
  const float* q_ptr = vectors_.data().data() + static_cast<std::size_t>(slot) * dim_;
  const std::span<const float> q(q_ptr, dim_);
  std::uint32_t ep = entry;
  const std::size_t top = max_level_;
  for (std::size_t lc = top; lc > level; --lc) ep = search_layer_single(q, ep, lc);
  for (std::size_t lc = std::min(level, top) + 1; lc-- > 0;) {
    const std::size_t mc = lc == 0 ? m0_ : m_;
    std::vector<Candidate> w = search_layer(q, ep, ef_construction_, lc);
    // A node never becomes its own neighbour. It can only meet itself when it is re-linked
    // after an update (other nodes still point at it), where it is always the closest: as
    // its own neighbour and as the start of the next layer down, whose lists were just
    // emptied, it would leave the node linked only to itself there, a dead end that ends
    // every search reaching it with a single result.
    std::erase_if(w, [slot](const Candidate& c) { return c.slot == slot; });
    const std::size_t take = std::min(mc, w.size());
    {
      std::uint32_t* words = list_words(slot, lc);
      detail::ListLock lock(words);
      for (std::size_t i = 0; i < take; ++i) words[2 + i] = w[i].slot;
      // The beam's distances are the exact ones from this node, in stable ascending order.
      words[1] = static_cast<std::uint32_t>(take) | detail::kSortedBit;
    }
    for (std::size_t i = 0; i < take; ++i) {
      const std::uint32_t n = w[i].slot;
      if (levels_[n] >= lc) add_link(n, slot, lc, mc);
    }
    if (!w.empty()) ep = w[0].slot;
  }
}

std::uint32_t HnswIndex::insert(std::span<const float> vector) {
  return insert_with_level(vector, random_level());
}

std::uint32_t HnswIndex::insert_with_level(std::span<const float> vector, std::size_t level) {
  assert(vector.size() == dim_ && "vector dimension mismatch");
  const auto slot = static_cast<std::uint32_t>(node_count());
  vectors_.ensure_owned();
  append_unlinked(vector, level);
  count_.fetch_add(1, std::memory_order_relaxed);
  if (entry_point_ == kNoEntry) {
    entry_point_ = slot;
    max_level_ = level;
    return slot;
  }
  connect_node(slot, level, entry_point_);
  if (level > max_level_) {
    entry_point_ = slot;
    max_level_ = level;
  }
  return slot;
}

template <class Get>
std::vector<std::uint32_t> HnswIndex::batch_insert_generic(std::size_t n, Get get,
                                                           std::span<const std::size_t> levels) {
  if (n == 0) return {};
  for (std::size_t i = 0; i < n; ++i) {
    assert(get(i).size() == dim_ && "vector dimension mismatch");
  }
  const auto start = static_cast<std::uint32_t>(node_count());
  vectors_.ensure_owned();
  reserve_nodes(n);
  vectors_.owned().reserve(vectors_.size() + n * dim_);
  if (quantized_) quantized_->codes.reserve(quantized_->codes.size() + n * dim_);
  for (std::size_t i = 0; i < n; ++i) {
    append_unlinked(get(i), levels[i]);
    // Counted as appended, so that a failure while linking leaves count equal to the nodes.
    count_.fetch_add(1, std::memory_order_relaxed);
  }

  std::size_t first = 0;
  if (entry_point_ == kNoEntry) {
    entry_point_ = start;
    max_level_ = levels[0];
    first = 1;
  }
  const std::size_t sequential = std::min(n, kSequentialBatch);
  for (std::size_t i = first; i < sequential; ++i) {
    connect_node(start + static_cast<std::uint32_t>(i), levels[i], entry_point_);
    if (levels[i] > max_level_) {
      entry_point_ = start + static_cast<std::uint32_t>(i);
      max_level_ = levels[i];
    }
  }
  if (n > kSequentialBatch) {
    // A node can only be linked on layers that exist when it is linked, and the parallel
    // phase works with the top layer fixed. Were the vectors that raise the top linked in
    // that phase too, every layer above the top of the first 128 would stay without a single
    // link and the search would start from a flat graph (recall@10 at ef 10 on
    // Fashion-MNIST ranged over 0.63-0.91 from build to build, against 0.88-0.89 when built
    // one insert at a time). So those few vectors, in input order, are linked first on this
    // thread, each becoming the entry point (among equal top levels the earliest stays); the
    // rest then link in parallel from the final entry point, with every layer in place.
    std::vector<std::uint8_t> linked(n - kSequentialBatch, 0);
    for (std::size_t i = kSequentialBatch; i < n; ++i) {
      if (levels[i] <= max_level_) continue;
      connect_node(start + static_cast<std::uint32_t>(i), levels[i], entry_point_);
      entry_point_ = start + static_cast<std::uint32_t>(i);
      max_level_ = levels[i];
      linked[i - kSequentialBatch] = 1;
    }
    const std::uint32_t ep = entry_point_;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(kSequentialBatch, n),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t i = r.begin(); i != r.end(); ++i) {
                          if (linked[i - kSequentialBatch] != 0) continue;
                          connect_node(start + static_cast<std::uint32_t>(i), levels[i], ep);
                        }
                      });
  }
  std::vector<std::uint32_t> slots(n);
  for (std::size_t i = 0; i < n; ++i) slots[i] = start + static_cast<std::uint32_t>(i);
  return slots;
}

std::vector<std::uint32_t> HnswIndex::batch_insert(std::span<const std::vector<float>> vectors) {
  std::vector<std::size_t> levels(vectors.size());
  for (auto& l : levels) l = random_level();
  return batch_insert_generic(
      vectors.size(), [&](std::size_t i) { return std::span<const float>(vectors[i]); }, levels);
}

std::vector<std::uint32_t> HnswIndex::batch_insert_flat(std::span<const float> data) {
  const std::size_t n = dim_ == 0 ? 0 : data.size() / dim_;
  std::vector<std::size_t> levels(n);
  for (auto& l : levels) l = random_level();
  return batch_insert_with_levels(data, levels);
}

std::vector<std::uint32_t> HnswIndex::batch_insert_with_levels(
    std::span<const float> data, std::span<const std::size_t> levels) {
  return batch_insert_generic(
      levels.size(), [&](std::size_t i) { return data.subspan(i * dim_, dim_); }, levels);
}

void HnswIndex::update_vector(std::uint32_t slot, std::span<const float> vector) {
  assert(vector.size() == dim_);
  assert(slot < node_count());
  vectors_.ensure_owned();
  std::copy(vector.begin(), vector.end(),
            vectors_.owned().begin() + static_cast<std::ptrdiff_t>(slot * dim_));
  // Lists that were put in order with the old vector are no longer in order for it.
  if (touched_.empty()) touched_.assign(node_count(), 0);
  touched_[slot] = 1;
  norms_[slot] = vector_norm(vector);
  if (quantized_) {
    quantized_->quantizer.quantize_into(vector, quantized_->codes.data() + slot * dim_);
  }
  if (node_count() < 2) return;

  const std::size_t level = levels_[slot];
  std::vector<std::uint32_t> former(std::max(m0_, m_) + 1);
  for (std::size_t lc = 0; lc <= level; ++lc) {
    std::size_t count = 0;
    {
      std::uint32_t* words = list_words(slot, lc);
      detail::ListLock lock(words);
      count = detail::list_count(words);
      std::copy(words + 2, words + 2 + count, former.begin());
      words[1] = 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t n = former[i];
      if (levels_[n] < lc) continue;
      std::uint32_t* words = list_words(n, lc);
      detail::ListLock lock(words);
      std::uint32_t* ids = words + 2;
      const std::uint32_t count_before = detail::list_count(words);
      std::uint32_t kept = 0;
      for (std::uint32_t j = 0; j < count_before; ++j) {
        if (ids[j] != slot) ids[kept++] = ids[j];
      }
      // Dropping entries keeps the order of the rest.
      words[1] = kept | (words[1] & detail::kSortedBit);
    }
  }

  std::uint32_t ep = entry_point_;
  if (ep == slot) {
    for (std::uint32_t s = 0; s < node_count(); ++s) {
      if (s != slot && !is_deleted(s)) {
        ep = s;
        break;
      }
    }
  }
  connect_node(slot, level, ep);
}

bool HnswIndex::mark_deleted(std::uint32_t slot) {
  assert(slot < node_count());
  if (deleted_flags_[slot] != 0) return false;
  deleted_.insert(slot);  // first: it may fail to allocate, and nothing has changed yet
  deleted_flags_[slot] = 1;
  count_.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

void HnswIndex::unmark_deleted(std::uint32_t slot) {
  if (deleted_.erase(slot) == 0) return;
  deleted_flags_[slot] = 0;
  count_.fetch_add(1, std::memory_order_relaxed);
}

// ---- Quantization state ----

void HnswIndex::enable_quantized_search() {
  if (node_count() == 0) return;
  auto quantizer = quantize::ScalarQuantizer::train(vectors_.data(), dim_);
  auto codes = quantizer.quantize_batch(vectors_.data(), dim_);
  quantized_.emplace(QuantizedSearch{std::move(quantizer), std::move(codes)});
}

void HnswIndex::load_quantized(quantize::ScalarQuantizer quantizer,
                               std::vector<std::uint8_t> codes) {
  quantized_.emplace(QuantizedSearch{std::move(quantizer), std::move(codes)});
}

void HnswIndex::disable_quantized_search() { quantized_.reset(); }

}  // namespace quarn_core::hnsw
