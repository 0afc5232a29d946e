"""Running a command: the one place that turns its failures into a line and a status."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from tesmo.cli import signals
from tesmo.cli.errors import PROG, CommandError, Terminated, abandon_stdout, say
from tesmo.cli.output import flush_stdout
from tesmo.cli.parser import parse
from tesmo.cli.preflight import preflight
from tesmo.cli.progress import Options


def _fail(message: str, status: int) -> int:
    say(f"{PROG}: {message}")
    return status


def _run(args: argparse.Namespace, opts: Options) -> int:
    try:
        preflight(args)
        status: int = args.run(args, opts)
        flush_stdout()
        return status
    except CommandError as exc:
        return _fail(f"error: {exc}", 2)
    except MemoryError:
        return _fail("error: out of memory", 2)
    except BrokenPipeError:
        # The reader of stdout went away (``tesmo generate ... | head``): the
        # output was wanted no further, which is no error to report.
        abandon_stdout()
        return 1


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    try:
        args = parse(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 2
    opts = Options(args)
    handlers = signals.Handlers()
    # The handlers hold both signals back before they raise, and the command
    # holds them back once it is done, so that only one can land, and only
    # where it is caught here.
    try:
        try:
            handlers.install()
            status = _run(args, opts)
        finally:
            signals.hold()
    except KeyboardInterrupt:
        status = _fail("interrupted", 130)
    except Terminated:
        status = _fail("terminated", 143)
    finally:
        handlers.restore()
    if sys.stdout is not None and not sys.stdout.closed:
        try:
            sys.stdout.flush()
        except OSError:
            abandon_stdout()
    return status
