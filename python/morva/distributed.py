"""Many accounts on many machines: ``solve_batch`` over a Dask cluster.

The accounts are cut into chunks; each chunk is one ``solve_batch`` call on a
``distributed`` worker, whose batch pool is sized to the worker's threads.
Problems shared by several accounts (usually one factor model for a whole
book) are told apart by their JSON dump and broadcast once to every worker;
a chunk then carries only its step dicts and the handles of the problems it
uses. Results come back as :class:`morva.SolveResultRecord` objects, in
account order, with the weights of a local ``solve_batch`` bit for bit.
"""

from __future__ import annotations

import math
import multiprocessing
import os
from collections.abc import Sequence
from typing import Any

import _morva

from . import solving
from ._extras import require
from .batching import checked_accounts, chunk_bounds, first_error, solve_chunk
from .progress import progress_bar

# Chunks per worker thread: enough to even out uneven accounts and to move a
# progress bar, few enough that scheduling stays negligible next to a solve.
_CHUNKS_PER_THREAD = 4
_pool_sized = False


def _size_pool_to_worker(threads: int) -> None:
    """In a worker process, sizes the batch pool to the worker's threads.

    The pool reads ``RAYON_NUM_THREADS`` once, at its first batch, so this
    runs before the first chunk. A setting the user exported is kept, and a
    worker living in the client's own process (``processes=False``) leaves
    that process's pool alone.
    """
    global _pool_sized
    if _pool_sized:
        return
    _pool_sized = True
    if multiprocessing.parent_process() is not None and "RAYON_NUM_THREADS" not in os.environ:
        os.environ["RAYON_NUM_THREADS"] = str(max(1, threads))


def _solve_on_worker(positions: list[int], steps: list, solver_keywords: dict, *shared: _morva.PortfolioProblem):
    """One chunk on a worker: account a solves ``shared[positions[a]]``."""
    distributed = require("distributed", "dask", "morva.distributed")
    _size_pool_to_worker(distributed.get_worker().state.nthreads)
    return solve_chunk([shared[p] for p in positions], steps, solver_keywords)


def _distinct(problems: list[_morva.PortfolioProblem]) -> tuple[list[_morva.PortfolioProblem], list[int]]:
    """The distinct problems (equal JSON dumps are one problem) and each account's index among them."""
    by_text: dict[str, int] = {}
    by_object: dict[int, int] = {}
    distinct: list[_morva.PortfolioProblem] = []
    index: list[int] = []
    for problem in problems:
        if id(problem) not in by_object:
            by_object[id(problem)] = by_text.setdefault(problem.to_json(), len(distinct))
            if by_object[id(problem)] == len(distinct):
                distinct.append(problem)
        index.append(by_object[id(problem)])
    return distinct, index


def _client(client):
    distributed = require("distributed", "dask", "morva.distributed")
    if client is not None:
        return client
    try:
        return distributed.get_client()
    except ValueError as error:
        raise ValueError(
            "morva.distributed.solve_batch needs a Dask client: pass client=... or create a distributed.Client first"
        ) from error


def solve_batch(
    problems: Sequence[Any],
    steps: Sequence[Sequence[dict]],
    *,
    client=None,
    chunk_size: int | None = None,
    progress: bool = False,
    **solver_keywords: Any,
) -> list[list]:
    """Solves many accounts' rolling sequences on a Dask cluster.

    ``problems``, ``steps`` and the solver keywords (including ``profile``,
    ``chain_previous_weights`` and ``raise_on_failure``) are those of
    :func:`morva.solve_batch`; the results (one list of results per account,
    in account order) and the errors (type, text, account and step numbers)
    are the same as one local call. ``client`` defaults to the current Dask
    client; ``chunk_size`` (accounts per task) defaults to a quarter of an
    even share per worker thread; ``progress=True`` shows a progress bar.
    """
    solver_keywords = solving.checked_settings(solver_keywords)
    client = _client(client)
    distributed = require("distributed", "dask", "morva.distributed")
    problems, steps = checked_accounts(problems, steps)
    if not problems:
        return []
    if chunk_size is None:
        threads = max(1, sum(client.nthreads().values()))
        chunk_size = max(1, math.ceil(len(problems) / (threads * _CHUNKS_PER_THREAD)))
    distinct, index = _distinct(problems)
    shared = client.scatter(distinct, broadcast=True, hash=False)

    futures, offsets = [], {}
    for start, stop in chunk_bounds(len(problems), chunk_size):
        used = sorted(set(index[start:stop]))
        position = {u: p for p, u in enumerate(used)}
        future = client.submit(
            _solve_on_worker,
            [position[u] for u in index[start:stop]],
            steps[start:stop],
            solver_keywords,
            *(shared[u] for u in used),
            pure=False,
        )
        futures.append(future)
        offsets[future.key] = (start, stop)

    chunks: dict[int, tuple] = {}
    bar = progress_bar(len(problems), progress)
    try:
        for future in distributed.as_completed(futures):
            start, stop = offsets[future.key]
            chunks[start] = future.result()
            bar.update(stop - start)
    finally:
        bar.close()
        client.cancel(shared)

    ordered = sorted(chunks.items())
    error = first_error([(start, chunk_error) for start, (_, chunk_error) in ordered if chunk_error is not None])
    if error is not None:
        raise error
    return [account for _, (results, _) in ordered for account in results]
