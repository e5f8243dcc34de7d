#include "args.hpp"

#include <string>

namespace quarn_py {
namespace {

std::string prefix(const ArgSpec& spec) { return std::string(spec.function) + "() "; }

bool too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  std::string message = prefix(spec) + "takes ";
  if (spec.required == spec.count) {
    message += std::to_string(spec.count);
  } else {
    message += "from " + std::to_string(spec.required) + " to " + std::to_string(spec.count);
  }
  message += spec.count == 1 ? " positional argument but " : " positional arguments but ";
  message += std::to_string(given) + (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool missing_required(const ArgSpec& spec, PyObject** out) {
  int missing = 0;
  for (int i = 0; i < spec.required; ++i) missing += out[i] == nullptr ? 1 : 0;
  std::string names;
  int seen = 0;
  for (int i = 0; i < spec.required; ++i) {
    if (out[i] != nullptr) continue;
    ++seen;
    if (seen > 1) names += missing == 2 ? " and " : (seen == missing ? ", and " : ", ");
    names += std::string("'") + spec.names[i] + "'";
  }
  std::string message = prefix(spec) + "missing " + std::to_string(missing) + " required " +
                        (missing == 1 ? "positional argument: " : "positional arguments: ") +
                        names;
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// Places one keyword argument; false with a TypeError set when it is unknown or repeated.
bool assign_keyword(const ArgSpec& spec, PyObject* name, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (int i = 0; i < spec.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, spec.names[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.function,
                   spec.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.function,
               name);
  return false;
}

bool fill_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  for (int i = 0; i < spec.count; ++i) out[i] = nullptr;
  if (nargs > spec.count) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

bool check_required(const ArgSpec& spec, PyObject** out) {
  for (int i = 0; i < spec.required; ++i) {
    if (out[i] == nullptr) return missing_required(spec, out);
  }
  return true;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!fill_positional(spec, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!assign_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return check_required(spec, out);
}

bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  if (!fill_positional(spec, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!assign_keyword(spec, name, value, out)) return false;
    }
  }
  return check_required(spec, out);
}

bool no_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* none[1];
  return parse_args(ArgSpec{function, nullptr, 0, 0}, args, nargs, kwnames, none);
}

}  // namespace quarn_py
