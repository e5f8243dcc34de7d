// The Database methods that check, repair and tune a collection (and the private helpers the
// quarn command uses): their functions and their entries in the Database method table.
#pragma once

#include <Python.h>

#include "quarn_core/db.hpp"

namespace quarn_py {

// The core database of a Database object.
// The collection of a Database object, shared by the caller for the call; null with
// ValueError set when the handle was closed.
std::shared_ptr<quarn_core::db::Database> handle(PyObject* self);

PyObject* db_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_verify_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* db_repair(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_repair_path(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_health(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_calibrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* db_set_exact_scan_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* db_set_compressed_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* db_export_with_progress(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* db_import_with_progress(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* db_recall_curve(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// Their docstrings, text signature first, for the Database method table.
extern const char kVerifyDoc[];
extern const char kVerifyPathDoc[];
extern const char kRepairDoc[];
extern const char kRepairPathDoc[];
extern const char kHealthDoc[];
extern const char kCalibrateDoc[];
extern const char kSetExactScanLimitDoc[];
extern const char kSetCompressedSearchDoc[];
extern const char kExportWithProgressDoc[];
extern const char kImportWithProgressDoc[];
extern const char kRecallCurveDoc[];

}  // namespace quarn_py
