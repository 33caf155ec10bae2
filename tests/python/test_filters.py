"""Filtered reads: on random data, frames and filters, equal to a full read masked row by row in
plain Python, whatever ranges the zone lists (true, absent, malformed, miscounted; wrong ones
may only drop rows); frames ruled out never fetched; Dask planning without them."""

import io
import math
import operator
import random

import drelix_binary as dx
import hypothesis.strategies as st
import numpy as np
import pytest
from drelix_binary import _native
from hypothesis import HealthCheck, example, given, settings

DTYPE = np.dtype([("id", "<u8"), ("k", "<i8"), ("v", "<f8"), ("s", "u1")])
SCHEMA = dx.schema("f@1", DTYPE)
FLOATS = [math.nan, math.inf, -math.inf, -0.0, 1.5, -2.0, 3.0, 2.5]
OPS = {"==": operator.eq, "=": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
       ">": operator.gt, ">=": operator.ge, "in": lambda x, vs: x in vs, "not in": lambda x, vs: x not in vs}  # fmt: skip


def passes(row, filters):
    """The reference: Python's own comparisons, an f64 field comparing with float(value)."""
    def cast(f, x):
        return float(x) if f == "v" else x
    return all(OPS[op](row[f], [cast(f, x) for x in v] if "in" in op else cast(f, v)) for f, op, v in filters)  # fmt: skip


def stats(frames, field):
    """The true `min,max` entries of `field`, NaN skipped, empty when nothing is left."""
    entries = []
    for f in frames:
        vals = f[field][~np.isnan(f[field])] if field == "v" else f[field]
        entries.append(f"{vals.min().item()!r},{vals.max().item()!r}" if len(vals) else "")
    return ";".join(entries)


def write(path, frames, tail=None, keys=None):
    """A file of `frames` (structured arrays), `tail` left unframed, the zone holding `keys`."""
    c = _native.Container.create(str(path), SCHEMA, "src", "writer")
    for fid, f in enumerate(frames):
        for r in f:
            c.append_record(r.tobytes())
        c.close_frame(fid, 3)
    for k, v in (keys or {}).items():
        c.set_user_header(k, v)
    c.flush_headers()
    for r in [] if tail is None else tail:
        c.append_record(r.tobytes())
    del c
    return str(path)


scalar = st.one_of(st.integers(-5, 5), st.sampled_from(FLOATS), st.integers(0, 80), st.sampled_from([2**70, -(2**70), 255, 256]))
@st.composite
def table(draw):
    """Records in frames of random sizes and a tail; each value field drawn from a few values,
    so frames of one value (beside NaN) are common."""
    sizes = draw(st.lists(st.integers(1, 12), max_size=6))
    n = sum(sizes) + draw(st.integers(0, 8))
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    a = np.zeros(n, DTYPE)
    a["id"], a["s"] = np.arange(n), rng.integers(0, 256, n)
    a["k"] = rng.choice(draw(st.lists(st.integers(-4, 4), min_size=1, max_size=3)), n)
    a["v"] = rng.choice(draw(st.lists(st.sampled_from(FLOATS), min_size=1, max_size=3)), n)
    # Conditions compare with values of the data (or halfway past one) as often as with others.
    seen = {*a["k"].tolist(), *a["v"].tolist(), *(a["k"] + 0.5).tolist(), *(a["k"] - 0.5).tolist()}
    value = st.one_of(scalar, st.sampled_from(sorted(seen, key=str) or [0]))
    condition = st.tuples(st.sampled_from(DTYPE.names), st.sampled_from(list(OPS)), value).flatmap(
        lambda c: st.lists(value, max_size=3).map(lambda vs: (c[0], c[1], vs)) if "in" in c[1] else st.just(c))  # fmt: skip
    return a, sizes, draw(st.lists(condition, min_size=1, max_size=3))


NAN_BESIDE_ONE_VALUE = np.array([(0, 0, 1.5, 0), (1, 0, math.nan, 0), (2, 0, 7.0, 0)], DTYPE)


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=table(), window=st.tuples(st.integers(-5, 80), st.integers(-5, 80)),
       keys=st.sampled_from(["true", "true", "none", "wrong", "malformed", "miscounted"]), rnd=st.randoms())  # fmt: skip
@example(data=(NAN_BESIDE_ONE_VALUE, [2], [("v", "!=", 1.5)]), window=(0, 3), keys="true", rnd=random.Random(0))  # fmt: skip
@example(data=(NAN_BESIDE_ONE_VALUE, [2], [("v", "not in", [1.5])]), window=(0, 3), keys="true", rnd=random.Random(0))  # fmt: skip
@example(data=(NAN_BESIDE_ONE_VALUE, [2], [("k", "==", 0)]), window=(0, 3), keys="malformed", rnd=random.Random(1))  # "3,1"  # fmt: skip
def test_a_filtered_read_is_a_full_read_masked(tmp_path_factory, data, window, keys, rnd):
    a, sizes, filters = data
    cuts = np.cumsum([0, *sizes])
    frames = [a[lo:hi] for lo, hi in zip(cuts, cuts[1:])]
    headers = {f"drelix_stats_{f}": stats(frames, f) for f in DTYPE.names}
    if keys == "none":
        headers = {}
    elif keys == "wrong":  # any ranges at all: some rows that pass may be dropped
        headers = {f"drelix_stats_{f}": ";".join(rnd.choice(["", "0,0", "-1,2", "3,40", "-inf,0.5"]) for _ in frames) for f in "ksv"}  # fmt: skip
    elif keys == "malformed":
        bad = rnd.choice(["x,1", "nan,nan", "3,1", "1,2,3", "+1,2", " 1,2", "1", "1,", "0x1,2"])
        headers = {k: ";".join([*v.split(";")[:-1], "0,300" if k.endswith("_s") else bad]) for k, v in headers.items()}  # fmt: skip
    elif keys == "miscounted":
        headers = {k: v + ";0,9" if len(frames) < 2 or rnd.random() < 0.5 else v.rpartition(";")[0] for k, v in headers.items()}  # fmt: skip
    path = write(tmp_path_factory.mktemp("f") / "f.drelix", frames, a[cuts[-1] :], headers)
    r = dx.open(path)
    full = r.to_numpy()
    rows = [dict(zip(DTYPE.names, t)) for t in full.tolist()]
    want = full[np.array([passes(row, filters) for row in rows], bool)]
    with open(path, "rb") as f:
        remote = dx.open(io.BytesIO(f.read()))
    for got in (r.to_numpy(filters=filters), np.concatenate([full[:0], *r.iter_batches(filters=filters)]),
                remote.to_numpy(filters=filters), np.concatenate([full[:0], *remote.iter_batches(filters=filters)])):  # fmt: skip
        if keys == "wrong":  # only rows that pass, in order, as written
            assert set(got["id"]) <= set(want["id"]) and list(got["id"]) == sorted(got["id"])
            assert got.tobytes() == full[got["id"].astype(int)].tobytes()
        else:
            assert got.tobytes() == want.tobytes()
    lo, hi = window
    part = r.to_numpy(lo, hi, filters=filters)
    want_part = [i for i in full[lo:hi]["id"] if i in set(want["id"])]
    assert set(part["id"]) <= set(want_part) if keys == "wrong" else list(part["id"]) == want_part
    table = r.to_arrow(["k"], filters=filters)
    assert table.column_names == ["k"] and table.num_rows == len(r.to_numpy(filters=filters))


class Logged(io.BytesIO):
    """A file object that logs each read (offset, size) in `reads`: each a request to a store."""

    def read(self, n=-1):
        self.reads.append((self.tell(), n))
        return super().read(n)


def spied(fn, log):
    """`fn` (a source's decode_into or decode_many), logging the frames it is asked for."""
    def spy(what, *args, **kwargs):
        log.extend(p if isinstance(p, int) else p[0] for p in what)
        return fn(what, *args, **kwargs)
    return spy


@pytest.fixture(scope="module")
def ten_frames(tmp_path_factory):
    """Ten frames of 10,000 ids each (and random values, so each frame is larger than what
    opening an object fetches), the ranges of `id` listed."""
    rng = np.random.default_rng(1)
    a = np.zeros(100_000, DTYPE)
    a["id"], a["k"], a["v"] = np.arange(len(a)), rng.integers(-(2**62), 2**62, len(a)), rng.normal(size=len(a))  # fmt: skip
    frames = np.split(a, 10)
    return write(tmp_path_factory.mktemp("ten") / "f.drelix", frames, None, {"drelix_stats_id": stats(frames, "id")})  # fmt: skip


@pytest.mark.parametrize("read", [lambda r, f: r.to_numpy(filters=f), lambda r, f: np.concatenate(list(r.iter_batches(filters=f))),
                                  lambda r, f: r.to_arrow(filters=f), lambda r, f: r.to_arrow_reader(filters=f).read_all()],
                         ids=["to_numpy", "iter_batches", "to_arrow", "to_arrow_reader"])  # fmt: skip
def test_frames_ruled_out_are_neither_fetched_nor_decoded(ten_frames, monkeypatch, read):
    """A window in frames 3 and 4 fetches (an object) and decodes (a file) only those."""
    window = [("id", ">=", 39_000), ("id", "<", 40_500.5)]
    with open(ten_frames, "rb") as f:
        source = Logged(f.read())
    source.reads = []
    with dx.open(source) as r, dx.open(ten_frames) as local:
        listed = [(r._src.data_start + f.offset, f.length) for f in r._src.frames]
        source.reads = []
        decoded = []
        for name in ("decode_into", "decode_many"):
            monkeypatch.setattr(local._src, name, spied(getattr(local._src, name), decoded))
        got, got_local = read(r, window), read(local, window)
    fetched = {i for i, (at, n) in enumerate(listed) for o, size in source.reads if o < at + n and at < o + size}  # fmt: skip
    assert fetched == set(decoded) == {3, 4} and len(got) == len(got_local) == 1_501


@pytest.mark.parametrize("filters, message", [
    ([("nope", "==", 1)], "no field named 'nope'"), ([("k", "~", 1)], "unknown filter operator '~'"),
    ([("s", "<", "7")], "field 's' is u8: it cannot be compared with '7'"), ([("v", "==", True)], "cannot be compared with True"),
    ([("k", "in", "ab")], "takes a collection of values"), ([("k", "==")], r"each filter is a \(field, op, value\)"),
    ([[("k", "==", 1)]], r"each filter is a \(field, op, value\)"), ("k", "a list of"),
    ([("key", "==", 1)], "field 'key' is uuid: filters compare numeric fields only")])  # fmt: skip
def test_filters_that_cannot_apply_are_refused(tmp_path, filters, message):
    path = tmp_path / "f.drelix"
    with dx.create(path, dx.schema("u@1", {"k": "i64", "s": "u8", "v": "f64", "key": "uuid"})) as w:
        w.append(bytes(33))
    prefixed = tmp_path / "p.drelix"
    dx.create(prefixed, dx.schema("p@1", {"k": "i64"}, layout="prefixed")).close()
    with dx.open(path) as r, dx.open(prefixed) as p:
        for read in (r.to_numpy, r.iter_batches, r.to_arrow, r.to_arrow_reader):
            with pytest.raises(dx.DrelixUsageError, match=message):
                list(read(filters=filters))
        with pytest.raises(dx.DrelixUsageError, match="length-prefixed records, which filters"):
            p.to_arrow(filters=[("k", "==", 1)])


def test_dask_plans_no_partition_for_frames_and_files_ruled_out(tmp_path):
    ddx = pytest.importorskip("drelix_binary.dask")
    a = np.zeros(700, DTYPE)
    a["id"], a["v"] = np.arange(700), np.arange(700) / 2
    first, second = np.split(a[:300], 3), np.split(a[300:600], 3)
    keys = [{"drelix_stats_id": stats(f, "id")} for f in (first, second)]
    write(tmp_path / "a.drelix", first, None, keys[0])  # nothing there passes: no partition
    write(tmp_path / "b.drelix", second, a[600:], keys[1])  # frame 1 and the tail are read
    window = [("id", ">=", 420), ("id", "<=", 440), ("v", "!=", 215)]
    want = ddx.read_drelix(tmp_path, frames_per_partition=1).compute(scheduler="sync")
    want = want[(want.id >= 420) & (want.id <= 440) & (want.v != 215)]
    got = ddx.read_drelix(tmp_path, frames_per_partition=1, filters=window, columns=["v"])
    assert got.npartitions == 2 and got.divisions == (400, 600, 699)
    assert got.compute(scheduler="sync").equals(want[["v"]])
    with pytest.raises(dx.DrelixUsageError, match="no field named 'x'"):
        ddx.read_drelix(tmp_path, filters=[("x", "<", 1)])
