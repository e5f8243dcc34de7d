// The binding's where_filter conversions, fed with whatever Python's json.loads makes of the
// input, in an embedded interpreter: the dict syntax (to_opt_filter) and the condition
// language of quarn.Where (parse_where). A filter that converts is then matched against
// sample metadata and resolved against an index of it, and a Where also written back as a
// condition (its repr and pickle) and read again; a refusal must come with a Python
// exception, an acceptance without one. A dict of plain values must match the same text read
// as metadata: every operand keeps the type the metadata reader gives its literal.
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
        R"({"f":-0.0,"n":1.0,"c":["red"]})", R"({"l":[1.0,null,"red",[1]],"t":[]})",
        R"({"l":[true,{"k":1}],"z":[null],"t":["1",1]})", "{}"}) {
    samples.push_back(json::parse(text));
  }
  samples.push_back(std::nullopt);
  for (std::uint32_t s = 0; s < samples.size(); ++s) metadata_index.index(s, samples[s]);
  return 0;
}

namespace {

// What the index answers agrees with `matches`: always a superset of the matching samples,
// exactly them when it says so, borrowed or copied alike, under a limit or none. (An empty
// And, `{}` in the dict syntax, is the one exception by design: it matches every object but
// names no candidate, so that it finds nothing rather than everything.)
db::SlotSet check_answers(const db::Filter& filter) {
  db::SlotSet matching;
  for (std::uint32_t s = 0; s < samples.size(); ++s) {
    if (filter.matches(samples[s])) matching.insert(s);
  }
  const bool empty_and = filter.kind() == db::Filter::Kind::And && filter.members().empty();
  for (std::size_t limit : {SIZE_MAX, std::size_t{2}}) {
    const db::Filter::Resolved resolved = filter.resolve_within(metadata_index, limit);
    const db::Candidates candidates = filter.candidates(metadata_index, limit);
    if (resolved.exact != candidates.exact) __builtin_trap();
    if (resolved.slots.has_value() != (candidates.set() != nullptr)) __builtin_trap();
    if (resolved.slots && *resolved.slots != *candidates.set()) __builtin_trap();
    if (!resolved.slots || empty_and) continue;
    for (std::uint32_t s : matching) {
      if (!resolved.slots->contains(s)) __builtin_trap();
    }
    if (resolved.exact && *resolved.slots != matching) __builtin_trap();
  }
  if (const auto* borrowed = filter.borrow_from_index(metadata_index)) {
    if (*borrowed != matching) __builtin_trap();
  }
  return matching;
}

}  // namespace

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
  } else {
    if (PyErr_Occurred()) __builtin_trap();
    if (*filter) check_answers(**filter);
    if (*filter && plain_values(value.get())) {
      const std::string_view input(reinterpret_cast<const char*>(data), size);
      const auto as_metadata =
          io::utf8_error(std::as_bytes(std::span(input.data(), input.size())))
              ? std::nullopt
              : json::parse(input);
      if (as_metadata && as_metadata->is_object() && !(**filter).matches(as_metadata)) {
        __builtin_trap();
      }
    }
  }

  auto where = quarn_py::parse_where(value.get(), "condition");
  if (!where) {
    if (!PyErr_Occurred()) __builtin_trap();
    PyErr_Clear();
    return 0;
  }
  if (PyErr_Occurred() || where->depth > db::Filter::kMaxDepth) __builtin_trap();
  const db::SlotSet matching = check_answers(where->filter);
  // Written back as a condition, it reads again as a filter that matches the same samples.
  quarn_py::PyRef written = quarn_py::PyRef::steal(quarn_py::where_to_py(where->filter));
  if (!written) __builtin_trap();
  auto again = quarn_py::parse_where(written.get(), "condition");
  if (!again || check_answers(again->filter) != matching) __builtin_trap();
  return 0;
}
