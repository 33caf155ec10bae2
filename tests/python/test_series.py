"""Series: rotation by size, age and a full zone; a series writer killed (mid-append and
mid-rotation) and resumed; a second writer refused; the files read as one sequence; followers
across rotations while a writer process rotates."""

import os
import pickle
import signal
import struct
import subprocess
import sys
import textwrap
import threading

import drelix_binary as dx
import hypothesis.strategies as st
import numpy as np
import pyarrow as pa
import pytest
from drelix_binary import _series
from hypothesis import HealthCheck, given, settings

SCHEMA = dx.schema("seq@1", {"i": "u64", "x": "f64"})
DT = dx.dtype_of(SCHEMA)
GUARD = 60  # seconds: only ever a hang guard, never a measure
CHILD = """
import os, signal, struct, sys
import drelix_binary as dx
schema = dx.schema("seq@1", {"i": "u64", "x": "f64"})
"""


def rec(i):
    return struct.pack("<Qd", i, i / 7)


def rows(start, stop):
    out = np.zeros(stop - start, DT)
    out["i"] = np.arange(start, stop)
    out["x"] = out["i"] / 7
    return out


def feed(w, start, stop):
    """Records start..stop through every way in: append, extend, write."""
    a, b = start + (stop - start) // 3, start + 2 * (stop - start) // 3
    for i in range(start, a):
        w.append(rec(i))
    w.extend(rec(i) for i in range(a, b))
    w.write(rows(b, stop))


def check_series(d, n, *, final=False):
    """The series holds records 0..n in order, every file but the last sealed, none empty."""
    with dx.open_series(d) as r:
        assert r.to_numpy()["i"].tolist() == list(range(n))
        sealed = [dx.open(f).sealed for f in r.files]
        assert sealed == [True] * (len(sealed) - 1) + [final] == [*sealed[:-1], r.sealed]
        assert all(len(dx.open(f)) for f in r.files)
        return r.files


def spawn(body, *args):
    code = CHILD + textwrap.dedent(body)
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)  # fmt: skip


@pytest.mark.parametrize("rule", ["bytes", "seconds", "zone", "zone by frame age"])
def test_rotation_by_size_age_and_full_zone(tmp_path, monkeypatch, rule):
    d, n = tmp_path / "s", {"bytes": 3000, "seconds": 30, "zone": 300}.get(rule, 900)
    clock = [0.0]
    monkeypatch.setattr(_series.time, "monotonic", lambda: clock[0])
    options = {"bytes": {"rotate_bytes": 20_000, "level": 0, "frame_records": 64},
               "seconds": {"rotate_seconds": 10},
               "zone": {"frame_records": 3, "header_area": 1024},
               "zone by frame age": {"frame_seconds": 1, "header_area": 1024}}[rule]  # fmt: skip
    w = dx.create_series(d, SCHEMA, **{"header_area": 4096, **options})
    if rule == "seconds":
        for i in range(n):
            w.append(rec(i))
            clock[0] += 4  # rotates before the append 12 s after the file began: 3 a file
    elif rule == "zone by frame age":  # a collector: frames closed by age, never by count
        for k in range(0, n, 10):  # bulk calls, each into the open frame
            if k % 20:
                w.write(rows(k, k + 10))
            else:
                w.extend(rec(i) for i in range(k, k + 10))
            clock[0] += 0.5
    else:
        feed(w, 0, n)
    w.close()
    files = check_series(d, n)
    if rule == "bytes":
        # A file is left once its size reached the bound, within a frame of it.
        assert all(20_000 <= os.path.getsize(f) < 20_000 + 2 * 64 * 16 for f in files[:-1])
    if rule == "seconds":
        assert [len(dx.open(f)) for f in files] == [3] * (n // 3)
    if rule == "zone by frame age":
        assert len(files) > 2 and all(len(dx.open(f).frames) > 5 for f in files[:-1])
    if rule == "zone":  # a single file with that zone cannot take them
        one = dx.create(tmp_path / "one.drelix", SCHEMA, **options)
        with one, pytest.raises(dx.DrelixZoneFullError):
            feed(one, 0, n)
        assert 2 < len(files) < 10 and all(len(dx.open(f).frames) > 15 for f in files[:-1])


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls=st.lists(st.tuples(st.sampled_from("aew"), st.integers(1, 90)), min_size=1, max_size=5),
       rotate=st.sampled_from([None, 1500, 2500]), frame_records=st.integers(6, 40))  # fmt: skip
def test_any_writes_land_once_in_order_across_rotations(tmp_path_factory, calls, rotate, frame_records):  # fmt: skip
    d = tmp_path_factory.mktemp("s")
    w = dx.create_series(d, SCHEMA, header_area=1024, level=0, frame_records=frame_records,
                         rotate_bytes=rotate)  # fmt: skip
    at = 0
    for how, k in calls:
        if how == "a":
            for i in range(at, at + k):
                w.append(rec(i))
        elif how == "e":
            w.extend(rec(i) for i in range(at, at + k))
        else:
            w.write(rows(at, at + k))
        at += k
    assert w.records == at
    w.close()
    check_series(d, at)


@pytest.mark.parametrize("where", ["appending", "sealing", "sealed"])
def test_a_killed_series_writer_resumes_with_every_flushed_record(tmp_path, where):
    d = tmp_path / "s"
    child = spawn("""
        if sys.argv[2] != "appending":  # killed at the third rotation, before or after a seal
            seals, sealing = [], dx.Writer.seal
            def seal(self):
                seals.append(self)
                if len(seals) < 3:
                    return sealing(self)
                if sys.argv[2] == "sealed":
                    sealing(self)
                os.kill(os.getpid(), signal.SIGKILL)
            dx.Writer.seal = seal
        w = dx.create_series(sys.argv[1], schema, rotate_bytes=12_000, header_area=4096,
                             frame_records=50)
        i = 0
        while True:
            w.append(struct.pack("<Qd", i, i / 7))
            i += 1
            if i % 97 == 0:
                w.flush()
                print(i, flush=True)
        """, d, where)  # fmt: skip
    flushed = 0
    for line in child.stdout:
        flushed = int(line)
        if where == "appending" and flushed > 3000:
            child.send_signal(signal.SIGKILL)
            break
    assert child.wait() == -signal.SIGKILL and flushed > 1000
    assert not dx.open_series(d).sealed  # a killed writer never leaves the series complete
    w = dx.open_series(d, "a")
    n = w.records
    assert n >= flushed
    feed(w, n, n + 600)
    w.close(final=True)
    check_series(d, n + 600, final=True)


def test_a_second_series_writer_is_refused_at_once(tmp_path):
    d = tmp_path / "s"
    child = spawn("""
        w = dx.create_series(sys.argv[1], schema)
        print("ready", flush=True)
        sys.stdin.read()
        w.append(bytes(16))
        w.close()
        """, d)  # fmt: skip
    assert child.stdout.readline() == "ready\n"
    for attempt in (lambda: dx.create_series(d, SCHEMA), lambda: dx.open_series(d, "a")):
        with pytest.raises(dx.DrelixLockedError):
            attempt()
    child.stdin.close()
    assert child.wait() == 0
    with pytest.raises(FileExistsError):
        dx.create_series(d, SCHEMA)
    with dx.open_series(d, "a") as w:
        with pytest.raises(dx.DrelixLockedError):
            dx.open_series(d, "a")
        w.append(rec(1))
        w.rotate()  # files the series makes, and those continued, take the series' zone
    r = dx.open_series(d)
    assert len(r) == 2 and len(r.files) == 2
    assert {dx.open(f).preamble.header_area for f in r.files} == {64 << 10}


def test_the_reader_reads_the_files_as_one_sequence(tmp_path):
    d, n = tmp_path / "s", 2000
    w = dx.create_series(d, SCHEMA, header_area=4096, level=0, rotate_bytes=10_000)
    feed(w, 0, n)
    w.flush()
    r = dx.open_series(d)
    assert len(r.files) > 2 and len(r) == n and not r.sealed
    with pytest.raises(IsADirectoryError, match="open_series reads a series"):
        dx.open(d)
    want = [rec(i) for i in range(n)]
    assert list(r) == want and r[:] == want
    for key in (0, 1, -1, 777, slice(5, 1500, 37), slice(1900, 10, -3), slice(-30, None)):
        assert r[key] == want[key]
    assert (r.to_numpy(13, 1987) == rows(13, 1987)).all()
    assert (np.concatenate(list(r.iter_batches())) == rows(0, n)).all()
    table = pa.table({"i": rows(0, n)["i"], "x": rows(0, n)["x"]})
    assert r.to_arrow().equals(table) and pa.table(r).equals(table)
    assert r.to_arrow_reader(["x"]).read_all().equals(table.select(["x"]))
    assert list(pickle.loads(pickle.dumps(r))) == want
    feed(w, n, n + 1000)  # growth of the last file and new files, taken in by refresh
    w.close(final=True)
    assert len(r) == n and r.refresh() == 1000 and r.sealed
    assert list(r[n - 5 :]) == [rec(i) for i in range(n - 5, n + 1000)]
    assert (r.to_numpy()["i"] == np.arange(n + 1000)).all()
    r.close()


def test_followers_go_across_rotations_of_a_writer_process(tmp_path):
    d, n = tmp_path / "s", 4000
    dx.create_series(d, SCHEMA, header_area=4096).close()
    child = spawn("""
        w = dx.open_series(sys.argv[1], "a", rotate_bytes=8000, frame_records=40)
        for i in range(int(sys.argv[2])):
            w.append(struct.pack("<Qd", i, i / 7))
            if i % 50 == 0:
                w.flush()
        w.close(final=True)
        """, d, n)  # fmt: skip
    batches = []
    side = threading.Thread(
        target=lambda: batches.extend(dx.follow_batches(d, poll=0.01, timeout=GUARD))
    )
    side.start()
    got = list(dx.follow(d, poll=0.01, timeout=GUARD))
    side.join()
    assert child.wait() == 0
    assert got == [rec(i) for i in range(n)]
    assert (np.concatenate(batches) == rows(0, n)).all()
    assert len(dx.open_series(d).files) > 3
    assert list(dx.follow(d, start=-3)) == [rec(i) for i in range(n - 3, n)]


def test_length_prefixed_records_and_headers_go_across_files(tmp_path):
    d = tmp_path / "s"
    bodies = [bytes([i % 251]) * (i % 40) for i in range(400)]
    w = dx.create_series(d, dx.schema("ev@1", {}, layout="prefixed"), header_area=1024,
                         frame_records=3, user={"site": "a"})  # fmt: skip
    w.append(bodies[0])
    w.set_user_header("run", "7")  # kept by every file started after
    w.extend(bodies[1:200])
    w.write_bodies(bodies[200:])
    w.close(final=True)
    with dx.open_series(d) as r:
        assert list(r) == bodies == list(dx.follow(d)) and len(r.files) > 3
        assert [dx.open(f).user_headers for f in r.files] == [{"site": "a", "run": "7"}] * len(r.files)


def test_filtered_reads_equal_a_masked_full_read_and_skip_ruled_out_files(tmp_path):
    d, n = tmp_path / "s", 3000
    w = dx.create_series(d, SCHEMA, header_area=4096, level=0, rotate_bytes=8_000,
                         frame_records=100, index=("i", "x"))  # fmt: skip
    data = rows(0, n)
    data["x"] = np.random.default_rng(5).normal(size=n)
    w.write(data[:-50])
    w.flush()
    w.extend(bytes(r) for r in data[-50:])  # the last file ends in a tail
    w.flush()
    r = dx.open_series(d)
    assert len(r.files) > 3 and len(r) == n and not r.sealed

    @settings(max_examples=40, deadline=None)
    @given(st.integers(-10, n + 10), st.integers(0, n // 3), st.floats(-3, 3), st.sampled_from([">", "<=", "!="]))  # fmt: skip
    def same(lo, width, x, op):
        flt = [("i", ">=", lo), ("i", "<", lo + width), ("x", op, x)]
        keep = (data["i"] >= lo) & (data["i"] < lo + width)
        keep &= {">": data["x"] > x, "<=": data["x"] <= x, "!=": data["x"] != x}[op]
        want = data[keep]
        got = r.to_numpy(filters=flt)
        assert len(got) == len(want) and (got == want).all()
        batches = list(r.iter_batches(filters=flt))
        assert all(len(b) for b in batches)
        assert (np.concatenate([want[:0], *batches]) == want).all()
        assert r.to_arrow(["i"], filters=flt).column("i").to_pylist() == want["i"].tolist()

    same()
    # A sealed file the filters rule out is never opened: gone from disk, it is not missed.
    starts = [0, *np.cumsum([len(dx.open(f)) for f in r.files])]
    assert r[starts[2]] == data[starts[2]].tobytes()  # file 2 read last: file 1's reader is closed
    os.unlink(r.files[1])
    inside_last = [("i", ">=", starts[-2]), ("i", "<", n)]
    assert (r.to_numpy(filters=inside_last) == data[starts[-2] :]).all()
    with pytest.raises(FileNotFoundError):
        r.to_numpy(filters=[("i", "==", starts[1])])
    with pytest.raises(dx.DrelixUsageError, match="no field 'nope'|nope"):
        r.to_numpy(filters=[("nope", "==", 1)])
    r.close()
    w.close()


def test_a_series_uploaded_to_a_store_reads_filters_and_follows_as_one(tmp_path):
    fsspec = pytest.importorskip("fsspec")
    d, n = tmp_path / "s", 1200
    with dx.create_series(d, SCHEMA, header_area=4096, level=0, rotate_bytes=6_000,
                          frame_records=100, index=("i",)) as w:  # fmt: skip
        w.write(rows(0, n))
        w.close(final=True)
    files = dx.open_series(d).files
    store, url = fsspec.filesystem("memory"), "memory://drelix-tests/series"
    for f in files:
        store.put_file(f, f"{url}/{os.path.basename(f)}")
    store.pipe(f"{url}/other.drelix", b"an object of no series, beside")
    with dx.open_series(url + "/") as r:
        assert r.files == [f"{url}/{os.path.basename(f)}" for f in files] and r.sealed
        assert (r.to_numpy() == rows(0, n)).all() and r[n - 1] == rec(n - 1)
        window = [("i", ">=", 700), ("i", "<", 750)]
        assert (r.to_numpy(filters=window) == rows(700, 750)).all()
        assert list(pickle.loads(pickle.dumps(r))) == [rec(i) for i in range(n)]
    followed = list(dx.follow(url, start=-3, timeout=GUARD))  # a sealed series: to its end
    assert followed == [rec(i) for i in range(n - 3, n)]
    for write in (lambda: dx.create_series(url, SCHEMA), lambda: dx.open_series(url, "a")):
        with pytest.raises(dx.DrelixUsageError, match="written in place"):
            write()
    with pytest.raises(FileNotFoundError):
        dx.open_series("memory://drelix-tests/none/")


def test_a_series_of_more_files_than_descriptors_reads_whole(tmp_path):
    resource = pytest.importorskip("resource")
    d, files = tmp_path / "s", 300
    d.mkdir()
    for k in range(files):  # sealed files as a rotating writer leaves them, built directly
        with dx.create(d / f"{k:010d}.drelix", SCHEMA, header_area=1024, index=("i",)) as w:
            w.write(rows(k * 2, k * 2 + 2))
            w.seal()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (128, hard))
    try:
        with dx.open_series(d) as r:
            assert len(r.files) == files and len(r) == 2 * files
            assert (r.to_numpy() == rows(0, 2 * files)).all()
            assert (r.to_numpy(filters=[("i", ">=", 301)]) == rows(301, 2 * files)).all()
            assert list(r)[-3:] == [rec(i) for i in range(2 * files - 3, 2 * files)]
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
