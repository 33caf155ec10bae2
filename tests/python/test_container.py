"""Container and the maintenance functions against the bytes on disk, where test_model does not
reach: a killed writer, damaged headers and frames, refused repacks, and a memory limit."""

import os
import random
import signal
import struct
import subprocess
import sys
import time

import numpy
import pytest
from conftest import RL, Container, body, drelix_bytes, make_file
from drelix_binary import _native

Usage, Malformed = _native.DrelixUsageError, _native.DrelixMalformedError


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
    sys.stdout.write(f"{frame} {i}\\n")  # one write: PYTHONUNBUFFERED must not split the line
    sys.stdout.flush()
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
        assert len(frames) - durable_frames in (0, 1) and not os.path.exists(f"{path}.seal")  # fmt: skip
        assert [f.id for f in frames] == list(range(len(frames)))
        reads = [c.read_frame_at(i) for i in range(len(frames))] + [c.read_tail()]
        split = [_native.split_records(data, RL.prefixed()) for data in reads]
        records = [r for recs, _ in split for r in recs]
        assert [torn for _, torn in split] == [0] * len(reads)  # no record is torn
        assert records == [body(i) for i in range(len(records))]
        in_frames = int(c.headers()["_records"])
        assert durable_records <= in_frames == len(records) - len(split[-1][0])
        c.append_record(b"after")
        c.close_frame(len(frames), 3)
        del c
        report = _native.validate(path)
        assert (report.problems, report.frames, report.records) == ([], len(frames) + 1, len(records) + 1)  # fmt: skip


def test_rebuild_reports_a_wrong_count_and_rewrites_it_only_when_told(tmp_path):
    path = tmp_path / "a.drelix"
    make_file(path, frames=3)
    good = path.read_bytes()
    bad = good.replace(b"\n_records:30\n", b"\n_records:31\n")
    path.write_bytes(bad)
    report = _native.validate(path)
    report.problems.append("mine")  # every read of a list attribute is a new list
    assert report.problems == ["_records says 31, the frames hold 30"]
    report = _native.rebuild_headers(path, numpy.bool_(False))
    assert (report.differences, report.fixed, path.read_bytes()) == (["_records: 31 -> 30"], False, bad)  # fmt: skip
    report = _native.rebuild_headers(path, fix=numpy.bool_(True))  # a bool
    assert (report.differences, report.fixed, path.read_bytes()) == (["_records: 31 -> 30"], True, good)  # fmt: skip
    assert not _native.rebuild_headers(path, True).fixed


@pytest.mark.parametrize("area, exc, message", [
    (16777217, Usage, r"^header zone of 16777217 bytes is outside 1..=16777216$"),
    (64, _native.DrelixZoneFullError, r"^headers need \d+ bytes, the zone holds 64$"),
    (16777216, None, None)])  # fmt: skip
def test_repack_takes_any_zone_its_headers_fit_up_to_16_mib(tmp_path, area, exc, message):
    path = tmp_path / "a.drelix"
    make_file(path, frames=3)
    good = path.read_bytes()
    if exc is None:
        _native.repack(path, header_area=area)
        assert _native.peek_headers(path)[0].header_area == area
        return
    with pytest.raises(exc, match=message):
        _native.repack(path, header_area=area)
    assert path.read_bytes() == good and os.listdir(tmp_path) == ["a.drelix"]


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
