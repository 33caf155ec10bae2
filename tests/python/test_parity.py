"""The two bindings on the same files: `_native` (the format's contract) and `_engine` (the
parallel engine) must read, check and rewrite a file alike, and refuse a damaged one alike."""

import errno
import os
import re

import pytest
from conftest import body, write_file
from drelix_binary import _engine, _native


def native_read(p):
    c = _native.Container.open_read(p)
    return [c.read_frame_at(i) for i in range(len(c.frames()))] + [c.read_tail()]


def engine_read(p):
    r = _engine.Reader(p)
    return [r.read_frame(i) for i in range(len(r.frames))] + [r.read_tail()]


def native_open(p):
    c = _native.Container.open_read(p)
    return c.headers(), c.schema(), [(f.id, f.offset, f.len, f.hash) for f in c.frames()]


def engine_open(p):
    r = _engine.Reader(p)
    return r.headers, r.schema, r.frames


def fields(report, *names):
    return tuple(getattr(report, n) for n in names)


OPERATIONS = {  # name: (through _native, through _engine), each giving comparable values
    "open": (native_open, engine_open),
    "read": (native_read, engine_read),
    "validate": (lambda p: fields(_native.validate(p), "problems", "frames", "records"), _engine.validate),
    "rebuild": (lambda p: fields(_native.rebuild_headers(p), "differences", "fixed"), _engine.rebuild_headers),
    # Re-encoded on many threads, frames of very unequal sizes: the file one thread writes.
    "repack": (lambda p: fields(_native.repack(p, 3), "bytes_before", "bytes_after", "frames"), lambda p: _engine.repack(p, 3, threads=7)),
}


def frame_at(path, index):
    """Where frame `index` lies in the file: (start, length)."""
    preamble, headers = _native.peek_headers(path)
    _, offset, length = map(int, headers["_frames"].split(";")[index].split(",")[:3])
    return 16 + preamble.header_area + offset, length


def flip(path, at):
    data = bytearray(path.read_bytes())
    data[at] ^= 0x10
    path.write_bytes(bytes(data))


DAMAGES = {
    "sound": lambda p: None,
    "truncated_frame": lambda p: os.truncate(p, sum(frame_at(p, -1)) - 5),
    "bad_hash": lambda p: flip(p, sum(frame_at(p, 1)) - frame_at(p, 1)[1] // 2),
    "bad_magic": lambda p: flip(p, 0),
    "missing": os.unlink,
    "torn_tail": lambda p: p.write_bytes(p.read_bytes() + b"\x05\x00ab"),  # a record cut short
    "wrong_count": lambda p: p.write_bytes(p.read_bytes().replace(b"_records:1468\n", b"_records:1469\n")),
}


SEEN = {"truncated_frame": "frame 7 ends at", "bad_hash": "checksum", "bad_magic": "not a drelix file: bad magic",
        "wrong_count": "_records"}  # fmt: skip


def outcome(call, path):
    """The call's result, or its error reduced to what both bindings must share: the class of
    a format error and its message, or the errno of an OS error."""
    try:
        return "ok", call(path)
    except _native.DrelixError as e:
        return type(e), str(e).replace(str(path), "<path>")
    except OSError as e:
        if type(e) is OSError and e.errno is None:  # _native's: "<path>: <text> (os error N)"
            return OSError, int(re.fullmatch(rf"{re.escape(str(path))}: .* \(os error (\d+)\)", str(e))[1])  # fmt: skip
        assert e.filename == str(path)
        return OSError, e.errno


@pytest.mark.parametrize("damage", DAMAGES)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_native_and_engine_agree(tmp_path, operation, damage):
    paths = []
    for side in ("native", "engine"):
        (tmp_path / side).mkdir()
        paths.append(tmp_path / side / "f.drelix")
        write_file(paths[-1], [[body(i) * 40 for i in range(n)] for n in (3, 900, 5, 40, 4, 7, 500, 9)], [b"t"])  # fmt: skip
        DAMAGES[damage](paths[-1])
    native, engine = (outcome(call, str(p)) for call, p in zip(OPERATIONS[operation], paths))
    assert native == engine
    assert native[0] == "ok" or damage not in ("sound", "torn_tail")
    if native[0] != "ok" or operation in ("validate", "rebuild"):  # what each says it found
        assert SEEN.get(damage, "") in str(native)
    if damage == "missing":
        assert native == (OSError, errno.ENOENT)
        return
    # Both leave the same bytes behind (a dry run none changed, a repack the same file).
    assert [os.listdir(p.parent) for p in paths] == [["f.drelix"]] * 2
    assert paths[0].read_bytes() == paths[1].read_bytes()
