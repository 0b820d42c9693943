"""PortfolioProblem.to_json / from_json from Python: round trips, the dump's
shape, and the reading errors with their texts."""

from __future__ import annotations

import json
import re

import numpy as np
import pytest

import _morva
from conftest import positional, small_arrays

PROBLEM_KEYS = [
    "covariance", "expected_returns", "risk_aversion", "budget", "equalities", "inequalities", "lower_bounds",
    "upper_bounds", "previous_weights", "turnover_penalty", "l1_turnover_costs", "benchmark_weights",
]
POSITION = re.compile(r" at line \d+ column \d+$")


def featured_problem():
    n = 4
    arrays = small_arrays(n)
    return _morva.PortfolioProblem(
        *positional(arrays),
        risk_aversion=2.5,
        lower_bounds=np.array([-np.inf, 0.0, 0.0, -0.1]),
        upper_bounds=np.array([1.0, np.inf, 0.5, 0.5]),
        inequality_matrix=np.array([[1.0, -1.0, 0.0, 0.0]]),
        inequality_rhs=np.array([0.3]),
        previous_weights=np.full(n, 0.25),
        turnover_penalty=0.5,
        l1_turnover_costs=1e-7,
        benchmark_weights=np.array([0.1, 0.2, 0.3, 0.4]),
        industry_ids=[1, 1, 0, 0],
        style_matrix=np.array([[0.5, -0.5, 1.0, 2.0]]),
        style_lower=np.array([-1.0]),
        style_upper=np.array([1.0]),
    )


def test_round_trip_is_byte_identical():
    problem = featured_problem()
    text = problem.to_json()
    rebuilt = _morva.PortfolioProblem.from_json(text)
    assert type(rebuilt) is _morva.PortfolioProblem
    assert rebuilt.to_json() == text
    assert rebuilt.dimension == problem.dimension
    assert rebuilt.solve().weights.tolist() == problem.solve().weights.tolist()


def test_dump_shape_and_template_rows():
    text = featured_problem().to_json()
    assert " " not in text
    document = json.loads(text)
    assert list(document) == PROBLEM_KEYS
    assert list(document["covariance"]) == ["factors", "omega", "diagonal"]
    assert list(document["covariance"]["omega"]) == ["Dense"]
    # Industry rows (group 0 = assets 2, 3; group 1 = assets 0, 1), targets from the benchmark.
    equalities = document["equalities"]
    assert equalities["matrix"] == {"rows": 2, "cols": 4, "data": [0, 0, 1, 1, 1, 1, 0, 0]}
    assert equalities["rhs"] == pytest.approx([0.7, 0.3])
    # User cap, then the style band's upper and lower rows.
    inequalities = document["inequalities"]
    assert inequalities["matrix"]["rows"] == 3
    assert inequalities["rhs"] == [0.3, 1.0, 1.0]
    assert document["lower_bounds"] == [None, 0.0, 0.0, -0.1]
    assert document["upper_bounds"] == [1.0, None, 0.5, 0.5]
    assert document["l1_turnover_costs"] == [1e-7] * 4
    assert '"l1_turnover_costs":[1e-7,' in text


def edit(mutate) -> str:
    document = json.loads(featured_problem().to_json())
    mutate(document)
    return json.dumps(document, separators=(",", ":"))


def test_template_rows_reload_without_a_benchmark():
    def drop_benchmark(document):
        document["benchmark_weights"] = None

    rebuilt = _morva.PortfolioProblem.from_json(edit(drop_benchmark))
    assert json.loads(rebuilt.to_json())["equalities"]["matrix"]["rows"] == 2


def test_missing_budget_means_no_budget_row():
    rebuilt = _morva.PortfolioProblem.from_json(edit(lambda d: d.pop("budget")))
    assert json.loads(rebuilt.to_json())["budget"] is None


def test_unknown_keys_are_ignored():
    rebuilt = _morva.PortfolioProblem.from_json(edit(lambda d: d.update(comment="from a bug report")))
    assert rebuilt.to_json() == featured_problem().to_json()


def break_matrix(document):
    document["covariance"]["factors"] = {"rows": 2, "cols": 2, "data": [1.0, 2.0, 3.0]}


def rename_variant(document):
    omega = document["covariance"]["omega"]
    document["covariance"]["omega"] = {"Sparse": omega["Dense"]}


def penalty_without_anchor(document):
    document["previous_weights"] = None
    document["l1_turnover_costs"] = None


def unanchored_penalty(penalty):
    def mutate(document):
        penalty_without_anchor(document)
        document["turnover_penalty"] = penalty

    return mutate


# (name, text or mutation, exact message without the position, positioned)
READ_ERRORS = [
    ("trailing", featured_problem().to_json() + " {}", "trailing characters", True),
    ("missing_covariance", "{}", "missing field `covariance`", True),
    ("matrix_shape", break_matrix, "matrix shape 2x2 requires 4 values, got 3", True),
    ("unknown_variant", rename_variant, "unknown variant `Sparse`, expected `Dense` or `Diagonal`", True),
    ("penalty_without_anchor", unanchored_penalty(0.5),
     "invalid portfolio parameter: turnover terms require previous_weights", False),
    ("risk_aversion", lambda d: d.update(risk_aversion=0.0),
     "invalid portfolio parameter: risk_aversion must be finite and positive", False),
]


@pytest.mark.parametrize(("case", "source", "message", "positioned"), READ_ERRORS, ids=[c[0] for c in READ_ERRORS])
def test_read_errors(case, source, message, positioned):
    text = source if isinstance(source, str) else edit(source)
    with pytest.raises(ValueError) as error:
        _morva.PortfolioProblem.from_json(text)
    text = str(error.value)
    if positioned:
        assert POSITION.search(text), text
        assert POSITION.sub("", text) == message
    else:
        assert text == message


def test_zero_penalty_without_anchor_loads():
    rebuilt = _morva.PortfolioProblem.from_json(edit(unanchored_penalty(0.0)))
    assert json.loads(rebuilt.to_json())["previous_weights"] is None


@pytest.mark.parametrize("text", [b"{}", None, 3, ["{}"]], ids=["bytes", "none", "int", "list"])
def test_from_json_takes_only_str(text):
    with pytest.raises(TypeError, match="^argument 'text': "):
        _morva.PortfolioProblem.from_json(text)


def test_from_json_through_an_instance_and_by_keyword():
    problem = featured_problem()
    assert problem.from_json(text=problem.to_json()).to_json() == problem.to_json()
