// Metadata conditions and the inverted index over top-level metadata values that serves them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quarn_core/json.hpp"

namespace quarn_core::db {

using SlotSet = std::unordered_set<std::uint32_t>;

// (field name, field value) -> slots holding that value. Only top-level keys of object
// metadata are indexed, and only bool, number and string values. Values compare
// type-sensitively: the integer 1, the float 1.0 and the string "1" are different keys.
// No entry is ever left empty. Not synchronized: the database's lock guards it.
class MetadataIndex {
 public:
  void index(std::uint32_t slot, const std::optional<json::Value>& metadata);
  // Removes the slot from the entries named by `metadata`, the value it was indexed with.
  void remove(std::uint32_t slot, const std::optional<json::Value>& metadata);
  // Empties the index, then indexes every slot of `metadata` not in `deleted`.
  void rebuild(const std::vector<std::optional<json::Value>>& metadata,
               const std::unordered_set<std::uint32_t>& deleted);

  // The slots stored for (field, value), or nullptr when there are none.
  const SlotSet* find(const std::string& field, const json::Value& value) const;
  // Number of fields with at least one entry.
  std::size_t field_count() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  // Calls f(field, value, slots) for every entry (checks of the index against the metadata).
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [field, values] : fields_) {
      for (const auto& [value, slots] : values) f(field, value, slots);
    }
  }

 private:
  using ValueMap = std::unordered_map<json::Value, SlotSet, json::JsonHash, json::JsonEqual>;
  std::unordered_map<std::string, ValueMap> fields_;
};

// A condition on one record's metadata.
class Filter {
 public:
  enum class Kind { Eq, Ne, In, Gt, Gte, Lt, Lte, And, Or };

  static Filter eq(std::string field, json::Value value);
  static Filter ne(std::string field, json::Value value);
  static Filter in(std::string field, std::vector<json::Value> values);
  static Filter gt(std::string field, double bound);
  static Filter gte(std::string field, double bound);
  static Filter lt(std::string field, double bound);
  static Filter lte(std::string field, double bound);
  static Filter all_of(std::vector<Filter> members);
  static Filter any_of(std::vector<Filter> members);

  Kind kind() const { return kind_; }
  const std::string& field() const { return field_; }
  const std::vector<Filter>& members() const { return members_; }

  // Absent or non-object metadata matches nothing, not even Ne or an empty And.
  bool matches(const std::optional<json::Value>& metadata) const;
  // Candidate slots from the index, or nothing when the index cannot narrow the search
  // (Ne, ranges, Or). The set is exact for Eq, In and an And whose members all resolve,
  // a superset otherwise; an And with no members resolves to the empty set.
  std::optional<SlotSet> resolve_from_index(const MetadataIndex& index) const;
  // For an Eq filter, the same answer without the copy: the index's own set (or an empty
  // one), valid while the index is neither changed nor destroyed. Nothing for other kinds.
  const SlotSet* borrow_from_index(const MetadataIndex& index) const;
  // True when the set resolve_from_index gives holds exactly the live slots that match (Eq,
  // In, and an And whose members are all such), so that no slot of it needs `matches`.
  bool resolves_exactly() const;

 private:
  explicit Filter(Kind kind) : kind_(kind) {}
  static Filter with_values(Kind kind, std::string field, std::vector<json::Value> values);
  static Filter range(Kind kind, std::string field, double bound);
  bool matches_object(const json::Value& object) const;

  Kind kind_;
  std::string field_;
  std::vector<json::Value> values_;  // one for Eq and Ne, the list for In
  double bound_ = 0.0;               // Gt, Gte, Lt, Lte
  std::vector<Filter> members_;      // And, Or
};

}  // namespace quarn_core::db
