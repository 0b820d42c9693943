"""Labelled problems: pandas in, pandas out, aligned on labels.

The assets are the index of the exposures frame and the factors its columns;
every other input is matched to them by label, never by position. An input
that misses an asset (or factor) or names one that is not there raises
``ValueError`` naming the first such label: missing labels first, in the
exposures' order, then unknown ones, in the input's order. Results come back
labelled: weights and per-asset duals by asset, constraint duals by
constraint, and the engine's explanations name assets and constraint rows by
their labels instead of their positions.
"""

from __future__ import annotations

import json
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

import _morva

from . import solving
from ._extras import require

BUDGET = "budget"
_FEATURE = "morva.labels"


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


def _series(values, labels, name: str, what: str) -> np.ndarray:
    """A Series over exactly ``labels``, as a float64 array in their order."""
    pd = _pd()
    if not isinstance(values, pd.Series):
        raise TypeError(f"{name} must be a pandas Series indexed by {what}, not {type(values).__name__}")
    _check_labels(values.index, labels, name, what)
    return values.reindex(labels).to_numpy(dtype=np.float64)


def _per_asset(values, assets, name: str) -> np.ndarray:
    """A Series by asset, or one number for every asset."""
    if isinstance(values, (int, float, np.number)) and not isinstance(values, bool):
        return np.full(len(assets), float(values))
    return _series(values, assets, name, "asset")


def _frame(values, index, columns, name: str, what: tuple[str, str]) -> np.ndarray:
    """A DataFrame over exactly these rows and columns, as a float64 matrix in their order."""
    pd = _pd()
    if not isinstance(values, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, not {type(values).__name__}")
    if index is not None:
        _check_labels(values.index, index, f"{name} (rows)", what[0])
    if columns is not None:
        _check_labels(values.columns, columns, f"{name} (columns)", what[1])
    return values.reindex(index=index if index is not None else values.index,
                          columns=columns if columns is not None else values.columns).to_numpy(dtype=np.float64)


def _unique_index(index, name: str, what: str):
    if index.has_duplicates:
        raise ValueError(f"{name} lists {what} {index[index.duplicated()][0]!r} more than once")
    return index


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


def _industry_codes(industries, targets, assets) -> tuple[list, list[int], np.ndarray | None]:
    """Integer group ids for the industries; with targets, groups follow the targets' order."""
    pd = _pd()
    if not isinstance(industries, pd.Series):
        raise TypeError(f"industries must be a pandas Series indexed by asset, not {type(industries).__name__}")
    _check_labels(industries.index, assets, "industries", "asset")
    labels = industries.reindex(assets)
    if targets is None:
        groups = list(pd.unique(labels))
        try:
            groups = sorted(groups)
        except TypeError:
            pass  # unorderable labels keep their order of first appearance
        target_values = None
    else:
        if not isinstance(targets, pd.Series):
            raise TypeError(f"industry_targets must be a pandas Series indexed by industry, not {type(targets).__name__}")
        groups = list(_unique_index(targets.index, "industry_targets", "industry"))
        unknown = labels[~labels.isin(targets.index)]
        if len(unknown):
            raise ValueError(f"industries names industry {unknown.iloc[0]!r}, which has no entry in industry_targets")
        empty = [group for group in groups if not (labels == group).any()]
        if empty:
            raise ValueError(f"industry_targets names industry {empty[0]!r}, which no asset belongs to")
        target_values = targets.to_numpy(dtype=np.float64)
    code = {group: g for g, group in enumerate(groups)}
    return groups, [code[label] for label in labels], target_values


def _style_rows(style_matrix, lower, upper, assets) -> tuple[np.ndarray, np.ndarray, np.ndarray, list, list]:
    """Style exposures (assets × styles) as the engine's styles × assets rows, and
    the labels of the rows the bands add: an equality where lower = upper, else
    an upper then a lower inequality for each finite side."""
    pd = _pd()
    if not isinstance(style_matrix, pd.DataFrame):
        raise TypeError(f"style_matrix must be a pandas DataFrame (assets × styles), not {type(style_matrix).__name__}")
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


_CITED_LISTS = (
    ("asset(s)", "assets"),
    ("equality row(s)", "equality_rows"),
    ("inequality cap(s)", "inequality_rows"),
)


class LabelledProblem:
    """A ``PortfolioProblem`` built from labelled data (pandas).

    ``exposures`` is a DataFrame assets × factors; it fixes the asset and the
    factor labels. ``factor_covariance`` is a DataFrame factors × factors.
    Per-asset inputs (``specific_variance``, ``expected_returns``,
    ``lower_bounds``, ``upper_bounds``, ``previous_weights``,
    ``l1_turnover_costs``, ``benchmark_weights``) are Series indexed by asset
    (bounds and costs may also be one number for every asset).
    ``equality_matrix``/``inequality_matrix`` are DataFrames constraints ×
    assets with right-hand sides as Series indexed by constraint.
    ``industries`` is a Series of industry labels by asset, ``industry_targets``
    a Series by industry. ``style_matrix`` is a DataFrame assets × styles with
    ``style_lower``/``style_upper`` Series by style. The remaining keywords are
    those of ``PortfolioProblem``. The built problem is ``self.problem``.
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
        style_matrix=None,
        style_lower=None,
        style_upper=None,
        max_weight: float | None = None,
        max_short: float | None = None,
    ) -> None:
        pd = _pd()
        if not isinstance(exposures, pd.DataFrame):
            raise TypeError(f"exposures must be a pandas DataFrame (assets × factors), not {type(exposures).__name__}")
        self.assets = _unique_index(exposures.index, "exposures", "asset")
        self.factors = _unique_index(exposures.columns, "exposures", "factor")
        assets = self.assets
        arrays = (
            _frame(exposures, assets, self.factors, "exposures", ("asset", "factor")),
            _frame(factor_covariance, self.factors, self.factors, "factor_covariance", ("factor", "factor")),
            _series(specific_variance, assets, "specific_variance", "asset"),
            _series(expected_returns, assets, "expected_returns", "asset"),
        )
        keywords: dict[str, Any] = {"risk_aversion": risk_aversion, "budget": budget, "turnover_penalty": turnover_penalty,
                                    "max_weight": max_weight, "max_short": max_short}
        for name, value in (("lower_bounds", lower_bounds), ("upper_bounds", upper_bounds),
                            ("l1_turnover_costs", l1_turnover_costs)):
            if value is not None:
                keywords[name] = _per_asset(value, assets, name)
        for name, value in (("previous_weights", previous_weights), ("benchmark_weights", benchmark_weights)):
            if value is not None:
                keywords[name] = _series(value, assets, name, "asset")
        equalities = _constraint_block(equality_matrix, equality_rhs, assets, "equality")
        inequalities = _constraint_block(inequality_matrix, inequality_rhs, assets, "inequality")
        for name, block in (("equality", equalities), ("inequality", inequalities)):
            if block.matrix is not None:
                keywords[f"{name}_matrix"], keywords[f"{name}_rhs"] = block.matrix, block.rhs
        self.equality_rows = list(equalities.labels)
        self.inequality_rows = list(inequalities.labels)
        if industries is not None:
            groups, keywords["industry_ids"], targets = _industry_codes(industries, industry_targets, assets)
            if targets is not None:
                keywords["industry_targets"] = targets
            self.equality_rows += [f"industry {group}" for group in groups]
        elif industry_targets is not None:
            raise ValueError("industry_targets requires industries")
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

    @property
    def dimension(self) -> int:
        return len(self.assets)

    def _labels(self, kind: str) -> list:
        return list(self.assets) if kind == "assets" else getattr(self, kind)

    def relabel(self, text: str) -> str:
        """The engine's text with asset positions and constraint row positions replaced by labels."""
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

    def solve(self, **solver_keywords: Any) -> LabelledResult:
        """``morva.solve`` with labelled results; failure messages name labels.

        The keywords are those of ``morva.solve``: ``profile`` and those of
        ``PortfolioProblem.solve``.
        """
        try:
            return self.label(solving.solve(self.problem, **solver_keywords))
        except (ValueError, RuntimeError) as error:
            raise type(error)(self.relabel(str(error))) from None

    def sequence(self, **solver_keywords: Any) -> LabelledSequence:
        return LabelledSequence(self, self.problem.sequence(**solver_keywords))

    def step(self, **changes: Any) -> dict[str, Any]:
        """A ``solve_batch`` step dict from labelled changes (see ``LabelledSequence.solve_next``)."""
        arrays: dict[str, Any] = {}
        for name, value in changes.items():
            if value is None:
                continue
            if name in ("expected_returns", "previous_weights", "benchmark_weights"):
                arrays[name] = _series(value, self.assets, name, "asset")
            elif name == "equality_rhs":
                arrays[name] = _series(value, _pd().Index(self.equality_rows), name, "constraint")
            elif name == "inequality_rhs":
                arrays[name] = _series(value, _pd().Index(self.inequality_rows), name, "constraint")
            elif name == "budget":
                arrays[name] = float(value)
            else:
                raise TypeError(f"unknown step change '{name}'")
        return arrays

    def to_json(self) -> str:
        return self.problem.to_json()

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
        return _pd().Series(self.result.weights, index=self.problem.assets, name="weight")

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

