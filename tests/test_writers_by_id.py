"""dump_json_small of an exact native chain, written by id, against the pure-Python classes.

With the genuine ujson bound, a native Chain of plain values is written from
its own counts: the code table from the chain's occurrences by id, each value
rendered once, one buffer. The same chain built as a tesmo.reference.Chain
goes the general path, with the frequencies of its Python dict; binding a
wrapper as the encoder hands that document to ujson itself. The two must
write the same bytes in the same file calls, or fail alike, and the document
must read back as the chain that was written.
"""

from __future__ import annotations

import io
import math
from fractions import Fraction
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_compact_fast import Delegate

import tesmo_cjson
from tesmo import reference
from tesmo.chain import Chain

NAN = float("nan")
# Values that equal each other across types (1, 1.0, True; 0, -0.0, False),
# escapes, non-ASCII and lone surrogates, ints past 64 bits, floats at the
# edges of their formatting, short strings and null that become literals.
ODD = [0, 1, 1.0, True, False, None, -0.0, 0.1, 1e16, 1.5e-7, 5e-324, 1e300, math.inf, NAN]
ODD += ["", "a", "/", '"\\', "\x00\x1f", "\x7f", "\u00e9", "\u2028", "\U0001f600", "\ud800", "\udfff\ud800"]
ODD += [2**63 - 1, -(2**63), 2**64 - 1, 2**64, -(2**63) - 1, 10**30, (), ("a",), (1, ("x", None))]
VALUE = st.one_of(
    st.sampled_from(ODD),
    st.integers(-12, 12),
    st.floats(),
    st.text(st.sampled_from("ab\u00e9\ud800\U0001f600"), max_size=2),
)
START = st.one_of(VALUE, st.tuples(VALUE, VALUE))  # order-2 starts are pairs
COUNT = st.one_of(
    st.integers(-3, 6),
    st.sampled_from([2**31 - 1, 2**31, 2**32, 2**63 - 1, -(2**63), 2**64, 0.5, Fraction(1, 3)]),
)
OPS = st.lists(st.tuples(START, st.lists(VALUE, max_size=3), COUNT), max_size=40)


class Log:
    def __init__(self) -> None:
        self.pieces: list[str] = []

    def write(self, text: str) -> None:
        self.pieces.append(text)


def build(cls: type, ops: list) -> Any:
    chain = cls()
    for start, next_start, count in ops:
        chain.add_to_bag(start, next_start, count)
    return chain


def choices(chain: Any) -> str:
    return repr([(start, list(bag.choices())) for start, bag in chain.items()])


def written(chain: Any, compress: bool, through_ujson: bool) -> tuple:
    saved = tesmo_cjson.json
    if through_ujson:
        tesmo_cjson.json = Delegate(saved)
    file = Log()
    try:
        tesmo_cjson.dump_json_small(chain, file, compress)
    except Exception as error:  # compared by type and message
        return (type(error), str(error)), file.pieces
    finally:
        tesmo_cjson.json = saved
    return None, file.pieces


def check_alike(ops: list, compress: bool) -> list[str]:
    native, python = build(Chain, ops), build(reference.Chain, ops)
    before = choices(native)
    assert before == choices(python)
    direct = written(native, compress, through_ujson=False)
    assert direct == written(python, compress, through_ujson=True)
    assert choices(native) == before
    return direct[1]


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(ops=OPS, compress=st.booleans())
def test_random_chains_as_ujson_writes_them_from_a_dict(ops, compress):
    check_alike(ops, compress)


def wide(n: int) -> list:
    """n starts over a vocabulary of about n values, counts tied in runs of seven."""
    words = [f"w{i}" for i in range(n)] + ["", "z", "\u00e9", 2.5, 2**63 - 1, -1]
    ops = []
    for i in range(n):
        ops.append(((words[i], words[(i * 7) % n]), [words[(i * 3) % len(words)]], i % 5 + 1))
        ops.append(((words[i], words[(i * 7) % n]), [words[(i // 7) % len(words)], 2.5], 2**40 + i))
    ops.append(("tail", [*words[n:], None], 1))  # null once, last of thousands met once
    return ops


def dominant(n: int) -> list:
    """One value far more frequent than there are values."""
    return [(f"s{i}", ["the"] * 200 + [i % 3], i) for i in range(n)] + [("s0", [], -(2**63))]


def edges() -> list:
    """Values met once each, in order: short strings and null where a numeral grows by a digit."""
    values: list = [f"v{i}" for i in range(1, 1002)]
    for position, value in ((9, "b"), (10, ""), (99, "c"), (100, "a"), (999, "de"), (1000, None), (1001, "fg")):
        values[position - 1] = value
    return [("s", values, 3)]


@pytest.mark.parametrize(
    "ops", [wide(1500), wide(40), dominant(60), edges()], ids=["wide", "narrow", "dominant", "edges"]
)
@pytest.mark.parametrize("compress", [True, False])
def test_large_tables_write_and_read_back(ops, compress):
    # Past ten entries short strings and null stand for themselves, past a
    # thousand null too; equal frequencies keep their first-seen order.
    pieces = check_alike(ops, compress)
    assert len(pieces) == 1
    if compress and len(ops) > 3000:
        assert ',"","",' in pieces[0] and ",null,null" in pieces[0]
    for read, file in ((tesmo_cjson.load_json_small, io.StringIO), (tesmo_cjson.load_json_big, io.BytesIO)):
        back = Chain()
        read(back, file(pieces[0] if file is io.StringIO else pieces[0].encode()))
        assert choices(back) == choices(build(reference.Chain, ops))


@pytest.mark.parametrize("compress", [True, False])
def test_chains_of_many_records_write_and_read_back(compress):
    # Thousands of starts of mixed widths and counts past 32 bits, then one
    # start with more choices than all of them together: a few hundred
    # thousand words of records, read out of the chain before they are written.
    ops = [(f"s{i}", [f"v{(i * j) % 997}"] * (j % 3 + 1), 2**33 + j) for i in range(4000) for j in range(9)]
    ops += [("big", [f"w{i}"], i + 1) for i in range(70000)] + [("last", ["v1", "w1"], 2)]
    pieces = check_alike(ops, compress)
    back = Chain()
    tesmo_cjson.load_json_small(back, io.StringIO(pieces[0]))
    assert choices(back) == choices(build(reference.Chain, ops))
