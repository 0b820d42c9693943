"""A corpus of seeded portfolio problems with certified exact references, and
a harness that measures a solver on it: iterations, failures, accuracy of the
weights and the objective, and whether polishing ever makes an answer worse
than the iterate it started from.

    python bench/profile_corpus.py build   [--cache DIR] [--held-out] [--families F ...]
    python bench/profile_corpus.py measure [--cache DIR] [--held-out] [--families F ...]
                                           [--solver reference | package.module.callable]
                                           [--solver-option KEY=VALUE ...] [--rho-sweep] [--json OUT]

The families and their sizes are in corpus_families.py; the main corpus and the
held-out set (a third of each count, disjoint seeds) are cached separately
under DIR (default build/corpus) as one .npz per problem (constructor keywords
and reference weights) and a manifest.json. `measure` builds a missing cache
first.

References. The portfolio QP, as morva lowers it,

    minimise ½xᵀPx + qᵀx + Σ cᵢ|xᵢ − aᵢ|   (P = λΣ + τI, q = −μ − τx⁰ − λΣb, a = x⁰)
    subject to A_eq x = b_eq (budget first), A_in x ≤ b_in, l ≤ x ≤ u,

is piecewise quadratic: each xᵢ moves on a line broken at lᵢ, uᵢ and aᵢ. An
active set fixes some variables at one of their breakpoints, gives each free
one the L1 slope cᵢ·sᵢ of its open segment and turns the active inequality
rows into equalities; on it the problem is an equality-constrained QP, solved
exactly through the factor structure (a (k + m)-square system, refined
against the full residual). A tight morva solve (or Clarabel when that fails)
gives the first active set; a primal-dual active-set loop then fixes free
variables that left their segment, releases fixed ones whose directional
derivative says the objective falls off the breakpoint, and moves inequality
rows, until nothing changes. The answer is certified by its KKT conditions
alone: primal violation, stationarity (the directional derivative of the
Lagrangian along ±eᵢ is ≥ 0 wherever x may move, which covers the signs of
the bound multipliers and |gᵢ| ≤ cᵢ at anchored assets), the signs of the
inequality multipliers and complementarity, each ≤ 1e-9. Problems that a
tight solve proves infeasible or unbounded are drawn again; problems whose
reference cannot be certified are reported and excluded.

The solver is any callable(problem, **settings) -> result with the
attributes of SolveResult (status, iterations, polished, objective, weights);
`reference` is PortfolioProblem.solve. Each problem is solved with the default
settings and again with polish=False (the iterate the polished solve started
from); --rho-sweep adds solves from each starting ρ in RHO_SWEEP.
"""

from __future__ import annotations

import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "RAYON_NUM_THREADS",
                  "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402
import importlib  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

from corpus_families import POSITIONAL, Case, build_problem, draw, slots  # noqa: E402

CERTIFY_TOLERANCE = 1e-9  # primal, stationarity, multiplier sign and complementarity bounds of a reference
AT_BREAKPOINT = 1e-11  # |xᵢ − breakpoint| under which xᵢ counts as sitting on it
ACTIVE_SET_TOLERANCE = 1e-11  # violations the active-set loop acts on
IDENTIFY_TOLERANCES = (1e-7, 1e-9, 1e-5)  # distance to a breakpoint that fixes a candidate's variable
MAX_ROUNDS = 60
TIGHT = {"absolute_tolerance": 1e-10, "relative_tolerance": 1e-10, "max_iterations": 100000, "raise_on_failure": False}
RHO_SWEEP = (0.01, 0.1, 1.0, 10.0, 100.0)
DEFAULT_CACHE = Path(__file__).resolve().parent.parent / "build" / "corpus"


# ----------------------------------------------------------------------------- the lowered QP

@dataclass
class Lowered:
    """The QP of a portfolio; P = diag(diagonal) + F·W·Fᵀ with W = λΩ."""

    factors: np.ndarray
    factor_quad: np.ndarray
    diagonal: np.ndarray
    q: np.ndarray
    eq_matrix: np.ndarray
    eq_rhs: np.ndarray
    in_matrix: np.ndarray
    in_rhs: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    costs: np.ndarray
    anchor: np.ndarray

    @property
    def n(self) -> int:
        return self.q.size

    def hessian_times(self, x: np.ndarray) -> np.ndarray:
        return self.diagonal * x + self.factors @ (self.factor_quad @ (self.factors.T @ x))

    def objective(self, x: np.ndarray) -> float:
        """½xᵀPx + qᵀx + Σcᵢ|xᵢ − aᵢ|, summed in the order morva sums it."""
        return float((0.5 * (x @ self.hessian_times(x)) + self.q @ x) + self.costs @ np.abs(x - self.anchor))

    def violation(self, x: np.ndarray) -> float:
        """The largest violation of any constraint (equality rows, inequality rows, box)."""
        return float(max(np.max(np.abs(self.eq_matrix @ x - self.eq_rhs), initial=0.0),
                         np.max(self.in_matrix @ x - self.in_rhs, initial=0.0),
                         np.max(self.lower - x), np.max(x - self.upper), 0.0))

    def breakpoints(self) -> np.ndarray:
        """3×n: lᵢ, uᵢ and the anchor where it has a cost and lies strictly inside the box (else NaN)."""
        inside = (self.costs > 0.0) & (self.anchor > self.lower) & (self.anchor < self.upper)
        return np.vstack([self.lower, self.upper, np.where(inside, self.anchor, np.nan)])


def lower_portfolio(kw: dict) -> Lowered:
    """The rules of the core's lowering, from the constructor keywords."""
    factors, omega, specific, returns = (np.asarray(kw[key], dtype=float) for key in POSITIONAL)
    n = returns.size
    risk_aversion = kw.get("risk_aversion", 1.0)
    penalty = kw.get("turnover_penalty", 0.0)
    anchor = kw.get("previous_weights")
    q = -returns.copy()
    if anchor is not None:
        q -= penalty * anchor
    benchmark = kw.get("benchmark_weights")
    if benchmark is not None:
        q -= risk_aversion * (specific * benchmark + factors @ (omega @ (factors.T @ benchmark)))
    costs = kw.get("l1_turnover_costs")
    costs = np.zeros(n) if costs is None or anchor is None else np.broadcast_to(np.asarray(costs, float), (n,)).copy()

    eq_rows, eq_rhs, in_rows, in_rhs = [np.ones((1, n))], [np.array([kw.get("budget", 1.0)])], [], []
    if kw.get("equality_matrix") is not None:
        eq_rows.append(kw["equality_matrix"]), eq_rhs.append(kw["equality_rhs"])
    if kw.get("inequality_matrix") is not None:
        in_rows.append(kw["inequality_matrix"]), in_rhs.append(kw["inequality_rhs"])
    ids = kw.get("industry_ids")
    if ids is not None:
        ids = np.asarray(ids)
        groups = int(ids.max()) + 1
        eq_rows.append((ids[None, :] == np.arange(groups)[:, None]).astype(float))
        targets = kw.get("industry_targets")
        eq_rhs.append(np.asarray(targets) if targets is not None else np.bincount(ids, benchmark, groups))
    if kw.get("style_matrix") is not None:
        rows, low, high = kw["style_matrix"], kw["style_lower"], kw["style_upper"]
        same = low == high
        eq_rows.append(rows[same]), eq_rhs.append(high[same])
        upper_side, lower_side = ~same & np.isfinite(high), ~same & np.isfinite(low)
        in_rows += [rows[upper_side], -rows[lower_side]]
        in_rhs += [high[upper_side], -low[lower_side]]
    lower = np.array(kw.get("lower_bounds", np.zeros(n)), dtype=float)
    upper = np.array(kw.get("upper_bounds", np.ones(n)), dtype=float)
    if kw.get("max_weight") is not None:
        lower, upper = np.maximum(lower, -kw["max_weight"]), np.minimum(upper, kw["max_weight"])
    if kw.get("max_short") is not None:
        lower = np.maximum(lower, -kw["max_short"])
    in_matrix = np.vstack(in_rows) if in_rows else np.zeros((0, n))
    return Lowered(factors, risk_aversion * omega, risk_aversion * specific + penalty, q, np.vstack(eq_rows),
                   np.concatenate(eq_rhs), in_matrix, np.concatenate(in_rhs) if in_rhs else np.zeros(0), lower, upper,
                   costs, np.zeros(n) if anchor is None else np.asarray(anchor, float))


# ----------------------------------------------------------------------------- KKT check

@dataclass
class Certificate:
    primal: float
    stationarity: float
    multiplier_sign: float
    complementarity: float

    def holds(self) -> bool:
        return max(self.primal, self.stationarity, self.multiplier_sign, self.complementarity) <= CERTIFY_TOLERANCE


def directional_derivatives(lp: Lowered, x: np.ndarray, gradient: np.ndarray):
    """Slopes of the Lagrangian moving xᵢ up and down (L1 term included) and where each move is blocked."""
    at_anchor = (lp.costs > 0.0) & (np.abs(x - lp.anchor) <= AT_BREAKPOINT)
    up_sign = np.where(at_anchor | (x > lp.anchor), 1.0, -1.0)
    down_sign = np.where(at_anchor | (x < lp.anchor), 1.0, -1.0)
    up = gradient + lp.costs * up_sign
    down = -gradient + lp.costs * down_sign
    return up, down, x >= lp.upper - AT_BREAKPOINT, x <= lp.lower + AT_BREAKPOINT


def certify(lp: Lowered, x: np.ndarray, y: np.ndarray, z: np.ndarray) -> Certificate:
    """KKT conditions of (x, equality multipliers y, inequality multipliers z ≥ 0), nothing else assumed."""
    slack = lp.in_rhs - lp.in_matrix @ x
    primal = lp.violation(x)
    gradient = lp.hessian_times(x) + lp.q + lp.eq_matrix.T @ y + lp.in_matrix.T @ z
    up, down, blocked_up, blocked_down = directional_derivatives(lp, x, gradient)
    stationarity = max(np.max(np.where(blocked_up, 0.0, -up)), np.max(np.where(blocked_down, 0.0, -down)), 0.0)
    return Certificate(float(primal), float(stationarity), float(max(np.max(-z, initial=0.0), 0.0)),
                       float(np.max(np.abs(z * np.maximum(slack, 0.0)), initial=0.0)))


# ----------------------------------------------------------------------------- the equality-constrained solve

def independent_rows(matrix: np.ndarray) -> np.ndarray:
    """Indices of a maximal set of linearly independent rows (pivoted QR of the transpose)."""
    if matrix.shape[0] == 0:
        return np.zeros(0, dtype=int)
    norms = np.linalg.norm(matrix, axis=1)
    nonzero = np.flatnonzero(norms > 0.0)
    if nonzero.size == 0:
        return nonzero
    _, r, pivots = scipy.linalg.qr((matrix[nonzero] / norms[nonzero, None]).T, mode="economic", pivoting=True)
    diagonal = np.abs(np.diag(r))
    rank = int(np.sum(diagonal > 1e-10 * diagonal[0]))
    return np.sort(nonzero[pivots[:rank]])


class ReducedKKT:
    """[D + G·W·Gᵀ, Aᵀ; A, 0]·[x; y] = [r; b] through the auxiliary w = W·Gᵀ·x:

        x = D⁻¹(r − G·w − Aᵀ·y)
        (I + W·GᵀD⁻¹G)·w + W·GᵀD⁻¹Aᵀ·y = W·GᵀD⁻¹r
        AD⁻¹G·w + AD⁻¹Aᵀ·y              = AD⁻¹r − b

    a (k + m)-square system that needs neither W⁻¹ nor anything n×n.
    """

    def __init__(self, diagonal, factors, factor_quad, rows):
        self.d, self.g, self.w, self.a = diagonal, factors, factor_quad, rows
        k, m = factors.shape[1], rows.shape[0]
        h = np.hstack([factors, rows.T])
        gram = h.T @ (h / diagonal[:, None])
        system = np.zeros((k + m, k + m))
        system[:k, :k] = np.eye(k) + factor_quad @ gram[:k, :k]
        system[:k, k:] = factor_quad @ gram[:k, k:]
        system[k:, :] = gram[k:, :]
        self.lu = scipy.linalg.lu_factor(system)
        self.k = k

    def solve(self, r: np.ndarray, b: np.ndarray):
        scaled = r / self.d
        rhs = np.concatenate([self.w @ (self.g.T @ scaled), self.a @ scaled - b])
        solution = scipy.linalg.lu_solve(self.lu, rhs)
        w, y = solution[:self.k], solution[self.k:]
        return (r - self.g @ w - self.a.T @ y) / self.d, y

    def refined(self, r: np.ndarray, b: np.ndarray, steps: int = 3):
        x, y = self.solve(r, b)
        for _ in range(steps):
            residual = r - (self.d * x + self.g @ (self.w @ (self.g.T @ x)) + self.a.T @ y)
            dx, dy = self.solve(residual, b - self.a @ x)
            x, y = x + dx, y + dy
        return x, y


@dataclass
class ActiveSet:
    """Per variable: fixed at a breakpoint, or free on an open segment with L1 slope cᵢ·sᵢ; active rows."""

    fixed: np.ndarray
    value: np.ndarray
    sign: np.ndarray
    segment_low: np.ndarray
    segment_high: np.ndarray
    active: np.ndarray

    def key(self) -> bytes:
        return self.fixed.tobytes() + np.where(self.fixed, self.value, 0.0).tobytes() + self.active.tobytes()


def segment_around(points: np.ndarray, x: np.ndarray):
    below = np.where(points < x, points, -np.inf)
    above = np.where(points > x, points, np.inf)
    return np.nanmax(below, axis=0), np.nanmin(above, axis=0)


def identify(lp: Lowered, candidate: np.ndarray, tolerance: float) -> ActiveSet:
    candidate = np.clip(candidate, lp.lower, lp.upper)
    points = lp.breakpoints()
    distance = np.where(np.isnan(points), np.inf, np.abs(candidate - points))
    nearest = np.argmin(distance, axis=0)
    fixed = distance[nearest, np.arange(lp.n)] <= tolerance * np.maximum(1.0, np.abs(candidate))
    value = np.where(fixed, points[nearest, np.arange(lp.n)], 0.0)
    low, high = segment_around(points, candidate)
    sign = np.where(lp.costs > 0.0, np.sign(candidate - lp.anchor), 0.0)
    slack = lp.in_rhs - lp.in_matrix @ candidate
    return ActiveSet(fixed, value, sign, low, high, slack <= tolerance * np.maximum(1.0, np.abs(lp.in_rhs)))


def solve_on(lp: Lowered, state: ActiveSet):
    """The exact minimiser on the active set: (x, equality multipliers, inequality multipliers)."""
    free = ~state.fixed
    fixed_x = state.value[state.fixed]
    rows = np.vstack([lp.eq_matrix, lp.in_matrix[state.active]])
    rhs = np.concatenate([lp.eq_rhs, lp.in_rhs[state.active]]) - rows[:, state.fixed] @ fixed_x
    rows_free = rows[:, free]
    coupling = lp.factors[free] @ (lp.factor_quad @ (lp.factors[state.fixed].T @ fixed_x))
    r = -(lp.q[free] + lp.costs[free] * state.sign[free] + coupling)
    keep = independent_rows(rows_free)
    kkt = ReducedKKT(lp.diagonal[free], lp.factors[free], lp.factor_quad, rows_free[keep])
    x_free, y_kept = kkt.refined(r, rhs[keep])
    x = state.value.copy()
    x[free] = x_free
    y = np.zeros(rows.shape[0])
    y[keep] = y_kept
    z = np.zeros(lp.in_rhs.size)
    z[state.active] = y[lp.eq_rhs.size:]
    return x, y[:lp.eq_rhs.size], z


def violations(lp: Lowered, state: ActiveSet, x, y, z):
    """Signed amounts by which each choice of the active set is wrong, for the loop to act on."""
    free = ~state.fixed
    leave_low = np.where(free, state.segment_low - x, -np.inf)
    leave_high = np.where(free, x - state.segment_high, -np.inf)
    gradient = lp.hessian_times(x) + lp.q + lp.eq_matrix.T @ y + lp.in_matrix.T @ z
    up, down, blocked_up, blocked_down = directional_derivatives(lp, x, gradient)
    release_up = np.where(state.fixed & ~blocked_up, -up, -np.inf)
    release_down = np.where(state.fixed & ~blocked_down, -down, -np.inf)
    drop_row = np.where(state.active, -z, -np.inf)
    add_row = np.where(state.active, -np.inf, lp.in_matrix @ x - lp.in_rhs)
    return leave_low, leave_high, release_up, release_down, drop_row, add_row


def apply_changes(lp: Lowered, state: ActiveSet, amounts, only_worst: bool) -> bool:
    """Acts on every violation above ACTIVE_SET_TOLERANCE (or on the worst one alone); False when none is."""
    worst = max(range(len(amounts)), key=lambda j: np.max(amounts[j], initial=-np.inf))
    if np.max(amounts[worst], initial=-np.inf) <= ACTIVE_SET_TOLERANCE:
        return False
    if only_worst:
        chosen = int(np.argmax(amounts[worst]))
        amounts = [np.full(a.shape, -np.inf) for a in amounts]
        amounts[worst][chosen] = np.inf
    leave_low, leave_high, release_up, release_down, drop_row, add_row = (a > ACTIVE_SET_TOLERANCE for a in amounts)
    state.value = np.where(leave_low, state.segment_low, np.where(leave_high, state.segment_high, state.value))
    state.fixed = state.fixed | leave_low | leave_high
    points = lp.breakpoints()
    for mask, upward in ((release_up, True), (release_down, False)):
        start = state.value[mask]
        low, high = segment_around(points[:, mask], start)
        state.segment_low[mask], state.segment_high[mask] = (start, high) if upward else (low, start)
        # The L1 slope of the segment entered: +cᵢ above the anchor, −cᵢ below.
        above_anchor = start >= lp.anchor[mask] if upward else start > lp.anchor[mask]
        state.sign[mask] = np.where(lp.costs[mask] > 0.0, np.where(above_anchor, 1.0, -1.0), 0.0)
        state.fixed[mask] = False
    state.active = (state.active & ~drop_row) | add_row
    return True


@dataclass
class Reference:
    weights: np.ndarray
    objective: float
    certificate: Certificate
    rounds: int
    source: str


def active_set_loop(lp: Lowered, state: ActiveSet, source: str) -> Reference | None:
    seen: set[bytes] = set()
    only_worst = False
    for rounds in range(1, MAX_ROUNDS + 1):
        x, y, z = solve_on(lp, state)
        if state.key() in seen:
            only_worst = True
        seen.add(state.key())
        if not apply_changes(lp, state, violations(lp, state, x, y, z), only_worst):
            certificate = certify(lp, x, y, z)
            return Reference(x, lp.objective(x), certificate, rounds, source) if certificate.holds() else None
    return None


def reference_from(lp: Lowered, candidates) -> Reference | None:
    for source, candidate in candidates:
        for tolerance in IDENTIFY_TOLERANCES:
            found = active_set_loop(lp, identify(lp, candidate, tolerance), f"{source}@{tolerance:g}")
            if found is not None:
                return found
    return None


def clarabel_weights(lp: Lowered) -> np.ndarray | None:
    """Clarabel on the lifting y = Fᵀx, t ≥ |x − a| (sparse KKT), or None when it fails."""
    import clarabel
    from scipy import sparse

    n, k = lp.n, lp.factors.shape[1]
    m = n if np.any(lp.costs > 0.0) else 0
    P = sparse.block_diag([sparse.diags(lp.diagonal), sparse.csc_matrix(lp.factor_quad), sparse.csc_matrix((m, m))])
    q = np.concatenate([lp.q, np.zeros(k), lp.costs if m else np.zeros(0)])

    def rows(x_part, y_part=None, t_part=None):
        count = x_part.shape[0]
        y_part = y_part if y_part is not None else sparse.csc_matrix((count, k))
        t_part = t_part if t_part is not None else sparse.csc_matrix((count, m))
        return sparse.hstack([sparse.csc_matrix(x_part), y_part, t_part])

    eye = sparse.identity(n, format="csc")
    zero = [rows(lp.factors.T, -sparse.identity(k)), rows(lp.eq_matrix)]
    zero_rhs = [np.zeros(k), lp.eq_rhs]
    finite_up, finite_low = np.isfinite(lp.upper), np.isfinite(lp.lower)
    nonneg = [rows(lp.in_matrix), rows(eye[finite_up]), rows(-eye[finite_low])]
    nonneg_rhs = [lp.in_rhs, lp.upper[finite_up], -lp.lower[finite_low]]
    if m:
        nonneg += [rows(eye, t_part=-eye), rows(-eye, t_part=-eye)]
        nonneg_rhs += [lp.anchor, -lp.anchor]
    A = sparse.vstack(zero + nonneg, format="csc")
    b = np.concatenate(zero_rhs + nonneg_rhs)
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = 1e-10
    settings.max_iter = 500
    cones = [clarabel.ZeroConeT(k + lp.eq_rhs.size), clarabel.NonnegativeConeT(A.shape[0] - k - lp.eq_rhs.size)]
    solution = clarabel.DefaultSolver(sparse.triu(P, format="csc"), q, A, b, cones, settings).solve()
    return np.array(solution.x[:n]) if str(solution.status) in ("Solved", "AlmostSolved") else None


# ----------------------------------------------------------------------------- the cache

@dataclass
class Built:
    case: Case
    reference: Reference | None
    outcome: str  # "certified", "infeasible or unbounded", "uncertified", "invalid"
    lowering_gap: float = 0.0  # |our objective − morva's| / max(1, |morva's|) on morva's tight answer
    detail: dict = field(default_factory=dict)


def build_reference(case: Case) -> Built:
    """A certified reference, started from a tight morva solve, else from Clarabel.

    A tight solve's infeasibility claim alone does not reject a problem: a
    certified KKT point proves it feasible and bounded, and the false claim is
    kept in the detail (tight_status)."""
    try:
        problem = build_problem(case.keywords)
        tight = problem.solve(**TIGHT)
    except (ValueError, RuntimeError) as error:
        return Built(case, None, "invalid", detail={"error": str(error)})
    lp = lower_portfolio(case.keywords)
    gap = abs(lp.objective(tight.weights) - tight.objective) / max(1.0, abs(tight.objective))
    found = reference_from(lp, [("morva", np.array(tight.weights))])
    if found is None:
        weights = clarabel_weights(lp)
        found = reference_from(lp, [("clarabel", weights)]) if weights is not None else None
    detail = {"tight_status": tight.status, "tight_iterations": tight.iterations,
              "tight_weights_error": float(np.max(np.abs(tight.weights - found.weights))) if found else None}
    if found is not None:
        return Built(case, found, "certified", gap, detail)
    claimed = tight.status in ("primal infeasible", "dual infeasible")
    return Built(case, None, "infeasible or unbounded" if claimed else "uncertified", gap, detail)


def keyword_arrays(keywords: dict) -> dict:
    return {f"kw_{key}": np.asarray(value) for key, value in keywords.items()}


def keywords_from(arrays) -> dict:
    keywords = {}
    for name in arrays.files:
        if name.startswith("kw_"):
            value = arrays[name]
            keywords[name[3:]] = value.item() if value.ndim == 0 else value
    return keywords


def set_directory(cache: Path, held_out: bool) -> Path:
    return cache / ("held_out" if held_out else "main")


def build_cache(cache: Path, held_out: bool, families=None, log=print) -> dict:
    directory = set_directory(cache, held_out)
    directory.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    entries, rejected = [], []
    for family, n, seed, count in slots(held_out, families):
        accepted = 0
        while accepted < count:
            case = draw(family, n, seed)
            seed += 1
            built = build_reference(case)
            if built.outcome != "certified":
                rejected.append({"name": case.name, "outcome": built.outcome, **built.detail})
                log(f"  {case.name}: {built.outcome} {built.detail}")
                continue
            accepted += 1
            file = f"{family}_n{n}_s{case.seed}.npz"
            np.savez(directory / file, reference_weights=built.reference.weights, **keyword_arrays(case.keywords))
            entries.append({"name": case.name, "family": family, "n": n, "k": case.k, "seed": case.seed, "file": file,
                            "reference_objective": built.reference.objective, "source": built.reference.source,
                            "rounds": built.reference.rounds, "certificate": vars(built.reference.certificate),
                            "lowering_gap": built.lowering_gap, **built.detail})
        log(f"{family:>17} n={n:<6} {count} problems ({time.perf_counter() - start:.0f} s)")
    manifest = {"held_out": held_out, "build_seconds": time.perf_counter() - start, "problems": entries,
                "rejected": rejected}
    (directory / "manifest.json").write_text(json.dumps(manifest, indent=1))
    return manifest


def load_manifest(cache: Path, held_out: bool) -> dict | None:
    path = set_directory(cache, held_out) / "manifest.json"
    return json.loads(path.read_text()) if path.exists() else None


# ----------------------------------------------------------------------------- measuring a solver

def reference_solver(problem, **settings):
    return problem.solve(**settings)


def resolve_solver(spec: str):
    """'reference', or a dotted path 'package.module.callable' (or 'package.module:callable')."""
    if spec == "reference":
        return reference_solver
    module, _, attribute = spec.rpartition(":") if ":" in spec else spec.rpartition(".")
    return getattr(importlib.import_module(module), attribute)


def parse_option(text: str):
    key, _, value = text.partition("=")
    try:
        return key, json.loads(value)
    except json.JSONDecodeError:
        return key, value


def answer(result, lp: Lowered, weights_ref: np.ndarray, objective_ref: float) -> dict:
    weights = np.asarray(result.weights)
    scale = max(1.0, abs(objective_ref))
    distance = float(np.max(np.abs(weights - weights_ref)))
    return {"status": result.status, "iterations": int(result.iterations), "polished": bool(result.polished),
            "objective_error": abs(result.objective - objective_ref) / scale,
            "weights_error": distance,
            "relative_weights_error": distance / max(1.0, float(np.max(np.abs(weights_ref)))),
            "reported_objective_gap": abs(lp.objective(weights) - result.objective) / scale,
            "violation": lp.violation(weights)}


def measure_problem(entry: dict, arrays, solve, options: dict, rho_sweep: bool) -> dict:
    keywords = keywords_from(arrays)
    problem = build_problem(keywords)
    lp = lower_portfolio(keywords)
    weights_ref, objective_ref = arrays["reference_weights"], entry["reference_objective"]
    start = time.perf_counter()
    polished = answer(solve(problem, raise_on_failure=False, **options), lp, weights_ref, objective_ref)
    seconds = time.perf_counter() - start
    iterate = answer(solve(problem, raise_on_failure=False, polish=False, **options), lp, weights_ref, objective_ref)
    farther = polished["weights_error"] > iterate["weights_error"]
    record = {"name": entry["name"], "family": entry["family"], "n": entry["n"], "k": entry["k"], "seconds": seconds,
              **polished, "iterate": iterate, "polish_farther": farther,
              "polish_worse": farther and polished["weights_error"] > 1.5 * iterate["weights_error"]
              and polished["weights_error"] > 1e-6}
    if rho_sweep:
        record["rho_sweep"] = {str(rho): (lambda r: {"status": r.status, "iterations": int(r.iterations)})(
            solve(problem, raise_on_failure=False, **{**options, "rho": rho})) for rho in RHO_SWEEP}
    return record


def best_start_iterations(record: dict, ceiling: int) -> int:
    solved = [r["iterations"] for r in record["rho_sweep"].values() if r["status"] == "solved"]
    return min(solved) if solved else ceiling


def percentiles(values) -> tuple[float, float, float]:
    values = np.asarray(values, dtype=float)
    return tuple(float(np.percentile(values, p, method="inverted_cdf")) for p in (50, 90, 99))


def summary_row(label: str, records: list[dict], ceiling: int) -> str:
    count = len(records)
    median, p90, p99 = percentiles([r["iterations"] for r in records])
    unsolved = sum(r["status"] != "solved" for r in records)
    objective_ok = 100.0 * sum(r["objective_error"] <= 1e-6 for r in records) / count
    weights_ok = 100.0 * sum(r["weights_error"] <= 1e-4 for r in records) / count
    relative_ok = 100.0 * sum(r["relative_weights_error"] <= 1e-4 for r in records) / count
    worse = sum(r["polish_worse"] for r in records)
    farther = sum(r["polish_farther"] for r in records)
    polished = sum(r["polished"] for r in records)
    row = (f"{label:>17} {count:5d} | {median:6.0f} {p90:6.0f} {p99:6.0f} | {unsolved:5d} | {objective_ok:6.1f}% "
           f"{weights_ok:6.1f}% {relative_ok:6.1f}% | {polished:5d} {worse:5d} {farther:5d}")
    if all("rho_sweep" in r for r in records):
        best = percentiles([best_start_iterations(r, ceiling) for r in records])
        row += " | " + " ".join(f"{v:6.0f}" for v in best)
    return row


def print_summary(records: list[dict], ceiling: int, title: str) -> None:
    sweep = all("rho_sweep" in r for r in records)
    print(title)
    print(f"{'':>17} {'':>5} | {'iterations':^20} | {'':5} | {'within':^22} | {'polish':^17}"
          + (f" | {'best starting rho':^20}" if sweep else ""))
    print(f"{'family':>17} {'count':>5} | {'median':>6} {'p90':>6} {'p99':>6} | {'fails':>5} | {'obj6':>7} {'w4':>7}"
          f" {'w4rel':>7} | {'done':>5} {'worse':>5} {'farth':>5}"
          + (f" | {'median':>6} {'p90':>6} {'p99':>6}" if sweep else ""))
    for family in dict.fromkeys(r["family"] for r in records):
        print(summary_row(family, [r for r in records if r["family"] == family], ceiling))
    print(summary_row("all", records, ceiling))
    print("obj6: objective within 1e-6·max(1, |reference|); w4: weights within 1e-4 (max abs); w4rel: within "
          "1e-4·max(1, max|reference weight|); fails: not 'solved';"
          " worse: polished answer > 1.5x and > 1e-6 farther from the reference than the unpolished iterate;"
          " farth: farther at all; best starting rho: fewest iterations over rho in "
          f"{list(RHO_SWEEP)} (unsolved counts {ceiling})")


def measure(args) -> None:
    manifest = load_manifest(args.cache, args.held_out)
    if manifest is None:
        print(f"building the {'held-out' if args.held_out else 'main'} cache in {args.cache}", file=sys.stderr)
        manifest = build_cache(args.cache, args.held_out, log=lambda text: print(text, file=sys.stderr))
    solve = resolve_solver(args.solver)
    options = dict(parse_option(text) for text in args.solver_option)
    entries = [e for e in manifest["problems"] if not args.families or e["family"] in args.families]
    directory = set_directory(args.cache, args.held_out)
    start = time.perf_counter()
    records = []
    for entry in entries:
        with np.load(directory / entry["file"]) as arrays:
            records.append(measure_problem(entry, arrays, solve, options, args.rho_sweep))
    seconds = time.perf_counter() - start
    ceiling = int(options.get("max_iterations", 10000))
    print_summary(records, ceiling, f"solver {args.solver} {options or ''} on the "
                  f"{'held-out' if args.held_out else 'main'} corpus: {len(records)} problems, {seconds:.0f} s")
    mismatched = [r["name"] for r in records if r["iterate"]["iterations"] != r["iterations"]]
    if mismatched:
        print(f"polish=False ran a different number of iterations on {len(mismatched)}: {mismatched[:5]}")
    if args.json:
        Path(args.json).write_text(json.dumps({"solver": args.solver, "options": options, "held_out": args.held_out,
                                               "seconds": seconds, "records": records}, indent=1))


def report_build(manifest: dict) -> None:
    problems = manifest["problems"]
    worst = {key: max(p["certificate"][key] for p in problems) for key in problems[0]["certificate"]}
    print(f"{len(problems)} certified references in {manifest['build_seconds']:.0f} s; worst residuals "
          + ", ".join(f"{key} {value:.1e}" for key, value in worst.items()))
    print(f"largest |our objective − morva's| / max(1, |objective|): {max(p['lowering_gap'] for p in problems):.1e}")
    print(f"largest distance of the tight morva answer from the reference: "
          f"{max(p['tight_weights_error'] for p in problems):.1e}")
    statuses: dict = {}
    for p in problems:
        statuses.setdefault(p["tight_status"], []).append(p["name"])
    print("tight morva solves: " + "; ".join(f"{status} {len(names)}" + (f" {names[:4]}" if status != "solved" else "")
                                            for status, names in statuses.items()))
    for outcome in ("infeasible or unbounded", "invalid", "uncertified"):
        names = [r["name"] for r in manifest["rejected"] if r["outcome"] == outcome]
        print(f"{outcome}: {len(names)} {names[:8]}")
    counts: dict = {}
    for p in problems:
        counts.setdefault(p["family"], {}).setdefault(p["n"], 0)
        counts[p["family"]][p["n"]] += 1
    for family, sizes in counts.items():
        print(f"{family:>17}: " + ", ".join(f"n={n} x{count}" for n, count in sizes.items()))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["build", "measure"])
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE)
    parser.add_argument("--held-out", action="store_true", help="the held-out set instead of the main corpus")
    parser.add_argument("--families", nargs="*", help="only these families (build: the manifest holds only them)")
    parser.add_argument("--solver", default="reference")
    parser.add_argument("--solver-option", action="append", default=[], metavar="KEY=VALUE",
                        help="extra keyword for every solve (value read as JSON when it parses)")
    parser.add_argument("--rho-sweep", action="store_true", help=f"also solve from each starting rho in {RHO_SWEEP}")
    parser.add_argument("--json", help="write the per-problem records here")
    args = parser.parse_args()
    if args.command == "build":
        report_build(build_cache(args.cache, args.held_out, args.families))
    else:
        measure(args)


if __name__ == "__main__":
    main()
