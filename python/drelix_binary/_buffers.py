"""Bytes-like input under the stable ABI of CPython 3.9, which has no buffer protocol.

``bytes`` and ``bytearray`` reach the engine as they are. Any other buffer (``memoryview``,
a numpy array or row, ``array.array``, ``mmap``) is wrapped in a flat uint8 numpy array over
the caller's memory, and the engine reads it in place through the address numpy's array
interface gives: no byte is copied on the way in, except for a non-contiguous numpy array,
made contiguous once.
"""

from __future__ import annotations

from typing import Any, Union

import numpy as np

__all__ = ["Body", "address_of", "as_bytes", "as_bytes_or_array", "as_uint8"]

Body = Union[bytes, bytearray, np.ndarray]


def as_uint8(obj: Any) -> np.ndarray:
    """Bulk data as a flat, C-contiguous uint8 array sharing the caller's memory. Raises
    ``TypeError`` for ``str`` and for objects that are not buffers."""
    if isinstance(obj, np.ndarray):
        return np.ascontiguousarray(obj).reshape(-1).view(np.uint8)
    if isinstance(obj, str):
        raise TypeError("data must be bytes-like or a numpy array, not str")
    try:
        return np.frombuffer(obj, np.uint8)
    except (TypeError, ValueError, AttributeError, BufferError):
        pass  # BufferError: a strided buffer, copied below
    try:
        view = memoryview(obj)
    except TypeError:
        raise TypeError(
            f"expected a bytes-like object, not {type(obj).__name__}"
        ) from None
    return np.frombuffer(view.tobytes(), np.uint8)  # a strided view: one copy


def as_bytes_or_array(obj: Any) -> Body:
    """One record: ``bytes`` and ``bytearray`` as they are, anything else as ``as_uint8``."""
    if isinstance(obj, (bytes, bytearray)):
        return obj
    return as_uint8(obj)


def as_bytes(obj: Any) -> bytes | bytearray:
    """``bytes`` and ``bytearray`` as they are, any other buffer copied once into ``bytes``
    (for calls that take a list of bodies)."""
    if isinstance(obj, (bytes, bytearray)):
        return obj
    return as_uint8(obj).tobytes()


def address_of(array: np.ndarray) -> int:
    """The address of a contiguous array's first byte, from numpy's array interface."""
    return int(array.__array_interface__["data"][0])
