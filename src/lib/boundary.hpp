// The boundary every interpreter-called function runs inside: no C++
// exception ever unwinds through a CPython frame.
#pragma once

#include <type_traits>

#include "lib/pyref.hpp"

namespace quorvel::py {

// The internal-error exception class, derived directly from BaseException;
// created once on first use.  Returns a borrowed reference, or null with an
// exception set when it cannot be created.
PyObject* panic_exception_type() noexcept;

// Raises the internal-error exception with the message (never throws).
void set_panic(const char* message) noexcept;

// Runs the handlers of pending signals, which is Python code; when one
// raises (SIGINT's default handler raises KeyboardInterrupt), throws
// ErrorAlreadySet with that exception set.  The entries hand it to the core
// as its interrupt, so that long computations end on Ctrl-C.
void check_signals();

// Translates the exception currently being handled into a Python exception
// held by the interpreter.  Call only from inside a catch block.
void translate_current_exception() noexcept;

// Runs body and returns its result; on any failure stores the Python
// exception and returns the error value of the result type (null for
// pointers, -1 for int).
template <class F>
auto binding_boundary(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>, "boundary result is a pointer or int");
    try {
        return body();
    } catch (...) {
        translate_current_exception();
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return -1;
    }
}

}  // namespace quorvel::py
