"""Running a command: the one place that turns its failures into a line and a status."""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Sequence
from typing import Any

from tesmo.cli.errors import PROG, CommandError, Terminated
from tesmo.cli.parser import build_parser
from tesmo.cli.progress import Options


def _terminated(signum: int, frame: Any) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 2
    try:
        previous = signal.signal(signal.SIGTERM, _terminated)
    except ValueError:  # not the main thread: leave SIGTERM alone
        previous = None
    try:
        return args.run(args, Options(args))
    except CommandError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        # The reader of stdout went away (``tesmo generate ... | head``); point
        # stdout at devnull so that flushing it at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
