"""Atomic publication of a new file: it is written under a hidden temporary name beside its
target and appears under the target's name only once complete and durable.

Every output the package makes whole before anyone may see it goes through ``publishing``:
``salvage``, ``drelix import``/``export`` and Dask's ``to_drelix``.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
from collections.abc import Iterator

from ._defaults import JOURNAL_SUFFIX

__all__ = ["discard", "publishing", "sync_directory"]

# A file system that has no hard links refuses a link with one of these.
_NO_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK}


def _sync(path: str, flags: int) -> None:
    fd = os.open(path, flags | os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def sync_directory(path: str) -> None:
    """Makes the entries of directory ``path`` (names added, renamed, removed) durable."""
    _sync(path, os.O_DIRECTORY)


def discard(path: str) -> None:
    """Removes the file at ``path`` and a writer's journal beside it, as far as they exist."""
    for leftover in (path, path + JOURNAL_SUFFIX):
        with contextlib.suppress(OSError):
            os.remove(leftover)


def _give_name(temporary: str, target: str, replace: bool) -> None:
    """``target`` names the file at ``temporary``: over whatever is there when ``replace``,
    else never over an existing file or link (``FileExistsError``)."""
    if replace:
        os.replace(temporary, target)
        return
    try:
        os.link(temporary, target, follow_symlinks=False)
    except OSError as exc:
        if exc.errno not in _NO_LINKS:
            raise
        os.rename(temporary, target)  # no hard links here: the best this file system offers
        return
    os.unlink(temporary)


@contextlib.contextmanager
def publishing(
    target: str, *, replace: bool = False, temporary: str | None = None
) -> Iterator[str]:
    """Yields the name the block writes the new file under (a fresh hidden name beside
    ``target`` unless ``temporary`` is given), which the block creates exclusively. When the
    block ends normally, the file is synced, named ``target`` (see ``replace``) and the
    directory synced. When it fails or is interrupted, the file and a writer's journal beside
    it are removed, and an error about the temporary name names ``target`` instead."""
    head, name = os.path.split(target)
    if temporary is None:
        temporary = os.path.join(head, f".{name}.{secrets.token_hex(6)}.partial")
    try:
        yield temporary
        _sync(temporary, 0)
        _give_name(temporary, target, replace)
        sync_directory(head or ".")
    except BaseException as exc:
        discard(temporary)
        if isinstance(exc, OSError) and exc.filename == temporary:
            exc.filename = target
        raise
