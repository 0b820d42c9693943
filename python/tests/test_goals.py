"""The goals and the analytics against independent dense solves (Clarabel).

Σ = diag(d) + F Ω Fᵀ is formed densely; the feasible set comes from the raw
inputs through reference.constraint_rows. The references:

    least risk      min ½(w − b)ᵀΣ(w − b)                 [+ μᵀw = r]
    target risk     max μᵀw  s.t. ‖L(w − b)‖ ≤ s          (Σ = LLᵀ, a second-order cone)
    max Sharpe      min ½(y − κb)ᵀΣ(y − κb)
                    s.t. μᵀy − cκ = 1, A y = κ·rhs, κl ≤ y ≤ κu, κ ≥ 0
                    then w = y/κ (the homogenised problem)
    return range    min / max μᵀw (an LP)
"""

from __future__ import annotations

import re
import warnings

import clarabel
import numpy as np
import pytest
from scipy import sparse

import morva
from reference import Portfolio, constraint_rows

N, K = 20, 3


def _portfolio(case: str) -> Portfolio:
    rng = np.random.default_rng(7)
    arrays = (0.3 * rng.normal(size=(N, K)), np.diag([0.04, 0.02, 0.01]), rng.uniform(0.01, 0.05, N),
              rng.normal(0.06, 0.04, N))
    options = {
        # a cap of 0.15 binds on the best assets
        "bounds": {"lower_bounds": np.zeros(N), "upper_bounds": np.full(N, 0.15)},
        # sector weights fixed by equality rows, a short book allowed
        "industry": {"lower_bounds": np.full(N, -0.1), "upper_bounds": np.full(N, 0.3),
                     "industry_ids": np.arange(N) % 4, "industry_targets": np.array([0.4, 0.3, 0.2, 0.1])},
        # active risk against an equal-weight benchmark, with an inequality row
        "benchmark": {"lower_bounds": np.zeros(N), "upper_bounds": np.full(N, 0.2),
                      "benchmark_weights": np.full(N, 1.0 / N),
                      "inequality_matrix": np.eye(N)[:5].sum(axis=0, keepdims=True), "inequality_rhs": np.array([0.2])},
        # a benchmark inside the feasible set: zero least risk, and every small
        # enough bet along the best direction has the same information ratio
        "inside": {"lower_bounds": np.zeros(N), "upper_bounds": np.full(N, 0.2),
                   "benchmark_weights": np.full(N, 1.0 / N)},
    }[case]
    return Portfolio(*arrays, options=options)


CASES = ("bounds", "industry", "benchmark", "inside")


def _problem(portfolio: Portfolio) -> morva.PortfolioProblem:
    return morva.PortfolioProblem(portfolio.factors, portfolio.omega, portfolio.specific_variance,
                                  portfolio.expected_returns, **portfolio.options)


def _risk(portfolio: Portfolio, weights: np.ndarray, active: bool = True) -> float:
    benchmark = portfolio.options.get("benchmark_weights")
    x = weights - benchmark if active and benchmark is not None else weights
    return float(np.sqrt(x @ portfolio.covariance() @ x))


def _clarabel(P, q, zero, nonneg, soc=None) -> np.ndarray:
    """min ½xᵀPx + qᵀx subject to A₀x = b₀, A₊x ≤ b₊ and b_s − A_s x in a second-order cone."""
    blocks = [zero, nonneg]
    cones = [clarabel.ZeroConeT(zero[0].shape[0]), clarabel.NonnegativeConeT(nonneg[0].shape[0])]
    if soc is not None:
        blocks.append(soc)
        cones.append(clarabel.SecondOrderConeT(soc[0].shape[0]))
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = 1e-12
    settings.max_iter = 500
    solver = clarabel.DefaultSolver(sparse.triu(sparse.csc_matrix(P), format="csc"), q,
                                    sparse.csc_matrix(np.vstack([a for a, _ in blocks])),
                                    np.concatenate([b for _, b in blocks]), cones, settings)
    solution = solver.solve()
    assert str(solution.status) in ("Solved", "AlmostSolved"), solution.status
    return np.array(solution.x)


def _feasible_set(portfolio: Portfolio, kappa: bool = False):
    """The rows of the feasible set, over w or, homogenised, over (y, κ)."""
    (a_eq, b_eq), (a_in, b_in), (lower, upper) = constraint_rows(portfolio)
    eye = np.eye(N)
    nonneg = (np.vstack([a_in, eye, -eye]), np.concatenate([b_in, upper, -lower]))
    if not kappa:
        return (a_eq, b_eq), nonneg
    zero = (np.hstack([a_eq, -b_eq[:, None]]), np.zeros(len(b_eq)))
    rows = np.vstack([np.hstack([nonneg[0], -nonneg[1][:, None]]), -np.eye(N + 1)[-1:]])
    return zero, (rows, np.zeros(rows.shape[0]))


def _benchmark(portfolio: Portfolio) -> np.ndarray:
    return portfolio.options.get("benchmark_weights", np.zeros(N))


def _least_risk(portfolio: Portfolio, expected_return: float | None = None) -> np.ndarray:
    sigma = portfolio.covariance()
    (a_eq, b_eq), nonneg = _feasible_set(portfolio)
    if expected_return is not None:
        a_eq, b_eq = np.vstack([a_eq, portfolio.expected_returns]), np.append(b_eq, expected_return)
    return _clarabel(sigma, -sigma @ _benchmark(portfolio), (a_eq, b_eq), nonneg)


def _return_range(portfolio: Portfolio) -> tuple[float, float]:
    zero, nonneg = _feasible_set(portfolio)
    mu = portfolio.expected_returns
    return tuple(float(mu @ _clarabel(np.zeros((N, N)), sign * mu, zero, nonneg)) for sign in (1.0, -1.0))


def _risk_range(portfolio: Portfolio) -> tuple[float, float]:
    """Least risk, and the risk of the least-risk portfolio of highest return."""
    top = _return_range(portfolio)[1]
    return _risk(portfolio, _least_risk(portfolio)), _risk(portfolio, _least_risk(portfolio, top))


def _most_return(portfolio: Portfolio, risk: float) -> np.ndarray:
    cholesky = np.linalg.cholesky(portfolio.covariance()).T
    soc = (np.vstack([np.zeros(N), -cholesky]), np.concatenate([[risk], -cholesky @ _benchmark(portfolio)]))
    return _clarabel(np.zeros((N, N)), -portfolio.expected_returns, *_feasible_set(portfolio), soc)


def _sharpe(portfolio: Portfolio, weights: np.ndarray, rate: float) -> float:
    excess = portfolio.expected_returns @ (weights - _benchmark(portfolio)) - rate
    return float(excess / _risk(portfolio, weights))


def _max_sharpe(portfolio: Portfolio, rate: float) -> np.ndarray:
    b, sigma = _benchmark(portfolio), portfolio.covariance()
    shift = np.hstack([np.eye(N), -b[:, None]])  # (y, κ) ↦ y − κb
    zero, nonneg = _feasible_set(portfolio, kappa=True)
    excess = np.append(portfolio.expected_returns, -(portfolio.expected_returns @ b + rate))
    zero = (np.vstack([zero[0], excess]), np.append(zero[1], 1.0))
    x = _clarabel(shift.T @ sigma @ shift, np.zeros(N + 1), zero, nonneg)
    return x[:N] / x[N]


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("rate", [0.0, 0.03])
def test_max_sharpe_is_within_1e_6_of_the_homogenised_optimum(case, rate):
    portfolio = _portfolio(case)
    best = _sharpe(portfolio, _max_sharpe(portfolio, rate), rate)
    found = _sharpe(portfolio, morva.max_sharpe(_problem(portfolio), risk_free_rate=rate).weights, rate)
    assert abs(found - best) <= 1e-6 * best, (found, best)


def test_a_flat_information_ratio_gives_its_largest_bet():
    """Of the portfolios with the best ratio S*, max_sharpe returns the one of most active return:
    max μᵀ(w − b) subject to μᵀ(w − b) ≥ S*·‖L(w − b)‖ (slightly relaxed) and the feasible set."""
    portfolio = _portfolio("inside")
    b, mu = _benchmark(portfolio), portfolio.expected_returns
    best = _sharpe(portfolio, _max_sharpe(portfolio, 0.0), 0.0) * (1 - 1e-10)
    cholesky = np.linalg.cholesky(portfolio.covariance()).T
    soc = (np.vstack([-mu / best, -cholesky]), np.concatenate([[-mu @ b / best], -cholesky @ b]))
    largest = _clarabel(np.zeros((N, N)), -mu, *_feasible_set(portfolio), soc)
    weights = morva.max_sharpe(_problem(portfolio)).weights
    assert mu @ (weights - b) == pytest.approx(mu @ (largest - b), rel=1e-4)
    assert _risk(portfolio, weights) > 0.01


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("fraction", [0.3, 0.95])
def test_target_risk_hits_its_target_with_the_most_return(case, fraction):
    portfolio = _portfolio(case)
    least, most = _risk_range(portfolio)
    target = least + fraction * (most - least)
    weights = morva.target_risk(_problem(portfolio), target).weights
    assert abs(_risk(portfolio, weights) - target) <= 1e-6 * target
    mu = portfolio.expected_returns
    assert mu @ weights == pytest.approx(mu @ _most_return(portfolio, target), rel=1e-7)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("fraction", [None, 0.0, 0.5, 1.0])
def test_least_risk_goals_match_the_reference(case, fraction):
    """min_variance (fraction None) and target_return at a point of the return range, its ends included."""
    portfolio = _portfolio(case)
    problem = _problem(portfolio)
    if fraction is None:
        target, result = None, morva.min_variance(problem)
    else:
        low, high = _return_range(portfolio)
        target = low + fraction * (high - low)
        result = morva.target_return(problem, target)
        assert portfolio.expected_returns @ result.weights == pytest.approx(target, abs=1e-8)
    reference = _least_risk(portfolio, target)
    assert _risk(portfolio, result.weights) == pytest.approx(_risk(portfolio, reference), rel=1e-7)
    np.testing.assert_allclose(result.weights, reference, atol=1e-5)


@pytest.mark.parametrize(("goal", "side"), [("target_risk", -1), ("target_risk", 1),
                                            ("target_return", -1), ("target_return", 1)])
def test_targets_outside_the_range_name_the_range(goal, side):
    portfolio = _portfolio("benchmark")
    low, high = _risk_range(portfolio) if goal == "target_risk" else _return_range(portfolio)
    target = high + 0.01 if side > 0 else low - 0.01 if goal == "target_return" else low / 2
    with pytest.raises(ValueError, match="outside the achievable range") as error:
        getattr(morva, goal)(_problem(portfolio), target)
    np.testing.assert_allclose(_named_range(error), [low, high], rtol=1e-5)


def _named_range(error) -> list[float]:
    return [float(x) for x in re.search(r"\[(\S+), (\S+)\]", str(error.value)).groups()]


def test_tied_returns_end_the_range_at_their_least_risk():
    """With every return equal, the whole feasible set is the top of the range: the
    risk range closes on the least risk, and the only return is the least-risk book's."""
    portfolio = _portfolio("bounds")
    portfolio.expected_returns[:] = 0.05
    least = _least_risk(portfolio)
    with pytest.raises(ValueError, match=f"0.5 is not achievable: every efficient portfolio has risk "
                                         f"{_risk(portfolio, least):.6g}, as the least-risk portfolio already"):
        morva.target_risk(_problem(portfolio), 0.5)
    np.testing.assert_allclose(morva.target_return(_problem(portfolio), 0.05).weights, least, atol=1e-6)


@pytest.mark.parametrize("rate", [None, 0.5])  # None: the top return itself
def test_max_sharpe_refuses_a_rate_no_portfolio_beats(rate):
    portfolio = _portfolio("bounds")
    top = _return_range(portfolio)[1]
    rate = top if rate is None else rate
    with pytest.raises(ValueError, match=f"above the risk-free rate {rate:.6g}: the highest is {top:.6g}"):
        morva.max_sharpe(_problem(portfolio), risk_free_rate=rate)


def _pinned(portfolio: Portfolio) -> None:
    portfolio.options.update(lower_bounds=_benchmark(portfolio), upper_bounds=_benchmark(portfolio))


NO_BET = "no feasible portfolio has an active return above 0: the highest is 0, as no active bet"


@pytest.mark.parametrize(("case", "change", "goal", "argument", "text"), [
    ("bounds", lambda p: p.options.update(upper_bounds=np.ones(N), benchmark_weights=np.eye(N)[
        np.argmax(p.expected_returns)]), "max_sharpe", {}, NO_BET),  # the benchmark holds the top asset
    ("inside", lambda p: p.expected_returns.fill(0.05), "max_sharpe", {}, NO_BET),
    ("inside", _pinned, "target_risk", {"risk": 0.05}, "0.05 is not achievable: only the benchmark is feasible, so "
     "every feasible portfolio has active risk 0; widen"),
    ("inside", _pinned, "target_return", {"expected_return": 0.5}, "0.5 is not achievable: only the benchmark is "
     "feasible, and it returns 0.0"),
    ("bounds", None, "max_sharpe", {"risk_free_rate": np.nan}, "^risk_free_rate must be finite, not nan$"),
    ("bounds", None, "target_return", {"expected_return": np.inf}, "^expected_return must be finite, not inf$"),
])
def test_goals_refuse_what_no_portfolio_offers_in_words(case, change, goal, argument, text):
    portfolio = _portfolio(case)
    if change is not None:
        change(portfolio)
    with pytest.raises(ValueError, match=text):
        getattr(morva, goal)(_problem(portfolio), **argument)


@pytest.mark.parametrize(("goal", "argument"), [("min_variance", {}), ("max_sharpe", {}), ("target_risk", {"risk": 0.1}),
                                                ("target_return", {"expected_return": 0.08})])
def test_goals_return_a_failed_inner_solve_when_asked(goal, argument):
    portfolio = _portfolio("industry")
    problem = _problem(portfolio)  # morva.PortfolioProblem: the engine's problem under the package's profile
    failed = getattr(morva, goal)(problem, max_iterations=3, raise_on_failure=False, **argument)
    assert failed.status == "maximum iterations reached" and failed.convergence_hints
    with pytest.raises(RuntimeError, match=f"^{goal}: the solve ended 'maximum iterations reached': "):
        getattr(morva, goal)(problem, max_iterations=3, **argument)


def test_goals_warn_that_they_leave_out_turnover_terms():
    portfolio = _portfolio("bounds")
    target = np.mean(_risk_range(portfolio))
    plain = morva.target_risk(_problem(portfolio), target).weights
    portfolio.options.update(previous_weights=np.full(N, 1.0 / N), turnover_penalty=0.5,
                             l1_turnover_costs=np.full(N, 1e-3))
    with pytest.warns(UserWarning, match="target_risk ignores the problem's turnover terms"):
        np.testing.assert_allclose(morva.target_risk(_problem(portfolio), target).weights, plain, atol=1e-9)


def _labelled(portfolio: Portfolio):
    pd = pytest.importorskip("pandas")
    from morva.labels import LabelledProblem

    assets = [f"asset {i}" for i in range(N)]
    factors = ["market", "size", "value"]
    o = portfolio.options
    return LabelledProblem(
        pd.DataFrame(portfolio.factors, index=assets, columns=factors),
        pd.DataFrame(portfolio.omega, index=factors, columns=factors),
        pd.Series(portfolio.specific_variance, index=assets), pd.Series(portfolio.expected_returns, index=assets),
        lower_bounds=pd.Series(o["lower_bounds"], index=assets),
        upper_bounds=pd.Series(o["upper_bounds"], index=assets),
        industries=pd.Series(np.array(["tech", "energy", "banks", "health"])[o["industry_ids"]], index=assets),
        industry_targets=pd.Series(o["industry_targets"], index=["tech", "energy", "banks", "health"]))


@pytest.mark.parametrize("goal", ["min_variance", "max_sharpe", "target_risk", "target_return"])
def test_labelled_problems_give_labelled_results(goal):
    portfolio = _portfolio("industry")
    labelled = _labelled(portfolio)
    argument = {"target_risk": (0.05,), "target_return": (0.08,)}.get(goal, ())
    result = getattr(morva, goal)(labelled, *argument)
    plain = getattr(morva, goal)(_problem(portfolio), *argument)
    assert list(result.weights.index) == list(labelled.assets)
    np.testing.assert_allclose(result.weights.to_numpy(), plain.weights, atol=1e-8)
    rows = ["budget", "industry tech", "industry energy", "industry banks", "industry health"]
    assert list(result.duals["equalities"].index) == rows + (["expected return"] if goal == "target_return" else [])


def _dense_statistics(portfolio: Portfolio, w: np.ndarray) -> dict:
    o = portfolio.options
    factor_part = portfolio.factors @ portfolio.omega @ portfolio.factors.T
    sigma = portfolio.covariance()
    previous, benchmark = o.get("previous_weights"), o.get("benchmark_weights")
    return {
        "risk": np.sqrt(w @ sigma @ w),
        "active_risk": None if benchmark is None else np.sqrt((w - benchmark) @ sigma @ (w - benchmark)),
        "expected_return": portfolio.expected_returns @ w,
        "factor_risk": np.sqrt(w @ factor_part @ w),
        "specific_risk": np.sqrt(w @ np.diag(portfolio.specific_variance) @ w),
        "factor_exposures": portfolio.factors.T @ w,
        "risk_contributions": w * (sigma @ w) / np.sqrt(w @ sigma @ w),
        "holdings": w,
        "turnover": None if previous is None else np.abs(w - previous).sum(),
    }


@pytest.mark.parametrize("case", CASES)
def test_analytics_agrees_with_a_dense_covariance(case):
    portfolio = _portfolio(case)
    if case == "bounds":
        portfolio.options["previous_weights"] = np.full(N, 1.0 / N)
    weights = np.random.default_rng(3).dirichlet(np.ones(N)) * (np.arange(N) % 3 > 0)
    stats = morva.analytics(_problem(portfolio), weights)
    for name, expected in _dense_statistics(portfolio, weights).items():
        if expected is None:
            assert getattr(stats, name) is None, name
        else:
            np.testing.assert_allclose(getattr(stats, name), expected, rtol=1e-12, atol=1e-15, err_msg=name)
    assert stats.risk_contributions.sum() == pytest.approx(stats.risk, rel=1e-12)
    assert stats.held == np.count_nonzero(weights)
    assert stats.risk**2 == pytest.approx(stats.factor_risk**2 + stats.specific_risk**2, rel=1e-12)
    assert stats.sharpe_ratio(0.01) == pytest.approx((portfolio.expected_returns @ weights - 0.01) / stats.risk)
    benchmark = portfolio.options.get("benchmark_weights")
    if benchmark is None:
        assert stats.active_return is None and stats.information_ratio() is None
    else:
        active = portfolio.expected_returns @ (weights - benchmark)
        assert stats.information_ratio() == pytest.approx(active / _risk(portfolio, weights), rel=1e-12)


def test_analytics_of_a_labelled_problem_is_labelled_and_takes_results():
    pd = pytest.importorskip("pandas")
    portfolio = _portfolio("industry")
    labelled = _labelled(portfolio)
    result = morva.max_sharpe(labelled)
    stats = morva.analytics(labelled, result)
    plain = morva.analytics(_problem(portfolio), result.weights.to_numpy())
    assert list(stats.risk_contributions.index) == list(labelled.assets)
    assert list(stats.factor_exposures.index) == ["market", "size", "value"]
    np.testing.assert_allclose(stats.risk_contributions.to_numpy(), plain.risk_contributions, rtol=1e-12)
    shuffled = morva.analytics(labelled, result.weights.sample(frac=1.0, random_state=0))
    assert shuffled.risk == stats.risk
    with pytest.raises(ValueError, match="weights has no entry for asset 'asset 3'"):
        morva.analytics(labelled, result.weights.drop("asset 3"))
    with pytest.raises(ValueError, match="weights names asset 'cash', which is not in the exposures' index"):
        morva.analytics(labelled, pd.concat([result.weights, pd.Series({"cash": 0.0})]))
    assert repr(stats).startswith(f"PortfolioAnalytics(risk={stats.risk:.6g}, active_risk=None")


@pytest.mark.parametrize("end", [0, 1])
def test_a_target_return_at_an_end_of_the_range_costs_no_long_crawl(end, monkeypatch):
    """At an end the row leaves a face without interior; its solve must not run to the iteration cap."""
    portfolio = _portfolio("bounds")
    target = _return_range(portfolio)[end]
    iterations = []
    solve = morva.solving.solve

    def counted(*args, **kwargs):
        result = solve(*args, **kwargs)
        iterations.append(result.iterations)
        return result

    monkeypatch.setattr(morva.solving, "solve", counted)
    result = morva.target_return(_problem(portfolio), target)
    assert portfolio.expected_returns @ result.weights == pytest.approx(target, abs=1e-8)
    assert max(iterations) < 10_000, iterations
