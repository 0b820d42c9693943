import numpy as np
import pandas as pd
import pytest

import morva
from morva import models


def _returns(seed=0, periods=120, assets=12):
    rng = np.random.default_rng(seed)
    factors = rng.normal(scale=0.04, size=(periods, 3))
    loadings = rng.normal(size=(3, assets))
    data = factors @ loadings + rng.normal(scale=0.02, size=(periods, assets)) + 0.005
    return pd.DataFrame(data, columns=[f"A{i}" for i in range(assets)])


@pytest.mark.parametrize("k", [1, 3, 11])
def test_statistical_model_reproduces_the_sample_covariance_it_explains(k):
    returns = _returns()
    model = models.statistical(returns, k, periods_per_year=12)
    sample = returns.cov().to_numpy() * 12
    f, omega, d = model.exposures.to_numpy(), model.factor_covariance.to_numpy(), model.specific_variance.to_numpy()
    implied = f @ omega @ f.T + np.diag(d)
    # The factors are the top-k eigenpairs of the sample covariance.
    top = np.linalg.eigvalsh(sample)[::-1][:k]
    np.testing.assert_allclose(np.diag(omega), top, rtol=1e-10)
    np.testing.assert_allclose(f.T @ f, np.eye(k), atol=1e-12)
    # Diagonal matches unless floored; the floor keeps a share of each variance.
    floored = d > 0.05 * np.diag(sample) * (1 + 1e-12)
    np.testing.assert_allclose(np.diag(implied)[floored], np.diag(sample)[floored], rtol=1e-10)
    assert (d >= 0.05 * np.diag(sample) * (1 - 1e-12)).all()
    np.testing.assert_allclose(model.mean_returns, returns.mean() * 12)
    assert list(model.exposures.index) == list(returns.columns)


def test_model_builds_a_labelled_problem_that_solves():
    model = models.statistical(_returns(1), 3)
    result = model.problem(lower_bounds=0.0, upper_bounds=0.3).solve()
    assert result.status == "solved"
    assert list(result.weights.index) == list(model.exposures.index)
    arrays = models.statistical(_returns(1).to_numpy(), 3)
    np.testing.assert_allclose(morva.solve(arrays.problem(lower_bounds=np.zeros(12), upper_bounds=np.full(12, 0.3))).weights,
                               result.weights.to_numpy(), atol=1e-12)


DAILY = _returns().set_axis(pd.bdate_range("2024-01-01", periods=120))


@pytest.mark.parametrize("change, match", [
    (lambda r: r.assign(A3=np.nan), "'A3'"), (lambda r: r.iloc[:, :2], "k must"),
    (lambda r: r.iloc[::-1], r"runs newest first \(2024-06-14 down to 2024-01-01\)"),
    (lambda r: r.iloc[[0, 0, *range(1, 120)]], "more than one row for date 2024-01-01"),
    (lambda r: r.assign(A5=[0.01] + [np.nan] * 119), r"fewer than two values for asset\(s\) 'A5'"),
    (lambda r: r.assign(A1=np.inf), r"infinite values for asset\(s\) 'A1'; use NaN"),
])
def test_statistical_model_refuses_what_it_cannot_estimate(change, match):
    with pytest.raises(ValueError, match=match):
        models.statistical(change(DAILY), 3)


@pytest.mark.parametrize("keywords, match", [(dict(half_life=0), "half_life must be a positive number of dates"),
                                             (dict(shrinkage=1.5), r"shrinkage must lie in \[0, 1\]")])
def test_statistical_model_refuses_weights_it_cannot_use(keywords, match):
    with pytest.raises(ValueError, match=match):
        models.statistical(DAILY, 3, **keywords)


@pytest.mark.parametrize("omega, match", [([[0.04, 0.01], [0.0, 0.09]], r"entry \('PC1', 'PC2'\) is 0.01 but"),
                                          ([[0.04, 0.1], [0.1, 0.09]], "smallest eigenvalue is -0.0")])
def test_factor_models_refuse_a_covariance_that_is_not_one(omega, match):
    model = models.statistical(DAILY, 2)
    with pytest.raises(ValueError, match=match):
        models.FactorModel(model.exposures, pd.DataFrame(omega, index=["PC1", "PC2"], columns=["PC1", "PC2"]),
                           model.specific_variance, model.mean_returns)


def test_units_come_from_the_dates():
    model = models.statistical(DAILY, 3)
    assert repr(model) == "FactorModel(assets=12, factors=3, units='annual (252 periods per year)')"
    explicit = models.statistical(DAILY, 3, periods_per_year=252)
    pd.testing.assert_frame_equal(model.factor_covariance, explicit.factor_covariance)
    assert repr(models.statistical(DAILY.to_numpy(), 3)).endswith("units='per period')")
    with pytest.warns(UserWarning, match="looks like prices") as caught:
        models.statistical(100 * (1 + DAILY).cumprod(), 3)
    assert caught[0].filename == __file__


@pytest.mark.parametrize("labelled", [True, False])
def test_model_problems_refuse_limits_the_bounds_imply(labelled):
    returns = _returns(2)
    model = models.statistical(returns if labelled else returns.to_numpy(), 2)
    with pytest.warns(UserWarning, match="max_short=0.2 does nothing") as caught:
        model.problem(max_short=0.2)
    assert caught[0].filename == __file__
    with pytest.raises(ValueError, match=r"max_weight is a fraction of the book \(0\.05 = 5%\)"):
        model.problem(max_weight=5.0)


@pytest.mark.parametrize("half_life, gaps, shrinkage", [(30, False, 0.0), (None, True, 0.0), (None, False, 0.3),
                                                        (20, True, 0.2)])
def test_statistical_model_weighs_dates_skips_gaps_and_shrinks(half_life, gaps, shrinkage):
    returns = _returns(3)
    if gaps:
        returns.iloc[:30, 2] = returns.iloc[[5, 50, 90], 7] = np.nan
    model = models.statistical(returns, 3, half_life=half_life, shrinkage=shrinkage, periods_per_year=12)
    # Each pair over the dates both have, weighted 0.5^(age / half_life): numpy's weighted covariance.
    x, a = returns.to_numpy(), 0.5 ** (np.arange(120)[::-1] / (half_life or np.inf))
    both = [[np.isfinite(x[:, i]) & np.isfinite(x[:, j]) for j in range(12)] for i in range(12)]
    sample = 12 * np.array([[np.cov(x[b, i], x[b, j], aweights=a[b])[0, 1] for j, b in enumerate(row)]
                            for i, row in enumerate(both)])
    sample = (1 - shrinkage) * sample + shrinkage * np.diag(np.diag(sample))
    values, vectors = np.linalg.eigh(sample)
    f, omega = model.exposures.to_numpy(), np.diag(model.factor_covariance)
    np.testing.assert_allclose(omega, values[::-1][:3], rtol=1e-10)
    np.testing.assert_allclose(f @ f.T, vectors[:, -3:] @ vectors[:, -3:].T, atol=1e-8)
    np.testing.assert_allclose(model.specific_variance, np.maximum(np.diag(sample) - f**2 @ omega,
                                                                   0.05 * np.diag(sample)), rtol=1e-10)
    observed = np.isfinite(x)
    np.testing.assert_allclose(model.mean_returns, [12 * np.average(x[observed[:, i], i], weights=a[observed[:, i]])
                                                    for i in range(12)], rtol=1e-12)
