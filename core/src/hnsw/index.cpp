// The index's structure and graph construction: levels, insertion, batches, re-linking.
#pragma GCC optimize("fp-contract=off")

#include <cblas.h>
#include <sys/random.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "internal.hpp"
#include "scan_codes.hpp"
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
      metric_(metric),
      scan_cache_(std::make_unique<detail::ScanCodesCache>()) {}

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
      compressed_(other.compressed_),
      deleted_(std::move(other.deleted_)),
      deleted_flags_(std::move(other.deleted_flags_)),
      prune_memo_(std::move(other.prune_memo_)),
      vector_updates_(other.vector_updates_),
      max_level_(other.max_level_),
      count_(other.count_.load()),
      entry_point_(other.entry_point_),
      scan_cache_(std::move(other.scan_cache_)) {
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
  compressed_ = other.compressed_;
  deleted_ = std::move(other.deleted_);
  deleted_flags_ = std::move(other.deleted_flags_);
  prune_memo_ = std::move(other.prune_memo_);
  vector_updates_ = other.vector_updates_;
  max_level_ = std::exchange(other.max_level_, 0);
  count_ = other.count_.exchange(0);
  entry_point_ = std::exchange(other.entry_point_, kNoEntry);
  scan_cache_ = std::move(other.scan_cache_);
  return *this;
}

HnswIndex::~HnswIndex() = default;

namespace {

// Whether a decoded graph can be taken as it is: counts that agree, an entry point on the
// top layer, every slot named in range, lists within their limits.
Result<void> check_loaded(const LoadedGraph& g) {
  auto bad = [](const std::string& what) {
    return error::fail(error::IoError::invalid_data("inconsistent graph: " + what));
  };
  const std::size_t n = g.layers.size();
  if (g.m < kMinM || g.m > kMaxM) return bad("m " + std::to_string(g.m) + " out of range");
  if (g.max_level > HnswIndex::kMaxLevel) {
    return bad("max_level " + std::to_string(g.max_level) + " out of range");
  }
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
  return {};
}

}  // namespace

Result<std::unique_ptr<HnswIndex>> HnswIndex::from_loaded(LoadedGraph&& g) {
  if (auto ok = check_loaded(g); !ok) return std::unexpected(std::move(ok.error()));
  const std::size_t n = g.layers.size();
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
    std::copy(node[0].begin(), node[0].end(), detail::list_ids(w0));
    if (level == 0) {
      index->upper_.emplace_back();
    } else {
      auto block = std::make_unique<std::uint32_t[]>(level * stride1);
      for (std::size_t lc = 1; lc <= level; ++lc) {
        std::uint32_t* w = block.get() + (lc - 1) * stride1;
        w[1] = static_cast<std::uint32_t>(node[lc].size());
        std::copy(node[lc].begin(), node[lc].end(), detail::list_ids(w));
      }
      index->upper_.push_back(std::move(block));
    }
    std::vector<std::vector<std::uint32_t>>().swap(node);
  }
  for (std::uint32_t s = 0; s < n; ++s) {
    for (std::size_t lc = 0; lc <= index->levels_[s]; ++lc) {
      const std::uint32_t* words = index->list_words(s, lc);
      for (std::uint32_t i = 0; i < detail::list_count(words); ++i) {
        // A file may hold links to nodes without a list on the layer; they count nowhere.
        const std::uint32_t e = detail::list_ids(words)[i];
        if (index->levels_[e] >= lc) ++index->list_words(e, lc)[2];
      }
    }
  }
  index->deleted_flags_.assign(n, 0);
  index->prune_memo_.assign(n, PruneMemo{});
  for (std::uint32_t s : g.deleted) index->deleted_flags_[s] = 1;
  index->count_ = n - g.deleted.size();
  index->deleted_ = std::move(g.deleted);
  index->entry_point_ = g.entry_point;
  index->max_level_ = n == 0 ? 0 : g.max_level;
  return index;
}

namespace {

// About this many rows share a centre in group_by_region, up to kLocalityCentres centres.
// On 500,000 x 128 clusters saved and reopened (the vectors mapped in 4 KiB pages), searches
// after renumbering ran 20-45% faster with groups of 64 to 512 rows (1,024 to 8,192 centres),
// all alike within the noise; 5-10% on vectors held in memory. Nearest centres found only
// among those of a coarser level of centres (a tenth of the products) gave half the gain.
// The products cost n x centres x dim: renumbering 500,000 x 128 takes about 3 s in all.
constexpr std::size_t kLocalityGroup = 64;
constexpr std::size_t kLocalityCentres = 1024;

}  // namespace

void HnswIndex::group_by_region(std::span<std::uint32_t> slots, std::uint32_t first,
                                std::size_t n) const {
  const std::size_t k = std::min(kLocalityCentres, n / kLocalityGroup);
  if (k < 2) return;
  // Centres: evenly spaced rows (slots follow insertion order, not position in space). A
  // row's nearest centre is the one of the largest x·c − ‖c‖²/2; under cosine, of the
  // largest x·ĉ, with the centres scaled to unit length.
  const bool cosine = metric_ == distance::Metric::Cosine;
  std::vector<float> centres(k * dim_);
  std::vector<float> offset(k, 0.0f);  // −‖c‖²/2
  for (std::size_t c = 0; c < k; ++c) {
    const float* x = row(first + static_cast<std::uint32_t>(c * n / k));
    double sq = 0.0;
    for (std::size_t j = 0; j < dim_; ++j) sq += static_cast<double>(x[j]) * x[j];
    const double scale = cosine && sq > 0.0 ? 1.0 / std::sqrt(sq) : 1.0;
    for (std::size_t j = 0; j < dim_; ++j) {
      centres[c * dim_ + j] = static_cast<float>(x[j] * scale);
    }
    offset[c] = cosine ? 0.0f : static_cast<float>(-0.5 * sq);
  }
  // The products run on OpenBLAS's own threads, a block of rows at a time.
  std::vector<std::uint32_t> nearest(n);
  const std::size_t block = std::max<std::size_t>(16, (std::size_t{1} << 20) / k);
  std::vector<float> scores(std::min(block, n) * k);
  const float* base = row(first);
  for (std::size_t r0 = 0; r0 < n; r0 += block) {
    const std::size_t r = std::min(block, n - r0);
    // Each row of scores starts at −‖c‖²/2 and the product adds x·c to it.
    for (std::size_t i = 0; i < r; ++i) std::copy_n(offset.data(), k, scores.data() + i * k);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(r), static_cast<int>(k),
                static_cast<int>(dim_), 1.0f, base + r0 * dim_, static_cast<int>(dim_),
                centres.data(), static_cast<int>(dim_), 1.0f, scores.data(),
                static_cast<int>(k));
    for (std::size_t i = 0; i < r; ++i) {
      const float* row_scores = scores.data() + i * k;
      // The largest score, four lanes at a time, then its first place. A row of non-finite
      // components (no score above −∞, or not-a-number ones) goes to centre 0.
      __m128 top = _mm_set1_ps(-std::numeric_limits<float>::infinity());
      std::size_t c = 0;
      for (; c + 4 <= k; c += 4) top = _mm_max_ps(top, _mm_loadu_ps(row_scores + c));
      alignas(16) float lanes[4];
      _mm_store_ps(lanes, top);
      float best = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
      for (; c < k; ++c) best = std::max(best, row_scores[c]);
      std::uint32_t at = 0;
      while (at < k && !(row_scores[at] == best)) ++at;
      nearest[r0 + i] = at < k ? at : 0;
    }
  }
  // Slots grouped by their centre, in their given order within a group (a stable counting
  // sort).
  std::vector<std::uint32_t> sorted(slots.size());
  std::vector<std::size_t> start(k + 1, 0);
  for (std::uint32_t s : slots) ++start[nearest[s - first] + 1];
  for (std::size_t c = 0; c < k; ++c) start[c + 1] += start[c];
  for (std::uint32_t s : slots) sorted[start[nearest[s - first]]++] = s;
  std::ranges::copy(sorted, slots.begin());
}

std::vector<std::uint32_t> HnswIndex::locality_order() const {
  const std::size_t n = node_count();
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  group_by_region(order, 0, n);
  return order;
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::renumbered(
    std::span<const std::uint32_t> order) const {
  const std::size_t n = node_count();
  assert(order.size() == n && "renumbering must name every slot once");
  std::vector<std::uint32_t> new_of(n);
  for (std::size_t i = 0; i < n; ++i) new_of[order[i]] = static_cast<std::uint32_t>(i);
  LoadedGraph g;
  g.dim = dim_;
  g.m = m_;
  g.ef_construction = ef_construction_;
  g.metric = metric_;
  g.entry_point = entry_point_ == kNoEntry ? kNoEntry : new_of[entry_point_];
  g.max_level = max_level_;
  g.layers.resize(n);
  g.norms.resize(n);
  VectorStore::Owned floats(n * dim_);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t old = order[i];
    std::copy_n(row(old), dim_, floats.data() + i * dim_);
    g.norms[i] = norms_[old];
    g.layers[i].resize(levels_[old] + 1);
    for (std::size_t lc = 0; lc <= levels_[old]; ++lc) {
      auto list = neighbors(old, lc);
      for (std::uint32_t& e : list) e = new_of[e];
      g.layers[i][lc] = std::move(list);
    }
  }
  g.vectors = VectorStore(std::move(floats));
  for (std::uint32_t s : deleted_) g.deleted.insert(new_of[s]);
  auto fresh = from_loaded(std::move(g));
  if (!fresh) return fresh;
  if (quantized_) (*fresh)->enable_quantized_search();
  if (compressed_) (*fresh)->enable_compressed_search();
  return fresh;
}

std::size_t HnswIndex::memory_usage() const {
  std::size_t bytes = vectors_.size() * sizeof(float) + norms_.capacity() * sizeof(float) +
                      levels_.capacity() * sizeof(std::uint32_t) +
                      layer0_.capacity() * sizeof(std::uint32_t) +
                      upper_.capacity() * sizeof(upper_[0]) + deleted_flags_.capacity() +
                      prune_memo_.capacity() * sizeof(PruneMemo) +
                      deleted_.size() * (sizeof(std::uint32_t) + 2 * sizeof(void*));
  for (std::uint32_t level : levels_) bytes += level * list_stride(1) * sizeof(std::uint32_t);
  if (quantized_) bytes += quantized_->codes.capacity() + 8 * dim_;
  if (scan_cache_) {
    MutexLock lock(scan_cache_->mutex);
    if (scan_cache_->codes) bytes += scan_cache_->codes->memory_usage();
  }
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

float HnswIndex::link_dist(std::uint32_t a, std::uint32_t b) const {
  if (metric_ != distance::Metric::Cosine) return dist(row(a), row(b));
  return detail::cosine_by_norms(row(a), norms_[a], row(b), norms_[b], dim_);
}

void HnswIndex::select_neighbors(std::span<const Candidate> sorted, std::size_t limit,
                                 detail::Scratch& s, const std::uint8_t* settled) const {
  auto& kept = s.kept;
  auto& verdicts = s.verdicts;
  kept.clear();
  verdicts.assign(sorted.size(), kDropped);
  // The kept entries in the order to test them: the one that last covered a candidate
  // first. Candidates that one kept entry covers tend to come in runs, and which kept entry
  // covers a candidate does not change whether one does.
  auto& order = s.order;
  order.clear();
  for (std::uint32_t i = 0; i < sorted.size() && kept.size() < limit; ++i) {
    const Candidate& e = sorted[i];
    // At an exact tie e stays, unless e and a kept r are also equally far from the node:
    // then they are copies of one vector (or placed symmetrically about it), and a second
    // copy adds no route. Without that a node with many exact duplicates would keep only
    // copies of itself. Such an r was kept last (the pairs are in ascending order).
    bool copy = false;
    for (std::size_t j = kept.size(); j-- > 0 && sorted[kept[j]].distance == e.distance;) {
      if (link_dist(e.slot, sorted[kept[j]].slot) == e.distance) {
        copy = true;
        break;
      }
    }
    if (copy) {
      verdicts[i] = kCopy;
      continue;
    }
    // A kept neighbour that is closer to e than the node is makes e redundant: the walk
    // reaches e through it.
    bool covered = false;
    for (std::size_t j = 0; j < order.size(); ++j) {
      if (settled != nullptr && settled[i] != 0 && settled[order[j]] != 0) continue;
      if (link_dist(e.slot, sorted[order[j]].slot) < e.distance) {
        covered = true;
        const auto at = order.begin() + static_cast<std::ptrdiff_t>(j);
        std::rotate(order.begin(), at, at + 1);
        break;
      }
    }
    if (!covered) {
      kept.push_back(i);
      order.push_back(i);
      verdicts[i] = kKept;
    }
  }
}
namespace {

// The incoming-link count of a node's list (see kListHeader).
std::atomic_ref<std::uint32_t> incoming(std::uint32_t* words) {
  return std::atomic_ref<std::uint32_t>(words[2]);
}

// A list's lock word while this thread holds the lock: odd, one above the version the lock
// found and one below the version it leaves.
std::uint32_t locked_version(std::uint32_t* words) {
  return std::atomic_ref<std::uint32_t>(words[0]).load(std::memory_order_relaxed);
}

}  // namespace

void HnswIndex::add_link(std::uint32_t n, std::uint32_t slot, std::size_t lc, std::size_t limit,
                         detail::Scratch& s) {
  auto in = [&](std::uint32_t e) { return incoming(list_words(e, lc)); };
  std::uint32_t* words = list_words(n, lc);
  detail::ListLock lock(words);
  std::uint32_t* ids = detail::list_ids(words);
  const std::uint32_t count = detail::list_count(words);
  const std::uint32_t found = locked_version(words) - 1;  // the version as the lock found it
  PruneMemo* memo = lc == 0 ? &prune_memo_[n] : nullptr;
  std::uint32_t settled = 0;
  if (memo != nullptr && memo->version == found && memo->updates == vector_updates_) {
    settled = std::min(memo->settled, count);
  }
  if (count < limit) {
    detail::set_word(ids[count], slot);
    detail::set_word(words[1], count + 1);
    in(slot).fetch_add(1, std::memory_order_relaxed);
    if (memo != nullptr) *memo = {found + 2, vector_updates_, settled};  // an append keeps it
    return;
  }
  // Over-full: choose among the old entries and the new one by the diversity rule, in
  // stable ascending order of their present distances to the owner. An entry without a list
  // on this layer (a file may hold such links) goes.
  auto& pairs = s.pairs;
  pairs.clear();
  const std::size_t ahead = detail::f32_row_ahead(dim_);
  for (std::uint32_t i = 0; i < std::min<std::uint32_t>(2, count); ++i) {
    detail::prefetch_bytes(row(ids[i]), ahead);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i + 2 < count) detail::prefetch_bytes(row(ids[i + 2]), ahead);
    if (levels_[ids[i]] >= lc) pairs.push_back({ids[i], link_dist(n, ids[i])});
  }
  pairs.push_back({slot, link_dist(n, slot)});
  const std::size_t last = pairs.size() - 1;
  auto& flags = s.settled;
  if (settled > 0) {
    // Layer 0 skips no entry, so the settled ones are the first pairs; the flags go along.
    flags.assign(pairs.size(), 0);
    std::fill_n(flags.begin(), settled, std::uint8_t{1});
    stable_sort_by_distance(pairs, flags);
  } else {
    stable_sort_by_distance(pairs);
  }
  select_neighbors(pairs, limit, s, settled > 0 ? flags.data() : nullptr);
  auto& kept = s.kept;
  auto& verdicts = s.verdicts;
  if (memo != nullptr) {
    *memo = {found + 2, vector_updates_, static_cast<std::uint32_t>(kept.size())};
  }
  // The stable sort put the new entry last among its equals, so it is the last pair with its
  // slot (the old list may hold the slot too, after an update).
  std::size_t fresh = last;
  while (pairs[fresh].slot != slot) --fresh;
  // An entry that no other list on this layer holds would become unreachable: no search
  // could return it again. Such entries stay while the list has room (the rule seldom fills
  // it). A copy of a kept entry is left out: a search finds its twin, which no search can
  // tell from it, and lists full of copies make a plateau that traps searches.
  for (std::uint32_t i = 0; i <= last && kept.size() < limit; ++i) {
    if (verdicts[i] != kDropped) continue;
    const std::uint32_t elsewhere =
        in(pairs[i].slot).load(std::memory_order_relaxed) - (i == fresh ? 0 : 1);
    if (elsewhere == 0) {
      kept.push_back(i);
      verdicts[i] = kKept;
    }
  }
  for (std::uint32_t i = 0; i <= last; ++i) {
    if (i == fresh && verdicts[i] == kKept) in(slot).fetch_add(1, std::memory_order_relaxed);
    if (i != fresh && verdicts[i] != kKept) {
      in(pairs[i].slot).fetch_sub(1, std::memory_order_relaxed);
    }
  }
  // The rule drops an entry because a kept one is closer to it than the owner is, taking for
  // granted that the walk reaches it from there. For an entry left with few incoming links,
  // make that true: its closest kept entry links to it, once this lock is released (see
  // drain_rescues). Without this, a point at the edge of the data kept only links from far
  // away once newer points crowded in next to it, and searches for it missed it.
  for (std::uint32_t i = 0; i <= last; ++i) {
    if (verdicts[i] != kDropped ||
        in(pairs[i].slot).load(std::memory_order_relaxed) >= kRescueBelow) {
      continue;
    }
    std::uint32_t best = kNoEntry;
    float best_d = 0.0f;
    for (const std::uint32_t k : kept) {
      const float d = link_dist(pairs[i].slot, pairs[k].slot);
      if (best == kNoEntry || d < best_d) {
        best = pairs[k].slot;
        best_d = d;
      }
    }
    if (best != pairs[i].slot) {
      s.rescue.push_back({best, pairs[i].slot, static_cast<std::uint32_t>(lc)});
    }
  }
  for (std::size_t i = 0; i < kept.size(); ++i) detail::set_word(ids[i], pairs[kept[i]].slot);
  detail::set_word(words[1], static_cast<std::uint32_t>(kept.size()));
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
  prune_memo_.reserve(n);
}

void HnswIndex::reserve(std::size_t extra) {
  vectors_.ensure_owned();
  // Called before every insert: room grows by doubling, as push_back would grow it, so that
  // one insert at a time stays amortised constant.
  const std::size_t n = node_count();
  const std::size_t want = n + extra;
  if (levels_.capacity() < want || norms_.capacity() < want || upper_.capacity() < want ||
      deleted_flags_.capacity() < want || prune_memo_.capacity() < want ||
      layer0_.capacity() < want * list_stride(0)) {
    reserve_nodes(std::max(extra, n));
  }
  auto grow = [](auto& v, std::size_t needed) {
    if (v.capacity() < needed) v.reserve(std::max(needed, 2 * v.capacity()));
  };
  grow(vectors_.owned(), vectors_.size() + extra * dim_);
  if (quantized_) grow(quantized_->codes, quantized_->codes.size() + extra * dim_);
  if (scan_cache_) {
    MutexLock lock(scan_cache_->mutex);
    if (scan_cache_->codes) scan_cache_->codes->reserve(node_count() + extra);
  }
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
  if (scan_cache_) {
    // Codes whose ranges were taken from less than half the vectors bound the rest poorly:
    // they are dropped, and the next exact scan takes the ranges afresh.
    MutexLock lock(scan_cache_->mutex);
    if (auto& codes = scan_cache_->codes) {
      if (node_count() >= 2 * codes->built_for + 1024) {
        codes.reset();
        scan_cache_->ready.store(nullptr, std::memory_order_release);
      } else {
        codes->encode(node_count(), vector.data());
      }
    }
  }
  norms_.push_back(vector_norm(vector));
  auto& store = vectors_.owned();
  store.insert(store.end(), vector.begin(), vector.end());
  levels_.push_back(static_cast<std::uint32_t>(level));
  layer0_.resize(layer0_.size() + list_stride(0), 0);
  upper_.push_back(std::move(upper));
  deleted_flags_.push_back(0);
  prune_memo_.emplace_back();
}

void HnswIndex::connect_node(std::uint32_t slot, std::size_t level, std::uint32_t entry) {
  detail::ScratchLease s;
  link_node(slot, level, entry, nullptr, *s);
}

void HnswIndex::link_node(std::uint32_t slot, std::size_t level, std::uint32_t entry,
                          const std::vector<std::vector<std::uint32_t>>* seeds,
                          detail::Scratch& s) {
  const std::span<const float> q(row(slot), dim_);
  const std::size_t ahead = detail::f32_row_ahead(dim_);
  std::uint32_t ep = entry;
  const std::size_t top = max_level_;
  const std::size_t linked_top = std::min(level, top);
  // Compressed traversal builds the graph the way it searches it: the upper layers are
  // descended and layer 0's beam walked on the codes, while the neighbour rule gets full
  // distances (the beam is measured again).
  const detail::ScanCodes* sc = linking_codes();
  std::optional<detail::WalkQuery> walk;
  if (sc != nullptr) walk.emplace(q, *sc, metric_, s);
  for (std::size_t lc = top; lc > level; --lc) {
    ep = walk ? greedy_walk_codes<true>(*walk, ep, lc, s) : greedy_walk<false, true>(q, ep, lc, s);
  }
  // First the neighbours on every layer, top down, each layer's search starting from the
  // closest node found on the layer above. Only then are they written, bottom up: while a
  // batch links in parallel, a node that others could reach on an upper layer before its
  // layer-0 list existed was a dead end there, and every node linking through it at that
  // moment was left with that one neighbour.
  auto& chosen = s.chosen;
  if (chosen.size() < linked_top + 1) chosen.resize(linked_top + 1);
  for (std::size_t lc = linked_top + 1; lc-- > 0;) {
    const std::size_t mc = lc == 0 ? m0_ : m_;
    chosen[lc].clear();
    auto& entries = s.entries;
    entries.clear();
    if (ep != kNoEntry) entries.push_back(ep);
    if (seeds != nullptr) {
      for (std::uint32_t e : (*seeds)[lc]) {
        if (e != slot && levels_[e] >= lc) entries.push_back(e);
      }
    }
    if (entries.empty() && seeds != nullptr) {
      // A re-linked entry node without neighbours left on this layer: any other node there
      // will do, the lowest live one first.
      std::uint32_t any = kNoEntry;
      for (std::uint32_t n = 0; n < node_count(); ++n) {
        if (n == slot || levels_[n] < lc) continue;
        if (!is_deleted(n)) {
          any = n;
          break;
        }
        if (any == kNoEntry) any = n;
      }
      if (any != kNoEntry) entries.push_back(any);
    }
    if (entries.empty()) continue;  // no other node on this layer
    if (lc == 0 && walk) {
      beam_search_codes<true>(*walk, entries, ef_construction_, 0, s);
      // The beam lies scattered over the store: each row is asked for two measures ahead.
      auto& w = s.results;
      for (std::size_t i = 0; i < std::min<std::size_t>(2, w.size()); ++i) {
        detail::prefetch_bytes(row(w[i].slot), ahead);
      }
      for (std::size_t i = 0; i < w.size(); ++i) {
        if (i + 2 < w.size()) detail::prefetch_bytes(row(w[i + 2].slot), ahead);
        w[i].distance = link_dist(slot, w[i].slot);
      }
      stable_sort_by_distance(s.results);
    } else {
      beam_search<false, true>(q, entries, ef_construction_, lc, s);
    }
    auto& w = s.results;
    // A node never becomes its own neighbour. It can only meet itself when it is re-linked
    // after an update (other nodes still point at it), where it is always the closest: as
    // its own neighbour and as the start of the next layer down, whose lists were just
    // emptied, it would leave the node linked only to itself there, a dead end that ends
    // every search reaching it with a single result.
    // Nor does it link to a node without a list on the layer (a file may hold such links).
    std::erase_if(w, [&](const Candidate& c) { return c.slot == slot || levels_[c.slot] < lc; });
    if (!w.empty()) ep = w[0].slot;
    select_neighbors(w, mc, s);
    for (const std::uint32_t k : s.kept) chosen[lc].push_back(w[k].slot);
  }
  for (std::size_t lc = 0; lc <= linked_top; ++lc) {
    const std::size_t mc = lc == 0 ? m0_ : m_;
    {
      // A new node's list is empty; one linked again (connect_node on a linked node) drops
      // its old entries.
      std::uint32_t* words = list_words(slot, lc);
      detail::ListLock lock(words);
      std::uint32_t* ids = detail::list_ids(words);
      for (std::uint32_t i = 0; i < detail::list_count(words); ++i) {
        if (levels_[ids[i]] >= lc) {
          incoming(list_words(ids[i], lc)).fetch_sub(1, std::memory_order_relaxed);
        }
      }
      for (const std::uint32_t n : chosen[lc]) {
        if (levels_[n] >= lc) incoming(list_words(n, lc)).fetch_add(1, std::memory_order_relaxed);
      }
      for (std::size_t i = 0; i < chosen[lc].size(); ++i) detail::set_word(ids[i], chosen[lc][i]);
      detail::set_word(words[1], static_cast<std::uint32_t>(chosen[lc].size()));
      // The rule chose every entry, with the distances add_link measures: all are settled.
      if (lc == 0) {
        prune_memo_[slot] = {locked_version(words) + 1, vector_updates_,
                             static_cast<std::uint32_t>(chosen[lc].size())};
      }
    }
    for (const std::uint32_t n : chosen[lc]) {
      if (levels_[n] >= lc) add_link(n, slot, lc, mc, s);
    }
    drain_rescues(s);
  }
}

void HnswIndex::drain_rescues(detail::Scratch& s) {
  // Each rescue may queue others (a full list takes one entry and drops another); the
  // budget bounds a chain that could otherwise go round.
  for (int budget = 64; !s.rescue.empty() && budget > 0; --budget) {
    const auto [owner, e, lc] = s.rescue.back();
    s.rescue.pop_back();
    bool linked = false;
    {
      std::uint32_t* words = list_words(owner, lc);
      detail::ListLock lock(words);
      const std::uint32_t* ids = detail::list_ids(words);
      linked =
          std::find(ids, ids + detail::list_count(words), e) != ids + detail::list_count(words);
      // Only read: a prune memo that held still does.
      if (lc == 0) {
        PruneMemo& memo = prune_memo_[owner];
        if (memo.version == locked_version(words) - 1) memo.version += 2;
      }
    }
    if (!linked) add_link(owner, e, lc, lc == 0 ? m0_ : m_, s);
  }
  s.rescue.clear();
}

void HnswIndex::link_orphans(std::uint32_t first, detail::Scratch& s) {
  const auto n = static_cast<std::uint32_t>(node_count());
  // A rescue can push an entry out of a list and leave it, linked earlier in the pass, an
  // orphan again: a few passes, each over the nodes still without an incoming link.
  for (int pass = 0; pass < 4; ++pass) {
    bool any = false;
    for (std::uint32_t e = first; e < n; ++e) {
      if (e == entry_point_) continue;
      for (std::size_t lc = 0; lc <= std::min<std::size_t>(levels_[e], max_level_); ++lc) {
        std::uint32_t* words = list_words(e, lc);
        auto orphaned = [&] { return incoming(words).load(std::memory_order_relaxed) == 0; };
        if (!orphaned()) continue;
        // e's own neighbours, closest first: the owners that could link back to it (its own
        // vector: rescues below reuse the scratch's).
        std::vector<Candidate> owners;
        for (std::uint32_t i = 0; i < detail::list_count(words); ++i) {
          const std::uint32_t c = detail::list_ids(words)[i];
          if (c != e && levels_[c] >= lc) owners.push_back({c, link_dist(e, c)});
        }
        if (owners.empty()) continue;
        any = true;
        stable_sort_by_distance(owners);
        s.rescue.push_back({owners[0].slot, e, static_cast<std::uint32_t>(lc)});
        drain_rescues(s);
        // The rule can turn the rescue down all along the chain where every list near e is
        // full of entries it keeps (dense regions linked one after another): e then displaces
        // one.
        for (std::size_t i = 0; i < owners.size() && orphaned(); ++i) {
          force_link(owners[i].slot, e, lc);
        }
      }
    }
    if (!any) break;
  }
}

void HnswIndex::force_link(std::uint32_t owner, std::uint32_t e, std::size_t lc) {
  std::uint32_t* words = list_words(owner, lc);
  detail::ListLock lock(words);
  std::uint32_t* ids = detail::list_ids(words);
  const std::uint32_t count = detail::list_count(words);
  auto in = [&](std::uint32_t n) { return incoming(list_words(n, lc)); };
  if (std::find(ids, ids + count, e) != ids + count) return;
  if (count < (lc == 0 ? m0_ : m_)) {
    detail::set_word(ids[count], e);
    detail::set_word(words[1], count + 1);
    in(e).fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::uint32_t victim = count;
  float farthest = 0.0f;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (levels_[ids[i]] < lc) {  // counts nowhere, routes nowhere on this layer
      victim = i;
      break;
    }
    if (in(ids[i]).load(std::memory_order_relaxed) < 2) continue;
    const float d = link_dist(owner, ids[i]);
    if (victim == count || d > farthest) {
      victim = i;
      farthest = d;
    }
  }
  if (victim == count) return;
  if (levels_[ids[victim]] >= lc) in(ids[victim]).fetch_sub(1, std::memory_order_relaxed);
  detail::set_word(ids[victim], e);
  in(e).fetch_add(1, std::memory_order_relaxed);
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

  // Compressed traversal links with the codes: build them now if growth dropped them.
  if (compressed_) (void)scan_codes();
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
    // The rest link in two parallel passes. First the nodes with upper layers, in input
    // order: they are the routes between regions, and linked in an order unrelated to
    // position they link regions as evenly as one insert at a time would. Then the others,
    // grouped by the nearest of a set of centres (as locality_order groups rows): nodes linked
    // one after another then search the same neighbourhood, whose codes, rows and lists are
    // still in cache. On 500,000 x 128 tight clusters the build took 27.4 s against 36.6 s in
    // input order, at the same recall; Fashion-MNIST 6.2-6.5 s against 7.5-9.1 s walking on
    // the codes (recall@10 at ef 10 0.9495 against 0.9505) and 8.1 s against 12.0 s at full
    // precision. Every node grouped, the upper layers too, was faster still (8.8 s against
    // 13.9 s on 200,000 clusters) but the regions linked poorly: recall@10 0.83 at any ef.
    std::vector<std::uint32_t> routes;
    std::vector<std::uint32_t> rest;
    for (std::size_t i = kSequentialBatch; i < n; ++i) {
      if (linked[i - kSequentialBatch] != 0) continue;
      (levels[i] > 0 ? routes : rest).push_back(start + static_cast<std::uint32_t>(i));
    }
    group_by_region(rest, start, n);
    for (const auto* part : {&routes, &rest}) {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, part->size()),
                        [&](const tbb::blocked_range<std::size_t>& r) {
                          for (std::size_t i = r.begin(); i != r.end(); ++i) {
                            const std::uint32_t slot = (*part)[i];
                            connect_node(slot, levels[slot - start], ep);
                          }
                        });
    }
    // Nodes linking at once can each drop the same entry from their own list, each seeing
    // the other's link still in place; a pass on this thread links what that left behind.
    detail::ScratchLease s;
    link_orphans(start, *s);
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
  norms_[slot] = vector_norm(vector);
  // Every list holding the slot now has other distances: no prune memo holds any longer.
  if (++vector_updates_ == 0) std::fill(prune_memo_.begin(), prune_memo_.end(), PruneMemo{});
  if (quantized_) {
    quantized_->quantizer.quantize_into(vector, quantized_->codes.data() + slot * dim_);
  }
  if (scan_cache_) {
    MutexLock lock(scan_cache_->mutex);
    if (scan_cache_->codes && slot < scan_cache_->codes->rows()) {
      scan_cache_->codes->encode(slot, vector.data());
    }
  }
  if (node_count() < 2) return;

  const std::size_t level = levels_[slot];
  std::vector<std::vector<std::uint32_t>> former(level + 1);
  for (std::size_t lc = 0; lc <= level; ++lc) {
    std::uint32_t* words = list_words(slot, lc);
    const std::uint32_t* ids = detail::list_ids(words);
    former[lc].assign(ids, ids + detail::list_count(words));
    words[1] = 0;
    for (const std::uint32_t n : former[lc]) {
      if (levels_[n] < lc) continue;
      std::uint32_t* nw = list_words(n, lc);
      --nw[2];
      std::uint32_t* nids = detail::list_ids(nw);
      const std::uint32_t count_before = detail::list_count(nw);
      std::uint32_t kept = 0;
      for (std::uint32_t j = 0; j < count_before; ++j) {
        if (nids[j] != slot) nids[kept++] = nids[j];
      }
      nw[1] = kept;
      words[2] -= count_before - kept;
    }
  }

  detail::ScratchLease s;
  if (slot != entry_point_) {
    link_node(slot, level, entry_point_, nullptr, *s);
    return;
  }
  // The entry node is the only way into its top layers, and it has no node above to
  // descend from. Its former neighbours on each layer are where the walk starts instead:
  // they are on that layer and near the node's old place, so the new lists reach the rest
  // of each layer again.
  link_node(slot, level, kNoEntry, &former, *s);
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

const detail::ScanCodes* HnswIndex::linking_codes() const {
  if (!compressed_ || !scan_cache_) return nullptr;
  const detail::ScanCodes* sc = scan_cache_->ready.load(std::memory_order_acquire);
  return walkable(sc) ? sc : nullptr;
}

bool HnswIndex::walkable(const detail::ScanCodes* sc) const {
  // Codes whose ranges come from under half the nodes (an index that grew from empty with
  // the mode on) cannot guide a walk: linking and searches measure full distances until the
  // codes are built afresh.
  return sc != nullptr && sc->rows() >= node_count() && 2 * sc->built_for >= node_count();
}

void HnswIndex::enable_compressed_search() {
  compressed_ = true;
  if (scan_cache_) {
    // Codes built for the exact scan have no walk level chosen yet; with exclusive access it
    // is chosen in place.
    MutexLock lock(scan_cache_->mutex);
    if (auto& codes = scan_cache_->codes; codes && !codes->level_chosen) {
      codes->choose_walk_level(vectors_.data().first(codes->built_for * dim_));
    }
  }
  (void)scan_codes();
}

}  // namespace quarn_core::hnsw
