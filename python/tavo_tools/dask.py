"""tavo on a Dask cluster: evaluation into Dask arrays and the sparse operators by blocks.

Evaluators cannot be pickled, so every worker process builds one from (degree, n_t, T, dofs)
the first time a task needs it and keeps it for later tasks. A panic inside a task (a
BaseException, which the scheduler would not take for a task error and would wait on) is
turned into `TaskPanic`, an ordinary exception with the same message, and arguments are
checked on the client before anything is submitted.
"""

from __future__ import annotations

import collections
import copyreg
import os
import threading

import dask
import dask.array as da
import numpy as np
import scipy.sparse as sp
import tavo
from dask.base import tokenize

import tavo_tools


class TaskPanic(RuntimeError):
    """A PanicException raised inside a Dask task, with its message."""


def _refuse_pickling(evaluator):
    raise TypeError(
        "a tavo.LegendreBasisEvaluator cannot be pickled, so it cannot travel to Dask workers "
        "(a closure or task argument that captures one fails to serialize): pass "
        "(degree, n_t, T, dofs) and build the evaluator on the worker, as "
        "tavo_tools.dask.evaluate does")


# Without this the user sees only Dask's "Could not serialize object of type ...".
copyreg.pickle(tavo.LegendreBasisEvaluator, _refuse_pickling)
copyreg.pickle(tavo.LegendreBasis, _refuse_pickling)


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
    ``trim_threshold`` is the ``MALLOC_TRIM_THRESHOLD_`` the nanny gives the workers
    (None: none)."""
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
    of the block's shape. A panic leaves as TaskPanic: the scheduler counts only Exception
    subclasses as task errors, and would otherwise leave the client waiting."""
    panic = tavo_tools.PanicException
    try:
        # An aligned, native float64 array: a copy only where the block is not one already
        # (np.ascontiguousarray would keep a misaligned block as it is).
        times = np.require(block, np.float64, "A").reshape(-1)
        evaluator = cached_evaluator(token, degree, n_t, end_time, dofs)
        many = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
        result = np.empty(times.size)
        for start in range(0, times.size, sub_batch):
            values = many(times[start:start + sub_batch])
            # fromiter reads a list of floats faster than an assignment or np.array does.
            result[start:start + len(values)] = np.fromiter(values, np.float64, len(values))
    except panic as error:
        # The panic's class lives in no importable module, so it cannot be pickled back.
        raise TaskPanic(str(error)) from None
    return result.reshape(np.shape(block))


# ---------------------------------------------------------------------------------------
# On the client


def evaluate(times, degree, n_t, T, dofs, *, derivative=False, client=None,
             sub_batch=SUB_BATCH):
    """The expansion with Legendre coefficients `dofs` (mode-major, as `set_dofs` takes them)
    at every time of the Dask array (or array-like) `times`, as a Dask array of float64 of
    the same chunks, bit-identical to `evaluate_many` in one process.

    The arguments are checked here, before anything is submitted. With a distributed client
    (the one given, else the current one) the coefficients are sent to every worker once;
    without one they travel inside the task graph.
    """
    if isinstance(times, (tavo.LegendreBasisEvaluator, tavo.LegendreBasis)) or isinstance(
            dofs, (tavo.LegendreBasisEvaluator, tavo.LegendreBasis)):
        _refuse_pickling(None)
    for name, value, least in (("degree", degree, 0), ("n_t", n_t, 1), ("sub_batch", sub_batch, 1)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
            raise ValueError(f"{name} must be an integer of at least {least}, not {value!r}")
    end_time = float(T)
    dofs = np.require(dofs, np.float64, ["A", "C"])
    if dofs.shape != ((degree + 1) * n_t,):
        raise ValueError(f"dofs must hold (degree + 1) * n_t = {(degree + 1) * n_t} values, "
                         f"not an array of shape {dofs.shape}")
    times = da.asarray(times)
    if not (np.issubdtype(times.dtype, np.floating) or np.issubdtype(times.dtype, np.integer)):
        raise TypeError(f"times must be real numbers, not of dtype {times.dtype}")
    token = tokenize(degree, n_t, float(end_time), dofs)
    if client is None:
        client = _current_client()
    if client is not None:
        dofs = client.scatter(dofs, broadcast=True, hash=False)
    return da.map_blocks(
        evaluate_block, times, token, degree, n_t, end_time, dofs,
        derivative=derivative, sub_batch=sub_batch, dtype=np.float64,
        meta=np.empty((0,) * times.ndim),
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


