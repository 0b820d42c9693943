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

With gaps (NaN: an asset not yet listed, or delisted), a weighted history
(``half_life``: a date of age a weighs λ^a, λ = 0.5^(1/half_life)) or
``shrinkage`` δ, the components are those of the covariance S estimated
pairwise (each pair of assets over the dates both have, ``morva._moments``)
and shrunk toward its diagonal, (1 − δ)·S + δ·diag(S); the specific
variances are its diagonal less what the factors explain, floored as above.

``fundamental(returns, styles, industries=...)`` is the cross-sectional
model of the field: one weighted regression per date of the assets' returns
on their market, industry and standardised style exposures gives the factor
returns, whose covariance is Ω, and the residuals, whose variances are the
specific variances (its docstring states each estimator).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _fundamental, _periods, _tables
from ._checks import check_factor_covariance
from ._extras import require
from ._fundamental import Diagnostics
from ._moments import date_weights, pairwise_covariance

__all__ = ["FactorModel", "FundamentalModel", "Diagnostics", "statistical", "fundamental"]


@dataclass(frozen=True)
class FactorModel:
    """Σ = F·Ω·Fᵀ + diag(specific_variance), in the units of the returns it came from.

    ``exposures`` is assets × factors, ``factor_covariance`` factors × factors,
    ``specific_variance`` per asset; labelled (pandas) when the returns were.
    ``periods_per_year`` says the units: annual moments of data with that many
    periods a year, or per-period moments when None. A factor covariance that
    is not symmetric positive semidefinite is refused here. ``industries``
    (a Series asset -> label, or None) is each asset's industry when the
    model has industry factors.
    """

    exposures: Any
    factor_covariance: Any
    specific_variance: Any
    mean_returns: Any
    periods_per_year: float | None = None
    industries: Any = None

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
        ``morva.PortfolioProblem``; the keywords are theirs. A model with
        industries passes them as ``industries=`` along with a keyword that
        reads them (``industry_targets``, ``industry_bounds``, ...), unless
        the caller gives its own; it is not passed otherwise, since
        ``industries`` alone holds each industry at its benchmark weight.
        """
        mu = self.mean_returns if expected_returns is None else expected_returns
        if hasattr(self.exposures, "index"):
            from .labels import LabelledProblem

            if (self.industries is not None and "industries" not in keywords
                    and any(name.startswith(("industry_", "active_industry_")) for name in keywords)):
                keywords["industries"] = self.industries
            return LabelledProblem(self.exposures, self.factor_covariance, self.specific_variance, mu, **keywords)
        from ._limits import check_limits
        from ._problem import PortfolioProblem

        check_limits(keywords.get("lower_bounds"), keywords.get("upper_bounds"), keywords.get("budget", 1.0),
                     keywords.get("max_weight"), keywords.get("max_short"))
        return PortfolioProblem(self.exposures, self.factor_covariance, self.specific_variance,
                                np.ascontiguousarray(mu, dtype=np.float64), **keywords)


def statistical(returns: Any, k: int, *, min_specific_share: float = 0.05, half_life: float | None = None,
                shrinkage: float = 0.0, periods_per_year: float | None = None) -> FactorModel:
    """A k-factor principal-components model of ``returns`` (simple returns as
    decimals, dates × assets).

    ``returns`` is a DataFrame (the model is then labelled by its columns,
    factors "PC1", "PC2", ...) or a 2-D array; NaN marks a missing return.
    ``half_life`` (in dates) weighs recent dates more, ``shrinkage`` in
    [0, 1] pulls the covariance toward its diagonal before the components are
    taken (see the module's docstring for both). ``periods_per_year`` scales
    the covariance and mean returns (12 turns monthly returns into annual
    units); None reads it from the DataFrame's dates, and keeps per-period
    units for a table without dates. The model's ``units`` say which.
    Refused with ``ValueError``: dates out of order or repeated, infinite
    returns, an asset with fewer than two returns (naming the assets); a
    table that looks like prices or percent warns.
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
    _fundamental.check_half_life(half_life, "half_life")
    if not (isinstance(shrinkage, (int, float, np.number)) and 0.0 <= shrinkage <= 1.0):
        raise ValueError(f"shrinkage must lie in [0, 1] (0 keeps the sample covariance, 1 its diagonal), "
                         f"not {shrinkage!r}")

    def named(bad: np.ndarray) -> str:
        return _tables.named([labels[i] if labels else i for i in np.flatnonzero(bad)])

    if np.isinf(values).any():
        raise ValueError(f"returns has infinite values for asset(s) {named(np.isinf(values).any(axis=0))}; "
                         f"use NaN for a missing return")
    observed = np.isfinite(values).sum(axis=0)
    if (observed < 2).any():
        raise ValueError(f"returns has fewer than two values for asset(s) {named(observed < 2)}; a variance "
                         f"needs two, so drop the asset or give it more history")
    scale = ppy or 1.0
    if observed.min() == periods and shrinkage == 0.0:
        # The components of S = YᵀY are the right singular vectors of Y (T × n): no n × n matrix.
        if half_life is None:
            mean = values.mean(axis=0)
            rows, normaliser = values - mean, periods - 1
        else:
            weights = date_weights(periods, half_life)
            mean = weights @ values / weights.sum()
            rows = np.sqrt(weights)[:, None] * (values - mean)
            normaliser = weights.sum() - (weights**2).sum() / weights.sum()
        _, singular, vt = np.linalg.svd(rows, full_matrices=False)
        exposures, omega = vt[:k].T.copy(), singular[:k] ** 2 * (scale / normaliser)
        variance = (rows**2).sum(axis=0) * (scale / normaliser)
    else:
        covariance, mean = pairwise_covariance(values, half_life)
        covariance = (1.0 - shrinkage) * covariance + shrinkage * np.diag(np.diag(covariance))
        eigenvalues, eigenvectors = np.linalg.eigh(covariance)
        exposures, omega = eigenvectors[:, ::-1][:, :k].copy(), np.maximum(eigenvalues[::-1][:k], 0.0) * scale
        variance = np.diag(covariance) * scale
    # A component's sign is arbitrary; fixing its largest loading positive makes the model reproducible.
    exposures *= np.where(exposures[np.abs(exposures).argmax(axis=0), range(k)] < 0, -1.0, 1.0)
    omega = np.diag(omega)
    specific = np.maximum(variance - (exposures**2) @ np.diag(omega), min_specific_share * variance)
    if not (variance > 0).all():
        raise ValueError(f"returns are constant for asset(s) {named(variance <= 0)}")
    mean = mean * scale
    if labels is None:
        return FactorModel(exposures, omega, specific, mean, ppy)
    pd = require("pandas", "pandas", "morva.models")
    factors = [f"PC{i + 1}" for i in range(k)]
    return FactorModel(pd.DataFrame(exposures, index=returns.columns, columns=factors),
                       pd.DataFrame(omega, index=factors, columns=factors),
                       pd.Series(specific, index=returns.columns, name="specific_variance"),
                       pd.Series(mean, index=returns.columns, name="mean_returns"), ppy)


@dataclass(frozen=True, repr=False)
class FundamentalModel(FactorModel):
    """A ``FactorModel`` fitted by ``fundamental``: Σ = X·Ω·Xᵀ + diag(d) with X the
    latest exposures (``exposures``: the market's 1s, exact 0/1 industry
    indicators and the standardised styles), plus

    - ``factor_returns``: the regressions' estimates, DataFrame dates × factors,
      per period (NaN for a factor a date could not estimate, or a date not fitted);
    - ``industries``: each asset's industry label (None without industries);
    - ``exposures_at(date)``: the exposures that explained that date's returns;
    - ``diagnostics(window)``: R² by date, t-statistics by factor and the bias
      statistic of the risk forecasts (``morva.models.Diagnostics``).
    """

    factor_returns: Any = None
    _fit: Any = field(default=None, compare=False)

    def __repr__(self) -> str:
        shape = np.shape(self.exposures)
        return (f"FundamentalModel(assets={shape[0]}, factors={shape[1]}, dates={len(self.factor_returns)}, "
                f"units={self.units!r})")

    def exposures_at(self, date) -> Any:
        """The exposures (assets × factors) that explained the returns of ``date``: styles
        stamped ``exposure_lag`` dates before it, standardised on that date (an
        unknown style value is 0, the weighted mean). A date after the last
        of the returns gets ``exposures``, the latest known (those a problem
        built after the last date uses)."""
        inputs = self._fit.inputs
        try:
            position = inputs.dates.get_loc(date)
        except (KeyError, TypeError, ValueError):
            try:
                later = inputs.dates.searchsorted(date) == len(inputs.dates)
            except (TypeError, ValueError):
                later = False
            if later:
                return self.exposures.copy()
            position = None
        if not isinstance(position, (int, np.integer)):
            raise ValueError(f"{date!r} is not one date of the model's returns (which run from "
                             f"{_tables.named(inputs.dates[:1])} to {_tables.named(inputs.dates[-1:])})") from None
        if not self._fit.exposures.known(position):
            raise ValueError(f"no exposures are known for {_tables.named(inputs.dates[position:position + 1])}: "
                             f"its returns are explained by exposures stamped {inputs.lag} date(s) before, and the "
                             f"styles or weights start later")
        pd = require("pandas", "pandas", "morva.models")
        return pd.DataFrame(self._fit.exposures.matrix(position), index=inputs.assets, columns=self.exposures.columns)

    def diagnostics(self, window: int | None = None) -> Diagnostics:
        """R², t-statistics and the rolling bias statistic (``morva.models.Diagnostics``
        defines each) over ``window`` dates: None is a year of dates (the
        periods per year), or 52 for a table without a frequency."""
        if window is None:
            window = max(2, round(self.periods_per_year)) if self.periods_per_year else 52
        if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 2:
            raise ValueError(f"window must be a whole number of dates ≥ 2, not {window!r}")
        return _fundamental.diagnostics(self._fit, int(window))


def fundamental(returns: Any, styles: Any = None, *, industries: Any = None, market: bool = True,
                weights: Any = None, exposure_lag: int = 1, half_life: float | None = None,
                specific_half_life: float | None = None, newey_west_lags: int = 0,
                periods_per_year: float | None = None) -> FundamentalModel:
    """A cross-sectional (fundamental) factor model of ``returns`` (a DataFrame dates ×
    assets of simple returns, NaN where an asset has none).

    Inputs. ``industries``: a Series (or dict) asset -> label, each distinct
    label an industry. ``styles``: a DataFrame assets × styles (fixed), or a
    panel indexed by (date, asset) × styles whose rows are known from their
    date on. ``weights``: the regression weights (e.g. √cap), a Series by
    asset, a Series indexed by (date, asset) or a DataFrame dates × assets;
    None weighs assets equally. NaN marks an unknown value.

    The fit. A return date t is explained by the exposures stamped at
    t − ``exposure_lag`` (the latest panel row on or before that date; fixed
    inputs are known at every date), so nothing of date t enters its own
    exposures when exposure_lag ≥ 1. Each style is standardised on that date,
    z = (x − m)/s with m the weighted mean (the ``weights``) and s the
    equal-weighted root mean square of x − m. Over the assets with a return,
    every style known and a weight (the date's universe), the factor returns
    f_t minimise Σ_i w_i (r_it − x_itᵀ f_t)², x_it = [1 (``market``), the
    indicator of i's industry, z_it]. With the market, the industries' returns
    are held to Σ_j s_j f_j = 0, s_j the weight share of industry j in the
    universe (the market is then the universe's weighted return net of
    styles), solved exactly by eliminating one industry; without it, the
    industries span the intercept. A factor no asset of the date carries is
    NaN that date; a date whose design is singular is not fitted.

    Risk. Ω is the covariance of the factor returns weighted by
    ``half_life`` (None: equal weights), corrected for serial correlation
    over ``newey_west_lags`` lags with Bartlett weights (``morva._moments``
    states both, and how gaps are handled). The specific variance of asset i
    is its weighted mean squared residual (``specific_half_life``), shrunk to
    its industry's mean in proportion to the history it misses:
    d_i = h_i·E_i/M_i + (1 − h_i)·σ̄²_g, h_i = M_i/W the share of the fitted
    dates' weight W its own dates carry (so an asset never fitted gets its
    industry's mean, ``morva._fundamental.RunningSpecific``). The mean
    returns are those of the factors, μ = X·f̄ with f̄ the weighted mean
    factor returns. The moments are annualised by ``periods_per_year``, as
    in ``statistical``; ``factor_returns`` stay per period.

    Missing data. An asset without a return at a date is left out of that
    date's regression and keeps its place in the model: its exposures come
    from its industry and styles, its specific variance from the history it
    has. Refused with ``ValueError`` (naming assets and dates): inputs that
    miss an asset of returns or name one it lacks, an unknown panel layout,
    a negative ``exposure_lag``, non-positive weights, clashing factor names,
    fewer than two dates that can be fitted.
    """
    inputs, lags = _fundamental.read(returns, styles, industries, weights, market, exposure_lag, half_life,
                                     specific_half_life, newey_west_lags)
    ppy = _periods.resolve(returns.index, periods_per_year)
    result = _fundamental.fit(inputs, half_life, specific_half_life, lags)
    omega, specific, mean = _fundamental.risk(result)
    scale = ppy or 1.0
    exposures = result.exposures.matrix(None)
    pd = require("pandas", "pandas", "morva.models")
    factors = pd.Index(inputs.factors)
    frame = pd.DataFrame(exposures, index=inputs.assets, columns=factors)
    for group in inputs.groups:  # one nonzero a row: kept sparse, and lowered so to the engine
        frame[group] = pd.arrays.SparseArray(frame[group].to_numpy(), fill_value=0.0)
    return FundamentalModel(frame,
                            pd.DataFrame(omega * scale, index=factors, columns=factors),
                            pd.Series(specific * scale, index=inputs.assets, name="specific_variance"),
                            pd.Series(exposures @ mean * scale, index=inputs.assets, name="mean_returns"), ppy,
                            inputs.industries, pd.DataFrame(result.factor_returns, index=inputs.dates, columns=factors),
                            result)
