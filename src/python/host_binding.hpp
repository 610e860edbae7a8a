// The boundary between the interpreter and the module: references, argument parsing and
// conversion, results, instance access, the failure trap, buffers and lock release.
//
// Ownership rules:
//  - `Ref` owns one strong reference and drops it in its destructor. It hands the
//    reference on only through `release()`; copying is not allowed.
//  - A bare `PyObject*` in this layer is borrowed: it is never decref'd by whoever holds it.
//  - `require(p)` turns a null result of the C API into `PythonError`, which means
//    "the interpreter has an exception set"; the failure trap lets it through unchanged.
// Every entry from the interpreter runs its body in `trap`, which lets nothing through but
// the unwinding of a thread that the interpreter ends (see below).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tavo::host {

// ---------------------------------------------------------------------------------------
// Threads that the interpreter ends
//
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
#if PY_VERSION_HEX >= 0x030D0000
    if (!Py_IsFinalizing()) return true;
#else
    if (!_Py_IsFinalizing()) return true;
#endif
    return PyGILState_Check() != 0;
}

// ---------------------------------------------------------------------------------------
// References and errors

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
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

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

// ---------------------------------------------------------------------------------------
// The failure trap

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

// ---------------------------------------------------------------------------------------
// Callable descriptions

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
consteval Callable method(std::string_view class_name, std::string_view name,
                          std::initializer_list<std::string_view> parameters) {
    return describe(Callable::Kind::kMethod, class_name, name, parameters, {});
}
consteval Callable constructor(std::string_view class_name,
                               std::initializer_list<std::string_view> parameters,
                               std::string_view doc = {}) {
    return describe(Callable::Kind::kConstructor, class_name, class_name, parameters, doc);
}

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

// ---------------------------------------------------------------------------------------
// Argument parsing and conversion

// One borrowed object per declared parameter, filled by parsing.
class Arguments {
public:
    // Fast calling convention: positional vector plus a tuple of keyword names.
    Arguments(const Callable& callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Classic convention (constructors): argument tuple plus keyword dictionary.
    Arguments(const Callable& callable, PyObject* args, PyObject* kwargs);

    // Conversion rules; a failure is reported under the parameter's name.
    std::uint64_t unsigned_integer(std::size_t index) const;
    double float_value(std::size_t index) const;
    std::vector<double> float_sequence(std::size_t index) const;

    PyObject* operator[](std::size_t index) const { return slots_[index]; }
    // The parameter names are literals, NUL-terminated.
    const char* parameter_name(std::size_t index) const {
        return callable_.parameters()[index].data();
    }

private:
    void fill_positional(Py_ssize_t nargs);
    void fill_keyword(PyObject* name, PyObject* value);
    void check_complete() const;

    const Callable& callable_;
    std::array<PyObject*, Callable::kMaxParameters> slots_{};
};

// Replaces a pending TypeError with "argument '<name>': <text>" (keeping its __cause__)
// and throws PythonError. Pending errors of other types pass through unchanged.
[[noreturn, gnu::cold, gnu::noinline]] void raise_argument_error(const char* name);

// ---------------------------------------------------------------------------------------
// Results

Ref float_result(double value);
Ref float_list_result(std::span<const double> values);
Ref string_result(std::string_view text);
Ref none_result();
// A float list of `size` zeros, one object for all of them, but for entries
// first + i * stride, which hold values[i].
Ref mostly_zero_float_list_result(std::size_t size, std::size_t first, std::size_t stride,
                                  std::span<const double> values);
// (rows, cols, values) as a new 3-tuple of two int lists and a float list, with one object
// per distinct index and per distinct value bit pattern (as far as SharedObjects keeps).
Ref triplet_result(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                   std::span<const double> values);

// New floats, made as the interpreter makes a fresh one: memory from the object allocator,
// the type, a reference count of one. PyFloat_FromDouble looks at its free list first, which
// a result of many floats empties at once; and the call that sets the count is needed only by
// the reference bookkeeping of debug builds and, from 3.13, by reference tracers: where
// either is present, the interpreter's own initialisation runs. The floats are freed like
// any other.
class FloatMaker {
public:
    FloatMaker();
    PyObject* operator()(double value) const;  // a new reference

private:
    bool direct_;
};

// One object per distinct 64-bit key (an index, or the bits of a float) among the items of
// one result, as far as kMaxKept keys: beyond that, keys not kept get objects of their own.
// Open addressing with linear probing; the table holds a reference to each object it keeps.
class SharedObjects {
public:
    SharedObjects() = default;
    SharedObjects(const SharedObjects&) = delete;
    SharedObjects& operator=(const SharedObjects&) = delete;
    // Ints and floats run no code when freed: this cannot end a thread.
    ~SharedObjects();

    // A new reference to the object of `key`, made by make() (a new reference) if unknown.
    template <class Make>
    PyObject* get(std::uint64_t key, Make&& make) {
        std::size_t slot = 0;
        if (PyObject* known = find(key, slot)) return known;
        PyObject* object = make();
        keep(key, slot, object);
        return object;
    }

private:
    struct Slot {
        std::uint64_t key = 0;
        PyObject* object = nullptr;
    };
    static constexpr std::size_t kFirstSlots = 256;
    static constexpr std::size_t kMaxKept = std::size_t{1} << 16;

    PyObject* find(std::uint64_t key, std::size_t& slot);
    void keep(std::uint64_t key, std::size_t slot, PyObject* object);
    std::size_t slot_of(std::uint64_t key) const;
    // The first empty slot on the probe sequence of `key` (never full: at most half is).
    std::size_t free_slot(std::uint64_t key) const;
    void grow();

    std::vector<Slot> slots_;
    std::size_t kept_ = 0;
};

// The three lists of a triplet result, filled entry by entry in row-major order: one int per
// row (its entries come together), one per distinct column, and values as given.
class TripletBuilder {
public:
    // `count` entries, columns below `column_bound`.
    TripletBuilder(std::size_t count, std::uint64_t column_bound);
    ~TripletBuilder();
    TripletBuilder(const TripletBuilder&) = delete;
    TripletBuilder& operator=(const TripletBuilder&) = delete;

    // `value` is a new reference, taken over.
    void add(std::uint64_t row, std::uint64_t col, PyObject* value) {
        // Row-major: the entries of a row come together, and share the row's int.
        if (at_ == 0 || row != last_row_) {
            row_items_[at_] = new_index(row);
            last_row_ = row;
        } else {
            row_items_[at_] = Ref::borrow(row_items_[at_ - 1]).release();
        }
        col_items_[at_] = column(col);
        value_items_[at_] = value;
        ++at_;
    }
    // A new reference to the float of `value`, one object per distinct bit pattern.
    PyObject* shared_float(double value);
    // The tuple, once all `count` entries are in.
    Ref result();

private:
    static PyObject* new_index(std::uint64_t value);
    // A new reference to the int of column `col`.
    PyObject* column(std::uint64_t col) {
        if (col < column_table_.size()) {
            PyObject*& known = column_table_[col];
            if (known == nullptr) known = new_index(col);
            return Ref::borrow(known).release();
        }
        return columns_.get(col, [&] { return new_index(col); });
    }

    Ref rows_;
    Ref cols_;
    Ref values_;
    PyObject** row_items_;
    PyObject** col_items_;
    PyObject** value_items_;
    std::size_t at_ = 0;
    std::uint64_t last_row_ = 0;
    // The ints of the columns where they are few against the entries (each holds a
    // reference), else shared objects.
    std::vector<PyObject*> column_table_;
    SharedObjects columns_;
    SharedObjects values_shared_;
    FloatMaker make_float_;
};

// Sets list[at + i] = a new float of values[i], list items that were empty.
void fill_floats(PyObject* list, std::size_t at, std::span<const double> values);
// A new list of `size` empty items, to be filled before anyone else sees it.
Ref new_list(std::size_t size);

// ---------------------------------------------------------------------------------------
// Instances and access

// Instance layout: object header, the class's value, then the borrow flag
// (0 free, n > 0 shared by n, -1 exclusive).
template <class Value>
struct Instance {
    // clang-format off
    PyObject_HEAD
        // clang-format on
        Value value;
    std::atomic<std::int64_t> borrow_flag;
};

class SharedAccess {
public:
    explicit SharedAccess(std::atomic<std::int64_t>& flag);
    ~SharedAccess() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    std::atomic<std::int64_t>& flag_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(std::atomic<std::int64_t>& flag);
    ~ExclusiveAccess() { flag_.store(0, std::memory_order_release); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    std::atomic<std::int64_t>& flag_;
};

// "'<qualified name of obj's type>' object cannot be cast as '<target>'"
[[noreturn, gnu::cold, gnu::noinline]] void raise_cast_error(PyObject* obj, const char* target);

// The class whose instances hold a Value, made once per process when the module first
// registers it.
template <class Value>
inline PyTypeObject* class_of = nullptr;

// The receiver of a method as an instance of its class, or the cast TypeError.
template <class Value>
Instance<Value>& receiver(PyObject* self) {
    PyTypeObject* type = class_of<Value>;
    if (!PyObject_TypeCheck(self, type)) [[unlikely]]
        raise_cast_error(self, std::strrchr(type->tp_name, '.') + 1);
    return *reinterpret_cast<Instance<Value>*>(self);
}

// A new instance of `type` holding `value`, allocated by the type's allocator.
template <class Value>
Ref new_instance(PyTypeObject* type, Value&& value) {
    using Stored = std::decay_t<Value>;
    // Between the allocation and the construction nothing may fail: the instance would be
    // destroyed with no value in it.
    static_assert(std::is_nothrow_constructible_v<Stored, Value&&>);
    Ref object = require(type->tp_alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<Stored>*>(object.get());
    new (&instance->value) Stored(std::forward<Value>(value));
    new (&instance->borrow_flag) std::atomic<std::int64_t>(0);
    return object;
}

template <class Value>
void destroy_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* instance = reinterpret_cast<Instance<Value>*>(self);
    instance->value.~Value();
    type->tp_free(self);
    // Instances of heap types hold a reference to their type.
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------
// Entries
//
// Each callable is its description and one body, which converts the arguments and calls
// into the core; the entry around it parses, checks the receiver and takes access first,
// in that order, all inside the trap. A method body that takes its value as const runs
// under shared access, one that takes it mutable under exclusive access.

template <class Body>
struct MethodBody;
template <class V>
struct MethodBody<Ref (*)(const Arguments&, const V&)> {
    using Value = V;
    using Access = SharedAccess;
};
template <class V>
struct MethodBody<Ref (*)(const Arguments&, V&)> {
    using Value = V;
    using Access = ExclusiveAccess;
};

template <const Callable& c, auto body>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trap([&] {
        const Arguments arguments(c, args, nargs, kwnames);
        if constexpr (c.kind == Callable::Kind::kFunction) {
            return body(arguments);
        } else {
            using Body = MethodBody<decltype(body)>;
            auto& instance = receiver<typename Body::Value>(self);
            const typename Body::Access access(instance.borrow_flag);
            return body(arguments, instance.value);
        }
    });
}

template <const Callable& c, auto make>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return trap([&] { return new_instance(type, make(Arguments(c, args, kwargs))); });
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

// A class: instances of Value made by `make` from the arguments of `c`, with `methods`.
template <class Value, const Callable& c, auto make, PyMethodDef* methods>
struct ClassDefinition {
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
    static void add_to(PyObject* module);
};

// ---------------------------------------------------------------------------------------
// Buffers and the interpreter lock

// A buffer view of an object, released by its destructor (with the lock held).
class HeldView {
public:
    // Requests the view; false (with the request's exception set) when refused.
    bool request(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    // Not noexcept: an exporter written in Python runs code on release.
    ~HeldView() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions)
        if (held_ && may_touch_objects()) PyBuffer_Release(&view_);
    }
    const Py_buffer& operator*() const { return view_; }
    const Py_buffer* operator->() const { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The double buffer argument: the object's buffer of 8-byte doubles, checked and held
// until this is destroyed (which must happen with the interpreter lock held), so that the
// exporter cannot resize it meanwhile.
class DoubleBuffer {
public:
    DoubleBuffer(PyObject* obj, const char* name);
    std::size_t size() const { return static_cast<std::size_t>(held_->len) / sizeof(double); }
    // Copies the items in row-major order into `out` (size() doubles), which the
    // computation then reads instead of the caller's memory.
    void copy_to(std::span<double> out) const;

private:
    HeldView held_;
};

// Runs `work` with the interpreter lock released; nothing in it may touch an object.
template <class Work>
void without_lock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (const std::exception&) {
        PyEval_RestoreThread(state);
        throw;
    }
    // At exit this ends a daemon thread (see "Threads that the interpreter ends"): not in a
    // destructor, which would be noexcept.
    PyEval_RestoreThread(state);
}

// Lets other threads have the interpreter lock every few milliseconds, as the interpreter's
// own switch interval would, from a loop that holds it most of the time. Releasing the lock
// alone does not do that: the release wakes a waiting thread, which finds the lock taken again
// before it gets to run and starts its wait anew, so it never asks for the lock to be handed
// over. A short sleep with the lock free lets it run and take the lock.
class LockSharing {
public:
    // Whether the loop should give way now (it then calls give_way() with the lock released).
    bool due() const { return std::chrono::steady_clock::now() >= next_; }
    void give_way() {
        std::this_thread::sleep_for(kSleep);
        next_ = std::chrono::steady_clock::now() + kEvery;
    }

private:
    // A fiftieth of the loop's time at most.
    static constexpr std::chrono::microseconds kEvery{2000};
    static constexpr std::chrono::microseconds kSleep{20};
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kEvery;
};

// The float list result of a computation done in chunks without the lock: each chunk that is
// done becomes floats, with the lock held. The lock is released while the calling thread
// computes chunks or waits for the next one, and every millisecond or so to let other threads
// run. Between chunks, pending signals are handled: Ctrl-C ends a long batch with
// KeyboardInterrupt. The chunks need chunk_count(), done(chunk), work_until_done(chunk) and
// values(chunk).
template <class Chunks>
Ref float_list_result(Chunks& chunks, std::size_t size) {
    Ref list = new_list(size);
    LockSharing sharing;
    std::size_t filled = 0;
    for (std::size_t chunk = 0; chunk < chunks.chunk_count(); ++chunk) {
        const bool give_way = sharing.due();
        if (give_way || !chunks.done(chunk)) {
            without_lock([&] {
                if (give_way) sharing.give_way();
                chunks.work_until_done(chunk);
            });
        }
        require_status(PyErr_CheckSignals());
        const std::span<const double> values = chunks.values(chunk);
        fill_floats(list.get(), filled, values);
        filled += values.size();
    }
    return list;
}

// ---------------------------------------------------------------------------------------
// Module building

// The class described by `blueprint`, with __doc__ set to None when the doc text has an
// empty docstring proper (the interpreter would make it '';
// __text_signature__ still works).
Ref new_type(PyType_Spec* blueprint, bool empty_docstring);

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* value);

// A built-in function bound to `module`, added with add_to_module.
void add_function(PyObject* module, PyMethodDef* def);

// The interpreter ID claim of the init entry point: the first initialising interpreter
// owns the module for the life of the process.
void claim_interpreter();

template <class Value, const Callable& c, auto make, PyMethodDef* methods>
void ClassDefinition<Value, c, make, methods>::add_to(PyObject* module) {
    if (class_of<Value> == nullptr) {
        class_of<Value> =
            reinterpret_cast<PyTypeObject*>(new_type(&blueprint, c.doc.empty()).release());
    }
    const Ref name = require(PyUnicode_FromStringAndSize(
        c.class_name.data(), static_cast<Py_ssize_t>(c.class_name.size())));
    add_to_module(module, name.get(), reinterpret_cast<PyObject*>(class_of<Value>));
}

}  // namespace tavo::host
