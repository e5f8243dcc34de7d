// What a collection keeps per slot beside the vector: the slot's id, its metadata, and the
// metadata and text indexes over them. One type owns them so that their agreement is kept in
// one place: a filled slot has an id, its metadata and exactly the index entries that
// metadata names; an empty slot (never filled, or deleted) has none of them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarn_core/filter.hpp"
#include "quarn_core/json.hpp"
#include "quarn_core/text.hpp"

namespace quarn_core::db {

// One record's metadata: absent when none was given.
using Metadata = std::optional<json::Value>;

// Not synchronized: the database guards it with one lock. Slots are numbered as in the
// graph; the table covers slots [0, size()).
class RecordTable {
 public:
  RecordTable() = default;
  // A table of whole arrays (one entry per slot, equal lengths), indexed except for the
  // slots in `deleted`, with a text index for each of `text` (taken from `saved` where it
  // holds one over these very records).
  RecordTable(std::vector<std::string> ids, std::vector<Metadata> metadata,
              const std::unordered_set<std::uint32_t>& deleted = {},
              const std::vector<text::TextIndexSpec>& text = {},
              const text::SavedPostings* saved = nullptr);

  std::size_t size() const { return ids_.size(); }
  const std::vector<Metadata>& all_metadata() const { return metadata_; }
  const std::string& id(std::uint32_t slot) const { return ids_[slot]; }
  const Metadata& metadata(std::uint32_t slot) const { return metadata_[slot]; }
  const MetadataIndex& index() const { return index_; }
  const text::TextIndexes& text() const { return text_; }

  // A text index over the filled slots (to add with add_text_index); the table is unchanged.
  std::unique_ptr<text::TextIndex> build_text_index(const text::TextIndexSpec& spec) const;
  // Adds a built index, replacing one on the same field, or drops one (false when none).
  void add_text_index(std::unique_ptr<text::TextIndex> index) { text_.insert(std::move(index)); }
  bool drop_text_index(const std::string& field) noexcept { return text_.erase(field); }

  // Room for `slots` slots, growing by doubling as the arrays would on their own, so that
  // extending up to it allocates nothing (inserting one record at a time must not
  // reallocate each time).
  void reserve(std::size_t slots);
  // Covers at least `slots` slots; the new ones are empty.
  void extend(std::size_t slots);
  // Gives an empty slot its id and metadata and indexes it. The arguments are moved from
  // only on success: should indexing run out of memory, the slot stays empty, the index as
  // it was, and std::bad_alloc reaches the caller.
  void fill(std::uint32_t slot, std::string&& id, Metadata&& metadata);
  // Replaces a slot's metadata and its index entries and returns the old metadata. On an
  // exception the old entries are put back (best effort) and the metadata is unchanged.
  Metadata replace_metadata(std::uint32_t slot, Metadata&& metadata);
  // Empties a slot and returns what it held.
  std::pair<std::string, Metadata> clear(std::uint32_t slot);

  // Reports each disagreement among them and with the graph (`nodes` slots, `deleted`
  // telling the tombstones) as report(kind, line): the lengths, data kept by a deleted
  // slot, metadata index entries missing or stale, and text indexes that differ from ones
  // built afresh from the metadata. Nothing is reported for a sound table.
  void check(std::size_t nodes, const std::function<bool(std::uint32_t)>& deleted,
             const std::function<void(const std::string&, std::string)>& report) const;

 private:
  std::vector<std::string> ids_;  // empty: the slot holds no record
  std::vector<Metadata> metadata_;
  MetadataIndex index_;
  text::TextIndexes text_;

  friend struct DatabaseTestPeer;  // tests plant damage
};

}  // namespace quarn_core::db
