"""Large books with a tiny risk aversion: nearly flat faces, checked against exact optima.

n in {1000, 1500, 2000}, k = 20 dense factors with a diagonal Ω, risk
aversion log-uniform in [1e-5, 7e-4], long-short boxes [−0.02, 0.03] and a
budget of 1. With so little curvature, the points within the stopping
tolerances spread along a face of the box, and a "solved" iterate can sit
far from the optimum. Each book's exact optimum is a point whose KKT
conditions on the lowered QP hold to 1e-9 (the profile corpus's certify):
a solver's answer with its own multipliers when they certify it, else the
corpus's active-set loop started from each answer and from Clarabel's. The
certificate, not where a point came from, makes it the optimum. (At a
vertex of the box that meets the budget, every asset sits on a bound and
the loop cannot determine the budget's multiplier; the solver's can.) Each book is solved by morva.solve (the package's
profile) and by PortfolioProblem.solve (the reference rules); the table
gives, per profile, how many "solved" answers lie farther than 1e-4
(max |x − x*| / max |x*|) from the optimum and the worst such distance.

    PYTHONPATH=build/py/python:python python3 bench/flat_books.py [--books 40] [--first-seed 0]
"""

from __future__ import annotations

import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import argparse  # noqa: E402
import json  # noqa: E402

import numpy as np  # noqa: E402

import morva  # noqa: E402
from corpus_families import build_problem  # noqa: E402
from profile_corpus import certify, clarabel_weights, lower_portfolio, reference_from  # noqa: E402

FAR = 1e-4


def flat_book(seed: int) -> dict:
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1000, 1500, 2000]))
    return {"factors": rng.normal(0.0, 1.0, (n, 20)) * 0.1, "omega": np.diag(rng.uniform(0.01, 0.05, 20)),
            "specific_variance": rng.uniform(0.02, 0.1, n), "expected_returns": 0.05 * rng.normal(size=n),
            "risk_aversion": float(np.exp(rng.uniform(np.log(1e-5), np.log(7e-4)))), "budget": 1.0,
            "lower_bounds": np.full(n, -0.02), "upper_bounds": np.full(n, 0.03)}


def certified_answer(lowered, results) -> np.ndarray | None:
    for result in results:
        x = np.asarray(result.weights)
        equality_dual = np.asarray(json.loads(result.to_json())["dual"]["equalities"], dtype=float)
        if certify(lowered, x, equality_dual, np.zeros(0)).holds():
            return x
    found = reference_from(lowered, [("answer", np.asarray(result.weights)) for result in results])
    if found is None:
        weights = clarabel_weights(lowered)
        found = reference_from(lowered, [("clarabel", weights)]) if weights is not None else None
    return None if found is None else found.weights


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--books", type=int, default=40)
    parser.add_argument("--first-seed", type=int, default=0)
    args = parser.parse_args()
    solvers = {"package": lambda p: morva.solve(p, raise_on_failure=False),
               "reference": lambda p: p.solve(raise_on_failure=False)}
    tally = {name: {"solved": 0, "polished": 0, "far": 0, "worst": 0.0, "iterations": []} for name in solvers}
    uncertified = 0
    for seed in range(args.first_seed, args.first_seed + args.books):
        keywords = flat_book(seed)
        results = {name: solve(build_problem(keywords)) for name, solve in solvers.items()}
        lowered = lower_portfolio(keywords)
        exact = certified_answer(lowered, results.values())
        if exact is None:
            uncertified += 1
            continue
        for name, result in results.items():
            if result.status != "solved":
                continue
            distance = float(np.max(np.abs(np.asarray(result.weights) - exact)) / np.max(np.abs(exact)))
            row = tally[name]
            row["solved"] += 1
            row["polished"] += bool(result.polished)
            row["far"] += distance > FAR
            row["worst"] = max(row["worst"], distance)
            row["iterations"].append(result.iterations)
    print(f"{args.books} flat books (seeds {args.first_seed}..{args.first_seed + args.books - 1}), "
          f"{uncertified} without a certified optimum")
    for name, row in tally.items():
        iterations = np.array(row["iterations"] or [0])
        print(f"{name:>9}: solved {row['solved']}, polished {row['polished']}, farther than {FAR:g}: {row['far']}, "
              f"worst {row['worst']:.1e}; iterations median {np.median(iterations):.0f}, max {iterations.max()}")


if __name__ == "__main__":
    main()
