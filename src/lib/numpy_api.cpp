#define QUORVEL_NUMPY_API_OWNER
#include "lib/numpy_api.hpp"

#include "lib/boundary.hpp"

namespace quorvel::py {
namespace {

// Raises the internal-error exception with the message, chaining the
// exception that is pending (if any) as its cause.
[[noreturn]] void fail_with_cause(const char* message) {
    PyRef cause = fetch_exception();
    set_panic(message);
    if (cause) {
        PyRef panic = fetch_exception();
        if (panic) PyException_SetCause(panic.get(), cause.release());  // steals
        restore_exception(std::move(panic));
    }
    throw ErrorAlreadySet{};
}

[[noreturn]] void fail_version(const char* format, int a, int b) {
    char message[256];
    PyOS_snprintf(message, sizeof message, format, a, b);
    set_panic(message);
    throw ErrorAlreadySet{};
}

}  // namespace

void ensure_numpy() {
    if (PyArray_API != nullptr) return;

    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!numpy && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        numpy = PyRef::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!numpy) fail_with_cause("Failed to import NumPy module");

    PyRef capsule = PyRef::steal(PyObject_GetAttrString(numpy.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
        fail_with_cause("Failed to get NumPy API capsule");
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) fail_with_cause("Failed to get NumPy API capsule");

    // The version checks read through the table, so install it first and
    // withdraw it again when the running NumPy does not fit.
    PyArray_API = table;
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        int running = static_cast<int>(PyArray_GetNDArrayCVersion());
        PyArray_API = nullptr;
        fail_version("module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<int>(NPY_VERSION), running);
    }
    int feature = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > feature) {
        PyArray_API = nullptr;
        fail_version("module was compiled against NumPy C-API version 0x%x but the running NumPy "
                     "has C-API version 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION), feature);
    }
    PyArray_RUNTIME_VERSION = feature;
}

}  // namespace quorvel::py
