"""The plain values the package hands back: a frame's description and the reports of the
maintenance functions. A module of their own, below everything that makes or pickles them."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import NamedTuple


class FrameEntry(NamedTuple):
    """One entry of a file's frame list: the id its writer gave it, its offset from the data
    start, its stored length, the listed XXH64 of its bytes (0: none)."""

    id: int
    offset: int
    length: int
    hash: int


@dataclass(frozen=True)
class FrameInfo:
    """One closed frame.

    ``index`` is its position in the file's frame list, ``id`` the id its writer gave it,
    ``offset`` its byte offset from the start of the data section, ``length`` its stored
    (compressed) size, ``hash`` the XXH64 of those bytes (0 when the list gives none),
    ``content_size`` the size of its records once decoded, length prefixes included (``None``
    when the frame does not declare it) and ``records`` the number of records in it (``None``
    until known, for length-prefixed records).
    """

    index: int
    id: int
    offset: int
    length: int
    hash: int
    content_size: int | None
    records: int | None

    @classmethod
    def of(
        cls, index: int, f: FrameEntry, content_size: int | None, records: int | None
    ) -> FrameInfo:
        return cls(index, f.id, f.offset, f.length, f.hash, content_size, records)


@dataclass(frozen=True)
class ValidateReport:
    """What ``validate`` found: ``problems`` (empty when the file is sound), the closed
    ``frames`` checked and the ``records`` seen in frames and tail."""

    problems: list[str]
    frames: int
    records: int

    @property
    def ok(self) -> bool:
        return not self.problems


@dataclass(frozen=True)
class RebuildReport:
    """What ``rebuild_headers`` found (``differences`` between the headers and the data) and
    whether it rewrote the zone (``fixed``)."""

    differences: list[str]
    fixed: bool


@dataclass(frozen=True)
class RepackReport:
    """What ``repack`` measured: file sizes before and after, frames re-encoded."""

    bytes_before: int
    bytes_after: int
    frames: int


@dataclass(frozen=True)
class LostFrame:
    """A frame ``salvage`` left behind, and why."""

    index: int
    id: int
    reason: str


@dataclass(frozen=True)
class SalvageReport:
    """What ``salvage`` copied and what it had to leave behind."""

    frames: int = 0  #: frames copied
    records: int = 0  #: records copied, frames and tail together
    tail_records: int = 0  #: of which from the uncompressed tail
    lost_frames: list[LostFrame] = field(default_factory=list)
    torn_bytes: int = 0  #: bytes of a torn record at the end of the tail, not copied
    #: bytes of the tail that begin a compressed frame the end of the file cuts short (what a
    #: cut left of a frame dropped from the list): no records, not copied
    cut_tail_bytes: int = 0

    @property
    def lost_anything(self) -> bool:
        return bool(self.lost_frames or self.torn_bytes or self.cut_tail_bytes)
