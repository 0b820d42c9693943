"""A problem's risk model read from its own data: Σ = diag(d) + F·Ω·Fᵀ, applied
through the factor form (one portfolio costs O(n·k + k²), nothing n×n is formed),
with the expected returns, benchmark and anchor the goals, frontiers and
statistics measure against."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import _morva

from . import solving


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
