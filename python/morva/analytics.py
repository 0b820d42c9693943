"""Statistics of a portfolio under a problem's risk model, through the factor form.

With Σ = F Ω Fᵀ + diag(d), the exposures x = Fᵀw (k numbers) carry every
product: wᵀΣw = xᵀΩx + Σ d_i w_i² and Σw = F(Ωx) + d∘w, so nothing n×n is
formed and one portfolio costs O(n·k + k²).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._risk_model import RiskModel
from ._checks import check_factor_covariance
from ._extras import require
from ._problem import plain

# A weight counts as held when its magnitude exceeds this (weights are fractions of the book).
HELD = 1e-8


@dataclass(frozen=True, eq=False)  # array fields: compare the arrays, not the records
class PortfolioAnalytics:
    """Risk, return and holdings of one portfolio w under a problem's model.

    Risks are volatilities (square roots of variances), in the problem's units:

    - ``risk`` = √(wᵀΣw), the total risk;
    - ``active_risk`` = √((w − b)ᵀΣ(w − b)) against the problem's tracking
      benchmark b, or None when it has none;
    - ``factor_risk`` = √(xᵀΩx) and ``specific_risk`` = √(Σ d_i w_i²) split the
      total variance: risk² = factor_risk² + specific_risk²;
    - ``risk_contributions``: the Euler split w_i (Σw)_i / risk, one per asset,
      summing to ``risk``.

    ``expected_return`` is μᵀw and ``active_return`` μᵀ(w − b) (None without a
    benchmark); ``sharpe_ratio(risk_free_rate)`` and ``information_ratio()``
    divide them by the total and the active risk. ``factor_exposures`` x = Fᵀw (one per factor),
    ``holdings`` the weights, ``held`` the number of weights larger than 1e-8
    in magnitude, and ``turnover`` Σ|w − w⁰| against the problem's previous
    weights w⁰ (None when it has none). Per-asset and per-factor fields are
    pandas Series by label for a labelled problem, arrays otherwise.
    """

    risk: float
    active_risk: float | None
    expected_return: float
    active_return: float | None
    factor_risk: float
    specific_risk: float
    factor_exposures: Any
    risk_contributions: Any
    holdings: Any
    held: int
    turnover: float | None

    def sharpe_ratio(self, risk_free_rate: float = 0.0) -> float:
        """(μᵀw − risk_free_rate) / risk, in the problem's units (annual data: the annual ratio)."""
        return (self.expected_return - risk_free_rate) / self.risk

    def information_ratio(self) -> float | None:
        """μᵀ(w − b) / active risk against the problem's benchmark b, or None without one."""
        return None if self.active_return is None else self.active_return / self.active_risk

    def __repr__(self) -> str:
        def number(value: float | None) -> str:
            return "None" if value is None else f"{value:.6g}"

        return (f"PortfolioAnalytics(risk={number(self.risk)}, active_risk={number(self.active_risk)}, "
                f"expected_return={number(self.expected_return)}, factor_risk={number(self.factor_risk)}, "
                f"specific_risk={number(self.specific_risk)}, held={self.held} of {len(self.holdings)}, "
                f"turnover={number(self.turnover)})")


def analytics(problem: Any, weights: Any) -> PortfolioAnalytics:
    """The ``PortfolioAnalytics`` of ``weights`` under ``problem``'s model.

    ``problem`` is a ``PortfolioProblem`` or a ``morva.labels.LabelledProblem``;
    ``weights`` an array (one weight per asset, in the problem's order), a
    Series by asset label (labelled problems), or a result whose ``weights``
    are taken (``morva.analytics(problem, morva.max_sharpe(problem))``).
    A factor covariance Ω that is not positive semidefinite is refused
    (``ValueError`` naming its smallest eigenvalue): it would give a negative
    variance, not a risk.
    """
    problem = plain(problem)
    assets = getattr(problem, "assets", None)
    w = _weights(getattr(weights, "weights", weights), assets)
    model = RiskModel.of(problem)
    factors, specific, omega = model.factors, model.diagonal, model.omega
    labels = getattr(problem, "factors", None)
    check_factor_covariance(omega, labels, "omega" if labels is None else "factor_covariance")
    if w.shape != specific.shape:
        raise ValueError(f"weights has {w.size} entries for a problem of {specific.size} assets")
    exposures = factors.T @ w
    omega_x = omega @ exposures
    # Both are ≥ 0 up to rounding (Ω semidefinite, d ≥ 0): only a rounding residue is clipped.
    factor_variance = float(exposures @ omega_x)
    specific_variance = float(w * w @ specific)
    risk = math.sqrt(max(factor_variance + specific_variance, 0.0))
    sigma_w = factors @ omega_x + specific * w  # Σw = F(Ωx) + d∘w
    contributions = w * sigma_w / risk if risk > 0 else np.zeros_like(w)
    per_asset, per_factor = _labellers(problem, assets)
    return PortfolioAnalytics(
        risk=risk,
        active_risk=None if model.benchmark is None else float(model.risk(w)[0]),
        expected_return=float(model.expected_returns @ w),
        active_return=None if model.benchmark is None else float(model.expected_returns @ (w - model.benchmark)),
        factor_risk=math.sqrt(max(factor_variance, 0.0)),
        specific_risk=math.sqrt(max(specific_variance, 0.0)),
        factor_exposures=per_factor(exposures, "factor_exposure"),
        risk_contributions=per_asset(contributions, "risk_contribution"),
        holdings=per_asset(w.copy(), "weight"),
        held=int(np.count_nonzero(np.abs(w) > HELD)),
        turnover=None if model.previous is None else float(np.abs(w - model.previous).sum()),
    )


def _weights(weights: Any, assets: Any) -> np.ndarray:
    if assets is not None and hasattr(weights, "reindex"):
        from .labels import _check_labels

        _check_labels(weights.index, assets, "weights", "asset")
        weights = weights.reindex(assets)
    return np.asarray(weights, dtype=np.float64).reshape(-1)


def _labellers(problem: Any, assets: Any):
    if assets is None:
        return (lambda values, name: values), (lambda values, name: values)
    pd = require("pandas", "pandas", "morva.analytics")
    factors = problem.factors
    return (lambda values, name: pd.Series(values, index=assets, name=name),
            lambda values, name: pd.Series(values, index=factors, name=name))
