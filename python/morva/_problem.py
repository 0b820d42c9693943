"""``morva.PortfolioProblem``: the engine's problem, solved under the package's profile.

``_morva.PortfolioProblem`` is the reference engine's class: its ``solve`` and
``sequence`` follow the reference rules, bit for bit across versions. The
package's class holds one such problem and differs only in what it solves
under: ``solve`` and ``sequence`` take ``profile`` ("adaptive" by default,
"reference" for the engine's rules), so every solving name of the package
uses one profile. Everything else (``dimension``, ``to_json``, pickling, any
attribute the engine's problem has) is the held problem's, and a dump of
either class reads back into the other.
"""

from __future__ import annotations

import inspect
import json
import re
from typing import Any

import _morva

from . import _engine
from ._settings import DEFAULT_PROFILE, checked_settings
from ._sparse import engine_problem



_LEVERAGE_KEY = re.compile(r',"gross_leverage":([^,}]+)}$')


def with_gross_leverage(problem: _morva.PortfolioProblem, limit: float | None) -> _morva.PortfolioProblem:
    """``problem`` with the limit Σ|wᵢ| ≤ ``limit`` (None: as it is)."""
    if limit is None:
        return problem
    if isinstance(limit, bool) or not isinstance(limit, (int, float)) and not hasattr(limit, "__float__"):
        raise TypeError(f"gross_leverage must be a number, not {type(limit).__name__}")
    return _engine.with_gross_leverage(problem, float(limit))


def dump(problem: _morva.PortfolioProblem, text: str | None = None) -> str:
    """The engine's dump of ``problem`` (or ``text``, a dump of it with more keys), its
    gross-leverage limit appended as the last key."""
    text = problem.to_json() if text is None else text
    limit = _engine.gross_leverage(problem)
    return text if limit is None else f'{text[:-1]},"gross_leverage":{json.dumps(limit)}}}'


def load(text: str) -> _morva.PortfolioProblem:
    """The problem of ``dump`` (or of the engine's own dump)."""
    match = _LEVERAGE_KEY.search(text)
    problem = _morva.PortfolioProblem.from_json(text)
    return problem if match is None else with_gross_leverage(problem, float(json.loads(match.group(1))))


def plain(problem: Any) -> Any:
    """The engine's problem behind a ``morva.PortfolioProblem``; anything else as it is
    (a ``_morva.PortfolioProblem``, a ``LabelledProblem``, or what the caller's own
    type check should refuse)."""
    return problem._problem if isinstance(problem, PortfolioProblem) else problem


class PortfolioProblem:
    """PortfolioProblem(factors, omega, specific_variance, expected_returns, **keywords)

    A portfolio problem (the arguments are those of ``_morva.PortfolioProblem``)
    whose ``solve`` and ``sequence`` use the package's solver profile unless
    given ``profile="reference"``. ``factors`` may also be a SciPy sparse
    matrix (any format), which is never densified: an industry model's
    memberships are then passed as stored. It is immutable; ``problem`` is the engine's
    problem it holds, which every function of the package also takes.
    """

    __slots__ = ("_problem",)
    __signature__ = inspect.signature(_morva.PortfolioProblem).replace(parameters=[
        *inspect.signature(_morva.PortfolioProblem).parameters.values(),
        inspect.Parameter("gross_leverage", inspect.Parameter.KEYWORD_ONLY, default=None)])

    def __init__(self, *arrays: Any, gross_leverage: float | None = None, **keywords: Any) -> None:
        self._problem = with_gross_leverage(engine_problem(*arrays, **keywords), gross_leverage)

    @classmethod
    def _wrap(cls, problem: Any) -> PortfolioProblem:
        """A ``morva.PortfolioProblem`` holding the engine's ``problem`` (or the one a
        ``morva.PortfolioProblem`` holds)."""
        problem = plain(problem)
        if not isinstance(problem, _morva.PortfolioProblem):
            raise TypeError(f"expected a _morva.PortfolioProblem, got {type(problem).__name__}")
        wrapped = cls.__new__(cls)
        wrapped._problem = problem
        return wrapped

    @property
    def problem(self) -> _morva.PortfolioProblem:
        return self._problem

    @property
    def dimension(self) -> int:
        return self._problem.dimension

    @property
    def gross_leverage(self) -> float | None:
        """The limit Σ|wᵢ| ≤ gross_leverage (1.6 for a 130/30 book), or None."""
        return _engine.gross_leverage(self._problem)

    def solve(self, *, profile: str = DEFAULT_PROFILE, **keywords: Any) -> Any:
        """``morva.solve(self, profile=profile, **keywords)``: the keywords of
        ``_morva.PortfolioProblem.solve``; ``profile`` is "adaptive" (the package's
        rules) or "reference" (``_morva.PortfolioProblem.solve`` bit for bit)."""
        return _engine.solve(self._problem, profile, checked_settings(keywords))

    def sequence(self, *, profile: str = DEFAULT_PROFILE, **settings: Any) -> _morva.PortfolioSequence:
        """A ``PortfolioSequence`` of this problem whose dates solve under ``profile``
        (the settings are those of ``_morva.PortfolioProblem.sequence``)."""
        return _engine.sequence(self._problem, profile, checked_settings(settings), None)

    def to_json(self) -> str:
        """The engine's dump, with "gross_leverage" last when the problem has one
        (``_morva.PortfolioProblem.from_json`` reads it too, without the limit)."""
        return dump(self._problem)

    @classmethod
    def from_json(cls, text: str) -> PortfolioProblem:
        """The problem of a dump written by either class's ``to_json``."""
        return cls._wrap(load(text))

    def __getattr__(self, name: str) -> Any:
        # Only reached for names the class lacks; never while unpickling, before _problem is set.
        if name.startswith("_"):
            raise AttributeError(f"'PortfolioProblem' object has no attribute '{name}'")
        return getattr(self._problem, name)

    def __reduce__(self):
        # The exact dump (shortest round-trip doubles): the copy solves bit for bit as the original.
        return _from_json, (dump(self._problem),)

    def __repr__(self) -> str:
        return repr(self._problem)


PortfolioProblem.__module__ = __name__.rpartition(".")[0]  # shown as morva.PortfolioProblem


def _from_json(text: str) -> PortfolioProblem:
    return PortfolioProblem.from_json(text)
