"""Native training and generation against the Python tokenizer and walks of tesmo.train."""

from __future__ import annotations

import gc
import io
import random
from importlib import resources

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tesmo import _chain, reference, train
from tesmo.chain import Chain

CORPUS = (resources.files("tesmo") / "data" / "corpus.txt").read_bytes()
# Characters the token rules treat apart, with neighbours of other Unicode
# categories: word characters of other scripts, digits and numbers, marks,
# the joiners, openers and closers, stops of every kind, whitespace of every
# kind, NUL and lone surrogates, and the words whose dot ends nothing.
ALPHABET = list("aZ_9 .!?'-\")]([,;:\t\n\r\x00\x0b\x1c\xa0\x85") + [
    "\u2019",
    "\u201d",
    "\u201c",
    "\u0663",
    "\u00b2",
    "\u2167",
    "\u0301",
    "\u00e9",
    "\u4e00",
    "\u2028",
    "\u3000",
    "\u200b",
    "\ud800",
    "\udfff",
    "\U0001d7d8",
    "\U0001f600",
    "\ufeff",
    "\r\n",
    "...",
    "?!",
    "a.b",
    "2.0",
    "1,0",
    "\u2026",
    "\u3002",
    "\uff1f",
    "\u300d",
    "\u2014",
    "--",
    "Mr",
    "E.g",
    "D",
    "\u0130",
    "7",
    "\u0660",
]
TEXTS = st.lists(st.sampled_from(ALPHABET), max_size=60).map("".join)


def chunked(text, cuts):
    """The text split at the given positions (chunk boundaries anywhere, empty chunks too)."""
    points = sorted(min(c, len(text)) for c in cuts)
    return [text[a:b] for a, b in zip([0] + points, points + [len(text)], strict=False)]


def content(chain):
    return [(start, list(bag.choices())) for start, bag in chain.items()]


def corpus_sources(chunk_size):
    return [list(train.read_text(io.BytesIO(CORPUS), chunk_size))]


@pytest.mark.parametrize("chunk_size", [1 << 20, 977, 64])
def test_the_shipped_corpus_gives_the_same_tokens(chunk_size):
    sources = corpus_sources(chunk_size)
    assert _chain.tokenize(sources) == list(train.tokenize(sources))


@settings(max_examples=300, deadline=None)
@given(texts=st.lists(st.tuples(TEXTS, st.lists(st.integers(0, 60), max_size=6)), max_size=3))
def test_random_and_hostile_text_gives_the_same_tokens_at_any_chunk_boundary(texts):
    sources = [chunked(text, cuts) for text, cuts in texts]
    assert _chain.tokenize(sources) == list(train.tokenize(sources))


def test_long_runs_are_cut_alike_at_any_chunk_boundary():
    rng = random.Random(7)
    parts = ["a" * 33, "A.", "7", ".", "!" * 40, "-" * 30, ",5", " ", "\n", '"', ")", "e.g", "\u3002", "x" * 99]
    for _ in range(300):
        text = "".join(rng.choice(parts) for _ in range(rng.randint(0, 30)))
        sources = [chunked(text, [rng.randint(0, len(text)) for _ in range(3)]), [text]]
        native = [train.Utf8Text(io.BytesIO(text.encode()), 7) for _ in range(2)]
        python = [train.Utf8Text(io.BytesIO(text.encode()), 7) for _ in range(2)]
        assert _chain.tokenize(sources + native) == list(train.tokenize(sources + python))
        assert [t.split_tokens for t in native] == [t.split_tokens for t in python]


@settings(max_examples=100, deadline=None)
@given(TEXTS, st.integers(1, 3), st.integers(0, 9), st.sampled_from([None, [], ["a"], ["Z", "a"]]))
def test_training_and_generating_match_the_python_walks(text, order, seed, start):
    sources = [chunked(text, [len(text) // 2]), [text[::-1]]]
    expected = train.train(reference.Chain(), train.tokenize(sources), order)
    from_text = train.train_text(Chain(), sources, order)
    from_tokens = train.train(Chain(), train.tokenize(sources), order)
    assert content(from_text) == content(from_tokens) == content(expected)
    for words in ((0, 3), (1, 100), (2, 2)):
        results = []
        for chain in (from_text, expected):
            try:
                results.append(generate(chain, seed, start, *words))
            except train.UnknownStart as exc:
                results.append(str(exc))
        assert results[0] == results[1]


def generate(chain, seed, start=None, min_words=1, max_words=100, count=3):
    rng = random.Random(seed)
    kw = {"start": start, "min_words": min_words, "max_words": max_words, "tries": 3}
    return [train.generate_sentence(chain, rng, **kw) for _ in range(count)]


def test_the_corpus_model_generates_the_same_sentences():
    sources = corpus_sources(1 << 16)
    for order in (1, 2, 3):
        expected = train.train(reference.Chain(), train.tokenize(sources), order)
        native = train.train_text(Chain(), sources, order)
        assert content(native) == content(expected)
        novelty = train.Novelty(sources, 8)
        for kw in ({}, {"start": ["And"], "max_words": 12}, {"novelty": novelty, "min_words": 5}):
            rng_native, rng_ref = random.Random(3), random.Random(3)
            assert [train.generate_sentence(native, rng_native, **kw) for _ in range(50)] == [
                train.generate_sentence(expected, rng_ref, **kw) for _ in range(50)
            ]


class Subclass(Chain):
    """Forces the Python walks on a native chain."""


@pytest.mark.parametrize(
    "tokens, order",
    [
        ([None, "a", {1}, "b", "c"], 1),
        ([None, "a", {1}, "b"], 2),
        ([{1}, "a"], 1),
        ([None, "a", {}], 3),
        (["a", "b", "a", "c", "a"], 2),
    ],
)
def test_a_token_that_cannot_be_hashed_fails_where_add_to_bag_would(tokens, order):
    results = []
    for chain in (Chain(), Subclass(), reference.Chain()):
        pulled = []

        def stream():
            for token in tokens:
                pulled.append(token)
                yield token

        try:
            train.train(chain, stream(), order)
            error = None
        except TypeError as exc:
            error = str(exc)
        results.append((error, len(pulled), repr(content(chain))))
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("meddle", ["clear", "add", "collect"])
def test_a_token_whose_hash_changes_the_chain_trains_as_add_to_bag_would(meddle):
    # The native walk hashes a token fewer times than add_to_bag does, so
    # the token meddles once only.
    class Meddling:
        calls = 0

        def __hash__(self):
            Meddling.calls += 1
            if Meddling.calls == 1 and meddle == "clear":
                chain.clear()
            elif Meddling.calls == 1 and meddle == "add":
                chain.add_to_bag((None, None), ["x"], 5)
            else:
                gc.collect()
            return 7

        def __repr__(self):
            return "Meddling()"

    results = []
    for chain in (Chain(), Subclass(), reference.Chain()):
        Meddling.calls = 0
        tokens = [None, "a", "b", None, "a", Meddling(), "c", None, "b", "a", None]
        results.append(repr(content(train.train(chain, tokens, 2))))
    assert results[0] == results[1] == results[2]


def test_bad_orders_and_chunks_are_refused_alike():
    for order in (0, -5):
        with pytest.raises(ValueError, match="^order must be at least 1$"):
            train.train(Chain(), iter([None]), order)
        with pytest.raises(ValueError, match="^order must be at least 1$"):
            train.train_text(Chain(), [["a b"]], order)
    for chain in (Chain(), reference.Chain()):
        with pytest.raises(OverflowError):
            train.train(chain, iter([None]), 2**63)
        with pytest.raises(TypeError, match="^order must be an int$"):
            train.train(chain, iter([None]), 1.0)
        with pytest.raises(TypeError, match=r"^text chunks must be str, not bytes$"):
            train.train_text(chain, [["a", b"b"]], 1)


class Loop:
    """A bag that always picks the same next start."""

    def __init__(self, next_start):
        self.next_start = next_start

    def choose(self, rng):
        rng.random()
        return self.next_start


@pytest.mark.parametrize("make", [Chain, Subclass, reference.Chain])
def test_generation_drops_walks_that_never_end_or_dead_end(make):
    chain = make()
    chain.add_to_bag(None, ["w"])
    chain.set_bag("w", Loop((",", "w")))
    # Words and punctuation loop for ever: the walk is dropped at the limits.
    assert train.generate_sentence(chain, random.Random(0), max_words=5) is None
    chain.set_bag("w", Loop(("again", "w", "!", None, "ignored")))
    assert train.generate_sentence(chain, random.Random(0)) == ["w", "again", "w", "!"]
    assert train.generate_sentence(chain, random.Random(0), min_words=4) is None
    # A state without a bag, and an empty next start, are dead ends.
    chain.set_bag("w", Loop(("gone",)))
    assert train.generate_sentence(chain, random.Random(0), tries=50) is None
    chain.set_bag("w", Loop(()))
    assert train.generate_sentence(chain, random.Random(0)) is None
    # A start the chain has no state for.
    with pytest.raises(train.UnknownStart, match="^the model never goes on from 'x'$"):
        train.generate_sentence(chain, random.Random(0), start=["x"])


def test_an_rng_that_changes_the_chain_gets_the_pick_it_drew():
    """Each pick comes from the counts its draw was made from, whatever rng.random() does to the chain."""

    def walks(chain):
        class Meddling(random.Random):
            calls = 0

            def random(self):
                point = super().random()
                Meddling.calls += 1
                chain.add_to_bag((None, None), ["late"], 1000)
                chain.add_to_bag((None, "late"), [None], 1)
                if Meddling.calls % 4 == 0:
                    chain.clear()
                    train.train_text(chain, [["A b c. B c a."]], 2)
                return point

        train.train_text(chain, [["A b c. B c a. C a b!"]], 2)
        return [train.generate_sentence(chain, Meddling(seed), tries=3) for seed in range(12)]

    results = [walks(make()) for make in (Chain, Subclass, reference.Chain)]
    assert results[0] == results[1] == results[2]
    # The first draw, from the fresh chain, cannot pick "late", which had no weight then.
    assert results[0][0] in (list("Abc") + ["."], list("Bca") + ["."], list("Cab") + ["!"]) and ["late"] in results[0]
