"""Starts made of references to the table's words: snapshots written by hand, read, written again and refused."""

from __future__ import annotations

import gc
import pickle
import struct
import weakref

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


def test_a_start_naming_words_after_it_reads_as_one_naming_words_before_it():
    # Each table in the order its vocabulary's ids may come: words first, the
    # starts first, and the two mixed.
    a, b, c = word("a"), word("b"), word("c")
    orders = {
        "words first": ([a, b, c, tup(ref(0), ref(1)), tup(ref(2), ref(0))], {"a": 0, "b": 1, "c": 2}, (3, 4)),
        "starts first": ([tup(ref(2), ref(3)), tup(ref(4), ref(2)), a, b, c], {"a": 2, "b": 3, "c": 4}, (0, 1)),
        "mixed": ([a, tup(ref(0), ref(2)), b, tup(ref(4), ref(0)), c], {"a": 0, "b": 2, "c": 4}, (1, 3)),
    }
    for name, (values, number, (ab, ca)) in orders.items():
        blob = snapshot(values, [(ab, [(2, number["c"])]), (ca, [(5, number["a"]), (1, number["b"])])])
        chain = Chain()
        chain.__setstate__((blob, ()))
        assert [(s, list(bag.choices())) for s, bag in chain.items()] == [
            (("a", "b"), [(("c",), 2)]),
            (("c", "a"), [(("a",), 5), (("b",), 1)]),
        ], name
        # Starts made here find the restored ones: they hash alike.
        key = tuple("ab")
        assert key in chain and list(chain[key].choices()) == [(("c",), 2)], name
        chain.add_to_bag(key, ("c",), 1)
        chain.add_to_bag(("c", "a"), ("b",), 1)
        assert len(chain) == 2 and list(chain[key].choices()) == [(("c",), 3)], name
        assert list(chain[("c", "a")].choices()) == [(("a",), 5), (("b",), 2)], name


def test_a_value_given_twice_is_refused_unless_a_value_from_beside_takes_the_general_way():
    # "a" twice in the table: with plain values only, the table is made up.
    starts = [(0, [(1, 2)])]
    with pytest.raises(ValueError, match="corrupt snapshot: a value given twice"):
        Chain().__setstate__((snapshot([word("a"), word("a"), word("b")], starts), ()))
    for values in ([word("b"), tup(ref(3)), tup(ref(3)), word("a")], [word("a"), tup(ref(0)), tup(ref(0)), word("b")]):
        with pytest.raises(ValueError, match="corrupt snapshot: a value given twice"):
            Chain().__setstate__((snapshot(values, [(1, [(1, 0)])]), ()))
    # A value from beside that is no plain value: the chain is built by
    # add_to_bag's rules, where only a start or a choice given twice is.
    token = Token("t")
    chain = Chain()
    chain.__setstate__((snapshot([word("a"), word("a"), ref(0, TAG_SIDE)], starts), (token,)))
    assert [(s, list(bag.choices())) for s, bag in chain.items()] == [("a", [((token,), 1)])]


class Node:
    """A start that holds the chain it is a start of."""

    def __init__(self, name):
        self.name, self.chain = name, None

    def __eq__(self, other):
        return isinstance(other, Node) and other.name == self.name

    def __hash__(self):
        return hash(self.name)


def test_a_restored_chain_takes_part_in_cycles_through_its_values():
    plain = Chain()
    for k in range(50):
        plain.add_to_bag((f"w{k}", f"w{k + 1}"), (f"w{k + 2}",), k + 1)
    chain = pickle.loads(pickle.dumps(plain, 5))
    node = Node("n")
    chain.add_to_bag(node, ("w0",))
    node.chain = chain
    alive = weakref.ref(node)
    del chain, node
    gc.collect()
    assert alive() is None
