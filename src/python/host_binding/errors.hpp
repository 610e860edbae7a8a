/// @brief Errors at the boundary: `PythonError` ("the interpreter has an exception set"),
/// `require` for results of the C API, the raisers, and `trap`, which every entry from the
/// interpreter runs its body in.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

#include "refs.hpp"

#if defined(TAVO_DEBUG_CHECKS)
#include <cstdio>
#include <cstdlib>
#endif

namespace tavo::host {

// The interpreter has an exception set; it travels up to the trap untouched. Developer
// builds check at the throw site that there is one, so that a lost exception shows where
// it was lost.
struct PythonError : std::exception {
#if defined(TAVO_DEBUG_CHECKS)
    PythonError() {
        if (PyErr_Occurred() == nullptr) {
            std::fputs("tavo: PythonError thrown with no exception set\n", stderr);
            std::abort();
        }
    }
#endif
    const char* what() const noexcept override { return "a Python exception is set"; }
};

// A new reference from the C API, or PythonError.
inline Ref require(PyObject* p) {
    if (p == nullptr) [[unlikely]]
        throw PythonError{};
    return Ref::steal(p);
}
// A status code from the C API: negative means an exception is set.
inline void require_status(int status) {
    if (status < 0) [[unlikely]]
        throw PythonError{};
}

// Sets `type` with `message` and throws PythonError.
[[noreturn, gnu::cold, gnu::noinline]] void raise(PyObject* type, const std::string& message);

// "'<qualified name of obj's type>' object cannot be cast as '<target>'"
std::string cast_error_text(PyObject* obj, std::string_view target);
[[noreturn, gnu::cold, gnu::noinline]] void raise_cast_error(PyObject* obj, const char* target);

// Replaces a pending TypeError with "argument '<name>': <text>" (keeping its __cause__)
// and throws PythonError. Pending errors of other types pass through unchanged.
[[noreturn, gnu::cold, gnu::noinline]] void raise_argument_error(const char* name);

// The interpreter failed to build a result object (an exception is set). A refused
// allocation stays the MemoryError it raised; anything else is reported and becomes an
// internal failure.
[[noreturn, gnu::cold, gnu::noinline]] void result_creation_failed(
    std::source_location where = std::source_location::current());

// The PanicException class (borrowed), made once; null with an exception set if it cannot be.
PyObject* panic_type();

// Called from a handler of std::exception: raises what was caught as a Python exception.
void raise_from_failure();

// Runs `body` (which returns a Ref) and turns every failure into a raised Python exception:
// PythonError as is, std::bad_alloc as MemoryError, the core's InternalFailure and any other
// std::exception as PanicException (reported on standard error first). The unwinding of an
// ending thread passes.
template <class Body>
PyObject* trap(Body&& body) {
    try {
        return body().release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::exception&) {
        raise_from_failure();
        return nullptr;
    }
}

}  // namespace tavo::host
