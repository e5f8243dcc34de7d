// PyBufferView: a PEP 3118 view of an object's memory, released with the view.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>

namespace quarn_py {

// Holds a strided read-only buffer for its lifetime. The element type is recognised from
// the format string; only native-order float32 and float64 are of interest here.
class PyBufferView {
 public:
  enum class Element { Other, F32, F64 };

  // The view, or nullopt (with no exception left set) when the object exports none.
  static std::optional<PyBufferView> acquire(PyObject* obj) {
    PyBufferView view;
    if (PyObject_GetBuffer(obj, &view.buffer_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return std::nullopt;
    }
    view.held_ = true;
    return view;
  }

  // A writable C-contiguous view, or nullopt with the exporter's exception left set.
  static std::optional<PyBufferView> acquire_writable(PyObject* obj) {
    PyBufferView view;
    if (PyObject_GetBuffer(obj, &view.buffer_, PyBUF_CONTIG | PyBUF_FORMAT) != 0) {
      return std::nullopt;
    }
    view.held_ = true;
    return view;
  }

  PyBufferView(const PyBufferView&) = delete;
  PyBufferView& operator=(const PyBufferView&) = delete;
  PyBufferView(PyBufferView&& other) noexcept
      : buffer_(other.buffer_), held_(std::exchange(other.held_, false)) {}
  PyBufferView& operator=(PyBufferView&&) = delete;
  ~PyBufferView() {
    if (held_) PyBuffer_Release(&buffer_);
  }

  int ndim() const { return buffer_.ndim; }
  Py_ssize_t shape(int axis) const { return buffer_.shape[axis]; }
  Py_ssize_t stride(int axis) const { return buffer_.strides[axis]; }
  bool contiguous() const {
    return PyBuffer_IsContiguous(&buffer_, 'C') || PyBuffer_IsContiguous(&buffer_, 'F');
  }

  Element element() const {
    const char* format = buffer_.format != nullptr ? buffer_.format : "B";
    char order = '@';
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') {
      order = *format++;
    }
    const bool native = order == '@' || order == '=' ||
                        (order == '<' && std::endian::native == std::endian::little) ||
                        ((order == '>' || order == '!') && std::endian::native == std::endian::big);
    if (!native || format[0] == '\0' || format[1] != '\0') return Element::Other;
    if (format[0] == 'f' && buffer_.itemsize == 4) return Element::F32;
    if (format[0] == 'd' && buffer_.itemsize == 8) return Element::F64;
    return Element::Other;
  }

  // Element at a byte offset, read without assuming alignment.
  template <class T>
  T read(Py_ssize_t offset) const {
    T value;
    std::memcpy(&value, static_cast<const char*>(buffer_.buf) + offset, sizeof(T));
    return value;
  }
  const char* data() const { return static_cast<const char*>(buffer_.buf); }
  // The memory of a view taken with acquire_writable.
  void* writable_data() const { return buffer_.buf; }
  Py_ssize_t length() const { return buffer_.len; }

 private:
  PyBufferView() = default;
  Py_buffer buffer_{};
  bool held_ = false;
};

}  // namespace quarn_py
