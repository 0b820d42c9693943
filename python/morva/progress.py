"""Progress display for long batches: tqdm when it is installed, otherwise a
plain counter on standard error."""

from __future__ import annotations

import sys
from typing import Protocol, TextIO


class Progress(Protocol):
    def update(self, done: int) -> None: ...

    def close(self) -> None: ...


class Silent:
    def update(self, done: int) -> None:
        pass

    def close(self) -> None:
        pass


class Counter:
    """Rewrites one line ``label: done/total`` in place; ends it on close."""

    def __init__(self, total: int, label: str, stream: TextIO | None = None) -> None:
        self.total = total
        self.done = 0
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self._write()

    def _write(self) -> None:
        self.stream.write(f"\r{self.label}: {self.done}/{self.total}")
        self.stream.flush()

    def update(self, done: int) -> None:
        self.done += done
        self._write()

    def close(self) -> None:
        self.stream.write("\n")
        self.stream.flush()


def progress_bar(total: int, enabled: bool, label: str = "accounts") -> Progress:
    """A progress display over ``total`` units, or one that shows nothing."""
    if not enabled:
        return Silent()
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return Counter(total, label)
    return tqdm(total=total, desc=label, unit="account")
