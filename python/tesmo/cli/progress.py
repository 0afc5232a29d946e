"""Progress bars on stderr, and what every command is given besides its arguments."""

from __future__ import annotations

import argparse
import shutil
import signal
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO

from tqdm import tqdm

from tesmo.cli.errors import say

# Inputs smaller than this, and writes of fewer choices, go by too fast for a
# progress bar to help.
PROGRESS_THRESHOLD = 4 * 1024 * 1024
CHOICES_THRESHOLD = 200_000


@contextmanager
def signals_held() -> Iterator[None]:
    """Hold Ctrl-C and SIGTERM back while a bar is drawn or removed.

    A signal that lands inside tqdm's constructor, after it has drawn the bar
    but before the bar is ours to remove, would leave the bar on the screen;
    held, it is handled once the block is done.
    """
    held = {signal.SIGINT, signal.SIGTERM}
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class _Tqdm(tqdm):  # type: ignore[type-arg]
    # tqdm's monitor is a thread that lives as long as the process; a
    # process that forks later (the --jobs workers, a caller's own pool)
    # should not have it.
    monitor_interval = 0


class Bar:
    """One progress bar on stderr, made when it is first worth showing.

    ``show`` is "never", "always", or "auto": only on a terminal, and only
    once the total or the progress passes ``threshold``. The bar is removed
    when closed, also after a failure or Ctrl-C.
    """

    def __init__(self, show: str, total: int | None, unit: str, desc: str, threshold: int) -> None:
        self.total = total
        self.smoothing = 0.3  # tqdm's own: the speed of the last updates more than of the whole run
        self._show = show
        self._unit = unit
        self._desc = desc
        self._threshold = threshold
        self._seen = 0
        self._bar: tqdm | None = None
        if show == "auto" and not _on_terminal():
            self._show = "never"

    @property
    def wanted(self) -> bool:
        """Whether the bar may ever show, so that counting for it is worth it."""
        return self._show != "never"

    def describe(self, desc: str) -> None:
        self._desc = desc
        if self._bar is not None:
            self._bar.set_description_str(desc)

    def update(self, size: int) -> None:
        self._seen += size
        if self._bar is not None:
            self._bar.update(size)
        elif self._show == "always" or (self._show == "auto" and max(self._seen, self.total or 0) > self._threshold):
            with signals_held():
                self._bar = _Tqdm(
                    total=self.total,
                    initial=self._seen,
                    desc=self._desc,
                    unit=self._unit,
                    unit_scale=True,
                    file=sys.stderr,
                    leave=False,
                    ncols=_width(),
                    smoothing=self.smoothing,
                )

    def close(self) -> None:
        if self._bar is not None:
            with signals_held():
                self._bar.close()
                self._bar = None
                if _on_terminal():
                    # Also what the terminal echoed after the bar (a "^C").
                    sys.stderr.write("\r\x1b[K")
                    sys.stderr.flush()


def _on_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except ValueError:
        return False


def _width() -> int | None:
    """A bar's width on a terminal: short of the last columns, where a "^C" echo would wrap the line."""
    if not _on_terminal():
        return None
    return max(20, shutil.get_terminal_size().columns - 4)


class ChoiceCounter:
    """A text file that moves a bar on by one for every choice the streaming writer writes.

    The writer writes each count as a piece of its own, and only those pieces
    begin with a comma.
    """

    def __init__(self, file: IO[str], bar: Bar) -> None:
        self._write = file.write
        self._bar = bar

    def write(self, text: str) -> int:
        if text.startswith(","):
            self._bar.update(1)
        return self._write(text)


class Options:
    """What every command is given besides its own arguments."""

    def __init__(self, args: argparse.Namespace) -> None:
        # Absent unless given, before or after the command's name.
        self.quiet = getattr(args, "quiet", False)
        self.show = "never" if self.quiet else "always" if getattr(args, "progress", False) else "auto"

    def say(self, text: str) -> None:
        """A message for the user; ``-q`` silences it."""
        if not self.quiet:
            say(text)

    def bar(self, total: int | None, unit: str, desc: str, threshold: int | None = None) -> Bar:
        return Bar(self.show, total, unit, desc, PROGRESS_THRESHOLD if threshold is None else threshold)
