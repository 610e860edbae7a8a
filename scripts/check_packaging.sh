#!/usr/bin/env bash
# Installs tavo the three ways users get it, each into a fresh virtual environment under
# /tmp, and checks every install:
#   source  `pip install .` from a clean copy of the source tree;
#   sdist   `python -m build --sdist`, then `pip install` of the archive;
#   wheel   `pip wheel .`, then `pip install` of the wheel once the source copy is gone.
# Each install must import and work before numpy is installed (numpy is only needed by the
# tests, the demo and the benchmarks), then runs the README examples (tests/test_readme.py);
# the wheel also runs tests/test_stubs.py and tests/test_packaging.py (the stubs are
# installed and match the module). tavo itself is always built anew; everything else comes
# from pip's caches and indexes as usual.
#
# The source is the working tree as git sees it (tracked files plus untracked ones that are
# not ignored), so uncommitted work is checked too; TAVO_FROM_HEAD=1 clones the last commit
# instead. TAVO_PYTHON picks the interpreter (default python3), TAVO_PACKAGING_DIR the
# scratch directory (default /tmp/tavo-packaging, emptied first).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python="${TAVO_PYTHON:-python3}"
work="${TAVO_PACKAGING_DIR:-/tmp/tavo-packaging}"
pip=(-m pip install -q --disable-pip-version-check)

step() { printf '\n== [%3ss] %s\n' "$SECONDS" "$*"; }

rm -rf "$work"
mkdir -p "$work/dist" "$work/check"

step "clean source copy in $work/source"
if [ "${TAVO_FROM_HEAD:-0}" = 1 ]; then
    git clone -q "$root" "$work/source"
else
    mkdir "$work/source"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
        tar --null -T - -cf - | tar -xf - -C "$work/source"
fi
# What the checks read, kept apart so that no source or build tree is next to them.
cp -r "$work/source/README.md" "$work/source/tests" "$work/source/stubs" "$work/check/"

new_venv() { "$python" -m venv "$work/venv-$1"; }

# Uses the install in venv NAME without numpy, then runs the given test files with it.
check_install() {
    local name=$1
    shift
    local venv_python="$work/venv-$name/bin/python"
    step "$name: smoke test without numpy"
    (cd "$work" && "$venv_python" - <<'EOF')
import importlib.util
import sys
from array import array

assert importlib.util.find_spec("numpy") is None, "numpy came with the install"
import tavo

assert tavo.__file__.startswith(sys.prefix), tavo.__file__
assert tavo.get_lagrange_points(2, 2, 1.0) == [0.0, 0.25, 0.5, 0.75, 1.0]
evaluator = tavo.LegendreBasisEvaluator(1, 2, 2.0)
evaluator.set_dofs([1.0, 2.0, 3.0, 4.0])
times = array("d", [0.25 * i for i in range(4096)])
assert evaluator.evaluate_many(times) == [evaluator.evaluate_at(t) for t in times]
assert tavo.lagrange_to_legendre_basis_transformation(1, 1) == (
    [0, 0, 1, 1], [0, 1, 0, 1], [0.5, 0.5, -0.5, 0.5])
assert "numpy" not in sys.modules
print("tavo works without numpy:", tavo.__file__)
EOF
    step "$name: $*"
    "$venv_python" "${pip[@]}" pytest numpy scipy >/dev/null
    (cd "$work/check" && "$venv_python" -m pytest -q -p no:cacheprovider "$@")
}

step "source: pip install . (${python})"
new_venv source
"$work/venv-source/bin/python" "${pip[@]}" "$work/source"
check_install source tests/test_readme.py

step "sdist: python -m build --sdist"
new_venv tools
"$work/venv-tools/bin/python" "${pip[@]}" build
"$work/venv-tools/bin/python" -m build -q --sdist --outdir "$work/dist" "$work/source" >/dev/null
sdist=$(ls "$work"/dist/tavo-*.tar.gz)
tar -tzf "$sdist" | grep '/stubs/tavo-stubs/__init__.pyi$' >/dev/null || {
    echo "the sdist lacks the stubs" >&2
    exit 1
}
new_venv sdist
# No cache: a wheel built from an earlier archive of the same name and version is stale.
"$work/venv-sdist/bin/python" "${pip[@]}" --no-cache-dir --no-deps "$sdist"
check_install sdist tests/test_readme.py

step "wheel: pip wheel ."
"$work/venv-tools/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
    -w "$work/dist" "$work/source"
rm -rf "$work/source"
wheel=$(ls "$work"/dist/tavo-*.whl)
"$python" - "$wheel" <<'EOF'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
print("\n".join(names))
assert any(n.startswith("tavo.") and n.endswith(".so") and "/" not in n for n in names)
assert "tavo-stubs/__init__.pyi" in names
EOF
new_venv wheel
"$work/venv-wheel/bin/python" "${pip[@]}" "$wheel"
"$work/venv-wheel/bin/python" "${pip[@]}" mypy >/dev/null
check_install wheel tests/test_readme.py tests/test_stubs.py tests/test_packaging.py

step "all three installs passed"
