"""Batches run without the interpreter lock: instance access, other threads, the worker pool."""

import os
import threading
import time

import numpy as np
import pytest
from conftest import (
    assert_bits_equal,
    coefficients,
    evaluation,
    evaluator_with,
    in_parallel,
    run_python,
    same_bits,
)

# Degree 40 over two million times keeps a batch busy for a good fraction of a second.
DEGREE, N_T, T = 40, 50, 1.0
BATCH_SIZE = 2_000_000


def dofs(seed):
    return coefficients(seed, (DEGREE + 1) * N_T)


def evaluator_of(values):
    return evaluator_with(DEGREE, N_T, T, values)


def start_batch(evaluator, method, times, dofs):
    """Starts the batch in a thread and returns once it holds its access to the instance.

    The probe stores the coefficients the instance already has, so that it changes nothing
    when it runs before the batch has begun.
    """
    result = {}
    # Where threads truly run at once the probe may hold the instance as the batch begins.
    worker = threading.Thread(target=lambda: result.update(values=evaluation(method, times)))
    worker.start()
    deadline = time.monotonic() + 120.0
    while True:
        try:
            evaluator.set_dofs(dofs)
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
            return worker, result
        assert worker.is_alive(), "the batch ended before it was seen running"
        assert time.monotonic() < deadline


@pytest.mark.parametrize("method", ["evaluate_many", "evaluate_derivative_many"])
def test_set_dofs_is_refused_while_a_batch_runs(method):
    old, new = dofs(1), dofs(2)
    times = np.random.default_rng(3).uniform(-0.1, 1.1, BATCH_SIZE)
    reference = evaluator_of(old)
    expected = getattr(reference, method)(times)
    probes = times[:100].copy()
    expected_probes = [reference.evaluate_at(t) for t in probes]

    evaluator = evaluator_of(old)
    worker, result = start_batch(evaluator, getattr(evaluator, method), times, old)
    with pytest.raises(RuntimeError) as excinfo:
        evaluator.set_dofs(new)
    assert type(excinfo.value) is RuntimeError
    assert str(excinfo.value) == "Already borrowed"
    # Shared access coexists with the running batch.
    assert_bits_equal([evaluator.evaluate_at(t) for t in probes], expected_probes)
    assert_bits_equal(evaluator.evaluate_many(probes), expected_probes)
    # The batch works on its own copy of the times, made before another thread can run where
    # the interpreter lock is held (without it, a writer beside the copy races with it).
    if not in_parallel():
        times[:] = np.nan
    worker.join()

    assert same_bits(result["values"], expected)
    evaluator.set_dofs(new)
    assert_bits_equal(evaluator.evaluate_at(probes[0]), evaluator_of(new).evaluate_at(probes[0]))


def test_concurrent_batches():
    rng = np.random.default_rng(4)
    shared = evaluator_of(dofs(5))
    jobs = []
    for j in range(6):
        evaluator = shared if j % 2 else evaluator_of(dofs(10 + j))
        method = "evaluate_many" if j % 3 else "evaluate_derivative_many"
        times = rng.uniform(-0.1, 1.1, 20_000 + 1000 * j)
        jobs.append((getattr(evaluator, method), times, getattr(evaluator, method)(times)))

    barrier = threading.Barrier(len(jobs))
    results = [None] * len(jobs)

    def run(j):
        method, times, _ = jobs[j]
        barrier.wait()
        results[j] = [method(times) for _ in range(3)]

    workers = [threading.Thread(target=run, args=(j,)) for j in range(len(jobs))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for (_, _, expected), repeats in zip(jobs, results):
        assert all(same_bits(values, expected) for values in repeats)


POOL_SCRIPT = """
import array, random, tavo
rng = random.Random(8)
evaluator = tavo.LegendreBasisEvaluator(6, 9, 2.0)
evaluator.set_dofs([rng.uniform(-1.0, 1.0) for _ in range(63)])
for n in LENGTHS:
    times = array.array("d", [rng.uniform(-0.5, 2.5) for _ in range(n)])
    for method in (evaluator.evaluate_many, evaluator.evaluate_derivative_many):
        print(array.array("d", method(times)).tobytes().hex())
"""
# Around the chunks in which a batch is shared out, and a long one.
LENGTHS = [4095, 4097, 8192, 12_289, 100_000]


def pool_batches(setting):
    """The batches of the script, in a new process whose pool is sized by `setting`."""
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    environment.update(setting)
    script = f"LENGTHS = {LENGTHS}\n" + POOL_SCRIPT
    run = run_python(script, timeout=120, env=environment)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split()
    assert [len(line) for line in lines] == [16 * n for n in LENGTHS for _ in range(2)]
    return lines


@pytest.mark.parametrize(
    "setting",
    [
        {"RAYON_NUM_THREADS": "1"},
        {"RAYON_RS_NUM_CPUS": "1"},
        {"RAYON_NUM_THREADS": "2"},
        {"RAYON_NUM_THREADS": "3"},
        {"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": "4"},
        {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"},
    ],
)
def test_results_do_not_depend_on_the_pool_size(setting):
    assert pool_batches(setting) == pool_batches({})
