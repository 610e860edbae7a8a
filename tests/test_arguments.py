"""Argument parsing, the conversion rules, the argument error prefix and PanicException."""

import array
import collections.abc
import fractions
import math
import operator
import re
import textwrap
import warnings

import numpy as np
import pytest
import tavo
from conftest import FloatSub, Index, IntSub, PanicException, assert_bits_equal, raised

BASIS = tavo.LegendreBasis(1, 2, 2.0)
EVALUATOR = tavo.LegendreBasisEvaluator(1, 2, 2.0)
# Degree 0 on two intervals of [0, 2]: the value at 0.5 is v[0], at 1.5 it is v[1].
READER = tavo.LegendreBasis(0, 2, 2.0)


def read_two(values):
    return [READER.evaluate_at(t, values) for t in (0.5, 1.5)]


# ---------------------------------------------------------------------------------------
# Parsing. Arguments that could never be converted ride along to show that nothing is
# converted before parsing has succeeded.

PARSING_CASES = [
    (lambda: tavo.sum_as_string(1, 2, 3),
     "sum_as_string() takes 2 positional arguments but 3 were given"),
    (lambda: tavo.sum_as_string(-1, "x", 3, c=1),
     "sum_as_string() takes 2 positional arguments but 3 were given"),
    (lambda: tavo.LegendreBasis(1, 2, 3.0, 4),
     "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: BASIS.evaluate_all_basis_functions("x", "y"),
     "LegendreBasis.evaluate_all_basis_functions() takes 1 positional arguments but 2 were given"),
    (lambda: EVALUATOR.evaluate_many(1, 2, 3),
     "LegendreBasisEvaluator.evaluate_many() takes 1 positional arguments but 3 were given"),
    (lambda: tavo.sum_as_string(-1, c=2),
     "sum_as_string() got an unexpected keyword argument 'c'"),
    (lambda: tavo.sum_as_string(1, 2, ä=3),
     "sum_as_string() got an unexpected keyword argument '\u00e4'"),
    (lambda: tavo.LegendreBasis(1, 2, 3.0, t=1),
     "LegendreBasis.__new__() got an unexpected keyword argument 't'"),
    (lambda: BASIS.evaluate_at(t=1.0, legendre_vals=[], self=BASIS),
     "LegendreBasis.evaluate_at() got an unexpected keyword argument 'self'"),
    (lambda: tavo.sum_as_string(-1, a=2),
     "sum_as_string() got multiple values for argument 'a'"),
    (lambda: tavo.LegendreBasis("x", 2, 3.0, degree=1),
     "LegendreBasis.__new__() got multiple values for argument 'degree'"),
    (lambda: BASIS.evaluate_at("x", "y", t=1.0),
     "LegendreBasis.evaluate_at() got multiple values for argument 't'"),
    # Keywords are taken in the caller's order: the first bad one is reported.
    (lambda: tavo.sum_as_string(1, c=3, a=2),
     "sum_as_string() got an unexpected keyword argument 'c'"),
    (lambda: tavo.sum_as_string(1, a=2, c=3),
     "sum_as_string() got multiple values for argument 'a'"),
    (lambda: tavo.LegendreBasis(1, degree=2),
     "LegendreBasis.__new__() got multiple values for argument 'degree'"),
    (lambda: tavo.sum_as_string(-1),
     "sum_as_string() missing 1 required positional argument: 'b'"),
    (lambda: tavo.sum_as_string(b=1),
     "sum_as_string() missing 1 required positional argument: 'a'"),
    (lambda: tavo.sum_as_string(),
     "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: tavo.get_lagrange_points("x"),
     "get_lagrange_points() missing 2 required positional arguments: 'n_t' and 'T'"),
    (lambda: tavo.LegendreBasis(n_t=1),
     "LegendreBasis.__new__() missing 2 required positional arguments: 'degree' and 'T'"),
    (lambda: tavo.LegendreBasis(),
     "LegendreBasis.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'"),
    (lambda: tavo.LegendreBasisEvaluator(),
     ("LegendreBasisEvaluator.__new__() missing 3 required positional arguments: "
      "'degree', 'n_t', and 'T'")),
    (lambda: tavo.lagrange_prolongation_matrix(),
     ("lagrange_prolongation_matrix() missing 3 required positional arguments: "
      "'nt_coarse', 'nt_fine', and 'degree'")),
    (lambda: BASIS.evaluate_at(),
     ("LegendreBasis.evaluate_at() missing 2 required positional arguments: "
      "'t' and 'legendre_vals'")),
    (lambda: EVALUATOR.set_dofs(),
     "LegendreBasisEvaluator.set_dofs() missing 1 required positional argument: 'legendre_vals'"),
    (lambda: tavo.LegendreBasis.evaluate_at(EVALUATOR, 1.0, []),
     ("descriptor 'evaluate_at' for 'builtins.LegendreBasis' objects doesn't apply to a "
      "'builtins.LegendreBasisEvaluator' object")),
]


@pytest.mark.parametrize("call, message", PARSING_CASES)
def test_parsing_failures(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert str(error) == message


# ---------------------------------------------------------------------------------------
# Conversion rules


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """Raises the given exception from every number conversion."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __index__


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (False, 0), (Index(5), 5), (IntSub(9), 9), (2**64 - 1, 2**64 - 1),
     (np.uint64(2**64 - 1), 2**64 - 1), (np.int8(3), 3), (np.array(4), 4)],
)
def test_unsigned_integer_accepts(value, expected):
    assert tavo.sum_as_string(value, 0) == str(expected)
    assert tavo.sum_as_string(0, value) == str(expected)


@pytest.mark.parametrize(
    "value, message",
    [(2**64, "int too big to convert"), (Index(2**64), "int too big to convert"),
     *[(v, "can't convert negative int to unsigned") for v in (-1, -2**70, Index(-1))]],
)
def test_unsigned_integer_out_of_range_is_an_unprefixed_overflow(value, message):
    error = raised(lambda: tavo.LegendreBasis(1, value, 1.0))
    assert type(error) is OverflowError
    assert str(error) == message


def host_text(convert, value):
    with pytest.raises(BaseException) as info:
        convert(value)
    return str(info.value)


@pytest.mark.parametrize(
    "value",
    [3.0, "1", None, np.float64(1.0), fractions.Fraction(1, 2), Index("5"), [1]],
    ids=["float", "str", "None", "np.float64", "Fraction", "bad __index__", "list"],
)
def test_unsigned_integer_type_errors_carry_the_prefix(value):
    expected = host_text(operator.index, value)
    for call, name in [(lambda: tavo.sum_as_string(1, value), "b"),
                       (lambda: tavo.LegendreBasis(value, 1, 1.0), "degree")]:
        error = raised(call)
        assert type(error) is TypeError
        assert str(error) == f"argument '{name}': {expected}"


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (True, 1.0), (Index(5), 5.0), (FloatLike(2.5), 2.5), (FloatSub(-0.0), -0.0),
     (np.float32(1.1), float(np.float32(1.1))), (np.int64(-7), -7.0), (np.array(2.5), 2.5),
     (fractions.Fraction(1, 3), 1 / 3), (2**64 + 1, 2.0**64), (math.inf, math.inf)],
)
def test_float_argument_accepts(value, expected):
    basis = tavo.LegendreBasis(3, 2, 10.0)
    coefficients = [1.0, -2.0, 3.0, 0.5, -1.5, 2.0, 0.25, 4.0]
    converted = basis.evaluate_at(value, coefficients)
    assert_bits_equal(converted, basis.evaluate_at(expected, coefficients))
    assert_bits_equal(read_two([value, 1.0])[0], expected)


@pytest.mark.parametrize(
    "value",
    ["1.0", None, [1.5], np.array([1.5]), FloatLike("x"), 1j],
    ids=["str", "None", "list", "1-d array", "bad __float__", "complex"],
)
def test_float_type_errors_carry_the_prefix(value):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            math.fabs(value)
    except TypeError:
        pass
    else:  # older numpy converts a one-element array, with a warning only
        pytest.skip("the interpreter converts this value to a float")
    expected = host_text(math.fabs, value)
    for call, name in [(lambda: BASIS.evaluate_at(value, [0.0] * 4), "t"),
                       (lambda: tavo.LegendreBasis(1, 1, value), "T"),
                       (lambda: BASIS.evaluate_at(0.5, [0.0, value, 0.0, 0.0]), "legendre_vals")]:
        error = raised(call)
        assert type(error) is TypeError
        assert str(error) == f"argument '{name}': {expected}"


@pytest.mark.parametrize(
    "call",
    [lambda v: tavo.sum_as_string(v, 1), lambda v: BASIS.evaluate_at(v, []),
     lambda v: read_two([1.0, v])],
    ids=["unsigned", "float", "sequence item"],
)
@pytest.mark.parametrize(
    "error",
    [ValueError("no value"), ZeroDivisionError("zero"), RuntimeError("busy")],
    ids=lambda e: type(e).__name__,
)
def test_other_errors_pass_through_unchanged(call, error):
    assert raised(lambda: call(Raising(error))) is error


def test_float_too_large_is_an_unprefixed_overflow():
    for call in [lambda: BASIS.evaluate_at(2**1100, []), lambda: read_two([1.0, 2**1100])]:
        error = raised(call)
        assert type(error) is OverflowError
        assert str(error) == "int too large to convert to float"


def test_prefix_keeps_the_cause():
    cause = KeyError("inner")

    class Chained:
        def __float__(self):
            raise TypeError("outer") from cause

    for call, name in [(lambda: BASIS.evaluate_at(Chained(), []), "t"),
                       (lambda: read_two([Chained()]), "legendre_vals")]:
        error = raised(call)
        assert type(error) is TypeError
        assert str(error) == f"argument '{name}': outer"
        assert error.__cause__ is cause
    plain = raised(lambda: BASIS.evaluate_at(Raising(TypeError("plain")), []))
    assert str(plain) == "argument 't': plain"
    assert plain.__cause__ is None


class Lying(collections.abc.Sequence):
    """A sequence whose reported length is not what iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "values, expected",
    [((1, 2), [1.0, 2.0]), ([True, -3], [1.0, -3.0]), (b"\x01\x02", [1.0, 2.0]),
     (bytearray(b"\x07\x09"), [7.0, 9.0]), (range(5, 7), [5.0, 6.0]),
     (np.array([1.5, -0.0]), [1.5, -0.0]), (np.array([3, 4], dtype=np.int32), [3.0, 4.0]),
     ([np.float32(0.5), FloatLike(0.25), Index(1)], [0.5, 0.25]),
     (Lying([3.0, 4.0], 100), [3.0, 4.0]), (Lying([3.0, 4.0], RuntimeError("len")), [3.0, 4.0])],
)
def test_float_sequence_accepts(values, expected):
    assert_bits_equal(read_two(values), expected)


@pytest.mark.parametrize(
    "values, message",
    [("ab", "Can't extract `str` to `Vec`"),
     (type("Text", (str,), {})("ab"), "Can't extract `str` to `Vec`"),
     ({1.0, 2.0}, "'set' object cannot be cast as 'Sequence'"),
     (frozenset([1.0]), "'frozenset' object cannot be cast as 'Sequence'"),
     ({0: 1.0, 1: 2.0}, "'dict' object cannot be cast as 'Sequence'"),
     ((x for x in [1.0, 2.0]), "'generator' object cannot be cast as 'Sequence'"),
     (iter([1.0, 2.0]), "'list_iterator' object cannot be cast as 'Sequence'"),
     (5, "'int' object cannot be cast as 'Sequence'"),
     (np.float64(2.0), "'float64' object cannot be cast as 'Sequence'"),
     (None, "'NoneType' object cannot be cast as 'Sequence'"),
     ([1.0, "x"], "must be real number, not str"),
     (Lying([1.0, Raising(TypeError("item"))], 2), "item"),
     (np.array([[1.0, 2.0]]), host_text(math.fabs, np.array([1.0, 2.0])))],
)
def test_float_sequence_type_errors_carry_the_prefix(values, message):
    error = raised(lambda: read_two(values))
    assert type(error) is TypeError
    assert str(error) == f"argument 'legendre_vals': {message}"


class ReversedArray(np.ndarray):
    def __iter__(self):
        return reversed(self.view(np.ndarray).tolist())


class ReversedDoubles(array.array):
    def __iter__(self):
        return reversed(self.tolist())


@pytest.mark.parametrize(
    "values",
    [np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 0, 0, 1]),
     np.ma.masked_array([1.0, 9.0, 2.0, 9.0, 3.0, 9.0, 4.0, 9.0], mask=[0, 1] * 4)[::2],
     np.arange(1.0, 5.0).view(ReversedArray), ReversedDoubles("d", [1.0, 2.0, 3.0, 4.0]),
     memoryview(np.arange(1.0, 5.0).astype("<f8")).cast("B").cast("d")],
    ids=["masked", "masked-strided", "ndarray-subclass", "array-subclass", "memoryview"],
)
@pytest.mark.filterwarnings("ignore:Warning. converting a masked element to nan")
def test_float_sequence_reads_what_iteration_yields(values):
    items = list(values)
    basis = tavo.LegendreBasis(1, 2, 2.0)
    assert_bits_equal(basis.evaluate_at(1.5, values), basis.evaluate_at(1.5, items))
    evaluators = [tavo.LegendreBasisEvaluator(1, 2, 2.0) for _ in range(2)]
    evaluators[0].set_dofs(values)
    evaluators[1].set_dofs(items)
    assert_bits_equal(*(e.evaluate_many(np.linspace(0.0, 2.0, 9)) for e in evaluators))


def misaligned_doubles(values):
    raw = bytearray(8 * len(values) + 1)
    view = memoryview(raw)[1:].cast("d")
    view[:] = array.array("d", values)
    return view


@pytest.mark.parametrize(
    "make",
    [np.array, lambda v: array.array("d", v), lambda v: memoryview(array.array("d", v)),
     misaligned_doubles],
    ids=["ndarray", "array", "memoryview", "misaligned"],
)
@pytest.mark.parametrize("count", [8, 7], ids=["enough", "too-few"])
def test_coefficient_buffer_is_read_in_place_and_let_go(make, count):
    # A single time reads its coefficients where the buffer holds them; the exporter is
    # free again once the call has returned or failed.
    items = [0.5 + i / 8 for i in range(count)]
    values = make(items)
    basis = tavo.LegendreBasis(3, 2, 2.0)
    if count == 8:
        assert_bits_equal(basis.evaluate_at(1.5, values), basis.evaluate_at(1.5, items))
    else:
        assert type(raised(lambda: basis.evaluate_at(1.5, values))) is PanicException
    exporter = values
    if isinstance(values, memoryview):
        exporter = values.obj
        values.release()  # BufferError while an export of it is held
    if isinstance(exporter, array.array):
        exporter.append(1.0)
    elif isinstance(exporter, np.ndarray):
        exporter.resize(count + 1, refcheck=False)


class Rewriting:
    """Converts to 2.0 after applying `change` to the list that holds it."""

    def __init__(self, change):
        self.change, self.owner = change, None

    def __float__(self):
        self.change(self.owner)
        return 2.0


def list_rewritten_by_its_second_item(change):
    item = Rewriting(change)
    item.owner = [1.0, item, 3.0, 4.0, 5.0]
    return item.owner


@pytest.mark.parametrize(
    "change",
    [lambda v: v.__setitem__(2, FloatLike(7.0)), lambda v: v.__setitem__(2, 0.1 + v[3]),
     lambda v: v.__delitem__(2), lambda v: v.insert(2, FloatLike(9.0)),
     lambda v: v.__setitem__(1, None), lambda v: v.__setitem__(0, FloatLike(6.0))],
    ids=["float-to-object", "float-replaced", "shrunk", "grown", "own-slot", "read-slot"],
)
def test_a_list_changed_while_read_is_read_as_iteration_sees_it(change):
    expected = [float(x) for x in list_rewritten_by_its_second_item(change)][:4]
    reader = tavo.LegendreBasis(0, 4, 4.0)
    got = [reader.evaluate_at(t, list_rewritten_by_its_second_item(change))
           for t in (0.5, 1.5, 2.5, 3.5)]
    assert_bits_equal(got, expected)


def test_empty_sequence_converts_to_an_empty_vector():
    error = raised(lambda: READER.evaluate_at(0.5, []))
    assert type(error) is PanicException
    assert str(error) == "Matrix view: input data buffer too small."


CONVERTED = []


class Recorder:
    """Notes every conversion attempt made on it."""

    def __index__(self):
        CONVERTED.append(self)
        return 1

    __float__ = __index__


@pytest.mark.parametrize(
    "call, error_type, message",
    [(lambda: tavo.sum_as_string(-1, Recorder()), OverflowError,
      "can't convert negative int to unsigned"),
     (lambda: tavo.sum_as_string("x", Recorder()), TypeError,
      "argument 'a': 'str' object cannot be interpreted as an integer"),
     (lambda: tavo.LegendreBasis(1, None, Recorder()), TypeError,
      "argument 'n_t': 'NoneType' object cannot be interpreted as an integer"),
     (lambda: tavo.LegendreBasis(T=Recorder(), n_t=-1, degree=1), OverflowError,
      "can't convert negative int to unsigned"),
     (lambda: BASIS.evaluate_at(legendre_vals=[Recorder()] * 4, t="x"), TypeError,
      "argument 't': must be real number, not str"),
     (lambda: BASIS.evaluate_at(1.0, [1.0, "x", Recorder(), 1.0]), TypeError,
      "argument 'legendre_vals': must be real number, not str")],
)
def test_arguments_convert_in_order_and_stop_at_the_first_failure(call, error_type, message):
    CONVERTED.clear()
    error = raised(call)
    assert type(error) is error_type
    assert str(error) == message
    assert CONVERTED == []


# ---------------------------------------------------------------------------------------
# PanicException


def test_panic_exception_class():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__doc__


def short_vector():
    BASIS.evaluate_at(0.5, [1.0, 2.0, 3.0])


def wrong_dof_count():
    tavo.LegendreBasisEvaluator(1, 3, 1.0).set_dofs([1.0, 2.0])


def zero_degree_prolongation():
    tavo.lagrange_prolongation_matrix(2, 2, 0)


@pytest.mark.parametrize(
    "call, message",
    [(short_vector, "Matrix view: input data buffer too small."),
     (zero_degree_prolongation, "Lagrange prolongation requires polynomial degree at least 1"),
     (wrong_dof_count, ("assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: "
                        "input vector has wrong length\n  left: 2\n right: 6"))],
)
def test_internal_failure_is_reported_and_raised(capfd, call, message):
    capfd.readouterr()
    error = raised(call)
    assert type(error) is PanicException
    assert error.args == (message,)
    assert str(error) == message
    err = capfd.readouterr().err
    assert message in err
    assert "main" in err  # the failing thread's name
    assert re.search(r"[\w.]+:\d+", err)  # the source location


@pytest.mark.parametrize(
    "call",
    [lambda v: BASIS.evaluate_at(v, []), lambda v: read_two([1.0, v]),
     lambda v: tavo.sum_as_string(1, v)],
    ids=["float", "sequence item", "unsigned"],
)
def test_panic_raised_inside_a_conversion_comes_back_as_panic(capfd, call):
    capfd.readouterr()
    error = raised(lambda: call(Raising(PanicException("boom"))))
    assert type(error) is PanicException
    assert error.args == ("boom",)
    err = capfd.readouterr().err
    assert "Traceback" in err
    assert "boom" in err


@pytest.mark.parametrize(
    "setup",
    ["call, args = tavo.LegendreBasis(2, 3, 1.0).evaluate_all_basis_functions, (0.5,)",
     "call, args = tavo.LegendreBasis(2, 3, 1.0).evaluate_all_basis_function_derivatives, (0.5,)",
     "call, args = tavo.sum_as_string, (2**64 - 1, 2**64 - 1)"],
)
def test_memory_error_from_result_creation_passes_through(child, setup):
    pytest.importorskip("_testcapi")
    # Every interpreter allocation fails while the call runs; the module's own arrays
    # do not come from the interpreter's allocator, so the result object is what fails.
    code = textwrap.dedent(
        """
        import _testcapi
        import tavo
        {}
        caught = None
        _testcapi.set_nomemory(0, 0)
        try:
            call(*args)
        except BaseException as error:
            caught = error
        _testcapi.remove_mem_hooks()
        print(type(caught).__name__)
        """
    ).format(setup)
    run = child(code, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "MemoryError"
