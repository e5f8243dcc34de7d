#include "quarn_core/filter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

namespace quarn_core::db {

namespace {

bool indexable(const json::Value& v) { return v.is_boolean() || v.is_number() || v.is_string(); }

// The double a range compares a value as: integers converted (rounded to the nearest double
// beyond 2^53), floats as they are; nothing for every other type, bool included.
std::optional<double> range_number(const json::Value& v) {
  if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>());
  if (v.is_number_integer()) return static_cast<double>(v.get<std::int64_t>());
  if (v.is_number_float()) return v.get<double>();
  return std::nullopt;
}

}  // namespace

void NumberOrder::assign(std::vector<Entry> entries) {
  std::sort(entries.begin(), entries.end(), Before{});
  entries_.assign(entries);
}

void MetadataIndex::index(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  add(slot, metadata, nullptr);
}

void MetadataIndex::mark_object(std::uint32_t slot, bool holds) {
  const std::size_t word = slot / 64;
  const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
  if (holds && word >= objects_.size()) objects_.resize(word + 1, 0);
  if (word >= objects_.size() || ((objects_[word] & bit) != 0) == holds) return;
  objects_[word] ^= bit;
  object_count_ += holds ? 1 : std::size_t(-1);
}

void MetadataIndex::add(std::uint32_t slot, const std::optional<json::Value>& metadata,
                        Staged* staged) {
  if (!metadata || !metadata->is_object()) return;
  // (Should anything below throw, the caller's remove() with the same metadata takes back
  // whatever was added.)
  mark_object(slot, true);
  for (const auto& [key, value] : metadata->items()) {
    Field& field = fields_[key];
    auto enter = [&](SlotRuns& slots) {
      if (staged != nullptr) {
        slots.append(slot);
      } else {
        slots.insert(slot);
      }
    };
    enter(field.present);
    if (value.is_array()) {
      for (const auto& element : value) {
        if (indexable(element) || element.is_null()) enter(field.elements[element]);
      }
      continue;
    }
    if (!indexable(value)) continue;
    field.values[value].insert(slot);
    // NaN passes no range, so the order leaves it out.
    const std::optional<double> x = range_number(value);
    if (!x || std::isnan(*x)) continue;
    if (staged != nullptr) {
      (*staged)[&field].push_back({*x, slot});
    } else {
      field.numbers.insert(*x, slot);
    }
  }
}

namespace {

// Takes the slot out of a map's entry for `key`, and the entry out once it is empty.
template <class Map, class Key>
void erase_from(Map& map, const Key& key, std::uint32_t slot) {
  auto entry = map.find(key);
  if (entry == map.end()) return;
  entry->second.erase(slot);
  if (entry->second.empty()) map.erase(entry);
}

}  // namespace

void MetadataIndex::remove(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  if (!metadata || !metadata->is_object()) return;
  mark_object(slot, false);
  for (const auto& [key, value] : metadata->items()) {
    auto found = fields_.find(key);
    if (found == fields_.end()) continue;
    Field& field = found->second;
    field.present.erase(slot);
    if (value.is_array()) {
      for (const auto& element : value) erase_from(field.elements, element, slot);
    } else if (indexable(value)) {
      erase_from(field.values, value, slot);
      const std::optional<double> x = range_number(value);
      if (x && !std::isnan(*x)) field.numbers.erase(*x, slot);
    }
    if (field.present.empty()) fields_.erase(found);
  }
}

void MetadataIndex::rebuild(const std::vector<std::optional<json::Value>>& metadata,
                            const std::unordered_set<std::uint32_t>& deleted) {
  fields_.clear();
  objects_.assign((metadata.size() + 63) / 64, 0);
  object_count_ = 0;
  // The numbers of each field are put in order at once: one sort, not an insertion per slot.
  Staged numbers;
  for (std::size_t s = 0; s < metadata.size(); ++s) {
    const auto slot = static_cast<std::uint32_t>(s);
    if (!deleted.contains(slot)) add(slot, metadata[s], &numbers);
  }
  for (auto& [field, entries] : numbers) field->numbers.assign(std::move(entries));
}

const SlotSet* MetadataIndex::find(const std::string& field, const json::Value& value) const {
  auto f = fields_.find(field);
  if (f == fields_.end()) return nullptr;
  auto v = f->second.values.find(value);
  return v == f->second.values.end() ? nullptr : &v->second;
}

const SlotRuns* MetadataIndex::find_present(const std::string& field) const {
  auto f = fields_.find(field);
  return f == fields_.end() ? nullptr : &f->second.present;
}

const SlotRuns* MetadataIndex::find_element(const std::string& field,
                                            const json::Value& element) const {
  auto f = fields_.find(field);
  if (f == fields_.end()) return nullptr;
  auto e = f->second.elements.find(element);
  return e == f->second.elements.end() ? nullptr : &e->second;
}

std::optional<SlotSet> MetadataIndex::find_range(const std::string& field, double low,
                                                 bool low_inclusive, double high,
                                                 bool high_inclusive, std::size_t limit) const {
  auto f = fields_.find(field);
  // Every comparison with NaN is false; an empty or inverted range holds nothing.
  if (f == fields_.end() || std::isnan(low) || std::isnan(high) || low > high ||
      (low == high && !(low_inclusive && high_inclusive))) {
    return SlotSet{};
  }
  const NumberOrder& numbers = f->second.numbers;
  const NumberOrder::Place first = numbers.first_from(low, low_inclusive);
  const NumberOrder::Place last = numbers.first_from(high, !high_inclusive);
  const std::size_t count = numbers.count(first, last);
  if (count > limit) return std::nullopt;
  SlotSet out;
  out.reserve(count);
  numbers.for_each(first, last, [&](std::uint32_t s) { out.insert(s); });
  return out;
}

Filter Filter::with_values(Kind kind, std::string field, std::vector<json::Value> values) {
  Filter f(kind);
  f.field_ = std::move(field);
  f.values_ = std::move(values);
  return f;
}
Filter Filter::eq(std::string field, json::Value value) {
  return with_values(Kind::Eq, std::move(field), {std::move(value)});
}
Filter Filter::ne(std::string field, json::Value value) {
  return with_values(Kind::Ne, std::move(field), {std::move(value)});
}
Filter Filter::in(std::string field, std::vector<json::Value> values) {
  return with_values(Kind::In, std::move(field), std::move(values));
}

Filter Filter::range(Kind kind, std::string field, double bound) {
  Filter f(kind);
  f.field_ = std::move(field);
  f.bound_ = bound;
  return f;
}
Filter Filter::gt(std::string field, double bound) {
  return range(Kind::Gt, std::move(field), bound);
}
Filter Filter::gte(std::string field, double bound) {
  return range(Kind::Gte, std::move(field), bound);
}
Filter Filter::lt(std::string field, double bound) {
  return range(Kind::Lt, std::move(field), bound);
}
Filter Filter::lte(std::string field, double bound) {
  return range(Kind::Lte, std::move(field), bound);
}
Filter Filter::all_of(std::vector<Filter> members) {
  Filter f(Kind::And);
  f.members_ = std::move(members);
  return f;
}
Filter Filter::any_of(std::vector<Filter> members) {
  Filter f(Kind::Or);
  f.members_ = std::move(members);
  return f;
}

Filter Filter::negation(Filter inner) {
  Filter f(Kind::Not);
  f.members_.push_back(std::move(inner));
  return f;
}
Filter Filter::exists(std::string field) { return with_values(Kind::Exists, std::move(field), {}); }
Filter Filter::contains(std::string field, json::Value element) {
  return with_values(Kind::Contains, std::move(field), {std::move(element)});
}

bool Filter::matches(const std::optional<json::Value>& metadata) const {
  if (!metadata || !metadata->is_object()) return false;
  return matches_object(*metadata);
}

bool Filter::matches_object(const json::Value& object) const {
  switch (kind_) {
    case Kind::And:
      for (const auto& m : members_) {
        if (!m.matches_object(object)) return false;
      }
      return true;
    case Kind::Or:
      for (const auto& m : members_) {
        if (m.matches_object(object)) return true;
      }
      return false;
    case Kind::Not:
      return !members_[0].matches_object(object);
    default:
      break;
  }
  auto it = object.find(field_);
  if (it == object.end()) return kind_ == Kind::Ne;
  if (kind_ == Kind::Exists) return true;
  const json::Value& v = *it;
  switch (kind_) {
    case Kind::Eq:
      return json::json_equal(v, values_[0]);
    case Kind::Ne:
      return !json::json_equal(v, values_[0]);
    case Kind::In:
      for (const auto& p : values_) {
        if (json::json_equal(v, p)) return true;
      }
      return false;
    case Kind::Gt:
    case Kind::Gte:
    case Kind::Lt:
    case Kind::Lte: {
      const std::optional<double> number = range_number(v);
      if (!number) return false;
      const double x = *number;
      // Every comparison with NaN is false, which these spell out directly.
      if (kind_ == Kind::Gt) return x > bound_;
      if (kind_ == Kind::Gte) return x >= bound_;
      if (kind_ == Kind::Lt) return x < bound_;
      return x <= bound_;
    }
    case Kind::Contains:
      if (!v.is_array()) return false;
      for (const auto& element : v) {
        if (json::json_equal(element, values_[0])) return true;
      }
      return false;
    default:
      return false;
  }
}

// The index holds only bool, number and string values: an equality with null, an array or
// an object has no entry there although records may hold it, so the index cannot answer it.
bool Filter::values_indexed() const {
  return std::all_of(values_.begin(), values_.end(), indexable);
}

const SlotSet* Filter::borrow_from_index(const MetadataIndex& index) const {
  static const SlotSet kNone;
  if (kind_ != Kind::Eq || !values_indexed()) return nullptr;
  const SlotSet* s = index.find(field_, values_[0]);
  return s ? s : &kNone;
}

bool Filter::is_range() const {
  return kind_ == Kind::Gt || kind_ == Kind::Gte || kind_ == Kind::Lt || kind_ == Kind::Lte;
}

namespace {

// The numbers between two bounds, the conjunction of range filters on one field. A side
// without a bound is -inf or +inf, inclusive (the infinities pass Lt and Gt of a finite
// bound); a NaN bound stays NaN, which find_range answers with nothing, as every comparison
// with NaN is false.
struct Bounds {
  double low = -std::numeric_limits<double>::infinity();
  bool low_inclusive = true;
  double high = std::numeric_limits<double>::infinity();
  bool high_inclusive = true;

  void narrow(Filter::Kind kind, double bound) {
    const bool inclusive = kind == Filter::Kind::Gte || kind == Filter::Kind::Lte;
    if (std::isnan(bound)) {
      low = bound;
    } else if (kind == Filter::Kind::Gt || kind == Filter::Kind::Gte) {
      if (bound > low) {
        low = bound;
        low_inclusive = inclusive;
      } else if (bound == low) {
        low_inclusive = low_inclusive && inclusive;
      }
    } else {
      if (bound < high) {
        high = bound;
        high_inclusive = inclusive;
      } else if (bound == high) {
        high_inclusive = high_inclusive && inclusive;
      }
    }
  }
  std::optional<SlotSet> find(const MetadataIndex& index, const std::string& field,
                              std::size_t limit) const {
    return index.find_range(field, low, low_inclusive, high, high_inclusive, limit);
  }
};

}  // namespace

// A condition's answer from the index while the conditions around it are resolved: the
// slots it may match (Within), the object slots it cannot match (Outside: it matches only
// object slots not in the set), or Unknown. Exact when the set is exactly those slots; an
// inexact Within is a superset of the matching slots, an inexact Outside a subset of the
// failing ones, so both still bound the answer from the right side. The set is the index's
// own where the answer is made of its entries: hash sets of distinct values of one field
// (`sets`, which no slot shares, so that their sizes add up), or a field's presence or an
// array element (`runs`); else it is `owned`. Nothing is copied until it must be: a
// negation whose complement is too large to list is dropped without reading its set. Every
// set holds only slots with object metadata, as every entry of the index does.
struct Filter::Part {
  enum class Form { Unknown, Within, Outside };
  Form form = Form::Unknown;
  std::vector<const SlotSet*> sets;
  const SlotRuns* runs = nullptr;
  SlotSet owned;
  bool exact = false;

  static Part unknown() { return {}; }
  // Exactly the slots of entries of the index (none: an empty set).
  static Part within(std::vector<const SlotSet*> entries) {
    Part p;
    p.form = Form::Within;
    p.exact = true;
    std::erase(entries, nullptr);
    p.sets = std::move(entries);
    return p;
  }
  static Part within(const SlotRuns* entry) {
    Part p;
    p.form = Form::Within;
    p.exact = true;
    p.runs = entry;
    return p;
  }
  static Part made(Form form, SlotSet slots, bool exact) {
    Part p;
    p.form = form;
    p.owned = std::move(slots);
    p.exact = exact;
    return p;
  }
  std::size_t size() const {
    if (runs) return runs->size();
    std::size_t n = owned.size();
    for (const SlotSet* s : sets) n += s->size();
    return n;
  }
  bool contains(std::uint32_t slot) const {
    if (runs) return runs->contains(slot);
    return owned.contains(slot) ||
           std::any_of(sets.begin(), sets.end(), [&](const SlotSet* s) { return s->contains(slot); });
  }
  template <class F>
  void for_each(F&& f) const {
    if (runs) return runs->for_each(f);
    for (std::uint32_t slot : owned) f(slot);
    for (const SlotSet* s : sets) {
      for (std::uint32_t slot : *s) f(slot);
    }
  }
};

std::optional<SlotSet> Filter::resolve_from_index(const MetadataIndex& index) const {
  return resolve_within(index, std::numeric_limits<std::size_t>::max()).slots;
}

Filter::Resolved Filter::resolve_within(const MetadataIndex& index, std::size_t range_limit) const {
  Candidates c = candidates(index, range_limit);
  if (c.borrowed != nullptr) return {*c.borrowed, c.exact};
  return {std::move(c.owned), c.exact};
}

Candidates Filter::candidates(const MetadataIndex& index, std::size_t range_limit) const {
  Part p = resolve_part(index, range_limit);
  Candidates out;
  out.exact = p.exact;
  if (p.form == Part::Form::Within && p.runs == nullptr && p.sets.size() <= 1) {
    if (p.sets.empty()) {
      out.owned = std::move(p.owned);
    } else {
      out.borrowed = p.sets[0];
    }
    return out;
  }
  // A field's presence or an array element, or a negation, which names the slots it
  // excludes, is listed only when it holds few enough slots to be worth it: the same bound
  // as a range.
  const std::size_t count =
      p.form == Part::Form::Outside
          ? index.object_count() - std::min(p.size(), index.object_count())
          : p.size();
  if (p.form == Part::Form::Unknown ||
      ((p.form == Part::Form::Outside || p.runs != nullptr) && count > range_limit)) {
    out.exact = false;
    return out;
  }
  SlotSet slots;
  slots.reserve(count);
  if (p.form == Part::Form::Within) {
    p.for_each([&](std::uint32_t s) { slots.insert(s); });
  } else {
    index.for_each_object([&](std::uint32_t s) {
      if (!p.contains(s)) slots.insert(s);
    });
  }
  out.owned = std::move(slots);
  return out;
}

Filter::Part Filter::resolve_part(const MetadataIndex& index, std::size_t range_limit) const {
  using Form = Part::Form;
  if ((kind_ == Kind::Eq || kind_ == Kind::Ne || kind_ == Kind::In) && !values_indexed()) {
    return Part::unknown();
  }
  switch (kind_) {
    case Kind::Eq:
      return Part::within({index.find(field_, values_[0])});
    case Kind::Ne: {
      Part p = Part::within({index.find(field_, values_[0])});
      p.form = Form::Outside;
      return p;
    }
    case Kind::In: {
      // One set per distinct value (a value listed twice names the same set).
      std::vector<const SlotSet*> sets;
      for (const auto& v : values_) {
        const SlotSet* s = index.find(field_, v);
        if (std::find(sets.begin(), sets.end(), s) == sets.end()) sets.push_back(s);
      }
      return Part::within(std::move(sets));
    }
    case Kind::Exists:
      return Part::within(index.find_present(field_));
    case Kind::Contains:
      // Elements that are arrays or objects are not indexed.
      if (values_[0].is_array() || values_[0].is_object()) return Part::unknown();
      return Part::within(index.find_element(field_, values_[0]));
    case Kind::Gt:
    case Kind::Gte:
    case Kind::Lt:
    case Kind::Lte: {
      Bounds bounds;
      bounds.narrow(kind_, bound_);
      auto slots = bounds.find(index, field_, range_limit);
      if (!slots) return Part::unknown();
      return Part::made(Form::Within, std::move(*slots), true);
    }
    case Kind::Not: {
      // Only an exact answer can be turned around: the complement of a superset would drop
      // matching slots.
      Part p = members_[0].resolve_part(index, range_limit);
      if (p.form == Form::Unknown || !p.exact) return Part::unknown();
      p.form = p.form == Form::Within ? Form::Outside : Form::Within;
      return p;
    }
    case Kind::And:
      return resolve_and(index, range_limit);
    case Kind::Or:
      return resolve_or(index, range_limit);
  }
  return Part::unknown();
}

Filter::Part Filter::resolve_and(const MetadataIndex& index, std::size_t range_limit) const {
  using Form = Part::Form;
  // No members: the empty set, so that an empty filter finds nothing, although `matches`
  // accepts every object for it. Marked inexact so that a negation around it is not
  // resolved from that set (it matches nothing, as `matches` says).
  if (members_.empty()) return Part::made(Form::Within, {}, false);
  std::vector<Part> within, outside;
  bool exact = true;  // every member so far resolved to exactly its matches
  auto meet = [&](Part p) {
    exact = exact && p.exact;
    if (p.form == Form::Within) within.push_back(std::move(p));
    if (p.form == Form::Outside) outside.push_back(std::move(p));
  };
  // Range members are merged per field first: a band is one look-up, not the
  // intersection of two half-lines that may each hold most of the collection.
  std::vector<std::pair<const std::string*, Bounds>> ranges;
  for (const auto& m : members_) {
    if (!m.is_range()) {
      meet(m.resolve_part(index, range_limit));
      continue;
    }
    auto same = std::find_if(ranges.begin(), ranges.end(),
                             [&](const auto& r) { return *r.first == m.field_; });
    if (same == ranges.end()) same = ranges.insert(ranges.end(), {&m.field_, Bounds{}});
    same->second.narrow(m.kind_, m.bound_);
  }
  for (const auto& [field, bounds] : ranges) {
    auto slots = bounds.find(index, *field, range_limit);
    meet(slots ? Part::made(Form::Within, std::move(*slots), true) : Part::unknown());
  }
  if (within.empty() && outside.empty()) return Part::unknown();
  if (within.empty()) {
    // Failing any member fails the And: the excluded slots are the union.
    if (outside.size() == 1) {
      outside[0].exact = exact;
      return std::move(outside[0]);
    }
    SlotSet excluded;
    for (const Part& p : outside) p.for_each([&](std::uint32_t s) { excluded.insert(s); });
    return Part::made(Form::Outside, std::move(excluded), exact);
  }
  // The intersection walks the smallest set and looks each slot up in the others.
  std::sort(within.begin(), within.end(),
            [](const Part& a, const Part& b) { return a.size() < b.size(); });
  if (within.size() == 1 && outside.empty()) {
    within[0].exact = exact || within[0].size() == 0;
    return std::move(within[0]);
  }
  SlotSet out;
  within[0].for_each([&](std::uint32_t s) {
    auto holds = [s](const Part& p) { return p.contains(s); };
    if (std::all_of(within.begin() + 1, within.end(), holds) &&
        std::none_of(outside.begin(), outside.end(), holds)) {
      out.insert(s);
    }
  });
  // No slot passes a member whose candidates are none, so none passes the And.
  const bool none = out.empty();
  return Part::made(Form::Within, std::move(out), exact || none);
}

Filter::Part Filter::resolve_or(const MetadataIndex& index, std::size_t range_limit) const {
  using Form = Part::Form;
  std::vector<Part> within, outside;
  bool exact = true;
  for (const auto& m : members_) {
    Part p = m.resolve_part(index, range_limit);
    // A member the index cannot answer may match any slot.
    if (p.form == Form::Unknown) return Part::unknown();
    exact = exact && p.exact;
    (p.form == Form::Within ? within : outside).push_back(std::move(p));
  }
  if (outside.empty()) {
    if (within.size() == 1) return std::move(within[0]);
    SlotSet out;
    for (const Part& p : within) p.for_each([&](std::uint32_t s) { out.insert(s); });
    return Part::made(Form::Within, std::move(out), exact);
  }
  // Failing the Or is failing every member: excluded from each negated member's answer
  // and not matched by any other.
  std::sort(outside.begin(), outside.end(),
            [](const Part& a, const Part& b) { return a.size() < b.size(); });
  if (outside.size() == 1 && within.empty()) return std::move(outside[0]);
  SlotSet excluded;
  outside[0].for_each([&](std::uint32_t s) {
    auto holds = [s](const Part& p) { return p.contains(s); };
    if (std::all_of(outside.begin() + 1, outside.end(), holds) &&
        std::none_of(within.begin(), within.end(), holds)) {
      excluded.insert(s);
    }
  });
  return Part::made(Form::Outside, std::move(excluded), exact);
}

}  // namespace quarn_core::db
