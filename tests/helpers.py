"""Shared helpers of the test suite."""

import struct

import tavo


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


def sanitized():
    """Whether this interpreter runs with a sanitizer's runtime loaded."""
    with open("/proc/self/maps") as maps:
        return any(name in maps.read() for name in ("libasan", "libtsan"))


def _panic_exception_class():
    try:
        tavo.lagrange_prolongation_matrix(1, 1, 0)
    except BaseException as error:  # noqa: BLE001 - the class is what we are after
        return type(error)
    raise AssertionError("a degree-0 prolongation did not fail")


PanicException = _panic_exception_class()
