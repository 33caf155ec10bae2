"""Schemas from Python values, and the numpy dtype of a schema."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Literal, Union

import numpy as np

from . import _native

__all__ = ["LayoutSpec", "dtype_of", "layout_of", "schema"]

LayoutSpec = Union[Literal["fixed", "prefixed"], int, _native.RecordLayout, None]

# The types the format names, their sizes, and the little-endian numpy type of each.
SIZES = {"u8": 1, "u16": 2, "u32": 4, "u64": 8, "i64": 8, "f64": 8, "uuid": 16}
NUMPY: dict[str, np.dtype[Any]] = {
    "u8": np.dtype("u1"),
    "u16": np.dtype("<u2"),
    "u32": np.dtype("<u4"),
    "u64": np.dtype("<u8"),
    "i64": np.dtype("<i8"),
    "f64": np.dtype("<f8"),
    "uuid": np.dtype("V16"),
}
NAMED = "u8 u16 u32 u64 i64 f64 uuid (numpy V16)"


def layout_of(layout: LayoutSpec, record_size: int) -> _native.RecordLayout:
    """The record layout a ``layout=`` argument asks for; ``None`` and "fixed" mean fixed
    records of ``record_size`` bytes."""
    if isinstance(layout, _native.RecordLayout):
        return layout
    if layout is None or layout == "fixed":
        return _native.RecordLayout.fixed(record_size)
    if layout == "prefixed":
        return _native.RecordLayout.prefixed()
    if isinstance(layout, int) and not isinstance(layout, bool):
        if layout < record_size:
            raise _native.DrelixUsageError(
                f"a fixed record of {layout} bytes cannot hold fields that need {record_size}"
            )
        return _native.RecordLayout.fixed(layout)
    raise _native.DrelixUsageError(
        f"layout must be 'fixed', 'prefixed', a record size or a RecordLayout, not {layout!r}"
    )


def _type_of(name: str, dt: np.dtype) -> str:
    """The format's name for one numpy field type; refuses the types it does not name."""
    if (
        dt.kind == "V"
        and dt.itemsize == 16
        and dt.fields is None
        and dt.subdtype is None
    ):
        return "uuid"
    for ty, known in NUMPY.items():
        if ty != "uuid" and dt == known:
            return ty
    raise _native.DrelixUsageError(
        f"field {name!r} has numpy type {dt.str!r}, which the format does not name; "
        f"it names {NAMED} (little-endian)"
    )


def schema(
    name: str,
    fields: Mapping[str, str] | np.dtype | type | str,
    *,
    layout: LayoutSpec = None,
) -> _native.Schema:
    """A schema named ``name`` (``name@version`` by convention).

    ``fields`` is either a mapping of field name to the format's type name (``u8``, ``u16``,
    ``u32``, ``u64``, ``i64``, ``f64``, ``uuid``), packed in order at their natural sizes, or a
    numpy dtype (anything ``numpy.dtype()`` accepts), whose field offsets and itemsize are kept.
    ``layout``: ``None``/``"fixed"`` for fixed records of the fields' total size (a dtype's
    itemsize), an ``int`` for fixed records of that many bytes, ``"prefixed"`` for records
    carrying a 2-byte length prefix, or a ``RecordLayout``.

    Raises ``DrelixUsageError`` for a type the format does not name (numpy ``int32``,
    ``float32``, ``bool``, strings, big-endian, nested records...) or a record too small.
    """
    if isinstance(fields, Mapping):
        specs, offset = [], 0
        for field, ty in fields.items():
            if ty not in SIZES:
                raise _native.DrelixUsageError(
                    f"field {field!r} has type {ty!r}, which the format does not name; "
                    f"it names {NAMED}"
                )
            specs.append(_native.FieldSpec(field, ty, offset))
            offset += SIZES[ty]
        return _native.Schema(name, specs, layout_of(layout, offset))
    dt = np.dtype(fields)
    if dt.fields is None:
        raise _native.DrelixUsageError(f"a schema needs a structured dtype, not {dt}")
    specs = [
        _native.FieldSpec(
            field, _type_of(field, dt.fields[field][0]), dt.fields[field][1]
        )
        for field in dt.names or ()
    ]
    return _native.Schema(name, specs, layout_of(layout, dt.itemsize))


def dtype_of(
    schema: _native.Schema,
    *,
    overrides: Mapping[str, np.dtype | str | type] | None = None,
) -> np.dtype:
    """The structured numpy dtype of a fixed-layout schema's records: each field at its
    offset, little-endian, ``uuid`` as a 16-byte void (``V16``) that keeps its zero bytes, and
    the record size as itemsize.

    ``overrides`` maps field names to the numpy type to use instead, for fields whose type the
    format does not name. Raises ``DrelixUsageError`` for a prefixed layout, an unknown type
    without an override, or a field that runs past the end of the record.
    """
    size = schema.layout.fixed_size
    if size is None:
        raise _native.DrelixUsageError(
            f"schema {schema.name!r} has length-prefixed records, which have no fixed dtype"
        )
    overrides = overrides or {}
    names, formats, offsets = [], [], []
    for f in schema.fields:
        dt: np.dtype[Any]
        if f.name in overrides:
            dt = np.dtype(overrides[f.name])
        elif f.ty in NUMPY:
            dt = NUMPY[f.ty]
        else:
            raise _native.DrelixUsageError(
                f"field {f.name!r} has type {f.ty!r}, which the format does not name; "
                f"pass overrides={{{f.name!r}: <numpy dtype>}}"
            )
        if f.offset + dt.itemsize > size:
            raise _native.DrelixUsageError(
                f"field {f.name!r} ({f.ty} at offset {f.offset}) runs past the end of the "
                f"{size}-byte record"
            )
        names.append(f.name)
        formats.append(dt)
        offsets.append(f.offset)
    return np.dtype(
        {"names": names, "formats": formats, "offsets": offsets, "itemsize": size}
    )
