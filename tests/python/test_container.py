"""The Container class: creating, appending, closing, reading back, the context-manager
protocol, thread confinement, the borrow rule, reclamation, and recovery after a killed
writer."""

import concurrent.futures
import gc
import inspect
import os
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import (RL, Container, Index, all_records, body, create, data_start, frames_file,
                      make_schema, raw)
from drelix_binary import _native

EMPTY = 16 + 4096  # size of a new file with the default zone
SYSTEM_KEYS = ["_schema", "_schema_fields", "_schema_hash", "_record", "_source", "_created_at",
               "_writer", "_compression", "_compression_level", "_records", "_bytes_raw",
               "_frames", "_preview", "_sealed"]


def render(frames):
    """The _frames text as the format writes it, built independently of the engine."""
    return ";".join(f"{f.id},{f.offset},{f.len}" + (f",{f.hash:016x}" if f.hash else "")
                    for f in frames)


def run_in_thread(fn):
    """Runs fn on a new thread; its future keeps the result or any BaseException raised."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(fn)


# ---- class surface ---------------------------------------------------------------------------
METHODS = [
    ("create",
     "(path, schema, source, writer, created_at_millis=0, header_area=Ellipsis, user=None)",
     "Creates a file: preamble and header zone, no data yet."),
    ("open_read", "(path)",
     "Opens a file read-only. Nothing is recovered and nothing is written."),
    ("open_append", "(path)",
     "Opens a file for appending, replaying a pending seal journal and\n"
     "cutting a torn record off the tail first.\n\n"
     "Takes no lock: one writer per file, and enforcing that is the caller's."),
    ("headers", "($self)", "Every header, system and application alike."),
    ("schema", "($self)", "The schema the file declares."),
    ("frames", "($self)", "The closed frames, in file order."),
    ("records", "($self)", "Records ever appended, the unflushed buffer included."),
    ("append_record", "($self, body)", "Appends one record body."),
    ("flush_data", "($self)", "Writes whatever is buffered."),
    ("flush_headers", "($self)", "Rewrites the header zone in place."),
    ("close_frame", "($self, frame_id, level)",
     "Compresses the raw tail into one frame, crash-safe."),
    ("seal", "($self, frame_id, level)", "Closes the tail and marks the file finished."),
    ("set_user_header", "($self, key, value)",
     "Sets an application header. Keys may not start with `_`."),
    ("read_frame", "($self, frame_id)",
     "Decompresses the frame with this id. Ids may repeat; prefer\n"
     "`read_frame_at` when sweeping."),
    ("read_frame_at", "($self, index)", "Decompresses the frame at this position in the list."),
    ("read_tail", "($self)", "The uncompressed tail, whole records only."),
    ("__enter__", "($self)", None),
    ("__exit__", "($self, *_args)", None),
]


def test_methods(tmp_path):
    names = [name for name, _, _ in METHODS]
    assert [k for k in Container.__dict__ if k in names] == names
    for name, signature, doc in METHODS:
        method = getattr(Container, name)
        # The default zone size is written as "..." in the text signature.
        assert method.__text_signature__ == signature.replace("Ellipsis", "..."), name
        assert method.__doc__ == doc, name
    assert str(inspect.signature(Container.create)) == METHODS[0][1]


# ---- create and open -------------------------------------------------------------------------
def test_create_defaults(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path, user=[("app", "1")])
    headers = c.headers()
    assert list(headers) == SYSTEM_KEYS + ["app"]
    assert headers["_created_at"] == "1970-01-01T00:00:00Z"
    assert headers["_source"] == "src" and headers["_writer"] == "writer"
    assert (headers["_records"], headers["_frames"], headers["_sealed"]) == ("0", "", "false")
    assert headers["_schema_hash"] == make_schema().hash_hex()
    assert os.path.getsize(path) == EMPTY
    preamble, on_disk = _native.peek_headers(path)
    assert repr(preamble) == "Preamble(version=1, flags=1, header_area=4096)"
    assert on_disk == headers
    assert c.schema() == make_schema()
    assert c.frames() == [] and c.records() == 0
    # Every getter builds new objects: changing one leaves the container alone.
    headers["app"] = "changed"
    headers["_records"] = "99"
    del headers["_schema"]
    assert c.headers() == on_disk
    assert c.headers() is not c.headers() and c.frames() is not c.frames()


@pytest.mark.parametrize("user", [None, [], (), [("a", "1")], (("a", "1"), ("b", "2"))])
def test_create_with_every_argument_by_keyword(tmp_path, user):
    path = tmp_path / "a.drelix"
    c = Container.create(
        path=str(path), schema=make_schema(fixed=True), source="s", writer="w",
        created_at_millis=86_399_999, header_area=3000, user=user,
    )
    headers = c.headers()
    assert headers["_created_at"] == "1970-01-01T23:59:59Z"
    assert [(k, v) for k, v in headers.items() if not k.startswith("_")] == list(user or [])
    assert os.path.getsize(path) == 16 + 3000


@pytest.mark.parametrize(
    "user, exc, message",
    [(user, TypeError, r"^argument 'user': ")
     for user in [{"a": "b"}, "ab", [["a", "b"]], [("a", 1)], [(1, "a")], 5]] + [
        ([("a",)], ValueError, r"^expected tuple of length 2, but got tuple of length 1$"),
        ([("a", "b", "c")], ValueError,
         r"^expected tuple of length 2, but got tuple of length 3$"),
        ([("ok", "1"), ()], ValueError,
         r"^expected tuple of length 2, but got tuple of length 0$"),
        ([("_sys", "1")], _native.DrelixUsageError,
         r"^user header key \"_sys\" may not start with '_'$"),
    ],
)
def test_user_argument_rules(tmp_path, user, exc, message):
    path = tmp_path / "a.drelix"
    with pytest.raises(exc, match=message):
        create(path, user=user)
    assert not path.exists()


def test_create_refuses_an_existing_path(tmp_path):
    path = tmp_path / "a.drelix"
    path.write_bytes(b"keep")
    with pytest.raises(OSError) as info:
        create(path)
    assert type(info.value) is OSError and str(info.value).startswith(f"{path}: ")
    assert path.read_bytes() == b"keep"


# ---- round trips -----------------------------------------------------------------------------
def batch_bodies(fixed, start, count):
    bodies = [body(i, fixed) for i in range(start, start + count)]
    if not fixed:
        # The two edges of the length prefix: an empty record and the largest one.
        bodies[1:1] = [b"", bytes(range(256)) * 255 + bytes(255)]
    return bodies


@pytest.mark.parametrize("level", [0, 1, 3, 19, -5])
@pytest.mark.parametrize("fixed", [True, False], ids=["fixed", "prefixed"])
def test_round_trip(tmp_path, fixed, level):
    path = tmp_path / "a.drelix"
    c = create(path, fixed)
    batches = [batch_bodies(fixed, 0, 40), batch_bodies(fixed, 40, 25)]
    for frame_id, bodies in zip((7, 8), batches):
        for b in bodies:
            c.append_record(b)
        c.close_frame(frame_id, level)
    tail = [body(i, fixed) for i in range(100, 105)]
    for b in tail:
        c.append_record(b)

    raws = [b"".join(raw(b, fixed) for b in bodies) for bodies in batches]
    frame_records = sum(len(bodies) for bodies in batches)
    assert c.records() == frame_records + len(tail)

    frames = c.frames()
    assert [f.id for f in frames] == [7, 8]
    assert frames[0].offset == 0 and frames[1].offset == frames[0].len
    headers = c.headers()
    assert headers["_frames"] == render(frames)
    assert headers["_records"] == str(frame_records)
    assert headers["_bytes_raw"] == str(sum(len(r) for r in raws))
    assert headers["_compression_level"] == str(level)
    assert headers["_compression"] == ("none" if level == 0 else "zstd")

    # The listed frames are exactly the bytes on disk, checksummed with XXH64.
    c.flush_data()
    content = path.read_bytes()
    start = data_start(path)
    for frame, raw_bytes in zip(frames, raws):
        stored = content[start + frame.offset:start + frame.offset + frame.len]
        assert frame.hash == _native.xxh64(stored)
        assert stored == raw_bytes if level == 0 else stored[:4] == b"\x28\xb5\x2f\xfd"
    tail_raw = b"".join(raw(b, fixed) for b in tail)
    assert content[start + frames[1].offset + frames[1].len:] == tail_raw

    for reader in (c, Container.open_read(path)):
        assert [reader.read_frame_at(i) for i in range(2)] == raws
        assert reader.read_frame(8) == raws[1]
        assert reader.read_tail() == tail_raw
        assert all_records(reader) == batches[0] + batches[1] + tail
    # A reader counts only what the frames hold; an appender also counts the tail.
    assert Container.open_read(path).records() == frame_records
    assert Container.open_append(path).records() == frame_records + len(tail)


def zstd_stored_frame(content, declare_size):
    """A zstd frame written by hand: one raw block of `content`, no checksum, and the content
    size in a 2-byte header field (single segment) or no size at all (128 KiB window)."""
    assert 256 <= len(content) <= 65536
    head = b"\x60" + struct.pack("<H", len(content) - 256) if declare_size else b"\x00\x38"
    block_header = struct.pack("<I", len(content) << 3 | 1)[:3]  # last block, raw
    return b"\x28\xb5\x2f\xfd" + head + block_header + content


def test_read_frame_returns_exact_bytes_for_raw_and_zstd_frames(tmp_path):
    content = b"".join(raw(body(i)) for i in range(400))
    stored = [content, zstd_stored_frame(content, True), zstd_stored_frame(content, False), b""]
    offsets = [sum(map(len, stored[:i])) for i in range(len(stored))]
    listed = ";".join(f"{i + 1},{offsets[i]},{len(s)}" for i, s in enumerate(stored))
    c = Container.open_read(frames_file(tmp_path / "a.drelix", listed, b"".join(stored)))
    for i in range(len(stored)):
        want = content if stored[i] else b""
        got_at, got_id = c.read_frame_at(i), c.read_frame(i + 1)
        assert type(got_at) is bytes and got_at == want
        assert type(got_id) is bytes and got_id == want


def test_empty_closes_repeated_ids_and_positions(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    for payload in (b"first", b"second"):
        c.append_record(payload)
        c.close_frame(5, 3)
        # Closing an empty tail changes nothing, neither the file nor the frame list.
        before, headers = path.read_bytes(), c.headers()
        c.close_frame(6, 3)
        assert path.read_bytes() == before and c.headers() == headers
    assert len(c.frames()) == 2
    assert c.read_frame(5) == raw(b"first")
    assert c.read_frame_at(1) == raw(b"second")
    with pytest.raises(_native.DrelixUsageError, match=r"^no frame 6$"):
        c.read_frame(6)
    with pytest.raises(_native.DrelixUsageError, match=r"^no frame at position 2$"):
        c.read_frame_at(2)


def test_counters_repr_seal_and_user_headers(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    for i in range(3):
        c.append_record(body(i))
    assert c.records() == 3
    assert repr(c) == "Container(records=3, frames=0)"
    assert os.path.getsize(path) == EMPTY  # still buffered
    c.close_frame(True, Index(1))  # integers by the index protocol
    assert c.frames()[0].id == 1 and c.headers()["_compression_level"] == "1"
    c.append_record(b"")
    assert repr(c) == "Container(records=4, frames=1)"
    c.set_user_header("app", "v1")
    with pytest.raises(_native.DrelixUsageError, match=r"may not start with '_'$"):
        c.set_user_header("_x", "1")
    c.seal(2, 19)
    _, on_disk = _native.peek_headers(path)
    assert on_disk["_sealed"] == "true" and on_disk["app"] == "v1" and "_x" not in on_disk
    assert on_disk["_frames"] == render(c.frames()) and len(c.frames()) == 2
    # Sealing is only a header: the file still takes records.
    c.append_record(b"y")
    assert c.records() == 5


# ---- read-only containers and argument errors ------------------------------------------------
@pytest.mark.parametrize(
    "method, args",
    [("append_record", (b"x",)), ("close_frame", (1, 3)), ("seal", (1, 3)),
     ("flush_headers", ()), ("set_user_header", ("k", "v"))],
)
def test_read_only_refuses_writes(tmp_path, method, args):
    path = tmp_path / "a.drelix"
    create(path)
    before = path.read_bytes()
    c = Container.open_read(path)
    with pytest.raises(_native.DrelixUsageError, match=r"^file is open read-only$"):
        getattr(c, method)(*args)
    assert path.read_bytes() == before
    c.flush_data()  # nothing buffered, nothing to refuse


@pytest.mark.parametrize("call, exc, message", [
    (lambda c: c.append_record(bytearray(b"x")), TypeError, r"^argument 'body': "),
    (lambda c: c.append_record(body=memoryview(b"x")), TypeError, r"^argument 'body': "),
    (lambda c: c.append_record(), TypeError, r"append_record\(\) missing"),
    (lambda c: c.append_record(b"x", b"y"), TypeError, r"append_record\(\) takes"),
    (lambda c: c.append_record(data=b"x"), TypeError, r"unexpected keyword argument 'data'"),
    (lambda c: c.close_frame(1, 3.0), TypeError, r"^argument 'level': "),
    (lambda c: c.close_frame(1), TypeError, r"missing 1 required positional argument: 'level'"),
    (lambda c: c.close_frame(-1, 3), OverflowError, None),
    (lambda c: c.close_frame(1, 2**31), OverflowError, None),
    (lambda c: c.seal("1", 3), TypeError, r"^argument 'frame_id': "),
    (lambda c: c.read_frame(None), TypeError, r"^argument 'frame_id': "),
    (lambda c: c.read_frame_at(2**64), OverflowError, None),
    (lambda c: c.set_user_header("k", b"v"), TypeError, r"^argument 'value': "),
    (lambda c: c.headers(1), TypeError, r"^Container\.headers\(\) takes"),
    (lambda c: c.records(x=1), TypeError, r"^Container\.records\(\) got an unexpected"),
    (lambda c: c.__exit__(exc_type=None), TypeError,
     r"^Container\.__exit__\(\) got an unexpected keyword"),
])
def test_argument_errors_change_nothing(tmp_path, call, exc, message):
    c = create(tmp_path / "a.drelix", user=[("k", "old")])
    c.append_record(b"buffered")
    with pytest.raises(exc, match=message) as info:
        call(c)
    if str(info.value).startswith("argument "):
        assert isinstance(info.value.__cause__, TypeError)
        assert str(info.value).endswith(f": {info.value.__cause__}")
    assert c.records() == 1 and c.headers()["k"] == "old" and c.frames() == []
    # The borrow taken before converting was released.
    c.close_frame(1, 3)
    assert len(c.frames()) == 1


def test_layout_errors(tmp_path):
    fixed = create(tmp_path / "f.drelix", fixed=True)
    with pytest.raises(_native.DrelixUsageError, match=r"^record is 7 bytes, the schema says 16$"):
        fixed.append_record(bytes(7))
    prefixed = create(tmp_path / "p.drelix")
    with pytest.raises(_native.DrelixUsageError,
                       match=r"^record of 65536 bytes overflows the u16 prefix$"):
        prefixed.append_record(bytes(65536))
    assert fixed.records() == 0 and prefixed.records() == 0


# ---- the with block --------------------------------------------------------------------------
def test_with_block_flushes_and_propagates(tmp_path):
    path = tmp_path / "a.drelix"
    create(path)
    c = Container.open_append(path)
    with pytest.raises(ValueError, match="boom"):
        with c as entered:
            assert entered is c
            entered.append_record(b"abc")
            raise ValueError("boom")
    assert os.path.getsize(path) == EMPTY + 5
    # Still fully usable, and a second with works the same way.
    with c:
        c.append_record(b"de")
    assert os.path.getsize(path) == EMPTY + 9
    c.close_frame(1, 3)
    assert c.read_frame(1) == raw(b"abc") + raw(b"de")
    # Leaving the block neither rewrites the zone nor closes anything beyond the explicit close.
    assert _native.peek_headers(path)[1]["_records"] == "2"
    # __exit__ takes any positional arguments, flushes, and never swallows; __enter__ works
    # from any thread.
    for n, args in enumerate([(), (None, None, None), (1, 2, 3, 4, 5)], 1):
        c.append_record(b"f")
        assert c.__exit__(*args) is False
        assert os.path.getsize(path) == EMPTY + c.frames()[0].len + 3 * n
    assert run_in_thread(c.__enter__).result() is c


# ---- thread confinement and the borrow rule --------------------------------------------------
FOREIGN_CALLS = {
    "records": lambda c: c.records(), "headers": lambda c: c.headers(), "repr": repr,
    "append_record": lambda c: c.append_record(b"from another thread"),
    "append_record kw": lambda c: c.append_record(body=b"kw"),
    "flush_data": lambda c: c.flush_data(), "close_frame": lambda c: c.close_frame(9, 3),
    "seal": lambda c: c.seal(9, 3), "set_user_header": lambda c: c.set_user_header("k", "v"),
    "read_tail": lambda c: c.read_tail(), "exit": lambda c: c.__exit__(None, None, None),
}


@pytest.mark.parametrize("name", list(FOREIGN_CALLS))
def test_foreign_thread_call_is_refused(tmp_path, name):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"mine")
    before = path.read_bytes()

    def attempt():
        try:
            FOREIGN_CALLS[name](c)
        except Exception:  # noqa: BLE001 - the point: this handler must not catch it
            return "caught by except Exception"
        return "no error"

    error = run_in_thread(attempt).exception()
    assert isinstance(error, BaseException) and not isinstance(error, Exception), error
    assert " is unsendable, but sent to another thread" in str(error)
    assert "drelix_binary._native.Container" in str(error)
    # Nothing was touched: the file, the buffer, the headers.
    assert path.read_bytes() == before
    assert c.records() == 1 and "k" not in c.headers()
    c.flush_data()
    assert path.read_bytes() == before + raw(b"mine")


@pytest.mark.parametrize("inner, outer, message", [
    # A shared call while an exclusive borrow is held...
    (lambda c: c.records(), lambda c, i: c.read_frame(Index(1, i)), "Already mutably borrowed"),
    # ...and an exclusive one.
    (lambda c: c.flush_data(), lambda c, i: c.close_frame(1, Index(3, i)), "Already borrowed"),
])
def test_reentrant_calls_are_refused(tmp_path, inner, outer, message):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"x")
    c.close_frame(1, 3)
    c.append_record(b"y")
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        outer(c, lambda: inner(c))
    assert os.path.getsize(path) == EMPTY + c.frames()[0].len  # the inner flush did nothing
    assert len(c.frames()) == 1
    # Both borrows were released: shared and exclusive calls work again.
    assert c.records() == 2
    assert c.read_frame(1) == raw(b"x")
    c.close_frame(2, 3)
    assert len(c.frames()) == 2


# ---- reclamation -----------------------------------------------------------------------------
def test_drop_on_foreign_thread_writes_and_reports(tmp_path, monkeypatch):
    path = tmp_path / "a.drelix"
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    box = [create(path)]
    for i in range(3):
        box[0].append_record(body(i))

    def drop():
        box.pop()  # the last reference, released on this thread

    # Leftovers of earlier tests must not be collected on the foreign thread and reported too;
    # the container itself goes at once, by reference count, when the thread pops it.
    gc.collect()
    gc.disable()
    try:
        future = run_in_thread(drop)
    finally:
        gc.enable()
    assert future.exception() is None
    assert len(seen) == 1
    exc = seen[0].exc_value
    assert type(exc) is RuntimeError
    assert str(exc) == (
        "drelix_binary._native.Container is unsendable, but is being dropped on another thread"
    )
    # The buffer was written anyway, so no record is lost; the zone is as it was.
    assert path.read_bytes()[EMPTY:] == b"".join(raw(body(i)) for i in range(3))
    assert _native.peek_headers(path)[1]["_records"] == "0"
    assert Container.open_append(path).records() == 3


def test_drop_writes_buffer_but_not_the_zone_and_torn_tails_are_cut(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"a")
    c.close_frame(1, 3)
    zone_before = path.read_bytes()[:data_start(path)]
    c.append_record(b"bb")
    c.append_record(b"ccc")
    del c
    gc.collect()
    assert seen == []
    content = path.read_bytes()
    assert content[:data_start(path)] == zone_before
    assert content.endswith(raw(b"bb") + raw(b"ccc"))
    assert _native.peek_headers(path)[1]["_records"] == "1"
    # A torn record after them (its prefix announces more than follows) is cut by
    # open_append only.
    with open(path, "ab") as f:
        f.write(b"torn")
    size = os.path.getsize(path)
    assert Container.open_read(path).read_tail() == raw(b"bb") + raw(b"ccc")
    assert os.path.getsize(path) == size
    reopened = Container.open_append(path)
    assert os.path.getsize(path) == size - 4
    assert reopened.records() == 3
    assert reopened.read_tail() == raw(b"bb") + raw(b"ccc")


# ---- a writer killed at random moments -------------------------------------------------------
CHILD = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[2])
    from conftest import body, create

    c = create(sys.argv[1], header_area=65536)
    print("ready", flush=True)
    i = frame = 0
    while True:
        for _ in range(20 + 13 * (frame % 5)):
            c.append_record(body(i))
            i += 1
        c.close_frame(frame, 3)
        frame += 1
        print(frame, i, flush=True)
    """
)


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
def test_killed_writer_recovers(tmp_path):
    rng = random.Random(20240611)
    for round_ in range(5):
        path = tmp_path / f"crash{round_}.drelix"
        args = [sys.executable, "-c", CHILD, str(path), os.path.dirname(__file__)]
        with subprocess.Popen(args, text=True, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as child:
            try:
                assert child.stdout.readline().strip() == "ready", child.stderr.read()
                time.sleep(rng.uniform(0.01, 0.35))
            finally:
                child.send_signal(signal.SIGKILL)
                # Read through the same buffered stream as readline, which may hold lines
                # already (communicate() would read around it and cut a line in two).
                out = child.stdout.read()
        assert child.returncode == -signal.SIGKILL
        progress = [tuple(map(int, line.split())) for line in out.splitlines() if line.strip()]
        durable_frames, durable_records = progress[-1] if progress else (0, 0)

        c = Container.open_append(path)
        assert not os.path.exists(f"{path}.seal")
        frames = c.frames()
        # Every close that returned is on disk; at most the one in flight may be as well.
        assert len(frames) in (durable_frames, durable_frames + 1)
        assert [f.id for f in frames] == list(range(len(frames)))
        records = all_records(c)  # no frame and no tail record is torn
        assert records == [body(i) for i in range(len(records))]
        in_frames = sum(len(_native.split_records(c.read_frame_at(i), RL.prefixed())[0])
                        for i in range(len(frames)))
        assert in_frames >= durable_records
        assert c.headers()["_records"] == str(in_frames)
        assert c.records() == len(records)
        # The recovered file is sound and takes further closes.
        c.append_record(b"after")
        c.close_frame(len(frames), 3)
        del c
        report = _native.validate(path)
        assert report.problems == []
        assert (report.frames, report.records) == (len(frames) + 1, len(records) + 1)
