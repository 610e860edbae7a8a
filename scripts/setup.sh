#!/usr/bin/env bash
# Brings a fresh machine to the point where tavo builds: the C++ libraries from the
# system's packages, then a virtual environment (.venv) with the build and test tools and
# tavo itself installed into it. Safe to run again: it only installs what is missing and
# rebuilds incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(libeigen3-dev libtbb-dev libgtest-dev libbenchmark-dev)
missing=()
for package in "${apt_packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python="${TAVO_PYTHON:-python3}"
venv="${TAVO_VENV:-.venv}"
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
echo "setup: Python packages in $venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    scikit-build-core cmake ninja numpy scipy matplotlib pytest hypothesis mypy
# Dask for tests/test_dask.py and the Dask examples, where this Python has wheels of them and
# of what they need; elsewhere the Dask tests are skipped.
if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
    dask distributed; then
    echo "setup: no wheels of dask and distributed for this Python: their tests will be skipped"
fi
tag=$("$venv/bin/python" -c 'import sys; print(f"{sys.implementation.name}{sys.version_info[0]}{sys.version_info[1]}")')
echo "setup: building tavo into $venv"
# Two interpreters of the same version (say the system's and another install) need
# separate build directories: TAVO_BUILD_DIR. (The long option: pip before 23.1 lacks -C.)
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="${TAVO_BUILD_DIR:-build/module-$tag}" \
    --config-settings=cmake.define.TAVO_DEVELOPER=ON .
