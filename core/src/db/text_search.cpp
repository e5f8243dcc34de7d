// Full-text and hybrid search: the text index definitions of a collection, BM25 queries under
// a metadata filter, and their fusion with vector search.
#include <algorithm>
#include <functional>
#include <limits>
#include <unordered_map>

#include "quarn_core/db.hpp"

namespace quarn_core::db {

using error::fail;

std::vector<text::TextIndexSpec> Database::read_text_specs(const std::filesystem::path& dir) {
  // A side file that does not read leaves the collection without text indexes rather than
  // unopenable: the definitions are all it holds, and verify() reports it.
  auto specs = text::read_specs(dir);
  return specs ? std::move(*specs) : std::vector<text::TextIndexSpec>{};
}

void Database::save_postings() const {
  const std::filesystem::path file = path_ / text::kPostingsFileName;
  if (!records_.text().empty()) {
    auto written = storage::replace_file(file, [&](io::BufWriter& w) {
      records_lock_.held_shared_by_caller();
      return text::SavedPostings::write(w, records_.text(), records_.all_metadata());
    });
    if (written) return;
  }
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) (void)io::unlink_path(file);
}

Result<void> Database::create_text_index(const std::string& field,
                                         std::optional<std::string> language) {
  if (language) {
    if (auto bad = text::check_language(*language)) {
      return fail(QuarnError::invalid_argument(std::move(*bad)));
    }
  }
  const text::TextIndexSpec spec{field, std::move(language)};
  if (auto r = follow(); !r) return r;
  {
    ReaderLock records_guard(records_lock_);
    if (const text::TextIndex* have = records_.text().find(field);
        have != nullptr && have->analyzer().language() == spec.language) {
      return {};
    }
  }
  if (auto r = writable(); !r) return r;
  ReaderLock gate(gate_);
  // Exclusive: no mutation changes a record while the index is built from them.
  WriterLock ids(id_lock_);
  std::vector<text::TextIndexSpec> specs;
  {
    ReaderLock records_guard(records_lock_);
    if (const text::TextIndex* have = records_.text().find(field)) {
      if (have->analyzer().language() == spec.language) return {};
      const auto& lang = have->analyzer().language();
      return fail(QuarnError::invalid_argument(
          "field '" + field + "' has a text index with language " +
          (lang ? "'" + *lang + "'" : std::string("None")) + ": drop it first"));
    }
    specs = records_.text().specs();
  }
  std::unique_ptr<text::TextIndex> built;
  {
    // Searches go on meanwhile.
    ReaderLock records_guard(records_lock_);
    built = records_.build_text_index(spec);
  }
  specs.push_back(spec);
  {
    auto lock = storage::DirectoryLock::acquire(path_);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (auto r = text::write_specs(path_, specs); !r) return r;
    publish_reload();
  }
  WriterLock records_guard(records_lock_);
  records_.add_text_index(std::move(built));
  return {};
}

Result<bool> Database::drop_text_index(const std::string& field) {
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  {
    ReaderLock records_guard(records_lock_);
    if (records_.text().find(field) == nullptr) return false;
  }
  if (auto r = writable(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock gate(gate_);
  WriterLock ids(id_lock_);
  std::vector<text::TextIndexSpec> specs;
  {
    ReaderLock records_guard(records_lock_);
    if (records_.text().find(field) == nullptr) return false;
    specs = records_.text().specs();
  }
  std::erase_if(specs, [&](const text::TextIndexSpec& s) { return s.field == field; });
  {
    auto lock = storage::DirectoryLock::acquire(path_);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (auto r = text::write_specs(path_, specs); !r) return std::unexpected(std::move(r.error()));
    publish_reload();
  }
  WriterLock records_guard(records_lock_);
  return records_.drop_text_index(field);
}

std::vector<text::TextIndexSpec> Database::text_indexes() const {
  (void)follow();
  ReaderLock records_guard(records_lock_);
  return records_.text().specs();
}

Result<std::vector<text::TextHit>> Database::text_hits(std::string_view query, std::size_t k,
                                                      const Filter* filter,
                                                      const std::optional<std::string>& field) const {
  const text::TextIndexes& indexes = records_.text();
  const text::TextIndex* index = nullptr;
  if (field) {
    index = indexes.find(*field);
    if (index == nullptr) {
      return fail(QuarnError::invalid_argument("no text index on field '" + *field + "'"));
    }
  } else if (indexes.all().size() == 1) {
    index = indexes.all().front().get();
  } else if (indexes.empty()) {
    return fail(QuarnError::invalid_argument(
        "the collection has no text index: create one with create_text_index(field)"));
  } else {
    std::string fields;
    for (const auto& spec : indexes.specs()) fields += (fields.empty() ? "'" : ", '") + spec.field + "'";
    return fail(QuarnError::invalid_argument("the collection has text indexes on " + fields +
                                             ": name one with field="));
  }
  const text::Query parsed = text::parse_query(query, index->analyzer());
  text::TextSearchScope scope;
  if (filter == nullptr) return index->search(parsed, k, scope);

  // The filter decides through the metadata index where it can, as for vector search: a
  // record's metadata is tested only when the index cannot answer exactly. A small set of
  // candidates is visited directly instead of the posting lists.
  const Candidates candidates = resolve(*filter, std::numeric_limits<std::size_t>::max());
  const SlotSet* set = candidates.set();
  if (set != nullptr && set->empty()) return std::vector<text::TextHit>{};
  const bool exact = set != nullptr && candidates.exact;
  const std::function<bool(std::uint32_t)> accept = [&](std::uint32_t slot) {
    records_lock_.held_shared_by_caller();
    if (set != nullptr && !set->contains(slot)) return false;
    return exact || filter->matches(records_.metadata(slot));
  };
  scope.accept = &accept;
  std::vector<std::uint32_t> within;
  if (set != nullptr) {
    std::size_t postings = 0;
    for (const auto& clause : parsed.clauses) {
      if (clause.occur == text::Clause::Occur::MustNot) continue;
      for (const auto& term : clause.terms) postings += index->document_frequency(term);
    }
    // Visiting a candidate costs a search in each list (a few block steps), reading a
    // posting one step: the candidates are visited when they are the fewer by far.
    if (set->size() * 8 < postings) {
      within.assign(set->begin(), set->end());
      std::sort(within.begin(), within.end());
      scope.within = within;
    }
  }
  return index->search(parsed, k, scope);
}

Result<std::vector<SearchResult>> Database::search_text(std::string_view query,
                                                        const TextSearchOptions& options) const {
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  ReaderLock records_guard(records_lock_);
  auto hits = text_hits(query, options.k, options.filter, options.field);
  if (!hits) return std::unexpected(std::move(hits.error()));
  std::vector<hnsw::Candidate> pairs;
  pairs.reserve(hits->size());
  for (const auto& hit : *hits) {
    pairs.push_back(hnsw::Candidate{hit.slot, static_cast<float>(-hit.score)});
  }
  return build_results(pairs, std::nullopt);
}

Result<std::vector<SearchResult>> Database::hybrid_search(std::span<const float> vector,
                                                          std::string_view text,
                                                          const HybridSearchOptions& options) const {
  if (vector.size() != dim_) return fail(QuarnError::dimension_mismatch(dim_, vector.size()));
  if (auto r = follow(); !r) return std::unexpected(std::move(r.error()));
  // One snapshot for both rankings.
  ReaderLock index_guard(index_lock_);
  ReaderLock records_guard(records_lock_);
  const std::size_t depth = std::max(options.k, kHybridDepth);
  auto hits = text_hits(text, depth, options.filter, options.field);
  if (!hits) return std::unexpected(std::move(hits.error()));
  const std::size_t nodes = index_->node_count();
  const std::size_t ef = options.ef_search ? *options.ef_search : default_search_width(depth);
  const std::vector<hnsw::Candidate> near =
      nearest(vector, std::min(depth, nodes), std::min(ef, nodes), options.filter);

  // Reciprocal rank fusion, summed in a fixed order (vector ranking first) so that equal
  // inputs give equal scores.
  std::unordered_map<std::uint32_t, double> fused;
  fused.reserve(near.size() + hits->size());
  for (std::size_t r = 0; r < near.size(); ++r) {
    fused[near[r].slot] += options.vector_weight / (options.rank_constant + double(r + 1));
  }
  for (std::size_t r = 0; r < hits->size(); ++r) {
    fused[(*hits)[r].slot] += options.text_weight / (options.rank_constant + double(r + 1));
  }
  std::vector<std::pair<double, std::uint32_t>> ranked;
  ranked.reserve(fused.size());
  for (const auto& [slot, score] : fused) ranked.emplace_back(score, slot);
  const std::size_t keep = std::min(options.k, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep),
                    ranked.end(), [](const auto& a, const auto& b) {
                      return a.first != b.first ? a.first > b.first : a.second < b.second;
                    });
  std::vector<hnsw::Candidate> pairs;
  pairs.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) {
    pairs.push_back(hnsw::Candidate{ranked[i].second, static_cast<float>(-ranked[i].first)});
  }
  return build_results(pairs, std::nullopt);
}

}  // namespace quarn_core::db
