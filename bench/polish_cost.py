"""What one polishing pass costs, in iterations' time, counted in instructions.

Wall time cannot separate a polish from the iterations on a shared machine,
and with polishing on a solve may stop at another iteration; instruction
counts under callgrind are deterministic. For peer_bench's industry problems
(n = 2,000, k = 50 and n = 10,000, k = 100) solved by PortfolioProblem.solve()
at its defaults it prints:

- polish: the instructions inside the polish (polish_with_products,
  inclusive) and the number of passes (calls of solve_active_set);
- iteration: (I(300) − I(200)) / 100, the solve's instructions at 300 and 200
  iterations with adaptive_rho=False, polish=False and tolerances of 1e-14;
- ratio: one pass over one iteration.

With --wall the same ratio is taken in processor time, in --repeats rounds in
one process: each round times solve() and solve(polish=False) back to back,
the polish being their difference (the same iterations: the polish runs
after the last one), and solves of 1 + 100 and 1 iterations (no penalty
updates), an iteration being a hundredth of theirs; the median over rounds
of each difference counts. A difference taken within a round leaves out the
machine's slower stretches, which the best of each solve apart does not: on
a shared machine that best-of ratio strayed by a factor of two between runs.
The passes are still counted under callgrind. Time includes what
instructions leave out (cache misses, fresh pages), where the two differ most.

    python bench/polish_cost.py [--quick] [--wall [--repeats 41]]   # needs valgrind; --quick: n = 2,000 only
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
CASES = ((2_000, 50), (10_000, 100))
POLISH = "morva::polish_with_products("
PASS = "solve_active_set("
SOLVE = "morva::PortfolioProblem::solve_with("


def run(n: int, k: int, mode: str) -> None:
    """The child: build the problem and solve it once."""
    sys.path.insert(0, str(HERE))
    from peer_bench import industry_portfolio, morva_problem

    problem = morva_problem(industry_portfolio(n, k, 1))
    if mode == "polish":
        problem.solve()
        return
    problem.solve(max_iterations=int(mode), adaptive_rho=False, polish=False, absolute_tolerance=1e-14,
                  relative_tolerance=1e-14, raise_on_failure=False)


def profile(n: int, k: int, mode: str, directory: str) -> tuple[dict[str, int], dict[str, int]]:
    """Inclusive instructions and call counts per function of one child run."""
    out = os.path.join(directory, f"callgrind.{n}.{mode}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
                    "--child", str(n), str(k), mode], check=True, capture_output=True)
    report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], check=True,
                            capture_output=True, text=True).stdout
    inclusive = {}
    for line in report.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*?:(.*)", line)
        if match:
            inclusive.setdefault(match.group(2), int(match.group(1).replace(",", "")))
    return inclusive, calls(out)


def calls(path: str) -> dict[str, int]:
    """Calls per callee, from the raw callgrind file (names compressed as (id))."""
    names, counts, callee = {}, defaultdict(int), None
    for line in Path(path).read_text().splitlines():
        match = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
        if match:
            if match.group(2):
                names[match.group(1)] = match.group(2)
            callee = match.group(1) if line.startswith("cfn=") else None
        elif line.startswith("calls=") and callee is not None:
            counts[names.get(callee, callee)] += int(line.split("=")[1].split()[0])
    return counts


def total(table: dict[str, int], prefix: str) -> int:
    return sum(v for name, v in table.items() if name.startswith(prefix))


def seconds(call) -> float:
    start = time.process_time()
    call()
    return time.process_time() - start


def wall(n: int, k: int, repeats: int) -> tuple[float, float]:
    """Seconds of the polish and of one iteration: medians of in-round differences."""
    sys.path.insert(0, str(HERE))
    from peer_bench import industry_portfolio, morva_problem

    problem = morva_problem(industry_portfolio(n, k, 1))
    fixed = dict(adaptive_rho=False, polish=False, absolute_tolerance=1e-14, relative_tolerance=1e-14,
                 raise_on_failure=False)
    polish, iteration = [], []
    for _ in range(repeats):
        polish.append(seconds(problem.solve) - seconds(lambda: problem.solve(polish=False)))
        span = seconds(lambda: problem.solve(max_iterations=101, **fixed))
        iteration.append((span - seconds(lambda: problem.solve(max_iterations=1, **fixed))) / 100)
    return statistics.median(polish), statistics.median(iteration)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        run(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="n = 2,000 only")
    parser.add_argument("--wall", action="store_true", help="processor time instead of instructions")
    parser.add_argument("--repeats", type=int, default=41)
    args = parser.parse_args()
    if args.wall:
        print(f"{'case':<22}{'polish (ms)':>12}{'passes':>8}{'pass (ms)':>10}{'iteration (ms)':>15}{'ratio':>8}")
    else:
        print(f"{'case':<22}{'polish (M)':>12}{'passes':>8}{'pass (M)':>10}{'iteration (M)':>15}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as directory:
        for n, k in CASES[:1] if args.quick else CASES:
            inclusive, counts = profile(n, k, "polish", directory)
            passes = sum(v for name, v in counts.items() if PASS in name)
            if args.wall:
                polish, iteration = wall(n, k, args.repeats)
                per_pass = polish / max(passes, 1)
                print(f"{f'industry n={n} k={k}':<22}{polish * 1e3:>12.3f}{passes:>8}{per_pass * 1e3:>10.3f}"
                      f"{iteration * 1e3:>15.4f}{per_pass / iteration:>8.2f}")
                continue
            polish = total(inclusive, POLISH)
            low = total(profile(n, k, "200", directory)[0], SOLVE)
            high = total(profile(n, k, "300", directory)[0], SOLVE)
            iteration = (high - low) / 100
            per_pass = polish / max(passes, 1)
            print(f"{f'industry n={n} k={k}':<22}{polish / 1e6:>12.2f}{passes:>8}{per_pass / 1e6:>10.2f}"
                  f"{iteration / 1e6:>15.4f}{per_pass / iteration:>8.2f}")


if __name__ == "__main__":
    main()
