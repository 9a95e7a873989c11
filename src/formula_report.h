// The Python entry points of the three workbook reports. Each binds and
// converts its arguments, runs its decoder with the interpreter lock held and
// converts the decoder's result, or raises its decode error.
#pragma once

#include "lib.h"

namespace mdn {

PyObject* formula_r1c1_report(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* raw_values_report(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* formula_surface_report(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace mdn
