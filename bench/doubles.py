"""Stand-ins for the chain, its bags, the bag class and the file.

Cheap doubles make every operation a builtin or a one-line function, so a
timing with them shows what the serialiser itself costs. Recording doubles
log every operation, so two implementations can be compared call by call.
Generated chains hold nothing and make their entries as they are written,
so documents far larger than memory can be written and read back.
"""

from __future__ import annotations

import io
from collections import deque
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping
from itertools import repeat
from typing import Any

Choices = dict[tuple[Hashable, ...], Any]

# Pulls an iterator dry in C without keeping anything.
drain = deque(maxlen=0).extend


class CheapBag:
    """A writer's bag: ``choices`` is a bound ``dict.items``."""

    __slots__ = ("choices", "unique_count")

    def __init__(self, choices: Choices) -> None:
        self.choices = choices.items
        self.unique_count = len(choices)


class CheapChain(dict):  # type: ignore[type-arg]
    """A writer's chain: ``items`` and ``len`` are the dict's own.

    ``build_frequency_dict`` hands back a prebuilt mapping through a C-level
    callable, so building the table costs only the serialiser's own work.
    """

    def __init__(self, bags: Mapping[Hashable, Choices], frequencies: dict[Hashable, Any]) -> None:
        super().__init__((start, CheapBag(choices)) for start, choices in bags.items())
        self.build_frequency_dict = repeat(frequencies).__next__


def _add_to_bag(start: Any, items: Iterable[Any], count: Any = 1) -> None:
    drain(items)


class NullBag:
    """A reader's new bag that takes every choice and keeps nothing."""

    __slots__ = ()

    def add(self, items: Any, count: Any = 1) -> None:
        """Accept a choice and drop it."""


class CheapReaderChain:
    """A reader's chain: ``clear`` is a dict's own method.

    ``set_bag`` keeps an array start (handed over as a list) under the equal
    tuple, as the real chain does; ``add_to_bag`` consumes the items it is
    given (a lazy iterator must be read for the lookups behind it to happen)
    and keeps nothing.
    """

    __slots__ = ("bags", "clear", "add_to_bag")

    def __init__(self) -> None:
        self.bags: dict[Hashable, Any] = {}
        self.clear = self.bags.clear
        self.add_to_bag = _add_to_bag

    def set_bag(self, start: Any, bag: Any) -> None:
        """Keep ``bag`` under ``start``, a list as the equal tuple."""
        self.bags[tuple(start) if type(start) is list else start] = bag


class ListFile:
    """A file whose ``write`` is ``list.append``."""

    __slots__ = ("parts", "write")

    def __init__(self) -> None:
        self.parts: list[str] = []
        self.write = self.parts.append

    def getvalue(self) -> str:
        """The text written so far."""
        return "".join(self.parts)


# Values are logged by repr, so that True and 1, or 2.5 and Decimal("2.5"),
# which compare equal, still tell the two sides apart.
Log = list[tuple[Any, ...]]


def _kind(items: Any) -> str:
    """How a next start was handed over: tuple, list or a one-shot iterator."""
    if type(items) is tuple or type(items) is list:
        return type(items).__name__
    return "iterator"


class RecordingFile:
    """A text file that logs every ``write``."""

    def __init__(self, log: Log) -> None:
        self.log = log
        self.parts: list[str] = []

    def write(self, text: str) -> None:
        """Log the piece and keep it."""
        self.log.append(("write", text))
        self.parts.append(text)

    def getvalue(self) -> str:
        """The text written so far."""
        return "".join(self.parts)


class RecordingFrequencies:
    """The mapping that ``build_frequency_dict`` returns."""

    def __init__(self, log: Log, pairs: list[tuple[Hashable, Any]]) -> None:
        self.log = log
        self.pairs = pairs

    def items(self) -> list[tuple[Hashable, Any]]:
        """Log the call; the pairs as a list."""
        self.log.append(("frequencies.items",))
        return list(self.pairs)


class RecordingBag:
    """A writer's bag that logs ``unique_count`` and ``choices``."""

    def __init__(self, log: Log, start: Hashable, choices: Choices) -> None:
        self.log = log
        self.start = start
        self.pairs = list(choices.items())

    @property
    def unique_count(self) -> int:
        """Log the read; the number of choices."""
        self.log.append(("unique_count", self.start))
        return len(self.pairs)

    def choices(self) -> Iterator[tuple[tuple[Hashable, ...], Any]]:
        """Log the call; an iterator over the choices."""
        self.log.append(("choices", self.start))
        return iter(self.pairs)


class RecordingChain:
    """A chain that logs every operation either side of the module calls.

    As a writer's chain it serves ``bags``; as a reader's chain it logs what
    it is given and consumes one-shot iterators on the spot.
    """

    def __init__(
        self,
        log: Log,
        bags: Mapping[Hashable, Choices] = (),  # type: ignore[assignment]
        frequencies: Mapping[Hashable, Any] = (),  # type: ignore[assignment]
    ) -> None:
        self.log = log
        self.entries = [(start, RecordingBag(log, start, choices)) for start, choices in dict(bags).items()]
        self.frequencies = list(dict(frequencies).items())

    def build_frequency_dict(self) -> RecordingFrequencies:
        """Log the call; the frequency mapping."""
        self.log.append(("build_frequency_dict",))
        return RecordingFrequencies(self.log, self.frequencies)

    def items(self) -> Iterator[tuple[Hashable, RecordingBag]]:
        """Log the call; an iterator over the entries."""
        self.log.append(("items",))
        return iter(self.entries)

    def __len__(self) -> int:
        self.log.append(("len",))
        return len(self.entries)

    def clear(self) -> None:
        """Log the call."""
        self.log.append(("clear",))

    def set_bag(self, start: Hashable, bag: Any) -> None:
        """Log the start and which new bag was installed."""
        self.log.append(("set_bag", repr(start), bag.serial))

    def add_to_bag(self, start: Hashable, items: Iterable[Any], count: Any = 1) -> None:
        """Log the choice, reading the items right away."""
        self.log.append(("add_to_bag", repr(start), _kind(items), repr(list(items)), repr(count)))


def recording_bag_class(log: Log) -> type:
    """A stand-in for ``ProbabilityBag`` whose bags log to ``log``.

    Bags are numbered as they are made, so ``set_bag`` entries show which bag
    was installed.
    """
    made = [0]

    class RecordingNewBag:
        def __init__(self) -> None:
            made[0] += 1
            self.serial = made[0]
            log.append(("ProbabilityBag", self.serial))

        def add(self, items: Any, count: Any = 1) -> None:
            log.append(("add", self.serial, _kind(items), repr(list(items)), repr(count)))

    return RecordingNewBag


# ------------------------------------------------------- generated chains

GENERATED_VOCABULARY = 5000
CHOICES_PER_ENTRY = 40


def generated_values() -> list[str]:
    """Distinct words, most frequent first.

    One-letter words at ranks 100 to 125 and two-letter words from rank 1000
    on are short enough for the code table to keep them as literals.
    """
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    pairs = [a + b for a in letters for b in letters]
    values: list[str] = []
    for rank in range(GENERATED_VOCABULARY):
        if 100 <= rank < 126:
            values.append(letters[rank - 100])
        elif 1000 <= rank < 1000 + len(pairs):
            values.append(pairs[rank - 1000])
        else:
            values.append(f"w{rank}")
    return values


def fresh_maker(values: list[str]) -> Callable[[int], str]:
    """A function that makes, on every call, a new str equal to ``values[rank]``.

    As a chain that reads its entries from a database would: equal values,
    never the same object twice (one-letter words aside, which CPython keeps
    as singletons).
    """
    heads = [value[:1] for value in values]
    tails = [value[1:] for value in values]

    def make(rank: int) -> str:
        return heads[rank] + tails[rank]

    return make


class GeneratedBag:
    """A bag whose choices are computed as they are asked for."""

    __slots__ = ("seed", "unique_count", "value", "totals")

    def __init__(self, seed: int, value: Callable[[int], str], totals: list[int]) -> None:
        self.seed = seed
        self.unique_count = CHOICES_PER_ENTRY
        self.value = value
        self.totals = totals

    def choices(self) -> Iterator[tuple[tuple[str, ...], int]]:
        """Next starts of 1 to 3 values, most often from the frequent end; each tuple made afresh."""
        value, state = self.value, self.seed
        for _ in range(CHOICES_PER_ENTRY):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            first = (state >> 8) % GENERATED_VOCABULARY
            length = 1 + state % 3
            ranks = (first * first // GENERATED_VOCABULARY, (state >> 4) % 97, first)[:length]
            count = 1 + state % 50
            self.totals[0] += 1
            self.totals[1] += count
            yield tuple([value(rank) for rank in ranks]), count


class GeneratedChain:
    """A chain of ``entries`` entries that exist only while they are written.

    With ``fresh`` every start and every value of a next start is a new str
    object, made when it is handed out; otherwise they are the same few
    thousand objects throughout. Both write the same document.
    """

    def __init__(self, entries: int, fresh: bool = False, sampler: Any = None) -> None:
        self.entries = entries
        self.values = generated_values()
        self.value = fresh_maker(self.values) if fresh else self.values.__getitem__
        self.sampler = sampler
        # Choices and the sum of their counts, as the bags hand them out.
        self.totals = [0, 0]

    def __len__(self) -> int:
        return self.entries

    def build_frequency_dict(self) -> dict[str, int]:
        """Every value, the earlier ones more frequent."""
        return {value: GENERATED_VOCABULARY - rank for rank, value in enumerate(self.values)}

    def items(self) -> Iterator[tuple[str, GeneratedBag]]:
        """The entries, generated one by one."""
        value, sampler = self.value, self.sampler
        for index in range(self.entries):
            if sampler is not None:
                sampler.step(index)
            yield value(index % GENERATED_VOCABULARY), GeneratedBag(index, value, self.totals)


class CountingChain:
    """A reader's chain that keeps nothing but counts."""

    def __init__(self, sampler: Any = None) -> None:
        self.choices = 0
        self.count_sum = 0
        self.sampler = sampler

    def clear(self) -> None:
        """Nothing to clear."""

    def add_to_bag(self, start: Hashable, items: Any, count: int = 1) -> None:
        """Drain the items, so every lookup behind a lazy iterator happens."""
        drain(items)
        self.choices += 1
        self.count_sum += count
        if self.sampler is not None:
            self.sampler.step(self.choices)


def generated_entries_for(megabytes: float, compressed: bool) -> int:
    """How many entries of a generated chain make a document of at least ``megabytes`` MB."""
    # Imported here: callgrind_driver.py loads another build of the module before anything imports it.
    import tesmo_cjson

    sample_entries = 2000
    file = io.StringIO()
    tesmo_cjson.dump_json_big(GeneratedChain(sample_entries), file, compressed)
    table_file = io.StringIO()
    tesmo_cjson.dump_json_big(GeneratedChain(0), table_file, compressed)
    per_entry = (len(file.getvalue()) - len(table_file.getvalue())) / sample_entries
    return int(megabytes * 1e6 / per_entry) + 1
