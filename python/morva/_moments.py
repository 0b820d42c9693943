"""Exponentially weighted second moments of series with gaps.

Dates are weighted a_t = λ^(e − t) at the end date e, with λ = 0.5^(1/h) for
a half-life of h dates (λ = 1, equal weights, when h is None). A missing
value (NaN) leaves its date out of every pair that needs it: the covariance
of series j and l is taken over the dates both have, each centred on its
mean over those dates (the pairwise-complete estimate; with equal weights
and no gaps, the sample covariance):

    C_jl = (Σ a x_j x_l − (Σ a x_j)(Σ a x_l) / V1) / (V1 − V2 / V1),

every sum over the common dates, V1 = Σ a and V2 = Σ a² (V1 − V2/V1 is the
unbiased normaliser; T − 1 for equal weights). The Newey–West correction
over L lags adds the lagged cross moments of the series weighted
√(a_t a_(t−ℓ)), with Bartlett weights 1 − ℓ/(L + 1):

    Ω = (Γ_0 + Σ_ℓ (1 − ℓ/(L + 1)) (Γ_ℓ + Γ_ℓᵀ)) / (V1 − V2 / V1),

Γ_ℓ = Σ_t √(a_t a_(t−ℓ)) (x_t − x̄)(x_(t−ℓ) − x̄')ᵀ over the pairs of dates
(t, t − ℓ) both present, centred on their means over those pairs. Pairwise
estimates with gaps, and the lag terms, need not be positive semidefinite:
their negative eigenvalues are set to zero.
"""

from __future__ import annotations

import numpy as np


def decay(half_life: float | None) -> float:
    """λ = 0.5^(1/h): the weight of a date relative to the next one."""
    return 1.0 if half_life is None else 0.5 ** (1.0 / half_life)


def date_weights(count: int, half_life: float | None) -> np.ndarray:
    """a_t = λ^(T − 1 − t) for t = 0 … T − 1: the last date weighs 1."""
    return decay(half_life) ** np.arange(count - 1, -1, -1, dtype=np.float64)


def nearest_semidefinite(matrix: np.ndarray) -> np.ndarray:
    """The symmetric part of ``matrix`` with its negative eigenvalues set to zero."""
    symmetric = 0.5 * (matrix + matrix.T)
    try:
        np.linalg.cholesky(symmetric)  # definite: nothing to repair, at a fraction of eigh's cost
        return symmetric
    except np.linalg.LinAlgError:
        pass
    values, vectors = np.linalg.eigh(symmetric)
    if values[0] >= 0.0:
        return symmetric
    repaired = (vectors * np.maximum(values, 0.0)) @ vectors.T
    return 0.5 * (repaired + repaired.T)


def covariance_from_sums(lagged: list[tuple[np.ndarray, ...]], squared_pairs: np.ndarray, lam: float,
                         repair: bool = True) -> np.ndarray:
    """Ω from the weighted sums: ``lagged[ℓ]`` = (Σ a x_t x_(t−ℓ)ᵀ, Σ a x_t m_(t−ℓ)ᵀ,
    Σ a m_t x_(t−ℓ)ᵀ, Σ a m_t m_(t−ℓ)ᵀ) with x zero where missing and m its 0/1 mask,
    ``squared_pairs`` = Σ a² m_t m_tᵀ; entries of pairs with fewer than two common dates are 0.
    Without ``repair`` the symmetric estimate is returned as it is (for forecasts that
    only read quadratic forms of it)."""
    pairs = lagged[0][3]
    with np.errstate(divide="ignore", invalid="ignore"):
        normaliser = pairs - squared_pairs / pairs
        lags = len(lagged) - 1
        total = np.zeros_like(pairs)
        for lag, (cross, left, right, common) in enumerate(lagged):
            centred = np.where(common > 0, cross - left * right / common, 0.0)
            if lag == 0:
                total += centred
            else:
                # √(a_t a_(t−ℓ)) = λ^(ℓ/2) a_t: the sums carry a_t, the constant the rest.
                total += (1.0 - lag / (lags + 1)) * lam ** (lag / 2) * (centred + centred.T)
        omega = np.where(normaliser > 1e-12 * pairs, total / normaliser, 0.0)
    return nearest_semidefinite(omega) if repair else 0.5 * (omega + omega.T)


def pairwise_covariance(values: np.ndarray, half_life: float | None) -> tuple[np.ndarray, np.ndarray]:
    """The covariance (no lags) and the weighted means of the columns of ``values``
    (dates × series, NaN where missing), from one pass of matrix products."""
    weights = date_weights(values.shape[0], half_life)
    mask = np.isfinite(values).astype(np.float64)
    x = np.where(mask > 0, values, 0.0)
    weighted = weights[:, None] * x
    left = weighted.T @ mask
    pairs = (weights[:, None] * mask).T @ mask
    squared = (weights[:, None] ** 2 * mask).T @ mask
    covariance = covariance_from_sums([(weighted.T @ x, left, left.T, pairs)], squared, decay(half_life))
    return covariance, np.diag(left) / np.diag(pairs)


class RunningMoments:
    """The sums of ``covariance_from_sums`` kept date by date (k series, L lags), so the
    estimate at any date is read from the dates before it at O(L·k²) a date."""

    def __init__(self, count: int, half_life: float | None, lags: int) -> None:
        self.lam = decay(half_life)
        self.lagged = [tuple(np.zeros((count, count)) for _ in range(4)) for _ in range(lags + 1)]
        self.squared_pairs = np.zeros((count, count))
        self.history: list[tuple[np.ndarray, np.ndarray]] = []  # the last L dates' (x, m), newest first

    def add(self, values: np.ndarray) -> None:
        """One date's values (NaN where missing); a date with none still ages the others."""
        mask = np.isfinite(values).astype(np.float64)
        x = np.where(mask > 0, values, 0.0)
        self.squared_pairs *= self.lam**2
        self.squared_pairs += np.outer(mask, mask)
        for lag, sums in enumerate(self.lagged):
            for total in sums:
                total *= self.lam
            if lag == 0:
                earlier_x, earlier_m = x, mask
            elif lag <= len(self.history):
                earlier_x, earlier_m = self.history[lag - 1]
            else:
                continue
            cross, left, right, common = sums
            cross += np.outer(x, earlier_x)
            left += np.outer(x, earlier_m)
            right += np.outer(mask, earlier_x)
            common += np.outer(mask, earlier_m)
        if len(self.lagged) > 1:
            self.history = [(x, mask), *self.history[: len(self.lagged) - 2]]

    def covariance(self, repair: bool = True) -> np.ndarray:
        return covariance_from_sums(self.lagged, self.squared_pairs, self.lam, repair)

    def mean(self) -> np.ndarray:
        """Each series' weighted mean over its own dates (0 for a series with none)."""
        _, left, _, pairs = self.lagged[0]
        count = np.diag(pairs)
        return np.divide(np.diag(left), count, out=np.zeros_like(count), where=count > 0)
