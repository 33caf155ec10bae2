"""``Writer``: a drelix file open for appending, with a lock and a frame policy."""

from __future__ import annotations

import itertools
import math
import os
import time
import weakref
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from ._backend import Bulk, FileSink
from ._buffers import Body, as_bytes, as_bytes_or_array, as_uint8
from ._defaults import (
    DEFAULT_FRAME_BYTES,
    DEFAULT_HEADER_AREA,
    HOT_LEVEL,
    MAX_FRAME_BYTES,
)
from ._lock import lock_file, release
from ._remote import local_path, refuse_write
from ._schema import NUMPY
from ._types import FrameEntry, FrameInfo

if TYPE_CHECKING:
    from typing_extensions import Self

__all__ = [
    "DEFAULT_FRAME_BYTES",
    "DEFAULT_HEADER_AREA",
    "MAX_FRAME_BYTES",
    "Writer",
    "create",
    "open_writer",
]

PREFIX = 2  # bytes of a record's length prefix
EXTEND_BATCH = 4096  # records extend() checks, and plans the frames of, at once


def _release(sink: FileSink, fd: int, owner: int) -> None:
    """Reclaims the container (its buffered records reach the file) and drops the lock. In a
    forked child it does nothing: the lock's descriptor went at the fork, and the records are
    the parent's to write (the engine's writer writes nothing there either)."""
    if os.getpid() != owner:
        return
    try:
        sink.close()
    finally:
        release(fd)


def _same_type(got: np.dtype[Any], expected: np.dtype[Any]) -> bool:
    """A field's numpy type against the schema's: equal, byte order included; any 16 bytes
    (``V16``, ``S16``) for a ``uuid``."""
    if expected.kind == "V":
        return got.kind in "VS" and got.itemsize == expected.itemsize
    return got == expected


def _count(name: str, value: Any, low: int, high: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if value < low or (high is not None and value > high):
        bound = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{name} must be {bound}, not {value}")
    return int(value)


def _seconds(name: str, value: Any) -> float:
    """A duration of the policy: a finite positive number (``bool`` refused)."""
    if isinstance(value, bool) or not isinstance(
        value, (int, float, np.integer, np.floating)
    ):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be finite and positive, not {value}")
    return float(value)


def _check_policy(
    frame_records: int | None,
    frame_bytes: int | None,
    frame_seconds: float | None,
    flush_seconds: float | None,
) -> dict[str, Any]:
    """The frame and flush policy, checked: counts are integers (``bool`` refused), seconds
    finite positive numbers. Raises ``TypeError`` or ``ValueError`` naming the parameter."""
    seconds = {
        name: None if value is None else _seconds(name, value)
        for name, value in (
            ("frame_seconds", frame_seconds),
            ("flush_seconds", flush_seconds),
        )
    }
    return {
        "frame_records": None
        if frame_records is None
        else _count("frame_records", frame_records, 1),
        "frame_bytes": None
        if frame_bytes is None
        else _count("frame_bytes", frame_bytes, 1, MAX_FRAME_BYTES),
        **seconds,
    }


class Writer:
    """A drelix file open for appending, made by ``create()`` or ``open(path, "a")``.

    Records go into the file's uncompressed tail; the writer closes the tail into a zstd frame
    (crash-safely, through the seal journal) whenever the frame policy says so: after
    ``frame_records`` records, ``frame_bytes`` raw bytes (never more than 1 GiB, well below
    the 4 GiB a reader accepts) or ``frame_seconds`` seconds since the frame began (checked at
    each append). Frame ids count up from the largest id in the file plus one.

    Appended records wait in the writer's memory until a flush makes them visible to readers
    (not durable: ``sync`` does that). Besides ``flush()``, the buffer filling (64 KiB), a
    frame close, ``sync()`` and ``close()``, the flush policy ``flush_seconds`` flushes at an
    append (or bulk write) that comes ``flush_seconds`` or more after the last flush, so that
    while records keep coming, each reaches readers within about that bound. There is no timer
    thread: a writer that stops appending keeps its last records until it appends, flushes or
    closes. Every frame close flushes and restarts the flush clock, so a ``flush_seconds`` no
    smaller than ``frame_seconds`` adds no flush of its own.

    A writer holds an advisory lock (``flock``) on the file unless opened with ``lock=False``,
    so a second writer fails at once with ``DrelixLockedError``. It may be handed to another
    thread and used there, by one thread at a time. It cannot be pickled.

    ``with`` closes it; if the block raises, the records appended so far are written to the
    tail (not closed into a frame), the lock is released and the exception propagates.
    """

    def __init__(
        self,
        path: str,
        sink: FileSink,
        fd: int,
        *,
        level: int,
        frame_records: int | None,
        frame_bytes: int | None,
        frame_seconds: float | None,
        flush_seconds: float | None,
    ) -> None:
        """Made by ``create`` and ``open_writer``, which check the policy first."""
        self.path = path
        self.level = level
        self.frame_records = frame_records
        self.frame_bytes: int = frame_bytes or MAX_FRAME_BYTES
        self.frame_seconds = frame_seconds
        self.flush_seconds = flush_seconds
        self._sink = sink
        self._owner = os.getpid()
        self._finalizer = weakref.finalize(self, _release, sink, fd, self._owner)
        self.schema: _native.Schema = sink.schema()
        self._size = self.schema.layout.fixed_size
        self._tail_n, self._tail_raw = sink.tail()
        self._frame_began = self._flushed_at = time.monotonic()
        # The content size of each frame, as far as known: frames never change once listed.
        self._sizes: list[int | None] = []

    # ---- state -----------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def _sink_open(self) -> FileSink:
        if not self._finalizer.alive:
            raise ValueError(f"I/O operation on a closed Writer ({self.path})")
        return self._sink

    @property
    def records(self) -> int:
        """Every record in the file: in frames, in the tail, and appended but not yet written."""
        return self._sink_open().records()

    @property
    def frames(self) -> list[FrameInfo]:
        """The closed frames, in file order, with their content sizes (``records`` is ``None``
        for length-prefixed records: a ``Reader`` counts them)."""
        sink = self._sink_open()
        frames = sink.frames()
        if len(self._sizes) < len(
            frames
        ):  # frames this writer did not close one by one
            self._sizes = sink.content_sizes()
        infos = []
        for i, (f, declared) in enumerate(zip(frames, self._sizes)):
            whole = (
                declared // self._size if self._size and declared is not None else None
            )
            infos.append(FrameInfo.of(i, f, declared, whole))
        return infos

    @property
    def headers(self) -> dict[str, str]:
        """Every header as this writer holds it, system and application alike."""
        return self._sink_open().headers()

    # ---- appending -------------------------------------------------------------------------

    def _check(self, body: Body) -> None:
        if self._size is not None:
            if len(body) != self._size:
                raise _native.DrelixUsageError(
                    f"record is {len(body)} bytes, the schema says {self._size}"
                )
        elif len(body) > 0xFFFF:
            raise _native.DrelixUsageError(
                f"record of {len(body)} bytes overflows the u16 prefix"
            )

    def append(self, record: Any) -> None:
        """Appends one record: any bytes-like object (``bytes``, ``bytearray``,
        ``memoryview``, a numpy row or array) of the schema's record size, or of at most 65535
        bytes under the length-prefixed layout. May close a frame (the frame policy).

        Raises ``TypeError`` for a non-buffer, ``DrelixUsageError`` for a record of the wrong
        size."""
        body = as_bytes_or_array(record)
        self._check(body)
        self._append(body)

    def _append(self, body: Body) -> None:
        """One checked record, refused (``DrelixZoneFullError``) before it is taken when the
        frame it completes could not be listed."""
        sink = self._sink_open()
        raw = len(body) + (0 if self._size else PREFIX)
        due = self._due(1, raw)
        if due:
            sink.check_frame_room(1, self.level, self._on_disk([body]))
        sink.append(body)
        self._tail_n += 1
        self._tail_raw += raw
        if due:
            self.close_frame()
        elif self.flush_seconds is not None:  # no call per record without the policy
            self._flush_if_due()

    def extend(self, records: Iterable[Any]) -> None:
        """Appends every record of an iterable, as ``append`` does, closing frames by the
        policy. The records are taken in batches of ``EXTEND_BATCH``: a record that fails
        the checks, or a header zone that cannot list the frames a batch would close, stops
        the call before that batch is taken. A ``DrelixZoneFullError`` says how many records
        of the call were stored when some were (earlier batches, or records before a
        ``frame_seconds`` close that found the zone full)."""
        taken, before = iter(records), self.records
        while batch := [
            as_bytes_or_array(r) for r in itertools.islice(taken, EXTEND_BATCH)
        ]:
            try:
                self._extend_batch(batch)
            except _native.DrelixZoneFullError as e:
                stored = self.records - before
                if stored:
                    raise _native.DrelixZoneFullError(
                        f"{e} ({stored} records of this call were stored)"
                    ) from e
                raise

    def _extend_batch(self, bodies: list[Body]) -> None:
        for body in bodies:
            self._check(body)
        closes = sum(close for _, close in self._extend_plan(bodies))
        if closes:
            first = self._on_disk(bodies)
            self._sink_open().check_frame_room(closes, self.level, first)
        for body in bodies:
            self._append(body)

    def _extend_plan(self, bodies: Sequence[Body]) -> list[tuple[int, bool]]:
        """How appending ``bodies`` one by one cuts them, by the frame policy: (stop, closes)
        for each run of records that ends in a close by count or size, then the rest, whose
        close comes when ``frame_seconds`` have passed (``closes`` then: a close to make room
        for too)."""
        pieces, n, raw = [], self._tail_n, self._tail_raw
        extra = 0 if self._size else PREFIX
        for i, body in enumerate(bodies):
            n, raw = n + 1, raw + len(body) + extra
            if self._count_due(n, raw):
                pieces.append((i + 1, True))
                n, raw = 0, 0
        if not pieces or pieces[-1][0] < len(bodies):
            pieces.append((len(bodies), n > 0 and self._time_due()))
        return pieces

    def _bulk_plan(
        self, n: int, raw: Callable[[int, int], int]
    ) -> tuple[list[tuple[int, int]], int]:
        """How a bulk call of ``n`` records (``raw(start, stop)``: a range's raw size) goes
        in: (the frames it writes, the closes it makes). No frames when the records stay
        within the open frame: they go into the tail, and one close follows when the policy
        is then due."""
        chunks = self._chunks(n, raw)
        if not chunks:
            return [], 0
        start, stop = chunks[0]
        k, b = stop - start, raw(start, stop)
        if len(chunks) == 1 and not self._count_due(
            self._tail_n + k, self._tail_raw + b
        ):
            return [], int(self._due(k, b))
        return chunks, len(chunks)

    def _on_disk(self, bodies: Sequence[Body]) -> bytes:
        """The first records of ``bodies`` as the tail holds them (for the preview a first
        close makes)."""
        first = bodies[:3]
        if self._size:
            return b"".join(bytes(b) for b in first)
        return b"".join(len(b).to_bytes(PREFIX, "little") + bytes(b) for b in first)

    def _count_due(self, n: int, raw: int) -> bool:
        return (self.frame_records is not None and n >= self.frame_records) or (
            raw >= self.frame_bytes
        )

    def _due(self, n: int = 0, raw: int = 0) -> bool:
        """Whether the policy closes the frame once ``n`` more records of ``raw`` bytes are
        in the tail."""
        n, raw = self._tail_n + n, self._tail_raw + raw
        return self._count_due(n, raw) or bool(n and self._time_due())

    def _time_due(self) -> bool:
        """Whether ``frame_seconds`` have passed since the open frame began."""
        return (
            self.frame_seconds is not None
            and time.monotonic() - self._frame_began >= self.frame_seconds
        )

    def _apply_policy(self) -> None:
        if self._due():
            self.close_frame()
        else:
            self._flush_if_due()

    def _flush_if_due(self) -> None:
        """The flush policy, after records were taken: flushes when ``flush_seconds`` have
        passed since the last flush."""
        if (
            self.flush_seconds is not None
            and time.monotonic() - self._flushed_at >= self.flush_seconds
        ):
            self.flush()

    def _whole_records(self, data: Any) -> tuple[np.ndarray, int]:
        """(the flat uint8 bytes of ``data``, the record size): ``write``'s checks of what it
        is given (the layout, a structured array's fields, whole records)."""
        size = self._size
        if size is None:
            raise _native.DrelixUsageError(
                "length-prefixed records: use write_bodies() or extend()"
            )
        if isinstance(data, np.ndarray) and data.dtype.fields is not None:
            self._check_fields(data.dtype)
        flat = as_uint8(data)
        if len(flat) % size:
            raise _native.DrelixUsageError(
                f"{len(flat)} bytes are not a whole number of {size}-byte records"
            )
        return flat, size

    def write(self, data: Any, *, threads: int | None = None) -> None:
        """Appends many fixed-size records at once from a numpy array (of any dtype, the
        records' bytes in order) or any bytes-like buffer holding whole records.

        Data that does not fill the open frame by the policy goes into the tail, as with
        ``extend``. Larger data is written as frames straight from memory (compressed in
        parallel where the engine allows): the open frame is topped up and closed, the rest
        cut into frames by the policy, and the call ends on a frame boundary (its last frame
        may be short). ``threads``: how many threads compress (default: every core).

        Raises ``DrelixUsageError`` under the length-prefixed layout (use ``write_bodies``),
        or when the data is not a whole number of records."""
        flat, size = self._whole_records(data)
        sink = self._sink_open()
        self._bulk(
            len(flat) // size,
            lambda frames: sink.write_records(
                flat, size, frames, self._bulk_options(threads)
            ),
            lambda start, stop: (stop - start) * size,
            lambda: flat[: 3 * size].tobytes(),
        )

    def _check_fields(self, dtype: np.dtype[Any]) -> None:
        """Refuses a structured dtype whose fields are not the schema's (names and offsets
        in offset order, types with their byte order where the format names them), naming
        the first difference: its bytes would be stored as they are, under the schema's
        meaning."""
        if dtype.itemsize != self._size:
            raise _native.DrelixUsageError(
                f"dtype {dtype} is {dtype.itemsize} bytes, the records are {self._size}"
            )
        fields = dict(dtype.fields or {})
        got = sorted(fields, key=lambda name: fields[name][1])
        want = sorted(self.schema.fields, key=lambda f: f.offset)
        for i in range(max(len(got), len(want))):
            if i == len(want):
                raise _native.DrelixUsageError(f"the schema has no field {got[i]!r}")
            f = want[i]
            if i == len(got):
                raise _native.DrelixUsageError(f"the array has no field {f.name!r}")
            name, (dt, at) = got[i], fields[got[i]][:2]
            if name != f.name:
                raise _native.DrelixUsageError(
                    f"field {i} of the array is {name!r}, the schema's is {f.name!r}"
                )
            if at != f.offset:
                raise _native.DrelixUsageError(
                    f"field {name!r} is at offset {at}, the schema's at {f.offset}"
                )
            expected = NUMPY.get(f.ty)
            if expected is not None and not _same_type(dt, expected):
                raise _native.DrelixUsageError(
                    f"field {name!r} is {dt.str!r}, the schema's is {expected.str!r}"
                )

    def write_bodies(
        self, bodies: Sequence[Any], *, threads: int | None = None
    ) -> None:
        """Appends many length-prefixed records at once (a sequence of bytes-like bodies of at
        most 65535 bytes each), as ``write`` does for fixed records.

        Raises ``DrelixUsageError`` under a fixed layout (use ``write``) or for a body too
        long (nothing of the call is appended then)."""
        if self._size is not None:
            raise _native.DrelixUsageError(
                "fixed-size records: use write() or extend()"
            )
        checked = [as_bytes(b) for b in bodies]
        for body in checked:
            self._check(body)
        ends = list(itertools.accumulate((len(b) + PREFIX for b in checked), initial=0))
        sink = self._sink_open()
        self._bulk(
            len(checked),
            lambda frames: sink.write_bodies(
                checked, frames, self._bulk_options(threads)
            ),
            lambda start, stop: ends[stop] - ends[start],
            lambda: self._on_disk(checked),
        )

    def _bulk_options(self, threads: int | None) -> Bulk:
        return Bulk(self.level, self.frame_records, self.frame_bytes, threads)

    def _chunks(self, n: int, raw: Any) -> list[tuple[int, int]]:
        """Record ranges of a bulk call, one per frame: the rest of the open frame, then
        frames of at most ``frame_records`` records and ``frame_bytes`` raw bytes (at least
        one record each). ``raw(start, stop)`` is the raw size of a range."""
        chunks, start, tail_n, tail_raw = [], 0, self._tail_n, self._tail_raw
        while start < n:
            limit = (
                self.frame_records - tail_n
                if self.frame_records is not None
                else n - start
            )
            lo, hi = start + 1, min(n, start + max(1, limit))
            while lo < hi:  # the largest stop whose frame stays within frame_bytes
                mid = (lo + hi + 1) // 2
                if tail_raw + raw(start, mid) <= self.frame_bytes:
                    lo = mid
                else:
                    hi = mid - 1
            chunks.append((start, lo))
            start, tail_n, tail_raw = lo, 0, 0
        return chunks

    def _bulk(
        self,
        n: int,
        run: Callable[[list[tuple[int, int]]], list[FrameEntry]],
        raw: Callable[[int, int], int],
        first: Callable[[], bytes],
    ) -> None:
        """Runs a bulk call of ``n`` records: into the tail when it stays within the open
        frame, else as frames (the open tail part of the first). Every frame it will close
        must fit in the header zone before any record is taken (``DrelixZoneFullError``
        otherwise)."""
        if not n:
            return
        chunks, closes = self._bulk_plan(n, raw)
        if closes:
            self._sink_open().check_frame_room(closes, self.level, first())
        if not chunks:
            run([])  # tail only
            self._tail_n, self._tail_raw = self._tail_n + n, self._tail_raw + raw(0, n)
            self._apply_policy()
            return
        if run(chunks):
            self._tail_n, self._tail_raw = 0, 0
            self._frame_began = self._flushed_at = time.monotonic()

    # ---- frames, headers, durability -------------------------------------------------------

    def _closed_frame(self, frame: FrameEntry | None) -> FrameInfo | None:
        if frame is None:
            return None
        index = len(self._sink.frames()) - 1
        info = FrameInfo.of(index, frame, self._tail_raw, self._tail_n)
        if len(self._sizes) == index:
            self._sizes.append(self._tail_raw)
        self._tail_n, self._tail_raw = 0, 0
        self._frame_began = self._flushed_at = time.monotonic()
        return info

    def close_frame(self) -> FrameInfo | None:
        """Compresses the tail into one frame (at ``level``), crash-safely: once this returns,
        the frame and the header zone listing it are durable. Returns the new frame, or
        ``None`` when the tail was empty.

        Raises ``DrelixZoneFullError`` when the header zone cannot list another frame (the
        tail stays as it was; ``repack`` the file with a larger ``header_area``)."""
        return self._closed_frame(self._sink_open().close_frame(self.level))

    def seal(self) -> FrameInfo | None:
        """Closes the tail into a frame as ``close_frame`` does and marks the file finished
        (the ``_sealed`` header). Appending after a seal is allowed; readers see the mark.
        Returns the frame it closed, if any."""
        return self._closed_frame(self._sink_open().seal(self.level))

    def flush(self) -> None:
        """Writes every appended record into the file's tail, without syncing: readers see
        them from then on, and they survive a crash of this process, not a power loss."""
        self._sink_open().flush()
        self._flushed_at = time.monotonic()

    def sync(self) -> None:
        """Writes every appended record into the tail and syncs the file (``fsync``), without
        closing a frame: the records survive a power loss. The tail carries no checksum, so
        what this does not cover is damage: a record torn by a later crash is cut off when the
        file is next opened for appending, and a disk that loses synced bytes goes unnoticed
        until a frame is closed over them. Closing frames is what checks records."""
        self._sink_open().sync()
        self._flushed_at = time.monotonic()

    def set_user_header(self, key: str, value: str) -> None:
        """Sets an application header (a key not starting with ``_``) and writes the header
        zone. Raises ``DrelixUsageError`` for an invalid key and ``DrelixZoneFullError`` if
        the zone cannot hold it."""
        self._sink_open().set_user_header(key, value)

    # ---- life ------------------------------------------------------------------------------

    def close(self) -> None:
        """Closes the tail into a frame and releases the file and its lock. Closing twice is
        harmless. If the close fails, the file and lock are released anyway and the records
        stay in the tail; but a close refused because another thread's call is running
        (``RuntimeError`` "writer is busy") changes nothing: the writer stays open, locked."""
        if not self._finalizer.alive:
            return
        try:
            self.close_frame()
        except RuntimeError:
            raise  # busy: nothing was done
        except BaseException:
            self._let_go()
            raise
        self._let_go()

    def _let_go(self) -> None:
        """Releases the file (the buffered records reach the tail), then the lock; refused,
        with nothing changed, while another thread's call is running."""
        try:
            self._sink.close()
        except RuntimeError:
            raise  # busy: the engine still holds the file, so the lock stays
        except BaseException:
            self._finalizer()
            raise
        self._finalizer()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is None:
            self.close()
        elif self._finalizer.alive:
            self._let_go()  # the records reach the tail; the exception propagates

    def __reduce__(self) -> Any:
        raise TypeError(
            f"a Writer cannot be pickled (it holds {self.path}'s lock); pickle the path"
        )

    def __repr__(self) -> str:
        if self.closed:
            return f"<drelix Writer {self.path!r} closed>"
        if self._owner != os.getpid():
            return f"<drelix Writer {self.path!r} of process {self._owner}>"
        return (
            f"<drelix Writer {self.path!r} schema={self.schema.name!r} records={self.records} "
            f"frames={len(self._sink.frames())} level={self.level}>"
        )


def _index(index: Sequence[str] | None) -> list[str]:
    """The fields to index, as a list (a lone ``str`` is one field)."""
    if index is None:
        return []
    return [index] if isinstance(index, str) else list(index)


def create(
    path: str | os.PathLike[str],
    schema: _native.Schema,
    *,
    source: str = "",
    writer: str | None = None,
    user: Mapping[str, str] | None = None,
    header_area: int = DEFAULT_HEADER_AREA,
    level: int = HOT_LEVEL,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
    flush_seconds: float | None = None,
    storage_options: dict[str, Any] | None = None,
    index: Sequence[str] | None = None,
) -> Writer:
    """Creates a new file and returns its ``Writer``.

    ``schema``: what the records look like (``schema()``). ``source``: free text saying where
    the data comes from (``_source``). ``writer``: the program writing it (``_writer``;
    default "drelix_binary <version>"). ``user``: application headers. ``header_area``: the
    header zone's size in bytes; the default 256 KiB lists about 4000 frames, and every frame
    close rewrites it twice (journal and file), which at 64 MiB frames costs well under 1 %.
    ``level``: zstd level of each frame (0 stores frames raw). ``lock``: take the writer lock.
    ``frame_records``, ``frame_bytes``, ``frame_seconds``: the frame policy; ``flush_seconds``:
    the flush policy, which bounds how long appended records stay invisible to readers while
    appends go on (both in ``Writer``). ``index``: numeric fields of a fixed layout whose
    minimum and maximum per frame every close records in the zone (``drelix_stats_<field>``),
    so that filtered reads skip frames; each indexed field takes up to 50 bytes of the zone per
    frame (42 for an ``i64``), which the frame-room checks count.
    The creation time is now.

    Raises ``FileExistsError`` if the path exists, other ``OSError``s, ``DrelixUsageError``
    for an invalid header key, a field ``index`` cannot take (unknown, not numeric, or
    length-prefixed records) or a URL (an object in a store cannot be written in place:
    write a local file and upload it; ``storage_options`` is taken only to say so),
    ``DrelixZoneFullError`` when the headers do not fit.
    """
    refuse_write(path, storage_options)
    p = local_path(path)
    opts = _check_policy(frame_records, frame_bytes, frame_seconds, flush_seconds)
    sink = FileSink.create(
        p,
        schema,
        source,
        writer or f"drelix_binary {_native.__version__}",
        int(time.time() * 1000),
        header_area,
        list((user or {}).items()),
        _index(index),
    )
    try:
        fd = lock_file(p, lock)
    except BaseException:
        sink.close()
        raise
    return Writer(p, sink, fd, level=level, **opts)


def open_writer(
    path: str | os.PathLike[str],
    *,
    level: int | None = None,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
    flush_seconds: float | None = None,
    storage_options: dict[str, Any] | None = None,
    index: Sequence[str] | None = None,
) -> Writer:
    """Opens an existing file for appending (``open(path, "a")``): takes the lock, completes
    or discards an interrupted frame close, cuts a torn record off the tail. ``level``
    defaults to the level the file records (``_compression_level``); the other options are
    those of ``create``. The writer keeps the statistics of every field the file indexes;
    ``index`` adds fields, whose ranges for the frames already there are computed (the frames
    decoded) before this returns.

    Raises ``FileNotFoundError``, ``DrelixLockedError``, ``DrelixMalformedError``,
    ``DrelixUsageError`` for a URL, as ``create`` does."""
    refuse_write(path, storage_options)
    p = local_path(path)
    opts = _check_policy(frame_records, frame_bytes, frame_seconds, flush_seconds)
    fd = lock_file(p, lock)
    try:
        sink = FileSink.open_append(p, _index(index))
    except BaseException:
        release(fd)
        raise
    if level is None:
        recorded = sink.headers().get("_compression_level", "")
        level = int(recorded) if recorded.lstrip("-").isdigit() else HOT_LEVEL
    return Writer(p, sink, fd, level=level, **opts)
