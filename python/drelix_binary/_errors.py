"""The errors the package adds to the extension's: the writer lock's refusal, and what a call
into the extension raises once it fails.

The extension already raises the ``OSError`` subclass of an I/O failure (``FileNotFoundError``,
``PermissionError``, ...) with ``errno``, ``strerror`` and ``filename``; ``engine_errors`` gives
its refusal of a path that is not a regular file an ``errno`` too, and adds the cure to a full
header zone.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
from collections.abc import Iterator
from typing import Any

from . import _native

__all__ = ["DrelixLockedError", "engine_errors"]


class DrelixLockedError(_native.DrelixUsageError, BlockingIOError):
    """Another writer holds the file: a ``Writer``, ``open(path, "a")`` or a maintenance call
    in this process or another.

    It is a ``DrelixUsageError`` (two writers on one file would lose records, so the API
    refuses the second) and a ``BlockingIOError`` whose ``errno`` is ``EWOULDBLOCK`` and whose
    ``filename`` is the file, as the refused ``flock`` itself reports it.
    """

    def __init__(self, filename: str) -> None:
        super().__init__(
            errno.EWOULDBLOCK,
            "another writer holds this file (wait for it to close, or pass lock=False "
            "if you coordinate writers yourself)",
            filename,
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (DrelixLockedError, (self.filename,))


def _not_regular(exc: OSError) -> OSError:
    """The extension refuses a path that is not a regular file without an errno: a directory
    becomes ``IsADirectoryError``, anything else (a FIFO, a device) ``EINVAL``, as
    ``lock_file`` reports them. Other failures without one (a file cut short) stay as they are."""
    try:
        mode = os.stat(exc.filename).st_mode if exc.filename is not None else None
    except OSError:
        return exc
    if mode is None or stat.S_ISREG(mode):
        return exc
    if stat.S_ISDIR(mode):
        return IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), exc.filename)
    return OSError(errno.EINVAL, exc.strerror, exc.filename)


@contextlib.contextmanager
def engine_errors(path: str) -> Iterator[None]:
    """Around a call into the extension on ``path``: an ``errno`` for every ``OSError``, and
    the cure in a full header zone's message."""
    try:
        yield
    except _native.DrelixZoneFullError as exc:
        if exc.__class__ is not _native.DrelixZoneFullError:
            raise
        raise _native.DrelixZoneFullError(
            f"{exc}: the header zone of {path} cannot list another frame; "
            f"repack it with a larger zone, e.g. drelix_binary.repack(path, level, "
            f"header_area=...), or close frames less often"
        ) from exc
    except OSError as exc:
        mapped = exc if exc.errno is not None else _not_regular(exc)
        if mapped is exc:
            raise
        raise mapped from exc
