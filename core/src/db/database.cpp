#include <tbb/parallel_for.h>
#include <xmmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <system_error>
#include <unordered_set>

#include "quarn_core/db.hpp"
#include "tools.hpp"

namespace quarn_core::db {

namespace fs = std::filesystem;
using error::fail;
using error::IoError;

namespace {

std::size_t saturating_mul(std::size_t a, std::size_t b) {
  std::size_t out;
  if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<std::size_t>::max();
  return out;
}

bool file_exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

// k and the search width, each cut to the node count: no search can return or hold more
// pairs than there are nodes, so the results are the same, and the index never reserves
// room for an absurd width (k or ef_search near SIZE_MAX).
std::pair<std::size_t, std::size_t> effective_widths(const hnsw::HnswIndex& index,
                                                     const SearchOptions& options,
                                                     std::size_t default_ef) {
  const std::size_t nodes = index.node_count();
  const std::size_t ef = options.ef_search ? *options.ef_search : default_ef;
  return {std::min(options.k, nodes), std::min(ef, nodes)};
}

}  // namespace

std::uint64_t tools::walk_codes_binding(std::uint32_t graph_crc, std::span<const float> norms) {
  return (std::uint64_t{graph_crc} << 32) | io::crc32_of(std::as_bytes(norms));
}

std::size_t Database::default_ef(std::size_t k) {
  const double width =
      static_cast<double>(k) + std::floor(10.0 * std::sqrt(static_cast<double>(k)));
  if (width >= 18446744073709551615.0) return std::numeric_limits<std::size_t>::max();
  return std::max<std::size_t>(200, static_cast<std::size_t>(width));
}

Database::Database(fs::path path, std::unique_ptr<hnsw::HnswIndex> index, bool quantize)
    : path_(std::move(path)),
      dim_(index->dim()),
      metric_(index->metric()),
      quantize_(quantize),
      storage_(path_),
      wal_(path_ / wal::kWalFileName),
      index_(std::move(index)),
      records_({}, {}, {}, read_text_specs(path_)),
      calibration_(read_calibration(path_)),
      exact_scan_limit_(read_exact_scan_limit(path_)),
      compressed_search_(read_compressed_search(path_)) {}

Database::~Database() = default;

// ---------------------------------------------------------------------------------------------
// Open, recovery and save

std::optional<std::string> check_new_collection(std::size_t dim, const DatabaseConfig& config) {
  if (dim < 1 || dim > kMaxDim) return "dim must be between 1 and " + std::to_string(kMaxDim);
  if (config.m < kMinM) return "m must be at least " + std::to_string(kMinM);
  if (config.m > kMaxM) return "m must be at most " + std::to_string(kMaxM);
  if (config.ef_construction < 1 || config.ef_construction > kMaxEfConstruction) {
    return "ef_construction must be between 1 and " + std::to_string(kMaxEfConstruction);
  }
  return std::nullopt;
}

namespace {

// Metadata that a replay could not read back, refused before it is logged.
Result<void> check_metadata(const Metadata& metadata) {
  if (metadata && json::depth(*metadata) > json::kMaxDepth) {
    return fail(IoError::invalid_data("metadata nested deeper than " +
                                      std::to_string(json::kMaxDepth) + " levels"));
  }
  return {};
}

// Takes the directory lock, under which no save in another thread or process is half done,
// and finishes or rolls back a save that one left interrupted.
Result<storage::DirectoryLock> lock_recovered(const fs::path& path,
                                              const storage::Storage& storage) {
  auto lock = storage::DirectoryLock::acquire(path);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (auto r = storage::recover_interrupted_save(storage); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return lock;
}

}  // namespace

namespace {

// The directory's entry in this process, for an open: DatabaseNotFound when there is no
// directory at the path (nothing to open), Io for any other failure.
Result<std::shared_ptr<storage::SharedDirectory>> directory_entry(const fs::path& path) {
  auto shared = storage::SharedDirectory::of(path);
  if (!shared) {
    const auto& e = shared.error();
    if (e.kind() == error::ErrorKind::Io && e.io_error().kind == error::IoKind::Os &&
        (e.io_error().os_code == ENOENT || e.io_error().os_code == ENOTDIR)) {
      return fail(QuarnError::database_not_found(path.string()));
    }
  }
  return shared;
}

// The dimension of the first logged vector that is not `dim` long, if any: a log without
// saved files is the only copy of what it holds, so no collection is created over it with
// a dimension that would make a replay skip its vectors.
std::optional<std::size_t> foreign_dimension(const std::vector<wal::WalEntry>& entries,
                                             std::size_t dim) {
  for (const auto& entry : entries) {
    if (const auto* insert = std::get_if<wal::WalEntry::Insert>(&entry.op)) {
      if (insert->vector.size() != dim) return insert->vector.size();
    } else if (const auto* update = std::get_if<wal::WalEntry::Update>(&entry.op)) {
      if (update->vector && update->vector->size() != dim) return update->vector->size();
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::shared_ptr<Database>> Database::open(const fs::path& path) {
  auto shared = directory_entry(path);
  if (!shared) return std::unexpected(std::move(shared.error()));
  // Opens of one directory in this process share one object: the first loads it.
  MutexLock open_guard((*shared)->open_mutex());
  if ((*shared)->deleted()) return open(path);  // deleted while we waited: look again
  if (auto live = std::static_pointer_cast<Database>((*shared)->collection())) {
    if (auto r = live->follow(); !r) return std::unexpected(std::move(r.error()));
    return live;
  }
  storage::Storage storage(path);
  std::unique_ptr<Database> db;
  std::vector<wal::WalEntry> entries;
  {
    // Held while the files and the log are read.
    auto lock = lock_recovered(path, storage);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (!file_exists(storage.graph_path()) || !file_exists(storage.vectors_path())) {
      return fail(QuarnError::database_not_found(path.string()));
    }
    auto loaded = load(path, false);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    db = std::move(*loaded);
    if (auto r = db->read_log(entries); !r) return std::unexpected(std::move(r.error()));
  }
  db->replay(entries);
  std::shared_ptr<Database> out(std::move(db));
  (*shared)->set_collection(out);
  return out;
}

Result<void> Database::read_log(std::vector<wal::WalEntry>& entries) {
  // The counters first: a record appended after they were read is read too, and applied
  // twice at worst (replaying a record again leaves the same state), never missed.
  const storage::Counters counters = shared_->read_counters();
  auto read = wal_.read_from(0);
  if (!read) return std::unexpected(std::move(read.error()));
  entries = std::move(read->entries);
  log_end_ = read->end;
  loaded_generation_.store(counters.generation);
  seen_generation_.store(counters.generation);
  seen_changes_.store(counters.changes);
  return {};
}

Result<std::unique_ptr<Database>> Database::load(const fs::path& path, bool quantize_config) {
  storage::Storage storage(path);
  const bool quantize = quantize_config || file_exists(storage.quantized_path());
  auto loaded = storage.load();
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  auto shared = storage::SharedDirectory::of(path);
  if (!shared) return std::unexpected(std::move(shared.error()));

  if (read_compressed_search(path) && file_exists(storage.walk_codes_path())) {
    // Saved codes spare the walk reading every vector to encode it. Codes that do not fit
    // (another save's, damaged) are left alone and built afresh; verify reports them.
    // Mapped rather than read: the codes are copied once, from the page cache.
    if (auto region = io::map_file(storage.walk_codes_path())) {
      (void)loaded->index->load_walk_codes(
          region->bytes(), tools::walk_codes_binding(loaded->graph_crc, loaded->index->norms()));
    }
  }
  std::unique_ptr<Database> db(new Database(path, std::move(loaded->index), quantize));
  db->shared_ = std::move(*shared);
  const std::size_t n = db->index_->node_count();
  std::vector<std::string> slot_ids(n);
  std::vector<Metadata> metadata(n);
  db->id_to_slot_.reserve(loaded->records.size());
  for (auto& record : loaded->records) {
    // The loader has checked that every record's slot is below the node count.
    db->id_to_slot_.insert_or_assign(record.id, record.slot);
    slot_ids[record.slot] = std::move(record.id);
    metadata[record.slot] = std::move(record.metadata);
  }
  const auto postings = text::SavedPostings::read(path);
  db->records_ = RecordTable(std::move(slot_ids), std::move(metadata), db->index_->deleted(),
                             db->records_.text().specs(), postings ? &*postings : nullptr);
  return db;
}

Result<std::shared_ptr<Database>> Database::open_or_create_with_config(
    const fs::path& path, std::size_t dim, distance::Metric metric, const DatabaseConfig& config) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return fail(IoError::from_errno(ec.value()));
  auto shared = directory_entry(path);
  if (!shared) return std::unexpected(std::move(shared.error()));
  MutexLock open_guard((*shared)->open_mutex());
  if ((*shared)->deleted()) return open_or_create_with_config(path, dim, metric, config);
  if (auto live = std::static_pointer_cast<Database>((*shared)->collection())) {
    if (auto r = live->follow(); !r) return std::unexpected(std::move(r.error()));
    return live;
  }
  storage::Storage storage(path);
  std::unique_ptr<Database> db;
  std::vector<wal::WalEntry> entries;
  bool created = false;
  {
    auto lock = lock_recovered(path, storage);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (file_exists(storage.graph_path()) && file_exists(storage.vectors_path())) {
      auto loaded = load(path, config.quantize);
      if (!loaded) return std::unexpected(std::move(loaded.error()));
      db = std::move(*loaded);
    } else {
      if (auto bad = check_new_collection(dim, config)) {
        return fail(IoError::invalid_data(std::move(*bad)));
      }
      auto index = std::make_unique<hnsw::HnswIndex>(dim, config.m, config.ef_construction, metric);
      db.reset(new Database(path, std::move(index), config.quantize));
      db->shared_ = *shared;
      created = true;
    }
    // A log without saved files is the only copy of a collection that an older build
    // created, changed and never saved: it is replayed, and saved below.
    if (auto r = db->read_log(entries); !r) return std::unexpected(std::move(r.error()));
  }
  if (created) {
    if (auto other = foreign_dimension(entries, dim)) {
      return fail(IoError::invalid_data(
          "the log in '" + path.string() + "' holds vectors of dimension " +
          std::to_string(*other) + ", not " + std::to_string(dim) +
          ": open the collection with the dimension it was created with"));
    }
  }
  db->replay(entries);
  std::shared_ptr<Database> out(std::move(db));
  if (created) {
    // Saved at once, so that the collection opens, lists and keeps its dimension and metric
    // from now on, before anything is logged.
    if (auto r = out->save(); !r) return std::unexpected(std::move(r.error()));
  }
  (*shared)->set_collection(out);
  return out;
}

void Database::apply_entries(std::vector<wal::WalEntry>& entries) {
  // Every record is applied or skipped on its own: a record that cannot apply (a vector of
  // another length, an unknown id) never stops the ones after it.
  //
  // A run of inserts of new ids (a logged add_many, a bulk load) is linked as one batch, on
  // every core, as the writer linked it: one by one it took several times as long to open
  // as to build. The batch takes the next slots in order, so every id gets the slot that
  // inserting its record alone would have given it.
  std::vector<wal::WalEntry::Insert*> run;
  std::vector<std::vector<float>> run_rows;
  for (auto& entry : entries) {
    if (auto* insert = std::get_if<wal::WalEntry::Insert>(&entry.op)) {
      if (insert->vector.size() != dim_) continue;
      const auto next = static_cast<std::uint32_t>(index_->node_count() + run.size());
      if (auto [it, fresh] = id_to_slot_.try_emplace(insert->id, next); !fresh) {
        insert_run(run, run_rows);  // the id may be one of the run's: linked first
        index_->update_vector(it->second, insert->vector);
        records_.replace_metadata(it->second, std::move(insert->metadata));
        continue;
      }
      run.push_back(insert);
      run_rows.push_back(std::move(insert->vector));
      continue;
    }
    insert_run(run, run_rows);
    if (auto* del = std::get_if<wal::WalEntry::Delete>(&entry.op)) {
      auto it = id_to_slot_.find(del->id);
      if (it == id_to_slot_.end()) continue;
      const std::uint32_t slot = it->second;
      id_to_slot_.erase(it);
      if (slot < index_->node_count()) index_->mark_deleted(slot);
      (void)records_.clear(slot);
    } else if (auto* update = std::get_if<wal::WalEntry::Update>(&entry.op)) {
      auto it = id_to_slot_.find(update->id);
      if (it == id_to_slot_.end()) continue;
      const std::uint32_t slot = it->second;
      // A vector of another length is ignored; the metadata part still applies.
      if (update->vector && update->vector->size() == dim_) {
        index_->update_vector(slot, *update->vector);
      }
      if (update->metadata) records_.replace_metadata(slot, std::move(*update->metadata));
    }
  }
  insert_run(run, run_rows);
}

void Database::insert_run(std::vector<wal::WalEntry::Insert*>& run,
                          std::vector<std::vector<float>>& rows) {
  if (run.empty()) return;
  const std::vector<std::uint32_t> slots =
      run.size() == 1 ? std::vector<std::uint32_t>{index_->insert(rows[0])}
                      : index_->batch_insert(rows);
  records_.extend(slots.back() + 1);
  for (std::size_t i = 0; i < run.size(); ++i) {
    records_.fill(slots[i], std::move(run[i]->id), std::move(run[i]->metadata));
  }
  run.clear();
  rows.clear();
}

Result<void> Database::save() {
  if (auto r = writable(); !r) return r;
  // Exclusive gate: no mutation is between its log append and its change in memory while
  // the snapshot is taken, so the log reset below drops nothing that the files lack.
  WriterLock gate(gate_);
  ReaderLock ids(id_lock_);
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);

  std::vector<storage::MetaRecord> records;
  records.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) {
    records.push_back(storage::MetaRecord{id, records_.metadata(slot), slot});
  }

  std::error_code ec;
  fs::create_directories(storage_.graph_path().parent_path(), ec);
  if (ec) return fail(IoError::from_errno(ec.value()));
  // Held to the log reset: an open elsewhere sees the files of one save, with their log.
  auto lock = storage::DirectoryLock::acquire(path_);
  if (!lock) return std::unexpected(std::move(lock.error()));

  const hnsw::HnswIndex& index = *index_;
  auto write_files = [&]() -> Result<void> {
    if (auto b = storage::begin_save(storage_); !b) return b;
    auto r = storage::replace_file(storage_.vectors_path(), [&](io::BufWriter& w) -> Result<void> {
      if (auto v = w.write_floats(index.vectors()); !v) return v;
      return w.write_floats(index.norms());
    });
    if (!r) return r;
    if (quantize_) {
      // A fresh quantizer for the file only; the in-memory quantized state stays as it is.
      auto quantizer = quantize::ScalarQuantizer::train(index.vectors(), dim_);
      auto codes = quantizer.quantize_batch(index.vectors(), dim_);
      r = storage::replace_file(storage_.quantized_path(), [&](io::BufWriter& w) -> Result<void> {
        if (auto s = quantizer.save(w); !s) return s;
        return w.write(codes.data(), codes.size());
      });
      if (!r) return r;
    } else {
      // A failure to delete is harmless here: without the option the file is never read.
      if (file_exists(storage_.quantized_path())) (void)io::unlink_path(storage_.quantized_path());
    }
    r = storage::replace_file(storage_.graph_path(), [&](io::BufWriter& w) -> Result<void> {
      if (auto g = index.save_graph(w); !g) return g;
      return storage::write_metadata_section(w, records);
    });
    if (!r) return r;
    // The walk's codes last: they are bound to the graph file as written.
    if (index.has_walk_codes()) {
      auto graph = io::map_file(storage_.graph_path());
      if (!graph) return std::unexpected(std::move(graph.error()));
      const std::uint64_t binding =
          tools::walk_codes_binding(io::crc32_of(graph->bytes()), index.norms());
      r = storage::replace_file(storage_.walk_codes_path(), [&](io::BufWriter& w) {
        return index.save_walk_codes(w, binding);
      });
      if (!r) return r;
    } else if (file_exists(storage_.walk_codes_path())) {
      (void)io::unlink_path(storage_.walk_codes_path());  // never read without the walk
    }
    // The renames must be durable before the log, the only other copy, goes away.
    return storage::finish_save(storage_);
  };
  if (auto written = write_files(); !written) {
    // Put the previous files back now rather than at the next open, so that the directory
    // keeps a complete collection under its names. Should that fail too, the next open or
    // save finishes it; the log holds every change either way.
    (void)storage::recover_interrupted_save(storage_);
    return written;
  }
  save_postings();

  // Mutations take the log mutex before index (and hold it while they apply), so it must
  // not be taken under the read locks. Releasing them first is safe: the gate, still held,
  // keeps every mutation out until the reset is done.
  records_guard.unlock();
  index_guard.unlock();
  ids.unlock();
  MutexLock wal_guard(wal_lock_);
  MutexLock log_guard(shared_->log_mutex());
  // Readers must learn that the files were replaced before the log they would read on goes.
  // Should that fail, the log stays: what it holds is in the files too, and replaying it
  // again leaves the same state.
  const storage::Counters next{seen_generation_.load() + 1, seen_changes_.load() + 1};
  if (auto r = shared_->write_counters(next); !r) return r;
  seen_generation_.store(next.generation);
  seen_changes_.store(next.changes);
  loaded_generation_.store(next.generation);
  auto reset = wal_.reset();
  if (reset) log_end_ = 0;
  return reset;
}

Result<void> Database::refresh() {
  if (shared_->holds_writer()) return {};  // nobody else changes the collection meanwhile
  WriterLock gate(gate_);
  return catch_up(false);
}

Result<void> Database::follow() const {
  if (shared_->holds_writer()) return {};
  const storage::Counters now = shared_->read_counters();
  if (now.generation == seen_generation_.load(std::memory_order_acquire) &&
      now.changes == seen_changes_.load(std::memory_order_acquire)) {
    return {};
  }
  // Every Database is made by open (never const), and catching up changes only what its
  // locks guard: reads in other threads see the state before or after, never between.
  return const_cast<Database*>(this)->refresh();
}

Result<void> Database::writable() {
  if (shared_->holds_writer() && !shared_->deleted()) return {};
  // Exclusive: no change or save of this process runs while it catches up.
  WriterLock gate(gate_);
  bool fresh = false;
  if (auto r = shared_->claim_writer(&fresh); !r) return r;
  if (!fresh) return {};
  // Whatever other processes (or, in a forked child, the parent) wrote while this process
  // did not hold the role is applied before anything of ours is written on top of it.
  if (auto r = catch_up(true); !r) {
    shared_->release_writer();
    return r;
  }
  return {};
}

Result<void> Database::catch_up(bool force) {
  const storage::Counters seen{seen_generation_.load(), seen_changes_.load()};
  // Under the directory's lock no save of another process is half done.
  auto lock = lock_recovered(path_, storage_);
  if (!lock) return std::unexpected(std::move(lock.error()));
  const storage::Counters now = shared_->read_counters();
  if (!force && now == seen) return {};
  // A deleted directory has nothing more to follow; changes fail at their claim.
  if (!shared_->still_current()) return {};
  if (now.generation != loaded_generation_.load()) return reload();
  {
    WriterLock ids(id_lock_);
    MutexLock wal_guard(wal_lock_);
    auto read = wal_.read_from(log_end_);
    if (!read) return std::unexpected(std::move(read.error()));
    if (!read->shrunk) {
      // The file another process appended to (or that a fork's parent appends to) is not
      // ours to go on writing through an old descriptor.
      wal_.close_file();
      WriterLock index_guard(index_lock_);
      WriterLock records_guard(records_lock_);
      apply_entries(read->entries);
      log_end_ = read->end;
      seen_generation_.store(now.generation);
      seen_changes_.store(now.changes);
      return {};
    }
  }
  // The log was cut below what was read (a record taken back): start again from the files.
  return reload();
}

Result<void> Database::reload() {
  auto loaded = load(path_, quantize_);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  Database& fresh = **loaded;
  if (fresh.dim_ != dim_ || fresh.metric_ != metric_) {
    return fail(IoError::invalid_data("the collection at '" + path_.string() +
                                      "' was replaced by one of another dimension or metric"));
  }
  std::vector<wal::WalEntry> entries;
  if (auto r = fresh.read_log(entries); !r) return r;
  fresh.replay(entries);
  fresh.install_in(*this);
  return {};
}

void Database::install_in(Database& target) {
  // The caller holds target's gate exclusively; this object is not shared.
  WriterLock ids(target.id_lock_);
  MutexLock wal_guard(target.wal_lock_);
  WriterLock index_guard(target.index_lock_);
  WriterLock records_guard(target.records_lock_);
  if (!same_slots(target.records_, records_)) ++target.layout_;
  target.id_to_slot_ = std::move(id_to_slot_);
  target.index_ = std::move(index_);
  target.records_ = std::move(records_);
  // With this object's log, which knows whether the file has a tail no read reaches.
  std::swap(target.wal_, wal_);
  target.log_end_ = log_end_;
  target.loaded_generation_.store(loaded_generation_.load());
  target.seen_generation_.store(seen_generation_.load());
  target.seen_changes_.store(seen_changes_.load());
  target.calibration_.store(calibration_.load());
  target.exact_scan_limit_.store(exact_scan_limit_.load());
  target.compressed_search_.store(compressed_search_.load());
}

Result<void> Database::retire(const std::function<Result<void>()>& remove) {
  WriterLock gate(gate_);
  {
    MutexLock wal_guard(wal_lock_);
    wal_.close_file();
  }
  if (auto r = remove(); !r) return r;
  shared_->mark_deleted();
  return {};
}

Result<void> Database::sync() {
  MutexLock wal_guard(wal_lock_);
  MutexLock log_guard(shared_->log_mutex());
  return wal_.sync();
}

// ---------------------------------------------------------------------------------------------
// Mutations
//
// Every mutation holds the gate shared, then takes id_to_slot (shared or exclusive) and the
// log mutex, allocates what it will need, appends its record and applies its change before
// releasing the log mutex. So changes reach memory in the order of their log records, and a
// replay rebuilds exactly the state that callers saw acknowledged.

Result<void> Database::log(wal::RecordBuffer& records) {
  // writable() claimed the role and caught up before the caller took its locks; a claim
  // that is gone now (the directory was deleted meanwhile) must not be made again here.
  if (!shared_->holds_writer() || shared_->deleted()) {
    return fail(IoError{error::IoKind::Other, ENOENT,
                        "collection '" + path_.string() + "' was deleted"});
  }
  MutexLock log_guard(shared_->log_mutex());
  if (auto r = wal_.append(records); !r) return r;
  log_end_ = wal_.end();
  publish_change();
  return {};
}

void Database::publish_change() {
  const storage::Counters next{seen_generation_.load(), seen_changes_.load() + 1};
  seen_changes_.store(next.changes);
  // Best effort: a reader that misses this learns of the record with the next change.
  (void)shared_->write_counters(next);
}

void Database::unlog() {
  MutexLock log_guard(shared_->log_mutex());
  (void)wal_.undo_last_append();
  log_end_ = wal_.end();
  // A reader may have applied the record taken back: it loads the files and the log again
  // rather than go on from where it read.
  publish_reload();
}

void Database::publish_reload() {
  const storage::Counters next{seen_generation_.load() + 1, seen_changes_.load() + 1};
  seen_generation_.store(next.generation);
  seen_changes_.store(next.changes);
  loaded_generation_.store(next.generation);
  (void)shared_->write_counters(next);
}

Database::InsertPlan Database::plan_inserts(const Batch& batch,
                                            const std::vector<std::size_t>& which) {
  InsertPlan plan;
  plan.id_nodes.reserve(which.size());
  std::unordered_map<std::string, std::uint32_t> staging;
  for (std::size_t i : which) {
    staging.emplace(batch.ids[i], 0);
    plan.id_nodes.push_back(staging.extract(staging.begin()));
  }
  // Every table grows by doubling, as it would without the reservation: one insert at a
  // time must not reallocate (or rehash) each time.
  const std::size_t ids = id_to_slot_.size() + which.size();
  if (static_cast<double>(ids) >
      static_cast<double>(id_to_slot_.bucket_count()) * id_to_slot_.max_load_factor()) {
    id_to_slot_.reserve(std::max(ids, 2 * id_to_slot_.size()));
  }
  WriterLock index_guard(index_lock_);
  index_->reserve(which.size());
  WriterLock records_guard(records_lock_);
  records_.reserve(index_->node_count() + which.size());
  return plan;
}

void Database::insert_new(Batch& batch, const std::vector<std::size_t>& which, InsertPlan& plan) {
  // While the index is held exclusively here (and the id map by the caller), no reader of
  // the records can run anyway, so their lock is taken at once and held on every path.
  WriterLock index_guard(index_lock_);
  WriterLock records_guard(records_lock_);
  const auto first = static_cast<std::uint32_t>(index_->node_count());
  std::size_t done = 0;  // rows whose id, metadata and index entries are all in place
  try {
    if (which.size() == 1) {
      (void)index_->insert(batch.row(which[0]));
    } else if (!batch.flat.empty() && which.size() * batch.width == batch.flat.size()) {
      (void)index_->batch_insert_flat(batch.flat);
    } else {
      std::vector<float> rows;
      rows.reserve(which.size() * dim_);
      for (std::size_t i : which) rows.insert(rows.end(), batch.row(i).begin(), batch.row(i).end());
      (void)index_->batch_insert_flat(rows);
    }
    // Within the capacity reserved by plan_inserts: no allocation.
    records_.extend(index_->node_count());
    for (; done < which.size(); ++done) {
      const std::size_t i = which[done];
      const std::uint32_t s = first + static_cast<std::uint32_t>(done);
      records_.fill(s, std::move(batch.ids[i]), std::move(batch.metadata[i]));
      plan.id_nodes[done].mapped() = s;
      id_to_slot_.insert(std::move(plan.id_nodes[done]));
    }
  } catch (...) {
    // The record goes first: a replay must never bring back a change reported as failed.
    unlog();
    for (std::size_t j = 0; j < done; ++j) {
      auto [id, metadata] = records_.clear(first + static_cast<std::uint32_t>(j));
      id_to_slot_.erase(id);
      batch.ids[which[j]] = std::move(id);
      batch.metadata[which[j]] = std::move(metadata);
    }
    // Nodes already linked cannot be taken out of the graph: they stay as tombstones,
    // which searches skip and compaction reclaims.
    for (std::size_t s = first; s < index_->node_count(); ++s) {
      (void)index_->mark_deleted(static_cast<std::uint32_t>(s));
    }
    records_.extend(index_->node_count());
    throw;
  }
}

void Database::apply_update(std::uint32_t slot, const std::vector<float>* vector,
                            const std::vector<float>* old_vector, std::optional<Metadata>* metadata,
                            bool undo_log) {
  // index stays held through the metadata change, so that a search or get never sees the
  // new vector with the old metadata.
  WriterLock index_guard(index_lock_);
  bool vector_changed = false;
  try {
    if (vector != nullptr) {
      vector_changed = true;
      index_->update_vector(slot, *vector);
    }
    if (metadata != nullptr && metadata->has_value()) {
      WriterLock records_guard(records_lock_);
      // Undoes its own change should it fail.
      records_.replace_metadata(slot, std::move(**metadata));
    }
  } catch (...) {
    if (undo_log) unlog();
    // Best effort: putting the old vector back may run out of memory too.
    try {
      if (vector_changed && old_vector != nullptr) index_->update_vector(slot, *old_vector);
    } catch (...) {
    }
    throw;
  }
}

void Database::tombstone(const std::vector<std::pair<std::uint32_t, const std::string*>>& doomed) {
  WriterLock index_guard(index_lock_);
  // Marking a slot deleted is the one step that can fail (its entry in the deleted set), so
  // every slot is marked first, and a failure unmarks the ones before it.
  std::size_t marked = 0;
  try {
    for (; marked < doomed.size(); ++marked) {
      const std::uint32_t slot = doomed[marked].first;
      if (slot < index_->node_count()) (void)index_->mark_deleted(slot);
    }
  } catch (...) {
    while (marked-- > 0) index_->unmark_deleted(doomed[marked].first);
    unlog();
    throw;
  }
  WriterLock records_guard(records_lock_);
  for (const auto& [slot, id] : doomed) {
    id_to_slot_.erase(*id);
    if (slot < records_.size()) (void)records_.clear(slot);
  }
}

Result<void> Database::insert_one(std::string id, std::span<const float> vector, Metadata metadata,
                                  wal::RecordBuffer& records) {
  Batch batch;
  batch.ids.push_back(std::move(id));
  batch.metadata.push_back(std::move(metadata));
  batch.rows.push_back(vector);
  batch.width = dim_;
  const std::vector<std::size_t> which{0};
  InsertPlan plan = plan_inserts(batch, which);
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return r;
  insert_new(batch, which, plan);
  return {};
}

Result<void> Database::add(std::string id, std::vector<float> vector, Metadata metadata) {
  if (vector.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, vector.size()));
  if (auto r = check_metadata(metadata); !r) return r;
  // A process that is not the writer yet is refused for the call's own reason first, as the
  // writer would be, and only then for the role (so also below).
  if (!shared_->holds_writer() && contains(id)) return fail(QuarnError::duplicate_id(std::move(id)));
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  // The id is checked under the exclusive lock that is held through logging and applying,
  // so a rejected add never leaves a record that a replay would apply.
  WriterLock ids(id_lock_);
  if (id_to_slot_.contains(id)) return fail(QuarnError::duplicate_id(std::move(id)));
  wal::RecordBuffer records;
  if (auto r = records.add_insert(id, vector, metadata); !r) return r;
  return insert_one(std::move(id), vector, std::move(metadata), records);
}

Result<void> Database::upsert(std::string id, std::vector<float> vector, Metadata metadata) {
  if (vector.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, vector.size()));
  if (auto r = check_metadata(metadata); !r) return r;
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  WriterLock ids(id_lock_);
  wal::RecordBuffer records;
  if (auto r = records.add_insert(id, vector, metadata); !r) return r;
  auto it = id_to_slot_.find(id);
  if (it != id_to_slot_.end()) {
    const std::uint32_t slot = it->second;
    std::vector<float> old_vector;
    {
      ReaderLock index_guard(index_lock_);
      auto v = index_->vector(slot);
      old_vector.assign(v.begin(), v.end());
    }
    // Upserting without metadata clears the old metadata.
    std::optional<Metadata> replacement(std::move(metadata));
    MutexLock wal_guard(wal_lock_);
    if (auto r = log(records); !r) return r;
    apply_update(slot, &vector, &old_vector, &replacement);
    return {};
  }
  return insert_one(std::move(id), vector, std::move(metadata), records);
}

Result<void> Database::update(const std::string& id, std::optional<std::vector<float>> vector,
                              std::optional<Metadata> metadata) {
  if (!shared_->holds_writer()) {
    if (!contains(id)) return fail(QuarnError::not_found(id));
    if (vector && vector->size() != dim_) {
      return fail(QuarnError::dimension_mismatch(dim_, vector->size()));
    }
  }
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  // Held shared to the end: a concurrent delete of the same id waits, so the update never
  // writes metadata or index entries onto a slot that has just become a tombstone.
  ReaderLock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return fail(QuarnError::not_found(id));
  const std::uint32_t slot = it->second;
  if (vector && vector->size() != dim_) {
    return fail(QuarnError::dimension_mismatch(dim_, vector->size()));
  }
  if (metadata) {
    if (auto r = check_metadata(*metadata); !r) return r;
  }
  wal::RecordBuffer records;
  const Metadata* replacement = metadata ? &*metadata : nullptr;
  if (auto r =
          records.add_update(id, vector ? &*vector : nullptr, metadata ? &replacement : nullptr);
      !r) {
    return r;
  }
  std::vector<float> old_vector;
  if (vector) {
    ReaderLock index_guard(index_lock_);
    auto v = index_->vector(slot);
    old_vector.assign(v.begin(), v.end());
  }
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return r;
  apply_update(slot, vector ? &*vector : nullptr, &old_vector, metadata ? &metadata : nullptr);
  return {};
}

Result<bool> Database::remove(const std::string& id) {
  if (!shared_->holds_writer() && !contains(id)) return false;
  if (auto r = writable(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock gate(gate_);
  WriterLock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return false;
  const std::uint32_t slot = it->second;
  wal::RecordBuffer records;
  if (auto r = records.add_delete(id); !r) return std::unexpected(std::move(r.error()));
  const std::vector<std::pair<std::uint32_t, const std::string*>> doomed{{slot, &id}};
  // The mapping goes only once the record is in the log: a failed append leaves the id
  // stored and the collection consistent.
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return std::unexpected(std::move(r.error()));
  tombstone(doomed);
  return true;
}

Result<std::size_t> Database::delete_many(const std::vector<std::string>& ids) {
  if (!shared_->holds_writer() &&
      std::none_of(ids.begin(), ids.end(), [&](const auto& id) { return contains(id); })) {
    return 0;
  }
  if (auto r = writable(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock gate(gate_);
  WriterLock id_guard(id_lock_);
  // One record per stored id, the first time it is named; all go out in one write.
  std::vector<std::pair<std::uint32_t, const std::string*>> doomed;
  std::unordered_set<std::string_view> seen;
  wal::RecordBuffer records;
  for (const auto& id : ids) {
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end() || !seen.insert(id).second) continue;
    if (auto r = records.add_delete(id); !r) return std::unexpected(std::move(r.error()));
    doomed.emplace_back(it->second, &id);
  }
  if (doomed.empty()) return 0;
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return std::unexpected(std::move(r.error()));
  tombstone(doomed);
  return doomed.size();
}

Result<void> Database::check_batch(const Batch& batch) const {
  // The first item whose vector is not dim long, then the first too-deep metadata.
  const std::size_t n = batch.ids.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t len = batch.flat.empty() ? batch.rows[i].size() : batch.width;
    if (len != dim_) return fail(QuarnError::dimension_mismatch(dim_, len));
  }
  for (const auto& m : batch.metadata) {
    if (auto r = check_metadata(m); !r) return r;
  }
  return {};
}

const std::string* Database::first_duplicate(const Batch& batch) const {
  // A batch naming one new id twice is rejected like a stored id: otherwise the second
  // item's slot would be unreachable through its id.
  std::unordered_set<std::string_view> seen;
  seen.reserve(batch.ids.size());
  for (const auto& id : batch.ids) {
    if (id_to_slot_.contains(id) || !seen.insert(id).second) return &id;
  }
  return nullptr;
}

Result<void> Database::add_batch(Batch& batch) {
  if (auto r = check_batch(batch); !r) return r;
  const std::size_t n = batch.ids.size();
  if (n == 0) return {};
  if (!shared_->holds_writer()) {
    if (auto r = follow(); !r) return r;
    ReaderLock ids(id_lock_);
    if (const std::string* id = first_duplicate(batch)) return fail(QuarnError::duplicate_id(*id));
  }
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  WriterLock ids(id_lock_);
  if (const std::string* id = first_duplicate(batch)) return fail(QuarnError::duplicate_id(*id));
  wal::RecordBuffer records;
  if (auto r = batch.add_inserts(records); !r) return r;
  std::vector<std::size_t> which(n);
  for (std::size_t i = 0; i < n; ++i) which[i] = i;
  InsertPlan plan = plan_inserts(batch, which);
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return r;
  insert_new(batch, which, plan);
  return {};
}

Result<void> Database::upsert_batch(Batch& batch) {
  if (auto r = check_batch(batch); !r) return r;
  const std::size_t n = batch.ids.size();
  if (n == 0) return {};
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  WriterLock ids(id_lock_);
  wal::RecordBuffer records;
  if (auto r = batch.add_inserts(records); !r) return r;
  // Stored ids are updated in item order; new ids are inserted afterwards in one batch, in
  // the order of their first appearance. A new id named again ends with its last item's
  // values, as replaying the records one by one would leave it.
  std::vector<std::size_t> updates;  // rows of stored ids
  std::vector<std::uint32_t> update_slots;
  std::vector<std::size_t> fresh;  // the row of each new id, its last naming
  std::unordered_map<std::string_view, std::size_t> fresh_at;
  for (std::size_t i = 0; i < n; ++i) {
    auto it = id_to_slot_.find(batch.ids[i]);
    if (it != id_to_slot_.end()) {
      updates.push_back(i);
      update_slots.push_back(it->second);
      continue;
    }
    auto [pos, inserted] = fresh_at.try_emplace(batch.ids[i], fresh.size());
    if (inserted) {
      fresh.push_back(i);
    } else {
      fresh[pos->second] = i;
    }
  }
  InsertPlan plan = plan_inserts(batch, fresh);
  // Copies made before logging: the new values to move in and the old ones to put back
  // should the batch fail half way.
  struct Update {
    std::uint32_t slot;
    std::vector<float> vector, old_vector;
    std::optional<Metadata> metadata;
    Metadata old_metadata;
  };
  std::vector<Update> changes;
  changes.reserve(updates.size());
  {
    ReaderLock index_guard(index_lock_);
    ReaderLock records_guard(records_lock_);
    for (std::size_t u = 0; u < updates.size(); ++u) {
      const std::size_t i = updates[u];
      const std::uint32_t slot = update_slots[u];
      auto old = index_->vector(slot);
      changes.push_back(Update{slot,
                               {batch.row(i).begin(), batch.row(i).end()},
                               {old.begin(), old.end()},
                               std::optional<Metadata>(std::move(batch.metadata[i])),
                               records_.metadata(slot)});
    }
  }
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return r;
  std::size_t applied = 0;
  try {
    for (; applied < changes.size(); ++applied) {
      auto& c = changes[applied];
      apply_update(c.slot, &c.vector, &c.old_vector, &c.metadata, /*undo_log=*/false);
    }
    if (!fresh.empty()) insert_new(batch, fresh, plan);
  } catch (...) {
    unlog();
    // Back to the values before the batch, latest first (an id named twice ends with the
    // value it had before its first naming). Best effort, as in apply_update.
    try {
      while (applied-- > 0) {
        auto& c = changes[applied];
        std::optional<Metadata> old(std::move(c.old_metadata));
        apply_update(c.slot, &c.old_vector, nullptr, &old, false);
      }
    } catch (...) {
    }
    throw;
  }
  return {};
}

Result<void> Database::Batch::add_inserts(wal::RecordBuffer& records) const {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (auto r = records.add_insert(ids[i], row(i), metadata[i]); !r) return r;
  }
  return {};
}

Database::Batch Database::Batch::of_records(std::vector<Record>& items, std::size_t width) {
  Batch batch;
  batch.width = width;
  batch.rows.reserve(items.size());
  batch.ids.reserve(items.size());
  batch.metadata.reserve(items.size());
  // The rows stay in `items`, whose vectors the caller keeps alive for the batch's run.
  for (auto& item : items) {
    batch.rows.emplace_back(item.vector);
    batch.ids.push_back(std::move(item.id));
    batch.metadata.push_back(std::move(item.metadata));
  }
  return batch;
}

Result<void> Database::add_many(std::vector<Record> items) {
  Batch batch = Batch::of_records(items, dim_);
  return add_batch(batch);
}

Result<void> Database::upsert_many(std::vector<Record> items) {
  Batch batch = Batch::of_records(items, dim_);
  return upsert_batch(batch);
}

Database::Batch Database::Batch::of_block(std::vector<std::string> ids, std::span<const float> rows,
                                          std::size_t width, std::vector<Metadata> metadata) {
  Batch batch;
  if (metadata.empty()) metadata.resize(ids.size());
  batch.ids = std::move(ids);
  batch.metadata = std::move(metadata);
  batch.flat = rows;
  batch.width = width;
  // Rows of no floats have no block to point into: fall back to one (empty) span per row.
  if (width == 0) batch.rows.assign(batch.ids.size(), {});
  return batch;
}

Result<void> Database::add_many_flat(std::vector<std::string> ids, std::span<const float> rows,
                                     std::size_t width, std::vector<Metadata> metadata) {
  Batch batch = Batch::of_block(std::move(ids), rows, width, std::move(metadata));
  return add_batch(batch);
}

Result<void> Database::upsert_many_flat(std::vector<std::string> ids, std::span<const float> rows,
                                        std::size_t width, std::vector<Metadata> metadata) {
  Batch batch = Batch::of_block(std::move(ids), rows, width, std::move(metadata));
  return upsert_batch(batch);
}

// ---------------------------------------------------------------------------------------------
// Reads

Result<std::pair<std::vector<float>, Metadata>> Database::get(const std::string& id) const {
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  // id_to_slot stays held while the slot is read: a compaction renumbers slots and shrinks
  // the tables, and a delete tombstones the slot, only under it exclusive. The index and
  // records locks are nested so that an update is seen whole or not at all.
  ReaderLock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return fail(QuarnError::not_found(id));
  const std::uint32_t slot = it->second;
  ReaderLock index_guard(index_lock_);
  if (slot >= index_->node_count()) return fail(QuarnError::corrupt("vector slot missing"));
  auto v = index_->vector(slot);
  std::vector<float> vector(v.begin(), v.end());
  ReaderLock records_guard(records_lock_);
  return std::pair{std::move(vector), records_.metadata(slot)};
}

std::vector<std::string> Database::ids() const {
  (void)follow();  // on failure: the state as it was
  ReaderLock ids(id_lock_);
  std::vector<std::string> out;
  out.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) out.push_back(id);
  return out;
}

bool Database::contains(const std::string& id) const {
  (void)follow();
  ReaderLock ids(id_lock_);
  return id_to_slot_.contains(id);
}

// ---------------------------------------------------------------------------------------------
// Queries

// Filtered search. The records that pass a filter are found in one of three ways: the
// candidate set of the metadata index (equality, $in, presence, an array element, a numeric
// range or a negation small enough to be worth copying out of the index, and conjunctions
// and disjunctions of them), a pass of Filter::matches
// over the whole collection (a batch large enough to pay for it), or neither, when a small
// sample of slots estimates how many pass. From that count follow the width a graph walk
// needs to meet about kWidthPerMatch × k passing records, and whether an exact scan of the
// passing records costs fewer distances than that walk. A walk that yields fewer than k
// passing records is followed by the exact scan, so a filtered search always returns
// min(k, passing) records.
//
// The constants were measured on Fashion-MNIST (60,000 × 784, L2, m 16, ef_construction 200,
// k 10) with equality filters on values drawn independently of the images.
namespace {

// Expected passing records in the beam per result wanted. At a 10% share (random values),
// 2 (a width of 200) gave recall@10 0.9989 against the exact filtered answer over 1,000
// queries at 2,100 single-call queries per second, where 4 gave 0.9999 at less than half that
// rate. At 1%, a scan is cheaper anyway.
constexpr double kWidthPerMatch = 2.0;
// Records an exact scan covers for the cost of one unit of beam width. A walk of width 400
// cost as much as scanning 1,000 to 2,600 records (10% share), one of width 4,000 as much as
// 7,000 (1%): a scan of 6,000 candidates was 2 to 7 times slower than the walk, one of 600
// 12 times faster.
constexpr double kScanPerWidth = 4.0;
// A numeric range holding up to this share of the live records is copied out of the index
// into a set: one flat table, filled faster than the share of a range could be sampled by
// testing records' metadata (a range over 10% of Fashion-MNIST went from 1,574 to 1,918
// single-call searches per second when copied).
constexpr std::size_t kRangeShare = 4;
// Slots tested to estimate the share of a filter the index cannot answer.
constexpr std::size_t kSelectivitySample = 512;
// Graph neighbours of the walk's entry looked at to see whether the passing records are as
// common near the query as in the whole collection. A filter on another class of
// Fashion-MNIST than the query's own passes 10% of the records but almost none of those near
// the query: the walk of width 200 then found fewer than k of them and the scan followed
// anyway, at twice the cost of the scan alone.
constexpr std::size_t kProbeNeighbours = 128;
// How many times rarer than the filter's share passing records must be near the entry for
// the search to count them as lying away from the query. With 128 records probed at a 10%
// share, 5 or fewer are found by chance for about 2% of queries.
constexpr double kProbeShortfall = 2.0;
// How many times cheaper per record a scan that reads the compact codes first is than one
// that reads every vector, single calls on two cores (7 on Fashion-MNIST, 3.7 on random
// 768-dimensional vectors). With it, 10% filters on Fashion-MNIST (6,000 records) are
// scanned rather than walked at width 200: about 3,000 against 2,250 searches per second,
// measured alternately.
constexpr double kCodesGain = 8.0;

}  // namespace

struct Database::FilterScope {
  const Filter* filter = nullptr;
  const SlotSet* set = nullptr;  // candidates from the metadata index (a superset), or none
  bool exact_set = false;        // the set holds exactly the passing records
  // Every passing live slot in ascending order, and one byte per slot (1: passes), when the
  // filter was evaluated over the whole collection.
  std::optional<std::vector<std::uint32_t>> listed;
  std::vector<std::uint8_t> passing;
  bool scan = false;      // answer every query by the exact scan of the passing records
  std::size_t width = 0;  // the graph walk's width otherwise
  double share = 0.0;     // estimated share of the live records that pass
  double scan_cost = 0.0; // the exact scan's cost, in records measured

  // Whether the exact scan costs no more than a walk of this width.
  bool scan_beats(std::size_t walk_width) const {
    return scan_cost <= kScanPerWidth * static_cast<double>(walk_width);
  }
};

Database::FilterScope Database::scope_of(const Filter& filter, const SlotSet* candidates,
                                         bool exact_set, std::size_t queries, std::size_t k,
                                         std::size_t ef) const {
  const hnsw::HnswIndex& index = *index_;
  FilterScope out;
  out.filter = &filter;
  out.set = candidates;
  out.exact_set = candidates != nullptr && exact_set;
  if (scans_exactly(index) || (candidates != nullptr && candidates->empty())) {
    out.scan = true;
    return out;
  }
  const std::size_t nodes = index.node_count();
  const std::size_t live = index.count();
  const std::size_t reach = std::max(ef, saturating_mul(4, k));
  double passing = 0.0;   // estimated passing live records
  std::size_t scan_cost;  // the exact scan's cost, in records measured
  if (candidates != nullptr) {
    passing = static_cast<double>(candidates->size());
    scan_cost = candidates->size();
  } else if (saturating_mul(queries, reach) >= nodes) {
    out.passing.assign(nodes, 0);
    out.listed.emplace();
    for (std::size_t i = 0; i < nodes; ++i) {
      const auto s = static_cast<std::uint32_t>(i);
      if (index.is_deleted(s) || !filter.matches(records_.metadata(s))) continue;
      out.passing[s] = 1;
      out.listed->push_back(s);
    }
    passing = static_cast<double>(out.listed->size());
    scan_cost = out.listed->size();
  } else {
    const std::size_t step = std::max<std::size_t>(1, nodes / kSelectivitySample);
    std::size_t tested = 0, hits = 0;
    for (std::size_t i = step / 2; i < nodes; i += step) {
      const auto s = static_cast<std::uint32_t>(i);
      if (index.is_deleted(s)) continue;
      ++tested;
      hits += filter.matches(records_.metadata(s)) ? 1 : 0;
    }
    if (tested > 0) passing = static_cast<double>(live) * hits / tested;
    // Testing a record's metadata costs about a quarter of measuring its distance.
    scan_cost = static_cast<std::size_t>(passing) + nodes / 4;
  }
  const double wanted = kWidthPerMatch * static_cast<double>(k) * static_cast<double>(live);
  const double width = passing > 0.0 ? std::ceil(wanted / passing) : static_cast<double>(nodes);
  out.width = width >= static_cast<double>(nodes)
                  ? nodes
                  : std::min(nodes, std::max(reach, static_cast<std::size_t>(width)));
  out.share = live > 0 ? passing / static_cast<double>(live) : 0.0;
  out.scan_cost = static_cast<double>(scan_cost);
  if (candidates != nullptr || out.listed) {
    const auto listed = static_cast<std::size_t>(passing);
    if (index.filtered_scan_reads_codes(listed, k)) out.scan_cost /= kCodesGain;
  }
  out.scan = out.scan_beats(out.width);
  return out;
}

std::size_t Database::local_width(std::uint32_t entry, std::size_t k, const FilterScope& scope,
                                  const std::function<bool(std::uint32_t)>& passes) const {
  // The entry's neighbours and theirs, breadth first: the records a walk would meet first.
  const hnsw::HnswIndex& index = *index_;
  std::vector<std::uint32_t> seen = index.neighbors(entry, 0);
  for (std::size_t i = 0; i < seen.size() && seen.size() < kProbeNeighbours; ++i) {
    for (std::uint32_t s : index.neighbors(seen[i], 0)) {
      if (seen.size() >= kProbeNeighbours) break;
      seen.push_back(s);
    }
  }
  std::size_t hits = 0;
  for (std::uint32_t s : seen) hits += passes(s) ? 1 : 0;
  // Half a hit more than found, so that none in a small probe reads as a low share, not
  // as none at all.
  const double local = (static_cast<double>(hits) + 0.5) / (static_cast<double>(seen.size()) + 1.0);
  // Only a clear shortfall counts: widening on every smaller one made walks for filters
  // independent of the vectors wider at random.
  if (local >= scope.share / kProbeShortfall) return scope.width;
  // The scan costs about what the walk does for this filter, so taking one for the other
  // by chance costs little; a walk that comes back short of k and is followed by the scan
  // costs both.
  const double width = std::ceil(kWidthPerMatch * static_cast<double>(k) / local);
  return width >= static_cast<double>(index.node_count())
             ? index.node_count()
             : std::max(scope.width, static_cast<std::size_t>(width));
}

std::size_t Database::range_limit(std::size_t queries, std::size_t k, std::size_t ef) const {
  // Beyond the count of candidates that scope_of would still scan (P <= kScanPerWidth ×
  // width, with width at least `reach` and about kWidthPerMatch × k × live / P), it walks
  // the graph instead. A call that evaluates the filter over every record anyway (an
  // exact index, or a batch that reaches the whole graph) is spared that pass by any set.
  const hnsw::HnswIndex& index = *index_;
  const std::size_t reach = std::max(ef, saturating_mul(4, k));
  if (scans_exactly(index) || saturating_mul(queries, reach) >= index.node_count()) {
    return std::numeric_limits<std::size_t>::max();
  }
  const double by_width = std::sqrt(kScanPerWidth * kWidthPerMatch * static_cast<double>(k) *
                                    static_cast<double>(index.count()));
  // Up to a quarter of the collection, copying the slots into one flat set costs less than
  // sampling the filter's share by testing records' metadata, and the walk then tests a set
  // instead of the metadata.
  return static_cast<std::size_t>(std::max({kScanPerWidth * static_cast<double>(reach),
                                            std::ceil(by_width),
                                            static_cast<double>(index.count() / kRangeShare)}));
}

std::vector<hnsw::Candidate> Database::scan_filtered(std::span<const float> query, std::size_t k,
                                                     const FilterScope& scope) const {
  const hnsw::HnswIndex& index = *index_;
  const std::size_t nodes = index.node_count();
  // The passing slots first, then the nearest of them.
  thread_local std::vector<std::uint32_t> reused;
  std::vector<std::uint32_t>& slots = reused;
  slots.clear();
  auto take = [&](std::uint32_t s) {
    records_lock_.held_shared_by_caller();
    if (s >= nodes || index.is_deleted(s)) return;
    if (scope.exact_set || scope.filter->matches(records_.metadata(s))) slots.push_back(s);
  };
  if (scope.set != nullptr && scope.set->size() * 64 >= nodes) {
    // The candidates in slot order, through a bitmap: the scan then reads codes and vectors
    // front to back instead of in the set's hash order (a 10% filter on Fashion-MNIST:
    // about 15% more scans per second).
    thread_local std::vector<std::uint64_t> bits;
    bits.assign((nodes + 63) / 64, 0);
    for (std::uint32_t s : *scope.set) {
      if (s < nodes) bits[s >> 6] |= std::uint64_t{1} << (s & 63);
    }
    for (std::size_t w = 0; w < bits.size(); ++w) {
      for (std::uint64_t b = bits[w]; b != 0; b &= b - 1) {
        take(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(b))));
      }
    }
    if (bits.capacity() > (std::size_t{1} << 17)) std::vector<std::uint64_t>().swap(bits);
  } else if (scope.set != nullptr) {
    // A sparse set, as it comes: select_nearest orders equal distances by slot.
    for (std::uint32_t s : *scope.set) take(s);
  } else if (!scope.listed) {
    for (std::size_t i = 0; i < nodes; ++i) take(static_cast<std::uint32_t>(i));
  }
  const std::vector<std::uint32_t>& passing = scope.listed ? *scope.listed : slots;
  std::vector<hnsw::Candidate> pairs = index.search_exact_among(query, passing, k);
  // Kept for the next call, unless one very large scan would leave it holding megabytes.
  if (slots.capacity() > (std::size_t{1} << 20)) std::vector<std::uint32_t>().swap(slots);
  return pairs;
}

std::vector<hnsw::Candidate> Database::filtered_search(std::span<const float> query, std::size_t k,
                                                       const FilterScope& scope) const {
  const hnsw::HnswIndex& index = *index_;
  if (index.entry_point() == hnsw::kNoEntry || k == 0) return {};
  if (scope.set != nullptr && scope.set->empty()) return {};
  if (scope.scan) return scan_filtered(query, k, scope);
  auto passes = [&](std::uint32_t s) {
    records_lock_.held_shared_by_caller();
    if (!scope.passing.empty()) return scope.passing[s] != 0;
    if (index.is_deleted(s) || (scope.set != nullptr && !scope.set->contains(s))) return false;
    return scope.exact_set || scope.filter->matches(records_.metadata(s));
  };
  const std::uint32_t ep = index.layer0_entry(query);
  // Fewer passing records near the query than the filter's share promises make the walk
  // wider, or the scan cheaper than it.
  const std::size_t width = local_width(ep, k, scope, passes);
  if (scope.scan_beats(width)) return scan_filtered(query, k, scope);
  const bool quantized = index.quantized() != nullptr;
  auto beam = quantized ? index.search_layer_quantized(query, ep, width)
                        : index.search_layer(query, ep, width, 0);
  std::vector<hnsw::Candidate> pairs;
  for (const auto& c : beam) {
    if (!passes(c.slot)) continue;
    pairs.push_back(quantized ? hnsw::Candidate{c.slot, distance::distance(
                                                            query, index.vector(c.slot), metric_)}
                              : c);
  }
  // Fewer than k in the beam is no answer: more records may pass further away.
  if (pairs.size() < k) return scan_filtered(query, k, scope);
  if (quantized) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.distance < b.distance; });
  }
  pairs.resize(k);
  return pairs;
}

std::vector<SearchResult> Database::build_results(const std::vector<hnsw::Candidate>& pairs,
                                                  std::optional<float> max_distance) const {
  std::vector<SearchResult> out;
  out.reserve(pairs.size());
  for (const auto& c : pairs) {
    if (max_distance && c.distance > *max_distance) continue;
    out.push_back(SearchResult{records_.id(c.slot), c.distance, records_.metadata(c.slot)});
  }
  return out;
}

Candidates Database::resolve(const Filter& filter, std::size_t range_limit) const {
  // The caller holds the records lock shared for as long as it uses the result, so a set
  // the index already holds (an equality, a field's presence, an array element) is borrowed
  // rather than copied.
  return filter.candidates(records_.index(), range_limit);
}

Result<std::vector<SearchResult>> Database::search(std::span<const float> query,
                                                   const SearchOptions& options) const {
  if (query.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, query.size()));
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  const auto [k, ef] = effective_widths(*index_, options, default_search_width(options.k));
  return build_results(nearest(query, k, ef, options.filter), options.max_distance);
}

std::vector<hnsw::Candidate> Database::nearest(std::span<const float> query, std::size_t k,
                                               std::size_t ef, const Filter* filter) const {
  if (filter == nullptr) return index_->search(query, k, ef, exact_scan_limit_.load(std::memory_order_relaxed));
  const Candidates candidates = resolve(*filter, range_limit(1, k, ef));
  const FilterScope scope = scope_of(*filter, candidates.set(), candidates.exact, 1, k, ef);
  return filtered_search(query, k, scope);
}

Result<std::vector<std::vector<SearchResult>>> Database::search_many(
    const std::vector<std::vector<float>>& queries, const SearchOptions& options) const {
  for (const auto& q : queries) {
    if (q.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, q.size()));
  }
  std::vector<std::vector<SearchResult>> out(queries.size());
  if (queries.empty()) return out;
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  // Named values rather than a structured binding: the lambdas below capture them, which
  // clang 14 (the fuzz build's compiler) does not allow for bindings.
  const auto widths = effective_widths(*index_, options, default_search_width(options.k));
  const std::size_t k = widths.first, ef = widths.second;
  const auto range = tbb::blocked_range<std::size_t>(0, queries.size());
  if (options.filter == nullptr) {
    if (index_->entry_point() == hnsw::kNoEntry) return out;
    std::vector<std::vector<hnsw::Candidate>> pairs;
    if (scans_exactly(*index_)) {
      pairs = index_->search_exact_many(queries, k);
    } else {
      pairs.resize(queries.size());
      tbb::parallel_for(range, [&](const tbb::blocked_range<std::size_t>& r) {
        index_lock_.held_shared_by_caller();
        for (std::size_t i = r.begin(); i < r.end(); ++i) {
          pairs[i] = index_->search_graph(queries[i], k, ef);
        }
      });
    }
    for (std::size_t i = 0; i < queries.size(); ++i) {
      out[i] = build_results(pairs[i], options.max_distance);
    }
    return out;
  }
  const Candidates candidates = resolve(*options.filter, range_limit(queries.size(), k, ef));
  const FilterScope scope =
      scope_of(*options.filter, candidates.set(), candidates.exact, queries.size(), k, ef);
  tbb::parallel_for(range, [&](const tbb::blocked_range<std::size_t>& r) {
    index_lock_.held_shared_by_caller();
    records_lock_.held_shared_by_caller();
    for (std::size_t i = r.begin(); i < r.end(); ++i) {
      auto pairs = filtered_search(queries[i], k, scope);
      out[i] = build_results(pairs, options.max_distance);
    }
  });
  return out;
}

// ---------------------------------------------------------------------------------------------
// Maintenance and statistics

void Database::compact() {
  // id_to_slot is held exclusive from the start: mutations take it first, so none can slip
  // in between building the new index and installing it (its effect would be lost).
  WriterLock ids(id_lock_);
  std::unique_ptr<hnsw::HnswIndex> fresh;
  std::unordered_map<std::uint32_t, std::uint32_t> renumber;
  {
    ReaderLock index_guard(index_lock_);
    const hnsw::HnswIndex& old = *index_;
    if (old.deleted().empty()) return;
    const std::size_t n = old.node_count();
    std::vector<float> live;
    live.reserve(old.count() * dim_);
    renumber.reserve(old.count());
    for (std::size_t i = 0; i < n; ++i) {
      const auto s = static_cast<std::uint32_t>(i);
      if (old.is_deleted(s)) continue;
      renumber.emplace(s, static_cast<std::uint32_t>(renumber.size()));
      auto v = old.vector(s);
      live.insert(live.end(), v.begin(), v.end());
    }
    fresh = rebuild_graph(live);
  }
  std::vector<MovedRecord> moved(renumber.size());
  for (const auto& [id, old_slot] : id_to_slot_) {
    auto it = renumber.find(old_slot);
    if (it != renumber.end()) moved[it->second] = {old_slot, &id};
  }
  install_rebuilt(std::move(fresh), moved);
}

Result<void> Database::reorder() {
  // As compact: id_to_slot exclusive from the start keeps every mutation out until the
  // renumbered index is installed.
  WriterLock ids(id_lock_);
  std::unique_ptr<hnsw::HnswIndex> fresh;
  std::vector<std::uint32_t> order;
  {
    ReaderLock index_guard(index_lock_);
    order = index_->locality_order();
    if (std::ranges::is_sorted(order)) return {};  // the identity: nothing moves
    auto renumbered = index_->renumbered(order);
    if (!renumbered) return std::unexpected(std::move(renumbered.error()));
    fresh = std::move(*renumbered);
  }
  std::vector<std::uint32_t> new_of(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) new_of[order[i]] = static_cast<std::uint32_t>(i);
  std::vector<MovedRecord> moved(order.size());
  for (const auto& [id, old_slot] : id_to_slot_) moved[new_of[old_slot]] = {old_slot, &id};
  install_rebuilt(std::move(fresh), moved);
  return {};
}

std::unique_ptr<hnsw::HnswIndex> Database::rebuild_graph(std::span<const float> rows) const {
  const hnsw::HnswIndex& old = *index_;
  auto fresh =
      std::make_unique<hnsw::HnswIndex>(old.dim(), old.m(), old.ef_construction(), old.metric());
  if (!rows.empty()) (void)fresh->batch_insert_flat(rows);
  if (old.quantized() != nullptr) fresh->enable_quantized_search();
  if (compressed_search_.load(std::memory_order_relaxed)) fresh->enable_compressed_search();
  return fresh;
}

void Database::install_rebuilt(std::unique_ptr<hnsw::HnswIndex> fresh,
                               std::span<const MovedRecord> moved) {
  std::unordered_map<std::string, std::uint32_t> ids;
  std::vector<std::string> slot_ids(moved.size());
  std::vector<Metadata> metadata(moved.size());
  std::vector<text::TextIndexSpec> text_specs;
  {
    ReaderLock records_guard(records_lock_);
    text_specs = records_.text().specs();
    ids.reserve(moved.size());
    for (std::size_t i = 0; i < moved.size(); ++i) {
      const auto [from, id] = moved[i];
      if (id == nullptr) continue;
      const auto slot = static_cast<std::uint32_t>(i);
      ids.emplace(*id, slot);
      slot_ids[slot] = *id;
      if (from < records_.size()) metadata[slot] = records_.metadata(from);
    }
  }
  RecordTable records(std::move(slot_ids), std::move(metadata), fresh->deleted(), text_specs);
  WriterLock index_guard(index_lock_);
  WriterLock records_guard(records_lock_);
  index_ = std::move(fresh);
  // A set_compressed_search while the graph was rebuilt changed the old one: its mode is
  // read here again, under the lock it applies the mode under (nothing to do otherwise).
  if (compressed_search_.load(std::memory_order_relaxed)) {
    index_->enable_compressed_search();
  } else {
    index_->disable_compressed_search();
  }
  ++layout_;
  id_to_slot_ = std::move(ids);
  records_ = std::move(records);
}

std::size_t Database::count() const {
  (void)follow();
  ReaderLock index_guard(index_lock_);
  return index_->count();
}

std::size_t Database::count(const Filter& filter) const {
  (void)follow();
  // The candidates are resolved with index and records already held, as search does, so
  // they name the same slots that are then tested (a compaction in between would renumber
  // them, and an update could move a record out of the set unseen).
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  const Candidates candidates = resolve(filter, std::numeric_limits<std::size_t>::max());
  std::size_t n = 0;
  if (candidates.set() != nullptr) {
    for (std::uint32_t s : *candidates.set()) {
      if (s < records_.size() && !index_->is_deleted(s) &&
          (candidates.exact || filter.matches(records_.metadata(s))))
        ++n;
    }
    return n;
  }
  const std::size_t slots = index_->node_count();
  for (std::size_t i = 0; i < slots; ++i) {
    const auto s = static_cast<std::uint32_t>(i);
    if (!index_->is_deleted(s) && filter.matches(records_.metadata(s))) ++n;
  }
  return n;
}

Stats Database::stats() const {
  (void)follow();
  ReaderLock index_guard(index_lock_);
  const hnsw::HnswIndex& index = *index_;
  Stats st;
  const std::size_t n = index.node_count();
  st.uses_brute_force = scans_exactly(index);
  st.uses_compressed_search = index.compressed_search();
  if (n == 0) {
    st.uses_quantized_search = index.quantized() != nullptr;
    return st;
  }
  st.num_vectors = index.count();
  st.num_deleted = index.deleted().size();
  st.num_layers = index.max_level() + 1;
  std::uint64_t sum0 = 0, edges = 0;
  std::uint64_t min0 = std::numeric_limits<std::uint64_t>::max(), max0 = 0;
  bool any_live = false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto s = static_cast<std::uint32_t>(i);
    const std::size_t levels = index.node_level(s) + 1;
    for (std::size_t l = 0; l < levels; ++l) {
      const std::size_t len = index.neighbors(s, l).size();
      edges += len;
      if (l == 0 && !index.is_deleted(s)) {
        any_live = true;
        sum0 += len;
        min0 = std::min<std::uint64_t>(min0, len);
        max0 = std::max<std::uint64_t>(max0, len);
      }
    }
  }
  st.avg_degree_layer0 =
      st.num_vectors == 0 ? 0.0 : static_cast<double>(sum0) / static_cast<double>(st.num_vectors);
  st.max_degree_layer0 = any_live ? max0 : 0;
  st.min_degree_layer0 = any_live && st.num_vectors > 0 ? min0 : 0;
  st.memory_vectors_bytes = 4 * static_cast<std::uint64_t>(index.vectors().size());
  st.memory_graph_bytes = 4 * edges;
  if (const auto* q = index.quantized()) {
    st.memory_quantized_bytes = 8 * static_cast<std::uint64_t>(dim_) + q->codes.size();
    st.uses_quantized_search = true;
  }
  return st;
}

std::size_t Database::exact_scan_limit() const {
  (void)follow();
  return exact_scan_limit_.load(std::memory_order_relaxed);
}

bool Database::scans_exactly(const hnsw::HnswIndex& index) const {
  // The test the index applies in search, safe from overflow.
  return saturating_mul(index.count(), index.dim()) <
         exact_scan_limit_.load(std::memory_order_relaxed);
}

std::size_t Database::total_slots() const {
  (void)follow();
  ReaderLock index_guard(index_lock_);
  return index_->node_count();
}

std::size_t Database::deleted_count() const {
  (void)follow();
  ReaderLock index_guard(index_lock_);
  return index_->deleted().size();
}

bool Database::quantized_search() const {
  (void)follow();
  ReaderLock index_guard(index_lock_);
  return index_->quantized() != nullptr;
}

void Database::enable_quantized_search() {
  WriterLock index_guard(index_lock_);
  index_->enable_quantized_search();
}

void Database::disable_quantized_search() {
  WriterLock index_guard(index_lock_);
  index_->disable_quantized_search();
}

}  // namespace quarn_core::db
