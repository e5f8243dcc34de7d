#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>
#include <unordered_set>

#include "quarn_core/db.hpp"

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

// The exact-scan test shared with the index: live floats below the threshold.
bool uses_exact_scan(const hnsw::HnswIndex& index) {
  return saturating_mul(index.count(), index.dim()) < hnsw::kExactScanFloats;
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

std::size_t Database::default_ef(std::size_t k) {
  const double width = static_cast<double>(k) + std::floor(10.0 * std::sqrt(static_cast<double>(k)));
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
      calibration_(read_calibration(path_)) {}

Database::~Database() = default;

// ---------------------------------------------------------------------------------------------
// Open, recovery and save

Result<std::unique_ptr<Database>> Database::open(const fs::path& path) {
  storage::Storage storage(path);
  if (auto r = storage::recover_interrupted_save(storage); !r) return std::unexpected(std::move(r.error()));
  if (!file_exists(storage.graph_path()) || !file_exists(storage.vectors_path())) {
    return fail(QuarnError::database_not_found(path.string()));
  }
  return load(path, false);
}

Result<std::unique_ptr<Database>> Database::load(const fs::path& path, bool quantize_config) {
  storage::Storage storage(path);
  const bool quantize = quantize_config || file_exists(storage.quantized_path());
  auto loaded = storage.load();
  if (!loaded) return std::unexpected(std::move(loaded.error()));

  std::unique_ptr<Database> db(new Database(path, std::move(loaded->index), quantize));
  const std::size_t n = db->index_->node_count();
  db->slot_to_id_.assign(n, std::string());
  db->metadata_.assign(n, std::nullopt);
  db->id_to_slot_.reserve(loaded->records.size());
  for (auto& record : loaded->records) {
    // The loader has checked that every record's slot is below the node count.
    db->id_to_slot_.insert_or_assign(record.id, record.slot);
    db->slot_to_id_[record.slot] = std::move(record.id);
    db->metadata_[record.slot] = std::move(record.metadata);
  }
  db->metadata_index_.rebuild(db->metadata_, db->index_->deleted());
  if (auto r = db->replay_wal(); !r) return std::unexpected(std::move(r.error()));
  return db;
}

Result<std::unique_ptr<Database>> Database::open_or_create_with_config(
    const fs::path& path, std::size_t dim, distance::Metric metric, const DatabaseConfig& config) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return fail(IoError::from_errno(ec.value()));
  storage::Storage storage(path);
  if (auto r = storage::recover_interrupted_save(storage); !r) return std::unexpected(std::move(r.error()));
  if (file_exists(storage.graph_path()) && file_exists(storage.vectors_path())) {
    return load(path, config.quantize);
  }
  auto index = std::make_unique<hnsw::HnswIndex>(dim, config.m, config.ef_construction, metric);
  std::unique_ptr<Database> db(new Database(path, std::move(index), config.quantize));
  // A log without saved files is the only copy of a collection that was changed but never
  // saved: replay it rather than let the next save delete it.
  if (auto r = db->replay_wal(); !r) return std::unexpected(std::move(r.error()));
  return db;
}

Result<void> Database::replay_wal() {
  // Runs before the database is shared: no other thread can see the intermediate states,
  // so the tables are changed directly.
  std::vector<wal::WalEntry> entries;
  {
    std::lock_guard wal_guard(wal_lock_);
    auto read = wal_.read_all();
    if (!read) return std::unexpected(std::move(read.error()));
    entries = std::move(*read);
  }
  auto set_metadata = [this](std::uint32_t slot, Metadata metadata) {
    metadata_index_.remove(slot, metadata_[slot]);
    metadata_index_.index(slot, metadata);
    metadata_[slot] = std::move(metadata);
  };
  for (auto& entry : entries) {
    if (auto* insert = std::get_if<wal::WalEntry::Insert>(&entry.op)) {
      if (insert->vector.size() != dim_) continue;
      auto it = id_to_slot_.find(insert->id);
      if (it != id_to_slot_.end()) {
        index_->update_vector(it->second, insert->vector);
        set_metadata(it->second, std::move(insert->metadata));
        continue;
      }
      const std::uint32_t slot = index_->insert(insert->vector);
      id_to_slot_.emplace(insert->id, slot);
      if (slot_to_id_.size() <= slot) slot_to_id_.resize(slot + 1);
      if (metadata_.size() <= slot) metadata_.resize(slot + 1);
      slot_to_id_[slot] = std::move(insert->id);
      metadata_index_.index(slot, insert->metadata);
      metadata_[slot] = std::move(insert->metadata);
    } else if (auto* del = std::get_if<wal::WalEntry::Delete>(&entry.op)) {
      auto it = id_to_slot_.find(del->id);
      if (it == id_to_slot_.end()) continue;
      const std::uint32_t slot = it->second;
      id_to_slot_.erase(it);
      if (slot < index_->node_count()) index_->mark_deleted(slot);
      slot_to_id_[slot].clear();
      metadata_index_.remove(slot, metadata_[slot]);
      metadata_[slot].reset();
    } else if (auto* update = std::get_if<wal::WalEntry::Update>(&entry.op)) {
      auto it = id_to_slot_.find(update->id);
      if (it == id_to_slot_.end()) continue;
      const std::uint32_t slot = it->second;
      // A vector of another length is ignored; the metadata part still applies.
      if (update->vector && update->vector->size() == dim_) {
        index_->update_vector(slot, *update->vector);
      }
      if (update->metadata) set_metadata(slot, std::move(*update->metadata));
    }
  }
  return {};
}

Result<void> Database::save() {
  // Exclusive gate: no mutation is between its log append and its change in memory while
  // the snapshot is taken, so the log reset below drops nothing that the files lack.
  std::unique_lock gate(gate_);
  std::shared_lock ids(id_lock_);
  std::shared_lock index_guard(index_lock_);
  std::shared_lock metadata_guard(metadata_lock_);

  std::vector<storage::MetaRecord> records;
  records.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) {
    records.push_back(storage::MetaRecord{id, metadata_[slot], slot});
  }

  std::error_code ec;
  fs::create_directories(storage_.graph_path().parent_path(), ec);
  if (ec) return fail(IoError::from_errno(ec.value()));
  if (auto b = storage::begin_save(storage_); !b) return b;

  const hnsw::HnswIndex& index = *index_;
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
    fs::remove(storage_.quantized_path(), ec);  // a failure to delete is harmless here
  }

  r = storage::replace_file(storage_.graph_path(), [&](io::BufWriter& w) -> Result<void> {
    if (auto g = index.save_graph(w); !g) return g;
    return storage::write_metadata_section(w, records);
  });
  if (!r) return r;

  // The renames must be durable before the log, the only other copy, goes away.
  if (auto d = storage::finish_save(storage_); !d) return d;

  // Mutations take the log mutex before index (and hold it while they apply), so it must
  // not be taken under the read locks. Releasing them first is safe: the gate, still held,
  // keeps every mutation out until the reset is done.
  metadata_guard.unlock();
  index_guard.unlock();
  ids.unlock();
  std::lock_guard wal_guard(wal_lock_);
  return wal_.reset();
}

// ---------------------------------------------------------------------------------------------
// Mutations
//
// Every mutation holds the gate shared, then takes id_to_slot (shared or exclusive) and the
// log mutex, appends its record and applies its change before releasing the log mutex. So
// changes reach memory in the order of their log records, and a replay rebuilds exactly the
// state that callers saw acknowledged.

void Database::insert_new(std::vector<Record>& items) {
  std::vector<std::uint32_t> slots;
  {
    std::unique_lock index_guard(index_lock_);
    if (items.size() == 1) {
      slots.push_back(index_->insert(items[0].vector));
    } else {
      std::vector<std::vector<float>> vectors;
      vectors.reserve(items.size());
      for (auto& item : items) vectors.push_back(std::move(item.vector));
      slots = index_->batch_insert(vectors);
    }
    std::unique_lock slot_guard(slot_lock_);
    std::unique_lock metadata_guard(metadata_lock_);
    std::unique_lock metadata_index_guard(metadata_index_lock_);
    for (std::size_t i = 0; i < items.size(); ++i) {
      const std::uint32_t s = slots[i];
      if (slot_to_id_.size() <= s) slot_to_id_.resize(s + 1);
      if (metadata_.size() <= s) metadata_.resize(s + 1);
      id_to_slot_.insert_or_assign(items[i].id, s);
      slot_to_id_[s] = std::move(items[i].id);
      metadata_index_.index(s, items[i].metadata);
      metadata_[s] = std::move(items[i].metadata);
    }
  }
}

void Database::apply_update(std::uint32_t slot, const std::vector<float>* vector,
                            const std::optional<Metadata>* metadata) {
  // index stays held through the metadata change, so that a search or get never sees the
  // new vector with the old metadata.
  std::unique_lock index_guard(index_lock_);
  if (vector != nullptr) index_->update_vector(slot, *vector);
  if (metadata != nullptr && metadata->has_value()) {
    std::unique_lock metadata_guard(metadata_lock_);
    std::unique_lock metadata_index_guard(metadata_index_lock_);
    metadata_index_.remove(slot, metadata_[slot]);
    metadata_index_.index(slot, **metadata);
    metadata_[slot] = **metadata;
  }
}

void Database::tombstone(std::uint32_t slot) {
  std::unique_lock index_guard(index_lock_);
  if (slot < index_->node_count()) index_->mark_deleted(slot);
  std::unique_lock slot_guard(slot_lock_);
  if (slot < slot_to_id_.size()) slot_to_id_[slot].clear();
  std::unique_lock metadata_guard(metadata_lock_);
  std::unique_lock metadata_index_guard(metadata_index_lock_);
  if (slot < metadata_.size()) {
    metadata_index_.remove(slot, metadata_[slot]);
    metadata_[slot].reset();
  }
}

Result<void> Database::add(std::string id, std::vector<float> vector, Metadata metadata) {
  if (vector.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, vector.size()));
  std::shared_lock gate(gate_);
  // The id is checked under the exclusive lock that is held through logging and applying,
  // so a rejected add never leaves a record that a replay would apply.
  std::unique_lock ids(id_lock_);
  if (id_to_slot_.contains(id)) return fail(QuarnError::duplicate_id(std::move(id)));
  std::lock_guard wal_guard(wal_lock_);
  if (auto r = wal_.append(wal::WalEntry(wal::WalEntry::Insert{id, vector, metadata})); !r) return r;
  std::vector<Record> items;
  items.push_back(Record{std::move(id), std::move(vector), std::move(metadata)});
  insert_new(items);
  return {};
}

Result<void> Database::upsert(std::string id, std::vector<float> vector, Metadata metadata) {
  if (vector.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, vector.size()));
  std::shared_lock gate(gate_);
  std::unique_lock ids(id_lock_);
  std::lock_guard wal_guard(wal_lock_);
  if (auto r = wal_.append(wal::WalEntry(wal::WalEntry::Insert{id, vector, metadata})); !r) return r;
  auto it = id_to_slot_.find(id);
  if (it != id_to_slot_.end()) {
    // Upserting without metadata clears the old metadata.
    const std::optional<Metadata> replacement(std::move(metadata));
    apply_update(it->second, &vector, &replacement);
    return {};
  }
  std::vector<Record> items;
  items.push_back(Record{std::move(id), std::move(vector), std::move(metadata)});
  insert_new(items);
  return {};
}

Result<void> Database::update(const std::string& id, std::optional<std::vector<float>> vector,
                              std::optional<Metadata> metadata) {
  std::shared_lock gate(gate_);
  // Held shared to the end: a concurrent delete of the same id waits, so the update never
  // writes metadata or index entries onto a slot that has just become a tombstone.
  std::shared_lock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return fail(QuarnError::not_found(id));
  const std::uint32_t slot = it->second;
  if (vector && vector->size() != dim_) {
    return fail(QuarnError::dimension_mismatch(dim_, vector->size()));
  }
  std::lock_guard wal_guard(wal_lock_);
  if (auto r = wal_.append(wal::WalEntry(wal::WalEntry::Update{id, vector, metadata})); !r) return r;
  apply_update(slot, vector ? &*vector : nullptr, metadata ? &metadata : nullptr);
  return {};
}

Result<bool> Database::remove(const std::string& id) {
  std::shared_lock gate(gate_);
  std::unique_lock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return false;
  const std::uint32_t slot = it->second;
  // The mapping goes only once the record is in the log: a failed append leaves the id
  // stored and the collection consistent.
  std::lock_guard wal_guard(wal_lock_);
  if (auto r = wal_.append(wal::WalEntry(wal::WalEntry::Delete{id})); !r) return std::unexpected(std::move(r.error()));
  id_to_slot_.erase(it);
  tombstone(slot);
  return true;
}

Result<std::size_t> Database::delete_many(const std::vector<std::string>& ids) {
  std::shared_lock gate(gate_);
  std::unique_lock id_guard(id_lock_);
  std::lock_guard wal_guard(wal_lock_);
  std::size_t deleted = 0;
  for (const auto& id : ids) {
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end()) continue;
    const std::uint32_t slot = it->second;
    // Ids before a failing append stay deleted; the failing one stays stored.
    if (auto r = wal_.append(wal::WalEntry(wal::WalEntry::Delete{id})); !r) {
      return std::unexpected(std::move(r.error()));
    }
    id_to_slot_.erase(it);
    tombstone(slot);
    ++deleted;
  }
  return deleted;
}

Result<void> Database::check_dimensions(const std::vector<Record>& items) const {
  for (const auto& item : items) {
    if (item.vector.size() != dim_) {
      return fail(QuarnError::dimension_mismatch(dim_, item.vector.size()));
    }
  }
  return {};
}

Result<void> Database::log_inserts(const std::vector<Record>& items) {
  for (const auto& item : items) {
    auto r = wal_.append(wal::WalEntry(wal::WalEntry::Insert{item.id, item.vector, item.metadata}));
    if (!r) return r;
  }
  return {};
}

Result<void> Database::add_many(std::vector<Record> items) {
  if (auto r = check_dimensions(items); !r) return r;
  if (items.empty()) return {};
  std::shared_lock gate(gate_);
  std::unique_lock ids(id_lock_);
  // A batch naming one new id twice is rejected like a stored id: otherwise the second
  // item's slot would be unreachable through its id.
  std::unordered_set<std::string_view> seen;
  seen.reserve(items.size());
  for (const auto& item : items) {
    if (id_to_slot_.contains(item.id) || !seen.insert(item.id).second) {
      return fail(QuarnError::duplicate_id(item.id));
    }
  }
  std::lock_guard wal_guard(wal_lock_);
  if (auto r = log_inserts(items); !r) return r;
  insert_new(items);
  return {};
}

Result<void> Database::upsert_many(std::vector<Record> items) {
  if (auto r = check_dimensions(items); !r) return r;
  if (items.empty()) return {};
  std::shared_lock gate(gate_);
  std::unique_lock ids(id_lock_);
  std::lock_guard wal_guard(wal_lock_);
  if (auto r = log_inserts(items); !r) return r;
  // Stored ids are updated in item order; new ids are inserted afterwards in one batch, in
  // the order of their first appearance. A new id named again ends with its last item's
  // values, as replaying the records one by one would leave it.
  std::vector<Record> fresh;
  std::unordered_map<std::string, std::size_t> fresh_at;
  for (auto& item : items) {
    auto it = id_to_slot_.find(item.id);
    if (it != id_to_slot_.end()) {
      const std::optional<Metadata> replacement(std::move(item.metadata));
      apply_update(it->second, &item.vector, &replacement);
      continue;
    }
    auto [pos, inserted] = fresh_at.try_emplace(item.id, fresh.size());
    if (inserted) {
      fresh.push_back(std::move(item));
    } else {
      fresh[pos->second].vector = std::move(item.vector);
      fresh[pos->second].metadata = std::move(item.metadata);
    }
  }
  if (!fresh.empty()) insert_new(fresh);
  return {};
}

// ---------------------------------------------------------------------------------------------
// Reads

Result<std::pair<std::vector<float>, Metadata>> Database::get(const std::string& id) const {
  // id_to_slot stays held while the slot is read: a compaction renumbers slots and shrinks
  // the tables, and a delete tombstones the slot, only under it exclusive. The index and
  // metadata locks are nested so that an update is seen whole or not at all.
  std::shared_lock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return fail(QuarnError::not_found(id));
  const std::uint32_t slot = it->second;
  std::shared_lock index_guard(index_lock_);
  if (slot >= index_->node_count()) return fail(QuarnError::corrupt("vector slot missing"));
  auto v = index_->vector(slot);
  std::vector<float> vector(v.begin(), v.end());
  std::shared_lock metadata_guard(metadata_lock_);
  return std::pair{std::move(vector), metadata_[slot]};
}

std::vector<std::string> Database::ids() const {
  std::shared_lock ids(id_lock_);
  std::vector<std::string> out;
  out.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) out.push_back(id);
  return out;
}

bool Database::contains(const std::string& id) const {
  std::shared_lock ids(id_lock_);
  return id_to_slot_.contains(id);
}

// ---------------------------------------------------------------------------------------------
// Queries

std::vector<hnsw::Candidate> Database::filtered_search(std::span<const float> query,
                                                       std::size_t k, std::size_t ef,
                                                       const Filter& filter,
                                                       const SlotSet* candidates) const {
  const hnsw::HnswIndex& index = *index_;
  if (index.entry_point() == hnsw::kNoEntry || k == 0) return {};
  auto passes = [&](std::uint32_t s) {
    if (candidates && (candidates->empty() || !candidates->contains(s))) return false;
    return filter.matches(metadata_[s]);
  };
  std::vector<hnsw::Candidate> pairs;
  if (uses_exact_scan(index)) {
    const std::size_t n = index.node_count();
    for (std::size_t i = 0; i < n; ++i) {
      const auto s = static_cast<std::uint32_t>(i);
      if (index.is_deleted(s) || !passes(s)) continue;
      pairs.push_back({s, distance::distance(query, index.vector(s), metric_)});
    }
    hnsw::select_k(pairs, k);
    return pairs;
  }
  // Over-fetch four times k: the predicate rejects part of what the graph offers. Neither
  // width can usefully exceed the number of nodes.
  const std::size_t nodes = index.node_count();
  const std::size_t width = std::min(std::max(ef, saturating_mul(4, k)), nodes);
  const std::uint32_t ep = index.greedy_descent(query);
  const bool quantized = index.quantized() != nullptr;
  auto beam = quantized ? index.search_layer_quantized(query, ep, width)
                        : index.search_layer(query, ep, width, 0);
  for (const auto& c : beam) {
    if (index.is_deleted(c.slot) || !passes(c.slot)) continue;
    pairs.push_back(quantized ? hnsw::Candidate{c.slot, distance::distance(
                                                            query, index.vector(c.slot), metric_)}
                              : c);
  }
  if (quantized) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.distance < b.distance; });
  }
  if (pairs.size() > k) pairs.resize(k);
  return pairs;
}

std::vector<SearchResult> Database::build_results(const std::vector<hnsw::Candidate>& pairs,
                                                  std::optional<float> max_distance) const {
  std::vector<SearchResult> out;
  out.reserve(pairs.size());
  for (const auto& c : pairs) {
    if (max_distance && c.distance > *max_distance) continue;
    out.push_back(SearchResult{slot_to_id_[c.slot], c.distance, metadata_[c.slot]});
  }
  return out;
}

Database::Candidates Database::resolve(const Filter& filter) const {
  // The metadata index comes last in the lock order, so holding it shared beside the other
  // read locks is safe; an equality filter then needs no copy of its (possibly large) set.
  Candidates out;
  out.guard = std::shared_lock(metadata_index_lock_);
  if ((out.borrowed = filter.borrow_from_index(metadata_index_)) != nullptr) return out;
  out.owned = filter.resolve_from_index(metadata_index_);
  out.guard.unlock();
  return out;
}

Result<std::vector<SearchResult>> Database::search(std::span<const float> query,
                                                   const SearchOptions& options) const {
  if (query.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, query.size()));
  std::shared_lock index_guard(index_lock_);
  std::shared_lock slot_guard(slot_lock_);
  std::shared_lock metadata_guard(metadata_lock_);
  const auto [k, ef] = effective_widths(*index_, options, default_search_width(options.k));
  std::vector<hnsw::Candidate> pairs;
  if (options.filter == nullptr) {
    pairs = index_->search(query, k, ef);
  } else {
    const Candidates candidates = resolve(*options.filter);
    pairs = filtered_search(query, k, ef, *options.filter, candidates.set());
  }
  return build_results(pairs, options.max_distance);
}

Result<std::vector<std::vector<SearchResult>>> Database::search_many(
    const std::vector<std::vector<float>>& queries, const SearchOptions& options) const {
  for (const auto& q : queries) {
    if (q.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, q.size()));
  }
  std::vector<std::vector<SearchResult>> out(queries.size());
  if (queries.empty()) return out;
  std::shared_lock index_guard(index_lock_);
  std::shared_lock slot_guard(slot_lock_);
  std::shared_lock metadata_guard(metadata_lock_);
  const auto [k, ef] = effective_widths(*index_, options, default_search_width(options.k));
  const auto range = tbb::blocked_range<std::size_t>(0, queries.size());
  if (options.filter == nullptr) {
    if (index_->entry_point() == hnsw::kNoEntry) return out;
    std::vector<std::vector<hnsw::Candidate>> pairs(queries.size());
    tbb::parallel_for(range, [&](const tbb::blocked_range<std::size_t>& r) {
      for (std::size_t i = r.begin(); i < r.end(); ++i) {
        pairs[i] = index_->search(queries[i], k, ef);
      }
    });
    for (std::size_t i = 0; i < queries.size(); ++i) {
      out[i] = build_results(pairs[i], options.max_distance);
    }
    return out;
  }
  const Candidates candidates = resolve(*options.filter);
  tbb::parallel_for(range, [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t i = r.begin(); i < r.end(); ++i) {
      auto pairs = filtered_search(queries[i], k, ef, *options.filter, candidates.set());
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
  std::unique_lock ids(id_lock_);
  std::unique_ptr<hnsw::HnswIndex> fresh;
  std::unordered_map<std::uint32_t, std::uint32_t> renumber;
  {
    std::shared_lock index_guard(index_lock_);
    const hnsw::HnswIndex& old = *index_;
    if (old.deleted().empty()) return;
    const std::size_t n = old.node_count();
    std::vector<std::vector<float>> live;
    live.reserve(old.count());
    renumber.reserve(old.count());
    for (std::size_t i = 0; i < n; ++i) {
      const auto s = static_cast<std::uint32_t>(i);
      if (old.is_deleted(s)) continue;
      renumber.emplace(s, static_cast<std::uint32_t>(live.size()));
      auto v = old.vector(s);
      live.emplace_back(v.begin(), v.end());
    }
    fresh = std::make_unique<hnsw::HnswIndex>(old.dim(), old.m(), old.ef_construction(),
                                              old.metric());
    if (!live.empty()) (void)fresh->batch_insert(live);
    if (old.quantized() != nullptr) fresh->enable_quantized_search();
  }
  std::unordered_map<std::string, std::uint32_t> new_ids;
  std::vector<std::string> new_slots(renumber.size());
  std::vector<Metadata> new_metadata(renumber.size());
  {
    std::shared_lock metadata_guard(metadata_lock_);
    new_ids.reserve(renumber.size());
    for (const auto& [id, old_slot] : id_to_slot_) {
      auto it = renumber.find(old_slot);
      if (it == renumber.end()) continue;
      new_ids.emplace(id, it->second);
      new_slots[it->second] = id;
      new_metadata[it->second] = metadata_[old_slot];
    }
  }
  MetadataIndex new_index;
  new_index.rebuild(new_metadata, {});
  std::unique_lock index_guard(index_lock_);
  std::unique_lock slot_guard(slot_lock_);
  std::unique_lock metadata_guard(metadata_lock_);
  std::unique_lock metadata_index_guard(metadata_index_lock_);
  index_ = std::move(fresh);
  id_to_slot_ = std::move(new_ids);
  slot_to_id_ = std::move(new_slots);
  metadata_ = std::move(new_metadata);
  metadata_index_ = std::move(new_index);
}

std::size_t Database::count() const {
  std::shared_lock index_guard(index_lock_);
  return index_->count();
}

std::size_t Database::count(const Filter& filter) const {
  // The candidates are resolved with index and metadata already held, as search does, so
  // they name the same slots that are then tested (a compaction in between would renumber
  // them, and an update could move a record out of the set unseen).
  std::shared_lock index_guard(index_lock_);
  std::shared_lock metadata_guard(metadata_lock_);
  const Candidates candidates = resolve(filter);
  std::size_t n = 0;
  if (candidates.set() != nullptr) {
    for (std::uint32_t s : *candidates.set()) {
      if (s < metadata_.size() && !index_->is_deleted(s) && filter.matches(metadata_[s])) ++n;
    }
    return n;
  }
  const std::size_t slots = index_->node_count();
  for (std::size_t i = 0; i < slots; ++i) {
    const auto s = static_cast<std::uint32_t>(i);
    if (!index_->is_deleted(s) && filter.matches(metadata_[s])) ++n;
  }
  return n;
}

Stats Database::stats() const {
  std::shared_lock index_guard(index_lock_);
  const hnsw::HnswIndex& index = *index_;
  Stats st;
  const std::size_t n = index.node_count();
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
  st.avg_degree_layer0 = st.num_vectors == 0 ? 0.0
                                             : static_cast<double>(sum0) /
                                                   static_cast<double>(st.num_vectors);
  st.max_degree_layer0 = any_live ? max0 : 0;
  st.min_degree_layer0 = any_live && st.num_vectors > 0 ? min0 : 0;
  st.memory_vectors_bytes = 4 * static_cast<std::uint64_t>(index.vectors().size());
  st.memory_graph_bytes = 4 * edges;
  if (const auto* q = index.quantized()) {
    st.memory_quantized_bytes = 8 * static_cast<std::uint64_t>(dim_) + q->codes.size();
    st.uses_quantized_search = true;
  }
  st.uses_brute_force = uses_exact_scan(index);
  return st;
}

std::size_t Database::total_slots() const {
  std::shared_lock index_guard(index_lock_);
  return index_->node_count();
}

std::size_t Database::deleted_count() const {
  std::shared_lock index_guard(index_lock_);
  return index_->deleted().size();
}

bool Database::quantized_search() const {
  std::shared_lock index_guard(index_lock_);
  return index_->quantized() != nullptr;
}

void Database::enable_quantized_search() {
  std::unique_lock index_guard(index_lock_);
  index_->enable_quantized_search();
}

void Database::disable_quantized_search() {
  std::unique_lock index_guard(index_lock_);
  index_->disable_quantized_search();
}

}  // namespace quarn_core::db
