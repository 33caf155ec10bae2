"""Dask figures: a reduction on a two-worker local cluster against the same reduction file after
file in one process, and the client-side planning of many files."""

import glob
import os
import shutil

import dask
import drelix_binary as dx
import drelix_binary.dask as ddx
import numpy as np
import pandas as pd
from common import (
    MiB,
    Result,
    build_file,
    interleaved_medians,
    replicate_frames,
    telemetry_bytes,
    time_once,
)


def _sensor_means_one_by_one(paths):
    """Per-sensor mean of `value`, file after file, one decoding thread."""
    sums = None
    for path in paths:
        with dx.open(path) as reader:
            a = reader.to_numpy(threads=1)
        part = pd.DataFrame({"sensor": a["sensor"], "value": a["value"]})
        part = part.groupby("sensor")["value"].agg(["sum", "count"])
        sums = part if sums is None else sums.add(part, fill_value=0)
    return sums["sum"] / sums["count"]


def _sensor_means_dask(paths, client):
    df = ddx.read_drelix(paths, columns=["sensor", "value"])
    return df.groupby("sensor")["value"].mean().compute(scheduler=client)


def _reduction(cfg, tmp):
    import distributed

    n, files = cfg["dask_records"], cfg["dask_files"]
    paths = []
    for k in range(files):
        path = os.path.join(tmp, f"sensors-{k}.drelix")
        build_file(
            path, telemetry_bytes(n, seed=k + 1, start_id=k * n), cfg["dask_frame"]
        )
        paths.append(path)
    # Workers allocate as the single process does: distributed's default MALLOC_TRIM_THRESHOLD_
    # (65536) turns off glibc's adaptive mmap threshold, so that every large buffer is mapped
    # and faulted in afresh, which costs each 64 MB decode about a quarter more CPU.
    trim = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
    with (
        dask.config.set(trim),
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        # The first runs warm the page cache and the workers alike.
        one = _sensor_means_one_by_one(paths)
        many = _sensor_means_dask(paths, client)
        if not np.allclose(one.sort_index().to_numpy(), many.sort_index().to_numpy()):
            raise AssertionError("the cluster's means differ from the single process's")
        load = os.getloadavg()[0]
        t_one, t_dask = interleaved_medians(
            [
                lambda: _sensor_means_one_by_one(paths),
                lambda: _sensor_means_dask(paths, client),
            ],
            cfg["reps"],
        )
    for path in paths:
        os.remove(path)
    total = n * files
    return Result(
        "dask",
        f"per-sensor mean over {files} files x {n:,} records, 2-worker local cluster",
        "M records/s",
        total / t_dask / 1e6,
        "file after file in one process, one decoding thread",
        total / t_one / 1e6,
        t_one / t_dask,
        "ratio>=",
        1.4,
        ">= 1.4x the baseline's throughput",
        f"{os.cpu_count()} cores, load average {load:.1f} before the timed runs; workers "
        "without MALLOC_TRIM_THRESHOLD_, as the single process; "
        "read_drelix(columns=[sensor, value]).groupby(sensor)"
        ".value.mean(); baseline to_numpy(threads=1) + pandas groupby per file",
    )


def _planning(cfg, tmp):
    files, frames = cfg["plan_files"], cfg["plan_frames"]
    directory = os.path.join(tmp, "plan")
    os.makedirs(directory)
    first = os.path.join(directory, "f0.drelix")
    build_file(first, telemetry_bytes(256), header_area=frames * 64 + 4096)
    replicate_frames(first, frames)
    for k in range(1, files):
        shutil.copyfile(first, os.path.join(directory, f"f{k}.drelix"))
    pattern = os.path.join(directory, "*.drelix")
    holder = {}
    seconds = time_once(lambda _s: holder.update(df=ddx.read_drelix(pattern)))
    df = holder["df"]
    if not df.known_divisions or df.divisions[-1] != files * frames * 256 - 1:
        raise AssertionError("the plan does not cover every record")
    listing = time_once(lambda _s: glob.glob(pattern))
    shutil.rmtree(directory)
    return Result(
        "dask",
        f"read_drelix planning, {files:,} files x {frames} frames",
        "s",
        seconds,
        "listing the same files with glob",
        listing,
        None,
        "value<=",
        5.0,
        "<= 5 s",
        f"{df.npartitions:,} partitions sized automatically "
        f"(~{ddx.PARTITION_BYTES // MiB} MiB decoded); nothing decoded",
    )


def fig_dask(cfg, tmp):
    return [_reduction(cfg, tmp), _planning(cfg, tmp)]
