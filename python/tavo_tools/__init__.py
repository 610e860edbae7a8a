"""What a solver written with numpy and scipy needs around tavo: arrays and sparse arrays out,
reference-interval tables, traces and jumps, and transfer operators for nested meshes.

Numbering as in tavo: Legendre coefficient of degree ``a`` on interval ``k`` at ``a * n_t + k``
(mode-major), Lagrange node ``l`` of interval ``k`` at ``k * degree + l``.
"""

from __future__ import annotations

import os
import threading
from typing import Any

import numpy as np
import scipy.sparse as sp
import tavo

__all__ = [
    "PanicException", "evaluate", "prolongation", "transformation", "legendre_table",
    "mass_diagonal", "derivative_table", "traces", "jumps", "modal_prolongation",
    "modal_restriction",
]

# Times per call of evaluate_many: enough for tavo's pool to pay off, few enough that one
# result list (32 bytes per time) is read back while it is still in the processor's caches.
SUB_BATCH = 65_536

_panic_lock = threading.Lock()
_panic_type: type[BaseException] | None = None


def _find_panic_type() -> type[BaseException]:
    global _panic_type
    with _panic_lock:
        if _panic_type is not None:
            return _panic_type
        # The binding makes the class at its first panic; before that there is none to find.
        for cls in BaseException.__subclasses__():
            if cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException":
                _panic_type = cls
                return cls
        # One deliberate panic, its report to standard error kept out of sight.
        saved = os.dup(2)
        try:
            with open(os.devnull, "w") as devnull:
                os.dup2(devnull.fileno(), 2)
                try:
                    tavo.LegendreBasisEvaluator(0, 1, 1.0).set_dofs([])
                except BaseException as error:  # noqa: B036 - the panic is a BaseException
                    _panic_type = type(error)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        assert _panic_type is not None and _panic_type.__name__ == "PanicException"
        return _panic_type


def __getattr__(name: str) -> Any:
    if name == "PanicException":
        return _find_panic_type()
    raise AttributeError(f"module 'tavo_tools' has no attribute {name!r}")


def evaluate(evaluator: tavo.LegendreBasisEvaluator, times: Any, *, derivative: bool = False,
             out: np.ndarray | None = None) -> np.ndarray:
    """The expansion held by `evaluator` (its time derivative with `derivative=True`) at every
    time of `times`, as a float64 array of the shape of `times`, bit-identical to
    `evaluate_many`. Evaluated by sub-batches, so no list longer than SUB_BATCH ever exists;
    `out` (float64, C-contiguous, of that shape) receives the values if given."""
    t = np.require(times, np.float64, ["A", "C"])
    if out is None:
        out = np.empty(t.shape)
    elif (not isinstance(out, np.ndarray) or out.dtype != np.float64 or out.shape != t.shape
          or not out.flags.c_contiguous or not out.flags.writeable):
        raise ValueError(f"out must be a writeable C-contiguous float64 array of shape {t.shape}")
    flat_t = t.reshape(-1)
    flat_out = out.reshape(-1)
    many = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
    for start in range(0, flat_t.size, SUB_BATCH):
        values = many(flat_t[start:start + SUB_BATCH])
        # fromiter reads a list of floats faster than slice assignment or np.array.
        flat_out[start:start + len(values)] = np.fromiter(values, np.float64, len(values))
    return out


def _csr(triplets: tuple[list[int], list[int], list[float]], shape: tuple[int, int]) -> Any:
    rows, cols, values = triplets
    # The triplets are row-major without duplicates: the row pointer is a running count.
    index = np.int32 if max(shape[1], len(values)) < 2**31 else np.int64
    indptr = np.zeros(shape[0] + 1, index)
    np.cumsum(np.bincount(np.asarray(rows, np.int64), minlength=shape[0]), out=indptr[1:])
    return sp.csr_array((np.asarray(values, np.float64), np.asarray(cols, index), indptr),
                        shape=shape)


def prolongation(nt_coarse: int, nt_fine: int, degree: int, *, tolerance: float = 0.0) -> Any:
    """`lagrange_prolongation_matrix` as a csr_array of shape
    (nt_fine * degree + 1, nt_coarse * degree + 1).

    With `tolerance` > 0 the entries of magnitude below it are dropped (the near-zero ones of
    fine nodes that miss a coarse node by rounding). Each row loses at most `degree` entries,
    so for nodal values v the result changes by at most ``degree * tolerance * max|v|``."""
    matrix = _csr(tavo.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree),
                  (nt_fine * degree + 1, nt_coarse * degree + 1))
    if tolerance > 0.0:
        matrix.data[np.abs(matrix.data) < tolerance] = 0.0
        matrix.eliminate_zeros()
    return matrix


def transformation(degree: int, n_t: int) -> Any:
    """`lagrange_to_legendre_basis_transformation` as a csr_array of shape
    ((degree + 1) * n_t, n_t * degree + 1): nodal values to Legendre coefficients."""
    return _csr(tavo.lagrange_to_legendre_basis_transformation(degree, n_t),
                ((degree + 1) * n_t, n_t * degree + 1))


def legendre_table(degree: int, points: Any) -> tuple[np.ndarray, np.ndarray]:
    """Values P_a(x) and slopes dP_a/dx of the Legendre modes a = 0 .. degree at local points x
    of [-1, 1], each of shape (degree + 1, len(points)), with the module's recurrence (slopes
    in time on an interval of length h are (2 / h) times these)."""
    x = np.asarray(points, np.float64).reshape(-1)
    values = np.empty((degree + 1, x.size))
    slopes = np.zeros((degree + 1, x.size))
    values[0] = 1.0
    if degree >= 1:
        values[1] = x
        slopes[1] = 1.0
    for j in range(1, degree):
        u, w = (j + j) + 1.0, j + 1.0
        values[j + 1] = (values[j] * (x * u) - values[j - 1] * float(j)) / w
        # P'_(j+1) = P'_(j-1) + (2j + 1) P_j: exact at the ends, stable everywhere.
        slopes[j + 1] = slopes[j - 1] + u * values[j]
    return values, slopes


def mass_diagonal(degree: int, n_t: int, T: float) -> np.ndarray:
    """The diagonal of the mass matrix in mode-major order: h / (2a + 1) for every interval."""
    h = T / n_t
    return np.repeat(h / (2.0 * np.arange(degree + 1) + 1.0), n_t)


def derivative_table(degree: int) -> np.ndarray:
    """D[b, a] = integral over [-1, 1] of P_a'(x) P_b(x) dx, the same on every interval
    (d/dt and dt scale by 2/h and h/2)."""
    nodes, weights = np.polynomial.legendre.leggauss(degree + 1)
    values, slopes = legendre_table(degree, nodes)
    return (values * weights) @ slopes.T


def traces(coefficients: Any, degree: int, n_t: int) -> tuple[np.ndarray, np.ndarray]:
    """(at the left end, at the right end) of every interval, from the coefficients:
    P_a(-1) = (-1)^a, P_a(1) = 1. The right end of interval k is the trace from the left at
    mesh point k + 1, the left end the trace from the right at mesh point k."""
    c = np.asarray(coefficients, np.float64).reshape(degree + 1, n_t)
    signs = (-1.0) ** np.arange(degree + 1)
    return signs @ c, c.sum(axis=0)


def jumps(coefficients: Any, degree: int, n_t: int) -> np.ndarray:
    """u(t_k+) - u(t_k-) at the inner mesh points k = 1 .. n_t - 1."""
    left, right = traces(coefficients, degree, n_t)
    return left[1:] - right[:-1]


def modal_prolongation(nt_coarse: int, nt_fine: int, degree: int) -> Any:
    """Legendre coefficients on a coarse mesh to those of the same piecewise polynomial on a
    nested fine mesh (nt_fine a multiple of nt_coarse), a csr_array of shape
    ((degree + 1) * nt_fine, (degree + 1) * nt_coarse)."""
    if nt_coarse < 1 or nt_fine % nt_coarse:
        raise ValueError("the fine mesh must split every coarse interval into equal parts")
    r = nt_fine // nt_coarse
    nodes, weights = np.polynomial.legendre.leggauss(degree + 1)
    fine_values, _ = legendre_table(degree, nodes)
    blocks = np.empty((r, degree + 1, degree + 1))  # blocks[j, a, A]
    for j in range(r):
        coarse_values, _ = legendre_table(degree, -1.0 + (2 * j + 1 + nodes) / r)
        scale = (2.0 * np.arange(degree + 1) + 1.0) / 2.0
        blocks[j] = scale[:, None] * ((fine_values * weights) @ coarse_values.T)
    k = np.arange(nt_fine)
    a, A = np.meshgrid(np.arange(degree + 1), np.arange(degree + 1), indexing="ij")
    rows = a[None] * nt_fine + k[:, None, None]
    cols = A[None] * nt_coarse + (k // r)[:, None, None]
    data = blocks[k % r]
    keep = np.triu(np.ones((degree + 1, degree + 1), bool))[None].repeat(nt_fine, 0)
    return sp.csr_array((data[keep], (rows[keep], cols[keep])),
                        shape=((degree + 1) * nt_fine, (degree + 1) * nt_coarse))


def modal_restriction(nt_coarse: int, nt_fine: int, degree: int) -> Any:
    """The transpose of `modal_prolongation`: restricts residuals tested against a fine
    discontinuous Legendre space to the coarse one. A Petrov-Galerkin method's residual lives
    in its test space, so this (not the transpose of the trial prolongation) gives the
    Galerkin coarse operator R A P."""
    return modal_prolongation(nt_coarse, nt_fine, degree).T.tocsr()
