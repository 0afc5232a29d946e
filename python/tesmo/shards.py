"""Training on corpora cut into shards, in any ``concurrent.futures.Executor``.

A shard is a run of pieces: whole files, or byte ranges of a large file that
end right after a sentence end (a stop, any closing quotes, then a space or
line break). Each shard is trained as a chain of its own, wherever the
executor runs it; what crosses to a worker is the shard (paths and byte
ranges) and the order, and what comes back is the shard's chain, as plain
lists of its starts and choices (which pickle many times faster than the
chain object). The shards are then joined in their order into the chain
that one process would have trained on all the files, equal in its counts
and in the order of its starts and choices, so its documents are the same
bytes.

Joining in order works because training makes the windows of each sentence
on its own and the chain keeps first-seen order: adding the choices of
shard 1, then those of shard 2, and so on, adds them exactly as one pass
over the sentences does. A range ends only where the sentence before it
certainly ends, so no sentence is cut in two.
"""

from __future__ import annotations

import multiprocessing
import os
import re
import signal
import stat
from collections.abc import Callable, Hashable, Iterator, Sequence
from concurrent.futures import Executor, Future
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, BinaryIO

from tesmo.chain import Chain
from tesmo.streams import STDIO, Counted, compression_of, open_input
from tesmo.train import ABBREVIATIONS, CHUNK_SIZE, Utf8Text, train_text

SHARD_SIZE = 64 << 20

# Where a byte range may end without changing a single token: after a stop
# that certainly ends a sentence, any closing quotes or brackets, and one
# ASCII space or line break. A single "." counts only after a word of two
# ASCII letters or more that is no abbreviation (the "." of "Mr.", "J." and
# a numbered clause "7." ends nothing); "!", "?", "…", CJK stops and runs of
# stops always end one. A range that ends there leaves the tokenizer between
# sentences, so the ranges tokenized one by one give the tokens of the whole
# text; and an ASCII byte never splits a UTF-8 character.
_CUT = re.compile(
    rb"(?:[!?]|(?<=[.!?])\.|(?<![A-Za-z])(?P<word>[A-Za-z]{2,})\.|\xe2\x80\xa6|\xe3\x80\x82|\xef\xbc[\x81\x9f])"
    rb"(?:[\"')\]}]|\xe2\x80[\x99\x9d])*[ \t\n\r\x0b\x0c]"
)
_SCAN = 1 << 16


@dataclass(frozen=True)
class Piece:
    """Bytes ``start`` up to ``stop`` (None: the end) of the file ``path``."""

    path: str
    start: int = 0
    stop: int | None = None


Shard = tuple[Piece, ...]


Entries = list[tuple[Hashable, list[tuple[tuple[Hashable, ...], Any]]]]


@dataclass
class ShardResult:
    """A shard's chain, with what the join needs from its token stream."""

    entries: Entries  # the chain's starts, each with its choices, in the chain's order
    replaced: tuple[int, ...]  # bytes that were not UTF-8, per piece
    size: int  # bytes read
    split: tuple[int, ...] = ()  # tokens cut at the tokenizer's cap, per piece


def _cuts(data: bytes, whole: bool = True) -> Iterator[int]:
    """The places in ``data`` where a range may end, from the first on.

    Unless ``data`` starts where the file does (``whole``), a word at its
    very start may go on before it, and its dot is not trusted.
    """
    for match in _CUT.finditer(data):
        word = match.group("word")
        if word is not None and (match.start() == 0 and not whole or word.decode().lower() in ABBREVIATIONS):
            continue
        yield match.end()


def _next_cut(file: BinaryIO, offset: int) -> int | None:
    """The first place at or after ``offset`` where a range may end, or None."""
    file.seek(offset)
    window = b""
    base = offset
    while True:
        block = file.read(_SCAN)
        if not block:
            return None
        window += block
        for cut in _cuts(window, base == 0):
            return base + cut
        # Keep a little of the end: a cut may straddle the two blocks.
        keep = min(len(window), 64)
        base += len(window) - keep
        window = window[-keep:]


def file_pieces(path: str, shard_size: int) -> list[tuple[Piece, int]]:
    """Cut ``path`` into ranges of about ``shard_size`` bytes at sentence ends.

    Returns each range with its size. A compressed file stays whole, and so
    does a file without a sentence end after a cut's place.
    """
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if compression_of(path) is not None:
            return [(Piece(path), size)]
        pieces: list[tuple[Piece, int]] = []
        start = 0
        while size - start > shard_size:
            cut = _next_cut(file, start + shard_size)
            if cut is None or cut >= size:
                break
            pieces.append((Piece(path, start, cut), cut - start))
            start = cut
    pieces.append((Piece(path, start, None), size - start))
    return pieces


def _read_here(path: str) -> bool:
    """Stdin, a pipe or a device: something a worker elsewhere cannot read."""
    return path == STDIO or not stat.S_ISREG(os.stat(path).st_mode)


def plan_shards(paths: Sequence[str], shard_size: int = SHARD_SIZE) -> list[Shard]:
    """Cut the corpora into shards of about ``shard_size`` bytes, in order.

    Large files are cut at sentence ends; small ones are grouped, whole, in
    one shard. Stdin, a pipe or a device is a shard of its own, which the
    calling process reads.
    """
    if shard_size < 1:
        raise ValueError("shard_size must be at least 1")
    shards: list[Shard] = []
    current: list[Piece] = []
    filled = 0
    for path in paths:
        if _read_here(path):
            pieces = [(Piece(path), shard_size + 1)]  # a shard of its own
        else:
            pieces = file_pieces(path, shard_size)
        for piece, size in pieces:
            if current and filled + size > shard_size:
                shards.append(tuple(current))
                current, filled = [], 0
            current.append(piece)
            filled += size
    if current:
        shards.append(tuple(current))
    return shards


class _Range:
    """Reads at most ``length`` bytes (None: all the rest) of a binary file."""

    def __init__(self, file: BinaryIO, length: int | None) -> None:
        self._file = file
        self._left = length

    def read(self, size: int = -1) -> bytes:
        if self._left is None:
            return self._file.read(size)
        if size < 0 or size > self._left:
            size = self._left
        data = self._file.read(size)
        self._left -= len(data)
        return data


@contextmanager
def _open_piece(piece: Piece, on_read: Callable[[int], None]) -> Iterator[Any]:
    if piece.start == 0 and piece.stop is None:
        with open_input(piece.path, on_read) as file:
            yield file
        return
    # Only an uncompressed regular file is cut into ranges.
    with open(piece.path, "rb") as file:
        file.seek(piece.start)
        yield Counted(_Range(file, None if piece.stop is None else piece.stop - piece.start), on_read)


def _texts(shard: Shard, on_read: Callable[[int], None], chunk_size: int = CHUNK_SIZE) -> Iterator[Utf8Text]:
    for piece in shard:
        with _open_piece(piece, on_read) as file:
            yield Utf8Text(file, chunk_size)


def _trained(shard: Shard, order: int) -> tuple[Chain, ShardResult]:
    """The chain of ``order`` of one shard, and the result without its entries."""
    read = [0]
    texts: list[Utf8Text] = []

    def count(size: int) -> None:
        read[0] += size

    def sources() -> Iterator[Utf8Text]:
        for text in _texts(shard, count):
            texts.append(text)
            yield text

    chain = train_text(Chain(), sources(), order)
    return chain, ShardResult(
        [], tuple(text.replaced for text in texts), read[0], tuple(text.split_tokens for text in texts)
    )


def train_shard(shard: Shard, order: int) -> ShardResult:
    """Train a chain of ``order`` on one shard: the work a worker does."""
    chain, result = _trained(shard, order)
    result.entries = [(start, list(bag.choices())) for start, bag in chain.items()]
    return result


def add_entries(chain: Chain, entries: Entries) -> None:
    """Add the counts of ``entries`` to ``chain``, starts and choices in their order."""
    add_to_bag = chain.add_to_bag
    for start, choices in entries:
        for next_start, count in choices:
            add_to_bag(start, next_start, count)


class ShardJoin:
    """Joins shard results, given in shard order, into one chain."""

    def __init__(self, order: int) -> None:
        if order < 1:
            raise ValueError("order must be at least 1")
        self.chain = Chain()
        self._order = order
        self._joined = False

    def begin(self, chain: Chain, result: ShardResult) -> None:
        """Take the chain of the first shard, trained here, as the chain so far."""
        if self._joined or len(self.chain):
            raise ValueError("the first shard's chain comes before any other shard")
        self.chain = chain
        self._joined = True

    def add(self, result: ShardResult) -> None:
        """Add the shard's choices, after those of the shards before it."""
        add_entries(self.chain, result.entries)
        self._joined = True


def _worker_signals() -> None:
    # Ctrl-C reaches the whole process group; it is for the process that
    # joins. SIGTERM, which stops a worker, must not run a handler that a
    # forked worker inherited from its parent.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


class ProcessPool(Executor):
    """An executor of worker processes that can be stopped at once.

    ``shutdown(cancel_futures=True)`` ends the workers even in the middle of
    a shard, so that Ctrl-C does not wait for them; they ignore Ctrl-C
    themselves.
    """

    def __init__(self, processes: int) -> None:
        self._pool = multiprocessing.Pool(processes, initializer=_worker_signals)

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future:  # type: ignore[override]
        future: Future = Future()
        future.set_running_or_notify_cancel()
        self._pool.apply_async(fn, args, kwargs, callback=future.set_result, error_callback=future.set_exception)
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        if cancel_futures:
            self._pool.terminate()
        else:
            self._pool.close()
        if wait or cancel_futures:
            self._pool.join()


def _trained_here(shard: Shard) -> bool:
    return any(_read_here(piece.path) for piece in shard)


def train_files(
    paths: Sequence[str],
    order: int = 2,
    executor: Executor | None = None,
    shard_size: int = SHARD_SIZE,
    on_shard: Callable[[Shard, ShardResult], None] | None = None,
) -> Chain:
    """Train a chain of ``order`` on the files ``paths`` ("-": stdin), shard by shard.

    The first shard is trained here, while ``executor`` (anything whose
    ``submit`` returns a future: a process pool, a cluster client's executor)
    trains the others; without an executor they are trained here one after
    the other, and stdin always is. ``on_shard`` is called with every shard
    and its result as it is joined. The chain equals the one ``train_text``
    makes of all the files in one pass.
    """
    join = ShardJoin(order)
    shards = plan_shards(paths, shard_size)
    futures: list[Future | None] = [None]
    try:
        for shard in shards[1:]:
            local = executor is None or _trained_here(shard)
            futures.append(None if local else executor.submit(train_shard, shard, order))
        for index, (shard, future) in enumerate(zip(shards, futures, strict=False)):
            if index == 0:
                chain, result = _trained(shard, order)
                join.begin(chain, result)
            else:
                result = train_shard(shard, order) if future is None else future.result()
                join.add(result)
            if on_shard is not None:
                on_shard(shard, result)
    finally:
        for future in futures:
            if future is not None:
                future.cancel()
    return join.chain
