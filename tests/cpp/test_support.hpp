// Helpers shared by the C++ unit tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "internal_failure.hpp"
#include "sparse_matrix_tools.hpp"

namespace tavo_test {

// IEEE-754 bit patterns, so that -0.0 differs from 0.0 and NaN equals itself.
inline std::vector<std::uint64_t> bit_patterns(std::span<const double> values) {
    std::vector<std::uint64_t> out;
    for (double v : values) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}
inline std::vector<std::uint64_t> bit_patterns(std::initializer_list<double> values) {
    return bit_patterns(std::span<const double>(values.begin(), values.size()));
}

// The message of the internal failure that f ends in.
template <class F>
std::string failure_message(F&& f) {
    try {
        f();
    } catch (const tavo::InternalFailure& failure) {
        return failure.message();
    }
    ADD_FAILURE() << "no internal failure";
    return {};
}

struct Entry {
    std::uint64_t row;
    std::uint64_t col;
    double value;
};

// Shape plus stored entries in storage order, values compared bit for bit (so that a stored
// -0.0 or 0.0 is told apart from a missing entry and from each other).
inline void expect_matrix(const tavo::CsrMatrix& m, std::int64_t rows, std::int64_t cols,
                          const std::vector<Entry>& expected) {
    EXPECT_EQ(m.rows(), rows);
    EXPECT_EQ(m.cols(), cols);
    const tavo::Triplets t = tavo::csr_to_triplets(m);
    std::vector<std::uint64_t> r;
    std::vector<std::uint64_t> c;
    std::vector<double> v;
    for (const Entry& e : expected) {
        r.push_back(e.row);
        c.push_back(e.col);
        v.push_back(e.value);
    }
    EXPECT_EQ(t.rows, r);
    EXPECT_EQ(t.cols, c);
    EXPECT_EQ(bit_patterns(t.values), bit_patterns(v));
}

}  // namespace tavo_test
