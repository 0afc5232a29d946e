"""Ctrl-C and SIGTERM while a command runs.

The first of them unwinds the command (``KeyboardInterrupt``, or
:class:`Terminated` for SIGTERM) and holds both back from then on, so that
reporting it and cleaning up cannot be cut short by a second one. Once a
command's outcome is settled (its output renamed over the target), they are
held back for good: a signal that comes later no longer changes what the
command does, says or returns.
"""

from __future__ import annotations

import signal
from typing import Any

from tesmo.cli.errors import Terminated

HELD = {signal.SIGINT, signal.SIGTERM}


def hold() -> None:
    """Hold Ctrl-C and SIGTERM back until :meth:`Handlers.restore`."""
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_BLOCK, HELD)


def _interrupted(signum: int, frame: Any) -> None:
    hold()
    raise KeyboardInterrupt


def _terminated(signum: int, frame: Any) -> None:
    hold()
    raise Terminated


def is_ours(handler: Any) -> bool:
    return handler is _interrupted or handler is _terminated


class Handlers:
    """The command's handlers of Ctrl-C and SIGTERM, and what they replaced."""

    def __init__(self) -> None:
        self._previous: dict[int, Any] = {}
        self._mask: set[int] | None = None

    def install(self) -> None:
        """Handle SIGTERM, and Ctrl-C unless it is ignored or handled by someone else.

        Outside the main thread nothing is installed.
        """
        if hasattr(signal, "pthread_sigmask"):
            self._mask = set(signal.pthread_sigmask(signal.SIG_BLOCK, set()))
        try:
            self._previous[signal.SIGTERM] = signal.getsignal(signal.SIGTERM)
            signal.signal(signal.SIGTERM, _terminated)
        except ValueError:
            self._previous.clear()
            return
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self._previous[signal.SIGINT] = signal.default_int_handler
            signal.signal(signal.SIGINT, _interrupted)

    def restore(self) -> None:
        """Put the previous handlers back, dropping what was held, and release the signals.

        Called with the signals held: a signal held back now came after the
        command's outcome was settled.
        """
        hold()
        for signum, handler in self._previous.items():
            # Ignoring a pending signal discards it.
            if signum not in (self._mask or ()):
                signal.signal(signum, signal.SIG_IGN)
            signal.signal(signum, handler)
        self._previous.clear()
        if self._mask is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self._mask)
