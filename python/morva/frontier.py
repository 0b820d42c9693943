"""Efficient frontiers: one problem re-solved over a range of risk aversions.

The objective trades λ·risk against return; for a fixed problem, raising λ
never raises the risk the objective prices and never raises its return term,
so the solved points trace the efficient frontier. With a tracking benchmark
the priced risk is the active (tracking) risk, √((w−b)ᵀΣ(w−b)); without one
it is the total risk √(wᵀΣw). Σ = diag(d) + F·Ω·Fᵀ is applied through the
factor form, never formed.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import _morva

from . import _engine, solving
from ._extras import require


@dataclass(frozen=True, eq=False)  # array fields: compare the arrays, not the records
class FactorModel:
    """Σ = diag(d) + F·Ω·Fᵀ and the problem's return and anchor vectors."""

    factors: np.ndarray
    omega: np.ndarray
    diagonal: np.ndarray
    expected_returns: np.ndarray
    benchmark: np.ndarray | None
    previous: np.ndarray | None

    @classmethod
    def of(cls, problem: _morva.PortfolioProblem) -> FactorModel:
        """The model of a problem, as read-only views of its own data."""
        data = solving.problem_data(problem)
        omega = data["omega"]
        return cls(data["factors"], omega if omega.ndim == 2 else np.diag(omega), data["specific_variance"],
                   data["expected_returns"], data["benchmark_weights"], data["previous_weights"])

    def risk(self, weights: np.ndarray) -> np.ndarray:
        """√(wᵀΣw) of each row of ``weights`` (relative to the benchmark when there is one)."""
        active = np.atleast_2d(weights) - (0.0 if self.benchmark is None else self.benchmark)
        exposure = active @ self.factors
        variance = (active * active) @ self.diagonal + np.einsum("pk,kl,pl->p", exposure, self.omega, exposure)
        return np.sqrt(np.maximum(variance, 0.0))


@dataclass(frozen=True, eq=False)
class Frontier:
    """Solved points along the frontier, one per risk aversion, in the order given.

    ``risk`` is the risk the objective prices (active risk with a tracking
    benchmark, total risk otherwise), ``expected_return`` is μᵀw, ``weights``
    holds one row per point; ``statuses`` says how each solve ended.
    """

    risk_aversions: np.ndarray
    risk: np.ndarray
    expected_return: np.ndarray
    weights: np.ndarray
    statuses: tuple[str, ...]
    model: FactorModel = field(repr=False)
    assets: Any = field(default=None, repr=False)

    @property
    def tracking(self) -> bool:
        return self.model.benchmark is not None

    def to_frame(self, weights: bool = False):
        """A pandas DataFrame indexed by risk aversion: risk, expected return and status,
        followed by one column per asset when ``weights`` is true."""
        pd = require("pandas", "pandas", "Frontier.to_frame")
        frame = pd.DataFrame(
            {"risk": self.risk, "expected_return": self.expected_return, "status": list(self.statuses)},
            index=pd.Index(self.risk_aversions, name="risk_aversion"),
        )
        if weights:
            frame = frame.join(self.weights_frame())
        return frame

    def weights_frame(self):
        """The weights as a DataFrame, risk aversions × assets."""
        pd = require("pandas", "pandas", "Frontier.weights_frame")
        columns = self.assets if self.assets is not None else pd.RangeIndex(self.weights.shape[1], name="asset")
        return pd.DataFrame(self.weights, index=pd.Index(self.risk_aversions, name="risk_aversion"), columns=columns)

    def _reference_points(self) -> list[tuple[str, np.ndarray]]:
        points = [("benchmark", self.model.benchmark), ("current portfolio", self.model.previous)]
        return [(name, weights) for name, weights in points if weights is not None]

    def plot(self, ax=None):
        """Draws risk against expected return, with the benchmark and the current
        portfolio marked when the problem has them; returns the axes."""
        plt = require("matplotlib.pyplot", "plot", "Frontier.plot")
        if ax is None:
            _, ax = plt.subplots()
        ax.plot(self.risk, self.expected_return, marker="o", markersize=3, label="efficient frontier")
        for (name, weights), marker in zip(self._reference_points(), ("s", "^")):
            ax.scatter(self.model.risk(weights), [self.model.expected_returns @ weights], marker=marker,
                       zorder=3, label=name)
        ax.set_xlabel("active risk" if self.tracking else "risk")
        ax.set_ylabel("expected return")
        ax.legend()
        return ax

    def plot_weights(self, top: int = 10, ax=None):
        """Stacks the weights of the ``top`` largest holdings (by their largest weight
        anywhere on the frontier) against risk, the rest summed as 'other'; returns the axes."""
        plt = require("matplotlib.pyplot", "plot", "Frontier.plot_weights")
        if ax is None:
            _, ax = plt.subplots()
        order = np.argsort(-self.weights.max(axis=0), kind="stable")[:top]
        names = [str(self.assets[i]) if self.assets is not None else f"asset {i}" for i in order]
        rest = self.weights.sum(axis=1) - self.weights[:, order].sum(axis=1)
        ax.stackplot(self.risk, *self.weights[:, order].T, rest, labels=[*names, "other"])
        ax.set_xlabel("active risk" if self.tracking else "risk")
        ax.set_ylabel("weight")
        ax.legend(loc="upper left", fontsize="small")
        return ax


def efficient_frontier(problem, risk_aversions: Sequence[float], **solver_keywords: Any) -> Frontier:
    """Re-solves ``problem`` once per risk aversion, all points in one parallel batch.

    ``problem`` is a ``PortfolioProblem`` or a ``morva.labels.LabelledProblem``
    (whose asset labels then name the weight columns). Every other piece of the
    problem is kept exactly: each point is a copy of the problem with only the
    risk aversion changed. The solver keywords are those of ``morva.solve``
    (``profile`` and the settings of ``solve_batch``).
    """
    assets = getattr(problem, "assets", None)
    problem = getattr(problem, "problem", problem)
    if not isinstance(problem, _morva.PortfolioProblem):
        raise TypeError(f"efficient_frontier needs a PortfolioProblem, got {type(problem).__name__}")
    lambdas = np.asarray(risk_aversions, dtype=np.float64)
    if lambdas.ndim != 1 or lambdas.size == 0:
        raise ValueError("risk_aversions must be a non-empty one-dimensional sequence of numbers")
    if not np.all(np.isfinite(lambdas) & (lambdas > 0)):
        raise ValueError("risk_aversions must be finite and positive")
    points = [_engine.with_risk_aversion(problem, float(risk_aversion)) for risk_aversion in lambdas]
    results = [account[0] for account in solving.solve_batch(points, [[{}]] * len(points), **solver_keywords)]
    model = FactorModel.of(problem)
    weights = np.array([result.weights for result in results])
    return Frontier(
        risk_aversions=lambdas,
        risk=model.risk(weights),
        expected_return=weights @ model.expected_returns,
        weights=weights,
        statuses=tuple(result.status for result in results),
        model=model,
        assets=assets,
    )
