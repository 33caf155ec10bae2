"""Rescue what a damaged file still holds into a new, sound file."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from . import _engine, _native
from ._errors import translate_errors
from ._writer import create


@dataclass(frozen=True)
class LostFrame:
    """A frame left behind, and why."""

    index: int
    id: int
    reason: str


@dataclass(frozen=True)
class SalvageReport:
    """What `salvage` copied and what it had to leave behind."""

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


class _Survey(NamedTuple):
    """What ``_engine.survey`` found in the source."""

    schema: _native.Schema
    headers: dict[str, str]
    header_area: int
    frames: list[tuple[int, int, int, int]]
    #: one per frame: "" when it may be read, else why it is left behind
    faults: list[str]
    data_start: int
    tail_start: int
    tail_length: int
    tail_cut: bool


def salvage(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    level: int = _native.HOT_LEVEL,
    progress: Callable[[int, int], None] | None = None,
) -> SalvageReport:
    """Copies every frame of `source` that still checks out (it lies whole inside the file and
    no frame listed before it claims its bytes, its bytes match the listed checksum, it decodes,
    and it holds whole records) in file order, and every whole record of its tail, into a new
    file `target`, frame for frame, with the same schema and user headers, and seals it. A file
    cut short (an interrupted copy) gives up the frames the cut reached; a tail that begins with
    a cut frame gives up nothing.

    The source is only read. `target` must not exist (``FileExistsError``). The new file is
    built under a temporary name beside `target` and appears under `target` only once it is
    complete, sealed and synced; a failure or interruption removes it. A source whose preamble,
    header zone or frame list cannot be read at all raises the error that reading it gives, and
    nothing is created.
    """
    source, target = os.fspath(source), os.fspath(target)
    with translate_errors(source):
        found = _Survey(*_engine.survey(source))
    if os.path.lexists(target):
        raise FileExistsError(17, "File exists", target)
    temporary = _temporary_beside(target)
    try:
        report = _copy(source, found, temporary, level, progress)
        _publish(temporary, target)
    except BaseException:
        for leftover in (temporary, temporary + ".seal"):
            with contextlib.suppress(OSError):
                os.remove(leftover)
        raise
    if progress is not None:
        progress(len(found.frames) + 1, len(found.frames) + 1)
    return report


def _copy(
    source: str,
    found: _Survey,
    temporary: str,
    level: int,
    progress: Callable[[int, int], None] | None,
) -> SalvageReport:
    """Writes the new file under `temporary`: the sound frames, the tail, the seal."""
    writer = create(
        temporary,
        found.schema,
        source=found.headers.get("_source", ""),
        user={k: v for k, v in found.headers.items() if not k.startswith("_")},
        header_area=found.header_area,
        level=level,
        frame_bytes=None,  # one new frame per frame saved, closed by hand
    )
    with writer:
        copied, lost = _copy_frames(source, found, writer, progress)
        tail, torn = _tail(source, found)
        writer.extend(tail)
        writer.seal()
    return SalvageReport(
        frames=len(copied),
        records=sum(copied) + len(tail),
        tail_records=len(tail),
        lost_frames=lost,
        torn_bytes=torn,
        cut_tail_bytes=found.tail_length if found.tail_cut else 0,
    )


def _copy_frames(
    source: str,
    found: _Survey,
    writer: Any,
    progress: Callable[[int, int], None] | None,
) -> tuple[list[int], list[LostFrame]]:
    """Copies each sound frame, in file order, as one new frame; gives the record count of each
    frame copied and the frames left behind (in list order)."""
    layout = found.schema.layout
    copied: list[int] = []
    lost: list[LostFrame] = []
    in_file_order = sorted(range(len(found.frames)), key=lambda i: found.frames[i][1])
    for done, index in enumerate(in_file_order, 1):
        frame = found.frames[index]
        try:
            if found.faults[index]:
                raise _native.DrelixMalformedError(found.faults[index])
            with translate_errors(source):  # checks the listed checksum first
                content = _engine.read_listed_frame(source, found.data_start, frame)
            bodies, torn = _native.split_records(content, layout)
            if torn:
                raise _native.DrelixMalformedError(
                    f"{torn} torn bytes inside the frame"
                )
        except (_native.DrelixError, OSError) as exc:
            lost.append(LostFrame(index, frame[0], _reason(exc)))
        else:
            if layout.fixed_size is None:
                writer.write_bodies(bodies)
            else:
                writer.write(content)
            writer.close_frame()
            copied.append(len(bodies))
        if progress is not None:
            progress(done, len(found.frames) + 1)
    return copied, sorted(lost, key=lambda f: f.index)


def _tail(source: str, found: _Survey) -> tuple[list[bytes], int]:
    """Whole records of the tail and the bytes of a torn record at its end; nothing when it
    begins with a cut frame."""
    if found.tail_cut or found.tail_length == 0:
        return [], 0
    with open(source, "rb") as f:
        f.seek(found.tail_start)
        data = f.read(found.tail_length)
    return _native.split_records(data, found.schema.layout)


def _temporary_beside(target: str) -> str:
    """A fresh hidden name in `target`'s directory (created exclusively by the writer)."""
    head, name = os.path.split(target)
    return os.path.join(head, f".{name}.{secrets.token_hex(8)}.salvage")


def _publish(temporary: str, target: str) -> None:
    """Gives the finished file at `temporary` the name `target`, never replacing a file (or a
    link) already there, and makes the new name durable."""
    fd = os.open(temporary, os.O_RDONLY | os.O_NOFOLLOW)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.link(temporary, target, follow_symlinks=False)
    os.unlink(temporary)
    directory = os.open(os.path.dirname(target) or ".", os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def _reason(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
