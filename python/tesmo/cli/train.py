"""``tesmo train``: train a chain on text files and save it, or add to a model."""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from tesmo.chain import Chain
from tesmo.cli.corpora import CorpusReader, left_out_warnings, reading_warnings
from tesmo.cli.errors import CommandError, os_error, shown
from tesmo.cli.models import describe, load_models, model_order, refuse_overwriting, save_model, total_size
from tesmo.cli.progress import Bar, Options
from tesmo.cli.workers import WorkerPool
from tesmo.shards import SHARD_SIZE, Shard, ShardResult, train_files
from tesmo.streams import input_size
from tesmo.train import train_text


def _train_here(paths: Sequence[str], order: int, bar: Bar) -> tuple[Chain, list[tuple[str, int, int]]]:
    reader = CorpusReader(paths, bar)
    with reader.errors():
        chain = train_text(Chain(), reader, order)
    return chain, reader.counts()


def _train_in_pool(
    paths: Sequence[str], order: int, jobs: int, shard_size: int, bar: Bar
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
        bar.update(result.size)

    # The calling process trains the first shard itself.
    pool = WorkerPool(jobs - 1)
    try:
        chain = train_files(paths, order, pool, shard_size, on_shard)
    except BaseException:
        pool.shutdown(cancel_futures=True)
        raise
    pool.shutdown()
    return chain, [(path, replaced, split) for path, (replaced, split) in counts.items()]


def _shard_size(paths: Sequence[str], jobs: int, given: int | None, bar: Bar) -> int:
    if given is not None:
        return given
    # One shard per job costs the least in chains to send back and join; a
    # shown bar moves only as shards are joined, so then a few per job. A
    # cap keeps the work even on large corpora.
    total = sum(input_size(path) or 0 for path in paths)
    shards = jobs * (4 if bar.wanted else 1)
    return max(1 << 20, min(SHARD_SIZE, -(-total // shards)))


def _add_chain(chain: Chain, added: Chain) -> None:
    """Add the counts of ``added`` to ``chain``, as merging their documents does."""
    add_to_bag = chain.add_to_bag
    for start, bag in added.items():
        for next_start, count in bag.choices():
            add_to_bag(start, next_start, count)


def _named(paths: Sequence[str]) -> str:
    if len(paths) > 3:
        return f"{len(paths):,} files"
    return ", ".join(shown(path) for path in paths)


def cmd_train(args: argparse.Namespace, opts: Options) -> int:
    """Train a chain on text files and save it, or add what it learns to a model."""
    output = args.output or args.into
    refuse_overwriting(args.corpus, output)
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
    if args.jobs > 1:
        # Moved only as shards are joined, in a few large steps, the bar has
        # no recent speed to show: it shows the speed over the whole run.
        bar.smoothing = 0
    try:
        if args.jobs > 1:
            shard_size = _shard_size(args.corpus, args.jobs, args.shard_size, bar)
            try:
                chain, counts = _train_in_pool(args.corpus, order, args.jobs, shard_size, bar)
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
        _add_chain(base, chain)
        chain = base
    save_model(output, chain, coded, opts, args.compact)
    opts.say(describe(output, chain, coded))
    return 0
