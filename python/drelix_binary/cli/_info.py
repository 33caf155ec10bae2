"""`drelix info`: what is in a file, at a glance, or as JSON for scripts."""

from __future__ import annotations

import os
import sys
from typing import Any

import orjson
from rich.console import Console
from rich.table import Table

from . import _errors

SHORT_LIST = 24  # frames shown before a long list is shortened (first and last half)


def facts(reader: Any) -> dict[str, Any]:
    """Everything `info` shows, as plain JSON-ready values."""
    path = os.fspath(reader.path)
    layout = reader.schema.layout
    frames = [_frame(f) for f in reader.frames]
    return {
        "path": path,
        "bytes": os.path.getsize(path),
        "preamble": {
            "version": reader.preamble.version,
            "flags": reader.preamble.flags,
            "header_area": reader.preamble.header_area,
        },
        "schema": {
            "name": reader.schema.name,
            "layout": "prefixed"
            if layout.fixed_size is None
            else f"fixed:{layout.fixed_size}",
            "fields": [
                {"name": f.name, "type": f.ty, "offset": f.offset}
                for f in reader.schema.fields
            ],
            "dtype": None if reader.dtype is None else _dtype_text(reader.dtype),
        },
        "headers": {k: v for k, v in reader.headers.items() if k.startswith("_")},
        "user_headers": dict(reader.user_headers),
        "frames": frames,
        "tail": {"records": reader.tail_records, "torn_bytes": reader.tail_torn_bytes},
        "sealed": reader.sealed,
        "pending_journal": os.path.exists(path + ".seal"),
        "stale_repack": os.path.exists(path + ".repack"),
    }


def _frame(f: Any) -> dict[str, Any]:
    raw = f.content_size
    return {
        "index": f.index,
        "id": f.id,
        "offset": f.offset,
        "length": f.length,
        "hash": f"{f.hash:016x}",
        "raw_bytes": raw,
        "records": f.records,
        "ratio": round(raw / f.length, 2) if raw is not None and f.length else None,
    }


def _dtype_text(dtype: Any) -> list[list[Any]]:
    return [
        [name, dtype.fields[name][0].str, dtype.fields[name][1]] for name in dtype.names
    ]


def run(args: Any) -> int:
    import drelix_binary as dx

    with dx.open(args.path) as reader:
        info = facts(reader)
    if args.json:
        sys.stdout.buffer.write(orjson.dumps(info, option=orjson.OPT_INDENT_2) + b"\n")
    else:
        show(info, Console(highlight=False), all_frames=args.all_frames)
    return _errors.OK


def show(info: dict[str, Any], out: Console, *, all_frames: bool = False) -> None:
    pre, schema = info["preamble"], info["schema"]
    out.print(
        f"[bold]{info['path']}[/bold]: {info['bytes']:,} bytes, "
        f"format version {pre['version']}, header zone {pre['header_area']:,} bytes, "
        f"{'sealed' if info['sealed'] else 'not sealed'}"
    )
    warnings = {
        "pending_journal": "an interrupted close is pending (.seal); validate finishes it",
        "stale_repack": "a stale .repack file lies beside it",
    }
    for flag, text in warnings.items():
        if info[flag]:
            out.print(f"[yellow]warning:[/yellow] {text}")

    fields = Table(
        title=f"schema {schema['name']} ({schema['layout']})", title_justify="left"
    )
    for col in ("field", "type", "offset", "numpy"):
        fields.add_column(col, justify="right" if col == "offset" else "left")
    numpy_types = {name: text for name, text, _ in schema["dtype"] or []}
    for f in schema["fields"]:
        fields.add_row(
            f["name"], f["type"], str(f["offset"]), numpy_types.get(f["name"], "-")
        )
    out.print(fields)

    headers = Table(title="headers", title_justify="left", show_header=False)
    headers.add_column("key")
    headers.add_column("value", overflow="fold")
    shown = {
        k: v
        for k, v in info["headers"].items()
        if k not in ("_frames", "_schema", "_schema_fields", "_record")
    }
    for key, value in [*shown.items(), *info["user_headers"].items()]:
        headers.add_row(key, value if len(value) <= 200 else value[:200] + "…")
    out.print(headers)

    frames = info["frames"]
    table = Table(title=f"{len(frames)} frames", title_justify="left")
    for col in ("#", "id", "offset", "bytes", "raw bytes", "records", "ratio"):
        table.add_column(col, justify="right")
    rows = frames
    if not all_frames and len(frames) > SHORT_LIST:
        rows = frames[: SHORT_LIST // 2] + [None] + frames[-SHORT_LIST // 2 :]
    for f in rows:
        if f is None:
            table.add_row(
                "…", f"{len(frames) - SHORT_LIST} more (--all-frames)", *[""] * 5
            )
            continue
        table.add_row(
            *(
                _cell(f[k])
                for k in (
                    "index",
                    "id",
                    "offset",
                    "length",
                    "raw_bytes",
                    "records",
                    "ratio",
                )
            )
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
