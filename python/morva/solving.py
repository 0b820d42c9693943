"""One entry for every solve of the package, under a choice of solver profile.

``_morva`` is the reference engine: its rules at default settings are fixed
(the documented ADMM with its penalty ladder) so that its answers can be
compared bit for bit across versions. The package adds its own profile,
``"adaptive"``, which may change what the reference fixes only as a default:
how the penalty starts and moves, acceleration, and a polish that never makes
an answer worse. It reaches the same optimum in fewer iterations, and it is
what every solve of the package uses unless told otherwise; pass
``profile="reference"`` to get ``problem.solve(...)`` bit for bit.
"""

from __future__ import annotations

from typing import Any

import _morva

from . import _engine
from ._messages import reraised

PROFILES = ("adaptive", "reference")
DEFAULT_PROFILE = "adaptive"


def solve(problem: Any, *, profile: str = DEFAULT_PROFILE, **settings: Any) -> Any:
    """Solves ``problem`` under ``profile`` and returns its ``SolveResult``.

    ``problem`` is a ``PortfolioProblem`` or a ``morva.labels.LabelledProblem``
    (whose result is then labelled). The keywords are those of
    ``PortfolioProblem.solve`` (``warm_start``, the solver settings and
    ``raise_on_failure``); ``profile`` is ``"adaptive"`` (the package's own
    rules, the default) or ``"reference"`` (exactly ``problem.solve``).
    """
    labelled = getattr(problem, "label", None)
    if labelled is not None and not isinstance(problem, _morva.PortfolioProblem):
        return problem.solve(profile=profile, **settings)
    return _engine.solve(problem, profile, settings)


def solve_batch(problems: Any, steps: Any, *, profile: str = DEFAULT_PROFILE, **keywords: Any) -> list[list[Any]]:
    """``solve_batch(problems, steps, **keywords)`` under ``profile``."""
    try:
        return _engine.solve_batch(profile, (problems, steps), keywords)
    except (ValueError, RuntimeError) as error:
        translated = reraised(error)
        if translated is error:
            raise
        raise translated from None


def problem_data(problem: Any) -> dict[str, Any]:
    """The problem's inputs as read-only float64 views, without copies.

    Keys: ``factors`` (n×k), ``omega`` (k×k, or the vector ω of a diagonal
    Ω), ``specific_variance``, ``expected_returns``, ``risk_aversion``,
    ``budget`` (None when there is no budget row), ``lower_bounds``,
    ``upper_bounds`` (after the weight and short limits),
    ``equality_matrix``/``equality_rhs`` and
    ``inequality_matrix``/``inequality_rhs`` (with the templates' rows),
    ``previous_weights``, ``turnover_penalty``, ``l1_turnover_costs`` and
    ``benchmark_weights`` (None when absent). The views keep the problem
    alive and cannot be written to.
    """
    return _engine.problem_data(getattr(problem, "problem", problem))
