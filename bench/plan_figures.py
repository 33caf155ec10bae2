"""Planning a filtered Dask read of a series: what the header zones let a plan leave out.

A series of many small sealed files, timestamps rising across them, read through a window of
1 % of its records: planning against planning the same read unfiltered, in the same run.
"""

import os
from concurrent.futures import ThreadPoolExecutor

import drelix_binary as dx
import numpy as np
from figures import SCHEMA, Row, medians, telemetry, window_times

PER_FILE, FRAME = 1000, 250  # records per file, per frame


def series(directory, rows, per_file=PER_FILE):
    """`rows` as a series' sealed files (named as a series names them), ts indexed: each file
    written in one go, as a rotating writer would have left it; several at once, as each
    seal waits for its syncs."""
    os.makedirs(directory)

    def one(k):
        path = os.path.join(directory, f"{k:010d}.drelix")
        with dx.create(path, SCHEMA, index=("ts",), frame_records=FRAME) as w:
            w.write(rows[k * per_file : (k + 1) * per_file])
            w.seal()

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(one, range(-(-len(rows) // per_file))))


def fig_plan(cfg, tmp):
    files = max(20, cfg.get("series_files", cfg.get("plan_files", 1000)))  # smoke: 20
    name = f"read_drelix planning, 1 % ts window over a series of {files:,} files"
    rows, directory = telemetry(files * PER_FILE), tmp + "/series"
    series(directory, rows)
    lo, hi = rows["ts"][len(rows) // 2], rows["ts"][len(rows) // 2 + len(rows) // 100]
    window = [("ts", ">=", int(lo)), ("ts", "<", int(hi))]
    wanted = rows[(rows["ts"] >= lo) & (rows["ts"] < hi)]
    out = [series_reader(cfg, directory, window, wanted, files)]
    try:
        import drelix_binary.dask as ddx
    except ImportError as e:
        return [*out, Row("series and pruning", name, None, "", "", None, "", f"skipped: {e}")]
    got = ddx.read_drelix(directory, filters=window).compute(scheduler="sync")
    if not (np.array_equal(got["ts"], wanted["ts"]) and np.array_equal(got["id"], wanted["id"])):  # fmt: skip
        raise AssertionError("the filtered read differs from the records in the window")
    planned, unfiltered = (
        ddx._planned(directory, filters=window),
        ddx._planned(directory),
    )
    filtered, whole = planned.counts, unfiltered.counts
    t, z = medians(cfg["reps"], lambda: ddx.read_drelix(directory, filters=window),
                   lambda: ddx.read_drelix(directory))  # fmt: skip
    c, f = medians(cfg["reps"],
                   lambda: ddx.read_drelix(directory, filters=window).compute(scheduler="sync"),
                   lambda: ddx.read_drelix(directory).compute(scheduler="sync").query(
                       f"ts >= {lo} and ts < {hi}"))  # fmt: skip
    data = (f"{files:,} sealed files x {PER_FILE:,} telemetry records ({FRAME} per frame, "
            f"ts indexed, default header area), {len(wanted):,} records in the window")  # fmt: skip
    return [
        *out,
        Row("series and pruning", name, t * 1e3, "ms", "planning the same read without filters", z * 1e3,
            "reported",
            f"{data}; graph construction only; files whose frames' first bytes were read: "
            f"{filtered.files_sized:,} (unfiltered: {whole.files_sized:,}); reading every "
            f"file's zone is most of both; partitions {len(planned.parts):,} (unfiltered "
            f"{len(unfiltered.parts):,})"),
        Row("series and pruning", f"files and frames a 1 % window's plan skips, of {files:,} files",
            filtered.files_skipped, "files", "files in the series", filtered.files,
            "reported",
            f"frames skipped {filtered.frames_skipped:,} of {filtered.frames:,}, from the "
            "zones alone (drelix_stats_ts)"),
        Row("series and pruning", "the 1 % window read (sync scheduler)", c * 1e3, "ms",
            "the whole series read, then masked with pandas", f * 1e3,
            "<= 1x the baseline's time", f"{data}; planning included in both"),
    ]  # fmt: skip


def series_reader(cfg, directory, window, wanted, files):
    """The window read through the series reader (open included), against reading the
    series whole and masking it."""
    t, z = window_times(cfg, lambda: dx.open_series(directory), window, wanted)
    return Row("series and pruning", f"open_series(...).to_numpy(filters=), 1 % window of {files:,} files",
               t * 1e3, "ms", "open_series(...).to_numpy() + a numpy mask", z * 1e3,
               "reported", "open included in both: the reader reads every file's zone; files "
               "whose ranges rule out every record are not opened again")  # fmt: skip
