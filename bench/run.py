"""Benchmarks of drelix, every figure beside a baseline measured in the same run.

    .venv/bin/python bench/run.py [--smoke] [--only api,cli]

A full run (make bench) rewrites RESULTS.md; a smoke run (tiny sizes, make bench-smoke) or
a partial one prints its report. A missed goal never fails a run, only an error does.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # numpy only generates records here

import argparse
import importlib.metadata
import operator
import platform
import re
import shutil
import sys
import tempfile
import time
from importlib.util import find_spec

HERE = os.path.dirname(os.path.abspath(__file__))
MiB, GiB = 1 << 20, 1 << 30
FULL = {  # a smoke run divides every size and count by 512
    "reps": 5, "append_n": 1_000_000, "close_tail": 64 * MiB, "read_total": 64 * MiB,
    "read_frame": 4 * MiB, "split_n": 1_000_000, "e2e_n": 10_000_000, "e2e_reps": 3,
    "e2e_chunk": 1_000_000, "mem_read": 256 * MiB, "mem_tail": GiB, "mem_validate": GiB,
    "mem_repack_frame": 64 * MiB, "mem_repack_count": 16, "api_n": 10_000_000,
    "api_reps": 3, "dask_files": 8, "dask_records": 2_000_000, "dask_frame": 8 * MiB,
    "plan_files": 1000, "plan_frames": 100, "cli_n": 10_000_000, "cli_reps": 5,
    "repack_frame": MiB, "repack_count": 48, "repack_reps": 3, "live_lag_n": 100_000,
    "live_idle_ms": 3000, "live_frames": 4000, "live_n": 10_000_000, "live_reps": 3,
    "remote_bytes": 256 * MiB, "remote_read_reps": 7, "remote_reps": 3, "remote_files": 200, "remote_frames": 4,
    "stream_n": 10_000_000, "window_n": 10_000_000, "window_frames": 100,
    "collect_rates": (5000, 1000), "collect_seconds": 1200,
}  # fmt: skip
GROUPS = ["append", "close", "read", "end to end", "memory", "maintenance", "public API",
          "Dask", "command line", "live readers", "object storage", "Arrow stream",
          "series and pruning"]  # fmt: skip
OPS = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}
FINDINGS = "<!-- findings: written by hand, kept when the tables are regenerated -->"
INTRO = """Each figure is the median of several runs in one process; its baseline was \
measured in the same run. The ratio is drelix's figure over the baseline's: a time, a \
throughput, or for memory the measured peak over the budget."""


def shrunk(v):
    """A size or count of a smoke run: a 512th (each of a tuple's)."""
    return tuple(map(shrunk, v)) if isinstance(v, tuple) else max(1, v // 512)


def num(x):
    if abs(x) >= 100:
        return f"{x:,.0f}"
    return f"{x:.1f}" if abs(x) >= 10 else f"{x:.2f}" if abs(x) >= 1 else f"{x:.3g}"


def line(r):
    """One row of a table. A bound written "Nx" applies to the ratio, one with a unit to
    the figure itself; a goal without a number is a budget (the ratio at most 1); a figure
    "reported" has no goal."""
    cells = [r.name, "-", "-", "-", r.goal, "skip", r.note]
    if r.value is not None:
        m = re.search(r"([<>]=?) ?([\d.]+)(x?)", r.goal)
        op, bound, on_ratio = (m[1], float(m[2]), m[3]) if m else ("<=", 1.0, "x")
        ok = OPS[op](r.value / r.base if on_ratio else r.value, bound)
        base = f"{num(r.base)} {r.unit} ({r.base_name})"
        verdict = "-" if r.goal == "reported" else "pass" if ok else "MISS"
        cells[1:6] = [f"{num(r.value)} {r.unit}", base, f"{r.value / r.base:.2f}", r.goal,
                      verdict]  # fmt: skip
    return "| " + " | ".join(cells) + " |"


def report(rows, smoke, seconds, load, kept=""):
    """RESULTS.md: the run, a table per group, then the hand-written findings kept."""
    libs = ("drelix_binary", "zstandard", "numpy", "fastavro", "pyarrow", "dask")
    versions = [f"{m} {importlib.metadata.version(m)}" for m in libs if find_spec(m)]
    uname = " ".join(platform.uname()).strip()
    with open("/proc/cpuinfo") as f:
        cpu = next((x.split(":")[1].strip() for x in f if "model name" in x), "?")
    out = [
        "# Benchmark results", "",
        f"- Date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}",
        f"- Machine: `{uname}`; CPU: {cpu}, {os.cpu_count()} cores",
        f"- Python {platform.python_version()}; {', '.join(versions)}",
        f"- Run: {'smoke (tiny sizes; timings meaningless)' if smoke else 'full'}, "
        + f"{seconds:.0f} s; `make bench` (`.venv/bin/python bench/run.py`)",
        f"- Machine load during the run: {load:.1f} at start, {os.getloadavg()[0]:.1f} "
        + "at end (1-minute load average)", "", INTRO,
    ]  # fmt: skip
    for group in GROUPS:
        if lines := [line(r) for r in rows if r.group == group]:
            header = "| figure | drelix | baseline | ratio | goal | result | notes |"
            out += ["", f"## {group}", "", header, "|---" * 7 + "|", *lines]
    return "\n".join(out) + "\n" + (f"\n{kept}" if kept else "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="tiny sizes, one repetition")
    ap.add_argument("--only", help="e.g. read,repack,memory,api,dask,cli,live,remote")
    args = ap.parse_args()
    sys.path.insert(0, HERE)
    import figures

    cfg = {k: shrunk(v) if args.smoke else v for k, v in FULL.items()}
    rows, load, started = [], os.getloadavg()[0], time.time()
    for fig in figures.ALL:
        if args.only and fig.__name__[4:] not in args.only.split(","):
            continue
        print(f"bench: {fig.__name__[4:]}", flush=True)
        scratch = tempfile.mkdtemp(prefix="drelix-bench-")
        try:
            for r in fig(cfg, scratch):
                print(line(r), flush=True)
                rows.append(r)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    seconds = time.time() - started
    if args.smoke or args.only:
        return print(report(rows, args.smoke, seconds, load))
    with open(HERE + "/RESULTS.md") as f:
        old = f.read()
    kept = old[old.find(FINDINGS) :] if FINDINGS in old else ""
    with open(HERE + "/RESULTS.md", "w") as f:
        f.write(report(rows, False, seconds, load, kept))


if __name__ == "__main__":
    main()
