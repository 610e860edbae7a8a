"""The type stubs describe the built module, and type checkers find and apply them."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

STUB = Path(__file__).resolve().parent.parent / "stubs" / "tavo-stubs" / "__init__.pyi"

# Accepted by the type checker and by the module alike.
CORRECT = """\
from array import array
from fractions import Fraction

import numpy as np

import tavo

basis = tavo.LegendreBasis(2, 3, 1.0)
value: float = basis.evaluate_at(0.5, [1, 2.0, Fraction(1, 3)] * 3)
value = basis.evaluate_at(t=np.float64(0.5), legendre_vals=np.arange(9.0))
values: list[float] = basis.evaluate_all_basis_function_derivatives(np.float64(0.5))
evaluator = tavo.LegendreBasisEvaluator(degree=2, n_t=np.int64(3), T=1)
evaluator.set_dofs(np.zeros(9))
evaluator.set_dofs((0,) * 9)
evaluator.set_dofs(array("d", [0.0] * 9))
values = evaluator.evaluate_many(np.linspace(0.0, 1.0, 5).reshape(5, 1))
values = evaluator.evaluate_derivative_many(array("d", [0.25]))
rows, cols, weights = tavo.lagrange_to_legendre_basis_transformation(2, 3)
first_row: int = rows[0]
first_weight: float = weights[0]
values = tavo.get_lagrange_points(2, 3, 1)
digits: str = tavo.sum_as_string(True, 2)
"""

# Each line is rejected by the type checker (and would fail or misbehave at run time).
WRONG = """\
tavo.LegendreBasis("2", 3, 1.0)
tavo.LegendreBasis(2.0, 3, 1.0)
tavo.get_lagrange_points(2, 3, "1.0")
basis.evaluate_at(0.5, "123")
basis.evaluate_at(0.5, {1.0, 2.0})
evaluator.set_dofs(None)
evaluator.evaluate_many([0.5, 1.0])
evaluator.evaluate_at(t_values=0.5)
tavo.lagrange_prolongation_matrix(1, 2)
wrong_row: str = rows[0]
wrong_digits: int = tavo.sum_as_string(1, 2)
class Derived(tavo.LegendreBasisEvaluator): ...
"""


def run(args, cwd, **environment):
    return subprocess.run(
        [sys.executable, "-m", *args],
        check=False,
        cwd=cwd,
        env={**os.environ, **environment},
        capture_output=True,
        text=True,
    )


def test_stubs_match_the_module(tmp_path):
    # The stub of the source tree, found first through MYPYPATH, against the imported module:
    # names, parameters, @final and __all__ may not drift.
    (tmp_path / "stubs").mkdir()
    shutil.copy(STUB, tmp_path / "stubs" / "tavo.pyi")
    result = run(["mypy.stubtest", "--concise", "tavo"], tmp_path, MYPYPATH=str(tmp_path / "stubs"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_accepts_correct_and_rejects_wrong_use(tmp_path):
    exec(compile(CORRECT, "correct", "exec"), {})  # noqa: S102 - our own snippet
    # The installed stub package, found the way users' type checkers find it.
    (tmp_path / "use.py").write_text(CORRECT + WRONG)
    result = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "use.py"], tmp_path)
    reported = {
        int(line) for line in re.findall(r"^use\.py:(\d+): error", result.stdout, re.MULTILINE)
    }
    first_wrong = CORRECT.count("\n") + 1
    expected = set(range(first_wrong, first_wrong + WRONG.count("\n")))
    assert reported == expected, result.stdout + result.stderr
