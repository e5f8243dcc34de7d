// Metadata conditions and the inverted index over top-level metadata values that serves them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quarn_core/json.hpp"

namespace quarn_core::db {

// A set of slots in one flat table (open addressing with linear probing, multiplicative
// hashing). Iterating it reads one array in order, where a node-based set costs a cache miss
// per slot: an exact scan of a filter's 6,000 candidates spent more time walking a node-based
// set than measuring the vectors. The order of iteration is unspecified. 0xFFFFFFFF (no
// slot) is never stored.
class SlotSet {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::uint32_t*;
    using reference = const std::uint32_t&;

    const_iterator() = default;
    const_iterator(const std::uint32_t* at, const std::uint32_t* end) : at_(at), end_(end) {
      skip();
    }
    reference operator*() const { return *at_; }
    const_iterator& operator++() {
      ++at_;
      skip();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator& o) const { return at_ == o.at_; }

   private:
    void skip() {
      while (at_ != end_ && *at_ == kEmpty) ++at_;
    }
    const std::uint32_t* at_ = nullptr;
    const std::uint32_t* end_ = nullptr;
  };
  using iterator = const_iterator;
  using value_type = std::uint32_t;

  SlotSet() = default;
  SlotSet(std::initializer_list<std::uint32_t> slots) : SlotSet(slots.begin(), slots.end()) {}
  template <class It>
  SlotSet(It first, It last) {
    for (; first != last; ++first) insert(static_cast<std::uint32_t>(*first));
  }

  // False when the slot was there already.
  bool insert(std::uint32_t slot) {
    if ((size_ + 1) * 4 > table_.size() * 3) grow(std::max<std::size_t>(16, table_.size() * 2));
    std::size_t at = home(slot);
    while (table_[at] != kEmpty) {
      if (table_[at] == slot) return false;
      at = (at + 1) & mask();
    }
    table_[at] = slot;
    ++size_;
    return true;
  }
  // Takes the slot out (0 when absent). Never allocates: an index entry is taken out while a
  // failed change is undone. The slots after it in its run move back so that no probe
  // stops short of them.
  std::size_t erase(std::uint32_t slot) noexcept {
    if (size_ == 0) return 0;
    std::size_t at = home(slot);
    while (table_[at] != slot) {
      if (table_[at] == kEmpty) return 0;
      at = (at + 1) & mask();
    }
    std::size_t hole = at;
    for (std::size_t next = (hole + 1) & mask(); table_[next] != kEmpty;
         next = (next + 1) & mask()) {
      // An entry moves into the hole unless its home lies cyclically in (hole, next].
      const std::size_t h = home(table_[next]);
      const bool stays = hole <= next ? (hole < h && h <= next) : (hole < h || h <= next);
      if (!stays) {
        table_[hole] = table_[next];
        hole = next;
      }
    }
    table_[hole] = kEmpty;
    --size_;
    return 1;
  }
  bool contains(std::uint32_t slot) const {
    if (size_ == 0) return false;
    for (std::size_t at = home(slot);; at = (at + 1) & mask()) {
      if (table_[at] == slot) return true;
      if (table_[at] == kEmpty) return false;
    }
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void reserve(std::size_t n) {
    std::size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    if (want > table_.size()) grow(want);
  }
  void clear() {
    table_.clear();
    size_ = 0;
  }
  const_iterator begin() const {
    return {table_.data(), table_.data() + table_.size()};
  }
  const_iterator end() const {
    return {table_.data() + table_.size(), table_.data() + table_.size()};
  }

  friend bool operator==(const SlotSet& a, const SlotSet& b) {
    if (a.size_ != b.size_) return false;
    for (std::uint32_t s : a) {
      if (!b.contains(s)) return false;
    }
    return true;
  }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  std::size_t mask() const { return table_.size() - 1; }
  // Fibonacci hashing: the high bits of the product spread runs and strides of slots alike.
  std::size_t home(std::uint32_t slot) const {
    return static_cast<std::size_t>((std::uint64_t{slot} * 0x9E3779B97F4A7C15ull) >> 32) & mask();
  }
  void grow(std::size_t capacity) {
    std::vector<std::uint32_t> old(capacity, kEmpty);
    old.swap(table_);
    for (std::uint32_t s : old) {
      if (s == kEmpty) continue;
      std::size_t at = home(s);
      while (table_[at] != kEmpty) at = (at + 1) & mask();
      table_[at] = s;
    }
  }

  std::vector<std::uint32_t> table_;  // a power of two in size, or empty
  std::size_t size_ = 0;
};

// Values in ascending order by Less, no two equivalent, kept in sorted runs of at most
// 2 × kRun: finding a value's place costs two binary searches and moves at most one run's
// values, counting the values between two places sums the sizes of the runs between them,
// and a value held takes its own size and no allocation of its own. Adding a value above
// every one held (as a rebuild does, slot by slot) fills the last run to kRun.
template <class T, class Less>
class SortedRuns {
 public:
  static constexpr std::size_t kRun = 256;
  // A place between two values: the index of a run and the index of a value in it, or
  // {run count, 0} past the last value.
  struct Place {
    std::size_t run = 0, at = 0;
  };

  // Adds the value (false, nothing done, when it is there already).
  bool insert(const T& v) {
    if (runs_.empty()) {
      // Built before it joins: should memory run out, no empty run is left behind.
      std::vector<T> first{v};
      runs_.push_back(std::move(first));
      ++size_;
      return true;
    }
    // The first run whose last value is not below v, or the last run.
    auto run = std::partition_point(runs_.begin(), runs_.end() - 1,
                                    [&](const auto& r) { return less_(r.back(), v); });
    auto at = std::lower_bound(run->begin(), run->end(), v, less_);
    if (at != run->end() && !less_(v, *at)) return false;
    run->insert(at, v);
    ++size_;
    if (run->size() > 2 * kRun) {
      // The upper half becomes a run of its own, and only then leaves this one. Should
      // memory run out on the way, the run stays long: nothing is lost, and the next insert
      // tries again.
      try {
        const auto r = run - runs_.begin();
        std::vector<T> upper(run->begin() + kRun, run->end());
        runs_.insert(runs_.begin() + r + 1, std::move(upper));
        runs_[static_cast<std::size_t>(r)].resize(kRun);
        runs_[static_cast<std::size_t>(r)].shrink_to_fit();
      } catch (const std::bad_alloc&) {
      }
    }
    return true;
  }
  // Adds a value above every one held; nothing when it equals the last.
  void append(const T& v) {
    if (!runs_.empty() && !less_(runs_.back().back(), v)) return;
    if (runs_.empty() || runs_.back().size() >= kRun) {
      // Grown as needed, not reserved: most of a field's element values hold few slots.
      std::vector<T> next{v};
      runs_.push_back(std::move(next));
    } else {
      runs_.back().push_back(v);
    }
    ++size_;
  }
  // Takes the value out (false when absent). Never fails: an index entry is taken out while
  // a failed change is undone.
  bool erase(const T& v) noexcept {
    auto run = std::partition_point(runs_.begin(), runs_.end(),
                                    [&](const auto& r) { return less_(r.back(), v); });
    if (run == runs_.end()) return false;
    auto at = std::lower_bound(run->begin(), run->end(), v, less_);
    if (at == run->end() || less_(v, *at)) return false;
    run->erase(at);
    --size_;
    if (run->empty()) {
      runs_.erase(run);
      return true;
    }
    // A run that now fits with a neighbour into kRun values joins it; should that run out of
    // memory, the runs stay as they are.
    try {
      if (run != runs_.begin() && (run - 1)->size() + run->size() <= kRun) {
        (run - 1)->insert((run - 1)->end(), run->begin(), run->end());
        runs_.erase(run);
      } else if (run + 1 != runs_.end() && run->size() + (run + 1)->size() <= kRun) {
        (run + 1)->insert((run + 1)->begin(), run->begin(), run->end());
        runs_.erase(run);
      }
    } catch (const std::bad_alloc&) {
    }
    return true;
  }
  // Replaces the contents with `values`, sorted and without two equivalent ones.
  void assign(const std::vector<T>& values) {
    runs_.clear();
    for (std::size_t i = 0; i < values.size(); i += kRun) {
      const std::size_t end = std::min(values.size(), i + kRun);
      runs_.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(i),
                         values.begin() + static_cast<std::ptrdiff_t>(end));
    }
    size_ = values.size();
  }

  bool contains(const T& v) const {
    auto run = std::partition_point(runs_.begin(), runs_.end(),
                                    [&](const auto& r) { return less_(r.back(), v); });
    return run != runs_.end() && std::binary_search(run->begin(), run->end(), v, less_);
  }
  std::size_t size() const { return size_; }
  bool empty() const { return runs_.empty(); }

  // The place before the first value for which `passes` holds, which must hold for every
  // value after one it holds for.
  template <class P>
  Place first_where(P&& passes) const {
    auto run = std::partition_point(runs_.begin(), runs_.end(),
                                    [&](const auto& r) { return !passes(r.back()); });
    if (run == runs_.end()) return {runs_.size(), 0};
    auto at = std::partition_point(run->begin(), run->end(),
                                   [&](const T& v) { return !passes(v); });
    return {static_cast<std::size_t>(run - runs_.begin()),
            static_cast<std::size_t>(at - run->begin())};
  }
  // Values between two places, a before b.
  std::size_t count(Place a, Place b) const {
    std::size_t n = b.at;
    for (std::size_t r = a.run; r < b.run; ++r) n += runs_[r].size();
    return n - a.at;
  }
  template <class F>
  void for_each(Place a, Place b, F&& f) const {
    for (std::size_t r = a.run; r < runs_.size() && r <= b.run; ++r) {
      const std::size_t to = r == b.run ? b.at : runs_[r].size();
      for (std::size_t i = r == a.run ? a.at : 0; i < to; ++i) f(runs_[r][i]);
    }
  }
  template <class F>
  void for_each(F&& f) const {
    for (const auto& run : runs_) {
      for (const T& v : run) f(v);
    }
  }

 private:
  std::vector<std::vector<T>> runs_;  // each sorted and non-empty, in ascending order
  std::size_t size_ = 0;
  [[no_unique_address]] Less less_;
};

// Slots in ascending order, four bytes each: the sets the index holds per field rather than
// per value, where a hash set's node per slot would cost ten times the memory and an
// allocation for every slot on open.
using SlotRuns = SortedRuns<std::uint32_t, std::less<std::uint32_t>>;

// One field's numbers in ascending order, one (number, slot) entry per slot, ordered by number
// and then slot, so that a range is found and counted without being read. Numbers compare as
// doubles do (-0.0 equals 0.0); NaN must not be added.
class NumberOrder {
 public:
  struct Entry {
    double number;
    std::uint32_t slot;
  };
  struct Before {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.number < b.number || (a.number == b.number && a.slot < b.slot);
    }
  };
  using Place = SortedRuns<Entry, Before>::Place;

  // Adds the entry (nothing when it is there already) or takes it out (nothing when absent).
  void insert(double number, std::uint32_t slot) { entries_.insert({number, slot}); }
  void erase(double number, std::uint32_t slot) { entries_.erase({number, slot}); }
  // Replaces the contents with `entries`, each slot at most once, in any order.
  void assign(std::vector<Entry> entries);
  bool empty() const { return entries_.empty(); }

  // The place before the first entry whose number is above x, or not below x if `equal`.
  Place first_from(double x, bool equal) const {
    return entries_.first_where(
        [&](const Entry& e) { return equal ? e.number >= x : e.number > x; });
  }
  // Entries between two places, a before b.
  std::size_t count(Place a, Place b) const { return entries_.count(a, b); }
  template <class F>
  void for_each(Place a, Place b, F&& f) const {
    entries_.for_each(a, b, [&](const Entry& e) { f(e.slot); });
  }

 private:
  SortedRuns<Entry, Before> entries_;
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
  const SlotRuns* find_present(const std::string& field) const;
  // The slots whose `field` is an array holding `element`, or nullptr when there are none.
  const SlotRuns* find_element(const std::string& field, const json::Value& element) const;
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

  // Number of fields some slot holds.
  std::size_t field_count() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
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
    for (const auto& [field, entries] : fields_) {
      for (const auto& [value, slots] : entries.elements) f(field, value, slots);
    }
  }
  template <class F>
  void for_each_present(F&& f) const {
    for (const auto& [field, entries] : fields_) f(field, entries.present);
  }

 private:
  using ValueMap = std::unordered_map<json::Value, SlotSet, json::JsonHash, json::JsonEqual>;
  using ElementMap = std::unordered_map<json::Value, SlotRuns, json::JsonHash, json::JsonEqual>;
  struct Field {
    SlotRuns present;      // every slot holding the field
    ValueMap values;       // its bool, number and string values
    NumberOrder numbers;   // the slots of the numeric values (not NaN) of `values`
    ElementMap elements;   // the elements of its array values
  };
  // Each field's numbers gathered for NumberOrder::assign.
  using Staged = std::unordered_map<Field*, std::vector<NumberOrder::Entry>>;
  // Indexes the values, and the numbers into `staged` if given, else into their fields.
  // With `staged`, slots come in ascending order, so presence and elements are appended.
  void add(std::uint32_t slot, const std::optional<json::Value>& metadata, Staged* staged);
  void mark_object(std::uint32_t slot, bool holds);

  // A field is here while some slot holds it.
  std::unordered_map<std::string, Field> fields_;
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
  // Candidate slots from the index, or nothing when the index cannot narrow the search: Eq,
  // Ne or In with a null, array or object operand (values the index never holds), an Or
  // with such a member, a negation of an inexact answer. An And intersects its members' sets
  // and takes the negated ones out (skipping members without an answer, which makes it
  // inexact: a superset), an Or unites them, a negation (Not, Ne) is the slots holding
  // object metadata less an exact set; Exists and Contains take their sets from the index.
  // An And with no members resolves to the empty set. The range members of an And on one
  // field resolve as one range (a band lo <= x < hi is one look-up).
  std::optional<SlotSet> resolve_from_index(const MetadataIndex& index) const;
  // The same, except that a range (or an And's merged range on one field), a field's
  // presence, an array element or a negation holding more than `range_limit` slots is left
  // unresolved rather than copied out of the index: `exact` then tells whether the set holds
  // exactly the live slots that match.
  struct Resolved {
    std::optional<SlotSet> slots;
    bool exact = false;
  };
  Resolved resolve_within(const MetadataIndex& index, std::size_t range_limit) const;
  // The same answer, borrowing the index's own hash set where the answer is one (an
  // equality, a one-value In) rather than copying it.
  Candidates candidates(const MetadataIndex& index, std::size_t range_limit) const;
  // For an Eq filter, the same answer without the copy: the index's own set (or an empty
  // one), valid while the index is neither changed nor destroyed. Nothing for other kinds.
  const SlotSet* borrow_from_index(const MetadataIndex& index) const;

  // How deep the binding lets conditions nest, counted in dicts (each adds at most two levels
  // of And, Or and Not), so that the recursions here stay shallow on any thread's stack.
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
