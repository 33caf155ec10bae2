"""Shared pieces of the benchmarks: timing, the telemetry records, and quick ways to build
large drelix files.

Every figure is timed several times in one process and reported as the median, next to a
baseline timed in the same run, so that a slow or noisy machine moves both sides together.
"""

import gc
import os
import random
import shutil
import statistics
import struct
import time
from dataclasses import dataclass, field

import numpy as np

from drelix_binary import _native

MiB = 1 << 20
GiB = 1 << 30

# The fixed telemetry record: u64 id, u64 timestamp (ms), f64 value, u32 sensor, u32 status.
TELEMETRY_DTYPE = np.dtype(
    [("id", "<u8"), ("ts", "<u8"), ("value", "<f8"), ("sensor", "<u4"), ("status", "<u4")]
)
TELEMETRY_SIZE = TELEMETRY_DTYPE.itemsize  # 32
TELEMETRY_FIELDS = [("id", "u64", 0), ("ts", "u64", 8), ("value", "f64", 16),
                    ("sensor", "u32", 24), ("status", "u32", 28)]


def human(nbytes):
    """64 MiB, 512 KiB, 1 GiB: sizes as the figures name them."""
    for unit, scale in (("GiB", GiB), ("MiB", MiB), ("KiB", 1024)):
        if nbytes >= scale:
            value = nbytes / scale
            return f"{value:.0f} {unit}" if value == int(value) else f"{value:.1f} {unit}"
    return f"{nbytes} B"


# ---- timing ----------------------------------------------------------------------------------


def time_once(fn, state=None):
    """Seconds one call of fn(state) takes, with the cyclic collector held off as timeit does."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn(state)
        return time.perf_counter() - start
    finally:
        gc.enable()


def median_time(fn, reps, setup=None, teardown=None):
    """Median over reps runs of fn(setup()); setup and teardown are not timed."""
    times = []
    for _ in range(reps):
        state = setup() if setup else None
        try:
            times.append(time_once(fn, state))
        finally:
            if teardown:
                teardown(state)
    return statistics.median(times)


def interleaved_medians(fns, reps):
    """Runs each of fns once per round, reps rounds, and returns the median time of each.

    Interleaving puts a figure and its baseline through the same moments of machine noise.
    """
    times = [[] for _ in fns]
    for _ in range(reps):
        for i, fn in enumerate(fns):
            times[i].append(time_once(lambda _s, f=fn: f()))
    return [statistics.median(t) for t in times]


# ---- results ---------------------------------------------------------------------------------


@dataclass
class Result:
    """One row of RESULTS.md.

    `ratio` is oriented as the goal is stated: a time ratio (drelix / baseline) for goals of the
    form "<= x", a throughput ratio (drelix / baseline) for goals of the form ">= x".
    `check` is "ratio<=", "ratio>=", "value<=", "value>=" or None (no goal: reported only).
    """

    group: str
    name: str
    unit: str
    value: float
    baseline_name: str = ""
    baseline_value: float | None = None
    ratio: float | None = None
    check: str | None = None
    threshold: float | None = None
    goal_text: str = ""
    note: str = ""
    extra: dict = field(default_factory=dict)

    @property
    def status(self):
        if self.check is None:
            return "info"
        subject = self.ratio if self.check.startswith("ratio") else self.value
        if subject is None:
            return "n/a"
        ok = subject <= self.threshold if self.check.endswith("<=") else subject >= self.threshold
        return "pass" if ok else "MISS"


# ---- records ---------------------------------------------------------------------------------


def telemetry_array(n, seed=1, start_id=0):
    """n telemetry records as a structured array, shaped like a sensor feed: ids counting up,
    timestamps about 10 ms apart, a slowly wandering value at two decimals, 64 sensors, status
    mostly 0."""
    rng = np.random.default_rng(seed)
    out = np.empty(n, dtype=TELEMETRY_DTYPE)
    out["id"] = np.arange(start_id, start_id + n, dtype=np.uint64)
    out["ts"] = 1_700_000_000_000 + np.cumsum(rng.integers(8, 13, n, dtype=np.uint64))
    out["value"] = np.round(20.0 + np.cumsum(rng.normal(0.0, 0.05, n)), 2)
    out["sensor"] = (np.arange(n) % 64).astype(np.uint32)
    out["status"] = (rng.random(n) < 0.01).astype(np.uint32)
    return out


def telemetry_bytes(n, seed=1, start_id=0):
    return telemetry_array(n, seed, start_id).tobytes()


def split_fixed(raw, size):
    """The record bodies of raw, as separate bytes objects (the way an application holds them)."""
    return [raw[i:i + size] for i in range(0, len(raw), size)]


_WORDS = ("host=web-%02d region=eu-west-1 az=b status=ok service=api path=/v1/items "
          "method=GET code=200 user_agent=curl/8.5 trace=%016x span=%08x latency_ms=%d "
          "bytes=%d retry=0 cache=hit shard=%d").split(" ")


def prefixed_bodies(n, seed=2, low=20, high=200):
    """n record bodies of low..high bytes: a packed id, timestamp and value, then log-like
    key=value text, the kind of variable-size record the prefixed layout is for."""
    rng = random.Random(seed)
    bodies = []
    ts = 1_700_000_000_000
    for i in range(n):
        ts += rng.randint(8, 12)
        head = struct.pack("<QQd", i, ts, round(rng.uniform(0, 100), 2))
        size = rng.randint(low, high)
        words = []
        used = len(head)
        while used < size:
            w = rng.choice(_WORDS)
            if "%" in w:
                w = w % rng.randint(0, 0xFFFF)
            words.append(w)
            used += len(w) + 1
        body = head + " ".join(words).encode()
        bodies.append(body[:size])
    return bodies


def payload_records(n, size, seed=3):
    """n fixed records of `size` bytes: the 32-byte telemetry record plus size - 32 bytes of
    log-like text; returned as (array, payloads) so each library can take its own form."""
    arr = telemetry_array(n, seed)
    extra = size - TELEMETRY_SIZE
    if extra <= 0:
        return arr, None
    text = " ".join(_WORDS).encode() * (extra // 40 + 2)
    rng = np.random.default_rng(seed)
    starts = rng.integers(0, len(text) - extra, n)
    payloads = [text[s:s + extra] for s in starts.tolist()]
    return arr, payloads


def fixed_bodies(arr, payloads):
    raw = arr.tobytes()
    bodies = split_fixed(raw, TELEMETRY_SIZE)
    if payloads is None:
        return bodies
    return [b + p for b, p in zip(bodies, payloads)]


# ---- schemas and files -----------------------------------------------------------------------


def telemetry_schema(size=TELEMETRY_SIZE):
    fields = [_native.FieldSpec(n, t, o) for n, t, o in TELEMETRY_FIELDS]
    return _native.Schema("telemetry@1", fields, _native.RecordLayout.fixed(size))


def prefixed_schema():
    fields = [_native.FieldSpec("id", "u64", 0), _native.FieldSpec("ts", "u64", 8),
              _native.FieldSpec("value", "f64", 16)]
    return _native.Schema("events@1", fields, _native.RecordLayout.prefixed())


def create(path, schema=None, header_area=4096):
    return _native.Container.create(str(path), schema or telemetry_schema(), "bench", "bench",
                                    0, header_area)


def append_raw(container, raw, size=TELEMETRY_SIZE, chunk=1 << 20):
    """Appends the fixed records of raw in chunks, so that a large file never needs all of its
    record objects in memory at once."""
    app = container.append_record
    step = chunk * size
    for start in range(0, len(raw), step):
        for body in split_fixed(raw[start:start + step], size):
            app(body)


def build_file(path, raw, frame_bytes=None, level=3, header_area=4096, tail=b""):
    """A fixed-32 file whose frames hold raw, frame_bytes of it per frame, plus a flushed tail."""
    c = create(path, header_area=header_area)
    frame_bytes = frame_bytes or len(raw)
    frame_id = 0
    for start in range(0, len(raw), frame_bytes):
        append_raw(c, raw[start:start + frame_bytes])
        c.close_frame(frame_id, level)
        frame_id += 1
    if tail:
        append_raw(c, tail)
        c.flush_data()
    del c


def _replace_line(zone, key, value):
    """zone with the value of the header line `key` replaced (the key must be present)."""
    head = b"\n" + key.encode() + b":"
    start = zone.index(head) + len(head)
    end = zone.index(b"\n", start)
    return zone[:start] + value.encode() + zone[end:]


def replicate_frames(path, count):
    """Rewrites a file holding exactly one frame (and no tail) into one listing `count` copies of
    that frame back to back, with counters to match.

    Closing thousands of frames one by one would time the builder, not the figure; copies of one
    real frame give a file that validates and reads like one written frame by frame.
    """
    preamble, headers = _native.peek_headers(str(path))
    area = preamble.header_area
    tokens = headers["_frames"].split(";")
    assert len(tokens) == 1, "replicate_frames wants a file of one frame"
    frame_id, offset, length, *rest = tokens[0].split(",")
    length = int(length)
    suffix = "," + rest[0] if rest else ""
    records = int(headers["_records"]) * count
    bytes_raw = int(headers["_bytes_raw"]) * count
    frames_text = ";".join(f"{i},{i * length},{length}{suffix}" for i in range(count))
    with open(path, "rb") as f:
        head = f.read(16 + area)
        f.seek(16 + area + int(offset))
        frame = f.read(length)
    zone = b"\n" + head[16:]
    zone = _replace_line(zone, "_frames", frames_text)
    zone = _replace_line(zone, "_records", str(records))
    zone = _replace_line(zone, "_bytes_raw", str(bytes_raw))
    zone = zone[1:]
    end = zone.index(b"\n\n") + 2
    if end > area:
        raise ValueError(f"{count} frames do not fit a zone of {area} bytes")
    zone = zone[:end] + bytes(area - end)
    tmp = str(path) + ".building"
    with open(tmp, "wb") as f:
        f.write(head[:16])
        f.write(zone)
        for _ in range(count):
            f.write(frame)
    os.replace(tmp, path)


def set_zone_values(path, values):
    """Rewrites header values of the file at `path` in place (each key must be present); the
    zone keeps its size, zero-filled after the headers."""
    area = _native.peek_headers(str(path))[0].header_area
    with open(path, "r+b") as f:
        zone = b"\n" + f.read(16 + area)[16:]
        for key, value in values.items():
            zone = _replace_line(zone, key, value)
        zone = zone[1:]
        end = zone.index(b"\n\n") + 2
        if end > area:
            raise ValueError(f"the new values do not fit a zone of {area} bytes")
        f.seek(16)
        f.write(zone[:end] + bytes(area - end))


def add_user_lines(path, pairs):
    """Appends application headers to a file's zone in place, written as the zone spells them.

    Passing hundreds of thousands of headers to Container.create would time create's own
    handling of them rather than build the file; the zone text is simple enough to extend.
    """
    with open(path, "r+b") as f:
        head = f.read(16)
        area = int.from_bytes(head[8:12], "little")
        zone = f.read(area)
        end = zone.index(b"\n\n") + 1
        text = zone[:end] + "".join(f"{k}:{v}\n" for k, v in pairs).encode() + b"\n"
        if len(text) > area:
            raise ValueError(f"{len(pairs)} headers do not fit a zone of {area} bytes")
        f.seek(16)
        f.write(text + bytes(area - len(text)))


def frame_slices(path):
    """The compressed bytes of every frame of a file, read directly, in list order."""
    c = _native.Container.open_read(str(path))
    frames = c.frames()
    del c
    start = 16 + _native.peek_headers(str(path))[0].header_area
    out = []
    with open(path, "rb") as f:
        for fr in frames:
            f.seek(start + fr.offset)
            out.append(f.read(fr.len))
    return out


def copy_file(src, dst):
    shutil.copyfile(src, dst)
    return dst


def drop_file(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
