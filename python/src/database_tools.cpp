// Database.verify, verify_path, repair, repair_path, health, calibrate, set_exact_scan_limit
// and set_compressed_search, and the private helpers of the quarn command. Each parses with
// the GIL held, runs the core call without it (except the transfers, which call back into
// Python) and builds a plain dict or list.
#include "database_tools.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "quarn_core/export.hpp"

namespace quarn_py {

const char kVerifyDoc[] =
    "verify($self)\n--\n\n"
    "Check the collection without changing it.\n"
    "Returns a dict: ok (bool), problems (list of str, each naming the file or structure it\n"
    "concerns), nodes, live, unreachable (live nodes that no search from the entry point\n"
    "reaches on layer 0: a count, not a problem, as an undamaged graph can have them) and\n"
    "log_records. Checks the saved files among themselves (sizes,\n"
    "counts, every record of graph.quarn, the stored norms, the log up to where a replay\n"
    "stops, with the offset) and the state in memory (neighbour lists, entry point,\n"
    "reachability, the id maps, the metadata index against the metadata, each text index\n"
    "against one built afresh). Runs without the GIL; mutations wait until it ends.";

const char kVerifyPathDoc[] =
    "verify_path(path)\n--\n\n"
    "Check the files of a collection, also one that cannot be opened, without opening it.\n"
    "Every file is only read: nothing is recovered, cut or locked. Returns the dict of\n"
    "verify(), with the graph, id and reachability checks made on the files. Raises\n"
    "ValueError when the directory holds no collection.";

const char kRepairDoc[] =
    "repair($self)\n--\n\n"
    "Rebuild the graph from the stored vectors of every live id.\n"
    "Deleted slots are dropped as compact() drops them, also when nothing is deleted; ids,\n"
    "vectors and metadata stay as they are. Returns a dict: ids, tombstones_dropped,\n"
    "log_entries and lost (list of str: what could not be kept, such as vectors no id\n"
    "names). Not saved: call save().";

const char kRepairPathDoc[] =
    "repair_path($cls, path)\n--\n\n"
    "Rebuild the collection at path from what its files still hold, and open it.\n"
    "The vectors come from vectors.bin, the ids and metadata from the metadata section of\n"
    "graph.quarn, found and checked even when the node records before it are damaged; the\n"
    "log is then replayed and the collection saved. Returns (Database, report), the report\n"
    "as repair()'s, its lost listing everything that could not be recovered (nothing is\n"
    "made up). Raises ValueError when too little is left to rebuild from (the dimension or\n"
    "metric cannot be told, no id is readable) or when an id that graph.quarn names would\n"
    "be dropped, its vector being in neither vectors.bin nor the log; the files are then\n"
    "left as they are.";

const char kHealthDoc[] =
    "health($self)\n--\n\n"
    "Graph health figures, cheap enough to call often.\n"
    "Returns a dict: num_vectors, num_deleted, tombstone_ratio, layer_counts (live nodes per\n"
    "layer, layer 0 first), unreachable (live nodes no search reaches), exact_search,\n"
    "default_ef (the width of a k=10 search without ef_search), calibrated_ef and\n"
    "calibrated_k (None without a calibration), estimated_recall (recall@10 at default_ef\n"
    "against the exact scan), recall_sample (the queries it was measured on), recall_source\n"
    "and suggestions. recall_source says where estimated_recall comes from: 'calibrate'\n"
    "when a width calibrated for k=10 is in use (what calibrate measured there on its\n"
    "held-out sample, while the collection has not grown or shrunk by more than 10% since),\n"
    "'sample' when it was measured now on a fixed-seed sample of at most 200 stored vectors,\n"
    "each searched for as if it were not in the graph (this reads low at narrow widths:\n"
    "about 0.92 where unseen queries reach 0.95 on Fashion-MNIST), 'exact' when searches\n"
    "scan exactly (1.0, a sample of 0). Suggestions: compact when more than 20% of the\n"
    "slots are deleted, repair when more than one live vector is unreachable, calibrate\n"
    "when searches run at the built-in default width (naming the speed measured there and\n"
    "at a width estimated to reach recall 0.95) or when the collection has changed by more\n"
    "than 10% since it was calibrated.";

const char kCalibrateDoc[] =
    "calibrate($self, target_recall, k=10)\n--\n\n"
    "Find and keep the smallest ef_search that reaches target_recall.\n"
    "recall@k is measured on a fixed-seed sample of the collection's own vectors (up\n"
    "to 4000, at most a tenth of the collection), searched for in a graph built from all\n"
    "the others with the collection's parameters (about the cost of one build). The width found "
    "becomes the default of search and search_many when\n"
    "ef_search is None (for a larger k it grows in proportion, ef * k / k_calibrated) and\n"
    "is kept in calibration.json in the collection directory, so it survives save and\n"
    "reopen. Returns it. Raises ValueError when no width reaches the target.\n"
    "On a collection small enough to be scanned exactly every search is exact: calibrate\n"
    "then measures nothing, drops any earlier calibration and returns the built-in default\n"
    "for k, max(200, k + floor(10 * sqrt(k))).";

const char kSetExactScanLimitDoc[] =
    "set_exact_scan_limit($self, floats)\n--\n\n"
    "Choose when this collection is scanned exactly rather than searched through its graph.\n"
    "Searches scan exactly while the live vectors hold fewer than `floats` floats in all\n"
    "(len(db) * dim), and walk the graph from there on: 0 always walks the graph, a very\n"
    "large number always scans. None restores the default, 10,000,000. The choice applies\n"
    "to search, search_many, filtered searches, stats, health and calibrate, and is kept at\n"
    "once in exact_scan.json in the collection directory, so it survives save and reopen\n"
    "(handles already open elsewhere keep the limit they read when they opened).";

const char kSetCompressedSearchDoc[] =
    "set_compressed_search($self, on)\n--\n\n"
    "Walk the graph on 4-bit codes of the vectors and measure only the final candidates at\n"
    "full precision: faster searches on large collections, same results in most cases. Kept\n"
    "in traversal.json in the collection directory, so it survives save and reopen.";

const char kExportWithProgressDoc[] =
    "_export_with_progress($self, path, pretty, progress)\n--\n\n"
    "export_json that calls progress(done, total) as it goes (for the quarn command).";

const char kImportWithProgressDoc[] =
    "_import_with_progress($self, path, progress)\n--\n\n"
    "import_json in blocks, calling progress(done, total) after each (for the quarn command).";

const char kRecallCurveDoc[] =
    "_recall_curve($self, sample, k, efs, held_out=False)\n--\n\n"
    "(ids, recalls, exact_search): recall@k at each width of efs on a fixed-seed sample of\n"
    "up to `sample` stored vectors, whose ids come first (for quarn bench). held_out=True\n"
    "measures as calibrate does (the sample searched for in a graph built of the others,\n"
    "at the cost of one build); False as health() estimates (each vector searched for in\n"
    "the collection's own graph as if it were not there).";

namespace {

using quarn_core::db::Database;

// Builds a dict in insertion order; the first failure sticks and finish() returns nullptr.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyRef::steal(PyDict_New())) {}
  DictBuilder& add(const char* key, PyObject* value) {  // steals value
    PyRef owned = PyRef::steal(value);
    if (!dict_ || !owned) {
      dict_ = PyRef();
      return *this;
    }
    // Plain (not interned) keys, as stats() makes them.
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (!name || PyDict_SetItem(dict_.get(), name.get(), owned.get()) != 0) dict_ = PyRef();
    return *this;
  }
  DictBuilder& add_size(const char* key, std::size_t v) { return add(key, PyLong_FromSize_t(v)); }
  PyObject* finish() { return dict_.release(); }

 private:
  PyRef dict_;
};

PyObject* optional_size(const std::optional<std::size_t>& v) {
  return v ? PyLong_FromSize_t(*v) : Py_NewRef(Py_None);
}

PyObject* verify_dict(const quarn_core::db::VerifyReport& r) {
  return DictBuilder()
      .add("ok", PyBool_FromLong(r.ok() ? 1 : 0))
      .add("problems", strings_to_list(r.problems))
      .add_size("nodes", r.nodes)
      .add_size("live", r.live)
      .add_size("unreachable", r.unreachable)
      .add_size("log_records", r.log_records)
      .finish();
}

PyObject* repair_dict(const quarn_core::db::RepairReport& r) {
  return DictBuilder()
      .add_size("ids", r.ids)
      .add_size("tombstones_dropped", r.tombstones_dropped)
      .add_size("log_entries", r.log_entries)
      .add("lost", strings_to_list(r.lost))
      .finish();
}

PyObject* sizes_to_list(const std::vector<std::size_t>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// A Progress that calls a Python callable (GIL held). A raised exception stops the transfer
// and stays set for the caller to propagate.
quarn_core::export_::Progress progress_of(PyObject* callable) {
  if (callable == nullptr || callable == Py_None) return {};
  return [callable](std::size_t done, std::size_t total) {
    PyRef r = PyRef::steal(PyObject_CallFunction(callable, "nn", static_cast<Py_ssize_t>(done),
                                                 static_cast<Py_ssize_t>(total)));
    return static_cast<bool>(r);
  };
}

bool check_callable(PyObject* obj, const char* name) {
  if (obj == Py_None || PyCallable_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected a callable or None", name);
  return false;
}

}  // namespace

PyObject* db_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.verify", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  auto report = without_gil([&] { return db.verify(); });
  return verify_dict(report);
}

PyObject* db_verify_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.verify_path", {"path"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto path = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto report = without_gil([&] { return Database::verify_path(*path); });
  if (!report) return raise_core(report.error());
  return verify_dict(*report);
}

PyObject* db_repair(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.repair", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto report = without_gil([&] { return db.repair(); });
  return repair_dict(report);
}

PyObject* db_repair_path(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.repair_path", {"path"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto path = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto repaired = without_gil([&] { return Database::repair_path(*path); });
  if (!repaired) return raise_core(repaired.error());
  PyRef report = PyRef::steal(repair_dict(repaired->second));
  if (!report) return nullptr;
  PyRef db =
      PyRef::steal(wrap_database(reinterpret_cast<PyTypeObject*>(cls), std::move(repaired->first)));
  if (!db) return nullptr;
  return PyTuple_Pack(2, db.get(), report.get());
}

PyObject* db_health(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("Database.health", args, nargs, kwnames)) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  const auto h = without_gil([&] { return db.health(); });
  return DictBuilder()
      .add_size("num_vectors", h.num_vectors)
      .add_size("num_deleted", h.num_deleted)
      .add("tombstone_ratio", PyFloat_FromDouble(h.tombstone_ratio))
      .add("layer_counts", sizes_to_list(h.layer_counts))
      .add_size("unreachable", h.unreachable)
      .add("exact_search", PyBool_FromLong(h.exact_search ? 1 : 0))
      .add_size("default_ef", h.default_ef)
      .add("calibrated_ef", optional_size(h.calibrated_ef))
      .add("calibrated_k", optional_size(h.calibrated_k))
      .add("estimated_recall", PyFloat_FromDouble(h.estimated_recall))
      .add_size("recall_sample", h.recall_sample)
      .add("recall_source", str_from(h.recall_source))
      .add("suggestions", strings_to_list(h.suggestions))
      .finish();
}

PyObject* db_calibrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> sig{"Database.calibrate", {"target_recall", "k"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto target = a.convert(0, to_f64);
  auto k = a.convert(1, to_index_or, std::size_t{10});
  if (!a.ok()) return nullptr;
  if (!(*target > 0.0 && *target <= 1.0)) {
    return raise_value_error("target_recall must be above 0 and at most 1");
  }
  if (*k == 0) return raise_value_error("k must be at least 1");
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.calibrate(*target, *k); });
  if (!result) return raise_core(result.error());
  if (!result->reached) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "target recall %g is out of reach: recall@%zu is %.4f at ef_search %zu, the "
                  "widest tried",
                  *target, *k, result->recall, result->ef_search);
    return raise_value_error(message);
  }
  return PyLong_FromSize_t(result->ef_search);
}

PyObject* db_set_exact_scan_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.set_exact_scan_limit", {"floats"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto floats = a.convert(0, to_opt_index);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.set_exact_scan_limit(*floats); });
  if (!result) return raise_core(result.error());
  Py_RETURN_NONE;
}

PyObject* db_set_compressed_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.set_compressed_search", {"on"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto on = a.convert(0, to_bool, false);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.set_compressed_search(*on); });
  if (!result) return raise_core(result.error());
  Py_RETURN_NONE;
}

PyObject* db_export_with_progress(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr Signature<3> sig{
      "Database._export_with_progress", {"path", "pretty", "progress"}, 3};
  Arguments a(sig, args, nargs, kwnames);
  auto path = a.convert(0, to_str);
  auto pretty = a.convert(1, to_bool, false);
  if (!a.ok() || !check_callable(a[2], "progress")) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  auto result = quarn_core::export_::export_json(*held, *path, *pretty, progress_of(a[2]));
  if (PyErr_Occurred()) return nullptr;  // raised by progress
  if (!result) return raise_value_error(result.error().message());
  Py_RETURN_NONE;
}

PyObject* db_import_with_progress(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr Signature<2> sig{"Database._import_with_progress", {"path", "progress"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  auto path = a.convert(0, to_str);
  if (!a.ok() || !check_callable(a[1], "progress")) return nullptr;
  auto progress = progress_of(a[1]);
  if (!progress) progress = [](std::size_t, std::size_t) { return true; };
  auto held = handle(self);
  if (!held) return nullptr;
  auto result = quarn_core::export_::import_json(*held, *path, progress);
  if (PyErr_Occurred()) return nullptr;  // raised by progress
  if (!result) return raise_value_error(result.error().message());
  Py_RETURN_NONE;
}

PyObject* db_recall_curve(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Signature<4> sig{
      "Database._recall_curve", {"sample", "k", "efs", "held_out"}, 3};
  Arguments a(sig, args, nargs, kwnames);
  auto sample = a.convert(0, to_index);
  auto k = a.convert(1, to_index);
  auto efs = a.convert(2, to_indices);
  auto held_out = a.convert(3, to_bool, false);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  const Database& db = *held;
  const auto curve =
      without_gil([&] { return db.recall_curve(*sample, *k, *efs, *held_out); });
  PyRef ids = PyRef::steal(strings_to_list(curve.ids));
  PyRef recalls = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(curve.recall.size())));
  if (!ids || !recalls) return nullptr;
  for (std::size_t i = 0; i < curve.recall.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(curve.recall[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(recalls.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return PyTuple_Pack(3, ids.get(), recalls.get(), curve.exact_search ? Py_True : Py_False);
}

}  // namespace quarn_py
