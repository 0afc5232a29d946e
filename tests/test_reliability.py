"""Faulty callers (failing, lying and missing operations), leaks and threads."""

from __future__ import annotations

import gc
import io
import json
import sys
import threading
import tracemalloc
import weakref
from collections.abc import Iterator
from types import SimpleNamespace
from typing import Any
from unittest import mock

import ijson
import pytest
import ujson

import tesmo_cjson
from tesmo import Chain

try:
    from ijson.backends import yajl2_cffi
except ImportError:  # the yajl 2 library is missing
    yajl2_cffi = None

PARSERS = [ijson] + ([yajl2_cffi] if yajl2_cffi else [])
# A yajl2_cffi parse left half-way complains about the premature end when it is collected.
pytestmark = pytest.mark.filterwarnings("ignore:Exception ignored in. <generator object basic_parse_basecoro")
W_SMALL, W_BIG = tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big
R_SMALL, R_BIG = tesmo_cjson.load_json_small, tesmo_cjson.load_json_big
ENTRIES = [("a", [(("b",), 2)]), ("b", [(("a",), 1), (("b", "a"), 1)]), ("c", [])]
FREQS = [("a", 3), ("b", 4), ("c", 1)]
DOCS = {
    True: b'{"codes":[0,"b",1,"a",2,"c"],"chain":[1,[[0],2],0,[[1],1,[0,1],1],2,[]]}',
    False: b'{"codes":[],"chain":["a",[["b"],2],"b",[["a"],1,["b","a"],1],"c",[]]}',
}


class World:
    """The caller's side of one call; every operation is logged and the `fail_at`-th raises.

    Operations: the methods of the chain, bags, frequency mapping, bag class and
    file, lengths, and each step of iterating over what they return.
    """

    def __init__(self, fail_at: int = 0, doc: bytes = b"") -> None:
        self.fail_at, self.error, self.raised = fail_at, RuntimeError("injected"), None
        self.log: list[str] = []
        self.before: list[Any] = []  # (chain, file) as each operation began
        self.chain: dict = {}
        self.written: list[str] = []
        op, state, source = self.op, self.chain, io.BytesIO(doc)

        class Steps:
            def __init__(self, name: str, items: list) -> None:
                self.name, self.items = name, items

            def __len__(self) -> int:
                op(self.name + ".len")
                return len(self.items)

            def __iter__(self) -> Iterator[Any]:
                for item in self.items:
                    op(self.name + ".next")
                    yield item
                op(self.name + ".next")

        class Bag:
            def __init__(self, pairs: Any = None) -> None:
                if pairs is None:  # made by the compact reader
                    op("ProbabilityBag")
                self.pairs = [] if pairs is None else pairs

            @property
            def unique_count(self) -> int:
                op("bag.unique_count")
                return len(self.pairs)

            def choices(self) -> Steps:
                op("bag.choices")
                return Steps("bag.choices", self.pairs)

            def add(self, items: Any, count: Any) -> None:
                op("bag.add")
                self.pairs.append((tuple(items), count))

        class Frequencies:
            def items(self) -> Steps:
                op("freq.items")
                return Steps("freq.items", FREQS)

        class Chain:
            def build_frequency_dict(self) -> Frequencies:
                op("chain.build_frequency_dict")
                return Frequencies()

            def items(self) -> Steps:
                op("chain.items")
                return Steps("chain.items", [(start, Bag(pairs)) for start, pairs in ENTRIES])

            def __len__(self) -> int:
                op("chain.len")
                return len(ENTRIES)

            def clear(self) -> None:
                op("chain.clear")
                state.clear()

            def set_bag(self, start: Any, bag: Bag) -> None:
                op("chain.set_bag")
                state[start] = bag.pairs

            def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
                op("chain.add_to_bag")
                state.setdefault(start, []).append((tuple(items), count))

        written = self.written

        class File:
            def write(self, text: str) -> None:
                op("file.write")
                written.append(text)

            def read(self, size: int = -1) -> bytes:
                op("file.read")
                return source.read(size)

        self.classes = {"chain": Chain, "bag": Bag, "freq": Frequencies, "file": File}
        self.objects = SimpleNamespace(chain=Chain(), file=File(), bag_class=Bag)

    def op(self, name: str) -> None:
        self.before.append((repr(self.chain), "".join(self.written)))
        self.log.append(name)
        if len(self.log) == self.fail_at:
            raise self.error

    def call(self, fn: Any, backend: Any, flag: bool) -> World:
        made = self.objects
        with mock.patch.multiple(tesmo_cjson, ProbabilityBag=made.bag_class, **{backend_global(fn): backend}):
            try:
                fn(made.chain, made.file, flag)
            except Exception as error:
                self.raised = error
        return self


def backend_global(fn: Any) -> str:
    return "ijson" if fn is R_BIG else "json"


CASES = [(fn, backend, flag, flag) for fn in (W_SMALL, W_BIG) for backend in (ujson, json) for flag in (True, False)]
CASES += [
    (fn, backend, merge, compressed)
    for fn, backends in ((R_SMALL, (ujson, json)), (R_BIG, PARSERS))
    for backend in backends
    for merge in (True, False)
    for compressed in (True, False)
]


@pytest.mark.parametrize("fn, backend, flag, compressed", CASES, ids=lambda v: getattr(v, "__name__", str(v)))
def test_every_operation_failing_at_its_kth_call(fn, backend, flag, compressed):
    full = World(0, DOCS[compressed]).call(fn, backend, flag)
    assert full.raised is None
    if fn in (W_SMALL, W_BIG):
        assert json.loads("".join(full.written)) == json.loads(DOCS[compressed])
    else:  # merge mode, and the streaming reader, pass over the empty bag of "c"
        keep_empty = fn is R_SMALL and not flag
        assert full.chain == {start: pairs for start, pairs in ENTRIES if pairs or keep_empty}
    for k in range(1, len(full.log) + 1):
        world = World(k, DOCS[compressed]).call(fn, backend, flag)
        assert world.raised is world.error, (k, full.log[k - 1])
        assert world.log == full.log[:k]
        assert (repr(world.chain), "".join(world.written)) == full.before[k - 1]
        if fn is W_SMALL and backend is ujson:
            assert world.written == []


@pytest.mark.parametrize(
    "fn, flag, missing, error",
    [
        *[
            (fn, True, name, AttributeError)
            for fn in (W_SMALL, W_BIG)
            for name in ("chain.build_frequency_dict", "freq.items", "chain.items", "bag.choices")
        ],
        (W_SMALL, True, "file.write", Exception),
        (W_BIG, True, "file.write", AttributeError),
        (W_BIG, False, "chain.__len__", TypeError),
        (W_BIG, False, "bag.unique_count", AttributeError),
        (R_SMALL, False, "chain.clear", AttributeError),
        (R_SMALL, False, "chain.set_bag", AttributeError),
        (R_SMALL, False, "bag.add", AttributeError),
        (R_SMALL, True, "chain.add_to_bag", AttributeError),
        (R_BIG, False, "chain.clear", AttributeError),
        (R_BIG, True, "chain.add_to_bag", AttributeError),
        (R_SMALL, False, "file.read", Exception),
        (R_BIG, False, "file.read", Exception),
    ],
)
def test_an_operation_that_is_missing(fn, flag, missing, error):
    world = World(0, DOCS[True])
    owner, name = missing.split(".")
    delattr(world.classes[owner], name)
    world.call(fn, getattr(tesmo_cjson, backend_global(fn)), flag)
    assert isinstance(world.raised, error)
    if error is AttributeError:
        assert f"'{name}'" in str(world.raised)
    elif error is TypeError:
        assert str(world.raised) == "object of type 'Chain' has no len()"


class Sized:
    """An iterable whose length is made up."""

    def __init__(self, items: list, length: int) -> None:
        self.items, self.length = items, length

    def __len__(self) -> int:
        return self.length

    def __iter__(self) -> Iterator[Any]:
        return iter(self.items)


class OneEntry:
    """A chain of one entry whose sizes, and pairs, need not match what it yields."""

    def __init__(
        self, length: int = 1, unique: int = 1, freq_len: int = 2, entry: Any = None, choice: Any = lambda: (("b",), 2)
    ) -> None:
        bag = SimpleNamespace(unique_count=unique, choices=lambda: [choice()])
        self.entry = entry or (lambda: ("a", bag))
        self.freqs = SimpleNamespace(items=lambda: Sized([("a", 1), ("b", 1)], freq_len))
        self.length = length

    def __len__(self) -> int:
        return self.length

    def items(self) -> list:
        return [self.entry()]

    def build_frequency_dict(self) -> Any:
        return self.freqs


@pytest.mark.parametrize(
    "chain, compress, message, written",
    [
        (OneEntry(length=0), False, "chain has length 0 but items() yielded more pairs", '{"codes":[],"chain":['),
        (
            OneEntry(length=2),
            False,
            "chain has length 2 but items() yielded 1 pairs",
            '{"codes":[],"chain":["a",[["b"],2],',
        ),
        (
            OneEntry(unique=0),
            False,
            "bag's unique_count is 0 but choices() yielded more pairs",
            '{"codes":[],"chain":["a",[',
        ),
        (
            OneEntry(unique=2),
            False,
            "bag's unique_count is 2 but choices() yielded 1 pairs",
            '{"codes":[],"chain":["a",[["b"],2,',
        ),
        (OneEntry(freq_len=3), True, "frequency mapping's items() has length 3 but yielded 2 pairs", '{"codes":['),
        (OneEntry(freq_len=1), True, "frequency mapping's items() has length 1 but yielded 2 pairs", '{"codes":['),
        # Lengths far beyond what is yielded are only compared, never allocated
        # for, and the extremes of a machine word are no arithmetic hazard.
        (
            OneEntry(freq_len=2**61),
            True,
            f"frequency mapping's items() has length {2**61} but yielded 2 pairs",
            '{"codes":[',
        ),
        (
            OneEntry(freq_len=2**45),
            True,
            f"frequency mapping's items() has length {2**45} but yielded 2 pairs",
            '{"codes":[',
        ),
        (
            OneEntry(unique=-(2**63)),
            False,
            f"bag's unique_count is {-(2**63)} but choices() yielded more pairs",
            '{"codes":[],"chain":["a",[',
        ),
        (
            OneEntry(unique=2**63 - 1),
            False,
            f"bag's unique_count is {2**63 - 1} but choices() yielded 1 pairs",
            '{"codes":[],"chain":["a",[["b"],2,',
        ),
    ],
)
def test_streaming_writer_refuses_sizes_that_lie(chain, compress, message, written):
    out = io.StringIO()
    with pytest.raises(ValueError) as raised:
        W_BIG(chain, out, compress)
    assert (str(raised.value), out.getvalue()) == (message, written)


@pytest.mark.parametrize("where", ["entry", "choice", "event"])
@pytest.mark.parametrize(
    "pair, error, message",
    [
        (lambda: (), ValueError, "need more than 0 values to unpack"),
        (lambda: ["a"], ValueError, "need more than 1 value to unpack"),
        (lambda: (x for x in "a"), ValueError, "need more than 1 value to unpack"),
        (lambda: ("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
        (lambda: iter("abc"), ValueError, "too many values to unpack (expected 2)"),
        (lambda: 5, TypeError, None),
    ],
)
def test_pairs_of_the_wrong_size(where, pair, error, message):
    if where == "event":
        parser = SimpleNamespace(basic_parse=lambda file, **options: iter([pair()]))
        calls = [(R_BIG, Chain(), parser)]
    else:
        calls = [(writer, OneEntry(**{where: pair}), ijson) for writer in (W_SMALL, W_BIG)]
    for fn, chain, parser in calls:
        with mock.patch.object(tesmo_cjson, "ijson", parser), pytest.raises(error) as raised:
            fn(chain, io.StringIO(), False)
        assert message is None or str(raised.value) == message


class Drained:
    """What one lazy next start has yielded so far, and the error that stopped it."""

    def __init__(self, items: Iterator[Any]) -> None:
        self.items, self.values, self.error = items, [], None

    def drain(self, most: int = 5) -> None:
        if self.error is not None:
            return
        try:
            for _ in range(most):
                self.values.append(next(self.items))
        except StopIteration:
            pass
        except KeyError as error:
            self.error = error.args

    @property
    def result(self) -> tuple:
        return tuple(self.values), self.error


@pytest.mark.parametrize("builder", [ijson.ObjectBuilder, type("PyBuilder", (ijson.ObjectBuilder,), {})])
def test_item_iterators_kept_past_add_to_bag_yield_their_own_next_start(builder):
    kept: list[Drained] = []

    def keep(start: Any, items: Iterator[Any], count: Any) -> None:
        for earlier in kept:  # while a later next start is being read
            earlier.drain(1)
        kept.append(Drained(items))

    chain = SimpleNamespace(clear=lambda: None, add_to_bag=keep)
    doc = b'{"codes":[0,"b",1,"a",2,"c"],"chain":[1,[[0],2,[1,0,2],1],0,[[5],1,[],3,[2,2],4]]}'
    with mock.patch.object(tesmo_cjson, "ObjectBuilder", builder):
        R_BIG(chain, io.BytesIO(doc))
    gc.collect()
    for items in kept:
        items.drain()
    assert [items.result for items in kept] == [
        (("b",), None),
        (("a", "b", "c"), None),
        ((), (5,)),
        ((), None),
        (("c", "c"), None),
    ]


def test_a_next_start_that_advances_its_own_iterator_while_it_is_made():
    made = weakref.WeakSet()
    handed: list = []
    pulled: list = []

    class Elements:
        def __init__(self, values: list) -> None:
            self.inner = iter(values)
            made.add(self)

        def __next__(self) -> Any:
            return next(self.inner)

        def __iter__(self) -> Elements:
            return self

    class Reentrant:
        """A builder value whose iter(), under add_to_bag, first pulls from the lazy next start itself."""

        def __init__(self, values: list) -> None:
            self.values, self.entered = values, False

        def __iter__(self) -> Elements:
            if handed and not self.entered:
                self.entered = True
                pulled.append(next(handed[-1]))
            return Elements(self.values)

    class Builder(ijson.ObjectBuilder):
        @property
        def value(self) -> Any:
            return Reentrant(self._value)

        @value.setter
        def value(self, value: Any) -> None:
            self._value = value

    def add_to_bag(start: Any, items: Iterator[Any], count: Any) -> None:
        handed.append(items)
        pulled.extend(items)

    chain = SimpleNamespace(clear=lambda: None, add_to_bag=add_to_bag)
    with mock.patch.object(tesmo_cjson, "ObjectBuilder", Builder):
        R_BIG(chain, io.BytesIO(b'{"codes":[0,"b",1,"a"],"chain":[1,[[0,1],2]]}'))
    handed.clear()
    gc.collect()
    # The pull from inside iter() takes "b", the outer one goes on with "a",
    # and every element iterator made on the way is released.
    assert pulled == ["b", "a"] and len(made) == 0


def sample_chain(cls: type = Chain) -> Chain:
    chain = cls()
    one, two, big = "".join(["o", "ne"]), "".join(["t", "wo"]), 10**15  # objects of their own
    chain.add_to_bag(one, (two, big), 10**16)
    chain.add_to_bag(two, (one,), 10**17)
    chain.add_to_bag(big, (), 10**18)
    return chain


def held(chain: Chain) -> list:
    """Every start, bag, next-start element and count that the chain holds."""
    return [obj for start, bag in Chain.items(chain) for obj in (start, bag)] + [
        obj for _, bag in Chain.items(chain) for items, count in bag.choices() for obj in (*items, count)
    ]


def variant(name: str, **methods: Any) -> type:
    return type(name, (Chain,), methods)


FORGETFUL = variant(
    "Forgetful",  # its frequency mapping lacks the first value
    build_frequency_dict=lambda self: dict(list(Chain.build_frequency_dict(self).items())[1:]),
)
TRIPLES = variant("Triples", items=lambda self: [(*pair, None) for pair in Chain.items(self)])
LONGER = variant("Longer", __len__=lambda self: 5)
FAILING = variant("Failing", add_to_bag=lambda self, start, items, count: {}[start])
UNWRITABLE = SimpleNamespace(write=lambda text: {}[text])


def leak_cases() -> list:
    yes, no, out = [1], [], io.StringIO()  # flags of their own, whose reference counts can be watched
    docs = {}
    for flag in (True, False):
        text = io.StringIO()
        W_BIG(sample_chain(), text, flag)
        docs[flag] = text.getvalue().encode()
    cases = [(w, sample_chain(), out, flag, None) for w in (W_SMALL, W_BIG) for flag in (yes, no)]
    cases += [
        (w, sample_chain(cls), file, yes, error)
        for w in (W_SMALL, W_BIG)
        for cls, file, error in [(FORGETFUL, out, KeyError), (TRIPLES, out, ValueError), (Chain, UNWRITABLE, KeyError)]
    ]
    cases.append((W_BIG, sample_chain(LONGER), out, no, ValueError))
    bad = [
        (KeyError, b'{"codes":[0,"a"],"chain":[0,[[1],2]]}'),
        (TypeError, b'{"codes":[[0],"a"],"chain":[]}'),
        (Exception, b'{"codes":[0,"a"],"chain":[0,[[0],2'),
    ]
    for read in (R_SMALL, R_BIG):
        cases += [(read, Chain(), io.BytesIO(docs[c]), flag, None) for c in (True, False) for flag in (yes, no)]
        cases += [(read, Chain(), io.BytesIO(text), yes, error) for error, text in bad]
        cases.append((read, FAILING(), io.BytesIO(docs[True]), yes, KeyError))
    return [
        pytest.param(
            *case,
            id=f"{case[0].__name__}-{type(case[1]).__name__}-{type(case[2]).__name__}-"
            f"{getattr(case[4], '__name__', 'ok')}",
        )
        for case in cases
    ]


def leaked_bytes(call: Any, calls: int = 2_000) -> int:
    """Growth of the memory the interpreter's allocators hand out over `calls` calls.

    tracemalloc sees every object allocation with pymalloc and without it
    (PYTHONMALLOC=malloc, as in the sanitizer run). The calls are measured
    after as many traced calls again: caches and free lists (ujson's load holds
    hundreds of blocks for a while under ASan) fill in the first round, while a
    leak grows in both.
    """
    tracemalloc.start()
    try:
        for _ in range(calls):
            call()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


@pytest.mark.slow
@pytest.mark.parametrize("fn, chain, file, flag, error", leak_cases())
def test_no_leaks_on_success_or_error(fn, chain, file, flag, error):
    def call() -> None:
        if isinstance(file, io.IOBase):
            file.seek(0)
            file.truncate() if fn in (W_SMALL, W_BIG) else None
        try:
            fn(chain, file, flag)
        except Exception as raised:
            if error is None or not isinstance(raised, error):
                raise
        else:
            assert error is None, f"expected {error.__name__}"

    call()
    # A reader replaces what the chain holds, so only the chain itself is watched.
    watched = [chain, file, flag] + (held(chain) if fn in (W_SMALL, W_BIG) else [])
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    # One object lost per call would be 2,000 objects of 16 bytes or more;
    # what the interpreter's own caches hold varies by a few kilobytes.
    assert leaked_bytes(call) < 16_000
    assert [sys.getrefcount(obj) for obj in watched] == counts


def test_threads_dump_and_load_different_chains_at_once():
    chains = [Chain() for _ in range(4)]
    for seed, chain in enumerate(chains, 1):
        for i in range(40):
            chain.add_to_bag(f"s{i * seed % 7}", [i % 5, f"w{i % 3}", None][: 1 + i % 3], 1 + i % 4)
    expected = {}
    for chain in chains:
        for w, flag in [(W_SMALL, True), (W_SMALL, False), (W_BIG, True), (W_BIG, False)]:
            expected[id(chain), w, flag] = out = io.StringIO()
            w(chain, out, flag)
    errors: list = []
    barrier = threading.Barrier(len(chains))

    def work(chain: Chain) -> None:
        try:
            barrier.wait()
            for _ in range(20):
                for w, flag in [(W_SMALL, True), (W_SMALL, False), (W_BIG, True), (W_BIG, False)]:
                    out = io.StringIO()
                    w(chain, out, flag)
                    assert out.getvalue() == expected[id(chain), w, flag].getvalue()
                    for read, loaded in [(R_SMALL, Chain()), (R_BIG, Chain())]:
                        read(loaded, io.BytesIO(out.getvalue().encode()))
                        assert loaded == chain
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(chain,)) for chain in chains]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
