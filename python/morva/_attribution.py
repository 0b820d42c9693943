"""A backtest's return split into its factors' parts, the specific return and costs."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _tables
from ._extras import require
from .backtesting import _FEATURE, _drift


def attribution(book, model):
    """``Backtest.attribution``: see its docstring for the definitions."""
    pd = require("pandas", "pandas", _FEATURE)
    if book.asset_returns is None:
        raise ValueError("this record has no asset_returns to attribute; run it with morva.backtest")
    if not hasattr(model, "exposures_at") and getattr(model, "exposures", None) is None:
        raise TypeError(f"model must have exposures (assets × factors) or exposures_at(date), as "
                        f"morva.models' models do, not {type(model).__name__}")
    columns = book.asset_returns.columns
    factor_returns = getattr(model, "factor_returns", None)
    values = book.asset_returns.to_numpy(dtype=np.float64)
    factors, parts = None, []
    for date, held, row in zip(book.asset_returns.index, _held(book), values):
        exposures = model.exposures_at(date) if hasattr(model, "exposures_at") else model.exposures
        names, x = _exposures_over(exposures, columns, held, date)
        if factors is None:
            factors = names
        elif list(names) != list(factors):
            raise ValueError(f"the model's exposures on {_tables._show(date)} have the factors "
                             f"{_tables.named(names)}, not those of the first period ({_tables.named(factors)})")
        given = None
        if hasattr(factor_returns, "index") and date in factor_returns.index:
            given = factor_returns.loc[date].reindex(names).to_numpy(dtype=np.float64)
        f = given if given is not None and np.isfinite(given).all() else _cross_section(x, row)
        parts.append(np.nan_to_num(x, nan=0.0).T @ held * f)
    frame = pd.DataFrame(np.array(parts).reshape(len(values), -1), index=book.returns.index, columns=list(factors))
    gross = book.gross_returns.to_numpy(dtype=np.float64)
    frame["specific"] = gross - frame.to_numpy().sum(axis=1)
    frame["costs"] = book.returns.to_numpy(dtype=np.float64) - gross
    return frame


def _held(book) -> np.ndarray:
    """The weights the book held over each period of the record: each rebalance's
    weights, drifted with the rows it earns until the next one (as the backtest ran)."""
    targets, dates = book.weights.to_numpy(dtype=np.float64), book.weights.index
    columns = book.asset_returns.columns
    held = np.empty(book.asset_returns.shape)
    holdings, following = targets[0], 1
    for t, (date, row) in enumerate(zip(book.asset_returns.index, book.asset_returns.to_numpy(dtype=np.float64))):
        held[t] = holdings
        _, holdings = _drift(holdings, row, columns, date, "the book")
        if following < len(dates) and dates[following] == date:
            holdings, following = targets[following], following + 1
    return held


def _exposures_over(exposures, columns, held: np.ndarray, date) -> tuple[Any, np.ndarray]:
    """A date's exposures as (factor labels, matrix over the returns' columns, NaN rows
    for assets the model does not cover), refusing a gap where the book holds weight."""
    if hasattr(exposures, "reindex"):
        names = exposures.columns
        x = exposures.reindex(columns).to_numpy(dtype=np.float64)
    else:
        x = np.asarray(exposures, dtype=np.float64)
        if x.ndim != 2 or x.shape[0] != len(columns):
            raise ValueError(f"the model's exposures on {_tables._show(date)} have shape {x.shape}; an array of "
                             f"exposures has one row per column of returns ({len(columns)}), in order")
        names = range(x.shape[1])
    gap = (held != 0.0) & ~np.isfinite(x).all(axis=1)
    if gap.any():
        raise ValueError(f"the model has no exposures for {_tables.named(columns[gap])} on {_tables._show(date)}, "
                         f"which the book holds; give the model every asset the book holds")
    return names, x


def _cross_section(x: np.ndarray, row: np.ndarray) -> np.ndarray:
    """The factor returns f minimising Σ_i (r_i − (X f)_i)² over the assets with a return
    and exposures (the minimum-norm solution when X is rank deficient)."""
    usable = np.isfinite(row) & np.isfinite(x).all(axis=1)
    if not usable.any():
        return np.zeros(x.shape[1])
    return np.linalg.lstsq(x[usable], row[usable], rcond=None)[0]
