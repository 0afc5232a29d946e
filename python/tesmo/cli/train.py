"""``tesmo train``: train a chain on text files and save it, or add to a model."""

from __future__ import annotations

import argparse
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor
from contextlib import contextmanager
from typing import Any

from tesmo.chain import Chain
from tesmo.cli.corpora import CorpusReader, left_out_warnings, reading_warnings
from tesmo.cli.errors import CommandError, first_line, os_error, shown
from tesmo.cli.models import describe, load_models, model_order, refuse_overwriting, save_model, total_size
from tesmo.cli.progress import Bar, Options
from tesmo.cli.workers import WorkerPool
from tesmo.shards import SHARD_SIZE, Shard, ShardResult, add_chain, train_files, worth_sharing
from tesmo.streams import input_size
from tesmo.train import train_text


def _train_here(paths: Sequence[str], order: int, bar: Bar) -> tuple[Chain, list[tuple[str, int, int]]]:
    reader = CorpusReader(paths, bar)
    with reader.errors():
        chain = train_text(Chain(), reader, order)
    return chain, reader.counts()


def _train_sharded(
    paths: Sequence[str],
    order: int,
    executor: Executor,
    workers: int,
    shard_size: int,
    always_parallel: bool,
    bar: Bar,
) -> tuple[Chain, list[tuple[str, int, int]]]:
    counts: dict[str, list[int]] = {}
    joined = [0]

    def on_shard(shard: Shard, result: ShardResult) -> None:
        joined[0] += 1
        bar.describe(f"training {joined[0]} shards, at {shown(shard[-1].path)}")
        splits = result.split or (0,) * len(shard)
        for piece, replaced, split in zip(shard, result.replaced, splits, strict=True):
            total = counts.setdefault(piece.path, [0, 0])
            total[0] += replaced
            total[1] += split
        if result.snapshot is not None:  # a shard trained here moved the bar as it was read
            bar.update(result.size)

    try:
        chain = train_files(paths, order, executor, shard_size, on_shard, workers, always_parallel, bar.update)
    except BaseException:
        executor.shutdown(cancel_futures=True)
        raise
    executor.shutdown()
    return chain, [(path, replaced, split) for path, (replaced, split) in counts.items()]


def _shard_size(paths: Sequence[str], workers: int, given: int | None) -> int:
    if given is not None:
        return given
    # A few shards per process: this process takes a first run of them, as
    # long as keeps it as busy as the workers, and joins each worker's shard
    # while they train the next. A cap keeps the work even on large corpora.
    total = sum(input_size(path) or 0 for path in paths)
    return max(1 << 20, min(SHARD_SIZE, -(-total // ((workers + 1) * 4))))


_CONNECT_TIMEOUT = "10s"


@contextmanager
def _cluster(address: str | None) -> Iterator[Any]:
    """A client of the Dask scheduler at ``address`` (None: no cluster), closed at the end.

    A one-line error without the dask extra, the scheduler or its workers.
    """
    if address is None:
        yield None
        return
    try:
        from distributed import Client  # type: ignore[import-not-found,import-untyped,unused-ignore]
    except ImportError:
        raise CommandError("--scheduler needs the dask extra (pip install 'tesmo[dask]')") from None
    # Made and started apart, so that a client that failed to connect can
    # be closed at once: left to its finaliser, it would hold the exit up
    # for a while and print a traceback.
    client = Client.__new__(Client)
    try:
        client.__init__(address, timeout=_CONNECT_TIMEOUT, set_as_default=False)
    except (OSError, TimeoutError, ValueError, TypeError) as exc:
        client.close(timeout=1)
        reason = first_line(exc) or type(exc).__name__
        raise CommandError(f"cannot reach the scheduler at {address}: {reason}") from exc
    try:
        if not client.nthreads():
            raise CommandError(f"the scheduler at {address} has no workers")
        yield client
    finally:
        client.close()


def _named(paths: Sequence[str]) -> str:
    if len(paths) > 3:
        return f"{len(paths):,} files"
    return ", ".join(shown(path) for path in paths)


def cmd_train(args: argparse.Namespace, opts: Options) -> int:
    """Train a chain on text files and save it, or add what it learns to a model."""
    output = args.output or args.into
    refuse_overwriting(args.corpus, output)
    with _cluster(args.scheduler) as client:
        return _train(args, opts, output, client)


def _train(args: argparse.Namespace, opts: Options, output: str, client: Any) -> int:
    for line in left_out_warnings(args.left_out):
        opts.say(line)
    order, coded, base = args.order, args.coded, None
    if args.into is not None:
        base = Chain()
        head = load_models([args.into], base, opts)[0]
        known = model_order(base, args.into)
        if order is not None and known is not None and order != known:
            raise CommandError(f"{shown(args.into)} is a chain of order {known}; --order {order} cannot add to it")
        order = order or known
        coded = head.coded if coded is None else coded
    order = order or 2
    coded = coded is not False
    bar = opts.bar(total_size(args.corpus), "B", "reading")
    jobs = args.jobs or 1
    if jobs > 1 and args.shard_size is None and not worth_sharing(args.corpus):
        # Too little to share out: what one job does, without even cutting the corpora into shards.
        jobs = 1
    if jobs > 1 or client is not None:
        # Moved only as shards are joined, in a few large steps, the bar has
        # no recent speed to show: it shows the speed over the whole run.
        bar.smoothing = 0
    try:
        if jobs > 1 or client is not None:
            if client is not None:
                executor, workers = client.get_executor(), sum(client.nthreads().values())
            else:
                workers = jobs - 1
                executor = WorkerPool(workers)
            shard_size = _shard_size(args.corpus, workers, args.shard_size)
            try:
                chain, counts = _train_sharded(
                    args.corpus, order, executor, workers, shard_size, args.shard_size is not None, bar
                )
            except OSError as exc:
                raise os_error("read", exc.filename or "a corpus", exc) from exc
        else:
            chain, counts = _train_here(args.corpus, order, bar)
    finally:
        bar.close()
    for line in reading_warnings(counts):
        opts.say(line)
    if not len(chain):
        raise CommandError(f"found no sentence to train on in {_named(args.corpus)}")
    if base is not None:
        add_chain(base, chain)
        chain = base
    save_model(output, chain, coded, opts, args.compact)
    opts.say(describe(output, chain, coded))
    return 0
