"""The site's pictures of the time mesh and its numbering, drawn at build time."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import tavo  # noqa: E402


def mesh_numbering(path: Path) -> None:
    degree, n_t, T = 2, 3, 3.0
    nodes = tavo.get_lagrange_points(degree, n_t, T)
    fig, ax = plt.subplots(figsize=(8, 2.6))
    ax.hlines(0, 0, T, color="k")
    for k in range(n_t + 1):
        ax.vlines(k * T / n_t, -0.15, 0.15, color="k")
    for i, t in enumerate(nodes):
        ax.plot(t, 0, "o", color="C1")
        ax.annotate(str(i), (t, 0), (0, 10), textcoords="offset points", ha="center")
    for k in range(n_t):
        middle = (k + 0.5) * T / n_t
        modes = ", ".join(str(a * n_t + k) for a in range(degree + 1))
        ax.text(middle, -0.45, f"interval {k}\nmodes {modes}", ha="center", va="top")
    ax.set_xlabel("t")
    ax.set_ylim(-1.1, 0.5)
    ax.set_yticks([])
    ax.set_title("degree 2, n_t = 3, T = 3: Lagrange nodes (above) and Legendre indices "
                 "a * n_t + k")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def legendre_modes(path: Path) -> None:
    x = np.linspace(-1.0, 1.0, 201)
    basis = tavo.LegendreBasis(4, 1, 2.0)
    values = np.array([basis.evaluate_all_basis_functions(v + 1.0) for v in x])
    fig, ax = plt.subplots(figsize=(6, 3.4))
    for a in range(5):
        ax.plot(x, values[:, a], label=f"P_{a}")
    ax.set_xlabel("local coordinate x")
    ax.set_ylabel("P_a(x)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write_all(folder: Path) -> None:
    folder.mkdir(exist_ok=True)
    mesh_numbering(folder / "mesh.png")
    legendre_modes(folder / "modes.png")
