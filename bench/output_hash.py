"""One hash over the complete output of 768 solves, to prove a change inert.

A refactoring that must not change behaviour runs this before and after and
compares the two lines it prints. Every bit of every result enters the hash:
status, iteration and penalty counts, the final ρ, the polished flag, the
objective and residuals, the weights, the certificate blocks, each sequence's
factorisation count, and the solve's JSON with its timing removed. The
problems are seeded: 384 one-shot solves of random portfolios over every kind
of input (bounds, rows, turnover, benchmark, templates, limits, infeasible
and unbounded ones), 32 sequences of 8 dates, and a batch of 16 accounts of
8 dates.

    python bench/output_hash.py [--verbose]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys

import numpy as np

import _morva

ONE_SHOT = 384
SEQUENCES, DATES = 32, 8
ACCOUNTS = 16


def portfolio(seed: int) -> tuple[tuple, dict]:
    """A random portfolio whose options are drawn from the seed."""
    rng = np.random.default_rng(seed)
    n = int(rng.choice([3, 8, 20, 60, 150, 400]))
    k = int(rng.integers(1, min(n, 12) + 1))
    factors = rng.normal(0.0, 1.0, size=(n, k))
    if rng.random() < 0.5:
        root = rng.normal(0.0, 0.1, size=(k, k))
        omega = root @ root.T + 0.01 * np.eye(k)
        omega = 0.5 * (omega + omega.T)
    else:
        omega = np.diag(rng.uniform(0.01, 0.05, k))
    arrays = (factors, omega, rng.uniform(0.01, 0.09, n), rng.normal(0.05, 0.05, n))
    options: dict = {"risk_aversion": float(rng.uniform(0.5, 20.0))}
    draw = rng.random(12)
    if draw[0] < 0.3:
        options["lower_bounds"] = np.full(n, -0.3)
        options["upper_bounds"] = np.full(n, 0.5)
    if draw[1] < 0.25:
        options["max_weight"] = max(1.5 / n, 0.05)
    if draw[2] < 0.2:
        options["lower_bounds"] = np.full(n, -np.inf)
        options["upper_bounds"] = np.full(n, np.inf)
        options["max_short"] = 0.2
    if draw[3] < 0.3:
        options["previous_weights"] = rng.dirichlet(np.ones(n))
        options["turnover_penalty"] = float(rng.uniform(0.0, 2.0))
        if draw[4] < 0.5:
            options["l1_turnover_costs"] = float(rng.uniform(0.0, 0.01))
    if draw[5] < 0.3:
        options["benchmark_weights"] = rng.dirichlet(np.ones(n))
    if draw[6] < 0.3 and n >= 4:
        groups = int(rng.integers(2, 4))
        options["industry_ids"] = rng.integers(0, groups, n)
        options["industry_targets"] = np.full(groups, 1.0 / groups)
        options.pop("max_weight", None)
        options["lower_bounds"] = np.full(n, -1.0)
        options["upper_bounds"] = np.full(n, 1.0)
    if draw[7] < 0.25:
        options["style_matrix"] = factors[:, : min(k, 2)].T.copy()
        options["style_lower"] = np.full(min(k, 2), -0.5)
        options["style_upper"] = np.full(min(k, 2), 0.5)
    if draw[8] < 0.2:
        options["inequality_matrix"] = rng.normal(size=(2, n))
        options["inequality_rhs"] = np.array([0.1, 0.2])
    if draw[9] < 0.1:
        options["equality_matrix"] = rng.normal(size=(1, n))
        options["equality_rhs"] = np.array([0.05])
    if draw[10] < 0.06:  # an unreachable row: infeasible
        options["lower_bounds"] = np.zeros(n)
        options["upper_bounds"] = np.ones(n)
        options["inequality_matrix"] = np.ones((1, n))
        options["inequality_rhs"] = np.array([0.5])
        for key in ("max_weight", "max_short", "industry_ids", "industry_targets", "equality_matrix",
                    "equality_rhs"):
            options.pop(key, None)
    if draw[11] < 0.04:  # riskless long-short direction: unbounded
        arrays = (np.zeros((n, 1)), np.array([[0.04]]), np.zeros(n), rng.normal(0.05, 0.05, n))
        options = {"lower_bounds": np.full(n, -np.inf), "upper_bounds": np.full(n, np.inf)}
    return arrays, options


def settings(seed: int) -> dict:
    rng = np.random.default_rng(10_000 + seed)
    choice = {}
    if rng.random() < 0.2:
        choice["rho"] = float(rng.choice([0.1, 10.0]))
    if rng.random() < 0.1:
        choice["adaptive_rho"] = False
    if rng.random() < 0.1:
        choice["polish"] = False
    if rng.random() < 0.1:
        choice["scaling_iterations"] = 0
    return choice


class Digest:
    def __init__(self, verbose: bool) -> None:
        self.hash = hashlib.sha256()
        self.count = 0
        self.verbose = verbose

    def add(self, label: str, result) -> None:
        self.count += 1
        record = json.loads(result.to_json())
        record.pop("solve_time", None)
        text = json.dumps(record, sort_keys=True)
        parts = [text, result.status, repr(result.iterations), repr(result.rho_updates), result.final_rho.hex(),
                 repr(result.polished), result.objective.hex(), result.primal_residual.hex(),
                 result.dual_residual.hex(), result.complementarity.hex()]
        self.hash.update("\x1f".join(parts).encode())
        self.hash.update(np.ascontiguousarray(result.weights).tobytes())
        certificate = result.certificate
        if certificate is not None:
            self.hash.update(certificate.kind.encode())
            for block in (certificate.equality_dual, certificate.inequality_dual, certificate.bound_dual,
                          certificate.direction):
                if block is not None:
                    self.hash.update(np.ascontiguousarray(block).tobytes())
        if self.verbose:
            print(label, result.status, result.iterations, result.polished,
                  hashlib.sha256(np.ascontiguousarray(result.weights).tobytes()).hexdigest()[:12])

    def add_int(self, value: int) -> None:
        self.hash.update(repr(value).encode())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--verbose", action="store_true")
    digest = Digest(parser.parse_args().verbose)

    for seed in range(ONE_SHOT):
        arrays, options = portfolio(seed)
        problem = _morva.PortfolioProblem(*arrays, **options)
        digest.add(f"one-shot {seed}", problem.solve(raise_on_failure=False, **settings(seed)))

    for s in range(SEQUENCES):
        seed = 1_000 + s
        arrays, options = portfolio(seed)
        options.setdefault("previous_weights", np.full(arrays[3].size, 1.0 / arrays[3].size))
        problem = _morva.PortfolioProblem(*arrays, **options)
        sequence = problem.sequence(**{k: v for k, v in settings(seed).items()})
        rng = np.random.default_rng(seed)
        previous = None
        for date in range(DATES):
            changes = {"expected_returns": arrays[3] + rng.normal(0.0, 0.01, arrays[3].size)}
            if previous is not None and np.all(np.isfinite(previous)):
                changes["previous_weights"] = previous
            result = sequence.solve_next(raise_on_failure=False, **changes)
            digest.add(f"sequence {s} date {date}", result)
            previous = result.weights
        digest.add_int(sequence.factorizations)

    problems, steps = [], []
    for a in range(ACCOUNTS):
        seed = 2_000 + a
        arrays, options = portfolio(seed)
        options.setdefault("previous_weights", np.full(arrays[3].size, 1.0 / arrays[3].size))
        problems.append(_morva.PortfolioProblem(*arrays, **options))
        rng = np.random.default_rng(seed)
        steps.append([{"expected_returns": arrays[3] + rng.normal(0.0, 0.01, arrays[3].size)}
                      for _ in range(DATES)])
    for a, account in enumerate(_morva.solve_batch(problems, steps, chain_previous_weights=True,
                                                   raise_on_failure=False)):
        for date, result in enumerate(account):
            digest.add(f"batch {a} date {date}", result)

    print(f"{digest.count} solves {digest.hash.hexdigest()}")
    if digest.count != ONE_SHOT + SEQUENCES * DATES + ACCOUNTS * DATES:
        sys.exit("unexpected number of solves")


if __name__ == "__main__":
    main()
