#!/usr/bin/env bash
# Builds wheels of tavo that install on any recent Linux of their kind, into
# build/wheels/dist, and with --check tests each one as a user would get it:
#
#   manylinux-x86_64    zig c++ for the GNU C library 2.28, with oneTBB built the same way;
#                       auditwheel vendors that oneTBB (renamed, so no other copy of it can
#                       stand in for it) and the C++ runtime is linked in statically.
#                       --check: installed into a fresh virtual environment, the whole
#                       pytest suite.
#   manylinux-aarch64   the same for 64-bit Arm, built by Debian's arm64 CPython under qemu.
#                       --check: installed for that interpreter, pytest under qemu (without
#                       the leak and type-stub tests, which check nothing that depends on the
#                       processor and take most of the time under emulation).
#   musllinux-x86_64    zig c++ for musl, with a static oneTBB: the module needs only the C
#   musllinux-aarch64   library. --check: auditwheel must call it musllinux, and it is
#                       installed into a virtual environment of the musl CPython that
#                       scripts/cross_env.sh builds (musl_python), with the musllinux wheels
#                       of numpy, scipy, pytest and hypothesis, and the whole pytest suite
#                       runs there (natively on x86-64, under qemu on aarch64).
#
# Before the tests, each installed manylinux module must have loaded the oneTBB of its own
# wheel (/proc/self/maps), whatever else the machine has. The manylinux builds also build
# the bit-dump program with the same compiler (scripts/arm64.sh compares its output).
#
# Those are built for the machine's own CPython (3.11). --all builds each of the four kinds
# for every other CPython that tavo supports as well (matrix_pythons), against that
# interpreter's headers (scripts/interpreters.sh headers), without running it: one build
# folder per kind, so the core is compiled once and only the binding once per interpreter.
# --smoke then installs each x86-64 wheel that this run built for its own interpreter (pip
# --target, told the wheel's tags) and runs the check below in it; musllinux ones only where
# scripts/cross_env.sh builds a musl CPython of their version (musl_python_versions: 3.9,
# 3.11, 3.13, 3.13t): the others (3.10, 3.12, 3.14, 3.15, whose source Debian's archives do
# not hold) are checked for what they link against, as every musllinux wheel is.
# --others builds only those other CPythons' wheels (--all without the machine's own), for
# a run that builds and checks the machine's own beside it.
# Arguments: --check, --all, --others, --smoke and the wheels to build (default: all four).
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TAVO_VENV:-.venv}"
[ -x "$venv/bin/python" ] || { echo "wheels: no $venv: run it as nox -s wheels" >&2; exit 1; }
export PATH="$PWD/$venv/bin:$PATH"
source scripts/cross_env.sh
host_tools

check=0 all=0 own=1 smoke=0
targets=()
# Every CPython a wheel is made for; the machine's own (3.11) by the kinds' own builds.
matrix_pythons=(cpython-3.9 cpython-3.10 cpython-3.12 cpython-3.13 cpython-3.13t cpython-3.14
    cpython-3.15)
for arg in "$@"; do
    case $arg in
        --check) check=1 ;;
        --all) all=1 ;;
        --others) all=1 own=0 ;;
        --smoke) smoke=1 ;;
        manylinux-x86_64 | manylinux-aarch64 | musllinux-x86_64 | musllinux-aarch64)
            targets+=("$arg") ;;
        *) echo "wheels: unknown argument $arg" >&2; exit 2 ;;
    esac
done
((${#targets[@]})) ||
    targets=(manylinux-x86_64 manylinux-aarch64 musllinux-x86_64 musllinux-aarch64)

wheels=$PWD/build/wheels
mkdir -p "$wheels/dist"
# The wheels this run has made, a name a line (for --smoke); two runs may share the folder.
built=$(mktemp "$wheels/built.XXXXXX")
trap 'rm -f "$built"' EXIT

# build_wheel NAME PYTHON KEY=VALUE...: scikit-build-core's build hook, run by PYTHON (the
# interpreter decides the wheel's tags), with the given settings, into build/wheels/NAME/raw.
# The build folder (build/wheels/NAME/build) stays, for the next build and for the bit dump.
build_wheel() {
    local name=$1 python=$2
    shift 2
    local out=$wheels/$name
    rm -rf "$out/raw"
    mkdir -p "$out/raw"
    cross_step "$name: building the wheel (log: $out/build.log)"
    # -s: no debug information in the module (zig writes it by default).
    if ! "$python" - "$out/raw" "build-dir=$out/build" \
        "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s" "$@" >"$out/build.log" 2>&1 <<'EOF'; then
import sys
from scikit_build_core.build import build_wheel

settings = dict(argument.split("=", 1) for argument in sys.argv[2:])
print(build_wheel(sys.argv[1], settings))
EOF
        tail -n 40 "$out/build.log" >&2
        return 1
    fi
}

# repair NAME LIBDIR TAG-PATTERN: auditwheel repair, oneTBB taken from LIBDIR; the platform
# tag it gives must match the pattern.
repair() {
    local name=$1 libdir=$2 pattern=$3
    local out=$wheels/$name
    rm -rf "$out/repaired"
    LD_LIBRARY_PATH=$libdir auditwheel repair -w "$out/repaired" "$out"/raw/*.whl \
        >"$out/repair.log" 2>&1 || { cat "$out/repair.log" >&2; return 1; }
    local wheel
    wheel=$(ls "$out"/repaired/*.whl)
    auditwheel show "$wheel" 2>/dev/null | grep -v '^$'
    local tag=${wheel##*/}
    tag=${tag%.whl}
    tag=${tag##*-}
    # Compound tags (manylinux2014_x86_64.manylinux_2_17_x86_64) end in the PEP 600 name.
    if ! [[ $tag =~ ^(.+\.)?($pattern)$ ]]; then
        echo "wheels: $name: got the platform tag $tag, expected $pattern" >&2
        return 1
    fi
    cp "$wheel" "$wheels/dist/"
    echo "${wheel##*/}" >>"$built"
    echo "$name: $(basename "$wheel")"
}

# Run by the installed module's interpreter outside the source tree: the module and oneTBB
# must come from the install (argument 1), and nothing else named libtbb may be mapped.
loaded_from_wheel='
import os, sys, sysconfig
from array import array
import tavo
install = os.path.realpath(sys.argv[1])
assert os.path.realpath(tavo.__file__).startswith(install + os.sep), tavo.__file__
evaluator = tavo.LegendreBasisEvaluator(1, 2, 2.0)
evaluator.set_dofs([1.0, 2.0, 3.0, 4.0])
times = array("d", [0.25 * i for i in range(4096)])  # enough for the worker pool
assert evaluator.evaluate_many(times) == [evaluator.evaluate_at(t) for t in times]
if sysconfig.get_config_var("Py_GIL_DISABLED"):  # importing tavo leaves the lock off
    assert not sys._is_gil_enabled()
with open("/proc/self/maps") as maps:
    tbb = sorted({line.split()[-1] for line in maps if "libtbb" in line})
if sys.argv[2:] == ["static"]:  # a musllinux module holds its oneTBB
    assert not tbb, tbb
else:
    vendored = os.path.join(install, "tavo.libs") + os.sep
    assert tbb and all(path.startswith(vendored) for path in tbb), tbb
print("loaded", tavo.__file__, "and", *(tbb or ["its own oneTBB"]))
'

manylinux_x86_64() {
    local name=manylinux-x86_64 target=x86_64-linux-gnu.2.28
    zig_target $target
    onetbb $target shared
    local defines
    mapfile -t defines < <(zig_defines $target)
    build_wheel $name "$venv/bin/python" "${defines[@]/#/cmake.define.}" \
        cmake.define.TAVO_BUILD_BITDUMP=ON
    repair $name "$(libraries_dir $target)/lib" 'manylinux_2_(1[0-9]|2[0-8])_x86_64'
    ((check)) || return 0
    local env=$wheels/venv-x86_64
    cross_step "$name: fresh virtual environment $env"
    rm -rf "$env"
    python3 -m venv "$env"
    "$env/bin/python" -m pip install -q --disable-pip-version-check pytest numpy scipy \
        hypothesis mypy scikit-build-core "$wheels"/dist/tavo-*-cp311-cp311-manylinux*_x86_64.whl
    local site
    site=$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    (cd "$env" && "$env/bin/python" -c "$loaded_from_wheel" "$site")
    cross_step "$name: pytest"
    PYTHONDEVMODE=1 "$env/bin/python" -X faulthandler -m pytest -q -p no:cacheprovider tests
}

manylinux_aarch64() {
    local name=manylinux-aarch64 target=aarch64-linux-gnu.2.28
    arm64_root
    arm64_python
    arm64_site
    zig_target $target
    onetbb $target shared
    # The interpreter that FindPython asks runs under qemu (CMP0190), and it must be the
    # root's binary itself, not the wrapper script.
    local defines
    mapfile -t defines < <(zig_defines $target)
    build_wheel $name "$arm64_python" "${defines[@]/#/cmake.define.}" \
        cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
        "cmake.define.Python_EXECUTABLE=$arm64_root_dir/usr/bin/python3.11" \
        cmake.define.TAVO_BUILD_BITDUMP=ON
    repair $name "$(libraries_dir $target)/lib" 'manylinux_2_(1[0-9]|2[0-8])_aarch64'
    ((check)) || return 0
    local install=$wheels/install-aarch64 wheel
    wheel=$(ls "$wheels"/dist/tavo-*-cp311-cp311-manylinux*_aarch64.whl)
    rm -rf "$install"
    local platform=${wheel%.whl}
    platform=${platform##*-}
    "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
        --target "$install" --platform "${platform##*.}" --only-binary=:all: "$wheel"
    echo "$install" | replace "$arm64_root_dir/usr/lib/python3/dist-packages/tavo-wheel.pth" 644
    (cd "$install" && "$arm64_python" -c "$loaded_from_wheel" "$install")
    cross_step "$name: pytest under qemu"
    echo "not under qemu: tests/test_leaks.py and tests/test_stubs.py (reference counts and" \
        "the type stubs do not depend on the processor; the x86-64 wheel runs them)"
    # The slowest tests listed: under emulation they decide how long CI takes.
    PYTHONDEVMODE=1 TAVO_EMULATED=1 "$arm64_python" -X faulthandler -m pytest -q \
        -p no:cacheprovider --durations=15 tests --ignore=tests/test_leaks.py \
        --ignore=tests/test_stubs.py
}

# musllinux ARCH: the module built for ARCH-linux-musl, by an interpreter of the machine
# (x86-64) or by Debian's arm64 one under qemu: the tags name CPython 3.11, whose headers it
# is built with.
musllinux() {
    local arch=$1 name=musllinux-$1 target=$1-linux-musl python=$venv/bin/python
    local where=()
    if [ "$arch" = aarch64 ]; then
        arm64_root
        arm64_python
        arm64_site
        python=$arm64_python
        where=(cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW
            "cmake.define.Python_EXECUTABLE=$arm64_root_dir/usr/bin/python3.11")
    fi
    musl_root "$arch"
    zig_target $target
    onetbb $target static
    local defines
    mapfile -t defines < <(zig_defines $target)
    SETUPTOOLS_EXT_SUFFIX=.cpython-311-$target.so build_wheel $name "$python" \
        "${defines[@]/#/cmake.define.}" "${where[@]}"
    musl_repair "$name" "$arch" || return 1
    ((check)) || return 0
    musl_check "$arch" "$(ls "$wheels"/dist/tavo-*-cp311-cp311-musllinux*_$arch.whl)"
}

# musl_repair NAME ARCH: the musllinux wheel of build/wheels/NAME/raw repaired into dist.
# The module must need musl's C library and nothing else: oneTBB and the C++ runtime are
# inside it.
musl_repair() {
    local name=$1 arch=$2 raw
    # zig's musl names the C library libc.so, which musl's loader takes for itself; the
    # musllinux platforms (and auditwheel) know it by the name Alpine gives it.
    raw=$(ls "$wheels/$name"/raw/*.whl)
    "$cross_tools/bin/python" - "$raw" "libc.musl-$arch.so.1" <<'EOF' || return 1
import subprocess
import sys
from pathlib import Path

from auditwheel.wheeltools import InWheelCtx

with InWheelCtx(Path(sys.argv[1]), Path(sys.argv[1])) as wheel:
    for module in Path(wheel.path).glob("tavo.*.so"):
        subprocess.run(["patchelf", "--replace-needed", "libc.so", sys.argv[2], str(module)],
                       check=True)
EOF
    repair "$name" "$(musl_root_dir "$arch")/lib" "musllinux_1_[0-9]+_$arch" || return 1
    local unpacked=$wheels/$name/unpacked needed
    rm -rf "$unpacked"
    "$cross_tools/bin/python" -m zipfile -e "$(ls "$wheels/$name"/repaired/*.whl)" "$unpacked"
    needed=$(readelf -d "$unpacked"/tavo.*.so | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    echo "$name: $(basename "$unpacked"/tavo.*.so) needs: $needed"
    if [ "$needed" != "libc.musl-$arch.so.1" ]; then
        echo "wheels: $name needs more than the C library" >&2
        return 1
    fi
}

# musl_check ARCH WHEEL: the wheel installed into a virtual environment of the musl CPython
# with the musllinux wheels of the test tools, and the whole pytest suite run there.
musl_check() {
    local arch=$1 wheel=$2 name=musllinux-$1 python env=$wheels/venv-musl-$1
    musl_python "$arch"
    python=$(musl_python_dir "$arch")/bin/python3
    local packages=(pytest numpy scipy hypothesis)
    local wheelhouse
    wheelhouse=$cache/musl-wheels-cp311-$arch-$(key "${packages[@]}")
    if ! completed "$wheelhouse"; then
        # The musl CPython has no TLS (no OpenSSL is built for it): the machine's pip
        # fetches the wheels, and the musl one installs them from the folder.
        cross_step "musllinux wheels of ${packages[*]} into $wheelhouse"
        rm -rf "$wheelhouse"
        "$cross_tools/bin/python" -m pip download -q --disable-pip-version-check \
            --only-binary=:all: --platform "musllinux_1_2_$arch" --python-version 3.11 \
            --implementation cp --abi cp311 -d "$wheelhouse" "${packages[@]}"
        finish "$wheelhouse"
    fi
    cross_step "$name: the musl CPython's virtual environment $env"
    rm -rf "$env"
    # Not on musl: tests/test_stubs.py (mypy's compiled wheel stops with an internal error
    # there; the stubs do not depend on the C library).
    local run=() envpython=$env/bin/python ignored=(tests/test_stubs.py)
    if [ "$arch" = aarch64 ]; then
        # As build/cross/arm64-python: the wrapper is sys.executable (-0), so subprocesses
        # run under qemu too, and its folder makes the interpreter find the environment.
        run=(qemu-aarch64-static -L "$(musl_root_dir "$arch")")
        "${run[@]}" "$python" -m venv --without-pip "$env"
        envpython=$env/bin/python-qemu
        replace "$envpython" 755 <<EOF
#!/bin/sh
exec ${run[*]} -0 "\$0" "$env/bin/python$musl_python_version" "\$@"
EOF
        ignored+=(tests/test_leaks.py)
    else
        "$python" -m venv "$env"
    fi
    local site pip=("$envpython" -m pip) where=()
    site=$("$envpython" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    # Under qemu, pip takes minutes, and it learns that the C library is musl by running the
    # loader that the interpreter names, which only qemu can run: the machine's pip installs
    # into the environment's folder instead, told the platform.
    [ "$arch" = aarch64 ] && pip=("$cross_tools/bin/python" -m pip) where=(--target "$site"
        --platform "musllinux_1_2_$arch" --python-version 3.11 --implementation cp
        --abi cp311 --only-binary=:all:)
    "${pip[@]}" install -q --disable-pip-version-check --no-index \
        --find-links "$wheelhouse" "${where[@]}" "${packages[@]}" "$wheel"
    (cd "$env" && "$envpython" -c "$loaded_from_wheel" "$site" static)
    # TAVO_PYTHON_BITS=later (scripts/arm64.sh's job, whose environment has no tavo): the
    # caller compares them.
    cross_step "$name: the Python-level results' bits against x86-64 glibc ($venv)"
    local dumps=$wheels/$name/bits
    mkdir -p "$dumps"
    rm -f "$dumps"/*.txt
    "$envpython" scripts/python_bitdump.py >"$dumps/$arch-musl.txt"
    if [ "${TAVO_PYTHON_BITS:-}" = later ]; then
        echo "$name: $(wc -l <"$dumps/$arch-musl.txt") results, compared by the caller"
    else
        "$venv/bin/python" scripts/python_bitdump.py >"$dumps/x86_64-glibc.txt"
        cmp "$dumps/x86_64-glibc.txt" "$dumps/$arch-musl.txt"
        echo "$name: $(wc -l <"$dumps/$arch-musl.txt") results, the same bits as x86-64 glibc"
    fi
    cross_step "$name: pytest on musl"
    echo "not on musl: tests/test_stubs.py (mypy's compiled wheel fails there)"
    [ "$arch" = aarch64 ] && echo "nor, under qemu, tests/test_leaks.py (as for manylinux)"
    # A process that never ends (as one did before the interpreter had its shutdown fix, see
    # scripts/cross_env.sh) fails the check under a time limit instead of stopping CI.
    local limit=15m
    [ "$arch" = aarch64 ] && limit=40m
    [ "$arch" = aarch64 ] && export TAVO_EMULATED=1
    PYTHONDEVMODE=1 timeout --kill-after=30 "$limit" "$envpython" -X faulthandler -m pytest \
        -q -p no:cacheprovider --durations=15 tests "${ignored[@]/#/--ignore=}"
}

musllinux_x86_64() { musllinux x86_64; }
musllinux_aarch64() { musllinux aarch64; }

# matrix KIND NAME: the wheel of KIND (manylinux-x86_64, ...) for the CPython NAME
# (cpython-3.12, cpython-3.13t), built by the machine's interpreter against NAME's headers,
# with the file names and tags that NAME's own build would give it.
matrix() {
    local kind=$1 python=$2 arch=${1#*-} headers
    local version=${python#cpython-} libc=gnu target=$arch-linux-gnu.2.28 tbb=shared
    [[ $kind == musllinux-* ]] && libc=musl target=$arch-linux-musl tbb=static
    local digits=${version/./} threads=${version//[0-9.]/}
    digits=${digits%t}
    # A musl CPython names its modules' platform linux-musl from 3.11 on; before, as glibc's
    # (linux-gnu): a musl 3.9 or 3.10 finds no -linux-musl module.
    local platform=$arch-linux-$libc
    [ "$libc" = musl ] && ((${digits:1} < 11)) && platform=$arch-linux-gnu
    headers=$(bash scripts/interpreters.sh headers "$python" "$arch") || return 1
    if [ "$arch" = aarch64 ]; then
        arm64_root || return 1
        # The headers for aarch64 are x86-64's with what differs between the two changed:
        # that must give Debian's own where there is one to compare (but for <crypt.h>).
        local debian=$arm64_root_dir/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h ours
        ours=$(bash scripts/interpreters.sh headers cpython-3.11 aarch64)/pyconfig.h || return 1
        cmp <(grep -v HAVE_CRYPT_H "$ours") <(grep -v HAVE_CRYPT_H "$debian") ||
            { echo "wheels: $ours differs from $debian" >&2; return 1; }
    fi
    if [ "$libc" = musl ]; then musl_root "$arch" || return 1; fi
    zig_target $target
    onetbb $target $tbb || return 1
    local defines
    mapfile -t defines < <(zig_defines $target)
    SETUPTOOLS_EXT_SUFFIX=.cpython-$digits$threads-$platform.so \
        build_wheel "$kind-$python" "$venv/bin/python" "${defines[@]/#/cmake.define.}" \
        "cmake.define.TAVO_PYTHON_HEADERS=$headers" "build-dir=$wheels/$kind/build-matrix" \
        "wheel.tags=cp$digits-cp$digits$threads-linux_$arch" || return 1
    if [ "$libc" = musl ]; then
        musl_repair "$kind-$python" "$arch"
    else
        repair "$kind-$python" "$(libraries_dir $target)/lib" \
            "manylinux_2_(1[0-9]|2[0-8])_$arch"
    fi
}

# smoke WHEEL: the x86-64 wheel installed for its own interpreter and the smoke test run
# there, outside the source tree.
smoke() {
    local wheel=$1 file=${1##*/} interpreter abi platform install python
    IFS=- read -r _ _ interpreter abi platform <<<"${file%.whl}"
    local version=${interpreter#cp}
    version=${version:0:1}.${version:1}
    [[ $abi == *t ]] && version+=t
    install=$wheels/smoke/${file%.whl}
    rm -rf "$install"
    "$cross_tools/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
        --target "$install" --platform "${platform##*.}" --python-version "${version%t}" \
        --implementation cp --abi "$abi" --only-binary=:all: "$wheel" || return 1
    if [[ $platform == *musllinux* ]]; then
        if [[ " ${musl_python_versions[*]} " != *" $version "* ]]; then
            echo "smoke: $file: no musl CPython $version here (it needs musl's C library" \
                "alone, checked when it was built)"
            return 0
        fi
        musl_python x86_64 "$version" || return 1
        python=$(musl_python_dir x86_64 "$version")/bin/python3
        (cd "$install" && PYTHONPATH=$install "$python" -c "$loaded_from_wheel" "$install" static)
    else
        PYTHONPATH=$install bash scripts/interpreters.sh run "cpython-$version" -c \
            "$loaded_from_wheel" "$install"
    fi
}

# Each wheel in a subshell of its own that stops at its first failure (a function called
# as the condition of || would run with errexit ignored), the others still run.
status=0
for target in "${targets[@]}"; do
    if ((own)); then
        ("${target//-/_}") &
        wait $! || { status=1; echo "wheels: $target FAILED" >&2; }
    fi
    ((all)) || continue
    for python in "${matrix_pythons[@]}"; do
        (matrix "$target" "$python") &
        wait $! || { status=1; echo "wheels: $target for $python FAILED" >&2; }
    done
done
if ((smoke)); then
    cross_step "smoke test of every x86-64 wheel, each in its own interpreter"
    for wheel in $(grep '_x86_64\.whl$' "$built"); do
        (smoke "$wheels/dist/$wheel") &
        wait $! || { status=1; echo "wheels: smoke test of ${wheel##*/} FAILED" >&2; }
    done
fi
ls -l "$wheels/dist"
exit $status
