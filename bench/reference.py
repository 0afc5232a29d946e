"""A straightforward pure-Python version of the four ``tesmo_cjson`` functions.

The benchmarks time the native module against this file. It writes the same
documents byte for byte and makes the same calls on the chain, its bags, the
bag class and the file, in the same order, but it is written the way a
competent developer would write it in plain Python: a sort with a key,
``str.format`` pieces, ``ijson.basic_parse`` driving an ``ObjectBuilder``.

Like the native module it reads its encoder (``json``), parser (``ijson``),
``ObjectBuilder`` and ``ProbabilityBag`` from module globals at call time, so
``reference.json = json`` switches it to the standard encoder.
"""

from __future__ import annotations

import re
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterable, Iterator
from decimal import Decimal
from typing import Any

try:
    import ujson as json
except ImportError:
    import json  # type: ignore[no-redef]

from ijson import ObjectBuilder

from tesmo.bag import ProbabilityBag

try:
    from ijson.backends import yajl2_cffi as ijson
except ImportError:
    import ijson  # type: ignore[no-redef]

__all__ = ["dump_json_small", "load_json_small", "dump_json_big", "load_json_big"]

# Counts are written as str(count); this is what JSON accepts as a number.
_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?")


def _is_literal(position: int, value: Any, text: str) -> bool:
    """Whether a table entry keeps its value as its key.

    Only strings and None qualify: a literal number or boolean could equal
    another entry's numeric code and be decoded in its place.
    """
    return position > 9 and (value is None or isinstance(value, str)) and len(str(position)) >= len(text)


def _sorted_frequencies(pairs: Iterable[Any]) -> list[Any]:
    """The frequency pairs, most frequent first; ties keep their order."""
    return sorted(pairs, key=lambda pair: -pair[1])


def _compact_code_table(chain: Any) -> tuple[dict[Hashable, Any], list[Any]]:
    """The writer's lookup (value to key) and the flat table list."""
    codes: dict[Hashable, Any] = {}
    codes_list: list[Any] = []
    for position, pair in enumerate(_sorted_frequencies(chain.build_frequency_dict().items())):
        value = pair[0]
        key = value if _is_literal(position, value, json.dumps(value)) else position
        codes[value] = key
        codes_list.append(key)
        codes_list.append(value)
    return codes, codes_list


def dump_json_small(chain: Any, file: Any, frequency_compress: Any = True) -> None:
    """Write ``chain`` to ``file`` as one document, built in memory first."""
    if frequency_compress:
        codes, codes_list = _compact_code_table(chain)
        encode_start: Callable[[Any], Any] = codes.__getitem__

        def encode_next_start(next_start: Iterable[Hashable]) -> tuple[Any, ...]:
            return tuple([codes[value] for value in next_start])

    else:
        codes_list = []

        def encode_start(start: Any) -> Any:
            return start

        def encode_next_start(next_start: Iterable[Hashable]) -> Any:
            return next_start

    body: list[Any] = []
    for start, bag in chain.items():
        body.append(encode_start(start))
        bag_list: list[Any] = []
        for next_start, count in bag.choices():
            bag_list.append(encode_next_start(next_start))
            bag_list.append(count)
        body.append(tuple(bag_list))
    json.dump(OrderedDict([("codes", codes_list), ("chain", tuple(body))]), file)


def load_json_small(chain: Any, file: Any, merge: Any = False) -> None:
    """Read a whole document from ``file`` into ``chain``."""
    document = json.load(file)
    pairs = iter(document["codes"])
    codes = dict(zip(pairs, pairs, strict=False))
    entries = iter(document["chain"])
    if merge:
        for start, bag_array in zip(entries, entries, strict=False):
            choices = iter(bag_array)
            for next_start, count in zip(choices, choices, strict=False):
                if codes:
                    chain.add_to_bag(codes[start], tuple([codes[key] for key in next_start]), count=count)
                else:
                    chain.add_to_bag(start, next_start, count=count)
        return
    chain.clear()
    for start, bag_array in zip(entries, entries, strict=False):
        choices = iter(bag_array)
        bag = ProbabilityBag()
        for next_start, count in zip(choices, choices, strict=False):
            if codes:
                bag.add(tuple([codes[key] for key in next_start]), count=count)
            else:
                bag.add(tuple(next_start), count=count)
        chain.set_bag(codes[start] if codes else start, bag)


def _count_text(count: Any) -> str:
    """The count as written; refuses texts that no JSON reader would take."""
    text = str(count)
    if type(count) is not int and not _JSON_NUMBER.fullmatch(text):
        raise ValueError(f"count {count!r} is not a JSON number")
    return text


def _stream_code_table(chain: Any, file: Any) -> dict[Hashable, str]:
    """Write the table entries; return the lookup from value to key text."""
    items = chain.build_frequency_dict().items()
    end_freqs = len(items) - 1
    pairs = _sorted_frequencies(items)
    if len(pairs) != end_freqs + 1:
        raise ValueError(f"frequency mapping announced {end_freqs + 1} pairs but yielded {len(pairs)}")
    codes: dict[Hashable, str] = {}
    for position, pair in enumerate(pairs):
        value = pair[0]
        text = json.dumps(value)
        key = text if _is_literal(position, value, text) else str(position)
        codes[value] = key
        file.write("{},{}{}".format(key, text, "," if position != end_freqs else ""))
    return codes


def dump_json_big(chain: Any, file: Any, frequency_compress: Any = True) -> None:
    """Write ``chain`` to ``file`` piece by piece, never holding the document."""
    file.write('{"codes":[')
    if frequency_compress:
        codes = _stream_code_table(chain, file)

        def write_start(start: Any) -> None:
            file.write(f"{codes[start]},[")

        def write_next_start(next_start: Iterable[Hashable]) -> None:
            file.write("[{}]".format(",".join([codes[value] for value in next_start])))

    else:

        def write_start(start: Any) -> None:
            file.write(f"{json.dumps(start)},[")

        def write_next_start(next_start: Iterable[Hashable]) -> None:
            file.write(json.dumps(next_start))

    file.write('],"chain":[')
    chain_end = len(chain) - 1
    entries = 0
    for start, bag in chain.items():
        if entries > chain_end:
            raise ValueError(f"chain announced {chain_end + 1} entries but yielded more")
        write_start(start)
        _write_bag(bag, file, write_next_start)
        file.write("]," if entries != chain_end else "]")
        entries += 1
    if entries != chain_end + 1:
        raise ValueError(f"chain announced {chain_end + 1} entries but yielded {entries}")
    file.write("]}")


def _write_bag(bag: Any, file: Any, write_next_start: Callable[[Any], None]) -> None:
    """Write one bag's choices, with a comma after all but the last."""
    bag_end = bag.unique_count - 1
    written = 0
    for next_start, count in bag.choices():
        if written > bag_end:
            raise ValueError(f"bag announced {bag_end + 1} choices but yielded more")
        write_next_start(next_start)
        file.write(",{}{}".format(_count_text(count), "," if written != bag_end else ""))
        written += 1
    if written != bag_end + 1:
        raise ValueError(f"bag announced {bag_end + 1} choices but yielded {written}")


def _decoded(codes: dict[Any, Any], builder: Any) -> Iterator[Any]:
    """The values of the builder's current list, looked up as they are pulled."""
    for key in builder.value:
        yield codes[key]


def load_json_big(chain: Any, file: Any, merge: Any = False) -> None:
    """Read a document from ``file`` as parser events into ``chain``.

    The chain's elements pair up in order: a start (a scalar, or a container
    built whole), then its bag. In a bag, a next start is one whole value
    and the first scalar after it its count; an unpaired last element is
    dropped. A document that is no object, or holds no "chain" array, is a
    ValueError once it was read.
    """
    if not merge:
        chain.clear()
    depth = 0
    codes: Any = None
    codes_builder: Any = None
    in_object: bool | None = None
    in_codes = in_chain = chain_found = bag_open = expect_bag = False
    element_depth = 0
    start_builder: Any = None
    start: Any = None
    next_builder: Any = None
    next_depth = 0
    next_ready = False
    last_key: Any = None
    for event, value in ijson.basic_parse(file):
        # The parser gives fractions as Decimal; the compact reader's decoders
        # give floats, and so does this one, so float values read back equal.
        if event == "number" and isinstance(value, Decimal):
            value = float(value)
        is_start = event.startswith("start_")
        is_end = event.startswith("end_")
        scalar = event in ("number", "string", "null", "boolean")
        if in_object is None:
            in_object = event == "start_map"
        if is_start:
            depth += 1
        if is_end:
            depth -= 1
        if event == "map_key":
            last_key = value

        if not in_codes and not in_chain and event == "start_array" and depth == 2 and in_object:
            if last_key == "codes":
                in_codes = True
                codes_builder = ObjectBuilder()
                codes_builder.event(event, value)
            elif last_key == "chain":
                in_chain = chain_found = True
                expect_bag = False
        elif event == "end_array" and depth == 1:
            if in_codes:
                codes_builder.event(event, value)
                flat = iter(codes_builder.value)
                codes = dict(zip(flat, flat, strict=False))  # an unpaired key is dropped
            in_codes = in_chain = bag_open = False
            element_depth = next_depth = 0
            next_ready = False
        elif in_chain and element_depth > 0:
            # A start that is a container, built whole, or a bag that is no array, skipped.
            if start_builder is not None:
                start_builder.event(event, value)
            element_depth += 1 if is_start else -1 if is_end else 0
            if element_depth == 0 and start_builder is not None:
                start, start_builder = start_builder.value, None
        elif in_chain and not bag_open and (is_start if depth == 3 else depth == 2 and scalar):
            at_bag, expect_bag = expect_bag, not expect_bag
            if at_bag and event == "start_array":
                bag_open = True
                next_depth, next_ready = 0, False
            elif is_start:
                element_depth = 1
                start_builder = None
                if not at_bag:
                    start_builder = ObjectBuilder()
                    start_builder.event(event, value)
            elif not at_bag:
                start = value
        elif in_chain and event == "end_array" and depth == 2:
            bag_open = False
            next_depth, next_ready = 0, False  # a next start without a count is dropped
        elif in_codes:
            codes_builder.event(event, value)
        elif bag_open and (next_depth > 0 or is_start):
            # A next start is one whole value; a second in a row replaces the first.
            if next_depth == 0:
                next_builder = ObjectBuilder()
            next_builder.event(event, value)
            if is_start:
                next_depth += 1
            if is_end:
                next_depth -= 1
            next_ready = is_end and next_depth == 0
        elif bag_open and next_ready and not is_end:
            # Only the first scalar after a next start is its count.
            next_ready = False
            if codes:
                chain.add_to_bag(codes[start], _decoded(codes, next_builder), count=value)
            else:
                chain.add_to_bag(start, next_builder.value, count=value)
    if not chain_found:
        raise ValueError('no "chain" array' if in_object else "not a JSON object")
