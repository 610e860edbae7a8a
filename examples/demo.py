"""Piecewise polynomials in time with tavo, end to end.

Interpolates u(t) = exp(-t) sin(8 t) on [0, 2] at the Lagrange nodes of time meshes of
growing resolution, turns the nodal values into piecewise Legendre coefficients, and
evaluates value and slope at a million times with the interpreter lock released. It
prints a convergence table for degrees 1 to 4 and fails unless the order observed between
the two finest meshes is within ORDER_TOLERANCE of p + 1 for the value and of p for the slope
(on coarser meshes the orders are still approaching these, as the table shows). It checks
that prolongation from a coarse mesh keeps the interpolant, times the batch evaluation
against plain numpy and draws a figure (build/demo.png unless --figure says otherwise).

Run: python examples/demo.py [--figure PATH] [--times N]
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np
import scipy.sparse as sp
import tavo

T_END = 2.0
MESHES = (8, 16, 32, 64, 128, 256)
# Largest accepted distance of the observed order (value and slope, two finest meshes) from
# the theoretical one; the observed ones are within 0.04 of it.
ORDER_TOLERANCE = 0.1
FIGURE = Path(__file__).resolve().parent.parent / "build" / "demo.png"


def u(t):
    return np.exp(-t) * np.sin(8.0 * t)


def du(t):
    return np.exp(-t) * (8.0 * np.cos(8.0 * t) - np.sin(8.0 * t))


def csr_from_triplets(triplets, shape):
    rows, cols, values = triplets
    return sp.csr_array((values, (rows, cols)), shape=shape)


def legendre_coefficients(degree, n_t, nodal_values):
    """Nodal values at the Lagrange nodes -> piecewise Legendre coefficients."""
    to_legendre = csr_from_triplets(
        tavo.lagrange_to_legendre_basis_transformation(degree, n_t),
        ((degree + 1) * n_t, n_t * degree + 1),
    )
    return to_legendre @ nodal_values


def interpolant(degree, n_t):
    """A LegendreBasisEvaluator holding the interpolant of u on the mesh (degree, n_t)."""
    nodes = np.array(tavo.get_lagrange_points(degree, n_t, T_END))
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, T_END)
    evaluator.set_dofs(legendre_coefficients(degree, n_t, u(nodes)))
    return evaluator


def numpy_evaluate(coefficients, degree, n_t, times):
    """The same evaluation written in plain, vectorised numpy."""
    h = T_END / n_t
    k = np.minimum(np.floor(times / h).astype(np.int64), n_t - 1)
    x = np.clip(2.0 * (times - h * k) / h - 1.0, -1.0, 1.0)
    c = coefficients.reshape(degree + 1, n_t)
    p_prev, p = np.ones_like(x), x
    total = c[0, k] + (c[1, k] * x if degree >= 1 else 0.0)
    for j in range(1, degree):
        p_prev, p = p, ((2 * j + 1) * x * p - j * p_prev) / (j + 1)
        total += c[j + 1, k] * p
    return total


def convergence_table(times, degrees=(1, 2, 3, 4), meshes=MESHES):
    exact, exact_slope = u(times), du(times)
    print("Convergence of the interpolant (max error over", f"{times.size:,} times); the check:",
          f"orders between the two finest meshes within {ORDER_TOLERANCE} of p + 1 and p")
    print(f"{'p':>2} {'n_t':>5} {'value error':>12} {'order':>6} {'slope error':>12} {'order':>6}")
    failures, rows = [], []
    for degree in degrees:
        previous = None
        for n_t in meshes:
            evaluator = interpolant(degree, n_t)
            value_error = np.max(np.abs(np.array(evaluator.evaluate_many(times)) - exact))
            slope_error = np.max(
                np.abs(np.array(evaluator.evaluate_derivative_many(times)) - exact_slope)
            )
            orders = ("", "")
            if previous is not None:
                orders = (
                    math.log2(previous[0] / value_error),
                    math.log2(previous[1] / slope_error),
                )
            print(
                f"{degree:>2} {n_t:>5} {value_error:12.3e} {_fmt(orders[0])} "
                f"{slope_error:12.3e} {_fmt(orders[1])}"
            )
            previous = (value_error, slope_error, orders)
            rows.append((degree, n_t, value_error, slope_error))
        value_order, slope_order = previous[2]
        if (abs(value_order - (degree + 1)) > ORDER_TOLERANCE
                or abs(slope_order - degree) > ORDER_TOLERANCE):
            failures.append((degree, value_order, slope_order))
    return failures, rows


def _fmt(order):
    return f"{order:6.2f}" if order != "" else " " * 6


def prolongation_check(times, degree=3, coarse=8, fine=64):
    """Prolongating the coarse nodal values keeps the coarse interpolant exactly."""
    coarse_nodes = np.array(tavo.get_lagrange_points(degree, coarse, T_END))
    prolongation = csr_from_triplets(
        tavo.lagrange_prolongation_matrix(coarse, fine, degree),
        (fine * degree + 1, coarse * degree + 1),
    )
    fine_values = prolongation @ u(coarse_nodes)
    fine_evaluator = tavo.LegendreBasisEvaluator(degree, fine, T_END)
    fine_evaluator.set_dofs(legendre_coefficients(degree, fine, fine_values))
    difference = np.max(
        np.abs(
            np.array(fine_evaluator.evaluate_many(times))
            - np.array(interpolant(degree, coarse).evaluate_many(times))
        )
    )
    print(
        f"\nProlongation {coarse} -> {fine} intervals (degree {degree}): the prolongated "
        f"interpolant differs from the coarse one by at most {difference:.2e}"
    )
    return difference


def timing(times, degree=3, n_t=64):
    nodes = np.array(tavo.get_lagrange_points(degree, n_t, T_END))
    coefficients = legendre_coefficients(degree, n_t, u(nodes))
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, T_END)
    evaluator.set_dofs(coefficients)

    def best_of(fn, repeat=5):
        best = math.inf
        for _ in range(repeat):
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        return best

    tavo_seconds = best_of(lambda: evaluator.evaluate_many(times))
    numpy_seconds = best_of(lambda: numpy_evaluate(coefficients, degree, n_t, times).tolist())
    numpy_array_seconds = best_of(lambda: numpy_evaluate(coefficients, degree, n_t, times))
    agreement = np.max(
        np.abs(np.array(evaluator.evaluate_many(times))
               - numpy_evaluate(coefficients, degree, n_t, times))
    )
    print(f"\nEvaluating degree {degree} on {n_t} intervals at {times.size:,} times (best of 5):")
    print(f"  tavo evaluate_many (list)       {tavo_seconds * 1e3:8.1f} ms")
    print(f"  numpy, vectorised, then tolist  {numpy_seconds * 1e3:8.1f} ms")
    print(f"  numpy, vectorised (array only)  {numpy_array_seconds * 1e3:8.1f} ms")
    print(f"  largest difference between the two: {agreement:.1e}")


def figure(path, times, rows):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nmatplotlib is not installed: no figure written (pip install matplotlib)")
        return
    degree, n_t = 2, 6
    evaluator = interpolant(degree, n_t)
    fine_t = np.linspace(0.0, T_END, 2001)
    nodes = np.array(tavo.get_lagrange_points(degree, n_t, T_END))

    fig, axes = plt.subplots(1, 4, figsize=(20, 4.4))
    ax = axes[0]
    ax.plot(fine_t, u(fine_t), color="0.6", lw=3, label="u(t) = exp(-t) sin(8t)")
    ax.plot(fine_t, evaluator.evaluate_many(fine_t), color="C0", label=f"interpolant, p={degree}")
    ax.plot(nodes, u(nodes), "o", color="C1", ms=4, label="Lagrange nodes")
    for k in range(n_t + 1):
        ax.axvline(k * T_END / n_t, color="0.85", lw=0.8, zorder=0)
    ax.set_title(f"Interpolant on {n_t} intervals")
    ax.set_xlabel("t")
    ax.set_ylabel("u(t)")
    ax.legend(fontsize=8)

    ax = axes[1]
    basis = tavo.LegendreBasis(3, 1, 1.0)
    local_t = np.linspace(0.0, 1.0, 401)
    values = np.array([basis.evaluate_all_basis_functions(t) for t in local_t])
    for i in range(4):
        ax.plot(local_t, values[:, i], label=f"P_{i}")
    ax.set_title("Legendre basis functions of one interval")
    ax.set_xlabel("t")
    ax.set_ylabel("P_a(x(t))")
    ax.legend(fontsize=8)

    ax = axes[2]
    for p in (1, 2, 3, 4):
        error = np.abs(np.array(interpolant(p, 16).evaluate_many(times)) - u(times))
        order = np.argsort(times)
        ax.semilogy(times[order][::50], np.maximum(error[order][::50], 1e-17), lw=0.8,
                    label=f"p={p}")
    ax.set_title("Interpolation error on 16 intervals")
    ax.set_xlabel("t")
    ax.set_ylabel("|interpolant - u|")
    ax.legend(fontsize=8)

    # The convergence table above, as a log-log plot: slopes p + 1 (value) and p (slope).
    ax = axes[3]
    for p in sorted({row[0] for row in rows}):
        h = np.array([T_END / row[1] for row in rows if row[0] == p])
        value_errors = [row[2] for row in rows if row[0] == p]
        slope_errors = [row[3] for row in rows if row[0] == p]
        ax.loglog(h, value_errors, "o-", color=f"C{p - 1}", ms=3, label=f"value, p={p}")
        ax.loglog(h, slope_errors, "s--", color=f"C{p - 1}", ms=3, label=f"slope, p={p}")
    ax.set_title("Convergence: max error against h")
    ax.set_xlabel("interval length h")
    ax.set_ylabel("max error over the random times")
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"\nFigure written to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figure", default=str(FIGURE),
                        help="where to write the PNG figure (default: build/demo.png)")
    parser.add_argument("--times", type=int, default=1_000_000, help="number of random times")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(2026)
    times = rng.uniform(0.0, T_END, args.times)
    failures, rows = convergence_table(times)
    difference = prolongation_check(times)
    timing(times)
    figure(args.figure, times, rows)

    if failures or difference > 1e-12:
        for degree, value_order, slope_order in failures:
            print(
                f"FAILED: degree {degree} converges with orders {value_order:.2f} (value) and "
                f"{slope_order:.2f} (slope) between the two finest meshes, expected "
                f"{degree + 1} and {degree} within {ORDER_TOLERANCE}",
                file=sys.stderr,
            )
        if difference > 1e-12:
            print(f"FAILED: prolongation changed the interpolant by {difference:.2e}",
                  file=sys.stderr)
        return 1
    print(f"\nBetween the two finest meshes ({MESHES[-2]} and {MESHES[-1]} intervals) every "
          f"observed order is within {ORDER_TOLERANCE} of p + 1 (value) and p (slope).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
