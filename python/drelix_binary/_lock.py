"""The writer lock: an exclusive ``flock`` on a drelix file, held by every writer and
maintenance call for as long as it works, and let go of by a forked child at once."""

from __future__ import annotations

import errno
import fcntl
import os
import stat

from ._errors import DrelixLockedError

__all__ = ["lock_file", "release"]


# The engine's words for a file that is not a regular one, so every way in says the same thing.
_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def _check_regular(fd: int, path: str) -> None:
    mode = os.fstat(fd).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _KINDS if test(mode)), "of an unknown kind")
        raise OSError(errno.EINVAL, f"not a regular file ({kind})", path)


# The descriptors of this process's live locks. A forked child closes its copies at once: an
# flock belongs to the open file, and goes with its last descriptor, so a child's copy would
# keep the file locked while the child lives once the parent is gone, refusing every later
# writer and maintenance call.
_held: set[int] = set()


def _close_inherited() -> None:
    for fd in _held:
        try:
            os.close(fd)
        except OSError:
            pass
    _held.clear()


os.register_at_fork(after_in_child=_close_inherited)


def lock_file(path: str, lock: bool) -> int:
    """A read-only descriptor of ``path``, holding ``flock(LOCK_EX | LOCK_NB)`` when ``lock``;
    give it back with ``release``.

    The lock belongs to this descriptor alone, so a second writer fails in this process as in
    another. Raises ``DrelixLockedError`` when another holds it, ``FileNotFoundError`` and
    other ``OSError``s when the file cannot be opened, ``IsADirectoryError`` or ``OSError``
    (EINVAL) at once when it is not a regular file (opened without ``O_NONBLOCK``, a FIFO
    would block until a writer came)."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        _check_regular(fd, path)
        os.set_blocking(fd, True)
        if lock:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise DrelixLockedError(path) from None
    except BaseException:
        os.close(fd)
        raise
    _held.add(fd)
    return fd


def release(fd: int) -> None:
    """Drops the lock and closes ``fd``; nothing in a forked child, whose copy went at the
    fork (its number may name another file by now). Unlocked explicitly, not by the close
    alone: a child forked a moment ago may not have closed its copy yet, and the lock goes
    with the last copy."""
    if fd not in _held:
        return
    _held.discard(fd)
    try:
        fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)
