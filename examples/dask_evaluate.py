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
import sys
import time

import dask.array as da
import numpy as np

# The helpers are installed with tavo (tavo_tools.dask); this script is their user.
from tavo_tools.dask import (  # noqa: F401, E402 - re-exported for the tests and other examples
    SUB_BATCH,
    TaskPanic,
    available_cores,
    cached_evaluator,
    cluster_settings,
    count_differing,
    evaluate,
    evaluate_block,
    local_cluster,
    tokenize,
    worker_settings,
)


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
