#!/usr/bin/env bash
# Sets up a fresh machine and runs the demo (the task runner's `demo` session); the figure
# goes to build/demo.png unless --figure PATH says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "demo: setting up: system packages if missing, .venv and a build of tavo" \
    "(a minute or two the first time, seconds after that)"
source scripts/bootstrap.sh
exec "$nox" -s demo -- "$@"
