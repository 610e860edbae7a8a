#include "host_binding.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <source_location>

#include "internal_failure.hpp"

namespace tavo::host {

namespace {

// The pending exception, taken out of the interpreter and normalised.
struct PendingError {
    Ref type;
    Ref value;
    Ref traceback;

    static PendingError take() {
        PendingError e;
#if PY_VERSION_HEX >= 0x030C0000
        e.value = Ref::steal(PyErr_GetRaisedException());
        if (e.value) {
            e.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(e.value.get())));
            e.traceback = Ref::steal(PyException_GetTraceback(e.value.get()));
        }
#else
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
        e.type = Ref::steal(type);
        e.value = Ref::steal(value);
        e.traceback = Ref::steal(traceback);
#endif
        return e;
    }

    // Makes this the interpreter's current exception again (no implicit chaining).
    void restore() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value.release());
#else
        PyErr_Restore(type.release(), value.release(), traceback.release());
#endif
    }
};

PyObject* panic_type() {
    // Created once, at first need, and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when the extension's own code fails.\n\n"
            "Like SystemExit, this exception is derived from BaseException so that it will\n"
            "typically propagate all the way through the stack and cause the Python\n"
            "interpreter to exit.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

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

// The host failed to build a result object. A refused allocation stays the MemoryError
// the host raised; anything else is reported and becomes an internal failure.
[[noreturn]] void result_creation_failed(
    std::source_location where = std::source_location::current()) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
    PyErr_PrintEx(0);
    fail("Python API call failed", where);
}

}  // namespace

FloatMaker::FloatMaker() {
#if defined(Py_REF_DEBUG) || defined(Py_TRACE_REFS)
    direct_ = false;
#elif PY_VERSION_HEX >= 0x030D0000
    void* data = nullptr;
    direct_ = PyRefTracer_GetTracer(&data) == nullptr;
#else
    direct_ = true;
#endif
}

PyObject* FloatMaker::operator()(double value) const {
    auto* f = static_cast<PyFloatObject*>(PyObject_Malloc(sizeof(PyFloatObject)));
    if (f == nullptr) {
        PyErr_NoMemory();
        result_creation_failed();
    }
    auto* object = reinterpret_cast<PyObject*>(f);
    if (direct_) {
        Py_SET_TYPE(object, &PyFloat_Type);
        // Not Py_SET_REFCNT: from 3.12 it leaves a count alone that looks immortal, and fresh
        // memory may hold anything.
        object->ob_refcnt = 1;
    } else {
        PyObject_Init(object, &PyFloat_Type);
    }
    f->ob_fval = value;
    return object;
}

namespace {

Ref new_float(double value) { return Ref::steal(FloatMaker()(value)); }

std::string type_qualname(PyObject* obj) {
    Ref name =
        require(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr) throw PythonError{};
    return text;
}

double float_from_object(PyObject* obj, const char* name) {
    // An exact float is read directly, without the host's conversion machinery.
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) raise_argument_error(name);
    return value;
}

}  // namespace

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

namespace {

// "'<qualified name of obj's type>' object cannot be cast as '<target>'"
std::string cast_error_text(PyObject* obj, std::string_view target) {
    std::string text = "'";
    text += type_qualname(obj);
    text += "' object cannot be cast as '";
    text += target;
    text += '\'';
    return text;
}

}  // namespace

[[noreturn]] void raise_cast_error(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, cast_error_text(obj, target));
}

namespace {

void raise_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the host's error from creating the class stays set
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

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

// ---------------------------------------------------------------------------------------
// Parsing

std::string Callable::display_name() const {
    std::string display;
    if (!class_name.empty()) display = std::string(class_name) + ".";
    display += kind == Kind::kConstructor ? std::string_view("__new__") : name;
    return display + "()";
}

Arguments::Arguments(const Callable& callable, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames)
    : callable_(callable) {
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

// ---------------------------------------------------------------------------------------
// Conversions

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

std::uint64_t Arguments::unsigned_integer(std::size_t index) const {
    PyObject* obj = slots_[index];
    Ref as_int;
    if (!PyLong_Check(obj)) {
        as_int = Ref::steal(PyNumber_Index(obj));
        if (!as_int) raise_argument_error(parameter_name(index));
        obj = as_int.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    // All ones is also the host's error marker: it is an error only with an exception set.
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_argument_error(parameter_name(index));
    }
    return value;
}

double Arguments::float_value(std::size_t index) const {
    return float_from_object(slots_[index], parameter_name(index));
}

namespace {

bool is_double_format(const char* format) {
    if (std::strcmp(format, "d") == 0) return true;
    if (std::strlen(format) != 2 || format[1] != 'd') return false;
    switch (format[0]) {
        case '@':
        case '=':
            return true;
        case '<':
            return std::endian::native == std::endian::little;
        case '>':
        case '!':
            return std::endian::native == std::endian::big;
        default:
            return false;
    }
}

// The type `attribute` of `module` (a new reference, kept by the caller for the life of the
// process), or null with no exception set.
PyObject* type_in_module(Ref module, const char* attribute) {
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!type || !PyType_Check(type.get())) {
        PyErr_Clear();
        return nullptr;
    }
    return type.release();
}

// Whether iterating `obj` yields exactly the doubles of its buffer, as for a memoryview and
// the exact types array.array and numpy.ndarray (looked up once numpy has been imported:
// there is no array before). A subclass may iterate to something else (a masked array
// hides its masked items), so it is iterated like any other sequence.
bool iterates_as_its_buffer(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyMemoryView_Type) return true;
    // Looked up under the lock, not under a static initialisation guard: an import may let
    // another thread run, which would then wait for the guard while holding the lock.
    static PyObject* array_type = nullptr;
    if (array_type == nullptr)
        array_type = type_in_module(Ref::steal(PyImport_ImportModule("array")), "array");
    if (reinterpret_cast<PyObject*>(type) == array_type) return true;
    static PyObject* ndarray_type = nullptr;
    if (ndarray_type == nullptr) {
        const Ref name = require(PyUnicode_FromString("numpy"));
        ndarray_type = type_in_module(Ref::steal(PyImport_GetModule(name.get())), "ndarray");
    }
    return reinterpret_cast<PyObject*>(type) == ndarray_type;
}

// A one-dimensional, C-contiguous buffer of doubles that iterates to exactly its items is
// read in bulk. Anything else, or an exporter that refuses this request, is iterated.
bool read_double_vector(PyObject* obj, std::vector<double>& values) {
    if (!PyObject_CheckBuffer(obj) || !iterates_as_its_buffer(obj)) return false;
    HeldView view;
    if (!view.request(obj, PyBUF_ND | PyBUF_FORMAT)) {
        PyErr_Clear();
        return false;
    }
    const char* format = view->format != nullptr ? view->format : "B";
    // A memoryview iterates only over native formats; it raises for the others.
    const bool native_only = Py_TYPE(obj) == &PyMemoryView_Type;
    const bool bulk = view->ndim == 1 && view->itemsize == sizeof(double) &&
                      (native_only ? std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0
                                   : is_double_format(format));
    if (!bulk) return false;
    const std::size_t n = static_cast<std::size_t>(view->len) / sizeof(double);
    values.resize(n);
    if (n > 0) std::memcpy(values.data(), view->buf, n * sizeof(double));
    return true;
}

}  // namespace

std::vector<double> Arguments::float_sequence(std::size_t index) const {
    PyObject* obj = slots_[index];
    const char* name = parameter_name(index);
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        raise_argument_error(name);
    }
    if (!PySequence_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, cast_error_text(obj, "Sequence").c_str());
        raise_argument_error(name);
    }
    std::vector<double> values;
    // Exact lists and tuples are read in place. A list is re-measured at every step, as
    // its iterator would, since an item's __float__ may shrink it.
    if (PyList_CheckExact(obj)) {
        values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            values.push_back(float_from_object(item.get(), name));
        }
        return values;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        values.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            values.push_back(float_from_object(PyTuple_GET_ITEM(obj, i), name));
        return values;
    }
    if (read_double_vector(obj, values)) return values;
    // The reported length only sizes the vector, and an object may overstate it: the items
    // the iteration yields are what counts, so a length past this bound is not trusted.
    constexpr Py_ssize_t kMaxTrustedLength = Py_ssize_t{1} << 24;
    const Py_ssize_t length = PyObject_Size(obj);
    if (length < 0) {
        PyErr_Clear();
    } else {
        values.reserve(static_cast<std::size_t>(std::min(length, kMaxTrustedLength)));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) raise_argument_error(name);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        values.push_back(float_from_object(item.get(), name));
    }
    if (PyErr_Occurred()) raise_argument_error(name);
    return values;
}

// ---------------------------------------------------------------------------------------
// Buffers

DoubleBuffer::DoubleBuffer(PyObject* obj, const char* name) {
    if (!held_.request(obj, PyBUF_FULL_RO)) raise_argument_error(name);
    const Py_buffer& view = *held_;
    if (view.shape == nullptr) raise(PyExc_BufferError, "shape is null");
    if (view.strides == nullptr) raise(PyExc_BufferError, "strides is null");
    if (view.itemsize != 8 || !is_double_format(view.format != nullptr ? view.format : "B")) {
        raise(PyExc_BufferError, "buffer contents are not compatible with f64");
    }
    if (reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) != 0) {
        raise(PyExc_BufferError, "buffer contents are insufficiently aligned for f64");
    }
}

void DoubleBuffer::copy_to(std::span<double> out) const {
    require_status(
        PyBuffer_ToContiguous(out.data(), const_cast<Py_buffer*>(&*held_), held_->len, 'C'));
}

// ---------------------------------------------------------------------------------------
// Results

namespace {

// The item array of a list that this module made and nobody else has seen yet.
PyObject** items_of(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

}  // namespace

Ref new_list(std::size_t size) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
    if (list == nullptr) result_creation_failed();
    return Ref::steal(list);
}

void fill_floats(PyObject* list, std::size_t at, std::span<const double> values) {
    const FloatMaker make_float;
    PyObject** items = items_of(list) + at;
    for (const double value : values) *items++ = make_float(value);
}

Ref float_result(double value) { return new_float(value); }

Ref float_list_result(std::span<const double> values) {
    Ref list = new_list(values.size());
    fill_floats(list.get(), 0, values);
    return list;
}

Ref string_result(std::string_view text) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s == nullptr) result_creation_failed();
    return Ref::steal(s);
}

Ref none_result() { return Ref::borrow(Py_None); }

Ref mostly_zero_float_list_result(std::size_t size, std::size_t first, std::size_t stride,
                                  std::span<const double> values) {
    Ref list = new_list(size);
    const Ref zero = new_float(0.0);
    PyObject** items = items_of(list.get());
    for (std::size_t i = 0; i < size; ++i) items[i] = zero.get();
    // Its references, all at once but in the interpreter's own way (saturating where it
    // makes objects immortal).
    for (std::size_t i = 0; i < size; ++i) Py_INCREF(zero.get());
    const FloatMaker make_float;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(values[i]) == 0) continue;  // +0.0: the shared zero
        PyObject*& item = items[first + i * stride];
        Py_DECREF(item);
        item = make_float(values[i]);
    }
    return list;
}

SharedObjects::~SharedObjects() {
    if (!may_touch_objects()) return;
    for (const Slot& slot : slots_) Py_XDECREF(slot.object);
}

PyObject* SharedObjects::find(std::uint64_t key, std::size_t& slot) {
    if (slots_.empty()) slots_.resize(kFirstSlots);
    for (slot = slot_of(key); slots_[slot].object != nullptr;
         slot = (slot + 1) & (slots_.size() - 1)) {
        if (slots_[slot].key == key) {
            Py_INCREF(slots_[slot].object);
            return slots_[slot].object;
        }
    }
    return nullptr;
}

void SharedObjects::keep(std::uint64_t key, std::size_t slot, PyObject* object) {
    if (kept_ >= kMaxKept) return;
    // At most half full, so that a search for an unknown key ends soon.
    if (2 * (kept_ + 1) > slots_.size()) {
        grow();
        slot = free_slot(key);
    }
    slots_[slot] = {key, object};
    Py_INCREF(object);
    ++kept_;
}

std::size_t SharedObjects::slot_of(std::uint64_t key) const {
    // Fibonacci hashing: the high bits of the product mix every bit of the key.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >>
                                    (64 - std::countr_zero(slots_.size())));
}

std::size_t SharedObjects::free_slot(std::uint64_t key) const {
    std::size_t slot = slot_of(key);
    while (slots_[slot].object != nullptr) slot = (slot + 1) & (slots_.size() - 1);
    return slot;
}

void SharedObjects::grow() {
    std::vector<Slot> old(2 * slots_.size());
    old.swap(slots_);
    for (const Slot& slot : old) {
        if (slot.object != nullptr) slots_[free_slot(slot.key)] = slot;
    }
}

TripletBuilder::TripletBuilder(std::size_t count, std::uint64_t column_bound)
    : rows_(new_list(count)),
      cols_(new_list(count)),
      values_(new_list(count)),
      row_items_(items_of(rows_.get())),
      col_items_(items_of(cols_.get())),
      value_items_(items_of(values_.get())),
      column_table_(column_bound <= 2 * count + 1024 ? column_bound : 0, nullptr) {}

TripletBuilder::~TripletBuilder() {
    if (!may_touch_objects()) return;
    for (PyObject* object : column_table_) Py_XDECREF(object);
}

PyObject* TripletBuilder::new_index(std::uint64_t value) {
    PyObject* item = PyLong_FromUnsignedLongLong(value);
    if (item == nullptr) result_creation_failed();
    return item;
}

PyObject* TripletBuilder::shared_float(double value) {
    return values_shared_.get(std::bit_cast<std::uint64_t>(value),
                              [&] { return make_float_(value); });
}

Ref TripletBuilder::result() {
    PyObject* tuple = PyTuple_New(3);
    if (tuple == nullptr) result_creation_failed();
    PyTuple_SET_ITEM(tuple, 0, rows_.release());
    PyTuple_SET_ITEM(tuple, 1, cols_.release());
    PyTuple_SET_ITEM(tuple, 2, values_.release());
    return Ref::steal(tuple);
}

Ref triplet_result(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                   std::span<const double> values) {
    const std::uint64_t columns =
        cols.empty() ? 0 : *std::max_element(cols.begin(), cols.end()) + 1;
    TripletBuilder builder(values.size(), columns);
    for (std::size_t e = 0; e < values.size(); ++e)
        builder.add(rows[e], cols[e], builder.shared_float(values[e]));
    return builder.result();
}

// ---------------------------------------------------------------------------------------
// Instance access

SharedAccess::SharedAccess(std::atomic<std::int64_t>& flag) : flag_(flag) {
    std::int64_t current = flag_.load(std::memory_order_relaxed);
    do {
        if (current == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
}

ExclusiveAccess::ExclusiveAccess(std::atomic<std::int64_t>& flag) : flag_(flag) {
    std::int64_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                       std::memory_order_relaxed)) {
        raise(PyExc_RuntimeError, "Already borrowed");
    }
}

// ---------------------------------------------------------------------------------------
// Module building

Ref new_type(PyType_Spec* blueprint, bool empty_docstring) {
    Ref type = require(PyType_FromSpec(blueprint));
#if PY_VERSION_HEX < 0x030A0000
    // Before 3.10 the type keeps only the docstring proper of its doc text, which loses the
    // text signature: give it the whole text back (__doc__ already is the docstring proper).
    for (const PyType_Slot* slot = blueprint->slots; slot->slot != 0; ++slot) {
        if (slot->slot != Py_tp_doc) continue;
        const auto* text = static_cast<const char*>(slot->pfunc);
        auto* copy = static_cast<char*>(PyObject_Malloc(std::strlen(text) + 1));
        if (copy == nullptr) throw std::bad_alloc();
        std::strcpy(copy, text);
        auto* heap_type = reinterpret_cast<PyTypeObject*>(type.get());
        PyObject_Free(const_cast<char*>(heap_type->tp_doc));
        heap_type->tp_doc = copy;
    }
#endif
    if (empty_docstring) require_status(PyObject_SetAttrString(type.get(), "__doc__", Py_None));
    return type;
}

void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    static PyObject* const all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) throw PythonError{};
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
