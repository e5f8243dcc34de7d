// Build time, recall@10 and single-thread queries per second of our HNSW graph on
// Fashion-MNIST, beside hnswlib's C++ (compiled in its own unit with -march=native, so that
// the peer uses this CPU's instructions whatever our build's flags); then our
// exact scan on 100,000 random vectors of 96 floats.
//
//   hnsw_bench [--data DIR] [--queries N] [--cache FILE] [--skip-hnswlib] [--skip-exact]
//              [--skip-graph] [--efs 10,16,...] [--blas-threads N] [--sequential]
//              [--csv FILE] [--skip-self] [--repeat N]
//
// --sequential builds our graph with one insert at a time instead of batch_insert.
// --csv writes one row per measured point: system,variant,ef,recall_at_10,qps,build_seconds.
// --skip-self skips searching every stored vector for itself (about 10 s per graph).
// --repeat N runs each sweep of the efs N times and keeps each point's best pass (a busy
// machine).
// Each of our points is measured right beside hnswlib's at the same ef.
//
// The exact scan runs with OpenBLAS's default thread count unless --blas-threads says
// otherwise: the library leaves that process-wide setting alone, since NumPy in the same
// Python process shares the one OpenBLAS.
#include <cblas.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hnswlib_peer.hpp"
#include "idx_images.hpp"
#include "quarn_core/distance.hpp"
#include "quarn_core/hnsw.hpp"

namespace {

using quarn_core::distance::Metric;
using quarn_core::hnsw::Candidate;
using quarn_core::hnsw::HnswIndex;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kK = 10;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::size_t rss_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Exact top-k by squared Euclidean distance: a matrix product shortlists 4k candidates per
// query, which are then re-ranked with the pairwise distance.
std::vector<std::uint32_t> ground_truth(const std::vector<float>& base, std::size_t n,
                                        const std::vector<float>& queries, std::size_t nq,
                                        std::size_t dim) {
  std::vector<float> norms(n);
  for (std::size_t i = 0; i < n; ++i) {
    double s = 0;
    for (std::size_t d = 0; d < dim; ++d) s += double(base[i * dim + d]) * base[i * dim + d];
    norms[i] = static_cast<float>(s);
  }
  std::vector<std::uint32_t> truth(nq * kK);
  const std::size_t chunk = 500;
  std::vector<float> prod(chunk * n);
  std::vector<std::pair<float, std::uint32_t>> row(n);
  for (std::size_t q0 = 0; q0 < nq; q0 += chunk) {
    const std::size_t c = std::min(chunk, nq - q0);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, int(c), int(n), int(dim), 1.0f,
                queries.data() + q0 * dim, int(dim), base.data(), int(dim), 0.0f, prod.data(),
                int(n));
    for (std::size_t qi = 0; qi < c; ++qi) {
      for (std::size_t i = 0; i < n; ++i) {
        row[i] = {norms[i] - 2 * prod[qi * n + i], static_cast<std::uint32_t>(i)};
      }
      const std::size_t shortlist = 4 * kK;
      std::partial_sort(row.begin(), row.begin() + shortlist, row.end());
      const float* q = queries.data() + (q0 + qi) * dim;
      for (std::size_t j = 0; j < shortlist; ++j) {
        row[j].first = quarn_core::distance::distance(q, base.data() + row[j].second * dim, dim,
                                                      Metric::Euclidean);
      }
      std::sort(row.begin(), row.begin() + shortlist);
      for (std::size_t j = 0; j < kK; ++j) truth[(q0 + qi) * kK + j] = row[j].second;
    }
  }
  return truth;
}

struct Point {
  std::size_t ef;
  double recall;
  double qps;
};

// Runs every query once on this thread: recall@10 against the truth and queries per second.
Point measure(std::size_t ef, std::size_t nq, std::size_t dim, const std::vector<float>& queries,
              const std::vector<std::uint32_t>& truth,
              const std::function<void(const float*, std::vector<std::uint32_t>&)>& search) {
  std::vector<std::uint32_t> got;
  std::size_t hits = 0;
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < nq; ++i) {
    search(queries.data() + i * dim, got);
    const std::uint32_t* t = truth.data() + i * kK;
    for (std::uint32_t s : got) hits += std::count(t, t + kK, s);
  }
  const double secs = seconds_since(t0);
  return {ef, double(hits) / double(nq * kK), double(nq) / secs};
}

// QPS at a given recall, interpolated linearly between the measured points (log-QPS would
// be no better at this density); 0 when the curve never reaches it.
double qps_at(const std::vector<Point>& curve, double recall) {
  for (std::size_t i = 0; i < curve.size(); ++i) {
    if (curve[i].recall >= recall) {
      if (i == 0) return curve[0].qps;
      const Point& a = curve[i - 1];
      const Point& b = curve[i];
      if (b.recall == a.recall) return b.qps;
      const double t = (recall - a.recall) / (b.recall - a.recall);
      return a.qps + t * (b.qps - a.qps);
    }
  }
  return 0;
}

// Stored vectors that a search for their own vector (k 10 at the given ef) does not return
// as the first hit. An identical stored copy returned first counts as found: no search can
// tell the two apart.
std::size_t self_misses(const std::vector<float>& base, std::size_t n, std::size_t dim,
                        const std::function<std::uint32_t(const float*)>& first_hit) {
  std::size_t misses = 0;
  for (std::size_t s = 0; s < n; ++s) {
    const float* v = base.data() + s * dim;
    const std::uint32_t got = first_hit(v);
    if (got == s) continue;
    if (got < n && std::memcmp(base.data() + std::size_t{got} * dim, v, dim * sizeof(float)) == 0)
      continue;
    ++misses;
  }
  return misses;
}

void write_csv(std::FILE* f, const char* system, const char* variant,
               const std::vector<Point>& curve, double build) {
  if (f == nullptr) return;
  for (const Point& p : curve) {
    std::fprintf(f, "%s,%s,%zu,%.4f,%.1f,%.3f\n", system, variant, p.ef, p.recall, p.qps, build);
  }
}

void print_curve(const char* name, const std::vector<Point>& curve) {
  std::printf("%-22s %6s %9s %10s\n", name, "ef", "recall@10", "QPS");
  for (const Point& p : curve) {
    std::printf("%-22s %6zu %9.4f %10.0f\n", "", p.ef, p.recall, p.qps);
  }
}

std::vector<std::size_t> parse_list(const std::string& s) {
  std::vector<std::size_t> out;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t comma = s.find(',', at);
    out.push_back(std::stoul(s.substr(at, comma - at)));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

void exact_scan_bench() {
  const std::size_t n = 100'000, dim = 96, nq = 2000;
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0, 1);
  std::vector<float> data(n * dim), queries(nq * dim);
  for (auto& x : data) x = normal(rng);
  for (auto& x : queries) x = normal(rng);
  // The scan needs no graph: hand the vectors over as a loaded index with empty lists.
  quarn_core::hnsw::LoadedGraph g;
  g.dim = dim;
  g.metric = Metric::Euclidean;
  g.entry_point = 0;
  g.layers.assign(n, std::vector<std::vector<std::uint32_t>>(1));
  for (std::size_t i = 0; i < n; ++i) {
    g.norms.push_back(quarn_core::hnsw::vector_norm({data.data() + i * dim, dim}));
  }
  g.vectors = quarn_core::hnsw::VectorStore(std::move(data));
  auto loaded = HnswIndex::from_loaded(std::move(g));
  if (!loaded) std::exit(1);
  const HnswIndex& scan = **loaded;
  std::printf("\nexact scan, %zu x %zu, squared Euclidean, k=10, one query at a time:\n", n, dim);
  std::size_t sink = 0;
  for (std::size_t i = 0; i < 50; ++i) sink += scan.search_exact({queries.data(), dim}, 10)[0].slot;
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < nq; ++i) {
    sink += scan.search_exact({queries.data() + i * dim, dim}, 10)[0].slot;
  }
  const double qps = double(nq) / seconds_since(t0);
  std::printf("  quarn search_exact: %.0f QPS (%.1f us/query) [%zu]\n", qps, 1e6 / qps, sink % 7);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "/usr/share/datasets/fashion-mnist";
  std::string cache = "fashion-mnist-gt.bin";
  std::size_t nq_wanted = 10'000;
  bool skip_hnswlib = false, skip_exact = false, skip_graph = false, sequential = false,
       skip_self = false;
  std::string csv_path;
  int blas_threads = 0;  // 0: OpenBLAS's own default, as the library leaves it
  int repeat = 1;
  bool build_compressed = false;  // link the graph walking on the codes
  std::vector<std::size_t> efs = {10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 64, 100, 200, 400};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--data")
      dir = next();
    else if (a == "--queries")
      nq_wanted = std::stoul(next());
    else if (a == "--cache")
      cache = next();
    else if (a == "--skip-hnswlib")
      skip_hnswlib = true;
    else if (a == "--skip-exact")
      skip_exact = true;
    else if (a == "--skip-graph")
      skip_graph = true;
    else if (a == "--sequential")
      sequential = true;
    else if (a == "--build-compressed")
      build_compressed = true;
    else if (a == "--skip-self")
      skip_self = true;
    else if (a == "--csv")
      csv_path = next();
    else if (a == "--repeat")
      repeat = std::stoi(next());
    else if (a == "--efs")
      efs = parse_list(next());
    else if (a == "--blas-threads")
      blas_threads = std::stoi(next());
  }
  if (blas_threads > 0) openblas_set_num_threads(blas_threads);
  std::FILE* csv = nullptr;
  if (!csv_path.empty()) {
    csv = std::fopen(csv_path.c_str(), "w");
    if (csv == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", csv_path.c_str());
      return 1;
    }
    std::fprintf(csv, "system,variant,ef,recall_at_10,qps,build_seconds\n");
  }
  const int scan_threads = openblas_get_num_threads();

  if (!skip_graph) {
    std::size_t n = 0, dim = 0, nq = 0, qdim = 0;
    const auto base = read_idx_images(dir + "/train-images-idx3-ubyte.gz", n, dim);
    auto queries = read_idx_images(dir + "/t10k-images-idx3-ubyte.gz", nq, qdim);
    nq = std::min(nq, nq_wanted);
    std::printf(
        "Fashion-MNIST: %zu x %zu base, %zu queries, squared Euclidean, m=16, "
        "ef_construction=200\n",
        n, dim, nq);

    std::vector<std::uint32_t> truth(nq * kK);
    {
      std::ifstream in(cache, std::ios::binary);
      std::uint64_t cached = 0;
      if (in && in.read(reinterpret_cast<char*>(&cached), 8) && cached == nq &&
          in.read(reinterpret_cast<char*>(truth.data()), std::streamsize(truth.size() * 4))) {
        std::printf("ground truth: read from %s\n", cache.c_str());
      } else {
        openblas_set_num_threads(2);
        const auto t0 = Clock::now();
        truth = ground_truth(base, n, queries, nq, dim);
        openblas_set_num_threads(scan_threads);
        std::printf("ground truth: computed in %.1f s\n", seconds_since(t0));
        std::ofstream out(cache, std::ios::binary);
        const std::uint64_t count = nq;
        out.write(reinterpret_cast<const char*>(&count), 8);
        out.write(reinterpret_cast<const char*>(truth.data()), std::streamsize(truth.size() * 4));
      }
    }

    // hnswlib first, so that neither build's freed memory hides in the other's RSS figure.
    std::unique_ptr<HnswlibPeer> peer;
    double peer_build = 0, peer_bytes = 0;
    std::vector<Point> peer_curve;
    if (!skip_hnswlib) {
      const std::size_t rss0 = rss_bytes();
      const auto t0 = Clock::now();
      std::printf("hnswlib: Debian's headers compiled with %s\n", HnswlibPeer::build_flags());
      peer = std::make_unique<HnswlibPeer>(dim, n, 16, 200);
      std::atomic<std::size_t> next{0};
      auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) peer->add(base.data() + i * dim, i);
      };
      std::thread t1(work), t2(work);
      t1.join();
      t2.join();
      peer_build = seconds_since(t0);
      peer_bytes = double(rss_bytes() - rss0) / double(n);
      std::printf("hnswlib build: %.2f s on 2 threads, RSS %.0f bytes/vector\n", peer_build,
                  peer_bytes);
    }

    const std::size_t rss0 = rss_bytes();
    HnswIndex index(dim, 16, 200, Metric::Euclidean);
    if (build_compressed) index.enable_compressed_search();
    const auto t0 = Clock::now();
    if (sequential) {
      for (std::size_t i = 0; i < n; ++i) index.insert({base.data() + i * dim, dim});
    } else {
      index.batch_insert_flat(base);
    }
    const double build = seconds_since(t0);
    const double bytes = double(rss_bytes() - rss0) / double(n);
    std::printf(
        "quarn   build: %.2f s on %s%s, RSS %.0f bytes/vector, structures %.0f "
        "bytes/vector\n",
        build, sequential ? "1 thread (one insert at a time)" : "2 threads",
        build_compressed ? ", walking on the codes" : "", bytes,
        double(index.memory_usage()) / double(n));

    {
      // Graph health: layer-0 nodes nobody links to are never found, short lists route badly.
      std::vector<std::uint32_t> in_degree(n, 0);
      std::size_t short_lists = 0, self_links = 0;
      for (std::uint32_t s = 0; s < n; ++s) {
        const auto list = index.neighbors(s, 0);
        short_lists += list.size() < index.m0() / 2;
        for (std::uint32_t e : list) {
          ++in_degree[e];
          self_links += e == s;
        }
      }
      // Can an unreachable vector still be found by searching for itself?
      std::size_t orphans = 0, found = 0;
      for (std::uint32_t s = 0; s < n; ++s) {
        if (in_degree[s] != 0 || index.node_level(s) != 0) continue;
        ++orphans;
        for (const Candidate& c : index.search_graph(index.vector(s), kK, 64)) found += c.slot == s;
      }
      std::printf(
          "layer 0: %zu nodes unreachable (no in-link), %zu with under %zu links, %zu "
          "self-links; top level %zu; %zu of %zu level-0 orphans found by searching "
          "for their own vector (ef 64)\n",
          static_cast<std::size_t>(std::count(in_degree.begin(), in_degree.end(), 0u)), short_lists,
          index.m0() / 2, self_links, index.max_level(), found, orphans);
    }

    if (!skip_self) {
      const std::size_t ours_missed = self_misses(base, n, dim, [&](const float* v) {
        const auto r = index.search_graph({v, dim}, kK, 64);
        return r.empty() ? quarn_core::hnsw::kNoEntry : r[0].slot;
      });
      std::printf("quarn:   %zu of %zu stored vectors not their own first hit at ef 64 (%.3f%%)\n",
                  ours_missed, n, 100.0 * double(ours_missed) / double(n));
      if (peer) {
        peer->set_ef(64);
        std::vector<std::uint32_t> hits;
        const std::size_t peer_missed = self_misses(base, n, dim, [&](const float* v) {
          peer->search(v, kK, hits);
          return hits.empty() ? quarn_core::hnsw::kNoEntry : hits[0];
        });
        std::printf(
            "hnswlib: %zu of %zu stored vectors not their own first hit at ef 64 (%.3f%%)\n",
            peer_missed, n, 100.0 * double(peer_missed) / double(n));
      }
    }

    // Each point is measured right beside the peer's at the same ef, so that a change in the
    // machine's load hits both alike. With --repeat the whole sweep runs that many times and
    // each point keeps its best pass: a slow spell then costs one pass of a few points, not
    // every pass of one point, which bent the curves. Every other pass runs the efs backwards:
    // the host's slow spells came about once a sweep, and in one direction they fell on the
    // same ef in every pass.
    auto keep_best = [](std::vector<Point>& curve, std::size_t i, const Point& p) {
      if (curve.size() == i) curve.push_back(p);
      curve[i].qps = std::max(curve[i].qps, p.qps);
    };
    auto sweep = [&](std::vector<Point>& ours_curve, std::vector<Point>& peer_points) {
      for (int pass = 0; pass < std::max(repeat, 1); ++pass) {
        for (std::size_t j = 0; j < efs.size(); ++j) {
          const std::size_t i = pass % 2 == 0 ? j : efs.size() - 1 - j;
          const std::size_t ef = efs[i];
          keep_best(ours_curve, i,
                    measure(ef, nq, dim, queries, truth, [&](const float* q, auto& out) {
                      out.clear();
                      for (const Candidate& c : index.search_graph({q, dim}, kK, ef)) {
                        out.push_back(c.slot);
                      }
                    }));
          if (!peer) continue;
          peer->set_ef(ef);
          keep_best(peer_points, i,
                    measure(ef, nq, dim, queries, truth,
                            [&](const float* q, auto& out) { peer->search(q, kK, out); }));
        }
      }
    };
    index.disable_compressed_search();
    std::vector<Point> ours, ours_sq8, ours_codes, peer_sq8_curve, peer_codes_curve;
    sweep(ours, peer_curve);
    const std::size_t rss_sq0 = rss_bytes();
    index.enable_quantized_search();
    const double sq8_bytes = double(rss_bytes() - rss_sq0) / double(n);
    sweep(ours_sq8, peer_sq8_curve);
    index.disable_quantized_search();
    const std::size_t rss_c0 = rss_bytes();
    index.enable_compressed_search();
    const double codes_bytes = double(rss_bytes() - rss_c0) / double(n);
    sweep(ours_codes, peer_codes_curve);
    // The plot's peer curve is the peer at its best: every pass beside every mode counts.
    std::vector<Point> peer_best = peer_curve;
    for (std::size_t i = 0; i < peer_best.size(); ++i) {
      peer_best[i].qps = std::max({peer_best[i].qps, peer_sq8_curve[i].qps,
                                   peer_codes_curve[i].qps});
    }
    write_csv(csv, "quarn", "compressed", ours_codes, build);
    write_csv(csv, "quarn", "f32", ours, build);
    write_csv(csv, "quarn", "sq8", ours_sq8, build);
    if (peer) write_csv(csv, "hnswlib-cpp", "-", peer_best, peer_build);
    std::printf("\n");
    print_curve("quarn (f32)", ours);
    print_curve("quarn (SQ8 traversal)", ours_sq8);
    if (peer) print_curve("hnswlib C++", peer_curve);
    if (peer) print_curve("hnswlib C++ (beside SQ8)", peer_sq8_curve);
    print_curve("quarn (compressed traversal)", ours_codes);
    if (peer) print_curve("hnswlib C++ (beside compressed)", peer_codes_curve);
    std::printf("compressed codes: %.0f bytes/vector more\n", codes_bytes);
    std::printf("SQ8 codes: %.0f bytes/vector more\n", sq8_bytes);
    std::printf("\nSQ8 recall minus f32 recall, same ef:");
    for (std::size_t i = 0; i < efs.size(); ++i) {
      std::printf(" %zu:%+.4f", efs[i], ours_sq8[i].recall - ours[i].recall);
    }
    std::printf("\n");
    if (peer) {
      std::printf("\nbuild time ratio quarn/hnswlib: %.3f (target <= 0.8)\n", build / peer_build);
      std::printf("memory ratio quarn/hnswlib (RSS): %.3f (target <= 1.05)\n", bytes / peer_bytes);
      for (double r : {0.95, 0.99}) {
        const double p = qps_at(peer_curve, r);
        const double a = qps_at(ours, r);
        const double p2 = qps_at(peer_sq8_curve, r);
        const double b = qps_at(ours_sq8, r);
        std::printf(
            "at recall %.2f: quarn f32 %.0f QPS vs hnswlib %.0f (x%.2f, target %.1f); "
            "quarn SQ8 %.0f vs hnswlib %.0f (x%.2f, target %.1f)\n",
            r, a, p, p > 0 ? a / p : 0.0, r < 0.98 ? 1.2 : 1.1, b, p2, p2 > 0 ? b / p2 : 0.0,
            r < 0.98 ? 1.5 : 1.3);
        const double p3 = qps_at(peer_codes_curve, r);
        const double c3 = qps_at(ours_codes, r);
        std::printf("at recall %.2f: quarn compressed %.0f QPS vs hnswlib %.0f (x%.2f, target %.1f)\n",
                    r, c3, p3, p3 > 0 ? c3 / p3 : 0.0, r < 0.98 ? 4.0 : 3.0);
      }
    }
  }
  if (!skip_exact) {
    std::printf("\nOpenBLAS threads: %d\n", openblas_get_num_threads());
    exact_scan_bench();
  }
  if (csv != nullptr) std::fclose(csv);
  return 0;
}
