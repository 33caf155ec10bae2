"""`drelix export` and `drelix import`: to and from Parquet, Arrow IPC, CSV and NumPy files.

Both stream a batch at a time (a frame, a row group, a block of rows), so memory stays bounded
by one batch. CSV export needs nothing beyond NumPy; everything else needs pyarrow. An output
that was being written when the command failed or was interrupted is removed.
"""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterator
from typing import Any, BinaryIO

import numpy as np

from .._publish import publishing
from . import _errors, _progress
from ._errors import printable
from ._records import batch_count, batches
from ._render import Renderer
from ._source import is_series, open_reader, series_paths

EXTENSIONS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".arrow": "arrow",
    ".feather": "arrow",
    ".ipc": "arrow",
    ".csv": "csv",
    ".npy": "npy",
}
# Arrow and NumPy types, and the drelix field type each becomes on import.
_NUMPY_KINDS = {
    ("u", 1): "u8",
    ("u", 2): "u16",
    ("u", 4): "u32",
    ("u", 8): "u64",
    ("b", 1): "u8",
    ("V", 16): "uuid",
}
ROWS_PER_BATCH = 1 << 16


def _kind_of(path: str, given: str | None, allowed: tuple[str, ...]) -> str:
    kind = given or EXTENSIONS.get(os.path.splitext(path)[1].lower())
    if kind not in allowed:
        raise _errors.CommandError(
            path,
            f"cannot tell the format from the name; use one of {', '.join(allowed)}",
        )
    return kind


def _pyarrow(path: str, what: str) -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise _errors.CommandError(
            path, f"{what} needs pyarrow: pip install 'drelix-binary[arrow]'"
        ) from None
    return pyarrow


def _check_target(
    path: str, source: str, force: bool, inputs: tuple[str, ...] = ()
) -> None:
    """An existing OUT is replaced only by `--force`, and only when it is a regular file that
    is not the input under another name (a link to it, a hard link), nor one of `inputs` (the
    files of a series read): never a device, a FIFO or a directory entry that merely points
    elsewhere."""
    try:
        target = os.lstat(path)
    except FileNotFoundError:
        return
    if not force:
        raise _errors.CommandError(path, "already exists (--force overwrites it)")
    if not stat.S_ISREG(target.st_mode):
        raise _errors.CommandError(
            path, "is not a regular file; --force replaces only regular files"
        )
    for name in (source, *inputs):
        with contextlib.suppress(OSError):
            src = os.stat(name)
            if (target.st_dev, target.st_ino) == (src.st_dev, src.st_ino):
                what = (
                    f"{name} itself"
                    if name == source
                    else f"{name}, a file of the series {source}"
                )
                raise _errors.CommandError(path, f"is {what}; refusing to replace it")


@contextlib.contextmanager
def _publishing(
    path: str, source: str, force: bool, inputs: tuple[str, ...] = ()
) -> Iterator[str]:
    """The name the output is written under, beside `path`; it is named `path` once complete.
    `--force` replaces what is there (checked again just before); without it, a file that
    appeared in the meantime is never replaced."""
    try:
        with publishing(path, replace=force) as partial:
            yield partial
            _check_target(path, source, force, inputs)
    except FileExistsError as exc:
        if exc.filename != path:
            raise
        raise _errors.CommandError(
            path, "already exists (--force overwrites it)"
        ) from None


def export(args: Any) -> int:
    kind = _kind_of(args.out, args.to, ("parquet", "arrow", "csv"))
    if args.compression is not None and kind != "parquet":
        raise _errors.CommandError(args.out, "--compression applies to Parquet only")
    pa = None if kind == "csv" else _pyarrow(args.out, f"export to {kind}")
    # A series: each of its files is the input, which OUT never replaces.
    series = is_series(args.path)
    inputs = tuple(series_paths(args.path, args.prefix)) if series else ()
    _check_target(args.out, args.path, args.force, inputs)
    with open_reader(args) as reader:
        track = _progress.track("export", batches(reader), batch_count(reader))
        with _publishing(args.out, args.path, args.force, inputs) as partial, open(partial, "xb") as file, track as items:  # fmt: skip
            if kind == "csv":
                render = Renderer("csv", reader.dtype)
                file.write(render.header())
                file.writelines(render.records(batch) for batch in items)
            else:
                batches_ = (b for b in items if len(b))
                _write_arrow(pa, kind, file, batches_, reader.dtype, args.compression or "zstd")  # fmt: skip
        print(
            f"{printable(args.out)}: {len(reader):,} records from {printable(args.path)}"
        )
    return _errors.OK


def _write_arrow(
    pa: Any,
    kind: str,
    file: BinaryIO,
    items: Iterator[Any],
    dtype: Any,
    compression: str,
) -> None:
    """Parquet (its columns compressed with `compression`) or Arrow IPC, written to an open
    file: pyarrow given a path would open whatever the name leads to."""
    import pyarrow.ipc  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]

    schema = _arrow_schema(pa, dtype)
    sink = (
        pyarrow.parquet.ParquetWriter(file, schema, compression=compression)
        if kind == "parquet"
        else pyarrow.ipc.new_file(file, schema)
    )
    with sink:
        for batch in items:
            sink.write_batch(_arrow_batch(pa, batch, schema))


def _arrow_schema(pa: Any, dtype: Any) -> Any:
    if dtype is None:
        return pa.schema([("record", pa.binary())])
    return pa.schema(
        [
            (
                name,
                pa.binary(16)
                if dtype[name].kind == "V"
                else pa.from_numpy_dtype(dtype[name].newbyteorder("=")),
            )
            for name in dtype.names
        ]
    )


def _arrow_batch(pa: Any, batch: Any, schema: Any) -> Any:
    if not isinstance(batch, np.ndarray):
        return pa.record_batch([pa.array(batch, pa.binary())], schema=schema)
    columns = []
    for field in schema:
        col = np.ascontiguousarray(batch[field.name])
        if col.dtype.kind == "V":
            columns.append(
                pa.FixedSizeBinaryArray.from_buffers(
                    field.type, len(col), [None, pa.py_buffer(col.tobytes())]
                )
            )
        else:
            columns.append(pa.array(col, field.type))
    return pa.record_batch(columns, schema=schema)


def import_(args: Any) -> int:
    import drelix_binary as dx

    kind = _kind_of(args.source, None, ("parquet", "arrow", "csv", "npy"))
    name = args.schema or os.path.splitext(os.path.basename(args.out))[0] + "@1"
    source = _read_npy(args.source) if kind == "npy" else _read_arrow(args.source, kind)
    types, total, chunks = source
    options = {"source": os.path.basename(args.source), "level": args.level}
    if args.header_area is not None:
        options["header_area"] = args.header_area
    _check_target(args.out, args.source, args.force)
    with _publishing(args.out, args.source, args.force) as target:
        if types is None:
            schema = dx.schema(name, {}, layout="prefixed")
        else:
            schema = dx.schema(name, types)
        dtype = None if types is None else dx.dtype_of(schema)
        with dx.create(target, schema, **options) as writer:
            with _progress.track("import", chunks, total, unit="batches") as items:
                for chunk in items:
                    if dtype is None:
                        writer.write_bodies(chunk)
                        continue
                    assert types is not None
                    records = np.empty(len(chunk[next(iter(types))]), dtype)
                    for field, values in chunk.items():
                        records[field] = values
                    writer.write(records)
            writer.seal()
            frames = _errors.plural(len(writer.frames), "frame")
            count = writer.records
    print(
        f"{printable(args.out)}: {count:,} records in {frames} from {printable(args.source)}"
    )
    return _errors.OK


def _field_type(path: str, column: str, dtype: np.dtype) -> str:
    """The drelix type a NumPy column is stored as; signed integers widen to i64."""
    if dtype.kind == "i":
        return "i64"
    if dtype.kind == "f":
        return "f64"
    try:
        return _NUMPY_KINDS[dtype.kind, dtype.itemsize]
    except KeyError:
        raise _errors.CommandError(
            path,
            f"column {column!r} is {dtype}; drelix fields are u8 u16 u32 u64 i64 f64 "
            "uuid (or one binary or text column, stored as whole records)",
        ) from None


def _read_npy(path: str) -> tuple[dict[str, str], int, Iterator[dict[str, np.ndarray]]]:
    array = np.load(path, mmap_mode="r", allow_pickle=False)
    if array.ndim != 1:
        raise _errors.CommandError(
            path,
            f"holds a {array.ndim}-dimensional array; "
            "records are one row each of a 1-dimensional array",
        )
    names = array.dtype.names or ("value",)
    types = {
        n: _field_type(path, n, array.dtype[n] if array.dtype.names else array.dtype)
        for n in names
    }

    def chunks() -> Iterator[dict[str, np.ndarray]]:
        for i in range(0, len(array), ROWS_PER_BATCH):
            part = array[i : i + ROWS_PER_BATCH]
            yield {n: part[n] if array.dtype.names else part for n in names}

    return types, -(-len(array) // ROWS_PER_BATCH), chunks()


def _read_arrow(
    path: str, kind: str
) -> tuple[dict[str, str] | None, int, Iterator[Any]]:
    pa = _pyarrow(path, f"import from {kind}")
    if kind == "parquet":
        import pyarrow.parquet  # type: ignore[import-untyped, unused-ignore]

        file = pyarrow.parquet.ParquetFile(path)
        schema, total = file.schema_arrow, file.metadata.num_row_groups
        stream: Iterator[Any] = (file.read_row_group(i) for i in range(total))
    elif kind == "arrow":
        import pyarrow.ipc  # type: ignore[import-untyped, unused-ignore]

        file = pyarrow.ipc.open_file(path)
        schema, total = file.schema, file.num_record_batches
        stream = (file.get_batch(i) for i in range(total))
    else:
        reader = _open_csv(pa, path)
        schema, total, stream = reader.schema, None, iter(reader)
    if len(schema) == 1 and (
        pa.types.is_binary(schema[0].type)
        or pa.types.is_string(schema[0].type)
        or pa.types.is_large_binary(schema[0].type)
        or pa.types.is_large_string(schema[0].type)
    ):
        bodies = (_bodies(path, table.column(0)) for table in stream)
        return None, total, bodies
    types = {}
    for field in schema:
        if pa.types.is_fixed_size_binary(field.type) and field.type.byte_width == 16:
            types[field.name] = "uuid"
        else:
            try:
                numpy_type = field.type.to_pandas_dtype()
            except NotImplementedError:
                numpy_type = object
            types[field.name] = _field_type(path, field.name, np.dtype(numpy_type))
    return types, total, (_columns(path, table, types) for table in stream)


def _open_csv(pa: Any, path: str) -> Any:
    """A CSV reader whose integer columns stay exact. pyarrow reads a column of integers
    beyond int64 as float64, which rounds every value above 2**53 in it: such a column is read
    as uint64 instead, or refused when it also holds negative numbers."""
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.csv  # type: ignore[import-untyped, unused-ignore]

    floats = [f.name for f in pyarrow.csv.open_csv(path).schema if pa.types.is_floating(f.type)]  # fmt: skip
    if not floats:
        return pyarrow.csv.open_csv(path)
    as_text = pyarrow.csv.ConvertOptions(
        column_types=dict.fromkeys(floats, pa.string())
    )
    first = pyarrow.csv.open_csv(path, convert_options=as_text).read_next_batch()
    wide = {}
    for name in floats:
        cells = pc.utf8_trim_whitespace(first.column(name))
        cells = cells.filter(pc.not_equal(cells, ""))
        if (
            not len(cells)
            or not pc.all(pc.match_substring_regex(cells, r"^[+-]?\d+$")).as_py()
        ):
            continue
        if pc.any(pc.starts_with(cells, "-")).as_py():
            raise _errors.CommandError(
                path, f"column {name!r} holds integers beyond the range of i64 and u64"
            )
        wide[name] = pa.uint64()
    return pyarrow.csv.open_csv(
        path, convert_options=pyarrow.csv.ConvertOptions(column_types=wide)
    )


def _bodies(path: str, column: Any) -> list[bytes]:
    if column.null_count:
        raise _errors.CommandError(
            path, "has missing values; records cannot be missing"
        )
    return [
        v if isinstance(v, bytes) else v.encode("utf-8") for v in column.to_pylist()
    ]


def _columns(path: str, table: Any, types: dict[str, str]) -> dict[str, np.ndarray]:
    out = {}
    for name, ty in types.items():
        column = table.column(name)
        if column.null_count and ty != "f64":
            raise _errors.CommandError(
                path,
                f"column {name!r} has missing values; only float columns can hold them",
            )
        if ty == "uuid":
            chunk = (
                column.combine_chunks() if hasattr(column, "combine_chunks") else column
            )
            raw = np.frombuffer(chunk.buffers()[1], np.uint8)[
                chunk.offset * 16 : (chunk.offset + len(chunk)) * 16
            ]
            out[name] = raw.view("V16")
        else:
            out[name] = column.to_numpy(zero_copy_only=False)
    return out
