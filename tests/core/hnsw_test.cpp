#pragma GCC optimize("fp-contract=off")  // reference formulas below are separate mul and add

#include "quarn_core/hnsw.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "testutil.hpp"

namespace quarn_core::hnsw {
namespace {

using distance::Metric;
using Levels = std::vector<std::pair<std::size_t, std::size_t>>;  // position, level

constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Euclidean, Metric::DotProduct};

std::vector<float> random_data(std::size_t n, std::size_t dim, unsigned seed, float lo = -1,
                               float hi = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n * dim);
  for (auto& x : v) x = u(rng);
  return v;
}

// Clustered data, closer to real embeddings than uniform noise: points around a few centres.
// By default they overlap, so that recall measures the implementation; tight, separated
// clusters test the neighbour rule instead.
std::vector<float> clustered_data(std::size_t n, std::size_t dim, unsigned seed,
                                  std::size_t centres = 20, float spread = 1.5f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0, 1);
  std::vector<float> c(centres * dim);
  for (auto& x : c) x = g(rng);
  std::vector<float> v(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = rng() % centres;
    for (std::size_t d = 0; d < dim; ++d) v[i * dim + d] = c[k * dim + d] + spread * g(rng);
  }
  return v;
}

// The dimensions of `v` past its last whole 128, spread among the others, made nearly
// constant: the compressed walk's 4-bit codes leave those out.
std::vector<float> quieten(std::vector<float> v, std::size_t dim) {
  const std::size_t quiet = dim % 128, spacing = dim / std::max<std::size_t>(quiet, 1);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const std::size_t j = i % dim;
    if (j % spacing == 1 && j / spacing < quiet) v[i] = 0.5f + 1e-3f * v[i];
  }
  return v;
}

// Clustered data of 32 dimensions, each repeated (a graph over them keeps its recall), made
// quiet as above.
std::vector<float> with_quiet_dims(std::size_t n, std::size_t dim, unsigned seed) {
  const auto base = clustered_data(n, 32, seed);
  std::vector<float> v(n * dim);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = base[i / dim * 32 + i % dim % 32];
  return quieten(std::move(v), dim);
}

std::span<const float> row(const std::vector<float>& data, std::size_t dim, std::size_t i) {
  return std::span<const float>(data).subspan(i * dim, dim);
}

std::vector<std::size_t> levels_with(std::size_t n, const Levels& raised) {
  std::vector<std::size_t> levels(n, 0);
  for (auto [pos, level] : raised) levels[pos] = level;
  return levels;
}

bool by_distance(const Candidate& a, const Candidate& b) { return a.distance < b.distance; }

// Everything the rest of the engine relies on after any completed operation.
void expect_invariants(const HnswIndex& index) {
  const std::size_t n = index.node_count();
  ASSERT_EQ(index.vectors().size(), n * index.dim());
  ASSERT_EQ(index.norms().size(), n);
  EXPECT_EQ(index.count(), n - index.deleted().size());
  if (n == 0) {
    EXPECT_EQ(index.entry_point(), kNoEntry);
    return;
  }
  ASSERT_LT(index.entry_point(), n);
  EXPECT_EQ(index.node_level(index.entry_point()), index.max_level());
  for (std::uint32_t s = 0; s < n; ++s) {
    EXPECT_LE(index.node_level(s), index.max_level());
    for (std::size_t lc = 0; lc <= index.node_level(s); ++lc) {
      const auto list = index.neighbors(s, lc);
      EXPECT_LE(list.size(), lc == 0 ? index.m0() : index.m()) << "slot " << s << " layer " << lc;
      for (std::uint32_t nb : list) EXPECT_LT(nb, n);
    }
  }
  if (const QuantizedSearch* q = index.quantized()) {
    EXPECT_EQ(q->codes.size(), n * index.dim());
  }
}

std::vector<std::vector<std::uint32_t>> adjacency(const HnswIndex& index) {
  std::vector<std::vector<std::uint32_t>> out;
  for (std::uint32_t s = 0; s < index.node_count(); ++s) {
    for (std::size_t lc = 0; lc <= index.node_level(s); ++lc) out.push_back(index.neighbors(s, lc));
  }
  return out;
}

// Nodes on layer lc (level lc or above) that a walk from the entry point along the lists of
// that layer never reaches.
std::size_t unreachable_on_layer(const HnswIndex& index, std::size_t lc) {
  std::vector<std::uint8_t> seen(index.node_count(), 0);
  std::vector<std::uint32_t> todo = {index.entry_point()};
  seen[index.entry_point()] = 1;
  while (!todo.empty()) {
    const std::uint32_t s = todo.back();
    todo.pop_back();
    for (std::uint32_t n : index.neighbors(s, lc)) {
      if (seen[n] == 0 && index.node_level(n) >= lc) {
        seen[n] = 1;
        todo.push_back(n);
      }
    }
  }
  std::size_t missed = 0;
  for (std::uint32_t s = 0; s < index.node_count(); ++s) {
    missed += index.node_level(s) >= lc && seen[s] == 0;
  }
  return missed;
}

std::vector<std::uint32_t> brute_force(const HnswIndex& index, std::span<const float> q,
                                       std::size_t k) {
  std::vector<Candidate> all;
  for (std::uint32_t s = 0; s < index.node_count(); ++s) {
    if (!index.is_deleted(s))
      all.push_back({s, distance::distance(q, index.vector(s), index.metric())});
  }
  std::stable_sort(all.begin(), all.end(), by_distance);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(all[i].slot);
  return out;
}

double graph_recall(const HnswIndex& index, const std::vector<float>& queries, std::size_t ef) {
  const std::size_t dim = index.dim(), nq = queries.size() / dim;
  std::size_t hits = 0;
  for (std::size_t i = 0; i < nq; ++i) {
    const auto q = row(queries, dim, i);
    const auto truth = brute_force(index, q, 10);
    for (const Candidate& c : index.search_graph(q, 10, ef)) {
      hits += std::count(truth.begin(), truth.end(), c.slot);
    }
  }
  return static_cast<double>(hits) / static_cast<double>(nq * 10);
}

// Stored vectors, every step-th, for which a graph search does not return the vector itself
// first (or an identical copy, which no search can tell apart).
std::size_t missed_self_searches(const HnswIndex& index, std::uint32_t step, std::size_t ef) {
  std::size_t missed = 0;
  for (std::uint32_t s = 0; s < index.node_count(); s += step) {
    const auto hits = index.search_graph(index.vector(s), 10, ef);
    missed += hits.empty() || !std::ranges::equal(index.vector(hits[0].slot), index.vector(s));
  }
  return missed;
}

// A plain, slow rendering of the linking rules, kept here to check the fast one against:
// growable lists, every over-full list re-sorted by freshly computed distances, incoming
// links counted afresh whenever they are asked for.
class ReferenceGraph {
 public:
  ReferenceGraph(std::size_t dim, std::size_t m, std::size_t ef, Metric metric)
      : dim_(dim), m_(m), ef_(ef), metric_(metric) {}

  std::uint32_t entry() const { return entry_; }

  void insert(std::span<const float> v, std::size_t level) {
    const auto slot = static_cast<std::uint32_t>(lists_.size());
    vectors_.insert(vectors_.end(), v.begin(), v.end());
    lists_.emplace_back(level + 1);
    if (entry_ != kNoEntry) connect(slot, level, {entry_}, {});
    if (entry_ == kNoEntry || level > top_) {
      entry_ = slot;
      top_ = level;
    }
  }

  void update(std::uint32_t slot, std::span<const float> v) {
    std::copy(v.begin(), v.end(), vectors_.begin() + slot * dim_);
    if (lists_.size() < 2) return;
    std::vector<std::vector<std::uint32_t>> former;
    for (std::size_t lc = 0; lc < lists_[slot].size(); ++lc) {
      former.push_back(std::exchange(lists_[slot][lc], {}));
      for (std::uint32_t n : former.back()) {
        if (lists_[n].size() > lc) std::erase(lists_[n][lc], slot);
      }
    }
    // The entry node starts from its former neighbours on each layer instead of from above.
    if (slot == entry_) {
      connect(slot, lists_[slot].size() - 1, {}, former);
    } else {
      connect(slot, lists_[slot].size() - 1, {entry_}, {});
    }
  }

  std::vector<std::vector<std::uint32_t>> adjacency() const {
    std::vector<std::vector<std::uint32_t>> out;
    for (const auto& node : lists_) out.insert(out.end(), node.begin(), node.end());
    return out;
  }

 private:
  std::span<const float> v(std::uint32_t a) const { return row(vectors_, dim_, a); }
  float d(std::uint32_t a, std::span<const float> q) const {
    return distance::distance(q, v(a), metric_);
  }
  bool on(std::uint32_t n, std::size_t lc) const { return lists_[n].size() > lc; }

  std::size_t incoming(std::uint32_t e, std::size_t lc) const {
    std::size_t count = 0;
    for (const auto& node : lists_) count += node.size() > lc ? std::ranges::count(node[lc], e) : 0;
    return count;
  }

  std::uint32_t greedy(std::span<const float> q, std::uint32_t cur, std::size_t lc) const {
    for (std::uint32_t next = cur;; cur = next) {
      if (!on(cur, lc)) return cur;
      for (std::uint32_t n : lists_[cur][lc]) {
        if (d(n, q) < d(next, q)) next = n;
      }
      if (next == cur) return cur;
    }
  }

  std::vector<Candidate> beam(std::span<const float> q, const std::vector<std::uint32_t>& from,
                              std::size_t lc) const {
    std::vector<Candidate> candidates, results;
    std::set<std::uint32_t> visited;
    for (std::uint32_t e : from) {
      if (visited.insert(e).second) candidates.push_back({e, d(e, q)});
    }
    results = candidates;
    auto worst = [&] { return std::max_element(results.begin(), results.end(), by_distance); };
    while (!candidates.empty()) {
      auto it = std::min_element(candidates.begin(), candidates.end(), by_distance);
      const Candidate c = *it;
      candidates.erase(it);
      if (c.distance > worst()->distance) break;
      if (!on(c.slot, lc)) continue;
      for (std::uint32_t n : lists_[c.slot][lc]) {
        if (!visited.insert(n).second) continue;
        const float dn = d(n, q);
        if (dn < worst()->distance || results.size() < ef_) {
          candidates.push_back({n, dn});
          results.push_back({n, dn});
          if (results.size() > ef_) results.erase(worst());
        }
      }
    }
    std::stable_sort(results.begin(), results.end(), by_distance);
    return results;
  }

  // The diversity rule over pairs sorted by distance from their owner: the positions kept,
  // and those dropped as copies of a kept pair (equally far from the owner and from it).
  std::pair<std::vector<std::size_t>, std::set<std::size_t>> select(
      const std::vector<Candidate>& sorted, std::size_t limit) const {
    std::vector<std::size_t> kept;
    std::set<std::size_t> copies;
    for (std::size_t i = 0; i < sorted.size() && kept.size() < limit; ++i) {
      const Candidate& e = sorted[i];
      auto to = [&](std::size_t k) { return d(sorted[k].slot, v(e.slot)); };
      if (std::ranges::any_of(kept, [&](std::size_t k) {
            return sorted[k].distance == e.distance && to(k) == e.distance;
          })) {
        copies.insert(i);
      } else if (std::ranges::none_of(kept, [&](std::size_t k) { return to(k) < e.distance; })) {
        kept.push_back(i);
      }
    }
    return {kept, copies};
  }

  void link(std::uint32_t n, std::uint32_t slot, std::size_t lc, std::size_t mc) {
    auto& list = lists_[n][lc];
    if (list.size() < mc) {
      list.push_back(slot);
      return;
    }
    std::vector<Candidate> pairs;
    for (std::uint32_t e : list) pairs.push_back({e, d(e, v(n))});
    pairs.push_back({slot, d(slot, v(n))});
    std::stable_sort(pairs.begin(), pairs.end(), by_distance);
    auto [kept, copies] = select(pairs, mc);
    auto dropped = [&](std::size_t i) {
      return std::ranges::count(kept, i) == 0 && copies.count(i) == 0;
    };
    std::size_t fresh = pairs.size() - 1;
    while (pairs[fresh].slot != slot) --fresh;
    // Guard: an entry no other list on the layer holds stays while there is room.
    for (std::size_t i = 0; i < pairs.size() && kept.size() < mc; ++i) {
      if (dropped(i) && incoming(pairs[i].slot, lc) - (i == fresh ? 0 : 1) == 0) {
        kept.push_back(i);
      }
    }
    list.clear();
    for (std::size_t k : kept) list.push_back(pairs[k].slot);
    // Rescue: a dropped entry left with fewer than three incoming links gets one from the
    // closest kept entry.
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (!dropped(i) || incoming(pairs[i].slot, lc) >= 3) continue;
      std::size_t best = kept.front();
      for (std::size_t k : kept) {
        if (d(pairs[k].slot, v(pairs[i].slot)) < d(pairs[best].slot, v(pairs[i].slot))) best = k;
      }
      if (pairs[best].slot != pairs[i].slot) {
        pending_.push_back({pairs[best].slot, pairs[i].slot, lc});
      }
    }
  }

  void drain() {
    for (int budget = 64; !pending_.empty() && budget > 0; --budget) {
      const auto [owner, e, lc] = pending_.back();
      pending_.pop_back();
      if (std::ranges::count(lists_[owner][lc], e) == 0) link(owner, e, lc, lc == 0 ? 2 * m_ : m_);
    }
    pending_.clear();
  }

  void connect(std::uint32_t slot, std::size_t level, std::vector<std::uint32_t> from,
               const std::vector<std::vector<std::uint32_t>>& seeds) {
    const auto q = row(vectors_, dim_, slot);
    for (std::size_t lc = top_; lc > level; --lc) from = {greedy(q, from[0], lc)};
    for (std::size_t lc = std::min(level, top_) + 1; lc-- > 0;) {
      const std::size_t mc = lc == 0 ? 2 * m_ : m_;
      std::vector<std::uint32_t> entries = from;
      if (!seeds.empty()) {
        for (std::uint32_t e : seeds[lc]) {
          if (e != slot && on(e, lc)) entries.push_back(e);
        }
        for (std::uint32_t n = 0; entries.empty() && n < lists_.size(); ++n) {
          if (n != slot && on(n, lc)) entries.push_back(n);  // no deletions in these tests
        }
      }
      if (entries.empty()) continue;
      auto w = beam(q, entries, lc);
      std::erase_if(w, [slot](const Candidate& c) { return c.slot == slot; });
      if (!w.empty()) from = {w[0].slot};
      auto& own = lists_[slot][lc];
      own.clear();
      for (std::size_t k : select(w, mc).first) own.push_back(w[k].slot);
      for (std::uint32_t n : std::vector<std::uint32_t>(own)) {
        if (on(n, lc)) link(n, slot, lc, mc);
      }
      drain();
    }
  }

  std::size_t dim_, m_, ef_;
  Metric metric_;
  std::vector<float> vectors_;
  std::vector<std::vector<std::vector<std::uint32_t>>> lists_;
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::size_t>> pending_;  // rescues
  std::uint32_t entry_ = kNoEntry;
  std::size_t top_ = 0;
};

TEST(HnswIndexTest, LinkingMatchesThePlainRules) {
  const std::size_t dim = 6, n = 400;
  for (Metric metric : kMetrics) {
    SCOPED_TRACE(static_cast<int>(metric));
    // Distinct vectors only: the order among equal distances is left open.
    const auto data = random_data(n + 80, dim, 17);
    std::mt19937 rng(23);
    HnswIndex index(dim, 3, 12, metric);
    ReferenceGraph reference(dim, 3, 12, metric);
    auto insert = [&](std::size_t i, std::size_t level) {
      index.insert_with_level(row(data, dim, i), level);
      reference.insert(row(data, dim, i), level);
    };
    auto update = [&](std::uint32_t slot, std::span<const float> v) {
      index.update_vector(slot, v);
      reference.update(slot, v);
    };
    for (std::size_t i = 0; i < n; ++i) insert(i, rng() % 5 == 0 ? 1 + rng() % 3 : 0);
    ASSERT_EQ(adjacency(index), reference.adjacency());
    // Updates unlink the node from its former neighbours and leave lists whose order no
    // longer matches the moved vectors; later prunes of those lists must still see the
    // present distances.
    for (std::size_t i = 0; i < 60; ++i) {
      update(static_cast<std::uint32_t>(rng() % n), row(data, dim, n + i));
      if (i % 3 == 0) insert(n + 60 + i / 3, rng() % 4 == 0 ? 1 : 0);
    }
    EXPECT_EQ(adjacency(index), reference.adjacency());
    // Nudged nodes, the entry among them, are met again by the walk through the links that
    // still point at them, at almost their own place: they must not link to themselves.
    std::vector<std::uint32_t> nudged = {index.entry_point()};
    for (std::uint32_t s = 1; s < n; s += 23) nudged.push_back(s);
    for (std::uint32_t s : nudged) {
      std::vector<float> v(index.vector(s).begin(), index.vector(s).end());
      for (auto& x : v) x += 0.01f;
      update(s, v);
    }
    EXPECT_EQ(adjacency(index), reference.adjacency());
    EXPECT_EQ(index.entry_point(), reference.entry());
    expect_invariants(index);
  }
}

TEST(HnswIndexTest, EmptyAndOneNodeIndexes) {
  HnswIndex empty(2, 16, 200, Metric::Cosine);
  EXPECT_EQ(empty.max_level(), 0u);
  EXPECT_EQ(empty.ml(), 1.0 / std::log(16.0));
  const std::vector<float> q = {1, 2};
  EXPECT_TRUE(empty.search(q, 10, 50).empty());
  EXPECT_TRUE(empty.search_graph(q, 10, 50).empty());
  EXPECT_EQ(empty.layer0_entry(q), kNoEntry);
  EXPECT_TRUE(empty.batch_insert(std::vector<std::vector<float>>{}).empty());
  EXPECT_EQ(empty.node_count(), 0u);
  empty.enable_quantized_search();
  EXPECT_EQ(empty.quantized(), nullptr);
  expect_invariants(empty);
  // One node: an update moves the vector and its norm, and there is nothing to link.
  HnswIndex one(2, 4, 16, Metric::Euclidean);
  one.insert_with_level(std::vector<float>{1, 0}, 1);
  one.update_vector(0, std::vector<float>{3, 4});
  EXPECT_EQ(one.norms()[0], 5.0f);
  EXPECT_TRUE(one.neighbors(0, 0).empty() && one.neighbors(0, 1).empty());
  EXPECT_EQ(one.entry_point(), 0u);
  expect_invariants(one);
}

TEST(HnswIndexTest, RandomLevelDegenerateMultipliers) {
  // m = 0: the multiplier is -0, every level is 0. m = 1: it is infinite, and levels stop at
  // the cap instead of at the largest integer, which no node could hold.
  HnswIndex zero(2, 0, 10, Metric::Euclidean), one(2, 1, 10, Metric::Euclidean),
      sixteen(2, 16, 10, Metric::Euclidean);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(zero.random_level(), 0u);
    ASSERT_EQ(one.random_level(), HnswIndex::kMaxLevel);
    ASSERT_LT(sixteen.random_level(), 16u);
  }
}

TEST(HnswIndexTest, ListsStayWithinLimitsWithSmallMAfterBatchAndUpdates) {
  const std::size_t dim = 8;
  const auto data = random_data(900, dim, 1);
  for (Metric metric : kMetrics) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex index(dim, 2, 20, metric);
    for (std::size_t i = 0; i < 300; ++i) index.insert(row(data, dim, i));
    expect_invariants(index);
    std::vector<std::vector<float>> batch;
    for (std::size_t i = 300; i < 900; ++i) {
      batch.emplace_back(data.begin() + i * dim, data.begin() + (i + 1) * dim);
    }
    const auto slots = index.batch_insert(batch);
    ASSERT_EQ(slots.size(), 600u);
    for (std::size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i], 300 + i);
    expect_invariants(index);
    for (std::uint32_t s = 0; s < 900; s += 7) index.update_vector(s, row(data, dim, 899 - s));
    expect_invariants(index);
    EXPECT_EQ(index.count(), 900u);
  }
}

// A batch links its first 128 vectors on the calling thread exactly as single inserts would.
TEST(HnswIndexTest, BatchMatchesSequentialInsertsUpTo129) {
  const std::size_t dim = 6;
  for (std::size_t n : {1u, 2u, 128u, 129u}) {
    SCOPED_TRACE(n);
    const auto data = random_data(n, dim, 7);
    std::vector<std::size_t> levels(n);
    std::mt19937 rng(3);
    for (auto& l : levels) l = rng() % 7 == 0 ? 1 + rng() % 2 : 0;
    HnswIndex batched(dim, 4, 32, Metric::Euclidean), single(dim, 4, 32, Metric::Euclidean);
    batched.batch_insert_with_levels(data, levels);
    for (std::size_t i = 0; i < n; ++i) single.insert_with_level(row(data, dim, i), levels[i]);
    EXPECT_EQ(adjacency(batched), adjacency(single));
    EXPECT_EQ(batched.entry_point(), single.entry_point());
    EXPECT_EQ(batched.max_level(), single.max_level());
    expect_invariants(batched);
  }
}

// Entry point and top level of a batch, and every layer that has two nodes or more is
// linked, layer 0 to the top (on a layer of two or three nodes, linked means joined up: links
// are made both ways and no list is full). Positions up to 127 are linked sequentially. From
// position 128 on, a vector that raises the top level is linked before the parallel phase,
// so that the ones after it in the batch find its layers in place; a vector that does not
// raise it is linked in the parallel phase from the entry point fixed before that phase.
TEST(HnswIndexTest, BatchEntryPointAndLayers) {
  const std::size_t dim = 8;
  Levels every_50;  // the hierarchy of a large batch into an empty index
  for (std::size_t i = 128; i < 3000; i += 50) every_50.push_back({i, 1 + (i / 50) % 3});
  struct Case {
    const char* name;
    int existing;  // level of a vector in the index before the batch, -1 for none
    std::size_t n;
    Levels raised;
    std::uint32_t entry;
    std::size_t max_level;
  };
  const Case cases[] = {
      {"single vector", -1, 1, {{0, 3}}, 0, 3},
      {"first is entry before linking", -1, 5, {}, 0, 0},
      {"earlier of two equal tops, sequential", -1, 10, {{3, 4}, {7, 4}}, 3, 4},
      {"earlier of two equal tops, parallel", -1, 400, {{200, 4}, {300, 4}}, 200, 4},
      {"parallel beats sequential only when higher", -1, 400, {{5, 3}, {250, 3}, {260, 4}}, 260, 4},
      {"into a non-empty index, an equal top does not take over", 3, 200, {{150, 3}}, 0, 3},
      {"every layer of a large batch", -1, 3000, every_50, 128, 3},
      {"the last sequential one tops, the first parallel one descends through it",
       -1,
       131,
       {{127, 2}, {128, 1}},
       127,
       2},
      {"a new top in the parallel phase is linked first",
       -1,
       131,
       {{128, 2}, {129, 1}, {130, 1}},
       128,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HnswIndex index(dim, 4, 32, Metric::Euclidean);
    const std::size_t before = c.existing < 0 ? 0 : 1;
    if (before) index.insert_with_level(std::vector<float>(dim, 0.0f), c.existing);
    const auto slots =
        index.batch_insert_with_levels(clustered_data(c.n, dim, 57), levels_with(c.n, c.raised));
    ASSERT_EQ(slots.size(), c.n);
    for (std::size_t i = 0; i < c.n; ++i) EXPECT_EQ(slots[i], before + i);
    EXPECT_EQ(index.entry_point(), c.entry);
    EXPECT_EQ(index.max_level(), c.max_level);
    EXPECT_EQ(index.count(), before + c.n);
    for (std::size_t lc = 0; lc <= c.max_level; ++lc) {
      std::vector<std::uint32_t> on_layer;
      for (std::uint32_t s = 0; s < index.node_count(); ++s) {
        if (index.node_level(s) >= lc) on_layer.push_back(s);
      }
      for (std::uint32_t s : on_layer) {
        EXPECT_TRUE(on_layer.size() == 1 || !index.neighbors(s, lc).empty()) << s << " " << lc;
      }
    }
    expect_invariants(index);
  }
}

// The entry node is the only way into the top layers. Re-linked after an update, it must
// still reach every node of every layer, and searches must still find their way down.
TEST(HnswIndexTest, UpdatingTheEntryKeepsEveryLayerReachable) {
  const std::size_t dim = 8, n = 3000;
  const auto data = random_data(n + 1, dim, 31);
  std::mt19937 rng(32);
  for (std::uint32_t entry : {0u, 1500u}) {
    SCOPED_TRACE(entry);
    HnswIndex index(dim, 8, 32, Metric::Euclidean);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t level = rng() % 4 != 0 ? 0 : 1 + (rng() % 16 == 0) + (rng() % 64 == 0);
      index.insert_with_level(row(data, dim, i), i == entry ? 4 : level);
    }
    ASSERT_EQ(index.entry_point(), entry);
    for (std::size_t lc = 0; lc <= 4; ++lc) ASSERT_EQ(unreachable_on_layer(index, lc), 0u) << lc;
    index.update_vector(entry, row(data, dim, n));  // somewhere else entirely
    EXPECT_EQ(index.entry_point(), entry);
    EXPECT_EQ(index.node_level(entry), 4u);
    for (std::size_t lc = 0; lc <= 4; ++lc) {
      EXPECT_EQ(unreachable_on_layer(index, lc), 0u) << "layer " << lc;
      EXPECT_EQ(std::ranges::count(index.neighbors(entry, lc), entry), 0) << "self-link on " << lc;
    }
    EXPECT_EQ(missed_self_searches(index, 97, 32), 0u);
    expect_invariants(index);
  }
}

// Small lists fill with entries the neighbour rule keeps, so that it turns down the link back
// to a new node: a batch still leaves every node with an incoming link on layer 0 (30-50
// nodes without one here before the last pass over them could displace an entry).
TEST(HnswIndexTest, BatchLeavesEveryNodeAnIncomingLinkWithSmallLists) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    HnswIndex index(16, 4, 32, Metric::Euclidean);
    index.batch_insert_flat(clustered_data(5000, 16, seed));
    std::vector<std::uint8_t> linked(index.node_count(), 0);
    linked[index.entry_point()] = 1;
    for (std::uint32_t s = 0; s < index.node_count(); ++s) {
      for (std::uint32_t e : index.neighbors(s, 0)) linked[e] = 1;
    }
    EXPECT_EQ(std::ranges::count(linked, 0), 0);
  }
}

// Every stored vector is reachable, copies and all.
TEST(HnswIndexTest, EveryStoredVectorFindsItself) {
  const std::size_t dim = 16, n = 5000, copies = 24;
  auto data = random_data(n, dim, 71);
  for (std::size_t i = 0; i < copies; ++i) {  // three vectors stored nine times each
    const auto v = row(data, dim, i % 3);
    data.insert(data.end(), v.begin(), v.end());
  }
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex index(dim, 16, 100, metric);
    index.batch_insert_flat(data);
    EXPECT_EQ(missed_self_searches(index, 1, 64), 0u);
  }
}

// Tight, well separated clusters: keeping only the closest candidates as neighbours links
// each node to its own cluster alone, and the graph falls apart into islands that a search
// never leaves.
TEST(HnswIndexTest, GraphSearchCrossesTightClusters) {
  const std::size_t dim = 16, n = 20000;
  const auto points = clustered_data(n + 200, dim, 91, 200, 0.05f);  // the last 200 as queries
  HnswIndex index(dim, 16, 64, Metric::Cosine);
  index.batch_insert_flat(std::span<const float>(points).first(n * dim));
  const std::vector<float> queries(points.begin() + n * dim, points.end());
  EXPECT_GE(graph_recall(index, queries, 64), 0.95);  // 1.0 measured, 0.67 keeping the closest
}

// Linking may run on several threads at once: every list is read and written under its own
// lock only. Searches need no lock and run beside each other once linking is done. Plain
// threads rather than the pool, so that the race detector sees every hand-over.
TEST(HnswIndexTest, ConcurrentLinkingThenConcurrentSearches) {
  const std::size_t dim = 8;
  const auto data = clustered_data(1200, dim, 55);
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized);
    HnswIndex index(dim, 4, 24, Metric::Euclidean);
    index.batch_insert_flat(std::span<const float>(data).first(600 * dim));
    if (quantized) index.enable_quantized_search();
    auto on_threads = [](int count, const std::function<void(std::uint32_t)>& work) {
      std::vector<std::thread> threads;
      for (int t = 0; t < count; ++t) threads.emplace_back(work, static_cast<std::uint32_t>(t));
      for (auto& th : threads) th.join();
    };
    on_threads(2, [&](std::uint32_t t) {
      for (std::uint32_t s = t; s < 600; s += 2) {
        index.connect_node(s, index.node_level(s), index.entry_point());
      }
    });
    expect_invariants(index);
    on_threads(3, [&](std::uint32_t t) {
      for (std::size_t i = t; i < 600; i += 3) {
        const auto q = row(data, dim, 600 + i);
        EXPECT_EQ(index.search_graph(q, 5, 16).size(), 5u);
        EXPECT_NE(index.layer0_entry(q), kNoEntry);
      }
    });
  }
}

TEST(HnswIndexTest, DeletedSlotsAreWalkedButNeverReturned) {
  const std::size_t dim = 16;
  const auto data = clustered_data(1500, dim, 41);
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized);
    HnswIndex index(dim, 8, 64, Metric::Euclidean);
    index.batch_insert_flat(data);
    if (quantized) index.enable_quantized_search();
    const std::uint32_t entry = index.entry_point();
    EXPECT_TRUE(index.mark_deleted(entry));
    EXPECT_FALSE(index.mark_deleted(entry));
    for (std::uint32_t s = 0; s < 1500; s += 2) index.mark_deleted(s);
    expect_invariants(index);
    for (std::size_t i = 0; i < 50; ++i) {
      const auto q = row(data, dim, i * 29);
      const auto exact = index.search(q, 10, 40);
      EXPECT_EQ(exact.size(), 10u);
      const auto graph = index.search_graph(q, 10, 40);
      EXPECT_EQ(graph.size(), 10u);
      for (const auto* result : {&exact, &graph}) {
        for (const Candidate& c : *result) EXPECT_FALSE(index.is_deleted(c.slot)) << c.slot;
      }
    }
    for (std::uint32_t s = 1; s < 1500; s += 2) index.mark_deleted(s);
    EXPECT_TRUE(index.search(row(data, dim, 1), 5, 10).empty());
    EXPECT_TRUE(index.search_graph(row(data, dim, 1), 5, 10).empty());
  }
}

TEST(HnswIndexTest, ExactScanDegenerateCases) {
  constexpr std::uint32_t kAny = kNoEntry;
  struct Case {
    const char* name;
    Metric metric;
    std::vector<float> data, query;
    int deleted;                  // -1 for none
    std::vector<Candidate> want;  // slot kAny: any slot
    float tolerance;              // of the first distance; the others are exact
  };
  const std::vector<float> three = {1, 2, 3, 0, 0, 0, -1, 0, 4};
  // clang-format off
  const Case cases[] = {
      {"cosine, zero query: the pairwise distance, 0 for two zero vectors and 1 otherwise",
       Metric::Cosine, three, {0, 0, 0}, -1, {{1, 0}, {kAny, 1}, {kAny, 1}}, 0},
      {"cosine, zero query with a deletion: the same",
       Metric::Cosine, three, {0, 0, 0}, 2, {{1, 0}, {0, 1}}, 0},
      {"cosine, zero-norm stored vector: distance 1",
       Metric::Cosine, {0, 0, 0, 1, 1, 0}, {1, 1, 0}, -1, {{1, 0}, {0, 1}}, 1e-6f},
      {"dot product: the negated product",
       Metric::DotProduct, {1, 2, 3, 4}, {1, 1}, -1, {{1, -7}, {0, -3}}, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HnswIndex index(c.query.size(), 4, 16, c.metric);
    index.batch_insert_flat(c.data);
    if (c.deleted >= 0) index.mark_deleted(static_cast<std::uint32_t>(c.deleted));
    const auto r = index.search(c.query, 10, 10);
    ASSERT_EQ(r.size(), c.want.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
      EXPECT_EQ(r[i].slot, c.want[i].slot == kAny ? r[i].slot : c.want[i].slot);
      EXPECT_NEAR(r[i].distance, c.want[i].distance, i == 0 ? c.tolerance : 0);
    }
  }
  {
    SCOPED_TRACE("far from the origin, a vector is nearest to itself at distance 0");
    const std::size_t dim = 16;
    const auto data = random_data(200, dim, 51, 900, 1100);
    HnswIndex index(dim, 4, 16, Metric::Euclidean);
    index.batch_insert_flat(data);
    for (std::uint32_t i = 0; i < 200; ++i) {
      EXPECT_EQ(index.search(row(data, dim, i), 1, 10)[0], (Candidate{i, 0.0f}));
    }
  }
}

// Every live slot (or every slot of `among`) measured by the pair kernel: the answer the
// bounded scan must give.
std::vector<Candidate> measure_all(const HnswIndex& index, std::span<const float> q,
                                   std::size_t k, std::span<const std::uint32_t> among = {}) {
  std::vector<Candidate> pairs;
  auto add = [&](std::uint32_t s) {
    pairs.push_back({s, distance::distance(q, index.vector(s), index.metric())});
  };
  if (among.empty()) {
    for (std::uint32_t s = 0; s < index.node_count(); ++s) {
      if (!index.is_deleted(s)) add(s);
    }
  } else {
    for (std::uint32_t s : among) add(s);
  }
  select_nearest(pairs, k);
  return pairs;
}

TEST(HnswIndexTest, BoundedExactScanEqualsMeasuringEverySlot) {
  constexpr std::size_t kRows = 2500;  // above the count where search_exact bounds its scan
  struct Case {
    const char* name;
    std::size_t dim;
    std::function<std::vector<float>(std::size_t dim)> data;
  };
  auto duplicates_and_zeros = [](std::size_t dim) {
    const auto distinct = random_data(200, dim, 7);
    std::vector<float> v(kRows * dim, 0.0f);
    for (std::size_t i = 0; i < kRows; ++i) {
      if (i % 7 == 3) continue;  // a zero vector
      std::copy_n(distinct.begin() + static_cast<std::ptrdiff_t>(i % 200 * dim), dim,
                  v.begin() + static_cast<std::ptrdiff_t>(i * dim));
    }
    return v;
  };
  auto mixed_scales = [](std::size_t dim) {
    auto v = random_data(kRows, dim, 8);
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> exponent(-3, 3);
    for (std::size_t i = 0; i < kRows; ++i) {
      const float scale = std::pow(10.0f, exponent(rng));
      for (std::size_t j = 0; j < dim; ++j) v[i * dim + j] *= scale;
    }
    return v;
  };
  // clang-format off
  const Case cases[] = {
      {"uniform", 24, [](std::size_t d) { return random_data(kRows, d, 1); }},
      {"far from the origin", 16, [](std::size_t d) { return random_data(kRows, d, 2, 900, 1100); }},
      // Wide enough for the 4-bit pass before the 8-bit one, and not a multiple of 64.
      {"clustered, padded dimension", 300, [](std::size_t d) { return clustered_data(kRows, d, 3); }},
      {"duplicates and zero vectors", 7, duplicates_and_zeros},
      {"norms over six decades", 40, mixed_scales},
      // The 4-bit pass over codes that leave the quiet dimensions out.
      {"quiet dimensions", 264,
       [](std::size_t d) { return quieten(clustered_data(kRows, d, 4), d); }},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (Metric metric : kMetrics) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::string(distance::metric_name(metric)));
      const auto data = c.data(c.dim);
      HnswIndex index(c.dim, 4, 16, metric);
      index.batch_insert_flat(data);
      std::mt19937 rng(11);
      std::vector<std::vector<float>> queries;
      for (std::size_t i = 0; i < 12; ++i) {
        const auto r = row(data, c.dim, rng() % kRows);
        queries.emplace_back(r.begin(), r.end());  // ties with duplicates, distance 0
      }
      for (unsigned seed = 0; seed < 6; ++seed) {
        queries.push_back(random_data(1, c.dim, 100 + seed, -2, 2));
        auto near = queries[seed];
        for (float& x : near) x += 1e-3f * static_cast<float>(seed);
        queries.push_back(near);
      }
      queries.emplace_back(c.dim, 0.0f);
      auto far = queries[0];
      for (float& x : far) x *= 1000.0f;
      queries.push_back(far);

      auto check = [&](const char* stage) {
        SCOPED_TRACE(stage);
        std::vector<std::uint32_t> among;
        for (std::uint32_t s = 0; s < index.node_count(); s += 3) {
          if (!index.is_deleted(s)) among.push_back(s);
        }
        for (std::size_t qi = 0; qi < queries.size(); ++qi) {
          SCOPED_TRACE(qi);
          const auto& q = queries[qi];
          // Only a zero query under cosine is left to the plain scan.
          const bool boundable =
              metric != Metric::Cosine || std::any_of(q.begin(), q.end(), [](float x) { return x != 0; });
          for (std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{100},
                                index.node_count() + 5}) {
            const auto want = measure_all(index, q, k);
            EXPECT_EQ(index.search_exact(q, k), want);
            const auto got = index.search_bounded(q, k, {});
            ASSERT_EQ(got.has_value(), boundable);
            if (got) {
              EXPECT_EQ(*got, want) << "k " << k;
            }
            if (const auto part = index.search_bounded(q, k, among)) {
              EXPECT_EQ(*part, measure_all(index, q, k, among)) << "k " << k << ", among";
            }
          }
        }
      };
      check("as built");
      // Vectors beyond the ranges the codes were taken from, replaced vectors and deletions.
      const auto wider = random_data(300, c.dim, 12, -3, 3);
      index.batch_insert_flat(wider);
      for (std::uint32_t s = 0; s < 40; ++s) index.update_vector(s * 17, row(wider, c.dim, s));
      for (std::uint32_t s = 5; s < index.node_count(); s += 4) index.mark_deleted(s);
      check("after inserts, updates and deletions");
    }
  }
}

// Scans reading more than a megabyte of codes split each pass over the pool's threads and
// merge what the parts keep: the answer must still be that of measuring every slot, through
// the 4-bit pass (clustered) and the 8-bit pass alone (noise, where the 4-bit one gives up).
TEST(HnswIndexTest, BoundedScanSplitOverThreadsEqualsMeasuringEverySlot) {
  constexpr std::size_t kRows = 6000, kDim = 512;
  for (const bool clustered : {true, false}) {
    for (Metric metric : kMetrics) {
      SCOPED_TRACE(std::string(clustered ? "clustered, " : "noise, ") +
                   std::string(distance::metric_name(metric)));
      const auto data = clustered ? clustered_data(kRows, kDim, 61) : random_data(kRows, kDim, 61);
      HnswIndex index(kDim, 4, 16, metric);
      index.batch_insert_flat(data);
      for (std::uint32_t s = 3; s < kRows; s += 5) index.mark_deleted(s);
      std::vector<std::uint32_t> among;
      for (std::uint32_t s = 0; s < kRows; s += 2) {
        if (!index.is_deleted(s)) among.push_back(s);
      }
      for (unsigned qi = 0; qi < 8; ++qi) {
        const auto q = qi < 4 ? std::vector<float>(row(data, kDim, qi * 977).begin(),
                                                   row(data, kDim, qi * 977).end())
                              : random_data(1, kDim, 200 + qi);
        for (std::size_t k : {1, 10}) {
          EXPECT_EQ(index.search_bounded(q, k, {}), measure_all(index, q, k)) << qi << " " << k;
          EXPECT_EQ(index.search_bounded(q, k, among), measure_all(index, q, k, among))
              << qi << " " << k << ", among";
        }
      }
    }
  }
}

// Threads that start exact scans together build the bounded scan's codes once, under its
// lock, and all get the answer of measuring every slot.
TEST(HnswIndexTest, ConcurrentFirstExactScansShareTheirCodes) {
  const std::size_t dim = 24;
  const auto data = random_data(3000, dim, 57);
  HnswIndex index(dim, 4, 16, Metric::Euclidean);
  index.batch_insert_flat(data);
  const auto queries = random_data(12, dim, 58);
  std::vector<std::vector<Candidate>> got(12);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < 12; i += 3) got[i] = index.search_exact(row(queries, dim, i), 10);
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(got[i], measure_all(index, row(queries, dim, i), 10));
}

TEST(HnswIndexTest, BothSidesOfTheExactScanThresholdMeasureAlike) {
  // One all-zero vector under cosine: the pairwise convention (0 for two zero vectors) on the
  // exact scan below ten million floats and on the graph from there on.
  for (std::size_t dim : {kExactScanFloats - 1, kExactScanFloats}) {
    SCOPED_TRACE(dim);
    HnswIndex index(dim, 4, 16, Metric::Cosine);
    const std::vector<float> zero(dim, 0.0f);
    index.insert(zero);
    const auto r = index.search(zero, 1, 10);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].distance, 0.0f);
  }
}

// Recall@10 of the graph path, with and without quantization; the quantized path re-ranks
// with exact distances.
TEST(HnswIndexTest, GraphRecallAndQuantizedSearchReturnsExactDistances) {
  const std::size_t dim = 32;
  const auto data = clustered_data(3000, dim, 81);
  const auto queries = clustered_data(100, dim, 82);
  for (Metric metric : kMetrics) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex index(dim, 16, 100, metric);
    index.batch_insert_flat(data);
    EXPECT_GT(graph_recall(index, queries, 64), 0.93);  // measured around 0.98 for both
    index.enable_quantized_search();
    ASSERT_NE(index.quantized(), nullptr);
    EXPECT_GT(graph_recall(index, queries, 64), 0.93);
    // Inserts and updates after enabling keep the codes current.
    index.insert(row(data, dim, 3));
    index.update_vector(5, row(data, dim, 6));
    expect_invariants(index);
    const QuantizedSearch& qs = *index.quantized();
    EXPECT_EQ(std::vector<std::uint8_t>(qs.codes.begin() + 5 * dim, qs.codes.begin() + 6 * dim),
              qs.quantizer.quantize(row(data, dim, 6)));
    std::vector<float> scratch(dim), decoded(dim);
    for (std::size_t i = 0; i < 30; ++i) {
      const auto q = row(data, dim, i * 61 + 1);
      const auto r = index.search_graph(q, 10, 50);
      ASSERT_EQ(r.size(), 10u);
      EXPECT_TRUE(std::is_sorted(r.begin(), r.end(), by_distance));
      for (std::size_t j = 0; j < r.size(); ++j) {
        EXPECT_EQ(r[j].distance, distance::distance(q, index.vector(r[j].slot), metric));
      }
      const std::uint32_t s = r.back().slot;
      qs.quantizer.decode(&qs.codes[s * dim], decoded.data());
      EXPECT_EQ(index.quantized_distance(q, s, scratch), distance::distance(q, decoded, metric));
    }
    index.disable_quantized_search();
    EXPECT_EQ(index.quantized(), nullptr);

  }
}

// Compressed traversal: at each width at least the f32 walk's recall (within noise), exact
// distances, and with a beam wide enough to hold every node the exact answer (the re-rank
// skips only candidates its bounds rule out); likewise after changes made with it on. A
// graph linked walking on the codes serves the f32 walk as well as one linked on floats.
TEST(HnswIndexTest, CompressedWalkKeepsRecallAndExactAnswers) {
  // Plain, whole numbers (as pixels are: the re-rank measures rows from their codes), quiet
  // dimensions the 4-bit codes leave out, tight clusters (walked on the 8-bit codes, whose
  // re-rank measures only the first few of the beam), and clusters apart but not tight, whose
  // 4-bit walk fell to 0.83 at ef 10 against the f32 walk's 0.94.
  for (const char* kind : {"plain", "whole numbers", "quiet dimensions", "tight clusters",
                           "separated clusters"}) {
    const bool whole = std::string(kind) == "whole numbers";
    const bool quiet = std::string(kind) == "quiet dimensions";
    const bool tight = std::string(kind) == "tight clusters";
    const bool separated = std::string(kind) == "separated clusters";
    const std::size_t dim = quiet ? 136 : 32;
    auto data = quiet       ? with_quiet_dims(3000, dim, 81)
                : tight     ? clustered_data(3100, dim, 81, 30, 0.05f)
                : separated ? clustered_data(3100, dim, 81, 30, 0.3f)
                            : clustered_data(3000, dim, 81);
    auto queries = quiet ? with_quiet_dims(100, dim, 82) : clustered_data(100, dim, 82);
    if (tight || separated) {  // the last 100, from the same clusters
      queries.assign(data.end() - 100 * dim, data.end());
      data.resize(3000 * dim);
    }
    // (A -0.0 would not decode back to its own bits, and would keep the rows from decoding.)
    if (whole) {
      for (auto* v : {&data, &queries}) {
        for (float& x : *v) x = std::nearbyint(10.0f * x) + 0.0f;
      }
    }
    for (Metric metric : kMetrics) {
      // The decoded rows meet the same pair kernel under every metric, and neither the left-out
      // dimensions nor the shorter re-rank depend on it: one is enough (cosine reads every
      // term of the estimate).
      if (whole && metric != Metric::Euclidean) continue;
      if ((quiet || tight || separated) && metric != Metric::Cosine) continue;
      SCOPED_TRACE(std::to_string(static_cast<int>(metric)) + ", " + kind);
      HnswIndex index(dim, 16, 100, metric);
      index.enable_compressed_search();
      index.batch_insert_flat(data);
      for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "as built" : "after inserts, updates and deletions");
        // Against the f32 walk on the same graph: the changes cost both walks recall in a few
        // builds of the tight clusters (0.97 to 0.90 at ef 10 in 1 build of 20). The rows
        // inserted are the queries, which in the first three kinds lie around other centres,
        // partly outside the ranges the codes were taken from: clamped, they cost the 4-bit
        // walk up to 0.017 at ef 10 against the f32 walk's 0.83-0.86 (dot product, 12 builds).
        index.disable_compressed_search();
        const double f32_at_10 = graph_recall(index, queries, 10);
        const double f32_at_32 = graph_recall(index, queries, 32);
        if (round == 0) {
          EXPECT_GT(f32_at_32, 0.9);  // measured 0.93-0.95
        }
        index.enable_compressed_search();
        const double slack = round == 0 ? 0.01 : 0.025;
        EXPECT_GE(graph_recall(index, queries, 10), f32_at_10 - slack);
        EXPECT_GE(graph_recall(index, queries, 32), f32_at_32 - slack);
        for (std::size_t i = 0; i < 100; ++i) {
          const auto q = row(queries, dim, i);
          const auto r = index.search_graph(q, 20, index.node_count());
          const auto truth = brute_force(index, q, 20);
          ASSERT_EQ(r.size(), truth.size());
          for (std::size_t j = 0; j < r.size(); ++j) {
            // Copies of a vector tie: the distances say whether the answer is the exact one.
            EXPECT_EQ(r[j].distance, distance::distance(q, index.vector(truth[j]), metric));
            EXPECT_EQ(r[j].distance, distance::distance(q, index.vector(r[j].slot), metric));
          }
        }
        // Mutations with the mode on: the codes follow every changed vector.
        for (std::size_t i = 0; i < 40; ++i) index.insert(row(queries, dim, 99 - i));
        for (std::uint32_t s = 0; s < 40; ++s) {
          index.update_vector(s * 7, row(data, dim, s * 11 + 3));
        }
        for (std::uint32_t s = 1; s < 200; s += 5) index.mark_deleted(s);
      }
    }
  }
}

// A row whose walk estimate is no number (NaN components under cosine) orders after every
// other in the compressed walk's beam: unordered, at the end of a full beam, it would turn
// away every newcomer. Deleted as well, so that the answers are the live rows'.
TEST(HnswIndexTest, CompressedWalkPassesOverRowsWithoutAnEstimate) {
  const std::size_t dim = 16, n = 2000;
  const auto data = clustered_data(n, dim, 45);
  const auto queries = clustered_data(50, dim, 46);
  HnswIndex index(dim, 8, 64, Metric::Cosine);
  index.enable_compressed_search();
  index.batch_insert_flat(data);
  const double clean = graph_recall(index, queries, 32);
  const std::vector<float> nan_row(dim, std::numeric_limits<float>::quiet_NaN());
  for (std::uint32_t s = 0; s < n; s += 7) {
    index.update_vector(s, nan_row);
    index.mark_deleted(s);
  }
  EXPECT_GE(graph_recall(index, queries, 32), clean - 0.05);
}

// Renumbering in locality order keeps the graph node for node, the vectors, the deletions and
// the search mode, so every answer names the same records at the same distances; and the
// order does put rows near one another next to one another.
TEST(HnswIndexTest, RenumberingInLocalityOrderKeepsGraphAndAnswers) {
  const std::size_t dim = 16, n = 2000;
  const auto data = clustered_data(n, dim, 91, 40, 0.3f);
  const auto queries = clustered_data(30, dim, 92, 40, 0.3f);
  const auto step_sum = [&](const HnswIndex& index) {
    double sum = 0.0;
    for (std::uint32_t s = 1; s < n; ++s) {
      sum += distance::distance(index.vector(s - 1), index.vector(s), Metric::Euclidean);
    }
    return sum;
  };
  for (Metric metric : kMetrics) {
    for (const char* mode : {"f32", "sq8", "compressed"}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(metric)) + " " + mode);
      HnswIndex index(dim, 8, 64, metric);
      index.batch_insert_flat(data);
      for (std::uint32_t s = 0; s < n; s += 13) index.mark_deleted(s);
      if (mode[0] == 's') index.enable_quantized_search();
      if (mode[0] == 'c') index.enable_compressed_search();
      const auto order = index.locality_order();
      ASSERT_EQ(order.size(), n);
      std::vector<std::uint32_t> new_of(n, kNoEntry);
      for (std::uint32_t i = 0; i < n; ++i) new_of[order[i]] = i;
      ASSERT_EQ(std::count(new_of.begin(), new_of.end(), kNoEntry), 0);
      auto fresh = index.renumbered(order);
      ASSERT_TRUE(fresh.has_value());
      const HnswIndex& r = **fresh;
      expect_invariants(r);
      EXPECT_LT(step_sum(r), 0.5 * step_sum(index));
      EXPECT_EQ(r.entry_point(), new_of[index.entry_point()]);
      EXPECT_EQ(r.max_level(), index.max_level());
      EXPECT_EQ(r.count(), index.count());
      EXPECT_EQ(r.quantized() != nullptr, mode[0] == 's');
      EXPECT_EQ(r.compressed_search(), mode[0] == 'c');
      for (std::uint32_t old = 0; old < n; ++old) {
        const std::uint32_t now = new_of[old];
        ASSERT_TRUE(std::ranges::equal(r.vector(now), index.vector(old)));
        ASSERT_EQ(r.is_deleted(now), index.is_deleted(old));
        ASSERT_EQ(r.node_level(now), index.node_level(old));
        for (std::size_t lc = 0; lc <= index.node_level(old); ++lc) {
          auto want = index.neighbors(old, lc);
          for (auto& e : want) e = new_of[e];
          ASSERT_EQ(r.neighbors(now, lc), want) << old << " on layer " << lc;
        }
      }
      for (std::size_t i = 0; i < 30; ++i) {
        const auto q = row(queries, dim, i);
        for (const bool graph : {false, true}) {
          const auto a = graph ? index.search_graph(q, 10, 40) : index.search_exact(q, 10);
          const auto b = graph ? r.search_graph(q, 10, 40) : r.search_exact(q, 10);
          ASSERT_EQ(a.size(), b.size());
          for (std::size_t j = 0; j < a.size(); ++j) {
            EXPECT_EQ(order[b[j].slot], a[j].slot);
            EXPECT_EQ(b[j].distance, a[j].distance);
          }
        }
      }
    }
  }
  // Too few rows to group: nothing moves.
  HnswIndex small(dim, 8, 64, Metric::Euclidean);
  small.batch_insert_flat(std::span<const float>(data).first(100 * dim));
  const auto order = small.locality_order();
  EXPECT_TRUE(std::ranges::is_sorted(order));
}

// Files written before an update of the entry node re-linked it from its former neighbours
// can hold upper-layer links to nodes without that layer. They load, are searched past, and
// the first prune of such a list drops them.
// A graph as a file hands it over: m = 2, two layers, node 0 the entry point, one vector per
// node taken from the front of `data`.
LoadedGraph two_layers(std::size_t dim, std::vector<std::vector<std::vector<std::uint32_t>>> layers,
                       const std::vector<float>& data) {
  LoadedGraph g;
  g.dim = dim;
  g.m = 2;
  g.ef_construction = 16;
  g.metric = Metric::Euclidean;
  g.entry_point = 0;
  g.max_level = 1;
  g.vectors = VectorStore(std::span<const float>(data).first(layers.size() * dim));
  for (std::size_t i = 0; i < layers.size(); ++i) g.norms.push_back(vector_norm(row(data, dim, i)));
  g.layers = std::move(layers);
  return g;
}

// A prune skips the diversity tests among the entries the list's last prune kept, while the
// list has only grown since. An index loaded halfway remembers no prune, so the same inserts
// and updates must leave it with the graph of one that remembered all along.
TEST(HnswIndexTest, PrunesThatRememberTheLastOneBuildTheSameGraph) {
  const std::size_t dim = 16, n = 2000;
  const auto data = clustered_data(n, dim, 83);
  auto level = [](std::size_t i) { return i % 97 == 0 ? 2u : i % 13 == 0 ? 1u : 0u; };
  for (Metric metric : kMetrics) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex whole(dim, 6, 48, metric), half(dim, 6, 48, metric);
    // Updates along the way move distances under lists the prunes remember.
    auto add = [&](HnswIndex& index, std::size_t i) {
      index.insert_with_level(row(data, dim, i), level(i));
      if (i % 50 == 0 && i >= n / 2) index.update_vector(i / 3, row(data, dim, i - 7));
    };
    for (std::size_t i = 0; i < n; ++i) add(whole, i);
    for (std::size_t i = 0; i < n / 2; ++i) half.insert_with_level(row(data, dim, i), level(i));
    LoadedGraph g;
    g.dim = dim, g.m = 6, g.ef_construction = 48, g.metric = metric;
    g.entry_point = half.entry_point(), g.max_level = half.max_level();
    g.vectors = VectorStore(half.vectors());
    g.norms.assign(half.norms().begin(), half.norms().end());
    for (std::uint32_t s = 0; s < n / 2; ++s) {
      g.layers.emplace_back();
      for (std::size_t lc = 0; lc <= half.node_level(s); ++lc) {
        g.layers.back().push_back(half.neighbors(s, lc));
      }
    }
    auto loaded = HnswIndex::from_loaded(std::move(g));
    ASSERT_TRUE(loaded);
    HnswIndex& rest = **loaded;
    for (std::size_t i = n / 2; i < n; ++i) add(rest, i);
    for (std::uint32_t s = 0; s < n; ++s) {
      for (std::size_t lc = 0; lc <= whole.node_level(s); ++lc) {
        ASSERT_EQ(whole.neighbors(s, lc), rest.neighbors(s, lc)) << s << " " << lc;
      }
    }
  }
}

TEST(HnswIndexTest, LinksBelowTheirLayerFromOlderFilesAreSurvived) {
  const std::size_t dim = 4, n = 6;
  const auto data = random_data(n + 200, dim, 95);
  // The entry's layer-1 list holds 2 and 3, which have no layer 1.
  auto loaded = HnswIndex::from_loaded(two_layers(
      dim, {{{1, 2}, {2, 3}}, {{0, 4}, {0}}, {{0, 3}}, {{2, 5}}, {{1, 5}}, {{3, 4}}}, data));
  ASSERT_TRUE(loaded);
  HnswIndex& index = **loaded;
  EXPECT_EQ(index.search_graph(row(data, dim, 5), 1, 8)[0].slot, 5u);
  for (std::size_t i = n; i < n + 200; ++i) index.insert_with_level(row(data, dim, i), i % 3 == 0);
  for (std::uint32_t s : index.neighbors(0, 1)) EXPECT_GE(index.node_level(s), 1u) << s;
  expect_invariants(index);
}

// Layer 2 holds a local minimum: the entry's one neighbour there lies farther from the query,
// and only through it is node 2 reached, whose part of layer 0 holds the answer. Layer 0
// joins neither part to the other, so a descent that stops at the entry answers wrongly at
// any ef, in every mode.
TEST(HnswIndexTest, DescentGetsPastALocalMinimumOfTheUpperLayers) {
  const std::vector<float> data = {0, 0, -3, 0, 9, 0, -1, 1, 10, 0.5f, 11, 0};
  LoadedGraph g;
  g.dim = 2, g.m = 2, g.ef_construction = 16, g.metric = Metric::Euclidean;
  g.entry_point = 0, g.max_level = 2;
  g.vectors = VectorStore(std::span<const float>(data));
  for (std::size_t i = 0; i < 6; ++i) g.norms.push_back(vector_norm(row(data, 2, i)));
  g.layers = {{{1, 3}, {1}, {1}}, {{0, 3}, {0}, {0, 2}}, {{4, 5}, {1}, {1}},
              {{0, 1}}, {{2, 5}}, {{2, 4}}};
  auto loaded = HnswIndex::from_loaded(std::move(g));
  ASSERT_TRUE(loaded);
  HnswIndex& index = **loaded;
  const std::vector<float> q = {10, 0};
  for (int mode = 0; mode < 3; ++mode) {
    SCOPED_TRACE(mode);
    if (mode == 1) index.enable_quantized_search();
    if (mode == 2) index.enable_compressed_search();
    EXPECT_EQ(index.layer0_entry(q), 2u);
    EXPECT_EQ(index.search_graph(q, 1, 4).at(0).slot, 4u);
  }
}

TEST(HnswIndexTest, FromLoadedRejectsInconsistentGraphs) {
  auto base = [] { return two_layers(2, {{{1}, {1}}, {{0}, {0}}, {{0, 1}}}, {1, 2, 3, 4, 5, 6}); };
  ASSERT_TRUE(HnswIndex::from_loaded(base()));
  // clang-format off
  const std::pair<const char*, void (*)(LoadedGraph&)> cases[] = {
      {"neighbour out of range", [](LoadedGraph& g) { g.layers[2][0][1] = 3; }},
      {"list over its limit", [](LoadedGraph& g) { g.layers[1][1] = {0, 2, 2}; }},
      {"layer-0 list over its limit", [](LoadedGraph& g) { g.layers[2][0] = {0, 1, 0, 1, 0}; }},
      {"entry point out of range", [](LoadedGraph& g) { g.entry_point = 3; }},
      {"entry point below the top", [](LoadedGraph& g) { g.entry_point = 2; }},
      {"no entry point", [](LoadedGraph& g) { g.entry_point = kNoEntry; }},
      {"node above the top layer", [](LoadedGraph& g) { g.layers[2] = {{}, {}, {}}; }},
      {"node with no layers", [](LoadedGraph& g) { g.layers[2].clear(); }},
      {"deleted slot out of range", [](LoadedGraph& g) { g.deleted = {5}; }},
      {"short vectors", [](LoadedGraph& g) { g.vectors = VectorStore(std::vector<float>(5)); }},
      {"short norms", [](LoadedGraph& g) { g.norms.pop_back(); }},
      {"huge m", [](LoadedGraph& g) { g.m = 1u << 30; }},
  };
  // clang-format on
  for (const auto& [name, damage] : cases) {
    SCOPED_TRACE(name);
    LoadedGraph g = base();
    damage(g);
    auto r = HnswIndex::from_loaded(std::move(g));
    ASSERT_TRUE(testing::Fails(r, error::ErrorKind::Io));
    EXPECT_EQ(r.error().io_error().kind, error::IoKind::InvalidData);
  }
  LoadedGraph empty;
  empty.dim = 3;
  auto r = HnswIndex::from_loaded(std::move(empty));
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)->entry_point(), kNoEntry);
  EXPECT_EQ((*r)->count(), 0u);
}

// A beam filled with deleted nodes (the query's whole neighbourhood deleted), or a k beyond
// what the beam can meet, must still give min(k, live) live hits, nearest first.
TEST(HnswIndexTest, GraphSearchReturnsMinOfKAndLiveHits) {
  const std::size_t dim = 8, n = 400;
  const auto data = clustered_data(n, dim, 61);
  const auto q = row(data, dim, 0);
  std::vector<Candidate> nearest;
  for (std::uint32_t s = 0; s < n; ++s) {
    nearest.push_back({s, distance::distance(q, row(data, dim, s), Metric::Euclidean)});
  }
  std::sort(nearest.begin(), nearest.end(), by_distance);
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized ? "quantized" : "full precision");
    HnswIndex index(dim, 8, 32, Metric::Euclidean);
    index.batch_insert_flat(data);
    if (quantized) index.enable_quantized_search();
    for (std::size_t i = 0; i < 150; ++i) index.mark_deleted(nearest[i].slot);
    // k and width: the query's 150 nearest are deleted.
    for (auto [k, ef] : {std::pair<std::size_t, std::size_t>{10, 10}, {10, 50}, {1000, 10}}) {
      const auto got = index.search_graph(q, k, ef);
      ASSERT_EQ(got.size(), std::min(k, index.count())) << k << " " << ef;
      EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), by_distance));
      for (const Candidate& c : got) EXPECT_FALSE(index.is_deleted(c.slot)) << c.slot;
    }
  }
  // Nodes 2 and 3 are in no list: no walk meets them.
  const auto small = random_data(4, 2, 7);
  auto loaded =
      HnswIndex::from_loaded(two_layers(2, {{{1}, {1}}, {{0}, {0}}, {{0, 1}}, {{0}}}, small));
  ASSERT_TRUE(loaded);
  EXPECT_EQ((*loaded)->search_graph(row(small, 2, 0), 10, 10).size(), 4u);
}

TEST(SelectKTest, MatchesAFullStableSort) {
  std::mt19937 rng(101);
  for (std::size_t n : {0u, 1u, 5u, 20u, 21u, 40u, 300u, 5000u}) {
    for (std::size_t k : {0u, 1u, 3u, 10u, 21u, 100u, 6000u}) {
      SCOPED_TRACE(std::to_string(n) + " choose " + std::to_string(k));
      std::vector<Candidate> pairs(n);
      // Few distinct values, so that ties are everywhere.
      for (std::uint32_t i = 0; i < n; ++i) pairs[i] = {i, static_cast<float>(rng() % 17)};
      auto expected = pairs;
      std::stable_sort(expected.begin(), expected.end(), by_distance);
      expected.resize(std::min(n, k));
      select_k(pairs, k);
      ASSERT_EQ(pairs.size(), expected.size());
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_EQ(pairs[i].distance, expected[i].distance);
        // Nothing selected away: a plain stable sort.
        EXPECT_EQ(pairs[i].slot, k >= n ? expected[i].slot : pairs[i].slot);
      }
    }
  }
}

TEST(SelectKTest, NanDistancesSortLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<Candidate> pairs;
  for (std::uint32_t i = 0; i < 100; ++i) {
    pairs.push_back({i, i % 3 == 0 ? nan : static_cast<float>(100 - i)});
  }
  auto all = pairs;
  select_k(pairs, 10);
  ASSERT_EQ(pairs.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_FALSE(std::isnan(pairs[i].distance));
  EXPECT_EQ(pairs[0].slot, 98u);
  stable_sort_by_distance(all);
  EXPECT_EQ(all[0].slot, 98u);
  for (std::size_t i = 66; i < 100; ++i) EXPECT_TRUE(std::isnan(all[i].distance));
}

}  // namespace
}  // namespace quarn_core::hnsw
