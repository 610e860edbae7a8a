#!/usr/bin/env bash
# Holds the committed style: clang-format (.clang-format) over every C++ file, as a dry run
# whose differences are errors; clang-tidy (.clang-tidy) over the sources in src/, every
# warning an error; ruff (pyproject.toml) over the Python files. The tools are pinned and
# installed into the project's environment. Exits non-zero on the first tool that objects.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TAVO_VENV:-.venv}"
[ -x "$venv/bin/python" ] || bash scripts/setup.sh
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    clang-format==23.1.3 clang-tidy==23.1.4 ruff==0.17.5
export PATH="$PWD/$venv/bin:$PATH"

mapfile -t cpp_files < <(git ls-files '*.cpp' '*.hpp')
echo "lint: clang-format (${#cpp_files[@]} files)"
clang-format --dry-run --Werror "${cpp_files[@]}"

# A configuration of the module and the C++ tests, for the compile commands alone.
cmake -S . -B build/lint -G Ninja -DTAVO_BUILD_MODULE=ON -DTAVO_BUILD_TESTS=ON \
    -DTAVO_DEVELOPER=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
mapfile -t sources < <(git ls-files 'src/*.cpp')
echo "lint: clang-tidy (${#sources[@]} files)"
clang-tidy -p build/lint --quiet --warnings-as-errors='*' "${sources[@]}"

echo "lint: ruff"
ruff check --quiet .
