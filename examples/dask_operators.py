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

import numpy as np
import scipy.sparse as sp
import tavo


def _index_dtype(*bounds):
    # The index type of the matrix: int32 while the entries and the columns fit, as scipy does.
    return np.int32 if max(bounds) < 2**31 else np.int64


# ---------------------------------------------------------------------------------------
# Blocks, as tasks run them: numpy arrays (row counts, columns, values) in row-major order


def transformation_block(degree, n_t, k0, m):
    """The entries of intervals k0 .. k0 + m - 1 of the transformation of (degree, n_t), by
    Legendre degree: a list of degree + 1 triples (row counts, columns, values), triple a
    holding global rows a * n_t + k0 .. a * n_t + k0 + m - 1."""
    rows, cols, values = tavo.lagrange_to_legendre_basis_transformation(degree, m)
    rows = np.array(rows, np.int64)
    cols = np.array(cols, np.int64) + k0 * degree
    values = np.array(values, np.float64)
    counts = np.bincount(rows, minlength=(degree + 1) * m)
    # The rows of Legendre degree a are rows a * m .. a * m + m - 1 of the block call, one
    # contiguous run of entries (row-major order).
    ends = np.concatenate([[0], np.cumsum(counts)])[::m]
    index = _index_dtype((degree + 1) ** 2 * n_t, n_t * degree + 1)  # entries, columns
    return [(counts[a * m:(a + 1) * m].astype(index), cols[ends[a]:ends[a + 1]].astype(index),
             values[ends[a]:ends[a + 1]]) for a in range(degree + 1)]


def _reference_nodes_and_weights(degree):
    # As the module computes them: xi_j = -1 + (2 * j) / degree, and the barycentric weights
    # 1 / prod_(m != l) (xi_l - xi_m), the product taken in increasing m.
    nodes = [-1.0 + ((1.0 - -1.0) * float(j)) / float(degree) for j in range(degree + 1)]
    weights = []
    for l_index, l_node in enumerate(nodes):
        p = 1.0
        for m_index, m_node in enumerate(nodes):
            if m_index != l_index:
                p = p * (l_node - m_node)
        weights.append(1.0 / p)
    return nodes, weights


def prolongation_rows(nt_coarse, nt_fine, degree, i0, i1):
    """Rows i0 .. i1 - 1 of `lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)` as
    (row counts, columns, values), with the module's arithmetic in the module's order."""
    if degree < 1 or nt_coarse < 1 or nt_fine < 1:
        raise ValueError("the prolongation needs degree, nt_coarse and nt_fine of at least 1")
    last_fine = nt_fine * degree
    if last_fine >= 2**53 or nt_coarse * degree >= 2**53:
        raise ValueError("node counts from 2**53 on are not exact in float64")
    nodes, weights = _reference_nodes_and_weights(degree)
    # Position of fine node i in coarse intervals: the division first, then the product.
    x = (np.arange(i0, i1, dtype=np.float64) / float(last_fine)) * float(nt_coarse)
    k = np.minimum(np.floor(x), float(nt_coarse - 1))
    delta = x - k
    xi = (delta + delta) + -1.0
    values = np.zeros((i1 - i0, degree + 1))
    # A node within 1e-14 of a reference node takes the value 1 there (the first such node).
    snapped = np.full(i1 - i0, -1)
    for node_index in range(degree, -1, -1):
        snapped[np.abs(xi - nodes[node_index]) < 1e-14] = node_index
    free = snapped < 0
    xi_free = xi[free]
    terms = [weights[j] / (xi_free - nodes[j]) for j in range(degree + 1)]
    total = np.zeros(xi_free.size)
    for term in terms:
        total = total + term
    for j, term in enumerate(terms):
        values[free, j] = term / total
    values[np.flatnonzero(~free), snapped[~free]] = 1.0
    stored = values != 0.0  # NaN is stored, as in the module
    index = _index_dtype((last_fine + 1) * (degree + 1), nt_coarse * degree + 1)
    columns = k.astype(np.int64)[:, None] * degree + np.arange(degree + 1)
    return (stored.sum(axis=1).astype(index), columns[stored].astype(index), values[stored])


# ---------------------------------------------------------------------------------------
# Assembly on the client


def _csr(pieces, shape):
    counts = np.concatenate([piece[0] for piece in pieces])
    index = counts.dtype
    indptr = np.zeros(shape[0] + 1, index)
    np.cumsum(counts, out=indptr[1:])
    indices = np.concatenate([piece[1] for piece in pieces])
    data = np.concatenate([piece[2] for piece in pieces])
    return sp.csr_array((data, indices, indptr), shape=shape)


def _run(client, function, argument_tuples):
    if client is None:
        return [function(*arguments) for arguments in argument_tuples]
    futures = client.map(function, *zip(*argument_tuples), pure=False)
    return client.gather(futures)


def transformation_matrix(degree, n_t, *, block=65_536, client=None):
    """`lagrange_to_legendre_basis_transformation(degree, n_t)` as a scipy csr_array, built by
    blocks of `block` intervals on the Dask client's workers (here without a client)."""
    starts = range(0, n_t, block)
    blocks = _run(client, transformation_block,
                  [(degree, n_t, k0, min(block, n_t - k0)) for k0 in starts])
    # Mode-major rows: all blocks' degree-0 rows first, then their degree-1 rows, ...
    pieces = [blocks[b][a] for a in range(degree + 1) for b in range(len(blocks))]
    return _csr(pieces, ((degree + 1) * n_t, n_t * degree + 1))


def prolongation_matrix(nt_coarse, nt_fine, degree, *, block=1 << 18, client=None):
    """`lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)` as a scipy csr_array, built
    by blocks of `block` fine rows on the Dask client's workers (here without a client)."""
    n_rows = nt_fine * degree + 1
    pieces = _run(client, prolongation_rows,
                  [(nt_coarse, nt_fine, degree, i0, min(i0 + block, n_rows))
                   for i0 in range(0, n_rows, block)])
    return _csr(pieces, (n_rows, nt_coarse * degree + 1))


def triplets(matrix):
    """A csr_array as (rows, cols, values) numpy arrays, in its stored order."""
    rows = np.repeat(np.arange(matrix.shape[0]), np.diff(matrix.indptr))
    return rows, matrix.indices.astype(np.int64), matrix.data


def same_triplets(matrix, expected):
    """Whether a csr_array holds exactly the triplet result `expected` of a module call: the
    same entries in the same order, values equal bit for bit."""
    actual = triplets(matrix)
    expected = (np.array(expected[0], np.int64), np.array(expected[1], np.int64),
                np.array(expected[2], np.float64))
    return all(a.shape == e.shape for a, e in zip(actual, expected)) and (
        np.array_equal(actual[0], expected[0]) and np.array_equal(actual[1], expected[1])
        and np.array_equal(actual[2].view(np.int64), expected[2].view(np.int64)))


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
