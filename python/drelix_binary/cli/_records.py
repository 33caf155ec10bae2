"""`drelix cat`, `head`, `tail` (and `tail -f`) and `get`: records decoded by the schema, on
standard output."""

from __future__ import annotations

import contextlib
import errno
import select
import signal
import sys
import threading
from collections.abc import Iterator
from types import FrameType
from typing import Any

import numpy as np

from .._remote import is_url
from . import _errors, _progress
from ._render import Renderer
from ._source import is_series, open_reader

DEFAULT_POLL, URL_POLL = 0.05, 1.0  # seconds between looks for new records (tail -f)


def batches(reader: Any) -> Iterator[Any]:
    """Every record of the file, a frame at a time, then the tail."""
    size = reader.schema.layout.fixed_size
    if reader.dtype is None and size is not None:
        # Fields the format does not type: whole records, as bytes.
        for batch in reader.iter_batches(dtype=np.dtype(f"V{size}")):
            yield [bytes(r) for r in batch]
        return
    yield from reader.iter_batches()


def batch_count(reader: Any) -> int:
    """The batches `batches` yields: a frame each, and the tail only when it holds records
    (of each file in turn for a series)."""
    import drelix_binary as dx

    if isinstance(reader, dx.SeriesReader):
        total = 0
        for path in reader.files:
            with dx.open(path) as part:
                total += batch_count(part)
        return total
    return len(reader.frames) + int(reader.tail_records > 0)


def selection(reader: Any, start: int, stop: int) -> Any:
    """Records start..stop as one batch: a structured array, or a list of bodies."""
    if reader.dtype is not None:
        return reader.to_numpy(start, stop)
    return reader[start:stop]


def run(args: Any) -> int:
    follow = getattr(args, "follow", False)
    if getattr(args, "poll", None) is not None and not follow:
        raise _errors.CommandError(args.path, "--poll applies to --follow only")
    out = sys.stdout.buffer
    with open_reader(args) as reader:
        render = Renderer(args.format, reader.dtype, reader.layout.fixed_size is None)
        out.write(render.header())
        if args.command == "cat":
            with _progress.track(
                "cat", batches(reader), batch_count(reader), data_on_stdout=True
            ) as items:
                for batch in items:
                    out.write(render.records(batch))
        elif args.command == "get":
            out.write(render.records(selection(reader, *_one(len(reader), args))))
        else:
            n = len(reader)
            count = min(args.lines, n)
            start = 0 if args.command == "head" else n - count
            if not follow:
                out.write(render.records(selection(reader, start, start + count)))
    if follow:
        _follow(args, start, render, out)
    out.flush()
    return _errors.OK


def _follow(args: Any, start: int, render: Renderer, out: Any) -> None:
    """`tail -f`: the records from index `start` on, then those writers add, each batch on
    its way at once (a pipe sees it), until the file is sealed and all of it was printed."""
    import drelix_binary as dx

    poll = args.poll
    if poll is None:
        # An object is looked at by a request each time: every 50 ms would be 1.7 million a
        # day, each billed, for one follower.
        poll = URL_POLL if is_url(args.path) else DEFAULT_POLL
    out.flush()  # the CSV header, before the wait for records
    with _ended_by_a_reader_going_away(out.fileno()):
        # A batch of fixed records whose fields the format does not type is an array of
        # `V<size>`, which the renderer shows whole, as `cat` shows them.
        batches = dx.follow_batches(
            args.path, start=start, poll=poll, prefix=args.prefix
        )
        for batch in batches:
            out.write(render.records(batch))
            out.flush()


def _broken_pipe(signum: int, frame: FrameType | None) -> None:
    raise BrokenPipeError(errno.EPIPE, "the reader of standard output went away")


@contextlib.contextmanager
def _ended_by_a_reader_going_away(fd: int) -> Iterator[None]:
    """While following a quiet file nothing is written, so a reader of the output that went
    away (`drelix tail -f f | head -1`) would go unnoticed for ever. A thread waits, without
    spinning, for the pipe's error or hang-up state and then has the main thread raise
    ``BrokenPipeError`` (by SIGPIPE), which ends the command as a failed write would: quietly,
    status 0. A file or a terminal never enters that state; the wait then lasts as long as
    the command."""
    main = threading.get_ident()  # the command's one thread

    def wait() -> None:
        waiting = select.poll()
        waiting.register(fd, 0)  # error and hang-up are always reported
        while not waiting.poll():
            pass
        signal.pthread_kill(main, signal.SIGPIPE)

    previous = signal.signal(signal.SIGPIPE, _broken_pipe)
    threading.Thread(target=wait, name="stdout-watch", daemon=True).start()
    try:
        yield
    finally:
        signal.signal(signal.SIGPIPE, previous)


def _one(n: int, args: Any) -> tuple[int, int]:
    index = args.index + n if args.index < 0 else args.index
    if not 0 <= index < n:
        what = "series" if is_series(args.path) else "file"
        raise _errors.CommandError(
            args.path, f"no record {args.index}: the {what} holds {n:,} records"
        )
    return index, index + 1
