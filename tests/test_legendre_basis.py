"""LegendreBasis: interval location, Legendre values and slopes, and `evaluate_at`."""

import math
import random

import numpy as np
import pytest
import tavo
from conftest import PanicException, assert_bits_equal, bits, raised
from numpy.polynomial import legendre

MESHES = [(1, 1, 1.0), (2, 3, 1.0), (5, 4, 7.5), (12, 8, 0.3), (3, 5, 100.0)]
ZERO = bits(0.0)


def active_modes(values, degree, n_t, k):
    """The entries of interval k in mode order; every other entry must be exactly +0.0."""
    assert len(values) == (degree + 1) * n_t
    for g, value in enumerate(values):
        if g % n_t != k:
            assert bits(value) == ZERO, (g, value)
    return values[k::n_t]


def interior_times(n_t, T, count, seed):
    """(t, k, x) well inside the intervals, with k and x computed the plain way."""
    rng = random.Random(seed)
    h = T / n_t
    samples = []
    for _ in range(count):
        k = rng.randrange(n_t)
        t = h * (k + rng.uniform(0.02, 0.98))
        samples.append((t, k, 2.0 * (t - k * h) / h - 1.0))
    return samples


def test_worked_example():
    basis = tavo.LegendreBasis(2, 2, 2.0)
    coefficients = [1, 2, 3, 4, 5, 6]
    assert_bits_equal(basis.evaluate_at(1.25, coefficients), -0.75)
    assert_bits_equal(basis.evaluate_all_basis_functions(1.25), [0.0, 1.0, 0.0, -0.5, 0.0, -0.125])
    assert_bits_equal(
        basis.evaluate_all_basis_function_derivatives(1.25),
        [0.0, 0.0, 0.0, 2.0, 0.0, -3.000000000000004],
    )
    evaluator = tavo.LegendreBasisEvaluator(2, 2, 2.0)
    evaluator.set_dofs(coefficients)
    assert_bits_equal(evaluator.evaluate_derivative_at(1.25), -10.000000000000025)


@pytest.mark.parametrize(
    "n_t, T, t, k, x",
    [
        # A mesh point whose quotient is an exact integer belongs to the interval on its right.
        (4, 1.0, 0.5, 2, -1.0),
        # Rounding puts 0.3 / 0.1 just below 3: the right end of interval 2.
        (10, 1.0, 0.3, 2, 0.9999999999999994),
        (7, 1.0, 1.0, 6, 0.9999999999999992),
        (2, 2.0, 1.5, 1, 0.0),
        (3, 1.5, 3.0, 2, 1.0),
        (3, 1.5, math.inf, 2, 1.0),
        (5, 1.0, 1e300, 4, 1.0),
        (3, 1.5, 0.0, 0, -1.0),
        (3, 1.5, -0.0, 0, -1.0),
        (3, 1.5, -0.7, 0, -1.0),
        (3, 1.5, -math.inf, 0, -1.0),
    ],
)
def test_interval_location(n_t, T, t, k, x):
    expected = [0.0] * (2 * n_t)
    expected[k], expected[n_t + k] = 1.0, x
    assert_bits_equal(tavo.LegendreBasis(1, n_t, T).evaluate_all_basis_functions(t), expected)


def test_nan_time_lands_in_the_first_interval():
    basis = tavo.LegendreBasis(3, 2, 2.0)
    values = basis.evaluate_all_basis_functions(math.nan)
    slopes = basis.evaluate_all_basis_function_derivatives(math.nan)
    # Interval 0 is active (even positions); mode 0 is 1 and has slope 0, mode 1 has slope 2 / h.
    assert_bits_equal(values[0::2][:1] + slopes[0::2][:2], [1.0, 0.0, 2.0])
    assert_bits_equal(values[1::2] + slopes[1::2], [0.0] * 8)
    assert all(math.isnan(v) for v in values[2::2] + slopes[4::2])
    assert math.isnan(basis.evaluate_at(math.nan, [1.0] * 8))
    assert_bits_equal(tavo.LegendreBasis(0, 2, 2.0).evaluate_at(math.nan, [7.5, 8.0]), 7.5)


@pytest.mark.parametrize("t", [-1.0, 0.0, 0.4, 1.0, 2.9, 3.0, 5.0])
def test_degree_zero(t):
    basis = tavo.LegendreBasis(0, 3, 3.0)
    k = min(max(int(t), 0), 2)
    one_hot = [0.0, 0.0, 0.0]
    one_hot[k] = 1.0
    assert_bits_equal(basis.evaluate_all_basis_functions(t), one_hot)
    assert_bits_equal(basis.evaluate_all_basis_function_derivatives(t), [0.0, 0.0, 0.0])
    coefficients = [-2.5, 1e300, -0.0]
    assert_bits_equal(basis.evaluate_at(t, coefficients), coefficients[k])


@pytest.mark.parametrize("degree, n_t, T", MESHES)
def test_values_and_slopes_agree_with_numpy(degree, n_t, T):
    basis = tavo.LegendreBasis(degree, n_t, T)
    scale = 2.0 * n_t / T  # dx/dt
    for t, k, x in interior_times(n_t, T, 25, seed=degree * 100 + n_t):
        identity = np.eye(degree + 1)
        exact_values = legendre.legval(x, identity)
        exact_slopes = legendre.legval(x, legendre.legder(identity))
        values = active_modes(basis.evaluate_all_basis_functions(t), degree, n_t, k)
        slopes = active_modes(basis.evaluate_all_basis_function_derivatives(t), degree, n_t, k)
        np.testing.assert_allclose(values, exact_values, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(slopes, scale * exact_slopes, rtol=1e-10, atol=1e-11 * scale)


def end_slope(n, x):
    """P'_n at x = +-1: n (n + 1) / 2, with the sign of x^(n + 1) (an exact integer)."""
    return int(x) ** (n + 1) * (n * (n + 1) // 2)


@pytest.mark.parametrize("degree", [1, 2, 3, 6])
@pytest.mark.parametrize(
    "t, k, x",
    [(0.0, 0, -1.0), (-3.0, 0, -1.0), (0.5, 1, -1.0), (1.5, 3, -1.0), (2.0, 3, 1.0),
     (9.0, 3, 1.0), (-math.inf, 0, -1.0), (math.inf, 3, 1.0)],
)
def test_slopes_at_interval_ends_are_exact(degree, t, k, x):
    h = 0.5  # four intervals of [0, 2]
    slopes = tavo.LegendreBasis(degree, 4, 2.0).evaluate_all_basis_function_derivatives(t)
    expected = [(end_slope(n, x) + end_slope(n, x)) / h for n in range(degree + 1)]
    assert_bits_equal(active_modes(slopes, degree, 4, k), expected)


@pytest.mark.parametrize(
    "t, mode_two_slope",
    [
        # Up to |x| = 1/2 the slope keeps the closed form with its small denominator shift.
        (1.25, -3.000000000000004),
        (1.75, 3.000000000000004),
        # Beyond it the slope is exact: 2 * 3x / h.
        (1.875, 4.5),
        (1.125, -4.5),
        (1.0, -6.0),
    ],
)
def test_mode_two_slope_on_both_sides_of_one_half(t, mode_two_slope):
    slopes = tavo.LegendreBasis(2, 2, 2.0).evaluate_all_basis_function_derivatives(t)
    assert_bits_equal(slopes[4:], [0.0, mode_two_slope])


def test_derivative_at_the_start_uses_the_true_end_slope():
    evaluator = tavo.LegendreBasisEvaluator(2, 1, 2.0)
    evaluator.set_dofs([5.0, 7.0, 2.0])
    assert_bits_equal(evaluator.evaluate_derivative_at(0.0), 7.0 - 3 * 2.0)


@pytest.mark.parametrize("degree, n_t, T", [m for m in MESHES if m[0] <= 5] + [(4, 4, 2.0)])
def test_slopes_match_finite_differences(degree, n_t, T):
    basis = tavo.LegendreBasis(degree, n_t, T)
    rng = random.Random(7 + degree)
    coefficients = [rng.uniform(-1.0, 1.0) for _ in range((degree + 1) * n_t)]
    h = T / n_t
    delta = 1e-4 * h

    def f(t):
        return basis.evaluate_at(t, coefficients)

    def slope(t):
        derivatives = basis.evaluate_all_basis_function_derivatives(t)
        return math.fsum(c * d for c, d in zip(coefficients, derivatives))

    tolerance = {"rel": 1e-6, "abs": 1e-5 / h}
    for t, _, _ in interior_times(n_t, T, 10, seed=degree):
        assert slope(t) == pytest.approx((f(t + delta) - f(t - delta)) / (2 * delta), **tolerance)
    # One-sided at the ends of the mesh, and at a mesh point whose quotient t / h is exact
    # (it belongs to the interval on its right).
    starts = [0.0]
    if n_t > 2 and (2 * h) / h == 2.0:
        starts.append(2 * h)
    for t in starts:
        forward = (-3 * f(t) + 4 * f(t + delta) - f(t + 2 * delta)) / (2 * delta)
        assert slope(t) == pytest.approx(forward, **tolerance)
    backward = (3 * f(T) - 4 * f(T - delta) + f(T - 2 * delta)) / (2 * delta)
    assert slope(T) == pytest.approx(backward, **tolerance)


@pytest.mark.parametrize("degree, n_t, T", MESHES)
def test_evaluate_at_is_the_mode_ordered_sum_over_the_basis(degree, n_t, T):
    basis = tavo.LegendreBasis(degree, n_t, T)
    rng = random.Random(degree + n_t)
    coefficients = [rng.uniform(-10.0, 10.0) for _ in range((degree + 1) * n_t)]
    times = [t for t, _, _ in interior_times(n_t, T, 10, seed=3)] + [0.0, T, -1.0, 2 * T]
    for t in times:
        values = basis.evaluate_all_basis_functions(t)
        k = next(g for g, v in enumerate(values) if v != 0.0) % n_t
        total = -0.0
        for g in range(k, len(values), n_t):
            total = total + values[g] * coefficients[g]
        assert_bits_equal(basis.evaluate_at(t, coefficients), total)


def test_evaluate_at_reads_only_the_active_interval():
    basis = tavo.LegendreBasis(2, 3, 1.0)
    # t = 0.5 is the middle of interval 1: modes 0, 1, 2 sit at positions 1, 4, 7.
    values = [math.nan] * 9
    values[1], values[4], values[7] = 3.0, 5.0, -2.0
    x = basis.evaluate_all_basis_functions(0.5)[4]
    result = basis.evaluate_at(0.5, values)
    assert result == pytest.approx(legendre.legval(x, [3.0, 5.0, -2.0]), rel=1e-15)
    assert_bits_equal(basis.evaluate_at(0.5, values + [math.inf] * 3), result)
    assert_bits_equal(basis.evaluate_at(legendre_vals=tuple(values), t=0.5), result)
    error = raised(lambda: basis.evaluate_at(0.5, values[:8]))
    assert type(error) is PanicException
    assert str(error) == "Matrix view: input data buffer too small."


@pytest.mark.parametrize(
    "call",
    [lambda b: b.evaluate_at(0.5, []), lambda b: b.evaluate_at(0.5, [1.0] * 4),
     lambda b: b.evaluate_all_basis_functions(0.5),
     lambda b: b.evaluate_all_basis_function_derivatives(0.5)],
)
def test_zero_intervals_refuse_every_evaluation(call):
    basis = tavo.LegendreBasis(3, 0, 1.0)
    error = raised(lambda: call(basis))
    assert type(error) is PanicException
    assert str(error) == "LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)"


@pytest.mark.parametrize("T", [0.0, -1.0, math.nan])
def test_degenerate_end_times_are_not_errors(T):
    basis = tavo.LegendreBasis(1, 2, T)
    assert len(basis.evaluate_all_basis_functions(0.25)) == 4
    assert len(basis.evaluate_all_basis_function_derivatives(0.25)) == 4
    assert isinstance(basis.evaluate_at(0.25, [1.0] * 4), float)
