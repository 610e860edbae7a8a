// The core's failure paths: the exact texts of its checks (equality assertions, index and
// capacity overflows), the values at their boundaries that pass, and the source location a
// failure carries.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"

namespace {

using tavo::CoefficientMatrix;
using tavo::LegendreBasis;

template <class F>
tavo::InternalFailure internal_failure(F&& f) {
    try {
        f();
    } catch (const tavo::InternalFailure& failure) {
        return failure;
    }
    ADD_FAILURE() << "no internal failure";
    return tavo::InternalFailure("", std::source_location::current());
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// ---------------------------------------------------------------------------------------
// Failure texts

struct FailureCase {
    const char* name;
    std::function<void()> action;
    const char* message;
};

class InternalFailureText : public testing::TestWithParam<FailureCase> {};

TEST_P(InternalFailureText, IsExact) {
    EXPECT_EQ(internal_failure(GetParam().action).message(), GetParam().message);
}

constexpr std::uint64_t kMaxDoubles = PTRDIFF_MAX / sizeof(double);

INSTANTIATE_TEST_SUITE_P(
    Helpers, InternalFailureText,
    testing::Values(
        FailureCase{"AssertEqual",
                    [] { tavo::assert_equal(7, 18446744073709551615u, "what went wrong"); },
                    "assertion `left == right` failed: what went wrong\n  left: 7\n right: "
                    "18446744073709551615"},
        FailureCase{"CheckIndex", [] { tavo::check_index(5, 3); },
                    "index out of bounds: the len is 3 but the index is 5"},
        FailureCase{"CheckIndexAtLen", [] { tavo::check_index(0, 0); },
                    "index out of bounds: the len is 0 but the index is 0"},
        FailureCase{"Fail", [] { tavo::fail("as written\n"); }, "as written\n"},
        FailureCase{"CheckedMul",
                    [] { tavo::checked_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32); },
                    "capacity overflow"},
        FailureCase{"CheckedAdd", [] { tavo::checked_add(UINT64_MAX, 1); }, "capacity overflow"},
        FailureCase{"ArrayLengthDouble", [] { tavo::array_length<double>(kMaxDoubles + 1); },
                    "capacity overflow"},
        FailureCase{"ArrayLengthChar",
                    [] { tavo::array_length<char>(std::uint64_t{PTRDIFF_MAX} + 1); },
                    "capacity overflow"},
        FailureCase{"RowsMismatch",
                    [] { LegendreBasis(1, 2, 1.0).evaluate(CoefficientMatrix(3, 2), 0.5); },
                    "assertion `left == right` failed: LegendreBasis: coefficient rows must "
                    "equal n_t\n  left: 3\n right: 2"},
        FailureCase{
            "ColsMismatch",
            [] { LegendreBasis(1, 2, 1.0).evaluate_derivative(CoefficientMatrix(2, 3), 0.5); },
            "assertion `left == right` failed: LegendreBasis: coefficient columns must "
            "equal degree + 1\n  left: 3\n right: 2"},
        FailureCase{
            "ShortCoefficientBuffer",
            [] { CoefficientMatrix(std::span<const double>(std::vector<double>(5)), 2, 3); },
            "Matrix view: input data buffer too small."},
        FailureCase{"CoefficientStorageLength",
                    [] { CoefficientMatrix(std::vector<double>(5, 1.0), 2, 3); },
                    "assertion `left == right` failed: CoefficientMatrix: storage length must "
                    "equal rows * cols\n  left: 5\n right: 6"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(InternalFailure, BoundaryValuesPass) {
    EXPECT_EQ(tavo::checked_mul(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1),
              UINT64_MAX - UINT32_MAX);
    EXPECT_EQ(tavo::checked_add(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_EQ(tavo::array_length<double>(kMaxDoubles), kMaxDoubles);
    EXPECT_NO_THROW(tavo::check_index(2, 3));
    // A composed message is built only when the check fails.
    bool composed = false;
    tavo::assert_equal(4, 4, [&] { return composed = true, std::string("unused"); });
    EXPECT_FALSE(composed);
    EXPECT_EQ(internal_failure([] {
                  tavo::assert_equal(1, 2, [] { return std::string("late"); });
              }).message(),
              "assertion `left == right` failed: late\n  left: 1\n right: 2");
}

TEST(InternalFailure, CarriesTheLocationOfTheCheck) {
    const auto line = std::source_location::current().line() + 1;
    const auto failure = internal_failure([] { tavo::checked_mul(UINT64_MAX, 2); });
    EXPECT_TRUE(ends_with(failure.where().file_name(), "test_internal_failure.cpp"))
        << failure.where().file_name();
    EXPECT_EQ(failure.where().line(), line);
    EXPECT_STREQ(failure.what(), "capacity overflow");

    const auto core = internal_failure([] { LegendreBasis(1, 0, 1.0).locate_interval(0.0); });
    EXPECT_TRUE(ends_with(core.where().file_name(), "legendre_basis.cpp"))
        << core.where().file_name();
}

}  // namespace
