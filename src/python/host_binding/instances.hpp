/// @brief Instances of the module's classes: their layout (`Instance`), the borrow flag's
/// shared and exclusive access, the receiver check, and making and destroying instances.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "errors.hpp"

namespace tavo::host {

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
    explicit SharedAccess(std::atomic<std::int64_t>& flag) : flag_(flag) {
        std::int64_t current = flag_.load(std::memory_order_relaxed);
        if constexpr (compat::kObjectsUnderLock) {
            if (current == -1) [[unlikely]]
                refuse_shared_access();
            flag_.store(current + 1, std::memory_order_relaxed);
            return;
        }
        do {
            if (current == -1) [[unlikely]]
                refuse_shared_access();
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
    }
    ~SharedAccess() {
        if constexpr (compat::kObjectsUnderLock) {
            flag_.store(flag_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        } else {
            flag_.fetch_sub(1, std::memory_order_release);
        }
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    [[noreturn, gnu::cold, gnu::noinline]] static void refuse_shared_access();

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

// The class whose instances hold a Value, made once per process when the module first
// registers it. Atomic: calls in other threads read it with no interpreter lock between
// them and the import that wrote it.
template <class Value>
inline std::atomic<PyTypeObject*> class_of{nullptr};

// The receiver of a method as an instance of its class, or the cast TypeError.
template <class Value>
Instance<Value>& receiver(PyObject* self) {
    PyTypeObject* type = class_of<Value>.load(std::memory_order_acquire);
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

}  // namespace tavo::host
