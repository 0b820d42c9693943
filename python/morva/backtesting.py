"""What a rebalanced book earned: a backtest over a table of returns.

Timing. ``returns`` holds simple returns as decimals (0.01 = 1%), one row per
date, oldest first: row t is what an asset earned from the close of row t−1
to the close of row t. At the close of a rebalance date t the book is set to
the date's weights w_t; it earns rows t+1, t+2, ... and drifts with them
until the next rebalance:

    r_p(s) = Σ_j h_j(s−1)·r_j(s),     h_j(s) = h_j(s−1)·(1 + r_j(s)) / (1 + r_p(s)),

with the weights h as fractions of the book (what they leave is cash, which
earns nothing). Trading at a rebalance costs κ = Σ_j c_j·|w_j − h_j| of the
book, c_j a fraction of the traded value (10 bp = 0.001), charged in the row
of the trade's date: 1 + net(t) = (1 + r_p(t))·(1 − κ_t). The record starts
with the first period the book is invested, row t₀ + 1 after the first
rebalance t₀, and the initial build's cost is charged to it:
1 + r₁ = (1 + r_p(t₀ + 1))·(1 − κ_{t₀}). Wealth starts at 1 and must stay
above 0: a book that loses all it holds stops the backtest.

Each date's weights come from ``problem_for_date``: a problem, solved here,
or a goal's result (``morva.target_risk(problem, 0.03)`` and the like), held
as it is. Consecutive problems run through one :class:`morva.Rolling`: a date
whose problem differs from the last only in data the sequence takes in place
updates it, any other is a warm-started rebuild. A problem with a turnover
anchor (``previous_weights``) is anchored at the book's drifted weights.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import _morva

from . import _periods, _tables
from ._extras import require
from ._periods import infer_periods_per_year
from .progress import progress_bar
from .rolling import Rolling

__all__ = ["Backtest", "backtest", "backtest_many", "infer_periods_per_year"]

_FEATURE = "morva.backtest"

# Summary keys in annual units and, for an index without a frequency, per period.
_PER_PERIOD = {
    "annualised return": "return per period",
    "annualised volatility": "volatility per period",
    "sharpe ratio": "sharpe ratio per period",
    "sortino ratio": "sortino ratio per period",
    "calmar ratio": "calmar ratio per period",
    "annual turnover (one-sided)": "turnover per period (one-sided)",
    "tracking error": "tracking error per period",
    "information ratio": "information ratio per period",
    "benchmark annualised return": "benchmark return per period",
    "benchmark annualised volatility": "benchmark volatility per period",
    "benchmark sharpe ratio": "benchmark sharpe ratio per period",
}
# Wealth spanning more than this ratio (max / min) is drawn on a log scale.
_LOG_SCALE_RANGE = 10.0


def _std(x: np.ndarray) -> float:
    """Sample standard deviation (ddof = 1); exactly 0 for returns that do not vary."""
    if len(x) < 2:
        return np.nan
    return 0.0 if np.ptp(x) == 0.0 else float(np.std(x, ddof=1))


def _ratio(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator > 0 else np.nan


def _wealth(returns: np.ndarray) -> np.ndarray:
    return np.cumprod(1.0 + returns)


def _drawdown(returns: np.ndarray) -> np.ndarray:
    """W_t / max(1, W_1..W_t) − 1: the peak includes the starting wealth of 1."""
    wealth = _wealth(returns)
    return wealth / np.maximum(np.maximum.accumulate(wealth), 1.0) - 1.0


def _statistics(r: np.ndarray, rf: np.ndarray, ppy: float) -> dict[str, float]:
    """The book's own statistics (see :meth:`Backtest.summary`)."""
    excess = r - rf
    annual = float(np.prod(1.0 + r) ** (ppy / len(r)) - 1.0)
    downside = float(np.sqrt(np.mean(np.minimum(excess, 0.0) ** 2)))
    drawdown = float(_drawdown(r).min())
    return {
        "annualised return": annual,
        "annualised volatility": _std(r) * np.sqrt(ppy),
        "sharpe ratio": _ratio(float(excess.mean()), _std(excess)) * np.sqrt(ppy),
        "sortino ratio": _ratio(float(excess.mean()), downside) * np.sqrt(ppy),
        "calmar ratio": _ratio(annual, abs(drawdown)),
        "maximum drawdown": drawdown,
    }


def _by_date(values, index, name: str) -> np.ndarray:
    """A Series by date over exactly the record's dates (extra dates are ignored)."""
    missing = index[~index.isin(values.index)]
    if len(missing):
        raise ValueError(f"{name} has no value for date{'s' if len(missing) > 1 else ''} "
                         f"{_tables.named(missing)} of the backtest; give one for every date of the record")
    _tables.check_index(values.index, name)
    out = values.reindex(index).to_numpy(dtype=np.float64)
    if np.isnan(out).any():
        raise ValueError(f"{name} is missing (NaN) on {_tables.named(index[np.isnan(out)])}")
    return out


def _dates(index):
    """Dates matplotlib can draw: a PeriodIndex as the dates its periods end."""
    pd = require("pandas", "pandas", _FEATURE)
    if isinstance(index, pd.PeriodIndex):
        return index.to_timestamp(how="end").normalize()
    return index


class Backtest:
    """The record of a backtest.

    ``returns`` are the book's realised returns net of costs, one per period
    it was invested: from the row after the first rebalance (the initial
    build's cost is charged to that first period) to the last row.
    ``gross_returns`` are the same before costs, and ``benchmark_returns``
    what the problems' benchmark weights earned over those periods, set at
    each rebalance and drifting between like the book, without costs (NaN
    before the first benchmark, None when no date has one). By rebalance
    date: ``weights`` (dates × assets), ``turnover`` one-sided, ½Σ_j|w_j − h_j|
    (a build from cash is 0.5, a round trip of the whole book 1), ``costs``
    κ = Σ_j c_j|w_j − h_j| (fractions of the book). ``results`` are the
    date's solves or goal results; ``factorizations`` and ``rebuilds`` what
    the rolling solves cost; ``periods_per_year`` was read from the returns'
    index (None: it has no frequency, and the statistics are per period).
    ``asset_returns`` are the rows of the returns table the book earned, one
    per period of the record (dates × assets).
    """

    def __init__(self, weights, returns, gross_returns, turnover, costs, benchmark_returns, results,
                 factorizations: int, rebuilds: int, periods_per_year: float | None = None,
                 asset_returns=None) -> None:
        self.asset_returns = asset_returns
        self.weights = weights
        self.returns = returns
        self.gross_returns = gross_returns
        self.turnover = turnover
        self.costs = costs
        self.benchmark_returns = benchmark_returns
        self.results = results
        self.factorizations = factorizations
        self.rebuilds = rebuilds
        self.periods_per_year = periods_per_year

    def summary(self, risk_free_rate=0.0, periods_per_year: float | None = None, benchmark=None):
        """The book's statistics, as a Series.

        With r_t the net returns (t = 1..T, the periods the book was invested),
        P periods per year (given, or read from the dates: ``morva._periods``),
        rf_t = (1 + R_f)^(1/P) − 1 the per-period risk-free rate of the annual
        ``risk_free_rate`` R_f (a number, or a Series of annual rates by
        date), x_t = r_t − rf_t the excess returns, s(·) the sample standard
        deviation (ddof = 1) and W_t = Π_{u≤t}(1 + r_u) the wealth from W_0 = 1:

        - annualised return R = W_T^(P/T) − 1 (geometric);
        - annualised volatility σ = s(r)·√P;
        - Sharpe ratio = mean(x) / s(x) · √P;
        - Sortino ratio = mean(x) / DD · √P, DD = √(mean(min(x_t, 0)²)) the
          downside deviation of the excess returns below 0 (over all T periods);
        - maximum drawdown = min_t W_t / max(1, W_1, ..., W_t) − 1, in (−1, 0];
        - Calmar ratio = R / |maximum drawdown|;
        - turnover per rebalance (one-sided) = mean of τ_k = ½Σ_j|w_j − h_j|
          over the rebalances k, the initial build left out when there are
          others; annual turnover (one-sided) = Σ_k τ_k · P / T over the same k.

        Against a benchmark b_t (``benchmark``, a Series of returns by date;
        by default ``benchmark_returns``, over the dates where it is held),
        with a_t = r_t − b_t: tracking error s(a)·√P, information ratio
        mean(a) / s(a) · √P, beta cov(r, b) / var(b), and the benchmark's own
        annualised return, volatility and Sharpe ratio as above.

        A ratio whose denominator is 0 is NaN. Without a frequency in the
        index (and no ``periods_per_year``) P = 1, the risk-free rate is per
        period, and the keys say "per period" instead of "annualised".
        """
        pd = require("pandas", "pandas", _FEATURE)
        ppy = self.periods_per_year if periods_per_year is None else _periods.resolve(None, periods_per_year)
        per_period = ppy is None
        ppy = 1.0 if per_period else ppy
        index = self.returns.index
        r = self.returns.to_numpy(dtype=np.float64)
        if isinstance(risk_free_rate, pd.Series):
            annual_rf = _by_date(risk_free_rate, index, "risk_free_rate")
        else:
            annual_rf = np.full(len(r), float(risk_free_rate))
        if not (annual_rf > -1.0).all() or not np.isfinite(annual_rf).all():
            raise ValueError("risk_free_rate must be a finite annual rate above −100% (0.02 = 2% a year)")
        rf = (1.0 + annual_rf) ** (1.0 / ppy) - 1.0
        values = _statistics(r, rf, ppy)
        turnover = self.turnover.to_numpy(dtype=np.float64)
        traded = turnover[1:] if len(turnover) > 1 else turnover
        values["turnover per rebalance (one-sided)"] = float(traded.mean())
        values["annual turnover (one-sided)"] = float(traded.sum() * ppy / len(r))
        bench = self.benchmark_returns if benchmark is None else \
            pd.Series(_by_date(benchmark, index, "benchmark"), index=index)
        if bench is not None:
            b = bench.to_numpy(dtype=np.float64)
            held = ~np.isnan(b)
            r_b, b, rf_b = r[held], b[held], rf[held]
            active = r_b - b
            error = _std(active)
            covariance = np.cov(r_b, b, ddof=1) if len(b) > 1 else np.full((2, 2), np.nan)
            own = _statistics(b, rf_b, ppy)
            values.update({
                "tracking error": error * np.sqrt(ppy),
                "information ratio": _ratio(float(active.mean()), error) * np.sqrt(ppy),
                "beta": _ratio(float(covariance[0, 1]), float(covariance[1, 1])),
                "benchmark annualised return": own["annualised return"],
                "benchmark annualised volatility": own["annualised volatility"],
                "benchmark sharpe ratio": own["sharpe ratio"],
            })
        if per_period:
            values = {_PER_PERIOD.get(name, name): value for name, value in values.items()}
        return pd.Series(values, name=f"backtest, {_periods.units(None if per_period else ppy)}", dtype=np.float64)

    def plot(self, path=None, *, title: str | None = None, risk_free_rate=0.0, periods_per_year=None):
        """The figure of a report: growth of 1 (log scale when the wealth spans more
        than a factor of 10), the cumulative active return W_book / W_benchmark − 1
        when there is a benchmark, the drawdown, and the one-sided turnover with
        the initial build set apart; a statistics box beside them (the
        :meth:`summary`'s, with ``risk_free_rate`` and ``periods_per_year``).
        Saved to ``path`` when given. Returns the figure."""
        plt = require("matplotlib.pyplot", "plot", "Backtest.plot")
        ticker = require("matplotlib.ticker", "plot", "Backtest.plot")
        stats = self.summary(risk_free_rate=risk_free_rate, periods_per_year=periods_per_year)
        has_benchmark = self.benchmark_returns is not None
        panels = ["growth", *(["active"] if has_benchmark else []), "drawdown", "turnover"]
        ratios = {"growth": 3.0, "active": 1.4, "drawdown": 1.4, "turnover": 1.2}
        figure = plt.figure(figsize=(12, 2.0 + 2.0 * len(panels)))
        grid = figure.add_gridspec(len(panels), 2, width_ratios=[4.2, 1.3], height_ratios=[ratios[p] for p in panels],
                                   hspace=0.35, wspace=0.05)
        axes = {}
        for row, name in enumerate(panels):
            axes[name] = figure.add_subplot(grid[row, 0], sharex=axes.get("growth"))
        x = _dates(self.returns.index)
        first = _dates(self.turnover.index[:1])[0]
        # Wealth from 1 at the first rebalance's close: the record's first point sits there.
        wealth_x = [first, *x]
        wealth = np.concatenate([[1.0], _wealth(self.returns.to_numpy())])
        growth = axes["growth"]
        growth.plot(wealth_x, wealth, color="tab:blue", linewidth=1.6, label="portfolio (net of costs)")
        lines = [wealth]
        if has_benchmark:
            bench = np.concatenate([[1.0], _wealth(self.benchmark_returns.fillna(0.0).to_numpy())])
            growth.plot(wealth_x, bench, color="0.35", linestyle="--", linewidth=1.2, label="benchmark")
            lines.append(bench)
        spread = max(float(line.max() / line.min()) for line in lines)
        if spread > _LOG_SCALE_RANGE:
            growth.set_yscale("log")
            growth.yaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        growth.set_title("Growth of 1" + (" (log scale)" if spread > _LOG_SCALE_RANGE else ""), loc="left")
        growth.legend(loc="upper left", frameon=False)
        if has_benchmark:
            active = axes["active"]
            relative = wealth / bench - 1.0
            active.plot(wealth_x, relative, color="tab:purple", linewidth=1.2)
            active.fill_between(wealth_x, relative, 0.0, color="tab:purple", alpha=0.15)
            active.axhline(0.0, color="0.3", linewidth=0.6)
            active.set_title("Cumulative active return (W_portfolio / W_benchmark − 1)", loc="left")
            active.yaxis.set_major_formatter(ticker.PercentFormatter(1.0, decimals=1))
        drawdown = axes["drawdown"]
        depth = np.concatenate([[0.0], _drawdown(self.returns.to_numpy())])
        drawdown.fill_between(wealth_x, depth, 0.0, color="tab:red", alpha=0.4, linewidth=0)
        drawdown.set_title("Drawdown", loc="left")
        drawdown.yaxis.set_major_formatter(ticker.PercentFormatter(1.0, decimals=0))
        self._plot_turnover(axes["turnover"], ticker)
        for name, ax in axes.items():
            ax.grid(alpha=0.3)
            if name != panels[-1]:
                ax.tick_params(labelbottom=False)
        box = figure.add_subplot(grid[:, 1])
        box.axis("off")
        rate = "by date" if hasattr(risk_free_rate, "index") else f"{float(risk_free_rate):.2%}"
        box.text(0.06, 1.0, self._stats_text(stats, rate), transform=box.transAxes, va="top", ha="left",
                 family="monospace", fontsize=9, bbox={"boxstyle": "round,pad=0.6", "facecolor": "0.96",
                                                        "edgecolor": "0.7"})
        figure.suptitle(title if title is not None else self._title(), x=0.06, ha="left", fontsize=13,
                        fontweight="bold")
        figure.subplots_adjust(left=0.06, right=0.98, top=1.0 - 0.75 / figure.get_figheight(),
                               bottom=0.45 / figure.get_figheight())
        if isinstance(x, require("pandas", "pandas", _FEATURE).DatetimeIndex):
            dates = require("matplotlib.dates", "plot", "Backtest.plot")
            locator = dates.AutoDateLocator(minticks=4, maxticks=10)
            axes[panels[-1]].xaxis.set_major_locator(locator)
            axes[panels[-1]].xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
        else:
            axes[panels[-1]].xaxis.set_major_locator(ticker.MaxNLocator(integer=True))
            axes[panels[-1]].set_xlabel("row")
        if path is not None:
            figure.savefig(path, dpi=110)
        return figure

    def attribution(self, model):
        """The book's return of each period split into factors, specific return and costs.

        For the period ending at date t, with h the weights the book held
        over it (set at the previous close, drifted since the last
        rebalance), X_t the model's exposures (assets × factors) and f_t the
        factor returns of date t:

        - factor f earns (Xᵀh)_f · f_t,f, the book's exposure times the factor's return;
        - "specific" is Σ_i h_i (r_i − (X f_t)_i), what the holdings earned
          beyond their factors: the gross return less the factors' parts;
        - "costs" is the net return less the gross one (the trading costs
          charged in that period, the initial build's in the first).

        The columns sum to ``returns`` (net of costs). X_t is
        ``model.exposures_at(t)`` when the model has it (the exposures that
        explain date t's returns), else ``model.exposures``: a DataFrame by
        asset label, or an array over the returns' columns. f_t is the row
        of ``model.factor_returns`` for t when the model has one without
        missing values, else the cross-sectional least-squares fit
        f_t = argmin_f Σ_i (r_i − (X f)_i)² over the assets with a return and
        exposures on that date (the minimum-norm fit when X is rank
        deficient: the factors' parts then sum to a unique total, but their
        split among collinear factors is a convention). A model without
        exposures for an asset the book holds is refused, naming it.
        Returns a DataFrame dates × (factors…, "specific", "costs").
        """
        from ._attribution import attribution

        return attribution(self, model)

    def _plot_turnover(self, ax, ticker) -> None:
        pd = require("pandas", "pandas", _FEATURE)
        dates = _dates(self.turnover.index)
        values = self.turnover.to_numpy()
        steps = np.diff(_dates(self.returns.index).to_numpy() if len(self.returns) > 1 else dates.to_numpy())
        width = 0.8 * (np.median(steps) if len(steps) else 1)
        if isinstance(dates, pd.DatetimeIndex):
            width = width / np.timedelta64(1, "D")
        build = self.turnover.index == self.turnover.index[0]
        ax.bar(dates[~build], values[~build], width=width, color="tab:gray", label="rebalance")
        ax.bar(dates[build], values[build], width=width, color="tab:orange", label="initial build")
        ax.set_title("Turnover per rebalance (one-sided, ½Σ|Δw|)", loc="left")
        ax.yaxis.set_major_formatter(ticker.PercentFormatter(1.0, decimals=0))
        ax.legend(loc="upper right", frameon=False, fontsize=8)

    def _title(self) -> str:
        show = _tables._show
        rows = "" if hasattr(self.returns.index, "freq") else "rows "
        return (f"Backtest {rows}{show(self.weights.index[0])} – {show(self.returns.index[-1])}: "
                f"{len(self.weights)} rebalances, {len(self.returns)} periods")

    def _stats_text(self, stats, rate: str) -> str:
        annual = not stats.name.endswith("per period")
        rows = [("Return", "annualised return", "pct"), ("Volatility", "annualised volatility", "pct"),
                ("Sharpe", "sharpe ratio", "num"), ("Sortino", "sortino ratio", "num"),
                ("Max drawdown", "maximum drawdown", "pct"), ("Calmar", "calmar ratio", "num"),
                ("Turnover/rebal.", "turnover per rebalance (one-sided)", "pct"),
                ("Turnover/year" if annual else "Turnover/period", "annual turnover (one-sided)", "pct"),
                ("Tracking error", "tracking error", "pct"), ("Information", "information ratio", "num"),
                ("Beta", "beta", "num")]
        lines = [stats.name.split(", ", 1)[1].replace(" (", "\n(").capitalize(), ""]
        for label, key, kind in rows:
            key = key if annual else _PER_PERIOD.get(key, key)
            if key in stats.index:
                value = stats[key]
                lines.append(f"{label:<16}{value:>8.2%}" if kind == "pct" else f"{label:<16}{value:>8.2f}")
        lines += ["", f"Risk-free rate: {rate}", "Turnover one-sided; the", "initial build is left",
                  "out of its averages."]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return (f"Backtest(rebalances={len(self.weights)}, periods={len(self.returns)}, "
                f"factorizations={self.factorizations}, rebuilds={self.rebuilds})")


def _is_result(item) -> bool:
    from .labels import LabelledResult

    # A result (of a goal, or any solve) has weights and a status; a problem has neither.
    return isinstance(item, (_morva.SolveResult, LabelledResult)) or (
        hasattr(item, "weights") and hasattr(item, "status"))


def _weights_by_asset(item, weights, columns, date) -> np.ndarray:
    """Weights over the returns' columns (0 off the problem's universe)."""
    assets = getattr(item, "assets", None)
    if assets is None and hasattr(weights, "index"):  # a result's weights labelled by asset
        assets = weights.index
    values = np.asarray(weights, dtype=np.float64)
    if assets is None:
        if len(values) != len(columns):
            raise ValueError(f"the problem of {_tables._show(date)} has {len(values)} assets but returns has "
                             f"{len(columns)} columns; an unlabelled problem covers every column, in order")
        return values
    _tables.check_labels(assets, columns, f"the problem of {_tables._show(date)}")
    out = np.zeros(len(columns))
    out[columns.get_indexer(assets)] = values
    return out


def _on_universe(problem, values: np.ndarray, columns):
    """Weights over the returns' columns as the problem takes them (a Series over its universe, or an array)."""
    assets = getattr(problem, "assets", None)
    if assets is None:
        return values
    pd = require("pandas", "pandas", _FEATURE)
    return pd.Series(values[columns.get_indexer(assets)], index=assets)


def _benchmark(problem, columns, date) -> np.ndarray | None:
    from .solving import problem_data

    benchmark = problem_data(getattr(problem, "problem", problem))["benchmark_weights"]
    if benchmark is None:
        return None
    return _weights_by_asset(problem, benchmark, columns, date)


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


def _drift(holdings: np.ndarray, row: np.ndarray, columns, date, holder: str) -> tuple[float, np.ndarray]:
    """One row of a drifting book: its return and the weights it ends with."""
    held = holdings != 0.0
    gap = held & np.isnan(row)
    if gap.any():
        raise _tables.missing_return(columns[int(np.argmax(gap))], date, holder)
    earned = np.where(held, row, 0.0)
    gross = float(holdings @ earned)
    if gross <= -1.0:
        raise _wiped_out(date, gross)
    return gross, holdings * (1.0 + earned) / (1.0 + gross)


def _wiped_out(date, period_return: float) -> ValueError:
    return ValueError(f"the book loses all it holds on {_tables._show(date)} (a return of {period_return:.2%}, "
                      f"costs included): wealth cannot fall to zero or below; check that returns are decimals "
                      f"(0.01 = 1%), costs fractions of the traded value (10 bp = 0.001), and the weights' leverage")


class _Book:
    """The state of a backtest: the holdings, the benchmark held beside them,
    and the record of the periods the book is invested."""

    def __init__(self, columns, rates: np.ndarray, holdings: np.ndarray) -> None:
        self.columns, self.rates, self.holdings = columns, rates, holdings
        self.rolling: Rolling | None = None
        self.started = False
        self.build_cost = 0.0  # the initial build's, charged to the first period
        self.benchmark: np.ndarray | None = None
        self.gross, self.net, self.benchmark_returns, self.periods, self.rows = [], [], [], [], []
        self.weights, self.turnover, self.costs, self.results, self.dates = [], [], [], [], []

    def earn(self, date, row: np.ndarray) -> None:
        """One row earned by the book and the benchmark, drifting both (nothing before the first rebalance)."""
        if not self.started:
            return
        earned, self.holdings = _drift(self.holdings, row, self.columns, date, "the book")
        net = (1.0 + earned) * (1.0 - self.build_cost) - 1.0
        if net <= -1.0:
            raise _wiped_out(date, net)
        self.build_cost = 0.0
        self.gross.append(earned)
        self.net.append(net)
        self.periods.append(date)
        self.rows.append(row)
        if self.benchmark is None:
            self.benchmark_returns.append(np.nan)
        else:
            earned, self.benchmark = _drift(self.benchmark, row, self.columns, date, "the benchmark")
            self.benchmark_returns.append(earned)

    def _solve(self, problem, settings: dict):
        problem = _anchored(problem, self.holdings, self.columns)
        if self.rolling is None:
            self.rolling = Rolling(problem, **settings)
            return problem, self.rolling.solve_next()
        return problem, self.rolling.solve_next(problem=problem)

    def rebalance(self, date, item, settings: dict) -> None:
        """Trades at the date's close to its weights: a goal's result as it is, a problem's
        solve (anchored at the drifted book)."""
        if _is_result(item):
            result, source = item, getattr(item, "problem", None)
        else:
            source, result = self._solve(item, settings)
        target = _weights_by_asset(source, result.weights, self.columns, date)
        trade = np.abs(target - self.holdings)
        kappa = float(self.rates @ trade)
        if not self.started:
            self.started, self.build_cost = True, kappa
        elif self.periods and self.periods[-1] == date:
            net = (1.0 + self.net[-1]) * (1.0 - kappa) - 1.0
            if net <= -1.0:
                raise _wiped_out(date, net)
            self.net[-1] = net
        self.weights.append(target)
        self.turnover.append(0.5 * float(trade.sum()))
        self.costs.append(kappa)
        self.results.append(result)
        self.dates.append(date)
        self.holdings = target
        benchmark = None if source is None else _benchmark(source, self.columns, date)
        if benchmark is not None:
            self.benchmark = benchmark

    def record(self, index, periods_per_year: float | None) -> Backtest:
        pd = require("pandas", "pandas", _FEATURE)
        if not self.started:
            raise ValueError("problem_for_date gave no problem for any rebalance date")
        if not self.net:
            raise ValueError(f"the first rebalance is on the last date, {_tables._show(self.dates[0])}: the book is "
                             f"never invested; start earlier or give more dates")
        dates = index[index.isin(self.dates)]
        periods = index[index.isin(self.periods)]
        benchmark = pd.Series(self.benchmark_returns, index=periods, name="benchmark")
        return Backtest(
            weights=pd.DataFrame(self.weights, index=dates, columns=self.columns),
            returns=pd.Series(self.net, index=periods, name="returns"),
            gross_returns=pd.Series(self.gross, index=periods, name="gross returns"),
            turnover=pd.Series(self.turnover, index=dates, name="turnover (one-sided)"),
            costs=pd.Series(self.costs, index=dates, name="costs"),
            benchmark_returns=benchmark if benchmark.notna().any() else None,
            results=self.results,
            factorizations=0 if self.rolling is None else self.rolling.factorizations,
            rebuilds=0 if self.rolling is None else self.rolling.rebuilds,
            periods_per_year=periods_per_year,
            asset_returns=pd.DataFrame(np.array(self.rows), index=periods, columns=self.columns),
        )


def _checked(returns, costs, initial_weights) -> tuple[np.ndarray, np.ndarray]:
    """The cost rates and the initial book over the columns, once the table passed its checks."""
    pd = require("pandas", "pandas", _FEATURE)
    if not isinstance(returns, pd.DataFrame):
        raise TypeError(f"returns must be a pandas DataFrame (dates × assets), not {type(returns).__name__}")
    _tables.check_table(returns, "returns", stacklevel=5)
    columns = returns.columns
    rates = _tables.cost_rates(costs, columns)
    if initial_weights is None:
        return rates, np.zeros(len(columns))
    if not isinstance(initial_weights, pd.Series):
        raise TypeError(f"initial_weights must be a pandas Series by asset, not {type(initial_weights).__name__}")
    _tables.check_labels(initial_weights.index, columns, "initial_weights")
    holdings = initial_weights.reindex(columns, fill_value=0.0).to_numpy(dtype=np.float64)
    if not np.isfinite(holdings).all():
        raise ValueError(f"initial_weights is missing (NaN) for {_tables.named(columns[~np.isfinite(holdings)])}; "
                         f"give 0 for an asset not held")
    return rates, holdings


def backtest(returns, problem_for_date: Callable[[Any, Any], Any], *, rebalance_every: int = 1, costs=None,
             initial_weights=None, progress: bool = False, start=None, **settings: Any) -> Backtest:
    """Rebalances a book over ``returns`` (a DataFrame of simple returns as decimals,
    dates × assets, oldest first; a ``DatetimeIndex`` or ``PeriodIndex`` gives
    the statistics their frequency).

    ``problem_for_date(date, history)`` gives the book of a rebalance date,
    ``history`` being the rows up to and including ``date``: a problem (a
    ``PortfolioProblem`` over the columns, or a ``LabelledProblem`` over any
    of them), solved here; a goal's result (what ``morva.min_variance``,
    ``max_sharpe``, ``target_risk`` and ``target_return`` return, a
    ``SolveResult`` over the columns or a labelled result over any of them),
    whose weights are held as they are; or None to skip the date. Rebalances
    fall on every ``rebalance_every``-th row from ``start`` (a row label;
    default the first row); the record starts with the period after the
    first one. ``costs`` (one number, or a Series by asset) are fractions of
    the traded value, in [0, 1): 10 bp is 0.001. ``initial_weights`` (a
    Series by asset, default all cash) is the book the first rebalance
    trades from. The remaining keywords are those of :class:`morva.Rolling`
    (``profile`` and the solver settings).

    Refused with ``ValueError``: dates out of order or repeated, labels of
    ``initial_weights``, ``costs`` or a problem that are not columns, a
    missing return of an asset the book holds, a book that loses all it
    holds. A table that looks like prices or like percent warns.
    """
    rates, holdings = _checked(returns, costs, initial_weights)
    return _run_checked(returns, problem_for_date, rates, holdings, rebalance_every, progress, start, settings)


def _run_checked(returns, problem_for_date, rates, holdings, rebalance_every, progress, start, settings) -> Backtest:
    if int(rebalance_every) != rebalance_every or rebalance_every < 1:
        raise ValueError(f"rebalance_every must be a whole number of rows, at least 1, not {rebalance_every}")
    index = returns.index
    values = returns.to_numpy(dtype=np.float64)
    first = 0 if start is None else index.get_loc(start)
    book = _Book(returns.columns, rates, holdings)
    bar = progress_bar(len(range(first, len(returns), rebalance_every)), progress, label="rebalances")
    try:
        for t in range(first, len(returns)):
            book.earn(index[t], values[t])
            if (t - first) % rebalance_every:
                continue
            item = problem_for_date(index[t], returns.iloc[: t + 1])
            if item is not None:
                book.rebalance(index[t], item, settings)
            bar.update(1)
    finally:
        bar.close()
    return book.record(index, _periods.infer_periods_per_year(index))


def _run(arguments: tuple, keywords: dict) -> Backtest:
    return _run_checked(*arguments, **keywords)


def backtest_many(returns, problems_for_dates: Sequence[Callable[[Any, Any], Any]], *, client=None,
                  progress: bool = False, **keywords: Any) -> list[Backtest]:
    """One backtest per account (one ``problem_for_date`` each) over the same returns.

    With a Dask ``client`` (or ``client="current"`` for the current one) each
    account is a task on the cluster, as ``morva.distributed`` runs batches;
    without one the accounts run here, one after the other. The keywords are
    those of :func:`backtest`; the table is checked once, here, and the
    results are in account order.
    """
    rates, holdings = _checked(returns, keywords.pop("costs", None), keywords.pop("initial_weights", None))
    plain = {"rebalance_every": keywords.pop("rebalance_every", 1), "progress": False,
             "start": keywords.pop("start", None), "settings": keywords}
    if client is None:
        bar = progress_bar(len(problems_for_dates), progress)
        try:
            out = []
            for function in problems_for_dates:
                out.append(_run_checked(returns, function, rates, holdings, **plain))
                bar.update(1)
            return out
        finally:
            bar.close()
    distributed = require("distributed", "dask", "morva.backtest_many")
    if client == "current":
        client = distributed.get_client()
    [shared] = client.scatter([returns], broadcast=True, hash=False)
    futures = [client.submit(_run, (shared, function, rates, holdings), plain, pure=False)
               for function in problems_for_dates]
    bar = progress_bar(len(futures), progress)
    try:
        for _ in distributed.as_completed(futures):
            bar.update(1)
    finally:
        bar.close()
    return client.gather(futures)
