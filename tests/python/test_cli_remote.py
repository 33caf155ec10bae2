"""The `drelix` command on objects in a store: a real S3-protocol server (moto's, in a process
of its own, which the environment points every client at) holding files we wrote, each read
through its URL and compared with the same file read on disk."""

import os
import subprocess
from pathlib import Path

import drelix_binary as dx
import pytest
from conftest import DTYPE, make_file, records, write_file
from test_cli import DRELIX, contents

REC = records(260, 7)


def run(*argv, status, **options):
    done = subprocess.run([DRELIX, *map(str, argv)], capture_output=True, timeout=120, check=False, **options)  # fmt: skip
    assert done.returncode == status, (done.returncode, done.stdout[-2000:], done.stderr)
    return done


@pytest.fixture
def files(bucket, tmp_path):
    """{name: (path on disk, URL of the same bytes)}: fixed records in two frames and a tail,
    length-prefixed ones in three frames and a tail, and the fixed file with a byte of its
    second frame flipped."""
    url, fs, _ = bucket
    local = tmp_path / "disk"
    local.mkdir()
    write_file(local / "fixed.drelix", [REC[:100], REC[100:250]], REC[250:], dx.schema("test@1", DTYPE), user=[("site", "lab")])  # fmt: skip
    make_file(local / "prefixed.drelix", frames=3)
    data = bytearray((local / "fixed.drelix").read_bytes())
    with dx.open(local / "fixed.drelix") as r:
        frame = r.frames[1]
        data[16 + r.preamble.header_area + frame.offset + frame.length // 2] ^= 0x40
    (local / "damaged.drelix").write_bytes(data)
    with dx.create_series(local / "series", dx.schema("test@1", DTYPE), rotate_bytes=1) as w:
        for piece in (REC[:100], REC[100:130], REC[130:]):  # a file each, the last unsealed
            w.write(piece)
    for f in sorted((local / "series").glob("*.drelix")):
        fs.put(str(f), f"{url[5:]}/series/{f.name}")
    out = {"series": (str(local / "series"), f"{url}/series")}
    for name in ("fixed", "prefixed", "damaged", "missing"):
        path = local / f"{name}.drelix"
        if path.exists():
            fs.put(str(path), f"{url[5:]}/{name}.drelix")
        out[name] = (str(path), f"{url}/{name}.drelix")
    return out


def same_as_on_disk(files, tmp_path, name, template, status):
    """Runs `template` on the file, then on its URL: what the URL run prints is what the run
    on disk printed, the path read as the URL; exports hold the same bytes."""
    (path, url), done = files[name], []
    for f, out in ((path, tmp_path / "local"), (url, tmp_path / "remote")):
        argv = [a.format(f=f, out=out) for a in template.split()]
        done.append(run(*argv, status=status))
    local, remote = ((d.stdout + d.stderr).decode() for d in done)
    assert remote == local.replace(path, url).replace(str(tmp_path / "local"), str(tmp_path / "remote"))  # fmt: skip
    for suffix in (".csv", ".parquet"):
        if (tmp_path / f"local{suffix}").exists():
            assert (tmp_path / f"remote{suffix}").read_bytes() == (tmp_path / f"local{suffix}").read_bytes()  # fmt: skip


# Errors too: a missing object, a damaged frame (validate lists it, cat stops at it).
@pytest.mark.parametrize("name, template, status", [
    ("fixed", "info --all-frames {f}", 0),
    ("fixed", "cat {f}", 0),
    ("prefixed", "cat --format hex {f}", 0),
    ("fixed", "head -n 3 --format csv {f}", 0),
    ("fixed", "tail -n 15 {f}", 0),
    ("fixed", "get {f} -1", 0),
    ("prefixed", "validate --json {f}", 0),
    ("fixed", "export {f} {out}.parquet", 0),
    ("prefixed", "export {f} {out}.csv", 0),
    ("missing", "cat {f}", 2),
    ("missing", "validate {f}", 2),
    ("damaged", "cat {f}", 2),
    ("damaged", "validate {f}", 1),
    ("series", "info {f}", 0),
    ("series", "cat {f}", 0),
    ("series", "get {f} 120", 0),
    ("series", "validate {f}", 0),
])  # fmt: skip
def test_a_url_is_read_and_reported_as_the_file_on_disk(files, tmp_path, name, template, status):  # fmt: skip
    same_as_on_disk(files, tmp_path, name, template, status)


def test_without_fsspec_a_url_is_one_line_naming_the_package_to_install(files, tmp_path):
    (tmp_path / "fsspec.py").write_text("raise ImportError('No module named fsspec')\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    url = files["fixed"][1]
    for verb in ("cat", "validate"):
        said = run(verb, url, status=2, env=env).stderr.decode()
        assert said.startswith(f"drelix: {url}: ") and said.count("\n") == 1, said
        assert said.count(url) == 1 and "Error" not in said, said
        assert "pip install 'drelix-binary[remote]'" in said


@pytest.mark.parametrize("template, refused", [
    ("repack {url}", "{url}"),
    ("rebuild --fix {url}", "{url}"),
    ("rebuild {url}", "{url}"),
    ("salvage {url} out.drelix", "{url}"),
    ("salvage {path} {new}", "{new}"),
    ("import data.csv {new}", "{new}"),
    ("import {new}.csv out.drelix", "{new}.csv"),
    ("export {url} {new}.csv", "{new}.csv"),
])  # fmt: skip
def test_verbs_that_write_refuse_a_url_creating_nothing(files, bucket, tmp_path, template, refused):  # fmt: skip
    path, url = files["fixed"]
    new = url.replace("fixed", "new")
    (tmp_path / "data.csv").write_text("a\n1\n")
    before, objects = contents(tmp_path), bucket[1].find(bucket[0][5:])
    names = {"url": url, "path": path, "new": new}
    said = run(*template.format(**names).split(), status=2, cwd=tmp_path).stderr.decode()
    assert said.startswith(f"drelix: {refused.format(**names)}: ") and said.count("\n") == 1, said  # fmt: skip
    assert "local files only" in said or "in place" in said
    assert contents(tmp_path) == before and bucket[1].find(bucket[0][5:]) == objects
    assert bucket[1].cat(url[5:]) == Path(path).read_bytes()


def test_tail_follow_on_a_url_prints_what_the_replaced_object_adds_and_ends_once_sealed(bucket, tmp_path):  # fmt: skip
    url, fs, _ = bucket
    path = tmp_path / "live.drelix"
    w = dx.create(path, dx.schema("test@1", DTYPE), frame_records=100)
    w.write(REC[:150])
    w.flush()
    fs.put(str(path), f"{url[5:]}/live.drelix")
    follower = subprocess.Popen([DRELIX, "tail", "-f", "-n", "2", "--poll", "0.1", f"{url}/live.drelix"], stdout=subprocess.PIPE)  # fmt: skip
    try:
        first = [follower.stdout.readline().rstrip(b"\n") for _ in range(2)]
        w.write(REC[150:])
        w.seal()
        w.close()
        fs.put(str(path), f"{url[5:]}/live.drelix")  # the object replaced whole
        rest = follower.communicate(timeout=120)[0].splitlines()
    finally:
        follower.kill()
    assert follower.returncode == 0
    shown = run("cat", path, status=0).stdout.splitlines()[148:]
    assert first + rest == shown and len(shown) == 112
