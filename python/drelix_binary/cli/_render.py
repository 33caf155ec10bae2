"""Records as text, a batch at a time.

Fixed-layout records arrive as NumPy structured arrays. Formatting them one record at a time in
Python tops out near 200,000 records a second, so a batch is formatted column by column instead:
orjson writes each numeric column as one JSON array (shortest round-trip floats, NaN and
infinities as null), the array is cut at its commas, and NumPy lays every value into a row matrix
whose unused cells are zero bytes; dropping the zero bytes leaves the finished lines. No text we
produce contains a zero byte (JSON and CSV escape or never hold one), which is what makes the
padding safe to remove.

Variable-length records (the prefixed layout, or fixed records whose fields have no NumPy type)
are shown whole: as text when they are valid UTF-8, else as base64, and each line says which.
"""

from __future__ import annotations

import base64
import csv
import io
import json
from collections.abc import Sequence

import numpy as np
import orjson

from ._args import FORMATS

ROWS_PER_CHUNK = 1 << 15  # bounds the row matrix of one chunk to a few MiB

_HEX = np.frombuffer(b"0123456789abcdef", np.uint8)
_HEX_PAIRS = np.stack([_HEX[np.arange(256) >> 4], _HEX[np.arange(256) & 15]], axis=1)
# A byte's two hex digits as one 16-bit load.
_HEX_WORDS = _HEX_PAIRS.copy().view("<u2").ravel()
_COMMA, _QUOTE, _DASH, _NL = (np.uint8(c) for c in b',"-\n')


class Renderer:
    """Turns batches of records of one file into bytes of one output format."""

    def __init__(self, fmt: str, dtype: np.dtype | None, prefixed: bool = False):
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {fmt!r}")
        self.fmt, self.dtype, self.prefixed = fmt, dtype, prefixed

    def header(self) -> bytes:
        """What goes before the first record: the CSV column names, else nothing."""
        if self.fmt != "csv":
            return b""
        names = (
            list(self.dtype.names or ())
            if self.dtype is not None
            else ["encoding", "record"]
        )
        return _csv_line(names)

    def records(self, batch: np.ndarray | Sequence[bytes]) -> bytes:
        """One batch as output bytes: a structured array, or a list of record bodies."""
        if isinstance(batch, np.ndarray) and batch.dtype.names:
            if self.fmt == "raw":
                return batch.tobytes()
            if self.fmt == "hex":
                rows = np.ascontiguousarray(batch).view(np.uint8)
                return _hex_lines(rows.reshape(len(batch), batch.dtype.itemsize))
            parts = [
                _table(batch[i : i + ROWS_PER_CHUNK], self.fmt == "csv")
                for i in range(0, len(batch), ROWS_PER_CHUNK)
            ]
            return b"".join(parts)
        return b"".join(self._body(bytes(b)) for b in batch)

    def _body(self, body: bytes) -> bytes:
        if self.fmt == "raw":
            # As stored: a length-prefixed record keeps its 2-byte length, or the output could
            # not be split into records again.
            return len(body).to_bytes(2, "little") + body if self.prefixed else body
        if self.fmt == "hex":
            return body.hex().encode() + b"\n"
        encoding, text = describe_body(body)
        if self.fmt == "csv":
            return _csv_line([encoding, text])
        return orjson.dumps({encoding: text}) + b"\n"


def json_document(value: object) -> bytes:
    """`value` as indented JSON and a newline. Text that is not valid Unicode (the surrogate
    escapes of a file name that is not UTF-8) is written as JSON escapes, `\\udcff`, which read
    back to the same name; orjson refuses such text, so the standard library writes it."""
    try:
        return orjson.dumps(value, option=orjson.OPT_INDENT_2) + b"\n"
    except orjson.JSONEncodeError:
        text = json.dumps(value, indent=2, ensure_ascii=False)
        return text.encode("utf-8", "backslashreplace") + b"\n"


def describe_body(body: bytes) -> tuple[str, str]:
    """("text", the text) when the bytes are valid UTF-8, else ("base64", their base64)."""
    try:
        return "text", body.decode("utf-8")
    except UnicodeDecodeError:
        return "base64", base64.b64encode(body).decode("ascii")


def _csv_line(values: Sequence[str]) -> bytes:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow(values)
    return out.getvalue().encode("utf-8")


def _hex_lines(rows: np.ndarray) -> bytes:
    n, width = rows.shape
    text = np.empty((n, 2 * width + 1), np.uint8)
    text[:, :-1] = _HEX_WORDS[rows].view(np.uint8)
    text[:, -1] = _NL
    return text.tobytes()


def _table(batch: np.ndarray, csv_mode: bool) -> bytes:
    """A chunk of a structured array as JSON lines or CSV rows."""
    n = len(batch)
    if n == 0:
        return b""
    # Each piece: (its bytes, the length of each row's part, or one width for every row).
    pieces: list[tuple[np.ndarray, np.ndarray | int]] = []
    names = batch.dtype.names or ()
    for k, name in enumerate(names):
        if csv_mode:
            lead = b"" if k == 0 else b","
        else:
            lead = (b"{" if k == 0 else b",") + orjson.dumps(name) + b":"
        if lead:
            pieces.append((np.frombuffer(lead, np.uint8), len(lead)))
        pieces.append(_column(batch[name], csv_mode))
    tail = b"\n" if csv_mode else b"}\n"
    pieces.append((np.frombuffer(tail, np.uint8), len(tail)))
    return _lay_out(n, pieces)


def _column(col: np.ndarray, csv_mode: bool) -> tuple[np.ndarray, np.ndarray | int]:
    """The text of every value of one column: (bytes back to back, length of each value)."""
    if col.dtype.kind == "V":
        return _uuid_column(col, csv_mode)
    if col.dtype.kind in "ui":
        return _int_column(col)
    flat = np.ascontiguousarray(col).astype(col.dtype.newbyteorder("="), copy=False)
    text = np.frombuffer(
        orjson.dumps(flat, option=orjson.OPT_SERIALIZE_NUMPY), np.uint8
    )[1:-1]
    commas = np.flatnonzero(text == _COMMA)
    lengths = np.diff(commas, prepend=-1, append=len(text)) - 1
    values = text[text != _COMMA]
    if csv_mode and col.dtype.kind == "f":
        # orjson writes null for NaN and the infinities; a CSV cell stays empty instead.
        finite = np.isfinite(col)
        if not finite.all():
            values = values[np.repeat(finite, lengths)]
            lengths = np.where(finite, lengths, 0)
    return values, lengths


_POWERS = 10 ** np.arange(1, 20, dtype=np.uint64)


def _int_column(col: np.ndarray) -> tuple[np.ndarray, int]:
    """Integers as decimal digits in a fixed-width block, leading zeros as zero bytes (dropped
    with the rest of the padding); a sign column before the digits for signed types."""
    n = len(col)
    values = col.astype(col.dtype.newbyteorder("="), copy=False)
    negative = None
    if values.dtype.kind == "i":
        negative = values < 0
        magnitude = values.astype(np.int64).view(np.uint64).copy()
        np.negative(
            magnitude, out=magnitude, where=negative
        )  # two's complement: |min| fits
    else:
        magnitude = values.astype(np.uint64)
    count = np.searchsorted(_POWERS, magnitude, side="right") + 1
    width = int(count.max(initial=1))
    block = np.empty((n, width + (negative is not None)), np.uint8)
    digits = block[:, block.shape[1] - width :]
    rest = magnitude
    for k in range(width - 1, -1, -1):
        quotient = rest // 10
        digits[:, k] = rest - quotient * 10
        rest = quotient
    digits += 48
    digits *= np.arange(width) >= (width - count)[:, None]
    if negative is not None:
        block[:, 0] = negative * ord("-")
    return block.ravel(), block.shape[1]


def _uuid_column(col: np.ndarray, csv_mode: bool) -> tuple[np.ndarray, int]:
    """16-byte values as 8-4-4-4-12 hexadecimal, in storage byte order, quoted for JSON."""
    n, size = len(col), col.dtype.itemsize
    raw = np.ascontiguousarray(col).view(np.uint8).reshape(n, size)
    digits = _HEX_PAIRS[raw].reshape(n, 2 * size)
    if size == 16:
        cuts = [0, 8, 12, 16, 20, 32]
        groups = [digits[:, a:b] for a, b in zip(cuts, cuts[1:])]
        dashes = np.full((n, 1), _DASH, np.uint8)
        digits = np.concatenate([x for g in groups for x in (g, dashes)][:-1], axis=1)
    if not csv_mode:
        quote = np.full((n, 1), _QUOTE, np.uint8)
        digits = np.concatenate([quote, digits, quote], axis=1)
    return digits.ravel(), digits.shape[1]


def _lay_out(n: int, pieces: list[tuple[np.ndarray, np.ndarray | int]]) -> bytes:
    """Rows made of the pieces in order, with every zero-byte cell of the matrix dropped."""
    widths = [w if isinstance(w, int) else int(w.max(initial=0)) for _, w in pieces]
    row_width = sum(widths)
    matrix = np.zeros(n * row_width, np.uint8)
    grid = matrix.reshape(n, row_width)
    # 32-bit positions: a chunk's matrix stays far below 2 GiB, and half-width indices halve the
    # memory traffic of the scatter.
    row_starts = np.arange(0, n * row_width, row_width, dtype=np.int32)
    col = 0
    for (data, lengths), width in zip(pieces, widths):
        if isinstance(lengths, int):
            grid[:, col : col + width] = data.reshape(-1, width)
        elif data.size:
            lengths = lengths.astype(np.int32, copy=False)
            shift = (
                row_starts
                + np.int32(col)
                - (np.cumsum(lengths, dtype=np.int32) - lengths)
            )
            dest = np.repeat(shift, lengths)
            dest += np.arange(data.size, dtype=np.int32)
            matrix[dest] = data
        col += width
    # Deleting one byte value is a memchr-and-copy loop in CPython: several times faster than
    # NumPy's boolean indexing over rows that are almost all text.
    return matrix.tobytes().replace(b"\0", b"")
