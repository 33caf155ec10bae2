"""Shared helpers for the tests of drelix_binary._native.

Files are written byte by byte here, independently of the engine, so that a test reading one
checks the reader against the format rather than against the writer.
"""

import struct

from drelix_binary import _native

Container, FS, RL = _native.Container, _native.FieldSpec, _native.RecordLayout


def drelix_bytes(headers, header_area=4096, flags=1, data=b""):
    """A whole file: magic, version 1, flags, the zone size (u32 little-endian), four zeros,
    then the zone ("key:value\\n" per pair, escaped, an empty line, zero fill) and `data`."""
    escaped = [(k, v.replace("\\", "\\\\").replace("\n", "\\n")) for k, v in headers]
    zone = ("".join(f"{k}:{v}\n" for k, v in escaped) + "\n").encode()
    head = b"DRELIX" + bytes([1, flags]) + struct.pack("<II", header_area, 0)
    return head + zone.ljust(header_area, b"\0") + data


class Index:
    """An integer by the index protocol; `hook` runs first (to re-enter a Container)."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def body(i):
    """Record i's body: its index first, so any misplaced record is visible, then padding."""
    return struct.pack("<Q", i) + bytes([i % 251]) * (i % 23)


def raw(data):
    """A prefixed body as it sits in the tail or in a frame's content."""
    return struct.pack("<H", len(data)) + data


def create(path, **kwargs):
    schema = _native.Schema("test@1", [FS("seq", "u64", 0), FS("tag", "u8", 8)], RL.prefixed())  # fmt: skip
    return Container.create(path, schema, "src", "writer", **kwargs)


def make_file(path, frames, per_frame=10, tail=4):
    """A prefixed file with `frames` closed frames (ids 0..) and `tail` records after them."""
    c = create(path)
    for i in range(frames * per_frame + tail):
        c.append_record(body(i))
        if i < frames * per_frame and (i + 1) % per_frame == 0:
            c.close_frame(i // per_frame, 3)
    del c  # writes the tail
