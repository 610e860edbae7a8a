// Lagrange nodes, barycentric interpolation, prolongation and the change to Legendre
// coefficients.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"
#include "sparse_matrix_tools.hpp"
#include "test_support.hpp"

namespace {

using tavo::CsrMatrix;
using tavo::LagrangeBasis;
using tavo_test::bit_patterns;
using tavo_test::Entry;
using tavo_test::expect_matrix;
using tavo_test::failure_message;

// y = A u for a CSR matrix.
std::vector<double> multiply(const CsrMatrix& a, const std::vector<double>& u) {
    std::vector<double> y(static_cast<std::size_t>(a.rows()), 0.0);
    for (Eigen::Index r = 0; r < a.outerSize(); ++r) {
        for (CsrMatrix::InnerIterator it(a, r); it; ++it) {
            y[static_cast<std::size_t>(r)] += it.value() * u[static_cast<std::size_t>(it.col())];
        }
    }
    return y;
}

// A polynomial of the given degree with no vanishing coefficient.
double test_polynomial(std::uint64_t degree, double t) {
    double y = 0.0;
    for (std::uint64_t j = degree + 1; j-- > 0;) y = y * t + (j % 2 == 0 ? 1.0 : -0.5) * (j + 1.0);
    return y;
}

// ---------------------------------------------------------------------------------------
// Nodes and weights

TEST(EquispacedNodes, ScaleBeforeDividing) {
    EXPECT_EQ(bit_patterns(tavo::equispaced_nodes(0.0, 0.2, 5)),
              bit_patterns(std::vector<double>{0.0, 0.04, 0.08, 0.12000000000000002, 0.16, 0.2}));
    EXPECT_EQ(
        bit_patterns(tavo::equispaced_nodes(-1.0, 1.0, 3)),
        bit_patterns(std::vector<double>{-1.0, -0.33333333333333337, 0.33333333333333326, 1.0}));
    const std::vector<double> single = tavo::equispaced_nodes(2.0, 3.0, 0);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_TRUE(std::isnan(single[0]));
}

struct WeightCase {
    std::uint64_t degree;
    std::vector<double> weights;
};

class BarycentricWeights : public testing::TestWithParam<WeightCase> {};

TEST_P(BarycentricWeights, OfReferenceNodes) {
    const std::vector<double> nodes = tavo::equispaced_nodes(-1.0, 1.0, GetParam().degree);
    EXPECT_EQ(bit_patterns(tavo::barycentric_weights(nodes)), bit_patterns(GetParam().weights));
}

INSTANTIATE_TEST_SUITE_P(Degrees, BarycentricWeights,
                         testing::Values(WeightCase{1, {-0.5, 0.5}},
                                         WeightCase{2, {0.5, -1.0, 0.5}},
                                         WeightCase{3,
                                                    {-0.5625, 1.6874999999999998,
                                                     -1.6874999999999998, 0.5624999999999999}}));

TEST(LagrangeBasisValues, SnapsOnlyStrictlyWithinTolerance) {
    const std::vector<double> nodes = tavo::equispaced_nodes(-1.0, 1.0, 2);
    const std::vector<double> weights = tavo::barycentric_weights(nodes);
    const auto values_at = [&](double xi) {
        std::vector<double> values(3, 0.0);
        tavo::lagrange_basis_values(xi, nodes, weights, values);
        return values;
    };
    EXPECT_EQ(bit_patterns(values_at(9.9e-15)), bit_patterns(std::vector<double>{0.0, 1.0, 0.0}));
    EXPECT_EQ(bit_patterns(values_at(-1.0 + 5e-15)),
              bit_patterns(std::vector<double>{1.0, 0.0, 0.0}));
    EXPECT_EQ(bit_patterns(values_at(1.0)), bit_patterns(std::vector<double>{0.0, 0.0, 1.0}));
    // At exactly the tolerance the barycentric form is used: the outer nodes get their
    // (tiny) nonzero weights instead of the exact zeros of a snap.
    const std::vector<double> near = values_at(1e-14);
    EXPECT_NE(near[0], 0.0);
    EXPECT_NE(near[2], 0.0);
    EXPECT_NEAR(near[0], -0.5e-14, 1e-28);
    EXPECT_EQ(bit_patterns(values_at(0.5)),
              bit_patterns(std::vector<double>{-0.12499999999999999, 0.7499999999999999,
                                               0.37499999999999994}));
}

class LagrangeBasisValuesDegree : public testing::TestWithParam<std::uint64_t> {};

TEST_P(LagrangeBasisValuesDegree, PartitionOfUnityAndPolynomialReproduction) {
    const std::uint64_t d = GetParam();
    const std::vector<double> nodes = tavo::equispaced_nodes(-1.0, 1.0, d);
    const std::vector<double> weights = tavo::barycentric_weights(nodes);
    std::vector<double> values(d + 1);
    for (double xi = -0.995; xi < 1.0; xi += 0.0371) {
        std::fill(values.begin(), values.end(), 0.0);
        tavo::lagrange_basis_values(xi, nodes, weights, values);
        double sum = 0.0;
        for (double v : values) sum += v;
        EXPECT_NEAR(sum, 1.0, 1e-13) << xi;
        for (std::uint64_t m = 1; m <= d; ++m) {
            double interpolated = 0.0;
            for (std::uint64_t l = 0; l <= d; ++l)
                interpolated += values[l] * std::pow(nodes[l], m);
            EXPECT_NEAR(interpolated, std::pow(xi, m), 1e-12) << "xi = " << xi << ", power " << m;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, LagrangeBasisValuesDegree, testing::Values(1, 2, 3, 5, 8));

// ---------------------------------------------------------------------------------------
// Global nodes

TEST(LagrangeBasis, PointsFollowTheMeshArithmetic) {
    EXPECT_EQ(bit_patterns(LagrangeBasis(2, 2, 1.0).points()),
              bit_patterns(std::vector<double>{0.0, 0.25, 0.5, 0.75, 1.0}));
    // Shared nodes are the left end h * k of the later interval.
    EXPECT_EQ(LagrangeBasis(1, 10, 1.0).points()[6], 0.6000000000000001);
    // The last node is T, not h + h * (n_t - 1).
    EXPECT_EQ(LagrangeBasis(1, 6, 1.0).points().back(), 1.0);
    EXPECT_EQ(LagrangeBasis(5, 5, 1.0).points()[1], 0.04);
    // Interior nodes come from the end h + h * k, which is not h * 6 on the last interval.
    EXPECT_EQ(LagrangeBasis(2, 6, 1.0).points()[11], 0.9166666666666665);
    EXPECT_EQ(LagrangeBasis(3, 4, 2.0).points()[7], 1.1666666666666667);
    EXPECT_EQ(LagrangeBasis(3, 4, 2.0).points().size(), 13u);
    EXPECT_EQ(bit_patterns(LagrangeBasis(1, 2, -1.0).points()),
              bit_patterns(std::vector<double>{-0.0, -0.5, -1.0}));
    EXPECT_EQ(bit_patterns(LagrangeBasis(0, 3, 1.0).points()),
              bit_patterns(std::vector<double>{1.0}));
    EXPECT_EQ(bit_patterns(LagrangeBasis(3, 0, 2.0).points()),
              bit_patterns(std::vector<double>{2.0}));
}

TEST(LagrangeBasis, ImpossibleNodeCounts) {
    EXPECT_EQ(
        failure_message([] { LagrangeBasis(std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1.0); }),
        "capacity overflow");
    EXPECT_EQ(failure_message([] { LagrangeBasis(1, UINT64_MAX, 1.0); }), "capacity overflow");
    EXPECT_EQ(failure_message([] { LagrangeBasis(1, std::uint64_t{1} << 61, 1.0); }),
              "capacity overflow");
    EXPECT_THROW(LagrangeBasis(1, std::uint64_t{1} << 59, 1.0), std::bad_alloc);
}

// ---------------------------------------------------------------------------------------
// Prolongation

struct ProlongationFailure {
    std::uint64_t degree;
    std::uint64_t nt_coarse;
    std::uint64_t nt_fine;
    const char* message;
};

class ProlongationPrecondition : public testing::TestWithParam<ProlongationFailure> {};

TEST_P(ProlongationPrecondition, ReportsTheFirstFailedCheck) {
    const ProlongationFailure& c = GetParam();
    const LagrangeBasis basis(c.degree, c.nt_coarse, 1.0);
    EXPECT_EQ(failure_message([&] { basis.get_prolongation_matrix_to(c.nt_fine); }), c.message);
}

constexpr const char* kNoDegree = "Lagrange prolongation requires polynomial degree at least 1";
constexpr const char* kNoCoarse = "Lagrange prolongation requires at least one coarse interval";
constexpr const char* kNoFine = "Lagrange prolongation requires at least one fine interval";

INSTANTIATE_TEST_SUITE_P(
    Meshes, ProlongationPrecondition,
    testing::Values(ProlongationFailure{0, 2, 2, kNoDegree},
                    ProlongationFailure{1, 0, 2, kNoCoarse}, ProlongationFailure{1, 2, 0, kNoFine},
                    ProlongationFailure{0, 0, 0, kNoDegree},
                    ProlongationFailure{2, 0, 0, kNoCoarse},
                    // Sizes are checked only after the preconditions, then before any work.
                    ProlongationFailure{0, 1, UINT64_MAX, kNoDegree},
                    ProlongationFailure{1, 1, UINT64_MAX, "capacity overflow"},
                    ProlongationFailure{2, 1, std::uint64_t{1} << 63, "capacity overflow"},
                    ProlongationFailure{2, 1, std::uint64_t{1} << 62, "capacity overflow"}));

TEST(Prolongation, RefusedAllocationIsBadAlloc) {
    EXPECT_THROW(LagrangeBasis(1, 1, 1.0).get_prolongation_matrix_to(std::uint64_t{1} << 58),
                 std::bad_alloc);
}

TEST(Prolongation, WorkedExamples) {
    // Row 3 sits at xi = 0.5: the barycentric values, not the exact 3/8, 3/4, -1/8.
    expect_matrix(LagrangeBasis(2, 1, 1.0).get_prolongation_matrix_to(2), 5, 3,
                  {{0, 0, 1.0},
                   {1, 0, 0.375},
                   {1, 1, 0.75},
                   {1, 2, -0.125},
                   {2, 1, 1.0},
                   {3, 0, -0.12499999999999999},
                   {3, 1, 0.7499999999999999},
                   {3, 2, 0.37499999999999994},
                   {4, 2, 1.0}});
    // x = (i / N) * n_coarse, divided first: (3 / 5) * 1 is not 3 * (1 / 5).
    expect_matrix(LagrangeBasis(1, 1, 1.0).get_prolongation_matrix_to(5), 6, 2,
                  {{0, 0, 1.0},
                   {1, 0, 0.8},
                   {1, 1, 0.2},
                   {2, 0, 0.6},
                   {2, 1, 0.39999999999999997},
                   {3, 0, 0.39999999999999997},
                   {3, 1, 0.6},
                   {4, 0, 0.19999999999999998},
                   {4, 1, 0.8},
                   {5, 1, 1.0}});
    // Fewer fine than coarse intervals: the last fine node is clamped into the last interval.
    expect_matrix(LagrangeBasis(1, 3, 1.0).get_prolongation_matrix_to(2), 3, 4,
                  {{0, 0, 1.0}, {1, 1, 0.5}, {1, 2, 0.5}, {2, 3, 1.0}});
    // Fine node 15 lands at x = 14.999999999999998 and snaps to the right end of interval 14.
    std::vector<Entry> identity;
    for (std::uint64_t i = 0; i < 23; ++i) identity.push_back({i, i, 1.0});
    expect_matrix(LagrangeBasis(1, 22, 1.0).get_prolongation_matrix_to(22), 23, 23, identity);
}

struct MeshPair {
    std::uint64_t degree;
    std::uint64_t nt_coarse;
    std::uint64_t nt_fine;
};

class ProlongationProperty : public testing::TestWithParam<MeshPair> {};

TEST_P(ProlongationProperty, InterpolatesPolynomialsOfTheDegree) {
    const MeshPair& c = GetParam();
    const LagrangeBasis coarse(c.degree, c.nt_coarse, 1.0);
    const LagrangeBasis fine(c.degree, c.nt_fine, 1.0);
    const CsrMatrix p = coarse.get_prolongation_matrix_to(c.nt_fine);
    ASSERT_EQ(static_cast<std::size_t>(p.rows()), fine.points().size());
    ASSERT_EQ(static_cast<std::size_t>(p.cols()), coarse.points().size());
    std::vector<double> u;
    for (double t : coarse.points()) u.push_back(test_polynomial(c.degree, t));
    const std::vector<double> y = multiply(p, u);
    for (std::size_t i = 0; i < y.size(); ++i) {
        EXPECT_NEAR(y[i], test_polynomial(c.degree, fine.points()[i]), 1e-10) << "fine node " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Meshes, ProlongationProperty,
                         testing::Values(MeshPair{1, 3, 7}, MeshPair{2, 4, 8}, MeshPair{3, 5, 2},
                                         MeshPair{4, 3, 10}, MeshPair{6, 2, 5}, MeshPair{2, 7, 7}));

// ---------------------------------------------------------------------------------------
// Lagrange to Legendre

TEST(LagrangeToLegendre, RefusedDegrees) {
    const char* degree_zero = "Lagrange to Legendre conversion not meaningful for degree 0";
    EXPECT_EQ(
        failure_message([] { LagrangeBasis(0, 3, 1.0).get_transormation_matrix_to_legendre(); }),
        degree_zero);
    EXPECT_EQ(
        failure_message([] { LagrangeBasis(0, 0, 1.0).get_transormation_matrix_to_legendre(); }),
        degree_zero);
    // The degree-0 refusal comes before the index check.
    EXPECT_EQ(failure_message(
                  [] { LagrangeBasis(0, 2, 1.0).to_legendre_basis_matrix_for_pol_degree(4); }),
              degree_zero);
    EXPECT_EQ(failure_message(
                  [] { LagrangeBasis(2, 2, 1.0).to_legendre_basis_matrix_for_pol_degree(3); }),
              "index out of bounds: the len is 3 but the index is 3");
    EXPECT_EQ(failure_message(
                  [] { LagrangeBasis(4, 1, 1.0).to_legendre_basis_matrix_for_pol_degree(9); }),
              "index out of bounds: the len is 5 but the index is 9");
    EXPECT_EQ(failure_message([] {
                  LagrangeBasis(1, 1, 1.0).to_legendre_basis_matrix_for_pol_degree(UINT64_MAX);
              }),
              "index out of bounds: the len is 2 but the index is 18446744073709551615");
    EXPECT_EQ(
        failure_message([] {
            LagrangeBasis(std::uint64_t{1} << 33, 0, 1.0).get_transormation_matrix_to_legendre();
        }),
        "capacity overflow");
    EXPECT_EQ(failure_message([] {
                  LagrangeBasis(std::uint64_t{1} << 31, 0, 1.0)
                      .to_legendre_basis_matrix_for_pol_degree(0);
              }),
              "capacity overflow");
}

TEST(LagrangeToLegendre, WorkedExamples) {
    const double sixth = 1.0 / 6.0;
    const double third = 1.0 / 3.0;
    const double two_thirds = 2.0 / 3.0;
    // The zero weight of the middle node in the degree-1 rows stays stored.
    expect_matrix(LagrangeBasis(2, 2, 1.0).get_transormation_matrix_to_legendre(), 6, 5,
                  {{0, 0, sixth},
                   {0, 1, two_thirds},
                   {0, 2, sixth},
                   {1, 2, sixth},
                   {1, 3, two_thirds},
                   {1, 4, sixth},
                   {2, 0, -0.5},
                   {2, 1, 0.0},
                   {2, 2, 0.5},
                   {3, 2, -0.5},
                   {3, 3, 0.0},
                   {3, 4, 0.5},
                   {4, 0, third},
                   {4, 1, -two_thirds},
                   {4, 2, third},
                   {5, 2, third},
                   {5, 3, -two_thirds},
                   {5, 4, third}});
    expect_matrix(LagrangeBasis(3, 0, 1.0).get_transormation_matrix_to_legendre(), 0, 1, {});

    // Degree 3: W[i][a] against the exact rationals (rows local nodes, columns degrees).
    const double w[4][4] = {{1.0 / 8, -11.0 / 40, 3.0 / 8, -9.0 / 40},
                            {3.0 / 8, -27.0 / 40, -3.0 / 8, 27.0 / 40},
                            {3.0 / 8, 27.0 / 40, -3.0 / 8, -27.0 / 40},
                            {1.0 / 8, 11.0 / 40, 3.0 / 8, 9.0 / 40}};
    const tavo::Triplets t =
        tavo::csr_to_triplets(LagrangeBasis(3, 1, 1.0).get_transormation_matrix_to_legendre());
    ASSERT_EQ(t.values.size(), 16u);
    for (std::size_t n = 0; n < 16; ++n) {
        EXPECT_EQ(t.rows[n], n / 4);
        EXPECT_EQ(t.cols[n], n % 4);
        EXPECT_NEAR(t.values[n], w[n % 4][n / 4], 1e-15) << "entry " << n;
    }
}

// The weights of degrees 3 to 12 to the bit, as a 64-bit FNV-1a hash of their patterns in
// storage order: they come out of a dense inverse, whose rounding depends on its operation
// order, and that order must be the same on every target (Eigen's scalar code: see
// CMakeLists.txt). With Eigen's vectorised kernels, x86-64 had other bits at degree 3, and
// 64-bit Arm at every degree from 3 on.
struct PinnedWeights {
    std::uint64_t degree;
    std::uint64_t hash;
};

class TransformationWeights : public testing::TestWithParam<PinnedWeights> {};

TEST_P(TransformationWeights, SameBitsOnEveryTarget) {
    const auto [p, expected] = GetParam();
    const tavo::Triplets t =
        tavo::csr_to_triplets(LagrangeBasis(p, 1, 1.0).get_transormation_matrix_to_legendre());
    ASSERT_EQ(t.values.size(), (p + 1) * (p + 1));
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (std::uint64_t bits : bit_patterns(t.values)) {
        for (int byte = 0; byte < 8; ++byte, bits >>= 8) {
            hash = (hash ^ (bits & 0xffu)) * 0x100000001b3u;
        }
    }
    EXPECT_EQ(hash, expected) << std::hex << "0x" << hash;
}

INSTANTIATE_TEST_SUITE_P(
    Degrees, TransformationWeights,
    testing::Values(PinnedWeights{3, 0x178425752ed9c89e}, PinnedWeights{4, 0xdb5f97e416464583},
                    PinnedWeights{5, 0xb5ad0e421de157dc}, PinnedWeights{6, 0x8f37ebce3567e95b},
                    PinnedWeights{7, 0x64ba343056d3fd67}, PinnedWeights{8, 0xa9f4066d7b891cf7},
                    PinnedWeights{9, 0xee903cab0a5842f1}, PinnedWeights{10, 0x6a4489f581a121ff},
                    PinnedWeights{11, 0xb5fa1823f939266b}, PinnedWeights{12, 0x6b80052c271808e5}));

struct LegendreMesh {
    std::uint64_t degree;
    std::uint64_t n_t;
};

class LagrangeToLegendreMesh : public testing::TestWithParam<LegendreMesh> {};

TEST_P(LagrangeToLegendreMesh, StacksThePerDegreeMatrices) {
    const auto [p, n_t] = GetParam();
    const LagrangeBasis basis(p, n_t, 1.0);
    const CsrMatrix whole = basis.get_transormation_matrix_to_legendre();
    ASSERT_EQ(static_cast<std::uint64_t>(whole.rows()), (p + 1) * n_t);
    ASSERT_EQ(static_cast<std::uint64_t>(whole.cols()), n_t * p + 1);
    std::vector<Entry> stacked;
    for (std::uint64_t a = 0; a <= p; ++a) {
        const CsrMatrix block = basis.to_legendre_basis_matrix_for_pol_degree(a);
        ASSERT_EQ(static_cast<std::uint64_t>(block.rows()), n_t);
        ASSERT_EQ(static_cast<std::uint64_t>(block.cols()), n_t * p + 1);
        const tavo::Triplets t = tavo::csr_to_triplets(block);
        for (std::size_t n = 0; n < t.values.size(); ++n) {
            stacked.push_back({a * n_t + t.rows[n], t.cols[n], t.values[n]});
        }
    }
    EXPECT_EQ(stacked.size(), (p + 1) * (p + 1) * n_t);
    expect_matrix(whole, static_cast<std::int64_t>((p + 1) * n_t),
                  static_cast<std::int64_t>(n_t * p + 1), stacked);
    // The direct construction gives the same entries in the same order, bit for bit.
    const tavo::Triplets direct = basis.transformation_triplets();
    const tavo::Triplets assembled = tavo::csr_to_triplets(whole);
    EXPECT_EQ(direct.rows, assembled.rows);
    EXPECT_EQ(direct.cols, assembled.cols);
    EXPECT_EQ(bit_patterns(direct.values), bit_patterns(assembled.values));
}

TEST_P(LagrangeToLegendreMesh, CoefficientsReproduceThePolynomial) {
    const auto [p, n_t] = GetParam();
    const double T = 1.5;
    const LagrangeBasis nodal(p, n_t, T);
    std::vector<double> u;
    for (double t : nodal.points()) u.push_back(test_polynomial(p, t));
    const std::vector<double> c = multiply(nodal.get_transormation_matrix_to_legendre(), u);
    if (n_t == 0) {
        EXPECT_TRUE(c.empty());
        return;
    }
    const tavo::LegendreBasis modal(p, n_t, T);
    const tavo::CoefficientMatrix m(c, n_t, p + 1);
    for (double t = 0.0; t <= T; t += T / 37.0) {
        EXPECT_NEAR(modal.evaluate(m, t), test_polynomial(p, t), 1e-9) << "t = " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Meshes, LagrangeToLegendreMesh,
                         testing::Values(LegendreMesh{1, 1}, LegendreMesh{1, 4}, LegendreMesh{2, 3},
                                         LegendreMesh{3, 2}, LegendreMesh{4, 3}, LegendreMesh{5, 1},
                                         LegendreMesh{7, 2}, LegendreMesh{2, 0},
                                         LegendreMesh{12, 5}, LegendreMesh{3, 1000}));

// A requested stop ends each long loop with WorkStopped, and an unrequested one changes no bit.
TEST(LagrangeBasis, LongLoopsLeaveOnceStopped) {
    std::stop_source stopped;
    stopped.request_stop();
    const std::stop_token stop = stopped.get_token();
    EXPECT_THROW(LagrangeBasis(2, 5, 1.0, stop), tavo::WorkStopped);
    const LagrangeBasis basis(200, 3, 1.0);
    EXPECT_THROW((void)basis.prolongation_triplets(2, stop), tavo::WorkStopped);
    EXPECT_THROW((void)basis.transformation_entries(stop), tavo::WorkStopped);

    const std::stop_token running = std::stop_source().get_token();
    EXPECT_EQ(bit_patterns(LagrangeBasis(200, 3, 1.0, running).points()),
              bit_patterns(basis.points()));
    EXPECT_EQ(bit_patterns(basis.prolongation_triplets(2, running).values),
              bit_patterns(basis.prolongation_triplets(2).values));
    EXPECT_EQ(bit_patterns(basis.transformation_entries(running).weights),
              bit_patterns(basis.transformation_entries().weights));
}

}  // namespace
