// One collection: the HNSW index, the id <-> slot maps, per-slot metadata, the metadata index,
// the collection's files and its write-ahead log.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quarn_core/distance.hpp"
#include "quarn_core/error.hpp"
#include "quarn_core/filter.hpp"
#include "quarn_core/hnsw.hpp"
#include "quarn_core/json.hpp"
#include "quarn_core/records.hpp"
#include "quarn_core/storage.hpp"
#include "quarn_core/sync.hpp"
#include "quarn_core/text.hpp"
#include "quarn_core/wal.hpp"

namespace quarn_core::db {

// Options of a new collection; the caller applies the defaults.
struct DatabaseConfig {
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  bool quantize = false;
};

// The largest parameters a new collection may have. The files hold each in 32 bits; these
// bounds are far below that, where a collection still works: a vector of kMaxDim floats is
// 64 MiB, every insert searches a beam of ef_construction pairs, and every node keeps lists
// of up to 2·m neighbours.
inline constexpr std::size_t kMaxDim = std::size_t{1} << 24;
inline constexpr std::size_t kMinM = hnsw::kMinM;  // the level multiplier is 1/ln(m)
inline constexpr std::size_t kMaxM = hnsw::kMaxM;  // a loaded file may not claim more either
inline constexpr std::size_t kMaxEfConstruction = 100000;

// Why a new collection cannot have these parameters ("m must be at most 2048", ...), or
// nothing when it can. Of an existing collection's stored values, the loader bounds m alike.
std::optional<std::string> check_new_collection(std::size_t dim, const DatabaseConfig& config);

// One item of add_many / upsert_many.
struct Record {
  std::string id;
  std::vector<float> vector;
  Metadata metadata;
};

// One hit of a query: a copy of the id and of the metadata.
struct SearchResult {
  std::string id;
  float distance = 0.0f;
  Metadata metadata;
};

struct SearchOptions {
  std::size_t k = 10;
  std::optional<std::size_t> ef_search;  // default: max(200, k + floor(10 * sqrt(k)))
  const Filter* filter = nullptr;        // borrowed for the call
  std::optional<float> max_distance;     // a result at exactly this distance is kept
};

// A full-text query: the text index of `field` (the collection's only one when not given).
struct TextSearchOptions {
  std::size_t k = 10;
  const Filter* filter = nullptr;  // borrowed for the call
  std::optional<std::string> field;
};

// A vector and a text query fused by reciprocal rank fusion: each of the two rankings (the
// nearest vectors, the best BM25 scores, both under the filter) contributes its best
// max(k, kHybridDepth) records, and a record ranked r-th (from 1) in a ranking adds
// weight / (rank_constant + r) to its fused score.
inline constexpr std::size_t kHybridDepth = 100;
struct HybridSearchOptions {
  std::size_t k = 10;
  const Filter* filter = nullptr;  // borrowed for the call
  std::optional<std::string> field;
  std::optional<std::size_t> ef_search;  // of the vector search, as in SearchOptions
  double rank_constant = 60.0;
  double vector_weight = 1.0;
  double text_weight = 1.0;
};

// The figures of stats(), in the order they are reported.
struct Stats {
  std::uint64_t num_vectors = 0;
  std::uint64_t num_deleted = 0;
  std::uint64_t num_layers = 0;
  double avg_degree_layer0 = 0.0;
  std::uint64_t max_degree_layer0 = 0;
  std::uint64_t min_degree_layer0 = 0;
  std::uint64_t memory_vectors_bytes = 0;
  std::uint64_t memory_graph_bytes = 0;
  std::uint64_t memory_quantized_bytes = 0;
  bool uses_brute_force = true;
  bool uses_quantized_search = false;
  bool uses_compressed_search = false;
};

// What verify() and verify_path() found. Problems are readable lines, each naming the file or
// the in-memory structure it concerns; repeated problems of one kind are summarised.
struct VerifyReport {
  std::vector<std::string> problems;
  std::size_t nodes = 0;        // graph nodes checked (live and deleted)
  std::size_t live = 0;         // of them, not deleted
  std::size_t unreachable = 0;  // live nodes no search from the entry point reaches on layer 0
  std::size_t log_records = 0;  // log records a replay reads
  bool ok() const { return problems.empty(); }
};

// The figures of health().
struct HealthReport {
  std::size_t num_vectors = 0;
  std::size_t num_deleted = 0;
  double tombstone_ratio = 0.0;           // deleted slots / all slots; 0 when there are none
  std::vector<std::size_t> layer_counts;  // live nodes on each layer, layer 0 first
  std::size_t unreachable = 0;
  bool exact_search = true;    // searches scan exactly (ef has no effect)
  std::size_t default_ef = 0;  // the width a k = 10 search uses by default
  std::optional<std::size_t> calibrated_ef;
  std::optional<std::size_t> calibrated_k;
  double estimated_recall = 1.0;  // recall@10 at default_ef on the sample
  std::size_t recall_sample = 0;  // sample size; 0 when nothing was measured
  // Where estimated_recall comes from: "calibrate" (what calibrate measured at the width in
  // use, on queries held out of a graph of the other vectors), "sample" (measured now on
  // kHealthRecallSample self-queries, each held out of the collection's own graph) or
  // "exact" (searches scan exactly).
  std::string recall_source = "exact";
  std::vector<std::string> suggestions;
};

// What repair() and repair_path() did and what they could not recover.
struct RepairReport {
  std::size_t ids = 0;                 // live ids in the repaired collection
  std::size_t tombstones_dropped = 0;  // deleted slots left out of the new graph
  std::size_t log_entries = 0;         // log entries replayed on top (repair_path)
  std::vector<std::string> lost;       // what could not be recovered, one line each
};

// The outcome of calibrate().
struct Calibration {
  std::size_t ef_search = 0;
  std::size_t k = 0;
  double target_recall = 0.0;
  double recall = 1.0;     // recall@k reached on the sample at ef_search
  std::size_t sample = 0;  // held-out self-queries measured; 0 on an exact-scan collection
  bool reached = true;     // false: no width tried reached the target (ef_search the widest)
};

// What get_many and scan read of each record besides its id.
struct ReadFields {
  bool vectors = true;
  bool metadata = true;
};

// What get_many found: for each record read, its place in the ids asked for, and its
// metadata when asked. The vectors went to the caller's buffer, row i for found[i].
struct FoundRecords {
  std::vector<std::size_t> found;
  std::vector<Metadata> metadata;
};

// Where a scan goes on: the first slot not looked at yet, in the slot layout the scan began
// with. Slots keep their numbers until compact or repair renumber them (or a reload brings
// in another process's renumbered files); `layout` tells the scan that happened.
struct ScanCursor {
  std::uint32_t slot = 0;
  std::uint64_t layout = 0;
  bool started = false;
  bool done = false;  // every slot has been looked at
};

// One batch of a scan: the records in slot order, their metadata when asked, and where the
// next batch starts. The vectors went to the caller's buffer, one row per id.
struct ScanBatch {
  std::vector<std::string> ids;
  std::vector<Metadata> metadata;
  ScanCursor next;
};

// Deleted slots above this share of all slots make health() suggest compact().
inline constexpr double kCompactTombstoneRatio = 0.2;
// Self-queries sampled by health() and calibrate() (fewer when the collection is smaller).
inline constexpr std::size_t kHealthRecallSample = 200;
// health() takes calibrate's measurement as its estimate while the number of live vectors
// stays within this share of what it was at calibration; beyond, it suggests calibrating
// again.
inline constexpr double kCalibrationDrift = 0.1;
// The recall an uncalibrated collection's calibrate suggestion names a width for.
inline constexpr double kSuggestedRecall = 0.95;
// calibrate() holds its sample out of a graph of the other vectors: on Fashion-MNIST, 4,000
// such queries estimated the recall of the 10,000 test images within 0.003 at every width.
inline constexpr std::size_t kCalibrationSample = 4000;
// The side file that keeps a calibrated default search width.
inline constexpr const char* kCalibrationFileName = "calibration.json";
// The side file that keeps a collection's own exact-scan limit (set_exact_scan_limit).
inline constexpr const char* kExactScanFileName = "exact_scan.json";
// The side file that turns on a collection's compressed traversal (set_compressed_search).
inline constexpr const char* kTraversalFileName = "traversal.json";

// Thread-safe: any number of threads may call any method at once. Locks, when several are
// held, are always taken in this order:
//   mutation gate -> id_to_slot -> wal -> the directory's log mutex -> index -> records.
// The members below carry it (ACQUIRED_AFTER), and `make thread-safety` checks it.
// Every mutation validates first, allocates what it needs second, appends its log record
// third and changes memory last, so a rejected call leaves neither a record nor a change
// behind; should memory run out while the change is applied, the record is taken back out
// of the log and the change undone before std::bad_alloc reaches the caller.
//
// One process, one state: every open of a directory in a process (same device and inode)
// returns the same Database, so a change through any handle is seen by all and a save saves
// everything acknowledged. One process at a time may change or save a collection: its first
// change or save claims the directory, until the process drops its last handle of it; other
// processes' changes and saves fail meanwhile with an Io error naming the directory. Before
// a process makes its first change after claiming, it catches up with whatever other
// processes saved and logged, so it never writes an older state over theirs. Processes that
// only read follow the writer: every read first checks the directory's change counters (one
// pread) and applies the log records or reloads the saves it has not seen.
class Database {
 public:
  // Opens a saved collection ("graph.quarn" and "vectors.bin" present) and replays its log,
  // or returns the collection this process has open on the directory already.
  // DatabaseNotFound when either file is missing; Io when a file is unreadable or malformed.
  static Result<std::shared_ptr<Database>> open(const std::filesystem::path& path);
  // Opens the collection at path, or creates an empty one (directories included) and saves
  // it at once, so that it opens (and lists) as a collection from then on. The stored dim,
  // metric, m and ef_construction win over the ones passed for an existing one. A directory
  // holding only a log (a collection an older build created and never saved) is created
  // from its log, and refused when the log holds vectors of another dimension than `dim`.
  static Result<std::shared_ptr<Database>> open_or_create_with_config(
      const std::filesystem::path& path, std::size_t dim, distance::Metric metric,
      const DatabaseConfig& config);

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Mutations.
  Result<void> add(std::string id, std::vector<float> vector, Metadata metadata);
  Result<void> upsert(std::string id, std::vector<float> vector, Metadata metadata);
  // vector: nothing keeps the stored one. metadata: nothing keeps the stored value; an
  // engaged but empty optional clears it; a value replaces it.
  Result<void> update(const std::string& id, std::optional<std::vector<float>> vector,
                      std::optional<Metadata> metadata);
  // True when the id was stored.
  Result<bool> remove(const std::string& id);
  Result<std::size_t> delete_many(const std::vector<std::string>& ids);
  Result<void> add_many(std::vector<Record> items);
  Result<void> upsert_many(std::vector<Record> items);
  // The same with the vectors back to back in `rows` (ids.size() rows of `width` floats,
  // borrowed for the call): no vector object is built per row. `metadata` is empty (no
  // metadata) or one per id.
  Result<void> add_many_flat(std::vector<std::string> ids, std::span<const float> rows,
                             std::size_t width, std::vector<Metadata> metadata);
  Result<void> upsert_many_flat(std::vector<std::string> ids, std::span<const float> rows,
                                std::size_t width, std::vector<Metadata> metadata);

  // Reads.
  Result<std::pair<std::vector<float>, Metadata>> get(const std::string& id) const;
  std::vector<std::string> ids() const;
  bool contains(const std::string& id) const;

  // ---- Bulk reads, deletes by filter and partial updates (bulk.cpp) ----

  // The records of `ids`, in the order given: each vector into row i of `vectors` (room for
  // ids.size() rows of dim floats when fields.vectors, else empty) for the i-th record found,
  // and its metadata when fields.metadata. NotFound names the first id not stored, unless
  // `skip_missing`, which leaves it out. One consistent state: every record is read under
  // the same locks.
  Result<FoundRecords> get_many(std::span<const std::string> ids, ReadFields fields,
                                bool skip_missing, std::span<float> vectors) const;
  // Up to `limit` live records from `from` on, in slot order, that pass `filter` (every one
  // when null); their vectors go into `vectors` (room for `limit` rows when fields.vectors).
  // Batches taken one after another with the cursor each returns cover every record that is
  // live throughout exactly once, whatever is deleted or added between them (a record added
  // meanwhile is returned when its slot is reached); no lock is held between batches. Io
  // error when the slots were renumbered since the scan began.
  Result<ScanBatch> scan(const ScanCursor& from, std::size_t limit, const Filter* filter,
                         ReadFields fields, std::span<float> vectors) const;
  // Deletes every live record that passes `filter`, logged as one batch of Delete records as
  // delete_many logs them. Returns how many were deleted.
  Result<std::size_t> delete_where(const Filter& filter);
  // Merges the top-level keys of `patch` (an object) into the record's metadata: a key whose
  // value is null is removed, any other is set. The merge is made under the log mutex, so
  // concurrent patches of one record all count, and logged as one Update record holding the
  // merged metadata. NotFound for an unknown id; Io (invalid data) when the patch is not an
  // object or the stored metadata is not one.
  Result<void> update_metadata(const std::string& id, const json::Value& patch);
  // The rows per batch of a load made of many add_many batches: each batch links its first
  // hnsw::kSequentialBatch rows on one thread, so a batch holds enough rows per thread that
  // those cost about 2.5% of its time.
  static std::size_t load_batch_rows();

  // Queries.
  Result<std::vector<SearchResult>> search(std::span<const float> query,
                                           const SearchOptions& options) const;
  Result<std::vector<std::vector<SearchResult>>> search_many(
      const std::vector<std::vector<float>>& queries, const SearchOptions& options) const;

  // Maintenance and statistics.
  void compact();
  // Renumbers the slots so that graph neighbours sit near one another in memory (see
  // HnswIndex::locality_order): searches of a large collection then read fewer scattered
  // cache lines and pages. Ids, vectors, metadata, deletions and search answers stay as
  // they are; like compact, not saved until save().
  Result<void> reorder();
  std::size_t count() const;
  std::size_t count(const Filter& filter) const;
  Stats stats() const;
  std::size_t total_slots() const;
  std::size_t deleted_count() const;
  bool quantized_search() const;
  void enable_quantized_search();
  void disable_quantized_search();

  // Writes the graph, vectors (and codes when `quantize` is set), then removes the log.
  Result<void> save();
  // Makes every change acknowledged so far durable against power loss (fsync of the log and
  // of its directory). Changes are not synced otherwise; a save syncs its own files.
  Result<void> sync();
  // Catches up now with what other processes have saved and logged (every read does so by
  // itself). Io error when the files cannot be read; the state is then left as it was.
  Result<void> refresh();

  // For deleting the collection's directory (the client): waits for every change in flight,
  // runs `remove`, and when it succeeds marks the collection deleted, so that every later
  // change or save of any handle fails with "collection '...' was deleted". The caller holds
  // the writer claim.
  Result<void> retire(const std::function<Result<void>()>& remove);

  std::size_t dim() const { return dim_; }
  distance::Metric metric() const { return metric_; }
  const std::filesystem::path& path() const { return path_; }
  bool quantize() const { return quantize_; }

  // The default search width for k: max(200, k + floor(10 * sqrt(k))).
  static std::size_t default_ef(std::size_t k);

  // Live floats (live vectors × dim) below which this collection is scanned exactly rather
  // than searched through its graph: hnsw::kExactScanFloats unless set_exact_scan_limit chose
  // another. Every exact-or-graph decision (search, search_many, filtered searches, stats,
  // health, calibrate) reads it. 0 means the graph always; SIZE_MAX the exact scan always.
  std::size_t exact_scan_limit() const;
  // Sets this collection's limit (nothing: back to hnsw::kExactScanFloats) and keeps it in
  // the side file kExactScanFileName at once, so that it survives save and reopen; builds
  // that do not know the file ignore it. Claims the directory for this process as a change
  // does. Io when the file cannot be written (or removed); the limit is then unchanged.
  // Handles open in other processes take the new limit with their next call.
  Result<void> set_exact_scan_limit(std::optional<std::size_t> floats);

  // Whether graph searches walk layer 0 on 4-bit codes of the vectors and measure only the
  // final beam at full precision (hnsw::HnswIndex::enable_compressed_search).
  bool compressed_search() const;
  // Turns the compressed traversal on or off and keeps the choice at once in the side file
  // kTraversalFileName (written when on, removed when off), so that it survives save and
  // reopen, and compact and repair carry it to their new graph; builds that do not know the
  // file ignore it. Claims the directory for this process as a change does. Turning it on
  // builds the codes, with searches held back meanwhile. Io when the file cannot be written
  // (or removed); the mode is then unchanged. Handles open in other processes take the new
  // mode with their next call.
  Result<void> set_compressed_search(bool on);

  // ---- Full-text and hybrid search (text_search.cpp) ----

  // Indexes the string values of a metadata field for search_text and hybrid_search, with
  // `language`'s stop words and stemmer (none: neither). The definition is kept in the side
  // file text_indexes.json; the index itself is built on open. Creating an index that exists
  // with the same language does nothing. InvalidArgument for an unknown language or a field
  // indexed with another one; Io when the side file cannot be written (nothing changes).
  Result<void> create_text_index(const std::string& field, std::optional<std::string> language);
  // False when the field has no text index. Io when the side file cannot be written.
  Result<bool> drop_text_index(const std::string& field);
  std::vector<text::TextIndexSpec> text_indexes() const;

  // The records that match the query (syntax at text::Query) and the filter, up to k, by
  // descending BM25 score, equal scores in slot order. A result's distance is its score
  // negated, so that smaller is closer as for vectors. InvalidArgument when the field has
  // no text index, or none is named and the collection has not exactly one.
  Result<std::vector<SearchResult>> search_text(std::string_view query,
                                                const TextSearchOptions& options) const;
  // The nearest vectors and the best text matches fused by reciprocal rank fusion; the
  // distance is the fused score negated. Under a filter it returns min(k, records that pass)
  // results, as search does. Errors as search and search_text.
  Result<std::vector<SearchResult>> hybrid_search(std::span<const float> vector,
                                                  std::string_view text,
                                                  const HybridSearchOptions& options) const;

  // ---- Checks, repair and tuning (health.cpp, salvage.cpp) ----

  // Checks the saved files among themselves (sizes and counts, every record of the graph
  // file, the stored norms, the log up to where a replay stops) and the state in memory (the
  // graph's lists, entry point and reachability, the id maps against each other, the
  // metadata index against the metadata). Read-only; blocks mutations while it runs.
  VerifyReport verify() const;
  // The same checks on the files of a collection that need not open: every file is only
  // read, nothing is recovered, cut or locked. DatabaseNotFound when the directory holds
  // none of the collection's files.
  static Result<VerifyReport> verify_path(const std::filesystem::path& path);

  // Rebuilds the graph from the stored vectors of every live id, as compact does (tombstones
  // are dropped), also when nothing is deleted. A vector that no id names is dropped and
  // reported. Neither logged nor saved.
  RepairReport repair();
  // Rebuilds a collection from what its files still hold: the vectors, and the ids and
  // metadata of the graph file's metadata section, found and checked even when the node
  // records before it are damaged. Then replays the log and saves. Anything that cannot be
  // recovered is listed in the report, never made up. Io, with every file left as it was,
  // when too little is left to rebuild (the dimension or metric cannot be told) or when the
  // save would drop an id that the graph file names because its vector is in neither the
  // vector file nor the log (the refusal names them); DatabaseNotFound when there is no
  // collection.
  static Result<std::pair<std::shared_ptr<Database>, RepairReport>> repair_path(
      const std::filesystem::path& path);

  // Layer counts, tombstones, reachability and recall@10 at the current default width: at
  // a width calibrated for k = 10, what calibrate measured there (while the collection has
  // not grown or shrunk by more than kCalibrationDrift since); otherwise an estimate from
  // kHealthRecallSample self-queries, each held out of the graph, against the exact scan.
  // On the graph path without a calibration it times searches at the default width and at
  // the narrowest width that estimate puts at kSuggestedRecall, and names both in a
  // suggestion to calibrate.
  HealthReport health() const;
  // The smallest ef_search whose recall@k on kCalibrationSample held-out self-queries (each
  // stored vector searched for with itself left out of both answers) reaches target_recall,
  // kept as the default width of searches without ef_search and written to the side file.
  // On a collection that is scanned exactly nothing is measured: any calibration is dropped
  // and the built-in default for k is returned. When no width up to the widest tried reaches
  // the target, nothing is kept and the result says so (reached false). Io when the side
  // file cannot be written. REQUIRES: 0 < target_recall <= 1, k >= 1.
  Result<Calibration> calibrate(double target_recall, std::size_t k);
  // recall@k at each width of `efs` against the exact scan, on a fixed-seed sample of up to
  // `sample` live vectors, with the ids of that sample. With `held_out_graph`, measured as
  // calibrate measures (the sample searched for in a graph built of the other vectors, at
  // the cost of one build); without, as health() estimates (each vector searched for in the
  // collection's own graph as if it were not there, which reads low at narrow widths). 1.0
  // throughout when searches scan exactly.
  struct RecallCurve {
    std::vector<std::string> ids;
    std::vector<double> recall;  // one per width
    bool exact_search = true;
  };
  RecallCurve recall_curve(std::size_t sample, std::size_t k, const std::vector<std::size_t>& efs,
                           bool held_out_graph = false) const;
  // The width of a search for k without ef_search: with a calibration (ef_c at k_c) ef_c for
  // k <= k_c and ef_c * k / k_c (rounded up) above, keeping the calibrated width per result;
  // default_ef(k) without one.
  std::size_t default_search_width(std::size_t k) const;

 private:
  Database(std::filesystem::path path, std::unique_ptr<hnsw::HnswIndex> index, bool quantize);
  // Loads the saved files; the caller holds the directory lock. The new object is not
  // shared yet, so its tables are filled without their locks.
  static Result<std::unique_ptr<Database>> load(const std::filesystem::path& path,
                                                bool quantize_config) NO_THREAD_SAFETY_ANALYSIS;
  // The rest of opening: reads the log (the caller holds the directory lock) into `entries`
  // and notes where it ends and which counters the state now reflects.
  Result<void> read_log(std::vector<wal::WalEntry>& entries) NO_THREAD_SAFETY_ANALYSIS;
  // Makes this process the writer, first catching up with other processes when the claim is
  // new. Called by every mutation and save before it takes any lock.
  Result<void> writable() EXCLUDES(gate_);
  // Checks the directory's counters and catches up when they moved (a no-op in the writer).
  Result<void> follow() const;
  // Reads what other processes wrote since this state was loaded and applies it, or reloads
  // the saved files when they were replaced; `force` reads the log even when the counters
  // did not move. The caller holds the gate exclusively.
  Result<void> catch_up(bool force) REQUIRES(gate_);
  // Puts a freshly loaded state (the saved files and their log) in place of this one.
  Result<void> reload() REQUIRES(gate_);
  // Moves this unshared object's state into `target`, under target's locks.
  void install_in(Database& target) NO_THREAD_SAFETY_ANALYSIS;
  // Whether `after` keeps every slot of `before` where it was: each id at its slot or
  // deleted there, and no slot gone (a reload that brings in a save of the same layout).
  static bool same_slots(const RecordTable& before, const RecordTable& after);
  // Announces a change to the readers of other processes (the writer, after an append).
  void publish_change() REQUIRES(wal_lock_);
  // Makes the readers of other processes load the collection afresh: after the log's tail
  // was taken back, or a side file they read at load (text indexes, exact-scan limit,
  // traversal) changed.
  void publish_reload();
  // A new graph with the current one's parameters (and SQ8 and compressed traversal, if
  // on) over `rows`, dim floats each, back to back (compact, repair); the caller holds the
  // index lock.
  std::unique_ptr<hnsw::HnswIndex> rebuild_graph(std::span<const float> rows) const
      REQUIRES_SHARED(index_lock_);
  // Where the record of a renumbered slot comes from: the slot it had and its id (null: a
  // slot without a record, empty or deleted).
  struct MovedRecord {
    std::uint32_t from = 0;
    const std::string* id = nullptr;
  };
  // Puts a rebuilt or renumbered graph in place of the current one (compact, repair,
  // reorder), with slot s holding the id and metadata of moved[s], and the text and
  // metadata indexes built over them; the graph's deleted slots stay out of the indexes.
  // The caller holds id_to_slot exclusive, which keeps the ids named alive.
  void install_rebuilt(std::unique_ptr<hnsw::HnswIndex> fresh,
                       std::span<const MovedRecord> moved) REQUIRES(id_lock_);
  // The second half of opening, after the directory lock is released: replays `entries`,
  // with the compressed traversal on from the start when the side file turns it on (the
  // replay links with the codes, as the writer did), and has the codes ready at the end.
  // Nothing else sees the object yet, so the tables are changed without their locks.
  void replay(std::vector<wal::WalEntry>& entries) NO_THREAD_SAFETY_ANALYSIS {
    const bool compressed = compressed_search_.load(std::memory_order_relaxed);
    if (compressed) index_->enable_compressed_search();
    apply_entries(entries);
    if (compressed) index_->enable_compressed_search();
  }
  // Applies logged entries as a replay does: each on its own, skipping one that cannot apply.
  void apply_entries(std::vector<wal::WalEntry>& entries)
      REQUIRES(id_lock_, index_lock_, records_lock_);
  // Links a run of inserts of new ids (`rows` their vectors, moved out) as one batch and
  // fills their records; empties both. Their ids are in id_to_slot already.
  void insert_run(std::vector<wal::WalEntry::Insert*>& run, std::vector<std::vector<float>>& rows)
      REQUIRES(id_lock_, index_lock_, records_lock_);

  // One batch: ids and metadata by value; the vectors as one block of rows (`flat`, when
  // the caller's rows are back to back) or one span per row.
  struct Batch {
    std::vector<std::string> ids;
    std::vector<Metadata> metadata;
    std::vector<std::span<const float>> rows;
    std::span<const float> flat;  // all rows back to back, when the caller has them so
    std::size_t width = 0;
    std::span<const float> row(std::size_t i) const {
      return flat.empty() ? rows[i] : flat.subspan(i * width, width);
    }
    // One Insert record per row, in order.
    Result<void> add_inserts(wal::RecordBuffer& records) const;
    // A batch of the records' ids and metadata (moved out) and rows (viewed in place).
    static Batch of_records(std::vector<Record>& items, std::size_t width);
    // A batch of `width`-float rows back to back in `block`.
    static Batch of_block(std::vector<std::string> ids, std::span<const float> block,
                          std::size_t width, std::vector<Metadata> metadata);
  };
  Result<void> check_batch(const Batch& batch) const;
  // The first id of the batch that is stored or named twice, or null.
  const std::string* first_duplicate(const Batch& batch) const REQUIRES_SHARED(id_lock_);
  Result<void> add_batch(Batch& batch) EXCLUDES(gate_);
  Result<void> upsert_batch(Batch& batch) EXCLUDES(gate_);

  // What inserting new ids needs, allocated before the log record is written.
  struct InsertPlan {
    std::vector<std::unordered_map<std::string, std::uint32_t>::node_type> id_nodes;
  };
  // Allocates for inserting the rows `which` of the batch (id_to_slot held exclusive).
  InsertPlan plan_inserts(const Batch& batch, const std::vector<std::size_t>& which)
      REQUIRES(id_lock_);
  // Inserts rows known to be new, after their log record (id_to_slot held exclusive). On
  // an exception: takes the log record back, undoes the rows, rethrows.
  void insert_new(Batch& batch, const std::vector<std::size_t>& which, InsertPlan& plan)
      REQUIRES(id_lock_, wal_lock_);
  // Logs `records` and inserts one new id with its vector and metadata: the single-row
  // case of plan_inserts, log and insert_new (id_to_slot held exclusive).
  Result<void> insert_one(std::string id, std::span<const float> vector, Metadata metadata,
                          wal::RecordBuffer& records) REQUIRES(id_lock_);
  // Appends the records (wal_lock_ held); claims the directory for this process first.
  Result<void> log(wal::RecordBuffer& records) REQUIRES(wal_lock_);
  // Takes the last append back out of the log (wal_lock_ held); best effort.
  void unlog() REQUIRES(wal_lock_);
  // The update path of upsert/update for a slot, after its log record: replaces the vector
  // when given (`old_vector` is its current value, for undoing) and moves in the metadata
  // when given. On an exception: undoes its own step (taking the log record back when
  // `undo_log`) and rethrows.
  void apply_update(std::uint32_t slot, const std::vector<float>* vector,
                    const std::vector<float>* old_vector, std::optional<Metadata>* metadata,
                    bool undo_log = true) REQUIRES_SHARED(id_lock_) REQUIRES(wal_lock_);
  // The packed calibration of a side file (see calibration_), 0 when there is none or it
  // does not read.
  static std::uint64_t read_calibration(const std::filesystem::path& dir);
  // The exact-scan limit of a side file, kExactScanFloats when there is none or it does not
  // read.
  static std::size_t read_exact_scan_limit(const std::filesystem::path& dir);
  // Whether a side file turns the compressed traversal on; off when there is none or it does
  // not read.
  static bool read_compressed_search(const std::filesystem::path& dir);
  // Whether searches of `index` (this collection's) scan exactly under the current limit.
  bool scans_exactly(const hnsw::HnswIndex& index) const;
  // Tombstones slots after their Delete records and removes their ids (id_to_slot held
  // exclusive by the caller). On an exception: takes the records back, undoes, rethrows.
  void tombstone(const std::vector<std::pair<std::uint32_t, const std::string*>>& doomed)
      REQUIRES(id_lock_, wal_lock_);
  // How one call finds the records that pass its filter, decided once and shared read-only
  // by the queries of a batch (defined in database.cpp).
  struct FilterScope;
  FilterScope scope_of(const Filter& filter, const SlotSet* candidates, bool exact_set,
                       std::size_t queries, std::size_t k, std::size_t ef) const
      REQUIRES_SHARED(index_lock_, records_lock_);
  // The most slots a range or a negation of such a call is worth resolving to (see
  // resolve).
  std::size_t range_limit(std::size_t queries, std::size_t k, std::size_t ef) const
      REQUIRES_SHARED(index_lock_);
  // The k nearest passing records, under the read locks held by the caller: exact, or from
  // the graph when it yields k of them.
  // The walk's width for a filtered search entering layer 0 at `entry`: the scope's, or
  // wider when fewer records pass near the entry than the filter's share.
  std::size_t local_width(std::uint32_t entry, std::size_t k, const FilterScope& scope,
                          const std::function<bool(std::uint32_t)>& passes) const
      REQUIRES_SHARED(index_lock_, records_lock_);
  std::vector<hnsw::Candidate> filtered_search(std::span<const float> query, std::size_t k,
                                               const FilterScope& scope) const
      REQUIRES_SHARED(index_lock_, records_lock_);
  std::vector<hnsw::Candidate> scan_filtered(std::span<const float> query, std::size_t k,
                                             const FilterScope& scope) const
      REQUIRES_SHARED(index_lock_, records_lock_);
  // A filter's candidate slots (set() is null when the index cannot narrow the search),
  // borrowed from the index where they are one of its sets: valid while the caller holds
  // the records lock. A range or a negation holding more than `range_limit` slots is left
  // unresolved (Filter::candidates); `exact` tells whether the set holds exactly the live
  // slots that pass.
  Candidates resolve(const Filter& filter, std::size_t range_limit) const
      REQUIRES_SHARED(records_lock_);
  std::vector<SearchResult> build_results(const std::vector<hnsw::Candidate>& pairs,
                                          std::optional<float> max_distance) const
      REQUIRES_SHARED(records_lock_);
  // The k nearest (slot, distance) pairs of one query, filtered or not, as search finds
  // them, under the read locks held by the caller; k and ef already cut to the node count.
  std::vector<hnsw::Candidate> nearest(std::span<const float> query, std::size_t k,
                                       std::size_t ef, const Filter* filter) const
      REQUIRES_SHARED(index_lock_, records_lock_);
  // The best text matches of a query, under the records lock held by the caller.
  Result<std::vector<text::TextHit>> text_hits(std::string_view query, std::size_t k,
                                               const Filter* filter,
                                               const std::optional<std::string>& field) const
      REQUIRES_SHARED(records_lock_);
  // Writes the text indexes' postings beside the graph for the next open (see
  // text::SavedPostings), or removes a stale file when there are none. Best effort: the file
  // is a cache, checked at open against the records.
  void save_postings() const REQUIRES_SHARED(records_lock_);
  // The definitions in the side file; none when it is missing or does not read.
  static std::vector<text::TextIndexSpec> read_text_specs(const std::filesystem::path& dir);

  const std::filesystem::path path_;
  // This process's shared state of the directory (null until it exists).
  std::shared_ptr<storage::SharedDirectory> shared_;
  const std::size_t dim_;
  const distance::Metric metric_;
  const bool quantize_;
  storage::Storage storage_;

  // Held shared by every mutation for its whole run and exclusive by save from its
  // snapshot to its log reset, so that no logged-but-unapplied change is lost at the reset.
  mutable SharedMutex gate_;

  mutable SharedMutex id_lock_ ACQUIRED_AFTER(gate_);
  std::unordered_map<std::string, std::uint32_t> id_to_slot_ GUARDED_BY(id_lock_);

  mutable Mutex wal_lock_ ACQUIRED_AFTER(id_lock_);
  wal::Wal wal_ GUARDED_BY(wal_lock_);

  // After the directory's log mutex too, which lives in shared_ and is taken under wal_lock_.
  mutable SharedMutex index_lock_ ACQUIRED_AFTER(wal_lock_);
  std::unique_ptr<hnsw::HnswIndex> index_ GUARDED_BY(index_lock_) PT_GUARDED_BY(index_lock_);

  // One lock for the three per-slot structures: every reader of one of them (a search, get,
  // count) reads the others in the same call, so separate locks would only be taken together.
  mutable SharedMutex records_lock_ ACQUIRED_AFTER(index_lock_);
  RecordTable records_ GUARDED_BY(records_lock_);

  // What this state reflects of the directory: the counters last caught up with (the
  // writer moves them with its own changes), the generation of the saved files it was
  // loaded from, and where in the log the records it has applied end.
  std::atomic<std::uint64_t> seen_generation_{0};
  std::atomic<std::uint64_t> seen_changes_{0};
  std::atomic<std::uint64_t> loaded_generation_{0};
  std::uint64_t log_end_ GUARDED_BY(wal_lock_) = 0;

  // Moves on each time slots are renumbered (compact, repair, a reload of renumbered
  // files), so that a scan in progress learns that its cursor no longer means anything.
  std::uint64_t layout_ GUARDED_BY(index_lock_) = 0;

  // The calibrated default width: ef in the low 32 bits, the k it was measured for in the
  // high ones; 0 without a calibration. Read by every search, so an atomic, not a lock.
  std::atomic<std::uint64_t> calibration_{0};
  // See exact_scan_limit(); read by every search, so an atomic as well.
  std::atomic<std::size_t> exact_scan_limit_{hnsw::kExactScanFloats};
  // See compressed_search(): what the side file says. The index carries the mode itself;
  // this is what a new graph (open, compact, repair) is given.
  std::atomic<bool> compressed_search_{false};
  // Serialises the writes of the side files (calibrate, set_exact_scan_limit,
  // set_compressed_search); taken with no other lock held (set_compressed_search then takes
  // the index lock under it).
  Mutex calibration_write_;

  friend struct DatabaseTestPeer;  // tests plant damage in memory
};

}  // namespace quarn_core::db
