"""`drelix validate`, `rebuild`, `repack` and `salvage`: checking and repairing whole files.

The library functions take the writer lock themselves (and refuse while a writer holds the
file), finish an interrupted close first, and report through the engine's progress hook.
"""

from __future__ import annotations

import dataclasses
import sys
from collections.abc import Callable, Iterator
from typing import Any

from . import _errors, _progress
from ._errors import plural, printable
from ._render import json_document
from ._source import is_series, series_paths


def _print_json(value: Any) -> None:
    sys.stdout.buffer.write(json_document(value))


def validate(args: Any) -> int:
    """Every file is checked; the status is the worst over all of them."""
    import drelix_binary as dx

    if args.prefix and not any(map(is_series, args.paths)):
        raise _errors.CommandError(
            args.paths[0], "--prefix applies to a series directory only"
        )
    status = _errors.OK
    results: list[dict[str, Any]] = []

    def failed(exc: Exception, path: str) -> None:
        nonlocal status
        line = _errors.describe(exc, path)
        results.append({"path": path, "error": line})
        if not args.json:
            _errors.flush_stdout()
            print(f"drelix: {line}", file=sys.stderr)
        status = max(status, _errors.FAILED)

    for path in _each_file(args.paths, args.prefix, failed):
        try:
            report = _progress.call(
                _progress.label("validate", path), dx.validate, path
            )
        except Exception as exc:  # noqa: BLE001 -- one file failing stops no other
            failed(exc, path)
            continue
        problems = list(report.problems)
        results.append(
            {
                "path": path,
                "sound": not problems,
                "frames": report.frames,
                "records": report.records,
                "problems": problems,
            }
        )
        if problems:
            status = max(status, _errors.PROBLEMS)
        if not args.json:
            verdict = plural(len(problems), "problem") if problems else "ok"
            print(
                f"{printable(path)}: {verdict}, {plural(report.frames, 'frame')}, "
                f"{plural(report.records, 'record')}"
            )
            for problem in problems:
                print(f"  {printable(problem)}")
    if args.json:
        _print_json(results)
    return status


def _each_file(
    paths: list[str], prefix: str, failed: Callable[[Exception, str], None]
) -> Iterator[str]:
    """The files named, each series directory standing for its files in write order; a
    directory that holds none is reported through `failed`."""
    for path in paths:
        if not is_series(path):
            yield path
            continue
        try:
            files = series_paths(path, prefix)
        except Exception as exc:  # noqa: BLE001 -- reported, and the others checked
            failed(exc, path)
            continue
        yield from files


def rebuild(args: Any) -> int:
    """Differences left in place are problems (status 1); fixed ones are not."""
    import drelix_binary as dx

    report = _progress.call(
        _progress.label("rebuild", args.path),
        dx.rebuild_headers,
        args.path,
        fix=args.fix,
    )
    differences = list(report.differences)
    if args.json:
        _print_json(
            {"path": args.path, "differences": differences, "fixed": report.fixed}
        )
    else:
        path = printable(args.path)
        if not differences:
            print(f"{path}: headers agree with the data")
        for line in differences:
            print(f"{path}: {printable(line)}")
        if report.fixed:
            print(f"{path}: header zone rewritten")
        elif differences:
            print(f"{path}: not changed (--fix writes the derived headers)")
    return _errors.PROBLEMS if differences and not report.fixed else _errors.OK


def repack(args: Any) -> int:
    import drelix_binary as dx

    if args.threads is not None and args.threads < 1:  # said before the file is locked
        raise _errors.CommandError(
            args.path, f"--threads must be at least 1, not {args.threads}"
        )
    report = _progress.call(
        _progress.label("repack", args.path),
        dx.repack,
        args.path,
        level=args.level,
        header_area=args.header_area,
        threads=args.threads,
    )
    before, after = report.bytes_before, report.bytes_after
    if args.json:
        _print_json(
            {
                "path": args.path,
                "bytes_before": before,
                "bytes_after": after,
                "frames": report.frames,
                "level": args.level,
            }
        )
    else:
        share = f" ({after / before:.1%})" if before else ""
        print(
            f"{printable(args.path)}: {before:,} -> {after:,} bytes{share}, "
            f"{report.frames:,} frames re-encoded at level {args.level}"
        )
    return _errors.OK


def salvage(args: Any) -> int:
    """Status 1 when anything had to be left behind, so scripts notice the loss."""
    import drelix_binary as dx

    report = _progress.call(
        _progress.label("salvage", args.path), dx.salvage, args.path, args.out
    )
    if args.json:
        _print_json({"path": args.path, "out": args.out, **dataclasses.asdict(report)})
    else:
        print(
            f"{printable(args.out)}: {report.records:,} records saved from {printable(args.path)} "
            f"({plural(report.frames, 'frame')}, {plural(report.tail_records, 'tail record')})"
        )
        for lost in report.lost_frames:
            print(
                f"  lost frame #{lost.index} (id {lost.id}): {printable(lost.reason)}"
            )
        if report.torn_bytes:
            print(
                f"  lost {report.torn_bytes} bytes of a torn record at the end of the tail"
            )
        if report.cut_tail_bytes:
            print(
                f"  lost {report.cut_tail_bytes} bytes at the start of the tail: a zstd frame "
                "the end of the file cuts short, not records"
            )
        if not report.lost_anything:
            print("  nothing lost")
    return _errors.PROBLEMS if report.lost_anything else _errors.OK
