"""Hostile documents: both readers raise a Python exception or load what the document says.

The compact reader runs beside a Python implementation that walks the parsed
document; the streaming reader beside one that walks the same document as a
tree (a next start is one whole value, its count the first scalar after it),
and, where the two readers are meant to agree, beside the compact reader.
"""

from __future__ import annotations

import copy
import decimal
import io
import json
import os
import re
import subprocess
import sys
from collections.abc import Callable, Iterator
from types import SimpleNamespace
from typing import Any
from unittest import mock

import ijson
import pytest
import ujson
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tesmo_cjson
from tesmo import Chain

try:
    from ijson.backends import yajl2_cffi
except ImportError:  # the yajl 2 library is missing
    yajl2_cffi = None

# yajl2_cffi reports invalid UTF-8 from inside a cffi callback before it raises.
pytestmark = pytest.mark.filterwarnings("ignore:Exception ignored from cffi callback")


class Recorder:
    """A chain that logs every call that it, or a bag made by `new_bag`, receives."""

    def __init__(self) -> None:
        self.log: list[Any] = []

    def new_bag(self) -> Any:
        self.log.append(("bag",))
        return SimpleNamespace(add=lambda items, count: self.log.append(("add", items, count)))

    def clear(self) -> None:
        self.log.append(("clear",))

    def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
        # A list may be filled further after the call; an iterator must be drained in it.
        if isinstance(items, (list, dict)):
            items = copy.deepcopy(items)
        elif not isinstance(items, tuple):
            items = ("iterator", tuple(items))
        self.log.append(("add_to_bag", start, items, count))

    def set_bag(self, start: Any, bag: Any) -> None:
        self.log.append(("set_bag", start))


def pairs(iterable: Any) -> Iterator[tuple[Any, Any]]:
    it = iter(iterable)
    return zip(it, it, strict=False)


def model_small(chain: Recorder, file: Any, merge: bool) -> None:
    """The compact reader's rules."""
    doc = tesmo_cjson.json.load(file)
    codes = dict(pairs(doc["codes"]))
    entries = pairs(doc["chain"])
    if merge:
        for start, bag in entries:
            for items, count in pairs(bag):
                if codes:
                    chain.add_to_bag(codes[start], tuple(codes[k] for k in items), count=count)
                else:
                    chain.add_to_bag(start, items, count=count)
        return
    chain.clear()
    for start, bag_array in entries:
        choices = pairs(bag_array)
        bag = tesmo_cjson.ProbabilityBag()
        for items, count in choices:
            bag.add(tuple(codes[k] for k in items) if codes else tuple(items), count=count)
        chain.set_bag(codes[start] if codes else start, bag)


def decoded(items: Any, codes: dict) -> Iterator[Any]:
    for key in items:
        yield codes[key]


class Members(list):
    """An object's (key, value) members, in document order, duplicates kept."""


def value_of(node: Any) -> Any:
    """What a builder makes of a parsed node: dicts and lists."""
    if isinstance(node, Members):
        return {key: value_of(value) for key, value in node}
    if isinstance(node, list):
        return [value_of(item) for item in node]
    return node


def reference_big(chain: Recorder, file: Any, merge: bool) -> None:
    """What the streaming reader makes of a valid document, walked as a tree.

    Only the members of the top-level object count, in document order: an
    array under the key "codes" replaces the table; one under "chain" holds
    consecutive pairs of a start (any value) and its bag, an array or else
    skipped. In a bag a container is a next start and the first scalar after
    it its count; other scalars are skipped. A document that is no object, or
    has no "chain" array, is refused.
    """
    if not merge:
        chain.clear()
    doc = json.loads(file.read(), object_pairs_hook=Members)
    if not isinstance(doc, Members):
        raise ValueError("not a JSON object")
    codes: dict = {}
    for key, child in doc:
        if type(child) is list and key == "codes":
            codes = dict(pairs(value_of(child)))
        elif type(child) is list and key == "chain":
            for start, bag in pairs(child):
                start, waiting = value_of(start), None
                for item in bag if type(bag) is list else ():
                    if isinstance(item, list):
                        waiting = value_of(item)
                    elif waiting is not None:
                        if codes:
                            chain.add_to_bag(codes[start], decoded(waiting, codes), count=item)
                        else:
                            chain.add_to_bag(start, waiting, count=item)
                        waiting = None
    if not any(key == "chain" and type(child) is list for key, child in doc):
        raise ValueError('no "chain" array')


PARSERS = [ijson] + ([yajl2_cffi] if yajl2_cffi else [])
# (name, reader, reference, module global, what the global is set to)
READERS = [("small", tesmo_cjson.load_json_small, model_small, "json", m) for m in (ujson, json)]
READERS += [("big", tesmo_cjson.load_json_big, reference_big, "ijson", p) for p in PARSERS]
SURROGATE_ESCAPE = re.compile(rb"\\u[dD][89a-fA-F]")


def outcome(read: Callable[..., None], data: bytes, merge: bool) -> tuple[str, type | None]:
    chain = Recorder()
    with mock.patch.object(tesmo_cjson, "ProbabilityBag", chain.new_bag):
        try:
            read(chain, io.BytesIO(data), merge)
        except Exception as error:  # the type is compared, the log up to it too
            return repr(chain.log), type(error)
    return repr(chain.log), None


def _refuse(constant: str) -> None:
    raise ValueError(constant)


def _fraction(text: str) -> float:
    # ijson's backends make a Decimal of every fraction, which fails for an
    # exponent beyond Decimal's limits (1e4001111111111111111), where json
    # reads infinity.
    decimal.Decimal(text)
    return float(text)


def standard_json(data: bytes) -> bool:
    """Whether every parser reads `data` as the same JSON: UTF-8, no NaN or
    Infinity, no escaped surrogate (which the parsers decode each their own
    way), no exponent beyond what a Decimal holds."""
    try:
        json.loads(data.decode("utf-8"), parse_constant=_refuse, parse_float=_fraction)
    except (ValueError, RecursionError, decimal.InvalidOperation):
        return False
    return not SURROGATE_ESCAPE.search(data)


def check_all_readers(data: bytes) -> None:
    """Each reader against its reference. The streaming reader's reference
    reads only standard JSON; on anything else the reader must just raise or
    load without harm."""
    valid = standard_json(data)
    for name, read, reference, global_name, backend in READERS:
        with mock.patch.object(tesmo_cjson, global_name, backend):
            for merge in (False, True):
                got = outcome(read, data, merge)
                if name == "small" or valid:
                    assert got == outcome(reference, data, merge), (name, backend, merge, data)


def chain_doc(writer: Callable[..., None], compress: bool) -> bytes:
    chain = Chain()
    for start, items, count in [("a", "b", 2), ("b", "a", 1), ("b", "ba", 1), (None, [1.5, True, "é/\n"], 3)]:
        chain.add_to_bag(start, items, count)
    out = io.StringIO()
    writer(chain, out, compress)
    return out.getvalue().encode()


REAL_DOCS = [chain_doc(tesmo_cjson.dump_json_big, True), chain_doc(tesmo_cjson.dump_json_small, False)]


def mutants(doc: bytes) -> Iterator[bytes]:
    for i in range(len(doc)):
        yield doc[:i]
        if doc[i : i + 1] in (b"[", b"]", b"{", b"}"):
            yield doc[:i] + doc[i + 1 :]
            yield doc[: i + 1] + doc[i:]
    yield json.dumps(dict(reversed(list(json.loads(doc).items())))).encode()


@pytest.mark.parametrize("doc", REAL_DOCS, ids=["compressed", "plain"])
def test_mutated_real_documents(doc):
    for mutant in mutants(doc):
        check_all_readers(mutant)


SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-2, 12),
    st.integers(),
    st.sampled_from(["a", "b", ""]),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(max_size=3),
)
KEYS = st.sampled_from(["codes", "chain", "a"])
VALUES = st.recursive(
    SCALARS, lambda inner: st.lists(inner, max_size=5) | st.dictionaries(KEYS, inner, max_size=3), max_leaves=30
)
DOCS = st.dictionaries(KEYS, VALUES, max_size=3) | VALUES
TOKENS = b'{ } [ ] "codes" "chain" : , 0 1 "a" null true 2.5'.split() + [b" "]
FAST = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@FAST
@given(doc=DOCS)
def test_valid_json_of_any_shape(doc):
    check_all_readers(json.dumps(doc).encode())


@FAST
@given(data=st.binary(max_size=64) | st.lists(st.sampled_from(TOKENS), max_size=40).map(b"".join))
def test_random_bytes_and_token_soup(data):
    check_all_readers(data)


BIG = 10**400
ODD_STRINGS = [
    b'"\\u0000\\"\\\\\\/\\b\\f\\n\\r\\t"',
    b'"\\ud83d\\ude00"',
    b'"\\ud800"',
    b'"\\udc00\\ud800x"',
    b'"\\u12"',
    b'"\xff"',
    b'"\xc0\xaf"',
    b'"\xe2\x82"',
    b'"\x00"',
    b'"\xed\xa0\x80"',
    b"'a'",
]
SPECIAL_NUMBERS = [
    str(BIG).encode(),
    b"-" + str(BIG).encode(),
    b"18446744073709551616",
    b"1e400",
    b"-0",
    b"1E-400",
    b"NaN",
    b"Infinity",
    b"-Infinity",
    b"nan",
    b"inf",
    b"01",
    b"1.",
    b".5",
]


@pytest.mark.parametrize("token", ODD_STRINGS + SPECIAL_NUMBERS)
@pytest.mark.parametrize(
    "template",
    [
        b'{"codes":[],"chain":[T,[[T,"b"],T]]}',
        b'{"codes":[T,"x","b",T],"chain":[T,[[T,"b"],1]]}',
        b'{"codes":[0,T],"chain":[0,[[0],1]]}',
    ],
)
def test_odd_strings_and_numbers(template, token):
    check_all_readers(template.replace(b"T", token))


def merge_calls(read: Callable[..., None], global_name: str, backend: Any, data: bytes) -> tuple[list, Any]:
    """The calls a reader makes in merge mode, a lazy next start drained into a tuple."""
    chain = Recorder()
    error = None
    with mock.patch.object(tesmo_cjson, global_name, backend):
        try:
            read(chain, io.BytesIO(data), True)
        except Exception as raised:
            error = (type(raised), raised.args)
    return [
        (name, start, items[1] if type(items) is tuple and items[:1] == ("iterator",) else items, count)
        for name, start, items, count in chain.log
    ], error


AGREED = {  # documents whose next starts nest or whose bags end unpaired, and the calls they give
    b'{"codes":[],"chain":["a",[[["x"],"y"],1]]}': [("add_to_bag", "a", [["x"], "y"], 1)],
    b'{"codes":[],"chain":["a",[[{"k":1},"y"],1]]}': [("add_to_bag", "a", [{"k": 1}, "y"], 1)],
    b'{"codes":[],"chain":["a",[["b"],1,2]]}': [("add_to_bag", "a", ["b"], 1)],
    b'{"codes":[],"chain":["a",[[["x"]],1,["b"],2],"z",[["c"],3,["d"],4]]}': [
        ("add_to_bag", "a", [["x"]], 1),
        ("add_to_bag", "a", ["b"], 2),
        ("add_to_bag", "z", ["c"], 3),
        ("add_to_bag", "z", ["d"], 4),
    ],
    b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],1,[0,1],2,[1]],1,[[],3,7]]}': [
        ("add_to_bag", "a", ("b",), 1),
        ("add_to_bag", "a", ("a", "b"), 2),
        ("add_to_bag", "b", (), 3),
    ],
}


@pytest.mark.parametrize("doc", AGREED)
def test_both_readers_agree_on_nested_next_starts_and_unpaired_elements(doc):
    for _, read, _, global_name, backend in READERS:
        assert merge_calls(read, global_name, backend, doc) == (AGREED[doc], None)


KEYS_OF_TABLE = st.sampled_from([0, 1, 2, 3, "k", "a"])
PLAIN_VALUES = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-3, 3),
    st.sampled_from(["a", "b", "k", "é\u0000/"]),
    st.floats(allow_nan=False, allow_infinity=False, width=32),
)
INNER = st.recursive(
    PLAIN_VALUES,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["a", "k"]), inner, max_size=2),
    max_leaves=6,
)


@st.composite
def common_documents(draw: Any) -> bytes:
    """Documents both readers read alike: "codes" first, scalar starts and
    counts, next starts that are arrays or objects of anything, unpaired
    elements at the end of any array."""
    compressed = draw(st.booleans())
    element = KEYS_OF_TABLE if compressed else INNER
    codes = draw(st.lists(st.tuples(KEYS_OF_TABLE, PLAIN_VALUES), min_size=1, max_size=6)) if compressed else []
    table = [item for pair in codes for item in pair] + draw(st.lists(KEYS_OF_TABLE, max_size=1))
    start = KEYS_OF_TABLE if compressed else PLAIN_VALUES
    next_start = st.lists(element, max_size=3) | st.dictionaries(st.sampled_from(["a", "k"]), INNER, max_size=2)
    chain: list = []
    for _ in range(draw(st.integers(0, 3))):
        bag = [item for pair in draw(st.lists(st.tuples(next_start, PLAIN_VALUES), max_size=3)) for item in pair]
        bag += draw(st.lists(next_start | PLAIN_VALUES, max_size=1))
        chain += [draw(start), bag]
    chain += draw(st.lists(start, max_size=1))
    return json.dumps({"codes": table, "chain": chain}).encode()


@FAST
@given(doc=common_documents())
def test_both_readers_agree_in_merge_mode(doc):
    outcomes = {
        (name, backend): merge_calls(read, global_name, backend, doc) for name, read, _, global_name, backend in READERS
    }
    assert len(set(map(repr, outcomes.values()))) == 1, outcomes


@pytest.mark.parametrize("doc", REAL_DOCS + list(AGREED), ids=lambda doc: doc[:40].decode())
def test_a_document_cut_short_gives_a_beginning_of_its_calls(doc):
    for backend in PARSERS:
        full, error = merge_calls(tesmo_cjson.load_json_big, "ijson", backend, doc)
        assert error is None
        for cut in range(len(doc)):
            calls, error = merge_calls(tesmo_cjson.load_json_big, "ijson", backend, doc[:cut])
            assert calls == full[: len(calls)] and error is not None and issubclass(error[0], ijson.JSONError), cut


def loaded_by_each_reader(doc: bytes, merge: bool = False) -> Iterator[Chain]:
    for _, read, _, global_name, backend in READERS:
        chain = Chain()
        with mock.patch.object(tesmo_cjson, global_name, backend):
            read(chain, io.BytesIO(doc), merge)
        yield chain


def test_huge_integer_keys_decode_by_value():
    doc = b'{"codes":[%d,"x",%d,"y"],"chain":[%d,[[%d],%d]]}' % (BIG, 2**64, BIG, 2**64, BIG)
    for chain in loaded_by_each_reader(doc):
        assert list(chain["x"].choices()) == [(("y",), BIG)]


@pytest.mark.slow
def test_code_table_of_a_million_entries():
    body = b",".join(b'%d,"v%d"' % (i, i) for i in range(500_000))
    for chain in loaded_by_each_reader(b'{"codes":[' + body + b'],"chain":[0,[[1,499999],7]]}'):
        assert list(chain) == ["v0"] and list(chain["v0"].choices()) == [(("v1", "v499999"), 7)]


DEPTH = 100_000
DEEP_SCRIPT = """
import importlib, io, re, sys, tesmo_cjson
def peak_kb():  # of this process alone: getrusage's peak may be the parent's
    return int(re.search(r"VmHWM:\\s*(\\d+)", open("/proc/self/status").read()).group(1))
tesmo_cjson.ijson = importlib.import_module(sys.argv[1])
depth = int(sys.argv[2])
doc = b'{"codes":[],"chain":["a",[' + b"[" * depth + b"]" * depth + b',1,2]]}'
calls = []
class Chain:
    def clear(self): pass
    def add_to_bag(self, start, items, count):
        levels = 0
        while items is not None:
            levels += 1
            items = items[0] if items else None
        calls.append((start, levels, count))
before = peak_kb()
tesmo_cjson.load_json_big(Chain(), io.BytesIO(doc))
print(calls, (peak_kb() - before) // 1024)
"""


@pytest.mark.parametrize("parser", PARSERS, ids=lambda p: p.__name__)
def test_next_start_nested_deeply_is_one_value_read_in_bounded_memory(parser):
    # ASan's quarantine keeps freed blocks resident; they are not the reader's memory.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=16")
    result = subprocess.run(
        [sys.executable, "-c", DEEP_SCRIPT, parser.__name__, str(DEPTH)],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    calls, grown_mb = result.stdout.rsplit(" ", 1)
    assert calls == repr([("a", DEPTH, 1)])  # the 2 after the count waits for a next start in vain
    assert int(grown_mb) < 200


@pytest.mark.parametrize(
    "where", [b"[[X]]", b'{"codes":[X],"chain":[]}', b'{"codes":[],"chain":[X]}', b'{"codes":[],"chain":[1,[[1],X]]}']
)
def test_deep_nesting_anywhere(where):
    # The decoders refuse such depth; the streaming reader reads through it:
    # a one-element table, a bag or a next start with no count adds nothing,
    # and an array is no chain document.
    deep = where.replace(b"X", b"[" * DEPTH + b"]" * DEPTH)
    for _name, read, _, global_name, backend in READERS:
        chain = Chain()
        with mock.patch.object(tesmo_cjson, global_name, backend):
            if backend is ujson:
                with pytest.raises(ujson.JSONDecodeError, match="^Reached object decoding depth limit$"):
                    read(chain, io.BytesIO(deep), True)
            elif backend is json:
                with pytest.raises(RecursionError):
                    read(chain, io.BytesIO(deep), True)
            elif where == b"[[X]]":
                with pytest.raises(ValueError, match="^not a JSON object$"):
                    read(chain, io.BytesIO(deep), True)
            else:
                read(chain, io.BytesIO(deep), True)
        assert chain == Chain()
