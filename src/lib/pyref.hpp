// Owning references to Python objects and the one failure path out of
// CPython calls.
#pragma once

#include <utility>

#include "lib/python.hpp"

namespace quorvel::py {

// Thrown when the interpreter already holds the exception to report; the
// binding boundary lets it pass to the caller unchanged.
struct ErrorAlreadySet {};

// Move-only owner of one strong reference (or of nothing).
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (which may be null).
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Gives up ownership; the caller now holds the reference.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A null result of a CPython or NumPy call means an exception is set.
template <class T>
T* check(T* result) {
    if (result == nullptr) throw ErrorAlreadySet{};
    return result;
}
// A new reference that must not be null.
inline PyRef check_new(PyObject* result) { return PyRef::steal(check(result)); }
// A -1 status means an exception is set.
inline int check_status(int status) {
    if (status == -1) throw ErrorAlreadySet{};
    return status;
}

// Takes the pending exception out of the interpreter as one normalised
// exception object (traceback attached), or an empty reference.
inline PyRef fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return PyRef();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return PyRef::steal(value);
#endif
}

// Makes exc the pending exception again (consumes the reference).
inline void restore_exception(PyRef exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Sets a Python exception of the given type and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const char* message);

}  // namespace quorvel::py
