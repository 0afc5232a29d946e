"""What a command checks before it starts its work."""

from __future__ import annotations

import argparse
import errno
import os
import sys

from tesmo.cli.errors import CommandError
from tesmo.streams import STDIO

_CLOSED = os.strerror(errno.EBADF)


def preflight(args: argparse.Namespace) -> None:
    """Refuse to start a command that could not read its inputs or write its output."""
    inputs = args.inputs_of(args)
    output = args.output_of(args)
    if STDIO in inputs and sys.stdin is None:
        raise CommandError(f"cannot read stdin: {_CLOSED}")
    if output == STDIO and sys.stdout is None:
        raise CommandError(f"write error: {_CLOSED}")
