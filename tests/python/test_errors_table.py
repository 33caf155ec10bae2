"""I/O failures of every public entry point, as Python's own files report them; the outputs the
package publishes, synced under their temporary name before they get their own; a frame as
the writer that closed it describes it; the writer lock and a fork."""

import contextlib
import dataclasses
import os
import pathlib

import drelix_binary as dx
import numpy as np
import pytest
from conftest import write_file
from drelix_binary._publish import publishing
from drelix_binary.cli import _convert
from drelix_binary.cli._args import build_parser

ddx = pytest.importorskip("drelix_binary.dask")
SCHEMA = dx.schema("e@1", {"id": "u64"})
ENTRY_POINTS = {
    "open": dx.open,
    "open a": lambda p: dx.open(p, "a"),
    "create": lambda p: dx.create(p, SCHEMA),
    "validate": dx.validate,
    "validate unlocked": lambda p: dx.validate(p, lock=False),
    "rebuild": lambda p: dx.rebuild_headers(p, True, lock=False),
    "repack": lambda p: dx.repack(p, lock=False),
    "salvage": lambda p: dx.salvage(p, os.path.join(os.path.dirname(p), "saved.drelix")),
    "read_drelix": ddx.read_drelix,
    "read_drelix_bag": ddx.read_drelix_bag,
}
# What a path names -> the error it gives; a directory is an input to Dask (its files: none here)
# and an existing name to create.
FAILURES = {
    "missing": (lambda d: d / "no" / "x.drelix", FileNotFoundError),
    "directory": (lambda d: d, IsADirectoryError),
    "through a file": (lambda d: d / "file" / "x.drelix", NotADirectoryError),
    "unreadable": (lambda d: d / "locked.drelix", PermissionError),
}
DIRECTORY = {"create": FileExistsError, "read_drelix": FileNotFoundError, "read_drelix_bag": FileNotFoundError}  # fmt: skip


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_io_failures_are_the_errno_subclass_naming_the_path(tmp_path, entry, failure):
    make, expected = FAILURES[failure]
    path, mode = str(make(tmp_path)), 0o700
    (tmp_path / "file").write_bytes(b"")
    if failure == "unreadable":
        if os.geteuid() == 0:
            pytest.skip("root reads and writes every file")
        if entry == "create":  # a directory it may not write in
            path, mode = str(tmp_path / "new.drelix"), 0o500
        else:
            dx.create(path, SCHEMA).close()
            os.chmod(path, 0)
    os.chmod(tmp_path, mode)
    expected = DIRECTORY.get(entry, expected) if failure == "directory" else expected
    try:
        with pytest.raises(OSError) as caught:
            ENTRY_POINTS[entry](path)
    finally:
        os.chmod(tmp_path, 0o700)
    e = caught.value
    # The errno is the one the class stands for: OSError(errno, ...) makes that class.
    assert (type(e), type(OSError(e.errno, "")), e.filename) == (expected, expected, path)


@pytest.mark.parametrize("output", ["salvage", "export", "import", "to_drelix"])
def test_outputs_are_synced_then_named_then_their_directory_synced(tmp_path, monkeypatch, output):  # fmt: skip
    src, out, synced = tmp_path / "src.drelix", tmp_path / "out" / "o.drelix", []
    with dx.create(src, SCHEMA) as w:
        w.write(np.arange(50, dtype="<u8"))
    out.parent.mkdir()
    if output == "import":
        np.save(tmp_path / "src.npy", np.arange(5, dtype="<u8"))
    real = os.fsync

    def fsync(fd):  # which file, and whether the output had its name yet
        synced.append((os.readlink(f"/proc/self/fd/{fd}"), out.exists()))
        real(fd)

    monkeypatch.setattr(os, "fsync", fsync)
    if output == "salvage":
        dx.salvage(src, out)
    elif output == "to_drelix":
        df = ddx.read_drelix(src)
        out = out.parent / "part.0.drelix"
        ddx.to_drelix(df, out.parent, overwrite=True, compute_kwargs={"scheduler": "sync"})
    else:
        out = out.with_suffix(".csv" if output == "export" else ".drelix")
        source = src if output == "export" else tmp_path / "src.npy"
        args = build_parser(dx.__version__).parse_args([output, str(source), str(out)])
        assert (_convert.export if output == "export" else _convert.import_)(args) == 0
    files = [name for name, named in synced if os.path.dirname(name) == str(out.parent) and not named]  # fmt: skip
    assert [os.path.basename(f).startswith(f".{out.name}.") for f in files] == [True]
    assert synced[-1] == (str(out.parent), True) and os.listdir(out.parent) == [out.name]


@pytest.mark.parametrize("replace", [False, True])
def test_a_name_taken_meanwhile_is_replaced_only_when_asked(tmp_path, replace):
    target = tmp_path / "t.drelix"
    refused = contextlib.nullcontext() if replace else pytest.raises(FileExistsError)
    with refused as caught, publishing(str(target), replace=replace) as temporary:
        pathlib.Path(temporary).write_bytes(b"new")
        target.write_bytes(b"racer")  # another process takes the name
    assert replace or caught.value.filename == str(target)
    assert (target.read_bytes(), os.listdir(tmp_path)) == (b"new" if replace else b"racer", [target.name])  # fmt: skip


@pytest.mark.parametrize("layout", ["fixed", "prefixed"])
def test_a_closed_frame_is_described_as_every_reader_sees_it(tmp_path, layout):
    path = tmp_path / "f.drelix"
    with dx.create(path, dx.schema("f@1", {"id": "u64"}, layout=layout)) as w:
        w.extend([bytes(8)] * 3)
        closed = w.close_frame()
        listed = w.frames[-1]
    r = dx.open(path)
    # Only the writer has counted length-prefixed records.
    assert listed == r.frames[-1] == dataclasses.replace(closed, records=listed.records)
    assert closed.content_size == len(r.read_frame(-1)) and closed.records == 3


def test_a_child_forked_during_maintenance_keeps_no_lock(tmp_path):
    path, children, (r, w) = tmp_path / "m.drelix", [], os.pipe()
    with dx.create(path, SCHEMA, frame_records=10) as writer:
        writer.write(np.arange(50, dtype="<u8"))

    def fork(*_):
        if not children and os.fork() == 0:
            os.read(r, 1)  # lives until the parent has tried the file
            os._exit(0)
        children.append(1)

    assert dx.validate(path, progress=fork).ok
    try:
        dx.open(path, "a").close()  # the lock went with the call, not with the child
    finally:
        os.write(w, b"x")
        os.wait()


def test_salvage_reports_the_torn_end_of_a_tail_it_reads_through_a_reader(tmp_path):
    path = write_file(tmp_path / "t.drelix", [[b"kept"] * 3], [b"tail"] * 2)  # prefixed
    with open(path, "ab") as f:
        f.write(b"\x09\x00cut")  # a record of 9 bytes, cut after 3
    report = dx.salvage(path, tmp_path / "s.drelix")
    assert (report.records, report.tail_records, report.torn_bytes) == (5, 2, 5)
    assert list(dx.open(tmp_path / "s.drelix")) == [b"kept"] * 3 + [b"tail"] * 2
