"""The buffer of times taken by `evaluate_many` and `evaluate_derivative_many`."""

import array
import ctypes
import sys

import numpy as np
import pytest
import tavo
from conftest import assert_bits_equal, misaligned

BATCH_METHODS = [("evaluate_many", "evaluate_at"),
                 ("evaluate_derivative_many", "evaluate_derivative_at")]

NOT_F64 = "buffer contents are not compatible with f64"
MISALIGNED = "buffer contents are insufficiently aligned for f64"


@pytest.fixture(scope="module")
def evaluator():
    evaluator = tavo.LegendreBasisEvaluator(3, 4, 2.0)
    evaluator.set_dofs(np.random.default_rng(5).normal(size=16).tolist())
    return evaluator


def times(n):
    return np.random.default_rng(n).uniform(-0.2, 2.2, n)


def read_only(values):
    values.flags.writeable = False
    return values


def c_doubles(values, item=ctypes.c_double, columns=None):
    """A ctypes array of the values, in rows of `columns` if given. It exports no strides,
    and "<d" or ">d" as format."""
    values = list(values)
    if columns is None:
        return (item * len(values))(*values)
    row = item * columns
    rows = [row(*values[i:i + columns]) for i in range(0, len(values), columns)]
    return (row * len(rows))(*rows)


@pytest.mark.skipif(sys.byteorder != "little", reason="byte order cases assume little-endian")
@pytest.mark.parametrize(("many", "single"), BATCH_METHODS)
@pytest.mark.parametrize(
    ("make", "logical"),
    [
        # Buffers arrive flattened in row-major order of their logical shape.
        (lambda: np.asfortranarray(times(12).reshape(3, 4)), lambda: times(12)),
        (lambda: times(24).reshape(2, 3, 4).transpose(2, 0, 1),
         lambda: times(24).reshape(2, 3, 4).transpose(2, 0, 1).ravel()),
        (lambda: times(20)[::2], lambda: times(20)[::2]),
        (lambda: times(30).reshape(5, 6)[::-2, 1::3],
         lambda: times(30).reshape(5, 6)[::-2, 1::3].ravel()),
        (lambda: np.zeros(0), list),
        (lambda: read_only(times(9)), lambda: times(9)),
        # Format "<d": the machine's byte order, spelled out.
        (lambda: memoryview(c_doubles(times(5))), lambda: times(5)),
        (lambda: memoryview(c_doubles(times(6), columns=3)), lambda: times(6)),
        (lambda: memoryview(times(6)), lambda: times(6)),
        (lambda: memoryview(times(6).tobytes()).cast("d"), lambda: times(6)),
        (lambda: array.array("d", times(7)), lambda: times(7)),
        # Large enough for the worker pool.
        (lambda: np.asfortranarray(times(4096).reshape(64, 64)), lambda: times(4096)),
        (lambda: times(6000)[::3], lambda: times(6000)[::3]),
    ],
)
def test_accepted_buffers(evaluator, many, single, make, logical):
    expected = [getattr(evaluator, single)(t) for t in logical()]
    assert_bits_equal(getattr(evaluator, many)(make()), expected)


@pytest.mark.parametrize(("many", "single"), BATCH_METHODS)
def test_keyword_argument(evaluator, many, single):
    assert_bits_equal(getattr(evaluator, many)(t_values=times(3)),
                      [getattr(evaluator, single)(t) for t in times(3)])


@pytest.mark.parametrize("many", [m for m, _ in BATCH_METHODS])
@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: np.arange(4, dtype=np.float32), NOT_F64),
        (lambda: np.arange(4, dtype=np.int64), NOT_F64),
        (lambda: np.zeros(4, dtype=np.complex64), NOT_F64),
        (lambda: np.zeros(4, dtype=np.longdouble), NOT_F64),
        (lambda: memoryview(bytearray(32)).cast("q"), NOT_F64),
        (lambda: bytearray(32), NOT_F64),
        (lambda: b"", NOT_F64),
        (lambda: np.zeros(4, dtype=[("t", "<f8")]), NOT_F64),
        pytest.param(lambda: np.array([0.25, 0.5], dtype=">f8"), NOT_F64,
                     marks=pytest.mark.skipif(sys.byteorder != "little",
                                              reason="a foreign byte order on this machine")),
        pytest.param(lambda: memoryview(c_doubles([0.25, 0.5], ctypes.c_double.__ctype_be__)),
                     NOT_F64, marks=pytest.mark.skipif(sys.byteorder != "little",
                                                       reason="a foreign byte order")),
        (lambda: misaligned(4), MISALIGNED),
        (lambda: misaligned(6).reshape(2, 3), MISALIGNED),
        (lambda: misaligned(0), MISALIGNED),
        (lambda: memoryview(bytearray(17))[1:].cast("d"), MISALIGNED),
        # A 0-d array exports no shape, a ctypes array no strides.
        (lambda: np.array(0.5), "shape is null"),
        (lambda: c_doubles([0.25, 0.5]), "strides is null"),
    ],
)
def test_refused_buffers(evaluator, many, make, message):
    with pytest.raises(BufferError) as excinfo:
        getattr(evaluator, many)(make())
    assert type(excinfo.value) is BufferError
    assert str(excinfo.value) == message


@pytest.mark.parametrize("many", [m for m, _ in BATCH_METHODS])
@pytest.mark.parametrize("value", [[0.5, 1.0], (0.5,), 0.5, None, "0.5", range(3)])
def test_objects_without_buffer(evaluator, many, value):
    with pytest.raises(TypeError) as excinfo:
        getattr(evaluator, many)(value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith("argument 't_values': ")
    assert type(value).__name__ in str(excinfo.value)


def test_buffer_is_released(evaluator):
    # Releasing a view fails while an export of it is still held, after success or failure.
    storage = bytearray(np.linspace(0.0, 2.0, 8).tobytes())
    view = memoryview(storage).cast("d")
    refused = memoryview(storage).cast("q")
    for many, _ in BATCH_METHODS:
        getattr(evaluator, many)(view)
        with pytest.raises(BufferError):
            getattr(evaluator, many)(refused)
    view.release()
    refused.release()
    storage.extend(bytes(8))
