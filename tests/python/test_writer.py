"""The Writer against forks, threads, a full header zone and the values it is given."""

import concurrent.futures
import contextlib
import subprocess
import sys
import threading

import drelix_binary as dx
import numpy as np
import pytest
from conftest import DTYPE, Index, records
from drelix_binary import _writer

SCHEMA = dx.schema("telemetry@1", DTYPE)
IDS = dx.schema("ids@1", {"id": "u64"})

FORK = r"""
import os, sys
import drelix_binary as dx
path = sys.argv[1]
w = dx.create(path, dx.schema("ids@1", {"id": "u64"}), frame_records=100)
w.extend([i.to_bytes(8, "little") for i in range(150)])  # a frame, 50 records buffered
go, ready = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(ready)  # a parent that dies ends the wait below
    for call in (lambda: w.append(bytes(8)), w.flush, w.sync, w.close_frame, w.seal):
        try:
            call()
            print("taken", flush=True)
        except dx.DrelixUsageError as e:
            print(type(e).__name__, "belongs to process" in str(e), flush=True)
    os.read(go, 1)
    del w, call  # once the parent is done: the deallocation writes nothing either
    sys.exit(0)  # a normal exit: finalizers and deallocation run
w.extend([i.to_bytes(8, "little") for i in range(150, 400)])  # frames over the old tail
w.close()
dx.open(path, "a").close()  # while the child lives
os.write(ready, b"x")
print("child exit", os.waitpid(pid, 0)[1], flush=True)
"""


def test_a_forked_child_neither_writes_nor_keeps_the_lock(tmp_path):
    path = str(tmp_path / "f.drelix")
    out = subprocess.run([sys.executable, "-c", FORK, path], capture_output=True, text=True, timeout=120, check=False)  # fmt: skip
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["DrelixUsageError True"] * 5 + ["child exit 0"]
    assert dx.validate(path).problems == []
    ids = dx.open(path).to_numpy()["id"]
    np.testing.assert_array_equal(ids, np.arange(400))


def test_a_close_refused_during_a_write_changes_nothing(tmp_path):
    path = str(tmp_path / "b.drelix")
    w, a, refused = dx.create(path, SCHEMA, frame_records=100), records(1030), []

    def close_from_another_thread():  # runs while the write holds the writer
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            refused.append(pool.submit(w.close).exception())

    w.extend(a[:30])
    w.write(a[30:], threads=Index(2, close_from_another_thread))
    assert [(type(e), str(e)) for e in refused] == [(RuntimeError, "writer is busy")]
    assert not w.closed
    with pytest.raises(dx.DrelixLockedError):
        dx.open(path, "a")
    w.close()
    assert dx.validate(path).problems == []
    np.testing.assert_array_equal(dx.open(path).to_numpy(), a)


def test_a_bulk_write_commits_no_frame_it_cannot_read_back(tmp_path):
    path, a, stop = str(tmp_path / "m.drelix"), np.arange(32 << 14, dtype="<u8") % 1000, threading.Event()  # fmt: skip

    def scribble():  # the caller's race: every 512 bytes of the array change, again and again
        sparse = a[::64]
        while not stop.is_set():
            np.add(sparse, 1, out=sparse)

    t = threading.Thread(target=scribble)
    t.start()
    try:
        with dx.create(path, IDS, frame_records=1 << 14, level=12) as w:
            w.write(a, threads=2)
    finally:
        stop.set()
        t.join()
    assert dx.validate(path).problems == [] and len(dx.open(path).frames) == 32


@pytest.mark.parametrize("call", ["append", "extend", "write"])
def test_a_call_the_zone_cannot_list_takes_no_records(tmp_path, call):
    path, a = str(tmp_path / "z.drelix"), records(300)
    w = dx.create(path, SCHEMA, header_area=1024, frame_records=3)
    take = {"append": lambda rows: w.append(rows[0]), "extend": lambda rows: w.extend(rows),
            "write": lambda rows: w.write(rows)}[call]  # fmt: skip
    # Two records at a time: a write then tops up the tail before it closes frames.
    step = 1 if call == "append" else 2
    stored, seen = 0, []
    with pytest.raises(dx.DrelixZoneFullError, match=r"repack .*header_area"):
        while True:
            take(a[stored : stored + step])
            stored += step
    assert stored and w.records == stored
    with pytest.raises(dx.DrelixZoneFullError):  # the retry fails alike
        take(a[stored : stored + step])
    assert w.records == stored
    with contextlib.suppress(dx.DrelixZoneFullError):
        w.close()  # a tail the zone cannot list stays a tail
    dx.repack(path, 3, header_area=65536, progress=lambda *a: seen.append(a))
    assert seen[-1][0] == seen[-1][1]  # progress reaches its end
    with dx.open(path, "a", frame_records=3) as w:
        take(a[stored : stored + step])
    assert dx.validate(path).problems == []
    np.testing.assert_array_equal(dx.open(path).to_numpy(), a[: stored + step])


def test_an_extend_the_zone_cannot_finish_counts_the_records_its_earlier_batches_stored(tmp_path, monkeypatch):  # fmt: skip
    monkeypatch.setattr(_writer, "EXTEND_BATCH", 3)  # batches small enough to fill the zone
    w = dx.create(tmp_path / "x.drelix", SCHEMA, header_area=1024, frame_records=3)
    with pytest.raises(dx.DrelixZoneFullError, match=r"\((\d+) records of this call") as e:
        w.extend(records(300))
    assert e.match(rf"\({w.records} records") and w.records % 3 == 0 and w.records


D = DTYPE.descr


WRONG_FIELDS = [  # a structured array's dtype, why the schema refuses it
    (D[:2] + [("ident", "<u8")] + D[3:], "field 2 of the array is 'ident', the schema's is 'id'"),
    ([D[1], D[0]] + D[2:], "field 0 of the array is 'flag', the schema's is 'sensor'"),
    (D[:2] + [("id", ">u8")] + D[3:], "field 'id' is '>u8', the schema's is '<u8'"),
    (D[:5] + [("key", "<u8"), ("pad", "V8")], "field 'key' is '<u8', the schema's is '|V16'"),
    (D + [("extra", "V0")], "the schema has no field 'extra'")]  # fmt: skip


def test_structured_fields_must_be_the_schemas_and_raw_bytes_strided_or_not_write_as_they_are(tmp_path):  # fmt: skip
    a = records(4)
    raw = a.tobytes()
    doubled = bytearray(2 * len(raw))
    doubled[::2] = raw
    with dx.create(tmp_path / "s.drelix", SCHEMA) as w:
        for dtype, message in WRONG_FIELDS:
            with pytest.raises(dx.DrelixUsageError, match=message):
                w.write(a.view(dtype))
        assert w.records == 0
        w.write(a.view(f"V{DTYPE.itemsize}"))
        w.write(a.view(np.uint8))
        w.write(raw)
        w.write(memoryview(doubled)[::2])  # strided: copied once
        w.append(memoryview(doubled)[: 2 * DTYPE.itemsize : 2])
    back = dx.open(tmp_path / "s.drelix").to_numpy()
    np.testing.assert_array_equal(back, np.concatenate([a] * 4 + [a[:1]]))


def test_flush_seconds_shows_records_to_readers_at_the_first_append_past_the_bound(tmp_path, monkeypatch):  # fmt: skip
    path, clock, a = tmp_path / "f.drelix", [1000.0], records(10)
    monkeypatch.setattr("drelix_binary._writer.time.monotonic", lambda: clock[0])
    w = dx.create(path, SCHEMA, flush_seconds=np.float32(1), frame_seconds=3)
    seen = []
    for seconds, call in [(0, lambda: w.append(a[0])), (0.5, lambda: w.extend(a[1:3])),
                          (0.5, lambda: w.append(a[3])),  # a second since the writer opened
                          (0.9, lambda: w.write(a[4:6])), (0.1, lambda: w.write(a[6:7])),
                          (0.5, lambda: w.append(a[7])), (0.5, lambda: w.append(a[8])),  # closes a frame
                          (0.9, lambda: w.append(a[9]))]:  # fmt: skip
        clock[0] += seconds
        call()
        with dx.open(path) as r:  # a reader sees only what reached the file
            seen.append((len(r), len(r.frames)))
    assert seen == [(0, 0), (0, 0), (4, 0), (4, 0), (7, 0), (7, 0), (9, 1), (9, 1)]
    w.close()
    np.testing.assert_array_equal(dx.open(path).to_numpy(), a)
    for bad, words in [(0, "finite and positive, not 0"), (float("inf"), "finite and positive, not inf"),
                       ("1", "a number, not str"), (True, "a number, not bool")]:  # fmt: skip
        for make, args in ((dx.create, (tmp_path / "n.drelix", SCHEMA)), (dx.open, (path, "a"))):
            with pytest.raises((TypeError, ValueError), match=f"^flush_seconds must be {words}$"):
                make(*args, flush_seconds=bad)
    assert not (tmp_path / "n.drelix").exists()
