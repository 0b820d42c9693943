"""A deterministic synthetic factor model, solved and summarised.

The model: a market factor plus style factors with a dense factor covariance,
one industry per asset, cap-weighted benchmark, alpha signals as expected
returns, and a current portfolio that the rebalance is penalised for moving
away from. The optimiser tracks the benchmark, stays industry-neutral to it,
holds at most 5% in any name and pays a quadratic turnover penalty.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from _morva import PortfolioProblem, SolveResult

from . import solving

INDUSTRIES = 10
MAX_WEIGHT = 0.05
RISK_AVERSION = 8.0
TURNOVER_PENALTY = 3.0
TOP_HOLDINGS = 10


@dataclass(frozen=True)
class SyntheticModel:
    factors: np.ndarray  # n×k exposures
    omega: np.ndarray  # k×k factor covariance (annual)
    specific_variance: np.ndarray  # n (annual)
    expected_returns: np.ndarray  # n (annual)
    benchmark: np.ndarray  # n, sums to 1
    previous: np.ndarray  # n, the current holdings, sum to 1
    industry_ids: np.ndarray  # n industry labels


def synthetic_model(assets: int, factors: int, seed: int) -> SyntheticModel:
    """Builds the model from a seeded generator; the same arguments give the same model."""
    if assets < INDUSTRIES or factors < 1:
        raise ValueError(f"the demo needs at least {INDUSTRIES} assets and one factor")
    rng = np.random.default_rng(seed)
    exposures = rng.normal(0.0, 1.0, size=(assets, factors))
    exposures[:, 0] = rng.normal(1.0, 0.25, size=assets)  # market beta

    # Ω = D·C·D with factor volatilities D and a random correlation matrix C.
    volatilities = np.concatenate(([0.16], rng.uniform(0.02, 0.06, size=factors - 1)))
    loadings = rng.normal(0.0, 1.0, size=(factors, factors))
    covariance = loadings @ loadings.T + factors * np.eye(factors)
    scale = 1.0 / np.sqrt(np.diag(covariance))
    correlation = covariance * np.outer(scale, scale)
    omega = correlation * np.outer(volatilities, volatilities)
    omega = 0.5 * (omega + omega.T)

    specific_variance = rng.uniform(0.15, 0.40, size=assets) ** 2
    expected_returns = 0.03 * rng.normal(0.0, 1.0, size=assets)

    caps = rng.lognormal(0.0, 1.0, size=assets)
    benchmark = caps / caps.sum()
    drift = benchmark * rng.lognormal(0.0, 0.3, size=assets)
    previous = drift / drift.sum()

    industry_ids = np.arange(assets) % INDUSTRIES
    rng.shuffle(industry_ids)
    return SyntheticModel(exposures, omega, specific_variance, expected_returns, benchmark, previous, industry_ids)


def portfolio_variance(model: SyntheticModel, weights: np.ndarray) -> float:
    """wᵀΣw with Σ = diag(d) + F·Ω·Fᵀ, through the factor form."""
    exposure = model.factors.T @ weights
    return float(model.specific_variance @ (weights * weights) + exposure @ model.omega @ exposure)


def build_problem(model: SyntheticModel) -> PortfolioProblem:
    return PortfolioProblem(
        model.factors,
        model.omega,
        model.specific_variance,
        model.expected_returns,
        risk_aversion=RISK_AVERSION,
        previous_weights=model.previous,
        turnover_penalty=TURNOVER_PENALTY,
        benchmark_weights=model.benchmark,
        industry_ids=model.industry_ids,
        max_weight=MAX_WEIGHT,
    )


def summarise(model: SyntheticModel, result: SolveResult) -> list[str]:
    weights = result.weights
    active = weights - model.benchmark
    lines = [
        f"status            {result.status}",
        f"iterations        {result.iterations}",
        f"solve time        {result.solve_time_seconds * 1e3:.2f} ms",
        f"objective         {result.objective:.6e}",
        f"residuals         primal {result.primal_residual:.2e}, dual {result.dual_residual:.2e}",
        f"holdings          {int(np.count_nonzero(weights > 1e-6))} of {weights.size}",
        f"ex-ante risk      {np.sqrt(portfolio_variance(model, weights)):.4%}",
        f"benchmark risk    {np.sqrt(portfolio_variance(model, model.benchmark)):.4%}",
        f"active risk       {np.sqrt(portfolio_variance(model, active)):.4%}",
        f"expected return   {model.expected_returns @ weights:.4%}"
        f" (benchmark {model.expected_returns @ model.benchmark:.4%})",
        f"turnover          {np.abs(weights - model.previous).sum():.4%}",
        "",
        f"largest {TOP_HOLDINGS} weights:",
        "  asset  industry   weight   benchmark   active",
    ]
    for asset in np.argsort(-weights, kind="stable")[:TOP_HOLDINGS]:
        lines.append(
            f"  {asset:5d}  {model.industry_ids[asset]:8d}  {weights[asset]:7.3%}"
            f"  {model.benchmark[asset]:9.3%}  {active[asset]:+7.3%}"
        )
    return lines


def run_demo(assets: int = 400, factors: int = 12, seed: int = 7) -> int:
    model = synthetic_model(assets, factors, seed)
    problem = build_problem(model)
    result = solving.solve(problem, raise_on_failure=False)
    print(
        f"morva demo: {assets} assets, {factors} factors, {INDUSTRIES} industries, "
        f"industry-neutral to a cap-weighted benchmark, max weight {MAX_WEIGHT:.0%}, "
        f"turnover penalty {TURNOVER_PENALTY}"
    )
    print()
    for line in summarise(model, result):
        print(line)
    for hint in result.convergence_hints:
        print(f"hint: {hint}")
    return 0 if result.status == "solved" else 1
