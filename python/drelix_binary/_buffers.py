"""Bytes-like input. The extension is built for the stable ABI of CPython 3.9, which has no
buffer protocol, so buffers reach it either as ``bytes`` or, for bulk data, as a flat uint8
numpy array over the caller's memory (numpy's array interface gives its address): the bytes
are read in place, never copied on the way in."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["as_bytes", "as_uint8"]


def as_bytes(obj: Any) -> bytes:
    """One record as ``bytes``: ``bytes`` as it is, anything else that exposes a buffer
    (``bytearray``, ``memoryview``, a numpy array or row, ``array.array``, ``mmap``) copied
    once. Raises ``TypeError`` for anything else (``str`` included)."""
    if type(obj) is bytes:
        return obj
    if isinstance(obj, str):
        raise TypeError("a record must be bytes-like, not str (encode it first)")
    try:
        return memoryview(obj).tobytes()
    except TypeError:
        raise TypeError(
            f"a record must be bytes-like, not {type(obj).__name__}"
        ) from None


def as_uint8(obj: Any) -> np.ndarray:
    """Bulk data as a flat, C-contiguous uint8 array sharing the caller's memory (a copy only
    when a numpy array is not contiguous). Raises ``TypeError`` for non-buffers."""
    if isinstance(obj, np.ndarray):
        return np.ascontiguousarray(obj).reshape(-1).view(np.uint8)
    if isinstance(obj, str):
        raise TypeError("data must be bytes-like or a numpy array, not str")
    try:
        return np.frombuffer(obj, np.uint8)
    except (TypeError, ValueError):
        view = memoryview(obj)  # raises TypeError for non-buffers
        return np.frombuffer(
            view.tobytes() if not view.c_contiguous else view.cast("B"), np.uint8
        )
