"""Values longer than the streaming reader's reads: read in time linear in their length, alike on both paths."""

from __future__ import annotations

import io
import time
from collections.abc import Callable
from typing import Any

import pytest
from conftest import needs_yajl
from test_streaming_fast import same_as_backend

import tesmo_cjson

# Long tokens, and long tokens cut by what yajl refuses or ends them, at
# every kind of place: escapes, \u escapes, the parts of a number.
BODIES = [b"a" * 40, b'ab\\"cd\\\\' * 5, b"\\u00e9\\u00E9/" * 4, b"x\\/y\\b\\f\\n\\r\\t" * 3]
TOKENS = [b'"' + body + b'"' for body in BODIES]
TOKENS += [
    b'"' + BODIES[0] + bad + BODIES[0] + b'"' for bad in (b"\\q", b"\\u00g0", b"\x01", b"\x7f", b"\xc3\xa9", b"\xff")
]
TOKENS += [b"1" * 40, b"-" + b"2" * 40, b"0" + b"1" * 40, b"3." + b"4" * 40, b"5e" + b"6" * 40, b"7E-" + b"8" * 40]
TOKENS += [b"9" * 30 + b"." + b"e5", b"9" * 30 + b"e+" + b"x", b"-" + b"a" * 30, b"1." * 20]


@needs_yajl
@pytest.mark.parametrize("token", TOKENS, ids=lambda t: repr(t[:16]))
@pytest.mark.parametrize("size", [1, 2, 3, 5, 8])
def test_a_long_token_read_in_many_chunks(token, size):
    # As a table value, a start, a next start's element, and where the
    # document ends inside it; in reads of `size` bytes.
    for doc in (
        b'{"codes":[0,T],"chain":[0,[[0],1]]}',
        b'{"codes":[],"chain":[T,[[T,2],T]]}',
        b'{"codes":[],"chain":["s",[[T',
    ):
        same_as_backend(doc.replace(b"T", token), sizes=lambda k, n: size)


class Drained:
    def clear(self) -> None:
        pass

    def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
        list(items)


def cpu_seconds(read: Callable[..., None], data: bytes) -> float:
    best = float("inf")
    for _ in range(3):
        file = io.BytesIO(data) if read is tesmo_cjson.load_json_big else io.StringIO(data.decode())
        started = time.process_time()
        read(Drained(), file, True)
        best = min(best, time.process_time() - started)
    return best


@pytest.mark.parametrize("read", [tesmo_cjson.load_json_big, tesmo_cjson.load_json_small])
@pytest.mark.parametrize("value", [b'"%s"', b"0.%s"], ids=["string", "number"])
def test_a_value_eight_times_longer_takes_not_much_more_than_eight_times_longer(read, value):
    # yajl reads again the part of a token that it holds at every read, so a
    # value read in n pieces cost n squared: 2 and 16 MB took 0.2 and 6 s.
    def doc(megabytes: int) -> bytes:
        return b'{"codes":[],"chain":["s",[[%s],1]]}' % (value % (b"1" * (megabytes << 20)))

    small, large = cpu_seconds(read, doc(2)), cpu_seconds(read, doc(16))
    # Below 20 ms a time is mostly the clock's and the machine's noise.
    assert large < 20 * max(small, 0.02), (small, large)
