"""``Reader``: a drelix file opened for reading, as a sequence of records."""

from __future__ import annotations

import bisect
import operator
import os
import threading
from collections.abc import Iterator, Sequence
from dataclasses import asdict
from typing import IO, TYPE_CHECKING, Any, Union, overload

import numpy as np

from . import _native
from ._defaults import JOURNAL_SUFFIX, REPACK_SUFFIX
from ._filters import Filter, parse_filters
from ._remote import ObjectSource, is_file_object, open_source
from ._schema import dtype_of
from ._types import FrameInfo

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, unused-ignore]
    from typing_extensions import Self

__all__ = ["FrameInfo", "Reader"]

DTypeLike = Union[np.dtype, str, type, None]
Filters = Union[Sequence[Sequence[Any]], None]

# Bytes of fixed-size records turned into objects at a time while iterating, and records of
# the tail read at a time.
_ITER_SLICE = 1 << 20
_ITER_RECORDS = 1 << 16


class Reader:
    """A drelix file open for reading: a read-only sequence of records (``bytes``).

    Opening reads the preamble, the header zone and a few bytes per frame; records are decoded
    frame by frame when asked for. A reader never writes to the file and takes no lock. It is a
    snapshot: the records it counted when it was opened (or last refreshed) read back exactly
    as written, whatever writers do meanwhile. When a writer closes a frame over the tail, the
    reader finds the tail's records in the new frame; a close that a crashed writer left
    unfinished (its journal beside the file) is read as the journal says it ends. ``refresh()``
    takes in what writers added since; ``dx.follow`` reads a file as it grows.

    ``path`` may also be a URL fsspec reaches (``s3://``, ``gs://``, ``https://``,
    ``memory://``, ...; ``storage_options`` for its filesystem) or a seekable binary file
    object: the zone is fetched at open, then only the frames each read needs, checked alike.

    A reader may be handed to another thread (used by one thread at a time, like a file
    object) and pickled: an unpickled reader reopens the same path (or URL, with the same
    ``storage_options``); a reader of a file object cannot be pickled.

    Raises ``FileNotFoundError`` (or another ``OSError``) when the file cannot be read, and
    ``DrelixMalformedError`` when it is not a drelix file.
    """

    def __init__(
        self,
        path: str | os.PathLike[str] | IO[bytes],
        *,
        storage_options: dict[str, Any] | None = None,
    ) -> None:
        self._lock = threading.RLock()
        self.path: str
        self.path, self._src = open_source(path, storage_options)
        # An unpickled reader opens the same thing again: a path, or a URL with its options.
        self._reopen = None if is_file_object(path) else (path, storage_options)
        src = self._src
        self.schema: _native.Schema = src.schema
        self.layout: _native.RecordLayout = src.schema.layout
        self.headers: dict[str, str] = dict(src.headers)
        self.preamble: _native.Preamble = src.preamble
        self._size = self.layout.fixed_size
        try:
            self.dtype: np.dtype | None = dtype_of(self.schema)
        except _native.DrelixUsageError:
            self.dtype = None
        self._tail_bytes = max(0, src.data_end - src.tail_start)
        self._sizes: list[int | None] | None = None
        # (whole records, torn bytes) of each frame, once known.
        self._shapes: list[tuple[int, int] | None] = [None] * len(src.frames)
        self._tail_count: tuple[int, int] | None = None
        self._starts: list[int] | None = None
        self._cache: tuple[int, bytes] | None = None
        # Counts the files this reader has read: refresh() may move it to the one a repack put
        # in place of the first, whose frames are others.
        self._opened = 1

    def refresh(self) -> int:
        """Takes in what writers made visible since the reader was opened or last refreshed:
        records flushed into the tail, frames closed, a seal; returns how many records were
        added. ``len``, ``frames``, ``sealed``, indexing and iteration then see them.

        A file a repack replaced (or a rebuild whose frame list no longer begins with this
        one's) is taken as it now is, its records counted afresh: repacking keeps them all, in
        order, so a reader goes on at the same index. A file that now holds fewer records than
        were counted raises ``DrelixMalformedError``."""
        with self._lock:
            before = len(self)
            change = self._src.refresh()
            if change is None:
                return 0
            reopened, added, sizes = change
            src = self._src
            self.headers = dict(src.headers)
            self._tail_bytes = max(0, src.data_end - src.tail_start)
            self._tail_count = None
            if reopened:
                self._opened += 1
                self.schema, self.preamble = src.schema, src.preamble
                self._sizes, self._cache = sizes, None
                self._shapes = [None] * len(src.frames)
                self._starts = None
            else:
                if self._sizes is not None:
                    self._sizes.extend(sizes)
                self._shapes.extend([None] * len(added))
                if self._starts is not None:
                    # The tail's records are now the new frames' first ones: counted anew
                    # from the end of the frames known before.
                    del self._starts[-1]
                    for i in range(len(src.frames) - len(added), len(src.frames)):
                        self._starts.append(self._starts[-1] + self._frame_count(i))
                    self._starts.append(self._starts[-1] + self.tail_records)
            after = len(self)
            if after < before:
                raise _native.DrelixMalformedError(
                    f"{self.path}: the file holds {after} records, {before} were counted: "
                    f"it was replaced or cut; reopen it"
                )
            return after - before

    # ---- metadata --------------------------------------------------------------------------

    @property
    def user_headers(self) -> dict[str, str]:
        """The application's headers (those not starting with ``_``)."""
        return {k: v for k, v in self.headers.items() if not k.startswith("_")}

    @property
    def sealed(self) -> bool:
        """Whether the writer marked the file finished."""
        return self.headers.get("_sealed") == "true"

    @property
    def closed(self) -> bool:
        return self._src.closed

    def _content_sizes(self) -> list[int | None]:
        with self._lock:
            if self._sizes is None:
                self._sizes = self._src.content_sizes()
            return self._sizes

    def _frame_shape(self, index: int) -> tuple[int, int]:
        """(whole records, torn bytes at its end) of frame ``index``: from its declared size
        for fixed records, decoding only a frame that declares none (or holds length-prefixed
        records)."""
        shape = self._shapes[index]
        if shape is None:
            size = self._content_sizes()[index] if self._size else None
            if self._size and size is not None:
                shape = divmod(size, self._size)
            else:
                shape = self._src.record_counts(index)
            self._shapes[index] = shape
        return shape

    def _count_frames(self) -> None:
        """Learns the shape of every frame whose content size does not give it, all at once:
        a remote source fetches those frames together."""
        if self._size and None not in self._content_sizes():
            return
        sizes = self._content_sizes() if self._size else [None] * len(self._shapes)
        unknown = [
            i
            for i, shape in enumerate(self._shapes)
            if shape is None and sizes[i] is None
        ]
        for i, shape in zip(unknown, self._src.record_counts_many(unknown)):
            self._shapes[i] = shape

    def _frame_count(self, index: int) -> int:
        """Records in frame ``index``; every read counts frames here, so a frame that ends in
        a torn record is refused by all of them alike."""
        records, torn = self._frame_shape(index)
        if torn:
            raise self._torn(f"frame {index}", torn)
        return records

    def _torn(self, where: str, torn: int) -> _native.DrelixMalformedError:
        return _native.DrelixMalformedError(
            f"{self.path}: {where} ends in a torn record of {torn} bytes"
        )

    @property
    def frames(self) -> list[FrameInfo]:
        """The closed frames, in file order."""
        sizes = self._content_sizes()
        shapes = [
            self._frame_shape(i) if self._size else self._shapes[i]
            for i in range(len(sizes))
        ]
        return [
            FrameInfo.of(i, f, sizes[i], None if s is None or s[1] else s[0])
            for i, (f, s) in enumerate(zip(self._src.frames, shapes))
        ]

    @property
    def tail_records(self) -> int:
        """Whole records in the uncompressed tail after the last frame."""
        return self._tail()[0]

    @property
    def tail_torn_bytes(self) -> int:
        """Bytes at the end of the tail that do not make a whole record (a crash cut them)."""
        return self._tail()[1]

    def _tail(self) -> tuple[int, int]:
        if self._tail_count is None:
            if self._size:
                self._tail_count = divmod(self._tail_bytes, self._size)
            else:
                self._tail_count = self._src.tail_counts()
        return self._tail_count

    def info(self) -> dict[str, Any]:
        """Everything known about the file, as JSON-serialisable values."""
        p = self.preamble
        local = not isinstance(self._src, ObjectSource)
        return {
            "path": self.path,
            "preamble": {
                "version": p.version,
                "flags": p.flags,
                "header_area": p.header_area,
            },
            "schema": {
                "name": self.schema.name,
                "fields": [
                    {"name": f.name, "type": f.ty, "offset": f.offset}
                    for f in self.schema.fields
                ],
                "record_size": self._size,
                "layout": "prefixed" if self._size is None else "fixed",
            },
            "headers": dict(self.headers),
            "user_headers": self.user_headers,
            "frames": [asdict(f) for f in self.frames],
            "tail": {
                "offset": self._src.tail_start - self._src.data_start,
                "bytes": self._tail_bytes,
                "records": self.tail_records,
                "torn_bytes": self.tail_torn_bytes,
            },
            "records": len(self),
            "sealed": self.sealed,
            # Files beside an object are neither written nor looked for.
            "journal_present": local and os.path.exists(self.path + JOURNAL_SUFFIX),
            "repack_present": local and os.path.exists(self.path + REPACK_SUFFIX),
            "bytes": self._src.data_end,
        }

    # ---- records ---------------------------------------------------------------------------

    def _split(self, data: bytes, where: str) -> list[bytes]:
        records, torn = _native.split_records(data, self.layout)
        if torn:
            raise self._torn(where, torn)
        return records

    def read_frame(self, index: int) -> bytes:
        """The decoded content of frame ``index`` (its position in ``frames``), its zstd
        checksum checked. Raises ``IndexError`` for a position past the end,
        ``DrelixCompressionError`` for a damaged frame."""
        index = self._frame_index(index)
        with self._lock:
            if self._cache is not None and self._cache[0] == index:
                return self._cache[1]
            data = self._src.decode(index)
            self._cache = (index, data)
            return data

    def frame_records(self, index: int) -> list[bytes]:
        """The records of frame ``index``, as ``bytes`` each (without length prefixes)."""
        records = self._split(self.read_frame(index), f"frame {index}")
        self._shapes[self._frame_index(index)] = (len(records), 0)
        return records

    def _frame_index(self, index: int) -> int:
        n = len(self._src.frames)
        if not -n <= index < n:
            raise IndexError(f"frame index {index} out of range for {n} frames")
        return index % n

    def __len__(self) -> int:
        """Every record: in the frames (counted from their contents) and in the tail."""
        return self._record_starts()[-1]

    def _record_starts(self) -> list[int]:
        """The index of each frame's first record; the tail's first; the total."""
        with self._lock:
            if self._starts is None:
                self._count_frames()
                starts = [0]
                for i in range(len(self._src.frames)):
                    starts.append(starts[-1] + self._frame_count(i))
                starts.append(starts[-1] + self.tail_records)
                self._starts = starts
            return self._starts

    def __iter__(self) -> Iterator[bytes]:
        """Every record in file order, one frame in memory at a time: those the reader holds
        when iteration begins, whatever ``refresh`` takes in meanwhile."""
        frames, tail, opened = len(self._src.frames), self.tail_records, self._opened
        at = 0
        for i, data in enumerate(self._src.decode_many(range(frames))):
            if self._opened != opened:
                break  # refreshed into another file: its frames are not these
            if not self._size:
                records = self._split(data, f"frame {i}")
                self._shapes[i] = (len(records), 0)
                at += len(records)
                yield from records
                continue
            self._shapes[i] = divmod(len(data), self._size)
            at += self._frame_count(i)  # raises when the frame ends in a torn record
            # Records become objects a slice at a time, so the memory of the ones the caller
            # has dropped is reused while still in cache: about twice as fast as one list
            # per frame, whose millions of new objects each touch fresh memory.
            step = self._size * max(1, _ITER_SLICE // self._size)
            for lo in range(0, len(data), step):
                yield from _native.split_records(data[lo : lo + step], self.layout)[0]
        total = at + tail if self._opened == opened else len(self)
        # The rest by record index: a refresh may have moved the tail's records into frames.
        while at < total:
            records = self._range(at, min(total, at + _ITER_RECORDS))
            at += len(records)
            yield from records

    def _tail_bodies(self) -> list[bytes]:
        """The tail's whole records, as ``bytes`` each."""
        return _native.split_records(self._src.read_tail(), self.layout)[0]

    def _piece(self, part: int) -> list[bytes]:
        """The records of frame ``part``, or of the tail when ``part`` is the frame count."""
        return (
            self._tail_bodies()
            if part == len(self._src.frames)
            else self.frame_records(part)
        )

    @overload
    def __getitem__(self, key: int) -> bytes: ...
    @overload
    def __getitem__(self, key: slice) -> list[bytes]: ...
    def __getitem__(self, key: int | slice) -> bytes | list[bytes]:
        """Record ``key`` (negative counts from the end), or a list of the records of a slice.
        Fixed-size records are found from the frames' declared sizes, decoding one frame."""
        if not isinstance(key, slice):
            try:
                key = operator.index(key)
            except TypeError:
                raise TypeError(
                    f"Reader indices must be integers or slices, not {type(key).__name__}"
                ) from None
        starts = self._record_starts()
        total = starts[-1]
        if isinstance(key, slice):
            picked = range(*key.indices(total))
            if not picked:
                return []
            lo, hi = min(picked[0], picked[-1]), max(picked[0], picked[-1]) + 1
            records = self._range(lo, hi)
            return records if picked.step == 1 else [records[i - lo] for i in picked]
        i = key
        if not -total <= i < total:
            raise IndexError(f"record index {key} out of range for {total} records")
        i %= total
        part = bisect.bisect_right(starts, i) - 1
        if self._size and part < len(self._src.frames):
            lo = (i - starts[part]) * self._size
            return self.read_frame(part)[lo : lo + self._size]
        if self._size:
            return self._src.read_tail_at((i - starts[part]) * self._size, self._size)
        return self._piece(part)[i - starts[part]]

    def _range(self, start: int, stop: int) -> list[bytes]:
        starts = self._record_starts()
        out: list[bytes] = []
        part = bisect.bisect_right(starts, start) - 1
        while start < stop:
            records = self._piece(part)
            lo, hi = start - starts[part], min(stop, starts[part + 1]) - starts[part]
            out.extend(records[lo:hi])
            start = starts[part + 1]
            part += 1
        return out

    # ---- numpy, arrow, pandas --------------------------------------------------------------

    def _fixed_dtype(self, dtype: DTypeLike) -> np.dtype:
        if self._size is None:
            raise _native.DrelixUsageError(
                f"{self.path} holds length-prefixed records; read them as bytes (iteration, "
                f"iter_batches, to_arrow)"
            )
        dt = dtype_of(self.schema) if dtype is None else np.dtype(dtype)
        if dt.itemsize != self._size:
            raise _native.DrelixUsageError(
                f"dtype {dt} is {dt.itemsize} bytes, the records are {self._size}"
            )
        return dt

    def to_numpy(
        self,
        start: int | None = None,
        stop: int | None = None,
        *,
        dtype: DTypeLike = None,
        threads: int | None = None,
        filters: Filters = None,
    ) -> np.ndarray:
        """Records ``start`` to ``stop`` (Python slice rules; the whole file by default) as
        one structured array of the schema's dtype (``dtype_of``) or of ``dtype`` (any dtype of
        the record size). Frames are decoded on ``threads`` threads (default: every core) into
        the array directly.

        ``filters`` keeps only the records that satisfy every ``(field, op, value)`` of the
        list (pyarrow's form: ops ``== = != < <= > >= in not in`` on numeric fields; NaN
        satisfies only ``!=`` and ``not in``), in file order. With ``start``/``stop`` they
        apply to the records of that range. Frames whose listed ranges (``drelix_stats_<field>``
        headers) rule them out are neither fetched nor decoded; the result is the same as
        masking a full read.

        Raises ``DrelixUsageError`` for length-prefixed records, a dtype of the wrong size, a
        schema field the format does not name (pass ``dtype``), or filters that name no numeric
        field, an unknown operator or a value the field cannot be compared with.
        """
        dt = self._fixed_dtype(dtype)
        flt = parse_filters(filters, self.schema, self.path)
        if flt is not None:
            return self._filtered_numpy(flt, dt, start, stop, threads)
        size = self._size
        assert size is not None
        starts = self._record_starts()
        first, last, _ = slice(start, stop).indices(starts[-1])
        last = max(first, last)
        out = np.empty(last - first, dt)
        flat = out.view(np.uint8).reshape(-1)
        pieces = []
        for part in range(len(self._src.frames)):
            lo, hi = max(first, starts[part]), min(last, starts[part + 1])
            if lo < hi:
                pieces.append(
                    (part, (lo - starts[part]) * size, (hi - starts[part]) * size)
                )
        decoded = sum(hi - lo for _, lo, hi in pieces)
        with self._lock:
            self._src.decode_into(
                pieces, self._content_sizes(), flat[:decoded], threads
            )
        lo, hi = max(first, starts[-2]), last
        if lo < hi:
            self._src.read_tail_into((lo - starts[-2]) * size, flat[decoded:])
        return out

    # ---- filtered reads --------------------------------------------------------------------

    def _wanted_frames(self, flt: Filter) -> list[int]:
        """The frames a filtered read decodes: all but those the listed ranges rule out."""
        wanted = flt.frames_to_read(self.headers, len(self._src.frames))
        return [i for i, read in enumerate(wanted) if read]

    def _selected(self, flt: Filter, flat: np.ndarray, dt: np.dtype) -> np.ndarray:
        """The records of the bytes ``flat`` (whole records) that pass, as ``dt``."""
        picked: np.ndarray = flat.view(dt)[flt.mask(flat)]
        return picked

    def _frame_bytes(self, index: int, data: bytes) -> np.ndarray:
        """Frame ``index``'s decoded content as flat bytes, refused when it ends in a torn
        record."""
        assert self._size is not None
        records, torn = divmod(len(data), self._size)
        if torn:
            raise self._torn(f"frame {index}", torn)
        self._shapes[index] = (records, 0)
        return np.frombuffer(data, np.uint8)

    def _tail_bytes_now(self) -> np.ndarray:
        """The tail's whole records, as flat bytes."""
        assert self._size is not None
        flat = np.empty(self.tail_records * self._size, np.uint8)
        if len(flat):
            self._src.read_tail_into(0, flat)
        return flat

    def _filtered_numpy(
        self,
        flt: Filter,
        dt: np.dtype,
        start: int | None,
        stop: int | None,
        threads: int | None,
    ) -> np.ndarray:
        size = self._size
        assert size is not None
        wanted = self._wanted_frames(flt)
        whole = start is None and stop is None
        if whole and self._sizes is None and isinstance(self._src, ObjectSource):
            # Sizing every frame would fetch the first bytes of those ruled out too: the
            # wanted frames are fetched and decoded whole instead, a window at a time.
            chunks = [
                self._selected(flt, self._frame_bytes(i, data), dt)
                for i, data in zip(wanted, self._src.decode_many(wanted))
            ]
            chunks.append(self._selected(flt, self._tail_bytes_now(), dt))
            return np.concatenate(chunks)
        if whole:
            pieces = [(i, 0, self._frame_count(i) * size) for i in wanted]
            tail_first, tail_n = 0, self.tail_records
        else:
            starts = self._record_starts()
            first, last, _ = slice(start, stop).indices(starts[-1])
            pieces = []
            for i in wanted:
                lo, hi = max(first, starts[i]), min(last, starts[i + 1])
                if lo < hi:
                    pieces.append((i, (lo - starts[i]) * size, (hi - starts[i]) * size))
            lo, hi = max(first, starts[-2]), last
            tail_first, tail_n = (lo - starts[-2], hi - lo) if lo < hi else (0, 0)
        decoded = sum(hi - lo for _, lo, hi in pieces)
        flat = np.empty(decoded + tail_n * size, np.uint8)
        with self._lock:
            self._src.decode_into(
                pieces, self._content_sizes(), flat[:decoded], threads
            )
        if tail_n:
            self._src.read_tail_into(tail_first * size, flat[decoded:])
        return self._selected(flt, flat, dt)

    def _filtered_batches(self, flt: Filter, dt: np.dtype) -> Iterator[np.ndarray]:
        wanted, opened = self._wanted_frames(flt), self._opened
        # Read now: a writer may close the tail into a frame before iteration gets there.
        tail = self._tail_bytes_now()
        for i, data in zip(wanted, self._src.decode_many(wanted)):
            if self._opened != opened:
                return  # refreshed into another file: its frames are not these
            batch = self._selected(flt, self._frame_bytes(i, data), dt)
            if len(batch):
                yield batch
            del batch  # the caller's may be its only reference
        batch = self._selected(flt, tail, dt)
        if len(batch) and self._opened == opened:
            yield batch

    def iter_batches(
        self, *, dtype: DTypeLike = None, filters: Filters = None
    ) -> Iterator[Any]:
        """One batch per frame, then one for the tail (if it holds records): a structured
        array (fixed records, dtype as for ``to_numpy``) or a ``list`` of ``bytes`` (length-
        prefixed records). Holds about one frame in memory. The records are those the reader
        holds when iteration begins, whatever ``refresh`` takes in meanwhile.

        ``filters`` (as for ``to_numpy``): one batch per frame read that holds records that
        pass, then the tail's that pass; frames ruled out are skipped unread."""
        flt = parse_filters(filters, self.schema, self.path)
        dt = None if self._size is None else self._fixed_dtype(dtype)
        if flt is not None:
            assert dt is not None
            yield from self._filtered_batches(flt, dt)
            return
        frames, tail, opened = len(self._src.frames), self.tail_records, self._opened
        at = 0
        for part in range(frames):
            if self._opened != opened:
                break  # refreshed into another file: its frames are not these
            self._src.expect(part + 1)
            if dt is None:
                batch: Any = self.frame_records(part)
            else:
                starts = self._record_starts()
                batch = self.to_numpy(
                    starts[part], starts[part + 1], dtype=dt, threads=1
                )
            at += len(batch)
            yield batch
            del (
                batch
            )  # the caller's may be its only reference: a frame in memory, not two
        total = at + tail if self._opened == opened else len(self)
        if at < total:
            # By record index: a refresh may have moved the tail's records into frames.
            yield (
                self._range(at, total)
                if dt is None
                else self.to_numpy(at, total, dtype=dt)
            )

    def to_arrow(
        self, columns: Sequence[str] | None = None, *, filters: Filters = None
    ) -> pyarrow.Table:
        """The records as a ``pyarrow.Table``: one column per schema field (``uuid`` as
        ``fixed_size_binary(16)``), or the single binary column ``record`` for length-prefixed
        records or a schema without fields. ``columns`` selects fields by name; ``filters``
        selects records as for ``to_numpy`` (on any field, selected or not). Needs pyarrow."""
        import pyarrow as pa

        names = self._arrow_names(columns)
        if self._size is None:
            parse_filters(filters, self.schema, self.path)  # refuses any
            return pa.Table.from_batches([self._arrow_batch(list(self), names)])
        whole = self.to_numpy(
            dtype=None if self.schema.fields else f"V{self._size}", filters=filters
        )
        return pa.Table.from_batches([self._arrow_batch(whole, names)])

    def to_arrow_reader(
        self, columns: Sequence[str] | None = None, *, filters: Filters = None
    ) -> pyarrow.RecordBatchReader:
        """The records as a ``pyarrow.RecordBatchReader`` of the columns ``to_arrow`` gives:
        a record batch per frame and one for the tail, each decoded when it is read and cut to
        ``columns``, so about one frame is in memory. ``filters`` as for ``iter_batches``.
        Needs pyarrow."""
        import pyarrow as pa

        names = self._arrow_names(columns)
        parse_filters(
            filters, self.schema, self.path
        )  # refused now, not at the first batch
        raw = self._size is not None and not self.schema.fields
        dtype = f"V{self._size}" if raw else None
        empty: Any = (
            [] if self._size is None else np.empty(0, dtype or self._fixed_dtype(None))
        )
        schema = self._arrow_batch(empty, names).schema
        batches = (
            self._arrow_batch(b, names)
            for b in self.iter_batches(dtype=dtype, filters=filters)
        )
        return pa.RecordBatchReader.from_batches(schema, batches)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The Arrow C stream of ``to_arrow_reader()``, for any consumer of the Arrow PyCapsule
        interface (``pyarrow.table(r)``, ``polars.DataFrame(r)``, DuckDB's ``FROM r``)."""
        return self.to_arrow_reader().__arrow_c_stream__(requested_schema)

    def _arrow_names(self, columns: Sequence[str] | None) -> list[str]:
        """The columns asked for, checked against the fields (or ``record``)."""
        have = (
            [f.name for f in self.schema.fields]
            if self._size is not None and self.schema.fields
            else ["record"]
        )
        names = list(have) if columns is None else list(columns)
        missing = [n for n in names if n not in have]
        if missing:
            raise _native.DrelixUsageError(
                f"no field named {', '.join(map(repr, missing))} in {self.schema.name!r}"
            )
        return names

    def _arrow_batch(self, batch: Any, names: list[str]) -> pyarrow.RecordBatch:
        """One batch of records (a structured array, an array of ``V<size>`` records, or a
        list of bodies) as an Arrow record batch of the columns ``names``."""
        import pyarrow as pa

        if isinstance(batch, list):
            return pa.record_batch({"record": pa.array(batch, pa.binary())}).select(
                names
            )
        if not batch.dtype.names:
            return pa.record_batch({"record": _fixed_binary(batch)}).select(names)
        cols = {}
        for name in names:
            values = np.ascontiguousarray(batch[name])
            cols[name] = (
                _fixed_binary(values) if values.dtype.kind == "V" else pa.array(values)
            )
        return pa.record_batch(cols)

    def to_pandas(self, columns: Sequence[str] | None = None) -> pandas.DataFrame:
        """The records as a ``pandas.DataFrame`` (through ``to_arrow``). Needs pandas and
        pyarrow."""
        return self.to_arrow(columns).to_pandas()

    # ---- life ------------------------------------------------------------------------------

    def close(self) -> None:
        """Closes the file; later reads raise ``ValueError``. Closing twice is harmless."""
        self._src.close()
        self._cache = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        if self._reopen is None:
            raise TypeError(
                f"a Reader of a file object cannot be pickled ({self.path})"
            )
        target, options = self._reopen
        if options is None:
            return (Reader, (target,))
        return (_reader_of, (target, options))

    def __repr__(self) -> str:
        layout = "prefixed" if self._size is None else f"fixed({self._size})"
        state = "closed" if self.closed else ("sealed" if self.sealed else "open")
        return (
            f"<drelix Reader {self.path!r} schema={self.schema.name!r} {layout} "
            f"frames={len(self._src.frames)} {state}>"
        )


def _fixed_binary(values: np.ndarray) -> pyarrow.FixedSizeBinaryArray:
    """An array of ``V<n>`` values as Arrow ``fixed_size_binary(n)``, without a copy."""
    import pyarrow as pa

    width = values.dtype.itemsize
    return pa.FixedSizeBinaryArray.from_buffers(
        pa.binary(width), len(values), [None, pa.py_buffer(values.view(np.uint8))]
    )


def _reader_of(target: str, storage_options: dict[str, Any]) -> Reader:
    return Reader(target, storage_options=storage_options)
