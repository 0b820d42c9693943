"""The interpreter lock is released during engine work, shared problems are
safe across threads, and repeated use leaks neither memory nor references."""

from __future__ import annotations

import gc
import os
import sys
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _morva
from conftest import infeasible_keywords, positional, small_arrays

# Every iteration runs to the limit on this large model (tolerances no
# solve can meet), so the engine is busy for a good fraction of a second.
LONG_SOLVE = {"max_iterations": 200, "absolute_tolerance": 1e-300, "relative_tolerance": 1e-300,
              "polish": False, "raise_on_failure": False}


def large_problem(n: int = 40_000, k: int = 8) -> _morva.PortfolioProblem:
    rng = np.random.default_rng(2024)
    return _morva.PortfolioProblem(
        rng.normal(size=(n, k)),
        np.eye(k) * 0.02,
        rng.uniform(0.01, 0.05, n),
        rng.normal(0.05, 0.02, n),
        lower_bounds=np.full(n, -1.0),
        upper_bounds=np.full(n, 1.0),
    )


class Counter:
    """A Python thread that keeps executing bytecode and stamps its progress."""

    def __init__(self):
        self.stamps: list[float] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        count = 0
        while not self._stop.is_set():
            count += 1
            if count % 200 == 0:
                self.stamps.append(time.perf_counter())

    def __enter__(self):
        self._thread.start()
        while not self.stamps:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def progress_between(self, start: float, end: float) -> int:
        return sum(1 for stamp in self.stamps if start < stamp < end)


def run_and_count(call) -> tuple[int, float]:
    """How often another thread made progress during the middle half of `call`."""
    with Counter() as counter:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    margin = (end - start) / 4
    return counter.progress_between(start + margin, end - margin), end - start


@pytest.fixture(scope="module")
def large():
    return large_problem()


def test_solve_releases_the_interpreter_lock(large):
    progress, duration = run_and_count(lambda: large.solve(**LONG_SOLVE))
    # Holding the lock for the whole solve would leave the counter frozen.
    assert duration > 0.05
    assert progress > 10


def test_sequence_dates_release_the_interpreter_lock(large):
    sequence = large.sequence(**{key: value for key, value in LONG_SOLVE.items() if key != "raise_on_failure"})
    progress, duration = run_and_count(lambda: sequence.solve_next(raise_on_failure=False))
    assert duration > 0.05
    assert progress > 10


def test_batch_releases_the_interpreter_lock(large):
    progress, duration = run_and_count(lambda: _morva.solve_batch([large], [[{}]], **LONG_SOLVE))
    assert duration > 0.05
    assert progress > 10


def test_one_problem_solved_from_many_threads():
    arrays = small_arrays(30, 4)
    problem = _morva.PortfolioProblem(*positional(arrays), max_weight=0.1)
    expected = problem.solve()
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda _: problem.solve(), range(16)))
    for result in results:
        assert result.weights.tolist() == expected.weights.tolist()
        assert result.iterations == expected.iterations


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def workload(arrays, keywords, infeasible, text):
    """One round of everything the module does, successful and failing."""
    problem = _morva.PortfolioProblem(*positional(arrays), **keywords)
    result = problem.solve()
    _ = (result.weights, result.convergence_hints, result.certificate, result.status, result.to_json(), repr(result))
    problem.to_json()
    _morva.PortfolioProblem.from_json(text)
    _morva.solve_mean_variance_factor(*positional(arrays), **keywords, warm_start=result.weights)
    failed = infeasible.solve(raise_on_failure=False)
    certificate = failed.certificate
    _ = (certificate.equality_dual, certificate.bound_dual, certificate.direction, failed.convergence_hints)
    for call, error in (
        (lambda: infeasible.solve(), RuntimeError),
        (lambda: _morva.PortfolioProblem(*positional(arrays), lower_bounds=arrays["expected_returns"]), ValueError),
        (lambda: _morva.PortfolioProblem(*positional(arrays), industry_ids="x"), TypeError),
        (lambda: problem.solve(max_iterations=-1), OverflowError),
        (lambda: _morva.PortfolioProblem.from_json(text[:-1]), ValueError),
        (lambda: problem.solve(warm_start=result.weights[:-1]), ValueError),
    ):
        with pytest.raises(error):
            call()
    sequence = problem.sequence()
    sequence.solve_next(expected_returns=arrays["expected_returns"])
    _ = (sequence.dimension, sequence.factorizations, repr(sequence))
    _morva.solve_batch([problem, problem], [[{}], [{"budget": 1.0}, {"expected_returns": [0.01] * problem.dimension}]])
    with pytest.raises(ValueError):
        _morva.solve_batch([problem], [[{"alpha": 1.0}]])


def test_repeated_use_does_not_leak():
    n = 200
    arrays = small_arrays(n, 10)
    keywords = {"previous_weights": np.full(n, 1.0 / n), "turnover_penalty": 0.1, "l1_turnover_costs": 0.001}
    infeasible_arrays = small_arrays(3)
    infeasible = _morva.PortfolioProblem(*positional(infeasible_arrays), **infeasible_keywords())
    text = _morva.PortfolioProblem(*positional(arrays), **keywords).to_json()
    inputs = [*arrays.values(), *[v for v in keywords.values() if isinstance(v, np.ndarray)]]

    for _ in range(100):
        workload(arrays, keywords, infeasible, text)
    gc.collect()
    references = [sys.getrefcount(value) for value in inputs]
    rss = resident_bytes()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    for _ in range(1000):
        workload(arrays, keywords, infeasible, text)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    rss_growth = resident_bytes() - rss

    assert [sys.getrefcount(value) for value in inputs] == references
    # A leaked problem copy (n·k doubles) or solution per round would add
    # well over 10 MB across the rounds.
    assert traced_growth < 256 * 1024
    assert rss_growth < 4 * 1024 * 1024
