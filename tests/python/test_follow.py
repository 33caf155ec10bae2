"""Live reading against real writer processes: dx.follow, a Reader opened mid-way and
Reader.refresh while a writer appends, flushes, syncs and closes frames; a follower across a
killed writer, a torn record, a new writer, repack, rebuild and a seal; a crashed close's
journal read in memory."""

import hashlib
import os
import queue
import signal
import struct
import subprocess
import sys
import textwrap
import threading

import drelix_binary as dx
import pytest

SCHEMAS = {
    "fixed": dx.schema("seq@1", {"i": "u64", "x": "f64"}),
    "prefixed": dx.schema("ev@1", {"i": "u64"}, layout="prefixed"),
    "noise": dx.schema("noise@1", {"a": "u64", "b": "u64"}),  # zstd cannot shrink them
}
GUARD = 30  # seconds: only ever a hang guard, never a measure


def record(i, kind):
    """Record i: its index first, so a misplaced record shows (but for noise); prefixed ones of
    8 to 36 bytes."""
    if kind == "noise":
        return hashlib.blake2b(i.to_bytes(8, "little"), digest_size=16).digest()
    if kind == "fixed":
        return struct.pack("<Qd", i, i / 7)
    return struct.pack("<Q", i) + bytes([i % 251]) * (i % 29)


def records(start, stop, kind):
    return [record(i, kind) for i in range(start, stop)]


def torn(i, kind):
    """The first bytes of record i as a crash leaves them on disk."""
    body = record(i, kind)
    return body[:9] if kind == "fixed" else struct.pack("<H", len(body)) + body[:5]


def child(code, *args):
    """A Python process running `code` (which may import this module)."""
    env = {**os.environ, "PYTHONPATH": os.path.dirname(__file__)}
    argv = [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]
    return subprocess.Popen(argv, env=env)


def check_reader(r, n, kind):
    """Every read of `r` returns its `n` records exactly as written."""
    want, third = records(0, n, kind), slice(n // 3, n // 2)
    picks = (0, n // 2, n - 2, n - 1, -1)
    assert len(r) == n
    assert list(r) == want and r[:] == want and r[third] == want[third]
    assert [r[i] for i in picks] == [want[i] for i in picks]
    assert [bytes(x) for batch in r.iter_batches() for x in batch] == want
    if kind != "prefixed":
        assert r.to_numpy().tobytes() == b"".join(want)
        assert r.to_numpy(n // 2).tobytes() == b"".join(want[n // 2 :])


WRITER = """
    import random, sys, drelix_binary as dx
    from test_follow import record
    path, kind, n, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    with dx.open(path, "a") as w:
        i = 0
        while i < n:
            k = min(n - i, rng.randint(1, 400))
            w.extend(record(j, kind) for j in range(i, i + k))
            i += k
            rng.choice([w.flush, w.flush, w.flush, w.close_frame, w.close_frame, w.sync, int])()
        w.seal()
"""


@pytest.mark.parametrize("kind", ["fixed", "prefixed"])
def test_follow_a_reader_opened_mid_way_and_refresh_see_every_record_a_racing_writer_adds(tmp_path, kind):  # fmt: skip
    path, n = tmp_path / "race.drelix", 30_000
    dx.create(path, SCHEMAS[kind]).close()
    refreshed, mids, seen = dx.open(path), [], 0
    writer = child(WRITER, path, kind, n, 7)
    for rec in dx.follow(path, poll=0.001, timeout=GUARD):
        assert rec == record(seen, kind)
        seen += 1
        if seen % 1500 == 0:
            r = dx.open(path)
            mids.append((r, len(r)))
            # The readers opened earlier have seen frames closed over their tail since.
            for r, counted in mids[-3:]:
                check_reader(r, counted, kind)
            before = len(refreshed)
            added = refreshed.refresh()
            assert added >= 0 and len(refreshed) == before + added
            assert refreshed[before:] == records(before, before + added, kind)
    assert (seen, writer.wait(GUARD)) == (n, 0)
    for r, counted in mids:
        check_reader(r, counted, kind)
    refreshed.refresh()  # the seal is in: the writer has ended
    assert refreshed.sealed
    check_reader(refreshed, n, kind)
    assert refreshed.refresh() == 0 and len(refreshed) == n


class Follower:
    """dx.follow running in a thread of its own, its records handed over one by one."""

    END = object()

    def __init__(self, path, **options):
        self.got = queue.Queue()
        threading.Thread(target=self._run, args=(path, options), daemon=True).start()

    def _run(self, path, options):
        try:
            for rec in dx.follow(path, **options):
                self.got.put(rec)
            self.got.put(self.END)
        except BaseException as exc:  # noqa: BLE001 - raised in the test's thread
            self.got.put(exc)

    def next(self):
        item = self.got.get(timeout=GUARD)
        if isinstance(item, BaseException):
            raise item
        return item

    def take(self, start, stop, kind):
        assert [self.next() for _ in range(start, stop)] == records(start, stop, kind)


KILLED = """
    import os, signal, sys, drelix_binary as dx
    from test_follow import records
    path, kind = sys.argv[1], sys.argv[2]
    w = dx.open(path, "a")
    w.extend(records(0, 80, kind))
    w.close_frame()
    w.extend(records(80, 150, kind))
    w.flush()
    w.extend(records(150, 200, kind))  # appended, never written
    os.kill(os.getpid(), signal.SIGKILL)
"""


@pytest.mark.parametrize("kind", ["fixed", "prefixed"])
def test_a_follower_yields_every_whole_record_once_across_a_kill_a_torn_record_a_new_writer_repack_rebuild_and_seal(tmp_path, kind):  # fmt: skip
    path = tmp_path / "f.drelix"
    dx.create(path, SCHEMAS[kind]).close()
    # Its timeout ends the thread should a check fail; a seal ends it long before.
    f = Follower(path, poll=0.005, timeout=2 * GUARD)
    assert child(KILLED, path, kind).wait(GUARD) == -signal.SIGKILL
    f.take(0, 150, kind)
    with open(path, "ab") as raw:
        raw.write(torn(150, kind))
    # A quiet file: the follow ends on its timeout, the torn bytes never made a record.
    assert list(dx.follow(path, start=150, timeout=0.2)) == []
    assert list(dx.follow(path, start=-3, timeout=0.2)) == records(147, 150, kind)
    with dx.open(path, "a") as w:  # cuts the torn bytes off
        w.extend(records(150, 220, kind))
        w.flush()
        f.take(150, 200, kind)
        w.extend(records(220, 260, kind))
        w.close_frame()
        f.take(200, 260, kind)
        w.extend(records(260, 300, kind))
        w.flush()
    f.take(260, 280, kind)
    dx.repack(path)  # the rest are followed in the file renamed over the path
    f.take(280, 300, kind)
    with dx.open(path, "a") as w:
        w.extend(records(300, 350, kind))
    f.take(300, 320, kind)
    with open(path, "r+b") as raw:  # a count the data belies, for rebuild to fix
        zone = raw.read(1 << 18)
        raw.seek(zone.index(b"_records:350\n"))
        raw.write(b"_records:999\n")
    assert dx.rebuild_headers(path, fix=True).fixed
    f.take(320, 350, kind)
    with dx.open(path, "a") as w:
        w.extend(records(350, 400, kind))
        w.seal()
    f.take(350, 400, kind)
    assert f.next() is Follower.END  # the seal ends it
    for start, first in ((-5, 395), (-1000, 0), (398, 398), (400, 400), (0, 0)):
        got = list(dx.follow(path, start=start, timeout=GUARD))
        assert got == records(first, 400, kind), start
    batches = list(dx.follow_batches(path, start=-70_000, timeout=GUARD))
    got = [bytes(r) if kind == "fixed" else r for b in batches for r in b]
    assert got == records(0, 400, kind) and len(batches) == len(dx.open(path).frames)


CLOSE_KILLED = """
    import os, resource, shutil, signal, sys, drelix_binary as dx
    from test_follow import records
    path = sys.argv[1]
    w = dx.open(path, "a")
    w.extend(records(100, 200, "noise"))
    w.flush()
    shutil.copyfile(path, path + ".before")
    # The frame is a little longer than the (incompressible) tail it replaces, and the journal
    # shorter than the file: the close writes its journal whole, then dies splicing the frame in.
    size = os.path.getsize(path)
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    w.close_frame()
"""


def test_a_reader_reads_a_crashed_close_from_its_journal_and_leaves_both_files_alone(tmp_path):  # fmt: skip
    path, journal = tmp_path / "j.drelix", tmp_path / "j.drelix.seal"
    with dx.create(path, SCHEMAS["noise"], level=1, header_area=4096) as w:
        w.extend(records(0, 100, "noise"))
    assert child(CLOSE_KILLED, path).wait(GUARD) == -signal.SIGXFSZ
    assert journal.exists()
    want = records(0, 200, "noise")
    before = (tmp_path / "j.drelix.before").read_bytes()
    for state in ("splice cut short", "not yet spliced"):
        if state == "not yet spliced":
            path.write_bytes(before)
        on_disk = path.read_bytes(), journal.read_bytes()
        with dx.open(path) as r:
            assert (len(r.frames), r.tail_records, r.sealed) == (2, 0, False)
            check_reader(r, 200, "noise")
        assert list(dx.follow(path, timeout=0.1)) == want
        assert (path.read_bytes(), journal.read_bytes()) == on_disk, state


@pytest.mark.parametrize("kind", ["fixed", "prefixed"])
def test_a_follower_reading_a_long_tail_that_a_close_and_seal_move_yields_it_all(tmp_path, kind):
    """The follower is between two batches of the tail when the writer closes it into a frame,
    appends and seals: it must go on in the new frames, not end at the seal."""
    path = tmp_path / "f.drelix"
    w = dx.create(path, SCHEMAS[kind], frame_records=None, frame_bytes=None)
    w.extend(records(0, 70_000, kind))
    w.flush()
    follower = dx.follow(path, poll=0, timeout=GUARD)
    first = [next(follower) for _ in range(65_536)]  # the first batch of the tail
    w.extend(records(70_000, 70_100, kind))
    w.seal()
    w.close()
    assert first + list(follower) == records(0, 70_100, kind)
