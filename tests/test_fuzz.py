"""Property tests: arbitrary objects at every argument of every callable, and batch numerics.

Every call either returns what the same call returns for the arguments converted in Python
by the module's documented rules, or raises what that conversion raises (TypeError with the
argument prefix, OverflowError, BufferError, an error of the argument object's own code),
or a RuntimeError, MemoryError or PanicException with a message. Never a SystemError.
Sizes stay small or past 2**63 (where every count overflows before any allocation), so no
case allocates much. TAVO_FUZZ_EXAMPLES scales the number of examples.
"""

import array
import ctypes
import json
import math
import operator
import os
import struct
import sys
import warnings

import hypothesis.extra.numpy as hnp
import numpy as np
import pytest
import tavo
from conftest import FloatSub, IntSub, PanicException, bits, run_python
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("TAVO_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                suppress_health_check=list(HealthCheck))


class Boom(Exception):
    """Raised by the test's own odd objects; it must reach the caller unchanged."""


def _answer(value):
    if isinstance(value, type) and issubclass(value, BaseException):
        raise value("raised by the argument")
    return value


class Odd:
    """__index__ / __float__ (in the subclasses) return the given value, or raise it when it
    is an exception class."""

    def __init__(self, index=None, float_=None):
        self.index, self.float_ = index, float_

    def __repr__(self):
        return f"{type(self).__name__}({self.index!r}, {self.float_!r})"


class WithIndex(Odd):
    def __index__(self):
        return _answer(self.index)


class WithFloat(Odd):
    def __float__(self):
        return _answer(self.float_)


class WithBoth(WithIndex, WithFloat):
    pass


class Sequence:
    """Items by __getitem__; __len__ may raise or under- or overstate (by a little)."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        return _answer(self.length)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("item")
        return self.items[i]

    def __repr__(self):
        return f"Sequence({self.items!r}, {self.length!r}, {self.fail_at!r})"


# ---------------------------------------------------------------------------------------
# The conversion rules, restated in Python

def as_unsigned(x):
    value = int(x) if isinstance(x, int) else operator.index(x)
    if not 0 <= value < 2**64:
        raise OverflowError("out of range")
    return value


def as_double(x):
    if isinstance(x, float):
        return float(x)
    if not (callable(getattr(type(x), "__float__", None))
            or callable(getattr(type(x), "__index__", None))):
        raise TypeError("not a number")
    return float(x)


_is_sequence = ctypes.pythonapi.PySequence_Check
_is_sequence.argtypes = [ctypes.py_object]


def as_sequence(x):
    if isinstance(x, str):
        raise TypeError("str")
    if not _is_sequence(x):
        raise TypeError("not a sequence")
    # Iterated, whatever its length says.
    return [as_double(item) for item in iter(x)]


def as_double_buffer(x):
    view = memoryview(x)
    try:
        if view.ndim == 0:
            raise BufferError("shape is null")
        if view.itemsize != 8 or view.format.lstrip("@=" + ("<" if sys.byteorder == "little"
                                                              else ">!")) != "d":
            raise BufferError("buffer contents are not compatible with f64")
        items = np.asarray(view)
        if items.ctypes.data % 8:
            raise BufferError("buffer contents are insufficiently aligned for f64")
        return np.array(items.ravel(order="C"), dtype=np.float64)
    finally:
        view.release()


SIZE, UINT, FLOAT, SEQ, BUF, BASIS, EVALUATOR = (
    "size", "uint", "float", "seq", "buf", "basis", "evaluator")
CONVERT = {SIZE: as_unsigned, UINT: as_unsigned, FLOAT: as_double, SEQ: as_sequence,
           BUF: as_double_buffer}

CALLABLES = {
    "sum_as_string": (tavo.sum_as_string, [UINT, UINT]),
    "get_lagrange_points": (tavo.get_lagrange_points, [SIZE, SIZE, FLOAT]),
    "lagrange_prolongation_matrix": (tavo.lagrange_prolongation_matrix, [SIZE, SIZE, SIZE]),
    "lagrange_to_legendre_basis_transformation": (
        tavo.lagrange_to_legendre_basis_transformation, [SIZE, SIZE]),
    "LegendreBasis": (tavo.LegendreBasis, [SIZE, SIZE, FLOAT]),
    "LegendreBasisEvaluator": (tavo.LegendreBasisEvaluator, [SIZE, SIZE, FLOAT]),
    "LegendreBasis.evaluate_at": (tavo.LegendreBasis.evaluate_at, [BASIS, FLOAT, SEQ]),
    "LegendreBasis.evaluate_all_basis_functions": (
        tavo.LegendreBasis.evaluate_all_basis_functions, [BASIS, FLOAT]),
    "LegendreBasis.evaluate_all_basis_function_derivatives": (
        tavo.LegendreBasis.evaluate_all_basis_function_derivatives, [BASIS, FLOAT]),
    "LegendreBasisEvaluator.set_dofs": (tavo.LegendreBasisEvaluator.set_dofs, [EVALUATOR, SEQ]),
    "LegendreBasisEvaluator.evaluate_at": (
        tavo.LegendreBasisEvaluator.evaluate_at, [EVALUATOR, FLOAT]),
    "LegendreBasisEvaluator.evaluate_derivative_at": (
        tavo.LegendreBasisEvaluator.evaluate_derivative_at, [EVALUATOR, FLOAT]),
    "LegendreBasisEvaluator.evaluate_many": (
        tavo.LegendreBasisEvaluator.evaluate_many, [EVALUATOR, BUF]),
    "LegendreBasisEvaluator.evaluate_derivative_many": (
        tavo.LegendreBasisEvaluator.evaluate_derivative_many, [EVALUATOR, BUF]),
}
CLASSES = {BASIS: tavo.LegendreBasis, EVALUATOR: tavo.LegendreBasisEvaluator}

# ---------------------------------------------------------------------------------------
# Strategies

# Small, or so large that every count overflows before anything is allocated.
safe_sizes = st.one_of(st.integers(0, 5), st.integers(2**63, 2**64 - 1))
out_of_range = st.one_of(st.integers(max_value=-1), st.integers(min_value=2**64))
odd_returns = st.sampled_from([3, True, IntSub(2), 2**70, -1, 2**64 - 1, 2**63, 0.5, "1",
                               None, FloatSub(1.5), math.nan, -math.inf, 1e308, b"1"])
raised = st.sampled_from([Boom, PanicException, RuntimeError, OverflowError, TypeError,
                          MemoryError])
odd_objects = st.builds(lambda cls, i, f: cls(i, f),
                        st.sampled_from([WithIndex, WithFloat, WithBoth]),
                        odd_returns | raised, odd_returns | raised)

dtypes = st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=3),
                   hnp.unicode_string_dtypes(max_len=3), st.just(np.dtype(object)),
                   st.just(np.dtype("V8")), st.just(np.dtype([("a", "<f8")])),
                   st.just(np.dtype(">f8")), st.just(np.dtype("<f8")))


def fill(dtype):
    # Integer items stay small: a 0-d integer array is also an index.
    if dtype.kind in "iu":
        return st.integers(0, 5)
    if dtype.kind == "O":
        return st.floats() | st.integers(0, 5) | st.none() | st.text(max_size=2)
    return None


@st.composite
def numpy_arrays(draw, dtype=dtypes):
    dtype = draw(dtype)
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    if dtype.kind == "V":  # no strategy for raw or structured items: zeros will do
        a = np.zeros(shape, dtype)
    else:
        a = draw(hnp.arrays(dtype, shape, elements=fill(dtype)))
    layout = draw(st.sampled_from(["c", "fortran", "reversed", "strided", "transposed",
                                   "misaligned", "read-only"]))
    if layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "reversed" and a.ndim:
        a = a[::-1]
    elif layout == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=0)[::2]
    elif layout == "transposed":
        a = a.T
    elif layout == "misaligned" and a.dtype.kind != "O":
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]
        if a.nbytes:
            shifted = raw.view(a.dtype).reshape(a.shape)
            shifted[...] = a
            a = shifted
        else:
            a = raw[:0].view(a.dtype)
    elif layout == "read-only":
        a = a.copy()
        a.flags.writeable = False
    return a


def buffers():
    fmt = st.sampled_from(["d", "f", "q", "B", "<d", ">d", "@d", "=d"])

    def view(data, f, offset):
        raw = bytearray(data)
        size = struct.calcsize(f)
        usable = (len(raw) - offset) // size * size
        return memoryview(raw)[offset:offset + usable].cast("B").cast(f.lstrip("<>=@"))

    return st.one_of(
        st.builds(view, st.binary(max_size=48), fmt, st.integers(0, 3)),
        st.builds(lambda xs: array.array("d", xs), st.lists(st.floats(), max_size=8)),
        st.binary(max_size=16).map(bytearray))


def anything(size_safe):
    ints = safe_sizes | out_of_range if size_safe else st.integers()
    scalars = st.one_of(ints, st.floats(), st.booleans(), st.none(), st.text(max_size=4),
                        st.binary(max_size=4), st.complex_numbers(max_magnitude=1e3),
                        odd_objects, st.builds(FloatSub, st.floats()),
                        st.builds(np.float64, st.floats()), st.builds(np.int64, st.integers(0, 5)))
    sequences = st.recursive(
        scalars, lambda inner: st.one_of(st.lists(inner, max_size=6),
                                         st.lists(inner, max_size=4).map(tuple)),
        max_leaves=12)
    return st.one_of(
        scalars, sequences, numpy_arrays(), buffers(),
        st.builds(Sequence, st.lists(st.floats() | odd_objects, max_size=6),
                  st.integers(0, 8) | raised, st.none() | st.integers(0, 5)),
        st.sets(st.integers(0, 3), max_size=3), st.dictionaries(st.integers(0, 3), st.floats()),
        st.builds(object), st.builds(range, st.integers(0, 4)))


@st.composite
def instances(draw, cls):
    degree, n_t = draw(st.integers(0, 4)), draw(st.integers(0, 3))
    instance = cls(degree, n_t, draw(st.floats(0.5, 3.0) | st.floats()))
    if cls is tavo.LegendreBasisEvaluator:
        instance.set_dofs(draw(st.lists(st.floats(), min_size=n_t * (degree + 1),
                                        max_size=n_t * (degree + 1))))
    return instance, n_t * (degree + 1)


# ---------------------------------------------------------------------------------------
# The property

ALLOWED = (TypeError, OverflowError, BufferError, RuntimeError, MemoryError, PanicException)


def outcome(call, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return ("result", call(*args))
        except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                raise
            return ("raised", error)


def same_result(a, b):
    if isinstance(a, float):
        return isinstance(b, float) and bits(a) == bits(b)
    if isinstance(a, (list, tuple)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same_result(x, y) for x, y in zip(a, b)))
    if isinstance(a, (tavo.LegendreBasis, tavo.LegendreBasisEvaluator)):
        return type(a) is type(b)
    return type(a) is type(b) and a == b


def check_call(name, args):
    call, kinds = CALLABLES[name]
    # What the rules give: the receiver check, then each conversion in parameter order.
    expected, canonical = None, []
    for kind, value in zip(kinds, args):
        if kind in CLASSES:
            if not isinstance(value, CLASSES[kind]):
                expected = TypeError
                break
            canonical.append(value)
            continue
        kind_outcome = outcome(CONVERT[kind], value)
        if kind_outcome[0] == "raised":
            expected = type(kind_outcome[1])
            break
        canonical.append(kind_outcome[1])

    got = outcome(call, *args)
    assert not (got[0] == "raised" and isinstance(got[1], SystemError)), got
    if expected is not None:
        assert got[0] == "raised", f"{name}{args!r}: expected {expected.__name__}, got {got}"
        error = got[1]
        assert type(error) is expected, f"{name}{args!r}: {error!r}, expected {expected}"
        if expected is TypeError:
            assert str(error).startswith(("argument '", "'", "descriptor '")), str(error)
        if expected is BufferError:
            assert str(error) == str(outcome(CONVERT[BUF], args[-1])[1])
        return
    reference = outcome(call, *canonical)
    assert got[0] == reference[0], f"{name}{args!r}: {got} but {reference} for {canonical!r}"
    if got[0] == "raised":
        assert isinstance(got[1], ALLOWED), repr(got[1])
        assert type(got[1]) is type(reference[1]) and str(got[1]) == str(reference[1])
        assert str(got[1]), repr(got[1])
    else:
        assert same_result(got[1], reference[1]), (name, args, got, reference)


# Built once: hypothesis validates a strategy object at its first use.
INSTANCES = {kind: instances(cls) for kind, cls in CLASSES.items()}
ANY_INSTANCE = st.one_of(*(strategy.map(lambda pair: pair[0]) for strategy in INSTANCES.values()))
ANYTHING = {size_safe: anything(size_safe) | ANY_INSTANCE for size_safe in (False, True)}
FLOAT64_ARRAYS = numpy_arrays(st.just(np.dtype(np.float64)))
VALID = {UINT: st.integers(0, 2**64 - 1), SIZE: st.integers(0, 4),
         FLOAT: st.floats() | st.floats(-1.0, 3.0), BUF: FLOAT64_ARRAYS}
LENGTH_CHANGE = st.sampled_from([0, 0, 1, -1])


def positions():
    return [(name, i) for name, (_, kinds) in CALLABLES.items() for i in range(len(kinds))]


@pytest.mark.parametrize(("name", "position"), positions())
@FUZZ
@given(data=st.data())
def test_any_object_at_any_argument(name, position, data):
    _, kinds = CALLABLES[name]
    args, required = [], 0
    for i, kind in enumerate(kinds):
        if kind in CLASSES:
            instance, required = data.draw(INSTANCES[kind])
            args.append(instance)
        elif i != position:
            if kind == SEQ:
                length = max(0, required + data.draw(LENGTH_CHANGE))
                args.append([data.draw(VALID[FLOAT]) for _ in range(length)])
            else:
                args.append(data.draw(VALID[kind]))
    value = data.draw(ANYTHING[kinds[position] == SIZE])
    if kinds[position] in CLASSES:
        args[position] = value
    else:
        args.insert(position, value)
    check_call(name, args)


PARAMETERS = {"sum_as_string": ["a", "b"], "get_lagrange_points": ["degree", "n_t", "T"],
              "LegendreBasis": ["degree", "n_t", "T"]}


@pytest.mark.parametrize("name", PARAMETERS)
@FUZZ
@given(keyword=st.text(st.characters(exclude_categories=()), max_size=4))
@example(keyword="\udc80")  # no UTF-8 form
@example(keyword="T\x00")
def test_any_keyword_name(name, keyword):
    call = CALLABLES[name][0]
    values = {"a": 1, "b": 2, "degree": 1, "n_t": 2, "T": 1.0}
    arguments = {p: values[p] for p in PARAMETERS[name]}
    if keyword in arguments:
        assert same_result(call(**arguments), call(*arguments.values()))
        return
    with pytest.raises(TypeError) as excinfo:
        call(**arguments, **{keyword: 0})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).endswith(f"got an unexpected keyword argument '{keyword}'")


# Found by hand: an empty buffer of doubles that starts off an 8-byte boundary. In a
# subprocess, since undefined behaviour on this path stops a sanitized interpreter.
EMPTY_MISALIGNED = """
import tavo
empty = memoryview(bytearray(16))[1:1].cast("d")
evaluator = tavo.LegendreBasisEvaluator(0, 0, 1.0)
print(evaluator.set_dofs(empty))
try:
    tavo.LegendreBasis(0, 0, 1.0).evaluate_at(0.5, empty)
except BaseException as error:
    print(type(error).__name__, error)
"""


def test_empty_misaligned_double_view_as_coefficients(child):
    run = child(EMPTY_MISALIGNED, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.split("\n") == [
        "None",
        "PanicException LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)",
        ""]


LYING_LENGTH = """
import sys, tavo
class Sequence:
    def __init__(self, length): self.length = length
    def __len__(self): return self.length
    def __getitem__(self, i): return [1.0, 2.0][i]
for length in (2**40, sys.maxsize):
    evaluator = tavo.LegendreBasisEvaluator(1, 1, 1.0)
    try:
        evaluator.set_dofs(Sequence(length))
        basis = tavo.LegendreBasis(1, 1, 1.0)
        print(evaluator.evaluate_at(1.0), basis.evaluate_at(1.0, Sequence(length)))
    except BaseException as error:
        print(type(error).__name__, error)
"""


def test_a_sequence_that_overstates_its_length_is_read_by_iteration(child):
    # The length only sizes the vector; the iteration decides how many items there are.
    run = child(LYING_LENGTH, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.split("\n") == ["3.0 3.0", "3.0 3.0", ""], run.stdout


# ---------------------------------------------------------------------------------------
# Numerics

meshes = st.tuples(st.integers(0, 9), st.integers(1, 9),
                   st.floats(0.1, 10.0) | st.floats(allow_subnormal=True))
def seeded_times(seed, n, special):
    # Enough times for the worker pool, with the drawn ones at random places.
    rng = np.random.default_rng(seed)
    times = rng.uniform(-1.0, 12.0, n)
    times[rng.integers(0, n, len(special))] = special
    return times


time_arrays = st.builds(
    lambda a, layout: {"c": a, "reversed": a[::-1], "strided": a[::3],
                       "fortran": np.asfortranarray(a[: a.size // 4 * 4].reshape(4, -1))}[layout],
    hnp.arrays(np.float64, st.integers(0, 40), elements=st.floats(-1.0, 12.0) | st.floats())
    | st.builds(seeded_times, st.integers(0, 2**32), st.integers(2048, 6500),
                st.lists(st.floats(), max_size=10)),
    st.sampled_from(["c", "reversed", "strided", "fortran"]))


@st.composite
def batches(draw):
    degree, n_t, T = draw(meshes)
    count = (degree + 1) * n_t
    dofs = draw(st.lists(st.floats(-10.0, 10.0) | st.floats(), min_size=count, max_size=count))
    return degree, n_t, T, dofs, draw(time_arrays)


@FUZZ
@given(batches())
def test_batch_equals_the_single_time_calls(case):
    degree, n_t, T, dofs, times = case
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(np.array(dofs))
    basis = tavo.LegendreBasis(degree, n_t, T)
    flat = times.ravel(order="C").tolist()
    values = evaluator.evaluate_many(times)
    slopes = evaluator.evaluate_derivative_many(times)
    assert [bits(v) for v in values] == [bits(evaluator.evaluate_at(t)) for t in flat]
    assert [bits(v) for v in slopes] == [bits(evaluator.evaluate_derivative_at(t)) for t in flat]
    assert [bits(v) for v in values[:50]] == [bits(basis.evaluate_at(t, dofs)) for t in flat[:50]]


POOL_OF_ONE = """
import json, sys, numpy as np, tavo
out = []
for degree, n_t, T, dofs, times in json.load(sys.stdin):
    e = tavo.LegendreBasisEvaluator(degree, n_t, float.fromhex(T))
    e.set_dofs([float.fromhex(c) for c in dofs])
    times = np.array([float.fromhex(t) for t in times])
    out.append([v.hex() for v in e.evaluate_many(times) + e.evaluate_derivative_many(times)])
print(json.dumps(out))
"""


@settings(FUZZ, max_examples=max(2, EXAMPLES // 15))
@given(st.lists(batches(), min_size=2, max_size=6))
def test_results_do_not_depend_on_the_pool_size(cases):
    payload, expected = [], []
    for degree, n_t, T, dofs, times in cases:
        flat = times.ravel(order="C")
        payload.append([degree, n_t, T.hex(), [c.hex() for c in dofs],
                        [t.hex() for t in flat.tolist()]])
        e = tavo.LegendreBasisEvaluator(degree, n_t, T)
        e.set_dofs(dofs)
        expected.append([v.hex() for v in e.evaluate_many(flat) + e.evaluate_derivative_many(flat)])
    environment = dict(os.environ, RAYON_NUM_THREADS="1")
    # Not the fixture: hypothesis runs the body many times per fixture.
    run = run_python(POOL_OF_ONE, input=json.dumps(payload), env=environment,
                     timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    assert json.loads(run.stdout) == expected
