"""The engine's refusals in the words of the package's keywords.

The engine names its own builders (``with_tracking_benchmark``, ...), which a
user of the keyword API never calls. The package says what to pass instead;
the rest of the message (an ``account 3:`` prefix, the engine's own facts) is
kept.
"""

from __future__ import annotations

import re

_TURNOVER = "previous_weights=... and turnover_penalty=... or l1_turnover_costs=..."
_IN_USER_TERMS = (
    (r"(?:invalid portfolio parameter: )?benchmark_weights updates require a base problem built with "
     r"with_tracking_benchmark; [^\n]*",
     "this problem has no benchmark; build it with benchmark_weights=... to roll one (a date cannot switch "
     "between total and active risk)"),
    (r"(?:invalid portfolio parameter: )?previous_weights updates require a base problem built with "
     r"with_quadratic_turnover and/or with_l1_turnover; [^\n]*",
     f"this problem has no turnover term; build it with {_TURNOVER} to roll the current holdings"),
    (r"(?:invalid portfolio parameter: )?chain_previous_weights requires a problem built with with_quadratic_turnover and/or "
     r"with_l1_turnover; [^\n]*",
     f"chain_previous_weights needs a turnover term; build the problems with {_TURNOVER}"),
    (r"(?:invalid constraint template: )?industry neutrality derives its targets from the tracking benchmark; "
     r"call with_tracking_benchmark first or supply explicit targets with with_group_targets",
     "industries without industry_targets hold each industry at its benchmark weight; give "
     "benchmark_weights=..., or industry_targets=... (one target per industry)"),
)


def in_user_terms(text: str) -> str:
    """``text`` with the engine's builder names replaced by the keywords that set them."""
    for pattern, replacement in _IN_USER_TERMS:
        text = re.sub(pattern, replacement, text)
    return text


def reraised(error: Exception) -> Exception:
    """``error`` itself when its text needs no translation, else the same type with the user's words."""
    text = in_user_terms(str(error))
    return error if text == str(error) else type(error)(text)
