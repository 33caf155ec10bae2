"""Container and the maintenance functions against the bytes on disk: creating, reclamation
on any thread, a killed writer, validate, rebuild_headers and repack. test_model drives the
writes, refusals, threads and borrows against a model."""

import concurrent.futures
import gc
import os
import random
import signal
import struct
import subprocess
import sys
import time

import pytest
from conftest import (
    RL,
    Container,
    all_records,
    body,
    create,
    data_start,
    drelix_bytes,
    make_file,
    make_schema,
    raw,
)
from drelix_binary import _native

Usage, Malformed = _native.DrelixUsageError, _native.DrelixMalformedError


def test_create(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path, user=[("app", "1")])
    headers = c.headers()
    assert ",".join(headers) == (
        "_schema,_schema_fields,_schema_hash,_record,_source,_created_at,_writer,_compression,"
        "_compression_level,_records,_bytes_raw,_frames,_preview,_sealed,app")  # fmt: skip
    assert [headers[k] for k in ("_created_at", "_source", "_writer", "_sealed")] == [
        "1970-01-01T00:00:00Z", "src", "writer", "false"]  # fmt: skip
    assert headers["_schema_hash"] == make_schema().hash_hex()
    preamble, on_disk = _native.peek_headers(path)
    assert os.path.getsize(path) == 16 + 4096 and on_disk == headers
    assert (preamble.version, preamble.flags, preamble.header_area) == (1, 1, 4096)
    headers["app"] = "changed"  # every getter builds new objects
    assert c.headers() == on_disk and c.frames() is not c.frames()
    with pytest.raises(OSError) as info:  # an existing path is left alone
        create(path)
    assert type(info.value) is OSError and str(info.value).startswith(f"{path}: ")
    assert os.path.getsize(path) == 16 + 4096
    for user, exc, message in [
        ({"a": "b"}, TypeError, r"^argument 'user': "), ([("a", 1)], TypeError, r"^argument 'user': "),
        ([("ok", "1"), ()], ValueError, r"^expected tuple of length 2, but got tuple of length 0$"),
        ([("_sys", "1")], Usage, r"^user header key \"_sys\" may not start with '_'$"),
    ]:  # fmt: skip
        with pytest.raises(exc, match=message):
            create(tmp_path / "c.drelix", user=user)
        assert not (tmp_path / "c.drelix").exists()


def test_drop_writes_the_buffer_not_the_zone(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    path = tmp_path / "a.drelix"
    box = [create(path)]
    box[0].append_record(b"a")
    box[0].close_frame(1, 3)
    zone = path.read_bytes()[: data_start(path)]
    box[0].append_record(b"bb")
    gc.collect()
    gc.disable()  # the container goes by reference count, on the foreign thread
    try:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            assert pool.submit(box.clear).exception() is None
    finally:
        gc.enable()
    assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == [(RuntimeError,
        "drelix_binary._native.Container is unsendable, but is being dropped on another thread")]  # fmt: skip
    c = Container.open_append(path)
    c.append_record(b"ccc")
    del c
    gc.collect()
    assert len(seen) == 1
    content = path.read_bytes()
    assert content[: data_start(path)] == zone
    assert content.endswith(raw(b"bb") + raw(b"ccc"))
    with open(path, "ab") as f:  # a torn record: its prefix announces more than follows
        f.write(b"torn")
    size = os.path.getsize(path)
    assert Container.open_read(path).read_tail() == raw(b"bb") + raw(b"ccc")
    assert os.path.getsize(path) == size  # only open_append cuts it
    reopened = Container.open_append(path)
    assert os.path.getsize(path) == size - 4 and reopened.records() == 3


CHILD = """
import sys
sys.path.insert(0, sys.argv[2])
from conftest import body, create
c, i, frame = create(sys.argv[1], header_area=65536), 0, 0
print("ready", flush=True)
while True:
    for _ in range(20 + 13 * (frame % 5)):
        c.append_record(body(i))
        i += 1
    c.close_frame(frame, 3)
    frame += 1
    print(frame, i, flush=True)
"""


def test_killed_writer_recovers(tmp_path):
    rng = random.Random(20240611)
    for round_ in range(5):
        path = tmp_path / f"crash{round_}.drelix"
        args = [sys.executable, "-c", CHILD, str(path), os.path.dirname(__file__)]
        with subprocess.Popen(args, text=True, stdout=subprocess.PIPE) as child:
            try:
                assert child.stdout.readline().strip() == "ready"
                time.sleep(rng.uniform(0.01, 0.35))
            finally:
                child.send_signal(signal.SIGKILL)
                out = child.stdout.read()  # the stream readline buffered into
        assert child.returncode == -signal.SIGKILL
        progress = [tuple(map(int, line.split())) for line in out.splitlines()]
        durable_frames, durable_records = progress[-1] if progress else (0, 0)
        c = Container.open_append(path)
        frames = c.frames()
        # Every close that returned is on disk; at most the one in flight may be as well.
        assert len(frames) - durable_frames in (0, 1) and not os.path.exists(
            f"{path}.seal"
        )
        assert [f.id for f in frames] == list(range(len(frames)))
        records = all_records(c)  # no frame and no tail record is torn
        assert records == [body(i) for i in range(len(records))]
        in_frames = int(c.headers()["_records"])
        assert in_frames >= durable_records
        assert in_frames == sum(len(_native.split_records(c.read_frame_at(i), RL.prefixed())[0]) for i in range(len(frames)))  # fmt: skip
        c.append_record(b"after")
        c.close_frame(len(frames), 3)
        del c
        report = _native.validate(path)
        assert (report.problems, report.frames, report.records) == ([], len(frames) + 1, len(records) + 1)  # fmt: skip


def test_validate_rebuild_and_damage(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=3, per_frame=10, tail=5)
    before = path.read_bytes()
    report = _native.validate(str(path))
    assert (report.problems, report.frames, report.records) == ([], 3, 35)
    report = _native.rebuild_headers(path, False)
    assert (report.differences, report.fixed, path.read_bytes()) == ([], False, before)
    before = before.replace(b"\n_records:30\n", b"\n_records:31\n")
    path.write_bytes(before)
    report = _native.validate(path)
    assert report.problems == ["_records says 31, the frames hold 30"]
    report.problems.append("mine")  # every read of a list attribute is a new list
    assert report.problems == ["_records says 31, the frames hold 30"]
    numpy = pytest.importorskip("numpy")
    report = _native.rebuild_headers(path, numpy.bool_(False))
    assert (report.differences, report.fixed, path.read_bytes()) == (["_records: 31 -> 30"], False, before)  # fmt: skip
    # numpy's bool is a bool; no other numpy number is
    with pytest.raises(TypeError, match="True or False"):
        _native.rebuild_headers(path, numpy.int64(1))
    report = _native.rebuild_headers(path, fix=numpy.bool_(True))
    assert (report.differences, report.fixed) == (["_records: 31 -> 30"], True)
    assert _native.validate(path).problems == [] and not _native.rebuild_headers(path, True).fixed  # fmt: skip
    # A flipped byte the decoder never sees: the checksum catches it in validate and in reads.
    frame = Container.open_read(path).frames()[1]
    start = data_start(path) + frame.offset
    content = bytearray(path.read_bytes())
    content[start] ^= 0x10
    path.write_bytes(bytes(content))
    stored = _native.xxh64(bytes(content[start : start + frame.len]))
    line = f"frame 1: checksum mismatch, _frames says {frame.hash:016x}, the bytes hash to {stored:016x}"  # fmt: skip
    assert _native.validate(path).problems[0] == line
    c = Container.open_read(path)
    for read in (lambda: c.read_frame(1), lambda: c.read_frame_at(1)):
        with pytest.raises(Malformed) as raised:
            read()
        assert str(raised.value) == line


def test_repack(tmp_path):
    path = tmp_path / "a.drelix"
    bodies = make_file(path, frames=3, per_frame=40, tail=3)
    ids, before = [f.id for f in Container.open_read(path).frames()], path.read_bytes()
    for kwargs, exc, message in [
        ({"level": None}, TypeError, r"^argument 'level': "), ({"header_area": -1}, OverflowError, None),
        ({"header_area": 0}, Usage, r"^header zone of 0 bytes is outside 1..=16777216$"),
        ({"header_area": 16777217}, Usage, r"^header zone of 16777217 bytes is outside 1..=16777216$"),
        ({"header_area": 64}, _native.DrelixZoneFullError, r"^headers need \d+ bytes, the zone holds 64$"),
    ]:  # fmt: skip
        with pytest.raises(exc, match=message):
            _native.repack(path, **kwargs)
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["a.drelix"]
    for args, kwargs, level, area in [((3, 8192), {}, 3, 8192), ((0,), {"header_area": None}, 0, 8192),
                                      ((), {}, 19, 8192), ((), {"level": -5}, -5, 8192)]:  # fmt: skip
        size_before = os.path.getsize(path)
        report = _native.repack(path, *args, **kwargs)
        assert (report.frames, report.bytes_before) == (3, size_before)
        assert report.bytes_after == os.path.getsize(path)
        preamble, headers = _native.peek_headers(path)
        assert (headers["_compression_level"], headers["_compression"]) == (str(level), "none" if level == 0 else "zstd")  # fmt: skip
        assert (preamble.flags, preamble.header_area) == (int(level != 0), area)
        c = Container.open_read(path)
        frames = c.frames()
        assert [f.id for f in frames] == ids and all_records(c) == bodies
        if level == 0:  # plain frames hold exactly the raw records, checksummed
            stored = path.read_bytes()[data_start(path) :][: frames[0].len]
            assert stored == b"".join(raw(b) for b in bodies[:40])
            assert frames[0].hash == _native.xxh64(stored)
        assert _native.validate(path).problems == [] and os.listdir(tmp_path) == [
            "a.drelix"
        ]


# A child whose address space is capped 1 GiB above its start: an entry point that let
# std::bad_alloc (or any C++ exception) escape would abort it.
LIMITED_CHILD = r"""
import resource, sys
from drelix_binary import _native
size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), size + (1 << 30)))
path = sys.argv[1]
class Liar(list):  # a sequence whose __len__ promises far more than it holds
    def __len__(self):
        return 2**62
for call in (lambda: (lambda r: (r.problems, r.records))(_native.validate(path)),
             lambda: _native.rebuild_headers(path).differences,
             lambda: _native.Container.open_read(path).read_frame_at(0),
             lambda: _native.Container.open_append(path).close_frame(7, 3),
             lambda: _native.Schema("s", Liar([_native.FieldSpec("a", "u8", 0)]), None)):
    try:
        print(repr(call()))
    except Exception as exc:
        print(type(exc).__name__)
"""


def test_memory_limits_give_memory_error_or_bounded_work(tmp_path):
    """A 100 KB frame that decodes to 3 GiB and a 2 GiB sparse tail: validate and rebuild
    stream them; the read and the close that must hold them raise MemoryError and change
    nothing; a lying sequence never turns into an allocation."""
    size, block, tail = 3 << 30, 1 << 17, 2 << 30
    blocks = [struct.pack("<I", min(block, size - at) << 3 | 2 | (at + block >= size))[:3] + b"a"
              for at in range(0, size, block)]  # RLE blocks  # fmt: skip
    # An 8-byte content size and a 1 MiB window, as a compressor of large inputs writes them.
    frame = b"\x28\xb5\x2f\xfd\xc0\x50" + struct.pack("<Q", size) + b"".join(blocks)
    path = tmp_path / "a.drelix"
    headers = [("_schema", "s"), ("_record", "fixed:16"), ("_schema_fields", ""),
               ("_schema_hash", "cbf29ce484222325"), ("_records", str(size // 16)),
               ("_bytes_raw", str(size)), ("_frames", f"0,0,{len(frame)},{_native.xxh64(frame):016x}")]  # fmt: skip
    path.write_bytes(drelix_bytes(headers, data=frame))
    os.truncate(path, os.path.getsize(path) + tail)
    before = path.read_bytes()[: 4096 + 16 + len(frame)]
    child = subprocess.run([sys.executable, "-c", LIMITED_CHILD, str(path)], check=False, capture_output=True, text=True)  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [repr(([], (size + tail) // 16)), "[]", "MemoryError", "MemoryError", "IndexError"]  # fmt: skip
    assert os.path.getsize(path) == len(before) + tail
    with open(path, "rb") as f:
        assert f.read(len(before)) == before
    assert os.listdir(tmp_path) == ["a.drelix"]
