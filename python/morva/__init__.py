"""Factor-model mean-variance portfolio optimiser.

The solver lives in the native extension module ``_morva``; this package
re-exports its public names and adds the ``python -m morva demo`` command.
"""

from _morva import (
    InfeasibilityCertificate,
    PortfolioProblem,
    PortfolioSequence,
    SolveResult,
    solve_batch,
    solve_mean_variance_factor,
)

__all__ = [
    "PortfolioProblem",
    "PortfolioSequence",
    "SolveResult",
    "InfeasibilityCertificate",
    "solve_mean_variance_factor",
    "solve_batch",
]
