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

// One field's numbers in ascending order, one (number, slot) entry per slot, ordered by number
// and then slot. The entries are kept in sorted runs of at most 2 × kRun: finding an entry's
// place costs two binary searches and moves at most one run's entries, and counting the
// entries between two places sums the sizes of the runs between them, so a range is counted
// without being read. Numbers compare as doubles do (-0.0 equals 0.0); NaN must not be added.
class NumberOrder {
 public:
  static constexpr std::size_t kRun = 256;
  struct Entry {
    double number;
    std::uint32_t slot;
  };
  // A place between two entries: the index of a run and the index of an entry in it, or
  // {run count, 0} past the last entry.
  struct Place {
    std::size_t run = 0, at = 0;
  };

  // Adds the entry (nothing when it is there already) or takes it out (nothing when absent).
  void insert(double number, std::uint32_t slot);
  void erase(double number, std::uint32_t slot);
  // Replaces the contents with `entries`, each slot at most once, in any order.
  void assign(std::vector<Entry> entries);
  bool empty() const { return runs_.empty(); }

  // The place before the first entry whose number is above x, or not below x if `equal`.
  Place first_from(double x, bool equal) const;
  // Entries between two places, a before b.
  std::size_t count(Place a, Place b) const;
  template <class F>
  void for_each(Place a, Place b, F&& f) const {
    for (std::size_t r = a.run; r < runs_.size() && r <= b.run; ++r) {
      const std::size_t to = r == b.run ? b.at : runs_[r].size();
      for (std::size_t i = r == a.run ? a.at : 0; i < to; ++i) f(runs_[r][i].slot);
    }
  }

 private:
  std::vector<std::vector<Entry>> runs_;  // each sorted and non-empty, in ascending order
};

// (field name, field value) -> slots holding that value. Only top-level keys of object
// metadata are indexed, and only bool, number and string values. Values compare
// type-sensitively: the integer 1, the float 1.0 and the string "1" are different keys.
// Beside it, each field's numeric values in ascending order as the doubles a range filter
// compares (NaN left out), so that a range of them is found and counted without a pass over
// the values. No entry is ever left empty. Not synchronized: the database's lock guards it.
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
  // The slots whose value of `field` is a number x (as a double, the way Filter::matches
  // converts it) with low < x < high, or <= at a bound marked inclusive; nothing when more
  // than `limit` slots are in the range. Empty for a NaN bound.
  std::optional<SlotSet> find_range(const std::string& field, double low, bool low_inclusive,
                                    double high, bool high_inclusive, std::size_t limit) const;
  // Number of fields with at least one entry.
  std::size_t field_count() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  // Calls f(field, value, slots) for every entry (checks of the index against the metadata).
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [field, entries] : fields_) {
      for (const auto& [value, slots] : entries.values) f(field, value, slots);
    }
  }

 private:
  using ValueMap = std::unordered_map<json::Value, SlotSet, json::JsonHash, json::JsonEqual>;
  struct Field {
    ValueMap values;
    NumberOrder numbers;  // the slots of the numeric values (not NaN) of `values`
  };
  // Each field's numbers gathered for NumberOrder::assign.
  using Staged = std::unordered_map<Field*, std::vector<NumberOrder::Entry>>;
  // Indexes the values, and the numbers into `staged` if given, else into their fields.
  void add(std::uint32_t slot, const std::optional<json::Value>& metadata, Staged* staged);
  std::unordered_map<std::string, Field> fields_;
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
  // (Ne, Or, and Eq or In with a null, array or object operand, values the index never
  // holds). The set is exact for Eq, In, ranges and an And whose members all resolve, a
  // superset otherwise; an And with no members resolves to the empty set. The range members
  // of an And on one field resolve as one range (a band lo <= x < hi is one look-up).
  std::optional<SlotSet> resolve_from_index(const MetadataIndex& index) const;
  // The same, except that a range (or an And's merged range on one field) holding more than
  // `range_limit` slots is left unresolved, as Ne is, rather than copied out of the index:
  // `exact` then tells whether the set holds exactly the live slots that match.
  struct Resolved {
    std::optional<SlotSet> slots;
    bool exact = false;
  };
  Resolved resolve_within(const MetadataIndex& index, std::size_t range_limit) const;
  // For an Eq filter, the same answer without the copy: the index's own set (or an empty
  // one), valid while the index is neither changed nor destroyed. Nothing for other kinds.
  const SlotSet* borrow_from_index(const MetadataIndex& index) const;

 private:
  explicit Filter(Kind kind) : kind_(kind) {}
  static Filter with_values(Kind kind, std::string field, std::vector<json::Value> values);
  static Filter range(Kind kind, std::string field, double bound);
  bool matches_object(const json::Value& object) const;
  bool values_indexed() const;
  bool is_range() const;

  Kind kind_;
  std::string field_;
  std::vector<json::Value> values_;  // one for Eq and Ne, the list for In
  double bound_ = 0.0;               // Gt, Gte, Lt, Lte
  std::vector<Filter> members_;      // And, Or
};

}  // namespace quarn_core::db
