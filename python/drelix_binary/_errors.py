"""Errors of the public API, and pickling for the extension module's classes.

The low-level layer raises a plain ``OSError`` whose only argument is a message ending in
"(os error N)". The public API turns it into the ``OSError`` subclass that the number names
(``FileNotFoundError``, ``PermissionError``, ...), with ``errno``, ``strerror`` and ``filename``
set, so callers can catch I/O failures the way they do for Python's own files.

The extension's exception classes live in the module "_native", which no process can import
under that name, and its value classes have no constructors; the ``copyreg`` reducers below let
all of them cross a process boundary (``ProcessPoolExecutor``, multiprocessing) as themselves.
"""

from __future__ import annotations

import contextlib
import copyreg
import errno as _errno
import os
import re
import tempfile
from collections.abc import Iterator
from typing import Any, Callable, NoReturn, TypeVar

from . import _native

__all__ = ["DrelixLockedError", "os_error", "translate_errors"]

T = TypeVar("T")
_OS_ERROR = re.compile(
    r"^(?:(?P<path>.*): )?(?P<text>.*) \(os error (?P<errno>\d+)\)$", re.DOTALL
)


class DrelixLockedError(_native.DrelixUsageError, BlockingIOError):
    """Another writer holds the file: a ``Writer``, ``open(path, "a")`` or a maintenance call
    in this process or another.

    It is a ``DrelixUsageError`` (two writers on one file would lose records, so the API
    refuses the second) and a ``BlockingIOError`` whose ``errno`` is ``EWOULDBLOCK`` and whose
    ``filename`` is the file, as the refused ``flock`` itself reports it.
    """

    def __init__(self, filename: str) -> None:
        super().__init__(
            _errno.EWOULDBLOCK,
            "another writer holds this file (wait for it to close, or pass lock=False "
            "if you coordinate writers yourself)",
            filename,
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (DrelixLockedError, (self.filename,))


def os_error(exc: OSError, filename: str | None = None) -> OSError:
    """The ``OSError`` subclass for an I/O failure reported as text by the extension.

    The errno is parsed from the message's "(os error N)"; the file is the one the message
    names, else ``filename``. Returns ``exc`` itself when it carries no errno to parse.
    """
    if type(exc) is not OSError or exc.errno is not None or len(exc.args) != 1:
        return exc
    match = _OS_ERROR.match(str(exc.args[0]))
    if match is None:
        return exc
    named = match.group("path") or filename
    return OSError(int(match.group("errno")), match.group("text"), named)


@contextlib.contextmanager
def translate_errors(filename: str | None = None) -> Iterator[None]:
    """Re-raises the extension's plain ``OSError``s as their subclass, naming ``filename``,
    and adds the cure to a full header zone."""
    try:
        yield
    except _native.DrelixZoneFullError as exc:
        if exc.__class__ is not _native.DrelixZoneFullError or filename is None:
            raise
        raise _native.DrelixZoneFullError(
            f"{exc}: the header zone of {filename} cannot list another frame; "
            f"repack it with a larger zone, e.g. drelix_binary.repack(path, level, "
            f"header_area=...), or close frames less often"
        ) from exc
    except OSError as exc:
        mapped = os_error(exc, filename)
        if mapped is exc:
            raise
        raise mapped from exc


def raise_os_error(code: int, filename: str) -> NoReturn:
    raise OSError(code, os.strerror(code), filename)


# ---- pickling ------------------------------------------------------------------------------

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
    bytes: the only way to make the extension build its constructor-less value classes."""
    with tempfile.TemporaryDirectory(prefix="drelix-") as scratch:
        path = os.path.join(scratch, "value.drelix")
        with open(path, "wb") as f:
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
    from ._reports import report_reducer

    return report_reducer(report)


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
