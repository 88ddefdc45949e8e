// The module's functions (fast calling convention with keywords).
#pragma once

#include "lib/python.hpp"

namespace quorvel::py {

PyObject* fit_probit(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ame(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvel::py
