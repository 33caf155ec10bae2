"""Benchmarks of drelix against its baselines and the alternatives users would pick.

    .venv/bin/python bench/run.py            full run: writes bench/RESULTS.md, bench/results.png
    .venv/bin/python bench/run.py --smoke    every figure at a tiny size, in a few seconds

The smoke run checks that every figure still runs; its timings mean nothing, so it never fails
on one (only on an error), and it writes its report to a scratch directory unless --out is
given.
"""

import os

# numpy is imported only to generate records; its BLAS threads would otherwise compete with the
# figures for the machine's cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import datetime
import importlib
import importlib.util
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REQUIREMENTS = os.path.join(HERE, "requirements.txt")
MODULES = ("zstandard", "fastavro", "pyarrow", "matplotlib", "numpy") + (
    ("backports.zstd",) if sys.version_info < (3, 14) else ())

MiB = 1 << 20

FULL = dict(
    reps=5, append_n=1_000_000, prefixed_n=500_000,
    close_tail=64 * MiB,
    read_total=64 * MiB, read_frame=4 * MiB, split_n=1_000_000,
    e2e_n=10_000_000, e2e_chunk=1_000_000, e2e_reps=3,
    sweep_sizes=[32, 64, 128, 256], sweep_n=500_000, sweep_reps=3,
    scaling_area=1 * MiB, scaling_counts=[1, 10, 100, 1000, 4000], scaling_top=True,
    mem_read=256 * MiB, mem_tail=1024 * MiB, mem_repack_frame=64 * MiB, mem_repack_count=16,
    mem_validate=1024 * MiB,
    maint_total=64 * MiB, maint_frame=4 * MiB,
    zone_area=16 * MiB, zone_frames=260_000,
)

SMOKE = dict(
    reps=1, append_n=2_000, prefixed_n=1_000,
    close_tail=256 * 1024,
    read_total=512 * 1024, read_frame=128 * 1024, split_n=4_000,
    e2e_n=4_000, e2e_chunk=2_000, e2e_reps=1,
    sweep_sizes=[32, 64], sweep_n=1_000, sweep_reps=1,
    scaling_area=64 * 1024, scaling_counts=[1, 10], scaling_top=False,
    mem_read=1 * MiB, mem_tail=4 * MiB, mem_repack_frame=1 * MiB, mem_repack_count=2,
    mem_validate=4 * MiB,
    maint_total=512 * 1024, maint_frame=128 * 1024,
    zone_area=256 * 1024, zone_frames=2_000,
)


def _absent(module):
    try:
        return importlib.util.find_spec(module) is None
    except ModuleNotFoundError:  # the parent package of a dotted name is missing
        return True


def ensure_requirements():
    """Installs the benchmark's own packages into this interpreter's environment when missing;
    they are kept out of the test requirements on purpose."""
    missing = [m for m in MODULES if _absent(m)]
    if missing:
        print(f"bench: installing {', '.join(missing)} from {REQUIREMENTS}", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "-r", REQUIREMENTS],
                       check=True)
        importlib.invalidate_caches()


def machine():
    u = platform.uname()
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import fastavro
    import numpy
    import pyarrow
    import zstandard
    from drelix_binary import _native
    return {
        "uname": " ".join([u.system, u.node, u.release, u.version, u.machine]),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "versions": f"drelix {_native.__version__}, zstandard {zstandard.__version__} "
                    f"(libzstd {zstandard.ZSTD_VERSION if hasattr(zstandard, 'ZSTD_VERSION') else '?'}), "
                    f"fastavro {fastavro.__version__}, pyarrow {pyarrow.__version__}, "
                    f"numpy {numpy.__version__}",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="tiny sizes, one repetition")
    ap.add_argument("--out", help="directory for RESULTS.md and results.png")
    ap.add_argument("--only", help="comma-separated figure names (e.g. append,close)")
    ap.add_argument("--tmp", help="scratch directory (default: a new one under the system's)")
    args = ap.parse_args(argv)

    ensure_requirements()
    sys.path.insert(0, HERE)
    import figures
    import report

    cfg = SMOKE if args.smoke else FULL
    chosen = figures.ALL
    if args.only:
        wanted = set(args.only.split(","))
        chosen = [f for f in figures.ALL if f.__name__.removeprefix("fig_") in wanted]
    # A partial or tiny run must not overwrite the full report.
    out_dir = args.out or (None if args.smoke or args.only else HERE)
    scratch = tempfile.mkdtemp(prefix="drelix-bench-", dir=args.tmp)
    results = []
    load_before = os.getloadavg()
    started = time.perf_counter()
    try:
        for fig in chosen:
            t0 = time.perf_counter()
            print(f"bench: {fig.__name__} ...", flush=True)
            got = fig(cfg, scratch)
            for r in got:
                print("  " + report.line(r), flush=True)
            print(f"  ({time.perf_counter() - t0:.1f} s)", flush=True)
            results.extend(got)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    info = machine()
    info["mode"] = "smoke (tiny sizes; timings meaningless)" if args.smoke else "full"
    info["elapsed"] = time.perf_counter() - started
    info["load"] = (f"{load_before[0]:.1f} at start, {os.getloadavg()[0]:.1f} at end "
                    f"(1-minute load average, {os.cpu_count()} cores)")
    keep = out_dir is not None
    out_dir = out_dir or tempfile.mkdtemp(prefix="drelix-bench-report-")
    try:
        report.write_markdown(os.path.join(out_dir, "RESULTS.md"), results, info)
        report.write_plot(os.path.join(out_dir, "results.png"), results)
    finally:
        if not keep:
            shutil.rmtree(out_dir, ignore_errors=True)
    misses = [r for r in results if r.status == "MISS"]
    print(f"bench: {len(results)} figures, {len(misses)} missed their goal, "
          f"{info['elapsed']:.1f} s" + ("" if not keep else f"; report in {out_dir}"))
    # Timings never fail the run: a miss is a finding to report, not an error.
    return 0


if __name__ == "__main__":
    sys.exit(main())
