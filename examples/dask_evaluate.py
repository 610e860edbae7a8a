"""Evaluating a tavo expansion at a chunked Dask array of times, on a Dask cluster.

The evaluators cannot be pickled, so every worker process builds one from
(degree, n_t, T, dofs) the first time a task needs it and keeps it for later tasks. The
blocks are evaluated in sub-batches of SUB_BATCH times into float64 arrays, and blocks that
arrive misaligned (Dask moves, scatters and gathers arrays at any byte offset, and the batch
methods refuse misaligned buffers) are copied to aligned memory first. `local_cluster`
starts worker processes with the settings that suit tavo: one Dask thread per worker,
`RAYON_NUM_THREADS` = cores / workers for tavo's own pool, and without the nanny's
`MALLOC_TRIM_THRESHOLD_`, which makes glibc map every large buffer anew, page by page.

Run: python examples/dask_evaluate.py [SCHEDULER_ADDRESS] [--workers N] [--times N]
     [--chunk N] [--degree P] [--n-t N] [--end-time T]

Without an address it starts a LocalCluster of worker processes on this machine; with one
(for example tcp://10.0.0.5:8786) it uses that cluster, whose workers need tavo installed.
It evaluates a random expansion at random times and checks a sample of the results against
one process, bit for bit.
"""

from __future__ import annotations

import argparse
import collections
import os
import sys
import threading
import time

import dask
import dask.array as da
import numpy as np
import tavo
from dask.base import tokenize

# Times per call of evaluate_many: large enough for tavo's pool to pay off, small enough that
# the result list of one call (32 bytes per time: 2 MB) is read back while it is still in the
# processor's caches, and that a block never exists as one huge list.
SUB_BATCH = 65_536

# The nanny sets MALLOC_TRIM_THRESHOLD_=65536 in every worker before starting it. Setting it at
# all switches off glibc's adaptive mmap threshold, so every buffer of 128 KiB or more (a block
# of times, a result list, a copy) is mapped and unmapped anew, page by page. None leaves the
# variable out of the nanny's settings (a value exported in the shell still reaches the workers).
TRIM_SETTING = "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_"


def available_cores():
    """The CPUs this process may run on (the affinity mask, as tavo's pool counts them)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def cluster_settings(n_workers, cores=None):
    """LocalCluster arguments: worker processes, one Dask thread each, and tavo's pool
    (RAYON_NUM_THREADS) sized so that all workers together use every core once."""
    cores = available_cores() if cores is None else cores
    return {
        "n_workers": n_workers,
        "threads_per_worker": 1,
        "processes": True,
        "env": {"RAYON_NUM_THREADS": str(max(1, cores // n_workers))},
    }


def local_cluster(n_workers=2, *, trim_threshold=None, **kwargs):
    """A distributed.LocalCluster with tavo's settings; keyword arguments override them.
    `trim_threshold` is the MALLOC_TRIM_THRESHOLD_ the nanny gives the workers (None: none)."""
    from distributed import LocalCluster

    settings = {**cluster_settings(n_workers), "dashboard_address": ":0", **kwargs}
    # The nanny reads its environment settings when it is created.
    with dask.config.set({TRIM_SETTING: trim_threshold}):
        return LocalCluster(**settings)


# ---------------------------------------------------------------------------------------
# On the workers

# Evaluators built in this process, by token; the oldest goes when a ninth arrives.
_EVALUATORS: collections.OrderedDict = collections.OrderedDict()
_EVALUATORS_KEPT = 8
_EVALUATORS_LOCK = threading.Lock()


def cached_evaluator(token, degree, n_t, end_time, dofs):
    """The evaluator of (degree, n_t, end_time, dofs), built once per process and token."""
    with _EVALUATORS_LOCK:
        evaluator = _EVALUATORS.get(token)
        if evaluator is None:
            evaluator = tavo.LegendreBasisEvaluator(degree, n_t, end_time)
            evaluator.set_dofs(np.require(dofs, np.float64, "A"))
            _EVALUATORS[token] = evaluator
            while len(_EVALUATORS) > _EVALUATORS_KEPT:
                _EVALUATORS.popitem(last=False)
        else:
            _EVALUATORS.move_to_end(token)
        return evaluator


def evaluate_block(block, token, degree, n_t, end_time, dofs, derivative=False,
                   sub_batch=SUB_BATCH):
    """The expansion (or its time derivative) at every time of one block, as float64 array
    of the block's shape."""
    # An aligned, native float64 array: a copy only where the block is not one already
    # (np.ascontiguousarray would keep a misaligned block as it is).
    times = np.require(block, np.float64, "A").reshape(-1)
    evaluator = cached_evaluator(token, degree, n_t, end_time, dofs)
    evaluate_many = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
    result = np.empty(times.size)
    for start in range(0, times.size, sub_batch):
        values = evaluate_many(times[start:start + sub_batch])
        # fromiter reads a list of floats faster than an assignment or np.array does.
        result[start:start + len(values)] = np.fromiter(values, np.float64, len(values))
    return result.reshape(np.shape(block))


# ---------------------------------------------------------------------------------------
# On the client


def evaluate(times, degree, n_t, end_time, dofs, *, derivative=False, client=None,
             sub_batch=SUB_BATCH):
    """The expansion with Legendre coefficients `dofs` (mode-major, as `set_dofs` takes them)
    at every time of the Dask array `times`, as a Dask array of float64 of the same chunks.

    With a distributed client (the one given, else the current one) the coefficients are sent
    to every worker once; without one they travel inside the task graph.
    """
    dofs = np.require(dofs, np.float64, ["A", "C"])
    if dofs.shape != ((degree + 1) * n_t,):
        raise ValueError(f"dofs must hold (degree + 1) * n_t = {(degree + 1) * n_t} values, "
                         f"not an array of shape {dofs.shape}")
    token = tokenize(degree, n_t, float(end_time), dofs)
    if client is None:
        client = _current_client()
    if client is not None:
        dofs = client.scatter(dofs, broadcast=True, hash=False)
    return da.map_blocks(
        evaluate_block, da.asarray(times), token, degree, n_t, float(end_time), dofs,
        derivative=derivative, sub_batch=sub_batch, dtype=np.float64,
        meta=np.empty((0,) * np.ndim(times)),
    )


def _current_client():
    try:
        from distributed import get_client
    except ImportError:
        return None
    try:
        return get_client()
    except ValueError:  # no client: Dask's local schedulers
        return None


def count_differing(values, times, degree, n_t, end_time, dofs, *, derivative=False):
    """How many entries of `values` differ in any bit from what one process's evaluate_many
    (or evaluate_derivative_many) gives for `times` (two numpy arrays of equal size)."""
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, end_time)
    evaluator.set_dofs(dofs)
    evaluate_many = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
    expected = np.array(evaluate_many(np.require(times, np.float64, "A")))
    actual = np.asarray(values, np.float64).reshape(-1)
    return int(np.count_nonzero(actual.view(np.int64) != expected.view(np.int64)))


def worker_settings(client):
    """What each worker process sees of the settings above, by worker address."""
    def read():
        return {name: os.environ.get(name)
                for name in ("RAYON_NUM_THREADS", "MALLOC_TRIM_THRESHOLD_")}
    return client.run(read)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scheduler", nargs="?",
                        help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the LocalCluster (default 2)")
    parser.add_argument("--times", type=float, default=2e7, help="number of times (2e7)")
    parser.add_argument("--chunk", type=float, default=1e6, help="times per chunk (1e6)")
    parser.add_argument("--degree", type=int, default=3)
    parser.add_argument("--n-t", type=int, default=100_000)
    parser.add_argument("--end-time", type=float, default=1.0)
    args = parser.parse_args(argv)

    from distributed import Client, wait

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
        # The workers import this module by name: the tasks refer to it, and its evaluator
        # cache lives there.
        client.upload_file(__file__)
    else:
        print(f"starting a LocalCluster of {args.workers} worker processes ...", flush=True)
        cluster = local_cluster(args.workers)
        client = Client(cluster)
    try:
        for address, settings in worker_settings(client).items():
            print(f"worker {address}: {settings}")
        n, chunk = int(args.times), int(args.chunk)
        rng = np.random.default_rng(2026)
        dofs = rng.uniform(-1.0, 1.0, (args.degree + 1) * args.n_t)
        times = da.random.default_rng(7).uniform(0.0, args.end_time, n, chunks=chunk)
        times = times.persist()
        wait(times)
        start = time.perf_counter()
        values = evaluate(times, args.degree, args.n_t, args.end_time, dofs).persist()
        wait(values)
        seconds = time.perf_counter() - start
        print(f"{n:,} times, degree {args.degree}, n_t = {args.n_t:,}: {seconds:.2f} s, "
              f"{n / seconds / 1e6:.1f} M times/s")
        sample = np.sort(np.random.default_rng(1).choice(n, min(n, 100_000), replace=False))
        differing = count_differing(values[sample].compute(), times[sample].compute(),
                                    args.degree, args.n_t, args.end_time, dofs)
        print(f"sample of {sample.size:,} times against one process: "
              f"{'bit-identical' if differing == 0 else f'{differing} DIFFER'}")
        return 0 if differing == 0 else 1
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    # Spawned worker processes import the main module again: everything above is
    # definitions only, and the cluster starts here. The tasks must name this module by its
    # import name, not __main__, so that workers import it (and keep its evaluator cache)
    # instead of receiving a fresh copy of every function with each task.
    import dask_evaluate

    sys.exit(dask_evaluate.main())
