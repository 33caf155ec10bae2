"""The `drelix` command's entry point. It lives outside `drelix_binary` so that it runs before
the package loads.

Until a command's work begins (the interpreter loading the package, numpy and the command's
modules, the arguments being read) there is nothing to clean up, and an exception raised into
the import machinery can be swallowed ("Exception ignored in ...") and the signal lost. So
until then Ctrl-C and SIGTERM end the process at once, with the same line and status as an
interruption later on; the command installs handlers that unwind once its work begins.
"""

# Only built-in modules, and no annotations evaluated: `signal` itself loads enum, functools and
# more, whose loading a Ctrl-C could interrupt before the handlers below are in place.
import _signal  # type: ignore[import-not-found, unused-ignore]  # no stubs: the C half of signal
import os
import sys

INTERRUPTED, TERMINATED = 130, 143


def exit_at_once(signum: int, frame: object) -> None:
    terminated = signum == _signal.SIGTERM
    os.write(2, b"drelix: terminated\n" if terminated else b"drelix: interrupted\n")
    os._exit(TERMINATED if terminated else INTERRUPTED)


def exit_on_signals() -> None:
    """Ctrl-C and SIGTERM end the process at once (a signal the parent ignores stays ignored)."""
    for signum in (_signal.SIGINT, _signal.SIGTERM):
        if _signal.getsignal(signum) is not _signal.SIG_IGN:
            _signal.signal(signum, exit_at_once)


def main() -> int:
    try:
        exit_on_signals()
        from drelix_binary.cli import main as run

        return run()
    except KeyboardInterrupt:  # a Ctrl-C before the first line of this function ran
        print("drelix: interrupted", file=sys.stderr)
        return INTERRUPTED
