// Which compact code a graph walk could score its neighbours with, measured on Fashion-MNIST.
//
// Builds our graph (squared Euclidean, m 16, ef_construction 200), then answers each query
// by a walk over layer 0 from the upper layers' entry in which every neighbour is scored
// from its code alone; the walk's beam (ef slots) is then measured at full precision and the
// 10 nearest returned. For each code and ef it prints recall@10 against the exact answer,
// the codes scored and vectors read per query, and the bytes a neighbour's code takes. The
// codes:
//   f32      the vectors themselves (the walk as it is today, for reference)
//   sq8/sq4  per-dimension scalar codes, one range per dimension (8 and 4 bits)
//   rot1     the residual from the mean, rotated (random signs and Walsh-Hadamard transforms,
//            the dimension padded to a power of two), one bit per component: its sign
//   rot2/4   the same rotation, 2 and 4 bits per component on a grid scaled per vector
// The rotated codes estimate <x - c, q - c> as <g, v>·|x - c| / <g, u>, with u the unit
// rotated residual, g its code and v the rotated query residual: an unbiased estimator
// whose error shrinks as <g, u> / |g| nears 1.
//
// This measures quality only: the walk decodes in plain loops, so its time says nothing
// about a batch kernel's.
//
// --clustered N,DIM replaces Fashion-MNIST by N vectors around 1,000 Gaussian centres
// (spread 1.0 per component, so that clusters overlap; queries drawn the same way).
//
// --blocks times instead a walk over per-node blocks: each node keeps its layer-0
// neighbours' ids beside one-bit codes of their rotated residuals from the node itself, in
// groups of four bits laid out for a 32-way table lookup (AVX-512BW when the CPU has it), and
// their estimate terms. An expansion reads the node's full-precision row for its exact
// distance and its block for its neighbours' estimates, so no re-rank follows. It prints
// recall@10 and q/s per ef beside the library's compressed and f32 walks on the same graph.
// The blocks' time leaves out the query's rotation and table and the upper layers' descent
// (printed apart), so it is a lower bound on what such a walk would cost.
//
//   neighbour_codes_bench [--data DIR | --clustered N,DIM] [--queries N] [--efs 16,32,...]
//                         [--blocks]
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "idx_images.hpp"
#include "quarn_core/distance.hpp"
#include "quarn_core/hnsw.hpp"

using quarn_core::distance::Metric;
using quarn_core::hnsw::HnswIndex;

namespace {

// A code: what it costs per neighbour, and an estimate of a slot's squared distance from the
// query it was prepared for.
struct Code {
  std::string name;
  double bytes_per_vector;
  std::function<void(const float* q)> prepare;
  std::function<float(std::uint32_t slot)> estimate;
};

// Random signs then a normalised Walsh-Hadamard transform, three times: an orthogonal map
// of the padded space.
struct Rotation {
  std::size_t padded;
  std::vector<std::vector<float>> signs;

  explicit Rotation(std::size_t dim, std::size_t min_padded = 1) : padded(min_padded) {
    while (padded < dim) padded *= 2;
    std::mt19937 rng(42);
    for (int round = 0; round < 3; ++round) {
      std::vector<float> s(padded);
      for (float& x : s) x = (rng() & 1) != 0 ? 1.0f : -1.0f;
      signs.push_back(std::move(s));
    }
  }

  std::vector<float> apply(const float* x, std::size_t dim) const {
    std::vector<float> v(padded, 0.0f);
    apply(x, dim, v.data());
    return v;
  }
  // Into `v` (padded floats).
  void apply(const float* x, std::size_t dim, float* v) const {
    std::fill(v, v + padded, 0.0f);
    std::copy(x, x + dim, v);
    const float scale = 1.0f / std::sqrt(static_cast<float>(padded));
    for (const auto& s : signs) {
      for (std::size_t i = 0; i < padded; ++i) v[i] *= s[i];
      for (std::size_t h = 1; h < padded; h *= 2) {
        for (std::size_t i = 0; i < padded; i += 2 * h) {
          for (std::size_t j = i; j < i + h; ++j) {
            const float a = v[j], b = v[j + h];
            v[j] = a + b;
            v[j + h] = a - b;
          }
        }
      }
      for (std::size_t i = 0; i < padded; ++i) v[i] *= scale;
    }
  }
};

Code scalar_code(const std::vector<float>& base, std::size_t n, std::size_t dim, int bits) {
  const float top = static_cast<float>((1 << bits) - 1);
  auto lo = std::make_shared<std::vector<float>>(dim, INFINITY);
  auto step = std::make_shared<std::vector<float>>(dim, 0.0f);
  std::vector<float> hi(dim, -INFINITY);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      (*lo)[j] = std::min((*lo)[j], base[i * dim + j]);
      hi[j] = std::max(hi[j], base[i * dim + j]);
    }
  }
  for (std::size_t j = 0; j < dim; ++j) (*step)[j] = (hi[j] - (*lo)[j]) / top;
  auto codes = std::make_shared<std::vector<std::uint8_t>>(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      const float s = (*step)[j];
      const float c = s > 0 ? std::nearbyint((base[i * dim + j] - (*lo)[j]) / s) : 0.0f;
      (*codes)[i * dim + j] = static_cast<std::uint8_t>(std::clamp(c, 0.0f, top));
    }
  }
  auto query = std::make_shared<std::vector<float>>(dim);
  Code code;
  code.name = "sq" + std::to_string(bits);
  code.bytes_per_vector = static_cast<double>(dim * static_cast<std::size_t>(bits)) / 8.0;
  code.prepare = [query, dim](const float* q) { std::copy(q, q + dim, query->begin()); };
  code.estimate = [=](std::uint32_t slot) {
    const std::uint8_t* c = codes->data() + std::size_t{slot} * dim;
    float d = 0.0f;
    for (std::size_t j = 0; j < dim; ++j) {
      const float x = (*lo)[j] + (*step)[j] * static_cast<float>(c[j]);
      const float e = (*query)[j] - x;
      d += e * e;
    }
    return d;
  };
  return code;
}

Code rotated_code(const std::vector<float>& base, std::size_t n, std::size_t dim, int bits) {
  auto rotation = std::make_shared<Rotation>(dim);
  const std::size_t p = rotation->padded;
  auto centre = std::make_shared<std::vector<float>>(dim, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) (*centre)[j] += base[i * dim + j];
  }
  for (float& c : *centre) c /= static_cast<float>(n);
  // Per vector: the grid values g (odd integers up to 2^bits − 1 in magnitude), |x − c| and
  // <g, u>.
  auto grid = std::make_shared<std::vector<std::int8_t>>(n * p);
  auto norm = std::make_shared<std::vector<float>>(n);
  auto gu = std::make_shared<std::vector<float>>(n);
  const int levels = 1 << bits;
  std::vector<float> r(dim);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) r[j] = base[i * dim + j] - (*centre)[j];
    const auto v = rotation->apply(r.data(), dim);
    double nn = 0.0, top = 0.0;
    for (float x : v) nn += double{x} * x, top = std::max(top, std::abs(double{x}));
    const double nr = std::sqrt(nn);
    (*norm)[i] = static_cast<float>(nr);
    double dot = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
      const double t = top > 0 ? v[j] / top : 0.0;  // in [−1, 1]
      const int level =
          std::clamp(static_cast<int>(std::floor((t + 1.0) / 2.0 * levels)), 0, levels - 1);
      const int g = 2 * level - (levels - 1);
      (*grid)[i * p + j] = static_cast<std::int8_t>(g);
      dot += g * (nr > 0 ? v[j] / nr : 0.0);
    }
    (*gu)[i] = static_cast<float>(dot);
  }
  auto query = std::make_shared<std::vector<float>>(p);
  auto query_norm_sq = std::make_shared<float>(0.0f);
  Code code;
  code.name = "rot" + std::to_string(bits);
  // The codes plus two floats per vector.
  code.bytes_per_vector = static_cast<double>(p * static_cast<std::size_t>(bits)) / 8.0 + 8.0;
  code.prepare = [=](const float* q) {
    std::vector<float> rq(dim);
    for (std::size_t j = 0; j < dim; ++j) rq[j] = q[j] - (*centre)[j];
    *query = rotation->apply(rq.data(), dim);
    double nn = 0.0;
    for (float x : *query) nn += double{x} * x;
    *query_norm_sq = static_cast<float>(nn);
  };
  code.estimate = [=](std::uint32_t slot) {
    const std::int8_t* g = grid->data() + std::size_t{slot} * p;
    float gv = 0.0f;
    for (std::size_t j = 0; j < p; ++j) gv += static_cast<float>(g[j]) * (*query)[j];
    const float nr = (*norm)[slot];
    const float inner = (*gu)[slot] != 0.0f ? nr * gv / (*gu)[slot] : 0.0f;  // ≈ <x − c, q − c>
    return nr * nr + *query_norm_sq - 2.0f * inner;
  };
  return code;
}

// n vectors of `dim` floats around 1,000 centres drawn uniformly from [−10, 10)^dim.
std::vector<float> clustered(std::size_t n, std::size_t dim, unsigned seed) {
  std::mt19937 centres_rng(7);
  std::uniform_real_distribution<float> uniform(-10.0f, 10.0f);
  std::vector<float> centres(1000 * dim);
  for (float& c : centres) c = uniform(centres_rng);
  std::mt19937 rng(seed);
  std::normal_distribution<float> spread(0.0f, 1.0f);
  std::vector<float> out(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = rng() % 1000;
    for (std::size_t j = 0; j < dim; ++j) out[i * dim + j] = centres[c * dim + j] + spread(rng);
  }
  return out;
}

struct Walk {
  std::vector<std::uint32_t> top;
  std::size_t scored = 0;
};

// Layer 0 from `entry`, every slot scored by `estimate`; the beam then measured exactly.
Walk walk(const HnswIndex& index, const float* q, std::size_t dim, std::uint32_t entry,
          std::size_t ef, const std::function<float(std::uint32_t)>& estimate,
          std::vector<std::uint32_t>& seen, std::uint32_t mark) {
  using Pair = std::pair<float, std::uint32_t>;
  std::priority_queue<Pair, std::vector<Pair>, std::greater<>> frontier;
  std::priority_queue<Pair> beam;
  Walk out;
  const float e0 = estimate(entry);
  ++out.scored;
  seen[entry] = mark;
  frontier.push({e0, entry});
  beam.push({e0, entry});
  while (!frontier.empty()) {
    const auto [d, s] = frontier.top();
    if (beam.size() >= ef && d > beam.top().first) break;
    frontier.pop();
    for (std::uint32_t t : index.neighbors(s, 0)) {
      if (seen[t] == mark) continue;
      seen[t] = mark;
      const float e = estimate(t);
      ++out.scored;
      if (beam.size() < ef || e < beam.top().first) {
        frontier.push({e, t});
        beam.push({e, t});
        if (beam.size() > ef) beam.pop();
      }
    }
  }
  std::vector<Pair> exact;
  const std::span<const float> query(q, dim);
  for (; !beam.empty(); beam.pop()) {
    const std::uint32_t s = beam.top().second;
    exact.push_back({quarn_core::distance::distance(query, index.vector(s), Metric::Euclidean), s});
  }
  std::sort(exact.begin(), exact.end());
  for (std::size_t i = 0; i < std::min<std::size_t>(10, exact.size()); ++i)
    out.top.push_back(exact[i].second);
  return out;
}

// ---- Per-node blocks of one-bit codes (--blocks) ----

constexpr std::size_t kBlockSlots = 32;  // a layer-0 list holds at most 2m = 32 neighbours

// Per node, 64-byte aligned: the codes (64 bytes per four groups of four components: byte j
// holds neighbour j's bits of groups 4p and 4p+1, byte 32+j those of 4p+2 and 4p+3), then
// per neighbour |v − u|, 1/<g, o>, the sum of the node's rotated components under the
// code's set bits, the number of set bits, and the id.
struct Blocks {
  std::size_t padded = 0, quads = 0, code_bytes = 0, stride = 0;
  std::vector<std::uint8_t> raw;
  std::uint8_t* mem = nullptr;
  std::vector<float> sum_rotated;  // per node, the sum of its rotated components
  std::vector<std::uint8_t> count;

  const std::uint8_t* codes(std::uint32_t u) const { return mem + std::size_t{u} * stride; }
  const float* terms(std::uint32_t u) const {
    return reinterpret_cast<const float*>(codes(u) + code_bytes);
  }
  const std::uint32_t* ids(std::uint32_t u) const {
    return reinterpret_cast<const std::uint32_t*>(terms(u) + 4 * kBlockSlots);
  }
};

Blocks build_blocks(const HnswIndex& index, const std::vector<float>& base, std::size_t n,
                    std::size_t dim, const Rotation& rot) {
  Blocks b;
  b.padded = rot.padded;
  b.quads = b.padded / 16;
  b.code_bytes = b.quads * 64;
  b.stride = (b.code_bytes + kBlockSlots * 5 * sizeof(float) + 63) / 64 * 64;
  b.raw.assign(n * b.stride + 64, 0);
  b.mem = b.raw.data() + (64 - reinterpret_cast<std::uintptr_t>(b.raw.data()) % 64) % 64;
  b.sum_rotated.assign(n, 0.0f);
  b.count.assign(n, 0);
  std::vector<float> rotated(n * b.padded);
  for (std::size_t i = 0; i < n; ++i) rot.apply(&base[i * dim], dim, &rotated[i * b.padded]);
  const double root = std::sqrt(static_cast<double>(b.padded));
  for (std::uint32_t u = 0; u < n; ++u) {
    const float* ru = &rotated[std::size_t{u} * b.padded];
    double sum = 0.0;
    for (std::size_t i = 0; i < b.padded; ++i) sum += ru[i];
    b.sum_rotated[u] = static_cast<float>(sum);
    const auto list = index.neighbors(u, 0);
    b.count[u] = static_cast<std::uint8_t>(list.size());
    std::uint8_t* codes = b.mem + std::size_t{u} * b.stride;
    float* terms = reinterpret_cast<float*>(codes + b.code_bytes);
    auto* ids = reinterpret_cast<std::uint32_t*>(terms + 4 * kBlockSlots);
    for (std::size_t j = 0; j < list.size(); ++j) {
      const float* rv = &rotated[std::size_t{list[j]} * b.padded];
      double nn = 0.0, abs_sum = 0.0, under = 0.0;
      int bits = 0;
      for (std::size_t i = 0; i < b.padded; ++i) {
        const double d = double{rv[i]} - ru[i];
        nn += d * d;
        abs_sum += std::abs(d);
        if (d <= 0) continue;
        under += ru[i];
        ++bits;
        const std::size_t group = i / 4, quad = group / 4, within = group % 4;
        const std::size_t byte = quad * 64 + (within >= 2 ? 32 : 0) + j;
        codes[byte] |= static_cast<std::uint8_t>(1u << ((within % 2) * 4 + i % 4));
      }
      const double norm = std::sqrt(nn);
      const double go = norm > 0 ? abs_sum / (norm * root) : 0.0;  // <g, o>, g = ±1/√padded
      terms[j] = static_cast<float>(norm);
      terms[kBlockSlots + j] = go > 0 ? static_cast<float>(1.0 / go) : 0.0f;
      terms[2 * kBlockSlots + j] = static_cast<float>(under);
      terms[3 * kBlockSlots + j] = static_cast<float>(bits);
      ids[j] = list[j];
    }
  }
  return b;
}

// The rotated query quantized to six bits, and per group of four components the sums of
// every subset, laid out as the kernel loads them (128 bytes per four groups).
struct BlockQuery {
  std::vector<float> rotated;
  std::vector<std::uint8_t> raw;
  std::uint8_t* table = nullptr;
  float low = 0.0f, step = 0.0f, sum = 0.0f;
};

void prepare_block_query(const Rotation& rot, const float* q, std::size_t dim, BlockQuery& out) {
  out.rotated.resize(rot.padded);
  rot.apply(q, dim, out.rotated.data());
  const auto [lo, hi] = std::minmax_element(out.rotated.begin(), out.rotated.end());
  out.low = *lo;
  out.step = (*hi - *lo) / 63.0f;
  out.sum = 0.0f;
  for (float x : out.rotated) out.sum += x;
  out.raw.assign(rot.padded / 16 * 128 + 64, 0);
  out.table = out.raw.data() + (64 - reinterpret_cast<std::uintptr_t>(out.raw.data()) % 64) % 64;
  const float inv = out.step > 0 ? 1.0f / out.step : 0.0f;
  for (std::size_t g = 0; g < rot.padded / 4; ++g) {
    std::uint8_t t[4], e[16] = {0};
    for (std::size_t k = 0; k < 4; ++k)
      t[k] = static_cast<std::uint8_t>(std::nearbyint((out.rotated[g * 4 + k] - out.low) * inv));
    for (unsigned s = 1; s < 16; ++s)
      e[s] = static_cast<std::uint8_t>(e[s & (s - 1)] + t[__builtin_ctz(s)]);
    // Groups 4p and 4p+2 in the first 64 bytes (two lanes each), 4p+1 and 4p+3 in the next.
    std::uint8_t* at = out.table + (g / 4) * 128 + (g % 2) * 64 + (g % 4 / 2) * 32;
    std::memcpy(at, e, 16);
    std::memcpy(at + 16, e, 16);
  }
}

// sums[j]: the table's sum over neighbour j's set bits, for all 32 neighbours of a block.
void block_sums_scalar(const std::uint8_t* codes, const std::uint8_t* table, std::size_t quads,
                       std::uint16_t* sums) {
  for (std::size_t j = 0; j < kBlockSlots; ++j) {
    unsigned s = 0;
    for (std::size_t p = 0; p < quads; ++p) {
      const std::uint8_t* t = table + p * 128;
      const std::uint8_t a = codes[p * 64 + j], c = codes[p * 64 + 32 + j];
      s += t[a & 15] + t[64 + (a >> 4)] + t[32 + (c & 15)] + t[96 + (c >> 4)];
    }
    sums[j] = static_cast<std::uint16_t>(s);
  }
}

__attribute__((target("avx512f,avx512bw"))) void block_sums_avx512(const std::uint8_t* codes,
                                                                      const std::uint8_t* table,
                                                                      std::size_t quads,
                                                                      std::uint16_t* sums) {
  __m512i even = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
  const __m512i nibble = _mm512_set1_epi8(0x0f), low_byte = _mm512_set1_epi16(0x00ff);
  for (std::size_t p = 0; p < quads; ++p) {
    const __m512i c = _mm512_load_si512(codes + p * 64);
    const __m512i a = _mm512_shuffle_epi8(_mm512_load_si512(table + p * 128),
                                          _mm512_and_si512(c, nibble));
    const __m512i h = _mm512_shuffle_epi8(_mm512_load_si512(table + p * 128 + 64),
                                          _mm512_and_si512(_mm512_srli_epi16(c, 4), nibble));
    // Each lookup is up to 4 x 63: widen before adding.
    even = _mm512_add_epi16(even, _mm512_add_epi16(_mm512_and_si512(a, low_byte),
                                                   _mm512_and_si512(h, low_byte)));
    odd = _mm512_add_epi16(odd, _mm512_add_epi16(_mm512_srli_epi16(a, 8), _mm512_srli_epi16(h, 8)));
  }
  alignas(64) std::uint16_t e[32], o[32];
  _mm512_store_si512(e, even);
  _mm512_store_si512(o, odd);
  // Word w of lane L sums bytes 2w and 2w+1 of that lane; lanes 0 and 2 hold neighbours 0-15
  // (different groups), lanes 1 and 3 neighbours 16-31.
  for (std::size_t w = 0; w < 8; ++w) {
    sums[2 * w] = static_cast<std::uint16_t>(e[w] + e[16 + w]);
    sums[2 * w + 1] = static_cast<std::uint16_t>(o[w] + o[16 + w]);
    sums[16 + 2 * w] = static_cast<std::uint16_t>(e[8 + w] + e[24 + w]);
    sums[17 + 2 * w] = static_cast<std::uint16_t>(o[8 + w] + o[24 + w]);
  }
}

using BlockSums = void (*)(const std::uint8_t*, const std::uint8_t*, std::size_t, std::uint16_t*);

struct BlockWalk {
  std::vector<std::uint32_t> seen;
  std::uint32_t mark = 0;
  std::vector<float> dist;  // the pool, ascending: exact once expanded, estimated before
  std::vector<std::uint32_t> slot;
  std::vector<std::uint8_t> expanded;
  std::size_t expansions = 0;
};

// The walk: expand the nearest unexpanded slot of a pool of ef, measuring it exactly (its row)
// and estimating its unseen neighbours from its block; the k nearest expanded slots.
std::vector<std::uint32_t> block_walk(const HnswIndex& index, const Blocks& b,
                                      const BlockQuery& bq, std::span<const float> q,
                                      std::uint32_t entry, std::size_t ef, std::size_t k,
                                      BlockSums sums_of, BlockWalk& w) {
  const std::uint32_t mark = ++w.mark;
  w.dist.resize(ef);
  w.slot.resize(ef);
  w.expanded.resize(ef);
  std::size_t size = 0;
  auto put = [&](float d, std::uint32_t s, std::uint8_t done) {
    std::size_t at = size;
    while (at > 0 && w.dist[at - 1] > d) --at;
    if (at == ef) return;
    for (std::size_t i = std::min(size, ef - 1); i > at; --i) {
      w.dist[i] = w.dist[i - 1];
      w.slot[i] = w.slot[i - 1];
      w.expanded[i] = w.expanded[i - 1];
    }
    w.dist[at] = d, w.slot[at] = s, w.expanded[at] = done;
    size = std::min(size + 1, ef);
  };
  const float inv_root = 1.0f / std::sqrt(static_cast<float>(b.padded));
  alignas(64) std::uint16_t sums[kBlockSlots];
  w.seen[entry] = mark;
  put(0.0f, entry, 0);
  for (;;) {
    std::size_t at = 0;
    while (at < size && w.expanded[at] != 0) ++at;
    if (at == size) break;
    const std::uint32_t u = w.slot[at];
    const auto* block = reinterpret_cast<const char*>(b.codes(u));
    for (std::size_t off = 0; off < b.stride; off += 64) _mm_prefetch(block + off, _MM_HINT_T0);
    for (std::size_t next = at + 1; next < size; ++next) {
      if (w.expanded[next] != 0) continue;
      const auto* ahead = reinterpret_cast<const char*>(b.codes(w.slot[next]));
      for (std::size_t off = 0; off < b.stride; off += 64) _mm_prefetch(ahead + off, _MM_HINT_T1);
      break;
    }
    const float du = quarn_core::distance::distance(q, index.vector(u), Metric::Euclidean);
    ++w.expansions;
    for (std::size_t i = at; i + 1 < size; ++i) {
      w.dist[i] = w.dist[i + 1];
      w.slot[i] = w.slot[i + 1];
      w.expanded[i] = w.expanded[i + 1];
    }
    --size;
    put(du, u, 1);
    sums_of(b.codes(u), bq.table, b.quads, sums);
    const float* norm = b.terms(u);
    const float* inv_go = norm + kBlockSlots;
    const float* under = norm + 2 * kBlockSlots;
    const float* bits = norm + 3 * kBlockSlots;
    const std::uint32_t* ids = b.ids(u);
    const float sum_r = bq.sum - b.sum_rotated[u];  // components of r = Pq − Pu
    for (std::size_t j = 0; j < b.count[u]; ++j) {
      const std::uint32_t v = ids[j];
      if (w.seen[v] == mark) continue;
      w.seen[v] = mark;
      // <g, r> from the set bits' share of r; then <o, r> ≈ <g, r> / <g, o>.
      const float set = bq.low * bits[j] + bq.step * static_cast<float>(sums[j]) - under[j];
      const float or_ = (2.0f * set - sum_r) * inv_root * inv_go[j];
      const float est = du + norm[j] * norm[j] - 2.0f * norm[j] * or_;
      if (size < ef || est < w.dist[size - 1]) put(est, v, 0);
    }
  }
  std::vector<std::pair<float, std::uint32_t>> done;
  for (std::size_t i = 0; i < size; ++i)
    if (w.expanded[i] != 0) done.push_back({w.dist[i], w.slot[i]});
  std::vector<std::uint32_t> top;
  for (std::size_t i = 0; i < std::min(k, done.size()); ++i) top.push_back(done[i].second);
  return top;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

int run_blocks(HnswIndex& index, const std::vector<float>& base, const std::vector<float>& queries,
               const std::vector<std::vector<std::uint32_t>>& truth, std::size_t n,
               std::size_t dim, const std::vector<std::size_t>& efs) {
  const std::size_t nq = truth.size();
  const Rotation rot(dim, 16);
  auto t = std::chrono::steady_clock::now();
  const Blocks b = build_blocks(index, base, n, dim, rot);
  std::printf("blocks: %zu bytes per node (%zu-bit rotation), built in %.1f s\n", b.stride,
              rot.padded, seconds_since(t));
  const bool wide = __builtin_cpu_supports("avx512bw") != 0;
  const BlockSums sums_of = wide ? block_sums_avx512 : block_sums_scalar;
  std::vector<BlockQuery> prepared(nq);
  std::vector<std::uint32_t> entries(nq);
  t = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < nq; ++i) prepare_block_query(rot, &queries[i * dim], dim, prepared[i]);
  const double prep = seconds_since(t);
  index.enable_compressed_search();
  t = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < nq; ++i) entries[i] = index.layer0_entry({&queries[i * dim], dim});
  std::printf("left out of the blocks' time, per query: rotation and table %.2f us, "
              "descent %.2f us; kernel: %s\n",
              prep / static_cast<double>(nq) * 1e6, seconds_since(t) / static_cast<double>(nq) * 1e6,
              wide ? "AVX-512BW" : "scalar");
  for (std::uint32_t u = 0; u < std::min<std::size_t>(n, 64); ++u) {
    alignas(64) std::uint16_t a[kBlockSlots], c[kBlockSlots];
    sums_of(b.codes(u), prepared[0].table, b.quads, a);
    block_sums_scalar(b.codes(u), prepared[0].table, b.quads, c);
    if (std::memcmp(a, c, sizeof a) != 0) {
      std::fprintf(stderr, "block kernel differs from the scalar loop at node %u\n", u);
      return 1;
    }
  }
  BlockWalk w;
  w.seen.assign(n, 0);
  std::printf("%-11s %5s %10s %10s %12s\n", "walk", "ef", "recall@10", "q/s", "expanded/q");
  auto report = [&](const char* name, std::size_t ef, auto&& answer) {
    double best = INFINITY;
    std::size_t hits = 0;
    for (int pass = 0; pass < 3; ++pass) {  // the best of three passes
      hits = 0;
      w.expansions = 0;
      const auto start = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < nq; ++i) {
        for (std::uint32_t s : answer(i)) hits += std::count(truth[i].begin(), truth[i].end(), s);
      }
      best = std::min(best, seconds_since(start));
    }
    std::printf("%-11s %5zu %10.4f %10.0f", name, ef,
                static_cast<double>(hits) / static_cast<double>(10 * nq),
                static_cast<double>(nq) / best);
    if (w.expansions > 0) std::printf(" %12.1f", static_cast<double>(w.expansions) / static_cast<double>(nq));
    std::printf("\n");
  };
  auto graph = [&](std::size_t i, std::size_t ef) {
    std::vector<std::uint32_t> top;
    for (const auto& c : index.search_graph({&queries[i * dim], dim}, 10, ef)) top.push_back(c.slot);
    return top;
  };
  for (std::size_t ef : efs) {
    report("blocks", ef, [&](std::size_t i) {
      return block_walk(index, b, prepared[i], {&queries[i * dim], dim}, entries[i], ef, 10,
                        sums_of, w);
    });
    report("compressed", ef, [&](std::size_t i) { return graph(i, ef); });
    std::fflush(stdout);
  }
  index.disable_compressed_search();
  for (std::size_t ef : efs) report("f32", ef, [&](std::size_t i) { return graph(i, ef); });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "/usr/share/datasets/fashion-mnist";
  std::size_t nq = 1000;
  std::vector<std::size_t> efs = {16, 32, 64, 128, 256};
  std::size_t synthetic_n = 0, synthetic_dim = 0;
  bool blocks = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--data") {
      dir = next();
    } else if (a == "--clustered") {
      const std::string spec = next();
      const std::size_t comma = spec.find(',');
      if (comma == std::string::npos) return 2;
      synthetic_n = std::stoul(spec.substr(0, comma));
      synthetic_dim = std::stoul(spec.substr(comma + 1));
    } else if (a == "--queries") {
      nq = std::stoul(next());
    } else if (a == "--blocks") {
      blocks = true;
    } else if (a == "--efs") {
      efs.clear();
      const std::string list = next();
      for (std::size_t at = 0; at < list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        efs.push_back(std::stoul(list.substr(at, comma - at)));
        at = comma + 1;
      }
    } else {
      std::fprintf(stderr,
                   "usage: neighbour_codes_bench [--data DIR | --clustered N,DIM] [--queries N] "
                   "[--efs 16,32,...] [--blocks]\n");
      return 2;
    }
  }
  std::size_t n = synthetic_n, dim = synthetic_dim, qn = nq, qdim = 0;
  const auto base = synthetic_n > 0 ? clustered(n, dim, 1)
                                    : read_idx_images(dir + "/train-images-idx3-ubyte.gz", n, dim);
  const auto queries = synthetic_n > 0
                           ? clustered(nq, dim, 2)
                           : read_idx_images(dir + "/t10k-images-idx3-ubyte.gz", qn, qdim);
  nq = std::min(nq, qn);

  const auto t0 = std::chrono::steady_clock::now();
  HnswIndex index(dim, 16, 200, Metric::Euclidean);
  if (blocks) index.enable_compressed_search();  // built as the compressed mode builds it
  index.batch_insert_flat(base);
  std::printf("graph: %zu x %zu, m 16, ef_construction 200, built in %.1f s%s\n", n, dim,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
              blocks ? " on the codes" : "");

  std::vector<std::vector<std::uint32_t>> truth(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    for (const auto& c : index.search_exact({queries.data() + i * dim, dim}, 10))
      truth[i].push_back(c.slot);
  }
  if (blocks) return run_blocks(index, base, queries, truth, n, dim, efs);

  std::vector<Code> codes;
  {
    auto exact_query = std::make_shared<const float*>(nullptr);
    Code f32;
    f32.name = "f32";
    f32.bytes_per_vector = static_cast<double>(dim * sizeof(float));
    f32.prepare = [exact_query](const float* q) { *exact_query = q; };
    f32.estimate = [exact_query, &index, dim](std::uint32_t s) {
      return quarn_core::distance::distance({*exact_query, dim}, index.vector(s),
                                            Metric::Euclidean);
    };
    codes.push_back(std::move(f32));
  }
  codes.push_back(scalar_code(base, n, dim, 8));
  codes.push_back(scalar_code(base, n, dim, 4));
  for (int bits : {1, 2, 4}) codes.push_back(rotated_code(base, n, dim, bits));

  std::printf("%-6s %10s %5s %10s %14s %14s\n", "code", "bytes/vec", "ef", "recall@10",
              "scored/query", "exact/query");
  std::vector<std::uint32_t> seen(n, 0);
  std::uint32_t mark = 0;
  for (const Code& code : codes) {
    for (std::size_t ef : efs) {
      std::size_t hits = 0, scored = 0;
      for (std::size_t i = 0; i < nq; ++i) {
        const float* q = queries.data() + i * dim;
        code.prepare(q);
        const Walk w =
            walk(index, q, dim, index.layer0_entry({q, dim}), ef, code.estimate, seen, ++mark);
        scored += w.scored;
        for (std::uint32_t s : w.top) hits += std::count(truth[i].begin(), truth[i].end(), s);
      }
      std::printf("%-6s %10.0f %5zu %10.4f %14.0f %14zu\n", code.name.c_str(),
                  code.bytes_per_vector, ef,
                  static_cast<double>(hits) / static_cast<double>(10 * nq),
                  static_cast<double>(scored) / static_cast<double>(nq), ef);
      std::fflush(stdout);
    }
  }
  return 0;
}
