"""Append-only record files with crash-safe zstd frames.

    import drelix_binary as dx

    schema = dx.schema("telemetry@1", {"id": "u64", "value": "f64"})
    with dx.create("run.drelix", schema) as w:
        w.append(bytes(16))
    with dx.open("run.drelix") as r:
        table = r.to_numpy()

``create`` and ``open(path, "a")`` give a ``Writer``; ``open(path)`` a ``Reader``. The
low-level contract, one call per engine operation, is the extension module
``drelix_binary._native``.
"""

from __future__ import annotations

import importlib as _importlib
import os as _os
import typing as _typing
from typing import TYPE_CHECKING, Literal, overload

from . import _native
from ._defaults import COLD_LEVEL, DEFAULT_FRAME_BYTES, DEFAULT_HEADER_AREA, HOT_LEVEL
from ._errors import DrelixLockedError
from ._native import (
    MAX_HEADER_AREA,
    DrelixCompressionError,
    DrelixError,
    DrelixMalformedError,
    DrelixUsageError,
    DrelixZoneFullError,
    FieldSpec,
    Frame,
    Preamble,
    RecordLayout,
    Schema,
)
from ._pickle import register_pickling as _register_pickling

if TYPE_CHECKING:
    from ._follow import follow, follow_batches
    from ._maintenance import rebuild_headers, repack, validate
    from ._reader import Reader
    from ._salvage import salvage
    from ._schema import dtype_of, schema
    from ._series import SeriesReader, SeriesWriter, create_series, open_series
    from ._types import (
        FrameInfo,
        LostFrame,
        RebuildReport,
        RepackReport,
        SalvageReport,
        ValidateReport,
    )
    from ._writer import Writer, create
    from ._writer import open_writer as open_writer

# The names of the modules that need numpy or dataclasses are loaded when first used:
# `import drelix_binary` then costs a few milliseconds, and the command line has its signal handlers in place before
# the heavy imports begin (a Ctrl-C in its first moments ends like any other).
_LAZY = {
    **dict.fromkeys(("rebuild_headers", "repack", "validate"), "_maintenance"),
    "Reader": "_reader",
    **dict.fromkeys(("follow", "follow_batches"), "_follow"),
    "salvage": "_salvage",
    **dict.fromkeys(
        ("SeriesReader", "SeriesWriter", "create_series", "open_series"), "_series"
    ),
    **dict.fromkeys(
        (
            "FrameInfo",
            "LostFrame",
            "RebuildReport",
            "RepackReport",
            "SalvageReport",
            "ValidateReport",
        ),
        "_types",
    ),
    **dict.fromkeys(("dtype_of", "schema"), "_schema"),
    **dict.fromkeys(("Writer", "create", "open_writer"), "_writer"),
}

__all__ = [
    "COLD_LEVEL",
    "DEFAULT_FRAME_BYTES",
    "DEFAULT_HEADER_AREA",
    "HOT_LEVEL",
    "MAX_HEADER_AREA",
    "DrelixCompressionError",
    "DrelixError",
    "DrelixLockedError",
    "DrelixMalformedError",
    "DrelixUsageError",
    "DrelixZoneFullError",
    "FieldSpec",
    "Frame",
    "FrameInfo",
    "LostFrame",
    "Preamble",
    "Reader",
    "RebuildReport",
    "RecordLayout",
    "RepackReport",
    "SalvageReport",
    "Schema",
    "SeriesReader",
    "SeriesWriter",
    "ValidateReport",
    "Writer",
    "__version__",
    "create",
    "create_series",
    "dtype_of",
    "follow",
    "follow_batches",
    "open",
    "open_series",
    "rebuild_headers",
    "repack",
    "salvage",
    "schema",
    "validate",
]
__version__: str = _native.__version__

_register_pickling()


@overload
def open(
    path: str | _os.PathLike[str] | _typing.IO[bytes],
    mode: Literal["r"] = "r",
    *,
    storage_options: dict[str, _typing.Any] | None = None,
) -> Reader: ...
@overload
def open(
    path: str | _os.PathLike[str],
    mode: Literal["a"],
    *,
    level: int | None = None,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
    flush_seconds: float | None = None,
    index: _typing.Sequence[str] | None = None,
) -> Writer: ...
@overload
def open(
    path: str | _os.PathLike[str],
    mode: str,
    *,
    level: int | None = None,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
    flush_seconds: float | None = None,
    storage_options: dict[str, _typing.Any] | None = None,
    index: _typing.Sequence[str] | None = None,
) -> Reader | Writer: ...
def open(
    path: str | _os.PathLike[str] | _typing.IO[bytes],
    mode: str = "r",
    *,
    level: int | None = None,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
    flush_seconds: float | None = None,
    storage_options: dict[str, _typing.Any] | None = None,
    index: _typing.Sequence[str] | None = None,
) -> Reader | Writer:
    """Opens a drelix file: ``mode="r"`` (default) for a ``Reader``, ``mode="a"`` for a
    ``Writer`` that appends to it (the options, the frame policy and ``flush_seconds`` among
    them, are those of ``create``; ``level`` defaults to the level the file records; ``index``
    adds fields to those the file keeps statistics of).

    For reading, ``path`` may also be a URL that fsspec reaches (``s3://bucket/key``,
    ``gs://``, ``az://``, ``https://``, ``memory://``, chained forms; ``storage_options`` go
    to its filesystem) or a seekable binary file object: the zone is fetched at open, then
    only the frames a read needs, several at once. Writing needs a local file.

    Raises ``FileNotFoundError`` for a missing file, ``DrelixMalformedError`` for a file that
    is not a drelix file, ``DrelixLockedError`` when another writer holds it (mode "a"),
    ``DrelixUsageError`` for mode "a" on a URL or file object, ``ValueError`` for another
    mode."""
    if mode == "r":
        from ._reader import Reader

        return Reader(path, storage_options=storage_options)
    if mode == "a":
        from ._remote import local_path, refuse_write
        from ._writer import open_writer

        refuse_write(path, storage_options)
        return open_writer(
            local_path(path),  # type: ignore[arg-type]
            level=level,
            lock=lock,
            frame_records=frame_records,
            frame_bytes=frame_bytes,
            frame_seconds=frame_seconds,
            flush_seconds=flush_seconds,
            index=index,
        )
    raise ValueError(f"mode must be 'r' or 'a', not {mode!r}")


def __getattr__(name: str) -> object:
    # dx.dask imports Dask only when first used, so `import drelix_binary` stays light.
    if name == "dask":
        return _importlib.import_module(".dask", __name__)
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(_importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY, "dask"})
