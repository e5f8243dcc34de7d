// Client: a root directory of named collections. Only construction lives here so far.
#include <Python.h>

#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "args.hpp"
#include "convert.hpp"
#include "module.hpp"

namespace quarn_py {
namespace {

struct PyClient {
  PyObject_HEAD
  // The root as given: a relative root is resolved against the working directory per call.
  std::string root;
};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const ArgSpec spec{"Client.__new__", names, 1, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, kwargs, a)) return nullptr;
    auto path = to_str(a[0], "path");
    if (!path) return nullptr;
    std::error_code ec;
    std::filesystem::create_directories(*path, ec);
    if (ec) {
      return raise_core(
          quarn_core::QuarnError::io(quarn_core::error::IoError::from_errno(ec.value())));
    }
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

PyType_Slot client_slots[] = {
    {Py_tp_doc, const_cast<char*>("Client(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {0, nullptr},
};

PyType_Spec client_type_spec = {
    // Qualified, so that __module__ is set: CPython deprecates heap types without one.
    "quarn._quarn.Client",
    sizeof(PyClient),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    client_slots,
};

}  // namespace

PyType_Spec* client_spec() { return &client_type_spec; }

}  // namespace quarn_py
