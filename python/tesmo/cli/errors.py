"""The command line's errors and how a file's name shows in their text."""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import ijson

from tesmo.streams import STDIO, CompressionUnavailable

PROG = "tesmo"

# What a reader raises on a document it cannot make sense of: the parsers'
# syntax errors, a key missing from the code table or a missing member, an
# unhashable table key, a count that cannot be added, bytes that are no text,
# a compressed stream cut short.
DOCUMENT_ERRORS = (ijson.JSONError, ValueError, KeyError, TypeError, ArithmeticError, RecursionError, EOFError)


class CommandError(Exception):
    """A failure to report as one line on stderr, with exit status 2."""


def first_line(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and exc.args:
        return f"missing key {exc.args[0]!r}"
    text = exc.args[0] if len(exc.args) == 1 and isinstance(exc.args[0], bytes) else exc
    if isinstance(text, bytes):
        # Some parser backends give their message as bytes.
        text = text.decode("utf-8", "replace")
    lines = str(text).strip().splitlines()
    return lines[0].strip() if lines else type(exc).__name__


def os_error(verb: str, path: str, exc: OSError) -> CommandError:
    reason = exc.strerror or first_line(exc)
    if verb == "write" and path == STDIO:
        abandon_stdout()
        return CommandError(f"write error: {reason}")
    return CommandError(f"cannot {verb} {shown(path, verb == 'write')}: {reason}")


def say(text: str) -> None:
    """A line on stderr, unless stderr is closed (``print`` would take stdout then)."""
    if sys.stderr is not None:
        try:
            print(text, file=sys.stderr, flush=True)
        except (OSError, ValueError):
            pass  # nowhere left to tell


def abandon_stdout() -> None:
    """Point stdout at the null device after a write to it failed.

    What is still buffered would otherwise fail again when Python flushes
    stdout at exit, and be printed as an ignored exception.
    """
    try:
        fd = os.open(os.devnull, os.O_WRONLY)
        os.dup2(fd, 1)
        os.close(fd)
    except OSError:
        pass


def shown(path: str, output: bool = False) -> str:
    if path != STDIO:
        return path
    return "stdout" if output else "stdin"


@contextmanager
def reading(path: str) -> Iterator[None]:
    """Turn the errors of reading ``path`` as a chain document into CommandError."""
    try:
        yield
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except OSError as exc:
        raise os_error("read", path, exc) from exc
    except DOCUMENT_ERRORS as exc:
        raise CommandError(f"{shown(path)} is not a valid chain document ({document_reason(exc)})") from exc


def document_reason(exc: BaseException) -> str:
    """Why a reader refused a document, in one line."""
    reason = first_line(exc)
    if isinstance(exc, ValueError) and reason.startswith("Exceeds the limit ("):
        # Python's own limit on the digits of an int, without its advice to programmers
        reason = reason.split(";")[0]
    return reason


def is_count(count: Any) -> bool:
    # true counts as the 1 it adds, as the chain itself takes it
    return isinstance(count, (int, float)) and 0 < count < math.inf


def bad_count(path: str, count: Any) -> CommandError:
    return CommandError(
        f"{shown(path)} is not a valid chain document (a count is not a finite positive number: {count!r})"
    )


class Terminated(BaseException):
    """SIGTERM, raised so that a write in progress unwinds as for Ctrl-C."""
