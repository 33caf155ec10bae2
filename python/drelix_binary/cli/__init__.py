"""The `drelix` command: look at, check, repair and convert drelix files without writing Python.

    drelix info run.drelix
    drelix head -n 5 run.drelix
    drelix validate *.drelix
    drelix repack --level 19 run.drelix

Every failure is one line on standard error naming the file; the exit status is 0 when all went
well, 1 when a check found problems, 2 when a command could not run, 130 on Ctrl-C.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from . import _errors, _progress
from ._args import build_parser


def main(argv: Sequence[str] | None = None) -> int:
    from .. import _native

    args = build_parser(_native.__version__).parse_args(argv)
    _progress.enabled = not args.no_progress
    path = getattr(args, "path", None) or getattr(args, "source", None)
    try:
        return _dispatch(args)
    except KeyboardInterrupt:
        print("drelix: interrupted", file=sys.stderr)
        return _errors.INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`drelix cat f | head`): not an error of ours, and nothing more
        # to say. Point stdout at /dev/null so the interpreter's final flush stays quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return _errors.OK
    except Exception as exc:  # noqa: BLE001 -- every failure is one line, no traceback
        return _errors.report(exc, path)


def _dispatch(args: argparse.Namespace) -> int:
    from . import _convert, _info, _maintain, _records

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
