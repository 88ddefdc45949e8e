#include "lib/args.hpp"

#include <string>

namespace quorvel::py {
namespace {

// Index of the parameter named by the keyword, or count when none is.
std::size_t find_parameter(PyObject* keyword, const char* const* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) return i;
    }
    return count;
}

[[noreturn]] void raise_missing(const char* function, const char* const* names, std::size_t required,
                                const PyObject* const* slots) {
    std::string list;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) ++missing;
    }
    std::size_t seen = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] != nullptr) continue;
        ++seen;
        if (seen > 1) {
            if (missing > 2) list += ",";
            list += seen == missing ? " and " : " ";
        }
        list += "'";
        list += names[i];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function,
                 missing, missing == 1 ? "" : "s", list.c_str());
    throw ErrorAlreadySet{};
}

}  // namespace

void bind_arguments(const char* function, const char* const* names, std::size_t count,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    for (std::size_t i = 0; i < count; ++i) slots[i] = nullptr;

    if (nargs > static_cast<Py_ssize_t>(count)) {
        if (required == count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given",
                         function, count, count == 1 ? "" : "s", nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zd were given",
                         function, required, count, nargs);
        }
        throw ErrorAlreadySet{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
            std::size_t slot = find_parameter(keyword, names, count);
            if (slot == count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             function, keyword);
                throw ErrorAlreadySet{};
            }
            if (slots[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function,
                             keyword);
                throw ErrorAlreadySet{};
            }
            slots[slot] = args[nargs + i];
        }
    }

    for (std::size_t i = 0; i < required; ++i) {
        if (slots[i] == nullptr) raise_missing(function, names, required, slots);
    }
    for (std::size_t i = required; i < count; ++i) {
        if (slots[i] == Py_None) slots[i] = nullptr;
    }
}

void relabel_argument_error(const char* name) noexcept {
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr || pending != PyExc_TypeError) return;
    PyRef original = fetch_exception();
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) return;  // str() failed: that exception is now pending
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef relabelled = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!relabelled) return;
    PyObject* cause = PyException_GetCause(original.get());  // new reference or null
    if (cause != nullptr) PyException_SetCause(relabelled.get(), cause);  // steals
    restore_exception(std::move(relabelled));
}

}  // namespace quorvel::py
