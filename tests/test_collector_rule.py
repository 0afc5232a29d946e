"""Python code that reaches the readers' and writers' own objects through the collector.

Any allocation can run the cyclic collector, and through it finalizers; any
container the module holds can be found with gc.get_objects() or
gc.get_referents(). These tests do both, changing what they find, and check
what reaches the chain against what the document holds.
"""

from __future__ import annotations

import functools
import gc
import io
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any
from unittest import mock

import pytest
from conftest import EXAMPLE_ENTRIES, EXAMPLE_FREQS, READ_DOCS, BagFactory, RecChain

import tesmo_cjson
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

N = 40
# Code i stands for "v<i>-x"; code N for a list, which makes the readers'
# table a container the collector tracks. The spaces put the chain in a later
# block of the streaming reader's reads than the table.
DOC = (
    '{"codes":['
    + ",".join(f'{i},"v{i}-x"' for i in range(N))
    + f',{N},["l"]],'
    + " " * 70000
    + '"chain":['
    + ",".join(f"{i},[[{(i + 1) % N},{(i + 7) % N}],{i + 1}]" for i in range(N))
    + "]}"
)
EXPECTED = [(f"v{i}-x", (f"v{(i + 1) % N}-x", f"v{(i + 7) % N}-x"), i + 1) for i in range(N)]


def tables(near: Any = None) -> list[dict]:
    """The readers' tables: found among the referents of `near`, or among all objects."""
    objects = gc.get_referents(near) if near is not None else gc.get_objects()
    return [o for o in objects if type(o) is dict and o.get(N) == ["l"]]


def rebind(found: list[dict]) -> None:
    """Every entry gets an equal copy of its value: the value read from the document is let go of."""
    for table in found:
        for key, value in list(table.items()):
            table[key] = value[:1] + value[1:] if isinstance(value, str) else list(value)


@contextmanager
def finalizer_at_every_collection(action: Callable[[], None]) -> Iterator[None]:
    """Runs `action` from a finalizer at (nearly) every allocation the module makes meanwhile."""
    armed = [True]

    class Garbage:
        def __init__(self) -> None:
            self.me = self

        def __del__(self) -> None:
            if armed[0]:
                Garbage()
                action()

    threshold = gc.get_threshold()
    Garbage()
    gc.set_threshold(1)
    try:
        yield
    finally:
        armed[0] = False
        gc.set_threshold(*threshold)
        gc.collect()


class Rebinding:
    """A chain that rebinds the reader's table at every add_to_bag, reaching it through the items."""

    def __init__(self) -> None:
        self.log: list = []

    def clear(self) -> None:
        pass

    def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
        rebind(tables(items) or tables())
        self.log.append((start, tuple(items), count))


@pytest.mark.parametrize(
    "load, merge",
    [(tesmo_cjson.load_json_big, False), (tesmo_cjson.load_json_big, True), (tesmo_cjson.load_json_small, True)],
)
def test_a_table_rebound_by_the_chain_decodes_what_the_document_holds(load, merge):
    chain = Rebinding()
    load(chain, io.BytesIO(DOC.encode()), merge)
    assert chain.log == EXPECTED


@pytest.mark.parametrize("load", [tesmo_cjson.load_json_big, tesmo_cjson.load_json_small])
@pytest.mark.parametrize("merge", [False, True])
def test_a_table_rebound_by_a_finalizer_decodes_what_the_document_holds(load, merge):
    chain = Chain()
    with finalizer_at_every_collection(lambda: rebind(tables())):
        load(chain, io.BytesIO(DOC.encode()), merge)
    expected = Chain()
    for start, next_start, count in EXPECTED:
        expected.add_to_bag(start, next_start, count=count)
    assert chain == expected


class Count:
    """A count that keeps its bag alive: the bag holds it, it holds the bag."""

    __slots__ = ("n", "bag")

    def __init__(self, n: int) -> None:
        self.n, self.bag = n, None

    def __radd__(self, other: Any) -> Any:
        return self if other == 0 else other + self.n

    def __str__(self) -> str:
        return str(self.n)

    __json__ = __str__  # how ujson renders an object of its own


class PythonBag:
    """A bag of another type: reading its choices arms the hostile code."""

    def __init__(self, arm: Callable[[], None]) -> None:
        self.arm = arm
        self.unique_count = 1

    def choices(self) -> Any:
        choices = iter([(("p",), 1)])
        self.arm()  # last: what runs next is the writer's reading of the entry after this one
        return choices

    def __iter__(self) -> Any:
        return iter([("p",)])


def bag_in_a_cycle(cls: type, arm: Callable[[], None], first: tuple = ()) -> Any:
    """A chain whose start "s" has a bag that, once the chain lets go of it, only a cycle keeps."""
    chain = cls()
    chain.set_bag("p", PythonBag(arm))
    bag = ProbabilityBag()
    if first:
        bag.add(first, count=1)
    count = Count(3)
    bag.add(("a",), count=count)
    bag.add(("b",), count=2)
    bag.add(("c",), count=1)
    count.bag = bag
    chain.set_bag("s", bag)
    chain.add_to_bag("t", ("s",), count=1)
    return chain


class Subchain(Chain):
    """The native chain read through its methods: the writers' general path."""


def choices_of_s(text: str) -> list:
    loaded = Chain()
    tesmo_cjson.load_json_small(loaded, io.StringIO(text))
    return [(next_start, int(str(count))) for next_start, count in loaded["s"].choices()]


def replace_bag_of_s(chain: Any) -> Callable[[], None]:
    done = []

    def replace() -> None:
        if not done:
            done.append(chain.set_bag("s", ProbabilityBag()))
            gc.collect()

    return replace


@pytest.mark.parametrize("compress", [False, True])
def test_dump_json_big_writes_the_bag_it_met_when_a_write_replaces_it(compress):
    def written(cls: type) -> str:
        armed: list = []
        chain = bag_in_a_cycle(cls, lambda: armed.append(replace_bag_of_s(chain)))

        class Hostile(io.StringIO):  # one write per piece
            def write(self, text: str) -> int:
                if armed and text.endswith(",["):  # the start of the entry after "p"
                    armed.pop()()
                return super().write(text)

        file = Hostile()
        tesmo_cjson.dump_json_big(chain, file, compress)
        return file.getvalue()

    text = written(Chain)
    assert text == written(Subchain)
    assert choices_of_s(text) == [(("a",), 3), (("b",), 2), (("c",), 1)]


class Hashing(str):
    """A value whose hash runs `hook` (when set) before it answers."""

    hook: Callable[[], None] | None = None

    def __hash__(self) -> int:
        if Hashing.hook is not None:
            Hashing.hook()
        return str.__hash__(self)


def test_dump_json_small_writes_the_bag_it_met_when_a_lookup_replaces_it():
    def written(cls: type) -> str:
        armed: list = []
        chain = bag_in_a_cycle(cls, lambda: armed.append(True), first=(Hashing("h"),))
        replace = replace_bag_of_s(chain)
        file = io.StringIO()
        Hashing.hook = lambda: armed and replace()
        try:
            tesmo_cjson.dump_json_small(chain, file)
        finally:
            Hashing.hook = None
        return file.getvalue()

    text = written(Chain)
    assert text == written(Subchain)
    assert choices_of_s(text) == [(("h",), 1), (("a",), 3), (("b",), 2), (("c",), 1)]


class Vanishing(list):
    """The log of a chain whose first logged operation removes the chain from every dict that refers to it.

    Passed by keyword through functools.partial, the keyword dict is all that
    holds the chain besides its running method's own frame.
    """

    def append(self, entry: Any) -> None:
        if not self:
            chain = self.chain()
            for holder in gc.get_referrers(chain):
                if type(holder) is dict and holder.get("chain") is chain:
                    del holder["chain"]
            del chain
        super().append(entry)


@pytest.mark.parametrize("function", ["dump_json_small", "dump_json_big", "load_json_small", "load_json_big"])
def test_a_chain_held_only_by_the_keyword_arguments_stays_for_the_call(function):
    def run(log: list) -> tuple:
        file = io.StringIO() if function.startswith("dump") else io.BytesIO(READ_DOCS[True].encode())
        chain = RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS)
        call = functools.partial(getattr(tesmo_cjson, function), chain=chain, file=file)
        if isinstance(log, Vanishing):
            log.chain = weakref.ref(chain)
        del chain  # no name of this frame holds the chain
        with mock.patch.object(tesmo_cjson, "ProbabilityBag", BagFactory(log)):
            call()
        return log, file.getvalue()

    assert run(Vanishing()) == run([])
