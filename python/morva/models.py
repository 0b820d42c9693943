"""Factor models estimated from a returns table.

``statistical(returns, k)`` is principal components of the sample covariance:
with the demeaned returns R (T × n) = U·S·Vᵀ, the exposures are the first k
right singular vectors F = V_k (n × k), the factor covariance is the diagonal
Ω = S_k² / (T − 1), and each asset's specific variance is what the factors
leave of its sample variance, d_i = s_ii − (F Ω Fᵀ)_ii, floored at
``min_specific_share`` of s_ii. The floor keeps Σ = F Ω Fᵀ + diag(d) positive
definite when k is close to T or n, where the factors would explain an asset
completely.

Units. The model is in the units of ``periods_per_year``: given, or read
from the table's index (``morva._periods``: a ``PeriodIndex``'s or
``DatetimeIndex``'s frequency, else the spacing of its dates), the sample
moments being scaled by it (12 turns monthly moments into annual ones). A
table without dates (an array, a ``RangeIndex``) keeps per-period units.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _periods, _tables
from ._checks import check_factor_covariance
from ._extras import require


@dataclass(frozen=True)
class FactorModel:
    """Σ = F·Ω·Fᵀ + diag(specific_variance), in the units of the returns it came from.

    ``exposures`` is assets × factors, ``factor_covariance`` factors × factors,
    ``specific_variance`` per asset; labelled (pandas) when the returns were.
    ``periods_per_year`` says the units: annual moments of data with that many
    periods a year, or per-period moments when None. A factor covariance that
    is not symmetric positive semidefinite is refused here.
    """

    exposures: Any
    factor_covariance: Any
    specific_variance: Any
    mean_returns: Any
    periods_per_year: float | None = None

    def __post_init__(self) -> None:
        check_factor_covariance(np.asarray(self.factor_covariance, dtype=np.float64),
                                getattr(self.factor_covariance, "index", None))

    @property
    def units(self) -> str:
        """'annual (12 periods per year)' or 'per period'."""
        return _periods.units(self.periods_per_year)

    def __repr__(self) -> str:
        shape = np.shape(self.exposures)
        return f"FactorModel(assets={shape[0]}, factors={shape[1]}, units={self.units!r})"

    def problem(self, expected_returns: Any = None, **keywords: Any) -> Any:
        """A problem over this model; ``expected_returns`` defaults to the mean returns.

        Labelled models give a ``morva.labels.LabelledProblem``, arrays a
        ``morva.PortfolioProblem``; the keywords are theirs.
        """
        mu = self.mean_returns if expected_returns is None else expected_returns
        if hasattr(self.exposures, "index"):
            from .labels import LabelledProblem

            return LabelledProblem(self.exposures, self.factor_covariance, self.specific_variance, mu, **keywords)
        from ._limits import check_limits
        from ._problem import PortfolioProblem

        check_limits(keywords.get("lower_bounds"), keywords.get("upper_bounds"), keywords.get("budget", 1.0),
                     keywords.get("max_weight"), keywords.get("max_short"))
        return PortfolioProblem(self.exposures, self.factor_covariance, self.specific_variance,
                                np.ascontiguousarray(mu, dtype=np.float64), **keywords)


def statistical(returns: Any, k: int, *, min_specific_share: float = 0.05,
                periods_per_year: float | None = None) -> FactorModel:
    """A k-factor principal-components model of ``returns`` (simple returns as
    decimals, dates × assets).

    ``returns`` is a DataFrame (the model is then labelled by its columns,
    factors "PC1", "PC2", ...) or a 2-D array. ``periods_per_year`` scales
    the covariance and mean returns (12 turns monthly returns into annual
    units); None reads it from the DataFrame's dates, and keeps per-period
    units for a table without dates. The model's ``units`` say which.
    Refused with ``ValueError``: dates out of order or repeated, missing
    returns (naming the assets); a table that looks like prices or percent
    warns.
    """
    labels = None
    ppy = None
    if hasattr(returns, "columns"):
        _tables.check_table(returns, "returns", stacklevel=4)
        labels = list(returns.columns)
        values = returns.to_numpy(dtype=np.float64)
        ppy = _periods.resolve(returns.index, periods_per_year)
    else:
        values = np.asarray(returns, dtype=np.float64)
        ppy = _periods.resolve(None, periods_per_year)
        if values.ndim == 2:
            _tables.check_values(values, "returns", stacklevel=3)
    if values.ndim != 2:
        raise ValueError(f"returns must be a 2-D table (dates × assets), not {values.ndim}-D")
    periods, assets = values.shape
    if not 1 <= k < min(periods, assets + 1) or int(k) != k:
        raise ValueError(f"k must be a whole number in [1, {min(periods - 1, assets)}] for {periods} dates "
                         f"and {assets} assets, not {k}")
    if not 0.0 < min_specific_share < 1.0:
        raise ValueError(f"min_specific_share must lie in (0, 1), not {min_specific_share}")
    missing = np.flatnonzero(~np.isfinite(values).all(axis=0))
    if missing.size:
        names = [labels[i] if labels else i for i in missing[:5]]
        more = f" and {missing.size - 5} more" if missing.size > 5 else ""
        raise ValueError(f"returns has missing or non-finite values for asset(s) {', '.join(map(repr, names))}{more}")
    mean = values.mean(axis=0)
    centred = values - mean
    _, singular, vt = np.linalg.svd(centred, full_matrices=False)
    scale = (ppy or 1.0) / (periods - 1)
    exposures = vt[:k].T.copy()
    # A component's sign is arbitrary; fixing its largest loading positive makes the model reproducible.
    exposures *= np.where(exposures[np.abs(exposures).argmax(axis=0), range(k)] < 0, -1.0, 1.0)
    omega = np.diag(singular[:k] ** 2 * scale)
    variance = (centred**2).sum(axis=0) * scale
    specific = np.maximum(variance - (exposures**2) @ np.diag(omega), min_specific_share * variance)
    if not (variance > 0).all():
        flat = np.flatnonzero(variance <= 0)[:5]
        raise ValueError(f"returns are constant for asset(s) {', '.join(repr(labels[i] if labels else i) for i in flat)}")
    mean = mean * (ppy or 1.0)
    if labels is None:
        return FactorModel(exposures, omega, specific, mean, ppy)
    pd = require("pandas", "pandas", "morva.models")
    factors = [f"PC{i + 1}" for i in range(k)]
    return FactorModel(pd.DataFrame(exposures, index=returns.columns, columns=factors),
                       pd.DataFrame(omega, index=factors, columns=factors),
                       pd.Series(specific, index=returns.columns, name="specific_variance"),
                       pd.Series(mean, index=returns.columns, name="mean_returns"), ppy)
