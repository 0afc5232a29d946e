"""Hostile documents: both readers raise a Python exception or load what their rules give.

Each reader runs beside a Python model of its rules, on the same bytes with the
same decoder or parser: the calls that reach the chain and the exception type must agree.
"""

from __future__ import annotations

import contextlib
import copy
import io
import json
import os
import subprocess
import sys
from decimal import Decimal
from types import SimpleNamespace
from typing import Any, Callable, Iterator, List, Optional, Tuple
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
        self.log: List[Any] = []

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


def pairs(iterable: Any) -> Iterator[Tuple[Any, Any]]:
    it = iter(iterable)
    return zip(it, it)


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


def decoded(builder: Any, codes: dict) -> Iterator[Any]:
    for key in builder.value:
        yield codes[key]


def model_big(chain: Recorder, file: Any, merge: bool) -> None:
    """The streaming reader's rule table, first matching rule wins."""
    if not merge:
        chain.clear()
    depth, builder, codes, start = 0, ijson.ObjectBuilder(), None, None
    building = in_bag = in_chain = in_codes = False
    last_value = last_key = None
    for event, value in tesmo_cjson.ijson.basic_parse(file):
        if isinstance(value, Decimal):
            value = float(value)
        is_start, is_end = event.startswith("start_"), event.startswith("end_")
        depth += is_start - is_end
        if event == "map_key":
            last_key = value
        elif event in ("number", "string", "null", "boolean"):
            last_value = value
        if not in_codes and not in_chain and event == "start_array" and depth == 2:
            in_codes, in_chain = last_key == "codes", last_key == "chain"
            if in_codes:
                builder.event(event, value)
        elif event == "end_array" and depth == 1:
            if in_codes:
                codes = dict(pairs(builder.value))
                builder.event(event, value)
            in_codes = in_chain = False
        elif in_chain and event == "start_array" and depth == 3:
            building, start = True, last_value
        elif in_chain and event == "end_array" and depth == 2:
            building = False
        elif in_codes:
            builder.event(event, value)
        elif building and (in_bag or is_start):
            builder.event(event, value)
            in_bag = not (in_bag and is_end)
        elif building and codes:
            chain.add_to_bag(codes[start], decoded(builder, codes), count=value)
        elif building:
            chain.add_to_bag(start, builder.value, count=value)


PARSERS = [ijson] + ([yajl2_cffi] if yajl2_cffi else [])
# (name, reader, model, module global, what the global is set to)
READERS = [("small", tesmo_cjson.load_json_small, model_small, "json", m) for m in (ujson, json)]
READERS += [("big", tesmo_cjson.load_json_big, model_big, "ijson", p) for p in PARSERS]


def outcome(read: Callable[..., None], data: bytes, merge: bool) -> Tuple[str, Optional[type]]:
    chain = Recorder()
    with mock.patch.object(tesmo_cjson, "ProbabilityBag", chain.new_bag):
        try:
            read(chain, io.BytesIO(data), merge)
        except Exception as error:  # the type is compared, the log up to it too
            return repr(chain.log), type(error)
    return repr(chain.log), None


def check_all_readers(data: bytes) -> None:
    for name, read, model, global_name, backend in READERS:
        with mock.patch.object(tesmo_cjson, global_name, backend):
            for merge in (False, True):
                expected = outcome(model, data, merge)
                assert outcome(read, data, merge) == expected, (name, backend, merge, data)


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
    st.none(), st.booleans(), st.integers(-2, 12), st.integers(), st.sampled_from(["a", "b", ""]),
    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=3),
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
ODD_STRINGS = [b'"\\u0000\\"\\\\\\/\\b\\f\\n\\r\\t"', b'"\\ud83d\\ude00"', b'"\\ud800"', b'"\\udc00\\ud800x"',
               b'"\\u12"', b'"\xff"', b'"\xc0\xaf"', b'"\xe2\x82"', b'"\x00"', b'"\xed\xa0\x80"', b"'a'"]
SPECIAL_NUMBERS = [str(BIG).encode(), b"-" + str(BIG).encode(), b"18446744073709551616", b"1e400",
                   b"-0", b"1E-400", b"NaN", b"Infinity", b"-Infinity", b"nan", b"inf", b"01", b"1.", b".5"]


@pytest.mark.parametrize("token", ODD_STRINGS + SPECIAL_NUMBERS)
@pytest.mark.parametrize("template", [
    b'{"codes":[],"chain":[T,[[T,"b"],T]]}',
    b'{"codes":[T,"x","b",T],"chain":[T,[[T,"b"],1]]}',
    b'{"codes":[0,T],"chain":[0,[[0],1]]}',
])
def test_odd_strings_and_numbers(template, token):
    check_all_readers(template.replace(b"T", token))


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
doc = b'{"codes":[],"chain":["a",[' + b"[" * depth + b"]" * depth + b',1]]}'
calls = []
class Chain:
    def clear(self): pass
    def add_to_bag(self, start, items, count): calls.append(count)
before = peak_kb()
tesmo_cjson.load_json_big(Chain(), io.BytesIO(doc))
print(len(calls), calls.count(None), (peak_kb() - before) // 1024)
"""


@pytest.mark.parametrize("parser", PARSERS, ids=lambda p: p.__name__)
def test_next_start_nested_deeply_is_read_in_bounded_memory(parser):
    # The first closing bracket ends the next start; each of the other
    # closing brackets meets the reader inside the bag and hands a choice
    # over with no count, and the real count comes last.
    # ASan's quarantine keeps freed blocks resident; they are not the reader's memory.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=16")
    result = subprocess.run([sys.executable, "-c", DEEP_SCRIPT, parser.__name__, str(DEPTH)],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    calls, without_count, grown_mb = map(int, result.stdout.split())
    assert (calls, without_count) == (DEPTH, DEPTH - 1)
    assert grown_mb < 200


@pytest.mark.parametrize("where", [b"[[X]]", b'{"codes":[X],"chain":[]}', b'{"codes":[],"chain":[X]}',
                                   b'{"codes":[],"chain":[1,[[1],X]]}'])
def test_deep_nesting_anywhere_raises_or_loads(where):
    deep = where.replace(b"X", b"[" * DEPTH + b"]" * DEPTH)
    for _, read, _, global_name, backend in READERS:
        with mock.patch.object(tesmo_cjson, global_name, backend), contextlib.suppress(Exception):
            read(Chain(), io.BytesIO(deep), True)
