import numpy as np
import pytest

from morva import models

pd = pytest.importorskip("pandas")
SECTORS = ["Banks", "Energy", "Health", "Retail", "Tech"]  # sorted: the model's industry order
STYLES = ["value", "momentum"]


def simulate(seed=0, n=300, periods=400, missing=True):
    """r_t = f_industry + z_(t−1)·g_t + ε with styles z drifting (a panel known a date ahead);
    20 assets listed late, 20 delisted early and 2% of returns missing at random."""
    rng = np.random.default_rng(seed)
    assets = [f"S{i:03d}" for i in range(n)]
    ids = np.arange(n) % len(SECTORS)
    z = np.cumsum(rng.normal(scale=0.05, size=(periods, n, 2)), axis=0) + rng.normal(size=(1, n, 2))
    f = rng.normal(scale=[0.05] * 5 + [0.03] * 2, size=(periods, 7))
    specific = rng.uniform(0.05, 0.1, n)
    r = f[:, ids] + np.einsum("tnk,tk->tn", np.roll(z, 1, axis=0), f[:, 5:]) + rng.normal(size=(periods, n)) * specific
    r[0] = np.nan
    if missing:
        r[:100, :20] = r[300:, 20:40] = np.nan
        r[rng.random(r.shape) < 0.02] = np.nan
    panel = pd.DataFrame(z.reshape(-1, 2), index=pd.MultiIndex.from_product([range(periods), assets]), columns=STYLES)
    truth = dict(factors=pd.DataFrame(f, columns=SECTORS + STYLES), specific=specific, z=z[-1], ids=ids)
    return pd.DataFrame(r, columns=assets), panel, pd.Series(np.array(SECTORS)[ids], index=assets), truth


RETURNS, PANEL, SECTOR, TRUTH = simulate()
WEIGHTS = pd.Series(np.random.default_rng(1).uniform(1.0, 3.0, 300), index=RETURNS.columns)


def by_hand(t, market, weights=WEIGHTS):
    """Date t's design and universe, from the definitions: z-scores of the styles stamped
    t − 1 about their weighted mean, equal-weighted spread; assets with a return."""
    raw, w = PANEL.xs(t - 1).reindex(RETURNS.columns).to_numpy(), weights.to_numpy()
    centred = raw - w @ raw / w.sum()
    design = np.hstack([pd.get_dummies(SECTOR).to_numpy(float), centred / np.sqrt((centred**2).mean(axis=0))])
    universe = np.isfinite(RETURNS.reindex([t]).to_numpy()[0])
    return np.hstack([np.ones((300, 1)), design]) if market else design, universe, w


def test_factor_returns_are_recovered_and_exposures_keep_their_structure():
    model = models.fundamental(RETURNS, PANEL, industries=SECTOR, market=False)
    assert (model.factor_returns.corrwith(TRUTH["factors"][model.factor_returns.columns]) >= 0.95).all()
    industries = model.exposures[SECTORS].to_numpy()
    assert set(np.unique(industries)) == {0.0, 1.0} and (industries.sum(axis=1) == 1).all()
    equal = pd.Series(1.0, index=RETURNS.columns)
    for date, exposures in ((399, model.exposures_at(399)), (400, model.exposures)):  # 400: the next date
        np.testing.assert_allclose(exposures, by_hand(date, market=False, weights=equal)[0], atol=1e-12)
    assert model.industries.equals(SECTOR.rename("industry"))


@pytest.mark.parametrize("market", [False, True])
def test_regression_matches_statsmodels_weighted_least_squares(market):
    sm = pytest.importorskip("statsmodels.api")
    model = models.fundamental(RETURNS, PANEL, industries=SECTOR, market=market, weights=WEIGHTS)
    r_squared = model.diagnostics(window=50).r_squared
    for t in (5, 150, 399):
        design, universe, w = by_hand(t, market)
        y, x, w = RETURNS.iloc[t].to_numpy()[universe], design[universe], w[universe]
        if market:  # Σ_j s_j f_j = 0, s_j the weight share of industry j among the date's assets
            shares = x[:, 1:6].T @ w / w.sum()
            reference = sm.GLM(y, x, var_weights=w).fit_constrained((np.r_[0, shares, 0, 0][None], [0.0])).params
        else:
            reference = sm.WLS(y, x, weights=w).fit().params
        np.testing.assert_allclose(model.factor_returns.iloc[t], reference, rtol=0, atol=1e-12)
        assert r_squared.iloc[t] == pytest.approx(
            1 - w @ (y - x @ reference) ** 2 / (w @ (y - w @ y / w.sum()) ** 2), abs=1e-10)


def test_market_holds_the_industries_weighted_sum_at_zero_every_date():
    model = models.fundamental(RETURNS, PANEL, industries=SECTOR, weights=WEIGHTS)
    for t in range(1, 400):
        _, universe, w = by_hand(t, market=True)
        shares = pd.Series(w * universe, index=RETURNS.columns).groupby(SECTOR).sum()
        assert abs(model.factor_returns.iloc[t][SECTORS] @ (shares / shares.sum())[SECTORS]) <= 1e-10


def test_forecast_risk_of_random_portfolios_is_unbiased():
    model = models.fundamental(RETURNS, PANEL, industries=SECTOR, half_life=200, newey_west_lags=1)
    rng = np.random.default_rng(7)
    holdings = rng.dirichlet(np.full(300, 0.3), size=200).T
    sigma = model.exposures.to_numpy() @ model.factor_covariance.to_numpy() @ model.exposures.T.to_numpy()
    forecast = np.einsum("np,nm,mp->p", holdings, sigma + np.diag(model.specific_variance), holdings)
    # Realised: fresh returns from the true model at the last exposures.
    true_x = np.hstack([np.eye(5)[TRUTH["ids"]], TRUTH["z"]])
    exposure = holdings.T @ true_x
    realised = np.einsum("pk,k,pk->p", exposure, np.r_[[0.05**2] * 5, [0.03**2] * 2], exposure) + (
        holdings**2).T @ TRUTH["specific"] ** 2
    assert 0.8 <= np.median(forecast / realised) <= 1.25
    assert 0.8 <= model.diagnostics(window=60).bias.median().median() <= 1.25


def test_factor_covariance_is_the_weighted_newey_west_estimate():
    model = models.fundamental(RETURNS, PANEL, industries=SECTOR, half_life=50, newey_west_lags=2)
    f = model.factor_returns.iloc[1:].to_numpy()  # date 0 has no exposures; every other date is complete
    a = 0.5 ** (np.arange(len(f))[::-1] / 50)
    normaliser = a.sum() - (a**2).sum() / a.sum()

    def moment(lag):
        now, before, weight = f[lag:], f[: len(f) - lag], a[lag:]
        return ((now - weight @ now / weight.sum()) * weight[:, None]).T @ (before - weight @ before / weight.sum())

    omega = moment(0) + sum((1 - lag / 3) * 0.5 ** (lag / 100) * (moment(lag) + moment(lag).T) for lag in (1, 2))
    np.testing.assert_allclose(model.factor_covariance, omega / normaliser, rtol=1e-9, atol=1e-15)


def test_specific_variance_is_shrunk_to_the_industry_mean_by_the_history_missed():
    model = models.fundamental(RETURNS, PANEL, industries=SECTOR, specific_half_life=80)
    f = model.factor_returns
    residuals = np.array([RETURNS.iloc[t] - model.exposures_at(t) @ f.iloc[t] for t in range(1, 400)])
    a = 0.5 ** (np.arange(399)[::-1] / 80)
    squares = pd.Series(a @ np.nan_to_num(residuals**2), index=RETURNS.columns)
    history = pd.Series(a @ np.isfinite(residuals), index=RETURNS.columns)
    industry = (squares.groupby(SECTOR).sum() / history.groupby(SECTOR).sum())[SECTOR].to_numpy()
    share = history / a.sum()
    expected = share * squares / history + (1 - share) * industry
    np.testing.assert_allclose(model.specific_variance, expected, rtol=1e-10)
    assert share.min() < 0.5  # the late listings are shrunk


def test_model_problems_receive_the_industries_their_keywords_read():
    model = models.fundamental(RETURNS.iloc[:60], PANEL, industries=SECTOR)
    targets = pd.Series([0.3, 0.1, 0.2, 0.2, 0.2], index=SECTORS)
    weights = model.problem(industry_targets=targets, upper_bounds=0.05).solve().weights
    np.testing.assert_allclose(weights.groupby(SECTOR).sum()[SECTORS], targets, atol=1e-6)
    # The memberships stay sparse in the model and reach the engine so; the answer is the dense one's.
    assert all(isinstance(model.exposures[s].dtype, pd.SparseDtype) for s in SECTORS)
    dense = models.FactorModel(model.exposures.astype(float),
                               model.factor_covariance, model.specific_variance, model.mean_returns)
    same = dense.problem(industry_targets=targets, industries=SECTOR, upper_bounds=0.05).solve().weights
    assert same.to_numpy().tobytes() == weights.to_numpy().tobytes()
    assert repr(model) == "FundamentalModel(assets=300, factors=8, dates=60, units='per period')"


DATES = pd.bdate_range("2024-01-01", periods=30)
SMALL = pd.DataFrame(np.random.default_rng(2).normal(0, 0.02, (30, 8)),
                     index=DATES, columns=[f"A{i}" for i in range(8)])
VALID = dict(styles=pd.DataFrame(np.random.default_rng(3).normal(size=(8, 2)), index=SMALL.columns, columns=STYLES),
             industries=pd.Series(["x", "y"] * 4, index=SMALL.columns),
             weights=pd.Series(1.0, index=SMALL.columns))
PANEL_SMALL = pd.concat({date: VALID["styles"] for date in DATES})


@pytest.mark.parametrize("change, error, match", [
    (dict(styles=VALID["styles"].drop(["A3", "A5"])), ValueError,
     r"styles has no row for assets 'A3', 'A5'; give every column of returns a row \(NaN where unknown\)"),
    (dict(styles=PANEL_SMALL.drop("A6", level=1)), ValueError, "styles has no row at any date for asset 'A6'"),
    (dict(styles=PANEL_SMALL.swaplevel()), ValueError, r"styles is indexed by \(asset, date\); .*swaplevel"),
    (dict(styles=PANEL_SMALL.set_axis(PANEL_SMALL.index.set_levels(DATES.astype(str), level=0))), ValueError,
     r"styles' dates \(the first level of its index\) are text and the returns' dates are dates"),
    (dict(styles=pd.concat({1: PANEL_SMALL})), ValueError, "styles has an index of 3 levels"),
    (dict(styles=VALID["styles"].T), ValueError, "styles looks transposed"),
    (dict(industries=VALID["industries"].drop("A1")), ValueError, "industries has no industry for asset 'A1'"),
    (dict(industries=VALID["industries"].replace("y", None)), ValueError, "industries has no industry for asset 'A1'"),
    (dict(industries=pd.concat([VALID["industries"], pd.Series({"Z": "x"})])), ValueError,
     "industries names 'Z', which is not a column of returns"),
    (dict(industries=VALID["industries"].replace("y", "value")), ValueError, "the factor name 'value' is used twice"),
    (dict(weights=VALID["weights"].where(SMALL.columns != "A2", -1.0)), ValueError,
     r"weights must be positive .*; asset 'A2' has -1"),
    (dict(exposure_lag=-1), ValueError, "exposure_lag must be a whole number of dates ≥ 0"),
    (dict(newey_west_lags=1.5), ValueError, "newey_west_lags must be a whole number"),
    (dict(half_life=0), ValueError, "half_life must be a positive number of dates"),
    (dict(styles=None, industries=None, market=False), ValueError, "a fundamental model needs factors"),
    (dict(styles=PANEL_SMALL.loc[DATES[-1:]]), ValueError, "only 0 of the 30 dates could be fitted"),
    (dict(returns=SMALL.to_numpy()), TypeError, "returns must be a pandas DataFrame"),
])
def test_fundamental_refuses_inputs_it_cannot_read(change, error, match):
    with pytest.raises(error, match=match):
        models.fundamental(**{"returns": SMALL, **VALID, **change})


def test_exposures_at_names_the_dates_it_cannot_give_and_prices_warn():
    with pytest.warns(UserWarning, match="looks like prices") as caught:
        models.fundamental(100 * (1 + SMALL).cumprod(), **VALID)
    assert caught[0].filename == __file__
    model = models.fundamental(SMALL, PANEL_SMALL.loc[DATES[5:]], industries=VALID["industries"])
    with pytest.raises(ValueError, match="no exposures are known for 2024-01-08"):
        model.exposures_at("2024-01-08")
    with pytest.raises(ValueError, match=r"'2023-01-02' is not one date .*from 2024-01-01 to 2024-02-09"):
        model.exposures_at("2023-01-02")
    pd.testing.assert_frame_equal(model.exposures_at(pd.Timestamp("2024-03-01")), model.exposures)
