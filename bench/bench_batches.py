"""The batch paths (evaluate_many, evaluate_derivative_many) of one interpreter: the median
time per call over interleaved repetitions, as JSON on standard output. Run it under two
interpreters (e.g. 3.13 and the free-threaded 3.13t, each with tavo installed) and compare:

    python bench/bench_batches.py > a.json; python3.13t bench/bench_batches.py > b.json
"""

import json
import statistics
import sys
import sysconfig
import time

import numpy as np
import tavo

SIZES = [1_000, 20_000, 1_000_000]
REPETITIONS = {1_000: 2001, 20_000: 301, 1_000_000: 21}


def main():
    e = tavo.LegendreBasisEvaluator(3, 64, 2.0)
    e.set_dofs(np.linspace(-1.0, 1.0, 256))
    rng = np.random.default_rng(5)
    results = {}
    for n in SIZES:
        times = [rng.uniform(0.0, 2.0, n) for _ in range(4)]
        methods = {"evaluate_many": e.evaluate_many,
                   "evaluate_derivative_many": e.evaluate_derivative_many}
        samples = {name: [] for name in methods}
        for r in range(REPETITIONS[n]):
            for name, method in methods.items():
                t = times[r % len(times)]
                start = time.perf_counter()
                method(t)
                samples[name].append(time.perf_counter() - start)
        for name, values in samples.items():
            results[f"{name} n={n}"] = statistics.median(values[len(values) // 10:])
    json.dump({"python": sys.version.split()[0],
               "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
               "seconds per call": results}, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
