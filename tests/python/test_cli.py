"""The installed `drelix` command, run as a user would: a subprocess on files written with the
extension module directly, so that its output is checked against records we know."""

import base64
import contextlib
import csv
import io
import itertools
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import drelix_binary as dx
import numpy as np
import pytest
from conftest import DTYPE, damaged, records, write_file
from drelix_binary import _native
from drelix_binary.cli._args import FORMATS
from drelix_binary.cli._records import selection
from drelix_binary.cli._render import Renderer

DRELIX = shutil.which("drelix", path=os.path.dirname(sys.executable))
LOG = dx.schema("log@1", {}, layout="prefixed")
N = 260  # frames hold records 0..100 and 100..250; 250..260 is the tail
TEXTS = [b"hello", b"\xff\xfe", b"", "\u00fcn\u00efcode".encode(), b'a,b\n"c"']
REC = records(N, 7)
REC["id"] *= 2**40
REC["delta"][3] = np.iinfo(np.int64).min
REC["value"][[5, 6, 7]] = [np.nan, 1e300, -0.0]
SHOWN = [{"sensor": int(r["sensor"]), "flag": int(r["flag"]), "id": int(r["id"]), "delta": int(r["delta"]),
          "value": float(r["value"]) if np.isfinite(r["value"]) else None,
          "key": str(uuid.UUID(bytes=bytes(r["key"])))} for r in REC]  # fmt: skip


def drelix(*args, check):
    done = subprocess.run([DRELIX, *map(str, args)], capture_output=True, timeout=120, check=False)  # fmt: skip
    assert done.returncode == check, (done.returncode, done.stdout[-2000:], done.stderr)
    return done


def cat(*args):
    """The records `drelix cat` shows, each line decoded."""
    return [json.loads(x) for x in drelix("cat", *args, check=0).stdout.splitlines()]


def info(path):
    return json.loads(drelix("info", "--json", path, check=0).stdout)


def contents(directory):
    """What a command must leave as it was: each entry's kind, inode, links and size, and the
    bytes of each regular file."""
    entries = {p: os.lstat(p) for p in directory.iterdir()}
    return {p.name: (s[:7], stat.S_ISREG(s.st_mode) and p.read_bytes()) for p, s in entries.items()}  # fmt: skip


def one_line_error(done, path):
    """An error is exactly one line on stderr that names the file; never a traceback."""
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"drelix: {path}: "), done.stderr
    return lines[0]


def foreground():
    """Ctrl-C as a foreground job has it: a background job without job control ignores it,
    and its children inherit that."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def spawn(*argv, **options):
    """The command on a terminal of its own, where it draws its bars."""
    pexpect = pytest.importorskip("pexpect")
    return pexpect.spawn(DRELIX, [*map(str, argv)], timeout=120, preexec_fn=foreground, **options)  # fmt: skip


def ended(child, sig=signal.SIGINT):
    """The exit status of a spawned command; one that did not finish names `sig` in its status
    and in its last line, with no traceback."""
    rest = child.read()  # all it wrote after what was last expected
    child.close()
    words = b"drelix: " + (b"interrupted" if sig == signal.SIGINT else b"terminated")
    assert child.exitstatus in (0, 128 + sig) and b"Traceback" not in rest, rest
    assert child.exitstatus == 0 or rest.rstrip().endswith(words), rest
    return child.exitstatus


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """REC in a file of two frames and a tail, and that file exported by the command."""
    out = tmp_path_factory.mktemp("exported")
    write_file(out / "run.drelix", [REC[:100], REC[100:250]], REC[250:], dx.schema("test@1", DTYPE), user=[("site", "lab")])  # fmt: skip
    for suffix in (".parquet", ".arrow", ".csv"):
        drelix("export", out / "run.drelix", out / f"out{suffix}", check=0)
    np.save(out / "out.npy", REC)
    (out / "neg.csv").write_text(f"id\n-{2**64 - 1}\n1\n")  # fits neither i64 nor u64
    return out


@pytest.fixture
def fixed(exported, tmp_path):
    """The file (and its exports beside it) in the test's own directory."""
    shutil.copytree(exported, tmp_path, dirs_exist_ok=True)
    return tmp_path / "run.drelix"


def test_records_as_json_csv_raw_and_hex_and_the_file_as_info_shows_it(fixed):
    lines = drelix("cat", fixed, check=0).stdout.splitlines()
    assert [json.loads(x) for x in lines] == SHOWN
    assert drelix("head", fixed, "-n", "1000", check=0).stdout.splitlines() == lines
    assert [json.loads(drelix("get", fixed, i, check=0).stdout) for i in (-1, 101)] == [SHOWN[-1], SHOWN[101]]  # fmt: skip
    args = [sys.executable, "-m", "drelix_binary", "get", str(fixed), "0"]
    assert json.loads(subprocess.run(args, capture_output=True, check=True).stdout) == SHOWN[0]  # fmt: skip
    out = drelix("head", "--format", "csv", fixed, "-n", "8", check=0).stdout.decode()
    rows = list(csv.DictReader(io.StringIO(out)))
    assert list(rows[0]) == list(DTYPE.names) and rows[5]["value"] == ""
    # Each cell as JSON would read it: the same numbers as the JSON lines.
    typed = [{k: v if k == "key" else json.loads(v or "null") for k, v in r.items()} for r in rows]  # fmt: skip
    assert typed == SHOWN[:8]
    assert drelix("tail", "--format", "raw", fixed, "-n", "15", check=0).stdout == REC[-15:].tobytes()  # fmt: skip
    assert drelix("get", "--format", "hex", fixed, "3", check=0).stdout == REC[3].tobytes().hex().encode() + b"\n"  # fmt: skip
    shown = info(fixed)
    assert shown["schema"]["record_size"] == DTYPE.itemsize
    assert [f["name"] for f in shown["schema"]["fields"]] == list(DTYPE.names)
    assert [(f["id"], f["records"]) for f in shown["frames"]] == [(0, 100), (1, 150)]
    assert (shown["tail"]["records"], shown["tail"]["torn_bytes"], shown["user_headers"]) == (10, 0, {"site": "lab"})  # fmt: skip
    assert (shown["sealed"], shown["journal_present"], shown["bytes"]) == (False, False, os.path.getsize(fixed))  # fmt: skip
    fixed.with_name("run.drelix.repack").write_bytes(b"DRELIX")  # a killed repack's
    table = drelix("info", fixed, check=0).stdout.decode()
    for words in ("2 frames", "tail: 10 records", "lab", "43-byte records", "warning: a stale .repack file"):  # fmt: skip
        assert words in table


def following(request, *argv):
    """The command in the foreground, reading pipes, killed when the test ends or after two
    minutes: a hang fails the test (its pipes end) instead of stalling the suite. Its output
    is buffered, as a user's is (PYTHONUNBUFFERED would hide a missing flush)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    child = subprocess.Popen([DRELIX, *argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, preexec_fn=foreground)  # noqa: PLW1509 - resets SIGINT alone, as a foreground job has it  # fmt: skip
    request.addfinalizer(child.kill)
    timer = threading.Timer(120, child.kill)
    timer.daemon = True
    timer.start()
    return child


def test_tail_follow_prints_the_last_records_then_each_batch_at_once_until_the_seal_or_ctrl_c(tmp_path, request):  # fmt: skip
    path, a = tmp_path / "live.drelix", records(12)
    w = dx.create(path, dx.schema("test@1", DTYPE))
    w.extend(a[:5])
    w.flush()
    tail, stopped, left = (following(request, "tail", "-f", "-n", "2", "--poll", "0.01", path) for _ in range(3))  # fmt: skip
    lines = [tail.stdout.readline() for _ in range(2)]
    for child in (stopped, left):
        assert [child.stdout.readline() for _ in range(2)] == lines  # it is following now
    stopped.send_signal(signal.SIGINT)
    left.stdout.close()  # as `| head -2` does: no record comes, yet it ends quietly
    assert [(c.wait(), c.stderr.read()) for c in (stopped, left)] == [(130, b"drelix: interrupted\n"), (0, b"")]  # fmt: skip
    # Each batch reaches the pipe before the writer adds the next: flushed, a frame, the seal.
    for stop, show in ((8, w.flush), (10, w.close_frame), (12, w.seal)):
        w.extend(a[len(lines) + 3 : stop])
        show()
        lines += [tail.stdout.readline() for _ in range(stop - 3 - len(lines))]
    assert (tail.wait(), tail.stdout.read(), tail.stderr.read()) == (0, b"", b"")
    w.close()
    assert lines == drelix("cat", path, check=0).stdout.splitlines(keepends=True)[3:]
    # As cat and tail show them, in every format, for every kind of record.
    odd = _native.Schema("odd@1", [_native.FieldSpec("x", "i32", 0)], _native.RecordLayout.fixed(5))  # fmt: skip
    for name, schema, rows in (("odd", odd, [b"ab\0\0e", b"\xffbcde", b"hello"]), ("log", LOG, TEXTS)):
        with dx.create(tmp_path / f"{name}.drelix", schema) as w:
            w.extend(rows)
            w.seal()
    for name, fmt in itertools.product(("live", "odd", "log"), FORMATS):
        with dx.open(tmp_path / f"{name}.drelix") as r:  # what `tail -n 2` prints
            render = Renderer(fmt, r.dtype, r.layout.fixed_size is None)
            shown = render.header() + render.records(selection(r, len(r) - 2, len(r)))
        assert drelix("tail", "-f", "-n", "2", "--format", fmt, r.path, check=0).stdout == shown, (name, fmt)  # fmt: skip


def test_prefixed_records_say_whether_they_are_text_or_base64_and_export_as_one_column(tmp_path):  # fmt: skip
    # A frame of four records and a tail of one: export writes both, even a batch of one.
    text = write_file(tmp_path / "t.drelix", [TEXTS[:4]], TEXTS[4:], LOG)
    out = drelix("cat", text, check=0).stdout
    rows = list(csv.reader(io.StringIO(drelix("cat", "--format", "csv", text, check=0).stdout.decode())))  # fmt: skip
    assert rows[0] == ["encoding", "record"]
    assert [json.loads(x) for x in out.splitlines()] == [{k: v} for k, v in rows[1:]]
    assert [r[0] for r in rows[1:]] == ["text", "base64", "text", "text", "text"]
    assert [base64.b64decode(v) if k == "base64" else v.encode() for k, v in rows[1:]] == TEXTS  # fmt: skip
    # raw: as stored, each record after its 2-byte length, so the output splits again
    raw = drelix("cat", "--format", "raw", text, check=0).stdout
    assert raw == b"".join(len(t).to_bytes(2, "little") + t for t in TEXTS)
    for src in (f"{text}.arrow", f"{text}.parquet"):
        drelix("export", text, src, check=0)
        drelix("import", src, f"{src}.drelix", check=0)
        assert drelix("cat", f"{src}.drelix", check=0).stdout == out


def test_rebuild_fixes_a_wrong_count_only_when_told_and_repack_keeps_the_records(fixed):
    assert drelix("validate", fixed, check=0).stdout.decode().startswith(f"{fixed}: ok")
    data = fixed.read_bytes()
    fixed.write_bytes(data.replace(b"_records:250\n", b"_records:251\n", 1))
    done = drelix("rebuild", "--json", fixed, check=1)
    assert json.loads(done.stdout) == {"path": str(fixed), "fixed": False, "differences": ["_records: 251 -> 250"]}  # fmt: skip
    assert not dx.rebuild_headers(fixed).fixed  # the library's default is a dry run too
    drelix("validate", fixed, check=1)
    drelix("rebuild", "--fix", fixed, check=0)
    assert fixed.read_bytes() == data
    drelix("rebuild", fixed, check=0)
    report = json.loads(drelix("repack", "--json", "--level", 0, fixed, check=0).stdout)
    assert report["bytes_after"] == os.path.getsize(fixed) and report["frames"] == 2
    assert drelix("cat", "--format", "raw", fixed, check=0).stdout == REC.tobytes()
    assert info(fixed)["headers"]["_compression_level"] == "0"
    copies = [fixed.with_name(f"t{n}.drelix") for n in (1, 2)]
    for n, copy in enumerate(copies, 1):  # any thread count writes the same file
        drelix("repack", "--threads", n, shutil.copy(fixed, copy), check=0)
    assert copies[0].read_bytes() == copies[1].read_bytes() != fixed.read_bytes()


# A command that cannot run: its arguments ({p}: the file, {d}: its directory, {m}: a missing
# file there), the file its one line names, and words of that line.
CANNOT_RUN = [
    *[(argv, "{m}", "no such file") for argv in ("info {m}", "get {m} 0", "validate {m}", "rebuild {m}",
                                                  "repack {m}", "export {m} {d}/new.csv", "salvage {m} {d}/new.drelix")],
    *[(argv, "{p}", "locked") for argv in ("validate {p}", "repack {p}", "rebuild --fix {p}")],  # by a writer
    ("get {p} 260", "{p}", "no record 260"),
    *[(f"{verb} {{d}}", "{d}", "holds no series: no file named NNNNNNNNNN.drelix") for verb in ("info", "cat", "validate")],
    ("cat {p} --prefix run-", "{p}", "--prefix applies to a series directory only"),
    ("tail --poll 1 {p}", "{p}", "--poll applies to --follow only"),
    ("repack --threads 0 {p}", "{p}", "--threads"),
    ("export {p} {d}/out.parquet", "{d}/out.parquet", "already exists"),
    ("import {d}/out.parquet {d}/out.csv", "{d}/out.csv", "already exists"),
    ("export {p} {d}/no/x.csv", "{d}/no/x.csv", "no such file"),
    ("import {d}/out.parquet {d}/no/x.csv", "{d}/no/x.csv", "no such file"),
    ("import {d}/out.csv {d}/new.drelix", "{d}/out.csv", "'key'"),  # CSV cannot bring back 16 bytes
    ("import {d}/neg.csv {d}/new.drelix", "{d}/neg.csv", "'id'"),
    ("export {p} {d}/new.txt", "{d}/new.txt", "cannot tell the format from the name"),
    ("export {p} {d}/new.csv --compression zstd", "{d}/new.csv", "--compression applies to Parquet only"),
    # --force replaces a regular file only, and never the input under another name
    *[(f"export {{p}} {{d}}/{t} --to csv --force", f"{{d}}/{t}", w) for t, w in [("fifo.csv", "not a regular file"),
      ("dev.csv", "not a regular file"), ("link.csv", "not a regular file"), ("hard.csv", "itself"), ("run.drelix", "itself")]],
    *[(f"import {{d}}/out.parquet {{d}}/{t} --force", f"{{d}}/{t}", w) for t, w in [("fifo.csv", "not a regular file"),
      ("dev.csv", "not a regular file"), ("pq-link.drelix", "not a regular file"), ("out.parquet", "itself")]],
]  # fmt: skip


@pytest.mark.parametrize("argv, named, words", CANNOT_RUN)
def test_a_command_that_cannot_run_says_so_in_one_line_and_changes_no_file(fixed, argv, named, words):  # fmt: skip
    d = fixed.parent
    where = {"p": fixed, "d": d, "m": d / "missing.drelix"}
    os.mkfifo(d / "fifo.csv")
    os.symlink(fixed, d / "link.csv")
    os.link(fixed, d / "hard.csv")
    os.symlink(d / "out.parquet", d / "pq-link.drelix")
    if os.geteuid() == 0:  # a device node, like /dev/full
        os.mknod(d / "dev.csv", 0o600 | stat.S_IFCHR, os.makedev(1, 7))
    elif "dev.csv" in argv:
        pytest.skip("a device node needs root")
    with dx.open(fixed, "a") if words == "locked" else contextlib.nullcontext():
        before = contents(d)
        done = drelix(*argv.format(**where).split(), check=2)
        assert words in one_line_error(done, named.format(**where))
        assert contents(d) == before


def test_options_are_never_abbreviated_nor_commands_guessed(tmp_path):
    for argv, says in [("tail --form csv", b"unrecognized arguments: --form"),
                       ("frobnicate", b"invalid choice: 'frobnicate'")]:  # fmt: skip
        assert says in drelix(*argv.split(), tmp_path / "any.drelix", check=2).stderr


@pytest.mark.parametrize("layout", ["fixed", "prefixed"])
def test_a_damaged_frame_stops_cat_fails_validate_and_salvage_keeps_the_rest(fixed, layout):  # fmt: skip
    path, shown = fixed, SHOWN
    if layout == "prefixed":
        bodies = [f"note {i} ".encode() * (i % 7) for i in range(N)]
        path = Path(write_file(fixed.with_name("notes.drelix"), [bodies[:100], bodies[100:250]], bodies[250:], LOG))  # fmt: skip
        shown = [{"text": b.decode()} for b in bodies]
    good = shutil.copy(path, fixed.with_name("good.drelix"))
    frame = info(path)["frames"][1]
    data = bytearray(path.read_bytes())
    data[16 + 4096 + frame["offset"] + frame["length"] // 2] ^= 0xFF  # frame 1's middle
    path.write_bytes(bytes(data))
    done = drelix("cat", path, check=2)  # the records before it, then one line
    one_line_error(done, path)
    assert [json.loads(x) for x in done.stdout.splitlines()] == shown[:100]
    assert "frame 1: checksum mismatch" in drelix("validate", path, check=1).stdout.decode()  # fmt: skip
    out, missing = fixed.with_name("saved.drelix"), fixed.with_name("missing.drelix")
    report = json.loads(drelix("salvage", "--json", path, out, check=1).stdout)
    assert [lost["id"] for lost in report["lost_frames"]] == [1]
    assert (report["frames"], report["tail_records"], report["records"]) == (1, 10, 110)
    assert cat(out) == shown[:100] + shown[250:]
    # One report per file, the worst setting the status whatever comes after it.
    report = json.loads(drelix("validate", "--json", good, missing, path, out, check=2).stdout)  # fmt: skip
    assert [r.get("sound") for r in report] == [True, None, False, True]
    assert report[1]["error"].startswith(f"{missing}: ") and report[0]["records"] == N
    seen = []
    dx.salvage(path, fixed.with_name("again.drelix"), progress=lambda *a: seen.append(a))  # fmt: skip
    assert seen == [(1, 3), (2, 3), (3, 3)]  # a frame a step, and one for the tail
    with pytest.raises(ZeroDivisionError):  # stopped: its own error, and no half a file
        dx.salvage(path, fixed.with_name("stopped.drelix"), progress=lambda *a: 1 / 0)
    assert not list(fixed.parent.glob("stopped*"))


def test_salvage_names_the_bytes_a_cut_left_at_the_start_of_the_tail(tmp_path):
    cut, frames = damaged(tmp_path / "cut.drelix", cut_in=2, drop_cut=True)
    lost = cut.stat().st_size - 16 - 4096 - frames[2][0]  # frame 2's start on
    done = drelix("salvage", cut, tmp_path / "cut-saved.drelix", check=1).stdout.decode()  # fmt: skip
    assert f"lost {lost} bytes at the start of the tail: a zstd frame" in done


def test_a_single_column_of_another_type_imports_as_fields_or_as_text(tmp_path):
    pa, pq = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
    for column, shown in [(pa.array([7, 8], pa.uint32()), [{"c": 7}, {"c": 8}]),
                          (pa.array(["a", "b"], pa.large_string()), [{"text": "a"}, {"text": "b"}])]:  # fmt: skip
        pq.write_table(pa.table({"c": column}), tmp_path / "one.parquet")
        drelix("import", tmp_path / "one.parquet", tmp_path / f"{column.type}.drelix", check=0)  # fmt: skip
        assert cat(tmp_path / f"{column.type}.drelix") == shown


@pytest.mark.parametrize("values", [[2**64 - 1, 2**53 + 1, 0], [2**63, 7], [2**53 + 1, 1]])  # fmt: skip
def test_integer_columns_survive_csv_exactly(tmp_path, values):
    src, back = tmp_path / "u.drelix", tmp_path / "back.drelix"
    with dx.create(src, dx.schema("u@1", {"id": "u64", "v": "f64"})) as w:
        w.write(np.array([(v, 0.5) for v in values], dtype=[("id", "<u8"), ("v", "<f8")]))  # fmt: skip
    drelix("export", src, tmp_path / "u.csv", check=0)
    drelix("import", tmp_path / "u.csv", back, check=0)
    assert [r["id"] for r in cat(back)] == values


def test_export_writes_through_no_link_and_what_it_writes_imports_back_as_the_same_records(fixed):  # fmt: skip
    victim, new = fixed.with_name("victim"), fixed.with_name("new.parquet")
    victim.write_bytes(b"keep")
    for name in ("new.csv", "new.parquet"):  # the name a half-written output once had
        os.symlink(victim, fixed.with_name(f"{name}.partial"))
    drelix("export", fixed, fixed.with_name("new.csv"), check=0)
    assert fixed.with_name("new.csv").read_text().split("\n", 1)[0] == ",".join(DTYPE.names)  # fmt: skip
    pq = pytest.importorskip("pyarrow.parquet")
    for options, codec in [([], "ZSTD"), (["--force", "--compression", "snappy"], "SNAPPY")]:  # fmt: skip
        drelix("export", fixed, new, *options, check=0)
        assert pq.ParquetFile(new).metadata.row_group(0).column(0).compression == codec
    assert victim.read_bytes() == b"keep"
    back = fixed.with_name("back.drelix")
    # Imported back, each over the last: --force replaces a regular file.
    for src in ("new.parquet", "out.arrow", "out.npy"):
        drelix("import", fixed.with_name(src), back, "--force", check=0)
        assert drelix("cat", "--format", "raw", back, check=0).stdout == REC.tobytes()
        assert cat(back) == SHOWN and info(back)["sealed"] is True  # the same types too


def test_the_portable_wheel_installs_elsewhere_and_runs(fixed, tmp_path):
    """`make wheel` audits the wheel; here it is installed in a new environment and run."""
    wheels = list(Path(__file__).resolve().parents[2].glob("dist/drelix_binary-*manylinux*.whl"))  # fmt: skip
    if not wheels:
        pytest.skip("no repaired wheel in dist/ (`make wheel` builds it)")
    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # only the wheel

    def run(*args):
        return subprocess.run(args, capture_output=True, text=True, check=True, cwd=tmp_path, env=env).stdout  # fmt: skip

    run(sys.executable, "-m", "venv", venv)
    run(venv / "bin/pip", "install", "-q", max(wheels, key=os.path.getmtime))
    shown = json.loads(run(venv / "bin/drelix", "info", "--json", fixed))
    assert sum(f["records"] for f in shown["frames"]) == 250
    native = run(venv / "bin/python", "-c", "import drelix_binary._native as n; print(n.__file__)")  # fmt: skip
    assert native.startswith(str(venv))
    ldd = run("ldd", native.strip()).splitlines()
    for lib in ("libzstd", "libxxhash", "libutf8proc"):  # carried by the wheel
        assert "drelix_binary.libs" in next(x for x in ldd if lib in x)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A file of some 40 frames, long enough to be stopped half-way, and its records in .npy."""
    path = tmp_path_factory.mktemp("big") / "big.drelix"
    with dx.create(path, dx.schema("big@1", {"a": "u64", "b": "u64"}), frame_records=50_000) as w:  # fmt: skip
        w.write(np.random.default_rng(3).integers(0, 1000, (2_000_000, 2), dtype=np.uint64))  # fmt: skip
    np.save(path.with_suffix(".npy"), dx.open(path).to_numpy())
    return path


@pytest.mark.parametrize("argv, sig", [
    ("repack --level=19 {d}/big.drelix", signal.SIGINT), ("export {d}/big.drelix {d}/out.csv", signal.SIGINT),
    ("export {d}/big.drelix {d}/out.csv", signal.SIGTERM), ("import {d}/big.npy {d}/out.drelix", signal.SIGTERM),
    ("salvage {d}/big.drelix {d}/out.drelix", signal.SIGTERM)], ids=lambda v: getattr(v, "name", None))  # fmt: skip
def test_a_signal_half_way_ends_the_command_and_leaves_the_files_as_they_were(big, tmp_path, argv, sig):  # fmt: skip
    shutil.copytree(big.parent, tmp_path, dirs_exist_ok=True)  # big.drelix, big.npy
    before = contents(tmp_path)
    argv = argv.format(d=tmp_path).split()
    child = spawn(*argv, dimensions=(24, 160))
    # The bar counts finished steps (rich may colour the count: escape codes follow it); the
    # signal comes while fewer than 30 of the 40 or so are done, so that it lands before the end.
    child.expect(rf"{argv[0]} .*(?<!\d)[12]?\d/(\d+)(\x1b\[[0-9;]*m)* (frames|batches)")
    if argv[0] == "export":  # a bar step per frame; the tail is empty
        assert int(child.match.group(1)) == len(dx.open(big).frames)
    child.sendintr() if sig == signal.SIGINT else child.kill(sig)
    assert ended(child, sig) == 128 + sig
    assert contents(tmp_path) == before  # no .repack, no half an output


def test_ctrl_c_at_any_moment_is_status_130_or_a_complete_output(big, tmp_path):
    out = tmp_path / "out.drelix"
    # After the work has begun, up to its end.
    for delay in (0.0, 0.05, 0.1, 0.2, 0.3, 0.5):
        child = spawn("import", big.with_suffix(".npy"), out)
        child.expect(r"import .* batches")
        time.sleep(delay)
        child.kill(signal.SIGINT)
        status = ended(child)
        leftovers = sorted(p.name for p in tmp_path.iterdir())
        assert leftovers == (["out.drelix"] if status == 0 else []), (delay, status)
        if status == 0:  # it had finished: the whole file is there
            assert len(dx.open(out)) == len(dx.open(big))
            out.unlink()


def test_ctrl_c_while_the_command_starts_is_never_a_traceback(big):
    """A Ctrl-C while the package and numpy load ends the command as any other interruption
    does, never with a traceback. (One in the interpreter's own start-up, before any code of
    the package runs, is the interpreter's to report.)"""
    for delay in (0.0, 0.02, 0.04, 0.06, 0.08, 0.1, 0.15):
        child = subprocess.Popen([DRELIX, "validate", str(big)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 preexec_fn=foreground)  # noqa: PLW1509 - resets SIGINT alone, as a foreground job has it  # fmt: skip
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=120)
        # Fatal Python error: init_import_site, init_sys_streams, ...: the interpreter's own
        # start-up, before any code of the package runs.
        if err.startswith(b"Fatal Python error: init_"):
            continue
        ends = ((130, b"drelix: interrupted\n"), (-signal.SIGINT, b""), (0, b""))
        assert (child.returncode, err) in ends, (delay, child.returncode, err)


@pytest.mark.parametrize("command, extra", [("info", []), ("repack", []), ("rebuild", ["--fix"]), ("salvage", [b".saved"])])  # fmt: skip
def test_a_name_that_is_not_utf8_is_taken_and_reported_as_it_is(fixed, tmp_path, command, extra):  # fmt: skip
    odd = os.path.join(os.fsencode(tmp_path), b"odd\xff.drelix")
    shutil.copy(fixed, odd)
    extra = [odd + e if e.startswith(b".") else e for e in map(os.fsencode, extra)]
    done = subprocess.run([DRELIX, command, "--json", odd, *extra], capture_output=True, check=False)  # fmt: skip
    assert (done.returncode, json.loads(done.stdout)["path"], done.stderr) == (0, os.fsdecode(odd), b"")  # fmt: skip
    assert os.path.exists(odd + b".saved") is (command == "salvage")


def test_a_closed_stdout_is_one_line_a_reader_gone_is_no_error_and_a_pipe_gets_no_bar(fixed, big):  # fmt: skip
    shut = subprocess.run(f"{DRELIX} cat {fixed} >&-", shell=True, capture_output=True, check=False)  # fmt: skip
    assert (shut.returncode, shut.stderr) == (2, b"drelix: standard output is closed\n")
    # The reader has gone before a byte is written.
    for command in (["info"], ["validate"], ["cat"]):
        child = subprocess.Popen([DRELIX, *command, fixed], stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
        child.stdout.close()
        assert (child.wait(timeout=120), child.stderr.read()) == (0, b""), command
    pexpect = pytest.importorskip("pexpect")  # records to a pipe, bars to a terminal
    piped = pexpect.spawn("/bin/sh", ["-c", f"{DRELIX} cat {big} | tail -c 1"], timeout=120)  # fmt: skip
    assert b"frames" not in piped.read()


def test_text_from_the_file_reaches_the_terminal_escaped_and_info_elides_frames(tmp_path):  # fmt: skip
    path = tmp_path / "evil\x1b]0;x\x07.drelix"
    evil = "\x1b]0;owned\x07 \x9b31m".encode()
    write_file(path, [[b"r%d" % i] for i in range(30)], [], LOG, user=[("note", "v" * len(evil))])  # fmt: skip
    # The writer refuses such text: edited in, at the same length.
    data = path.read_bytes().replace(b"v" * len(evil), evil, 1)
    path.write_bytes(data.replace(b"_records:30\n", b"_records:\x1b0\n", 1))
    described = drelix("info", path, check=0).stdout
    rebuilt = drelix("rebuild", path, check=1).stdout
    for shown in (described, rebuilt):
        assert not {ord(c) for c in shown.decode()} & {*range(0x20), 0x7F, *range(0x80, 0xA0)} - {0x0A}  # fmt: skip
        assert b"evil\\x1b]0;x\\x07.drelix" in shown
    assert b"\\x1b]0;owned\\x07 \\x9b31m" in described
    assert b"_records: \\x1b0 -> 30" in rebuilt
    # Past a screenful of frames, one row as wide as the table says how many are not shown.
    lines = described.decode().splitlines()
    head = next(x for x in lines if "┃ id ┃" in x or " id " in x and "┃" in x)
    skipped = next(x for x in lines if "…" in x and "│" in x)
    assert len(skipped) == len(head) and "6 frames not shown (--all-frames" in "".join(lines)  # fmt: skip


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    """REC as a series "run-" of three files of 100, 80 and 80 records (the last not sealed)
    beside a file that prefix "" would take, and REC as one file, `whole.drelix`."""
    d = tmp_path_factory.mktemp("series")
    schema = dx.schema("test@1", DTYPE)
    with dx.create_series(d / "ser", schema, prefix="run-", index=("id", "value")) as w, \
         dx.create(d / "whole.drelix", schema, index=("id", "value")) as one:  # fmt: skip
        for a, b in ((0, 100), (100, 140), (140, 180), (180, 250), (250, 260)):
            w.write(REC[a:b])
            one.write(REC[a:b])
            (w.rotate if b in (100, 180) else w.close_frame)()
    write_file(d / "ser/0000000000.drelix", [[b"other"]], [], LOG)
    return d


# A reading verb on the series and on the one file: the same output (OUT: what export wrote).
SAME_AS_ONE_FILE = ["cat", "cat --format csv", "cat --format raw", "head -n 150 --format hex",
    "tail -n 170", "tail -n 2 --format csv", "get 99", "get 100", "get 180", "get -260",
    "export {d}/OUT.csv", "export {d}/OUT.parquet"]  # fmt: skip


@pytest.mark.parametrize("argv", SAME_AS_ONE_FILE)
def test_a_series_reads_as_the_one_file_of_its_records(series, tmp_path, argv):
    pq = pytest.importorskip("pyarrow.parquet") if argv.endswith("parquet") else None
    shown = []
    for source, options in ((series / "ser", ["--prefix", "run-"]), (series / "whole.drelix", [])):  # fmt: skip
        verb, *rest = argv.format(d=tmp_path).split()
        done = drelix(verb, source, *rest, *options, check=0)
        out = [str(pq.read_table(p).to_pylist()) if pq else p.read_bytes() for p in tmp_path.glob("*OUT*")]  # fmt: skip
        shown.append((done.stdout.replace(bytes(source), b"SRC"), out))
        for p in tmp_path.glob("*OUT*"):
            p.unlink()
    assert shown[0] == shown[1] and shown[0] != (b"", [])
    if argv == "cat --format raw":  # and so each file in turn
        files = sorted((series / "ser").glob("run-*"))
        assert b"".join(drelix("cat", "--format", "raw", f, check=0).stdout for f in files) == shown[0][0]  # fmt: skip


def test_a_series_is_described_validated_and_followed_file_by_file(series, tmp_path):
    ser = shutil.copytree(series / "ser", tmp_path / "ser")
    shown = json.loads(drelix("info", "--json", "--prefix", "run-", ser, check=0).stdout)
    files = shown["files"]
    assert [(f["first"], f["records"], f["frames"], f["sealed"]) for f in files] == [(0, 100, 1, True), (100, 80, 2, True), (180, 80, 2, False)]  # fmt: skip
    assert (shown["records"], shown["sealed"], shown["bytes"]) == (N, False, sum(os.path.getsize(f["path"]) for f in files))  # fmt: skip
    for f, (a, b) in zip(files, ((0, 100), (100, 180), (180, 260))):
        assert f["stats"]["id"] == [int(REC["id"][a:b].min()), int(REC["id"][a:b].max())]
    table = drelix("info", "--prefix", "run-", ser, check=0).stdout.decode()
    assert "series of 3 files, 260 records" in table and "run-0000000002.drelix" in table
    assert "other" in drelix("cat", ser, check=0).stdout.decode()  # prefix "": the other file
    member = ser / "run-0000000001.drelix"  # input: never replaced by the output
    done = drelix("export", "--prefix", "run-", "--to", "csv", "--force", ser, member, check=2)  # fmt: skip
    assert f"is {member}, a file of the series {ser}; refusing" in one_line_error(done, member)  # fmt: skip
    # A damaged file is named, the others reported sound; status 1.
    damaged = ser / "run-0000000001.drelix"
    frame, start = info(damaged)["frames"][1], 16 + dx.open(damaged).preamble.header_area
    with open(damaged, "r+b") as f:
        f.seek(start + frame["offset"] + frame["length"] // 2)
        f.write(bytes([f.read(1)[0] ^ 0xFF]))
    out = drelix("validate", "--prefix", "run-", ser, check=1).stdout.decode().splitlines()
    assert [x.split(":")[:2] for x in out if not x.startswith(" ")] == [
        [f"{ser}/run-000000000{i}.drelix", verdict] for i, verdict in enumerate((" ok, 1 frame, 100 records", " 3 problems, 2 frames, 40 records", " ok, 2 frames, 80 records"))]  # fmt: skip
    # tail -f goes on from file to file and ends with the series.
    with dx.open_series(ser, "a", prefix="run-") as w:
        w.write(REC[:5])
        w.rotate()
        w.write(REC[5:7])
        w.seal()
    followed = drelix("tail", "-f", "-n", "9", "--prefix", "run-", ser, check=0).stdout
    assert [json.loads(x) for x in followed.splitlines()] == SHOWN[-2:] + SHOWN[:7]


def test_info_shows_each_frames_range_of_every_indexed_field(tmp_path):
    path, rec = tmp_path / "s.drelix", REC.copy()
    rec["value"][100:200] = np.nan  # frame 1 holds no value
    with dx.create(path, dx.schema("test@1", DTYPE), index=("id", "value")) as w:
        for a, b in ((0, 100), (100, 200), (200, 260)):
            w.write(rec[a:b])
            w.close_frame()
    shown = info(path)
    assert shown["indexed"] == ["id", "value"] and shown["unusable_stats"] == {}
    for f, (a, b) in zip(shown["frames"], ((0, 100), (100, 200), (200, 260))):
        ids, values = rec["id"][a:b], rec["value"][a:b]
        finite = values[~np.isnan(values)]
        expect = [float(finite.min()), float(finite.max())] if len(finite) else None
        assert f["stats"] == {"id": [int(ids.min()), int(ids.max())], "value": expect}
    # A column each, the ranges whole: at full length in a pipe, folded on a narrow terminal.
    row = next(x for x in drelix("info", path, check=0).stdout.decode().splitlines() if x.startswith("│ 1 "))  # fmt: skip
    assert [c.strip() for c in row.split("│")[-3:-1]] == [f"{100 * 2**40}..{199 * 2**40}", ""]  # fmt: skip
    narrow = re.sub(r"\x1b\[[0-9;]*m|\r", "", spawn("info", path, dimensions=(60, 90)).read().decode())  # fmt: skip
    rows = narrow.split("┩")[-1].split("└")[0].splitlines()
    assert max(map(len, rows)) <= 90 and "".join(x.split("│")[-3].strip() for x in rows if "│" in x) == "".join(
        f"{int(rec['id'][a:b].min())}..{int(rec['id'][a:b].max())}" for a, b in ((0, 100), (100, 200), (200, 260)))  # fmt: skip


# A statistics key a peer left, and why info cannot use it.
UNUSABLE = [("drelix_stats_id", "0,5;6,7", "2 entries for 3 frames"),
            ("drelix_stats_id", "0,5;x,7;1,2", "frame 1's entry 'x,7' is not a u64 range"),
            ("drelix_stats_id", "0,5;7,6;1,2", "frame 1's entry '7,6' is not a u64 range"),
            ("drelix_stats_key", "1,2;;", "key is uuid, not a number"),
            ("drelix_stats_nope", ";;", "no such field")]  # fmt: skip


@pytest.mark.parametrize("key, value, why", UNUSABLE)
def test_statistics_that_cannot_be_used_are_said_to_be_so_not_raised(tmp_path, key, value, why):  # fmt: skip
    (tmp_path / "ser").mkdir()
    path = tmp_path / "ser/0000000000.drelix"  # a series of one file, too
    write_file(path, [REC[:100], REC[100:200], REC[200:]], [], dx.schema("test@1", DTYPE), user=[(key, value)])  # fmt: skip
    field = key.removeprefix("drelix_stats_")
    shown = info(path)
    assert shown["unusable_stats"] == {field: why} and all(f["stats"] == {} for f in shown["frames"])  # fmt: skip
    table = drelix("info", path, check=0).stdout.decode()
    assert f"statistics of {field} not usable ({why})" in " ".join(table.split())
    assert json.loads(drelix("info", "--json", path.parent, check=0).stdout)["files"][0]["unusable_stats"] == {field: why}  # fmt: skip
