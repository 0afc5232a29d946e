"""``tesmo merge``: add the counts of several documents into one."""

from __future__ import annotations

import argparse
from itertools import islice

from tesmo.chain import Chain
from tesmo.cli.errors import CommandError, shown
from tesmo.cli.models import describe, load_models, model_order, refuse_overwriting, save_model
from tesmo.cli.progress import Options


class OneOrder:
    """Refuses to merge a model whose order differs from that of the models before it.

    A model of another order shares no start with the chain so far, so its
    starts are all new: those after the ones the chain held before it.
    """

    def __init__(self, chain: Chain) -> None:
        self._chain = chain
        self._seen = 0
        self._first: tuple[str, int] | None = None

    def __call__(self, path: str) -> None:
        new_starts = list(islice(self._chain, self._seen, None))
        self._seen += len(new_starts)
        order = model_order(new_starts, path)
        if order is None:
            return
        if self._first is None:
            self._first = (path, order)
            return
        first, known = self._first
        if order != known:
            raise CommandError(
                f"{shown(first)} is a chain of order {known}, {shown(path)} of order {order}; "
                "merge needs models of one order"
            )


def cmd_merge(args: argparse.Namespace, opts: Options) -> int:
    """Add the counts of several documents into one."""
    refuse_overwriting(args.inputs, args.output)
    chain = Chain()
    load_models(args.inputs, chain, opts, merge=True, loaded=OneOrder(chain))
    coded = args.coded is not False
    save_model(args.output, chain, coded, opts)
    opts.say(describe(args.output, chain, coded))
    return 0
