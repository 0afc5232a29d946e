"""``tesmo convert``: rewrite a document compressed or plain (in place too)."""

from __future__ import annotations

import argparse

from tesmo.chain import Chain
from tesmo.cli.models import describe, load_models, save_model
from tesmo.cli.progress import Options


def cmd_convert(args: argparse.Namespace, opts: Options) -> int:
    """Rewrite a document with the streaming writer, by default as the other kind."""
    chain = Chain()
    head = load_models([args.input], chain, opts)[0]
    compress = not head.compressed if args.compress is None else args.compress
    save_model(args.output, chain, compress, opts)
    opts.say(describe(args.output, chain, compress))
    return 0
