// Conversions between Python objects and native values: numbers, exact
// bools, float64 NumPy arrays (checked, never cast), strided views over NumPy
// memory, owned copies, new result arrays and string lists.
#pragma once

#include <cstdint>
#include <optional>
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

// An array as a check found it: its data pointer, dimensions, strides and
// dtype at that moment, with references held on the array and on the dtype
// (so neither can be freed and its address reused).  Python code that runs
// after the check (an __index__, a property, a signal handler, a finaliser
// run by the collector) can reshape the array, move its data or swap its
// dtype.  So a view is taken only where no Python code runs between
// unchanged() and the last read through the view, and it is built from what
// was captured.
class CheckedArray {
public:
    explicit CheckedArray(PyArrayObject* array);

    // The array still has the captured data pointer, dimensions, strides and
    // dtype object.  Runs no Python code.
    bool unchanged() const noexcept;
    // ValueError "<what> was modified during the call" unless unchanged().
    void require_unchanged(const char* what) const;

    // Read-only views over the captured memory, strides as they are.
    VectorView vector() const;
    MatrixView matrix() const;

    // The captured dtype object (borrowed).
    PyObject* descr() const noexcept { return descr_.get(); }

private:
    PyRef array_;
    PyRef descr_;
    const char* data_;
    int ndim_;
    npy_intp dims_[2] = {0, 0};
    npy_intp strides_[2] = {0, 0};
};

// Checks that obj is a NumPy array (or subclass) with ndim (1 or 2)
// dimensions and a dtype equivalent to float64, and captures it.  Refuses,
// never casts.  Loads NumPy's API table on first use.  The dtype test can run
// Python code, so call unchanged() on the result before reading the memory.
CheckedArray require_float64_array(PyObject* obj, int ndim, ArrayErrors errors);

// obj as require_float64_array(obj, 2, ...) would return it, when obj is an
// array of two dimensions with NumPy's own float64 descriptor: for such an
// array the checks run no Python code and cannot fail.  nullopt (and nothing
// raised) for anything else.  NumPy's API table must have been loaded.
std::optional<CheckedArray> plain_float64_matrix(PyObject* obj);

// New writeable float64 arrays that take over the storage (no copy); the
// memory is owned by a capsule set as the array's base.
PyRef new_array_1d(Vector&& values);
PyRef new_array_2d(Matrix&& values);

// A Python list of str from UTF-8 texts.
PyRef string_list(const std::vector<std::string>& texts);

// A sequence of str (not itself a str) as UTF-8 texts.
std::vector<std::string> to_string_vector(PyObject* obj);

}  // namespace quorvel::py
