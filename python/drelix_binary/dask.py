"""Drelix files as Dask collections: read by a cluster, written by a cluster.

A closed frame is an independent, checksummed unit whose place and decoded size are known from
the header zone and the first bytes of the frame, so a partition is a run of whole frames of
one file (the tail, if asked for, counts as one more unit). Planning opens every file once on
the client and decodes nothing; each task reopens its file and decodes only its own frames.

Needs the ``dask`` extra: ``pip install drelix-binary[dask]``.
"""

# dask, pandas and pyarrow ship no type information; calls into them are untyped.
# mypy: disable-error-code="no-untyped-call, no-any-return, import-untyped, attr-defined"

from __future__ import annotations

import glob
import os
import re
from collections.abc import Iterable, Sequence
from typing import Any, Callable, NamedTuple, Union

import dask
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa

import drelix_binary as dx

__all__ = ["PARTITION_BYTES", "read_drelix", "read_drelix_bag", "to_drelix"]

PARTITION_BYTES = 100 * 2**20
"""Decoded bytes an automatically sized partition aims at."""

# The one column of a prefixed file: each record's body.
RECORD_COLUMN = "record"

PathLike = Union[str, "os.PathLike[str]"]
Paths = Union[PathLike, Iterable[PathLike]]


class _Part(NamedTuple):
    """One partition: frames [first, stop) of a file, then its tail when `tail` is set.

    `row` is the in-file number of the first record and `records` the number planned, both
    None when the layout does not let the client count without decoding (prefixed records).
    `start` is the running record number across all files, the partition's first index value.
    """

    path: str
    first: int
    stop: int
    tail: bool
    row: int | None
    records: int | None
    start: int | None


class _Unit(NamedTuple):
    frame: int | None  # frame position, None for the tail
    size: int  # decoded bytes, or the best estimate the zone allows
    records: int | None


# ---------------------------------------------------------------------------------------------
# Planning on the client


def _expand(paths: Paths) -> list[str]:
    """Every file named, globbed or held by a named directory, in natural path order."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found: set[str] = set()
    for item in items:
        text = os.fspath(item)
        if os.path.isdir(text):
            found.update(
                glob.glob(os.path.join(glob.escape(text), "*." + dx._native.EXTENSION))
            )
        elif glob.has_magic(text):
            found.update(glob.glob(text))
        else:
            found.add(text)  # a missing file fails in open, with its name
    if not found:
        raise FileNotFoundError(f"no drelix files match {paths!r}")
    return sorted(found, key=_natural)


def _natural(path: str) -> list[tuple[int, int, str]]:
    """Sort key that puts part.2 before part.10: digit runs compare as numbers."""
    return [
        (0, int(t), "") if t.isdigit() else (1, 0, t) for t in re.split(r"(\d+)", path)
    ]


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


def _describe(schema: dx.Schema) -> str:
    fields = ", ".join(f"{f.name}:{f.ty}@{f.offset}" for f in schema.fields)
    size = schema.layout.fixed_size
    layout = "prefixed" if size is None else f"fixed {size}"
    return f"{schema.name!r} ({fields}; {layout})"


class _Plan(NamedTuple):
    schema: dx.Schema
    dtype: np.dtype[Any] | None
    parts: list[_Part]
    divisions: tuple[int, ...] | None


def _plan(paths: Paths, frames_per_partition: int | None, include_tail: bool) -> _Plan:
    if frames_per_partition is not None and frames_per_partition < 1:
        raise dx.DrelixUsageError("frames_per_partition must be at least 1")
    files = _expand(paths)
    first_path, schema, dtype = "", None, None
    parts: list[_Part] = []
    reader: dx.Reader
    for path in files:
        with dx.open(path) as reader:
            if schema is None:
                first_path, schema, dtype = path, reader.schema, reader.dtype
                if dtype is not None and not dtype.names:
                    # Fixed records without fields are bytes, as prefixed ones are.
                    dtype = None
            elif reader.schema != schema:
                raise dx.DrelixUsageError(
                    f"schemas differ: {first_path} has {_describe(schema)}, "
                    f"{path} has {_describe(reader.schema)}"
                )
            frames = reader.frames
            units = _units(reader, frames, include_tail)
        parts.extend(_file_parts(path, len(frames), units, frames_per_partition, dtype))
    if schema is None:
        raise FileNotFoundError(f"no drelix files match {paths!r}")
    counts = [p.records for p in parts]
    if dtype is None or None in counts:
        return _Plan(schema, dtype, parts, None)
    # Known counts: number the records across the files; a division per partition start.
    starts = [0]
    for count in counts:
        starts.append(starts[-1] + (count or 0))
    parts = [p._replace(start=start) for p, start in zip(parts, starts)]
    divisions = (*starts[:-1], starts[-1] - 1) if parts else None
    return _Plan(schema, dtype, parts, divisions)


def _file_parts(
    path: str,
    frame_count: int,
    units: list[_Unit],
    frames_per_partition: int | None,
    dtype: np.dtype[Any] | None,
) -> list[_Part]:
    parts = []
    # The in-file number of the next record, while every count before it is known.
    row: int | None = 0
    for group in _group(units, frames_per_partition):
        first = group[0].frame if group[0].frame is not None else frame_count
        frames = sum(u.frame is not None for u in group)
        counts = [u.records for u in group]
        records = None
        if dtype is not None and None not in counts:
            records = sum(c or 0 for c in counts)
        if records == 0:
            continue  # an empty frame adds nothing and would repeat a division
        tail = group[-1].frame is None
        parts.append(_Part(path, first, first + frames, tail, row, records, None))
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


def _decode_fixed(reader: dx.Reader, part: _Part) -> np.ndarray[Any, Any]:
    if part.row is None or part.records is None:
        # A frame declared no size: whole frames by position, then the tail.
        frames = range(part.first, part.stop)
        arrays = [np.frombuffer(reader.read_frame(i), reader.dtype) for i in frames]
        if part.tail:
            arrays.append(reader.to_numpy(len(reader) - reader.tail_records, threads=1))
        return np.concatenate(arrays) if arrays else np.empty(0, reader.dtype)
    # Dask already runs one task per core; a second pool inside each task would only compete.
    array = reader.to_numpy(part.row, part.row + part.records, threads=1)
    if len(array) != part.records:
        raise dx.DrelixMalformedError(
            f"{part.path}: {len(array)} records where the frames declared {part.records}; "
            "the file changed after planning"
        )
    return array


def _decode_records(reader: dx.Reader, part: _Part) -> list[bytes]:
    records: list[bytes] = []
    for index in range(part.first, part.stop):
        records.extend(reader.frame_records(index))
    if part.tail:
        records.extend(_tail_records(reader))
    return records


def _tail_records(reader: dx.Reader) -> list[bytes]:
    # The reader reaches the tail of length-prefixed records only through record numbers,
    # which means counting (decoding) every frame before it; the extension reads it alone.
    tail = dx._native.Container.open_read(reader.path).read_tail()
    return dx._native.split_records(tail, reader.layout)[0]


def _decode(part: _Part, fixed: bool) -> Any:
    """The records of one partition: a structured array (fixed layouts) or a list of bytes."""
    with dx.open(part.path) as reader:
        try:
            return (
                _decode_fixed(reader, part) if fixed else _decode_records(reader, part)
            )
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
    array: np.ndarray[Any, Any], columns: Sequence[str], start: int
) -> pd.DataFrame:
    index = pd.RangeIndex(start, start + len(array))
    return pd.DataFrame({name: _column(array[name]) for name in columns}, index=index)


def _binary_frame(records: list[bytes]) -> pd.DataFrame:
    column = pd.arrays.ArrowExtensionArray(pa.array(records, pa.binary()))
    return pd.DataFrame({RECORD_COLUMN: column})


class _ReadPartition:
    """Turns one planned partition into a pandas DataFrame of the chosen columns.

    Dask pushes a later column selection into `columns`, so fields that are not wanted are
    dropped right after the one decode instead of travelling between workers.
    """

    def __init__(self, dtype: np.dtype[Any] | None):
        self.dtype = dtype

    def _names(self, columns: Sequence[str] | None) -> Sequence[str]:
        return columns or (self.dtype.names or () if self.dtype is not None else ())

    def meta(self, columns: Sequence[str] | None = None) -> pd.DataFrame:
        if self.dtype is None:
            return _binary_frame([])
        return _frame(np.empty(0, self.dtype), self._names(columns), 0)

    def __call__(
        self, part: _Part, columns: Sequence[str] | None = None
    ) -> pd.DataFrame:
        if self.dtype is None:
            return _binary_frame(_decode(part, fixed=False))
        array = _decode(part, fixed=True)
        return _frame(array, self._names(columns), part.start or 0)


# ---------------------------------------------------------------------------------------------
# Public entry points


def read_drelix(
    paths: Paths,
    *,
    columns: Sequence[str] | None = None,
    frames_per_partition: int | None = None,
    include_tail: bool = True,
) -> dd.DataFrame:
    """Drelix files as one Dask DataFrame, one partition per run of frames of one file.

    `paths` is a path, a glob, a directory (its ``*.drelix`` files) or a list of these; files
    are taken in natural path order (part.2 before part.10). Fixed layouts give one column per
    schema field (``uuid`` as 16-byte binary), indexed by the running record number across the
    files, with known divisions when every frame declares its size. Length-prefixed records
    give one binary column ``record``, unknown divisions and an index counting from 0 in each
    partition: their numbers are known only once every earlier frame is decoded.

    Partitions hold about PARTITION_BYTES of decoded records unless `frames_per_partition`
    says how many frames each takes; `include_tail` adds the records not yet in a frame.
    `columns` selects fields, as a later ``df[columns]`` would. Files whose schemas differ
    are refused with ``DrelixUsageError``; a damaged frame fails the computation with
    ``DrelixMalformedError`` naming the file and the frame.
    """
    plan = _plan(paths, frames_per_partition, include_tail)
    names = list(plan.dtype.names or ()) if plan.dtype is not None else [RECORD_COLUMN]
    if columns is not None:
        columns = [columns] if isinstance(columns, str) else list(columns)
        unknown = [c for c in columns if c not in names]
        if unknown:
            raise dx.DrelixUsageError(
                f"no column {unknown[0]!r}; the files have {names}"
            )
        names = columns
    reader = _ReadPartition(plan.dtype)
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


def _bag_partition(parts: list[_Part], fixed: bool) -> list[bytes]:
    records: list[bytes] = []
    for part in parts:
        decoded = _decode(part, fixed)
        if fixed:
            raw, size = decoded.tobytes(), decoded.itemsize
            records.extend(raw[i : i + size] for i in range(0, len(raw), size))
        else:
            records.extend(decoded)
    return records


def read_drelix_bag(
    paths: Paths, *, frames_per_partition: int | None = None, include_tail: bool = True
) -> db.Bag:
    """The record bodies of drelix files as a Dask Bag of bytes, partitioned as read_drelix."""
    plan = _plan(paths, frames_per_partition, include_tail)
    fixed = plan.dtype is not None
    if not plan.parts:
        return db.from_sequence([], npartitions=1)
    specs = db.from_sequence(plan.parts, npartitions=len(plan.parts))
    return specs.map_partitions(_bag_partition, fixed)


# ---------------------------------------------------------------------------------------------
# Writing


def _default_name(index: int) -> str:
    return f"part.{index}.{dx._native.EXTENSION}"


def _schema_for(meta: pd.DataFrame) -> dx.Schema:
    fields = []
    for name, dtype in meta.dtypes.items():
        if not isinstance(dtype, np.dtype):
            raise dx.DrelixUsageError(
                f"column {name!r} is {dtype}; pass schema= to say how to store it"
            )
        fields.append(
            (str(name), dtype.newbyteorder("<") if dtype.itemsize > 1 else dtype)
        )
    return dx.schema("dataframe", np.dtype(fields))


def _records(frame: pd.DataFrame, dtype: np.dtype[Any]) -> np.ndarray[Any, Any]:
    fields = dtype.names or ()
    extra = [c for c in frame.columns if c not in fields]
    if extra:
        raise dx.DrelixUsageError(
            f"column {extra[0]!r} is not in the schema {list(fields)}"
        )
    array = np.zeros(len(frame), dtype)
    for name in fields:
        if name not in frame.columns:
            raise dx.DrelixUsageError(f"the schema's field {name!r} is not a column")
        values = frame[name]
        if dtype[name].kind == "V":
            values = np.array(values.tolist(), dtype=dtype[name])
        array[name] = np.asarray(values)
    return array


def _bodies(frame: pd.DataFrame) -> list[bytes]:
    if list(frame.columns) != [RECORD_COLUMN]:
        raise dx.DrelixUsageError(
            f"a prefixed schema stores one column {RECORD_COLUMN!r} of bytes, "
            f"not {list(frame.columns)}"
        )
    return list(frame[RECORD_COLUMN].tolist())


def _sync_directory(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_partition(
    frame: pd.DataFrame, path: str, schema: dx.Schema, options: dict[str, Any]
) -> str:
    """Writes one partition beside its final name, then renames it into place.

    The partial name is fixed per partition, so a retried task first removes what its failed
    attempt left (file and seal journal) and nothing else; readers of the directory never see
    a file that is not whole.
    """
    directory, name = os.path.split(path)
    partial = os.path.join(directory, f".{name}.partial")
    for leftover in (partial, partial + ".seal"):
        try:
            os.remove(leftover)
        except FileNotFoundError:
            pass
    with dx.create(partial, schema, **options) as writer:
        if schema.layout.fixed_size is None:
            writer.write_bodies(_bodies(frame))
        else:
            writer.write(_records(frame, dx.dtype_of(schema)))
        writer.seal()
    os.replace(partial, path)
    _sync_directory(directory)
    return path


def to_drelix(
    df: dd.DataFrame,
    directory: PathLike,
    *,
    schema: dx.Schema | None = None,
    name_function: Callable[[int], str] = _default_name,
    compute: bool = True,
    compute_kwargs: dict[str, Any] | None = None,
    **create_options: Any,
) -> Any:
    """Writes each partition of `df` as one sealed drelix file in `directory`, on the workers.

    The index is not stored. Without `schema`, the columns' NumPy types make a fixed layout
    named "dataframe". `name_function(i)` names partition i's file (``part.{i}.drelix``).
    `create_options` go to ``dx.create``. Returns the paths, computed with `compute_kwargs`
    (``scheduler=`` for example), or with ``compute=False`` the Delayed objects that write them.
    """
    target = os.path.abspath(os.fspath(directory))
    os.makedirs(target, exist_ok=True)
    if schema is None:
        schema = _schema_for(df._meta)
    names = [name_function(i) for i in range(df.npartitions)]
    if len(set(names)) != len(names):
        raise dx.DrelixUsageError(
            "name_function gives two partitions the same file name"
        )
    paths = [os.path.join(target, name) for name in names]
    writes = [
        dask.delayed(_write_partition, pure=False)(part, path, schema, create_options)
        for part, path in zip(df.to_delayed(), paths)
    ]
    if not compute:
        return writes
    return list(dask.compute(*writes, **(compute_kwargs or {})))
