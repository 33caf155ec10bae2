"""Damaged files: frame lists out of order or listing a frame twice, a frame cut off by the end
of the file, a tail that begins with what a cut left of a frame, and salvage stopped midway."""

import os
import signal
import struct
import subprocess
import sys

import drelix_binary as dx
import pytest
from conftest import damaged, make_file
from drelix_binary import _engine, _native


def ids(path):
    """Every record's id, frames in list order and then the tail, read with the low level."""
    c = _native.Container.open_read(str(path))
    data = b"".join(c.read_frame_at(i) for i in range(len(c.frames()))) + c.read_tail()
    bodies, torn = _native.split_records(data, c.schema().layout)
    assert torn == 0
    return [struct.unpack_from("<Q", b)[0] for b in bodies]


CUT = [f"frame {k} ends at {{end{k}}} but the file is {{size}} bytes" for k in range(5)]
CASES = [  # damage, what a reader says, lost frames (position, id), ids saved, validate's lines
    ({"order": [1, 0, 2, 3, 4]}, "lies at data offset 0", [], 54,
     [("_frames entry 1 (frame 0) lies at data offset 0, before _frames entry 0 (frame 1) "
       "listed ahead of it")]),
    ({"order": [0, 1, 1, 2, 3, 4]}, "overlaps", [(2, 1)], 54,
     ["_frames entry 2 (frame 1) overlaps _frames entry 1 (frame 1) at data offset {at1}"]),
    ({"cut_in": 2, "drop_cut": True}, None, [], 20,
     ["tail: its {c} bytes begin a zstd frame that the end of the file cuts short, not records",
      "_records says 50, the frames hold 20"]),
    ({"cut_in": 2}, CUT[2], [(2, 2), (3, 3), (4, 4)], 20,
     [*CUT[2:], "_records says 50, the frames hold 20"]),
    ({"cut_in": 0}, CUT[0], [(k, k) for k in range(5)], 0, [*CUT, "_records says 50, the frames hold 0"]),
]  # fmt: skip


@pytest.mark.parametrize(("damage", "refusal", "lost", "saved", "lines"), CASES,
                         ids=["swapped", "listed_twice", "cut_and_unlisted", "cut", "cut_in_the_first"])  # fmt: skip
def test_damaged_lists_and_cut_files(tmp_path, damage, refusal, lost, saved, lines):
    path, offsets = damaged(tmp_path / "d.drelix", **damage)
    size, start = path.stat().st_size, 16 + 4096
    fill = {f"end{k}": start + o + n for k, (o, n) in enumerate(offsets)}
    fill |= {"size": size, "c": size - start - offsets[2][0], "at1": offsets[1][0]}
    lines = [line.format(**fill) for line in lines]
    report = dx.validate(path)
    assert report.problems == lines
    if refusal is None:
        _engine.Reader(path).close()
    else:
        with pytest.raises(_native.DrelixMalformedError, match=refusal.format(**fill)):
            _engine.Reader(path)
    report = dx.salvage(path, tmp_path / "saved.drelix")
    assert [(f.index, f.id) for f in report.lost_frames] == lost
    assert [f.reason for f in report.lost_frames] == lines[: len(lost)]  # as validate says
    assert (report.records, report.cut_tail_bytes) == (saved, fill["c"] if damage.get("drop_cut") else 0)  # fmt: skip
    saved_path = tmp_path / "saved.drelix"
    assert ids(saved_path) == list(range(saved)) and dx.validate(saved_path).ok
    before = path.read_bytes()
    if "order" in damage:  # the fix lists the frames in file order, once each
        assert dx.rebuild_headers(path, fix=True).fixed and ids(path) == list(range(54))
    else:  # never makes a cut frame the tail
        with pytest.raises(_native.DrelixMalformedError, match="cut short|ends at"):
            dx.rebuild_headers(path, fix=True)
        assert path.read_bytes() == before


# Salvages `argv[1]` into `argv[2]`; SIGTERM raises, as Ctrl-C does. With a third argument it
# says "copying" once the copy is under way and waits there for a signal.
CHILD = r"""
import signal, sys
import drelix_binary as dx
def interrupt(*_):
    raise KeyboardInterrupt
signal.signal(signal.SIGTERM, interrupt)
def progress(done, total):
    if done == 3 and len(sys.argv) > 3:
        print("copying", flush=True)
        sys.stdin.read()
print(dx.salvage(sys.argv[1], sys.argv[2], progress=progress).records)
"""


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL])
def test_stopped_salvage_leaves_nothing_under_the_final_name(tmp_path, sig):
    source, out = str(tmp_path / "src.drelix"), tmp_path / "out" / "saved.drelix"
    make_file(source, 40)
    out.parent.mkdir()
    args = [sys.executable, "-c", CHILD, source, str(out)]
    with subprocess.Popen([*args, "wait"], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as child:
        assert child.stdout.readline() == b"copying\n"
        child.send_signal(sig)  # leaving the block closes its input and waits for it
    left = os.listdir(out.parent)
    assert "saved.drelix" not in left and (sig == signal.SIGKILL or left == [])
    assert subprocess.run(args, capture_output=True, check=True).stdout == b"404\n"
    assert ids(out) == list(range(404))
    # Never over an existing file, nor through a link.
    with pytest.raises(FileExistsError):
        dx.salvage(source, out)
    os.symlink(tmp_path / "elsewhere", tmp_path / "link")
    with pytest.raises(FileExistsError):
        dx.salvage(source, tmp_path / "link")
    assert not (tmp_path / "elsewhere").exists()
