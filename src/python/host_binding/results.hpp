/// @brief The result rules: floats, strings, None, float lists (mostly zero ones too) and
/// triplets (rows, cols, values), made through `FloatMaker`, `SharedObjects` and
/// `TripletBuilder`. Every sparse result streams its entries through `triplet_result`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "lock.hpp"

namespace tavo::host {

Ref float_result(double value);
// Handles pending signals and shares the lock as it goes (ObjectSteps).
Ref float_list_result(std::span<const double> values);
Ref string_result(std::string_view text);
Ref none_result();
// A float list of `size` zeros, one object for all of them, but for entries
// first + i * stride, which hold values[i].
Ref mostly_zero_float_list_result(std::size_t size, std::size_t first, std::size_t stride,
                                  std::span<const double> values);

// New floats, made as the interpreter makes a fresh one: memory from the object allocator,
// the type, a reference count of one. PyFloat_FromDouble looks at its free list first, which
// a result of many floats empties at once; and the call that sets the count is needed only by
// the reference bookkeeping of debug builds and, from 3.13, by reference tracers: where
// either is present, the interpreter's own initialisation runs. The floats are freed like
// any other.
class FloatMaker {
public:
    FloatMaker() : direct_(compat::fresh_objects_may_skip_init()) {}
    Ref operator()(double value) const;

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

    // The object of `key`, made by make() (a Ref) if unknown.
    template <class Make>
    Ref get(std::uint64_t key, Make&& make) {
        std::size_t slot = 0;
        if (PyObject* known = find(key, slot)) return Ref::borrow(known);
        Ref object = make();
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

    // The kept object of `key` (borrowed), or null with `slot` where it would go.
    PyObject* find(std::uint64_t key, std::size_t& slot);
    void keep(std::uint64_t key, std::size_t slot, const Ref& object);
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

    void add(std::uint64_t row, std::uint64_t col, Ref value) {
        // Row-major: the entries of a row come together, and share the row's int.
        if (at_ == 0 || row != last_row_) {
            row_items_[at_] = new_index(row).release();
            last_row_ = row;
        } else {
            row_items_[at_] = Ref::borrow(row_items_[at_ - 1]).release();
        }
        col_items_[at_] = column(col).release();
        value_items_[at_] = value.release();
        ++at_;
        steps_.advance(1);
    }
    // The entry's float is the one of its bit pattern.
    void add(std::uint64_t row, std::uint64_t col, double value) {
        add(row, col, shared_float(value));
    }
    // The float of `value`, one object per distinct bit pattern.
    Ref shared_float(double value);
    // The tuple, once all `count` entries are in.
    Ref result();

private:
    static Ref new_index(std::uint64_t value);
    Ref column(std::uint64_t col) {
        if (col < column_table_.size()) {
            PyObject*& known = column_table_[col];
            // The table keeps the reference it is given for the builder's life.
            if (known == nullptr) known = new_index(col).release();
            return Ref::borrow(known);
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
    // Millions of entries take seconds: Ctrl-C and other threads get their turn meanwhile.
    ObjectSteps steps_;
};

// The triplet result of `count` entries with columns below `column_bound`, which
// visit_entries(builder) adds in row-major order.
template <class VisitEntries>
Ref triplet_result(std::size_t count, std::uint64_t column_bound, VisitEntries&& visit_entries) {
    TripletBuilder builder(count, column_bound);
    visit_entries(builder);
    return builder.result();
}
// (rows, cols, values) with one object per distinct index and per distinct value bit pattern
// (as far as SharedObjects keeps).
Ref triplet_result(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> cols,
                   std::span<const double> values);

// Sets list[at + i] = a new float of values[i], list items that were empty.
void fill_floats(PyObject* list, std::size_t at, std::span<const double> values);
// A new list of `size` empty items, to be filled before anyone else sees it.
Ref new_list(std::size_t size);
// Before the teardown of such a list left unfinished: only its first `reach` items can hold
// anything. The teardown of a list of 1e8 items would read the empty rest, and map its pages
// in, first.
void forget_items_beyond(PyObject* list, std::size_t reach);

}  // namespace tavo::host
