"""morva.backtest: the book's accounting recomputed plainly, its weights against
cold solves, its summary against the formulas, and many accounts."""

from __future__ import annotations

import numpy as np
import pytest

import morva
from morva.backtesting import infer_periods_per_year
from morva.labels import LabelledProblem

pd = pytest.importorskip("pandas")

ROWS, N = 30, 6
ASSETS = [f"S{i}" for i in range(N)]
DATES = pd.date_range("2021-01-31", periods=ROWS, freq="ME")
RETURNS = pd.DataFrame(np.random.default_rng(3).normal(0.005, 0.04, (ROWS, N)), index=DATES, columns=ASSETS)
BENCHMARK = pd.Series(np.linspace(0.1, 0.23, N) / np.linspace(0.1, 0.23, N).sum(), index=ASSETS)


def tracking_problem(date, history, universe=ASSETS):
    """A tracking problem with caps of benchmark + 10% and a turnover anchor, over a model of the history."""
    if len(history) < 12:
        return None
    model = morva.models.statistical(history[universe].iloc[-12:], 2, periods_per_year=12)
    bench = BENCHMARK[universe] / BENCHMARK[universe].sum()
    return model.problem(risk_aversion=2.0, lower_bounds=0.0, upper_bounds=bench + 0.1, benchmark_weights=bench,
                         previous_weights=bench, l1_turnover_costs=0.0005)


def shrinking_universe(date, history):
    """S5 leaves the universe after the first year of rebalances."""
    return tracking_problem(date, history, ASSETS if date < DATES[20] else ASSETS[:-1])


def plain_problem(date, history):
    problem = tracking_problem(date, history)
    return None if problem is None else problem.problem


def recomputed(weights, costs, initial, returns=RETURNS, benchmark=None):
    """Net returns, one-sided turnover and benchmark returns written out row by row: the record starts
    the period after the first rebalance, which carries the build's cost; later costs fall in their row."""
    held, bench, out, turnover, bench_out, cost = list(initial), None, [], [], [], 0.0
    for date in returns.index[returns.index.get_loc(weights.index[0]):]:
        row = returns.loc[date].to_numpy()
        if turnover:
            gross = sum(held[j] * row[j] for j in range(len(row)))
            held = [held[j] * (1 + row[j]) / (1 + gross) for j in range(len(row))]
            out.append((1 + gross) * (1 - cost) - 1)
            cost = 0.0
            if bench is not None:
                bench_out.append(bench @ row)
                bench = bench * (1 + row) / (1 + bench_out[-1])
        if date in weights.index:
            target = weights.loc[date].to_numpy()
            trade = sum(costs[j] * abs(target[j] - held[j]) for j in range(len(row)))
            turnover.append(sum(abs(target[j] - held[j]) for j in range(len(row))) / 2)
            if len(turnover) == 1:
                cost = trade
            else:
                out[-1] = (1 + out[-1]) * (1 - trade) - 1
            held, bench = list(target), benchmark
    return out, turnover, bench_out


CASES = [
    ("labelled, monthly, scalar costs, from cash", tracking_problem, 1, 0.002, None),
    ("labelled, quarterly, costs by asset, from a book", tracking_problem, 3,
     pd.Series(np.linspace(0.001, 0.004, N), index=ASSETS), BENCHMARK),
    ("arrays, every other month, no costs", plain_problem, 2, None, BENCHMARK),
    ("labelled, a universe that shrinks", shrinking_universe, 2, 0.001, None),
]


@pytest.mark.parametrize("name, problem_for_date, every, costs, initial", CASES, ids=[c[0] for c in CASES])
def test_realised_returns_are_the_drifting_book_net_of_costs(name, problem_for_date, every, costs, initial):
    book = morva.backtest(RETURNS, problem_for_date, rebalance_every=every, costs=costs, initial_weights=initial)
    rates = np.zeros(N) if costs is None else (
        np.full(N, costs) if np.isscalar(costs) else costs.reindex(ASSETS).to_numpy())
    start = np.zeros(N) if initial is None else initial.reindex(ASSETS).to_numpy()
    returns, turnover, _ = recomputed(book.weights, rates, start)
    np.testing.assert_allclose(book.returns.to_numpy(), returns, rtol=0, atol=1e-14)
    np.testing.assert_allclose(book.turnover.to_numpy(), turnover, rtol=0, atol=1e-14)
    # Rebalances every `every` rows from the first; the first with 12 rows of history starts the record.
    first = -(-11 // every) * every
    assert book.returns.index[0] == DATES[first + 1]
    assert list(book.weights.index) == list(DATES[first::every])

    # The first date's weights solve its problem anchored at the initial book.
    held = start
    problem = problem_for_date(DATES[first], RETURNS.iloc[:first + 1])
    labels = getattr(problem, "assets", ASSETS)
    cold = morva.solve(morva._rebuild.rebuild(getattr(problem, "problem", problem),
                                              previous_weights=pd.Series(held, index=ASSETS)[labels].to_numpy()))
    np.testing.assert_allclose(book.weights.iloc[0][labels].to_numpy(), cold.weights, atol=1e-6)
    if problem_for_date is shrinking_universe:
        assert (book.weights.loc[DATES[21]:, "S5"] == 0).all() and (book.weights.loc[:DATES[19], "S5"] > 0).any()


INDUSTRIES = ["NoDur", "Durbl", "Manuf", "Enrgy", "Chems", "BusEq", "Telcm", "Utils", "Shops", "Hlth", "Money", "Other"]


def test_summary_recomputed_from_the_weights_on_french_industries():
    french = pytest.importorskip("linearmodels.datasets.french").load().set_index("dates")
    returns, equal = french.loc["1990":, INDUSTRIES], pd.Series(1 / 12, index=INDUSTRIES)

    def problem_for_date(date, history):
        return None if len(history) < 60 else morva.models.statistical(history.iloc[-60:], 3).problem(
            risk_aversion=5.0, lower_bounds=0.0, upper_bounds=0.3, benchmark_weights=equal)

    book = morva.backtest(returns, problem_for_date, rebalance_every=3, costs=0.002)
    r, turnover, b = recomputed(book.weights, np.full(12, 0.002), np.zeros(12), returns, equal.to_numpy())
    r, b, rf = np.array(r), np.array(b), french["RF"].loc[book.returns.index].to_numpy()  # RF is monthly
    x, a, wealth, root, years = r - rf, r - b, np.cumprod(1 + r), np.sqrt(12), len(r) / 12
    drawdown = (wealth / np.maximum.accumulate(np.maximum(wealth, 1)) - 1).min()
    expected = {
        "annualised return": wealth[-1] ** (1 / years) - 1, "annualised volatility": r.std(ddof=1) * root,
        "sharpe ratio": x.mean() / x.std(ddof=1) * root,
        "sortino ratio": x.mean() / np.sqrt(np.mean(np.minimum(x, 0) ** 2)) * root,
        "calmar ratio": (wealth[-1] ** (1 / years) - 1) / -drawdown, "maximum drawdown": drawdown,
        "turnover per rebalance (one-sided)": np.mean(turnover[1:]),
        "annual turnover (one-sided)": np.sum(turnover[1:]) / years,
        "tracking error": a.std(ddof=1) * root, "information ratio": a.mean() / a.std(ddof=1) * root,
        "beta": np.cov(r, b)[0, 1] / b.var(ddof=1), "benchmark annualised return": np.prod(1 + b) ** (1 / years) - 1,
        "benchmark annualised volatility": b.std(ddof=1) * root,
        "benchmark sharpe ratio": (b - rf).mean() / (b - rf).std(ddof=1) * root,
    }
    summary = book.summary(risk_free_rate=(1 + french["RF"]) ** 12 - 1)  # annual rates by date
    assert summary.to_dict() == pytest.approx(expected, rel=1e-9)
    np.testing.assert_allclose(book.returns, r, atol=1e-14)


ONE_PERCENT = pd.DataFrame(0.01, index=pd.period_range("2020-01", periods=25, freq="M"), columns=["A", "B"])


def fixed_book(date, history):
    """0.25 and 0.75, fixed by their bounds."""
    assets = pd.Index(["A", "B"])
    return LabelledProblem(pd.DataFrame([[1.0], [0.5]], index=assets, columns=["f"]),
                           pd.DataFrame([[0.04]], index=["f"], columns=["f"]), pd.Series(0.02, index=assets),
                           pd.Series(0.05, index=assets), lower_bounds=pd.Series([0.25, 0.75], index=assets),
                           upper_bounds=pd.Series([0.25, 0.75], index=assets))


@pytest.mark.parametrize("costs", [0.0, 0.001])
def test_a_book_earning_one_percent_a_month(costs):
    book = morva.backtest(ONE_PERCENT, fixed_book, rebalance_every=12, costs=costs)
    # Invested over 24 months: the build's cost falls in the first; no row before it.
    assert book.returns.tolist() == pytest.approx([1.01 * (1 - costs) - 1] + [0.01] * 23, rel=1e-14)
    assert book.turnover.tolist() == [0.5, 0.0, 0.0]
    summary = book.summary()
    assert summary["annualised return"] == pytest.approx((1.01 ** 24 * (1 - costs)) ** 0.5 - 1, rel=1e-13)
    assert summary["maximum drawdown"] == 0.0 and summary["annual turnover (one-sided)"] == 0.0
    if costs == 0.0:
        assert round(summary["annualised return"], 6) == 0.126825 and summary["annualised volatility"] == 0.0
        assert np.isnan(summary["sharpe ratio"]) and np.isnan(summary["sortino ratio"])


def _with(row, column, value):
    frame = RETURNS.copy()
    frame.iloc[row, column] = value
    return frame


REFUSALS = [
    ("newest first", dict(returns=RETURNS.iloc[::-1]),
     r"returns runs newest first \(2023-06-30 down to 2021-01-31\): each date's history would hold its future; "
     r"sort the index with `returns.sort_index\(\)`"),
    ("a date twice", dict(returns=pd.concat([RETURNS.iloc[:5], RETURNS.iloc[4:]])),
     "more than one row for date 2021-05-31; keep one row per date"),
    ("two dates swapped", dict(returns=RETURNS.iloc[[0, 1, 3, 2, *range(4, ROWS)]]),
     r"2021-03-31 \(row 3\) comes after 2021-04-30; sort the index"),
    ("initial_weights typo", dict(initial_weights=BENCHMARK.rename({"S2": "SS2"})),
     "initial_weights names 'SS2', which is not a column of returns"),
    ("costs typo", dict(costs=pd.Series(0.001, index=["S0", "S1", "S2", "S3", "S4", "S55"])),
     "costs names 'S55', which is not a column of returns"),
    ("costs in basis points", dict(costs=10),
     r"fraction of the traded value \(10 bp = 0.001\), in \[0, 1\); the rate is 10 \(did you mean 0.001, 10 bp\?\)"),
    ("negative costs", dict(costs=pd.Series(-0.001, index=ASSETS)), "the rate of 'S0' is -0.001"),
    ("held asset's missing return", dict(returns=_with(15, 2, np.nan)),
     "returns has no value for 'S2' on 2022-04-30, which the book holds"),
    ("a loss of more than all", dict(returns=_with(15, slice(None), -1.2)),
     "the book loses all it holds on 2022-04-30"),
    ("problem asset not a column", dict(returns=RETURNS.rename(columns={"S5": "S6"}),
                                        problem_for_date=lambda date, history: tracking_problem(date, RETURNS[:date])),
     "the problem of 2021-12-31 names 'S5', which is not a column of returns"),
]


@pytest.mark.filterwarnings("ignore:returns looks like returns in percent")
@pytest.mark.parametrize("name, keywords, match", REFUSALS, ids=[case[0] for case in REFUSALS])
def test_refusals_name_the_label_and_date(name, keywords, match):
    with pytest.raises(ValueError, match=match):
        morva.backtest(**{"returns": RETURNS, "problem_for_date": tracking_problem, **keywords})


@pytest.mark.parametrize("table, match", [(100 * (1 + RETURNS).cumprod(), "looks like prices"),
                                          (100 * RETURNS, "looks like returns in percent")])
def test_prices_and_percent_warn(table, match):
    with pytest.warns(UserWarning, match=match) as caught, pytest.raises(ValueError, match="gave no problem"):
        morva.backtest_many(table, [lambda date, history: None])
    assert caught[0].filename == __file__


@pytest.mark.parametrize("labelled", [True, False])
def test_goals_are_held_on_their_dates_beside_problems(labelled):
    def goal(date, history):
        model = morva.models.statistical(history.iloc[-12:], 2)
        problem = model.problem(lower_bounds=0.0, upper_bounds=BENCHMARK + 0.1, benchmark_weights=BENCHMARK)
        return morva.target_risk(problem if labelled else problem.problem, 0.02)

    def goal_or_problem(date, history):  # a 2% tracking error every other month
        return None if len(history) < 12 else goal(date, history) if date.month % 2 else tracking_problem(date, history)

    book = morva.backtest(RETURNS, goal_or_problem, costs=0.001)
    assert book.rebuilds > 0 and len(book.weights) == ROWS - 11
    for date in book.weights.index[book.weights.index.month % 2 == 1]:
        held = goal(date, RETURNS.loc[:date])
        np.testing.assert_allclose(book.weights.loc[date], held.weights, atol=1e-12)
        if labelled:
            assert morva.analytics(held.problem, held).active_risk == pytest.approx(0.02, rel=1e-6)


INDEXES = [(DATES, "annual (12 periods per year)"), (DATES.to_period("M"), "annual (12 periods per year)"),
           (pd.RangeIndex(ROWS), "per period")]


@pytest.mark.parametrize("index, units", INDEXES, ids=["DatetimeIndex", "PeriodIndex", "RangeIndex"])
def test_summary_and_plot_read_the_frequency_from_the_index(index, units, tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    book = morva.backtest(RETURNS.set_axis(index), lambda date, history: tracking_problem(
        date, history.set_axis(DATES[:len(history)])), costs=0.001)
    assert book.summary().name == f"backtest, {units}"
    assert ("annualised return" in book.summary()) == (units != "per period")
    figure = book.plot(tmp_path / "book.png")
    assert [axes.get_title(loc="left") for axes in figure.axes[:4]] == [
        "Growth of 1", "Cumulative active return (W_portfolio / W_benchmark − 1)", "Drawdown",
        "Turnover per rebalance (one-sided, ½Σ|Δw|)"]
    assert (tmp_path / "book.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("index, periods", [
    *[(pd.date_range("2020-01-01", periods=40, freq=f), p) for f, p in [("B", 252), ("D", 365), ("W", 52),
                                                                         ("ME", 12), ("QE", 4), ("YE", 1)]],
    (pd.DatetimeIndex(["2020-01-31", "2020-02-29", "2020-03-31"]), 12),
    (pd.period_range("2020Q1", periods=1, freq="Q"), 4),
    (pd.RangeIndex(40), None)])
def test_periods_per_year_come_from_the_index(index, periods):
    assert infer_periods_per_year(index) == periods


@pytest.mark.parametrize("dask", [False, True])
def test_many_accounts_equal_their_backtests_one_by_one(dask):
    accounts = [tracking_problem, shrinking_universe]
    alone = [morva.backtest(RETURNS, account, costs=0.001) for account in accounts]
    if dask:
        distributed = pytest.importorskip("distributed")
        with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                                dashboard_address=None) as client:
            many = morva.backtest_many(RETURNS, accounts, client=client, costs=0.001)
    else:
        many = morva.backtest_many(RETURNS, accounts, costs=0.001)
    for one, other in zip(alone, many):
        pd.testing.assert_series_equal(one.returns, other.returns)
        pd.testing.assert_frame_equal(one.weights, other.weights)


def test_argument_errors():
    with pytest.raises(TypeError, match="returns must be a pandas DataFrame"):
        morva.backtest(RETURNS.to_numpy(), tracking_problem)
    with pytest.raises(ValueError, match="rebalance_every must be a whole number"):
        morva.backtest(RETURNS, tracking_problem, rebalance_every=0)
    with pytest.raises(ValueError, match="gave no problem"):
        morva.backtest(RETURNS, lambda date, history: None)



EXPOSURES = pd.DataFrame(np.random.default_rng(5).normal(1.0, 0.5, (N, 2)), index=ASSETS, columns=["market", "carry"])
FACTOR_RETURNS = pd.DataFrame(np.random.default_rng(6).normal(0.005, 0.03, (ROWS, 2)), index=DATES, columns=EXPOSURES.columns)
# (name, size of the specific returns ε, rebalance_every, dates with factor returns, exposures moving by date)
ATTRIBUTIONS = [("a drifting book, no specific return", 0.0, 3, DATES, False),
                ("a monthly book, half the dates fitted", 0.01, 1, DATES[::2], True)]


@pytest.mark.parametrize("name, noise, every, given, by_date", ATTRIBUTIONS, ids=[a[0] for a in ATTRIBUTIONS])
def test_attribution_splits_returns_into_factors_specific_and_costs(name, noise, every, given, by_date):
    """r_t = X_t f_t + ε_t: given f_t the specific part is h·ε_t; a fitted f_t leaves h·(the OLS residual)."""
    from types import SimpleNamespace as Model

    sm, rng = pytest.importorskip("statsmodels.api"), np.random.default_rng(12)
    exposures = {date: EXPOSURES * (1.0 + 0.05 * t * by_date) for t, date in enumerate(DATES)}
    specific = pd.DataFrame(rng.normal(0.0, noise, (ROWS, N)), index=DATES, columns=ASSETS)
    returns = specific + pd.DataFrame([exposures[d].to_numpy() @ FACTOR_RETURNS.loc[d] for d in DATES], DATES, ASSETS)
    targets = pd.DataFrame(rng.dirichlet(np.ones(N), ROWS), index=DATES, columns=ASSETS)
    book = morva.backtest(returns, lambda date, _: Model(weights=targets.loc[date], status="solved"),
                          rebalance_every=every, costs=0.002)
    parts = book.attribution(Model(exposures=EXPOSURES, factor_returns=FACTOR_RETURNS.loc[given],
                                   **({"exposures_at": exposures.get} if by_date else {})))
    assert list(parts.columns) == ["market", "carry", "specific", "costs"]
    assert np.abs(parts.sum(axis=1) - book.returns).max() < 1e-10
    if every > 1:  # r = X f exactly: whatever the drifted book held, its factors earned all of it
        assert np.abs(parts["specific"]).max() < 1e-12
    for date in parts.index if every == 1 else []:  # a monthly book holds the weights set at the last close
        held = targets.shift(1).loc[date]
        fit = None if date in given else sm.OLS(returns.loc[date], exposures[date]).fit()
        f, residual = (FACTOR_RETURNS.loc[date], specific.loc[date]) if fit is None else (fit.params, fit.resid)
        assert parts.loc[date, ["market", "carry"]].to_numpy() == pytest.approx(exposures[date].T @ held * f, abs=1e-12)
        assert parts.loc[date, "specific"] == pytest.approx(held @ residual, abs=1e-12)
    with pytest.raises(ValueError, match=r"^the model has no exposures for 'S2' on 2021-02-28, which the book holds"):
        book.attribution(Model(exposures=EXPOSURES.drop("S2")))
