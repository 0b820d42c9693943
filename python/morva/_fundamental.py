"""The cross-sectional fit behind ``morva.models.fundamental``: inputs read in the
user's terms, exposures standardised date by date, one weighted least-squares
regression per date, and the running moments its risk forecasts come from.

A return date t is explained by the exposures stamped at t − exposure_lag
(the latest panel row on or before that date); fixed inputs (a styles table
without dates, weights by asset) are known at every date. The regression
universe U_t holds the assets with a return at t, every style value known
and a positive weight.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _tables
from ._extras import require
from ._moments import RunningMoments, decay

MARKET = "market"
# A column whose part unexplained by the columns before it is below this share of
# its weighted sum of squares makes the date's design singular: the date is not fitted.
_PIVOT_SHARE = 1e-10


def _pd():
    return require("pandas", "pandas", "morva.models.fundamental")


# ----------------------------------------------------------------------------- inputs


@dataclass(frozen=True)
class Source:
    """Values by asset (n, or n × K), fixed (``stamps`` None) or a panel whose row d
    is known from ``stamps[d]`` on (D × n[× K], NaN where unknown)."""

    values: np.ndarray
    stamps: Any = None

    def positions(self, dates, lag: int) -> tuple[np.ndarray, int]:
        """The row in use for each return date, and for the date after the last (−1: none yet)."""
        count = len(dates)
        if self.stamps is None:
            return np.zeros(count, dtype=np.int64), 0
        on_or_before = self.stamps.searchsorted(dates, side="right") - 1
        rows = np.full(count, -1, dtype=np.int64)
        if lag < count:
            rows[lag:] = on_or_before[: count - lag]
        latest = len(self.stamps) - 1 if lag == 0 else (on_or_before[count - lag] if count >= lag else -1)
        return rows, int(latest)

    def at(self, row: int) -> np.ndarray:
        return self.values if self.stamps is None else self.values[row]


@dataclass(frozen=True)
class Inputs:
    """Everything the fit reads, in the returns' asset order."""

    assets: Any  # pandas Index
    dates: Any  # pandas Index
    returns: np.ndarray  # T × n, NaN where missing
    industry_ids: np.ndarray | None  # n, 0 … G − 1
    industries: Any  # pandas Series asset -> label, or None
    groups: list  # industry labels in column order
    style_names: list
    styles: Source | None
    weights: Source | None
    market: bool
    lag: int

    @property
    def factors(self) -> list:
        return [MARKET] * self.market + list(self.groups) + list(self.style_names)


def _whole(value, name: str, meaning: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 0:
        raise ValueError(f"{name} must be a whole number of dates ≥ 0 ({meaning}), not {value!r}")
    return int(value)


def check_half_life(value, name: str) -> None:
    if value is not None and not (isinstance(value, (int, float, np.number)) and math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive number of dates (the age at which a date weighs half as much "
                         f"as the latest), or None for equal weights, not {value!r}")


def _date_kind(index) -> str:
    pd = _pd()
    if isinstance(index, pd.DatetimeIndex):
        return "dates"
    if isinstance(index, pd.PeriodIndex):
        return f"periods of frequency {index.freqstr}"
    if pd.api.types.is_numeric_dtype(index.dtype):
        return "numbers"
    if pd.api.types.is_string_dtype(index.dtype):
        return "text"
    return f"labels of type {index.dtype}"


def _covering(given, assets, name: str, what: str, fix: str) -> None:
    """``given`` (an index of asset labels) names only assets of returns, and all of them."""
    _tables.check_labels(given, assets, name)
    missing = assets[~assets.isin(given)]
    if len(missing):
        raise ValueError(f"{name} has no {what} for asset{'s' if len(missing) > 1 else ''} {_tables.named(missing)}; "
                         f"{fix}")


def _panel(frame, name: str, assets, dates):
    """A (date, asset) panel as stamps and a D × n × columns array."""
    pd = _pd()
    index = frame.index
    if index.nlevels != 2:
        raise ValueError(f"{name} has an index of {index.nlevels} levels; give one row per asset (index: assets) "
                         f"or a panel indexed by (date, asset)")
    stamps, names = index.get_level_values(0), index.get_level_values(1)
    if not names.isin(assets).any() and stamps.isin(assets).any():
        raise ValueError(f"{name} is indexed by (asset, date); a panel is indexed by (date, asset): swap the "
                         f"levels with `{name}.swaplevel()`")
    if _date_kind(stamps) != _date_kind(dates):
        raise ValueError(f"{name}' dates (the first level of its index) are {_date_kind(stamps)} and the returns' "
                         f"dates are {_date_kind(dates)}; stamp both with the same kind of dates")
    if stamps.hasnans:
        raise ValueError(f"{name} has a missing date (NaT or NaN) in the first level of its index; drop or fill it")
    repeated = index[index.duplicated()]
    if len(repeated):
        date, asset = repeated[0]
        raise ValueError(f"{name} has more than one row for asset {_tables.named([asset])} on "
                         f"{_tables.named([date])}; keep one row per (date, asset)")
    _covering(names.unique(), assets, name, "row at any date", "give every column of returns rows (NaN where unknown)")
    stamps = stamps.unique().sort_values()
    full = frame.reindex(pd.MultiIndex.from_product([stamps, assets]))
    return Source(full.to_numpy(dtype=np.float64).reshape(len(stamps), len(assets), -1), stamps)


def _numeric(frame, name: str) -> None:
    pd = _pd()
    text = [column for column in frame.columns if not pd.api.types.is_numeric_dtype(frame[column].dtype)]
    if text:
        raise TypeError(f"{name} must hold numbers; column {_tables.named(text)} holds {frame[text[0]].dtype}")


def _read_industries(industries, assets):
    pd = _pd()
    if industries is None:
        return None, None, []
    if isinstance(industries, dict):
        industries = pd.Series(industries)
    if not isinstance(industries, pd.Series):
        raise TypeError(f"industries must be a pandas Series (or a dict) mapping each asset to its industry label, "
                        f"not {type(industries).__name__}")
    fix = "give every column of returns an industry (a label of its own, such as 'unclassified', for the rest)"
    _covering(industries.index, assets, "industries", "industry", fix)
    labels = industries.reindex(assets)
    if labels.isna().any():
        raise ValueError(f"industries has no industry for asset {_tables.named(assets[labels.isna().to_numpy()])}; "
                         f"{fix}")
    groups = list(pd.unique(labels))
    try:
        groups = sorted(groups)
    except TypeError:
        pass  # unorderable labels keep their order of first appearance
    ids = pd.Index(groups, dtype=object).get_indexer(labels)
    return ids.astype(np.int64), labels.rename("industry"), groups


def _read_styles(styles, assets, dates):
    pd = _pd()
    if styles is None:
        return [], None
    if not isinstance(styles, pd.DataFrame):
        raise TypeError(f"styles must be a pandas DataFrame: assets × styles, or a panel indexed by (date, asset) × "
                        f"styles; not {type(styles).__name__}")
    _numeric(styles, "styles")
    names = list(styles.columns)
    if styles.columns.has_duplicates:
        repeated = styles.columns[styles.columns.duplicated()]
        raise ValueError(f"styles has more than one column named {_tables.named(repeated)}; name each style once")
    if isinstance(styles.index, pd.MultiIndex):
        source = _panel(styles, "styles", assets, dates)
    else:
        if not styles.index.isin(assets).any() and styles.columns.isin(assets).any():
            raise ValueError("styles looks transposed: its columns are assets; give assets × styles, e.g. `styles.T`")
        _covering(styles.index, assets, "styles", "row", "give every column of returns a row (NaN where unknown)")
        source = Source(styles.reindex(assets).to_numpy(dtype=np.float64))
    infinite = np.isinf(source.values).any(axis=-1)
    if infinite.any():
        asset = assets[infinite if infinite.ndim == 1 else infinite.any(axis=0)]
        raise ValueError(f"styles has infinite values for asset {_tables.named(asset)}; use NaN for an unknown value")
    return names, source


def _read_weights(weights, assets, dates):
    pd = _pd()
    if weights is None:
        return None
    if isinstance(weights, pd.DataFrame) and not isinstance(weights.index, pd.MultiIndex):
        _tables.check_index(weights.index, "weights")
        if _date_kind(weights.index) != _date_kind(dates):
            raise ValueError(f"weights' dates (its index) are {_date_kind(weights.index)} and the returns' dates are "
                             f"{_date_kind(dates)}; give weights as dates × assets like returns, or one per asset")
        _covering(weights.columns, assets, "weights", "column",
                  "give every column of returns a column (NaN where unknown)")
        _numeric(weights, "weights")
        source = Source(weights.reindex(columns=assets).to_numpy(dtype=np.float64), weights.index)
    elif isinstance(weights, pd.Series) and isinstance(weights.index, pd.MultiIndex):
        panel = _panel(weights.to_frame(), "weights", assets, dates)
        source = Source(panel.values[..., 0], panel.stamps)
    elif isinstance(weights, pd.Series):
        _covering(weights.index, assets, "weights", "weight", "give every column of returns a weight")
        source = Source(weights.reindex(assets).to_numpy(dtype=np.float64))
        if np.isnan(source.values).any():
            raise ValueError(f"weights has no value for asset {_tables.named(assets[np.isnan(source.values)])}; give "
                             f"every column of returns a weight")
    else:
        raise TypeError(f"weights must be a pandas Series by asset, a Series indexed by (date, asset), or a "
                        f"DataFrame dates × assets; not {type(weights).__name__}")
    bad = ~(np.isnan(source.values) | ((source.values > 0) & np.isfinite(source.values)))
    if bad.any():
        position = np.argwhere(bad)[0]
        value = source.values[tuple(position)]
        where = "" if source.stamps is None else f" on {_tables.named([source.stamps[position[0]]])}"
        raise ValueError(f"weights must be positive (e.g. the square root of market capitalisation); asset "
                         f"{_tables.named([assets[position[-1]]])} has {value:g}{where}")
    return source


def read(returns, styles, industries, weights, market, exposure_lag, half_life, specific_half_life,
         newey_west_lags) -> tuple[Inputs, int]:
    """The inputs checked in the order of the signature, the first failure raised in the user's terms."""
    pd = _pd()
    if not isinstance(returns, pd.DataFrame):
        raise TypeError(f"returns must be a pandas DataFrame (dates × assets) for a fundamental model, not "
                        f"{type(returns).__name__}; label its columns by asset")
    _tables.check_table(returns, "returns", stacklevel=5)
    values = returns.to_numpy(dtype=np.float64)
    if np.isinf(values).any():
        infinite = returns.columns[np.isinf(values).any(axis=0)]
        raise ValueError(f"returns has infinite values for asset {_tables.named(infinite)}; use NaN for a "
                         f"missing return")
    lag = _whole(exposure_lag, "exposure_lag", "1: the exposures known the date before the returns they explain")
    lags = _whole(newey_west_lags, "newey_west_lags", "0: no serial correlation correction")
    if not isinstance(market, (bool, np.bool_)):
        raise TypeError(f"market must be True or False, not {market!r}")
    check_half_life(half_life, "half_life")
    check_half_life(specific_half_life, "specific_half_life")
    assets, dates = returns.columns, returns.index
    ids, labels, groups = _read_industries(industries, assets)
    names, style_source = _read_styles(styles, assets, dates)
    weight_source = _read_weights(weights, assets, dates)
    if not (market or groups or names):
        raise ValueError("a fundamental model needs factors: give industries or styles, or keep market=True")
    inputs = Inputs(assets, dates, values, ids, labels, groups, names, style_source, weight_source, bool(market), lag)
    factors = pd.Index(inputs.factors)
    if factors.has_duplicates:
        raise ValueError(f"the factor name {_tables.named(factors[factors.duplicated()].unique())} is used twice (the "
                         f"market is {MARKET!r}, industries are named by their labels and styles by their columns); "
                         f"rename the industry or the style")
    return inputs, lags


# ----------------------------------------------------------------------------- exposures


def standardise(raw: np.ndarray, weights: np.ndarray | None) -> np.ndarray:
    """z = (x − m)/s per style: m the weighted mean over the assets with the style and a
    positive weight, s the equal-weighted root mean square of x − m over the assets with
    the style; NaN stays NaN, and a style without spread is 0 for every asset."""
    finite = np.isfinite(raw)
    x = np.where(finite, raw, 0.0)
    share = finite if weights is None else finite & (weights > 0)[:, None]
    mass = np.where(share, 1.0 if weights is None else weights[:, None], 0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = (mass * x).sum(axis=0) / mass.sum(axis=0)
        deviation = np.where(finite, x - mean, 0.0)
        spread = np.sqrt((deviation**2).sum(axis=0) / finite.sum(axis=0))
        z = np.where(spread > 0, deviation / spread, 0.0)
    return np.where(finite, z, np.nan)


@dataclass
class Exposures:
    """The exposures of each return date, rebuilt from the inputs when asked
    (nothing of size dates × assets × factors is stored)."""

    inputs: Inputs

    def __post_init__(self) -> None:
        dates, lag = self.inputs.dates, self.inputs.lag
        fixed = (np.zeros(len(dates), dtype=np.int64), 0)
        styles, weights = self.inputs.styles, self.inputs.weights
        self.style_rows, self.latest_style = fixed if styles is None else styles.positions(dates, lag)
        self.weight_rows, self.latest_weight = fixed if weights is None else weights.positions(dates, lag)
        self._cache: tuple = (None, None)

    def known(self, t: int) -> bool:
        return self.style_rows[t] >= 0 and self.weight_rows[t] >= 0

    def rows(self, t: int | None) -> tuple[int, int]:
        return (self.latest_style, self.latest_weight) if t is None else (self.style_rows[t], self.weight_rows[t])

    def styles_and_weights(self, t: int | None) -> tuple[np.ndarray, np.ndarray | None]:
        """Standardised styles (n × K, NaN unknown) and weights (n, or None for equal) of date t
        (None: the date after the last)."""
        key = self.rows(t)
        if self._cache[0] != key:
            inputs = self.inputs
            weights = inputs.weights.at(key[1]) if inputs.weights is not None else None
            raw = inputs.styles.at(key[0]) if inputs.styles is not None else np.zeros((len(inputs.assets), 0))
            self._cache = (key, (standardise(raw, weights), weights))
        return self._cache[1]

    def matrix(self, t: int | None) -> np.ndarray:
        """X (n × factors): the market's 1s, the industries' 0/1 indicators and the
        standardised styles, an unknown style value read as 0 (the weighted mean)."""
        inputs = self.inputs
        z, _ = self.styles_and_weights(t)
        blocks = [np.ones((len(inputs.assets), 1))] if inputs.market else []
        if inputs.groups:
            blocks.append(np.eye(len(inputs.groups))[inputs.industry_ids])
        blocks.append(np.nan_to_num(z, nan=0.0))
        return np.hstack(blocks)


# ----------------------------------------------------------------------------- the regression


def cross_section(r: np.ndarray, ids: np.ndarray | None, groups: int, z: np.ndarray, w: np.ndarray,
                  market: bool) -> tuple[np.ndarray, np.ndarray, float] | None:
    """One date's factor returns β (NaN for a factor no asset of the date carries), the
    residuals and R²; None when the design is singular.

    minimise Σ_i w_i (r_i − x_iᵀβ)², x_i = [1, indicator of i's industry, z_i], and with the
    market, subject to Σ_j s_j β_j = 0 over industries (s_j the weight share of industry j).
    The constraint is solved exactly by eliminating the largest industry J:
    β_J = −Σ_{j≠J} (s_j/s_J) β_j, so β = B·θ with θ free and the normal equations are
    BᵀXᵀWX·B θ = BᵀXᵀW r. XᵀWX is assembled by blocks, the industries' block diagonal.
    """
    dense = np.hstack([np.ones((r.size, 1)), z]) if market else z
    q, parameters = dense.shape[1], dense.shape[1] + groups
    dense_at = np.r_[0, 1 + groups: parameters] if market else np.arange(groups, parameters)
    industry_at = np.arange(groups) + (1 if market else 0)
    weighted = w[:, None] * dense
    normal, rhs = np.zeros((parameters, parameters)), np.zeros(parameters)
    normal[np.ix_(dense_at, dense_at)] = dense.T @ weighted
    rhs[dense_at] = weighted.T @ r
    if groups:
        block = np.zeros((groups, q))  # Dᵀ·W·dense: each industry's weighted sums
        for c in range(q):
            block[:, c] = np.bincount(ids, weighted[:, c], groups)
        normal[np.ix_(industry_at, dense_at)] = block
        normal[np.ix_(dense_at, industry_at)] = block.T
        counts = np.bincount(ids, w, groups)
        normal[industry_at, industry_at] = counts
        rhs[industry_at] = np.bincount(ids, w * r, groups)
    active = np.flatnonzero(np.diag(normal) > 0)
    basis = np.eye(active.size)
    if market and groups:
        members = np.flatnonzero(np.isin(active, industry_at))
        shares = np.diag(normal)[active[members]]
        reference = members[np.argmax(shares)]
        basis[reference, members] = -shares / shares.max()
        basis = np.delete(basis, reference, axis=1)
    if r.size < basis.shape[1]:
        return None
    system = basis.T @ normal[np.ix_(active, active)] @ basis
    try:
        factor = np.linalg.cholesky(system)
    except np.linalg.LinAlgError:
        return None
    if (np.diag(factor) ** 2 < _PIVOT_SHARE * np.diag(system)).any():
        return None
    beta = np.full(parameters, np.nan)
    beta[active] = basis @ np.linalg.solve(system, basis.T @ rhs[active])
    filled = np.nan_to_num(beta, nan=0.0)
    residual = r - dense @ filled[dense_at] - (filled[industry_at][ids] if groups else 0.0)
    centre = (w * r).sum() / w.sum()
    spread = (w * (r - centre) ** 2).sum()
    return beta, residual, (1.0 - (w * residual**2).sum() / spread) if spread > 0 else np.nan


@dataclass
class Fit:
    """The regressions of every date: factor returns (T × factors) and residuals
    (T × assets), NaN where a factor or an asset was not in the date's fit."""

    inputs: Inputs
    exposures: Exposures
    factor_returns: np.ndarray
    residuals: np.ndarray
    r_squared: np.ndarray
    half_life: float | None
    specific_half_life: float | None
    lags: int

    @property
    def fitted(self) -> np.ndarray:
        return np.isfinite(self.factor_returns).any(axis=1)


def fit(inputs: Inputs, half_life, specific_half_life, lags: int) -> Fit:
    exposures = Exposures(inputs)
    periods, assets = inputs.returns.shape
    factor_returns = np.full((periods, len(inputs.factors)), np.nan)
    residuals = np.full((periods, assets), np.nan)
    r_squared = np.full(periods, np.nan)
    for t in range(periods):
        if not exposures.known(t):
            continue
        z, weights = exposures.styles_and_weights(t)
        w = np.ones(assets) if weights is None else weights
        r = inputs.returns[t]
        universe = np.flatnonzero(np.isfinite(r) & np.isfinite(z).all(axis=1) & (w > 0))
        if universe.size == 0:
            continue
        ids = inputs.industry_ids[universe] if inputs.groups else None
        solved = cross_section(r[universe], ids, len(inputs.groups), z[universe], w[universe], inputs.market)
        if solved is not None:
            factor_returns[t], residuals[t, universe], r_squared[t] = solved
    result = Fit(inputs, exposures, factor_returns, residuals, r_squared, half_life, specific_half_life, lags)
    fitted = int(result.fitted.sum())
    if fitted < 2:
        raise ValueError(f"only {fitted} of the {periods} dates could be fitted; a date needs more assets than "
                         f"factors ({len(inputs.factors)}) with a return, every style known {inputs.lag} date(s) "
                         f"before, and a positive weight")
    return result


# ----------------------------------------------------------------------------- risk


class RunningSpecific:
    """Specific variances from the residuals of the dates seen so far.

    With a_t = λ^(e − t) over the fitted dates (λ from ``specific_half_life``),
    E_i = Σ a_t e_it² and M_i = Σ a_t over the dates asset i was fitted, and
    W = Σ a_t over all fitted dates: the raw estimate E_i/M_i covers the share
    h_i = M_i/W of the history, and is shrunk to its industry's mean
    σ̄²_g = Σ_{i∈g} E_i / Σ_{i∈g} M_i in proportion to the share it misses,

        d_i = h_i·E_i/M_i + (1 − h_i)·σ̄²_g = (E_i + (W − M_i)·σ̄²_g) / W,

    so an asset without history gets its industry's mean (the mean of all
    assets when the industry has none, or when there are no industries).
    """

    def __init__(self, ids: np.ndarray | None, groups: int, assets: int, half_life: float | None) -> None:
        self.lam = decay(half_life)
        self.ids = np.zeros(assets, dtype=np.int64) if ids is None else ids
        self.groups = max(groups, 1)
        self.squares, self.history, self.total = np.zeros(assets), np.zeros(assets), 0.0

    def add(self, residual: np.ndarray, fitted: bool) -> None:
        self.squares *= self.lam
        self.history *= self.lam
        self.total *= self.lam
        if fitted:
            seen = np.isfinite(residual)
            self.squares += np.where(seen, residual, 0.0) ** 2
            self.history += seen
            self.total += 1.0

    def variance(self) -> np.ndarray:
        squares = np.bincount(self.ids, self.squares, self.groups)
        history = np.bincount(self.ids, self.history, self.groups)
        overall = self.squares.sum() / self.history.sum() if self.history.sum() > 0 else 0.0
        mean = np.divide(squares, history, out=np.full(self.groups, overall), where=history > 0)
        return (self.squares + (self.total - self.history) * mean[self.ids]) / self.total


def risk(result: Fit) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per-period Ω, d and the weighted mean factor returns, from every date."""
    inputs = result.inputs
    moments = RunningMoments(len(inputs.factors), result.half_life, result.lags)
    specific = RunningSpecific(inputs.industry_ids, len(inputs.groups), len(inputs.assets), result.specific_half_life)
    for t, fitted in enumerate(result.fitted):
        moments.add(result.factor_returns[t])
        specific.add(result.residuals[t], bool(fitted))
    return moments.covariance(), specific.variance(), moments.mean()


# ----------------------------------------------------------------------------- diagnostics


@dataclass(frozen=True)
class Diagnostics:
    """How well a fundamental model explains and forecasts its own returns.

    - ``r_squared`` (by date): the weighted R² of the date's regression,
      1 − Σ w_i e_i² / Σ w_i (r_i − r̄)², r̄ = Σ w_i r_i / Σ w_i over the date's
      assets (NaN for a date not fitted);
    - ``t_statistics`` (by factor): the mean factor return over its standard
      error, f̄ / (s_f / √T_f), with s_f the sample standard deviation of the
      factor's returns over the T_f dates it was estimated;
    - ``bias`` (dates × test portfolios): the bias statistic, the standard
      deviation of the standardised returns z_t = r_t / σ_t over the last
      ``window`` dates (at least half of them with a forecast). σ_t is the
      forecast risk of the portfolio at t from the factor returns and residuals
      of the dates before t only (the model's own estimators, per period), with
      the exposures used at t; forecasts start after ``window`` fitted dates.
      Near 1 the forecasts are unbiased, above 1 they understate the risk.
      The test portfolios hold the assets of the date's fit: "equal" weights,
      "weighted" by the model's weights (when given), and "industry <label>",
      each industry's members by the model's weights.
    """

    r_squared: Any
    t_statistics: Any
    bias: Any
    window: int


def _test_portfolios(inputs: Inputs, universe: np.ndarray, weights: np.ndarray | None) -> np.ndarray:
    """Holdings (n × portfolios) over the date's fit, each column summing to 1 (NaN when empty)."""
    held = universe.astype(np.float64)
    columns = [held]
    weighted = held if weights is None else np.where(universe, weights, 0.0)
    if weights is not None:
        columns.append(weighted)
    for g in range(len(inputs.groups)):
        columns.append(np.where(inputs.industry_ids == g, weighted, 0.0))
    holdings = np.stack(columns, axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return holdings / holdings.sum(axis=0)


def diagnostics(result: Fit, window: int) -> Diagnostics:
    pd = _pd()
    inputs = result.inputs
    factors = pd.Index(inputs.factors)
    f = result.factor_returns
    known = np.isfinite(f)
    count = known.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(known, f, 0.0).sum(axis=0) / count
        variance = (np.where(known, f - mean, 0.0) ** 2).sum(axis=0) / (count - 1)
        t_statistics = mean / np.sqrt(variance / count)
    names = ["equal"] + ["weighted"] * (inputs.weights is not None) + [f"industry {g}" for g in inputs.groups]
    standardised = np.full((len(inputs.dates), len(names)), np.nan)
    moments = RunningMoments(len(factors), result.half_life, result.lags)
    specific = RunningSpecific(inputs.industry_ids, len(inputs.groups), len(inputs.assets), result.specific_half_life)
    seen = 0
    for t, fitted in enumerate(result.fitted):
        if fitted and seen >= window:
            universe = np.isfinite(result.residuals[t])
            holdings = np.nan_to_num(_test_portfolios(inputs, universe, result.exposures.styles_and_weights(t)[1]))
            exposure = result.exposures.matrix(t).T @ holdings
            variance = np.einsum("kp,kl,lp->p", exposure, moments.covariance(repair=False), exposure) + (
                holdings**2).T @ specific.variance()
            realised = holdings.T @ np.where(universe, inputs.returns[t], 0.0)
            with np.errstate(invalid="ignore", divide="ignore"):
                standardised[t] = np.where(holdings.sum(axis=0) > 0, realised / np.sqrt(variance), np.nan)
        moments.add(f[t])
        specific.add(result.residuals[t], bool(fitted))
        seen += bool(fitted)
    z = pd.DataFrame(standardised, index=inputs.dates, columns=names)
    return Diagnostics(pd.Series(result.r_squared, index=inputs.dates, name="r_squared"),
                       pd.Series(t_statistics, index=factors, name="t_statistic"),
                       z.rolling(window, min_periods=max(2, window // 2)).std(), window)
