"""Drelix files as Dask collections: planning on the synchronous scheduler, and a real
two-process local cluster (loopback only), where every task payload, schema and error crosses
a pickle."""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import dask
import drelix_binary as dx
import drelix_binary.dask as ddx
import pandas as pd
from conftest import DTYPE, records, write_file
from drelix_binary._backend import FileSource

READING = dx.schema("reading@1", DTYPE)


@pytest.fixture
def files(tmp_path):
    """Files a (3 frames and a tail), b (1 frame), c (2 frames and a tail): their records."""
    out = {}
    for seed, (name, sizes, tail) in enumerate([("a", [50, 7, 30], 5), ("b", [1], 0), ("c", [20, 20], 3)], 1):  # fmt: skip
        arrays = [records(n, s, s * 10**6) for s, n in enumerate(sizes, seed * 10)]
        tail = records(tail, seed * 10 + 9)
        path = write_file(tmp_path / f"{name}.drelix", arrays, tail, READING)
        out[path] = (arrays, tail)
    return out


def as_records(pdf):
    a = np.zeros(len(pdf), DTYPE)
    for name in DTYPE.names:
        a[name] = np.array(pdf[name].tolist(), DTYPE[name]) if name == "key" else pdf[name]  # fmt: skip
    return a


def every(files, tail=True):
    return np.concatenate([np.concatenate([*a, t] if tail else a) for a, t in files.values()])


SYNC = {"scheduler": "sync"}


@pytest.mark.parametrize("frames_per_partition, partition_bytes, include_tail, sizes", [
    (2, None, True, [57, 35, 1, 40, 3]), (1, None, False, [50, 7, 30, 1, 20, 20]),
    (None, 60 * DTYPE.itemsize, True, [57, 35, 1, 43]), (None, None, False, [87, 1, 40])],
    ids=["two_frames", "one_frame_no_tail", "by_bytes", "whole_files"])  # fmt: skip
def test_partitions_follow_frames_bytes_and_the_tail(files, monkeypatch, frames_per_partition, partition_bytes, include_tail, sizes):  # fmt: skip
    """Partition sizes in records: a (frames of 50, 7, 30, a tail of 5), b (1), c (20, 20, 3)."""
    if partition_bytes:
        monkeypatch.setattr(ddx, "PARTITION_BYTES", partition_bytes)
    df = ddx.read_drelix(sorted(files), frames_per_partition=frames_per_partition, include_tail=include_tail)  # fmt: skip
    read, bounds = every(files, include_tail), np.cumsum([0] + sizes)
    assert df.npartitions == len(sizes) and df.divisions == (*bounds[:-1], bounds[-1] - 1)
    for got, start, stop in zip(dask.compute(*df.to_delayed(), **SYNC), bounds, bounds[1:]):
        assert list(got.index) == list(range(start, stop))
        assert np.array_equal(as_records(got), read[start:stop])


@pytest.mark.parametrize("select", [lambda p: ddx.read_drelix(p, columns=["value", "key"]),
                                    lambda p: ddx.read_drelix(p)[["value", "key"]]], ids=["columns", "selection"])  # fmt: skip
def test_selected_columns_are_read(files, select):
    got = select(sorted(files)).compute(**SYNC)
    assert list(got.columns) == ["value", "key"] and np.array_equal(got["value"], every(files)["value"])  # fmt: skip
    assert got["key"].tolist() == [bytes(k) for k in every(files)["key"]]
    with pytest.raises(dx.DrelixUsageError, match="no column 'nope'"):
        ddx.read_drelix(sorted(files), columns=["nope"])


def test_files_of_differing_schemas_are_refused_naming_both(files, tmp_path):
    # A file whose schema lacks the last field (Schema's equality is test_native's).
    odd = write_file(tmp_path / "z.drelix", [], schema=dx.schema("reading@1", np.dtype(DTYPE.descr[:-1])))  # fmt: skip
    with pytest.raises(dx.DrelixUsageError, match="schemas differ") as e:
        ddx.read_drelix(sorted(files) + [odd])
    assert min(files) in str(e.value) and odd in str(e.value)


SOURCE = pd.DataFrame({"x": np.arange(10, dtype="<u4")})


def test_a_retried_partition_write_replaces_only_its_own_partial_output(tmp_path):
    """What a killed attempt of partition 1 leaves: a partial file and a half-written journal;
    the task dask runs again for it cleans them up."""
    (tmp_path / ".part.1.drelix.partial").write_bytes(b"DRELIX\x01\x01junk")
    (tmp_path / ".part.1.drelix.partial.seal").write_bytes(b"half a journal")
    (tmp_path / ".part.2.drelix.partial").write_bytes(b"another task's")
    ddx._write_partition(SOURCE, str(tmp_path / "part.1.drelix"), dx.schema("dataframe", {"x": "u32"}), {}, 1)  # fmt: skip
    assert sorted(os.listdir(tmp_path)) == [".part.2.drelix.partial", "part.1.drelix"]


def test_to_drelix_overwrites_only_when_told_and_then_only_drelix_files(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    for name in ("part.7.drelix", "part.7.drelix.seal", ".part.2.drelix.partial", "unrelated.txt"):  # fmt: skip
        (out / name).write_text("old")
    with pytest.raises(FileExistsError, match="not empty; pass overwrite=True"):
        ddx.to_drelix(dd.from_pandas(SOURCE, npartitions=2), out, compute=False)
    assert len(os.listdir(out)) == 4
    paths = ddx.to_drelix(dd.from_pandas(SOURCE + 1, npartitions=2), out, compute_kwargs=SYNC, overwrite=True)  # fmt: skip
    assert sorted(os.listdir(out)) == ["part.0.drelix", "part.1.drelix", "unrelated.txt"]
    with dx.open(paths[0]) as r:  # the columns' types make the schema
        assert r.schema == dx.schema("dataframe", {"x": "u32"}) and r.sealed and not r.tail_records
    assert ddx.read_drelix(out)["x"].compute(**SYNC).tolist() == list(range(1, 11))


def test_a_column_no_field_type_holds_is_refused_before_any_directory_is_made(tmp_path):
    with pytest.raises(dx.DrelixUsageError, match="pass schema="):
        ddx.to_drelix(dd.from_pandas(pd.DataFrame({"x": ["text"]}), npartitions=2), tmp_path / "new" / "dir")  # fmt: skip
    assert not (tmp_path / "new").exists()


def test_dask_is_imported_only_when_its_module_is_used():
    code = """import sys, drelix_binary as dx; assert 'dask' not in sys.modules, 'dask was imported'
assert dx.dask.read_drelix and 'dask' in sys.modules
assert not hasattr(dx, 'pandas'), 'only dask is a lazy attribute'"""
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("schema", [READING, dx.schema("log@1", {}, layout="prefixed")], ids=["fixed", "prefixed"])  # fmt: skip
def test_a_file_that_changes_after_planning(tmp_path, schema, monkeypatch):
    chunks = [records(9, 1), records(4, 2), records(5, 3)]  # two frames and a tail
    if schema.layout.fixed_size is None:
        chunks = [[bytes(r)[: i % 40] for i, r in enumerate(c)] for c in chunks]
    path = write_file(tmp_path / "f.drelix", chunks[:2], chunks[2], schema)
    planned = [bytes(r) for chunk in chunks for r in chunk]
    bag = ddx.read_drelix_bag(path, frames_per_partition=1)
    late = bytes(records(1, 4)[0])[: schema.layout.fixed_size or 11]

    def close(*bodies):  # the tail into a frame, then more records
        with dx.open(path, "a") as w:
            w.close_frame()
            w.extend(bodies)

    # Another process closes the tail into a frame and appends; then this process does.
    subprocess.run([sys.executable, "-c", f"import drelix_binary as dx\nwith dx.open({path!r}, 'a') as w: w.close_frame(); w.append({late!r})"], check=True)  # fmt: skip
    assert bag.compute(scheduler="sync") == planned
    close(late)
    assert bag.compute(scheduler="sync") == planned
    if schema.layout.fixed_size is None:
        # A close between the task's opening of the file and its tail read: the bytes read
        # are then the new frame's, until the task sees the close and reads again.
        tail = dx._native.Container.open_append(path)
        tail.append_record(late)
        del tail  # writes the tail, unclosed
        planned, bag, read_tail, raced = planned + [late] * 3, ddx.read_drelix_bag(path), dx.Reader._tail_bodies, []  # fmt: skip

        def racing(reader):
            if not raced:
                raced.append(reader)
                close(*[late] * 50)
            return read_tail(reader)

        monkeypatch.setattr(dx.Reader, "_tail_bodies", racing)
        assert bag.compute(scheduler="sync") == planned
    dx.repack(path, level=0)  # the same records in rewritten frames
    with pytest.raises(dx.DrelixMalformedError, match=re.escape(f"{path}: the file changed since planning")):  # fmt: skip
        bag.compute(scheduler="sync")


@pytest.mark.parametrize("values, ty, refused", [  # refused: the first value shown, None: all kept
    ([0.0, np.nan], "i64", "nan"), ([1.0, -np.inf], "u64", "-inf"), ([2.0, 1.5], "i64", "1.5"),
    ([3, -1], "u64", "-1"), ([7, 300], "u8", "300"), ([1, 2**64], "u64", "18446744073709551616"),
    ([1, 2**63], "i64", "9223372036854775808"), ([-1.0, 2.0**63], "i64", "9.223372036854776e+18"),
    ([-3.0, 2.0**62], "i64", None), ([255.0, 0.0], "u8", None), ([True, False], "u8", None),
    ([2**64 - 1, 0], "u64", None), ([0.5, 7], "f64", None), ([b"k" * 16, b"short"], "uuid", "b'short'")])  # fmt: skip
def test_to_drelix_refuses_values_a_field_cannot_hold(tmp_path, values, ty, refused):
    with dask.config.set({"dataframe.convert-string": False}):
        df = dd.from_pandas(pd.DataFrame({"v": values}), npartitions=2)
    out, schema = tmp_path / "new" / "out", dx.schema("s", {"v": ty})
    if refused is None:
        ddx.to_drelix(df, out, schema=schema, compute_kwargs=SYNC)
        assert ddx.read_drelix(out)["v"].compute(**SYNC).tolist() == values
        return
    with pytest.raises(dx.DrelixUsageError, match=re.escape(f"partition 1: column 'v' holds {refused}, which a field of type {ty} cannot hold")):  # fmt: skip
        ddx.to_drelix(df, out, schema=schema, compute_kwargs=SYNC)
    assert not out.parent.exists()  # neither the directory nor a part


@pytest.mark.parametrize("columns", [None, ["key", "id"]], ids=["all", "key_and_id"])
def test_the_schema_read_travels_with_the_dataframe(tmp_path, files, columns):
    """uuid fields need no schema= on the way back."""
    frame = ddx.read_drelix(sorted(files))
    frame = frame[columns] if columns else frame
    ddx.to_drelix(frame, tmp_path / "back", compute_kwargs=SYNC)
    assert ddx.read_drelix(tmp_path / "back").compute(**SYNC).equals(frame.compute(**SYNC))
    want = dx.schema("dataframe", {"key": "uuid", "id": "u64"}) if columns else READING
    with dx.open(next((tmp_path / "back").iterdir())) as r:
        assert r.schema == want


@pytest.fixture(scope="module")
def client():
    """A real two-process local cluster: every task payload, schema and error crosses a pickle."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)  # fmt: skip
    with cluster, distributed.Client(cluster, set_as_default=False) as client:
        yield client


def test_a_cluster_reads_and_copies_prefixed_logs(tmp_path, client):
    """Log file k: one frame of lines[2k], then lines[2k + 1] in the tail."""
    log, logs = dx.schema("log@1", {}, layout="prefixed"), tmp_path / "logs"
    lines = [[f"line {f}.{i} ".encode() * (i % 5 + 1) for i in range(n)] for f, n in enumerate([3, 40, 1, 9])]  # fmt: skip
    logs.mkdir()
    for k in range(2):
        write_file(logs / f"log{k}.drelix", [lines[2 * k]], lines[2 * k + 1], log)
    every_line = [b for chunk in lines for b in chunk]
    bag = ddx.read_drelix_bag(logs / "*.drelix", frames_per_partition=1)
    assert bag.npartitions == 4 and bag.compute(scheduler=client) == every_line
    framed = ddx.read_drelix(logs, include_tail=False)
    assert not framed.known_divisions
    assert framed["record"].compute(scheduler=client).tolist() == lines[0] + lines[2]
    out = ddx.to_drelix(ddx.read_drelix(logs), tmp_path / "copy", compute_kwargs={"scheduler": client})  # fmt: skip
    assert ddx.read_drelix_bag(out).compute(scheduler=client) == every_line


@pytest.mark.parametrize("read", [ddx.read_drelix, ddx.read_drelix_bag], ids=["dataframe", "bag"])
def test_a_damaged_frame_is_reported_from_a_worker_naming_file_and_frame(files, client, read):
    path = sorted(files)[2]
    with dx.open(path) as r:
        frame = r.frames[1]
        at = 16 + r.preamble.header_area + frame.offset + frame.length // 2
    data = bytearray(Path(path).read_bytes())
    data[at] ^= 0x5A
    Path(path).write_bytes(bytes(data))
    with pytest.raises(dx.DrelixMalformedError, match=re.escape(f"{path}: frame 1 (id {frame.id})")):  # fmt: skip
        read(sorted(files), frames_per_partition=1).compute(scheduler=client)


def test_a_cluster_writes_and_reads_objects_with_the_options_given(client, bucket, files):
    """The workers know of the S3 server only from the storage_options the tasks carry."""
    url, fs, options = bucket
    kw = {"storage_options": options, "compute_kwargs": {"scheduler": client}}
    out = ddx.to_drelix(ddx.read_drelix(sorted(files)), url + "/copy", **kw)
    assert fs.ls(url[5:] + "/copy") == [u[5:] for u in out] and len(out) == 3
    got = ddx.read_drelix(url + "/copy/*.drelix", storage_options=options)
    assert np.array_equal(as_records(got.compute(scheduler=client)), every(files))


TS = dx.schema("ts@1", {"ts": "i64", "v": "f64"})


def series(directory, prefix="", index=("ts",), start=0):
    """Sealed files of 25 (frames 10, 10, 5), 30 (10, 10, 10) and 12 (10, 2) records, then a
    last file being written, its writer returned: a frame of 10, then 7 records in its tail.
    ts counts up from `start` across them."""
    a = np.zeros(84, dx.dtype_of(TS))
    a["ts"], a["v"] = np.arange(start, start + 84), np.arange(84) / 4
    w = dx.create_series(directory, TS, prefix=prefix, index=index, frame_records=10)
    for lo, hi in [(0, 25), (25, 55), (55, 67)]:
        w.write(a[lo:hi])
        w.rotate()
    w.write(a[67:77])
    w.extend(a[77:])
    w.flush()
    return w


@pytest.mark.parametrize("others, prefix", [([], None), (["b"], ""), (["", "x.drelix"], "b")],
                         ids=["one-series", "among-another-series", "prefix-b-beside-others"])  # fmt: skip
def test_a_series_directory_reads_as_its_files_in_order(tmp_path, others, prefix):
    """Read as open_series reads it, the last file's unsealed tail included (its writer still
    running); beside it, another series (`prefix` picks one) or a file of another schema."""
    for other in others:
        if other.endswith(".drelix"):
            write_file(tmp_path / other, [records(3, 1)], schema=READING)
        else:
            series(tmp_path, other, start=1000).close()  # one series writer per directory
    with series(tmp_path, prefix or ""):
        got = ddx.read_drelix(tmp_path, prefix=prefix, frames_per_partition=1).compute(**SYNC)
        with dx.open_series(tmp_path, prefix=prefix or "") as r:
            want = r.to_numpy()
        assert list(got.index) == list(range(84)) and np.array_equal(got["ts"], want["ts"])
        assert ddx.read_drelix_bag(tmp_path, prefix=prefix).compute(**SYNC) == [bytes(x) for x in want]  # fmt: skip


COMPARE = {"<": np.less, "<=": np.less_equal, ">": np.greater, ">=": np.greater_equal, "!=": np.not_equal}  # fmt: skip


@pytest.mark.parametrize("index, window, include_tail, looked_at, skipped", [
    (("ts",), [("ts", ">=", 30), ("ts", "<", 33)], True, {1}, (2, 8)),
    (("ts",), [("ts", ">=", 1000)], True, set(), (3, 9)),
    (("ts",), [("ts", ">=", 1000)], False, set(), (4, 9)),
    (("ts",), [("ts", "!=", 5)], True, {0, 1, 2, 3}, (0, 0)),
    ((), [("ts", ">=", 30), ("ts", "<", 33)], True, {0, 1, 2, 3}, (0, 0))],
    ids=["one-frame", "tail-only", "nothing", "not-equal", "no-statistics"])  # fmt: skip
def test_filters_skip_whole_files_from_their_zones(tmp_path, monkeypatch, index, window, include_tail, looked_at, skipped):  # fmt: skip
    """Files whose every frame the zone rules out get no partition and none of their frames
    is looked at, in planning or in tasks (the unsealed last file's tail is still read):
    `looked_at` are the files whose frames are; `skipped` (files, frames) of 4 and 9.
    The rows are those of a full read, masked, with their index."""
    with series(tmp_path, index=index):
        full = ddx.read_drelix(tmp_path, include_tail=include_tail).compute(**SYNC)
        files = [str(p) for p in sorted(tmp_path.glob("*.drelix"))]
        sized, content_sizes = [], FileSource.content_sizes
        monkeypatch.setattr(FileSource, "content_sizes", lambda s: sized.append(files.index(s.path)) or content_sizes(s))  # fmt: skip
        got = ddx.read_drelix(tmp_path, filters=window, include_tail=include_tail).compute(**SYNC)  # fmt: skip
        assert set(sized) == looked_at
        keep = np.logical_and.reduce([COMPARE[op](full[f].to_numpy(), v) for f, op, v in window])
        assert got.equals(full[keep])
        plan = ddx._planned(tmp_path, filters=window, include_tail=include_tail)
        assert (plan.counts.files_skipped, plan.counts.frames_skipped) == skipped
        assert len({p.path for p in plan.parts}) == 4 - skipped[0]
