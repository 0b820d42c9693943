"""What labelled inputs share: label checks, messages that cite labels, JSON-safe
labels, and a block of constraint rows with the labels of its rows."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from ._extras import require

_FEATURE = "morva.labels"
_CITED = 5  # labels named in a message before "and N more"


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


def _unique_index(index, name: str, what: str):
    if index.has_duplicates:
        raise ValueError(f"{name} lists {what} {index[index.duplicated()][0]!r} more than once")
    return index


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
    from .labels import LabelledResult  # the result type sits above these checks

    pd = _pd()
    if isinstance(values, LabelledResult):
        return values.weights
    if isinstance(values, Mapping):
        return pd.Series(dict(values), dtype=np.float64)
    return values if isinstance(values, pd.Series) else None
