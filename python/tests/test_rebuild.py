import numpy as np
import pytest

import morva
from morva import _rebuild


def _problem(rng, n=8, k=2):
    return morva.PortfolioProblem(
        rng.normal(size=(n, k)), np.diag([0.04, 0.02]), np.full(n, 0.01), rng.normal(size=n) * 0.05,
        industry_ids=np.repeat(np.arange(4), 2), max_weight=0.4, previous_weights=np.full(n, 1 / n),
        turnover_penalty=0.1, l1_turnover_costs=np.full(n, 1e-3), benchmark_weights=np.full(n, 1 / n))


@pytest.mark.parametrize("overrides", [{}, {"budget": None, "equality_matrix": None, "equality_rhs": None},
                                       {"expected_returns": np.zeros(8), "risk_aversion": 3.0}])
def test_rebuild_keeps_every_input_it_is_not_told_to_change(overrides):
    original = _problem(np.random.default_rng(4))
    rebuilt = _rebuild.rebuild(original, **overrides)
    before, after = morva.problem_data(original), morva.problem_data(rebuilt)
    for name, value in after.items():
        expected = overrides.get(name, before[name])
        if name in ("equality_matrix", "equality_rhs") and expected is None:
            assert value.shape[0] == 0
        else:
            np.testing.assert_array_equal(value, expected, err_msg=name)
    if not overrides:
        np.testing.assert_array_equal(morva.solve(rebuilt).weights, morva.solve(original).weights)


def test_rebuild_names_an_unknown_input():
    with pytest.raises(TypeError, match="'max_weights'"):
        _rebuild.rebuild(_problem(np.random.default_rng(1)), max_weights=0.1)
