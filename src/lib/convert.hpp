// Conversions between Python objects and native values: numbers, exact
// bools, float64 NumPy arrays (checked, never cast), strided views over NumPy
// memory, owned copies, new result arrays and string lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/linalg.hpp"
#include "lib/pyref.hpp"

namespace quorvel::py {

// __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// Index protocol, then unsigned 64 bits; the interpreter's TypeError or
// OverflowError on failure.
std::uint64_t to_u64(PyObject* obj);
// Float protocol; the interpreter's TypeError on failure.
double to_double(PyObject* obj);
// Only the bool type itself: anything else is refused with 'PyBool'.
bool to_bool_exact(PyObject* obj);

enum class ArrayErrors {
    plain,     // every refusal reads "... cannot be converted to 'PyArray<T, D>'"
    detailed,  // wrong dimensions and dtypes get their own messages
};

// Checks that obj is a NumPy array (or subclass) with ndim dimensions and a
// dtype equivalent to float64, and returns it (borrowed).  Refuses, never
// casts.  Loads NumPy's API table on first use.
PyArrayObject* require_float64_array(PyObject* obj, int ndim, ArrayErrors errors);

// Read-only views over a checked array's memory, strides as they are.
VectorView vector_view(PyArrayObject* array);
MatrixView matrix_view(PyArrayObject* array);

// New writeable float64 arrays that take over the storage (no copy); the
// memory is owned by a capsule set as the array's base.
PyRef new_array_1d(Vector&& values);
PyRef new_array_2d(Matrix&& values);

// A Python list of str from UTF-8 texts.
PyRef string_list(const std::vector<std::string>& texts);

// A sequence of str (not itself a str) as UTF-8 texts.
std::vector<std::string> to_string_vector(PyObject* obj);

}  // namespace quorvel::py
