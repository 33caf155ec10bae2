"""The life of a drelix file through the public API, printing what happens at each step."""

import json
import os
import pickle
import subprocess
import sys
import tempfile
import time

import drelix_binary as dx
import numpy as np
from drelix_binary import _native


def telemetry(schema, n, start=0):
    rows = np.zeros(n, dx.dtype_of(schema))
    rows["id"] = np.arange(start, start + n)
    rows["ts"] = 1_700_000_000_000 + rows["id"].astype(np.int64)
    rows["value"] = rows["id"] * 0.5
    rows["sensor"] = [
        i.to_bytes(4, "little") + bytes(12) for i in range(start, start + n)
    ]
    return rows


def write(path, schema, n):
    rows = telemetry(schema, n)
    t0 = time.perf_counter()
    with dx.create(
        path, schema, source="demo", user={"site": "lab-7"}, frame_records=n // 4
    ) as w:
        w.write(rows[: n - 1000])  # bulk: whole frames straight from memory
        for row in rows[n - 1000 :]:
            w.append(row)  # one record at a time: a numpy row is bytes-like
        print(f"  {w!r}")
    print(f"wrote {n:,} records in {time.perf_counter() - t0:.2f}s")
    with dx.open(path, "a") as w:  # reopen: a second writer would be refused
        try:
            dx.open(path, "a")
        except dx.DrelixLockedError as e:
            print(f"  a second writer: {type(e).__name__}: {e.strerror}")
        w.extend(telemetry(schema, 3, n))
        w.seal()
    return np.concatenate([rows, telemetry(schema, 3, n)])


def read(path, rows):
    t0 = time.perf_counter()
    with dx.open(path) as r:
        table = r.to_numpy()
        print(
            f"read {len(table):,} records with to_numpy in {time.perf_counter() - t0:.3f}s: {r!r}"
        )
        assert (table == rows).all() and len(r) == len(rows), "records read back differ"
        assert r[123_456] == rows[123_456].tobytes() and r[-3:] == [
            x.tobytes() for x in rows[-3:]
        ]
        print(
            f"  r[123456] -> id {np.frombuffer(r[123_456], r.dtype)['id'][0]}, sealed={r.sealed}"
        )
        for f in r.frames:
            print(
                f"  frame {f.index}: id {f.id}, {f.records:,} records, {f.length:,} bytes stored"
            )
        sizes = [len(b) for b in r.iter_batches()]
        print(f"  iter_batches: {sizes}")
        try:
            print(
                r.to_pandas(["id", "value"])
                .describe()
                .loc[["count", "mean"]]
                .to_string()
            )
        except ImportError:
            print("  (pandas is not installed: to_pandas skipped)")
        info = r.info()
        print(
            "  info():", json.dumps({k: info[k] for k in ("schema", "tail", "sealed")})
        )
        again = pickle.loads(pickle.dumps(r))
        print(f"  a pickled reader reopens its path: {again!r}")


def prefixed(path):
    with dx.create(path, dx.schema("log@1", {}, layout="prefixed")) as w:
        w.write_bodies([f"line {i}".encode() for i in range(5)])
        w.append(bytearray(b"last line"))
    with dx.open(path) as r:
        print(f"prefixed: {list(r)}")


def maintain(path):
    report = dx.validate(path)
    print(
        f"validate: frames={report.frames} records={report.records} problems={report.problems}"
    )
    rep = dx.repack(path, dx.COLD_LEVEL)
    print(
        f"repack at level {dx.COLD_LEVEL}: {rep.bytes_before:,} -> {rep.bytes_after:,} bytes"
    )
    preamble, headers = _native.peek_headers(path)  # the low-level layer underneath
    print(f"_native.peek_headers: {preamble!r}, _records={headers['_records']}")
    try:
        dx.open(os.path.join(os.path.dirname(path), "missing.drelix"))
    except FileNotFoundError as e:
        print(
            f"a missing file: FileNotFoundError errno={e.errno} filename={e.filename!r}"
        )


def command_line(path):
    """The same file as an operator sees it, through the installed `drelix` command."""
    drelix = os.path.join(os.path.dirname(sys.executable), "drelix")
    folder, name = os.path.split(path)
    for verb in ("info", "validate"):
        print(f"\n$ drelix {verb} {name}", flush=True)
        subprocess.run([drelix, verb, name], cwd=folder, check=True)


def main():
    print(f"drelix_binary {dx.__version__}")
    schema = dx.schema(
        "telemetry@1", {"id": "u64", "ts": "i64", "value": "f64", "sensor": "uuid"}
    )
    print(f"schema: {schema!r} -> dtype {dx.dtype_of(schema)}")
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "telemetry.drelix")
        rows = write(path, schema, 1_000_000)
        read(path, rows)
        prefixed(os.path.join(d, "log.drelix"))
        maintain(path)
        command_line(path)


if __name__ == "__main__":
    main()
