"""Checks of a risk model's pieces where they enter the package, in the user's words."""

from __future__ import annotations

from typing import Any

import numpy as np

# Ω's smallest eigenvalue may fall this far below zero (relative to its largest
# entry) and still be read as semidefinite: a covariance estimated in floating
# point is semidefinite only to rounding, and eigvalsh's own error is about
# k·ε·‖Ω‖, far below this for any k a factor model has.
PSD_TOLERANCE = 1e-10
# The engine's symmetry rule: |Ωᵢⱼ − Ωⱼᵢ| ≤ 1e-12·max(|Ωᵢⱼ|, |Ωⱼᵢ|, 1). The same rule
# here names the pair before the engine refuses the matrix without naming it.
SYMMETRY_TOLERANCE = 1e-12


def check_factor_covariance(omega: np.ndarray, factors: Any = None, name: str = "factor_covariance") -> None:
    """Refuses an Ω (k×k, or the vector of a diagonal Ω) that is not symmetric positive
    semidefinite, naming the first asymmetric pair or its smallest eigenvalue λ_min:
    Ω is refused when λ_min < −1e-10·max|Ωᵢⱼ|. ``factors`` labels the rows."""
    omega = np.asarray(omega, dtype=np.float64)
    if omega.ndim == 1:
        omega = np.diag(omega)
    if omega.size == 0:
        return
    if not np.isfinite(omega).all():
        raise ValueError(f"{name} has missing or non-finite values")
    label = (lambda p: repr(factors[p])) if factors is not None else str
    magnitude = np.maximum(np.maximum(np.abs(omega), np.abs(omega.T)), 1.0)
    asymmetry = np.abs(omega - omega.T) - SYMMETRY_TOLERANCE * magnitude
    if asymmetry.max() > 0:
        i, j = np.unravel_index(int(np.argmax(asymmetry)), asymmetry.shape)
        raise ValueError(f"{name} is not symmetric: entry ({label(i)}, {label(j)}) is {omega[i, j]:.6g} but "
                         f"({label(j)}, {label(i)}) is {omega[j, i]:.6g}; a covariance matrix equals its transpose")
    scale = float(np.max(np.abs(omega)))
    values, vectors = np.linalg.eigh(0.5 * (omega + omega.T))
    if values[0] < -PSD_TOLERANCE * scale:
        along = int(np.argmax(np.abs(vectors[:, 0])))
        raise ValueError(f"{name} is not positive semidefinite: its smallest eigenvalue is {values[0]:.6g} (its "
                         f"eigenvector weighs most on factor {label(along)}), so some factor portfolio would have "
                         f"negative variance; estimate it from data, or shrink it towards its diagonal")
