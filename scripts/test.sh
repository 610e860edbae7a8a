#!/usr/bin/env bash
# Runs every test on a fresh machine or an old one: the C++ unit tests of the numerical core
# (ctest) and the Python tests of the installed module (pytest), as the task runner's
# `tests` session (noxfile.py). TAVO_ALL_PYTHONS=1 runs the Python tests on every CPython of
# the machine. Arguments go to pytest. Exits non-zero when any test fails or none ran.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bootstrap.sh
exec "$nox" -s tests -- "$@"
