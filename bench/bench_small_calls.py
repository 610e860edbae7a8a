"""Small calls of tavo beside the interpreter's own calls of the same shape.

A solver loop in Python pays the fixed cost of one call many times over, so each small call
is measured against a *floor*: a built-in call taking the same kind of arguments and making
the same kind of result, which no extension can undercut by much. Both sides run in this one
process, interleaved (every round times every row once more, in rotated order, and within a
row tavo and its floor alternate which goes first), each call made through a lambda on both
sides. Reported: medians of the rounds, the spread of the per-round ratio (quartiles), and
the target beside it. Raw numbers go to bench/results/small_calls-<time>.json.

The floors:
- one float in, one float out: `math.fabs(t)` (and `math.copysign(t, 1.0)` with a second
  argument);
- a list of k new floats: `array.array('d', ...).tolist()` / `ndarray.tolist()` of k items,
  which make k floats from doubles in C, as tavo does;
- a coefficient read: the extra cost per item of `sum(container)` for a list or tuple (the
  interpreter unboxes every exact float of it in one C loop, the least that reading floats
  from those containers can cost), and of `bytes(ndarray)` for a float64 array (the
  interpreter's bulk read of a buffer: tavo reads such an array the same way);
- set_dofs from a list: `array.array('d', list)`, which unboxes the same floats into a new
  buffer of doubles.

python bench/bench_small_calls.py [--quick] [--rounds N] [--json PATH]
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import math
import platform
import statistics
import sys
import time
from itertools import repeat
from pathlib import Path

import numpy as np
import tavo

RESULTS = Path(__file__).resolve().parent / "results"
T = 2.0
DEGREE = 3


def timed(call, number):
    """Seconds per call of `call` over `number` calls."""
    start = time.perf_counter()
    for _ in repeat(None, number):
        call()
    return (time.perf_counter() - start) / number


def evaluator(n_t, rng, degree=DEGREE):
    e = tavo.LegendreBasisEvaluator(degree, n_t, T)
    e.set_dofs(rng.uniform(-1.0, 1.0, (degree + 1) * n_t).tolist())
    return e


def rows(rng):
    """(name, tavo call, floor call, target) for every row; a target is a ratio, or
    ("plus", ratio, ns) for ratio * floor + ns, or None for a row that only informs."""
    t = 0.7
    math_ = math
    e1 = evaluator(1, rng)
    b1 = tavo.LegendreBasis(DEGREE, 1, T)
    # Ten intervals of the same length as b1's one: t falls at the same place of the first
    # interval on both meshes, so 40 coefficients against 4 differ in the coefficients alone.
    b10 = tavo.LegendreBasis(DEGREE, 10, 10 * T)
    c4 = rng.uniform(-1.0, 1.0, 4).tolist()
    c40 = rng.uniform(-1.0, 1.0, 40).tolist()
    four = array.array("d", [0.1, 0.2, 0.3, 0.4])
    # Degree 0 needs neither the local coordinate nor the recurrence: what its call costs
    # beyond the floor is the entry's own share, the rest of degree 3's is the computation's
    # chain of dependent steps.
    e0 = evaluator(1, rng, degree=0)
    out = [
        ("evaluator.evaluate_at(t)", lambda: e1.evaluate_at(t), lambda: math_.fabs(t), 1.3),
        (
            "evaluator.evaluate_derivative_at(t)",
            lambda: e1.evaluate_derivative_at(t),
            lambda: math_.fabs(t),
            1.3,
        ),
        ("evaluator.evaluate_at(t), degree 0", lambda: e0.evaluate_at(t), lambda: math_.fabs(t),
         None),
        (
            "basis.evaluate_at(t, c), 4 in a list",
            lambda: b1.evaluate_at(t, c4),
            lambda: math_.copysign(t, 1.0),
            1.6,
        ),
    ]
    # Per coefficient: 40 against 4 coefficients in the same container, beside the floor's
    # cost of reading the same items; the row's "tavo" and "floor" are per-item differences.
    for kind, make, read in (
        ("list", list, sum),
        ("tuple", tuple, sum),
        ("float64 array", np.array, bytes),
    ):
        short, long = make(c4), make(c40)
        out.append(
            (
                f"basis.evaluate_at(t, c), 40 in a {kind}",
                lambda s=long: b10.evaluate_at(t, s),
                lambda s=long, read=read: read(s),
                (
                    "per-item",
                    lambda s=short: b1.evaluate_at(t, s),
                    lambda s=short, read=read: read(s),
                    36,
                ),
            )
        )
    out += [
        (
            "basis.evaluate_all_basis_functions(t), n_t = 1",
            lambda: b1.evaluate_all_basis_functions(t),
            lambda: four.tolist(),
            1.3,
        ),
        (
            "basis.evaluate_all_basis_function_derivatives(t), n_t = 1",
            lambda: b1.evaluate_all_basis_function_derivatives(t),
            lambda: four.tolist(),
            1.3,
        ),
    ]
    e10 = evaluator(10, rng)
    for n in (0, 4, 16, 64):
        times = rng.uniform(0.0, T, n)
        out.append(
            (
                f"evaluator.evaluate_many, {n} times",
                lambda a=times: e10.evaluate_many(a),
                lambda a=times: a.tolist(),
                ("plus", 1.5, 150.0),
            )
        )
    times = rng.uniform(0.0, T, 64)
    out.append(
        (
            "evaluator.evaluate_derivative_many, 64 times",
            lambda: e10.evaluate_derivative_many(times),
            lambda: times.tolist(),
            ("plus", 1.5, 150.0),
        )
    )
    for k in (4, 40, 400):
        e = evaluator(k // (DEGREE + 1), rng)
        values = rng.uniform(-1.0, 1.0, k).tolist()
        out.append(
            (
                f"evaluator.set_dofs, {k} floats in a list",
                lambda e=e, v=values: e.set_dofs(v),
                lambda v=values: array.array("d", v),
                1.3,
            )
        )
    return out


def measure(table, rounds, seconds_per_sample):
    """Per row: the per-round seconds of every call that it times."""
    calls = {}
    for name, tavo_call, floor_call, target in table:
        calls[name] = [tavo_call, floor_call]
        if isinstance(target, tuple) and target[0] == "per-item":
            calls[name] += [target[1], target[2]]
    number = {}
    for name, group in calls.items():
        slowest = max(timed(call, 200) for call in group)
        number[name] = max(2000, min(100_000, round(seconds_per_sample / slowest)))
    samples = {name: [[] for _ in group] for name, group in calls.items()}
    names = list(calls)
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            shift = r % len(names)
            for name in names[shift:] + names[:shift]:
                group = list(enumerate(calls[name]))
                if r % 2:
                    group.reverse()
                for i, call in group:
                    samples[name][i].append(timed(call, number[name]))
    finally:
        gc.enable()
    return samples, number


def quartiles(values):
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def summarise(table, samples, number):
    results = []
    for name, _, _, target in table:
        s = samples[name]
        if isinstance(target, tuple) and target[0] == "per-item":
            items = target[3]
            per_round_tavo = [(a - b) / items for a, b in zip(s[0], s[2])]
            per_round_floor = [(a - b) / items for a, b in zip(s[1], s[3])]
            row = {
                "row": name,
                "unit": "ns per further item",
                "tavo_ns": statistics.median(per_round_tavo) * 1e9,
                "floor_ns": statistics.median(per_round_floor) * 1e9,
                "tavo_spread_ns": [v * 1e9 for v in quartiles(per_round_tavo)],
                "floor_spread_ns": [v * 1e9 for v in quartiles(per_round_floor)],
                "call_ns": statistics.median(s[0]) * 1e9,
                "target": "tavo <= floor (or within its quartiles)",
            }
            # A floor of about nothing per item (a bulk copy) is met by a cost that the
            # rounds cannot tell from it.
            row["met"] = (row["tavo_ns"] <= row["floor_ns"]
                          or row["tavo_spread_ns"][0] <= row["floor_spread_ns"][1])
            row["ratio"] = None
            row["ratio_spread"] = None
        else:
            ratios = [a / b for a, b in zip(s[0], s[1])]
            tavo_ns = statistics.median(s[0]) * 1e9
            floor_ns = statistics.median(s[1]) * 1e9
            row = {
                "row": name,
                "unit": "ns per call",
                "tavo_ns": tavo_ns,
                "floor_ns": floor_ns,
                "tavo_spread_ns": [v * 1e9 for v in quartiles(s[0])],
                "floor_spread_ns": [v * 1e9 for v in quartiles(s[1])],
                "ratio": statistics.median(ratios),
                "ratio_spread": list(quartiles(ratios)),
            }
            if target is None:
                row["target"] = "informs"
                row["met"] = None
            elif isinstance(target, tuple):
                _, factor, extra = target
                bound = factor * floor_ns + extra
                row["target"] = f"{factor} x floor + {extra:.0f} ns = {bound:.0f} ns"
                row["met"] = tavo_ns <= bound
            else:
                row["target"] = f"ratio {target}"
                row["met"] = row["ratio"] <= target
        row["calls_per_sample"] = number[name]
        results.append(row)
    return results


def print_table(results, rounds):
    print(f"small calls, {rounds} rounds, medians (quartiles); degree {DEGREE}")
    width = max(len(r["row"]) for r in results)
    print(f"{'call':<{width}}  {'tavo ns':>15}  {'floor ns':>15}  {'ratio':>16}  target")
    for r in results:
        lo, hi = r["tavo_spread_ns"]
        flo, fhi = r["floor_spread_ns"]
        tv = f"{r['tavo_ns']:.1f} ({lo:.0f}-{hi:.0f})"
        fv = f"{r['floor_ns']:.1f} ({flo:.0f}-{fhi:.0f})"
        if r["ratio"] is None:
            ratio = "per item"
        else:
            ratio = f"{r['ratio']:.2f} ({r['ratio_spread'][0]:.2f}-{r['ratio_spread'][1]:.2f})"
        met = {True: ": met", False: ": MISSED", None: ""}[r["met"]]
        print(f"{r['row']:<{width}}  {tv:>15}  {fv:>15}  {ratio:>16}  {r['target']}{met}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter samples, 15 rounds")
    parser.add_argument("--rounds", type=int, help="rounds (at least 15; default 25)")
    parser.add_argument("--json", type=Path, help="where to write the raw numbers")
    args = parser.parse_args(argv)
    rounds = max(15, args.rounds or (15 if args.quick else 25))
    seconds_per_sample = 0.002 if args.quick else 0.005
    rng = np.random.default_rng(21)
    table = rows(rng)
    samples, number = measure(table, rounds, seconds_per_sample)
    results = summarise(table, samples, number)
    print_table(results, rounds)
    path = args.json or RESULTS / time.strftime("small_calls-%Y%m%dT%H%M%S.json")
    path.parent.mkdir(parents=True, exist_ok=True)
    document = {
        "python": sys.version,
        "platform": platform.platform(),
        "rounds": rounds,
        "results": results,
        "samples_s": {name: groups for name, groups in samples.items()},
    }
    path.write_text(json.dumps(document, indent=1))
    print(f"raw numbers: {path}")


if __name__ == "__main__":
    main()
