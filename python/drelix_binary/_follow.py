"""``follow`` and ``follow_batches``: the records of a file as writers add them, like
``tail -f``."""

from __future__ import annotations

import bisect
import os
import time
from collections.abc import Iterator
from typing import IO, Any, Callable

import numpy as np

from . import _native
from ._reader import Reader

__all__ = ["follow", "follow_batches"]

# Records at most in one batch of the tail, and bytes at most turned into record objects at a
# time: memory stays bounded when a follower starts far behind a large file.
_BATCH_RECORDS = 1 << 16
_SPLIT_BYTES = 1 << 20


def _check(start: Any, poll: Any, timeout: Any) -> None:
    if isinstance(start, bool) or not isinstance(start, (int, np.integer)):
        raise TypeError(f"start must be an integer, not {type(start).__name__}")
    for name, value in (("poll", poll), ("timeout", timeout)):
        if value is None and name == "timeout":
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        if not 0 <= value < float("inf"):
            raise ValueError(f"{name} must be finite and at least 0, not {value}")


def follow_batches(
    path: str | os.PathLike[str] | IO[bytes],
    *,
    start: int = 0,
    poll: float = 0.05,
    timeout: float | None = None,
    storage_options: dict[str, Any] | None = None,
    prefix: str = "",
) -> Iterator[Any]:
    """``follow`` in batches, for high rates: structured arrays of the schema's dtype for
    fixed records (``V<size>`` records when the schema has a field numpy cannot hold), lists
    of ``bytes`` for length-prefixed ones. A batch holds the records of one frame, or of the
    tail as far as it was written (at most 65,536 records), in order, none twice."""
    _check(start, poll, timeout)

    def batches(r: Reader, at: int) -> Iterator[Any]:
        size = r.layout.fixed_size
        if size is None:
            return _follow(r, at, poll, timeout, list)
        dtype = r.dtype if r.dtype is not None else np.dtype((np.void, size))
        return _follow(r, at, poll, timeout, lambda b: np.frombuffer(b, dtype))

    return _each(path, int(start), timeout, storage_options, prefix, batches)


def follow(
    path: str | os.PathLike[str] | IO[bytes],
    *,
    start: int = 0,
    poll: float = 0.05,
    timeout: float | None = None,
    storage_options: dict[str, Any] | None = None,
    prefix: str = "",
) -> Iterator[bytes]:
    """Every record of the file from record index ``start`` (negative counts from the end, as
    ``tail -n``), in order and exactly once, then the records writers add as they become
    visible (a writer's ``flush``, ``flush_seconds``, frame close, ``sync`` or ``close``),
    looking for them every ``poll`` seconds. Ends once the file is sealed and all of it was
    yielded, or when ``timeout`` seconds pass with nothing new (``None``: waits for ever).

    It follows what a long-running file goes through: frames closed over the records it read
    from the tail, a writer killed mid-record (the torn record is never yielded), another
    writer continuing, the file repacked or rebuilt (it opens the path again and goes on at
    the same record index). Raises ``DrelixMalformedError`` when the file comes to hold fewer
    records than were yielded (it was replaced by another).

    ``path`` may be a series' directory (``create_series``; ``prefix`` names its files): its
    files are followed in turn, moving on to the next when one is sealed, and the follower
    ends once the writer ends the series (the last file sealed: ``SeriesWriter.seal`` or
    ``close(final=True)``); ``start`` counts records across the files.

    A URL (``storage_options`` for its filesystem) is followed as its object is replaced by
    longer ones: each look is a request for the object's size (and its zone when the size is
    the same), so choose ``poll`` with the store's price per request in mind."""
    _check(start, poll, timeout)

    def records(r: Reader, at: int) -> Iterator[bytes]:
        size = r.layout.fixed_size
        if size is None:
            for batch in _follow(r, at, poll, timeout, list):
                yield from batch
            return
        step = size * max(1, _SPLIT_BYTES // size)
        for raw in _follow(r, at, poll, timeout, bytes):
            for lo in range(0, len(raw), step):
                yield from _native.split_records(raw[lo : lo + step], r.layout)[0]

    return _each(path, int(start), timeout, storage_options, prefix, records)


def _each(
    path: str | os.PathLike[str] | IO[bytes],
    start: int,
    timeout: float | None,
    storage_options: dict[str, Any] | None,
    prefix: str,
    follow_one: Callable[[Reader, int], Iterator[Any]],
) -> Iterator[Any]:
    """``follow_one(reader, start)`` on a file, or on each file of a series in turn."""
    from ._series import is_series

    if isinstance(path, (str, os.PathLike)) and is_series(path, storage_options):
        yield from _series(os.fspath(path), start, prefix, storage_options, follow_one)
        return
    with Reader(path, storage_options=storage_options) as r:
        yield from follow_one(r, start)


def _series(
    directory: str,
    start: int,
    prefix: str,
    options: dict[str, Any] | None,
    follow_one: Callable[[Reader, int], Iterator[Any]],
) -> Iterator[Any]:
    """The files of a series from record ``start`` on: each followed until it is sealed (its
    successor then exists: the writer creates it first) or the follower's timeout ends it.
    A sealed file with no successor is the series' end."""
    from ._series import SeriesReader, series_files

    with SeriesReader(directory, prefix=prefix, storage_options=options) as s:
        if start < 0:
            start = max(0, len(s) + start)
        files, counts = s.files, [p.count for p in s._parts]
        sealed = [p.sealed for p in s._parts]
    i = 0
    # Whole sealed files before ``start`` are passed over; an unsealed one may still grow.
    while i < len(files) - 1 and sealed[i] and start >= counts[i]:
        start -= counts[i]
        i += 1
    while True:
        with Reader(files[i], storage_options=options) as r:
            yield from follow_one(r, start)
            if not r.sealed:
                return  # the timeout passed
        files = series_files(directory, prefix, options)
        if i + 1 >= len(files):
            return
        i, start = i + 1, 0


def _follow(
    r: Reader,
    start: int,
    poll: float,
    timeout: float | None,
    wrap: Callable[[Any], Any],
) -> Iterator[Any]:
    """The records from index ``start`` on, a frame or a stretch of the tail at a time, each
    passed through ``wrap`` (which gets the records' on-disk bytes for a fixed layout, a list
    of bodies otherwise); refreshing ``r`` while there is nothing more to give."""
    at = start if start >= 0 else max(0, len(r) + start)
    quiet_since = time.monotonic()
    while True:
        total = len(r)
        if at < total:
            for piece, n in _pieces(r, at, total):
                yield wrap(piece)
                at += n
            quiet_since = time.monotonic()
            continue  # reading the tail may have refreshed the reader
        if r.sealed:
            return
        if timeout is not None:
            left = timeout - (time.monotonic() - quiet_since)
            if left <= 0:
                return
            time.sleep(min(poll, left))
        else:
            time.sleep(poll)
        r.refresh()


def _pieces(r: Reader, first: int, last: int) -> Iterator[tuple[Any, int]]:
    """Records ``first`` to ``last`` of ``r`` as (on-disk bytes or list of bodies, count): a
    piece per frame (decoded while the one before is used), then the tail in batches."""
    starts = r._record_starts()
    frames = len(starts) - 2
    part = bisect.bisect_right(starts, first) - 1
    size = r.layout.fixed_size
    if part < frames:
        stop = bisect.bisect_left(starts, last, part)
        wanted = range(part, min(stop, frames))
        for index, content in zip(wanted, r._src.decode_many(wanted)):
            lo = max(first, starts[index]) - starts[index]
            hi = min(last, starts[index + 1]) - starts[index]
            if size is None:
                yield r._split(content, f"frame {index}")[lo:hi], hi - lo
            else:
                yield content[lo * size : hi * size], hi - lo
            first = starts[index] + hi
    while first < last:
        # Records read from the tail after a writer moved them into frames would have to be
        # found in those frames, a frame decoded per batch: take the frames in first (cheap
        # when nothing changed) and let the caller go on from there.
        r.refresh()
        if len(r._src.frames) > frames:
            return
        lo = first - starts[frames]
        if size is None:
            # The tail is read and split whole, once: handed out in batches from that list.
            bodies = r._tail_bodies()[lo : last - starts[frames]]
            for at in range(0, len(bodies), _BATCH_RECORDS):
                yield (
                    bodies[at : at + _BATCH_RECORDS],
                    min(_BATCH_RECORDS, len(bodies) - at),
                )
            return
        n = min(last - first, _BATCH_RECORDS)
        yield r._src.read_tail_at(lo * size, n * size), n
        first += n
