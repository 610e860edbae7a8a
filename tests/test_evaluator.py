"""`LegendreBasisEvaluator`: stored coefficients, single times and batches of times."""

import math
from fractions import Fraction

import numpy as np
import pytest
import tavo
from conftest import PanicException, assert_bits_equal, evaluator_with

EXTREME_TIMES = [0.0, -0.0, -1.0, -math.inf, math.inf, math.nan, 1e300, -1e-300]

MESHES = [(0, 3, 1.0), (1, 1, 2.0), (2, 4, 1.0), (3, 7, 1.0), (5, 10, 0.3), (12, 2, 5.0),
          (2, 3, -1.0)]


def mesh_times(n_t, T, rng, count=20):
    """Random times, mesh points and their neighbours, the end time and times outside."""
    h = T / n_t
    mesh_points = [h * k for k in range(n_t + 1)]
    neighbours = [np.nextafter(p, s) for p in mesh_points for s in (-math.inf, math.inf)]
    return (rng.uniform(min(0.0, T), max(0.0, T), count).tolist() + mesh_points + neighbours
            + [T, 2.0 * T, -0.5 * T] + EXTREME_TIMES)


@pytest.mark.parametrize("method", ["evaluate_at", "evaluate_derivative_at"])
def test_new_instance_evaluates_to_zero(method):
    evaluator = tavo.LegendreBasisEvaluator(2, 4, 1.0)
    times = [0.3, 0.0, 1.0, 0.5, -2.0, 7.0, math.inf, -math.inf]
    assert_bits_equal([getattr(evaluator, method)(t) for t in times], [0.0] * len(times))
    assert_bits_equal(getattr(evaluator, method.replace("_at", "_many"))(np.array(times)),
                      [0.0] * len(times))


@pytest.mark.parametrize("legendre_vals", [[1.0, 2.0], list(range(7)), []])
def test_set_dofs_refuses_wrong_length_and_keeps_coefficients(legendre_vals):
    evaluator = evaluator_with(1, 3, 1.0, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
    before = [evaluator.evaluate_at(t) for t in (0.1, 0.5, 0.9)]
    with pytest.raises(PanicException) as excinfo:
        evaluator.set_dofs(legendre_vals)
    assert str(excinfo.value) == (
        "assertion `left == right` failed: "
        "LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
        f"  left: {len(legendre_vals)}\n"
        " right: 6"
    )
    assert_bits_equal([evaluator.evaluate_at(t) for t in (0.1, 0.5, 0.9)], before)
    evaluator.set_dofs(range(6))


def test_worked_example():
    # Any sequence of numbers; ints become doubles.
    evaluator = evaluator_with(2, 2, 2.0, (1, 2, 3, 4, 5, 6))
    # t = 1.25: interval 1, x = -0.5, P = (1, -0.5, -0.125).
    assert_bits_equal(evaluator.evaluate_at(1.25), -0.75)
    assert_bits_equal(evaluator.evaluate_derivative_at(1.25), -10.000000000000025)
    evaluator.set_dofs(legendre_vals=np.zeros(6))
    assert_bits_equal(evaluator.evaluate_at(1.25), 0.0)


def exact_end_slope(dofs, degree, n_t, T, k, x):
    """(2 / h) sum c_(a, k) P'_a(x) at x = +-1, where P'_a(+-1) = (+-1)^(a+1) a (a + 1) / 2."""
    slope = sum(Fraction(dofs[a * n_t + k]) * x ** (a + 1) * a * (a + 1) / 2
                for a in range(degree + 1))
    return float(2 * slope / (Fraction(T) / n_t))


@pytest.mark.parametrize(("degree", "n_t", "T"), [(2, 1, 2.0), (5, 2, 1.0), (9, 4, 4.0)])
def test_derivative_at_interval_ends_is_the_true_slope(degree, n_t, T):
    rng = np.random.default_rng(degree)
    dofs = rng.integers(-9, 10, (degree + 1) * n_t).tolist()
    evaluator = evaluator_with(degree, n_t, T, dofs)
    h = T / n_t
    # Each interval end is taken from the interval on its right, the end time from the last.
    for k in range(n_t):
        assert_bits_equal(evaluator.evaluate_derivative_at(h * k),
                          exact_end_slope(dofs, degree, n_t, T, k, -1))
    assert_bits_equal(evaluator.evaluate_derivative_at(T),
                      exact_end_slope(dofs, degree, n_t, T, n_t - 1, 1))


@pytest.mark.parametrize(("degree", "n_t", "T"), MESHES)
def test_single_times_equal_legendre_basis(degree, n_t, T):
    rng = np.random.default_rng(degree + 31 * n_t)
    basis = tavo.LegendreBasis(degree, n_t, T)
    times = mesh_times(n_t, T, rng)
    dofs = rng.uniform(-2.0, 2.0, (degree + 1) * n_t).tolist()
    evaluator = evaluator_with(degree, n_t, T, dofs)
    assert_bits_equal([evaluator.evaluate_at(t) for t in times],
                      [basis.evaluate_at(t, dofs) for t in times])
    # With one unit coefficient the sums reduce to single basis functions, except at NaN
    # (zero coefficients give NaN products) and in the sign of zeros (a zero slope is
    # divided by h < 0 in the sum, but not outside the active interval of the basis).
    times = [t for t in times if not math.isnan(t)]
    values = [basis.evaluate_all_basis_functions(t) for t in times]
    slopes = [basis.evaluate_all_basis_function_derivatives(t) for t in times]
    for g in range((degree + 1) * n_t):
        evaluator.set_dofs([float(g == j) for j in range((degree + 1) * n_t)])
        assert_bits_equal([evaluator.evaluate_at(t) + 0.0 for t in times],
                          [v[g] + 0.0 for v in values])
        assert_bits_equal([evaluator.evaluate_derivative_at(t) + 0.0 for t in times],
                          [s[g] + 0.0 for s in slopes])


@pytest.mark.parametrize(("degree", "n_t", "T"), MESHES)
def test_slopes_agree_with_numpy(degree, n_t, T):
    rng = np.random.default_rng(7 * degree + n_t)
    dofs = rng.uniform(-1.0, 1.0, (degree + 1) * n_t)
    evaluator = evaluator_with(degree, n_t, T, dofs.tolist())
    h = T / n_t
    for t in rng.uniform(min(0.0, T), max(0.0, T), 30):
        k = min(int(t / h), n_t - 1)
        # The domain runs from the left end h * k to h * k + h, also when h < 0.
        series = np.polynomial.Legendre(dofs[k::n_t], domain=[h * k, h * k + h])
        scale = np.abs(dofs).sum() * (degree + 1) ** 2 / abs(h)
        assert abs(evaluator.evaluate_at(t) - series(t)) <= 1e-13 * scale
        assert abs(evaluator.evaluate_derivative_at(t) - series.deriv()(t)) <= 1e-13 * scale


@pytest.mark.parametrize("n", [0, 1, 9, 2047, 2048, 2055, 4095, 4096, 4097, 12289])
@pytest.mark.parametrize(("degree", "n_t", "T"), [(3, 5, 2.0), (0, 2, 1.0), (8, 1, 0.5)])
def test_batches_equal_single_times(n, degree, n_t, T):
    rng = np.random.default_rng(n + degree)
    evaluator = evaluator_with(degree, n_t, T, rng.normal(size=(degree + 1) * n_t).tolist())
    # Unsorted, repeated, outside [0, T], infinite and NaN times.
    pool = np.array(mesh_times(n_t, T, rng, 200))
    times = rng.choice(pool, n) if n else np.zeros(0)
    for many, single in [("evaluate_many", evaluator.evaluate_at),
                         ("evaluate_derivative_many", evaluator.evaluate_derivative_at)]:
        result = getattr(evaluator, many)(times)
        assert type(result) is list
        assert_bits_equal(result, [single(t) for t in times])


@pytest.mark.parametrize(("degree", "expected", "expected_slope"),
                         [(0, 4.0, 0.0), (2, math.nan, math.nan)])
def test_batch_of_nan_times(degree, expected, expected_slope):
    # NaN lands in interval 0 with x = NaN; only the constant mode stays finite.
    evaluator = evaluator_with(degree, 2, 1.0, [4.0, 5.0] * (degree + 1))
    nan_times = np.full(3000, math.nan)
    assert_bits_equal(evaluator.evaluate_many(nan_times), [expected] * 3000)
    assert_bits_equal(evaluator.evaluate_derivative_many(nan_times), [expected_slope] * 3000)


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.evaluate_at(0.5),
        lambda e: e.evaluate_derivative_at(0.5),
        lambda e: e.evaluate_many(np.zeros(0)),
        lambda e: e.evaluate_derivative_many(np.zeros(5000)),
    ],
)
def test_no_intervals(call):
    evaluator = tavo.LegendreBasisEvaluator(2, 0, 1.0)
    evaluator.set_dofs([])
    with pytest.raises(PanicException) as excinfo:
        call(evaluator)
    assert str(excinfo.value) == (
        "LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)")
    # The instance is still usable afterwards.
    evaluator.set_dofs([])
