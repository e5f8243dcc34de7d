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
// the values. Three more views serve the conditions that are not about one value:
// - each field's presence, the slots holding it whatever its value (null, arrays and
//   objects included), which answers $exists and is the base of a missing-field test;
// - each array field's elements (null, bool, number and string elements, each once per
//   slot, with the same type-sensitive keys), which answers $contains;
// - the slots holding object metadata at all, the set a negation is taken within, since
//   a record without (object) metadata passes no condition, negated or not.
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
  // The slots whose value of `field` is a number x (as a double, the way Filter::matches
  // converts it) with low < x < high, or <= at a bound marked inclusive; nothing when more
  // than `limit` slots are in the range. Empty for a NaN bound.
  std::optional<SlotSet> find_range(const std::string& field, double low, bool low_inclusive,
                                    double high, bool high_inclusive, std::size_t limit) const;
  // The slots holding `field`, or nullptr when none does.
  const SlotSet* find_present(const std::string& field) const;
  // The slots whose `field` is an array holding `element`, or nullptr when there are none.
  const SlotSet* find_element(const std::string& field, const json::Value& element) const;
  // Whether a slot holds object metadata, and how many do.
  bool holds_object(std::uint32_t slot) const {
    return slot / 64 < objects_.size() && (objects_[slot / 64] >> (slot % 64) & 1) != 0;
  }
  std::size_t object_count() const { return object_count_; }
  // Calls f(slot) for every slot holding object metadata, in ascending order.
  template <class F>
  void for_each_object(F&& f) const {
    for (std::size_t w = 0; w < objects_.size(); ++w) {
      for (std::uint64_t bits = objects_[w]; bits != 0; bits &= bits - 1) {
        f(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))));
      }
    }
  }

  // Number of fields with at least one value entry.
  std::size_t field_count() const { return fields_.size(); }
  bool empty() const { return fields_.empty() && presence_.empty(); }
  // Calls f(field, value, slots) for every value entry (checks of the index against the
  // metadata), and the same for every array element entry and f(field, slots) for every
  // field's presence.
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [field, entries] : fields_) {
      for (const auto& [value, slots] : entries.values) f(field, value, slots);
    }
  }
  template <class F>
  void for_each_element(F&& f) const {
    for (const auto& [field, entries] : elements_) {
      for (const auto& [value, slots] : entries) f(field, value, slots);
    }
  }
  template <class F>
  void for_each_present(F&& f) const {
    for (const auto& [field, slots] : presence_) f(field, slots);
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
  void mark_object(std::uint32_t slot, bool holds);

  std::unordered_map<std::string, Field> fields_;
  std::unordered_map<std::string, SlotSet> presence_;
  std::unordered_map<std::string, ValueMap> elements_;
  std::vector<std::uint64_t> objects_;  // one bit per slot: holds object metadata
  std::size_t object_count_ = 0;
};

// A filter's candidate slots: a set borrowed from the index (valid while the index is
// neither changed nor destroyed) or one of its own, or none when the index cannot narrow the
// search. `exact`: the set holds exactly the live slots that match; otherwise a superset.
struct Candidates {
  const SlotSet* borrowed = nullptr;
  std::optional<SlotSet> owned;
  bool exact = false;
  const SlotSet* set() const { return borrowed ? borrowed : owned ? &*owned : nullptr; }
};

// A condition on one record's metadata.
//
// A record without metadata, or whose metadata is not an object, matches no condition at
// all: not Ne, not an empty And, not a negation. Within object metadata the conditions
// compose as boolean logic, so a negation holds for a record that lacks the field its
// condition names: Not(Eq) is Ne, Not(In) is "not in", Not(Exists) is "the field is absent".
class Filter {
 public:
  enum class Kind { Eq, Ne, In, Gt, Gte, Lt, Lte, And, Or, Not, Exists, Contains };

  static Filter eq(std::string field, json::Value value);
  static Filter ne(std::string field, json::Value value);
  static Filter in(std::string field, std::vector<json::Value> values);
  static Filter gt(std::string field, double bound);
  static Filter gte(std::string field, double bound);
  static Filter lt(std::string field, double bound);
  static Filter lte(std::string field, double bound);
  static Filter all_of(std::vector<Filter> members);
  static Filter any_of(std::vector<Filter> members);
  // Matches an object that `inner` does not match.
  static Filter negation(Filter inner);
  // The field is present, whatever its value (null included).
  static Filter exists(std::string field);
  // The field holds an array with an element equal to `element` (json_equal).
  static Filter contains(std::string field, json::Value element);

  Kind kind() const { return kind_; }
  const std::string& field() const { return field_; }
  // The members of And and Or; the one condition of Not.
  const std::vector<Filter>& members() const { return members_; }
  // The operand of Eq, Ne and Contains; the list of In.
  const std::vector<json::Value>& values() const { return values_; }
  // The bound of Gt, Gte, Lt and Lte.
  double bound() const { return bound_; }

  // Absent or non-object metadata matches nothing, not even Ne or an empty And. Recurses once
  // per level of nesting (the binding builds no filter deeper than kMaxDepth).
  bool matches(const std::optional<json::Value>& metadata) const;
  // Candidate slots from the index, or nothing when the index cannot narrow the search
  // (Eq or In with a null, array or object operand, values the index never holds, and
  // whatever holds such a condition other than as a member of an And). An And intersects
  // its members' sets and takes the negated ones out, an Or unites them, a negation is the
  // slots holding object metadata less an exact set; Exists and Contains take their sets
  // from the index. The set is exact unless an And skipped a member the index could not
  // answer; an And with no members resolves to the empty set. The range members of an And
  // on one field resolve as one range (a band lo <= x < hi is one look-up).
  std::optional<SlotSet> resolve_from_index(const MetadataIndex& index) const;
  // The same, except that a range (or an And's merged range on one field) holding more than
  // `range_limit` slots is left unresolved, as is a negation that would hold more than that
  // many, rather than copied out of the index: `exact` then tells whether the set holds
  // exactly the live slots that match.
  struct Resolved {
    std::optional<SlotSet> slots;
    bool exact = false;
  };
  Resolved resolve_within(const MetadataIndex& index, std::size_t range_limit) const;
  // The same answer, borrowing the index's own set where the answer is one (an equality, a
  // presence, an array element) rather than copying it.
  Candidates candidates(const MetadataIndex& index, std::size_t range_limit) const;
  // For an Eq filter, the same answer without the copy: the index's own set (or an empty
  // one), valid while the index is neither changed nor destroyed. Nothing for other kinds.
  const SlotSet* borrow_from_index(const MetadataIndex& index) const;

  // How deep the binding lets conditions nest (a field condition is depth 1; each And, Or or
  // Not around it adds one), so that the recursions here stay shallow on any thread's stack.
  static constexpr std::size_t kMaxDepth = 64;

 private:
  struct Part;  // a member's answer while an And, Or or Not is resolved
  explicit Filter(Kind kind) : kind_(kind) {}
  static Filter with_values(Kind kind, std::string field, std::vector<json::Value> values);
  static Filter range(Kind kind, std::string field, double bound);
  bool matches_object(const json::Value& object) const;
  bool values_indexed() const;
  bool is_range() const;
  Part resolve_part(const MetadataIndex& index, std::size_t range_limit) const;
  Part resolve_and(const MetadataIndex& index, std::size_t range_limit) const;
  Part resolve_or(const MetadataIndex& index, std::size_t range_limit) const;

  Kind kind_;
  std::string field_;
  std::vector<json::Value> values_;  // one for Eq, Ne and Contains, the list for In
  double bound_ = 0.0;               // Gt, Gte, Lt, Lte
  std::vector<Filter> members_;      // And, Or; the one negated condition of Not
};

}  // namespace quarn_core::db
