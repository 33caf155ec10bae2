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

import os as _os
from typing import Literal, overload

from . import _native
from ._load import load_engine as _load_engine

_engine = _load_engine()
from ._errors import DrelixLockedError, register_pickling
from ._maintenance import (
    RebuildReport,
    RepackReport,
    ValidateReport,
    rebuild_headers,
    repack,
    validate,
)
from ._native import (
    COLD_LEVEL,
    HOT_LEVEL,
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
from ._reader import FrameInfo, Reader
from ._schema import dtype_of, schema
from ._writer import (
    DEFAULT_FRAME_BYTES,
    DEFAULT_HEADER_AREA,
    Writer,
    create,
    open_writer,
)

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
    "Preamble",
    "Reader",
    "RebuildReport",
    "RecordLayout",
    "RepackReport",
    "Schema",
    "ValidateReport",
    "Writer",
    "__version__",
    "create",
    "dtype_of",
    "open",
    "rebuild_headers",
    "repack",
    "schema",
    "validate",
]
__version__: str = _native.__version__

register_pickling()


@overload
def open(path: str | _os.PathLike[str], mode: Literal["r"] = "r") -> Reader: ...
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
) -> Reader | Writer: ...
def open(
    path: str | _os.PathLike[str],
    mode: str = "r",
    *,
    level: int | None = None,
    lock: bool = True,
    frame_records: int | None = None,
    frame_bytes: int | None = DEFAULT_FRAME_BYTES,
    frame_seconds: float | None = None,
) -> Reader | Writer:
    """Opens a drelix file: ``mode="r"`` (default) for a ``Reader``, ``mode="a"`` for a
    ``Writer`` that appends to it (the options are those of ``create``; ``level`` defaults to
    the level the file records).

    Raises ``FileNotFoundError`` for a missing file, ``DrelixMalformedError`` for a file that
    is not a drelix file, ``DrelixLockedError`` when another writer holds it (mode "a"),
    ``ValueError`` for another mode."""
    if mode == "r":
        return Reader(path)
    if mode == "a":
        return open_writer(
            path,
            level=level,
            lock=lock,
            frame_records=frame_records,
            frame_bytes=frame_bytes,
            frame_seconds=frame_seconds,
        )
    raise ValueError(f"mode must be 'r' or 'a', not {mode!r}")
