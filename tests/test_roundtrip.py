"""Chains written by either writer load back through either reader unchanged."""

import importlib
import io
from decimal import Decimal

import pytest
from conftest import needs_yajl
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tesmo_cjson
from tesmo import Chain, ProbabilityBag

WRITERS = ["dump_json_small", "dump_json_big"]
READERS = [
    ("load_json_small", None),
    pytest.param(("load_json_big", "ijson.backends.yajl2_cffi"), marks=needs_yajl),
    ("load_json_big", "ijson"),
]

# 1, 1.0 and True are one dictionary key, so a chain draws its numbers from one
# type only; strings and None never collide with them. yajl refuses integers
# beyond the signed 64-bit range, and its minimum too.
NUMBERS = [st.integers(1 - 2**63, 2**63 - 1), st.floats(allow_nan=False, allow_infinity=False), st.booleans()]
TEXT = st.one_of(
    st.sampled_from(["", "a", "/", "\u00e9", '"', "\\", "\x00"]),
    st.text(st.characters(blacklist_categories=("Cs",)), max_size=3),
)


def chains(numbers):
    value = st.one_of(TEXT, st.none(), numbers)
    bag = st.dictionaries(st.lists(value, max_size=3).map(tuple), st.integers(0, 2**53), max_size=3)
    return st.dictionaries(value, bag, max_size=6)


CHAINS = st.sampled_from(NUMBERS).flatmap(chains)


def build(layout: dict, counts_times: int = 1) -> Chain:
    chain = Chain()
    for start, bag in layout.items():
        chain.set_bag(start, ProbabilityBag())
        for next_start, count in bag.items():
            chain.add_to_bag(start, next_start, count * counts_times)
    return chain


def typed(value):
    """A value tagged with its type, the parser's decimals counted as floats."""
    if isinstance(value, tuple):
        return tuple(typed(item) for item in value)
    if isinstance(value, Decimal):
        return ("float", float(value))
    return (type(value).__name__, value)


def content(chain: Chain) -> list:
    return [(typed(start), [(typed(ns), typed(count)) for ns, count in bag.choices()]) for start, bag in chain.items()]


@pytest.fixture(params=READERS, ids=lambda p: f"{p[0]}-{p[1]}" if p[1] else p[0])
def reader(request, monkeypatch):
    name, parser = request.param
    if parser:
        monkeypatch.setattr(tesmo_cjson, "ijson", importlib.import_module(parser))
    return getattr(tesmo_cjson, name)


def round_trip(layout: dict, writer: str, reader, compress: bool, merge: bool) -> Chain:
    """Write the chain, then load it into a chain holding junk (replace) or the chain itself (merge)."""
    file = io.StringIO()
    getattr(tesmo_cjson, writer)(build(layout), file, compress)
    target = build(layout) if merge else build({"junk": {("j",): 1}})
    reader(target, io.BytesIO(file.getvalue().encode()), merge)
    return target


@pytest.mark.parametrize("writer", WRITERS)
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(layout=CHAINS, compress=st.booleans(), merge=st.booleans())
def test_round_trip(encoder, reader, writer, layout, compress, merge):
    loaded = round_trip(layout, writer, reader, compress, merge)
    if merge:
        expected = build(layout, counts_times=2)
    elif reader is tesmo_cjson.load_json_small:
        expected = build(layout)
    else:  # replace by add_to_bag never brings back a start whose bag is empty
        expected = build({start: bag for start, bag in layout.items() if bag})
    assert content(loaded) == content(expected)


def colliding_chains():
    """Values placed where a literal entry would equal another entry's numeric code."""
    seven = {v: {(v, v, v): 1} for v in range(100, 110)}
    seven[7] = {(106,): 2}  # the least frequent value, at position 10, while 107 has code 7
    ones = {f"s{i}": {(f"s{i}",): 1} for i in range(1000)}
    ones[True] = {("s1",): 3}  # True at position 1001, while "s0" has code 1
    ones[None] = {(None, ""): 4}
    return {"int 7 at position 10": seven, "True at position 1001": ones}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("case", colliding_chains())
def test_values_equal_to_codes_survive(encoder, reader, writer, case):
    layout = colliding_chains()[case]
    assert content(round_trip(layout, writer, reader, True, False)) == content(build(layout))
