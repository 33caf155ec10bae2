"""drelix_binary._engine against _native: what one writes the other reads, checksums, and the
interpreter lock released while the engine works."""

import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import drelix_binary as dx
import numpy as np
import pytest
from conftest import RL, Index, body, write_file
from drelix_binary import _engine, _native

DTYPE = np.dtype([("n", "<u8"), ("pad", "V8")])


def schema(layout):
    return _native.Schema("eng@1", [_native.FieldSpec("n", "u64", 0)], layout)


def address(arr):
    return arr.__array_interface__["data"][0]


def test_reentry_closing_and_buffer_bounds(tmp_path):
    """The public API runs on _engine (test_api); here what only the low level shows."""
    w = _engine.Writer.create(tmp_path / "f.drelix", schema(RL.prefixed()))
    with pytest.raises(RuntimeError, match="writer is busy"):  # __index__ runs inside
        w.close_frame(Index(0, hook=lambda: w.append(body(0))))
    frames = w.write_bodies([bytearray(body(i)) for i in range(300)], frame_bytes=900)
    assert [f[0] for f in frames] == list(range(len(frames)))
    w.close()
    w.close()
    with pytest.raises(_native.DrelixUsageError, match="writer is closed"):
        w.append(body(0))
    r = _engine.Reader(tmp_path / "f.drelix")
    assert r.frames == [(f.id, f.offset, f.len, f.hash) for f in _native.Container.open_read(str(tmp_path / "f.drelix")).frames()]  # fmt: skip
    out = np.empty(sum(r.content_sizes()) + r.tail_info()[1], dtype=np.uint8)
    assert r.read_into(range(len(r.frames)), address(out), out.nbytes, tail=True) == out.nbytes  # fmt: skip
    assert _native.split_records(out.tobytes(), RL.prefixed()) == ([body(i) for i in range(300)], 0)  # fmt: skip
    with pytest.raises(_native.DrelixUsageError, match="the output is 1 bytes"):
        r.read_into([0], address(out), 1)


def test_the_lock_is_released_and_maintenance_stops_cleanly(tmp_path, request):
    """With forced switching off, another thread runs only when this one gives up the
    interpreter lock; a counter that advances across one engine call shows it gave it up."""
    arr = np.zeros(200 * 4096, dtype=DTYPE)  # incompressible: level 19 takes seconds
    arr["n"] = np.random.default_rng(5).integers(0, 1 << 40, len(arr))
    count, halt, out = [0], threading.Event(), np.empty_like(arr)
    path = tmp_path / "f.drelix"
    w = _engine.Writer.create(path, schema(RL.fixed(16)), level=1)

    def counter():
        while not halt.is_set():
            count[0] += 1
            time.sleep(0)  # hands the lock back at once

    def advances(call):
        before = count[0]
        call()
        return count[0] > before

    interval, t = sys.getswitchinterval(), threading.Thread(target=counter)
    sys.setswitchinterval(1000.0)
    t.start()
    try:
        wrote = advances(lambda: w.write_fixed_at(address(arr), arr.nbytes, frame_records=4096))  # fmt: skip
        w.close()
        r = _engine.Reader(path)
        read = advances(lambda: r.read_into(range(200), address(out), out.nbytes, threads=1))  # fmt: skip
    finally:
        halt.set()
        t.join()
        sys.setswitchinterval(interval)
    assert wrote and read and np.array_equal(out, arr)
    calls, original = [], path.read_bytes()
    report = _engine.validate(path, progress=lambda *a: calls.append(a))
    assert report == ([], 200, len(arr))
    assert calls[-1] == (200, 200) and calls == sorted(calls)
    sigint = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    # A callback that raises stops the work, and so does Ctrl-C with no callback to run it;
    # it raises KeyboardInterrupt even where the test runner was started ignoring it.
    restore = signal.signal(signal.SIGINT, signal.default_int_handler)
    request.addfinalizer(lambda: signal.signal(signal.SIGINT, restore))
    for arm, progress, exc in [(lambda: None, lambda *counts: 1 / 0, ZeroDivisionError), (sigint.start, None, KeyboardInterrupt)]:  # fmt: skip
        arm()
        with pytest.raises(exc):
            _engine.repack(path, 19, progress=progress)
        assert path.read_bytes() == original and os.listdir(tmp_path) == ["f.drelix"]
    before, after, count = _engine.repack(path, 3, 65536)
    assert count == 200 and before > after == path.stat().st_size


def test_repack_on_every_core_writes_what_one_thread_writes(tmp_path):
    """Frames of very unequal sizes, re-encoded on 1, 2, 7 and every thread, through _engine
    and the public API: one file, byte for byte, which reads back whole."""
    sizes = [2000 if k % 5 == 2 else 3 + k for k in range(23)]
    original = write_file(tmp_path / "o.drelix", [[body(i) * 40 for i in range(n)] for n in sizes], [b"t"])  # fmt: skip
    path, results = tmp_path / "f.drelix", set()
    for run in [lambda: _engine.repack(path, 3, threads=1), lambda: _engine.repack(path, 3, threads=7),
                lambda: dx.repack(path, 3, threads=2), lambda: dx.repack(path, 3)]:  # fmt: skip
        shutil.copyfile(original, path)
        run()
        results.add(path.read_bytes())
    assert len(results) == 1 and _native.validate(path).problems == []
    with pytest.raises(ValueError, match="threads must be at least 1"):
        _engine.repack(path, 3, threads=0)


DRELIX = shutil.which("drelix", path=os.path.dirname(sys.executable))
CODE = "import sys, drelix_binary as dx; from drelix_binary import _native; "


@pytest.mark.parametrize("argv", [
    [sys.executable, "-c", CODE + "dx.open(sys.argv[1])"],
    [sys.executable, "-c", CODE + "dx.validate(sys.argv[1])"],
    [sys.executable, "-c", CODE + "_native.Container.open_read(sys.argv[1])"],
    [DRELIX, "info"], [DRELIX, "validate"]])  # fmt: skip
def test_a_fifo_is_refused_at_once(tmp_path, argv):
    """Opening a FIFO would wait for a writer for ever: every way in refuses it at once (the
    timeout only keeps a hang from stalling the suite)."""
    fifo = tmp_path / "f.drelix"
    os.mkfifo(fifo)
    done = subprocess.run([*argv, str(fifo)], capture_output=True, timeout=60, check=False)  # fmt: skip
    assert done.returncode != 0 and b"not a regular file (a FIFO)" in done.stderr, done.stderr  # fmt: skip


STANDALONE = """import glob, sys, importlib.machinery as m, importlib.util as u
so = glob.glob(u.find_spec("drelix_binary").submodule_search_locations[0] + "/_native*")[0]
spec = u.spec_from_file_location("drelix_binary._engine", so, loader=m.ExtensionFileLoader("drelix_binary._engine", so))
e = u.module_from_spec(spec)
spec.loader.exec_module(e)
try:
    e.Reader(sys.argv[2])
except Exception as exc:
    print(type(exc).__module__, type(exc).__name__)
s = e.Reader(sys.argv[1]).schema
print(repr((s, s.fields, s.layout)), sorted(n for n in sys.modules if "drelix" in n))"""


def test_engine_loads_without_the_package(tmp_path):
    """_engine alone: neither _native nor the package gets imported, and its schemas and errors
    are the binding's own classes."""
    path, junk = write_file(tmp_path / "f.drelix", [[body(1)]]), tmp_path / "junk"
    junk.write_bytes(b"x" * 64)
    out = subprocess.run([sys.executable, "-c", STANDALONE, path, junk], capture_output=True, check=True)  # fmt: skip
    s = _native.Container.open_read(path).schema()
    alone = f"{(s, s.fields, s.layout)!r} ['drelix_binary._engine']"
    assert out.stdout.decode().splitlines() == ["_native DrelixMalformedError", alone]
