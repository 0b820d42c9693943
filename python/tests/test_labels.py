"""Labelled problems align every input on its labels and label every output."""

from __future__ import annotations

import pickle
import types

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
    assert labelled.problem.to_json() == positional_problem(arrays).to_json()
    assert labelled.equality_rows == ["pair", "industry banks", "industry energy", "industry tech"]
    assert labelled.inequality_rows == ["cap a", "cap b", "style size upper", "style size lower"]


def test_results_are_labelled_and_equal_the_positional_solve(arrays, labelled):
    result = labelled.solve()
    expected = morva.solve(positional_problem(arrays))
    assert list(result.weights.index) == list(ASSETS)
    assert np.array_equal(result.weights.to_numpy(), expected.weights)
    clipped = labelled.label(types.SimpleNamespace(weights=-np.zeros(len(ASSETS)))).weights
    assert not np.signbit(clipped.to_numpy()).any()  # a clipped weight shows as 0.0, never -0.0
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
@pytest.mark.parametrize("form", ["array", "list", "dict"])
def test_arrays_in_asset_order_and_dicts_by_label_build_the_same_problem(arrays, labelled, name, form):
    inputs = labelled_inputs(arrays)
    by_label = inputs[name]
    inputs[name] = {"array": lambda: by_label.reindex(ASSETS).to_numpy(), "list": lambda: by_label.reindex(ASSETS).tolist(),
                    "dict": lambda: dict(by_label.items())}[form]()
    assert build(inputs).problem.to_json() == labelled.problem.to_json()


# (input, value, error, message): a positional input of the wrong shape or kind, or a
# missing value, is refused naming the asset.
REFUSED_VALUES = [
    ("expected_returns", np.ones(N - 1), ValueError,
     f"expected_returns must have one entry per asset ({N}), not shape ({N - 1},); "
     "an unlabelled array is read in the order of the exposures' index"),
    ("specific_variance", "0.05", TypeError, "specific_variance must be a pandas Series or a dict indexed by asset"),
    ("expected_returns", pd.Series(0.05, index=ASSETS).mask(ASSETS.isin(["stock c", "stock f"])), ValueError,
     "expected_returns has missing or non-finite values for assets 'stock c', 'stock f'"),
    ("benchmark_weights", np.r_[np.inf, np.full(N - 1, 0.1)], ValueError,
     "benchmark_weights has missing or non-finite values for asset 'stock a'"),
    ("upper_bounds", {**{a: 0.3 for a in ASSETS}, "stock b": float("nan")}, ValueError,
     "upper_bounds has missing (NaN) values for asset 'stock b'"),
    ("exposures", None, ValueError, "exposures has missing or non-finite values for asset 'stock d'"),
]


@pytest.mark.parametrize(("name", "value", "error", "message"), REFUSED_VALUES)
def test_refused_values_name_the_asset(arrays, name, value, error, message):
    inputs = labelled_inputs(arrays)
    if name == "exposures":
        value = inputs["exposures"].copy()
        value.loc["stock d", "value"] = np.nan
    inputs[name] = value
    with pytest.raises(error) as caught:
        build(inputs)
    assert str(caught.value).startswith(message)


# (change, message): a model wrong as a whole is refused when built, saying what to fix.
OMEGA = {"negative": np.diag([0.04, -0.01, 0.02]), "asymmetric": np.triu(np.full((3, 3), 0.01)) + 0.01 * np.eye(3)}
WRONG_MODEL = [
    (lambda i: i.update(exposures=i["exposures"].T), "exposures looks transposed: it is 3 × 8 (factors × assets?), "
     "but exposures are assets × factors and its index holds factor_covariance's labels; pass exposures.T"),
    (lambda i: i.update(exposures=i["exposures"].T, factor_covariance=pd.DataFrame(np.eye(3))),
     "and its columns are the assets of specific_variance; pass exposures.T"),
    (lambda i: i["specific_variance"].where(i["specific_variance"].index.isin(["stock b", "stock d"]), -0.01, inplace=True),
     "specific_variance is negative for assets 'stock a', 'stock c', 'stock e', 'stock f', 'stock g' and 1 more; "),
    (lambda i: i.update(factor_covariance=pd.DataFrame(OMEGA["negative"], index=FACTORS, columns=FACTORS)),
     "factor_covariance is not positive semidefinite: its smallest eigenvalue is -0.01 (its eigenvector weighs "
     "most on factor 'value')"),
    (lambda i: i.update(factor_covariance=pd.DataFrame(OMEGA["asymmetric"], index=FACTORS, columns=FACTORS)),
     "factor_covariance is not symmetric: entry ('market', 'value') is 0.01 but ('value', 'market') is 0; "),
]


@pytest.mark.parametrize(("change", "message"), WRONG_MODEL)
def test_a_wrong_model_is_refused_in_its_own_terms(arrays, change, message):
    inputs = labelled_inputs(arrays)
    change(inputs)
    with pytest.raises(ValueError) as caught:
        build(inputs)
    assert message in str(caught.value)


def test_analytics_refuses_a_negative_variance_rather_than_clip_it(arrays):
    with pytest.raises(ValueError, match=r"^omega is not positive semidefinite: its smallest eigenvalue is -0\.01 "):
        morva.analytics(positional_problem({**arrays, "omega": OMEGA["negative"]}), np.full(N, 1 / N))


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


@pytest.mark.parametrize(("profile", "unlabelled"), [
    ({}, lambda p: morva.PortfolioProblem.from_json(p.to_json()).sequence()),
    ({"profile": "reference"}, lambda p: p.sequence()),
])
def test_sequences_and_batches_take_labelled_steps(arrays, labelled, profile, unlabelled):
    positional = positional_problem(arrays)
    rng = np.random.default_rng(9)
    dates = [pd.Series(rng.normal(0.05, 0.03, N), index=ASSETS) for _ in range(3)]
    sequence, reference = labelled.sequence(**profile), unlabelled(positional)
    for returns in dates:
        got = sequence.solve_next(expected_returns=shuffled(returns), inequality_rhs=pd.Series(
            {"style size lower": 0.2, "style size upper": 0.2, "cap b": 0.3, "cap a": 0.25}))
        expected = reference.solve_next(expected_returns=returns.to_numpy())
        assert np.array_equal(got.weights[ASSETS].to_numpy(), expected.weights)
    assert sequence.factorizations == reference.factorizations
    steps = [[{"expected_returns": shuffled(r)} for r in dates]] * 2
    batch = labels.solve_batch([labelled, labelled], steps, **profile)
    local = morva.solve_batch([positional] * 2, [[{"expected_returns": r.to_numpy()} for r in dates]] * 2, **profile)
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


@pytest.mark.parametrize("form", ["series", "dict", "array"])
def test_industries_take_any_labels_and_targets_by_the_same_labels(arrays, form):
    """GICS codes with −1 for unclassified are groups like any other label; the ids
    0..G−1 follow the targets' order and the rows are named by the codes."""
    gics = {"tech": 45102010, "energy": 10102010, "banks": -1}
    codes = pd.Series([gics[i] for i in INDUSTRY], index=ASSETS)
    industries = {"series": shuffled(codes), "dict": dict(codes.items()), "array": codes.to_numpy()}[form]
    targets = {45102010: 0.5, -1: 0.2, 10102010: 0.3}
    inputs = labelled_inputs(arrays)
    inputs.update(industries=industries, industry_targets=targets if form == "dict" else pd.Series(targets))
    problem = build(inputs)
    assert problem.equality_rows[1:] == ["industry 45102010", "industry -1", "industry 10102010"]
    expected = _morva.PortfolioProblem(*(arrays[k] for k in ("factors", "omega", "specific_variance", "expected_returns")),
                                       industry_ids=[{45102010: 0, -1: 1, 10102010: 2}[c] for c in codes],
                                       industry_targets=np.array([0.5, 0.2, 0.3]))
    got, want = morva.problem_data(problem), morva.problem_data(expected)
    for name in ("equality_matrix", "equality_rhs"):
        assert np.array_equal(got[name][1:], want[name])
    with pytest.raises(ValueError, match="^industries has no industry for asset 'stock b'; give unclassified"):
        build({**inputs, "industries": codes.astype(float).mask(codes.index == "stock b")})


def test_a_one_sided_box_keeps_the_default_on_the_other_side(arrays):
    inputs = labelled_inputs(arrays)
    for name, kept, given in (("lower_bounds", "upper_bounds", 0.3), ("upper_bounds", "lower_bounds", -0.1)):
        one_sided = {**inputs, kept: given}
        one_sided.pop(name)
        data = morva.problem_data(build(one_sided))
        default = 0.0 if name == "lower_bounds" else 1.0
        assert np.all(data[name] == default) and np.all(data[kept] == given)


def test_a_styles_by_assets_frame_is_read_by_its_labels(arrays, labelled):
    inputs = labelled_inputs(arrays)
    inputs["style_matrix"] = inputs["style_matrix"].T
    assert build(inputs).problem.to_json() == labelled.problem.to_json()


# (keywords, warning or error, message): limits the bounds already imply.
NO_OP_LIMITS = [
    ({"max_short": 0.1}, UserWarning, r"max_short=0\.1 does nothing: .*the default box \[0, 1\] is long only"),
    ({"lower_bounds": -0.05, "max_short": 0.1}, UserWarning, r"max_short=0\.1 does nothing"),
    ({"lower_bounds": -0.5, "upper_bounds": 0.5, "max_weight": 0.6}, UserWarning,
     r"max_weight=0\.6 does nothing: every bound already lies within \[-0\.6, 0\.6\]"),
    ({"max_weight": 1.0}, UserWarning, r"max_weight=1 does nothing"),
    ({"max_weight": 5}, ValueError, r"max_weight=5 cannot bind .*max_weight is a fraction of the book \(0\.05 = 5%\)"),
    ({"upper_bounds": 3.0, "max_weight": 5}, ValueError, r"max_weight=5 cannot bind"),
]


@pytest.mark.parametrize(("keywords", "kind", "message"), NO_OP_LIMITS)
def test_limits_the_bounds_already_imply_are_refused_aloud(arrays, keywords, kind, message):
    inputs = {name: value for name, value in labelled_inputs(arrays).items()
              if name in ("exposures", "factor_covariance", "specific_variance", "expected_returns")}
    if kind is ValueError:
        with pytest.raises(ValueError, match=message):
            build({**inputs, **keywords})
        return
    with pytest.warns(UserWarning, match=message) as caught:
        build({**inputs, **keywords})
    assert caught[0].filename == __file__  # pointed at the caller, not at the package


def test_binding_limits_build_silently(arrays):
    import warnings

    inputs = labelled_inputs(arrays)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        build({**inputs, "max_weight": 0.3})
        build({**inputs, "lower_bounds": -0.5, "max_short": 0.1, "max_weight": 0.4})


def test_warm_starts_align_by_label(labelled):
    cold = labelled.solve(profile="reference")
    scrambled = shuffled(cold.weights, seed=4)
    wider = pd.concat([scrambled, pd.Series({"delisted": 0.2})])
    expected = morva.solve(labelled.problem, profile="reference", warm_start=cold.weights.to_numpy())
    for start in (cold, scrambled, dict(scrambled.items()), cold.weights.to_numpy()):
        warm = labelled.solve(warm_start=start, profile="reference")
        assert warm.iterations == expected.iterations < cold.iterations
        assert np.array_equal(warm.weights.to_numpy(), expected.weights)
    # A start over another universe: the unknown label is ignored, the missing asset starts at 0.
    assert np.array_equal(labelled.aligned(wider.drop("stock c")),
                          cold.weights.to_numpy() * (ASSETS != "stock c"))
    with pytest.raises(ValueError, match="^warm_start has missing or non-finite values for asset 'stock a'"):
        labelled.solve(warm_start=cold.weights.mask(ASSETS == "stock a"))
    # A sequence date takes a labelled result as its new anchor, aligned the same way.
    rolled = labelled.sequence(profile="reference").solve_next(previous_weights=cold)
    expected = labelled.problem.sequence().solve_next(previous_weights=cold.weights.to_numpy())
    assert np.array_equal(rolled.weights.to_numpy(), expected.weights)


def test_labelled_dumps_keep_their_labels(arrays, labelled):
    text = labelled.to_json()
    assert _morva.PortfolioProblem.from_json(text).to_json() == labelled.problem.to_json()
    copy = LabelledProblem.from_json(text)
    assert copy.problem.to_json() == labelled.problem.to_json()
    for name in ("assets", "factors"):
        assert list(getattr(copy, name)) == list(getattr(labelled, name))
    assert (copy.equality_rows, copy.inequality_rows) == (labelled.equality_rows, labelled.inequality_rows)
    plain = LabelledProblem.from_json(labelled.problem.to_json())
    assert list(plain.assets) == list(range(N)) and plain.inequality_rows == [0, 1, 2, 3]
    with pytest.raises(ValueError, match='lists 2 factors for 3'):
        LabelledProblem.from_json(text.replace('"factors":["market","value","momentum"]', '"factors":["a","b"]'))


def test_engine_builder_names_become_keywords(arrays, labelled):
    inputs = labelled_inputs(arrays)
    inputs.pop("benchmark_weights")
    with pytest.raises(ValueError, match="^industries without industry_targets hold each industry at its benchmark "
                                         r"weight; give benchmark_weights=\.\.\., or industry_targets="):
        build(inputs)
    untracked = build({**inputs, "industries": None})
    benchmark = pd.Series(1.0 / N, index=ASSETS)
    with pytest.raises(ValueError, match=r"^this problem has no benchmark; build it with benchmark_weights=\.\.\. to "
                                         "roll one"):
        untracked.sequence().solve_next(benchmark_weights=benchmark)
    with pytest.raises(ValueError, match=r"^account 0: this problem has no benchmark"):
        labels.solve_batch([untracked], [[{"benchmark_weights": benchmark}]])
    still = build({**inputs, "industries": None, "previous_weights": None, "turnover_penalty": 0.0})
    with pytest.raises(ValueError, match="^account 0: chain_previous_weights needs a turnover term; build the problems with "
                                         r"previous_weights=\.\.\."):
        morva.solving.solve_batch([still.problem], [[{}]], chain_previous_weights=True)




def bounded_inputs(arrays: dict, active: bool) -> dict:
    """No equality rows nor styles; energy ≥ 0.45 and tech in [0.1, 0.2], or both within ±0.05 of the benchmark's."""
    inputs = {k: v for k, v in labelled_inputs(arrays).items() if not k.startswith(("style", "equality"))}
    bounds = {"energy": (-0.05, 0.05), "tech": (-0.05, 0.05)} if active else {"energy": (0.45, None), "tech": (0.1, 0.2)}
    return {**inputs, f"{'active_' * active}industry_bounds": bounds}


@pytest.mark.parametrize("active", [False, True], ids=["absolute", "active"])
def test_industry_bounds_match_a_dense_solve_and_keep_their_names(arrays, active):
    from reference import Portfolio, objective, reference_solve

    problem, rows, rhs, names = build(inputs := bounded_inputs(arrays, active)), [], [], []
    for industry, (low, high) in inputs[f"{'active_' * active}industry_bounds"].items():
        members = (np.array(INDUSTRY) == industry).astype(float)  # s_g ≤ U_g (+ b_g), −s_g ≤ −L_g (− b_g)
        shift = members @ arrays["benchmark_weights"] * active
        for limit, sign, side in ((high, 1.0, "upper"), (low, -1.0, "lower")):
            if limit is not None:
                rows, rhs, names = [*rows, sign * members], [*rhs, sign * (limit + shift)], [*names, f"industry {industry} {side}"]
    assert problem.inequality_rows == ["cap a", "cap b", *names] and problem.equality_rows == []
    portfolio = Portfolio(*(arrays[k] for k in ("factors", "omega", "specific_variance", "expected_returns")), {
        **{k: arrays[k] for k in ("upper_bounds", "previous_weights", "benchmark_weights")}, "turnover_penalty": 0.5,
        "inequality_matrix": np.vstack([np.eye(N)[:2], *rows]), "inequality_rhs": np.r_[0.25, 0.3, rhs]})
    weights = problem.solve(absolute_tolerance=1e-10, relative_tolerance=1e-10).weights.to_numpy()
    assert objective(portfolio, weights) == pytest.approx(reference_solve(portfolio).objective, rel=1e-6)
    slack = np.array(rows) @ weights - rhs
    assert slack.max() <= 1e-8 and np.abs(slack).min() <= 1e-8  # held, and binding
    for copy in (LabelledProblem.from_json(problem.to_json()), pickle.loads(pickle.dumps(problem))):
        assert copy.inequality_rows == problem.inequality_rows and copy.to_json() == problem.to_json()


@pytest.mark.parametrize("l1", [0.0, 0.01], ids=["quadratic turnover", "l1 turnover"])
def test_gross_leverage_with_industry_bounds_matches_a_dense_solve(arrays, l1):
    from reference import Portfolio, objective, reference_solve

    # Returns that reward shorting, shorts to 0.2 a name and a 125/25 limit that binds; tech in [0.1, 0.2].
    arrays = {**arrays, "expected_returns": np.linspace(-0.4, 0.4, N)}
    inputs = {**bounded_inputs(arrays, False), "lower_bounds": -0.2, "gross_leverage": 1.5,
              "l1_turnover_costs": l1 or None, "industry_bounds": {"tech": (0.1, 0.2)}}
    tech = (np.array(INDUSTRY) == "tech").astype(float)
    portfolio = Portfolio(*(arrays[k] for k in ("factors", "omega", "specific_variance", "expected_returns")), {
        **{k: arrays[k] for k in ("upper_bounds", "previous_weights", "benchmark_weights")}, "turnover_penalty": 0.5,
        "lower_bounds": np.full(N, -0.2), "gross_leverage": 1.5, "l1_turnover_costs": np.full(N, l1) if l1 else None,
        "inequality_matrix": np.vstack([np.eye(N)[:2], tech, -tech]), "inequality_rhs": np.r_[0.25, 0.3, 0.2, -0.1]})
    for problem in (build(inputs), pickle.loads(pickle.dumps(build(inputs))),
                    LabelledProblem.from_json(build(inputs).to_json())):
        result = problem.solve()
        weights = result.weights.to_numpy()
        assert result.polished and problem.problem.dimension == N
        assert objective(portfolio, weights) == pytest.approx(reference_solve(portfolio).objective, rel=1e-6)
        assert np.abs(weights).sum() == pytest.approx(1.5, abs=1e-8) and np.abs(weights).sum() <= 1.5 + 1e-8
        assert 0.1 - 1e-8 <= tech @ weights <= 0.2 + 1e-8 and weights.min() >= -0.2 - 1e-8


TECH = model()["benchmark_weights"][np.array(INDUSTRY) == "tech"].sum()
# (changes, message): one broken entry of a valid fixture (banks alone may reach 0.7).
BROKEN_BOUNDS = [
    ({"industry_bounds": {"autos": (0.0, 0.1)}},
     "industry_bounds names industry 'autos', which no asset belongs to; the industries are 'banks', 'energy', 'tech'"),
    ({"industry_bounds": {"tech": (0.3, 0.2)}}, "industry_bounds['tech'] has lower 0.3 above upper 0.2"),
    ({"industry_bounds": {"tech": (1.2, None)}}, "industry_bounds cannot be met for industry 'tech': its lower bound "
     "1.2 is above 1.05, the most its members' upper bounds allow, by 0.15"),
    ({"industry_bounds": {"tech": (0.6, None), "energy": (0.5, None)}}, "industry_bounds cannot be met: the industries' "
     "lower limits (their bounds, else what their members' lower bounds allow) add up to 1.1, above the budget 1 by "
     "0.1 ('tech' at least 0.6, 'energy' at least 0.5)"),
    ({"active_industry_bounds": {"tech": (None, -0.5)}}, f"active_industry_bounds cannot be met for industry 'tech': its "
     f"upper bound -0.5 on the benchmark's {TECH:g}, {TECH - 0.5:g}, is below 0, the least its members' lower bounds "
     f"allow, by {0.5 - TECH:.3g}"),
    ({"active_industry_bounds": {"tech": (0.0, 0.1)}, "benchmark_weights": None},
     "active_industry_bounds are relative to the benchmark's industry weights; give benchmark_weights=..."),
    ({"gross_leverage": 0.8}, "invalid portfolio parameter: gross_leverage 0.8 is below the budget 1: weights that sum "
     "to the budget hold at least |budget| gross; raise gross_leverage to at least 1"),
]


@pytest.mark.parametrize(("changes", "message"), BROKEN_BOUNDS)
def test_industry_bounds_that_cannot_hold_are_refused_naming_the_industry(arrays, changes, message):
    inputs = {k: v for k, v in bounded_inputs(arrays, active=False).items() if k != "industry_bounds"}
    with pytest.raises(ValueError) as caught:
        build({**inputs, **changes})
    assert str(caught.value).startswith(message)


def test_an_infeasible_industry_bound_is_certified_by_name(arrays):
    """Energy (stock b, e, h) must hold at least 0.45, but a row of the user's caps it at 0.2."""
    cap = pd.DataFrame([[float(i == "energy") for i in INDUSTRY]], index=["energy cap"], columns=ASSETS)
    result = build({**bounded_inputs(arrays, active=False), "inequality_matrix": cap,
                    "inequality_rhs": pd.Series({"energy cap": 0.2})}).solve(raise_on_failure=False)
    assert "inequality cap(s) energy cap, industry energy lower" in result.convergence_hints[0]
    assert result.certificate.inequality_dual[["energy cap", "industry energy lower"]].min() > 0.5
