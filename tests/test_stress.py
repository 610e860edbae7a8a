"""Eight threads hammer shared and separate evaluators at once: batches on and off the worker
pool, single-time calls and set_dofs. set_dofs may be refused with "Already borrowed", and
only while a batch on the same evaluator runs; every result equals the single-threaded one.
"""

import os
import threading
from pathlib import Path

import numpy as np
import tavo
from conftest import coefficients, same_bits

THREADS = 8
ROUNDS = 60
DEGREE, N_T, T = 5, 12, 3.0
COUNT = (DEGREE + 1) * N_T


class Tracked:
    """An evaluator with counts of the batches started on it and finished on it."""

    def __init__(self, dofs):
        self.evaluator = tavo.LegendreBasisEvaluator(DEGREE, N_T, T)
        self.evaluator.set_dofs(dofs)
        self.lock = threading.Lock()
        self.started = self.finished = 0

    def batch(self, method, times):
        with self.lock:
            self.started += 1
        try:
            return getattr(self.evaluator, method)(times)
        finally:
            with self.lock:
                self.finished += 1

    def set_dofs(self, dofs):
        """True if stored, False if refused, which must have happened during a batch."""
        with self.lock:
            finished_before = self.finished
        try:
            self.evaluator.set_dofs(dofs)
            return True
        except RuntimeError as error:
            assert str(error) == "Already borrowed", str(error)
            with self.lock:
                assert self.started > finished_before, "refused with no batch running"
            return False


def stress():
    """Runs the threads; returns the number of refusals seen (each checked on the spot)."""
    rng = np.random.default_rng(11)
    # Serial and pool sizes; a strided and a two-dimensional layout among them.
    batches = [rng.uniform(-0.2, 3.2, n) for n in (300, 2047, 2048, 6000)]
    batches.append(rng.uniform(-0.2, 3.2, 9000)[::3])
    batches.append(np.asfortranarray(rng.uniform(-0.2, 3.2, (50, 90))))
    singles = [0.0, 1.5, 3.0, -1.0, 2.999999, float("nan")]
    dofs = {seed: coefficients(seed, COUNT) for seed in range(THREADS + 3)}

    def expected_for(seed):
        reference = tavo.LegendreBasisEvaluator(DEGREE, N_T, T)
        reference.set_dofs(dofs[seed])
        return {
            "evaluate_many": [reference.evaluate_many(b) for b in batches],
            "evaluate_derivative_many": [reference.evaluate_derivative_many(b) for b in batches],
            "evaluate_at": [reference.evaluate_at(t) for t in singles],
            "evaluate_derivative_at": [reference.evaluate_derivative_at(t) for t in singles],
        }

    expected = {seed: expected_for(seed) for seed in dofs}
    shared = [Tracked(dofs[0]), Tracked(dofs[1])]
    failures, refusals = [], [0] * THREADS
    start = threading.Barrier(THREADS)

    def check(what, seed, method, index, actual):
        if not same_bits(actual, expected[seed][method][index]):
            failures.append(f"{what}: {method}[{index}] differs")

    def work(i):
        own_seeds = (2 + i, 2 + (i + 1) % (THREADS + 1))
        own = Tracked(dofs[own_seeds[0]])
        own_seed = own_seeds[0]
        start.wait()
        for r in range(ROUNDS):
            method = "evaluate_many" if (i + r) % 2 else "evaluate_derivative_many"
            b = (i * 7 + r) % len(batches)
            s = (i + r) % 2
            check(f"shared {s}", s, method, b, shared[s].batch(method, batches[b]))
            check("own", own_seed, method, b, own.batch(method, batches[b]))
            single = "evaluate_at" if r % 2 else "evaluate_derivative_at"
            k = (i + r) % len(singles)
            check(f"shared {s}", s, single, k,
                  getattr(shared[s].evaluator, single)(singles[k]))
            # The shared evaluators keep their coefficients: the same ones are stored again.
            if not shared[(s + 1) % 2].set_dofs(dofs[(s + 1) % 2]):
                refusals[i] += 1
            own_seed = own_seeds[r % 2]
            assert own.set_dofs(dofs[own_seed]), "refused on an evaluator nobody else uses"

    errors = []

    def run(i):
        try:
            work(i)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(f"thread {i}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    assert not any(thread.is_alive() for thread in threads), "a thread never finished"
    assert not errors, errors
    assert not failures, failures[:10]
    return sum(refusals)


def test_threads_hammering_shared_and_separate_evaluators():
    stress()


def test_threads_queue_on_a_pool_of_one_worker(child):
    program = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); " \
              "import test_stress; test_stress.stress()"
    environment = dict(os.environ, RAYON_NUM_THREADS="1")
    run = child(program, timeout=600, env=environment)
    assert run.returncode == 0, run.stderr[-3000:]
