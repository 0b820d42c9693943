"""Efficient frontiers: one problem re-solved along its range of risk.

The objective trades λ·risk against return; for a fixed problem, raising λ
never raises the risk the objective prices and never raises its return term,
so the solved points trace the efficient frontier. With a tracking benchmark
the priced risk is the active (tracking) risk, √((w−b)ᵀΣ(w−b)); without one
it is the total risk √(wᵀΣw). Σ = diag(d) + F·Ω·Fᵀ is applied through the
factor form, never formed.

A frontier is drawn either at risk aversions the caller picks (one batch of
solves, points bunched wherever the risk moves slowly in λ) or at risks
spaced evenly from the least risk to the risk of the top return, each point
the highest return at its risk (the searches of ``morva.goals``).
"""

from __future__ import annotations

import math
import operator
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

import _morva

from . import _engine, _problem, solving
from ._extras import require
from ._risk_model import RiskModel

# Points of a frontier spaced evenly in risk when the caller names neither
# risk aversions nor a count.
DEFAULT_POINTS = 20
# A range of risk narrower than this (relative to its top, or to an average
# asset's volatility when that is larger), or than this many times the inner
# solves' tolerance (they land a risk to about that), holds one portfolio.
_FLAT_RANGE = 1e-8
_FLAT_MARGIN = 100.0
# Keywords the marks' goals do not take: the batch's own, and the failure
# switch (a mark that cannot be solved is left out, not drawn from a failed solve).
_NOT_FOR_MARKS = ("chain_previous_weights", "raise_on_failure")


class Book(NamedTuple):
    """A marked portfolio: its risk (as the frontier prices it), expected return μᵀw and weights."""

    risk: float
    expected_return: float
    weights: np.ndarray


@dataclass(frozen=True, eq=False)
class Frontier:
    """Solved points along the frontier, in the order of the risk aversions given,
    or in increasing risk when spaced evenly in risk.

    ``risk`` is the risk the objective prices (active risk with a tracking
    benchmark, total risk otherwise), ``expected_return`` is μᵀw, ``weights``
    holds one row per point; ``statuses`` says how each solve ended.
    ``risk_aversions`` holds each point's λ: the λ of P_λ it solves, NaN for
    the least-risk end of an evenly spaced frontier (the limit λ → ∞, solved
    directly). ``risk_free_rate`` is the rate of the maximum-Sharpe mark
    (a hurdle on the active return with a benchmark). ``min_variance`` and
    ``max_sharpe`` are the marked books.
    """

    risk_aversions: np.ndarray
    risk: np.ndarray
    expected_return: np.ndarray
    weights: np.ndarray
    statuses: tuple[str, ...]
    model: RiskModel = field(repr=False)
    assets: Any = field(default=None, repr=False)
    risk_free_rate: float = 0.0
    # The marks' problem and solver settings, and the marks once solved (a
    # frontier made without a problem has none).
    _marks: dict = field(default_factory=dict, repr=False)

    @property
    def tracking(self) -> bool:
        return self.model.benchmark is not None

    @property
    def min_variance(self) -> Book | None:
        """The least-risk book, ``morva.min_variance``'s answer, as (risk, expected_return,
        weights). The first point of an evenly spaced frontier; over given risk
        aversions it is solved on first use and kept. None when it cannot be had
        (``mark_notes`` says why)."""
        return self._mark("min_variance")

    @property
    def max_sharpe(self) -> Book | None:
        """The book of highest Sharpe ratio (μᵀw − c)/σ(w), c = ``risk_free_rate``, or with a
        benchmark b of highest information ratio (μᵀ(w − b) − c)/σ_active(w):
        ``morva.max_sharpe(problem, risk_free_rate=c)``'s answer, solved on first use
        and kept. None when no portfolio beats c (``mark_notes`` says why)."""
        return self._mark("max_sharpe")

    @property
    def mark_notes(self) -> dict[str, str]:
        """Why a mark is missing, by name ("min_variance", "max_sharpe"): the goal's error."""
        self._mark("min_variance"), self._mark("max_sharpe")
        return {name: note for name, note in self._marks.get("notes", {}).items()}

    def _mark(self, name: str) -> Book | None:
        marks = self._marks
        if name not in marks and "problem" in marks:
            from . import goals

            settings = dict(marks["settings"])
            try:
                with warnings.catch_warnings():
                    if marks.get("warned"):  # the frontier's own solves already said so
                        warnings.filterwarnings("ignore", ".* ignores the problem's turnover terms", UserWarning)
                    if name == "min_variance":
                        result = goals.min_variance(marks["problem"], **settings)
                    else:
                        result = goals.max_sharpe(marks["problem"], risk_free_rate=self.risk_free_rate, **settings)
            except (ValueError, RuntimeError) as error:
                marks[name] = None
                marks.setdefault("notes", {})[name] = str(error)
                marks.setdefault("errors", {})[name] = type(error)
            else:
                marks[name] = self._book(getattr(result, "result", result).weights)
        return marks.get(name)

    def _book(self, weights: np.ndarray) -> Book:
        weights = np.array(weights, dtype=np.float64)
        return Book(float(self.model.risk(weights)[0]), float(self.model.expected_returns @ weights), weights)

    def to_frame(self, weights: bool = False):
        """A pandas DataFrame indexed by risk aversion: risk, expected return and status,
        followed by one column per asset when ``weights`` is true."""
        pd = require("pandas", "pandas", "Frontier.to_frame")
        frame = pd.DataFrame(
            {"risk": self.risk, "expected_return": self.expected_return, "status": list(self.statuses)},
            index=pd.Index(self.risk_aversions, name="risk_aversion"),
        )
        if weights:
            frame = frame.join(self.weights_frame())
        return frame

    def weights_frame(self):
        """The weights as a DataFrame, risk aversions × assets."""
        pd = require("pandas", "pandas", "Frontier.weights_frame")
        columns = self.assets if self.assets is not None else pd.RangeIndex(self.weights.shape[1], name="asset")
        return pd.DataFrame(self.weights, index=pd.Index(self.risk_aversions, name="risk_aversion"), columns=columns)

    @property
    def active_return(self) -> np.ndarray | None:
        """μᵀ(w − b) of each point; None without a benchmark."""
        if not self.tracking:
            return None
        return self.expected_return - self.model.expected_returns @ self.model.benchmark

    @property
    def solved(self) -> np.ndarray:
        """Which points solved; the plots leave the others out."""
        return np.array([status == "solved" for status in self.statuses], dtype=bool)

    def _reference_points(self) -> list[tuple[str, np.ndarray]]:
        points = [("benchmark", self.model.benchmark), ("current portfolio", self.model.previous)]
        return [(name, weights) for name, weights in points if weights is not None]

    def _plotted_return(self, weights: np.ndarray) -> np.ndarray:
        """The return the plot shows: active with a benchmark, total otherwise."""
        offset = self.model.expected_returns @ self.model.benchmark if self.tracking else 0.0
        return np.atleast_2d(weights) @ self.model.expected_returns - offset

    def _risk_label(self, units: str) -> str:
        return f"Active risk (tracking error, {units})" if self.tracking else f"Volatility ({units})"

    def _title(self, title: str | None, default: str, notes: Sequence[str] = ()) -> str:
        lines = [default if title is None else title]
        dropped = int((~self.solved).sum())
        if dropped:
            kinds = ", ".join(sorted({status for status in self.statuses if status != "solved"}))
            lines.append(f"{dropped} of {len(self.statuses)} points left out ({kinds})")
        return "\n".join([*lines, *notes])

    def _marked_books(self) -> tuple[list[tuple[str, Book, str, str]], list[str]]:
        """The minimum-variance and maximum-Sharpe marks (label, book, marker, colour), and
        a title line for each one missing."""
        ratio_name = "information ratio" if self.tracking else "Sharpe ratio"
        rate = f"{100 * self.risk_free_rate:.3g}%"
        hurdle = "" if self.risk_free_rate == 0 else (f", hurdle {rate}" if self.tracking else f", risk-free {rate}")
        marks, notes = [], []
        least = self.min_variance
        if least is not None:
            marks.append(("least tracking error" if self.tracking else "minimum variance", least, "D", "C2"))
        elif "min_variance" in self.mark_notes:  # a frontier made without its problem has no marks, and no note
            notes.append(f"no minimum-variance mark: {self.mark_notes['min_variance']}")
        best = self.max_sharpe
        if best is not None:
            excess = float(self._plotted_return(best.weights)[0]) - self.risk_free_rate
            value = f"{excess / best.risk:.2f}" if best.risk > 0 else "unbounded"
            marks.append((f"maximum {ratio_name} ({value}{hurdle})", best, "*", "C1"))
        elif "max_sharpe" in self.mark_notes:
            note = self.mark_notes["max_sharpe"]
            if issubclass(self._marks["errors"]["max_sharpe"], ValueError):  # max_sharpe's "nothing beats c"
                note = (f"no portfolio has an active return above {rate}" if self.tracking
                        else f"no portfolio returns more than the risk-free rate {rate}")
            notes.append(f"no maximum-{'information-ratio' if self.tracking else 'Sharpe'} mark: {note}")
        return marks, notes

    def plot(self, ax=None, *, period: str | None = None, title: str | None = None):
        """Draws the frontier in per cent, with the minimum-variance and the maximum-Sharpe
        books marked (least active risk and maximum information ratio with a
        benchmark), and the benchmark and the current portfolio when the problem
        has them; returns the axes.

        Without a benchmark: volatility √(wᵀΣw) against expected return μᵀw. With a
        benchmark: active risk against active return μᵀ(w − b), the benchmark at
        the origin. ``period`` names the units of the data ("year" for annual
        variances and returns; "period" when not given). Points that did not
        solve are left out, and the title says how many; a mark that cannot be
        had (no portfolio beats the risk-free rate) is left out, and the title
        says why. The legend names each mark, the Sharpe (information) ratio
        of the best book in the data's units. The marks are solved on the
        first plot (or read of ``min_variance``/``max_sharpe``) and kept.
        """
        plt = require("matplotlib.pyplot", "plot", "Frontier.plot")
        if ax is None:
            _, ax = plt.subplots(figsize=(8, 5), layout="constrained")
        units = f"% per {period or 'period'}"
        solved = self.solved
        marks, notes = self._marked_books()
        risk, shown = self.risk[solved], self._plotted_return(self.weights[solved])
        dots = np.arange(risk.size)
        if self._marks.get("efficient", False):
            # The marks are frontier points too: the curve passes through them, so a
            # mark between two far-apart points is not drawn off a chord of the
            # concave curve. Dots mark the solved points only.
            inside = [book for _, book, _, _ in marks if risk.size and risk.min() <= book.risk <= risk.max()]
            risk = np.append(risk, [book.risk for book in inside])
            shown = np.append(shown, [self._plotted_return(book.weights)[0] for book in inside])
            order = np.argsort(risk, kind="stable")
            risk, shown, dots = risk[order], shown[order], np.flatnonzero(order < dots.size)
        ax.plot(100 * risk, 100 * shown, marker="o", markersize=3, markevery=list(dots), color="C0",
                label="efficient frontier", zorder=2)
        for name, book, marker, colour in marks:
            ax.scatter(100 * book.risk, 100 * self._plotted_return(book.weights), marker=marker,
                       s=180 if marker == "*" else 60, color=colour, edgecolors="black", linewidths=0.6, zorder=3,
                       label=name)
        # The benchmark and the current book often sit on a mark (the least active
        # risk is the benchmark's own when it is feasible): drawn over the marks,
        # the benchmark as an open square around them.
        styles = ({"marker": "s", "s": 110, "facecolors": "none", "edgecolors": "0.2", "linewidths": 1.2},
                  {"marker": "^", "s": 35, "color": "C3"})
        for (name, weights), style in zip(self._reference_points(), styles):
            ax.scatter(100 * self.model.risk(weights), 100 * self._plotted_return(weights), zorder=4, label=name,
                       **style)
        ax.set_xlabel(self._risk_label(units))
        ax.set_ylabel(f"Expected active return ({units})" if self.tracking else f"Expected return ({units})")
        default = "Tracking frontier: active return against active risk" if self.tracking else "Efficient frontier"
        ax.set_title(self._title(title, default, notes))
        ax.grid(True, alpha=0.3)
        # The frontier rises to the right and is concave: the lower right corner
        # holds only inefficient books, so the legend covers nothing there.
        ax.legend(loc="lower right", fontsize="small")
        return ax

    def plot_weights(self, top: int = 10, ax=None, *, period: str | None = None, title: str | None = None):
        """Stacks the weights (in % of the book) of the ``top`` largest holdings (by
        their largest weight anywhere on the frontier) against risk in per cent, the
        rest summed as 'other'; unsolved points are left out. The legend sits
        beside the axes. Returns the axes."""
        plt = require("matplotlib.pyplot", "plot", "Frontier.plot_weights")
        if ax is None:
            _, ax = plt.subplots(figsize=(8, 5), layout="constrained")
        solved = self.solved
        order = np.argsort(self.risk[solved], kind="stable")  # risk aversions may come in any order
        weights, risk = self.weights[solved][order], self.risk[solved][order]
        largest = np.argsort(-weights.max(axis=0, initial=-np.inf), kind="stable")[:top]
        names = [str(self.assets[i]) if self.assets is not None else f"asset {i}" for i in largest]
        rest = weights.sum(axis=1) - weights[:, largest].sum(axis=1)
        # The qualitative palette without its greys: grey is "other".
        palette = [colour for colour in plt.get_cmap("tab10" if top <= 9 else "tab20").colors
                   if len(set(colour)) > 1]
        colours = [palette[i % len(palette)] for i in range(len(largest))] + ["0.85"]
        ax.stackplot(100 * risk, *(100 * weights[:, largest].T), 100 * rest, labels=[*names, "other"],
                     colors=colours)
        ax.set_xlabel(self._risk_label(f"% per {period or 'period'}"))
        ax.set_ylabel("Weight (% of the book)")
        ax.set_title(self._title(title, "Holdings along the frontier"))
        ax.margins(x=0)
        handles, labels = ax.get_legend_handles_labels()
        # Top of the stack first, as the eye reads the areas; outside, as the areas fill the axes.
        ax.legend(handles[::-1], labels[::-1], loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
        return ax


def efficient_frontier(problem, risk_aversions: Sequence[float] | None = None, *, points: int | None = None,
                       risk_free_rate: float = 0.0, **solver_keywords: Any) -> Frontier:
    """The efficient frontier of ``problem``: ``points`` portfolios spaced evenly in risk,
    or the solves at the ``risk_aversions`` given; at most one of the two
    (``points=20`` when neither is given).

    ``points=N`` (N ≥ 2): the first point is the least-risk portfolio
    (``morva.min_variance``), the last the least-risk portfolio of highest
    return (the top of the range), and the N − 2 between are the portfolios
    of highest return at the risks s₀ + i(s₁ − s₀)/(N − 1), each the solve of
    P_λ at the λ where its risk meets that target (a bracketing search on
    log λ over solves warm-started from the last: the risk of w(λ) is
    continuous and non-increasing in λ; see ``morva.goals``), within 1e-10
    of it. ``risk_aversions`` holds those λ, the top's λ, and NaN for the
    least-risk end. When the least risk is also the top's (a single feasible
    portfolio, or the least-risk one already has the highest return) the
    frontier is that one point, with a warning. As for the goals, turnover
    terms are left out (with a warning) and the solver keywords are those of
    ``morva.solve``, the inner solves running to 1e-10 tolerances unless
    given; the searches need every solve, so one that fails raises
    ``RuntimeError`` (``raise_on_failure`` is not taken).

    ``risk_aversions=[...]``: one solve per risk aversion, in the order given,
    all in one parallel batch; every other piece of the problem is kept
    exactly (turnover terms too). The solver keywords are those of
    ``morva.solve_batch`` (``profile`` and its settings).

    ``problem`` is a ``PortfolioProblem`` or a ``morva.labels.LabelledProblem``
    (whose asset labels then name the weight columns). ``risk_free_rate`` is
    the rate c of the maximum-Sharpe mark (``Frontier.max_sharpe``), a hurdle
    on the active return when the problem tracks a benchmark.
    """
    problem = _problem.plain(problem)
    assets = getattr(problem, "assets", None)
    plain = getattr(problem, "problem", problem)
    if not isinstance(plain, _morva.PortfolioProblem):
        raise TypeError(f"efficient_frontier needs a PortfolioProblem, got {type(problem).__name__}")
    if risk_aversions is not None and points is not None:
        raise ValueError("give efficient_frontier either risk_aversions or points, not both")
    rate = float(risk_free_rate)
    if not math.isfinite(rate):
        raise ValueError(f"risk_free_rate must be finite, got {risk_free_rate}")
    model = RiskModel.of(plain)
    if risk_aversions is not None:
        lambdas, results = _at_risk_aversions(plain, risk_aversions, solver_keywords)
        data = solving.problem_data(plain)
        costs = data["l1_turnover_costs"]
        # Turnover terms bend the solved curve off the efficient frontier the marks lie on.
        efficient = data["turnover_penalty"] == 0 and (costs is None or not np.any(costs > 0))
        marks = {"efficient": efficient}
    else:
        solver_keywords.pop("raise_on_failure", None)  # every solve of the searches must succeed
        lambdas, results = _evenly_spaced(problem, _point_count(points), solver_keywords)
        marks = {"efficient": True, "warned": True}
    marks.update(problem=problem, settings={key: value for key, value in solver_keywords.items()
                                            if key not in _NOT_FOR_MARKS})
    weights = np.array([result.weights for result in results])
    frontier = Frontier(
        risk_aversions=lambdas,
        risk=model.risk(weights),
        expected_return=weights @ model.expected_returns,
        weights=weights,
        statuses=tuple(result.status for result in results),
        model=model,
        assets=assets,
        risk_free_rate=rate,
        _marks=marks,
    )
    if risk_aversions is None:
        marks["min_variance"] = frontier._book(weights[0])
    return frontier


def _point_count(points: Any) -> int:
    count = DEFAULT_POINTS if points is None else points
    if isinstance(count, bool):
        raise TypeError("points must be a whole number of portfolios, got a bool")
    try:
        count = operator.index(count)
    except TypeError:
        raise TypeError(f"points must be a whole number of portfolios, got {type(points).__name__}") from None
    if count < 2:
        raise ValueError(f"points must be at least 2 (the least-risk and the top portfolio), got {count}")
    return count


def _at_risk_aversions(problem: _morva.PortfolioProblem, risk_aversions: Any, keywords: dict) -> tuple:
    lambdas = np.asarray(risk_aversions, dtype=np.float64)
    if lambdas.ndim != 1 or lambdas.size == 0:
        raise ValueError("risk_aversions must be a non-empty one-dimensional sequence of numbers")
    if not np.all(np.isfinite(lambdas) & (lambdas > 0)):
        raise ValueError("risk_aversions must be finite and positive")
    points = [_engine.with_risk_aversion(problem, float(risk_aversion)) for risk_aversion in lambdas]
    return lambdas, [account[0] for account in solving.solve_batch(points, [[{}]] * len(points), **keywords)]


def _evenly_spaced(problem: Any, count: int, settings: dict) -> tuple[np.ndarray, list]:
    """λ's and solves of ``count`` points spaced evenly in risk from the least risk to the top's."""
    from . import goals

    # An inner solve that fails ends the search: the goals' own failure (when
    # they have one) is raised as RuntimeError, as the goals raise it.
    failed = getattr(goals, "_Failed", RuntimeError)
    try:
        return _spaced_search(goals, problem, count, settings)
    except failed as error:
        raise RuntimeError(str(error)) from None


def _spaced_search(goals: Any, problem: Any, count: int, settings: dict) -> tuple[np.ndarray, list]:
    goal = goals._Goal(problem, "efficient_frontier", dict(settings))
    lowest, _ = goal.least_risk()
    least = goal.risk(lowest.weights)
    top, top_problem, _, most = goal.top()
    top_lambda = float(solving.problem_data(top_problem)["risk_aversion"])
    tolerance = max(goal.settings.get("absolute_tolerance", 0.0), goal.settings.get("relative_tolerance", 0.0))
    if most - least <= max(_FLAT_RANGE, _FLAT_MARGIN * tolerance) * max(most, math.sqrt(goal.variance)):
        warnings.warn(f"efficient_frontier: the least risk {least:.6g} is also the risk of the highest return "
                      f"(a single feasible portfolio, or the least-risk one has the highest return): the frontier "
                      f"is that one point, not {count}", UserWarning, stacklevel=4)
        return np.array([math.nan]), [lowest]
    # Every solve is kept: σ(w(λ)) is non-increasing in λ (fact 1 of morva.goals),
    # so the solves already made bracket each later target, and each search
    # starts from the nearest two rather than from decades apart.
    seen: dict[float, tuple[Any, float]] = {top_lambda: (top, most)}

    def risk_at(risk_aversion: float) -> float:
        if risk_aversion not in seen:
            result, _, sigma = goal.point(risk_aversion)
            seen[risk_aversion] = (result, sigma)
        return seen[risk_aversion][1]

    lambdas, results = [math.nan], [lowest]
    for target in least + (most - least) * np.arange(1, count - 1) / (count - 1):
        def excess(risk_aversion: float, target: float = float(target)) -> float:  # non-decreasing in λ
            return (target - risk_at(risk_aversion)) / target

        if not any(sigma <= target for _, sigma in seen.values()):
            found = goals._bracket(excess, goal.start(least, float(np.ptp(goal.mu))))
            if not isinstance(found, tuple):
                raise RuntimeError(f"efficient_frontier: no risk aversion in twelve decades reaches the risk "
                                   f"{target:.6g}")
        high = min(lam for lam, (_, sigma) in seen.items() if sigma <= target)
        low = max(lam for lam, (_, sigma) in seen.items() if sigma >= target and lam <= high)
        chosen = goals._root(excess, low, excess(low), high, excess(high), goals._TARGET_TOLERANCE)
        result, reached = seen[chosen]
        if abs(reached - target) > goals._RISK_MISS * target:
            raise RuntimeError(f"efficient_frontier: the closest risk reached is {reached:.6g} for the point at "
                               f"risk {target:.6g}; the solves cannot resolve risks that small")
        lambdas.append(chosen)
        results.append(result)
    return np.array([*lambdas, top_lambda]), [*results, top]
