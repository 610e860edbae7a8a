"""Benchmarks of tavo against the floor (building the result lists from arrays) and its peers.

All contenders of one configuration run in this one process, interleaved: every
repetition calls each of them once more (in rotated order), and the median per call is
kept. Times are drawn from [0, T] and several pre-drawn arrays are cycled between calls.
Raw numbers go to a JSON file, a summary table to the terminal, a plot to a PNG.

Run through bench/run.sh, or: python bench/bench_tavo.py [--quick] [--kernels JSON
[--kernels-two-threads JSON]]
"""

from __future__ import annotations

import argparse
import array
import gc
import itertools
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np
import scipy
import tavo

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers  # noqa: E402

T = 2.0
RESULTS = Path(__file__).resolve().parent / "results"

# Target ratios shown next to the measurements (never enforced here).
FLOOR_TARGET = {1: 1.15, 3: 1.15, 8: 1.15, 16: 1.4}
PEER_TARGET = {3: 0.5, 8: 0.3, 16: 0.25}
# The sparse operators and lists of all basis functions, as (ratio to the peer) targets.
FUNCTION_TARGET = {
    "evaluate_all_basis_functions": ("python_shared_zero", 2.0),
    "evaluate_all_basis_function_derivatives": ("python_shared_zero", 2.0),
    "lagrange_prolongation_matrix": ("numpy", 0.5),
    "lagrange_to_legendre_basis_transformation": ("numpy", 0.3),
    "get_lagrange_points": ("floor", 1.2),
}
LIST_PEERS = ("numpy", "numpy_blocked", "ppoly")


def measure(contenders, repetitions, min_sample):
    """Median seconds per call of every contender, repetitions interleaved."""
    names = list(contenders)
    number = {}
    for name, call in contenders.items():  # warm-up doubles as calibration
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        number[name] = max(1, min(100_000, round(min_sample / max(elapsed, 1e-7))))
    samples = {name: [] for name in names}
    gc.collect()
    gc.disable()
    try:
        for repetition in range(repetitions):
            shift = repetition % len(names)
            for name in names[shift:] + names[:shift]:
                call, count = contenders[name], number[name]
                start = time.perf_counter()
                for _ in range(count):
                    call()
                samples[name].append((time.perf_counter() - start) / count)
    finally:
        gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def rotating(arrays, call):
    """A zero-argument call that feeds the next of `arrays` to `call` each time."""
    cycle = itertools.cycle(arrays)
    return lambda: call(next(cycle))


def time_arrays(rng, n):
    count = max(3, min(64, 4_000_000 // n))
    return [rng.uniform(0.0, T, n) for _ in range(count)]


def evaluator(rng, degree, n_t):
    coefficients = rng.uniform(-1.0, 1.0, (degree + 1) * n_t)
    e = tavo.LegendreBasisEvaluator(degree, n_t, T)
    e.set_dofs(coefficients)
    return e, coefficients


# ---------------------------------------------------------------------------------------
# Agreement of the peers with tavo


def check_peers(rng):
    """Largest |peer - tavo| / max |tavo| per peer and degree over values and derivatives, on
    random times and the interval ends; and whether the list-building peers match tavo."""
    worst = {}
    for degree, n_t in itertools.product((1, 3, 8, 16), (10, 1000)):
        e, c = evaluator(rng, degree, n_t)
        times = np.concatenate([rng.uniform(0.0, T, 1000), (T / n_t) * np.arange(n_t + 1.0)])
        numpy_peer, ppoly = (
            peers.NumpyLegendre(c, degree, n_t, T),
            peers.to_ppoly(c, degree, n_t, T),
        )
        for reference, kernel, spline in (
            (e.evaluate_many(times), numpy_peer.values, ppoly),
            (e.evaluate_derivative_many(times), numpy_peer.derivatives, ppoly.derivative()),
        ):
            reference = np.asarray(reference)
            for name, values in (
                ("numpy", kernel(times)),
                ("numpy_blocked", peers.blocked(kernel, times, 97)),
                ("ppoly", spline(times)),
            ):
                deviation = np.max(np.abs(values - reference)) / np.max(np.abs(reference))
                worst[name, degree] = max(worst.get((name, degree), 0.0), float(deviation))

    def same(a, b):
        a, b = (a, b) if isinstance(a, tuple) else ((a,), (b,))
        return all(
            len(x) == len(y) and np.allclose(x, y, rtol=1e-12, atol=1e-12) for x, y in zip(a, b)
        )

    lists_agree = (
        same(tavo.get_lagrange_points(3, 77, T), peers.lagrange_points(3, 77, T))
        and same(
            tavo.LegendreBasis(3, 77, T).evaluate_all_basis_functions(1.3),
            peers.all_basis_functions(3, 77, T, 1.3),
        )
        and same(tavo.lagrange_prolongation_matrix(7, 50, 3), peers.prolongation(7, 50, 3))
        and same(tavo.lagrange_to_legendre_basis_transformation(3, 9), peers.transformation(3, 9))
    )
    return worst, lists_agree


def report_check(worst, lists_agree):
    numpy_dev = max(v for (name, _), v in worst.items() if name != "ppoly")
    ppoly_low = max(v for (name, degree), v in worst.items() if name == "ppoly" and degree <= 8)
    ppoly_16 = worst.get(("ppoly", 16), math.nan)

    def verdict(value):
        return "ok" if value <= 1e-11 else "LARGE"

    print(
        f"peer check (max |peer - tavo| / max |tavo|, values and derivatives): numpy "
        f"{numpy_dev:.1e} {verdict(numpy_dev)}; PPoly {ppoly_low:.1e} {verdict(ppoly_low)} up to "
        f"degree 8, {ppoly_16:.1e} at degree 16 (power basis about the interval start); "
        f"list peers {'agree' if lists_agree else 'DISAGREE'}"
    )


# ---------------------------------------------------------------------------------------
# The measurements


def bench_evaluate(rng, config, kernel_sizes):
    rows = []
    for degree, n_t in itertools.product(config["degrees"], config["n_t"]):
        e, c = evaluator(rng, degree, n_t)
        numpy_peer, ppoly = (
            peers.NumpyLegendre(c, degree, n_t, T),
            peers.to_ppoly(c, degree, n_t, T),
        )
        dppoly = ppoly.derivative()
        for n in config["sizes"]:
            arrays = time_arrays(rng, n)
            for op, method, kernel, spline in (
                ("value", e.evaluate_many, numpy_peer.values, ppoly),
                ("derivative", e.evaluate_derivative_many, numpy_peer.derivatives, dppoly),
            ):
                if op == "derivative" and n not in config["derivative_sizes"]:
                    continue
                contenders = {
                    "tavo": rotating(arrays, method),
                    "floor": rotating(arrays, np.ndarray.tolist),
                    "numpy": rotating(arrays, lambda t, k=kernel: k(t).tolist()),
                    "numpy_blocked": rotating(
                        arrays, lambda t, k=kernel: peers.blocked(k, t).tolist()
                    ),
                    "ppoly": rotating(arrays, lambda t, s=spline: s(t).tolist()),
                }
                if n_t == 1000 and n in kernel_sizes:
                    contenders["numpy_blocked_array"] = rotating(
                        arrays, lambda t, k=kernel: peers.blocked(k, t)
                    )
                # Calls of a million times and more vary little: fewer repetitions suffice.
                repetitions = (
                    config["repetitions"] if n < 1_000_000 else min(3, config["repetitions"])
                )
                seconds = measure(contenders, repetitions, config["min_sample"])
                rows.append(
                    {
                        "op": op,
                        "degree": degree,
                        "n_t": n_t,
                        "n": n,
                        "ns_per_time": {k: v * 1e9 / n for k, v in seconds.items()},
                    }
                )
                print(".", end="", flush=True)
    print()
    return rows


def traced_bytes(call):
    """The interpreter memory that the result of call() holds, by tracemalloc."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = call()
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    del result
    return held


def shared_zero_list(size, k, stride, values):
    """What plain Python writes for a list of zeros with a few values in it."""
    out = [0.0] * size
    out[k::stride] = values
    return out


def bench_functions(rng, config):
    """The list-returning functions at the sizes of their targets: all basis functions of a
    mesh of 1e5 intervals, the prolongation from 1000 to 100 000 intervals and the
    transformation of 100 000 intervals (degree 3), and the nodes of 1e5 intervals."""
    rows = []
    degree = 3
    repetitions, min_sample = config["repetitions"], config["min_sample"]

    n_t = 100_000
    points = np.array(tavo.get_lagrange_points(degree, n_t, T))
    rows.append(
        (
            "get_lagrange_points",
            points.size,
            measure(
                {
                    "tavo": lambda: tavo.get_lagrange_points(degree, n_t, T),
                    "floor": points.tolist,
                    "numpy": lambda: peers.lagrange_points(degree, n_t, T),
                },
                repetitions,
                min_sample,
            ),
            {},
        )
    )

    basis = tavo.LegendreBasis(degree, n_t, T)
    times = rng.uniform(0.0, T, 16).tolist()
    for name, legendre_values in (
        ("evaluate_all_basis_functions", basis.evaluate_all_basis_functions),
        ("evaluate_all_basis_function_derivatives", basis.evaluate_all_basis_function_derivatives),
    ):
        size = (degree + 1) * n_t
        active = [legendre_values(t) for t in times]
        intervals = [basis.evaluate_all_basis_functions(t).index(1.0) for t in times]
        sparse = [(k, a[k::n_t]) for k, a in zip(intervals, active)]
        rows.append(
            (
                name,
                size,
                measure(
                    {
                        "tavo": rotating(times, legendre_values),
                        "floor": np.array(active[0]).tolist,
                        "python_shared_zero": rotating(
                            sparse, lambda kv, size=size: shared_zero_list(size, kv[0], n_t, kv[1])
                        ),
                    },
                    repetitions,
                    min_sample,
                ),
                {},
            )
        )

    nt_coarse, nt_fine = 1000, 100_000
    triplets = [np.array(x) for x in tavo.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)]
    rows.append(
        (
            "lagrange_prolongation_matrix",
            triplets[0].size,
            measure(
                {
                    "tavo": lambda: tavo.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree),
                    "floor": lambda: tuple(x.tolist() for x in triplets),
                    "numpy": lambda: peers.prolongation(nt_coarse, nt_fine, degree),
                },
                repetitions,
                min_sample,
            ),
            {
                "tavo": traced_bytes(
                    lambda: tavo.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
                ),
                "numpy": traced_bytes(lambda: peers.prolongation(nt_coarse, nt_fine, degree)),
            },
        )
    )

    n_t = 100_000
    triplets = [np.array(x) for x in tavo.lagrange_to_legendre_basis_transformation(degree, n_t)]
    rows.append(
        (
            "lagrange_to_legendre_basis_transformation",
            triplets[0].size,
            measure(
                {
                    "tavo": lambda: tavo.lagrange_to_legendre_basis_transformation(degree, n_t),
                    "floor": lambda: tuple(x.tolist() for x in triplets),
                    "numpy": lambda: peers.transformation(degree, n_t),
                },
                repetitions,
                min_sample,
            ),
            {
                "tavo": traced_bytes(
                    lambda: tavo.lagrange_to_legendre_basis_transformation(degree, n_t)
                ),
                "numpy": traced_bytes(lambda: peers.transformation(degree, n_t)),
            },
        )
    )
    return [
        {"function": f, "entries": n, "ms": {k: v * 1e3 for k, v in s.items()}, "bytes": b}
        for f, n, s, b in rows
    ]


FRESH_SCRIPT = """
import gc, json, statistics, sys, time
import numpy as np
import tavo

op, degree, n, repetitions = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = np.random.default_rng(7)
evaluator = tavo.LegendreBasisEvaluator(degree, 1000, 2.0)
evaluator.set_dofs(rng.uniform(-1.0, 1.0, 1000 * (degree + 1)))
method = evaluator.evaluate_many if op == "value" else evaluator.evaluate_derivative_many
times = rng.uniform(0.0, 2.0, n)
samples = {"tavo": [], "floor": []}
gc.disable()
for _ in range(repetitions):
    for name, call in (("tavo", method), ("floor", np.ndarray.tolist)):
        start = time.perf_counter()
        result = call(times)
        samples[name].append(time.perf_counter() - start)
        del result
print(json.dumps({k: statistics.median(v) * 1e9 / n for k, v in samples.items()}))
"""


def bench_fresh_process(config):
    """evaluate_many and evaluate_derivative_many in processes of their own, with no warm-up:
    repeated calls of one size, each result freed before the next call, the floor measured
    in the same process."""
    rows = []
    for op, degree, n in itertools.product(
        ("value", "derivative"), config["degrees"], config["fresh_sizes"]
    ):
        run = subprocess.run(
            [
                sys.executable,
                "-c",
                FRESH_SCRIPT,
                op,
                str(degree),
                str(n),
                str(config["fresh_repetitions"]),
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        rows.append({"op": op, "degree": degree, "n": n, "ns_per_time": json.loads(run.stdout)})
        print(".", end="", flush=True)
    print()
    return rows


def bench_set_dofs(rng, config):
    n = 1_000_000
    degree, n_t = 3, n // 4
    e = tavo.LegendreBasisEvaluator(degree, n_t, T)
    arrays = [rng.uniform(-1.0, 1.0, n) for _ in range(2)]
    lists = [a.tolist() for a in arrays]
    seconds = measure(
        {
            "tavo_list": rotating(lists, e.set_dofs),
            "array.array": rotating(lists, lambda v: array.array("d", v)),
            "tavo_ndarray": rotating(arrays, e.set_dofs),
            "ndarray.copy": rotating(arrays, np.ndarray.copy),
        },
        config["repetitions"],
        config["min_sample"],
    )
    return {"n": n, "ms": {k: v * 1e3 for k, v in seconds.items()}}


def bench_call_overhead(rng, config):
    e, _ = evaluator(rng, 3, 1000)
    per_loop = 10_000
    lists = [rng.uniform(0.0, T, per_loop).tolist() for _ in range(8)]

    def tavo_loop(times, f=e.evaluate_at):
        for t in times:
            f(t)

    def copysign_loop(times, f=math.copysign):
        for t in times:
            f(t, 1.0)

    def empty_loop(times):
        for _ in times:
            pass

    seconds = measure(
        {
            "evaluate_at": rotating(lists, tavo_loop),
            "math.copysign": rotating(lists, copysign_loop),
            "empty loop": rotating(lists, empty_loop),
        },
        config["repetitions"],
        config["min_sample"],
    )
    return {k: v * 1e9 / per_loop for k, v in seconds.items()}


# ---------------------------------------------------------------------------------------
# Report


def best_peer(row):
    return min(((row["ns_per_time"][p], p) for p in LIST_PEERS), key=lambda x: x[0])


def mark(ratio, target):
    if target is None:
        return f"{ratio:5.2f}       "
    return f"{ratio:5.2f} {'<=' if ratio <= target else '> '}{target:<4} "


def print_evaluate(rows, sizes):
    big = [n for n in sizes if n >= 100_000]
    print(
        "\nevaluate_many / evaluate_derivative_many: ns per time at the largest n, "
        "ratios worst over n >= 1e5 (target)"
    )
    all_sizes = " ".join(f"{n:.0e}".replace("e+0", "e") for n in sorted({r["n"] for r in rows}))
    print(
        f"{'op':<10} {'deg':>3} {'n_t':>5} {'tavo':>7} {'floor':>7} {'peer':>7}  "
        f"{'tavo/floor':<15}{'tavo/best peer':<15}{'best peer':<14}tavo/floor at {all_sizes}"
    )
    groups = {}
    for row in rows:
        groups.setdefault((row["op"], row["degree"], row["n_t"]), []).append(row)
    for (op, degree, n_t), group in groups.items():
        group.sort(key=lambda r: r["n"])
        last = group[-1]
        peer_ns, peer_name = best_peer(last)
        judged = [r for r in group if r["n"] in big] or group
        floor_ratio = max(r["ns_per_time"]["tavo"] / r["ns_per_time"]["floor"] for r in judged)
        peer_ratio = max(r["ns_per_time"]["tavo"] / best_peer(r)[0] for r in judged)
        by_n = " ".join(
            f"{r['ns_per_time']['tavo'] / r['ns_per_time']['floor']:.2f}" for r in group
        )
        print(
            f"{op:<10} {degree:>3} {n_t:>5} {last['ns_per_time']['tavo']:7.1f} "
            f"{last['ns_per_time']['floor']:7.1f} {peer_ns:7.1f}  "
            f"{mark(floor_ratio, FLOOR_TARGET[degree])}  "
            f"{mark(peer_ratio, PEER_TARGET.get(degree))}  "
            f"{peer_name:<14}{by_n}"
        )


def print_fresh(rows):
    print("\nthe same in fresh processes (no allocator warm-up), ns per time and tavo/floor")
    print(f"{'op':<10} {'deg':>3} {'n':>8} {'tavo':>7} {'floor':>7}  tavo/floor")
    for row in rows:
        ns = row["ns_per_time"]
        print(
            f"{row['op']:<10} {row['degree']:>3} {row['n']:>8} {ns['tavo']:7.2f} "
            f"{ns['floor']:7.2f}  {mark(ns['tavo'] / ns['floor'], FLOOR_TARGET[row['degree']])}"
        )


def print_others(functions, set_dofs, overhead):
    print(
        f"\n{'function':<42} {'entries':>8} {'tavo ms':>8} {'peer ms':>8}  {'peer':<19} "
        f"tavo/peer    memory: tavo/numpy"
    )
    for row in functions:
        ms = row["ms"]
        peer, target = FUNCTION_TARGET[row["function"]]
        memory = ""
        if row["bytes"]:
            memory = (
                f"{row['bytes']['tavo'] / 2**20:.1f} / {row['bytes']['numpy'] / 2**20:.1f} "
                f"MiB = {mark(row['bytes']['tavo'] / row['bytes']['numpy'], 0.4)}"
            )
        print(
            f"{row['function']:<42} {row['entries']:>8} {ms['tavo']:8.2f} {ms[peer]:8.2f}  "
            f"{peer:<19} {mark(ms['tavo'] / ms[peer], target)} {memory}"
        )
    ms = set_dofs["ms"]
    print(
        f"set_dofs of {set_dofs['n']:.0e}: list {ms['tavo_list']:.2f} ms vs array.array "
        f"{ms['array.array']:.2f} ms -> {mark(ms['tavo_list'] / ms['array.array'], 1.2)}; "
        f"ndarray {ms['tavo_ndarray']:.2f} ms vs copy {ms['ndarray.copy']:.2f} ms -> "
        f"{mark(ms['tavo_ndarray'] / ms['ndarray.copy'], 3.0)}"
    )
    print(
        f"evaluate_at (degree 3): {overhead['evaluate_at']:.1f} ns per call vs math.copysign "
        f"{overhead['math.copysign']:.1f} ns -> "
        f"{mark(overhead['evaluate_at'] / overhead['math.copysign'], 2.0)}"
        f"(empty loop {overhead['empty loop']:.1f} ns)"
    )


def read_kernels(path, mode):
    """Median ns per time of every C++ kernel benchmark in the JSON file at `path`, keyed
    (op, mode, degree, n)."""
    if path is None or not Path(path).exists():
        return {}, {}
    data = json.loads(Path(path).read_text())
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        op, _, degree, n = b["run_name"].split("/")[:4]
        key = (op, mode, int(degree.split(":")[1]), int(n.split(":")[1]))
        runs[key] = {"ns": b["ns_per_time"]}
    return runs, data.get("context", {})


def print_kernels(kernels, rows):
    if not kernels:
        return
    numpy_array = {
        (r["op"], r["degree"], r["n"]): r["ns_per_time"]["numpy_blocked_array"]
        for r in rows
        if "numpy_blocked_array" in r["ns_per_time"]
    }
    print(
        "\nC++ batch kernels (n_t = 1000), ns per time of the computation alone; "
        "blocked numpy without lists from this process"
    )
    print(
        f"{'op':<10} {'deg':>3} {'n':>8} {'1 thread':>9} {'2 threads':>9} {'numpy':>7}  "
        f"{'1 thread/numpy':<16}speed-up"
    )
    for (op, mode, degree, n), run in sorted(
        kernels.items(), key=lambda kv: (kv[0][0] != "value", kv[0])
    ):
        if mode != "one":
            continue
        one = run["ns"]
        two = kernels.get((op, "two", degree, n), {"ns": math.nan})["ns"]
        blocked = numpy_array.get((op, degree, n), math.nan)
        print(
            f"{op:<10} {degree:>3} {n:>8} {one:9.2f} {two:9.2f} {blocked:7.1f}  "
            f"{mark(one / blocked, 0.35 if degree >= 3 else None)}  "
            f"{one / two:5.2f} {'>=' if one / two >= 1.8 else '< '}1.8"
        )


def plot(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    selected = [r for r in rows if r["op"] == "value" and r["n_t"] == 1000]
    degrees = sorted({r["degree"] for r in selected})
    if not degrees:
        return None
    fig, axes = plt.subplots(
        1, len(degrees), figsize=(4.2 * len(degrees), 4), sharey=True, squeeze=False
    )
    labels = {
        "tavo": "tavo evaluate_many",
        "floor": "floor: ndarray.tolist()",
        "numpy": "numpy + tolist",
        "numpy_blocked": "blocked numpy + tolist",
        "ppoly": "PPoly + tolist",
        "numpy_blocked_array": "blocked numpy, no list",
    }
    for ax, degree in zip(axes[0], degrees):
        group = sorted((r for r in selected if r["degree"] == degree), key=lambda r: r["n"])
        for name, label in labels.items():
            points = [(r["n"], r["ns_per_time"][name]) for r in group if name in r["ns_per_time"]]
            if points:
                ax.loglog(
                    *zip(*points),
                    "o-" if name == "tavo" else ".--",
                    label=label,
                    lw=2 if name == "tavo" else 1,
                )
        ax.set_title(f"degree {degree}, n_t = 1000")
        ax.set_xlabel("number of times")
        ax.grid(True, which="both", alpha=0.3)
    axes[0][0].set_ylabel("ns per time")
    axes[0][0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return path


# ---------------------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="reduced matrix, well under a minute")
    parser.add_argument("--repetitions", type=int, help="repetitions per measurement")
    parser.add_argument("--kernels", help="JSON of the C++ kernel benchmark on one thread")
    parser.add_argument("--kernels-two-threads", help="the same on two threads")
    parser.add_argument("--out", default=str(RESULTS / "latest.json"))
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)

    if args.quick:
        config = {
            "sizes": [100_000, 1_000_000],
            "derivative_sizes": [100_000, 1_000_000],
            "degrees": [1, 3, 8, 16],
            "n_t": [1000],
            "fresh_sizes": [100_000],
            "fresh_repetitions": 15,
            "repetitions": 3,
            "min_sample": 0.005,
        }
    else:
        config = {
            "sizes": [1_000, 10_000, 100_000, 1_000_000, 4_000_000],
            "derivative_sizes": [1_000, 10_000, 100_000, 1_000_000, 4_000_000],
            "degrees": [1, 3, 8, 16],
            "n_t": [10, 1000],
            "fresh_sizes": [100_000, 1_000_000],
            "fresh_repetitions": 31,
            "repetitions": 7,
            "min_sample": 0.02,
        }
    if args.repetitions:
        config["repetitions"] = args.repetitions

    rng = np.random.default_rng(20_260_101)
    kernels, kernel_context = read_kernels(args.kernels, "one")
    kernels.update(read_kernels(args.kernels_two_threads, "two")[0])
    kernel_sizes = {key[3] for key in kernels} or {100_000, 1_000_000}
    started, load_at_start = time.perf_counter(), os.getloadavg()[0]
    worst, lists_agree = check_peers(rng)
    report_check(worst, lists_agree)

    print("evaluate_many", end=" ", flush=True)
    evaluate_rows = bench_evaluate(rng, config, kernel_sizes)
    print("fresh processes", end=" ", flush=True)
    fresh_rows = bench_fresh_process(config)
    functions = bench_functions(rng, config)
    set_dofs = bench_set_dofs(rng, config)
    overhead = bench_call_overhead(rng, config)

    print_evaluate(evaluate_rows, config["sizes"])
    print_fresh(fresh_rows)
    print_others(functions, set_dofs, overhead)
    print_kernels(kernels, evaluate_rows)

    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    results = {
        "meta": {
            "quick": args.quick,
            "config": config,
            "python": platform.python_version(),
            "numpy": np.__version__,
            "scipy": scipy.__version__,
            "machine": platform.machine(),
            "seconds": time.perf_counter() - started,
            "kernel_context": kernel_context,
            "load_average": [load_at_start, os.getloadavg()[0]],
        },
        "peer_check": {
            "max_relative_deviation": {f"{p} degree {d}": v for (p, d), v in worst.items()},
            "list_peers_agree": lists_agree,
        },
        "evaluate": evaluate_rows,
        "evaluate_fresh_process": fresh_rows,
        "functions": functions,
        "set_dofs": set_dofs,
        "call_overhead_ns": overhead,
        "kernels_ns_per_time": [
            {"op": k[0], "mode": k[1], "degree": k[2], "n": k[3], **v}
            for k, v in sorted(kernels.items())
        ],
    }
    out.write_text(json.dumps(results, indent=1))
    figure = None if args.no_plot else plot(evaluate_rows, out.with_name("evaluate_many.png"))
    print(
        f"\nraw numbers: {out}"
        + (f"; plot: {figure}" if figure else "")
        + f"; {time.perf_counter() - started:.0f} s; load average {load_at_start:.1f} at start, "
        f"{os.getloadavg()[0]:.1f} at end (wall-clock figures are noisy when it exceeds the CPUs)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
