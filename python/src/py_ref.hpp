// PyRef: the one owner of a PyObject reference in the binding.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn_py {

// Owns one strong reference (or none). Raw pointers enter only through steal() (a new
// reference we now own) or borrow() (a borrowed one we take our own reference to), so every
// conversion site names its ownership. Move-only; release() hands the reference out and is
// meant for `return` statements.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quarn_py
