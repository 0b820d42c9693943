"""Checks of a returns table (dates × assets) where it enters the package, in the user's words.

A returns table holds simple returns as decimals (0.01 = 1%), one row per
date, oldest first. What the checks refuse cannot be read that way (dates out
of order or repeated, labels that are not columns, costs that are not
fractions); what they warn about is a table that looks like something else:

- prices: every value is positive and the median above 0.5. A table of
  decimal returns holds losses, and a typical gain of more than 50% in every
  period is not a returns table;
- returns in percent: otherwise, a value below −1 (a loss of more than 100%,
  which a simple return cannot be) or a median |value| above 0.5 (a typical
  move of more than 50% a period as a decimal, but of 0.5% in percent).
"""

from __future__ import annotations

import warnings

import numpy as np

from ._extras import require

_CITED = 3  # labels or dates named in a message before "and N more"
_PRICE_MEDIAN = 0.5
_PERCENT_MEDIAN = 0.5


def named(labels) -> str:
    """'a', 'b', 'c' and 2 more."""
    labels = list(labels)
    shown = ", ".join(_show(label) for label in labels[:_CITED])
    return shown + (f" and {len(labels) - _CITED} more" if len(labels) > _CITED else "")


def _show(label) -> str:
    """A date as 2021-03-31 (a Period as 2021-03), any other label as its repr."""
    kind = type(label).__name__
    if kind == "Timestamp":
        return str(label.date()) if label == label.normalize() else str(label)
    if kind == "Period":
        return str(label)
    return repr(label.item() if isinstance(label, np.generic) else label)


def check_index(index, name: str = "returns") -> None:
    """The rows' dates must be unique and strictly increasing (oldest first)."""
    if index.hasnans:
        raise ValueError(f"{name} has a missing date (NaT or NaN) in its index at row "
                         f"{int(np.flatnonzero(index.isna())[0])}; drop or fill it")
    duplicated = index[index.duplicated()]
    if len(duplicated):
        repeated = duplicated.unique()
        raise ValueError(f"{name} has more than one row for date{'s' if len(repeated) > 1 else ''} "
                         f"{named(repeated)}; keep one row per date, e.g. drop duplicates with "
                         f"`{name}[~{name}.index.duplicated(keep='last')]`")
    try:
        increasing = index.is_monotonic_increasing
        decreasing = index.is_monotonic_decreasing
    except TypeError:  # labels that do not compare have no order to check
        return
    if increasing:
        return
    if decreasing and len(index) > 1:
        raise ValueError(f"{name} runs newest first ({_show(index[0])} down to {_show(index[-1])}): each date's "
                         f"history would hold its future; sort the index with `{name}.sort_index()`")
    position = next(i for i in range(1, len(index)) if not index[i - 1] < index[i])
    raise ValueError(f"the dates of {name} are not in increasing order: {_show(index[position])} (row {position}) "
                     f"comes after {_show(index[position - 1])}; sort the index with `{name}.sort_index()`")


def check_labels(labels, columns, name: str, table: str = "returns") -> None:
    """Every label of ``labels`` must be a column of the table, each once."""
    labels = require("pandas", "pandas", "returns tables").Index(labels)
    if labels.has_duplicates:
        raise ValueError(f"{name} lists {named(labels[labels.duplicated()].unique())} more than once")
    unknown = labels[~labels.isin(columns)]
    if len(unknown):
        raise ValueError(f"{name} names {named(unknown)}, which {'is' if len(unknown) == 1 else 'are'} not "
                         f"{'a column' if len(unknown) == 1 else 'columns'} of {table} (its columns are "
                         f"{named(columns)}); correct the label{'s' if len(unknown) > 1 else ''} or add "
                         f"{'its column' if len(unknown) == 1 else 'their columns'}")


def check_values(values, name: str = "returns", stacklevel: int = 3, rows=None, columns=None) -> None:
    """Warns (``UserWarning``) when a table (an array, dates × assets, labelled
    by ``rows`` and ``columns`` when given) looks like prices or like returns in percent."""
    values = np.asarray(values, dtype=np.float64)
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return
    median = float(np.median(finite))
    if (finite > 0).all() and median > _PRICE_MEDIAN:
        warnings.warn(f"{name} looks like prices, not returns: every value is positive and the median is "
                      f"{median:.4g} (a gain of {median:.0%} every period); give simple returns as decimals, "
                      f"e.g. `prices.pct_change().iloc[1:]`", UserWarning, stacklevel=stacklevel)
        return
    typical = float(np.median(np.abs(finite)))
    lowest = np.nanargmin(np.where(np.isfinite(values), values, np.nan))
    row, column = np.unravel_index(lowest, values.shape)
    where = f"{_show(column if columns is None else columns[column])} on {_show(row if rows is None else rows[row])}"
    if values[row, column] < -1.0 or typical > _PERCENT_MEDIAN:
        warnings.warn(f"{name} looks like returns in percent: the median size of a return is {typical:.4g} and "
                      f"the lowest is {values[row, column]:.4g} ({where}), a loss of {-values[row, column]:.0%}; "
                      f"give returns as decimals (0.01 = 1%), e.g. `{name} / 100`", UserWarning, stacklevel=stacklevel)


def check_table(frame, name: str = "returns", stacklevel: int = 4) -> None:
    """A returns DataFrame: its index in order and unique, its values plausibly decimal returns."""
    check_index(frame.index, name)
    check_labels(frame.columns, frame.columns, f"{name}' columns")
    check_values(frame.to_numpy(dtype=np.float64), name, stacklevel, frame.index, frame.columns)


def cost_rates(costs, columns) -> np.ndarray:
    """Costs per unit of traded value, one per column: fractions in [0, 1) (10 bp = 0.001)."""
    pd = require("pandas", "pandas", "returns tables")
    if costs is None:
        return np.zeros(len(columns))
    if isinstance(costs, pd.Series):
        check_labels(costs.index, columns, "costs")
        missing = columns[~columns.isin(costs.index)]
        if len(missing):
            raise ValueError(f"costs has no rate for column{'s' if len(missing) > 1 else ''} {named(missing)}; "
                             f"give every column of returns a rate (0 for free trading)")
        rates = costs.reindex(columns).to_numpy(dtype=np.float64)
    elif np.ndim(costs) == 0:
        rates = np.full(len(columns), float(costs))
    else:
        raise TypeError(f"costs must be one number or a pandas Series by asset, not {type(costs).__name__}")
    bad = ~((rates >= 0.0) & (rates < 1.0))
    if bad.any():
        first = int(np.argmax(bad))
        raise ValueError(f"costs are a fraction of the traded value (10 bp = 0.001), in [0, 1); "
                         f"{'the rate' if np.ndim(costs) == 0 else f'the rate of {_show(columns[first])}'} "
                         f"is {rates[first]:g}" + (f" (did you mean {rates[first] / 1e4:g}, {rates[first]:g} bp?)"
                                                   if rates[first] >= 1.0 else ""))
    return rates


def missing_return(asset, date, holder: str = "the book") -> ValueError:
    return ValueError(f"returns has no value for {_show(asset)} on {_show(date)}, which {holder} holds; fill it "
                      f"(0 if the asset did not trade) or drop the asset from that date's problem")
