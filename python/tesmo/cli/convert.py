"""``tesmo convert``: rewrite a document coded or plain, compressed or not (in place too)."""

from __future__ import annotations

import argparse

from tesmo.chain import Chain
from tesmo.cli.models import describe, load_models, save_model
from tesmo.cli.progress import Options


def cmd_convert(args: argparse.Namespace, opts: Options) -> int:
    """Rewrite a document with the streaming writer, of the same kind unless asked for the other."""
    chain = Chain()
    head = load_models([args.input], chain, opts)[0]
    coded = head.coded if args.coded is None else args.coded
    save_model(args.output, chain, coded, opts)
    opts.say(describe(args.output, chain, coded))
    return 0
