"""Chunked batches, locally and on a Dask cluster, equal one local batch bit for bit."""

from __future__ import annotations

import io
import os
import sys

import numpy as np
import pytest

import _morva
import morva
from conftest import infeasible_keywords, positional, random_portfolio, small_arrays
from morva import batching, progress

ACCOUNTS = 13
STEPS = 3


def book() -> tuple[list, list]:
    """Thirteen accounts over three problems: objects shared by reference, equal
    copies rebuilt from JSON, and a problem of its own; turnover anchors chain."""
    models = [random_portfolio(seed, 30, 4) for seed in (3, 4)]
    shared = [
        _morva.PortfolioProblem(m.factors, m.omega, m.specific_variance, m.expected_returns,
                                previous_weights=np.full(30, 1 / 30), turnover_penalty=0.2, max_weight=0.2)
        for m in models
    ]
    rng = np.random.default_rng(17)
    problems, steps = [], []
    for account in range(ACCOUNTS):
        if account % 4 == 3:
            problems.append(_morva.PortfolioProblem.from_json(shared[0].to_json()))
        else:
            problems.append(shared[account % 2])
        steps.append([{}] + [{"expected_returns": rng.normal(0.05, 0.05, 30)} for _ in range(STEPS - 1)])
    return problems, steps


def same_results(got: list, expected: list) -> None:
    assert len(got) == len(expected)
    for account, (mine, theirs) in enumerate(zip(got, expected)):
        assert len(mine) == len(theirs), account
        for a, b in zip(mine, theirs):
            assert a.weights.tobytes() == b.weights.tobytes(), account
            assert (a.status, a.iterations, a.objective) == (b.status, b.iterations, b.objective), account


def failing_book(kind: str) -> tuple[list, list]:
    problems, steps = book()
    if kind == "infeasible account":
        problems[9] = _morva.PortfolioProblem(*positional(small_arrays(3)), **infeasible_keywords())
        steps[9] = [{}]
    elif kind == "bad step key":
        steps[11] = [{}, {"alpha": np.zeros(30)}]
    elif kind == "both":  # a step that cannot be converted wins over an earlier failing account
        problems[2] = _morva.PortfolioProblem(*positional(small_arrays(3)), **infeasible_keywords())
        steps[2] = [{}]
        steps[11] = [{}, {"alpha": np.zeros(30)}]
    elif kind == "wrong length":
        steps[7] = [{"expected_returns": np.zeros(5)}]
    return problems, steps


FAILURES = ["infeasible account", "bad step key", "both", "wrong length"]


def expected_error(problems, steps) -> Exception:
    with pytest.raises((ValueError, RuntimeError)) as caught:
        morva.solve_batch(problems, steps, chain_previous_weights=True)
    return caught.value


@pytest.mark.parametrize("chunk_size", [1, 4, None, 100])
def test_local_chunks_equal_one_batch(chunk_size):
    problems, steps = book()
    expected = morva.solve_batch(problems, steps, chain_previous_weights=True)
    same_results(morva.solve_batch_chunked(problems, steps, chunk_size=chunk_size, chain_previous_weights=True), expected)


@pytest.mark.parametrize("chunk_size", [1, 5])
@pytest.mark.parametrize("kind", FAILURES)
def test_local_chunks_raise_the_error_of_one_batch(kind, chunk_size):
    problems, steps = failing_book(kind)
    error = expected_error(problems, steps)
    with pytest.raises(type(error)) as caught:
        morva.solve_batch_chunked(problems, steps, chunk_size=chunk_size, chain_previous_weights=True)
    assert str(caught.value) == str(error)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda p, s: morva.solve_batch_chunked(p, s[:-1]), ValueError,
         "problems and steps must have the same length (one step list per account)"),
        (lambda p, s: morva.solve_batch_chunked(p, s, chunk_size=0), ValueError, "chunk_size must be at least 1, got 0"),
        (lambda p, s: morva.solve_batch_chunked("abc", s), TypeError, "argument 'problems': expected a sequence, got str"),
        (lambda p, s: morva.solve_batch_chunked([1] * len(s), s), TypeError,
         "argument 'problems': expected PortfolioProblem items, got int"),
    ],
)
def test_chunked_argument_errors(call, error, message):
    problems, steps = book()
    with pytest.raises(error) as caught:
        call(problems, steps)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("text", "offset", "expected"),
    [
        ("account 2, step 1: unknown step key 'a'", 10, "account 12, step 1: unknown step key 'a'"),
        ("account 0: budget 2 is impossible", 7, "account 7: budget 2 is impossible"),
        ("problems and steps must have the same length", 3, "problems and steps must have the same length"),
    ],
)
def test_renumbering_moves_only_the_account(text, offset, expected):
    error = batching.renumbered(RuntimeError(text), offset)
    assert type(error) is RuntimeError and str(error) == expected


def test_counter_progress_without_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # makes the import fail
    stream = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    problems, steps = book()
    morva.solve_batch_chunked(problems, steps, chunk_size=5, progress=True)
    assert stream.getvalue() == "\raccounts: 0/13\raccounts: 5/13\raccounts: 10/13\raccounts: 13/13\n"
    assert isinstance(progress.progress_bar(3, False), progress.Silent)


def test_tqdm_progress_when_installed(monkeypatch):
    pytest.importorskip("tqdm")
    stream = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    problems, steps = book()
    morva.solve_batch_chunked(problems, steps, chunk_size=5, progress=True)
    assert "13/13" in stream.getvalue()


def test_distinct_problems_are_found_by_their_dump():
    distributed = pytest.importorskip("morva.distributed")
    problems, _ = book()
    distinct, index = distributed._distinct(problems)
    assert len(distinct) == 2
    assert [distinct[i].to_json() for i in index] == [p.to_json() for p in problems]
    assert index[:4] == [0, 1, 0, 0]


@pytest.fixture(scope="module")
def client():
    dask_distributed = pytest.importorskip("distributed")
    cluster = dask_distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    with dask_distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


@pytest.mark.parametrize("chunk_size", [1, 3, None])
def test_dask_batch_equals_the_local_batch_bit_for_bit(client, chunk_size):
    from morva import distributed

    problems, steps = book()
    expected = morva.solve_batch(problems, steps, chain_previous_weights=True)
    got = distributed.solve_batch(problems, steps, client=client, chunk_size=chunk_size, chain_previous_weights=True)
    same_results(got, expected)
    assert all(isinstance(result, morva.SolveResultRecord) for account in got for result in account)
    pools = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert sorted(pools.values()) == ["1", "1"]


@pytest.mark.parametrize("kind", FAILURES)
def test_dask_batch_raises_the_error_of_the_local_batch(client, kind):
    from morva import distributed

    problems, steps = failing_book(kind)
    error = expected_error(problems, steps)
    with pytest.raises(type(error)) as caught:
        distributed.solve_batch(problems, steps, client=client, chunk_size=4, chain_previous_weights=True)
    assert str(caught.value) == str(error)


def test_dask_batch_returns_failures_without_raising_and_shows_progress(client, monkeypatch):
    from morva import distributed

    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    stream = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    problems, steps = failing_book("infeasible account")
    got = distributed.solve_batch(problems, steps, chunk_size=13, progress=True, raise_on_failure=False)
    same_results(got, morva.solve_batch(problems, steps, raise_on_failure=False))
    assert got[9][0].status == "primal infeasible" and got[9][0].certificate.kind == "primal"
    assert stream.getvalue() == "\raccounts: 0/13\raccounts: 13/13\n"
    assert distributed.solve_batch([], [], client=client) == []
