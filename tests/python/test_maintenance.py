"""The maintenance functions validate, rebuild_headers and repack, and their report classes."""

import os

import pytest

from conftest import Container, all_records, data_start, make_file, raw
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


def test_validate_reports_a_flipped_byte(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=2, tail=0, level=0)
    frame = Container.open_read(path).frames()[1]
    start = data_start(path) + frame.offset
    content = bytearray(path.read_bytes())
    content[start + 5] ^= 0xFF
    path.write_bytes(bytes(content))
    report = _native.validate(path)
    assert report.frames == 2
    assert report.problems == [
        f"frame 1: checksum mismatch, _frames says {frame.hash:016x}, "
        f"the bytes hash to {_native.xxh64(bytes(content[start:start + frame.len])):016x}"
    ]


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
