"""The native Chain and ProbabilityBag against the pure-Python reference classes."""

from __future__ import annotations

import copy
import gc
import io
import pickle
import random
import tracemalloc
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import tesmo_cjson
from tesmo import _chain, bag, chain, reference, train
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

NAN = float("nan")
# Values that a dict tells apart or merges in ways worth checking: 1, 1.0 and
# True are one key, 0.0 and -0.0 too, a NaN only equals itself.
VALUES = st.one_of(
    st.sampled_from([0, 1, 1.0, True, False, 0.0, -0.0, None, NAN, "a", "b", "", (1,), (1.0,), (), 10**30]),
    st.integers(-3, 3),
    st.text(max_size=2),
    st.tuples(st.integers(0, 2)),
)
COUNTS = st.one_of(
    st.integers(-2, 5),
    st.sampled_from(
        [
            True,
            False,
            2**31 - 1,
            2**31,
            -(2**31),
            -(2**31) - 1,
            2**32,
            2**62,
            2**63 - 1,
            -(2**63),
            2**64,
            0.5,
            -0.0,
            Fraction(1, 3),
            Decimal("1.5"),
            "x",
            None,
        ]
    ),
)
NEXT_STARTS = st.lists(VALUES, max_size=3)


def outcome(call, *args):
    """What a call gives: ("ok", repr of the result) or ("raised", type, message)."""
    try:
        return ("ok", repr(call(*args)))
    except RecursionError:
        # Where the limit trips, and so the message, is the interpreter's own
        # (3.10 adds " while calling a Python object" in C calls).
        return ("raised", RecursionError, "maximum recursion depth exceeded")
    except Exception as exc:  # noqa: BLE001 - every error is compared
        return ("raised", type(exc), str(exc))


def content(chain):
    return repr([(start, list(b.choices())) for start, b in chain.items()])


class Differential(RuleBasedStateMachine):
    """The same operations on a native and a reference chain; every result must agree."""

    @initialize()
    def start(self):
        self.native, self.ref = Chain(), reference.Chain()

    def both(self, op, *args):
        got = outcome(lambda *a: op(self.native, *a), *args)
        want = outcome(lambda *a: op(self.ref, *a), *args)
        assert got == want
        return got

    @rule(start=VALUES, items=NEXT_STARTS, count=COUNTS, form=st.sampled_from([tuple, list, iter]))
    def add_to_bag(self, start, items, count, form):
        self.both(lambda c, s, i, n: c.add_to_bag(s, form(i), n), start, items, count)

    @rule(start=VALUES, pairs=st.lists(st.tuples(NEXT_STARTS, COUNTS), max_size=3))
    def set_bag(self, start, pairs):
        def install(c, s):
            b = (ProbabilityBag if isinstance(c, Chain) else reference.ProbabilityBag)()
            for items, count in pairs:
                try:
                    b.add(items, count=count)
                except TypeError:
                    pass
            c.set_bag(s, b)

        self.both(install, start)

    @rule(start=VALUES, items=NEXT_STARTS, count=COUNTS)
    def add_to_existing_bag(self, start, items, count):
        self.both(lambda c, s: c[s].add(items, count), start)

    @rule()
    def clear(self):
        self.both(lambda c: c.clear())

    @rule(start=VALUES, items=NEXT_STARTS)
    def look_up(self, start, items):
        self.both(lambda c: start in c)
        self.both(lambda c: c[start])
        self.both(lambda c: (tuple(items) in c[start], list(items) in c[start]))

    @rule(seed=st.integers(0, 3))
    def choose(self, seed):
        for start in list(self.native):
            self.both(lambda c: [c[start].choose(random.Random(seed)) for _ in range(3)])

    @invariant()
    def agree(self):
        for op in (
            repr,
            len,
            list,
            content,
            lambda c: list(c.build_frequency_dict().items()),
            lambda c: [(b.total, b.unique_count, len(b), list(b)) for b in map(c.__getitem__, c)],
        ):
            self.both(op)

    @invariant()
    def pickles_and_copies(self):
        for clone in (pickle.loads(pickle.dumps(self.native)), copy.deepcopy(self.native)):
            assert repr(clone) == repr(self.native) and type(clone) is Chain


TestDifferential = Differential.TestCase
TestDifferential.settings = settings(
    max_examples=60, stateful_step_count=25, deadline=None, suppress_health_check=list(HealthCheck)
)


def test_one_key_for_equal_values_but_each_object_given_back():
    native, ref = Chain(), reference.Chain()
    for c in (native, ref):
        c.add_to_bag(1, [True, 0.0])
        c.add_to_bag(True, [1.0, -0.0], 2)
        c.add_to_bag(1.0, [1, 0])
        c.add_to_bag(None, [(1,), (1.0,)])
    assert (
        repr(native)
        == repr(ref)
        == ("Chain({1: ProbabilityBag({(True, 0.0): 4}), None: ProbabilityBag({((1,), (1.0,)): 1})})")
    )
    assert list(native.build_frequency_dict().items()) == list(ref.build_frequency_dict().items())
    assert type(next(iter(native))) is int and [type(v) for v in list(native[1])[0]] == [bool, float]


def test_counts_switch_to_python_numbers_exactly():
    b = ProbabilityBag()
    b.add(["x"], 2**63 - 1)
    b.add(["x"], 1)
    b.add(["y"], -(2**63))
    b.add(["y"], -1)
    b.add(["z"], Fraction(1, 3))
    b.add(["z"], 0.5)
    assert list(b.choices()) == [(("x",), 2**63), (("y",), -(2**63) - 1), (("z",), Fraction(1, 3) + 0.5)]
    ref = reference.ProbabilityBag()
    for next_start, count in b.choices():
        ref.add(next_start, count)
    assert repr(b.total) == repr(ref.total)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \+: 'int' and 'str'"):
        b.add(["w"], "x")
    assert ("w",) not in b and b.unique_count == 3


def test_choose_draws_like_the_reference_for_any_counts():
    rng = random.Random(5)
    for counts in (
        [1, 5, 2],
        [3, 0, 0, 4],
        [2**62, 2**62, 7],
        [2, -1, 5],
        [0.5, 1.5],
        [Fraction(1, 2), 3],
        [2**70, 1],
        [2**63 - 1, 1],
    ):
        native, ref = ProbabilityBag(), reference.ProbabilityBag()
        for i, count in enumerate(counts):
            native.add([i], count)
            ref.add([i], count)
        seed = rng.random()
        assert (
            [native.choose(random.Random(seed)) for _ in range(50)]
            == [ref.choose(rng=random.Random(seed)) for _ in range(50)]
            == [native.choose(rng=random.Random(seed)) for _ in range(50)]
        )
    for counts in ([], [0], [-1, 1], [0.0]):
        b = ProbabilityBag()
        for i, count in enumerate(counts):
            b.add([i], count)
        with pytest.raises(ValueError, match="^cannot choose from a bag without positive counts$"):
            b.choose(random.Random(0))


def same_bags(native, ref):
    assert list(native.choices()) == list(ref.choices())
    assert all(next_start in native for next_start in ref)
    assert repr(native.total) == repr(ref.total)


@pytest.mark.parametrize("size", [1, 8, 9, 171, 43_691])
@pytest.mark.parametrize("lengths", [(2,), (0, 1, 3), (300,)])
def test_bags_of_every_size_and_shape_keep_counts_across_32_and_64_bits(size, lengths):
    # Sizes at the switches between searching in order and an index of 8,
    # 16 and 32-bit slots; next starts of one length, of mixed lengths, and
    # longer than 255; counts that leave 32 bits, then 64 bits.
    if size * max(lengths) > 1_000_000:
        size = 1_000_000 // max(lengths)
    native, ref = ProbabilityBag(), reference.ProbabilityBag()
    for i in range(size):
        items = tuple(f"v{(i * 7 + k) % 101}" for k in range(lengths[i % len(lengths)] - 1)) + (i,)
        for b in (native, ref):
            b.add(items[: lengths[i % len(lengths)]] if lengths[i % len(lengths)] else (), i % 3 + 1)
    keys = list(ref)
    seed = random.random()
    assert [native.choose(random.Random(seed)) for _ in range(50)] == [
        ref.choose(random.Random(seed)) for _ in range(50)
    ]
    for count in (2**31 - 2, 1, -(2**32), 2**63 - 1, 5, -(2**65)):
        for key in (keys[0], keys[-1], keys[len(keys) // 2]):
            native.add(key, count)
            ref.add(key, count)
        same_bags(native, ref)
    seed = random.random()
    assert outcome(lambda: [native.choose(random.Random(seed)) for _ in range(20)]) == outcome(
        lambda: [ref.choose(random.Random(seed)) for _ in range(20)]
    )


def test_many_tiny_bags_of_equal_but_distinct_values_train_like_the_reference():
    # 1, 1.0 and True share a key, and so do 2 and 2.0: starts and next
    # starts must be found through the values' equality, not their ids.
    rng = random.Random(4)
    tokens = [
        rng.choice([None, 1, 1.0, True, 2, 2.0, "a", (1,), (1.0,), "b", 0, False, 0.0, -0.0]) for _ in range(3000)
    ]
    for order in (1, 2, 3):
        native = train.train(Chain(), iter(tokens), order)
        ref = train.train(reference.Chain(), iter(tokens), order)
        assert content(native) == content(ref)
        assert [train.generate_sentence(native, random.Random(s)) for s in range(20)] == [
            train.generate_sentence(ref, random.Random(s)) for s in range(20)
        ]


class Token:
    """A hashable value that tells when it is freed."""


def test_values_are_released_with_the_last_choice_or_start_that_holds_them():
    c = Chain()
    values = [Token() for _ in range(6)]
    alive = [weakref.ref(v) for v in values]
    c.add_to_bag(values[0], (values[1], "x"))
    c.add_to_bag("s", (values[2],))
    kept = c["s"]  # a bag taken out keeps its values after the chain lets it go
    c.set_bag(values[3], ProbabilityBag())
    c[values[3]].add((values[4], values[5]))
    c.set_bag(values[3], ProbabilityBag())  # the replaced bag and its values go
    del values
    gc.collect()
    assert [a() is None for a in alive] == [False, False, False, False, True, True]
    c.clear()
    gc.collect()
    assert [a() is None for a in alive] == [True, True, False, True, True, True]
    assert list(kept.choices()) == [((alive[2](),), 1)]
    del kept
    gc.collect()
    assert all(a() is None for a in alive)


@pytest.mark.parametrize("keep_bag", [False, True])
def test_a_chain_that_goes_releases_its_values_but_not_those_of_a_bag_taken_out(keep_bag):
    c = Chain()
    values = [Token() for _ in range(4)]
    alive = [weakref.ref(v) for v in values]
    c.add_to_bag(values[0], (values[1], "x"))
    c.add_to_bag("s", (values[2],), 2)
    c.add_to_bag(("t", values[3]), ("s",))
    kept = c["s"] if keep_bag else None
    del values, c
    assert [a() is None for a in alive] == [True, True, not keep_bag, True]
    if keep_bag:
        assert list(kept.choices()) == [((alive[2](),), 2)]


def test_a_bag_taken_from_the_chain_is_the_chains_own():
    c = Chain()
    c.add_to_bag("a", ["b"])
    b = c["a"]
    assert c["a"] is b and next(iter(c.items()))[1] is b
    c.add_to_bag("a", ["b"], 2)
    c.add_to_bag("a", ["c"])
    b.add(["d"], 4)
    assert list(b.choices()) == [(("b",), 3), (("c",), 1), (("d",), 4)] and c["a"] == b
    c.clear()
    assert list(b.choices()) == [(("b",), 3), (("c",), 1), (("d",), 4)] and len(c) == 0


def test_training_or_adding_during_iteration_raises():
    c = Chain()
    train.train_text(c, [["a b c. d e."]], 1)
    for word, make in (("new", iter), ("newer", lambda chain: iter(chain.items()))):
        view = make(c)
        next(view)
        train.train_text(c, [[word]], 1)
        with pytest.raises(RuntimeError, match="changed size during iteration"):
            next(view)


class Draws(random.Random):
    def __init__(self, *values):
        self.values = list(values)

    def random(self):
        return self.values.pop(0)


@pytest.mark.parametrize("point", [0.0, 0.999999, 1.0, -0.5, float("inf"), float("nan"), Fraction(1, 2), 1])
def test_choose_takes_whatever_random_returns_as_bisect_would(point):
    picks = []
    for cls in (ProbabilityBag, reference.ProbabilityBag):
        b = cls()
        b.add(["a"], 2)
        b.add(["b"], 2)
        picks.append(outcome(b.choose, Draws(point)))
    assert picks[0] == picks[1]


class Hostile:
    """A value whose hash or equality raises, or runs code of the caller's."""

    def __init__(self, hash_error=None, on_eq=None):
        self.hash_error, self.on_eq = hash_error, on_eq

    def __hash__(self):
        if self.hash_error:
            raise self.hash_error
        return 7

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self is other


def test_hash_and_eq_errors_propagate():
    for c in (Chain(), reference.Chain()):
        with pytest.raises(ValueError, match="no hash"):
            c.add_to_bag(Hostile(ValueError("no hash")), ["a"])
        with pytest.raises(TypeError, match="unhashable type: 'set'"):
            c.add_to_bag("s", [{1}])
        assert list(c) == ["s"]  # the start is made before its next start is hashed
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            [1] in c  # noqa: B015
        with pytest.raises(KeyError) as missing:
            c[(1, 2)]
        assert missing.value.args == ((1, 2),)


def test_equality_that_changes_the_chain_does_not_crash():
    native = Chain()
    once = []

    def grow_bag():
        if not once and "x" in native:
            once.append(1)
            native["x"].add([Hostile()], 1)

    victims = [
        Hostile(on_eq=native.clear),
        Hostile(on_eq=lambda: native.add_to_bag("new", ["v"])),
        Hostile(on_eq=grow_bag),
    ]
    for _ in range(3):
        for v in victims + [Hostile()]:
            native.add_to_bag(v, [v, "w"])
            native.add_to_bag("x", [v])
            native.add_to_bag("x", [v], 2)
            native.set_bag(v, native["x"])
            assert v in native and (v,) in native["x"]
            once.clear()
    assert len(native) == len(list(native)) == len(list(native.items()))
    native.build_frequency_dict(), repr(native)


class Meddling(int):
    """A count whose additions run `meddle`, once armed, with the bag they total."""

    meddle = None

    def __add__(self, other):
        if Meddling.meddle is not None:
            Meddling.meddle()
        return Meddling(int(self) + int(other))

    __radd__ = __add__


@pytest.mark.parametrize(
    "meddle",
    [
        lambda b: b.add(["grown"], 1),  # a choice more: the totals stop
        lambda b: b.add(["a"], 100),  # a count changes: the totals read so far stand
        lambda b: b.add(["a"], 2**40),  # ... and the counts move to two words
        lambda b: b.__init__(),  # the bag emptied
    ],
)
def test_choose_whose_totals_change_the_bag_answers_as_the_reference(meddle, monkeypatch):
    results = []
    for make in (ProbabilityBag, reference.ProbabilityBag):
        b = make()
        for key in "abc":
            b.add([key], Meddling(2))
        monkeypatch.setattr(Meddling, "meddle", lambda b=b: meddle(b))
        picks = [outcome(b.choose, random.Random(seed)) for seed in range(4)]
        monkeypatch.setattr(Meddling, "meddle", None)
        picks += [outcome(b.choose, random.Random(seed)) for seed in range(4)]
        results.append((picks, dict(b.choices())))
    (native, native_bag), (ref, ref_bag) = results
    changed = ("raised", RuntimeError, "ProbabilityBag changed size during iteration")
    assert native_bag == ref_bag
    if ref[0] == ("raised", RuntimeError, "dictionary changed size during iteration"):
        assert native == [changed] + ref[1:]
    elif native_bag == {}:
        # Both go on totalling the choices that __init__ let go of and draw
        # the first pick from them; the reference then keeps those totals in
        # the emptied bag, where the native bag has nothing to choose from.
        empty = ("raised", ValueError, "cannot choose from a bag without positive counts")
        assert native == ref[:1] + [empty] * 7
    else:
        assert native == ref


class Twin:
    """Equal to every Twin of its name; comparing runs `on_eq` once."""

    def __init__(self, name, on_eq=None):
        self.name, self.on_eq = name, on_eq

    def __hash__(self):
        return 7

    def __eq__(self, other):
        action, self.on_eq = self.on_eq, None
        if action:
            action()
        return isinstance(other, Twin) and other.name == self.name


def test_bag_equality_whose_comparison_empties_a_bag():
    for make in (ProbabilityBag, reference.ProbabilityBag):
        a, b = make(), make()
        a.add([Twin("x")], 3)
        b.add([Twin("x", on_eq=a.__init__)], 3)
        # The count of `a` was read before the comparison emptied it, as a
        # dict's == reads it.
        assert (a == b) is True and len(a) == 0
        a.add([Twin("x")], 3)
        b.__init__()
        b.add([Twin("x", on_eq=a.__init__)], 4)
        assert (a == b) is False and len(a) == 0


class Clearing:
    """A token whose first hashing clears `chain`."""

    def __init__(self, chain, name):
        self.chain, self.name = chain, name

    def __hash__(self):
        if self.chain is not None:
            self.chain, chain = None, self.chain
            chain.clear()
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Clearing) and other.name == self.name

    def __repr__(self):
        return f"Clearing({self.name!r})"


def test_train_whose_tokens_clear_the_chain_adds_to_the_bag_it_found():
    results = []
    for make in (Chain, reference.Chain):
        c = make()
        x = Clearing(c, "x")
        # The start's bag is found first; hashing the next start clears the
        # chain, and the bag found (now outside it) is the one added to.
        train.train(c, ["a", "b", x, "a", "b", "c", "a"], 2)
        results.append(repr(c))
    assert results[0] == results[1]
    # The windows up to x's went into the chain as it was before; the ids of
    # cleared values are not taken for others ("c" is not x).
    assert results[0] == (
        "Chain({('b', Clearing('x')): ProbabilityBag({('a',): 1}), (Clearing('x'), 'a'): ProbabilityBag({('b',): 1}), "
        "('a', 'b'): ProbabilityBag({('c',): 1}), ('b', 'c'): ProbabilityBag({('a',): 1}), "
        "('c', 'a'): ProbabilityBag({(None,): 1})})"
    )


@pytest.mark.parametrize("view", [iter, lambda c: iter(c.items()), lambda c: c["a"].choices(), lambda c: iter(c["a"])])
def test_changes_during_iteration_raise(view):
    for c, message in (
        (Chain(), "changed size during iteration"),
        (reference.Chain(), "dictionary changed size during iteration"),
    ):
        c.add_to_bag("a", ["x"])
        c.add_to_bag("a", ["w"])
        c.add_to_bag("b", ["y"])
        c.add_to_bag("d", ["y"])
        it = view(c)
        next(it)
        c["a"].add(["x"], 5)  # a count changes: no size change
        next(it, None)
        c.add_to_bag("c", ["z"])
        c["a"].add(["new"])
        with pytest.raises(RuntimeError, match=message):
            next(it)


def test_items_view_and_repr_match_a_dicts():
    c = Chain()
    c.add_to_bag("a", ["b"], 2)
    items = c.items()
    assert len(items) == 1 and ("a", c["a"]) in items and ("a", ProbabilityBag()) not in items
    assert list(items) == list(items) == [("a", c["a"])]
    c.set_bag("self", c)
    assert repr(c) == "Chain({'a': ProbabilityBag({('b',): 2}), 'self': Chain({...})})"


class Counting(Chain):
    def add_to_bag(self, start, items, count=1):
        self.calls = getattr(self, "calls", 0) + 1
        super().add_to_bag(start, items, count)


def test_subclasses_keep_their_methods_and_pickle():
    c = Counting()
    c.add_to_bag("a", ["b"])
    clone = pickle.loads(pickle.dumps(c))
    assert type(clone) is Counting and clone == c and clone.calls == 1
    with pytest.raises(TypeError):
        hash(c)
    assert Chain() != reference.Chain() and ProbabilityBag() != reference.ProbabilityBag()


class SlottedChain(Chain):
    __slots__ = ("tag", "__hidden", "unset")


class SlottedRefChain(reference.Chain):
    __slots__ = ("tag", "__hidden", "unset")


class SlottedBag(ProbabilityBag):
    __slots__ = ("tag", "__hidden", "unset")


class SlottedRefBag(reference.ProbabilityBag):
    __slots__ = ("tag", "__hidden", "unset")


class DictChain(SlottedChain):
    pass


class DictRefChain(SlottedRefChain):
    pass


class DictBag(SlottedBag):
    pass


class DictRefBag(SlottedRefBag):
    pass


def hidden(cls):
    """The name the slot `__hidden` takes in the class that declares it."""
    return next(f"_{c.__name__}__hidden" for c in cls.__mro__ if "__slots__" in vars(c))


@pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o)), copy.copy, copy.deepcopy])
@pytest.mark.parametrize(
    "classes",
    [(SlottedChain, SlottedRefChain), (DictChain, DictRefChain), (SlottedBag, SlottedRefBag), (DictBag, DictRefBag)],
)
def test_subclasses_keep_their_slots_and_dict_when_pickled_and_copied(classes, clone):
    seen = []
    for cls in classes:
        o = cls()
        if hasattr(o, "add_to_bag"):
            o.add_to_bag("a", ("b", 1), 3)
        else:
            o.add(("b", 1), 3)
        o.tag = ["t"]
        setattr(o, hidden(cls), 5)
        if hasattr(o, "__dict__"):
            o.note = {"n": 1}
        c = clone(o)
        held = list(c.items()) if hasattr(c, "items") else list(c.choices())
        attributes = [getattr(c, name, "missing") for name in ("tag", hidden(cls), "unset", "note")]
        seen.append((type(c) is cls, repr(held), attributes))
    note = {"n": 1} if hasattr(classes[0](), "__dict__") else "missing"
    assert seen[0] == seen[1] and seen[0][0] and seen[0][2] == [["t"], 5, "missing", note]


def test_states_pickled_before_load_with_their_attributes():
    b = ProbabilityBag()
    b.add(["x"], 2)
    older = [
        (Counting, [("a", b)], None),  # the pairs alone
        (Counting, ([("a", b)], {"calls": 4}), 4),  # with the instance dict
        (Counting, (None, {"_bags": {"a": b}}), None),  # the pure-Python class
        (DictChain, ({"calls": 4}, {"_bags": {"a": b}, "tag": 4}), 4),  # ... and a subclass of it
    ]
    for cls, state, attribute in older:
        loaded = cls.__new__(cls)
        loaded.__setstate__(state)
        assert list(loaded.items()) == [("a", b)]
        assert getattr(loaded, "calls", None) == attribute and getattr(loaded, "tag", None) in (None, attribute)
    counts = SlottedBag.__new__(SlottedBag)
    counts.__setstate__((None, {"_counts": {("x",): 2}, "_cumulative": None, "tag": 1}))
    assert list(counts.choices()) == [(("x",), 2)] and counts.tag == 1 and not hasattr(counts, "_cumulative")


def test_pickles_of_the_pure_python_classes_load_as_native(monkeypatch):
    # What pickle wrote for tesmo.chain.Chain before it became native.
    old = reference.Chain()
    old.add_to_bag("a", ("b", 1), 3)
    old.add_to_bag(None, ("a",), 2**70)
    monkeypatch.setattr(chain, "Chain", reference.Chain)
    monkeypatch.setattr(bag, "ProbabilityBag", reference.ProbabilityBag)
    monkeypatch.setattr(reference.Chain, "__module__", "tesmo.chain")
    monkeypatch.setattr(reference.ProbabilityBag, "__module__", "tesmo.bag")
    data = pickle.dumps(old)
    monkeypatch.undo()
    loaded = pickle.loads(data)
    assert type(loaded) is Chain and content(loaded) == content(old)


WRITERS = [tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big]


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("writer", WRITERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("reader", [tesmo_cjson.load_json_small, tesmo_cjson.load_json_big], ids=lambda f: f.__name__)
def test_documents_cross_between_the_implementations(writer, reader, compress):
    built = {}
    for cls in (Chain, reference.Chain):
        c = built[cls] = cls()
        for i, word in enumerate(["a", "b/c", "\u00e9", "", "a"] * 3):
            c.add_to_bag(word, (i % 4, word, None), i % 3 + 1)
    docs = {}
    for cls, c in built.items():
        out = io.StringIO()
        writer(c, out, compress)
        docs[cls] = out.getvalue()
    assert docs[Chain] == docs[reference.Chain]
    for source, target in ((Chain, reference.Chain), (reference.Chain, Chain)):
        loaded = target()
        reader(
            loaded,
            io.BytesIO(docs[source].encode()) if reader is tesmo_cjson.load_json_big else io.StringIO(docs[source]),
        )
        assert content(loaded) == content(built[source])


def test_the_capsule_is_there_for_tesmo_cjson():
    assert type(bag._C_API).__name__ == "PyCapsule" and bag._C_API is _chain._C_API
    assert "tesmo._chain._C_API" in repr(bag._C_API) and _chain._C_API_VERSION == 3


@pytest.mark.slow
def test_no_python_memory_left_behind():
    def work():
        c = Chain()
        for i in range(200):
            c.add_to_bag(i % 7, (str(i % 5), i % 3), Fraction(1, i + 1) if i % 50 == 0 else i)
            for bad in ([[i]], ["x"]):
                try:
                    c.add_to_bag(i, bad, "bad")
                except TypeError:
                    pass
        c.set_bag(0, ProbabilityBag())
        pickle.loads(pickle.dumps(c)).build_frequency_dict()
        for s in c:
            try:
                c[s].choose(random.Random(1))
            except ValueError:  # a bag without positive counts
                pass
        c.set_bag("self", c)  # a cycle
        out = io.StringIO()
        tesmo_cjson.dump_json_big(c.__class__(), out)

    work()
    gc.collect()
    tracemalloc.start()
    try:
        work()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        kinds = {
            name: sum(type(o).__name__ == name for o in gc.get_objects())
            for name in ("Chain", "ProbabilityBag", "Vocabulary", "bag_iterator", "chain_iterator", "chain_items")
        }
        for _ in range(30):
            work()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        assert {name: sum(type(o).__name__ == name for o in gc.get_objects()) for name in kinds} == kinds
        # One round makes some 20 kB of objects; the interpreter's own caches
        # (type and ABC caches, free lists off under PYTHONMALLOC=malloc)
        # account for a few kB in all.
        assert grown < 100_000, f"{grown} bytes more after 30 rounds"
    finally:
        tracemalloc.stop()


class Looked(Chain):
    """A chain that lone_surrogate looks through in Python, value by value."""


class Text(str):
    pass


@pytest.mark.parametrize(
    "adds, fast",
    [
        pytest.param([("a", ("b",)), (("café", "中"), ("ß",))], True, id="none"),
        pytest.param([("a", ("b",)), ("caf\udce9", ("a",))], True, id="a start"),
        pytest.param([(("a", ("b", "\ud800x")), ("a",))], True, id="deep in a start"),
        pytest.param([("a", ("b", "\udfff"))], True, id="a next start"),
        pytest.param([("a", (Text("\udc80"),))], False, id="a subclass of str"),
    ],
)
def test_the_native_surrogate_check_and_choice_count_answer_as_the_walks_in_python(adds, fast):
    from tesmo.cli.models import choice_count, lone_surrogate

    native, looked = Chain(), Looked()
    for c in (native, looked):
        for start, next_start in adds:
            c.add_to_bag(start, next_start)
    assert lone_surrogate(native) == lone_surrogate(looked)
    assert choice_count(native) == choice_count(looked)
    if fast:
        assert _chain.has_lone_surrogate(native) is (lone_surrogate(looked) is not None)
    else:
        with pytest.raises(TypeError):
            _chain.has_lone_surrogate(native)
    # A bag taken out keeps its values in the vocabulary; they are no longer the chain's.
    kept = []
    for c in (native, looked):
        c.add_to_bag("s", ("x\udc80",))
        kept.append(c["s"])
        c.set_bag("s", ProbabilityBag())
    assert [list(b.choices()) for b in kept] == [[(("x\udc80",), 1)]] * 2
    assert lone_surrogate(native) == lone_surrogate(looked)
    assert choice_count(native) == choice_count(looked)
    if fast:
        assert _chain.has_lone_surrogate(native) is (lone_surrogate(looked) is not None)
    # A bag of another kind: the walk in Python.
    for c in (native, looked):
        c.set_bag("t", reference.ProbabilityBag())
        c["t"].add(("\ud800",))
    with pytest.raises(TypeError):
        _chain.has_lone_surrogate(native)
    assert lone_surrogate(native) == lone_surrogate(looked) is not None
    assert choice_count(native) == choice_count(looked) == len(adds) + 1
    assert _chain.choice_count(Chain()) == 0
