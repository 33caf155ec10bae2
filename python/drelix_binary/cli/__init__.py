"""The `drelix` command: look at, check, repair and convert drelix files without writing Python.

    drelix info run.drelix
    drelix head -n 5 run.drelix
    drelix tail -f run.drelix
    drelix validate *.drelix
    drelix repack --level 19 run.drelix

Every failure is one line on standard error naming the file; the exit status is 0 when all went
well, 1 when a check found problems, 2 when a command could not run, 130 on Ctrl-C and 143 on
SIGTERM. `tail -f` ends with 0 once the file is sealed and every record was printed.
"""

from __future__ import annotations

# Only the standard library's lightest modules before the signal handlers are in place: an
# interruption in the first moments must end like any other.
import signal
import sys
from collections.abc import Sequence
from types import FrameType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import argparse


class Terminated(KeyboardInterrupt):
    """SIGTERM, unwound like Ctrl-C so that every half-written output is removed on the way."""


def _interrupt(signum: int, frame: FrameType | None) -> None:
    raise Terminated if signum == signal.SIGTERM else KeyboardInterrupt


def install_signal_handlers() -> None:
    """Ctrl-C and SIGTERM raise through one handler of ours, so that both unwind the same way
    (outputs removed, one line, a status of their own). A signal the parent set to be ignored
    stays ignored, as the interpreter does for SIGINT."""
    for signum in (signal.SIGINT, signal.SIGTERM):
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _interrupt)


def main(argv: Sequence[str] | None = None) -> int:
    from _drelix_command import exit_on_signals

    exit_on_signals()  # until the work begins: see _dispatch
    try:
        status = _run(argv)
        # The work is done and reported: a signal now, while the interpreter shuts down, would
        # otherwise end the process by its default action and hide the status of the work.
        _ignore_signals()
        return status
    except KeyboardInterrupt as exc:  # also while an error line was being written
        return _interrupted(exc)


def _ignore_signals() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)


def _interrupted(exc: KeyboardInterrupt) -> int:
    from . import _errors, _progress

    terminated = isinstance(exc, Terminated)
    _ignore_signals()  # a second signal while saying so changes nothing: the status is decided
    _progress.stop_all()
    _errors.flush_stdout()
    try:
        print(
            f"drelix: {'terminated' if terminated else 'interrupted'}", file=sys.stderr
        )
    except (OSError, ValueError, AttributeError):
        pass
    return _errors.TERMINATED if terminated else _errors.INTERRUPTED


def _run(argv: Sequence[str] | None) -> int:
    import os

    from . import _errors, _progress
    from ._args import build_parser, check_places

    if sys.stdout is None:  # started with standard output closed (`drelix cat f >&-`)
        print("drelix: standard output is closed", file=sys.stderr)
        return _errors.FAILED
    # Undecodable bytes of file names go out as they came in, as the platform wrote them.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    from .. import __version__

    args = build_parser(__version__).parse_args(argv)
    _progress.enabled = not args.no_progress
    path = getattr(args, "path", None) or getattr(args, "source", None)
    try:
        check_places(args)
        return _dispatch(args)
    except BrokenPipeError:
        # The reader went away (`drelix cat f | head`): not an error of ours, and nothing more
        # to say. Point stdout at /dev/null so the interpreter's final flush stays quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return _errors.OK
    except Exception as exc:  # noqa: BLE001 -- every failure is one line, no traceback
        return _errors.report(exc, path)


def _dispatch(args: argparse.Namespace) -> int:
    import drelix_binary as dx

    from . import _convert, _info, _maintain, _records

    # Loaded before the work: an interruption while importing cannot be unwound.
    for name in ("Reader", "Writer", "validate", "salvage"):
        getattr(dx, name)

    # Everything is loaded: from here on an interruption unwinds, so that outputs are removed.
    install_signal_handlers()

    handlers = {
        "info": _info.run,
        "cat": _records.run,
        "head": _records.run,
        "tail": _records.run,
        "get": _records.run,
        "export": _convert.export,
        "import": _convert.import_,
        "validate": _maintain.validate,
        "rebuild": _maintain.rebuild,
        "repack": _maintain.repack,
        "salvage": _maintain.salvage,
    }
    return handlers[args.command](args)
