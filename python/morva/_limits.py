"""Weight and short limits that the bounds already imply are refused aloud.

``max_weight`` lowers the box to [max(lᵢ, −w), min(uᵢ, w)] (it caps long and
short positions alike) and ``max_short`` raises lᵢ to max(lᵢ, −s). On a box
that already lies inside those limits they change nothing, which is almost
always a mistake: a ``max_short`` on the default long-only box [0, 1], or a
``max_weight=5`` meant as 5%. Those get a warning; a ``max_weight`` above 1
that cannot bind in a long-only book is surely a percentage and is refused.
"""

from __future__ import annotations

import math
import os
import sys
import warnings

import numpy as np

# The engine's box when no bounds are given: long only, at most the whole book in one name.
DEFAULT_LOWER = 0.0
DEFAULT_UPPER = 1.0
_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def caller_stacklevel() -> int:
    """The ``stacklevel`` that makes a warning point at the first frame outside the package."""
    frame, level = sys._getframe(1), 1
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level


def _usable(limit) -> bool:
    # Invalid limits (negative, NaN, infinite) are the engine's to refuse, with its own message.
    return limit is not None and isinstance(limit, (int, float, np.number)) and math.isfinite(limit) and limit >= 0


def check_limits(lower: np.ndarray | None, upper: np.ndarray | None, budget, max_weight, max_short) -> None:
    """Warns about a limit that the bounds (``None``: the default box) already imply;
    refuses a ``max_weight`` that reads as a percentage."""
    default_box = lower is None and upper is None
    lower = np.full(1, DEFAULT_LOWER) if lower is None else np.asarray(lower, dtype=np.float64)
    upper = np.full(1, DEFAULT_UPPER) if upper is None else np.asarray(upper, dtype=np.float64)
    if _usable(max_weight) and max_weight > 0:
        inside = bool(np.all(upper <= max_weight) and np.all(lower >= -max_weight))
        long_only = bool(np.all(lower >= 0))
        # Long only with a positive budget B, no weight can exceed B.
        above_budget = long_only and budget is not None and 0 < budget <= max_weight
        if (inside or above_budget) and long_only and max_weight > 1:
            raise ValueError(f"max_weight={max_weight:g} cannot bind in this long-only book: max_weight is a "
                             f"fraction of the book (0.05 = 5%), not a percentage")
        if inside:
            warnings.warn(f"max_weight={max_weight:g} does nothing: every bound already lies within "
                          f"[-{max_weight:g}, {max_weight:g}] (max_weight caps long and short positions alike; "
                          f"0.05 = 5% of the book)", UserWarning, stacklevel=caller_stacklevel())
        elif above_budget:
            warnings.warn(f"max_weight={max_weight:g} does nothing: in a long-only book with budget {budget:g} "
                          f"no weight can exceed {budget:g}", UserWarning, stacklevel=caller_stacklevel())
        lower = np.maximum(lower, -max_weight)
    if _usable(max_short) and np.all(lower >= -max_short):
        why = ("the default box [0, 1] is long only; give lower_bounds below zero to allow shorts"
               if default_box else "give lower_bounds below its negative to let it bind")
        warnings.warn(f"max_short={max_short:g} does nothing: every lower bound is already at least "
                      f"-{max_short:g} ({why})", UserWarning, stacklevel=caller_stacklevel())
