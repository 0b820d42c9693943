"""Pickling of the extension's objects.

``PortfolioProblem`` pickles as its exact JSON dump: the dump writes every
double in shortest round-trip form, so the unpickled problem is bit for bit
the one that was pickled and solves identically. ``SolveResult`` and
``InfeasibilityCertificate`` have no Python constructor; they pickle as the
plain record classes below, which carry the same attributes and the JSON
text the original produced.
"""

from __future__ import annotations

import copyreg
from typing import Any

import numpy as np

import _morva


def _copy(array: np.ndarray | None) -> np.ndarray | None:
    return None if array is None else array.copy()


class CertificateRecord:
    """A plain-Python ``InfeasibilityCertificate``: what a pickled certificate
    unpickles to. It has the same attributes (``kind``, ``equality_dual``,
    ``inequality_dual``, ``bound_dual``, ``direction``), each array returned as
    a fresh copy, and the same ``repr``."""

    __slots__ = ("_kind", "_equality_dual", "_inequality_dual", "_bound_dual", "_direction")

    def __init__(self, kind: str, equality_dual, inequality_dual, bound_dual, direction) -> None:
        self._kind = kind
        self._equality_dual = _copy(equality_dual)
        self._inequality_dual = _copy(inequality_dual)
        self._bound_dual = _copy(bound_dual)
        self._direction = _copy(direction)

    @classmethod
    def of(cls, certificate) -> CertificateRecord:
        return cls(
            certificate.kind,
            certificate.equality_dual,
            certificate.inequality_dual,
            certificate.bound_dual,
            certificate.direction,
        )

    kind = property(lambda self: self._kind)
    equality_dual = property(lambda self: _copy(self._equality_dual))
    inequality_dual = property(lambda self: _copy(self._inequality_dual))
    bound_dual = property(lambda self: _copy(self._bound_dual))
    direction = property(lambda self: _copy(self._direction))

    def __reduce__(self):
        return _certificate_record, _certificate_state(self)

    def __repr__(self) -> str:
        return f"InfeasibilityCertificate(kind='{self._kind}')"


# The scalar attributes of a result, in the order of the record's state.
_RESULT_SCALARS = (
    "status",
    "objective",
    "primal_residual",
    "dual_residual",
    "complementarity",
    "iterations",
    "solve_time_seconds",
    "final_rho",
    "rho_updates",
    "polished",
)


class SolveResultRecord:
    """A plain-Python ``SolveResult``: what a pickled result unpickles to, so
    results cross process boundaries (multiprocessing, joblib, Dask).

    It has the same attributes as ``SolveResult`` (``status``, ``objective``,
    the residuals, ``iterations``, ``solve_time_seconds``, ``final_rho``,
    ``rho_updates``, ``polished``, ``convergence_hints``, ``weights``,
    ``certificate``) with the same values, arrays and hint lists returned as
    fresh copies, the same ``repr``, and ``to_json()`` returns the very text
    the original result's ``to_json()`` produced (stored, not rebuilt, as is
    the ``repr`` text). The
    certificate, when present, is a :class:`CertificateRecord`.
    """

    __slots__ = ("_json", "_repr", "_scalars", "_hints", "_weights", "_certificate")

    def __init__(self, json_text: str, text: str, scalars: tuple, hints, weights, certificate) -> None:
        if len(scalars) != len(_RESULT_SCALARS):
            raise ValueError(f"a result record needs {len(_RESULT_SCALARS)} scalar attributes, got {len(scalars)}")
        self._json = json_text
        self._repr = text
        self._scalars = dict(zip(_RESULT_SCALARS, scalars))
        self._hints = tuple(hints)
        self._weights = np.array(weights, dtype=np.float64)
        self._certificate = None if certificate is None else CertificateRecord.of(certificate)

    @classmethod
    def of(cls, result) -> SolveResultRecord:
        """The record of a ``SolveResult`` (or of another record)."""
        return cls(*_result_state(result))

    status = property(lambda self: self._scalars["status"])
    objective = property(lambda self: self._scalars["objective"])
    primal_residual = property(lambda self: self._scalars["primal_residual"])
    dual_residual = property(lambda self: self._scalars["dual_residual"])
    complementarity = property(lambda self: self._scalars["complementarity"])
    iterations = property(lambda self: self._scalars["iterations"])
    solve_time_seconds = property(lambda self: self._scalars["solve_time_seconds"])
    final_rho = property(lambda self: self._scalars["final_rho"])
    rho_updates = property(lambda self: self._scalars["rho_updates"])
    polished = property(lambda self: self._scalars["polished"])
    convergence_hints = property(lambda self: list(self._hints))
    weights = property(lambda self: self._weights.copy())
    certificate = property(lambda self: self._certificate)

    def to_json(self) -> str:
        return self._json

    def __reduce__(self):
        return _result_record, _result_state(self)

    def __repr__(self) -> str:
        return self._repr


def _certificate_state(certificate) -> tuple:
    return (
        certificate.kind,
        certificate.equality_dual,
        certificate.inequality_dual,
        certificate.bound_dual,
        certificate.direction,
    )


def _result_state(result) -> tuple:
    return (
        result.to_json(),
        repr(result),
        tuple(getattr(result, name) for name in _RESULT_SCALARS),
        tuple(result.convergence_hints),
        result.weights,
        result.certificate,
    )


def _certificate_record(*state: Any) -> CertificateRecord:
    return CertificateRecord(*state)


def _result_record(*state: Any) -> SolveResultRecord:
    return SolveResultRecord(*state)


def _problem_from_json(text: str) -> _morva.PortfolioProblem:
    return _morva.PortfolioProblem.from_json(text)


def _reduce_problem(problem: _morva.PortfolioProblem):
    return _problem_from_json, (problem.to_json(),)


def _reduce_result(result: _morva.SolveResult):
    return _result_record, _result_state(result)


def _reduce_certificate(certificate: _morva.InfeasibilityCertificate):
    return _certificate_record, _certificate_state(certificate)


def register() -> None:
    """Makes the extension's classes picklable (idempotent)."""
    copyreg.pickle(_morva.PortfolioProblem, _reduce_problem)
    copyreg.pickle(_morva.SolveResult, _reduce_result)
    copyreg.pickle(_morva.InfeasibilityCertificate, _reduce_certificate)
