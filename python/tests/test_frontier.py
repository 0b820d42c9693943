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
    options = {"lower_bounds": np.zeros(40), "upper_bounds": np.full(40, 0.25), **options}
    return _morva.PortfolioProblem(model.factors, model.omega, model.specific_variance, model.expected_returns,
                                   **options)


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
        direct = morva.PortfolioProblem(
            *_arrays(base), risk_aversion=risk_aversion, lower_bounds=np.zeros(40), upper_bounds=np.full(40, 0.25),
            **options,
        ).sequence().solve_next()
        assert direct.weights.tobytes() == frontier.weights[row].tobytes()



@pytest.mark.parametrize("options", [{}, TRACKING], ids=["total risk", "active risk"])
def test_points_spaced_evenly_in_risk_run_from_min_variance_to_the_top_and_are_efficient(options):
    base = problem(**options)
    frontier = morva.efficient_frontier(morva._problem.PortfolioProblem._wrap(base), points=7, risk_free_rate=0.01)
    returns = _arrays(base)[3]
    top = np.zeros(40)
    top[np.argsort(returns)[-4:]] = 0.25  # the four best returns at their cap: the only book of the top return
    assert frontier.weights[0].tobytes() == morva.min_variance(base).weights.tobytes()
    assert frontier.min_variance.weights.tobytes() == frontier.weights[0].tobytes()
    assert np.allclose(frontier.weights[-1], top, atol=1e-8)
    assert np.allclose(np.diff(frontier.risk), (frontier.risk[-1] - frontier.risk[0]) / 6, rtol=1e-8, atol=0)
    for row in (1, 3, 5):
        efficient = morva.target_risk(base, frontier.risk[row]).weights @ returns
        assert frontier.expected_return[row] == pytest.approx(efficient, rel=1e-8)
    # Each point is P_λ solved at the λ recorded for it; the least-risk end has none.
    assert np.isnan(frontier.risk_aversions[0]) and np.all(np.diff(frontier.risk_aversions[1:]) < 0)
    tight = {"absolute_tolerance": 1e-10, "relative_tolerance": 1e-10, "max_iterations": 100_000}
    again = morva.efficient_frontier(base, frontier.risk_aversions[1:], **tight)
    assert np.allclose(again.weights, frontier.weights[1:], atol=1e-7)
    best = morva.max_sharpe(base, risk_free_rate=0.01).weights
    assert frontier.max_sharpe.weights.tobytes() == best.tobytes()
    assert frontier.max_sharpe[:2] == (frontier.model.risk(best)[0], returns @ best)


def test_a_single_feasible_portfolio_is_one_point_with_a_warning():
    pinned = np.full(40, 1 / 40)
    with pytest.warns(UserWarning, match="the frontier is that one point, not 5$"):
        frontier = morva.efficient_frontier(problem(lower_bounds=pinned, upper_bounds=pinned), points=5)
    assert np.allclose(frontier.weights, [pinned], atol=1e-12) and np.isnan(frontier.risk_aversions).all()


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"risk_aversions": []}, ValueError, "risk_aversions must be a non-empty one-dimensional sequence of numbers"),
        ({"risk_aversions": [[1.0, 2.0]]}, ValueError,
         "risk_aversions must be a non-empty one-dimensional sequence of numbers"),
        ({"risk_aversions": [1.0, 0.0]}, ValueError, "risk_aversions must be finite and positive"),
        ({"risk_aversions": [1.0, np.nan]}, ValueError, "risk_aversions must be finite and positive"),
        ({"risk_aversions": [np.inf]}, ValueError, "risk_aversions must be finite and positive"),
        ({"risk_aversions": [1.0], "points": 5}, ValueError,
         "give efficient_frontier either risk_aversions or points, not both"),
        ({"points": 1}, ValueError, "points must be at least 2 (the least-risk and the top portfolio), got 1"),
        ({"points": 2.5}, TypeError, "points must be a whole number of portfolios, got float"),
        ({"points": True}, TypeError, "points must be a whole number of portfolios, got a bool"),
        ({"risk_free_rate": np.nan}, ValueError, "risk_free_rate must be finite, got nan"),
    ],
)
def test_bad_arguments_are_refused(arguments, error, message):
    with pytest.raises(error) as caught:
        morva.efficient_frontier(problem(), **arguments)
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
    spaced = morva.efficient_frontier(labelled, points=3)
    assert list(spaced.weights_frame().columns) == assets and np.isnan(spaced.to_frame().index[0])
    frame = frontier.to_frame(weights=True)
    assert list(frame.index) == list(LAMBDAS[:4]) and frame.index.name == "risk_aversion"
    assert list(frame.columns[:3]) == ["risk", "expected_return", "status"] and list(frame.columns[3:]) == assets
    assert np.array_equal(frame[assets].to_numpy(), morva.efficient_frontier(base, LAMBDAS[:4]).weights)


def dots(ax) -> np.ndarray:
    """The frontier line's marked (solved) points, in the order drawn."""
    line = ax.get_lines()[0]
    return np.column_stack([line.get_xdata(), line.get_ydata()])[line.get_markevery()]


@pytest.mark.parametrize("options", [{}, TRACKING], ids=["plain", "benchmark and current"])
def test_plots_save_as_png(tmp_path, options):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    base = problem(**options)
    frontier = morva.efficient_frontier(base, LAMBDAS)
    ax = frontier.plot(period="year")
    returns = _arrays(base)[3]
    offset = returns @ options["benchmark_weights"] if options else 0.0  # active return μᵀ(w − b)
    least, best = morva.min_variance(base).weights, morva.max_sharpe(base).weights
    ratio = f"{(returns @ best - offset) / frontier.model.risk(best)[0]:.2f}"
    names = (["least tracking error", f"maximum information ratio ({ratio})", "benchmark", "current portfolio"]
             if options else ["minimum variance", f"maximum Sharpe ratio ({ratio})"])
    assert ax.get_legend_handles_labels()[1] == ["efficient frontier", *names]
    marks = {collection.get_label(): collection.get_offsets()[0] for collection in ax.collections}
    for name, weights in zip(names, (least, best, *([options["benchmark_weights"]] * 2 if options else []))):
        shown = 100 * np.array([frontier.model.risk(weights)[0], returns @ weights - offset])
        assert np.allclose(marks[name], shown, rtol=1e-12, atol=1e-12), name
    if options:
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("Active risk (tracking error, % per year)",
                                                      "Expected active return (% per year)")
        assert ax.get_title() == "Tracking frontier: active return against active risk"
        assert np.allclose(marks["benchmark"], [0.0, 0.0], atol=1e-12)
    else:
        assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) == (
            "Volatility (% per year)", "Expected return (% per year)", "Efficient frontier")
    points = 100 * np.column_stack([frontier.risk, frontier.expected_return - offset])
    assert np.allclose(dots(ax), points[np.argsort(frontier.risk)], rtol=1e-12, atol=1e-14)
    ax.figure.savefig(tmp_path / "frontier.png")
    weights_ax = frontier.plot_weights(top=5)
    assert len(weights_ax.collections) == 6  # five holdings and "other"
    assert weights_ax.get_xlabel().endswith("% per period)") and weights_ax.get_ylabel() == "Weight (% of the book)"
    weights_ax.figure.savefig(tmp_path / "weights.png")
    for name in ("frontier.png", "weights.png"):
        data = (tmp_path / name).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 1000
    plt.close("all")


@pytest.mark.parametrize(("options", "line"), [
    ({}, "no maximum-Sharpe mark: no portfolio returns more than the risk-free rate 50%"),
    (TRACKING, "no maximum-information-ratio mark: no portfolio has an active return above 50%"),
])
def test_a_rate_no_portfolio_beats_leaves_the_mark_out_and_says_why(options, line):
    pytest.importorskip("matplotlib").use("Agg")
    frontier = morva.efficient_frontier(problem(**options), points=4, risk_free_rate=0.5)
    ax = frontier.plot()
    assert frontier.max_sharpe is None and "above" in frontier.mark_notes["max_sharpe"]
    assert ax.get_title().endswith("\n" + line) and not any("maximum" in name for name in ax.get_legend_handles_labels()[1])
    __import__("matplotlib.pyplot").pyplot.close("all")


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
    assert np.allclose(dots(frontier.plot())[:, 0], np.sort(100 * solved.risk[kept]))
    plt.close("all")
