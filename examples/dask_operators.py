"""tavo's sparse operators for a large mesh, built by blocks on a Dask cluster.

A single `lagrange_to_legendre_basis_transformation(degree, n_t)` call returns Python lists of
(degree + 1)**2 * n_t entries each (2.5 GB at n_t = 1e6, degree 3). Built by blocks of
intervals on the workers, each block as numpy arrays, and assembled into one
`scipy.sparse.csr_array`, the same matrix needs a fifth of that (0.47 GB), and its entries are
the full call's, bit for bit and in the same order:

- The transformation, by blocks of m intervals starting at interval k0: the call for m
  intervals gives the block's rows, row a * m + j of it being global row a * n_t + k0 + j
  (Legendre degree a, interval k0 + j), and its columns shifted by k0 * degree. Every interval
  applies the same local weights, so the block's entries are the full call's; neighbouring
  blocks share a column (their common node), never an entry.
- The prolongation, by blocks of fine rows. Here a call for a block of the mesh is NOT the
  full call's block: the full call places fine node i at (i / (nt_fine * degree)) * nt_coarse
  in floating point, and a smaller call rounds that position differently, so its values
  differ in the last bits (and, for large meshes, which fine nodes snap onto coarse nodes).
  The blocks are therefore computed from the full mesh's positions with the module's own
  arithmetic, row by row (`prolongation_rows`), which tests/test_dask.py pins to the module
  bit for bit.

Run: python examples/dask_operators.py [SCHEDULER_ADDRESS] [--workers N] [--degree P]
     [--n-t N] [--block N] [--check]
"""

from __future__ import annotations

import argparse
import resource
import sys
import time

import tavo
from tavo_tools.dask import (  # noqa: F401 - re-exported for the tests
    prolongation_matrix,
    prolongation_rows,
    same_triplets,
    transformation_block,
    transformation_matrix,
    triplets,
)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scheduler", nargs="?",
                        help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--degree", type=int, default=3)
    parser.add_argument("--n-t", type=int, default=1_000_000, help="intervals (1e6)")
    parser.add_argument("--block", type=int, default=65_536, help="intervals per block")
    parser.add_argument("--check", action="store_true",
                        help="compare with the full calls (needs their memory)")
    args = parser.parse_args(argv)

    import dask_evaluate
    from distributed import Client

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
        client.upload_file(__file__)
    else:
        print(f"starting a LocalCluster of {args.workers} worker processes ...", flush=True)
        cluster = dask_evaluate.local_cluster(args.workers)
        client = Client(cluster)
    try:
        p, n_t = args.degree, args.n_t
        start = time.perf_counter()
        transformation = transformation_matrix(p, n_t, block=args.block, client=client)
        print(f"transformation ({p}, {n_t:,}): {transformation.nnz:,} entries in "
              f"{time.perf_counter() - start:.2f} s")
        start = time.perf_counter()
        prolongation = prolongation_matrix(n_t // 2, n_t, p, block=args.block * p,
                                           client=client)
        print(f"prolongation ({n_t // 2:,} -> {n_t:,}, {p}): {prolongation.nnz:,} entries in "
              f"{time.perf_counter() - start:.2f} s")
        print(f"peak memory of this process: "
              f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20:.2f} GB")
        if not args.check:
            return 0
        full_transformation = tavo.lagrange_to_legendre_basis_transformation(p, n_t)
        full_prolongation = tavo.lagrange_prolongation_matrix(n_t // 2, n_t, p)
        same = same_triplets(transformation, full_transformation) and same_triplets(
            prolongation, full_prolongation)
        print("both equal the full calls bit for bit" if same else "DIFFERENT from the full calls")
        return 0 if same else 1
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    # As in dask_evaluate.py: the cluster starts only here, and the tasks name this module.
    import dask_operators

    sys.exit(dask_operators.main())
