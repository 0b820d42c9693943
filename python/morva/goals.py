"""Portfolio goals: minimum variance, maximum Sharpe ratio, a target risk, a target return.

Every goal keeps the problem's feasible set (budget, bounds, constraint rows
and templates) and its risk model, and speaks of two numbers of a portfolio w:

- its risk σ(w) = √((w − b)ᵀ Σ (w − b)) with Σ = F Ω Fᵀ + diag(d), where b is
  the tracking benchmark (active risk) or 0 (total risk) when there is none;
- its expected return r(w) = μᵀw.

Both are in the problem's units (annualised data give annual volatility and
return). The turnover terms of a problem (quadratic penalty, L1 costs) are
not part of any goal: a goal on such a problem warns and leaves them out.

The goals are answered by the engine's own solve of

    w(λ) = argmin_{w ∈ C} ½ λ σ(w)² − μᵀw                                (P_λ)

over λ, and, for a target return, of the least-risk problem with the extra
row μᵀw = r. Three facts about the curve λ ↦ w(λ) carry the searches (Σ is
positive definite, so w(λ) is unique and continuous in λ):

1. σ(w(λ)) and r(w(λ)) are non-increasing in λ. (Compare the optimality of
   w(λ₁) and w(λ₂) in each other's problems and add the two inequalities.)
2. Every efficient portfolio is some w(λ): max {μᵀw : ½σ(w)² ≤ ½s², w ∈ C}
   is convex, and for s between the least risk and the risk of the top
   return its risk row binds with a multiplier ν > 0 and its KKT conditions,
   μ − νΣ(w − b) ∈ N_C(w), are those of P_λ with λ = ν. The efficient
   frontier r = ρ(σ) (most return for a risk) is concave, being the value of
   that convex problem as a function of s.
3. The top of the range: comparing w(λ) with any w' ∈ C in P_λ gives
   μᵀw' − μᵀw(λ) ≤ ½λ σ(w')², so a small λ is within ½λσ² of the highest
   return; and below some λ̄ > 0 the regularisation is exact (Mangasarian–
   Meyer): w(λ) is then the least-risk portfolio of highest return.
"""

from __future__ import annotations

import copy
import functools
import math
import numbers
import warnings
from typing import Any, Callable

import numpy as np

import _morva

from . import _engine, _rebuild, solving
from ._risk_model import RiskModel
from ._problem import plain

# Inner solves run to these unless the caller says otherwise; the engine's
# polish then lands the weights to about 1e-12, below the 1e-10 at which the
# searches stop.
_TIGHT = {"absolute_tolerance": 1e-10, "relative_tolerance": 1e-10, "max_iterations": 100_000}
# Searches stop when the risk (or the tangency residual) is within this
# relative distance of its target.
_TARGET_TOLERANCE = 1e-10
# Bracket expansion moves λ by this factor per step and gives up this many
# decades away from where it started.
_STEP = 10.0
_DECADES = 12
# The top of the range: λ falls by two decades at most this many times, until
# the return rises by less than this fraction of the spread of the returns.
_TOP_STEPS = 6
_TOP_RISE = 1e-12
# max_sharpe solves h(λ) = −_FLAT_SHIFT rather than h(λ) = 0 (h the normalised
# tangency residual, zero on an interval when the ratio is flat): this picks
# the maximiser of most return, at a cost to the ratio of 1e-12 or less.
_FLAT_SHIFT = 1e-9
# target_risk refuses an answer further than this (relative) from its target.
_RISK_MISS = 1e-6
# A target return's row is first tried on this many iterations: an interior
# target converges in a few hundred, while one at an end of the range leaves
# a face without interior on which the iteration crawls to its cap.
_ROW_FIRST_TRY = 2_000
# A guard: Brent's method reaches the resolution of a double long before.
_MAX_EVALUATIONS = 200
# Returns and risks within this many times the inner solves' tolerance (relative
# to their scale) of each other are one number: the solves land weights to
# about their tolerance, so a return μᵀw is known to about tol·Σ|μᵢ||wᵢ| and an
# active risk to about tol·(an asset's volatility). An excess return below that
# is the hurdle's own (a benchmark that holds the top asset, tied returns), and
# a ratio of it to a risk of the same order is rounding noise, not a bet.
_NOISE_MARGIN = 100.0


class _Failed(Exception):
    """An inner solve that did not end "solved": its message and result (labelled as the goal answers)."""

    def __init__(self, message: str, result: Any) -> None:
        super().__init__(message)
        self.result = result


def _honours_failure(goal: Callable[..., Any]) -> Callable[..., Any]:
    """``raise_on_failure`` for a goal: True (the default) raises ``RuntimeError`` when an
    inner solve fails, False returns that solve's result (its status and hints intact).
    Input errors (``ValueError``, ``TypeError``) are raised either way."""

    @functools.wraps(goal)
    def answered(problem: Any, *args: Any, raise_on_failure: bool = True, **settings: Any) -> Any:
        try:
            return goal(problem, *args, **settings)
        except _Failed as failed:
            if raise_on_failure:
                raise RuntimeError(str(failed)) from None
            return failed.result

    return answered


def _finite(value: Any, name: str) -> float:
    """``value`` as a float, refused in the words of the goal's own argument ``name``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, not {value}")
    return float(value)


class _Goal:
    """One goal's view of a problem: the caller's feasible set and model,
    without turnover terms, solved at any risk aversion with warm starts."""

    def __init__(self, problem: Any, name: str, settings: dict[str, Any]) -> None:
        problem = plain(problem)
        self.labelled = problem if not isinstance(problem, _morva.PortfolioProblem) else None
        base = plain(getattr(problem, "problem", problem))
        if not isinstance(base, _morva.PortfolioProblem):
            raise TypeError(f"{name} needs a PortfolioProblem or a LabelledProblem, got {type(problem).__name__}")
        data = solving.problem_data(base)
        costs = data["l1_turnover_costs"]
        turnover = data["turnover_penalty"] > 0 or (costs is not None and np.any(costs > 0))
        if turnover:
            warnings.warn(f"{name} ignores the problem's turnover terms (turnover_penalty, l1_turnover_costs): "
                          "a goal's risk and return are those of the weights alone", UserWarning, stacklevel=3)
        self.base = _rebuild.rebuild(base, turnover_penalty=0.0, l1_turnover_costs=None) if turnover else base
        self.name = name
        self.model = RiskModel.of(self.base)
        self.mu, self.benchmark = self.model.expected_returns, self.model.benchmark
        # The mean of diag Σ sets the size of λ: λ·variance ≈ 1 is a well-scaled problem.
        model = self.model
        factor_variances = np.einsum("ik,kl,il->i", model.factors, model.omega, model.factors)
        self.variance = float(np.mean(model.diagonal + factor_variances))
        warm = settings.pop("warm_start", None)
        if warm is not None and self.labelled is not None and hasattr(warm, "reindex"):
            warm = warm.reindex(self.labelled.assets).to_numpy(dtype=np.float64)
        self.warm = warm
        self.settings = {**_TIGHT, **settings}
        tolerance = max(self.settings["absolute_tolerance"], self.settings["relative_tolerance"])
        self.noise = _NOISE_MARGIN * tolerance  # see _NOISE_MARGIN
        self.volatility = math.sqrt(self.variance)  # an asset's typical volatility: the scale of a risk

    def risk(self, weights: np.ndarray) -> float:
        return float(self.model.risk(weights)[0])

    def solve(self, problem: _morva.PortfolioProblem, extra_rows: tuple = ()) -> Any:
        result = solving.solve(problem, warm_start=self.warm, raise_on_failure=False, **self.settings)
        if result.status != "solved":
            hints = "; ".join(result.convergence_hints)
            raise _Failed(f"{self.name}: the solve ended {result.status!r}" + (f": {hints}" if hints else ""),
                          self.labelled_result(result, problem, extra_rows))
        self.warm = result.weights
        return result

    def return_scale(self, weights: np.ndarray) -> float:
        """Σ|μᵢ|(|wᵢ| + |bᵢ|): the size of the terms of an active (or total) return."""
        held = np.abs(weights) if self.benchmark is None else np.abs(weights) + np.abs(self.benchmark)
        return float(np.abs(self.mu) @ held)

    def point(self, risk_aversion: float) -> tuple[Any, float, float]:
        """w(λ) (P_λ), its return and its risk."""
        result = self.solve(_engine.with_risk_aversion(self.base, risk_aversion))
        return result, float(self.mu @ result.weights), self.risk(result.weights)

    def least_risk(self, extra_rows: tuple = (), **overrides: Any) -> tuple[Any, _morva.PortfolioProblem]:
        """The least-risk portfolio over the feasible set (with ``overrides``, which add ``extra_rows``)."""
        problem = _rebuild.rebuild(self.base, expected_returns=np.zeros_like(self.mu),
                                   risk_aversion=1.0 / self.variance, **overrides)
        return self.solve(problem, extra_rows), problem

    def top(self, sign: float = 1.0) -> tuple[Any, _morva.PortfolioProblem, float, float]:
        """The least-risk portfolio of highest (sign −1: lowest) return: its
        result, the problem solved, its return and its risk.

        P_λ reaches it at every λ ≤ λ̄ (fact 3); but at a λ so small that its
        risk term falls below the solver's tolerances it picks any portfolio
        of that return, not the least risky (returns tied on a face). So λ
        falls from the data's own scale by two decades at a time and the
        first λ after which the return no longer rises is taken.
        """
        spread = max(float(np.ptp(self.mu)), float(np.max(np.abs(self.mu))), 1e-300)
        risk_aversion = spread / self.variance
        previous = None
        for _ in range(_TOP_STEPS):
            problem = _rebuild.rebuild(self.base, expected_returns=sign * self.mu, risk_aversion=risk_aversion)
            result = self.solve(problem)
            reached = sign * float(self.mu @ result.weights)
            if previous is not None and reached <= previous[2] + _TOP_RISE * spread:
                break
            previous = (result, problem, reached)
            risk_aversion *= 1e-2
        result, problem, _ = previous
        return result, problem, float(self.mu @ result.weights), self.risk(result.weights)

    def start(self, least: float, spread: float) -> float:
        """Where a search on λ starts: P_λ's two terms balance, λ·σ² ≈ a spread of
        returns, at the least risk, or at 1% of an asset's volatility when the
        least risk is smaller (a benchmark inside the feasible set has none)."""
        return max(spread, 1e-12) / max(least * least, 1e-4 * self.variance)

    def labelled_result(self, result: Any, problem: _morva.PortfolioProblem, extra_rows: tuple = ()) -> Any:
        """``result`` labelled like the caller's problem, over the problem it solved."""
        if self.labelled is None:
            return result
        solved = copy.copy(self.labelled)
        solved.problem = problem
        solved.equality_rows = [*self.labelled.equality_rows, *extra_rows]
        return solved.label(result)


def _bracket(fn: Callable[[float], float], start: float) -> tuple[float, float, float, float] | float:
    """Moves λ by decades from ``start`` until the non-decreasing ``fn`` changes sign.

    Returns (λ_lo, fn(λ_lo) ≤ 0, λ_hi, fn(λ_hi) ≥ 0), or the last value of
    ``fn`` when it keeps its sign over ``_DECADES`` decades (the sign then
    says which end of the range was missed).
    """
    value = fn(start)
    if value == 0.0:
        return start, value, start, value
    direction = _STEP if value < 0 else 1.0 / _STEP
    previous, previous_value = start, value
    for _ in range(_DECADES):
        current = previous * direction
        current_value = fn(current)
        if (current_value >= 0) != (previous_value >= 0) or current_value == 0.0:
            if direction > 1:
                return previous, previous_value, current, current_value
            return current, current_value, previous, previous_value
        previous, previous_value = current, current_value
    return previous_value


def _root(fn: Callable[[float], float], a: float, fa: float, b: float, fb: float, tolerance: float) -> float:
    """A zero of the continuous ``fn`` between the λ's a and b where it changes sign.

    Brent's method (inverse quadratic interpolation and secant steps inside the
    bracket, bisection whenever they do not shrink it fast enough) on log λ,
    so a bracket spanning decades shrinks geometrically. It stops when
    |fn| ≤ tolerance or the bracket is at the resolution of a double.
    """
    at = {math.log(a): a, math.log(b): b}  # log λ → the λ fn saw
    a, b = math.log(a), math.log(b)

    def g(x: float) -> float:
        return fn(at.setdefault(x, math.exp(x)))

    if abs(fa) < abs(fb):
        a, b, fa, fb = b, a, fb, fa
    c, fc, d = a, fa, b - a
    bisected = True
    for _ in range(_MAX_EVALUATIONS):
        if abs(fb) <= tolerance or abs(b - a) <= 4e-16 * max(1.0, abs(b)):
            return at[b]
        if fa != fc and fb != fc:
            s = (a * fb * fc / ((fa - fb) * (fa - fc)) + b * fa * fc / ((fb - fa) * (fb - fc))
                 + c * fa * fb / ((fc - fa) * (fc - fb)))
        else:
            s = b - fb * (b - a) / (fb - fa)
        low, high = sorted(((3 * a + b) / 4, b))
        slow = abs(s - b) >= (abs(b - c) if bisected else abs(c - d)) / 2
        if not low < s < high or slow:
            s, bisected = (a + b) / 2, True
        else:
            bisected = False
        fs = g(s)
        c, fc, d = b, fb, c
        if (fa < 0) == (fs < 0):
            a, fa = b, fb
        b, fb = s, fs
        if abs(fa) < abs(fb):
            a, b, fa, fb = b, a, fb, fa
    return at[b]


@_honours_failure
def min_variance(problem: Any, **settings: Any) -> Any:
    """The least-risk portfolio of the problem's feasible set.

    Risk is σ(w) = √((w − b)ᵀ Σ (w − b)): total risk, or active risk when the
    problem tracks a benchmark b. The expected returns play no part. The
    keywords are those of ``morva.solve`` (the inner solve runs to 1e-10
    tolerances unless given); with ``raise_on_failure=False`` an inner solve
    that fails is returned (its status and hints intact) instead of raising
    ``RuntimeError``. Returns the solve's result (labelled for a
    ``LabelledProblem``).
    """
    goal = _Goal(problem, "min_variance", settings)
    result, solved = goal.least_risk()
    return goal.labelled_result(result, solved)


@_honours_failure
def target_return(problem: Any, expected_return: float, **settings: Any) -> Any:
    """The least-risk portfolio whose expected return μᵀw is ``expected_return``.

    Solves min σ(w)² subject to μᵀw = ``expected_return`` and the problem's
    own constraints (one equality row more, labelled "expected return").
    A return outside [min μᵀw, max μᵀw] over the feasible set raises
    ``ValueError`` naming that range, or that one return when every feasible
    portfolio has it. Keywords as for ``min_variance``.
    """
    target = _finite(expected_return, "expected_return")
    goal = _Goal(problem, "target_return", settings)
    data = _rebuild.inputs(goal.base)
    rows = data["equality_matrix"]
    matrix = goal.mu[None, :] if rows is None else np.vstack([rows, goal.mu])
    rhs = np.array([target]) if rows is None else np.append(data["equality_rhs"], target)
    tolerance = 1e-8 * max(1.0, abs(target))
    budget = goal.settings["max_iterations"]
    outcome = _on_row(goal, matrix, rhs, target, tolerance, min(budget, _ROW_FIRST_TRY))
    if not isinstance(outcome, tuple):
        low, high = goal.top(-1.0), goal.top()
        # At an end of the range the row μᵀw = r leaves only a face of the
        # feasible set, with no interior for the iteration to converge in; the
        # end's own solve is the least-risk portfolio of that return (fact 3).
        for end_result, end_problem, end_return, _ in (low, high):
            if abs(target - end_return) <= tolerance:
                return goal.labelled_result(end_result, end_problem)
        if high[2] - low[2] <= tolerance:
            raise _one_return(goal, target, high[2], max(low[3], high[3]))
        if not low[2] <= target <= high[2]:
            raise ValueError(f"target return {target:.6g} is outside the achievable range "
                             f"[{low[2]:.6g}, {high[2]:.6g}]")
        if budget > _ROW_FIRST_TRY:  # an interior target that needs more: the whole budget
            outcome = _on_row(goal, matrix, rhs, target, tolerance, budget)
    if isinstance(outcome, tuple):
        return goal.labelled_result(*outcome, ("expected return",))
    raise outcome


def _one_return(goal: _Goal, target: float, only: float, risk: float) -> ValueError:
    """Every feasible portfolio returns ``only`` (``risk``: the most risk of the range's ends)."""
    if goal.benchmark is not None and risk <= goal.noise * goal.volatility:
        return ValueError(f"target return {target:.6g} is not achievable: only the benchmark is feasible, and it "
                          f"returns {only:.6g}; widen the bounds or constraints that hold the weights at "
                          "benchmark_weights")
    return ValueError(f"target return {target:.6g} is not achievable: every feasible portfolio returns {only:.6g} "
                      f"(the expected returns are tied over the feasible set); ask for {only:.6g}, or widen the "
                      "bounds or constraints")


def _on_row(goal: _Goal, matrix: np.ndarray, rhs: np.ndarray, target: float, tolerance: float,
            iterations: int) -> tuple[Any, _morva.PortfolioProblem] | Exception:
    """The least-risk solve on the row μᵀw = target within ``iterations``, or why it missed."""
    budget, goal.settings["max_iterations"] = goal.settings["max_iterations"], iterations
    try:
        result, solved = goal.least_risk(("expected return",), equality_matrix=matrix, equality_rhs=rhs)
    except _Failed as failed:  # an infeasible target ends "primal_infeasible"
        return failed
    finally:
        goal.settings["max_iterations"] = budget
    if abs(goal.mu @ result.weights - target) <= tolerance:
        return result, solved
    return RuntimeError(f"target_return: the solve missed the target return {target:.6g} "
                        f"by {abs(goal.mu @ result.weights - target):.3g}")


@_honours_failure
def target_risk(problem: Any, risk: float, **settings: Any) -> Any:
    """The portfolio of highest expected return whose risk is ``risk``.

    Risk is total volatility, or active risk (tracking error) when the problem
    tracks a benchmark. The answer is w(λ) of P_λ for the λ at which
    σ(w(λ)) = ``risk``: σ(w(λ)) is continuous and non-increasing in λ (facts
    1–2 in the module's notes), so a bracketing root search on log λ converges
    to it; it stops when the risk is within 1e-10 (relative) of the target.
    A risk outside [least risk, risk of the least-risk top-return portfolio]
    raises ``ValueError`` naming that range, or saying why it is one risk
    (only the benchmark feasible, or the least-risk portfolio already of top
    return). Keywords as for ``min_variance``.
    """
    target = _finite(risk, "risk")
    if target <= 0:
        raise ValueError(f"risk must be positive, not {risk}")
    goal = _Goal(problem, "target_risk", settings)
    lowest, solved = goal.least_risk()
    least = goal.risk(lowest.weights)
    if abs(least - target) <= _TARGET_TOLERANCE * target:
        return goal.labelled_result(lowest, solved)
    if target < least:
        raise _risk_range(goal, target, least, goal.top()[3])
    points: dict[float, Any] = {}

    def excess(risk_aversion: float) -> float:  # non-decreasing in λ (fact 1)
        points[risk_aversion], _, sigma = goal.point(risk_aversion)
        return (target - sigma) / target

    bracket = _bracket(excess, goal.start(least, float(np.ptp(goal.mu))))
    if not isinstance(bracket, tuple):
        if bracket > 0:  # below the target even at the smallest λ: beyond the top of the range
            raise _risk_range(goal, target, least, goal.top()[3])
        raise RuntimeError("target_risk: no risk aversion in twelve decades reaches the target risk")
    chosen = _root(excess, *bracket, _TARGET_TOLERANCE)
    reached = goal.risk(points[chosen].weights)
    if abs(reached - target) > _RISK_MISS * target:
        raise RuntimeError(f"target_risk: the closest risk reached is {reached:.6g} for the target {target:.6g}; "
                           "the solves cannot resolve risks that small")
    return goal.labelled_result(points[chosen], _engine.with_risk_aversion(goal.base, chosen))


def _risk_range(goal: _Goal, target: float, least: float, most: float) -> ValueError:
    """The achievable risks [least, most], or in words when they are one risk."""
    noise = goal.noise * goal.volatility
    if most - least <= noise:
        if goal.benchmark is not None and max(least, most) <= noise:
            return ValueError(f"target risk {target:.6g} is not achievable: only the benchmark is feasible, so every "
                              "feasible portfolio has active risk 0; widen the bounds or constraints that hold the "
                              "weights at benchmark_weights")
        return ValueError(f"target risk {target:.6g} is not achievable: every efficient portfolio has risk "
                          f"{least:.6g}, as the least-risk portfolio already has the highest expected return (tied "
                          f"returns, or a single feasible portfolio); ask for {least:.6g}")
    least = 0.0 if least <= noise else least  # a benchmark inside the feasible set: no active risk
    return ValueError(f"target risk {target:.6g} is outside the achievable range [{least:.6g}, {most:.6g}]")


@_honours_failure
def max_sharpe(problem: Any, *, risk_free_rate: float = 0.0, **settings: Any) -> Any:
    """The portfolio of the feasible set with the highest Sharpe ratio.

    The ratio is (μᵀw − c)/σ(w), with c = ``risk_free_rate`` and σ the total
    risk; when the problem tracks a benchmark b it is the information ratio
    (μᵀw − μᵀb − c)/σ_active(w), ``risk_free_rate`` then being a hurdle on the
    active return (0 by default). When several portfolios share the best
    ratio (with a benchmark inside the feasible set, every small enough bet
    along the best direction does), the one of most return. Raises
    ``ValueError`` naming c and the highest return when no feasible
    portfolio beats c: by more than the solves' noise, 100 × their tolerance
    of the return's scale Σ|μᵢ|(|wᵢ| + |bᵢ|) + |c| (a benchmark holding the
    top asset, tied returns). Keywords as for ``min_variance``.
    """
    # Exactness. Let S* = sup (r(w) − c)/σ(w) > 0 over C. Dinkelbach: w* attains
    # S* iff it maximises r(w) − c − S*·σ(w) with value 0; that problem is
    # concave, and its first-order conditions at w* (σ(w*) > 0) are those of
    # P_λ with λ* = S*/σ(w*) = (r* − c)/σ*². So w* = w(λ*) and the tangency
    # residual h(λ) = λσ(λ)² − (r(λ) − c) vanishes at λ*. Conversely h(λ) = 0
    # makes w(λ) satisfy those conditions with S = λσ, so w(λ) is optimal.
    # h is non-decreasing in λ: along the efficient frontier r = ρ(σ) (ρ
    # concave, fact 2) P_λ picks the σ with λσ ∈ ∂ρ(σ), so h = σρ'(σ) − ρ(σ) + c,
    # and for σ₁ < σ₂, g_i ∈ ∂ρ(σ_i): h₂ − h₁ ≤ σ₁(g₂ − g₁) ≤ 0 by concavity;
    # σ falls as λ grows (fact 1), and where σ stays put h = λσ² − … grows with λ.
    # h is continuous, h(λ) → c − max r as λ → 0 (fact 3) and → +∞ as λ → ∞,
    # so a root exists exactly when some portfolio returns more than c, and
    # a bracketing search on h converges to it. Near λ* the Sharpe ratio is
    # flat (dS/dσ = h/σ²), so the stopping residual costs far less than 1e-6.
    # h vanishes on a whole interval [λₐ, ∞) when the ratio is flat along the
    # best direction, as for a tracking book whose benchmark lies inside the
    # feasible set: every small enough active bet along it has the same
    # information ratio. Solving h = −ε instead (ε = 1e-9, above the solves'
    # noise in h of about 1e-12) lands just left of λₐ: the maximiser of most
    # return, not a vanishing bet next to the benchmark.
    # Whether anything beats c is decided on the top return (h has a root
    # exactly when max r > c), and only when the search says otherwise: when
    # no λ brackets h, or its root's excess return is at the solves' noise.
    rate = _finite(risk_free_rate, "risk_free_rate")
    goal = _Goal(problem, "max_sharpe", settings)
    hurdle = rate + (0.0 if goal.benchmark is None else float(goal.mu @ goal.benchmark))
    lowest, _ = goal.least_risk()
    least, base_return = goal.risk(lowest.weights), float(goal.mu @ lowest.weights)
    points: dict[float, Any] = {}

    def tangency(risk_aversion: float) -> float:
        points[risk_aversion], r, sigma = goal.point(risk_aversion)
        excess = r - hurdle
        scale = risk_aversion * sigma * sigma + abs(excess) + 1e-300
        return (risk_aversion * sigma * sigma - excess) / scale + _FLAT_SHIFT

    def beats(weights: np.ndarray) -> bool:
        return float(goal.mu @ weights) - hurdle > goal.noise * (goal.return_scale(weights) + abs(rate))

    bracket = _bracket(tangency, goal.start(least, max(abs(base_return - hurdle), float(np.ptp(goal.mu)))))
    chosen = _root(tangency, *bracket, _TARGET_TOLERANCE) if isinstance(bracket, tuple) else None
    if chosen is None or not beats(points[chosen].weights):
        top, _, top_return, _ = goal.top()
        if not beats(top.weights):
            raise _nothing_beats(goal, rate, hurdle, top_return, top.weights)
        if chosen is None:
            raise RuntimeError("max_sharpe: no risk aversion in twelve decades brackets the tangency portfolio")
    return goal.labelled_result(points[chosen], _engine.with_risk_aversion(goal.base, chosen))


def _nothing_beats(goal: _Goal, rate: float, hurdle: float, top_return: float, top: np.ndarray) -> ValueError:
    """No feasible portfolio beats the hurdle: the rate and the highest (active) return, in words."""
    fix = "set risk_free_rate below it, or widen the bounds or constraints"
    if goal.benchmark is None:
        return ValueError(f"no feasible portfolio has an expected return above the risk-free rate {rate:.6g}: "
                          f"the highest is {top_return:.6g}; {fix}")
    active = top_return - hurdle + rate
    if abs(active) <= goal.noise * goal.return_scale(top):  # the benchmark's own return, up to the solves' noise
        return ValueError(f"no feasible portfolio has an active return above {rate:.6g}: the highest is 0, as no "
                          f"active bet returns more than the benchmark; {fix}")
    return ValueError(f"no feasible portfolio has an active return above {rate:.6g}: the highest is {active:.6g}; {fix}")
