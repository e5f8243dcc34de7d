// Conversion between Python values and core values: the only code that inspects Python types.
//
// Every to_* function returns nullopt with a Python exception set when the value is refused.
// Those that take an argument name report a TypeError as "argument '<name>': <message>";
// other exception types keep their own message.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "buffer_view.hpp"
#include "py_ref.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/distance.hpp"
#include "quarn_core/error.hpp"
#include "quarn_core/filter.hpp"
#include "quarn_core/json.hpp"

namespace quarn_py {

using quarn_core::db::Metadata;

// Scalars.
std::optional<std::string> to_str(PyObject* obj, const char* name);
// A non-negative int through the integer protocol: OverflowError when negative or too large.
std::optional<std::size_t> to_index(PyObject* obj, const char* name);
// The same, with nullptr (not given) giving `fallback`; None is refused as by to_index.
std::optional<std::size_t> to_index_or(PyObject* obj, const char* name, std::size_t fallback);
// nullptr (not given) and None give an engaged empty optional.
std::optional<std::optional<std::size_t>> to_opt_index(PyObject* obj, const char* name);
// A real bool or a NumPy bool; an int is refused. nullptr gives `fallback`.
std::optional<bool> to_bool(PyObject* obj, const char* name, bool fallback);
// Through the float protocol, stored as f32; nullptr and None give an empty optional.
std::optional<std::optional<float>> to_opt_f32(PyObject* obj, const char* name);
// Through the float protocol, as a double.
std::optional<double> to_f64(PyObject* obj, const char* name);
// nullptr and None give an empty optional.
std::optional<std::optional<std::string>> to_opt_str(PyObject* obj, const char* name);
// A pair of numbers (a tuple or list of two, through the float protocol); nullptr and None
// give an empty optional.
std::optional<std::optional<std::pair<double, double>>> to_opt_pair(PyObject* obj,
                                                                    const char* name);

// "cosine", "euclidean"/"l2", "dot"/"dot_product"; ValueError for anything else.
std::optional<quarn_core::distance::Metric> parse_metric(const std::string& name);

// Vectors: one vector (a sequence first, then a 1-D float32 NumPy array) and a batch (a 2-D
// float32 NumPy array first, then a sequence of sequences).
std::optional<std::vector<float>> to_vector(PyObject* obj, const char* name);
std::optional<std::vector<std::vector<float>>> to_vectors(PyObject* obj, const char* name);
// Non-finite components: false with a ValueError "<what> has a non-finite component (nan)
// at index 3" for the first one. Every vector that reaches a collection or a query passes
// here, so that each stored collection can be exported and imported again.
bool check_finite(std::span<const float> vector, const std::string& what);
// "vectors row 3 (id 'a')", or without an id "query vectors row 3".
std::string row_name(const char* argument, std::size_t row, const std::string* id);

// An exact NumPy float32 array of two dimensions in C order and native byte order, as one
// block of rows borrowed from it (the view keeps the buffer exported while it lives). nullopt
// with no exception set for anything else, which then takes the general conversion.
struct F32Rows {
  PyBufferView view;
  std::span<const float> data;
  std::size_t count = 0;
  std::size_t width = 0;
};
std::optional<F32Rows> c_contiguous_f32_rows(PyObject* obj);
// check_finite for each row of a block, naming the row and its id.
bool check_finite_rows(std::span<const float> data, std::size_t width,
                       const std::vector<std::string>& ids);

// A sequence of str; a str itself is refused.
std::optional<std::vector<std::string>> to_ids(PyObject* obj, const char* name);

// A sequence of non-negative ints.
std::optional<std::vector<std::size_t>> to_indices(PyObject* obj, const char* name);

// Metadata: a dict through json.dumps, or None / not given (an empty Metadata).
std::optional<Metadata> to_metadata(PyObject* obj, const char* name);
// The type test of `metadatas`: a list, or None / not given (nullptr returned, no error).
// Returns false with an exception set for anything else.
bool check_metadatas(PyObject* obj, const char* name);
// The length checks and item conversions of a batch, in their fixed order. `metadatas` is a
// list or nullptr (None).
std::optional<std::vector<Metadata>> to_batch_metadatas(PyObject* metadatas, std::size_t ids,
                                                        std::size_t vectors);

// A where_filter argument: None or not given is no filter (an empty optional inside); a
// dict in the dict syntax below, or a quarn.Where (its filter copied).
std::optional<std::optional<quarn_core::db::Filter>> to_opt_filter(PyObject* obj, const char* name);
// The filter dict syntax: {'field': value}, {'field': {'$ne'|'$in'|'$gt'|...: operand}}.
std::optional<quarn_core::db::Filter> parse_filter(PyObject* dict);
// The condition language of quarn.Where: the dict syntax plus $eq, $nin, $exists and
// $contains on a field, and $and, $or (non-empty lists of conditions) and $not (a condition)
// beside the fields, nested at most Filter::kMaxDepth dicts deep; a Where may stand for a
// condition anywhere. A TypeError names the argument `name`; malformed conditions raise
// ValueError naming the operator and what it expects.
struct WhereCondition {
  quarn_core::db::Filter filter;
  std::size_t depth;  // dicts nested, 1 for a condition without $and, $or or $not
};
std::optional<WhereCondition> parse_where(PyObject* obj, const char* name);
// A filter as a condition of that language (a new dict), each field's operators gathered
// into one dict where no two collide and {field: {"$eq": v}} written {field: v}: what
// parse_where reads back to an equivalent filter. Ranges show their bound as a float.
PyObject* where_to_py(const quarn_core::db::Filter& filter);
// One filter operand as a JSON value.
std::optional<quarn_core::json::Value> py_to_json(PyObject* obj);

// Results.
PyObject* floats_to_list(const std::vector<float>& values);
PyObject* strings_to_list(const std::vector<std::string>& values);
PyObject* str_from(const std::string& text);
// A JSON value as new Python objects: dict (keys in stored order), list, str, int, float,
// bool or None; the values json.loads gives for the value's compact text.
PyObject* json_to_py(const quarn_core::json::Value& value);

// ---- Bulk reads and loads ----

// include=: a sequence of the names "vectors" and "metadata" (or "metadatas"), in any order;
// nullptr (not given) reads both. A str itself is refused, as is an unknown name.
std::optional<quarn_core::db::ReadFields> to_read_fields(PyObject* obj, const char* name);
// missing=: "raise" (the default, also for nullptr) gives false, "skip" true.
std::optional<bool> to_skip_missing(PyObject* obj, const char* name);
// batch_size=: a positive int; nullptr and None give `fallback`.
std::optional<std::size_t> to_batch_size(PyObject* obj, const char* name, std::size_t fallback);

// A result block of float32 rows that the core fills without the GIL: a NumPy array when
// NumPy imports, else a buffer that becomes a list of lists of floats. One per call; its
// memory stays put until finish().
class F32Output {
 public:
  // nullopt with an exception set (memory, NumPy's own errors). `numpy_unavailable` keeps,
  // for the module, that NumPy failed to import once, so that it is not tried at every call.
  static std::optional<F32Output> make(std::size_t rows, std::size_t width,
                                       bool* numpy_unavailable);
  std::span<float> data() const { return data_; }
  // The first `rows` rows (rows <= the rows made): the array (a view of them when fewer) or
  // the lists. nullptr with an exception set.
  PyObject* finish(std::size_t rows);
  bool is_array() const { return static_cast<bool>(array_); }

 private:
  F32Output() = default;
  PyRef array_;
  std::optional<PyBufferView> view_;
  std::vector<float> owned_;
  std::span<float> data_;
  std::size_t rows_ = 0, width_ = 0;
};

// A metadata patch: a dict (None refused) through json.dumps.
std::optional<quarn_core::json::Value> to_patch(PyObject* obj, const char* name);

// The pending exception taken out of the error indicator (normalized), and put back.
PyRef take_exception();
void restore_exception(PyRef exception);

// A list of metadata values: dicts (as get returns them) or None.
PyObject* metadata_list(const std::vector<Metadata>& values);

// Raises ValueError with the error's display text; returns nullptr for `return raise(...)`.
PyObject* raise_core(const quarn_core::QuarnError& error);
PyObject* raise_value_error(const std::string& message);
// None when a core call succeeded, else its error raised as by raise_core.
PyObject* none_or_raise(const quarn_core::Result<void>& result);

}  // namespace quarn_py
