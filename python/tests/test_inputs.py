"""The input table the package reads (``_engine.inputs()``) against the engine's own surface."""

from __future__ import annotations

import inspect

import numpy as np
import pytest

import _morva
from conftest import positional, small_arrays
from morva import _engine, _inputs, problem_data

N, K = 4, 2
SIZES = {"n": N, "k": K, "m_equality": 1, "m_inequality": 2}


@pytest.fixture
def problem() -> _morva.PortfolioProblem:
    return _morva.PortfolioProblem(
        *positional(small_arrays(N, K)), equality_matrix=np.array([[1.0, -1.0, 0.0, 0.0]]), equality_rhs=np.zeros(1),
        inequality_matrix=np.eye(2, N), inequality_rhs=np.full(2, 0.4), previous_weights=np.full(N, 0.25),
        l1_turnover_costs=0.001, benchmark_weights=np.full(N, 0.25))


def test_rows_are_the_constructor_keywords_with_their_shapes(problem):
    parameters = inspect.signature(_morva.PortfolioProblem).parameters
    assert [(row.name, row.required, row.kind.startswith("optional ")) for row in _inputs.TABLE] == [
        (name, p.default is p.empty, p.default is None) for name, p in parameters.items()]
    assert {name: np.shape(value) for name, value in problem_data(problem).items()} == {
        row.name: tuple(SIZES[size] for size in row.shape) for row in _inputs.TABLE if row.held}


def in_place(sequence, name: str) -> bool:
    try:
        _engine.solve_next(sequence, {name: None}, False)
    except TypeError as error:
        assert str(error) == f"solve_next() got an unexpected keyword argument '{name}'"
        return False
    return True


@pytest.mark.parametrize("flag, taken", [
    ("rolls", lambda problem: set(inspect.signature(_morva.PortfolioSequence.solve_next).parameters)
     - {"self", "raise_on_failure"}),
    ("in_place", lambda problem: {name for name in _inputs.INPUTS if in_place(problem.sequence(), name)}),
])
def test_date_flags_are_the_keywords_a_date_takes(problem, flag, taken):
    assert {row.name for row in _inputs.TABLE if getattr(row, flag)} == taken(problem)
