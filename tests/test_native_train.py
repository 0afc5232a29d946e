"""Native training and generation against the Python tokenizer and walks of tesmo.train."""

from __future__ import annotations

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
# the joiners and closers, whitespace of every kind, NUL and lone surrogates.
ALPHABET = list("aZ_9 .!?'-\")]([,;\t\n\r\x00\x0b\x1c\xa0") + [
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


@settings(max_examples=100, deadline=None)
@given(text=TEXTS, order=st.integers(1, 3), seed=st.integers(0, 9))
def test_training_and_generating_match_the_python_walks(text, order, seed):
    sources = [chunked(text, [len(text) // 2]), [text[::-1]]]
    expected = train.train(reference.Chain(), train.tokenize(sources), order)
    from_text = train.train_text(Chain(), sources, order)
    from_tokens = train.train(Chain(), train.tokenize(sources), order)
    assert content(from_text) == content(from_tokens) == content(expected)
    for limit in (0, 3, 100):
        assert train.generate_sentence(from_text, random.Random(seed), limit) == train.generate_sentence(
            expected, random.Random(seed), limit
        )


def test_the_corpus_model_generates_the_same_sentences():
    sources = corpus_sources(1 << 16)
    expected = train.train(reference.Chain(), train.tokenize(sources), 2)
    native = train.train_text(Chain(), sources, 2)
    assert content(native) == content(expected)
    rng_native, rng_ref = random.Random(3), random.Random(3)
    assert [train.generate_sentence(native, rng_native) for _ in range(50)] == [
        train.generate_sentence(expected, rng_ref) for _ in range(50)
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


def test_bad_orders_and_chunks_are_refused_alike():
    for order in (0, -5):
        with pytest.raises(ValueError, match="^order must be at least 1$"):
            train.train(Chain(), iter([None]), order)
        with pytest.raises(ValueError, match="^order must be at least 1$"):
            train.train_text(Chain(), [["a b"]], order)
    with pytest.raises(OverflowError):
        train.train(Chain(), iter([None]), 2**63)
    for chain in (Chain(), reference.Chain()):
        with pytest.raises(TypeError, match=r'^can only concatenate str \(not "bytes"\) to str$'):
            train.train_text(chain, [["a", b"b"]], 1)


def test_generation_walks_any_bag_and_stops_as_the_python_walk_does():
    class Loop:
        def choose(self, rng):
            return ("again", "again")

    for chain in (Chain(), reference.Chain()):
        chain.add_to_bag(None, ["w"])
        chain.set_bag("w", Loop())
        chain.add_to_bag("again", [], 1)
        assert train.generate_sentence(chain, random.Random(0), 5) == ["w", "again", "again"]
        chain.set_bag("again", Loop())
        assert len(train.generate_sentence(chain, random.Random(0), 7)) == 7
