"""Rescue what a damaged file still holds into a new, sound file."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from . import _native


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

    @property
    def lost_anything(self) -> bool:
        return bool(self.lost_frames or self.torn_bytes)


def salvage(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    level: int = _native.HOT_LEVEL,
    progress: Callable[[int, int], None] | None = None,
) -> SalvageReport:
    """Copies every frame of `source` that still checks out (its bytes match the listed checksum,
    it decodes, and it holds whole records) and every whole record of its tail into a new file
    `target`, frame for frame, with the same schema and user headers, and seals it.

    The source is only read. `target` must not exist; it is removed again if the copy fails or is
    interrupted. A source whose preamble, header zone or frame list cannot be read at all raises
    the error that reading it gives, and nothing is created.
    """
    import drelix_binary as dx

    source, target = os.fspath(source), os.fspath(target)
    with dx.open(source) as reader:
        frames, torn_tail = reader.frames, reader.tail_torn_bytes
        writer = dx.create(
            target,
            reader.schema,
            source=reader.headers.get("_source", ""),
            user=reader.user_headers,
            header_area=reader.preamble.header_area,
            level=level,
            frame_bytes=None,  # one new frame per frame saved, closed by hand
        )
        try:
            with writer:
                copied, lost = _copy_frames(reader, writer, frames, progress)
                tail = _tail(source, reader.layout)
                writer.extend(tail)
                writer.seal()
        except BaseException:
            for leftover in (target, target + ".seal"):
                with contextlib.suppress(OSError):
                    os.remove(leftover)
            raise
    if progress is not None:
        progress(len(frames) + 1, len(frames) + 1)
    return SalvageReport(
        frames=len(copied),
        records=sum(copied) + len(tail),
        tail_records=len(tail),
        lost_frames=lost,
        torn_bytes=torn_tail,
    )


def _copy_frames(
    reader: Any,
    writer: Any,
    frames: list[Any],
    progress: Callable[[int, int], None] | None,
) -> tuple[list[int], list[LostFrame]]:
    """Copies each sound frame as one new frame; gives the record count of each frame copied
    and the frames left behind."""
    copied: list[int] = []
    lost: list[LostFrame] = []
    for done, frame in enumerate(frames, 1):
        try:
            content = reader.read_frame(frame.index)  # checks the listed checksum first
            bodies, torn = _native.split_records(content, reader.layout)
            if torn:
                raise _native.DrelixMalformedError(
                    f"{torn} torn bytes inside the frame"
                )
        except (_native.DrelixError, OSError) as exc:
            lost.append(LostFrame(frame.index, frame.id, _reason(exc)))
        else:
            if reader.layout.fixed_size is None:
                writer.write_bodies(bodies)
            else:
                writer.write(content)
            writer.close_frame()
            copied.append(len(bodies))
        if progress is not None:
            progress(done, len(frames) + 1)
    return copied, lost


def _tail(path: str, layout: _native.RecordLayout) -> list[bytes]:
    """Whole records of the tail (a torn record at its end is left out)."""
    tail = _native.Container.open_read(path).read_tail()
    return _native.split_records(tail, layout)[0]


def _reason(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
