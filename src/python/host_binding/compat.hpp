/// @brief Every difference between the interpreter versions the module builds for, in one
/// place: finalisation, the pending exception, fresh floats and the doc text of a heap type.
/// The rest of the binding calls these and never tests PY_VERSION_HEX itself.
///
/// This is the floor below `Ref`: its functions pass raw references, and each says whether it
/// hands over or takes over a reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// Whether a fresh object may skip the interpreter's initialisation: only the reference
// bookkeeping of debug builds and, from 3.13, reference tracers need the call that sets
// the count.
inline bool fresh_objects_may_skip_init() noexcept {
#if defined(Py_REF_DEBUG) || defined(Py_TRACE_REFS)
    return false;
#elif PY_VERSION_HEX >= 0x030D0000
    void* data = nullptr;
    return PyRefTracer_GetTracer(&data) == nullptr;
#else
    return true;
#endif
}

// The header of a fresh object in memory that may hold anything, as the interpreter's own
// initialisation leaves it where fresh_objects_may_skip_init() allows skipping it.
inline void init_fresh_object(PyObject* object, PyTypeObject* type) noexcept {
    Py_SET_TYPE(object, type);
    // Not Py_SET_REFCNT: from 3.12 it leaves a count alone that looks immortal.
    object->ob_refcnt = 1;
}

// Before 3.10 a type made from a spec keeps only the docstring proper of its doc text, which
// loses the text signature: this gives it the whole `text` back (__doc__ already is the
// docstring proper). False, with MemoryError set, when the copy cannot be made.
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
