#!/usr/bin/env bash
# Makes what the later steps of a CI run take from the cache (${TAVO_CACHE:-~/.cache/tavo}):
# what installs Debian packages first, then in the order the run needs it: the interpreters
# of scripts/interpreters.sh, the oneTBB instrumented for ThreadSanitizer, then what
# scripts/arm64.sh and scripts/wheels.sh build with (the cross tools, the arm64 root and its
# wheels, the libraries built with zig, the musl roots and CPythons, the wheel matrix's
# headers).
#
# .ci/run starts it at the lowest priority beside the first sessions: with a warm cache it
# finds everything made within seconds; on a fresh machine it uses the core that the test
# suites leave idle, instead of the sessions building one thing after another later. Every
# step is made again by the script that needs it, where missing (the interpreters and the
# libraries under the cache's locks, so two processes never build one at once), so a failure
# here costs only time. Exits non-zero when a step failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/cross_env.sh

status=0
# step COMMAND...: run in this shell (host_tools sets the PATH the later steps use).
step() {
    local started=$SECONDS
    if "$@"; then
        echo "caches: $* ($((SECONDS - started)) s)"
    else
        echo "caches: $* FAILED" >&2
        status=1
    fi
}

# What installs packages on the machine first, while nothing else of the run does.
step host_tools
step bash scripts/interpreters.sh prepare sid
step bash scripts/interpreters.sh prepare ft
step instrumented_onetbb thread
step arm64_root
step arm64_site
for target in aarch64-linux-musl aarch64-linux-gnu.2.28 x86_64-linux-gnu.2.28 x86_64-linux-musl; do
    kind=shared
    [[ $target == *musl ]] && kind=static
    step onetbb $target $kind
done
step googletest aarch64-linux-musl
for arch in x86_64 aarch64; do
    step musl_root $arch
    step musl_python $arch
done
for version in "${musl_python_versions[@]}"; do
    [ "$version" = "$musl_python_version" ] || step musl_python x86_64 "$version"
done
for python in cpython-3.9 cpython-3.10 cpython-3.11 cpython-3.12 cpython-3.13 cpython-3.13t \
    cpython-3.14 cpython-3.15; do
    for arch in x86_64 aarch64; do
        step bash scripts/interpreters.sh headers $python $arch
    done
done
exit $status
