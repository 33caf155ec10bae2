"""The installed `drelix` command, run as a user would: a subprocess on files written with the
extension module directly, so that its output is checked against records we know."""

import base64
import csv
import glob
import io
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import time
import uuid

import drelix_binary as dx
import numpy as np
import pytest
from conftest import DTYPE, damaged, records, write_file
from drelix_binary import _native

DRELIX = shutil.which("drelix", path=os.path.dirname(sys.executable))
LOG = dx.schema("log@1", {}, layout="prefixed")
N = 260  # frames hold records 0..100 and 100..250; 250..260 is the tail
TEXTS = [b"hello", b"\xff\xfe", b"", "\u00fcn\u00efcode".encode(), b'a,b\n"c"']


def drelix(*args, check):
    done = subprocess.run([DRELIX, *map(str, args)], capture_output=True, timeout=120, check=False)  # fmt: skip
    assert done.returncode == check, (done.returncode, done.stdout[-2000:], done.stderr)
    return done


def one_line_error(done, path):
    """An error is exactly one line on stderr that names the file; never a traceback."""
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"drelix: {path}: "), done.stderr
    return lines[0]


@pytest.fixture
def fixed(tmp_path):
    rec = records(N, 7)
    rec["id"] *= 2**40
    rec["delta"][3] = np.iinfo(np.int64).min
    rec["value"][[5, 6, 7]] = [np.nan, 1e300, -0.0]
    path = tmp_path / "run.drelix"
    write_file(path, [rec[:100], rec[100:250]], rec[250:], dx.schema("test@1", DTYPE), user=[("site", "lab")])  # fmt: skip
    shown = [{"sensor": int(r["sensor"]), "flag": int(r["flag"]), "id": int(r["id"]), "delta": int(r["delta"]),
              "value": float(r["value"]) if np.isfinite(r["value"]) else None,
              "key": str(uuid.UUID(bytes=bytes(r["key"])))} for r in rec]  # fmt: skip
    return path, rec, shown


def test_fixed_records_as_json_csv_raw_and_hex(fixed):
    path, rec, shown = fixed
    lines = drelix("cat", path, check=0).stdout.splitlines()
    assert [json.loads(x) for x in lines] == shown
    assert drelix("head", path, "-n", "1000", check=0).stdout.splitlines() == lines
    assert [json.loads(drelix("get", path, i, check=0).stdout) for i in (-1, 101)] == [shown[-1], shown[101]]  # fmt: skip
    out = drelix("head", "--format", "csv", path, "-n", "8", check=0).stdout.decode()
    rows = list(csv.DictReader(io.StringIO(out)))
    assert list(rows[0]) == list(DTYPE.names) and rows[5]["value"] == ""
    for row in rows:
        row.update({k: int(row[k]) for k in ("sensor", "flag", "id", "delta")},
                   value=float(row["value"]) if row["value"] else None)  # fmt: skip
    assert rows == shown[:8]
    raw = drelix("tail", "-f", "raw", path, "-n", "15", check=0).stdout  # both parts
    assert raw == rec[-15:].tobytes()
    assert drelix("get", "-f", "hex", path, "3", check=0).stdout == rec[3].tobytes().hex().encode() + b"\n"  # fmt: skip


def test_prefixed_records_say_whether_they_are_text_or_base64(tmp_path):
    text = write_file(tmp_path / "t.drelix", [TEXTS[:3]], TEXTS[3:], LOG)
    out = drelix("cat", text, check=0).stdout.decode().splitlines()
    rows = list(csv.reader(io.StringIO(drelix("cat", "-f", "csv", text, check=0).stdout.decode())))  # fmt: skip
    assert rows[0] == ["encoding", "record"]
    assert [json.loads(x) for x in out] == [{k: v} for k, v in rows[1:]]
    assert [r[0] for r in rows[1:]] == ["text", "base64", "text", "text", "text"]
    assert [base64.b64decode(v) if k == "base64" else v.encode() for k, v in rows[1:]] == TEXTS  # fmt: skip


def test_info_shows_schema_frames_tail_and_a_stale_repack_file(fixed, tmp_path):
    path = fixed[0]
    info = json.loads(drelix("info", "--json", path, check=0).stdout)
    assert info["schema"]["record_size"] == DTYPE.itemsize
    assert [f["name"] for f in info["schema"]["fields"]] == list(DTYPE.names)
    assert [(f["id"], f["records"]) for f in info["frames"]] == [(0, 100), (1, 150)]
    assert (info["tail"]["records"], info["tail"]["torn_bytes"], info["user_headers"]) == (10, 0, {"site": "lab"})  # fmt: skip
    assert (info["sealed"], info["journal_present"], info["bytes"]) == (False, False, os.path.getsize(path))  # fmt: skip
    (tmp_path / "run.drelix.repack").write_bytes(b"DRELIX")  # a killed repack's
    table = drelix("info", path, check=0).stdout.decode()
    assert "2 frames" in table and "tail: 10 records" in table and "lab" in table
    assert "43-byte records" in table  # the layout line
    assert "warning: a stale .repack file" in table


def test_validate_and_rebuild_find_a_wrong_count_and_only_fix_rewrites_it(fixed):
    path = fixed[0]
    assert drelix("validate", path, check=0).stdout.decode().startswith(f"{path}: ok")
    data = path.read_bytes()
    path.write_bytes(data.replace(b"_records:250\n", b"_records:251\n", 1))
    done = drelix("rebuild", "--json", path, check=1)
    assert json.loads(done.stdout) == {"path": str(path), "fixed": False, "differences": ["_records: 251 -> 250"]}  # fmt: skip
    assert not dx.rebuild_headers(path).fixed  # the library's default is a dry run too
    drelix("validate", path, check=1)
    drelix("rebuild", "--fix", path, check=0)
    assert path.read_bytes() == data
    drelix("rebuild", path, check=0)


def test_repack_to_level_0_keeps_the_records_and_any_thread_count_writes_one_file(fixed, tmp_path):  # fmt: skip
    path, rec, _ = fixed
    report = json.loads(drelix("repack", "--json", "--level", 0, path, check=0).stdout)
    assert report["bytes_after"] == os.path.getsize(path) and report["frames"] == 2
    assert drelix("cat", "-f", "raw", path, check=0).stdout == rec.tobytes()
    headers = json.loads(drelix("info", "--json", path, check=0).stdout)["headers"]
    assert headers["_compression_level"] == "0"
    copies = [tmp_path / f"t{n}.drelix" for n in (1, 2)]
    for n, copy in enumerate(copies, 1):
        drelix("repack", "--threads", n, shutil.copy(path, copy), check=0)
    assert copies[0].read_bytes() == copies[1].read_bytes() != path.read_bytes()
    assert "--threads" in one_line_error(drelix("repack", "--threads", 0, path, check=2), path)  # fmt: skip


@pytest.mark.parametrize("command", ["info {p}", "get {p} 0", "validate {p}", "rebuild {p}", "repack {p}",
                                     "export {p} {o}.csv", "salvage {p} {o}.drelix"])  # fmt: skip
def test_a_missing_file_is_one_line_and_writes_nothing(tmp_path, command):
    missing, out = tmp_path / "missing.drelix", tmp_path / "out"
    done = drelix(*command.format(p=missing, o=out).split(), check=2)
    assert "no such file" in one_line_error(done, missing).lower()
    assert not list(tmp_path.glob("out*"))


@pytest.mark.parametrize("command", [["validate"], ["repack"], ["rebuild", "--fix"]])
def test_a_writers_lock_keeps_maintenance_out(fixed, command):
    path = fixed[0]
    with dx.open(path, "a"):
        data = path.read_bytes()
        assert "lock" in one_line_error(drelix(*command, path, check=2), path)
        assert path.read_bytes() == data


def test_bad_arguments_are_one_line_and_python_m_runs_the_command(fixed):
    path = fixed[0]
    args = [sys.executable, "-m", "drelix_binary", "get", str(path), "0"]
    assert json.loads(subprocess.run(args, capture_output=True, check=True).stdout)["id"] == 0  # fmt: skip
    assert drelix("get", path, N, check=2).stderr.decode().count("\n") == 1
    drelix("frobnicate", path, check=2)


@pytest.fixture(params=["fixed", "prefixed"])
def flipped(fixed, tmp_path, request):
    """The file with one byte flipped in the middle of frame 1: (path, an undamaged copy,
    every record as cat shows it, frame 1's id)."""
    path, _, shown = fixed
    if request.param == "prefixed":
        bodies = [f"note {i} ".encode() * (i % 7) for i in range(N)]
        path = tmp_path / "notes.drelix"
        write_file(path, [bodies[:100], bodies[100:250]], bodies[250:], LOG)
        shown = [{"text": b.decode()} for b in bodies]
    good = shutil.copy(path, tmp_path / "good.drelix")
    fid, offset, length = map(int, _native.peek_headers(str(path))[1]["_frames"].split(";")[1].split(",")[:3])  # fmt: skip
    data = bytearray(path.read_bytes())
    data[16 + 4096 + offset + length // 2] ^= 0xFF
    path.write_bytes(bytes(data))
    return path, good, shown, fid


def test_cat_stops_at_a_damaged_frame_in_one_line_after_the_records_before_it(flipped):
    path, _, shown, _ = flipped
    done = drelix("cat", path, check=2)
    one_line_error(done, path)
    assert [json.loads(x) for x in done.stdout.splitlines()] == shown[:100]


def test_validate_names_the_damaged_frame_and_the_worst_file_sets_the_status(flipped, tmp_path):
    path, good, _, fid = flipped
    assert f"frame {fid}: checksum mismatch" in drelix("validate", path, check=1).stdout.decode()  # fmt: skip
    missing = tmp_path / "missing.drelix"
    report = json.loads(drelix("validate", "--json", good, path, missing, check=2).stdout)  # fmt: skip
    assert [r.get("sound") for r in report] == [True, False, None]
    assert report[2]["error"].startswith(f"{missing}: ") and report[0]["records"] == N


def test_salvage_keeps_every_other_frame_and_the_tail(flipped, tmp_path):
    path, _, shown, fid = flipped
    out = tmp_path / "saved.drelix"
    report = json.loads(drelix("salvage", "--json", path, out, check=1).stdout)
    assert [lost["id"] for lost in report["lost_frames"]] == [fid]
    assert (report["frames"], report["tail_records"], report["records"]) == (1, 10, 110)
    drelix("validate", out, check=0)
    saved = [json.loads(x) for x in drelix("cat", out, check=0).stdout.splitlines()]
    assert saved == shown[:100] + shown[250:]


def test_salvage_reports_a_step_per_frame_and_a_stop_leaves_no_file(flipped, tmp_path):
    path, seen = flipped[0], []
    dx.salvage(path, tmp_path / "again.drelix", progress=lambda *a: seen.append(a))
    assert seen == [(1, 3), (2, 3), (3, 3)]  # a frame a step, and one for the tail
    with pytest.raises(ZeroDivisionError):  # stopped: its own error, and no half a file
        dx.salvage(path, tmp_path / "stopped.drelix", progress=lambda *a: 1 / 0)
    assert not list(tmp_path.glob("stopped*"))


def test_salvage_names_the_bytes_a_cut_left_at_the_start_of_the_tail(tmp_path):
    cut, frames = damaged(tmp_path / "cut.drelix", cut_in=2, drop_cut=True)
    lost = cut.stat().st_size - 16 - 4096 - frames[2][0]  # frame 2's start on
    done = drelix("salvage", cut, tmp_path / "cut-saved.drelix", check=1).stdout.decode()  # fmt: skip
    assert f"lost {lost} bytes at the start of the tail: a zstd frame" in done


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".npy"])
def test_export_then_import_gives_the_same_sealed_records(fixed, tmp_path, suffix):
    path, rec, _ = fixed
    src = tmp_path / f"out{suffix}"
    if suffix == ".npy":
        np.save(src, rec)
    else:
        drelix("export", path, src, check=0)
        drelix("export", path, src, check=2)  # never overwrites unless told to
    drelix("import", src, tmp_path / "back.drelix", check=0)
    assert drelix("cat", tmp_path / "back.drelix", check=0).stdout == drelix("cat", path, check=0).stdout  # fmt: skip
    assert json.loads(drelix("info", "--json", tmp_path / "back.drelix", check=0).stdout)["sealed"] is True  # fmt: skip


@pytest.mark.parametrize("suffix", [".arrow", ".parquet"])
def test_prefixed_records_go_out_and_back_as_one_binary_column(tmp_path, suffix):
    log, src = tmp_path / "log.drelix", tmp_path / f"log{suffix}"
    write_file(log, [TEXTS], [b"tail"], LOG)
    drelix("export", log, src, check=0)
    drelix("import", src, f"{src}.drelix", check=0)
    assert drelix("cat", f"{src}.drelix", check=0).stdout == drelix("cat", log, check=0).stdout


def test_a_single_column_of_another_type_imports_as_fields_or_as_text(tmp_path):
    pa, pq = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
    for column, shown in [(pa.array([7, 8], pa.uint32()), [{"c": 7}, {"c": 8}]),
                          (pa.array(["a", "b"], pa.large_string()), [{"text": "a"}, {"text": "b"}])]:  # fmt: skip
        pq.write_table(pa.table({"c": column}), tmp_path / "one.parquet")
        drelix("import", tmp_path / "one.parquet", tmp_path / f"{column.type}.drelix", check=0)  # fmt: skip
        assert [json.loads(x) for x in drelix("cat", tmp_path / f"{column.type}.drelix", check=0).stdout.splitlines()] == shown  # fmt: skip


def test_csv_cannot_bring_back_a_16_byte_field_and_writes_nothing(fixed, tmp_path):
    drelix("export", fixed[0], tmp_path / "out.csv", check=0)
    done = drelix("import", tmp_path / "out.csv", tmp_path / "csv.drelix", check=2)
    assert "'key'" in one_line_error(done, tmp_path / "out.csv")
    assert not (tmp_path / "csv.drelix").exists()


def test_the_portable_wheel_installs_elsewhere_and_runs(fixed, tmp_path):
    """`make wheel` audits the wheel; here it is installed in a new environment and run."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    wheels = glob.glob(os.path.join(root, "dist", "drelix_binary-*manylinux*.whl"))
    if not wheels:
        pytest.skip("no repaired wheel in dist/ (`make wheel` builds it)")
    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # only the wheel

    def run(*args):
        return subprocess.run(args, capture_output=True, text=True, check=True, cwd=tmp_path, env=env).stdout  # fmt: skip

    run(sys.executable, "-m", "venv", venv)
    run(venv / "bin/pip", "install", "-q", max(wheels, key=os.path.getmtime))
    info = json.loads(run(venv / "bin/drelix", "info", "--json", fixed[0]))
    assert sum(f["records"] for f in info["frames"]) == 250
    native = run(venv / "bin/python", "-c", "import drelix_binary._native as n; print(n.__file__)")  # fmt: skip
    assert native.startswith(str(venv))
    ldd = run("ldd", native.strip()).splitlines()
    for lib in ("libzstd", "libxxhash", "libutf8proc"):  # carried by the wheel
        assert "drelix_binary.libs" in next(x for x in ldd if lib in x)


@pytest.mark.parametrize("values", [[2**64 - 1, 2**53 + 1, 0], [2**63, 7], [2**53 + 1, 1]])
def test_integer_columns_survive_csv_exactly(tmp_path, values):
    src, csv_path, back = tmp_path / "u.drelix", tmp_path / "u.csv", tmp_path / "back.drelix"
    with dx.create(src, dx.schema("u@1", {"id": "u64", "v": "f64"})) as w:
        w.write(np.array([(v, 0.5) for v in values], dtype=[("id", "<u8"), ("v", "<f8")]))
    drelix("export", src, csv_path, check=0)
    drelix("import", csv_path, back, check=0)
    assert [json.loads(x)["id"] for x in drelix("cat", back, check=0).stdout.splitlines()] == values  # fmt: skip
    (tmp_path / "neg.csv").write_text(f"id\n-{2**64 - 1}\n1\n")  # fits neither i64 nor u64
    assert "'id'" in one_line_error(drelix("import", tmp_path / "neg.csv", tmp_path / "n.drelix", check=2), tmp_path / "neg.csv")  # fmt: skip
    assert not (tmp_path / "n.drelix").exists()


def test_export_writes_through_no_link_at_its_partial_name_and_parquet_is_zstd_unless_told(fixed, tmp_path):  # fmt: skip
    path = fixed[0]
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    for name in ("out.csv", "out.parquet"):  # the name a half-written output once had
        os.symlink(victim, tmp_path / f"{name}.partial")
        drelix("export", path, tmp_path / name, check=0)
    assert victim.read_bytes() == b"keep"
    assert (tmp_path / "out.csv").read_text().split("\n", 1)[0] == ",".join(DTYPE.names)
    pq = pytest.importorskip("pyarrow.parquet")
    assert pq.ParquetFile(tmp_path / "out.parquet").metadata.row_group(0).column(0).compression == "ZSTD"  # fmt: skip
    drelix("export", path, tmp_path / "out.parquet", "--force", "--compression", "snappy", check=0)  # fmt: skip
    assert pq.ParquetFile(tmp_path / "out.parquet").metadata.row_group(0).column(0).compression == "SNAPPY"  # fmt: skip


@pytest.mark.parametrize("command", ["export", "import"])
def test_force_replaces_no_link_hard_link_input_fifo_or_device(fixed, tmp_path, command):
    path, rec, _ = fixed
    drelix("export", path, tmp_path / "out.parquet", check=0)
    os.mkfifo(tmp_path / "fifo.csv")
    os.symlink(path, tmp_path / "link.csv")
    os.link(path, tmp_path / "hard.csv")
    os.symlink(tmp_path / "out.parquet", tmp_path / "pq-link.drelix")
    targets = ["fifo.csv"]
    if os.geteuid() == 0:  # a device node, like /dev/full
        os.mknod(tmp_path / "dev.csv", 0o600 | stat.S_IFCHR, os.makedev(1, 7))
        targets.append("dev.csv")
    args = ["export", path, "--to", "csv"] if command == "export" else ["import", tmp_path / "out.parquet"]  # fmt: skip
    targets += ["link.csv", "hard.csv", path.name] if command == "export" else ["pq-link.drelix", "out.parquet"]  # fmt: skip
    for t in targets:
        before = os.lstat(tmp_path / t)
        one_line_error(drelix(*args[:2], tmp_path / t, *args[2:], "--force", check=2), tmp_path / t)  # fmt: skip
        after = os.lstat(tmp_path / t)
        assert (after.st_mode, after.st_ino, after.st_size) == (before.st_mode, before.st_ino, before.st_size)  # fmt: skip
    assert drelix("cat", "-f", "raw", path, check=0).stdout == rec.tobytes()  # the input too
    assert not [f for f in os.listdir(tmp_path) if "partial" in f]


def test_import_replaces_another_regular_file_only_with_force(fixed, tmp_path):
    path, rec, _ = fixed
    drelix("export", path, tmp_path / "out.parquet", check=0)
    (tmp_path / "out.csv").write_text("old")
    one_line_error(drelix("import", tmp_path / "out.parquet", tmp_path / "out.csv", check=2), tmp_path / "out.csv")  # fmt: skip
    drelix("import", tmp_path / "out.parquet", tmp_path / "out.csv", "--force", check=0)
    assert drelix("cat", "-f", "raw", tmp_path / "out.csv", check=0).stdout == rec.tobytes()


@pytest.mark.parametrize("command", ["export", "import"])
def test_an_output_in_a_missing_directory_is_named_in_the_error(fixed, tmp_path, command):
    src = fixed[0]
    if command == "import":
        drelix("export", src, src := tmp_path / "out.parquet", check=0)
    one_line_error(drelix(command, src, tmp_path / "no" / "x.csv", check=2), tmp_path / "no" / "x.csv")  # fmt: skip


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A file of some 40 frames: long enough to be stopped half-way."""
    path = tmp_path_factory.mktemp("big") / "big.drelix"
    with dx.create(path, dx.schema("big@1", {"a": "u64", "b": "u64"}), frame_records=50_000) as w:  # fmt: skip
        w.write(np.random.default_rng(3).integers(0, 1000, (2_000_000, 2), dtype=np.uint64))  # fmt: skip
    return path


@pytest.mark.parametrize("argv, sig", [
    (["repack", "--level=19", "{src}"], signal.SIGINT), (["export", "{src}", "{out}.csv"], signal.SIGINT),
    (["export", "{src}", "{out}.csv"], signal.SIGTERM), (["import", "{src}.npy", "{out}.drelix"], signal.SIGTERM),
    (["salvage", "{src}", "{out}.drelix"], signal.SIGTERM)], ids=lambda v: getattr(v, "name", None))  # fmt: skip
def test_a_signal_half_way_ends_the_command_and_leaves_the_files_as_they_were(big, tmp_path, argv, sig):  # fmt: skip
    pexpect = pytest.importorskip("pexpect")
    src = shutil.copy(big, tmp_path / "big.drelix")
    if argv[0] == "import":
        np.save(tmp_path / "big.drelix.npy", dx.open(src).to_numpy())
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    argv = [a.format(src=src, out=tmp_path / "out") for a in argv]
    # A background job without job control ignores Ctrl-C, and its children inherit that.
    child = pexpect.spawn(DRELIX, argv, timeout=120, dimensions=(24, 160),
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # fmt: skip
    # The bar counts finished steps (rich may colour the count: escape codes follow it); the
    # signal comes while fewer than 30 of the 40 or so are done, so that it lands before the end.
    child.expect(rf"{argv[0]} .*(?<!\d)[12]?\d/(\d+)(\x1b\[[0-9;]*m)* (frames|batches)")
    if argv[0] == "export":  # a bar step per frame; the tail is empty
        assert int(child.match.group(1)) == len(dx.open(src).frames)
    child.sendintr() if sig == signal.SIGINT else child.kill(sig)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 128 + sig, child.before
    words = b"interrupted" if sig == signal.SIGINT else b"terminated"
    assert child.before.rstrip().endswith(b"drelix: " + words) and b"Traceback" not in child.before  # fmt: skip
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before  # no .repack, no half an output


def test_records_through_a_pipe_draw_no_bar_over_them(big):
    pexpect = pytest.importorskip("pexpect")
    piped = pexpect.spawn("/bin/sh", ["-c", f"{DRELIX} cat {big} | tail -c 1"], timeout=120)
    piped.expect(pexpect.EOF)
    assert b"frames" not in piped.before


def test_ctrl_c_at_any_moment_is_status_130_or_a_complete_output(big, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    np.save(tmp_path / "big.npy", dx.open(big).to_numpy())
    out = tmp_path / "out.drelix"
    for delay in (0.0, 0.05, 0.1, 0.2, 0.3, 0.5):  # after the work has begun, up to its end
        for stale in tmp_path.glob("out.drelix*"):
            stale.unlink()
        child = pexpect.spawn(DRELIX, ["import", str(tmp_path / "big.npy"), str(out)], timeout=120,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # fmt: skip
        child.expect(r"import .* batches")
        time.sleep(delay)
        child.kill(signal.SIGINT)
        child.expect(pexpect.EOF)
        child.close()
        leftovers = sorted(p.name for p in tmp_path.glob("out.drelix*"))
        if child.exitstatus == 0:  # it had finished: the whole file is there
            assert leftovers == ["out.drelix"] and len(dx.open(out)) == len(dx.open(big))
        else:
            assert child.exitstatus == 130 and leftovers == [], (delay, child.before)
            assert child.before.strip().endswith(b"drelix: interrupted") and b"Traceback" not in child.before  # fmt: skip


def test_ctrl_c_while_the_command_starts_is_never_a_traceback(big):
    """A Ctrl-C while the package and numpy load ends the command as any other interruption
    does, never with a traceback. (One in the interpreter's own start-up, before any code of
    the package runs, is the interpreter's to report.)"""
    for delay in (0.0, 0.02, 0.04, 0.06, 0.08, 0.1, 0.15):
        child = subprocess.Popen([DRELIX, "validate", str(big)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # noqa: PLW1509 - resets SIGINT alone, as a foreground job has it  # fmt: skip
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=120)
        if err.startswith(b"Fatal Python error: init_"):  # init_import_site, init_sys_streams, ...
            continue  # the interpreter's own start-up, before any code of the package runs
        assert b"Traceback" not in err, (delay, err)
        assert (child.returncode, err) in ((130, b"drelix: interrupted\n"), (-signal.SIGINT, b"")) or (
            child.returncode == 0 and not err), (delay, child.returncode, err)  # fmt: skip


@pytest.mark.parametrize("command, extra", [("info", []), ("repack", []), ("rebuild", ["--fix"]), ("salvage", [b".saved"])])  # fmt: skip
def test_a_name_that_is_not_utf8_is_taken_and_reported_as_it_is(fixed, tmp_path, command, extra):
    odd = os.path.join(os.fsencode(tmp_path), b"odd\xff.drelix")
    shutil.copy(fixed[0], odd)
    extra = [odd + e if e.startswith(b".") else e for e in map(os.fsencode, extra)]
    done = subprocess.run([DRELIX, command, "--json", odd, *extra], capture_output=True, check=False)  # fmt: skip
    assert (done.returncode, json.loads(done.stdout)["path"], done.stderr) == (0, os.fsdecode(odd), b"")  # fmt: skip
    assert os.path.exists(odd + b".saved") is (command == "salvage")


def test_a_closed_stdout_is_one_line_and_a_reader_gone_early_is_no_error(fixed):
    path = fixed[0]
    shut = subprocess.run(f"{DRELIX} cat {path} >&-", shell=True, capture_output=True, check=False)  # fmt: skip
    assert (shut.returncode, shut.stderr) == (2, b"drelix: standard output is closed\n")
    for command in (["info"], ["validate"], ["cat"]):  # the reader has gone before a byte is written
        child = subprocess.Popen([DRELIX, *command, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
        child.stdout.close()
        assert (child.wait(timeout=120), child.stderr.read()) == (0, b""), command


def test_text_from_the_file_reaches_the_terminal_escaped(tmp_path):
    path = tmp_path / "evil\x1b]0;x\x07.drelix"
    evil = "\x1b]0;owned\x07 \x9b31m".encode()
    write_file(path, [[b"a"]], [], LOG, user=[("note", "v" * len(evil))])
    hostile = {b"v" * len(evil): evil,
               b"_records:1\n": b"_records:\x1b\n"}  # fmt: skip
    data = path.read_bytes()
    for plain, evil in hostile.items():  # the writer refuses such text: edited in, same length
        data = data.replace(plain, evil, 1)
    path.write_bytes(data)
    info = drelix("info", path, check=0).stdout
    rebuild = drelix("rebuild", path, check=1).stdout
    for shown in (info, rebuild):
        assert not {ord(c) for c in shown.decode()} & {*range(0x20), 0x7F, *range(0x80, 0xA0)} - {0x0A}  # fmt: skip
        assert b"evil\\x1b]0;x\\x07.drelix" in shown
    assert b"\\x1b]0;owned\\x07 \\x9b31m" in info
    assert b"_records: \\x1b -> 1" in rebuild


def test_info_elides_frames_past_a_screenful_in_a_row_as_wide_as_the_table(tmp_path):
    path = tmp_path / "many.drelix"
    write_file(path, [[b"r%d" % i] for i in range(30)], [], LOG)
    lines = drelix("info", path, check=0).stdout.decode().splitlines()
    head = next(x for x in lines if "┃ id ┃" in x or " id " in x and "┃" in x)
    skipped = next(x for x in lines if "…" in x and "│" in x)
    assert len(skipped) == len(head) and "6 frames not shown (--all-frames" in "".join(lines)


def test_options_are_never_abbreviated(tmp_path):
    done = drelix("tail", "--form", "csv", tmp_path / "any.drelix", check=2)
    assert b"unrecognized arguments: --form" in done.stderr
