// The lane helpers take and return vectors wider than the baseline registers; they are
// always inlined, so the calling convention for such vectors never applies. (For the whole
// file, the recurrence of the header included: templates are instantiated at its end.)
#pragma GCC diagnostic ignored "-Wpsabi"

#include "legendre_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace tavo::kernels {

namespace {

// The kernels are written for G groups of V "lanes": V is `double` (G = 1) for a single time,
// or a vector of W doubles for batches of W * G times at once. Running several independent
// times side by side hides the latency of the divisions, which bound the kernels, and keeps
// the divider busy. Sums start at -0.0 and run in increasing mode order.
using Vec2 = double __attribute__((vector_size(2 * sizeof(double))));
using Vec4 = double __attribute__((vector_size(4 * sizeof(double))));
// The integers of the same lanes.
using Index2 = std::uint64_t __attribute__((vector_size(2 * sizeof(std::uint64_t))));
using Index4 = std::uint64_t __attribute__((vector_size(4 * sizeof(std::uint64_t))));
template <class V>
using IndexOf = std::conditional_t<std::is_same_v<V, Vec2>, Index2, Index4>;

template <class V>
constexpr std::size_t kWidth = sizeof(V) / sizeof(double);  // NOLINT(bugprone-sizeof-expression)

template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof(V));
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store(const V& v, double* p) {
    std::memcpy(p, &v, sizeof(V));
}
template <class V>
[[gnu::always_inline]] inline V splat(double value) {
    return V{} + value;
}

// The coefficients of the lanes' intervals in one column, built in registers (a round trip
// through memory would stall on store forwarding).
template <class V, std::size_t... l>
[[gnu::always_inline]] inline V gather(const double* column, const std::uint64_t* k,
                                       std::index_sequence<l...>) {
    return V{column[k[l]]...};
}
template <class V>
[[gnu::always_inline]] inline V gather(const double* column, const std::uint64_t* k) {
    return gather<V>(column, k, std::make_index_sequence<kWidth<V>>());
}

// Interval k and local coordinate x of each lane's time: q = t / h, k = floor(q) clamped to
// [0, n_t - 1] (NaN to 0), a = h * k, b = h + a (not h * (k + 1): the two differ in the last
// bit on some meshes), x = ((t + (a + b) * -0.5) * 2) / (b - a) (the divisor is b - a as
// computed, not h), clamped to [-1, 1]. The vector form clamps k as a double, exactly as the
// integer is clamped, for every n_t up to 2^52 (no mesh beyond that has coefficients).
// Up to 2^53 intervals every interval index is a double exactly.
constexpr std::uint64_t kMaxExactIntervals = std::uint64_t{1} << 53;

template <class V, std::size_t G>
[[gnu::always_inline]] inline void locate_lanes(const ExpansionView& e, const double* t,
                                                std::uint64_t* k, double* xs) {
    constexpr std::size_t W = kWidth<V>;
    if constexpr (std::is_same_v<V, double>) {
        // Where h is a power of two its divisions are multiplications (the same bits).
        const double floor_q = std::floor(e.inverse_h != 0.0 ? *t * e.inverse_h : *t / e.h);
        double a = 0.0;
        if (e.n_t <= kMaxExactIntervals) [[likely]] {
            // Clamped as a double, as the integer would be (n_t - 1 is exact): the interval's
            // start needs no round trip through an integer register.
            const double last = static_cast<double>(e.n_t - 1);
            double kd = floor_q > 0.0 ? floor_q : 0.0;
            kd = kd < last ? kd : last;
            *k = static_cast<std::uint64_t>(kd);
            a = e.h * kd;
        } else {
            // Saturating: negative and NaN quotients land in interval 0, huge ones at the
            // top (and then in the last interval).
            std::uint64_t kl = 0;
            if (floor_q >= 18446744073709551616.0) {
                kl = UINT64_MAX;
            } else if (floor_q > 0.0) {
                kl = static_cast<std::uint64_t>(floor_q);
            }
            if (kl >= e.n_t) kl = e.n_t - 1;
            *k = kl;
            a = e.h * static_cast<double>(kl);
        }
        const double b = e.h + a;
        const double m = (a + b) * -0.5;
        const double s = *t + m;
        const double width = b - a;
        double x = e.inverse_h != 0.0 && width == e.h ? (s + s) * e.inverse_h : (s + s) / width;
        if (x < -1.0) {
            x = -1.0;
        } else if (x > 1.0) {
            x = 1.0;
        }
        *xs = x;
    } else {
        // floor(q) clamped to [0, n_t - 1] in vector instructions alone: 0 for NaN and for
        // q <= 0; q itself from 2^52 on, where every double is an integer; below that, q
        // rounded to an integer by adding and taking away 2^52, less one where that rounded
        // up. The interval index is then read from the bits of k + 2^52.
        constexpr double kTwo52 = 4503599627370496.0;
        const V last = splat<V>(static_cast<double>(e.n_t - 1));
        for (std::size_t g = 0; g < G; ++g) {
            const V time = load<V>(t + g * W);
            const V q = time / e.h;
            const V positive = (q > 0.0) ? q : V{};
            V rounded = (positive + kTwo52) - kTwo52;
            rounded = (rounded > positive) ? rounded - 1.0 : rounded;
            V floor_q = (positive < kTwo52) ? rounded : positive;
            floor_q = (floor_q < last) ? floor_q : last;
            using Bits = IndexOf<V>;
            const Bits index =
                reinterpret_cast<Bits>(floor_q + kTwo52) - reinterpret_cast<Bits>(splat<V>(kTwo52));
            std::memcpy(k + g * W, &index, sizeof(index));
            const V a = e.h * floor_q;
            const V b = e.h + a;
            const V m = (a + b) * -0.5;
            const V s = time + m;
            V x = (s + s) / (b - a);
            x = (x < -1.0) ? splat<V>(-1.0) : x;
            x = (x > 1.0) ? splat<V>(1.0) : x;
            store(x, xs + g * W);
        }
    }
}

template <class V, std::size_t G>
[[gnu::always_inline]] inline void value_lanes(const ExpansionView& e, const double* t,
                                               double* out) {
    constexpr std::size_t W = kWidth<V>;
    std::uint64_t k[W * G];
    double xs[W * G];
    locate_lanes<V, G>(e, t, k, xs);
    V x[G], previous[G], current[G], sum[G];
    for (std::size_t g = 0; g < G; ++g) {
        x[g] = load<V>(xs + g * W);
        sum[g] = -0.0 + 1.0 * gather<V>(e.coefficients, k + g * W);
    }
    if (e.degree >= 1) {
        const double* column = e.coefficients + e.n_t;
        for (std::size_t g = 0; g < G; ++g) {
            previous[g] = splat<V>(1.0);
            current[g] = x[g];
            sum[g] = sum[g] + x[g] * gather<V>(column, k + g * W);
        }
        for (std::uint64_t j = 1; j < e.degree; ++j) {
            const RecurrenceStep step = recurrence_step(j);
            column += e.n_t;
            for (std::size_t g = 0; g < G; ++g) {
                const V next = step.next(x[g], current[g], previous[g]);
                previous[g] = current[g];
                current[g] = next;
                sum[g] = sum[g] + next * gather<V>(column, k + g * W);
            }
        }
    }
    for (std::size_t g = 0; g < G; ++g) store(sum[g], out + g * W);
}

// The slope, S = sum of P'_i(x) c_i, then (S + S) / h, with the slopes of the modes in one of
// the two forms (slope_in_closed_form), the same for every lane: the caller sorts the times
// by form first, so that no lane computes the form it does not use.
enum class SlopeForm : std::uint8_t { kClosed, kRecurrence };

template <class V, std::size_t G, SlopeForm form>
[[gnu::always_inline]] inline void slope_lanes(const ExpansionView& e, const double* xs,
                                               const std::uint64_t* k, double* out) {
    constexpr std::size_t W = kWidth<V>;
    V x[G], previous[G], current[G], d_previous[G], d_current[G], denominator[G], sum[G];
    for (std::size_t g = 0; g < G; ++g) {
        x[g] = load<V>(xs + g * W);
        sum[g] = -0.0 + 0.0 * gather<V>(e.coefficients, k + g * W);
    }
    if (e.degree >= 1) {
        const double* column = e.coefficients + e.n_t;
        for (std::size_t g = 0; g < G; ++g) {
            sum[g] = sum[g] + 1.0 * gather<V>(column, k + g * W);
            previous[g] = splat<V>(1.0);
            current[g] = x[g];
            if constexpr (form == SlopeForm::kClosed) {
                denominator[g] = (x[g] * x[g] - 1.0) + kDerivativeEpsilon;
            } else {
                d_previous[g] = splat<V>(0.0);
                d_current[g] = splat<V>(1.0);
            }
        }
        for (std::uint64_t j = 1; j < e.degree; ++j) {
            const RecurrenceStep step = recurrence_step(j);
            column += e.n_t;
            for (std::size_t g = 0; g < G; ++g) {
                const V next = step.next(x[g], current[g], previous[g]);
                V slope;
                if constexpr (form == SlopeForm::kClosed) {
                    slope = step.closed_slope(x[g], next, current[g], denominator[g]);
                } else {
                    slope = step.next_slope(d_previous[g], current[g]);
                    d_previous[g] = d_current[g];
                    d_current[g] = slope;
                }
                previous[g] = current[g];
                current[g] = next;
                sum[g] = sum[g] + slope * gather<V>(column, k + g * W);
            }
        }
    }
    for (std::size_t g = 0; g < G; ++g) store((sum[g] + sum[g]) / e.h, out + g * W);
}

// Times [0, n), in groups of W * G lanes; the tail runs in padded lanes, of which only its
// own results are kept. `out` may be `t`: every group reads its times before it writes.
template <class V, std::size_t G>
[[gnu::always_inline]] inline void values_in_lanes(const ExpansionView& e, const double* t,
                                                   double* out, std::size_t n) {
    constexpr std::size_t L = kWidth<V> * G;
    std::size_t j = 0;
    for (; j + L <= n; j += L) value_lanes<V, G>(e, t + j, out + j);
    if (j < n) {
        double tail_t[L] = {};
        double tail_out[L];
        std::copy(t + j, t + n, tail_t);
        value_lanes<V, G>(e, tail_t, tail_out);
        std::copy(tail_out, tail_out + (n - j), out + j);
    }
}

// Slopes of times [0, n), block by block: each block is located first, its times sorted by
// the form of their slopes, and each form evaluated in full lanes of its own.
template <class V, std::size_t G>
[[gnu::always_inline]] inline void slopes_in_lanes(const ExpansionView& e, const double* t,
                                                   double* out, std::size_t n) {
    constexpr std::size_t L = kWidth<V> * G;
    constexpr std::size_t kBlock = L * (512 / L);
    alignas(64) std::uint64_t k[kBlock];
    alignas(64) double x[kBlock];
    std::uint16_t order[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = std::min(kBlock, n - start);
        const double* block = t + start;
        std::size_t located = 0;
        for (; located + L <= count; located += L)
            locate_lanes<V, G>(e, block + located, k + located, x + located);
        if (located < count) {
            double tail_t[L] = {};
            std::copy(block + located, block + count, tail_t);
            std::uint64_t tail_k[L];
            double tail_x[L];
            locate_lanes<V, G>(e, tail_t, tail_k, tail_x);
            std::copy(tail_k, tail_k + (count - located), k + located);
            std::copy(tail_x, tail_x + (count - located), x + located);
        }
        // Closed-form times from the front of `order`, the others from the back. Without a
        // branch: the forms of random times alternate unpredictably.
        std::size_t closed = 0;
        std::size_t other = count;
        for (std::size_t i = 0; i < count; ++i) {
            const bool in_closed_form = slope_in_closed_form(x[i]);
            order[closed] = static_cast<std::uint16_t>(i);
            order[other - 1] = static_cast<std::uint16_t>(i);
            closed += in_closed_form ? 1 : 0;
            other -= in_closed_form ? 0 : 1;
        }
        const auto run = [&]<SlopeForm form>(std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; i += L) {
                alignas(64) std::uint64_t lane_k[L];
                alignas(64) double lane_x[L];
                double lane_out[L];
                const std::size_t lanes = std::min(L, to - i);
                for (std::size_t l = 0; l < L; ++l) {
                    // Lanes past the end repeat the last time; their results are dropped.
                    const std::size_t index = order[i + std::min(l, lanes - 1)];
                    lane_k[l] = k[index];
                    lane_x[l] = x[index];
                }
                slope_lanes<V, G, form>(e, lane_x, lane_k, lane_out);
                for (std::size_t l = 0; l < lanes; ++l) out[start + order[i + l]] = lane_out[l];
            }
        };
        run.template operator()<SlopeForm::kClosed>(0, closed);
        run.template operator()<SlopeForm::kRecurrence>(closed, count);
    }
}

// The batch kernels for each instruction set. The bits are the same on every one: each lane
// is IEEE-754 arithmetic in the written order (no contraction into fused multiply-add). On
// 64-bit x86 with the GNU C library the widest vector unit the processor has is used;
// elsewhere (Arm, other C libraries) the baseline, as built, in lanes of the width of its
// registers (wider ones are taken apart through memory). More groups keep more divisions in
// flight, as far as the registers hold them.
template <class V, std::size_t G>
struct Lanes {
    static void values(const ExpansionView& e, const double* t, double* out, std::size_t n) {
        values_in_lanes<V, G>(e, t, out, n);
    }
    static void slopes(const ExpansionView& e, const double* t, double* out, std::size_t n) {
        slopes_in_lanes<V, G>(e, t, out, n);
    }
};

#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define TAVO_X86_DISPATCH 1
// Measured on an AVX-512 machine: 512-bit vectors do not pay (a division costs the same per
// double on every width), but the 32 registers do, holding four groups of 256-bit lanes.
#define TAVO_AVX512 gnu::target("avx512f,avx512dq,avx512vl,avx512bw")
[[TAVO_AVX512]] void values_avx512(const ExpansionView& e, const double* t, double* out,
                                   std::size_t n) {
    values_in_lanes<Vec4, 4>(e, t, out, n);
}
[[TAVO_AVX512]] void slopes_avx512(const ExpansionView& e, const double* t, double* out,
                                   std::size_t n) {
    slopes_in_lanes<Vec4, 4>(e, t, out, n);
}
[[gnu::target("avx2")]] void values_avx2(const ExpansionView& e, const double* t, double* out,
                                         std::size_t n) {
    values_in_lanes<Vec4, 4>(e, t, out, n);
}
[[gnu::target("avx2")]] void slopes_avx2(const ExpansionView& e, const double* t, double* out,
                                         std::size_t n) {
    slopes_in_lanes<Vec4, 3>(e, t, out, n);
}
#endif

std::vector<BatchKernels> find_batch_kernels() {
    std::vector<BatchKernels> found;
#if defined(TAVO_X86_DISPATCH)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
        found.push_back({"avx512", values_avx512, slopes_avx512});
    if (__builtin_cpu_supports("avx2")) found.push_back({"avx2", values_avx2, slopes_avx2});
#endif
    found.push_back({"baseline", Lanes<Vec2, 4>::values, Lanes<Vec2, 4>::slopes});
    return found;
}

// From 2^52 intervals on the vector form of the interval search would not find k exactly; no
// mesh that large has coefficients, but the single-time form serves it all the same.
constexpr std::uint64_t kMaxVectorIntervals = std::uint64_t{1} << 52;

}  // namespace

// A single time's floor(t / h) is one instruction from SSE4.1 on, where the baseline takes it
// through the integer registers, on the path to every result; the bits are the same.
#if defined(TAVO_X86_DISPATCH)
#define TAVO_SINGLE_TIME gnu::target_clones("sse4.1", "default")
#else
#define TAVO_SINGLE_TIME
#endif

[[TAVO_SINGLE_TIME]] IntervalPosition locate(const ExpansionView& e, double t) {
    IntervalPosition position;
    locate_lanes<double, 1>(e, &t, &position.k, &position.x);
    return position;
}

// A single time's sum S = sum of f_i(x) c_i over the modes of its interval, S starting at
// -0.0, with f_i the values P_i (legendre_values) or the slopes P'_i (legendre_derivatives),
// both unrolled for small degrees: the operations of value_lanes and slope_lanes, in the same
// order.
template <bool slopes>
[[gnu::always_inline]] inline double mode_sum(const ExpansionView& e, double t) {
    std::uint64_t k = 0;
    double x = 0.0;
    locate_lanes<double, 1>(e, &t, &k, &x);
    const double* row = e.coefficients + k;
    double sum = -0.0;
    const auto add = [&](std::uint64_t i, double f) { sum = sum + f * row[i * e.n_t]; };
    if constexpr (slopes) {
        legendre_derivatives(x, e.degree, add);
    } else {
        legendre_values(x, e.degree, add);
    }
    return sum;
}

[[TAVO_SINGLE_TIME]] double value_at(const ExpansionView& e, double t) {
    return mode_sum<false>(e, t);
}

[[TAVO_SINGLE_TIME]] double slope_at(const ExpansionView& e, double t) {
    const double sum = mode_sum<true>(e, t);
    if (e.inverse_h != 0.0) return (sum + sum) * e.inverse_h;
    return (sum + sum) / e.h;
}

std::span<const BatchKernels> batch_kernels() {
    static const std::vector<BatchKernels> found = find_batch_kernels();
    return found;
}

void values_at(const ExpansionView& e, const double* times, double* out, std::size_t n) {
    if (e.n_t > kMaxVectorIntervals) {
        for (std::size_t j = 0; j < n; ++j) out[j] = value_at(e, times[j]);
        return;
    }
    batch_kernels().front().values(e, times, out, n);
}

void slopes_at(const ExpansionView& e, const double* times, double* out, std::size_t n) {
    if (e.n_t > kMaxVectorIntervals) {
        for (std::size_t j = 0; j < n; ++j) out[j] = slope_at(e, times[j]);
        return;
    }
    batch_kernels().front().slopes(e, times, out, n);
}

}  // namespace tavo::kernels
