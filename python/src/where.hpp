// The object of quarn.Where: a filter in the richer condition language, parsed once and
// kept compiled, so that a call taking a where_filter copies it rather than parsing a dict.
#pragma once

#include <Python.h>

#include <cstddef>

#include "quarn_core/filter.hpp"

namespace quarn_py {

// Immutable once made.
struct PyWhere {
  PyObject_HEAD
  quarn_core::db::Filter filter;
  std::size_t depth;  // how deep its conditions nest, counted in dicts
};

// The type's deallocator, here rather than in where.cpp because its address is how an object
// is known to be a Where (convert.cpp): the type cannot be subclassed, and no other type,
// whatever its name, can have this function as its tp_dealloc.
inline void where_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyWhere*>(self)->filter.~Filter();
  type->tp_free(self);
  Py_DECREF(type);
}

inline bool is_where(PyObject* obj) { return Py_TYPE(obj)->tp_dealloc == &where_dealloc; }

}  // namespace quarn_py
