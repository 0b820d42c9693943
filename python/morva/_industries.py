"""Industries of a labelled problem: each asset's label, the group ids of industry
targets, and industry bands lowered to 0/1 constraint rows over the members."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

from ._label_checks import _as_series, _check_labels, _check_values, _json_label, _named, _pd, _Rows, _unique_index
from ._limits import DEFAULT_LOWER, DEFAULT_UPPER, _usable

# Industry limits that miss a necessary condition by less than this (relative) are rounding, not a conflict.
_SLACK = 1e-12


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
