"""An independent solution of the portfolio QP with Clarabel (interior point).

The portfolio is formed densely from the raw inputs, without going through
morva:

    minimise ½·xᵀ(λΣ + τI)x + (−μ − τx⁰ − λΣb)ᵀx + Σ cᵢ|xᵢ − x⁰ᵢ|
    subject to Σx = B, A_eq x = b_eq, group rows, style rows,
               A_in x ≤ b_in, l ≤ x ≤ u (after the weight and short limits),

with Σ = diag(d) + F·Ω·Fᵀ. The L1 term uses auxiliary variables t ≥ |x − x⁰|
so the problem stays a QP over (x, t): minimise … + cᵀt with x − t ≤ x⁰ and
−x − t ≤ −x⁰; a gross-leverage limit Σ|xᵢ| ≤ L likewise takes g ≥ |x| with
x − g ≤ 0, −x − g ≤ 0 and Σg ≤ L.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import clarabel
import numpy as np
from scipy import sparse


@dataclass
class Portfolio:
    """Raw inputs of a portfolio, mirroring the PortfolioProblem keywords."""

    factors: np.ndarray
    omega: np.ndarray
    specific_variance: np.ndarray
    expected_returns: np.ndarray
    options: dict = field(default_factory=dict)

    @property
    def n(self) -> int:
        return self.expected_returns.size

    def covariance(self) -> np.ndarray:
        return np.diag(self.specific_variance) + self.factors @ self.omega @ self.factors.T

    def keywords(self) -> dict:
        return dict(self.options)


@dataclass
class ReferenceSolution:
    weights: np.ndarray
    objective: float


def objective(portfolio: Portfolio, x: np.ndarray) -> float:
    """½xᵀPx + qᵀx + Σ cᵢ|xᵢ − x⁰ᵢ| of the lowered QP (constants dropped)."""
    P, q, costs, anchor = quadratic_terms(portfolio)
    value = 0.5 * x @ P @ x + q @ x
    if costs is not None:
        value += costs @ np.abs(x - anchor)
    return float(value)


def quadratic_terms(portfolio: Portfolio):
    o = portfolio.options
    n = portfolio.n
    sigma = portfolio.covariance()
    risk_aversion = o.get("risk_aversion", 1.0)
    penalty = o.get("turnover_penalty", 0.0)
    P = risk_aversion * sigma + penalty * np.eye(n)
    q = -portfolio.expected_returns.copy()
    anchor = o.get("previous_weights")
    if anchor is not None:
        q -= penalty * anchor
    if o.get("benchmark_weights") is not None:
        q -= risk_aversion * sigma @ o["benchmark_weights"]
    costs = o.get("l1_turnover_costs")
    if costs is not None and np.isscalar(costs):
        costs = np.full(n, float(costs))
    if anchor is None:
        costs = None
    return P, q, costs, anchor


def constraint_rows(portfolio: Portfolio):
    """(equality rows, rhs), (inequality rows, rhs), (lower, upper)."""
    o = portfolio.options
    n = portfolio.n
    eq_rows = [np.ones(n)]
    eq_rhs = [o.get("budget", 1.0)]
    in_rows: list[np.ndarray] = []
    in_rhs: list[float] = []
    if o.get("equality_matrix") is not None:
        eq_rows += list(o["equality_matrix"])
        eq_rhs += list(o["equality_rhs"])
    if o.get("inequality_matrix") is not None:
        in_rows += list(o["inequality_matrix"])
        in_rhs += list(o["inequality_rhs"])
    ids = o.get("industry_ids")
    if ids is not None:
        ids = np.asarray(ids)
        targets = o.get("industry_targets")
        for g in range(ids.max() + 1):
            members = ids == g
            eq_rows.append(members.astype(float))
            if targets is not None:
                eq_rhs.append(targets[g])
            else:
                eq_rhs.append(o["benchmark_weights"][members].sum())
    if o.get("style_matrix") is not None:
        for row, low, high in zip(o["style_matrix"], o["style_lower"], o["style_upper"]):
            if low == high:
                eq_rows.append(row)
                eq_rhs.append(high)
                continue
            if np.isfinite(high):
                in_rows.append(row)
                in_rhs.append(high)
            if np.isfinite(low):
                in_rows.append(-row)
                in_rhs.append(-low)
    lower = np.array(o.get("lower_bounds", np.zeros(n)), dtype=float)
    upper = np.array(o.get("upper_bounds", np.ones(n)), dtype=float)
    if o.get("max_weight") is not None:
        lower = np.maximum(lower, -o["max_weight"])
        upper = np.minimum(upper, o["max_weight"])
    if o.get("max_short") is not None:
        lower = np.maximum(lower, -o["max_short"])
    return (np.array(eq_rows), np.array(eq_rhs)), (np.array(in_rows).reshape(-1, n), np.array(in_rhs)), (lower, upper)


def reference_solve(portfolio: Portfolio) -> ReferenceSolution:
    n = portfolio.n
    P, q, costs, anchor = quadratic_terms(portfolio)
    (A_eq, b_eq), (A_in, b_in), (lower, upper) = constraint_rows(portfolio)

    with_l1 = costs is not None
    leverage = portfolio.options.get("gross_leverage")
    width = n * (1 + with_l1 + (leverage is not None))
    P_full = np.zeros((width, width))
    P_full[:n, :n] = P
    q_full = np.concatenate([q, costs if with_l1 else [], np.zeros(width - n - n * with_l1)])

    def widen(rows: np.ndarray) -> np.ndarray:
        return np.hstack([rows, np.zeros((rows.shape[0], width - rows.shape[1]))])

    zero_rows = widen(A_eq)
    nonneg_rows = [widen(A_in)]
    nonneg_rhs = [b_in]
    identity = np.eye(n)
    finite_upper = np.isfinite(upper)
    finite_lower = np.isfinite(lower)
    nonneg_rows += [widen(identity[finite_upper]), widen(-identity[finite_lower])]
    nonneg_rhs += [upper[finite_upper], -lower[finite_lower]]
    if with_l1:
        # x − t ≤ x⁰ and −x − t ≤ −x⁰
        nonneg_rows += [widen(np.hstack([identity, -identity])), widen(np.hstack([-identity, -identity]))]
        nonneg_rhs += [anchor, -anchor]
    if leverage is not None:
        gross = np.zeros((n, width - 2 * n))
        nonneg_rows += [np.hstack([identity, gross, -identity]), np.hstack([-identity, gross, -identity]),
                        np.hstack([np.zeros((1, width - n)), np.ones((1, n))])]
        nonneg_rhs += [np.zeros(2 * n), [leverage]]
    A_nonneg = np.vstack(nonneg_rows)
    b_nonneg = np.concatenate(nonneg_rhs)

    A = sparse.csc_matrix(np.vstack([zero_rows, A_nonneg]))
    b = np.concatenate([b_eq, b_nonneg])
    cones = [clarabel.ZeroConeT(zero_rows.shape[0]), clarabel.NonnegativeConeT(A_nonneg.shape[0])]
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.tol_gap_abs = 1e-11
    settings.tol_gap_rel = 1e-11
    settings.tol_feas = 1e-11
    settings.max_iter = 500
    solver = clarabel.DefaultSolver(sparse.triu(sparse.csc_matrix(P_full), format="csc"), q_full, A, b, cones, settings)
    solution = solver.solve()
    if str(solution.status) not in ("Solved", "AlmostSolved"):
        raise AssertionError(f"reference solver failed: {solution.status}")
    x = np.array(solution.x[:n])
    return ReferenceSolution(weights=x, objective=objective(portfolio, x))
