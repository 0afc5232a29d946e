"""load_json_big into an exact native Chain over documents of many chunks.

The direct path takes yajl's events as they come, inside the parse of a
chunk; a Chain subclass gets them through the chain's methods after each
chunk. Faults placed anywhere in a document of several reads (a bad token,
a code the table lacks, a count of another kind, a syntax error after a
fault in the same chunk) must end alike: the same reads, error and chain.
"""

from __future__ import annotations

import io
import random
import re

import pytest
from conftest import needs_yajl

import tesmo_cjson
from tesmo import reference
from tesmo.chain import Chain

pytestmark = [needs_yajl, pytest.mark.filterwarnings("ignore:Exception ignored from cffi callback")]


class Sub(Chain):
    """Not exact: filled through its methods, after each chunk's events."""


class Reads(io.BytesIO):
    """Logs each read; `most` caps what a read returns, moving the chunk boundaries."""

    def __init__(self, data: bytes, most: int) -> None:
        super().__init__(data)
        self.most, self.log = most, []

    def read(self, size: int = -1) -> bytes:
        self.log.append(size)
        return super().read(min(size, self.most) if size > 0 else size)


def document(compress: bool, seed: int = 7) -> bytes:
    rnd = random.Random(seed)
    words = [f"w{i}" for i in range(300)] + ["\u00e9t\u00e9", "a b", "q\\"]
    chain = reference.Chain()
    for _ in range(6000):
        start = (rnd.choice(words), rnd.choice(words))
        chain.add_to_bag(start, [rnd.choice(words)], rnd.randint(1, 9))
    out = io.StringIO()
    tesmo_cjson.dump_json_big(chain, out, compress)
    return out.getvalue().encode()


DOCS = {"compressed": document(True), "plain": document(False)}


def outcome(cls: type, data: bytes, merge: bool, most: int) -> tuple:
    chain = cls()
    chain.add_to_bag(("w1", "w2"), ["before"], 3)
    file = Reads(data, most)
    try:
        tesmo_cjson.load_json_big(chain, file, merge)
        error = None
    except Exception as exc:
        error = (type(exc), str(exc))
    return error, file.log, repr([(start, list(bag.choices())) for start, bag in chain.items()])


# What replaces the count after a place in the document, or (with a key
# None) the first key of the next start after it.
FAULTS = [
    (b"count", b'"x"'),
    (b"count", b"123456789012345678901234567890"),
    (b"count", b"-0.0"),
    (b"count", b"1e999"),
    (b"count", b"null"),
    (b"count", b'"\xff"'),
    (b"count", b"[1]"),
    (b"key", b"987654321"),
    (b"key", b'"\xe9"'),
    (b"key", b"1.5e3"),
    (b"syntax", b"@"),
    (b"syntax", b"}"),
    (b"truncate", b""),
]


def faulted(data: bytes, at: int, kind: bytes, token: bytes) -> bytes:
    if kind == b"truncate":
        return data[:at]
    if kind == b"syntax":  # between tokens: after the next "],"
        at = data.index(b"],", at) + 2
        return data[:at] + token + data[at:]
    # A choice of a bag: a flat next start, then its count.
    choice = CHOICE.search(data, at)
    assert choice is not None
    if kind == b"count":
        return data[: choice.start(2)] + token + data[choice.end(2) :]
    begin = choice.start(1)
    first = choice.group(1).split(b",")[0]
    return data[:begin] + token + data[begin + len(first) :]


CHOICE = re.compile(rb"\[([^\[\]]*)\],(-?[0-9]+)(?=[\],])")


@pytest.mark.slow
@pytest.mark.parametrize("name", list(DOCS))
@pytest.mark.parametrize("merge", [False, True])
def test_faults_anywhere_in_many_chunks_end_alike(name, merge):
    data = DOCS[name]
    assert len(data) > 2 * 65536
    # Either side of the first chunk boundaries, and near the end; reads of
    # 4,097 bytes move the boundaries for every other fault.
    places = [65536 - 40, 65536 + 3, len(data) - 200]
    for at in places:
        for i, (kind, token) in enumerate(FAULTS):
            bad = faulted(data, at, kind, token)
            most = 4097 if i % 2 else 1 << 20
            direct = outcome(Chain, bad, merge, most)
            assert direct == outcome(Sub, bad, merge, most), (at, kind, token, most)
            if kind in (b"syntax", b"truncate"):
                assert direct[0] is not None and direct[0][0].__name__.endswith("JSONError"), direct[0]


@pytest.mark.parametrize("name", list(DOCS))
def test_a_reader_error_before_a_syntax_error_in_the_same_chunk(name):
    data = DOCS[name]
    chain = data.index(b'"chain"')
    for at in (chain + 100, chain + 70000, (chain + len(data)) // 2):
        # A code the table lacks (a count that is text in a plain document),
        # then a few hundred bytes on, a bad token: the first fault is the error.
        if name == "compressed":
            bad = faulted(data, at, b"key", b"987654321")
        else:
            bad = faulted(data, at, b"count", b'"x"')
        bad = faulted(bad, at + 400, b"syntax", b"@")
        direct = outcome(Chain, bad, False, 1 << 20)
        assert direct == outcome(Sub, bad, False, 1 << 20)
        assert direct[0] is not None and not direct[0][0].__name__.endswith("JSONError"), direct[0]


def test_whole_documents_of_many_chunks_fill_alike():
    for data in DOCS.values():
        for most in (1 << 20, 1000, 65537):
            direct = outcome(Chain, data, True, most)
            assert direct == outcome(Sub, data, True, most)
            assert direct[0] is None
    # The two documents hold the same chain.
    assert outcome(Chain, DOCS["plain"], False, 1 << 20)[2] == outcome(Chain, DOCS["compressed"], False, 1 << 20)[2]
