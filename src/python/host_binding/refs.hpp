/// @brief References: `Ref`, the one owner of a strong reference, and `may_touch_objects`,
/// the rule for a thread that the interpreter ends at exit.
///
/// Ownership rules:
///  - `Ref` owns one strong reference and drops it in its destructor. It hands the reference
///    on only through `release()`, into a list slot or to the interpreter; copying is not
///    allowed.
///  - A bare `PyObject*` in this layer is borrowed: whoever holds it never decref's it.
///  - Every function that makes a new reference returns a `Ref`, and every function that takes
///    one over takes a `Ref`.
#pragma once

#include <utility>

#include "compat.hpp"

namespace tavo::host {

// At exit, CPython (up to 3.13) ends a daemon thread that asks for the interpreter lock
// with pthread_exit, which on glibc unwinds the thread's stack like an exception: the
// destructors of every frame on the way run, without the lock. So that unwinding must pass
// through the module untouched: no handler catches it, no frame on its way is noexcept (a
// noexcept frame would end the process), and nothing on its way touches an object. Other C
// libraries end the thread without unwinding.
//
// The unwinding is no C++ exception, while every failure of the module is a std::exception:
// so the handlers of this layer name std::exception and never catch everything. (A catch-all
// would catch the unwinding too, and not every C++ runtime can send it on its way again.)

// False only on such an ending thread: the interpreter is finalising and this thread does
// not hold the lock. It leaves every object alone (the process is ending; what it held
// stays allocated).
inline bool may_touch_objects() noexcept {
    if (!compat::is_finalizing()) return true;
    return PyGILState_Check() != 0;
}

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    // Not noexcept, for the reason of the destructor.
    Ref& operator=(Ref&& other) {  // NOLINT(performance-noexcept-move-constructor)
        Ref dropped(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    // Not noexcept: dropping the last reference may run Python code (a __del__), in which a
    // thread can be ended at exit.
    ~Ref() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions)
        if (p_ != nullptr && may_touch_objects()) Py_DECREF(p_);
    }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    // A new reference to the same object.
    Ref share() const { return borrow(p_); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference kept for the life of the process, once set: never dropped, so that nothing
// touches the object after the interpreter is gone.
class KeptForProcess {
public:
    explicit operator bool() const { return p_ != nullptr; }
    void keep(const Ref& object) { p_ = object.share().release(); }
    Ref get() const { return Ref::borrow(p_); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tavo::host
