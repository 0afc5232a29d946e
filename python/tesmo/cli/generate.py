"""``tesmo generate``: print sentences walked from a saved chain."""

from __future__ import annotations

import argparse
import random
from collections.abc import Iterator

from tesmo.chain import Chain
from tesmo.cli.errors import CommandError, shown
from tesmo.cli.models import load_models
from tesmo.cli.output import emit
from tesmo.cli.progress import Options
from tesmo.train import format_sentence, generate_sentence


def sentences(chain: Chain, count: int, seed: int | None, path: str) -> Iterator[str]:
    if None not in chain:
        raise CommandError(f"{shown(path)} holds no sentence to start from")
    rng = random.Random(seed)
    for _ in range(count):
        yield format_sentence(generate_sentence(chain, rng))


def cmd_generate(args: argparse.Namespace, opts: Options) -> int:
    """Print sentences walked from a saved chain."""
    chain = Chain()
    load_models([args.model], chain, opts)
    for sentence in sentences(chain, args.sentences, args.seed, args.model):
        emit(sentence)
    return 0
