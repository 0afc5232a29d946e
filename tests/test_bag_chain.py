import random

import pytest

from tesmo import Chain, ProbabilityBag


@pytest.mark.parametrize("form", [tuple, list, iter])
def test_add_accepts_every_item_form_and_accumulates(form):
    bag = ProbabilityBag()
    bag.add(form(["a", "b"]), count=2)
    bag.add(form([None]))
    bag.add(form(["a", "b"]), 3)
    assert list(bag.choices()) == [(("a", "b"), 5), ((None,), 1)]
    assert (bag.unique_count, len(bag), bag.total) == (2, 2, 6)
    assert ("a", "b") in bag and list(bag) == [("a", "b"), (None,)]


def test_add_to_bag_creates_starts_in_order_and_consumes_iterators():
    chain = Chain()
    items = iter(["x", "y"])
    chain.add_to_bag("b", items, count=2)
    chain.add_to_bag("a", ["x"])
    chain.add_to_bag("b", ("x", "y"))
    assert next(items, "consumed") == "consumed"
    assert [start for start, _ in chain.items()] == ["b", "a"] == list(chain)
    assert list(chain["b"].choices()) == [(("x", "y"), 3)]
    assert "a" in chain and "c" not in chain and len(chain) == 2


def test_set_bag_and_clear():
    chain, bag = Chain(), ProbabilityBag()
    chain.set_bag(1, bag)
    assert chain[1] is bag
    chain.clear()
    assert len(chain) == 0 and list(chain.items()) == []


def test_build_frequency_dict_counts_distinct_next_starts_in_first_seen_order():
    chain = Chain()
    chain.add_to_bag("a", ["b"], count=7)
    chain.add_to_bag("b", ["a"])
    chain.add_to_bag("b", ["b", "a"])
    chain.add_to_bag(None, ["c", "c"])
    freqs = chain.build_frequency_dict()
    assert list(freqs.items()) == [("a", 3), ("b", 3), (None, 1), ("c", 2)]


def test_equality_ignores_insertion_order_but_not_counts():
    one, two = Chain(), Chain()
    one.add_to_bag("a", ["b"])
    one.add_to_bag("a", ["c"])
    two.add_to_bag("a", ["c"])
    two.add_to_bag("a", ["b"])
    assert one == two and one["a"] == two["a"]
    two.add_to_bag("a", ["b"])
    assert one != two and one != {"a": one["a"]}
    assert repr(one) == "Chain({'a': ProbabilityBag({('b',): 1, ('c',): 1})})"


class FixedRandom(random.Random):
    def __init__(self, value):
        self.value = value

    def random(self):
        return self.value


@pytest.mark.parametrize("point, expected", [(0.0, ("a",)), (0.249, ("a",)), (0.25, ("c",)), (0.999, ("c",))])
def test_choose_is_weighted_by_counts_and_skips_zero_counts(point, expected):
    bag = ProbabilityBag()
    bag.add(["a"])
    bag.add(["b"], count=0)
    assert bag.choose(FixedRandom(point)) == ("a",)
    bag.add(["c"], count=3)  # must drop the running totals cached by choose
    assert bag.choose(FixedRandom(point)) == expected


def test_choose_is_deterministic_for_a_seed_and_refuses_an_empty_bag():
    bag = ProbabilityBag()
    for word, count in [("x", 1), ("y", 5), ("z", 2)]:
        bag.add([word], count)
    picks = [[bag.choose(rng) for _ in range(20)] for rng in (random.Random(7), random.Random(7))]
    assert picks[0] == picks[1] and len(set(picks[0])) > 1
    with pytest.raises(ValueError, match="without positive counts"):
        ProbabilityBag().choose(random.Random(0))
