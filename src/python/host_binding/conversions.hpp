/// @brief The argument rules: each parameter type a body may declare has a `Caster` that
/// converts the parsed object under the parameter's name, reporting a failure as the
/// argument's error. `UnsignedInteger` (u64), `Float` (double), `FloatSequence` (a vector of
/// doubles) and `DoubleBufferArg` (the caller's buffer of doubles, held while the body runs).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "errors.hpp"

namespace tavo::host {

std::uint64_t to_unsigned_integer(PyObject* obj, const char* name);
// Any other object than an exact float, through the host's conversion.
double number_to_float(PyObject* obj, const char* name);
inline double to_float(PyObject* obj, const char* name) {
    // An exact float is read directly, without the host's conversion machinery.
    if (PyFloat_CheckExact(obj)) [[likely]]
        return PyFloat_AS_DOUBLE(obj);
    return number_to_float(obj, name);
}
std::vector<double> to_float_sequence(PyObject* obj, const char* name);

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
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const Py_buffer& operator*() const { return view_; }
    const Py_buffer* operator->() const { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The doubles of a sequence argument, held inline up to kInline of them (a small call's
// coefficients allocate nothing), on the heap beyond; or, for a buffer of doubles read in
// bulk, where they lie, its view held as long as the items are.
class FloatItems {
public:
    static constexpr std::size_t kInline = 64;

    FloatItems() = default;
    FloatItems(const FloatItems&) = delete;
    FloatItems& operator=(const FloatItems&) = delete;

    void reserve(std::size_t n) {
        if (n > kInline) {
            spill();
            heap_.reserve(n);
        }
    }
    void push_back(double value) {
        if (!on_heap_ && size_ < kInline) [[likely]] {
            inline_[size_++] = value;
            return;
        }
        spill();
        heap_.push_back(value);
    }
    void assign(const double* first, const double* last) {
        const auto n = static_cast<std::size_t>(last - first);
        if (!on_heap_ && n <= kInline) {
            std::copy(first, last, inline_);
            size_ = n;
            return;
        }
        heap_.assign(first, last);
        on_heap_ = true;
    }
    // The view that refer_to's doubles lie in (made only for a buffer: most calls pass a
    // list, which should not pay for clearing one).
    HeldView& view() { return view_.emplace(); }
    void refer_to(const double* first, std::size_t n) { referred_ = {first, n}; }
    std::span<const double> items() const {
        if (referred_.data() != nullptr) return referred_;
        if (on_heap_) return heap_;
        return {inline_, size_};
    }

private:
    void spill() {
        if (on_heap_) return;
        heap_.assign(inline_, inline_ + size_);
        on_heap_ = true;
    }

    double inline_[kInline];  // the first size_ are set
    std::size_t size_ = 0;
    bool on_heap_ = false;
    std::vector<double> heap_;
    std::span<const double> referred_;
    std::optional<HeldView> view_;  // what referred_ points into
};
// The same conversion as to_float_sequence, into `items` (empty).
void to_float_items(PyObject* obj, const char* name, FloatItems& items);
// Imports what the sequence conversion compares types with, once, at the module's import:
// never while an instance is borrowed.
void look_up_sequence_types();

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
    // The items where they lie contiguous in row-major order, else null.
    const double* contiguous_items() const {
        return PyBuffer_IsContiguous(&*held_, 'C') ? static_cast<const double*>(held_->buf)
                                                   : nullptr;
    }

private:
    HeldView held_;
};

using UnsignedInteger = std::uint64_t;
using Float = double;
using FloatSequence = std::vector<double>;
using DoubleBufferArg = const DoubleBuffer&;

// Caster<T>(object, name) converts; get() hands the value to the body.
template <class T>
struct Caster;

template <>
struct Caster<std::uint64_t> {
    std::uint64_t value;
    Caster(PyObject* obj, const char* name) : value(to_unsigned_integer(obj, name)) {}
    std::uint64_t get() const { return value; }
};

template <>
struct Caster<double> {
    double value;
    Caster(PyObject* obj, const char* name) : value(to_float(obj, name)) {}
    double get() const { return value; }
};

template <>
struct Caster<std::vector<double>> {
    std::vector<double> value;
    Caster(PyObject* obj, const char* name) : value(to_float_sequence(obj, name)) {}
    std::vector<double>&& get() { return std::move(value); }
};

template <>
struct Caster<FloatItems> {
    FloatItems value;
    Caster(PyObject* obj, const char* name) { to_float_items(obj, name, value); }
    const FloatItems& get() const { return value; }
};

template <>
struct Caster<DoubleBuffer> {
    DoubleBuffer value;
    Caster(PyObject* obj, const char* name) : value(obj, name) {}
    const DoubleBuffer& get() const { return value; }
};

// Whether a buffer's struct format is a double of this machine's byte order.
bool is_double_format(const char* format);

}  // namespace tavo::host
