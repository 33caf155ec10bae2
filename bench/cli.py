"""The drelix command against the library under it, on one file of fixed telemetry records.

    .venv/bin/python bench/cli.py            10,000,000 records; writes bench/CLI-RESULTS.md
    .venv/bin/python bench/cli.py --smoke    20,000 records, report to stdout only

Both sides run as fresh processes, so Python's start-up and the package import are paid by
each: what the ratio shows is what the command line adds. Every figure is the median of
interleaved runs. The smoke run checks that the figures still run; its timings mean nothing.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import drelix_binary as dx
from common import TELEMETRY_DTYPE, telemetry_array

BIN = os.path.dirname(sys.executable)
CHUNK = 1_000_000


def build(path, n):
    schema = dx.schema("telemetry@1", TELEMETRY_DTYPE)
    with dx.create(path, schema, source="bench/cli.py") as w:
        for start in range(0, n, CHUNK):
            w.write(telemetry_array(min(CHUNK, n - start), start_id=start))


def wall(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def medians(commands, reps):
    times = {name: [] for name in commands}
    for _ in range(reps):
        for name, argv in commands.items():
            times[name].append(wall(argv))
    return {name: statistics.median(t) for name, t in times.items()}


def library(code, path):
    return [sys.executable, "-c", f"import drelix_binary as dx; {code}", path]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--smoke", action="store_true")
    args = ap.parse_args()
    n, reps = (20_000, 1) if args.smoke else (10_000_000, 5)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "telemetry.drelix")
        build(path, n)
        size = os.path.getsize(path)
        t = medians(
            {
                "cat": [f"{BIN}/drelix", "cat", path],
                "to_numpy": library(
                    "dx.open(__import__('sys').argv[1]).to_numpy()", path
                ),
                "validate": [f"{BIN}/drelix", "validate", path],
                "dx.validate": library("dx.validate(__import__('sys').argv[1])", path),
            },
            reps,
        )
    rate = n / t["cat"]
    ratio = t["validate"] / t["dx.validate"]
    rows = [
        (
            "`drelix cat` to /dev/null, JSON lines",
            f"{rate / 1e6:.2f} M records/s",
            f"{n / t['to_numpy'] / 1e6:.2f} M records/s (library `to_numpy`, no text)",
            f"{rate / (n / t['to_numpy']):.2f}",
            ">= 1 M records/s",
            "pass" if rate >= 1e6 else "MISS",
        ),
        (
            "`drelix validate`",
            f"{t['validate']:.2f} s",
            f"{t['dx.validate']:.2f} s (library `validate`)",
            f"{ratio:.2f}",
            "<= 1.1x the library's time",
            "pass" if ratio <= 1.1 else "MISS",
        ),
    ]
    load = os.getloadavg()[0]
    report = "\n".join(
        [
            "# The command line against the library",
            "",
            (
                f"- Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
                f"{platform.machine()}, {os.cpu_count()} cores, load {load:.1f} at the end"
            ),
            (
                f"- File: {n:,} fixed 32-byte telemetry records in {size / 2**20:.0f} MiB "
                "(64 MiB frames, zstd level 3)"
            ),
            (
                f"- Median of {reps} interleaved runs; each side a fresh process "
                "(`.venv/bin/python bench/cli.py`)"
            ),
            "",
            "| figure | drelix command | baseline | ratio | goal | result |",
            "|---|---|---|---|---|---|",
            *("| " + " | ".join(row) + " |" for row in rows),
            "",
        ]
    )
    print(report)
    if not args.smoke:
        with open(os.path.join(HERE, "CLI-RESULTS.md"), "w") as f:
            f.write(report)


if __name__ == "__main__":
    main()
