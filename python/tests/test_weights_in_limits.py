"""Weights of the package's solves inside their limits: 0 ≤ w ≤ 5% exactly, Σw = 1 to 1e-12."""
import numpy as np
import pandas as pd
import pytest

import _morva
import morva
from morva import solving

N, CAP, RNG = 60, 0.05, np.random.default_rng(3)
MU, RETURNS = RNG.normal(0.05, 0.05, (3, N)), pd.DataFrame(RNG.normal(0.005, 0.04, (4, N)),
                                                           index=pd.date_range("2024-01-31", periods=4, freq="ME"))
MODEL = RNG.normal(0.0, 1.0, (N, 4)), np.diag(RNG.uniform(0.01, 0.05, 4)), RNG.uniform(0.01, 0.09, N), MU[0]
ENTRIES = {  # each gives its results for the book (long-only, 5% cap, fully invested) and the settings
    "solve": lambda book, kw: [solving.solve(book, **kw)],
    "max_sharpe": lambda book, kw: [morva.max_sharpe(book, **kw)],
    "rolling": lambda book, kw: [morva.Rolling(book, **kw).solve_next(expected_returns=mu) for mu in MU],
    "batch": lambda book, kw: solving.solve_batch([book], [[{"expected_returns": mu} for mu in MU]], **kw)[0],
    "backtest": lambda book, kw: morva.backtest(RETURNS, lambda date, history: book, **kw).results,
}


@pytest.mark.parametrize("polish", [True, False], ids=["polished", "unpolished"])
@pytest.mark.parametrize("entry", ENTRIES)
def test_weights_lie_exactly_inside_their_limits(entry, polish):
    book = _morva.PortfolioProblem(*MODEL, risk_aversion=3.0, lower_bounds=np.zeros(N),
                                   upper_bounds=np.full(N, CAP), budget=1.0)
    assert (solving.solve(book, profile="reference", polish=polish).weights < 0.0).any()  # the engine's own
    for result in ENTRIES[entry](book, {"polish": polish}):
        w = result.weights
        assert (w >= 0.0).all() and (w <= CAP).all() and abs(w.sum() - 1.0) <= 1e-12, (w.min(), w.max(), w.sum())
        own = max(abs(w.sum() - 1.0), -w.min(), w.max() - CAP)  # the returned point's primal residual
        assert result.primal_residual == pytest.approx(own, abs=1e-14)
