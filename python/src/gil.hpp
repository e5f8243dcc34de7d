// Running core work with the interpreter lock released.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn_py {

// Calls f() with the GIL released and returns its result once the GIL is held again, also
// when f throws. f must not touch any PyObject nor call back into Python; it may take core
// locks, which is why the GIL is never held while waiting for one.
template <class F>
decltype(auto) without_gil(F&& f) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(f)();
}

}  // namespace quarn_py
