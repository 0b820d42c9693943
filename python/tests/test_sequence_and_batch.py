"""PortfolioSequence and solve_batch: rolling dates, the step-dict rules and
their texts, error precedence across accounts and steps, equality with
looped sequences whatever the thread count, exclusive use of a sequence, and
batches in a forked child."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _morva
from conftest import infeasible_keywords, positional, scientific, small_arrays

N = 4
UNKNOWN_KEY = (
    "unknown step key '{}'; valid keys are expected_returns, previous_weights, benchmark_weights, budget, "
    "equality_rhs, inequality_rhs"
)
STEP_VALUES = "step values must be floats or one-dimensional float arrays"


def turnover_problem(n=N, seed=0):
    arrays = small_arrays(n)
    rng = np.random.default_rng(seed)
    arrays["expected_returns"] = rng.normal(0.04, 0.02, n)
    return _morva.PortfolioProblem(
        *positional(arrays),
        previous_weights=np.full(n, 1.0 / n),
        turnover_penalty=0.2,
        l1_turnover_costs=0.001,
        benchmark_weights=np.full(n, 1.0 / n),
        inequality_matrix=np.ones((1, n)),
        inequality_rhs=np.array([5.0]),
    )


def plain_problem():
    return _morva.PortfolioProblem(*positional(small_arrays(N)))


def infeasible_problem():
    return _morva.PortfolioProblem(*positional(small_arrays(3)), **infeasible_keywords())


def dates(n=N, count=4, seed=1):
    """Date dicts exercising every step key (arrays and plain lists)."""
    rng = np.random.default_rng(seed)
    steps = [{}]
    for index in range(count - 1):
        step = {"expected_returns": rng.normal(0.04, 0.02, n)}
        if index % 2 == 0:
            step["previous_weights"] = list(rng.dirichlet(np.ones(n)))
            step["benchmark_weights"] = rng.dirichlet(np.ones(n))
        else:
            step["budget"] = 1.0
            step["inequality_rhs"] = [4.0]
        steps.append(step)
    return steps


def step_keywords(step: dict) -> dict:
    """A step dict as solve_next keywords (which take arrays only)."""
    return {key: (np.asarray(value, dtype=np.float64) if key != "budget" else value) for key, value in step.items()}


def loop_sequences(problems, steps, chain=False, **settings):
    """The batch computed by hand: one sequence per account, dates in order."""
    outcome = []
    for problem, account_steps in zip(problems, steps):
        sequence = problem.sequence(**settings)
        anchor = None
        results = []
        for step in account_steps:
            keywords = step_keywords(step)
            if chain and "previous_weights" not in keywords and anchor is not None:
                keywords["previous_weights"] = anchor
            result = sequence.solve_next(**keywords, raise_on_failure=False)
            if chain and result.status == "solved":
                anchor = result.weights
            results.append(result)
        outcome.append(results)
    return outcome


def same_results(left, right):
    assert len(left) == len(right)
    for account_left, account_right in zip(left, right):
        assert len(account_left) == len(account_right)
        for a, b in zip(account_left, account_right):
            assert a.status == b.status
            assert a.iterations == b.iterations
            assert a.weights.tolist() == b.weights.tolist()
            assert a.objective == b.objective or (np.isnan(a.objective) and np.isnan(b.objective))


# ---- PortfolioSequence ----


def test_fresh_sequence():
    sequence = plain_problem().sequence()
    assert sequence.factorizations == 1
    assert sequence.dimension == N
    assert repr(sequence) == f"PortfolioSequence(dimension={N}, factorizations=1)"


def test_first_date_matches_a_one_shot_solve():
    problem = turnover_problem()
    first = problem.sequence().solve_next()
    np.testing.assert_allclose(first.weights, problem.solve().weights, atol=1e-9)


def test_dates_follow_the_data_and_keep_the_factorizations():
    problem = turnover_problem()
    sequence = problem.sequence(absolute_tolerance=1e-9, relative_tolerance=1e-9)
    arrays = small_arrays(N)
    for index, returns in enumerate(np.random.default_rng(7).normal(0.04, 0.02, size=(3, N))):
        result = sequence.solve_next(expected_returns=returns)
        assert result.status == "solved"
        fresh = _morva.PortfolioProblem(
            arrays["factors"], arrays["omega"], arrays["specific_variance"], returns,
            previous_weights=np.full(N, 1.0 / N), turnover_penalty=0.2, l1_turnover_costs=0.001,
            benchmark_weights=np.full(N, 1.0 / N), inequality_matrix=np.ones((1, N)), inequality_rhs=np.array([5.0]),
        ).solve(absolute_tolerance=1e-9, relative_tolerance=1e-9)
        np.testing.assert_allclose(result.weights, fresh.weights, atol=1e-6)
    assert sequence.factorizations >= 1


def test_rejected_date_leaves_the_sequence_unchanged():
    upper = np.full(N, 0.4)
    problem = _morva.PortfolioProblem(*positional(small_arrays(N)), lower_bounds=np.zeros(N), upper_bounds=upper)
    sequence = problem.sequence()
    before = sequence.solve_next(expected_returns=np.full(N, 0.02))
    with pytest.raises(ValueError) as error:
        sequence.solve_next(expected_returns=np.array([0.5, 0.0, 0.0, 0.0]), budget=2.0)
    highest = 0.0
    for value in upper.tolist():
        highest += value
    assert str(error.value) == f"budget 2 is impossible under the box constraints: reachable sum is [0, {highest!r}]"
    # Neither the budget nor the returns of the rejected date were applied.
    after = sequence.solve_next()
    np.testing.assert_allclose(after.weights, before.weights, atol=1e-9)


@pytest.mark.parametrize(
    ("keywords", "prefix"),
    [
        ({"expected_returns": [0.01] * N}, "argument 'expected_returns': "),
        ({"previous_weights": np.zeros(N, dtype=np.float32)}, "argument 'previous_weights': "),
        ({"budget": "1"}, "argument 'budget': "),
        ({"inequality_rhs": 5.0}, "argument 'inequality_rhs': "),
        ({"raise_on_failure": 0}, "argument 'raise_on_failure': "),
    ],
)
def test_solve_next_keyword_kinds(keywords, prefix):
    with pytest.raises(TypeError) as error:
        turnover_problem().sequence().solve_next(**keywords)
    assert str(error.value).startswith(prefix)


def test_solve_next_refuses_updates_the_problem_was_not_built_for():
    with pytest.raises(ValueError):
        plain_problem().sequence().solve_next(previous_weights=np.full(N, 0.25))
    with pytest.raises(ValueError):
        plain_problem().sequence().solve_next(expected_returns=np.zeros(N + 1))


def test_solve_next_failure_message():
    sequence = plain_problem().sequence(max_iterations=3)
    returned = sequence.solve_next(raise_on_failure=False)
    assert returned.status == "maximum iterations reached"
    with pytest.raises(RuntimeError) as error:
        plain_problem().sequence(max_iterations=3).solve_next()
    assert str(error.value).startswith(
        f"Morva stopped with status 'maximum iterations reached' after 3 iterations (primal residual "
        f"{scientific(returned.primal_residual, 3)}, dual residual {scientific(returned.dual_residual, 3)})."
    )


def test_sequence_settings_are_validated():
    with pytest.raises(ValueError, match="^invalid solver setting: "):
        plain_problem().sequence(over_relaxation=2.0)
    with pytest.raises(TypeError, match="^argument 'polish': "):
        plain_problem().sequence(polish=None)


def test_concurrent_use_of_one_sequence_is_refused():
    rng = np.random.default_rng(5)
    n, k = 40_000, 8
    problem = _morva.PortfolioProblem(
        rng.normal(size=(n, k)), np.eye(k) * 0.02, rng.uniform(0.01, 0.05, n), rng.normal(0.05, 0.02, n),
        lower_bounds=np.full(n, -1.0), upper_bounds=np.full(n, 1.0),
    )
    sequence = problem.sequence(max_iterations=300, absolute_tolerance=1e-300, relative_tolerance=1e-300, polish=False)
    outcome = {}

    def solve():
        outcome["result"] = sequence.solve_next(raise_on_failure=False)

    worker = threading.Thread(target=solve)
    worker.start()
    errors = []
    deadline = time.monotonic() + 30
    # Wait until the worker holds the sequence, then use it from here.
    while time.monotonic() < deadline and worker.is_alive():
        try:
            sequence.dimension
        except RuntimeError as error:
            errors.append(str(error))
            break
        time.sleep(0.0005)
    if errors:
        for read in (lambda: sequence.factorizations, lambda: repr(sequence)):
            with pytest.raises(RuntimeError) as error:
                read()
            errors.append(str(error.value))
        with pytest.raises(RuntimeError) as error:
            sequence.solve_next(raise_on_failure=False)
        errors.append(str(error.value))
    worker.join()
    assert errors == ["Already mutably borrowed"] * 3 + ["Already borrowed"]
    assert outcome["result"].iterations == 300
    assert sequence.dimension == n and sequence.factorizations >= 1
    assert sequence.solve_next(raise_on_failure=False).iterations == 300


# ---- solve_batch ----


def test_single_account_single_empty_step_equals_a_sequence():
    problem = turnover_problem()
    batch = _morva.solve_batch([problem], [[{}]])
    assert isinstance(batch, list) and len(batch) == 1 and len(batch[0]) == 1
    assert type(batch[0][0]) is _morva.SolveResult
    assert batch[0][0].weights.tolist() == problem.sequence().solve_next().weights.tolist()


@pytest.mark.parametrize("chain", [False, True], ids=["unchained", "chained"])
def test_batch_equals_looping_sequences(chain):
    problems = [turnover_problem(seed=s) for s in range(3)]
    problems.append(problems[0])  # the same object for two accounts
    steps = [dates(seed=s) for s in range(3)] + [dates(count=2, seed=9)]
    steps[2] = steps[2][:1] + [{"expected_returns": np.full(N, 0.03)}, {}]
    batch = _morva.solve_batch(problems, steps, chain_previous_weights=chain)
    same_results(batch, loop_sequences(problems, steps, chain=chain))
    assert batch[3][0].weights.tolist() == batch[0][0].weights.tolist()


def test_empty_batch_and_empty_step_lists():
    assert _morva.solve_batch([], []) == []
    assert _morva.solve_batch((plain_problem(),), ([],)) == [[]]


def test_none_values_are_absent_whatever_the_key():
    problem = turnover_problem()
    batch = _morva.solve_batch([problem], [[{"expected_returns": None, "alpha": None, "budget": None}]])
    assert batch[0][0].weights.tolist() == _morva.solve_batch([problem], [[{}]])[0][0].weights.tolist()


def test_step_values_accept_sequences_of_numbers():
    problem = turnover_problem()
    returns = [0.01, 0.05, 0.02, 0.04]
    as_list = _morva.solve_batch([problem], [[{"expected_returns": returns, "budget": 1}]])
    as_array = _morva.solve_batch([problem], [[{"expected_returns": np.array(returns), "budget": np.float64(1.0)}]])
    as_tuple = _morva.solve_batch([problem], [[{"expected_returns": tuple(np.int64(v) for v in (1, 0, 0, 2))}]])
    assert as_list[0][0].weights.tolist() == as_array[0][0].weights.tolist()
    assert as_tuple[0][0].status == "solved"


STEP_ERRORS = [
    ("float_vector", {"expected_returns": 0.5}, STEP_VALUES),
    ("str_vector", {"previous_weights": "0.25"}, STEP_VALUES),
    ("bad_item", {"benchmark_weights": [0.25, "x", 0.25, 0.25]}, STEP_VALUES),
    ("matrix_vector", {"equality_rhs": np.ones((1, 1))}, STEP_VALUES),
    ("dict_vector", {"inequality_rhs": {"a": 1.0}}, STEP_VALUES),
    ("non_str_key", {1: 0.5}, "step keys must be strings"),
    ("unknown_key", {"alpha": 1.0}, UNKNOWN_KEY.format("alpha")),
    ("str_budget", {"budget": "x"}, "must be real number, not str"),
    ("list_budget", {"budget": [1.0]}, "must be real number, not list"),
]


@pytest.mark.parametrize(("case", "step", "message"), STEP_ERRORS, ids=[c[0] for c in STEP_ERRORS])
def test_step_dict_errors_name_account_and_step(case, step, message):
    problem = turnover_problem()
    steps = [[{}], [{}, {}, step]]
    with pytest.raises(ValueError) as error:
        _morva.solve_batch([problem, problem], steps)
    assert str(error.value) == f"account 1, step 2: {message}"


@pytest.mark.parametrize(
    ("problems", "steps", "error", "message"),
    [
        # Kinds are checked before the lengths, lengths before the step dicts.
        (lambda p: "ab", lambda: [[{}]], TypeError, "argument 'problems': "),
        (lambda p: [p, 1], lambda: [[{}]], TypeError, "argument 'problems': "),
        (lambda p: [p], lambda: "ab", TypeError, "argument 'steps': "),
        (lambda p: [p], lambda: [{}], TypeError, "argument 'steps': "),
        (lambda p: [p], lambda: [[{}, [1]]], TypeError, "argument 'steps': "),
        (lambda p: [p], lambda: ["ab"], TypeError, "argument 'steps': "),
        (lambda p: [p, p], lambda: [[{"alpha": 1}]], ValueError,
         "problems and steps must have the same length (one step list per account)"),
        # The first bad item in account, step, item order.
        (lambda p: [p, p], lambda: [[{}, {"beta": 1}], [{"alpha": 1}]], ValueError,
         "account 0, step 1: " + UNKNOWN_KEY.format("beta")),
        (lambda p: [p], lambda: [[{"gamma": 1, 2: 1}]], ValueError,
         "account 0, step 0: " + UNKNOWN_KEY.format("gamma")),
        (lambda p: [p], lambda: [[{2: 1, "gamma": 1}]], ValueError, "account 0, step 0: step keys must be strings"),
        # A step-dict error is found before anything is solved, so it beats
        # an earlier account's core error.
        (lambda p: [p, p], lambda: [[{"expected_returns": [0.1]}], [{"alpha": 1}]], ValueError,
         "account 1, step 0: " + UNKNOWN_KEY.format("alpha")),
    ],
)
def test_batch_error_precedence(problems, steps, error, message):
    with pytest.raises(error) as raised:
        _morva.solve_batch(problems(turnover_problem()), steps())
    assert str(raised.value).startswith(message)
    if error is ValueError:
        assert str(raised.value) == message


def test_mismatched_lengths():
    with pytest.raises(ValueError) as error:
        _morva.solve_batch([plain_problem(), plain_problem()], [[{}]])
    assert str(error.value) == "problems and steps must have the same length (one step list per account)"


def core_error_text(problem, **keywords) -> str:
    with pytest.raises(ValueError) as error:
        problem.sequence().solve_next(**step_keywords(keywords))
    return str(error.value)


def test_account_errors_and_failures_in_account_order():
    good, infeasible = turnover_problem(), infeasible_problem()
    bad_date = {"expected_returns": [0.1, 0.2]}
    account_error = "account 1: " + core_error_text(good, **bad_date)
    with pytest.raises(ValueError) as error:
        _morva.solve_batch([good, good, infeasible], [[{}], [{}, {}, bad_date], [{}]])
    assert str(error.value) == account_error
    # A failed status in an earlier account is reported first when raising.
    with pytest.raises(RuntimeError) as error:
        _morva.solve_batch([good, infeasible, good], [[{}], [{"budget": 1.0}, {}], [{}, {}, bad_date]])
    assert str(error.value).startswith("account 1, step 0: Morva stopped with status 'primal infeasible'")
    with pytest.raises(RuntimeError) as error:
        _morva.solve_batch([infeasible, good], [[{}, {}], [{}, {}, bad_date]])
    assert str(error.value).startswith("account 0, step 0: Morva stopped with status 'primal infeasible'")
    # Without raising, core errors still raise; failed statuses are returned.
    with pytest.raises(ValueError) as error:
        _morva.solve_batch([infeasible, good], [[{}], [{}, {}, bad_date]], raise_on_failure=False)
    assert str(error.value) == account_error
    results = _morva.solve_batch([good, infeasible], [[{}], [{}, {}]], raise_on_failure=False)
    assert [r.status for r in results[1]] == ["primal infeasible", "primal infeasible"]
    assert results[1][0].certificate.kind == "primal"


def test_runtime_failure_message_carries_account_and_step():
    good, infeasible = turnover_problem(), infeasible_problem()
    returned = _morva.solve_batch([good, infeasible], [[{}], [{}]], raise_on_failure=False)[1][0]
    with pytest.raises(RuntimeError) as error:
        _morva.solve_batch([good, infeasible], [[{}], [{}]])
    hints = " Hints: " + "; ".join(returned.convergence_hints) + "." if returned.convergence_hints else ""
    assert str(error.value) == (
        f"account 1, step 0: Morva stopped with status 'primal infeasible' after {returned.iterations} iterations "
        f"(primal residual {scientific(returned.primal_residual, 3)}, dual residual "
        f"{scientific(returned.dual_residual, 3)}).{hints} Set raise_on_failure=False to inspect the returned iterate "
        "and its convergence_hints."
    )


def test_chaining_requires_a_turnover_term():
    with pytest.raises(ValueError) as error:
        _morva.solve_batch([turnover_problem(), plain_problem()], [[{}], [{}]], chain_previous_weights=True)
    assert str(error.value) == (
        "account 1: invalid portfolio parameter: chain_previous_weights requires a problem built with "
        "with_quadratic_turnover and/or with_l1_turnover; without a turnover term there is no anchor to move"
    )


def test_batch_keyword_kinds():
    with pytest.raises(TypeError, match="^argument 'chain_previous_weights': "):
        _morva.solve_batch([plain_problem()], [[{}]], chain_previous_weights=1)
    # Settings are validated where each account's sequence is built.
    with pytest.raises(ValueError, match="^account 0: invalid solver setting: "):
        _morva.solve_batch([plain_problem()], [[{}]], over_relaxation=2.0)


BATCH_SCRIPT = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, {tests!r})
    import _morva
    from test_sequence_and_batch import batch_fingerprint
    print(json.dumps(batch_fingerprint()))
    """
)


def batch_fingerprint():
    """Everything of a mixed batch except timings, as plain data."""
    problems = [turnover_problem(seed=s) for s in range(6)] + [infeasible_problem()]
    steps = [dates(seed=s) for s in range(6)] + [[{}, {}]]
    batch = _morva.solve_batch(problems, steps, chain_previous_weights=False, raise_on_failure=False)
    fingerprint = []
    for account in batch:
        for result in account:
            document = json.loads(result.to_json())
            document.pop("solve_time")
            fingerprint.append(document)
    return fingerprint


def run_python(script: str, **environment) -> subprocess.CompletedProcess:
    env = {**os.environ, **environment}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(_morva.__file__), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300, env=env)


def test_results_do_not_depend_on_the_thread_count():
    script = BATCH_SCRIPT.format(tests=os.path.dirname(__file__))
    outputs = []
    for threads in ("1", "3", None):
        environment = {} if threads is None else {"RAYON_NUM_THREADS": threads}
        if threads is None:
            os.environ.pop("RAYON_NUM_THREADS", None)
        completed = run_python(script, **environment)
        assert completed.returncode == 0, completed.stderr
        outputs.append(json.loads(completed.stdout))
    assert outputs[0] == outputs[1] == outputs[2]
    assert outputs[0] == batch_fingerprint()


FORK_SCRIPT = textwrap.dedent(
    """
    import json, os, sys
    sys.path.insert(0, {tests!r})
    from test_sequence_and_batch import batch_fingerprint
    parent = batch_fingerprint()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        child = batch_fingerprint()
        os.write(write_end, json.dumps(child == parent).encode())
        os._exit(0)
    os.close(write_end)
    answer = b""
    while chunk := os.read(read_end, 4096):
        answer += chunk
    _, status = os.waitpid(pid, 0)
    print(json.dumps({{"same": json.loads(answer or b"false"), "status": status}}))
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_batch_in_a_forked_child_after_the_parent_ran_one():
    completed = run_python(FORK_SCRIPT.format(tests=os.path.dirname(__file__)))
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout.strip().splitlines()[-1]) == {"same": True, "status": 0}
