#!/usr/bin/env bash
# Builds tavo and the C++ unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/asan), installs that module into build/asan-venv, then runs the C++ unit tests
# (ctest) and the whole pytest suite on it. Every report stops the process that made it;
# the run fails when a test fails or a report was written by any process the tests started.
# Needs scripts/setup.sh to have run (runs it when .venv is missing). Arguments, if any,
# replace the test selection given to pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/instrumented_build.sh
# float-cast-overflow is not part of "undefined" in GCC; converting a double outside an
# integer type's range to that type is undefined all the same.
instrumented_build asan TAVO_SANITIZE=address,undefined,float-cast-overflow || exit 1

# allocator_may_return_null: a refused malloc returns null, so the interpreter's own
# allocation failures stay MemoryError. The sanitizer's operator new never throws
# std::bad_alloc, though: it reports and aborts. So the cases in which the system refuses
# one of the module's own allocations cannot run here; their test names say MemoryError and
# they are left out (scripts/test.sh runs them).
asan_common="halt_on_error=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
refused_allocations='^(LagrangeBasis\.ImpossibleNodeCounts|LegendreBasisRefusal\.ImpossibleSizes'
refused_allocations+='|Prolongation\.RefusedAllocationIsBadAlloc)$'

status=0
echo "sanitize: C++ unit tests (address, undefined)"
ASAN_OPTIONS="$asan_common:detect_leaks=1" LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    ctest --test-dir "$build" -j2 --output-on-failure --no-tests=error \
    -E "$refused_allocations" || status=1

# The interpreter is not built with the sanitizer, so its runtime is preloaded, and
# libstdc++ with it: the runtime looks up the real __cxa_throw when it starts, before the
# module brings libstdc++ in. malloc_debug sends every interpreter allocation to the
# sanitizer's malloc and keeps the debug hooks (which check that the lock is held). Leak
# checking is off: the interpreter keeps much of its memory until exit on purpose.
# Reports of the address sanitizer go to files, so that none is lost in the captured
# output of a test's subprocess. Those of the undefined-behaviour one always go to the
# standard error stream: --capture=sys leaves that uncaptured (a report aborts the process,
# and the output pytest had captured would be lost with it), and it is kept in a log, which
# also takes the failure reports the module writes for every PanicException.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="$asan_common:detect_leaks=0:log_path=$reports/asan"
module=$("$python" -c 'import tavo; print(tavo.__file__)') || exit 1
case "$module" in
    "$build-venv"/*) ;;
    *) echo "sanitize: imported $module instead of the sanitized build" >&2; exit 1 ;;
esac
# The property tests run on their own: should one of them stop the interpreter, the rest
# of the suite has still been run.
log="$build/pytest-stderr.log"
: >"$log"
runs=(suite properties)
[ $# -gt 0 ] && runs=(given)
for run in "${runs[@]}"; do
    case $run in
        suite) selection=(--ignore=tests/test_fuzz.py tests) ;;
        properties) selection=(tests/test_fuzz.py) ;;
        given) selection=("$@") ;;
    esac
    echo "sanitize: pytest $run (address, undefined); standard error in $log"
    PYTHONMALLOC=malloc_debug PYTHONDEVMODE=1 "$python" -X faulthandler -m pytest -q \
        -p no:cacheprovider --capture=sys -k "not MemoryError" "${selection[@]}" 2>>"$log"
    pytest_status=$?
    if [ $pytest_status -ne 0 ]; then
        status=1
        # A fatal signal leaves the fault handler's traceback at the end.
        [ $pytest_status -gt 5 ] && tail -n 40 "$log" >&2
    fi
done
unset LD_PRELOAD

if grep -q -E 'runtime error:|ERROR: (Address|Leak)Sanitizer' "$log"; then
    echo "sanitize: reports on standard error:" >&2
    grep -n -A 30 -E 'runtime error:|ERROR: (Address|Leak)Sanitizer' "$log" >&2
    status=1
fi
if compgen -G "$reports/*" >/dev/null; then
    echo "sanitize: reports:" >&2
    cat "$reports"/* >&2
    status=1
fi
exit $status
