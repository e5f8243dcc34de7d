#include "quarn_core/records.hpp"

#include <algorithm>

namespace quarn_core::db {

RecordTable::RecordTable(std::vector<std::string> ids, std::vector<Metadata> metadata,
                         const std::unordered_set<std::uint32_t>& deleted,
                         const std::vector<text::TextIndexSpec>& text,
                         const text::SavedPostings* saved)
    : ids_(std::move(ids)), metadata_(std::move(metadata)) {
  index_.rebuild(metadata_, deleted);
  for (const auto& spec : text) {
    text_.insert(text::TextIndexes::build(
        spec, metadata_, [&](std::uint32_t s) { return deleted.contains(s); }, saved));
  }
}

std::unique_ptr<text::TextIndex> RecordTable::build_text_index(
    const text::TextIndexSpec& spec) const {
  // A slot without an id is empty (never filled, or deleted) and holds no metadata anyway.
  return text::TextIndexes::build(spec, metadata_,
                                  [&](std::uint32_t s) { return ids_[s].empty(); });
}

void RecordTable::reserve(std::size_t slots) {
  auto grow = [slots](auto& v) {
    if (v.capacity() < slots) v.reserve(std::max(slots, 2 * v.capacity()));
  };
  grow(ids_);
  grow(metadata_);
}

void RecordTable::extend(std::size_t slots) {
  if (ids_.size() < slots) ids_.resize(slots);
  if (metadata_.size() < slots) metadata_.resize(slots);
}

void RecordTable::fill(std::uint32_t slot, std::string&& id, Metadata&& metadata) {
  try {
    index_.index(slot, metadata);
  } catch (...) {
    // The slot was empty, so every entry it has now is one this call added. Removing only
    // erases: it cannot fail.
    index_.remove(slot, metadata);
    throw;
  }
  try {
    text_.add(slot, metadata);  // all or nothing
  } catch (...) {
    index_.remove(slot, metadata);
    throw;
  }
  ids_[slot] = std::move(id);
  metadata_[slot] = std::move(metadata);
}

Metadata RecordTable::replace_metadata(std::uint32_t slot, Metadata&& metadata) {
  // The text indexes first: a change that fails there has changed nothing. One that leaves
  // the indexed texts as they are (other fields) leaves them alone.
  const bool retext = !text_.same_text(metadata_[slot], metadata);
  if (retext) text_.replace(slot, metadata_[slot], metadata);
  index_.remove(slot, metadata_[slot]);
  try {
    index_.index(slot, metadata);
  } catch (...) {
    // Putting the old entries back allocates too, and may fail as well.
    try {
      index_.remove(slot, metadata);
      index_.index(slot, metadata_[slot]);
      if (retext) text_.replace(slot, metadata, metadata_[slot]);
    } catch (...) {
    }
    throw;
  }
  std::swap(metadata_[slot], metadata);
  return std::move(metadata);
}

std::pair<std::string, Metadata> RecordTable::clear(std::uint32_t slot) {
  index_.remove(slot, metadata_[slot]);
  text_.remove(slot, metadata_[slot]);
  std::pair<std::string, Metadata> out{std::move(ids_[slot]), std::move(metadata_[slot])};
  ids_[slot].clear();
  metadata_[slot].reset();
  return out;
}

void RecordTable::check(std::size_t nodes, const std::function<bool(std::uint32_t)>& deleted,
                        const std::function<void(const std::string&, std::string)>& report) const {
  if (ids_.size() != nodes || metadata_.size() != nodes) {
    report("tables", "tables: " + std::to_string(nodes) + " nodes, but " +
                         std::to_string(ids_.size()) + " slot ids and " +
                         std::to_string(metadata_.size()) + " metadata entries");
  }
  const std::size_t slots = std::min({nodes, ids_.size(), metadata_.size()});
  for (std::uint32_t s = 0; s < slots; ++s) {
    if (deleted(s) && (!ids_[s].empty() || metadata_[s])) {
      report("ids: deleted slot keeps data",
             "ids: deleted slot " + std::to_string(s) + " still holds an id or metadata");
    }
  }

  // The index against the metadata, both ways: values, array elements, field presence and
  // the slots holding object metadata.
  auto missing = [&](std::uint32_t s, const std::string& what) {
    report("metadata index: missing", "metadata index: slot " + std::to_string(s) + " holds " +
                                          what + " but is not indexed under it");
  };
  auto stale = [&](std::uint32_t s, const std::string& what) {
    report("metadata index: stale", "metadata index: slot " + std::to_string(s) +
                                        " is indexed under " + what +
                                        " but its metadata does not hold it");
  };
  std::size_t objects = 0;
  for (std::uint32_t s = 0; s < slots; ++s) {
    const bool object = !deleted(s) && metadata_[s] && metadata_[s]->is_object();
    if (object && !index_.holds_object(s)) missing(s, "object metadata");
    if (!object && index_.holds_object(s)) stale(s, "object metadata");
    if (!object) continue;
    ++objects;
    for (const auto& [field, value] : metadata_[s]->items()) {
      const SlotRuns* present = index_.find_present(field);
      if (present == nullptr || !present->contains(s)) missing(s, "field " + field);
      if (value.is_array()) {
        for (const auto& element : value) {
          if (element.is_array() || element.is_object()) continue;
          const SlotRuns* set = index_.find_element(field, element);
          if (set == nullptr || !set->contains(s)) {
            missing(s, field + " element " + json::to_text(element));
          }
        }
      }
      if (value.is_null() || value.is_array() || value.is_object()) continue;
      const SlotSet* set = index_.find(field, value);
      if (set == nullptr || !set->contains(s)) missing(s, field + " = " + json::to_text(value));
    }
  }
  if (objects != index_.object_count()) {
    report("metadata index: stale", "metadata index: counts " +
                                        std::to_string(index_.object_count()) +
                                        " slots with object metadata, but " +
                                        std::to_string(objects) + " hold one");
  }
  // The value a live slot holds in `field`, or nullptr.
  auto held = [&](std::uint32_t s, const std::string& field) -> const json::Value* {
    if (s >= slots || deleted(s) || !metadata_[s] || !metadata_[s]->is_object()) return nullptr;
    auto it = metadata_[s]->find(field);
    return it == metadata_[s]->end() ? nullptr : &*it;
  };
  index_.for_each([&](const std::string& field, const json::Value& value, const SlotSet& set) {
    for (std::uint32_t s : set) {
      const json::Value* v = held(s, field);
      if (v == nullptr || !json::json_equal(*v, value)) stale(s, field + " = " + json::to_text(value));
    }
  });
  index_.for_each_element(
      [&](const std::string& field, const json::Value& element, const SlotRuns& set) {
        set.for_each([&](std::uint32_t s) {
          const json::Value* v = held(s, field);
          const bool holds = v != nullptr && v->is_array() &&
                             std::any_of(v->begin(), v->end(), [&](const json::Value& e) {
                               return json::json_equal(e, element);
                             });
          if (!holds) stale(s, field + " element " + json::to_text(element));
        });
      });
  index_.for_each_present([&](const std::string& field, const SlotRuns& set) {
    set.for_each([&](std::uint32_t s) {
      if (held(s, field) == nullptr) stale(s, "field " + field);
    });
  });


  // Each text index against one built afresh from the metadata of the live slots.
  for (const auto& have : text_.all()) {
    const auto want = text::TextIndexes::build(
        text::TextIndexSpec{have->field(), have->analyzer().language()}, metadata_,
        [&](std::uint32_t s) { return s >= slots || deleted(s); });
    have->compare(*want, [&](std::string line) { report("text index", std::move(line)); });
  }
}

}  // namespace quarn_core::db
