"""The writer's defaults and limits and the names of the files beside a drelix file, as the
extension states them. A module of its own so that the package can name them without loading
numpy (the command line installs its signal handlers first)."""

from __future__ import annotations

from . import _native
from ._load import load_engine

_engine = load_engine()

DEFAULT_HEADER_AREA: int = _engine.API_HEADER_AREA  # room for about 4,000 frames
DEFAULT_FRAME_BYTES: int = _engine.DEFAULT_FRAME_BYTES
MAX_FRAME_BYTES: int = _engine.MAX_FRAME_BYTES  # well below the 4 GiB a reader accepts
HOT_LEVEL: int = _engine.HOT_LEVEL
COLD_LEVEL: int = _engine.COLD_LEVEL
JOURNAL_SUFFIX: str = _engine.JOURNAL_SUFFIX  # the seal journal beside a file
REPACK_SUFFIX: str = _engine.REPACK_SUFFIX  # the new file a repack builds beside it
EXTENSION: str = _native.EXTENSION  # a drelix file's name ends in "." + EXTENSION
