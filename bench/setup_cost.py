"""What a one-shot solve costs before its first iteration, against one iteration.

For three of peer_bench's problems (industry n = 2,000, k = 50; industry and
long-only n = 10,000, k = 100) it prints, best of --repeats runs on one thread:

- construction: PortfolioProblem(...) from the NumPy arrays;
- pre-iteration: solve(max_iterations=1, polish=False) less one iteration,
  so lowering, validation, equilibration, storing the columns, the first
  factorisation, one termination check and the final residuals;
- of which setup: problem.sequence(), lowering through the first
  factorisation alone (the check and the residuals are the rest);
- iteration: the time of one iteration, from the difference of solves of
  1 + --span and 1 iterations (no penalty updates);
- ratio: (construction + pre-iteration) / iteration, the number of
  iterations the data's setup is worth;
- to first: (construction + setup) / iteration, the same up to the first
  iteration alone.

With --retain-memory the process runs with glibc's allocator told to keep
freed memory (MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_ raised, as a
long-running service or a backtest might set them): by default it hands a
dropped problem's pages back to the system, and the next problem of the same
size faults them in again. morva keeps its own large matrix blocks for the
next problem (large_storage), so the two now differ little; the figures with
the setting show morva's own work alone.

With --instructions the same table is counted in instructions under
callgrind (valgrind needed), deterministic where wall time on a shared machine
is not: construction is problem_new inclusive, a solve is solve_with
inclusive, each from one child run per stage. It leaves out what the time
includes beyond instructions (page faults, cache misses).

With --loop N it builds and lowers N problems of each case one after
another, as a backtest that makes a fresh problem per date does, and prints
the mean and median processor time of construction plus problem.sequence()
and the page faults each problem costs: what the best-of figures above leave
out when the allocator hands memory back between problems.

    python bench/setup_cost.py [--repeats 5] [--span 100] [--retain-memory]
    python bench/setup_cost.py --instructions [--span 100]
    python bench/setup_cost.py --loop 40
"""

from __future__ import annotations

import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402
import re  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

from peer_bench import industry_portfolio, long_only_portfolio, morva_problem  # noqa: E402

CASES = (
    ("industry", industry_portfolio, 2_000, 50),
    ("industry", industry_portfolio, 10_000, 100),
    ("long-only", long_only_portfolio, 10_000, 100),
)
SEED = 1
# glibc keeps blocks up to 32 MiB in its heap and trims it only past 256 MiB.
RETAINED = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(256 << 20)}


def best_seconds(repeats: int, run) -> float:
    # Processor time of this one-threaded process: on a shared machine it
    # leaves out the time others hold the processor; page faults count.
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return best


def measure(make, n: int, k: int, repeats: int, span: int) -> tuple[float, float, float, float]:
    portfolio = make(n, k, SEED)
    construction = best_seconds(repeats, lambda: morva_problem(portfolio))
    problem = morva_problem(portfolio)
    setup = best_seconds(repeats, problem.sequence)

    def solve(iterations: int):
        # No penalty update in between; the termination checks every ten
        # iterations count as part of the iterations.
        def run():
            result = problem.solve(max_iterations=iterations, polish=False, adaptive_rho=False,
                                   raise_on_failure=False)
            assert result.iterations == iterations, "the run stopped early: use a shorter --span"
        return run

    one = best_seconds(repeats, solve(1))
    many = best_seconds(repeats, solve(1 + span))
    iteration = (many - one) / span
    return construction, one - iteration, setup, iteration


CONSTRUCT = "morva::python::(anonymous namespace)::problem_new("
SOLVE = "morva::PortfolioProblem::solve_with("


def child(case: int, iterations: int) -> None:
    """Builds one case's problem and solves it once for `iterations` iterations."""
    family, make, n, k = CASES[case]
    problem = morva_problem(make(n, k, SEED))
    problem.solve(max_iterations=iterations, polish=False, adaptive_rho=False, raise_on_failure=False)


def counted(case: int, iterations: int, directory: str) -> tuple[int, int]:
    """Inclusive instructions of the construction and of the solve in one child run."""
    out = os.path.join(directory, f"callgrind.{case}.{iterations}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
                    "--child", str(case), str(iterations)], check=True, capture_output=True)
    report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], check=True,
                            capture_output=True, text=True).stdout
    found = {}
    for line in report.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*?:(.*)", line)
        for name in (CONSTRUCT, SOLVE):
            if match and match.group(2).startswith(name):
                found.setdefault(name, int(match.group(1).replace(",", "")))
    return found[CONSTRUCT], found[SOLVE]


def instructions(span: int) -> None:
    print(f"{'case':<24}{'construction M':>16}{'pre-iteration M':>17}{'iteration M':>13}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as directory:
        for case, (family, _, n, k) in enumerate(CASES):
            construction, one = counted(case, 1, directory)
            _, many = counted(case, 1 + span, directory)
            iteration = (many - one) / span
            before = one - iteration
            print(f"{f'{family} n={n} k={k}':<24}{construction / 1e6:>16.2f}{before / 1e6:>17.2f}"
                  f"{iteration / 1e6:>13.3f}{(construction + before) / iteration:>8.0f}", flush=True)


def loop(problems: int) -> None:
    """Problem after problem as a backtest builds them: mean and median processor time of construction,
    problem.sequence() and the release, and the page faults each costs, after five problems to settle."""
    import resource
    import statistics

    print(f"{'case':<24}{'mean ms':>9}{'median ms':>11}{'faults':>8}")
    for family, make, n, k in CASES:
        portfolio = make(n, k, SEED)
        times, faults = [], []
        for _ in range(5 + problems):
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            start = time.process_time()
            morva_problem(portfolio).sequence()
            times.append(time.process_time() - start)
            faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
        times, faults = times[5:], faults[5:]
        print(f"{f'{family} n={n} k={k}':<24}{1e3 * statistics.mean(times):>9.2f}"
              f"{1e3 * statistics.median(times):>11.2f}{statistics.mean(faults):>8.0f}", flush=True)


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        child(int(sys.argv[2]), int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--span", type=int, default=100)
    parser.add_argument("--retain-memory", action="store_true",
                        help="run with glibc keeping freed memory instead of returning it to the system")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions under callgrind instead of timing")
    parser.add_argument("--loop", type=int, metavar="PROBLEMS",
                        help="build and lower PROBLEMS problems one after another: mean time and page faults")
    args = parser.parse_args()
    if args.instructions:
        instructions(args.span)
        return
    if args.loop:
        loop(args.loop)
        return
    if args.retain_memory and RETAINED.items() - os.environ.items():
        os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, **RETAINED})
    if args.retain_memory:
        print("allocator: freed memory kept (" + ", ".join(f"{k}={v}" for k, v in RETAINED.items()) + ")")
    print(f"{'case':<24}{'construction ms':>17}{'pre-iteration ms':>18}{'setup ms':>10}{'iteration ms':>14}"
          f"{'ratio':>8}{'to first':>10}")
    for family, make, n, k in CASES:
        construction, before, setup, iteration = measure(make, n, k, args.repeats, args.span)
        ratio = (construction + before) / iteration
        to_first = (construction + setup) / iteration
        print(f"{f'{family} n={n} k={k}':<24}{1e3 * construction:>17.2f}{1e3 * before:>18.2f}{1e3 * setup:>10.2f}"
              f"{1e3 * iteration:>14.3f}{ratio:>8.0f}{to_first:>10.0f}")


if __name__ == "__main__":
    main()
