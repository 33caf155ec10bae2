"""Shared helpers for the tests of drelix_binary._native.

Files are written byte by byte here, independently of the engine, so that a test reading one
checks the reader against the format rather than against the writer.
"""

import struct

import pytest

from drelix_binary import _native

MAGIC = b"DRELIX"


def preamble_bytes(header_area, version=1, flags=1):
    """The 16-byte head: magic, version, flags, zone size (u32 little-endian), four zeros."""
    return MAGIC + bytes([version, flags]) + struct.pack("<I", header_area) + bytes(4)


def escape_value(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n")


def zone_bytes(headers, header_area):
    """The header zone: "key:value\\n" per pair, an empty line, zero fill up to the size."""
    text = "".join(f"{key}:{escape_value(value)}\n" for key, value in headers) + "\n"
    raw = text.encode("utf-8")
    assert len(raw) <= header_area, "test headers do not fit the zone"
    return raw + bytes(header_area - len(raw))


def drelix_bytes(headers, header_area=4096, version=1, flags=1, data=b""):
    return preamble_bytes(header_area, version, flags) + zone_bytes(headers, header_area) + data


# The system headers a readable file needs: a schema without fields, prefixed records.
MINIMAL_HEADERS = [
    ("_schema", "test@1"),
    ("_record", "prefixed"),
    ("_schema_fields", ""),
    ("_frames", ""),
]


@pytest.fixture
def native():
    return _native


@pytest.fixture
def write_file(tmp_path):
    """write_file(name, content) -> the path of a new file under the test's temporary dir."""

    def write(name, content):
        path = tmp_path / name
        path.write_bytes(content)
        return path

    return write


# Tests that need a Container to obtain objects (Frame has no constructor) run once the class
# is part of the module.
needs_container = pytest.mark.skipif(
    not hasattr(_native, "Container"), reason="Container is not part of the module yet"
)
