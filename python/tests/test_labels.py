"""Labelled problems align every input on its labels and label every output."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import _morva  # noqa: E402
import morva  # noqa: E402
from morva import labels  # noqa: E402
from morva.labels import LabelledProblem  # noqa: E402

N, K = 8, 3
ASSETS = pd.Index([f"stock {chr(ord('a') + i)}" for i in range(N)])
FACTORS = pd.Index(["market", "value", "momentum"])
INDUSTRY = ["tech", "energy", "tech", "banks", "energy", "banks", "tech", "energy"]


def model(seed: int = 5) -> dict:
    """Positional arrays in asset order; the labelled inputs are built from them."""
    rng = np.random.default_rng(seed)
    root = rng.normal(0.0, 0.1, size=(K, K))
    benchmark = rng.uniform(0.5, 1.5, N)
    return {
        "factors": rng.normal(0.0, 1.0, size=(N, K)),
        "omega": root @ root.T + 0.01 * np.eye(K),
        "specific_variance": rng.uniform(0.01, 0.09, N),
        "expected_returns": rng.normal(0.05, 0.03, N),
        "upper_bounds": np.full(N, 0.35),
        "previous_weights": np.full(N, 1 / N),
        "benchmark_weights": benchmark / benchmark.sum(),
    }


def shuffled(series: pd.Series, seed: int = 1) -> pd.Series:
    return series.iloc[np.random.default_rng(seed).permutation(len(series))]


def labelled_inputs(arrays: dict) -> dict:
    """The same data as pandas objects, every one in a scrambled order."""
    exposures = pd.DataFrame(arrays["factors"], index=ASSETS, columns=FACTORS)
    omega = pd.DataFrame(arrays["omega"], index=FACTORS, columns=FACTORS)
    by_asset = {name: shuffled(pd.Series(arrays[name], index=ASSETS)) for name in
                ("specific_variance", "expected_returns", "upper_bounds", "previous_weights", "benchmark_weights")}
    return {
        "exposures": exposures,
        "factor_covariance": omega.iloc[::-1, [1, 2, 0]],
        **by_asset,
        "lower_bounds": 0.0,
        "turnover_penalty": 0.5,
        "industries": shuffled(pd.Series(INDUSTRY, index=ASSETS), seed=3),
        "equality_matrix": pd.DataFrame([np.r_[1.0, -1.0, np.zeros(N - 2)]], index=["pair"], columns=ASSETS)[ASSETS[::-1]],
        "equality_rhs": pd.Series({"pair": 0.0}),
        "inequality_matrix": pd.DataFrame(np.eye(N)[:2], index=["cap a", "cap b"], columns=ASSETS),
        "inequality_rhs": pd.Series({"cap b": 0.3, "cap a": 0.25}),
        "style_matrix": pd.DataFrame({"size": np.linspace(-1, 1, N)}, index=ASSETS).iloc[::-1],
        "style_lower": pd.Series({"size": -0.2}),
        "style_upper": pd.Series({"size": 0.2}),
    }


def build(inputs: dict) -> LabelledProblem:
    inputs = dict(inputs)
    return LabelledProblem(
        inputs.pop("exposures"), inputs.pop("factor_covariance"), inputs.pop("specific_variance"),
        inputs.pop("expected_returns"), **inputs,
    )


def positional_problem(arrays: dict) -> _morva.PortfolioProblem:
    # industries sorted by label: banks 0, energy 1, tech 2
    code = {"banks": 0, "energy": 1, "tech": 2}
    return _morva.PortfolioProblem(
        arrays["factors"], arrays["omega"], arrays["specific_variance"], arrays["expected_returns"],
        lower_bounds=np.zeros(N), upper_bounds=arrays["upper_bounds"],
        equality_matrix=np.array([np.r_[1.0, -1.0, np.zeros(N - 2)]]), equality_rhs=np.array([0.0]),
        inequality_matrix=np.eye(N)[:2], inequality_rhs=np.array([0.25, 0.3]),
        previous_weights=arrays["previous_weights"], turnover_penalty=0.5,
        benchmark_weights=arrays["benchmark_weights"], industry_ids=[code[i] for i in INDUSTRY],
        style_matrix=np.linspace(-1, 1, N)[None, :], style_lower=np.array([-0.2]), style_upper=np.array([0.2]),
    )


@pytest.fixture
def arrays() -> dict:
    return model()


@pytest.fixture
def labelled(arrays) -> LabelledProblem:
    return build(labelled_inputs(arrays))


def test_scrambled_labelled_inputs_build_the_positional_problem(arrays, labelled):
    assert labelled.to_json() == positional_problem(arrays).to_json()
    assert labelled.equality_rows == ["pair", "industry banks", "industry energy", "industry tech"]
    assert labelled.inequality_rows == ["cap a", "cap b", "style size upper", "style size lower"]


def test_results_are_labelled_and_equal_the_positional_solve(arrays, labelled):
    result = labelled.solve()
    expected = morva.solve(positional_problem(arrays))
    assert list(result.weights.index) == list(ASSETS)
    assert np.array_equal(result.weights.to_numpy(), expected.weights)
    assert result.status == "solved" and result.iterations == expected.iterations
    duals = result.duals
    assert list(duals["equalities"].index) == ["budget", *labelled.equality_rows]
    assert list(duals["inequalities"].index) == labelled.inequality_rows
    assert list(duals["bounds"].index) == list(ASSETS)
    # Stationarity written with the labelled duals: P·x + q + A_eqᵀ·y + A_inᵀ·z + y_box = 0.
    x = expected.weights
    sigma = np.diag(arrays["specific_variance"]) + arrays["factors"] @ arrays["omega"] @ arrays["factors"].T
    b, x0 = arrays["benchmark_weights"], arrays["previous_weights"]
    gradient = sigma @ (x - b) + 0.5 * (x - x0) - arrays["expected_returns"]
    code = {"banks": 0, "energy": 1, "tech": 2}
    groups = np.array([[1.0 if code[i] == g else 0.0 for i in INDUSTRY] for g in range(3)])
    a_eq = np.vstack([np.ones(N), np.r_[1.0, -1.0, np.zeros(N - 2)], groups])
    size = np.linspace(-1, 1, N)
    a_in = np.vstack([np.eye(N)[:2], size, -size])
    residual = gradient + a_eq.T @ duals["equalities"].to_numpy() + a_in.T @ duals["inequalities"].to_numpy()
    residual += duals["bounds"].to_numpy()
    assert np.max(np.abs(residual)) < 1e-5


def drop(series: pd.Series, label) -> pd.Series:
    return series.drop(label)


def extra(series: pd.Series, label) -> pd.Series:
    return pd.concat([series, pd.Series([series.iloc[0]], index=[label])])


# (input, change, message): one broken label per case, every other input intact.
MISALIGNED = [
    ("specific_variance", lambda s: drop(s, "stock c"), "specific_variance has no entry for asset 'stock c'"),
    ("expected_returns", lambda s: extra(s, "stock z"),
     "expected_returns names asset 'stock z', which is not in the exposures' index"),
    ("expected_returns", lambda s: extra(drop(s, "stock h"), "stock z"), "expected_returns has no entry for asset 'stock h'"),
    ("upper_bounds", lambda s: drop(s, "stock a"), "upper_bounds has no entry for asset 'stock a'"),
    ("previous_weights", lambda s: extra(s, 17), "previous_weights names asset 17, which is not in the exposures' index"),
    ("benchmark_weights", lambda s: drop(s, "stock e"), "benchmark_weights has no entry for asset 'stock e'"),
    ("industries", lambda s: drop(s, "stock b"), "industries has no entry for asset 'stock b'"),
    ("specific_variance", lambda s: extra(s, "stock a"), "specific_variance lists asset 'stock a' more than once"),
    ("factor_covariance", lambda f: f.drop(columns="value"), "factor_covariance (columns) has no entry for factor 'value'"),
    ("factor_covariance", lambda f: f.drop(index="momentum"), "factor_covariance (rows) has no entry for factor 'momentum'"),
    ("factor_covariance", lambda f: f.rename(index={"value": "quality"}),
     "factor_covariance (rows) has no entry for factor 'value'"),
    ("factor_covariance", lambda f: f.assign(quality=0.0),
     "factor_covariance (columns) names factor 'quality', which is not in the exposures' columns"),
    ("equality_matrix", lambda f: f.drop(columns="stock d"), "equality_matrix (columns) has no entry for asset 'stock d'"),
    ("inequality_rhs", lambda s: drop(s, "cap b"), "inequality_rhs has no entry for constraint 'cap b'"),
    ("inequality_rhs", lambda s: extra(s, "cap c"),
     "inequality_rhs names constraint 'cap c', which is not in the constraint matrix's index"),
    ("style_matrix", lambda f: f.iloc[1:], "style_matrix (rows) has no entry for asset 'stock h'"),
    ("style_lower", lambda s: extra(s, "beta"), "style_lower names style 'beta', which is not in the style matrix's columns"),
]


@pytest.mark.parametrize(("name", "change", "message"), MISALIGNED)
def test_a_missing_or_extra_label_is_named(arrays, name, change, message):
    inputs = labelled_inputs(arrays)
    inputs[name] = change(inputs[name])
    with pytest.raises(ValueError) as caught:
        build(inputs)
    assert str(caught.value) == message


@pytest.mark.parametrize("name", ["specific_variance", "expected_returns", "upper_bounds", "benchmark_weights"])
@pytest.mark.parametrize("positional", [np.asarray, list], ids=["array", "list"])
def test_positional_inputs_are_refused(arrays, name, positional):
    inputs = labelled_inputs(arrays)
    inputs[name] = positional(np.ones(N))
    with pytest.raises(TypeError, match=f"^{name} must be a pandas Series indexed by asset"):
        build(inputs)


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (lambda i: i.pop("equality_rhs"), ValueError, "equality_matrix and equality_rhs must be provided together"),
        (lambda i: i.pop("style_upper"), ValueError, "style_matrix, style_lower, and style_upper must be provided together"),
        (lambda i: i.update(industries=None, industry_targets=pd.Series({"tech": 0.5})), ValueError,
         "industry_targets requires industries"),
        (lambda i: i.update(industry_targets=pd.Series({"tech": 0.5, "energy": 0.5})), ValueError,
         "industries names industry 'banks', which has no entry in industry_targets"),
        (lambda i: i.update(industry_targets=pd.Series({"tech": 0.4, "energy": 0.3, "banks": 0.3, "autos": 0.0})),
         ValueError, "industry_targets names industry 'autos', which no asset belongs to"),
        (lambda i: i.update(upper_bounds=pd.Series(-1.0, index=ASSETS)), ValueError,
         "invalid bounds at index 0 (asset 'stock a'): lower 0 exceeds upper -1"),
    ],
)
def test_pairing_grouping_and_engine_errors_speak_in_labels(arrays, change, error, message):
    inputs = labelled_inputs(arrays)
    change(inputs)
    with pytest.raises(error) as caught:
        build(inputs)
    assert str(caught.value) == message


def test_industry_targets_follow_their_labels(arrays):
    inputs = labelled_inputs(arrays)
    inputs.pop("benchmark_weights")
    inputs["industry_targets"] = pd.Series({"tech": 0.5, "banks": 0.2, "energy": 0.3})
    problem = build(inputs)
    assert problem.equality_rows[1:] == ["industry tech", "industry banks", "industry energy"]
    weights = problem.solve().weights
    for industry, target in inputs["industry_targets"].items():
        members = [a for a, i in zip(ASSETS, INDUSTRY) if i == industry]
        assert weights[members].sum() == pytest.approx(target, abs=1e-6)


@pytest.fixture
def infeasible(arrays) -> LabelledProblem:
    """The 'first four' cap holds four assets to 0.1 in total and the other four
    to 0.2 each: at most 0.9 of the budget 1 can be placed."""
    inputs = labelled_inputs(arrays)
    for name in ("industries", "benchmark_weights", "style_matrix", "style_lower", "style_upper",
                 "equality_matrix", "equality_rhs"):
        inputs.pop(name)
    inputs["upper_bounds"] = pd.Series(0.2, index=ASSETS)
    inputs["inequality_matrix"] = pd.DataFrame([np.r_[np.ones(4), np.zeros(4)]], index=["first four"], columns=ASSETS)
    inputs["inequality_rhs"] = pd.Series({"first four": 0.1})
    return build(inputs)


def test_certificate_explanations_and_arrays_name_labels(infeasible):
    result = infeasible.solve(raise_on_failure=False)
    assert result.status == "primal infeasible"
    raw = result.result.convergence_hints[0]
    assert "upper bounds on asset(s) 4, 5, 6, 7" in raw and "inequality cap(s) 0" in raw
    hint = result.convergence_hints[0]
    assert "upper bounds on asset(s) stock e, stock f, stock g, stock h" in hint
    assert "inequality cap(s) first four" in hint
    certificate = result.certificate
    assert list(certificate.bound_dual.index) == list(ASSETS)
    assert list(certificate.inequality_dual.index) == ["first four"]
    assert certificate.direction is None and certificate.kind == "primal"
    with pytest.raises(RuntimeError) as caught:
        infeasible.solve()
    assert "upper bounds on asset(s) stock e, stock f, stock g, stock h" in str(caught.value)


def test_relabelling_keeps_truncated_lists_and_leaves_unknown_positions():
    assets = [f"s{i}" for i in range(20)]
    problem = build({
        "exposures": pd.DataFrame(np.ones((20, 1)), index=assets, columns=["f"]),
        "factor_covariance": pd.DataFrame([[0.04]], index=["f"], columns=["f"]),
        "specific_variance": pd.Series(0.05, index=assets),
        "expected_returns": pd.Series(0.01, index=assets),
    })
    cases = {
        "lower bounds on asset(s) 0, 1, 2, 3, 4, ... (7 total); x": "lower bounds on asset(s) s0, s1, s2, s3, s4, ... (7 total); x",
        "largest components at asset(s) 19, 3)": "largest components at asset(s) s19, s3)",
        "upper bounds on asset(s) 3, 25": "upper bounds on asset(s) 3, 25",
        "equality row(s) 0": "equality row(s) 0",
    }
    for text, expected in cases.items():
        assert problem.relabel(text) == expected


def test_sequences_and_batches_take_labelled_steps(arrays, labelled):
    positional = positional_problem(arrays)
    rng = np.random.default_rng(9)
    dates = [pd.Series(rng.normal(0.05, 0.03, N), index=ASSETS) for _ in range(3)]
    sequence, reference = labelled.sequence(), positional.sequence()
    for returns in dates:
        got = sequence.solve_next(expected_returns=shuffled(returns), inequality_rhs=pd.Series(
            {"style size lower": 0.2, "style size upper": 0.2, "cap b": 0.3, "cap a": 0.25}))
        expected = reference.solve_next(expected_returns=returns.to_numpy())
        assert np.array_equal(got.weights[ASSETS].to_numpy(), expected.weights)
    assert sequence.factorizations == reference.factorizations
    steps = [[{"expected_returns": shuffled(r)} for r in dates]] * 2
    batch = labels.solve_batch([labelled, labelled], steps)
    local = _morva.solve_batch([positional] * 2, [[{"expected_returns": r.to_numpy()} for r in dates]] * 2)
    for account, expected in zip(batch, local):
        assert [np.array_equal(a.weights.to_numpy(), b.weights) for a, b in zip(account, expected)] == [True] * 3
    with pytest.raises(ValueError, match="^expected_returns has no entry for asset 'stock a'$"):
        sequence.solve_next(expected_returns=dates[0].drop("stock a"))


def test_labelled_problems_and_results_pickle(labelled):
    result = labelled.solve()
    copy = pickle.loads(pickle.dumps(result, protocol=5))
    assert copy.problem.to_json() == labelled.to_json()
    assert copy.weights.equals(result.weights)
    assert copy.convergence_hints == result.convergence_hints
