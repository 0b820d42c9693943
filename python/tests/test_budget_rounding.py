"""A fully invested portfolio with equal caps: the caps' left-to-right sum may
round just below the budget (ten caps of 0.1 add up to 0.9999999999999999),
and such a budget must still be accepted; one beyond the sum by more than its
rounding error is refused with the plain sums in the message."""

from __future__ import annotations

import numpy as np
import pytest

import _morva
from conftest import positional, small_arrays

# "Solved" holds the budget row within absolute + relative tolerance at the
# defaults, the norms involved being about the budget, 1.
TOLERANCE = 1.0e-6 + 1.0e-5


def left_to_right(values) -> float:
    total = 0.0
    for value in values:
        total += float(value)
    return total


def caps(kind: str, n: int) -> dict:
    if kind == "max_weight":
        return {"max_weight": 1.0 / n}
    return {"lower_bounds": np.zeros(n), "upper_bounds": np.full(n, 1.0 / n)}


@pytest.mark.parametrize("kind", ["max_weight", "upper_bounds"])
@pytest.mark.parametrize("n", [7, 10, 13, 300])
def test_equal_caps_invest_everything(kind, n):
    result = _morva.solve_mean_variance_factor(*positional(small_arrays(n)), **caps(kind, n))
    assert result.status == "solved"
    assert abs(result.weights.sum() - 1.0) <= TOLERANCE
    assert np.all(result.weights <= 1.0 / n + TOLERANCE)


def test_the_reported_case_solves():
    # The report: max_weight=0.1 over ten assets was refused with
    # "reachable sum is [0, 0.9999999999999999]".
    assert left_to_right([0.1] * 10) < 1.0
    problem = _morva.PortfolioProblem(*positional(small_arrays(10)), max_weight=0.1)
    result = problem.solve()
    assert result.status == "solved"
    assert abs(result.weights.sum() - 1.0) <= TOLERANCE


@pytest.mark.parametrize("n", [7, 10, 300])
def test_a_budget_beyond_the_rounding_error_is_refused(n):
    highest = left_to_right([1.0 / n] * n)
    budget = highest + 1e-9
    message = (
        f"budget {budget!r} is impossible under the box constraints: reachable sum is [0, {highest!r}]"
    )
    with pytest.raises(ValueError) as raised:
        _morva.solve_mean_variance_factor(*positional(small_arrays(n)), budget=budget, **caps("upper_bounds", n))
    assert str(raised.value) == message


@pytest.mark.parametrize("n", [10, 300])
def test_sequence_budget_updates_follow_the_same_rule(n):
    sequence = _morva.PortfolioProblem(*positional(small_arrays(n)), budget=0.5, **caps("upper_bounds", n)).sequence()
    assert sequence.solve_next(budget=1.0).status == "solved"
    highest = left_to_right([1.0 / n] * n)
    with pytest.raises(ValueError, match=r"reachable sum is \[0, "):
        sequence.solve_next(budget=highest + 1e-9)
    # The refused date changed nothing: the next one solves from where it was.
    assert sequence.solve_next(budget=1.0).status == "solved"
