"""morva.Rolling: every date equals its problem solved cold; in-place dates cost
no factorisation; a universe moves by label; a refused date changes nothing."""

from __future__ import annotations

import numpy as np
import pytest

import _morva
import morva
from morva.labels import LabelledProblem

pd = pytest.importorskip("pandas")

N, K = 12, 3
TOLERANCE = 1e-6


def base_inputs(seed: int = 5) -> dict:
    rng = np.random.default_rng(seed)
    return {
        "factors": rng.normal(0.0, 0.3, size=(N, K)),
        "omega": np.diag([0.04, 0.02, 0.01]),
        "specific_variance": rng.uniform(0.01, 0.05, N),
        "expected_returns": rng.normal(0.06, 0.03, N),
        "risk_aversion": 3.0,
        "lower_bounds": np.zeros(N),
        "upper_bounds": np.full(N, 0.25),
        "previous_weights": np.full(N, 1.0 / N),
        "turnover_penalty": 0.1,
        "l1_turnover_costs": np.full(N, 0.002),
        "benchmark_weights": np.full(N, 1.0 / N),
    }


def fresh(inputs: dict) -> _morva.PortfolioProblem:
    values = dict(inputs)
    arrays = [values.pop(name) for name in ("factors", "omega", "specific_variance", "expected_returns")]
    return _morva.PortfolioProblem(*arrays, **values)


rng = np.random.default_rng(11)
# One chain of dates: in-place changes (box, costs, returns, anchor) between
# structural ones (model, risk aversion). Each must carry every earlier change.
DATES = [
    ({"upper_bounds": np.full(N, 0.15)}, False),
    ({"l1_turnover_costs": np.linspace(0.0, 0.01, N), "expected_returns": rng.normal(0.06, 0.03, N)}, False),
    ({"factors": rng.normal(0.0, 0.3, size=(N, K)), "omega": np.diag([0.03, 0.03, 0.02])}, True),
    ({"lower_bounds": np.r_[0.02, np.zeros(N - 1)], "previous_weights": rng.dirichlet(np.ones(N))}, False),
    ({"specific_variance": rng.uniform(0.01, 0.05, N), "upper_bounds": np.full(N, 0.2)}, True),
    ({"risk_aversion": 8.0}, True),
    ({"benchmark_weights": rng.dirichlet(np.ones(N)), "budget": 0.9}, False),
]


@pytest.mark.parametrize("profile", ["adaptive", "reference"])
def test_every_date_equals_its_problem_solved_cold(profile):
    inputs = base_inputs()
    rolling = morva.Rolling(fresh(inputs), profile=profile, adaptive_rho=False)
    rolling.solve_next()
    assert rolling.factorizations == 1
    for number, (changes, structural) in enumerate(DATES):
        before, rebuilds = rolling.factorizations, rolling.rebuilds
        result = rolling.solve_next(**changes)
        inputs.update(changes)
        cold = morva.solve(fresh(inputs), profile=profile, adaptive_rho=False)
        assert result.status == cold.status == "solved", number
        np.testing.assert_allclose(result.weights, cold.weights, atol=TOLERANCE, err_msg=f"date {number}")
        assert result.objective == pytest.approx(cold.objective, abs=TOLERANCE)
        # A fixed penalty: a rebuilt date factors its new system once, an in-place date never.
        assert rolling.factorizations - before == int(structural), number
        assert rolling.rebuilds - rebuilds == int(structural), number


def test_a_rebuilt_date_starts_from_the_last_iterate():
    inputs = base_inputs()
    # A small move of the model: the warm start sits next to the new optimum. The counts are compared
    # unpolished (a polish can end either run at its first check), the answers as solved.
    factors = inputs["factors"] * 1.01
    counts = []
    for polish in (False, True):
        rolling = morva.Rolling(fresh(inputs), polish=polish)
        rolling.solve_next()
        warm = rolling.solve_next(factors=factors)
        cold = morva.solve(fresh({**inputs, "factors": factors}), polish=polish)
        counts.append((warm.iterations, cold.iterations))
    assert counts[0][0] < counts[0][1]
    np.testing.assert_allclose(warm.weights, cold.weights, atol=TOLERANCE)


def test_whole_problems_update_in_place_when_only_projection_data_differ():
    inputs = base_inputs()
    rolling = morva.Rolling(fresh(inputs), adaptive_rho=False)
    rolling.solve_next()
    for changes in ({"upper_bounds": np.full(N, 0.12)}, {"factors": inputs["factors"] + 0.01}):
        inputs.update(changes)
        result = rolling.solve_next(problem=fresh(inputs))
        np.testing.assert_allclose(result.weights, morva.solve(fresh(inputs), adaptive_rho=False).weights,
                                   atol=TOLERANCE)
    assert (rolling.rebuilds, rolling.factorizations) == (1, 2)


# ---- Labels: the universe moves ----

ASSETS = [f"A{i:02d}" for i in range(N)]
FACTORS = ["f1", "f2", "f3"]


def labelled(inputs: dict, assets: list) -> LabelledProblem:
    return LabelledProblem(
        pd.DataFrame(inputs["factors"], index=assets, columns=FACTORS),
        pd.DataFrame(inputs["omega"], index=FACTORS, columns=FACTORS),
        pd.Series(inputs["specific_variance"], index=assets),
        pd.Series(inputs["expected_returns"], index=assets),
        risk_aversion=3.0, lower_bounds=0.0, upper_bounds=0.3,
        previous_weights=pd.Series(inputs["previous_weights"], index=assets), l1_turnover_costs=0.002,
        equality_matrix=pd.DataFrame([np.r_[1.0, 1.0, np.zeros(len(assets) - 2)]], index=["pair"], columns=assets),
        equality_rhs=pd.Series([0.15], index=["pair"]))


def test_a_universe_change_follows_the_labels():
    inputs = base_inputs()
    rolling = morva.Rolling(labelled(inputs, ASSETS))
    first = rolling.solve_next()
    # Two assets leave, two enter; the leaving ones are last so that "pair" keeps its assets.
    universe = ASSETS[:-2] + ["B1", "B2"]
    moved = {"factors": np.vstack([inputs["factors"][:-2], rng.normal(0, 0.3, (2, K))]),
             "omega": inputs["omega"], "specific_variance": np.r_[inputs["specific_variance"][:-2], 0.02, 0.03],
             "expected_returns": np.r_[inputs["expected_returns"][:-2], 0.09, 0.08],
             "previous_weights": np.r_[inputs["previous_weights"][:-2], 0.0, 0.05]}
    new = labelled(moved, universe)
    start = rolling._start_by_label(new)
    # Staying assets start where they were, entering ones at their anchor.
    np.testing.assert_array_equal(start["x"][:-2], first.weights.to_numpy()[:-2])
    np.testing.assert_array_equal(start["x"][-2:], [0.0, 0.05])
    assert start["equality_dual"].size == 2 and start["bound_dual"].size == N

    result = rolling.solve_next(problem=new)
    cold = morva.solve(new)
    assert list(result.weights.index) == universe and rolling.rebuilds == 1
    pd.testing.assert_series_equal(result.weights, cold.weights, atol=TOLERANCE)

    # The same universe again, by labelled changes: a new cap in place, then a model.
    capped = rolling.solve_next(upper_bounds=pd.Series(0.2, index=universe))
    assert rolling.rebuilds == 1 and capped.weights.max() <= 0.2 + 1e-9
    exposures = pd.DataFrame(moved["factors"] * 1.05, index=universe, columns=FACTORS)
    remodelled = rolling.solve_next(factors=exposures)
    expected = morva.solve(LabelledProblem(
        exposures, pd.DataFrame(moved["omega"], index=FACTORS, columns=FACTORS),
        pd.Series(moved["specific_variance"], index=universe), pd.Series(moved["expected_returns"], index=universe),
        risk_aversion=3.0, lower_bounds=0.0, upper_bounds=0.2,
        previous_weights=pd.Series(moved["previous_weights"], index=universe), l1_turnover_costs=0.002,
        equality_matrix=pd.DataFrame([np.r_[1.0, 1.0, np.zeros(N - 2)]], index=["pair"], columns=universe),
        equality_rhs=pd.Series([0.15], index=["pair"])))
    assert rolling.rebuilds == 2
    pd.testing.assert_series_equal(remodelled.weights, expected.weights, atol=TOLERANCE)


def test_only_the_models_labels_move_the_universe():
    inputs = base_inputs()
    rolling = morva.Rolling(labelled(inputs, ASSETS))
    rolling.solve_next()
    kept = ASSETS[:-3]
    mu = pd.Series(inputs["expected_returns"][:-3] * 1.2, index=kept)
    with pytest.raises(ValueError, match="expected_returns has no entry for assets 'A09', 'A10', 'A11': "):
        rolling.solve_next(expected_returns=mu)
    assert list(rolling.assets) == ASSETS and rolling.rebuilds == 0
    result = rolling.solve_next(expected_returns=mu,
                                factors=pd.DataFrame(inputs["factors"][:-3], index=kept, columns=FACTORS))
    shrunk = {name: inputs[name][:-3] for name in ("factors", "specific_variance", "previous_weights")}
    cold = morva.solve(labelled({**shrunk, "omega": inputs["omega"], "expected_returns": mu.to_numpy()}, kept))
    assert list(result.weights.index) == kept and rolling.rebuilds == 1
    pd.testing.assert_series_equal(result.weights, cold.weights, atol=TOLERANCE)


def test_a_new_universe_by_changes_needs_the_entering_assets_data():
    inputs = base_inputs()
    rolling = morva.Rolling(labelled(inputs, ASSETS))
    rolling.solve_next()
    universe = ASSETS[:-1] + ["B1"]
    exposures = pd.DataFrame(inputs["factors"], index=universe, columns=FACTORS)
    with pytest.raises(ValueError, match="equality_matrix has no entry for asset 'B1'"):
        rolling.solve_next(factors=exposures)
    rows = pd.DataFrame([np.r_[1.0, 1.0, np.zeros(N - 2)]], index=["pair"], columns=universe)
    with pytest.raises(ValueError, match="specific_variance has no entry for asset 'B1'"):
        rolling.solve_next(factors=exposures, equality_matrix=rows)
    assert list(rolling.assets) == ASSETS and rolling.rebuilds == 0


# ---- Refused dates ----

REFUSED = [
    ({"lower_bounds": np.full(N, 0.3)}, ValueError, "invalid bounds at index 0: lower 0.3 exceeds upper 0.25"),
    ({"upper_bounds": np.full(N, 0.05)}, ValueError, "budget 1 is impossible under the box constraints"),
    ({"l1_turnover_costs": np.r_[-0.01, np.zeros(N - 1)]}, ValueError, "l1 turnover costs must be non-negative"),
    ({"upper_bounds": np.full(N, 0.2), "factors": np.ones((N + 1, K))}, ValueError, "dimension"),
    ({"specific_variance": -np.ones(N)}, ValueError, "non-negative"),
    ({"omega_matrix": np.eye(K)}, TypeError, "unknown change 'omega_matrix'"),
]


@pytest.mark.parametrize("changes, error, text", REFUSED)
def test_a_refused_date_leaves_the_state_as_it_was(changes, error, text):
    inputs = base_inputs()
    rolling, twin = morva.Rolling(fresh(inputs)), morva.Rolling(fresh(inputs))
    for book in (rolling, twin):
        book.solve_next(expected_returns=inputs["expected_returns"] * 1.1)
    with pytest.raises(error, match=text):
        rolling.solve_next(**changes)
    after, expected = rolling.solve_next(), twin.solve_next()
    np.testing.assert_array_equal(after.weights, expected.weights)
    assert after.iterations == expected.iterations
    assert (rolling.factorizations, rolling.rebuilds) == (twin.factorizations, twin.rebuilds)


def test_a_date_refused_at_run_time_leaves_the_caps_as_they_were(monkeypatch):
    inputs = base_inputs()
    rolling = morva.Rolling(morva.PortfolioProblem._wrap(fresh(inputs)), adaptive_rho=False)
    rolling.solve_next()

    def busy(*args):
        raise RuntimeError("Already borrowed")

    monkeypatch.setattr(morva._engine, "solve_next", busy)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        rolling.solve_next(upper_bounds=np.full(N, 0.12))
    monkeypatch.undo()
    for changes in ({"expected_returns": inputs["expected_returns"] * 1.1}, {"risk_aversion": 8.0}):
        inputs.update(changes)
        np.testing.assert_allclose(rolling.solve_next(**changes).weights,
                                   morva.solve(fresh(inputs), adaptive_rho=False).weights, atol=TOLERANCE)


def test_a_failed_solve_keeps_its_date_and_raises_the_engines_message():
    rolling = morva.Rolling(fresh(base_inputs()), profile="reference", max_iterations=3)
    with pytest.raises(RuntimeError) as raised:
        rolling.solve_next()
    with pytest.raises(RuntimeError) as engine:
        fresh(base_inputs()).sequence(max_iterations=3).solve_next()
    with pytest.raises(RuntimeError, match="^Morva stopped with status 'maximum iterations reached'"):
        rolling.solve_next(upper_bounds=np.full(N, 0.12))
    assert str(raised.value) == str(engine.value) and rolling.inputs()["upper_bounds"].max() == 0.12


def test_the_reference_sequence_still_refuses_the_projection_changes():
    sequence = fresh(base_inputs()).sequence()
    with pytest.raises(TypeError, match="unexpected keyword argument 'upper_bounds'"):
        sequence.solve_next(upper_bounds=np.ones(N))


# ---- The engine path under Rolling ----

def test_engine_sequences_under_the_reference_profile_are_the_problems_own():
    problem = fresh(base_inputs())
    engine, own = morva._engine.sequence(problem, "reference", {"rho": 0.5}, None), problem.sequence(rho=0.5)
    assert morva._engine.warm_start(engine) is None
    for changes in ({}, {"expected_returns": base_inputs(7)["expected_returns"]}):
        mine, theirs = morva._engine.solve_next(engine, changes, True), own.solve_next(**changes)
        assert mine.weights.tobytes() == theirs.weights.tobytes() and mine.iterations == theirs.iterations
    start = morva._engine.warm_start(engine)
    assert start["x"].tobytes() == mine.weights.tobytes() and start["bound_dual"].size == N


@pytest.mark.parametrize("call, error, text", [
    (lambda p, s: morva._engine.sequence(p, "adaptive", {}, {"x": np.zeros(N + 1)}), ValueError,
     "warm-start x has length 13; expected 12"),
    (lambda p, s: morva._engine.sequence(p, "adaptive", {}, {"x": np.zeros(N), "l1_dual": "no"}), TypeError,
     "warm_start['l1_dual'] must be a one-dimensional float array"),
    (lambda p, s: morva._engine.sequence(p, "adaptive", {"tolerance": 1.0}, None), TypeError,
     "sequence() got an unexpected keyword argument 'tolerance'"),
    (lambda p, s: morva._engine.solve_next(p, {}, True), TypeError,
     "solve_next() argument 'sequence' must be a PortfolioSequence, not _morva.PortfolioProblem"),
    (lambda p, s: morva._engine.solve_next(s, {"max_weight": 0.1}, True), TypeError,
     "solve_next() got an unexpected keyword argument 'max_weight'"),
])
def test_engine_path_errors_name_what_is_wrong(call, error, text):
    problem = fresh(base_inputs())
    with pytest.raises(error) as raised:
        call(problem, morva._engine.sequence(problem, "adaptive", {}, None))
    assert text in str(raised.value)


def industry_book(n: int = 300, industries: int = 12, seed: int = 7) -> morva.PortfolioProblem:
    """Industry-neutral tracking with L1 turnover: once anchored at its last weights, whole
    industries sit pinned at bounds and anchors, and their rows' multipliers are not unique."""
    rng = np.random.default_rng(seed)
    ids = rng.permutation(np.arange(n) % industries)
    factors = np.hstack([rng.normal(1.0, 0.25, (n, 1)), np.eye(industries)[ids]])
    loadings = rng.normal(size=(industries + 1, industries + 1))
    omega = (loadings @ loadings.T + (industries + 1) * np.eye(industries + 1)) * 1e-3 / (industries + 1)
    caps = rng.lognormal(size=n)
    return morva.PortfolioProblem(
        factors, omega, rng.uniform(0.15, 0.4, n) ** 2, 0.03 * rng.normal(size=n), risk_aversion=1.0,
        lower_bounds=np.zeros(n), upper_bounds=np.full(n, 0.05), benchmark_weights=caps / caps.sum(),
        industry_ids=ids, previous_weights=np.full(n, 1.0 / n), turnover_penalty=3.0,
        l1_turnover_costs=np.full(n, 5e-4))


def test_warm_dates_anchored_at_their_last_weights_polish_every_time():
    problem, rng = industry_book(), np.random.default_rng(1)
    rolling, reference = morva.Rolling(problem), morva.Rolling(problem, profile="reference", polish=False,
                                                                absolute_tolerance=1e-10, relative_tolerance=1e-10)
    weights, returns = rolling.solve_next().weights, 0.03 * np.random.default_rng(3).normal(size=problem.dimension)
    for _ in range(15):
        returns = returns + 5e-4 * rng.normal(size=problem.dimension)
        date = rolling.solve_next(expected_returns=returns, previous_weights=weights)
        exact = reference.solve_next(expected_returns=returns, previous_weights=weights)
        assert date.polished and date.objective == pytest.approx(exact.objective, abs=1e-9)
        weights = date.weights
