"""Training a word chain from text, and generating sentences from a chain.

Text becomes a stream of tokens: words, sentence-ending punctuation, and
``None`` at every sentence boundary, so a sentence starts with whatever follows
the start ``None``. A chain of order N maps each token to the tuples of the N
tokens that followed it.
"""

from __future__ import annotations

import codecs
import random
import re
import threading
from collections import deque
from collections.abc import Hashable, Iterable, Iterator
from itertools import islice
from typing import Protocol

from tesmo import _chain
from tesmo.chain import Chain

Token = str | None

# A word may carry inner apostrophes and hyphens ("Beer-sheba", "Jacob's"). A
# run of ".", "!" and "?" ends a sentence only where whitespace or the end of
# the text follows, after any closing quotes or brackets: the dots of "2.0",
# "file.txt" and a URL are dropped like other punctuation.
_TOKEN = re.compile(r"(\w+(?:['\u2019-]\w+)*)|([.!?]+)(?=[\"'\u2019\u201d)\]]*(?:\s|\Z))")
_SENTENCE_END = re.compile(r"[.!?]+")
_SPACE = re.compile(r"\s")
CHUNK_SIZE = 1 << 20


class BinaryReader(Protocol):
    """Anything with a binary ``read(size)``, such as a file opened with "rb"."""

    def read(self, size: int = -1) -> bytes: ...


class _Replaced(threading.local):
    bytes = 0


_replaced = _Replaced()


def _replace_counting(error: UnicodeError) -> tuple[str, int]:
    """The "replace" error handler that also counts the bytes it replaces."""
    if not isinstance(error, UnicodeDecodeError):
        raise error
    _replaced.bytes += error.end - error.start
    return "\ufffd", error.end


codecs.register_error("tesmo.replace", _replace_counting)


class Utf8Text:
    """The UTF-8 text of a binary file, in chunks, with bad bytes as U+FFFD.

    ``replaced`` counts the bytes that were not UTF-8 so far. A decoder
    holds back a character that is cut at the end of a chunk, so the text is
    the same whatever the chunk size.
    """

    def __init__(self, file: BinaryReader, chunk_size: int = CHUNK_SIZE) -> None:
        self.replaced = 0
        self._file = file
        self._chunk_size = chunk_size

    def __iter__(self) -> Iterator[str]:
        decoder = codecs.getincrementaldecoder("utf-8")(errors="tesmo.replace")
        while True:
            data = self._file.read(self._chunk_size)
            _replaced.bytes = 0
            text = decoder.decode(data, final=not data)
            self.replaced += _replaced.bytes
            yield text
            if not data:
                return


def read_text(file: BinaryReader, chunk_size: int = CHUNK_SIZE) -> Iterator[str]:
    """Yield the UTF-8 text of a binary file in chunks; bad bytes become U+FFFD."""
    yield from Utf8Text(file, chunk_size)


def _matches(chunks: Iterable[str]) -> Iterator[re.Match[str]]:
    """Yield the token matches of a text given in chunks.

    A token that may go on in the next chunk (nothing but non-space text after
    it) is held back and matched again together with that chunk.
    """
    carry = ""
    for chunk in chunks:
        text = carry + chunk
        matches = list(_TOKEN.finditer(text))
        carry = ""
        if matches and not _SPACE.search(text, matches[-1].end()):
            carry = text[matches[-1].start() :]
            matches.pop()
        yield from matches
    yield from _TOKEN.finditer(carry)


def tokenize(sources: Iterable[Iterable[str]]) -> Iterator[Token]:
    """Turn texts, each given as an iterable of chunks, into one token stream.

    The stream opens with ``None`` and has exactly one ``None`` after every
    sentence; a sentence never runs from one text into the next, and
    punctuation before a sentence's first word is dropped.
    """
    yield None
    for chunks in sources:
        in_sentence = False
        for match in _matches(chunks):
            word, stop = match.groups()
            if word:
                in_sentence = True
                yield word
            elif in_sentence:
                in_sentence = False
                yield stop
                yield None
        if in_sentence:
            yield None


def train(chain: Chain, tokens: Iterable[Hashable], order: int = 1) -> Chain:
    """Add every token's next ``order`` tokens to ``chain`` and return it.

    The last ``order`` tokens of the stream have too few followers and only
    serve as next-start elements.
    """
    if type(chain) is Chain and type(order) is int:
        return _chain.train(chain, tokens, order)
    if order < 1:
        raise ValueError("order must be at least 1")
    window: deque = deque(maxlen=order + 1)
    add_to_bag = chain.add_to_bag
    for token in tokens:
        window.append(token)
        if len(window) > order:
            add_to_bag(window[0], tuple(islice(window, 1, None)))
    return chain


def train_text(chain: Chain, sources: Iterable[Iterable[str]], order: int = 1) -> Chain:
    """``train(chain, tokenize(sources), order)``, natively for a ``Chain``.

    The native path reads the text and counts without making a Python object
    per token; it gives the chain exactly what the token stream would.
    """
    if type(chain) is Chain and type(order) is int:
        return _chain.train_text(chain, sources, order)
    return train(chain, tokenize(sources), order)


def generate_sentence(chain: Chain, rng: random.Random, max_tokens: int = 100) -> list[Hashable]:
    """Walk the chain from the start ``None`` to the next ``None``.

    Returns the tokens in between. The walk also stops at a start without a
    bag, at an empty next start, and after ``max_tokens`` tokens, so that a
    chain that never returns to ``None`` still ends.
    """
    if type(chain) is Chain and type(max_tokens) is int:
        return _chain.generate_sentence(chain, rng, max_tokens)
    tokens: list[Hashable] = []
    start: Hashable = None
    while len(tokens) < max_tokens and start in chain:
        next_start = chain[start].choose(rng)
        if not next_start:
            break
        for token in next_start:
            if token is None:
                return tokens
            tokens.append(token)
        start = next_start[-1]
    return tokens


def format_sentence(tokens: Iterable[Hashable]) -> str:
    """Join tokens with spaces, closing punctuation up to the word before it."""
    text = ""
    for token in tokens:
        word = str(token)
        if text and not _SENTENCE_END.fullmatch(word):
            text += " "
        text += word
    return text
