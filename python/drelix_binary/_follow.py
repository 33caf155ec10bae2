"""``follow`` and ``follow_batches``: the records of a file as writers add them, like
``tail -f``."""

from __future__ import annotations

import os
import time
from collections.abc import Iterator
from typing import Any

import numpy as np

from . import _native
from ._reader import Reader

__all__ = ["follow", "follow_batches"]

# Records handed out in one batch at most: memory stays bounded when a follower starts far
# behind a large file.
_BATCH_RECORDS = 1 << 16


def _check(start: int, poll: float, timeout: float | None) -> None:
    if isinstance(start, bool) or not isinstance(start, (int, np.integer)):
        raise TypeError(f"start must be an integer, not {type(start).__name__}")
    for name, value in (("poll", poll), ("timeout", timeout)):
        if value is None and name == "timeout":
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        if not value >= 0:
            raise ValueError(f"{name} must be at least 0, not {value}")


def follow_batches(
    path: str | os.PathLike[str],
    *,
    start: int = 0,
    poll: float = 0.05,
    timeout: float | None = None,
) -> Iterator[Any]:
    """``follow`` in batches: structured arrays of the schema's dtype for fixed records (raw
    ``V<size>`` records when the schema names a type numpy lacks), lists of ``bytes`` for
    length-prefixed ones. Each batch holds at most 65,536 records, in order, none twice."""
    _check(start, poll, timeout)
    with Reader(path) as r:
        yield from _batches(r, int(start), float(poll), timeout)


def follow(
    path: str | os.PathLike[str],
    *,
    start: int = 0,
    poll: float = 0.05,
    timeout: float | None = None,
) -> Iterator[bytes]:
    """Every record of the file from record index ``start`` (negative counts from the end,
    as ``tail -n``), in order and exactly once, then the records writers add as they become
    visible (a writer's ``flush``, ``sync``, frame close or close), checking for them every
    ``poll`` seconds. Ends once the file is sealed and all of it was yielded, or when
    ``timeout`` seconds pass with nothing new (``None``: waits for ever).

    It follows what a long-running file goes through: frames closed over the records it read
    from the tail, a writer killed mid-record (the torn record is never yielded), another
    writer continuing, the file repacked or rebuilt (it reopens the path and goes on at the
    same record index)."""
    _check(start, poll, timeout)
    with Reader(path) as r:
        fixed = r.layout.fixed_size is not None
        for batch in _batches(r, int(start), float(poll), timeout):
            if fixed:
                yield from _native.split_records(batch.tobytes(), r.layout)[0]
            else:
                yield from batch


def _batches(r: Reader, start: int, poll: float, timeout: float | None) -> Iterator[Any]:
    at = start if start >= 0 else max(0, len(r) + start)
    dtype = r.dtype if r.dtype is not None else np.dtype((np.void, r.layout.fixed_size or 1))
    quiet_since = time.monotonic()
    while True:
        total = len(r)
        while at < total:
            stop = min(total, at + _BATCH_RECORDS)
            yield r.to_numpy(at, stop, dtype=dtype) if r.layout.fixed_size else r[at:stop]
            at = stop
            quiet_since = time.monotonic()
        if r.sealed:
            return
        waited = time.monotonic() - quiet_since
        if timeout is not None and waited >= timeout:
            return
        time.sleep(poll if timeout is None else min(poll, timeout - waited))
        r.refresh()
