#include "errors.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "internal_failure.hpp"

namespace tavo::host {

PyObject* panic_type() {
    // Created at the module's import (or at an earlier failure) and kept for the life of the
    // process; of two threads that make it at once, the first one's is kept.
    static std::atomic<PyObject*> kept{nullptr};
    PyObject* type = kept.load(std::memory_order_acquire);
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when the extension's own code fails.\n\n"
            "Like SystemExit, this exception is derived from BaseException so that it will\n"
            "typically propagate all the way through the stack and cause the Python\n"
            "interpreter to exit.",
            PyExc_BaseException, nullptr);
        if (type == nullptr) return nullptr;
        PyObject* expected = nullptr;
        if (!kept.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
            Py_DECREF(type);
            type = expected;
        }
    }
    return type;
}

namespace {

// The pending exception, taken out of the interpreter and normalised.
struct PendingError {
    Ref type;
    Ref value;
    Ref traceback;

    static PendingError take() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        compat::fetch_exception(type, value, traceback);
        return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    }

    // Makes this the interpreter's current exception again (no implicit chaining).
    void restore() {
        compat::restore_exception(type.release(), value.release(), traceback.release());
    }
};

std::string thread_name() {
    if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) return "main";
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof(name)) == 0 && name[0] != '\0') {
        return name;
    }
    return "<unnamed>";
}

void write_report(const std::string& message, const std::source_location* where) {
    std::string report = "thread '" + thread_name() + "' failed";
    if (where != nullptr) {
        report += std::string(" at ") + where->file_name() + ":" + std::to_string(where->line()) +
                  ":" + std::to_string(where->column());
    }
    report += ":\n" + message + "\n";
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the host's error from creating the class stays set
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

std::string type_qualname(PyObject* obj) {
    Ref name =
        require(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr) throw PythonError{};
    return text;
}

}  // namespace

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

std::string cast_error_text(PyObject* obj, std::string_view target) {
    std::string text = "'";
    text += type_qualname(obj);
    text += "' object cannot be cast as '";
    text += target;
    text += '\'';
    return text;
}

[[noreturn]] void raise_cast_error(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, cast_error_text(obj, target));
}

[[noreturn]] void raise_argument_error(const char* name) {
    PendingError error = PendingError::take();
    if (error.value &&
        PyObject_TypeCheck(error.value.get(), reinterpret_cast<PyTypeObject*>(panic_type()))) {
        // A failure of this module's own code surfaced in Python code that a conversion
        // ran: it stays a failure of ours, with its message.
        std::fputs(
            "tavo: a PanicException raised inside an argument conversion resumes here.\n"
            "Python stack trace below:\n",
            stderr);
        Ref message = require(PyObject_Str(error.value.get()));
        const char* text = PyUnicode_AsUTF8(message.get());
        std::string copy = text != nullptr ? text : "";
        PyErr_Display(error.type.get(), error.value.get(), error.traceback.get());
        fail(copy);
    }
    if (error.type.get() != PyExc_TypeError) {
        error.restore();
        throw PythonError{};
    }
    Ref text = require(PyObject_Str(error.value.get()));
    Ref message = require(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref replacement = require(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(error.value.get()));
    PendingError prefixed{Ref::borrow(PyExc_TypeError), std::move(replacement), Ref()};
    prefixed.restore();
    throw PythonError{};
}

[[noreturn]] void result_creation_failed(std::source_location where) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
    PyErr_PrintEx(0);
    fail("Python API call failed", where);
}

void raise_from_failure() {
    // Called from the trap's handler: rethrow to learn what was caught.
    try {
        throw;
    } catch (const InternalFailure& failure) {
        write_report(failure.message(), &failure.where());
        raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        write_report(failure.what(), nullptr);
        raise_panic(failure.what());
    }
}

}  // namespace tavo::host
