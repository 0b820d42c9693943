"""morva against general-purpose QP solvers, side by side in one run.

Four families of generated portfolios:

- industry: the shape of a vendor risk model. F has a market column, one 0/1
  column per industry (each asset in exactly one industry) and a dozen dense
  style columns; Ω is a dense factor covariance. The portfolio tracks a
  cap-weighted benchmark, is industry-neutral to it, keeps its style and beta
  exposures within bands around the benchmark's, is long-only with a maximum
  weight and pays quadratic and L1 turnover against its current holdings.
- statistical: k dense factors with a diagonal Ω; long-only, budget, maximum
  weight.
- long-only: the industry model with only a budget, small caps and a large
  risk aversion; 130/30: the industry model, weights in [−0.05, 0.05] and a
  gross-leverage limit Σ|x| ≤ 1.6 (the package's; the peers lift it with
  t ≥ |x|, Σt ≤ 1.6).

The peers (Clarabel, interior point; OSQP, ADMM) get the standard sparse
lifting y = Fᵀx through their native APIs, so their KKT systems stay sparse:

    minimise ½xᵀ(λD + τI)x + ½yᵀ(λΩ)y + qᵀx + cᵀt
    subject to Fᵀx − y = 0, the equality rows, the inequality rows, l ≤ x ≤ u,
               x − t ≤ x⁰, −x − t ≤ −x⁰,

with q = −μ − τx⁰ − λΣb (t only when there are L1 costs). Every answer is
judged by the same external check on the raw data: the portfolio objective in
original units and the worst violation of any constraint.

Everything runs on one thread (the thread variables below are set before
NumPy loads). Times are the best of --repeats runs: morva's is
PortfolioProblem.solve (lowering, equilibration, factorisation, iterations,
polishing); a peer's is its solver construction plus solve, from prepared
sparse matrices. The rolling rows time one date (new expected returns, anchored
at the previous date's weights) of the reference PortfolioSequence.solve_next
and of the package's morva.Rolling (the whole sequence replayed --repeats
times, its fastest run counting) against Clarabel solving that date from
scratch. The batch row runs morva.solve_batch over 16 accounts x 5 dates with
chained anchors against Clarabel solving each of those dates from scratch. The memory column is the growth of the
peak resident set over the morva solve, measured in a fresh process.

    python bench/peer_bench.py [--quick] [--repeats 3] [--no-osqp] [--dates 10] [--held-out K]
"""

from __future__ import annotations

import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "RAYON_NUM_THREADS",
                  "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402
import importlib.util  # noqa: E402
import inspect  # noqa: E402
import json  # noqa: E402
import resource  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field, replace  # noqa: E402

import numpy as np  # noqa: E402
from scipy import sparse  # noqa: E402

import morva  # noqa: E402
from _morva import PortfolioProblem  # noqa: E402  (the reference engine: its solve and sequence)

STYLES = 12
RISK_AVERSION = 8.0
TURNOVER_PENALTY = 3.0
L1_COST = 5e-4
STYLE_BAND = 0.1
BETA_BAND = 0.05


@dataclass
class Portfolio:
    """Raw data of one generated portfolio (no morva types)."""

    family: str
    factors: np.ndarray  # n×k
    omega: np.ndarray  # k×k
    specific: np.ndarray  # n
    returns: np.ndarray  # μ, n
    upper: float  # long-only, x ≤ upper
    benchmark: np.ndarray | None = None
    previous: np.ndarray | None = None
    industry_ids: np.ndarray | None = None
    band_rows: np.ndarray | None = None  # r×n, lo ≤ rows·x ≤ hi
    band_lower: np.ndarray | None = None
    band_upper: np.ndarray | None = None
    l1_costs: np.ndarray | None = None
    turnover: float = 0.0
    lower: float = 0.0  # x ≥ lower
    gross: float | None = None  # Σ|x| ≤ gross
    extra: dict = field(default_factory=dict)

    @property
    def n(self) -> int:
        return self.returns.size

    @property
    def k(self) -> int:
        return self.factors.shape[1]

    @property
    def risk_aversion(self) -> float:
        return self.extra.get("risk_aversion", RISK_AVERSION)


def correlated_covariance(rng, volatilities: np.ndarray) -> np.ndarray:
    k = volatilities.size
    loadings = rng.normal(size=(k, k))
    covariance = loadings @ loadings.T + k * np.eye(k)
    scale = 1.0 / np.sqrt(np.diag(covariance))
    omega = covariance * np.outer(scale, scale) * np.outer(volatilities, volatilities)
    return 0.5 * (omega + omega.T)


def industry_model(rng, n: int, k: int, styles: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Industry ids, F = [market, one 0/1 column per industry, dense styles] and a dense Ω."""
    industries = k - 1 - styles
    ids = np.arange(n) % industries
    rng.shuffle(ids)
    factors = np.zeros((n, k))
    factors[:, 0] = rng.normal(1.0, 0.25, size=n)
    factors[np.arange(n), 1 + ids] = 1.0
    factors[:, 1 + industries:] = rng.normal(size=(n, styles))
    volatilities = np.concatenate(([0.16], rng.uniform(0.03, 0.08, industries), rng.uniform(0.01, 0.04, styles)))
    return ids, factors, correlated_covariance(rng, volatilities)


def industry_portfolio(n: int, k: int, seed: int) -> Portfolio:
    """Market + (k − 13) industries + 12 styles; dense Ω; tracking, neutral, banded."""
    rng = np.random.default_rng(seed)
    ids, factors, omega = industry_model(rng, n, k, STYLES)
    industries = k - 1 - STYLES
    caps = rng.lognormal(0.0, 1.0, size=n)
    benchmark = caps / caps.sum()
    drift = benchmark * rng.lognormal(0.0, 0.3, size=n)
    previous = drift / drift.sum()
    band_rows = factors[:, [*range(1 + industries, k), 0]].T.copy()  # styles, then beta
    centre = band_rows @ benchmark
    width = np.full(STYLES + 1, STYLE_BAND)
    width[-1] = BETA_BAND
    return Portfolio(
        family="industry", factors=factors, omega=omega, specific=rng.uniform(0.15, 0.40, size=n) ** 2,
        returns=0.03 * rng.normal(size=n), upper=max(0.05, 5.0 / n), benchmark=benchmark, previous=previous,
        industry_ids=ids, band_rows=band_rows, band_lower=centre - width, band_upper=centre + width,
        l1_costs=np.full(n, L1_COST), turnover=TURNOVER_PENALTY,
    )


def long_only_portfolio(n: int, k: int, seed: int) -> Portfolio:
    """Market + (k − 11) industries + 10 styles; dense Ω; long-only with caps clip(10/n, 0.005, 0.1),
    budget 1, risk aversion 0.05·n, no benchmark and no turnover."""
    rng = np.random.default_rng(seed)
    _, factors, omega = industry_model(rng, n, k, 10)
    return Portfolio(
        family="long-only", factors=factors, omega=omega,
        specific=rng.uniform(0.15, 0.40, size=n) ** 2, returns=0.03 * rng.normal(size=n),
        upper=float(np.clip(10.0 / n, 0.005, 0.1)), extra={"risk_aversion": 0.05 * n},
    )


def long_short_portfolio(n: int, k: int, seed: int) -> Portfolio:
    """A 130/30 book: the industry model's F and Ω, weights in [−0.05, 0.05], budget 1 and
    gross leverage Σ|x| ≤ 1.6."""
    rng = np.random.default_rng(seed)
    _, factors, omega = industry_model(rng, n, k, STYLES)
    return Portfolio(family="130/30", factors=factors, omega=omega, specific=rng.uniform(0.15, 0.40, size=n) ** 2,
                     returns=0.03 * rng.normal(size=n), upper=0.05, lower=-0.05, gross=1.6)


def statistical_portfolio(n: int, k: int, seed: int) -> Portfolio:
    """k dense factors, diagonal Ω; long-only, budget, maximum weight."""
    rng = np.random.default_rng(seed)
    factors = rng.normal(size=(n, k))
    omega = np.diag(rng.uniform(0.0004, 0.004, size=k))
    return Portfolio(
        family="statistical", factors=factors, omega=omega, specific=rng.uniform(0.15, 0.40, size=n) ** 2,
        returns=0.03 * rng.normal(size=n), upper=max(0.01, 5.0 / n),
    )


def covariance_times(p: Portfolio, v: np.ndarray) -> np.ndarray:
    return p.specific * v + p.factors @ (p.omega @ (p.factors.T @ v))


def morva_problem(p: Portfolio, factors=None) -> PortfolioProblem:
    """The reference engine's problem of ``p`` (the package's where it has a gross limit or
    ``factors`` is given: F as the user holds it, a SciPy sparse matrix for instance)."""
    keywords = dict(risk_aversion=p.risk_aversion, lower_bounds=np.full(p.n, p.lower),
                    upper_bounds=np.full(p.n, p.upper))
    if p.benchmark is not None:
        keywords.update(benchmark_weights=p.benchmark, industry_ids=p.industry_ids,
                        style_matrix=p.band_rows, style_lower=p.band_lower, style_upper=p.band_upper)
    if p.previous is not None:
        keywords.update(previous_weights=p.previous, turnover_penalty=p.turnover, l1_turnover_costs=p.l1_costs)
    if p.gross is not None:  # a limit of the package's problem, which the reference engine's lacks
        keywords["gross_leverage"] = p.gross
    if p.gross is not None or factors is not None:
        factors = p.factors if factors is None else factors
        return morva.PortfolioProblem(factors, p.omega, p.specific, p.returns, **keywords)
    return PortfolioProblem(p.factors, p.omega, p.specific, p.returns, **keywords)


# ----------------------------------------------------------------------------- the external judge

def objective(p: Portfolio, x: np.ndarray) -> float:
    """½λ(x − b)ᵀΣ(x − b) − μᵀx + ½τ‖x − x⁰‖² + Σ cᵢ|xᵢ − x⁰ᵢ| in original units."""
    active = x - p.benchmark if p.benchmark is not None else x
    value = 0.5 * p.risk_aversion * active @ covariance_times(p, active) - p.returns @ x
    if p.previous is not None:
        value += 0.5 * p.turnover * np.sum((x - p.previous) ** 2) + p.l1_costs @ np.abs(x - p.previous)
    return float(value)


def worst_violation(p: Portfolio, x: np.ndarray) -> float:
    worst = [abs(x.sum() - 1.0), np.max(p.lower - x), np.max(x - p.upper)]
    if p.gross is not None:
        worst.append(np.abs(x).sum() - p.gross)
    if p.industry_ids is not None:
        held = np.bincount(p.industry_ids, weights=x)
        target = np.bincount(p.industry_ids, weights=p.benchmark)
        worst.append(np.max(np.abs(held - target)))
        exposure = p.band_rows @ x
        worst += [np.max(exposure - p.band_upper), np.max(p.band_lower - exposure)]
    return float(max(0.0, *worst))


# ----------------------------------------------------------------------------- the lifting for the peers

@dataclass
class Lifted:
    """minimise ½zᵀPz + qᵀz s.t. A_eq z = b_eq, A_in z ≤ b_in; z = (x, y, t)."""

    P: sparse.csc_matrix
    q: np.ndarray
    A_eq: sparse.csc_matrix
    b_eq: np.ndarray
    A_in: sparse.csc_matrix
    b_in: np.ndarray
    n: int


def lifted(p: Portfolio) -> Lifted:
    n, k = p.n, p.k
    with_l1 = p.previous is not None and p.l1_costs is not None
    assert not (with_l1 and p.gross is not None), "t holds either |x − x⁰| or |x|"
    m = n if with_l1 or p.gross is not None else 0
    eye = sparse.identity(n, format="csc")
    F = sparse.csc_matrix(p.factors)
    P = sparse.block_diag([sparse.diags(p.risk_aversion * p.specific + p.turnover),
                           sparse.csc_matrix(p.risk_aversion * p.omega),
                           sparse.csc_matrix((m, m))], format="csc")
    q = -p.returns.copy()
    if p.previous is not None:
        q -= p.turnover * p.previous
    if p.benchmark is not None:
        q -= p.risk_aversion * covariance_times(p, p.benchmark)
    q = np.concatenate([q, np.zeros(k), p.l1_costs if with_l1 else np.zeros(m)])

    def widen(x_part, y_part=None, t_part=None):
        rows = x_part.shape[0]
        return sparse.hstack([x_part, y_part if y_part is not None else sparse.csc_matrix((rows, k)),
                              t_part if t_part is not None else sparse.csc_matrix((rows, m))])

    eq_blocks = [widen(F.T, -sparse.identity(k)), widen(sparse.csc_matrix(np.ones((1, n))))]
    eq_rhs = [np.zeros(k), [1.0]]
    in_blocks = [widen(eye), widen(-eye)]
    in_rhs = [np.full(n, p.upper), np.full(n, -p.lower)]
    if p.industry_ids is not None:
        groups = int(p.industry_ids.max()) + 1
        member = sparse.csc_matrix((np.ones(n), (p.industry_ids, np.arange(n))), shape=(groups, n))
        eq_blocks.append(widen(member))
        eq_rhs.append(np.bincount(p.industry_ids, weights=p.benchmark))
        bands = sparse.csc_matrix(p.band_rows)
        in_blocks += [widen(bands), widen(-bands)]
        in_rhs += [p.band_upper, -p.band_lower]
    if with_l1:
        in_blocks += [widen(eye, None, -eye), widen(-eye, None, -eye)]
        in_rhs += [p.previous, -p.previous]
    if p.gross is not None:  # t ≥ |x|, Σt ≤ gross
        in_blocks += [widen(eye, None, -eye), widen(-eye, None, -eye),
                      widen(sparse.csc_matrix((1, n)), None, sparse.csc_matrix(np.ones((1, n))))]
        in_rhs += [np.zeros(n), np.zeros(n), [p.gross]]
    return Lifted(P=sparse.triu(P, format="csc"), q=q, A_eq=sparse.vstack(eq_blocks, format="csc"),
                  b_eq=np.concatenate(eq_rhs), A_in=sparse.vstack(in_blocks, format="csc"),
                  b_in=np.concatenate(in_rhs), n=n)


def run_clarabel(problem: Lifted):
    import clarabel

    A = sparse.vstack([problem.A_eq, problem.A_in], format="csc")
    b = np.concatenate([problem.b_eq, problem.b_in])
    cones = [clarabel.ZeroConeT(problem.A_eq.shape[0]), clarabel.NonnegativeConeT(problem.A_in.shape[0])]
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    start = time.perf_counter()
    solution = clarabel.DefaultSolver(problem.P, problem.q, A, b, cones, settings).solve()
    seconds = time.perf_counter() - start
    return seconds, np.array(solution.x[: problem.n]), str(solution.status), int(solution.iterations)


def run_osqp(problem: Lifted):
    import osqp

    A = sparse.vstack([problem.A_eq, problem.A_in], format="csc")
    lower = np.concatenate([problem.b_eq, np.full(problem.b_in.size, -np.inf)])
    upper = np.concatenate([problem.b_eq, problem.b_in])
    start = time.perf_counter()
    solver = osqp.OSQP()
    solver.setup(problem.P, problem.q, A, lower, upper, verbose=False, eps_abs=1e-6, eps_rel=1e-5, polishing=True)
    result = solver.solve()
    seconds = time.perf_counter() - start
    return seconds, np.array(result.x[: problem.n]), str(result.info.status), int(result.info.iter)


def run_morva(p: Portfolio, profile: str = "reference", factors=None):
    """PortfolioProblem.solve (the reference engine), or morva.solve under the package's profile
    (``factors``: F as given to the package)."""
    problem = morva_problem(p, factors)
    start = time.perf_counter()
    result = morva.solve(problem, profile=profile, raise_on_failure=False)
    seconds = time.perf_counter() - start
    return seconds, np.array(result.weights), result.status, int(result.iterations)


def best_of(repeats: int, run):
    runs = [run() for _ in range(repeats)]
    return min(runs, key=lambda r: r[0])


@dataclass
class Outcome:
    seconds: float
    status: str
    iterations: int
    objective: float
    violation: float


def judged(p: Portfolio, run) -> Outcome:
    seconds, x, status, iterations = run
    return Outcome(seconds, status, iterations, objective(p, x), worst_violation(p, x))


# ----------------------------------------------------------------------------- memory

def peak_resident_kib() -> int:
    """VmHWM of this process: unlike ru_maxrss it starts afresh at exec, not at the parent's peak."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory_worker(family: str, n: int, k: int, seed: int) -> None:
    """In a fresh process: peak resident set growth over one morva solve (KiB)."""
    p = FAMILIES[family](n, k, seed)
    problem = morva_problem(p)
    before = peak_resident_kib()
    problem.solve(raise_on_failure=False)
    after = peak_resident_kib()
    input_bytes = p.factors.nbytes + p.omega.nbytes + (p.band_rows.nbytes if p.band_rows is not None else 0)
    print(json.dumps({"growth_kib": after - before, "input_kib": input_bytes // 1024}))


def build_memory_worker(form: str, n: int, k: int, seed: int) -> None:
    """In a fresh process: peak resident set growth (KiB) of building the package's industry problem
    with F given dense or as CSR, and of building and solving it."""
    p = FAMILIES["industry"](n, k, seed)
    factors = sparse.csr_array(p.factors) if form == "csr" else p.factors
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak restarts from the resident set now, not the inputs' making
    before = peak_resident_kib()
    problem = morva_problem(p, factors)
    built = peak_resident_kib()
    morva.solve(problem, raise_on_failure=False)
    print(json.dumps({"build_kib": built - before, "total_kib": peak_resident_kib() - before}))


def build_growth(form: str, n: int, k: int, seed: int) -> dict:
    output = subprocess.run([sys.executable, __file__, "--build-memory-worker", form, str(n), str(k), str(seed)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def peak_growth(family: str, n: int, k: int, seed: int) -> dict:
    output = subprocess.run([sys.executable, __file__, "--memory-worker", family, str(n), str(k), str(seed)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


# ----------------------------------------------------------------------------- rolling dates

def drifting_path(base: Portfolio, dates: int, seed: int) -> list[np.ndarray]:
    """Expected returns that drift by 5e-4 per asset and date (a random walk)."""
    rng = np.random.default_rng(seed)
    returns, path = base.returns.copy(), []
    for _ in range(dates):
        returns = returns + 5e-4 * rng.normal(size=base.n)
        path.append(returns.copy())
    return path


@dataclass
class Replay:
    seconds: float  # mean per date, the fastest replay's
    iterations: float  # mean per date
    polished: int  # dates polished
    weights: list  # (anchor, weights) per date


def replay(base: Portfolio, path: list[np.ndarray], repeats: int, package: bool) -> Replay:
    """Every date anchored at the previous date's weights, on one sequence: the reference
    engine's PortfolioSequence.solve_next, or the package's morva.Rolling (its profile)."""

    def once() -> Replay:
        problem = morva_problem(base)
        sequence = morva.Rolling(problem) if package else problem.sequence()
        previous = np.array(sequence.solve_next().weights)
        seconds, iterations, polished, weights = 0.0, 0, 0, []
        for date_returns in path:
            start = time.perf_counter()
            result = sequence.solve_next(expected_returns=date_returns, previous_weights=previous)
            seconds += time.perf_counter() - start
            iterations += result.iterations
            polished += bool(result.polished)
            weights.append((previous, np.array(result.weights)))
            previous = weights[-1][1]
        return Replay(seconds / len(path), iterations / len(path), polished, weights)

    runs = [once() for _ in range(repeats)]
    return min(runs, key=lambda r: r.seconds)


def rolling(n: int, k: int, seed: int, dates: int, repeats: int) -> None:
    """One rolling date: the reference sequence and the package's Rolling against Clarabel
    solving the same date (same anchor) from scratch; per-date means, best of repeats."""
    base = industry_portfolio(n, k, seed)
    path = drifting_path(base, dates, seed + 1)
    runs = {"reference": replay(base, path, repeats, False), "package": replay(base, path, repeats, True)}
    peer, gaps = 0.0, {}
    for name, run in runs.items():
        gaps[name] = 0.0
        for date_returns, (anchor, weights) in zip(path, run.weights):
            date = replace(base, returns=date_returns, previous=anchor.copy())
            seconds, best, _, _ = best_of(repeats if name == "package" else 1, lambda: run_clarabel(lifted(date)))
            peer += seconds / dates if name == "package" else 0.0
            gaps[name] = max(gaps[name], (objective(date, weights) - objective(date, best))
                             / max(1.0, abs(objective(date, best))))
    print(f"rolling date, industry n = {n}, k = {k}, {dates} dates anchored at the last weights; "
          f"Clarabel from scratch {peer * 1e3:.1f} ms")
    for name, run in runs.items():
        print(f"  {name:>9}: {run.seconds * 1e3:6.2f} ms, {run.iterations:5.1f} it, polished {run.polished}/{dates}, "
              f"Clarabel/morva {peer / run.seconds:5.1f}x, worst objective gap {gaps[name]:+.1e}")


def batch(n: int, k: int, accounts: int, dates: int) -> None:
    """solve_batch on one thread, accounts x dates of drifting returns with chained anchors,
    under the reference rules and the package's profile, against Clarabel solving every date
    from scratch, anchored at its own previous answer."""
    bases = [industry_portfolio(n, k, seed=100 + a) for a in range(accounts)]
    paths = [drifting_path(b, dates, seed=200 + a) for a, b in enumerate(bases)]
    problems = [morva_problem(b) for b in bases]
    steps = [[{"expected_returns": r} for r in path] for path in paths]
    seconds = {}
    for profile in ("reference", "adaptive"):
        start = time.perf_counter()
        results = morva.solve_batch(problems, steps, chain_previous_weights=True, profile=profile)
        seconds[profile] = time.perf_counter() - start
        assert all(r.status == "solved" for account in results for r in account)
    peer = 0.0
    for base, path in zip(bases, paths):
        previous = base.previous
        for date_returns in path:
            run = run_clarabel(lifted(replace(base, returns=date_returns, previous=previous)))
            peer += run[0]
            previous = run[1]
    print(f"solve_batch, {accounts} accounts x {dates} dates, industry n = {n}, k = {k}, one thread: "
          f"Clarabel {peer:.2f} s; reference {seconds['reference']:.3f} s ({peer / seconds['reference']:.1f}x), "
          f"package {seconds['adaptive']:.3f} s ({peer / seconds['adaptive']:.1f}x)")


FAMILIES = {"industry": industry_portfolio, "statistical": statistical_portfolio, "long-only": long_only_portfolio,
            "130/30": long_short_portfolio}


def given_sparse(p: Portfolio, repeats: int, clarabel_seconds: float, reference: float) -> None:
    """The package's solve with F handed over as a SciPy CSR matrix (as a user holding an
    industry model would, from its codes) beside F dense: building each problem, then the solve."""
    rows = sparse.csr_array(p.factors)

    def build(factors) -> float:
        return min(_built(p, factors) for _ in range(repeats))

    dense_build, sparse_build = build(p.factors), build(rows)
    run = judged(p, best_of(repeats, lambda: run_morva(p, "adaptive", rows)))
    print(f"{'':>11} {'':>6} {'':>4} | F sparse (CSR, {rows.nnz / p.n:.0f} nonzeros a row): build "
          f"{sparse_build * 1e3:.1f} ms (F dense: {dense_build * 1e3:.1f} ms) | package "
          f"{describe(run, reference)} | p/clar {run.seconds / clarabel_seconds:6.3f}")


def _built(p: Portfolio, factors) -> float:
    start = time.perf_counter()
    morva_problem(p, factors)
    return time.perf_counter() - start


def describe(o: Outcome | None, reference: float) -> str:
    if o is None:
        return f"{'-':>9} {'':22}"
    gap = (o.objective - reference) / max(1.0, abs(reference))
    return f"{o.seconds * 1e3:9.1f} {o.status[:12]:>12} {gap:+9.1e} {o.violation:8.1e} {o.iterations:6d}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="only n = 2000 (and no memory probe); otherwise also n = 10,000 and the industry family "
                             "at n = 25,000 (k = 150) and 50,000 (k = 200), one after the other in this process")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--dates", type=int, default=30)
    parser.add_argument("--no-osqp", action="store_true")
    parser.add_argument("--held-out", type=int, default=0, metavar="K",
                        help="instances of other seeds than the tuned ones (seed n + k + 1000·K), to check the "
                             "ratios on problems nobody looked at while tuning")
    parser.add_argument("--memory-worker", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--build-memory-worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.build_memory_worker:
        form, n, k, seed = args.build_memory_worker
        build_memory_worker(form, int(n), int(k), int(seed))
        return
    if args.memory_worker:
        family, n, k, seed = args.memory_worker
        memory_worker(family, int(n), int(k), int(seed))
        return

    if not args.no_osqp and importlib.util.find_spec("osqp") is None:
        print("osqp is not installed (pip install '.[bench]'); running without it", file=sys.stderr)
        args.no_osqp = True
    cases = [("industry", 2000, 50), ("statistical", 2000, 50), ("long-only", 2000, 50), ("130/30", 2000, 50)]
    if not args.quick:
        cases += [("industry", 10000, 100), ("statistical", 10000, 100), ("long-only", 10000, 100),
                  ("industry", 25000, 150), ("industry", 50000, 200)]
    print("one thread; times in ms (best of %d); gap = (objective − best objective) / max(1, |best|); "
          "viol = worst constraint violation" % args.repeats)
    header = f"{'solver':>9} {'status':>12} {'gap':>9} {'viol':>8} {'iters':>6}"
    print(f"{'family':>11} {'n':>6} {'k':>4} | morva {header} | package {header} | clarabel {header} | "
          f"osqp {header} | {'m/clar':>6} {'p/clar':>6} {'m/osqp':>6}")
    for family, n, k in cases:
        p = FAMILIES[family](n, k, seed=n + k + 1000 * args.held_out)
        if p.gross is not None and "gross_leverage" not in inspect.signature(morva.PortfolioProblem).parameters:
            print(f"{family:>11} {n:6d} {k:4d} | this build has no gross_leverage")  # an older build, compared
            continue
        morva_run = judged(p, best_of(args.repeats, lambda: run_morva(p)))
        package_run = judged(p, best_of(args.repeats, lambda: run_morva(p, "adaptive")))
        problem = lifted(p)
        clarabel_run = judged(p, best_of(args.repeats, lambda: run_clarabel(problem)))
        osqp_run = None if args.no_osqp else judged(p, best_of(1, lambda: run_osqp(problem)))
        runs = (morva_run, package_run, clarabel_run, osqp_run)
        feasible = [o.objective for o in runs if o is not None and o.violation < 1e-9]
        reference = min(feasible) if feasible else clarabel_run.objective
        versus_osqp = f"{morva_run.seconds / osqp_run.seconds:6.3f}" if osqp_run else f"{'-':>6}"
        print(f"{family:>11} {n:6d} {k:4d} | {describe(morva_run, reference)} | {describe(package_run, reference)}"
              f" | {describe(clarabel_run, reference)} | {describe(osqp_run, reference)}"
              f" | {morva_run.seconds / clarabel_run.seconds:6.3f} {package_run.seconds / clarabel_run.seconds:6.3f}"
              f" {versus_osqp}")
        if family == "industry":
            given_sparse(p, args.repeats, clarabel_run.seconds, reference)

    rolling(2000, 50, seed=7, dates=args.dates, repeats=args.repeats)
    batch(2000, 50, accounts=16, dates=5)
    if not args.quick:
        memory = peak_growth("industry", 10000, 100, seed=10100)
        print(f"peak memory growth of the industry n = 10000, k = 100 solve: {memory['growth_kib'] / 1024:.1f} MiB "
              f"(factor, covariance and band inputs {memory['input_kib'] / 1024:.1f} MiB)")
        n, k = 50000, 200
        grown = {form: build_growth(form, n, k, seed=n + k) for form in ("dense", "csr")}
        print(f"peak memory growth of the package's industry n = {n}, k = {k} problem, building / building and "
              "solving: " + ", ".join(f"F {form} {g['build_kib'] / 1024:.1f} / {g['total_kib'] / 1024:.1f} MiB"
                                      for form, g in grown.items()))


if __name__ == "__main__":
    main()
