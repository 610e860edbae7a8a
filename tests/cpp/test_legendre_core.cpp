// The piecewise Legendre kernels: interval location, values, derivatives, and the batches
// on the worker pool.

#include <gtest/gtest.h>

#include <algorithm>
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
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"
#include "test_support.hpp"

namespace {

using tavo::CoefficientMatrix;
using tavo::LegendreBasis;
using tavo_test::bit_patterns;
using tavo_test::failure_message;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTwoTo64 = 18446744073709551616.0;
constexpr std::uint64_t kMaxDoubles = PTRDIFF_MAX / sizeof(double);

// Equal lengths and equal bits; memcmp must not see the null data of an empty vector.
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
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
        // The right end h + a of the last interval is not h * 6 here, and x shows it.
        LocateCase{1.0, 6, 0.9166666666666666, 5, 1.3322676295501882e-15},
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

TEST(LegendreKernels, SumsStartAtNegativeZero) {
    // Every product P_i(x) * -0.0 is -0.0 for x > 0, so only the start decides the sign.
    const LegendreBasis basis(1, 2, 1.0);
    const std::vector<double> zeros(4, -0.0);
    const CoefficientMatrix m(zeros, 2, 2);
    const std::vector<double> times{0.4, 0.3, 0.9, 1.0, 2.0};
    const std::uint64_t negative_zero = std::bit_cast<std::uint64_t>(-0.0);
    for (const double t : times) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(basis.evaluate(m, t)), negative_zero) << t;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(basis.evaluate_derivative(m, t)), negative_zero)
            << t;
    }
    const std::vector<std::uint64_t> all_negative(times.size(), negative_zero);
    EXPECT_EQ(bit_patterns(basis.evaluate_many(m, times)), all_negative);
    EXPECT_EQ(bit_patterns(basis.evaluate_derivative_many(m, times)), all_negative);
}

// For degree 1 the sum is the slope coefficient itself; the factor 2 / h is applied as
// (S + S) / h, which differs in the last bit from (2 / h) * S on these meshes.
struct ChainRuleCase {
    double T;
    std::uint64_t n_t;
    double slope_coefficient;
    double derivative;
};

class DerivativeChainRule : public testing::TestWithParam<ChainRuleCase> {};

TEST_P(DerivativeChainRule, DoublesTheSumThenDividesByH) {
    const ChainRuleCase& c = GetParam();
    const LegendreBasis basis(1, c.n_t, c.T);
    std::vector<double> flat(2 * c.n_t, 5.0);
    for (std::uint64_t k = 0; k < c.n_t; ++k) flat[c.n_t + k] = c.slope_coefficient;
    const CoefficientMatrix m(flat, c.n_t, 2);
    const std::vector<double> times{0.0, c.T / 3.0, c.T, -1.0};
    for (const double t : times) EXPECT_EQ(basis.evaluate_derivative(m, t), c.derivative) << t;
    for (const double d : basis.evaluate_derivative_many(m, times)) EXPECT_EQ(d, c.derivative);
}

INSTANTIATE_TEST_SUITE_P(Meshes, DerivativeChainRule,
                         testing::Values(ChainRuleCase{1.0, 10, 0.7, 13.999999999999998},
                                         ChainRuleCase{1.0, 3, -2.9, -17.400000000000002},
                                         ChainRuleCase{2.5, 7, 1.3, 7.28}));

// At the interval ends P'_n(1) = n(n+1)/2 and P'_n(-1) = (-1)^(n+1) n(n+1)/2, integers the
// kernels must hit exactly before the chain-rule factor. On one interval of length 2 that
// factor is 1; on the second mesh it rounds, and (v + v) / h is the order of operations.
class LegendreDerivativeAtEnds : public testing::TestWithParam<std::uint64_t> {};

TEST_P(LegendreDerivativeAtEnds, IsExactIntegerValue) {
    const std::uint64_t degree = GetParam();
    struct Probe {
        double t;
        std::uint64_t k;
        bool right_end;
    };
    const struct {
        std::uint64_t n_t;
        double T;
        std::vector<Probe> probes;
    } meshes[] = {{1, 2.0, {{0.0, 0, false}, {2.0, 0, true}, {-3.0, 0, false}, {kInf, 0, true}}},
                  {7, 2.5, {{-1.0, 0, false}, {10.0, 6, true}}}};
    for (const auto& mesh : meshes) {
        const LegendreBasis basis(degree, mesh.n_t, mesh.T);
        const double h = mesh.T / static_cast<double>(mesh.n_t);
        for (const Probe& probe : mesh.probes) {
            ASSERT_EQ(basis.locate_interval(probe.t).k, probe.k);
            const std::vector<double> d = basis.evaluate_all_basis_function_derivatives(probe.t);
            for (std::uint64_t n = 0; n <= degree; ++n) {
                const double magnitude = static_cast<double>(n * (n + 1) / 2);
                const double v = (n % 2 == 1 || probe.right_end) ? magnitude : -magnitude;
                const double expected = (v + v) / h;
                EXPECT_EQ(d[n * mesh.n_t + probe.k], expected)
                    << "t = " << probe.t << ", mode " << n;

                std::vector<double> unit(basis.coefficient_count(), 0.0);
                unit[n * mesh.n_t + probe.k] = 1.0;
                const CoefficientMatrix m(unit, mesh.n_t, degree + 1);
                EXPECT_EQ(basis.evaluate_derivative(m, probe.t), expected)
                    << "t = " << probe.t << ", mode " << n;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, LegendreDerivativeAtEnds, testing::Values(0, 1, 2, 3, 8, 30));

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
            EXPECT_NEAR(values[n], static_cast<double>(p[n]), 1e-14)
                << "x = " << x << ", mode " << n;
            EXPECT_NEAR(d[n], static_cast<double>(dp[n]), 1e-12 * static_cast<double>(n * n + 1))
                << "x = " << x << ", mode " << n;
        }
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
        EXPECT_EQ(failure_message(calls[i]),
                  "LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)")
            << "call " << i;
    }
}

TEST(LegendreBasisRefusal, ImpossibleSizes) {
    const auto overflow = [](std::uint64_t degree, std::uint64_t n_t) {
        return failure_message(
            [=] { LegendreBasis(degree, n_t, 1.0).evaluate_all_basis_functions(0.0); });
    };
    EXPECT_EQ(overflow(UINT64_MAX, 1), "capacity overflow");
    EXPECT_EQ(overflow(std::uint64_t{1} << 32, std::uint64_t{1} << 32), "capacity overflow");
    EXPECT_EQ(overflow(0, kMaxDoubles + 1), "capacity overflow");
    EXPECT_EQ(failure_message([] {
                  LegendreBasis(1, std::uint64_t{1} << 62, 1.0)
                      .evaluate_all_basis_function_derivatives(0.0);
              }),
              "capacity overflow");
    EXPECT_EQ(
        failure_message([] { CoefficientMatrix(std::uint64_t{1} << 40, std::uint64_t{1} << 40); }),
        "capacity overflow");

    // Sizes within the object limit go to the allocator, which refuses them.
    EXPECT_THROW(LegendreBasis(0, kMaxDoubles, 1.0).evaluate_all_basis_functions(0.0),
                 std::bad_alloc);
    EXPECT_THROW(CoefficientMatrix(1, kMaxDoubles), std::bad_alloc);
}

// ---------------------------------------------------------------------------------------
// Batches

struct BatchFixture {
    LegendreBasis basis;
    CoefficientMatrix matrix{0, 0};

    // On 7 intervals of T = 1.75 each is 0.25 long, a power of two, which a single time
    // divides by as a multiplication; on those of T = 2 the divisions remain.
    explicit BatchFixture(std::uint64_t degree, double T = 1.75) : basis(degree, 7, T) {
        std::mt19937_64 rng(2024);
        std::uniform_real_distribution<double> coefficient(-3.0, 3.0);
        std::vector<double> flat(basis.coefficient_count());
        for (double& c : flat) c = coefficient(rng);
        matrix = CoefficientMatrix(flat, 7, degree + 1);
    }

    // Times inside and outside [0, T], mesh points, repeats and non-finite values.
    static std::vector<double> times(std::size_t n) {
        std::mt19937_64 rng(n);
        std::uniform_real_distribution<double> uniform(-0.5, 2.25);
        const double special[] = {0.0,  0.25,  1.75,   1.0,      -kInf, kInf, kNaN,   -0.0,
                                  0.25, 1e300, -1e300, 4.9e-324, 0.75,  1.5,  0.0625, 1e-17};
        constexpr std::size_t kSpecial = std::size(special);
        std::vector<double> out(n);
        for (std::size_t j = 0; j < n; ++j)
            out[j] = j % 13 == 0 ? special[(j / 13) % kSpecial] : uniform(rng);
        return out;
    }
};

class BatchEvaluation
    : public testing::TestWithParam<std::tuple<std::uint64_t, std::size_t, double>> {};

TEST_P(BatchEvaluation, EqualsPerElementCallsBitForBit) {
    const BatchFixture f(std::get<0>(GetParam()), std::get<2>(GetParam()));
    const std::vector<double> times = BatchFixture::times(std::get<1>(GetParam()));
    std::vector<double> values(times.size());
    std::vector<double> slopes(times.size());
    for (std::size_t j = 0; j < times.size(); ++j) {
        values[j] = f.basis.evaluate(f.matrix, times[j]);
        slopes[j] = f.basis.evaluate_derivative(f.matrix, times[j]);
    }
    const std::vector<double> batch_values = f.basis.evaluate_many(f.matrix, times);
    const std::vector<double> batch_slopes = f.basis.evaluate_derivative_many(f.matrix, times);
    EXPECT_TRUE(same_bits(batch_values, values));
    EXPECT_TRUE(same_bits(batch_slopes, slopes));
    // Every instruction set this processor has, not only the one in use.
    const tavo::ExpansionView view = f.basis.view(f.matrix);
    for (const tavo::kernels::BatchKernels& kernel : tavo::kernels::batch_kernels()) {
        std::vector<double> out(times.size());
        kernel.values(view, times.data(), out.data(), times.size());
        EXPECT_TRUE(same_bits(out, values)) << kernel.instruction_set;
        kernel.slopes(view, times.data(), out.data(), times.size());
        EXPECT_TRUE(same_bits(out, slopes)) << kernel.instruction_set;
    }
}

// Sizes around the small and the serial limits, and ones that leave a partial group of times
// at the end.
INSTANTIATE_TEST_SUITE_P(DegreesAndSizes, BatchEvaluation,
                         testing::Combine(testing::Values(0, 1, 2, 3, 5, 13),
                                          testing::Values(0, 1, 9, tavo::SMALL_BATCH_LIMIT,
                                                          tavo::SMALL_BATCH_LIMIT + 1,
                                                          tavo::SERIAL_BATCH_LIMIT - 1,
                                                          tavo::SERIAL_BATCH_LIMIT, 4099, 100000),
                                          testing::Values(1.75, 2.0)));

// The pipeline's order, as a consumer sees it: the times written once, the chunks taken in
// order and whole, a wait before each chunk asked for, and a failure of the consumer ending
// the batch at once.
TEST_P(BatchEvaluation, ConsumerSeesTheStepsInOrder) {
    const BatchFixture f(std::get<0>(GetParam()), std::get<2>(GetParam()));
    const std::vector<double> times = BatchFixture::times(std::get<1>(GetParam()));
    const std::vector<double> expected = f.basis.evaluate_many(f.matrix, times);
    struct Recorder final : tavo::BatchConsumer {
        const std::vector<double>* times = nullptr;
        bool pause = false;
        std::size_t fail_at = SIZE_MAX;
        std::size_t writes = 0, waits = 0, takes = 0;
        std::vector<double> values;
        void write_times(std::span<double> into) override {
            ++writes;
            std::copy(times->begin(), times->end(), into.begin());
        }
        bool wants_pause() override { return pause; }
        void wait(const tavo::ChunkWait& next) override {
            ++waits;
            next();
        }
        void take(std::span<const double> chunk) override {
            if (takes++ == fail_at) throw std::runtime_error("consumer");
            values.insert(values.end(), chunk.begin(), chunk.end());
        }
    };
    for (const bool pause : {false, true}) {
        Recorder r;
        r.times = &times;
        r.pause = pause;
        tavo::evaluate_batch(f.basis, f.matrix, tavo::BatchQuantity::kValue, times.size(), r);
        EXPECT_EQ(r.writes, 1U);
        EXPECT_TRUE(same_bits(r.values, expected));
        if (times.size() <= tavo::SMALL_BATCH_LIMIT) {
            EXPECT_EQ(r.waits, 0U);
        } else if (pause) {
            EXPECT_EQ(r.waits, r.takes);
        }
        if (r.takes > 1) {
            Recorder failing;
            failing.times = &times;
            failing.pause = pause;
            failing.fail_at = 1;
            EXPECT_THROW(tavo::evaluate_batch(f.basis, f.matrix, tavo::BatchQuantity::kValue,
                                              times.size(), failing),
                         std::runtime_error);
            EXPECT_EQ(failing.takes, 2U);
        }
    }
}

TEST(BatchEvaluation, ConcurrentBatchesOnSharedDataAgree) {
    const BatchFixture f(6);
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
        EXPECT_TRUE(same_bits(got_values[i], values)) << "thread " << i;
        EXPECT_TRUE(same_bits(got_slopes[i], slopes)) << "thread " << i;
    }
}

}  // namespace
