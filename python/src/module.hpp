// What the module's types share: the module state, the definition used to find it, and the
// glue that turns a C++ method body into a CPython-callable function.
#pragma once

#include <Python.h>

#include <exception>
#include <memory>
#include <new>

#include "quarn_core/db.hpp"

namespace quarn_py {

// Owned by the module object; every type reaches it through its defining module.
struct ModuleState {
  PyObject* database_type = nullptr;
  PyObject* search_result_type = nullptr;
  PyObject* client_type = nullptr;
  PyObject* where_type = nullptr;
  // NumPy failed to import once: bulk reads return lists from then on.
  bool numpy_unavailable = false;
};

extern PyModuleDef quarn_module_def;

inline ModuleState* state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &quarn_module_def);
  if (module == nullptr) return nullptr;
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

PyType_Spec* database_spec();
PyType_Spec* search_result_spec();
PyType_Spec* client_spec();
PyType_Spec* where_spec();

// A new Database object of `type` (the module's Database type or a subclass) owning `db`,
// or nullptr with an exception set. The constructor and every Client method end here.
PyObject* wrap_database(PyTypeObject* type, std::shared_ptr<quarn_core::db::Database> db);

// A new SearchResult of the module's type, or nullptr with an exception set.
PyObject* make_search_result(PyTypeObject* type, quarn_core::db::SearchResult&& hit);

// Translates any C++ exception escaping a method body (allocation failure, mostly) into a
// Python exception, so none crosses into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastMethod F>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] { return F(self, args, nargs, kwnames); });
}

// The PyCFunction form CPython's method table wants; the flags tell it the real signature.
template <FastMethod F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_method<F>));
}

}  // namespace quarn_py
