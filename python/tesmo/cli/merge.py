"""``tesmo merge``: add the counts of several documents into one."""

from __future__ import annotations

import argparse

from tesmo.chain import Chain
from tesmo.cli.models import describe, load_models, refuse_overwriting, save_model
from tesmo.cli.progress import Options


def cmd_merge(args: argparse.Namespace, opts: Options) -> int:
    """Add the counts of several documents into one."""
    refuse_overwriting(args.inputs, args.output)
    chain = Chain()
    load_models(args.inputs, chain, opts, merge=True)
    coded = args.coded is not False
    save_model(args.output, chain, coded, opts)
    opts.say(describe(args.output, chain, coded))
    return 0
