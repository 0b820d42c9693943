"""Risk decompositions against a dense covariance: Euler sums and finite differences of σ."""

import numpy as np
import pytest

import morva
from morva.analytics import (active_risk_contributions, factor_risk_contributions, marginal_risk_contributions,
                             plot_risk_contributions)
from morva.labels import LabelledProblem

pd = pytest.importorskip("pandas")

N, K, STEP = 12, 3, 1e-6
RNG = np.random.default_rng(7)
F, ROOT, D, W, B, OTHER = RNG.normal(size=(N, K)), RNG.normal(0.0, 0.1, (K, K)), *RNG.uniform(0.01, 0.05, (4, N))
OMEGA, ASSETS, FACTORS = ROOT @ ROOT.T + 0.01 * np.eye(K), pd.Index([f"a{i}" for i in range(N)]), ["market", "size", "value"]
PROBLEM = LabelledProblem(pd.DataFrame(F, ASSETS, FACTORS), pd.DataFrame(OMEGA, FACTORS, FACTORS), D, np.zeros(N),
                          benchmark_weights=B)


def sigma(v, factors=F, specific=D) -> float:
    """√(vᵀΣv) with Σ = diag(d) + F·Ω·Fᵀ formed densely."""
    return float(np.sqrt(v @ (np.diag(specific) + factors @ OMEGA @ factors.T) @ v))


def slope(risk_of) -> float:
    """dσ/dt at t = 1 by central differences."""
    return (risk_of(1 + STEP) - risk_of(1 - STEP)) / (2 * STEP)


@pytest.mark.parametrize(("keywords", "v"), [({}, W), ({"active": True}, W - B), ({"benchmark": OTHER}, W - OTHER)],
                         ids=["total", "problem's benchmark", "given benchmark"])
def test_contributions_are_euler_splits_of_the_dense_risk(keywords, v, tmp_path):
    by_label = {k: pd.Series(x, ASSETS).iloc[::-1] if k == "benchmark" else x for k, x in keywords.items()}
    weights, risk = pd.Series(W, ASSETS).iloc[::-1], sigma(v)
    # ∂σ/∂w_i; the factor parts x_f (Ωx)_f / σ are dσ/dt with factor f's exposures scaled by t, and the
    # specific part Σ d_i v_i² / σ is 2 dσ/dt with d scaled by t.
    gradient = [slope(lambda t, e=e: sigma(v + (t - 1) * e)) for e in np.eye(N)]
    split = [slope(lambda t, f=f: sigma(v, F * np.where(np.arange(K) == f, t, 1.0))) for f in range(K)]
    split.append(2 * slope(lambda t: sigma(v, specific=D * t)))
    marginal, factor = (rule(PROBLEM, weights, **by_label) for rule in (marginal_risk_contributions, factor_risk_contributions))
    assert marginal.to_numpy() == pytest.approx(gradient, abs=1e-7) and factor.to_numpy() == pytest.approx(split, abs=1e-7)
    assert marginal.to_numpy() @ v == pytest.approx(risk, abs=1e-10) and factor.sum() == pytest.approx(risk, abs=1e-10)
    assert marginal.index.equals(ASSETS) and list(factor.index) == [*FACTORS, "specific"]
    assert np.array_equal(factor_risk_contributions(PROBLEM.problem, W, **keywords), factor.to_numpy())  # unlabelled
    if keywords:
        active = active_risk_contributions(PROBLEM, weights, by_label.get("benchmark"))
        assert active.to_numpy() == pytest.approx(v * gradient, abs=1e-7) and active.sum() == pytest.approx(risk, abs=1e-10)
    with pytest.raises(ValueError, match="^active risk needs a benchmark: this problem has none"):
        active_risk_contributions(morva.PortfolioProblem(F, OMEGA, D, np.zeros(N)), W)
    pytest.importorskip("matplotlib").use("Agg")
    ax = plot_risk_contributions(factor, tmp_path / "risk.png")
    assert [bar.get_width() for bar in ax.patches] == list(factor) and (tmp_path / "risk.png").stat().st_size > 0
    assert [tick.get_text() for tick in ax.get_yticklabels()] == list(factor.index)
    __import__("matplotlib.pyplot").pyplot.close("all")
