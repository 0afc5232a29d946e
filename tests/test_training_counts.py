"""Training from text into chains whose bags already hold what the quick count cannot take.

The native walk counts a token already in its state's bag in place; these
chains hold counts near the 32-bit edge, counts that are no int, bags that
choose() has read, and values that hash like the tokens, so each add must
come out as reference.Chain fed the same token stream gives it.
"""

from __future__ import annotations

import gc
import random
from importlib import resources

import pytest

from tesmo import _chain, reference, train
from tesmo.chain import Chain

TEXT = "The cat sat. The cat ran. The dog sat! The cat sat. " * 3
CORPUS = (resources.files("tesmo") / "data" / "corpus.txt").read_text(encoding="utf-8")


def content(chain):
    return [(start, [(choice, type(count), count) for choice, count in bag.choices()]) for start, bag in chain.items()]


def seed_big_count(chain):
    chain.add_to_bag(("The", "cat"), ("sat",), 2**31 - 3)


def seed_count_object(chain):
    chain.add_to_bag(("The", "cat"), ("sat",), 0.5)


def seed_chosen_bag(chain):
    chain.add_to_bag(("The", "cat"), ("ran",), 1)
    chain[("The", "cat")].choose(random.Random(1))


class Word(str):
    pass


def seed_equal_hash_values(chain):
    # Values of the tokens' hashes: ints (unequal) and str subclasses (equal).
    chain.add_to_bag((None, None), (hash("The"),), 1)
    chain.add_to_bag((None, None), (Word("The"),), 2)
    chain.add_to_bag(("The", "cat"), (Word("sat"),), 1)
    chain.add_to_bag((None, "The"), (hash("cat"),), 1)
    chain.add_to_bag(("cat", "sat"), (hash("."),), 1)


def seed_longer_next_starts(chain):
    # Bags whose next starts are two tokens long, at every order's state.
    for state in ["cat", ("The", "cat"), (None, "The", "cat")]:
        chain.add_to_bag(state, ("sat", "."), 1)


def seed_nothing(chain):
    pass


@pytest.mark.parametrize(
    "seed",
    [seed_nothing, seed_big_count, seed_count_object, seed_chosen_bag, seed_equal_hash_values, seed_longer_next_starts],
)
@pytest.mark.parametrize("order", [1, 2, 3])
def test_training_adds_to_any_bag_as_the_token_stream_would(seed, order):
    native, expected = Chain(), reference.Chain()
    seed(native)
    seed(expected)
    sources = [[TEXT], [TEXT[:40]]]
    _chain.train_text(native, sources, order)
    train.train(expected, train.tokenize(sources), order)
    assert content(native) == content(expected)
    assert list(native) == list(expected)


def test_words_that_differ_only_above_a_byte_stay_apart():
    # Each word beside its twins whose last code point is 128 or 256 higher,
    # up to the lengths around the words kept without their text.
    words = ["A", "cat", "abcdefg", "abcdefgh"]
    text = ""
    for w in words:
        for twin in (w[:-1] + chr(ord(w[-1]) + 0x80), w[:-1] + chr(ord(w[-1]) + 0x100)):
            text += f"{w} {twin} {w}. {twin} {twin} {w}! "
    for order in (1, 2):
        native, expected = Chain(), reference.Chain()
        _chain.train_text(native, [[text]], order)
        train.train(expected, train.tokenize([[text]]), order)
        assert content(native) == content(expected)
        assert list(native) == list(expected)


class Recording(reference.Chain):
    def __init__(self):
        super().__init__()
        self.adds = []

    def add_to_bag(self, start, items, count=1):
        self.adds.append((start, tuple(items), count))
        super().add_to_bag(start, items, count)


def test_a_chain_cleared_by_the_collector_mid_training_keeps_a_tail_of_the_adds():
    text = CORPUS[:20000]
    recording = Recording()
    train.train(recording, train.tokenize([[text]]), 2)
    chain = Chain()
    cleared = []

    def clear_once(phase, info):
        if phase == "start" and not cleared and len(chain) > 50:
            cleared.append(len(chain))
            chain.clear()

    def pieces():
        # Python code between the pieces: from 3.12 on, a collection that an
        # allocation asks for runs only where bytecode runs.
        for at in range(0, len(text), 500):
            yield text[at : at + 500]

    threshold = gc.get_threshold()
    gc.callbacks.append(clear_once)
    gc.set_threshold(50)
    try:
        _chain.train_text(chain, [pieces()], 2)
    finally:
        gc.callbacks.remove(clear_once)
        gc.set_threshold(*threshold)
    assert cleared, "no collection ran while training"
    # What stays is every add from some token on (each adds one), with the
    # states read before the clear.
    kept = sum(count for _, bag in chain.items() for _, count in bag.choices())
    assert 0 < kept < len(recording.adds)
    tail = reference.Chain()
    for start, items, count in recording.adds[len(recording.adds) - kept :]:
        tail.add_to_bag(start, items, count)
    assert content(chain) == content(tail)
