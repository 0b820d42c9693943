"""Efficient frontiers: monotone in risk and return, every point the problem's own solve."""

from __future__ import annotations

import json

import numpy as np
import pytest

import _morva
import morva
from conftest import random_portfolio

LAMBDAS = np.geomspace(0.5, 200.0, 12)


def problem(**options) -> _morva.PortfolioProblem:
    model = random_portfolio(21, 40, 5)
    return _morva.PortfolioProblem(model.factors, model.omega, model.specific_variance, model.expected_returns,
                                   lower_bounds=np.zeros(40), upper_bounds=np.full(40, 0.25), **options)


def _arrays(p: _morva.PortfolioProblem) -> tuple:
    """Factors, Ω, specific variances and returns, read back from the dump."""
    data = json.loads(p.to_json())
    cov = data["covariance"]
    factors = np.array(cov["factors"]["data"]).reshape(cov["factors"]["rows"], cov["factors"]["cols"])
    omega = np.array(cov["omega"]["Dense"]["data"]).reshape(factors.shape[1], -1)
    return factors, omega, np.array(cov["diagonal"]), np.array(data["expected_returns"])


def covariance(p: _morva.PortfolioProblem) -> np.ndarray:
    factors, omega, diagonal, _ = _arrays(p)
    return np.diag(diagonal) + factors @ omega @ factors.T


TRACKING = {"benchmark_weights": np.full(40, 1 / 40), "previous_weights": np.full(40, 1 / 40)}


@pytest.mark.parametrize("options", [{}, TRACKING], ids=["total risk", "active risk"])
def test_frontier_is_monotone_and_each_point_is_the_problem_solved_at_its_risk_aversion(options):
    base = problem(**options)
    frontier = morva.efficient_frontier(base, LAMBDAS)
    assert frontier.statuses == ("solved",) * len(LAMBDAS)
    assert frontier.weights.shape == (len(LAMBDAS), 40)
    # Raising λ never raises the priced risk nor the return (up to solver tolerance).
    assert np.all(np.diff(frontier.risk) <= 1e-6)
    assert np.all(np.diff(frontier.expected_return) <= 1e-6)
    assert frontier.risk[0] > 1.5 * frontier.risk[-1]
    sigma = covariance(base)
    reference = options.get("benchmark_weights", 0.0)
    expected_returns = _arrays(base)[3]
    for point, risk_aversion in enumerate(LAMBDAS[::5]):
        row = point * 5
        active = frontier.weights[row] - reference
        assert frontier.risk[row] == pytest.approx(np.sqrt(active @ sigma @ active), rel=1e-10)
        assert frontier.expected_return[row] == pytest.approx(expected_returns @ frontier.weights[row], rel=1e-12)
        direct = _morva.PortfolioProblem(
            *_arrays(base), risk_aversion=risk_aversion, lower_bounds=np.zeros(40), upper_bounds=np.full(40, 0.25),
            **options,
        ).sequence().solve_next()
        assert direct.weights.tobytes() == frontier.weights[row].tobytes()



@pytest.mark.parametrize(
    ("risk_aversions", "message"),
    [
        ([], "risk_aversions must be a non-empty one-dimensional sequence of numbers"),
        ([[1.0, 2.0]], "risk_aversions must be a non-empty one-dimensional sequence of numbers"),
        ([1.0, 0.0], "risk_aversions must be finite and positive"),
        ([1.0, np.nan], "risk_aversions must be finite and positive"),
        ([np.inf], "risk_aversions must be finite and positive"),
    ],
)
def test_bad_risk_aversions_are_refused(risk_aversions, message):
    with pytest.raises(ValueError) as caught:
        morva.efficient_frontier(problem(), risk_aversions)
    assert str(caught.value) == message


def test_frame_and_labelled_weights():
    pd = pytest.importorskip("pandas")
    from morva.labels import LabelledProblem

    base = problem()
    factors, omega, diagonal, returns = _arrays(base)
    assets = [f"n{i}" for i in range(40)]
    labelled = LabelledProblem(
        pd.DataFrame(factors, index=assets), pd.DataFrame(omega), pd.Series(diagonal, index=assets),
        pd.Series(returns, index=assets), lower_bounds=0.0, upper_bounds=0.25,
    )
    frontier = morva.efficient_frontier(labelled, LAMBDAS[:4])
    frame = frontier.to_frame(weights=True)
    assert list(frame.index) == list(LAMBDAS[:4]) and frame.index.name == "risk_aversion"
    assert list(frame.columns[:3]) == ["risk", "expected_return", "status"] and list(frame.columns[3:]) == assets
    assert np.array_equal(frame[assets].to_numpy(), morva.efficient_frontier(base, LAMBDAS[:4]).weights)


@pytest.mark.parametrize("options", [{}, TRACKING], ids=["plain", "benchmark and current"])
def test_plots_save_as_png(tmp_path, options):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    frontier = morva.efficient_frontier(problem(**options), LAMBDAS)
    ax = frontier.plot(period="year")
    labels = ax.get_legend_handles_labels()[1]
    assert labels == ["efficient frontier"] + (["benchmark", "current portfolio"] if options else [])
    if options:
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("Active risk (tracking error, % per year)",
                                                      "Expected active return (% per year)")
        assert ax.get_title() == "Tracking frontier: active return against active risk"
        # Active return μᵀ(w − b): the benchmark sits at the origin.
        returns = _arrays(problem(**options))[3]
        shown = 100 * (frontier.expected_return - returns @ options["benchmark_weights"])
        assert np.allclose(ax.collections[0].get_offsets(), [[0.0, 0.0]], atol=1e-12)
    else:
        assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) == (
            "Volatility (% per year)", "Expected return (% per year)", "Efficient frontier")
        shown = 100 * frontier.expected_return
    line = ax.get_lines()[0]
    assert np.allclose(line.get_xdata(), 100 * frontier.risk, rtol=1e-14)
    assert np.allclose(line.get_ydata(), shown, rtol=1e-12, atol=1e-14)
    ax.figure.savefig(tmp_path / "frontier.png")
    weights_ax = frontier.plot_weights(top=5)
    assert len(weights_ax.collections) == 6  # five holdings and "other"
    assert weights_ax.get_xlabel().endswith("% per period)") and weights_ax.get_ylabel() == "Weight (% of the book)"
    weights_ax.figure.savefig(tmp_path / "weights.png")
    for name in ("frontier.png", "weights.png"):
        data = (tmp_path / name).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 1000
    plt.close("all")


def test_points_that_did_not_solve_are_left_out_of_the_plots():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import dataclasses

    import matplotlib.pyplot as plt

    solved = morva.efficient_frontier(problem(), LAMBDAS)
    statuses = list(solved.statuses)
    statuses[2], statuses[7] = "primal infeasible", "max iterations"
    frontier = dataclasses.replace(solved, statuses=tuple(statuses))
    kept = np.ones(len(LAMBDAS), dtype=bool)
    kept[[2, 7]] = False
    for ax in (frontier.plot(title="Book A"), frontier.plot_weights(top=3)):
        assert ax.get_title().endswith("\n2 of 12 points left out (max iterations, primal infeasible)")
    assert frontier.plot(title="Book A").get_title().startswith("Book A\n")
    assert np.allclose(frontier.plot().get_lines()[0].get_xdata(), 100 * solved.risk[kept])
    plt.close("all")
