"""Shared fixtures: small hand-made portfolios and seeded random ones."""

from __future__ import annotations

import math
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

import _morva  # noqa: E402
from reference import Portfolio  # noqa: E402


def small_arrays(n: int = 4, k: int = 2) -> dict:
    """A fixed, valid factor model over n assets (positional arguments)."""
    rng = np.random.default_rng(1234 + n)
    return {
        "factors": rng.normal(0.0, 0.5, size=(n, k)),
        "omega": np.diag(np.linspace(0.02, 0.05, k)),
        "specific_variance": np.linspace(0.04, 0.09, n),
        "expected_returns": np.linspace(0.01, 0.06, n),
    }


def positional(arrays: dict) -> tuple:
    return arrays["factors"], arrays["omega"], arrays["specific_variance"], arrays["expected_returns"]


@pytest.fixture
def arrays() -> dict:
    return small_arrays()


@pytest.fixture
def problem(arrays) -> _morva.PortfolioProblem:
    return _morva.PortfolioProblem(*positional(arrays))


def random_portfolio(seed: int, n: int, k: int, **options) -> Portfolio:
    """A seeded factor model with a dense symmetric positive definite Ω."""
    rng = np.random.default_rng(seed)
    factors = rng.normal(0.0, 1.0, size=(n, k))
    root = rng.normal(0.0, 0.1, size=(k, k))
    omega = root @ root.T + 0.01 * np.eye(k)
    omega = 0.5 * (omega + omega.T)
    specific_variance = rng.uniform(0.01, 0.09, size=n)
    expected_returns = rng.normal(0.05, 0.05, size=n)
    return Portfolio(factors, omega, specific_variance, expected_returns, options)


def scientific(value: float, digits: int) -> str:
    """The message number format: mantissa, lower-case e, exponent without '+' or zeros."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    mantissa, exponent = f"{value:.{digits}e}".split("e")
    return f"{mantissa}e{int(exponent)}"


# Constraints that admit no portfolio: the box [0, 0.5]³ reaches the budget 1
# on its own, but with x₀ + x₁ ≤ 0.2 the weights sum to at most 0.7.
def infeasible_keywords(n: int = 3) -> dict:
    return {
        "lower_bounds": np.zeros(n),
        "upper_bounds": np.full(n, 0.5),
        "inequality_matrix": np.array([[1.0, 1.0] + [0.0] * (n - 2)]),
        "inequality_rhs": np.array([0.2]),
    }


# A model with a riskless long-short direction: asset 0 pays more than asset 1,
# neither has any variance and the box is open, so x₀ − x₁ grows without bound.
def unbounded_arrays() -> dict:
    return {
        "factors": np.zeros((2, 1)),
        "omega": np.array([[0.04]]),
        "specific_variance": np.zeros(2),
        "expected_returns": np.array([0.1, 0.0]),
        "lower_bounds": np.full(2, -np.inf),
        "upper_bounds": np.full(2, np.inf),
    }
