"""The maintenance functions validate, rebuild_headers and repack, and their report classes."""

import os
import struct
import subprocess
import sys

import pytest

from conftest import Container, all_records, data_start, drelix_bytes, make_file, raw
from drelix_binary import _native


def set_zone_value(path, key, old, new):
    """Rewrites one header value in place; the zone is padded, so equal lengths keep it valid."""
    assert len(old) == len(new)
    content = path.read_bytes()
    line = f"\n{key}:{old}\n".encode()
    assert content.count(line) == 1
    path.write_bytes(content.replace(line, f"\n{key}:{new}\n".encode()))


@pytest.fixture
def broken(tmp_path):
    """A file of one frame of 30 records whose _records header says 31."""
    path = tmp_path / "broken.drelix"
    make_file(path, frames=1, tail=0)
    set_zone_value(path, "_records", "30", "31")
    return path


# ---- validate --------------------------------------------------------------------------------
@pytest.mark.parametrize("frames, tail", [(0, 0), (3, 5)])
def test_validate_counts_frames_and_tail(tmp_path, frames, tail):
    path = tmp_path / "a.drelix"
    make_file(path, frames=frames, per_frame=10, tail=tail)
    report = _native.validate(str(path))
    assert type(report) is _native.ValidateReport
    assert (report.problems, report.frames, report.records) == ([], frames, frames * 10 + tail)
    assert type(report.frames) is int and type(report.records) is int


@pytest.mark.parametrize("level, damage", [(0, "byte"), (3, "magic"), (0, "offset")])
def test_damage_the_listed_checksum_catches(tmp_path, level, damage):
    """A flipped byte of a raw frame, a damaged zstd magic, one listed offset off by one: bytes
    the decoder would accept (or never sees) are caught by the checksum, in validate's one line
    and in every read, which raises instead of returning other bytes."""
    path = tmp_path / "a.drelix"
    make_file(path, frames=2, tail=0, level=level)
    frame = Container.open_read(path).frames()[1]
    start = data_start(path) + frame.offset
    content = bytearray(path.read_bytes())
    if damage == "offset":
        token = f"1,{frame.offset},{frame.len},"
        moved = f"1,{frame.offset - 1},{frame.len},"
        assert len(moved) == len(token)
        content = bytearray(bytes(content).replace(token.encode(), moved.encode()))
        start -= 1
    else:
        content[start + (0 if damage == "magic" else 5)] ^= 0x10
    path.write_bytes(bytes(content))
    line = (f"frame 1: checksum mismatch, _frames says {frame.hash:016x}, "
            f"the bytes hash to {_native.xxh64(bytes(content[start:start + frame.len])):016x}")
    report = _native.validate(path)
    assert report.frames == 2
    assert report.problems[0] == line
    c = Container.open_read(path)
    for read in (lambda: c.read_frame(1), lambda: c.read_frame_at(1)):
        with pytest.raises(_native.DrelixMalformedError) as raised:
            read()
        assert str(raised.value) == line
    assert c.read_frame_at(0)


# ---- rebuild_headers -------------------------------------------------------------------------
@pytest.mark.parametrize("fix", [None, False, True])
def test_rebuild_of_a_sound_file_changes_nothing(tmp_path, fix):
    path = tmp_path / "a.drelix"
    make_file(path)
    before = path.read_bytes()
    report = _native.rebuild_headers(path) if fix is None else _native.rebuild_headers(path, fix)
    assert type(report) is _native.RebuildReport
    assert report.differences == [] and report.fixed is False
    assert path.read_bytes() == before


def test_rebuild_fixes_wrong_records(broken):
    before = broken.read_bytes()
    reports = [(_native.validate(broken), "problems", "_records says 31, the frames hold 30"),
               (_native.rebuild_headers(broken), "differences", "_records: 31 -> 30")]
    for report, attr, text in reports:
        # Every read of a list attribute is a new list.
        first, second = getattr(report, attr), getattr(report, attr)
        assert first == second == [text] and first is not second
        first.append("mine")
        first[0] = "changed"
        assert getattr(report, attr) == [text]
    assert reports[1][0].fixed is False
    assert broken.read_bytes() == before

    report = _native.rebuild_headers(broken, fix=True)
    assert (report.differences, report.fixed) == (["_records: 31 -> 30"], True)
    assert _native.peek_headers(broken)[1]["_records"] == "30"
    assert _native.validate(broken).problems == []
    again = _native.rebuild_headers(broken, True)
    assert (again.differences, again.fixed) == ([], False)


@pytest.mark.parametrize("fix", [0, 1, None, "yes", 1.0])
def test_rebuild_fix_must_be_a_bool(broken, fix):
    before = broken.read_bytes()
    with pytest.raises(TypeError, match=r"^argument 'fix': "):
        _native.rebuild_headers(broken, fix)
    assert broken.read_bytes() == before


def test_rebuild_fix_accepts_numpy_bool(broken):
    numpy = pytest.importorskip("numpy")
    assert _native.rebuild_headers(broken, numpy.bool_(False)).fixed is False
    assert _native.rebuild_headers(broken, numpy.bool_(True)).fixed is True
    assert _native.peek_headers(broken)[1]["_records"] == "30"


# ---- repack ----------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "args, kwargs, level, header_area",
    [((), {}, 19, 4096), ((), {"level": 3}, 3, 4096), ((0,), {}, 0, 4096),
     ((), {"level": -5}, -5, 4096), ((), {"header_area": None}, 19, 4096),
     ((), {"level": 1, "header_area": None}, 1, 4096), ((3, 8192), {}, 3, 8192)],
)
def test_repack(tmp_path, args, kwargs, level, header_area):
    path = tmp_path / "a.drelix"
    bodies = make_file(path, frames=3, per_frame=40, tail=3)
    ids = [f.id for f in Container.open_read(path).frames()]
    size_before = os.path.getsize(path)
    report = _native.repack(path, *args, **kwargs)
    assert type(report) is _native.RepackReport
    assert (report.frames, report.bytes_before) == (3, size_before)
    assert report.bytes_after == os.path.getsize(path)
    assert all(type(n) is int for n in (report.frames, report.bytes_before, report.bytes_after))
    preamble, headers = _native.peek_headers(path)
    assert headers["_compression_level"] == str(level)
    assert headers["_compression"] == ("none" if level == 0 else "zstd")
    assert (preamble.flags, preamble.header_area) == (0 if level == 0 else 1, header_area)
    c = Container.open_read(path)
    frames = c.frames()
    assert [f.id for f in frames] == ids and frames[0].offset == 0
    assert all_records(c) == bodies
    if level == 0:
        # Plain frames hold exactly the raw records, checksummed.
        content = path.read_bytes()
        start = data_start(path) + frames[0].offset
        stored = content[start:start + frames[0].len]
        assert stored == b"".join(raw(b) for b in bodies[:40])
        assert frames[0].hash == _native.xxh64(stored)
    assert _native.validate(path).problems == []
    assert not os.path.exists(f"{path}.repack")


@pytest.mark.parametrize("kwargs, exc, message", [
    *[({"level": level}, TypeError, r"^argument 'level': ") for level in (None, 3.0, "3")],
    *[({"level": level}, OverflowError, None) for level in (2**31, -(2**31) - 1)],
    *[({"header_area": area}, OverflowError, None) for area in (-1, 2**32)],
    ({"header_area": 1.5}, TypeError, r"^argument 'header_area': "),
    ({"header_area": 0}, _native.DrelixUsageError,
     r"^header zone of 0 bytes is outside 1..=16777216$"),
    ({"header_area": 16777217}, _native.DrelixUsageError,
     r"^header zone of 16777217 bytes is outside 1..=16777216$"),
    ({"header_area": 64}, _native.DrelixZoneFullError,
     r"^headers need \d+ bytes, the zone holds 64$"),
])
def test_repack_refusals_leave_the_file(tmp_path, kwargs, exc, message):
    path = tmp_path / "a.drelix"
    make_file(path, frames=1, tail=1)
    before = path.read_bytes()
    with pytest.raises(exc, match=message):
        _native.repack(path, **kwargs)
    assert path.read_bytes() == before
    assert not os.path.exists(f"{path}.repack")


# ---- memory ----------------------------------------------------------------------------------
# Run in a child whose address space is capped at 1 GiB above what it uses at the start: an
# entry point that let std::bad_alloc (or any C++ exception) escape would abort it.
LIMITED_CHILD = r"""
import resource, sys
from drelix_binary import _native
size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), size + (1 << 30)))
path = sys.argv[1]

def attempt(call):
    try:
        return repr(call())
    except Exception as exc:
        return type(exc).__name__

class Liar:  # a sequence whose __len__ promises far more than it holds
    def __init__(self, item):
        self.item = item
    def __len__(self):
        return 2**62
    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return self.item

report = lambda r: (r.problems, r.records)
print(attempt(lambda: report(_native.validate(path))))
print(attempt(lambda: _native.rebuild_headers(path).differences))
print(attempt(lambda: _native.Container.open_read(path).read_frame_at(0)))
print(attempt(lambda: _native.Container.open_append(path).close_frame(7, 3)))
schema = _native.Schema("s", [], _native.RecordLayout.prefixed())
print(attempt(lambda: _native.Container.create(path + ".new", schema, "s", "w", user=Liar(("k", "v")))))
print(attempt(lambda: _native.Schema("s", Liar(_native.FieldSpec("a", "u8", 0)), schema.layout)))
"""


def rle_frame(size, value):
    """A zstd frame of RLE blocks declaring `size` bytes of `value`: 4 bytes per 128 KiB."""
    block = 1 << 17
    blocks = [
        struct.pack("<I", min(block, size - at) << 3 | 2 | (at + block >= size))[:3] + bytes([value])
        for at in range(0, size, block)
    ]
    # An 8-byte content size, no content checksum, a 1 MiB window (as a compressor of large
    # inputs writes them: the content need not fit a window to be decoded).
    return b"\x28\xb5\x2f\xfd\xc0\x50" + struct.pack("<Q", size) + b"".join(blocks)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_memory_limits_give_memory_error_or_bounded_work(tmp_path):
    """A 100 KB frame that decodes to 3 GiB and a 2 GiB sparse tail: validate and rebuild stream
    them in bounded memory; the read that must hold the frame and the close that must hold the
    tail raise MemoryError and change nothing; lying sequences never turn into allocations."""
    path = tmp_path / "a.drelix"
    frame = rle_frame(3 << 30, 0x61)
    tail = 2 << 30
    records = (3 << 30) // 16
    headers = [("_schema", "s"), ("_record", "fixed:16"), ("_schema_fields", ""),
               ("_schema_hash", "cbf29ce484222325"),
               ("_records", str(records)), ("_bytes_raw", str(3 << 30)),
               ("_frames", f"0,0,{len(frame)},{_native.xxh64(frame):016x}")]
    path.write_bytes(drelix_bytes(headers, data=frame))
    os.truncate(path, os.path.getsize(path) + tail)
    before = path.read_bytes()[:4096 + 16 + len(frame)]
    child = subprocess.run([sys.executable, "-c", LIMITED_CHILD, str(path)], check=False,
                           capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        repr(([], records + tail // 16)), "[]", "MemoryError", "MemoryError", "IndexError",
        "IndexError",
    ]
    assert os.path.getsize(path) == len(before) + tail
    with open(path, "rb") as f:
        assert f.read(len(before)) == before
    assert sorted(os.listdir(tmp_path)) == ["a.drelix"]
