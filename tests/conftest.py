"""Helpers shared by the test suite: bit comparisons, the panic class, hostile argument
types, and one way to run a snippet in a child interpreter."""

import os
import signal
import struct
import subprocess
import sys
from typing import NamedTuple

import numpy as np
import pytest
import tavo

PHYSICAL = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")

# A run started as a shell's background job has SIGINT ignored, and its children would
# inherit that: their interpreters would then raise no KeyboardInterrupt. With a handler here,
# each child starts with the default action, as from a terminal.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def bits(value):
    """The IEEE-754 bit pattern of a float, so that -0.0 != 0.0 and NaN == NaN."""
    return struct.pack("<d", value)


def assert_bits_equal(actual, expected):
    """Compares a float or a sequence of floats bit for bit."""
    if isinstance(expected, (list, tuple)):
        assert len(actual) == len(expected), (actual, expected)
        assert [bits(a) for a in actual] == [bits(e) for e in expected], (actual, expected)
    else:
        assert bits(actual) == bits(expected), (actual, expected)


def same_bits(actual, expected):
    return np.array_equal(np.asarray(actual).view(np.uint64), np.asarray(expected).view(np.uint64))


def sanitized():
    """Whether this interpreter runs with a sanitizer's runtime loaded."""
    with open("/proc/self/maps") as maps:
        return any(name in maps.read() for name in ("libasan", "libtsan"))


def in_parallel():
    """Whether threads of this process run Python code truly at once (no interpreter lock)."""
    return not getattr(sys, "_is_gil_enabled", lambda: True)()


def evaluation(method, *args):
    """The result of an evaluation, tried again while a set_dofs of another thread holds the
    evaluator (which only happens where threads truly run at once)."""
    while True:
        try:
            return method(*args)
        except RuntimeError as error:
            if not in_parallel() or str(error) != "Already mutably borrowed":
                raise


def _panic_exception_class():
    try:
        tavo.lagrange_prolongation_matrix(1, 1, 0)
    except BaseException as error:  # noqa: BLE001 - the class is what we are after
        return type(error)
    raise AssertionError("a degree-0 prolongation did not fail")


PanicException = _panic_exception_class()


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def coefficients(seed, count):
    return np.random.default_rng(seed).normal(size=count).tolist()


def evaluator_with(degree, n_t, T, dofs):
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(dofs)
    return evaluator


def misaligned(n):
    buffer = np.frombuffer(bytearray(8 * n + 1), dtype="<f8", offset=1)
    assert buffer.ctypes.data % 8 != 0
    return buffer


class Index:
    def __init__(self, value=3):
        self.value = value

    def __index__(self):
        return self.value


class IntSub(int):
    pass


class FloatSub(float):
    pass


class Child(NamedTuple):
    returncode: int
    stdout: str
    stderr: str


# Put in front of the snippet rather than set from the parent (preexec_fn), which is not
# safe while the module's worker threads run in the parent.
_LIMIT = "import resource\nresource.setrlimit(resource.RLIMIT_AS, ({0}, {0}))\n"


def run_python(source, *, timeout=120, memory_limit=False, env=None, input=None,
               arguments=()):
    """Runs `source` in a new interpreter and returns its exit status and output.

    memory_limit=True caps the child's address space at the machine's memory: the kernel
    would refuse more anyway whatever its overcommit setting, and an allocator that accepts
    a terabyte request (a free-threaded interpreter's does) cannot take the machine down.
    Sanitizer runtimes reserve their shadow memory beyond any such limit, so under them the
    cap is left out and the callers skip what only the cap makes safe."""
    if memory_limit and not sanitized():
        source = _LIMIT.format(PHYSICAL) + source
    run = subprocess.run([sys.executable, "-c", source, *arguments], capture_output=True,
                         text=True, timeout=timeout, env=env, input=input,
                         check=False)
    return Child(run.returncode, run.stdout, run.stderr)


@pytest.fixture
def child():
    return run_python


@pytest.fixture(scope="module")
def client():
    """A Dask client of a 2-worker LocalCluster with tavo's settings, one per test module."""
    distributed = pytest.importorskip("distributed")
    from tavo_tools.dask import local_cluster

    # The nanny writes its settings into this process's environment: put it back afterwards.
    environment = dict(os.environ)
    cluster = local_cluster(2)
    with distributed.Client(cluster) as dask_client:
        yield dask_client
    cluster.close()
    os.environ.clear()
    os.environ.update(environment)


# What runs once, never in several threads at once under pytest-run-parallel: the files
# whose tests start threads of their own, other processes, signals or fork, or change
# process-wide state (the module cache, tracing, the environment, the pool), and every test
# of a child interpreter, a Dask cluster or captured file descriptors.
SERIAL_FILES = {"test_dask.py", "test_fuzz.py", "test_huge_sizes.py", "test_leaks.py",
                "test_module_frame.py", "test_packaging.py", "test_process_events.py",
                "test_readme.py", "test_stress.py", "test_stubs.py", "test_threads.py",
                "test_tools_dask.py"}
SERIAL_FIXTURES = {"child", "client", "capfd", "capsys", "monkeypatch"}


def pytest_configure(config):
    config.addinivalue_line("markers", "thread_unsafe: run in one thread only")


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in SERIAL_FILES or SERIAL_FIXTURES & set(item.fixturenames):
            item.add_marker(pytest.mark.thread_unsafe)
