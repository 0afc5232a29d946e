"""The chain: an insertion-ordered mapping from start to ProbabilityBag."""

from __future__ import annotations

from typing import Any, Dict, Hashable, ItemsView, Iterable, Iterator

from tesmo.bag import ProbabilityBag


class Chain:
    """Maps each start (a hashable value) to the bag of its next starts.

    Starts keep the order in which they were first added. These are the
    operations that ``tesmo_cjson`` uses to save and load a chain.
    """

    __slots__ = ("_bags",)

    def __init__(self) -> None:
        self._bags: Dict[Hashable, ProbabilityBag] = {}

    def items(self) -> ItemsView[Hashable, ProbabilityBag]:
        """Return the ``(start, bag)`` pairs in insertion order."""
        return self._bags.items()

    def clear(self) -> None:
        """Remove every start and its bag."""
        self._bags.clear()

    def set_bag(self, start: Hashable, bag: ProbabilityBag) -> None:
        """Install ``bag`` as the bag of ``start``, replacing any earlier one."""
        self._bags[start] = bag

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        """Add ``count`` to the choice ``tuple(items)`` in the bag of ``start``.

        The start and its bag are created when absent. ``items`` takes the
        same forms as in ``ProbabilityBag.add``.
        """
        bag = self._bags.get(start)
        if bag is None:
            bag = self._bags[start] = ProbabilityBag()
        bag.add(items, count)

    def build_frequency_dict(self) -> Dict[Hashable, int]:
        """Count how often each value occurs in the chain, in first-seen order.

        A value counts once for every start it is and once for every element
        position it fills in a distinct next start; the counts of the choices
        do not weigh in.
        """
        frequencies: Dict[Hashable, int] = {}
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
