// Where: a filter in the condition language, compiled once (see where.hpp).
#include "where.hpp"

#include <new>
#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "py_ref.hpp"

namespace quarn_py {
namespace {

PyObject* where_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"Where.__new__", {"condition"}, 1};
    Arguments a(sig, args, kwargs);
    auto condition = a.convert(0, parse_where);
    if (!a.ok()) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* where = reinterpret_cast<PyWhere*>(self);
    new (&where->filter) quarn_core::db::Filter(std::move(condition->filter));
    where->depth = condition->depth;
    return self;
  });
}

PyObject* where_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PyRef condition = PyRef::steal(where_to_py(reinterpret_cast<PyWhere*>(self)->filter));
    if (!condition) return nullptr;
    return PyUnicode_FromFormat("Where(%R)", condition.get());
  });
}

// Pickled as the call that makes it again, so that it travels to other processes (the
// shards of quarn.distributed) as a condition, not as memory.
PyObject* where_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef condition = PyRef::steal(where_to_py(reinterpret_cast<PyWhere*>(self)->filter));
    if (!condition) return nullptr;
    return Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), condition.get());
  });
}

PyMethodDef where_methods[] = {
    {"__reduce__", where_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot where_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Where(condition)\n--\n\n"
                    "A metadata filter compiled once, accepted wherever a where_filter is.\n"
                    "`condition`: a dict in the filter syntax of search, plus $eq, $nin,\n"
                    "$exists and $contains on a field and $and, $or and $not around\n"
                    "conditions.")},
    {Py_tp_new, reinterpret_cast<void*>(where_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(where_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(where_repr)},
    {Py_tp_methods, where_methods},
    {0, nullptr},
};

PyType_Spec where_type_spec = {
    // Qualified, so that __module__ is set (and pickle finds the type); not subclassable.
    "quarn._quarn.Where", sizeof(PyWhere), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    where_slots,
};

}  // namespace

PyType_Spec* where_spec() { return &where_type_spec; }

}  // namespace quarn_py
