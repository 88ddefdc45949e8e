// Single include point for the CPython and NumPy C APIs.
//
// NumPy's API table lives in numpy_api.cpp (the only translation unit that
// defines QUORVEL_NUMPY_API_OWNER); every other unit refers to it.  The table
// is filled lazily by ensure_numpy(), never at import time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef QUORVEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
