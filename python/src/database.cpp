// Database: one collection, wrapping the core database. Every method parses and converts its
// arguments with the GIL held, runs the core call (without the GIL for the heavy ones) and
// turns the result or the core error back into Python.
#include <Python.h>

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "bulk.hpp"
#include "convert.hpp"
#include "database_text.hpp"
#include "database_tools.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "quarn_core/export.hpp"

namespace quarn_py {
namespace {

using quarn_core::db::Database;
using quarn_core::db::DatabaseConfig;
using quarn_core::db::Filter;
using quarn_core::db::Record;
using quarn_core::db::SearchOptions;

struct PyDatabase {
  PyObject_HEAD
      // Set by the constructor; dropped by close() (every method then raises) and by dealloc.
      // The core object is thread-safe and shared by every handle of the collection in this
      // process. A method copies the pointer before it releases the GIL, so a close() in
      // another thread never pulls the collection from under a call in flight.
      std::shared_ptr<Database>
          db;
  // The collection's path, for repr, also once the handle is closed.
  std::string path;
};

PyObject* none() { Py_RETURN_NONE; }

// ---------------------------------------------------------------------------------------
// Construction and destruction.

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<6> sig{
        "Database.__new__", {"path", "dim", "metric", "m", "ef_construction", "quantize"}, 1};
    Arguments a(sig, args, kwargs);
    auto path = a.convert(0, to_str);
    auto dim = a.convert(1, to_opt_index);
    auto metric_name = a.convert(2, to_opt_str);
    auto m = a.convert(3, to_opt_index);
    auto ef_construction = a.convert(4, to_opt_index);
    auto quantize = a.convert(5, to_bool, false);
    if (!a.ok()) return nullptr;

    // Opening waits for the directory's lock while another thread saves: without the GIL.
    std::shared_ptr<Database> db;
    if (!*dim) {
      auto opened = without_gil([&] { return Database::open(*path); });
      if (!opened) return raise_value_error("database not found — specify dim to create a new one");
      db = std::move(*opened);
    } else {
      auto metric = parse_metric(metric_name->value_or("cosine"));
      if (!metric) return nullptr;
      DatabaseConfig config;
      config.m = m->value_or(16);
      config.ef_construction = ef_construction->value_or(200);
      config.quantize = *quantize;
      if (auto bad = quarn_core::db::check_new_collection(**dim, config)) {
        return raise_value_error(*bad);
      }
      auto opened = without_gil(
          [&] { return Database::open_or_create_with_config(*path, **dim, *metric, config); });
      if (!opened) return raise_core(opened.error());
      db = std::move(*opened);
    }
    return wrap_database(type, std::move(db));
  });
}

void database_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Dropping the last handle of the collection in this process closes its log, unmaps its
  // vectors and gives up the writer's role; nothing is saved.
  reinterpret_cast<PyDatabase*>(self)->db.~shared_ptr();
  reinterpret_cast<PyDatabase*>(self)->path.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------
// Results.

PyTypeObject* result_type(PyObject* self) {
  ModuleState* state = state_of(Py_TYPE(self));
  return state == nullptr ? nullptr : reinterpret_cast<PyTypeObject*>(state->search_result_type);
}

PyObject* results_to_list(PyTypeObject* type, std::vector<quarn_core::db::SearchResult>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyObject* item = make_search_result(type, std::move(hits[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// The conversions shared by search and search_many, in parameter order after the vectors.
struct QueryArgs {
  std::size_t k;
  std::optional<std::size_t> ef_search;
  std::optional<Filter> filter;
  std::optional<float> max_distance;

  SearchOptions options() const {
    SearchOptions out;
    out.k = k;
    out.ef_search = ef_search;
    out.filter = filter ? &*filter : nullptr;
    out.max_distance = max_distance;
    return out;
  }
};

// k, ef_search, where_filter and max_distance: parameters 1 to 4 of both.
std::optional<QueryArgs> to_query_args(Arguments<5>& a) {
  auto k = a.convert(1, to_index_or, std::size_t{10});
  auto ef_search = a.convert(2, to_opt_index);
  auto filter = a.convert(3, to_opt_filter);
  auto max_distance = a.convert(4, to_opt_f32);
  if (!a.ok()) return std::nullopt;
  return QueryArgs{*k, *ef_search, std::move(*filter), *max_distance};
}

// ---------------------------------------------------------------------------------------
// Mutations (GIL released around the core call).

PyObject* db_insert(PyObject* self, Arguments<3>& a, bool upsert) {
  auto id = a.convert(0, to_str);
  auto vector = a.convert(1, to_vector);
  if (!a.ok() || !check_finite(*vector, "vector of id '" + *id + "'")) return nullptr;
  auto metadata = a.convert(2, to_metadata);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  return none_or_raise(without_gil([&] {
    return upsert ? db.upsert(std::move(*id), std::move(*vector), std::move(*metadata))
                  : db.add(std::move(*id), std::move(*vector), std::move(*metadata));
  }));
}

PyObject* db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.add", {"id", "vector", "metadata"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  return db_insert(self, a, false);
}

PyObject* db_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.upsert", {"id", "vector", "metadata"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  return db_insert(self, a, true);
}

PyObject* db_insert_many(PyObject* self, Arguments<3>& a, bool upsert) {
  auto ids = a.convert(0, to_ids);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  // A C-contiguous 2-D float32 array goes to the core as it is, row after row.
  if (auto rows = c_contiguous_f32_rows(a[1])) {
    if (!check_metadatas(a[2], "metadatas")) return nullptr;
    auto metadatas = to_batch_metadatas(a[2], ids->size(), rows->count);
    if (!metadatas || !check_finite_rows(rows->data, rows->width, *ids)) return nullptr;
    return none_or_raise(without_gil([&] {
      return upsert ? db.upsert_many_flat(std::move(*ids), rows->data, rows->width,
                                          std::move(*metadatas))
                    : db.add_many_flat(std::move(*ids), rows->data, rows->width,
                                       std::move(*metadatas));
    }));
  }
  if (PyErr_Occurred()) return nullptr;
  auto vectors = a.convert(1, to_vectors);
  if (!a.ok() || !check_metadatas(a[2], "metadatas")) return nullptr;
  auto metadatas = to_batch_metadatas(a[2], ids->size(), vectors->size());
  if (!metadatas) return nullptr;
  for (std::size_t i = 0; i < vectors->size(); ++i) {
    if (!check_finite((*vectors)[i], row_name("vectors", i, &(*ids)[i]))) return nullptr;
  }
  std::vector<Record> records(ids->size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i] = Record{std::move((*ids)[i]), std::move((*vectors)[i]), std::move((*metadatas)[i])};
  }
  return none_or_raise(without_gil([&] {
    return upsert ? db.upsert_many(std::move(records)) : db.add_many(std::move(records));
  }));
}

PyObject* db_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.add_many", {"ids", "vectors", "metadatas"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  return db_insert_many(self, a, false);
}

PyObject* db_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.upsert_many", {"ids", "vectors", "metadatas"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  return db_insert_many(self, a, true);
}

PyObject* db_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.update", {"id", "vector", "metadata"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto id = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  std::optional<std::vector<float>> vector;
  if (a[1] != nullptr && a[1] != Py_None) {
    vector = a.convert(1, to_vector);
    if (!vector || !check_finite(*vector, "vector of id '" + *id + "'")) return nullptr;
  }
  // None or absent keeps the stored metadata; a dict replaces it.
  std::optional<quarn_core::db::Metadata> metadata;
  if (a[2] != nullptr && a[2] != Py_None) {
    metadata = a.convert(2, to_metadata);
    if (!metadata) return nullptr;
  }
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  return none_or_raise(
      without_gil([&] { return db.update(*id, std::move(vector), std::move(metadata)); }));
}

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.delete", {"id"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto id = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.remove(*id); });
  if (!result) return raise_core(result.error());
  return PyBool_FromLong(*result ? 1 : 0);
}

PyObject* db_delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.delete_many", {"ids"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto ids = a.convert(0, to_ids);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.delete_many(*ids); });
  if (!result) return raise_core(result.error());
  return PyLong_FromSize_t(*result);
}

// ---------------------------------------------------------------------------------------
// Queries.

PyObject* db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<5> sig{
      "Database.search", {"vector", "k", "ef_search", "where_filter", "max_distance"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto vector = a.convert(0, to_vector);
  if (!a.ok() || !check_finite(*vector, "query vector")) return nullptr;
  auto query = to_query_args(a);
  if (!query) return nullptr;
  PyTypeObject* type = result_type(self);
  if (type == nullptr) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  const SearchOptions options = query->options();
  auto result = without_gil([&] { return db.search(*vector, options); });
  if (!result) return raise_core(result.error());
  return results_to_list(type, *result);
}

PyObject* db_search_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<5> sig{
      "Database.search_many", {"vectors", "k", "ef_search", "where_filter", "max_distance"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto vectors = a.convert(0, to_vectors);
  if (!a.ok()) return nullptr;
  for (std::size_t i = 0; i < vectors->size(); ++i) {
    if (!check_finite((*vectors)[i], row_name("query vectors", i, nullptr))) return nullptr;
  }
  auto query = to_query_args(a);
  if (!query) return nullptr;
  PyTypeObject* type = result_type(self);
  if (type == nullptr) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  const SearchOptions options = query->options();
  auto result = without_gil([&] { return db.search_many(*vectors, options); });
  if (!result) return raise_core(result.error());
  PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(result->size())));
  if (!outer) return nullptr;
  for (std::size_t i = 0; i < result->size(); ++i) {
    PyObject* inner = results_to_list(type, (*result)[i]);
    if (inner == nullptr) return nullptr;
    PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner);  // steals inner
  }
  return outer.release();
}

// ---------------------------------------------------------------------------------------
// Reads and maintenance. Each may wait for a lock that a long mutation, save or compaction
// holds, so the core call runs without the GIL; only the conversion to Python holds it.

PyObject* db_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.get", {"id"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto id = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  auto result = without_gil([&] { return db.get(*id); });
  if (!result) return raise_core(result.error());
  PyRef vector = PyRef::steal(floats_to_list(result->first));
  if (!vector) return nullptr;
  PyRef metadata =
      result->second ? PyRef::steal(json_to_py(*result->second)) : PyRef::borrow(Py_None);
  if (!metadata) return nullptr;
  return PyTuple_Pack(2, vector.get(), metadata.get());
}

PyObject* db_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.count", {"where_filter"}, 0};
  Arguments a(sig, args, nargs, kwnames);
  auto filter = a.convert(0, to_opt_filter);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  const std::size_t n = without_gil([&] { return *filter ? db.count(**filter) : db.count(); });
  return PyLong_FromSize_t(n);
}

PyObject* db_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.ids", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  return strings_to_list(without_gil([&] { return db.ids(); }));
}

// A method without parameters that runs `member` on the collection without the GIL: None, or
// its error raised.
PyObject* run_without_args(const char* name, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames,
                           quarn_core::Result<void> (Database::*member)()) {
  if (!no_args(name, args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  return none_or_raise(without_gil([&] { return (db.*member)(); }));
}

PyObject* db_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_without_args("Database.save", self, args, nargs, kwnames, &Database::save);
}

PyObject* db_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.close", args, nargs, kwnames)) return nullptr;
  // Moved out first: should this be the last handle, the collection goes (closing its log
  // and unmapping its vectors) without the GIL, and with nothing left pointing at it.
  std::shared_ptr<Database> held = std::move(reinterpret_cast<PyDatabase*>(self)->db);
  without_gil([&] { held.reset(); });
  return none();
}

PyObject* db_refresh(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_without_args("Database.refresh", self, args, nargs, kwnames, &Database::refresh);
}

PyObject* db_sync(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_without_args("Database.sync", self, args, nargs, kwnames, &Database::sync);
}

PyObject* db_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.compact", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  without_gil([&] { db.compact(); });
  return none();
}

PyObject* db_reorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_without_args("Database.reorder", self, args, nargs, kwnames, &Database::reorder);
}

PyObject* db_enable_quantized_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  if (!no_args("Database.enable_quantized_search", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  without_gil([&] { db.enable_quantized_search(); });
  return none();
}

PyObject* db_disable_quantized_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  if (!no_args("Database.disable_quantized_search", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  without_gil([&] { db.disable_quantized_search(); });
  return none();
}

// Keys are made as plain strings: PyDict_SetItemString would intern them, and on CPython
// 3.11 each stats() call would then add and remove the same entries of the interpreter's
// interned table, which makes it reallocate now and then.
bool set_item(PyObject* dict, const char* key, PyRef value) {
  if (!value) return false;
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

PyObject* db_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.stats", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  const auto s = without_gil([&] { return db.stats(); });
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  auto u64 = [](std::uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); };
  auto boolean = [](bool v) { return PyRef::steal(PyBool_FromLong(v ? 1 : 0)); };
  PyObject* d = dict.get();
  if (!set_item(d, "num_vectors", u64(s.num_vectors)) ||
      !set_item(d, "num_deleted", u64(s.num_deleted)) ||
      !set_item(d, "num_layers", u64(s.num_layers)) ||
      !set_item(d, "avg_degree_layer0", PyRef::steal(PyFloat_FromDouble(s.avg_degree_layer0))) ||
      !set_item(d, "max_degree_layer0", u64(s.max_degree_layer0)) ||
      !set_item(d, "min_degree_layer0", u64(s.min_degree_layer0)) ||
      !set_item(d, "memory_vectors_bytes", u64(s.memory_vectors_bytes)) ||
      !set_item(d, "memory_graph_bytes", u64(s.memory_graph_bytes)) ||
      !set_item(d, "memory_quantized_bytes", u64(s.memory_quantized_bytes)) ||
      !set_item(d, "uses_brute_force", boolean(s.uses_brute_force)) ||
      !set_item(d, "uses_quantized_search", boolean(s.uses_quantized_search)) ||
      !set_item(d, "uses_compressed_search", boolean(s.uses_compressed_search))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* db_enter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.__enter__", args, nargs, kwnames)) return nullptr;
  return Py_NewRef(self);
}

PyObject* db_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 0};
  if (!Arguments(sig, args, nargs, kwnames).ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.save(); });
  if (!result) return raise_core(result.error());
  Py_RETURN_FALSE;
}

// ---------------------------------------------------------------------------------------
// JSON export and import, file I/O included, without the GIL.

PyObject* db_export_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<2> sig{"Database.export_json", {"path", "pretty"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto path = a.convert(0, to_str);
  auto pretty = a.convert(1, to_bool, false);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return quarn_core::export_::export_json(db, *path, *pretty); });
  if (!result) return raise_value_error(result.error().message());
  return none();
}

PyObject* db_import_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.import_json", {"path"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto path = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return quarn_core::export_::import_json(db, *path); });
  if (!result) return raise_value_error(result.error().message());
  return none();
}

// ---------------------------------------------------------------------------------------
// Properties and protocols.

PyObject* get_dim(PyObject* self, void*) {
  auto held = handle(self);
  return held ? PyLong_FromSize_t(held->dim()) : nullptr;
}
PyObject* get_metric(PyObject* self, void*) {
  auto held = handle(self);
  if (!held) return nullptr;
  const auto name = quarn_core::distance::metric_name(held->metric());
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* get_quantized_search(PyObject* self, void*) {
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  return PyBool_FromLong(without_gil([&] { return db.quantized_search(); }) ? 1 : 0);
}
PyObject* get_deleted_count(PyObject* self, void*) {
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  return PyLong_FromSize_t(without_gil([&] { return db.deleted_count(); }));
}
PyObject* get_total_slots(PyObject* self, void*) {
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  return PyLong_FromSize_t(without_gil([&] { return db.total_slots(); }));
}
PyObject* get_exact_scan_limit(PyObject* self, void*) {
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  return PyLong_FromSize_t(without_gil([&] { return db.exact_scan_limit(); }));
}
PyObject* get_compressed_search(PyObject* self, void*) {
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  return PyBool_FromLong(without_gil([&] { return db.compressed_search(); }) ? 1 : 0);
}

Py_ssize_t database_len(PyObject* self) {
  auto held = handle(self);
  if (!held) return -1;
  const Database& db = *held;
  const std::size_t n = without_gil([&] { return db.count(); });
  if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "length does not fit a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(n);
}

int database_contains(PyObject* self, PyObject* value) {
  try {
    auto id = to_str(value, "id");
    if (!id) return -1;
    auto held = handle(self);
    if (!held) return -1;
    const Database& db = *held;
    return without_gil([&] { return db.contains(*id); }) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

// <Database path='docs' dim=3 metric='cosine' count=4>, or <Database path='docs' closed>.
PyObject* database_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto* wrapper = reinterpret_cast<PyDatabase*>(self);
    PyRef path = PyRef::steal(str_from(wrapper->path));
    if (!path) return nullptr;
    if (!wrapper->db) return PyUnicode_FromFormat("<Database path=%R closed>", path.get());
    std::shared_ptr<Database> db = wrapper->db;
    const std::size_t count = without_gil([&] { return db->count(); });
    const auto metric = quarn_core::distance::metric_name(db->metric());
    const std::string name(metric.data(), metric.size());
    return PyUnicode_FromFormat("<Database path=%R dim=%zu metric='%s' count=%zu>", path.get(),
                                db->dim(), name.c_str(), count);
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef database_methods[] = {
    {"add", as_cfunction<db_add>(), kFast, "add($self, id, vector, metadata=None)\n--\n\n"},
    {"upsert", as_cfunction<db_upsert>(), kFast,
     "upsert($self, id, vector, metadata=None)\n--\n\nAdd or update a vector."},
    {"add_many", as_cfunction<db_add_many>(), kFast,
     "add_many($self, ids, vectors, metadatas=None)\n--\n\n"},
    {"search", as_cfunction<db_search>(), kFast,
     "search($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)\n--\n\n"
     "Search for the k nearest neighbors.\n"
     "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
     "`where_filter`: optional dict like {\"field\": \"value\"} or "
     "{\"field\": {\"$ne\": \"value\"}}\n"
     "`max_distance`: optional float — discard results beyond this distance."},
    {"search_many", as_cfunction<db_search_many>(), kFast,
     "search_many($self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None)"
     "\n--\n\n"
     "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
     "`where_filter`: optional metadata filter (same syntax as search).\n"
     "`max_distance`: optional float — discard results beyond this distance."},
    {"get", as_cfunction<db_get>(), kFast, "get($self, id)\n--\n\n"},
    {"delete", as_cfunction<db_delete>(), kFast, "delete($self, id)\n--\n\n"},
    {"delete_many", as_cfunction<db_delete_many>(), kFast, "delete_many($self, ids)\n--\n\n"},
    {"update", as_cfunction<db_update>(), kFast,
     "update($self, id, vector=None, metadata=None)\n--\n\n"},
    {"upsert_many", as_cfunction<db_upsert_many>(), kFast,
     "upsert_many($self, ids, vectors, metadatas=None)\n--\n\n"
     "Batch upsert — inserts new vectors, updates existing ones."},
    {"count", as_cfunction<db_count>(), kFast,
     "count($self, where_filter=None)\n--\n\n"
     "Count vectors matching a filter, or all vectors if no filter."},
    {"ids", as_cfunction<db_ids>(), kFast, "ids($self)\n--\n\n"},
    {"save", as_cfunction<db_save>(), kFast, "save($self)\n--\n\n"},
    {"sync", as_cfunction<db_sync>(), kFast,
     "sync($self)\n--\n\n"
     "Make every change acknowledged so far durable against power loss (fsync of the log)."},
    {"close", as_cfunction<db_close>(), kFast,
     "close($self)\n--\n\n"
     "Release this handle without saving (changes stay in the log). When it is this\n"
     "process's last handle of the collection, the writer's role, the mapped vectors and\n"
     "the log file are released too. Any later call on this handle raises ValueError."},
    {"refresh", as_cfunction<db_refresh>(), kFast,
     "refresh($self)\n--\n\n"
     "Catch up now with what other processes saved and logged (every read does so\n"
     "by itself)."},
    {"compact", as_cfunction<db_compact>(), kFast,
     "compact($self)\n--\n\n"
     "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
     "Call this after many deletes to reduce memory usage and disk size."},
    {"reorder", as_cfunction<db_reorder>(), kFast,
     "reorder($self)\n--\n\n"
     "Renumber the stored vectors so that vectors near one another in space sit near one\n"
     "another in memory: searches of a large collection then read fewer scattered pages. Ids,\n"
     "vectors, metadata and search answers stay as they are. Not saved: call save()."},
    {"enable_quantized_search", as_cfunction<db_enable_quantized_search>(), kFast,
     "enable_quantized_search($self)\n--\n\n"
     "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
     "with full-precision re-ranking. Automatically enabled when quantize=True is set."},
    {"disable_quantized_search", as_cfunction<db_disable_quantized_search>(), kFast,
     "disable_quantized_search($self)\n--\n\nDisable quantized search."},
    {"stats", as_cfunction<db_stats>(), kFast,
     "stats($self)\n--\n\n"
     "Get graph-level statistics for diagnostics.\n"
     "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
     "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
     "memory_quantized_bytes, uses_brute_force, uses_quantized_search,\n"
     "uses_compressed_search."},
    {"__enter__", as_cfunction<db_enter>(), kFast,
     "__enter__($self)\n--\n\nContext manager: auto-save on exit."},
    {"__exit__", as_cfunction<db_exit>(), kFast,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {"export_json", as_cfunction<db_export_json>(), kFast,
     "export_json($self, path, pretty=False)\n--\n\n"
     "Export all vectors and metadata to a JSON file."},
    {"import_json", as_cfunction<db_import_json>(), kFast,
     "import_json($self, path)\n--\n\n"
     "Import vectors from a JSON file into this database (upsert semantics)."},
    // Full-text and hybrid search (database_text.cpp).
    {"create_text_index", as_cfunction<db_create_text_index>(), kFast, kCreateTextIndexDoc},
    {"drop_text_index", as_cfunction<db_drop_text_index>(), kFast, kDropTextIndexDoc},
    {"text_indexes", as_cfunction<db_text_indexes>(), kFast, kTextIndexesDoc},
    {"search_text", as_cfunction<db_search_text>(), kFast, kSearchTextDoc},
    {"hybrid_search", as_cfunction<db_hybrid_search>(), kFast, kHybridSearchDoc},
    // Checks, repair and tuning (database_tools.cpp).
    {"verify", as_cfunction<db_verify>(), kFast, kVerifyDoc},
    {"verify_path", as_cfunction<db_verify_path>(), kFast | METH_STATIC, kVerifyPathDoc},
    {"repair", as_cfunction<db_repair>(), kFast, kRepairDoc},
    {"repair_path", as_cfunction<db_repair_path>(), kFast | METH_CLASS, kRepairPathDoc},
    {"health", as_cfunction<db_health>(), kFast, kHealthDoc},
    {"calibrate", as_cfunction<db_calibrate>(), kFast, kCalibrateDoc},
    {"set_exact_scan_limit", as_cfunction<db_set_exact_scan_limit>(), kFast, kSetExactScanLimitDoc},
    {"set_compressed_search", as_cfunction<db_set_compressed_search>(), kFast,
     kSetCompressedSearchDoc},
    {"_export_with_progress", as_cfunction<db_export_with_progress>(), kFast,
     kExportWithProgressDoc},
    {"_import_with_progress", as_cfunction<db_import_with_progress>(), kFast,
     kImportWithProgressDoc},
    {"_recall_curve", as_cfunction<db_recall_curve>(), kFast, kRecallCurveDoc},
    // Bulk reads, deletes by filter, partial updates and loads (bulk.cpp).
    {"get_many", as_cfunction<db_get_many>(), kFast, kGetManyDoc},
    {"scan", as_cfunction<db_scan>(), kFast, kScanDoc},
    {"to_pandas", as_cfunction<db_to_pandas>(), kFast, kToPandasDoc},
    {"delete_where", as_cfunction<db_delete_where>(), kFast, kDeleteWhereDoc},
    {"update_metadata", as_cfunction<db_update_metadata>(), kFast, kUpdateMetadataDoc},
    {"load", as_cfunction<db_load>(), kFast, kLoadDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef database_getset[] = {
    {"dim", get_dim, nullptr, nullptr, nullptr},
    {"metric", get_metric, nullptr, nullptr, nullptr},
    {"quantized_search", get_quantized_search, nullptr,
     "Whether quantized search is currently enabled.", nullptr},
    {"deleted_count", get_deleted_count, nullptr,
     "Number of deleted slots that haven't been reclaimed.", nullptr},
    {"total_slots", get_total_slots, nullptr, "Total allocated slots (active + deleted).", nullptr},
    {"exact_scan_limit", get_exact_scan_limit, nullptr,
     "Live floats (len * dim) below which searches scan exactly; see set_exact_scan_limit.",
     nullptr},
    {"compressed_search", get_compressed_search, nullptr,
     "Whether graph searches walk on 4-bit codes; see set_compressed_search.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot database_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Database(path, dim=None, metric=None, m=None, ef_construction=None, "
                       "quantize=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(database_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_methods, database_methods},
    {Py_tp_getset, database_getset},
    {Py_sq_length, reinterpret_cast<void*>(database_len)},
    {Py_sq_contains, reinterpret_cast<void*>(database_contains)},
    {Py_tp_repr, reinterpret_cast<void*>(database_repr)},
    {0, nullptr},
};

PyType_Spec database_type_spec = {
    // Qualified, so that __module__ is set: CPython deprecates heap types without one.
    "quarn._quarn.Database", sizeof(PyDatabase), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    database_slots,
};

}  // namespace

PyType_Spec* database_spec() { return &database_type_spec; }

std::shared_ptr<Database> handle(PyObject* self) {
  const auto& db = reinterpret_cast<PyDatabase*>(self)->db;
  if (!db) PyErr_SetString(PyExc_ValueError, "the database is closed");
  return db;
}

PyObject* search_results(PyObject* self, std::vector<quarn_core::db::SearchResult>& hits) {
  PyTypeObject* type = result_type(self);
  if (type == nullptr) return nullptr;
  return results_to_list(type, hits);
}

PyObject* wrap_database(PyTypeObject* type, std::shared_ptr<Database> db) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* wrapper = reinterpret_cast<PyDatabase*>(self);
  // Nothing throws once the fields are in place: the path is copied first.
  std::string path = db->path().string();
  new (&wrapper->path) std::string(std::move(path));
  new (&wrapper->db) std::shared_ptr<Database>(std::move(db));
  return self;
}

}  // namespace quarn_py
