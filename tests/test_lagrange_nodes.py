"""Nodes of the continuous piecewise Lagrange basis: `get_lagrange_points`."""

import math

import numpy as np
import pytest
import tavo
from conftest import assert_bits_equal, bits


@pytest.mark.parametrize(
    ("degree", "n_t", "T", "expected"),
    [
        (2, 2, 1.0, [0.0, 0.25, 0.5, 0.75, 1.0]),
        (1, 3, 1.0, [0.0, 0.3333333333333333, 0.6666666666666666, 1.0]),
        (2, 3, 1.0, [0.0, 0.16666666666666666, 0.3333333333333333, 0.5,
                     0.6666666666666666, 0.8333333333333333, 1.0]),
        # Degree 0 or no interval: T alone.
        (0, 3, 1.0, [1.0]),
        (3, 0, 2.0, [2.0]),
        (0, 0, -3.5, [-3.5]),
        # The first node is h * 0 with h = -0.5: a negative zero.
        (1, 2, -1.0, [-0.0, -0.5, -1.0]),
    ],
)
def test_complete_node_lists(degree, n_t, T, expected):
    assert_bits_equal(tavo.get_lagrange_points(degree, n_t, T), expected)


@pytest.mark.parametrize(
    ("degree", "n_t", "T", "index", "value"),
    [
        (3, 4, 2.0, 7, 1.1666666666666667),
        (3, 4, 2.0, 12, 2.0),
        # A shared node is the left end h * k of the later interval, not 0.6.
        (1, 10, 1.0, 6, 0.6000000000000001),
        # The last node is T itself, not h + h * 5 = 0.9999999999999999.
        (1, 6, 1.0, 6, 1.0),
        # (b - a) * j / n, not a + (b - a) * (j / n) = 0.04000000000000001.
        (5, 5, 1.0, 1, 0.04),
    ],
)
def test_single_nodes(degree, n_t, T, index, value):
    points = tavo.get_lagrange_points(degree, n_t, T)
    assert len(points) == n_t * degree + 1
    assert_bits_equal(points[index], value)


@pytest.mark.parametrize(("degree", "n_t"), [(1, 1), (1, 7), (2, 5), (3, 4), (4, 9), (7, 3)])
@pytest.mark.parametrize("T", [1.0, 0.3, 2.5, 1e6])
def test_node_layout(degree, n_t, T):
    points = tavo.get_lagrange_points(degree, n_t, T)
    assert len(points) == n_t * degree + 1
    assert all(type(p) is float for p in points)
    # Interval ends are the left ends h * k of the later intervals; the last node is T.
    h = T / n_t
    assert_bits_equal(points[::degree], [h * k for k in range(n_t)] + [T])
    assert np.all(np.diff(points) > 0.0)
    np.testing.assert_allclose(points, np.linspace(0.0, T, n_t * degree + 1), rtol=1e-14,
                               atol=1e-15 * T)


@pytest.mark.parametrize("T", [0.0, math.inf, math.nan, -2.0])
def test_any_end_time_is_accepted(T):
    points = tavo.get_lagrange_points(2, 3, T)
    assert len(points) == 7
    assert bits(points[-1]) == bits(T)


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((-1, 2, 1.0), {}, OverflowError, "can't convert negative int to unsigned"),
        ((1, 2**64, 1.0), {}, OverflowError, "int too big to convert"),
        ((1.0, 2, 1.0), {}, TypeError,
         "argument 'degree': 'float' object cannot be interpreted as an integer"),
        ((1, "2", 1.0), {}, TypeError,
         "argument 'n_t': 'str' object cannot be interpreted as an integer"),
        ((1, 2, "1.0"), {}, TypeError, "argument 'T': must be real number, not str"),
        # Arguments are converted left to right; the first failure is reported.
        ((None, -1, "x"), {}, TypeError,
         "argument 'degree': 'NoneType' object cannot be interpreted as an integer"),
        ((1, -1, "x"), {}, OverflowError, "can't convert negative int to unsigned"),
        ((1,), {}, TypeError,
         "get_lagrange_points() missing 2 required positional arguments: 'n_t' and 'T'"),
        ((1, 2, 1.0), {"degree": 1}, TypeError,
         "get_lagrange_points() got multiple values for argument 'degree'"),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as excinfo:
        tavo.get_lagrange_points(*args, **kwargs)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message
