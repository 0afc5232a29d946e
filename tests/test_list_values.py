"""A start or a next-start element given as a list is stored as the equal
tuple: readers hand a JSON array over as a list, and the chain gives back what
was written. The native types against the reference classes, and documents
of tuple starts read back by every path of both readers."""

from __future__ import annotations

import io

import pytest

import tesmo_cjson
from tesmo import reference
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain


class Reversed(list):
    """A list that iterates backwards: it is stored as tuple(iter(it))."""

    def __iter__(self):
        return iter([*list.__iter__(self)][::-1])


def outcome(call):
    try:
        call()
        return "ok"
    except Exception as error:  # noqa: BLE001 - every error is compared
        return type(error).__name__, str(error)[:32]


def deep(levels):
    value = []
    for _ in range(levels):
        value = [value]
    return value


CALLS = [
    ("start", lambda c, b: c.add_to_bag(["I", "saw"], ["it"], 2)),
    ("nested start", lambda c, b: c.add_to_bag([None, ["a", []]], [None], 1)),
    ("start again as tuple", lambda c, b: c.add_to_bag(("I", "saw"), ("it",), 3)),
    ("list items", lambda c, b: c.add_to_bag("s", [["x", 1], ("y",), [[2]]], 4)),
    ("iterator of lists", lambda c, b: c.add_to_bag("s", iter([["x", 1], ("y",), [[2]]]), 1)),
    ("list subclass", lambda c, b: c.add_to_bag(Reversed(["b", "a"]), [Reversed([1, 2])], 5)),
    ("set_bag", lambda c, b: c.set_bag(["t", ["u"]], b)),
    ("bag add", lambda c, b: b.add([["v", [None]]], 6)),
    ("list in a tuple", lambda c, b: c.add_to_bag(("a", ["b"]), ["c"], 1)),
    ("set in a list", lambda c, b: c.add_to_bag([{1}], ["c"], 1)),
    ("too deep", lambda c, b: c.add_to_bag(deep(100_000), ["c"], 1)),
]


def test_lists_are_stored_as_the_equal_tuples_as_the_reference_stores_them():
    results = []
    for chain_type, bag_type in ((Chain, ProbabilityBag), (reference.Chain, reference.ProbabilityBag)):
        c, b = chain_type(), bag_type()
        seen = [(name, outcome(lambda call=call: call(c, b))) for name, call in CALLS]
        seen.append(repr(c))
        seen.append([start in c for start in (("I", "saw"), (None, ("a", ())), ("a", "b"), ("t", ("u",)))])
        results.append(seen)
    assert results[0] == results[1]
    assert results[0][-2] == (
        "Chain({('I', 'saw'): ProbabilityBag({('it',): 5}), (None, ('a', ())): ProbabilityBag({(None,): 1}), "
        "'s': ProbabilityBag({(('x', 1), ('y',), ((2,),)): 5}), ('a', 'b'): ProbabilityBag({((2, 1),): 5}), "
        "('t', ('u',)): ProbabilityBag({(('v', (None,)),): 6})})"
    )
    assert results[0][-1] == [True, True, True, True]
    assert dict(results[0][:-2])["list in a tuple"] == ("TypeError", "unhashable type: 'list'")
    assert dict(results[0][:-2])["too deep"][0] == "RecursionError"


class GeneralChain(Chain):
    """Read through its methods: the readers' general path."""


def model():
    """An order-2 model: tuple starts, next starts of one token, and values that are tuples."""
    c = reference.Chain()
    for sentence in (["I", "saw", "it", "."], ["You", "saw", ("me", 2), "."]):
        padded = [None, None, *sentence, None]
        for i in range(len(sentence) + 1):
            c.add_to_bag(tuple(padded[i : i + 2]), (padded[i + 2],), i + 1)
    return c


def contents(chain):
    return repr([(start, list(bag.choices())) for start, bag in chain.items()])


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("writer", [tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big])
@pytest.mark.parametrize("reader", [tesmo_cjson.load_json_small, tesmo_cjson.load_json_big])
def test_tuple_starts_and_values_read_back_equal_on_every_path(reader, writer, compress, merge):
    written = model()
    out = io.StringIO()
    writer(written, out, compress)
    doc = out.getvalue()
    assert '[null,"I"]' in doc  # a start written as an array
    expected = reference.Chain()
    expected.add_to_bag("old", ["x"])
    if not merge:
        expected.clear()
    for start, bag in written.items():
        for next_start, count in bag.choices():
            expected.add_to_bag(start, next_start, count)
    loaded = []
    for cls in (Chain, GeneralChain, reference.Chain):
        c = cls()
        c.add_to_bag("old", ["x"])
        reader(c, io.BytesIO(doc.encode()) if reader is tesmo_cjson.load_json_big else io.StringIO(doc), merge)
        loaded.append(contents(c))
    assert loaded == [contents(expected)] * 3
