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
class RiskModel:
    """A problem's risk Σ = diag(d) + F·Ω·Fᵀ and its return and anchor vectors, read from its data."""

    factors: np.ndarray
    omega: np.ndarray
    diagonal: np.ndarray
    expected_returns: np.ndarray
    benchmark: np.ndarray | None
    previous: np.ndarray | None

    @classmethod
    def of(cls, problem: _morva.PortfolioProblem) -> RiskModel:
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
    model: RiskModel = field(repr=False)
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

    @property
    def active_return(self) -> np.ndarray | None:
        """μᵀ(w − b) of each point; None without a benchmark."""
        if not self.tracking:
            return None
        return self.expected_return - self.model.expected_returns @ self.model.benchmark

    @property
    def solved(self) -> np.ndarray:
        """Which points solved; the plots leave the others out."""
        return np.array([status == "solved" for status in self.statuses], dtype=bool)

    def _reference_points(self) -> list[tuple[str, np.ndarray]]:
        points = [("benchmark", self.model.benchmark), ("current portfolio", self.model.previous)]
        return [(name, weights) for name, weights in points if weights is not None]

    def _plotted_return(self, weights: np.ndarray) -> np.ndarray:
        """The return the plot shows: active with a benchmark, total otherwise."""
        offset = self.model.expected_returns @ self.model.benchmark if self.tracking else 0.0
        return np.atleast_2d(weights) @ self.model.expected_returns - offset

    def _risk_label(self, units: str) -> str:
        return f"Active risk (tracking error, {units})" if self.tracking else f"Volatility ({units})"

    def _title(self, title: str | None, default: str) -> str:
        title = default if title is None else title
        dropped = int((~self.solved).sum())
        if dropped:
            kinds = ", ".join(sorted({status for status in self.statuses if status != "solved"}))
            title += f"\n{dropped} of {len(self.statuses)} points left out ({kinds})"
        return title

    def plot(self, ax=None, *, period: str | None = None, title: str | None = None):
        """Draws the frontier in per cent, with the benchmark and the current portfolio
        marked when the problem has them; returns the axes.

        Without a benchmark: volatility √(wᵀΣw) against expected return μᵀw. With a
        benchmark: active risk against active return μᵀ(w − b), the benchmark at
        the origin. ``period`` names the units of the data ("year" for annual
        variances and returns; "period" when not given). Points that did not
        solve are left out, and the title says how many.
        """
        plt = require("matplotlib.pyplot", "plot", "Frontier.plot")
        if ax is None:
            _, ax = plt.subplots()
        units = f"% per {period or 'period'}"
        solved = self.solved
        ax.plot(100 * self.risk[solved], 100 * self._plotted_return(self.weights[solved]), marker="o", markersize=3,
                label="efficient frontier")
        for (name, weights), marker in zip(self._reference_points(), ("s", "^")):
            ax.scatter(100 * self.model.risk(weights), 100 * self._plotted_return(weights), marker=marker,
                       zorder=3, label=name)
        ax.set_xlabel(self._risk_label(units))
        ax.set_ylabel(f"Expected active return ({units})" if self.tracking else f"Expected return ({units})")
        default = "Tracking frontier: active return against active risk" if self.tracking else "Efficient frontier"
        ax.set_title(self._title(title, default))
        ax.grid(True, alpha=0.3)
        ax.legend()
        return ax

    def plot_weights(self, top: int = 10, ax=None, *, period: str | None = None, title: str | None = None):
        """Stacks the weights (in % of the book) of the ``top`` largest holdings (by
        their largest weight anywhere on the frontier) against risk in per cent, the
        rest summed as 'other'; unsolved points are left out. Returns the axes."""
        plt = require("matplotlib.pyplot", "plot", "Frontier.plot_weights")
        if ax is None:
            _, ax = plt.subplots()
        solved = self.solved
        weights = self.weights[solved]
        order = np.argsort(-weights.max(axis=0, initial=-np.inf), kind="stable")[:top]
        names = [str(self.assets[i]) if self.assets is not None else f"asset {i}" for i in order]
        rest = weights.sum(axis=1) - weights[:, order].sum(axis=1)
        ax.stackplot(100 * self.risk[solved], *(100 * weights[:, order].T), 100 * rest, labels=[*names, "other"])
        ax.set_xlabel(self._risk_label(f"% per {period or 'period'}"))
        ax.set_ylabel("Weight (% of the book)")
        ax.set_title(self._title(title, "Holdings along the frontier"))
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
    model = RiskModel.of(problem)
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
