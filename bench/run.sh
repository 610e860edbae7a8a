#!/usr/bin/env bash
# Builds the C++ kernel benchmark into build/bench, runs it, then runs the Python harness
# (tavo from .venv against the floor and its peers) and merges both into
# bench/results/latest.json. Arguments go to the harness; --quick also shortens the C++ run.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${TAVO_VENV:-.venv}"
python="$venv/bin/python"
cmake="$venv/bin/cmake"
[ -x "$cmake" ] || cmake=cmake
# The generator is chosen when build/bench is first configured; later runs reuse it.
generator=()
if [ ! -f build/bench/CMakeCache.txt ]; then
    if [ -x "$venv/bin/ninja" ]; then
        generator=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$PWD/$venv/bin/ninja")
    elif command -v ninja >/dev/null; then
        generator=(-G Ninja)
    fi
fi

quick=0
for arg in "$@"; do
    [ "$arg" = "--quick" ] && quick=1
done

results=bench/results
mkdir -p "$results"

"$cmake" -S . -B build/bench ${generator[@]+"${generator[@]}"} -DCMAKE_BUILD_TYPE=Release \
    -DTAVO_BUILD_MODULE=OFF -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCHMARKS=ON >/dev/null
"$cmake" --build build/bench --target tavo_kernel_bench >/dev/null

if ((quick)); then
    kernel_flags=(--benchmark_min_time=0.05 --benchmark_repetitions=3 --benchmark_filter=n:100000/)
else
    kernel_flags=(--benchmark_min_time=0.3 --benchmark_repetitions=5)
fi
# The computation alone, on one thread and on two (the calling thread and one worker).
for threads in 1 2; do
    echo "C++ batch kernels on $threads thread(s) (build/bench/bench/cpp/tavo_kernel_bench)"
    RAYON_NUM_THREADS=$threads build/bench/bench/cpp/tavo_kernel_bench "${kernel_flags[@]}" \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$results/kernels-$threads.json" --benchmark_out_format=json \
        2>/dev/null | grep -E '_median|^Benchmark|^-' || true
done
echo
"$python" bench/bench_tavo.py --kernels "$results/kernels-1.json" \
    --kernels-two-threads "$results/kernels-2.json" "$@"
