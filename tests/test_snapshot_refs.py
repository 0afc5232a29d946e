"""Starts made of references to the table's words: snapshots written by hand, read, written again and refused."""

from __future__ import annotations

import gc
import pickle
import struct

import pytest
from conftest import Token

from tesmo import _chain, reference
from tesmo.chain import Chain

TAG_STR, TAG_TUPLE, TAG_REF, TAG_SIDE = 1, 9, 10, 11


def word(text):
    data = text.encode()
    return bytes([TAG_STR, len(data)]) + data


def ref(number, tag=TAG_REF):
    return bytes([tag, number])


def tup(*items):
    return bytes([TAG_TUPLE, len(items)]) + b"".join(items)


def snapshot(values, starts):
    """A chain's snapshot: the encoded values of its table, and per start its value's number and its
    choices as (count, number of the one word of the next start)."""
    table = b"".join(values)
    entries = b"".join(struct.pack("<3I4B", start, len(bag), 2 * len(bag), 1, 0, 0, 0) for start, bag in starts)
    records = b"".join(struct.pack("<2I", count, next_word) for _, bag in starts for count, next_word in bag)
    choices = sum(len(bag) for _, bag in starts)
    sizes = struct.pack("<7Q", len(values), len(table), len(starts), choices, 2 * choices, 0, 0)
    return b"TSMO\x01C\x00\x00" + sizes + table + entries + records


def starts_of(words):
    """Words 0..n-1, then value n the start of all of them and value n+1 the start of the second and the
    first; the first start draws every word, the second the first two."""
    values = [word(w) for w in words] + [tup(*(ref(k) for k in range(len(words)))), tup(ref(1), ref(0))]
    bag = [(k + 1, k) for k in range(len(words))]
    return values, [(len(words), bag), (len(words) + 1, bag[:2])]


@pytest.mark.parametrize("length", [2, 3, 8, 9, 12])
def test_a_start_of_references_reads_as_its_words_and_is_written_back_the_same(length):
    words = [f"w{k}" for k in range(length)]
    values, starts = starts_of(words)
    blob = snapshot(values, starts)
    loaded = Chain()
    loaded.__setstate__((blob, ()))
    expected = reference.Chain()
    for start in (tuple(words), (words[1], words[0])):
        for k, w in enumerate(words[: len(start)]):
            expected.add_to_bag(start, (w,), k + 1)
    assert [(s, list(b.choices())) for s, b in loaded.items()] == [(s, list(b.choices())) for s, b in expected.items()]
    whole = next(s for s in loaded if len(s) == length)
    drawn = {next_start[0]: next_start[0] for next_start, _ in loaded[whole].choices()}
    for start in loaded:
        assert all(item is drawn[item] for item in start)  # one object per word of the table
    assert not gc.is_tracked(whole)  # of strings only: no cycle can pass through it
    assert _chain.snapshot(loaded) == (blob, ())
    assert pickle.loads(pickle.dumps(loaded, 5)) == loaded


@pytest.mark.parametrize("length", [2, 9])
@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(lambda n: ref(n), id="a tuple"),
        pytest.param(lambda n: ref(n + 2), id="past the table"),
        pytest.param(lambda n: ref(127), id="far past the table"),
    ],
)
def test_a_reference_to_a_tuple_or_past_the_table_is_refused(length, bad):
    words = [f"w{k}" for k in range(length)]
    values, starts = starts_of(words)
    values[length] = tup(*(ref(k) for k in range(length - 1)), bad(length))
    chain = Chain()
    chain.add_to_bag("before", ("x",))
    with pytest.raises(ValueError, match="corrupt snapshot: a reference names no value"):
        chain.__setstate__((snapshot(values, starts), ()))
    assert list(chain.items()) == [("before", chain["before"])] and list(chain["before"].choices()) == [(("x",), 1)]
    # A start that is itself a reference names nothing either.
    values, starts = starts_of(words)
    values[length + 1] = ref(0)
    with pytest.raises(ValueError, match="a reference names no value"):
        Chain().__setstate__((snapshot(values, starts), ()))


def test_a_start_naming_a_value_from_beside_holds_it_and_stays_with_the_collector():
    token = Token("t")
    values = [word("a"), ref(0, TAG_SIDE), tup(ref(0), ref(1))]
    blob = snapshot(values, [(2, [(1, 0), (2, 1)])])
    chain = Chain()
    chain.__setstate__((blob, (token,)))
    (start,) = list(chain)
    assert start == ("a", token) and start[1] is token
    assert gc.is_tracked(start)  # it holds an object that may reach it back
    assert list(chain[start].choices()) == [(("a",), 1), ((token,), 2)]
    with pytest.raises(ValueError, match="missing beside"):
        Chain().__setstate__((blob, ()))


def test_a_start_taken_before_its_words_still_names_them():
    # Each start enters the table before the words it is made of: the writer must still refer to them.
    chain = Chain()
    chain.add_to_bag(("a", "b"), ("a",))
    chain.add_to_bag(("b", "a"), ("b",), 2)
    values = [tup(ref(1), ref(3)), word("a"), tup(ref(3), ref(1)), word("b")]
    blob = snapshot(values, [(0, [(1, 1)]), (2, [(2, 3)])])
    assert _chain.snapshot(chain) == (blob, ())
    loaded = pickle.loads(pickle.dumps(chain, 5))
    assert loaded == chain and all(item is next(iter(loaded[s].choices()))[0][0] for s in loaded for item in s[:1])
