"""Shared helpers for the tests of drelix_binary._native.

Files are written byte by byte here, independently of the engine, so that a test reading one
checks the reader against the format rather than against the writer.
"""

import struct

from drelix_binary import _native

Container, FS, RL = _native.Container, _native.FieldSpec, _native.RecordLayout
FIXED_SIZE = 16


def preamble_bytes(header_area, version=1, flags=1):
    """The 16-byte head: magic, version, flags, zone size (u32 little-endian), four zeros."""
    return b"DRELIX" + bytes([version, flags]) + struct.pack("<II", header_area, 0)


def drelix_bytes(headers, header_area=4096, version=1, flags=1, data=b""):
    """A whole file; the zone is "key:value\\n" per pair, an empty line, zero fill."""
    escaped = [(k, v.replace("\\", "\\\\").replace("\n", "\\n")) for k, v in headers]
    zone = ("".join(f"{k}:{v}\n" for k, v in escaped) + "\n").encode()
    head = preamble_bytes(header_area, version, flags)
    return head + zone.ljust(header_area, b"\0") + data


def frames_file(path, frames_value, data=b""):
    """A hand-written file whose _frames header is `frames_value`."""
    # The system headers a readable file needs: a schema without fields, prefixed records.
    headers = [("_schema", "t@1"), ("_record", "prefixed"), ("_schema_fields", "")]
    path.write_bytes(
        drelix_bytes(headers + [("_frames", frames_value)], 256, data=data)
    )
    return path


class Index:
    """An integer by the index protocol; `hook` runs first (to re-enter a Container)."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def body(i, fixed=False):
    """Record i's body: its index first, so any misplaced record is visible, then padding."""
    return struct.pack("<Q", i) + bytes([i % 251]) * (FIXED_SIZE - 8 if fixed else i % 23)  # fmt: skip


def raw(data, fixed=False):
    """A body as it sits in the tail or in a frame's content."""
    return data if fixed else struct.pack("<H", len(data)) + data


def make_schema(fixed=False):
    layout = RL.fixed(FIXED_SIZE) if fixed else RL.prefixed()
    return _native.Schema("test@1", [FS("seq", "u64", 0), FS("tag", "u8", 8)], layout)


def create(path, fixed=False, **kwargs):
    return Container.create(path, make_schema(fixed), "src", "writer", **kwargs)


def data_start(path):
    return 16 + _native.peek_headers(path)[0].header_area


def make_file(path, frames=2, per_frame=30, tail=4, level=3):
    """A prefixed file with `frames` closed frames (ids 0..) and `tail` records after them.
    Returns the bodies in file order."""
    c = create(path)
    bodies = [body(i) for i in range(frames * per_frame + tail)]
    for i, b in enumerate(bodies):
        c.append_record(b)
        if i < frames * per_frame and (i + 1) % per_frame == 0:
            c.close_frame(i // per_frame, level)
    del c  # writes the tail
    return bodies


def all_records(c):
    """Every record of an open container, frames then tail; no frame or tail may be torn."""
    records = []
    for data in [c.read_frame_at(i) for i in range(len(c.frames()))] + [c.read_tail()]:
        split, torn = _native.split_records(data, c.schema().layout)
        assert torn == 0
        records.extend(split)
    return records
