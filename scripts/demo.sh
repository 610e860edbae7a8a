#!/usr/bin/env bash
# Sets up a fresh machine (see setup.sh) and runs the demo; the figure goes to build/demo.png
# unless --figure PATH says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "demo: setting up: system packages if missing, .venv and a build of tavo" \
    "(a minute or two the first time, seconds after that)"
bash scripts/setup.sh
echo "demo: running examples/demo.py"
exec "${TAVO_VENV:-.venv}/bin/python" examples/demo.py "$@"
