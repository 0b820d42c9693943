"""Periods per year: the one rule that turns per-period statistics into annual ones.

A table's frequency is read from its index: a ``PeriodIndex``'s ``freq``, a
``DatetimeIndex``'s ``freq`` when it has one, otherwise the median spacing of
its dates. The spacing d (in days) gives P = 365.25 / d, snapped to the
nearest usual frequency when within 10% of it (weekly 52, semi-monthly 24,
monthly 12, bimonthly 6, quarterly 4, four-monthly 3, half-yearly 2, yearly
1); daily data are trading days (P = 252) unless the index holds a Saturday
or a Sunday (P = 365). Any other index (integers, a ``RangeIndex``, an array)
has no frequency: its statistics stay per period (P = 1).
"""

from __future__ import annotations

import math

import numpy as np

from ._extras import require

_USUAL = (52.0, 24.0, 12.0, 6.0, 4.0, 3.0, 2.0, 1.0)
_SNAP = 0.10  # relative distance within which a spacing is read as a usual frequency
_DAYS_PER_YEAR = 365.25


def _from_spacing(days: float, weekends: bool) -> float:
    daily = 365.0 if weekends else 252.0
    if days < 1.5:  # daily, or bars within a day
        return daily if days > 0.75 else daily / days
    periods = _DAYS_PER_YEAR / days
    nearest = min(_USUAL, key=lambda usual: abs(math.log(periods / usual)))
    return nearest if abs(periods / nearest - 1.0) <= _SNAP else periods


def infer_periods_per_year(index) -> float | None:
    """Periods per year of a ``PeriodIndex`` or ``DatetimeIndex`` (business days
    252, calendar days 365, weeks 52, months 12, quarters 4, years 1), from its
    ``freq`` or else the median spacing of its dates; None for an index without
    a frequency (integers, a ``RangeIndex``, fewer than two dates and no ``freq``)."""
    pd = require("pandas", "pandas", "periods per year")
    if isinstance(index, pd.PeriodIndex):
        freq, stamps = index.freq, index.to_timestamp()
    elif isinstance(index, pd.DatetimeIndex):
        freq, stamps = index.freq, index
    else:
        return None
    weekends = bool((stamps.day_of_week >= 5).any())
    if freq is not None:
        # The spacing of the declared frequency, read from a sample of its dates.
        stamps = pd.date_range("2001-01-01", periods=25, freq=freq)
    elif len(stamps) < 2:
        return None
    days = float(np.median(np.diff(stamps.as_unit("s").asi8)) / 86_400.0)
    if not days > 0:
        return None
    return _from_spacing(days, weekends)


def resolve(index, given: float | None = None) -> float | None:
    """``given`` (checked) or the index's inferred periods per year; None means per period."""
    if given is None:
        return None if index is None else infer_periods_per_year(index)
    value = float(given)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"periods_per_year must be a positive number (12 for monthly data), not {given!r}")
    return value


def units(periods_per_year: float | None) -> str:
    """The units statistics are in: 'annual (12 periods per year)' or 'per period'."""
    if periods_per_year is None:
        return "per period"
    return f"annual ({periods_per_year:g} period{'' if periods_per_year == 1 else 's'} per year)"
