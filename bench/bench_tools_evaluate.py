"""tavo_tools.evaluate beside evaluate_many + np.fromiter, side by side in one process.

Both make the same float64 array of values at the same times (checked bit for bit); the
rounds alternate which goes first. Prints the median ratio and its range.

python bench/bench_tools_evaluate.py [--times N] [--rounds R]
"""

import argparse
import statistics
import time

import numpy as np
import tavo
import tavo_tools


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--times", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=15)
    options = parser.parse_args()

    evaluator = tavo.LegendreBasisEvaluator(3, 1000, 2.0)
    evaluator.set_dofs(np.random.default_rng(1).random(4000))
    times = np.random.default_rng(2).random(options.times) * 2.0
    out = np.empty_like(times)

    def tools():
        return tavo_tools.evaluate(evaluator, times, out=out)

    def floor():
        return np.fromiter(evaluator.evaluate_many(times), dtype=np.float64, count=len(times))

    assert np.array_equal(tools().view(np.uint64), floor().view(np.uint64))
    ratios = []
    for round_ in range(options.rounds):
        order = (tools, floor) if round_ % 2 == 0 else (floor, tools)
        elapsed = {}
        for call in order:
            start = time.perf_counter()
            call()
            elapsed[call] = time.perf_counter() - start
        ratios.append(elapsed[tools] / elapsed[floor])
    print(f"tavo_tools.evaluate / (evaluate_many + np.fromiter), {options.times} times: "
          f"median {statistics.median(ratios):.2f} (range {min(ratios):.2f}-{max(ratios):.2f}, "
          f"{options.rounds} rounds); target 1.3")


if __name__ == "__main__":
    main()
