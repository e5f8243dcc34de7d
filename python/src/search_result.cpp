// SearchResult: one hit of a query (id, distance, metadata), made only by search/search_many.
#include <Python.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "convert.hpp"
#include "module.hpp"
#include "py_ref.hpp"

namespace quarn_py {
namespace {

struct PySearchResult {
  PyObject_HEAD
  std::string id;
  // The hit's own copy of the stored value; each access builds new Python objects from it,
  // so a caller may change what it got without changing the result.
  quarn_core::db::Metadata metadata;
  float distance;
};

PySearchResult* as_result(PyObject* self) { return reinterpret_cast<PySearchResult*>(self); }

PyObject* result_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* result = as_result(self);
  result->id.~basic_string();
  result->metadata.~optional();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_id(PyObject* self, void*) { return str_from(as_result(self)->id); }
PyObject* get_distance(PyObject* self, void*) {
  return PyFloat_FromDouble(as_result(self)->distance);
}
PyObject* get_metadata(PyObject* self, void*) {
  const auto& metadata = as_result(self)->metadata;
  if (!metadata) Py_RETURN_NONE;
  return json_to_py(*metadata);
}

PyObject* result_getitem(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    auto index = to_index(key, "idx");
    if (!index) return nullptr;
    switch (*index) {
      case 0:
        return get_id(self, nullptr);
      case 1:
        return get_distance(self, nullptr);
      case 2:
        return get_metadata(self, nullptr);
      default:
        return raise_value_error("index out of range");
    }
  });
}

// Iteration and unpacking walk the three fields and then stop, which the index-based
// sequence protocol cannot do here: item access past the end raises ValueError.
PyObject* result_iter(PyObject* self) {
  PyRef id = PyRef::steal(get_id(self, nullptr));
  if (!id) return nullptr;
  PyRef distance = PyRef::steal(get_distance(self, nullptr));
  if (!distance) return nullptr;
  PyRef metadata = PyRef::steal(get_metadata(self, nullptr));
  if (!metadata) return nullptr;
  PyRef fields = PyRef::steal(PyTuple_Pack(3, id.get(), distance.get(), metadata.get()));
  if (!fields) return nullptr;
  return PyObject_GetIter(fields.get());
}

PyObject* result_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto* result = as_result(self);
    const double distance = result->distance;
    std::string number;
    if (std::isnan(distance)) {
      number = "NaN";
    } else if (std::isinf(distance)) {
      number = distance > 0 ? "inf" : "-inf";
    } else {
      char buffer[64];
      std::snprintf(buffer, sizeof(buffer), "%.4f", distance);
      number = buffer;
    }
    const std::string text = "SearchResult(id='" + result->id + "', distance=" + number + ")";
    return str_from(text);
  });
}

// Two results are equal when id, distance and metadata are (metadata as stored: the integer
// 1 and the float 1.0 differ, as they do in a filter), so the same hit found twice compares
// equal and results can be kept in sets and dict keys. Results order by nothing else.
PyObject* result_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const auto* a = as_result(self);
  const auto* b = as_result(other);
  const bool equal = a->id == b->id && a->distance == b->distance &&
                     a->metadata.has_value() == b->metadata.has_value() &&
                     (!a->metadata || quarn_core::json::json_equal(*a->metadata, *b->metadata));
  return PyBool_FromLong(equal == (op == Py_EQ) ? 1 : 0);
}

Py_hash_t result_hash(PyObject* self) {
  const auto* result = as_result(self);
  std::size_t h = std::hash<std::string>()(result->id);
  // -0.0 equals 0.0, so both hash as 0.0.
  const float distance = result->distance == 0.0f ? 0.0f : result->distance;
  h = h * 1000003u ^ std::hash<float>()(distance);
  if (result->metadata) h = h * 1000003u ^ quarn_core::json::JsonHash()(*result->metadata);
  const auto out = static_cast<Py_hash_t>(h);
  return out == -1 ? -2 : out;  // -1 means an error to CPython
}

PyGetSetDef result_getset[] = {
    {"id", get_id, nullptr, nullptr, nullptr},
    {"distance", get_distance, nullptr, nullptr, nullptr},
    {"metadata", get_metadata, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_getset, result_getset},
    {Py_mp_subscript, reinterpret_cast<void*>(result_getitem)},
    {Py_tp_iter, reinterpret_cast<void*>(result_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(result_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(result_hash)},
    {0, nullptr},
};

PyType_Spec result_spec = {
    // Qualified, so that __module__ is set: CPython deprecates heap types without one.
    "quarn._quarn.SearchResult",
    sizeof(PySearchResult),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    result_slots,
};

}  // namespace

PyType_Spec* search_result_spec() { return &result_spec; }

PyObject* make_search_result(PyTypeObject* type, quarn_core::db::SearchResult&& hit) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  // From here on nothing throws: the fields are moved into place.
  auto* result = as_result(self);
  new (&result->id) std::string(std::move(hit.id));
  new (&result->metadata) quarn_core::db::Metadata(std::move(hit.metadata));
  result->distance = hit.distance;
  return self;
}

}  // namespace quarn_py
