#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "buffer_view.hpp"
#include "py_ref.hpp"
#include "where.hpp"

namespace quarn_py {

using quarn_core::db::Filter;
namespace json = quarn_core::json;

namespace {

// The type's short name (`__name__`), as error messages show it.
std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return text;
}

// The one template for every failed type test.
void type_test_error(PyObject* obj, const char* target) {
  const std::string message =
      "'" + type_name(obj) + "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());  // steals it
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));  // steals all three
#endif
}

namespace {

std::string str_of(PyObject* obj) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<exception str() failed>";
  }
  return utf8;
}

// "TypeName: message", then ", caused by TypeName: message" for each __cause__ in turn.
std::string render_exception(PyObject* exception) {
  std::string out;
  PyRef current = PyRef::borrow(exception);
  while (current) {
    if (!out.empty()) out += ", caused by ";
    out += type_name(current.get()) + ": " + str_of(current.get());
    current = PyRef::steal(PyException_GetCause(current.get()));
  }
  return out;
}

// Prefixes a pending TypeError with the argument's name; other exceptions stay as they are.
void name_argument(const char* name) {
  if (name == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef exception = take_exception();
  const std::string message = std::string("argument '") + name + "': " + str_of(exception.get());
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool has_type_named(PyObject* obj, const char* full_name) {
  PyObject* mro = Py_TYPE(obj)->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) {
    return std::strcmp(Py_TYPE(obj)->tp_name, full_name) == 0;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (std::strcmp(type->tp_name, full_name) == 0) return true;
  }
  return false;
}

// NumPy is never imported here: its array type is recognised by its name.
bool is_ndarray(PyObject* obj) { return has_type_named(obj, "numpy.ndarray"); }
bool is_exact_ndarray(PyObject* obj) {
  return std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") == 0;
}
bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

std::optional<float> item_to_f32(PyObject* item) {
  if (PyFloat_CheckExact(item)) return static_cast<float>(PyFloat_AS_DOUBLE(item));
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return static_cast<float>(value);
}

// A 1-D float32/float64 ndarray read through its buffer gives the same values as iterating
// it (each element widened to double, then rounded to f32) without a Python object per
// element. Only exact ndarrays qualify: subclasses may iterate differently.
std::optional<std::vector<float>> read_ndarray_1d(PyObject* obj) {
  if (!is_exact_ndarray(obj)) return std::nullopt;
  auto view = PyBufferView::acquire(obj);
  if (!view || view->ndim() != 1) return std::nullopt;
  const auto element = view->element();
  if (element == PyBufferView::Element::Other) return std::nullopt;
  const Py_ssize_t n = view->shape(0);
  const Py_ssize_t stride = view->stride(0);
  std::vector<float> out(static_cast<std::size_t>(n));
  if (element == PyBufferView::Element::F32) {
    if (stride == sizeof(float)) {
      if (n > 0) std::memcpy(out.data(), view->data(), out.size() * sizeof(float));
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) out[i] = view->read<float>(i * stride);
    }
  } else {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<float>(view->read<double>(i * stride));
  }
  return out;
}

// Sequence extraction: refuses str and non-sequences, then converts item by item with
// `convert` (which returns an optional); the first failing item ends it with its error.
template <class T, class Convert>
std::optional<std::vector<T>> extract_sequence(PyObject* obj, Convert&& convert) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(obj)) {
    type_test_error(obj, "Sequence");
    return std::nullopt;
  }
  std::vector<T> out;
  if (PyList_Check(obj)) {
    // The size is re-read each step: an item's conversion may run Python code that
    // shrinks the list, and each item is held while it is converted.
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
      auto value = convert(item.get());
      if (!value) return std::nullopt;
      out.push_back(std::move(*value));
    }
    return out;
  }
  if (PyTuple_Check(obj)) {
    out.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(obj)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
      auto value = convert(PyTuple_GET_ITEM(obj, i));
      if (!value) return std::nullopt;
      out.push_back(std::move(*value));
    }
    return out;
  }
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) PyErr_Clear();
  out.reserve(hint > 0 ? static_cast<std::size_t>(hint) : 0);
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    auto value = convert(item.get());
    if (!value) return std::nullopt;
    out.push_back(std::move(*value));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

std::optional<std::vector<float>> extract_f32_sequence(PyObject* obj) {
  if (auto fast = read_ndarray_1d(obj)) return fast;
  return extract_sequence<float>(obj, item_to_f32);
}

std::optional<std::string> item_to_string(PyObject* item) {
  if (!PyUnicode_Check(item)) {
    type_test_error(item, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<std::size_t>(size));
}

// One failed variant of a union, as it appears in the union's message.
std::string variant_failure(const char* field) {
  PyRef cause = take_exception();
  return std::string("TypeError: failed to extract field ") + field + ", caused by " +
         render_exception(cause.get());
}

void union_error(const char* name, const std::string& message) {
  const std::string text = std::string("argument '") + name + "': " + message;
  PyErr_SetString(PyExc_TypeError, text.c_str());
}

// A float32 NumPy array of the given number of dimensions in native byte order, or nullopt
// with the type-test error set.
std::optional<PyBufferView> numpy_f32_view(PyObject* obj, int ndim) {
  if (is_ndarray(obj)) {
    auto view = PyBufferView::acquire(obj);
    if (view && view->ndim() == ndim && view->element() == PyBufferView::Element::F32) {
      return view;
    }
  }
  type_test_error(obj, "PyArray<T, D>");
  return std::nullopt;
}

PyObject* import_json_function(const char* function) {
  PyRef module = PyRef::steal(PyImport_ImportModule("json"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), function);
}

// pythonize_dict: the dict's json.dumps text, parsed into a JSON value.
std::optional<json::Value> pythonize_dict(PyObject* dict) {
  PyRef dumps = PyRef::steal(import_json_function("dumps"));
  if (!dumps) return std::nullopt;
  PyRef text = PyRef::steal(PyObject_CallOneArg(dumps.get(), dict));
  if (!text) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return std::nullopt;
  const std::string_view view(utf8, static_cast<std::size_t>(size));
  if (auto value = json::parse(view)) return value;
  // Only the failure path asks the parser for its diagnosis (NaN and Infinity tokens).
  std::string reason = "invalid JSON";
  try {
    const auto unused = nlohmann::json::parse(view);
    (void)unused;
  } catch (const nlohmann::json::exception& e) {
    reason = e.what();
  }
  raise_value_error("invalid metadata: " + reason);
  return std::nullopt;
}

}  // namespace

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

PyObject* raise_core(const quarn_core::QuarnError& error) {
  return raise_value_error(error.to_string());
}

PyObject* none_or_raise(const quarn_core::Result<void>& result) {
  if (!result) return raise_core(result.error());
  Py_RETURN_NONE;
}

std::optional<std::string> to_str(PyObject* obj, const char* name) {
  auto out = item_to_string(obj);
  if (!out) name_argument(name);
  return out;
}

std::optional<std::optional<std::string>> to_opt_str(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string>();
  auto out = to_str(obj, name);
  if (!out) return std::nullopt;
  return std::optional<std::string>(std::move(*out));
}

std::optional<std::size_t> to_index(PyObject* obj, const char* name) {
  PyRef number = PyRef::steal(PyNumber_Index(obj));
  if (!number) {
    name_argument(name);
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_argument(name);
    return std::nullopt;
  }
  return static_cast<std::size_t>(value);
}

std::optional<std::size_t> to_index_or(PyObject* obj, const char* name, std::size_t fallback) {
  if (obj == nullptr) return fallback;
  return to_index(obj, name);
}

std::optional<std::optional<std::size_t>> to_opt_index(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::size_t>();
  auto out = to_index(obj, name);
  if (!out) return std::nullopt;
  return std::optional<std::size_t>(*out);
}

std::optional<bool> to_bool(PyObject* obj, const char* name, bool fallback) {
  if (obj == nullptr) return fallback;
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return std::nullopt;
    return truth == 1;
  }
  type_test_error(obj, "PyBool");
  name_argument(name);
  return std::nullopt;
}

std::optional<std::optional<float>> to_opt_f32(PyObject* obj, const char* name) {
  std::optional<std::optional<float>> out(std::in_place);
  if (obj == nullptr || obj == Py_None) return out;
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    name_argument(name);
    return std::nullopt;
  }
  out->emplace(static_cast<float>(value));
  return out;
}

std::optional<double> to_f64(PyObject* obj, const char* name) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    name_argument(name);
    return std::nullopt;
  }
  return value;
}

std::optional<std::optional<std::pair<double, double>>> to_opt_pair(PyObject* obj,
                                                                    const char* name) {
  std::optional<std::optional<std::pair<double, double>>> out(std::in_place);
  if (obj == nullptr || obj == Py_None) return out;
  if (!(PyTuple_Check(obj) || PyList_Check(obj)) || PySequence_Size(obj) != 2) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a pair of numbers", name);
    return std::nullopt;
  }
  double values[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    // Borrowed: the tuple or list holds the item.
    PyObject* item = PyTuple_Check(obj) ? PyTuple_GET_ITEM(obj, i) : PyList_GET_ITEM(obj, i);
    values[i] = PyFloat_AsDouble(item);
    if (values[i] == -1.0 && PyErr_Occurred()) {
      name_argument(name);
      return std::nullopt;
    }
  }
  out->emplace(values[0], values[1]);
  return out;
}

std::optional<quarn_core::distance::Metric> parse_metric(const std::string& name) {
  if (auto metric = quarn_core::distance::parse_metric(name)) return metric;
  raise_value_error("metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
  return std::nullopt;
}

std::optional<std::vector<float>> to_vector(PyObject* obj, const char* name) {
  if (auto list = extract_f32_sequence(obj)) return list;
  const std::string list_failure = variant_failure("VectorInput::List.0");
  auto view = numpy_f32_view(obj, 1);
  if (!view) {
    const std::string numpy_failure = variant_failure("VectorInput::Numpy.0");
    union_error(name,
                "failed to extract enum VectorInput ('List | Numpy')\n- variant List (List): " +
                    list_failure + "\n- variant Numpy (Numpy): " + numpy_failure);
    return std::nullopt;
  }
  // Reached only by arrays that are not sequences; they must be contiguous.
  if (!view->contiguous()) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return std::nullopt;
  }
  std::vector<float> out(static_cast<std::size_t>(view->shape(0)));
  if (!out.empty()) std::memcpy(out.data(), view->data(), out.size() * sizeof(float));
  return out;
}

std::optional<std::vector<std::vector<float>>> to_vectors(PyObject* obj, const char* name) {
  if (auto view = numpy_f32_view(obj, 2)) {
    if (!view->contiguous()) {
      PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
      return std::nullopt;
    }
    const Py_ssize_t rows = view->shape(0);
    const Py_ssize_t cols = view->shape(1);
    const Py_ssize_t row_stride = view->stride(0);
    const Py_ssize_t col_stride = view->stride(1);
    std::vector<std::vector<float>> out(static_cast<std::size_t>(rows));
    for (Py_ssize_t i = 0; i < rows; ++i) {
      auto& row = out[static_cast<std::size_t>(i)];
      row.resize(static_cast<std::size_t>(cols));
      if (cols == 0) continue;
      if (col_stride == sizeof(float)) {
        std::memcpy(row.data(), view->data() + i * row_stride, row.size() * sizeof(float));
      } else {
        // Fortran order: the row's elements are a column stride apart.
        for (Py_ssize_t j = 0; j < cols; ++j) {
          row[static_cast<std::size_t>(j)] = view->read<float>(i * row_stride + j * col_stride);
        }
      }
    }
    return out;
  }
  const std::string numpy_failure = variant_failure("BatchVectorInput::Numpy.0");
  auto lists = extract_sequence<std::vector<float>>(obj, extract_f32_sequence);
  if (lists) return lists;
  const std::string lists_failure = variant_failure("BatchVectorInput::Lists.0");
  union_error(
      name, "failed to extract enum BatchVectorInput ('Numpy | Lists')\n- variant Numpy (Numpy): " +
                numpy_failure + "\n- variant Lists (Lists): " + lists_failure);
  return std::nullopt;
}

namespace {

// Raises for the first non-finite component of `vector`; false when there is one.
[[gnu::noinline]] bool report_non_finite(std::span<const float> vector, const std::string& what) {
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (std::isfinite(vector[i])) continue;
    const char* kind = std::isnan(vector[i]) ? "nan" : vector[i] > 0 ? "inf" : "-inf";
    raise_value_error(what + " has a non-finite component (" + kind + ") at index " +
                      std::to_string(i));
    return false;
  }
  return true;
}

}  // namespace

bool check_finite(std::span<const float> vector, const std::string& what) {
  // An all-ones exponent marks inf and nan. Tested on the bits, without a branch per
  // component, the loop is vectorized: a search's query is checked on every call.
  std::uint32_t bad = 0;
  for (const float x : vector) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bad |= static_cast<std::uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
  }
  return bad == 0 || report_non_finite(vector, what);
}

std::string row_name(const char* argument, std::size_t row, const std::string* id) {
  std::string out = std::string(argument) + " row " + std::to_string(row);
  if (id != nullptr) out += " (id '" + *id + "')";
  return out;
}

std::optional<F32Rows> c_contiguous_f32_rows(PyObject* obj) {
  if (!is_exact_ndarray(obj)) return std::nullopt;
  auto view = PyBufferView::acquire(obj);
  if (!view || view->ndim() != 2 || view->element() != PyBufferView::Element::F32) {
    return std::nullopt;
  }
  const Py_ssize_t rows = view->shape(0);
  const Py_ssize_t cols = view->shape(1);
  const bool c_order = view->stride(1) == sizeof(float) &&
                       view->stride(0) == cols * static_cast<Py_ssize_t>(sizeof(float));
  const auto address = reinterpret_cast<std::uintptr_t>(view->data());
  if (rows == 0 || cols == 0 || !c_order || address % alignof(float) != 0) return std::nullopt;
  F32Rows out{std::move(*view), {}, static_cast<std::size_t>(rows), static_cast<std::size_t>(cols)};
  out.data = std::span<const float>(reinterpret_cast<const float*>(out.view.data()),
                                    out.count * out.width);
  return out;
}

bool check_finite_rows(std::span<const float> data, std::size_t width,
                       const std::vector<std::string>& ids) {
  for (std::size_t row = 0; row * width < data.size(); ++row) {
    const auto values = data.subspan(row * width, width);
    if (!check_finite(values, row_name("vectors", row, row < ids.size() ? &ids[row] : nullptr))) {
      return false;
    }
  }
  return true;
}

std::optional<std::vector<std::string>> to_ids(PyObject* obj, const char* name) {
  auto out = extract_sequence<std::string>(obj, item_to_string);
  if (!out) name_argument(name);
  return out;
}

std::optional<std::vector<std::size_t>> to_indices(PyObject* obj, const char* name) {
  auto out =
      extract_sequence<std::size_t>(obj, [](PyObject* item) { return to_index(item, nullptr); });
  if (!out) name_argument(name);
  return out;
}

std::optional<Metadata> to_metadata(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return Metadata();
  if (!PyDict_Check(obj)) {
    type_test_error(obj, "PyDict");
    name_argument(name);
    return std::nullopt;
  }
  auto value = pythonize_dict(obj);
  if (!value) return std::nullopt;
  return Metadata(std::move(*value));
}

bool check_metadatas(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None || PyList_Check(obj)) return true;
  type_test_error(obj, "PyList");
  name_argument(name);
  return false;
}

std::optional<std::vector<Metadata>> to_batch_metadatas(PyObject* metadatas, std::size_t ids,
                                                        std::size_t vectors) {
  if (ids != vectors) {
    raise_value_error("ids length (" + std::to_string(ids) + ") != vectors length (" +
                      std::to_string(vectors) + ")");
    return std::nullopt;
  }
  std::vector<Metadata> out(ids);
  if (metadatas == nullptr || metadatas == Py_None) return out;
  const auto given = static_cast<std::size_t>(PyList_GET_SIZE(metadatas));
  if (given != ids) {
    raise_value_error("metadatas length (" + std::to_string(given) + ") != ids length (" +
                      std::to_string(ids) + ")");
    return std::nullopt;
  }
  // json.dumps may run code that changes the list; its length is checked at every step.
  for (std::size_t i = 0; i < ids && static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(metadatas); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(metadatas, static_cast<Py_ssize_t>(i)));
    if (item.get() == Py_None) continue;
    if (!PyDict_Check(item.get())) {
      raise_value_error("metadatas must be list of dicts or None");
      return std::nullopt;
    }
    auto value = pythonize_dict(item.get());
    if (!value) return std::nullopt;
    out[i] = std::move(*value);
  }
  return out;
}

std::optional<json::Value> py_to_json(PyObject* obj) {
  if (PyBool_Check(obj)) return json::Value(obj == Py_True);
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return std::nullopt;
    return json::Value(truth == 1);
  }
  if (PyUnicode_Check(obj)) {
    auto text = item_to_string(obj);
    if (!text) return std::nullopt;
    return json::Value(std::move(*text));
  }
  if (PyIndex_Check(obj)) {
    PyRef number = PyRef::steal(PyNumber_Index(obj));
    if (number) {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
      if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
        return json::Value(static_cast<std::int64_t>(value));
      }
      // Metadata keeps integers in [2^63, 2^64) as unsigned, and equality is type-sensitive:
      // as a float such an operand would never equal the stored value.
      if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(number.get());
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
          return json::Value(static_cast<std::uint64_t>(big));
        }
      }
    }
    PyErr_Clear();
  }
  if (obj != Py_None) {
    const double value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (!(value == -1.0 && PyErr_Occurred())) {
      return std::isfinite(value) ? json::Value(value) : json::Value(nullptr);
    }
    PyErr_Clear();
  }
  if (obj == Py_None) return json::Value(nullptr);
  raise_value_error("unsupported filter value type");
  return std::nullopt;
}

namespace {

// The operators of a field in the dict syntax, and those the condition language adds.
enum class Grammar { Dict, Where };

// A list operand as JSON values ($in, $nin); false with an exception set.
bool to_value_list(const std::string& op, PyObject* operand, std::vector<json::Value>& out) {
  if (!PyList_Check(operand)) {
    raise_value_error(op + " value must be a list");
    return false;
  }
  // Conversions may run Python code that changes the list; its length is read at each step.
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(operand); ++j) {
    PyRef element = PyRef::borrow(PyList_GET_ITEM(operand, j));
    auto value = py_to_json(element.get());
    if (!value) return false;
    out.push_back(std::move(*value));
  }
  return true;
}

// Appends the condition of one operator on `field`; false with an exception set.
bool parse_operator(const std::string& field, const std::string& op, PyObject* operand,
                    Grammar grammar, std::vector<Filter>& conditions) {
  const bool rich = grammar == Grammar::Where;
  if (op == "$ne" || (rich && op == "$eq")) {
    auto value = py_to_json(operand);
    if (!value) return false;
    conditions.push_back(op == "$ne" ? Filter::ne(field, std::move(*value))
                                     : Filter::eq(field, std::move(*value)));
  } else if (op == "$in" || (rich && op == "$nin")) {
    std::vector<json::Value> values;
    if (!to_value_list(op, operand, values)) return false;
    Filter in = Filter::in(field, std::move(values));
    conditions.push_back(op == "$in" ? std::move(in) : Filter::negation(std::move(in)));
  } else if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    const double bound =
        PyFloat_CheckExact(operand) ? PyFloat_AS_DOUBLE(operand) : PyFloat_AsDouble(operand);
    if (bound == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      raise_value_error(op + " value must be a number");
      return false;
    }
    if (op == "$gt") conditions.push_back(Filter::gt(field, bound));
    if (op == "$gte") conditions.push_back(Filter::gte(field, bound));
    if (op == "$lt") conditions.push_back(Filter::lt(field, bound));
    if (op == "$lte") conditions.push_back(Filter::lte(field, bound));
  } else if (rich && op == "$exists") {
    if (!PyBool_Check(operand) && !is_numpy_bool(operand)) {
      raise_value_error("$exists value must be True or False");
      return false;
    }
    const int present = PyObject_IsTrue(operand);
    if (present < 0) return false;
    Filter exists = Filter::exists(field);
    conditions.push_back(present ? std::move(exists) : Filter::negation(std::move(exists)));
  } else if (rich && op == "$contains") {
    if (PyList_Check(operand) || PyTuple_Check(operand) || PyDict_Check(operand)) {
      raise_value_error("$contains value must be one element: a bool, number, string or None");
      return false;
    }
    auto value = py_to_json(operand);
    if (!value) return false;
    conditions.push_back(Filter::contains(field, std::move(*value)));
  } else if (rich && (op == "$and" || op == "$or" || op == "$not")) {
    raise_value_error(op + " combines conditions, not a field's operators: write {'" + op +
                      "': ...} beside the fields, not inside {'" + field + "': ...}");
    return false;
  } else if (rich) {
    raise_value_error("unknown operator: " + op +
                      " (a field takes $eq, $ne, $in, $nin, $gt, $gte, $lt, $lte, $exists"
                      " and $contains)");
    return false;
  } else {
    raise_value_error("unknown operator: " + op);
    return false;
  }
  return true;
}

// Appends the conditions of one operator dict; false with an exception set on a bad entry.
bool parse_operators(const std::string& field, PyObject* operators, Grammar grammar,
                     std::vector<Filter>& conditions) {
  // A snapshot of the items: operand conversions may run Python code.
  PyRef items = PyRef::steal(PyDict_Items(operators));
  if (!items) return false;
  if (grammar == Grammar::Where && PyList_GET_SIZE(items.get()) == 0) {
    raise_value_error("field '" + field + "' has no operator: expected one, as in {'" + field +
                      "': {'$eq': value}}");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    auto op = item_to_string(PyTuple_GET_ITEM(pair, 0));
    if (!op) return false;
    if (!parse_operator(field, *op, PyTuple_GET_ITEM(pair, 1), grammar, conditions)) return false;
  }
  return true;
}

// One condition of the language of quarn.Where: a dict (or a Where) at nesting level
// `depth`, counted in dicts from 1. `deepest` is raised to the deepest level reached.
std::optional<Filter> parse_condition(PyObject* obj, std::size_t depth, std::size_t& deepest);

// The members of $and or $or: a non-empty list of conditions.
std::optional<std::vector<Filter>> parse_members(const std::string& op, PyObject* operand,
                                                 std::size_t depth, std::size_t& deepest) {
  if (!PyList_Check(operand) || PyList_GET_SIZE(operand) == 0) {
    raise_value_error(op + " value must be a non-empty list of conditions");
    return std::nullopt;
  }
  // A snapshot: converting a member may run Python code that changes the list.
  PyRef members = PyRef::steal(PySequence_Tuple(operand));
  if (!members) return std::nullopt;
  std::vector<Filter> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members.get()); ++i) {
    PyObject* member = PyTuple_GET_ITEM(members.get(), i);
    if (!PyDict_Check(member) && !is_where(member)) {
      raise_value_error(op + " value must be a non-empty list of conditions");
      return std::nullopt;
    }
    auto filter = parse_condition(member, depth + 1, deepest);
    if (!filter) return std::nullopt;
    out.push_back(std::move(*filter));
  }
  return out;
}

std::optional<Filter> parse_condition(PyObject* obj, std::size_t depth, std::size_t& deepest) {
  // A Where brings its own levels; the limit keeps every recursion over the filter shallow.
  deepest = std::max(deepest,
                     is_where(obj) ? depth - 1 + reinterpret_cast<PyWhere*>(obj)->depth : depth);
  if (deepest > Filter::kMaxDepth) {
    raise_value_error("conditions nest more than " + std::to_string(Filter::kMaxDepth) +
                      " levels deep");
    return std::nullopt;
  }
  if (is_where(obj)) return reinterpret_cast<PyWhere*>(obj)->filter;
  PyRef items = PyRef::steal(PyDict_Items(obj));
  if (!items) return std::nullopt;
  if (PyList_GET_SIZE(items.get()) == 0) {
    raise_value_error("empty condition: expected a field or $and, $or or $not");
    return std::nullopt;
  }
  std::vector<Filter> conditions;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    auto key = item_to_string(PyTuple_GET_ITEM(pair, 0));
    if (!key) return std::nullopt;
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (*key == "$and" || *key == "$or") {
      auto members = parse_members(*key, value, depth, deepest);
      if (!members) return std::nullopt;
      conditions.push_back(*key == "$and" ? Filter::all_of(std::move(*members))
                                          : Filter::any_of(std::move(*members)));
    } else if (*key == "$not") {
      if (!PyDict_Check(value) && !is_where(value)) {
        raise_value_error("$not value must be a condition (a dict)");
        return std::nullopt;
      }
      auto inner = parse_condition(value, depth + 1, deepest);
      if (!inner) return std::nullopt;
      conditions.push_back(Filter::negation(std::move(*inner)));
    } else if (key->starts_with('$')) {
      raise_value_error("unknown operator: " + *key + " (a condition takes fields and $and, " +
                        "$or and $not)");
      return std::nullopt;
    } else if (PyDict_Check(value)) {
      if (!parse_operators(*key, value, Grammar::Where, conditions)) return std::nullopt;
    } else {
      auto operand = py_to_json(value);
      if (!operand) return std::nullopt;
      conditions.push_back(Filter::eq(std::move(*key), std::move(*operand)));
    }
  }
  if (conditions.size() == 1) return std::move(conditions.front());
  return Filter::all_of(std::move(conditions));
}

// The condition of a filter as the language writes it, each field's operators in one dict:
// {field: {op: operand, ...}, "$and": [...], "$or": [...], "$not": {...}}. Null on error.
PyRef long_form(const Filter& filter);

PyRef field_condition(const std::string& field, const char* op, PyRef operand) {
  if (!operand) return {};
  PyRef ops = PyRef::steal(Py_BuildValue("{sO}", op, operand.get()));
  if (!ops) return {};
  PyRef key = PyRef::steal(str_from(field));
  if (!key) return {};
  PyRef out = PyRef::steal(PyDict_New());
  if (!out || PyDict_SetItem(out.get(), key.get(), ops.get()) != 0) return {};
  return out;
}

PyRef values_list(const std::vector<json::Value>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = json_to_py(values[i]);
    if (item == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

PyRef members_list(const char* op, const std::vector<Filter>& members) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(members.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < members.size(); ++i) {
    PyRef member = long_form(members[i]);
    if (!member) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), member.release());  // steals it
  }
  return PyRef::steal(Py_BuildValue("{sO}", op, list.get()));
}

// Whether a key of a condition is $and, $or or $not rather than a field (which cannot
// start with "$" in this language).
bool is_operator(PyObject* key) {
  return PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '$';
}

// Merges the condition `part` into `into`, each field's operators into one dict; false
// (and `into` unusable) when a key or an operator comes twice, which only $and can say.
bool merge_into(PyObject* into, PyObject* part, bool& merged) {
  merged = false;
  Py_ssize_t at = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(part, &at, &key, &value)) {
    PyObject* held = PyDict_GetItemWithError(into, key);  // borrowed
    if (held == nullptr) {
      if (PyErr_Occurred()) return false;
      PyRef copy = PyRef::steal(PyDict_Check(value) ? PyDict_Copy(value) : Py_NewRef(value));
      if (!copy || PyDict_SetItem(into, key, copy.get()) != 0) return false;
      continue;
    }
    if (!PyDict_Check(held) || !PyDict_Check(value) || is_operator(key)) {
      return true;
    }
    Py_ssize_t op_at = 0;
    PyObject* op = nullptr;
    PyObject* operand = nullptr;
    while (PyDict_Next(value, &op_at, &op, &operand)) {
      const int has = PyDict_Contains(held, op);
      if (has < 0) return false;
      if (has == 1) return true;
      if (PyDict_SetItem(held, op, operand) != 0) return false;
    }
  }
  merged = true;
  return true;
}

PyRef long_form(const Filter& filter) {
  using Kind = Filter::Kind;
  const std::string& field = filter.field();
  switch (filter.kind()) {
    case Kind::Eq:
      return field_condition(field, "$eq", PyRef::steal(json_to_py(filter.values()[0])));
    case Kind::Ne:
      return field_condition(field, "$ne", PyRef::steal(json_to_py(filter.values()[0])));
    case Kind::In:
      return field_condition(field, "$in", values_list(filter.values()));
    case Kind::Gt:
    case Kind::Gte:
    case Kind::Lt:
    case Kind::Lte: {
      const Kind k = filter.kind();
      const char* op = k == Kind::Gt ? "$gt" : k == Kind::Gte ? "$gte" : k == Kind::Lt ? "$lt" : "$lte";
      return field_condition(field, op, PyRef::steal(PyFloat_FromDouble(filter.bound())));
    }
    case Kind::Exists:
      return field_condition(field, "$exists", PyRef::borrow(Py_True));
    case Kind::Contains:
      return field_condition(field, "$contains", PyRef::steal(json_to_py(filter.values()[0])));
    case Kind::Not: {
      const Filter& inner = filter.members()[0];
      if (inner.kind() == Kind::In) {
        return field_condition(inner.field(), "$nin", values_list(inner.values()));
      }
      if (inner.kind() == Kind::Exists) {
        return field_condition(inner.field(), "$exists", PyRef::borrow(Py_False));
      }
      PyRef condition = long_form(inner);
      if (!condition) return {};
      return PyRef::steal(Py_BuildValue("{sO}", "$not", condition.get()));
    }
    case Kind::Or:
      return members_list("$or", filter.members());
    case Kind::And:
      break;
  }
  // Members on different fields (or different operators of one) fold into one dict, as
  // they were most likely written; anything that would collide stays an explicit $and.
  PyRef out = PyRef::steal(PyDict_New());
  if (!out) return {};
  for (const Filter& member : filter.members()) {
    PyRef part = long_form(member);
    if (!part) return {};
    bool merged = false;
    if (!merge_into(out.get(), part.get(), merged)) return {};
    if (!merged) return members_list("$and", filter.members());
  }
  if (filter.members().empty()) return members_list("$and", filter.members());
  return out;
}

// {field: {"$eq": v}} written as {field: v}, throughout.
bool shorten(PyObject* condition) {
  Py_ssize_t at = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(condition, &at, &key, &value)) {
    if (PyList_Check(value)) {  // $and, $or
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        if (!shorten(PyList_GET_ITEM(value, i))) return false;
      }
    } else if (is_operator(key)) {  // $not
      if (!shorten(value)) return false;
    } else if (PyDict_GET_SIZE(value) == 1) {
      PyObject* operand = PyDict_GetItemString(value, "$eq");  // borrowed
      // Replacing the value of an existing key leaves the iteration valid.
      if (operand != nullptr && PyDict_SetItem(condition, key, operand) != 0) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<Filter> parse_filter(PyObject* dict) {
  PyRef items = PyRef::steal(PyDict_Items(dict));
  if (!items) return std::nullopt;
  std::vector<Filter> conditions;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    auto field = item_to_string(PyTuple_GET_ITEM(pair, 0));
    if (!field) return std::nullopt;
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (PyDict_Check(value)) {
      if (!parse_operators(*field, value, Grammar::Dict, conditions)) return std::nullopt;
    } else {
      auto operand = py_to_json(value);
      if (!operand) return std::nullopt;
      conditions.push_back(Filter::eq(std::move(*field), std::move(*operand)));
    }
  }
  if (conditions.size() == 1) return std::move(conditions.front());
  return Filter::all_of(std::move(conditions));
}

std::optional<WhereCondition> parse_where(PyObject* obj, const char* name) {
  if (!PyDict_Check(obj) && !is_where(obj)) {
    type_test_error(obj, "PyDict");
    name_argument(name);
    return std::nullopt;
  }
  std::size_t deepest = 0;
  auto filter = parse_condition(obj, 1, deepest);
  if (!filter) return std::nullopt;
  return WhereCondition{std::move(*filter), deepest};
}

PyObject* where_to_py(const Filter& filter) {
  PyRef condition = long_form(filter);
  if (!condition || !shorten(condition.get())) return nullptr;
  return condition.release();
}

std::optional<std::optional<Filter>> to_opt_filter(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<Filter>();
  if (is_where(obj)) return std::optional<Filter>(reinterpret_cast<PyWhere*>(obj)->filter);
  if (!PyDict_Check(obj)) {
    type_test_error(obj, "PyDict");
    name_argument(name);
    return std::nullopt;
  }
  auto filter = parse_filter(obj);
  if (!filter) return std::nullopt;
  return std::optional<Filter>(std::move(*filter));
}

PyObject* floats_to_list(const std::vector<float>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* str_from(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* strings_to_list(const std::vector<std::string>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = str_from(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* json_to_py(const json::Value& value) {
  using Type = json::Value::value_t;
  switch (value.type()) {
    case Type::boolean:
      return PyBool_FromLong(value.get<bool>() ? 1 : 0);
    case Type::number_integer:
      return PyLong_FromLongLong(value.get<std::int64_t>());
    case Type::number_unsigned:
      return PyLong_FromUnsignedLongLong(value.get<std::uint64_t>());
    case Type::number_float: {
      // The stored text writes a non-finite float (which parsing never produces) as null.
      const double number = value.get<double>();
      if (!std::isfinite(number)) Py_RETURN_NONE;
      return PyFloat_FromDouble(number);
    }
    case Type::string:
      return str_from(value.get_ref<const std::string&>());
    case Type::array:
    case Type::object:
      break;
    default:  // null; binary and discarded values, which the stored text writes as null
      Py_RETURN_NONE;
  }
  // Nesting is as deep as the stored value: guarded like the json module's own decoder.
  if (Py_EnterRecursiveCall(" while converting metadata") != 0) return nullptr;
  struct Leave {
    ~Leave() { Py_LeaveRecursiveCall(); }
  } leave;
  if (value.is_array()) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : value) {
      PyObject* element = json_to_py(item);
      if (element == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i++, element);  // steals element
    }
    return list.release();
  }
  // Keys come in the stored (ascending byte) order, as a dict keeps them.
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, item] : value.items()) {
    PyRef k = PyRef::steal(str_from(key));
    if (!k) return nullptr;
    PyRef v = PyRef::steal(json_to_py(item));
    if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return nullptr;
  }
  return dict.release();
}

}  // namespace quarn_py

// ---------------------------------------------------------------------------------------------
// Bulk reads and loads

namespace quarn_py {

std::optional<quarn_core::db::ReadFields> to_read_fields(PyObject* obj, const char* name) {
  quarn_core::db::ReadFields out;
  if (obj == nullptr) return out;
  auto names = extract_sequence<std::string>(obj, item_to_string);
  if (!names) {
    name_argument(name);
    return std::nullopt;
  }
  out.vectors = out.metadata = false;
  for (const auto& field : *names) {
    if (field == "vectors") {
      out.vectors = true;
    } else if (field == "metadata" || field == "metadatas") {
      out.metadata = true;
    } else {
      raise_value_error("include: unknown field '" + field + "' (choose from 'vectors', 'metadata')");
      return std::nullopt;
    }
  }
  return out;
}

std::optional<bool> to_skip_missing(PyObject* obj, const char* name) {
  if (obj == nullptr) return false;
  auto text = to_str(obj, name);
  if (!text) return std::nullopt;
  if (*text == "raise") return false;
  if (*text == "skip") return true;
  raise_value_error(std::string(name) + " must be 'raise' or 'skip'");
  return std::nullopt;
}

std::optional<std::size_t> to_batch_size(PyObject* obj, const char* name, std::size_t fallback) {
  if (obj == nullptr || obj == Py_None) return fallback;
  auto n = to_index(obj, name);
  if (n && *n == 0) {
    raise_value_error(std::string(name) + " must be at least 1");
    return std::nullopt;
  }
  return n;
}

std::optional<F32Output> F32Output::make(std::size_t rows, std::size_t width,
                                         bool* numpy_unavailable) {
  F32Output out;
  out.rows_ = rows;
  out.width_ = width;
  if (!*numpy_unavailable) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
      // Any failure counts as "not importable" (on an interpreter NumPy was not built for it
      // fails half way, with an ImportError or worse): lists from now on.
      PyErr_Clear();
      *numpy_unavailable = true;
    } else {
      PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
      PyRef float32 = PyRef::steal(PyObject_GetAttrString(numpy.get(), "float32"));
      if (!empty || !float32) return std::nullopt;
      PyRef shape = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows),
                                               static_cast<Py_ssize_t>(width)));
      if (!shape) return std::nullopt;
      out.array_ = PyRef::steal(PyObject_CallFunctionObjArgs(empty.get(), shape.get(),
                                                             float32.get(), nullptr));
      if (!out.array_) return std::nullopt;
      auto view = PyBufferView::acquire_writable(out.array_.get());
      if (!view) return std::nullopt;
      out.view_.emplace(std::move(*view));
      if (static_cast<std::size_t>(out.view_->length()) != rows * width * sizeof(float)) {
        PyErr_SetString(PyExc_RuntimeError, "numpy.empty gave an array of another size");
        return std::nullopt;
      }
      out.data_ = std::span<float>(static_cast<float*>(out.view_->writable_data()), rows * width);
      return out;
    }
  }
  out.owned_.resize(rows * width);
  out.data_ = std::span<float>(out.owned_);
  return out;
}

PyObject* F32Output::finish(std::size_t rows) {
  if (array_) {
    view_.reset();  // the array may be sliced (and resized by its owner) from here on
    if (rows == rows_) return Py_NewRef(array_.get());
    return PySequence_GetSlice(array_.get(), 0, static_cast<Py_ssize_t>(rows));
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows; ++i) {
    PyRef row = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(width_)));
    if (!row) return nullptr;
    for (std::size_t j = 0; j < width_; ++j) {
      PyObject* item = PyFloat_FromDouble(data_[i * width_ + j]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), item);  // steals item
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());  // steals row
  }
  return list.release();
}

std::optional<json::Value> to_patch(PyObject* obj, const char* name) {
  if (!PyDict_Check(obj)) {
    type_test_error(obj, "PyDict");
    name_argument(name);
    return std::nullopt;
  }
  return pythonize_dict(obj);
}

PyObject* metadata_list(const std::vector<Metadata>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = values[i] ? json_to_py(*values[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace quarn_py
