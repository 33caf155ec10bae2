"""Progress bars on standard error, only when it is a terminal.

Every long operation of the command line reports through this module: `call` runs a library
maintenance function with the engine's progress hook when the function offers one, and `track`
counts the batches of a loop the command line drives itself (cat, export, import, salvage).
The bar is drawn by rich's own refresh thread, so a hook only stores a number and returns: the
work is never held up by drawing.
"""

from __future__ import annotations

import contextlib
import os
import stat
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar

T = TypeVar("T")

enabled = True  # cleared by --no-progress
_active: list[Any] = []  # the bars being drawn, for stop_all


def wanted(*, data_on_stdout: bool = False) -> bool:
    """A bar helps only on a terminal, and never over records being written to that terminal:
    while records go to standard output, only when it is a file. A pipe may well end on the
    same terminal (`drelix cat f | less`), where bar and records would be drawn over each
    other."""
    if not enabled or not sys.stderr.isatty():
        return False
    if not data_on_stdout:
        return True
    try:
        return stat.S_ISREG(os.fstat(sys.stdout.fileno()).st_mode)
    except (OSError, ValueError):
        return False


def label(verb: str, path: str) -> str:
    """What a bar is for: the verb and the file's name (a long path would crowd out the bar)."""
    return f"{verb} {os.path.basename(path)}"


@contextlib.contextmanager
def bar(
    label: str, total: int | None = None, unit: str = "frames"
) -> Iterator[Callable[..., None]]:
    """A bar for the duration of the block (without a total, a pulse and a count); yields
    `update(done, total=None)`. rich is imported only here: it costs every command start-up
    time otherwise."""
    from rich.console import Console
    from rich.progress import (
        BarColumn,
        MofNCompleteColumn,
        Progress,
        TextColumn,
        TimeElapsedColumn,
    )

    columns = [
        TextColumn("{task.description}"),
        BarColumn(),
        MofNCompleteColumn(),
        TextColumn(unit),
        TimeElapsedColumn(),
    ]
    progress = Progress(
        *columns, console=Console(stderr=True), transient=True, refresh_per_second=8
    )
    _active.append(progress)
    try:
        with progress:
            task = progress.add_task(label, total=total)

            def update(done: int, total: int | None = None, *_: Any) -> None:
                if total is not None:
                    progress.update(task, completed=done, total=total)
                else:
                    progress.update(task, completed=done)

            yield update
    finally:
        # Stopped here too: an interruption inside rich's own start skips its __exit__.
        with contextlib.suppress(Exception):
            progress.stop()
        if progress in _active:
            _active.remove(progress)


def stop_all() -> None:
    """Stops every bar still drawn. A Ctrl-C can land inside rich's own start, after its
    refresh thread began but before the `with` block that would stop it, and the thread would
    then draw the bar again after the last line of the command."""
    while _active:
        with contextlib.suppress(Exception):
            _active.pop().stop()


def call(label: str, fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """fn(*args, **kwargs), with a bar fed by fn's `progress=` hook when on a terminal."""
    if not wanted():
        return fn(*args, **kwargs)
    with bar(label) as update:
        return fn(*args, progress=update, **kwargs)


@contextlib.contextmanager
def track(
    label: str,
    items: Iterable[T],
    total: int | None,
    *,
    unit: str = "frames",
    data_on_stdout: bool = False,
) -> Iterator[Iterator[T]]:
    """The items of a loop, advancing a bar by one per item when a bar is wanted (`total`
    None: the count is not known in advance). A context manager, so that the bar is gone
    before an error or an interruption is reported, not whenever the loop is collected."""
    if not wanted(data_on_stdout=data_on_stdout) or (total is not None and total < 2):
        yield iter(items)
        return
    with bar(label, total, unit) as update:

        def counted() -> Iterator[T]:
            for done, item in enumerate(items, 1):
                yield item
                update(done)

        yield counted()
