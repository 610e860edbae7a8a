#!/usr/bin/env bash
# Builds tavo and the C++ unit tests with ThreadSanitizer (build/tsan), installs that module
# into build/tsan-venv, then runs the C++ unit tests (ctest: among them batches from several
# threads at once on the worker pool) and the Python tests that run batches, set_dofs and
# single-time calls from several threads at once. Any report fails the run;
# tests/tsan.supp lists the ones known to be false, each with its reason.
# Needs scripts/setup.sh to have run (runs it when .venv is missing). Extra arguments go to
# pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/instrumented_build.sh

# oneTBB as Debian ships it is not instrumented: the sanitizer would not see the ordering
# that its hand-over of tasks establishes, and would report the module's own accesses from
# the workers as races. So the same source package is built once with the sanitizer
# (build/tsan-tbb), fetched through a private apt configuration that leaves the system's
# alone.
tbb="$PWD/build/tsan-tbb"
if [ ! -f "$tbb/install/lib/cmake/TBB/TBBConfig.cmake" ]; then
    echo "tsan: building oneTBB with ThreadSanitizer"
    apt_dir="$tbb/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    {
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security" \
            "$codename-security main"
    } >"$apt_dir/sources.list"
    apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
        -o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache")
    source_package=$(dpkg-query -W -f='${source:Package}=${source:Version}' libtbb-dev) || exit 1
    apt-get "${apt_options[@]}" update -qq || exit 1
    rm -rf "$tbb/source"
    mkdir -p "$tbb/source"
    (cd "$tbb/source" && apt-get "${apt_options[@]}" source -qq "$source_package") || exit 1
    tbb_source=$(find "$tbb/source" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    cmake -S "$tbb_source" -B "$tbb/build" -G Ninja -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBB_SANITIZE=thread -DTBB_TEST=OFF \
        -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
        -DTBB_DISABLE_HWLOC_AUTOMATIC_SEARCH=ON -DCMAKE_INSTALL_PREFIX="$tbb/install" \
        -DCMAKE_INSTALL_LIBDIR=lib >/dev/null || exit 1
    { cmake --build "$tbb/build" >/dev/null && cmake --install "$tbb/build" >/dev/null; } || exit 1
fi
export LD_LIBRARY_PATH="$tbb/install/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

instrumented_build tsan TAVO_SANITIZE=thread TBB_DIR="$tbb/install/lib/cmake/TBB" || exit 1

# The runtime cannot map its shadow memory beside a fully randomised address space on
# recent kernels; setarch -R turns the randomisation off for the processes below.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
tsan_common="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"

status=0
# The sanitizer's operator new reports and aborts instead of throwing std::bad_alloc, so
# the tests of allocations that the system refuses cannot run here (scripts/test.sh runs
# them).
refused_allocations='^(LagrangeBasis\.ImpossibleNodeCounts|LegendreBasisRefusal\.ImpossibleSizes'
refused_allocations+='|Prolongation\.RefusedAllocationIsBadAlloc)$'
echo "tsan: C++ unit tests (thread)"
TSAN_OPTIONS="$tsan_common" "${norandom[@]}" \
    ctest --test-dir "$build" -j2 --output-on-failure --no-tests=error \
    -E "$refused_allocations" || status=1

# The interpreter is not instrumented: the runtime is preloaded. The interpreter's lock is a
# pthread mutex and condition variable, which the runtime sees, so it knows the ordering
# that the lock gives the module's code. Reports go to files, so that none is lost in the
# captured output of a test's subprocess.
export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)"
export TSAN_OPTIONS="$tsan_common:log_path=$reports/tsan"
"${norandom[@]}" "$python" -c "import tavo
assert '$tbb/install/lib/libtbb' in open('/proc/self/maps').read(), 'system oneTBB loaded'" \
    || exit 1
echo "tsan: pytest (thread)"
PYTHONMALLOC=malloc "${norandom[@]}" "$python" -X faulthandler -m pytest -q \
    -p no:cacheprovider tests/test_threads.py tests/test_stress.py \
    "tests/test_leaks.py::test_no_leak_while_batches_run_in_other_threads" "$@" || status=1
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
    echo "tsan: reports:" >&2
    cat "$reports"/* >&2
    status=1
fi
exit $status
