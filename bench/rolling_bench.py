"""Rolling backtests against a new problem solved cold at every date.

500 assets, 120 monthly rebalances, a statistical risk model re-estimated
from 60 months at every date, a tracking problem with caps of benchmark + 2%,
L1 turnover costs anchored at the drifted book. Both comparisons run side by
side in one process:

(a) morva.backtest (one morva.Rolling: every date a warm-started rebuild,
    since the model changes) against the same book with each date's problem
    solved cold (morva.solve);
(b) morva.Rolling over one model whose caps move every date (the projections
    alone, no refactorisation) against a fresh problem solved cold per date.

Where the backtest's time goes: model estimation, problem building, the
engine (set-up of each date's sequence: equilibration and factorisation;
solves) and the rest (anchoring, comparisons, labels, accounting).

    PYTHONPATH=build/py/python:python python3 bench/rolling_bench.py [--assets 500] [--dates 120]
"""

from __future__ import annotations

import argparse
import os
import time

# One BLAS thread: the model's SVD is small, and a shared machine makes threaded BLAS timings noisy.
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import morva  # noqa: E402
from morva import rolling as rolling_module  # noqa: E402
from morva.backtesting import _anchored  # noqa: E402

WINDOW, FACTORS = 60, 10


def market(assets: int, dates: int, seed: int = 0) -> tuple[pd.DataFrame, pd.Series]:
    rng = np.random.default_rng(seed)
    months = pd.date_range("2010-01-31", periods=WINDOW + dates - 1, freq="ME")
    names = [f"TCK{i:04d}" for i in range(assets)]
    loadings = rng.normal(0.0, 1.0, (assets, FACTORS)) * np.linspace(0.03, 0.005, FACTORS)
    shocks = rng.normal(0.0, 1.0, (len(months), FACTORS))
    returns = 0.006 + shocks @ loadings.T + rng.normal(0.0, 0.05, (len(months), assets))
    size = pd.Series(rng.lognormal(0.0, 1.0, assets), index=names)
    return pd.DataFrame(returns, index=months, columns=names), size / size.sum()


class Timed:
    """problem_for_date with its model estimation and problem building timed apart."""

    def __init__(self, benchmark: pd.Series) -> None:
        self.benchmark = benchmark
        self.estimation = self.building = 0.0

    def __call__(self, date, history):
        if len(history) < WINDOW:
            return None
        start = time.perf_counter()
        model = morva.models.statistical(history.iloc[-WINDOW:], FACTORS, periods_per_year=12)
        middle = time.perf_counter()
        problem = model.problem(0.2 * model.mean_returns, risk_aversion=10.0, benchmark_weights=self.benchmark,
                                lower_bounds=0.0, upper_bounds=self.benchmark + 0.02,
                                previous_weights=self.benchmark, l1_turnover_costs=0.002)
        self.estimation += middle - start
        self.building += time.perf_counter() - middle
        return problem


class EngineClock:
    """Times the rolling path's calls into the engine (set-up of a date's sequence, its solves)."""

    def __init__(self, engine) -> None:
        self.engine = engine
        self.seconds = {"sequence": 0.0, "solve_next": 0.0, "warm_start": 0.0}

    def __getattr__(self, name):
        function = getattr(self.engine, name)
        if name not in self.seconds:
            return function

        def timed(*arguments):
            start = time.perf_counter()
            try:
                return function(*arguments)
            finally:
                self.seconds[name] += time.perf_counter() - start

        return timed


def cold_backtest(returns: pd.DataFrame, problem_for_date, costs: float) -> tuple[list, float]:
    """The same book with every date's problem solved cold: weights per date and the solve time."""
    holdings = np.zeros(returns.shape[1])
    weights, solving, iterations = [], 0.0, 0
    values = returns.to_numpy()
    started = False
    for t in range(len(returns)):
        if started:
            row = values[t]
            holdings = holdings * (1 + row) / (1 + holdings @ row)
        problem = problem_for_date(returns.index[t], returns.iloc[: t + 1])
        if problem is None:
            continue
        started = True
        problem = _anchored(problem, holdings, returns.columns)
        start = time.perf_counter()
        result = morva.solve(problem)
        solving += time.perf_counter() - start
        iterations += result.iterations
        holdings = result.weights.reindex(returns.columns).to_numpy()
        weights.append(holdings)
    return weights, solving, iterations


def compare_backtests(returns: pd.DataFrame, benchmark: pd.Series) -> None:
    rolling_dates, cold_dates = Timed(benchmark), Timed(benchmark)
    clock = EngineClock(rolling_module._engine)
    rolling_module._engine = clock
    try:
        start = time.perf_counter()
        book = morva.backtest(returns, rolling_dates, costs=0.002)
        rolling_total = time.perf_counter() - start
    finally:
        rolling_module._engine = clock.engine
    start = time.perf_counter()
    weights, cold_solving, cold_iterations = cold_backtest(returns, cold_dates, 0.002)
    cold_total = time.perf_counter() - start
    iterations = sum(result.iterations for result in book.results)
    engine = sum(clock.seconds.values())
    gaps = np.abs(book.weights.to_numpy() - np.array(weights)).max(axis=1)
    rest = rolling_total - engine - rolling_dates.estimation - rolling_dates.building
    print(f"(a) backtest, {len(book.weights)} dates: rolling {rolling_total:.2f} s, cold per date {cold_total:.2f} s, "
          f"ratio cold/rolling {cold_total / rolling_total:.2f}")
    print(f"    engine: rolling {engine:.2f} s (set-up {clock.seconds['sequence']:.2f} s, solves "
          f"{clock.seconds['solve_next']:.2f} s; {iterations} iterations, {book.factorizations} factorisations, "
          f"{book.rebuilds} rebuilds) against cold solves {cold_solving:.2f} s ({cold_iterations} iterations), "
          f"ratio {cold_solving / engine:.2f}")
    print(f"    model estimation {rolling_dates.estimation:.2f} s / {cold_dates.estimation:.2f} s, problem building "
          f"{rolling_dates.building:.2f} s / {cold_dates.building:.2f} s, rest of the rolling backtest (anchoring, "
          f"comparisons, labels, accounting) {rest:.2f} s")
    print(f"    weights, rolling against cold: first date {gaps[0]:.1e}, median {np.median(gaps):.1e}, "
          f"largest {gaps.max():.1e} (the books drift apart through their anchors)")


def compare_bounds(returns: pd.DataFrame, benchmark: pd.Series, dates: int) -> None:
    model = morva.models.statistical(returns.iloc[:WINDOW], FACTORS, periods_per_year=12)
    arrays = {"factors": model.exposures.to_numpy(), "omega": model.factor_covariance.to_numpy(),
              "specific_variance": model.specific_variance.to_numpy(),
              "expected_returns": 0.2 * model.mean_returns.to_numpy()}
    rng = np.random.default_rng(1)
    drifts = [benchmark.to_numpy()]
    for _ in range(dates - 1):
        moved = drifts[-1] * (1 + rng.normal(0.005, 0.05, len(benchmark)))
        drifts.append(moved / moved.sum())
    keywords = {"risk_aversion": 10.0, "lower_bounds": np.zeros(len(benchmark)),
                "previous_weights": benchmark.to_numpy(), "l1_turnover_costs": np.full(len(benchmark), 0.002)}

    def fresh(caps):
        return morva.PortfolioProblem(*arrays.values(), upper_bounds=caps, benchmark_weights=drifts[0], **keywords)

    start = time.perf_counter()
    rolling = morva.Rolling(fresh(drifts[0] + 0.02))
    rolled = [rolling.solve_next(upper_bounds=caps + 0.02).weights for caps in drifts]
    rolling_total = time.perf_counter() - start
    start = time.perf_counter()
    cold = [morva.solve(fresh(caps + 0.02)).weights for caps in drifts]
    cold_total = time.perf_counter() - start
    gap = max(np.abs(a - b).max() for a, b in zip(rolled, cold))
    print(f"(b) moving caps, {dates} dates: Rolling {rolling_total:.2f} s ({rolling.factorizations} factorisations, "
          f"{rolling.rebuilds} rebuilds), fresh problem per date {cold_total:.2f} s, ratio "
          f"{cold_total / rolling_total:.2f}; largest weight gap {gap:.1e}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--assets", type=int, default=500)
    parser.add_argument("--dates", type=int, default=120)
    arguments = parser.parse_args()
    returns, benchmark = market(arguments.assets, arguments.dates)
    print(f"{arguments.assets} assets, {arguments.dates} monthly rebalances, {FACTORS}-factor model from "
          f"{WINDOW} months re-estimated each date")
    compare_backtests(returns, benchmark)
    compare_bounds(returns, benchmark, arguments.dates)


if __name__ == "__main__":
    main()
