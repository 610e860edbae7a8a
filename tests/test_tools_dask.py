"""tavo_tools.dask: failures come back to the client as ordinary exceptions, at once."""

import time

import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
np = pytest.importorskip("numpy")

import tavo  # noqa: E402
from tavo_tools import dask as tools_dask  # noqa: E402


def test_panic_in_a_task_reaches_the_client(client):
    times = da.from_array(np.linspace(0.0, 1.0, 10_000), chunks=2500)
    dofs = np.zeros(4 * 10)
    # Coefficients that do not fit the mesh pass no client-side check when the block function
    # is mapped by hand: the worker's evaluator panics.
    values = da.map_blocks(tools_dask.evaluate_block, times, "wrong", 3, 10, 1.0, dofs[:7],
                           dtype=np.float64)
    start = time.monotonic()
    with pytest.raises(tools_dask.TaskPanic, match="input vector has wrong length"):
        values.compute()
    assert time.monotonic() - start < 10.0


@pytest.mark.parametrize("arguments, error, message", [
    ((3, 0, 1.0, np.zeros(0)), ValueError, "n_t must be an integer of at least 1"),
    ((-1, 5, 1.0, np.zeros(0)), ValueError, "degree must be"),
    ((3, 5, 1.0, np.zeros(19)), ValueError, r"dofs must hold \(degree \+ 1\) \* n_t = 20"),
    ((3, 5, 1.0, tavo.LegendreBasisEvaluator(3, 5, 1.0)), TypeError, "cannot be pickled"),
])
def test_arguments_are_checked_on_the_client(client, arguments, error, message):
    submitted = []
    with pytest.raises(error, match=message):
        submitted.append(tools_dask.evaluate(da.zeros(10, chunks=5), *arguments, client=client))
    assert not submitted


def test_pickling_an_evaluator_says_why():
    import pickle

    with pytest.raises(TypeError, match="build the evaluator on the worker"):
        pickle.dumps(tavo.LegendreBasisEvaluator(1, 2, 1.0))
