// Argument parsing for every method (vectorcall) and constructor (tuple and dict), with
// CPython's own wording for missing, surplus, duplicated and unknown arguments.
#pragma once

#include <Python.h>

#include <cstddef>

namespace quarn_py {

// The parameters of one callable, all positional-or-keyword; the first `required` have
// no default. `function` is how errors name it, e.g. "Database.add".
struct ArgSpec {
  const char* function;
  const char* const* names;
  int count;
  int required;
};

// Fills out[0..count) with borrowed references, nullptr for an optional argument not given.
// Returns false with a TypeError set. out must have room for spec.count pointers.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);
// The same for tp_init/tp_new style calls; kwargs may be nullptr.
bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quarn_py
