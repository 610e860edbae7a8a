"""What a distribution of tavo holds, and that the module needs nothing beyond itself."""

import tarfile
from importlib import metadata
from pathlib import Path

import pytest
import tavo

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "tavo-stubs" / "__init__.pyi"


def test_install_holds_the_module_and_its_stubs():
    files = {str(file): file for file in metadata.files("tavo")}
    module = Path(tavo.__file__)
    # A single-file extension module at the top level, the stub-only package beside it.
    assert module.name in files
    installed_stub = Path(files["tavo-stubs/__init__.pyi"].locate())
    assert installed_stub.parent.parent == module.parent
    # A stale install would let the stub tests check other stubs than the tree's.
    assert installed_stub.read_text() == STUB.read_text(), "stale install: run nox -s tests"


def test_module_works_without_numpy(child):
    program = """
import sys
from array import array
sys.modules["numpy"] = None  # any import of numpy now fails
import tavo
evaluator = tavo.LegendreBasisEvaluator(1, 2, 2.0)
evaluator.set_dofs([1.0, 2.0, 3.0, 4.0])
assert evaluator.evaluate_many(array("d", [0.5, 1.5])) == [1.0, 2.0]
assert tavo.lagrange_prolongation_matrix(1, 1, 1)[2] == [1.0, 1.0]
"""
    run = child(program)
    assert run.returncode == 0, run.stderr


def test_sdist_holds_what_the_build_and_the_tests_need(tmp_path, monkeypatch):
    build = pytest.importorskip("scikit_build_core.build")
    if not (ROOT / "pyproject.toml").is_file():
        pytest.skip("not in a source tree")
    monkeypatch.chdir(ROOT)
    with tarfile.open(tmp_path / build.build_sdist(str(tmp_path))) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    needed = {
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "src/python/lib.cpp",
        "stubs/tavo-stubs/__init__.pyi",
        "tests/test_readme.py",
        "tests/cpp/CMakeLists.txt",
    }
    assert needed <= names
    assert not {name for name in names if name.split("/")[0] in {"build", ".venv", "dist"}}
