"""`drelix info`: what is in a file, at a glance, or as JSON for scripts."""

from __future__ import annotations

import sys
from typing import Any

from rich.console import Console
from rich.table import Table
from rich.text import Text

from . import _errors
from ._errors import printable
from ._render import json_document

SHORT_LIST = 24  # frames shown before a long list is shortened (first and last half)


def facts(reader: Any) -> dict[str, Any]:
    """Everything `info` shows: the library's own account of the file (its size as opened
    among it) and the NumPy dtype records decode to (None when they are shown whole)."""
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
    return info


def run(args: Any) -> int:
    import drelix_binary as dx

    with dx.open(args.path) as reader:
        info = facts(reader)
    if args.json:
        sys.stdout.buffer.write(json_document(info))
        return _errors.OK
    console = Console(highlight=False)
    # Drawn into a string, then written as any other output: rich answers a reader that went
    # away (`drelix info f | head -1`) by exiting with status 1 itself.
    with console.capture() as captured:
        show(info, console, all_frames=args.all_frames)
    sys.stdout.write(captured.get())
    sys.stdout.flush()
    return _errors.OK


def show(info: dict[str, Any], out: Console, *, all_frames: bool = False) -> None:
    pre, schema = info["preamble"], info["schema"]
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

    headers = Table(title="headers", title_justify="left", show_header=False)
    headers.add_column("key")
    headers.add_column("value", overflow="fold")
    shown = {
        k: v
        for k, v in info["headers"].items()
        if k.startswith("_")
        and k not in ("_frames", "_schema", "_schema_fields", "_record")
    }
    for key, value in [*shown.items(), *info["user_headers"].items()]:
        shortened = value if len(value) <= 200 else value[:200] + "…"
        headers.add_row(Text(printable(key)), Text(printable(shortened)))
    out.print(headers)

    frames = info["frames"]
    table = Table(
        title=f"{len(frames)} frames", title_justify="left", caption_justify="left"
    )
    for col in ("#", "id", "offset", "bytes", "raw bytes", "records", "ratio"):
        table.add_column(col, justify="right")
    rows = frames
    if not all_frames and len(frames) > SHORT_LIST:
        rows = frames[: SHORT_LIST // 2] + [None] + frames[-SHORT_LIST // 2 :]
    for f in rows:
        if f is None:  # a narrow row: the note goes under the table, not into a column
            table.add_row(*["…"] * 7)
            table.caption = f"{len(frames) - SHORT_LIST:,} frames not shown (--all-frames lists them)"  # fmt: skip
            continue
        raw, stored = f["content_size"], f["length"]
        ratio = f"{raw / stored:.2f}" if raw is not None and stored else None
        table.add_row(
            *(_cell(f[k]) for k in ("index", "id", "offset", "length", "content_size")),
            _cell(f["records"]),
            _cell(ratio),
        )
    if frames:
        out.print(table)
    else:
        out.print("no frames")
    tail = info["tail"]
    torn = f", {tail['torn_bytes']} torn bytes at its end" if tail["torn_bytes"] else ""
    out.print(f"tail: {tail['records']:,} records{torn}")


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    return f"{value:,}" if isinstance(value, int) else str(value)
