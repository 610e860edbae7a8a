"""Reference and memory leaks: every callable, on its success path and on every error path,
called many times over; neither the interpreter's traced memory nor the process's resident
memory may grow, and the reference counts of the arguments stay as they were.
"""

import contextlib
import ctypes
import os
import sys
import threading
import tracemalloc

import numpy as np
import pytest
import tavo
from conftest import Index, PanicException, evaluation, misaligned, sanitized

try:
    import _testcapi
except ImportError:
    _testcapi = None

CALLS = 20_000
TRACED_CALLS = 1_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@contextlib.contextmanager
def quiet_stderr():
    """Panic reports go to fd 2 on every call, the traceback of a PanicException raised in
    a conversion to sys.stderr: both go to /dev/null meanwhile (a capturing sys.stderr would
    grow with every call)."""
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
            yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


class Boom(Exception):
    pass


class RaisingFloat:
    def __float__(self):
        raise Boom("from __float__")


class RaisingIndex:
    def __index__(self):
        raise Boom("from __index__")


class PanickingFloat:
    def __float__(self):
        raise PanicException("raised in __float__")


class Reentrant:
    """A time whose conversion calls back into the instance it is converted for."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


# Meshes large enough that a lost vector would show in the resident memory at once.
DEGREE, N_T = 3, 64
COUNT = (DEGREE + 1) * N_T
DOFS_LIST = np.linspace(-1.0, 1.0, COUNT).tolist()
DOFS_ARRAY = np.linspace(-1.0, 1.0, COUNT)
TIMES = np.linspace(-0.1, 2.1, 100)
POOL_TIMES = np.linspace(-0.1, 2.1, 2048)


def basis():
    return tavo.LegendreBasis(DEGREE, N_T, 2.0)


def evaluator():
    e = tavo.LegendreBasisEvaluator(DEGREE, N_T, 2.0)
    e.set_dofs(DOFS_ARRAY)
    return e


B, E = basis(), evaluator()
EMPTY_B, EMPTY_E = tavo.LegendreBasis(2, 0, 1.0), tavo.LegendreBasisEvaluator(2, 0, 1.0)
BIG = 2**80
T_OBJECT = float("0.375")  # a float of its own, so its count is the test's alone


def batch_refused_midway():
    """A batch whose list cannot be completed: the interpreter's allocations fail from the
    200th on, after the list and part of its floats have been made."""
    _testcapi.set_nomemory(200, 0)
    try:
        E.evaluate_many(POOL_TIMES)
    finally:
        _testcapi.remove_mem_hooks()


def refuse_evaluation_during_set_dofs():
    E.evaluate_at(0.5)


def refuse_set_dofs_during_evaluation():
    E.set_dofs(DOFS_LIST)


# (id, callable, args, kwargs, expected exception or None)
CASES = [
    # Success paths
    ("sum_as_string", tavo.sum_as_string, (BIG // 2**20, Index()), {}, None),
    ("get_lagrange_points", tavo.get_lagrange_points, (DEGREE, N_T, 2.0), {}, None),
    ("prolongation", tavo.lagrange_prolongation_matrix, (16, 32, 3), {}, None),
    ("transformation", tavo.lagrange_to_legendre_basis_transformation, (5, 16), {}, None),
    ("LegendreBasis", tavo.LegendreBasis, (DEGREE, N_T, 2.0), {}, None),
    ("LegendreBasisEvaluator", tavo.LegendreBasisEvaluator, (DEGREE, N_T, 2.0), {}, None),
    ("basis.evaluate_at list", B.evaluate_at, (T_OBJECT, DOFS_LIST), {}, None),
    ("basis.evaluate_at array", B.evaluate_at, (T_OBJECT, DOFS_ARRAY), {}, None),
    ("basis.evaluate_at tuple", B.evaluate_at, (), {"t": T_OBJECT,
                                                    "legendre_vals": tuple(DOFS_LIST)}, None),
    ("basis.all", B.evaluate_all_basis_functions, (T_OBJECT,), {}, None),
    ("basis.all_derivatives", B.evaluate_all_basis_function_derivatives, (1.3,), {}, None),
    ("set_dofs list", E.set_dofs, (DOFS_LIST,), {}, None),
    ("set_dofs array", E.set_dofs, (DOFS_ARRAY,), {}, None),
    ("set_dofs strided", E.set_dofs, (np.repeat(DOFS_ARRAY, 2)[::2],), {}, None),
    ("evaluator.evaluate_at", E.evaluate_at, (T_OBJECT,), {}, None),
    ("evaluator.evaluate_derivative_at", E.evaluate_derivative_at, (T_OBJECT,), {}, None),
    ("evaluate_many", E.evaluate_many, (TIMES,), {}, None),
    ("evaluate_derivative_many fortran", E.evaluate_derivative_many,
     (np.asfortranarray(TIMES.reshape(10, 10)),), {}, None),
    ("evaluate_many pool", E.evaluate_many, (POOL_TIMES,), {}, None),
    # Argument parsing and conversion failures
    ("too many arguments", tavo.get_lagrange_points, (1, 2, 3.0, 4), {}, TypeError),
    ("missing arguments", tavo.LegendreBasis, (), {}, TypeError),
    ("unexpected keyword", E.evaluate_at, (), {"time": 0.5}, TypeError),
    ("repeated argument", B.evaluate_at, (0.5, DOFS_LIST), {"t": 0.5}, TypeError),
    ("wrong receiver", tavo.LegendreBasis.evaluate_at, (E, 0.5, DOFS_LIST), {}, TypeError),
    ("integer from str", tavo.LegendreBasisEvaluator, ("1", 2, 1.0), {}, TypeError),
    ("negative integer", tavo.get_lagrange_points, (-1, 2, 1.0), {}, OverflowError),
    ("integer too large", tavo.lagrange_prolongation_matrix, (1, BIG, 1), {}, OverflowError),
    ("__index__ raises", tavo.LegendreBasis, (RaisingIndex(), 2, 1.0), {}, Boom),
    ("float from None", E.evaluate_at, (None,), {}, TypeError),
    ("float too large", tavo.LegendreBasis, (1, 2, 10**400), {}, OverflowError),
    ("__float__ raises", B.evaluate_all_basis_functions, (RaisingFloat(),), {}, Boom),
    ("sequence from str", B.evaluate_at, (0.5, "123"), {}, TypeError),
    ("sequence from set", E.set_dofs, ({1.0, 2.0},), {}, TypeError),
    ("item not a number", E.set_dofs, (DOFS_LIST[:-1] + [None],), {}, TypeError),
    ("item __float__ raises", B.evaluate_at, (0.5, [1.0, RaisingFloat()]), {}, Boom),
    ("PanicException in __float__", E.set_dofs, ([PanickingFloat()],), {}, PanicException),
    # Internal failures
    ("set_dofs wrong length", E.set_dofs, (DOFS_LIST[:-1],), {}, PanicException),
    ("coefficients too short", B.evaluate_at, (0.5, DOFS_ARRAY[:-1]), {}, PanicException),
    ("zero intervals", EMPTY_B.evaluate_all_basis_functions, (0.5,), {}, PanicException),
    ("zero intervals batch", EMPTY_E.evaluate_many, (TIMES,), {}, PanicException),
    ("zero intervals derivative", EMPTY_E.evaluate_derivative_at, (0.5,), {}, PanicException),
    ("capacity overflow", tavo.LegendreBasisEvaluator, (2**62, 4, 1.0), {}, PanicException),
    ("prolongation degree 0", tavo.lagrange_prolongation_matrix, (1, 2, 0), {}, PanicException),
    ("transformation degree 0", tavo.lagrange_to_legendre_basis_transformation, (0, 2), {},
     PanicException),
    # Borrow refusals, provoked from inside an argument conversion
    ("Already mutably borrowed", E.set_dofs,
     ([Reentrant(refuse_evaluation_during_set_dofs)] * COUNT,), {}, RuntimeError),
    ("Already borrowed", E.evaluate_at, (Reentrant(refuse_set_dofs_during_evaluation),), {},
     RuntimeError),
    # Buffer rejections
    ("buffer from list", E.evaluate_many, ([0.5, 1.0],), {}, TypeError),
    ("float32 buffer", E.evaluate_many, (TIMES.astype(np.float32),), {}, BufferError),
    ("misaligned buffer", E.evaluate_derivative_many, (misaligned(100),), {}, BufferError),
    ("0-d buffer", E.evaluate_many, (np.array(0.5),), {}, BufferError),
    ("ctypes buffer", E.evaluate_many, ((ctypes.c_double * 4)(),), {}, BufferError),
    # A refused allocation (the sanitizers' allocators abort instead)
    ("refused allocation MemoryError", tavo.LegendreBasisEvaluator, (0, 2**36, 1.0), {},
     MemoryError),
    *([("MemoryError while building the list", batch_refused_midway, (), {}, MemoryError)]
      if _testcapi else []),
]


def run(call, args, kwargs, expected, n):
    if expected is None:
        for _ in range(n):
            call(*args, **kwargs)
        return
    for _ in range(n):
        try:
            call(*args, **kwargs)
        except expected:
            pass
        else:
            raise AssertionError(f"{expected.__name__} not raised")


def shared(o):
    # Small ints and singletons are everybody's: their counts move with unrelated work.
    return o is None or isinstance(o, bool) or (type(o) is int and -5 <= o <= 256)


def counts(call, args, kwargs):
    objects = [call, getattr(call, "__self__", call), *args, *kwargs.values()]
    objects += [item for arg in args if isinstance(arg, list) for item in arg[-2:]]
    return [sys.getrefcount(o) for o in objects if not shared(o)]


@pytest.mark.parametrize(("call", "args", "kwargs", "expected"),
                         [pytest.param(*case[1:], id=case[0]) for case in CASES])
def test_no_leak(call, args, kwargs, expected):
    if expected is MemoryError and sanitized():
        pytest.skip("the sanitizer's operator new aborts instead of throwing")
    classes = [tavo.LegendreBasis, tavo.LegendreBasisEvaluator, PanicException]
    before = counts(call, args, kwargs), [sys.getrefcount(c) for c in classes]
    with quiet_stderr():
        run(call, args, kwargs, expected, 1000)  # warm-up: caches, free lists, the pool
        resident = resident_bytes()
        # The sanitizer holds freed memory back in quarantine: the resident size says
        # nothing there.
        if not sanitized():
            run(call, args, kwargs, expected, CALLS)
        resident_growth = resident_bytes() - resident
        # Tracing costs a lot per allocation: fewer calls, a tighter bound (one lost float
        # per call would be 32 kB). The first traced round fills the interpreter's caches.
        tracemalloc.start()
        try:
            run(call, args, kwargs, expected, TRACED_CALLS)
            traced = tracemalloc.get_traced_memory()[0]
            run(call, args, kwargs, expected, TRACED_CALLS)
            grown = tracemalloc.get_traced_memory()[0] - traced
        finally:
            tracemalloc.stop()
    assert (counts(call, args, kwargs), [sys.getrefcount(c) for c in classes]) == before
    assert grown < 16 * 1024, f"traced memory grew by {grown} bytes over {TRACED_CALLS} calls"
    if not sanitized():
        assert resident_growth < 4 * 1024 * 1024, (
            f"resident memory grew by {resident_growth} bytes over {CALLS} calls")


def test_no_leak_while_batches_run_in_other_threads():
    # The batch path with the lock released, and set_dofs refused while it runs.
    e = evaluator()
    times = np.linspace(-0.1, 2.1, 40_000)
    stop = threading.Event()
    refused = set()

    def probe():
        while not stop.is_set():
            try:
                e.set_dofs(DOFS_ARRAY)
            except RuntimeError as error:
                refused.add(str(error))

    prober = threading.Thread(target=probe)
    before = sys.getrefcount(e), sys.getrefcount(times)
    prober.start()
    try:
        # The first rounds let each thread's allocator arena reach its working size.
        rounds = 30 if sanitized() else 300
        for _ in range(rounds // 3):
            evaluation(e.evaluate_many, times)
        resident = resident_bytes()
        for _ in range(rounds):
            evaluation(e.evaluate_many, times)
        growth = resident_bytes() - resident
    finally:
        stop.set()
        prober.join()
    assert (sys.getrefcount(e), sys.getrefcount(times)) == before
    assert refused <= {"Already borrowed"}
    if not sanitized():
        assert growth < 8 * 1024 * 1024, growth


# Each result kind once, made and dropped many times under the debug allocator, which fills
# fresh memory with a pattern: a header field left as the memory held it shows there (in
# the word of the reference count, whose upper half a plain float leaves zero on every
# build with the lock), and an object never freed shows in the allocated blocks. No tracer
# runs, so the module takes its own path to fresh floats.
BLOCKS_SETUP = """
import ctypes, sys, sysconfig, numpy as np, tavo
e = tavo.LegendreBasisEvaluator(3, 64, 2.0)
dofs = np.linspace(-1.0, 1.0, 256).tolist()
e.set_dofs(dofs)
b = tavo.LegendreBasis(3, 64, 2.0)
times = np.linspace(-0.1, 2.1, 100)

def floats(result):
    if isinstance(result, float):
        return [result]
    return [f for item in result for f in floats(item)] if isinstance(result, (list, tuple)) else []
"""


@pytest.mark.parametrize("call", [
    "e.evaluate_at(0.3)",
    "b.evaluate_at(0.3, dofs)",
    "e.evaluate_many(times)",
    "b.evaluate_all_basis_functions(0.7)",
    "tavo.lagrange_prolongation_matrix(4, 8, 2)",
    "tavo.get_lagrange_points(2, 3, 1.0)",
])
def test_fresh_floats_have_clean_headers_and_are_freed(child, call):
    if sanitized():
        pytest.skip("the sanitizer replaces the interpreter's allocator")
    calls = 20_000
    source = BLOCKS_SETUP + f"""
result = {call}
words = [ctypes.c_uint64.from_address(id(f)).value for f in floats(result)]
if not sysconfig.get_config_var("Py_GIL_DISABLED"):  # there the header starts otherwise
    print([hex(word) for word in words if word >> 32][:3])
else:
    print([])
del result
for _ in range(1000):
    {call}
before = sys.getallocatedblocks()
for _ in range({calls}):
    {call}
print(sys.getallocatedblocks() - before)
"""
    env = {**os.environ, "PYTHONMALLOC": "debug"}
    env.pop("PYTHONTRACEMALLOC", None)
    run = child(source, env=env)
    assert run.returncode == 0, run.stderr
    dirty, kept = run.stdout.splitlines()
    assert dirty == "[]", f"header words of fresh floats: {dirty}"
    # A lost object per call would be `calls` blocks at least.
    assert int(kept) < calls // 100, f"{kept} blocks kept over {calls} calls"
