"""A Reader while the file changes under it (writers closing frames, repack, close from another
thread), frames that end in a torn record, and the edges of opening, indexing and closing."""

import os
import subprocess
import sys
import textwrap
import threading

import drelix_binary as dx
import numpy as np
import pytest
from conftest import drelix_bytes

# Each record says where it belongs: its index and a check value derived from it.
DTYPE = np.dtype([("id", "<u8"), ("check", "<u8")])
SCHEMA = dx.schema("seq@1", DTYPE)


def rows(start, n):
    ids = np.arange(start, start + n, dtype=np.uint64)
    return np.rec.fromarrays([ids, ids * np.uint64(0x9E3779B97F4A7C15)], dtype=DTYPE)


def assert_rows(arr, start=0):
    """`arr` (structured, or a list of record bytes) holds exactly rows(start, len(arr))."""
    if isinstance(arr, list):
        arr = np.frombuffer(b"".join(arr), DTYPE)
    np.testing.assert_array_equal(arr, rows(start, len(arr)))


def write_rows(path, start, n, tail, **options):
    """rows(start, n) in frames, then the next `tail` rows as the tail a writer that has not
    closed its last frame leaves (a writer's close would make them a frame)."""
    with dx.create(path, SCHEMA, **options) as w:
        w.write(rows(start, n))
    with open(path, "ab") as f:
        f.write(rows(start + n, tail).tobytes())


def read_all(r):
    """Each read API returns the records exactly as written."""
    n = len(r)
    assert_rows([r[i] for i in range(n - 3, n)], n - 3)
    assert_rows(r[n - 5 :], n - 5)
    assert_rows(r.to_numpy())
    assert_rows(np.concatenate(list(r.iter_batches())))
    assert_rows(list(r)[n - 5 :], n - 5)


def test_a_close_in_this_process_moves_the_tail_and_every_read_follows_it(tmp_path):
    path = tmp_path / "f.drelix"
    w = dx.create(path, SCHEMA, frame_records=1000)
    w.write(rows(0, 3000))
    w.extend(rows(3000, 900))
    w.flush()
    r = dx.open(path)
    read_all(r)
    w.extend(rows(3900, 10))  # appends leave the bytes a reader counted alone
    w.flush()
    read_all(r)
    records, batches = iter(r), r.iter_batches()
    head = [next(records) for _ in range(3000)] + [next(batches) for _ in range(3)]
    w.close_frame()
    assert len(r) == 3900
    read_all(r)
    w.extend(rows(3910, 5))
    w.flush()
    assert (r.refresh(), r.refresh(), len(r.frames)) == (15, 0, 4)
    read_all(r)
    # Iterations begun before the refresh give the records they began with, none twice.
    every, batched = head[:3000] + list(records), np.concatenate(head[3000:] + list(batches))
    assert len(every) == len(batched) == 3900
    assert_rows(every)
    assert_rows(batched)
    w.close()
    os.remove(path)  # a file removed under a reader: nothing new, and what it holds still reads
    assert r.refresh() == 0 and len(r) == 3915
    read_all(r)


def run_in_child(code, *args):
    """A Python process running `code` (which may import this module), returned once it has
    imported the package."""
    code = "import drelix_binary, numpy; print(flush=True)\n" + textwrap.dedent(code)
    env = {**os.environ, "PYTHONPATH": os.path.dirname(__file__)}
    child = subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdout=subprocess.PIPE, env=env)  # fmt: skip
    child.stdout.readline()
    return child


def test_a_file_renamed_over_the_path_in_another_process_never_makes_an_open_read_wrong(tmp_path):
    """What repack does, as often as a process can: the path names one of two files holding
    the same records in frames of other sizes, so their tails start at other offsets."""
    path, sources = tmp_path / "p.drelix", [tmp_path / "0.drelix", tmp_path / "19.drelix"]
    for source, level, frame in zip(sources, (0, 19), (200, 150)):
        write_rows(source, 0, 300, 100, frame_records=frame, level=level)
    os.link(sources[0], path)
    child = run_in_child(
        """
        import os, sys
        for i in range(30000):
            os.link(sys.argv[2 - i % 2], sys.argv[3])  # never the file the path names
            os.rename(sys.argv[3], sys.argv[4])
        """,
        *sources, tmp_path / "next", path,
    )
    opens = 0
    while child.poll() is None or not opens:
        with dx.open(path) as r:
            assert r[-1] == rows(399, 1).tobytes()
            assert_rows(r.to_numpy())
            opens += 1
    assert child.wait() == 0


def test_closing_in_one_thread_waits_for_a_read_in_another(tmp_path):
    first, other = tmp_path / "a.drelix", tmp_path / "b.drelix"
    for path, start in ((first, 0), (other, 10**9)):
        write_rows(path, start, 100, 50, frame_records=100)
    last, tail = rows(149, 1).tobytes(), rows(140, 10)
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads take turns often, inside reads too
    try:
        for _ in range(150):
            r, got, stop = dx.open(first), [], []

            def loop(r=r, got=got, stop=stop):
                try:
                    while not stop:
                        got.append(r[-1])
                        got.append(r.to_numpy(140, 150))
                except ValueError as exc:  # the reader was closed: the one way the loop ends
                    assert "closed Reader" in str(exc)
                except BaseException as exc:  # noqa: BLE001 - reported below
                    got.append(exc)

            t = threading.Thread(target=loop)
            t.start()
            while not got:
                pass
            try:
                r.close()  # waits for the running read; it must not be refused
                others = [dx.open(other) for _ in range(3)]  # they take the numbers it freed
            finally:
                stop.append(True)
                t.join()
            for value in got:
                assert value == last if isinstance(value, bytes) else np.array_equal(value, tail)
            for o in others:
                o.close()
    finally:
        sys.setswitchinterval(switch)


@pytest.mark.parametrize("record, content, tail, torn", [
    ("fixed:16", rows(0, 3).tobytes() + b"\x01" * 5, rows(3, 2).tobytes(), 5),
    ("prefixed", b"\x02\x00ab\x01\x00c\x09\x00xyz01", b"\x01\x00d", 7)],  # the last claims 9, has 5
    ids=["fixed", "prefixed"])  # fmt: skip
def test_a_frame_that_ends_in_a_torn_record_is_refused_by_every_read(tmp_path, record, content, tail, torn):  # fmt: skip
    headers = [("_schema", "seq@1"), ("_schema_fields", "id:u64:0;check:u64:8"),
               ("_record", record), ("_frames", f"0,0,{len(content)}")]  # fmt: skip
    path = tmp_path / "t.drelix"
    path.write_bytes(drelix_bytes(headers, data=content + tail))
    r = dx.open(path)
    reads = [lambda: r[0], lambda: r[-1], lambda: r[0:2], lambda: list(r), lambda: list(r.iter_batches()),
             lambda: r.to_arrow(), lambda: len(r)]  # fmt: skip
    if record != "prefixed":
        reads += [lambda: r.to_numpy(), lambda: r.to_numpy(0, 2), lambda: r.frame_records(0)]
    for read in reads:
        with pytest.raises(dx.DrelixMalformedError) as exc:
            read()
        assert str(exc.value) == f"{path}: frame 0 ends in a torn record of {torn} bytes"
    cli = subprocess.run([sys.executable, "-m", "drelix_binary", "cat", str(path)], check=False, capture_output=True)  # fmt: skip
    shown = f"drelix: {path}: not a well-formed drelix file: frame 0 ends in a torn record of {torn} bytes\n"
    assert (cli.returncode, cli.stderr.decode()) == (2, shown)  # the path once


def test_a_loop_left_early_releases_the_reader_and_a_closed_reader_refuses(tmp_path):
    path = tmp_path / "e.drelix"
    with dx.create(path, SCHEMA, frame_records=3_000_000) as w:
        w.append(rows(0, 1)[0])
        w.close_frame()
        w.write(rows(1, 3_000_000))  # a frame that is still decoding when the loop stops
    for _ in range(3):
        r = dx.open(path)
        for rec in r:
            break
        r.close()
        with dx.open(path) as r2:
            for rec in r2:
                break
        assert rec == rows(0, 1).tobytes() and r.closed and r2.closed
    with pytest.raises(ValueError, match="closed Reader"):
        r.to_numpy()
    for key in (1.0, "1", None):
        with pytest.raises(TypeError, match="indices must be integers or slices"):
            dx.open(path)[key]


@pytest.mark.parametrize("size", [0, 10])
def test_a_file_shorter_than_the_preamble_is_not_a_drelix_file(tmp_path, size):
    short = tmp_path / "short.drelix"
    short.write_bytes(b"DRELIX\x01\x01\x00\x10"[:size])
    message = f"not a drelix file: {size} bytes, too short for the 16-byte preamble"
    with pytest.raises(dx.DrelixMalformedError, match=message):
        dx.open(short)
    cli = subprocess.run([sys.executable, "-m", "drelix_binary", "info", str(short)], check=False, capture_output=True)  # fmt: skip
    assert cli.returncode == 2 and cli.stderr.decode() == f"drelix: {short}: {message}\n"
