// Piecewise polynomials on the time mesh (degree, n_t, T): [0, T] split into n_t intervals
// of length h = T / n_t, each carrying polynomials up to `degree`.
//
// Modal description: LegendreBasis. Basis function (i, k) is P_i mapped onto interval k;
// its global index is i * n_t + k (all mode-0 functions first).
// Nodal description: LagrangeBasis. Local node l of interval k has global index
// k * degree + l; neighbouring intervals share their common end node.
//
// Every result is specified to the bit; the .cpp spells out the operation order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "legendre_kernels.hpp"
#include "sparse_matrix_tools.hpp"
#include "worker_pool.hpp"

namespace tavo {

// Batches with fewer times are evaluated on the calling thread.
inline constexpr std::size_t SERIAL_BATCH_LIMIT = 2048;

// n_t x (degree + 1) coefficients stored column by column, so that the storage is the flat
// coefficient vector in global numbering: element (k, i) is values[k + i * n_t].
class CoefficientMatrix {
public:
    // All zeros.
    CoefficientMatrix(std::uint64_t rows, std::uint64_t cols);
    // The first rows * cols values, in order; `values` must hold at least that many.
    CoefficientMatrix(std::span<const double> values, std::uint64_t rows, std::uint64_t cols);
    // Takes over `values`, which must hold exactly rows * cols values.
    CoefficientMatrix(std::vector<double>&& values, std::uint64_t rows, std::uint64_t cols);

    double operator()(std::uint64_t row, std::uint64_t col) const {
        return values_[row + col * rows_];
    }
    std::uint64_t rows() const { return rows_; }
    std::uint64_t cols() const { return cols_; }
    std::span<const double> values() const { return values_; }

private:
    std::vector<double> values_;
    std::uint64_t rows_;
    std::uint64_t cols_;
};

// All basis functions (or their slopes) at one time: zero outside the interval of the time,
// where the one of mode i takes values[i]. In the vector of all of them (global numbering)
// that is entry i * stride + interval.
struct ActiveBasisFunctions {
    std::size_t size;        // (degree + 1) * n_t
    std::uint64_t interval;  // k
    std::uint64_t stride;    // n_t
    std::vector<double> values;

    // The vector of all of them.
    std::vector<double> expanded() const;
};

class LegendreBasis {
public:
    LegendreBasis(std::uint64_t degree, std::uint64_t n_t, double T)
        : degree_(degree), n_t_(n_t), T_(T) {}

    std::uint64_t degree() const { return degree_; }
    std::uint64_t n_t() const { return n_t_; }
    double T() const { return T_; }

    // n_t * (degree + 1), the length of a flat coefficient vector.
    std::uint64_t coefficient_count() const;

    IntervalPosition locate_interval(double t) const;

    double evaluate(const CoefficientMatrix& coefficients, double t) const;
    double evaluate_derivative(const CoefficientMatrix& coefficients, double t) const;
    std::vector<double> evaluate_all_basis_functions(double t) const;
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;
    // The same, by their nonzero part alone.
    ActiveBasisFunctions basis_functions_at(double t) const;
    ActiveBasisFunctions basis_function_derivatives_at(double t) const;

    // Entry j is evaluate / evaluate_derivative at times[j], bit for bit. From
    // SERIAL_BATCH_LIMIT times on the work is spread over the process-wide worker pool.
    std::vector<double> evaluate_many(const CoefficientMatrix& coefficients,
                                      std::span<const double> times) const;
    std::vector<double> evaluate_derivative_many(const CoefficientMatrix& coefficients,
                                                 std::span<const double> times) const;

    // The kernels' view of this mesh and `coefficients`, after checking that there is an
    // interval and that the coefficients have n_t rows and degree + 1 columns.
    ExpansionView view(const CoefficientMatrix& coefficients) const;

private:
    double interval_length_for(const CoefficientMatrix& coefficients) const;
    ActiveBasisFunctions active_basis_functions(double t, bool derivatives) const;

    std::uint64_t degree_;
    std::uint64_t n_t_;
    double T_;
};

// One batch evaluated in place: the times go into storage kept between batches, and every
// chunk of them is overwritten with its values (entry j is the single-time method's result
// at time j, bit for bit) by the pool's workers or by the thread that takes the chunks in
// order, which does chunks itself whenever the one it needs is not done yet.
class BatchEvaluation {
public:
    enum class Quantity : std::uint8_t { kValue, kDerivative };

    // Checks mesh and coefficients as the single-time methods do. The basis and the
    // coefficients must stay unchanged until this is destroyed. From SERIAL_BATCH_LIMIT times
    // on the chunks are offered to the worker pool at once, so that its workers wake while
    // the caller writes the times.
    BatchEvaluation(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                    Quantity quantity, std::size_t n);

    // The times, written by the caller before start().
    std::span<double> times() const { return storage_.items(); }
    // The times are written: the evaluation begins.
    void start() { work_.open(); }

    std::size_t chunk_count() const { return work_.chunk_count(); }
    bool done(std::size_t chunk) const noexcept { return work_.done(chunk); }
    void work_until_done(std::size_t chunk) { work_.work_until_done(chunk); }
    // The values of a chunk that is done.
    std::span<const double> values(std::size_t chunk) const;

private:
    BatchStorage storage_;
    // After the storage: destroyed first, so no worker writes to storage given back.
    ChunkedWork work_;
};

// n + 1 doubles, element j = a + ((b - a) * j) / n.
std::vector<double> equispaced_nodes(double a, double b, std::uint64_t n);

// w_l = 1 / prod_{m != l} (nodes[l] - nodes[m]), the product taken in increasing m.
std::vector<double> barycentric_weights(std::span<const double> nodes);

// values[l] = l-th Lagrange polynomial of `nodes` at xi. A xi within 1e-14 of a node gives
// exactly 1.0 there and 0.0 elsewhere; otherwise the barycentric form.
void lagrange_basis_values(double xi, std::span<const double> nodes,
                           std::span<const double> weights, std::span<double> values);

// The stored entries of the Lagrange-to-Legendre transformation, (p + 1)^2 per interval,
// from the local weights W (W(i, a) at weights[i * (p + 1) + a]): row a * n_t + k is the
// coefficient of degree a on interval k, and its entries are the weights of the interval's
// nodes k * p + i, in ascending columns, as the per-degree blocks stacked in ascending a give
// them.
struct TransformationEntries {
    std::uint64_t degree;
    std::uint64_t n_t;
    std::vector<double> weights;
    std::uint64_t count;  // (degree + 1)^2 * n_t

    std::uint64_t column_count() const { return n_t * degree + 1; }

    // visit(row, column, index into weights) for every entry, in row-major order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        const std::uint64_t p = degree;
        for (std::uint64_t a = 0; a <= p; ++a) {
            for (std::uint64_t k = 0; k < n_t; ++k) {
                for (std::uint64_t i = 0; i <= p; ++i)
                    visit(a * n_t + k, k * p + i, i * (p + 1) + a);
            }
        }
    }
};

class LagrangeBasis {
public:
    LagrangeBasis(std::uint64_t degree, std::uint64_t n_t, double T);

    std::uint64_t degree() const { return degree_; }
    std::uint64_t n_t() const { return n_t_; }
    // n_t * degree + 1 nodes in global numbering; the last one is T itself.
    std::span<const double> points() const { return points_; }

    // Rows: nodes of a mesh of nt_fine intervals of the same degree; columns: this basis's
    // nodes. Row i holds this basis's functions evaluated at fine node i.
    CsrMatrix get_prolongation_matrix_to(std::uint64_t nt_fine) const;
    // Its stored entries in row-major order, made directly (what csr_to_triplets of it gives).
    Triplets prolongation_triplets(std::uint64_t nt_fine) const;

    // (degree + 1) * n_t rows in Legendre global numbering, one column per node.
    CsrMatrix get_transormation_matrix_to_legendre() const;
    // Its stored entries in row-major order, made directly (what csr_to_triplets of it gives,
    // stored zeros included), as a pattern and as triplets.
    TransformationEntries transformation_entries() const;
    Triplets transformation_triplets() const;
    // The rows of Legendre degree a alone: n_t rows, one column per node.
    CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::uint64_t a) const;

private:
    std::vector<double> points_;
    std::uint64_t degree_;
    std::uint64_t n_t_;
};

}  // namespace tavo
