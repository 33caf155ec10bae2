"""One line on standard error for every failure, and the exit statuses of the command line."""

from __future__ import annotations

import contextlib
import errno
import os
import sys

from .. import (
    DrelixCompressionError,
    DrelixError,
    DrelixLockedError,
    DrelixMalformedError,
    DrelixUsageError,
    DrelixZoneFullError,
)

OK, PROBLEMS, FAILED, INTERRUPTED, TERMINATED = 0, 1, 2, 130, 143

# What each library error class means, in the words an operator would use; the first match wins.
_KINDS = (
    (DrelixMalformedError, "not a well-formed drelix file"),
    (DrelixZoneFullError, "header zone full"),
    (DrelixCompressionError, "compression error"),
    (DrelixUsageError, "refused"),
    (DrelixError, "drelix error"),
)


class CommandError(Exception):
    """A failure the command line found itself (bad argument values, an existing output file)."""

    def __init__(self, path: str | os.PathLike[str] | None, message: str):
        super().__init__(message)
        self.path = path


def describe(exc: BaseException, path: str | os.PathLike[str] | None) -> str:
    """`path: what went wrong`, never more than one line, for any exception we expect."""
    if isinstance(exc, CommandError):
        return _line(exc.path if exc.path is not None else path, str(exc))
    if isinstance(exc, DrelixLockedError):  # an OSError too, but the lock is the news
        return _line(
            exc.filename or path,
            "locked: another writer has the file open; try again once it has closed it",
        )
    if isinstance(exc, OSError):
        where = exc.filename if exc.filename is not None else path
        text = exc.strerror or str(exc)
        if isinstance(exc, FileNotFoundError) and not exc.strerror:
            # A store's client names the missing key, not the error: said as for a file.
            where, text = path if path is not None else where, os.strerror(errno.ENOENT)
        if exc.filename is None and path is not None:
            text = _strip_path(text, path)
        return _line(where, text[:1].lower() + text[1:] if text else type(exc).__name__)
    for cls, words in _KINDS:
        if isinstance(exc, cls):
            text = _strip_path(str(exc), path)
            # A message that already says what the file is not needs no prefix saying it again.
            if text.startswith("not a drelix file"):
                return _line(path, text)
            return _line(path, f"{words}: {text}")
    if isinstance(exc, ImportError):  # a package that reading this file needs
        text = _strip_path(str(exc), path)
        return _line(path, text[:1].lower() + text[1:])
    if isinstance(exc, MemoryError):
        return _line(path, "out of memory")
    return _line(path, f"{type(exc).__name__}: {exc}")


def report(exc: BaseException, path: str | os.PathLike[str] | None) -> int:
    """Prints the one line and gives the exit status for a command that could not run."""
    flush_stdout()
    print(f"drelix: {describe(exc, path)}", file=sys.stderr)
    return FAILED


def flush_stdout() -> None:
    """What was printed so far goes first, so that an error line lands after it; a reader that
    has gone away is no reason to fail again."""
    with contextlib.suppress(OSError, ValueError):
        sys.stdout.flush()


def plural(count: int, noun: str) -> str:
    """`1 frame`, `2 frames`: counts in messages."""
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {noun}s"


# Control characters as \xNN, so that text from a file (a name, a header value) cannot move
# the cursor, retitle or clear the terminal showing it; the bytes of a name that is not UTF-8
# (carried as surrogate escapes) likewise.
_ESCAPES = {
    **{c: f"\\x{c:02x}" for c in (*range(0x20), *range(0x7F, 0xA0))},
    **{c: f"\\x{c - 0xDC00:02x}" for c in range(0xDC80, 0xDD00)},
}


def printable(text: str | os.PathLike[str]) -> str:
    """`text` safe to show on a terminal, every control character escaped."""
    return os.fspath(text).translate(_ESCAPES)


def _line(path: str | os.PathLike[str] | None, text: str) -> str:
    # Messages quoting a file's contents may hold newlines: one line all the same.
    text = printable(" ".join(str(text).split()))
    return f"{printable(path)}: {text}" if path is not None else text


def _strip_path(text: str, path: str | os.PathLike[str] | None) -> str:
    """Messages that already begin with the path would otherwise name it twice."""
    prefix = f"{os.fspath(path)}: " if path is not None else None
    return text[len(prefix) :] if prefix and text.startswith(prefix) else text
