// Database.get_many, scan, to_pandas, delete_where, update_metadata and load: many records
// read, deleted or written per call. Each converts with the GIL held and runs the core work
// without it; load and scan give the GIL back between their batches, where load also runs
// the progress display and checks for signals (Ctrl-C).
#include "bulk.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "database_tools.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "py_ref.hpp"

namespace quarn_py {

const char kGetManyDoc[] =
    "get_many($self, ids, include=('vectors', 'metadata'), missing='raise')\n--\n\n"
    "Read many records at once, in the order of ids.\n"
    "Returns a dict: ids (the ids read), vectors (one float32 NumPy array of shape (n, dim),\n"
    "or a list of lists of floats without NumPy) and metadatas (a list of dicts or None),\n"
    "each only when named in include. The keys are add_many's parameter names, so a result\n"
    "can be passed on as add_many(**result). An id that is not stored raises ValueError\n"
    "naming the first one; missing='skip' leaves such ids out instead.";
const char kScanDoc[] =
    "scan($self, where_filter=None, batch_size=1000, include=('vectors', 'metadata'))\n--\n\n"
    "Iterate over the collection (or the records where_filter selects) in batches.\n"
    "Yields dicts as get_many returns them, of up to batch_size records each, in the order\n"
    "the records were stored. No lock is held between batches, so the collection may be\n"
    "changed meanwhile: every record that stays stored is yielded exactly once, a deleted\n"
    "one is not yielded after its deletion, and one added is yielded if the scan has not\n"
    "passed its place. After compact(), repair() or reorder() the scan raises ValueError.";
const char kToPandasDoc[] =
    "to_pandas($self, where_filter=None, include=('vectors', 'metadata'))\n--\n\n"
    "The collection (or the records where_filter selects) as a pandas DataFrame.\n"
    "Columns: id, vector (one float32 array per row) and metadata (a dict or None), the\n"
    "last two when named in include; rows in stored order. Needs pandas (the optional\n"
    "extra quarn[pandas], or Debian's python3-pandas).";
const char kDeleteWhereDoc[] =
    "delete_where($self, where_filter)\n--\n\n"
    "Delete every record where_filter selects; returns how many were deleted.\n"
    "Logged as one batch, as delete_many is. where_filter=None is refused (it would select\n"
    "every record); an empty dict selects none.";
const char kUpdateMetadataDoc[] =
    "update_metadata($self, id, patch)\n--\n\n"
    "Merge the top-level keys of the dict patch into the record's metadata.\n"
    "A key whose value is None is removed; any other is set, replacing what it held. The\n"
    "merged metadata is logged as one record, and concurrent patches of one record each\n"
    "apply on top of the other. update(id, metadata=...) replaces the metadata instead.";
const char kLoadDoc[] =
    "load($self, ids, vectors, metadatas=None, batch_size=None, progress=None)\n--\n\n"
    "add_many in batches of batch_size rows, each logged as one batch; returns the rows\n"
    "added. Every row is checked first, duplicate ids included, so a load fails before it\n"
    "adds anything or not at all. progress: None shows a tqdm bar on a terminal once the\n"
    "load has run for 2 seconds; True always; False never; a callable is called as\n"
    "progress(done, total) after each batch. Signals are handled between batches: on\n"
    "Ctrl-C the load stops and raises KeyboardInterrupt saying how many rows were added.\n"
    "Those rows are stored (durable as any acknowledged write), the rest are not; the\n"
    "exception's rows_loaded attribute holds their number, as it does for any exception\n"
    "raised once the first batch has been added. batch_size=None takes a size at which\n"
    "a load runs about as fast as one add_many.";

namespace {

using quarn_core::db::Database;
using quarn_core::db::Filter;
using quarn_core::db::Metadata;
using quarn_core::db::ReadFields;
using quarn_core::db::ScanCursor;

bool* numpy_flag(PyObject* self) {
  ModuleState* state = state_of(Py_TYPE(self));
  return state == nullptr ? nullptr : &state->numpy_unavailable;
}

// Sets dict[key] = value with a plain key: PyDict_SetItemString would intern it, and on
// CPython 3.11 every call would then add and remove the same entries of the interpreter's
// interned table (as stats() explains), which grows it for a while.
bool set_key(PyObject* dict, const char* key, PyObject* value) {
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  return name && PyDict_SetItem(dict, name.get(), value) == 0;
}

// {"ids": [...], "vectors": ..., "metadatas": [...]}, the last two when read.
PyObject* records_dict(PyRef ids, PyRef vectors, PyRef metadata) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !ids || !set_key(dict.get(), "ids", ids.get())) return nullptr;
  if (vectors && !set_key(dict.get(), "vectors", vectors.get())) return nullptr;
  if (metadata && !set_key(dict.get(), "metadatas", metadata.get())) return nullptr;
  return dict.release();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// get_many

PyObject* db_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.get_many", {"ids", "include", "missing"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto ids = a.convert(0, to_ids);
  auto fields = a.convert(1, to_read_fields);
  auto skip = a.convert(2, to_skip_missing);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  bool* numpy_unavailable = numpy_flag(self);
  if (!held || numpy_unavailable == nullptr) return nullptr;
  const Database& db = *held;
  std::optional<F32Output> out = fields->vectors
                                     ? F32Output::make(ids->size(), db.dim(), numpy_unavailable)
                                     : std::nullopt;
  if (fields->vectors && !out) return nullptr;
  const std::span<float> rows = out ? out->data() : std::span<float>();
  auto result = without_gil([&] { return db.get_many(*ids, *fields, *skip, rows); });
  if (!result) return raise_core(result.error());
  std::vector<std::string> found;
  if (result->found.size() == ids->size()) {
    found = std::move(*ids);
  } else {
    found.reserve(result->found.size());
    for (std::size_t i : result->found) found.push_back(std::move((*ids)[i]));
  }
  PyRef vectors = out ? PyRef::steal(out->finish(found.size())) : PyRef();
  if (out && !vectors) return nullptr;
  PyRef metadata = fields->metadata ? PyRef::steal(metadata_list(result->metadata)) : PyRef();
  if (fields->metadata && !metadata) return nullptr;
  return records_dict(PyRef::steal(strings_to_list(found)), std::move(vectors),
                      std::move(metadata));
}

// ---------------------------------------------------------------------------------------
// scan: iter(next_batch, None), with next_batch a function bound to the scan's own state.

namespace {

struct ScanState {
  std::shared_ptr<Database> db;
  std::optional<Filter> filter;
  ReadFields fields;
  std::size_t batch_size = 0;
  ScanCursor cursor;
  bool* numpy_unavailable = nullptr;  // in the module state, which lives as long as the process
  bool busy = false;                  // a batch is being read (in another thread)
};

constexpr const char* kScanCapsule = "quarn.scan";

void free_scan_state(PyObject* capsule) {
  delete static_cast<ScanState*>(PyCapsule_GetPointer(capsule, kScanCapsule));
}

PyObject* scan_next(PyObject* capsule, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* state = static_cast<ScanState*>(PyCapsule_GetPointer(capsule, kScanCapsule));
    if (state == nullptr) return nullptr;
    if (state->busy) return raise_value_error("scan already executing in another thread");
    if (state->cursor.done) Py_RETURN_NONE;  // the end: iter() stops at None
    const Database& db = *state->db;
    // No more rows than slots are left to look at: a batch_size far above the collection's
    // size allocates no more than the collection needs. (Slots added meanwhile wait for the
    // next batch.)
    state->busy = true;
    const std::size_t slots = without_gil([&] { return db.total_slots(); });
    state->busy = false;
    const std::size_t left = slots > state->cursor.slot ? slots - state->cursor.slot : 1;
    const std::size_t limit = std::min(state->batch_size, left);
    std::optional<F32Output> out =
        state->fields.vectors ? F32Output::make(limit, db.dim(), state->numpy_unavailable)
                              : std::nullopt;
    if (state->fields.vectors && !out) return nullptr;
    const std::span<float> rows = out ? out->data() : std::span<float>();
    state->busy = true;
    auto batch = without_gil([&] {
      return db.scan(state->cursor, limit, state->filter ? &*state->filter : nullptr,
                     state->fields, rows);
    });
    state->busy = false;
    if (!batch) {
      state->cursor.done = true;
      return raise_core(batch.error());
    }
    state->cursor = batch->next;
    if (batch->ids.empty()) Py_RETURN_NONE;  // only possible at the end
    PyRef vectors = out ? PyRef::steal(out->finish(batch->ids.size())) : PyRef();
    if (out && !vectors) return nullptr;
    PyRef metadata =
        state->fields.metadata ? PyRef::steal(metadata_list(batch->metadata)) : PyRef();
    if (state->fields.metadata && !metadata) return nullptr;
    return records_dict(PyRef::steal(strings_to_list(batch->ids)), std::move(vectors),
                        std::move(metadata));
  });
}

PyMethodDef scan_next_def = {"scan_next", scan_next, METH_NOARGS, nullptr};

}  // namespace

PyObject* db_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> sig{"Database.scan", {"where_filter", "batch_size", "include"}, 0};
  Arguments a(sig, args, nargs, kwnames);
  auto filter = a.convert(0, to_opt_filter);
  auto batch_size = a.convert(1, to_batch_size, std::size_t{1000});
  auto fields = a.convert(2, to_read_fields);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  bool* numpy_unavailable = numpy_flag(self);
  if (!held || numpy_unavailable == nullptr) return nullptr;
  auto state = std::make_unique<ScanState>();
  state->db = std::move(held);
  state->filter = std::move(*filter);
  state->fields = *fields;
  state->batch_size = *batch_size;
  state->numpy_unavailable = numpy_unavailable;
  PyRef capsule = PyRef::steal(PyCapsule_New(state.get(), kScanCapsule, free_scan_state));
  if (!capsule) return nullptr;
  state.release();  // the capsule owns it now
  PyRef next = PyRef::steal(PyCFunction_New(&scan_next_def, capsule.get()));
  if (!next) return nullptr;
  return PyCallIter_New(next.get(), Py_None);
}

// ---------------------------------------------------------------------------------------
// to_pandas

PyObject* db_to_pandas(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static constexpr Signature<2> sig{"Database.to_pandas", {"where_filter", "include"}, 0};
  Arguments a(sig, args, nargs, kwnames);
  auto filter = a.convert(0, to_opt_filter);
  auto fields = a.convert(1, to_read_fields);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  bool* numpy_unavailable = numpy_flag(self);
  if (!held || numpy_unavailable == nullptr) return nullptr;
  // Before anything is read: without pandas there is nothing to read into.
  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  if (!pandas) {
    PyRef cause = take_exception();
    PyErr_SetString(PyExc_ImportError,
                    "to_pandas needs pandas (the optional extra quarn[pandas], or Debian's "
                    "python3-pandas); get_many and scan need nothing");
    PyRef error = take_exception();
    PyException_SetCause(error.get(), cause.release());  // steals the cause
    restore_exception(std::move(error));
    return nullptr;
  }
  const Database& db = *held;
  // Batches of the scan, gathered: the vectors into one block, made an array at the end.
  std::vector<std::string> ids;
  std::vector<Metadata> metadata;
  std::vector<float> block;
  ScanCursor cursor;
  constexpr std::size_t kBatch = 1 << 16;
  while (!cursor.done) {
    const std::size_t before = block.size();
    if (fields->vectors) block.resize(before + kBatch * db.dim());
    const std::span<float> rows =
        fields->vectors ? std::span<float>(block).subspan(before) : std::span<float>();
    auto batch = without_gil([&] {
      return db.scan(cursor, kBatch, *filter ? &**filter : nullptr, *fields, rows);
    });
    if (!batch) return raise_core(batch.error());
    cursor = batch->next;
    if (fields->vectors) block.resize(before + batch->ids.size() * db.dim());
    for (auto& id : batch->ids) ids.push_back(std::move(id));
    for (auto& m : batch->metadata) metadata.push_back(std::move(m));
  }
  PyRef columns = PyRef::steal(PyDict_New());
  if (!columns) return nullptr;
  PyRef id_column = PyRef::steal(strings_to_list(ids));
  if (!id_column || !set_key(columns.get(), "id", id_column.get())) return nullptr;
  if (fields->vectors) {
    auto out = F32Output::make(ids.size(), db.dim(), numpy_unavailable);
    if (!out) return nullptr;
    std::copy(block.begin(), block.end(), out->data().begin());
    PyRef vectors = PyRef::steal(out->finish(ids.size()));
    // One array per row: the rows of the block (views of it) or the lists.
    PyRef rows = vectors ? PyRef::steal(PySequence_List(vectors.get())) : PyRef();
    if (!rows || !set_key(columns.get(), "vector", rows.get())) return nullptr;
  }
  if (fields->metadata) {
    PyRef column = PyRef::steal(metadata_list(metadata));
    if (!column || !set_key(columns.get(), "metadata", column.get())) return nullptr;
  }
  PyRef frame = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!frame) return nullptr;
  return PyObject_CallOneArg(frame.get(), columns.get());
}

// ---------------------------------------------------------------------------------------
// delete_where and update_metadata

PyObject* db_delete_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Signature<1> sig{"Database.delete_where", {"where_filter"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto filter = a.convert(0, to_opt_filter);
  if (!a.ok()) return nullptr;
  if (!*filter) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'where_filter': delete_where needs a filter, not None (which "
                    "would select every record; delete_many(ids()) deletes them all)");
    return nullptr;
  }
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  auto result = without_gil([&] { return db.delete_where(**filter); });
  if (!result) return raise_core(result.error());
  return PyLong_FromSize_t(*result);
}

PyObject* db_update_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr Signature<2> sig{"Database.update_metadata", {"id", "patch"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  auto id = a.convert(0, to_str);
  auto patch = a.convert(1, to_patch);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  return none_or_raise(without_gil([&] { return db.update_metadata(*id, *patch); }));
}

// ---------------------------------------------------------------------------------------
// load

namespace {

// What load shows of its progress: a caller's callable, a tqdm bar, or nothing.
class LoadProgress {
 public:
  // progress: None (a bar on a terminal after kAutoAfter), True, False or a callable.
  // nullopt with TypeError for anything else, or ImportError for True without tqdm.
  static std::optional<LoadProgress> make(PyObject* progress, std::size_t total) {
    LoadProgress out;
    out.total_ = total;
    out.start_ = std::chrono::steady_clock::now();
    if (progress == nullptr || progress == Py_None) {
      out.automatic_ = true;
    } else if (progress == Py_True) {
      if (!out.open_bar(0, true)) return std::nullopt;
    } else if (progress != Py_False) {
      if (!PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError,
                        "argument 'progress': expected None, True, False or a callable");
        return std::nullopt;
      }
      out.callable_ = PyRef::borrow(progress);
    }
    return out;
  }

  // After each batch; false with the callable's (or tqdm's) exception set.
  bool update(std::size_t done) {
    if (callable_) {
      PyRef r = PyRef::steal(PyObject_CallFunction(callable_.get(), "nn",
                                                   static_cast<Py_ssize_t>(done),
                                                   static_cast<Py_ssize_t>(total_)));
      return static_cast<bool>(r);
    }
    if (automatic_ && !bar_ && done < total_ &&
        std::chrono::steady_clock::now() - start_ >= kAutoAfter && stderr_is_terminal()) {
      automatic_ = false;
      if (!open_bar(shown_, false)) return false;
    }
    if (bar_) {
      PyRef r = PyRef::steal(PyObject_CallMethod(bar_.get(), "update", "n",
                                                 static_cast<Py_ssize_t>(done - shown_)));
      if (!r) return false;
    }
    shown_ = done;
    return true;
  }

  // Closes the bar, keeping any exception already set.
  void close() {
    if (!bar_) return;
    PyRef pending = take_exception();
    PyRef r = PyRef::steal(PyObject_CallMethod(bar_.get(), "close", nullptr));
    if (!r) PyErr_Clear();
    bar_ = PyRef();
    restore_exception(std::move(pending));
  }

 private:
  static constexpr std::chrono::seconds kAutoAfter{2};

  static bool stderr_is_terminal() {
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    if (err == nullptr || err == Py_None) return false;
    PyRef r = PyRef::steal(PyObject_CallMethod(err, "isatty", nullptr));
    if (!r) {
      PyErr_Clear();
      return false;
    }
    return r.get() == Py_True;
  }

  // A tqdm bar starting at `initial`. Without tqdm: ImportError when `required`, else none.
  bool open_bar(std::size_t initial, bool required) {
    PyRef module = PyRef::steal(PyImport_ImportModule("tqdm"));
    if (!module) {
      if (!required) {
        PyErr_Clear();
        return true;
      }
      PyErr_SetString(PyExc_ImportError, "progress=True needs tqdm (Debian's python3-tqdm)");
      return false;
    }
    PyRef tqdm = PyRef::steal(PyObject_GetAttrString(module.get(), "tqdm"));
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    PyRef kwargs = PyRef::steal(Py_BuildValue(
        "{s:n,s:n,s:s,s:s,s:O}", "total", static_cast<Py_ssize_t>(total_), "initial",
        static_cast<Py_ssize_t>(initial), "desc", "load", "unit", "vec", "file",
        err != nullptr ? err : Py_None));
    PyRef none = PyRef::steal(PyTuple_New(0));
    if (!tqdm || !kwargs || !none) return false;
    bar_ = PyRef::steal(PyObject_Call(tqdm.get(), none.get(), kwargs.get()));
    return static_cast<bool>(bar_);
  }

  PyRef callable_;
  PyRef bar_;
  bool automatic_ = false;
  std::size_t total_ = 0, shown_ = 0;
  std::chrono::steady_clock::time_point start_;
};

// Notes on the pending exception how many rows were added before it: the rows_loaded
// attribute, and for Ctrl-C a message that says so.
void note_rows_loaded(std::size_t done, std::size_t total) {
  PyRef error = take_exception();
  if (!error) return;
  const std::string text = "load interrupted after " + std::to_string(done) + " of " +
                           std::to_string(total) + " rows: those rows are stored, the rest are not";
  if (PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt)) {
    PyRef replacement =
        PyRef::steal(PyObject_CallFunction(PyExc_KeyboardInterrupt, "s", text.c_str()));
    if (replacement) {
      PyException_SetContext(replacement.get(), error.release());  // steals the original
      error = std::move(replacement);
    } else {
      PyErr_Clear();
    }
  }
  PyRef count = PyRef::steal(PyLong_FromSize_t(done));
  if (!count || PyObject_SetAttrString(error.get(), "rows_loaded", count.get()) != 0) {
    PyErr_Clear();  // an exception that takes no attributes keeps its own form
  }
  restore_exception(std::move(error));
}

// The position of the first id that is stored or named before, in order, or -1.
std::ptrdiff_t first_duplicate(const Database& db, const std::vector<std::string>& ids,
                               quarn_core::Result<quarn_core::db::FoundRecords>& stored) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(ids.size());
  std::ptrdiff_t repeated = -1;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (!seen.insert(ids[i]).second) {
      repeated = static_cast<std::ptrdiff_t>(i);
      break;
    }
  }
  stored = without_gil([&] {
    return db.get_many(ids, ReadFields{false, false}, true, std::span<float>());
  });
  if (!stored || stored->found.empty()) return repeated;
  const auto first = static_cast<std::ptrdiff_t>(stored->found.front());
  return repeated < 0 ? first : std::min(first, repeated);
}

}  // namespace

PyObject* db_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<5> sig{
      "Database.load", {"ids", "vectors", "metadatas", "batch_size", "progress"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  auto ids = a.convert(0, to_ids);
  if (!a.ok()) return nullptr;
  auto held = handle(self);
  if (!held) return nullptr;
  Database& db = *held;
  const std::size_t dim = db.dim();

  // The rows as one block: a C-contiguous float32 array as it is, anything else copied.
  std::optional<F32Rows> given = c_contiguous_f32_rows(a[1]);
  if (!given && PyErr_Occurred()) return nullptr;
  std::vector<float> copied;
  std::span<const float> block;
  std::size_t rows = 0, width = dim;
  if (given) {
    block = given->data;
    rows = given->count;
    width = given->width;
  } else {
    auto vectors = a.convert(1, to_vectors);
    if (!a.ok()) return nullptr;
    rows = vectors->size();
    for (const auto& v : *vectors) {
      if (v.size() != dim) return raise_core(quarn_core::QuarnError::dimension_mismatch(dim, v.size()));
    }
    copied.reserve(rows * dim);
    for (const auto& v : *vectors) copied.insert(copied.end(), v.begin(), v.end());
    block = copied;
  }
  if (!check_metadatas(a[2], "metadatas")) return nullptr;
  auto metadatas = to_batch_metadatas(a[2], ids->size(), rows);
  if (!metadatas) return nullptr;
  auto batch_size = a.convert(3, to_batch_size, Database::load_batch_rows());
  if (!a.ok()) return nullptr;
  if (rows > 0 && width != dim) {
    return raise_core(quarn_core::QuarnError::dimension_mismatch(dim, width));
  }
  if (!check_finite_rows(block, width, *ids)) return nullptr;
  quarn_core::Result<quarn_core::db::FoundRecords> stored = quarn_core::db::FoundRecords{};
  const std::ptrdiff_t duplicate = first_duplicate(db, *ids, stored);
  if (!stored) return raise_core(stored.error());
  if (duplicate >= 0) {
    return raise_core(quarn_core::QuarnError::duplicate_id((*ids)[static_cast<std::size_t>(duplicate)]));
  }
  auto progress = LoadProgress::make(a[4], rows);
  if (!progress) return nullptr;

  std::size_t done = 0;
  while (done < rows) {
    const std::size_t n = std::min(*batch_size, rows - done);
    std::vector<std::string> chunk_ids(std::make_move_iterator(ids->begin() + done),
                                       std::make_move_iterator(ids->begin() + done + n));
    std::vector<Metadata> chunk_metadata(std::make_move_iterator(metadatas->begin() + done),
                                         std::make_move_iterator(metadatas->begin() + done + n));
    const auto chunk = block.subspan(done * dim, n * dim);
    auto result = without_gil([&] {
      return db.add_many_flat(std::move(chunk_ids), chunk, dim, std::move(chunk_metadata));
    });
    if (!result) {
      raise_core(result.error());
      if (done > 0) note_rows_loaded(done, rows);
      progress->close();
      return nullptr;
    }
    done += n;
    // The progress first, so that a bar shows the last batch before an interruption.
    if (!progress->update(done) || PyErr_CheckSignals() != 0) {
      note_rows_loaded(done, rows);
      progress->close();
      return nullptr;
    }
  }
  progress->close();
  return PyLong_FromSize_t(done);
}

}  // namespace quarn_py
