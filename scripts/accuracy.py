"""Accuracy of tavo's Lagrange-to-Legendre transformation, degree by degree.

Each interval's weights W are the inverse of the local Legendre-Vandermonde matrix
V[j][i] = P_j(xi_i) on the equispaced reference nodes xi_i = -1 + 2i/p. This script compares
the weights of `lagrange_to_legendre_basis_transformation(p, 1)` with V's exact inverse,
computed in rational arithmetic, and prints a Markdown table:

    python scripts/accuracy.py [max_degree]      # default 20

Columns: the 2-norm condition number of V (from its singular values), the largest weight,
the largest absolute error of a weight, and that error relative to the largest weight.
Needs numpy for the singular values only.
"""

import sys
from fractions import Fraction

import numpy as np
import tavo

LIMIT = 1e-10


def legendre_vandermonde(p):
    """V[j][i] = P_j(xi_i), exact, on the p + 1 equispaced nodes of [-1, 1]."""
    nodes = [Fraction(-1) + Fraction(2 * i, p) for i in range(p + 1)]
    rows = [[Fraction(1)] * (p + 1), list(nodes)]
    for k in range(1, p):
        rows.append(
            [
                ((2 * k + 1) * x * rows[k][i] - k * rows[k - 1][i]) / (k + 1)
                for i, x in enumerate(nodes)
            ]
        )
    return rows[: p + 1]


def inverse(matrix):
    """Gauss-Jordan elimination in exact arithmetic."""
    n = len(matrix)
    augmented = [row[:] + [Fraction(int(i == j)) for j in range(n)] for i, row in enumerate(matrix)]
    for column in range(n):
        pivot = next(r for r in range(column, n) if augmented[r][column] != 0)
        augmented[column], augmented[pivot] = augmented[pivot], augmented[column]
        scale = augmented[column][column]
        augmented[column] = [value / scale for value in augmented[column]]
        for r in range(n):
            factor = augmented[r][column]
            if r != column and factor != 0:
                augmented[r] = [a - factor * b for a, b in zip(augmented[r], augmented[column])]
    return [row[n:] for row in augmented]


def tavo_weights(p):
    """W[i][a] from the one-interval transformation: row a, column i holds W[i][a]."""
    weights = [[0.0] * (p + 1) for _ in range(p + 1)]
    for a, i, value in zip(*tavo.lagrange_to_legendre_basis_transformation(p, 1)):
        weights[i][a] = value
    return weights


def measure(p):
    vandermonde = legendre_vandermonde(p)
    exact = inverse(vandermonde)
    computed = tavo_weights(p)
    condition = np.linalg.cond(np.array(vandermonde, dtype=float))
    largest = max(abs(w) for row in exact for w in row)
    error = max(
        abs(Fraction(c) - w) for row_c, row_w in zip(computed, exact) for c, w in zip(row_c, row_w)
    )
    return condition, float(largest), float(error), float(error / largest)


def main():
    max_degree = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    print("| degree | cond(V) | max \\|W\\| | max error | error / max \\|W\\| |")
    print("|---:|---:|---:|---:|---:|")
    last_accurate = 0
    for p in range(1, max_degree + 1):
        condition, largest, error, relative = measure(p)
        print(f"| {p} | {condition:.2e} | {largest:.2e} | {error:.1e} | {relative:.1e} |")
        if error <= LIMIT and last_accurate == p - 1:
            last_accurate = p
    print(f"\nWeights accurate to {LIMIT:.0e} up to degree {last_accurate}.")


if __name__ == "__main__":
    main()
