// The nodal description of continuous piecewise polynomials: the Lagrange nodes of the mesh,
// the coarse-to-fine prolongation between two meshes and the transformation to Legendre
// coefficients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "sparse_matrix_tools.hpp"
#include "stopping.hpp"

namespace tavo {

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

// The loops that can run long (the nodes, the prolongation's rows, the factorisation) leave
// with WorkStopped once `stop` is requested.
class LagrangeBasis {
public:
    LagrangeBasis(std::uint64_t degree, std::uint64_t n_t, double T,
                  const std::stop_token& stop = {});

    std::uint64_t degree() const { return degree_; }
    std::uint64_t n_t() const { return n_t_; }
    // n_t * degree + 1 nodes in global numbering; the last one is T itself.
    std::span<const double> points() const { return points_; }

    // Rows: nodes of a mesh of nt_fine intervals of the same degree; columns: this basis's
    // nodes. Row i holds this basis's functions evaluated at fine node i.
    CsrMatrix get_prolongation_matrix_to(std::uint64_t nt_fine) const;
    // Its stored entries in row-major order, made directly (what csr_to_triplets of it gives).
    Triplets prolongation_triplets(std::uint64_t nt_fine, const std::stop_token& stop = {}) const;

    // (degree + 1) * n_t rows in Legendre global numbering, one column per node.
    CsrMatrix get_transormation_matrix_to_legendre() const;
    // Its stored entries in row-major order, made directly (what csr_to_triplets of it gives,
    // stored zeros included), as a pattern and as triplets.
    TransformationEntries transformation_entries(const std::stop_token& stop = {}) const;
    Triplets transformation_triplets() const;
    // The rows of Legendre degree a alone: n_t rows, one column per node.
    CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::uint64_t a) const;

private:
    std::vector<double> points_;
    std::uint64_t degree_;
    std::uint64_t n_t_;
};

}  // namespace tavo
