/// @brief Every difference between the interpreter versions the module builds for, in one
/// place: finalisation, the pending exception, fresh floats, the doc text of a heap type, and
/// the locks and declarations of builds without the interpreter lock.
/// The rest of the binding calls these and never tests PY_VERSION_HEX itself.
///
/// This is the floor below `Ref`: its functions pass raw references, and each says whether it
/// hands over or takes over a reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <new>

namespace tavo::host::compat {

inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Takes the pending exception out of the interpreter, normalised, as three new references
// (null where there is none); the value's traceback is the traceback.
inline void fetch_exception(PyObject*& type, PyObject*& value, PyObject*& traceback) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value = PyErr_GetRaisedException();
    type = nullptr;
    traceback = nullptr;
    if (value != nullptr) {
        type = reinterpret_cast<PyObject*>(Py_TYPE(value));
        Py_INCREF(type);
        traceback = PyException_GetTraceback(value);
    }
#else
    type = value = traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
#endif
}

// Makes the exception the interpreter's current one again (no implicit chaining), taking over
// the three references.
inline void restore_exception(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(type, value, traceback);
#endif
}

// The object header layouts the module writes itself, each checked against this build's
// headers: a version, build kind or word size not listed here gets the interpreter's own
// initialisation, since a field the module does not know of would keep whatever the memory
// held (from 3.14 the flags beside the count: a stale bit there may make the interpreter
// take the object for an immortal one and never free it).
#if defined(Py_GIL_DISABLED) || PY_VERSION_HEX >= 0x03100000
inline constexpr bool kKnownHeader = false;
#elif PY_VERSION_HEX >= 0x030E0000 && SIZEOF_VOID_P > 4
// The 32-bit count, the overflow and the flags share one 64-bit word, set at once.
inline constexpr bool kKnownHeader = true;
static_assert(offsetof(PyObject, ob_refcnt_full) == 0 && sizeof(PyObject::ob_refcnt_full) == 8);
static_assert(offsetof(PyObject, ob_refcnt) + sizeof(PyObject::ob_refcnt) <= 8 &&
              offsetof(PyObject, ob_overflow) + sizeof(PyObject::ob_overflow) <= 8 &&
              offsetof(PyObject, ob_flags) + sizeof(PyObject::ob_flags) <= 8);
static_assert(offsetof(PyObject, ob_type) == 8 && sizeof(PyObject) == 16);
#else
// The count is one word of its own, before the type.
inline constexpr bool kKnownHeader = true;
static_assert(offsetof(PyObject, ob_refcnt) == 0 &&
              sizeof(PyObject::ob_refcnt) == sizeof(Py_ssize_t));
static_assert(offsetof(PyObject, ob_type) == sizeof(Py_ssize_t) &&
              sizeof(PyObject) == sizeof(Py_ssize_t) + sizeof(PyTypeObject*));
#endif

// Whether a fresh object may skip the interpreter's initialisation: only where the header is
// one of the known ones above, and neither the reference bookkeeping of debug builds nor,
// from 3.13, a reference tracer needs the call that sets the count.
inline bool fresh_objects_may_skip_init() noexcept {
#if defined(Py_REF_DEBUG) || defined(Py_TRACE_REFS)
    return false;
#else
    if constexpr (!kKnownHeader) {
        return false;
    } else {
#if PY_VERSION_HEX >= 0x030D0000
        void* data = nullptr;
        return PyRefTracer_GetTracer(&data) == nullptr;
#else
        return true;
#endif
    }
#endif
}

// The header of a fresh object in memory that may hold anything, as the interpreter's own
// initialisation leaves it; only where fresh_objects_may_skip_init() allows it.
inline void init_fresh_object(PyObject* object, PyTypeObject* type) noexcept {
    Py_SET_TYPE(object, type);
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030E0000 && SIZEOF_VOID_P > 4
    object->ob_refcnt_full = 1;
#elif !defined(Py_GIL_DISABLED)
    // Not Py_SET_REFCNT: from 3.12 it leaves a count alone that looks immortal.
    object->ob_refcnt = 1;
#else
    (void)object;
#endif
}

// Whether only the holder of the interpreter lock touches objects, their borrow flags
// included: then a flag changes by a plain load and store, which the lock orders, instead of
// a locked read-modify-write per call. Not where threads run truly in parallel.
#if defined(Py_GIL_DISABLED)
inline constexpr bool kObjectsUnderLock = false;
#else
inline constexpr bool kObjectsUnderLock = true;
#endif

// The sequence's own lock where threads run truly in parallel (from 3.13, without the
// interpreter lock), held for the guard's life: a list read item by item then changes only
// between reads, never under one. The interpreter suspends it while the holder waits or runs
// code that locks another object, as its own readers' locks are. Nothing elsewhere.
class CriticalSection {
public:
#if defined(Py_GIL_DISABLED)
    explicit CriticalSection(PyObject* object) noexcept {
        PyCriticalSection_Begin(&section_, object);
    }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#if defined(Py_GIL_DISABLED)
    PyCriticalSection section_;
#endif
};

// Declares that the module keeps no state that needs the interpreter lock, so that importing
// it on a build without the lock does not turn the lock back on.
inline bool declare_no_lock_needed(PyObject* module) noexcept {
#if defined(Py_GIL_DISABLED)
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) == 0;
#else
    (void)module;
    return true;
#endif
}

// One-time initialisation that runs Python code: where threads run in parallel, a mutex that
// lets the interpreter go on (and stop the world) while a thread waits for it. Elsewhere the
// interpreter lock keeps other threads out but where that code lets them in, which only a
// second import at the same time could use: nothing more is needed there.
class InitLock {
public:
#if defined(Py_GIL_DISABLED)
    InitLock() noexcept { PyMutex_Lock(&mutex_); }
    ~InitLock() { PyMutex_Unlock(&mutex_); }
#else
    InitLock() noexcept = default;
#endif
    InitLock(const InitLock&) = delete;
    InitLock& operator=(const InitLock&) = delete;

private:
#if defined(Py_GIL_DISABLED)
    static inline PyMutex mutex_{};
#endif
};

// Before 3.10 a heap type made from its slot table keeps only the docstring proper of its
// doc text, which loses the text signature: this gives it the whole `text` back (__doc__
// already is the docstring proper). False, with MemoryError set, when the copy cannot be made.
inline bool keep_whole_doc_text(PyObject* type, const char* text) noexcept {
#if PY_VERSION_HEX < 0x030A0000
    auto* copy = static_cast<char*>(PyObject_Malloc(std::strlen(text) + 1));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    std::strcpy(copy, text);
    auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
    PyObject_Free(const_cast<char*>(heap_type->tp_doc));
    heap_type->tp_doc = copy;
#else
    (void)type;
    (void)text;
#endif
    return true;
}

}  // namespace tavo::host::compat
