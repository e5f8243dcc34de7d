// The figures that tell one build's target CPU from another's, on Fashion-MNIST, for
// bench/compare_builds.py to run from several build directories in turns:
//
//   arch_bench build                       graph build time on 2 threads
//   arch_bench save DIR                    a collection of the 60,000 images, saved in DIR
//   arch_bench search DIR TRUTH [N] [EFS]  recall@10 and single-thread queries per second
//                                          of the first N test images at each ef (default
//                                          16,24,32,48,64,100), f32, then SQ8 traversal
//
// Every build searches the same saved graph, so recall is the same for all and only the
// speed differs. Times are CPU times (the process's for the build, the thread's for the
// queries) beside wall times, which keeps a comparison on a machine shared with other work
// fair. TRUTH holds the exact top 10 of each query: a u64 query count, then 10 u32 base
// indices per query.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "quarn_core/db.hpp"
#include "quarn_core/hnsw.hpp"

namespace {

using quarn_core::distance::Metric;

constexpr std::size_t kK = 10;
const std::string kData = "/usr/share/datasets/fashion-mnist";

double clock_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// An IDX image file (gzip): big-endian magic 0x803, count, rows, cols, then u8 pixels.
std::vector<float> read_images(const std::string& path, std::size_t& n, std::size_t& dim) {
  gzFile f = gzopen(path.c_str(), "rb");
  unsigned char header[16];
  if (f == nullptr || gzread(f, header, 16) != 16) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  auto be32 = [&](int at) {
    return (std::uint32_t{header[at]} << 24) | (std::uint32_t{header[at + 1]} << 16) |
           (std::uint32_t{header[at + 2]} << 8) | std::uint32_t{header[at + 3]};
  };
  n = be32(4);
  dim = std::size_t{be32(8)} * be32(12);
  std::vector<unsigned char> pixels(n * dim);
  if (gzread(f, pixels.data(), static_cast<unsigned>(pixels.size())) !=
      static_cast<int>(pixels.size())) {
    std::fprintf(stderr, "%s: short file\n", path.c_str());
    std::exit(1);
  }
  gzclose(f);
  return {pixels.begin(), pixels.end()};
}

template <class T>
T check(quarn_core::Result<T> r) {
  if (!r) {
    std::fprintf(stderr, "%s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(*r);
}

int build() {
  std::size_t n = 0, dim = 0;
  const auto base = read_images(kData + "/train-images-idx3-ubyte.gz", n, dim);
  quarn_core::hnsw::HnswIndex index(dim, 16, 200, Metric::Euclidean);
  const double cpu0 = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double wall0 = clock_seconds(CLOCK_MONOTONIC);
  index.batch_insert_flat(base);
  std::printf("build %.2f %.2f\n", clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0,
              clock_seconds(CLOCK_MONOTONIC) - wall0);
  return 0;
}

int save(const std::string& dir) {
  std::size_t n = 0, dim = 0;
  const auto base = read_images(kData + "/train-images-idx3-ubyte.gz", n, dim);
  auto db = check(quarn_core::db::Database::open_or_create_with_config(
      dir, dim, Metric::Euclidean, quarn_core::db::DatabaseConfig{}));
  std::vector<quarn_core::db::Record> records;
  for (std::size_t i = 0; i < n; ++i) {
    records.push_back({std::to_string(i),
                       std::vector<float>(base.begin() + i * dim, base.begin() + (i + 1) * dim),
                       std::nullopt});
  }
  check(db->add_many(std::move(records)));
  check(db->save());
  return 0;
}

int search(const std::string& dir, const std::string& truth_path, std::size_t nq,
           const std::vector<std::size_t>& efs) {
  std::size_t total = 0, dim = 0;
  const auto queries = read_images(kData + "/t10k-images-idx3-ubyte.gz", total, dim);
  std::ifstream in(truth_path, std::ios::binary);
  std::uint64_t count = 0;
  if (!in.read(reinterpret_cast<char*>(&count), 8) || count < nq) {
    std::fprintf(stderr, "%s: no exact answers for %zu queries\n", truth_path.c_str(), nq);
    return 1;
  }
  std::vector<std::uint32_t> truth(count * kK);
  in.read(reinterpret_cast<char*>(truth.data()), std::streamsize(truth.size() * 4));
  auto db = check(quarn_core::db::Database::open(dir));
  for (const char* variant : {"f32", "sq8"}) {
    if (std::string(variant) == "sq8") db->enable_quantized_search();
    for (std::size_t ef : efs) {
      quarn_core::db::SearchOptions options;
      options.k = kK;
      options.ef_search = ef;
      std::size_t hits = 0;
      const double cpu0 = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
      const double wall0 = clock_seconds(CLOCK_MONOTONIC);
      for (std::size_t i = 0; i < nq; ++i) {
        const auto found = check(db->search({queries.data() + i * dim, dim}, options));
        const std::uint32_t* t = truth.data() + i * kK;
        for (const auto& r : found) hits += std::count(t, t + kK, std::stoul(r.id));
      }
      const double cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
      const double wall = clock_seconds(CLOCK_MONOTONIC) - wall0;
      std::printf("%s %zu %.4f %.1f %.1f\n", variant, ef, double(hits) / double(nq * kK),
                  double(nq) / cpu, double(nq) / wall);
    }
  }
  return 0;
}

std::vector<std::size_t> parse_list(const std::string& s) {
  std::vector<std::size_t> out;
  for (std::size_t at = 0; at < s.size();) {
    const std::size_t comma = std::min(s.find(',', at), s.size());
    out.push_back(std::stoul(s.substr(at, comma - at)));
    at = comma + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "build") return build();
  if (mode == "save" && argc == 3) return save(argv[2]);
  if (mode == "search" && argc >= 4) {
    return search(argv[2], argv[3], argc > 4 ? std::stoul(argv[4]) : 10'000,
                  parse_list(argc > 5 ? argv[5] : "16,24,32,48,64,100"));
  }
  std::fprintf(stderr, "usage: arch_bench build | save DIR | search DIR TRUTH [N] [EFS]\n");
  return 2;
}
