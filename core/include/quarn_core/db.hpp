// One collection: the HNSW index, the id <-> slot maps, per-slot metadata, the metadata index,
// the collection's files and its write-ahead log.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
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
#include "quarn_core/storage.hpp"
#include "quarn_core/wal.hpp"

namespace quarn_core::db {

using Metadata = std::optional<json::Value>;

// Options of a new collection; the caller applies the defaults.
struct DatabaseConfig {
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  bool quantize = false;
};

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
};

// Thread-safe: any number of threads may call any method at once. Locks, when several are
// held, are always taken in this order:
//   mutation gate -> id_to_slot -> wal -> index -> slot_to_id -> metadata -> metadata_index.
// Every mutation validates first, appends its log record second and changes memory last,
// so a rejected call leaves neither a record nor a change behind.
class Database {
 public:
  // Opens a saved collection ("graph.quarn" and "vectors.bin" present) and replays its log.
  // DatabaseNotFound when either file is missing; Io when a file is unreadable or malformed.
  static Result<std::unique_ptr<Database>> open(const std::filesystem::path& path);
  // Opens the collection at path, or creates an empty one (directories included). The
  // stored dim, metric, m and ef_construction win over the ones passed for an existing one.
  static Result<std::unique_ptr<Database>> open_or_create_with_config(
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

  // Reads.
  Result<std::pair<std::vector<float>, Metadata>> get(const std::string& id) const;
  std::vector<std::string> ids() const;
  bool contains(const std::string& id) const;

  // Queries.
  Result<std::vector<SearchResult>> search(std::span<const float> query,
                                           const SearchOptions& options) const;
  Result<std::vector<std::vector<SearchResult>>> search_many(
      const std::vector<std::vector<float>>& queries, const SearchOptions& options) const;

  // Maintenance and statistics.
  void compact();
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

  std::size_t dim() const { return dim_; }
  distance::Metric metric() const { return metric_; }
  const std::filesystem::path& path() const { return path_; }
  bool quantize() const { return quantize_; }

  // The default search width for k: max(200, k + floor(10 * sqrt(k))).
  static std::size_t default_ef(std::size_t k);

 private:
  Database(std::filesystem::path path, std::unique_ptr<hnsw::HnswIndex> index, bool quantize);
  static Result<std::unique_ptr<Database>> load(const std::filesystem::path& path,
                                                bool quantize_config);
  Result<void> replay_wal();

  // The first item whose vector is not dim long, as DimensionMismatch.
  Result<void> check_dimensions(const std::vector<Record>& items) const;
  // One Insert record per item, in order (wal_lock_ held by the caller). Records appended
  // before a failing one stay in the log.
  Result<void> log_inserts(const std::vector<Record>& items);
  // The update path of upsert/update for a slot, metadata included when given.
  void apply_update(std::uint32_t slot, const std::vector<float>* vector,
                    const std::optional<Metadata>* metadata);
  // Inserts records whose ids are known to be new (id_to_slot held exclusive by caller).
  void insert_new(std::vector<Record>& items);
  // Tombstones one slot whose id is already out of id_to_slot (index, slot_to_id, metadata
  // and metadata_index taken here unless the caller holds them).
  void tombstone(std::uint32_t slot);
  // How one call finds the records that pass its filter, decided once and shared read-only
  // by the queries of a batch (defined in database.cpp).
  struct FilterScope;
  FilterScope scope_of(const Filter& filter, const SlotSet* candidates, std::size_t queries,
                       std::size_t k, std::size_t ef) const;
  // The k nearest passing records, under the read locks held by the caller: exact, or from
  // the graph when it yields k of them.
  std::vector<hnsw::Candidate> filtered_search(std::span<const float> query, std::size_t k,
                                               const FilterScope& scope) const;
  std::vector<hnsw::Candidate> scan_filtered(std::span<const float> query, std::size_t k,
                                             const FilterScope& scope) const;
  // A filter's candidate slots (set() is null when the index cannot narrow the search). A
  // single equality borrows the index's own set and keeps the metadata index locked shared
  // through `guard` while it is used; other filters resolve into `owned`.
  struct Candidates {
    std::shared_lock<std::shared_mutex> guard;
    const SlotSet* borrowed = nullptr;
    std::optional<SlotSet> owned;
    const SlotSet* set() const { return borrowed ? borrowed : owned ? &*owned : nullptr; }
  };
  Candidates resolve(const Filter& filter) const;
  std::vector<SearchResult> build_results(const std::vector<hnsw::Candidate>& pairs,
                                          std::optional<float> max_distance) const;

  const std::filesystem::path path_;
  const std::size_t dim_;
  const distance::Metric metric_;
  const bool quantize_;
  storage::Storage storage_;

  // Held shared by every mutation for its whole run and exclusive by save from its
  // snapshot to its log reset, so that no logged-but-unapplied change is lost at the reset.
  mutable std::shared_mutex gate_;

  mutable std::shared_mutex id_lock_;
  std::unordered_map<std::string, std::uint32_t> id_to_slot_;  // Guarded by id_lock_.

  mutable std::mutex wal_lock_;
  wal::Wal wal_;  // Guarded by wal_lock_.

  mutable std::shared_mutex index_lock_;
  std::unique_ptr<hnsw::HnswIndex> index_;  // Guarded by index_lock_.

  mutable std::shared_mutex slot_lock_;
  std::vector<std::string> slot_to_id_;  // Guarded by slot_lock_.

  mutable std::shared_mutex metadata_lock_;
  std::vector<Metadata> metadata_;  // Guarded by metadata_lock_.

  mutable std::shared_mutex metadata_index_lock_;
  MetadataIndex metadata_index_;  // Guarded by metadata_index_lock_.
};

}  // namespace quarn_core::db
