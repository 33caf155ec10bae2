"""The primitives of drelix_binary._engine against zstandard on the same frames, in one run.

    .venv/bin/python bench/engine.py [--records N] [--reps R] [--frame-mib M] [--smoke]

Figures (ratios are throughput ratios, engine / baseline; goals in brackets):
- read: Reader.read_into of every frame of a level-3 file into one numpy buffer, against
  zstandard decoding the same stored frames on a thread per core [>= 0.85];
- write at levels 1 and 3: Writer.create + write_fixed_at + close (journal and syncs included),
  against zstandard compressing the same frame-sized pieces on a thread per core [>= 0.85];
  with the bytes written to disk over the final file size [<= 2.1];
- interpreter lock: the progress a pure-Python counting thread keeps while a one-thread read
  or write runs, over its progress alone in the same time [>= 0.70]; beside it the same share
  while zstandard (which releases the lock too) works on one thread, which shows what the
  machine's cores allow whatever the lock does.
"""

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import TELEMETRY_FIELDS, TELEMETRY_SIZE, telemetry_array
from drelix_binary import _engine, _native

try:
    import zstandard
except ImportError:  # the optional baseline (bench/requirements.txt)
    zstandard = None

MiB = 1 << 20


def schema():
    fields = [_native.FieldSpec(n, t, o) for n, t, o in TELEMETRY_FIELDS]
    return _native.Schema(
        "telemetry@1", fields, _native.RecordLayout.fixed(TELEMETRY_SIZE)
    )


def address(arr):
    return arr.__array_interface__["data"][0]


def best(fn, reps):
    """The fastest of reps runs of fn(), in seconds: on a machine shared with other work the
    minimum is the run least disturbed by it (as timeit reports)."""
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def written_bytes():
    """Bytes this process has handed to write calls so far (the kernel's wchar count)."""
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    return 0


def write_file(path, arr, level, frame_bytes, threads=None):
    if os.path.exists(path):
        os.unlink(path)
    w = _engine.Writer.create(path, schema(), header_area=262144, level=level)
    w.write_fixed_at(address(arr), arr.nbytes, frame_bytes=frame_bytes, threads=threads)
    w.close()


def stored_frames(path):
    r = _engine.Reader(path)
    with open(path, "rb") as f:
        data = f.read()
    frames = [data[r.data_start + o : r.data_start + o + n] for _, o, n, _ in r.frames]
    r.close()
    return frames


def pool_map(make, method, items, threads):
    """method(ctx, item) for every item on `threads` threads, each with its own make() context
    (zstandard's contexts are not thread-safe)."""
    local = threading.local()

    def call(item):
        ctx = getattr(local, "ctx", None)
        if ctx is None:
            ctx = local.ctx = make()
        return method(ctx, item)

    with ThreadPoolExecutor(threads) as pool:
        return list(pool.map(call, items))


def counting_share(work, rounds=5):
    """The count a pure-Python thread reaches per second while `work()` runs, over its rate
    alone just before, as the median over `rounds` such pairs (a shared machine's load moves
    both halves of a pair together)."""

    def rate(during):
        stop = threading.Event()
        box = [0]

        def count():
            while not stop.is_set():
                box[0] += 1

        t = threading.Thread(target=count)
        start = time.perf_counter()
        t.start()
        during()
        stop.set()
        t.join()
        return box[0] / (time.perf_counter() - start)

    shares = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        took = time.perf_counter() - start
        solo = rate(lambda took=took: time.sleep(took))
        shares.append(rate(work) / solo)
    return statistics.median(shares)


def row(name, value, unit, baseline=None, ratio=None, goal=""):
    base = "" if baseline is None else f"{baseline:10.1f}"
    rat = "" if ratio is None else f"{ratio:6.2f}"
    print(f"{name:38s} {value:10.1f} {unit:8s} {base:>10s} {rat:>6s}  {goal}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=10_000_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--frame-mib", type=int, default=16)
    ap.add_argument("--smoke", action="store_true")
    args = ap.parse_args()
    if args.smoke:
        args.records, args.reps, args.frame_mib = 20_000, 1, 1
    if zstandard is None:
        sys.exit(
            "bench/engine.py needs zstandard (pip install -r bench/requirements.txt)"
        )

    threads = _engine.thread_count()
    arr = telemetry_array(args.records)
    raw_mb = arr.nbytes / 1e6
    frame_bytes = args.frame_mib * MiB
    pieces = [
        arr[i : i + frame_bytes // TELEMETRY_SIZE].tobytes()
        for i in range(0, len(arr), frame_bytes // TELEMETRY_SIZE)
    ]
    print(
        f"{args.records} records of {TELEMETRY_SIZE} bytes ({raw_mb:.0f} MB), frames of "
        f"{args.frame_mib} MiB, {threads} threads, best of {args.reps}"
    )
    print(
        f"{'figure':38s} {'engine':>10s} {'unit':8s} {'zstandard':>10s} {'ratio':>6s}  goal"
    )

    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as tmp:
        path = os.path.join(tmp, "bench.drx")

        for level in (1, 3):

            def make(level=level):
                return zstandard.ZstdCompressor(level=level, write_checksum=True)

            compress = zstandard.ZstdCompressor.compress
            base = best(
                lambda m=make, c=compress: pool_map(m, c, pieces, threads), args.reps
            )
            ours = best(
                lambda lv=level: write_file(path, arr, lv, frame_bytes), args.reps
            )
            row(
                f"bulk write, level {level}",
                raw_mb / ours,
                "MB/s",
                raw_mb / base,
                base / ours,
                ">= 0.85",
            )
            before = written_bytes()
            write_file(path, arr, level, frame_bytes)
            amplification = (written_bytes() - before) / os.path.getsize(path)
            row(
                f"  bytes written / file size, level {level}",
                amplification,
                "x",
                goal="<= 2.1",
            )

        frames = stored_frames(path)  # the level-3 file of the last round
        decompress = zstandard.ZstdDecompressor.decompress
        base = best(
            lambda: pool_map(zstandard.ZstdDecompressor, decompress, frames, threads),
            args.reps,
        )
        reader = _engine.Reader(path)
        out = np.empty(len(arr), dtype=arr.dtype)
        indices = list(range(len(reader.frames)))

        def read(threads=None):
            reader.read_into(
                indices, address(out), out.nbytes, tail=True, threads=threads
            )

        ours = best(read, args.reps)
        assert np.array_equal(out, arr)
        row(
            "read_into, level 3",
            raw_mb / ours,
            "MB/s",
            raw_mb / base,
            base / ours,
            ">= 0.85",
        )

        # The same share while zstandard, which also releases the lock, decodes or compresses
        # on one thread: what the machine itself allows a second thread beside one busy one.
        dctx = zstandard.ZstdDecompressor()
        cctx = zstandard.ZstdCompressor(level=3, write_checksum=True)
        base = counting_share(lambda: [dctx.decompress(f) for f in frames])
        share = counting_share(lambda: read(threads=1))
        row(
            "  Python thread during a 1-thread read",
            share * 100,
            "%",
            base * 100,
            share / base,
            ">= 70",
        )
        base = counting_share(lambda: [cctx.compress(p) for p in pieces])
        share = counting_share(lambda: write_file(path, arr, 3, frame_bytes, threads=1))
        row(
            "  Python thread during a 1-thread write",
            share * 100,
            "%",
            base * 100,
            share / base,
            ">= 70",
        )
        reader.close()


if __name__ == "__main__":
    main()
