/// @brief Callables as the interpreter sees them: `Callable`, the one description of a
/// function, method or constructor (and `ClassRecord`, which names a class once); the doc
/// text made from it at compile time; and `Arguments`, the parser of both calling conventions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "refs.hpp"

namespace tavo::host {

// A callable as the interpreter sees it, described once: the parser's parameter list, the
// display name of its messages, the text signature and doc text of its method-table row and
// a class's qualified name all come from this record.
struct Callable {
    enum class Kind : std::uint8_t { kFunction, kMethod, kConstructor };
    static constexpr std::size_t kMaxParameters = 3;

    Kind kind;
    std::string_view class_name;  // empty for a module function
    std::string_view name;        // a constructor's is its class's
    std::array<std::string_view, kMaxParameters> parameter_names;
    std::size_t arity;
    std::string_view doc;  // the docstring proper, often empty

    constexpr std::span<const std::string_view> parameters() const {
        return {parameter_names.data(), arity};
    }

    // "name()", "Class.name()" or "Class.__new__()", as argument errors name it.
    std::string display_name() const;

    // Writes, piece by piece through put(std::string_view), "name(a, b)\n--\n\n" + doc,
    // with "$self" first for a method: the interpreter derives __text_signature__ from the
    // first line and __doc__ from the rest.
    template <class Put>
    constexpr void write_doc_text(Put&& put) const {
        put(name);
        put("(");
        if (kind == Kind::kMethod) put(arity == 0 ? "$self" : "$self, ");
        for (std::size_t i = 0; i < arity; ++i) {
            if (i > 0) put(", ");
            put(parameter_names[i]);
        }
        put(")\n--\n\n");
        put(doc);
    }
};

consteval Callable describe(Callable::Kind kind, std::string_view class_name, std::string_view name,
                            std::initializer_list<std::string_view> parameters,
                            std::string_view doc) {
    Callable c{kind, class_name, name, {}, parameters.size(), doc};
    std::size_t i = 0;
    // at() refuses a parameter past the capacity: no constant, so no compilation.
    for (std::string_view parameter : parameters) c.parameter_names.at(i++) = parameter;
    return c;
}
consteval Callable function(std::string_view name,
                            std::initializer_list<std::string_view> parameters,
                            std::string_view doc = {}) {
    return describe(Callable::Kind::kFunction, {}, name, parameters, doc);
}

// A class, named once: its constructor and methods are described through it.
struct ClassRecord {
    std::string_view name;

    consteval Callable method(std::string_view method_name,
                              std::initializer_list<std::string_view> parameters) const {
        return describe(Callable::Kind::kMethod, name, method_name, parameters, {});
    }
    consteval Callable constructor(std::initializer_list<std::string_view> parameters,
                                   std::string_view doc = {}) const {
        return describe(Callable::Kind::kConstructor, name, name, parameters, doc);
    }
};

// The text that `write` writes through its put(std::string_view), made at compile time and
// kept as a NUL-terminated constant for the interpreter.
template <auto write>
struct StaticText {
    static constexpr std::size_t kLength = [] {
        std::size_t length = 0;
        write([&](std::string_view piece) { length += piece.size(); });
        return length;
    }();
    static constexpr std::array<char, kLength + 1> kText = [] {
        std::array<char, kLength + 1> text{};
        std::size_t at = 0;
        write([&](std::string_view piece) {
            for (const char ch : piece) text[at++] = ch;
        });
        return text;
    }();
    static constexpr const char* c_str() noexcept { return kText.data(); }
};

template <const Callable& c>
constexpr const char* doc_text() noexcept {
    return StaticText<[](auto put) { c.write_doc_text(put); }>::c_str();
}

// "builtins.<class>": __module__ is "builtins", the repr shows the dotted name.
template <const Callable& c>
constexpr const char* qualified_class_name() noexcept {
    return StaticText<[](auto put) {
        put("builtins.");
        put(c.class_name);
    }>::c_str();
}

// One borrowed object per declared parameter, filled by parsing.
class Arguments {
public:
    // Fast calling convention: positional vector plus a tuple of keyword names. Inline, so
    // that the common call (every parameter by position, none by keyword: nothing can be
    // wrong or missing) costs a few moves of the description's own arity.
    Arguments(const Callable& callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : callable_(callable) {
        if (kwnames == nullptr && static_cast<std::size_t>(nargs) == callable.arity) [[likely]] {
            for (std::size_t i = 0; i < callable.arity; ++i) slots_[i] = args[i];
            return;
        }
        parse(args, nargs, kwnames);
    }
    // Classic convention (constructors): argument tuple plus keyword dictionary.
    Arguments(const Callable& callable, PyObject* args, PyObject* kwargs);

    PyObject* object(std::size_t index) const { return slots_[index]; }
    // The parameter names are literals, NUL-terminated.
    const char* parameter_name(std::size_t index) const {
        return callable_.parameters()[index].data();
    }

private:
    void parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    void fill_positional(Py_ssize_t nargs);
    void fill_keyword(PyObject* name, PyObject* value);
    void check_complete() const;

    const Callable& callable_;
    std::array<PyObject*, Callable::kMaxParameters> slots_{};
};

}  // namespace tavo::host
