"""Save and load chains as JSON documents.

The functions reach the chain, its bags and the file only through the
operations below, so the protocols are structural: ``tesmo.Chain`` and
``tesmo.bag.ProbabilityBag`` satisfy them, and so does any object with the
same operations.
"""

import collections
from collections.abc import Iterable
from types import ModuleType
from typing import Any, Protocol

import tesmo.bag

# Starts and the elements of next starts: anything hashable that the encoder
# can render, and on the way in whatever the decoder or the parser produced.
_Value = Any

class _Bag(Protocol):
    """What the compact writer reads of a bag."""

    def choices(self) -> Iterable[tuple[Iterable[_Value], Any]]: ...

class _CountedBag(_Bag, Protocol):
    """What the streaming writer reads of a bag: also its number of choices."""

    @property
    def unique_count(self) -> int: ...

class _Frequencies(Protocol):
    """The chain's frequency mapping; only its (value, frequency) pairs are read."""

    def items(self) -> Iterable[tuple[_Value, Any]]: ...

class _CompactWritableChain(Protocol):
    def items(self) -> Iterable[tuple[_Value, _Bag]]: ...
    def build_frequency_dict(self) -> _Frequencies: ...

class _StreamWritableChain(Protocol):
    def __len__(self) -> int: ...
    def items(self) -> Iterable[tuple[_Value, _CountedBag]]: ...
    def build_frequency_dict(self) -> _Frequencies: ...

class _MergingChain(Protocol):
    """What the streaming reader calls; the compact reader in merge mode too."""

    def clear(self) -> object: ...
    def add_to_bag(self, start: _Value, items: Iterable[_Value], /, *, count: Any) -> object: ...

class _ReplacingChain(_MergingChain, Protocol):
    """What the compact reader calls: it installs bags made by ``ProbabilityBag``."""

    def set_bag(self, start: _Value, bag: tesmo.bag.ProbabilityBag, /) -> object: ...

class _TextWriter(Protocol):
    """A text file open for writing: the writers hand it ``str`` pieces."""

    def write(self, s: str, /) -> object: ...

class _WholeReader(Protocol):
    """A text or binary file: the decoder reads it whole with ``read()``."""

    def read(self) -> str | bytes: ...

class _BinaryReader(Protocol):
    """A binary file: the incremental parser reads it in blocks of bytes."""

    def read(self, size: int, /) -> bytes: ...

# Bound at import and read at every call; assigning another module switches
# the encoder (ujson, else the standard json) or the parser backend.
json: ModuleType
math: ModuleType
OrderedDict: type[collections.OrderedDict[Any, Any]]
ObjectBuilder: Any
ProbabilityBag: type[tesmo.bag.ProbabilityBag]
ijson: ModuleType

def dump_json_small(chain: _CompactWritableChain, file: _TextWriter, frequency_compress: object = True) -> None: ...
def load_json_small(chain: _ReplacingChain, file: _WholeReader, merge: object = False) -> None: ...
def dump_json_big(chain: _StreamWritableChain, file: _TextWriter, frequency_compress: object = True) -> None: ...
def load_json_big(chain: _MergingChain, file: _BinaryReader, merge: object = False) -> None: ...
