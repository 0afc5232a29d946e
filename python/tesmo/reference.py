"""The pure-Python ProbabilityBag and Chain: the reference implementation.

``tesmo.bag.ProbabilityBag`` and ``tesmo.chain.Chain`` are native types with
the same behaviour (``tesmo._chain``); these classes stay as the readable
definition of that behaviour, and the tests run both side by side. Any
object with these operations can be handed to ``tesmo_cjson``.
"""

from __future__ import annotations

import random
from bisect import bisect_right
from collections.abc import Hashable, ItemsView, Iterable, Iterator
from itertools import accumulate
from typing import Any

NextStart = tuple[Hashable, ...]


def _frozen(value: Any) -> Any:
    """A list, and every list within it, as the equal tuple; any other value as it is.

    Readers hand a JSON array over as a list; the chain stores the tuple,
    which is hashable and equal to what the writers wrote.
    """
    if isinstance(value, list):
        return tuple(map(_frozen, value))
    return value


class ProbabilityBag:
    """Weighted choices of next starts, each a tuple of values with a count.

    Choices keep the order in which they were first added; adding a next start
    that is already there adds to its count.
    """

    __slots__ = ("_counts", "_cumulative")

    def __init__(self) -> None:
        self._counts: dict[NextStart, Any] = {}
        # (next starts, running totals) for choose(); rebuilt after any add.
        self._cumulative: tuple[list[NextStart], list[Any]] | None = None

    def add(self, items: Iterable[Hashable], count: Any = 1) -> None:
        """Add ``count`` to the choice whose next start is ``tuple(items)``.

        ``items`` may be a tuple, a list or any iterable; an iterator is
        consumed before the call returns. A list among the items (a JSON
        array as a reader hands it over) is stored as the equal tuple, and so
        is every list within it.
        """
        key = items if type(items) is tuple else tuple(items)
        if any(isinstance(value, list) for value in key):
            key = tuple(map(_frozen, key))
        counts = self._counts
        counts[key] = counts.get(key, 0) + count
        self._cumulative = None

    def choices(self) -> Iterator[tuple[NextStart, Any]]:
        """Return an iterator of ``(next_start, count)`` in insertion order."""
        return iter(self._counts.items())

    @property
    def unique_count(self) -> int:
        """The number of distinct next starts."""
        return len(self._counts)

    @property
    def total(self) -> Any:
        """The sum of all counts."""
        return sum(self._counts.values())

    def choose(self, rng: random.Random) -> NextStart:
        """Pick a next start at random, weighted by the counts.

        Only ``rng.random()`` is used, once per pick, so a seeded generator
        gives the same picks every time. Counts must be non-negative.
        """
        if self._cumulative is None:
            self._cumulative = (list(self._counts), list(accumulate(self._counts.values())))
        starts, running = self._cumulative
        if not starts or running[-1] <= 0:
            raise ValueError("cannot choose from a bag without positive counts")
        # bisect_right skips choices whose count is zero: their running total
        # equals the previous one, which the drawn point never falls below.
        return starts[bisect_right(running, rng.random() * running[-1])]

    def __len__(self) -> int:
        return len(self._counts)

    def __iter__(self) -> Iterator[NextStart]:
        return iter(self._counts)

    def __contains__(self, next_start: object) -> bool:
        return next_start in self._counts

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ProbabilityBag):
            return NotImplemented
        return self._counts == other._counts

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"ProbabilityBag({self._counts!r})"


class Chain:
    """Maps each start (a hashable value) to the bag of its next starts.

    Starts keep the order in which they were first added. These are the
    operations that ``tesmo_cjson`` uses to save and load a chain.
    """

    __slots__ = ("_bags",)

    def __init__(self) -> None:
        self._bags: dict[Hashable, ProbabilityBag] = {}

    def items(self) -> ItemsView[Hashable, ProbabilityBag]:
        """Return the ``(start, bag)`` pairs in insertion order."""
        return self._bags.items()

    def clear(self) -> None:
        """Remove every start and its bag."""
        self._bags.clear()

    def set_bag(self, start: Hashable, bag: ProbabilityBag) -> None:
        """Install ``bag`` as the bag of ``start``, replacing any earlier one.

        A start given as a list (a JSON array as a reader hands it over) is
        stored as the equal tuple, and so is every list within it.
        """
        self._bags[_frozen(start)] = bag

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        """Add ``count`` to the choice ``tuple(items)`` in the bag of ``start``.

        The start and its bag are created when absent; a start given as a
        list is stored as the equal tuple, as ``set_bag`` stores it. ``items``
        takes the same forms as in ``ProbabilityBag.add``.
        """
        start = _frozen(start)
        bag = self._bags.get(start)
        if bag is None:
            bag = self._bags[start] = ProbabilityBag()
        bag.add(items, count)

    def build_frequency_dict(self) -> dict[Hashable, int]:
        """Count how often each value occurs in the chain, in first-seen order.

        A value counts once for every start it is and once for every element
        position it fills in a distinct next start; the counts of the choices
        do not weigh in.
        """
        frequencies: dict[Hashable, int] = {}
        get = frequencies.get
        for start, bag in self._bags.items():
            frequencies[start] = get(start, 0) + 1
            for next_start in bag:
                for value in next_start:
                    frequencies[value] = get(value, 0) + 1
        return frequencies

    def __getitem__(self, start: Hashable) -> ProbabilityBag:
        return self._bags[start]

    def __contains__(self, start: object) -> bool:
        return start in self._bags

    def __iter__(self) -> Iterator[Hashable]:
        return iter(self._bags)

    def __len__(self) -> int:
        return len(self._bags)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Chain):
            return NotImplemented
        return self._bags == other._bags

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Chain({self._bags!r})"
