"""Sparse transfer operators: coarse-to-fine prolongation and the Lagrange-to-Legendre change."""

import struct
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse
import tavo
from conftest import PanicException, assert_bits_equal


def assert_triplets(result, entries):
    """Compares a triplet result with (row, column, value) entries, values bit for bit."""
    assert type(result) is tuple and len(result) == 3
    rows, cols, values = result
    assert rows == [e[0] for e in entries]
    assert cols == [e[1] for e in entries]
    assert_bits_equal(values, [e[2] for e in entries])


def assert_row_major(rows, cols):
    positions = list(zip(rows, cols))
    assert all(type(i) is int and type(j) is int for i, j in positions)
    assert all(a < b for a, b in zip(positions, positions[1:])), "not strictly row-major"


def to_matrix(triplets, shape):
    rows, cols, values = triplets
    return scipy.sparse.csr_matrix((values, (rows, cols)), shape=shape)


def identity(n):
    return [(i, i, 1.0) for i in range(n)]


P12_DEGREE2 = [
    (0, 0, 1.0),
    (1, 0, 0.375), (1, 1, 0.75), (1, 2, -0.125),
    (2, 1, 1.0),
    # Barycentric results at xi = 0.5, not the exact rationals.
    (3, 0, -0.12499999999999999), (3, 1, 0.7499999999999999), (3, 2, 0.37499999999999994),
    (4, 2, 1.0),
]


@pytest.mark.parametrize(
    ("args", "entries"),
    [
        ((1, 2, 1), [(0, 0, 1.0), (1, 0, 0.5), (1, 1, 0.5), (2, 1, 1.0)]),
        ((1, 1, 3), identity(4)),
        ((1, 2, 2), P12_DEGREE2),
        # Rows 5 to 8 repeat rows 1 to 4, shifted by two columns.
        ((2, 4, 2), P12_DEGREE2 + [(r + 4, c + 2, v) for r, c, v in P12_DEGREE2[1:]]),
        # The fine mesh does not refine the coarse one.
        ((2, 3, 1), [(0, 0, 1.0), (1, 0, 0.3333333333333333), (1, 1, 0.6666666666666665),
                     (2, 1, 0.6666666666666667), (2, 2, 0.3333333333333332), (3, 2, 1.0)]),
        # Fewer fine than coarse intervals.
        ((2, 1, 1), [(0, 0, 1.0), (1, 2, 1.0)]),
        ((3, 2, 1), [(0, 0, 1.0), (1, 1, 0.5), (1, 2, 0.5), (2, 3, 1.0)]),
        # Node 15 lands at x = 14.999999999999998 and snaps to the right end of interval 14.
        ((22, 22, 1), identity(23)),
    ],
)
def test_prolongation_examples(args, entries):
    assert_triplets(tavo.lagrange_prolongation_matrix(*args), entries)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((2, 2, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((0, 2, 1), "Lagrange prolongation requires at least one coarse interval"),
        ((2, 0, 1), "Lagrange prolongation requires at least one fine interval"),
        # Degree before coarse count before fine count.
        ((0, 0, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((0, 2, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((2, 0, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((0, 0, 1), "Lagrange prolongation requires at least one coarse interval"),
    ],
)
def test_prolongation_preconditions(args, message):
    with pytest.raises(PanicException) as excinfo:
        tavo.lagrange_prolongation_matrix(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("function", "args", "error", "message"),
    [
        # The first argument that fails is reported.
        (tavo.lagrange_prolongation_matrix, (-1, 1.0, 0), OverflowError,
         "can't convert negative int to unsigned"),
        (tavo.lagrange_prolongation_matrix, (1, 1.0, -1), TypeError,
         "argument 'nt_fine': 'float' object cannot be interpreted as an integer"),
        (tavo.lagrange_to_legendre_basis_transformation, (1.5, -1), TypeError,
         "argument 'degree': 'float' object cannot be interpreted as an integer"),
        (tavo.lagrange_to_legendre_basis_transformation, (1, None), TypeError,
         "argument 'n_t': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_argument_errors(function, args, error, message):
    with pytest.raises(error) as excinfo:
        function(*args)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message


PROLONGATION_MESHES = [
    # Nested meshes.
    (1, 4, 1), (2, 6, 3), (3, 12, 2), (1, 5, 4), (4, 8, 5),
    # Fine mesh that does not refine the coarse one.
    (3, 5, 2), (4, 7, 3), (5, 3, 2), (6, 11, 6),
    # Fewer fine than coarse intervals.
    (7, 2, 3), (4, 1, 2), (10, 3, 1),
]


@pytest.mark.parametrize(("nt_coarse", "nt_fine", "degree"), PROLONGATION_MESHES)
def test_prolongation_properties(nt_coarse, nt_fine, degree):
    rows, cols, values = tavo.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    assert len(rows) == len(cols) == len(values)
    assert_row_major(rows, cols)
    # Every fine node has a row, and every row lies inside one coarse interval.
    assert sorted(set(rows)) == list(range(nt_fine * degree + 1))
    assert min(cols) >= 0
    assert max(cols) <= nt_coarse * degree
    # A fine node on a coarse node has the single entry 1.0; any other one has the
    # degree + 1 coarse basis values of one coarse interval.
    for i in set(rows):
        row = [(c, v) for r, c, v in zip(rows, cols, values) if r == i]
        if len(row) == 1:
            assert_bits_equal(row[0][1], 1.0)
        else:
            first = row[0][0]
            assert first % degree == 0
            assert [c for c, _ in row] == list(range(first, first + degree + 1))
    assert all(v != 0.0 for v in values)
    np.testing.assert_allclose(np.bincount(rows, weights=values), 1.0, rtol=0, atol=1e-13)

    # Polynomials of degree <= degree are carried over exactly, up to rounding.
    rng = np.random.default_rng(1000 * nt_coarse + 10 * nt_fine + degree)
    matrix = to_matrix((rows, cols, values), (nt_fine * degree + 1, nt_coarse * degree + 1))
    coarse = np.array(tavo.get_lagrange_points(degree, nt_coarse, 1.0))
    fine = np.array(tavo.get_lagrange_points(degree, nt_fine, 1.0))
    for polynomial_degree in range(degree + 1):
        f = np.polynomial.Polynomial(rng.uniform(-1.0, 1.0, polynomial_degree + 1))
        np.testing.assert_allclose(matrix @ f(coarse), f(fine), rtol=0, atol=1e-12)


# Local weights W[i][a] for degrees 1 and 2: node i, Legendre degree a.
FIXED_WEIGHTS = {
    1: [[0.5, -0.5], [0.5, 0.5]],
    2: [[1 / 6, -0.5, 1 / 3], [2 / 3, 0.0, -2 / 3], [1 / 6, 0.5, 1 / 3]],
}


def transformation_layout(degree, n_t):
    """The positions of the matrix, row-major: (a * n_t + k, k * degree + i) for node i."""
    return [(a * n_t + k, k * degree + i, a, i)
            for a in range(degree + 1) for k in range(n_t) for i in range(degree + 1)]


def test_transformation_degree2_two_intervals():
    sixth, third, two_thirds = 0.16666666666666666, 0.3333333333333333, 0.6666666666666666
    rows, cols, values = tavo.lagrange_to_legendre_basis_transformation(2, 2)
    assert rows == [0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5]
    assert cols == [0, 1, 2, 2, 3, 4] * 3
    # The zeros of rows 2 and 3 are stored entries.
    assert_bits_equal(values, [sixth, two_thirds, sixth] * 2 + [-0.5, 0.0, 0.5] * 2
                      + [third, -two_thirds, third] * 2)


@pytest.mark.parametrize("degree", [1, 2])
@pytest.mark.parametrize("n_t", [1, 3, 5])
def test_transformation_fixed_weights(degree, n_t):
    weights = FIXED_WEIGHTS[degree]
    expected = [(r, c, weights[i][a]) for r, c, a, i in transformation_layout(degree, n_t)]
    assert_triplets(tavo.lagrange_to_legendre_basis_transformation(degree, n_t), expected)


@pytest.mark.parametrize("n_t", [0, 1, 4])
def test_transformation_degree0_fails(n_t):
    with pytest.raises(PanicException) as excinfo:
        tavo.lagrange_to_legendre_basis_transformation(0, n_t)
    assert str(excinfo.value) == "Lagrange to Legendre conversion not meaningful for degree 0"


@pytest.mark.parametrize("degree", [1, 2, 3, 7])
def test_transformation_without_intervals(degree):
    assert tavo.lagrange_to_legendre_basis_transformation(degree, 0) == ([], [], [])


# W[i][a] of degree 3 in fortieths: rows are nodes, columns Legendre degrees.
DEGREE3_FORTIETHS = [[5, -11, 15, -9], [15, -27, -15, 27], [15, 27, -15, -27], [5, 11, 15, 9]]


@pytest.mark.parametrize("degree", range(3, 11))
@pytest.mark.parametrize("n_t", [1, 3])
def test_transformation_from_degree3(degree, n_t):
    rows, cols, values = tavo.lagrange_to_legendre_basis_transformation(degree, n_t)
    layout = transformation_layout(degree, n_t)
    assert len(values) == (degree + 1) ** 2 * n_t
    assert rows == [r for r, _, _, _ in layout]
    assert cols == [c for _, c, _, _ in layout]
    # Every interval carries the same local weights, to the bit.
    weights = np.reshape(values, (degree + 1, n_t, degree + 1))
    assert_bits_equal(weights.ravel().tolist(),
                      np.broadcast_to(weights[:, :1, :], weights.shape).ravel().tolist())
    # Constants go to the degree-0 coefficients alone.
    np.testing.assert_allclose(weights[:, 0, :].sum(axis=1), [1.0] + [0.0] * degree,
                               rtol=0, atol=1e-13)
    if degree == 3:
        for a in range(4):
            for i in range(4):
                error = Fraction(weights[a, 0, i]) - Fraction(DEGREE3_FORTIETHS[i][a], 40)
                assert abs(error) <= Fraction(1, 2**50)


@pytest.mark.parametrize("degree", range(1, 11))
@pytest.mark.parametrize(("n_t", "T"), [(1, 1.0), (3, 2.5), (4, 0.7)])
def test_transformation_reproduces_polynomials(degree, n_t, T):
    rng = np.random.default_rng(100 * degree + n_t)
    matrix = to_matrix(tavo.lagrange_to_legendre_basis_transformation(degree, n_t),
                       ((degree + 1) * n_t, n_t * degree + 1))
    f = np.polynomial.Polynomial(rng.uniform(-1.0, 1.0, degree + 1), domain=[0.0, T])
    nodes = np.array(tavo.get_lagrange_points(degree, n_t, T))
    coefficients = (matrix @ f(nodes)).tolist()
    times = rng.uniform(0.0, T, 40)
    basis = tavo.LegendreBasis(degree, n_t, T)
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(coefficients)
    values = [basis.evaluate_at(t, coefficients) for t in times]
    np.testing.assert_allclose(values, f(times), rtol=0, atol=1e-12)
    assert_bits_equal(evaluator.evaluate_many(times), values)


@pytest.mark.parametrize(
    "call",
    [lambda: tavo.LegendreBasis(3, 1000, 2.0).evaluate_all_basis_functions(0.7),
     lambda: tavo.LegendreBasis(3, 1000, 2.0).evaluate_all_basis_function_derivatives(1.3),
     lambda: tavo.lagrange_to_legendre_basis_transformation(4, 500),
     lambda: tavo.lagrange_prolongation_matrix(30, 700, 3)],
    ids=["all basis functions", "all derivatives", "transformation", "prolongation"],
)
def test_equal_values_share_one_object(call):
    result = call()
    for items in result if isinstance(result, tuple) else (result,):
        keys = {struct.pack("<d", x) if type(x) is float else x for x in items}
        assert len({id(x) for x in items}) == len(keys)
