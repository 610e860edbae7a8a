#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the numerical core (ctest), then the Python
# tests of the installed module (pytest). Exits non-zero when any test fails or when a
# suite runs no test at all. TAVO_ALL_PYTHONS=1 runs the Python tests against every CPython
# of the machine instead of .venv's alone (scripts/test_all_pythons.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
venv="${TAVO_VENV:-.venv}"
export PATH="$PWD/$venv/bin:$PATH"

status=0
cmake -S . -B build/cpp -G Ninja -DTAVO_BUILD_MODULE=OFF -DTAVO_BUILD_TESTS=ON \
    -DTAVO_DEVELOPER=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build/cpp || exit 1
ctest --test-dir build/cpp --output-on-failure --no-tests=error || status=1

if [ "${TAVO_ALL_PYTHONS:-0}" = 1 ]; then
    # The Python tests against every CPython of the machine, .venv's included.
    bash scripts/test_all_pythons.sh "$@" || status=1
else
    PYTHONDEVMODE=1 "$venv/bin/python" -X faulthandler -m pytest -q tests "$@" || status=1
fi
exit $status
