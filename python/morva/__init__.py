"""Factor-model mean-variance portfolio optimiser.

The solver lives in the native extension module ``_morva``, the reference
engine. This package solves under its own solver profile ("adaptive") in
every name that solves: ``morva.solve``, ``morva.PortfolioProblem`` (whose
``solve`` and ``sequence`` differ from ``_morva``'s only in that),
``solve_batch`` and ``solve_mean_variance_factor``, each of which takes
``profile="reference"`` for ``_morva``'s answer bit for bit. On top of them
sit the portfolio goals (``min_variance``, ``max_sharpe``, ``target_risk``,
``target_return``) and statistics (``analytics``); pickling of
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

from _morva import InfeasibilityCertificate, PortfolioSequence, SolveResult

from . import models
from .analytics import PortfolioAnalytics, analytics
from .goals import max_sharpe, min_variance, target_return, target_risk
from ._problem import PortfolioProblem
from ._records import CertificateRecord, SolveResultRecord, register
from .batching import solve_batch_chunked
from .backtesting import Backtest, backtest, backtest_many
from .frontier import Frontier, efficient_frontier
from .rolling import Rolling
from .solving import problem_data, solve, solve_batch, solve_mean_variance_factor

register()

# The star-import surface has the extension's names (the three that solve are the
# package's, under its profile); the additions above are reached as attributes
# (morva.efficient_frontier, morva.SolveResultRecord, ...).
__all__ = [
    "PortfolioProblem",
    "PortfolioSequence",
    "SolveResult",
    "InfeasibilityCertificate",
    "solve_mean_variance_factor",
    "solve_batch",
]
