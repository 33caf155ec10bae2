"""A stateful model test of Container: random sequences of appends, flushes, closes, seals,
header changes, reopenings, repacks and refused calls, checked after every step against a plain
Python model of what the file must hold and against the bytes on disk (validate and
rebuild_headers, run on a reopening, must agree with it too).

The model tracks the records of each closed frame, the records written to the tail, those
still in the write buffer (written at 64 KiB, on flush_data, on a close and when the object is
dropped), the application headers and the sealed flag. A refused call must change none of it.
"""

import concurrent.futures
import gc
import shutil
import struct
import sys
import tempfile
import time
from pathlib import Path

import hypothesis.strategies as st
import pytest
from conftest import Index
from drelix_binary import _native
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

Container, Usage = _native.Container, _native.DrelixUsageError
FIXED_SIZE, FLUSH_THRESHOLD, MAX_PREFIXED = 16, 65536, 65535
PATTERN = bytes(range(256)) * 2  # bursts slice it: thousands of records cost little
SYSTEM = ["_schema", "_schema_fields", "_schema_hash", "_record", "_source", "_created_at",
          "_writer", "_compression", "_compression_level", "_records", "_bytes_raw", "_frames",
          "_preview", "_sealed"]  # fmt: skip
USER_KEYS = ["note", "owner", "a", "9x", "x__y", "run_id"]
# Values are free text: the zone escapes backslash and line feed, and keeps ":", CR and NUL.
VALUES = st.text(max_size=12) | st.sampled_from(["", "a:b", "line\nbreak", "back\\slash", "\r\0"])  # fmt: skip
FIXED_BODIES = st.binary(min_size=FIXED_SIZE, max_size=FIXED_SIZE)
PREFIXED_BODIES = (st.binary(max_size=48) | st.integers(0, 255).map(lambda b: bytes([b]) * MAX_PREFIXED))  # fmt: skip
# Calls refused before anything changes; the borrow taken to convert arguments is released.
REFUSED = [
    (lambda c: c.close_frame(1, 3.0), TypeError, r"^argument 'level': "),
    (lambda c: c.close_frame(-1, 3), OverflowError, "^can't convert negative int to unsigned$"),
    (lambda c: c.seal(1, 2**31), OverflowError, "^int too big to convert$"),
    (lambda c: c.close_frame(1, -(2**31) - 1), OverflowError, "^int too small to convert$"),
    (lambda c: c.read_frame_at(2**64), OverflowError, None),
    (lambda c: c.read_frame_at(len(c.frames())), Usage, r"^no frame at position \d+$"),
    (lambda c: c.set_user_header("_k", "v"), Usage, r"^user header key \"_k\" may not start with '_'$"),
    (lambda c: c.headers(1), TypeError, r"^Container\.headers\(\) takes 0 positional arguments but 1 was given$"),
    (lambda c: c.append_record(bytes(7 if c.schema().layout.fixed_size else 65536)), Usage,
     r"^(record is 7 bytes, the schema says 16|record of 65536 bytes overflows the u16 prefix)$"),
    # A shared call while an exclusive borrow is held, and an exclusive one.
    (lambda c: c.read_frame(Index(1, c.records)), RuntimeError, "^Already mutably borrowed$"),
    (lambda c: c.close_frame(2, Index(3, c.flush_data)), RuntimeError, "^Already borrowed$"),
]  # fmt: skip
FOREIGN = [lambda c: c.records(), lambda c: c.append_record(body=b"kw"), lambda c: c.flush_data(),
           lambda c: c.seal(9, 3), lambda c: c.set_user_header("k", "v"), repr,
           lambda c: c.read_tail(), lambda c: c.__exit__(None, None, None)]  # fmt: skip
READ_ONLY = [lambda c: c.append_record(b"x"), lambda c: c.close_frame(1, 3), lambda c: c.seal(1, 3),
             lambda c: c.flush_headers(), lambda c: c.set_user_header("k", "v")]  # fmt: skip


class ContainerModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix="drelix_model_"))
        self.path = self.dir / "model.drelix"
        self.c, self.fixed, self.sealed, self.level = None, False, False, "3"
        self.frames = []  # (frame id, [bodies]) per closed frame, in file order
        self.written, self.buffered, self.buffered_bytes = [], [], 0  # tail, buffer
        self.user, self.flags = {}, 1  # headers: first position, last value

    def teardown(self):
        self.c = None  # drops the container before its directory goes
        shutil.rmtree(self.dir, ignore_errors=True)

    def raw(self, body):
        return body if self.fixed else struct.pack("<H", len(body)) + body

    def layout(self):
        return _native.RecordLayout.fixed(FIXED_SIZE) if self.fixed else _native.RecordLayout.prefixed()  # fmt: skip

    def buffer_written(self):
        self.written, self.buffered, self.buffered_bytes = self.written + self.buffered, [], 0  # fmt: skip

    @initialize(fixed=st.booleans(), user=st.lists(st.tuples(st.sampled_from(USER_KEYS), VALUES), max_size=3),
                millis=st.integers(0, 2**42), area=st.sampled_from([4096, 6000, 65536]))  # fmt: skip
    def create(self, fixed, user, millis, area):
        self.fixed = fixed
        schema = _native.Schema("model@1", [_native.FieldSpec("v", "u64", 0)], self.layout())  # fmt: skip
        self.c = Container.create(path=str(self.path), schema=schema, source="model", writer="w",
                                  created_at_millis=millis, header_area=area, user=user)  # fmt: skip
        with pytest.raises(OSError) as info:  # an existing file is left alone
            Container.create(self.path, schema, "model", "w")
        assert type(info.value) is OSError and str(info.value).startswith(f"{self.path}: ")
        created = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(millis // 1000))
        headers = self.c.headers()
        assert [headers[k] for k in ("_created_at", "_source", "_writer", "_schema_hash")] == [created, "model", "w", schema.hash_hex()]  # fmt: skip
        assert self.path.stat().st_size == 16 + area
        self.user.update(user)

    def append(self, body):
        self.c.append_record(body)
        self.buffered.append(body)
        self.buffered_bytes += len(self.raw(body))
        if self.buffered_bytes >= FLUSH_THRESHOLD:  # written as soon as it reaches it
            self.buffer_written()

    @rule(data=st.data())
    def append_one(self, data):
        self.append(data.draw(FIXED_BODIES if self.fixed else PREFIXED_BODIES))

    @rule(seed=st.integers(0, 255), count=st.integers(1, 4200))
    def append_burst(self, seed, count):
        for i in range(count):  # enough to cross the flush threshold in either layout
            start = (seed + i) % 256
            self.append(PATTERN[start : start + (FIXED_SIZE if self.fixed else (seed + i) % 40)])  # fmt: skip

    @rule(headers=st.booleans())
    def flush(self, headers):
        if headers:
            self.c.flush_headers()
        else:
            self.c.flush_data()
            self.buffer_written()

    @rule(frame_id=st.integers(0, 2**64 - 1), level=st.sampled_from([-5, 0, 1, 3, 19]), seal=st.booleans())  # fmt: skip
    def close_frame(self, frame_id, level, seal):
        (self.c.seal if seal else self.c.close_frame)(frame_id, level)
        self.buffer_written()
        self.sealed |= seal
        if self.written:  # an empty tail closes nothing
            self.frames.append((frame_id, self.written))
            self.written, self.level = [], str(level)

    @rule(key=st.sampled_from(USER_KEYS), value=VALUES)
    def set_user_header(self, key, value):
        self.c.set_user_header(key, value)
        self.user[key] = value

    def drop(self, foreign=False):
        """Reclaiming the object writes its buffer, nothing more, even on another thread
        (where it also reports that it was sent)."""
        box, self.c, seen = [self.c], None, []
        hook, sys.unraisablehook = sys.unraisablehook, seen.append
        gc.disable()  # the container goes by reference count, on the thread that clears the box
        try:
            if foreign:
                with concurrent.futures.ThreadPoolExecutor(1) as pool:
                    pool.submit(box.clear).result()
            box.clear()
        finally:
            gc.enable()
            sys.unraisablehook = hook
        message = "drelix_binary._native.Container is unsendable, but is being dropped on another thread"  # fmt: skip
        assert [(type(u.exc_value), str(u.exc_value)) for u in seen] == [(RuntimeError, message)] * foreign  # fmt: skip
        self.buffer_written()

    @rule(foreign=st.booleans(), torn=st.sampled_from([b"", b"\x05", b"\x05\x00abc"]))
    def drop_and_reopen(self, foreign, torn):
        self.drop(foreign)
        with open(self.path, "ab") as f:  # a torn record: fewer bytes than it announces
            f.write(torn)
        size, tail = self.path.stat().st_size, b"".join(map(self.raw, self.written))
        assert Container.open_read(self.path).read_tail() == tail
        assert self.path.stat().st_size == size  # only open_append cuts it
        self.c = Container.open_append(self.path)

    @rule(args=st.sampled_from([((), {}), ((0, 65536), {}), ((-5,), {"header_area": None}), ((), {"level": 3})]))  # fmt: skip
    def repack(self, args):
        self.drop()
        size, report = self.path.stat().st_size, _native.repack(self.path, *args[0], **args[1])  # fmt: skip
        assert (report.frames, report.bytes_before, report.bytes_after) == (len(self.frames), size, self.path.stat().st_size)  # fmt: skip
        level = (args[0] + (args[1].get("level", 19),))[0]
        self.level, self.flags = str(level), int(level != 0)
        assert list(self.dir.iterdir()) == [self.path]  # nothing left beside it
        self.c = Container.open_append(self.path)

    @rule()
    def with_block(self):  # leaving it writes the buffer and lets the exception through
        with pytest.raises(KeyError), self.c as entered:
            assert entered is self.c
            raise KeyError
        assert self.c.__exit__(1, 2, 3, 4, 5) is False
        self.buffer_written()

    @rule(case=st.sampled_from(REFUSED))
    def refused_call(self, case):
        with pytest.raises(case[1], match=case[2]):
            case[0](self.c)

    @rule(call=st.sampled_from(FOREIGN))
    def foreign_thread_call(self, call):
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            error = pool.submit(call, self.c).exception()
        # Not an Exception: an `except Exception` in the caller must not swallow it.
        assert isinstance(error, BaseException) and not isinstance(error, Exception)
        assert str(error).startswith("drelix_binary._native.Container is unsendable, but sent")  # fmt: skip

    @rule()
    def reopen_read_only_and_compare(self):
        before, reader = self.path.read_bytes(), Container.open_read(self.path)
        # Every header change was written through, so the zone on disk is the writer's; the
        # reader's count is the zone's.
        assert reader.headers() == self.c.headers() and reader.frames() == self.c.frames()  # fmt: skip
        for call in READ_ONLY:
            with pytest.raises(Usage, match=r"^file is open read-only$"):
                call(reader)
        reader.flush_data()  # nothing buffered, nothing to refuse
        assert self.path.read_bytes() == before
        assert reader.records() == sum(len(f[1]) for f in self.frames)
        assert self.read_back(reader) == ([f[1] for f in self.frames], self.written)
        # validate and rebuild_headers work out the same from the frames and the tail.
        report = _native.validate(self.path)
        assert (report.problems, report.frames, report.records) == ([], len(self.frames), reader.records() + len(self.written))  # fmt: skip
        assert _native.rebuild_headers(self.path).differences == []

    def read_back(self, c):
        """The records of every frame (one list per frame), then those of the tail."""
        out, n = [], len(c.frames())
        for data in [c.read_frame_at(i) for i in range(n)] + [c.read_tail()]:
            records, torn = _native.split_records(data, self.layout())
            out.append(list(records))
            assert torn == 0
        return out[:-1], out[-1]

    @invariant()
    def agrees_with_model(self):
        if self.c is None:
            return
        c, in_frames = self.c, [b for f in self.frames for b in f[1]]
        assert c.records() == len(in_frames) + len(self.written) + len(self.buffered)
        assert repr(c) == f"Container(records={c.records()}, frames={len(self.frames)})"
        headers, frames = c.headers(), c.frames()
        assert headers is not c.headers() and frames is not c.frames()  # new every time
        assert [f.id for f in frames] == [f[0] for f in self.frames]
        raw_bytes, compression = sum(len(self.raw(b)) for b in in_frames), "none" if self.level == "0" else "zstd"  # fmt: skip
        assert [headers[k] for k in ("_records", "_bytes_raw", "_sealed", "_compression", "_compression_level")] == [
            str(len(in_frames)), str(raw_bytes), str(self.sealed).lower(), compression, self.level]  # fmt: skip
        assert list(headers.items())[len(SYSTEM) :] == list(self.user.items()) and list(headers)[: len(SYSTEM)] == SYSTEM  # fmt: skip
        preamble = _native.peek_headers(self.path)[0]
        assert (preamble.version, preamble.flags) == (1, self.flags)
        # Where the bytes lie on disk is the engine model's (model_test.cc); here what the
        # binding reads back.
        assert self.read_back(c) == ([f[1] for f in self.frames], self.written)


TestContainerModel = ContainerModel.TestCase
TestContainerModel.settings = settings(
    max_examples=30, stateful_step_count=30, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)  # fmt: skip
