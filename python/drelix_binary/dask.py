"""Drelix files as Dask collections: read by a cluster, written by a cluster.

A closed frame is an independent, checksummed unit whose place and decoded size are known from
the header zone and the first bytes of the frame, so a partition is a run of whole frames of
one file (the tail, if asked for, counts as one more unit). Planning opens every file once on
the client and decodes nothing; each task reopens its file and decodes only its own frames.

A writer may go on appending and closing frames between planning and computing: a task still
returns exactly the records planned. It checks that the frames planned are still the first
frames of the file (same offsets, lengths and hashes), and takes the planned tail records as the
first ones after them, wherever they now are. A file rewritten since (repacked, rebuilt) fails
the task with ``DrelixMalformedError``: plan again.

A directory written by a series writer (``dx.create_series``) is read in write order, as one
stream: its file names sort so.

Files may be objects in a store (``s3://``, ``gs://``, ``memory://``, ... with
``storage_options``, as ``dx.open`` takes them). Planning opens many at once, each in one
ranged request for its zone; a task carries the URL and the options, never a connection, and
fetches the zone and its own frames. An object replaced since planning is read as it now is:
the same checks apply. Writing to a store writes each partition as a local file and uploads it
whole.

Needs the ``dask`` extra: ``pip install drelix-binary[dask]``; stores need fsspec and the
protocol's package (s3fs, gcsfs, ...).
"""

# dask, pandas and pyarrow ship no type information; calls into them are untyped.
# mypy: disable-error-code="no-untyped-call, no-any-return, import-untyped, attr-defined"

from __future__ import annotations

import contextlib
import errno
import glob
import hashlib
import itertools
import math
import os
import posixpath
import re
import shutil
import tempfile
from collections.abc import Generator, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, NamedTuple, Optional, Union

import dask
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa

import drelix_binary as dx

from ._defaults import EXTENSION, JOURNAL_SUFFIX, REPACK_SUFFIX
from ._filters import Filter, parse_filters
from ._publish import discard, publishing, sync_directory
from ._remote import filesystem, is_url, local_path
from ._series import _check_prefix, name_pattern

__all__ = ["PARTITION_BYTES", "read_drelix", "read_drelix_bag", "to_drelix"]

PARTITION_BYTES = 100 * 2**20
"""Decoded bytes an automatically sized partition aims at."""

# The one column of a prefixed file: each record's body.
RECORD_COLUMN = "record"

# The key under which a DataFrame read from drelix files carries their schema in its `attrs`,
# so that writing it back needs no schema= for the columns NumPy has no type for (uuid).
SCHEMA_ATTR = "drelix_schema"

PathLike = Union[str, "os.PathLike[str]"]
Paths = Union[PathLike, Iterable[PathLike]]
Options = Optional[dict[str, Any]]
Filters = Optional[Sequence[Sequence[Any]]]


class _Part(NamedTuple):
    """One partition: frames [first, stop) of a file, then the `tail` records planning found
    after its frames (0: none; `stop` is then the file's frame count).

    `row` is the in-file number of the first record and `records` the number planned, both
    None when the layout does not let the client count without decoding (prefixed records).
    `start` is the running record number across all files, the partition's first index value.
    `frames_seen` identifies frames [0, stop) as planned (`_identities`).
    """

    path: str
    first: int
    stop: int
    tail: int
    row: int | None
    records: int | None
    start: int | None
    frames_seen: str


class _Unit(NamedTuple):
    frame: int | None  # frame position (the first of a run), None for the tail
    size: int  # decoded bytes, or the best estimate the zone allows
    records: int | None
    wanted: bool = True  # False: the filters rule it out; it only counts records
    frames: int = 1  # unwanted: the frames it stands for (a file ruled out whole)


# ---------------------------------------------------------------------------------------------
# Planning on the client


def _held(names: Iterable[str], series: str | None) -> list[str]:
    """Of the paths a directory (or a prefix in a store) holds, those read: every ``.drelix``
    file, or with `series` the files of the series of that prefix only."""
    if series is None:
        return list(names)
    pattern = name_pattern(series)
    return [n for n in names if pattern.fullmatch(posixpath.basename(n))]


def _expand(
    paths: Paths, storage_options: Options, series: str | None = None
) -> list[str]:
    """Every file named, globbed or held by a named directory (or prefix, for a URL), in
    natural path order; of a directory's files, only those of the series `series` names
    when it is given."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found: set[str] = set()
    for item in items:
        text = os.fspath(item)
        if is_url(text):
            found.update(_expand_url(text, storage_options, series))
            continue
        text = local_path(text)
        if os.path.isdir(text):
            held = glob.glob(os.path.join(glob.escape(text), "*." + EXTENSION))
            found.update(_held(held, series))
        elif glob.has_magic(text):
            found.update(glob.glob(text))
        else:
            found.add(text)  # a missing file fails in open, with its name
    if not found:
        raise _no_files(paths)
    return sorted(found, key=_natural)


def _expand_url(url: str, storage_options: Options, series: str | None) -> list[str]:
    """The objects a URL names: itself, those its glob matches (the filesystem's ``glob``), or
    the ``*.drelix`` objects under it when it names a prefix (with `series`, those of that
    series only). A URL ending in ``.drelix`` is taken as an object without asking the store;
    others are asked whether they are a prefix.

    What fsspec remembers of earlier listings is forgotten first: planning then opens the
    objects at the lengths listed now, with no further request."""
    fs, path = filesystem(url, storage_options)
    literal = re.split(r"[*?\[]", path, maxsplit=1)[0]
    fs.invalidate_cache(literal.rstrip("/") or path)
    held = not glob.has_magic(path)  # a prefix: the files it holds, as a directory's
    if not held:
        pattern = path
    elif url.endswith("/") or (not url.endswith("." + EXTENSION) and fs.isdir(path)):
        pattern = path.rstrip("/") + "/*." + EXTENSION
    else:
        return [url]  # a missing object fails in open, with its name
    # The matches as URLs of the form given (scheme, chained filesystems and all).
    head = url[: url.index("://") + 3]
    matches = fs.glob(pattern, detail=True)
    objects = [
        name if "://" in name else head + name.lstrip("/")
        for name, info in matches.items()
        if info.get("type") != "directory"
    ]
    return _held(objects, series) if held else objects


def _no_files(paths: Paths) -> FileNotFoundError:
    named = os.fspath(paths) if isinstance(paths, (str, os.PathLike)) else repr(paths)
    return FileNotFoundError(errno.ENOENT, "no drelix files match", named)


def _natural(path: str) -> list[tuple[int, int, str]]:
    """Sort key that puts part.2 before part.10: digit runs compare as numbers."""
    return [
        (0, int(t), "") if t.isdigit() else (1, 0, t) for t in re.split(r"(\d+)", path)
    ]


def _open(path: str, storage_options: Options, listed: bool = False) -> dx.Reader:
    """A reader of `path` as it is now: `storage_options` apply to URLs (a list may mix them
    with local paths). Unless planning has just `listed` it, what fsspec remembers of a
    store's listings is forgotten first: it would take the object's length from them, which
    an object replaced since outdates."""
    if not is_url(path):
        return dx.open(path)
    if not listed:
        fs, name = filesystem(path, storage_options)
        fs.invalidate_cache(name)
    return dx.open(path, storage_options=storage_options)


def _units(
    reader: dx.Reader, frames: list[dx.FrameInfo], include_tail: bool
) -> list[_Unit]:
    units = []
    for frame in frames:
        # A frame whose header declares no size is counted at its stored length: the sizing
        # stays a guess, the partitioning stays valid.
        size = frame.content_size if frame.content_size is not None else frame.length
        units.append(_Unit(frame.index, size, frame.records))
    if include_tail and reader.tail_records:
        itemsize = reader.dtype.itemsize if reader.dtype is not None else 0
        units.append(_Unit(None, reader.tail_records * itemsize, reader.tail_records))
    return units


def _group(units: list[_Unit], frames_per_partition: int | None) -> list[list[_Unit]]:
    """Consecutive units per partition: a fixed count, or as many as fit PARTITION_BYTES."""
    if frames_per_partition is not None:
        n = frames_per_partition
        return [units[i : i + n] for i in range(0, len(units), n)]
    groups: list[list[_Unit]] = []
    size = 0
    for unit in units:
        if groups and size + unit.size <= PARTITION_BYTES:
            groups[-1].append(unit)
            size += unit.size
        else:
            groups.append([unit])
            size = unit.size
    return groups


def _wanted_groups(
    units: list[_Unit], frames_per_partition: int | None
) -> list[list[_Unit]]:
    """The partitions' units (`_group`) within each run of wanted units, and each run of
    unwanted ones as one group: a partition is a run of consecutive frames."""
    groups: list[list[_Unit]] = []
    for wanted, run in itertools.groupby(units, key=lambda u: u.wanted):
        if wanted:
            groups.extend(_group(list(run), frames_per_partition))
        else:
            groups.append(list(run))
    return groups


def _identities(frames: Iterable[tuple[int, int, int]]) -> list[str]:
    """For each k, a digest of the first k frames' (offset, length, hash): equal digests mean
    the same frames, holding the same bytes, at the same places. A digest keeps the task small
    where the frames themselves would grow with the file."""
    digest = hashlib.blake2b(digest_size=16)
    out = [digest.hexdigest()]
    for offset, length, xxh in frames:
        digest.update(f"{offset},{length},{xxh};".encode())
        out.append(digest.hexdigest())
    return out


def _describe(schema: dx.Schema) -> str:
    fields = ", ".join(f"{f.name}:{f.ty}@{f.offset}" for f in schema.fields)
    size = schema.layout.fixed_size
    layout = "prefixed" if size is None else f"fixed {size}"
    return f"{schema.name!r} ({fields}; {layout})"


class _Counts(NamedTuple):
    """What a plan leaves out: files with no partition because the filters rule out every
    frame (and nothing else is read), frames not read, and the files whose frames planning
    looked at (their first bytes: sizes and counts) beyond the zone."""

    files: int
    frames: int
    files_skipped: int
    frames_skipped: int
    files_sized: int


class _Plan(NamedTuple):
    schema: dx.Schema
    dtype: np.dtype[Any] | None
    parts: list[_Part]
    divisions: tuple[int, ...] | None
    counts: _Counts


class _Survey(NamedTuple):
    """What planning learns of one file."""

    schema: dx.Schema
    dtype: np.dtype[Any] | None
    seen: list[str]
    units: list[_Unit]
    filters: Filter | None
    sized: bool  # whether the frames' first bytes were read (sizes and counts)


# Files planned at once: objects in a store answer after a round trip each, which this many
# requests in flight hide; files on disk are opened no slower.
_PLANNING_THREADS = 32


def _survey(
    path: str,
    storage_options: Options,
    frames_per_partition: int | None,
    include_tail: bool,
    filters: Filters = None,
) -> _Survey:
    """Opens one file: its zone (one ranged request for an object), then its frames' content
    sizes only where the plan needs them: to count fixed records, or to size partitions.
    With `filters`, the frames the zone's ranges rule out are marked unwanted; when they rule
    out every frame, no frame is looked at (`_ruled_out`)."""
    with _open(path, storage_options, listed=True) as reader:
        flt = parse_filters(filters, reader.schema, path)
        dtype = reader.dtype
        if dtype is not None and not dtype.names:
            dtype = None  # fixed records without fields are bytes, as prefixed ones are
        listed = _listed(reader)
        wanted = (
            None if flt is None else flt.frames_to_read(reader.headers, len(listed))
        )
        if wanted is not None and dtype is not None and not any(wanted):
            units = _ruled_out(reader, dtype, len(listed), include_tail)
            if units is not None:
                return _Survey(reader.schema, dtype, _identities(listed), units, flt, False)  # fmt: skip
        sized = dtype is not None or frames_per_partition is None
        if sized:
            units = _units(reader, reader.frames, include_tail)
        else:
            units = [_Unit(i, length, None) for i, (_, length, _) in enumerate(listed)]
            if include_tail and reader.tail_records:
                units.append(_Unit(None, 0, reader.tail_records))
        if wanted is not None:
            units = [u if u.frame is None else u._replace(wanted=wanted[u.frame]) for u in units]  # fmt: skip
        return _Survey(reader.schema, dtype, _identities(listed), units, flt, sized and bool(listed))  # fmt: skip


_COUNT = re.compile(r"[0-9]+")


def _ruled_out(
    reader: dx.Reader, dtype: np.dtype[Any], frames: int, include_tail: bool
) -> list[_Unit] | None:
    """The units of a file whose every frame the filters rule out, from its zone alone: its
    frames as one unit not read, counted by ``_records`` (the records the frames hold), so
    that the rows after them keep the numbers a full read gives; then its tail, which no
    range covers. None when ``_records`` is not a count to go by: the frames are then looked
    at as for any file."""
    text = reader.headers.get("_records", "")
    if not _COUNT.fullmatch(text) or (frames == 0 and text != "0"):
        return None
    units = [_Unit(0, 0, int(text), False, frames)] if frames else []
    tail = reader.tail_records if include_tail else 0
    if tail:
        units.append(_Unit(None, tail * dtype.itemsize, tail))
    return units


def _surveys(
    files: list[str],
    storage_options: Options,
    frames_per_partition: int | None,
    include_tail: bool,
    filters: Filters = None,
) -> Generator[_Survey, None, None]:
    """Every file's survey, in the order of `files`, several opened at once: a file that
    fails planning stops it before any later file's failure is reported."""

    def survey(path: str) -> _Survey:
        return _survey(
            path, storage_options, frames_per_partition, include_tail, filters
        )

    if len(files) == 1:
        yield survey(files[0])
        return
    pool = ThreadPoolExecutor(min(_PLANNING_THREADS, len(files)))
    try:
        yield from pool.map(survey, files)
    finally:
        pool.shutdown(cancel_futures=True)


def _planned(
    paths: Paths,
    *,
    frames_per_partition: int | None = None,
    include_tail: bool = True,
    storage_options: Options = None,
    filters: Filters = None,
    series: str | None = None,
) -> _Plan:
    """The partitions of the files `paths` names, and what the plan leaves out (`_Counts`):
    what ``read_drelix`` and ``read_drelix_bag`` build their graphs from."""
    if frames_per_partition is not None and frames_per_partition < 1:
        raise dx.DrelixUsageError("frames_per_partition must be at least 1")
    if series is not None:
        series = _check_prefix(series)
    files = _expand(paths, storage_options, series)
    first_path, schema, dtype = "", None, None
    parts: list[_Part] = []
    counts = _Counts(len(files), 0, 0, 0, 0)
    # The running number of the file's first record, while every count before it is known.
    base: int | None = 0
    surveys = _surveys(
        files, storage_options, frames_per_partition, include_tail, filters
    )
    with contextlib.closing(surveys):
        for path, found in zip(files, surveys):
            if schema is None:
                first_path, schema, dtype = path, found.schema, found.dtype
            elif found.schema != schema:
                raise dx.DrelixUsageError(
                    f"schemas differ: {first_path} has {_describe(schema)}, "
                    f"{path} has {_describe(found.schema)}"
                )
            planned = _file_parts(
                path, found.seen, found.units, frames_per_partition, dtype
            )
            for part in planned:
                start = None if base is None or part.row is None else base + part.row
                parts.append(part._replace(start=start))
            base = _counted(base, found.units)
            counts = _counts(counts, found, bool(planned))
    if schema is None:
        raise _no_files(paths)
    # Known counts: the records numbered across the files (those the filters skip too, so
    # a row keeps the number a full read gives it); a division per partition start.
    starts = [p.start for p in parts if p.start is not None and p.records is not None]
    if dtype is None or len(starts) < len(parts):
        return _Plan(schema, dtype, parts, None, counts)
    last = parts[-1] if parts else None
    divisions = (*starts, starts[-1] + (last.records or 0) - 1) if last else None
    return _Plan(schema, dtype, parts, divisions, counts)


def _counts(counts: _Counts, found: _Survey, planned: bool) -> _Counts:
    """`counts` with one more file's."""
    skipped = sum(u.frames for u in found.units if not u.wanted)
    return counts._replace(
        frames=counts.frames + len(found.seen) - 1,
        files_skipped=counts.files_skipped + int(skipped > 0 and not planned),
        frames_skipped=counts.frames_skipped + skipped,
        files_sized=counts.files_sized + found.sized,
    )


def _counted(row: int | None, units: Iterable[_Unit]) -> int | None:
    """`row` plus the records of `units`; None once a count is unknown."""
    for unit in units:
        if row is None or unit.records is None:
            return None
        row += unit.records
    return row


def _file_parts(
    path: str,
    seen: list[str],
    units: list[_Unit],
    frames_per_partition: int | None,
    dtype: np.dtype[Any] | None,
) -> list[_Part]:
    parts = []
    # The in-file number of the next record, while every count before it is known.
    row: int | None = 0
    for group in _wanted_groups(units, frames_per_partition):
        if not group[0].wanted:
            row = _counted(row, group)
            continue
        first = group[0].frame if group[0].frame is not None else len(seen) - 1
        frames = sum(u.frame is not None for u in group)
        counts = [u.records for u in group]
        records = None
        if dtype is not None and None not in counts:
            records = sum(c or 0 for c in counts)
        if records == 0:
            continue  # an empty frame adds nothing and would repeat a division
        tail = group[-1].records or 0 if group[-1].frame is None else 0
        stop = first + frames
        parts.append(_Part(path, first, stop, tail, row, records, None, seen[stop]))
        row = row + records if row is not None and records is not None else None
    return parts


# ---------------------------------------------------------------------------------------------
# Decoding on the workers


def _damaged(
    reader: dx.Reader, part: _Part, error: Exception
) -> dx.DrelixMalformedError:
    """The error to raise for a failed decode, naming the file and, when found, the frame."""
    for index in range(part.first, part.stop):
        try:
            reader.read_frame(index)
        except dx.DrelixError as cause:
            frame = reader.frames[index]
            return dx.DrelixMalformedError(
                f"{part.path}: frame {index} (id {frame.id}) is damaged: {cause}"
            )
    if isinstance(error, dx.DrelixMalformedError) and part.path in str(error):
        return error
    return dx.DrelixMalformedError(f"{part.path}: {error}")


class _Changed(dx.DrelixMalformedError):
    """A file rewritten between planning and computing: its frames are sound, the plan is not."""

    def __reduce__(self) -> tuple[Any, ...]:
        # Its base names the extension's classes only; this one crosses to the client itself.
        return (_Changed, self.args)


def _changed(path: str, why: str) -> _Changed:
    return _Changed(f"{path}: the file changed since planning ({why}); read it again")


def _listed(reader: dx.Reader) -> list[tuple[int, int, int]]:
    """(offset, length, hash) of each frame, as the zone lists them: no frame is read."""
    return [(f.offset, f.length, f.hash) for f in reader._src.frames]


def _check_planned(part: _Part, frames: Sequence[tuple[int, int, int]]) -> None:
    """Refuses a file whose first frames are no longer those planned (it was rewritten)."""
    if (
        len(frames) < part.stop
        or _identities(frames[: part.stop])[-1] != part.frames_seen
    ):
        raise _changed(part.path, "its frames were rewritten")


def _decode_fixed(reader: dx.Reader, part: _Part) -> np.ndarray[Any, Any]:
    # Fixed records are counted at planning from the frames' sizes, so in a file they are
    # found by number, in whichever frame or tail they now are. Dask already runs one task
    # per core; a second pool inside each task would only compete.
    assert part.row is not None and part.records is not None
    if is_url(part.path) or part.first == part.stop:
        # A tail alone needs no frame: finding it by number would look at every frame.
        array = _decode_fetched(reader, part, part.row)
    else:
        array = reader.to_numpy(part.row, part.row + part.records, threads=1)
    if len(array) != part.records:
        raise _changed(part.path, f"{len(array)} of {part.records} records are there")
    return array


def _decode_fetched(reader: dx.Reader, part: _Part, row: int) -> np.ndarray[Any, Any]:
    """The fixed records of a partition of an object: its frames (the planned ones, as
    checked) fetched together and decoded, then its tail records. Finding records by number
    would first fetch the start of every frame of the object, in every task."""
    assert reader.dtype is not None and part.records is not None
    size, src = reader.dtype.itemsize, reader._src
    out = np.empty(part.records, reader.dtype)
    flat = out.view(np.uint8).reshape(-1)
    framed = len(flat) - part.tail * size
    at = 0
    for data in src.decode_many(range(part.first, part.stop)):
        if at + len(data) > framed:
            break
        flat[at : at + len(data)] = np.frombuffer(data, np.uint8)
        at += len(data)
    if at != framed:
        raise _changed(part.path, "its frames hold other records than planned")
    if not part.tail:
        return out
    if len(src.frames) == part.stop and reader.tail_records >= part.tail:
        src.read_tail_into(0, flat[framed:])
        return out
    # A writer closed the tail into frames since: the records are found by number.
    first = row + framed // size
    tail = reader.to_numpy(first, first + part.tail, threads=1)
    if len(tail) != part.tail:
        raise _changed(part.path, f"{len(tail)} of {part.tail} tail records are there")
    out[len(out) - part.tail :] = tail
    return out


def _decode_records(
    reader: dx.Reader, part: _Part, storage_options: Options
) -> list[bytes]:
    records: list[bytes] = []
    for index in range(part.first, part.stop):
        records.extend(reader.frame_records(index))
    if part.tail:
        records.extend(_planned_tail(part, storage_options))
    return records


# Readings of a tail that a writer closed into a frame meanwhile, before giving up.
_TAIL_ATTEMPTS = 5


def _planned_tail(part: _Part, storage_options: Options) -> list[bytes]:
    """The `part.tail` records that followed the planned frames: since planning, a writer may
    have closed them into frames and appended more.

    A fresh reader reads the frames after the planned ones, then its tail, alone: records of
    a prefixed layout are found by number only by decoding every frame before them. A tail
    read the reader refuses (a writer closed the tail over it meanwhile) is read again from a
    new reader.
    """
    attempts = _TAIL_ATTEMPTS
    while True:
        with _open(part.path, storage_options) as reader:
            _check_planned(part, _listed(reader))
            records: list[bytes] = []
            try:
                for index in range(part.stop, len(reader.frames)):
                    if len(records) >= part.tail:
                        break
                    records.extend(reader.frame_records(index))
                if len(records) < part.tail:
                    records.extend(reader._tail_bodies())
            except dx.DrelixMalformedError:
                attempts -= 1
                if not attempts:
                    raise
                continue
        if len(records) < part.tail:
            raise _changed(
                part.path, f"{len(records)} of {part.tail} tail records are there"
            )
        return records[: part.tail]


def _decode(part: _Part, fixed: bool, storage_options: Options) -> Any:
    """The records of one partition: a structured array (fixed layouts) or a list of bytes."""
    with _open(part.path, storage_options) as reader:
        _check_planned(part, _listed(reader))
        try:
            return (
                _decode_fixed(reader, part)
                if fixed
                else _decode_records(reader, part, storage_options)
            )
        except _Changed:
            raise
        except (dx.DrelixMalformedError, dx.DrelixCompressionError) as error:
            damaged = _damaged(reader, part, error)
            if damaged is error:
                raise
            raise damaged from error


def _column(values: np.ndarray[Any, Any]) -> Any:
    if values.dtype.kind != "V":
        return values
    # Opaque fields (uuid) become fixed-size binary: Dask would turn Python bytes into text.
    size = values.dtype.itemsize
    raw = pa.py_buffer(np.ascontiguousarray(values).view(np.uint8))
    array = pa.FixedSizeBinaryArray.from_buffers(
        pa.binary(size), len(values), [None, raw]
    )
    return pd.arrays.ArrowExtensionArray(array)


def _frame(
    array: np.ndarray[Any, Any],
    columns: Sequence[str],
    start: int,
    filters: Filter | None = None,
) -> pd.DataFrame:
    """The DataFrame of `array`'s records numbered from `start`; with `filters`, of those that
    pass, each keeping its number."""
    index: pd.Index = pd.RangeIndex(start, start + len(array))
    if filters is not None:
        keep = filters.mask(array)
        array, index = array[keep], index[keep]
    return pd.DataFrame({name: _column(array[name]) for name in columns}, index=index)


def _binary_frame(records: list[bytes]) -> pd.DataFrame:
    column = pd.arrays.ArrowExtensionArray(pa.array(records, pa.binary()))
    return pd.DataFrame({RECORD_COLUMN: column})


class _ReadPartition:
    """Turns one planned partition into a pandas DataFrame of the chosen columns.

    Dask pushes a later column selection into `columns`, so fields that are not wanted are
    dropped right after the one decode instead of travelling between workers.
    """

    def __init__(
        self,
        schema: dx.Schema,
        dtype: np.dtype[Any] | None,
        storage_options: Options,
        filters: Filter | None = None,
    ):
        self.schema, self.dtype = schema, dtype
        self.storage_options = storage_options
        self.filters = filters

    def _names(self, columns: Sequence[str] | None) -> Sequence[str]:
        return columns or (self.dtype.names or () if self.dtype is not None else ())

    def meta(self, columns: Sequence[str] | None = None) -> pd.DataFrame:
        if self.dtype is None:
            meta = _binary_frame([])
        else:
            meta = _frame(np.empty(0, self.dtype), self._names(columns), 0)
        meta.attrs[SCHEMA_ATTR] = self.schema
        return meta

    def __call__(
        self, part: _Part, columns: Sequence[str] | None = None
    ) -> pd.DataFrame:
        if self.dtype is None:
            return _binary_frame(_decode(part, False, self.storage_options))
        array = _decode(part, True, self.storage_options)
        return _frame(array, self._names(columns), part.start or 0, self.filters)


# ---------------------------------------------------------------------------------------------
# Public entry points


def read_drelix(
    paths: Paths,
    *,
    columns: Sequence[str] | None = None,
    frames_per_partition: int | None = None,
    include_tail: bool = True,
    storage_options: Options = None,
    filters: Filters = None,
    prefix: str | None = None,
) -> dd.DataFrame:
    """Drelix files as one Dask DataFrame, one partition per run of frames of one file.

    `paths` is a path, a glob, a directory (its ``*.drelix`` files) or a list of these; files
    are taken in natural path order (part.2 before part.10). Any of them may be a URL: an
    object, a glob the store expands (``s3://tel/many/*.drelix``) or a prefix (a URL ending
    in ``/``, or one not ending in ``.drelix`` that the store says is a directory), read with
    `storage_options` (``dx.open``'s); ``file://`` URLs are local paths.

    A series directory (``dx.create_series``) is read in write order, as one concatenation of
    its files: their names, ``{prefix}{n:010d}.drelix``, sort so. A directory holds more than
    one series when they differ in prefix: `prefix` then picks one, reading of every
    directory (or prefix in a store) named only the files of the series of that prefix;
    without it, every ``*.drelix`` file there is read, series after series in name order.
    Files named or globbed are read whatever `prefix` says. A series still written is read
    as planning finds it: its last file's tail as it then is, as for any file.

    Fixed layouts give one column per schema field (``uuid`` as 16-byte binary), indexed by the running record number across the
    files, with known divisions when every frame declares its size. Length-prefixed records
    give one binary column ``record``, unknown divisions and an index counting from 0 in each
    partition: their numbers are known only once every earlier frame is decoded.

    Partitions hold about PARTITION_BYTES of decoded records unless `frames_per_partition`
    says how many frames each takes; `include_tail` adds the records not yet in a frame.
    `columns` selects fields, as a later ``df[columns]`` would. Files whose schemas differ
    are refused with ``DrelixUsageError``; a damaged frame fails the computation with
    ``DrelixMalformedError`` naming the file and the frame.

    `filters` (fixed layouts; ``Reader.to_numpy``'s) keeps the records that pass, each with
    the index a full read gives it: planning leaves out the frames whose ranges in the zone
    (``drelix_stats_<field>``) rule them out, and the files left with nothing to read; each
    partition masks its records exactly. A file whose every frame is ruled out costs its
    zone alone: none of its frames is looked at, its ``_records`` numbers the rows after it
    (its tail, if any, is read all the same: no range covers a tail).
    """
    plan = _planned(
        paths,
        frames_per_partition=frames_per_partition,
        include_tail=include_tail,
        storage_options=storage_options,
        filters=filters,
        series=prefix,
    )
    names = list(plan.dtype.names or ()) if plan.dtype is not None else [RECORD_COLUMN]
    if columns is not None:
        columns = [columns] if isinstance(columns, str) else list(columns)
        unknown = [c for c in columns if c not in names]
        if unknown:
            raise dx.DrelixUsageError(
                f"no column {unknown[0]!r}; the files have {names}"
            )
        names = columns
    flt = None if filters is None else parse_filters(filters, plan.schema, "the files")
    reader = _ReadPartition(plan.schema, plan.dtype, storage_options, flt)
    meta = reader.meta(names)
    if not plan.parts:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(
        reader,
        plan.parts,
        columns=names,
        meta=meta,
        divisions=plan.divisions,
        label="read-drelix",
        enforce_metadata=False,
    )


def _bag_partition(
    parts: list[_Part], fixed: bool, storage_options: Options
) -> list[bytes]:
    records: list[bytes] = []
    for part in parts:
        decoded = _decode(part, fixed, storage_options)
        if fixed:
            raw, size = decoded.tobytes(), decoded.itemsize
            records.extend(raw[i : i + size] for i in range(0, len(raw), size))
        else:
            records.extend(decoded)
    return records


def read_drelix_bag(
    paths: Paths,
    *,
    frames_per_partition: int | None = None,
    include_tail: bool = True,
    storage_options: Options = None,
    prefix: str | None = None,
) -> db.Bag:
    """The record bodies of drelix files (paths or URLs, series directories with `prefix`, as
    for read_drelix) as a Dask Bag of bytes, partitioned as read_drelix."""
    plan = _planned(
        paths,
        frames_per_partition=frames_per_partition,
        include_tail=include_tail,
        storage_options=storage_options,
        series=prefix,
    )
    fixed = plan.dtype is not None
    if not plan.parts:
        return db.from_sequence([], npartitions=1)
    specs = db.from_sequence(plan.parts, npartitions=len(plan.parts))
    return specs.map_partitions(_bag_partition, fixed, storage_options)


# ---------------------------------------------------------------------------------------------
# Writing


def _default_name(index: int) -> str:
    return f"part.{index}.{EXTENSION}"


def _schema_for(meta: pd.DataFrame) -> dx.Schema:
    """The schema the columns' types make; a column NumPy has no type for (uuid) takes its
    field's type from the schema the DataFrame was read with, and when every column still is
    that schema's field, of its type, in its order, that schema is kept whole."""
    carried = meta.attrs.get(SCHEMA_ATTR)
    if isinstance(carried, dx.Schema) and _still(carried, meta):
        return carried
    known = dx.dtype_of(carried) if isinstance(carried, dx.Schema) else np.dtype([])
    fields = []
    for name, dtype in meta.dtypes.items():
        if isinstance(dtype, np.dtype):
            fields.append(
                (str(name), dtype.newbyteorder("<") if dtype.itemsize > 1 else dtype)
            )
        elif str(name) in (known.names or ()):
            fields.append((str(name), known[str(name)]))
        else:
            raise dx.DrelixUsageError(
                f"column {name!r} is {dtype}; pass schema= to say how to store it"
            )
    return dx.schema("dataframe", np.dtype(fields))


def _still(schema: dx.Schema, meta: pd.DataFrame) -> bool:
    """Whether the columns are the schema's fields (or its one record column), unchanged."""
    if schema.layout.fixed_size is None:
        return list(meta.columns) == [RECORD_COLUMN]
    dtype = dx.dtype_of(schema)
    return list(meta.columns) == list(dtype.names or ()) and all(
        not isinstance(meta.dtypes[n], np.dtype) or meta.dtypes[n] == dtype[n]
        for n in meta.columns
    )


def _refuse(partition: int, name: str, value: Any, ty: str) -> dx.DrelixUsageError:
    shown = value.item() if isinstance(value, np.generic) else value
    return dx.DrelixUsageError(
        f"partition {partition}: column {name!r} holds {shown!r}, "
        f"which a field of type {ty} cannot hold"
    )


def _integers(
    values: np.ndarray[Any, Any], target: np.dtype[Any]
) -> tuple[np.ndarray[Any, Any], int]:
    """`values` as `target` integers, and the position of the first one that is not a whole
    number `target` holds (-1 if none)."""
    if values.dtype.kind in "biuf":
        with np.errstate(invalid="ignore", over="ignore"):
            out = values.astype(target)
            # A value survives the trip back only if it was whole and in range; the sign
            # catches what wraps around (-1 in an unsigned field, 2**63 in i64).
            bad = (out.astype(values.dtype) != values) | ((out < 0) != (values < 0))
        where = np.flatnonzero(bad)
        return out, int(where[0]) if len(where) else -1
    info = np.iinfo(target)
    for i, value in enumerate(values):
        exact = isinstance(value, (int, np.integer)) or (
            isinstance(value, (float, np.floating))
            and math.isfinite(value)
            and float(value).is_integer()
        )
        if not exact or not info.min <= int(value) <= info.max:
            return values, i
    return values.astype(target), -1


def _checked(
    values: np.ndarray[Any, Any],
    target: np.dtype[Any],
    partition: int,
    name: str,
    ty: str,
) -> np.ndarray[Any, Any]:
    """`values` as `target`, refusing any value a field of type `ty` cannot hold: integers
    take only whole numbers in range (never NaN or an infinity), floats any real number,
    opaque fields (uuid) bytes of exactly their size (NumPy would pad or cut them)."""
    if target.kind == "V":
        for value in values:
            if (
                not isinstance(value, (bytes, bytearray))
                or len(value) != target.itemsize
            ):
                raise _refuse(partition, name, value, ty)
        return np.array(values.tolist(), dtype=target)
    if (
        np.can_cast(values.dtype, target, "safe")
        or target.kind == "f"
        and values.dtype.kind in "biuf"
    ):
        return values.astype(target)
    if target.kind in "iu":
        out, bad = _integers(values, target)
        if bad < 0:
            return out
        raise _refuse(partition, name, values[bad], ty)
    raise dx.DrelixUsageError(
        f"partition {partition}: column {name!r} is {values.dtype}, "
        f"which a field of type {ty} cannot hold"
    )


def _records(
    frame: pd.DataFrame, schema: dx.Schema, partition: int
) -> np.ndarray[Any, Any]:
    dtype = dx.dtype_of(schema)
    fields = dtype.names or ()
    extra = [c for c in frame.columns if c not in fields]
    if extra:
        raise dx.DrelixUsageError(
            f"column {extra[0]!r} is not in the schema {list(fields)}"
        )
    array = np.zeros(len(frame), dtype)
    for field in schema.fields:
        name = field.name
        if name not in frame.columns:
            raise dx.DrelixUsageError(f"the schema's field {name!r} is not a column")
        values = frame[name].to_numpy()
        array[name] = _checked(values, dtype[name], partition, name, field.ty)
    return array


def _bodies(frame: pd.DataFrame) -> list[bytes]:
    if list(frame.columns) != [RECORD_COLUMN]:
        raise dx.DrelixUsageError(
            f"a prefixed schema stores one column {RECORD_COLUMN!r} of bytes, "
            f"not {list(frame.columns)}"
        )
    return list(frame[RECORD_COLUMN].tolist())


def _write_partition(
    frame: pd.DataFrame,
    path: str,
    schema: dx.Schema,
    options: dict[str, Any],
    partition: int,
    *_after: Any,
) -> str:
    """Writes one partition beside its final name, then renames it into place.

    The records are converted (and refused) before anything is created. The partial name is
    fixed per partition, so a retried task first removes what its failed attempt left (file
    and seal journal) and nothing else; readers of the directory never see a file that is not
    whole. `_after` only orders the task after the directory is ready.
    """
    write = _writing(frame, schema, partition)
    partial = _partial(path)
    discard(partial)
    published = publishing(path, replace=True, temporary=partial)
    with published:
        write(partial, options)
    return path


def _writing(
    frame: pd.DataFrame, schema: dx.Schema, partition: int
) -> Callable[[str, dict[str, Any]], None]:
    """The records of `frame`, converted (and refused) now, and what writes them as a new
    sealed file."""
    if schema.layout.fixed_size is None:
        bodies, array = _bodies(frame), None
    else:
        bodies, array = [], _records(frame, schema, partition)

    def write(path: str, options: dict[str, Any]) -> None:
        with dx.create(path, schema, **options) as writer:
            if array is None:
                writer.write_bodies(bodies)
            else:
                writer.write(array)
            writer.seal()

    return write


def _upload_partition(
    frame: pd.DataFrame,
    url: str,
    schema: dx.Schema,
    options: dict[str, Any],
    partition: int,
    storage_options: Options,
    *_after: Any,
) -> str:
    """Writes one partition as a sealed file in a new private local directory, then uploads it
    in one put to its final name: a store shows an object only once it is whole, and a retried
    task replaces its own object. The local file goes whatever happens."""
    write = _writing(frame, schema, partition)
    fs, name = filesystem(url, storage_options)
    scratch = tempfile.mkdtemp(prefix="drelix-upload-")
    try:
        local = os.path.join(scratch, "part." + EXTENSION)
        write(local, options)
        fs.put_file(local, name)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return url


def _partial(path: str) -> str:
    """The name partition `path` is written under: fixed, so that a retried task finds what
    its failed attempt left."""
    directory, name = os.path.split(path)
    return os.path.join(directory, f".{name}.partial")


# What a directory of part files may hold besides them, and removing a part removes too.
_SIDECARS = (JOURNAL_SUFFIX, REPACK_SUFFIX)


def _is_ours(name: str) -> bool:
    """Whether a directory entry is a drelix file, one's journal or repack, or the partial
    output of a write: what overwrite=True removes (never anything else)."""
    ext = "." + EXTENSION
    for sidecar in ("", *_SIDECARS):
        if name.endswith(ext + sidecar):
            return True
    return name.startswith(".") and name.endswith(
        (ext + ".partial", ext + ".partial" + JOURNAL_SUFFIX)
    )


def _check_target(target: str, overwrite: bool) -> list[str]:
    """The directories to create for `target` (outermost first); refuses a target that is not a
    directory, or one that holds anything unless `overwrite`."""
    if os.path.isdir(target):
        if os.listdir(target) and not overwrite:
            raise FileExistsError(
                errno.EEXIST,
                "directory is not empty; pass overwrite=True to replace its drelix files",
                target,
            )
        return []
    if os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, "exists and is not a directory", target)
    missing = [target]
    parent = os.path.dirname(target)
    while parent != missing[-1] and not os.path.lexists(parent):
        missing.append(parent)
        parent = os.path.dirname(parent)
    return missing[::-1]


def _prepare(target: str, overwrite: bool) -> None:
    """Creates the directory, or empties it of drelix files when overwriting; run as the task
    every write waits for, so that nothing changes before the graph is computed."""
    _check_target(target, overwrite)
    os.makedirs(target, exist_ok=True)
    for name in os.listdir(target):
        full = os.path.join(target, name)
        if _is_ours(name) and not os.path.isdir(full):
            os.remove(full)
    sync_directory(target)


def _discard(paths: list[str], created: list[str]) -> None:
    """After a failed computation: the parts it may have written and the directories it made."""
    for path in paths:
        discard(path)
        discard(_partial(path))
    for directory in reversed(created):
        try:
            os.rmdir(directory)
        except OSError:
            break  # not empty: something else lives there now


def _store_entries(url: str, storage_options: Options) -> tuple[Any, str, list[Any]]:
    """(filesystem, path, entries directly under the prefix) of a target URL; refuses a URL
    that names an object, and one the store cannot reach (a missing bucket, no permission:
    the store's own error)."""
    fs, root = filesystem(url, storage_options)
    root = root.rstrip("/")
    fs.invalidate_cache(root)
    try:
        entries = fs.ls(root, detail=True)
        # Kept, this listing would hide the objects uploaded next from readers in this
        # process: fsspec answers for a listed prefix from its listing.
        fs.invalidate_cache(root)
    except FileNotFoundError:
        if not _reachable(fs, root):
            raise FileNotFoundError(
                errno.ENOENT,
                "cannot be written to: no bucket or directory holds it",
                url,
            ) from None
        return fs, root, []
    if [e["name"].rstrip("/") for e in entries] == [root] and entries[0].get(
        "type"
    ) != "directory":
        raise FileExistsError(errno.EEXIST, "exists and is not a prefix", url)
    return fs, root, entries


def _reachable(fs: Any, path: str) -> bool:
    """Whether a prefix not there yet would be made by writing under it: whether something
    above it exists (in an object store, at least its bucket)."""
    while True:
        parent = posixpath.dirname(path)
        if not parent or parent == path:
            return False
        if fs.isdir(parent):
            return True
        path = parent


def _check_store(
    url: str, storage_options: Options, overwrite: bool
) -> tuple[Any, list[Any]]:
    """(filesystem, entries under the prefix); refuses a target prefix that holds anything
    unless `overwrite`, as for a directory."""
    fs, _, entries = _store_entries(url, storage_options)
    if entries and not overwrite:
        raise FileExistsError(
            errno.EEXIST,
            "prefix holds objects; pass overwrite=True to replace its drelix objects",
            url,
        )
    return fs, entries


def _prepare_store(url: str, storage_options: Options, overwrite: bool) -> None:
    """Removes the drelix objects under the prefix when overwriting; the task every upload
    waits for, as ``_prepare`` for a directory. A store has no directories to make."""
    fs, entries = _check_store(url, storage_options, overwrite)
    ours = [
        e["name"]
        for e in entries
        if e.get("type") != "directory" and _is_ours(posixpath.basename(e["name"]))
    ]
    if ours:
        fs.rm(ours)


def _discard_objects(urls: list[str], storage_options: Options) -> None:
    """After a failed computation: the objects it may have uploaded."""
    for url in urls:
        fs, name = filesystem(url, storage_options)
        try:
            fs.rm_file(name)
        except OSError:
            pass  # never uploaded, or not ours to remove any longer


def _to_store(
    df: dd.DataFrame,
    url: str,
    schema: dx.Schema,
    names: list[str],
    overwrite: bool,
    compute: bool,
    compute_kwargs: dict[str, Any] | None,
    storage_options: Options,
    create_options: dict[str, Any],
) -> Any:
    _check_store(url, storage_options, overwrite)
    urls = [url.rstrip("/") + "/" + name for name in names]
    ready = dask.delayed(_prepare_store, pure=False)(url, storage_options, overwrite)
    writes = [
        dask.delayed(_upload_partition, pure=False)(
            part, target, schema, create_options, i, storage_options, ready
        )
        for i, (part, target) in enumerate(zip(df.to_delayed(), urls))
    ]
    return _computed(
        writes, compute, compute_kwargs, lambda: _discard_objects(urls, storage_options)
    )


def _computed(
    writes: list[Any],
    compute: bool,
    compute_kwargs: dict[str, Any] | None,
    discard: Callable[[], None],
) -> Any:
    """The writes computed (their paths), or the delayed writes themselves; a failed
    computation removes what it wrote (``discard``), unless the target filled up meanwhile:
    what is there then is not ours to remove."""
    if not compute:
        return writes
    try:
        return list(dask.compute(*writes, **(compute_kwargs or {})))
    except FileExistsError:
        raise
    except BaseException:
        discard()
        raise


def to_drelix(
    df: dd.DataFrame,
    directory: PathLike,
    *,
    schema: dx.Schema | None = None,
    name_function: Callable[[int], str] = _default_name,
    overwrite: bool = False,
    compute: bool = True,
    compute_kwargs: dict[str, Any] | None = None,
    storage_options: Options = None,
    **create_options: Any,
) -> Any:
    """Writes each partition of `df` as one sealed drelix file in `directory`, on the workers.

    The index is not stored. Without `schema`, the columns' NumPy types make a fixed layout
    named "dataframe"; a DataFrame from ``read_drelix`` carries its files' schema, which is kept
    while its columns are unchanged and otherwise gives the types NumPy lacks (uuid). A value
    its field cannot hold (NaN, an infinity or a fraction in an integer field, an integer out of
    range) fails the write with ``DrelixUsageError`` naming the partition, column and value.
    `name_function(i)` names partition i's file (``part.{i}.drelix``). `create_options` go to
    ``dx.create``.

    A directory that holds anything is refused with ``FileExistsError`` before any task runs,
    unless `overwrite`: then the writing first removes its drelix files (and their journals,
    repacks and partial writes), and leaves every other file alone. The directory is made by
    the computation, not before; a computation that fails removes the parts it wrote and the
    directories it made. Returns the paths, computed with `compute_kwargs` (``scheduler=``
    for example), or with ``compute=False`` the Delayed objects that write them.

    `directory` may be a URL of a prefix in a store (``s3://tel/out/``, with
    `storage_options`; ``file://`` URLs are local paths). Each task writes its partition as a
    sealed file in a private local temporary directory, then uploads it in one put to its
    final name (a retried task replaces its own object), and removes the local file. A URL
    the store cannot reach (a missing bucket, no permission) is refused before anything is
    made, one that names an object with ``FileExistsError``; the prefix follows the
    directory's rules (``overwrite=True`` removes only its drelix objects, a computation that
    fails removes the objects it uploaded). Returns the objects' URLs.
    """
    text = os.fspath(directory)
    if schema is None:
        schema = _schema_for(df._meta)
    names = [name_function(i) for i in range(df.npartitions)]
    if len(set(names)) != len(names):
        raise dx.DrelixUsageError(
            "name_function gives two partitions the same file name"
        )
    if is_url(text):
        return _to_store(
            df,
            text,
            schema,
            names,
            overwrite,
            compute,
            compute_kwargs,
            storage_options,
            create_options,
        )
    if storage_options:
        raise TypeError(f"{text}: storage_options applies to URLs, not to local paths")
    target = os.path.abspath(local_path(text))
    created = _check_target(target, overwrite)
    paths = [os.path.join(target, name) for name in names]
    ready = dask.delayed(_prepare, pure=False)(target, overwrite)
    writes = [
        dask.delayed(_write_partition, pure=False)(
            part, path, schema, create_options, i, ready
        )
        for i, (part, path) in enumerate(zip(df.to_delayed(), paths))
    ]
    return _computed(writes, compute, compute_kwargs, lambda: _discard(paths, created))
