"""_chain.join against add_to_bag per choice, on the native chain and the reference classes."""

from __future__ import annotations

from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tesmo import _chain, reference
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain


class Tagged(ProbabilityBag):
    """A bag of another kind: the join must call its add."""


class Word:
    """A value that is not plain: hashing and comparing it runs Python code."""

    def __init__(self, text):
        self.text = text

    def __eq__(self, other):
        return isinstance(other, Word) and other.text == self.text

    def __hash__(self):
        return hash(self.text)

    def __repr__(self):
        return f"Word({self.text!r})"


# 1, 1.0 and True are one key; -1 and -2 share a hash; Word("a") hashes as "a".
VALUES = st.sampled_from(["a", "b", "", 1, 1.0, True, -1, -2, None, ("a", "b"), (1,), Word("a"), 2**64])
COUNTS = st.one_of(st.integers(1, 3), st.sampled_from([2**31, 2**63 - 1, 2**64, 0.5, Fraction(1, 3), "x"]))
ADDS = st.lists(st.tuples(VALUES, st.lists(VALUES, max_size=2), COUNTS), max_size=12)


def content(chain):
    return [(repr(s), [(repr(n), repr(c), type(c)) for n, c in b.choices()]) for s, b in chain.items()]


def apply(chain, adds):
    """add_to_bag for each, up to the first error, which is returned."""
    for start, items, count in adds:
        try:
            chain.add_to_bag(start, items, count)
        except TypeError as exc:
            return type(exc)
    return None


def choices_of(chain):
    return [(start, next_start, count) for start, bag in chain.items() for next_start, count in bag.choices()]


@settings(max_examples=300, deadline=None)
@given(ADDS, ADDS, st.sampled_from(["chain", "snapshot", "itself"]), st.booleans())
def test_join_adds_as_add_to_bag_per_choice_would(first, second, source_kind, tagged):
    target, expected, ref = Chain(), Chain(), reference.Chain()
    for chain in (target, expected, ref):
        if tagged:
            chain.set_bag("b", Tagged() if chain is not ref else reference.ProbabilityBag())
        apply(chain, first)
    source = Chain()
    # A source's counts are what add_to_bag made of them; strings do not add up.
    apply(source, [add for add in second if add[2] != "x"])
    if source_kind == "itself":
        source = target
    added = choices_of(source)
    error = None
    try:
        _chain.join(target, source if source_kind != "snapshot" else _chain.snapshot(source))
    except TypeError as exc:
        error = type(exc)
    assert apply(expected, added) == error == apply(ref, added)
    assert content(target) == content(expected) == content(ref)


class Counting(Chain):
    def add_to_bag(self, start, items, count=1):
        self.calls = getattr(self, "calls", 0) + 1
        super().add_to_bag(start, items, count)


@pytest.mark.parametrize("source_kind", ["chain", "snapshot", "reference"])
def test_a_subclass_target_gets_its_own_add_to_bag_called(source_kind):
    source = reference.Chain() if source_kind == "reference" else Chain()
    source.add_to_bag("a", ("b",), 2)
    source.add_to_bag("a", ("c",), 1)
    target = Counting()
    _chain.join(target, _chain.snapshot(source) if source_kind == "snapshot" else source)
    assert target.calls == 2 and content(target) == content(source)


def test_join_refuses_what_is_no_chain_and_no_snapshot():
    with pytest.raises(AttributeError):
        _chain.join(Chain(), [("a", ("b",))])
    with pytest.raises(ValueError, match="a bag's, not a chain's"):
        _chain.join(Chain(), _chain.snapshot(ProbabilityBag()))


@pytest.mark.parametrize("size", [3, 40])
@pytest.mark.parametrize("lengths", [(1,), (1, 2)])
def test_a_start_new_to_the_chain_joins_as_its_adds_would_and_its_choices_are_found_again(size, lengths):
    source = Chain()
    adds = [("new", tuple(f"w{i}" for _ in range(lengths[i % len(lengths)])), i + 1) for i in range(size)]
    adds.append(("new", ("w0",), 2**40))  # counts of two words from here on
    apply(source, adds)
    target, ref = Chain(), reference.Chain()
    for chain in (target, ref):
        chain.add_to_bag("old", ("w1",), 1)
    _chain.join(target, _chain.snapshot(source))
    apply(ref, choices_of(source))
    # Adding every choice again finds each where it is, whatever the bag's layout.
    again = [(start, next_start, 1) for start, next_start, _ in choices_of(source)]
    apply(target, again)
    apply(ref, again)
    assert content(target) == content(ref)
