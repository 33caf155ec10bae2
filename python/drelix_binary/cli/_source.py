"""What the reading verbs read: a drelix file (a path or a URL), or a series directory, whose
files `{prefix}{n:010d}.drelix` are read in order as one sequence of records."""

from __future__ import annotations

import functools
import os
from typing import Any

from .. import _series
from .._defaults import EXTENSION
from .._remote import is_url
from .._series import series_files
from ._errors import CommandError


@functools.cache
def is_series(path: str) -> bool:
    """Whether `path` names a directory (or a prefix in a store): a series, read as one.
    Asked once per path in a command: for a URL each answer is a request to the store."""
    return _series.is_series(path)


def series_paths(path: str, prefix: str) -> list[str]:
    """The files of the series in directory `path`, in write order; a directory without any
    is a command that cannot run, as a missing file is."""
    files = series_files(path, prefix)
    if not files:
        raise CommandError(
            path, f"holds no series: no file named {prefix}NNNNNNNNNN.{EXTENSION}"
        )
    return files


def check_prefix(path: str, prefix: str) -> None:
    """`--prefix` names files of a series: given with a file, it would be silently ignored.
    (A missing path is left to be reported as missing.)"""
    if prefix and not is_series(path) and (is_url(path) or os.path.lexists(path)):
        raise CommandError(path, "--prefix applies to a series directory only")


def open_reader(args: Any) -> Any:
    """A `Reader` of the file `args.path`, or a `SeriesReader` of the series there."""
    import drelix_binary as dx

    check_prefix(args.path, args.prefix)
    if is_series(args.path):
        series_paths(args.path, args.prefix)
        return dx.open_series(args.path, prefix=args.prefix)
    return dx.open(args.path)
