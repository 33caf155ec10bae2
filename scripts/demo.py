"""The life of one drelix file, end to end, printing what happens at each step."""

import os
import struct
import subprocess
import sys
import tempfile
import time

from drelix_binary import _native as dx


def show_constants():
    print("drelix_binary._native", dx.__version__)
    for name in ("VERSION", "EXTENSION", "DEFAULT_HEADER_AREA", "MAX_HEADER_AREA",
                 "HOT_LEVEL", "COLD_LEVEL"):
        print(f"  {name} = {getattr(dx, name)!r}")


def write_by_hand(path):
    """A minimal file written byte by byte, then read back with peek_headers."""
    zone = b"_schema:demo@1\n_schema_fields:\n_record:prefixed\nnote:written by hand\n\n"
    header_area = 128
    with open(path, "wb") as f:
        f.write(b"DRELIX" + bytes([1, 0]) + struct.pack("<I", header_area) + bytes(4))
        f.write(zone.ljust(header_area, b"\0"))
    preamble, headers = dx.peek_headers(path)
    print(f"peek_headers of a hand-written file: {preamble!r}")
    for key, value in headers.items():
        print(f"  {key}: {value!r}")


def life_of_a_file(path, n=1_000_000, frames=4):
    schema = dx.Schema("telemetry@1", [
        dx.FieldSpec("id", "u64", 0), dx.FieldSpec("ts", "u64", 8),
        dx.FieldSpec("value", "f64", 16), dx.FieldSpec("sensor", "u32", 24),
        dx.FieldSpec("flags", "u32", 28)], dx.RecordLayout.fixed(32))
    pack = struct.Struct("<QQdII").pack
    records = [pack(i, 1_700_000_000_000 + i, i * 0.5, i % 97, 0) for i in range(n)]

    t0 = time.perf_counter()
    c = dx.Container.create(path, schema, "demo", "scripts/demo.py",
                            created_at_millis=int(time.time() * 1000), user=[("site", "lab-7")])
    per_frame = n // frames
    for f in range(frames):
        chunk = records[f * per_frame:(f + 1) * per_frame if f < frames - 1 else n]
        for body in chunk:
            c.append_record(body)
        if f < frames - 1:
            c.close_frame(f, dx.HOT_LEVEL)
    c.seal(frames - 1, dx.HOT_LEVEL)
    t1 = time.perf_counter()
    print(f"wrote {c.records()} records in {len(c.frames())} frames "
          f"in {t1 - t0:.2f}s: {c!r}")
    del c

    r = dx.Container.open_read(path)
    back = []
    for i in range(len(r.frames())):
        recs, torn = dx.split_records(r.read_frame_at(i), r.schema().layout)
        assert torn == 0
        back.extend(recs)
    t2 = time.perf_counter()
    assert back == records, "records read back differ"
    print(f"read back and compared {len(back)} records in {t2 - t1:.2f}s")
    print("headers:")
    for key, value in r.headers().items():
        print(f"  {key}: {value[:100]!r}")
    print("frames:")
    for fr in r.frames():
        print(f"  {fr!r}")
    del r
    size = os.path.getsize(path)
    print(f"file size {size} bytes for {n * 32} raw bytes ({size / (n * 32):.1%})")


def maintain(path):
    report = dx.validate(path)
    print(f"validate: frames={report.frames} records={report.records} "
          f"problems={report.problems}")
    rebuilt = dx.rebuild_headers(path, fix=False)
    print(f"rebuild_headers: differences={rebuilt.differences} fixed={rebuilt.fixed}")
    for level in (dx.COLD_LEVEL, 0):
        rep = dx.repack(path, level=level)
        saved = rep.bytes_before - rep.bytes_after
        print(f"repack at level {level}: {rep.bytes_before} -> {rep.bytes_after} bytes "
              f"({saved:+d} saved), {rep.frames} frames")
    assert dx.validate(path).problems == []


def command_line(path):
    """The same file as an operator sees it, through the installed `drelix` command."""
    drelix = os.path.join(os.path.dirname(sys.executable), "drelix")
    folder, name = os.path.split(path)
    for verb in ("info", "validate"):
        print(f"\n$ drelix {verb} {name}", flush=True)
        subprocess.run([drelix, verb, name], cwd=folder, check=True)


def main():
    show_constants()
    with tempfile.TemporaryDirectory() as d:
        write_by_hand(os.path.join(d, "by-hand.drelix"))
        if hasattr(dx, "Container"):
            path = os.path.join(d, "telemetry.drelix")
            life_of_a_file(path)
            if hasattr(dx, "validate"):
                maintain(path)
            command_line(path)


if __name__ == "__main__":
    main()
