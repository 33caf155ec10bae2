"""Figures of the public API (`import drelix_binary as dx`) against zstd on every core and
against pyarrow and fastavro: bulk reads and writes, iteration, indexing, what a pure-Python
thread keeps of its progress meanwhile, and memory."""

import io
import os
import random
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import drelix_binary as dx
import fastavro
import pyarrow as pa
import pyarrow.ipc
import zstandard
from common import (
    TELEMETRY_DTYPE,
    MiB,
    Result,
    drop_file,
    interleaved_medians,
    telemetry_array,
)

CORES = os.cpu_count() or 1
HERE = os.path.dirname(os.path.abspath(__file__))
FRAME = 64 * MiB


def _drop(path):
    for suffix in ("", ".seal", ".repack"):
        drop_file(path + suffix)


def _write(path, rows, level, threads=None):
    _drop(path)
    with dx.create(path, dx.schema("telemetry@1", TELEMETRY_DTYPE), level=level) as w:
        w.write(rows, threads=threads)


def _wchar():
    """Bytes this process has handed to write calls so far (/proc/self/io)."""
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("wchar:"))


def _frames_of(path):
    r = dx.open(path)
    fd = os.open(path, os.O_RDONLY)
    start = 16 + r.preamble.header_area
    blobs = [os.pread(fd, f.length, start + f.offset) for f in r.frames]
    os.close(fd)
    return blobs


def _zstd_all_cores(fn, items):
    with ThreadPoolExecutor(CORES) as pool:
        return list(pool.map(fn, items))


def _arrow_ipc(path, rows, read):
    if not read:
        table = pa.table({n: rows[n] for n in rows.dtype.names})
        opts = pa.ipc.IpcWriteOptions(compression="zstd")
        with (
            pa.OSFile(path, "wb") as sink,
            pa.ipc.new_file(sink, table.schema, options=opts) as w,
        ):
            w.write_table(table, max_chunksize=1 << 20)
        fd = os.open(path, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
        return None
    with pa.memory_map(path) as source:
        return pa.ipc.open_file(source).read_all()


def _progress_kept(work):
    """The share of its solo progress a pure-Python counting thread keeps while `work()`
    runs on the main thread."""
    stop, count = threading.Event(), [0]

    def spin():
        while not stop.is_set():
            count[0] += 1

    def rate(during):
        count[0] = 0
        stop.clear()
        t = threading.Thread(target=spin)
        t0 = time.perf_counter()
        t.start()
        if during:
            during()
        else:
            time.sleep(0.5)
        stop.set()
        t.join()
        return count[0] / (time.perf_counter() - t0)

    solo = rate(None)
    return rate(work) / solo


def fig_api(cfg, tmp):
    n = cfg["e2e_n"]
    reps = cfg["e2e_reps"]
    rows = telemetry_array(n)
    raw = rows.tobytes()
    path = os.path.join(tmp, "api.drelix")
    arrow_path = os.path.join(tmp, "api.arrow")
    out = []

    # Bulk write: create, write, close (durable), against zstd compressing the same frames.
    chunks = [raw[i : i + FRAME] for i in range(0, len(raw), FRAME)]
    for level in (1, 3):

        def compress(chunk, level=level):
            return zstandard.ZstdCompressor(level=level, write_checksum=True).compress(
                chunk
            )

        t_w, t_z = interleaved_medians(
            [
                lambda level=level: _write(path, rows, level),
                lambda: _zstd_all_cores(compress, chunks),
            ],
            reps,
        )
        before = _wchar()
        _write(path, rows, level)
        written = (_wchar() - before) / os.path.getsize(path)
        out.append(
            Result(
                "public API",
                f"Writer.write of {n:,} records, level {level}",
                "M records/s",
                n / t_w / 1e6,
                f"zstandard level {level} on {CORES} threads",
                n / t_z / 1e6,
                t_z / t_w,
                "ratio>=",
                0.85,
                ">= 0.85x the baseline's throughput",
                f"create + write + close, journal and syncs included; bytes written "
                f"{written:.2f}x the file (goal <= 2.1x)",
            )
        )
    t_a = interleaved_medians([lambda: _arrow_ipc(arrow_path, rows, False)], reps)[0]
    out.append(
        Result(
            "public API",
            "pyarrow IPC write + fsync (zstd, columns)",
            "M records/s",
            n / t_a / 1e6,
            note=f"{os.path.getsize(arrow_path) / n:.2f} B/record; "
            f"drelix {os.path.getsize(path) / n:.2f} B/record",
        )
    )

    # Bulk read: to_numpy against zstd decoding the same frames on every core.
    blobs = _frames_of(path)
    r = dx.open(path)
    if not (r.to_numpy() == rows).all():
        raise AssertionError("to_numpy does not read back what was written")

    def decompress(blob):
        return zstandard.ZstdDecompressor().decompress(blob)

    t_r, t_z, t_a = interleaved_medians(
        [
            r.to_numpy,
            lambda: _zstd_all_cores(decompress, blobs),
            lambda: _arrow_ipc(arrow_path, rows, True),
        ],
        reps,
    )
    out.append(
        Result(
            "public API",
            f"Reader.to_numpy of {n:,} records (level 3)",
            "M records/s",
            n / t_r / 1e6,
            f"zstandard decode on {CORES} threads",
            n / t_z / 1e6,
            t_z / t_r,
            "ratio>=",
            0.85,
            ">= 0.85x the baseline's throughput",
            f"pyarrow IPC read_all of the same columns: {n / t_a / 1e6:.1f} M records/s",
        )
    )

    # Iteration over every record as bytes, beside fastavro and pyarrow's to_pylist.
    m = min(n, 1_000_000)
    buf = io.BytesIO()
    schema = {
        "type": "record",
        "name": "T",
        "fields": [
            {"name": k, "type": "long" if k != "value" else "double"}
            for k in TELEMETRY_DTYPE.names
        ],
    }
    fastavro.writer(
        buf,
        fastavro.parse_schema(schema),
        (
            {k: v for k, v in zip(TELEMETRY_DTYPE.names, row)}
            for row in rows[:m].tolist()
        ),
        codec="null",
    )
    table = _arrow_ipc(arrow_path, rows, True).slice(0, m)
    t_i, t_f, t_p = interleaved_medians(
        [
            lambda: sum(1 for _ in r),
            lambda: sum(1 for _ in fastavro.reader(io.BytesIO(buf.getvalue()))),
            table.to_pylist,
        ],
        1,
    )
    out.append(
        Result(
            "public API",
            "iterate every record as bytes",
            "M records/s",
            n / t_i / 1e6,
            "8 M records/s",
            8.0,
            n / t_i / 1e6 / 8.0,
            "value>=",
            8.0,
            ">= 8 M records/s",
            f"fastavro reader {m / t_f / 1e6:.2f}, pyarrow to_pylist "
            f"{m / t_p / 1e6:.2f} M records/s ({m:,} records)",
        )
    )

    # reader[i] against decoding the frame that holds it.
    rng = random.Random(5)
    picks = [rng.randrange(n) for _ in range(max(3, reps * 3))]

    def index_all():
        for i in picks:
            dx.open(path)[i]  # a fresh reader: no frame cached

    t_g, t_d = interleaved_medians(
        [index_all, lambda: [decompress(blobs[0]) for _ in picks]], 3
    )
    out.append(
        Result(
            "public API",
            "reader[i], random i (fresh reader)",
            "ms",
            t_g / len(picks) * 1e3,
            "zstandard decode of one frame",
            t_d / len(picks) * 1e3,
            t_g / t_d,
            "ratio<=",
            1.5,
            "<= 1.5x one frame's decode",
            f"frames of {FRAME // MiB} MiB",
        )
    )

    # What a pure-Python thread keeps while bulk work runs on one thread.
    for name, work in (
        ("to_numpy", lambda: r.to_numpy(threads=1)),
        ("Writer.write", lambda: _write(path + "2", rows, 3, threads=1)),
    ):
        kept = _progress_kept(work)
        out.append(
            Result(
                "public API",
                f"Python thread's progress during {name}",
                "x solo",
                kept,
                "its progress alone",
                1.0,
                kept,
                "ratio>=",
                0.7,
                ">= 0.7x its solo progress",
                "work on one thread, GIL released",
            )
        )
    _drop(path + "2")
    r.close()
    drop_file(arrow_path)
    _drop(path)
    out.extend(_memory(cfg, tmp))
    return out


def _rss(mode, path):
    """Peak RSS in bytes of a fresh interpreter running one memchild mode."""
    run = subprocess.run(
        [sys.executable, os.path.join(HERE, "memchild.py"), mode, path],
        capture_output=True,
        text=True,
        check=True,
    )
    return int(run.stdout.strip()) * 1024


def _memory(cfg, tmp):
    path = os.path.join(tmp, "api-mem.drelix")
    rows = telemetry_array(cfg["mem_read"] // TELEMETRY_DTYPE.itemsize)
    _write(path, rows, 3)
    frame = min(FRAME, rows.nbytes)
    del rows
    with dx.open(path) as r:
        result = sum(f.content_size or 0 for f in r.frames)
        stored = max(f.length for f in r.frames)
    idle = sorted(_rss("idle", path) for _ in range(3))[1]
    out = []
    for mode, budget, text in (
        (
            "iter_batches",
            2 * frame + stored + 16 * MiB,
            "two frames (the batch held and the next) + 16 MiB",
        ),
        (
            "to_numpy",
            result + CORES * stored + 16 * MiB,
            "the result + one stored frame per thread + 16 MiB",
        ),
    ):
        peak = _rss(mode, path) - idle
        out.append(
            Result(
                "public API",
                f"memory of Reader.{mode}, {result // MiB} MiB of records",
                "MiB",
                peak / MiB,
                text,
                budget / MiB,
                peak / budget,
                "ratio<=",
                1.0,
                f"<= {text}",
                f"frames of {frame // MiB} MiB; idle interpreter subtracted",
            )
        )
    _drop(path)
    return out
