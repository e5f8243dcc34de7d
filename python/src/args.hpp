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

// The parse of a method without parameters, e.g. no_args("Database.save", ...): false with a
// TypeError set for any argument given.
bool no_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The parameters of one callable with their number in the type, each method's own static
// constant: {"Database.update", {"id", "vector", "metadata"}, 1}.
template <int N>
struct Signature {
  static_assert(N > 0, "a method without parameters parses with no_args");
  const char* function;
  const char* names[N];
  int required;

  ArgSpec spec() const { return {function, names, N, required}; }
};

// The arguments of one call, parsed against its signature and converted one by one with the
// to_* functions of convert.hpp, which name each argument by its parameter. The first step
// that fails, the parse or a conversion, leaves its exception set and turns every later
// conversion into an empty optional without a call: a method converts in parameter order,
// then tests ok() once before it uses what it converted.
template <int N>
class Arguments {
 public:
  Arguments(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
            PyObject* kwnames)
      : signature_(signature), ok_(parse_args(signature.spec(), args, nargs, kwnames, at_)) {}
  // The tp_new form; kwargs may be nullptr.
  Arguments(const Signature<N>& signature, PyObject* args, PyObject* kwargs)
      : signature_(signature), ok_(parse_args(signature.spec(), args, kwargs, at_)) {}
  // The signature is referred to, so it must outlive the call: a static constant.
  Arguments(const Signature<N>&&, PyObject* const*, Py_ssize_t, PyObject*) = delete;
  Arguments(const Signature<N>&&, PyObject*, PyObject*) = delete;

  bool ok() const { return ok_; }

  // The object given for parameter i (borrowed), nullptr for an optional one not given.
  PyObject* operator[](int i) const { return at_[i]; }

  // to(argument i, its parameter name, extra...): for {"id", "vector", "metadata"},
  // convert(0, to_str) is to_str(at[0], "id"); extra arguments follow, as to_bool's fallback.
  template <class To, class... Extra>
  auto convert(int i, To to, const Extra&... extra) {
    using Out = decltype(to(at_[i], signature_.names[i], extra...));
    if (!ok_) return Out();
    Out out = to(at_[i], signature_.names[i], extra...);
    ok_ = out.has_value();
    return out;
  }

 private:
  const Signature<N>& signature_;
  PyObject* at_[N];
  bool ok_;
};

}  // namespace quarn_py
