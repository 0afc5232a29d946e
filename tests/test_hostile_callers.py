"""Callers whose objects misbehave: comparisons that contradict themselves,
hashes that look at every object the collector knows, texts no file can
encode. Nothing may crash, and what the module builds must be what a Python
implementation would build."""

from __future__ import annotations

import gc
import io
import json
import random
import weakref
from types import SimpleNamespace
from typing import Any

import pytest

import tesmo_cjson
from tesmo import Chain

WRITERS = [tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big]


class Fickle:
    """A negated frequency whose `<` answers at random."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    def __lt__(self, other: Any) -> bool:
        return self.rng.random() < 0.5


class Frequency:
    """A frequency whose negation is a Fickle."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    def __neg__(self) -> Fickle:
        return Fickle(self.rng)


class Frequencies:
    """A chain with no entries whose frequency mapping yields the given pairs."""

    def __init__(self, pairs: list) -> None:
        self.pairs = pairs

    def build_frequency_dict(self) -> Any:
        return SimpleNamespace(items=lambda: self.pairs)

    def items(self) -> list:
        return []

    def __len__(self) -> int:
        return 0


def table_values(text: str) -> list:
    return json.loads(text)["codes"][1::2]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("seed", range(20))
def test_a_comparison_that_contradicts_itself_orders_the_table_somehow(writer, seed):
    values = [f"v{i}" for i in range(200)]
    out = io.StringIO()
    writer(Frequencies([(v, Frequency(random.Random(seed))) for v in values]), out)
    assert sorted(table_values(out.getvalue())) == sorted(values)


class Refused(Exception):
    pass


class Frail:
    def __lt__(self, other: Any) -> bool:
        raise Refused("no order")


@pytest.mark.parametrize("writer", WRITERS)
def test_an_error_of_the_comparison_comes_out_unchanged(writer):
    out = io.StringIO()
    frail = type("Negates", (), {"__neg__": lambda self: Frail()})
    pairs = [("a", 3), ("b", 2)] + [(f"c{i}", frail()) for i in range(3)]
    with pytest.raises(Refused, match="^no order$"):
        writer(Frequencies(pairs), out)


@pytest.mark.parametrize("writer", WRITERS)
def test_frequencies_of_mixed_kinds_keep_the_order_of_a_stable_sort(writer):
    from fractions import Fraction

    freqs = [3, 2.5, Fraction(7, 2), 2**70, 3, -1, True, 2.5, 10**19, Fraction(1, 3)]
    pairs = [(f"v{i}", f) for i, f in enumerate(freqs)]
    out = io.StringIO()
    writer(Frequencies(pairs), out)
    assert table_values(out.getvalue()) == [v for v, _ in sorted(pairs, key=lambda pair: -pair[1])]


class Nosy(str):
    """A value whose hash looks into every young tuple the collector knows."""

    def __hash__(self) -> int:
        for obj in gc.get_objects(generation=0):
            if type(obj) is tuple:
                list(obj)
        return str.__hash__(self)

    def __eq__(self, other: Any) -> bool:
        return str.__eq__(self, other)


def test_no_half_built_tuple_is_seen_while_next_starts_are_encoded():
    chain = Chain()
    a, b = Nosy("a"), Nosy("b")
    chain.add_to_bag(a, (b, a, b), 2)
    chain.add_to_bag(b, [a], 1)
    out = io.StringIO()
    tesmo_cjson.dump_json_small(chain, out)
    assert out.getvalue() == '{"codes":[0,"a",1,"b"],"chain":[0,[[1,0,1],2],1,[[0],1]]}'


class Sentinel:
    pass


class Keeper:
    """A chain for merge mode that keeps the next starts it is handed."""

    def __init__(self) -> None:
        self.kept: list = []

    def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
        self.kept.append(items)


def test_a_cycle_through_a_decoded_next_start_is_collected():
    keeper = Keeper()
    tesmo_cjson.load_json_small(keeper, io.StringIO('{"codes":[0,{},1,"x"],"chain":[1,[[0],1]]}'), True)
    built_by_python = (json.loads("{}"),)
    for items in keeper.kept + [built_by_python]:
        assert type(items) is tuple and items == ({},)
        items[0]["cycle"] = items  # tuple -> dict -> tuple
        items[0]["sentinel"] = Sentinel()
    refs = [weakref.ref(item["sentinel"]) for item in (keeper.kept[0][0], built_by_python[0])]
    keeper.kept.clear()
    del items, built_by_python
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


class Surrogate:
    """A count whose text holds a lone surrogate."""

    def __str__(self) -> str:
        return "1\ud800"


def test_a_count_that_is_no_json_number_is_refused_before_it_is_encoded():
    bag = SimpleNamespace(unique_count=1, choices=lambda: [(("b",), Surrogate())])
    chain = type("C", (), {"__len__": lambda self: 1, "items": lambda self: [("a", bag)]})()
    out = io.StringIO()
    with pytest.raises(ValueError) as raised:
        tesmo_cjson.dump_json_big(chain, out, False)
    assert str(raised.value).endswith("is written as '1\\ud800', which is not a JSON number")
    assert out.getvalue() == '{"codes":[],"chain":["a",[["b"]'


class Unescaped:
    """An encoder that leaves every character as it is, lone surrogates included."""

    @staticmethod
    def dumps(value: Any) -> str:
        return json.dumps(value, ensure_ascii=False)


def test_an_encoder_text_with_lone_surrogates_is_written_as_it_is(monkeypatch):
    monkeypatch.setattr(tesmo_cjson, "json", Unescaped)
    chain = Chain()
    chain.add_to_bag("\ud800é", ("\udfff",), 1)
    for compress in (True, False):
        out = io.StringIO()
        tesmo_cjson.dump_json_big(chain, out, compress)
        expected = (
            '{"codes":[0,"\ud800é",1,"\udfff"],"chain":[0,[[1],1]]}'
            if compress
            else '{"codes":[],"chain":["\ud800é",[["\udfff"],1]]}'
        )
        assert out.getvalue() == expected
