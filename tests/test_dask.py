"""tavo on a Dask cluster (examples/dask_evaluate.py, examples/dask_operators.py): the same bits
as one process, blocks moved between workers, and worker processes started by fork or spawn."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

import tavo  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))  # spawned workers inherit the path and import from there
import dask_evaluate  # noqa: E402
import dask_operators  # noqa: E402


def bit_patterns(values):
    return np.ascontiguousarray(values, np.float64).view(np.int64)


def test_workers_get_the_settings(client):
    cores = dask_evaluate.available_cores()
    expected = {"RAYON_NUM_THREADS": str(max(1, cores // 2)), "MALLOC_TRIM_THRESHOLD_": None}
    if "MALLOC_TRIM_THRESHOLD_" in os.environ:  # exported by whoever runs the tests
        expected["MALLOC_TRIM_THRESHOLD_"] = os.environ["MALLOC_TRIM_THRESHOLD_"]
    assert list(dask_evaluate.worker_settings(client).values()) == [expected, expected]


@pytest.mark.parametrize("degree, n_t, end_time, derivative, shape, chunks", [
    (0, 7, 1.0, False, (5000,), 1000),
    (3, 100, 5.0, False, (30_000,), 7001),        # ragged chunks, parallel batches
    (3, 100, 5.0, True, (30_000,), 7001),
    (8, 1000, 2.5, False, (200, 150), (64, 50)),  # two-dimensional blocks
])
def test_evaluation_matches_one_process(client, degree, n_t, end_time, derivative, shape,
                                        chunks):
    rng = np.random.default_rng(degree)
    dofs = rng.uniform(-1.0, 1.0, (degree + 1) * n_t)
    size = int(np.prod(shape))
    # Mesh points, both ends, outside [0, T], NaN, and random times.
    special = np.concatenate([tavo.get_lagrange_points(max(degree, 1), n_t, end_time),
                              [0.0, end_time, -1.0, 2 * end_time, np.inf, -np.inf, np.nan]])
    times = np.concatenate([special, rng.uniform(0.0, end_time, size - special.size)])
    times = times.reshape(shape)
    values = dask_evaluate.evaluate(da.from_array(times, chunks=chunks), degree, n_t, end_time,
                                    dofs, derivative=derivative, client=client)
    computed = values.compute()

    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, end_time)
    evaluator.set_dofs(dofs)
    many = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
    assert computed.shape == shape
    assert np.array_equal(bit_patterns(computed), bit_patterns(many(times)).reshape(shape))
    assert dask_evaluate.count_differing(computed, times, degree, n_t, end_time, dofs,
                                         derivative=derivative) == 0
    # Each worker that ran a block kept the evaluator it built.
    token = dask_evaluate.tokenize(degree, n_t, float(end_time), dofs)
    cached = client.run(lambda: list(sys.modules["tavo_tools.dask"]._EVALUATORS))
    assert any(token in tokens for tokens in cached.values())


@pytest.mark.parametrize("size", [1, 3001, 100_003])
def test_block_moved_between_workers(client, size):
    # A block scattered to one worker and used on the other arrives at whatever byte offset
    # the transfer left it at; the batch methods refuse misaligned buffers, the example copies.
    first, second = sorted(client.scheduler_info()["workers"])
    times = np.random.default_rng(size).uniform(-0.5, 2.5, size)
    dofs = np.linspace(-1.0, 1.0, 4 * 50)
    block = client.scatter(times, workers=[first])
    token = dask_evaluate.tokenize("moved", size)
    future = client.submit(dask_evaluate.evaluate_block, block, token, 3, 50, 2.0, dofs,
                           workers=[second], allow_other_workers=False, pure=False)
    evaluator = tavo.LegendreBasisEvaluator(3, 50, 2.0)
    evaluator.set_dofs(dofs)
    expected = evaluator.evaluate_many(times)
    assert np.array_equal(bit_patterns(future.result()), bit_patterns(expected))
    assert client.who_has(future)[future.key] == (second,)


@pytest.mark.parametrize("operator, sizes, block", [
    ("transformation", (1, 10), 3),
    ("transformation", (3, 1000), 64),
    ("transformation", (12, 37), 5),
    ("prolongation", (7, 50, 3), 17),
    ("prolongation", (50, 7, 2), 4),          # fewer fine intervals than coarse ones
    ("prolongation", (1000, 1000, 3), 999),   # rounded positions that miss the snap
    ("prolongation", (997, 2500, 4), 4096),
])
def test_operators_match_the_full_calls(client, operator, sizes, block):
    if operator == "transformation":
        matrix = dask_operators.transformation_matrix(*sizes, block=block, client=client)
        expected = tavo.lagrange_to_legendre_basis_transformation(*sizes)
    else:
        matrix = dask_operators.prolongation_matrix(*sizes, block=block, client=client)
        expected = tavo.lagrange_prolongation_matrix(*sizes)
    assert dask_operators.same_triplets(matrix, expected)


WORKERS_SCRIPT = """
import sys
import threading

import dask
import dask.array as da
import distributed
import numpy as np

import tavo

sys.path.insert(0, {examples!r})
import dask_evaluate

if __name__ == "__main__":
    evaluator = tavo.LegendreBasisEvaluator(5, 40, 2.0)
    dofs = np.random.default_rng(1).uniform(-1.0, 1.0, 6 * 40)
    evaluator.set_dofs(dofs)
    times = np.random.default_rng(2).uniform(0.0, 2.0, 200_000)
    expected = np.array(evaluator.evaluate_many(times))
    for _ in range(int(sys.argv[2])):
        # Parallel batches run in another thread while the workers are forked or spawned.
        stop = threading.Event()
        def batches():
            while not stop.is_set():
                evaluator.evaluate_many(times)
        thread = threading.Thread(target=batches)
        thread.start()
        try:
            with dask.config.set({{"distributed.worker.multiprocessing-method": sys.argv[1]}}):
                cluster = dask_evaluate.local_cluster(2)
        finally:
            stop.set()
            thread.join()
        with distributed.Client(cluster) as client:
            values = dask_evaluate.evaluate(da.from_array(times, chunks=25_000), 5, 40, 2.0,
                                            dofs, client=client).compute()
        cluster.close()
        assert np.array_equal(values.view(np.int64), expected.view(np.int64))
    print("workers done")
"""


def run_with_timeout(arguments, timeout, **kwargs):
    """Runs a child interpreter in a process group of its own; on a timeout the whole group
    (its worker processes too) is killed and the test fails instead of hanging."""
    process = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True, **kwargs)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        pytest.fail(f"{arguments[1:]} did not finish within {timeout} s:\n{output[-3000:]}")
    return process.returncode, output


# A forked child whose parent ran parallel batches at the fork used to hang in its first
# parallel batch, about one child in three: three clusters of two forked workers each.
@pytest.mark.parametrize("method, clusters", [("spawn", 1), ("fork", 3)])
def test_forked_and_spawned_workers_finish(tmp_path, method, clusters):
    script = tmp_path / "workers.py"
    script.write_text(WORKERS_SCRIPT.format(examples=str(EXAMPLES)))
    status, output = run_with_timeout([sys.executable, str(script), method, str(clusters)],
                                      timeout=90)
    assert status == 0 and "workers done" in output, output[-3000:]


@pytest.mark.parametrize("example, arguments, expected", [
    ("dask_evaluate.py", ["--times", "3e5", "--chunk", "4e4", "--n-t", "1000"],
     "bit-identical"),
    ("dask_operators.py", ["--n-t", "3000", "--block", "700", "--check"],
     "both equal the full calls bit for bit"),
])
def test_example_scripts(example, arguments, expected):
    # As a user runs them: spawned workers import the script again, behind its main guard.
    status, output = run_with_timeout([sys.executable, str(EXAMPLES / example), *arguments],
                                      timeout=120, cwd=str(EXAMPLES.parent))
    assert status == 0 and expected in output, output[-3000:]
