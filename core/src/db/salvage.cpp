// Reading a collection's files without trusting them: the checks of verify_path (and the file
// half of verify), and repair_path, which rebuilds a collection from whatever they still hold.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quarn_core/quantize.hpp"
#include "tools.hpp"

namespace quarn_core::db {

namespace fs = std::filesystem;
using error::fail;
using error::IoError;

namespace {

// Whether the path names anything (a dangling link included): only status is asked.
bool file_present(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

namespace tools {
namespace {

constexpr std::size_t kHeaderSize = 37;
// A node has at most kMaxLevel + 1 layers; a larger count is damage, not a deep node.
constexpr std::uint32_t kMaxLayers = hnsw::HnswIndex::kMaxLevel + 1;
// How many occurrences of the section magic are tried when looking for the metadata section.
constexpr std::size_t kMaxSectionCandidates = 4096;

std::string num(std::uint64_t v) { return std::to_string(v); }

// Bounds-checked little-endian reads from untrusted bytes.
class Reader {
 public:
  Reader(std::span<const std::byte> data, std::size_t pos) : data_(data), pos_(pos) {}
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return data_.size() - pos_; }
  bool u32(std::uint32_t& v) {
    if (left() < 4) return false;
    std::memcpy(&v, data_.data() + pos_, 4);
    pos_ += 4;
    return true;
  }
  bool u8(std::uint8_t& v) {
    if (left() < 1) return false;
    v = static_cast<std::uint8_t>(data_[pos_++]);
    return true;
  }
  bool bytes(std::size_t n, std::string_view& out) {
    if (left() < n) return false;
    out = std::string_view(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const std::byte> data_;
  std::size_t pos_;
};

// One attempt at reading a metadata section at a given offset.
struct SectionRead {
  bool magic = false;
  bool complete = false;  // all `count` records read
  std::uint32_t count = 0;
  std::vector<storage::MetaRecord> records;
  std::vector<std::string> unparsed;
  std::size_t end = 0;         // offset after the last record read
  std::size_t damaged_at = 0;  // where reading failed, when not complete
  std::string why;
};

SectionRead read_section(std::span<const std::byte> bytes, std::size_t at, std::uint32_t nodes) {
  SectionRead out;
  Reader r(bytes, at);
  std::uint32_t magic = 0;
  if (!r.u32(magic) || magic != storage::kMetadataMagic) {
    out.damaged_at = at;
    out.why = "no section magic";
    return out;
  }
  out.magic = true;
  if (!r.u32(out.count)) {
    out.damaged_at = r.pos();
    out.why = "the record count runs past the end of the file";
    return out;
  }
  // Every record takes at least 12 bytes: nothing is reserved beyond what the bytes allow.
  out.records.reserve(std::min<std::size_t>(out.count, r.left() / 12));
  for (std::uint32_t i = 0; i < out.count; ++i) {
    const std::size_t start = r.pos();
    std::uint32_t slot = 0, id_len = 0, md_len = 0;
    std::string_view id, md;
    auto stop = [&](std::string why) {
      out.damaged_at = start;
      out.why = std::move(why);
      out.end = start;
    };
    if (!r.u32(slot) || !r.u32(id_len) || !r.bytes(id_len, id) || !r.u32(md_len) ||
        !r.bytes(md_len, md)) {
      stop("record " + num(i) + " runs past the end of the file");
      return out;
    }
    if (slot >= nodes) {
      stop("record " + num(i) + " names slot " + num(slot) + ", not below the node count " +
           num(nodes));
      return out;
    }
    if (auto bad = io::utf8_error(std::as_bytes(std::span(id.data(), id.size())))) {
      stop("record " + num(i) + " has an id that is not UTF-8");
      return out;
    }
    storage::MetaRecord record;
    record.slot = slot;
    record.id = std::string(id);
    if (!md.empty()) {
      record.metadata = json::parse(md);
      if (!record.metadata) out.unparsed.push_back(record.id);
    }
    out.records.push_back(std::move(record));
  }
  out.complete = true;
  out.end = r.pos();
  return out;
}

void read_header(GraphFile& g, ProblemList& problems) {
  if (g.bytes.size() < kHeaderSize) {
    problems.add("graph.quarn: header", "graph.quarn: only " + num(g.bytes.size()) +
                                            " bytes, shorter than its " + num(kHeaderSize) +
                                            "-byte header");
    return;
  }
  Reader r(g.bytes, 0);
  (void)(r.u32(g.magic) && r.u32(g.version) && r.u32(g.dim) && r.u8(g.metric_code) && r.u32(g.m) &&
         r.u32(g.ef_construction) && r.u32(g.entry_point) && r.u32(g.max_level) && r.u32(g.nodes) &&
         r.u32(g.deleted_count));
  g.header_read = true;
  g.header_ok = true;
  if (g.magic != storage::kGraphMagic) {
    problems.add("graph.quarn: header",
                 "graph.quarn: bad magic (not a graph file, or its first "
                 "bytes are damaged)");
    g.header_ok = false;
  }
  if (g.version != storage::kGraphVersion) {
    problems.add("graph.quarn: header", "graph.quarn: unsupported version " + num(g.version));
    g.header_ok = false;
  }
  if (!distance::metric_from_code(g.metric_code)) {
    problems.add("graph.quarn: header", "graph.quarn: unknown metric code " + num(g.metric_code));
    g.header_ok = false;
  }
  // What a load refuses, reported here without trusting the rest any less: the lists and
  // records are still read and checked.
  if (g.m < hnsw::kMinM || g.m > hnsw::kMaxM) {
    problems.add("graph.quarn: header", "graph.quarn: m " + num(g.m) + " is not between " +
                                            num(hnsw::kMinM) + " and " + num(hnsw::kMaxM));
  }
  if (g.max_level > hnsw::HnswIndex::kMaxLevel) {
    problems.add("graph.quarn: header", "graph.quarn: max_level " + num(g.max_level) +
                                            " is above " + num(hnsw::HnswIndex::kMaxLevel));
  }
}

// The deleted list and the node records, stopping at the first record whose counts cannot
// be right (they would run past the end of the file, or claim more layers than any node has).
void read_nodes(GraphFile& g, ProblemList& problems) {
  Reader r(g.bytes, kHeaderSize);
  if (g.deleted_count > r.left() / 4) {
    problems.add("graph.quarn: structure",
                 "graph.quarn: the list of " + num(g.deleted_count) +
                     " deleted slots at offset 37 runs past the end of the file");
    return;
  }
  g.deleted.resize(g.deleted_count);
  for (auto& s : g.deleted) (void)r.u32(s);
  g.deleted_read = true;
  for (std::uint32_t s : g.deleted) {
    if (s >= g.nodes) {
      problems.add(
          "graph.quarn: deleted slot out of range",
          "graph.quarn: deleted slot " + num(s) + " is not below the node count " + num(g.nodes));
    }
  }
  g.layers.reserve(std::min<std::size_t>(g.nodes, r.left() / 4));
  for (std::uint32_t s = 0; s < g.nodes; ++s) {
    const std::size_t at = r.pos();
    auto broken = [&](const std::string& why) {
      problems.add("graph.quarn: structure", "graph.quarn: node " + num(s) + " at offset " +
                                                 num(at) + " " + why +
                                                 "; the node records cannot be read from there");
    };
    std::uint32_t count = 0;
    if (!r.u32(count)) return broken("runs past the end of the file");
    if (count > kMaxLayers) return broken("claims " + num(count) + " layers");
    std::vector<std::vector<std::uint32_t>> node(count);
    for (std::uint32_t l = 0; l < count; ++l) {
      std::uint32_t c = 0;
      if (!r.u32(c) || c > r.left() / 4) return broken("runs past the end of the file");
      node[l].resize(c);
      for (auto& v : node[l]) (void)r.u32(v);
    }
    g.layers.push_back(std::move(node));
  }
  g.nodes_read = true;
  g.nodes_end = r.pos();
}

// Finds the metadata section: right after the node records when they read, otherwise (or if it
// is not there) at an occurrence of its magic from which the whole section reads and ends with
// the file. With no such place, the one that reads the most records is taken.
void read_metadata(GraphFile& g, ProblemList& problems) {
  const std::span<const std::byte> bytes(g.bytes);
  // A damaged header's node count is no bound: then only the vector file can tell.
  const std::uint32_t limit = g.header_ok ? g.nodes : hnsw::kNoEntry;
  std::optional<SectionRead> chosen;
  std::size_t chosen_at = 0;
  if (g.nodes_read) {
    SectionRead at_end = read_section(bytes, g.nodes_end, limit);
    if (at_end.complete) {
      chosen = std::move(at_end);
      chosen_at = g.nodes_end;
    } else if (at_end.magic) {
      problems.add("graph.quarn: metadata", "graph.quarn: the metadata section at offset " +
                                                num(g.nodes_end) + " is damaged at offset " +
                                                num(at_end.damaged_at) + " (" + at_end.why + ")");
    } else {
      problems.add("graph.quarn: metadata",
                   "graph.quarn: no metadata section after the node "
                   "records (offset " +
                       num(g.nodes_end) + ")");
    }
  }
  if (!chosen) {
    const std::size_t start =
        g.header_ok && g.deleted_read ? kHeaderSize + 4 * std::size_t{g.deleted_count} : 0;
    const char magic[4] = {'A', 'T', 'E', 'M'};
    std::optional<SectionRead> best;
    std::size_t best_at = 0, tried = 0;
    const auto* text = reinterpret_cast<const char*>(g.bytes.data());
    for (std::size_t at = start; at + 4 <= g.bytes.size() && tried < kMaxSectionCandidates;) {
      const void* hit = ::memmem(text + at, g.bytes.size() - at, magic, 4);
      if (hit == nullptr) break;
      at = static_cast<std::size_t>(static_cast<const char*>(hit) - text);
      ++tried;
      SectionRead candidate = read_section(bytes, at, limit);
      if (candidate.complete && candidate.end == g.bytes.size()) {
        best = std::move(candidate);
        best_at = at;
        break;
      }
      if (!best || candidate.records.size() > best->records.size()) {
        best = std::move(candidate);
        best_at = at;
      }
      at += 1;
    }
    if (best) {
      if (best->complete && best->end == g.bytes.size() && g.nodes_read) {
        problems.add("graph.quarn: metadata",
                     "graph.quarn: the metadata section is at offset " + num(best_at) +
                         ", not right after the node records (offset " + num(g.nodes_end) + ")");
      } else if (!best->complete) {
        problems.add("graph.quarn: metadata", "graph.quarn: the metadata section at offset " +
                                                  num(best_at) + " is damaged at offset " +
                                                  num(best->damaged_at) + " (" + best->why +
                                                  "): " + num(best->records.size()) + " of its " +
                                                  num(best->count) + " records read");
      }
      chosen = std::move(best);
      chosen_at = best_at;
    } else {
      problems.add("graph.quarn: metadata",
                   "graph.quarn: no metadata section found; the ids and metadata are unreadable");
      return;
    }
  }
  g.section_at = chosen_at;
  g.section_complete = chosen->complete;
  g.section_count = chosen->count;
  g.records = std::move(chosen->records);
  g.unparsed = std::move(chosen->unparsed);
  if (chosen->complete && chosen->end < g.bytes.size()) {
    problems.add("graph.quarn: metadata", "graph.quarn: " + num(g.bytes.size() - chosen->end) +
                                              " bytes follow the metadata section");
  }
  for (const auto& id : g.unparsed) {
    problems.add("graph.quarn: metadata text",
                 "graph.quarn: the metadata of id '" + id + "' is not valid JSON");
  }
}

// What a load accepts but leaves inconsistent: ids stored twice, slots named twice, records
// naming deleted slots, live slots no record names.
void check_records(const GraphFile& g, ProblemList& problems) {
  std::unordered_map<std::string_view, std::uint32_t> slot_of;
  std::unordered_map<std::uint32_t, std::string_view> id_at;
  const std::unordered_set<std::uint32_t> deleted(g.deleted.begin(), g.deleted.end());
  for (const auto& record : g.records) {
    auto [it, fresh] = slot_of.try_emplace(record.id, record.slot);
    if (!fresh) {
      problems.add("graph.quarn: duplicate id", "graph.quarn: id '" + record.id +
                                                    "' is stored twice (slots " + num(it->second) +
                                                    " and " + num(record.slot) + ")");
    }
    auto [at, first] = id_at.try_emplace(record.slot, record.id);
    if (!first) {
      problems.add("graph.quarn: shared slot", "graph.quarn: slot " + num(record.slot) +
                                                   " is named by both '" + std::string(at->second) +
                                                   "' and '" + record.id + "'");
    }
    if (deleted.contains(record.slot)) {
      problems.add("graph.quarn: id on a deleted slot",
                   "graph.quarn: id '" + record.id + "' names deleted slot " + num(record.slot));
    }
  }
  if (!g.section_complete || !g.deleted_read || !g.header_ok) return;
  for (std::uint32_t s = 0; s < g.nodes; ++s) {
    if (!deleted.contains(s) && !id_at.contains(s)) {
      problems.add("graph.quarn: slot without id",
                   "graph.quarn: live slot " + num(s) + " has no id (its vector is unreachable)");
    }
  }
}

void check_vectors(Inspection& ins, const InspectOptions& options, ProblemList& problems) {
  const GraphFile& g = ins.graph;
  if (!g.header_ok) return;
  const std::size_t n = g.nodes, dim = g.dim;
  std::size_t expected = 0;
  const bool fits = !__builtin_mul_overflow(n, dim + 1, &expected) &&
                    !__builtin_mul_overflow(expected, std::size_t{4}, &expected);
  if (!fits) {
    problems.add("vectors.bin: size", "vectors.bin: the graph's " + num(n) +
                                          " vectors of dimension " + num(dim) +
                                          " cannot fit any file (a damaged header)");
    return;
  }
  if (ins.vectors_size != expected) {
    problems.add("vectors.bin: size", "vectors.bin: " + num(ins.vectors_size) +
                                          " bytes, but the graph's " + num(n) +
                                          " vectors of dimension " + num(dim) +
                                          " and their norms take " + num(expected));
    return;
  }
  if (!options.norms || n == 0) return;
  const auto* floats = static_cast<const float*>(ins.vectors.data());
  const float* norms = floats + n * dim;
  for (std::size_t s = 0; s < n; ++s) {
    const float computed = hnsw::vector_norm(std::span<const float>(floats + s * dim, dim));
    const float stored = norms[s];
    const bool same =
        std::memcmp(&computed, &stored, 4) == 0 || (std::isnan(computed) && std::isnan(stored));
    if (!same) {
      problems.add("vectors.bin: norm", "vectors.bin: the stored norm of slot " + num(s) +
                                            " does not match its vector (one of them is damaged)");
    }
  }
}

// Saved codes the open would refuse (damaged, or left by another save) cost only the time
// to build them again.
void check_walk_codes(const fs::path& path, const Inspection& ins, ProblemList& problems) {
  const GraphFile& g = ins.graph;
  const std::size_t n = g.nodes, dim = g.dim;
  std::size_t floats = 0;  // vectors and norms, as check_vectors has checked the size
  if (!g.header_ok || __builtin_mul_overflow(n, dim + 1, &floats) ||
      floats > ins.vectors_size / sizeof(float) || ins.vectors_size != floats * sizeof(float)) {
    return;
  }
  auto bytes = io::read_file(path);
  std::optional<std::string> problem;
  if (!bytes) {
    problem = bytes.error().to_string();
  } else {
    const auto* norms = static_cast<const float*>(ins.vectors.data()) + n * dim;
    problem = hnsw::walk_codes_problem(
        *bytes, dim, n, walk_codes_binding(io::crc32_of(g.bytes), {norms, n}));
  }
  if (problem) {
    problems.add("vectors.codes", std::string(hnsw::kWalkCodesFileName) + ": " + *problem +
                                      " (opening encodes the vectors again)");
  }
}

Result<void> check_quantized(const fs::path& path, const GraphFile& g, ProblemList& problems) {
  auto bytes = io::read_file(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  io::ByteCursor cursor(*bytes);
  auto quantizer = quantize::ScalarQuantizer::load(cursor);
  if (!quantizer) {
    problems.add("vectors.sq8", "vectors.sq8: " + quantizer.error().to_string());
    return {};
  }
  if (!g.header_ok) return {};
  if (quantizer->dim() != g.dim) {
    problems.add("vectors.sq8", "vectors.sq8: dimension " + num(quantizer->dim()) +
                                    ", the collection's is " + num(g.dim));
    return {};
  }
  const std::size_t codes = cursor.remaining(), expected = std::size_t{g.nodes} * g.dim;
  if (codes != expected) {
    problems.add("vectors.sq8", "vectors.sq8: " + num(codes) + " code bytes, the collection's " +
                                    num(g.nodes) + " vectors of dimension " + num(g.dim) +
                                    " take " + num(expected));
  }
  return {};
}

Result<void> check_log(const fs::path& path, Inspection& ins, ProblemList& problems) {
  const GraphFile& g = ins.graph;
  const std::size_t dim = g.header_ok ? g.dim : 0;
  auto check_entry = [&](std::uint64_t at, wal::WalEntry&& entry) {
    const std::vector<float>* v = nullptr;
    if (auto* insert = std::get_if<wal::WalEntry::Insert>(&entry.op)) v = &insert->vector;
    if (auto* update = std::get_if<wal::WalEntry::Update>(&entry.op)) {
      if (update->vector) v = &*update->vector;
    }
    if (dim != 0 && v != nullptr && v->size() != dim) {
      problems.add("wal.quarn: dimension",
                   "wal.quarn: the record at offset " + num(at) + " carries a vector of " +
                       num(v->size()) + " floats, not " + num(dim) + "; a replay ignores it");
    }
  };
  auto scan = wal::scan_log(path, check_entry);
  if (!scan) return std::unexpected(std::move(scan.error()));
  ins.log = std::move(*scan);
  const wal::LogScan& log = ins.log;
  for (std::uint64_t at : log.undecodable) {
    problems.add("wal.quarn: undecodable", "wal.quarn: the record at offset " + num(at) +
                                               " does not decode; a replay skips it");
  }
  if (log.stop != wal::LogScan::Stop::End) {
    const char* why = log.stop == wal::LogScan::Stop::Torn
                          ? " runs past the end of the file (a torn write or a damaged length)"
                      : log.in_batch ? " holds a record that fails its checksum"
                                     : " fails its checksum";
    problems.add("wal.quarn: stop",
                 std::string("wal.quarn: the ") + (log.in_batch ? "batch" : "record") +
                     " at offset " + num(log.stopped_at) + why + "; a replay stops there and the " +
                     num(log.size - log.stopped_at) + " bytes from it are not applied");
  }
  return {};
}

}  // namespace

Result<Inspection> inspect(const fs::path& dir, const InspectOptions& options,
                           ProblemList& problems) {
  Inspection ins;
  storage::Storage storage(dir);
  GraphFile& g = ins.graph;
  g.present = file_present(storage.graph_path());
  ins.vectors_present = file_present(storage.vectors_path());
  ins.quantized_present = file_present(storage.quantized_path());
  const fs::path log_path = dir / wal::kWalFileName;
  ins.any_file = g.present || ins.vectors_present || file_present(log_path);
  if (!ins.any_file) return ins;

  if (g.present != ins.vectors_present) {
    problems.add("files", std::string(g.present ? "vectors.bin" : "graph.quarn") +
                              " is missing: the collection was saved, but only one of its two "
                              "files is there");
  }
  for (const char* name :
       {"graph.quarn.bak", "vectors.bin.bak", "vectors.sq8.bak", "vectors.codes.bak"}) {
    if (file_present(dir / name)) {
      problems.add("backups", std::string(name) +
                                  ": a save was interrupted (or is under way); opening the "
                                  "collection settles it");
    }
  }
  if (g.present) {
    auto bytes = io::read_file(storage.graph_path());
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    g.bytes = std::move(*bytes);
    read_header(g, problems);
    if (g.header_read) read_nodes(g, problems);
    read_metadata(g, problems);
    if (g.nodes_read && g.header_ok) {
      check_graph(view_of(g), "graph.quarn", problems, options.consistency);
    }
    if (options.consistency) check_records(g, problems);
  }
  if (ins.vectors_present) {
    auto fd = io::open_file(storage.vectors_path(), O_RDONLY);
    if (!fd) return std::unexpected(std::move(fd.error()));
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return error::fail_errno();
    ins.vectors_size = static_cast<std::size_t>(st.st_size);
    auto region = io::MappedRegion::map(fd->get(), ins.vectors_size);
    if (!region) return std::unexpected(std::move(region.error()));
    ins.vectors = std::move(*region);
    if (g.present) check_vectors(ins, options, problems);
  }
  if (g.present && ins.vectors_present && file_present(storage.walk_codes_path())) {
    check_walk_codes(storage.walk_codes_path(), ins, problems);
  }
  if (ins.quantized_present && g.present) {
    if (auto r = check_quantized(storage.quantized_path(), g, problems); !r) {
      return std::unexpected(std::move(r.error()));
    }
  }
  if (auto r = check_log(log_path, ins, problems); !r) return std::unexpected(std::move(r.error()));
  if (auto c = read_calibration_file(dir); c && *c == 0) {
    problems.add("calibration",
                 std::string(kCalibrationFileName) + ": not a calibration (searches ignore it)");
  }
  if (auto limit = read_exact_scan_file(dir); !limit) {
    problems.add("exact scan", std::string(kExactScanFileName) + ": " +
                                   limit.error().io_error().to_string() +
                                   " (searches use the default limit)");
  }
  if (auto on = read_traversal_file(dir); !on) {
    problems.add("traversal", std::string(kTraversalFileName) + ": " +
                                  on.error().io_error().to_string() +
                                  " (searches walk at full precision)");
  }
  return ins;
}

GraphView view_of(const GraphFile& file) {
  GraphView v;
  v.nodes = file.layers.size();
  v.max_level = file.max_level;
  v.m = file.m;
  v.entry_point = file.entry_point;
  auto deleted = std::make_shared<std::vector<std::uint8_t>>(v.nodes, 0);
  for (std::uint32_t s : file.deleted) {
    if (s < v.nodes) (*deleted)[s] = 1;
  }
  v.level = [&file](std::uint32_t s) -> std::size_t {
    const auto& node = file.layers[s];
    return node.empty() ? kNoLayers : node.size() - 1;
  };
  v.deleted = [deleted](std::uint32_t s) { return (*deleted)[s] != 0; };
  v.list = [&file](std::uint32_t s, std::size_t layer, std::vector<std::uint32_t>& out) {
    const auto& node = file.layers[s];
    if (layer < node.size()) {
      out = node[layer];
    } else {
      out.clear();
    }
  };
  return v;
}

}  // namespace tools

// ---------------------------------------------------------------------------------------------

Result<VerifyReport> Database::verify_path(const fs::path& path) {
  tools::ProblemList problems;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return fail(QuarnError::database_not_found(path.string()));
  // A save under way in another thread or process would show as damage: wait for it.
  auto lock = storage::DirectoryLock::acquire(path);
  if (!lock) return std::unexpected(std::move(lock.error()));
  auto ins = tools::inspect(path, {}, problems);
  if (!ins) return std::unexpected(std::move(ins.error()));
  if (!ins->any_file) return fail(QuarnError::database_not_found(path.string()));
  VerifyReport report;
  report.log_records = ins->log.records;
  const tools::GraphFile& g = ins->graph;
  if (g.nodes_read && g.header_ok) {
    const tools::GraphView view = tools::view_of(g);
    report.nodes = view.nodes;
    for (std::uint32_t s = 0; s < view.nodes; ++s) report.live += view.deleted(s) ? 0 : 1;
    report.unreachable = tools::count_unreachable(view);  // a count, as verify() gives it
  }
  report.problems = std::move(problems).finish();
  return report;
}

namespace {

// The dimension and node count of a vector file whose graph header is unreadable: the split
// of its floats into n vectors of dim floats and n norms under which the stored norms match
// their vectors.
std::optional<std::pair<std::size_t, std::size_t>> infer_shape(const io::MappedRegion& region) {
  const std::size_t floats = region.size() / 4;
  if (region.size() % 4 != 0 || floats < 2) return std::nullopt;
  const auto* data = static_cast<const float*>(region.data());
  for (std::size_t dim = 1; dim + 1 <= floats; ++dim) {
    if (floats % (dim + 1) != 0) continue;
    const std::size_t n = floats / (dim + 1);
    const std::size_t probe = std::min<std::size_t>(n, 16);
    bool fits = true;
    for (std::size_t s = 0; s < probe && fits; ++s) {
      const float computed = hnsw::vector_norm(std::span<const float>(data + s * dim, dim));
      fits = std::memcmp(&computed, data + n * dim + s, 4) == 0;
    }
    if (fits) return std::pair{dim, n};
  }
  return std::nullopt;
}

}  // namespace

namespace {

// Ids named one by one in a refusal; the rest are counted.
constexpr std::size_t kListedIds = 5;

std::unexpected<QuarnError> refuse(const std::string& why) {
  return fail(IoError::invalid_data("cannot repair: " + why + "; nothing was changed"));
}

// The directory locked (as open locks it, so that no save in another thread or process is
// half done while the files and the log are read), an interrupted save finished, and the
// files read leniently.
struct Salvage {
  storage::DirectoryLock lock;
  tools::Inspection ins;
};

Result<Salvage> lock_and_inspect(const fs::path& path) {
  storage::Storage storage(path);
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return fail(QuarnError::database_not_found(path.string()));
  auto lock = storage::DirectoryLock::acquire(path);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (file_present(storage.graph_path()) || file_present(storage.vectors_path())) {
    if (auto r = storage::recover_interrupted_save(storage); !r) {
      return std::unexpected(std::move(r.error()));
    }
  }
  tools::ProblemList damage;  // already in the report as what it costs
  tools::InspectOptions options;
  options.consistency = false;
  options.norms = false;
  auto inspected = tools::inspect(path, options, damage);
  if (!inspected) return std::unexpected(std::move(inspected.error()));
  const tools::GraphFile& g = inspected->graph;
  if (!g.present && !inspected->vectors_present) {
    return fail(QuarnError::database_not_found(path.string()));
  }
  if (!g.present) return refuse("graph.quarn is missing, and with it every id and all metadata");
  if (!g.header_read) return refuse("the header of graph.quarn is lost");
  return Salvage{std::move(*lock), std::move(*inspected)};
}

// The shape of the collection to rebuild: the header's when it is intact and the vector
// file agrees with it, otherwise what the vector file's norms tell.
struct Shape {
  distance::Metric metric = distance::Metric::Euclidean;
  std::size_t dim = 0, n = 0;
  std::size_t available = 0;  // slots whose vector is complete in the file
  bool norms_stored = false;
  std::size_t m = 16, ef_construction = 200;
};

Result<Shape> salvage_shape(const tools::Inspection& ins, tools::ProblemList& lost) {
  const tools::GraphFile& g = ins.graph;
  const auto metric = distance::metric_from_code(g.metric_code);
  if (!metric) return refuse("the metric byte of graph.quarn is damaged");
  Shape out;
  out.metric = *metric;
  out.dim = g.dim;
  out.n = g.nodes;
  if (g.header_ok && out.dim > 0) {
    out.available = std::min<std::size_t>(out.n, ins.vectors_size / 4 / out.dim);
    out.norms_stored = ins.vectors_size == 4 * out.n * (out.dim + 1);
  } else if (auto shape = infer_shape(ins.vectors)) {
    std::tie(out.dim, out.n) = *shape;
    out.available = out.n;
    out.norms_stored = true;
    lost.add("header", "graph.quarn: the header is damaged; dimension " + std::to_string(out.dim) +
                           " and " + std::to_string(out.n) +
                           " vectors were read from vectors.bin and the metric byte (" +
                           std::string(distance::metric_name(*metric)) + ") was trusted");
  } else if (out.n == 0 && g.header_ok) {
    out.available = 0;
  } else {
    return refuse(
        "the dimension of the vectors cannot be told (graph.quarn's header is "
        "damaged and vectors.bin does not match any shape)");
  }
  if (g.header_ok && g.m >= hnsw::kMinM && g.m <= hnsw::kMaxM && g.ef_construction != 0) {
    out.m = g.m;
    out.ef_construction = g.ef_construction;
  } else {
    lost.add("header",
             "graph.quarn: m and ef_construction were not trusted; the new graph "
             "uses 16 and 200");
  }
  return out;
}

// The records to keep, in slot order: of each id the latest record (a later record of an id
// replaces an earlier one, as a load did before it refused such files) whose vector is
// complete in the file. An earlier record of an id that names another slot is listed as
// lost with that slot's vector; the stored vectors that no kept record names otherwise are
// counted into the report or the losses. Ids whose vector is nowhere in the file go to
// `missing`, sorted.
Result<std::vector<std::size_t>> salvage_records(const tools::GraphFile& g, const Shape& shape,
                                                 RepairReport& report, tools::ProblemList& lost,
                                                 std::vector<std::string>& missing) {
  if (!g.section_at) {
    if (shape.n > 0)
      return refuse("no metadata section was found in graph.quarn, so no id is left");
  } else if (!g.section_complete) {
    lost.add("records", "graph.quarn: the metadata section is damaged: the ids and metadata of " +
                            std::to_string(g.section_count - g.records.size()) + " of its " +
                            std::to_string(g.section_count) + " records are lost");
  }
  // id -> the latest record whose vector is there, or (without one) the latest record.
  std::unordered_map<std::string, std::size_t> chosen;
  for (std::size_t i = 0; i < g.records.size(); ++i) {
    auto [it, fresh] = chosen.try_emplace(g.records[i].id, i);
    if (!fresh &&
        (g.records[i].slot < shape.available || g.records[it->second].slot >= shape.available)) {
      it->second = i;
    }
  }
  std::vector<std::size_t> kept;
  std::vector<std::uint8_t> named(shape.available, 0);
  std::vector<std::size_t> superseded;  // records of an id that another record replaces
  for (std::size_t i = 0; i < g.records.size(); ++i) {
    const auto& record = g.records[i];
    if (chosen[record.id] != i) {
      superseded.push_back(i);
      continue;
    }
    if (record.slot >= shape.available) {
      missing.push_back(record.id);
      continue;
    }
    kept.push_back(i);
    named[record.slot] = 1;
  }
  std::sort(missing.begin(), missing.end());
  for (const auto& id : g.unparsed) {
    lost.add("metadata", "id '" + id + "': its metadata is not valid JSON and is dropped");
  }
  if (kept.empty() && shape.available > 0) {
    return refuse("no stored vector is named by a readable id");
  }
  std::sort(kept.begin(), kept.end(),
            [&](std::size_t a, std::size_t b) { return g.records[a].slot < g.records[b].slot; });
  for (std::size_t i : superseded) {
    const std::uint32_t slot = g.records[i].slot;
    if (slot >= shape.available || named[slot]) continue;
    named[slot] = 1;
    lost.add("duplicate id", "id '" + g.records[i].id + "' is stored twice (slots " +
                                 std::to_string(slot) + " and " +
                                 std::to_string(g.records[chosen[g.records[i].id]].slot) +
                                 "): the vector at slot " + std::to_string(slot) + " is dropped");
  }

  // The deleted list is trusted only behind an intact header.
  const bool deleted_known = g.deleted_read && g.header_ok;
  std::unordered_set<std::uint32_t> deleted;
  if (deleted_known) deleted.insert(g.deleted.begin(), g.deleted.end());
  std::size_t orphans = 0;
  for (std::size_t s = 0; s < shape.available; ++s) {
    if (named[s]) continue;
    if (deleted.contains(static_cast<std::uint32_t>(s))) {
      ++report.tombstones_dropped;
    } else {
      ++orphans;
    }
  }
  if (orphans > 0) {
    lost.add("orphans", std::to_string(orphans) +
                            (deleted_known ? " stored vectors that no id names are dropped"
                                           : " stored vectors that no id names (deleted ones, or "
                                             "ones whose record is lost) are dropped"));
  }
  return kept;
}

// Refuses when an id the graph file names would not be saved: its vector is not in the vector
// file, and the log neither inserts (with a vector that fits) nor deletes it. Saving without it
// would replace the only record of that id (and its metadata) while the vector might still be
// restored from a copy.
Result<void> refuse_lost_ids(const fs::path& log_path, std::size_t dim,
                             const std::vector<std::string>& missing) {
  if (missing.empty()) return {};
  std::unordered_set<std::string_view> unresolved(missing.begin(), missing.end());
  auto scan = wal::scan_log(log_path, [&](std::uint64_t, wal::WalEntry&& entry) {
    if (auto* insert = std::get_if<wal::WalEntry::Insert>(&entry.op)) {
      if (insert->vector.size() == dim) unresolved.erase(insert->id);  // else skipped at replay
    } else if (auto* del = std::get_if<wal::WalEntry::Delete>(&entry.op)) {
      unresolved.erase(del->id);
    }
  });
  if (!scan) return std::unexpected(std::move(scan.error()));
  if (unresolved.empty()) return {};
  std::string names;
  std::size_t listed = 0;
  for (const auto& id : missing) {
    if (!unresolved.contains(id)) continue;
    if (listed == kListedIds) break;
    names += (listed++ == 0 ? "'" : ", '") + id + "'";
  }
  if (unresolved.size() > listed) {
    names += " and " + std::to_string(unresolved.size() - listed) + " more";
  }
  const bool one = unresolved.size() == 1;
  return refuse(std::to_string(unresolved.size()) + (one ? " id" : " ids") +
                " named in graph.quarn " + (one ? "has" : "have") +
                " no vector in vectors.bin or the log (" + names + "), and a repair would drop " +
                (one ? "it" : "them"));
}

// A new graph of the kept records' vectors, in the order kept. Each vector is checked
// against its stored norm where the file has them: one that disagrees is kept, and said to
// be possibly damaged.
std::unique_ptr<hnsw::HnswIndex> salvage_graph(const tools::Inspection& ins, const Shape& shape,
                                               const std::vector<std::size_t>& kept,
                                               tools::ProblemList& lost) {
  const tools::GraphFile& g = ins.graph;
  const auto* floats = static_cast<const float*>(ins.vectors.data());
  const std::size_t dim = shape.dim;
  std::vector<float> flat;
  flat.reserve(kept.size() * dim);
  for (std::size_t i : kept) {
    const std::uint32_t slot = g.records[i].slot;
    const float* v = floats + std::size_t{slot} * dim;
    flat.insert(flat.end(), v, v + dim);
    if (shape.norms_stored) {
      const float computed = hnsw::vector_norm(std::span<const float>(v, dim));
      const float stored = floats[shape.n * dim + slot];
      if (std::memcmp(&computed, &stored, 4) != 0 &&
          !(std::isnan(computed) && std::isnan(stored))) {
        lost.add("norm", "id '" + g.records[i].id +
                             "': its vector does not match its stored norm; kept as stored, "
                             "it may be damaged");
      }
    }
  }
  auto index = std::make_unique<hnsw::HnswIndex>(dim, shape.m, shape.ef_construction, shape.metric);
  if (!kept.empty()) (void)index->batch_insert_flat(flat);
  return index;
}

}  // namespace

Result<std::pair<std::shared_ptr<Database>, RepairReport>> Database::repair_path(
    const fs::path& path) {
  // The writer's role first: the files are about to be replaced, and no other process may be
  // writing them meanwhile. A handle this process has open on the collection gets the
  // repaired state (below) rather than going on with the damaged one.
  std::shared_ptr<storage::SharedDirectory> shared;
  {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return fail(QuarnError::database_not_found(path.string()));
    auto entry = storage::SharedDirectory::of(path);
    if (!entry) return std::unexpected(std::move(entry.error()));
    shared = std::move(*entry);
  }
  MutexLock open_guard(shared->open_mutex());
  if (auto r = shared->claim_writer(); !r) return std::unexpected(std::move(r.error()));
  auto salvage = lock_and_inspect(path);
  if (!salvage) return std::unexpected(std::move(salvage.error()));
  // Held while the log is read too; released before the save at the end, which takes it
  // again.
  std::optional<storage::DirectoryLock> lock(std::move(salvage->lock));
  tools::Inspection& ins = salvage->ins;
  const tools::GraphFile& g = ins.graph;
  tools::ProblemList lost;
  RepairReport report;
  auto shape = salvage_shape(ins, lost);
  if (!shape) return std::unexpected(std::move(shape.error()));
  std::vector<std::string> missing;
  auto kept_or = salvage_records(g, *shape, report, lost, missing);
  if (!kept_or) return std::unexpected(std::move(kept_or.error()));
  const std::vector<std::size_t>& kept = *kept_or;
  if (auto r = refuse_lost_ids(path / wal::kWalFileName, shape->dim, missing); !r) {
    return std::unexpected(std::move(r.error()));
  }
  auto index = salvage_graph(ins, *shape, kept, lost);
  std::unique_ptr<Database> db(new Database(path, std::move(index), ins.quantized_present));
  db->shared_ = shared;
  {
    // Nothing else sees the new object yet; the locks only keep the analysis whole.
    WriterLock ids(db->id_lock_);
    std::vector<std::string> slot_ids(kept.size());
    std::vector<Metadata> metadata(kept.size());
    db->id_to_slot_.reserve(kept.size());
    for (std::size_t s = 0; s < kept.size(); ++s) {
      const auto& record = g.records[kept[s]];
      db->id_to_slot_.emplace(record.id, static_cast<std::uint32_t>(s));
      slot_ids[s] = record.id;
      metadata[s] = record.metadata;
    }
    WriterLock records(db->records_lock_);
    db->records_ =
        RecordTable(std::move(slot_ids), std::move(metadata), {}, db->records_.text().specs());
  }

  // The log holds the changes since the files were saved; a replay stops where it is damaged.
  const wal::LogScan& log = ins.log;
  report.log_entries = log.records - log.undecodable.size();
  if (log.stop != wal::LogScan::Stop::End) {
    lost.add("log", "wal.quarn: the changes logged from offset " + std::to_string(log.stopped_at) +
                        " (" + std::to_string(log.size - log.stopped_at) +
                        " bytes) are unreadable and lost");
  }
  if (!log.undecodable.empty()) {
    lost.add("log", "wal.quarn: " + std::to_string(log.undecodable.size()) +
                        " log records do not decode and are lost");
  }
  ins.vectors.reset();
  std::vector<wal::WalEntry> entries;
  // With the counters as they are: the save below moves them on for every reader.
  if (auto r = db->read_log(entries); !r) return std::unexpected(std::move(r.error()));
  lock.reset();
  db->replay(entries);
  if (db->quantize_) db->enable_quantized_search();
  if (auto r = db->save(); !r) return std::unexpected(std::move(r.error()));
  report.ids = [&] {
    ReaderLock ids(db->id_lock_);
    return db->id_to_slot_.size();
  }();
  report.lost = std::move(lost).finish();
  if (auto live = std::static_pointer_cast<Database>(shared->collection())) {
    WriterLock gate(live->gate_);
    db->install_in(*live);
    return std::pair{std::move(live), std::move(report)};
  }
  std::shared_ptr<Database> out(std::move(db));
  shared->set_collection(out);
  return std::pair{std::move(out), std::move(report)};
}

}  // namespace quarn_core::db
