"""Type stubs of the native extension module ``_morva``."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_FloatArray = npt.NDArray[np.float64]
_Float = SupportsFloat | SupportsIndex
_Flag = bool | np.bool_

@final
class PortfolioProblem:
    """A reusable factor mean-variance portfolio specification."""

    def __new__(
        cls,
        factors: _FloatArray,
        omega: _FloatArray,
        specific_variance: _FloatArray,
        expected_returns: _FloatArray,
        *,
        risk_aversion: _Float = 1.0,
        budget: _Float = 1.0,
        lower_bounds: _FloatArray | None = None,
        upper_bounds: _FloatArray | None = None,
        equality_matrix: _FloatArray | None = None,
        equality_rhs: _FloatArray | None = None,
        inequality_matrix: _FloatArray | None = None,
        inequality_rhs: _FloatArray | None = None,
        previous_weights: _FloatArray | None = None,
        turnover_penalty: _Float = 0.0,
        l1_turnover_costs: _Float | _FloatArray | None = None,
        benchmark_weights: _FloatArray | None = None,
        industry_ids: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        industry_targets: _FloatArray | None = None,
        style_matrix: _FloatArray | None = None,
        style_lower: _FloatArray | None = None,
        style_upper: _FloatArray | None = None,
        max_weight: _Float | None = None,
        max_short: _Float | None = None,
    ) -> PortfolioProblem: ...
    @property
    def dimension(self) -> int: ...
    def solve(
        self,
        *,
        warm_start: _FloatArray | None = None,
        max_iterations: SupportsIndex = 10000,
        absolute_tolerance: _Float = 1.0e-6,
        relative_tolerance: _Float = 1.0e-5,
        rho: _Float = 1.0,
        adaptive_rho: _Flag = True,
        over_relaxation: _Float = 1.6,
        scaling_iterations: SupportsIndex = 10,
        infeasibility_tolerance: _Float = 1.0e-5,
        polish: _Flag = True,
        raise_on_failure: _Flag = True,
    ) -> SolveResult: ...
    def sequence(
        self,
        *,
        max_iterations: SupportsIndex = 10000,
        absolute_tolerance: _Float = 1.0e-6,
        relative_tolerance: _Float = 1.0e-5,
        rho: _Float = 1.0,
        adaptive_rho: _Flag = True,
        over_relaxation: _Float = 1.6,
        scaling_iterations: SupportsIndex = 10,
        infeasibility_tolerance: _Float = 1.0e-5,
        polish: _Flag = True,
    ) -> PortfolioSequence: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(text: str) -> PortfolioProblem: ...

@final
class PortfolioSequence:
    """A rolling rebalance sequence with cached factorizations and chained warm starts."""

    @property
    def dimension(self) -> int: ...
    @property
    def factorizations(self) -> int: ...
    def solve_next(
        self,
        *,
        expected_returns: _FloatArray | None = None,
        previous_weights: _FloatArray | None = None,
        benchmark_weights: _FloatArray | None = None,
        budget: _Float | None = None,
        equality_rhs: _FloatArray | None = None,
        inequality_rhs: _FloatArray | None = None,
        raise_on_failure: _Flag = True,
    ) -> SolveResult: ...

@final
class SolveResult:
    @property
    def status(self) -> str: ...
    @property
    def objective(self) -> float: ...
    @property
    def primal_residual(self) -> float: ...
    @property
    def dual_residual(self) -> float: ...
    @property
    def complementarity(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def solve_time_seconds(self) -> float: ...
    @property
    def final_rho(self) -> float: ...
    @property
    def rho_updates(self) -> int: ...
    @property
    def polished(self) -> bool: ...
    @property
    def convergence_hints(self) -> list[str]: ...
    @property
    def weights(self) -> _FloatArray: ...
    @property
    def certificate(self) -> InfeasibilityCertificate | None: ...
    def to_json(self) -> str: ...

@final
class InfeasibilityCertificate:
    @property
    def kind(self) -> str: ...
    @property
    def equality_dual(self) -> _FloatArray | None: ...
    @property
    def inequality_dual(self) -> _FloatArray | None: ...
    @property
    def bound_dual(self) -> _FloatArray | None: ...
    @property
    def direction(self) -> _FloatArray | None: ...

def solve_mean_variance_factor(
    factors: _FloatArray,
    omega: _FloatArray,
    specific_variance: _FloatArray,
    expected_returns: _FloatArray,
    *,
    risk_aversion: _Float = 1.0,
    budget: _Float = 1.0,
    lower_bounds: _FloatArray | None = None,
    upper_bounds: _FloatArray | None = None,
    equality_matrix: _FloatArray | None = None,
    equality_rhs: _FloatArray | None = None,
    inequality_matrix: _FloatArray | None = None,
    inequality_rhs: _FloatArray | None = None,
    previous_weights: _FloatArray | None = None,
    turnover_penalty: _Float = 0.0,
    l1_turnover_costs: _Float | _FloatArray | None = None,
    benchmark_weights: _FloatArray | None = None,
    industry_ids: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
    industry_targets: _FloatArray | None = None,
    style_matrix: _FloatArray | None = None,
    style_lower: _FloatArray | None = None,
    style_upper: _FloatArray | None = None,
    max_weight: _Float | None = None,
    max_short: _Float | None = None,
    warm_start: _FloatArray | None = None,
    max_iterations: SupportsIndex = 10000,
    absolute_tolerance: _Float = 1.0e-6,
    relative_tolerance: _Float = 1.0e-5,
    rho: _Float = 1.0,
    adaptive_rho: _Flag = True,
    over_relaxation: _Float = 1.6,
    scaling_iterations: SupportsIndex = 10,
    infeasibility_tolerance: _Float = 1.0e-5,
    polish: _Flag = True,
    raise_on_failure: _Flag = True,
) -> SolveResult: ...
def solve_batch(
    problems: Sequence[PortfolioProblem],
    steps: Sequence[Sequence[dict[str, Any]]],
    *,
    chain_previous_weights: _Flag = False,
    max_iterations: SupportsIndex = 10000,
    absolute_tolerance: _Float = 1.0e-6,
    relative_tolerance: _Float = 1.0e-5,
    rho: _Float = 1.0,
    adaptive_rho: _Flag = True,
    over_relaxation: _Float = 1.6,
    scaling_iterations: SupportsIndex = 10,
    infeasibility_tolerance: _Float = 1.0e-5,
    polish: _Flag = True,
    raise_on_failure: _Flag = True,
) -> list[list[SolveResult]]: ...
