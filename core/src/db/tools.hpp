// Helpers shared by the checks, the repair and the recall measurements (health.cpp,
// salvage.cpp): a problem list that summarises repeats, graph checks over either the index in
// memory or the lists read from a graph file, and the lenient reading of a collection's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_core/db.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/storage.hpp"
#include "quarn_core/wal.hpp"

namespace quarn_core::db::tools {

// Problems in the order found. Of each kind only the first few are listed; the rest are
// counted into one closing line, so that a badly damaged file gives a readable report.
class ProblemList {
 public:
  static constexpr std::size_t kShownPerKind = 5;

  void add(const std::string& kind, std::string text);
  // The listed problems, then "<kind>: N more" for every kind that overflowed.
  std::vector<std::string> finish() &&;
  bool empty() const { return lines_.empty(); }

 private:
  std::vector<std::string> lines_;
  std::map<std::string, std::size_t> counts_;
};

// Read access to a graph, from the index in memory or from the lists of a graph file. `list`
// fills `out` with one node's list on one layer (empty when the node has none there).
struct GraphView {
  std::size_t nodes = 0;
  std::size_t max_level = 0;
  std::size_t m = 0;  // list limit above layer 0; 2·m on layer 0
  std::uint32_t entry_point = hnsw::kNoEntry;
  std::function<std::size_t(std::uint32_t)> level;
  std::function<bool(std::uint32_t)> deleted;
  std::function<void(std::uint32_t, std::size_t, std::vector<std::uint32_t>&)> list;
};

GraphView view_of(const hnsw::HnswIndex& index);

// The level a GraphView reports for a node with no layers at all (damage a load refuses).
inline constexpr std::size_t kNoLayers = static_cast<std::size_t>(-1);

// The checks every node passes: neighbours below the node count, lists within their limits,
// levels within the top layer, the entry point on the top layer, and (with self_loops) no
// node listing itself. `where` prefixes every line ("graph" or "graph.quarn").
void check_graph(const GraphView& graph, const std::string& where, ProblemList& problems,
                 bool self_loops);

// One byte per node: 1 when a search from the entry point can reach it on layer 0. The greedy
// descent only follows a layer's links down to the next layer, so the reachable set is
// grown layer by layer from the top: everything reachable on a layer starts the next one.
std::vector<std::uint8_t> reachable(const GraphView& graph);
std::size_t count_unreachable(const GraphView& graph);

// A slot sample, in the order drawn, and the exact answers that measure recall against it:
// each query is a stored vector, and its answer is the k nearest live slots other than itself (held
// out from both the exact and the graph's answer).
struct RecallProbe {
  std::vector<std::uint32_t> queries;
  std::vector<std::vector<std::uint32_t>> exact;
};

// Up to `sample` live slots drawn with a fixed seed, with their exact answers from a blocked
// matrix product against every stored vector (every other one, or with `exclude_sample` every
// one outside the sample). REQUIRES: shared access to the index.
RecallProbe make_probe(const hnsw::HnswIndex& index, std::size_t sample, std::size_t k,
                       bool exclude_sample = false);
// A graph of the live nodes outside a probe's sample, built with the index's own parameters,
// and the slot in the index of each of its nodes. Searched by the sample's vectors, it answers
// queries it has never seen, as a user's are: a node held out of a graph it helped to build
// is harder to find than such a query (its neighbours' links were pruned with it in place),
// a node searched for in its own graph easier.
struct HeldOutGraph {
  std::unique_ptr<hnsw::HnswIndex> graph;
  std::vector<std::uint32_t> slots;
};
HeldOutGraph build_held_out(const hnsw::HnswIndex& index, const RecallProbe& probe);
// The graph search at width ef for the stored vector of `self`, as if that node were not in
// the graph: it is never measured, entered or returned. Its own links lead straight to its
// nearest neighbours, which no query from outside the collection has; with them, recall at
// small widths comes out well above what such queries reach (0.95 against 0.92 at width 15
// on Fashion-MNIST). The k nearest live slots found, closest first.
std::vector<std::uint32_t> held_out_search(const hnsw::HnswIndex& index, std::uint32_t self,
                                           std::size_t k, std::size_t ef);
// recall@k of held-out searches at width ef over the probe (queries run in parallel). With
// a target, the queries run in blocks and the measurement stops as soon as the recall so far
// is more than three standard errors away from the target (after 1,000 queries): then only
// its side of the target is sure, and the figure is that of the queries measured.
// With `held_out`, the queries search that graph (by its graph path) instead.
double probe_recall(const hnsw::HnswIndex& index, const RecallProbe& probe, std::size_t k,
                    std::size_t ef, std::optional<double> target = std::nullopt,
                    const HeldOutGraph* held_out = nullptr);

// ---- Reading a collection's files without trusting them ----

// What could be read of "graph.quarn". Every field past `header_read` is meaningful only
// when its flag says it was read.
struct GraphFile {
  bool present = false;
  std::vector<std::byte> bytes;
  bool header_read = false;  // all 37 header bytes are there
  bool header_ok = false;    // magic, version and metric code are right
  std::uint32_t magic = 0, version = 0, dim = 0, m = 0, ef_construction = 0;
  std::uint32_t entry_point = 0, max_level = 0, nodes = 0, deleted_count = 0;
  std::uint8_t metric_code = 0;
  bool deleted_read = false;
  std::vector<std::uint32_t> deleted;
  bool nodes_read = false;  // every node record parsed
  std::vector<std::vector<std::vector<std::uint32_t>>> layers;
  std::size_t nodes_end = 0;
  // The metadata section, where it was found, and the records read from it (all of them when
  // complete, else those before the damage). A record whose metadata text does not parse has
  // none, as the loader gives it; `unparsed` lists those ids.
  std::optional<std::size_t> section_at;
  bool section_complete = false;
  std::uint32_t section_count = 0;
  std::vector<storage::MetaRecord> records;
  std::vector<std::string> unparsed;
};

// Everything read from a collection directory.
struct Inspection {
  GraphFile graph;
  bool vectors_present = false;
  std::size_t vectors_size = 0;
  io::MappedRegion vectors;  // the whole of "vectors.bin", mapped read-only
  bool quantized_present = false;
  wal::LogScan log;
  bool any_file = false;  // graph, vectors or log present
};

struct InspectOptions {
  // Also check what a load accepts but leaves inconsistent: nodes listing themselves, ids
  // stored twice or naming deleted slots, live slots that no id names. (What a load refuses
  // is always checked.) verify() checks these in memory instead.
  bool consistency = true;
  // Check every stored norm against its vector.
  bool norms = true;
};

// Reads the files of `dir`, adding a problem for everything wrong with them: the graph file
// record by record, the vector and code files' sizes against the graph's counts, the log up
// to where a replay stops. Only reads; Io for a read failure other than a missing file.
Result<Inspection> inspect(const std::filesystem::path& dir, const InspectOptions& options,
                           ProblemList& problems);

// The graph file's lists as a view, valid while `file` lives. REQUIRES: file.nodes_read.
GraphView view_of(const GraphFile& file);

// The side file of a calibration: nothing when it does not exist, 0 when it does not read as
// one, otherwise ef_search in the low 32 bits and k in the high ones.
std::optional<std::uint64_t> read_calibration_file(const std::filesystem::path& dir);
// What else the side file says of the measurement: the recall at ef_search, the sample it
// was measured on and the live vectors then (0 when an older file does not say).
struct CalibrationRecord {
  std::uint64_t packed = 0;  // as read_calibration_file
  double recall = 0.0;
  std::size_t sample = 0;
  std::size_t count = 0;
};
std::optional<CalibrationRecord> read_calibration_record(const std::filesystem::path& dir);

// The side file of an exact-scan limit: nothing when it does not exist, an invalid-data Io
// error when it does not read as one, another Io error when it cannot be read.
Result<std::optional<std::size_t>> read_exact_scan_file(const std::filesystem::path& dir);

// The side file of the compressed traversal: false when it does not exist, an invalid-data Io
// error when it does not read as {"compressed": true or false}, another Io error when it
// cannot be read.
Result<bool> read_traversal_file(const std::filesystem::path& dir);

// What the walk's saved codes are bound to: the CRC-32 of "graph.quarn" and that of the
// vectors' norms. A save that kept no codes (an older build's) changes one or the other.
std::uint64_t walk_codes_binding(std::uint32_t graph_crc, std::span<const float> norms);

// Replaces dir/name with `text` under the directory lock, through "<stem>.tmp": a stale one is
// unlinked, the new one created with O_EXCL | O_NOFOLLOW, synced, renamed into place, and the
// directory synced (best effort). On an error the old file is still in place.
Result<void> write_side_file(const std::filesystem::path& dir, const char* name,
                             std::string_view text);

}  // namespace quarn_core::db::tools
