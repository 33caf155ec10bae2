"""The Container class: creating, appending, closing, reading back, the context-manager
protocol, thread confinement, the borrow rule, reclamation, and recovery after a killed
writer."""

import gc
import inspect
import os
import random
import re
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from drelix_binary import _native

Container = _native.Container
FS = _native.FieldSpec
RL = _native.RecordLayout

FIXED_SIZE = 16
LAYOUTS = {
    "fixed": lambda: RL.fixed(FIXED_SIZE),
    "prefixed": RL.prefixed,
}
LEVELS = [0, 1, 3, 19, -5]

SYSTEM_KEYS = [
    "_schema", "_schema_fields", "_schema_hash", "_record", "_source", "_created_at",
    "_writer", "_compression", "_compression_level", "_records", "_bytes_raw", "_frames",
    "_preview", "_sealed",
]

ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


def make_schema(layout_name="prefixed"):
    return _native.Schema(
        "test@1", [FS("seq", "u64", 0), FS("tag", "u8", 8)], LAYOUTS[layout_name]()
    )


def body(i, layout_name):
    """Record i's body: its index first, so any misplaced record is visible, then padding."""
    head = struct.pack("<Q", i)
    if layout_name == "fixed":
        return head + bytes([i % 251]) * (FIXED_SIZE - 8)
    return head + bytes([i % 251]) * (i % 23)


def raw_form(data, layout_name):
    """A body as it sits in the tail or in a frame's content."""
    if layout_name == "fixed":
        return data
    return struct.pack("<H", len(data)) + data


def create(path, layout_name="prefixed", **kwargs):
    return Container.create(path, make_schema(layout_name), "src", "writer", **kwargs)


def data_start(path):
    return 16 + _native.peek_headers(path)[0].header_area


def render(frames):
    """The _frames text as the format writes it, built independently of the engine."""
    tokens = []
    for f in frames:
        token = f"{f.id},{f.offset},{f.len}"
        if f.hash:
            token += f",{f.hash:016x}"
        tokens.append(token)
    return ";".join(tokens)


def run_in_thread(fn):
    """Runs fn on a new thread; returns what it returned or the exception it raised."""
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as exc:  # noqa: B902 - confinement errors are BaseExceptions
            result["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return result


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


def test_methods_in_definition_order():
    names = [name for name, _, _ in METHODS]
    assert [k for k in Container.__dict__ if k in names] == names


@pytest.mark.parametrize("name, signature, doc", METHODS)
def test_method_signatures_and_docstrings(name, signature, doc):
    method = getattr(Container, name)
    if name == "create":
        # The default zone size is written as "..." in the text signature.
        assert method.__text_signature__ == signature.replace("Ellipsis", "...")
        assert str(inspect.signature(method)) == signature
    else:
        assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_class_surface(tmp_path):
    assert Container.__doc__ == "A container file, open for reading or appending."
    assert Container.__module__ == "drelix_binary._native"
    with pytest.raises(TypeError) as info:
        Container()
    assert str(info.value) == "cannot create 'drelix_binary._native.Container' instances"
    with pytest.raises(TypeError):
        type("Sub", (Container,), {})
    c = create(tmp_path / "a.drelix")
    with pytest.raises(AttributeError):
        c.anything = 1
    assert not hasattr(c, "__dict__")
    # Identity semantics: no equality of its own, hashable by identity.
    other = Container.open_read(tmp_path / "a.drelix")
    assert c == c and c != other
    assert hash(c) == hash(c)
    assert len({c, other}) == 2


# ---- create and open -------------------------------------------------------------------------


def test_create_defaults(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    headers = c.headers()
    assert list(headers) == SYSTEM_KEYS
    assert headers["_created_at"] == "1970-01-01T00:00:00Z"
    assert headers["_source"] == "src" and headers["_writer"] == "writer"
    assert (headers["_records"], headers["_frames"], headers["_sealed"]) == ("0", "", "false")
    assert os.path.getsize(path) == 16 + 4096
    assert _native.peek_headers(path)[0].header_area == 4096
    assert c.schema() == make_schema()
    assert c.frames() == [] and c.records() == 0


def test_create_with_every_argument_by_keyword(tmp_path):
    path = tmp_path / "a.drelix"
    c = Container.create(
        path=str(path), schema=make_schema("fixed"), source="s", writer="w",
        created_at_millis=86_399_999, header_area=3000, user=[("app", "x"), ("b", "y")],
    )
    headers = c.headers()
    assert headers["_created_at"] == "1970-01-01T23:59:59Z"
    assert list(headers)[-2:] == ["app", "b"]
    assert os.path.getsize(path) == 16 + 3000


def test_headers_returns_a_fresh_dict(tmp_path):
    c = create(tmp_path / "a.drelix", user=[("app", "1")])
    first = c.headers()
    first["app"] = "changed"
    first["_records"] = "99"
    del first["_schema"]
    assert c.headers() == {**c.headers(), "app": "1"}
    assert c.headers()["_records"] == "0" and "_schema" in c.headers()
    assert c.headers() is not c.headers()
    assert c.frames() is not c.frames()


@pytest.mark.parametrize(
    "user, exc, message",
    [
        ({"a": "b"}, TypeError, r"^argument 'user': "),
        ("ab", TypeError, r"^argument 'user': "),
        ([["a", "b"]], TypeError, r"^argument 'user': "),
        ([("a", 1)], TypeError, r"^argument 'user': "),
        ([(1, "a")], TypeError, r"^argument 'user': "),
        (5, TypeError, r"^argument 'user': "),
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


@pytest.mark.parametrize("user", [None, [], (), [("a", "1")], (("a", "1"), ("b", "2"))])
def test_user_argument_accepted(tmp_path, user):
    c = create(tmp_path / "a.drelix", user=user)
    expected = list(user or [])
    assert [(k, v) for k, v in c.headers().items() if not k.startswith("_")] == expected


def test_create_on_existing_path_is_a_plain_oserror(tmp_path):
    path = tmp_path / "a.drelix"
    path.write_bytes(b"keep")
    with pytest.raises(OSError) as info:
        create(path)
    assert type(info.value) is OSError
    assert str(info.value).startswith(f"{path}: ")
    assert path.read_bytes() == b"keep"


def test_open_missing_path(tmp_path):
    path = tmp_path / "missing.drelix"
    for opener in (Container.open_read, Container.open_append):
        with pytest.raises(OSError) as info:
            opener(path)
        assert type(info.value) is OSError
        assert str(info.value).startswith(f"{path}: ")


# ---- round trips -----------------------------------------------------------------------------


def batch_bodies(layout_name, start, count):
    bodies = [body(i, layout_name) for i in range(start, start + count)]
    if layout_name == "prefixed":
        # The two edges of the length prefix: an empty record and the largest one.
        bodies[1:1] = [b"", bytes(range(256)) * 255 + bytes(255)]
    return bodies


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("layout_name", list(LAYOUTS))
def test_round_trip(tmp_path, layout_name, level):
    path = tmp_path / "a.drelix"
    c = create(path, layout_name)
    batches = [batch_bodies(layout_name, 0, 40), batch_bodies(layout_name, 40, 25)]
    for frame_id, bodies in zip((7, 8), batches):
        for b in bodies:
            c.append_record(b)
        c.close_frame(frame_id, level)
    tail = [body(i, layout_name) for i in range(100, 105)]
    for b in tail:
        c.append_record(b)

    raws = [b"".join(raw_form(b, layout_name) for b in bodies) for bodies in batches]
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
    for frame, raw in zip(frames, raws):
        stored = content[start + frame.offset:start + frame.offset + frame.len]
        assert frame.hash == _native.xxh64(stored)
        if level == 0:
            assert stored == raw
        else:
            assert stored[:4] == ZSTD_MAGIC
    tail_raw = b"".join(raw_form(b, layout_name) for b in tail)
    assert content[start + frames[1].offset + frames[1].len:] == tail_raw

    layout = LAYOUTS[layout_name]()
    for reader in (c, Container.open_read(path)):
        assert [reader.read_frame_at(i) for i in range(2)] == raws
        assert reader.read_frame(8) == raws[1]
        assert _native.split_records(reader.read_frame_at(0), layout) == (batches[0], 0)
        assert reader.read_tail() == tail_raw
    assert Container.open_read(path).records() == frame_records
    assert Container.open_append(path).records() == frame_records + len(tail)


def test_close_frame_on_empty_tail_changes_nothing(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"abc")
    c.close_frame(1, 3)
    before = path.read_bytes()
    headers = c.headers()
    c.close_frame(2, 3)
    assert path.read_bytes() == before
    assert c.headers() == headers and len(c.frames()) == 1


def test_repeated_ids_and_positions(tmp_path):
    c = create(tmp_path / "a.drelix")
    for payload in (b"first", b"second"):
        c.append_record(payload)
        c.close_frame(5, 3)
    assert c.read_frame(5) == raw_form(b"first", "prefixed")
    assert c.read_frame_at(1) == raw_form(b"second", "prefixed")
    with pytest.raises(_native.DrelixUsageError, match=r"^no frame 6$"):
        c.read_frame(6)
    with pytest.raises(_native.DrelixUsageError, match=r"^no frame at position 2$"):
        c.read_frame_at(2)


def test_seal_and_user_headers(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"x")
    c.set_user_header("app", "v1")
    c.seal(1, 19)
    _, on_disk = _native.peek_headers(path)
    assert on_disk["_sealed"] == "true" and on_disk["app"] == "v1"
    assert on_disk["_frames"] == render(c.frames())
    with pytest.raises(_native.DrelixUsageError, match=r"may not start with '_'$"):
        c.set_user_header("_x", "1")
    # Sealing is only a header: the file still takes records.
    c.append_record(b"y")
    assert c.records() == 2


def test_records_before_flush_and_repr(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    for i in range(3):
        c.append_record(body(i, "prefixed"))
    assert c.records() == 3
    assert repr(c) == "Container(records=3, frames=0)"
    assert os.path.getsize(path) == 16 + 4096  # still buffered
    c.close_frame(1, 3)
    c.append_record(b"")
    assert repr(c) == "Container(records=4, frames=1)"


@pytest.mark.parametrize("opener", ["open_read", "open_append"])
def test_records_of_a_reopened_file(tmp_path, opener):
    path = tmp_path / "a.drelix"
    c = create(path)
    for i in range(4):
        c.append_record(body(i, "prefixed"))
    c.close_frame(1, 3)
    c.append_record(b"tail")
    del c
    # A reader counts only what the frames hold; an appender also counts the tail.
    expected = {"open_read": 4, "open_append": 5}[opener]
    assert getattr(Container, opener)(path).records() == expected


# ---- read-only containers and argument errors ------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.append_record(b"x"),
        lambda c: c.close_frame(1, 3),
        lambda c: c.seal(1, 3),
        lambda c: c.flush_headers(),
        lambda c: c.set_user_header("k", "v"),
    ],
)
def test_read_only_refuses_writes(tmp_path, call):
    path = tmp_path / "a.drelix"
    create(path)
    before = path.read_bytes()
    c = Container.open_read(path)
    with pytest.raises(_native.DrelixUsageError, match=r"^file is open read-only$"):
        call(c)
    assert path.read_bytes() == before
    c.flush_data()  # nothing buffered, nothing to refuse


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda c: c.append_record(bytearray(b"x")), TypeError, r"^argument 'body': "),
        (lambda c: c.append_record(memoryview(b"x")), TypeError, r"^argument 'body': "),
        (lambda c: c.append_record(body=bytearray(b"x")), TypeError, r"^argument 'body': "),
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
    ],
)
def test_argument_errors_change_nothing(tmp_path, call, exc, message):
    path = tmp_path / "a.drelix"
    c = create(path, user=[("k", "old")])
    c.append_record(b"buffered")
    with pytest.raises(exc, match=message):
        call(c)
    assert c.records() == 1 and c.headers()["k"] == "old" and c.frames() == []
    # The borrow taken before converting was released.
    c.close_frame(1, 3)
    assert len(c.frames()) == 1


def test_argument_error_keeps_cause(tmp_path):
    c = create(tmp_path / "a.drelix")
    with pytest.raises(TypeError) as info:
        c.append_record(bytearray(b"x"))
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value) == f"argument 'body': {info.value.__cause__}"


def test_index_hooks_count_as_integers(tmp_path):
    class Three:
        def __index__(self):
            return 3

    c = create(tmp_path / "a.drelix")
    c.append_record(b"x")
    c.close_frame(True, Three())
    assert c.frames()[0].id == 1 and c.headers()["_compression_level"] == "3"


def test_layout_errors(tmp_path):
    fixed = create(tmp_path / "f.drelix", "fixed")
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
    size = os.path.getsize(path)
    with pytest.raises(ValueError, match="boom"):
        with c as entered:
            assert entered is c
            entered.append_record(b"abc")
            raise ValueError("boom")
    assert os.path.getsize(path) == size + 5
    # Still fully usable, and a second with works the same way.
    with c:
        c.append_record(b"de")
    assert os.path.getsize(path) == size + 9
    c.close_frame(1, 3)
    assert c.read_frame(1) == raw_form(b"abc", "prefixed") + raw_form(b"de", "prefixed")
    # Leaving the block neither rewrites the zone nor closes anything beyond the explicit close.
    assert _native.peek_headers(path)[1]["_records"] == "2"


@pytest.mark.parametrize("args", [(), (None, None, None), (1, 2, 3, 4, 5)])
def test_exit_takes_any_positional_arguments(tmp_path, args):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"x")
    assert c.__exit__(*args) is False
    assert os.path.getsize(path) == 16 + 4096 + 3


def test_exit_refuses_keywords(tmp_path):
    c = create(tmp_path / "a.drelix")
    with pytest.raises(TypeError, match=r"^Container\.__exit__\(\) got an unexpected keyword"):
        c.__exit__(exc_type=None)


# ---- thread confinement ----------------------------------------------------------------------

FOREIGN_CALLS = [
    ("records", lambda c: c.records()),
    ("headers", lambda c: c.headers()),
    ("repr", repr),
    ("append_record", lambda c: c.append_record(b"from another thread")),
    ("append_record kw", lambda c: c.append_record(body=b"kw")),
    ("flush_data", lambda c: c.flush_data()),
    ("close_frame", lambda c: c.close_frame(9, 3)),
    ("seal", lambda c: c.seal(9, 3)),
    ("set_user_header", lambda c: c.set_user_header("k", "v")),
    ("read_tail", lambda c: c.read_tail()),
    ("exit", lambda c: c.__exit__(None, None, None)),
]


@pytest.mark.parametrize("name, call", FOREIGN_CALLS, ids=[n for n, _ in FOREIGN_CALLS])
def test_foreign_thread_call_is_refused(tmp_path, name, call):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"mine")
    before = path.read_bytes()

    def attempt():
        try:
            call(c)
        except Exception:  # noqa: BLE001 - the point: this handler must not catch it
            return "caught by except Exception"
        return "no error"

    outcome = run_in_thread(attempt)
    error = outcome.get("error")
    assert error is not None, outcome
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert " is unsendable, but sent to another thread" in str(error)
    assert "drelix_binary._native.Container" in str(error)
    # Nothing was touched: the file, the buffer, the headers.
    assert path.read_bytes() == before
    assert c.records() == 1 and "k" not in c.headers()
    c.flush_data()
    assert path.read_bytes() == before + raw_form(b"mine", "prefixed")


def test_enter_works_from_any_thread(tmp_path):
    c = create(tmp_path / "a.drelix")
    assert run_in_thread(c.__enter__) == {"value": c}


def test_confinement_error_is_not_exported():
    assert not any("Confinement" in name for name in _native.__all__)


def test_drop_on_foreign_thread_writes_and_reports(tmp_path, monkeypatch):
    path = tmp_path / "a.drelix"
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info))
    box = [create(path)]
    for i in range(3):
        box[0].append_record(body(i, "prefixed"))
    size = os.path.getsize(path)

    # Leftovers of earlier tests must not be collected on the foreign thread and reported too;
    # the container itself goes at once, by reference count, when the thread pops it.
    def drop():
        box.pop()  # the last reference, released on this thread

    gc.collect()
    gc.disable()
    try:
        outcome = run_in_thread(drop)
    finally:
        gc.enable()
    assert outcome == {"value": None}
    assert len(seen) == 1
    exc = seen[0].exc_value
    assert type(exc) is RuntimeError
    assert str(exc) == (
        "drelix_binary._native.Container is unsendable, but is being dropped on another thread"
    )
    # The buffer was written anyway, so no record is lost; the zone is as it was.
    expected = b"".join(raw_form(body(i, "prefixed"), "prefixed") for i in range(3))
    assert os.path.getsize(path) == size + len(expected)
    assert path.read_bytes()[size:] == expected
    assert _native.peek_headers(path)[1]["_records"] == "0"
    assert Container.open_append(path).records() == 3


def test_drop_on_owner_thread_is_silent(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info))
    c = create(tmp_path / "a.drelix")
    c.append_record(b"x")
    del c
    gc.collect()
    assert seen == []


# ---- the borrow rule -------------------------------------------------------------------------


def test_reentrant_shared_call_during_exclusive_borrow(tmp_path):
    c = create(tmp_path / "a.drelix")
    c.append_record(b"x")
    c.close_frame(1, 3)

    class Sneaky:
        def __index__(self):
            c.records()
            return 1

    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        c.read_frame(Sneaky())
    # Both borrows were released: shared and exclusive calls work again.
    assert c.records() == 1
    assert c.read_frame(1) == raw_form(b"x", "prefixed")


def test_reentrant_exclusive_call_during_exclusive_borrow(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"x")

    class Sneaky:
        def __index__(self):
            c.flush_data()
            return 3

    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        c.close_frame(1, Sneaky())
    assert os.path.getsize(path) == 16 + 4096  # the inner flush did nothing
    assert c.frames() == []
    c.close_frame(1, 3)
    assert len(c.frames()) == 1


# ---- reclamation -----------------------------------------------------------------------------


def test_drop_writes_buffer_but_not_the_zone(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path)
    c.append_record(b"a")
    c.close_frame(1, 3)
    zone_before = path.read_bytes()[:data_start(path)]
    c.append_record(b"bb")
    c.append_record(b"ccc")
    del c
    gc.collect()
    content = path.read_bytes()
    assert content[:data_start(path)] == zone_before
    assert content.endswith(raw_form(b"bb", "prefixed") + raw_form(b"ccc", "prefixed"))
    assert _native.peek_headers(path)[1]["_records"] == "1"
    reopened = Container.open_append(path)
    assert reopened.records() == 3
    assert reopened.read_tail() == raw_form(b"bb", "prefixed") + raw_form(b"ccc", "prefixed")


def test_torn_tail_is_cut_by_open_append_only(tmp_path):
    path = tmp_path / "a.drelix"
    c = create(path, "fixed")
    c.append_record(body(0, "fixed"))
    del c
    with open(path, "ab") as f:
        f.write(b"torn")
    size = os.path.getsize(path)
    assert Container.open_read(path).read_tail() == body(0, "fixed")
    assert os.path.getsize(path) == size
    appender = Container.open_append(path)
    assert os.path.getsize(path) == size - 4
    assert appender.records() == 1


# ---- a writer killed at random moments -------------------------------------------------------

CHILD = textwrap.dedent(
    """
    import struct, sys
    from drelix_binary import _native

    def body(i):
        return struct.pack("<Q", i) + bytes([i % 251]) * (i % 23)

    path = sys.argv[1]
    schema = _native.Schema("crash@1", [], _native.RecordLayout.prefixed())
    c = _native.Container.create(path, schema, "crash", "test", header_area=65536)
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


def crash_body(i):
    return struct.pack("<Q", i) + bytes([i % 251]) * (i % 23)


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
def test_killed_writer_recovers(tmp_path):
    rng = random.Random(20240611)
    layout = RL.prefixed()
    for round_ in range(8):
        path = tmp_path / f"crash{round_}.drelix"
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(path)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        try:
            assert child.stdout.readline().strip() == "ready", child.stderr.read()
            time.sleep(rng.uniform(0.01, 0.35))
        finally:
            child.send_signal(signal.SIGKILL)
            out, _ = child.communicate()
        assert child.returncode == -signal.SIGKILL
        progress = [tuple(map(int, line.split())) for line in out.splitlines() if line.strip()]
        durable_frames, durable_records = progress[-1] if progress else (0, 0)

        c = Container.open_append(path)
        assert not os.path.exists(f"{path}.seal")
        frames = c.frames()
        # Every close that returned is on disk; at most the one in flight may be as well.
        assert len(frames) in (durable_frames, durable_frames + 1)
        assert [f.id for f in frames] == list(range(len(frames)))
        records = []
        for index in range(len(frames)):
            split, torn = _native.split_records(c.read_frame_at(index), layout)
            assert torn == 0
            records.extend(split)
        assert records == [crash_body(i) for i in range(len(records))]
        assert len(records) >= durable_records
        assert c.headers()["_records"] == str(len(records))
        tail, torn = _native.split_records(c.read_tail(), layout)
        assert torn == 0
        assert tail == [crash_body(i) for i in range(len(records), len(records) + len(tail))]
        assert c.records() == len(records) + len(tail)
        # The recovered file is sound and takes further closes.
        c.append_record(b"after")
        c.close_frame(len(frames), 3)
        del c
        report = _native.validate(path)
        assert report.problems == []
        assert (report.frames, report.records) == (len(frames) + 1, len(records) + len(tail) + 1)


def test_killed_writer_leaves_no_lost_flush(tmp_path):
    """A writer killed after flush_data returned loses nothing that was flushed."""
    path = tmp_path / "a.drelix"
    script = textwrap.dedent(
        """
        import os, signal, sys
        from drelix_binary import _native
        schema = _native.Schema("k@1", [], _native.RecordLayout.fixed(4))
        c = _native.Container.create(sys.argv[1], schema, "s", "w")
        for i in range(10):
            c.append_record(i.to_bytes(4, "little"))
        c.flush_data()
        c.append_record(b"lost")
        os.kill(os.getpid(), signal.SIGKILL)
        """
    )
    child = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True)
    assert child.returncode == -signal.SIGKILL
    c = Container.open_append(path)
    assert c.records() == 10
    assert c.read_tail() == b"".join(i.to_bytes(4, "little") for i in range(10))

