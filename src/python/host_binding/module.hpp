/// @brief Module building: classes made from their blueprints, attributes added in the order
/// of __all__, functions bound to the module, and the claim of the one interpreter.
#pragma once

#include "errors.hpp"

namespace tavo::host {

// The class described by `blueprint`, with __doc__ set to None when the doc text has an
// empty docstring proper (the interpreter would make it ''; __text_signature__ still works).
Ref new_type(PyType_Spec* blueprint, bool empty_docstring);

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* value);

// A built-in function bound to `module`, added with add_to_module.
void add_function(PyObject* module, PyMethodDef* def);

// The interpreter ID claim of the init entry point: the first initialising interpreter
// owns the module for the life of the process.
void claim_interpreter();

}  // namespace tavo::host
