"""Files that live elsewhere: objects in any store fsspec reaches (``s3://``, ``gs://``,
``az://``, ``http(s)://``, ``memory://``, chained forms) and seekable binary file objects.

An object is read by range. Opening fetches the preamble and the header zone in one request;
the zone lists every frame's offset, length and checksum, so a read fetches exactly the frames
it needs, a window of them at a time in parallel (the filesystem's ``cat_ranges``), the next
window while the engine checks and decodes the current one. The engine reads an object through
``fetch(offset, size)``: every byte it returns is checked as for a file on disk (the listed
XXH64 of each frame, the zone again after a read of the tail). Objects are never written in
place: writing one means writing a local file and uploading it.
"""

from __future__ import annotations

import functools
import os
import threading
from collections.abc import Generator, Iterable, Iterator, Sequence
from concurrent.futures import Future
from typing import IO, Any, Callable, TypeVar, Union

import numpy as np

from . import _native
from ._backend import FileSource, Progress, prefetch
from ._backend import validate as validate_file
from ._defaults import DEFAULT_HEADER_AREA
from ._types import FrameEntry

T = TypeVar("T")
Target = Union[str, "os.PathLike[str]", IO[bytes]]

_PREAMBLE = 16
# The most a zstd frame header takes: what the engine reads to learn a frame's content size.
_FRAME_HEADER = 18
# A window of frames fetched at once: enough requests in flight to hide a store's latency,
# few enough bytes that two windows (the one decoding, the one arriving) stay small.
_WINDOW_BYTES = 64 << 20
_WINDOW_FRAMES = 64
# A request costs a store far more than some KiB more in its answer. So the first request
# takes this much past the zone too (a small object's frames, whole; the first bytes of many
# small frames), and ranges close together (at most _REQUEST_GAP bytes apart) are asked for
# together, up to _REQUEST_BYTES a request: a file of many small frames costs a few requests,
# not one per frame, while large frames still arrive over several connections at once.
_AHEAD = 64 << 10
_REQUEST_GAP = 256 << 10
_REQUEST_BYTES = 8 << 20


def is_url(target: object) -> bool:
    """Whether ``target`` names an object through fsspec rather than a path on this machine:
    ``protocol://...`` or a chained ``a::b://...``, but not ``file://``."""
    if not isinstance(target, str):
        return False
    scheme, sep, _ = target.partition("://")
    if not sep or not scheme or "/" in scheme:
        return False
    return scheme.split("::")[-1] != "file" or "::" in scheme


def local_path(target: str | os.PathLike[str]) -> str:
    """The path a ``file://`` URL names; any other path as it is."""
    path = os.fspath(target)
    return path.removeprefix("file://")


def is_file_object(target: object) -> bool:
    return hasattr(target, "read") and hasattr(target, "seek")


def refuse_write(target: object, storage_options: dict[str, Any] | None = None) -> None:
    """Raises ``DrelixUsageError`` for a target a writer cannot write in place (and
    ``TypeError`` for ``storage_options`` with a local path)."""
    if storage_options and not is_url(target):
        raise TypeError(
            f"{target}: storage_options applies to URLs, not to local paths"
        )
    if is_url(target) or is_file_object(target):
        name = target if isinstance(target, str) else _object_name(target)
        raise _native.DrelixUsageError(
            f"{name}: drelix files are written in place, which objects in a store cannot be: "
            "write a local file and upload it (or use dx.dask.to_drelix, which does)"
        )


def filesystem(url: str, storage_options: dict[str, Any] | None) -> tuple[Any, str]:
    """(fsspec filesystem, path in it) for ``url``."""
    try:
        import fsspec  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError(
            f"{url}: reading URLs needs fsspec (pip install 'drelix-binary[remote]') and the "
            "protocol's own package (s3fs, gcsfs, adlfs, ...)"
        ) from None
    fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    return fs, path


def _object_name(f: object) -> str:
    """What messages call a file object: its name (an open file's path, fsspec's full URL),
    else its repr."""
    for attribute in ("full_name", "name"):
        name = getattr(f, attribute, None)
        if isinstance(name, str):
            return name
    return repr(f)


class _Store:
    """An object in an fsspec filesystem, read by range."""

    def __init__(self, fs: Any, path: str) -> None:
        self.fs, self.path = fs, path

    def size(self, again: bool = False) -> int:
        if again:
            self.fs.invalidate_cache(self.path)
        return int(self.fs.size(self.path))

    def cat(self, offset: int, size: int) -> bytes:
        return bytes(self.fs.cat_file(self.path, start=offset, end=offset + size))

    def cat_many(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        if len(ranges) == 1:
            return [self.cat(*ranges[0])]
        got = self.fs.cat_ranges(
            [self.path] * len(ranges),
            [o for o, _ in ranges],
            [o + n for o, n in ranges],
            on_error="raise",
        )
        return [bytes(b) for b in got]


class _FileObject:
    """A seekable binary file object, read by range under a lock (one position to share)."""

    def __init__(self, f: IO[bytes]) -> None:
        self.f, self._lock = f, threading.Lock()

    def size(self, again: bool = False) -> int:
        with self._lock:
            return int(self.f.seek(0, os.SEEK_END))

    def cat(self, offset: int, size: int) -> bytes:
        with self._lock:
            self.f.seek(offset)
            return bytes(self.f.read(size))

    def cat_many(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        return [self.cat(o, n) for o, n in ranges]


Store = Union[_Store, _FileObject]


def _requests(
    ranges: Sequence[tuple[int, int]],
) -> list[tuple[int, int, list[tuple[int, int]]]]:
    """(start, end, ranges served) of the requests that fetch ``ranges``: in file order, a
    range joins the request before it when it begins at most ``_REQUEST_GAP`` bytes after its
    end and the request stays within ``_REQUEST_BYTES``."""
    out: list[tuple[int, int, list[tuple[int, int]]]] = []
    for offset, size in sorted(ranges):
        if out:
            start, end, inside = out[-1]
            if offset - end <= _REQUEST_GAP and offset + size - start <= _REQUEST_BYTES:
                inside.append((offset, size))
                out[-1] = (start, max(end, offset + size), inside)
                continue
        out.append((offset, offset + size, [(offset, size)]))
    return out


class ObjectSource(FileSource):
    """A drelix file that is an object read by range: what ``FileSource`` offers for a file
    on disk, with the bytes each call needs fetched ahead of it, in parallel."""

    def __init__(self, name: str, store: Store) -> None:
        self._store = store
        self._pieces: dict[int, bytes] = {}
        # Frames fetched ahead of a read that may follow: (their indexes, the bytes to come).
        self._ahead: dict[tuple[int, ...], Future[dict[int, bytes]]] = {}
        self._failure: BaseException | None = None
        # Asked afresh: a listing an fsspec filesystem remembers may predate the object.
        length = store.size(again=True)
        self._held: tuple[int, bytes, int] = (0, b"", 0)
        head = store.cat(0, min(length, _PREAMBLE + DEFAULT_HEADER_AREA + _AHEAD))
        # While the engine opens the object, the whole answer serves it: one version of it.
        self._held = (0, head, len(head))
        try:
            self._guarded(lambda: FileSource.__init__(self, name, length, self._fetch))
        finally:
            self._held = (0, b"", 0)
        # What refresh() compares: an object is only ever replaced whole.
        self._zone = head[: self.data_start] if len(head) >= self.data_start else None
        # Then only the frames' bytes in it: frames are checked against their hashes whichever
        # version of the object they come from, and a later version only adds frames after
        # these. The tail's bytes are always asked for anew, as is the zone that vouches for
        # them, so both come from the object as it then is.
        self._held = (
            self.data_start,
            head[self.data_start : self.data_start + _AHEAD],
            self.tail_start,
        )

    # ---- the bytes the engine reads ------------------------------------------------------

    def _fetch(self, offset: int, size: int) -> bytes:
        """What the engine calls (from its threads) for ``size`` bytes at ``offset``: from the
        head or a piece fetched ahead when they hold them, else one request."""
        held = self._held_bytes(offset, size)
        if held is not None:
            return held
        piece = self._pieces.get(offset)
        if piece is not None and len(piece) >= size:
            return piece if len(piece) == size else piece[:size]
        try:
            return self._store.cat(offset, size)
        except BaseException as e:
            self._failure = e
            raise

    def _held_bytes(self, offset: int, size: int) -> bytes | None:
        start, held, limit = self._held
        at = offset - start
        if at < 0 or at + size > len(held) or offset + size > limit:
            return None
        return held[at : at + size]

    def _guarded(self, fn: Callable[[], T]) -> T:
        """``fn()``; an engine error that a failed fetch caused is raised as the fetch's own
        exception (a missing object, a refused credential, a lost connection)."""
        try:
            return fn()
        except BaseException as e:
            failure, self._failure = self._failure, None
            if not isinstance(e, (OSError, _native.DrelixError)):
                raise
            if failure is not None and failure is not e:
                raise failure from None
            # Damage names the object: a reader of many objects must say which one.
            name = getattr(self, "path", None)
            if (
                isinstance(e, _native.DrelixMalformedError)
                and name
                and name not in str(e)
            ):
                raise _native.DrelixMalformedError(f"{name}: {e}") from None
            raise

    def _call(self, fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        return self._guarded(lambda: FileSource._call(self, fn, *args, **kwargs))

    def _ranges_of(
        self, indexes: Iterable[int], peek: bool = False
    ) -> list[tuple[int, int]]:
        frames = self.frames
        return [
            (
                self.data_start + frames[i].offset,
                min(frames[i].length, _FRAME_HEADER) if peek else frames[i].length,
            )
            for i in indexes
        ]

    def _load(self, ranges: Sequence[tuple[int, int]]) -> dict[int, bytes]:
        """The bytes of each (offset, size) range, by offset, in as few requests as
        ``_requests`` makes of them, made at once."""
        requests = _requests([r for r in ranges if self._held_bytes(*r) is None])
        if not requests:
            return {}
        # Called here, not by the engine: a failure is raised to the caller as it is.
        got = self._store.cat_many([(start, end - start) for start, end, _ in requests])
        pieces = {}
        for (start, _, inside), data in zip(requests, got):
            for offset, size in inside:
                at = offset - start
                whole = at == 0 and size == len(data)
                pieces[offset] = data if whole else data[at : at + size]
        return pieces

    def _windows(self, indexes: Sequence[int]) -> Iterator[list[int]]:
        window: list[int] = []
        held = 0
        for i in indexes:
            length = self.frames[i].length
            if window and (
                held + length > _WINDOW_BYTES or len(window) >= _WINDOW_FRAMES
            ):
                yield window
                window, held = [], 0
            window.append(i)
            held += length
        if window:
            yield window

    def _fetched(self, indexes: Sequence[int]) -> Generator[list[int], None, None]:
        """The windows of ``indexes``, each with its frames' bytes in hand while the caller
        uses it, the next one arriving meanwhile (the first may be on its way already:
        ``expect``)."""
        windows = list(self._windows(indexes))
        if not windows:
            return
        arriving = [functools.partial(self._load, self._ranges_of(w)) for w in windows]
        pending = self._ahead.pop(tuple(windows[0]), None) or prefetch(arriving[0])
        for k, window in enumerate(windows):
            pieces = self._guarded(pending.result)
            if k + 1 < len(windows):
                pending = prefetch(arriving[k + 1])
            self._pieces.update(pieces)
            try:
                yield window
            finally:
                for offset in pieces:
                    self._pieces.pop(offset, None)

    def expect(self, index: int) -> None:
        """Starts fetching frame ``index``, which the caller reads next (iteration,
        ``iter_batches`` and the Arrow stream read a file in order, a frame at a time)."""
        if 0 <= index < len(self.frames) and (index,) not in self._ahead:
            load = functools.partial(self._load, self._ranges_of([index]))
            self._ahead[(index,)] = prefetch(load)
            while (
                len(self._ahead) > 2
            ):  # a caller that stopped in the middle: the oldest go
                del self._ahead[next(iter(self._ahead))]

    def decode(self, index: int) -> bytes:
        if (index,) not in self._ahead:
            return FileSource.decode(self, index)
        windows = self._fetched([index])
        try:
            next(windows)  # its bytes in hand, from the fetch begun ahead
            return FileSource.decode(self, index)
        finally:
            windows.close()

    # ---- what FileSource reads, fetched ahead ----------------------------------------------

    def content_sizes(self) -> list[int | None]:
        peeks = self._guarded(
            lambda: self._load(self._ranges_of(range(len(self.frames)), True))
        )
        self._pieces.update(peeks)
        try:
            return FileSource.content_sizes(self)
        finally:
            for offset in peeks:
                self._pieces.pop(offset, None)

    def record_counts_many(self, indexes: Sequence[int]) -> Iterator[tuple[int, int]]:
        for window in self._fetched(indexes):
            for i in window:
                yield self.record_counts(i)

    def decode_many(self, indexes: Iterable[int]) -> Iterator[bytes]:
        for window in self._fetched(list(indexes)):
            yield from FileSource.decode_many(self, window)

    def decode_into(
        self,
        pieces: Sequence[tuple[int, int, int]],
        sizes: Sequence[int | None],
        out: np.ndarray,
        threads: int | None,
    ) -> None:
        at, k = 0, 0
        for window in self._fetched([p[0] for p in pieces]):
            part = pieces[k : k + len(window)]
            length = sum(hi - lo for _, lo, hi in part)
            FileSource.decode_into(self, part, sizes, out[at : at + length], threads)
            at, k = at + length, k + len(window)

    def refresh(self) -> tuple[bool, list[FrameEntry], list[int | None]] | None:
        """An object changes only by being replaced whole: when its length or zone differ from
        those taken, the new one is taken and counted afresh."""
        length = self._guarded(lambda: self._store.size(again=True))
        if length == self.data_end and self._zone is not None:
            zone = self._guarded(lambda: self._store.cat(0, self.data_start))
            if zone == self._zone:
                return None
        fresh = ObjectSource(self.path, self._store)
        old, self._r = self._r, fresh._r
        old.close()
        for name in (
            "preamble",
            "headers",
            "schema",
            "frames",
            "data_start",
            "tail_start",
        ):
            setattr(self, name, getattr(fresh, name))
        self.data_end, self._zone, self._held = fresh.data_end, fresh._zone, fresh._held
        self._ahead = {}
        return True, list(self.frames), self.content_sizes()


def open_source(
    target: Target, storage_options: dict[str, Any] | None
) -> tuple[str, FileSource]:
    """(name, source) for a path, a URL or a file object."""
    if is_file_object(target):
        if storage_options:
            raise TypeError("storage_options applies to URLs, not to file objects")
        f: Any = target
        name = _object_name(f)
        return name, ObjectSource(name, _FileObject(f))
    name = os.fspath(target)  # type: ignore[arg-type]
    if not is_url(name):
        if storage_options:
            raise TypeError(
                f"{name}: storage_options applies to URLs, not to local paths"
            )
        path = local_path(name)
        return path, FileSource(path)
    fs, path = filesystem(name, storage_options)
    if _is_local(fs):
        return path, FileSource(path)
    return name, ObjectSource(name, _Store(fs, path))


def _is_local(fs: Any) -> bool:
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    return protocol in ("file", "local")


def validate_object(
    target: Target, storage_options: dict[str, Any] | None, progress: Progress | None
) -> tuple[list[str], int, int]:
    """``validate`` of a URL or file object: every frame fetched (several at once), checked
    and decoded; nothing written."""
    name, source = open_source(target, storage_options)
    if not isinstance(source, ObjectSource):
        source.close()
        return validate_file(name, progress)
    source.close()
    store = source._store
    length = store.size()
    return source._guarded(
        lambda: validate_file(
            name,
            progress,
            length=length,
            fetch=source._fetch,
            threads=4 * (os.cpu_count() or 1),
        )
    )


__all__ = [
    "ObjectSource",
    "filesystem",
    "is_url",
    "local_path",
    "open_source",
    "refuse_write",
    "validate_object",
]
