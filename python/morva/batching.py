"""Batches split into chunks of accounts, each chunk one ``solve_batch`` call.

A chunk reports its errors with account numbers counted from its own first
account; :func:`first_error` renumbers them and picks the error the whole
batch in one call would have raised: a step that cannot be converted stops a
batch before anything is solved, so the first such error wins over any
account's failure; otherwise the first failing account in account order.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterator, Sequence
from typing import Any

import _morva

from . import solving
from ._problem import plain
from .progress import progress_bar

_ACCOUNT = re.compile(r"^account (\d+)")
_STEP_CONVERSION = re.compile(r"^account \d+, step \d+: ")
# Local chunks run one after another; this many keep a progress bar moving
# without shrinking a chunk below what the thread pool can share out.
_LOCAL_CHUNKS = 20


def checked_accounts(problems: Any, steps: Any) -> tuple[list, list]:
    """The two account lists, with the type and length rules of ``solve_batch``; the
    problems as the engine's (``morva.PortfolioProblem`` unwrapped)."""
    for name, value in (("problems", problems), ("steps", steps)):
        if isinstance(value, str) or not isinstance(value, Sequence):
            raise TypeError(f"argument '{name}': expected a sequence, got {type(value).__name__}")
    problems, steps = [plain(problem) for problem in problems], list(steps)
    for problem in problems:
        if not isinstance(problem, _morva.PortfolioProblem):
            raise TypeError(f"argument 'problems': expected PortfolioProblem items, got {type(problem).__name__}")
    if len(problems) != len(steps):
        raise ValueError("problems and steps must have the same length (one step list per account)")
    return problems, steps


def chunk_bounds(accounts: int, chunk_size: int) -> Iterator[tuple[int, int]]:
    """``[start, stop)`` account ranges of at most ``chunk_size`` accounts."""
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    for start in range(0, accounts, chunk_size):
        yield start, min(start + chunk_size, accounts)


def solve_chunk(problems: list, steps: list, solver_keywords: dict) -> tuple[list | None, Exception | None]:
    """Runs one chunk; returns its results or the error it raised (never raises
    for the errors a batch can report, so the caller can rank them)."""
    try:
        return solving.solve_batch(problems, steps, **solver_keywords), None
    except (ValueError, RuntimeError) as error:
        return None, error


def renumbered(error: Exception, offset: int) -> Exception:
    """The same error with its account number moved by ``offset``."""
    text = str(error)
    match = _ACCOUNT.match(text)
    if match is None or offset == 0:
        return error
    return type(error)(f"account {int(match.group(1)) + offset}{text[match.end():]}")


def first_error(errors: Sequence[tuple[int, Exception]]) -> Exception | None:
    """The error the unchunked batch raises, from (chunk offset, error) pairs in chunk order."""
    conversions = [
        (offset, error)
        for offset, error in errors
        if isinstance(error, ValueError) and _STEP_CONVERSION.match(str(error))
    ]
    ranked = conversions or list(errors)
    if not ranked:
        return None
    offset, error = ranked[0]
    return renumbered(error, offset)


def solve_batch_chunked(
    problems: Sequence[Any],
    steps: Sequence[Sequence[dict]],
    *,
    chunk_size: int | None = None,
    progress: bool = False,
    **solver_keywords: Any,
) -> list[list]:
    """``morva.solve_batch`` run a chunk of accounts at a time, with an optional progress bar.

    Every chunk runs in parallel on the thread pool like ``solve_batch``; the
    results are identical to one ``solve_batch`` call (``profile`` included
    among the solver keywords) and so are the errors (same type, same text,
    same account and step numbers).
    """
    solver_keywords = solving.checked_settings(solver_keywords)
    problems, steps = checked_accounts(problems, steps)
    if chunk_size is None:
        chunk_size = max(1, math.ceil(len(problems) / _LOCAL_CHUNKS))
    results: list[list] = []
    errors: list[tuple[int, Exception]] = []
    bar = progress_bar(len(problems), progress)
    try:
        for start, stop in chunk_bounds(len(problems), chunk_size):
            chunk, error = solve_chunk(problems[start:stop], steps[start:stop], solver_keywords)
            if error is not None:
                errors.append((start, error))
            else:
                results.extend(chunk)
            bar.update(stop - start)
    finally:
        bar.close()
    error = first_error(errors)
    if error is not None:
        raise error
    return results
