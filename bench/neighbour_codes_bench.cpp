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
//   neighbour_codes_bench [--data DIR | --clustered N,DIM] [--queries N] [--efs 16,32,...]
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

  explicit Rotation(std::size_t dim) : padded(1) {
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
    std::copy(x, x + dim, v.begin());
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
      for (float& value : v) value *= scale;
    }
    return v;
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

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "/usr/share/datasets/fashion-mnist";
  std::size_t nq = 1000;
  std::vector<std::size_t> efs = {16, 32, 64, 128, 256};
  std::size_t synthetic_n = 0, synthetic_dim = 0;
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
                   "usage: neighbour_codes_bench [--data DIR] [--queries N] [--efs 16,32,...]\n");
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
  index.batch_insert_flat(base);
  std::printf("graph: %zu x %zu, m 16, ef_construction 200, built in %.1f s\n", n, dim,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());

  std::vector<std::vector<std::uint32_t>> truth(nq);
  for (std::size_t i = 0; i < nq; ++i) {
    for (const auto& c : index.search_exact({queries.data() + i * dim, dim}, 10))
      truth[i].push_back(c.slot);
  }

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
