// The object of quarn.Where: a filter in the richer condition language, parsed once and
// kept compiled, so that a call taking a where_filter copies it rather than parsing a dict.
#pragma once

#include <Python.h>

#include <cstddef>

#include "quarn_core/filter.hpp"

namespace quarn_py {

// Immutable once made; the type cannot be subclassed, so an object whose type carries its
// name has this layout (convert.cpp recognises it that way).
struct PyWhere {
  PyObject_HEAD
  quarn_core::db::Filter filter;
  std::size_t depth;  // how deep its conditions nest, counted in dicts
};

inline constexpr const char* kWhereTypeName = "quarn._quarn.Where";

}  // namespace quarn_py
