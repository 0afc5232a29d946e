"""Training a word chain from text, and generating sentences from a chain.

Text becomes a stream of tokens: words, punctuation, and ``None`` at every
sentence boundary. A chain of order N predicts a token from the N tokens
before it: every sentence t1..tk is padded to ``[None]*N + [t1..tk] +
[None]`` and each window of N + 1 tokens becomes one choice, whose start is
the state (the token itself for order 1, the tuple of the N tokens for a
higher order) and whose next start is the one-token tuple of the token that
followed. No window reaches across a sentence, so the chain of several texts
is the merge of the texts' chains.

This module holds the definition of every step in Python; for an exact
``Chain`` the native module runs training and generation with the same
results.
"""

from __future__ import annotations

import codecs
import random
import re
import threading
from collections.abc import Hashable, Iterable, Iterator, Sequence
from typing import Any, Protocol

from tesmo import _chain
from tesmo.chain import Chain

Token = str | None

CHUNK_SIZE = 1 << 20

# The longest token the tokenizer makes, in code points. Words, numbers,
# URLs and paths of real text fit; a longer run (a hex dump, base64, a run of
# one letter) is cut into pieces of this length, so that one token can never
# make a chain, a document or a generated sentence huge.
TOKEN_CAP = 100

# Separators end a run of text: whitespace, control characters, lone
# surrogates, and the two invisible spaces U+200B and U+FEFF (a BOM).
_SEPARATORS = r"\s\x00-\x1f\x7f-\x9f\ud800-\udfff\u200b\ufeff"
_LINE_BREAKS = "\n\x0b\x0c\r\x1c\x1d\x1e\x85\u2028\u2029"

# Punctuation: every character below is a token of its own (or a run, for
# stops and dashes) unless it stands inside a word. All other characters of
# a run are word characters: letters, digits, marks, symbols, emoji.
_STOPS = ".!?\u2026\u3002\uff01\uff1f"  # . ! ? … and CJK 。！？
_CJK_STOPS = "\u3002\uff01\uff1f"
_CJK_CLAUSE = "\u3001\uff0c\uff1b\uff1a"
_CLAUSE = ",;:" + _CJK_CLAUSE  # , ; : and CJK 、，；：
_CJK_OPENERS = "\u300c\u300e\uff08\u3010\u300a\u3008\u3014\uff3b\uff5b"
_OPENERS = "([{\u201c\u2018\u00ab\u2039\u201e\u201a\u00a1\u00bf" + _CJK_OPENERS
_CJK_CLOSERS = "\u300d\u300f\uff09\u3011\u300b\u3009\u3015\uff3d\uff5d"
_CLOSERS = ")]}\u201d\u2019\u00bb\u203a" + _CJK_CLOSERS
_QUOTES = "\"'"  # open or close by where they stand
_DASHES = "-\u2012\u2013\u2014\u2015"  # - ‒ – — ―
_PUNCTUATION = _STOPS + _CLAUSE + _OPENERS + _CLOSERS + _QUOTES + _DASHES


def _chars(chars: str) -> str:
    return "".join(re.escape(c) for c in chars)


_WORD_CHAR = f"[^{_SEPARATORS}{_chars(_PUNCTUATION)}]"
# A word: word characters, with single inner ". : ' ’ ! ? -" between word
# characters (2.0, e.g, don't, Apache-2.0, http://x.org/a?b) and "," between
# digits (1,000).
_RUN_TOKEN = re.compile(
    rf"(?P<word>{_WORD_CHAR}+(?:(?:[.:'\u2019!?\-]|(?<=\d),(?=\d)){_WORD_CHAR}+)*)"
    rf"|(?P<stop>[{_chars(_STOPS)}]+)"
    rf"|(?P<dash>[{_chars(_DASHES)}]+)"
    r"|(?P<mark>.)",
    re.S,
)
_PIECES = re.compile(f"([{_SEPARATORS}]+)|([^{_SEPARATORS}]+)")
_LAST_SEPARATOR = re.compile(f"[{_SEPARATORS}][^{_SEPARATORS}]*\\Z")
_LINE_BREAK = re.compile(f"[{_LINE_BREAKS}]")
_NUMBER = re.compile(r"\d+(?:[.,]\d+)*")
_ALNUM = re.compile(r"[^\W_]")

# Words whose "." is part of them and ends no sentence (compared ignoring
# ASCII case).
ABBREVIATIONS = frozenset(["mr", "mrs", "ms", "dr", "prof", "sr", "jr", "st", "vs", "etc", "e.g", "i.e", "cf", "al"])

# What a token is for the sentence it stands in: a stop, or punctuation that
# continues something (a comma, a closing bracket) is dropped where no
# sentence has begun; anything else begins one.
_STARTS, _CONTINUES, _ENDS = 0, 1, 2
_CONTINUING = frozenset(_CLAUSE + _CLOSERS)
_CLOSING = frozenset(_CLOSERS + _QUOTES)


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
    the same whatever the chunk size. ``split_tokens`` counts the tokens
    longer than ``TOKEN_CAP`` that the tokenizer cut into pieces in this
    text (set once the tokenizer has read the whole text).
    """

    def __init__(self, file: BinaryReader, chunk_size: int = CHUNK_SIZE) -> None:
        self.replaced = 0
        self.split_tokens = 0
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


def _whole_runs(chunks: Iterable[str]) -> Iterator[str]:
    """The text of the chunks again, cut only right after a separator.

    A chunk without a separator is only held, so a run that spans many
    chunks is read once.
    """
    held: list[str] = []
    for chunk in chunks:
        if not isinstance(chunk, str):
            raise TypeError(f"text chunks must be str, not {type(chunk).__name__}")
        last = _LAST_SEPARATOR.search(chunk)
        if last is None:
            held.append(chunk)
            continue
        held.append(chunk[: last.start() + 1])
        yield "".join(held)
        held = [chunk[last.start() + 1 :]]
    yield "".join(held)


class _TextTokens:
    """The tokenizer's state across one text: where its runs stand."""

    def __init__(self) -> None:
        self.in_sentence = False
        self.line_start = True  # a line break since the last run, or none yet
        self.split = 0

    def tokens(self, text: str) -> list[Token]:
        """The tokens of whole runs of the text, and the separators between them."""
        out: list[Token] = []
        for separators, run in _PIECES.findall(text):
            if separators:
                if _LINE_BREAK.search(separators):
                    self.line_start = True
            else:
                self._run(run, out)
                self.line_start = False
        return out

    def _run(self, run: str, out: list[Token]) -> None:
        pos, end = 0, len(run)
        while pos < end:
            match = _RUN_TOKEN.match(run, pos)
            assert match is not None
            token, stop = match.group(), match.end()
            if match.lastgroup == "word":
                if (
                    run.startswith(".", stop)
                    and not run.startswith(".", stop + 1)
                    and self._keeps_its_dot(token, first=pos == 0)
                ):
                    token += "."
                    stop += 1
                self._emit(token, _STARTS, out)
            elif match.lastgroup == "stop":
                ends = self.in_sentence
                self._emit(token, _ENDS, out)
                # Closing quotes and brackets belong to the sentence that ends
                # (and are dropped with a stop that ends none).
                while stop < end and run[stop] in _CLOSING:
                    self._emit(run[stop], _CONTINUES, out)
                    stop += 1
                if ends and (token[-1] in _CJK_STOPS or stop == end):
                    self.in_sentence = False
                    out.append(None)
            else:
                self._emit(token, _kind(token[0]), out)
            pos = stop

    def _keeps_its_dot(self, word: str, first: bool) -> bool:
        """An abbreviation, initials (J, D.C) or a numbered clause (7 at a line's or sentence's start)."""
        if word.isascii() and word.lower() in ABBREVIATIONS:
            return True
        if all(len(part) == 1 and part.isupper() for part in word.split(".")):
            return True
        return first and (self.line_start or not self.in_sentence) and _NUMBER.fullmatch(word) is not None

    def _emit(self, token: str, kind: int, out: list[Token]) -> None:
        if kind != _STARTS and not self.in_sentence:
            return
        self.in_sentence = True
        if len(token) <= TOKEN_CAP:
            out.append(token)
            return
        self.split += 1
        out.extend(token[at : at + TOKEN_CAP] for at in range(0, len(token), TOKEN_CAP))


def _kind(mark: str) -> int:
    if mark in _STOPS:
        return _ENDS
    return _CONTINUES if mark in _CONTINUING else _STARTS


def _add_split(text: object, count: int) -> None:
    """Counts a text's split tokens on it, when it keeps such a count."""
    if count and hasattr(text, "split_tokens"):
        text.split_tokens += count


def tokenize(sources: Iterable[Iterable[str]]) -> Iterator[Token]:
    """Turn texts, each given as an iterable of chunks, into one token stream.

    The stream opens with ``None`` and has exactly one ``None`` after every
    sentence; a sentence never runs from one text into the next. Tokens are
    words (with inner apostrophes, hyphens, dots between word characters and
    commas between digits kept: ``don't``, ``Apache-2.0``, ``1,000``,
    ``e-mail@x.org``, ``/usr/bin``) and punctuation, each mark a token of its
    own, runs of stops (``...``, ``?!``) and of dashes as one. A run of ``.``
    ``!`` ``?`` ``…`` ends a sentence where whitespace or the text's end
    follows, after any closing quotes or brackets; CJK ``。！？`` always do.
    The dot of an abbreviation (``Mr.``, ``e.g.``), of initials (``J.``,
    ``D.C.``) and of a number that starts a line or sentence (``7.``) stays
    with it and ends nothing. Stops and continuing punctuation before a
    sentence's first token are dropped. A token longer than ``TOKEN_CAP``
    code points is cut into pieces of that length; a text with a
    ``split_tokens`` attribute (``Utf8Text``) has their number added to it.
    """
    yield None
    for chunks in sources:
        text = _TextTokens()
        for part in _whole_runs(chunks):
            yield from text.tokens(part)
        _add_split(chunks, text.split)
        if text.in_sentence:
            yield None


def _check_order(order: Any) -> int:
    if type(order) is not int:
        raise TypeError("order must be an int")
    if order < 1:
        raise ValueError("order must be at least 1")
    return order


def train(chain: Chain, tokens: Iterable[Hashable], order: int = 1) -> Chain:
    """Add the windows of every sentence of ``tokens`` to ``chain`` and return it.

    A sentence is a run of tokens between ``None`` boundaries (the end of the
    stream closes one too); empty runs are no sentences. With order N, each
    token becomes a choice of the state of the N tokens before it, padded
    with ``None`` at the sentence's start, and the sentence's end a choice
    ``(None,)`` of its last state.
    """
    if type(chain) is Chain and type(order) is int:
        return _chain.train(chain, tokens, order)
    _check_order(order)
    boundary: Hashable = None if order == 1 else (None,) * order
    state = boundary
    in_sentence = False
    add_to_bag = chain.add_to_bag
    for token in tokens:
        if token is None:
            if in_sentence:
                add_to_bag(state, (None,))
                state, in_sentence = boundary, False
            continue
        add_to_bag(state, (token,))
        state = token if order == 1 else state[1:] + (token,)  # type: ignore[index]
        in_sentence = True
    if in_sentence:
        add_to_bag(state, (None,))
    return chain


def train_text(chain: Chain, sources: Iterable[Iterable[str]], order: int = 1) -> Chain:
    """``train(chain, tokenize(sources), order)``, natively for a ``Chain``.

    The native path reads the text and counts without making a Python object
    per token; it gives the chain exactly what the token stream would.
    """
    if type(chain) is Chain and type(order) is int:
        return _chain.train_text(chain, sources, order)
    return train(chain, tokenize(sources), order)


def chain_order(chain: Any) -> int | None:
    """The order of a chain: the length of its starts (a start that is no tuple counts 1).

    None for an empty chain; ``ValueError`` when the starts differ in length.
    """
    order = None
    for start in chain:
        length = len(start) if isinstance(start, tuple) else 1
        if order is None:
            order = length
        elif length != order:
            raise ValueError(f"the chain mixes starts of {order} and {length} tokens")
    return order


class UnknownStart(KeyError):
    """The chain has no state to go on from the tokens a sentence is to begin with."""

    def __init__(self, start: Sequence[Hashable], padded: bool) -> None:
        super().__init__(tuple(start))
        self.start = tuple(start)
        self.padded = padded

    def __str__(self) -> str:
        shown = " ".join(str(token) for token in self.start)
        if self.padded:
            return f"no sentence of the model begins with {shown!r}"
        return f"the model never goes on from {shown!r}"


def is_word(token: Hashable) -> bool:
    """A token that counts as a word: one holding a letter or digit (or any value that is no str)."""
    return not isinstance(token, str) or _ALNUM.search(token) is not None


class Novelty:
    """Tells whether a sentence reproduces ``overlap`` consecutive tokens of a corpus.

    Built from the same ``sources`` as ``tokenize``. It keeps one 64-bit hash
    per distinct run of ``overlap`` tokens within a sentence of the corpus,
    sorted: at most 8 bytes per corpus token.
    """

    def __init__(self, sources: Iterable[Iterable[str]], overlap: int = 15) -> None:
        if type(overlap) is not int:
            raise TypeError("overlap must be an int")
        if overlap < 1:
            raise ValueError("overlap must be at least 1")
        self.overlap = overlap
        self._windows = _chain.corpus_windows(sources, overlap)

    def __len__(self) -> int:
        """The number of distinct runs of ``overlap`` tokens the corpus holds."""
        return len(self._windows) // 8

    def is_novel(self, tokens: Sequence[Hashable]) -> bool:
        """False when ``tokens`` hold ``overlap`` consecutive tokens of one corpus sentence."""
        return not _chain.reproduces(self._windows, tokens, self.overlap)


def _check_count(name: str, value: Any, least: int) -> int:
    if type(value) is not int:
        raise TypeError(f"{name} must be an int")
    if value < least:
        raise ValueError(f"{name} must be at least {least}")
    return value


_NO_START = object()


def _walk_state(chain: Any, start: Sequence[Hashable] | None) -> tuple[Hashable, list[Hashable]] | None:
    """The state a walk goes on from, and the tokens the sentence begins with.

    The shape of the states is that of the chain's first start, which for a
    chain trained on text is its boundary state: ``None`` for order 1, the
    tuple of N ``None`` for order N. None when the chain is empty and no
    start is given.
    """
    if isinstance(start, str):
        raise TypeError("start must be a sequence of tokens, not a str")
    prefix = [] if start is None else list(start)
    if any(token is None for token in prefix):
        raise ValueError("start must not hold None")
    first = next(iter(chain), _NO_START)
    if first is _NO_START:
        if prefix:
            raise UnknownStart(prefix, True)
        return None
    if not isinstance(first, tuple):
        state: Hashable = prefix[-1] if prefix else None
        padded = False
    else:
        state = ((None,) * len(first) + tuple(prefix))[len(prefix) :]
        padded = len(prefix) < len(first)
    if prefix and state not in chain:
        raise UnknownStart(prefix, padded)
    return state, prefix


def _token_limit(max_words: int) -> int:
    # Punctuation is no word; a walk that loops through it ends here.
    return 4 * max_words + 16


def _generate(
    chain: Any,
    rng: random.Random,
    state: Hashable,
    prefix: list[Hashable],
    min_words: int,
    max_words: int,
    tries: int,
    novelty: Any,
) -> list[Hashable] | None:
    limit = _token_limit(max_words)
    shifting = type(state) is tuple
    prefix_words = sum(1 for token in prefix if is_word(token))
    for _ in range(tries):
        tokens = list(prefix)
        words = prefix_words
        at = state
        ended = False
        while not ended and words <= max_words and len(tokens) <= limit:
            if at not in chain:
                break
            next_start = chain[at].choose(rng)
            if not next_start:
                break
            for token in next_start:
                if token is None:
                    ended = True
                    break
                tokens.append(token)
                words += is_word(token)
                at = at[1:] + (token,) if shifting else token  # type: ignore[index]
        if not ended or not min_words <= words <= max_words:
            continue
        if novelty is not None and not novelty.is_novel(tokens):
            continue
        return tokens
    return None


def generate_sentence(
    chain: Any,
    rng: random.Random,
    *,
    start: Sequence[Hashable] | None = None,
    min_words: int = 1,
    max_words: int = 100,
    tries: int = 10,
    novelty: Any = None,
) -> list[Hashable] | None:
    """Walk the chain from a sentence's start to its end; the tokens in between.

    The walk starts from the boundary state, or from the state after the
    tokens of ``start`` (the sentence begins with them; fewer than the order
    are padded with ``None`` on the left; ``UnknownStart`` when the chain has
    no such state). At each state it picks a next start with ``choose(rng)``,
    takes its tokens and stops at ``None``. A walk that holds more than
    ``max_words`` words (tokens with a letter or digit) or more than
    ``4 * max_words + 16`` tokens, that reaches a state without a bag or an
    empty next start, or whose sentence has fewer than ``min_words`` words or
    is not ``novelty.is_novel``, is dropped and walked again, up to ``tries``
    walks in all; then the result is None. A sentence is never cut off.
    """
    _check_count("min_words", min_words, 0)
    _check_count("max_words", max_words, min_words)
    _check_count("tries", tries, 0)
    begun = _walk_state(chain, start)
    if begun is None:
        return None
    state, prefix = begun
    if type(chain) is Chain:
        return _chain.generate_sentence(chain, rng, state, prefix, min_words, max_words, tries, novelty)
    return _generate(chain, rng, state, prefix, min_words, max_words, tries, novelty)


_FULL_WIDTH = frozenset(_CJK_STOPS + _CJK_CLAUSE + _CJK_OPENERS + _CJK_CLOSERS)
_NO_SPACE_BEFORE = frozenset(_STOPS + _CLAUSE + _CLOSERS + _CJK_OPENERS)
_NO_SPACE_AFTER = frozenset(_OPENERS) | _FULL_WIDTH


def format_sentence(tokens: Iterable[Hashable]) -> str:
    """Join tokens as people write: punctuation attached, quotes paired.

    No space before ``, . ; : ) ] } ! ? …`` and closing quotes, none after
    an opening bracket or quote, none around CJK punctuation. A ``"`` or
    ``'`` opens a quotation when none of its kind is open, and closes it
    otherwise.
    """
    parts: list[str] = []
    open_quotes: set[str] = set()
    glue_next = True  # no space before the next token
    for token in tokens:
        word = str(token)
        first = word[:1]
        if first in _QUOTES and len(word) == 1:
            opening = word not in open_quotes
            if opening:
                open_quotes.add(word)
            else:
                open_quotes.discard(word)
            if not glue_next and opening:
                parts.append(" ")
            parts.append(word)
            glue_next = opening
            continue
        if not glue_next and first not in _NO_SPACE_BEFORE:
            parts.append(" ")
        parts.append(word)
        glue_next = word[-1:] in _NO_SPACE_AFTER
    return "".join(parts)
