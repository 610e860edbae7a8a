// The Legendre kernels: value and slope of a piecewise Legendre expansion at one time and at
// whole arrays of times, and the recurrences they are made of. Internal to the core.
//
// Every result is specified to the bit. The batch kernels run many times side by side in
// vector lanes, each lane doing exactly the operations of a single time in the same order,
// so a time's result never depends on the kernel, the vector width or its neighbours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tavo {

// What a kernel reads: the mesh and the coefficients.
struct ExpansionView {
    double h;           // T / n_t
    std::uint64_t n_t;  // at least 1
    std::uint64_t degree;
    const double* coefficients;  // n_t rows, degree + 1 columns, column by column
    // 1 / h where h is a power of two (kernels::exact_inverse), else 0: a division by h is
    // then a multiplication by it, to the bit.
    double inverse_h = 0.0;
};

struct IntervalPosition {
    std::uint64_t k;  // interval index
    double x;         // local coordinate in [-1, 1] (NaN for a NaN time)
};

namespace kernels {

// Added to the denominator x*x - 1 of the closed-form slope.
inline constexpr double kDerivativeEpsilon = 1e-15;

// Step j of the three-term recurrence, P_(j+1) = (P_j * (x * u) - P_(j-1) * j) / w with
// u = (j + j) + 1 and w = j + 1, in exactly this operation order. Every kernel, of one time
// or of vector lanes, takes its steps from here.
//
// Where w is a power of two (steps 1, 3, 7, ...) the division by it is a multiplication by
// its reciprocal: both are the exact quotient rounded once, the same bits for every operand
// (a power of two below 2^1023 has an exact reciprocal), at a fraction of the latency.
struct RecurrenceStep {
    double j;
    double u;
    double w;
    double inverse_w;  // 1 / w where w is a power of two, else 0

    explicit constexpr RecurrenceStep(std::uint64_t step)
        : j(static_cast<double>(step)),
          u((j + j) + 1.0),
          w(j + 1.0),
          inverse_w(step < (std::uint64_t{1} << 52) && ((step + 1) & step) == 0 ? 1.0 / w : 0.0) {}

    template <class V>
    [[gnu::always_inline]] V next(const V& x, const V& current, const V& previous) const {
        const V numerator = current * (x * u) - previous * j;
        if (inverse_w != 0.0) return numerator * inverse_w;
        return numerator / w;
    }
    // P'_(j+1) = P'_(j-1) + u * P_j, exact at the interval ends.
    template <class V>
    [[gnu::always_inline]] V next_slope(const V& slope_previous, const V& current) const {
        return slope_previous + u * current;
    }
    // The closed form ((x * P_n - P_(n-1)) * n) / denominator of P'_n, n = j + 1.
    template <class V>
    [[gnu::always_inline]] V closed_slope(const V& x, const V& next, const V& current,
                                          const V& denominator) const {
        return ((x * next - current) * w) / denominator;
    }
};

// The first steps, made once: a single time's kernel takes them from here.
inline constexpr std::uint64_t kTabulatedSteps = 32;
inline constexpr auto kRecurrenceSteps = [] {
    struct Table {
        RecurrenceStep steps[kTabulatedSteps];
    };
    return [&]<std::size_t... s>(std::index_sequence<s...>) {
        return Table{{RecurrenceStep(s)...}};
    }(std::make_index_sequence<kTabulatedSteps>());
}();
inline RecurrenceStep recurrence_step(std::uint64_t step) {
    return step < kTabulatedSteps ? kRecurrenceSteps.steps[step] : RecurrenceStep(step);
}

// 1 / d where d is a power of two whose reciprocal is a normal double (so that x / d and
// x * (1 / d) are the same exact quotient, rounded once), else 0.
inline double exact_inverse(double d) {
    const double inverse = 1.0 / d;
    const auto bits = __builtin_bit_cast(std::uint64_t, d);
    const std::uint64_t exponent = (bits >> 52) & 0x7ff;
    const bool power_of_two = (bits & ((std::uint64_t{1} << 52) - 1)) == 0;
    // Exponents -1022 .. 1022: d and 1 / d both normal.
    return power_of_two && exponent >= 1 && exponent <= 2045 ? inverse : 0.0;
}

// Inside |x| <= 1/2 the closed form ((x P_n - P_(n-1)) n) / ((x^2 - 1) + eps) of the slope is
// well conditioned. Towards the interval ends numerator and denominator both vanish and the
// quotient loses every digit (at x = +-1 it is exactly 0 instead of +-n(n+1)/2), so there
// the slope comes from the recurrence P'_(j+1) = P'_(j-1) + ((j + j) + 1) P_j, which is
// exact at the ends. A NaN x takes the recurrence; both give NaN from mode 2 on.
inline bool slope_in_closed_form(double x) { return __builtin_fabs(x) <= 0.5; }

// Steps J .. D - 1 of the recurrence, unrolled: each step's constants, and whether it
// divides or multiplies by the reciprocal, fixed at compile time.
template <std::uint64_t J, std::uint64_t D, class Visit>
[[gnu::always_inline]] inline void unrolled_steps(double x, double previous, double current,
                                                  Visit& visit) {
    if constexpr (J < D) {
        constexpr RecurrenceStep step(J);
        const double next = step.next(x, current, previous);
        visit(J + 1, next);
        unrolled_steps<J + 1, D>(x, current, next, visit);
    }
}

// legendre_values of one degree D: the same operations in the same order as the loop below,
// with a third fewer instructions for a single time of a small degree.
template <std::uint64_t D, class Visit>
[[gnu::always_inline]] inline void legendre_values_of_degree(double x, Visit& visit) {
    visit(std::uint64_t{0}, 1.0);
    if constexpr (D >= 1) {
        visit(std::uint64_t{1}, x);
        unrolled_steps<1, D>(x, 1.0, x, visit);
    }
}

// Calls visit(i, P_i(x)) for i = 0 .. degree.
template <class Visit>
[[gnu::always_inline]] inline void legendre_values(double x, std::uint64_t degree, Visit&& visit) {
    switch (degree) {
        case 0:
            return legendre_values_of_degree<0>(x, visit);
        case 1:
            return legendre_values_of_degree<1>(x, visit);
        case 2:
            return legendre_values_of_degree<2>(x, visit);
        case 3:
            return legendre_values_of_degree<3>(x, visit);
        case 4:
            return legendre_values_of_degree<4>(x, visit);
        case 5:
            return legendre_values_of_degree<5>(x, visit);
        default:
            break;
    }
    double previous = 1.0;
    visit(std::uint64_t{0}, previous);
    if (degree == 0) return;
    double current = x;
    visit(std::uint64_t{1}, current);
    for (std::uint64_t j = 1; j < degree; ++j) {
        const double next = recurrence_step(j).next(x, current, previous);
        previous = current;
        current = next;
        visit(j + 1, current);
    }
}

// Calls visit(i, P'_i(x)) for i = 0 .. degree.
template <class Visit>
[[gnu::always_inline]] inline void legendre_derivatives(double x, std::uint64_t degree,
                                                        Visit&& visit) {
    visit(std::uint64_t{0}, 0.0);
    if (degree == 0) return;
    visit(std::uint64_t{1}, 1.0);
    if (degree == 1) return;
    if (slope_in_closed_form(x)) {
        const double denominator = (x * x - 1.0) + kDerivativeEpsilon;
        double previous = 0.0;  // P_(n-1)
        legendre_values(x, degree, [&](std::uint64_t n, double p_n) {
            if (n >= 2)
                visit(n, recurrence_step(n - 1).closed_slope(x, p_n, previous, denominator));
            previous = p_n;
        });
    } else {
        double d_previous = 0.0;  // P'_(j-1)
        double d_current = 1.0;   // P'_j
        legendre_values(x, degree - 1, [&](std::uint64_t j, double p_j) {
            if (j == 0) return;
            const double d_next = recurrence_step(j).next_slope(d_previous, p_j);
            d_previous = d_current;
            d_current = d_next;
            visit(j + 1, d_next);
        });
    }
}

// The interval of t (floor(t / h), clamped to [0, n_t - 1]) and its local coordinate.
IntervalPosition locate(const ExpansionView& e, double t);

// Value and slope d/dt of the expansion at one time.
double value_at(const ExpansionView& e, double t);
double slope_at(const ExpansionView& e, double t);

// Values and slopes at times[0 .. n): out[j] is value_at / slope_at of times[j], bit for bit.
// `out` may be `times` itself.
void values_at(const ExpansionView& e, const double* times, double* out, std::size_t n);
void slopes_at(const ExpansionView& e, const double* times, double* out, std::size_t n);

// The batch kernels of one instruction set, for meshes of up to 2^52 intervals.
struct BatchKernels {
    const char* instruction_set;
    void (*values)(const ExpansionView&, const double*, double*, std::size_t);
    void (*slopes)(const ExpansionView&, const double*, double*, std::size_t);
};
// Those this processor can run, the one values_at and slopes_at use first (for the tests,
// which compare them all, and the benchmarks).
std::span<const BatchKernels> batch_kernels();

}  // namespace kernels
}  // namespace tavo
