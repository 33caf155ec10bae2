"""Pickling for the extension's classes.

The extension's exception classes live in the module "_native", which no process can import
under that name, and its value classes have no constructors; the reducers below let all of
them cross a process boundary (``ProcessPoolExecutor``, multiprocessing, Dask) as themselves,
and a low-level maintenance report as the public report of the same fields.

``Preamble`` and ``Frame`` can only be made by the extension reading a file: they are rebuilt
by reading a scratch file that holds just them.
"""

from __future__ import annotations

import copyreg
import os
from typing import Any, Callable, TypeVar

from . import _native

__all__ = ["register_pickling"]

T = TypeVar("T")

_EXCEPTIONS = {
    cls.__name__: cls
    for cls in (
        _native.DrelixError,
        _native.DrelixMalformedError,
        _native.DrelixUsageError,
        _native.DrelixZoneFullError,
        _native.DrelixCompressionError,
    )
}


def _exception(name: str, args: tuple[Any, ...]) -> BaseException:
    return _EXCEPTIONS[name](*args)


def _reduce_exception(exc: BaseException) -> tuple[Any, ...]:
    return (_exception, (type(exc).__name__, exc.args))


def _reduce_field(f: _native.FieldSpec) -> tuple[Any, ...]:
    return (_native.FieldSpec, (f.name, f.ty, f.offset))


def _reduce_schema(s: _native.Schema) -> tuple[Any, ...]:
    return (_native.Schema, (s.name, s.fields, s.layout))


def _layout(size: int | None) -> _native.RecordLayout:
    return (
        _native.RecordLayout.prefixed()
        if size is None
        else _native.RecordLayout.fixed(size)
    )


def _reduce_layout(layout: _native.RecordLayout) -> tuple[Any, ...]:
    return (_layout, (layout.fixed_size,))


def _scratch_read(
    header_area: int, flags: int, zone: bytes, size: int, read: Callable[[str], T]
) -> T:
    """``read(path)`` of a scratch file with this preamble and zone, sparse up to ``size``
    bytes."""
    import tempfile  # loaded on first use, so that `import drelix_binary` stays light

    with tempfile.TemporaryDirectory(prefix="drelix-") as scratch:
        path = os.path.join(scratch, "value.drelix")
        with open(path, "xb") as f:
            f.write(
                b"DRELIX"
                + bytes([1, flags])
                + header_area.to_bytes(4, "little")
                + bytes(4)
            )
            f.write(zone.ljust(header_area, b"\0"))
            f.truncate(max(size, 16 + header_area))
        return read(path)


def _preamble(version: int, flags: int, header_area: int) -> _native.Preamble:
    del version  # every readable file is version 1
    return _scratch_read(
        header_area, flags, b"\n", 0, lambda p: _native.peek_headers(p)[0]
    )


def _reduce_preamble(p: _native.Preamble) -> tuple[Any, ...]:
    return (_preamble, (p.version, p.flags, p.header_area))


def _frame(id: int, offset: int, length: int, hash: int) -> _native.Frame:
    token = f"{id},{offset},{length}" + (f",{hash:016x}" if hash else "")
    zone = (
        f"_schema:x@1\n_schema_fields:\n_record:prefixed\n_frames:{token}\n\n".encode()
    )
    area = 256
    return _scratch_read(
        area,
        1,
        zone,
        16 + area + offset + length,
        lambda p: _native.Container.open_read(p).frames()[0],
    )


def _reduce_frame(f: _native.Frame) -> tuple[Any, ...]:
    return (_frame, (f.id, f.offset, f.len, f.hash))


def _reduce_report(report: Any) -> tuple[Any, ...]:
    from ._types import RebuildReport, RepackReport, ValidateReport  # as tempfile

    if isinstance(report, _native.ValidateReport):
        return (ValidateReport, (report.problems, report.frames, report.records))
    if isinstance(report, _native.RebuildReport):
        return (RebuildReport, (report.differences, report.fixed))
    return (RepackReport, (report.bytes_before, report.bytes_after, report.frames))


def register_pickling() -> None:
    # A __reduce__ of the class's own, not only a copyreg entry: distributed replaces the copyreg
    # entry of a task's exception class with one that pickles what __reduce__ names, and the
    # default names the class by its module "_native", which no process can import.
    for cls in _EXCEPTIONS.values():
        cls.__reduce__ = _reduce_exception  # type: ignore[method-assign, assignment]
    copyreg.pickle(_native.FieldSpec, _reduce_field)
    copyreg.pickle(_native.Schema, _reduce_schema)
    copyreg.pickle(_native.RecordLayout, _reduce_layout)
    copyreg.pickle(_native.Preamble, _reduce_preamble)
    copyreg.pickle(_native.Frame, _reduce_frame)
    for report in (_native.ValidateReport, _native.RebuildReport, _native.RepackReport):
        copyreg.pickle(report, _reduce_report)
