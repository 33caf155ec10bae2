"""Whole-file maintenance with the writer lock: validate, rebuild_headers, repack."""

from __future__ import annotations

import os

from . import _backend, _native
from ._backend import Progress
from ._errors import translate_errors
from ._reports import RebuildReport, RepackReport, ValidateReport
from ._writer import lock_file

__all__ = [
    "RebuildReport",
    "RepackReport",
    "ValidateReport",
    "rebuild_headers",
    "repack",
    "validate",
]


def _locked(path: str | os.PathLike[str], lock: bool) -> tuple[str, int]:
    p = os.fspath(path)
    return p, lock_file(p, lock)


def validate(
    path: str | os.PathLike[str], *, lock: bool = True, progress: Progress | None = None
) -> ValidateReport:
    """Reads every frame and checks the counters, the alignment and the checksums.

    Takes the writer lock (``lock=False`` skips it), because validating first completes or
    discards an interrupted frame close, which a live writer must not see. ``progress``, if
    given, is called as ``progress(frames_done, frames_total)`` a few times a second and at
    the end; Ctrl-C (``KeyboardInterrupt``) or an exception it raises stops the work promptly.

    Raises ``DrelixLockedError`` while a writer has the file, ``FileNotFoundError``,
    ``DrelixMalformedError`` when the file cannot be read as a drelix file at all."""
    p, fd = _locked(path, lock)
    try:
        with translate_errors(p):
            return ValidateReport(*_backend.validate(p, progress))
    finally:
        os.close(fd)


def rebuild_headers(
    path: str | os.PathLike[str],
    fix: bool = False,
    *,
    lock: bool = True,
    progress: Progress | None = None,
) -> RebuildReport:
    """Derives the system headers from the data and, with ``fix=True``, writes them back
    (an interrupted fix leaves the file as it was). Lock and progress as for ``validate``."""
    p, fd = _locked(path, lock)
    try:
        with translate_errors(p):
            return RebuildReport(*_backend.rebuild_headers(p, bool(fix), progress))
    finally:
        os.close(fd)


def repack(
    path: str | os.PathLike[str],
    level: int = _native.COLD_LEVEL,
    header_area: int | None = None,
    *,
    lock: bool = True,
    progress: Progress | None = None,
    threads: int | None = None,
) -> RepackReport:
    """Re-encodes every frame at ``level`` (default 19; 0 stores them raw) into a new file
    that atomically replaces the old one, with a header zone of ``header_area`` bytes (default:
    the current size): the cure for ``DrelixZoneFullError``. Frames are re-encoded on
    ``threads`` threads (default: every core; the file is the same whatever their number), a
    few frames in memory per thread. An interrupted repack leaves the original file untouched.
    Lock and progress as for ``validate``."""
    p, fd = _locked(path, lock)
    try:
        with translate_errors(p):
            return RepackReport(*_backend.repack(p, level, header_area, progress, threads))
    finally:
        os.close(fd)
