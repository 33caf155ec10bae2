"""Dask over objects in a store: a real S3 server (moto's, on loopback) and fsspec's
in-process memory filesystem; read back against the same files read locally."""

from __future__ import annotations

import os
import re
import threading
import uuid
from itertools import chain
from typing import ClassVar

import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
fsspec = pytest.importorskip("fsspec")

import drelix_binary as dx
import drelix_binary.dask as ddx
import pandas as pd
from conftest import DTYPE, records, write_file
from drelix_binary import _remote
from fsspec.implementations.memory import MemoryFileSystem

READING, LOG = dx.schema("reading@1", DTYPE), dx.schema("log@1", {}, layout="prefixed")
TS = dx.schema("ts@1", {"ts": "i64", "v": "f64"})
SYNC, THREADS = {"scheduler": "sync"}, {"scheduler": "threads"}
NAMES = ["part.10.drelix", "part.2.drelix", "part.1.drelix"]  # natural order: 1, 2, 10


class Counted(MemoryFileSystem):
    """A memory filesystem of its own that notes every ranged read; while `together` is set,
    each read of a zone waits until that many are in flight at once."""

    protocol, store, pseudo_dirs = "counted", {}, [""]
    reads: ClassVar[list] = []
    together: ClassVar[threading.Barrier | None] = None

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(str(path).replace("counted://", "memory://", 1))

    def cat_file(self, path, start=None, end=None, **kwargs):
        self.reads.append((path, start, end))
        if start == 0 and self.together is not None:
            self.together.wait()
        return super().cat_file(path, start, end, **kwargs)


fsspec.register_implementation("counted", Counted, clobber=True)


@pytest.fixture(params=["s3", "memory"])
def store(request):
    """(URL of an empty prefix, its filesystem, storage_options)."""
    if request.param == "s3":
        url, fs, options = request.getfixturevalue("bucket")
        return url + "/tel", fs, options
    return f"memory://{uuid.uuid4().hex}", fsspec.filesystem("memory"), None


def chunks(schema, n, seed):
    """`n` records: structured for fixed layouts, bodies of varied lengths for prefixed."""
    rows = records(n, seed, seed * 1000)
    return rows if schema is READING else [bytes(r)[: (i + seed) % 40] for i, r in enumerate(rows)]  # fmt: skip


def upload(tmp_path, fs, prefix, schema, sealed, frames=(5, 3), tail=2):
    """NAMES written locally (frames, then a tail, or sealed), then uploaded under `prefix`."""
    (local := tmp_path / "local").mkdir(exist_ok=True)
    for k, name in enumerate(NAMES):
        path = write_file(local / name, [chunks(schema, n, k * 7 + i) for i, n in enumerate(frames)], chunks(schema, tail, k), schema)  # fmt: skip
        if sealed:
            with dx.open(path, "a") as w:
                w.seal()
        fs.put_file(path, f"{prefix}/{name}")
    return local


@pytest.mark.parametrize("schema, sealed, frames_per_partition", [
    (READING, True, None), (READING, False, 1), (LOG, True, 1), (LOG, False, None)],
    ids=["fixed-sealed", "fixed-tail", "prefixed-sealed", "prefixed-tail"])  # fmt: skip
def test_objects_read_as_the_same_files_on_disk(tmp_path, store, schema, sealed, frames_per_partition):  # fmt: skip
    url, fs, options = store
    local = upload(tmp_path, fs, url.split("://")[1], schema, sealed)
    kw = {"frames_per_partition": frames_per_partition}
    want = ddx.read_drelix(local / "*.drelix", **kw)
    for got in [ddx.read_drelix(f"{url}/*.drelix", storage_options=options, **kw),
                ddx.read_drelix(url + "/", storage_options=options, **kw)]:  # fmt: skip
        assert got.npartitions == want.npartitions and got.divisions == want.divisions
        assert got.compute(**THREADS).equals(want.compute(**SYNC))
    urls = [f"{url}/{name}" for name in NAMES[::-1]]
    bag = ddx.read_drelix_bag(urls, storage_options=options, frames_per_partition=1)
    assert bag.compute(**THREADS) == [bytes(r) for name in NAMES[::-1] for r in dx.open(local / name)]  # fmt: skip


@pytest.mark.parametrize("schema, frames_per_partition, peeks, parts", [(READING, 1, 3, 3), (LOG, None, 3, 1), (LOG, 2, 0, 2)],
                         ids=["fixed", "prefixed-sized", "prefixed-counted"])  # fmt: skip
def test_planning_opens_every_object_at_once_and_tasks_fetch_only_what_they_need(tmp_path, monkeypatch, schema, frames_per_partition, peeks, parts):  # fmt: skip
    """Planning reads each object's zone in one request, all objects together (the barrier
    lets none through before all are in flight), the frames' first bytes only where sizes or
    counts are needed; a task reads the zone and its frames (none come with the zone here)."""
    monkeypatch.setattr(_remote, "_AHEAD", 0)
    upload(tmp_path, Counted(), "/plan", schema, sealed=True)
    Counted.reads, Counted.together = [], threading.Barrier(len(NAMES), timeout=30)
    try:
        df = ddx.read_drelix("counted://plan/*.drelix", frames_per_partition=frames_per_partition)  # fmt: skip
    finally:
        Counted.together = None
    zones = lambda name: [start == 0 for path, start, end in Counted.reads if path == f"/plan/{name}"]  # fmt: skip
    # The zone; then, where sizes are needed, the three frames' first bytes, which lie close
    # together, in one request.
    assert all(zones(name) == [True] + [False] * (peeks > 0) for name in NAMES)
    Counted.reads = []
    df.compute(**SYNC)  # each of a file's `parts` tasks fetches the zone, then its frames
    assert all(sorted(zones(name)) == [False] * 3 + [True] * parts for name in NAMES)


FRAME = pd.DataFrame({"x": np.arange(10, dtype="<u4"), "y": np.linspace(0, 1, 10)})


def test_to_drelix_uploads_sealed_parts_and_writes_nothing_here(tmp_path, store, monkeypatch):
    """Into a prefix that holds objects only with overwrite=True, which removes its drelix
    objects and nothing else; the local files go; no ./s3: or ./memory: here."""
    url, fs, options = store
    for name in ["part.7.drelix", "part.7.drelix.seal", "notes.txt", "sub/x.drelix"]:
        fs.pipe(f"{url.split('://')[1]}/out/{name}", b"old")
    for made in ("cwd", "scratch"):
        (tmp_path / made).mkdir()
    monkeypatch.chdir(tmp_path / "cwd")
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "scratch"))
    df = dd.from_pandas(FRAME, npartitions=3)
    with pytest.raises(FileExistsError, match="holds objects; pass overwrite=True"):
        ddx.to_drelix(df, url + "/out/", storage_options=options, compute=False)
    # No options: the environment names the S3 server, as a user's would.
    out = ddx.to_drelix(df, url + "/out/", overwrite=True, compute_kwargs=THREADS)
    assert out == [f"{url}/out/part.{i}.drelix" for i in range(3)]
    assert os.listdir(tmp_path / "cwd") == [] and os.listdir(tmp_path / "scratch") == []
    left = sorted(p.split("/out/")[1] for p in fs.find(url.split("://")[1] + "/out"))
    assert left == ["notes.txt", "part.0.drelix", "part.1.drelix", "part.2.drelix", "sub/x.drelix"]
    assert all(dx.open(part, storage_options=options).sealed for part in out)
    assert ddx.read_drelix(out, storage_options=options).compute(**SYNC).equals(FRAME)
    here = ddx.to_drelix(dd.from_pandas(FRAME, npartitions=1), f"file://{tmp_path}/here", compute_kwargs=SYNC)  # fmt: skip
    assert here == [str(tmp_path / "here" / "part.0.drelix")] and os.listdir(tmp_path / "cwd") == []  # fmt: skip
    assert ddx.read_drelix(f"file://{tmp_path}/here/*.drelix").compute(**SYNC).equals(FRAME)


@pytest.mark.parametrize("target, values, error, message", [
    ("s3://missing-{}/out", [1, 2], FileNotFoundError, "cannot be written to: no bucket"),
    ("{}/taken.drelix", [1, 2], FileExistsError, "exists and is not a prefix"),
    ("{}/new", [1, 2, 3, 4, 5, 6, 7, 1.5], dx.DrelixUsageError, "partition 7: column 'v' holds 1.5")],
    ids=["missing-bucket", "an-object", "a-value-refused"])  # fmt: skip
def test_a_target_that_cannot_be_written_is_left_as_it_was(tmp_path, bucket, monkeypatch, target, values, error, message):  # fmt: skip
    """Nothing made here, nothing left there: the parts a failed computation uploaded go (the
    refused partition is one of eight, in an order Dask chooses)."""
    url, fs, _ = bucket
    monkeypatch.chdir(tmp_path)
    fs.pipe(f"{url[5:]}/taken.drelix", b"not ours")
    target = target.format(url if target.startswith("{}") else url[5:])
    df = dd.from_pandas(pd.DataFrame({"v": values}), npartitions=len(values))
    with pytest.raises(error, match=re.escape(message)):
        ddx.to_drelix(df, target, schema=dx.schema("s", {"v": "i64"}), compute_kwargs=SYNC)
    assert os.listdir(tmp_path) == [] and fs.find(url[5:]) == [f"{url[5:]}/taken.drelix"]
    fs.invalidate_cache()
    assert not fs.exists(f"missing-{url[5:]}")


@pytest.mark.parametrize("schema", [READING, LOG], ids=["fixed", "prefixed"])
def test_an_object_another_client_replaces_after_planning(tmp_path, bucket, schema):
    """Replaced by the file grown (its tail closed into a frame, more appended): the records
    planned; by the file repacked: refused as changed. Planned again: the objects as they
    are now, whatever fsspec listed before."""
    url, fs, options = bucket
    local = upload(tmp_path, fs, url[5:], schema, sealed=False)
    records = [[bytes(r) for r in dx.open(local / name)] for name in sorted(NAMES, key=ddx._natural)]  # fmt: skip
    path, other = str(local / NAMES[-1]), type(fs)(skip_instance_cache=True, **options)
    plan = lambda: ddx.read_drelix_bag(url + "/*.drelix", storage_options=options)
    bag = plan()
    with dx.open(path, "a") as w:
        w.close_frame()
        w.extend(chunks(schema, 4, 99))
    other.put_file(path, f"{url[5:]}/{NAMES[-1]}")
    assert bag.compute(**THREADS) == list(chain(*records))
    grown = plan()
    dx.repack(path, level=0)
    other.put_file(path, f"{url[5:]}/{NAMES[-1]}")
    assert plan().compute(**THREADS) == [bytes(r) for r in dx.open(path)] + list(chain(*records[1:]))
    with pytest.raises(dx.DrelixMalformedError, match=re.escape(f"{url}/{NAMES[-1]}: the file changed since planning")):  # fmt: skip
        grown.compute(**THREADS)


def test_a_series_prefix_in_a_store_skips_the_objects_its_filters_rule_out(tmp_path, bucket, monkeypatch):  # fmt: skip
    """Series "ev" (files of ts 0-29, 30-59, 60-89 sealed, then 90-99 in a frame and 100-104
    in the tail of the file being written) beside series "zz", uploaded: read from S3 as from
    the directory. Counted: an object whose frames the window rules out costs planning its
    zone's request and its tasks nothing, but the last's tail, which is read."""
    monkeypatch.setattr(_remote, "_AHEAD", 0)
    url, fs, options = bucket
    a, window, local = np.zeros(105, dx.dtype_of(TS)), [("ts", ">=", 35), ("ts", "<", 38)], tmp_path / "local"  # fmt: skip
    a["ts"] = np.arange(105)
    for prefix in ("zz", "ev"):
        with dx.create_series(local, TS, prefix=prefix, index=("ts",), frame_records=10) as w:
            for k in range(3):
                w.write(a[30 * k : 30 * k + 30])
                w.rotate()
            w.write(a[90:100])
            w.extend(a[100:])
            w.flush()
            for path in local.glob(prefix + "*.drelix"):  # uploaded as the writer runs
                fs.put_file(str(path), f"{url[5:]}/ev/{path.name}")
                Counted().put_file(str(path), f"/ser/{path.name}")
    want = ddx.read_drelix(local, prefix="ev", filters=window).compute(**SYNC)
    assert list(want.index) == [35, 36, 37]
    got = ddx.read_drelix(url + "/ev/", prefix="ev", filters=window, storage_options=options)  # fmt: skip
    assert got.compute(**THREADS).equals(want)
    Counted.reads = []
    planned = ddx.read_drelix("counted://ser", prefix="ev", filters=window)
    # Per object (ev0 for ev0000000000.drelix), whether each request is for its zone.
    zones = lambda: {p[5:7] + p[16]: [s == 0 for q, s, e in Counted.reads if q == p] for p, _, _ in Counted.reads}  # fmt: skip
    assert zones() == {"ev0": [True], "ev1": [True, False], "ev2": [True], "ev3": [True]}
    Counted.reads = []
    assert planned.compute(**SYNC).equals(want) and set(zones()) == {"ev1", "ev3"}
