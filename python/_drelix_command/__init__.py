"""The `drelix` command's entry point. It lives outside `drelix_binary` so that it runs before
the package loads: a Ctrl-C while the package and numpy load then ends the command the way any
other interruption does (one line, status 130), not with a traceback."""

from __future__ import annotations

import sys

INTERRUPTED = 130


def main() -> int:
    try:
        from drelix_binary.cli import main as run

        return run()  # which installs handlers of its own first thing
    except KeyboardInterrupt:
        print("drelix: interrupted", file=sys.stderr)
        return INTERRUPTED
