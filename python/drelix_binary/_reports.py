"""The reports of the maintenance functions, and how a low-level report pickles as one of them.

A module of their own, below everything that raises or pickles them, so that the error
translation can pickle a report without importing the maintenance functions."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from . import _native

__all__ = ["RebuildReport", "RepackReport", "ValidateReport", "report_reducer"]


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


def report_reducer(report: Any) -> tuple[Any, ...]:
    """Pickles a low-level report as the public report of the same fields."""
    if isinstance(report, _native.ValidateReport):
        return (ValidateReport, (report.problems, report.frames, report.records))
    if isinstance(report, _native.RebuildReport):
        return (RebuildReport, (report.differences, report.fixed))
    return (RepackReport, (report.bytes_before, report.bytes_after, report.frames))
