"""What a rebalanced book earned: a backtest over a table of returns.

Timing. ``returns`` holds simple returns, one row per date: row t is what an
asset earned from the close of row t−1 to the close of row t. At the close
of a rebalance date t the book is set to the date's solved weights w_t; it
earns rows t+1, t+2, ... and drifts with them until the next rebalance:

    r_p(s) = Σ_j h_j(s−1)·r_j(s),     h_j(s) = h_j(s−1)·(1 + r_j(s)) / (1 + r_p(s)),

with the weights h as fractions of the book (what they leave is cash, which
earns nothing). Trading at a rebalance costs κ = Σ_j c_j·|w_j − h_j| of the
book, charged in that row: 1 + net(t) = (1 + r_p(t))·(1 − κ). The traded
amount Σ_j |w_j − h_j| (buys and sells) is the date's turnover.

Consecutive dates run through one :class:`morva.Rolling`: a date whose
problem differs from the last only in data the sequence takes in place
updates it, any other is a warm-started rebuild. A problem with a turnover
anchor (``previous_weights``) is anchored at the book's drifted weights.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from ._extras import require
from .progress import progress_bar
from .rolling import Rolling

_FEATURE = "morva.backtest"

# Median spacing of the dates (in days) → periods per year.
_FREQUENCIES = ((1.5, 252.0), (8.0, 52.0), (16.0, 24.0), (31.5, 12.0), (95.0, 4.0), (185.0, 2.0), (370.0, 1.0))


def infer_periods_per_year(index) -> float:
    """Periods per year of a DatetimeIndex, from the median spacing of its dates
    (business days 252, weeks 52, months 12, quarters 4, years 1)."""
    pd = require("pandas", "pandas", _FEATURE)
    if not isinstance(index, pd.DatetimeIndex) or len(index) < 2:
        raise ValueError("periods per year are inferred from a DatetimeIndex of at least two dates; "
                         "pass periods_per_year=...")
    days = _median_spacing_days(index)
    for limit, periods in _FREQUENCIES:
        if days <= limit:
            return periods
    return 365.25 / days


def _median_spacing_days(index) -> float:
    pd = require("pandas", "pandas", _FEATURE)
    return float(index.to_series().diff().median() / pd.Timedelta(days=1))


def _drawdown(returns):
    wealth = (1.0 + returns).cumprod()
    return wealth / np.maximum(wealth.cummax(), 1.0) - 1.0


class Backtest:
    """The record of a backtest.

    ``weights`` (rebalance dates × assets) are the weights set at each
    rebalance; ``returns`` the book's realised returns net of costs, from the
    first rebalance date on; ``gross_returns`` before costs; ``turnover`` and
    ``costs`` per rebalance date (fractions of the book);
    ``benchmark_returns`` what the problems' benchmark weights earned, set at
    each rebalance and drifting between like the book, without costs (None
    when the problems track no benchmark); ``results`` the solves; ``factorizations`` and
    ``rebuilds`` what the rolling solves cost.
    """

    def __init__(self, weights, returns, gross_returns, turnover, costs, benchmark_returns, results,
                 factorizations: int, rebuilds: int) -> None:
        self.weights = weights
        self.returns = returns
        self.gross_returns = gross_returns
        self.turnover = turnover
        self.costs = costs
        self.benchmark_returns = benchmark_returns
        self.results = results
        self.factorizations = factorizations
        self.rebuilds = rebuilds

    def summary(self, *, periods_per_year: float | None = None, benchmark=None):
        """A Series of annualised return (geometric) and volatility, Sharpe ratio
        (mean over volatility, no risk-free rate), maximum drawdown, average
        turnover per rebalance (the first, which builds the book, left out
        when there are others), and tracking error and information ratio
        against ``benchmark`` (a Series of returns by date; by default
        ``benchmark_returns``). Periods per year are inferred
        from the dates unless given."""
        pd = require("pandas", "pandas", _FEATURE)
        ppy = periods_per_year if periods_per_year is not None else infer_periods_per_year(self.returns.index)
        r = self.returns
        years = len(r) / ppy
        volatility = float(r.std(ddof=1) * np.sqrt(ppy))
        turnover = self.turnover.iloc[1:] if len(self.turnover) > 1 else self.turnover
        values = {
            "annualised return": float((1.0 + r).prod() ** (1.0 / years) - 1.0),
            "annualised volatility": volatility,
            "sharpe ratio": float(r.mean() * ppy / volatility) if volatility > 0 else np.nan,
            "maximum drawdown": float(_drawdown(r).min()),
            "average turnover": float(turnover.mean()),
        }
        bench = self.benchmark_returns if benchmark is None else benchmark.reindex(r.index)
        if bench is not None:
            active = r - bench
            error = float(active.std(ddof=1) * np.sqrt(ppy))
            values["tracking error"] = error
            values["information ratio"] = float(active.mean() * ppy / error) if error > 0 else np.nan
        return pd.Series(values, name="backtest")

    def plot(self, path=None):
        """Three panels (cumulative return, drawdown, turnover), all in %; saved to
        ``path`` when given. Returns the figure."""
        plt = require("matplotlib.pyplot", "plot", "Backtest.plot")
        ticker = require("matplotlib.ticker", "plot", "Backtest.plot")
        figure, (top, middle, bottom) = plt.subplots(3, 1, figsize=(9, 8), sharex=True,
                                                     gridspec_kw={"height_ratios": [2, 1, 1]})
        top.plot(self.returns.index, (1.0 + self.returns).cumprod() - 1.0, label="portfolio (net of costs)")
        if self.benchmark_returns is not None:
            top.plot(self.benchmark_returns.index, (1.0 + self.benchmark_returns).cumprod() - 1.0,
                     label="benchmark", linestyle="--")
        top.set_title("Cumulative return")
        top.legend(loc="upper left")
        drawdown = _drawdown(self.returns)
        middle.fill_between(drawdown.index, drawdown, 0.0, color="tab:red", alpha=0.4)
        middle.set_title("Drawdown")
        dates = self.turnover.index
        spacing = _median_spacing_days(dates) if hasattr(dates, "freq") and len(dates) > 1 else 1.0
        bottom.bar(dates, self.turnover, width=0.8 * spacing, color="tab:gray")
        bottom.set_title("Turnover per rebalance")
        for axes in (top, middle, bottom):
            axes.yaxis.set_major_formatter(ticker.PercentFormatter(1.0))
            axes.grid(alpha=0.3)
        figure.tight_layout()
        if path is not None:
            figure.savefig(path, dpi=100)
        return figure

    def __repr__(self) -> str:
        return (f"Backtest(rebalances={len(self.weights)}, periods={len(self.returns)}, "
                f"factorizations={self.factorizations}, rebuilds={self.rebuilds})")


def _weights_by_asset(problem, result, columns) -> np.ndarray:
    """The solved weights over the returns' columns (0 off the problem's universe)."""
    weights = np.zeros(len(columns))
    assets = getattr(problem, "assets", None)
    if assets is None:
        if len(result.weights) != len(columns):
            raise ValueError(f"the problem has {len(result.weights)} assets but returns has {len(columns)} columns")
        return np.asarray(result.weights, dtype=np.float64)
    position = columns.get_indexer(assets)
    if (position < 0).any():
        raise ValueError(f"the problem's asset {assets[int(np.argmax(position < 0))]!r} has no column in returns")
    weights[position] = np.asarray(result.weights, dtype=np.float64)
    return weights


def _on_universe(problem, values: np.ndarray, columns):
    """Weights over the returns' columns as the problem takes them (a Series over its universe, or an array)."""
    assets = getattr(problem, "assets", None)
    if assets is None:
        return values
    pd = require("pandas", "pandas", _FEATURE)
    return pd.Series(values[columns.get_indexer(assets)], index=assets)


def _benchmark(problem, columns) -> np.ndarray | None:
    data = getattr(problem, "problem", problem)
    from .solving import problem_data

    benchmark = problem_data(data)["benchmark_weights"]
    if benchmark is None:
        return None
    assets = getattr(problem, "assets", None)
    if assets is None:
        return np.array(benchmark)
    out = np.zeros(len(columns))
    out[columns.get_indexer(assets)] = benchmark
    return out


def _anchored(problem, holdings: np.ndarray, columns):
    """The problem with its turnover anchor at the book's drifted weights (as is without an anchor)."""
    data = getattr(problem, "problem", problem)
    from .solving import problem_data
    from ._rebuild import rebuild

    if problem_data(data)["previous_weights"] is None:
        return problem
    anchor = _on_universe(problem, holdings, columns)
    if getattr(problem, "assets", None) is None:
        return rebuild(problem, previous_weights=anchor)
    # A labelled problem keeps its labels; only its engine problem changes.
    import copy

    anchored = copy.copy(problem)
    anchored.problem = rebuild(problem.problem, previous_weights=anchor.to_numpy())
    return anchored


def _drift(holdings: np.ndarray, row: np.ndarray) -> tuple[float, np.ndarray]:
    """One row of a drifting book: its return and the weights it ends with."""
    held = holdings != 0.0
    if np.isnan(row[held]).any():
        raise ValueError("returns has a missing value for an asset the book holds")
    earned = np.where(held, row, 0.0)
    gross = float(holdings @ earned)
    return gross, holdings * (1.0 + earned) / (1.0 + gross)


class _Book:
    """The state of a backtest: the holdings, the benchmark held beside them,
    and the record from the first rebalance's close on."""

    def __init__(self, columns, rates: np.ndarray, holdings: np.ndarray) -> None:
        self.columns, self.rates, self.holdings = columns, rates, holdings
        self.rolling: Rolling | None = None
        self.benchmark: np.ndarray | None = None
        self.gross, self.net, self.benchmark_returns = [], [], []
        self.weights, self.turnover, self.costs, self.results, self.dates = [], [], [], [], []

    def earn(self, row: np.ndarray) -> None:
        """One row earned by the book and the benchmark, drifting both (nothing before the first rebalance)."""
        if self.rolling is None:
            return
        earned, self.holdings = _drift(self.holdings, row)
        self.gross.append(earned)
        self.net.append(earned)
        if self.benchmark is None:
            self.benchmark_returns.append(np.nan)
        else:
            earned, self.benchmark = _drift(self.benchmark, row)
            self.benchmark_returns.append(earned)

    def rebalance(self, date, problem, settings: dict) -> None:
        """Solves the date's problem, anchored at the drifted book, and trades to its weights at the close."""
        problem = _anchored(problem, self.holdings, self.columns)
        if self.rolling is None:
            # The record starts here, at the close: nothing earned yet, the benchmark taken up.
            self.rolling = Rolling(problem, **settings)
            result = self.rolling.solve_next()
            self.gross.append(0.0)
            self.net.append(0.0)
            self.benchmark_returns.append(0.0)
        else:
            result = self.rolling.solve_next(problem=problem)
        target = _weights_by_asset(problem, result, self.columns)
        trade = np.abs(target - self.holdings)
        kappa = float(self.rates @ trade)
        self.net[-1] = (1.0 + self.gross[-1]) * (1.0 - kappa) - 1.0
        self.weights.append(target)
        self.turnover.append(float(trade.sum()))
        self.costs.append(kappa)
        self.results.append(result)
        self.dates.append(date)
        self.holdings = target
        benchmark = _benchmark(problem, self.columns)
        if benchmark is not None:
            self.benchmark = benchmark

    def record(self, index) -> Backtest:
        pd = require("pandas", "pandas", _FEATURE)
        if self.rolling is None:
            raise ValueError("problem_for_date gave no problem for any rebalance date")
        dates = pd.Index(self.dates, name=index.name)
        index = index[len(index) - len(self.net):]
        benchmark = pd.Series(self.benchmark_returns, index=index, name="benchmark")
        return Backtest(
            weights=pd.DataFrame(self.weights, index=dates, columns=self.columns),
            returns=pd.Series(self.net, index=index, name="returns"),
            gross_returns=pd.Series(self.gross, index=index, name="gross returns"),
            turnover=pd.Series(self.turnover, index=dates, name="turnover"),
            costs=pd.Series(self.costs, index=dates, name="costs"),
            benchmark_returns=benchmark if benchmark.iloc[1:].notna().any() else None,
            results=self.results,
            factorizations=self.rolling.factorizations,
            rebuilds=self.rolling.rebuilds,
        )


def _cost_rates(costs, columns) -> np.ndarray:
    if costs is None:
        return np.zeros(len(columns))
    if np.isscalar(costs):
        rates = np.full(len(columns), float(costs))
    else:
        rates = costs.reindex(columns).to_numpy(dtype=np.float64)
    if np.isnan(rates).any() or (rates < 0).any():
        raise ValueError("costs must be non-negative, with one for every column of returns")
    return rates


def backtest(returns, problem_for_date: Callable[[Any, Any], Any], *, rebalance_every: int = 1, costs=None,
             initial_weights=None, progress: bool = False, start=None, **settings: Any) -> Backtest:
    """Rebalances a book over ``returns`` (a DataFrame of simple returns, dates × assets).

    ``problem_for_date(date, history)`` gives the problem of a rebalance date
    (a ``PortfolioProblem`` over the columns, or a ``LabelledProblem`` over
    any of them), ``history`` being the rows up to and including ``date``; it
    may return None to skip the date. Rebalances fall on every
    ``rebalance_every``-th row from ``start`` (a row label; default the first
    row), and the record starts at the close of the first one. ``costs`` (one
    number, or a Series by asset) are charged on the traded amount;
    ``initial_weights`` (a Series by asset, default all cash) is the book the
    first rebalance trades from. The remaining keywords are those of
    :class:`morva.Rolling` (``profile`` and the solver settings).
    """
    pd = require("pandas", "pandas", _FEATURE)
    if not isinstance(returns, pd.DataFrame):
        raise TypeError(f"returns must be a pandas DataFrame (dates × assets), not {type(returns).__name__}")
    if int(rebalance_every) != rebalance_every or rebalance_every < 1:
        raise ValueError(f"rebalance_every must be a whole number of rows, at least 1, not {rebalance_every}")
    columns = returns.columns
    values = returns.to_numpy(dtype=np.float64)
    first = 0 if start is None else returns.index.get_loc(start)
    holdings = np.zeros(len(columns)) if initial_weights is None else \
        initial_weights.reindex(columns, fill_value=0.0).to_numpy(dtype=np.float64)
    book = _Book(columns, _cost_rates(costs, columns), holdings)
    dates = range(first, len(returns), rebalance_every)
    bar = progress_bar(len(dates), progress, label="rebalances")
    try:
        for t in range(first, len(returns)):
            book.earn(values[t])
            if (t - first) % rebalance_every:
                continue
            problem = problem_for_date(returns.index[t], returns.iloc[: t + 1])
            if problem is not None:
                book.rebalance(returns.index[t], problem, settings)
            bar.update(1)
    finally:
        bar.close()
    return book.record(returns.index)


def _run(arguments: tuple, keywords: dict) -> Backtest:
    return backtest(*arguments, **keywords)


def backtest_many(returns, problems_for_dates: Sequence[Callable[[Any, Any], Any]], *, client=None,
                  progress: bool = False, **keywords: Any) -> list[Backtest]:
    """One backtest per account (one ``problem_for_date`` each) over the same returns.

    With a Dask ``client`` (or ``client="current"`` for the current one) each
    account is a task on the cluster, as ``morva.distributed`` runs batches;
    without one the accounts run here, one after the other. The keywords are
    those of :func:`backtest`; the results are in account order.
    """
    if client is None:
        bar = progress_bar(len(problems_for_dates), progress)
        try:
            out = []
            for function in problems_for_dates:
                out.append(backtest(returns, function, **keywords))
                bar.update(1)
            return out
        finally:
            bar.close()
    distributed = require("distributed", "dask", "morva.backtest_many")
    if client == "current":
        client = distributed.get_client()
    [shared] = client.scatter([returns], broadcast=True, hash=False)
    futures = [client.submit(_run, (shared, function), keywords, pure=False) for function in problems_for_dates]
    bar = progress_bar(len(futures), progress)
    try:
        for _ in distributed.as_completed(futures):
            bar.update(1)
    finally:
        bar.close()
    return client.gather(futures)
