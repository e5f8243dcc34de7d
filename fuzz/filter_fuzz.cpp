// The binding's where_filter conversion (parse_filter and its operand conversions), fed
// with whatever Python's json.loads makes of the input, in an embedded interpreter. A filter
// that converts is then matched against sample metadata and resolved against an index of
// it; a refusal must come with a Python exception, an acceptance without one. A dict of
// plain values must match the same text read as metadata: every operand keeps the type the
// metadata reader gives its literal.
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "convert.hpp"
#include "py_ref.hpp"
#include "quarn_core/filter.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/json.hpp"

using namespace quarn_core;

namespace {

PyObject* loads = nullptr;
std::vector<std::optional<json::Value>> samples;
db::MetadataIndex metadata_index;

// A dict whose values are neither dicts nor lists: a conjunction of equalities.
bool plain_values(PyObject* obj) {
  if (!PyDict_Check(obj)) return false;
  PyObject *key, *item;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj, &pos, &key, &item)) {
    if (PyDict_Check(item) || PyList_Check(item)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Plain malloc, so that AddressSanitizer sees every object.
  ::setenv("PYTHONMALLOC", "malloc", 1);
  Py_Initialize();
  PyObject* module = PyImport_ImportModule("json");
  if (module == nullptr) __builtin_trap();
  loads = PyObject_GetAttrString(module, "loads");
  Py_DECREF(module);
  for (const char* text :
       {R"({"c":"red","n":1,"f":1.5,"b":true,"z":null})", R"({"c":"blue","n":2,"l":[1,2]})",
        R"({"c":"red","n":-3,"o":{"k":1}})", R"({"n":18446744073709551615,"c":"1"})", "[1]",
        R"({"f":-0.0,"n":1.0,"c":["red"]})"}) {
    samples.push_back(json::parse(text));
  }
  samples.push_back(std::nullopt);
  for (std::uint32_t s = 0; s < samples.size(); ++s) metadata_index.index(s, samples[s]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn_py::PyRef text = quarn_py::PyRef::steal(PyUnicode_DecodeUTF8(
      reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size), "replace"));
  if (!text) __builtin_trap();
  quarn_py::PyRef value = quarn_py::PyRef::steal(PyObject_CallOneArg(loads, text.get()));
  if (!value) {
    PyErr_Clear();
    return 0;
  }
  auto filter = quarn_py::to_opt_filter(value.get(), "where_filter");
  if (!filter) {
    if (!PyErr_Occurred()) __builtin_trap();  // a refusal always says why
    PyErr_Clear();
    return 0;
  }
  if (PyErr_Occurred()) __builtin_trap();
  if (!*filter) return 0;
  if (plain_values(value.get())) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto as_metadata = io::utf8_error(std::as_bytes(std::span(input.data(), input.size())))
                                 ? std::nullopt
                                 : json::parse(input);
    if (as_metadata && as_metadata->is_object() && !(*filter)->matches(as_metadata)) {
      __builtin_trap();
    }
  }
  db::SlotSet matching;
  for (std::uint32_t s = 0; s < samples.size(); ++s) {
    if ((*filter)->matches(samples[s])) matching.insert(s);
  }
  // What the index answers agrees with `matches`: always a superset of the matching
  // samples, exactly them when it says so, and a borrowed equality set always exact. (An
  // empty condition, `{}`, is the one exception by design: it matches every object but
  // names no candidate, so that it finds nothing rather than everything.)
  const db::Filter::Resolved resolved = (*filter)->resolve_within(metadata_index, SIZE_MAX);
  const bool empty_and = (*filter)->kind() == db::Filter::Kind::And && (*filter)->members().empty();
  if (resolved.slots && !empty_and) {
    for (std::uint32_t s : matching) {
      if (!resolved.slots->contains(s)) __builtin_trap();
    }
    if (resolved.exact && *resolved.slots != matching) __builtin_trap();
  }
  if (const auto* borrowed = (*filter)->borrow_from_index(metadata_index)) {
    if (*borrowed != matching) __builtin_trap();
  }
  return 0;
}
