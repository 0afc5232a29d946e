"""The readers' direct paths into an exact native Chain against the protocol path.

A chain that is exactly tesmo.chain.Chain is filled through the chain's C API;
a trivial subclass is not exact, so the same documents go through the chain's
methods, called one by one as for any chain. Both must end with the same
chain (starts, bags, choices, counts and their types, order) and the same
error, whatever the document, the chain's earlier content and the file do.
"""

from __future__ import annotations

import gc
import io
from collections.abc import Callable
from decimal import Decimal
from fractions import Fraction
from typing import Any

import ijson
import pytest
import ujson
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_hostile import DOCS as JSON_SHAPES
from test_hostile import ODD_STRINGS, REAL_DOCS, SPECIAL_NUMBERS, TOKENS, mutants

import tesmo_cjson
from tesmo import reference
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

pytestmark = pytest.mark.filterwarnings("ignore:Exception ignored from cffi callback")


class Sub(Chain):
    """Not exact, so every reader takes the chain's methods one by one."""


def state(chain: Any) -> str:
    # By repr: 1, 1.0 and True differ, and so do the types of the counts.
    return repr([(start, list(bag.choices())) for start, bag in chain.items()])


class Bytes(io.BytesIO):
    """A binary file that may run code of its own at every read."""

    def __init__(self, data: bytes, on_read: Callable[[int], None]) -> None:
        super().__init__(data)
        self.on_read, self.reads = on_read, 0

    def read(self, size: int = -1) -> bytes:
        self.reads += 1
        self.on_read(self.reads)
        return super().read(size)


def nothing(chain: Any) -> None:
    pass


READERS = {
    "small": lambda chain, data, merge, on_read: tesmo_cjson.load_json_small(
        chain, io.StringIO(data.decode("utf-8", "replace")) if on_read is None else Bytes(data, on_read), merge
    ),
    "big": lambda chain, data, merge, on_read: tesmo_cjson.load_json_big(
        chain, Bytes(data, on_read or (lambda n: None)), merge
    ),
}


def outcome(
    cls: type,
    reader: str,
    data: bytes,
    merge: bool,
    fill: Callable[[Any], None] = nothing,
    on_read: Callable[[Any, int], None] | None = None,
) -> tuple:
    chain = cls()
    fill(chain)
    hook = None if on_read is None else (lambda n: on_read(chain, n))
    try:
        READERS[reader](chain, data, merge, hook)
        error = None
    except Exception as exc:  # compared by type and message
        error = (type(exc), str(exc))
    return error, state(chain)


def same(reader: str, data: bytes, merge: bool, **kw: Any) -> None:
    assert outcome(Chain, reader, data, merge, **kw) == outcome(Sub, reader, data, merge, **kw)


PARSERS = {"yajl2_cffi": tesmo_cjson.ijson, "ijson": ijson}
ENCODERS = {
    "ujson": ujson,
    "wrapped": type(
        "Wrapped",
        (),
        {"load": staticmethod(ujson.load), "dump": staticmethod(ujson.dump), "dumps": staticmethod(ujson.dumps)},
    ),
}


@pytest.fixture(params=[(p, e) for p in PARSERS for e in ENCODERS], ids=lambda p: "-".join(p))
def backends(request: Any, monkeypatch: Any) -> None:
    """The parser global (native yajl source or the general event path) and the encoder global."""
    parser, encoder = request.param
    monkeypatch.setattr(tesmo_cjson, "ijson", PARSERS[parser])
    monkeypatch.setattr(tesmo_cjson, "json", ENCODERS[encoder])


# ---------------------------------------------------------------- documents

SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 3),
    st.sampled_from([1.0, 0.0, -0.0, 2.5, 1e300]),
    st.integers(-(2**70), 2**70),
    st.text(max_size=2),
    st.sampled_from(["a", "b", "/", "\u00e9"]),
)
COUNTS = st.one_of(
    st.integers(-2, 40), st.sampled_from([2**31 - 1, 2**31, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, 0.5, -0.0, True])
)
CHAINS = st.lists(
    st.tuples(SCALARS, st.lists(st.tuples(st.lists(SCALARS, max_size=3), COUNTS), max_size=4)), max_size=5
)
SOME = settings(
    max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture]
)


def document(entries: list, writer: Callable, compress: bool) -> bytes:
    chain = reference.Chain()
    for start, choices in entries:
        for items, count in choices:
            chain.add_to_bag(start, items, count)
    out = io.StringIO()
    writer(chain, out, compress)
    return out.getvalue().encode()


@SOME
@given(
    entries=CHAINS,
    before=CHAINS,
    compress=st.booleans(),
    merge=st.booleans(),
    writer=st.sampled_from([tesmo_cjson.dump_json_big, tesmo_cjson.dump_json_small]),
    reader=st.sampled_from(list(READERS)),
)
def test_written_documents_fill_alike(backends, entries, before, compress, merge, writer, reader):
    def fill(chain: Any) -> None:
        for start, choices in before:
            for items, count in choices:
                chain.add_to_bag(start, items, count)

    same(reader, document(entries, writer, compress), merge, fill=fill)


@SOME
@given(
    data=st.one_of(
        JSON_SHAPES.map(lambda d: ujson.dumps(d).encode()), st.lists(st.sampled_from(TOKENS), max_size=40).map(b"".join)
    ),
    merge=st.booleans(),
)
def test_any_json_and_token_soup_alike(backends, data, merge):
    for reader in READERS:
        same(reader, data, merge)


@pytest.mark.parametrize("merge", [False, True])
def test_mutated_documents_and_odd_tokens_alike(merge):
    docs = [m for doc in REAL_DOCS for m in mutants(doc)]
    templates = [
        b'{"codes":[],"chain":[T,[[T,"b"],T]]}',
        b'{"codes":[T,"x","b",T],"chain":[T,[[T,"b"],1]]}',
        b'{"codes":[0,T,1,1,2,"a"],"chain":[0,[[0,2],T,[1],2],2,[],0,[[2],3],T,[[9],1],0]}',
    ]
    docs += [t.replace(b"T", token) for t in templates for token in ODD_STRINGS + SPECIAL_NUMBERS]
    docs += [
        b'{"codes":[0,"a",1,[1],"b","b",3,3,3,"d"],"chain":[0,[[0,"b",3],1,"ab",2,[[0]],3,[0],4]]}',
        b'{"chain":[1,[[1],1]],"codes":[1,true,true,"t"]}',
        b'{"codes":[0,"a"],"chain":[0,[[0],1,[0],2],0,[[0],5]]}',
    ]
    for data in docs:
        for reader in READERS:
            same(reader, data, merge)


# ---------------------------------------------------------------- hostile chains and files


class Clash:
    """Hashes as "a" does; its == runs code on the chain it was put in."""

    def __init__(self, action: Callable[[], None]) -> None:
        self.action = action

    def __hash__(self) -> int:
        return hash("a")

    def __eq__(self, other: object) -> bool:
        self.action()
        return other is self

    def __repr__(self) -> str:
        return "Clash()"


ACTIONS: list[Callable[[Any], None]] = [
    lambda c: c.add_to_bag("z", ("a",), 1),
    lambda c: c.clear(),
    lambda c: gc.collect(),
    lambda c: c.add_to_bag("a", ("b", "a"), Fraction(1, 3)),
    lambda c: c.set_bag("b", ProbabilityBag()),
]
DOCS = [
    b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],2,[1,0],3],1,[[0],1],0,[[1],5]]}',
    b'{"codes":[],"chain":["a",[["b"],2,["b","a"],3],"b",[["a"],1]]}',
]


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("data", DOCS, ids=["compressed", "plain"])
@pytest.mark.parametrize("reader", list(READERS))
def test_values_whose_equality_changes_the_chain(reader, data, action):
    def fill(chain: Any) -> None:
        fired = []

        def once() -> None:
            if not fired:
                fired.append(1)
                action(chain)

        chain.add_to_bag(Clash(once), (Clash(once), "b"), Fraction(1, 2))
        chain.add_to_bag("b", ("a",), 2**64)
        chain.add_to_bag("b", ("b",), Decimal("0.5"))
        chain.add_to_bag(float("nan"), (1, 1.0, True), 2**31)

    same(reader, data, True, fill=fill)


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("action", ACTIONS + [lambda c: 1 / 0])
def test_files_that_change_the_chain_or_fail_at_a_read(merge, action):
    # Large enough that the streaming reader reads it in several chunks.
    entries = [(f"s{i}", [((f"w{i % 97}", i % 7), i % 5 + 1), ((i,), 2**40)]) for i in range(6000)]
    data = document(entries, tesmo_cjson.dump_json_big, True)
    assert len(data) > 3 * 65536
    for when in (1, 2, 3):

        def on_read(chain: Any, n: int, when: int = when) -> None:
            if n == when:
                action(chain)

        for reader in READERS:
            same(reader, data, merge, on_read=on_read)


class LoggingBag(ProbabilityBag):
    """A bag of another kind in the chain: add_to_bag hands it what it was given."""

    log: list = []

    def add(self, items: Any, count: Any = 1) -> None:
        taken = list(items)
        LoggingBag.log.append((type(items).__name__, taken, count))
        super().add(taken, count)


@pytest.mark.parametrize(
    "data", DOCS + [b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],3,[1,7],2]]}'], ids=["compressed", "plain", "missing"]
)
@pytest.mark.parametrize("reader", list(READERS))
def test_bags_of_another_kind_get_what_add_to_bag_was_given(reader, data):
    logs = []
    for cls in (Chain, Sub):
        LoggingBag.log = []

        def fill(chain: Any) -> None:
            chain.set_bag("a", LoggingBag())
            chain.set_bag("b", reference.ProbabilityBag())

        got = outcome(cls, reader, data, True, fill=fill)
        logs.append((got, LoggingBag.log))
    assert logs[0] == logs[1] and logs[0][1]


def test_replaced_methods_and_constructor_are_called(monkeypatch):
    calls: list = []
    add_to_bag, add, init = Chain.add_to_bag, ProbabilityBag.add, ProbabilityBag.__init__

    def counting_add_to_bag(self: Any, start: Any, items: Any, count: Any = 1) -> None:
        calls.append("add_to_bag")
        add_to_bag(self, start, items, count)

    def counting_add(self: Any, items: Any, count: Any = 1) -> None:
        calls.append("add")
        add(self, items, count)

    def counting_init(self: Any) -> None:
        calls.append("init")
        init(self)

    data = DOCS[0]  # three entries, four choices
    expected = {
        ("small", True): ["add_to_bag"] * 4,
        ("big", False): ["add_to_bag"] * 4,
        ("small", False): ["init", "add", "add", "init", "add", "init", "add"],
    }
    for name, method in (("add_to_bag", counting_add_to_bag), ("add", counting_add), ("__init__", counting_init)):
        monkeypatch.setattr(Chain if name == "add_to_bag" else ProbabilityBag, name, method)
        for (reader, merge), log in expected.items():
            calls.clear()
            got = outcome(Chain, reader, data, merge)
            assert calls == [call for call in log if call == name.strip("_")]
            assert got == outcome(Sub, reader, data, merge)
        monkeypatch.undo()
