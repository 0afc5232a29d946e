"""``tesmo generate``: print sentences walked from a saved chain."""

from __future__ import annotations

import argparse
import random
from collections.abc import Hashable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from tesmo.chain import Chain
from tesmo.cli.corpora import CorpusReader, left_out_warnings, reading_warnings
from tesmo.cli.errors import PROG, CommandError, say, shown
from tesmo.cli.models import load_models, model_order, total_size
from tesmo.cli.output import emit, flush_stdout
from tesmo.cli.progress import Options
from tesmo.train import Novelty, UnknownStart, format_sentence, generate_sentence, is_word, tokenize


@dataclass
class Walk:
    """What every sentence must be: how it begins, how many words it has, how novel it is."""

    start: list[Hashable] | None = None
    min_words: int = 1
    max_words: int = 100
    tries: int = 10
    novelty: Any = None


class Sentences:
    """Sentences walked from a model, counting those that could not be made."""

    def __init__(self, chain: Chain, path: str, walk: Walk) -> None:
        self.failed = 0
        self._chain = chain
        self._walk = walk
        order = model_order(chain, path)
        if walk.start is None:
            if order is None or (None if order == 1 else (None,) * order) not in chain:
                raise CommandError(f"{shown(path)} holds no sentence to start from")
            return
        try:
            # Only checks that the model has the state the words lead to.
            generate_sentence(chain, random.Random(), start=walk.start, tries=0)
        except UnknownStart as exc:
            if exc.padded:
                raise CommandError(f"no sentence of {shown(path)} begins with {format_sentence(exc.start)!r}") from None
            last = exc.start[-(order or 1) :]
            raise CommandError(f"no sentence of {shown(path)} goes on from {format_sentence(last)!r}") from None

    def walk(self, count: int, seed: int | None) -> Iterator[str]:
        rng = random.Random(seed)
        walk = self._walk
        for _ in range(count):
            tokens = generate_sentence(
                self._chain,
                rng,
                start=walk.start,
                min_words=walk.min_words,
                max_words=walk.max_words,
                tries=walk.tries,
                novelty=walk.novelty,
            )
            if tokens is None:
                self.failed += 1
            else:
                yield format_sentence(tokens)

    def report(self, count: int) -> int:
        """Say how many sentences could not be made; the status: 0, 1 when some were made, 2 when none."""
        if not self.failed:
            return 0
        tries = self._walk.tries
        within = f"in {tries:,} tr{'y' if tries == 1 else 'ies'}"
        if count == 1:
            say(f"{PROG}: error: the sentence could not be made {within}")
        elif self.failed == count:
            say(f"{PROG}: error: none of the {count:,} sentences could be made {within} each")
        else:
            say(f"{PROG}: error: {self.failed:,} of {count:,} sentences could not be made {within} each")
        return 2 if self.failed == count else 1


def start_tokens(words: str) -> list[Hashable]:
    """The tokens of ``--start``, as the tokenizer reads them in a text."""
    tokens = list(tokenize([[words]]))[1:]
    if tokens and tokens[-1] is None:
        tokens.pop()  # the words end a sentence: the model may go on from there
    if not tokens:
        raise CommandError(f"--start {words!r} holds no word to begin with")
    if None in tokens:
        raise CommandError(f"--start {words!r} holds more than one sentence")
    return tokens  # type: ignore[return-value]


def _novelty(paths: Sequence[str], overlap: int, opts: Options) -> Novelty:
    bar = opts.bar(total_size(paths), "B", "reading")
    reader = CorpusReader(paths, bar)
    try:
        with reader.errors():
            novelty = Novelty(reader, overlap)
    finally:
        bar.close()
    for line in reading_warnings(reader.counts()):
        opts.say(line)
    return novelty


def cmd_generate(args: argparse.Namespace, opts: Options) -> int:
    """Print sentences walked from a saved chain."""
    walk = Walk(None, args.min_words, args.max_words, args.tries)
    if args.start is not None:
        walk.start = start_tokens(args.start)
        words = sum(1 for token in walk.start if is_word(token))
        if words > walk.max_words:
            raise CommandError(f"--start holds {words:,} words, more than --max-words {walk.max_words:,}")
    chain = Chain()
    load_models([args.model], chain, opts)
    sentences = Sentences(chain, args.model, walk)
    if args.corpus:
        for line in left_out_warnings(args.left_out):
            opts.say(line)
        walk.novelty = _novelty(args.corpus, args.overlap, opts)
    for sentence in sentences.walk(args.sentences, args.seed):
        emit(sentence)
    flush_stdout()
    return sentences.report(args.sentences)
