"""Rolling rebalance and batch throughput measured from Python.

A backtest re-solves one structure (n = 2000 assets, k = 30 factors, tracking
benchmark, industry neutrality, quadratic turnover anchored at the last
weights) over 60 dates of drifting expected returns. It reports, side by side
in one run, the time per date of PortfolioSequence.solve_next and of a cold
PortfolioProblem.solve on the same data, and the throughput of solve_batch
over 64 such accounts with RAYON_NUM_THREADS=1 against 2 (each in its own
process, since the worker pool is sized once per process).

    python bench/python_sequence_bench.py [--dates 60] [--accounts 64]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

from _morva import PortfolioProblem, solve_batch  # the reference engine, as measured
from morva.demo import build_problem, synthetic_model

ASSETS = 2000
FACTORS = 30


def problem_for(model, expected_returns, previous) -> PortfolioProblem:
    return PortfolioProblem(
        model.factors,
        model.omega,
        model.specific_variance,
        expected_returns,
        risk_aversion=8.0,
        previous_weights=previous,
        turnover_penalty=3.0,
        benchmark_weights=model.benchmark,
        industry_ids=model.industry_ids,
        max_weight=0.05,
    )


def drifting_returns(model, dates: int, drift: float, seed: int) -> list[np.ndarray]:
    rng = np.random.default_rng(seed)
    returns, current = [], model.expected_returns.copy()
    for _ in range(dates):
        current = current + drift * rng.normal(size=current.size)
        returns.append(current.copy())
    return returns


def rolling(dates: int, drift: float) -> None:
    model = synthetic_model(ASSETS, FACTORS, seed=11)
    path = drifting_returns(model, dates, drift, seed=12)
    sequence = build_problem(model).sequence()
    warm_seconds = cold_seconds = 0.0
    warm_iterations = cold_iterations = 0
    previous = model.previous
    for returns in path:
        start = time.perf_counter()
        warm = sequence.solve_next(expected_returns=returns, previous_weights=previous)
        warm_seconds += time.perf_counter() - start
        cold_problem = problem_for(model, returns, previous)
        start = time.perf_counter()
        cold = cold_problem.solve()
        cold_seconds += time.perf_counter() - start
        warm_iterations += warm.iterations
        cold_iterations += cold.iterations
        previous = warm.weights
    print(f"rolling rebalance, n = {ASSETS}, k = {FACTORS}, {dates} dates, drift {drift} per date")
    print(f"  solve_next (warm)        {warm_seconds / dates * 1e3:8.2f} ms/date  {warm_iterations / dates:6.1f} it")
    print(f"  PortfolioProblem.solve   {cold_seconds / dates * 1e3:8.2f} ms/date  {cold_iterations / dates:6.1f} it")
    print(f"  speed-up per date        {cold_seconds / warm_seconds:8.2f}x")


def batch_worker(accounts: int, dates: int) -> None:
    """Runs in a child process; prints the batch's wall time as JSON."""
    problems, steps = [], []
    for account in range(accounts):
        model = synthetic_model(ASSETS, FACTORS, seed=100 + account % 4)
        problems.append(build_problem(model))
        steps.append([{"expected_returns": r} for r in drifting_returns(model, dates, 5e-4, seed=account)])
    start = time.perf_counter()
    solve_batch(problems, steps, chain_previous_weights=True)
    print(json.dumps({"seconds": time.perf_counter() - start}))


def batch(accounts: int, dates: int) -> None:
    print(f"solve_batch, {accounts} accounts x {dates} dates (chained anchors)")
    baseline = None
    for threads in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        output = subprocess.run(
            [sys.executable, __file__, "--worker", str(accounts), str(dates)],
            env=env, check=True, capture_output=True, text=True,
        ).stdout
        seconds = json.loads(output)["seconds"]
        baseline = baseline or seconds
        print(f"  {threads} thread(s)  {seconds:7.3f} s  {accounts / seconds:7.2f} accounts/s  {baseline / seconds:5.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dates", type=int, default=60)
    parser.add_argument("--accounts", type=int, default=64)
    parser.add_argument("--batch-dates", type=int, default=5)
    parser.add_argument("--worker", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        batch_worker(*args.worker)
        return
    for drift in (5e-4, 2e-3):
        rolling(args.dates, drift)
    batch(args.accounts, args.batch_dates)


if __name__ == "__main__":
    main()
