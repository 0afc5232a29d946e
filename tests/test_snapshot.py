"""Pickles of the native chain as snapshots, against the reference classes, the chain before and after, and mutation."""

from __future__ import annotations

import copy
import io
import pickle
import random
import struct
from fractions import Fraction

import pytest
from conftest import Token
from hypothesis import given, settings
from hypothesis import strategies as st

import tesmo_cjson
from tesmo import _chain, reference
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

NAN = float("nan")


def nested(depth):
    value = ("leaf",)
    for _ in range(depth):
        value = (value, depth)
    return value


PLAIN = st.one_of(
    st.sampled_from([0, 1, 1.0, True, False, 0.0, -0.0, None, "", b"", b"\x00\xff", 2**63 - 1, -(2**63)]),
    st.sampled_from([2**64, -(2**70), "\udc80", "caf\u00e9", "\U0001f600", "\ud83d\ude00", nested(31), nested(40)]),
    st.integers(-(2**40), 2**40),
    st.text(max_size=3),
    st.floats(allow_nan=False),
)
VALUES = st.one_of(PLAIN, st.tuples(PLAIN, PLAIN), st.sampled_from([Token("a"), frozenset({1}), Fraction(1, 2)]))
COUNTS = st.one_of(
    st.integers(1, 5),
    st.sampled_from([2**31 - 1, 2**31, 2**62, 2**63 - 1, 2**64, -(2**63), 0.5, Fraction(1, 3)]),
)
ADDS = st.lists(st.tuples(VALUES, st.lists(VALUES, max_size=3), COUNTS), max_size=30)


def filled(cls, adds):
    chain = cls()
    for start, items, count in adds:
        chain.add_to_bag(start, items, count)
    return chain


def content(chain):
    """Starts and choices with their types, in order: what equality alone would not tell apart."""
    return [
        (repr(start), type(start), [(repr(ns), repr(count), type(count)) for ns, count in bag.choices()])
        for start, bag in chain.items()
    ]


@settings(max_examples=150, deadline=None)
@given(ADDS, st.sampled_from([2, 4, 5, "out-of-band", "copy", "deepcopy"]))
def test_a_pickled_chain_comes_back_and_goes_on_as_the_reference_does(adds, how):
    native, ref = filled(Chain, adds), filled(reference.Chain, adds)
    if how == "out-of-band":
        buffers = []
        data = pickle.dumps(native, 5, buffer_callback=buffers.append)
        assert len(buffers) == 1
        clone = pickle.loads(data, buffers=buffers)
    elif how == "copy":
        clone = copy.copy(native)
    elif how == "deepcopy":
        clone = copy.deepcopy(native)
    else:
        clone = pickle.loads(pickle.dumps(native, how))
    assert type(clone) is Chain and content(clone) == content(ref)
    assert list(clone.build_frequency_dict().items()) == list(ref.build_frequency_dict().items())
    # The restored bags and starts are found again: adding all again doubles every count.
    for start, bag in list(ref.items()):
        for next_start, count in list(bag.choices()):
            clone.add_to_bag(start, next_start, count)
            ref.add_to_bag(start, next_start, count)
    assert content(clone) == content(ref)


def through_document(dump, load):
    def restore(chain):
        out = io.StringIO()
        dump(chain, out, False)
        clone = Chain()
        load(clone, io.BytesIO(out.getvalue().encode()), False)
        return clone

    return restore


@pytest.mark.parametrize(
    "restore",
    [
        lambda chain: pickle.loads(pickle.dumps(chain)),
        through_document(tesmo_cjson.dump_json_small, tesmo_cjson.load_json_small),
        through_document(tesmo_cjson.dump_json_big, tesmo_cjson.load_json_big),
    ],
    ids=["pickle", "load_json_small", "load_json_big"],
)
def test_restored_bags_grow_as_bags_that_were_never_pickled(restore):
    # Each restored or read bag grows past the room it was made with: its
    # records, its record starts (mixed lengths), its index (past 8 choices)
    # and its counts (to two words).
    adds = [("one", ("a",), 1), ("mixed", ("a",), 2), ("mixed", ("a", "b"), 3)]
    adds += [("many", (f"w{i}", "x"), i + 1) for i in range(10)]
    native, ref = filled(Chain, adds), filled(reference.Chain, adds)
    clone = restore(native)
    more = [
        (start, (f"n{i}",) * (1 + i % 3), 2**40 if i == 7 else i + 1)
        for start in ("one", "mixed", "many")
        for i in range(12)
    ]
    for start, next_start, count in more:
        clone.add_to_bag(start, next_start, count)
        ref.add_to_bag(start, next_start, count)
    assert content(clone) == content(ref)
    assert list(clone.build_frequency_dict().items()) == list(ref.build_frequency_dict().items())


def test_a_bag_pickles_with_only_its_own_values():
    chain = Chain()
    for word in [f"w{i}" for i in range(1000)]:
        chain.add_to_bag(word, ("next", word), 2)
    chain.add_to_bag("x", ("a", "b", "a"), 2**70)
    chain.add_to_bag("x", ("\U0001f600",), Fraction(1, 3))
    bag = chain["x"]
    data = pickle.dumps(bag)
    assert len(data) < 400 < len(pickle.dumps(chain)) // 10
    clone = pickle.loads(data)
    assert type(clone) is ProbabilityBag and list(clone.choices()) == list(bag.choices())
    clone.add(("a", "b", "a"))
    assert list(clone.choices())[0] == (("a", "b", "a"), 2**70 + 1)


class Tagged(ProbabilityBag):
    pass


def test_a_chain_of_bags_of_another_kind_pickles_as_its_pairs():
    chain = Chain()
    chain.add_to_bag("a", ("b",), 2)
    tagged = Tagged()
    tagged.add(("c",), 3)
    chain.set_bag("t", tagged)
    clone = pickle.loads(pickle.dumps(chain))
    assert type(clone["t"]) is Tagged and content(clone) == content(chain)
    with pytest.raises(TypeError, match="ProbabilityBag"):
        _chain.snapshot(chain)


class OwnReduce(Chain):
    def __reduce__(self):
        return (Chain, ())


def test_a_subclass_reduce_is_what_pickle_uses():
    c = OwnReduce()
    c.add_to_bag("a", ("b",))
    assert type(pickle.loads(pickle.dumps(c, 5))) is Chain and len(pickle.loads(pickle.dumps(c))) == 0


class OldForm:
    """Reduces as earlier versions pickled a native chain: its (start, bag) pairs."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    def __reduce__(self):
        return (self.cls, (), self.state)


def test_pickles_in_the_earlier_native_form_still_load():
    bag = ProbabilityBag()
    bag.add(("x", 1), 2**40)
    data = pickle.dumps(OldForm(Chain, [("a", bag), (("b", "c"), bag)]))
    loaded = pickle.loads(data)
    assert type(loaded) is Chain and [(s, list(b.choices())) for s, b in loaded.items()] == [
        ("a", [(("x", 1), 2**40)]),
        (("b", "c"), [(("x", 1), 2**40)]),
    ]
    old_bag = pickle.loads(pickle.dumps(OldForm(ProbabilityBag, [(("y",), 3)])))
    assert list(old_bag.choices()) == [(("y",), 3)]
    # Written by the release before snapshots: a chain at protocol 2, a bag at protocol 4.
    ref = reference.Chain()
    ref.add_to_bag((None, None), ("I",), 3)
    ref.add_to_bag((None, "I"), ("saw", 1.5), 2**70)
    ref.add_to_bag("\u00e9", (b"\x00", True), 1)
    ref.add_to_bag((None, None), ("You",), 1)
    ref.set_bag(7, reference.ProbabilityBag())
    assert content(pickle.loads(bytes.fromhex(OLD_CHAIN))) == content(ref)
    old_bag = pickle.loads(bytes.fromhex(OLD_BAG))
    assert type(old_bag) is ProbabilityBag and list(old_bag.choices()) == [(("x", None), 5), (("y",), 2**64)]


OLD_CHAIN = (
    "8002637465736d6f2e636861696e0a436861696e0a7100295271015d7102284e4e867103637465736d6f2e6261670a50726f626162696c69"
    "74794261670a7104295271055d71062858010000004971078571084b038671095803000000596f75710a85710b4b0186710c656286710d4e"
    "680786710e68042952710f5d711058030000007361777111473ff80000000000008671128a09000000000000000040867113616286711458"
    "02000000c3a971156804295271165d7117635f636f646563730a656e636f64650a7118580100000000711958060000006c6174696e31711a"
    "86711b52711c8886711d4b0186711e616286711f4b076804295271205d71216286712265622e"
)
OLD_BAG = (
    "80049546000000000000008c097465736d6f2e626167948c0e50726f626162696c6974794261679493942952945d94288c0178944e86944b"
    "0586948c01799485948a09000000000000000001869465622e"
)


# ---------------------------------------------------------------------------
# Snapshots made up, cut short, reordered or mutated.

HEADER = 64


def sample_chain():
    chain = Chain()
    rng = random.Random(5)
    words = [f"w{i}" for i in range(30)] + ["caf\u00e9", "\udc80", ""]
    for _ in range(400):
        chain.add_to_bag((rng.choice(words), rng.choice(words)), (rng.choice(words),), rng.choice([1, 2, 2**40]))
    chain.add_to_bag(None, (1, 1.5, None, True, b"x", ("t", 2)), 2**70)
    chain.add_to_bag(7, ("a", "b"), 3)
    return chain


def consistent(chain):
    """The chain answers as a chain made of its own content does, before and after a pickle."""
    rebuilt = Chain()
    for start, bag in chain.items():
        assert start in chain and chain[start] is bag
        for next_start, count in bag.choices():
            assert next_start in bag
            rebuilt.add_to_bag(start, next_start, count)
    assert len(rebuilt) == len(chain) and content(rebuilt) == content(chain)
    assert content(pickle.loads(pickle.dumps(chain))) == content(chain)
    assert list(rebuilt.build_frequency_dict().items()) == list(chain.build_frequency_dict().items())


def outcome_of(blob, side):
    """None when the snapshot loads into a consistent chain, else the error's type."""
    chain = Chain()
    chain.add_to_bag("before", ("x",))
    try:
        chain.__setstate__((blob, side))
    except ValueError:
        assert content(chain) == [("'before'", str, [("('x',)", "1", int)])]  # untouched
        return ValueError
    consistent(chain)
    return None


def test_every_cut_and_every_made_up_header_is_a_clean_error():
    blob, side = _chain.snapshot(sample_chain())
    for end in range(len(blob)):
        assert outcome_of(blob[:end], side) is ValueError
    assert outcome_of(blob + b"\0", side) is ValueError
    with pytest.raises(ValueError, match="version 2"):
        Chain().__setstate__((blob[:4] + b"\x02" + blob[5:], side))
    with pytest.raises(ValueError, match="bag's, not a chain's"):
        Chain().__setstate__(_chain.snapshot(ProbabilityBag()))
    with pytest.raises(ValueError, match="missing beside"):
        Chain().__setstate__((blob, side[:-1]))
    with pytest.raises(ValueError, match="not those it names"):
        Chain().__setstate__((blob, (*side, "spare")))
    for field in range(7):
        for value in (0, 1, 2**32, 2**64 - 1):
            made_up = blob[: 8 + 8 * field] + struct.pack("<Q", value) + blob[16 + 8 * field :]
            assert outcome_of(made_up, side) is (None if made_up == blob else ValueError)


def records_of(blob):
    values, value_bytes, entries = struct.unpack_from("<3Q", blob, 8)
    return HEADER + value_bytes + 16 * entries


def test_a_choice_a_start_or_a_value_given_twice_is_refused():
    chain = Chain()
    chain.add_to_bag("s", ("a",), 1)
    chain.add_to_bag("s", ("b",), 1)
    chain.add_to_bag("t", ("a",), 1)
    blob, side = _chain.snapshot(chain)
    # Records: (count, id) pairs; the values are numbered s=0, a=1, b=2, t=3.
    at = records_of(blob)
    twice = blob[: at + 12] + struct.pack("<I", 1) + blob[at + 16 :]
    with pytest.raises(ValueError, match="choice given twice"):
        Chain().__setstate__((twice, side))
    second_start = HEADER + struct.unpack_from("<Q", blob, 16)[0] + 16
    with pytest.raises(ValueError, match="start given twice"):
        Chain().__setstate__((blob[:second_start] + struct.pack("<I", 0) + blob[second_start + 4 :], side))
    # The value "t" spelled "s".
    values = blob[HEADER : HEADER + struct.unpack_from("<Q", blob, 16)[0]]
    with pytest.raises(ValueError, match="value given twice"):
        Chain().__setstate__((blob.replace(values, values.replace(b"\x01t", b"\x01s")), side))
    # 1 and True are one key to a dict: a bag holding both is made up.
    alias = Chain()
    alias.add_to_bag("s", (1,))
    alias.add_to_bag("s", (2,))
    alias.add_to_bag(True, (True,))
    blob, side = _chain.snapshot(alias)
    at = records_of(blob)
    with pytest.raises(ValueError, match="choice given twice"):
        Chain().__setstate__((blob[: at + 12] + struct.pack("<I", 3) + blob[at + 16 :], side))


def test_an_id_one_past_the_table_is_refused_in_bags_of_one_length_and_of_mixed_lengths():
    for next_starts in ([("a",), ("b",)], [("a",), ("b", "c")]):
        chain = Chain()
        for next_start in next_starts:
            chain.add_to_bag("s", next_start)
        blob, side = _chain.snapshot(chain)
        values, words = struct.unpack_from("<Q", blob, 8)[0], struct.unpack_from("<Q", blob, 40)[0]
        last = records_of(blob) + 4 * words - 4  # the last id of the last choice
        with pytest.raises(ValueError, match="corrupt snapshot: an id names no value"):
            Chain().__setstate__((blob[:last] + struct.pack("<I", values) + blob[last + 4 :], side))
        assert outcome_of(blob[:last] + struct.pack("<I", values - 1) + blob[last + 4 :], side) is None


def mutations(blob, rng):
    data = bytearray(blob)
    kind = rng.randrange(5)
    if kind == 0:
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif kind == 1:
        at = rng.randrange(len(data))
        data[at : at + 4] = struct.pack("<I", rng.choice([0, 1, 2, 3, 255, 2**31, 2**32 - 1]))
    elif kind == 2:
        # Two spans of four bytes swapped: entries, records and values reordered.
        a, b = sorted(rng.sample(range(HEADER, len(data) - 4), 2))
        data[a : a + 4], data[b : b + 4] = data[b : b + 4], data[a : a + 4]
    elif kind == 3:
        at = rng.randrange(HEADER, len(data))
        del data[at : at + rng.randint(1, 8)]
    else:
        at = rng.randrange(HEADER, len(data))
        data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
    return bytes(data)


@pytest.mark.parametrize("tries", [pytest.param(400, id="quick"), pytest.param(3000, marks=pytest.mark.slow)])
def test_mutated_snapshots_load_consistently_or_raise_value_error(tries):
    blob, side = _chain.snapshot(sample_chain())
    rng = random.Random(18)
    seen = {None: 0, ValueError: 0}
    for _ in range(tries):
        mutated = mutations(blob, rng)
        seen[outcome_of(mutated, side)] += 1
        joined = Chain()
        joined.add_to_bag("kept", ("x",), 2)
        try:
            _chain.join(joined, (mutated, side))
        except ValueError:
            assert content(joined) == [("'kept'", str, [("('x',)", "2", int)])]
        else:
            consistent(joined)
    assert seen[None] > 0 and seen[ValueError] > tries // 2


@pytest.mark.parametrize("protocol", [2, 5])
def test_cut_or_flipped_pickles_raise_or_load_consistently(protocol):
    rng = random.Random(protocol)
    buffers = []
    data = pickle.dumps(sample_chain(), protocol)
    for end in rng.sample(range(len(data)), 150):
        with pytest.raises((pickle.UnpicklingError, EOFError)):
            pickle.loads(data[:end])
    # Anywhere in the stream: pickle's own errors for its opcodes and names, ours for the snapshot.
    for _ in range(150):
        flipped = bytearray(data)
        flipped[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        try:
            loaded = pickle.loads(flipped)
        except (ValueError, pickle.UnpicklingError, AttributeError, ImportError, LookupError, OverflowError):
            continue
        if type(loaded) is Chain:
            consistent(loaded)
    # A buffer handed out of band, cut or flipped on its way.
    data = pickle.dumps(sample_chain(), 5, buffer_callback=buffers.append)
    (blob,) = (bytes(b.raw()) for b in buffers)
    for _ in range(150):
        damaged = mutations(blob, rng) if rng.random() < 0.5 else blob[: rng.randrange(len(blob))]
        try:
            loaded = pickle.loads(data, buffers=[damaged])
        except ValueError:
            continue
        consistent(loaded)
