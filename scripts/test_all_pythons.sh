#!/usr/bin/env bash
# Runs the Python tests against every distinct CPython on this machine that tavo supports
# (3.9 or newer, with venv and its C headers): python3 and python3.N on the PATH, those in
# /usr/bin and /usr/local/bin, and pyenv's versions. Each gets its own virtual environment,
# set up by setup.sh: the default python3 uses .venv as everywhere else, any other
# build/venv-<name> with its module build in build/module-<name>. TAVO_PYTHONS="path ..."
# names the interpreters instead. Arguments go to pytest. Exits non-zero when any fails.
set -uo pipefail
cd "$(dirname "$0")/.."

candidates=()
if [ -n "${TAVO_PYTHONS:-}" ]; then
    read -ra candidates <<<"$TAVO_PYTHONS"
else
    for name in python3 python3.{9..15}; do
        command -v "$name" >/dev/null && candidates+=("$(command -v "$name")")
    done
    for path in /usr/bin/python3 /usr/bin/python3.[0-9] /usr/bin/python3.[0-9][0-9] \
        /usr/local/bin/python3 /usr/local/bin/python3.[0-9] /usr/local/bin/python3.[0-9][0-9]; do
        [ -x "$path" ] && candidates+=("$path")
    done
    if command -v pyenv >/dev/null; then
        for path in "$(pyenv root)"/versions/*/bin/python3; do
            [ -x "$path" ] && candidates+=("$path")
        done
    fi
fi

# One line per usable interpreter: "<real path of the executable> <version>"; nothing for an
# interpreter that is too old, not CPython, or lacks venv or its headers (a pyenv shim
# without a selected version fails to start and drops out too).
probe='
import os, sys, sysconfig, importlib.util
ok = (sys.implementation.name == "cpython" and sys.version_info >= (3, 9)
      and importlib.util.find_spec("venv") and importlib.util.find_spec("ensurepip")
      and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
if ok:
    print(os.path.realpath(sys.executable), "%d.%d.%d" % sys.version_info[:3])
'
default=$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))' 2>/dev/null)
declare -A seen=()
pythons=()
for candidate in "${candidates[@]}"; do
    read -r real version < <("$candidate" -c "$probe" 2>/dev/null) || continue
    [ -n "${real:-}" ] && [ -z "${seen[$real]:-}" ] || continue
    seen[$real]=1
    pythons+=("$real $version")
done
mapfile -t pythons < <(printf '%s\n' "${pythons[@]}" | sort -k2,2V)
if ((${#pythons[@]} == 0)); then
    echo "test_all_pythons: no usable CPython found" >&2
    exit 1
fi

summary=()
status=0
declare -A names=()
for entry in "${pythons[@]}"; do
    read -r python version <<<"$entry"
    name="cpython-$version"
    [ -n "${names[$name]:-}" ] && name="$name-$(echo "$python" | cksum | cut -d' ' -f1)"
    names[$name]=1
    venv=.venv
    build_dir=""  # setup.sh's default
    if [ "$python" != "$default" ]; then
        venv="build/venv-$name"
        build_dir="build/module-$name"
    fi
    echo "== $name ($python) in $venv"
    start=$SECONDS
    if TAVO_PYTHON="$python" TAVO_VENV="$venv" TAVO_BUILD_DIR="$build_dir" bash scripts/setup.sh &&
        PYTHONDEVMODE=1 "$venv/bin/python" -X faulthandler -m pytest -q tests "$@"; then
        result=passed
    else
        result=FAILED
        status=1
    fi
    summary+=("$(printf '%-22s %-8s %4ss  %s' "$name" "$result" $((SECONDS - start)) "$python")")
done

echo
echo "== Python test suite per interpreter"
printf '%s\n' "${summary[@]}"
exit $status
