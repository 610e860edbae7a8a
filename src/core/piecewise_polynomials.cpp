#include "piecewise_polynomials.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "internal_failure.hpp"

namespace tavo {

// ---------------------------------------------------------------------------------------
// Legendre recurrences

namespace {

// Added to the denominator x*x - 1 of the closed-form derivative.
constexpr double kDerivativeEpsilon = 1e-15;

// The kernel helpers take and return vectors wider than the baseline registers; they are
// always inlined, so the calling convention for such vectors never applies. (For the whole
// file: templates are instantiated at its end.)
#pragma GCC diagnostic ignored "-Wpsabi"

// Step j of the three-term recurrence, P_(j+1) = (P_j * (x * u) - P_(j-1) * j) / w with
// u = (j + j) + 1 and w = j + 1, in exactly this operation order. Every kernel, of one time
// or of vector lanes, takes its steps from here.
struct RecurrenceStep {
    double j;
    double u;
    double w;

    explicit RecurrenceStep(std::uint64_t step)
        : j(static_cast<double>(step)), u((j + j) + 1.0), w(j + 1.0) {}

    template <class V>
    [[gnu::always_inline]] V next(const V& x, const V& current, const V& previous) const {
        return (current * (x * u) - previous * j) / w;
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

// Calls visit(i, P_i(x)) for i = 0 .. degree.
template <class Visit>
inline void legendre_values(double x, std::uint64_t degree, Visit&& visit) {
    double previous = 1.0;
    visit(std::uint64_t{0}, previous);
    if (degree == 0) return;
    double current = x;
    visit(std::uint64_t{1}, current);
    for (std::uint64_t j = 1; j < degree; ++j) {
        const double next = RecurrenceStep(j).next(x, current, previous);
        previous = current;
        current = next;
        visit(j + 1, current);
    }
}

// Calls visit(i, P'_i(x)) for i = 0 .. degree.
//
// Inside |x| <= 1/2 the closed form ((x P_n - P_(n-1)) n) / ((x^2 - 1) + eps) is well
// conditioned. Towards the interval ends numerator and denominator both vanish and the
// quotient loses every digit (at x = +-1 it is exactly 0 instead of +-n(n+1)/2), so there
// the derivative comes from P'_(j+1) = P'_(j-1) + ((j + j) + 1) P_j, which is exact at the
// ends. A NaN x takes the second branch; both give NaN from mode 2 on.
template <class Visit>
inline void legendre_derivatives(double x, std::uint64_t degree, Visit&& visit) {
    visit(std::uint64_t{0}, 0.0);
    if (degree == 0) return;
    visit(std::uint64_t{1}, 1.0);
    if (degree == 1) return;
    if (std::fabs(x) <= 0.5) {
        const double denominator = (x * x - 1.0) + kDerivativeEpsilon;
        double previous = 0.0;  // P_(n-1)
        legendre_values(x, degree, [&](std::uint64_t n, double p_n) {
            if (n >= 2) visit(n, RecurrenceStep(n - 1).closed_slope(x, p_n, previous, denominator));
            previous = p_n;
        });
    } else {
        double d_previous = 0.0;  // P'_(j-1)
        double d_current = 1.0;   // P'_j
        legendre_values(x, degree - 1, [&](std::uint64_t j, double p_j) {
            if (j == 0) return;
            const double d_next = RecurrenceStep(j).next_slope(d_previous, p_j);
            d_previous = d_current;
            d_current = d_next;
            visit(j + 1, d_next);
        });
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CoefficientMatrix

CoefficientMatrix::CoefficientMatrix(std::uint64_t rows, std::uint64_t cols)
    : values_(array_length<double>(checked_mul(rows, cols)), 0.0), rows_(rows), cols_(cols) {}

CoefficientMatrix::CoefficientMatrix(std::span<const double> values, std::uint64_t rows,
                                     std::uint64_t cols)
    : rows_(rows), cols_(cols) {
    const std::size_t n = array_length<double>(checked_mul(rows, cols));
    if (values.size() < n) fail("Matrix view: input data buffer too small.");
    values_.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
}

CoefficientMatrix::CoefficientMatrix(std::vector<double>&& values, std::uint64_t rows,
                                     std::uint64_t cols)
    : values_(std::move(values)), rows_(rows), cols_(cols) {
    assert_equal(values_.size(), checked_mul(rows, cols),
                 "CoefficientMatrix: storage length must equal rows * cols");
}

// ---------------------------------------------------------------------------------------
// LegendreBasis

std::uint64_t LegendreBasis::coefficient_count() const {
    return checked_mul(n_t_, checked_add(degree_, 1));
}

namespace {

void require_intervals(std::uint64_t n_t) {
    // With no interval there is no row to read and no sound result.
    if (n_t == 0) fail("LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)");
}

}  // namespace

double LegendreBasis::interval_length_for(const CoefficientMatrix& coefficients) const {
    require_intervals(n_t_);
    assert_equal(coefficients.rows(), n_t_, "LegendreBasis: coefficient rows must equal n_t");
    assert_equal(coefficients.cols(), checked_add(degree_, 1),
                 "LegendreBasis: coefficient columns must equal degree + 1");
    return T_ / static_cast<double>(n_t_);
}

namespace {

// The per-time kernels, written for G groups of V "lanes": V is `double` (G = 1) for a
// single time, or Vec4, four doubles, for batches of G * 4 times at once. Every lane performs
// exactly the operations of a single time in the same order, so the bits do not depend on V
// or G; running several independent times side by side hides the latency of the divisions
// and lets them use the processor's vector registers. Lanes are gathered into and out of
// small arrays, since the interval index and the coefficients are looked up lane by lane.
//
// Sums start at -0.0 and run in increasing mode order.
typedef double Vec4 __attribute__((vector_size(4 * sizeof(double))));
constexpr std::size_t kGroups = 2;
constexpr std::size_t kLanes = 4 * kGroups;

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
// The coefficients of the lanes' intervals in one column, built in registers (a round trip
// through memory would stall on store forwarding).
template <class V>
[[gnu::always_inline]] inline V gather(const double* column, const std::uint64_t* k) {
    if constexpr (std::is_same_v<V, double>) {
        return column[k[0]];
    } else {
        static_assert(kWidth<V> == 4);
        return V{column[k[0]], column[k[1]], column[k[2]], column[k[3]]};
    }
}

// where(|x| <= 1/2) a, elsewhere b (NaN lanes take b).
template <class V>
[[gnu::always_inline]] inline V pick_middle(const V& x, const V& a, const V& b) {
    if constexpr (std::is_same_v<V, double>) {
        return std::fabs(x) <= 0.5 ? a : b;
    } else {
        return ((x <= 0.5) & (x >= -0.5)) ? a : b;
    }
}

// Interval k and local coordinate x of each time, on a mesh of n_t >= 1 intervals of length
// h. The two divisions run in vector lanes, the interval index lane by lane in between.
template <class V, std::size_t G>
[[gnu::always_inline]] inline void locate_lanes(const ExpansionView& e, const double* t,
                                                std::uint64_t* k, double* xs) {
    const double h = e.h;
    const std::uint64_t n_t = e.n_t;
    constexpr std::size_t L = kWidth<V> * G;
    double q[L], shifted[L], length[L];
    for (std::size_t g = 0; g < G; ++g) store(load<V>(t + g * kWidth<V>) / h, q + g * kWidth<V>);
    for (std::size_t l = 0; l < L; ++l) {
        const double floor_q = std::floor(q[l]);
        // Saturating conversion: negative and NaN quotients land in interval 0, huge ones at
        // the top (and then in the last interval).
        std::uint64_t kl = 0;
        if (floor_q >= 18446744073709551616.0) {
            kl = UINT64_MAX;
        } else if (floor_q > 0.0) {
            kl = static_cast<std::uint64_t>(floor_q);
        }
        if (kl >= n_t) kl = n_t - 1;
        k[l] = kl;
        const double a = h * static_cast<double>(kl);
        // b is h + a, not h * (k + 1): the two differ in the last bit on some meshes.
        const double b = h + a;
        const double m = (a + b) * -0.5;
        shifted[l] = t[l] + m;
        // The divisor is b - a as computed, not h.
        length[l] = b - a;
    }
    for (std::size_t g = 0; g < G; ++g) {
        const V s = load<V>(shifted + g * kWidth<V>);
        V x = (s + s) / load<V>(length + g * kWidth<V>);
        if constexpr (std::is_same_v<V, double>) {
            if (x < -1.0) {
                x = -1.0;
            } else if (x > 1.0) {
                x = 1.0;
            }
        } else {
            const V lower = V{} - 1.0;
            const V upper = V{} + 1.0;
            x = (x < -1.0) ? lower : x;
            x = (x > 1.0) ? upper : x;
        }
        store(x, xs + g * kWidth<V>);
    }
}

template <class V, std::size_t G>
[[gnu::always_inline]] inline void value_lanes(const ExpansionView& e, const double* t,
                                               double* out) {
    constexpr std::size_t L = kWidth<V> * G;
    std::uint64_t k[L];
    double xs[L];
    locate_lanes<V, G>(e, t, k, xs);
    V x[G], previous[G], current[G], sum[G];
    for (std::size_t g = 0; g < G; ++g) {
        x[g] = load<V>(xs + g * kWidth<V>);
        sum[g] = -0.0 + 1.0 * gather<V>(e.coefficients, k + g * kWidth<V>);
    }
    if (e.degree >= 1) {
        const double* column = e.coefficients + e.n_t;
        for (std::size_t g = 0; g < G; ++g) {
            previous[g] = V{} + 1.0;
            current[g] = x[g];
            sum[g] = sum[g] + x[g] * gather<V>(column, k + g * kWidth<V>);
        }
        for (std::uint64_t j = 1; j < e.degree; ++j) {
            const RecurrenceStep step(j);
            column += e.n_t;
            for (std::size_t g = 0; g < G; ++g) {
                const V next = step.next(x[g], current[g], previous[g]);
                previous[g] = current[g];
                current[g] = next;
                sum[g] = sum[g] + next * gather<V>(column, k + g * kWidth<V>);
            }
        }
    }
    for (std::size_t g = 0; g < G; ++g) store(sum[g], out + g * kWidth<V>);
}

// The derivative of each mode by the rule of legendre_derivatives: both forms are computed
// for every lane and the lane's |x| picks one, which keeps the lanes free of branches.
template <class V, std::size_t G>
[[gnu::always_inline]] inline void derivative_lanes(const ExpansionView& e, const double* t,
                                                    double* out) {
    constexpr std::size_t L = kWidth<V> * G;
    std::uint64_t k[L];
    double xs[L];
    locate_lanes<V, G>(e, t, k, xs);
    V x[G], previous[G], current[G], d_previous[G], d_current[G], denominator[G], sum[G];
    for (std::size_t g = 0; g < G; ++g) {
        x[g] = load<V>(xs + g * kWidth<V>);
        sum[g] = -0.0 + 0.0 * gather<V>(e.coefficients, k + g * kWidth<V>);
    }
    if (e.degree >= 1) {
        const double* column = e.coefficients + e.n_t;
        for (std::size_t g = 0; g < G; ++g) {
            sum[g] = sum[g] + 1.0 * gather<V>(column, k + g * kWidth<V>);
            previous[g] = V{} + 1.0;
            current[g] = x[g];
            d_previous[g] = V{} + 0.0;
            d_current[g] = V{} + 1.0;
            denominator[g] = (x[g] * x[g] - 1.0) + kDerivativeEpsilon;
        }
        for (std::uint64_t j = 1; j < e.degree; ++j) {
            const RecurrenceStep step(j);
            column += e.n_t;
            for (std::size_t g = 0; g < G; ++g) {
                const V next = step.next(x[g], current[g], previous[g]);
                const V closed = step.closed_slope(x[g], next, current[g], denominator[g]);
                const V recurrence = step.next_slope(d_previous[g], current[g]);
                d_previous[g] = d_current[g];
                d_current[g] = recurrence;
                previous[g] = current[g];
                current[g] = next;
                const V slope = pick_middle(x[g], closed, recurrence);
                sum[g] = sum[g] + slope * gather<V>(column, k + g * kWidth<V>);
            }
        }
    }
    for (std::size_t g = 0; g < G; ++g) store((sum[g] + sum[g]) / e.h, out + g * kWidth<V>);
}

// Times [0, n) of `t`, in groups of kLanes; `out` may be `t` itself (every group reads its
// times before it writes its values).
template <bool Derivative>
[[gnu::always_inline]] inline void evaluate_range_impl(const ExpansionView& e, const double* t,
                                                       double* out, std::size_t n) {
    const auto lanes = [&](const double* lane_t, double* lane_out) {
        if constexpr (Derivative) {
            derivative_lanes<Vec4, kGroups>(e, lane_t, lane_out);
        } else {
            value_lanes<Vec4, kGroups>(e, lane_t, lane_out);
        }
    };
    std::size_t j = 0;
    for (; j + kLanes <= n; j += kLanes) lanes(t + j, out + j);
    if (j < n) {
        // The tail runs in padded lanes; only its own results are kept.
        double tail_t[kLanes] = {};
        double tail_out[kLanes];
        std::copy(t + j, t + n, tail_t);
        lanes(tail_t, tail_out);
        std::copy(tail_out, tail_out + (n - j), out + j);
    }
}

// One entry per kernel and target: on x86-64 with the GNU C library the loader picks the
// widest vector unit the processor has. The bits are the same on every target: each lane is
// IEEE-754 arithmetic in the written order (no contraction into fused multiply-add).
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define TAVO_TARGET_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TAVO_TARGET_CLONES
#endif

TAVO_TARGET_CLONES
void evaluate_value_range(const ExpansionView& e, const double* t, double* out, std::size_t n) {
    evaluate_range_impl<false>(e, t, out, n);
}

TAVO_TARGET_CLONES
void evaluate_derivative_range(const ExpansionView& e, const double* t, double* out,
                               std::size_t n) {
    evaluate_range_impl<true>(e, t, out, n);
}

// Times per chunk of a batch: enough that handing out a chunk costs little against its
// evaluation, few enough that the threads share out the batch evenly and the first values
// are ready soon. A multiple of the kernels' lane count.
constexpr std::size_t kChunkTimes = 4096;
static_assert(kChunkTimes % kLanes == 0);

}  // namespace

IntervalPosition LegendreBasis::locate_interval(double t) const {
    require_intervals(n_t_);
    IntervalPosition position;
    const ExpansionView mesh{T_ / static_cast<double>(n_t_), n_t_, degree_, nullptr};
    locate_lanes<double, 1>(mesh, &t, &position.k, &position.x);
    return position;
}

ExpansionView LegendreBasis::view(const CoefficientMatrix& coefficients) const {
    return {interval_length_for(coefficients), n_t_, degree_, coefficients.values().data()};
}

double LegendreBasis::evaluate(const CoefficientMatrix& coefficients, double t) const {
    double value = 0.0;
    value_lanes<double, 1>(view(coefficients), &t, &value);
    return value;
}

double LegendreBasis::evaluate_derivative(const CoefficientMatrix& coefficients, double t) const {
    double value = 0.0;
    derivative_lanes<double, 1>(view(coefficients), &t, &value);
    return value;
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    const auto [k, x] = locate_interval(t);
    std::vector<double> values(array_length<double>(coefficient_count()), 0.0);
    legendre_values(x, degree_, [&](std::uint64_t i, double p) { values[i * n_t_ + k] = p; });
    return values;
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    const auto [k, x] = locate_interval(t);
    const double h = T_ / static_cast<double>(n_t_);
    std::vector<double> values(array_length<double>(coefficient_count()), 0.0);
    // Each entry is doubled and divided by h on its own (evaluate_derivative does so once,
    // on the sum).
    legendre_derivatives(x, degree_,
                         [&](std::uint64_t i, double dp) { values[i * n_t_ + k] = (dp + dp) / h; });
    return values;
}

namespace {

std::vector<double> evaluate_batch(const LegendreBasis& basis,
                                   const CoefficientMatrix& coefficients,
                                   BatchEvaluation::Quantity quantity,
                                   std::span<const double> times) {
    BatchEvaluation batch(basis, coefficients, quantity, times.size());
    std::copy(times.begin(), times.end(), batch.times().begin());
    batch.start();
    std::vector<double> result;
    result.reserve(times.size());
    for (std::size_t chunk = 0; chunk < batch.chunk_count(); ++chunk) {
        batch.work_until_done(chunk);
        const std::span<const double> values = batch.values(chunk);
        result.insert(result.end(), values.begin(), values.end());
    }
    return result;
}

}  // namespace

std::vector<double> LegendreBasis::evaluate_many(const CoefficientMatrix& coefficients,
                                                 std::span<const double> times) const {
    return evaluate_batch(*this, coefficients, BatchEvaluation::Quantity::kValue, times);
}

std::vector<double> LegendreBasis::evaluate_derivative_many(const CoefficientMatrix& coefficients,
                                                            std::span<const double> times) const {
    return evaluate_batch(*this, coefficients, BatchEvaluation::Quantity::kDerivative, times);
}

// ---------------------------------------------------------------------------------------
// Batches

BatchEvaluation::BatchEvaluation(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                                 Quantity quantity, std::size_t n)
    : storage_(array_length<double>(n)),
      work_(n, kChunkTimes,
            [e = basis.view(coefficients), items = storage_.items().data(), quantity](
                std::size_t begin, std::size_t end) {
                double* chunk = items + begin;
                if (quantity == Quantity::kValue) {
                    evaluate_value_range(e, chunk, chunk, end - begin);
                } else {
                    evaluate_derivative_range(e, chunk, chunk, end - begin);
                }
            }) {}

void BatchEvaluation::start() {
    if (storage_.items().size() >= SERIAL_BATCH_LIMIT) work_.share_with_workers();
}

std::span<const double> BatchEvaluation::values(std::size_t chunk) const {
    return storage_.items().subspan(work_.chunk_begin(chunk),
                                    work_.chunk_end(chunk) - work_.chunk_begin(chunk));
}

// ---------------------------------------------------------------------------------------
// Lagrange nodes

std::vector<double> equispaced_nodes(double a, double b, std::uint64_t n) {
    std::vector<double> nodes(array_length<double>(checked_add(n, 1)));
    const double nd = static_cast<double>(n);
    for (std::uint64_t j = 0; j <= n; ++j) {
        // a + ((b - a) * j) / n, not a + (b - a) * (j / n): the two differ in the last bit.
        nodes[j] = a + ((b - a) * static_cast<double>(j)) / nd;
    }
    return nodes;
}

std::vector<double> barycentric_weights(std::span<const double> nodes) {
    std::vector<double> weights(nodes.size());
    for (std::size_t l = 0; l < nodes.size(); ++l) {
        double p = 1.0;
        for (std::size_t m = 0; m < nodes.size(); ++m) {
            if (m != l) p = p * (nodes[l] - nodes[m]);
        }
        weights[l] = 1.0 / p;
    }
    return weights;
}

void lagrange_basis_values(double xi, std::span<const double> nodes,
                           std::span<const double> weights, std::span<double> values) {
    // Absolute tolerance in reference coordinates; it also keeps the barycentric form
    // below from ever dividing by an exact zero difference.
    constexpr double kSnapTolerance = 1e-14;
    for (std::size_t l = 0; l < nodes.size(); ++l) {
        if (std::fabs(xi - nodes[l]) < kSnapTolerance) {
            values[l] = 1.0;
            return;
        }
    }
    double sum = 0.0;
    for (std::size_t l = 0; l < nodes.size(); ++l) {
        values[l] = weights[l] / (xi - nodes[l]);
        sum = sum + values[l];
    }
    for (std::size_t l = 0; l < nodes.size(); ++l) values[l] = values[l] / sum;
}

LagrangeBasis::LagrangeBasis(std::uint64_t degree, std::uint64_t n_t, double T)
    : degree_(degree), n_t_(n_t) {
    points_.reserve(array_length<double>(checked_add(checked_mul(n_t, degree), 1)));
    if (n_t > 0 && degree > 0) {
        const double h = T / static_cast<double>(n_t);
        const double nd = static_cast<double>(degree);
        for (std::uint64_t k = 0; k < n_t; ++k) {
            const double start = h * static_cast<double>(k);
            // The right end is h + h*k, not (k + 1) * h.
            const double end = h + h * static_cast<double>(k);
            // The interval's own right end is dropped: it is the next interval's left end
            // (computed as that interval's start), or T itself.
            for (std::uint64_t j = 0; j < degree; ++j) {
                points_.push_back(start + ((end - start) * static_cast<double>(j)) / nd);
            }
        }
    }
    points_.push_back(T);
}

// ---------------------------------------------------------------------------------------
// Prolongation

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::uint64_t nt_fine) const {
    const std::uint64_t d = degree_;
    const std::uint64_t n_coarse = n_t_;
    if (d < 1) fail("Lagrange prolongation requires polynomial degree at least 1");
    if (n_coarse < 1) fail("Lagrange prolongation requires at least one coarse interval");
    if (nt_fine < 1) fail("Lagrange prolongation requires at least one fine interval");

    const std::uint64_t last_fine = checked_mul(nt_fine, d);
    CoordinateMatrix coo(checked_add(last_fine, 1), checked_add(checked_mul(n_coarse, d), 1));
    // Every row gets at least one entry; reserving that much first also refuses an
    // impossible row count before any other work.
    coo.reserve(last_fine + 1);

    const std::vector<double> nodes = equispaced_nodes(-1.0, 1.0, d);
    const std::vector<double> weights = barycentric_weights(nodes);
    std::vector<double> values(nodes.size(), 0.0);

    const double N = static_cast<double>(last_fine);
    const double coarse = static_cast<double>(n_coarse);
    for (std::uint64_t i = 0; i <= last_fine; ++i) {
        // Division first, then the multiplication.
        const double x = (static_cast<double>(i) / N) * coarse;
        std::uint64_t k = static_cast<std::uint64_t>(x);
        if (k >= n_coarse) k = n_coarse - 1;
        std::fill(values.begin(), values.end(), 0.0);
        const double delta = x - static_cast<double>(k);
        const double xi = (delta + delta) + (-1.0);
        lagrange_basis_values(xi, nodes, weights, values);
        for (std::uint64_t l = 0; l <= d; ++l) {
            if (values[l] != 0.0) coo.push(i, k * d + l, values[l]);
        }
    }
    return coo.to_csr();
}

// ---------------------------------------------------------------------------------------
// Lagrange to Legendre

namespace {

// W = V^-1 with V[j][i] = P_j(xi_i): W(i, a) is the weight of local node i in the Legendre
// coefficient of degree a.
Eigen::MatrixXd local_transformation(std::uint64_t p) {
    if (p == 0) fail("Lagrange to Legendre conversion not meaningful for degree 0");
    if (p == 1) {
        Eigen::MatrixXd w(2, 2);
        w << 0.5, -0.5,  //
            0.5, 0.5;
        return w;
    }
    if (p == 2) {
        Eigen::MatrixXd w(3, 3);
        w << 1.0 / 6.0, -0.5, 1.0 / 3.0,  //
            2.0 / 3.0, 0.0, -2.0 / 3.0,   //
            1.0 / 6.0, 0.5, 1.0 / 3.0;
        return w;
    }
    const std::uint64_t size = checked_add(p, 1);
    array_length<double>(checked_mul(size, size));
    const std::vector<double> nodes = equispaced_nodes(-1.0, 1.0, p);
    const auto n = static_cast<Eigen::Index>(size);
    Eigen::MatrixXd v(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        legendre_values(nodes[static_cast<std::size_t>(i)], p, [&](std::uint64_t j, double value) {
            v(static_cast<Eigen::Index>(j), i) = value;
        });
    }
    constexpr const char* kSingular =
        "Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.";
    if (p == 3) {
        // Closed-form 4 x 4 inverse; only an exactly zero determinant refuses.
        const Eigen::Matrix4d v4 = v;
        Eigen::Matrix4d w4;
        bool invertible = false;
        v4.computeInverseWithCheck(w4, invertible, 0.0);
        if (!invertible) fail(kSingular);
        return w4;
    }
    const Eigen::PartialPivLU<Eigen::MatrixXd> lu(v);
    // Eigen inverts a singular matrix without complaint: refuse an exactly zero pivot.
    if ((lu.matrixLU().diagonal().array() == 0.0).any()) fail(kSingular);
    return lu.inverse();
}

CsrMatrix per_degree_matrix(const Eigen::MatrixXd& w, std::uint64_t a, std::uint64_t p,
                            std::uint64_t n_t, std::uint64_t node_count) {
    CoordinateMatrix coo(n_t, node_count);
    coo.reserve(checked_mul(n_t, checked_add(p, 1)));
    const auto column = static_cast<Eigen::Index>(a);
    for (std::uint64_t k = 0; k < n_t; ++k) {
        for (std::uint64_t i = 0; i <= p; ++i) {
            coo.push(k, k * p + i, w(static_cast<Eigen::Index>(i), column));
        }
    }
    return coo.to_csr();
}

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::uint64_t a) const {
    const Eigen::MatrixXd w = local_transformation(degree_);
    check_index(a, degree_ + 1);
    return per_degree_matrix(w, a, degree_, n_t_, points_.size());
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
    // One local matrix serves every degree: it depends on the degree of the basis alone.
    const Eigen::MatrixXd w = local_transformation(degree_);
    checked_mul(checked_mul(degree_ + 1, degree_ + 1), n_t_);
    std::vector<CsrMatrix> per_degree;
    per_degree.reserve(degree_ + 1);
    for (std::uint64_t a = 0; a <= degree_; ++a) {
        per_degree.push_back(per_degree_matrix(w, a, degree_, n_t_, points_.size()));
    }
    const BlockGrid grid = BlockGrid::from_fn(
        per_degree.size(), 1,
        [&](std::size_t a, std::size_t) -> const CsrMatrix& { return per_degree[a]; });
    return csr_block_from_ndarray(grid);
}

}  // namespace tavo
