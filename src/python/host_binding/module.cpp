#include "module.hpp"

#include <atomic>
#include <cstdint>

#include "internal_failure.hpp"

namespace tavo::host {

Ref new_type(PyType_Spec* blueprint, bool empty_docstring) {
    Ref type = require(PyType_FromSpec(blueprint));
    for (const PyType_Slot* slot = blueprint->slots; slot->slot != 0; ++slot) {
        if (slot->slot != Py_tp_doc) continue;
        if (!compat::keep_whole_doc_text(type.get(), static_cast<const char*>(slot->pfunc)))
            throw PythonError{};
    }
    if (empty_docstring) require_status(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
    return type;
}

void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    // Kept for the life of the process once made; a failure to make it leaves nothing behind,
    // so the next import tries again.
    static PyObject* all_name = nullptr;
    if (all_name == nullptr) all_name = require(PyUnicode_InternFromString("__all__")).release();
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = require(PyList_New(0));
        require_status(PyObject_SetAttr(module, all_name, all.get()));
    }
    if (!PyList_Check(all.get())) raise_cast_error(all.get(), "list");
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    require_status(PyObject_SetAttr(module, name, value));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = require(PyModule_GetNameObject(module));
    Ref function = require(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = require(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) raise_cast_error(name.get(), "str");
    add_to_module(module, name.get(), function.get());
}

void claim_interpreter() {
    // The first initialising interpreter owns the module for the life of the process.
    static std::atomic<std::int64_t> owner{-1};
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (PyErr_Occurred() == nullptr) {
            raise(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        throw PythonError{};
    }
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id) {
        raise(PyExc_ImportError,
              "tavo does not support sub-interpreters: it is already initialised in another "
              "interpreter of this process");
    }
}

}  // namespace tavo::host
