#include "callables.hpp"

#include <vector>

#include "errors.hpp"

namespace tavo::host {

std::string Callable::display_name() const {
    std::string display;
    if (!class_name.empty()) display = std::string(class_name) + ".";
    display += kind == Kind::kConstructor ? std::string_view("__new__") : name;
    return display + "()";
}

void Arguments::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    fill_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < n; ++j)
            fill_keyword(PyTuple_GET_ITEM(kwnames, j), args[nargs + j]);
    }
    check_complete();
}

Arguments::Arguments(const Callable& callable, PyObject* args, PyObject* kwargs)
    : callable_(callable) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    fill_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) fill_keyword(key, value);
    }
    check_complete();
}

void Arguments::fill_positional(Py_ssize_t nargs) {
    const auto n = callable_.arity;
    if (static_cast<std::size_t>(nargs) > n) {
        raise(PyExc_TypeError, callable_.display_name() + " takes " + std::to_string(n) +
                                   " positional arguments but " + std::to_string(nargs) + " " +
                                   (nargs == 1 ? "was" : "were") + " given");
    }
}

void Arguments::fill_keyword(PyObject* name, PyObject* value) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
    if (utf8 == nullptr) {
        PyErr_Clear();  // not encodable (a lone surrogate): it names no parameter
    } else {
        const std::string_view key(utf8, static_cast<std::size_t>(length));
        for (std::size_t i = 0; i < callable_.arity; ++i) {
            if (key != callable_.parameter_names[i]) continue;
            if (slots_[i] != nullptr) {
                raise(PyExc_TypeError, callable_.display_name() +
                                           " got multiple values for argument '" +
                                           std::string(callable_.parameter_names[i]) + "'");
            }
            slots_[i] = value;
            return;
        }
    }
    // The name as the caller wrote it, NUL characters and all.
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 callable_.display_name().c_str(), name);
    throw PythonError{};
}

void Arguments::check_complete() const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < callable_.arity; ++i) {
        if (slots_[i] == nullptr) missing.push_back(callable_.parameter_names[i]);
    }
    if (missing.empty()) return;
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) names += ',';
            if (i + 1 == missing.size()) names += " and";
            names += ' ';
        }
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    raise(PyExc_TypeError, callable_.display_name() + " missing " + std::to_string(missing.size()) +
                               " required positional " +
                               (missing.size() == 1 ? "argument" : "arguments") + ": " + names);
}

}  // namespace tavo::host
