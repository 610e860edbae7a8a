"""Eight threads hammer shared and separate evaluators at once: batches on and off the worker
pool, single-time calls and set_dofs. set_dofs may be refused with "Already borrowed", and
with the interpreter lock only while a batch on the same evaluator runs; without it an
evaluation may also be refused with "Already mutably borrowed" while a set_dofs runs. Every
result equals the single-threaded one. A list changed by other threads while it is read
gives its old or its new items, never a crash.
"""

import os
import threading
import time
from pathlib import Path

import numpy as np
import tavo
from conftest import PanicException, coefficients, evaluation, in_parallel, same_bits

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
            return evaluation(getattr(self.evaluator, method), times)
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
            # Without the lock a single-time evaluation or another set_dofs may overlap too.
            with self.lock:
                assert in_parallel() or self.started > finished_before, \
                    "refused with no batch running"
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
                  evaluation(getattr(shared[s].evaluator, single), singles[k]))
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


def run_threads(work, count, seconds):
    """Runs work(i, deadline) in `count` threads; the errors they raised, as text."""
    errors = []
    start = threading.Barrier(count)

    def run(i):
        try:
            start.wait()
            work(i, time.monotonic() + seconds)
        except BaseException as error:  # noqa: BLE001 - reported by the caller
            errors.append(f"thread {i}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread never finished"
    return errors


def test_one_shared_evaluator_and_basis_with_two_alternating_coefficient_sets():
    # Every result is, bit for bit, the one of the first or of the second set; a refusal
    # carries the message of the call that met the other's borrow.
    sets = [coefficients(31, COUNT), coefficients(32, COUNT)]
    arrays = [np.array(dofs) for dofs in sets]
    times = np.linspace(-0.2, 3.2, 3001)
    singles = [0.0, 0.7, 1.5, 3.0]
    reference = tavo.LegendreBasisEvaluator(DEGREE, N_T, T)
    expected = []
    for dofs in sets:
        reference.set_dofs(dofs)
        expected.append({"many": reference.evaluate_many(times),
                         "at": [reference.evaluate_at(t) for t in singles]})
    evaluator = tavo.LegendreBasisEvaluator(DEGREE, N_T, T)
    evaluator.set_dofs(sets[0])
    basis = tavo.LegendreBasis(DEGREE, N_T, T)
    compared = [0] * THREADS

    def one_of(actual, key, index=None):
        options = [e[key] if index is None else e[key][index] for e in expected]
        assert any(same_bits(actual, option) for option in options), f"{key} is neither"

    def work(i, deadline):
        r = 0
        while time.monotonic() < deadline:
            r += 1
            k = (i + r) % len(singles)
            try:
                if i % 4 == 0:
                    evaluator.set_dofs(sets[r % 2] if r % 3 else arrays[r % 2])
                    continue
                if i % 4 == 1:
                    one_of(evaluator.evaluate_many(times), "many")
                else:
                    one_of(evaluator.evaluate_at(singles[k]), "at", k)
            except RuntimeError as error:
                expected_message = "Already borrowed" if i % 4 == 0 else "Already mutably borrowed"
                assert str(error) == expected_message, str(error)
                continue
            # The basis holds nothing that calls change: never refused.
            s = r % 2
            value = basis.evaluate_at(singles[k], sets[s] if r % 3 else arrays[s])
            assert same_bits(value, expected[s]["at"][k])
            compared[i] += 2

    assert not run_threads(work, THREADS, 2.5)
    assert all(compared[i] for i in range(THREADS) if i % 4), compared


class MutatingFloat:
    """An item whose conversion runs Python code, which lets other threads (or the lock) in."""

    def __float__(self):
        return 0.25


def list_race(seconds=3.0):
    """Three threads replace, append and pop items of one list while three pass it to the
    module, which reads it item by item; returns the number of calls that completed."""
    items = [float(i) for i in range(COUNT)]
    shared_list = list(items)
    basis = tavo.LegendreBasis(DEGREE, N_T, T)
    evaluator = tavo.LegendreBasisEvaluator(DEGREE, N_T, T)
    done = [0, 0, 0]

    def mutate(i, deadline):
        rng = np.random.default_rng(i)
        while time.monotonic() < deadline:
            position = int(rng.integers(COUNT))
            if i == 0:
                # A fresh object each time, so that the one replaced is freed at once.
                try:
                    shared_list[position] = MutatingFloat() if position % 2 else float(position)
                except IndexError:
                    pass  # popped meanwhile
            elif i == 1:
                shared_list.append(1.0)
            else:
                try:
                    shared_list.pop()
                except IndexError:
                    pass

    def read(i, deadline):
        while time.monotonic() < deadline:
            try:
                if i == 0:
                    evaluator.set_dofs(shared_list)
                else:
                    basis.evaluate_at(0.5, shared_list)
                done[i] += 1
            except PanicException:
                pass  # the list had another length when it was read
            except RuntimeError as error:  # two set_dofs never overlap here: one reader
                raise AssertionError(str(error)) from error

    def work(i, deadline):
        (mutate if i < 3 else read)(i % 3, deadline)

    errors = run_threads(work, 6, seconds)
    assert not errors, errors
    return sum(done)


def test_a_list_changed_by_other_threads_while_it_is_read(child):
    # In a child: before the reads were guarded it ended the process with SIGSEGV; every
    # call that fails on the length writes a report to standard error, dropped here.
    program = (f"import os, sys\nsys.path.insert(0, {str(Path(__file__).parent)!r})\n"
               "os.dup2(os.open(os.devnull, os.O_WRONLY), 2)\nimport test_stress\n"
               "try:\n    print(test_stress.list_race())\nexcept BaseException as error:\n"
               "    print(repr(error))\n    raise\n")
    run = child(program, timeout=300)
    assert run.returncode == 0, (run.returncode, run.stdout[-3000:])
