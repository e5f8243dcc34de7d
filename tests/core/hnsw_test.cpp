#pragma GCC optimize("fp-contract=off")  // reference formulas below are separate mul and add

#include "quarn_core/hnsw.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "testutil.hpp"

namespace quarn_core::hnsw {
namespace {

using distance::Metric;

std::vector<float> random_data(std::size_t n, std::size_t dim, unsigned seed, float lo = -1,
                               float hi = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n * dim);
  for (auto& x : v) x = u(rng);
  return v;
}

// Clustered data, closer to real embeddings than uniform noise: points around a few centres,
// overlapping. Keeping only the closest candidates as neighbours (there is no diversity
// rule) cuts well-separated clusters apart on layer 0, so such data would measure the
// neighbour rule rather than the implementation.
std::vector<float> clustered_data(std::size_t n, std::size_t dim, unsigned seed,
                                  float spread = 1.5f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0, 1);
  const std::size_t centres = 20;
  std::vector<float> c(centres * dim);
  for (auto& x : c) x = g(rng);
  std::vector<float> v(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = rng() % centres;
    for (std::size_t d = 0; d < dim; ++d) v[i * dim + d] = c[k * dim + d] + spread * g(rng);
  }
  return v;
}

std::span<const float> row(const std::vector<float>& data, std::size_t dim, std::size_t i) {
  return std::span<const float>(data).subspan(i * dim, dim);
}

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

std::vector<std::uint32_t> brute_force(const HnswIndex& index, std::span<const float> q,
                                       std::size_t k) {
  std::vector<Candidate> all;
  for (std::uint32_t s = 0; s < index.node_count(); ++s) {
    if (index.is_deleted(s)) continue;
    all.push_back({s, distance::distance(q, index.vector(s), index.metric())});
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(all[i].slot);
  return out;
}

// A plain, slow rendering of the linking rules, kept here to check the fast one against:
// growable lists, every over-full list re-sorted by freshly computed distances.
class ReferenceGraph {
 public:
  ReferenceGraph(std::size_t dim, std::size_t m, std::size_t ef, Metric metric)
      : dim_(dim), m_(m), ef_(ef), metric_(metric) {}

  void insert(std::span<const float> v, std::size_t level) {
    const auto slot = static_cast<std::uint32_t>(lists_.size());
    vectors_.insert(vectors_.end(), v.begin(), v.end());
    lists_.emplace_back(level + 1);
    if (entry_ == kNoEntry) {
      entry_ = slot;
      top_ = level;
      return;
    }
    connect(slot, level, entry_);
    if (level > top_) {
      entry_ = slot;
      top_ = level;
    }
  }

  void update(std::uint32_t slot, std::span<const float> v) {
    std::copy(v.begin(), v.end(), vectors_.begin() + slot * dim_);
    if (lists_.size() < 2) return;
    for (std::size_t lc = 0; lc < lists_[slot].size(); ++lc) {
      const auto former = std::exchange(lists_[slot][lc], {});
      for (std::uint32_t n : former) {
        if (lists_[n].size() > lc) std::erase(lists_[n][lc], slot);
      }
    }
    std::uint32_t ep = entry_;
    if (ep == slot) ep = slot == 0 ? 1 : 0;  // no deletions in these tests
    connect(slot, lists_[slot].size() - 1, ep);
  }

  std::vector<std::vector<std::uint32_t>> adjacency() const {
    std::vector<std::vector<std::uint32_t>> out;
    for (const auto& node : lists_) out.insert(out.end(), node.begin(), node.end());
    return out;
  }

 private:
  float d(std::uint32_t a, std::span<const float> q) const {
    return distance::distance(q, std::span<const float>(vectors_).subspan(a * dim_, dim_), metric_);
  }

  std::uint32_t greedy(std::span<const float> q, std::uint32_t cur, std::size_t lc) const {
    float best = d(cur, q);
    for (;;) {
      if (lists_[cur].size() <= lc) return cur;
      std::uint32_t next = cur;
      for (std::uint32_t n : lists_[cur][lc]) {
        if (d(n, q) < best) {
          best = d(n, q);
          next = n;
        }
      }
      if (next == cur) return cur;
      cur = next;
    }
  }

  std::vector<Candidate> beam(std::span<const float> q, std::uint32_t ep, std::size_t lc) const {
    std::vector<Candidate> candidates = {{ep, d(ep, q)}}, results = candidates;
    std::set<std::uint32_t> visited = {ep};
    auto by_distance = [](const Candidate& a, const Candidate& b) {
      return a.distance < b.distance;
    };
    while (!candidates.empty()) {
      auto it = std::min_element(candidates.begin(), candidates.end(), by_distance);
      const Candidate c = *it;
      candidates.erase(it);
      if (c.distance > std::max_element(results.begin(), results.end(), by_distance)->distance)
        break;
      if (lists_[c.slot].size() <= lc) continue;
      for (std::uint32_t n : lists_[c.slot][lc]) {
        if (!visited.insert(n).second) continue;
        const float dn = d(n, q);
        auto worst = std::max_element(results.begin(), results.end(), by_distance);
        if (dn < worst->distance || results.size() < ef_) {
          candidates.push_back({n, dn});
          results.push_back({n, dn});
          if (results.size() > ef_) {
            results.erase(std::max_element(results.begin(), results.end(), by_distance));
          }
        }
      }
    }
    std::stable_sort(results.begin(), results.end(), by_distance);
    return results;
  }

  void connect(std::uint32_t slot, std::size_t level, std::uint32_t ep) {
    const std::vector<float> q(vectors_.begin() + slot * dim_,
                               vectors_.begin() + (slot + 1) * dim_);
    for (std::size_t lc = top_; lc > level; --lc) ep = greedy(q, ep, lc);
    for (std::size_t lc = std::min(level, top_) + 1; lc-- > 0;) {
      const std::size_t mc = lc == 0 ? 2 * m_ : m_;
      auto w = beam(q, ep, lc);
      std::erase_if(w, [slot](const Candidate& c) { return c.slot == slot; });
      auto& own = lists_[slot][lc];
      own.clear();
      for (std::size_t i = 0; i < std::min(mc, w.size()); ++i) own.push_back(w[i].slot);
      for (std::uint32_t n : std::vector<std::uint32_t>(own)) {
        if (lists_[n].size() <= lc) continue;
        auto& list = lists_[n][lc];
        list.push_back(slot);
        if (list.size() <= mc) continue;
        const std::span<const float> owner(vectors_.data() + n * dim_, dim_);
        std::vector<Candidate> pairs;
        for (std::uint32_t e : list) pairs.push_back({e, d(e, owner)});
        std::stable_sort(pairs.begin(), pairs.end(), by_distance_);
        list.clear();
        for (std::size_t i = 0; i < mc; ++i) list.push_back(pairs[i].slot);
      }
      if (!w.empty()) ep = w[0].slot;
    }
  }

  static bool by_distance_(const Candidate& a, const Candidate& b) {
    return a.distance < b.distance;
  }

  std::size_t dim_, m_, ef_;
  Metric metric_;
  std::vector<float> vectors_;
  std::vector<std::vector<std::vector<std::uint32_t>>> lists_;
  std::uint32_t entry_ = kNoEntry;
  std::size_t top_ = 0;
};

TEST(HnswIndexTest, LinkingMatchesThePlainRules) {
  const std::size_t dim = 6, n = 400;
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    SCOPED_TRACE(static_cast<int>(metric));
    // Distinct vectors only: the order among equal distances is left open.
    const auto data = random_data(n + 80, dim, 17);
    std::mt19937 rng(23);
    HnswIndex index(dim, 3, 12, metric);
    ReferenceGraph reference(dim, 3, 12, metric);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t level = rng() % 5 == 0 ? 1 + rng() % 3 : 0;
      index.insert_with_level(row(data, dim, i), level);
      reference.insert(row(data, dim, i), level);
    }
    ASSERT_EQ(adjacency(index), reference.adjacency());
    // Updates leave lists whose order no longer matches the moved vectors; later prunes of
    // those lists must still see the present distances.
    for (std::size_t i = 0; i < 60; ++i) {
      const auto slot = static_cast<std::uint32_t>(rng() % n);
      index.update_vector(slot, row(data, dim, n + i));
      reference.update(slot, row(data, dim, n + i));
      if (i % 3 == 0) {
        const std::size_t level = rng() % 4 == 0 ? 1 : 0;
        index.insert_with_level(row(data, dim, n + 60 + i / 3), level);
        reference.insert(row(data, dim, n + 60 + i / 3), level);
      }
    }
    EXPECT_EQ(adjacency(index), reference.adjacency());
  }
}

TEST(HnswIndexTest, NewIndexIsEmpty) {
  HnswIndex index(3, 16, 200, Metric::Cosine);
  EXPECT_EQ(index.entry_point(), kNoEntry);
  EXPECT_EQ(index.max_level(), 0u);
  EXPECT_EQ(index.count(), 0u);
  EXPECT_EQ(index.m0(), 32u);
  EXPECT_EQ(index.ml(), 1.0 / std::log(16.0));
  const std::vector<float> q = {1, 2, 3};
  EXPECT_TRUE(index.search(q, 10, 50).empty());
  EXPECT_TRUE(index.search_graph(q, 10, 50).empty());
  EXPECT_EQ(index.greedy_descent(q), kNoEntry);
  index.enable_quantized_search();
  EXPECT_EQ(index.quantized(), nullptr);
}

TEST(HnswIndexTest, FirstInsertIsEntryAndSecondLinksBoth) {
  HnswIndex index(2, 16, 200, Metric::Euclidean);
  EXPECT_EQ(index.insert_with_level(std::vector<float>{0, 0}, 3), 0u);
  EXPECT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.max_level(), 3u);
  for (std::size_t lc = 0; lc <= 3; ++lc) EXPECT_TRUE(index.neighbors(0, lc).empty());
  EXPECT_EQ(index.insert_with_level(std::vector<float>{1, 1}, 0), 1u);
  EXPECT_EQ(index.neighbors(0, 0), (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(index.neighbors(1, 0), (std::vector<std::uint32_t>{0}));
  EXPECT_TRUE(index.neighbors(0, 1).empty());
  EXPECT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.count(), 2u);
  EXPECT_FLOAT_EQ(index.norms()[1], std::sqrt(2.0f));
  expect_invariants(index);
}

TEST(HnswIndexTest, RandomLevelDegenerateMultipliers) {
  // m = 0: the multiplier is -0, every level is 0. m = 1: it is infinite, and levels stop at
  // the cap instead of at the largest integer, which no node could hold.
  HnswIndex zero(2, 0, 10, Metric::Euclidean);
  HnswIndex one(2, 1, 10, Metric::Euclidean);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(zero.random_level(), 0u);
    ASSERT_EQ(one.random_level(), HnswIndex::kMaxLevel);
  }
  HnswIndex sixteen(2, 16, 10, Metric::Euclidean);
  for (int i = 0; i < 1000; ++i) ASSERT_LT(sixteen.random_level(), 16u);
}

TEST(HnswIndexTest, ListsStayWithinLimitsWithSmallM) {
  const std::size_t dim = 8;
  const auto data = random_data(900, dim, 1);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
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
    HnswIndex batched(dim, 4, 32, Metric::Euclidean);
    HnswIndex single(dim, 4, 32, Metric::Euclidean);
    batched.batch_insert_with_levels(data, levels);
    for (std::size_t i = 0; i < n; ++i) single.insert_with_level(row(data, dim, i), levels[i]);
    EXPECT_EQ(adjacency(batched), adjacency(single));
    EXPECT_EQ(batched.entry_point(), single.entry_point());
    EXPECT_EQ(batched.max_level(), single.max_level());
    expect_invariants(batched);
  }
}

// Position 127 is linked sequentially: once it tops the graph, position 128 descends through
// it. From position 128 on, a vector that raises the top level is linked before the parallel
// phase, so that the ones after it in the batch find its layers in place; a vector that does
// not raise it is linked in the parallel phase from the entry point fixed before that phase.
TEST(HnswIndexTest, ParallelPhaseStartsAtPosition128) {
  const std::size_t dim = 4;
  const auto data = random_data(131, dim, 11);
  {
    std::vector<std::size_t> levels(131, 0);
    levels[127] = 2;
    levels[128] = 1;
    HnswIndex index(dim, 4, 64, Metric::Euclidean);
    index.batch_insert_with_levels(data, levels);
    EXPECT_EQ(index.entry_point(), 127u);
    EXPECT_EQ(index.neighbors(128, 1), (std::vector<std::uint32_t>{127}));
    EXPECT_EQ(index.neighbors(127, 1), (std::vector<std::uint32_t>{128}));
    expect_invariants(index);
  }
  {
    std::vector<std::size_t> levels(131, 0);
    levels[128] = 2;
    levels[129] = 1;
    levels[130] = 1;
    HnswIndex index(dim, 4, 64, Metric::Euclidean);
    index.batch_insert_with_levels(data, levels);
    EXPECT_EQ(index.entry_point(), 128u);
    EXPECT_EQ(index.max_level(), 2u);
    // 128 was linked first, on layer 0 only (the top was 0 then); 129 and 130 find it on
    // layer 1 and link to it and to each other there.
    const auto l129 = index.neighbors(129, 1);
    const auto l130 = index.neighbors(130, 1);
    EXPECT_EQ(std::count(l129.begin(), l129.end(), 128u), 1);
    EXPECT_EQ(std::count(l130.begin(), l130.end(), 128u), 1);
    EXPECT_EQ(index.neighbors(128, 1).size(), 2u);
    EXPECT_TRUE(index.neighbors(128, 2).empty());
    EXPECT_FALSE(index.neighbors(128, 0).empty());
    expect_invariants(index);
  }
}

// The hierarchy of a large batch into an empty index is built up to its top: every layer
// that has nodes has links.
TEST(HnswIndexTest, BatchBuildsEveryLayer) {
  const std::size_t dim = 8;
  const auto data = clustered_data(3000, dim, 57);
  std::vector<std::size_t> levels(3000, 0);
  for (std::size_t i = 128; i < 3000; i += 50) levels[i] = 1 + (i / 50) % 3;
  HnswIndex index(dim, 4, 32, Metric::Euclidean);
  index.batch_insert_with_levels(data, levels);
  EXPECT_EQ(index.max_level(), 3u);
  for (std::size_t lc = 1; lc <= 3; ++lc) {
    std::size_t nodes = 0, linked = 0;
    for (std::uint32_t s = 0; s < 3000; ++s) {
      if (index.node_level(s) < lc) continue;
      ++nodes;
      linked += !index.neighbors(s, lc).empty();
    }
    EXPECT_EQ(linked, nodes) << "layer " << lc;
  }
  expect_invariants(index);
}

TEST(HnswIndexTest, BatchEntryPoint) {
  const std::size_t dim = 3;
  struct Case {
    const char* name;
    std::size_t n;
    std::vector<std::pair<std::size_t, std::size_t>> raised;  // position, level
    std::uint32_t entry;
    std::size_t max_level;
  };
  const Case cases[] = {
      {"single vector", 1, {{0, 3}}, 0, 3},
      {"first is entry before linking", 5, {}, 0, 0},
      {"earlier of two equal tops, sequential", 10, {{3, 4}, {7, 4}}, 3, 4},
      {"earlier of two equal tops, parallel", 400, {{200, 4}, {300, 4}}, 200, 4},
      {"parallel beats sequential only when higher", 400, {{5, 3}, {250, 3}, {260, 4}}, 260, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::size_t> levels(c.n, 0);
    for (auto [pos, level] : c.raised) levels[pos] = level;
    HnswIndex index(dim, 4, 16, Metric::Euclidean);
    const auto slots = index.batch_insert_with_levels(random_data(c.n, dim, 5), levels);
    ASSERT_EQ(slots.size(), c.n);
    for (std::size_t i = 0; i < c.n; ++i) EXPECT_EQ(slots[i], i);
    EXPECT_EQ(index.entry_point(), c.entry);
    EXPECT_EQ(index.max_level(), c.max_level);
    EXPECT_EQ(index.count(), c.n);
    expect_invariants(index);
  }
  HnswIndex index(dim, 4, 16, Metric::Euclidean);
  EXPECT_TRUE(index.batch_insert(std::vector<std::vector<float>>{}).empty());
  EXPECT_EQ(index.entry_point(), kNoEntry);
  EXPECT_EQ(index.node_count(), 0u);
}

TEST(HnswIndexTest, BatchIntoNonEmptyIndexKeepsHigherEntry) {
  const std::size_t dim = 3;
  HnswIndex index(dim, 4, 16, Metric::Euclidean);
  index.insert_with_level(std::vector<float>{0, 0, 0}, 3);
  std::vector<std::size_t> levels(200, 0);
  levels[150] = 3;  // equal to the current top: does not take over
  const auto slots = index.batch_insert_with_levels(random_data(200, dim, 9), levels);
  EXPECT_EQ(slots.front(), 1u);
  EXPECT_EQ(slots.back(), 200u);
  EXPECT_EQ(index.entry_point(), 0u);
  expect_invariants(index);
}

TEST(HnswIndexTest, UpdateOfOneNodeIndexChangesVectorAndNormOnly) {
  HnswIndex index(2, 4, 16, Metric::Euclidean);
  index.insert_with_level(std::vector<float>{1, 0}, 1);
  index.update_vector(0, std::vector<float>{3, 4});
  EXPECT_EQ(index.vector(0)[0], 3.0f);
  EXPECT_EQ(index.vector(0)[1], 4.0f);
  EXPECT_EQ(index.norms()[0], 5.0f);
  EXPECT_TRUE(index.neighbors(0, 0).empty());
  EXPECT_TRUE(index.neighbors(0, 1).empty());
  EXPECT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.max_level(), 1u);
}

TEST(HnswIndexTest, UpdateUnlinksFormerNeighbours) {
  const std::size_t dim = 8;
  const auto data = random_data(400, dim, 21);
  HnswIndex index(dim, 4, 32, Metric::Euclidean);
  index.batch_insert_flat(data);
  std::mt19937 rng(4);
  for (int round = 0; round < 40; ++round) {
    const auto slot = static_cast<std::uint32_t>(rng() % 400);
    std::vector<std::vector<std::uint32_t>> former;
    for (std::size_t lc = 0; lc <= index.node_level(slot); ++lc) {
      former.push_back(index.neighbors(slot, lc));
    }
    const auto far = random_data(1, dim, 100 + round, 5, 6);
    index.update_vector(slot, far);
    for (std::size_t lc = 0; lc < former.size(); ++lc) {
      const auto now = index.neighbors(slot, lc);
      EXPECT_EQ(std::count(now.begin(), now.end(), slot), 0) << "self-link";
      for (std::uint32_t f : former[lc]) {
        if (f == slot || std::find(now.begin(), now.end(), f) != now.end()) continue;
        const auto theirs = index.neighbors(f, lc);
        EXPECT_EQ(std::count(theirs.begin(), theirs.end(), slot), 0)
            << "slot " << slot << " still listed by " << f << " on layer " << lc;
      }
    }
    expect_invariants(index);
  }
}

TEST(HnswIndexTest, UpdateOfEntryNodeRelinksAndKeepsEntry) {
  const std::size_t dim = 4;
  for (std::uint32_t entry_pos : {0u, 5u}) {
    SCOPED_TRACE(entry_pos);
    std::vector<std::size_t> levels(50, 0);
    levels[entry_pos] = 2;
    const auto data = random_data(50, dim, 31);
    HnswIndex index(dim, 4, 64, Metric::Euclidean);
    index.batch_insert_with_levels(data, levels);
    ASSERT_EQ(index.entry_point(), entry_pos);
    const std::vector<float> moved = {0.9f, 0.9f, 0.9f, 0.9f};
    index.update_vector(entry_pos, moved);
    EXPECT_EQ(index.entry_point(), entry_pos);
    EXPECT_EQ(index.max_level(), 2u);
    EXPECT_EQ(index.node_level(entry_pos), 2u);
    // With ef_construction above the node count the walk reaches everything, so layer 0
    // holds exactly the 8 closest other vectors.
    auto expected = brute_force(index, moved, 9);
    expected.erase(std::find(expected.begin(), expected.end(), entry_pos));
    expected.resize(8);
    EXPECT_EQ(index.neighbors(entry_pos, 0), expected);
    for (std::size_t lc = 0; lc <= 2; ++lc) {
      const auto list = index.neighbors(entry_pos, lc);
      EXPECT_EQ(std::count(list.begin(), list.end(), entry_pos), 0) << "self-link on " << lc;
    }
    expect_invariants(index);
  }
}

// An updated node is met again through the links that still point at it; it must not end
// up linked to itself only, which would trap every search that reaches it.
TEST(HnswIndexTest, UpdatedUpperNodeStaysNavigable) {
  const std::size_t dim = 16;
  const auto data = clustered_data(600, dim, 35);
  std::vector<std::size_t> levels(600, 0);
  levels[0] = 3;
  for (std::size_t i = 10; i < 600; i += 37) levels[i] = 2;
  HnswIndex index(dim, 6, 48, Metric::Euclidean);
  index.batch_insert_with_levels(data, levels);
  for (std::uint32_t slot = 10; slot < 600; slot += 37) {
    std::vector<float> nudged(index.vector(slot).begin(), index.vector(slot).end());
    for (auto& x : nudged) x += 0.01f;
    index.update_vector(slot, nudged);
    for (std::size_t lc = 0; lc <= 2; ++lc) {
      const auto list = index.neighbors(slot, lc);
      EXPECT_FALSE(list.empty()) << slot << " layer " << lc;
      EXPECT_EQ(std::count(list.begin(), list.end(), slot), 0) << slot << " layer " << lc;
    }
    EXPECT_EQ(index.search_graph(nudged, 10, 20).size(), 10u) << slot;
  }
  expect_invariants(index);
}

// Linking may run on several threads beside searches: every list is read and written under
// its own lock only. Plain threads rather than the pool, so that the race detector sees
// every hand-over.
TEST(HnswIndexTest, ConcurrentConnectAndSearch) {
  const std::size_t dim = 8;
  const auto data = clustered_data(1200, dim, 55);
  for (bool quantized : {false, true}) {
    SCOPED_TRACE(quantized);
    HnswIndex index(dim, 4, 24, Metric::Euclidean);
    index.batch_insert_flat(std::span<const float>(data).first(600 * dim));
    if (quantized) index.enable_quantized_search();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        for (std::uint32_t s = static_cast<std::uint32_t>(t); s < 600; s += 2) {
          index.connect_node(s, index.node_level(s), index.entry_point());
        }
      });
      threads.emplace_back([&, t] {
        for (std::size_t i = 0; i < 300; ++i) {
          const auto q = row(data, dim, 600 + i * 2 + static_cast<std::size_t>(t));
          EXPECT_FALSE(index.search_graph(q, 5, 16).empty());
          EXPECT_NE(index.greedy_descent(q), kNoEntry);
        }
      });
    }
    for (auto& th : threads) th.join();
    expect_invariants(index);
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
    EXPECT_EQ(index.count(), 1500 - index.deleted().size());
    std::size_t full = 0;
    for (std::size_t i = 0; i < 50; ++i) {
      const auto q = row(data, dim, i * 29);
      const auto exact = index.search(q, 10, 40);
      EXPECT_EQ(exact.size(), 10u);
      const auto graph = index.search_graph(q, 10, 40);
      EXPECT_LE(graph.size(), 10u);  // fewer when most of the beam was deleted
      full += graph.size() == 10;
      for (const auto* result : {&exact, &graph}) {
        for (const Candidate& c : *result) EXPECT_FALSE(index.is_deleted(c.slot)) << c.slot;
      }
    }
    EXPECT_GE(full, 45u);
  }
}

TEST(HnswIndexTest, SearchOfEverythingDeletedIsEmpty) {
  HnswIndex index(2, 4, 16, Metric::Cosine);
  index.batch_insert_flat(std::vector<float>{1, 0, 0, 1, 1, 1});
  for (std::uint32_t s = 0; s < 3; ++s) index.mark_deleted(s);
  const std::vector<float> q = {1, 0};
  EXPECT_TRUE(index.search(q, 5, 10).empty());
  EXPECT_TRUE(index.search_graph(q, 5, 10).empty());
}

TEST(HnswIndexTest, ExactScanDegenerateCases) {
  const std::vector<float> zero3 = {0, 0, 0};
  {
    SCOPED_TRACE("cosine, zero query: every distance is 1");
    HnswIndex index(3, 4, 16, Metric::Cosine);
    index.batch_insert_flat(std::vector<float>{1, 2, 3, 0, 0, 0, -1, 0, 4});
    const auto r = index.search(zero3, 10, 10);
    ASSERT_EQ(r.size(), 3u);
    for (const Candidate& c : r) EXPECT_EQ(c.distance, 1.0f);
    SCOPED_TRACE("with a deletion the pairwise distance answers, 0 for two zero vectors");
    index.mark_deleted(2);
    const auto d = index.search(zero3, 10, 10);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].slot, 1u);
    EXPECT_EQ(d[0].distance, 0.0f);
    EXPECT_EQ(d[1].distance, 1.0f);
  }
  {
    SCOPED_TRACE("cosine, zero-norm stored vector: distance 1");
    HnswIndex index(3, 4, 16, Metric::Cosine);
    index.batch_insert_flat(std::vector<float>{0, 0, 0, 1, 1, 0});
    const auto r = index.search(std::vector<float>{1, 1, 0}, 2, 10);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].slot, 1u);
    EXPECT_NEAR(r[0].distance, 0.0f, 1e-6f);
    EXPECT_EQ(r[1].slot, 0u);
    EXPECT_EQ(r[1].distance, 1.0f);
  }
  {
    SCOPED_TRACE("dot product: the negated product");
    HnswIndex index(2, 4, 16, Metric::DotProduct);
    index.batch_insert_flat(std::vector<float>{1, 2, 3, 4});
    const auto r = index.search(std::vector<float>{1, 1}, 5, 10);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].slot, 1u);
    EXPECT_EQ(r[0].distance, -7.0f);
    EXPECT_EQ(r[1].distance, -3.0f);
  }
  {
    SCOPED_TRACE("squared Euclidean of a vector with itself keeps rounding below zero");
    const std::size_t dim = 16;
    const auto data = random_data(200, dim, 51, 900, 1100);
    HnswIndex index(dim, 4, 16, Metric::Euclidean);
    index.batch_insert_flat(data);
    int negative = 0;
    for (std::size_t i = 0; i < 200; ++i) {
      const auto q = row(data, dim, i);
      for (const Candidate& c : index.search(q, 200, 10)) {
        if (c.slot == i && c.distance < 0) ++negative;
      }
    }
    EXPECT_GT(negative, 0) << "rounding below zero is returned as is, not clamped";
  }
}

TEST(HnswIndexTest, ExactScanBelowTenMillionFloats) {
  // One all-zero vector under cosine: the exact scan says 1, the graph's pairwise distance 0.
  for (std::size_t dim : {kExactScanFloats - 1, kExactScanFloats}) {
    SCOPED_TRACE(dim);
    HnswIndex index(dim, 4, 16, Metric::Cosine);
    const std::vector<float> zero(dim, 0.0f);
    index.insert(zero);
    const auto r = index.search(zero, 1, 10);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].distance, dim < kExactScanFloats ? 1.0f : 0.0f);
  }
}

TEST(HnswIndexTest, ExactScanMatchesBruteForceAndHandlesK) {
  const std::size_t dim = 12;
  const auto data = random_data(500, dim, 61);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex index(dim, 8, 32, metric);
    index.batch_insert_flat(data);
    const auto q = random_data(1, dim, 62);
    for (std::size_t k : {1u, 10u, 499u, 500u, 800u}) {
      const auto r = index.search(q, k, 10);
      ASSERT_EQ(r.size(), std::min<std::size_t>(k, 500));
      for (std::size_t i = 1; i < r.size(); ++i) EXPECT_LE(r[i - 1].distance, r[i].distance);
      const auto expected = brute_force(index, q, k);
      for (std::size_t i = 0; i < r.size(); ++i) {
        // The product formula and the pairwise kernel round differently.
        EXPECT_NEAR(r[i].distance, distance::distance(q, index.vector(r[i].slot), metric), 1e-4f);
      }
      std::set<std::uint32_t> got;
      for (const Candidate& c : r) got.insert(c.slot);
      EXPECT_EQ(got.size(), r.size());
      EXPECT_EQ(r[0].slot, expected[0]);
    }
    EXPECT_TRUE(index.search(q, 0, 10).empty());
  }
}

TEST(HnswIndexTest, QuantizedSearchReturnsExactDistances) {
  const std::size_t dim = 24;
  const auto data = clustered_data(2000, dim, 71);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex index(dim, 8, 64, metric);
    index.batch_insert_flat(data);
    index.enable_quantized_search();
    ASSERT_NE(index.quantized(), nullptr);
    // Inserts after enabling keep the codes current.
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
      for (std::size_t j = 0; j < r.size(); ++j) {
        EXPECT_EQ(r[j].distance, distance::distance(q, index.vector(r[j].slot), metric));
        if (j > 0) {
          EXPECT_LE(r[j - 1].distance, r[j].distance);
        }
      }
      const std::uint32_t s = r.back().slot;
      for (std::size_t d = 0; d < dim; ++d) {
        decoded[d] = static_cast<float>(qs.codes[s * dim + d]) * qs.quantizer.scales()[d] +
                     qs.quantizer.mins()[d];
      }
      EXPECT_EQ(index.quantized_distance(q, s, scratch), distance::distance(q, decoded, metric));
    }
    index.disable_quantized_search();
    EXPECT_EQ(index.quantized(), nullptr);
  }
}

double graph_recall(const HnswIndex& index, const std::vector<float>& queries, std::size_t ef) {
  const std::size_t dim = index.dim();
  const std::size_t nq = queries.size() / dim;
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

TEST(HnswIndexTest, GraphRecallAgainstBruteForce) {
  const std::size_t dim = 32;
  const auto data = clustered_data(3000, dim, 81);
  const auto queries = clustered_data(100, dim, 82);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    SCOPED_TRACE(static_cast<int>(metric));
    HnswIndex index(dim, 16, 100, metric);
    index.batch_insert_flat(data);
    const double full = graph_recall(index, queries, 64);
    index.enable_quantized_search();
    const double sq8 = graph_recall(index, queries, 64);
    // Measured around 0.98 for both.
    EXPECT_GT(full, 0.93);
    EXPECT_GT(sq8, 0.93);
  }
}

TEST(HnswIndexTest, MappedStoreTurnsOwnedWithIdenticalContents) {
  testing::TempDir dir;
  const std::size_t dim = 5, n = 40;
  const auto data = random_data(n, dim, 91);
  // Build a graph to hand over, as the loader would after reading the files.
  HnswIndex source(dim, 4, 32, Metric::Euclidean);
  source.batch_insert_flat(data);
  source.mark_deleted(7);
  const auto path = dir.path() / "vectors.bin";
  {
    auto fd = io::open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(io::write_all(fd->get(), data.data(), data.size() * 4));
    ASSERT_TRUE(io::write_all(fd->get(), source.norms().data(), n * 4));
  }
  auto fd = io::open_file(path, O_RDONLY);
  ASSERT_TRUE(fd);
  auto region = io::MappedRegion::map(fd->get(), (n * dim + n) * 4);
  ASSERT_TRUE(region);

  LoadedGraph g;
  g.dim = dim;
  g.m = 4;
  g.ef_construction = 32;
  g.metric = Metric::Euclidean;
  g.entry_point = source.entry_point();
  g.max_level = source.max_level();
  for (std::uint32_t s = 0; s < n; ++s) {
    g.layers.emplace_back();
    for (std::size_t lc = 0; lc <= source.node_level(s); ++lc) {
      g.layers.back().push_back(source.neighbors(s, lc));
    }
  }
  g.deleted = source.deleted();
  g.vectors = VectorStore(std::move(*region), n * dim);
  auto norms = g.vectors.mapped_norms();
  ASSERT_TRUE(norms);
  EXPECT_EQ(*norms, std::vector<float>(source.norms().begin(), source.norms().end()));
  g.norms = std::move(*norms);
  auto loaded = HnswIndex::from_loaded(std::move(g));
  ASSERT_TRUE(loaded) << loaded.error().to_string();
  HnswIndex& index = **loaded;
  EXPECT_TRUE(index.is_mapped());
  EXPECT_EQ(index.count(), n - 1);
  EXPECT_EQ(adjacency(index), adjacency(source));
  EXPECT_EQ(index.ml(), 1.0 / std::log(4.0));
  EXPECT_EQ(index.search(row(data, dim, 3), 3, 10), source.search(row(data, dim, 3), 3, 10));
  expect_invariants(index);

  const auto extra = random_data(1, dim, 92);
  EXPECT_EQ(index.insert(extra), n);
  EXPECT_FALSE(index.is_mapped());
  EXPECT_FALSE(index.vector_store().mapped_norms());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), index.vectors().begin()));
  EXPECT_TRUE(std::equal(extra.begin(), extra.end(), index.vector(n).begin()));
  expect_invariants(index);

  // Moving keeps everything, including the live count.
  HnswIndex moved = std::move(index);
  EXPECT_EQ(moved.count(), n);
  EXPECT_EQ(moved.node_count(), n + 1);
}

TEST(HnswIndexTest, FromLoadedRejectsInconsistentGraphs) {
  auto base = [] {
    LoadedGraph g;
    g.dim = 2;
    g.m = 2;
    g.entry_point = 0;
    g.max_level = 1;
    g.layers = {{{1}, {1}}, {{0}, {0}}, {{0, 1}}};
    g.vectors = VectorStore(std::vector<float>(6, 1.0f));
    g.norms = std::vector<float>(3, 1.0f);
    return g;
  };
  ASSERT_TRUE(HnswIndex::from_loaded(base()));
  struct Case {
    const char* name;
    void (*damage)(LoadedGraph&);
  };
  const Case cases[] = {
      {"neighbour out of range", [](LoadedGraph& g) { g.layers[2][0][1] = 3; }},
      {"list over its limit",
       [](LoadedGraph& g) {
         g.layers[1][1] = {0, 2, 2};
       }},
      {"layer-0 list over its limit",
       [](LoadedGraph& g) {
         g.layers[2][0] = {0, 1, 0, 1, 0};
       }},
      {"entry point out of range", [](LoadedGraph& g) { g.entry_point = 3; }},
      {"entry point below the top", [](LoadedGraph& g) { g.entry_point = 2; }},
      {"no entry point", [](LoadedGraph& g) { g.entry_point = kNoEntry; }},
      {"node above the top layer",
       [](LoadedGraph& g) {
         g.layers[2] = {{}, {}, {}};
       }},
      {"node with no layers", [](LoadedGraph& g) { g.layers[2].clear(); }},
      {"deleted slot out of range", [](LoadedGraph& g) { g.deleted = {5}; }},
      {"short vectors", [](LoadedGraph& g) { g.vectors = VectorStore(std::vector<float>(5)); }},
      {"short norms", [](LoadedGraph& g) { g.norms.pop_back(); }},
      {"huge m", [](LoadedGraph& g) { g.m = 1u << 30; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedGraph g = base();
    c.damage(g);
    auto r = HnswIndex::from_loaded(std::move(g));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), error::ErrorKind::Io);
    EXPECT_EQ(r.error().io_error().kind, error::IoKind::InvalidData);
  }
  LoadedGraph empty;
  empty.dim = 3;
  auto r = HnswIndex::from_loaded(std::move(empty));
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)->entry_point(), kNoEntry);
  EXPECT_EQ((*r)->count(), 0u);
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
      std::stable_sort(
          expected.begin(), expected.end(),
          [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
      expected.resize(std::min(n, k));
      select_k(pairs, k);
      ASSERT_EQ(pairs.size(), expected.size());
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_EQ(pairs[i].distance, expected[i].distance);
      }
      if (k >= n) {  // nothing selected away: a plain stable sort
        for (std::size_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i].slot, expected[i].slot);
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
