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


def recomputed(weights: pd.DataFrame, costs: np.ndarray, initial: np.ndarray) -> tuple[list, list]:
    """The book's net returns and turnover, written out row by row from the close of the first
    rebalance (which trades from the initial book and earns nothing itself)."""
    held, returns, turnover = initial.copy(), [], []
    for date in RETURNS.index[RETURNS.index.get_loc(weights.index[0]):]:
        row = RETURNS.loc[date].to_numpy()
        gross = sum(held[j] * row[j] for j in range(N)) if returns else 0.0
        held = [held[j] * (1 + row[j]) / (1 + gross) for j in range(N)] if returns else held
        cost = 0.0
        if date in weights.index:
            target = weights.loc[date].to_numpy()
            cost = sum(costs[j] * abs(target[j] - held[j]) for j in range(N))
            turnover.append(sum(abs(target[j] - held[j]) for j in range(N)))
            held = list(target)
        returns.append((1 + gross) * (1 - cost) - 1)
    return returns, turnover


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
    returns, turnover = recomputed(book.weights, rates, start)
    np.testing.assert_allclose(book.returns.to_numpy(), returns, rtol=0, atol=1e-14)
    np.testing.assert_allclose(book.turnover.to_numpy(), turnover, rtol=0, atol=1e-14)
    # Rebalances every `every` rows from the first; the first with 12 rows of history starts the record.
    first = -(-11 // every) * every
    assert book.returns.index[0] == DATES[first]
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


def test_summary_follows_the_formulas():
    book = morva.backtest(RETURNS, tracking_problem, rebalance_every=2, costs=0.001)
    r = book.returns.to_numpy()
    b = book.benchmark_returns.to_numpy()
    wealth, peak, worst = 1.0, 1.0, 0.0
    for value in r:
        wealth *= 1 + value
        peak = max(peak, wealth)
        worst = min(worst, wealth / peak - 1)
    active = r - b
    summary = book.summary()
    expected = {
        "annualised return": np.prod(1 + r) ** (12 / len(r)) - 1,
        "annualised volatility": np.std(r, ddof=1) * np.sqrt(12),
        "sharpe ratio": np.mean(r) * 12 / (np.std(r, ddof=1) * np.sqrt(12)),
        "maximum drawdown": worst,
        "average turnover": book.turnover.iloc[1:].mean(),
        "tracking error": np.std(active, ddof=1) * np.sqrt(12),
        "information ratio": np.mean(active) * 12 / (np.std(active, ddof=1) * np.sqrt(12)),
    }
    assert summary.to_dict() == pytest.approx(expected, rel=1e-12)
    # The benchmark weights set at each rebalance, drifting between; taken up at the first.
    assert b[0] == 0.0
    for position, date in enumerate(book.returns.index):
        row = RETURNS.loc[date].to_numpy()
        if position:
            assert b[position] == pytest.approx(held @ row, abs=1e-15)
            held = held * (1 + row) / (1 + held @ row)
        if date in book.weights.index:
            held = BENCHMARK.to_numpy()
    given = book.summary(periods_per_year=4, benchmark=pd.Series(0.0, index=DATES))
    assert given["tracking error"] == pytest.approx(np.std(r, ddof=1) * 2, rel=1e-12)


@pytest.mark.parametrize("frequency, periods", [("B", 252), ("W", 52), ("ME", 12), ("QE", 4), ("YE", 1)])
def test_periods_per_year_come_from_the_dates(frequency, periods):
    assert infer_periods_per_year(pd.date_range("2020-01-01", periods=40, freq=frequency)) == periods


def test_plot_has_three_percent_panels(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    figure = morva.backtest(RETURNS, tracking_problem).plot(tmp_path / "book.png")
    titles = [axes.get_title() for axes in figure.axes]
    assert titles == ["Cumulative return", "Drawdown", "Turnover per rebalance"]
    assert (tmp_path / "book.png").read_bytes()[:4] == b"\x89PNG"


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
