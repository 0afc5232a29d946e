"""Recording doubles and fixtures: every double appends what is done to it to one shared log."""

from __future__ import annotations

import json as std_json
import signal
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

import ijson
import pytest
import ujson

try:
    import ijson.backends.yajl2_cffi as YAJL
except ImportError:  # the yajl 2 C library is not installed
    YAJL = None

# The suite's child processes get Ctrl-C as a shell gives it, also when the
# suite runs with it ignored (``pytest &``): an ignored signal stays ignored
# across exec, a handled one does not. Set here, and not in each child before
# its exec, so that no child runs Python code between fork and exec, where a
# lock held by a thread of this process at the fork would never be released.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

needs_yajl = pytest.mark.skipif(YAJL is None, reason="libyajl2 is missing, so ijson.backends.yajl2_cffi cannot load")

Log = list[tuple]
Choices = Sequence[tuple[Any, Any]]

# The chain of the worked example: "a" -> ("b",) x2; "b" -> ("a",) x1, ("b", "a") x1.
EXAMPLE_ENTRIES = [("a", [(("b",), 2)]), ("b", [(("a",), 1), (("b", "a"), 1)])]
EXAMPLE_FREQS = [("a", 3), ("b", 4)]
EXAMPLE_DOCS = {
    True: '{"codes":[0,"b",1,"a"],"chain":[1,[[0],2],0,[[1],1,[0,1],1]]}',
    False: '{"codes":[],"chain":["a",[["b"],2],"b",[["a"],1,["b","a"],1]]}',
}
# A document that exercises several choices per bag on the way in.
READ_DOCS = {
    True: '{"codes":[0,"b",1,"a"],"chain":[1,[[0],2,[1,0],1],0,[[1],3]]}',
    False: '{"codes":[],"chain":["a",[["b"],2,["a","b"],1],"b",[["a"],3]]}',
}


@dataclass(frozen=True)
class Iter:
    """The values that add_to_bag pulled from a one-shot iterator."""

    values: tuple


class RecFile:
    """A text file whose every write is logged."""

    def __init__(self, log: Log) -> None:
        self.log = log

    def write(self, text: str) -> None:
        self.log.append(("write", text))

    @property
    def text(self) -> str:
        return "".join(entry[1] for entry in self.log if entry[0] == "write")


class RecBag:
    """A bag to be written (given choices) or filled by the compact reader."""

    def __init__(self, log: Log, name: Any, choices: Choices = ()) -> None:
        self.log, self.name, self._choices = log, name, list(choices)

    @property
    def unique_count(self) -> int:
        self.log.append(("unique_count", self.name))
        return len(self._choices)

    def choices(self) -> Iterable:
        self.log.append(("choices", self.name))
        return iter(self._choices)

    def add(self, items: Any, *, count: Any) -> None:
        self.log.append(("add", self.name, items, count))


class RecFreqs:
    """What build_frequency_dict returns: only its items() is used."""

    def __init__(self, log: Log, pairs: list) -> None:
        self.log, self.pairs = log, pairs

    def items(self) -> list:
        self.log.append(("freq_items",))
        return self.pairs


class RecChain:
    """A chain to be written (entries, freqs) or filled by a reader."""

    def __init__(self, log: Log, entries: Sequence = (), freqs: Sequence = ()) -> None:
        self.log, self.freqs = log, list(freqs)
        self.entries = [(start, RecBag(log, start, bag)) for start, bag in entries]

    def build_frequency_dict(self) -> RecFreqs:
        self.log.append(("build_frequency_dict",))
        return RecFreqs(self.log, self.freqs)

    def items(self) -> Iterable:
        self.log.append(("items",))
        return iter(self.entries)

    def __len__(self) -> int:
        self.log.append(("len",))
        return len(self.entries)

    def clear(self) -> None:
        self.log.append(("clear",))

    def set_bag(self, start: Any, bag: Any) -> None:
        self.log.append(("set_bag", start, getattr(bag, "name", bag)))

    def add_to_bag(self, start: Any, items: Any, *, count: Any) -> None:
        # Logged at entry, so reads that the call triggers (a lazy iterator
        # asking the builder for its value) show up after it.
        at = len(self.log)
        self.log.append(("add_to_bag", start, items, count))
        if not hasattr(items, "__next__"):
            self.log[at] = ("add_to_bag", start, items[:] if isinstance(items, list) else items, count)
            return
        assert iter(items) is items
        pulled: list = []
        try:
            for value in items:
                pulled.append(value)
        finally:
            self.log[at] = ("add_to_bag", start, Iter(tuple(pulled)), count)


class BagFactory:
    """Stands in for ProbabilityBag: each call makes a named RecBag."""

    def __init__(self, log: Log) -> None:
        self.log, self.made = log, 0

    def __call__(self) -> RecBag:
        name = f"bag{self.made}"
        self.made += 1
        self.log.append(("ProbabilityBag", name))
        return RecBag(self.log, name)


class RecJson:
    """An encoder module that logs its use and delegates to a real one."""

    def __init__(self, log: Log, real: Any) -> None:
        self.log, self.real = log, real

    def dumps(self, obj: Any) -> str:
        self.log.append(("dumps", obj))
        return self.real.dumps(obj)

    def dump(self, obj: Any, fp: Any) -> None:
        self.log.append(("dump", obj, fp))
        self.real.dump(obj, fp)

    def load(self, fp: Any) -> Any:
        self.log.append(("load", fp))
        return self.real.load(fp)


class RecIjson:
    """A parser module with only basic_parse; options besides the file are kept apart from the log."""

    def __init__(self, log: Log, backend: Any, shape: Any = None) -> None:
        self.log, self.backend, self.shape, self.options = log, backend, shape, []

    def basic_parse(self, fp: Any, *args: Any, **kwargs: Any) -> Iterable:
        self.log.append(("basic_parse", fp))
        self.options.append((args, kwargs))
        events = self.backend.basic_parse(fp, *args, **kwargs)
        return events if self.shape is None else (self.shape(e) for e in events)


def recording_builder(log: Log) -> type:
    """A subclass of ijson's ObjectBuilder that logs construction, events and value reads."""

    class RecordingBuilder(ijson.ObjectBuilder):
        def __init__(self, *args: Any) -> None:
            log.append(("ObjectBuilder",) + args)
            super().__init__()

        def event(self, event: str, value: Any) -> None:
            log.append(("event", event, value))
            super().event(event, value)

        @property
        def value(self) -> Any:
            log.append(("value",))
            return self._value

        @value.setter
        def value(self, value: Any) -> None:
            self._value = value

    return RecordingBuilder


@contextmanager
def outcome(error: Any) -> Iterator[None]:
    """Expect success (None), an exception of the given type, or a KeyError carrying the given key."""
    if error is None:
        yield
        return
    with pytest.raises(error if isinstance(error, type) else KeyError) as raised:
        yield
    if not isinstance(error, type):
        assert raised.value.args == (error,)


@pytest.fixture
def log() -> Log:
    return []


@pytest.fixture
def cj():
    import tesmo_cjson

    return tesmo_cjson


@pytest.fixture(params=["ujson", "json"])
def encoder(request, monkeypatch, cj):
    """Switch the module's encoder global; yields the real encoder module."""
    module = {"ujson": ujson, "json": std_json}[request.param]
    monkeypatch.setattr(cj, "json", module)
    return module


@pytest.fixture(params=[pytest.param("yajl2_cffi", marks=needs_yajl), "ijson"])
def parser(request, monkeypatch, cj):
    """Switch the module's parser global; yields the real parser module."""
    module = YAJL if request.param == "yajl2_cffi" else ijson
    monkeypatch.setattr(cj, "ijson", module)
    return module


class Token:
    """A hashable value that is no plain value: a snapshot carries it beside its bytes."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Token) and other.name == self.name

    def __hash__(self) -> int:
        return hash(("token", self.name))

    def __repr__(self) -> str:
        return f"Token({self.name!r})"
