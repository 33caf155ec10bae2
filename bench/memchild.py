"""One memory measurement, run in a fresh interpreter so that its peak RSS is its own.

Usage: memchild.py MODE PATH [ARG]. Prints the process's peak resident set in KiB. The mode
"idle" imports the same module and does nothing: its peak is the baseline the parent subtracts.

The peak is read from VmHWM, the high-water mark of this process's own address space. On Linux
getrusage's ru_maxrss also keeps the peak of the address space replaced by exec, which after a
fork from a large parent is the parent's resident set, so it would report the benchmark runner's
size rather than this child's.
"""

import resource
import sys

from drelix_binary import _native


def main():
    mode, path = sys.argv[1], sys.argv[2]
    if mode == "idle":
        pass
    elif mode == "read_frame_at":
        c = _native.Container.open_read(path)
        data = c.read_frame_at(0)
        expected = int(sys.argv[3])
        if len(data) != expected:
            raise SystemExit(f"decoded {len(data)} bytes, expected {expected}")
        del data
    elif mode == "open_append":
        c = _native.Container.open_append(path)
        if c.records() < int(sys.argv[3]):
            raise SystemExit(f"open_append counted {c.records()} records")
    elif mode == "validate":
        report = _native.validate(path)
        if report.problems or report.records != int(sys.argv[3]):
            raise SystemExit(f"validate: {report.problems}, {report.records} records")
    elif mode == "repack":
        report = _native.repack(path, level=int(sys.argv[3]))
        if report.frames == 0:
            raise SystemExit("repack re-encoded no frame")
    elif mode in ("iter_batches", "to_numpy"):
        import drelix_binary as dx

        with dx.open(path) as r:
            if mode == "to_numpy":
                got = len(r.to_numpy())
            else:
                got = sum(len(batch) for batch in r.iter_batches())
        if got == 0:
            raise SystemExit(f"{mode} read no record")
    else:
        raise SystemExit(f"unknown mode {mode}")
    print(peak_kib())


def peak_kib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


if __name__ == "__main__":
    main()
