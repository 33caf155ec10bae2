"""Row filters in the pyarrow style: ``[("ts", ">=", lo), ("ts", "<", hi)]``, a conjunction of
comparisons on numeric fields of a fixed layout.

Two uses of one parsed filter: the frames a read may skip, from the ranges the header zone
lists per frame under ``drelix_stats_<field>`` (``min,max`` per frame in frame-list order,
joined by ``;``; an empty entry for a frame without a usable value), and the exact row mask of
the records it does read. Ranges are trusted only when the key parses and holds one entry per
listed frame; any doubt reads the frame. Skipping only ever drops frames whose every row the
mask would drop, so a filtered read equals a full read plus the mask, with or without ranges.
"""

from __future__ import annotations

import math
import operator
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Callable, Optional, Union

import numpy as np

from . import _native
from ._schema import NUMPY

__all__ = ["STATS_PREFIX", "Filter", "frame_ranges", "parse_filters"]

STATS_PREFIX = "drelix_stats_"

Number = Union[int, float]
Range = Optional[tuple[Number, Number]]  # None: the frame holds no usable value

_COMPARE: dict[str, Callable[[Any, Any], Any]] = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}
OPS = ("==", "=", "!=", "<", "<=", ">", ">=", "in", "not in")
_INTEGERS = {"u8", "u16", "u32", "u64", "i64"}
# Values rows of an integer field can hold, by type.
_BOUNDS = {
    ty: (int(np.iinfo(NUMPY[ty]).min), int(np.iinfo(NUMPY[ty]).max)) for ty in _INTEGERS
}
# What the writer renders: decimal integers; floats in shortest round-trip form or +-inf.
_INTEGER_TEXT = re.compile(r"-?[0-9]+")
_FLOAT_TEXT = re.compile(r"-?(?:inf|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?)")


@dataclass(frozen=True)
class Condition:
    """One comparison, its value already in the field's terms: an integer field compares with
    an integer within its type (``op`` ``None``: the comparison has the constant result
    ``const`` on every row), an f64 field with a float."""

    field: str
    ty: str
    offset: int
    op: str | None  # one of _COMPARE, "in", "not in"; None: constant
    value: Any  # a number, or a tuple of numbers for in / not in
    const: bool = False

    @property
    def exact(self) -> bool:
        """Whether a range [lo, hi] tells every row's value: integers (no NaN)."""
        return self.ty in _INTEGERS

    def may_hold(self, rng: Range) -> bool:
        """Whether some row of a frame whose usable values lie in ``rng`` may satisfy this.
        NaN rows (f64) are not in the range and satisfy only ``!=`` and ``not in``."""
        if self.op is None:
            return self.const
        if self.op in ("!=", "not in"):
            if rng is None or not self.exact:
                return True
            lo, hi = rng
            values = (self.value,) if self.op == "!=" else self.value
            return not (lo == hi and lo in values)
        if rng is None:
            return False
        lo, hi = rng
        if self.op == "in":
            return any(lo <= v <= hi for v in self.value)
        if self.op == "==":
            return bool(lo <= self.value <= hi)
        # The most favourable end of the range decides.
        end = lo if self.op in ("<", "<=") else hi
        return bool(_COMPARE[self.op](end, self.value))

    def mask(self, column: np.ndarray) -> np.ndarray:
        if self.op is None:
            return np.full(len(column), self.const)
        if self.op in ("in", "not in"):
            found = np.isin(column, np.array(self.value, column.dtype))
            return found if self.op == "in" else ~found
        result: np.ndarray = _COMPARE[self.op](column, column.dtype.type(self.value))
        return result


@dataclass(frozen=True)
class Filter:
    """A parsed conjunction for records of ``record_size`` bytes."""

    conditions: tuple[Condition, ...]
    record_size: int

    def _probe(self) -> np.dtype:
        """A dtype of the records that names just the compared fields."""
        fields = {c.field: (NUMPY[c.ty], c.offset) for c in self.conditions}
        return np.dtype(
            {
                "names": list(fields),
                "formats": [f[0] for f in fields.values()],
                "offsets": [f[1] for f in fields.values()],
                "itemsize": self.record_size,
            }
        )

    def mask(self, records: np.ndarray) -> np.ndarray:
        """The rows of ``records`` (an array of any dtype of the record size, or the flat
        bytes of whole records) that satisfy every condition."""
        if records.dtype.itemsize != self.record_size:
            records = records.view(np.uint8).reshape(-1)
        view = records.view(self._probe())
        keep = np.ones(len(view), bool)
        for c in self.conditions:
            keep &= c.mask(view[c.field])
        return keep

    def frames_to_read(self, headers: Mapping[str, str], frames: int) -> list[bool]:
        """For each of the ``frames`` listed, whether it may hold a row that passes: False
        only where a trusted range rules it out."""
        wanted = [True] * frames
        ranges: dict[str, list[Range] | None] = {}
        for c in self.conditions:
            if c.field not in ranges:
                ranges[c.field] = frame_ranges(headers, c.field, c.ty, frames)
            listed = ranges[c.field]
            if listed is None:
                if c.op is None and not c.const:
                    return [False] * frames  # nothing passes: no range needed
                continue
            for i, rng in enumerate(listed):
                if wanted[i] and not c.may_hold(rng):
                    wanted[i] = False
        return wanted


def frame_ranges(
    headers: Mapping[str, str], field: str, ty: str, frames: int
) -> list[Range] | None:
    """The per-frame ranges of ``field`` the zone lists, or None when there is no key, it does
    not parse, or it holds another number of entries than ``frames``."""
    text = headers.get(STATS_PREFIX + field)
    if text is None:
        return None
    # Zero frames and one frame without a value are both the empty value; any other count of
    # frames (a peer closed frames without keeping the key up) needs as many entries.
    entries = text.split(";") if text or frames != 0 else []
    if len(entries) != frames:
        return None
    out: list[Range] = []
    for entry in entries:
        if not entry:
            out.append(None)
            continue
        rng = _parse_range(entry, ty)
        if rng is None:
            return None
        out.append(rng)
    return out


def _parse_range(entry: str, ty: str) -> tuple[Number, Number] | None:
    parts = entry.split(",")
    if len(parts) != 2:
        return None
    ends: list[Number] = []
    for text in parts:
        if ty in _INTEGERS:
            if not _INTEGER_TEXT.fullmatch(text):
                return None
            v = int(text)
            lo, hi = _BOUNDS[ty]
            if not lo <= v <= hi:
                return None
            ends.append(v)
        else:
            if not _FLOAT_TEXT.fullmatch(text):
                return None
            ends.append(float(text))
    if ends[0] > ends[1]:
        return None
    return ends[0], ends[1]


# ---- parsing the argument ------------------------------------------------------------------


def parse_filters(
    filters: Iterable[Sequence[Any]] | None, schema: _native.Schema, where: str
) -> Filter | None:
    """The checked conjunction ``filters`` on records of ``schema``, None for none. Raises
    ``DrelixUsageError`` naming ``where`` for a prefixed layout, a malformed filter, an unknown
    or non-numeric field, an unknown operator or a value the field cannot be compared with."""
    if filters is None:
        return None
    size = schema.layout.fixed_size
    if size is None:
        raise _native.DrelixUsageError(
            f"{where} holds length-prefixed records, which filters cannot read by field"
        )
    if isinstance(filters, (str, bytes)) or not isinstance(filters, Iterable):
        raise _native.DrelixUsageError(
            f"filters is a list of (field, op, value) tuples, not {filters!r}"
        )
    fields = {f.name: f for f in schema.fields}
    conditions = []
    for item in filters:
        if (
            isinstance(item, (str, bytes))
            or not isinstance(item, Sequence)
            or len(item) != 3
        ):
            raise _native.DrelixUsageError(
                f"each filter is a (field, op, value) tuple (one conjunction), not {item!r}"
            )
        name, op, value = item
        field = fields.get(name) if isinstance(name, str) else None
        if field is None:
            raise _native.DrelixUsageError(
                f"no field named {name!r} in {schema.name!r} to filter on"
            )
        if field.ty not in NUMPY or field.ty == "uuid":
            raise _native.DrelixUsageError(
                f"field {name!r} is {field.ty}: filters compare numeric fields only"
            )
        if op not in OPS:
            raise _native.DrelixUsageError(
                f"unknown filter operator {op!r} (for {name!r}); use one of {', '.join(OPS)}"
            )
        conditions.append(_condition(field.name, field.ty, field.offset, op, value))
    return Filter(tuple(conditions), size)


def _number(name: str, ty: str, value: Any) -> Number:
    """``value`` as a Python number a field of type ``ty`` compares with."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(
        value, (int, float, np.integer, np.floating)
    ):
        raise _native.DrelixUsageError(
            f"field {name!r} is {ty}: it cannot be compared with {value!r}"
        )
    if isinstance(value, (int, np.integer)):
        return int(value) if ty in _INTEGERS else _as_float(int(value))
    return float(value)


def _as_float(value: int) -> float:
    """An integer as the f64 NumPy compares with (an integer beyond f64: infinite)."""
    try:
        return float(value)
    except OverflowError:
        return math.inf if value > 0 else -math.inf


def _condition(name: str, ty: str, offset: int, op: str, value: Any) -> Condition:
    op = "==" if op == "=" else op
    if op in ("in", "not in"):
        if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
            raise _native.DrelixUsageError(
                f"{op!r} on {name!r} takes a collection of values, not {value!r}"
            )
        numbers = [_number(name, ty, v) for v in value]
        if ty in _INTEGERS:
            # Only the integers the type holds can be equal to a row's value.
            lo, hi = _BOUNDS[ty]
            numbers = [int(v) for v in numbers if _integral(v) and lo <= v <= hi]
        else:
            numbers = [v for v in numbers if not math.isnan(v)]
        return Condition(name, ty, offset, op, tuple(sorted(set(numbers))))
    number = _number(name, ty, value)
    if ty not in _INTEGERS:
        return Condition(name, ty, offset, op, number)
    return _integer_condition(name, ty, offset, op, number)


def _integral(v: Number) -> bool:
    return isinstance(v, int) or math.isfinite(v) and v.is_integer()


def _integer_condition(
    name: str, ty: str, offset: int, op: str, v: Number
) -> Condition:
    """``op v`` on an integer field as a comparison with an integer its type holds, or as a
    constant: ``x < 2.5`` is ``x <= 2``, ``x == 2.5`` never holds, ``u8 > 300`` never holds."""
    lo, hi = _BOUNDS[ty]
    if isinstance(v, float) and not _integral(v):
        if math.isnan(v) or op in ("==", "!="):
            return Condition(name, ty, offset, None, None, op == "!=")
        if not math.isinf(v):
            op, v = ("<=", math.floor(v)) if op in ("<", "<=") else (">=", math.ceil(v))
    if lo <= v <= hi:
        return Condition(name, ty, offset, op, int(v))
    # Beyond the type (or infinite): every row compares as its nearest end would.
    return Condition(name, ty, offset, None, None, bool(_COMPARE[op](lo, v)))
