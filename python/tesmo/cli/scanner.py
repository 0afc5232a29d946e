"""A scan of a document's top-level members, up to the "chain" array, from its bytes.

The scanner reads the bytes itself, with no parser between: a parser's
events carry a prefix that grows with the nesting (a few thousand nested
arrays cost gigabytes), and one parser backend crashes on a number of
thousands of digits. It holds a depth and at most the two scalars of one
table pair, so its memory is bounded by the document's size; it never
raises on malformed input, but stops watching and leaves the error to the
reader, with its message.
"""

from __future__ import annotations

import json
import re
from decimal import Decimal, InvalidOperation
from typing import Any

NOT_SCALAR = object()

_SPACE = re.compile(rb"[ \t\r\n]*")
_STRING_STOP = re.compile(rb'["\\]')
_BARE = re.compile(rb'[^ \t\r\n\[\]{}:,"]*')
_SKIP_STOP = re.compile(rb'[\[\]{}"]')
_INTEGER = re.compile(rb"-?(?:0|[1-9][0-9]*)")
# Only "codes" and "chain" matter among the members' names; a longer name
# (its escapes included) is neither, and is not kept.
_NAME_LIMIT = 64


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
        self.complete = False  # the top-level object was closed
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
                self._depth, self.watching, self.complete = 0, False, True
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
