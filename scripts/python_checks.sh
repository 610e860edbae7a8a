#!/usr/bin/env bash
# Runs the whole pytest suite on the installed module with the interpreter's own checks on:
# development mode (PYTHONDEVMODE), the debug memory allocators (PYTHONMALLOC=debug, which
# also abort when an allocator is called without the interpreter lock held) and the fault
# handler. Needs scripts/setup.sh to have run (runs it when .venv is missing). Arguments,
# if any, replace the test selection given to pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
venv="${TAVO_VENV:-.venv}"
[ -x "$venv/bin/python" ] || bash scripts/setup.sh || exit 1

[ $# -gt 0 ] || set -- tests
PYTHONDEVMODE=1 PYTHONMALLOC=debug exec "$venv/bin/python" -X faulthandler -X dev \
    -m pytest -q -p no:cacheprovider "$@"
