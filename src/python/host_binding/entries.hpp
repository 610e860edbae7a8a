/// @brief Entries from the interpreter and class definitions. A body declares what it takes
/// (`Ref set_dofs(EvaluatorValue&, FloatSequence legendre_vals)`); its entry parses the
/// arguments by the description's parameter names, checks the receiver, takes access and
/// converts the arguments left to right, all inside the trap. `method_row` makes the
/// method-table row of a body, `ClassDefinition` a class from its constructor and methods.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "callables.hpp"
#include "conversions.hpp"
#include "instances.hpp"
#include "module.hpp"

namespace tavo::host {

namespace detail {

template <std::size_t I, class Parameter>
struct ConvertedArgument {
    Caster<std::remove_cvref_t<Parameter>> caster;
};

template <class Indices, class... Parameters>
struct Converted;
// The arguments of one call, converted left to right (bases are initialised in the order they
// are declared), so that the first failure is the one reported.
template <std::size_t... I, class... Parameters>
struct Converted<std::index_sequence<I...>, Parameters...> : ConvertedArgument<I, Parameters>... {
    explicit Converted(const Arguments& arguments)
        : ConvertedArgument<I, Parameters>{{arguments.object(I), arguments.parameter_name(I)}}... {}

    template <class Call>
    decltype(auto) apply(Call&& call) {
        return call(static_cast<ConvertedArgument<I, Parameters>&>(*this).caster.get()...);
    }
};

}  // namespace detail

// A module function's body (or a constructor's, whose result is the instance's value).
template <class Body>
struct FunctionBody;
template <class Result_, class... Parameters>
struct FunctionBody<Result_ (*)(Parameters...)> {
    using Result = Result_;
    using Converted = detail::Converted<std::index_sequence_for<Parameters...>, Parameters...>;
    static constexpr std::size_t kArity = sizeof...(Parameters);
};

// A method's body takes the receiver's value first: as const it runs under shared access,
// mutable under exclusive access.
template <class Body>
struct MethodBody;
template <class V, class... Parameters>
struct MethodBody<Ref (*)(const V&, Parameters...)> : FunctionBody<Ref (*)(Parameters...)> {
    using Value = V;
    using Access = SharedAccess;
};
template <class V, class... Parameters>
struct MethodBody<Ref (*)(V&, Parameters...)> : FunctionBody<Ref (*)(Parameters...)> {
    using Value = V;
    using Access = ExclusiveAccess;
};

template <const Callable& c, auto body>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(c, args, nargs, kwnames);
        if constexpr (c.kind == Callable::Kind::kFunction) {
            using Body = FunctionBody<decltype(body)>;
            static_assert(Body::kArity == c.arity, "the body takes the described parameters");
            typename Body::Converted converted(arguments);
            return converted.apply(body);
        } else {
            using Body = MethodBody<decltype(body)>;
            static_assert(Body::kArity == c.arity, "the body takes the described parameters");
            auto& instance = receiver<typename Body::Value>(self);
            const typename Body::Access access(instance.borrow_flag);
            typename Body::Converted converted(arguments);
            return converted.apply([&](auto&&... values) {
                return body(instance.value, std::forward<decltype(values)>(values)...);
            });
        }
    });
}

template <const Callable& c, auto make>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using Body = FunctionBody<decltype(make)>;
    static_assert(Body::kArity == c.arity, "the constructor takes the described parameters");
    return trap([&] {
        const Arguments arguments(c, args, kwargs);
        typename Body::Converted converted(arguments);
        return new_instance(type, converted.apply(make));
    });
}

// The method-table row of a module function or a method.
template <const Callable& c, auto body>
PyMethodDef method_row() noexcept {
    // The interpreter calls a METH_FASTCALL | METH_KEYWORDS entry with this signature. The
    // names of a description are literals, NUL-terminated.
    return {c.name.data(),  // NOLINT(bugprone-suspicious-stringview-data-usage)
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<c, body>)),
            METH_FASTCALL | METH_KEYWORDS, doc_text<c>()};
}

// A class: instances of the value that `make` makes from the arguments of `c`, with `methods`.
template <const Callable& c, auto make, PyMethodDef* methods>
struct ClassDefinition {
    using Value = typename FunctionBody<decltype(make)>::Result;

    static inline PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc_text<c>())},
        {Py_tp_new, reinterpret_cast<void*>(&constructor_entry<c, make>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&destroy_instance<Value>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static inline PyType_Spec blueprint = {qualified_class_name<c>(), sizeof(Instance<Value>), 0,
                                           Py_TPFLAGS_DEFAULT, slots};

    // Adds the class to the module, making it at its first registration in the process.
    static void add_to(PyObject* module) {
        // Under the module's initialisation lock. Kept for the life of the process.
        if (class_of<Value>.load(std::memory_order_acquire) == nullptr) {
            class_of<Value>.store(
                reinterpret_cast<PyTypeObject*>(new_type(&blueprint, c.doc.empty()).release()),
                std::memory_order_release);
        }
        const Ref name = require(PyUnicode_FromStringAndSize(
            c.class_name.data(), static_cast<Py_ssize_t>(c.class_name.size())));
        add_to_module(module, name.get(), reinterpret_cast<PyObject*>(class_of<Value>.load()));
    }
};

}  // namespace tavo::host
