"""A series: a directory of drelix files written one after another and read as one stream.

A long-running writer rotates: when the current file is large enough, old enough, or its
header zone could not list the next frame, the writer starts the next file and seals the
current one. The files are named ``{prefix}{n:010d}.drelix``, so that they sort in write order.
"""

from __future__ import annotations

import bisect
import datetime
import itertools
import math
import operator
import os
import posixpath
import re
import time
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from . import _native
from ._buffers import Body, as_bytes, as_bytes_or_array
from ._defaults import EXTENSION
from ._filters import Filter, parse_filters
from ._lock import lock_file, release
from ._reader import DTypeLike, Filters, Reader
from ._remote import filesystem, is_url, local_path, refuse_write
from ._types import FrameInfo
from ._writer import EXTEND_BATCH, PREFIX, Writer, _count, _seconds, create, open_writer

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped, unused-ignore]
    from typing_extensions import Self

__all__ = [
    "SeriesReader",
    "SeriesWriter",
    "create_series",
    "is_series",
    "open_series",
    "series_files",
]

LOCK_NAME = ".drelix-series.lock"  # the one series writer's flock, in the directory
STATS_PREFIX = "drelix_stats_"  # a frame statistics key: per file, never carried over
# Options that a file continued for appending takes; the others only shape new files.
_APPEND_OPTIONS = frozenset(
    ("level", "frame_records", "frame_bytes", "frame_seconds", "flush_seconds", "index")
)
_OPENING = 32  # files whose zones a series reader reads at once
_ROOM_SPARE = 2  # frames kept free in every zone: a frame_seconds close, and the seal's
# The header area of a series' files unless header_area is given. Every close writes the whole
# area twice (journal and file), so its size is paid on each close; a series rotates when the
# zone is full instead of failing, so a small area costs files, not errors. 64 KiB lists about
# 2,100 frames (1,100 with an indexed i64): 19 minutes of one-second frames, at the least.
SERIES_HEADER_AREA = 64 << 10


def series_files(
    directory: str | os.PathLike[str],
    prefix: str = "",
    storage_options: dict[str, Any] | None = None,
) -> list[str]:
    """The paths of a series' files in ``directory`` (or the URLs of its objects under a
    prefix in a store), in write order."""
    pattern = name_pattern(prefix)
    if is_url(directory):
        url = os.fspath(directory).rstrip("/")
        fs, path = filesystem(url, storage_options)
        fs.invalidate_cache(path)  # a listing made afresh: files come and grow
        found = (posixpath.basename(p.rstrip("/")) for p in fs.ls(path, detail=False))
        return [f"{url}/{n}" for n in sorted(n for n in found if pattern.fullmatch(n))]
    if storage_options:
        raise TypeError(
            f"{directory}: storage_options applies to URLs, not to local paths"
        )
    d = local_path(directory)
    return [
        os.path.join(d, n)
        for n in sorted(n for n in os.listdir(d) if pattern.fullmatch(n))
    ]


def file_path(directory: str, prefix: str, number: int) -> str:
    """The path of file ``number`` of the series ``prefix`` in ``directory``."""
    return os.path.join(directory, f"{prefix}{number:010d}.{EXTENSION}")


def name_pattern(prefix: str) -> re.Pattern[str]:
    """What the name of a file of the series ``prefix`` matches in full."""
    return re.compile(re.escape(prefix) + r"\d{10}\." + re.escape(EXTENSION))


def is_series(target: object, storage_options: dict[str, Any] | None = None) -> bool:
    """Whether ``target`` names a directory (or a prefix in a store) rather than a file: a
    local directory, or a URL ending in "/", or one not ending in ".drelix" that the store
    calls a directory."""
    if is_url(target):
        url = str(target)
        if url.endswith("/"):
            return True
        if url.endswith("." + EXTENSION):
            return False
        fs, path = filesystem(url, storage_options)
        return bool(fs.isdir(path))
    return isinstance(target, (str, os.PathLike)) and os.path.isdir(local_path(target))


def _number(path: str) -> int:
    return int(os.path.basename(path)[-11 - len(EXTENSION) : -1 - len(EXTENSION)])


def _check_prefix(prefix: Any) -> str:
    if not isinstance(prefix, str):
        raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
    if "/" in prefix or "\0" in prefix or os.sep in prefix:
        raise ValueError(f"prefix must be a file name's beginning, not {prefix!r}")
    return prefix


def _lock_directory(directory: str) -> int:
    """The series lock: ``flock`` on a file in the directory, taken at once or refused with
    ``DrelixLockedError``. The file stays between writers; it is never opened through a link."""
    path = os.path.join(directory, LOCK_NAME)
    flags = os.O_WRONLY | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0) | os.O_CLOEXEC
    os.close(os.open(path, flags, 0o644))
    return lock_file(path, True)


def _age(headers: dict[str, str]) -> float:
    """Seconds since a file was created, from its ``_created_at`` (0 when unreadable)."""
    try:
        made = datetime.datetime.strptime(headers["_created_at"], "%Y-%m-%dT%H:%M:%SZ")
    except (KeyError, ValueError):
        return 0.0
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    return max(0.0, (now - made).total_seconds())


class SeriesWriter:
    """A series open for appending, made by ``create_series`` or ``open_series(d, "a")``: a
    ``Writer`` whose records go to a sequence of files, with the same methods.

    Before each write (``append``, ``extend``, ``write``, ``write_bodies``) the writer rotates
    when the current file holds records and its size on disk has reached ``rotate_bytes`` or
    ``rotate_seconds`` have passed since it was created: it creates the next file, then seals
    the current one, so a sealed file always has a successor, except the series' last once the
    writer ends the series. It also rotates instead of raising ``DrelixZoneFullError``: before
    frames are closed it checks that the zone can list them and still the seal's frame. The
    records of one call may span files; every record lands in exactly one file, in order.

    Each new file takes the options of ``create`` given to the series (``user`` headers
    included, and those set by ``set_user_header`` since). ``frames`` and ``headers`` are the
    current file's; ``records`` counts the whole series.

    ``close()`` leaves the series open-ended (a later ``open_series(d, "a")`` continues the
    last file); ``close(final=True)`` and ``seal()`` end it: the last file is sealed, and
    followers stop there. Appending after ``seal()`` starts the next file.

    One series writer per directory: it holds an ``flock`` on ``.drelix-series.lock`` there (and
    the writer lock of its current file), so a second fails at once with ``DrelixLockedError``.
    """

    def __init__(
        self,
        directory: str,
        prefix: str,
        lock_fd: int,
        writer: Writer,
        *,
        rotate_bytes: int | None,
        rotate_seconds: float | None,
        create_options: dict[str, Any],
        age: float = 0.0,
        earlier: int | None = 0,
    ) -> None:
        self.directory = directory
        self.prefix = prefix
        self.rotate_bytes = rotate_bytes
        self.rotate_seconds = rotate_seconds
        # The lock goes when the writer does, closed or not, as a Writer's does.
        self._unlock = weakref.finalize(self, release, lock_fd)
        self._w = writer
        self._options = create_options
        self._number = _number(writer.path)
        # Records in the files before the current one, once counted.
        self._earlier = earlier
        self._began = time.monotonic() - age
        self._disk = os.stat(writer.path).st_size
        self._pending = 0  # raw bytes taken since the size on disk was last looked at
        self._ended = False

    # ---- state -----------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._w.closed

    @property
    def path(self) -> str:
        """The current file."""
        return self._w.path

    @property
    def schema(self) -> _native.Schema:
        return self._w.schema

    @property
    def level(self) -> int:
        return self._w.level

    @property
    def files(self) -> list[str]:
        return series_files(self.directory, self.prefix)

    @property
    def records(self) -> int:
        """Every record of the series, in every file and appended but not yet written."""
        current = self._w.records
        if self._earlier is None:
            self._earlier = 0
            for path in self.files:
                if path != self._w.path:
                    with Reader(path) as r:
                        self._earlier += len(r)
        return self._earlier + current

    @property
    def frames(self) -> list[FrameInfo]:
        """The current file's closed frames."""
        return self._w.frames

    @property
    def headers(self) -> dict[str, str]:
        """The current file's headers."""
        return self._w.headers

    # ---- rotation --------------------------------------------------------------------------

    def _rotation_due(self) -> bool:
        w = self._w
        if w._tail_n == 0 and not w._sink_open().frames():
            return False  # an empty file is never left behind
        if (
            self.rotate_seconds is not None
            and time.monotonic() - self._began >= self.rotate_seconds
        ):
            return True
        return self._gap() <= 0

    def _gap(self) -> float:
        """Bytes the current file may still grow by before it is due (an upper bound at
        first: records take at most their raw size in frames). The file is looked at only
        when the raw bytes taken since could have closed the gap."""
        if self.rotate_bytes is None:
            return math.inf
        if self._disk + self._pending >= self.rotate_bytes:
            self._w.flush()  # what was taken counts as written
            self._disk, self._pending = os.stat(self._w.path).st_size, 0
        return self.rotate_bytes - self._disk - self._pending

    def _rotate_if_due(self) -> None:
        if self._ended or self._rotation_due():
            self.rotate()

    def rotate(self) -> FrameInfo | None:
        """Starts the next file now and seals the current one; returns the frame the seal
        closed, if any."""
        old = self._w
        if old.closed:
            raise ValueError(
                f"I/O operation on a closed SeriesWriter ({self.directory})"
            )
        records = old.records
        path = file_path(self.directory, self.prefix, self._number + 1)
        # Created before the seal: a follower that finds a file sealed finds its successor.
        new = create(path, old.schema, lock=True, **self._options)
        self._w, self._number, self._ended = new, self._number + 1, False
        self._began = time.monotonic()
        self._disk, self._pending = os.stat(path).st_size, 0
        if self._earlier is not None:
            self._earlier += records
        with old:
            return old.seal()

    def _room(self, frames: int, first: bytes) -> bool:
        """Whether the current zone lists ``frames`` more frames and still has the spare."""
        w = self._w
        try:
            w._sink_open().check_frame_room(frames + _ROOM_SPARE, w.level, first)
        except _native.DrelixZoneFullError:
            return False
        return True

    def _make_room(self, frames: int, first: bytes) -> None:
        """Rotates when the current zone cannot list ``frames`` more; raises the zone's
        ``DrelixZoneFullError`` when a fresh file's cannot either."""
        if self._room(frames, first):
            return
        if self._w._tail_n or self._w._sink_open().frames():
            self.rotate()
            if self._room(frames, first):
                return
        w = self._w
        w._sink_open().check_frame_room(frames + _ROOM_SPARE, w.level, first)

    def _feed(
        self,
        n: int,
        raw: Callable[[int, int], int],
        plan: Callable[[Writer, int, int], list[tuple[int, bool]]],
        put: Callable[[int, int], None],
        first: Callable[[int], bytes],
    ) -> None:
        """Writes records 0 to ``n`` across files. ``plan(writer, start, n)``: the stops of the
        pieces the writer would cut records ``start..n`` into, each with whether it closes a
        frame; ``put(start, stop)`` writes records to the current file; ``first(start)``: the
        on-disk form of the first records from ``start``. Each round writes the longest run
        of pieces that the zone lists and that the size rule allows (at least one piece), or
        rotates."""
        start = 0
        while start < n:
            self._rotate_if_due()
            pieces = plan(self._w, start, n)
            gap = self._gap()
            take = 1
            while take < len(pieces) and raw(start, pieces[take][0]) <= gap:
                take += 1
            closes = list(itertools.accumulate(int(c) for _, c in pieces[:take]))
            head = first(start)
            if closes[take - 1] and not self._room(closes[take - 1], head):
                lo, hi = 0, take - 1  # the most pieces whose closes fit
                while lo < hi:
                    mid = (lo + hi + 1) // 2
                    if self._room(closes[mid - 1], head):
                        lo = mid
                    else:
                        hi = mid - 1
                if lo == 0:
                    self._make_room(closes[0], head)
                    continue
                take = lo
            stop = pieces[take - 1][0]
            put(start, stop)
            self._pending += raw(start, stop)
            start = stop

    # ---- appending -------------------------------------------------------------------------

    def append(self, record: Any) -> None:
        """Appends one record, as ``Writer.append``, rotating first when due."""
        w = self._w
        body = as_bytes_or_array(record)
        w._check(body)
        raw = len(body) + (0 if w._size else PREFIX)
        if self._ended or (
            self.rotate_seconds is not None
            or self._disk + self._pending + raw >= (self.rotate_bytes or math.inf)
        ):
            self._rotate_if_due()
            w = self._w
        if w._due(1, raw):
            self._make_room(1, w._on_disk([body]))
            w = self._w
        w._append(body)
        self._pending += raw

    def extend(self, records: Iterable[Any]) -> None:
        """Appends every record of an iterable, as ``Writer.extend`` (in batches of
        ``EXTEND_BATCH``, each checked before it is taken), rotating where due."""
        taken = iter(records)
        while batch := [
            as_bytes_or_array(r) for r in itertools.islice(taken, EXTEND_BATCH)
        ]:
            self._extend_batch(batch)

    def _extend_batch(self, batch: list[Body]) -> None:
        for body in batch:
            self._w._check(body)
        extra = 0 if self._w._size else PREFIX
        ends = list(itertools.accumulate((len(b) + extra for b in batch), initial=0))

        def plan(w: Writer, start: int, n: int) -> list[tuple[int, bool]]:
            return [(start + stop, c) for stop, c in w._extend_plan(batch[start:n])]

        self._feed(
            len(batch),
            lambda a, b: ends[b] - ends[a],
            plan,
            lambda a, b: self._w.extend(batch[a:b]),
            lambda a: self._w._on_disk(batch[a:]),
        )

    @staticmethod
    def _bulk_plan(
        raw: Callable[[int, int], int],
    ) -> Callable[[Writer, int, int], list[tuple[int, bool]]]:
        """The pieces of a bulk write: the writer's frames (the open one topped up first),
        each closed; or, for data that stays within the open frame, one piece that closes
        only when the policy is then due."""

        def plan(w: Writer, start: int, n: int) -> list[tuple[int, bool]]:
            chunks, closes = w._bulk_plan(
                n - start, lambda a, b: raw(start + a, start + b)
            )
            if not chunks:
                return [(n, bool(closes))]
            return [(start + stop, True) for _, stop in chunks]

        return plan

    def write(self, data: Any, *, threads: int | None = None) -> None:
        """Appends many fixed-size records at once, as ``Writer.write``; a call that spans
        files ends each file on a frame boundary."""
        flat, size = self._w._whole_records(data)

        def raw(a: int, b: int) -> int:
            return (b - a) * size

        self._feed(
            len(flat) // size,
            raw,
            self._bulk_plan(raw),
            lambda a, b: self._w.write(flat[a * size : b * size], threads=threads),
            lambda a: flat[a * size : (a + 3) * size].tobytes(),
        )

    def write_bodies(
        self, bodies: Sequence[Any], *, threads: int | None = None
    ) -> None:
        """Appends many length-prefixed records at once, as ``Writer.write_bodies``."""
        w = self._w
        if w._size is not None:
            raise _native.DrelixUsageError(
                "fixed-size records: use write() or extend()"
            )
        checked = [as_bytes(b) for b in bodies]
        for body in checked:
            w._check(body)
        ends = list(itertools.accumulate((len(b) + PREFIX for b in checked), initial=0))

        def raw(a: int, b: int) -> int:
            return ends[b] - ends[a]

        self._feed(
            len(checked),
            raw,
            self._bulk_plan(raw),
            lambda a, b: self._w.write_bodies(checked[a:b], threads=threads),
            lambda a: self._w._on_disk(checked[a:]),
        )

    # ---- frames, headers, durability -------------------------------------------------------

    def close_frame(self) -> FrameInfo | None:
        """Closes the current file's tail into a frame (rotating instead when its zone has no
        room for it and the seal's)."""
        w = self._w
        if w._tail_n and not self._room(1, b""):
            return self.rotate()
        return w.close_frame()

    def seal(self) -> FrameInfo | None:
        """Seals the current file and so ends the series: followers stop once they have read
        it. An append after it starts the next file."""
        w = self._w
        if w._tail_n and not self._room(1, b""):
            self.rotate()
            w = self._w
        frame = w.seal()
        self._ended = True
        return frame

    def flush(self) -> None:
        self._w.flush()

    def sync(self) -> None:
        self._w.sync()

    def set_user_header(self, key: str, value: str) -> None:
        """Sets an application header in the current file and in every file started after."""
        self._w.set_user_header(key, value)
        self._options["user"] = {**(self._options.get("user") or {}), key: value}

    # ---- life ------------------------------------------------------------------------------

    def close(self, *, final: bool = False) -> None:
        """Closes the current file's tail into a frame and releases the file and the series
        lock. ``final=True`` seals the last file first: the series is complete. Closing twice
        is harmless."""
        try:
            if final and not self._w.closed:
                self.seal()
        finally:
            try:
                self._w.close()
            finally:
                self._unlock()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is None:
            self.close()
            return
        try:
            self._w.__exit__(exc_type, exc, tb)
        finally:
            self._unlock()

    def __reduce__(self) -> Any:
        raise TypeError(
            f"a SeriesWriter cannot be pickled (it holds {self.directory}'s lock)"
        )

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"file={os.path.basename(self.path)!r}"
        return f"<drelix SeriesWriter {self.directory!r} {state}>"


def _rotation(
    rotate_bytes: Any, rotate_seconds: Any
) -> tuple[int | None, float | None]:
    return (
        None if rotate_bytes is None else _count("rotate_bytes", rotate_bytes, 1),
        None if rotate_seconds is None else _seconds("rotate_seconds", rotate_seconds),
    )


def create_series(
    directory: str | os.PathLike[str],
    schema: _native.Schema,
    *,
    rotate_bytes: int | None = None,
    rotate_seconds: float | None = None,
    prefix: str = "",
    storage_options: dict[str, Any] | None = None,
    **writer_options: Any,
) -> SeriesWriter:
    """Starts a series in ``directory`` (created if missing) and returns its ``SeriesWriter``.

    ``rotate_bytes``: a file's size on disk at which the next write starts the next file;
    ``rotate_seconds``: its age at which it does (``None``: no such rule; the zone filling up
    rotates in any case). ``prefix`` begins every file name. ``writer_options`` are those of
    ``create`` (``lock`` excepted: a series writer always locks), given to every file; the
    header area defaults to ``SERIES_HEADER_AREA`` (64 KiB: every close rewrites the area, so
    a series of frequent closes pays for a large one on each).

    Raises ``FileExistsError`` when the directory holds a series of that prefix already
    (continue it with ``open_series(directory, "a")``), ``DrelixLockedError`` when another
    series writer holds the directory, ``DrelixUsageError`` for a URL (a series is written
    locally; ``storage_options`` is taken only to say so), and what ``create`` raises."""
    refuse_write(directory, storage_options)
    limits = _rotation(rotate_bytes, rotate_seconds)
    prefix = _check_prefix(prefix)
    d = os.fspath(directory)
    os.makedirs(d, exist_ok=True)
    fd = _lock_directory(d)
    try:
        if series_files(d, prefix):
            raise FileExistsError(
                f"{d} holds a series already; open_series(directory, 'a') continues it"
            )
        first = file_path(d, prefix, 0)
        writer_options.setdefault("header_area", SERIES_HEADER_AREA)
        writer = create(first, schema, lock=True, **writer_options)
    except BaseException:
        release(fd)
        raise
    return SeriesWriter(
        d,
        prefix,
        fd,
        writer,
        rotate_bytes=limits[0],
        rotate_seconds=limits[1],
        create_options=dict(writer_options),
    )


def _resume(
    directory: str,
    prefix: str,
    rotate: tuple[int | None, float | None],
    options: dict[str, Any],
) -> SeriesWriter:
    """``open_series(directory, "a")``: takes the lock, seals any file a writer killed
    mid-rotation left unsealed before the last, then continues the last file (or starts the
    next when it is sealed)."""
    fd = _lock_directory(directory)
    try:
        files = series_files(directory, prefix)
        if not files:
            raise FileNotFoundError(f"no series of prefix {prefix!r} in {directory}")
        for path in files[:-1]:
            with Reader(path) as r:
                sealed = r.sealed
            if not sealed:
                with open_writer(path) as w:
                    w.seal()
        last = files[-1]
        with Reader(last) as r:
            headers, area, sealed = r.headers, r.preamble.header_area, r.sealed
        user = {
            k: v for k, v in headers.items() if not k.startswith(("_", STATS_PREFIX))
        }
        index = tuple(
            k[len(STATS_PREFIX) :] for k in headers if k.startswith(STATS_PREFIX)
        )
        recorded = headers.get("_compression_level", "")
        inherited: dict[str, Any] = {
            "source": headers.get("_source", ""),
            "user": user,
            "header_area": area,
        }
        if recorded.lstrip("-").isdigit():
            inherited["level"] = int(recorded)
        if index:
            inherited["index"] = index
        create_options = {**inherited, **options}
        append = {k: v for k, v in options.items() if k in _APPEND_OPTIONS}
        writer = open_writer(last, **append)
    except BaseException:
        release(fd)
        raise
    series = SeriesWriter(
        directory,
        prefix,
        fd,
        writer,
        rotate_bytes=rotate[0],
        rotate_seconds=rotate[1],
        create_options=create_options,
        age=_age(headers),
        earlier=None,
    )
    series._ended = sealed  # a sealed last file: the next write starts the next file
    return series


# ---- reading ---------------------------------------------------------------------------------


class _Part:
    """One file of a series as a reader knows it: its record count, and its reader while open."""

    def __init__(
        self, path: str, storage_options: dict[str, Any] | None, keep: bool
    ) -> None:
        """Reads the file's zone; its reader stays open when ``keep`` is true or the file is
        not sealed (it may still change), and is closed at once otherwise."""
        self.path, self.options = path, storage_options
        reader = self.open()
        try:
            self.take(reader)
        except BaseException:
            reader.close()
            raise
        self.reader: Reader | None = reader
        if not keep and self.sealed:
            reader.close()
            self.reader = None

    def open(self) -> Reader:
        return Reader(self.path, storage_options=self.options)

    def take(self, reader: Reader) -> None:
        """Takes what ``reader`` (this file's, maybe refreshed) now holds."""
        self.count, self.sealed = len(reader), reader.sealed
        self.headers, self.frames = reader.headers, len(reader._src.frames)
        self.tail, self.schema = reader.tail_records, reader.schema

    def may_hold(self, flt: Filter | None) -> bool:
        """Whether any record of the file may pass ``flt``: False only when the listed ranges
        rule out every frame and no tail follows them (a sealed file's frames are all of it),
        so a filtered read need not open the file."""
        return (
            flt is None
            or self.tail > 0
            or any(flt.frames_to_read(self.headers, self.frames))
        )


class SeriesReader:
    """A series read as one sequence of records: its files in name order, each read by a
    ``Reader`` (a snapshot, as a ``Reader`` is; ``refresh()`` takes in growth and new files).

    Only the files that may still change (unsealed ones, and the last) stay open, with one
    more: the one read last."""

    def __init__(
        self,
        directory: str | os.PathLike[str],
        *,
        prefix: str = "",
        storage_options: dict[str, Any] | None = None,
    ) -> None:
        self.directory = os.fspath(directory)
        self.prefix = _check_prefix(prefix)
        self._options = storage_options
        files = series_files(self.directory, self.prefix, storage_options)
        if not files:
            raise FileNotFoundError(
                f"no series of prefix {prefix!r} in {self.directory}"
            )
        self._parts: list[_Part] = []
        self._recent: int | None = None
        self._closed = False
        try:
            self._add(files)
        except BaseException:
            self.close()
            raise
        first = self._open(0)
        self.schema: _native.Schema = first.schema
        self.layout: _native.RecordLayout = first.layout
        self.dtype: np.dtype | None = first.dtype

    def _add(self, files: Sequence[str]) -> None:
        """Takes in ``files``, the series' next ones: each one's zone read (``_OPENING`` at
        once: a store answers after a round trip each), its reader kept only where
        ``_kept`` says, so a series of any number of files holds a few descriptors."""
        last = len(self._parts) + len(files) - 1
        with ThreadPoolExecutor(max(1, min(_OPENING, len(files)))) as pool:
            for at in range(0, len(files), _OPENING):
                first = len(self._parts)
                futures = [
                    pool.submit(_Part, path, self._options, first + k in (0, last))
                    for k, path in enumerate(files[at : at + _OPENING])
                ]
                try:
                    parts = [f.result() for f in futures]
                except BaseException:
                    for f in futures:  # the readers of those that did open
                        opened = None if f.exception() else f.result().reader
                        if opened is not None:
                            opened.close()
                    raise
                self._parts.extend(parts)
                base = self._parts[0].schema
                for part in parts:
                    if part.schema != base:
                        raise _native.DrelixMalformedError(
                            f"{part.path}: its schema {part.schema.name!r} is not the "
                            f"series' {base.name!r}"
                        )
        self._starts = [0, *itertools.accumulate(p.count for p in self._parts)]
        self._trim()

    def _kept(self, i: int) -> bool:
        """Whether file ``i``'s reader stays open: the first (the schema's), the last, any
        that may still change, and the one read last."""
        last = len(self._parts) - 1
        return i in (0, last, self._recent) or not self._parts[i].sealed

    def _trim(self) -> None:
        for i, part in enumerate(self._parts):
            if part.reader is not None and not self._kept(i):
                part.reader.close()
                part.reader = None

    def _open(self, i: int) -> Reader:
        if self._closed:
            raise ValueError(
                f"I/O operation on a closed SeriesReader ({self.directory})"
            )
        part = self._parts[i]
        if part.reader is None:
            part.reader = part.open()
        if not self._kept(i):
            before, self._recent = self._recent, i
            if before is not None and not self._kept(before):
                old = self._parts[before]
                if old.reader is not None:
                    old.reader.close()
                    old.reader = None
        return part.reader

    # ---- metadata --------------------------------------------------------------------------

    @property
    def files(self) -> list[str]:
        return [p.path for p in self._parts]

    @property
    def sealed(self) -> bool:
        """Whether the last file is sealed: the writer ended the series."""
        return self._parts[-1].sealed

    @property
    def closed(self) -> bool:
        return self._closed

    def refresh(self) -> int:
        """Takes in what the writer made visible since: growth of the files not yet sealed,
        and new files. Returns how many records were added."""
        before = self._starts[-1]
        for i, part in enumerate(self._parts):
            if not part.sealed:
                r = self._open(i)
                r.refresh()
                part.take(r)
        known = {p.path for p in self._parts}
        self._add(
            [
                f
                for f in series_files(self.directory, self.prefix, self._options)
                if f not in known
            ]
        )
        return self._starts[-1] - before

    # ---- records ---------------------------------------------------------------------------

    def __len__(self) -> int:
        return self._starts[-1]

    def _spans(self, first: int, last: int) -> Iterator[tuple[int, int, int]]:
        """(file, start, stop) within each file for the records ``first`` to ``last``."""
        part = max(0, bisect.bisect_right(self._starts, first) - 1)
        while first < last and part < len(self._parts):
            lo, hi = self._starts[part], self._starts[part + 1]
            if first < hi:
                yield part, first - lo, min(last, hi) - lo
                first = min(last, hi)
            part += 1

    def __iter__(self) -> Iterator[bytes]:
        for part, lo, hi in list(self._spans(0, len(self))):
            r = self._open(part)
            yield from itertools.islice(iter(r), lo, hi)

    def __getitem__(self, key: int | slice) -> Any:
        total = len(self)
        if isinstance(key, slice):
            picked = range(*key.indices(total))
            if not picked:
                return []
            lo, hi = min(picked[0], picked[-1]), max(picked[0], picked[-1]) + 1
            records: list[bytes] = []
            for part, a, b in self._spans(lo, hi):
                records.extend(self._open(part)[a:b])
            return records if picked.step == 1 else [records[i - lo] for i in picked]
        try:
            i = operator.index(key)
        except TypeError:
            raise TypeError(
                f"SeriesReader indices must be integers or slices, not {type(key).__name__}"
            ) from None
        if not -total <= i < total:
            raise IndexError(f"record index {key} out of range for {total} records")
        i %= total
        part = bisect.bisect_right(self._starts, i) - 1
        return self._open(part)[i - self._starts[part]]

    def _filter(self, filters: Filters) -> Filter | None:
        return parse_filters(filters, self.schema, self.directory)

    def to_numpy(
        self,
        start: int | None = None,
        stop: int | None = None,
        *,
        dtype: DTypeLike = None,
        threads: int | None = None,
        filters: Filters = None,
    ) -> np.ndarray:
        """Records ``start`` to ``stop`` of the series as one structured array, as
        ``Reader.to_numpy`` gives for a file. ``filters`` as for ``Reader.to_numpy``: a file
        whose listed ranges rule out every record is not opened; the result is the same as
        masking a full read."""
        dt = self._open(0)._fixed_dtype(dtype)
        flt = self._filter(filters)
        first, last, _ = slice(start, stop).indices(len(self))
        if flt is not None:
            chunks = [
                self._open(part).to_numpy(
                    lo, hi, dtype=dt, threads=threads, filters=filters
                )
                for part, lo, hi in self._spans(first, last)
                if self._parts[part].may_hold(flt)
            ]
            return np.concatenate(chunks) if chunks else np.empty(0, dt)
        out = np.empty(max(0, last - first), dt)
        at = 0
        for part, lo, hi in self._spans(first, last):
            out[at : at + hi - lo] = self._open(part).to_numpy(
                lo, hi, dtype=dt, threads=threads
            )
            at += hi - lo
        return out

    def iter_batches(
        self, *, dtype: DTypeLike = None, filters: Filters = None
    ) -> Iterator[Any]:
        """One batch per frame and per tail of each file in turn (as ``Reader.iter_batches``),
        up to the records counted when iteration begins. ``filters`` as for
        ``Reader.iter_batches``: only batches holding records that pass, files whose listed
        ranges rule out every record skipped unopened."""
        flt = self._filter(filters)
        for part, lo, hi in list(self._spans(0, len(self))):
            if flt is not None:
                if self._parts[part].may_hold(flt):
                    yield from self._open(part).iter_batches(
                        dtype=dtype, filters=filters
                    )
                continue
            r = self._open(part)
            at = 0
            for batch in r.iter_batches(dtype=dtype):
                a, b = max(lo, at), min(hi, at + len(batch))
                if a < b:
                    yield batch[a - at : b - at]
                at += len(batch)
                if at >= hi:
                    break

    def to_arrow(
        self, columns: Sequence[str] | None = None, *, filters: Filters = None
    ) -> pyarrow.Table:
        """The records as one ``pyarrow.Table`` (the columns of ``Reader.to_arrow``;
        ``filters`` as for ``to_numpy``)."""
        return self.to_arrow_reader(columns, filters=filters).read_all()

    def to_arrow_reader(
        self, columns: Sequence[str] | None = None, *, filters: Filters = None
    ) -> pyarrow.RecordBatchReader:
        """The records as a ``pyarrow.RecordBatchReader``: the batches of each file in turn,
        about one frame in memory (``filters`` as for ``iter_batches``)."""
        import pyarrow as pa

        first = self._open(0)
        names = first._arrow_names(columns)
        self._filter(filters)  # refused now, not at the first batch
        raw = first._size is not None and not self.schema.fields
        dtype = f"V{first._size}" if raw else None
        schema = first.to_arrow_reader(names).schema
        batches = (
            first._arrow_batch(b, names)
            for b in self.iter_batches(dtype=dtype, filters=filters)
        )
        return pa.RecordBatchReader.from_batches(schema, batches)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The Arrow C stream of ``to_arrow_reader()``."""
        return self.to_arrow_reader().__arrow_c_stream__(requested_schema)

    # ---- life ------------------------------------------------------------------------------

    def close(self) -> None:
        """Closes every file; closing twice is harmless."""
        self._closed = True
        for part in self._parts:
            if part.reader is not None:
                part.reader.close()
                part.reader = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        """An unpickled reader opens the series afresh (a worker process reads it as it is)."""
        return (_series_reader, (self.directory, self.prefix, self._options))

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("sealed" if self.sealed else "open")
        return (
            f"<drelix SeriesReader {self.directory!r} files={len(self._parts)} "
            f"records={len(self)} {state}>"
        )


def _series_reader(
    directory: str, prefix: str, storage_options: dict[str, Any] | None = None
) -> SeriesReader:
    return SeriesReader(directory, prefix=prefix, storage_options=storage_options)


@overload
def open_series(
    directory: str | os.PathLike[str],
    mode: Literal["r"] = "r",
    *,
    prefix: str = "",
    storage_options: dict[str, Any] | None = None,
) -> SeriesReader: ...
@overload
def open_series(
    directory: str | os.PathLike[str],
    mode: Literal["a"],
    *,
    prefix: str = "",
    rotate_bytes: int | None = None,
    rotate_seconds: float | None = None,
    **writer_options: Any,
) -> SeriesWriter: ...
@overload
def open_series(
    directory: str | os.PathLike[str],
    mode: str,
    *,
    prefix: str = "",
    storage_options: dict[str, Any] | None = None,
    rotate_bytes: int | None = None,
    rotate_seconds: float | None = None,
    **writer_options: Any,
) -> SeriesReader | SeriesWriter: ...
def open_series(
    directory: str | os.PathLike[str],
    mode: str = "r",
    *,
    prefix: str = "",
    storage_options: dict[str, Any] | None = None,
    rotate_bytes: int | None = None,
    rotate_seconds: float | None = None,
    **writer_options: Any,
) -> SeriesReader | SeriesWriter:
    """Opens a series: ``mode="r"`` (default) for a ``SeriesReader`` (of a directory, or of
    a prefix in a store: a URL, with ``storage_options`` for its filesystem); ``mode="a"`` for a
    ``SeriesWriter`` that continues it: the last file opened as ``open(path, "a")`` does (an
    interrupted close completed, a torn record cut), or the next one started when the last is
    sealed. New files take the last file's header area, source, level, application headers
    and index unless ``writer_options`` say otherwise; the rotation rules are given afresh.

    Raises ``FileNotFoundError`` when the directory holds no file of the series,
    ``DrelixLockedError`` when another series writer holds it (mode "a"), ``ValueError`` for
    another mode."""
    if mode == "r":
        if rotate_bytes is not None or rotate_seconds is not None or writer_options:
            raise TypeError(
                "a series opened for reading takes only prefix and storage_options"
            )
        return SeriesReader(directory, prefix=prefix, storage_options=storage_options)
    if mode == "a":
        refuse_write(directory, storage_options)
        limits = _rotation(rotate_bytes, rotate_seconds)
        if "lock" in writer_options:
            raise TypeError("a series writer always locks: lock is not an option")
        return _resume(
            os.fspath(directory), _check_prefix(prefix), limits, writer_options
        )
    raise ValueError(f"mode must be 'r' or 'a', not {mode!r}")
