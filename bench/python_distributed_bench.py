"""Dask batch throughput against the local batch, and what pickling a problem costs.

A book of accounts (default 1,000) shares one factor model (n = 500 assets,
k = 12 factors, tracking benchmark, industry neutrality, turnover penalty);
each account solves one date with its own expected returns. The same batch
runs locally (morva.solve_batch on all CPUs) and on a Dask LocalCluster with
one single-threaded worker process per CPU, alternating, and the medians are
reported side by side with their ratio. Then the pickle of the problem is
compared with the bytes of the arrays it was built from.

    python bench/python_distributed_bench.py [--accounts 1000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import time

import numpy as np

import morva
from morva import distributed
from morva.demo import build_problem, synthetic_model

ASSETS = 500
FACTORS = 12


def book(accounts: int):
    model = synthetic_model(ASSETS, FACTORS, seed=5)
    problem = build_problem(model)
    rng = np.random.default_rng(6)
    steps = [[{"expected_returns": model.expected_returns + 0.01 * rng.normal(size=ASSETS)}] for _ in range(accounts)]
    return model, problem, steps


def timed(call) -> tuple[float, list]:
    start = time.perf_counter()
    results = call()
    return time.perf_counter() - start, results


def throughput(accounts: int, repeats: int) -> None:
    from distributed import Client, LocalCluster

    _, problem, steps = book(accounts)
    problems = [problem] * accounts
    workers = os.cpu_count() or 1
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster) as client:
        distributed.solve_batch(problems[:workers], steps[:workers], client=client)  # start the worker pools
        local_times, dask_times = [], []
        for _ in range(repeats):
            seconds, local = timed(lambda: morva.solve_batch(problems, steps))
            local_times.append(seconds)
            seconds, remote = timed(lambda: distributed.solve_batch(problems, steps, client=client))
            dask_times.append(seconds)
        identical = all(a[0].weights.tobytes() == b[0].weights.tobytes() for a, b in zip(local, remote))
    local_s, dask_s = statistics.median(local_times), statistics.median(dask_times)
    print(f"{accounts} accounts, n = {ASSETS}, k = {FACTORS}, {workers} CPU(s), median of {repeats}")
    print(f"  local solve_batch          {local_s:8.3f} s  {accounts / local_s:9.1f} accounts/s")
    print(f"  Dask, {workers} worker process(es) {dask_s:8.3f} s  {accounts / dask_s:9.1f} accounts/s")
    print(f"  Dask / local throughput    {local_s / dask_s:8.3f}   (weights identical: {identical})")


def pickle_size() -> None:
    model, problem, _ = book(1)
    arrays = (model.factors, model.omega, model.specific_variance, model.expected_returns, model.benchmark,
              model.previous)
    array_bytes = sum(a.nbytes for a in arrays)
    pickled = len(pickle.dumps(problem, protocol=5))
    result = problem.solve()
    print(f"problem (n = {ASSETS}, k = {FACTORS}): input arrays {array_bytes} bytes, "
          f"pickle {pickled} bytes ({pickled / array_bytes:.2f}x; the dump also holds the bounds "
          f"and the {int(model.industry_ids.max()) + 1} industry rows, {len(problem.to_json())} characters)")
    print(f"result: weights {result.weights.nbytes} bytes, pickle {len(pickle.dumps(result, protocol=5))} bytes "
          f"(the record carries its JSON text)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--accounts", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    pickle_size()
    throughput(arguments.accounts, arguments.repeats)


if __name__ == "__main__":
    main()
