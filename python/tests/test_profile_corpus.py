"""The reference certifier of bench/profile_corpus.py on a 3-asset problem worked by hand.

F = 0, d = 1, λ = 2 (so P = 2I), μ = (0.9, 0.3, −0.9), previous weights a = (0.6, 0.4, 0),
L1 cost c:

    minimise x₁² + x₂² + x₃² − μᵀx + c·‖x − a‖₁   subject to x₁ + x₂ + x₃ = 1, 0 ≤ x ≤ 1.

With g = 2x − μ + ν·1 (ν the budget multiplier):
- c = 0.05: x₃ = 0 at its bound (and anchor), x₁ above its anchor, x₂ below:
  2x₁ − 0.9 + c + ν = 0, 2x₂ − 0.3 − c + ν = 0, x₁ + x₂ = 1 → x = (0.625, 0.375, 0), ν = −0.4;
  x₃ may only move up, at slope g₃ + c = 0.9 − 0.4 + 0.05 ≥ 0. Objective 0.53125 − 0.675 + 0.0025.
  ν = −0.3 leaves g₁ + c = 0.1 ≠ 0.
- c = 0.3: x = (0.6, 0.4, 0), both at their anchors; the L1 subgradient condition |gᵢ| ≤ c asks
  |0.3 + ν| ≤ 0.3 and |0.5 + ν| ≤ 0.3, i.e. ν ∈ [−0.6, −0.2]: −0.4 certifies, −0.1 does not.
  Objective 0.52 − 0.66.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

import morva

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from corpus_families import build_problem  # noqa: E402
from profile_corpus import certify, lower_portfolio, reference_from  # noqa: E402

CASES = [  # cost, optimum, objective, a certifying ν, a wrong ν
    (0.05, [0.625, 0.375, 0.0], 0.53125 - 0.675 + 0.0025, -0.4, -0.3),
    (0.3, [0.6, 0.4, 0.0], 0.52 - 0.66, -0.4, -0.1),
]


def hand_keywords(cost: float) -> dict:
    return {"factors": np.zeros((3, 1)), "omega": np.eye(1), "specific_variance": np.ones(3),
            "expected_returns": np.array([0.9, 0.3, -0.9]), "risk_aversion": 2.0,
            "previous_weights": np.array([0.6, 0.4, 0.0]), "l1_turnover_costs": cost}


@pytest.mark.parametrize(("cost", "optimum", "objective", "good", "bad"), CASES)
def test_certified_reference_of_the_hand_worked_problem(cost, optimum, objective, good, bad):
    keywords = hand_keywords(cost)
    lp = lower_portfolio(keywords)
    found = reference_from(lp, [("equal weights", np.full(3, 1.0 / 3.0))])
    assert found is not None
    np.testing.assert_allclose(found.weights, optimum, rtol=0.0, atol=1e-14)
    assert found.objective == pytest.approx(objective, abs=1e-14)

    x = np.array(optimum)
    assert certify(lp, x, np.array([good]), np.zeros(0)).holds()
    wrong = certify(lp, x, np.array([bad]), np.zeros(0))
    assert wrong.stationarity == pytest.approx(0.1, abs=1e-12)
    assert not wrong.holds()
    assert certify(lp, x + np.array([1e-6, 0.0, 0.0]), np.array([good]), np.zeros(0)).primal == pytest.approx(1e-6)

    # The objective of the lowering is the one morva reports.
    result = build_problem(keywords).solve()
    assert lp.objective(result.weights) == pytest.approx(result.objective, abs=1e-15)
    np.testing.assert_allclose(result.weights, optimum, atol=1e-6)


@pytest.mark.parametrize("cap", [10, 20, 40])
def test_the_package_profile_never_runs_past_max_iterations(cap):
    # Seeds whose answers the early polish, the tighter run or the flat-face finish take further.
    from corpus_families import draw

    for seed in (100207, 100209, 100208):
        result = morva.solve(build_problem(draw("dollar_neutral", 20, seed).keywords), max_iterations=cap,
                             raise_on_failure=False)
        assert result.iterations <= cap
