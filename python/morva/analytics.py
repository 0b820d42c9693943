"""Statistics of a portfolio under a problem's risk model, through the factor form.

With Σ = F Ω Fᵀ + diag(d), the exposures x = Fᵀw (k numbers) carry every
product: wᵀΣw = xᵀΩx + Σ d_i w_i² and Σw = F(Ωx) + d∘w, so nothing n×n is
formed and one portfolio costs O(n·k + k²).

Risk decompositions. σ(v) = √(vᵀΣv) is homogeneous of degree 1 in v, so
Euler's theorem splits it exactly: σ = Σ_i v_i ∂σ/∂v_i with
∂σ/∂v_i = (Σv)_i / σ. For the total risk v = w; for the active risk
against a benchmark b, v = a = w − b. ``active_risk_contributions``,
``factor_risk_contributions`` and ``marginal_risk_contributions`` give the
pieces, and ``plot_risk_contributions`` draws any of them.
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
# The label of the specific part beside the factors' in a labelled factor split.
SPECIFIC = "specific"


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
    problem, model, w = _read(problem, weights)
    split = _Split.of(model, w)
    per_asset, per_factor = _labellers(problem, getattr(problem, "assets", None))
    return PortfolioAnalytics(
        risk=split.risk,
        active_risk=None if model.benchmark is None else float(model.risk(w)[0]),
        expected_return=float(model.expected_returns @ w),
        active_return=None if model.benchmark is None else float(model.expected_returns @ (w - model.benchmark)),
        factor_risk=math.sqrt(max(split.factor_variance, 0.0)),
        specific_risk=math.sqrt(max(float(split.specific_terms.sum()), 0.0)),
        factor_exposures=per_factor(split.exposures, "factor_exposure"),
        risk_contributions=per_asset(split.per(w * split.sigma_v), "risk_contribution"),
        holdings=per_asset(w.copy(), "weight"),
        held=int(np.count_nonzero(np.abs(w) > HELD)),
        turnover=None if model.previous is None else float(np.abs(w - model.previous).sum()),
    )


@dataclass(frozen=True, eq=False)
class _Split:
    """The pieces of σ(v) = √(vᵀΣv) through the factor form: x = Fᵀv, Ωx, the
    specific terms d_i v_i², Σv = F(Ωx) + d∘v, and σ itself."""

    exposures: np.ndarray
    omega_x: np.ndarray
    factor_variance: float
    specific_terms: np.ndarray
    sigma_v: np.ndarray
    risk: float

    @classmethod
    def of(cls, model: RiskModel, v: np.ndarray) -> _Split:
        exposures = model.factors.T @ v
        omega_x = model.omega @ exposures
        # Both are ≥ 0 up to rounding (Ω semidefinite, d ≥ 0): only a rounding residue is clipped.
        factor_variance = float(exposures @ omega_x)
        specific_terms = model.diagonal * v * v
        risk = math.sqrt(max(factor_variance + float(specific_terms.sum()), 0.0))
        return cls(exposures, omega_x, factor_variance, specific_terms, model.factors @ omega_x + model.diagonal * v,
                   risk)

    def per(self, terms: np.ndarray) -> np.ndarray:
        """terms / σ, or zeros when σ = 0 (a riskless portfolio has nothing to split)."""
        return terms / self.risk if self.risk > 0 else np.zeros_like(terms)


def _read(problem: Any, weights: Any) -> tuple[Any, RiskModel, np.ndarray]:
    """The problem (unwrapped), its risk model (Ω checked) and the weights in its asset order."""
    problem = plain(problem)
    w = _weights(weights, getattr(problem, "assets", None))
    model = RiskModel.of(problem)
    labels = getattr(problem, "factors", None)
    check_factor_covariance(model.omega, labels, "omega" if labels is None else "factor_covariance")
    if w.shape != model.diagonal.shape:
        raise ValueError(f"weights has {w.size} entries for a problem of {model.diagonal.size} assets")
    return problem, model, w


def _weights(weights: Any, assets: Any, name: str = "weights") -> np.ndarray:
    """An array, a Series by asset (labelled problems) or a result's weights, in asset order."""
    weights = getattr(weights, "weights", weights)
    if assets is not None and hasattr(weights, "reindex"):
        from .labels import _check_labels

        _check_labels(weights.index, assets, name, "asset")
        weights = weights.reindex(assets)
    return np.asarray(weights, dtype=np.float64).reshape(-1)


def _measured(problem: Any, weights: Any, active: bool, benchmark: Any) -> tuple[Any, RiskModel, np.ndarray]:
    """(problem, model, v): v = w for the total risk, v = w − b for the active risk
    against ``benchmark`` (weights like ``weights``) or else the problem's own."""
    problem, model, w = _read(problem, weights)
    if benchmark is None and not active:
        return problem, model, w
    if benchmark is None:
        if model.benchmark is None:
            raise ValueError("active risk needs a benchmark: this problem has none; give benchmark=... (weights by "
                             "asset) or build the problem with benchmark_weights=...")
        return problem, model, w - model.benchmark
    b = _weights(benchmark, getattr(problem, "assets", None), "benchmark")
    if b.shape != w.shape:
        raise ValueError(f"benchmark has {b.size} entries for a problem of {w.size} assets")
    return problem, model, w - b


def active_risk_contributions(problem: Any, weights: Any, benchmark: Any = None) -> Any:
    """Each asset's share of the active risk σ_A = √(aᵀΣa), a = w − b.

    c_i = a_i (Σa)_i / σ_A, so Σ_i c_i = σ_A (Euler); zeros when σ_A = 0.
    ``b`` is ``benchmark`` (an array, a Series by asset or a result, as
    ``weights``) or else the problem's tracking benchmark (``ValueError``
    without either). A Series by asset for a labelled problem, else an array.
    """
    problem, model, a = _measured(problem, weights, True, benchmark)
    split = _Split.of(model, a)
    per_asset, _ = _labellers(problem, getattr(problem, "assets", None))
    return per_asset(split.per(a * split.sigma_v), "active_risk_contribution")


def factor_risk_contributions(problem: Any, weights: Any, *, active: bool = False, benchmark: Any = None) -> Any:
    """Each factor's share of the risk σ = √(vᵀΣv), and the specific share.

    With x = Fᵀv: factor f contributes x_f (Ωx)_f / σ and the specific part is
    Σ_i d_i v_i² / σ; together they sum to σ (xᵀΩx + Σ d_i v_i² = σ²); zeros
    when σ = 0. v = w for the total risk; with ``active=True`` (or a
    ``benchmark``, weights as ``weights``) v = w − b and σ is the active risk
    against b, the problem's benchmark unless one is given. A Series by
    factor with "specific" last for a labelled problem, else an array of k + 1
    (the specific part last).
    """
    problem, model, v = _measured(problem, weights, active, benchmark)
    split = _Split.of(model, v)
    values = split.per(np.append(split.exposures * split.omega_x, split.specific_terms.sum()))
    labels = getattr(problem, "factors", None)
    if labels is None:
        return values
    pd = require("pandas", "pandas", "morva.analytics")
    name = "active_factor_risk_contribution" if active or benchmark is not None else "factor_risk_contribution"
    return pd.Series(values, index=[*labels, SPECIFIC], name=name)


def marginal_risk_contributions(problem: Any, weights: Any, *, active: bool = False, benchmark: Any = None) -> Any:
    """∂σ/∂w_i = (Σv)_i / σ, what one more unit of asset i adds to the risk.

    v = w for the total risk σ = √(wᵀΣw); with ``active=True`` (or a
    ``benchmark``) v = w − b and σ the active risk, as in
    ``factor_risk_contributions``. Σ_i v_i ∂σ/∂w_i = σ (Euler). At σ = 0 the
    risk has no gradient and every entry is NaN. A Series by asset for a
    labelled problem, else an array.
    """
    problem, model, v = _measured(problem, weights, active, benchmark)
    split = _Split.of(model, v)
    values = split.sigma_v / split.risk if split.risk > 0 else np.full_like(v, np.nan)
    per_asset, _ = _labellers(problem, getattr(problem, "assets", None))
    return per_asset(values, "active_marginal_risk" if active or benchmark is not None else "marginal_risk")


def plot_risk_contributions(contributions: Any, path: Any = None, *, ax: Any = None, title: str | None = None) -> Any:
    """A horizontal bar per asset or factor of any of the contributions above
    (a Series by label, or an array by position), positive bars blue and
    negative red, their sum in the title (not for marginal risks). Drawn on ``ax`` (a new figure when
    None) and saved to ``path`` when given. Returns the Axes."""
    plt = require("matplotlib.pyplot", "plot", "morva.analytics.plot_risk_contributions")
    values = np.asarray(contributions, dtype=np.float64).reshape(-1)
    labels = [str(label) for label in getattr(contributions, "index", range(values.size))]
    if ax is None:
        _, ax = plt.subplots(figsize=(7.0, 1.2 + 0.28 * max(values.size, 3)))
    rows = np.arange(values.size)
    ax.barh(rows, values, color=np.where(values < 0, "tab:red", "tab:blue"), height=0.7)
    ax.set_yticks(rows, labels)
    ax.invert_yaxis()  # the first label on top, as a table reads
    ax.axvline(0.0, color="0.3", linewidth=0.6)
    ax.grid(axis="x", alpha=0.3)
    name = getattr(contributions, "name", None)
    heading = title if title is not None else (str(name).replace("_", " ").capitalize() + "s" if name else
                                                "Risk contributions")
    # Contributions add up to the risk they split; marginal risks are rates and do not.
    total = "" if "marginal" in str(name) else f" (sum {np.nansum(values):.4g})"
    ax.set_title(heading + total, loc="left")
    if path is not None:
        ax.figure.savefig(path, dpi=110, bbox_inches="tight")
    return ax


def _labellers(problem: Any, assets: Any):
    if assets is None:
        return (lambda values, name: values), (lambda values, name: values)
    pd = require("pandas", "pandas", "morva.analytics")
    factors = problem.factors
    return (lambda values, name: pd.Series(values, index=assets, name=name),
            lambda values, name: pd.Series(values, index=factors, name=name))
