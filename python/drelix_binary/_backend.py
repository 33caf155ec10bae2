"""The one seam between the package and the extension's engine: how a file is read, how a
writable file is driven, how maintenance runs and how a damaged file is surveyed. Nothing
else in the package calls ``_engine`` (``_defaults`` reads its constants).

``_engine`` releases the interpreter lock around file access, compression and decoding,
spreads bulk work over a pool of threads, and its objects may move between threads. Bulk data
reaches it as an address and a length, taken from numpy's array interface, so the caller's
bytes are read in place. Every call runs under ``engine_errors``.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

import numpy as np

from . import _native
from ._buffers import address_of, as_bytes_or_array
from ._errors import engine_errors
from ._load import load_engine
from ._types import FrameEntry

if TYPE_CHECKING:
    from . import _engine
else:
    _engine = load_engine()

Progress = Callable[[int, int], object]
T = TypeVar("T")


class Bulk(NamedTuple):
    """How a bulk write cuts and compresses frames (the engine's keyword arguments)."""

    level: int
    frame_records: int | None
    frame_bytes: int
    threads: int | None  # None: every core


def _entries(frames: Iterable[tuple[int, int, int, int]]) -> list[FrameEntry]:
    return [FrameEntry(*f) for f in frames]


_prefetcher: ThreadPoolExecutor | None = None


def prefetch(fn: Callable[[], T]) -> Future[T]:
    """``fn()`` on a shared background thread: the next frame decodes (without the
    interpreter lock) while the caller works through the current one."""
    global _prefetcher
    if _prefetcher is None:
        _prefetcher = ThreadPoolExecutor(max(2, os.cpu_count() or 2), "drelix-prefetch")
    return _prefetcher.submit(fn)


class FileSource:
    """A file opened for reading, once: its preamble, headers, schema and frames as of
    opening, checked frame decoding (in parallel, straight into the caller's memory) and reads
    of the tail, checked to be the bytes the file held when it was opened. Everything goes
    through the one engine reader, so it all comes from the one file the path named then."""

    def __init__(
        self,
        path: str,
        length: int | None = None,
        fetch: Callable[[int, int], bytes] | None = None,
    ) -> None:
        """``path`` on this machine; or, with ``fetch``, an object of ``length`` bytes that
        ``fetch(offset, size)`` reads by range, named ``path``."""
        self.path = path
        try:
            with engine_errors(path):
                self._r = _engine.Reader(path, length=length, fetch=fetch)
        except IsADirectoryError as e:
            # A directory of drelix files is most likely a series: say what reads one.
            raise IsADirectoryError(
                e.errno, f"{e.strerror} (dx.open_series reads a series)", path
            ) from None
        r = self._r
        self.preamble = r.preamble
        self.headers, self.schema, self.frames = r.headers, r.schema, _entries(r.frames)
        self.data_start, self.tail_start, self.data_end = (
            r.data_start,
            r.tail_start,
            r.file_length,
        )

    @property
    def closed(self) -> bool:
        return self._r.closed

    def refresh(self) -> tuple[bool, list[FrameEntry], list[int | None]] | None:
        """Takes in what writers made visible since opening (or the last refresh): None when
        nothing; else (reopened, frames, their content sizes), where ``reopened`` says the
        path now names another file (a repack) or a rewritten frame list and ``frames`` are
        then all of its frames, else the frames added. ``headers``, ``tail_start`` and
        ``data_end`` follow."""
        change = self._call(self._r.refresh)
        if change is None:
            return None
        reopened, frames, sizes, headers, tail_start, data_end = change
        added = _entries(frames)
        self.frames = added if reopened else self.frames + added
        self.headers, self.tail_start, self.data_end = headers, tail_start, data_end
        if reopened:
            r = self._r
            self.preamble, self.schema, self.data_start = (
                r.preamble,
                r.schema,
                r.data_start,
            )
        return reopened, added, sizes

    def close(self) -> None:
        """Refuses new reads, waits for the running ones (other threads, a prefetch), then
        releases the file."""
        self._r.close()

    def _closed_error(self) -> ValueError:
        return ValueError(f"I/O operation on a closed Reader ({self.path})")

    def _call(self, fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        """``fn(*args, **kwargs)``, a method of the engine reader: ``ValueError`` once the
        source is closed (a close may come between any check and the call). No context
        managers: ``r[i]`` pays this on every call."""
        try:
            return fn(*args, **kwargs)
        except _native.DrelixUsageError:
            if self._r.closed:
                raise self._closed_error() from None
            raise

    def content_sizes(self) -> list[int | None]:
        """Each frame's declared content size, from a few bytes at its start."""
        return self._call(self._r.content_sizes)

    def record_counts(self, index: int) -> tuple[int, int]:
        """(whole records, torn bytes at its end) of frame ``index``, decoded and checked."""
        return self._call(self._r.record_counts, index)

    def record_counts_many(self, indexes: Sequence[int]) -> Iterator[tuple[int, int]]:
        """``record_counts`` of each frame of ``indexes``, in order."""
        for index in indexes:
            yield self.record_counts(index)

    def tail_counts(self) -> tuple[int, int]:
        """(whole records, torn bytes) of the tail."""
        records, _, torn = self._call(self._r.tail_info)
        return records, torn

    def read_tail(self) -> bytes:
        """The tail's whole records, on-disk form, checked."""
        return self._call(self._r.read_tail)

    def read_tail_at(self, offset: int, size: int) -> bytes:
        """``size`` bytes of the tail from ``offset`` (from the tail's start), checked."""
        return self._call(self._r.read_tail_at, offset, size)

    def read_tail_into(self, offset: int, out: np.ndarray) -> None:
        """``read_tail_at`` into the flat uint8 array ``out``, filling it."""
        self._call(self._r.read_tail_into, offset, address_of(out), len(out))

    def expect(self, index: int) -> None:
        """A hint: frame ``index`` is read next. A local file needs none (the kernel reads
        ahead); an object starts fetching it."""

    def decode(self, index: int) -> bytes:
        """Frame ``index``'s content, checked."""
        return self._call(self._r.read_frame, index)

    def decode_many(self, indexes: Iterable[int]) -> Iterator[bytes]:
        """The frames' contents in order, each decoding while the one before is used."""
        pending: Future[bytes] | None = None
        for index in indexes:
            upcoming = prefetch(lambda i=index: self.decode(i))  # type: ignore[misc]
            if pending is not None:
                yield pending.result()
            pending = upcoming
        if pending is not None:
            yield pending.result()

    def decode_into(
        self,
        pieces: Sequence[tuple[int, int, int]],
        sizes: Sequence[int | None],
        out: np.ndarray,
        threads: int | None,
    ) -> None:
        """For each (frame index, first content byte, end content byte), those content bytes,
        one after another, into the flat uint8 array ``out``: whole frames (by their content
        ``sizes``) decoded in parallel straight into it, a frame cut by the range through one
        decode and a copy."""
        at, k = 0, 0
        while k < len(pieces):
            run = k
            while (
                run < len(pieces)
                and pieces[run][1] == 0
                and pieces[run][2] == sizes[pieces[run][0]]
            ):
                run += 1
            if run > k:
                length = sum(hi - lo for _, lo, hi in pieces[k:run])
                self._call(
                    self._r.read_into,
                    [p[0] for p in pieces[k:run]],
                    address_of(out) + at,
                    length,
                    threads=threads,
                )
                at, k = at + length, run
                continue
            index, lo, hi = pieces[k]
            out[at : at + hi - lo] = np.frombuffer(
                self.decode(index), np.uint8, hi - lo, lo
            )
            at, k = at + hi - lo, k + 1


class FileSink:
    """A file opened for writing: create or open-for-append, appends, bulk writes as frames
    compressed in parallel, frame closing, sealing, syncing. Usable from any thread, one
    call at a time."""

    def __init__(self, path: str, w: _engine.Writer) -> None:
        self.path, self._w = path, w

    @classmethod
    def create(
        cls,
        path: str,
        schema: _native.Schema,
        source: str,
        writer: str,
        created_at_millis: int,
        header_area: int,
        user: list[tuple[str, str]],
        index: Sequence[str] = (),
    ) -> FileSink:
        """A new file; ``index``: the fields whose per-frame ranges it keeps."""
        with engine_errors(path):
            w = _engine.Writer.create(
                path,
                schema,
                source=source,
                writer=writer,
                created_at_millis=created_at_millis,
                user=user,
                header_area=header_area,
                index=index,
            )
        return cls(path, w)

    @classmethod
    def open_append(cls, path: str, index: Sequence[str] = ()) -> FileSink:
        """The file open for appending, keeping the statistics it has and those of
        ``index`` (computed from the frames first when new)."""
        with engine_errors(path):
            return cls(path, _engine.Writer.open(path, index=index))

    def append(self, body: Any) -> None:
        """One record: ``bytes``/``bytearray`` as they are, other buffers read in place."""
        data = as_bytes_or_array(body)
        with engine_errors(self.path):
            if isinstance(data, np.ndarray):
                self._w.append_at(address_of(data), len(data))
            else:
                self._w.append(data)

    def extend(self, bodies: Iterable[Any]) -> None:
        for body in bodies:
            self.append(body)

    def write_records(
        self,
        data: np.ndarray,
        size: int,
        chunks: Sequence[tuple[int, int]],
        bulk: Bulk,
    ) -> list[FrameEntry]:
        """Fixed records from the flat uint8 array ``data``: with no ``chunks``, all into the
        tail; else as frames (compressed in parallel), the first of them closing the open
        tail topped up with ``chunks[0]``. Returns the new frames."""
        address = address_of(data)
        with engine_errors(self.path):
            if not chunks:
                self._w.append_fixed_at(address, len(data))
                return []
            start, stop = chunks[0]
            if self._w.tail_records:
                self._w.append_fixed_at(address, (stop - start) * size)
            else:
                stop = 0
            return _entries(
                self._w.write_fixed_at(
                    address + stop * size, len(data) - stop * size, **bulk._asdict()
                )
            )

    def write_bodies(
        self,
        bodies: Sequence[bytes | bytearray],
        chunks: Sequence[tuple[int, int]],
        bulk: Bulk,
    ) -> list[FrameEntry]:
        """``write_records`` for length-prefixed bodies."""
        with engine_errors(self.path):
            if not chunks:
                self.extend(bodies)
                return []
            start, stop = chunks[0]
            if not self._w.tail_records:
                stop = 0
            self.extend(bodies[start:stop])
            return _entries(self._w.write_bodies(bodies[stop:], **bulk._asdict()))

    def check_frame_room(self, frames: int, level: int, first: bytes) -> None:
        """Raises ``DrelixZoneFullError`` unless the zone can list ``frames`` more frames;
        ``first``: the next records in on-disk form (the preview a first close makes)."""
        with engine_errors(self.path):
            self._w.check_frame_room(frames, next=first, level=level)

    def close_frame(self, level: int) -> FrameEntry | None:
        with engine_errors(self.path):
            frame = self._w.close_frame(level=level)
        return None if frame is None else FrameEntry(*frame)

    def seal(self, level: int) -> FrameEntry | None:
        with engine_errors(self.path):
            before = len(self._w.frames)
            self._w.seal(level=level)
            frames = self._w.frames
        return FrameEntry(*frames[-1]) if len(frames) > before else None

    def flush(self) -> None:
        with engine_errors(self.path):
            self._w.flush()

    def sync(self) -> None:
        with engine_errors(self.path):
            self._w.sync()

    def set_user_header(self, key: str, value: str) -> None:
        with engine_errors(self.path):
            self._w.set_user_header(key, value)

    def headers(self) -> dict[str, str]:
        return self._w.headers

    def schema(self) -> _native.Schema:
        return self._w.schema

    def frames(self) -> list[FrameEntry]:
        return _entries(self._w.frames)

    def content_sizes(self) -> list[int | None]:
        """Each frame's declared content size, from a few bytes at its start."""
        return self._w.content_sizes()

    def records(self) -> int:
        return self._w.records

    def tail(self) -> tuple[int, int]:
        """(records, raw bytes) appended since the last frame."""
        return self._w.tail_records, self._w.tail_bytes

    def close(self) -> None:
        """Writes the buffer into the tail and releases the file."""
        with engine_errors(self.path):
            self._w.close()


# Maintenance runs in _engine: on a worker thread, reporting progress, stopped by Ctrl-C.


def validate(
    path: str,
    progress: Progress | None,
    length: int | None = None,
    fetch: Callable[[int, int], bytes] | None = None,
    threads: int | None = None,
) -> tuple[list[str], int, int]:
    """Checks the file at ``path``, or (with ``fetch``) the object read through it."""
    with engine_errors(path):
        return _engine.validate(
            path, progress=progress, length=length, fetch=fetch, threads=threads
        )


def rebuild_headers(
    path: str, fix: bool, progress: Progress | None
) -> tuple[list[str], bool]:
    with engine_errors(path):
        return _engine.rebuild_headers(path, fix, progress=progress)


def repack(
    path: str,
    level: int,
    header_area: int | None,
    progress: Progress | None,
    threads: int | None = None,
) -> tuple[int, int, int]:
    with engine_errors(path):
        return _engine.repack(
            path, level, header_area, progress=progress, threads=threads
        )


class Survey(NamedTuple):
    """A damaged file as it stands (``survey``)."""

    schema: _native.Schema
    headers: dict[str, str]
    header_area: int
    frames: list[FrameEntry]
    #: one per frame: "" when it may be read, else why it must be left behind
    faults: list[str]
    data_start: int
    tail_start: int
    tail_length: int
    #: the tail begins with a zstd frame the end of the file cuts short: no records
    tail_cut: bool


def survey(path: str) -> Survey:
    """What a possibly damaged file still offers: its preamble, zone and frame list must read,
    but frames may run past a cut end of the file or break the order rule."""
    with engine_errors(path):
        schema, headers, area, frames, faults, start, tail, length, cut = (
            _engine.survey(path)
        )
    return Survey(
        schema, headers, area, _entries(frames), faults, start, tail, length, cut
    )


def read_listed_frame(path: str, found: Survey, index: int) -> bytes:
    """The content of the surveyed frame ``index``: its bytes checked against the listed hash,
    then decoded."""
    with engine_errors(path):
        return _engine.read_listed_frame(path, found.data_start, found.frames[index])


def read_surveyed_tail(path: str, found: Survey) -> bytes:
    """The bytes of the surveyed tail: through a reader, which checks that the tail is still
    the one it opened, when the file opens as a sound one; else (a frame list that breaks the
    order rule) as the stored bytes of an unlisted frame spanning it."""
    try:
        source = FileSource(path)
    except _native.DrelixMalformedError:
        span = FrameEntry(0, found.tail_start - found.data_start, found.tail_length, 0)
        with engine_errors(path):
            return _engine.read_listed_frame(path, found.data_start, span)
    with contextlib.closing(source):
        return source.read_tail_at(0, found.tail_length)
