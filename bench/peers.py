"""What a competent numpy / scipy user writes instead of calling tavo.

Every peer takes the same inputs as the tavo call it stands in for and, where the call
returns lists, ends in tolist() so that both sides deliver the same Python objects.
"""

from __future__ import annotations

import numpy as np
from numpy.polynomial import legendre, polynomial
from scipy.interpolate import PPoly

BLOCK = 65_536  # times per block: the temporaries of one block stay in the L2 cache


class NumpyLegendre:
    """Piecewise Legendre expansion evaluated with whole-array numpy operations."""

    def __init__(self, coefficients, degree, n_t, T):
        self.c = np.ascontiguousarray(np.reshape(coefficients, (degree + 1, n_t)))
        self.degree, self.n_t, self.h = degree, n_t, T / n_t

    def _locate(self, t):
        # tavo's arithmetic: k = floor(t / h), a = h k, b = h + a, x = 2 (t - (a + b) / 2) / (b - a)
        k = (t / self.h).astype(np.intp)  # times are >= 0: truncation is the floor
        np.clip(k, 0, self.n_t - 1, out=k)
        a = k * self.h
        b = a + self.h
        x = a + b
        x *= -0.5
        x += t
        x += x
        b -= a
        x /= b
        np.clip(x, -1.0, 1.0, out=x)
        return k, x

    def values(self, t):
        k, x = self._locate(t)
        c = self.c
        total = c[0].take(k)
        if self.degree >= 1:
            gathered, following = np.empty_like(x), np.empty_like(x)
            previous, current = np.ones_like(x), x.copy()
            total += c[1].take(k, out=gathered) * x
            for j in range(1, self.degree):
                # P_(j+1) = (P_j (x (2j + 1)) - P_(j-1) j) / (j + 1), in place
                np.multiply(x, 2 * j + 1, out=following)
                following *= current
                previous *= j
                following -= previous
                following /= j + 1
                previous, current, following = current, following, previous
                c[j + 1].take(k, out=gathered)
                gathered *= current
                total += gathered
        return total

    def derivatives(self, t):
        k, x = self._locate(t)
        c = self.c
        if self.degree == 0:
            return np.zeros_like(x)
        gathered, following = np.empty_like(x), np.empty_like(x)
        total = c[1].take(k)
        previous, current = np.ones_like(x), x.copy()
        d_previous, d_current = np.zeros_like(x), np.ones_like(x)
        for j in range(1, self.degree):
            # P'_(j+1) = P'_(j-1) + (2j + 1) P_j, then P_(j+1) as in values()
            np.multiply(current, 2 * j + 1, out=gathered)
            d_previous += gathered
            d_previous, d_current = d_current, d_previous
            np.multiply(x, 2 * j + 1, out=following)
            following *= current
            previous *= j
            following -= previous
            following /= j + 1
            previous, current, following = current, following, previous
            c[j + 1].take(k, out=gathered)
            gathered *= d_current
            total += gathered
        total *= 2.0 / self.h
        return total


def blocked(kernel, t, block=BLOCK):
    """kernel applied to consecutive blocks of t, gathered into one array."""
    out = np.empty_like(t)
    for start in range(0, t.size, block):
        out[start : start + block] = kernel(t[start : start + block])
    return out


def to_ppoly(coefficients, degree, n_t, T):
    """The same piecewise polynomial as a scipy PPoly in the local power basis."""
    h = T / n_t
    # Column i: P_i(x) with x = 2 s / h - 1 as a power series in s = t - (start of interval).
    x_of_s = polynomial.Polynomial([-1.0, 2.0 / h])
    to_power = np.zeros((degree + 1, degree + 1))
    for i in range(degree + 1):
        series = polynomial.Polynomial(legendre.leg2poly(np.eye(degree + 1)[i]))(x_of_s).coef
        to_power[: series.size, i] = series
    power = to_power @ np.reshape(coefficients, (degree + 1, n_t))
    breaks = h * np.arange(n_t + 1.0)
    breaks[-1] = T
    return PPoly(np.ascontiguousarray(power[::-1]), breaks)


def lagrange_points(degree, n_t, T):
    h = T / n_t
    start = h * np.arange(float(n_t))
    width = (h + start) - start
    points = start[:, None] + (width[:, None] * np.arange(degree)) / degree
    return np.append(points.ravel(), T).tolist()


def all_basis_functions(degree, n_t, T, t):
    h = T / n_t
    k = min(max(int(t / h), 0), n_t - 1)
    x = min(max(2.0 * (t - h * k) / h - 1.0, -1.0), 1.0)
    values = np.zeros((degree + 1) * n_t)
    values[k::n_t] = legendre.legvander(x, degree)
    return values.tolist()


def prolongation(nt_coarse, nt_fine, degree):
    last = nt_fine * degree
    x = (np.arange(last + 1) / last) * nt_coarse
    k = np.minimum(x.astype(np.int64), nt_coarse - 1)
    xi = 2.0 * (x - k) - 1.0
    nodes = np.linspace(-1.0, 1.0, degree + 1)
    weights = 1.0 / np.prod(nodes[:, None] - nodes + np.eye(degree + 1), axis=1)
    difference = xi[:, None] - nodes
    on_node = np.abs(difference) < 1e-14
    with np.errstate(divide="ignore", invalid="ignore"):
        values = weights / difference
        values /= values.sum(axis=1, keepdims=True)
    snapped = on_node.any(axis=1)
    values[snapped] = on_node[snapped]
    rows, local = np.nonzero(values)
    return rows.tolist(), (k[rows] * degree + local).tolist(), values[rows, local].tolist()


def transformation(degree, n_t):
    p = degree
    weights = np.linalg.inv(legendre.legvander(np.linspace(-1.0, 1.0, p + 1), p).T)  # (node, mode)
    mode = np.arange(p + 1)[:, None, None]
    interval = np.arange(n_t)[None, :, None]
    node = np.arange(p + 1)[None, None, :]
    shape = (p + 1, n_t, p + 1)
    rows = np.broadcast_to(mode * n_t + interval, shape).ravel()
    cols = np.broadcast_to(interval * p + node, shape).ravel()
    values = np.broadcast_to(weights.T[:, None, :], shape).ravel()
    return rows.tolist(), cols.tolist(), values.tolist()
