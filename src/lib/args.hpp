// Argument binding for functions with the fast calling convention with
// keywords, and the re-labelling of conversion errors.
#pragma once

#include <array>
#include <cstddef>

#include "lib/pyref.hpp"

namespace quorvel::py {

// Fills one slot per parameter (borrowed references, null when absent) from
// the positional arguments first, then from the keywords in the caller's
// order.  The first `required` parameters must be present.  An optional
// parameter passed as None counts as absent.  Raises TypeError with the
// interpreter's usual wording:
//   "f() takes from R to N positional arguments but C were given"
//   "f() got an unexpected keyword argument 'kw'"
//   "f() got multiple values for argument 'kw'"
//   "f() missing 1 required positional argument: 'a'"
void bind_arguments(const char* function, const char* const* names, std::size_t count,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const char* function, const char* const (&names)[N],
                                        std::size_t required, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    bind_arguments(function, names, N, required, args, nargs, kwnames, slots.data());
    return slots;
}

// Replaces a pending exception whose type is exactly TypeError by
// TypeError("argument '<name>': " + str(original)), keeping the original's
// __cause__.  Any other pending exception stays as it is.
void relabel_argument_error(const char* name) noexcept;

// Runs convert(); when it fails with a Python exception, re-labels it for the
// named parameter and rethrows.
template <class F>
auto convert_argument(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        relabel_argument_error(name);
        throw;
    }
}

}  // namespace quorvel::py
