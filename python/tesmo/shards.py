"""Training on corpora cut into shards, in any ``concurrent.futures.Executor``.

A shard is a run of pieces: whole files, or byte ranges of a large file that
end right after a sentence end (a stop, any closing quotes, then a space or
line break). What crosses to a worker is the shard (paths and byte ranges)
and the order; what comes back is the shard's chain as its snapshot (the
chain's values once and its choices as arrays of ids and counts, in bytes),
which this process adds natively to the chain it builds (``_chain.join``).
This process trains a first share of the shards itself, straight into that
chain, while the workers train the rest; the share leaves it as busy with
training and joining as each worker is with training. The chain equals the
one that one process would have trained on all the files, in its counts and
in the order of its starts and choices, so its documents are the same bytes.

Joining in order works because training makes the windows of each sentence
on its own and the chain keeps first-seen order: adding the choices of
shard 1, then those of shard 2, and so on, adds them exactly as one pass
over the sentences does. A range ends only where the sentence before it
certainly ends, so no sentence is cut in two.

Parallel training pays only from a size on: starting the workers, sending
the chains back and joining them cost more than they save on a small
corpus. Below ``PARALLEL_MIN`` bytes, or when the shards cannot be shared
out so that the work ends sooner (one large compressed file, say), every
shard is trained here, one after the other.
"""

from __future__ import annotations

import multiprocessing
import re
import signal
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, Future
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, BinaryIO

from tesmo import _chain
from tesmo.chain import Chain
from tesmo.streams import STDIO, Counted, compression_of, input_size, is_url, open_input, open_stored
from tesmo.train import ABBREVIATIONS, CHUNK_SIZE, Utf8Text, train_text

SHARD_SIZE = 64 << 20

# Measured on varied text of 2 to 300 MB (bench/shards.py, two cores): below
# about this many bytes one process is done first, whatever the jobs (at 16
# and 24 MB two jobs took 4% and 3% longer than one, at 32 MB 14% less). It
# rises as training gets faster: starting a worker and joining its chain
# cost the same time, and that time trains more bytes.
PARALLEL_MIN = 32 << 20
# What the work of a shard costs besides training it, as a share of the
# time training it takes: a worker making and sending the snapshot, this
# process joining it; and what starting the workers and each shard's round
# trip cost, as bytes of training. Compressed bytes take this many times as
# long to train as plain ones.
SEND_COST = 0.03
JOIN_COST = 0.08
START_BYTES = 1 << 20
SHARD_BYTES = 64 << 10
COMPRESSED_COST = 4

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


@dataclass
class ShardResult:
    """What training a shard gave: its chain's snapshot (None for a shard trained here), and what reading it changed."""

    snapshot: tuple[bytes, tuple[Any, ...]] | None  # _chain.snapshot() of the shard's chain
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
    size = input_size(path) or 0
    if compression_of(path) is not None:
        return [(Piece(path), size)]
    pieces: list[tuple[Piece, int]] = []
    start = 0
    if size - start > shard_size:
        with open_stored(path) as file:
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
    return path == STDIO or (not is_url(path) and input_size(path) is None)


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
    # Only an uncompressed file is cut into ranges.
    with open_stored(piece.path) as file:
        file.seek(piece.start)
        yield Counted(_Range(file, None if piece.stop is None else piece.stop - piece.start), on_read)


class _Reading:
    """The texts of a shard for the tokenizer, and what reading them changed."""

    def __init__(self, shard: Shard, on_read: Callable[[int], None] | None = None) -> None:
        self._shard = shard
        self._on_read = on_read
        self.texts: list[Utf8Text] = []
        self.size = 0

    def _count(self, size: int) -> None:
        self.size += size
        if self._on_read is not None:
            self._on_read(size)

    def __iter__(self) -> Iterator[Utf8Text]:
        for piece in self._shard:
            with _open_piece(piece, self._count) as file:
                text = Utf8Text(file, CHUNK_SIZE)
                self.texts.append(text)
                yield text

    def result(self, snapshot: tuple[bytes, tuple[Any, ...]] | None) -> ShardResult:
        return ShardResult(
            snapshot,
            tuple(text.replaced for text in self.texts),
            self.size,
            tuple(text.split_tokens for text in self.texts),
        )


def train_shard(shard: Shard, order: int) -> ShardResult:
    """Train a chain of ``order`` on one shard and take its snapshot: the work a worker does."""
    reading = _Reading(shard)
    chain = train_text(Chain(), reading, order)
    return reading.result(_chain.snapshot(chain))


def train_shard_into(
    chain: Chain, shard: Shard, order: int, on_read: Callable[[int], None] | None = None
) -> ShardResult:
    """Train ``chain`` further on one shard, as joining the shard's own chain to it would."""
    reading = _Reading(shard, on_read)
    train_text(chain, reading, order)
    return reading.result(None)


def add_chain(chain: Chain, source: Any) -> None:
    """Add every choice of ``source`` (a chain or a chain's snapshot) to ``chain``, in order.

    As ``chain.add_to_bag(start, next_start, count)`` for each choice of
    ``source`` as it is now; natively for a ``Chain`` and a snapshot.
    """
    _chain.join(chain, source)


def _worker_signals() -> None:
    # Ctrl-C reaches the whole process group; it is for the process that
    # joins. SIGTERM, which stops a worker, must not run a handler that a
    # forked worker inherited from its parent.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


class ProcessPool(Executor):
    """An executor of worker processes that can be stopped at once.

    The processes start with the first task submitted, so that a run that
    ends up training in one process starts none. ``shutdown(cancel_futures=True)``
    ends the workers even in the middle of a shard, so that Ctrl-C does not
    wait for them; they ignore Ctrl-C themselves.
    """

    def __init__(self, processes: int) -> None:
        self._processes = processes
        self._pool: Any = None

    def _start_pool(self) -> Any:
        return multiprocessing.Pool(self._processes, initializer=_worker_signals)

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future:  # type: ignore[override]
        if self._pool is None:
            self._pool = self._start_pool()
        future: Future = Future()
        future.set_running_or_notify_cancel()
        self._pool.apply_async(fn, args, kwargs, callback=future.set_result, error_callback=future.set_exception)
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        if self._pool is None:
            return
        if cancel_futures:
            self._pool.terminate()
        else:
            self._pool.close()
        if wait or cancel_futures:
            self._pool.join()


def _trained_here(shard: Shard) -> bool:
    return any(_read_here(piece.path) for piece in shard)


def _cost(shard: Shard) -> int:
    """About how long a shard takes to train, in bytes of plain text."""
    total = 0
    for piece in shard:
        if piece.start or piece.stop is not None:
            total += (piece.stop or input_size(piece.path) or 0) - piece.start
        else:
            size = input_size(piece.path) or 0
            total += size * (COMPRESSED_COST if compression_of(piece.path) is not None else 1)
    return total


def worth_sharing(paths: Sequence[str]) -> bool:
    """Whether the corpora ``paths`` come to ``PARALLEL_MIN`` bytes of training; below it one process is done first."""
    return sum(_cost((Piece(path),)) for path in paths) >= PARALLEL_MIN


def _finish_time(costs: Sequence[int], here: Sequence[bool], workers: int) -> float:
    """When a plan would end, in bytes of training: this process trains its shards and joins the others in
    order, as the workers, taking the shards in order as they come free, finish them."""
    free = [float(START_BYTES)] * workers
    done: dict[int, float] = {}
    for index, cost in enumerate(costs):
        if not here[index]:
            worker = min(range(workers), key=free.__getitem__)
            free[worker] += cost * (1 + SEND_COST) + SHARD_BYTES
            done[index] = free[worker]
    now = 0.0
    for index, cost in enumerate(costs):
        now = now + cost if here[index] else max(now, done[index]) + cost * JOIN_COST
    return now


def plan_here(shards: Sequence[Shard], workers: int, always_parallel: bool = False) -> list[bool]:
    """For each shard, whether this process trains it: a first run of them, and those only it can read.

    The first run is as long as makes the work end soonest, by what training,
    sending and joining cost (``_finish_time``). Every shard is trained here
    when the corpora are smaller than ``PARALLEL_MIN`` or when sharing them
    out would not end sooner, unless ``always_parallel``.
    """
    costs = [_cost(shard) for shard in shards]
    total = sum(costs)
    forced = [_trained_here(shard) for shard in shards]
    if workers < 1 or not shards:
        return [True] * len(shards)
    # Past a few hundred shards a shorter search: the first runs that end
    # soonest lie near the share that keeps this process as busy as a worker.
    count = len(shards)
    step = max(1, count // 256)
    best, best_time = forced, float("inf")
    for first in range(0, count + 1, step):
        here = [index < first or forced[index] for index in range(count)]
        finish = _finish_time(costs, here, workers)
        if finish < best_time:
            best, best_time = here, finish
    if always_parallel:
        if all(best) and count > 1:
            best = [index == 0 or forced[index] for index in range(count)]
        return best
    if total < PARALLEL_MIN or best_time >= total:
        return [True] * count
    return best


def train_files(
    paths: Sequence[str],
    order: int = 2,
    executor: Executor | None = None,
    shard_size: int = SHARD_SIZE,
    on_shard: Callable[[Shard, ShardResult], None] | None = None,
    workers: int = 1,
    always_parallel: bool = False,
    on_read: Callable[[int], None] | None = None,
) -> Chain:
    """Train a chain of ``order`` on the files ``paths`` ("-": stdin), shard by shard.

    ``executor`` (anything whose ``submit`` returns a future: a process
    pool, a cluster client's executor) trains shards, ``workers`` of them
    at once, while this process trains a first share itself and joins the
    others' chains in order (``plan_here``); without an executor every shard
    is trained here one after the other, and stdin always is. So is every
    shard of corpora under ``PARALLEL_MIN`` bytes, or when sharing them out
    would not end sooner, unless ``always_parallel``. ``on_shard`` is called
    with every shard and its result as it is joined, ``on_read`` with the
    size of every read of a shard trained here. The chain equals the one
    ``train_text`` makes of all the files in one pass.
    """
    if order < 1:
        raise ValueError("order must be at least 1")
    shards = plan_shards(paths, shard_size)
    here = plan_here(shards, workers if executor is not None else 0, always_parallel)
    chain = Chain()
    futures: list[Future | None] = []
    try:
        for shard, local in zip(shards, here, strict=True):
            futures.append(None if local else executor.submit(train_shard, shard, order))  # type: ignore[union-attr]
        for index, (shard, future) in enumerate(zip(shards, futures, strict=True)):
            if future is None:
                result = train_shard_into(chain, shard, order, on_read)
            else:
                result = future.result()
                futures[index] = None
                add_chain(chain, result.snapshot)
            if on_shard is not None:
                on_shard(shard, result)
    finally:
        for future in futures:
            if future is not None:
                future.cancel()
    return chain
