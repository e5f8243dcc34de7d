// Database.create_text_index, drop_text_index, text_indexes, search_text and hybrid_search.
// Each converts its arguments with the GIL held and runs the core call without it.
#include "database_text.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "database_tools.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace quarn_py {

const char kCreateTextIndexDoc[] =
    "create_text_index($self, field, language=\"english\")\n--\n\n"
    "Index the string values of a metadata field for search_text and hybrid_search.\n"
    "Words are found by ICU's word boundaries and case-folded; with a language (a Snowball\n"
    "name: \"english\", \"french\", \"german\", ...) its stop words are dropped and the rest\n"
    "stemmed, with language=None neither. A record is indexed when its metadata holds a\n"
    "string in the field. The index is kept in memory, in step with every change; its\n"
    "definition is kept in text_indexes.json in the collection directory, and a save writes\n"
    "its postings to postings.quarn for the next open.\n"
    "Creating an index that exists with the same language does nothing; ValueError for an\n"
    "unknown language or a field already indexed with another one.";

const char kDropTextIndexDoc[] =
    "drop_text_index($self, field)\n--\n\n"
    "Drop the text index of a field. Returns True if there was one.";

const char kTextIndexesDoc[] =
    "text_indexes($self)\n--\n\n"
    "The text indexes as a dict: field -> language (None: no stemming, no stop words).";

const char kSearchTextDoc[] =
    "search_text($self, query, k=10, where_filter=None, field=None)\n--\n\n"
    "Full-text search: up to k SearchResult objects by descending BM25 score.\n"
    "`.distance` is the BM25 score negated, so that smaller is closer as for vectors.\n"
    "Query syntax: words are OR-ed; \"a quoted phrase\" matches its words in order, next to\n"
    "one another; +word (or +\"phrase\") is required and -word excluded. The query is\n"
    "analyzed as the field is (case folding, stemming, stop words).\n"
    "`where_filter`: optional metadata filter (same syntax as search).\n"
    "`field`: the indexed field to search; may be left out when there is one text index.";

const char kHybridSearchDoc[] =
    "hybrid_search($self, vector, text, k=10, where_filter=None, field=None, ef_search=None, "
    "rank_constant=60, weights=None)\n--\n\n"
    "Vector and full-text search fused by reciprocal rank fusion.\n"
    "Each ranking (nearest vectors, best BM25 scores, both under where_filter) contributes\n"
    "its best max(k, 100) records; a record ranked r-th (from 1) adds\n"
    "weight / (rank_constant + r). Returns up to k SearchResult objects by descending fused\n"
    "score; `.distance` is that score negated. With a filter, min(k, matching) results.\n"
    "`weights`: (vector weight, text weight), (1.0, 1.0) by default.\n"
    "`ef_search`: the width of the vector search, as in search.";

using quarn_core::db::Database;

PyObject* db_create_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr Signature<2> sig{"Database.create_text_index", {"field", "language"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto field = a.convert(0, to_str);
  auto language = a[1] == nullptr ? std::optional<std::optional<std::string>>("english")
                                  : a.convert(1, to_opt_str);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  return none_or_raise(
      without_gil([&] { return db.create_text_index(*field, std::move(*language)); }));
}

PyObject* db_drop_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.drop_text_index", {"field"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto field = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.drop_text_index(*field); });
  if (!result) return raise_core(result.error());
  return PyBool_FromLong(*result ? 1 : 0);
}

PyObject* db_text_indexes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  if (!no_args("Database.text_indexes", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  const auto specs = without_gil([&] { return db.text_indexes(); });
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& spec : specs) {
    PyRef key = PyRef::steal(str_from(spec.field));
    PyRef value = spec.language ? PyRef::steal(str_from(*spec.language)) : PyRef::borrow(Py_None);
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* db_search_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<4> sig{
      "Database.search_text", {"query", "k", "where_filter", "field"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto query = a.convert(0, to_str);
  auto k = a.convert(1, to_index_or, std::size_t{10});
  auto filter = a.convert(2, to_opt_filter);
  auto field = a.convert(3, to_opt_str);
  if (!a.ok()) return nullptr;
  quarn_core::db::TextSearchOptions options;
  options.k = *k;
  options.filter = *filter ? &**filter : nullptr;
  options.field = std::move(*field);
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  auto result = without_gil([&] { return db.search_text(*query, options); });
  if (!result) return raise_core(result.error());
  return search_results(self, *result);
}

PyObject* db_hybrid_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature<8> sig{"Database.hybrid_search",
                                    {"vector", "text", "k", "where_filter", "field", "ef_search",
                                     "rank_constant", "weights"},
                                    2};
  Arguments a(sig, args, nargs, kwnames);
  auto vector = a.convert(0, to_vector);
  if (!a.ok() || !check_finite(*vector, "query vector")) return nullptr;
  auto text = a.convert(1, to_str);
  auto k = a.convert(2, to_index_or, std::size_t{10});
  auto filter = a.convert(3, to_opt_filter);
  auto field = a.convert(4, to_opt_str);
  auto ef_search = a.convert(5, to_opt_index);
  auto rank_constant = a[6] == nullptr ? std::optional<double>(60.0) : a.convert(6, to_f64);
  auto weights = a.convert(7, to_opt_pair);
  if (!a.ok()) return nullptr;
  quarn_core::db::HybridSearchOptions options;
  options.k = *k;
  options.filter = *filter ? &**filter : nullptr;
  options.field = std::move(*field);
  options.ef_search = *ef_search;
  options.rank_constant = *rank_constant;
  if (*weights) std::tie(options.vector_weight, options.text_weight) = **weights;
  if (!std::isfinite(options.rank_constant) || options.rank_constant < 0.0) {
    return raise_value_error("rank_constant must be a finite number of at least 0");
  }
  if (!std::isfinite(options.vector_weight) || !std::isfinite(options.text_weight) ||
      options.vector_weight < 0.0 || options.text_weight < 0.0) {
    return raise_value_error("weights must be finite numbers of at least 0");
  }
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  auto result = without_gil([&] { return db.hybrid_search(*vector, *text, options); });
  if (!result) return raise_core(result.error());
  return search_results(self, *result);
}

}  // namespace quarn_py
