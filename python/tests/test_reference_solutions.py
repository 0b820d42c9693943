"""Solutions agree with an independent interior-point solver (Clarabel) on
seeded random portfolios with constraints, turnover terms and benchmarks."""

from __future__ import annotations

import numpy as np
import pytest

import _morva
from conftest import random_portfolio
from reference import Portfolio, constraint_rows, objective, reference_solve

WEIGHT_TOLERANCE = 1e-4
OBJECTIVE_TOLERANCE = 1e-6
TIGHT = {"absolute_tolerance": 1e-9, "relative_tolerance": 1e-9, "max_iterations": 200000}


def case_plain(seed):
    return random_portfolio(seed, 30, 4)


def case_long_short_dollar_neutral(seed):
    n = 40
    return random_portfolio(seed, n, 5, budget=0.0, lower_bounds=np.full(n, -0.1), upper_bounds=np.full(n, 0.1))


def case_linear_constraints(seed):
    n = 25
    rng = np.random.default_rng(seed + 100)
    return random_portfolio(
        seed, n, 3,
        lower_bounds=np.full(n, -0.05), upper_bounds=np.full(n, 0.3),
        equality_matrix=rng.normal(size=(2, n)), equality_rhs=rng.normal(0.0, 0.05, size=2),
        inequality_matrix=rng.normal(size=(3, n)), inequality_rhs=np.full(3, 0.1),
    )


def case_quadratic_turnover(seed):
    n = 30
    rng = np.random.default_rng(seed + 200)
    previous = rng.dirichlet(np.ones(n))
    return random_portfolio(seed, n, 4, previous_weights=previous, turnover_penalty=0.8, risk_aversion=3.0)


def case_l1_turnover(seed):
    n = 30
    rng = np.random.default_rng(seed + 300)
    previous = rng.dirichlet(np.ones(n))
    return random_portfolio(seed, n, 4, previous_weights=previous, l1_turnover_costs=rng.uniform(0.0, 0.02, n))


def case_both_turnover_terms(seed):
    n = 30
    rng = np.random.default_rng(seed + 400)
    previous = rng.dirichlet(np.ones(n))
    return random_portfolio(
        seed, n, 4, previous_weights=previous, turnover_penalty=0.2, l1_turnover_costs=0.005, risk_aversion=2.0
    )


def case_benchmark_industry_neutral(seed):
    n = 40
    rng = np.random.default_rng(seed + 500)
    ids = np.arange(n) % 5
    rng.shuffle(ids)
    return random_portfolio(
        seed, n, 5, benchmark_weights=rng.dirichlet(np.ones(n)), industry_ids=ids, risk_aversion=4.0, max_weight=0.1
    )


def case_styles_and_limits(seed):
    n = 35
    rng = np.random.default_rng(seed + 600)
    return random_portfolio(
        seed, n, 4,
        lower_bounds=np.full(n, -np.inf), upper_bounds=np.full(n, np.inf),
        style_matrix=rng.normal(size=(3, n)),
        style_lower=np.array([-0.2, -np.inf, 0.05]), style_upper=np.array([0.2, 0.1, 0.05]),
        max_weight=0.15, max_short=0.05,
    )


def case_group_targets_with_everything(seed):
    n = 120
    rng = np.random.default_rng(seed + 700)
    previous = rng.dirichlet(np.ones(n))
    ids = np.arange(n) % 6
    return random_portfolio(
        seed, n, 8,
        risk_aversion=5.0,
        lower_bounds=np.zeros(n), upper_bounds=np.full(n, 0.05),
        inequality_matrix=rng.normal(size=(2, n)), inequality_rhs=np.array([0.05, 0.05]),
        previous_weights=previous, turnover_penalty=0.3, l1_turnover_costs=rng.uniform(0.0, 0.003, n),
        benchmark_weights=rng.dirichlet(np.ones(n)),
        industry_ids=ids.tolist(), industry_targets=np.full(6, 1.0 / 6),
    )


CASES = [
    case_plain,
    case_long_short_dollar_neutral,
    case_linear_constraints,
    case_quadratic_turnover,
    case_l1_turnover,
    case_both_turnover_terms,
    case_benchmark_industry_neutral,
    case_styles_and_limits,
    case_group_targets_with_everything,
]


def morva_problem(portfolio: Portfolio) -> _morva.PortfolioProblem:
    return _morva.PortfolioProblem(
        portfolio.factors, portfolio.omega, portfolio.specific_variance, portfolio.expected_returns,
        **portfolio.keywords(),
    )


def max_violation(portfolio: Portfolio, x: np.ndarray) -> float:
    (A_eq, b_eq), (A_in, b_in), (lower, upper) = constraint_rows(portfolio)
    violations = [np.abs(A_eq @ x - b_eq).max(), np.maximum(lower - x, 0.0).max(), np.maximum(x - upper, 0.0).max()]
    if A_in.size:
        violations.append(np.maximum(A_in @ x - b_in, 0.0).max())
    return float(max(violations))


@pytest.mark.parametrize("seed", [11, 29])
@pytest.mark.parametrize("make", CASES, ids=[case.__name__[5:] for case in CASES])
def test_weights_and_objective_match_the_reference_solver(make, seed):
    portfolio = make(seed)
    reference = reference_solve(portfolio)
    result = morva_problem(portfolio).solve(**TIGHT)

    assert result.status == "solved"
    np.testing.assert_allclose(result.weights, reference.weights, rtol=0.0, atol=WEIGHT_TOLERANCE)
    ours = objective(portfolio, result.weights)
    scale = max(1.0, abs(reference.objective))
    assert abs(ours - reference.objective) <= OBJECTIVE_TOLERANCE * scale
    # The reported objective is the QP objective of the returned weights.
    assert abs(result.objective - ours) <= 1e-9 * scale
    assert max_violation(portfolio, result.weights) <= 1e-6


@pytest.mark.parametrize("make", [case_l1_turnover, case_benchmark_industry_neutral], ids=["l1", "benchmark"])
def test_one_shot_equals_constructed_problem(make):
    portfolio = make(5)
    arrays = (portfolio.factors, portfolio.omega, portfolio.specific_variance, portfolio.expected_returns)
    problem = morva_problem(portfolio)
    first = problem.solve(**TIGHT)
    second = problem.solve(**TIGHT)
    one_shot = _morva.solve_mean_variance_factor(*arrays, **portfolio.keywords(), **TIGHT)
    # Repeated solves do not warm-start from each other: identical runs.
    assert second.iterations == first.iterations
    assert second.weights.tolist() == first.weights.tolist()
    assert one_shot.weights.tolist() == first.weights.tolist()
    assert one_shot.objective == first.objective


def test_warm_start_from_the_solution_converges_to_the_same_weights():
    portfolio = case_quadratic_turnover(3)
    problem = morva_problem(portfolio)
    cold = problem.solve(**TIGHT)
    warm = problem.solve(warm_start=cold.weights, **TIGHT)
    assert warm.status == "solved"
    np.testing.assert_allclose(warm.weights, cold.weights, atol=1e-7)
