"""The parallel engine: bulk and multi-threaded reading, writing and maintenance.

``_engine`` sits beside ``_native`` and works on the same files. Unlike ``_native`` it
releases the interpreter lock around every file access, compression and decoding, spreads
bulk work over a small pool of threads, and its objects may be handed between threads (used
by one thread at a time, like a file object).

Errors: the very ``DrelixError`` classes ``_native`` exports, and real
``OSError`` subclasses carrying ``errno``, ``strerror`` and ``filename`` (a missing file is
``FileNotFoundError``). An allocation that fails is ``MemoryError``; no call ever aborts the
process.

Addresses: calls ending in ``_at`` or taking ``address``/``length`` read or write raw memory
the caller owns, as numpy's ``__array_interface__["data"][0]`` gives it. The caller keeps the
memory alive, unmoved and (for writes into it) unread by anyone else until the call returns;
nothing checks an address.

Frames are tuples ``(id, offset, length, hash)``, the offset counted from the data
start, ``hash`` the listed XXH64 of the stored bytes (0: not listed).
"""

import os
from collections.abc import Callable, Sequence
from typing import TypeAlias, final

from ._native import Preamble, Schema

_FrameTuple: TypeAlias = tuple[int, int, int, int]
_Progress: TypeAlias = Callable[[int, int], object]
_Path: TypeAlias = str | os.PathLike[str]

HOT_LEVEL: int
COLD_LEVEL: int
API_HEADER_AREA: int
DEFAULT_FRAME_BYTES: int
MAX_FRAME_BYTES: int
JOURNAL_SUFFIX: str
REPACK_SUFFIX: str

def thread_count() -> int:
    """Threads a call with ``threads=None`` uses: the processors this process may run on."""

@final
class Reader:
    """A file opened read-only. Nothing is ever written, nothing recovered, no lock taken.

    The file's preamble, zone and frame list are read at open (a pending seal journal applied
    in memory) and again by ``refresh``; every read goes through the descriptor opened then.
    Several threads may read through one Reader at the same time; ``close`` refuses new reads
    and waits for the running ones. Tail reads check that the file still holds the tail as
    taken; when a writer has since closed frames over it, the bytes are read from those
    frames. A change that cannot be followed (a rewritten frame list) raises
    ``DrelixMalformedError("{path}: the file changed since the reader opened it ...")``. Every read of a frame whose listed hash is not 0 checks it first:
    ``DrelixMalformedError("frame {id}: checksum mismatch, _frames says {:016x}, the bytes
    hash to {:016x}")``.
    """

    def __new__(
        cls,
        path: _Path,
        *,
        length: int | None = None,
        fetch: Callable[[int, int], bytes] | None = None,
    ) -> Reader:
        """Opens ``path``; or, with ``fetch``, takes an object of ``length`` bytes read by
        range through ``fetch(offset, size) -> bytes`` (called from the engine's threads with
        the interpreter lock taken; an exception it raises, or a result that is not bytes, is
        an ``OSError``), named ``path`` in messages. Raises ``FileNotFoundError``/``OSError``, ``DrelixMalformedError``
        for a file that does not open (bad preamble, zone, schema or frame list, a frame past
        the end of the file, or a list out of file order or listing the same bytes twice)."""
    @property
    def schema(self) -> Schema:
        """The file's schema, as a ``_native.Schema``."""
    @property
    def headers(self) -> dict[str, str]:
        """Every header, system and user, in zone order (a new dict each time)."""
    @property
    def preamble(self) -> Preamble:
        """The 16-byte preamble, as ``_native.peek_headers`` gives it."""
    @property
    def frames(self) -> list[_FrameTuple]:
        """The listed frames, in list order."""
    @property
    def data_start(self) -> int:
        """Offset of the data section: 16 + header_area."""
    @property
    def tail_start(self) -> int:
        """Offset where the tail begins."""
    @property
    def file_length(self) -> int:
        """The file's length when it was opened; the tail is what lies past the last frame."""
    @property
    def closed(self) -> bool: ...
    def tail_info(self) -> tuple[int, int, int]:
        """``(records, whole_bytes, torn_bytes)`` of the tail: its whole records, the bytes
        they occupy (on-disk form, prefixes included), and the trailing bytes of a record cut
        short. A fixed layout is computed from the length; a prefixed tail is read and walked
        (GIL released)."""
    def read_tail(self) -> bytes:
        """The tail's whole records, in on-disk form (a torn last record left out), checked."""
    def read_tail_at(self, offset: int, length: int) -> bytes:
        """``length`` bytes of the tail from ``offset`` (counted from the tail's start), GIL
        released, checked as above. ``DrelixUsageError`` past the tail as opened."""
    def read_tail_into(self, offset: int, address: int, length: int) -> None:
        """``read_tail_at`` into the ``length`` bytes of caller memory at ``address``."""
    def record_counts(self, index: int) -> tuple[int, int]:
        """``(whole records, torn bytes)`` of the frame at ``index``, decoded and checked."""
    def content_sizes(self) -> list[int | None]:
        """The content size of each frame: a raw (level 0) frame's length, or the size a zstd
        frame declares, read from its first bytes (a few bytes per frame, GIL released). None
        where a zstd frame declares no size."""
    def read_into(
        self,
        indices: Sequence[int],
        address: int,
        length: int,
        *,
        tail: bool = False,
        threads: int | None = None,
    ) -> int:
        """Decodes the frames ``indices`` (in that order, repeats allowed) back to back into
        the caller's ``length`` bytes at ``address``, then, with ``tail``, the tail's whole
        records; returns the bytes written. ``length`` must be exactly the sum of their
        content sizes (a frame that declares none decoded to measure it) plus, with ``tail``,
        ``tail_info()[1]``, else ``DrelixUsageError`` before anything is read. Frames are
        read, checked and decoded on up to ``threads`` threads (None: ``thread_count()``; 1:
        the calling thread alone) with the GIL released; memory beyond the output is one
        stored frame per thread. On an error the output holds partial data; the error is that
        of the first failing frame in order."""
    def read_frame(self, index: int) -> bytes:
        """The content of the frame at ``index`` in the list, checked and decoded (GIL
        released). ``DrelixUsageError`` "no frame at position {index}"."""
    def refresh(
        self,
    ) -> (
        tuple[
            bool,
            list[tuple[int, int, int, int]],
            list[int | None],
            dict[str, str],
            int,
            int,
        ]
        | None
    ):
        """Takes in what writers made visible since: None when the file holds the zone and
        length it was taken with; else (reopened, frames, content sizes, headers, tail_start,
        file_length). ``reopened``: the path names another file now (a repack) or the frame
        list no longer begins with the one known, and it was opened afresh; the frames are
        then all of them, else only the added ones."""
    def close(self) -> None:
        """Refuses new reads, waits (GIL released) for the running ones, then releases the
        file. Idempotent. Every other call then raises ``DrelixUsageError`` "reader is
        closed". ``RuntimeError`` when called from inside one of this reader's own reads."""
    def __enter__(self) -> Reader: ...
    def __exit__(self, *exc: object) -> None: ...

@final
class Writer:
    """A file open for appending, from ``Writer.create`` or ``Writer.open``.

    Usable from any thread, one call at a time: a call made while another is still running
    (in another thread, or re-entered) raises ``RuntimeError`` "writer is busy" and changes
    nothing. It belongs to the process that made it: in a forked child every call raises
    ``DrelixUsageError`` and its deallocation writes nothing. Appended records go into a 64 KiB buffer, then raw into the file's tail; frames
    are closed only when asked (``close_frame``, ``seal``, the bulk writes). Frame ids, when
    not given, continue after the largest id in the list (0 for the first frame).
    No lock is taken on the file.
    """

    @staticmethod
    def create(
        path: _Path,
        schema: Schema,
        *,
        source: str = "",
        writer: str = "",
        created_at_millis: int | None = None,
        user: Sequence[tuple[str, str]] | None = None,
        header_area: int = 262144,
        level: int = 3,
        index: Sequence[str] | None = None,
    ) -> Writer:
        """Creates a new file (never over an existing one: ``FileExistsError``) and syncs it
        and its directory. ``created_at_millis`` None means now. ``user`` headers in the order
        given. ``level`` is the default level of later closes and bulk writes. ``index``: the
        fields whose per-frame range every close records (``drelix_stats_<field>``). Raises
        ``DrelixUsageError`` for a bad zone size, zero record size, bad user key or a field
        that cannot be indexed (unknown, not numeric, or length-prefixed records),
        ``DrelixZoneFullError`` when the headers do not fit."""
    @staticmethod
    def open(path: _Path, *, index: Sequence[str] | None = None) -> Writer:
        """Opens an existing file for appending: replays a pending seal journal and cuts a
        torn record off the tail, as ``_native.Container.open_append`` does. The writer keeps
        the statistics of every field the file indexes and of ``index``; a key that does not
        list every frame (a field just added) is computed from the frames, decoded, first."""
    @property
    def schema(self) -> Schema: ...
    @property
    def headers(self) -> dict[str, str]: ...
    @property
    def frames(self) -> list[_FrameTuple]: ...
    @property
    def records(self) -> int:
        """Every record of the file: in frames, in the tail, and buffered."""
    @property
    def tail_records(self) -> int:
        """Records appended since the last frame close (tail and buffer)."""
    @property
    def tail_bytes(self) -> int:
        """Raw bytes of those records, on-disk form."""
    def append(self, record: bytes | bytearray) -> None:
        """Appends one record body (fixed: exactly the record size; prefixed: at most 65535
        bytes). Buffered; a buffer the record would fill is written first, GIL released.
        ``DrelixUsageError`` for a wrong size."""
    def append_at(self, address: int, length: int) -> None:
        """``append`` of the ``length`` bytes at ``address``."""
    def append_fixed_at(self, address: int, length: int) -> int:
        """Appends the ``length`` bytes of fixed records at ``address`` (``length`` a
        multiple of the record size) to the tail, GIL released; returns the count.
        ``DrelixUsageError`` under the prefixed layout or for a ragged length."""
    def check_frame_room(
        self, frames: int, *, next: bytes | None = None, level: int | None = None
    ) -> None:
        """Raises ``DrelixZoneFullError`` unless the header zone can list ``frames`` more
        frames closed at ``level`` (default: the writer's), each entry and the counters at
        their widest; while the file has no ``_preview``, with the one the next close would
        make of the tail, the buffer and ``next`` (records in on-disk form). Writes nothing.
        The bulk writes make the same check for all their frames before writing any."""
    def flush(self) -> None:
        """Writes the buffer to the file's tail (no sync)."""
    def sync(self) -> None:
        """flush, then fsync of the data file: every record appended so far survives a crash
        or power loss as part of the raw tail (a record being written at the moment of a
        crash may be cut, and a reopen drops that torn record). The tail has no checksum:
        ``sync`` makes records durable, not verified; a closed frame is both."""
    def close_frame(
        self, frame_id: int | None = None, level: int | None = None
    ) -> _FrameTuple | None:
        """Compresses the tail (buffer included) into one frame through the seal journal;
        returns the new frame, or None when there was nothing to close."""
    def seal(self, frame_id: int | None = None, level: int | None = None) -> None:
        """close_frame, then ``_sealed = "true"`` in the zone."""
    def content_sizes(self) -> list[int | None]:
        """Each listed frame's content size as its first bytes declare it."""
    def set_user_header(self, key: str, value: str) -> None:
        """Sets a user header and rewrites the zone (synced). ``DrelixUsageError`` for a
        ``drelix_stats_`` key: the writer's closes keep those."""
    def write_fixed_at(
        self,
        address: int,
        length: int,
        *,
        frame_records: int | None = None,
        frame_bytes: int | None = 67108864,
        level: int | None = None,
        threads: int | None = None,
    ) -> list[_FrameTuple]:
        """Bulk write of the contiguous fixed records in ``length`` bytes at
        ``address``: any raw tail (buffer included) is first closed into a frame, then the
        records are cut into frames of ``frame_records`` records and at most ``frame_bytes``
        raw bytes (whichever comes first; at least one record per frame; at least one of the
        two given), compressed in parallel on ``threads`` threads (None: all) with the GIL
        released, and spliced at the tail through the seal journal in batches of about 64 MiB
        of compressed frames (each batch crash-safe: after a crash the file holds every
        batch before it, whole). Returns the new frames (the tail's close first, if any).
        Bytes written to disk: about twice the compressed size."""
    def write_bodies(
        self,
        bodies: Sequence[bytes | bytearray],
        *,
        frame_records: int | None = None,
        frame_bytes: int | None = 67108864,
        level: int | None = None,
        threads: int | None = None,
    ) -> list[_FrameTuple]:
        """``write_fixed_at`` for the prefixed layout: each body becomes one record (at most
        65535 bytes). bytes are read in place; bytearray bodies are copied once first."""
    def close(self) -> None:
        """Flushes the buffer and releases the file; the tail stays raw (close it first with
        ``close_frame`` or ``seal`` if it should be a frame). Idempotent; later calls raise
        ``DrelixUsageError`` "writer is closed"."""

def validate(
    path: _Path,
    *,
    progress: _Progress | None = None,
    length: int | None = None,
    fetch: Callable[[int, int], bytes] | None = None,
    threads: int | None = None,
) -> tuple[list[str], int, int]:
    """``_native.validate`` with progress and cancellation, its frames checked on every core
    (``thread_count()``, two frames in flight per thread; the report is the one a single
    thread gives); returns ``(problems, frames, records)``, the fields of
    ``_native.ValidateReport``.

    The work runs on a thread of its own while the calling thread, every 50 ms, checks for
    signals and calls ``progress(frames_done, frames_total)`` when the count moved (so at most
    20 times a second, from the calling thread, and once more at the end). A KeyboardInterrupt,
    or any exception ``progress`` raises, stops the work at its next frame and is re-raised once
    it has stopped. The same errors as ``_native.validate``, OSError as in ``Reader``."""

def rebuild_headers(
    path: _Path, fix: bool = False, *, progress: _Progress | None = None
) -> tuple[list[str], bool]:
    """``_native.rebuild_headers`` returning ``(differences, fixed)``, with progress (frames
    found so far over the larger of that and the frames listed) and cancellation as in
    ``validate``. Frames are decoded on every processor; the differences and the fix are those
    of one thread. Stopped, it writes nothing."""

def repack(
    path: _Path,
    level: int = 19,
    header_area: int | None = None,
    *,
    progress: _Progress | None = None,
    threads: int | None = None,
) -> tuple[int, int, int]:
    """``_native.repack`` returning ``(bytes_before, bytes_after, frames)``, its frames
    re-encoded on ``threads`` threads (None: ``thread_count()``; the file is the same, byte
    for byte, whatever their number) with a few frames in memory per thread, with progress and
    cancellation as in ``validate``; a stop is also heard between 1 MiB slices of a frame being
    compressed, so a slow level stops promptly even on one large frame. Stopped, it leaves the
    original file untouched and no ``.repack`` file behind. A stop that comes only after the
    new file has replaced the old one (the last progress call) is still raised; the file is
    then the repacked one, whole."""

def survey(
    path: _Path,
) -> tuple[
    Schema, dict[str, str], int, list[_FrameTuple], list[str], int, int, int, bool
]:
    """Opens a possibly damaged file as it stands, as a ``Reader`` would not: its preamble,
    zone, schema and frame list must read (else the errors of ``Reader``), but frames may run
    past a cut end of the file or break the order rule. Returns ``(schema, headers,
    header_area, frames, faults, data_start, tail_start, tail_length, tail_cut)``: ``faults``
    holds one text per listed frame, empty when its bytes lie whole inside the file and no
    frame listed before it claims them, else why not; the tail lies past every listed frame;
    ``tail_cut`` says it begins with a zstd frame the end of the file cuts short (no records).
    GIL released."""

def read_listed_frame(path: _Path, data_start: int, frame: _FrameTuple) -> bytes:
    """The content of one listed ``frame`` of the file at ``path``: its stored bytes read,
    checked against the listed hash and decoded (GIL released). ``DrelixMalformedError`` when
    it does not lie inside the file or fails its checksum, the decoder's errors otherwise."""
