"""drelix_binary._engine against _native: what one writes the other reads, checksums, errors, and
the interpreter lock released while the engine works."""

import errno
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest
from conftest import FIXED_SIZE, Index, body, raw
from drelix_binary import _engine, _native

DTYPE = np.dtype([("n", "<u8"), ("pad", "V8")])


def schema(fixed):
    layout = (
        _native.RecordLayout.fixed(FIXED_SIZE)
        if fixed
        else _native.RecordLayout.prefixed()
    )
    return _native.Schema("eng@1", [_native.FieldSpec("n", "u64", 0)], layout)


def address(arr):
    return arr.__array_interface__["data"][0]


def native_records(path, fixed):
    """Every record through _native: frames in order, then the tail."""
    c = _native.Container.open_read(str(path))
    layout = c.schema().layout
    out = []
    for i in range(len(c.frames())):
        out += _native.split_records(c.read_frame_at(i), layout)[0]
    out += _native.split_records(c.read_tail(), layout)[0]
    return out


def write_mixed(path, fixed, level, seal):
    """Single appends, a bulk write, a close, more appends: the records in order."""
    w = _engine.Writer.create(path, schema(fixed), user={"site": "x"}, header_area=8192)
    w.level = level
    want = [body(i, fixed) for i in range(500)]
    w.append(want[0])
    w.append(bytearray(want[1]))
    if fixed:
        arr = np.frombuffer(b"".join(want[2:400]), dtype=DTYPE)
        frames = w.write_fixed_at(
            address(arr), arr.nbytes, frame_records=150, threads=2
        )
    else:
        frames = w.write_bodies(
            [bytearray(b) for b in want[2:200]] + want[200:400], frame_bytes=900
        )
    assert frames[0][0] == 0 and [f[0] for f in frames] == list(range(len(frames)))
    for b in want[400:450]:
        w.append(b)
    assert w.close_frame() == w.frames[-1]
    assert w.close_frame() is None
    for b in want[450:]:
        w.append(b)
    assert w.records == len(want) and w.tail_records == 50
    if seal:
        w.seal()
    w.sync()
    w.close()
    return want


@pytest.mark.parametrize("fixed", [True, False], ids=["fixed", "prefixed"])
@pytest.mark.parametrize("level", [0, 3])
@pytest.mark.parametrize("seal", [False, True], ids=["open", "sealed"])
def test_round_trip_against_native(tmp_path, fixed, level, seal):
    path = tmp_path / "f.drelix"
    want = write_mixed(path, fixed, level, seal)
    assert native_records(path, fixed) == want
    assert _native.validate(str(path)).problems == []

    r = _engine.Reader(path)
    c = _native.Container.open_read(str(path))
    assert (
        r.headers == c.headers() and r.schema == c.schema() and r.headers["site"] == "x"
    )
    assert r.frames == [(f.id, f.offset, f.len, f.hash) for f in c.frames()]
    assert r.headers["_sealed"] == ("true" if seal else "false")
    contents = [c.read_frame_at(i) for i in range(len(r.frames))]
    assert [r.read_frame(i) for i in range(len(r.frames))] == contents
    assert r.content_sizes() == [len(x) for x in contents]
    records, whole, torn = r.tail_info()
    assert r.read_tail() == c.read_tail() and (whole, torn) == (len(c.read_tail()), 0)
    assert sum(map(r.count_records, range(len(r.frames)))) + records == len(want)

    # Every frame and the tail, in parallel, straight into one buffer.
    out = np.empty(sum(r.content_sizes()) + whole, dtype=np.uint8)
    assert (
        r.read_into(range(len(r.frames)), address(out), out.nbytes, tail=True)
        == out.nbytes
    )
    assert out.tobytes() == b"".join(raw(b, fixed) for b in want)
    with pytest.raises(_native.DrelixUsageError, match="the output is 1 bytes"):
        r.read_into([0], address(out), 1)


def test_reopened_writer_continues_ids_and_flushes_on_close(tmp_path):
    path = tmp_path / "f.drelix"
    write_mixed(path, True, 3, False)
    w = _engine.Writer.open(path)
    last = max(f[0] for f in w.frames)
    assert w.next_frame_id == last + 1 and w.tail_records == 50
    w.append(body(9, True))
    assert w.close_frame()[0] == last + 1
    w.append(body(10, True))
    w.close()
    w.close()
    assert native_records(path, True)[-2:] == [body(9, True), body(10, True)]
    with pytest.raises(_native.DrelixUsageError, match="writer is closed"):
        w.append(body(1, True))


def test_damaged_frame_fails_every_checked_read(tmp_path):
    path = tmp_path / "f.drelix"
    write_mixed(path, True, 3, False)
    r = _engine.Reader(path)
    frame_id, offset, length, listed = r.frames[1]
    data = bytearray(path.read_bytes())
    data[r.data_start + offset + length // 2] ^= 0x01
    path.write_bytes(bytes(data))
    actual = _native.xxh64(
        bytes(data[r.data_start + offset : r.data_start + offset + length])
    )
    message = (
        f"frame {frame_id}: checksum mismatch, _frames says {listed:016x}, "
        f"the bytes hash to {actual:016x}"
    )
    r = _engine.Reader(path)
    out = np.empty(sum(r.content_sizes()), dtype=np.uint8)
    for read in (
        lambda: r.read_frame(1),
        lambda: r.count_records(1),
        lambda: r.read_into(range(len(r.frames)), address(out), out.nbytes, threads=3),
    ):
        with pytest.raises(_native.DrelixMalformedError) as caught:
            read()
        assert (
            str(caught.value) == message
            and type(caught.value) is _native.DrelixMalformedError
        )


@pytest.mark.parametrize(
    "call, exc, code",
    [
        (lambda d: _engine.Reader(d / "missing"), FileNotFoundError, errno.ENOENT),
        (lambda d: _engine.Writer.open(d / "missing"), FileNotFoundError, errno.ENOENT),
        (
            lambda d: _engine.Writer.create(d / "f", schema(True)),
            FileExistsError,
            errno.EEXIST,
        ),
        (lambda d: _engine.Reader(d / "f" / "x"), NotADirectoryError, errno.ENOTDIR),
    ],
)
def test_os_errors_are_real_subclasses(tmp_path, call, exc, code):
    _engine.Writer.create(tmp_path / "f", schema(True)).close()
    with pytest.raises(exc) as caught:
        call(tmp_path)
    assert caught.value.errno == code and caught.value.strerror == os.strerror(code)
    assert caught.value.filename.startswith(str(tmp_path))


def test_writer_refuses_reentry_and_moves_between_threads(tmp_path):
    w = _engine.Writer.create(tmp_path / "f", schema(True))
    # An argument's __index__ runs while close_frame holds the writer.
    with pytest.raises(RuntimeError, match="writer is busy"):
        w.close_frame(Index(0, hook=lambda: w.append(body(0, True))))
    errors = []

    def use():
        try:
            w.append(body(1, True))
            w.close_frame()
        except (RuntimeError, _native.DrelixError) as e:  # reported by the assert below
            errors.append(e)

    t = threading.Thread(target=use)
    t.start()
    t.join()
    assert errors == [] and w.records == 1
    w.close()


def test_work_runs_without_the_interpreter_lock(tmp_path):
    """With forced switching turned off, another Python thread runs only when this one gives up
    the interpreter lock; a counter that advances across one engine call shows the call gave
    it up."""
    arr = np.zeros(1_000_000, dtype=DTYPE)
    arr["n"] = np.arange(len(arr))
    path = tmp_path / "big.drelix"
    w = _engine.Writer.create(path, schema(True), level=9)
    r_out = np.empty_like(arr)
    count = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(
                0
            )  # hands the lock back at once, so the main thread never waits long

    interval = sys.getswitchinterval()
    t = threading.Thread(target=counter)
    sys.setswitchinterval(1000.0)
    t.start()
    try:
        before = count[0]
        w.write_fixed_at(address(arr), arr.nbytes, frame_records=250_000, threads=1)
        wrote = count[0] - before
        w.close()
        r = _engine.Reader(path)
        before = count[0]
        r.read_into(range(len(r.frames)), address(r_out), r_out.nbytes, threads=1)
        read = count[0] - before
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(interval)
    assert wrote > 0 and read > 0
    assert np.array_equal(r_out, arr)


def many_frames(path, frames=200):
    """A file of `frames` frames of 64 KiB of barely compressible records, closed at level 1:
    repacking it at level 19 takes seconds, far longer than one progress interval."""
    rng = np.random.default_rng(5)
    arr = np.zeros(frames * 4096, dtype=DTYPE)
    arr["n"] = rng.integers(0, 1 << 40, len(arr))
    w = _engine.Writer.create(path, schema(True), level=1)
    w.write_fixed_at(address(arr), arr.nbytes, frame_records=4096)
    w.close()


def test_maintenance_reports_progress_like_native(tmp_path):
    path = tmp_path / "f.drelix"
    many_frames(path, 30)
    calls = []
    problems, frames, records = _engine.validate(
        path, progress=lambda *a: calls.append(a)
    )
    native = _native.validate(str(path))
    assert (problems, frames, records) == (
        native.problems,
        native.frames,
        native.records,
    )
    assert calls[-1] == (30, 30) and calls == sorted(calls)
    assert all(total == 30 for _, total in calls)
    differences, fixed = _engine.rebuild_headers(path, True, progress=lambda d, t: None)
    assert (differences, fixed) == ([], False)
    before, after, count = _engine.repack(path, 3, 65536)
    assert count == 30 and before > after == path.stat().st_size
    assert _native.validate(str(path)).problems == []


class Stop(Exception):
    pass


def stop_at_first_report(done, total):
    raise Stop


def interrupt_soon():
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()


@pytest.mark.parametrize(
    "arm, progress, exc",
    [
        (lambda: None, stop_at_first_report, Stop),
        (interrupt_soon, None, KeyboardInterrupt),
    ],
    ids=["callback", "sigint"],
)
def test_interrupted_repack_leaves_the_file_as_it_was(tmp_path, arm, progress, exc):
    path = tmp_path / "f.drelix"
    many_frames(path)
    original = path.read_bytes()
    arm()
    with pytest.raises(exc):
        _engine.repack(path, 19, progress=progress)
    assert path.read_bytes() == original
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.drelix"]
