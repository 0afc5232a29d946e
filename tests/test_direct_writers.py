"""The writers' direct paths into the native chain, against their general path.

An exact tesmo.chain.Chain is read through the chain's C API; a trivial
subclass of it is not exact, so the writers call its items(), len() and
build_frequency_dict() and its bags' unique_count and choices(), which behave
alike. Both must give the same pieces, the same errors at the same point and
leave the chain alike, whatever the values, the counts, the file or the
encoder do. With the genuine encoder bound, plain values are rendered
natively for any chain; a wrapper bound as the encoder forces its dumps.
"""

from __future__ import annotations

import gc
import io
import math
import pickle
from collections.abc import Callable
from fractions import Fraction
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_compact_fast import MODULES, Delegate
from test_reliability import leaked_bytes

import tesmo_cjson
from tesmo import reference
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain


class Sub(Chain):
    """Not the exact type: the general path runs, with the same behaviour."""


class Key:
    """A value of the caller's: hashed and compared in Python, rendered by ujson through __json__."""

    def __init__(self, name: str, hook: Any = None) -> None:
        self.name, self.hook = name, hook

    def __hash__(self) -> int:
        if self.hook:
            self.hook()
        return hash(self.name) & 7

    def __eq__(self, other: Any) -> bool:
        return isinstance(other, Key) and other.name == self.name

    def __repr__(self) -> str:
        return f"Key({self.name!r})"

    def __json__(self) -> str:
        return f'"{self.name}"'


NAN = float("nan")
VALUES = st.one_of(
    st.sampled_from(
        [
            0,
            1,
            1.0,
            True,
            False,
            None,
            NAN,
            0.0,
            -0.0,
            "",
            "a",
            "b/c",
            "\x7f",
            "\u00e9\U0001f600",
            "\ud800",
            2**63 - 1,
            -(2**63),
            2**64,
            10**30,
            1e16,
            1.5e-7,
            math.inf,
            (),
            (1, "x"),
            ((1.0,), None),
            b"x",
        ]
    ),
    st.integers(-300, 300),
    st.text(max_size=3),
    st.builds(Key, st.sampled_from("pq")),
)
COUNTS = st.one_of(
    st.integers(-3, 30),
    st.sampled_from(
        [
            True,
            2**31 - 1,
            2**31,
            -(2**31) - 1,
            2**32,
            2**63 - 1,
            2**63,
            -(2**63) - 1,
            2**64,
            10**30,
            0.5,
            -0.0,
            1e300,
            math.inf,
            Fraction(1, 3),
        ]
    ),
)
NEXT_STARTS = st.lists(VALUES, max_size=3)
OPS = st.lists(
    st.one_of(
        st.tuples(st.just("add"), VALUES, NEXT_STARTS, COUNTS),
        st.tuples(
            st.just("bag"),
            VALUES,
            st.lists(st.tuples(NEXT_STARTS, COUNTS), max_size=3),
            st.sampled_from([ProbabilityBag, reference.ProbabilityBag]),
        ),
    ),
    max_size=8,
)
SOME = settings(max_examples=250, deadline=None, suppress_health_check=list(HealthCheck))


def build(cls: type, ops: list) -> Any:
    chain = cls()
    for op in ops:
        try:
            if op[0] == "add":
                chain.add_to_bag(op[1], op[2], op[3])
            else:
                bag = op[3]()
                for items, count in op[2]:
                    bag.add(items, count)
                chain.set_bag(op[1], bag)
        except TypeError:  # unhashable, or counts that cannot be added
            pass
    return chain


def state(chain: Any) -> str:
    """Everything the chain holds, by repr (so that 1, 1.0 and True differ), bag types included."""
    return repr([(start, type(bag).__name__, list(bag.choices())) for start, bag in chain.items()])


class LogFile:
    """A file that keeps each piece, and may act on the n-th write."""

    def __init__(self, act: Callable[[int], None] = lambda n: None) -> None:
        self.pieces: list[str] = []
        self.act = act

    def write(self, text: str) -> None:
        self.pieces.append(text)
        self.act(len(self.pieces))


def outcome(call: Callable[[], None]) -> Any:
    try:
        call()
    except Exception as error:  # compared by type and message
        return type(error), str(error)
    return None


def compare(ops: list, run: Callable[[Any], Any]) -> Any:
    """run(chain) on a native chain and on a Sub built alike: the same result and the same chain after."""
    results = []
    for cls in (Chain, Sub):
        chain = build(cls, ops)
        results.append((run(chain), state(chain)))
    assert results[0] == results[1]
    return results[0]


WRITERS = ["dump_json_small", "dump_json_big"]


@SOME
@given(ops=OPS, compress=st.booleans(), to_log=st.booleans())
@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("encoder", ["ujson", "json", "wrapper"])
def test_random_chains(writer, encoder, ops, compress, to_log):
    module = MODULES["json" if encoder == "json" else "ujson"]
    saved = module.json
    if encoder == "wrapper":
        module.json = Delegate(saved)

    def run(chain: Any) -> Any:
        file = LogFile() if to_log else io.StringIO()
        error = outcome(lambda: getattr(module, writer)(chain, file, compress))
        return error, file.pieces if to_log else file.getvalue()

    try:
        compare(ops, run)
    finally:
        module.json = saved


def mutations(chain: Any) -> list[Callable[[], None]]:
    """What a caller's code may do to the chain in the middle of a dump."""
    first = next(iter(chain), "a")

    def set_bag() -> None:
        bag = ProbabilityBag()
        bag.add(["swapped"], 9)
        chain.set_bag(first, bag)

    return [
        lambda: chain.add_to_bag("new start", ["x"]),
        lambda: chain.add_to_bag(first, ["new next start"]),
        lambda: chain.add_to_bag(first, list(chain[first])[0] if first in chain and len(chain[first]) else ["x"]),
        chain.clear,
        set_bag,
        lambda: chain[first].__init__() if first in chain else None,
    ]


HOSTILE = [
    ("add", "a", ["b", "c"], 2),
    ("add", "a", ["c"], 2**40),
    ("add", "b", ["a"], Fraction(1, 2)),
    ("bag", "e", [], ProbabilityBag),
    ("add", "c", [1, 1.0, True], 3),
    ("add", None, [NAN, (1, "x")], 1),
    ("bag", "r", [(["a"], 5)], reference.ProbabilityBag),
    ("add", "d", ["a", "b"], -1),
]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("what", range(6))
def test_files_that_change_the_chain_while_it_is_written(writer, compress, what):
    for at in range(1, 30):

        def run(chain: Any) -> Any:
            change = mutations(chain)[what]

            def act(n: int) -> None:
                if n == at:
                    change()
                if n == at + 3 and what == 0:
                    raise OSError("disk full")

            file = LogFile(act)
            return outcome(lambda: getattr(tesmo_cjson, writer)(chain, file, compress)), file.pieces

        compare(HOSTILE, run)


@pytest.mark.parametrize("writer", ["dump_json_big"])
@pytest.mark.parametrize("compress", [True, False])
def test_ids_freed_and_taken_by_other_values_midway(writer, compress):
    # Replacing a bag already written frees its values' ids; a bag installed
    # later in the chain may take them for values of its own.
    ops = [("add", "a", ["old", 7.5], 1), ("add", "m", ["x"], 1), ("add", "z", ["y"], 1)]
    for at in range(1, 12):

        def run(chain: Any) -> Any:
            def act(n: int) -> None:
                if n == at:
                    chain.set_bag("a", ProbabilityBag())
                    fresh = ProbabilityBag()
                    fresh.add(["fresh", 2.5])
                    chain.set_bag("z", fresh)

            file = LogFile(act)
            return outcome(lambda: getattr(tesmo_cjson, writer)(chain, file, compress)), file.pieces

        compare(ops, run)


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("what", range(6))
def test_values_whose_hash_changes_the_chain(writer, compress, what):
    # Hashed in the lookups of a compressed document; in a plain one rendered
    # through __json__ by the encoder's dumps.
    for at in range(1, 12):
        calls = [0]

        def run(chain: Any) -> Any:
            calls[0] = 0
            change = mutations(chain)[what]

            def hook() -> None:
                calls[0] += 1
                if calls[0] == at:
                    change()

            chain.add_to_bag(Key("p"), [Key("q"), "z"], 4)
            chain.add_to_bag("z", [Key("p")], 1)
            for value in chain:
                if isinstance(value, Key):
                    value.hook = hook
            for _, bag in chain.items():
                for next_start in bag:
                    for value in next_start:
                        if isinstance(value, Key):
                            value.hook = hook
            file = io.StringIO()
            return outcome(lambda: getattr(tesmo_cjson, writer)(chain, file, compress)), file.getvalue(), calls[0]

        compare(HOSTILE, run)


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("what", ["grow", "empty"])
def test_a_bag_installed_in_another_chain_since(writer, compress, what):
    # The bag keeps its values in the other chain's vocabulary, where a value
    # of the caller's may equal a plain one of this chain: the table then
    # holds only plain values, but looking that value up runs its __hash__,
    # which here refills or empties the bag while its choice is written.
    for at in range(1, 6):
        calls = [0]

        def run(chain: Any) -> Any:
            bag, other = ProbabilityBag(), Chain()
            calls[0] = -1  # its first hash, when it is added, counts for nothing

            class Same:
                def __hash__(self) -> int:
                    calls[0] += 1
                    if calls[0] == at:
                        if what == "grow":
                            for i in range(500):
                                bag.add([f"v{i}", i])
                        else:
                            bag.__init__()
                    return hash("a")

                def __eq__(self, other: Any) -> bool:
                    return other == "a"

                def __repr__(self) -> str:
                    return "Same()"

            # Equal strings that are not the same object: only the bag holds its own.
            chain.add_to_bag("a", ["a", "".join(["un", "ique"])])
            chain.set_bag("x", bag)
            other.set_bag("y", bag)
            bag.add([Same(), "".join(["uni", "que"])])
            file = io.StringIO()
            return outcome(lambda: getattr(tesmo_cjson, writer)(chain, file, compress)), file.getvalue(), calls[0]

        compare([], run)


def test_an_encoder_that_changes_the_chain_or_is_swapped_midway():
    for at in range(1, 15):
        for swap in (False, True):

            class Encoder(Delegate):
                calls = 0

                def dumps(self, obj: Any) -> str:
                    Encoder.calls += 1
                    if Encoder.calls == at:
                        if swap:  # the genuine encoder from now on
                            tesmo_cjson.json = self.real
                        else:
                            self.chain.add_to_bag("late", ["x"])
                    return self.real.dumps(obj)

            for writer in WRITERS:
                for compress in (True, False):

                    def run(chain: Any) -> Any:
                        Encoder.calls = 0
                        encoder = Encoder(tesmo_cjson.json)
                        encoder.chain = chain
                        tesmo_cjson.json = encoder
                        try:
                            file = LogFile()
                            return outcome(lambda: getattr(tesmo_cjson, writer)(chain, file, compress)), file.pieces
                        finally:
                            tesmo_cjson.json = encoder.real

                    compare(HOSTILE[:5], run)


@pytest.mark.parametrize("name", MODULES)
def test_an_encoder_rebound_after_a_value_was_rendered(name):
    # "b/c" is rendered natively as a next start, then, once the file has
    # rebound the encoder, met again as a start: the new encoder's dumps
    # writes it (ujson escapes the slash, json does not), as for a subclass.
    module = MODULES[name]
    genuine = module.json
    other = MODULES["json" if name == "ujson" else "ujson"].json
    for swap_to in (other, "wrapper"):
        results = []
        for cls in (Chain, Sub):
            chain = cls()
            for i in range(300):
                chain.add_to_bag(f"s{i}", ["b/c"], 2)
            chain.add_to_bag("b/c", ["z"])
            dumped: list = []

            class Recording(Delegate):
                def dumps(self, obj: Any) -> str:
                    dumped.append(obj)
                    return self.real.dumps(obj)

            encoder = Recording(genuine) if swap_to == "wrapper" else swap_to

            def act(n: int) -> None:
                if n == 200:
                    module.json = encoder

            file = LogFile(act)
            try:
                module.dump_json_big(chain, file, False)
            finally:
                module.json = genuine
            results.append((file.pieces, dumped))
        assert results[0] == results[1]
        if swap_to == "wrapper":
            assert "b/c" in results[0][1]
        else:
            assert results[0][0][-5] == swap_to.dumps("b/c") + ",["


def test_patched_methods_of_the_native_types_are_called(monkeypatch):
    chain = build(Chain, [op for op in HOSTILE if op[1] != "b"])  # a Fraction count ujson cannot write
    calls = []
    choices = ProbabilityBag.choices
    monkeypatch.setattr(ProbabilityBag, "choices", lambda self: calls.append(len(self)) or choices(self))
    for writer in WRITERS:
        calls.clear()
        getattr(tesmo_cjson, writer)(chain, io.StringIO())
        assert calls == [2, 0, 1, 1, 1]  # every native bag, in order; not the reference bag
    monkeypatch.undo()
    monkeypatch.setattr(Chain, "items", lambda self: iter([("only", ProbabilityBag())]))
    out = io.StringIO()
    tesmo_cjson.dump_json_small(chain, out, False)
    assert out.getvalue() == '{"codes":[],"chain":["only",[]]}'
    with pytest.raises(ValueError, match=r"^chain has length 6 but items\(\) yielded 1 pairs$"):
        tesmo_cjson.dump_json_big(chain, io.StringIO(), False)
    monkeypatch.undo()
    looked_up = []

    def getattribute(self: Any, name: str) -> Any:
        looked_up.append(name)
        return object.__getattribute__(self, name)

    monkeypatch.setattr(Chain, "__getattribute__", getattribute)
    for writer in WRITERS:
        looked_up.clear()
        getattr(tesmo_cjson, writer)(chain, io.StringIO())
        assert looked_up == ["build_frequency_dict", "items"]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False])
def test_a_dump_makes_no_bag_objects(writer, compress):
    def bags() -> int:
        gc.collect()
        return sum(type(o) is ProbabilityBag for o in gc.get_objects())

    chain = Chain()
    for i in range(300):
        chain.add_to_bag(f"s{i}", [f"v{i % 7}", i % 5], i % 3 + 1)
    before = bags()
    for _ in range(2):
        getattr(tesmo_cjson, writer)(chain, io.StringIO(), compress)
    assert bags() == before
    copy = pickle.loads(pickle.dumps(chain))
    assert state(copy) == state(chain) and bags() == before + 600


# ---------------------------------------------------------------- the renderer


SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**64), 2**64),
    st.floats(),
    st.floats(-1e-3, 1e-3),
    st.floats(width=32),
    st.text(max_size=5),
    st.sampled_from(["/", "\x7f", "\x00\x1f", '"\\', "\ud800", "\udfff\ud800", "\U0001f600", "\u2028", "\xff"]),
)
RENDERED = st.one_of(SCALARS, st.lists(SCALARS, max_size=3), st.lists(SCALARS, max_size=2).map(tuple))


@settings(max_examples=500, deadline=None)
@given(values=st.lists(st.tuples(SCALARS, st.lists(RENDERED, max_size=3)), max_size=4))
@pytest.mark.parametrize("name", MODULES)
def test_plain_documents_render_as_each_encoders_dumps(name, values):
    # For any chain: starts and next starts that the encoder itself would
    # render (forced by a wrapper around it) give the same pieces.
    module = MODULES[name]
    entries = [(start, [(next_start, 1) for next_start in next_starts]) for start, next_starts in values]

    class Bag:
        def __init__(self, pairs: list) -> None:
            self.pairs = pairs
            self.unique_count = len(pairs)

        def choices(self) -> Any:
            return iter(self.pairs)

    class Pairs:
        def items(self) -> Any:
            return iter([(start, Bag(pairs)) for start, pairs in entries])

        def __len__(self) -> int:
            return len(entries)

    pieces = []
    for encoder in (module.json, Delegate(module.json)):
        saved, module.json = module.json, encoder
        try:
            file = LogFile()
            pieces.append((outcome(lambda: module.dump_json_big(Pairs(), file, False)), file.pieces))
        finally:
            module.json = saved
    assert pieces[0] == pieces[1]


@pytest.mark.slow
def test_the_direct_paths_leak_nothing():
    def work() -> None:
        # Values made afresh each round, so that a reference kept to one
        # keeps memory that grows round by round.
        words = [f"w{i}" for i in range(400)] + [float(i) / 3 for i in range(50)] + [2**70 + 1, Key("p")]
        ops = [("add", words[i % 23], [words[i], words[i % 5]], i % 4 + 2**i) for i in range(len(words))]
        ops += [("bag", "r", [(words[:2], 5)], reference.ProbabilityBag), ("add", "f", ["g"], Fraction(1, 3))]
        for writer in WRITERS:
            for compress in (True, False):
                for make in (io.StringIO, LogFile, lambda: LogFile(lambda n: n == 9 and chain.add_to_bag("t", ["u"]))):
                    chain = build(Chain, ops)
                    outcome(lambda: getattr(tesmo_cjson, writer)(chain, make(), compress))

    grown = leaked_bytes(work, calls=15)
    assert grown < 100_000, f"{grown} bytes more after 15 rounds"
