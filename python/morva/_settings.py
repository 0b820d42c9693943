"""The package's solver settings: the profiles, and the limits that let a solve finish."""

from __future__ import annotations

import operator
from collections.abc import Mapping
from typing import Any

import numpy as np

PROFILES = ("adaptive", "reference")
DEFAULT_PROFILE = "adaptive"

# A hundred times the default budget. ADMM's residuals fall at least like 1/k, so
# an iterate still outside its tolerances after a million iterations is stalled
# (badly scaled data, or tolerances below what rounding allows), and at half a
# millisecond an iteration (n = 10,000, k = 100) a million already take ten minutes.
MAX_ITERATIONS = 1_000_000
# Each Ruiz pass takes the square root of every row's and column's norm imbalance,
# halving its logarithm. Norms of doubles span at most 2^2098, so 64 passes bring
# any imbalance down to rounding; four times that is the most that can help.
MAX_SCALING_ITERATIONS = 256
# Count settings: (smallest, largest, unit, why the largest).
_COUNTS = {
    "max_iterations": (1, MAX_ITERATIONS, "iterations",
                       "a hundred times the default; a solve that has not converged by then needs looser "
                       "tolerances or better-scaled data, not more iterations"),
    "scaling_iterations": (0, MAX_SCALING_ITERATIONS, "passes",
                           "each pass halves the logarithm of the rows' and columns' norm imbalance, so more "
                           "passes cannot help equilibration"),
}


def checked_settings(settings: Mapping[str, Any]) -> dict[str, Any]:
    """``settings`` as a new dict, its counts refused unless they let a solve finish.

    A count (``max_iterations``, ``scaling_iterations``) must be an integer (a bool
    or a float is a ``TypeError``) between its least value and its limit (a
    ``ValueError`` naming the limit); the other settings are the engine's to check.
    """
    checked = dict(settings)
    for name, (least, most, unit, why) in _COUNTS.items():
        if name not in checked:
            continue
        value = checked[name]
        if isinstance(value, (bool, np.bool_)):
            raise TypeError(f"{name} must be an integer, not bool")
        try:
            count = operator.index(value)
        except TypeError:
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
        if count < least:
            rule = "positive" if least == 1 else "non-negative"
            raise ValueError(f"{name} must be {rule}, got {count}")
        if count > most:
            raise ValueError(f"{name}={count} is beyond the limit of {most:,} {unit} ({why})")
        checked[name] = count
    return checked
