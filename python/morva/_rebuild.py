"""A problem rebuilt from another's data with some inputs replaced.

The package's goals and rolling dates change inputs that a held problem or
sequence cannot (the expected returns of a minimum-variance solve, the bounds
or risk model of a date). They read the problem's data through the engine's
read-only views (no JSON, no copies) and build a new ``PortfolioProblem``
from it. The views are the lowered data (bounds after the weight and short
limits, template rows inside the constraint blocks), which define the same
problem as the keywords they came from.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import _morva

from . import _engine, _inputs, solving
from ._problem import plain, with_gross_leverage


def inputs(problem: Any) -> dict[str, Any]:
    """The keyword inputs that rebuild ``problem`` (a ``PortfolioProblem``), as views."""
    data = solving.problem_data(problem)
    values = {name: data[name] for name in _inputs.HELD}
    for block in _inputs.BLOCKS:
        if values[f"{block}_matrix"].shape[0] == 0:
            values[f"{block}_matrix"] = values[f"{block}_rhs"] = None
    return values


def rebuild(problem: Any, **overrides: Any) -> _morva.PortfolioProblem:
    """A new ``PortfolioProblem`` with ``problem``'s data and ``overrides`` in place of its inputs.

    An override of ``None`` drops an optional input (a benchmark, the
    anchor); ``budget=None`` drops the budget row.
    """
    values = inputs(problem)
    unknown = set(overrides) - set(values) - {"gross_leverage"}
    if unknown:
        raise TypeError(f"unknown input {sorted(unknown)[0]!r}")
    limit = overrides.pop("gross_leverage", _engine.gross_leverage(engine_problem(problem)))
    values.update(overrides)
    return with_gross_leverage(built(values), limit)


def engine_problem(problem: Any) -> _morva.PortfolioProblem:
    """The engine's problem behind a package, labelled or engine problem."""
    problem = plain(problem)
    return problem if isinstance(problem, _morva.PortfolioProblem) else problem.problem


def built(values: dict[str, Any]) -> _morva.PortfolioProblem:
    arrays = [np.ascontiguousarray(values.pop(name), dtype=np.float64) for name in _inputs.REQUIRED]
    keywords = {name: (value if np.isscalar(value) or value is None else np.ascontiguousarray(value, dtype=np.float64))
                for name, value in values.items() if value is not None or name == "budget"}
    if keywords["budget"] is not None:
        return _morva.PortfolioProblem(*arrays, **keywords)
    # The constructor always sets a budget row; only a dump can say "none".
    keywords["budget"] = 1.0
    dump = json.loads(_morva.PortfolioProblem(*arrays, **keywords).to_json())
    dump["budget"] = None
    return _morva.PortfolioProblem.from_json(json.dumps(dump))
