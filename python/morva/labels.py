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
from typing import Any

import numpy as np

import _morva

from ._problem import dump, load, with_gross_leverage
from ._sparse import CompressedRows, engine_problem, from_frame, has_sparse_columns
from . import _engine, solving
from ._checks import check_factor_covariance
from ._inputs import STEP
from ._industries import _industry_bound_rows, _industry_codes, _industry_labels
from ._label_checks import (_SOURCES, _as_series, _check_labels, _check_values, _json_label, _named, _pd, _Rows,
                            _unique_index)
from ._limits import DEFAULT_LOWER, DEFAULT_UPPER, check_limits
from ._messages import in_user_terms

BUDGET = "budget"
LABELS_KEY = "labels"


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


def _exposures(frame, assets, factors) -> np.ndarray | CompressedRows:
    """The exposures in asset and factor order: a matrix, or their compressed rows where
    the frame holds sparse columns (an industry model's memberships), never densified."""
    if not has_sparse_columns(frame):
        return _frame(frame, assets, factors, "exposures", ("asset", "factor"))
    _check_labels(frame.index, assets, "exposures (rows)", "asset")
    _check_labels(frame.columns, factors, "exposures (columns)", "factor")
    rows = from_frame(frame.reindex(index=assets, columns=factors))
    bad = np.unique(np.searchsorted(rows.row_starts, np.flatnonzero(~np.isfinite(rows.values)), side="right") - 1)
    if bad.size:
        raise ValueError(f"exposures has missing or non-finite values for {_named(list(assets[bad]), 'asset')}")
    return rows


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


def _constraint_block(matrix, rhs, assets, name: str) -> _Rows:
    if (matrix is None) != (rhs is None):
        raise ValueError(f"{name}_matrix and {name}_rhs must be provided together")
    if matrix is None:
        return _Rows([], None, None)
    array = _frame(matrix, None, assets, f"{name}_matrix", ("constraint", "asset"))
    rows = _unique_index(matrix.index, f"{name}_matrix", "constraint")
    return _Rows(list(rows), array, _series(rhs, rows, f"{name}_rhs", "constraint"))


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
        gross_leverage: float | None = None,
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
            _exposures(exposures, assets, self.factors),
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
            self.problem = with_gross_leverage(engine_problem(*arrays, **keywords), gross_leverage)
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
        return dump(self.problem, f'{text[:-1]},"{LABELS_KEY}":{labels}}}')

    @classmethod
    def from_json(cls, text: str) -> LabelledProblem:
        """The problem of a dump; its labels when the dump has them (``to_json``),
        positions 0, 1, ... otherwise."""
        problem = load(text)
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

    def __reduce__(self):
        # Through the dump, which keeps what the engine's problem alone does not (the labels, a leverage limit).
        return _labelled_from_json, (self.to_json(),)

    def __repr__(self) -> str:
        return f"LabelledProblem(assets={len(self.assets)}, factors={len(self.factors)})"


def _labelled_from_json(text: str) -> LabelledProblem:
    return LabelledProblem.from_json(text)


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

