"""SolveResult and InfeasibilityCertificate: attributes, copies, reprs, the
result JSON, and the failure message of solves that do not succeed."""

from __future__ import annotations

import json
import math
import re

import numpy as np
import pytest

import _morva
from conftest import infeasible_keywords, positional, scientific, small_arrays, unbounded_arrays

STATUS_NAMES = {
    "solved": "Solved",
    "maximum iterations reached": "MaxIterations",
    "numerical failure": "NumericalFailure",
    "primal infeasible": "PrimalInfeasible",
    "dual infeasible": "DualInfeasible",
}
RESULT_KEYS = [
    "status", "x", "dual", "objective", "residuals", "iterations", "solve_time", "final_rho", "rho_updates",
    "polished", "diagnostics", "certificate",
]


def solved_result():
    return _morva.PortfolioProblem(*positional(small_arrays(4))).solve()


# Each portfolio is given as (positional arrays, construction keywords).
def plain_portfolio():
    return positional(small_arrays(4)), {}


def infeasible_portfolio():
    return positional(small_arrays(3)), infeasible_keywords()


def unbounded_portfolio():
    arrays = unbounded_arrays()
    return positional(arrays), {"lower_bounds": arrays["lower_bounds"], "upper_bounds": arrays["upper_bounds"]}


def overflowing_portfolio():
    """Data so large that the iterates overflow: non-finite residuals."""
    arrays = small_arrays(4)
    arrays["expected_returns"] = np.array([1.7e308, -1.7e308, 1.7e308, 1.7e308])
    return positional(arrays), {"lower_bounds": np.full(4, -np.inf), "upper_bounds": np.full(4, np.inf)}


def make_problem(portfolio):
    arrays, keywords = portfolio()
    return _morva.PortfolioProblem(*arrays, **keywords)


def truncated_problem():
    return make_problem(plain_portfolio)


def infeasible_problem():
    return make_problem(infeasible_portfolio)


def unbounded_problem():
    return make_problem(unbounded_portfolio)


def overflowing_problem():
    return make_problem(overflowing_portfolio)


def expected_failure_message(result) -> str:
    hints = "" if not result.convergence_hints else " Hints: " + "; ".join(result.convergence_hints) + "."
    return (
        f"Morva stopped with status '{result.status}' after {result.iterations} iterations "
        f"(primal residual {scientific(result.primal_residual, 3)}, dual residual "
        f"{scientific(result.dual_residual, 3)}).{hints} Set raise_on_failure=False to inspect the returned "
        "iterate and its convergence_hints."
    )


FAILING = [
    ("max_iterations", plain_portfolio, {"max_iterations": 3}, "maximum iterations reached"),
    ("max_iterations_unpolished", plain_portfolio, {"max_iterations": 7, "polish": False},
     "maximum iterations reached"),
    ("primal_infeasible", infeasible_portfolio, {}, "primal infeasible"),
    ("dual_infeasible", unbounded_portfolio, {}, "dual infeasible"),
    ("overflow", overflowing_portfolio, {"max_iterations": 200}, "maximum iterations reached"),
]


@pytest.mark.parametrize(("case", "portfolio", "keywords", "status"), FAILING, ids=[c[0] for c in FAILING])
def test_failed_solve_raises_runtime_error_with_the_failure_message(case, portfolio, keywords, status):
    problem = make_problem(portfolio)
    returned = problem.solve(raise_on_failure=False, **keywords)
    assert returned.status == status
    with pytest.raises(RuntimeError) as error:
        problem.solve(**keywords)
    message = str(error.value)
    assert message == expected_failure_message(returned)
    assert message.startswith(f"Morva stopped with status '{status}' after ")
    assert message.endswith(" Set raise_on_failure=False to inspect the returned iterate and its convergence_hints.")
    if returned.convergence_hints:
        assert ". Hints: " in message
    else:
        assert "). Set raise_on_failure=False" in message
    arrays, construction = portfolio()
    with pytest.raises(RuntimeError) as one_shot_error:
        _morva.solve_mean_variance_factor(*arrays, **construction, **keywords)
    assert str(one_shot_error.value) == message


def test_infeasible_data_raises_runtime_error_not_value_error():
    with pytest.raises(RuntimeError, match="^Morva stopped with status 'primal infeasible'"):
        infeasible_problem().solve()


def test_default_iteration_budget_is_ten_thousand():
    result = overflowing_problem().solve(raise_on_failure=False)
    assert result.status == "maximum iterations reached"
    assert result.iterations == 10000


def test_solved_result_attributes():
    result = solved_result()
    assert result.status == "solved"
    assert result.certificate is None
    assert result.convergence_hints == []
    for name in ("objective", "primal_residual", "dual_residual", "complementarity", "solve_time_seconds", "final_rho"):
        assert type(getattr(result, name)) is float
    for name in ("iterations", "rho_updates"):
        assert type(getattr(result, name)) is int
    assert type(result.polished) is bool
    assert result.solve_time_seconds > 0.0
    weights = result.weights
    assert weights.dtype == np.float64 and weights.ndim == 1 and weights.size == 4
    assert weights.flags.writeable and weights.flags.owndata
    assert abs(weights.sum() - 1.0) < 1e-8


def test_array_attributes_are_fresh_copies():
    result = infeasible_problem().solve(raise_on_failure=False)
    first = result.weights
    first[:] = 123.0
    assert not np.any(result.weights == 123.0)
    assert result.weights is not result.weights
    hints = result.convergence_hints
    hints.append("changed")
    assert "changed" not in result.convergence_hints
    certificate = result.certificate
    assert result.certificate is not certificate
    for name in ("equality_dual", "inequality_dual", "bound_dual"):
        block = getattr(certificate, name)
        assert block.flags.writeable and block.flags.owndata
        block[:] = 99.0
        assert not np.any(getattr(certificate, name) == 99.0)
    # The certificate owns its data: it outlives its result.
    del result
    assert certificate.kind == "primal" and certificate.bound_dual.size == 3


def test_primal_certificate_is_a_farkas_proof():
    problem = infeasible_problem()
    result = problem.solve(raise_on_failure=False)
    assert result.status == "primal infeasible"
    certificate = result.certificate
    assert certificate.kind == "primal"
    assert certificate.direction is None
    y, z, w = certificate.equality_dual, certificate.inequality_dual, certificate.bound_dual
    assert (y.size, z.size, w.size) == (1, 1, 3)  # budget row, one cap, three boxes
    # Farkas: A_eqᵀy + A_inᵀz + w = 0 while b_eqᵀy + b_inᵀz + Σ (w⁺u − w⁻l) < 0.
    A_in = np.array([[1.0, 1.0, 0.0]])
    lower, upper = np.zeros(3), np.full(3, 0.5)
    stationarity = y[0] * np.ones(3) + A_in.T @ z + w
    value = y[0] * 1.0 + z @ np.array([0.2]) + np.maximum(w, 0) @ upper - np.maximum(-w, 0) @ lower
    assert np.abs(stationarity).max() < 1e-6
    assert value < -1e-3
    assert np.all(z >= 0)
    assert max(np.abs(y).max(), np.abs(z).max(), np.abs(w).max()) == pytest.approx(1.0, abs=1e-6)
    assert repr(certificate) == "InfeasibilityCertificate(kind='primal')"

    document = json.loads(result.to_json())
    assert list(document["certificate"]) == ["Primal"]
    primal = document["certificate"]["Primal"]
    assert list(primal) == ["equality_dual", "inequality_dual", "bound_dual"]
    assert primal["bound_dual"] == w.tolist()


def test_dual_certificate_is_a_descent_ray():
    result = unbounded_problem().solve(raise_on_failure=False)
    assert result.status == "dual infeasible"
    certificate = result.certificate
    assert certificate.kind == "dual"
    assert (certificate.equality_dual, certificate.inequality_dual, certificate.bound_dual) == (None, None, None)
    direction = certificate.direction
    # Budget kept (Σd = 0 within the default infeasibility tolerance), the
    # return rises along it, unit infinity norm.
    assert abs(direction.sum()) < 1e-5
    assert np.array([0.1, 0.0]) @ direction > 0
    assert np.abs(direction).max() == pytest.approx(1.0, abs=1e-9)
    assert repr(certificate) == "InfeasibilityCertificate(kind='dual')"
    document = json.loads(result.to_json())
    assert document["certificate"] == {"Dual": {"direction": direction.tolist()}}


REPR_CASES = [
    ("solved", lambda: truncated_problem().solve()),
    ("max_iterations", lambda: truncated_problem().solve(max_iterations=3, raise_on_failure=False)),
    ("overflow", lambda: overflowing_problem().solve(max_iterations=200, raise_on_failure=False)),
]


@pytest.mark.parametrize(("case", "make"), REPR_CASES, ids=[c[0] for c in REPR_CASES])
def test_result_repr(case, make):
    result = make()
    assert repr(result) == (
        f"SolveResult(status='{result.status}', objective={scientific(result.objective, 6)}, "
        f"iterations={result.iterations}, primal_residual={scientific(result.primal_residual, 3)}, "
        f"dual_residual={scientific(result.dual_residual, 3)})"
    )


def test_repr_number_format():
    assert scientific(0.5, 3) == "5.000e-1"
    assert scientific(2.0, 3) == "2.000e0"
    assert scientific(1e6, 1) == "1.0e6"
    result = truncated_problem().solve(max_iterations=3, raise_on_failure=False)
    assert "e+" not in repr(result) and "e-0" not in repr(result)


@pytest.mark.parametrize(("case", "make"), REPR_CASES, ids=[c[0] for c in REPR_CASES])
def test_result_json(case, make):
    result = make()
    text = result.to_json()
    assert text == result.to_json()
    outside_strings = re.sub(r'"(?:[^"\\]|\\.)*"', '""', text)
    assert not any(c.isspace() for c in outside_strings)  # compact form
    document = json.loads(text)
    assert list(document) == RESULT_KEYS
    assert document["status"] == STATUS_NAMES[result.status]
    assert document["x"] == result.weights.tolist()
    assert list(document["dual"]) == ["equalities", "inequalities", "bounds", "l1"]
    assert len(document["dual"]["equalities"]) == 1 and len(document["dual"]["bounds"]) == 4
    assert list(document["residuals"]) == ["primal", "dual", "complementarity"]
    for key, attribute in (("primal", "primal_residual"), ("dual", "dual_residual"), ("complementarity", "complementarity")):
        value = getattr(result, attribute)
        assert document["residuals"][key] == (value if math.isfinite(value) else None)
    objective = result.objective
    assert document["objective"] == (objective if math.isfinite(objective) else None)
    assert document["iterations"] == result.iterations
    assert document["rho_updates"] == result.rho_updates
    assert document["final_rho"] == result.final_rho
    assert document["polished"] is result.polished
    time = document["solve_time"]
    assert list(time) == ["secs", "nanos"] and 0 <= time["nanos"] <= 999_999_999
    assert time["secs"] + time["nanos"] / 1e9 == result.solve_time_seconds
    if result.status == "solved":
        assert document["diagnostics"] is None
        assert document["certificate"] is None
    else:
        diagnostics = document["diagnostics"]
        assert list(diagnostics) == [
            "primal_tolerance", "dual_tolerance", "coefficient_spread_decades", "rho_at_limit", "hints",
        ]
        assert diagnostics["hints"] == result.convergence_hints


def test_non_finite_numbers_are_null_in_json_and_inf_in_python():
    result = overflowing_problem().solve(raise_on_failure=False)
    values = [result.objective, result.primal_residual, result.dual_residual]
    assert not all(math.isfinite(value) for value in values)
    text = result.to_json()
    assert "Infinity" not in text and "NaN" not in text
    assert "null" in text
    shown = repr(result)
    for value in values:
        if not math.isfinite(value):
            assert ("inf" if math.isinf(value) else "NaN") in shown
