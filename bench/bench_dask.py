"""Throughput of tavo on a Dask LocalCluster against one process, and what the settings of
examples/dask_evaluate.py change.

Three measurements, each repeated and interleaved, reported as median and range:
1. throughput: the cluster (examples/dask_evaluate.py as it is) against one process calling
   evaluate_many in batches of 1e5 times (lists discarded, and written into one float64
   array as the cluster's tasks do);
2. the nanny's MALLOC_TRIM_THRESHOLD_: the cluster with the nanny's 65536, without the
   variable (the example's setting) and with a large value, with the workers' CPU seconds and
   minor page faults per million times;
3. the per-worker evaluator cache: many small chunks, the evaluator taken from the cache or
   rebuilt by every task.

The machine may be shared: the figures are medians of several repetitions, with their range.
Run: python bench/bench_dask.py [--quick] [--times N] [--repetitions R] [--workers W]
     [--parts throughput trim cache]
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import platform
import resource
import statistics
import sys
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import tavo

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
import dask_evaluate  # noqa: E402

DEGREE, N_T, END = 3, 100_000, 1.0


def uncached_block(block, degree, n_t, end_time, dofs, sub_batch=dask_evaluate.SUB_BATCH):
    """evaluate_block without the cache: every task builds its own evaluator."""
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, end_time)
    evaluator.set_dofs(np.require(dofs, np.float64, "A"))
    times = np.require(block, np.float64, "A").reshape(-1)
    result = np.empty(times.size)
    for start in range(0, times.size, sub_batch):
        values = evaluator.evaluate_many(times[start:start + sub_batch])
        result[start:start + len(values)] = np.fromiter(values, np.float64, len(values))
    return result


def worker_usage():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime, usage.ru_minflt


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "values": values}


def fmt(stats, scale=1.0, digits=1):
    return (f"{stats['median'] * scale:.{digits}f} "
            f"({stats['min'] * scale:.{digits}f} - {stats['max'] * scale:.{digits}f})")


class Cluster:
    """A LocalCluster of `workers` processes; `trim` is the MALLOC_TRIM_THRESHOLD_ the nanny
    gives the workers (None: none at all)."""

    def __init__(self, workers, trim):
        from distributed import Client

        # The nanny copies its settings into this process's environment before it starts a
        # worker, and workers inherit it: a previous cluster's value must go first.
        os.environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        self.cluster = dask_evaluate.local_cluster(workers, trim_threshold=trim)
        self.client = Client(self.cluster)
        self.settings = dask_evaluate.worker_settings(self.client)

    def run(self, times, function, *args, **kwargs):
        """Seconds to evaluate the persisted `times` into persisted results, and the workers'
        CPU seconds and minor page faults meanwhile."""
        from distributed import wait

        before = self.client.run(worker_usage)
        start = time.perf_counter()
        values = self.client.persist(da.map_blocks(
            function, times, *args, dtype=np.float64, meta=np.empty((0,)), **kwargs))
        wait(values)
        seconds = time.perf_counter() - start
        after = self.client.run(worker_usage)
        del values
        cpu = sum(after[w][0] - before[w][0] for w in after)
        faults = sum(after[w][1] - before[w][1] for w in after)
        return seconds, cpu, faults

    def close(self):
        # Closing drops the persisted times and the scattered coefficients on purpose.
        logging.getLogger("distributed.scheduler").setLevel(logging.CRITICAL)
        self.client.close()
        self.cluster.close()
        logging.getLogger("distributed.scheduler").setLevel(logging.NOTSET)


def throughput(args, dofs):
    n, chunk = args.times, args.chunk
    cluster = Cluster(args.workers, None)
    client = cluster.client
    print(f"cluster: {args.workers} workers, {cluster.settings}")
    times = client.persist(da.random.default_rng(7).uniform(0.0, END, n, chunks=chunk))
    # Gathered arrays arrive at any byte offset: an aligned copy for evaluate_many.
    local_times = np.require(client.compute(times).result(), np.float64, "A")
    token = dask.base.tokenize(DEGREE, N_T, END, dofs)
    scattered = client.scatter(dofs, broadcast=True, hash=False)
    evaluator = tavo.LegendreBasisEvaluator(DEGREE, N_T, END)
    evaluator.set_dofs(dofs)

    def one_process_lists():
        for start in range(0, n, 100_000):
            evaluator.evaluate_many(local_times[start:start + 100_000])

    def one_process_array():
        dask_evaluate.evaluate_block(local_times, token, DEGREE, N_T, END, dofs,
                                     sub_batch=100_000)

    names = ("cluster", "process_lists", "process_array")
    rate, cpu = {name: [] for name in names}, {name: [] for name in names}
    cluster.run(times, dask_evaluate.evaluate_block, token, DEGREE, N_T, END, scattered)  # warm
    one_process_array()
    for _ in range(args.repetitions):
        seconds, cpu_seconds, _ = cluster.run(
            times, dask_evaluate.evaluate_block, token, DEGREE, N_T, END, scattered)
        rate["cluster"].append(n / seconds)
        cpu["cluster"].append(cpu_seconds / n * 1e9)
        for name, call in (("process_lists", one_process_lists),
                           ("process_array", one_process_array)):
            cpu_before = worker_usage()[0]
            start = time.perf_counter()
            call()
            rate[name].append(n / (time.perf_counter() - start))
            cpu[name].append((worker_usage()[0] - cpu_before) / n * 1e9)
    cluster.close()
    return {name: {"times_per_second": summary(rate[name]), "cpu_ns_per_time": summary(cpu[name])}
            for name in names}


def trim(args, dofs):
    """The three settings on three clusters side by side, repetitions interleaved, so that a
    change of the machine's load hits them alike."""
    n, chunk = args.times, args.chunk
    variants = {"nanny default (65536)": 65536, "removed": None, "raised (1 GiB)": 2**30}
    runs = {}
    for label, value in variants.items():
        cluster = Cluster(args.workers, value)
        times = cluster.client.persist(da.random.default_rng(7).uniform(0.0, END, n, chunks=chunk))
        token = dask.base.tokenize(DEGREE, N_T, END, dofs, label)
        scattered = cluster.client.scatter(dofs, broadcast=True, hash=False)
        runs[label] = (cluster, times, (dask_evaluate.evaluate_block, token, DEGREE, N_T, END,
                                        scattered))
        cluster.run(times, *runs[label][2])
    samples = {label: ([], [], []) for label in variants}
    for _ in range(args.repetitions):
        for label, (cluster, times, call) in runs.items():
            seconds, cpu_seconds, page_faults = cluster.run(times, *call)
            rate, cpu, faults = samples[label]
            rate.append(n / seconds)
            cpu.append(cpu_seconds / n * 1e9)
            faults.append(page_faults / n * 1e6)
    results = {}
    for label, (cluster, _, _) in runs.items():
        rate, cpu, faults = samples[label]
        results[label] = {"settings": cluster.settings, "times_per_second": summary(rate),
                          "cpu_ns_per_time": summary(cpu), "faults_per_million": summary(faults)}
        cluster.close()
    return results


def cache(args, dofs):
    n, chunk = args.cache_times, 100_000
    cluster = Cluster(args.workers, None)
    times = cluster.client.persist(da.random.default_rng(7).uniform(0.0, END, n, chunks=chunk))
    token = dask.base.tokenize(DEGREE, N_T, END, dofs, "cache")
    scattered = cluster.client.scatter(dofs, broadcast=True, hash=False)
    cached = (dask_evaluate.evaluate_block, token, DEGREE, N_T, END, scattered)
    uncached = (uncached_block, DEGREE, N_T, END, scattered)
    cluster.run(times, *cached)
    cluster.run(times, *uncached)
    samples = {"cached": [], "rebuilt": []}
    for _ in range(args.repetitions):
        for name, call in (("cached", cached), ("rebuilt", uncached)):
            seconds = cluster.run(times, *call)[0]
            samples[name].append(seconds / (n // chunk) * 1e3)
    cluster.close()
    return {name: summary(values) for name, values in samples.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2e7 times, 3 repetitions")
    parser.add_argument("--times", type=float, default=1e8)
    parser.add_argument("--chunk", type=float, default=1e7)
    parser.add_argument("--cache-times", type=float, default=2e7)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--parts", nargs="+", default=["throughput", "trim", "cache"],
                        choices=["throughput", "trim", "cache"])
    parser.add_argument("--output", default=str(ROOT / "bench" / "results" / "dask.json"))
    args = parser.parse_args(argv)
    if args.quick:
        args.times, args.chunk, args.cache_times, args.repetitions = 2e7, 2e6, 5e6, 3
    args.times, args.chunk = int(args.times), int(args.chunk)
    args.cache_times = int(args.cache_times)

    dofs = np.random.default_rng(2026).uniform(-1.0, 1.0, (DEGREE + 1) * N_T)
    print(f"degree {DEGREE}, n_t = {N_T:,}, {args.times:,} random times in chunks of "
          f"{args.chunk:,}, sub-batches of {dask_evaluate.SUB_BATCH:,}; "
          f"{args.repetitions} repetitions, median (min - max)")
    report = {"machine": {"cpus": dask_evaluate.available_cores(),
                          "processor": platform.processor() or platform.machine(),
                          "python": platform.python_version(), "dask": dask.__version__},
              "arguments": vars(args)}

    if "throughput" in args.parts:
        report["throughput"] = result = throughput(args, dofs)
        print("\nM times per second | CPU ns per time (all threads and worker processes)")
        for name, label in (("cluster", f"cluster, {args.workers} workers"),
                            ("process_lists", "one process, lists (1e5 batches)"),
                            ("process_array", "one process, into an array")):
            print(f"  {label:34} {fmt(result[name]['times_per_second'], 1e-6)} | "
                  f"{fmt(result[name]['cpu_ns_per_time'])}")
    if "trim" in args.parts:
        trim_part(args, dofs, report)
    if "cache" in args.parts:
        cache_part(args, dofs, report)

    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(json.dumps(report, indent=1, default=str))
    print(f"\nraw numbers: {output}")
    return 0


def trim_part(args, dofs, report):
    report["trim"] = result = trim(args, dofs)
    print("\nMALLOC_TRIM_THRESHOLD_ of the workers: M times/s | worker CPU ns per time | "
          "minor page faults per 1e6 times")
    for label, row in result.items():
        seen = sorted({str(w["MALLOC_TRIM_THRESHOLD_"]) for w in row["settings"].values()})
        print(f"  {label:22} (workers see {', '.join(seen)})")
        print(f"  {'':22} {fmt(row['times_per_second'], 1e-6)} | "
              f"{fmt(row['cpu_ns_per_time'])} | {fmt(row['faults_per_million'], 1, 0)}")


def cache_part(args, dofs, report):
    report["cache"] = result = cache(args, dofs)
    print(f"\nms per task of 1e5 times ({args.cache_times:,} times)")
    print(f"  evaluator from the worker's cache  {fmt(result['cached'], 1, 2)}")
    print(f"  evaluator rebuilt by every task    {fmt(result['rebuilt'], 1, 2)}")


if __name__ == "__main__":
    # Spawned workers import the main module again: the clusters start only here. The tasks
    # name this module by its import name, so that workers import it.
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import bench_dask

    sys.exit(bench_dask.main())
