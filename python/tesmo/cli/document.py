"""The document check: what the streaming reader reads, watched on its way in.

The check scans the bytes itself, up to the start of the "chain" array, with
no parser between: a parser's events carry a prefix that grows with the
nesting (a few thousand nested arrays cost gigabytes), and one parser backend
crashes on a number of thousands of digits. The scanner holds a depth and at
most the two scalars of one table pair, so its memory is bounded by the
document's size; it never raises on malformed input, but stops watching and
leaves the error to the reader, with its message.
"""

from __future__ import annotations

import json
import re
import signal
from collections.abc import Hashable, Iterable, Iterator
from contextlib import contextmanager
from decimal import Decimal, InvalidOperation
from typing import Any

from tesmo.cli import signals
from tesmo.cli.errors import bad_count, is_count

NOT_SCALAR = object()

_SPACE = re.compile(rb"[ \t\r\n]*")
_STRING_STOP = re.compile(rb'["\\]')
_BARE = re.compile(rb'[^ \t\r\n\[\]{}:,"]*')
_SKIP_STOP = re.compile(rb'[\[\]{}"]')
_INTEGER = re.compile(rb"-?(?:0|[1-9][0-9]*)")
# Only "codes" and "chain" matter among the members' names; a longer name
# (its escapes included) is neither, and is not kept.
_NAME_LIMIT = 64


class ChainFirst(Exception):
    """The "chain" array comes before any "codes" member.

    The streaming reader decodes a chain it meets before a table as plain,
    which for a document whose members a JSON tool reordered is a chain of
    code numbers; such a document is read by its members' names instead.
    """


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


def _scalar(raw: bytes) -> Any:
    """The value of a table element's JSON text, for telling a literal entry."""
    try:
        if raw.startswith(b'"'):
            return json.loads(raw) if b"\\" in raw else raw[1:-1].decode("utf-8", "replace")
        if _INTEGER.fullmatch(raw):
            # Compared by their digits: no int is made of thousands of them.
            return int(raw) if len(raw) < 20 else raw.lstrip(b"-").lstrip(b"0") or b"0"
        if raw in (b"true", b"false", b"null"):
            return raw
        return Decimal(raw.decode("ascii"))
    except (ValueError, InvalidOperation):
        return NOT_SCALAR


class DocumentScanner:
    """Follows a document's top-level members, fed its bytes block by block.

    It learns whether the top level is an object, what the code table holds
    (pairs, and literal pairs: a key that is its value) and whether the
    "chain" array is there, and stops at the start of that array, or with
    ``through_chain`` passes over it to the end of the object. Like the
    streaming reader, it takes only a "codes" array before "chain" for the
    table, and a later "codes" array starts the count afresh.
    """

    def __init__(self, through_chain: bool = False) -> None:
        self.through_chain = through_chain
        self.entries = 0
        self.literals = 0
        self.is_object: bool | None = None
        self.has_chain = False
        self.seen_codes = False
        self.watching = True
        self._depth = 0
        self._expect = "value"  # at depth 1: "key", "colon", "value" or "comma"
        self._name = b""  # the member whose value comes or is being read
        self._in_table = False
        self._skip_to: int | None = None  # skipping a container down to this depth
        self._string: list[bytes] | None = None  # pieces of the string being read
        self._keep = 0  # how much of that string is kept (-1: all)
        self._escaped = False
        self._bare: list[bytes] | None = None  # pieces of a number, true, false or null
        self._key: Any = NOT_SCALAR
        self._position = 0

    def feed(self, data: bytes) -> None:
        """Scan the next block of the document."""
        at, end = 0, len(data)
        while at < end and self.watching:
            if self._string is not None:
                at = self._string_part(data, at)
            elif self._bare is not None:
                at = self._bare_part(data, at)
            elif self._skip_to is not None:
                at = self._skip_part(data, at)
            else:
                at = _SPACE.match(data, at).end()  # type: ignore[union-attr]
                if at < end:
                    at = self._token(data, at)

    def finish(self) -> None:
        """The document ended: a number at its very end is complete."""
        if self._bare is not None and self.watching:
            self._bare_done()

    def _stop(self) -> None:
        self.watching = False

    def _string_part(self, data: bytes, at: int) -> int:
        pieces = self._string
        assert pieces is not None
        if self._escaped:
            self._escaped = False
            self._take(data[at : at + 1])
            at += 1
        while at < len(data):
            stop = _STRING_STOP.search(data, at)
            if stop is None:
                self._take(data[at:])
                return len(data)
            where = stop.start()
            if data[where] == 0x22:  # the closing quote
                self._take(data[at : where + 1])
                self._string = None
                self._string_done(b"".join(pieces))
                return where + 1
            self._take(data[at : where + 2])
            if where + 1 == len(data):
                self._escaped = True
            at = where + 2
        return at

    def _take(self, piece: bytes) -> None:
        if self._keep < 0:
            self._string.append(piece)  # type: ignore[union-attr]
        elif self._keep > 0:
            self._string.append(piece[: self._keep])  # type: ignore[union-attr]
            self._keep = max(0, self._keep - len(piece))

    def _bare_part(self, data: bytes, at: int) -> int:
        stop = _BARE.match(data, at).end()  # type: ignore[union-attr]
        self._bare.append(data[at:stop])  # type: ignore[union-attr]
        if stop < len(data):
            self._bare_done()
        return stop

    def _bare_done(self) -> None:
        raw = b"".join(self._bare)  # type: ignore[arg-type]
        self._bare = None
        if self._skip_to is not None:
            return
        self._scalar_done(raw)

    def _skip_part(self, data: bytes, at: int) -> int:
        """Pass over a container that says nothing about the table or the chain."""
        while at < len(data):
            stop = _SKIP_STOP.search(data, at)
            if stop is None:
                return len(data)
            at = stop.start()
            char = data[at]
            if char == 0x22:
                self._string, self._keep = [], 0
                return at + 1
            self._depth += 1 if char in b"[{" else -1
            at += 1
            if self._depth == self._skip_to:
                self._skip_to = None
                self._value_done()
                return at
        return at

    def _token(self, data: bytes, at: int) -> int:
        char = data[at : at + 1]
        if self.is_object is None:
            self.is_object = char == b"{"
            if not self.is_object:
                self._stop()
                return at
            self._depth, self._expect = 1, "key"
            return at + 1
        if self._depth == 1:
            return self._member_token(char, at)
        # Inside the table: a scalar or a container is one element.
        if char == b"]":
            self._depth, self._in_table, self._expect = 1, False, "comma"
        elif char == b",":
            pass
        elif char in (b"[", b"{"):
            self._table_element(NOT_SCALAR)
            self._depth, self._skip_to = 3, 2
        elif char == b'"':
            self._string, self._keep = [char], -1
        elif char in b"}:":
            self._stop()
        else:
            self._bare = []
            return at
        return at + 1

    def _member_token(self, char: bytes, at: int) -> int:
        expect = self._expect
        if expect == "key" and char == b'"':
            self._string, self._keep = [char], _NAME_LIMIT
        elif expect == "key" and char == b"}" or expect == "comma" and char in (b",", b"}"):
            if char == b"}":
                self._depth, self.watching = 0, False
            self._expect = "key"
        elif expect == "colon" and char == b":":
            self._expect = "value"
        elif expect == "value":
            return self._member_value(char, at)
        else:
            self._stop()
        return at + 1

    def _member_value(self, char: bytes, at: int) -> int:
        if char == b"[" and self._name == b"chain":
            self.has_chain = True
            if not self.through_chain:
                self._stop()
                return at + 1
            self._depth, self._skip_to = 2, 1
        elif char == b"[" and self._name == b"codes":
            self.seen_codes = True
            self._in_table, self._depth = True, 2
            self.entries = self.literals = self._position = 0
        elif char in (b"[", b"{"):
            self._depth, self._skip_to = 2, 1
        elif char == b'"':
            self._string, self._keep = [], 0
        elif char in b"]},:":
            self._stop()
        else:
            self._bare = []
            return at
        if self._name == b"codes":
            self.seen_codes = True
        return at + 1

    def _string_done(self, raw: bytes) -> None:
        if self._skip_to is not None:
            return
        if self._depth == 1 and self._expect == "key":
            self._name = _member_name(raw)
            self._expect = "colon"
        else:
            self._scalar_done(raw)

    def _scalar_done(self, raw: bytes) -> None:
        if self._in_table:
            self._table_element(_scalar(raw))
        else:
            self._value_done()

    def _value_done(self) -> None:
        if self._depth == 1:
            self._expect = "comma"

    def _table_element(self, element: Any) -> None:
        if self._position % 2 == 0:
            self._key = element
        else:
            self.entries += 1
            key = self._key
            if key is not NOT_SCALAR and type(key) is type(element) and key == element:
                self.literals += 1
        self._position += 1


def _member_name(raw: bytes) -> bytes:
    if len(raw) > _NAME_LIMIT or not raw.endswith(b'"') or len(raw) < 2:
        return b""
    if b"\\" not in raw:
        return raw[1:-1]
    try:
        return str(json.loads(raw)).encode("utf-8", "replace")
    except ValueError:
        return b""


class DocumentHead:
    """A binary reader that watches the start of a document as it is read.

    It hands the streaming reader the bytes it reads, scanning them up to the
    "chain" array. While no "codes" member has been seen it keeps what it
    read, so that a document whose chain comes first can be read again, by
    its members' names, from ``replay()``; it raises :class:`ChainFirst` at
    such a chain's start.
    """

    def __init__(self, file: Any) -> None:
        self.scanner = DocumentScanner()
        self.interrupted = False
        self.size = 0
        self._file = file
        self._kept: list[bytes] | None = []

    @property
    def compressed(self) -> bool:
        """A table with at least one pair makes the document a compressed one."""
        return self.scanner.entries > 0

    @property
    def entries(self) -> int:
        return self.scanner.entries

    @property
    def literals(self) -> int:
        return self.scanner.literals

    def read(self, size: int = -1) -> bytes:
        if self.interrupted:
            raise KeyboardInterrupt
        data = self._file.read(size)
        self.size += len(data)
        scanner = self.scanner
        if scanner.watching:
            if self._kept is not None:
                self._kept.append(data)
            if data:
                scanner.feed(data)
            else:
                scanner.finish()
            if scanner.seen_codes:
                self._kept = None
            elif scanner.has_chain:
                raise ChainFirst
        return data

    def replay(self) -> bytes:
        """The whole document: what was read so far and the rest of the file."""
        kept = self._kept or []
        self._kept = None
        rest = self._file.read()
        self.size += len(rest)
        return b"".join([*kept, rest])

    @contextmanager
    def interrupts_at_reads(self) -> Iterator[None]:
        """Hold Ctrl-C back until the reader next reads.

        The yajl2_cffi parser backend runs Python code in C callbacks, where
        an exception is printed and taken for a parse error; raised from
        ``read`` it reaches the caller as it should.
        """
        previous = signal.getsignal(signal.SIGINT)
        if not callable(previous):
            yield  # Ctrl-C is ignored or left to the system
            return

        def hold(signum: int, frame: Any) -> None:
            signals.hold()
            self.interrupted = True

        signal.signal(signal.SIGINT, hold)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, previous)
        if self.interrupted:
            raise KeyboardInterrupt

    def problem(self) -> str | None:
        """What makes the document read so far no chain document, if anything."""
        if not self.scanner.is_object:
            return "not a JSON object"
        if not self.scanner.has_chain:
            return 'no "chain" array'
        return None
