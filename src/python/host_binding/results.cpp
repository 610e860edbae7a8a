#include "results.hpp"

#include <algorithm>
#include <bit>
#include <initializer_list>

namespace tavo::host {

Ref FloatMaker::operator()(double value) const {
    auto* f = static_cast<PyFloatObject*>(PyObject_Malloc(sizeof(PyFloatObject)));
    if (f == nullptr) {
        PyErr_NoMemory();
        result_creation_failed();
    }
    auto* object = reinterpret_cast<PyObject*>(f);
    if (direct_) {
        compat::init_fresh_object(object, &PyFloat_Type);
    } else {
        PyObject_Init(object, &PyFloat_Type);
    }
    f->ob_fval = value;
    return Ref::steal(object);
}

namespace {

// The item array of a list that this module made and nobody else has seen yet.
PyObject** items_of(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// A list of this few floats takes them from the interpreter's maker, as a single float does
// (float_result): their release refills its free list (100 floats), which a loop of such calls
// then keeps balanced instead of freeing every float to the allocator.
constexpr std::size_t kFewFloats = 64;

}  // namespace

Ref new_list(std::size_t size) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
    if (list == nullptr) result_creation_failed();
    return Ref::steal(list);
}

void forget_items_beyond(PyObject* list, std::size_t reach) {
    if (reach < static_cast<std::size_t>(Py_SIZE(list)))
        Py_SET_SIZE(list, static_cast<Py_ssize_t>(reach));
}

void fill_floats(PyObject* list, std::size_t at, std::span<const double> values) {
    PyObject** items = items_of(list) + at;
    if (static_cast<std::size_t>(PyList_GET_SIZE(list)) <= kFewFloats) {
        for (const double value : values) *items++ = float_result(value).release();
        return;
    }
    const FloatMaker make_float;
    for (const double value : values) *items++ = make_float(value).release();
}

// One float: the interpreter's own maker, whose free list the float's release refills, so
// that a loop of single results keeps it balanced (a float from FloatMaker would be given
// to the free list on release and never taken back out of it).
Ref float_result(double value) {
    PyObject* f = PyFloat_FromDouble(value);
    if (f == nullptr) result_creation_failed();
    return Ref::steal(f);
}

Ref float_list_result(std::span<const double> values) {
    struct Filling {
        Ref list;
        std::size_t reach = 0;
        ~Filling() {
            if (list) forget_items_beyond(list.get(), reach);
        }
    } filling{new_list(values.size())};
    constexpr std::size_t kPiece = 4096;
    ObjectSteps steps;
    for (std::size_t at = 0; at < values.size(); at += kPiece) {
        const std::span<const double> piece =
            values.subspan(at, std::min(kPiece, values.size() - at));
        filling.reach = at + piece.size();
        fill_floats(filling.list.get(), at, piece);
        steps.advance(piece.size());
    }
    return std::move(filling.list);
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
    PyObject** items = items_of(list.get());
    // The nonzero entries first, the shared zero after them: a list torn down half-made (a
    // refused allocation) holds only references it owns, empty items and no borrowed zero.
    const bool few = values.size() <= kFewFloats;
    const FloatMaker make_float;
    std::size_t made = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        // +0.0 stays empty here and becomes the shared zero below.
        if (std::bit_cast<std::uint64_t>(values[i]) == 0) continue;
        items[first + i * stride] =
            (few ? float_result(values[i]) : make_float(values[i])).release();
        ++made;
    }
    // The zero is made only when an entry needs it (on a mesh of one interval none may).
    const std::size_t zeros = size - made;
    if (zeros == 0) return list;
    const Ref zero = float_result(0.0);
    for (std::size_t i = 0; i < size; ++i) {
        if (items[i] == nullptr) items[i] = zero.get();
    }
    // Its references, all at once but in the interpreter's own way (saturating where it
    // makes objects immortal).
    for (std::size_t i = 0; i < zeros; ++i) Py_INCREF(zero.get());
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
        if (slots_[slot].key == key) return slots_[slot].object;
    }
    return nullptr;
}

void SharedObjects::keep(std::uint64_t key, std::size_t slot, const Ref& object) {
    if (kept_ >= kMaxKept) return;
    // At most half full, so that a search for an unknown key ends soon.
    if (2 * (kept_ + 1) > slots_.size()) {
        grow();
        slot = free_slot(key);
    }
    slots_[slot] = {key, object.share().release()};
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
    // Unfinished: entry at_ may be half in.
    if (rows_) {
        for (const Ref* list : {&rows_, &cols_, &values_})
            forget_items_beyond(list->get(), at_ + 1);
    }
}

Ref TripletBuilder::new_index(std::uint64_t value) {
    PyObject* item = PyLong_FromUnsignedLongLong(value);
    if (item == nullptr) result_creation_failed();
    return Ref::steal(item);
}

Ref TripletBuilder::shared_float(double value) {
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
    return triplet_result(values.size(), columns, [&](TripletBuilder& builder) {
        for (std::size_t e = 0; e < values.size(); ++e) builder.add(rows[e], cols[e], values[e]);
    });
}

}  // namespace tavo::host
