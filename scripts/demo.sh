#!/usr/bin/env bash
# Sets up a fresh machine (see setup.sh) and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${TAVO_VENV:-.venv}/bin/python" examples/demo.py "$@"
