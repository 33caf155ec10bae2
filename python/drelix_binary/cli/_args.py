"""The command line's grammar: one argparse sub-parser per verb."""

from __future__ import annotations

import argparse
import math

from .._defaults import COLD_LEVEL, HOT_LEVEL
from .._remote import is_url, local_path
from ._errors import CommandError

FORMATS = ("json", "csv", "raw", "hex")
DESCRIPTION = "Look at, check, repair and convert drelix record files."
EPILOG = """\
exit status: 0 done (and every file sound; tail -f: the file sealed), 1 problems found,
2 could not run, 130 interrupted (Ctrl-C), 143 terminated (SIGTERM). Progress bars appear on
standard error only when it is a terminal.
"""
DRELIX_FILE = (
    "the drelix file to read: a path, a URL (s3://bucket/key, gs://..., https://...), "
    "or a series directory"
)
FORCE = "replace OUT if it is a regular file (never the input, a device or a FIFO)"


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a number of seconds") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number at least 0")
    return value


def _prefix(text: str) -> str:
    if "/" in text or "\0" in text:
        raise argparse.ArgumentTypeError(f"{text!r} is not the start of a file name")
    return text


def _prefix_option(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--prefix",
        type=_prefix,
        default="",
        help="in a series directory, read the files PREFIX0000000000.drelix, ... "
        '(default "")',
    )


def _level_and_zone(
    p: argparse.ArgumentParser, level: int, levels: str, zone: str
) -> None:
    p.add_argument(
        "--level", type=int, default=level, help=f"{levels} (default {level})"
    )
    p.add_argument(
        "--header-area", type=_count, default=None, metavar="BYTES", help=zone
    )


def _follow_options(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "-f",
        "--follow",
        action="store_true",
        help="then print records as writers add them, until the file is sealed",
    )
    p.add_argument(
        "--poll",
        type=_seconds,
        default=None,
        metavar="SECONDS",
        help="with --follow: how often to look for new records (default 0.05, 1 for a URL)",
    )


def build_parser(version: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="drelix",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("--version", action="version", version=f"drelix {version}")
    parser.add_argument(
        "--no-progress", action="store_true", help="never draw progress bars"
    )
    verbs = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def verb(name: str, text: str) -> argparse.ArgumentParser:
        return verbs.add_parser(name, help=text, description=text, allow_abbrev=False)

    p = verb(
        "info",
        "preamble, schema, headers, frames (with their statistics) and tail of a file; "
        "the files of a series",
    )
    p.add_argument("path", help=DRELIX_FILE)
    p.add_argument("--json", action="store_true", help="one JSON object, for scripts")
    p.add_argument(
        "--all-frames",
        action="store_true",
        help="list every frame, or file of a series (by default long lists are shortened)",
    )
    _prefix_option(p)

    def records(name: str, text: str) -> argparse.ArgumentParser:
        p = verb(name, text)
        p.add_argument("path", help=DRELIX_FILE)
        # No short form: -f is tail's --follow, as in tail(1).
        p.add_argument(
            "--format",
            choices=FORMATS,
            default="json",
            help="json lines (default), csv, raw bytes, or hex per record",
        )
        _prefix_option(p)
        return p

    records("cat", "every record, decoded by the schema")
    for name, where in (
        ("head", "the first records"),
        ("tail", "the last records (-f: then new ones, as writers add them)"),
    ):
        p = records(name, where)
        p.add_argument(
            "-n",
            "--lines",
            type=_count,
            default=10,
            metavar="N",
            help="how many records (default 10)",
        )
    _follow_options(p)  # tail's
    p = records("get", "one record by its index (negative counts from the end)")
    p.add_argument("index", type=int)

    p = verb("export", "write the records to Parquet, Arrow IPC or CSV")
    p.add_argument("path", help=DRELIX_FILE)
    p.add_argument(
        "out", help="the file to write (.parquet, .pq, .arrow, .feather, .ipc, .csv)"
    )
    p.add_argument(
        "--to",
        choices=("parquet", "arrow", "csv"),
        help="output format (default: from OUT's extension)",
    )
    p.add_argument(
        "--compression",
        choices=("zstd", "snappy", "gzip", "brotli", "lz4", "none"),
        help="Parquet column compression (default zstd)",
    )
    p.add_argument("--force", action="store_true", help=FORCE)
    _prefix_option(p)

    p = verb("import", "make a new drelix file from Parquet, Arrow IPC, CSV or .npy")
    p.add_argument(
        "source", help="a .parquet, .pq, .arrow, .feather, .ipc, .csv or .npy file"
    )
    p.add_argument("out", help="the drelix file to create")
    p.add_argument("--force", action="store_true", help=FORCE)
    p.add_argument(
        "--schema", metavar="NAME", help="schema name (default: OUT's stem + '@1')"
    )
    _level_and_zone(
        p, HOT_LEVEL, "zstd level of the frames", "header zone size of the new file"
    )

    p = verb("validate", "check every frame, checksum, alignment and counter")
    p.add_argument(
        "paths",
        nargs="+",
        metavar="path",
        help="drelix files to check; a series directory: each of its files",
    )
    p.add_argument("--json", action="store_true", help="one JSON list, for scripts")
    _prefix_option(p)

    p = verb("rebuild", "derive the system headers from the data; --fix writes them")
    p.add_argument("path", help="the drelix file, on this machine")
    p.add_argument("--fix", action="store_true", help="rewrite the header zone")
    p.add_argument("--json", action="store_true", help="one JSON object, for scripts")

    p = verb("repack", "re-encode every frame at another level, atomically")
    p.add_argument(
        "path", help="the drelix file, replaced once the new one is complete"
    )
    _level_and_zone(
        p,
        COLD_LEVEL,
        "zstd level, 0 stores raw",
        "new header zone size (default: keep)",
    )
    p.add_argument(
        "--threads",
        type=int,
        default=None,
        metavar="N",
        help="re-encode on N threads (default: every core); the file is the same for any N",
    )
    p.add_argument("--json", action="store_true", help="one JSON object, for scripts")

    p = verb("salvage", "copy every sound frame and whole tail record into a new file")
    p.add_argument("path", help="the damaged drelix file (only read)")
    p.add_argument("out", help="the new drelix file to create")
    p.add_argument("--json", action="store_true", help="one JSON object, for scripts")
    return parser


# The file arguments of each verb that writes, and what it does with each: objects in a store
# are never written in place, and these verbs read their input by path. The reading verbs take
# URLs everywhere they read.
_WRITES = {
    "export": {"out": "writes"},
    "import": {"source": "reads", "out": "writes"},
    "rebuild": {"path": "rewrites"},
    "repack": {"path": "rewrites"},
    "salvage": {"path": "reads", "out": "writes"},
}
_WHY = {
    "reads": "{verb} reads local files only: download the object and {verb} the copy",
    "writes": "{verb} writes local files only: write one here and upload it",
    "rewrites": "{verb} rewrites the file in place, which an object in a store cannot be: "
    "download it, {verb} the copy and upload that",
}


def check_places(args: argparse.Namespace) -> None:
    """Refuses, before anything is opened or created, a URL where the verb would write or
    reads by path only; ``file://`` URLs become the paths they name."""
    roles = _WRITES.get(args.command, {})
    if args.command == "rebuild" and not args.fix:
        # The library rebuilds local files only, even just to compare.
        roles = {"path": "reads"}
    for name in ("path", "source", "out"):
        value = getattr(args, name, None)
        if not isinstance(value, str):
            continue
        if is_url(value) and name in roles:
            raise CommandError(value, _WHY[roles[name]].format(verb=args.command))
        setattr(args, name, local_path(value))
    if args.command == "validate":
        args.paths = [p if is_url(p) else local_path(p) for p in args.paths]
