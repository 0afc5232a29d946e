"""``tesmo train``: train a chain on text files and save it, or add to a model."""

from __future__ import annotations

import argparse
from collections.abc import Iterator, Sequence

from tesmo import train as text_model
from tesmo.chain import Chain
from tesmo.cli.errors import PROG, CommandError, first_line, os_error, shown
from tesmo.cli.models import describe, load_models, refuse_overwriting, save_model, total_size
from tesmo.cli.progress import Bar, Options
from tesmo.cli.workers import WorkerPool
from tesmo.shards import SHARD_SIZE, Shard, ShardResult, train_files
from tesmo.streams import CompressionUnavailable, input_size, open_input
from tesmo.train import Utf8Text, train_text


class _CorpusReader:
    """The corpora as texts for the tokenizer, read here one after another."""

    def __init__(self, paths: Sequence[str], bar: Bar) -> None:
        self.texts: list[tuple[str, Utf8Text]] = []
        self.current = ""
        self._paths = paths
        self._bar = bar

    def __iter__(self) -> Iterator[Utf8Text]:
        for number, path in enumerate(self._paths, 1):
            self.current = path
            self._bar.describe(f"reading {number}/{len(self._paths)} {shown(path)}")
            with open_input(path, self._bar.update) as file:
                text = Utf8Text(file)
                self.texts.append((path, text))
                yield text


def _train_here(paths: Sequence[str], order: int, bar: Bar) -> tuple[Chain, list[tuple[str, int]]]:
    reader = _CorpusReader(paths, bar)
    try:
        chain = train_text(Chain(), reader, order)
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except (OSError, EOFError) as exc:
        raise CommandError(
            f"cannot read {shown(reader.current)}: {getattr(exc, 'strerror', None) or first_line(exc)}"
        ) from exc
    return chain, [(path, text.replaced) for path, text in reader.texts]


def _train_in_pool(
    paths: Sequence[str], order: int, jobs: int, shard_size: int, bar: Bar
) -> tuple[Chain, list[tuple[str, int]]]:
    replaced: dict = {}
    joined = [0]

    def on_shard(shard: Shard, result: ShardResult) -> None:
        joined[0] += 1
        bar.describe(f"training {joined[0]} shards, at {shown(shard[-1].path)}")
        for piece, count in zip(shard, result.replaced, strict=False):
            replaced[piece.path] = replaced.get(piece.path, 0) + count
        bar.update(result.size)

    # The calling process trains the first shard itself.
    pool = WorkerPool(jobs - 1)
    try:
        chain = train_files(paths, order, pool, shard_size, on_shard)
    except BaseException:
        pool.shutdown(cancel_futures=True)
        raise
    pool.shutdown()
    return chain, list(replaced.items())


def _shard_size(paths: Sequence[str], jobs: int, given: int | None, bar: Bar) -> int:
    if given is not None:
        return given
    # One shard per job costs the least in chains to send back and join; a
    # shown bar moves only as shards are joined, so then a few per job. A
    # cap keeps the work even on large corpora.
    total = sum(input_size(path) or 0 for path in paths)
    shards = jobs * (4 if bar.wanted else 1)
    return max(1 << 20, min(SHARD_SIZE, -(-total // shards)))


def _order_of(chain: Chain) -> int | None:
    """The order of a trained chain, None for an empty one."""
    order_of = getattr(text_model, "chain_order", None)
    if order_of is not None:
        return order_of(chain)  # type: ignore[no-any-return]
    for _, bag in chain.items():
        for next_start, _ in bag.choices():
            return len(next_start)
    return None


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
    for directory, count in args.left_out:
        files = "1 file that is" if count == 1 else f"{count:,} files that are"
        opts.say(f"{PROG}: {directory}: left out {files} not text")
    order, coded, base = args.order, args.coded, None
    if args.into is not None:
        base = Chain()
        head = load_models([args.into], base, opts)[0]
        known = _order_of(base)
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
                chain, replaced = _train_in_pool(args.corpus, order, args.jobs, shard_size, bar)
            except OSError as exc:
                raise os_error("read", exc.filename or "a corpus", exc) from exc
        else:
            chain, replaced = _train_here(args.corpus, order, bar)
    finally:
        bar.close()
    for path, count in replaced:
        if count:
            opts.say(
                f"{PROG}: {shown(path)}: replaced {count:,} undecodable byte{'s' if count != 1 else ''} with U+FFFD"
            )
    if not len(chain):
        raise CommandError(f"found no sentence to train on in {_named(args.corpus)}")
    if base is not None:
        _add_chain(base, chain)
        chain = base
    save_model(output, chain, coded, opts, args.compact)
    opts.say(describe(output, chain, coded))
    return 0
