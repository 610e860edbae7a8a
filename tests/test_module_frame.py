"""The module object as imported: namespace, callables, classes and `sum_as_string`."""

import importlib
import os
import random
import sys
import sysconfig
import weakref

import pytest
import tavo
from conftest import Index

FUNCTIONS = [
    ("sum_as_string", "(a, b)", "Formats the sum of two numbers as string."),
    ("lagrange_to_legendre_basis_transformation", "(degree, n_t)", None),
    ("lagrange_prolongation_matrix", "(nt_coarse, nt_fine, degree)", None),
    ("get_lagrange_points", "(degree, n_t, T)", None),
]

EVALUATOR_DOC = (
    "Class to evaluate legendre basis more often without copying the dofs from python each time"
)

CLASSES = [
    ("LegendreBasis", None),
    ("LegendreBasisEvaluator", EVALUATOR_DOC),
]

# Method tables in the order they are handed to the interpreter.
METHODS = {
    "LegendreBasis": [
        ("evaluate_at", "($self, t, legendre_vals)"),
        ("evaluate_all_basis_functions", "($self, t)"),
        ("evaluate_all_basis_function_derivatives", "($self, t)"),
    ],
    "LegendreBasisEvaluator": [
        ("set_dofs", "($self, legendre_vals)"),
        ("evaluate_at", "($self, t)"),
        ("evaluate_derivative_at", "($self, t)"),
        ("evaluate_many", "($self, t_values)"),
        ("evaluate_derivative_many", "($self, t_values)"),
    ],
}
METHOD_CASES = [(cls, name, sig) for cls, table in METHODS.items() for name, sig in table]

# What the import machinery puts into an extension module's namespace by itself.
HOST_ATTRIBUTES = {"__file__", "__loader__", "__package__", "__spec__"}


def test_all_lists_the_six_names_in_registration_order():
    assert tavo.__all__ == [
        "sum_as_string",
        "lagrange_to_legendre_basis_transformation",
        "lagrange_prolongation_matrix",
        "get_lagrange_points",
        "LegendreBasis",
        "LegendreBasisEvaluator",
    ]


def test_namespace_holds_nothing_beyond_the_registered_entries():
    assert tavo.__name__ == "tavo"
    assert tavo.__doc__ == "A Python module implemented in C++."
    own = set(vars(tavo)) - HOST_ATTRIBUTES
    assert own == {"__name__", "__doc__", "__all__", *tavo.__all__}


@pytest.mark.parametrize("name, signature, doc", FUNCTIONS)
def test_function_is_a_builtin_bound_to_the_module(name, signature, doc):
    function = getattr(tavo, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "tavo"
    assert function.__self__ is tavo
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


@pytest.mark.parametrize("name, doc", CLASSES)
def test_class_identity_and_docs(name, doc):
    cls = getattr(tavo, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == "(degree, n_t, T)"


@pytest.mark.parametrize("cls_name, name, signature", METHOD_CASES)
def test_method_signature_and_doc(cls_name, name, signature):
    cls = getattr(tavo, cls_name)
    method = getattr(cls, name)
    assert method.__name__ == name
    assert method.__qualname__ == f"{cls_name}.{name}"
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    assert method.__objclass__ is cls


@pytest.mark.parametrize("cls_name", sorted(METHODS))
def test_class_members_are_only_the_method_table(cls_name):
    cls = getattr(tavo, cls_name)
    names = list(vars(cls))
    assert [n for n in names if not n.startswith("__")] == [n for n, _ in METHODS[cls_name]]
    assert {n for n in names if n.startswith("__")} == {"__new__", "__doc__", "__module__"}


@pytest.mark.parametrize("cls_name", sorted(METHODS))
def test_class_is_final_and_instances_are_closed(cls_name):
    cls = getattr(tavo, cls_name)
    with pytest.raises(TypeError) as error:
        type("Derived", (cls,), {})
    assert str(error.value) == f"type 'builtins.{cls_name}' is not an acceptable base type"

    instance = cls(1, 2, 1.0)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError) as error:
        instance.extra = 1
    # Newer interpreters add why ("... and no __dict__ for setting new attributes").
    assert str(error.value).startswith(f"'builtins.{cls_name}' object has no attribute 'extra'")
    with pytest.raises(TypeError) as error:
        weakref.ref(instance)
    assert str(error.value) == f"cannot create weak reference to 'builtins.{cls_name}' object"


@pytest.mark.parametrize("cls_name", sorted(METHODS))
def test_class_keeps_the_default_object_protocol(cls_name):
    cls = getattr(tavo, cls_name)
    first, second = cls(1, 2, 1.0), cls(1, 2, 1.0)
    same = first
    assert first == same and first != second
    assert hash(first) == hash(first)
    assert repr(first).startswith(f"<builtins.{cls_name} object at 0x")
    # The type is not immutable: class attributes may be set and removed again.
    cls.scratch = 5
    try:
        assert first.scratch == 5
    finally:
        del cls.scratch


def test_reimport_returns_the_same_module_and_registers_nothing():
    functions = {name: getattr(tavo, name) for name in tavo.__all__}
    all_list = tavo.__all__
    del sys.modules["tavo"]
    try:
        again = importlib.import_module("tavo")
    finally:
        sys.modules["tavo"] = tavo
    assert again is tavo
    assert again.__all__ is all_list and len(all_list) == 6
    assert {name: getattr(again, name) for name in again.__all__} == functions


# The module that makes sub-interpreters, by interpreter version, and how it runs code in one.
SUBINTERPRETERS = [
    ("_xxsubinterpreters", "other = interpreters.create()\ninterpreters.run_string(other, code)"),
    ("_interpreters", "other = interpreters.create()\ninterpreters.run_string(other, code)"),
    ("concurrent.interpreters", "interpreters.create().exec(code)"),
]


@pytest.mark.parametrize(("module", "run"), SUBINTERPRETERS, ids=[m for m, _ in SUBINTERPRETERS])
def test_import_from_a_second_interpreter_is_refused(child, module, run):
    pytest.importorskip(module)
    # The sub-interpreter reports for itself: the ways each module hands back its failure
    # differ between versions.
    inner = ("try:\n    import tavo\nexcept ImportError as error:\n"
             "    print('ImportError:', error, flush=True)\n"
             "else:\n    print('imported', flush=True)")
    code = f"import {module} as interpreters\nimport tavo\ncode = {inner!r}\n{run}\n"
    code += "print(tavo.sum_as_string(1, 2))\n"
    run = child(code, timeout=60)
    assert run.returncode == 0, run.stderr
    refusal, still_working = run.stdout.splitlines()
    assert refusal.startswith("ImportError: ")
    # Newer interpreters refuse a single-phase module themselves, before it runs.
    assert "not support sub-interpreters" in refusal or "not support loading in subinter" in refusal
    assert still_working == "3"


_rng = random.Random(20240611)
_RANDOM_PAIRS = [(_rng.getrandbits(64), _rng.getrandbits(_rng.randint(1, 64))) for _ in range(5)]


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (2, 3, "5"),
        (0, 0, "0"),
        (2**64 - 1, 0, "18446744073709551615"),
        # The sum is formatted in full: it never wraps at 2^64.
        (2**64 - 1, 1, "18446744073709551616"),
        (2**64 - 1, 2**64 - 1, "36893488147419103230"),
        (True, 2, "3"),
        (False, Index(7), "7"),
        *[(a, b, str(a + b)) for a, b in _RANDOM_PAIRS],
    ],
)
def test_sum_as_string(a, b, expected):
    assert tavo.sum_as_string(a, b) == expected
    assert tavo.sum_as_string(b=b, a=a) == expected


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="a build with the interpreter lock")
def test_import_leaves_the_interpreter_lock_off(child):
    # Importing a module that does not declare itself safe turns the lock back on, warning.
    run = child("import sys, warnings\nwarnings.simplefilter('error')\nimport tavo\n"
                "print(sys._is_gil_enabled())",
                env={k: v for k, v in os.environ.items() if k != "PYTHON_GIL"})
    assert run.returncode == 0 and run.stdout.strip() == "False", run.stderr
