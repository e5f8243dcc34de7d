// The Database methods that read, delete or write many records per call (bulk.cpp): their
// functions and docstrings for the Database method table.
#pragma once

#include <Python.h>

namespace quarn_py {

PyObject* db_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_to_pandas(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* db_delete_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* db_update_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* db_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kGetManyDoc[];
extern const char kScanDoc[];
extern const char kToPandasDoc[];
extern const char kDeleteWhereDoc[];
extern const char kUpdateMetadataDoc[];
extern const char kLoadDoc[];

}  // namespace quarn_py
