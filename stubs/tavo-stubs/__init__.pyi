"""Piecewise Legendre and Lagrange bases in time: evaluation and sparse transfer operators.

Every callable works on a time mesh ``(degree, n_t, T)``: [0, T] split into ``n_t``
intervals of length ``h = T / n_t``, each carrying polynomials up to ``degree``.

- Legendre coefficients are numbered mode-major: the coefficient of Legendre degree ``a``
  on interval ``k`` has index ``a * n_t + k``.
- Lagrange nodes are numbered ``k * degree + l`` (local node ``l`` of interval ``k``);
  neighbouring intervals share their end node, so a mesh has ``n_t * degree + 1`` nodes.

A failed precondition of the module's own code (a wrong coefficient count, a prolongation
of degree 0, ...) raises ``PanicException``, which derives from ``BaseException``, not from
``Exception``.
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final

__all__ = [
    "LegendreBasis",
    "LegendreBasisEvaluator",
    "get_lagrange_points",
    "lagrange_prolongation_matrix",
    "lagrange_to_legendre_basis_transformation",
    "sum_as_string",
]

# The aliases stay implicit: typing.TypeAlias is missing before Python 3.10.

# A number converted with float(): floats, ints, and anything with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex  # noqa: PYI026

class _Buffer(Protocol):
    # The buffer protocol as type checkers see it (collections.abc.Buffer from 3.12 on).
    def __buffer__(self, flags: int, /) -> memoryview: ...

class _ArrayLike(Protocol):
    # Arrays whose stubs declare __buffer__ only for Python 3.12 and later (numpy).
    @property
    def __array_interface__(self) -> Any: ...

class _SizedArrayLike(_ArrayLike, Protocol):
    def __len__(self) -> int: ...

# A sequence of numbers: a list, a tuple, bytes, array.array, a one-dimensional array...
# A str is refused at run time.
_FloatSequence = Sequence[_Float] | _SizedArrayLike  # noqa: PYI026

# A buffer of native float64 values, of any layout (a numpy float64 array,
# array.array("d"), a memoryview of doubles).
_DoubleBuffer = _Buffer | _ArrayLike  # noqa: PYI026

# A sparse matrix as (rows, cols, values), row-major, no duplicates, stored zeros kept.
_Triplets = tuple[list[int], list[int], list[float]]  # noqa: PYI026

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string.

    ``a`` and ``b`` are integers in 0 .. 2**64 - 1; the sum is exact, never wrapped.
    """

def lagrange_to_legendre_basis_transformation(
    degree: SupportsIndex, n_t: SupportsIndex
) -> _Triplets:
    """The nodal-to-modal transformation of a mesh of ``n_t`` intervals, as triplets.

    The matrix has ``(degree + 1) * n_t`` rows (Legendre coefficients, mode-major) and
    ``n_t * degree + 1`` columns (Lagrange nodes); applied to the values of a continuous
    piecewise polynomial at the nodes it gives its Legendre coefficients, whatever the end
    time ``T``. ``degree`` must be at least 1 (``PanicException`` otherwise). Each interval's
    weights invert a Legendre-Vandermonde matrix on equispaced nodes, whose condition grows
    quickly with the degree: the weights are accurate to 1e-10 up to degree 19 (the README
    has the measurements).
    """

def lagrange_prolongation_matrix(
    nt_coarse: SupportsIndex, nt_fine: SupportsIndex, degree: SupportsIndex
) -> _Triplets:
    """The prolongation from a coarse to a fine mesh of the same degree, as triplets.

    The matrix has ``nt_fine * degree + 1`` rows (fine nodes) and ``nt_coarse * degree + 1``
    columns (coarse nodes); row ``i`` holds the coarse Lagrange basis functions at fine node
    ``i``. The fine mesh need not refine the coarse one. ``degree`` must be at least 1
    (``PanicException`` otherwise).
    """

def get_lagrange_points(degree: SupportsIndex, n_t: SupportsIndex, T: _Float) -> list[float]:
    """The ``n_t * degree + 1`` Lagrange nodes of the mesh, ascending; the last one is ``T``."""

@final
class LegendreBasis:
    """Piecewise Legendre basis of a mesh; the coefficients are passed with every call.

    A time t lies on interval ``floor(t / h)`` (h = T / n_t) computed in floating point and
    clamped to the mesh, so a mesh point may land on the interval on its left, at its right
    end; times below 0 are evaluated on the first interval, times at or beyond ``T`` on the
    last one.
    """

    def __new__(cls, degree: SupportsIndex, n_t: SupportsIndex, T: _Float) -> LegendreBasis: ...
    def evaluate_at(self, t: _Float, legendre_vals: _FloatSequence) -> float:
        """The expansion with coefficients ``legendre_vals`` (mode-major) at time ``t``.

        At least ``(degree + 1) * n_t`` coefficients are needed (``PanicException``
        otherwise); any beyond that are ignored.
        """

    def evaluate_all_basis_functions(self, t: _Float) -> list[float]:
        """All ``(degree + 1) * n_t`` basis functions at time ``t``, mode-major.

        Only the ``degree + 1`` functions of the interval containing ``t`` are non-zero.
        """

    def evaluate_all_basis_function_derivatives(self, t: _Float) -> list[float]:
        """The time derivatives of all basis functions at time ``t``, mode-major."""

@final
class LegendreBasisEvaluator:
    """Class to evaluate legendre basis more often without copying the dofs from python each time

    The coefficients are stored once by ``set_dofs`` (all zero before); the batch methods
    evaluate many times with the interpreter lock released, in parallel from 2048 times on,
    bit-identical to the single-time methods.
    """

    def __new__(
        cls, degree: SupportsIndex, n_t: SupportsIndex, T: _Float
    ) -> LegendreBasisEvaluator: ...
    def set_dofs(self, legendre_vals: _FloatSequence) -> None:
        """Stores exactly ``(degree + 1) * n_t`` coefficients, mode-major.

        Another count raises ``PanicException`` and keeps the previous coefficients. While a
        batch of this evaluator runs in another thread: ``RuntimeError("Already borrowed")``.
        """

    def evaluate_at(self, t: _Float) -> float:
        """The stored expansion at time ``t``."""

    def evaluate_derivative_at(self, t: _Float) -> float:
        """The time derivative of the stored expansion at time ``t``."""

    def evaluate_many(self, t_values: _DoubleBuffer) -> list[float]:
        """The stored expansion at every time of a buffer of native float64 values.

        One or more dimensions, any layout; the times are read in row-major order, the results
        come in that order. Another item type, a zero-dimensional or a misaligned buffer raises
        ``BufferError``; an object without the buffer protocol (a list) raises ``TypeError``.
        """

    def evaluate_derivative_many(self, t_values: _DoubleBuffer) -> list[float]:
        """The time derivative of the stored expansion at every time of a float64 buffer.

        Same buffers, order and errors as ``evaluate_many``.
        """
