"""Seeded generators of the portfolio families of the profile corpus.

Every generator returns the keyword arguments of ``PortfolioProblem`` (the
four positional arrays included under their keyword names), so a case is
plain data: it is cached as arrays and rebuilt into a problem with
``build_problem``. The same (family, n, seed) always gives the same arrays.

- random: the spirit of the engine tests' random portfolio, at annualised
  magnitudes: random factors, dense or diagonal Ω, a budget of 1, 0 or other,
  long-only, long-short or half-open boxes, random equality and inequality
  rows, quadratic and L1 turnover, a benchmark, industry targets or
  neutrality, style bands and the weight and short limits. Every draw is
  built around a point x_f inside all of its constraints, so it is feasible;
  the specific variances are positive, so it is bounded.
- dollar_neutral: long-short books with budget 0 and open positions, specific
  variances down to 1e-4 and risk aversions down to 0.05 (optimal positions
  from units to thousands, where the dual residual lags at the default ρ),
  some with L1 anchors, a style band or a factor-neutral row.
- industry, statistical: ``peer_bench.py``'s families as they are.
- long_only: the industry factor model (market, one industry per asset,
  dense styles) with only a budget of 1, caps clip(10/n, 0.005, 0.1) and
  risk aversion 0.05·n.
- industry_tracking: the industry family's benchmark, industry neutrality and
  style and beta bands, without turnover terms (pure active-risk tracking).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import peer_bench
from _morva import PortfolioProblem  # the reference engine: `problem.solve()` is the "reference" solver

POSITIONAL = ("factors", "omega", "specific_variance", "expected_returns")


@dataclass
class Case:
    """One corpus problem: where it comes from and its constructor keywords."""

    family: str
    n: int
    seed: int
    keywords: dict

    @property
    def name(self) -> str:
        return f"{self.family}/n{self.n}/s{self.seed}"

    @property
    def k(self) -> int:
        return self.keywords["factors"].shape[1]


def build_problem(keywords: dict) -> PortfolioProblem:
    rest = {key: value for key, value in keywords.items() if key not in POSITIONAL}
    return PortfolioProblem(*(keywords[key] for key in POSITIONAL), **rest)


# ----------------------------------------------------------------------------- random

def point_in_box(lower: np.ndarray, upper: np.ndarray, centre: np.ndarray, total: float) -> np.ndarray | None:
    """clip(centre + t, lower, upper) with the t that makes it sum to total (bisection), or None."""
    if lower.sum() > total or upper.sum() < total:
        return None
    low, high = -1.0, 1.0
    while np.clip(centre + low, lower, upper).sum() > total:
        low *= 2.0
    while np.clip(centre + high, lower, upper).sum() < total:
        high *= 2.0
    for _ in range(200):
        middle = 0.5 * (low + high)
        if np.clip(centre + middle, lower, upper).sum() < total:
            low = middle
        else:
            high = middle
    point = np.clip(centre + high, lower, upper)
    # The last ulps of the sum go to an asset strictly inside its box.
    inside = np.flatnonzero((point > lower) & (point < upper))
    if inside.size:
        point[inside[0]] += total - point.sum()
    return point


def random_box(rng, n: int, budget: float) -> tuple[np.ndarray, np.ndarray]:
    mode = rng.choice(["long_only", "long_short", "half_open"]) if budget != 0.0 else rng.choice(
        ["long_short", "half_open"])
    if mode == "long_only":
        return np.zeros(n), np.full(n, min(1.0, rng.uniform(2.0, 20.0) / n))
    width = rng.uniform(2.0, 10.0) / n
    lower = -width * rng.uniform(0.5, 1.5, n)
    upper = width * rng.uniform(0.5, 1.5, n) + max(budget, 0.0) / n
    if mode == "half_open":
        lower[rng.random(n) < 0.4] = -np.inf
        upper[rng.random(n) < 0.4] = np.inf
    return lower, upper


def random_model(rng, n: int) -> dict:
    k = int(rng.integers(1, min(20, max(2, n // 5)) + 1))
    if rng.random() < 0.5:
        root = rng.normal(0.0, 0.1, size=(k, k))
        omega = root @ root.T + 0.005 * np.eye(k)
        omega = 0.5 * (omega + omega.T)
    else:
        omega = np.diag(rng.uniform(0.001, 0.04, k))
    return {
        "factors": rng.normal(0.0, 1.0, size=(n, k)), "omega": omega,
        "specific_variance": rng.uniform(0.01, 0.09, n),
        "expected_returns": rng.normal(rng.choice([0.0, 0.05]), 0.05, n),
        "risk_aversion": float(np.exp(rng.uniform(np.log(0.5), np.log(20.0)))),
    }


def industry_plan(rng, n: int, keywords: dict, lower, upper) -> tuple[np.ndarray | None, np.ndarray | None]:
    """Industry ids and, under neutrality, the feasible point that meets the benchmark's group sums."""
    if rng.random() >= 0.3:
        return None, None
    groups = int(rng.integers(2, max(3, min(30, n // 5)) + 1))
    ids = np.arange(n) % groups
    rng.shuffle(ids)
    benchmark = keywords.get("benchmark_weights")
    if benchmark is None or keywords["budget"] != 1.0 or rng.random() < 0.5:
        return ids, None
    point = np.zeros(n)
    for g in range(groups):
        members = ids == g
        part = point_in_box(lower[members], upper[members], benchmark[members], benchmark[members].sum())
        if part is None:
            return ids, None
        point[members] = part
    return ids, point


def random_rows(rng, keywords: dict, point: np.ndarray) -> None:
    """Equality, inequality and style rows that the feasible point satisfies."""
    n = point.size
    scale = max(np.linalg.norm(point), 1e-3)
    if rng.random() < 0.3:
        rows = rng.normal(size=(int(rng.integers(1, 4)), n))
        keywords.update(equality_matrix=rows, equality_rhs=rows @ point)
    if rng.random() < 0.4:
        rows = rng.normal(size=(int(rng.integers(1, 4)), n))
        keywords.update(inequality_matrix=rows, inequality_rhs=rows @ point + rng.uniform(0.0, 1.0, len(rows)) * scale)
    if rng.random() < 0.3:
        rows = rng.normal(size=(int(rng.integers(1, 4)), n))
        centre = rows @ point
        low = centre - rng.uniform(0.0, 0.5, len(rows)) * scale
        high = centre + rng.uniform(0.0, 0.5, len(rows)) * scale
        for r, kind in enumerate(rng.integers(0, 4, len(rows))):
            if kind == 1:
                low[r] = -np.inf
            elif kind == 2:
                high[r] = np.inf
            elif kind == 3:
                low[r] = high[r] = centre[r]
        keywords.update(style_matrix=rows, style_lower=low, style_upper=high)


def random_portfolio(n: int, seed: int) -> dict:
    rng = np.random.default_rng(seed)
    keywords = random_model(rng, n)
    keywords["budget"] = float(rng.choice([1.0, 1.0, 1.0, 0.0, rng.uniform(0.5, 1.5)]))
    lower, upper = random_box(rng, n, keywords["budget"])
    keywords.update(lower_bounds=lower, upper_bounds=upper)
    if rng.random() < 0.4:
        keywords["benchmark_weights"] = rng.dirichlet(np.ones(n))
    ids, point = industry_plan(rng, n, keywords, lower, upper)
    if point is None:
        centre = keywords["budget"] / n + rng.normal(0.0, 1.0 / n, n)
        point = point_in_box(lower, upper, centre, keywords["budget"])
    if ids is not None:
        keywords["industry_ids"] = ids
        if "benchmark_weights" not in keywords or not np.allclose(
                np.bincount(ids, weights=point), np.bincount(ids, weights=keywords["benchmark_weights"]), atol=1e-13):
            keywords["industry_targets"] = np.bincount(ids, weights=point)
    random_rows(rng, keywords, point)
    if rng.random() < 0.5:
        previous = np.clip(point + rng.normal(0.0, 1.0 / n, n), lower, upper)
        keywords.update(previous_weights=previous, turnover_penalty=float(rng.choice([0.0, rng.uniform(0.0, 2.0)])))
        if rng.random() < 0.4:
            costs = rng.uniform(0.0, 0.01) if rng.random() < 0.5 else rng.uniform(0.0, 0.02, n)
            keywords["l1_turnover_costs"] = costs
    if rng.random() < 0.2:
        keywords["max_weight"] = float(np.max(np.abs(point)) * rng.uniform(1.0, 3.0))
    if rng.random() < 0.2:
        keywords["max_short"] = float(max(-point.min(), 0.0) * rng.uniform(1.0, 3.0) + rng.uniform(0.0, 0.02))
    return keywords


def dollar_neutral_portfolio(n: int, seed: int) -> dict:
    rng = np.random.default_rng(seed)
    k = int(rng.integers(2, 6))
    keywords = {
        "factors": rng.normal(size=(n, k)), "omega": np.diag(rng.uniform(0.01, 0.05, k)),
        "specific_variance": rng.uniform(0.01, 0.09, n) * 10.0 ** rng.uniform(-2.0, 0.0),
        "expected_returns": rng.normal(0.05, 0.05, n),
        "risk_aversion": float(np.exp(rng.uniform(np.log(0.05), np.log(5.0)))), "budget": 0.0,
        "lower_bounds": np.full(n, -np.inf), "upper_bounds": np.full(n, np.inf),
    }
    variant = rng.choice(["plain", "plain", "l1", "style", "factor_neutral"])
    if variant == "l1":
        previous = rng.normal(0.0, 5.0 / n, n)
        keywords.update(previous_weights=previous - previous.mean(), l1_turnover_costs=rng.uniform(0.0, 0.01, n))
    elif variant == "style":
        rows = rng.normal(size=(int(rng.integers(1, 3)), n))
        width = rng.uniform(0.1, 1.0, len(rows))
        keywords.update(style_matrix=rows, style_lower=-width, style_upper=width)
    elif variant == "factor_neutral":
        keywords.update(equality_matrix=keywords["factors"][:, :1].T.copy(), equality_rhs=np.zeros(1))
    return keywords


# ----------------------------------------------------------------------------- the peer benchmark's model

def peer_keywords(p: peer_bench.Portfolio) -> dict:
    """The keywords of peer_bench.morva_problem(p), as arrays."""
    keywords = {"factors": p.factors, "omega": p.omega, "specific_variance": p.specific,
                "expected_returns": p.returns, "risk_aversion": peer_bench.RISK_AVERSION,
                "lower_bounds": np.zeros(p.n), "upper_bounds": np.full(p.n, p.upper)}
    if p.benchmark is not None:
        keywords.update(benchmark_weights=p.benchmark, industry_ids=p.industry_ids, style_matrix=p.band_rows,
                        style_lower=p.band_lower, style_upper=p.band_upper)
    if p.previous is not None:
        keywords.update(previous_weights=p.previous, turnover_penalty=p.turnover, l1_turnover_costs=p.l1_costs)
    return keywords


def peer_factor_count(n: int) -> int:
    return 100 if n >= 10000 else 50


def industry(n: int, seed: int) -> dict:
    return peer_keywords(peer_bench.industry_portfolio(n, peer_factor_count(n), seed))


def statistical(n: int, seed: int) -> dict:
    k = peer_factor_count(n) if n >= 1000 else 20
    return peer_keywords(peer_bench.statistical_portfolio(n, k, seed))


def industry_tracking(n: int, seed: int) -> dict:
    keywords = industry(n, seed)
    for key in ("previous_weights", "turnover_penalty", "l1_turnover_costs"):
        del keywords[key]
    return keywords


def long_only(n: int, seed: int) -> dict:
    p = peer_bench.industry_portfolio(n, peer_factor_count(n), seed)
    cap = float(np.clip(10.0 / n, 0.005, 0.1))
    return {"factors": p.factors, "omega": p.omega, "specific_variance": p.specific, "expected_returns": p.returns,
            "risk_aversion": 0.05 * n, "budget": 1.0, "lower_bounds": np.zeros(n), "upper_bounds": np.full(n, cap)}


GENERATORS = {
    "random": random_portfolio,
    "dollar_neutral": dollar_neutral_portfolio,
    "industry": industry,
    "statistical": statistical,
    "long_only": long_only,
    "industry_tracking": industry_tracking,
}

# family -> [(n, count)] of the main corpus; the held-out set takes a third
# of each count (at least one) from a disjoint seed range.
COMPOSITION = {
    "random": [(20, 25), (50, 25), (100, 25), (200, 25), (500, 25), (1000, 20), (2000, 15)],
    "dollar_neutral": [(20, 12), (50, 12), (100, 12), (200, 8), (500, 6)],
    "industry": [(300, 20), (1000, 20), (2000, 15), (10000, 3)],
    "statistical": [(300, 20), (1000, 20), (2000, 15), (10000, 3)],
    "long_only": [(500, 20), (2000, 15), (10000, 3)],
    "industry_tracking": [(300, 15), (1000, 15), (2000, 10)],
}
HELD_OUT_SEED_OFFSET = 1_000_000


def slots(held_out: bool, families=None):
    """(family, n, first seed, count) of each size of the chosen set."""
    for index, (family, sizes) in enumerate(COMPOSITION.items()):
        if families and family not in families:
            continue
        for n, count in sizes:
            first = 100_000 * index + 10 * n + (HELD_OUT_SEED_OFFSET if held_out else 0)
            yield family, n, first, max(1, count // 3) if held_out else count


def draw(family: str, n: int, seed: int) -> Case:
    return Case(family, n, seed, GENERATORS[family](n, seed))
