"""A stateful model test of Container: random sequences of appends, flushes, closes, seals,
header changes and reopenings, checked after every step against a plain Python model of what
the file must hold.

The model tracks the records in each closed frame, the records written to the tail, the
records still in the write buffer (written at 64 KiB, on flush_data, on a close and when the
object is dropped), the application headers and the sealed flag. After every step the open
container must agree with it: its record count, its frame list, its headers, and every record
read back frame by frame and from the tail.
"""

import os
import shutil
import struct
import tempfile

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from drelix_binary import _native

Container = _native.Container
FIXED_SIZE = 16
FLUSH_THRESHOLD = 65536
MAX_PREFIXED = 65535
LEVELS = [-5, 0, 1, 3, 19]
# Burst records are slices of this, so that a burst of thousands costs little to build.
PATTERN = bytes(range(256)) * 2
USER_KEYS = ["note", "owner", "a", "9x", "x__y", "run_id"]
# Values are free text: the zone escapes backslash and line feed, and keeps ":", CR and NUL.
VALUES = st.text(max_size=12) | st.sampled_from(["", "a:b", "line\nbreak", "back\\slash", "\r\0"])
PREFIXED_BODIES = (st.binary(max_size=48) | st.just(b"")
                   | st.integers(0, 255).map(lambda b: bytes([b]) * MAX_PREFIXED))


class ContainerModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp(prefix="drelix_model_")
        self.path = os.path.join(self.dir, "model.drelix")
        self.c = None
        self.fixed = False
        self.frames = []    # (frame id, [bodies]) per closed frame, in file order
        self.written = []   # bodies in the on-disk tail
        self.buffered = []  # bodies appended but still in the write buffer
        self.buffered_bytes = 0
        self.user = {}      # application headers: first position, last value
        self.sealed = False
        self.level = "3"    # _compression_level: the last close's level

    def teardown(self):
        self.c = None  # drops the container before its directory goes
        shutil.rmtree(self.dir, ignore_errors=True)

    def raw(self, body):
        return body if self.fixed else struct.pack("<H", len(body)) + body

    def layout(self):
        return _native.RecordLayout.fixed(FIXED_SIZE) if self.fixed else _native.RecordLayout.prefixed()

    def buffer_written(self):
        self.written += self.buffered
        self.buffered = []
        self.buffered_bytes = 0

    def frame_records(self):
        return [b for _, bodies in self.frames for b in bodies]

    # ---- rules ---------------------------------------------------------------------------------

    @initialize(fixed=st.booleans(),
                user=st.lists(st.tuples(st.sampled_from(USER_KEYS), VALUES), max_size=3))
    def create(self, fixed, user):
        self.fixed = fixed
        schema = _native.Schema("model@1", [_native.FieldSpec("v", "u64", 0)], self.layout())
        self.c = Container.create(self.path, schema, "model", "hypothesis", user=user)
        for key, value in user:
            self.user[key] = value

    def append(self, body):
        self.c.append_record(body)
        self.buffered.append(body)
        self.buffered_bytes += len(self.raw(body))
        # The buffer goes to the file as soon as it reaches the threshold.
        if self.buffered_bytes >= FLUSH_THRESHOLD:
            self.buffer_written()

    @precondition(lambda self: self.fixed)
    @rule(body=st.binary(min_size=FIXED_SIZE, max_size=FIXED_SIZE))
    def append_fixed(self, body):
        self.append(body)

    @precondition(lambda self: not self.fixed)
    @rule(body=PREFIXED_BODIES)
    def append_prefixed(self, body):
        self.append(body)

    @rule(seed=st.integers(0, 255), count=st.integers(1, 4200))
    def append_burst(self, seed, count):
        # Enough records at once to cross the flush threshold in either layout.
        for i in range(count):
            n = FIXED_SIZE if self.fixed else (seed + i) % 40
            start = (seed + i) % 256
            self.append(PATTERN[start:start + n])

    @rule()
    def flush_data(self):
        self.c.flush_data()
        self.buffer_written()

    @rule()
    def flush_headers(self):
        self.c.flush_headers()

    def close(self, frame_id, level):
        self.buffer_written()
        if self.written:  # an empty tail closes nothing
            self.frames.append((frame_id, self.written))
            self.written = []
            self.level = str(level)

    @rule(frame_id=st.integers(0, 2**64 - 1), level=st.sampled_from(LEVELS))
    def close_frame(self, frame_id, level):
        self.c.close_frame(frame_id, level)
        self.close(frame_id, level)

    @rule(frame_id=st.integers(0, 2**64 - 1), level=st.sampled_from(LEVELS))
    def seal(self, frame_id, level):
        self.c.seal(frame_id, level)
        self.close(frame_id, level)
        self.sealed = True

    @rule(key=st.sampled_from(USER_KEYS), value=VALUES)
    def set_user_header(self, key, value):
        self.c.set_user_header(key, value)
        self.user[key] = value

    @rule()
    def drop_and_reopen(self):
        self.c = None  # reclaiming the object writes its buffer, nothing more
        self.buffer_written()
        self.c = Container.open_append(self.path)

    @rule()
    def reopen_read_only_and_compare(self):
        reader = Container.open_read(self.path)
        # Every header change was written through, so the zone on disk is the writer's.
        assert reader.headers() == self.c.headers()
        assert [(f.id, f.offset, f.len, f.hash) for f in reader.frames()] == \
            [(f.id, f.offset, f.len, f.hash) for f in self.c.frames()]
        # A read-only open counts only what the zone says: the records inside frames.
        assert reader.records() == len(self.frame_records())
        frames, tail = self.read_back(reader)
        assert frames == [bodies for _, bodies in self.frames]
        assert tail == self.written

    # ---- checks after every step ---------------------------------------------------------------

    def read_back(self, c):
        """The records of every frame (one list per frame), then those of the tail."""
        frames = []
        for i in range(len(c.frames())):
            records, torn = _native.split_records(c.read_frame_at(i), self.layout())
            assert torn == 0
            frames.append(list(records))
        records, torn = _native.split_records(c.read_tail(), self.layout())
        assert torn == 0
        return frames, list(records)

    @invariant()
    def agrees_with_model(self):
        if self.c is None:
            return
        c = self.c
        in_frames = self.frame_records()
        assert c.records() == len(in_frames) + len(self.written) + len(self.buffered)
        assert repr(c) == f"Container(records={c.records()}, frames={len(self.frames)})"

        frames = c.frames()
        assert [f.id for f in frames] == [frame_id for frame_id, _ in self.frames]
        offset = 0
        for f in frames:  # frames lie back to back from the data start
            assert f.offset == offset
            offset += f.len

        headers = c.headers()
        assert headers["_records"] == str(len(in_frames))
        assert headers["_bytes_raw"] == str(sum(len(self.raw(b)) for b in in_frames))
        assert len([e for e in headers["_frames"].split(";") if e]) == len(self.frames)
        assert headers["_sealed"] == ("true" if self.sealed else "false")
        assert headers["_compression_level"] == self.level
        assert headers["_compression"] == ("none" if self.level == "0" else "zstd")
        assert [(k, v) for k, v in headers.items() if not k.startswith("_")] == \
            list(self.user.items())

        # Buffered records are not in the tail until written.
        read_frames, tail = self.read_back(c)
        assert read_frames == [bodies for _, bodies in self.frames]
        assert tail == self.written


TestContainerModel = ContainerModel.TestCase
TestContainerModel.settings = settings(
    max_examples=30, stateful_step_count=30, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
