#include "lib/boundary.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "core/linalg.hpp"

namespace quorvel::py {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorAlreadySet{};
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw ErrorAlreadySet{};
}

PyObject* panic_exception_type() noexcept {
    // Created under the interpreter lock and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "quorvel.PanicException",
            "Raised when an internal consistency check of quorvel fails.\n\n"
            "It derives from BaseException, not Exception: it signals a fault in\n"
            "the extension or inputs that broke its invariants, not a bad value.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const InputError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const InternalError& e) {
        set_panic(e.what());
    } catch (const std::bad_alloc&) {
        set_panic("memory allocation failed");
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown native exception");
    }
}

}  // namespace quorvel::py
