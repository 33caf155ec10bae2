"""Rescue what a damaged file still holds into a new, sound file."""

from __future__ import annotations

import errno
import os
from collections.abc import Callable

from . import _backend, _native
from ._backend import Survey
from ._defaults import HOT_LEVEL
from ._publish import publishing
from ._types import LostFrame, SalvageReport
from ._writer import Writer, create

__all__ = ["LostFrame", "SalvageReport", "salvage"]

Progress = Callable[[int, int], None]


def salvage(
    source: str | os.PathLike[str],
    target: str | os.PathLike[str],
    *,
    level: int = HOT_LEVEL,
    progress: Progress | None = None,
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
    found = _backend.survey(source)
    if os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), target)
    with publishing(target) as temporary:
        report = _copy(source, found, temporary, level, progress)
    if progress is not None:
        progress(len(found.frames) + 1, len(found.frames) + 1)
    return report


def _copy(
    source: str,
    found: Survey,
    temporary: str,
    level: int,
    progress: Progress | None,
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
    found: Survey,
    writer: Writer,
    progress: Progress | None,
) -> tuple[list[int], list[LostFrame]]:
    """Copies each sound frame, in file order, as one new frame; gives the record count of each
    frame copied and the frames left behind (in list order)."""
    layout = found.schema.layout
    copied: list[int] = []
    lost: list[LostFrame] = []
    in_file_order = sorted(range(len(found.frames)), key=lambda i: found.frames[i].offset)
    for done, index in enumerate(in_file_order, 1):
        try:
            if found.faults[index]:
                raise _native.DrelixMalformedError(found.faults[index])
            content = _backend.read_listed_frame(source, found, index)
            bodies, torn = _native.split_records(content, layout)
            if torn:
                raise _native.DrelixMalformedError(
                    f"{torn} torn bytes inside the frame"
                )
        except (_native.DrelixError, OSError) as exc:
            lost.append(LostFrame(index, found.frames[index].id, _reason(exc)))
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


def _tail(source: str, found: Survey) -> tuple[list[bytes], int]:
    """Whole records of the tail and the bytes of a torn record at its end; nothing when it
    begins with a cut frame."""
    if found.tail_cut or found.tail_length == 0:
        return [], 0
    data = _backend.read_surveyed_tail(source, found)
    return _native.split_records(data, found.schema.layout)


def _reason(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
