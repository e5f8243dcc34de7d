// Reading many records at once (get_many, scan), deleting by filter, and merging a patch into
// one record's metadata.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "quarn_core/db.hpp"

namespace quarn_core::db {

using error::fail;
using error::IoError;

namespace {

// Copies the stored vector of each slot into its row of `out`. Large reads are split over
// the pool: the copy is bound by memory bandwidth, which one core does not use up.
void copy_rows(const hnsw::HnswIndex& index, const std::vector<std::uint32_t>& slots,
               std::span<float> out) {
  const std::size_t dim = index.dim();
  auto copy = [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      const auto v = index.vector(slots[i]);
      std::memcpy(out.data() + i * dim, v.data(), dim * sizeof(float));
    }
  };
  constexpr std::size_t kRowsPerTask = 2048;
  if (slots.size() <= kRowsPerTask) {
    copy(0, slots.size());
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, slots.size(), kRowsPerTask),
                    [&](const tbb::blocked_range<std::size_t>& r) { copy(r.begin(), r.end()); });
}

}  // namespace

std::size_t Database::load_batch_rows() {
  // With T threads a batch of B rows costs about (B - S) / T + S insert times (S of them
  // linked on one thread), against B / T all in parallel: S (T - 1) / B more.
  const auto threads = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  return std::max<std::size_t>(5000, 40 * hnsw::kSequentialBatch * (threads - 1));
}

bool Database::same_slots(const RecordTable& before, const RecordTable& after) {
  if (after.size() < before.size()) return false;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const auto s = static_cast<std::uint32_t>(i);
    // Deleted since is fine; another id at the slot (or one in a slot that was empty) is not.
    if (!after.id(s).empty() && after.id(s) != before.id(s)) return false;
  }
  return true;
}

Result<FoundRecords> Database::get_many(std::span<const std::string> ids, ReadFields fields,
                                        bool skip_missing, std::span<float> vectors) const {
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  FoundRecords out;
  out.found.reserve(ids.size());
  std::vector<std::uint32_t> slots;
  slots.reserve(ids.size());
  // id_to_slot stays held while the slots are read, as in get: neither a delete nor a
  // compaction can move a record meanwhile, so every record comes from one state.
  ReaderLock id_guard(id_lock_);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    auto it = id_to_slot_.find(ids[i]);
    if (it == id_to_slot_.end()) {
      if (!skip_missing) return fail(QuarnError::not_found(ids[i]));
      continue;
    }
    out.found.push_back(i);
    slots.push_back(it->second);
  }
  ReaderLock index_guard(index_lock_);
  const hnsw::HnswIndex& index = *index_;
  for (std::uint32_t s : slots) {
    if (s >= index.node_count()) return fail(QuarnError::corrupt("vector slot missing"));
  }
  if (fields.vectors) copy_rows(index, slots, vectors);
  if (fields.metadata) {
    ReaderLock records_guard(records_lock_);
    out.metadata.reserve(slots.size());
    for (std::uint32_t s : slots) out.metadata.push_back(records_.metadata(s));
  }
  return out;
}

Result<ScanBatch> Database::scan(const ScanCursor& from, std::size_t limit, const Filter* filter,
                                 ReadFields fields, std::span<float> vectors) const {
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  ScanBatch out;
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  if (from.started && from.layout != layout_) {
    return fail(IoError::invalid_data(
        "the collection's slots were renumbered (by compact, repair or reorder) during the scan: "
        "start the scan again"));
  }
  const hnsw::HnswIndex& index = *index_;
  const std::size_t slots = std::min(index.node_count(), records_.size());
  // A filter selects what it selects for search and count: the metadata index's answer
  // where it has one (an empty filter, for one, selects nothing), tested record by record
  // where that answer is not exact. A range is not copied out of the index when it holds
  // many more slots than a batch looks at.
  Candidates candidates;
  if (filter != nullptr) candidates = resolve(*filter, std::max<std::size_t>(4096, 4 * limit));
  const SlotSet* set = candidates.set();
  std::size_t s = from.started ? from.slot : 0;
  std::vector<std::uint32_t> taken;
  for (; s < slots && taken.size() < limit && !(set != nullptr && set->empty()); ++s) {
    const auto slot = static_cast<std::uint32_t>(s);
    if (index.is_deleted(slot)) continue;
    if (set != nullptr && !set->contains(slot)) continue;
    if (filter != nullptr && !candidates.exact && !filter->matches(records_.metadata(slot))) {
      continue;
    }
    taken.push_back(slot);
  }
  if (set != nullptr && set->empty()) s = slots;
  out.ids.reserve(taken.size());
  for (std::uint32_t slot : taken) out.ids.push_back(records_.id(slot));
  if (fields.metadata) {
    out.metadata.reserve(taken.size());
    for (std::uint32_t slot : taken) out.metadata.push_back(records_.metadata(slot));
  }
  if (fields.vectors) copy_rows(index, taken, vectors);
  out.next.slot = static_cast<std::uint32_t>(s);
  out.next.layout = layout_;
  out.next.started = true;
  out.next.done = s >= slots;
  return out;
}

Result<std::size_t> Database::delete_where(const Filter& filter) {
  // As delete_many: a process that would delete nothing does not become the writer for it.
  if (!shared_->holds_writer() && count(filter) == 0) return 0;
  if (auto r = writable(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock gate(gate_);
  // Exclusive from the choice of the records to their tombstones: no change to any record
  // (update takes id_to_slot too) can make one pass or fail the filter in between.
  WriterLock id_guard(id_lock_);
  std::vector<std::pair<std::uint32_t, std::string>> chosen;
  {
    ReaderLock index_guard(index_lock_);
    ReaderLock records_guard(records_lock_);
    const hnsw::HnswIndex& index = *index_;
    const std::size_t slots = std::min(index.node_count(), records_.size());
    const Candidates candidates = resolve(filter, std::numeric_limits<std::size_t>::max());
    auto consider = [&](std::uint32_t s) {
      records_lock_.held_shared_by_caller();
      if (s >= slots || index.is_deleted(s)) return;
      if (!candidates.exact && !filter.matches(records_.metadata(s))) return;
      chosen.emplace_back(s, records_.id(s));
    };
    if (const SlotSet* set = candidates.set()) {
      for (std::uint32_t s : *set) consider(s);
      // In slot order, as a scan would name them, whatever order the set keeps.
      std::sort(chosen.begin(), chosen.end());
    } else {
      for (std::size_t s = 0; s < slots; ++s) consider(static_cast<std::uint32_t>(s));
    }
  }
  if (chosen.empty()) return 0;
  wal::RecordBuffer records;
  std::vector<std::pair<std::uint32_t, const std::string*>> doomed;
  doomed.reserve(chosen.size());
  for (const auto& [slot, id] : chosen) {
    if (auto r = records.add_delete(id); !r) return std::unexpected(std::move(r.error()));
    doomed.emplace_back(slot, &id);
  }
  MutexLock wal_guard(wal_lock_);
  if (auto r = log(records); !r) return std::unexpected(std::move(r.error()));
  tombstone(doomed);
  return doomed.size();
}

Result<void> Database::update_metadata(const std::string& id, const json::Value& patch) {
  if (!patch.is_object()) {
    return fail(IoError::invalid_data("a metadata patch must be an object"));
  }
  if (!shared_->holds_writer() && !contains(id)) return fail(QuarnError::not_found(id));
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  // Shared to the end, as in update: a delete of the id waits until the patch is applied.
  ReaderLock ids(id_lock_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return fail(QuarnError::not_found(id));
  const std::uint32_t slot = it->second;
  // Every change of a record's metadata logs and applies with the log mutex held, so the
  // value read here stays the record's until this patch is applied: concurrent patches of
  // one record are applied one after the other, each on top of the one before.
  MutexLock wal_guard(wal_lock_);
  Metadata merged;
  {
    ReaderLock records_guard(records_lock_);
    const Metadata& current = records_.metadata(slot);
    if (current && !current->is_object()) {
      return fail(IoError::invalid_data("the metadata of id '" + id + "' is not an object"));
    }
    merged = current ? *current : json::Value::object();
  }
  for (const auto& [key, value] : patch.items()) {
    if (value.is_null()) {
      merged->erase(key);
    } else {
      (*merged)[key] = value;
    }
  }
  if (json::depth(*merged) > json::kMaxDepth) {
    return fail(IoError::invalid_data("metadata nested deeper than " +
                                      std::to_string(json::kMaxDepth) + " levels"));
  }
  wal::RecordBuffer records;
  const Metadata* replacement = &merged;
  if (auto r = records.add_update(id, nullptr, &replacement); !r) return r;
  if (auto r = log(records); !r) return r;
  std::optional<Metadata> value(std::move(merged));
  apply_update(slot, nullptr, nullptr, &value);
  return {};
}

}  // namespace quarn_core::db
