#!/usr/bin/env bash
# 64-bit Arm, with the GNU C library and with musl, checked on this x86-64 machine under
# qemu-user (no Arm hardware; nothing is registered with the kernel), and the portable
# wheels:
#
#   1. the C++ unit tests of the core for aarch64 glibc (Debian's cross compiler and arm64
#      packages) and aarch64 musl (zig; oneTBB and GoogleTest built here; one fully static
#      binary), each run under qemu;
#   2. scripts/wheels.sh --check --all: the manylinux and musllinux wheels for x86-64 and
#      aarch64 and every supported CPython; the aarch64 wheels' pytest runs under qemu are
#      the Python suite on 64-bit Arm, the musllinux x86-64 one runs it on a musl CPython
#      natively, and every x86-64 wheel is imported by its own interpreter (--smoke); the
#      aarch64 wheels of the machine's CPython are made and checked in the background (qemu
#      keeps one core busy for most of the run), those of the other CPythons after the
#      x86-64 ones, beside it. In CI the first of those starts earlier still, beside the
#      first sessions (see below);
#   3. the bit dump (tests/bitdump) of five builds: x86-64 with the machine's compiler and
#      with zig (the wheel's), aarch64 glibc with Debian's cross compiler and with zig (the
#      wheel's), aarch64 musl with zig. Every result must have the same bits on all of them;
#      only NaNs may differ (in sign), so the dump prints every NaN as "nan".
#
# Needs root (or sudo) for apt-get, the machine's package archive and PyPI; run as
# `nox -s arm64`. The tools, the arm64 root and the library builds are kept in the cache
# (${TAVO_CACHE:-~/.cache/tavo}), the builds of tavo under build/cross and build/wheels, so a
# second run only rebuilds what changed. Exits non-zero
# when a test fails, a bit differs, or a step ran no test.
#
# `arm64.sh --aarch64-job DIR` runs only the checks of the machine's CPython's two aarch64
# wheels, side by side (at the end of a run, nothing else is left for the second core), in
# an environment of their own, holding DIR/lock while they run; their output goes to
# DIR/KIND.log, their exit status to DIR/status. This script runs them so in the
# background; .ci/run has scripts/caches.sh start them beside its first sessions instead,
# and exports TAVO_AARCH64_JOB=DIR, so that this script, later in the run, waits for those.
# Their Python-level bit dumps are compared here, with this script's environment's.
set -uo pipefail
cd "$(dirname "$0")/.."
aarch64_kinds=(manylinux-aarch64 musllinux-aarch64)
if [ "${1:-}" = --aarch64-job ]; then
    job=$2
    mkdir -p "$job" && exec 8>"$job/lock" && flock 8 || exit 1
    rm -f "$job/status"
    ps -o sid= -p $$ | tr -d ' ' >"$job/session"
    touch "$job/started"
    began=$SECONDS
    source scripts/cross_env.sh
    # cmake and ninja for the builds, and an interpreter for scripts/wheels.sh, which would
    # otherwise take .venv, which the sessions reinstall meanwhile.
    rm -rf "$job/venv" && python3 -m venv "$job/venv" &&
        "$job/venv/bin/python" -m pip install -q --disable-pip-version-check cmake ninja \
            >"$job/venv.log" 2>&1 || { cat "$job/venv.log"; echo 1 >"$job/status"; exit 1; }
    checks=()
    for kind in "${aarch64_kinds[@]}"; do
        TAVO_VENV=$job/venv TAVO_PYTHON_BITS=later bash scripts/wheels.sh --check "$kind" \
            >"$job/$kind.log" 2>&1 &
        checks+=($!)
    done
    result=0
    for check in "${checks[@]}"; do wait "$check" || result=1; done
    echo $((SECONDS - began)) >"$job/seconds"
    echo $result >"$job/status"
    exit $result
fi
venv="${TAVO_VENV:-.venv}"
[ -x "$venv/bin/python" ] || { echo "arm64: no $venv: run it as nox -s arm64" >&2; exit 1; }
export PATH="$PWD/$venv/bin:$PATH"
set -e
source scripts/cross_env.sh

host_tools
arm64_root
arm64_python
arm64_site
fetch_onetbb_source
for target in aarch64-linux-musl aarch64-linux-gnu.2.28 x86_64-linux-gnu.2.28; do
    zig_target $target
done
set +e

results=()
status=0
# record NAME STATUS STARTED
record() {
    local result=passed
    if [ "$2" -ne 0 ]; then
        result=FAILED
        status=1
    fi
    results+=("$(printf '%-46s %-7s %5ss' "$1" "$result" $((SECONDS - $3)))")
}

logs=$cross/logs
mkdir -p "$logs"
started=$SECONDS
job=${TAVO_AARCH64_JOB:-}
if [ -n "$job" ] && [ -f "$job/started" ]; then
    # From now on at the priority of this script (as root: only root may raise it).
    cross_step "the aarch64 wheels' checks, started beside the first sessions ($job)"
    # shellcheck disable=SC2046
    renice -n 0 -p $(ps -o pid= -s "$(cat "$job/session")") >/dev/null 2>&1 || true
    background=
else
    job=$cross/aarch64-job
    cross_step "background: the aarch64 wheels, pytest under qemu ($job)"
    bash scripts/arm64.sh --aarch64-job "$job" &
    background=$!
fi

# cpp_tests NAME RUNNER CMAKE-ARGS...: a cmake build of the C++ tests and the bit dump, and
# the test binary run once, whole, by RUNNER (the emulator): under qemu, starting a process
# per test as ctest does costs more than the tests themselves.
cpp_tests() {
    local name=$1 dir=$cross/build-$1 runner
    read -ra runner <<<"$2"
    shift 2
    cross_step "$name: C++ unit tests"
    quiet "cmake-$name.log" cmake -S . -B "$dir" -G Ninja "$@" -DCMAKE_BUILD_TYPE=Release \
        -DTAVO_BUILD_MODULE=OFF -DTAVO_BUILD_TESTS=ON -DTAVO_BUILD_BITDUMP=ON \
        -DTAVO_DEVELOPER=ON &&
        quiet "cmake-$name.log" cmake --build "$dir" || return 1
    local log=$logs/tests-$name.log
    if "${runner[@]}" "$dir/tests/cpp/tavo_core_tests" >"$log" 2>&1 &&
        grep -E '^\[  PASSED  \] [1-9][0-9]* tests?\.$' "$log"; then
        return 0
    fi
    cat "$log" >&2
    return 1
}

t=$SECONDS
cpp_tests gcc-aarch64-linux-gnu "qemu-aarch64-static -L $arm64_root_dir" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DTAVO_ARM64_ROOT="$arm64_root_dir"
record "C++ tests, aarch64 glibc (gcc)" $? $t

t=$SECONDS
onetbb aarch64-linux-musl static && googletest aarch64-linux-musl &&
    mapfile -t defines < <(zig_defines aarch64-linux-musl) &&
    cpp_tests zig-aarch64-linux-musl qemu-aarch64-static "${defines[@]/#/-D}" &&
    headers=$(readelf -l -d "$cross/build-zig-aarch64-linux-musl/tests/cpp/tavo_core_tests") &&
    ! grep -E 'INTERP|NEEDED' <<<"$headers"
record "C++ tests, aarch64 musl (zig, static)" $? $t

t=$SECONDS
cross_step "x86-64: bit dump with the machine's compiler"
quiet cmake-gcc-x86_64.log cmake -S . -B "$cross/build-gcc-x86_64" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DTAVO_BUILD_MODULE=OFF -DTAVO_BUILD_BITDUMP=ON &&
    quiet cmake-gcc-x86_64.log cmake --build "$cross/build-gcc-x86_64"
record "bit dump build, x86-64 (gcc)" $? $t

t=$SECONDS
bash scripts/wheels.sh --check --all --smoke manylinux-x86_64
record "wheels: manylinux x86-64, pytest, smoke tests" $? $t

# Fails when the musl CPython cannot be built: the wheel would then be untested.
t=$SECONDS
bash scripts/wheels.sh --check --all --smoke musllinux-x86_64
record "wheels: musllinux x86-64, pytest on musl" $? $t

t=$SECONDS
bash scripts/wheels.sh --others manylinux-aarch64 musllinux-aarch64
record "wheels: aarch64, the other CPythons" $? $t

t=$SECONDS
cross_step "waiting for the aarch64 wheels"
if [ -n "$background" ]; then
    wait "$background"
else
    flock "$job/lock" true
fi
wheel_status=$(cat "$job/status" 2>/dev/null || echo 1)
echo "the aarch64 wheels' checks took $(cat "$job/seconds" 2>/dev/null || echo ?) s;" \
    "this script waited $((SECONDS - t)) s for them"
for kind in "${aarch64_kinds[@]}"; do
    echo "-- $kind ($job/$kind.log)"
    grep -v 'is ignored: it is neither' "$job/$kind.log" | tail -n 12
done
t=$started
record "wheels: aarch64 manylinux, musllinux, pytest under qemu" "$wheel_status" $t

# The dumps, each compared with the first: line by line, NaNs already printed alike.
t=$SECONDS
cross_step "bit dumps"
dumps=$cross/bitdumps
mkdir -p "$dumps"
rm -f "$dumps"/*.txt
program=tests/bitdump/tavo_bitdump
arm=(qemu-aarch64-static -L "$arm64_root_dir")
declare -A programs=(
    [x86_64-gcc]="$cross/build-gcc-x86_64/$program"
    [x86_64-zig-glibc]="$PWD/build/wheels/manylinux-x86_64/build/$program"
    [aarch64-gcc-glibc]="${arm[*]} $cross/build-gcc-aarch64-linux-gnu/$program"
    [aarch64-zig-glibc]="${arm[*]} $PWD/build/wheels/manylinux-aarch64/build/$program"
    [aarch64-zig-musl]="${arm[*]} $cross/build-zig-aarch64-linux-musl/$program"
)
dump_status=0
for name in x86_64-gcc x86_64-zig-glibc aarch64-gcc-glibc aarch64-zig-glibc aarch64-zig-musl; do
    # shellcheck disable=SC2086
    if ! ${programs[$name]} >"$dumps/$name.txt"; then
        echo "bitdump: $name did not run" >&2
        dump_status=1
        continue
    fi
    reference=$dumps/x86_64-gcc.txt
    count=$(tail -n 1 "$dumps/$name.txt")
    if ! [[ $count =~ ^results:\ [1-9][0-9]*$ ]]; then
        echo "bitdump: $name printed no results" >&2
        dump_status=1
    elif cmp -s "$reference" "$dumps/$name.txt"; then
        echo "bitdump: $name: the same bits as x86_64-gcc (${count#results: } results)"
    else
        dump_status=1
        line=$(cmp "$reference" "$dumps/$name.txt" | sed -n 's/.* line \([0-9]*\)$/\1/p')
        section=$(awk -v n="$line" 'NR <= n && /^#/ { h = $0 } NR == n { print h; exit }' \
            "$reference")
        echo "bitdump: $name differs from x86_64-gcc from line $line, in: $section" >&2
        diff "$reference" "$dumps/$name.txt" | head -n 12 >&2
        echo "bitdump: $(diff "$reference" "$dumps/$name.txt" | grep -c '^<') lines differ" >&2
    fi
done
record "bit dumps: 5 builds" $dump_status $t

# The Python-level results of the musllinux aarch64 wheel on musl, which the job leaves to this
# script (scripts/wheels.sh compares the x86-64 one itself), against this environment's.
t=$SECONDS
python_status=0
dump=build/wheels/musllinux-aarch64/bits/aarch64-musl.txt
"$venv/bin/python" scripts/python_bitdump.py >"$dumps/python-x86_64-glibc.txt" &&
    [ -s "$dump" ] && cmp "$dumps/python-x86_64-glibc.txt" "$dump" || python_status=1
if ((python_status)); then
    echo "bitdump: Python on aarch64 musl: missing or different ($dump)" >&2
else
    echo "bitdump: Python on aarch64 musl: the same bits as x86-64 glibc ($(wc -l <"$dump") results)"
fi
record "bit dumps: Python on aarch64 musl" $python_status $t

echo
echo "== 64-bit Arm and wheels ($SECONDS s)"
printf '%s\n' "${results[@]}"
failed=$(printf '%s\n' "${results[@]}" | grep -c FAILED)
echo "arm64: $((${#results[@]} - failed)) passed, $failed failed"
exit $status
