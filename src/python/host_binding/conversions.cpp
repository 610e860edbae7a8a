#include "conversions.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tavo::host {

double number_to_float(PyObject* obj, const char* name) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) raise_argument_error(name);
    return value;
}

std::uint64_t to_unsigned_integer(PyObject* obj, const char* name) {
    Ref as_int;
    if (!PyLong_Check(obj)) {
        as_int = Ref::steal(PyNumber_Index(obj));
        if (!as_int) raise_argument_error(name);
        obj = as_int.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    // All ones is also the host's error marker: it is an error only with an exception set.
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_argument_error(name);
    }
    return value;
}

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
namespace {

// The type `attribute` of `module`, or null with no exception set.
Ref type_in_module(const Ref& module, const char* attribute) {
    if (!module) {
        PyErr_Clear();
        return {};
    }
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!type || !PyType_Check(type.get())) {
        PyErr_Clear();
        return {};
    }
    return type;
}

// array.array, imported with the module (null if that failed): an import runs Python code,
// which lets other threads run, and a conversion runs while its instance is borrowed, so the
// import at the first conversion made the instance look borrowed to them. Kept for the life
// of the process (under the module's initialisation lock, read without one).
std::atomic<PyObject*> array_type{nullptr};

}  // namespace

void look_up_sequence_types() {
    if (array_type.load(std::memory_order_acquire) == nullptr) {
        array_type.store(
            type_in_module(Ref::steal(PyImport_ImportModule("array")), "array").release(),
            std::memory_order_release);
    }
}

namespace {

// Whether iterating `obj` yields exactly the doubles of its buffer, as for a memoryview and
// the exact types array.array and numpy.ndarray (looked up once numpy has been imported:
// there is no array before; a look-up in sys.modules runs no Python code). A subclass may
// iterate to something else (a masked array hides its masked items), so it is iterated like
// any other sequence.
bool iterates_as_its_buffer(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyMemoryView_Type) return true;
    if (reinterpret_cast<PyObject*>(type) == array_type.load(std::memory_order_acquire))
        return true;
    // Not under a static initialisation guard: a guard waited for while holding the
    // interpreter lock could deadlock. Threads that look it up at once may each find it;
    // the first one's is kept for the life of the process.
    static std::atomic<PyObject*> ndarray_type{nullptr};
    PyObject* known = ndarray_type.load(std::memory_order_acquire);
    if (known == nullptr) {
        const Ref name = require(PyUnicode_FromString("numpy"));
        Ref found = type_in_module(Ref::steal(PyImport_GetModule(name.get())), "ndarray");
        if (!found) return false;
        if (ndarray_type.compare_exchange_strong(known, found.get(), std::memory_order_acq_rel))
            known = found.release();
    }
    return reinterpret_cast<PyObject*>(type) == known;
}

// The view a bulk read holds: FloatItems keeps it (its doubles may be read where they lie),
// anything else copies them under a view of its own.
HeldView& view_for(FloatItems& items, HeldView& /*own*/) { return items.view(); }
template <class Items>
HeldView& view_for(Items& /*values*/, HeldView& own) {
    return own;
}

// A one-dimensional, C-contiguous buffer of doubles that iterates to exactly its items is
// read in bulk. Anything else, or an exporter that refuses this request, is iterated.
// FloatItems reads them where they lie, under a view it holds, when they are aligned.
template <class Items>
bool read_double_vector(PyObject* obj, Items& values) {
    if (!PyObject_CheckBuffer(obj) || !iterates_as_its_buffer(obj)) return false;
    HeldView own;
    HeldView& view = view_for(values, own);
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
    if (!bulk) {
        view.release();
        return false;
    }
    const std::size_t n = static_cast<std::size_t>(view->len) / sizeof(double);
    const auto* first = static_cast<const double*>(view->buf);
    if constexpr (std::is_same_v<Items, FloatItems>) {
        if (reinterpret_cast<std::uintptr_t>(first) % alignof(double) == 0) {
            values.refer_to(first, n);
            return true;
        }
    }
    values.assign(first, first + n);
    view.release();
    return true;
}

// The conversion of a sequence argument into `values` (empty), an std::vector<double> or
// FloatItems.
template <class Items>
void read_float_sequence(PyObject* obj, const char* name, Items& values) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        raise_argument_error(name);
    }
    if (!PySequence_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, cast_error_text(obj, "Sequence").c_str());
        raise_argument_error(name);
    }
    // Exact lists and tuples are read in place. A list is re-measured at every step, as
    // its iterator would, since an item's __float__ may shrink it.
    if (PyList_CheckExact(obj)) {
        // Other threads change the list only between two reads (where threads run truly in
        // parallel; the interpreter lock does it elsewhere).
        const compat::CriticalSection section(obj);
        values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyObject* item = PyList_GET_ITEM(obj, i);
            // Reading an exact float runs no code: only other items need holding while
            // their conversion runs.
            if (PyFloat_CheckExact(item)) {
                values.push_back(PyFloat_AS_DOUBLE(item));
                continue;
            }
            const Ref held = Ref::borrow(item);
            values.push_back(to_float(held.get(), name));
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        values.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            values.push_back(to_float(PyTuple_GET_ITEM(obj, i), name));
        return;
    }
    if (read_double_vector(obj, values)) return;
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
        values.push_back(to_float(item.get(), name));
    }
    if (PyErr_Occurred()) raise_argument_error(name);
}

}  // namespace

std::vector<double> to_float_sequence(PyObject* obj, const char* name) {
    std::vector<double> values;
    read_float_sequence(obj, name, values);
    return values;
}

void to_float_items(PyObject* obj, const char* name, FloatItems& items) {
    read_float_sequence(obj, name, items);
}

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

}  // namespace tavo::host
