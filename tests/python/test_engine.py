"""drelix_binary._engine against _native: what one writes the other reads, checksums, and the
interpreter lock released while the engine works."""

import os
import re
import shutil
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
    """The public API runs on _engine (test_api), which must agree with _native (test_parity);
    here what only the low level shows."""
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
    out = np.empty(sum(r.content_sizes()) + r.tail_info()[1], dtype=np.uint8)
    assert r.read_into(range(len(r.frames)), address(out), out.nbytes, tail=True) == out.nbytes  # fmt: skip
    assert _native.split_records(out.tobytes(), RL.prefixed()) == ([body(i) for i in range(300)], 0)  # fmt: skip
    with pytest.raises(_native.DrelixUsageError, match="the output is 1 bytes"):
        r.read_into([0], address(out), 1)


def test_bulk_writes_and_reads_release_the_interpreter_lock(tmp_path):
    """With forced switching off, another thread runs only when this one gives up the
    interpreter lock; a counter that advances across one engine call shows it gave it up."""
    arr, count, halt = np.zeros(200 * 4096, dtype=DTYPE), [0], threading.Event()
    arr["n"] = np.random.default_rng(5).integers(0, 1 << 40, len(arr))  # incompressible
    out, path = np.empty_like(arr), tmp_path / "f.drelix"
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


DRELIX = shutil.which("drelix", path=os.path.dirname(sys.executable))


OPENERS = {"reader": dx.open, "writer": lambda p: dx.open(p, "a"), "validate": dx.validate,
           "native": _native.Container.open_read, "info": "info", "validate_command": "validate"}  # fmt: skip


@pytest.mark.parametrize("opener", OPENERS)
def test_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path, opener):
    """It is held open here, so that a way in that forgot the check fails instead of hanging.
    (A directory is test_errors_table's.)"""
    path = tmp_path / "d"
    os.mkfifo(path)
    held = os.open(path, os.O_RDWR)
    try:
        if isinstance(OPENERS[opener], str):  # the command: status 2, one line
            done = subprocess.run([DRELIX, OPENERS[opener], path], capture_output=True, timeout=60, check=False, text=True)  # fmt: skip
            text = done.stderr * (done.returncode == 2)
        else:
            with pytest.raises(OSError) as caught:
                OPENERS[opener](str(path))
            text = str(caught.value)
    finally:
        os.close(held)
    assert re.search(r"not a regular file \(a FIFO\)", text, re.IGNORECASE), text


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
