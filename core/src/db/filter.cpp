#include "quarn_core/filter.hpp"

#include <algorithm>

namespace quarn_core::db {

namespace {

bool indexable(const json::Value& v) { return v.is_boolean() || v.is_number() || v.is_string(); }

// Sets are used only as sets, so intersecting walks the smaller one.
SlotSet intersect(const SlotSet& a, const SlotSet& b) {
  const SlotSet& small = a.size() <= b.size() ? a : b;
  const SlotSet& large = a.size() <= b.size() ? b : a;
  SlotSet out;
  for (std::uint32_t s : small) {
    if (large.contains(s)) out.insert(s);
  }
  return out;
}

}  // namespace

void MetadataIndex::index(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  if (!metadata || !metadata->is_object()) return;
  for (const auto& [key, value] : metadata->items()) {
    if (!indexable(value)) continue;
    fields_[key][value].insert(slot);
  }
}

void MetadataIndex::remove(std::uint32_t slot, const std::optional<json::Value>& metadata) {
  if (!metadata || !metadata->is_object()) return;
  for (const auto& [key, value] : metadata->items()) {
    if (!indexable(value)) continue;
    auto field = fields_.find(key);
    if (field == fields_.end()) continue;
    auto entry = field->second.find(value);
    if (entry == field->second.end()) continue;
    entry->second.erase(slot);
    if (entry->second.empty()) field->second.erase(entry);
    if (field->second.empty()) fields_.erase(field);
  }
}

void MetadataIndex::rebuild(const std::vector<std::optional<json::Value>>& metadata,
                            const std::unordered_set<std::uint32_t>& deleted) {
  fields_.clear();
  for (std::size_t s = 0; s < metadata.size(); ++s) {
    const auto slot = static_cast<std::uint32_t>(s);
    if (deleted.contains(slot)) continue;
    index(slot, metadata[s]);
  }
}

const SlotSet* MetadataIndex::find(const std::string& field, const json::Value& value) const {
  auto f = fields_.find(field);
  if (f == fields_.end()) return nullptr;
  auto v = f->second.find(value);
  return v == f->second.end() ? nullptr : &v->second;
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
    default:
      break;
  }
  auto it = object.find(field_);
  if (it == object.end()) return kind_ == Kind::Ne;
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
      if (!v.is_number()) return false;
      double x;
      if (v.is_number_unsigned()) {
        x = static_cast<double>(v.get<std::uint64_t>());
      } else if (v.is_number_integer()) {
        x = static_cast<double>(v.get<std::int64_t>());
      } else {
        x = v.get<double>();
      }
      // Every comparison with NaN is false, which these spell out directly.
      if (kind_ == Kind::Gt) return x > bound_;
      if (kind_ == Kind::Gte) return x >= bound_;
      if (kind_ == Kind::Lt) return x < bound_;
      return x <= bound_;
    }
    default:
      return false;
  }
}

const SlotSet* Filter::borrow_from_index(const MetadataIndex& index) const {
  static const SlotSet kNone;
  if (kind_ != Kind::Eq) return nullptr;
  const SlotSet* s = index.find(field_, values_[0]);
  return s ? s : &kNone;
}

bool Filter::resolves_exactly() const {
  if (kind_ == Kind::Eq || kind_ == Kind::In) return true;
  if (kind_ != Kind::And) return false;
  return std::all_of(members_.begin(), members_.end(),
                     [](const Filter& m) { return m.resolves_exactly(); });
}

std::optional<SlotSet> Filter::resolve_from_index(const MetadataIndex& index) const {
  switch (kind_) {
    case Kind::Eq: {
      const SlotSet* s = index.find(field_, values_[0]);
      return s ? *s : SlotSet{};
    }
    case Kind::In: {
      SlotSet out;
      for (const auto& v : values_) {
        if (const SlotSet* s = index.find(field_, v)) out.insert(s->begin(), s->end());
      }
      return out;
    }
    case Kind::And: {
      if (members_.empty()) return SlotSet{};
      std::optional<SlotSet> acc;
      for (const auto& m : members_) {
        auto r = m.resolve_from_index(index);
        if (!r) continue;
        acc = acc ? intersect(*acc, *r) : std::move(*r);
      }
      return acc;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace quarn_core::db
