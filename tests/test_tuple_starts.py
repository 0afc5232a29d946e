"""Chains whose starts are tuples (order-N models): written as arrays, read back whole by both readers."""

from __future__ import annotations

import io
from types import SimpleNamespace
from typing import Any

import ijson
import pytest
from conftest import YAJL, needs_yajl

import tesmo_cjson
from tesmo import reference
from tesmo.chain import Chain


def state(chain: Any) -> list:
    return [(start, list(bag.choices())) for start, bag in chain.items()]


def order_n_chain(cls: type, order: int) -> Any:
    """The chain of "I saw it. You saw me." with starts of `order` tokens."""
    chain = cls()
    for sentence in (["I", "saw", "it", "."], ["You", "saw", "me", "."], ["I", "saw", "me", "."]):
        padded = [None] * order + sentence + [None]
        for i in range(len(sentence) + 1):
            start = padded[i] if order == 1 else tuple(padded[i : i + order])
            chain.add_to_bag(start, (padded[i + order],), count=1)
    return chain


@pytest.mark.parametrize("order", [1, 2, 3, 4, 9, 20])
@pytest.mark.parametrize("source", [reference.Chain, Chain], ids=["reference", "native"])
@pytest.mark.parametrize("target", [reference.Chain, Chain], ids=["reference", "native"])
@pytest.mark.parametrize("compress", [True, False])
def test_round_trips_through_all_four_functions(order, source, target, compress):
    chain = order_n_chain(source, order)
    for dump in (tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big):
        text = io.StringIO()
        dump(chain, text, compress)
        for load, file in ((tesmo_cjson.load_json_small, io.StringIO), (tesmo_cjson.load_json_big, io.BytesIO)):
            for merge in (False, True):
                loaded = target()
                data = text.getvalue()
                load(loaded, file(data if file is io.StringIO else data.encode()), merge)
                assert state(loaded) == state(chain), (dump.__name__, load.__name__, merge, data)


@pytest.mark.parametrize("source", [reference.Chain, Chain], ids=["reference", "native"])
@pytest.mark.parametrize("dump", [tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big])
def test_a_tuple_start_is_one_table_entry_written_as_an_array(source, dump):
    chain = source()
    chain.add_to_bag((None, None), ("a",), count=1)
    chain.add_to_bag((None, "a"), (None,), count=1)
    for compress, expected in (
        (True, '{"codes":[0,[null,null],1,"a",2,[null,"a"],3,null],"chain":[0,[[1],1],2,[[3],1]]}'),
        (False, '{"codes":[],"chain":[[null,null],[["a"],1],[null,"a"],[[null],1]]}'),
    ):
        text = io.StringIO()
        dump(chain, text, compress)
        assert text.getvalue() == expected


class Recorder:
    def __init__(self) -> None:
        self.calls: list = []

    def clear(self) -> None:
        pass

    def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
        self.calls.append((start, list(items), count))


# Starts of every shape, in documents of both kinds. The arrays of the
# compressed documents' table stand for the same starts.
PLAIN = (
    b'{"codes":[],"chain":[[null,"I"],[["saw"],2,["x","y"],1],"s",[["t"],1],[],[[1],3],'
    b'[[1,[2]],{"k":[3]}],[[4],1],{"a":1},[[5],1],[0,1],[],7]}'
)
COMPRESSED = b'{"codes":[0,[null,"I"],1,"saw",2,[],3,[[1,[2]],{"k":[3]}]],"chain":[0,[[1],2],2,[[1,0],3],3,[[1],1]]}'
PARSERS = [
    pytest.param(lambda: YAJL, marks=needs_yajl, id="yajl native"),
    pytest.param(lambda: SimpleNamespace(basic_parse=YAJL.basic_parse), marks=needs_yajl, id="yajl general"),
    pytest.param(lambda: ijson, id="ijson"),
]


@pytest.mark.parametrize("parser", PARSERS)
@pytest.mark.parametrize("doc", [PLAIN, COMPRESSED], ids=["plain", "compressed"])
def test_both_readers_hand_over_array_and_object_starts_as_built(monkeypatch, parser, doc):
    small, big = Recorder(), Recorder()
    tesmo_cjson.load_json_small(small, io.BytesIO(doc), True)
    monkeypatch.setattr(tesmo_cjson, "ijson", parser())
    tesmo_cjson.load_json_big(big, io.BytesIO(doc), True)
    assert big.calls == small.calls
    if doc is PLAIN:
        assert big.calls == [
            ([None, "I"], ["saw"], 2),
            ([None, "I"], ["x", "y"], 1),
            ("s", ["t"], 1),
            ([], [1], 3),
            ([[1, [2]], {"k": [3]}], [4], 1),
            ({"a": 1}, [5], 1),
        ]
