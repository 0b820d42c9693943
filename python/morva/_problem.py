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
from typing import Any

import _morva

from . import _engine
from ._settings import DEFAULT_PROFILE, checked_settings



def plain(problem: Any) -> Any:
    """The engine's problem behind a ``morva.PortfolioProblem``; anything else as it is
    (a ``_morva.PortfolioProblem``, a ``LabelledProblem``, or what the caller's own
    type check should refuse)."""
    return problem._problem if isinstance(problem, PortfolioProblem) else problem


class PortfolioProblem:
    """PortfolioProblem(factors, omega, specific_variance, expected_returns, **keywords)

    A portfolio problem (the arguments are those of ``_morva.PortfolioProblem``)
    whose ``solve`` and ``sequence`` use the package's solver profile unless
    given ``profile="reference"``. It is immutable; ``problem`` is the engine's
    problem it holds, which every function of the package also takes.
    """

    __slots__ = ("_problem",)
    __signature__ = inspect.signature(_morva.PortfolioProblem)

    def __init__(self, *arrays: Any, **keywords: Any) -> None:
        self._problem = _morva.PortfolioProblem(*arrays, **keywords)

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
        """The engine's dump (``_morva.PortfolioProblem.from_json`` reads it too)."""
        return self._problem.to_json()

    @classmethod
    def from_json(cls, text: str) -> PortfolioProblem:
        """The problem of a dump written by either class's ``to_json``."""
        return cls._wrap(_morva.PortfolioProblem.from_json(text))

    def __getattr__(self, name: str) -> Any:
        # Only reached for names the class lacks; never while unpickling, before _problem is set.
        if name.startswith("_"):
            raise AttributeError(f"'PortfolioProblem' object has no attribute '{name}'")
        return getattr(self._problem, name)

    def __reduce__(self):
        # The exact dump (shortest round-trip doubles): the copy solves bit for bit as the original.
        return _from_json, (self._problem.to_json(),)

    def __repr__(self) -> str:
        return repr(self._problem)


PortfolioProblem.__module__ = __name__.rpartition(".")[0]  # shown as morva.PortfolioProblem


def _from_json(text: str) -> PortfolioProblem:
    return PortfolioProblem.from_json(text)
