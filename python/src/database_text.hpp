// The Database methods of full-text and hybrid search: their functions and docstrings for the
// Database method table.
#pragma once

#include <Python.h>

#include <vector>

#include "quarn_core/db.hpp"

namespace quarn_py {

PyObject* db_create_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* db_drop_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* db_text_indexes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* db_search_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* db_hybrid_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

extern const char kCreateTextIndexDoc[];
extern const char kDropTextIndexDoc[];
extern const char kTextIndexesDoc[];
extern const char kSearchTextDoc[];
extern const char kHybridSearchDoc[];

// A list of SearchResult objects of self's module, made from (and moving out of) `hits`.
PyObject* search_results(PyObject* self, std::vector<quarn_core::db::SearchResult>& hits);

}  // namespace quarn_py
