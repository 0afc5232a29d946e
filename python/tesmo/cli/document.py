"""The document check: what the streaming reader reads, watched on its way in (see ``scanner``)."""

from __future__ import annotations

import signal
from collections.abc import Hashable, Iterable, Iterator
from contextlib import contextmanager
from typing import Any

from tesmo.cli import signals
from tesmo.cli.errors import bad_count, is_count
from tesmo.cli.scanner import DocumentScanner

_BOM = b"\xef\xbb\xbf"
_CONTINUATION = bytes(range(0x80, 0xC0))


def _characters(data: bytes) -> int:
    """The characters of UTF-8 ``data``: its bytes that do not continue a character."""
    return len(data.translate(None, _CONTINUATION))


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
        # Where the last block read begins, to tell where a parse error is.
        self._block = b""
        self._lines = 0  # line breaks before it
        self._column = 0  # characters after the last of them

    @property
    def coded(self) -> bool:
        """A table with at least one pair makes the document a coded one."""
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
        if self.size == 0:
            data = self._without_bom(data, size)
        self.size += len(data)
        self._next_block(data)
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

    def _without_bom(self, data: bytes, size: int) -> bytes:
        """The first block without a UTF-8 byte order mark, which JSON does not allow but editors write."""
        while data and len(data) < len(_BOM) and _BOM.startswith(data):
            more = self._file.read(size)
            if not more:
                break
            data += more
        if not data.startswith(_BOM):
            return data
        self.size += len(_BOM)
        return data[len(_BOM) :] or self._file.read(size)

    def _next_block(self, data: bytes) -> None:
        block = self._block
        breaks = block.count(b"\n")
        if breaks:
            self._lines += breaks
            self._column = 0
            block = block[block.rindex(b"\n") + 1 :]
        self._column += _characters(block)
        self._block = data

    def where(self, error: BaseException) -> str | None:
        """The line and column where the streaming reader stopped at a parse error, if its message shows them.

        The yajl parser quotes the block it was given around the error, the
        error at the quote's 41st character: found in the last block read,
        the quote tells where the error is.
        """
        message = error.args[0] if error.args else ""
        raw = message.encode("utf-8", "surrogateescape") if isinstance(message, str) else bytes(message)
        lines = raw.split(b"\n")
        arrows = [number for number, line in enumerate(lines) if line.endswith(b"(right here) ------^")]
        if not arrows or arrows[0] == 0:
            return None
        quote = lines[arrows[0] - 1]
        block = self._block.replace(b"\n", b" ").replace(b"\r", b" ")
        offset = None
        for near in range(min(30, len(block)) + 1):
            # Near the block's start the quote is padded to put the error at its place.
            if quote == b" " * (40 - near) + block[: near + 30]:
                offset = near
                break
        if offset is None and quote.startswith(b" " * 10) and len(quote) > 10:
            found = block.find(quote[10:])
            offset = None if found < 0 else found + 30
        if offset is None:
            return None
        before = self._block[:offset]
        if b"\n" in before:
            column = _characters(before[before.rindex(b"\n") + 1 :])
        else:
            column = self._column + _characters(before)
        line = self._lines + before.count(b"\n") + 1
        return f"line {line:,}, column {column + 1:,}"

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

    def shape_problem(self) -> str | None:
        """What the whole document's shape says against it, once the scan has seen enough to tell."""
        scanner = self.scanner
        if scanner.is_object is False or (scanner.complete and not scanner.has_chain):
            return self.problem()
        return None

    def problem(self) -> str | None:
        """What makes the document read so far no chain document, if anything."""
        if not self.scanner.is_object:
            return "not a JSON object"
        if not self.scanner.has_chain:
            return 'no "chain" array'
        return None
