"""The maintenance functions validate, rebuild_headers and repack, and their report classes."""

import inspect
import os
import re
import struct

import pytest

from drelix_binary import _native

Container = _native.Container
RL = _native.RecordLayout


def body(i):
    return struct.pack("<Q", i) + bytes([i % 251]) * (i % 17)


def raw(data):
    return struct.pack("<H", len(data)) + data


def make_file(path, frames=2, per_frame=30, tail=4, level=3, header_area=4096):
    """A prefixed-layout file with `frames` closed frames and `tail` records after them.
    Returns the bodies in file order."""
    schema = _native.Schema("m@1", [], RL.prefixed())
    c = Container.create(path, schema, "src", "writer", header_area=header_area)
    bodies = []
    for frame in range(frames):
        for _ in range(per_frame):
            bodies.append(body(len(bodies)))
            c.append_record(bodies[-1])
        c.close_frame(frame, level)
    for _ in range(tail):
        bodies.append(body(len(bodies)))
        c.append_record(bodies[-1])
    del c  # writes the tail
    return bodies


def all_records(path):
    c = Container.open_read(path)
    layout = c.schema().layout
    records = []
    for i in range(len(c.frames())):
        split, torn = _native.split_records(c.read_frame_at(i), layout)
        assert torn == 0
        records.extend(split)
    split, torn = _native.split_records(c.read_tail(), layout)
    assert torn == 0
    return records + split


def set_zone_value(path, key, old, new):
    """Rewrites one header value in place; the zone is padded, so equal lengths keep it valid."""
    assert len(old) == len(new)
    content = path.read_bytes()
    line = f"\n{key}:{old}\n".encode()
    assert content.count(line) == 1
    path.write_bytes(content.replace(line, f"\n{key}:{new}\n".encode()))


# ---- function surface ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("validate", "(path)",
         "Reads every frame, checks the counters, the alignment and the checksums."),
        ("rebuild_headers", "(path, fix=False)",
         "Derives the system headers from the data, and writes them back when asked."),
        ("repack", "(path, level=..., header_area=None)",
         "Re-encodes every frame at another level, atomically."),
    ],
)
def test_signatures_and_docstrings(name, signature, doc):
    fn = getattr(_native, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    # "..." stands for the default level and reads back as Ellipsis.
    assert str(inspect.signature(fn)) == signature.replace("...", "Ellipsis")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _native.validate(), r"^validate\(\) missing 1 required positional argument: 'path'$"),
        (lambda: _native.validate("a", "b"), r"^validate\(\) takes 1 positional argument but 2"),
        (lambda: _native.rebuild_headers("a", fix=True, extra=1),
         r"^rebuild_headers\(\) got an unexpected keyword argument 'extra'$"),
        (lambda: _native.repack("a", 3, None, 1), r"^repack\(\) takes from 1 to 3 positional"),
        (lambda: _native.repack("a", 3, level=3), r"^repack\(\) got multiple values for argument"),
        (lambda: _native.validate(b"a"), r"^argument 'path': "),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# ---- validate --------------------------------------------------------------------------------


def test_validate_fresh_file(tmp_path):
    path = tmp_path / "a.drelix"
    Container.create(path, _native.Schema("m@1", [], RL.prefixed()), "s", "w")
    report = _native.validate(path)
    assert type(report) is _native.ValidateReport
    assert (report.problems, report.frames, report.records) == ([], 0, 0)


def test_validate_counts_frames_and_tail(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=3, per_frame=10, tail=5)
    report = _native.validate(str(path))
    assert (report.problems, report.frames, report.records) == ([], 3, 35)


def test_validate_reports_a_flipped_byte(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=2, tail=0, level=0)
    c = Container.open_read(path)
    frame = c.frames()[1]
    at = 16 + 4096 + frame.offset + 5
    content = bytearray(path.read_bytes())
    content[at] ^= 0xFF
    path.write_bytes(bytes(content))
    report = _native.validate(path)
    assert report.frames == 2
    assert report.problems == [
        f"frame 1: checksum mismatch, _frames says {frame.hash:016x}, "
        f"the bytes hash to {_native.xxh64(bytes(content[at - 5:at - 5 + frame.len])):016x}"
    ]


def test_validate_missing_path_is_exactly_oserror(tmp_path):
    path = tmp_path / "missing.drelix"
    with pytest.raises(OSError) as info:
        _native.validate(path)
    assert type(info.value) is OSError
    assert str(info.value).startswith(f"{path}: ")
    assert info.value.errno is None
    assert not path.exists()


def test_validate_malformed_file_raises(tmp_path):
    path = tmp_path / "a.drelix"
    path.write_bytes(b"NOTDRX" + bytes(10))
    with pytest.raises(_native.DrelixMalformedError, match=r"^not a drelix file: bad magic$"):
        _native.validate(path)


# ---- rebuild_headers -------------------------------------------------------------------------


@pytest.mark.parametrize("fix", [None, False, True])
def test_rebuild_of_a_sound_file_changes_nothing(tmp_path, fix):
    path = tmp_path / "a.drelix"
    make_file(path)
    before = path.read_bytes()
    report = _native.rebuild_headers(path) if fix is None else _native.rebuild_headers(path, fix)
    assert (report.differences, report.fixed) == ([], False)
    assert path.read_bytes() == before


def test_rebuild_fixes_wrong_records(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=2, per_frame=30, tail=0)
    set_zone_value(path, "_records", "60", "99")
    broken = path.read_bytes()

    report = _native.rebuild_headers(path)
    assert (report.differences, report.fixed) == (["_records: 99 -> 60"], False)
    assert path.read_bytes() == broken

    report = _native.rebuild_headers(path, fix=True)
    assert (report.differences, report.fixed) == (["_records: 99 -> 60"], True)
    assert _native.peek_headers(path)[1]["_records"] == "60"
    assert _native.validate(path).problems == []
    again = _native.rebuild_headers(path, True)
    assert (again.differences, again.fixed) == ([], False)


@pytest.mark.parametrize("fix", [0, 1, None, "yes", 1.0])
def test_rebuild_fix_must_be_a_bool(tmp_path, fix):
    path = tmp_path / "a.drelix"
    make_file(path, frames=1, tail=0)
    set_zone_value(path, "_records", "30", "31")
    broken = path.read_bytes()
    with pytest.raises(TypeError, match=r"^argument 'fix': "):
        _native.rebuild_headers(path, fix)
    assert path.read_bytes() == broken


def test_rebuild_fix_accepts_numpy_bool(tmp_path):
    numpy = pytest.importorskip("numpy")
    path = tmp_path / "a.drelix"
    make_file(path, frames=1, tail=0)
    set_zone_value(path, "_records", "30", "31")
    assert _native.rebuild_headers(path, numpy.bool_(False)).fixed is False
    assert _native.rebuild_headers(path, numpy.bool_(True)).fixed is True
    assert _native.peek_headers(path)[1]["_records"] == "30"


# ---- repack ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, level",
    [({}, 19), ({"level": 3}, 3), ({"level": 0}, 0), ({"level": -5}, -5),
     ({"header_area": None}, 19), ({"level": 1, "header_area": None}, 1)],
)
def test_repack_levels(tmp_path, kwargs, level):
    path = tmp_path / "a.drelix"
    bodies = make_file(path, frames=3, per_frame=40, tail=3)
    size_before = os.path.getsize(path)
    report = _native.repack(path, **kwargs)
    assert type(report) is _native.RepackReport
    assert report.frames == 3
    assert report.bytes_before == size_before
    assert report.bytes_after == os.path.getsize(path)
    preamble, headers = _native.peek_headers(path)
    assert headers["_compression_level"] == str(level)
    assert headers["_compression"] == ("none" if level == 0 else "zstd")
    assert preamble.flags == (0 if level == 0 else 1)
    assert preamble.header_area == 4096
    assert all_records(path) == bodies
    assert _native.validate(path).problems == []
    assert not os.path.exists(f"{path}.repack")


def test_repack_level_zero_stores_plain_records(tmp_path):
    path = tmp_path / "a.drelix"
    bodies = make_file(path, frames=1, per_frame=20, tail=0)
    _native.repack(path, 0)
    content = path.read_bytes()
    (frame,) = Container.open_read(path).frames()
    stored = content[16 + 4096 + frame.offset:16 + 4096 + frame.offset + frame.len]
    assert stored == b"".join(raw(b) for b in bodies)
    assert frame.hash == _native.xxh64(stored)


def test_repack_with_new_header_area(tmp_path):
    path = tmp_path / "a.drelix"
    bodies = make_file(path, frames=2, tail=2)
    ids = [f.id for f in Container.open_read(path).frames()]
    report = _native.repack(path, 3, 8192)
    assert _native.peek_headers(path)[0].header_area == 8192
    frames = Container.open_read(path).frames()
    assert [f.id for f in frames] == ids and frames[0].offset == 0
    assert report.bytes_after == os.path.getsize(path)
    assert all_records(path) == bodies


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"level": None}, TypeError, r"^argument 'level': "),
        ({"level": 3.0}, TypeError, r"^argument 'level': "),
        ({"level": "3"}, TypeError, r"^argument 'level': "),
        ({"level": 2**31}, OverflowError, None),
        ({"level": -(2**31) - 1}, OverflowError, None),
        ({"header_area": -1}, OverflowError, None),
        ({"header_area": 2**32}, OverflowError, None),
        ({"header_area": 1.5}, TypeError, r"^argument 'header_area': "),
        ({"header_area": 0}, _native.DrelixUsageError,
         r"^header zone of 0 bytes is outside 1..=16777216$"),
        ({"header_area": 16777217}, _native.DrelixUsageError,
         r"^header zone of 16777217 bytes is outside 1..=16777216$"),
        ({"header_area": 64}, _native.DrelixZoneFullError, r"^headers need \d+ bytes, the zone holds 64$"),
    ],
)
def test_repack_refusals_leave_the_file(tmp_path, kwargs, exc, message):
    path = tmp_path / "a.drelix"
    make_file(path, frames=1, tail=1)
    before = path.read_bytes()
    with pytest.raises(exc, match=message):
        _native.repack(path, **kwargs)
    assert path.read_bytes() == before
    assert not os.path.exists(f"{path}.repack")


def test_repack_missing_path(tmp_path):
    path = tmp_path / "missing.drelix"
    with pytest.raises(OSError) as info:
        _native.repack(path)
    assert type(info.value) is OSError and str(info.value).startswith(f"{path}: ")


# ---- report classes --------------------------------------------------------------------------

REPORTS = [
    ("ValidateReport", "What `validate` found.", [
        ("problems", "Everything wrong, empty when the file is sound."),
        ("frames", "Closed frames checked."),
        ("records", "Records seen in frames and the tail."),
    ]),
    ("RebuildReport", "What `rebuild_headers` found and did.", [
        ("differences", "Header values that disagreed with the data."),
        ("fixed", "Whether the zone was rewritten."),
    ]),
    ("RepackReport", "What `repack` measured.", [
        ("bytes_before", "File size before, bytes."),
        ("bytes_after", "File size after, bytes."),
        ("frames", "Frames re-encoded."),
    ]),
]


def make_report(name, path):
    if name == "ValidateReport":
        return _native.validate(path)
    if name == "RebuildReport":
        return _native.rebuild_headers(path)
    return _native.repack(path, 3)


@pytest.mark.parametrize("name, doc, attrs", REPORTS, ids=[r[0] for r in REPORTS])
def test_report_class_rules(tmp_path, name, doc, attrs):
    cls = getattr(_native, name)
    assert cls.__doc__ == doc
    assert cls.__module__ == "drelix_binary._native"
    assert [a for a in cls.__dict__ if a in dict(attrs)] == [a for a, _ in attrs]
    for attr, attr_doc in attrs:
        assert cls.__dict__[attr].__doc__ == attr_doc
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'drelix_binary._native.{name}' instances"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    path = tmp_path / "a.drelix"
    make_file(path, frames=1, tail=1)
    first = make_report(name, path)
    second = make_report(name, path)
    assert type(first) is cls
    for attr, _ in attrs:
        with pytest.raises(AttributeError):
            setattr(first, attr, getattr(first, attr))
    with pytest.raises(AttributeError):
        first.other = 1
    assert not hasattr(first, "__dict__")
    # Identity semantics: equal contents, still distinct; hashable; the default repr.
    assert first == first and first != second
    assert hash(first) == hash(first) and len({first, second}) == 2
    assert re.fullmatch(rf"<drelix_binary\._native\.{name} object at 0x[0-9a-f]+>", repr(first))


def test_report_values_and_types(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=2, per_frame=5, tail=1)
    v = _native.validate(path)
    assert (v.problems, v.frames, v.records) == ([], 2, 11)
    r = _native.rebuild_headers(path)
    assert r.differences == [] and r.fixed is False
    size = os.path.getsize(path)
    p = _native.repack(path)
    assert (p.bytes_before, p.bytes_after, p.frames) == (size, os.path.getsize(path), 2)
    assert all(type(x) is int for x in (v.frames, v.records, p.bytes_before, p.bytes_after))


@pytest.mark.parametrize("attr", ["problems", "differences"])
def test_report_lists_are_fresh(tmp_path, attr):
    path = tmp_path / "a.drelix"
    make_file(path, frames=1, per_frame=3, tail=0)
    set_zone_value(path, "_records", "3", "4")
    report = _native.validate(path) if attr == "problems" else _native.rebuild_headers(path)
    first = getattr(report, attr)
    second = getattr(report, attr)
    assert first == second and len(first) == 1 and first is not second
    first.append("mine")
    first[0] = "changed"
    assert getattr(report, attr) == second
    assert getattr(report, attr)[0] in ("_records says 4, the frames hold 3", "_records: 4 -> 3")
