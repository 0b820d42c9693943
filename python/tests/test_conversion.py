"""Argument conversion and the construction rules, with their exact texts.

Each case starts from one valid set of portfolio arguments and breaks exactly one rule;
every case runs through both the PortfolioProblem constructor and the
one-shot solve_mean_variance_factor, which must report the same error."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _morva
from conftest import positional, small_arrays

N = 4


def build_problem(arrays, **keywords):
    return _morva.PortfolioProblem(*positional(arrays), **keywords)


def build_and_solve(arrays, **keywords):
    return _morva.solve_mean_variance_factor(*positional(arrays), **keywords)


@pytest.fixture(params=[build_problem, build_and_solve], ids=["constructor", "one_shot"])
def build(request):
    return request.param


def override(**changes):
    """The valid arrays with some of the four positional arguments replaced."""
    arrays = small_arrays(N)
    arrays.update(changes)
    return arrays


def int_array(n=N):
    return np.arange(n, dtype=np.int64)


def byte_swapped(values):
    return np.asarray(values, dtype=np.float64).astype(">f8")


# (name, arrays overrides, keyword overrides, message prefix) for TypeErrors
# naming the argument.
TYPE_ERRORS = [
    ("list_vector", {"expected_returns": [0.01] * N}, {}, "argument 'expected_returns': "),
    ("int_vector", {"expected_returns": int_array()}, {}, "argument 'expected_returns': "),
    ("float32_vector", {"expected_returns": np.zeros(N, np.float32)}, {}, "argument 'expected_returns': "),
    ("swapped_vector", {"expected_returns": byte_swapped(np.zeros(N))}, {}, "argument 'expected_returns': "),
    ("two_d_vector", {"specific_variance": np.ones((N, 1))}, {}, "argument 'specific_variance': "),
    ("zero_d_vector", {"expected_returns": np.array(0.1)}, {}, "argument 'expected_returns': "),
    ("scalar_vector", {"expected_returns": np.float64(0.1)}, {}, "argument 'expected_returns': "),
    ("one_d_matrix", {"factors": np.ones(N)}, {}, "argument 'factors': "),
    ("list_matrix", {"omega": [[0.04, 0.0], [0.0, 0.04]]}, {}, "argument 'omega': "),
    ("int_matrix", {"omega": np.eye(2, dtype=np.int64)}, {}, "argument 'omega': "),
    ("object_matrix", {"factors": np.ones((N, 2), dtype=object)}, {}, "argument 'factors': "),
    ("list_bounds", {}, {"lower_bounds": [0.0] * N, "upper_bounds": np.ones(N)}, "argument 'lower_bounds': "),
    ("list_equality", {}, {"equality_matrix": np.ones((1, N)), "equality_rhs": [1.0]}, "argument 'equality_rhs': "),
    ("none_risk", {}, {"risk_aversion": None}, "argument 'risk_aversion': "),
    ("str_risk", {}, {"risk_aversion": "1.0"}, "argument 'risk_aversion': "),
    ("none_budget", {}, {"budget": None}, "argument 'budget': "),
    ("none_penalty", {}, {"turnover_penalty": None}, "argument 'turnover_penalty': "),
    ("str_max_weight", {}, {"max_weight": "0.5"}, "argument 'max_weight': "),
    ("list_max_short", {}, {"max_short": [0.1]}, "argument 'max_short': "),
    ("int_ids_scalar", {}, {"industry_ids": 3}, "argument 'industry_ids': "),
    ("float_ids", {}, {"industry_ids": [0.0, 1.0, 0.0, 1.0]}, "argument 'industry_ids': "),
    ("float_array_ids", {}, {"industry_ids": np.zeros(N)}, "argument 'industry_ids': "),
    ("list_style", {}, {"style_matrix": [[1.0] * N], "style_lower": np.zeros(1), "style_upper": np.ones(1)},
     "argument 'style_matrix': "),
]


@pytest.mark.parametrize(("case", "arrays", "keywords", "prefix"), TYPE_ERRORS, ids=[c[0] for c in TYPE_ERRORS])
def test_wrong_kinds_raise_type_error_naming_the_argument(build, case, arrays, keywords, prefix):
    with pytest.raises(TypeError) as error:
        build(override(**arrays), **keywords)
    assert str(error.value).startswith(prefix)
    assert len(str(error.value)) > len(prefix)


def test_str_industry_ids_message(build):
    with pytest.raises(TypeError) as error:
        build(override(), industry_ids="0101")
    assert str(error.value) == "argument 'industry_ids': Can't extract `str` to `Vec`"


@pytest.mark.parametrize("value", [[-1, 0, 0, 1], [2**64, 0, 0, 1], np.array([0, 1, -1, 1], dtype=np.int16)],
                         ids=["negative", "too_large", "negative_array"])
def test_out_of_range_industry_ids_raise_the_host_overflow_error(build, value):
    with pytest.raises(OverflowError):
        build(override(), industry_ids=value, industry_targets=np.array([0.5, 0.5]))


SOLVER_TYPE_ERRORS = [
    ("max_iterations", 10.5, TypeError),
    ("max_iterations", "10", TypeError),
    ("max_iterations", -1, OverflowError),
    ("max_iterations", 2**64, OverflowError),
    ("scaling_iterations", None, TypeError),
    ("adaptive_rho", 1, TypeError),
    ("polish", "yes", TypeError),
    ("raise_on_failure", None, TypeError),
    ("rho", None, TypeError),
    ("absolute_tolerance", "1e-6", TypeError),
    ("warm_start", [0.25] * N, TypeError),
    ("warm_start", np.full(N, 0.25, dtype=np.float32), TypeError),
]


@pytest.mark.parametrize(("keyword", "value", "kind"), SOLVER_TYPE_ERRORS)
def test_solver_keyword_kinds(problem_and_one_shot, keyword, value, kind):
    with pytest.raises(kind) as error:
        problem_and_one_shot(**{keyword: value})
    if kind is TypeError:
        assert str(error.value).startswith(f"argument '{keyword}': ")
    else:
        assert type(error.value) is OverflowError


@pytest.fixture(params=["solve", "one_shot"])
def problem_and_one_shot(request):
    arrays = small_arrays(N)
    if request.param == "solve":
        return _morva.PortfolioProblem(*positional(arrays)).solve
    return lambda **keywords: _morva.solve_mean_variance_factor(*positional(arrays), **keywords)


class Real:
    def __float__(self):
        return 2.0


class Index:
    def __index__(self):
        return 500


def test_numbers_flags_and_counts_accept_their_protocols():
    arrays = small_arrays(N)
    reference = build_problem(arrays, risk_aversion=2.0, max_weight=0.5).to_json()
    for risk in (2, np.float32(2.0), np.int64(2), Real()):
        assert build_problem(arrays, risk_aversion=risk, max_weight=0.5).to_json() == reference
    problem = build_problem(arrays)
    baseline = problem.solve(max_iterations=500, polish=False, adaptive_rho=False)
    for count, flag in ((np.int64(500), np.bool_(False)), (Index(), False), (500, np.False_)):
        result = problem.solve(max_iterations=count, polish=flag, adaptive_rho=flag)
        assert result.polished is False
        assert result.rho_updates == 0
        assert result.weights.tolist() == baseline.weights.tolist()
    assert problem.solve(polish=np.bool_(True)).polished is True


@pytest.mark.parametrize(
    "ids", [[0, 1, 0, 1], (0, 1, 0, 1), np.array([0, 1, 0, 1]), np.array([0, 1, 0, 1], dtype=np.uint8),
            np.array([0, 9, 1, 9, 0, 9, 1], dtype=np.int32)[::2], np.array([0, 9, 1, 9, 0, 9, 1], dtype=">i4")[::2],
            np.array([0, 1, 0, 1], dtype=np.uint64)],
    ids=["list", "tuple", "int64_array", "uint8_array", "strided", "strided_big_endian", "uint64_array"],
)
def test_index_lists_accept_integer_sequences(ids):
    problem = build_problem(small_arrays(N), industry_ids=ids, industry_targets=np.array([0.6, 0.4]))
    assert '"matrix":{"rows":2,"cols":4,"data":[1.0,0.0,1.0,0.0,0.0,1.0,0.0,1.0]},"rhs":[0.6,0.4]' in problem.to_json()


PREVIOUS = np.full(N, 0.25)
STYLE = np.ones((1, N))

# (name, keywords, exact ValueError text)
VALUE_ERRORS = [
    ("lower_only", {"lower_bounds": np.zeros(N)}, "lower_bounds and upper_bounds must be provided together"),
    ("upper_only", {"upper_bounds": np.ones(N)}, "lower_bounds and upper_bounds must be provided together"),
    ("eq_matrix_only", {"equality_matrix": np.ones((1, N))},
     "equality_matrix and equality_rhs must be provided together"),
    ("eq_rhs_only", {"equality_rhs": np.ones(1)}, "equality_matrix and equality_rhs must be provided together"),
    ("in_matrix_only", {"inequality_matrix": np.ones((1, N))},
     "inequality_matrix and inequality_rhs must be provided together"),
    ("in_rhs_only", {"inequality_rhs": np.ones(1)},
     "inequality_matrix and inequality_rhs must be provided together"),
    ("penalty_without_anchor", {"turnover_penalty": 0.5},
     "previous_weights is required when turnover_penalty is non-zero"),
    ("nan_penalty_without_anchor", {"turnover_penalty": math.nan},
     "previous_weights is required when turnover_penalty is non-zero"),
    ("costs_without_anchor", {"l1_turnover_costs": 0.001},
     "previous_weights is required when l1_turnover_costs is provided"),
    ("targets_without_ids", {"industry_targets": np.ones(2)}, "industry_targets requires industry_ids"),
    ("style_matrix_only", {"style_matrix": STYLE},
     "style_matrix, style_lower, and style_upper must be provided together"),
    ("style_matrix_lower", {"style_matrix": STYLE, "style_lower": np.zeros(1)},
     "style_matrix, style_lower, and style_upper must be provided together"),
    ("style_bands_only", {"style_lower": np.zeros(1), "style_upper": np.ones(1)},
     "style_matrix, style_lower, and style_upper must be provided together"),
    ("l1_list", {"previous_weights": PREVIOUS, "l1_turnover_costs": [0.001] * N},
     "l1_turnover_costs must be a float or a one-dimensional float array"),
    ("l1_str", {"previous_weights": PREVIOUS, "l1_turnover_costs": "0.001"},
     "l1_turnover_costs must be a float or a one-dimensional float array"),
    ("l1_int_array", {"previous_weights": PREVIOUS, "l1_turnover_costs": np.ones(N, dtype=np.int64)},
     "l1_turnover_costs must be a float or a one-dimensional float array"),
    ("l1_matrix", {"previous_weights": PREVIOUS, "l1_turnover_costs": np.ones((N, 2))},
     "l1_turnover_costs must be a float or a one-dimensional float array"),
    ("zero_risk", {"risk_aversion": 0.0}, "invalid portfolio parameter: risk_aversion must be finite and positive"),
    ("nan_risk", {"risk_aversion": math.nan}, "invalid portfolio parameter: risk_aversion must be finite and positive"),
    ("inf_risk", {"risk_aversion": math.inf}, "invalid portfolio parameter: risk_aversion must be finite and positive"),
    ("inf_budget", {"budget": math.inf}, "invalid portfolio parameter: budget must be finite when provided"),
    ("nan_budget", {"budget": math.nan}, "invalid portfolio parameter: budget must be finite when provided"),
    ("negative_penalty", {"previous_weights": PREVIOUS, "turnover_penalty": -0.1},
     "invalid portfolio parameter: turnover_penalty must be finite and non-negative"),
    ("negative_costs", {"previous_weights": PREVIOUS, "l1_turnover_costs": -0.001},
     "invalid portfolio parameter: l1 turnover costs must be non-negative"),
    ("short_costs", {"previous_weights": PREVIOUS, "l1_turnover_costs": np.ones(N - 1)},
     "l1_turnover_costs has dimension 3; expected 4"),
    ("short_anchor", {"previous_weights": np.ones(N - 1)}, "previous_weights has dimension 3; expected 4"),
    ("crossed_bounds", {"lower_bounds": np.array([0.0, 2.0, 0.0, 0.0]), "upper_bounds": np.ones(N)},
     "invalid bounds at index 1: lower 2 exceeds upper 1"),
    ("zero_max_weight", {"max_weight": 0.0}, "invalid portfolio parameter: max_weight must be finite and positive"),
    ("negative_max_short", {"max_short": -0.5},
     "invalid portfolio parameter: max_short must be finite and non-negative"),
    ("neutrality_without_benchmark", {"industry_ids": [0, 1, 0, 1]},
     "invalid constraint template: industry neutrality derives its targets from the tracking benchmark; call "
     "with_tracking_benchmark first or supply explicit targets with with_group_targets"),
    ("empty_group", {"industry_ids": [0, 2, 0, 2], "industry_targets": np.ones(3)},
     "invalid constraint template: groups group 1 has no member assets; its row would read 0 = target"),
    ("crossed_style", {"style_matrix": STYLE, "style_lower": np.array([0.2]), "style_upper": np.array([0.1])},
     "invalid constraint template: style 0 bounds cross: lower 0.2 exceeds upper 0.1"),
    ("narrow_style", {"style_matrix": np.ones((1, 3)), "style_lower": np.zeros(1), "style_upper": np.ones(1)},
     "style exposures has dimension 3; expected 4"),
    ("short_benchmark", {"benchmark_weights": np.ones(2)}, "benchmark_weights has dimension 2; expected 4"),
    ("limit_empties_box", {"lower_bounds": np.full(N, 0.2), "upper_bounds": np.ones(N), "max_weight": 0.1},
     "invalid bounds at index 0: lower 0.2 exceeds upper 0.1"),
]


@pytest.mark.parametrize(("case", "keywords", "message"), VALUE_ERRORS, ids=[c[0] for c in VALUE_ERRORS])
def test_rule_violations_raise_value_error_with_exact_text(build, case, keywords, message):
    with pytest.raises(ValueError) as error:
        build(override(), **keywords)
    assert str(error.value) == message


@pytest.mark.parametrize(
    ("arrays", "message"),
    [
        ({"expected_returns": np.zeros(N - 1)}, "expected_returns has dimension 3; expected 4"),
        ({"specific_variance": np.zeros(N + 1)}, "quadratic.diagonal has dimension 5; expected 4"),
        ({"omega": np.array([[0.04, 0.01], [0.0, 0.04]])}, "quadratic.omega must be symmetric"),
        ({"expected_returns": np.array([0.0, math.inf, 0.0, 0.0])}, "expected_returns contains a non-finite coefficient"),
    ],
)
def test_model_errors_come_first(build, arrays, message):
    # Every later rule is broken too; the model's own check wins.
    with pytest.raises(ValueError) as error:
        build(override(**arrays), lower_bounds=np.zeros(N), risk_aversion=0.0)
    assert str(error.value) == message


@pytest.mark.parametrize(
    ("keywords", "error", "message"),
    [
        # Conversions of every keyword run before any rule.
        ({"lower_bounds": np.zeros(N), "style_upper": [1.0]}, TypeError, "argument 'style_upper': "),
        ({"risk_aversion": 0.0, "max_short": "x"}, TypeError, "argument 'max_short': "),
        # Conversions in signature order.
        ({"budget": None, "risk_aversion": None}, TypeError, "argument 'risk_aversion': "),
        # Rules in builder order.
        ({"turnover_penalty": 0.5, "lower_bounds": np.zeros(N)}, ValueError,
         "lower_bounds and upper_bounds must be provided together"),
        ({"risk_aversion": -1.0, "budget": math.inf}, ValueError, "invalid portfolio parameter: risk_aversion"),
        ({"industry_targets": np.ones(1), "style_lower": np.ones(1)}, ValueError, "industry_targets requires"),
        ({"max_weight": -1.0, "max_short": -1.0}, ValueError, "invalid portfolio parameter: max_weight"),
    ],
)
def test_first_failure_wins(build, keywords, error, message):
    with pytest.raises(error) as raised:
        build(override(), **keywords)
    assert str(raised.value).startswith(message)


def test_solver_keywords_are_converted_before_construction_rules():
    with pytest.raises(TypeError, match="^argument 'polish': "):
        build_and_solve(override(), lower_bounds=np.zeros(N), polish=1)


def test_bad_solver_settings_reach_python_as_value_error(problem_and_one_shot):
    with pytest.raises(ValueError, match="^invalid solver setting: "):
        problem_and_one_shot(over_relaxation=2.0)


def test_warm_start_length_is_checked_by_the_engine(problem_and_one_shot):
    with pytest.raises(ValueError) as error:
        problem_and_one_shot(warm_start=np.zeros(N - 1))
    assert str(error.value) == "warm-start x has length 3; expected 4"


def problem_data(problem) -> str:
    return problem.to_json()


def test_l1_scalar_cost_is_given_to_every_asset():
    problem = build_problem(override(), previous_weights=PREVIOUS, l1_turnover_costs=0.001)
    assert '"l1_turnover_costs":[0.001,0.001,0.001,0.001]' in problem.to_json()
    array_costs = build_problem(override(), previous_weights=PREVIOUS, l1_turnover_costs=np.full(N, 0.001))
    assert array_costs.to_json() == problem.to_json()


def test_zero_penalty_with_anchor_installs_the_anchor():
    problem = build_problem(override(), previous_weights=PREVIOUS)
    assert '"previous_weights":[0.25,0.25,0.25,0.25],"turnover_penalty":0.0' in problem.to_json()


def full_keywords(n: int) -> dict:
    rng = np.random.default_rng(99)
    return {
        "lower_bounds": np.full(n, -0.1),
        "upper_bounds": rng.uniform(0.5, 1.0, n),
        "equality_matrix": rng.normal(size=(1, n)),
        "equality_rhs": np.array([0.01]),
        "inequality_matrix": rng.normal(size=(2, n)),
        "inequality_rhs": np.array([0.5, 0.6]),
        "previous_weights": np.full(n, 1.0 / n),
        "turnover_penalty": 0.1,
        "l1_turnover_costs": rng.uniform(0.0, 0.01, n),
        "benchmark_weights": np.full(n, 1.0 / n),
        "style_matrix": rng.normal(size=(2, n)),
        "style_lower": np.array([-1.0, -np.inf]),
        "style_upper": np.array([1.0, 2.0]),
        "warm_start": np.full(n, 1.0 / n),
    }


def strided_variants(array: np.ndarray) -> dict:
    """Equal arrays with other memory layouts (all read in logical order)."""
    variants = {"fortran": np.asfortranarray(array)}
    padded = np.zeros((array.shape[0] * 2,) + array.shape[1:])
    padded[::2] = array
    variants["step_slice"] = padded[::2]
    reversed_copy = np.ascontiguousarray(array[::-1])
    variants["negative_stride"] = reversed_copy[::-1]
    read_only = array.copy()
    read_only.setflags(write=False)
    variants["read_only"] = read_only
    # Unaligned: a float64 field of a packed record array.
    packed = np.zeros(array.shape, dtype=[("pad", "u1"), ("value", "f8")])
    packed["value"] = array
    variants["unaligned"] = packed["value"]
    if array.ndim == 2:
        wide = np.zeros((array.shape[0], array.shape[1] * 3))
        wide[:, 1::3] = array
        variants["column_slice"] = wide[:, 1::3]
        variants["transposed"] = np.ascontiguousarray(array.T).T
    return variants


@pytest.mark.parametrize(
    "layout",
    ["fortran", "step_slice", "negative_stride", "read_only", "unaligned", "column_slice", "transposed"],
)
def test_any_memory_layout_is_read_in_logical_order(layout):
    n = 6
    arrays = small_arrays(n, 3)
    keywords = full_keywords(n)
    warm_start = keywords.pop("warm_start")
    expected = _morva.PortfolioProblem(*positional(arrays), **keywords)
    expected_result = expected.solve(warm_start=warm_start)

    def relayout(value):
        if not isinstance(value, np.ndarray):
            return value
        return strided_variants(value).get(layout, value)

    changed = {name: relayout(value) for name, value in {**arrays, **keywords}.items()}
    changed_arrays = [value for value in changed.values() if isinstance(value, np.ndarray)]
    assert any(
        not (value.flags.c_contiguous and value.flags.writeable and value.flags.aligned) for value in changed_arrays
    )
    problem = _morva.PortfolioProblem(*positional(changed), **{k: changed[k] for k in keywords})
    assert problem.to_json() == expected.to_json()
    result = problem.solve(warm_start=relayout(warm_start))
    assert result.weights.tolist() == expected_result.weights.tolist()
    one_shot = _morva.solve_mean_variance_factor(
        *positional(changed), **{k: changed[k] for k in keywords}, warm_start=relayout(warm_start)
    )
    assert one_shot.weights.tolist() == expected_result.weights.tolist()


def test_ndarray_subclasses_are_accepted():
    class Tagged(np.ndarray):
        pass

    arrays = small_arrays(N)
    tagged = {name: value.view(Tagged) for name, value in arrays.items()}
    assert build_problem(tagged).to_json() == build_problem(arrays).to_json()


def test_caller_arrays_are_copied_on_entry():
    n = 5
    arrays = small_arrays(n, 2)
    keywords = full_keywords(n)
    keywords.pop("warm_start")
    keywords["industry_ids"] = np.array([0, 1, 0, 1, 1])
    keywords["industry_targets"] = np.array([0.4, 0.6])
    problem = _morva.PortfolioProblem(*positional(arrays), **keywords)
    dump = problem.to_json()
    weights = problem.solve().weights
    for value in [*arrays.values(), *keywords.values()]:
        if isinstance(value, np.ndarray):
            value[...] = 7

    assert problem.to_json() == dump
    assert problem.solve().weights.tolist() == weights.tolist()
