"""Factor exposures given sparse, lowered to the engine without a dense copy.

An industry model's F is mostly zeros: a market column, one 0/1 column per
industry (one nonzero a row) and a few dense style columns. The package takes
it as a SciPy sparse matrix or array (any format) or, in labelled problems,
as a DataFrame whose columns may be pandas sparse columns. Either is lowered
to compressed rows (row starts, increasing column indices, values) and handed
to the engine, which writes F from the stored entries and records their
positions instead of scanning F: the caller never materialises the dense F.
"""

from __future__ import annotations

import inspect
import sys
from typing import Any, NamedTuple

import _morva
import numpy as np

from . import _engine


class CompressedRows(NamedTuple):
    """An n × k matrix by rows: row i holds ``values[s]`` at column ``columns[s]`` for
    s in [row_starts[i], row_starts[i + 1]), columns increasing (int64 indices)."""

    shape: tuple[int, int]
    row_starts: np.ndarray
    columns: np.ndarray
    values: np.ndarray

    @classmethod
    def from_triples(cls, shape: tuple[int, int], rows: np.ndarray, columns: np.ndarray,
                     values: np.ndarray) -> CompressedRows:
        """From entries (row, column, value), each position at most once."""
        order = np.lexsort((columns, rows))
        starts = np.zeros(shape[0] + 1, dtype=np.int64)
        np.cumsum(np.bincount(rows, minlength=shape[0]), out=starts[1:])
        return cls(shape, starts, np.ascontiguousarray(columns[order], dtype=np.int64),
                   np.ascontiguousarray(values[order], dtype=np.float64))


def is_sparse(value: Any) -> bool:
    """Whether ``value`` is a SciPy sparse matrix or array (SciPy is not imported for it:
    a caller holding one has imported it already)."""
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and sparse.issparse(value)


def from_scipy(matrix: Any, name: str = "factors") -> CompressedRows:
    """A SciPy sparse matrix's compressed rows, duplicates summed (the caller's matrix
    is not changed)."""
    if matrix.ndim != 2:
        raise ValueError(f"{name} must be 2-dimensional, not {matrix.ndim}-dimensional")
    if np.dtype(matrix.dtype).kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {matrix.dtype}")
    rows = sys.modules["scipy.sparse"].csr_array(matrix, copy=True)
    rows.sum_duplicates()  # also sorts each row's columns
    return CompressedRows(rows.shape, rows.indptr.astype(np.int64), rows.indices.astype(np.int64),
                          np.ascontiguousarray(rows.data, dtype=np.float64))


def has_sparse_columns(frame: Any) -> bool:
    """Whether a DataFrame holds a pandas sparse column."""
    pd = sys.modules.get("pandas")
    return pd is not None and any(isinstance(dtype, pd.SparseDtype) for dtype in frame.dtypes)


def from_frame(frame: Any) -> CompressedRows:
    """A DataFrame's compressed rows in its own row and column order: a sparse column
    gives its stored entries (a nonzero fill value is spelled out), a dense one its
    nonzeros (NaN counts as one, so that the engine can refuse it)."""
    pd = sys.modules["pandas"]
    rows, columns, values = [], [], []
    for j in range(frame.shape[1]):
        column = frame.iloc[:, j].array
        if isinstance(column.dtype, pd.SparseDtype) and column.fill_value == 0:
            at = np.asarray(column.sp_index.indices, dtype=np.int64)
            entries = np.asarray(column.sp_values, dtype=np.float64)
        else:
            dense = np.asarray(column, dtype=np.float64)
            at = np.flatnonzero(dense)
            entries = dense[at]
        keep = entries != 0.0
        rows.append(at[keep])
        values.append(entries[keep])
        columns.append(np.full(int(keep.sum()), j, dtype=np.int64))
    if not rows:
        return CompressedRows(frame.shape, np.zeros(frame.shape[0] + 1, dtype=np.int64),
                              np.zeros(0, dtype=np.int64), np.zeros(0))
    return CompressedRows.from_triples(frame.shape, np.concatenate(rows), np.concatenate(columns),
                                       np.concatenate(values))


_SIGNATURE = inspect.signature(_morva.PortfolioProblem)


def engine_problem(*arrays: Any, **keywords: Any) -> _morva.PortfolioProblem:
    """``_morva.PortfolioProblem(*arrays, **keywords)``, its ``factors`` dense, a SciPy
    sparse matrix or ``CompressedRows``; sparse factors are never densified here."""
    try:
        bound = _SIGNATURE.bind(*arrays, **keywords)
    except TypeError:
        return _morva.PortfolioProblem(*arrays, **keywords)  # the engine's own message
    factors = bound.arguments.get("factors")
    if is_sparse(factors):
        factors = from_scipy(factors)
    if not isinstance(factors, CompressedRows) or "omega" not in bound.arguments:
        return _morva.PortfolioProblem(*arrays, **keywords)
    n, k = factors.shape
    omega = bound.arguments["omega"]
    # F is written into a problem built without factors: every other input is
    # checked as the constructor checks it, against the n assets.
    bound.arguments["factors"] = np.zeros((n, 0))
    bound.arguments["omega"] = np.zeros((0, 0))
    problem = _morva.PortfolioProblem(*bound.args, **bound.kwargs)
    return _engine.with_factors(problem, k, factors.row_starts, factors.columns, factors.values, omega)
