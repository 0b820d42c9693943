"""Labelled problems: pandas in, pandas out, aligned on labels.

The assets are the index of the exposures frame and the factors its columns;
every other input is matched to them by label, never by position. A per-asset
(or per-factor, per-constraint) input is a Series, a dict keyed by label, or
an array read in the labels' order when it has one entry per label. An input
that misses an asset (or factor) or names one that is not there raises
``ValueError`` naming the first such label: missing labels first, in the
exposures' order, then unknown ones, in the input's order; a missing or
non-finite value is named by its asset too. Results come back labelled:
weights and per-asset duals by asset, constraint duals by constraint, and the
engine's explanations name assets and constraint rows by their labels
instead of their positions.
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

import _morva

from . import _engine, solving
from ._checks import check_factor_covariance
from ._extras import require
from ._inputs import STEP
from ._limits import DEFAULT_LOWER, DEFAULT_UPPER, _usable, check_limits
from ._messages import in_user_terms

BUDGET = "budget"
LABELS_KEY = "labels"
_FEATURE = "morva.labels"
_CITED = 5  # labels named in a message before "and N more"
# Industry limits that miss a necessary condition by less than this (relative) are rounding, not a conflict.
_SLACK = 1e-12


def _pd():
    return require("pandas", "pandas", _FEATURE)


def _check_labels(given, expected, name: str, what: str) -> None:
    """``given`` must hold exactly the labels of ``expected``, each once."""
    _unique_index(given, name, what)
    missing = expected[~expected.isin(given)]
    if len(missing):
        raise ValueError(f"{name} has no entry for {what} {missing[0]!r}")
    unknown = given[~given.isin(expected)]
    if len(unknown):
        raise ValueError(f"{name} names {what} {unknown[0]!r}, which is not in the {_SOURCES[what]}")


_SOURCES = {
    "asset": "exposures' index",
    "factor": "exposures' columns",
    "constraint": "constraint matrix's index",
    "style": "style matrix's columns",
}


def _named(labels, what: str) -> str:
    """'asset 'a'' or 'assets 'a', 'b' and 3 more'."""
    shown = ", ".join(repr(label) for label in list(labels)[:_CITED])
    more = f" and {len(labels) - _CITED} more" if len(labels) > _CITED else ""
    return f"{what}{'s' if len(labels) > 1 else ''} {shown}{more}"


def _check_values(values: np.ndarray, labels, name: str, what: str, finite: bool) -> None:
    """Names the labels whose values are missing (NaN) or, when ``finite``, infinite."""
    bad = ~np.isfinite(values) if finite else np.isnan(values)
    if values.ndim > 1:
        bad = bad.any(axis=1)
    if bad.any():
        kind = "missing or non-finite" if finite else "missing (NaN)"
        raise ValueError(f"{name} has {kind} values for {_named(list(labels[bad]), what)}")


def _as_series(values):
    """A Series from a Series, a dict by label or a ``LabelledResult`` (its weights); else None."""
    pd = _pd()
    if isinstance(values, LabelledResult):
        return values.weights
    if isinstance(values, Mapping):
        return pd.Series(dict(values), dtype=np.float64)
    return values if isinstance(values, pd.Series) else None


def _series(values, labels, name: str, what: str, *, finite: bool = False) -> np.ndarray:
    """Exactly ``labels`` (a Series or a dict by label, or an array in their order),
    as a float64 array in their order."""
    series = _as_series(values)
    if series is not None:
        _check_labels(series.index, labels, name, what)
        array = series.reindex(labels).to_numpy(dtype=np.float64)
    elif isinstance(values, (np.ndarray, list, tuple)):
        array = np.asarray(values, dtype=np.float64)
        if array.shape != (len(labels),):
            raise ValueError(f"{name} must have one entry per {what} ({len(labels)}), not shape {array.shape}; "
                             f"an unlabelled array is read in the order of the {_SOURCES[what]}")
    else:
        raise TypeError(f"{name} must be a pandas Series or a dict indexed by {what}, or an array in their "
                        f"order, not {type(values).__name__}")
    _check_values(array, labels, name, what, finite)
    return array


def _per_asset(values, assets, name: str, *, finite: bool = False) -> np.ndarray:
    """Values by asset, or one number for every asset."""
    if isinstance(values, (int, float, np.number)) and not isinstance(values, bool):
        values = np.full(len(assets), float(values))
    return _series(values, assets, name, "asset", finite=finite)


def _frame(values, index, columns, name: str, what: tuple[str, str]) -> np.ndarray:
    """A DataFrame over exactly these rows and columns (or, when both are known, an
    array in their order), as a float64 matrix in their order."""
    pd = _pd()
    if isinstance(values, np.ndarray) and index is not None and columns is not None:
        if values.shape != (len(index), len(columns)):
            raise ValueError(f"{name} must be {len(index)} × {len(columns)} ({what[0]}s × {what[1]}s), "
                             f"not shape {values.shape}")
        array = np.asarray(values, dtype=np.float64)
    elif not isinstance(values, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, not {type(values).__name__}")
    else:
        if index is not None:
            _check_labels(values.index, index, f"{name} (rows)", what[0])
        if columns is not None:
            _check_labels(values.columns, columns, f"{name} (columns)", what[1])
        index = index if index is not None else values.index
        array = values.reindex(index=index, columns=columns if columns is not None else values.columns
                               ).to_numpy(dtype=np.float64)
    _check_values(array, index, name, what[0], finite=True)
    return array


def _unique_index(index, name: str, what: str):
    if index.has_duplicates:
        raise ValueError(f"{name} lists {what} {index[index.duplicated()][0]!r} more than once")
    return index


def _same_labels(a, b) -> bool:
    return len(a) == len(b) and bool(a.isin(b).all())


def _transposed(exposures, factor_covariance, per_asset: dict) -> str | None:
    """Why ``exposures`` reads as factors × assets, or None: its index holds
    factor_covariance's labels (or has its size), or its columns are what the
    per-asset inputs are indexed by (or as many as their entries)."""
    pd = _pd()
    rows, columns = exposures.index, exposures.columns
    if isinstance(factor_covariance, pd.DataFrame):
        if _same_labels(factor_covariance.index, rows) and not _same_labels(factor_covariance.index, columns):
            return "its index holds factor_covariance's labels"
    elif np.shape(factor_covariance) == (len(rows), len(rows)) and len(rows) != len(columns):
        return f"factor_covariance is {len(rows)} × {len(rows)}, one row per row of exposures"
    for name, values in per_asset.items():
        series = _as_series(values)
        if series is not None:
            if _same_labels(series.index, columns) and not _same_labels(series.index, rows):
                return f"its columns are the assets of {name}"
        elif np.ndim(values) == 1 and len(values) == len(columns) != len(rows):
            return f"{name} has {len(values)} entries, one per column of exposures"
    return None


def _check_variances(values: np.ndarray, assets, name: str) -> None:
    negative = values < 0
    if negative.any():
        raise ValueError(f"{name} is negative for {_named(list(assets[negative]), 'asset')}; a variance is "
                         f"never below zero (give the specific variance, the square of the specific risk)")


def _json_label(label):
    """A label as JSON can hold it: numbers and strings as they are, anything else as text."""
    if isinstance(label, np.generic):
        label = label.item()
    return label if isinstance(label, (str, int, float, bool)) or label is None else str(label)


@dataclass(frozen=True)
class _Rows:
    """One block of constraint rows: labels and arrays (matrix rows × assets, rhs)."""

    labels: list
    matrix: np.ndarray | None
    rhs: np.ndarray | None


def _constraint_block(matrix, rhs, assets, name: str) -> _Rows:
    if (matrix is None) != (rhs is None):
        raise ValueError(f"{name}_matrix and {name}_rhs must be provided together")
    if matrix is None:
        return _Rows([], None, None)
    array = _frame(matrix, None, assets, f"{name}_matrix", ("constraint", "asset"))
    rows = _unique_index(matrix.index, f"{name}_matrix", "constraint")
    return _Rows(list(rows), array, _series(rhs, rows, f"{name}_rhs", "constraint"))


def _industry_labels(industries, assets):
    """Each asset's industry label (a Series, a dict by asset or an array in asset order), in asset order."""
    pd = _pd()
    if isinstance(industries, Mapping):
        industries = pd.Series(dict(industries))
    if isinstance(industries, pd.Series):
        _check_labels(industries.index, assets, "industries", "asset")
        labels = industries.reindex(assets)
    elif isinstance(industries, (np.ndarray, list, tuple)):
        if len(industries) != len(assets):
            raise ValueError(f"industries must have one entry per asset ({len(assets)}), not {len(industries)}; "
                             f"an unlabelled array is read in the order of the exposures' index")
        labels = pd.Series(list(industries), index=assets)
    else:
        raise TypeError(f"industries must be a pandas Series or a dict indexed by asset, or an array in their "
                        f"order, not {type(industries).__name__}")
    missing = labels.isna().to_numpy()
    if missing.any():
        raise ValueError(f"industries has no industry for {_named(list(assets[missing]), 'asset')}; give "
                         f"unclassified assets a label of their own (such as -1 or 'unclassified')")
    return labels


def _groups(labels) -> list:
    """The distinct industry labels, sorted (unorderable ones in order of first appearance)."""
    groups = list(_pd().unique(labels))
    try:
        return sorted(groups)
    except TypeError:
        return groups


def _industry_codes(labels, targets) -> tuple[list, np.ndarray, np.ndarray | None]:
    """Group ids 0..G−1 for any industry labels (codes, strings); with targets, groups
    follow the targets' order, otherwise the labels' sorted order."""
    pd = _pd()
    if targets is None:
        groups = _groups(labels)
        target_values = None
    else:
        targets = _as_series(targets)
        if targets is None:
            raise TypeError("industry_targets must be a pandas Series or a dict indexed by industry")
        groups = list(_unique_index(targets.index, "industry_targets", "industry"))
        unknown = labels[~labels.isin(targets.index)]
        if len(unknown):
            raise ValueError(f"industries names industry {unknown.iloc[0]!r}, which has no entry in industry_targets")
        empty = [group for group in groups if not (labels == group).any()]
        if empty:
            raise ValueError(f"industry_targets names industry {empty[0]!r}, which no asset belongs to")
        target_values = targets.to_numpy(dtype=np.float64)
        _check_values(target_values, targets.index, "industry_targets", "industry", finite=True)
    # One hashed lookup for all labels (an object index keeps a dict's notion of equal labels).
    ids = pd.Index(groups, dtype=object).get_indexer(labels)
    if (ids < 0).any():  # a label equal to a group that the index hashes apart: look up one by one
        code = {group: g for g, group in enumerate(groups)}
        ids = np.array([code[label] for label in labels], dtype=np.int64)
    return groups, ids, target_values


def _bound_pairs(bounds, name: str, labels) -> list[tuple[Any, float, float]]:
    """(industry, lower, upper) for each entry of a dict of (lower, upper) pairs by
    industry label; a side given as None is unbounded (−∞ or +∞)."""
    if not isinstance(bounds, Mapping):
        raise TypeError(f"{name} must be a dict of (lower, upper) pairs by industry, such as "
                        f"{{'Energy': (0.02, 0.08)}}, not {type(bounds).__name__}")
    pairs = []
    for industry, pair in bounds.items():
        if not (labels == industry).any():
            known = ", ".join(repr(_json_label(group)) for group in _groups(labels))
            raise ValueError(f"{name} names industry {industry!r}, which no asset belongs to; the industries "
                             f"are {known}")
        sides = list(pair) if isinstance(pair, (tuple, list, np.ndarray)) else []
        if len(sides) != 2 or not all(side is None or (isinstance(side, (int, float, np.number))
                                                         and not isinstance(side, bool)) for side in sides):
            raise TypeError(f"{name}[{industry!r}] must be a pair (lower, upper) of numbers, None for a side "
                            f"without a bound, not {pair!r}")
        low, high = (float(default if side is None else side) for side, default in zip(sides, (-np.inf, np.inf)))
        if np.isnan(low) or np.isnan(high):
            raise ValueError(f"{name}[{industry!r}] has a missing (NaN) bound; give None for a side without one")
        if low > high:
            raise ValueError(f"{name}[{industry!r}] has lower {low:g} above upper {high:g}; give (lower, upper)")
        pairs.append((industry, low, high))
    return pairs


def _reachable_box(keywords: dict, n: int) -> tuple[np.ndarray, np.ndarray]:
    """The box the weights can reach: the bounds (the default box's when not given)
    within the weight and short limits."""
    lower = np.broadcast_to(keywords.get("lower_bounds", DEFAULT_LOWER), (n,)).astype(np.float64)
    upper = np.broadcast_to(keywords.get("upper_bounds", DEFAULT_UPPER), (n,)).astype(np.float64)
    largest, short = keywords.get("max_weight"), keywords.get("max_short")
    if _usable(largest):
        lower, upper = np.maximum(lower, -largest), np.minimum(upper, largest)
    if _usable(short):
        lower = np.maximum(lower, -short)
    return lower, upper


class _IndustryLimit(NamedTuple):
    """One bounded industry: its members (a mask over the assets), the lowest and
    highest weight its bounds allow, the keyword that gave them, and the
    benchmark's industry weight they are relative to (None: absolute)."""

    members: np.ndarray
    lowest: float
    highest: float
    keyword: str
    benchmark: float | None


def _industry_bound_rows(labels, given: dict, keywords: dict) -> _Rows:
    """The rows of ``industry_bounds`` and ``active_industry_bounds``.

    With M_g the members of industry g and s_g = Σ_{i∈M_g} w_i its weight,
    a bound L_g ≤ s_g ≤ U_g becomes the 0/1 rows Σ_{i∈M_g} w_i ≤ U_g
    ("industry g upper") and −Σ_{i∈M_g} w_i ≤ −L_g ("industry g lower"), one
    for each finite side. An active bound is relative to the benchmark's
    industry weight b_g = Σ_{i∈M_g} b_i: the limits are L_g + b_g and U_g + b_g,
    taken with the benchmark the problem is built with.

    Refused up front, as conditions every feasible portfolio meets, with
    [ℓ, u] the reachable box and B the budget: L_g ≤ Σ_{M_g} u_i and
    U_g ≥ Σ_{M_g} ℓ_i for each industry, and, since the industries partition
    the assets (Σ_g s_g = B), Σ_g max(L_g, Σ_{M_g} ℓ_i) ≤ B ≤ Σ_g min(U_g, Σ_{M_g} u_i)
    over every industry (an unbounded side counts as ∓∞). Other conflicts
    are the engine's to certify; its explanation names these rows.
    """
    lower, upper = _reachable_box(keywords, len(labels))
    limits: dict[Any, _IndustryLimit] = {}
    for keyword, bounds in given.items():
        benchmark = keywords.get("benchmark_weights") if keyword == "active_industry_bounds" else None
        if keyword == "active_industry_bounds" and benchmark is None:
            raise ValueError("active_industry_bounds are relative to the benchmark's industry weights; give "
                             "benchmark_weights=..., or industry_bounds=... for absolute weights")
        for industry, low, high in _bound_pairs(bounds, keyword, labels):
            if industry in limits:
                raise ValueError(f"industry {industry!r} is bounded by both industry_bounds and "
                                 f"active_industry_bounds; give it one of them")
            members = (labels == industry).to_numpy()
            shift = None if benchmark is None else float(benchmark[members].sum())
            limits[industry] = _IndustryLimit(members, low + (shift or 0.0), high + (shift or 0.0), keyword, shift)
    for industry, limit in limits.items():
        most, least = float(upper[limit.members].sum()), float(lower[limit.members].sum())
        if limit.lowest > most + _SLACK * max(1.0, abs(most)):
            raise ValueError(f"{limit.keyword} cannot be met for industry {industry!r}: "
                             f"{_asked(limit.lowest, 'lower', limit.benchmark)} is above {most:g}, the most its "
                             f"members' upper bounds allow, by {limit.lowest - most:.3g}")
        if limit.highest < least - _SLACK * max(1.0, abs(least)):
            raise ValueError(f"{limit.keyword} cannot be met for industry {industry!r}: "
                             f"{_asked(limit.highest, 'upper', limit.benchmark)} is below {least:g}, the least its "
                             f"members' lower bounds allow, by {least - limit.highest:.3g}")
    lowest = highest = 0.0  # Σ_g of each industry's reachable [lowest, highest] weight
    for group in _groups(labels):
        members = (labels == group).to_numpy()
        limit = limits.get(group, _IndustryLimit(members, -np.inf, np.inf, "", None))
        lowest += max(limit.lowest, float(lower[members].sum()))
        highest += min(limit.highest, float(upper[members].sum()))
    budget = float(keywords["budget"])
    slack = _SLACK * max(1.0, abs(budget))
    if lowest > budget + slack:
        raise _budget_missed(given, "lower", lowest, budget, limits)
    if highest < budget - slack:
        raise _budget_missed(given, "upper", highest, budget, limits)
    rows, rhs, row_labels = [], [], []
    for industry, limit in limits.items():
        for bound, sign, side in ((limit.highest, 1.0, "upper"), (limit.lowest, -1.0, "lower")):
            if np.isfinite(bound):
                rows.append(np.where(limit.members, sign, 0.0))
                rhs.append(sign * bound)
                row_labels.append(f"industry {industry} {side}")
    return _Rows(row_labels, np.array(rows), np.array(rhs)) if rows else _Rows([], None, None)


def _budget_missed(given: dict, side: str, total: float, budget: float, limits: dict) -> ValueError:
    """The industries' reachable weights add up to ``total``, beyond the budget on ``side``."""
    upper = side == "upper"
    cited = ((industry, limit.highest if upper else limit.lowest) for industry, limit in limits.items())
    bounded = ", ".join(f"{industry!r} at {'most' if upper else 'least'} {value:g}" for industry, value in cited
                        if np.isfinite(value))
    return ValueError(f"{' and '.join(given)} cannot be met: the industries' {side} limits (their bounds, else what "
                      f"their members' {side} bounds allow) add up to {total:g}, {'below' if upper else 'above'} the "
                      f"budget {budget:g} by {abs(total - budget):.3g} ({bounded})")


def _asked(limit: float, side: str, shift: float | None) -> str:
    """'its lower bound 0.3', or for an active bound 'its lower bound -0.01 on the benchmark's 0.31, 0.3,'."""
    if shift is None:
        return f"its {side} bound {limit:g}"
    return f"its {side} bound {limit - shift:+g} on the benchmark's {shift:g}, {limit:g},"


def _style_rows(style_matrix, lower, upper, assets) -> tuple[np.ndarray, np.ndarray, np.ndarray, list, list]:
    """Style exposures (assets × styles, or styles × assets when only its columns are the
    assets) as the engine's styles × assets rows, and the labels of the rows the bands
    add: an equality where lower = upper, else an upper then a lower inequality for
    each finite side."""
    pd = _pd()
    if not isinstance(style_matrix, pd.DataFrame):
        raise TypeError(f"style_matrix must be a pandas DataFrame (assets × styles), not {type(style_matrix).__name__}")
    columns = style_matrix.columns
    if not style_matrix.index.isin(assets).all() and len(columns) == len(assets) and columns.isin(assets).all():
        style_matrix = style_matrix.T
    styles = _unique_index(style_matrix.columns, "style_matrix", "style")
    exposures = _frame(style_matrix, assets, styles, "style_matrix", ("asset", "style")).T
    low = _series(lower, styles, "style_lower", "style")
    high = _series(upper, styles, "style_upper", "style")
    equalities, inequalities = [], []
    for style, a, b in zip(styles, low, high):
        if a == b:
            equalities.append(f"style {style}")
            continue
        if np.isfinite(b):
            inequalities.append(f"style {style} upper")
        if np.isfinite(a):
            inequalities.append(f"style {style} lower")
    return exposures, low, high, equalities, inequalities


def _box(lower, upper, assets) -> dict[str, np.ndarray]:
    """The bounds by asset; a side not given is the default box's (0 below, 1 above)."""
    if lower is None and upper is None:
        return {}
    return {"lower_bounds": _per_asset(DEFAULT_LOWER if lower is None else lower, assets, "lower_bounds"),
            "upper_bounds": _per_asset(DEFAULT_UPPER if upper is None else upper, assets, "upper_bounds")}


_CITED_LISTS = (
    ("asset(s)", "assets"),
    ("equality row(s)", "equality_rows"),
    ("inequality cap(s)", "inequality_rows"),
)


class LabelledProblem:
    """A ``PortfolioProblem`` built from labelled data (pandas, or dicts by label).

    ``exposures`` is a DataFrame assets × factors; it fixes the asset and the
    factor labels (exposures that read as factors × assets are refused as
    transposed). ``factor_covariance`` is a DataFrame factors × factors (or
    an array in the factors' order), symmetric positive semidefinite; the
    specific variances are non-negative. Per-asset inputs
    (``specific_variance``, ``expected_returns``, ``lower_bounds``,
    ``upper_bounds``, ``previous_weights``, ``l1_turnover_costs``,
    ``benchmark_weights``) are Series or dicts by asset, or arrays in the
    exposures' order; bounds and costs may also be one number for every
    asset, and a bound given on one side only keeps the default box [0, 1]
    on the other. ``equality_matrix``/``inequality_matrix`` are DataFrames
    constraints × assets with right-hand sides by constraint.
    ``industries`` gives each asset's industry label (any labels: GICS
    codes, strings, −1 for unclassified; each distinct label is a group)
    and ``industry_targets`` a target by industry label (without targets
    or bounds each industry is held at its benchmark weight).
    ``industry_bounds`` limits industries' weights, a dict of (lower, upper)
    pairs by industry label (None for a side without a bound):
    ``{"Energy": (0.02, 0.08), "Utilities": (None, 0.03)}`` keeps
    0.02 ≤ Σ_{i∈Energy} wᵢ ≤ 0.08 and Σ_{i∈Utilities} wᵢ ≤ 0.03.
    ``active_industry_bounds`` are the same relative to the benchmark's
    industry weights (the benchmark the problem is built with; a date that
    rolls the benchmark keeps them, as it keeps industry neutrality: give
    the date's ``inequality_rhs`` or a new problem to move them). Each
    finite side is an inequality row named "industry Energy upper" /
    "industry Energy lower" after the user's rows; bounds no portfolio can
    meet on the face of it are refused naming the industry. ``style_matrix`` is a
    DataFrame assets × styles (styles × assets is read too when only its
    columns are the assets) with ``style_lower``/``style_upper`` by style.
    ``max_weight`` caps |wᵢ| and ``max_short`` caps shorts, both fractions of
    the book; a limit the bounds already imply warns. The remaining keywords
    are those of ``PortfolioProblem``. The built problem is ``self.problem``
    (the engine's ``_morva.PortfolioProblem``, which every function of the
    package takes; ``solve`` and ``sequence`` here use the package's profile).
    """

    def __init__(
        self,
        exposures,
        factor_covariance,
        specific_variance,
        expected_returns,
        *,
        risk_aversion: float = 1.0,
        budget: float = 1.0,
        lower_bounds=None,
        upper_bounds=None,
        equality_matrix=None,
        equality_rhs=None,
        inequality_matrix=None,
        inequality_rhs=None,
        previous_weights=None,
        turnover_penalty: float = 0.0,
        l1_turnover_costs=None,
        benchmark_weights=None,
        industries=None,
        industry_targets=None,
        industry_bounds=None,
        active_industry_bounds=None,
        style_matrix=None,
        style_lower=None,
        style_upper=None,
        max_weight: float | None = None,
        max_short: float | None = None,
    ) -> None:
        pd = _pd()
        if not isinstance(exposures, pd.DataFrame):
            raise TypeError(f"exposures must be a pandas DataFrame (assets × factors), not {type(exposures).__name__}")
        why = _transposed(exposures, factor_covariance,
                          {"specific_variance": specific_variance, "expected_returns": expected_returns})
        if why is not None:
            rows, columns = exposures.shape
            raise ValueError(f"exposures looks transposed: it is {rows} × {columns} (factors × assets?), but "
                             f"exposures are assets × factors and {why}; pass exposures.T")
        self.assets = _unique_index(exposures.index, "exposures", "asset")
        self.factors = _unique_index(exposures.columns, "exposures", "factor")
        assets = self.assets
        arrays = (
            _frame(exposures, assets, self.factors, "exposures", ("asset", "factor")),
            _frame(factor_covariance, self.factors, self.factors, "factor_covariance", ("factor", "factor")),
            _series(specific_variance, assets, "specific_variance", "asset", finite=True),
            _series(expected_returns, assets, "expected_returns", "asset", finite=True),
        )
        check_factor_covariance(arrays[1], self.factors)
        _check_variances(arrays[2], assets, "specific_variance")
        keywords: dict[str, Any] = {"risk_aversion": risk_aversion, "budget": budget, "turnover_penalty": turnover_penalty,
                                    "max_weight": max_weight, "max_short": max_short,
                                    **_box(lower_bounds, upper_bounds, assets)}
        check_limits(keywords.get("lower_bounds"), keywords.get("upper_bounds"), budget, max_weight, max_short)
        if l1_turnover_costs is not None:
            keywords["l1_turnover_costs"] = _per_asset(l1_turnover_costs, assets, "l1_turnover_costs", finite=True)
        for name, value in (("previous_weights", previous_weights), ("benchmark_weights", benchmark_weights)):
            if value is not None:
                keywords[name] = _series(value, assets, name, "asset", finite=True)
        self.equality_rows, self.inequality_rows = [], []
        self._add_rows(keywords, "equality", _constraint_block(equality_matrix, equality_rhs, assets, "equality"))
        self._add_rows(keywords, "inequality",
                       _constraint_block(inequality_matrix, inequality_rhs, assets, "inequality"))
        bounds = {name: value for name, value in (("industry_bounds", industry_bounds),
                                                  ("active_industry_bounds", active_industry_bounds)) if value is not None}
        if industries is not None:
            labels = _industry_labels(industries, assets)
            if industry_targets is not None or not bounds:
                groups, keywords["industry_ids"], targets = _industry_codes(labels, industry_targets)
                if targets is not None:
                    keywords["industry_targets"] = targets
                self.equality_rows += [f"industry {group}" for group in groups]
            if bounds:
                self._add_rows(keywords, "inequality", _industry_bound_rows(labels, bounds, keywords))
        elif industry_targets is not None or bounds:
            raise ValueError(f"{'industry_targets' if industry_targets is not None else next(iter(bounds))} "
                             f"requires industries")
        if style_matrix is not None or style_lower is not None or style_upper is not None:
            if style_matrix is None or style_lower is None or style_upper is None:
                raise ValueError("style_matrix, style_lower, and style_upper must be provided together")
            keywords["style_matrix"], keywords["style_lower"], keywords["style_upper"], eq, ineq = _style_rows(
                style_matrix, style_lower, style_upper, assets)
            self.equality_rows += eq
            self.inequality_rows += ineq
        try:
            self.problem = _morva.PortfolioProblem(*arrays, **keywords)
        except ValueError as error:
            raise ValueError(self.relabel(str(error))) from None

    def _add_rows(self, keywords: dict, name: str, block: _Rows) -> None:
        """Appends a block's rows (and labels) to the problem's ``name`` rows."""
        getattr(self, f"{name}_rows").extend(block.labels)
        if block.matrix is None:
            return
        matrix, rhs = keywords.get(f"{name}_matrix"), keywords.get(f"{name}_rhs")
        keywords[f"{name}_matrix"] = block.matrix if matrix is None else np.vstack([matrix, block.matrix])
        keywords[f"{name}_rhs"] = block.rhs if rhs is None else np.concatenate([rhs, block.rhs])

    @classmethod
    def _of(cls, problem: _morva.PortfolioProblem, labels: Mapping[str, Sequence]) -> LabelledProblem:
        """A labelled view of a built problem: ``labels`` holds the asset, factor and row labels."""
        pd = _pd()
        labelled = cls.__new__(cls)
        labelled.problem = problem
        labelled.assets = pd.Index(labels["assets"])
        labelled.factors = pd.Index(labels["factors"])
        labelled.equality_rows = list(labels["equality_rows"])
        labelled.inequality_rows = list(labels["inequality_rows"])
        return labelled

    @property
    def dimension(self) -> int:
        return len(self.assets)

    def _labels(self, kind: str) -> list:
        return list(self.assets) if kind == "assets" else getattr(self, kind)

    def relabel(self, text: str) -> str:
        """The engine's text in the keywords' words, with asset positions and constraint
        row positions replaced by labels."""
        text = in_user_terms(text)
        for phrase, kind in _CITED_LISTS:
            labels = self._labels(kind)

            def named(match: re.Match, labels=labels) -> str:
                positions = [int(p) for p in match.group(2).split(", ")]
                if any(p >= len(labels) for p in positions):
                    return match.group(0)
                return match.group(1) + ", ".join(str(labels[p]) for p in positions)

            text = re.sub(rf"(\b{re.escape(phrase)} )(\d+(?:, \d+)*)", named, text)
        return re.sub(r"\bat index (\d+)\b",
                      lambda m: f"at index {m.group(1)} (asset {self.assets[int(m.group(1))]!r})"
                      if int(m.group(1)) < len(self.assets) else m.group(0), text)

    def label(self, result) -> LabelledResult:
        """Labels a result of this problem (from ``solve``, a sequence or a batch)."""
        return LabelledResult(self, result)

    def aligned(self, weights) -> np.ndarray:
        """Starting weights in asset order: a Series or dict by asset, or a
        ``LabelledResult``, aligned by label (assets it lacks start at 0, labels not
        in this problem are ignored: a start need not share the universe); an
        array is taken in asset order."""
        series = _as_series(weights)
        if series is None:
            return np.ascontiguousarray(weights, dtype=np.float64)
        _unique_index(series.index, "warm_start", "asset")
        start = series.reindex(self.assets, fill_value=0.0).to_numpy(dtype=np.float64)
        _check_values(start, self.assets, "warm_start", "asset", finite=True)
        return start

    def solve(self, *, warm_start=None, **solver_keywords: Any) -> LabelledResult:
        """``morva.solve`` with labelled results; failure messages name labels.

        ``warm_start`` is aligned by label (see ``aligned``); the other keywords
        are those of ``morva.solve``: ``profile`` and those of
        ``PortfolioProblem.solve``.
        """
        if warm_start is not None:
            solver_keywords["warm_start"] = self.aligned(warm_start)
        try:
            return self.label(solving.solve(self.problem, **solver_keywords))
        except (ValueError, RuntimeError) as error:
            raise type(error)(self.relabel(str(error))) from None

    def sequence(self, *, profile: str = solving.DEFAULT_PROFILE, **settings: Any) -> LabelledSequence:
        """A ``LabelledSequence`` whose dates solve under ``profile`` (the package's
        "adaptive" rules, or "reference"); the settings are those of ``morva.solve``
        without ``warm_start`` and ``raise_on_failure``."""
        settings = solving.checked_settings(settings)
        return LabelledSequence(self, _engine.sequence(self.problem, profile, settings, None))

    def step(self, **changes: Any) -> dict[str, Any]:
        """A ``solve_batch`` step dict from labelled changes (see ``LabelledSequence.solve_next``)."""
        arrays: dict[str, Any] = {}
        for name, value in changes.items():
            if value is None:
                continue
            change = STEP.get(name)
            if change is None:
                raise TypeError(f"unknown step change '{name}'")
            if change.per_asset:
                arrays[name] = _series(value, self.assets, name, "asset", finite=True)
            elif change.per_row is not None:
                arrays[name] = _series(value, _pd().Index(getattr(self, f"{change.per_row}_rows")), name, "constraint")
            else:
                arrays[name] = float(value)
        return arrays

    def labels_record(self) -> dict[str, list]:
        """The labels as JSON can hold them: assets, factors, equality rows (the budget
        excluded) and inequality rows, each in the problem's order."""
        return {"assets": [_json_label(a) for a in self.assets], "factors": [_json_label(f) for f in self.factors],
                "equality_rows": [_json_label(r) for r in self.equality_rows],
                "inequality_rows": [_json_label(r) for r in self.inequality_rows]}

    def to_json(self) -> str:
        """The engine's dump, byte for byte, with the labels beside it under ``"labels"``.

        The engine's reader skips keys it does not know, so
        ``PortfolioProblem.from_json`` and ``morva solve`` read the dump as
        the unlabelled problem; ``LabelledProblem.from_json`` and
        ``morva explain`` read the labels too.
        """
        text = self.problem.to_json()
        labels = json.dumps(self.labels_record(), ensure_ascii=False, separators=(",", ":"))
        return f'{text[:-1]},"{LABELS_KEY}":{labels}}}'

    @classmethod
    def from_json(cls, text: str) -> LabelledProblem:
        """The problem of a dump; its labels when the dump has them (``to_json``),
        positions 0, 1, ... otherwise."""
        problem = _morva.PortfolioProblem.from_json(text)
        data = solving.problem_data(problem)
        counts = {"assets": data["factors"].shape[0], "factors": data["factors"].shape[1],
                  "equality_rows": data["equality_matrix"].shape[0],
                  "inequality_rows": data["inequality_matrix"].shape[0]}
        labels = json.loads(text).get(LABELS_KEY) or {}
        if not isinstance(labels, Mapping):
            raise ValueError(f'the dump\'s "{LABELS_KEY}" must be an object of label lists')
        record = {}
        for key, count in counts.items():
            record[key] = list(labels.get(key, range(count)))
            if len(record[key]) != count:
                raise ValueError(f'the dump\'s "{LABELS_KEY}" lists {len(record[key])} {key} for {count}')
        return cls._of(problem, record)

    def __repr__(self) -> str:
        return f"LabelledProblem(assets={len(self.assets)}, factors={len(self.factors)})"


class LabelledSequence:
    """A ``PortfolioSequence`` taking labelled date data and giving labelled results."""

    def __init__(self, problem: LabelledProblem, sequence: _morva.PortfolioSequence) -> None:
        self.labelled = problem
        self.sequence = sequence

    @property
    def factorizations(self) -> int:
        return self.sequence.factorizations

    def solve_next(self, *, raise_on_failure: bool = True, **changes: Any) -> LabelledResult:
        """Applies one date's changes and solves: ``expected_returns``,
        ``previous_weights`` and ``benchmark_weights`` as Series by asset,
        ``equality_rhs``/``inequality_rhs`` as Series by constraint label
        (template rows included, the budget excluded), ``budget`` a number."""
        step = self.labelled.step(**changes)
        try:
            result = self.sequence.solve_next(raise_on_failure=raise_on_failure, **step)
        except (ValueError, RuntimeError) as error:
            raise type(error)(self.labelled.relabel(str(error))) from None
        return self.labelled.label(result)


class LabelledResult:
    """A result with labels: ``weights`` a Series by asset, ``duals`` the four
    multiplier blocks as Series (constraint labels for the rows, the budget
    first; asset labels for bounds and L1), hints naming labels, and a
    labelled ``certificate``. Other attributes are the wrapped ``result``'s."""

    def __init__(self, problem: LabelledProblem, result) -> None:
        self.problem = problem
        self.result = result

    def __getattr__(self, name: str):
        if name.startswith("_") or name in ("problem", "result"):
            raise AttributeError(name)  # never forward while unpickling, before result is set
        return getattr(self.result, name)

    @property
    def weights(self):
        # + 0.0 turns the −0.0 a clipped weight can carry into 0.0, which is how a table should show it.
        return _pd().Series(self.result.weights + 0.0, index=self.problem.assets, name="weight")

    @property
    def convergence_hints(self) -> list[str]:
        return [self.problem.relabel(hint) for hint in self.result.convergence_hints]

    def _equality_labels(self, size: int) -> list:
        # The Python constructor always sets a budget, whose row comes first.
        return [BUDGET, *self.problem.equality_rows][:size] if size else []

    @property
    def duals(self) -> dict:
        pd = _pd()
        dual = json.loads(self.result.to_json())["dual"]
        assets = self.problem.assets
        return {
            "equalities": pd.Series(dual["equalities"], index=self._equality_labels(len(dual["equalities"])),
                                    dtype=np.float64, name="equalities"),
            "inequalities": pd.Series(dual["inequalities"], index=self.problem.inequality_rows[: len(dual["inequalities"])],
                                      dtype=np.float64, name="inequalities"),
            "bounds": pd.Series(dual["bounds"], index=assets if dual["bounds"] else assets[:0], dtype=np.float64, name="bounds"),
            "l1": pd.Series(dual["l1"], index=assets if dual["l1"] else assets[:0], dtype=np.float64, name="l1"),
        }

    @property
    def certificate(self) -> LabelledCertificate | None:
        certificate = self.result.certificate
        return None if certificate is None else LabelledCertificate(self, certificate)

    def __repr__(self) -> str:
        return f"Labelled{self.result!r}"


class LabelledCertificate:
    """An ``InfeasibilityCertificate`` whose arrays are Series: the equality and
    inequality weights by constraint (budget first), the bound weights and the
    direction by asset."""

    def __init__(self, result: LabelledResult, certificate) -> None:
        self.kind = certificate.kind
        pd = _pd()
        assets = result.problem.assets

        def series(values, labels):
            return None if values is None else pd.Series(values, index=labels, dtype=np.float64)

        equality = certificate.equality_dual
        self.equality_dual = series(equality, None if equality is None else result._equality_labels(equality.size))
        self.inequality_dual = series(certificate.inequality_dual, result.problem.inequality_rows)
        self.bound_dual = series(certificate.bound_dual, assets)
        self.direction = series(certificate.direction, assets)

    def __repr__(self) -> str:
        return f"LabelledCertificate(kind='{self.kind}')"


def solve_batch(problems: Sequence[LabelledProblem], steps: Sequence[Sequence[dict]], **keywords: Any) -> list[list[LabelledResult]]:
    """``morva.solve_batch`` over labelled problems: step dicts hold labelled
    changes (as ``LabelledSequence.solve_next`` takes them) and results come back labelled."""
    if len(problems) != len(steps):
        raise ValueError("problems and steps must have the same length (one step list per account)")
    converted = [[problem.step(**step) for step in account] for problem, account in zip(problems, steps)]
    results = solving.solve_batch([problem.problem for problem in problems], converted, **keywords)
    return [[problem.label(result) for result in account] for problem, account in zip(problems, results)]

