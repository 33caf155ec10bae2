"""drelix_binary._engine against _native: what one writes the other reads, checksums, and the
interpreter lock released while the engine works."""

import os
import signal
import sys
import threading
import time

import numpy as np
import pytest
from conftest import FIXED_SIZE, Index, all_records, body, raw
from drelix_binary import _engine, _native

DTYPE = np.dtype([("n", "<u8"), ("pad", "V8")])


def schema(fixed):
    layout = _native.RecordLayout.fixed(FIXED_SIZE) if fixed else _native.RecordLayout.prefixed()  # fmt: skip
    return _native.Schema("eng@1", [_native.FieldSpec("n", "u64", 0)], layout)


def address(arr):
    return arr.__array_interface__["data"][0]


def test_writer_and_reader_against_native(tmp_path):
    """The public API runs on _engine (test_api); here what only the low level shows."""
    path = tmp_path / "f.drelix"
    w = _engine.Writer.create(path, schema(False), user={"site": "x"}, header_area=8192)
    want = [body(i) for i in range(400)]
    w.append(want[0])
    frames = w.write_bodies([bytearray(b) for b in want[1:200]] + want[200:300], frame_bytes=900)  # fmt: skip
    assert [f[0] for f in frames] == list(range(len(frames)))
    with pytest.raises(RuntimeError, match="writer is busy"):  # __index__ runs inside
        w.close_frame(Index(0, hook=lambda: w.append(want[0])))
    for b in want[300:]:
        w.append(b)
    assert (w.records, w.tail_records, w.close_frame(), w.close_frame()) == (400, 100, w.frames[-1], None)  # fmt: skip
    w.close()
    w.close()
    with pytest.raises(_native.DrelixUsageError, match="writer is closed"):
        w.append(want[0])
    c = _native.Container.open_read(str(path))
    assert all_records(c) == want and _native.Container.open_read(str(path)).headers()["site"] == "x"  # fmt: skip
    r = _engine.Reader(path)
    assert r.frames == [(f.id, f.offset, f.len, f.hash) for f in c.frames()]
    assert r.content_sizes() == [len(c.read_frame_at(i)) for i in range(len(r.frames))]
    out = np.empty(sum(r.content_sizes()), dtype=np.uint8)
    assert r.read_into(range(len(r.frames)), address(out), out.nbytes) == out.nbytes
    assert out.tobytes() == b"".join(raw(b) for b in want)
    with pytest.raises(_native.DrelixUsageError, match="the output is 1 bytes"):
        r.read_into([0], address(out), 1)
    data = bytearray(path.read_bytes())  # one flipped byte: every checked read says so
    data[r.data_start + r.frames[1][1] + r.frames[1][2] // 2] ^= 0x01
    path.write_bytes(bytes(data))
    message = _native.validate(str(path)).problems[0]
    assert message.startswith(f"frame {r.frames[1][0]}: checksum mismatch")
    r = _engine.Reader(path)
    for read in (lambda: r.read_frame(1), lambda: r.count_records(1),
                 lambda: r.read_into(range(len(r.frames)), address(out), out.nbytes, threads=3)):  # fmt: skip
        with pytest.raises(_native.DrelixMalformedError) as caught:
            read()
        assert str(caught.value) == message and type(caught.value) is _native.DrelixMalformedError  # fmt: skip


def test_work_runs_without_the_interpreter_lock(tmp_path):
    """With forced switching off, another thread runs only when this one gives up the lock;
    a counter that advances across one engine call shows the call gave it up."""
    arr = np.zeros(1_000_000, dtype=DTYPE)
    arr["n"] = np.arange(len(arr))
    w = _engine.Writer.create(tmp_path / "big.drelix", schema(True), level=9)
    r_out, count, stop = np.empty_like(arr), [0], threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)  # hands the lock back at once

    def advances(call):
        before = count[0]
        call()
        return count[0] > before

    interval = sys.getswitchinterval()
    t = threading.Thread(target=counter)
    sys.setswitchinterval(1000.0)
    t.start()
    try:
        wrote = advances(lambda: w.write_fixed_at(address(arr), arr.nbytes, frame_records=250_000, threads=1))  # fmt: skip
        w.close()
        r = _engine.Reader(tmp_path / "big.drelix")
        read = advances(lambda: r.read_into(range(4), address(r_out), r_out.nbytes, threads=1))  # fmt: skip
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(interval)
    assert wrote and read and np.array_equal(r_out, arr)


class Stop(Exception):
    pass


def stop(done, total):
    raise Stop


def test_maintenance_progress_and_interruptions_leave_the_file(tmp_path):
    path = tmp_path / "f.drelix"
    arr = np.zeros(
        200 * 4096, dtype=DTYPE
    )  # barely compressible: level 19 takes seconds
    arr["n"] = np.random.default_rng(5).integers(0, 1 << 40, len(arr))
    w = _engine.Writer.create(path, schema(True), level=1)
    w.write_fixed_at(address(arr), arr.nbytes, frame_records=4096)
    w.close()
    calls, original = [], path.read_bytes()
    assert _engine.validate(path, progress=lambda *a: calls.append(a)) == (
        [],
        200,
        len(arr),
    )
    assert calls[-1] == (200, 200) and calls == sorted(calls)
    sigint = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    for arm, progress, exc in [(lambda: None, stop, Stop), (sigint.start, None, KeyboardInterrupt)]:  # fmt: skip
        arm()
        with pytest.raises(exc):
            _engine.repack(path, 19, progress=progress)
        assert path.read_bytes() == original and os.listdir(tmp_path) == ["f.drelix"]
    before, after, count = _engine.repack(path, 3, 65536)
    assert count == 200 and before > after == path.stat().st_size
