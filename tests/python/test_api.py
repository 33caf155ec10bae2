"""The public API, `import drelix_binary as dx`, against real files."""

import errno
import pickle
import struct

import drelix_binary as dx
import numpy as np
import pytest
from conftest import DTYPE, records
from drelix_binary import _native

SCHEMA = dx.schema("telemetry@1", DTYPE)
REC = bytes(DTYPE.itemsize)


@pytest.fixture(params=[(False, 0, True, 33), (False, 19, False, 0), (True, 3, False, 33), (True, 0, True, 0)],
                ids=["fixed-raw-sealed-tail", "fixed-19", "prefixed-tail", "prefixed-raw-sealed"])  # fmt: skip
def written(request, tmp_path):
    """2500 records through every writing call, `tail` more left in the tail by an append that
    an exception ends: (path, records as bytes, tail, sealed, prefixed)."""
    prefixed, level, sealed, tail = request.param
    n, arr = 2500, records(2500 + tail)
    recs = [struct.pack("<I", i) + b"x" * (i % 40) for i in range(n + tail)] if prefixed else [r.tobytes() for r in arr]  # fmt: skip
    schema = dx.schema("log@1", {"seq": "u32"}, layout="prefixed") if prefixed else SCHEMA  # fmt: skip
    path = tmp_path / "f.drelix"
    with dx.create(path, schema, level=level, frame_records=700, user={"site": "lab"}) as w:  # fmt: skip
        w.append(bytearray(recs[0]))
        w.append(memoryview(recs[1]))
        w.extend(recs[2:300])
        if prefixed:
            w.write_bodies([memoryview(b) for b in recs[300:2000]])
        else:
            w.write(np.repeat(arr[300:2000], 2)[::2])  # strided: made contiguous
            w.append(arr[2000])  # a numpy row
        w.extend(recs[2001 if not prefixed else 2000 : n])
        if sealed:
            w.seal()
    if tail:
        with pytest.raises(KeyError), dx.open(path, "a") as w:
            w.extend(recs[n:])
            raise KeyError("the records stay in the tail")
    return path, recs, tail, sealed, prefixed


def test_every_record_written_reads_back_in_its_frame_or_the_tail_through_every_read(written):
    path, recs, tail, sealed, prefixed = written
    with dx.open(path) as r:
        assert len(r) == len(recs) and list(r) == recs and r.user_headers == {"site": "lab"}  # fmt: skip
        assert r.sealed is sealed and r.tail_torn_bytes == 0 and r.tail_records == tail
        assert [f.id for f in r.frames] == list(range(len(r.frames)))
        assert all(0 < f.records <= 700 for f in r.frames)
        assert sum(f.records for f in r.frames) + tail == len(recs)
        for i in (0, 699, 700, 1401, len(recs) - tail - 1, len(recs) - 1, -1, -len(recs)):  # fmt: skip
            assert r[i] == recs[i]
        for s in (slice(650, 1450), slice(None, None, 97), slice(-40, None), slice(None, 5, -3), slice(5, 5)):  # fmt: skip
            assert r[s] == recs[s]
        with pytest.raises(IndexError):
            r[len(recs)]
    assert dx.validate(path).problems == []
    r = dx.open(path)  # batches, NumPy, Arrow and pandas
    # The Arrow stream: a batch per frame and one for the tail, as to_arrow gives them.
    import pyarrow as pa

    stream = list(r.to_arrow_reader())
    assert [b.num_rows for b in stream] == [len(b) for b in r.iter_batches()]
    assert pa.table(r).equals(r.to_arrow()) and pa.Table.from_batches(stream).equals(r.to_arrow())
    if prefixed:
        assert [b for batch in r.iter_batches() for b in batch] == recs
        assert r.to_arrow().column("record").to_pylist() == recs
        with pytest.raises(dx.DrelixUsageError):
            r.to_numpy()
        return
    expected = np.frombuffer(b"".join(recs), DTYPE)
    assert r.dtype == DTYPE
    np.testing.assert_array_equal(r.to_numpy(), expected)
    np.testing.assert_array_equal(r.to_numpy(1399, -5), expected[1399:-5])
    batches = list(r.iter_batches())  # a frame each, and the tail unless empty
    assert len(batches) == len(r.frames) + (tail > 0)
    np.testing.assert_array_equal(np.concatenate(batches), expected)
    assert all(f.content_size == f.records * DTYPE.itemsize for f in r.frames)
    py = {n: expected[n].tolist() for n in DTYPE.names}
    py["key"] = [bytes(k) for k in expected["key"]]
    table, frame = r.to_arrow(), r.to_pandas(["value", "key"])
    assert str(table.schema.field("key").type) == "fixed_size_binary[16]"
    assert table.to_pydict() == py and list(frame.columns) == ["value", "key"]
    assert frame.to_dict("list") == {"value": py["value"], "key": py["key"]}
    cut = r.to_arrow_reader(["value", "key"])
    assert cut.schema.names == ["value", "key"] and cut.read_all().to_pydict() == frame.to_dict("list")  # fmt: skip
    with pytest.raises(dx.DrelixUsageError, match="no field named 'nope'"):
        r.to_arrow_reader(["nope"])
    with dx.create(f"{path}.raw", dx.schema("raw@1", {}, layout=DTYPE.itemsize)) as w:
        w.extend(recs)  # records without fields: one fixed-size binary column
    assert pa.table(dx.open(f"{path}.raw")).column("record").to_pylist() == recs


@pytest.mark.parametrize("fields, shown", [(np.dtype([("a", "<f4")]), "'<f4'"), (np.dtype([("a", ">u8")]), "'>u8'"),
                                           ({"a": "int32"}, "'int32'"), (np.dtype([("a", "?")]), "'|b1'")])  # fmt: skip
def test_a_field_type_the_format_lacks_is_refused_with_the_types_it_has(fields, shown):
    with pytest.raises(dx.DrelixUsageError, match=f"{shown}.*u8 u16 u32 u64 i64 f64 uuid"):
        dx.schema("s@1", fields)


def test_schema_offsets_follow_the_fields_and_dtype_of_inverts_schema():
    s = dx.schema("t@1", {"a": "u8", "b": "u16", "c": "uuid", "d": "f64"}, layout=40)
    assert [(f.ty, f.offset) for f in s.fields] == [("u8", 0), ("u16", 1), ("uuid", 3), ("f64", 19)]  # fmt: skip
    assert s.layout == dx.RecordLayout.fixed(40) and dx.dtype_of(s).itemsize == 40
    assert dx.schema("t@1", dx.dtype_of(s)) == s
    odd = dx.Schema("o@1", [dx.FieldSpec("x", "i32", 0), dx.FieldSpec("y", "u64", 4)], dx.RecordLayout.fixed(8))  # fmt: skip
    with pytest.raises(dx.DrelixUsageError, match="overrides"):
        dx.dtype_of(odd)
    with pytest.raises(dx.DrelixUsageError, match="past the end"):
        dx.dtype_of(odd, overrides={"x": "<i4"})


def test_frames_close_at_frame_bytes_and_writes_top_up_the_open_frame(tmp_path):
    with dx.create(tmp_path / "p.drelix", SCHEMA, frame_bytes=10 * DTYPE.itemsize) as w:
        w.extend([REC] * 25)  # frames of 10, 10, then 5 in the tail
        assert [f.records for f in w.frames] == [10, 10] and w.records == 25
        w.write(np.zeros(23, DTYPE))  # tops up the open frame, a frame, a short one
        assert [f.records for f in w.frames] == [10, 10, 10, 10, 8]
        w.write(np.zeros(4, DTYPE))  # less than a frame: into the tail
        assert len(w.frames) == 5 and w.records == 52
        frame = w.close_frame()
        assert frame == w.frames[5] and (frame.index, frame.records) == (5, 4)
        assert w.close_frame() is None
    # Length-prefixed bodies alike: a write tops up the open frame first.
    log = dx.schema("log@1", {}, layout="prefixed")
    with dx.create(tmp_path / "l.drelix", log, frame_records=10) as w:
        w.extend([b"ab"] * 25)
        w.write_bodies([b"c"] * 23)
        assert w.records == 48
    r = dx.open(tmp_path / "l.drelix")
    assert [len(r.frame_records(i)) for i in range(len(r.frames))] == [10, 10, 10, 10, 8]


@pytest.mark.parametrize("level, recorded", [(None, "0"), (5, "5")], ids=["the_files", "given"])
def test_a_reopened_writer_closes_frames_by_age_and_count_at_the_files_level_unless_given_one(tmp_path, monkeypatch, level, recorded):  # fmt: skip
    path, clock = tmp_path / "p.drelix", [1000.0]
    with dx.create(path, SCHEMA, level=0) as w:
        w.append(REC)
        w.close_frame()
    monkeypatch.setattr("drelix_binary._writer.time.monotonic", lambda: clock[0])
    policy = {"frame_seconds": np.float32(60), "frame_records": np.int64(3)}
    with dx.open(path, "a", level=level, **policy) as w:
        w.append(REC)
        clock[0] += 61
        w.append(REC)  # the frame is a minute old
        w.extend([REC] * 3)  # three records make a frame
    r = dx.open(path)
    assert [(f.id, f.records) for f in r.frames] == [(0, 1), (1, 2), (2, 3)]
    assert r.headers["_compression_level"] == recorded and r.to_numpy().tobytes() == REC * 6


@pytest.mark.parametrize("policy, error", [
    ({"frame_records": 0}, ValueError), ({"frame_records": 1}, None), ({"frame_bytes": 0}, ValueError),
    ({"frame_bytes": 1 << 30}, None), ({"frame_bytes": (1 << 30) + 1}, ValueError), ({"frame_seconds": 0}, ValueError),
    ({"frame_seconds": 0.5}, None), ({"frame_records": 1.5}, TypeError), ({"frame_records": float("nan")}, TypeError),
    ({"frame_records": True}, TypeError), ({"frame_bytes": 1.5}, TypeError), ({"frame_bytes": "64"}, TypeError),
    ({"frame_seconds": float("nan")}, ValueError), ({"frame_seconds": float("inf")}, ValueError),
    ({"frame_seconds": True}, TypeError), ({"frame_seconds": "1"}, TypeError)])  # fmt: skip
def test_frame_policy_values_are_checked_when_the_writer_opens(tmp_path, policy, error):
    path, new = tmp_path / "p.drelix", tmp_path / "n.drelix"
    dx.create(path, SCHEMA).close()
    for make, args in ((dx.create, (new, SCHEMA)), (dx.open, (path, "a"))):
        if error:
            with pytest.raises(error, match=next(iter(policy))):
                make(*args, **policy)
            assert not new.exists()
        else:
            make(*args, **policy).close()


def test_create_never_replaces_a_file_and_a_record_is_bytes_not_text(tmp_path):
    dx.create(tmp_path / "e.drelix", SCHEMA).close()
    with pytest.raises(FileExistsError) as caught:
        dx.create(tmp_path / "e.drelix", SCHEMA)
    assert caught.value.filename == str(tmp_path / "e.drelix")
    log = dx.create(tmp_path / "s.drelix", dx.schema("l@1", {}, layout="prefixed"))
    with pytest.raises(TypeError, match="str"):
        log.append("t")


@pytest.mark.parametrize("blocked", [lambda p: dx.open(p, "a"), dx.repack, lambda p: dx.rebuild_headers(p, True)],
                         ids=["append", "repack", "rebuild_fix"])  # fmt: skip
def test_a_writer_locks_out_other_writers_and_maintenance_but_not_readers(tmp_path, blocked):
    """The lock is the file's: another process is refused alike (test_cli's maintenance)."""
    path = str(tmp_path / "l.drelix")
    w = dx.create(path, SCHEMA)
    w.append(REC)
    with pytest.raises(dx.DrelixLockedError) as caught:
        blocked(path)
    assert (caught.value.errno, caught.value.filename) == (errno.EAGAIN, path)
    assert len(dx.open(path)) == 0  # readers take no lock; the record is still buffered
    w.close()
    dx.open(path, "a").close()
    assert len(dx.open(path)) == 1


def test_values_errors_and_readers_pickle_and_a_writer_does_not(tmp_path):
    path = tmp_path / "pk.drelix"
    with dx.create(path, SCHEMA, frame_records=400) as w:
        w.write(records(1000))
    r = dx.open(path)
    values = [r.schema, r.layout, r.preamble, r.frames[0], r.schema.fields[2], dx.validate(path)]  # fmt: skip
    for value in values + [dx.DrelixZoneFullError("full"), dx.DrelixLockedError(str(path))]:  # fmt: skip
        back = pickle.loads(pickle.dumps(value))
        assert type(back) is type(value)
        assert back == value if value in values else back.args == value.args
    back = pickle.loads(pickle.dumps(r))  # a reader reopens its path
    assert (back.path, len(back), back.to_numpy()["id"].sum()) == (r.path, 1000, sum(range(1000)))  # fmt: skip
    assert pickle.loads(pickle.dumps(_native.validate(str(path)))) == dx.validate(path)
    with pytest.raises(TypeError, match="pickle the path"):
        pickle.dumps(dx.open(path, "a"))


def test_duckdb_polars_and_pyarrow_read_a_reader_through_the_arrow_stream(tmp_path):
    """Each takes the Reader itself, without the file being materialised first: a group-by in
    DuckDB, a Polars DataFrame and a pyarrow Table agree with NumPy over frames and a tail."""
    duckdb, pl, pa = (pytest.importorskip(m) for m in ("duckdb", "polars", "pyarrow"))
    dtype = np.dtype([("sensor", "<u4"), ("value", "<f8")])
    rows = np.zeros(2_345, dtype)
    rows["sensor"], rows["value"] = np.arange(len(rows)) % 7, np.arange(len(rows)) / 3
    with dx.create(tmp_path / "t.drelix", dx.schema("t@1", dtype), frame_records=1_000) as w:
        w.write(rows[:2_300])
        w.extend(rows[2_300:])  # the tail
        w.flush()
        r = dx.open(tmp_path / "t.drelix")
        assert (len(r.frames), r.tail_records) == (3, 45)
    means = duckdb.sql("select sensor, avg(value), count(*) from r group by sensor order by 1").fetchall()  # fmt: skip
    want = [(k, rows["value"][rows["sensor"] == k].mean(), int((rows["sensor"] == k).sum())) for k in range(7)]  # fmt: skip
    assert [(k, pytest.approx(m), n) for k, m, n in means] == want
    assert pl.DataFrame(r).to_dict(as_series=False) == {n: rows[n].tolist() for n in dtype.names}
    assert pa.table(r).equals(r.to_arrow())
