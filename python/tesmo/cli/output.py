"""What a command prints on stdout: generated text, a report."""

from __future__ import annotations

import sys

from tesmo.cli.errors import os_error
from tesmo.streams import STDIO


def emit(line: str) -> None:
    """Print one line of a command's product on stdout.

    A write that fails (a full disk, a closed descriptor) is the command's
    failure; a reader that went away (``BrokenPipeError``) ends it quietly.
    """
    try:
        try:
            print(line, file=sys.stdout)
        except UnicodeEncodeError:
            # A lone surrogate, or a terminal that cannot show a character.
            encoding = sys.stdout.encoding or "utf-8"
            print(line.encode(encoding, "backslashreplace").decode(encoding), file=sys.stdout)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise os_error("write", STDIO, exc) from exc


def flush_stdout() -> None:
    """Write out what stdout still buffers, as part of the command."""
    if sys.stdout is None:
        return
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise os_error("write", STDIO, exc) from exc
