#include "lagrange_basis.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "internal_failure.hpp"
#include "legendre_kernels.hpp"

namespace tavo {

// ---------------------------------------------------------------------------------------
// Lagrange nodes

namespace {

// Stops are looked at about every 2^16 nodes or basis values: a few hundred microseconds.
constexpr std::uint64_t kWorkBetweenStops = std::uint64_t{1} << 16;
constexpr std::uint64_t kIntervalsBetweenStops = 4096;

}  // namespace

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

LagrangeBasis::LagrangeBasis(std::uint64_t degree, std::uint64_t n_t, double T,
                             const std::stop_token& stop)
    : degree_(degree), n_t_(n_t) {
    points_.reserve(array_length<double>(checked_add(checked_mul(n_t, degree), 1)));
    if (n_t > 0 && degree > 0) {
        const double h = T / static_cast<double>(n_t);
        const double nd = static_cast<double>(degree);
        for (std::uint64_t k = 0; k < n_t; ++k) {
            if (k % kIntervalsBetweenStops == 0) leave_if_stopped(stop);
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

Triplets LagrangeBasis::prolongation_triplets(std::uint64_t nt_fine,
                                              const std::stop_token& stop) const {
    const std::uint64_t d = degree_;
    const std::uint64_t n_coarse = n_t_;
    if (d < 1) fail("Lagrange prolongation requires polynomial degree at least 1");
    if (n_coarse < 1) fail("Lagrange prolongation requires at least one coarse interval");
    if (nt_fine < 1) fail("Lagrange prolongation requires at least one fine interval");

    const std::uint64_t last_fine = checked_mul(nt_fine, d);
    checked_add(checked_mul(n_coarse, d), 1);  // the column count
    // Every row gets at least one entry; reserving that much first also refuses an
    // impossible row count before any other work.
    Triplets triplets;
    triplets.reserve(checked_add(last_fine, 1));

    const std::vector<double> nodes = equispaced_nodes(-1.0, 1.0, d);
    const std::vector<double> weights = barycentric_weights(nodes);
    std::vector<double> values(nodes.size(), 0.0);

    const double N = static_cast<double>(last_fine);
    const double coarse = static_cast<double>(n_coarse);
    // A row costs O(d): of high degree every row is a stop.
    const std::uint64_t rows_between_stops =
        std::max<std::uint64_t>(1, kWorkBetweenStops / (d + 1));
    for (std::uint64_t i = 0; i <= last_fine; ++i) {
        if (i % rows_between_stops == 0) leave_if_stopped(stop);
        // Division first, then the multiplication.
        const double x = (static_cast<double>(i) / N) * coarse;
        std::uint64_t k = static_cast<std::uint64_t>(x);
        if (k >= n_coarse) k = n_coarse - 1;
        std::fill(values.begin(), values.end(), 0.0);
        const double delta = x - static_cast<double>(k);
        const double xi = (delta + delta) + (-1.0);
        lagrange_basis_values(xi, nodes, weights, values);
        for (std::uint64_t l = 0; l <= d; ++l) {
            if (values[l] != 0.0) triplets.push(i, k * d + l, values[l]);
        }
    }
    return triplets;
}

// The entries go in row by row, each row's in ascending columns, and no position twice:
// the CSR form holds exactly them, in that order.
CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::uint64_t nt_fine) const {
    const Triplets triplets = prolongation_triplets(nt_fine);
    CoordinateMatrix coo(checked_add(checked_mul(nt_fine, degree_), 1),
                         checked_add(checked_mul(n_t_, degree_), 1));
    coo.reserve(triplets.values.size());
    for (std::size_t e = 0; e < triplets.values.size(); ++e)
        coo.push(triplets.rows[e], triplets.cols[e], triplets.values[e]);
    return coo.to_csr();
}

// ---------------------------------------------------------------------------------------
// Lagrange to Legendre

namespace {

// W = V^-1 with V[j][i] = P_j(xi_i): W(i, a) is the weight of local node i in the Legendre
// coefficient of degree a.
Eigen::MatrixXd local_transformation(std::uint64_t p, const std::stop_token& stop = {}) {
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
        kernels::legendre_values(
            nodes[static_cast<std::size_t>(i)], p,
            [&](std::uint64_t j, double value) { v(static_cast<Eigen::Index>(j), i) = value; });
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
    // The factorisation and the inversion cannot stop inside: each is one O(p^3) step.
    leave_if_stopped(stop);
    const Eigen::PartialPivLU<Eigen::MatrixXd> lu(v);
    // Eigen inverts a singular matrix without complaint: refuse an exactly zero pivot.
    if ((lu.matrixLU().diagonal().array() == 0.0).any()) fail(kSingular);
    leave_if_stopped(stop);
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

TransformationEntries LagrangeBasis::transformation_entries(const std::stop_token& stop) const {
    const Eigen::MatrixXd w = local_transformation(degree_, stop);
    const std::uint64_t p = degree_;
    TransformationEntries entries{p, n_t_, {}, checked_mul(checked_mul(p + 1, p + 1), n_t_)};
    entries.weights.reserve((p + 1) * (p + 1));
    for (std::uint64_t i = 0; i <= p; ++i) {
        for (std::uint64_t a = 0; a <= p; ++a)
            entries.weights.push_back(
                w(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(a)));
    }
    return entries;
}

Triplets LagrangeBasis::transformation_triplets() const {
    const TransformationEntries entries = transformation_entries();
    Triplets triplets;
    triplets.reserve(entries.count);
    entries.for_each([&](std::uint64_t row, std::uint64_t col, std::size_t weight) {
        triplets.push(row, col, entries.weights[weight]);
    });
    return triplets;
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
