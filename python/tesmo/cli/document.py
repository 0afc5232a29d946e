"""The document check: what the streaming reader reads, watched on its way in."""

from __future__ import annotations

import signal
from collections.abc import Hashable, Iterable, Iterator
from contextlib import contextmanager
from typing import Any

import ijson

from tesmo.cli.errors import bad_count, is_count

NOT_SCALAR = object()


class CheckedCounts:
    """Stands between the streaming reader and a chain, refusing bad counts.

    A count that is not a finite positive number (a number too large for a
    float reads as inf) would make totals and weighted picks meaningless.
    """

    __slots__ = ("_chain", "_add", "_path")

    def __init__(self, chain: Any, path: str) -> None:
        self._chain = chain
        self._add = chain.add_to_bag
        self._path = path

    def clear(self) -> None:
        self._chain.clear()

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        if not is_count(count):
            raise bad_count(self._path, count)
        self._add(start, items, count)


class DocumentHead:
    """A binary reader that watches the start of a document as it is read.

    It parses the bytes on their way to the streaming reader up to the
    "chain" array, to learn what the code table holds, that the chain is
    there, and that the top level is an object. Like the streaming reader,
    it takes only a "codes" array before "chain" for the table. A literal
    entry is a pair whose key is its value. It raises nothing itself, so a
    malformed document fails in the streaming reader, with its message.
    """

    def __init__(self, file: Any) -> None:
        self.entries = 0
        self.literals = 0
        self.has_chain = False
        self.interrupted = False
        self.is_object: bool | None = None
        self.size = 0
        self._file = file
        self._watching = True
        self._events = ijson.sendable_list()
        self._parser = ijson.parse_coro(self._events)
        self._key: Any = NOT_SCALAR
        self._position = 0

    @property
    def compressed(self) -> bool:
        """A table with at least one pair makes the document a compressed one."""
        return self.entries > 0

    def read(self, size: int = -1) -> bytes:
        if self.interrupted:
            raise KeyboardInterrupt
        data = self._file.read(size)
        self.size += len(data)
        if data and self._watching:
            try:
                self._parser.send(data)
            except ijson.JSONError:
                self._watching = False
            self._watch()
        return data

    def _watch(self) -> None:
        for prefix, event, value in self._events:
            if self.is_object is None:
                self.is_object = event == "start_map"
            elif prefix == "chain" and event == "start_array":
                self.has_chain = True
                self._watching = False
                break
            elif prefix == "codes" and event == "start_array":
                self.entries = self.literals = self._position = 0
            elif prefix == "codes.item" and not event.startswith("end_"):
                self._table_element(NOT_SCALAR if event.startswith("start_") else value)
        del self._events[:]

    @contextmanager
    def interrupts_at_reads(self) -> Iterator[None]:
        """Hold Ctrl-C back until the reader next reads.

        The yajl2_cffi parser backend runs Python code in C callbacks, where
        an exception is printed and taken for a parse error; raised from
        ``read`` it reaches the caller as it should.
        """
        if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
            yield  # Ctrl-C is ignored or handled by someone else
            return

        def hold(signum: int, frame: Any) -> None:
            self.interrupted = True

        signal.signal(signal.SIGINT, hold)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        if self.interrupted:
            raise KeyboardInterrupt

    def problem(self) -> str | None:
        """What makes the document read so far no chain document, if anything."""
        if not self.is_object:
            return "not a JSON object"
        if not self.has_chain:
            return 'no "chain" array'
        return None

    def _table_element(self, element: Any) -> None:
        if self._position % 2 == 0:
            self._key = element
        else:
            self.entries += 1
            key = self._key
            if key is not NOT_SCALAR and type(key) is type(element) and key == element:
                self.literals += 1
        self._position += 1
