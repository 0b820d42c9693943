"""The ``morva`` command: ``solve`` and ``explain`` a dumped problem, or run the ``demo``.

Exit status: 0 when the problem is solved, 1 when it is infeasible (a budget
the bounds cannot reach included), unbounded or unsolved, 2 when the input
cannot be read (the reader's message, with its line and column, goes to
standard error), 141 when the reader of standard output goes away (``| head``).
A dump written by ``LabelledProblem.to_json`` names its assets and
constraint rows by their labels.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from _morva import PortfolioProblem

from . import solving

SOLVED, UNSOLVED, UNREADABLE = 0, 1, 2
# 128 + SIGPIPE: what a shell reports for a writer whose reader has gone.
BROKEN_PIPE = 141
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


class UnreachableBudget(Exception):
    """The budget lies outside what the bounds can sum to: infeasible before any solve."""


@dataclass(frozen=True)
class Names:
    """How the output names assets and constraint rows: by their labels when the dump
    has them, by position otherwise."""

    assets: Sequence
    equality_rows: Sequence
    inequality_rows: Sequence
    relabel: Callable[[str], str] = staticmethod(lambda text: text)
    labelled: bool = False

    @classmethod
    def of(cls, problem: PortfolioProblem, labels: dict | None) -> Names:
        data = solving.problem_data(problem)
        if labels is None:
            return cls([f"asset {i}" for i in range(data["factors"].shape[0])],
                       [f"equality row {i}" for i in range(data["equality_matrix"].shape[0])],
                       [f"inequality row {i}" for i in range(data["inequality_matrix"].shape[0])])
        return cls([f"asset {label}" for label in labels.assets], [str(row) for row in labels.equality_rows],
                   [str(row) for row in labels.inequality_rows], labels.relabel, labelled=True)


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


def _load(path: str) -> tuple[PortfolioProblem, dict, Names]:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise UnreadableInput(str(error)) from error
    try:
        problem = PortfolioProblem.from_json(text)
    except ValueError as error:
        raise UnreadableInput(str(error)) from error
    data = json.loads(text)
    labels = None
    if "labels" in data:
        try:
            from .labels import LabelledProblem

            labels = LabelledProblem.from_json(text)
        except ImportError:
            pass  # without pandas the rows keep their positions
        except ValueError as error:
            raise UnreadableInput(str(error)) from error
    return problem, data, Names.of(problem, labels)


def _budget_unreachable(problem: PortfolioProblem) -> bool:
    """Σl ≤ B ≤ Σu fails. The engine allows a rounding margin around the sums, so
    whatever it refuses for the budget fails this test too."""
    data = solving.problem_data(problem)
    budget = data["budget"]
    return budget is not None and not data["lower_bounds"].sum() <= budget <= data["upper_bounds"].sum()


def _solve(problem: PortfolioProblem, keywords: dict):
    try:
        return solving.solve(problem, raise_on_failure=False, **keywords)
    except ValueError as error:  # an unreachable budget, or solver options the engine refuses
        if _budget_unreachable(problem):
            raise UnreachableBudget(str(error)) from error
        raise UnreadableInput(str(error)) from error


def summary(result, expected_returns: np.ndarray, names: Names | None = None) -> list[str]:
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
        name = names.assets[asset] if names is not None and names.labelled else f"asset {asset:5d}"
        lines.append(f"  {name}  {weights[asset]: .6f}")
    relabel = (lambda text: text) if names is None else names.relabel
    lines.extend(f"hint: {relabel(hint)}" for hint in result.convergence_hints)
    return lines


def _cited(values: np.ndarray, keep: Callable[[np.ndarray], np.ndarray], names: Sequence[str]) -> list[str]:
    return [f"{names[i]} with weight {values[i]:+.3f}" for i in np.flatnonzero(keep(values))]


def certificate_in_words(certificate, budget: float | None, names: Names | None = None) -> list[str]:
    """What the certificate proves, and which constraints or assets take part
    (named by ``names``, by position without)."""
    if certificate is None:
        return ["no infeasibility certificate: nothing proves the problem infeasible or unbounded"]
    if certificate.kind == "dual":
        direction = certificate.direction
        order = [i for i in np.argsort(-np.abs(direction), kind="stable") if abs(direction[i]) >= DIRECTION_CITATION]
        lines = [
            "the objective is unbounded below: moving the weights along the certificate's direction",
            "lowers the objective without limit while every constraint still holds",
        ]
        assets = [f"asset {i}" for i in range(direction.size)] if names is None else names.assets
        lines += [f"  {assets[i]}: {direction[i]:+.3f}" for i in order[:TOP_HOLDINGS]]
        if len(order) > TOP_HOLDINGS:
            lines.append(f"  ... ({len(order)} components of at least {DIRECTION_CITATION})")
        return lines
    equality = certificate.equality_dual
    bounds = certificate.bound_dual
    inequality = certificate.inequality_dual
    if names is None:
        names = Names([f"asset {i}" for i in range(bounds.size)],
                      [f"equality row {i}" for i in range(equality.size)],
                      [f"inequality row {i}" for i in range(inequality.size)])
    rows = list(names.equality_rows)
    if budget is not None and equality.size:
        rows = [f"the budget (sum of weights = {budget:g})", *rows]
    assets = names.assets
    parts = [
        ("equality constraints", _cited(equality, lambda v: np.abs(v) >= FARKAS_CITATION, rows)),
        ("inequality caps", _cited(inequality, lambda v: v >= FARKAS_CITATION, names.inequality_rows)),
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


def _explain(result, budget: float | None, names: Names) -> list[str]:
    lines = [f"status: {result.status} after {result.iterations} iterations"]
    hints = result.convergence_hints
    lines.append("hints:" if hints else "hints: none")
    lines.extend(f"  - {names.relabel(hint)}" for hint in hints)
    lines.append("certificate:")
    lines.extend(f"  {line}" for line in certificate_in_words(result.certificate, budget, names))
    return lines


def _unreachable(arguments: argparse.Namespace, reason: str) -> int:
    """An unreachable budget: infeasible, found before any iteration (no result to write)."""
    if arguments.command == "explain":
        lines = ["status: primal infeasible before any iteration", f"  {reason}"]
    else:
        lines = ["status            primal infeasible (before any iteration)", f"reason            {reason}"]
    print("\n".join(lines), file=sys.stderr if getattr(arguments, "out", None) == "-" else sys.stdout)
    return UNSOLVED


def _run(arguments: argparse.Namespace) -> int:
    keywords = {
        name: value
        for name, value in vars(arguments).items()
        if name in {o[1] for o in _SOLVER_OPTIONS} | {s[1] for s in _SOLVER_SWITCHES} | {"profile"}
    }
    problem, data, names = _load(arguments.problem)
    try:
        result = _solve(problem, keywords)
    except UnreachableBudget as error:
        return _unreachable(arguments, str(error))
    if arguments.command == "explain":
        print("\n".join(_explain(result, data.get("budget"), names)))
    elif arguments.out == "-":
        print(result.to_json())
    else:
        if arguments.out is not None:
            try:
                with open(arguments.out, "w", encoding="utf-8") as file:
                    file.write(result.to_json())
            except OSError as error:
                raise UnreadableInput(str(error)) from error
        print("\n".join(summary(result, np.asarray(data["expected_returns"], dtype=np.float64), names)))
    return SOLVED if result.status == "solved" else UNSOLVED


def main(argv: list[str] | None = None) -> int:
    try:
        status = _main(argv)
        sys.stdout.flush()  # a closed pipe fails here, not in the interpreter's exit flush
        return status
    except BrokenPipeError:
        # The reader went away (`morva solve ... | head`): nobody is left to tell. Standard
        # output now points at devnull so that the interpreter's final flush is quiet too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return BROKEN_PIPE


def _main(argv: list[str] | None) -> int:
    arguments = _parser().parse_args(argv)
    if arguments.command == "demo":
        from morva.demo import run_demo

        return run_demo(assets=arguments.assets, factors=arguments.factors, seed=arguments.seed)
    try:
        return _run(arguments)
    except UnreadableInput as error:
        print(f"morva: {arguments.problem}: {error}", file=sys.stderr)
        return UNREADABLE
