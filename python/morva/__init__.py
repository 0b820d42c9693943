"""Factor-model mean-variance portfolio optimiser.

The solver lives in the native extension module ``_morva``; this package
re-exports its public names and adds what sits on top of it: the portfolio
goals (``min_variance``, ``max_sharpe``, ``target_risk``, ``target_return``)
and statistics (``analytics``); ``morva.solve``,
which solves under the package's own solver profile (or, on request, under
the reference rules of ``PortfolioProblem.solve``); pickling of
problems and results (registered on import), chunked batches with progress,
efficient frontiers, labelled (pandas) problems in ``morva.labels``, Dask
batches in ``morva.distributed``, rolling re-solves whose dates may change
anything (``morva.Rolling``), backtests (``morva.backtest``) and the
``morva`` command. pandas, Dask and matplotlib are optional and imported only
when used.
"""

# The package's compiled engine module may sit in another `morva/` folder on
# the path (a build tree beside the sources); installed, it sits here.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from _morva import (
    InfeasibilityCertificate,
    PortfolioProblem,
    PortfolioSequence,
    SolveResult,
    solve_batch,
    solve_mean_variance_factor,
)

from . import models
from .analytics import PortfolioAnalytics, analytics
from .goals import max_sharpe, min_variance, target_return, target_risk
from ._records import CertificateRecord, SolveResultRecord, register
from .batching import solve_batch_chunked
from .backtesting import Backtest, backtest, backtest_many
from .frontier import Frontier, efficient_frontier
from .rolling import Rolling
from .solving import problem_data, solve

register()

# The star-import surface is the extension's own; the additions above are
# reached as attributes (morva.efficient_frontier, morva.SolveResultRecord, ...).
__all__ = [
    "PortfolioProblem",
    "PortfolioSequence",
    "SolveResult",
    "InfeasibilityCertificate",
    "solve_mean_variance_factor",
    "solve_batch",
]
