#!/usr/bin/env bash
# Makes what the later steps of a CI run take from the cache (${TAVO_CACHE:-~/.cache/tavo}):
# what installs Debian packages first, then in the order the run needs it: the interpreters
# of scripts/interpreters.sh, what the aarch64 wheels' checks build with (the cross tools,
# the arm64 root and its wheels, oneTBB built with zig for aarch64, the musl roots and the
# musl CPythons of 3.11), then the rest of what scripts/arm64.sh and scripts/wheels.sh
# build with (the oneTBB instrumented for ThreadSanitizer, oneTBB for x86-64, GoogleTest for
# musl, the other musl CPythons, the wheel matrix's headers).
#
# .ci/run starts it at the lowest priority beside the first sessions: with a warm cache it
# finds everything made within seconds; on a fresh machine it uses the core that the test
# suites leave idle, instead of the sessions building one thing after another later. Every
# step is made again by the script that needs it, where missing (the interpreters and the
# libraries under the cache's locks, so two processes never build one at once), so a failure
# here costs only time. Exits non-zero when a step failed.
#
# --aarch64-job DIR: once what they build with is made, starts the aarch64 wheels' checks
# (scripts/arm64.sh --aarch64-job DIR: half an hour of pytest under qemu) beside the rest,
# and leaves them running; scripts/arm64.sh, told DIR, waits for them.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/cross_env.sh

job=
if [ "${1:-}" = --aarch64-job ]; then
    job=$2
elif (($#)); then
    echo "caches: unknown argument $1" >&2
    exit 2
fi

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
step arm64_root
step arm64_site
step onetbb aarch64-linux-gnu.2.28 shared
step onetbb aarch64-linux-musl static
for arch in x86_64 aarch64; do
    step musl_root $arch
    step musl_python $arch
done
# The job makes again whatever of its own a step above failed to make. The rest goes first
# (the 64-bit Arm session waits for it, then gives the job its own priority): as root, at
# a higher priority than the job's, still far below the sessions'.
if [ -n "$job" ]; then
    bash scripts/arm64.sh --aarch64-job "$job" &
    echo "caches: the aarch64 wheels' checks started (their logs: $job)"
    renice -n 10 -p $$ >/dev/null 2>&1 || true
fi
step instrumented_onetbb thread
for target in x86_64-linux-gnu.2.28 x86_64-linux-musl; do
    kind=shared
    [[ $target == *musl ]] && kind=static
    step onetbb $target $kind
done
step googletest aarch64-linux-musl
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
