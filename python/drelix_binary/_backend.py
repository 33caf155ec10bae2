"""The one seam between the public API and the extension: how frames are decoded and how a
writable file is driven. ``Reader`` and ``Writer`` use nothing of the extension but this.

This version runs over ``_native`` alone. A ``_native.Container`` may only be used on the
thread that made it, so the reader opens a short-lived read-only container per call (about
half a millisecond with thousands of frames listed) and the writer keeps its container on a
thread of its own, to which every call is handed; appended records are batched on the
caller's side, so a call crosses threads once per megabyte, not once per record.
"""

from __future__ import annotations

import os
import queue
import threading
import traceback
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future
from typing import Any, TypeVar

import numpy as np

from . import _native
from ._errors import translate_errors

T = TypeVar("T")
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
HEADER_PROBE = (
    18  # magic, descriptor, window, dictionary id (4) and content size (8), at most
)
BATCH_BYTES = 1 << 20


def declared_size(head: bytes, length: int) -> int | None:
    """The content size a frame declares in its first bytes: ``length`` for a frame stored
    raw (level 0), the zstd frame header's content size, or ``None`` when it declares none."""
    if length < 4 or head[:4] != ZSTD_MAGIC:
        return length
    if len(head) < 5:
        return None
    descriptor = head[4]
    fcs_flag, single, dict_flag = descriptor >> 6, (descriptor >> 5) & 1, descriptor & 3
    width = (1, 2, 4, 8)[fcs_flag] if fcs_flag or single else 0
    if width == 0:
        return None
    at = 5 + (0 if single else 1) + (0, 1, 2, 4)[dict_flag]
    field = head[at : at + width]
    if len(field) < width:
        return None
    value = int.from_bytes(field, "little")
    return value + 256 if width == 2 else value


class FileSource:
    """A file opened for reading: its preamble, headers, schema and frames as of opening, one
    descriptor for positioned reads, and frame decoding."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            with translate_errors(path):
                self.preamble, self.headers = _native.peek_headers(path)
                c = _native.Container.open_read(path)
                self.schema, self.frames = c.schema(), c.frames()
                del c
            self.data_start = 16 + self.preamble.header_area
            self.data_end = os.fstat(self.fd).st_size
        except BaseException:
            os.close(self.fd)
            raise

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def pread(self, size: int, offset: int) -> bytes:
        """``size`` bytes at file offset ``offset`` (fewer only at the end of the file)."""
        if self.fd < 0:
            raise ValueError("I/O operation on a closed Reader")
        parts, done = [], 0
        while done < size:
            part = os.pread(self.fd, size - done, offset + done)
            if not part:
                break
            parts.append(part)
            done += len(part)
        return b"".join(parts)

    def declared_sizes(self) -> list[int | None]:
        """Each frame's declared content size, from a few bytes at its start."""
        return [
            declared_size(
                self.pread(min(f.len, HEADER_PROBE), self.data_start + f.offset), f.len
            )
            for f in self.frames
        ]

    def decode(self, index: int) -> bytes:
        """Frame ``index``'s content, its zstd checksum checked."""
        return next(self.decode_many([index]))

    def decode_many(self, indexes: Iterable[int]) -> Iterator[bytes]:
        for index in indexes:
            if self.fd < 0:
                raise ValueError("I/O operation on a closed Reader")
            with translate_errors(self.path):
                c = _native.Container.open_read(self.path)
                data = c.read_frame_at(index)
                del c
            yield data

    def decode_into(
        self,
        pieces: Sequence[tuple[int, int, int]],
        out: np.ndarray,
        threads: int | None,
    ) -> None:
        """For each (frame index, first content byte, end content byte), the content bytes in
        that range, written one after another into the flat uint8 array ``out``."""
        del (
            threads
        )  # one thread: the extension holds the interpreter lock while decoding
        at = 0
        for (index, lo, hi), data in zip(
            pieces, self.decode_many(p[0] for p in pieces)
        ):
            out[at : at + hi - lo] = np.frombuffer(data, np.uint8, hi - lo, lo)
            at += hi - lo


class _Owner:
    """A thread that owns one ``_native.Container`` and runs every call on it.

    The container sits in a one-item list that only this thread empties, so it is created,
    used and reclaimed on one thread (reclaiming writes its buffered records), and no frame or
    traceback handed to another thread holds it.
    """

    def __init__(self, opener: Callable[[], _native.Container]) -> None:
        self._calls: queue.SimpleQueue[
            tuple[Callable[[list[_native.Container]], Any], Future[Any]] | None
        ]
        self._calls = queue.SimpleQueue()
        started: Future[None] = Future()
        self._thread = threading.Thread(
            target=self._run, args=(opener, started), name="drelix-writer", daemon=True
        )
        self._thread.start()
        started.result()

    def _run(
        self, opener: Callable[[], _native.Container], started: Future[None]
    ) -> None:
        box: list[_native.Container] = []
        try:
            box.append(opener())
        except BaseException as exc:  # noqa: BLE001 - handed to the opening thread
            started.set_exception(exc)
            return
        started.set_result(None)
        while (item := self._calls.get()) is not None:
            fn, done = item
            try:
                done.set_result(fn(box))
            except BaseException as exc:  # noqa: BLE001 - handed to the calling thread
                traceback.clear_frames(
                    exc.__traceback__
                )  # their locals hold the container
                done.set_exception(exc)
            del fn, done, item
        box.clear()

    def call(self, fn: Callable[[list[_native.Container]], T]) -> T:
        if not self._thread.is_alive():
            raise ValueError("I/O operation on a closed Writer")
        done: Future[T] = Future()
        self._calls.put((fn, done))
        return done.result()

    def stop(self) -> None:
        if self._thread.is_alive():
            self._calls.put(None)
            self._thread.join()


class FileSink:
    """A file opened for writing: create or open-for-append, appends (batched), frame
    closing, sealing, syncing."""

    def __init__(self, path: str, opener: Callable[[], _native.Container]) -> None:
        self.path = path
        self._pending: list[bytes] = []
        self._pending_bytes = 0
        with translate_errors(path):
            self._owner = _Owner(opener)

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
    ) -> FileSink:
        return cls(
            path,
            lambda: _native.Container.create(
                path, schema, source, writer, created_at_millis, header_area, user
            ),
        )

    @classmethod
    def open_append(cls, path: str) -> FileSink:
        return cls(path, lambda: _native.Container.open_append(path))

    def _do(self, fn: Callable[[_native.Container], T]) -> T:
        """``fn(container)`` on the owner thread, after the batched appends."""
        pending, self._pending, self._pending_bytes = self._pending, [], 0

        def run(box: list[_native.Container]) -> T:
            c = box[0]
            for body in pending:
                c.append_record(body)
            return fn(c)

        with translate_errors(self.path):
            return self._owner.call(run)

    def append(self, body: bytes) -> None:
        """Queues one checked record body; it reaches the container within a megabyte."""
        self._pending.append(body)
        self._pending_bytes += len(body) + 16
        if self._pending_bytes >= BATCH_BYTES:
            self._do(lambda c: None)

    def extend(self, bodies: list[bytes]) -> None:
        self._pending.extend(bodies)
        self._do(lambda c: None)

    def pending(self) -> int:
        return len(self._pending)

    def write_records(
        self,
        data: np.ndarray,
        size: int,
        chunks: Sequence[tuple[int, int]],
        level: int,
        ids: Iterator[int],
    ) -> list[_native.Frame]:
        """Fixed records from the flat uint8 array ``data``: with no ``chunks``, all of them
        into the tail; else each (start, stop) record range closed into one frame (the first
        together with the open tail). Returns the new frames."""
        layout = _native.RecordLayout.fixed(size)
        if not chunks:
            self.extend(_native.split_records(data.tobytes(), layout)[0])
            return []
        return self._frames_of(
            [
                _native.split_records(
                    data[start * size : stop * size].tobytes(), layout
                )[0]
                for start, stop in chunks
            ],
            level,
            ids,
        )

    def write_bodies(
        self,
        bodies: Sequence[bytes],
        chunks: Sequence[tuple[int, int]],
        level: int,
        ids: Iterator[int],
    ) -> list[_native.Frame]:
        """``write_records`` for length-prefixed bodies."""
        if not chunks:
            self.extend(list(bodies))
            return []
        return self._frames_of([list(bodies[a:b]) for a, b in chunks], level, ids)

    def _frames_of(
        self, groups: list[list[bytes]], level: int, ids: Iterator[int]
    ) -> list[_native.Frame]:
        made = []
        for records in groups:
            self._pending.extend(records)
            frame = self.close_frame(next(ids), level)
            assert frame is not None
            made.append(frame)
        return made

    def close_frame(self, frame_id: int, level: int) -> _native.Frame | None:
        def run(c: _native.Container) -> _native.Frame | None:
            before = len(c.frames())
            c.close_frame(frame_id, level)
            frames = c.frames()
            return frames[-1] if len(frames) > before else None

        return self._do(run)

    def seal(self, frame_id: int, level: int) -> _native.Frame | None:
        def run(c: _native.Container) -> _native.Frame | None:
            before = len(c.frames())
            c.seal(frame_id, level)
            frames = c.frames()
            return frames[-1] if len(frames) > before else None

        return self._do(run)

    def flush(self) -> None:
        self._do(lambda c: c.flush_data())

    def sync(self, fd: int) -> None:
        self.flush()
        os.fsync(fd)

    def flush_headers(self) -> None:
        self._do(lambda c: c.flush_headers())

    def set_user_header(self, key: str, value: str) -> None:
        self._do(lambda c: c.set_user_header(key, value))

    def headers(self) -> dict[str, str]:
        return self._do(lambda c: c.headers())

    def schema(self) -> _native.Schema:
        return self._do(lambda c: c.schema())

    def frames(self) -> list[_native.Frame]:
        return self._do(lambda c: c.frames())

    def records(self) -> int:
        return (
            self._do(lambda c: c.records())
            if self._pending
            else self._owner.call(lambda b: b[0].records())
        )

    def close(self) -> None:
        """Hands the batched records over and reclaims the container on its thread (which
        writes its buffer); the file is closed."""
        try:
            if self._pending:
                self._do(lambda c: None)
        finally:
            self._owner.stop()

    @property
    def closed(self) -> bool:
        return not self._owner._thread.is_alive()
