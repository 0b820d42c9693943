"""A portfolio over a fundamental risk model against Clarabel and against a statistical model.

Returns of 5,000 assets are simulated from a known model (a market, about 60
industries and 10 styles, √cap regression weights, a few assets listed late)
and fitted twice: ``morva.models.fundamental`` (market, 0/1 industries and
standardised styles: F is mostly indicator columns) and
``morva.models.statistical`` with as many factors (F dense). Each model gives
the same long-only problem, maximise μᵀw − ½λ·wᵀΣw with Σ = XΩXᵀ + D, budget 1
and a cap per name, solved by ``model.problem(...).solve()`` (the package's
profile) and by Clarabel on the same Σ through the factor lifting y = Xᵀw
(bench/peer_bench.py builds it). Everything runs on one thread; times are the
best of --repeats solves. Each answer is judged by peer_bench's external check
(objective in original units, worst constraint violation).

    python bench/fundamental_bench.py [--assets 5000] [--industries 60] [--styles 10] [--dates 500] [--repeats 3]
"""

from __future__ import annotations

import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "RAYON_NUM_THREADS",
                  "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peer_bench import Portfolio, best_of, lifted, objective, run_clarabel, worst_violation  # noqa: E402

from morva import models  # noqa: E402

RISK_AVERSION = 4.0


def simulate(assets: int, industries: int, styles: int, dates: int, seed: int = 11):
    """Daily returns r_t = f_market + f_industry + z·g_t + ε (z fixed), with caps for the weights."""
    rng = np.random.default_rng(seed)
    names = [f"asset {i:05d}" for i in range(assets)]
    ids = rng.integers(0, industries, assets)
    sectors = pd.Series([f"industry {g:02d}" for g in ids], index=names)
    z = pd.DataFrame(rng.normal(size=(assets, styles)), index=names, columns=[f"style {s}" for s in range(styles)])
    volatility = np.r_[0.012, rng.uniform(0.004, 0.01, industries), rng.uniform(0.001, 0.004, styles)]
    f = rng.normal(0.0002, volatility, size=(dates, 1 + industries + styles))
    specific = rng.uniform(0.01, 0.025, assets)
    noise = rng.normal(size=(dates, assets)) * specific
    returns = f[:, [0]] + f[:, 1 + ids] + f[:, 1 + industries:] @ z.to_numpy().T + noise
    returns[: dates // 4, : assets // 50] = np.nan  # late listings
    caps = pd.Series(rng.lognormal(0.0, 1.0, assets), index=names)
    frame = pd.DataFrame(returns, index=pd.bdate_range("2023-01-02", periods=dates), columns=names)
    return frame, z, sectors, np.sqrt(caps)


def as_portfolio(model, cap: float) -> Portfolio:
    """The model's problem as peer_bench's raw data: X, Ω, D, μ, long-only with the cap."""
    return Portfolio(family="model", factors=model.exposures.to_numpy(), omega=model.factor_covariance.to_numpy(),
                     specific=model.specific_variance.to_numpy(), returns=model.mean_returns.to_numpy(), upper=cap,
                     extra={"risk_aversion": RISK_AVERSION})


def run_morva(model, cap: float):
    problem = model.problem(risk_aversion=RISK_AVERSION, lower_bounds=0.0, upper_bounds=cap)
    start = time.perf_counter()
    result = problem.solve(raise_on_failure=False)
    seconds = time.perf_counter() - start
    return seconds, result.weights.to_numpy(), result.status, int(result.iterations)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--assets", type=int, default=5000)
    parser.add_argument("--industries", type=int, default=60)
    parser.add_argument("--styles", type=int, default=10)
    parser.add_argument("--dates", type=int, default=500)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    returns, styles, sectors, weights = simulate(args.assets, args.industries, args.styles, args.dates)
    cap = max(0.002, 10.0 / args.assets)
    start = time.perf_counter()
    fundamental = models.fundamental(returns, styles, industries=sectors, weights=weights, half_life=120)
    fit_seconds = time.perf_counter() - start
    k = fundamental.exposures.shape[1]
    start = time.perf_counter()
    statistical = models.statistical(returns.dropna(), k)
    pca_seconds = time.perf_counter() - start
    print(f"one thread; n = {args.assets}, {args.dates} dates; fits: fundamental {fit_seconds:.1f} s "
          f"(k = {k}), statistical {pca_seconds:.1f} s (k = {k}, dates with every asset)")
    print(f"times in ms (best of {args.repeats}); gap = (objective − Clarabel's) / max(1, |Clarabel's|); "
          f"viol = worst constraint violation")
    print(f"{'model':>12} {'nnz(F)':>8} | {'morva':>8} {'status':>8} {'iters':>5} {'gap':>9} {'viol':>8} | "
          f"{'clarabel':>8} {'status':>8} {'iters':>5} {'viol':>8} | {'morva/clarabel':>14}")
    rows = []
    for name, model in (("fundamental", fundamental), ("statistical", statistical)):
        portfolio = as_portfolio(model, cap)
        ours = best_of(args.repeats, lambda: run_morva(model, cap))
        lifting = lifted(portfolio)
        theirs = best_of(args.repeats, lambda: run_clarabel(lifting))
        reference = objective(portfolio, theirs[1])
        gap = (objective(portfolio, ours[1]) - reference) / max(1.0, abs(reference))
        nonzeros = int(np.count_nonzero(portfolio.factors))
        print(f"{name:>12} {nonzeros:8d} | {ours[0] * 1e3:8.1f} {ours[2][:8]:>8} {ours[3]:5d} {gap:+9.1e} "
              f"{worst_violation(portfolio, ours[1]):8.1e} | {theirs[0] * 1e3:8.1f} {theirs[2][:8]:>8} "
              f"{theirs[3]:5d} {worst_violation(portfolio, theirs[1]):8.1e} | {ours[0] / theirs[0]:14.3f}")
        rows.append((ours[0], theirs[0]))
    (fundamental_ours, fundamental_clarabel), (statistical_ours, statistical_clarabel) = rows
    print(f"fundamental over statistical: morva {fundamental_ours / statistical_ours:.3f}, "
          f"Clarabel {fundamental_clarabel / statistical_clarabel:.3f}")


if __name__ == "__main__":
    main()
