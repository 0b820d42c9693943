"""Property-based fuzzing of the two entry points that read free-form input:
PortfolioProblem.from_json (any text, mutated dumps, dumps with a field
replaced by an arbitrary JSON value) and the step dicts of solve_batch (any
keys, any values). Whatever the input, the call either succeeds with a result
that the rest of the API agrees with, or raises ValueError with the text that
the conversion rules predict; nothing else escapes and nothing crashes.

The number of examples per test is MORVA_FUZZ_EXAMPLES (default 100): set it
to tens of thousands for a long local run."""

from __future__ import annotations

import json
import os
import re
from datetime import timedelta

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _morva
from test_problem_json import featured_problem
from test_sequence_and_batch import (
    N, STEP_VALUES, UNKNOWN_KEY, loop_sequences, plain_problem, same_results, turnover_problem,
)

FUZZ = settings(
    max_examples=int(os.environ.get("MORVA_FUZZ_EXAMPLES", "100")),
    deadline=timedelta(seconds=5),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
POSITION = re.compile(r" at line (\d+) column (\d+)$")


def dumps() -> list[str]:
    return [featured_problem().to_json(), plain_problem().to_json(), turnover_problem().to_json()]


DUMPS = dumps()


# ---- PortfolioProblem.from_json ----


def check_read(text: str) -> None:
    """from_json either rebuilds a problem whose dump is a fixed point, or
    raises ValueError whose position (when it has one) lies inside the text."""
    try:
        problem = _morva.PortfolioProblem.from_json(text)
    except ValueError as error:
        message = str(error)
        assert message
        match = POSITION.search(message)
        if match:
            line, column = int(match[1]), int(match[2])
            lines = text.split("\n")
            assert 1 <= line <= len(lines), message
            assert column <= len(lines[line - 1].encode()), message
        return
    dump = problem.to_json()
    again = _morva.PortfolioProblem.from_json(dump)
    assert again.to_json() == dump
    assert again.dimension == problem.dimension


@FUZZ
@given(st.text())
def test_any_text_is_read_or_refused_with_value_error(text):
    check_read(text)


# Bytes that steer a JSON reader into its rarer paths.
STEERING = st.sampled_from(list('{}[],:"\\0123456789.eE+-ntrfalsu \n\t') + ["\x00", "\u00e9", "\ud7ff", "null"])


@FUZZ
@given(st.sampled_from(DUMPS), st.lists(st.tuples(st.floats(0, 1), st.sampled_from("rid"), STEERING), max_size=4))
def test_mutated_dumps_are_read_or_refused_with_value_error(dump, edits):
    text = dump
    for where, operation, piece in edits:
        at = int(where * len(text))
        if operation == "r":
            text = text[:at] + piece + text[at + 1:]
        elif operation == "i":
            text = text[:at] + piece + text[at:]
        else:
            text = text[:at] + text[at + 1:]
    check_read(text)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12,
)


def paths(node, prefix=()):
    """Every key or index path into a decoded document."""
    yield prefix
    if isinstance(node, dict):
        for key, value in node.items():
            yield from paths(value, prefix + (key,))
    elif isinstance(node, list):
        for index, value in enumerate(node):
            yield from paths(value, prefix + (index,))


@FUZZ
@given(st.sampled_from(DUMPS), st.data(), JSON_VALUES)
def test_dumps_with_a_value_replaced_are_read_or_refused(dump, data, value):
    document = json.loads(dump)
    path = data.draw(st.sampled_from([p for p in paths(document) if p]))
    node = document
    for step in path[:-1]:
        node = node[step]
    node[path[-1]] = value
    check_read(json.dumps(document, separators=(",", ":")))


# ---- solve_batch step dicts ----

STEP_KEYS = ["expected_returns", "previous_weights", "benchmark_weights", "budget", "equality_rhs", "inequality_rhs"]
VECTOR_KEYS = set(STEP_KEYS) - {"budget"}
NUMBERS = st.floats(-2.0, 2.0) | st.sampled_from([0.0, -0.0, 1e300, float("inf"), float("nan")])
STEP_VALUE = st.one_of(
    st.none(),
    NUMBERS,
    st.integers(-3, 3),
    st.booleans(),
    st.text(max_size=3),
    st.lists(NUMBERS | st.integers(-3, 3), min_size=0, max_size=N + 1),
    st.lists(NUMBERS, min_size=N, max_size=N),
    st.lists(st.text(max_size=2) | NUMBERS, min_size=1, max_size=N),
    hnp.arrays(np.float64, st.integers(0, N + 1), elements=NUMBERS),
    hnp.arrays(np.float64, st.just(N), elements=st.floats(-1.0, 1.0)),
    hnp.arrays(np.int64, st.just(N), elements=st.integers(-3, 3)),
    hnp.arrays(np.float64, st.tuples(st.integers(1, 2), st.integers(2, 3)), elements=NUMBERS),
)
STEP_KEY = st.sampled_from(STEP_KEYS) | st.sampled_from(["alpha", "Budget", ""]) | st.integers(0, 2)
STEP = st.dictionaries(STEP_KEY, STEP_VALUE, max_size=4)


def is_number(value) -> bool:
    """Whether the host's float protocol converts the value."""
    return isinstance(value, (int, float, np.integer, np.floating))


def step_failure(step: dict) -> str | None:
    """The conversion failure of one step dict, or None when it converts."""
    for key, value in step.items():
        if not isinstance(key, str):
            return "step keys must be strings"
        if value is None:
            continue
        if key == "budget":
            if not is_number(value):
                return ""  # the host's own text, not fixed here
        elif key in VECTOR_KEYS:
            converts = (isinstance(value, np.ndarray) and value.ndim == 1) or (
                isinstance(value, list) and all(is_number(item) for item in value))
            if not converts:
                return STEP_VALUES
        else:
            return UNKNOWN_KEY.format(key)
    return None


def first_step_failure(steps) -> tuple[str, str] | None:
    for account, account_steps in enumerate(steps):
        for index, step in enumerate(account_steps):
            failure = step_failure(step)
            if failure is not None:
                return f"account {account}, step {index}: ", failure
    return None


PROBLEMS = {"turnover": turnover_problem(), "plain": plain_problem()}
SETTINGS = {"max_iterations": 400}
CHAIN_WITHOUT_ANCHOR = (
    "invalid portfolio parameter: chain_previous_weights requires a problem built with with_quadratic_turnover "
    "and/or with_l1_turnover; without a turnover term there is no anchor to move"
)


@FUZZ
@given(
    st.lists(st.tuples(st.sampled_from(sorted(PROBLEMS)), st.lists(STEP, max_size=3)), max_size=3),
    st.booleans(),
)
def test_step_dicts_convert_by_the_rules_and_batches_equal_looped_sequences(accounts, chain):
    problems = [PROBLEMS[name] for name, _ in accounts]
    steps = [account_steps for _, account_steps in accounts]
    expected_failure = first_step_failure(steps)
    if expected_failure is not None:
        prefix, text = expected_failure
        with pytest.raises(ValueError) as raised:
            _morva.solve_batch(problems, steps, chain_previous_weights=chain, raise_on_failure=False, **SETTINGS)
        assert str(raised.value).startswith(prefix + text)
        return
    # Every step converts: the batch must agree with one sequence per account,
    # dates in order, including which account a rejected date stops.
    present = [[{k: v for k, v in step.items() if v is not None} for step in account] for account in steps]
    try:
        batch = _morva.solve_batch(problems, steps, chain_previous_weights=chain, raise_on_failure=False,
                                   **SETTINGS)
    except ValueError as error:
        account, _, text = str(error).partition(": ")
        index = int(account.removeprefix("account "))
        same_results(_morva.solve_batch(problems[:index], steps[:index], chain_previous_weights=chain,
                                        raise_on_failure=False, **SETTINGS),
                     loop_sequences(problems[:index], present[:index], chain, **SETTINGS))
        if chain and problems[index] is PROBLEMS["plain"]:
            assert text == CHAIN_WITHOUT_ANCHOR  # refused before any date is solved
            return
        with pytest.raises(ValueError, match=re.escape(text)):
            loop_sequences(problems[index:index + 1], present[index:index + 1], chain, **SETTINGS)
        return
    same_results(batch, loop_sequences(problems, present, chain, **SETTINGS))
