"""The figures. Each function takes the size settings and a scratch directory and returns a list
of Results, every one measured next to its baseline in the same process."""

import io
import itertools
import os
import statistics
import struct
import subprocess
import sys

import fastavro
import pyarrow as pa
import pyarrow.ipc
import zstandard

from drelix_binary import _native

from common import (
    MiB,
    TELEMETRY_SIZE,
    Result,
    append_raw,
    build_file,
    copy_file,
    create,
    drop_file,
    fixed_bodies,
    add_user_lines,
    frame_slices,
    human,
    interleaved_medians,
    median_time,
    payload_records,
    prefixed_bodies,
    prefixed_schema,
    replicate_frames,
    set_zone_values,
    split_fixed,
    telemetry_array,
    telemetry_bytes,
    telemetry_schema,
    time_once,
)

FIXED32 = _native.RecordLayout.fixed(TELEMETRY_SIZE)
HERE = os.path.dirname(os.path.abspath(__file__))


def _drop_container_file(path):
    for suffix in ("", ".seal", ".repack"):
        drop_file(str(path) + suffix)


def _mb(nbytes, seconds):
    return nbytes / MiB / seconds


# ---- append_record ---------------------------------------------------------------------------


def _append_pair(tmp, bodies, schema, reps):
    """Median seconds for appending bodies through a Container and through a BufferedWriter with
    the same 64 KiB buffer, alternating the two so that both see the same machine."""
    path = os.path.join(tmp, "append.drelix")
    plain = os.path.join(tmp, "append.bin")
    t_drelix, t_plain = [], []
    for _ in range(reps):
        c = create(path, schema)

        def run_drelix(c=c):
            app = c.append_record
            for b in bodies:
                app(b)
            c.flush_data()

        t_drelix.append(time_once(lambda _s: run_drelix()))
        del c
        _drop_container_file(path)

        w = io.BufferedWriter(io.FileIO(plain, "w"), buffer_size=65536)

        def run_plain(w=w):
            wr = w.write
            for b in bodies:
                wr(b)
            w.flush()

        t_plain.append(time_once(lambda _s: run_plain()))
        w.close()
        drop_file(plain)
    t_drelix.sort()
    t_plain.sort()
    return t_drelix[len(t_drelix) // 2], t_plain[len(t_plain) // 2]


def fig_append(cfg, tmp):
    out = []
    n = cfg["append_n"]
    cases = [
        ("append_record, fixed 32-byte records", split_fixed(telemetry_bytes(n), 32),
         telemetry_schema()),
        ("append_record, prefixed 20-200-byte records", prefixed_bodies(cfg["prefixed_n"]),
         prefixed_schema()),
    ]
    for name, bodies, schema in cases:
        t_d, t_p = _append_pair(tmp, bodies, schema, cfg["reps"])
        per_d = t_d / len(bodies) * 1e9
        per_p = t_p / len(bodies) * 1e9
        out.append(Result("append", name, "ns/call", per_d,
                          "io.BufferedWriter.write (64 KiB buffer)", per_p, per_d / per_p,
                          "ratio<=", 1.25, "<= 1.25x the baseline's time per call",
                          f"{len(bodies):,} calls, buffered bytes written by flush_data included"))
    return out


# ---- close_frame -----------------------------------------------------------------------------


def _tail_file(tmp, raw):
    base = os.path.join(tmp, "tail-base.drelix")
    c = create(base)
    append_raw(c, raw)
    c.flush_data()
    del c
    return base


def _close_vs(base, work, level, reps, baseline):
    """Median seconds of close_frame(level) on a fresh copy of base and of baseline(), timed
    alternately in every repetition so that both see the same load."""
    t_close, t_base = [], []
    for _ in range(reps):
        copy_file(base, work)
        c = _native.Container.open_append(work)
        t_close.append(time_once(lambda _s: c.close_frame(1, level)))
        del c
        _drop_container_file(work)
        t_base.append(time_once(lambda _s: baseline()))
    return statistics.median(t_close), statistics.median(t_base)


def fig_close(cfg, tmp):
    raw = telemetry_bytes(cfg["close_tail"] // TELEMETRY_SIZE)
    base = _tail_file(tmp, raw)
    work = os.path.join(tmp, "tail-work.drelix")
    reps = cfg["reps"]
    out = []

    cctx = zstandard.ZstdCompressor(level=3, write_checksum=True)
    t3, tz = _close_vs(base, work, 3, reps, lambda: cctx.compress(raw))
    size = len(raw)
    out.append(Result("close", f"close_frame level 3, {human(size)} tail", "MiB/s",
                      _mb(size, t3), "zstandard level 3 compress (checksum on)", _mb(size, tz),
                      tz / t3, "ratio>=", 0.8, ">= 0.8x the baseline's throughput",
                      "journal and both syncs included; compressed to "
                      f"{len(cctx.compress(raw)) / size:.1%} of raw"))

    plain = os.path.join(tmp, "copy.bin")

    def copy_and_sync():
        fd = os.open(plain, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            view = memoryview(raw)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        drop_file(plain)

    t0, tc = _close_vs(base, work, 0, reps, copy_and_sync)
    out.append(Result("close", f"close_frame level 0, {human(size)} tail", "MiB/s",
                      _mb(size, t0), "write the same bytes to a new file + fsync (+ unlink)",
                      _mb(size, tc), tc / t0, "ratio>=", 0.8,
                      ">= 0.8x the baseline's throughput (assumed as for level 3)",
                      "journal and both syncs included"))
    drop_file(base)
    return out


# ---- read_frame_at and split_records ---------------------------------------------------------


def fig_read(cfg, tmp):
    out = []
    reps = cfg["reps"]
    frame_bytes = cfg["read_frame"]
    raw = telemetry_bytes(cfg["read_total"] // TELEMETRY_SIZE)
    path = os.path.join(tmp, "read.drelix")
    build_file(path, raw, frame_bytes, level=3)
    c = _native.Container.open_read(path)
    nframes = len(c.frames())
    if b"".join(c.read_frame_at(i) for i in range(nframes)) != raw:
        raise AssertionError("frames do not read back as written")
    slices = frame_slices(path)
    dctx = zstandard.ZstdDecompressor()

    def run_drelix():
        for i in range(nframes):
            c.read_frame_at(i)

    def run_zstd():
        for s in slices:
            dctx.decompress(s, max_output_size=frame_bytes)

    t_d, t_z = interleaved_medians([run_drelix, run_zstd], reps)
    out.append(Result("read", f"read_frame_at over {nframes} frames of {human(frame_bytes)}",
                      "MiB/s", _mb(len(raw), t_d), "zstandard decompress of the same frames",
                      _mb(len(raw), t_z), t_z / t_d, "ratio>=", 0.9,
                      ">= 0.9x the baseline's throughput",
                      "baseline decodes from memory; drelix includes the positioned read"))
    # The same frames listed without checksums: what comparing the listed XXH64 costs a read.
    unchecked_path = os.path.join(tmp, "read-unchecked.drelix")
    copy_file(path, unchecked_path)
    frames = _native.peek_headers(path)[1]["_frames"]
    set_zone_values(unchecked_path, {"_frames": ";".join(
        ",".join(token.split(",")[:3]) for token in frames.split(";"))})
    u = _native.Container.open_read(unchecked_path)

    def run_unchecked():
        for i in range(nframes):
            u.read_frame_at(i)

    t_d, t_u = interleaved_medians([run_drelix, run_unchecked], reps)
    out.append(Result("read", f"read_frame_at over {nframes} frames of {human(frame_bytes)}, "
                      "checksums listed", "MiB/s", _mb(len(raw), t_d),
                      "the same frames listed without checksums", _mb(len(raw), t_u), t_u / t_d,
                      "ratio>=", 0.95, ">= 0.95x the throughput without checksums",
                      "each read hashes the stored frame before decoding it"))
    del c, u
    drop_file(path)
    drop_file(unchecked_path)

    n = cfg["split_n"]
    data = raw[: n * TELEMETRY_SIZE]
    t_s, t_py = interleaved_medians(
        [lambda: _native.split_records(data, FIXED32),
         lambda: [data[i:i + 32] for i in range(0, len(data), 32)]], reps)
    out.append(Result("read", "split_records, fixed 32-byte records", "M records/s",
                      n / t_s / 1e6, "Python slicing list comprehension", n / t_py / 1e6,
                      t_py / t_s, "value>=", 15.0, ">= 15 M records/s",
                      f"{n:,} records per call"))

    bodies = prefixed_bodies(cfg["prefixed_n"])
    pdata = b"".join(struct.pack("<H", len(b)) + b for b in bodies)
    prefixed = _native.RecordLayout.prefixed()
    unpack = struct.Struct("<H").unpack_from

    def py_split():
        recs, p, end = [], 0, len(pdata)
        while p + 2 <= end:
            (ln,) = unpack(pdata, p)
            recs.append(pdata[p + 2:p + 2 + ln])
            p += 2 + ln
        return recs

    t_s, t_py = interleaved_medians([lambda: _native.split_records(pdata, prefixed), py_split],
                                    reps)
    out.append(Result("read", "split_records, prefixed 20-200-byte records", "M records/s",
                      len(bodies) / t_s / 1e6, "Python loop with struct.unpack_from",
                      len(bodies) / t_py / 1e6, t_py / t_s, None, None, "(none given)",
                      f"{len(bodies):,} records per call"))
    return out


# ---- end to end against fastavro and pyarrow -------------------------------------------------

AVRO_FIELDS = [{"name": "id", "type": "long"}, {"name": "ts", "type": "long"},
               {"name": "value", "type": "double"}, {"name": "sensor", "type": "int"},
               {"name": "status", "type": "int"}]


def _avro_schema(payload):
    fields = list(AVRO_FIELDS)
    if payload:
        fields.append({"name": "payload", "type": "bytes"})
    return fastavro.parse_schema({"type": "record", "name": "Telemetry", "fields": fields})


def _arrow_schema(payload):
    fields = [("id", pa.uint64()), ("ts", pa.uint64()), ("value", pa.float64()),
              ("sensor", pa.uint32()), ("status", pa.uint32())]
    if payload:
        fields.append(("payload", pa.binary()))
    return pa.schema(fields)


def _dict_rows(arr, payloads):
    rows = [{"id": i, "ts": t, "value": v, "sensor": s, "status": st}
            for i, t, v, s, st in zip(arr["id"].tolist(), arr["ts"].tolist(),
                                      arr["value"].tolist(), arr["sensor"].tolist(),
                                      arr["status"].tolist())]
    if payloads is not None:
        for row, p in zip(rows, payloads):
            row["payload"] = p
    return rows


class EndToEnd:
    """Writes `repeat` copies of one chunk of records and reads them back, for each library.

    Every library starts from records already in the form its documentation takes them from
    Python: drelix from one bytes body per record, fastavro and pyarrow (row input) from one
    dict per record, pyarrow (column input) from numpy columns. Building that input is the
    application's cost and is not timed.
    """

    ARROW_BATCH = 65536

    def __init__(self, tmp, arr, payloads, repeat, size):
        self.tmp = tmp
        self.size = size
        self.repeat = repeat
        self.bodies = fixed_bodies(arr, payloads)
        self.rows = _dict_rows(arr, payloads)
        self.arr = arr
        self.payloads = payloads
        self.n = len(self.bodies) * repeat
        self.schema = telemetry_schema(size)
        self.layout = _native.RecordLayout.fixed(size)
        self.avro = _avro_schema(payloads is not None)
        self.arrow = _arrow_schema(payloads is not None)
        self.paths = {k: os.path.join(tmp, f"e2e.{k}") for k in
                      ("drelix", "avro", "arrow_rows", "arrow_cols")}

    # writers
    def write_drelix(self):
        c = _native.Container.create(self.paths["drelix"], self.schema, "bench", "bench")
        app = c.append_record
        for k in range(self.repeat):
            for b in self.bodies:
                app(b)
            if k + 1 < self.repeat:
                c.close_frame(k, 3)
        c.seal(self.repeat - 1, 3)

    def write_avro(self):
        records = itertools.chain.from_iterable(itertools.repeat(self.rows, self.repeat))
        with open(self.paths["avro"], "wb") as f:
            fastavro.writer(f, self.avro, records, codec="zstandard", codec_compression_level=3)

    def write_arrow_rows(self):
        opts = pa.ipc.IpcWriteOptions(compression="zstd")
        with pa.OSFile(self.paths["arrow_rows"], "wb") as sink, \
                pa.ipc.new_file(sink, self.arrow, options=opts) as writer:
            for _ in range(self.repeat):
                for s in range(0, len(self.rows), self.ARROW_BATCH):
                    writer.write_batch(pa.RecordBatch.from_pylist(
                        self.rows[s:s + self.ARROW_BATCH], schema=self.arrow))

    def write_arrow_cols(self):
        opts = pa.ipc.IpcWriteOptions(compression="zstd")
        cols = [self.arr[name] for name in ("id", "ts", "value", "sensor", "status")]
        if self.payloads is not None:
            cols.append(self.payloads)
        with pa.OSFile(self.paths["arrow_cols"], "wb") as sink, \
                pa.ipc.new_file(sink, self.arrow, options=opts) as writer:
            for _ in range(self.repeat):
                for s in range(0, len(self.bodies), self.ARROW_BATCH):
                    writer.write_batch(pa.record_batch(
                        [pa.array(col[s:s + self.ARROW_BATCH]) for col in cols],
                        schema=self.arrow))

    # readers: each returns the number of records it saw
    def read_drelix(self):
        c = _native.Container.open_read(self.paths["drelix"])
        n = 0
        for i in range(len(c.frames())):
            records, _torn = _native.split_records(c.read_frame_at(i), self.layout)
            n += len(records)
        records, _torn = _native.split_records(c.read_tail(), self.layout)
        return n + len(records)

    def read_avro(self):
        n = 0
        with open(self.paths["avro"], "rb") as f:
            for _rec in fastavro.reader(f):
                n += 1
        return n

    def _read_arrow(self, key):
        with pa.memory_map(self.paths[key], "r") as source:
            return pa.ipc.open_file(source).read_all().num_rows

    def read_arrow_rows(self):
        return self._read_arrow("arrow_rows")

    def read_arrow_cols(self):
        return self._read_arrow("arrow_cols")

    LIBS = ("drelix", "avro", "arrow_rows", "arrow_cols")

    def warm_up(self):
        """One untimed write and read per library: first calls start thread pools and grow
        memory pools, which no later call pays again."""
        for lib in self.LIBS:
            getattr(self, "write_" + lib)()
            getattr(self, "read_" + lib)()
            _drop_container_file(self.paths[lib])

    def run(self, reps):
        """{lib: (write seconds, read seconds, file bytes)}, medians over reps."""
        writes = {lib: [] for lib in self.LIBS}
        reads = {lib: [] for lib in self.LIBS}
        sizes = {}
        for _ in range(reps):
            for lib in self.LIBS:
                _drop_container_file(self.paths[lib])
                writes[lib].append(time_once(lambda _s, f=getattr(self, "write_" + lib): f()))
                sizes[lib] = os.path.getsize(self.paths[lib])
                counted = []
                reads[lib].append(time_once(
                    lambda _s, f=getattr(self, "read_" + lib): counted.append(f())))
                if counted[0] != self.n:
                    raise AssertionError(f"{lib} read back {counted[0]} of {self.n} records")
        for lib in self.LIBS:
            _drop_container_file(self.paths[lib])
        med = lambda v: sorted(v)[len(v) // 2]  # noqa: E731
        return {lib: (med(writes[lib]), med(reads[lib]), sizes[lib]) for lib in self.LIBS}


LIB_NAMES = {"drelix": "drelix", "avro": "fastavro (zstandard codec)",
             "arrow_rows": "pyarrow IPC file, zstd, rows via from_pylist",
             "arrow_cols": "pyarrow IPC file, zstd, numpy columns"}


def fig_end_to_end(cfg, tmp):
    chunk = cfg["e2e_chunk"]
    repeat = cfg["e2e_n"] // chunk
    arr = telemetry_array(chunk)
    EndToEnd(tmp, arr[: cfg["sweep_n"]], None, 1, TELEMETRY_SIZE).warm_up()
    e2e = EndToEnd(tmp, arr, None, repeat, TELEMETRY_SIZE)
    got = e2e.run(cfg["e2e_reps"])
    # How much of drelix's read is the cut into one bytes object per record.
    e2e.write_drelix()
    c = _native.Container.open_read(e2e.paths["drelix"])
    t_frames = median_time(lambda _s: [c.read_frame_at(i) for i in range(len(c.frames()))],
                           cfg["e2e_reps"])
    del c
    _drop_container_file(e2e.paths["drelix"])
    n = e2e.n
    out = []
    wd, rd, sd = got["drelix"]
    for lib in ("avro", "arrow_rows", "arrow_cols"):
        w, r, s = got[lib]
        per_record = lib != "arrow_cols"
        out.append(Result("end to end", f"write {n:,} records vs {LIB_NAMES[lib]}",
                          "k records/s", n / wd / 1e3, LIB_NAMES[lib], n / w / 1e3, w / wd,
                          "ratio>=" if per_record else None, 1.0 if per_record else None,
                          "drelix ahead (> 1x)" if per_record else "(none: no per-record "
                          "append on this side)",
                          f"files: drelix {sd / n:.2f} B/record, other {s / n:.2f} B/record"))
        out.append(Result("end to end", f"read back {n:,} records vs {LIB_NAMES[lib]}",
                          "k records/s", n / rd / 1e3, LIB_NAMES[lib], n / r / 1e3, r / rd,
                          "ratio>=", 1.0, "drelix ahead (> 1x)",
                          "drelix: read_frame_at + split_records to bytes per record; "
                          + ("fastavro: one dict per record" if lib == "avro"
                             else "pyarrow: read_all to a Table (columnar, no per-record "
                             "objects)")))
    out.append(Result("end to end", f"read back {n:,} records, frames only (no split_records)",
                      "k records/s", n / t_frames / 1e3, "drelix read with split_records",
                      n / rd / 1e3, rd / t_frames, None, None, "(none: breakdown)",
                      "read_frame_at of every frame, bytes not cut into records"))
    out.append(Result("end to end", f"file size for {n:,} records", "bytes/record", sd / n,
                      "fastavro / pyarrow", got["avro"][2] / n, sd / got["avro"][2], None,
                      None, "(none given)",
                      "pyarrow: " + f"{got['arrow_rows'][2] / n:.2f} B/record; "
                      f"raw {TELEMETRY_SIZE} B/record"))
    # The sweep over record sizes feeds results.png.
    sweep = {}
    for size in cfg["sweep_sizes"]:
        arr, payloads = payload_records(cfg["sweep_n"], size)
        sweep[size] = EndToEnd(tmp, arr, payloads, 1, size).run(cfg["sweep_reps"])
        sweep[size] = {lib: (cfg["sweep_n"] / w, cfg["sweep_n"] / r, s / cfg["sweep_n"])
                       for lib, (w, r, s) in sweep[size].items()}
    out[0].extra["sweep"] = sweep
    return out


# ---- scaling with the number of frames listed ------------------------------------------------


def fig_scaling(cfg, tmp):
    area = cfg["scaling_area"]
    top = _native.max_frames_for(area) - 1
    counts = {1} | {n for n in cfg["scaling_counts"] if n < top}
    if cfg["scaling_top"]:
        counts.add(top)  # the close then lists as many frames as the zone is rated for
    counts = sorted(counts)
    raw = telemetry_bytes(1000)
    path = os.path.join(tmp, "scale.drelix")
    work = os.path.join(tmp, "scale-work.drelix")
    reps = cfg["reps"]
    rows = []
    for count in counts:
        _drop_container_file(path)
        build_file(path, raw, level=3, header_area=area)
        replicate_frames(path, count)
        if count == counts[0] or count == counts[-1]:
            report = _native.validate(path)
            if report.problems or report.frames != count:
                raise AssertionError(f"replicated file is unsound: {report.problems}")
        t_open = median_time(lambda _s: _native.Container.open_read(path), reps)

        def setup():
            copy_file(path, work)
            c = _native.Container.open_append(work)
            append_raw(c, raw)
            c.flush_data()
            return c

        def teardown(c):
            if len(c.frames()) != count + 1:
                raise AssertionError("close_frame did not add a frame")
            del c
            _drop_container_file(work)

        t_close = median_time(lambda c: c.close_frame(count, 3), reps, setup, teardown)
        rows.append((count, t_open, t_close))
    _drop_container_file(path)
    out = []
    _, o1, c1 = rows[0]
    for count, t_open, t_close in rows:
        out.append(Result("scaling", f"open_read, {count:,} frames listed ({human(area)} zone)", "ms",
                          t_open * 1e3, "open_read with 1 frame", o1 * 1e3, t_open / o1,
                          None, None, "(grows with frames; reported)"))
    for count, t_open, t_close in rows:
        out.append(Result("scaling", f"close_frame, {count:,} frames listed ({human(area)} zone)",
                          "ms", t_close * 1e3, "close_frame with 1 frame listed", c1 * 1e3,
                          t_close / c1, None, None, "(grows with frames; reported)",
                          "32 KiB tail at level 3; two syncs included"))
    out[0].extra["scaling"] = rows
    return out


# ---- peak memory -----------------------------------------------------------------------------


def _child_rss(mode, path, arg="0"):
    """Peak RSS in bytes of a fresh interpreter running one memchild mode."""
    proc = subprocess.run([sys.executable, os.path.join(HERE, "memchild.py"), mode, path, arg],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"memchild {mode} failed: {proc.stderr.strip() or proc.stdout}")
    return int(proc.stdout.strip()) * 1024


def fig_memory(cfg, tmp):
    idle = sorted(_child_rss("idle", tmp) for _ in range(3))[1]
    out = []

    # read_frame_at of one large frame
    decoded = cfg["mem_read"]
    raw = telemetry_bytes(decoded // TELEMETRY_SIZE)
    path = os.path.join(tmp, "mem-read.drelix")
    build_file(path, raw, level=3)
    del raw
    compressed = _native.Container.open_read(path).frames()[0].len
    peak = _child_rss("read_frame_at", path, str(decoded)) - idle
    budget = decoded + compressed + 16 * MiB
    out.append(Result("memory", f"read_frame_at, {human(decoded)} decoded frame", "MiB",
                      peak / MiB, "decoded + compressed + 16 MiB", budget / MiB, peak / budget,
                      "ratio<=", 1.0, "<= decoded + compressed + 16 MiB",
                      f"compressed frame {compressed / MiB:.1f} MiB; idle interpreter "
                      f"{idle / MiB:.1f} MiB subtracted"))
    _drop_container_file(path)

    # open_append on a file with a large tail: zeros are valid fixed records, and a sparse file
    # costs no disk.
    tail = cfg["mem_tail"]
    path = os.path.join(tmp, "mem-tail.drelix")
    create(path)
    area = _native.peek_headers(path)[0].header_area
    os.truncate(path, 16 + area + tail)
    peak = _child_rss("open_append", path, "0") - idle
    budget = 8 * MiB
    out.append(Result("memory", f"open_append, {human(tail)} tail", "MiB", peak / MiB,
                      "a few MiB (8 MiB)", budget / MiB, peak / budget, "ratio<=", 1.0,
                      "a few MiB (<= 8 MiB)", "sparse tail of zero records"))
    _drop_container_file(path)

    # repack of many large frames
    frame = cfg["mem_repack_frame"]
    count = cfg["mem_repack_count"]
    raw = telemetry_bytes(frame // TELEMETRY_SIZE)
    path = os.path.join(tmp, "mem-repack.drelix")
    build_file(path, raw, level=3)
    compressed = _native.Container.open_read(path).frames()[0].len
    new_compressed = len(zstandard.ZstdCompressor(level=3, write_checksum=True).compress(raw))
    del raw
    replicate_frames(path, count)
    peak = _child_rss("repack", path, "3") - idle
    budget = frame + compressed + new_compressed + 16 * MiB
    out.append(Result("memory", f"repack, {count} frames of {human(frame)} (level 3)", "MiB",
                      peak / MiB, "one frame: content + old and new encoding + 16 MiB",
                      budget / MiB, peak / budget, "ratio<=", 1.0, "about one frame",
                      f"frame encodes to {compressed / MiB:.1f} MiB"))
    _drop_container_file(path)

    # validate of one frame that decodes to far more than the budget: frame and tail stream.
    decoded = cfg["mem_validate"]
    path = os.path.join(tmp, "mem-validate.drelix")
    _one_large_frame(path, decoded)
    peak = _child_rss("validate", path, str(decoded // TELEMETRY_SIZE)) - idle
    budget = 64 * MiB
    out.append(Result("memory", f"validate, one frame decoding to {human(decoded)}", "MiB",
                      peak / MiB, "64 MiB", budget / MiB, peak / budget, "ratio<=", 1.0,
                      "< 64 MiB", f"frame of {os.path.getsize(path) / MiB:.1f} MiB at level 3"))
    _drop_container_file(path)
    return out


def _one_large_frame(path, decoded):
    """A fixed-32 file of one level-3 frame holding `decoded` bytes of telemetry, compressed as
    a stream so that the content is never held whole here either."""
    create(path)
    area = _native.peek_headers(path)[0].header_area
    chunk = telemetry_bytes(min(decoded, 4 * MiB) // TELEMETRY_SIZE)
    cctx = zstandard.ZstdCompressor(level=3, write_checksum=True)
    with open(path, "r+b") as f:
        f.seek(16 + area)
        with cctx.stream_writer(f, size=decoded, closefd=False) as writer:
            for _ in range(decoded // len(chunk)):
                writer.write(chunk)
        length = f.tell() - 16 - area
        f.seek(16 + area)
        digest = _native.xxh64(f.read(length))
    set_zone_values(path, {"_frames": f"0,0,{length},{digest:016x}",
                           "_records": str(decoded // TELEMETRY_SIZE), "_bytes_raw": str(decoded)})


# ---- validate and repack ---------------------------------------------------------------------


def fig_maintenance(cfg, tmp):
    reps = cfg["reps"]
    frame_bytes = cfg["maint_frame"]
    raw = telemetry_bytes(cfg["maint_total"] // TELEMETRY_SIZE)
    path = os.path.join(tmp, "maint.drelix")
    build_file(path, raw, frame_bytes, level=3)
    slices = frame_slices(path)
    dctx = zstandard.ZstdDecompressor()
    out = []

    def decode_all():
        for s in slices:
            dctx.decompress(s, max_output_size=frame_bytes)

    def run_validate():
        report = _native.validate(path)
        if report.problems:
            raise AssertionError(f"validate found {report.problems}")

    t_v, t_z = interleaved_medians([run_validate, decode_all], reps)
    out.append(Result("maintenance",
                      f"validate, {len(slices)} frames of {human(frame_bytes)}", "ms",
                      t_v * 1e3, "zstandard decompress of the same frames", t_z * 1e3, t_v / t_z,
                      "ratio<=", 1.2, "<= 1.2x the baseline's time"))

    work = os.path.join(tmp, "maint-work.drelix")
    cctx = zstandard.ZstdCompressor(level=3, write_checksum=True)

    def recode():
        for s in slices:
            cctx.compress(dctx.decompress(s, max_output_size=frame_bytes))

    # Alternated in every repetition, with the copy to repack made outside the timing.
    t_repack, t_recode = [], []
    for _ in range(reps):
        copy_file(path, work)
        t_repack.append(time_once(lambda _s: _native.repack(work, level=3)))
        _drop_container_file(work)
        t_recode.append(time_once(lambda _s: recode()))
    t_r, t_zz = statistics.median(t_repack), statistics.median(t_recode)
    out.append(Result("maintenance",
                      f"repack level 3, {len(slices)} frames of {human(frame_bytes)}", "ms",
                      t_r * 1e3, "zstandard decompress + compress level 3 of the same frames",
                      t_zz * 1e3, t_r / t_zz, "ratio<=", 1.2, "<= 1.2x the baseline's time",
                      "repack syncs the new file and renames it"))
    _drop_container_file(path)
    return out


# ---- the header zone at its largest ----------------------------------------------------------


def _py_zone_headers(path):
    with open(path, "rb") as f:
        head = f.read(16)
        area = int.from_bytes(head[8:12], "little")
        zone = f.read(area)
    text = zone[: zone.index(b"\n\n")].decode()
    out = {}
    for line in text.split("\n"):
        key, _, value = line.partition(":")
        out.setdefault(key, value.replace("\\n", "\n").replace("\\\\", "\\"))
    return out


def _py_parse_frames(text):
    out = []
    for tok in text.split(";"):
        if tok:
            parts = tok.split(",")
            out.append((int(parts[0]), int(parts[1]), int(parts[2]),
                        int(parts[3], 16) if len(parts) > 3 else 0))
    return out


def fig_zone(cfg, tmp):
    reps = cfg["reps"]
    area = cfg["zone_area"]
    out = []

    # A zone full of application headers.
    path = os.path.join(tmp, "zone.drelix")
    value = "v" * 40
    count = (area - 8192) // (len("u0000000:") + len(value) + 1)
    create(path, header_area=area)
    add_user_lines(path, [(f"u{i:07d}", value) for i in range(count)])
    t_peek, t_py = interleaved_medians([lambda: _native.peek_headers(path),
                                        lambda: _py_zone_headers(path)], reps)
    if len(_native.peek_headers(path)[1]) != count + 14:
        raise AssertionError("peek_headers lost headers")
    out.append(Result("zone", f"peek_headers, {human(area)} zone of {count:,} headers", "ms",
                      t_peek * 1e3, "Python split/partition of the same zone", t_py * 1e3,
                      t_peek / t_py, None, None, "(none given)"))
    _drop_container_file(path)

    # A _frames list as long as the largest zone allows.
    nframes = cfg["zone_frames"]
    raw = telemetry_bytes(1)
    build_file(path, raw, level=3, header_area=area)
    replicate_frames(path, nframes)
    frames_text = _native.peek_headers(path)[1]["_frames"]
    t_open, t_pyparse = interleaved_medians(
        [lambda: _native.Container.open_read(path),
         lambda: _py_parse_frames(_py_zone_headers(path)["_frames"])], reps)
    out.append(Result("zone", f"open_read, {nframes:,} frames listed ({human(area)} zone)",
                      "ms", t_open * 1e3, "Python read + parse of the _frames text",
                      t_pyparse * 1e3, t_open / t_pyparse, None, None, "(none given)",
                      f"_frames value of {len(frames_text) / MiB:.1f} MiB"))

    c = _native.Container.open_read(path)
    t_list = median_time(lambda _s: c.frames(), reps)
    parsed = _py_parse_frames(frames_text)
    t_tuples = median_time(lambda _s: _py_parse_frames(frames_text), reps)
    del c
    out.append(Result("zone", f"Container.frames(), {nframes:,} Frame objects", "ms",
                      t_list * 1e3, "Python parse of the text into tuples", t_tuples * 1e3,
                      t_list / t_tuples, None, None, "(none given)"))

    work = os.path.join(tmp, "zone-work.drelix")

    def setup():
        copy_file(path, work)
        c = _native.Container.open_append(work)
        c.append_record(raw)
        c.flush_data()
        return c

    def teardown(c):
        del c
        _drop_container_file(work)

    t_close = median_time(lambda c: c.close_frame(nframes, 3), reps, setup, teardown)
    t_render = median_time(
        lambda _s: ";".join(f"{i},{o},{ln},{h:016x}" for i, o, ln, h in parsed), reps)
    out.append(Result("zone", f"close_frame, {nframes:,} frames listed (render + "
                      f"{human(area)} zone rewrite)", "ms", t_close * 1e3,
                      "Python render of the same list", t_render * 1e3, t_close / t_render,
                      None, None, "(none given)", "one 32-byte record; journal and syncs "
                      "included"))
    _drop_container_file(path)
    return out


ALL = [fig_append, fig_close, fig_read, fig_end_to_end, fig_scaling, fig_memory,
       fig_maintenance, fig_zone]

# The public API's figures live beside these, in their own module.
from api_figures import fig_api  # noqa: E402

ALL.append(fig_api)
