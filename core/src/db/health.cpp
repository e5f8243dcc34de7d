// Checks of a collection in memory (verify), its health figures, its exact-scan limit, the
// calibration of its default search width, and the rebuild of its graph (repair).
#include <cblas.h>
#include <fcntl.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <unordered_set>

#include "tools.hpp"

namespace quarn_core::db {

namespace fs = std::filesystem;

namespace tools {
namespace {

std::string num(std::uint64_t v) { return std::to_string(v); }

// SplitMix64: a fixed, portable stream for the samples, so that the same collection is
// always measured on the same slots.
class SampleRng {
 public:
  explicit SampleRng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound) (bound > 0), by rejection so that no value is favoured.
  std::uint64_t below(std::uint64_t bound) {
    const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() -
                                std::numeric_limits<std::uint64_t>::max() % bound;
    for (;;) {
      const std::uint64_t x = next();
      if (x < limit) return x % bound;
    }
  }

 private:
  std::uint64_t state_;
};

constexpr std::uint64_t kSampleSeed = 0x71A2B3C4D5E6F708ull;

// The k smallest (distance, slot) pairs of a stream, ascending at the end.
class Nearest {
 public:
  explicit Nearest(std::size_t k) : k_(k) { heap_.reserve(k + 1); }
  void offer(float d, std::uint32_t slot) {
    if (k_ == 0) return;
    if (heap_.size() < k_) {
      heap_.push_back({d, slot});
      std::push_heap(heap_.begin(), heap_.end());
    } else if (d < heap_.front().first) {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = {d, slot};
      std::push_heap(heap_.begin(), heap_.end());
    }
  }
  std::vector<std::uint32_t> slots() {
    std::sort_heap(heap_.begin(), heap_.end());
    std::vector<std::uint32_t> out;
    out.reserve(heap_.size());
    for (const auto& [d, s] : heap_) out.push_back(s);
    return out;
  }

 private:
  std::size_t k_;
  std::vector<std::pair<float, std::uint32_t>> heap_;
};

}  // namespace

void ProblemList::add(const std::string& kind, std::string text) {
  if (++counts_[kind] <= kShownPerKind) lines_.push_back(std::move(text));
}

std::vector<std::string> ProblemList::finish() && {
  for (const auto& [kind, count] : counts_) {
    if (count > kShownPerKind) lines_.push_back(kind + ": " + num(count - kShownPerKind) + " more");
  }
  return std::move(lines_);
}

GraphView view_of(const hnsw::HnswIndex& index) {
  GraphView v;
  v.nodes = index.node_count();
  v.max_level = index.max_level();
  v.m = index.m();
  v.entry_point = index.entry_point();
  v.level = [&index](std::uint32_t s) { return index.node_level(s); };
  v.deleted = [&index](std::uint32_t s) { return index.is_deleted(s); };
  v.list = [&index](std::uint32_t s, std::size_t layer, std::vector<std::uint32_t>& out) {
    out = index.neighbors(s, layer);
  };
  return v;
}

void check_graph(const GraphView& g, const std::string& where, ProblemList& problems,
                 bool self_loops) {
  const std::size_t n = g.nodes;
  if (n == 0) {
    if (g.entry_point != hnsw::kNoEntry) {
      problems.add(where + ": entry point",
                   where + ": an empty graph names entry point " + num(g.entry_point));
    }
    return;
  }
  if (g.entry_point == hnsw::kNoEntry || g.entry_point >= n) {
    problems.add(where + ": entry point",
                 where + ": the entry point " +
                     (g.entry_point == hnsw::kNoEntry
                          ? std::string("is missing")
                          : num(g.entry_point) + " is not below the node count " + num(n)));
  } else if (const std::size_t top = g.level(g.entry_point); top != g.max_level) {
    problems.add(where + ": entry point", where + ": the entry point " + num(g.entry_point) +
                                              " is on layer " +
                                              (top == kNoLayers ? std::string("none") : num(top)) +
                                              ", not on the top layer " + num(g.max_level));
  }
  std::vector<std::uint32_t> list;
  for (std::uint32_t s = 0; s < n; ++s) {
    const std::size_t level = g.level(s);
    if (level == kNoLayers) {
      problems.add(where + ": node without layers", where + ": node " + num(s) + " has no layers");
      continue;
    }
    if (level > g.max_level) {
      problems.add(where + ": node above the top", where + ": node " + num(s) + " reaches layer " +
                                                       num(level) + ", above the top layer " +
                                                       num(g.max_level));
    }
    for (std::size_t l = 0; l <= level; ++l) {
      g.list(s, l, list);
      const std::size_t limit = l == 0 ? 2 * g.m : g.m;
      if (list.size() > limit) {
        problems.add(where + ": list over its limit",
                     where + ": node " + num(s) + " has " + num(list.size()) +
                         " neighbours on layer " + num(l) + ", more than its limit " + num(limit));
      }
      for (std::uint32_t nb : list) {
        if (nb >= n) {
          problems.add(where + ": neighbour out of range",
                       where + ": node " + num(s) + " lists neighbour " + num(nb) + " on layer " +
                           num(l) + ", not below the node count " + num(n));
        } else if (nb == s && self_loops) {
          problems.add(where + ": node lists itself",
                       where + ": node " + num(s) + " lists itself on layer " + num(l));
        }
      }
    }
  }
}

std::vector<std::uint8_t> reachable(const GraphView& g) {
  const std::size_t n = g.nodes;
  std::vector<std::uint8_t> reached(n, 0);
  if (g.entry_point >= n) return reached;
  auto level = [&](std::uint32_t s) {
    const std::size_t l = g.level(s);
    return l == kNoLayers ? std::size_t{0} : l;
  };
  reached[g.entry_point] = 1;
  // No layer above the highest node's has a list; a damaged max_level may claim billions.
  std::size_t top = 0;
  for (std::uint32_t s = 0; s < n; ++s) top = std::max(top, level(s));
  std::vector<std::uint32_t> stack, list;
  for (std::size_t layer = std::min(std::max(g.max_level, level(g.entry_point)), top) + 1;
       layer-- > 0;) {
    // Everything reached above starts this layer (a node reached there has a list here).
    for (std::uint32_t s = 0; s < n; ++s) {
      if (reached[s] && level(s) >= layer) stack.push_back(s);
    }
    while (!stack.empty()) {
      const std::uint32_t s = stack.back();
      stack.pop_back();
      g.list(s, layer, list);
      for (std::uint32_t nb : list) {
        if (nb >= n || reached[nb]) continue;
        // A search meets every listed node, but walks on only from those on this layer.
        reached[nb] = 1;
        if (level(nb) >= layer) stack.push_back(nb);
      }
    }
  }
  return reached;
}

std::size_t count_unreachable(const GraphView& g) {
  const std::vector<std::uint8_t> reached = reachable(g);
  std::size_t out = 0;
  for (std::uint32_t s = 0; s < g.nodes; ++s) out += (!reached[s] && !g.deleted(s)) ? 1 : 0;
  return out;
}

RecallProbe make_probe(const hnsw::HnswIndex& index, std::size_t sample, std::size_t k,
                       bool exclude_sample) {
  RecallProbe probe;
  const std::size_t n = index.node_count(), dim = index.dim();
  std::vector<std::uint32_t> live;
  live.reserve(index.count());
  for (std::uint32_t s = 0; s < n; ++s) {
    if (!index.is_deleted(s)) live.push_back(s);
  }
  // A partial Fisher-Yates shuffle: the first `sample` places end up a uniform sample.
  SampleRng rng(kSampleSeed);
  const std::size_t take = std::min(sample, live.size());
  for (std::size_t i = 0; i < take; ++i) {
    std::swap(live[i], live[i + rng.below(live.size() - i)]);
  }
  // Kept in the order drawn, so that every block of them is a random sample too (slots follow
  // the insertion order, which may follow the data's own order).
  probe.queries.assign(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(take));
  probe.exact.resize(take);
  if (take == 0 || k == 0) return probe;
  std::vector<std::uint8_t> sampled;
  if (exclude_sample) {
    sampled.assign(n, 0);
    for (std::uint32_t s : probe.queries) sampled[s] = 1;
  }

  // Exact answers from a blocked matrix product: a block of queries against a block of
  // stored vectors at a time (OpenBLAS threads the product), the metric from the stored
  // norms as the exact scan has it, then each query's k nearest other live slots.
  const float* base = index.vectors().data();
  const auto norms = index.norms();
  const distance::Metric metric = index.metric();
  constexpr std::size_t kQueryBlock = 64, kVectorBlock = 8192;
  std::vector<float> queries(kQueryBlock * dim), scores(kQueryBlock * kVectorBlock);
  for (std::size_t q0 = 0; q0 < take; q0 += kQueryBlock) {
    const std::size_t nq = std::min(kQueryBlock, take - q0);
    std::vector<float> qq(nq, 0.0f);
    for (std::size_t i = 0; i < nq; ++i) {
      const auto v = index.vector(probe.queries[q0 + i]);
      std::copy(v.begin(), v.end(), queries.begin() + static_cast<std::ptrdiff_t>(i * dim));
      for (float x : v) qq[i] += x * x;
    }
    std::vector<Nearest> nearest(nq, Nearest(k));
    for (std::size_t v0 = 0; v0 < n; v0 += kVectorBlock) {
      const std::size_t nv = std::min(kVectorBlock, n - v0);
      if (dim > 0) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(nq),
                    static_cast<int>(nv), static_cast<int>(dim), 1.0f, queries.data(),
                    static_cast<int>(dim), base + v0 * dim, static_cast<int>(dim), 0.0f,
                    scores.data(), static_cast<int>(nv));
      } else {
        std::fill(scores.begin(), scores.end(), 0.0f);
      }
      tbb::parallel_for(std::size_t{0}, nq, [&](std::size_t i) {
        const float qn = std::sqrt(qq[i]);
        const std::uint32_t self = probe.queries[q0 + i];
        for (std::size_t j = 0; j < nv; ++j) {
          const auto s = static_cast<std::uint32_t>(v0 + j);
          if (s == self || index.is_deleted(s) || (exclude_sample && sampled[s] != 0)) continue;
          const float dot = scores[i * nv + j];
          float d = 0.0f;
          switch (metric) {
            case distance::Metric::Cosine:
              d = (qq[i] == 0.0f || norms[s] == 0.0f) ? 1.0f : 1.0f - dot / (norms[s] * qn);
              break;
            case distance::Metric::Euclidean:
              d = (norms[s] * norms[s] + qq[i]) - (dot + dot);
              break;
            case distance::Metric::DotProduct:
              d = -dot;
              break;
          }
          nearest[i].offer(d, s);
        }
      });
    }
    for (std::size_t i = 0; i < nq; ++i) probe.exact[q0 + i] = nearest[i].slots();
  }
  return probe;
}

namespace {

bool closer(const hnsw::Candidate& a, const hnsw::Candidate& b) { return a.distance < b.distance; }
bool farther(const hnsw::Candidate& a, const hnsw::Candidate& b) { return a.distance > b.distance; }

}  // namespace

std::vector<std::uint32_t> held_out_search(const hnsw::HnswIndex& index, std::uint32_t self,
                                           std::size_t k, std::size_t ef) {
  const std::size_t n = index.node_count();
  const std::span<const float> q = index.vector(self);
  const hnsw::QuantizedSearch* quantized = index.quantized();
  std::vector<float> scratch(quantized != nullptr ? index.dim() : 0);
  auto exact = [&](std::uint32_t s) {
    return distance::distance(q, index.vector(s), index.metric());
  };
  auto measure = [&](std::uint32_t s) {
    return quantized != nullptr ? index.quantized_distance(q, s, scratch) : exact(s);
  };
  // The start: the entry point, or when that is the held-out node, the closest node it lists
  // on its highest layer that lists any other.
  std::uint32_t cur = index.entry_point();
  if (cur == self) {
    std::uint32_t other = hnsw::kNoEntry;
    for (std::size_t l = index.node_level(self) + 1; l-- > 0 && other == hnsw::kNoEntry;) {
      float best = 0.0f;
      for (std::uint32_t nb : index.neighbors(self, l)) {
        if (nb == self || nb >= n) continue;
        const float d = measure(nb);
        if (other == hnsw::kNoEntry || d < best) other = nb, best = d;
      }
    }
    if (other == hnsw::kNoEntry) return {};
    cur = other;
  }
  // A beam of `width` on `layer` from `entry`, with the held-out node marked visited from the
  // start: the best ones met, as a max-heap. Each beam clears only the marks the one before
  // it set, not all n: a descent runs several.
  std::vector<std::uint8_t> visited(n, 0);
  std::vector<std::uint32_t> marked;
  auto visit = [&](std::uint32_t node) {
    visited[node] = 1;
    marked.push_back(node);
  };
  auto beam = [&](std::uint32_t entry, float d0, std::size_t layer, std::size_t width) {
    for (std::uint32_t node : marked) visited[node] = 0;
    marked.clear();
    visit(self);
    visit(entry);
    std::vector<hnsw::Candidate> candidates{{entry, d0}}, results{{entry, d0}};
    while (!candidates.empty()) {
      std::pop_heap(candidates.begin(), candidates.end(), farther);
      const hnsw::Candidate c = candidates.back();
      candidates.pop_back();
      if (c.distance > results.front().distance) break;
      for (std::uint32_t nb : index.neighbors(c.slot, layer)) {
        if (nb >= n || visited[nb]) continue;
        visit(nb);
        const float d = measure(nb);
        if (d < results.front().distance || results.size() < width) {
          candidates.push_back({nb, d});
          std::push_heap(candidates.begin(), candidates.end(), farther);
          results.push_back({nb, d});
          std::push_heap(results.begin(), results.end(), closer);
          if (results.size() > width) {
            std::pop_heap(results.begin(), results.end(), closer);
            results.pop_back();
          }
        }
      }
    }
    return results;
  };
  // The descent, as the index walks it: beams on the layers it beams, then greedy.
  float best = measure(cur);
  for (std::size_t layer = index.max_level(); layer >= 1; --layer) {
    if (layer >= hnsw::kDescentBeamFrom) {
      const auto found = beam(cur, best, layer, hnsw::kDescentBeam);
      const auto top = std::min_element(found.begin(), found.end(), closer);
      cur = top->slot;
      best = top->distance;
      continue;
    }
    for (bool moved = true; moved && index.node_level(cur) >= layer;) {
      moved = false;
      for (std::uint32_t nb : index.neighbors(cur, layer)) {
        if (nb == self || nb >= n) continue;
        const float d = measure(nb);
        if (d < best) cur = nb, best = d, moved = true;
      }
    }
  }
  auto results = beam(cur, best, 0, std::max(ef, k));
  std::erase_if(results, [&](const hnsw::Candidate& c) { return index.is_deleted(c.slot); });
  if (quantized != nullptr) {
    for (auto& c : results) c.distance = exact(c.slot);
  }
  std::stable_sort(results.begin(), results.end(), closer);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < results.size() && i < k; ++i) out.push_back(results[i].slot);
  return out;
}

HeldOutGraph build_held_out(const hnsw::HnswIndex& index, const RecallProbe& probe) {
  HeldOutGraph out;
  const std::size_t n = index.node_count(), dim = index.dim();
  std::vector<std::uint8_t> sampled(n, 0);
  for (std::uint32_t s : probe.queries) sampled[s] = 1;
  std::vector<float> rows;
  rows.reserve((index.count() - std::min(index.count(), probe.queries.size())) * dim);
  for (std::uint32_t s = 0; s < n; ++s) {
    if (index.is_deleted(s) || sampled[s] != 0) continue;
    const auto v = index.vector(s);
    rows.insert(rows.end(), v.begin(), v.end());
    out.slots.push_back(s);
  }
  out.graph =
      std::make_unique<hnsw::HnswIndex>(dim, index.m(), index.ef_construction(), index.metric());
  if (!out.slots.empty()) (void)out.graph->batch_insert_flat(rows);
  if (index.quantized() != nullptr) out.graph->enable_quantized_search();
  // Measured as the collection's own searches walk.
  if (index.compressed_search()) out.graph->enable_compressed_search();
  return out;
}

double probe_recall(const hnsw::HnswIndex& index, const RecallProbe& probe, std::size_t k,
                    std::size_t ef, std::optional<double> target, const HeldOutGraph* held_out) {
  auto found = [&](std::size_t i) {
    if (held_out == nullptr) return held_out_search(index, probe.queries[i], k, ef);
    std::vector<std::uint32_t> slots;
    for (const auto& c : held_out->graph->search_graph(index.vector(probe.queries[i]), k, ef)) {
      slots.push_back(held_out->slots[c.slot]);
    }
    return slots;
  };
  const std::size_t n = probe.queries.size();
  std::vector<double> recall(n, 1.0);
  constexpr std::size_t kBlock = 500, kMinDecided = 1000;
  std::size_t done = 0, hits = 0, wanted = 0;
  double sum = 0.0, squares = 0.0;
  while (done < n) {
    const std::size_t end = target ? std::min(n, done + kBlock) : n;
    tbb::parallel_for(done, end, [&](std::size_t i) {
      const auto& exact = probe.exact[i];
      std::size_t h = 0;
      for (std::uint32_t s : found(i)) {
        h += std::find(exact.begin(), exact.end(), s) != exact.end() ? 1 : 0;
      }
      recall[i] = exact.empty() ? 1.0 : static_cast<double>(h) / static_cast<double>(exact.size());
    });
    for (std::size_t i = done; i < end; ++i) {
      hits += static_cast<std::size_t>(
          std::lround(recall[i] * static_cast<double>(probe.exact[i].size())));
      wanted += probe.exact[i].size();
      sum += recall[i];
      squares += recall[i] * recall[i];
    }
    done = end;
    if (target && done >= kMinDecided && done < n) {
      // Only the side of the target matters: stop once it is three standard errors away.
      const double count = static_cast<double>(done), mean = sum / count;
      const double variance = std::max(0.0, squares / count - mean * mean);
      if (std::abs(mean - *target) > 3.0 * std::sqrt(variance / count)) break;
    }
  }
  return wanted == 0 ? 1.0 : static_cast<double>(hits) / static_cast<double>(wanted);
}

namespace {

// The JSON of side file dir/name: nullopt when the file does not exist, a null value when it
// does not parse as an object, an Io error when it cannot be read.
Result<std::optional<json::Value>> read_side_object(const fs::path& dir, const char* name) {
  // Read straight away rather than tested first: a writer may remove it meanwhile.
  auto bytes = io::read_file(dir / name);
  if (!bytes) {
    const auto& e = bytes.error();
    if (e.kind() == error::ErrorKind::Io && e.io_error().kind == error::IoKind::Os &&
        e.io_error().os_code == ENOENT) {
      return std::optional<json::Value>();
    }
    return std::unexpected(e);
  }
  auto value =
      json::parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!value || !value->is_object()) return std::optional<json::Value>(json::Value());
  return std::optional<json::Value>(std::move(*value));
}

}  // namespace

std::optional<std::uint64_t> read_calibration_file(const fs::path& dir) {
  auto read = read_side_object(dir, kCalibrationFileName);
  if (!read) return 0;
  if (!*read) return std::nullopt;
  const json::Value& value = **read;
  auto field = [&](const char* name) -> std::uint64_t {
    auto it = value.find(name);
    if (it == value.end() || !it->is_number_integer()) return 0;
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    const auto v = it->get<std::int64_t>();
    return v > 0 ? static_cast<std::uint64_t>(v) : 0;
  };
  const std::uint64_t ef = field("ef_search"), k = field("k");
  if (ef == 0 || k == 0 || ef > 0xFFFFFFFFu || k > 0xFFFFFFFFu) return 0;
  return ef | (k << 32);
}

Result<std::optional<std::size_t>> read_exact_scan_file(const fs::path& dir) {
  auto read = read_side_object(dir, kExactScanFileName);
  if (!read) return std::unexpected(std::move(read.error()));
  if (!*read) return std::optional<std::size_t>();
  // Non-negative integers parse as unsigned; a signed one here is negative.
  if (auto it = (*read)->find("exact_scan_limit");
      it != (*read)->end() && it->is_number_unsigned()) {
    return std::optional<std::size_t>(it->get<std::uint64_t>());
  }
  return error::fail(error::IoError::invalid_data("not an exact-scan limit"));
}

Result<bool> read_traversal_file(const fs::path& dir) {
  auto read = read_side_object(dir, kTraversalFileName);
  if (!read) return std::unexpected(std::move(read.error()));
  if (!*read) return false;
  if (auto it = (*read)->find("compressed"); it != (*read)->end() && it->is_boolean()) {
    return it->get<bool>();
  }
  return error::fail(error::IoError::invalid_data("not a traversal setting"));
}

Result<void> write_side_file(const fs::path& dir, const char* name, std::string_view text) {
  // Under the directory lock: never beside a save's or an open's look at the directory.
  auto lock = storage::DirectoryLock::acquire(dir);
  if (!lock) return std::unexpected(std::move(lock.error()));
  fs::path tmp = dir / name;
  tmp.replace_extension("tmp");
  // A stale temporary (or a link planted under its name) goes first; the new one is created
  // afresh and never through a link, so no file outside the directory can be written.
  if (auto r = io::unlink_path(tmp); !r) return r;
  auto written = [&]() -> Result<void> {
    auto fd = io::open_file(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (!fd) return std::unexpected(std::move(fd.error()));
    if (auto r = io::write_all(fd->get(), text.data(), text.size()); !r) return r;
    return io::sync_fd(fd->get());
  }();
  if (written) written = io::rename_path(tmp, dir / name);
  if (!written) {
    (void)io::unlink_path(tmp);
    return written;
  }
  // The new file is in place and is what an open reads from now on, so the call has taken
  // effect: a failed sync of the directory is not reported as a failure of it, and only a
  // power cut could still bring the old file back.
  (void)io::sync_directory(dir);
  return {};
}

std::optional<CalibrationRecord> read_calibration_record(const fs::path& dir) {
  const std::optional<std::uint64_t> packed = read_calibration_file(dir);
  if (!packed || *packed == 0) return std::nullopt;
  auto bytes = io::read_file(dir / kCalibrationFileName);
  if (!bytes) return std::nullopt;
  auto value =
      json::parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!value || !value->is_object()) return std::nullopt;
  CalibrationRecord out;
  out.packed = *packed;
  auto recall = value->find("recall");
  if (recall == value->end() || !recall->is_number()) return std::nullopt;
  out.recall = recall->get<double>();
  auto size = [&](const char* name) -> std::size_t {
    auto it = value->find(name);
    return it != value->end() && it->is_number_unsigned() ? it->get<std::size_t>() : 0;
  };
  out.sample = size("sample");
  out.count = size("count");
  return out;
}

namespace {

// Queries per second of searches for the probe's own vectors at width ef, one after another
// on this thread (the speed one caller sees).
double search_rate(const hnsw::HnswIndex& index, const RecallProbe& probe, std::size_t k,
                   std::size_t ef) {
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t s : probe.queries) (void)index.search_graph(index.vector(s), k, ef);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count() > 0.0 ? static_cast<double>(probe.queries.size()) / took.count() : 0.0;
}

// "12,345": a rate as the suggestions print it.
std::string grouped(double value) {
  const std::string digits = std::to_string(static_cast<std::uint64_t>(std::llround(value)));
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace

}  // namespace tools

// ---------------------------------------------------------------------------------------------
// The exact-scan limit

std::size_t Database::read_exact_scan_limit(const fs::path& dir) {
  auto limit = tools::read_exact_scan_file(dir);
  return limit && *limit ? **limit : hnsw::kExactScanFloats;
}

Result<void> Database::set_exact_scan_limit(std::optional<std::size_t> floats) {
  if (auto r = writable(); !r) return r;
  MutexLock write_guard(calibration_write_);
  if (floats) {
    const std::string text = "{\"exact_scan_limit\":" + std::to_string(*floats) + "}\n";
    if (auto r = tools::write_side_file(path_, kExactScanFileName, text); !r) return r;
  } else {
    auto lock = storage::DirectoryLock::acquire(path_);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (auto r = io::unlink_path(path_ / kExactScanFileName); !r) return r;
  }
  exact_scan_limit_.store(floats.value_or(hnsw::kExactScanFloats), std::memory_order_relaxed);
  publish_reload();
  return {};
}

// ---------------------------------------------------------------------------------------------
// The compressed traversal

bool Database::read_compressed_search(const fs::path& dir) {
  return tools::read_traversal_file(dir).value_or(false);
}

bool Database::compressed_search() const {
  (void)follow();
  return compressed_search_.load(std::memory_order_relaxed);
}

Result<void> Database::set_compressed_search(bool on) {
  if (auto r = writable(); !r) return r;
  MutexLock write_guard(calibration_write_);
  if (on) {
    const std::string_view text = "{\"compressed\":true}\n";
    if (auto r = tools::write_side_file(path_, kTraversalFileName, text); !r) return r;
  } else {
    auto lock = storage::DirectoryLock::acquire(path_);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (auto r = io::unlink_path(path_ / kTraversalFileName); !r) return r;
  }
  // Stored before the index lock is taken: a compact or repair installing a new graph reads
  // it under that lock, so either this call or that one gives the new graph the mode.
  compressed_search_.store(on, std::memory_order_relaxed);
  {
    WriterLock index_guard(index_lock_);
    if (on) {
      index_->enable_compressed_search();
    } else {
      index_->disable_compressed_search();
    }
  }
  publish_reload();
  return {};
}

// ---------------------------------------------------------------------------------------------
// Calibration

std::uint64_t Database::read_calibration(const fs::path& dir) {
  return tools::read_calibration_file(dir).value_or(0);
}

std::size_t Database::default_search_width(std::size_t k) const {
  const std::uint64_t packed = calibration_.load(std::memory_order_relaxed);
  if (packed == 0) return default_ef(k);
  const std::size_t ef = packed & 0xFFFFFFFFu, at = packed >> 32;
  if (k <= at) return ef;
  // Wider queries keep the calibrated width per result: ef * k / at, rounded up.
  const double width =
      std::ceil(static_cast<double>(ef) * static_cast<double>(k) / static_cast<double>(at));
  if (width >= 18446744073709551615.0) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(width);
}

Result<Calibration> Database::calibrate(double target_recall, std::size_t k) {
  Calibration out;
  out.k = k;
  out.target_recall = target_recall;
  std::optional<std::uint64_t> keep;  // the calibration to store; none: drop it
  std::size_t live_at_calibration = 0;  // so that health() can tell when it has aged
  {
    ReaderLock index_guard(index_lock_);
    const hnsw::HnswIndex& index = *index_;
    live_at_calibration = index.count();
    if (!scans_exactly(index) && index.count() > k) {
      // At most a tenth of the collection is held out, so that the graph searched is nearly
      // as large as the collection's own.
      const std::size_t sample =
          std::min(kCalibrationSample, std::max<std::size_t>(1, index.count() / 10));
      const tools::RecallProbe probe = tools::make_probe(index, sample, k, true);
      const tools::HeldOutGraph held_out = tools::build_held_out(index, probe);
      out.sample = probe.queries.size();
      // Recall grows with the width: double it until the target is met, then halve the gap.
      // No width beyond the widest is tried (it costs a scan of much of the graph per query).
      const std::size_t widest =
          std::max(k, std::min(index.node_count(), std::max<std::size_t>(4096, 64 * k)));
      std::map<std::size_t, double> measured;
      auto recall = [&](std::size_t ef) {
        auto it = measured.find(ef);
        if (it == measured.end()) {
          it = measured
                   .emplace(ef, tools::probe_recall(index, probe, k, ef, target_recall, &held_out))
                   .first;
        }
        return it->second;
      };
      std::size_t below = 0, at = k;
      while (recall(at) < target_recall && at < widest) {
        below = at;
        at = std::min(widest, at * 2);
      }
      if (recall(at) < target_recall) {
        out.ef_search = at;
        out.recall = recall(at);
        out.reached = false;
        return out;
      }
      while (below != 0 && at - below > 1) {
        const std::size_t mid = below + (at - below) / 2;
        (recall(mid) >= target_recall ? at : below) = mid;
      }
      out.ef_search = at;
      // over the whole sample
      out.recall = tools::probe_recall(index, probe, k, at, std::nullopt, &held_out);
      keep = std::uint64_t{at} | (std::uint64_t{std::min<std::size_t>(k, 0xFFFFFFFFu)} << 32);
    } else {
      out.ef_search = default_ef(k);
    }
  }

  MutexLock write_guard(calibration_write_);
  const fs::path file = path_ / kCalibrationFileName;
  if (!keep) {
    std::error_code ec;
    fs::remove(file, ec);
    if (ec) return error::fail(error::IoError::from_errno(ec.value()));
    calibration_.store(0, std::memory_order_relaxed);
    return out;
  }
  std::string text = "{\"ef_search\":" + std::to_string(out.ef_search) +
                     ",\"k\":" + std::to_string(out.k) + ",\"target_recall\":";
  json::append_f64(text, out.target_recall);
  text += ",\"recall\":";
  json::append_f64(text, out.recall);
  text += ",\"sample\":" + std::to_string(out.sample) +
          ",\"count\":" + std::to_string(live_at_calibration) + "}\n";
  auto written = storage::replace_file(
      file, [&](io::BufWriter& w) -> Result<void> { return w.write(text.data(), text.size()); });
  if (!written) return std::unexpected(std::move(written.error()));
  calibration_.store(*keep, std::memory_order_relaxed);
  return out;
}

Database::RecallCurve Database::recall_curve(std::size_t sample, std::size_t k,
                                             const std::vector<std::size_t>& efs,
                                             bool held_out_graph) const {
  (void)follow();
  RecallCurve out;
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  const hnsw::HnswIndex& index = *index_;
  out.exact_search = scans_exactly(index);
  const bool held_out = held_out_graph && !out.exact_search;
  const tools::RecallProbe probe =
      tools::make_probe(index, sample, out.exact_search ? 0 : k, held_out);
  for (std::uint32_t s : probe.queries) {
    out.ids.push_back(s < records_.size() ? records_.id(s) : std::string());
  }
  std::optional<tools::HeldOutGraph> graph;
  if (held_out) graph.emplace(tools::build_held_out(index, probe));
  for (std::size_t ef : efs) {
    out.recall.push_back(out.exact_search ? 1.0
                                          : tools::probe_recall(index, probe, k, ef, std::nullopt,
                                                                graph ? &*graph : nullptr));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Health

HealthReport Database::health() const {
  (void)follow();
  HealthReport out;
  const std::uint64_t packed = calibration_.load(std::memory_order_relaxed);
  if (packed != 0) {
    out.calibrated_ef = packed & 0xFFFFFFFFu;
    out.calibrated_k = packed >> 32;
  }
  out.default_ef = default_search_width(10);
  // What calibrate measured for k = 10 at the width in use, when the side file still
  // describes that calibration (another process may have calibrated again since).
  std::optional<tools::CalibrationRecord> calibrated;
  if (packed != 0 && out.calibrated_k == 10u) {
    calibrated = tools::read_calibration_record(path_);
    if (calibrated && calibrated->packed != packed) calibrated.reset();
  }
  ReaderLock index_guard(index_lock_);
  const hnsw::HnswIndex& index = *index_;
  const std::size_t n = index.node_count();
  out.num_vectors = index.count();
  out.num_deleted = index.deleted().size();
  out.tombstone_ratio =
      n == 0 ? 0.0 : static_cast<double>(out.num_deleted) / static_cast<double>(n);
  for (std::uint32_t s = 0; s < n; ++s) {
    if (index.is_deleted(s)) continue;
    const std::size_t level = index.node_level(s);
    if (out.layer_counts.size() <= level) out.layer_counts.resize(level + 1, 0);
    for (std::size_t l = 0; l <= level; ++l) ++out.layer_counts[l];
  }
  out.unreachable = tools::count_unreachable(tools::view_of(index));
  out.exact_search = scans_exactly(index);
  // How far the live count moved since the calibration (0 when the file does not say).
  double drift = 0.0;
  if (calibrated && calibrated->count > 0) {
    drift = std::abs(static_cast<double>(out.num_vectors) - static_cast<double>(calibrated->count)) /
            static_cast<double>(calibrated->count);
  }
  std::string calibrate_line;
  if (!out.exact_search && calibrated && drift <= kCalibrationDrift) {
    // The same measurement as calibrate's, not a second one that may disagree with it: its
    // held-out graph matches queries from outside the collection, which a self-query held
    // out of the collection's own graph does not at narrow widths (0.92 against 0.95 at
    // ef 12 on Fashion-MNIST), and it rests on a sample twenty times larger.
    out.estimated_recall = calibrated->recall;
    out.recall_sample = calibrated->sample;
    out.recall_source = "calibrate";
  } else if (!out.exact_search) {
    const tools::RecallProbe probe = tools::make_probe(index, kHealthRecallSample, 10);
    out.recall_sample = probe.queries.size();
    out.estimated_recall = tools::probe_recall(index, probe, 10, out.default_ef);
    out.recall_source = "sample";
    if (packed == 0 && probe.queries.size() > 0) {
      // The narrowest width that the same estimate puts at kSuggestedRecall (it reads low
      // at narrow widths, so calibrate may well choose a narrower one), and the speed there
      // against the speed at the default width.
      static constexpr std::size_t kWidths[] = {10, 12, 14, 16, 20, 24, 28, 32, 40,
                                                48, 64, 80, 96, 128, 160};
      for (std::size_t ef : kWidths) {
        if (ef >= out.default_ef) break;
        const double recall = tools::probe_recall(index, probe, 10, ef);
        if (recall < kSuggestedRecall) continue;
        const double slow = tools::search_rate(index, probe, 10, out.default_ef);
        const double fast = tools::search_rate(index, probe, 10, ef);
        char text[320];
        std::snprintf(text, sizeof text,
                      "calibrate: every search runs at the default width %zu (%s queries/s "
                      "measured on one thread); recall@10 is about %.2f from ef %zu on (%s "
                      "queries/s): calibrate(%.2f) finds and keeps the narrowest width that "
                      "reaches it",
                      out.default_ef, tools::grouped(slow).c_str(), recall, ef,
                      tools::grouped(fast).c_str(), kSuggestedRecall);
        calibrate_line = text;
        break;
      }
    }
  }
  index_guard.unlock();

  char line[160];
  if (!calibrate_line.empty()) out.suggestions.push_back(std::move(calibrate_line));
  if (!out.exact_search && drift > kCalibrationDrift) {
    std::snprintf(line, sizeof line,
                  "calibrate again: %zu live vectors, %.0f%% %s than the %zu it was calibrated "
                  "with",
                  out.num_vectors, 100.0 * drift,
                  out.num_vectors > calibrated->count ? "more" : "fewer", calibrated->count);
    out.suggestions.emplace_back(line);
  }
  if (out.tombstone_ratio > kCompactTombstoneRatio) {
    std::snprintf(line, sizeof line, "compact: %.1f%% of the slots are deleted (more than %.0f%%)",
                  100.0 * out.tombstone_ratio, 100.0 * kCompactTombstoneRatio);
    out.suggestions.emplace_back(line);
  }
  if (out.unreachable > 1) {
    std::snprintf(line, sizeof line, "repair: %zu live vectors cannot be reached by a search",
                  out.unreachable);
    out.suggestions.emplace_back(line);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Verify

VerifyReport Database::verify() const {
  // The files are compared with the state in memory: it must be the state they hold.
  (void)follow();
  tools::ProblemList problems;
  VerifyReport report;
  {
    // No save may swap the files while they are read, and no append may be half written
    // while the log is.
    ReaderLock gate(gate_);
    tools::InspectOptions options;
    options.consistency = false;
    MutexLock wal_guard(wal_lock_);
    auto ins = tools::inspect(path_, options, problems);
    if (!ins) {
      problems.add("files", "files: " + ins.error().to_string());
    } else {
      report.log_records = ins->log.records;
    }
  }

  ReaderLock ids(id_lock_);
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  const hnsw::HnswIndex& index = *index_;
  const std::size_t n = index.node_count();
  report.nodes = n;
  report.live = index.count();

  if (index.count() + index.deleted().size() != n) {
    problems.add("graph: counts", "graph: " + std::to_string(index.count()) + " live and " +
                                      std::to_string(index.deleted().size()) +
                                      " deleted slots do not add up to the node count " +
                                      std::to_string(n));
  }
  if (const auto* q = index.quantized(); q != nullptr && q->codes.size() != n * dim_) {
    problems.add("graph: codes", "graph: " + std::to_string(q->codes.size()) +
                                     " SQ8 code bytes for " + std::to_string(n) +
                                     " vectors of dimension " + std::to_string(dim_));
  }
  const tools::GraphView view = tools::view_of(index);
  tools::check_graph(view, "graph", problems, true);
  // A count, not a problem: the closest-neighbour rule can leave nodes without a way in
  // although nothing is damaged. health() suggests repair for them.
  report.unreachable = tools::count_unreachable(view);

  // The text index definitions must read, or the next open goes without them.
  if (auto specs = text::read_specs(path_); !specs) {
    problems.add("text indexes", specs.error().to_string());
  }
  // The per-slot records among themselves (the text indexes against the metadata), then the
  // id map against them.
  records_.check(
      n, [&](std::uint32_t s) { return index.is_deleted(s); },
      [&](const std::string& kind, std::string line) { problems.add(kind, std::move(line)); });
  const std::size_t slots = std::min(n, records_.size());
  for (const auto& [id, slot] : id_to_slot_) {
    if (slot >= slots) {
      problems.add("ids: slot out of range", "ids: id '" + id + "' names slot " +
                                                 std::to_string(slot) + ", past the last one");
    } else if (index.is_deleted(slot)) {
      problems.add("ids: deleted slot",
                   "ids: id '" + id + "' names deleted slot " + std::to_string(slot));
    } else if (records_.id(slot) != id) {
      problems.add("ids: maps disagree", "ids: id '" + id + "' names slot " + std::to_string(slot) +
                                             ", which holds id '" + records_.id(slot) + "'");
    }
  }
  for (std::uint32_t s = 0; s < slots; ++s) {
    if (index.is_deleted(s)) continue;
    const std::string& held = records_.id(s);
    auto it = id_to_slot_.find(held);
    if (it == id_to_slot_.end() || it->second != s) {
      problems.add("ids: slot without id",
                   held.empty() || it == id_to_slot_.end()
                       ? "ids: live slot " + std::to_string(s) + " has no id"
                       : "ids: slot " + std::to_string(s) + " holds id '" + held +
                             "', which names slot " + std::to_string(it->second));
    }
  }
  report.problems = std::move(problems).finish();
  return report;
}

// ---------------------------------------------------------------------------------------------
// Repair

RepairReport Database::repair() {
  RepairReport report;
  tools::ProblemList lost;
  // As compact: id_to_slot exclusive from the start keeps every mutation out until the new
  // state is installed.
  WriterLock ids(id_lock_);
  // The live records, by slot: every id keeps its own slot in the new index, also two ids
  // that (after damage) named one slot.
  std::vector<std::pair<std::uint32_t, const std::string*>> named;
  named.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) named.emplace_back(slot, &id);
  std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : *a.second < *b.second;
  });
  std::unique_ptr<hnsw::HnswIndex> fresh;
  std::vector<MovedRecord> kept;  // by new slot
  {
    ReaderLock index_guard(index_lock_);
    const hnsw::HnswIndex& old = *index_;
    const std::size_t n = old.node_count();
    std::vector<std::uint8_t> has_id(n, 0);
    std::vector<float> flat;
    flat.reserve(named.size() * dim_);
    for (const auto& [slot, id] : named) {
      if (slot >= n) {
        lost.add("vector", "id '" + *id + "': its slot " + std::to_string(slot) + " has no vector");
        continue;
      }
      has_id[slot] = 1;
      kept.push_back({slot, id});
      const auto v = old.vector(slot);
      flat.insert(flat.end(), v.begin(), v.end());
    }
    std::size_t orphans = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
      if (has_id[s]) continue;
      if (old.is_deleted(s)) {
        ++report.tombstones_dropped;
      } else {
        ++orphans;
      }
    }
    if (orphans > 0) {
      lost.add("orphans", std::to_string(orphans) + " stored vectors that no id names are dropped");
    }
    fresh = rebuild_graph(flat);
  }
  report.ids = kept.size();
  install_rebuilt(std::move(fresh), kept);
  report.lost = std::move(lost).finish();
  return report;
}

}  // namespace quarn_core::db
