"""``tesmo inspect``: describe a document without keeping its chain."""

from __future__ import annotations

import argparse
from collections import deque
from collections.abc import Hashable, Iterable
from typing import Any

from tesmo.cli.errors import bad_count, is_count, shown
from tesmo.cli.models import kind, load_models
from tesmo.cli.output import emit
from tesmo.cli.progress import Options
from tesmo.cli.scanner import NOT_SCALAR
from tesmo.streams import input_size


class Census:
    """A stand-in chain for the streaming reader that counts and keeps nothing.

    Consecutive choices with the same start belong to one entry of the
    document, so entries are counted where the start changes. The order is
    the length of the starts: an array start (a list as the reader hands it
    over, or a tuple) has its length, any other start counts as 1.
    """

    def __init__(self, path: str) -> None:
        self._path = path
        self.clear()

    def clear(self) -> None:
        """Start counting afresh."""
        self.starts = 0
        self.choices = 0
        self.total: Any = 0
        self.orders: set[int] = set()
        self._last: Any = NOT_SCALAR

    def order(self) -> str:
        """The order as a reader wants to see it."""
        if not self.orders:
            return "none (no starts)"
        if len(self.orders) == 1:
            return str(*self.orders)
        return f"mixed (starts of {min(self.orders)} to {max(self.orders)} tokens)"

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        """Count one choice; ``items`` is drained, as a lazy iterator must be."""
        if not is_count(count):
            raise bad_count(self._path, count)
        deque(items, maxlen=0)
        if type(start) is not type(self._last) or start != self._last:
            self.starts += 1
            self._last = start
            self.orders.add(len(start) if isinstance(start, (list, tuple)) else 1)
        self.choices += 1
        self.total += count


def cmd_inspect(args: argparse.Namespace, opts: Options) -> int:
    """Print what a document holds, without keeping the chain."""
    census = Census(args.model)
    head = load_models([args.model], census, opts, check=False)[0]
    total = census.total
    rows = [
        ("document", shown(args.model)),
        ("kind", kind(head.coded)),
        ("order", census.order()),
        ("table entries", f"{head.entries:,}"),
        ("literal entries", f"{head.literals:,}"),
        ("starts", f"{census.starts:,}"),
        ("transitions", f"{census.choices:,}"),
        ("total count", f"{total:,}" if isinstance(total, int) else repr(total)),
        ("file size", f"{input_size(args.model) or head.size:,} bytes"),
    ]
    for name, value in rows:
        emit(f"{name + ':':<17}{value}")
    return 0
