"""The native chain while Python code runs inside its own allocations.

Any allocation of a tracked object can run the collector, and through it
finalizers and gc.callbacks: code that may empty, refill or replace the very
bag or chain being read. Here a collection runs at every such allocation of
an operation and one chosen collection runs that code, for each one in turn.
Whatever it does, an operation gives back only what the bag held (or what the
code added) or raises the error a dict would; nothing reads freed memory (the
sanitizer build reports any such read)."""

from __future__ import annotations

import gc
import io
import pickle
import random
from contextlib import contextmanager
from fractions import Fraction

import pytest

import tesmo_cjson
from tesmo import reference
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

CHANGED = "changed size during iteration"
NO_POSITIVE = "cannot choose from a bag without positive counts"


@contextmanager
def code_at_collection(at, action):
    """Within the block every allocation of a tracked object starts a
    collection, and the `at`-th collection runs `action` first."""
    seen = {"collections": 0}
    spare = []

    def hook(phase, info):
        if phase == "start":
            seen["collections"] += 1
            if seen["collections"] == at:
                action()
        else:
            # Two objects that outlive the collection: the next allocation
            # starts another one.
            spare.append([])
            spare.append([])

    threshold = gc.get_threshold()
    gc.callbacks.append(hook)
    # Only the youngest objects are collected: cheap, and enough to run code.
    gc.set_threshold(1, 10**9, 10**9)
    try:
        yield seen
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(hook)


def at_every_collection(make, operation, action):
    """Yields, for each collection of `operation(made)` in turn, what was
    made and what the operation gave when `action(made)` ran at that
    collection."""
    for at in range(1, 400):
        made = make()
        with code_at_collection(at, lambda: action(made)) as seen:
            try:
                result = ("ok", operation(made))
            except (RuntimeError, ValueError) as error:
                result = ("raised", type(error), str(error))
        if seen["collections"] < at:
            return
        yield made, result
    raise AssertionError("the operation never stopped collecting")


# Next starts longer than the interpreter keeps free tuples for, so that
# making one always allocates.
STARTS = [tuple(f"w{i}.{j}" for j in range(25)) for i in range(3)]
COUNTS = {"machine integers": [2, 3**30, 5], "Python numbers": [2, Fraction(1, 3), 2**70]}
ADDED = {(("new",), 7), (("grown",), 1)}


def filled(counts):
    b = ProbabilityBag()
    for start, count in zip(STARTS, counts, strict=True):
        b.add(list(start), count)
    return b


class LikeStart:
    """Equal to one next start without being a tuple: `in` compares it with each."""

    def __hash__(self):
        return hash(STARTS[2])

    def __eq__(self, other):
        return other == STARTS[2]


BAG_READERS = {
    "iteration": lambda b: [(s, None) for s in b],
    "choices": lambda b: list(b.choices()),
    "repr": lambda b: list(eval(repr(b), {"ProbabilityBag": dict, "Fraction": Fraction}).items()),
    "pickle": lambda b: list(pickle.loads(pickle.dumps(b)).choices()),
    "==": lambda b: b == filled(COUNTS["machine integers"]),
    "in": lambda b: LikeStart() in b,
    "choose": lambda b: [(b.choose(random.Random(7)), None)],
}
BAG_ACTIONS = {
    "emptied": lambda b: b.__init__(),
    "refilled": lambda b: (b.__init__(), b.add(["new"], 7)),
    "grown": lambda b: b.add(["grown"], 1),
}


@pytest.mark.parametrize("counts", COUNTS)
@pytest.mark.parametrize("action", BAG_ACTIONS)
@pytest.mark.parametrize("reader", BAG_READERS)
def test_every_reader_of_a_bag_gives_what_the_bag_held(reader, action, counts):
    held = set(zip(STARTS, COUNTS[counts], strict=True)) | ADDED
    for _, result in at_every_collection(lambda: filled(COUNTS[counts]), BAG_READERS[reader], BAG_ACTIONS[action]):
        if result[0] == "raised":
            assert result[2] in ("ProbabilityBag " + CHANGED, NO_POSITIVE)
        elif isinstance(result[1], bool):
            assert reader in ("==", "in")
        else:
            for start, count in result[1]:
                assert (start, count) in held if count is not None else start in {s for s, _ in held}


def chain_of_bags():
    c = Chain()
    for n, start in enumerate(STARTS):
        c.add_to_bag(n, list(start), n + 2)
    c[1]  # one bag object made, the others kept as blocks
    return c


CHAIN_READERS = {
    "items": lambda c: [(s, list(b.choices())) for s, b in c.items()],
    "repr": lambda c: [(s, list(b.items())) for s, b in eval(repr(c), {"Chain": dict, "ProbabilityBag": dict}).items()],
    "pickle": lambda c: [(s, list(b.choices())) for s, b in pickle.loads(pickle.dumps(c)).items()],
    "==": lambda c: c == chain_of_bags(),
    "frequencies": lambda c: list(c.build_frequency_dict().items()),
}
CHAIN_ACTIONS = {
    "cleared": lambda c: c.clear(),
    "bag replaced": lambda c: c.set_bag(1, ProbabilityBag()),
    "bag emptied": lambda c: c[0].__init__(),
    "start added": lambda c: c.add_to_bag("new", ["new"], 7),
}


@pytest.mark.parametrize("action", CHAIN_ACTIONS)
@pytest.mark.parametrize("reader", CHAIN_READERS)
def test_every_reader_of_a_chain_gives_what_the_chain_held(reader, action):
    pairs = {(n, (start, n + 2)) for n, start in enumerate(STARTS)} | {("new", (("new",), 7))}
    values = {v for start in STARTS for v in start} | {0, 1, 2, "new"}
    for _, result in at_every_collection(chain_of_bags, CHAIN_READERS[reader], CHAIN_ACTIONS[action]):
        if result[0] == "raised":
            assert result[2] in ("Chain " + CHANGED, "ProbabilityBag " + CHANGED)
        elif reader == "==":
            assert isinstance(result[1], bool)
        elif reader == "frequencies":
            assert {value for value, _ in result[1]} <= values
        else:
            assert {(start, choice) for start, choices in result[1] for choice in choices} <= pairs


class Meddling(random.Random):
    """Draws `point` after running `meddle` on the bag being chosen from."""

    def __init__(self, point, meddle):
        self.point, self.meddle, self.bag = point, meddle, None

    def __new__(cls, *args):
        # random.Random.__new__ takes at most a seed before 3.11.
        return super().__new__(cls)

    def random(self):
        self.meddle(self.bag)
        return self.point


MEDDLES = {
    "refilled": lambda b: (b.__init__(), b.add(["z"], 9)),
    "emptied": lambda b: b.__init__(),
    "grown": lambda b: [b.add([f"g{i}"], 10) for i in range(20)],
    "counts raised": lambda b: b.add(["a"], 2**40),
}


@pytest.mark.parametrize("meddle", MEDDLES)
@pytest.mark.parametrize("counts", [(1, 2, 3), (1, Fraction(2), 2**70)], ids=["machine", "python"])
def test_choose_returns_the_pick_of_the_totals_it_drew_from(meddle, counts):
    """An rng that changes the bag while it draws: the pick is the one the
    totals before the draw give, the bag is what the rng left, as in the
    reference; the next pick draws from that."""
    results = []
    for make in (ProbabilityBag, reference.ProbabilityBag):
        seen = []
        for point in (0.0, 0.2, 0.5, 0.9, Fraction(1, 2)):
            b = make()
            for key, count in zip("abc", counts, strict=True):
                b.add([key], count)
            rng = Meddling(point, MEDDLES[meddle])
            rng.bag = b
            first = outcome(b.choose, rng)
            seen.append((first, outcome(b.choose, random.Random(3)), list(b.choices())))
        results.append(seen)
    assert results[0] == results[1]


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as error:  # noqa: BLE001 - every error is compared
        return ("raised", type(error), str(error))


def test_the_totals_a_choose_keeps_cannot_be_changed_from_outside():
    """What a bag keeps between picks is reachable through the collector; a
    comparison that empties every list it finds there changes no pick."""
    b = ProbabilityBag()
    for key in "abcd":
        b.add([key], Fraction(1, 4))
    assert b.choose(random.Random(0)) in {(k,) for k in "abcd"}
    totals, starts = [Fraction(n, 4) for n in range(1, 5)], [(k,) for k in "abcd"]

    class Point:
        def __mul__(self, total):
            return self

        def __lt__(self, other):
            for kept in gc.get_objects():
                if type(kept) is list and kept in (totals, starts) and kept is not totals and kept is not starts:
                    kept.clear()
            return 0.6 < other

    class Draw(random.Random):
        def random(self):
            return Point()

    assert [b.choose(Draw()) for _ in range(3)] == [("c",)] * 3


class Tag(str):
    """A value that can hold the bag it is in: a cycle through the bag's choices."""


class GeneralChain(Chain):
    """Written through its methods: the writers' general path."""


@pytest.mark.parametrize("compress", [True, False])
def test_a_bag_replaced_while_the_writer_reads_it_keeps_its_choices(compress):
    docs = []
    for cls in (Chain, GeneralChain):
        c = cls()
        for i in range(4):
            c.add_to_bag("s", [f"v{i}"], i + 1)
        c.add_to_bag("t", ["v0"])
        # The bag goes into the vocabulary of a chain gone since, which then
        # only the bag keeps: a value there that holds the bag closes a cycle.
        bag = c["s"]
        Chain().set_bag("s", bag)
        tag = Tag("x")
        tag.bag = bag
        bag.add([tag], 5)
        del bag, tag

        class Out(io.StringIO):
            armed = True

            def write(self, text):
                # As the writer begins on the first start, the chain lets go
                # of its bag; a cycle alone keeps it, and the collector finds
                # that cycle.
                if self.armed and '"chain":[' in self.getvalue():
                    self.armed = False
                    c.set_bag("s", ProbabilityBag())
                    gc.collect()
                return super().write(text)

        out = Out()
        tesmo_cjson.dump_json_big(c, out, compress)
        docs.append(out.getvalue())
    assert docs[0] == docs[1]
    loaded = reference.Chain()
    tesmo_cjson.load_json_small(loaded, io.StringIO(docs[0]))
    assert [(start, len(b)) for start, b in loaded.items()] == [("s", 5), ("t", 1)]


@pytest.mark.parametrize(
    "make, add, again",
    [
        (ProbabilityBag, lambda b: b.add(["a"], 2), lambda b: b.add(["b"], 3)),
        (Chain, lambda c: c.add_to_bag("s", ["a"], 2), lambda c: c.add_to_bag("t", ["b"], 3)),
    ],
    ids=["bag", "chain"],
)
def test_a_first_add_whose_allocations_add_too_keeps_both(make, add, again):
    """The first add makes the vocabulary; code run while it is made adds as well."""
    want = reference.Chain() if make is Chain else reference.ProbabilityBag()
    add(want)
    again(want)
    for made, result in at_every_collection(make, add, again):
        assert result[0] == "ok" and sorted(contents(made)) == sorted(contents(want))


def contents(made):
    pairs = made.choices() if hasattr(made, "choices") else ((s, list(b.choices())) for s, b in made.items())
    return map(repr, pairs)
