"""Drelix files as Dask collections, on the synchronous scheduler and on a real two-process
local cluster (loopback only), so that every task payload, schema and error crosses a pickle."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import dask
import drelix_binary as dx
import drelix_binary.dask as ddx

DTYPE = np.dtype(
    [
        ("sensor", "<u2"),
        ("flag", "u1"),
        ("seq", "<u8"),
        ("delta", "<i8"),
        ("value", "<f8"),
        ("key", "V16"),
    ]
)


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as lc,
        distributed.Client(lc, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture(params=["sync", "cluster"])
def scheduler(request):
    """Compute keyword arguments for one scheduler."""
    if request.param == "sync":
        return {"scheduler": "sync"}
    return {"scheduler": request.getfixturevalue("cluster")}


def records(n, seed):
    rng = np.random.default_rng(seed)
    a = np.zeros(n, DTYPE)
    a["sensor"] = rng.integers(0, 40, n)
    a["flag"] = rng.integers(0, 256, n)
    a["seq"] = np.arange(seed * 10**6, seed * 10**6 + n)
    a["delta"] = rng.integers(-(2**62), 2**62, n)
    a["value"] = rng.normal(size=n)
    a["key"] = np.frombuffer(rng.bytes(16 * n), "V16")
    return a


def write_file(path, frames, tail=(), schema=None):
    """A file with one frame per item of `frames` (an array, or record bodies), then `tail`
    records left unframed, as a writer that has not closed its last frame leaves them."""
    with dx.create(path, schema or dx.schema("reading@1", DTYPE)) as w:
        for a in frames:
            w.write(a) if isinstance(a, np.ndarray) else w.write_bodies(a)
            w.close_frame()
    appender = dx._native.Container.open_append(str(path))
    for r in tail:
        appender.append_record(r if isinstance(r, bytes) else r.tobytes())
    appender.flush_data()
    return str(path)


@pytest.fixture
def files(tmp_path):
    """Three files (frames of different sizes, two with a tail) and their records per frame."""
    layout = {"a": ([50, 7, 30], 5), "b": ([1], 0), "c": ([20, 20], 3)}
    out = {}
    for seed, (name, (sizes, tail)) in enumerate(layout.items(), 1):
        arrays = [records(n, seed * 10 + i) for i, n in enumerate(sizes)]
        tail_arr = records(tail, seed * 10 + 9)
        out[write_file(tmp_path / f"{name}.drelix", arrays, tail_arr)] = (
            arrays,
            tail_arr,
        )
    return out


def as_records(pdf):
    """A partition back as a structured array of DTYPE, uuid bytes included."""
    a = np.zeros(len(pdf), DTYPE)
    for name in DTYPE.names:
        a[name] = (
            np.array(pdf[name].tolist(), DTYPE[name]) if name == "key" else pdf[name]
        )
    return a


@pytest.mark.parametrize(
    "frames_per_partition, partition_bytes, include_tail, expected",
    [
        # units per file: a = 3 frames + tail, b = 1 frame, c = 2 frames + tail
        (1, None, True, [[0], [1], [2], ["t"], [0], [0], [1], ["t"]]),
        (2, None, True, [[0, 1], [2, "t"], [0], [0, 1], ["t"]]),
        (1, None, False, [[0], [1], [2], [0], [0], [1]]),
        # automatic sizing, by decoded bytes: 50 + 7 records fit, 30 more do not
        (None, 60 * DTYPE.itemsize, True, [[0, 1], [2, "t"], [0], [0, 1, "t"]]),
        (None, None, False, [[0, 1, 2], [0], [0, 1]]),
    ],
)
def test_partitions_are_runs_of_frames(
    files, monkeypatch, frames_per_partition, partition_bytes, include_tail, expected
):
    if partition_bytes:
        monkeypatch.setattr(ddx, "PARTITION_BYTES", partition_bytes)
    df = ddx.read_drelix(
        sorted(files),
        frames_per_partition=frames_per_partition,
        include_tail=include_tail,
    )
    # The runs of `expected` belong to files a, b and c in turn.
    it, want = iter(expected), []
    for arrays, tail in files.values():
        units = len(arrays) + (1 if include_tail and len(tail) else 0)
        while units:
            run = next(it)
            want.append(np.concatenate([tail if u == "t" else arrays[u] for u in run]))
            units -= len(run)
    assert df.npartitions == len(want)
    bounds = np.cumsum([0] + [len(w) for w in want])
    assert df.divisions == tuple(bounds[:-1]) + (bounds[-1] - 1,)
    parts = dask.compute(*df.to_delayed(), scheduler="sync")
    for got, w, start in zip(parts, want, bounds):
        assert list(got.index) == list(range(start, start + len(w)))
        assert np.array_equal(as_records(got), w)


def test_round_trip_many_files(tmp_path, files, scheduler):
    df = ddx.read_drelix(sorted(files), frames_per_partition=1)
    schema = dx.schema("reading@1", DTYPE)
    paths = ddx.to_drelix(df, tmp_path / "out", schema=schema, compute_kwargs=scheduler)
    assert [os.path.basename(p) for p in paths] == [
        f"part.{i}.drelix" for i in range(8)
    ]
    back = ddx.read_drelix(tmp_path / "out")
    assert back.divisions == df.divisions
    want = np.concatenate([np.concatenate([*a, t]) for a, t in files.values()])
    assert np.array_equal(as_records(back.compute(**scheduler)), want)
    with dx.open(paths[3]) as r:
        assert r.sealed and r.schema == schema and not r.tail_records


@pytest.mark.parametrize(
    "select",
    [
        lambda p: ddx.read_drelix(p, columns=["value", "key"]),
        lambda p: ddx.read_drelix(p)[["value", "key"]],  # pushed down into the read
    ],
)
def test_column_selection(files, select, monkeypatch):
    asked = []
    call = ddx._ReadPartition.__call__
    monkeypatch.setattr(
        ddx._ReadPartition,
        "__call__",
        lambda self, part, columns=None: (
            asked.append(columns) or call(self, part, columns)
        ),
    )
    got = select(sorted(files)).compute(scheduler="sync")
    assert asked and all(list(c) == ["value", "key"] for c in asked)
    assert list(got.columns) == ["value", "key"]
    want = np.concatenate([np.concatenate([*a, t]) for a, t in files.values()])
    assert np.array_equal(got["value"].to_numpy(), want["value"])
    assert got["key"].tolist() == [bytes(k) for k in want["key"]]


def test_unknown_column_and_differing_schemas_are_refused(tmp_path, files):
    with pytest.raises(dx.DrelixUsageError, match="no column 'nope'"):
        ddx.read_drelix(sorted(files), columns=["nope"])
    other = {
        "name": dx.schema("other@1", DTYPE),
        "field": dx.schema("reading@1", np.dtype(DTYPE.descr[:-1])),
        "layout": dx.schema("reading@1", {"sensor": "u16"}, layout="prefixed"),
    }
    for why, schema in other.items():
        odd = write_file(tmp_path / f"z-{why}.drelix", [], schema=schema)
        with pytest.raises(dx.DrelixUsageError, match="schemas differ") as e:
            ddx.read_drelix(sorted(files) + [odd])
        assert min(files) in str(e.value) and odd in str(e.value), why


@pytest.mark.parametrize("collection", ["dataframe", "bag"])
def test_damaged_frame_is_reported_from_a_worker(files, cluster, collection):
    path = sorted(files)[2]
    with dx.open(path) as r:
        frame = r.frames[1]
        start = 16 + r.preamble.header_area + frame.offset
    with open(path, "r+b") as f:  # one flipped byte in the middle of frame 1 of file c
        f.seek(start + frame.length // 2)
        byte = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([byte[0] ^ 0x5A]))
    read = ddx.read_drelix if collection == "dataframe" else ddx.read_drelix_bag
    with pytest.raises(
        dx.DrelixMalformedError, match=re.escape(f"{path}: frame 1 (id {frame.id})")
    ):
        read(sorted(files), frames_per_partition=1).compute(scheduler=cluster)


def test_prefixed_logs_as_bag_and_dataframe(tmp_path, scheduler):
    schema = dx.schema("log@1", {}, layout="prefixed")
    # File k: one frame of lines[2k], then lines[2k + 1] left in the tail.
    lines = [
        [f"line {f}.{i} ".encode() * (i % 5 + 1) for i in range(n)]
        for f, n in enumerate([3, 40, 1, 9])
    ]
    for k in range(2):
        write_file(
            tmp_path / f"log{k}.drelix", [lines[2 * k]], lines[2 * k + 1], schema
        )
    every = [b for chunk in lines for b in chunk]
    bag = ddx.read_drelix_bag(tmp_path / "*.drelix", frames_per_partition=1)
    assert bag.npartitions == 4 and bag.compute(**scheduler) == every
    df = ddx.read_drelix(tmp_path, include_tail=False)
    assert not df.known_divisions
    assert df["record"].compute(**scheduler).tolist() == lines[0] + lines[2]
    out = ddx.to_drelix(
        ddx.read_drelix(tmp_path),
        tmp_path / "copy",
        schema=schema,
        compute_kwargs=scheduler,
    )
    assert ddx.read_drelix_bag(out).compute(**scheduler) == every


def test_retried_write_replaces_only_its_own_partial_output(tmp_path):
    import pandas as pd

    out = tmp_path / "out"
    out.mkdir()
    # What a killed attempt of partition 1 leaves: a partial file and a half-written journal.
    (out / ".part.1.drelix.partial").write_bytes(b"DRELIX\x01\x01junk")
    (out / ".part.1.drelix.partial.seal").write_bytes(b"half a journal")
    (out / "unrelated.txt").write_text("keep me")
    source = pd.DataFrame({"x": np.arange(10, dtype="<u4")})
    paths = ddx.to_drelix(
        dd.from_pandas(source, npartitions=2), out, compute_kwargs={"scheduler": "sync"}
    )
    assert sorted(os.listdir(out)) == [
        "part.0.drelix",
        "part.1.drelix",
        "unrelated.txt",
    ]
    again = ddx.to_drelix(
        dd.from_pandas(source + 1, npartitions=2),
        out,
        compute_kwargs={"scheduler": "sync"},
    )
    assert again == paths
    with dx.open(paths[0]) as r:  # the columns' types make the schema
        assert r.schema == dx.schema("dataframe", {"x": "u32"})
    assert ddx.read_drelix(out / "part.*.drelix")["x"].compute(
        scheduler="sync"
    ).tolist() == list(range(1, 11))


def test_importing_the_package_does_not_import_dask():
    code = "import sys, drelix_binary; assert 'dask' not in sys.modules, 'dask was imported'"
    subprocess.run([sys.executable, "-c", code], check=True)
