"""Degenerate and huge sizes (0, 1, 2**32, 2**63, 2**64 - 1) at every size argument, with
NaN, infinite, negative and zero T.

Every call must end in a result or a clean exception: "capacity overflow" when a count
overflows 64 bits or its bytes exceed the largest object, MemoryError when the system
refuses the allocation, or the documented precondition message. Each family of calls runs
in one subprocess, which prints a line per call and must exit normally without having
used much memory.
"""

import json
import math
import struct
from functools import partial

import numpy as np
import pytest
from conftest import sanitized

SIZES = [0, 1, 2**32, 2**63, 2**64 - 1]
TS = [1.0, 0.0, -1.0, math.inf, -math.inf, math.nan]

CAPACITY = "PanicException: capacity overflow"
MEMORY = "MemoryError"
NO_INTERVALS = ("PanicException: LegendreBasis: cannot evaluate on a mesh of zero intervals "
                "(n_t = 0)")
TOO_SMALL = "PanicException: Matrix view: input data buffer too small."
PROLONGATION = "PanicException: Lagrange prolongation requires "
DEGREE_ZERO = "PanicException: Lagrange to Legendre conversion not meaningful for degree 0"


def t_literal(value):
    return "nan" if math.isnan(value) else "-inf" if value == -math.inf else (
        "inf" if value == math.inf else repr(value))


class Refused(Exception):
    """The expected outcome is an exception with one of these texts."""

    def __init__(self, *outcomes):
        super().__init__(*outcomes)
        self.outcomes = outcomes


def count(*factors, plus=0, allocated=True, doubles_viewed=False):
    """The element count of an array, or raises Refused with what the module may answer.

    A count past 64 bits is a capacity overflow. One that fits but is far beyond the
    machine (in this table: 2**32 elements or more) may end either way: as a capacity
    overflow when its bytes exceed the largest object, as MemoryError when the system
    refuses them. Which one depends on the element size of each array the call makes on
    its way, and that is the module's business, not its contract. A view of that many
    doubles that holds more bytes than any object may have is a capacity overflow."""
    n = 1
    for f in factors:
        n *= f
        if n >= 2**64:
            raise Refused(CAPACITY)
    n += plus
    if n >= 2**64 or (doubles_viewed and 8 * n >= 2**63):
        raise Refused(CAPACITY)
    if allocated and n >= 2**32:
        raise Refused(CAPACITY, MEMORY)
    return n


def div(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def position(T, t):
    h = div(T, 1.0)
    a = h * 0.0
    b = h + a
    m = (a + b) * -0.5
    x = div((t + m) + (t + m), b - a)
    return h, (-1.0 if x < -1.0 else 1.0 if x > 1.0 else x)


def value(degree, T, t, c):
    _, x = position(T, t)
    s = -0.0 + 1.0 * c[0]
    return s + x * c[1] if degree else s


def slope(degree, T, t, c):
    h, _ = position(T, t)
    s = -0.0 + 0.0 * c[0]
    if degree:
        s = s + 1.0 * c[1]
    return div(s + s, h)


def basis_values(degree, T, t):
    _, x = position(T, t)
    return [1.0, x][: degree + 1]


def basis_slopes(degree, T, t):
    h, _ = position(T, t)
    return [div(0.0, h), div(2.0, h)][: degree + 1]


# ---------------------------------------------------------------------------------------
# The cases: (call, expected) with expected an outcome line or a result

def lagrange_points_cases():
    for degree in SIZES:
        for n_t in SIZES:
            for T in TS:
                call = f"tavo.get_lagrange_points({degree}, {n_t}, {t_literal(T)})"
                try:
                    n = count(n_t, degree, plus=1)
                    start, end = T * 0.0, T + T * 0.0
                    first = start + div((end - start) * 0.0, 1.0)
                    yield call, [first, T] if n == 2 else [T]
                except Refused as refused:
                    yield call, refused.outcomes


def lagrange_basis(degree, n_t):
    return count(n_t, degree, plus=1)


def prolongation_cases():
    for nt_coarse in SIZES:
        for nt_fine in SIZES:
            for degree in SIZES:
                call = f"tavo.lagrange_prolongation_matrix({nt_coarse}, {nt_fine}, {degree})"
                try:
                    lagrange_basis(degree, nt_coarse)
                    for size, name in ((degree, "polynomial degree at least 1"),
                                       (nt_coarse, "at least one coarse interval"),
                                       (nt_fine, "at least one fine interval")):
                        if size == 0:
                            raise Refused(PROLONGATION + name)
                    count(nt_fine, degree, plus=1, allocated=False)  # rows
                    count(nt_fine, degree, plus=1)  # one entry per row
                    yield call, [[0, 1], [0, 1], [1.0, 1.0]]
                except Refused as refused:
                    yield call, refused.outcomes


def transformation_cases():
    for degree in SIZES:
        for n_t in SIZES:
            call = f"tavo.lagrange_to_legendre_basis_transformation({degree}, {n_t})"
            try:
                lagrange_basis(degree, n_t)
                if degree == 0:
                    raise Refused(DEGREE_ZERO)
                count(degree + 1, degree + 1, allocated=False)
                count(degree + 1, degree + 1, n_t, allocated=False)
                yield call, ([[], [], []] if n_t == 0
                             else [[0, 0, 1, 1], [0, 1, 0, 1], [0.5, 0.5, -0.5, 0.5]])
            except Refused as refused:
                yield call, refused.outcomes


def coefficients(degree, n_t):
    """A coefficient list of the right length where that is small, else a short one."""
    try:
        n = count(n_t, degree + 1)
    except Refused:
        return [1.5]
    return [1.5, -2.0][:n] if n <= 2 else [1.5]


def basis_cases():
    for degree in SIZES:
        for n_t in SIZES:
            for T in TS:
                basis = f"tavo.LegendreBasis({degree}, {n_t}, {t_literal(T)})"
                c = coefficients(degree, n_t)
                for t in (0.5, -1.0, math.inf):
                    calls = {
                        f"evaluate_at({t_literal(t)}, {c})": partial(value, degree, T, t, c),
                        f"evaluate_all_basis_functions({t_literal(t)})":
                            partial(basis_values, degree, T, t),
                        f"evaluate_all_basis_function_derivatives({t_literal(t)})":
                            partial(basis_slopes, degree, T, t),
                    }
                    for method, result in calls.items():
                        try:
                            if method.startswith("evaluate_at"):
                                n = count(n_t, count(degree, plus=1, allocated=False),
                                          allocated=False, doubles_viewed=True)
                                if len(c) < n:
                                    raise Refused(TOO_SMALL)
                                if n_t == 0:
                                    raise Refused(NO_INTERVALS)
                            else:
                                if n_t == 0:
                                    raise Refused(NO_INTERVALS)
                                count(n_t, count(degree, plus=1, allocated=False))
                            yield f"{basis}.{method}", result()
                        except Refused as refused:
                            yield f"{basis}.{method}", refused.outcomes


def evaluator_cases():
    times = [0.5, -1.0, math.inf, math.nan] + [0.001 * j for j in range(2500)]
    for degree in SIZES:
        for n_t in SIZES:
            for T in TS:
                new = f"tavo.LegendreBasisEvaluator({degree}, {n_t}, {t_literal(T)})"
                try:
                    n = count(n_t, count(degree, plus=1, allocated=False))
                except Refused as refused:
                    yield new, refused.outcomes
                    continue
                c = coefficients(degree, n_t)
                store = f"e = {new}; e.set_dofs({c})"
                if len(c) != n:
                    yield store, (f"PanicException: assertion `left == right` failed: "
                                  f"LegendreBasisEvaluator: set_dofs: input vector has wrong "
                                  f"length\n  left: {len(c)}\n right: {n}")
                    continue
                yield store, None
                for method, kernel, many in (("evaluate_at", value, False),
                                             ("evaluate_derivative_at", slope, False),
                                             ("evaluate_many", value, True),
                                             ("evaluate_derivative_many", slope, True)):
                    call = f"{store}; e.{method}({'np.array(TIMES)' if many else 0.5})"
                    if n_t == 0:
                        yield call, NO_INTERVALS
                    elif many:
                        yield call, [kernel(degree, T, t, c) for t in times]
                    else:
                        yield call, kernel(degree, T, 0.5, c)
    yield "TIMES", times


def sum_cases():
    for a in SIZES:
        for b in SIZES:
            yield f"tavo.sum_as_string({a}, {b})", str(a + b)


FAMILIES = {
    "get_lagrange_points": lagrange_points_cases,
    "lagrange_prolongation_matrix": prolongation_cases,
    "lagrange_to_legendre_basis_transformation": transformation_cases,
    "LegendreBasis": basis_cases,
    "LegendreBasisEvaluator": evaluator_cases,
    "sum_as_string": sum_cases,
}

# The child runs each call and prints one JSON line for it. Floats travel as their bit
# patterns, so that -0.0 compares exactly; NaN as one word (its sign and payload are the
# hardware's business).
CHILD = r"""
import json, math, resource, struct, sys
import numpy as np
import tavo
nan, inf = math.nan, math.inf

def plain(value):
    if isinstance(value, float):
        return "nan" if math.isnan(value) else struct.pack("<d", value).hex()
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value

cases = json.load(sys.stdin)
TIMES = cases.pop("TIMES", None)
for call in cases["calls"]:
    try:
        result = eval(call) if ";" not in call else exec(call.rsplit(";", 1)[0]) or eval(
            call.rsplit(";", 1)[1])
        line = ["result", plain(result)]
    except BaseException as error:
        name = type(error).__name__
        line = ["raised", f"{name}: {error}" if str(error) else name]
    print(json.dumps([call, line]), flush=True)
print(json.dumps(["peak", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss]), flush=True)
"""


def plain(value):
    if isinstance(value, float):
        return "nan" if math.isnan(value) else struct.pack("<d", value).hex()
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def short(outcome):
    text = repr(outcome)
    return text if len(text) < 300 else text[:300] + "..."


@pytest.mark.parametrize("family", FAMILIES)
def test_every_size_ends_cleanly(child, family):
    skip_refused = sanitized()  # the sanitizers' allocators abort instead of refusing
    expected, payload = {}, {"calls": []}
    for call, outcome in FAMILIES[family]():
        if call == "TIMES":
            payload["TIMES"] = outcome
            continue
        if isinstance(outcome, str) and outcome.startswith(("PanicException", "MemoryError")):
            outcome = (outcome,)
        if isinstance(outcome, tuple):
            if MEMORY in outcome and skip_refused:
                continue
            expected[call] = [["raised", text] for text in outcome]
        else:
            expected[call] = [["result", None if outcome is None else plain(outcome)]]
        payload["calls"].append(call)
    run = child(CHILD, input=json.dumps(payload), timeout=600, memory_limit=True)
    lines = [json.loads(line) for line in run.stdout.splitlines()]
    done = [call for call, _ in lines if call != "peak"]
    assert run.returncode == 0, (
        f"exit {run.returncode} after {len(done)} of {len(payload['calls'])} calls; next: "
        f"{payload['calls'][len(done)] if len(done) < len(payload['calls']) else None}\n"
        f"{run.stderr[-3000:]}")
    got = dict(lines)
    mismatches = {call: (got.get(call), want) for call, want in expected.items()
                  if got.get(call) not in want}
    assert not mismatches, "\n".join(f"{short(c)}: got {short(g)}, expected {short(w)}"
                                     for c, (g, w) in list(mismatches.items())[:20])
    assert lines[-1][0] == "peak"
    if not skip_refused:
        # No case may have touched much memory on its way to a refusal (below 1 GiB; the
        # peak is in kilobytes).
        assert lines[-1][1] < 1 << 20, lines[-1]


# Single calls at sizes chosen to reach each clean failure on its own: a count past 64
# bits, more bytes than any object may have (both "capacity overflow"), a size the system
# refuses (MemoryError), and a precondition checked before any allocation.
@pytest.mark.parametrize(
    ("call", "outcome"),
    [
        # n_t * (degree + 1) past 64 bits, or degree + 1 itself.
        ("LegendreBasisEvaluator(2**40, 2**30, 1.0)", CAPACITY),
        ("LegendreBasisEvaluator(2**32, 2**32, 1.0)", CAPACITY),
        ("LegendreBasisEvaluator(2**64 - 1, 1, 1.0)", CAPACITY),
        # 2**63 bytes of coefficients.
        ("LegendreBasisEvaluator(2**30 - 1, 2**30, 1.0)", CAPACITY),
        # 2**59 bytes.
        ("LegendreBasisEvaluator(2**36 - 1, 2**20, 1.0)", MEMORY),
        # n_t * degree + 1 nodes past 64 bits; 2**63 + 1 nodes; 2**59 + 1 nodes.
        ("get_lagrange_points(2**40, 2**40, 1.0)", CAPACITY),
        ("get_lagrange_points(2**64 - 1, 1, 1.0)", CAPACITY),
        ("get_lagrange_points(2**62, 2, 1.0)", CAPACITY),
        ("get_lagrange_points(2**32, 2**27, 1.0)", MEMORY),
        ("LegendreBasis(2**62, 4, 1.0).evaluate_all_basis_functions(0.5)", CAPACITY),
        ("LegendreBasis(2**64 - 1, 1, 1.0).evaluate_all_basis_function_derivatives(0.5)",
         CAPACITY),
        ("LegendreBasis(0, 2**60, 1.0).evaluate_all_basis_functions(0.5)", CAPACITY),
        ("LegendreBasis(2**62, 4, 1.0).evaluate_at(0.5, [1.0])", CAPACITY),
        ("LegendreBasis(0, 2**60 - 1, 1.0).evaluate_all_basis_functions(0.5)", MEMORY),
        ("LegendreBasis(1, 2**36, 1.0).evaluate_all_basis_functions(0.5)", MEMORY),
        ("LegendreBasis(1, 2**36, 1.0).evaluate_all_basis_function_derivatives(0.5)", MEMORY),
        ("LegendreBasis(1, 2**35, 1.0).evaluate_at(0.5, [1.0] * 4)", TOO_SMALL),
        # nt_fine * degree + 1 rows: more bytes than any object may have, or past 64 bits.
        ("lagrange_prolongation_matrix(1, 2**62, 2)", CAPACITY),
        ("lagrange_prolongation_matrix(1, 2**63, 2)", CAPACITY),
        ("lagrange_prolongation_matrix(2**62, 1, 2)", CAPACITY),
        ("lagrange_prolongation_matrix(2**59, 1, 1)", MEMORY),
        ("lagrange_to_legendre_basis_transformation(2**33, 2**33)", CAPACITY),
        ("lagrange_to_legendre_basis_transformation(1, 2**59)", MEMORY),
    ],
)
def test_impossible_sizes(child, call, outcome):
    code = ("import tavo\ntry: tavo." + call + "\n"
            "except BaseException as e: print(f'{type(e).__name__}: {e}' if str(e) "
            "else type(e).__name__)")
    run = child(code, memory_limit=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == outcome
