// Client: a root directory of named collections. The core owns the rules (names, what counts
// as a collection, listing order); this class converts arguments, calls it with the GIL held
// and hands out a new Database object for every collection it opens or creates.
#include "quarn_core/client.hpp"

#include <Python.h>

#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "py_ref.hpp"

namespace quarn_py {
namespace {

namespace client = quarn_core::client;
using quarn_core::db::Database;
using quarn_core::db::DatabaseConfig;

struct PyClient {
  PyObject_HEAD
      // The root as given: a relative root is resolved against the working directory per call.
      std::string root;
};

std::filesystem::path root_of(PyObject* self) {
  return std::filesystem::path(reinterpret_cast<PyClient*>(self)->root);
}

// The core result of an open or create as a Python Database of this module.
PyObject* to_database(PyObject* self, quarn_core::Result<std::shared_ptr<Database>>&& opened) {
  if (!opened) return raise_core(opened.error());
  ModuleState* state = state_of(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  return wrap_database(reinterpret_cast<PyTypeObject*>(state->database_type), std::move(*opened));
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"Client.__new__", {"path"}, 1};
    Arguments a(sig, args, kwargs);
    auto path = a.convert(0, to_str);
    if (!a.ok()) return nullptr;
    if (auto made = client::ensure_root(*path); !made) return raise_core(made.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PyClient*>(self)->root) std::string(std::move(*path));
    return self;
  });
}

void client_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyClient*>(self)->root.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* client_create_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr Signature<6> sig{
      "Client.create_collection", {"name", "dim", "metric", "m", "ef_construction", "quantize"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  auto name = a.convert(0, to_str);
  auto dim = a.convert(1, to_index);
  auto metric_name = a.convert(2, to_opt_str);
  auto m = a.convert(3, to_opt_index);
  auto ef_construction = a.convert(4, to_opt_index);
  auto quantize = a.convert(5, to_bool, false);
  if (!a.ok()) return nullptr;

  // The argument checks come before the name, as in the Database constructor.
  auto metric = parse_metric(metric_name->value_or("cosine"));
  if (!metric) return nullptr;
  DatabaseConfig config;
  config.m = m->value_or(16);
  config.ef_construction = ef_construction->value_or(200);
  config.quantize = *quantize;
  if (auto bad = quarn_core::db::check_new_collection(*dim, config)) {
    return raise_value_error(*bad);
  }
  const auto root = root_of(self);
  return to_database(self, without_gil([&] {
                       return client::create_collection(root, *name, *dim, *metric, config);
                     }));
}

PyObject* client_get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static constexpr Signature<1> sig{"Client.get_collection", {"name"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto name = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  const auto root = root_of(self);
  return to_database(self, without_gil([&] { return client::get_collection(root, *name); }));
}

PyObject* client_get_or_create_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  static constexpr Signature<3> sig{
      "Client.get_or_create_collection", {"name", "dim", "metric"}, 2};
  Arguments a(sig, args, nargs, kwnames);
  auto name = a.convert(0, to_str);
  auto dim = a.convert(1, to_index);
  auto metric_name = a.convert(2, to_opt_str);
  if (!a.ok()) return nullptr;
  auto metric = parse_metric(metric_name->value_or("cosine"));
  if (!metric) return nullptr;
  if (auto bad = quarn_core::db::check_new_collection(*dim, DatabaseConfig{})) {
    return raise_value_error(*bad);
  }
  const auto root = root_of(self);
  return to_database(self, without_gil([&] {
                       return client::get_or_create_collection(root, *name, *dim, *metric);
                     }));
}

PyObject* client_delete_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr Signature<1> sig{"Client.delete_collection", {"name"}, 1};
  Arguments a(sig, args, nargs, kwnames);
  auto name = a.convert(0, to_str);
  if (!a.ok()) return nullptr;
  auto deleted = client::delete_collection(root_of(self), *name);
  if (!deleted) return raise_core(deleted.error());
  return PyBool_FromLong(*deleted ? 1 : 0);
}

PyObject* client_list_collections(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  if (!no_args("Client.list_collections", args, nargs, kwnames)) return nullptr;
  auto names = client::list_collections(root_of(self));
  if (!names) return raise_core(names.error());
  return strings_to_list(*names);
}

// <Client root='collections' collections=['articles', 'notes']>: the names listed now, the
// first kShown of them with a count of the rest.
PyObject* client_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    constexpr std::size_t kShown = 10;
    PyRef root = PyRef::steal(str_from(reinterpret_cast<PyClient*>(self)->root));
    if (!root) return nullptr;
    auto names = client::list_collections(root_of(self));
    if (!names) {
      const std::string reason = names.error().to_string();
      return PyUnicode_FromFormat("<Client root=%R unreadable: %s>", root.get(), reason.c_str());
    }
    const std::size_t total = names->size();
    if (total > kShown) names->resize(kShown);
    PyRef shown = PyRef::steal(strings_to_list(*names));
    if (!shown) return nullptr;
    if (total > kShown) {
      return PyUnicode_FromFormat("<Client root=%R collections=%R and %zu more>", root.get(),
                                  shown.get(), total - kShown);
    }
    return PyUnicode_FromFormat("<Client root=%R collections=%R>", root.get(), shown.get());
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef client_methods[] = {
    {"create_collection", as_cfunction<client_create_collection>(), kFast,
     "create_collection($self, name, dim, metric=None, m=None, ef_construction=None, "
     "quantize=False)\n--\n\n"
     "Create a new collection. Fails if it already exists."},
    {"get_collection", as_cfunction<client_get_collection>(), kFast,
     "get_collection($self, name)\n--\n\nGet an existing collection by name."},
    {"get_or_create_collection", as_cfunction<client_get_or_create_collection>(), kFast,
     "get_or_create_collection($self, name, dim, metric=None)\n--\n\nGet or create a collection."},
    {"delete_collection", as_cfunction<client_delete_collection>(), kFast,
     "delete_collection($self, name)\n--\n\nDelete a collection and all its data."},
    {"list_collections", as_cfunction<client_list_collections>(), kFast,
     "list_collections($self)\n--\n\nList all collection names."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_doc, const_cast<char*>("Client(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_repr, reinterpret_cast<void*>(client_repr)},
    {0, nullptr},
};

PyType_Spec client_type_spec = {
    // Qualified, so that __module__ is set: CPython deprecates heap types without one.
    "quarn._quarn.Client", sizeof(PyClient), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    client_slots,
};

}  // namespace

PyType_Spec* client_spec() { return &client_type_spec; }

}  // namespace quarn_py
