// Internal failures of the numerical core.
//
// A precondition the core cannot meet stops the operation with an `InternalFailure` carrying
// the exact text a caller sees and the source location of the check. The binding layer
// turns it into the module's panic exception; the core itself never sees Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <source_location>
#include <string>
#include <type_traits>

namespace tavo {

class InternalFailure : public std::exception {
public:
    InternalFailure(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// An explicit stop: the message is reported as written. Cold and out of line, so that
// failure paths stay out of the hot code that checks them.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail(
    std::string message, std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

// "assertion `left == right` failed: <message>\n  left: <l>\n right: <r>". The message is
// text, or a callable that composes it, so that nothing is built unless the check fails.
template <class Message>
inline void assert_equal(std::uint64_t left, std::uint64_t right, Message&& message,
                         std::source_location where = std::source_location::current()) {
    if (left == right) [[likely]]
        return;
    std::string text;
    if constexpr (std::is_invocable_v<Message>) {
        text = message();
    } else {
        text = message;
    }
    fail("assertion `left == right` failed: " + text + "\n  left: " + std::to_string(left) +
             "\n right: " + std::to_string(right),
         where);
}

// "index out of bounds: the len is <len> but the index is <index>"
inline void check_index(std::uint64_t index, std::uint64_t len,
                        std::source_location where = std::source_location::current()) {
    if (index < len) return;
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index),
         where);
}

[[noreturn, gnu::cold, gnu::noinline]] inline void capacity_overflow(
    std::source_location where = std::source_location::current()) {
    fail("capacity overflow", where);
}

// Size arithmetic on element counts. Every count that sizes an allocation goes through
// these, so that a product past 64 bits stops cleanly instead of wrapping into a small
// allocation that later code would overrun.
inline std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b,
                                 std::source_location where = std::source_location::current()) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) capacity_overflow(where);
    return product;
}

inline std::uint64_t checked_add(std::uint64_t a, std::uint64_t b,
                                 std::source_location where = std::source_location::current()) {
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) capacity_overflow(where);
    return sum;
}

// The element count of an array of T, refused when its byte size exceeds the largest
// object size (PTRDIFF_MAX). Below that the allocator decides: a refusal is std::bad_alloc.
template <class T>
std::size_t array_length(std::uint64_t count,
                         std::source_location where = std::source_location::current()) {
    constexpr auto max_bytes =
        static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (count > max_bytes / sizeof(T)) capacity_overflow(where);
    return static_cast<std::size_t>(count);
}

}  // namespace tavo
