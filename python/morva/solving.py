"""One entry for every solve of the package, under a choice of solver profile.

``_morva`` is the reference engine: its rules at default settings are fixed
(the documented ADMM with its penalty ladder) so that its answers can be
compared bit for bit across versions. The package adds its own profile,
``"adaptive"``, which may change what the reference fixes only as a default:
how the penalty starts and moves, acceleration, and a polish that never makes
an answer worse. It reaches the same optimum in fewer iterations, and it is
what every solve of the package uses unless told otherwise; pass
``profile="reference"`` to get ``_morva``'s answer bit for bit.

Every entry passes its settings through :func:`checked_settings`, which
refuses counts that would keep a solve from finishing.
"""

from __future__ import annotations

import inspect
from collections.abc import Sequence
from typing import Any

import _morva

from . import _engine
from ._messages import reraised
from ._problem import plain
from ._sparse import engine_problem
from ._settings import (DEFAULT_PROFILE, MAX_ITERATIONS, MAX_SCALING_ITERATIONS, PROFILES,  # noqa: F401
                        checked_settings)


def solve(problem: Any, *, profile: str = DEFAULT_PROFILE, **settings: Any) -> Any:
    """Solves ``problem`` under ``profile`` and returns its ``SolveResult``.

    ``problem`` is a ``morva.PortfolioProblem``, a ``_morva.PortfolioProblem`` or a
    ``morva.labels.LabelledProblem`` (whose result is then labelled). The
    keywords are those of ``PortfolioProblem.solve`` (``warm_start``, the solver
    settings and ``raise_on_failure``); ``profile`` is ``"adaptive"`` (the
    package's own rules, the default) or ``"reference"`` (exactly
    ``_morva.PortfolioProblem.solve``).
    """
    problem = plain(problem)
    if getattr(problem, "label", None) is not None and not isinstance(problem, _morva.PortfolioProblem):
        return problem.solve(profile=profile, **settings)
    return _engine.solve(problem, profile, checked_settings(settings))


def solve_batch(problems: Any, steps: Any, *, profile: str = DEFAULT_PROFILE, **keywords: Any) -> list[list[Any]]:
    """``_morva.solve_batch(problems, steps, **keywords)`` under ``profile``: one list of
    results per account, each account a rolling sequence of its problem over its step
    dicts. ``problems`` may hold ``morva.PortfolioProblem`` and ``_morva`` problems."""
    keywords = checked_settings(keywords)
    if isinstance(problems, Sequence) and not isinstance(problems, (str, bytes)):
        problems = [plain(problem) for problem in problems]
    try:
        return _engine.solve_batch(profile, (problems, steps), keywords)
    except (ValueError, RuntimeError) as error:
        translated = reraised(error)
        if translated is error:
            raise
        raise translated from None


_ENGINE_FUNCTION = "solve_mean_variance_factor()"
_SOLVE_KEYWORDS = frozenset(inspect.signature(_morva.PortfolioProblem.solve).parameters) - {"self"}


def solve_mean_variance_factor(*arrays: Any, profile: str = DEFAULT_PROFILE, **keywords: Any) -> Any:
    """Builds a ``PortfolioProblem`` and solves it once under ``profile``: the arguments
    of ``_morva.solve_mean_variance_factor`` (the problem's, then those of ``solve``)."""
    settings = {name: keywords.pop(name) for name in _SOLVE_KEYWORDS & keywords.keys()}
    gross_leverage = keywords.pop("gross_leverage", None)
    try:
        problem = engine_problem(*arrays, **keywords)
    except TypeError as error:
        raise TypeError(str(error).replace("PortfolioProblem()", _ENGINE_FUNCTION)) from None
    from ._problem import with_gross_leverage

    problem = with_gross_leverage(problem, gross_leverage)
    return _engine.solve(problem, profile, checked_settings(settings))


solve_mean_variance_factor.__signature__ = inspect.signature(_morva.solve_mean_variance_factor).replace(
    parameters=[*inspect.signature(_morva.solve_mean_variance_factor).parameters.values(),
                inspect.Parameter("gross_leverage", inspect.Parameter.KEYWORD_ONLY, default=None),
                inspect.Parameter("profile", inspect.Parameter.KEYWORD_ONLY, default=DEFAULT_PROFILE)])


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
    problem = plain(problem)
    return _engine.problem_data(getattr(problem, "problem", problem))
