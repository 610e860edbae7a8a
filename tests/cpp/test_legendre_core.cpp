// Internal failures and the piecewise Legendre kernels: interval location, values,
// derivatives, and the batches on the worker pool.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <source_location>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"

namespace {

using tavo::CoefficientMatrix;
using tavo::LegendreBasis;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoTo64 = 18446744073709551616.0;

std::vector<std::uint64_t> bit_patterns(const std::vector<double>& values) {
    std::vector<std::uint64_t> out;
    for (double v : values) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

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
        FailureCase{"AssertEqual", [] { tavo::assert_equal(7, 18446744073709551615u, "what went wrong"); },
                    "assertion `left == right` failed: what went wrong\n  left: 7\n right: "
                    "18446744073709551615"},
        FailureCase{"CheckIndex", [] { tavo::check_index(5, 3); },
                    "index out of bounds: the len is 3 but the index is 5"},
        FailureCase{"CheckIndexAtLen", [] { tavo::check_index(0, 0); },
                    "index out of bounds: the len is 0 but the index is 0"},
        FailureCase{"Fail", [] { tavo::fail("as written\n"); }, "as written\n"},
        FailureCase{"CheckedMul", [] { tavo::checked_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32); },
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
        FailureCase{"ColsMismatch",
                    [] { LegendreBasis(1, 2, 1.0).evaluate_derivative(CoefficientMatrix(2, 3), 0.5); },
                    "assertion `left == right` failed: LegendreBasis: coefficient columns must "
                    "equal degree + 1\n  left: 3\n right: 2"},
        FailureCase{"ShortCoefficientBuffer",
                    [] {
                        const std::vector<double> five(5, 1.0);
                        CoefficientMatrix(five, 2, 3);
                    },
                    "Matrix view: input data buffer too small."}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(InternalFailure, BoundaryValuesPass) {
    EXPECT_EQ(tavo::checked_mul(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1),
              UINT64_MAX - UINT32_MAX);
    EXPECT_EQ(tavo::checked_add(UINT64_MAX - 1, 1), UINT64_MAX);
    EXPECT_EQ(tavo::array_length<double>(kMaxDoubles), kMaxDoubles);
    EXPECT_NO_THROW(tavo::check_index(2, 3));
    EXPECT_NO_THROW(tavo::assert_equal(4, 4, "unused"));
}

TEST(InternalFailure, CarriesTheLocationOfTheCheck) {
    const auto line = std::source_location::current().line() + 1;
    const auto failure = internal_failure([] { tavo::checked_mul(UINT64_MAX, 2); });
    EXPECT_TRUE(ends_with(failure.where().file_name(), "test_legendre_core.cpp"))
        << failure.where().file_name();
    EXPECT_EQ(failure.where().line(), line);
    EXPECT_STREQ(failure.what(), "capacity overflow");

    const auto core = internal_failure([] { LegendreBasis(1, 0, 1.0).locate_interval(0.0); });
    EXPECT_TRUE(ends_with(core.where().file_name(), "piecewise_polynomials.cpp"))
        << core.where().file_name();
}

// ---------------------------------------------------------------------------------------
// Interval location

struct LocateCase {
    double T;
    std::uint64_t n_t;
    double t;
    std::uint64_t k;
    double x;
};

class LocateInterval : public testing::TestWithParam<LocateCase> {};

TEST_P(LocateInterval, GivesIntervalAndLocalCoordinate) {
    const LocateCase& c = GetParam();
    const tavo::IntervalPosition p = LegendreBasis(3, c.n_t, c.T).locate_interval(c.t);
    EXPECT_EQ(p.k, c.k);
    if (std::isnan(c.x)) {
        EXPECT_TRUE(std::isnan(p.x)) << p.x;
    } else {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(p.x), std::bit_cast<std::uint64_t>(c.x))
            << p.x << " != " << c.x;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Meshes, LocateInterval,
    testing::Values(
        // An exact integer quotient belongs to the interval on its right.
        LocateCase{1.0, 4, 0.5, 2, -1.0},
        // 0.3 / 0.1 rounds below 3: the right end of interval 2.
        LocateCase{1.0, 10, 0.3, 2, 0.9999999999999994},
        LocateCase{1.0, 7, 1.0, 6, 0.9999999999999992},
        LocateCase{1.0, 4, 2.0, 3, 1.0}, LocateCase{1.0, 4, kInf, 3, 1.0},
        LocateCase{1.0, 4, 0.0, 0, -1.0}, LocateCase{1.0, 4, -0.25, 0, -1.0},
        LocateCase{1.0, 4, -kInf, 0, -1.0}, LocateCase{1.0, 4, -1e300, 0, -1.0},
        LocateCase{1.0, 4, kNaN, 0, kNaN},
        // Quotients at or past 2^64 saturate instead of wrapping.
        LocateCase{1.0, 3, 1e19, 2, 1.0}, LocateCase{1.0, 3, 1e300, 2, 1.0},
        LocateCase{kTwoTo64, UINT64_MAX, kInf, UINT64_MAX - 1, 1.0},
        LocateCase{kTwoTo64, UINT64_MAX, 1e30, UINT64_MAX - 1, 1.0}));

// ---------------------------------------------------------------------------------------
// Kernels

TEST(LegendreKernels, WorkedExampleIsBitExact) {
    const LegendreBasis basis(2, 2, 2.0);
    const std::vector<double> flat{1, 2, 3, 4, 5, 6};
    const CoefficientMatrix m(flat, 2, 3);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(basis.evaluate(m, 1.25)),
              std::bit_cast<std::uint64_t>(-0.75));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(basis.evaluate_derivative(m, 1.25)),
              std::bit_cast<std::uint64_t>(-10.000000000000025));
    EXPECT_EQ(bit_patterns(basis.evaluate_all_basis_functions(1.25)),
              bit_patterns({0.0, 1.0, 0.0, -0.5, 0.0, -0.125}));
    EXPECT_EQ(bit_patterns(basis.evaluate_all_basis_function_derivatives(1.25)),
              bit_patterns({0.0, 0.0, 0.0, 2.0, 0.0, -3.000000000000004}));
}

TEST(LegendreKernels, DegreeZeroReadsTheIntervalCoefficient) {
    const LegendreBasis basis(0, 3, 3.0);
    const std::vector<double> flat{7.0, -8.0, 9.0};
    const CoefficientMatrix m(flat, 3, 1);
    EXPECT_EQ(basis.evaluate(m, 1.5), -8.0);
    EXPECT_EQ(basis.evaluate(m, kNaN), 7.0);
    EXPECT_EQ(bit_patterns(basis.evaluate_all_basis_functions(2.5)), bit_patterns({0.0, 0.0, 1.0}));
    EXPECT_EQ(bit_patterns(basis.evaluate_all_basis_function_derivatives(2.5)),
              bit_patterns({0.0, 0.0, 0.0}));
}

// On one interval of length 2 the map t -> x has slope 1, so the derivatives of the basis
// functions are the derivatives of the Legendre polynomials themselves.
class LegendreDerivativeAtEnds : public testing::TestWithParam<std::uint64_t> {};

TEST_P(LegendreDerivativeAtEnds, IsExactIntegerValue) {
    const std::uint64_t degree = GetParam();
    const LegendreBasis basis(degree, 1, 2.0);
    for (const double t : {0.0, 2.0, -3.0, kInf}) {
        const double sign = t > 1.0 ? 1.0 : -1.0;
        const std::vector<double> d = basis.evaluate_all_basis_function_derivatives(t);
        for (std::uint64_t n = 0; n <= degree; ++n) {
            // P'_n(1) = n(n+1)/2 and P'_n(-x) = (-1)^(n+1) P'_n(x).
            const double magnitude = static_cast<double>(n * (n + 1) / 2);
            const double expected = (n % 2 == 1 || sign > 0) ? magnitude : -magnitude;
            EXPECT_EQ(d[n], expected) << "t = " << t << ", mode " << n;

            std::vector<double> unit(degree + 1, 0.0);
            unit[n] = 1.0;
            EXPECT_EQ(basis.evaluate_derivative(CoefficientMatrix(unit, 1, degree + 1), t), expected)
                << "t = " << t << ", mode " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, LegendreDerivativeAtEnds, testing::Values(0, 1, 2, 3, 8, 30));

TEST(LegendreKernels, DerivativeSumOverModesAtIntervalStart) {
    // 2 * P'_1(-1) + 3 * P'_2(-1) = 2 - 9.
    const LegendreBasis basis(2, 1, 2.0);
    const std::vector<double> flat{1.0, 2.0, 3.0};
    EXPECT_EQ(basis.evaluate_derivative(CoefficientMatrix(flat, 1, 3), 0.0), -7.0);
}

// P_n and P'_n from the closed forms in long double, for comparison away from x = +-1.
void reference_legendre(long double x, std::uint64_t degree, std::vector<long double>& p,
                        std::vector<long double>& dp) {
    p.assign(degree + 1, 1.0L);
    dp.assign(degree + 1, 0.0L);
    if (degree >= 1) p[1] = x;
    for (std::uint64_t j = 1; j < degree; ++j) {
        p[j + 1] = ((2 * j + 1) * x * p[j] - j * p[j - 1]) / (j + 1);
    }
    for (std::uint64_t n = 1; n <= degree; ++n) dp[n] = n * (x * p[n] - p[n - 1]) / (x * x - 1);
}

TEST(LegendreKernels, DerivativeInsideTheMiddleHalfKeepsTheRegularisedQuotient) {
    const std::uint64_t degree = 12;
    const LegendreBasis basis(degree, 1, 2.0);
    for (const double t : {1.5, 0.5, 1.1}) {
        const double x = basis.locate_interval(t).x;
        const std::vector<double> p = basis.evaluate_all_basis_functions(t);
        const std::vector<double> d = basis.evaluate_all_basis_function_derivatives(t);
        for (std::uint64_t n = 2; n <= degree; ++n) {
            // The quotient as the kernel writes it, epsilon included.
            const double numerator = (x * p[n] - p[n - 1]) * static_cast<double>(n);
            const double expected = numerator / ((x * x - 1.0) + 1e-15);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(d[n]), std::bit_cast<std::uint64_t>(expected))
                << "x = " << x << ", mode " << n;
        }
    }
    // At x = 1/2 the epsilon shows: P'_2(1/2) = 3/2 exactly, the kernel is a little above.
    EXPECT_EQ(basis.evaluate_all_basis_function_derivatives(1.5)[2], 1.5000000000000020);
}

TEST(LegendreKernels, DerivativeTowardsTheEndsIsAccurate) {
    const std::uint64_t degree = 20;
    const LegendreBasis basis(degree, 1, 2.0);
    std::vector<long double> p;
    std::vector<long double> dp;
    for (const double t : {1.5000000000000002, 0.4999999999999999, 1.75, 0.05, 1.99, 1.9999999}) {
        const double x = basis.locate_interval(t).x;
        ASSERT_GT(std::fabs(x), 0.5);
        reference_legendre(x, degree, p, dp);
        const std::vector<double> values = basis.evaluate_all_basis_functions(t);
        const std::vector<double> d = basis.evaluate_all_basis_function_derivatives(t);
        for (std::uint64_t n = 0; n <= degree; ++n) {
            EXPECT_NEAR(values[n], static_cast<double>(p[n]), 1e-14) << "x = " << x << ", mode " << n;
            EXPECT_NEAR(d[n], static_cast<double>(dp[n]), 1e-12 * static_cast<double>(n * n + 1))
                << "x = " << x << ", mode " << n;
        }
    }
}

TEST(LegendreKernels, BasisDotCoefficientsMatchesEvaluate) {
    const LegendreBasis basis(6, 5, 2.5);
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> coefficient(-2.0, 2.0);
    std::vector<double> flat(basis.coefficient_count());
    for (double& c : flat) c = coefficient(rng);
    const CoefficientMatrix m(flat, 5, 7);
    for (const double t : {0.0, 0.1, 0.49, 0.5, 1.3, 1.77, 2.5}) {
        const std::vector<double> v = basis.evaluate_all_basis_functions(t);
        const std::vector<double> d = basis.evaluate_all_basis_function_derivatives(t);
        double value = 0.0;
        double slope = 0.0;
        for (std::size_t g = 0; g < flat.size(); ++g) {
            value += v[g] * flat[g];
            slope += d[g] * flat[g];
        }
        EXPECT_NEAR(basis.evaluate(m, t), value, 1e-12) << t;
        EXPECT_NEAR(basis.evaluate_derivative(m, t), slope, 1e-10) << t;
    }
}

// ---------------------------------------------------------------------------------------
// Refusals

TEST(LegendreBasisRefusal, EmptyMeshFailsEveryEvaluation) {
    const LegendreBasis basis(2, 0, 1.0);
    const CoefficientMatrix m(0, 3);
    const std::vector<double> none;
    const std::vector<std::function<void()>> calls{
        [&] { basis.locate_interval(0.5); },
        [&] { basis.evaluate(m, 0.5); },
        [&] { basis.evaluate_derivative(m, 0.5); },
        [&] { basis.evaluate_all_basis_functions(0.5); },
        [&] { basis.evaluate_all_basis_function_derivatives(0.5); },
        [&] { basis.evaluate_many(m, none); },
        [&] { basis.evaluate_derivative_many(m, none); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(internal_failure(calls[i]).message(),
                  "LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)")
            << "call " << i;
    }
}

TEST(LegendreBasisRefusal, ImpossibleSizes) {
    const auto overflow = [](std::uint64_t degree, std::uint64_t n_t) {
        return internal_failure([=] { LegendreBasis(degree, n_t, 1.0).evaluate_all_basis_functions(0.0); })
            .message();
    };
    EXPECT_EQ(overflow(UINT64_MAX, 1), "capacity overflow");
    EXPECT_EQ(overflow(std::uint64_t{1} << 32, std::uint64_t{1} << 32), "capacity overflow");
    EXPECT_EQ(overflow(0, kMaxDoubles + 1), "capacity overflow");
    EXPECT_EQ(internal_failure([] {
                  LegendreBasis(1, std::uint64_t{1} << 62, 1.0).evaluate_all_basis_function_derivatives(0.0);
              }).message(),
              "capacity overflow");
    EXPECT_EQ(internal_failure([] { CoefficientMatrix(std::uint64_t{1} << 40, std::uint64_t{1} << 40); })
                  .message(),
              "capacity overflow");

    // Sizes within the object limit go to the allocator, which refuses them.
    EXPECT_THROW(LegendreBasis(0, kMaxDoubles, 1.0).evaluate_all_basis_functions(0.0), std::bad_alloc);
    EXPECT_THROW(CoefficientMatrix(1, kMaxDoubles), std::bad_alloc);
}

// ---------------------------------------------------------------------------------------
// Batches

struct BatchFixture {
    LegendreBasis basis{5, 7, 1.75};
    std::vector<double> flat;
    CoefficientMatrix matrix{0, 0};

    BatchFixture() {
        std::mt19937_64 rng(2024);
        std::uniform_real_distribution<double> coefficient(-3.0, 3.0);
        flat.resize(basis.coefficient_count());
        for (double& c : flat) c = coefficient(rng);
        matrix = CoefficientMatrix(flat, 7, 6);
    }

    // Times inside and outside [0, T], mesh points, repeats and non-finite values.
    static std::vector<double> times(std::size_t n) {
        std::mt19937_64 rng(n);
        std::uniform_real_distribution<double> uniform(-0.5, 2.25);
        const double special[] = {0.0, 0.25, 1.75, 1.0, -kInf, kInf, kNaN, -0.0, 0.25};
        std::vector<double> out(n);
        for (std::size_t j = 0; j < n; ++j) out[j] = j % 13 == 0 ? special[(j / 13) % 9] : uniform(rng);
        return out;
    }
};

class BatchEvaluation : public testing::TestWithParam<std::size_t> {};

TEST_P(BatchEvaluation, EqualsPerElementCallsBitForBit) {
    const BatchFixture f;
    const std::vector<double> times = BatchFixture::times(GetParam());
    std::vector<double> values(times.size());
    std::vector<double> slopes(times.size());
    for (std::size_t j = 0; j < times.size(); ++j) {
        values[j] = f.basis.evaluate(f.matrix, times[j]);
        slopes[j] = f.basis.evaluate_derivative(f.matrix, times[j]);
    }
    const std::vector<double> batch_values = f.basis.evaluate_many(f.matrix, times);
    const std::vector<double> batch_slopes = f.basis.evaluate_derivative_many(f.matrix, times);
    ASSERT_EQ(batch_values.size(), times.size());
    ASSERT_EQ(batch_slopes.size(), times.size());
    EXPECT_EQ(std::memcmp(batch_values.data(), values.data(), times.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(batch_slopes.data(), slopes.data(), times.size() * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BatchEvaluation,
                         testing::Values(0, 1, tavo::SERIAL_BATCH_LIMIT - 1,
                                         tavo::SERIAL_BATCH_LIMIT, 100000));

TEST(BatchEvaluation, ConcurrentBatchesOnSharedDataAgree) {
    const BatchFixture f;
    const std::vector<double> times = BatchFixture::times(100000);
    const std::vector<double> values = f.basis.evaluate_many(f.matrix, times);
    const std::vector<double> slopes = f.basis.evaluate_derivative_many(f.matrix, times);

    constexpr std::size_t kThreads = 4;
    std::vector<std::vector<double>> got_values(kThreads);
    std::vector<std::vector<double>> got_slopes(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                got_values[i] = f.basis.evaluate_many(f.matrix, times);
                got_slopes[i] = f.basis.evaluate_derivative_many(f.matrix, times);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < kThreads; ++i) {
        ASSERT_EQ(got_values[i].size(), times.size());
        ASSERT_EQ(got_slopes[i].size(), times.size());
        EXPECT_EQ(std::memcmp(got_values[i].data(), values.data(), times.size() * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(got_slopes[i].data(), slopes.data(), times.size() * sizeof(double)), 0);
    }
}

}  // namespace
