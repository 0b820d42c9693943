"""F given sparse (SciPy matrices, pandas sparse columns) is the dense F's problem, bit for bit."""

from __future__ import annotations

import numpy as np
import pytest

import morva
from morva.labels import LabelledProblem

sparse = pytest.importorskip("scipy.sparse")
pd = pytest.importorskip("pandas")

N, K = 200, 24
_rng = np.random.default_rng(5)
F = np.zeros((N, K))
F[:, 0] = _rng.normal(1.0, 0.2, N)
F[np.arange(N), 1 + _rng.integers(0, 20, N)] = 1.0
F[:, 21:] = _rng.normal(size=(N, 3))
OMEGA = np.diag(_rng.uniform(0.01, 0.05, K))
REST = (_rng.uniform(0.01, 0.1, N), _rng.normal(0, 0.01, N))
BOX = dict(lower_bounds=np.zeros(N), upper_bounds=np.full(N, 0.03))


def with_duplicates(f):
    """COO entries with every stored nonzero split in two halves at one position."""
    rows, cols = np.nonzero(f)
    half = f[rows, cols] / 2
    return sparse.coo_matrix((np.r_[half, half], (np.r_[rows, rows], np.r_[cols, cols])), shape=f.shape)


@pytest.mark.parametrize("given", [sparse.csr_matrix, sparse.csc_array, sparse.coo_matrix, with_duplicates])
def test_sparse_factors_give_the_dense_problem(given):
    factors = given(F)
    before = factors.copy()
    dense = morva.PortfolioProblem(F, OMEGA, *REST, **BOX)
    for problem in (morva.PortfolioProblem(factors, OMEGA, *REST, **BOX),
                    morva.PortfolioProblem(factors, omega=OMEGA, specific_variance=REST[0], expected_returns=REST[1],
                                           **BOX)):
        assert problem.to_json() == dense.to_json()
        assert problem.solve().weights.tobytes() == dense.solve().weights.tobytes()
    one_shot = morva.solve_mean_variance_factor(factors, OMEGA, *REST, **BOX)
    assert one_shot.weights.tobytes() == dense.solve().weights.tobytes()
    assert (factors != before).nnz == 0  # the caller's matrix is left as it was


@pytest.mark.parametrize(("factors", "omega", "error", "message"), [
    (sparse.csr_matrix(np.where(F == 1.0, np.inf, F)), OMEGA, ValueError, "non-finite"),
    (sparse.csr_matrix(F.astype(complex)), OMEGA, TypeError, "factors must hold real numbers, not complex128"),
    (sparse.csr_matrix(F), OMEGA[:3, :3], ValueError, "quadratic.omega has dimension 3; expected 24"),
    (sparse.csr_matrix(F[:-1]), OMEGA, ValueError, "dimension"),
])
def test_sparse_factors_are_refused_as_dense_ones(factors, omega, error, message):
    with pytest.raises(error, match=message):
        morva.PortfolioProblem(factors, omega, *REST, **BOX)


def test_labelled_exposures_with_sparse_columns_are_the_dense_problem():
    assets, names = [f"A{i}" for i in range(N)], [f"f{j}" for j in range(K)]
    frame = pd.DataFrame(F, index=assets, columns=names)
    mixed = frame.astype({name: pd.SparseDtype(float, 0.0) for name in names[1:21]}).iloc[::-1]
    omega = pd.DataFrame(OMEGA, index=names, columns=names)
    rest = [pd.Series(values, index=assets) for values in REST]
    dense, stored = (LabelledProblem(e, omega, *rest, upper_bounds=0.03).solve().weights for e in (frame, mixed))
    np.testing.assert_allclose(stored[dense.index], dense, atol=1e-12)
    column = F[:, 3].copy()
    column[[4, 7]] = np.nan
    with pytest.raises(ValueError, match="exposures has missing or non-finite values for assets 'A7', 'A4'"):
        LabelledProblem(mixed.assign(f3=pd.arrays.SparseArray(column[::-1], fill_value=0.0)), omega, *rest)
