"""The text model: order as context, models of several files, and what generation promises."""

import io
import random
from importlib import resources

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tesmo_cjson
from tesmo import reference
from tesmo.chain import Chain
from tesmo.train import (
    Novelty,
    UnknownStart,
    chain_order,
    format_sentence,
    generate_sentence,
    is_word,
    tokenize,
    train,
    train_text,
)

CORPUS = (resources.files("tesmo") / "data" / "corpus.txt").read_text()


def content(chain):
    return [(start, list(bag.choices())) for start, bag in chain.items()]


@pytest.mark.parametrize("make", [Chain, reference.Chain])
def test_a_state_is_the_last_order_tokens(make):
    text = [["I saw it. I saw me."]]
    assert content(train_text(make(), text, 1)) == [
        (None, [(("I",), 2)]),
        ("I", [(("saw",), 2)]),
        ("saw", [(("it",), 1), (("me",), 1)]),
        ("it", [((".",), 1)]),
        (".", [((None,), 2)]),
        ("me", [((".",), 1)]),
    ]
    assert content(train_text(make(), text, 2)) == [
        ((None, None), [(("I",), 2)]),
        ((None, "I"), [(("saw",), 2)]),
        (("I", "saw"), [(("it",), 1), (("me",), 1)]),
        (("saw", "it"), [((".",), 1)]),
        (("it", "."), [((None,), 1)]),
        (("saw", "me"), [((".",), 1)]),
        (("me", "."), [((None,), 1)]),
    ]
    # A token stream that ends inside a sentence closes it; empty sentences are none.
    assert content(train(make(), ["a", None, None, "b"], 3)) == [
        ((None, None, None), [(("a",), 1), (("b",), 1)]),
        ((None, None, "a"), [((None,), 1)]),
        ((None, None, "b"), [((None,), 1)]),
    ]


@pytest.mark.parametrize("make", [Chain, reference.Chain])
def test_an_order_two_model_says_only_what_it_read(make):
    chain = train_text(make(), [["I saw it. You saw me."]], 2)
    rng = random.Random(0)
    said = {format_sentence(generate_sentence(chain, rng)) for _ in range(200)}
    assert said == {"I saw it.", "You saw me."}
    # Order 1 predicts from one word only, and mixes them.
    one = train_text(make(), [["I saw it. You saw me."]], 1)
    assert "I saw me." in {format_sentence(generate_sentence(one, rng)) for _ in range(200)}


def document(chain, compress):
    out = io.StringIO()
    tesmo_cjson.dump_json_big(chain, out, compress)
    return out.getvalue()


@pytest.mark.parametrize("reader", ["load_json_big", "load_json_small"])
@pytest.mark.parametrize("order", [1, 2, 3])
def test_the_model_of_several_files_is_the_merge_of_their_models(order, reader, tmp_path):
    texts = [CORPUS[:30_000], CORPUS[30_000:31_000] + " and no end", "Mr. Smith", CORPUS[5_000:45_000]]
    whole = train_text(Chain(), [[text] for text in texts], order)
    for compress in (True, False):
        merged = Chain()
        for index, text in enumerate(texts):
            path = tmp_path / f"{index}-{compress}.json"
            path.write_text(document(train_text(Chain(), [[text]], order), compress))
            with open(path, "rb") as file:
                getattr(tesmo_cjson, reader)(merged, file, True)
        assert document(merged, compress) == document(whole, compress)
        assert chain_order(merged) == order


def test_the_order_of_a_chain_is_the_length_of_its_starts():
    assert chain_order(Chain()) is None
    assert chain_order(train_text(Chain(), [["A b."]], 1)) == 1
    assert chain_order(train_text(reference.Chain(), [["A b."]], 4)) == 4
    mixed = train_text(Chain(), [["A b."]], 2)
    mixed.add_to_bag("x", ["y"])
    with pytest.raises(ValueError, match="^the chain mixes starts of 2 and 1 tokens$"):
        chain_order(mixed)


def walked_in(model, tokens, begin=0):
    """Whether the model has every step of the sentence from its ``begin``-th token to its end."""
    order = chain_order(model)
    padded = [None] * order + list(tokens) + [None]
    for at in range(order + begin, len(padded)):
        state = padded[at - 1] if order == 1 else tuple(padded[at - order : at])
        if state not in model or (padded[at],) not in model[state]:
            return False
    return True


@pytest.fixture(scope="module")
def corpus_model():
    return train_text(Chain(), [[CORPUS]], 2)


def test_few_sentences_of_the_corpus_model_are_fragments(corpus_model):
    rng = random.Random(1)
    generated = [generate_sentence(corpus_model, rng) for _ in range(1000)]
    assert all(generated)
    assert sum(len(tokens) <= 2 for tokens in generated) < 20
    assert {format_sentence(tokens).rstrip(")'")[-1] for tokens in generated} == {".", "?", "!"}
    assert all(walked_in(corpus_model, tokens) for tokens in generated[:200])


def test_generation_keeps_to_the_words_asked_for(corpus_model):
    rng = random.Random(2)
    for min_words, max_words in ((1, 3), (8, 8), (20, 40)):
        for _ in range(30):
            tokens = generate_sentence(corpus_model, rng, min_words=min_words, max_words=max_words, tries=200)
            if tokens is not None:
                assert min_words <= sum(map(is_word, tokens)) <= max_words and walked_in(corpus_model, tokens)
    assert generate_sentence(corpus_model, rng, min_words=500, max_words=600) is None
    for bad, error in (({"tries": -1}, ValueError), ({"min_words": 5, "max_words": 4}, ValueError)):
        with pytest.raises(error):
            generate_sentence(corpus_model, rng, **bad)


def test_generation_begins_with_the_tokens_asked_for(corpus_model):
    rng = random.Random(3)
    # Fewer tokens than the order begin a sentence; more go on from mid-sentence.
    for start, walked_from in ((["And"], 0), (["And", "God"], 0), (["the", "LORD", "said"], 3)):
        tokens = generate_sentence(corpus_model, rng, start=start)
        assert tokens[: len(start)] == start and walked_in(corpus_model, tokens, walked_from)
    with pytest.raises(UnknownStart, match="^no sentence of the model begins with 'unto'$") as caught:
        generate_sentence(corpus_model, rng, start=["unto"])
    assert isinstance(caught.value, KeyError) and caught.value.start == ("unto",)
    with pytest.raises(UnknownStart, match="^the model never goes on from 'God God'$"):
        generate_sentence(corpus_model, rng, start=["God", "God"])
    with pytest.raises(TypeError):
        generate_sentence(corpus_model, rng, start="And")
    assert generate_sentence(Chain(), rng) is None


def test_novelty_rejects_sentences_that_copy_the_corpus(corpus_model):
    novelty = Novelty([[CORPUS]], 6)
    rng_plain, rng_novel = random.Random(4), random.Random(4)
    copies = 0
    for _ in range(100):
        plain = generate_sentence(corpus_model, rng_plain)
        copies += not novelty.is_novel(plain)
        novel = generate_sentence(corpus_model, rng_novel, novelty=novelty, tries=50)
        assert novel is None or novelty.is_novel(novel)
    assert copies > 50
    assert 0 < len(novelty) <= sum(token is not None for token in tokenize([[CORPUS]]))


@settings(max_examples=200, deadline=None)
@given(
    corpus=st.lists(st.sampled_from(["a", "b", "c.", "d!", "a-b", "\u00e9"]), max_size=30).map(" ".join),
    tokens=st.lists(st.sampled_from(["a", "b", "c", ".", "d", "!", "a-b", "\u00e9", 1]), max_size=12),
    overlap=st.integers(1, 4),
)
def test_novelty_is_a_search_for_the_sentence_runs_in_the_corpus(corpus, tokens, overlap):
    runs, sentence = set(), []
    for token in tokenize([[corpus]]):
        if token is None:
            runs |= {tuple(sentence[i : i + overlap]) for i in range(len(sentence) - overlap + 1)}
            sentence = []
        else:
            sentence.append(token)
    copied = any(tuple(tokens[i : i + overlap]) in runs for i in range(len(tokens) - overlap + 1))
    assert Novelty([[corpus]], overlap).is_novel(tokens) is not copied
