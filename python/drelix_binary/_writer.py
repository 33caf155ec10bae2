"""``Writer``: a drelix file open for appending, with a lock and a frame policy."""

from __future__ import annotations

import fcntl
import itertools
import os
import time
import weakref
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from ._backend import Bulk, FileSink, FrameEntry, content_sizes
from ._buffers import Body, as_bytes, as_bytes_or_array, as_uint8
from ._errors import DrelixLockedError, translate_errors
from ._reader import FrameInfo, frame_info

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

DEFAULT_HEADER_AREA = 262144
DEFAULT_FRAME_BYTES = 64 << 20
MAX_FRAME_BYTES = 1 << 30
PREFIX = 2  # bytes of a record's length prefix


def lock_file(path: str, lock: bool) -> int:
    """A read-only descriptor of ``path``, holding ``flock(LOCK_EX | LOCK_NB)`` when ``lock``.

    The lock belongs to this descriptor alone, so a second writer fails in this process as in
    another. Raises ``DrelixLockedError`` when another holds it, ``FileNotFoundError`` and
    other ``OSError``s when the file cannot be opened."""
    # O_NONBLOCK: a FIFO at the path must not hold the open for ever; the engine then refuses
    # whatever is not a regular file, and flock is asked without waiting anyway.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    if lock:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise DrelixLockedError(path) from None
        except BaseException:
            os.close(fd)
            raise
    return fd


def _release(sink: FileSink, fd: int) -> None:
    """Reclaims the container (its buffered records reach the file) and drops the lock."""
    try:
        sink.close()
    finally:
        os.close(fd)


def _check_policy(
    frame_records: int | None, frame_bytes: int | None, frame_seconds: float | None
) -> None:
    if frame_records is not None and frame_records < 1:
        raise ValueError(f"frame_records must be at least 1, not {frame_records}")
    if frame_bytes is not None and not 1 <= frame_bytes <= MAX_FRAME_BYTES:
        raise ValueError(
            f"frame_bytes must be between 1 and {MAX_FRAME_BYTES}, not {frame_bytes}"
        )
    if frame_seconds is not None and frame_seconds <= 0:
        raise ValueError(f"frame_seconds must be positive, not {frame_seconds}")


class Writer:
    """A drelix file open for appending, made by ``create()`` or ``open(path, "a")``.

    Records go into the file's uncompressed tail; the writer closes the tail into a zstd frame
    (crash-safely, through the seal journal) whenever the frame policy says so: after
    ``frame_records`` records, ``frame_bytes`` raw bytes (never more than 1 GiB, well below
    the 4 GiB a reader accepts) or ``frame_seconds`` seconds since the frame began (checked at
    each append). Frame ids count up from the largest id in the file plus one.

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
    ) -> None:
        _check_policy(frame_records, frame_bytes, frame_seconds)
        self.path = path
        self.level = level
        self.frame_records = frame_records
        self.frame_bytes = MAX_FRAME_BYTES if frame_bytes is None else frame_bytes
        self.frame_seconds = frame_seconds
        self._sink, self._fd = sink, fd
        self._finalizer = weakref.finalize(self, _release, sink, fd)
        self.schema: _native.Schema = sink.schema()
        self._size = self.schema.layout.fixed_size
        self._tail_n, self._tail_raw = sink.tail()
        self._data_start = 16 + _native.peek_headers(path)[0].header_area
        self._frame_began = time.monotonic()

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
        """The closed frames, in file order, their content sizes read from a few bytes of
        each (``records`` is ``None`` for length-prefixed records: a ``Reader`` counts them)."""
        frames = self._sink_open().frames()
        sizes = content_sizes(self.path)
        infos = []
        for i, (f, declared) in enumerate(zip(frames, sizes)):
            whole = (
                declared // self._size if self._size and declared is not None else None
            )
            infos.append(frame_info(i, f, declared, whole))
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
        self._sink_open().append(body)
        self._tail_n += 1
        self._tail_raw += len(body) + (0 if self._size else PREFIX)
        self._apply_policy()

    def extend(self, records: Iterable[Any]) -> None:
        """Appends every record of an iterable, as ``append`` does, closing frames by the
        policy. A record that fails the checks stops the call; those before it are kept."""
        for record in records:
            self.append(record)

    def _due(self) -> bool:
        return bool(
            (self.frame_records is not None and self._tail_n >= self.frame_records)
            or self._tail_raw >= self.frame_bytes
            or (
                self.frame_seconds is not None
                and self._tail_n
                and time.monotonic() - self._frame_began >= self.frame_seconds
            )
        )

    def _apply_policy(self) -> None:
        if self._due():
            self.close_frame()

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
        size = self._size
        if size is None:
            raise _native.DrelixUsageError(
                "length-prefixed records: use write_bodies() or extend()"
            )
        if (
            isinstance(data, np.ndarray)
            and data.dtype.fields is not None
            and data.dtype.itemsize != size
        ):
            raise _native.DrelixUsageError(
                f"dtype {data.dtype} is {data.dtype.itemsize} bytes, the records are {size}"
            )
        flat = as_uint8(data)
        if len(flat) % size:
            raise _native.DrelixUsageError(
                f"{len(flat)} bytes are not a whole number of {size}-byte records"
            )
        chunks = self._chunks(
            len(flat) // size, lambda start, stop: (stop - start) * size
        )
        sink = self._sink_open()
        self._bulk(
            chunks,
            lambda frames: sink.write_records(
                flat, size, frames, self._bulk_options(threads)
            ),
            lambda start, stop: (stop - start) * size,
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
        chunks = self._chunks(
            len(checked), lambda start, stop: ends[stop] - ends[start]
        )
        sink = self._sink_open()
        self._bulk(
            chunks,
            lambda frames: sink.write_bodies(
                checked, frames, self._bulk_options(threads)
            ),
            lambda start, stop: ends[stop] - ends[start],
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
        chunks: list[tuple[int, int]],
        run: Callable[[list[tuple[int, int]]], list[FrameEntry]],
        raw: Callable[[int, int], int],
    ) -> None:
        """Runs a bulk call: into the tail when it stays within the open frame, else as
        frames (the open tail part of the first)."""
        if not chunks:
            return
        start, stop = chunks[0]
        n, b = stop - start + self._tail_n, raw(start, stop) + self._tail_raw
        fills = (self.frame_records is not None and n >= self.frame_records) or (
            b >= self.frame_bytes
        )
        if len(chunks) == 1 and not fills:
            run([])  # tail only
            self._tail_n, self._tail_raw = n, b
            self._apply_policy()
            return
        if run(chunks):
            self._tail_n, self._tail_raw = 0, 0
            self._frame_began = time.monotonic()

    # ---- frames, headers, durability -------------------------------------------------------

    def _closed_frame(self, frame: FrameEntry | None) -> FrameInfo | None:
        if frame is None:
            return None
        index = len(self._sink.frames()) - 1
        content = self._tail_raw - (0 if self._size else PREFIX * self._tail_n)
        info = frame_info(index, frame, content, self._tail_n)
        self._tail_n, self._tail_raw = 0, 0
        self._frame_began = time.monotonic()
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
        """Writes every appended record into the file's tail, without syncing: the records
        survive a crash of this process, not a power loss."""
        self._sink_open().flush()

    def sync(self) -> None:
        """Writes every appended record into the tail and syncs the file (``fsync``), without
        closing a frame: the records survive a power loss. The tail carries no checksum, so
        what this does not cover is damage: a record torn by a later crash is cut off when the
        file is next opened for appending, and a disk that loses synced bytes goes unnoticed
        until a frame is closed over them. Closing frames is what checks records."""
        self._sink_open().sync()

    def set_user_header(self, key: str, value: str) -> None:
        """Sets an application header (a key not starting with ``_``) and writes the header
        zone. Raises ``DrelixUsageError`` for an invalid key and ``DrelixZoneFullError`` if
        the zone cannot hold it."""
        self._sink_open().set_user_header(key, value)

    # ---- life ------------------------------------------------------------------------------

    def close(self) -> None:
        """Closes the tail into a frame and releases the file and its lock. Closing twice is harmless. If the close fails, the file and lock are released
        anyway and the records stay in the tail."""
        if not self._finalizer.alive:
            return
        try:
            self.close_frame()
        finally:
            self._finalizer()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is None:
            self.close()
        else:
            self._finalizer()  # the records reach the tail; the exception propagates

    def __reduce__(self) -> Any:
        raise TypeError(
            f"a Writer cannot be pickled (it holds {self.path}'s lock); pickle the path"
        )

    def __repr__(self) -> str:
        if self.closed:
            return f"<drelix Writer {self.path!r} closed>"
        return (
            f"<drelix Writer {self.path!r} schema={self.schema.name!r} records={self.records} "
            f"frames={len(self._sink.frames())} level={self.level}>"
        )


def _options(
    frame_records: int | None, frame_bytes: int | None, frame_seconds: float | None
) -> dict[str, Any]:
    _check_policy(frame_records, frame_bytes, frame_seconds)
    return {
        "frame_records": frame_records,
        "frame_bytes": frame_bytes,
        "frame_seconds": frame_seconds,
    }


def create(
    path: str | os.PathLike[str],
    schema: _native.Schema,
    *,
    source: str = "",
    writer: str | None = None,
    user: Mapping[str, str] | None = None,
    header_area: int = DEFAULT_HEADER_AREA,
    level: int = _native.HOT_LEVEL,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
) -> Writer:
    """Creates a new file and returns its ``Writer``.

    ``schema``: what the records look like (``schema()``). ``source``: free text saying where
    the data comes from (``_source``). ``writer``: the program writing it (``_writer``;
    default "drelix_binary <version>"). ``user``: application headers. ``header_area``: the
    header zone's size in bytes; the default 256 KiB lists about 4000 frames, and every frame
    close rewrites it twice (journal and file), which at 64 MiB frames costs well under 1 %.
    ``level``: zstd level of each frame (0 stores frames raw). ``lock``: take the writer lock.
    ``frame_records``, ``frame_bytes``, ``frame_seconds``: the frame policy (``Writer``).
    The creation time is now.

    Raises ``FileExistsError`` if the path exists, other ``OSError``s, ``DrelixUsageError``
    for an invalid header key, ``DrelixZoneFullError`` when the headers do not fit.
    """
    p = os.fspath(path)
    opts = _options(frame_records, frame_bytes, frame_seconds)
    with translate_errors(p):
        sink = FileSink.create(
            p,
            schema,
            source,
            writer or f"drelix_binary {_native.__version__}",
            int(time.time() * 1000),
            header_area,
            list((user or {}).items()),
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
) -> Writer:
    """Opens an existing file for appending (``open(path, "a")``): takes the lock, completes
    or discards an interrupted frame close, cuts a torn record off the tail. ``level``
    defaults to the level the file records (``_compression_level``); the other options are
    those of ``create``.

    Raises ``FileNotFoundError``, ``DrelixLockedError``, ``DrelixMalformedError``."""
    p = os.fspath(path)
    opts = _options(frame_records, frame_bytes, frame_seconds)
    fd = lock_file(p, lock)
    try:
        sink = FileSink.open_append(p)
    except BaseException:
        os.close(fd)
        raise
    if level is None:
        recorded = sink.headers().get("_compression_level", "")
        level = int(recorded) if recorded.lstrip("-").isdigit() else _native.HOT_LEVEL
    return Writer(p, sink, fd, level=level, **opts)
