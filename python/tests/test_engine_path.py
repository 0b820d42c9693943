"""The package's path into the engine: morva.solve, problem_data, derived problems."""

from __future__ import annotations

import gzip
import json
from pathlib import Path

import numpy as np
import pytest

import _morva
import morva
from conftest import random_portfolio, unbounded_arrays
from morva import _engine

DATA = Path(__file__).parent / "data"


def problems() -> list[_morva.PortfolioProblem]:
    made = []
    for seed, options in enumerate([{}, {"max_weight": 0.2}, {"previous_weights": np.full(12, 1 / 12),
                                                             "l1_turnover_costs": 0.002, "turnover_penalty": 0.5}]):
        m = random_portfolio(seed, 12, 3)
        made.append(_morva.PortfolioProblem(m.factors, m.omega, m.specific_variance, m.expected_returns, **options))
    return made


def without_time(result) -> dict:
    record = json.loads(result.to_json())
    record.pop("solve_time")
    return record


@pytest.mark.parametrize("problem", problems())
def test_reference_profile_is_the_problems_own_solve_bit_for_bit(problem):
    settings = {"rho": 0.3, "polish": True, "warm_start": np.full(problem.dimension, 1 / problem.dimension)}
    mine, theirs = morva.solve(problem, profile="reference", **settings), problem.solve(**settings)
    assert without_time(mine) == without_time(theirs)
    assert mine.weights.tobytes() == theirs.weights.tobytes()
    batch = morva.solving.solve_batch([problem], [[{}]], profile="reference")[0][0]
    assert batch.weights.tobytes() == problem.sequence().solve_next().weights.tobytes()


@pytest.mark.parametrize(("call", "error", "text"), [
    (lambda p: morva.solve(p, tolerance=1.0), TypeError, "solve() got an unexpected keyword argument 'tolerance'"),
    (lambda p: morva.solve(p, profile="fast"), ValueError, "profile must be 'adaptive' or 'reference', got 'fast'"),
    (lambda p: morva.solve(p, rho=-1.0), ValueError, "rho must be finite and positive"),
    (lambda p: morva.solve("p"), TypeError, "solve() argument 'problem' must be a PortfolioProblem, not str"),
    (lambda p: _engine.with_risk_aversion(p, -2.0), ValueError, "risk_aversion"),
])
def test_engine_path_errors_name_what_is_wrong(call, error, text):
    with pytest.raises(error) as raised:
        call(problems()[0])
    assert text in str(raised.value)


def test_problem_data_is_a_read_only_view_of_the_problems_own_inputs():
    m = random_portfolio(5, 12, 3)
    problem = _morva.PortfolioProblem(m.factors, m.omega, m.specific_variance, m.expected_returns, max_weight=0.2,
                                      inequality_matrix=np.ones((1, 12)), inequality_rhs=np.array([0.9]))
    data = morva.problem_data(problem)
    for name, expected in [("factors", m.factors), ("omega", m.omega), ("specific_variance", m.specific_variance),
                           ("expected_returns", m.expected_returns), ("upper_bounds", np.full(12, 0.2)),
                           ("inequality_matrix", np.ones((1, 12))), ("inequality_rhs", [0.9])]:
        np.testing.assert_array_equal(data[name], expected)
        assert not data[name].flags.writeable
    assert data["budget"] == 1.0 and data["benchmark_weights"] is None
    assert data["equality_matrix"].shape == (0, 12)
    with pytest.raises(ValueError):
        data["factors"][0, 0] = 1.0
    factors = data["factors"]
    del problem, data
    np.testing.assert_array_equal(factors, m.factors)  # the view keeps the problem alive


def test_a_derived_problem_differs_only_in_its_risk_aversion():
    problem = problems()[2]
    derived = _engine.with_risk_aversion(problem, 7.5)
    expected = json.loads(problem.to_json())
    expected["risk_aversion"] = 7.5
    assert json.loads(derived.to_json()) == expected
    assert type(derived) is _morva.PortfolioProblem


def long_only(n: int, seed: int) -> _morva.PortfolioProblem:
    """Market + one industry per asset + dense styles; capped long-only book, risk aversion 0.05·n."""
    rng = np.random.default_rng(seed)
    industries, styles = 10, 5
    factors = np.zeros((n, 1 + industries + styles))
    factors[:, 0] = rng.normal(1.0, 0.25, n)
    factors[np.arange(n), 1 + rng.integers(0, industries, n)] = 1.0
    factors[:, 1 + industries:] = rng.normal(size=(n, styles))
    omega = np.diag(np.concatenate(([0.16], rng.uniform(0.03, 0.08, industries), rng.uniform(0.01, 0.04, styles))) ** 2)
    return _morva.PortfolioProblem(factors, omega, rng.uniform(0.15, 0.4, n) ** 2, 0.03 * rng.normal(size=n),
                                   risk_aversion=0.05 * n, lower_bounds=np.zeros(n),
                                   upper_bounds=np.full(n, np.clip(10 / n, 0.005, 0.1)))


def dollar_neutral(seed: int) -> _morva.PortfolioProblem:
    m = random_portfolio(seed, 40, 3)
    return _morva.PortfolioProblem(m.factors, m.omega, m.specific_variance, m.expected_returns, budget=0.0,
                                   risk_aversion=0.5, lower_bounds=np.full(40, -np.inf),
                                   upper_bounds=np.full(40, np.inf))


@pytest.mark.parametrize("problem", [*problems(), long_only(600, 1), dollar_neutral(2), dollar_neutral(3)],
                         ids=["plain", "capped", "turnover", "long-only", "dollar-neutral a", "dollar-neutral b"])
def test_adaptive_profile_reaches_the_reference_optimum(problem):
    tight = problem.solve(absolute_tolerance=1e-11, relative_tolerance=1e-11, max_iterations=200_000)
    reference, adaptive = problem.solve(), morva.solve(problem)
    assert adaptive.status == "solved"
    scale = max(1.0, abs(tight.objective))
    assert abs(adaptive.objective - tight.objective) <= 1e-6 * scale
    assert np.abs(adaptive.weights - tight.weights).max() <= 1e-4 * max(1.0, np.abs(tight.weights).max())
    assert adaptive.iterations <= reference.iterations


def infeasible_books() -> list[_morva.PortfolioProblem]:
    """Books whose caps cannot meet the budget (on which a first version of the extrapolation
    drifted along the certificate direction and never proved it), and the riskless long-short ray."""
    with open(DATA / "infeasible_books.json", encoding="utf-8") as file:
        made = [_morva.PortfolioProblem.from_json(json.dumps(dump)) for dump in json.load(file)]
    arrays = unbounded_arrays()
    positional = [arrays.pop(k) for k in ("factors", "omega", "specific_variance", "expected_returns")]
    made.append(_morva.PortfolioProblem(*positional, **arrays))
    return made


@pytest.mark.parametrize("problem", infeasible_books())
def test_adaptive_profile_proves_infeasibility_as_the_reference_does(problem):
    reference, adaptive = problem.solve(raise_on_failure=False), morva.solve(problem, raise_on_failure=False)
    assert reference.status in ("primal infeasible", "dual infeasible")
    assert adaptive.status == reference.status
    assert adaptive.certificate.kind == reference.certificate.kind


def test_adaptive_profile_iterates_on_when_the_first_polish_finds_nothing_better():
    # A random book whose iterate at the default tolerances still holds 1-4 assets on the wrong side of
    # their active set: polishing declines, and the answer used to come back 3.3e-4 from the optimum.
    # The reference weights come from an exact solve on the certified active set.
    with gzip.open(DATA / "settles_late.json.gz", "rt", encoding="utf-8") as file:
        case = json.load(file)
    problem = _morva.PortfolioProblem.from_json(json.dumps(case["problem"]))
    first = problem.solve()
    assert not first.polished and first.status == "solved"
    result = morva.solve(problem)
    assert result.status == "solved" and result.polished
    assert np.abs(result.weights - np.array(case["reference_weights"])).max() <= 1e-9
