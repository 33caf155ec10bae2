"""Files read where they live: objects on a real S3-protocol server on loopback, fsspec's
memory filesystem, and file objects; compared value by value with the same file read locally,
with the requests a read makes counted."""

import io
import pickle
import struct
import threading
import time

import drelix_binary as dx
import numpy as np
import pytest
from conftest import DTYPE, records
from drelix_binary import _remote

fsspec = pytest.importorskip("fsspec")
SCHEMA = dx.schema("telemetry@1", DTYPE)
PREFIXED = dx.schema("log@1", {"seq": "u32"}, layout="prefixed")


class Counted(io.BytesIO):
    """A file object that counts the reads made of it (each a request to a store)."""

    reads = 0

    def read(self, n=-1):
        self.reads += 1
        return super().read(n)


@pytest.fixture(params=["fixed-sealed", "fixed-tail", "prefixed-sealed", "prefixed-tail"])
def local(request, tmp_path):
    """A file of 2,600 records in frames of 700 and maybe a tail of 33: (path, records)."""
    prefixed, sealed = request.param.startswith("prefixed"), request.param.endswith("sealed")
    n = 2_600
    arr = records(n)
    recs = [struct.pack("<I", i) + b"x" * (i % 40) for i in range(n)] if prefixed else [r.tobytes() for r in arr]  # fmt: skip
    path = tmp_path / "f.drelix"
    with dx.create(path, PREFIXED if prefixed else SCHEMA, frame_records=700) as w:
        w.extend(recs[: n - 33])
        if sealed:
            w.extend(recs[n - 33 :])
            w.seal()
    if not sealed:
        with dx.open(path, "a") as w:
            w.extend(recs[n - 33 :])
    return path, recs


def place(where, path, request):
    """The file at `path` put where a reader finds it: (target, storage_options)."""
    data = path.read_bytes()
    if where == "fileobj":
        return Counted(data), None
    if where == "memory":
        name = f"memory://drelix-tests/{request.node.name}.drelix"
        fsspec.filesystem("memory").pipe(name, data)
        return name, None
    url, fs, options = request.getfixturevalue("bucket")
    fs.pipe(f"{url}/f.drelix", data)
    return f"{url}/f.drelix", options


@pytest.mark.parametrize("where", ["s3", "memory", "fileobj"])
def test_a_remote_reader_gives_what_the_local_one_gives_through_every_read(where, local, request, monkeypatch):  # fmt: skip
    path, recs = local
    monkeypatch.setattr(_remote, "_WINDOW_FRAMES", 2)  # whole reads span several windows
    target, options = place(where, path, request)
    with dx.open(path) as want, dx.open(target, storage_options=options) as r:
        assert r.path == (target if isinstance(target, str) else repr(target))
        assert (len(r), r.tail_records, r.sealed, r.headers) == (len(want), want.tail_records, want.sealed, want.headers)  # fmt: skip
        assert r.frames == want.frames and list(r) == recs
        for i in (0, 699, 700, 1401, len(recs) - 34, -1):
            assert r[i] == recs[i]
        assert r[650:1450] == recs[650:1450] and r[::97] == recs[::97]
        assert [len(b) for b in r.iter_batches()] == [len(b) for b in want.iter_batches()]
        if want.dtype is not None:
            assert np.array_equal(r.to_numpy(), want.to_numpy())
            assert np.array_equal(r.to_numpy(start=690, stop=2_590), want.to_numpy(start=690, stop=2_590))  # fmt: skip
        pa = pytest.importorskip("pyarrow")
        assert pa.table(r).equals(want.to_arrow())
        assert dx.validate(target, storage_options=options).problems == []
        if where != "fileobj":
            again = pickle.loads(pickle.dumps(r))
            assert again.path == r.path and list(again) == recs


def test_a_read_fetches_the_zone_once_and_frames_close_together_at_once(tmp_path, monkeypatch):  # fmt: skip
    """A small object opens and reads in one request (the bytes past the zone come with it).
    Without them, a whole read is one request for the frames' headers (their sizes) and one
    for the frames, or one per request's worth of frames; one record is one frame."""
    path = tmp_path / "f.drelix"
    rows = records(1_000)
    with dx.create(path, SCHEMA, frame_records=100) as w:
        w.write(rows)
        w.seal()
    for ahead, reads in ((64 << 10, [1, 0, 0]), (0, [1, 2, 1])):
        monkeypatch.setattr(_remote, "_AHEAD", ahead)
        f = Counted(path.read_bytes())
        with dx.open(f) as r:
            assert f.reads == reads[0]
            assert np.array_equal(r.to_numpy(), rows) and f.reads == sum(reads[:2])
            assert r[555] == rows[555].tobytes() and f.reads == sum(reads)
    # Batches in order: each frame is on its way before it is asked for, none twice.
    f = Counted(path.read_bytes())
    with dx.open(f) as r:
        sizes, f.reads = [x.content_size for x in r.frames], 0
        batches = r.iter_batches()
        for k in range(10):
            assert np.array_equal(next(batches), rows[k * 100 : k * 100 + 100])
            assert list(r._src._ahead) == ([(k + 1,)] if k < 9 else [])
        assert next(batches, None) is None and f.reads == 10 and sizes
    # Two frames' worth a request: the frames (their sizes now known) in five.
    monkeypatch.setattr(_remote, "_REQUEST_BYTES", 2 * max(x.length for x in r.frames))
    f.reads = 0
    with dx.open(f) as r:
        assert len(r.frames) == 10  # their sizes, in hand from here on
        f.reads = 0
        assert np.array_equal(r.to_numpy(), rows) and f.reads == 5


@pytest.mark.parametrize("where", ["s3", "memory"])
def test_a_damaged_remote_frame_raises_naming_the_object_and_frame_and_validate_reports_it(where, tmp_path, request):  # fmt: skip
    path = tmp_path / "f.drelix"
    rows = records(300)
    with dx.create(path, SCHEMA, frame_records=100) as w:
        w.write(rows)
        w.seal()
    with dx.open(path) as r:
        at = r.preamble.header_area + 16 + r.frames[1].offset + r.frames[1].length // 2
    data = bytearray(path.read_bytes())
    data[at] ^= 0x40
    path.write_bytes(data)
    target, options = place(where, path, request)
    with dx.open(target, storage_options=options) as r:
        assert r[5] == rows[5].tobytes()  # frame 0 reads
        with pytest.raises(dx.DrelixMalformedError, match=r"frame 1: checksum mismatch") as e:
            r.to_numpy()
        assert target in str(e.value)
    problems = dx.validate(target, storage_options=options).problems
    assert problems == dx.validate(path).problems and problems[0].startswith("frame 1: checksum")  # fmt: skip


def test_writes_to_an_object_are_refused_and_create_nothing_here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "f.drelix"
    dx.create(path, SCHEMA).close()
    url = "memory://drelix-tests/w.drelix"
    fsspec.filesystem("memory").pipe(url, path.read_bytes())
    for write in (
        lambda: dx.create("memory://drelix-tests/new.drelix", SCHEMA),
        lambda: dx.open(url, "a", storage_options={"anon": True}),
        lambda: dx.create(url, SCHEMA, storage_options={}),
        lambda: dx.repack(url),
        lambda: dx.rebuild_headers(url, fix=True),
        lambda: dx.create(io.BytesIO(), SCHEMA),
    ):
        with pytest.raises(dx.DrelixUsageError, match="cannot be: write a local file and upload it"):  # fmt: skip
            write()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.drelix"]
    assert not fsspec.filesystem("memory").exists("memory://drelix-tests/new.drelix")
    # file:// names a local file: everything works on it.
    with dx.open(f"file://{path}", "a") as w:
        w.append(bytes(DTYPE.itemsize))
    assert len(dx.open(f"file://{path}")) == 1


def test_a_missing_object_and_a_failing_store_raise_their_own_errors(bucket, tmp_path, monkeypatch):  # fmt: skip
    url, _, options = bucket
    monkeypatch.setattr(_remote, "_AHEAD", 0)
    with pytest.raises(FileNotFoundError):
        dx.open(f"{url}/none.drelix", storage_options=options)

    class Failing(io.BytesIO):
        def read(self, n=-1):
            if self.tell() > 0:
                raise ConnectionResetError("the connection dropped")
            return super().read(n)

    path = tmp_path / "f.drelix"
    with dx.create(path, SCHEMA, frame_records=100) as w:
        w.write(records(300))
    with dx.open(Failing(path.read_bytes())) as r, pytest.raises(ConnectionResetError):
        r.to_numpy()
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(dx.open(io.BytesIO(path.read_bytes())))
    with pytest.raises(TypeError, match="storage_options"):
        dx.open(path, storage_options={"anon": True})


def test_refresh_and_follow_take_an_object_replaced_by_longer_ones_until_one_is_sealed(bucket, tmp_path):  # fmt: skip
    url, fs, options = bucket
    path, rows, key = tmp_path / "f.drelix", records(300), f"{url}/f.drelix"
    with dx.create(path, SCHEMA, frame_records=100) as w:
        w.write(rows[:150])
    fs.put(str(path), key)
    got = []
    follow = dx.follow(key, poll=0.02, timeout=30, storage_options=options)
    follower = threading.Thread(target=lambda: got.extend(follow))
    follower.start()
    with dx.open(key, storage_options=options) as r:
        assert len(r) == 150 and r.refresh() == 0
        deadline = time.monotonic() + 30
        while len(got) < 150 and time.monotonic() < deadline:
            time.sleep(0.01)
        with dx.open(path, "a") as w:
            w.write(rows[150:])
            w.seal()
        fs.put(str(path), key)
        assert r.refresh() == 150 and r.sealed
        assert np.array_equal(r.to_numpy(), rows)
    follower.join(60)
    assert got == [r.tobytes() for r in rows]
