"""The ``morva`` command: ``solve`` and ``explain`` a dumped problem, or run the ``demo``.

Exit status: 0 when the problem is solved, 1 when it is infeasible, unbounded
or unsolved, 2 when the input cannot be read (the reader's message, with its
line and column, goes to standard error).
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence

import numpy as np

from _morva import PortfolioProblem

from . import solving

SOLVED, UNSOLVED, UNREADABLE = 0, 1, 2
TOP_HOLDINGS = 10
# Certificate entries below these fractions of the largest one are not cited;
# certificates are normalised to unit infinity norm, as the engine's own
# explanations assume.
FARKAS_CITATION = 0.05
DIRECTION_CITATION = 0.1

# (flag, keyword, type, help) of the solver options; the defaults are the engine's.
_SOLVER_OPTIONS: tuple[tuple[str, str, Callable, str], ...] = (
    ("--max-iterations", "max_iterations", int, "ADMM iteration limit (default 10000)"),
    ("--absolute-tolerance", "absolute_tolerance", float, "absolute stopping tolerance (default 1e-6)"),
    ("--relative-tolerance", "relative_tolerance", float, "relative stopping tolerance (default 1e-5)"),
    ("--rho", "rho", float, "initial ADMM penalty (default 1.0)"),
    ("--over-relaxation", "over_relaxation", float, "over-relaxation factor in (0, 2) (default 1.6)"),
    ("--scaling-iterations", "scaling_iterations", int, "Ruiz equilibration passes (default 10)"),
    ("--infeasibility-tolerance", "infeasibility_tolerance", float, "certificate tolerance (default 1e-5)"),
)
_SOLVER_SWITCHES = (
    ("--no-adaptive-rho", "adaptive_rho", "keep rho fixed"),
    ("--no-polish", "polish", "skip active-set polishing"),
)


class UnreadableInput(Exception):
    """The problem file or the options cannot be turned into a solve."""


def _add_solver_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("solver options")
    for flag, keyword, kind, text in _SOLVER_OPTIONS:
        group.add_argument(flag, dest=keyword, type=kind, default=argparse.SUPPRESS, help=text)
    for flag, keyword, text in _SOLVER_SWITCHES:
        group.add_argument(flag, dest=keyword, action="store_false", default=argparse.SUPPRESS, help=text)
    group.add_argument("--reference", dest="profile", action="store_const", const="reference",
                       default=argparse.SUPPRESS,
                       help="solve under the reference engine's rules (PortfolioProblem.solve) instead of "
                            "the package's adaptive profile")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="morva", description="morva portfolio optimiser")
    commands = parser.add_subparsers(dest="command", required=True)
    solve = commands.add_parser("solve", help="solve a problem dumped with PortfolioProblem.to_json")
    solve.add_argument("problem", help="problem JSON file")
    solve.add_argument("--out", help="write the result JSON to this file ('-' for standard output)")
    _add_solver_options(solve)
    explain = commands.add_parser("explain", help="solve a dumped problem and explain its outcome in words")
    explain.add_argument("problem", help="problem JSON file")
    _add_solver_options(explain)
    demo = commands.add_parser("demo", help="solve a built-in synthetic portfolio and summarise it")
    demo.add_argument("--assets", type=int, default=400, help="number of assets (default 400)")
    demo.add_argument("--factors", type=int, default=12, help="number of risk factors (default 12)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic model (default 7)")
    return parser


def _load(path: str) -> tuple[PortfolioProblem, dict]:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise UnreadableInput(str(error)) from error
    try:
        problem = PortfolioProblem.from_json(text)
    except ValueError as error:
        raise UnreadableInput(str(error)) from error
    return problem, json.loads(text)


def _solve(problem: PortfolioProblem, keywords: dict):
    try:
        return solving.solve(problem, raise_on_failure=False, **keywords)
    except ValueError as error:  # solver options the engine refuses
        raise UnreadableInput(str(error)) from error


def summary(result, expected_returns: np.ndarray) -> list[str]:
    weights = result.weights
    lines = [
        f"status            {result.status}",
        f"objective         {result.objective:.6e}",
        f"iterations        {result.iterations}",
        f"residuals         primal {result.primal_residual:.2e}, dual {result.dual_residual:.2e}",
        f"solve time        {result.solve_time_seconds * 1e3:.2f} ms",
        f"weights           {weights.size} assets, sum {weights.sum():.6f}, {int(np.count_nonzero(np.abs(weights) > 1e-6))} held",
        f"expected return   {expected_returns @ weights:.6e}",
        f"largest {min(TOP_HOLDINGS, weights.size)} weights:",
    ]
    for asset in np.argsort(-weights, kind="stable")[:TOP_HOLDINGS]:
        lines.append(f"  asset {asset:5d}  {weights[asset]: .6f}")
    lines.extend(f"hint: {hint}" for hint in result.convergence_hints)
    return lines


def _cited(values: np.ndarray, keep: Callable[[np.ndarray], np.ndarray], names: Sequence[str]) -> list[str]:
    return [f"{names[i]} with weight {values[i]:+.3f}" for i in np.flatnonzero(keep(values))]


def certificate_in_words(certificate, budget: float | None) -> list[str]:
    """What the certificate proves, and which constraints or assets take part."""
    if certificate is None:
        return ["no infeasibility certificate: nothing proves the problem infeasible or unbounded"]
    if certificate.kind == "dual":
        direction = certificate.direction
        order = [i for i in np.argsort(-np.abs(direction), kind="stable") if abs(direction[i]) >= DIRECTION_CITATION]
        lines = [
            "the objective is unbounded below: moving the weights along the certificate's direction",
            "lowers the objective without limit while every constraint still holds",
        ]
        lines += [f"  asset {i}: {direction[i]:+.3f}" for i in order[:TOP_HOLDINGS]]
        if len(order) > TOP_HOLDINGS:
            lines.append(f"  ... ({len(order)} components of at least {DIRECTION_CITATION})")
        return lines
    equality = certificate.equality_dual
    rows = [f"equality row {i}" for i in range(equality.size)]
    if budget is not None and equality.size:
        rows[0] = f"the budget (sum of weights = {budget:g})"
        rows[1:] = [f"equality row {i}" for i in range(equality.size - 1)]
    bounds = certificate.bound_dual
    assets = [f"asset {i}" for i in range(bounds.size)]
    inequality = certificate.inequality_dual
    parts = [
        ("equality constraints", _cited(equality, lambda v: np.abs(v) >= FARKAS_CITATION, rows)),
        ("inequality caps", _cited(inequality, lambda v: v >= FARKAS_CITATION, [f"inequality row {i}" for i in range(inequality.size)])),
        ("upper bounds", _cited(bounds, lambda v: v >= FARKAS_CITATION, assets)),
        ("lower bounds", _cited(bounds, lambda v: v <= -FARKAS_CITATION, assets)),
    ]
    lines = [
        "no portfolio satisfies all constraints at once: adding up the constraints below with the",
        "certificate's (Farkas) weights cancels every weight yet demands a negative quantity;",
        "relaxing at least one of them is necessary",
    ]
    for name, cited in parts:
        if cited:
            lines.append(f"  {name}: {', '.join(cited)}")
    return lines


def _explain(result, budget: float | None) -> list[str]:
    lines = [f"status: {result.status} after {result.iterations} iterations"]
    hints = result.convergence_hints
    lines.append("hints:" if hints else "hints: none")
    lines.extend(f"  - {hint}" for hint in hints)
    lines.append("certificate:")
    lines.extend(f"  {line}" for line in certificate_in_words(result.certificate, budget))
    return lines


def _run(arguments: argparse.Namespace) -> int:
    keywords = {
        name: value
        for name, value in vars(arguments).items()
        if name in {o[1] for o in _SOLVER_OPTIONS} | {s[1] for s in _SOLVER_SWITCHES} | {"profile"}
    }
    problem, data = _load(arguments.problem)
    result = _solve(problem, keywords)
    if arguments.command == "explain":
        print("\n".join(_explain(result, data.get("budget"))))
    elif arguments.out == "-":
        print(result.to_json())
    else:
        if arguments.out is not None:
            try:
                with open(arguments.out, "w", encoding="utf-8") as file:
                    file.write(result.to_json())
            except OSError as error:
                raise UnreadableInput(str(error)) from error
        print("\n".join(summary(result, np.asarray(data["expected_returns"], dtype=np.float64))))
    return SOLVED if result.status == "solved" else UNSOLVED


def main(argv: list[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    if arguments.command == "demo":
        from morva.demo import run_demo

        return run_demo(assets=arguments.assets, factors=arguments.factors, seed=arguments.seed)
    try:
        return _run(arguments)
    except UnreadableInput as error:
        print(f"morva: {arguments.problem}: {error}", file=sys.stderr)
        return UNREADABLE
