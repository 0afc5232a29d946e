"""The chains that the benchmarks serialise.

(a) the word chain trained on the corpus shipped in the package;
(b) a synthetic chain: a few thousand distinct words with Zipf-like
    frequencies, next starts of 1 to 3 values;
(c) the same shape with every value an int.

Each workload comes as plain data (start -> {next start: count}) from which
both the real ``tesmo.chain.Chain`` and the cheap doubles are built, so that
every variant serialises the very same chain.
"""

from __future__ import annotations

import string
from collections.abc import Hashable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from doubles import CheapChain

from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

Bags = dict[Hashable, dict[tuple[Hashable, ...], int]]

VOCABULARY = 4000
# Zipf-like: the word of rank r is drawn with weight 1 / (r + 2.7) ** 1.07.
ZIPF_SHIFT = 2.7
ZIPF_EXPONENT = 1.07
# English-like word lengths from 1 to 12 letters.
WORD_LENGTH_WEIGHTS = np.array([2, 8, 14, 15, 13, 11, 9, 7, 5, 3, 2, 1]) / 90
NEXT_START_LENGTHS = (1, 2, 3)
NEXT_START_WEIGHTS = (0.35, 0.40, 0.25)


@dataclass
class Workload:
    """One chain in every form the benchmarks need."""

    name: str
    bags: Bags
    frequencies: dict[Hashable, int]
    choices: int

    def real_chain(self) -> Chain:
        """A fresh ``tesmo.chain.Chain`` holding the workload."""
        return chain_from_bags(self.bags)

    def cheap_chain(self) -> CheapChain:
        """A writer's cheap double holding the workload."""
        return CheapChain(self.bags, self.frequencies)


def chain_from_bags(bags: Bags) -> Chain:
    """Build a real chain through its public operations."""
    chain = Chain()
    for start, choices in bags.items():
        bag = ProbabilityBag()
        for next_start, count in choices.items():
            bag.add(next_start, count=count)
        chain.set_bag(start, bag)
    return chain


def bags_from_chain(chain: Chain) -> Bags:
    """The plain-data form of a real chain."""
    return {start: dict(bag.choices()) for start, bag in chain.items()}


def _workload(name: str, bags: Bags) -> Workload:
    frequencies = chain_from_bags(bags).build_frequency_dict()
    return Workload(name, bags, frequencies, sum(len(choices) for choices in bags.values()))


def corpus_workload(order: int = 2) -> tuple[Workload | None, str]:
    """Workload (a), or None and the reason why it is not available."""
    try:
        from tesmo.train import read_text, tokenize, train
    except ImportError as exc:
        return None, f"tesmo.train is not importable ({exc})"
    import tesmo

    corpus = Path(tesmo.__file__).with_name("data") / "corpus.txt"
    if not corpus.is_file():
        return None, f"{corpus} is missing"
    with corpus.open("rb") as file:
        chain = train(Chain(), tokenize([read_text(file)]), order)
    return _workload(f"(a) corpus words, order {order}", bags_from_chain(chain)), ""


def _zipf_weights(size: int) -> np.ndarray:
    weights = 1.0 / (np.arange(size) + ZIPF_SHIFT) ** ZIPF_EXPONENT
    return weights / weights.sum()


def _word_values(rng: np.random.Generator, size: int) -> list[Hashable]:
    """Distinct words of 1 to 12 letters, a few with characters JSON escapes.

    Their order is random, so some short words land among the rare values,
    where the code table keeps them as literals.
    """
    letters = np.array(list(string.ascii_lowercase))
    words: dict[str, None] = {}
    while len(words) < size:
        length = int(rng.choice(len(WORD_LENGTH_WEIGHTS), p=WORD_LENGTH_WEIGHTS)) + 1
        word = "".join(rng.choice(letters, size=length))
        roll = rng.random()
        if roll < 0.01:
            word += "/" + word[:2]
        elif roll < 0.02:
            word = "\u00e9" + word
        words[word] = None
    return list(words)


def _int_values(rng: np.random.Generator, size: int) -> list[Hashable]:
    """Distinct ints of up to 7 digits, in random order."""
    return [int(value) for value in rng.choice(10_000_000, size=size, replace=False)]


def _draw(rng: np.random.Generator, values: np.ndarray, count: int) -> list[tuple[Any, ...]]:
    """``count`` rows of (start, next start, count) drawn at random."""
    weights = _zipf_weights(len(values))
    starts = values[rng.choice(len(values), size=count, p=weights)]
    lengths = rng.choice(NEXT_START_LENGTHS, size=count, p=NEXT_START_WEIGHTS)
    columns = [values[rng.choice(len(values), size=count, p=weights)] for _ in NEXT_START_LENGTHS]
    counts = rng.zipf(2.0, size=count).clip(max=10_000)
    next_starts: list[tuple[Any, ...]] = [()] * count
    for length in NEXT_START_LENGTHS:
        rows = np.flatnonzero(lengths == length)
        picked = zip(*(column[rows].tolist() for column in columns[:length]), strict=False)
        for row, next_start in zip(rows.tolist(), picked, strict=False):
            next_starts[row] = next_start
    return list(zip(starts.tolist(), next_starts, counts.tolist(), strict=False))


def synthetic_workload(choices: int, ints: bool = False, seed: int = 5) -> Workload:
    """Workload (b), or (c) with ``ints``: at least ``choices`` distinct choices."""
    rng = np.random.default_rng(seed)
    values = _int_values(rng, VOCABULARY) if ints else _word_values(rng, VOCABULARY)
    array = np.empty(len(values), dtype=object)
    array[:] = values
    bags: Bags = {}
    made = 0
    while made < choices:
        for start, next_start, count in _draw(rng, array, (choices - made) * 21 // 20 + 100):
            bag = bags.setdefault(start, {})
            made += next_start not in bag
            bag[next_start] = count
    kind = "ints" if ints else "words"
    return _workload(f"({'c' if ints else 'b'}) synthetic {kind}", bags)


def workload_by_key(key: str, choices: int) -> Workload | None:
    """Workload (a), (b) or (c); (a) is None when the corpus cannot be trained here."""
    if key == "a":
        return corpus_workload()[0]
    return synthetic_workload(choices, ints=key == "c")


def keyed_workloads(choices: int, keys: str = "abc") -> list[tuple[str, Workload]]:
    """The workloads named by ``keys``, each said in a line as it is made; (a) left out, with the reason, if need be."""
    keyed: list[tuple[str, Workload]] = []
    for key in keys:
        if key == "a":
            corpus, reason = corpus_workload()
            if corpus is None:
                print(f"workload (a) left out: {reason}")
                continue
            keyed.append((key, corpus))
        else:
            keyed.append((key, synthetic_workload(choices, ints=key == "c")))
        workload = keyed[-1][1]
        print(
            f"workload {workload.name}: {workload.choices:,} choices, {len(workload.bags):,} starts, "
            f"{len(workload.frequencies):,} distinct values",
            flush=True,
        )
    return keyed


@dataclass
class Settings:
    """Sizes and repeats of the scripts that time the four functions on workloads (a) to (c)."""

    choices: int
    repeats: dict[str, int]
    quick: bool

    @classmethod
    def from_args(cls, quick: bool, choices: int | None) -> Settings:
        """Quick runs shrink the chains and the repeats, never the measurements."""
        if quick:
            return cls(choices or 30_000, {"ujson": 3, "json": 2}, True)
        return cls(choices or 1_000_000, {"ujson": 3, "json": 3}, False)

    def describe(self) -> str:
        return (
            f"sizes: synthetic chains of {self.choices:,} choices; repeats: "
            + ", ".join(f"{n} with {name}" for name, n in self.repeats.items())
            + (" (quick run)" if self.quick else "")
        )
