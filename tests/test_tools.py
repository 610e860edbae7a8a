"""tavo_tools: arrays and sparse arrays equal to the module's results bit for bit, tables
against numpy.polynomial.legendre, and the two-level operators against the Galerkin ones."""

import numpy as np
import pytest
import scipy.sparse as sp
import tavo
import tavo_tools

legendre = np.polynomial.legendre


def bits(values):
    return np.ascontiguousarray(values, np.float64).view(np.int64)


@pytest.mark.parametrize("degree, n_t, T, shape, derivative", [
    (0, 7, 1.0, (0,), False),
    (3, 100, 5.0, (70_001,), False),       # sub-batches, the last one ragged
    (3, 100, 5.0, (300, 500), True),
    (8, 1000, 2.5, (131_072,), True),
])
def test_evaluate_matches_evaluate_many(degree, n_t, T, shape, derivative):
    rng = np.random.default_rng(degree)
    evaluator = tavo.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(rng.uniform(-1.0, 1.0, (degree + 1) * n_t))
    times = rng.uniform(-0.1, 1.1 * T, shape)
    many = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
    expected = bits(many(times)).reshape(shape)
    assert np.array_equal(bits(tavo_tools.evaluate(evaluator, times, derivative=derivative)),
                          expected)
    out = np.full(shape, np.nan)
    assert tavo_tools.evaluate(evaluator, times, derivative=derivative, out=out) is out
    assert np.array_equal(bits(out), expected)
    with pytest.raises(ValueError, match="out must be"):
        tavo_tools.evaluate(evaluator, times, out=np.empty(shape + (1,)))


@pytest.mark.parametrize("name, arguments, shape", [
    ("prolongation", (1, 2, 1), (3, 2)),
    ("prolongation", (997, 2500, 4), (10_001, 3989)),
    ("prolongation", (50, 7, 2), (15, 101)),
    ("transformation", (2, 3), (9, 7)),
    ("transformation", (12, 37), (481, 445)),
])
def test_sparse_operators_hold_the_triplets(name, arguments, shape):
    matrix = getattr(tavo_tools, name)(*arguments)
    module = (tavo.lagrange_prolongation_matrix if name == "prolongation"
              else tavo.lagrange_to_legendre_basis_transformation)
    rows, cols, values = module(*arguments)
    assert isinstance(matrix, sp.csr_array) and matrix.shape == shape
    coo = matrix.tocoo()
    assert np.array_equal(coo.row, rows) and np.array_equal(coo.col, cols)
    assert np.array_equal(bits(coo.data), bits(values))


def test_prolongation_tolerance_keeps_its_error_bound():
    degree, tolerance = 3, 1e-9
    full = tavo_tools.prolongation(1000, 1000, degree)
    dropped = tavo_tools.prolongation(1000, 1000, degree, tolerance=tolerance)
    assert dropped.nnz < full.nnz and np.abs(dropped.data).min() >= tolerance
    v = np.random.default_rng(3).uniform(-1.0, 1.0, full.shape[1])
    assert np.abs(full @ v - dropped @ v).max() <= degree * tolerance * np.abs(v).max()


@pytest.mark.parametrize("degree", [0, 1, 4, 12])
def test_tables(degree):
    dyadic = np.arange(-16, 17) / 16.0  # local coordinates the module computes exactly
    values, slopes = tavo_tools.legendre_table(degree, dyadic)
    basis = tavo.LegendreBasis(degree, 1, 2.0)  # one interval [0, 2]: x = t - 1
    module = np.array([basis.evaluate_all_basis_functions(x + 1.0) for x in dyadic]).T
    assert np.array_equal(bits(values), bits(module))
    eye = np.eye(degree + 1)
    expected = np.array([legendre.legval(dyadic, legendre.legder(row)) for row in eye])
    np.testing.assert_allclose(slopes, expected.reshape(slopes.shape), atol=1e-10 * degree**2)
    # D[b, a] = integral of P_a' P_b over [-1, 1].
    exact = [[legendre.legval(1.0, legendre.legint(legendre.legmul(legendre.legder(ea), eb)))
              - legendre.legval(-1.0, legendre.legint(legendre.legmul(legendre.legder(ea), eb)))
              for ea in eye] for eb in eye]
    np.testing.assert_allclose(tavo_tools.derivative_table(degree), exact, atol=1e-12)
    h = 0.25
    assert np.array_equal(tavo_tools.mass_diagonal(degree, 8, 2.0),
                          np.repeat(h / (2.0 * np.arange(degree + 1) + 1.0), 8))


@pytest.mark.parametrize("degree, n_t, T", [(0, 5, 1.0), (3, 100, 5.0), (6, 13, 0.7)])
def test_traces_and_jumps(degree, n_t, T):
    c = np.random.default_rng(degree).uniform(-1.0, 1.0, (degree + 1) * n_t)
    C = c.reshape(degree + 1, n_t)
    left, right = tavo_tools.traces(c, degree, n_t)
    np.testing.assert_allclose(left, [legendre.legval(-1.0, C[:, k]) for k in range(n_t)],
                               atol=1e-13)
    np.testing.assert_allclose(right, [legendre.legval(1.0, C[:, k]) for k in range(n_t)],
                               atol=1e-13)
    assert np.array_equal(tavo_tools.jumps(c, degree, n_t), left[1:] - right[:-1])


def dg_operator(degree, n_t, T, lam):
    # Upwind DG in time for u' = lam u: on interval k, tested with P_b,
    # integral of u' P_b + P_b(-1) (u(t_k+) - u(t_k-)) - lam integral of u P_b.
    s = (-1.0) ** np.arange(degree + 1)  # P_a(-1)
    local = tavo_tools.derivative_table(degree) + np.outer(s, s)
    coupling = np.outer(s, np.ones(degree + 1))  # P_b(-1) P_a(1) with the previous interval
    shift = sp.eye_array(n_t, k=-1)
    return (sp.kron(local, sp.eye_array(n_t)) - sp.kron(coupling, shift)
            - lam * sp.diags_array(tavo_tools.mass_diagonal(degree, n_t, T))).tocsr()


def cpg_operator(degree, n_t, T, lam):
    # cPG: continuous nodal trial space of the degree, discontinuous test space of degree - 1.
    dg = (sp.kron(tavo_tools.derivative_table(degree), sp.eye_array(n_t))
          - lam * sp.diags_array(tavo_tools.mass_diagonal(degree, n_t, T))).tocsr()
    return dg[: degree * n_t] @ tavo_tools.transformation(degree, n_t)


@pytest.mark.parametrize("degree, nt_coarse, ratio", [(0, 3, 2), (2, 5, 3), (4, 8, 2)])
def test_modal_pair_gives_the_galerkin_coarse_operators(degree, nt_coarse, ratio):
    T, lam, nt_fine = 2.0, -1.5, nt_coarse * ratio
    P = tavo_tools.modal_prolongation(nt_coarse, nt_fine, degree)
    R = tavo_tools.modal_restriction(nt_coarse, nt_fine, degree)
    assert P.shape == ((degree + 1) * nt_fine, (degree + 1) * nt_coarse) and R.shape == P.T.shape
    # The coarse polynomials, evaluated on the fine mesh, are unchanged.
    c = np.random.default_rng(degree).uniform(-1.0, 1.0, P.shape[1])
    coarse, fine = (tavo.LegendreBasisEvaluator(degree, n, T) for n in (nt_coarse, nt_fine))
    coarse.set_dofs(c)
    fine.set_dofs(P @ c)
    times = np.random.default_rng(1).uniform(0.0, T, 1000)
    np.testing.assert_allclose(tavo_tools.evaluate(fine, times),
                               tavo_tools.evaluate(coarse, times), atol=1e-12)
    galerkin = R @ dg_operator(degree, nt_fine, T, lam) @ P
    np.testing.assert_allclose(galerkin.toarray(), dg_operator(degree, nt_coarse, T, lam).toarray(),
                               atol=1e-12)
    if degree >= 1:
        nodal = tavo_tools.prolongation(nt_coarse, nt_fine, degree + 1)
        Q = tavo_tools.modal_restriction(nt_coarse, nt_fine, degree)  # the test space's
        fine_cpg = cpg_operator(degree + 1, nt_fine, T, lam)
        np.testing.assert_allclose((Q @ fine_cpg @ nodal).toarray(),
                                   cpg_operator(degree + 1, nt_coarse, T, lam).toarray(),
                                   atol=1e-11)


def test_panic_exception_is_the_module_class():
    panic = tavo_tools.PanicException
    assert panic.__module__ == "pyo3_runtime" and issubclass(panic, BaseException)
    with pytest.raises(panic, match="input vector has wrong length"):
        tavo.LegendreBasisEvaluator(1, 3, 1.0).set_dofs([1.0])
    with pytest.raises(AttributeError):
        tavo_tools.no_such_name  # noqa: B018
