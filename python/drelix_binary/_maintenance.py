"""Whole-file maintenance with the writer lock: validate, rebuild_headers, repack."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import IO, Any

from . import _backend, _remote
from ._backend import Progress
from ._defaults import COLD_LEVEL
from ._lock import lock_file, release
from ._types import RebuildReport, RepackReport, ValidateReport

__all__ = [
    "RebuildReport",
    "RepackReport",
    "ValidateReport",
    "rebuild_headers",
    "repack",
    "validate",
]


@contextlib.contextmanager
def _locked(path: str | os.PathLike[str], lock: bool) -> Iterator[str]:
    """The path as text, its writer lock held (``lock``) for the block; a URL is refused (an
    object cannot be changed in place)."""
    _remote.refuse_write(path)
    p = _remote.local_path(path)
    fd = lock_file(p, lock)
    try:
        yield p
    finally:
        release(fd)


def validate(
    path: str | os.PathLike[str] | IO[bytes],
    *,
    lock: bool = True,
    progress: Progress | None = None,
    storage_options: dict[str, Any] | None = None,
) -> ValidateReport:
    """Reads every frame and checks the counters, the alignment and the checksums.

    Takes the writer lock (``lock=False`` skips it), because validating first completes or
    discards an interrupted frame close, which a live writer must not see. ``progress``, if
    given, is called as ``progress(frames_done, frames_total)`` a few times a second and at
    the end; Ctrl-C (``KeyboardInterrupt``) or an exception it raises stops the work promptly.

    A URL (``storage_options`` for its filesystem) or a file object is checked read-only,
    its frames fetched several at a time; no lock is taken and nothing is completed.

    Raises ``DrelixLockedError`` while a writer has the file, ``FileNotFoundError``,
    ``DrelixMalformedError`` when the file cannot be read as a drelix file at all."""
    if _remote.is_url(path) or _remote.is_file_object(path):
        return ValidateReport(*_remote.validate_object(path, storage_options, progress))
    with _locked(_remote.local_path(path), lock) as p:  # type: ignore[arg-type]
        return ValidateReport(*_backend.validate(p, progress))


def rebuild_headers(
    path: str | os.PathLike[str],
    fix: bool = False,
    *,
    lock: bool = True,
    progress: Progress | None = None,
) -> RebuildReport:
    """Derives the system headers from the data and, with ``fix=True``, writes them back
    (an interrupted fix leaves the file as it was). Lock and progress as for ``validate``."""
    with _locked(path, lock) as p:
        return RebuildReport(*_backend.rebuild_headers(p, bool(fix), progress))


def repack(
    path: str | os.PathLike[str],
    level: int = COLD_LEVEL,
    header_area: int | None = None,
    *,
    lock: bool = True,
    progress: Progress | None = None,
    threads: int | None = None,
) -> RepackReport:
    """Re-encodes every frame at ``level`` (default ``COLD_LEVEL``, 19; 0 stores them raw) into a new file
    that atomically replaces the old one, with a header zone of ``header_area`` bytes (default:
    the current size): the cure for ``DrelixZoneFullError``. Frames are re-encoded on
    ``threads`` threads (default: every core; the file is the same whatever their number), a
    few frames in memory per thread. An interrupted repack leaves the original file untouched.
    Lock and progress as for ``validate``."""
    with _locked(path, lock) as p:
        return RepackReport(*_backend.repack(p, level, header_area, progress, threads))
