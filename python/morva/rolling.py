"""Rolling re-solves whose dates may change anything: the cheapest path per date.

A ``PortfolioSequence`` keeps one equilibration and its factorisations for
every date, so it accepts only data that leave the factored system
P + σI + ρ(AᵀA + I) intact. ``Rolling`` goes further, choosing per date:

* new expected returns, anchors, benchmark, budget and right-hand sides, and
  new ``lower_bounds``, ``upper_bounds`` and ``l1_turnover_costs`` (these enter
  only the projections onto the box and the L1 prox) update the sequence in
  place: no factorisation;
* a new risk model (``factors``, ``omega``, ``specific_variance``), a new
  ``risk_aversion`` or new constraint matrices change P or A: the problem is
  rebuilt and its sequence starts from the last iterate and its duals;
* a labelled problem follows its universe by label: when assets enter or
  leave (a ``factors`` frame over another index, or a whole new
  ``LabelledProblem``), the problem is rebuilt over the new universe and the
  start mapped by label (an entering asset starts at its anchor, or 0). A
  per-asset Series never moves the universe: one that misses assets of the
  date's universe, or names others, is refused naming them (a dropped NaN is
  not a sale).

New bounds replace the box as the problem holds it, the ``max_weight`` and
``max_short`` limits it was built with included (they were applied to the box
when it was built). ``factorizations`` counts every factorisation since the
first date, across rebuilds, penalty moves of the solver included, so its
difference over a date is what that date cost. A date the engine refuses,
whatever the exception (``ValueError``, ``TypeError``, ``RuntimeError`` such
as "Already borrowed" from another thread), leaves the rolling state as it
was; a date it accepted and solved is recorded even when the solve failed
(the sequence holds its data and carries on from its iterate).
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

import _morva

from . import _engine, _rebuild, solving
from ._extras import require
from ._inputs import BLOCKS, INPUTS, IN_PLACE, PER_ASSET, PROJECTIONS, SCALARS, STRUCTURAL
from ._problem import plain


def _same(a: Any, b: Any) -> bool:
    if a is None or b is None or np.isscalar(a) or np.isscalar(b):
        return a is b or (a is not None and b is not None and a == b)
    return a.shape == b.shape and np.array_equal(a, b)


def _scientific(value: float) -> str:
    """A number as the engine writes it in messages: three decimals, exponent without '+' or zeros."""
    if not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    mantissa, exponent = f"{value:.3e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def _stopped(result: Any) -> str:
    """The engine's message for a solve that did not end "solved" (its ``raise_on_failure=True`` text)."""
    hints = f" Hints: {'; '.join(result.convergence_hints)}." if result.convergence_hints else ""
    return (f"Morva stopped with status '{result.status}' after {result.iterations} iterations (primal residual "
            f"{_scientific(result.primal_residual)}, dual residual {_scientific(result.dual_residual)}).{hints} "
            "Set raise_on_failure=False to inspect the returned iterate and its convergence_hints.")


def _dual_lengths(data: dict[str, Any]) -> dict[str, int]:
    """The length of each warm-start block of the problem with these inputs."""
    n = data["expected_returns"].size
    has_l1 = data["l1_turnover_costs"] is not None and data["previous_weights"] is not None
    return {"x": n, "equality_dual": (data["budget"] is not None) + data["equality_rhs"].size,
            "inequality_dual": data["inequality_rhs"].size, "bound_dual": n, "l1_dual": n if has_l1 else 0}


def _fitted(start: dict | None, data: dict[str, Any]) -> dict | None:
    """The blocks of ``start`` that fit the problem with these inputs (the others start at zero)."""
    if start is None or start["x"].size != data["expected_returns"].size:
        return None
    lengths = _dual_lengths(data)
    return {name: block for name, block in start.items() if block.size == lengths[name]}


class Rolling:
    """Date after date re-solves of one portfolio, under the package's solver profile.

    ``problem`` is a ``PortfolioProblem`` or a ``morva.labels.LabelledProblem``
    (whose dates then take labelled changes and give labelled results). The
    keywords are ``profile`` (as ``morva.solve``: "adaptive" by default) and
    the solver settings of ``PortfolioProblem.sequence``.
    """

    def __init__(self, problem: Any, *, profile: str = solving.DEFAULT_PROFILE, **settings: Any) -> None:
        self._profile = profile
        self._settings = settings = solving.checked_settings(settings)
        problem = plain(problem)
        self._labelled = None if isinstance(problem, _morva.PortfolioProblem) else problem
        self._problem = problem if self._labelled is None else plain(problem.problem)
        self._sequence = _engine.sequence(self._problem, profile, settings, None)
        self._applied: dict[str, Any] = {}  # in-place changes since the sequence was built
        self._retired = 0  # factorisations of the sequences rebuilds replaced
        self.rebuilds = 0

    @property
    def factorizations(self) -> int:
        """Factorisations since construction, across rebuilds (penalty moves included)."""
        return self._retired + self._sequence.factorizations

    @property
    def dimension(self) -> int:
        return self._sequence.dimension

    @property
    def assets(self):
        """The current universe of a labelled problem (None for arrays)."""
        return None if self._labelled is None else self._labelled.assets

    def inputs(self) -> dict[str, Any]:
        """The current inputs (the problem's data with every date's changes), as ``_rebuild.rebuild`` takes them."""
        values = _rebuild.inputs(self._problem)
        values.update(self._applied)
        return values

    def solve_next(self, *, problem: Any = None, raise_on_failure: bool = True, **changes: Any) -> Any:
        """Applies one date's changes and solves, warm-started from the last date.

        The changes are those of ``PortfolioSequence.solve_next``
        (``expected_returns``, ``previous_weights``, ``benchmark_weights``,
        ``budget``, ``equality_rhs``, ``inequality_rhs``), the projections'
        ``lower_bounds``, ``upper_bounds`` and ``l1_turnover_costs``, and the
        structural ``factors``, ``omega``, ``specific_variance``,
        ``risk_aversion``, ``turnover_penalty``, ``equality_matrix`` and
        ``inequality_matrix``. Labelled problems take them labelled (Series by
        asset or by constraint, ``factors`` a DataFrame assets × factors whose
        index may name a new universe, ``omega`` one factors × factors).
        ``problem`` gives the whole problem of the date instead: the changes
        are then found by comparing it with the current one.
        """
        if problem is not None:
            if changes:
                raise TypeError("solve_next() takes either a problem or changes, not both")
            return self._solve_problem(problem, raise_on_failure)
        unknown = sorted(set(changes) - set(IN_PLACE) - set(STRUCTURAL))
        if unknown:
            raise TypeError(f"unknown change {unknown[0]!r}")
        changes = {name: value for name, value in changes.items() if value is not None}
        if self._labelled is not None:
            return self._solve_labelled(changes, raise_on_failure)
        return self._solve_arrays(changes, raise_on_failure)

    # ---- Dates of arrays ----

    def _solve_arrays(self, changes: dict[str, Any], raise_on_failure: bool) -> Any:
        arrays: dict[str, Any] = {}
        for name, value in changes.items():
            if name in SCALARS:
                arrays[name] = float(value)
                continue
            # A copy: the rolling state keeps it, whatever the caller does with theirs.
            array = np.array(value, dtype=np.float64, order="C")
            # Bounds and costs may be one number for every asset.
            if array.ndim == 0 and name in PROJECTIONS:
                array = np.full(self.dimension, float(array))
            arrays[name] = array
        if any(name in STRUCTURAL for name in arrays):
            return self._rebuilt(_rebuild.rebuild(self._problem, **{**self._applied, **arrays}), None,
                                 raise_on_failure)
        return self._updated(arrays, raise_on_failure)

    def _updated(self, arrays: dict[str, Any], raise_on_failure: bool, labelled: Any = None) -> Any:
        """A date the sequence takes in place; its changes are kept once the engine accepted them."""
        result = self._stepped(self._sequence, arrays)
        self._applied.update(arrays)
        if labelled is not None:
            self._labelled = labelled
        return self._answered(result, raise_on_failure)

    @staticmethod
    def _stepped(sequence: Any, arrays: dict[str, Any]) -> Any:
        """One date of ``sequence``: its result when the engine took the data and solved.

        The engine is asked never to raise on a failed solve, so that every
        exception here is a refusal made before the sequence took any data
        (invalid data, or "Already borrowed" while another thread is solving
        it): what the engine raises cannot be mistaken for a written date.
        """
        return _engine.solve_next(sequence, arrays, False)

    @staticmethod
    def _answered(result: Any, raise_on_failure: bool) -> Any:
        if raise_on_failure and result.status != "solved":
            raise RuntimeError(_stopped(result))
        return result

    def _rebuilt(self, problem: _morva.PortfolioProblem, start: dict | None, raise_on_failure: bool,
                 labelled: Any = None) -> Any:
        """Carries on over a new problem from ``start`` (default: the last iterate, where it fits)."""
        if start is None:
            start = _fitted(_engine.warm_start(self._sequence), solving.problem_data(problem))
        sequence = _engine.sequence(problem, self._profile, self._settings, start)
        retired = self._sequence.factorizations
        self._sequence, self._problem, self._applied = sequence, problem, {}
        self._retired += retired
        self.rebuilds += 1
        if labelled is not None:
            self._labelled = labelled
        return self._answered(self._stepped(sequence, {}), raise_on_failure)

    def _solve_problem(self, problem: Any, raise_on_failure: bool) -> Any:
        if self._labelled is not None:
            return self._solve_labelled_problem(problem, raise_on_failure)
        problem = plain(problem)
        if not isinstance(problem, _morva.PortfolioProblem):
            raise TypeError(f"problem must be a PortfolioProblem, not {type(problem).__name__}")
        return self._solve_new(problem, raise_on_failure)

    def _solve_new(self, problem: _morva.PortfolioProblem, raise_on_failure: bool, labelled: Any = None) -> Any:
        """A whole new problem of the same universe: in place when only in-place inputs differ."""
        current, new = self.inputs(), _rebuild.inputs(problem)
        structural = any(not _same(current[name], new[name]) for name in STRUCTURAL if name in current)
        # An input present in one and absent in the other changes the structure
        # (a sequence cannot add or drop the budget row, the anchor, costs or a benchmark).
        presence = any((current[name] is None) != (new[name] is None) for name in current)
        if structural or presence or new["expected_returns"].size != self.dimension:
            return self._rebuilt(problem, None, raise_on_failure, labelled)
        arrays = {name: new[name] for name in IN_PLACE if not _same(current[name], new[name])}
        return self._updated(arrays, raise_on_failure, labelled)

    # ---- Labelled dates ----

    def _label(self, result: Any) -> Any:
        return self._labelled.label(result)

    def _solve_labelled(self, changes: dict[str, Any], raise_on_failure: bool) -> Any:
        from .labels import LabelledProblem

        universe = self._universe_of(changes)
        if universe is not None or any(name in STRUCTURAL for name in changes):
            # A new model or a new universe: a new problem, started by label.
            keywords = self._labelled_inputs(changes, universe)
            return self._solve_labelled_problem(LabelledProblem(**keywords), raise_on_failure)
        try:
            return self._label(self._solve_arrays(self._labelled_arrays(changes), raise_on_failure))
        except (ValueError, RuntimeError) as error:
            raise type(error)(self._labelled.relabel(str(error))) from None

    def _universe_of(self, changes: dict[str, Any]):
        """The date's universe when its changes name another one: the index of
        ``factors`` (None: the current one). Only the model's labels move it; a
        per-asset Series must cover the date's universe exactly."""
        from .labels import _as_series, _named

        assets = self._labelled.assets
        factors = changes.get("factors")
        universe = None if factors is None or factors.index.equals(assets) else factors.index
        within = assets if universe is None else universe
        for name in PER_ASSET:
            series = None if name not in changes else _as_series(changes[name])
            if series is None:
                continue  # an array in the universe's order, or one number: checked where it is read
            labels = series.index
            given, allowed = set(labels), set(within)
            missing = [asset for asset in within if asset not in given]
            if missing:
                raise ValueError(f"{name} has no entry for {_named(missing, 'asset')}: a date's {name} must cover "
                                 "its universe (give every asset a value, e.g. fillna() rather than dropna()); "
                                 "assets leave the universe with a new factors frame or a new LabelledProblem")
            unknown = [asset for asset in labels if asset not in allowed]
            if unknown:
                raise ValueError(f"{name} names {_named(unknown, 'asset')}, not in the universe; assets enter it "
                                 "with a new factors frame or a new LabelledProblem")
        return universe

    def _labelled_arrays(self, changes: dict[str, Any]) -> dict[str, Any]:
        """In-place changes by label, as arrays in the universe's order."""
        from .labels import _per_asset, _series

        pd = require("pandas", "pandas", "morva.Rolling")
        arrays: dict[str, Any] = {}
        for name, value in changes.items():
            block = INPUTS[name].per_row
            if name in PROJECTIONS:
                arrays[name] = _per_asset(value, self._labelled.assets, name)
            elif name in PER_ASSET:
                arrays[name] = _series(value, self._labelled.assets, name, "asset")
            elif block is not None:
                rows = getattr(self._labelled, f"{block}_rows")
                arrays[name] = _series(value, pd.Index(rows), name, "constraint")
            else:
                arrays[name] = value
        return arrays

    def _labelled_inputs(self, changes: dict[str, Any], universe) -> dict[str, Any]:
        """The keywords of a LabelledProblem over ``universe`` (None: the current one).

        The current inputs are carried over by label; an asset entering the
        universe takes its values from the changes (the problem's own checks
        name the first one missing), and its anchor is 0 unless the changes
        give one. Template rows (industries, styles) are carried as plain
        constraint rows under their labels.
        """
        pd = require("pandas", "pandas", "morva.Rolling")
        old = self._labelled
        current = self.inputs()
        assets = old.assets
        universe = assets if universe is None else universe
        factors = changes.get("factors")
        if factors is None:
            factors = pd.DataFrame(current["factors"], index=assets, columns=old.factors)
            factors = factors.reindex(universe).dropna()
        omega = changes.get("omega")
        if omega is None:
            values = current["omega"]
            omega = pd.DataFrame(np.diag(values) if values.ndim == 1 else values, index=old.factors,
                                 columns=old.factors)
        keywords: dict[str, Any] = {"exposures": factors, "factor_covariance": omega}
        for name in SCALARS:
            keywords[name] = changes.get(name, current[name])
        for name in PER_ASSET:
            if name in changes:
                keywords[name] = changes[name]
            elif current[name] is not None:
                series = pd.Series(current[name], index=assets)
                fill = 0.0 if name == "previous_weights" else np.nan
                # An entering asset without a value is named by the problem's own check.
                keywords[name] = series.reindex(universe, fill_value=fill).dropna()
        for block in BLOCKS:
            rows = getattr(old, f"{block}_rows")
            matrix = changes.get(f"{block}_matrix")
            if matrix is None and current[f"{block}_matrix"] is not None:
                frame = pd.DataFrame(current[f"{block}_matrix"], index=rows, columns=assets)
                matrix = frame.reindex(columns=universe)
                entering = matrix.columns[matrix.isna().any()]
                if len(entering):
                    raise ValueError(f"{block}_matrix has no entry for asset {entering[0]!r}: a new universe needs "
                                     f"its constraint rows given as {block}_matrix")
            if matrix is not None:
                keywords[f"{block}_matrix"] = matrix
                rhs = changes.get(f"{block}_rhs")
                keywords[f"{block}_rhs"] = rhs if rhs is not None else pd.Series(current[f"{block}_rhs"], index=rows)
        return keywords

    def _solve_labelled_problem(self, labelled: Any, raise_on_failure: bool) -> Any:
        from .labels import LabelledProblem

        if not isinstance(labelled, LabelledProblem):
            raise TypeError(f"problem must be a LabelledProblem, not {type(labelled).__name__}")
        old = self._labelled
        same = (labelled.assets.equals(old.assets) and labelled.equality_rows == old.equality_rows
                and labelled.inequality_rows == old.inequality_rows)
        problem = plain(labelled.problem)
        try:
            if same:
                result = self._solve_new(problem, raise_on_failure, labelled)
            else:
                result = self._rebuilt(problem, self._start_by_label(labelled), raise_on_failure, labelled)
        except (ValueError, RuntimeError) as error:
            raise type(error)(labelled.relabel(str(error))) from None
        return self._label(result)

    def _start_by_label(self, new: Any) -> dict | None:
        """The last iterate mapped onto a new universe and its rows by label.

        Weights and per-asset duals follow their asset, row duals their
        constraint label; an entering asset starts at its anchor (or 0),
        entering rows and assets at zero duals.
        """
        pd = require("pandas", "pandas", "morva.Rolling")
        start = _engine.warm_start(self._sequence)
        if start is None:
            return None
        old, data = self._labelled, solving.problem_data(new.problem)
        lengths = _dual_lengths(data)
        anchor = data["previous_weights"]
        x = pd.Series(start["x"], index=old.assets).reindex(new.assets)
        entering = x.isna().to_numpy()
        values = x.to_numpy(dtype=np.float64, copy=True)
        values[entering] = anchor[entering] if anchor is not None else 0.0
        mapped = {"x": values}
        eq_old = ["budget", *old.equality_rows] if start["equality_dual"].size > len(old.equality_rows) else \
            list(old.equality_rows)
        eq_new = ["budget", *new.equality_rows] if lengths["equality_dual"] > len(new.equality_rows) else \
            list(new.equality_rows)
        for name, labels_old, labels_new in (("equality_dual", eq_old, eq_new),
                                             ("inequality_dual", old.inequality_rows, new.inequality_rows),
                                             ("bound_dual", old.assets, new.assets),
                                             ("l1_dual", old.assets, new.assets)):
            block = start[name]
            if block.size == len(labels_old) and lengths[name] == len(labels_new):
                mapped[name] = pd.Series(block, index=labels_old).reindex(labels_new, fill_value=0.0).to_numpy()
        return mapped

    def __repr__(self) -> str:
        return f"Rolling(dimension={self.dimension}, factorizations={self.factorizations}, rebuilds={self.rebuilds})"
