"""The writer's defaults and limits, in a module of their own so that the package can name
them without loading numpy (the command line installs its signal handlers first)."""

from __future__ import annotations

DEFAULT_HEADER_AREA = 262144  # room for about 4,000 frames
DEFAULT_FRAME_BYTES = 64 << 20
MAX_FRAME_BYTES = 1 << 30  # well below the 4 GiB a reader accepts
