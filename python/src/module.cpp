// The extension module _quarn: created once per process, holding the four types.
#include <Python.h>

#include <cstdint>

#include "module.hpp"
#include "py_ref.hpp"

namespace quarn_py {
namespace {

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->database_type);
  Py_VISIT(state->search_result_type);
  Py_VISIT(state->client_type);
  Py_VISIT(state->where_type);
  return 0;
}

int module_clear(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->database_type);
  Py_CLEAR(state->search_result_type);
  Py_CLEAR(state->client_type);
  Py_CLEAR(state->where_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// Creates the type, keeps it in the state and exposes it under its name and in __all__.
bool add_type(PyObject* module, PyObject* all, PyType_Spec* spec, PyObject** slot,
              const char* name) {
  PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
  if (type == nullptr) return false;
  *slot = type;  // the state owns this reference
  if (PyModule_AddObjectRef(module, name, type) < 0) return false;
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&quarn_module_def));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  }
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module.get()));
  if (!add_type(module.get(), all.get(), database_spec(), &state->database_type, "Database") ||
      !add_type(module.get(), all.get(), search_result_spec(), &state->search_result_type,
                "SearchResult") ||
      !add_type(module.get(), all.get(), client_spec(), &state->client_type, "Client") ||
      !add_type(module.get(), all.get(), where_spec(), &state->where_type, "Where")) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyModuleDef quarn_module_def = {
    PyModuleDef_HEAD_INIT,
    "_quarn",
    "",
    sizeof(ModuleState),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace quarn_py

// The module is made once per process and handed out again on re-initialisation (after a
// reload or a removal from sys.modules), because the types it holds are tied to it. Only the
// interpreter that first imported it may use it: the core's objects are not meant to cross
// interpreters. These two process-wide values are the only globals of the extension.
PyMODINIT_FUNC PyInit__quarn() {
  static PyObject* made = nullptr;
  static std::int64_t owner = -1;
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (owner != -1 && owner != current) {
    PyErr_SetString(PyExc_ImportError,
                    "_quarn can only be imported by the first interpreter that imported it");
    return nullptr;
  }
  if (made != nullptr) return Py_NewRef(made);
  PyObject* module = quarn_py::create_module();
  if (module == nullptr) return nullptr;
  made = Py_NewRef(module);  // kept for the life of the process
  owner = current;
  return module;
}
