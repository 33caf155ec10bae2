"""`drelix info`: what is in a file or a series, at a glance, or as JSON for scripts."""

from __future__ import annotations

import os
import sys
from typing import Any

from rich.console import Console
from rich.measure import Measurement
from rich.table import Table
from rich.text import Text

from .._filters import STATS_PREFIX, Range, frame_ranges
from . import _errors
from ._errors import CommandError, printable
from ._render import json_document
from ._source import check_prefix, is_series, series_paths

SHORT_LIST = 24  # frames shown before a long list is shortened (first and last half)
NUMERIC = ("u8", "u16", "u32", "u64", "i64", "f64")  # the types statistics are kept of


def facts(reader: Any) -> dict[str, Any]:
    """Everything `info` shows: the library's own account of the file (its size as opened
    among it), the NumPy dtype records decode to (None when they are shown whole), and the
    frame statistics: `indexed` names the fields that have them, each frame's `stats` holds
    the usable ones (`[min, max]`, None for a frame without a value), `unusable_stats` says
    why the others cannot be used."""
    info: dict[str, Any] = reader.info()
    dtype = reader.dtype
    info["schema"]["dtype"] = (
        None
        if dtype is None
        else [
            [name, dtype.fields[name][0].str, dtype.fields[name][1]]
            for name in dtype.names
        ]
    )
    usable, unusable = frame_stats(info)
    info["indexed"] = [k[len(STATS_PREFIX) :] for k in info["headers"] if k.startswith(STATS_PREFIX)]  # fmt: skip
    info["unusable_stats"] = unusable
    for i, frame in enumerate(info["frames"]):
        frame["stats"] = {field: ranges[i] for field, ranges in usable.items()}
    return info


def frame_stats(
    info: dict[str, Any],
) -> tuple[dict[str, list[Range]], dict[str, str]]:
    """The ranges of each frame for every indexed field whose statistics a read may use, and
    for every other indexed field why not. Read as readers read them, never raising: a key
    that does not parse or has another number of entries than frames is not usable."""
    headers, frames = info["headers"], len(info["frames"])
    types = {f["name"]: f["type"] for f in info["schema"]["fields"]}
    usable: dict[str, list[Range]] = {}
    unusable: dict[str, str] = {}
    for key, text in headers.items():
        if not key.startswith(STATS_PREFIX):
            continue
        field = key[len(STATS_PREFIX) :]
        ty = types.get(field)
        if info["schema"]["record_size"] is None:
            unusable[field] = "the records are length-prefixed"
        elif ty not in NUMERIC:
            unusable[field] = (
                f"{field} is {ty}, not a number" if ty else "no such field"
            )
        elif (ranges := frame_ranges(headers, field, ty, frames)) is not None:
            usable[field] = ranges
        else:
            unusable[field] = _why_unusable(key, text, ty, frames)
    return usable, unusable


def _why_unusable(key: str, text: str, ty: str, frames: int) -> str:
    entries = text.split(";") if text or frames else []
    if len(entries) != frames:
        listed = f"{len(entries)} {'entry' if len(entries) == 1 else 'entries'}"
        return f"{listed} for {_errors.plural(frames, 'frame')}"
    field = key[len(STATS_PREFIX) :]
    for i, entry in enumerate(entries):
        if frame_ranges({key: entry}, field, ty, 1) is None:
            return f"frame {i}'s entry {entry!r} is not a {ty} range"
    return "it does not parse"


def _span(ranges: list[Range]) -> Range:
    """The range that covers every frame's (None when no frame has a value)."""
    present = [r for r in ranges if r is not None]
    if not present:
        return None
    return min(r[0] for r in present), max(r[1] for r in present)


def series_facts(directory: str, prefix: str) -> dict[str, Any]:
    """A series as `info` shows it: the schema, totals, and a line per file (its first record
    in the series, its counts, size, whether sealed, and each usable statistic's range over
    its frames)."""
    import drelix_binary as dx

    files, schema, first, indexed = [], None, 0, {}
    for path in series_paths(directory, prefix):
        with dx.open(path) as reader:
            info = facts(reader)
        if schema is None:
            schema = info["schema"]
        elif info["schema"] != schema:
            theirs, ours = info["schema"]["name"], schema["name"]
            raise CommandError(
                path, f"its schema {theirs!r} is not the series' {ours!r}"
            )
        unusable = info["unusable_stats"]
        indexed.update(dict.fromkeys(info["indexed"]))
        usable = [f for f in info["indexed"] if f not in unusable]
        files.append(
            {
                "path": path,
                "first": first,
                "records": info["records"],
                "frames": len(info["frames"]),
                "bytes": info["bytes"],
                "sealed": info["sealed"],
                "stats": {
                    field: _span([f["stats"][field] for f in info["frames"]])
                    for field in usable
                },
                "unusable_stats": unusable,
            }
        )
        first += info["records"]
    return {
        "path": directory,
        "prefix": prefix,
        "schema": schema,
        "files": files,
        "records": first,
        "bytes": sum(f["bytes"] for f in files),
        "sealed": files[-1]["sealed"],
        "indexed": list(indexed),
    }


def run(args: Any) -> int:
    import drelix_binary as dx

    check_prefix(args.path, args.prefix)
    if is_series(args.path):
        info = series_facts(args.path, args.prefix)
        draw = show_series
    else:
        with dx.open(args.path) as reader:
            info = facts(reader)
        draw = show
    if args.json:
        sys.stdout.buffer.write(json_document(info))
        return _errors.OK
    console = Console(highlight=False)
    # Drawn into a string, then written as any other output: rich answers a reader that went
    # away (`drelix info f | head -1`) by exiting with status 1 itself.
    with console.capture() as captured:
        draw(info, console, all_frames=args.all_frames)
    sys.stdout.write(captured.get())
    sys.stdout.flush()
    return _errors.OK


def show(info: dict[str, Any], out: Console, *, all_frames: bool = False) -> None:
    pre = info["preamble"]
    out.print(
        Text.assemble(
            (printable(info["path"]), "bold"),
            f": {info['bytes']:,} bytes, format {pre['version']}, "
            f"header zone {pre['header_area']:,} bytes, "
            f"{'sealed' if info['sealed'] else 'not sealed'}",
        ),
        soft_wrap=True,
    )
    warnings = {
        "journal_present": "an interrupted close is pending (.seal); validate finishes it",
        "repack_present": "a stale .repack file lies beside it",
    }
    for flag, text in warnings.items():
        if info[flag]:
            out.print(f"[yellow]warning:[/yellow] {text}")
    _show_schema(info["schema"], out)

    headers = Table(title="headers", title_justify="left", show_header=False)
    headers.add_column("key")
    headers.add_column("value", overflow="fold")
    # Usable statistics are shown as columns of the frames table instead.
    columns = [f for f in info["indexed"] if f not in info["unusable_stats"]]
    hidden = {"_frames", "_schema", "_schema_fields", "_record"}
    hidden.update(STATS_PREFIX + f for f in columns)
    shown = {
        k: v
        for k, v in info["headers"].items()
        if k.startswith("_") and k not in hidden
    }
    user = {k: v for k, v in info["user_headers"].items() if k not in hidden}
    for key, value in [*shown.items(), *user.items()]:
        shortened = value if len(value) <= 200 else value[:200] + "…"
        headers.add_row(Text(printable(key)), Text(printable(shortened)))
    out.print(headers)
    _show_unusable(info["unusable_stats"], out)

    frames = info["frames"]
    names = ("#", "id", "offset", "bytes", "raw bytes", "records", "ratio")
    table = _ranges_table(f"{len(frames)} frames", names, columns)
    for f in _shortened(frames, all_frames, table, "frames"):
        if f is None:
            table.add_row(*["…"] * (len(names) + len(columns)))
            continue
        raw, stored = f["content_size"], f["length"]
        ratio = f"{raw / stored:.2f}" if raw is not None and stored else None
        table.add_row(
            *(_cell(f[k]) for k in ("index", "id", "offset", "length", "content_size")),
            _cell(f["records"]),
            _cell(ratio),
            *(_range(f["stats"][field]) for field in columns),
        )
    if frames:
        _print_whole(table, out)
    else:
        out.print("no frames")
    tail = info["tail"]
    torn = f", {tail['torn_bytes']} torn bytes at its end" if tail["torn_bytes"] else ""
    out.print(f"tail: {tail['records']:,} records{torn}")


def _ranges_table(
    title: str, names: tuple[str, ...], fields: list[str], first_width: int = 0
) -> Table:
    """A table of the columns ``names`` (right-aligned numbers; the first kept whole on one
    line when ``first_width`` is given), then a ``min..max`` column per indexed field."""
    table = Table(title=title, title_justify="left", caption_justify="left")
    for i, col in enumerate(names):
        if i == 0 and first_width:
            table.add_column(col, min_width=first_width, no_wrap=True)
        else:
            table.add_column(col, justify="right")
    for field in fields:
        table.add_column(
            Text(f"{printable(field)} min..max"), justify="right", overflow="fold"
        )
    return table


def show_series(
    info: dict[str, Any], out: Console, *, all_frames: bool = False
) -> None:
    files = info["files"]
    state = "sealed (ended)" if info["sealed"] else "open (its last file is not sealed)"
    out.print(
        Text.assemble(
            (printable(info["path"]), "bold"),
            f": series of {_errors.plural(len(files), 'file')}, "
            f"{_errors.plural(info['records'], 'record')}, {info['bytes']:,} bytes, {state}",
        ),
        soft_wrap=True,
    )
    _show_schema(info["schema"], out)
    for f in files:
        for field, why in f["unusable_stats"].items():
            _show_unusable({field: why}, out, f"{printable(f['path'])}: ")
    columns = info["indexed"]
    names = ("file", "first", "records", "frames", "bytes", "sealed")
    # Whole names in the first column: they say the order of the files.
    widest = max(len(_name(f)) for f in files)
    table = _ranges_table(f"{len(files)} files", names, columns, widest)
    for f in _shortened(files, all_frames, table, "files"):
        if f is None:
            table.add_row(*["…"] * (len(names) + len(columns)))
            continue
        table.add_row(
            Text(_name(f)),
            *(_cell(f[k]) for k in ("first", "records", "frames", "bytes")),
            "yes" if f["sealed"] else "no",
            *(
                "not usable"
                if field in f["unusable_stats"]
                else _range(f["stats"].get(field))
                for field in columns
            ),
        )
    _print_whole(table, out)


def _print_whole(table: Table, out: Console) -> None:
    """A file or a pipe takes lines of any length: there a table wider than the default 80
    columns (ranges of timestamps are) is printed at its natural width rather than folded.
    A terminal folds it to its own width."""
    width = out.width
    if not out.is_terminal:
        natural = Measurement.get(out, out.options.update_width(1 << 16), table)
        out.width = max(width, natural.maximum)
    try:
        out.print(table)
    finally:
        out.width = width


def _show_schema(schema: dict[str, Any], out: Console) -> None:
    size = schema["record_size"]
    layout = "length-prefixed records" if size is None else f"{size}-byte records"
    out.print(
        Text.assemble("schema ", (printable(schema["name"]), "bold"), f", {layout}"),
        soft_wrap=True,
    )
    fields = Table()
    for col in ("field", "type", "offset", "numpy"):
        fields.add_column(col, justify="right" if col == "offset" else "left")
    numpy_types = {name: text for name, text, _ in schema["dtype"] or []}
    for f in schema["fields"]:
        fields.add_row(
            Text(printable(f["name"])),
            Text(printable(f["type"])),
            str(f["offset"]),
            numpy_types.get(f["name"], "-"),
        )
    out.print(fields)


def _show_unusable(unusable: dict[str, str], out: Console, where: str = "") -> None:
    for field, why in unusable.items():
        out.print(
            Text.assemble(
                ("warning:", "yellow"),
                f" {where}statistics of {printable(field)} not usable ({printable(why)}); "
                "reads skip no frame by them",
            ),
            soft_wrap=True,
        )


def _shortened(
    rows: list[dict[str, Any]], all_rows: bool, table: Table, noun: str
) -> list[dict[str, Any] | None]:
    """The rows a table lists: a long list shortened to its first and last ones around a
    None (a row of its own; the count of the rest goes under the table)."""
    if all_rows or len(rows) <= SHORT_LIST:
        return list(rows)
    table.caption = f"{len(rows) - SHORT_LIST:,} {noun} not shown (--all-frames lists them)"  # fmt: skip
    return [*rows[: SHORT_LIST // 2], None, *rows[-SHORT_LIST // 2 :]]


def _name(file: dict[str, Any]) -> str:
    return printable(os.path.basename(file["path"]))


def _range(rng: Range) -> str:
    return "" if rng is None else f"{rng[0]}..{rng[1]}"


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    return f"{value:,}" if isinstance(value, int) else str(value)
