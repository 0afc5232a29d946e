"""The compact pair's native paths against its general path.

With the genuine encoder bound as `json`, dump_json_small renders the document
itself and load_json_small parses the text itself. Binding a wrapper that
delegates to the same encoder forces the general path, which hands the
document to the encoder's own dump and load. Both must give the same bytes,
the same calls on the chain, its bags and the file, and the same errors.
The standard json module is checked on a second instance of the module,
started while ujson could not be imported.
"""

from __future__ import annotations

import decimal
import gc
import importlib.util
import io
import json as std_json
import math
import sys
from collections import OrderedDict
from collections.abc import Callable
from typing import Any

import pytest
import ujson
from conftest import BagFactory, RecChain, RecFile
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_hostile import DOCS as JSON_SHAPES
from test_hostile import ODD_STRINGS, REAL_DOCS, SPECIAL_NUMBERS, TOKENS, mutants

import tesmo_cjson


def module_without_ujson() -> Any:
    """A second instance of the module, whose start-up bound the standard json."""
    spec = importlib.util.find_spec("tesmo_cjson")
    saved = sys.modules.get("ujson")
    sys.modules["ujson"] = None  # type: ignore[assignment]
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    finally:
        sys.modules["ujson"] = saved
    assert module.json is std_json
    return module


MODULES = {"ujson": tesmo_cjson, "json": module_without_ujson()}


class Delegate:
    """Not the genuine module, so the general path runs; the work is the real encoder's."""

    def __init__(self, real: Any) -> None:
        self.real = real

    def dumps(self, obj: Any) -> str:
        return self.real.dumps(obj)

    def dump(self, obj: Any, fp: Any) -> None:
        self.real.dump(obj, fp)

    def load(self, fp: Any) -> Any:
        return self.real.load(fp)


def both_paths(module: Any, call: Callable[[Any, list], None]) -> tuple[str, str]:
    """The log of `call` on the native path and on the general path, each ending in the error raised."""
    logs = []
    for encoder in (module.json, Delegate(module.json)):
        log: list = []
        saved = module.json, module.ProbabilityBag
        module.json, module.ProbabilityBag = encoder, BagFactory(log)
        try:
            call(module, log)
        except Exception as error:  # compared by type and message
            log.append(("raised", type(error), str(error)))
        finally:
            module.json, module.ProbabilityBag = saved
        # By repr: NaN equals itself, and 1, 1.0 and True differ.
        logs.append(repr(log))
    return logs[0], logs[1]


# ---------------------------------------------------------------- writing


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-300, 300),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-1e-3, max_value=1e-3),
    st.floats(width=32),
    st.text(max_size=4),
    st.sampled_from(["", "/", "\x7f", "\x00", '"\\', "\ud800", "\U0001f600"]),
    st.text(max_size=2).map(Str),
    st.integers(-5, 5).map(Int),
    st.floats(allow_nan=False).map(Float),
)
VALUES = st.one_of(SCALARS, st.lists(SCALARS, max_size=3).map(tuple))
NEXT_STARTS = st.lists(VALUES, max_size=3).flatmap(lambda v: st.sampled_from([tuple(v), list(v)]))
COUNTS = st.one_of(st.integers(-5, 2**66), st.floats(), st.booleans(), st.none(), st.integers(0, 9).map(Int))
CHAINS = st.lists(st.tuples(VALUES, st.lists(st.tuples(NEXT_STARTS, COUNTS), max_size=4)), max_size=5)
SOME = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


@SOME
@given(entries=CHAINS, extra=st.lists(VALUES, max_size=12), compress=st.booleans(), drop=st.booleans())
@pytest.mark.parametrize("name", MODULES)
def test_writer_random_chains(name, entries, extra, compress, drop):
    values = [start for start, _ in entries] + [v for _, bag in entries for ns, _ in bag for v in ns] + extra
    freqs = [(v, i % 3) for i, v in enumerate(dict.fromkeys(v for v in values if hashable(v)))]
    if drop and freqs:  # a value missing from the table
        freqs.pop(0)

    def write(module: Any, log: list) -> None:
        module.dump_json_small(RecChain(log, entries, freqs), RecFile(log), compress)

    native, general = both_paths(MODULES[name], write)
    assert native == general


@pytest.mark.parametrize(
    "value,text",
    [
        (1e16, "1e+16"),
        (1.5e-05, "1.5e-5"),
        (-0.0, "-0.0"),
        (1e-4, "0.0001"),
        (5e-324, "5e-324"),
        (100.0, "100.0"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
        ("\x7f/\x00\u00e9", '"\x7f\\/\\u0000\\u00e9"'),
        ("\U0001f600\ud800", '"\\ud83d\\ude00\\ud800"'),
        ((1, [None, True]), "[1,[null,true]]"),
    ],
)
def test_writer_renders_values_as_ujson_does(value, text):
    file = io.StringIO()
    tesmo_cjson.dump_json_small(RecChain([], [("s", [((value,), 1)])]), file, False)
    assert (
        file.getvalue()
        == f'{{"codes":[],"chain":["s",[[{text}],1]]}}'
        == ujson.dumps(OrderedDict([("codes", []), ("chain", ("s", ((value,), 1)))]))
    )


class OddFile:
    """A file whose write is looked up through __getattr__ and logged."""

    def __init__(self, log: list, write: Any) -> None:
        self.log, self._write = log, write

    def __getattr__(self, name: str) -> Any:
        self.log.append(("getattr", name))
        if self._write is None:
            raise AttributeError(name)
        return self._write


@pytest.mark.parametrize("write", [None, 5, "text", "raise"])
def test_writer_with_odd_files(write):
    def dump(module: Any, log: list) -> None:
        def failing(text: str) -> None:
            log.append(("write", text))
            raise OSError("disk full")

        file = OddFile(log, failing if write == "raise" else write)
        module.dump_json_small(RecChain(log, [("a", [(("b",), 1)])], [("a", 1), ("b", 1)]), file)

    native, general = both_paths(tesmo_cjson, dump)
    assert native == general and "('raised'" in native


def test_writer_mutation_after_conversion_is_rendered_as_the_encoder_sees_it():
    # A list handed out by a bag and changed later by the chain's own code:
    # the encoder renders the document after the whole conversion.
    def dump(module: Any, log: list) -> None:
        shared = ["x"]

        class Bag:
            def choices(self) -> Any:
                yield shared, 1
                shared.append(2.5)

        class Chain:
            def items(self) -> Any:
                return iter([("a", Bag()), ("b", Bag())])

        module.dump_json_small(Chain(), RecFile(log), False)

    native, general = both_paths(tesmo_cjson, dump)
    assert native == general == repr([("write", '{"codes":[],"chain":["a",[["x",2.5,2.5],1],"b",[["x",2.5,2.5],1]]}')])


# ---------------------------------------------------------------- reading


class ReadFile:
    """A file whose read is logged, every lookup of it too."""

    def __init__(self, log: list, data: Any) -> None:
        self.log, self.data = log, data

    def __getattribute__(self, name: str) -> Any:
        if name == "read":
            object.__getattribute__(self, "log").append(("getattr", "read"))
        return object.__getattribute__(self, name)

    def read(self, *args: Any) -> Any:
        self.log.append(("read", args))
        return self.data


def check_reads(data: Any) -> None:
    for module in MODULES.values():
        for merge in (False, True):

            def read(module: Any, log: list) -> None:
                module.load_json_small(RecChain(log), ReadFile(log, data), merge)

            native, general = both_paths(module, read)
            assert native == general, (module.json, merge, data)


@pytest.mark.parametrize("doc", REAL_DOCS, ids=["compressed", "plain"])
def test_reader_mutated_real_documents(doc):
    for mutant in mutants(doc):
        check_reads(mutant)
        check_reads(mutant.decode())


@SOME
@given(entries=CHAINS, compress=st.booleans(), spaced=st.booleans(), as_bytes=st.booleans())
def test_reader_written_documents(entries, compress, spaced, as_bytes):
    values = [start for start, _ in entries] + [v for _, bag in entries for ns, _ in bag for v in ns]
    freqs = [(v, 1) for v in dict.fromkeys(v for v in values if hashable(v))]
    file = io.StringIO()
    MODULES["json" if spaced else "ujson"].dump_json_small(RecChain([], entries, freqs), file, compress)
    check_reads(file.getvalue().encode() if as_bytes else file.getvalue())


FAST = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@FAST
@given(doc=JSON_SHAPES, indent=st.sampled_from([None, 0, 2]))
def test_reader_valid_json_of_any_shape(doc, indent):
    check_reads(std_json.dumps(doc, indent=indent))


@FAST
@given(data=st.binary(max_size=64) | st.lists(st.sampled_from(TOKENS), max_size=40).map(b"".join))
def test_reader_random_bytes_and_token_soup(data):
    check_reads(data)


@pytest.mark.parametrize(
    "token",
    ODD_STRINGS
    + SPECIAL_NUMBERS
    + [
        b"9223372036854775807",
        b"-9223372036854775808",
        b"9223372036854775799",
        b"1e308",
        b"1e309",
        b"-1e-400",
        b"0.1000000000000000055511151231257827021181583404541015625",
        b"2.2250738585072011e-308",
        b'"\\u00e9\\u0041"',
        b'"\\ud83d\\ude00"',
        b'"\\uD83D\\uDE00"',
        b'"\\ud83dx"',
        b'"\\t\x01"',
        b"true",
        b"[1,[2,[3]]]",
        b'{"a":{"b":1}}',
    ],
)
@pytest.mark.parametrize(
    "template",
    [
        b'{"codes":[],"chain":[T,[[T,"b"],T]]}',
        b'{"codes":[T,"x","b",T],"chain":[T,[[T,"b"],1]]}',
        b'{"codes":[0,T],"chain":[0,[[0],1],0,[[0],T]]}',
    ],
)
def test_reader_odd_strings_and_numbers(template, token):
    check_reads(template.replace(b"T", token))


@pytest.mark.parametrize(
    "doc",
    [
        b'\xef\xbb\xbf{"codes":[],"chain":[]}',
        '\ufeff{"codes":[],"chain":[]}',
        b'{"codes":[],"chain":[]}\x00',
        b' \t\r\n{ "codes" : [ ] , "chain" : [ "a" , [ [ "b" ] , 1 ] ] } \n',
        b'{"codes":[],"chain":[]} x',
        b'{"chain":[0,[[0],1]],"codes":[0,"a"],"chain":[0,[[0],2]]}',
        b'{"codes":[0,"a"],"codes":[],"chain":[0,[[0],1]]}',
        b'{"codes":[],"chain":["a","bc"]}',
        b'{"codes":[],"chain":["a",["bc",1]]}',
        b'{"codes":[],"chain":["a",[1,2,"x"]]}',
        b'{"\\u0063odes":[],"chain":[]}',
        b'{"codes":[],"chain":[],"x":' + b"[" * 40 + b"]" * 40 + b"}",
        b'{"codes":[],"chain":["a",[[' + b"[" * 3000 + b"]" * 3000 + b"],1]]}",
        b'{"codes":[1.0,"x",true,"y"],"chain":[1,[[1],1]]}',
        b'{"codes":[0,"a"],"chain":[0.0,[[false],1],5,[[0],1]]}',
        '{"codes":[],"chain":["\u00e9",[["b"],1]]}',
        b"{}",
        b"[]",
        b'"x"',
        b"",
        b'{"codes":{"a":1},"chain":[]}',
        b'{"codes":[],"chain":{"a":[]}}',
    ],
    ids=repr,
)
def test_reader_hostile_documents(doc):
    check_reads(doc)


@pytest.mark.parametrize("data", [5, bytearray(b'{"codes":[],"chain":[]}'), Str('{"codes":[],"chain":[]}'), None])
def test_reader_reads_what_read_returns_as_the_decoder_does(data):
    check_reads(data)


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("read", ["missing", "not callable", "raises"])
def test_reader_with_odd_files(name, read):
    class File:
        def __init__(self, log: list) -> None:
            if read == "not callable":
                self.read = 5
            elif read == "raises":
                self.read = lambda: (log.append(("read",)), 1 / 0)

    native, general = both_paths(MODULES[name], lambda module, log: module.load_json_small(RecChain(log), File(log)))
    assert native == general and "('raised'" in native


CHANGES = {
    "decoder rebound": lambda json: setattr(json, "_default_decoder", json.JSONDecoder(parse_float=decimal.Decimal)),
    "scanner replaced": lambda json: setattr(
        json._default_decoder, "scan_once", json.JSONDecoder(parse_int=str).scan_once
    ),
    "encoder rebound": lambda json: setattr(json, "_default_encoder", json.JSONEncoder(ensure_ascii=False)),
    "encoder changed": lambda json: setattr(json._default_encoder, "ensure_ascii", False),
    "helper replaced": lambda json: setattr(json.encoder, "encode_basestring_ascii", lambda s: '"' + s.upper() + '"'),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES)
def test_standard_json_defaults_changed_after_start_up(monkeypatch, change):
    # The standard json's loads and dumps with their default arguments use
    # the module's default decoder and encoder: the native paths must follow
    # a change to them as the genuine functions do.
    for name in ("_default_decoder", "_default_encoder"):
        monkeypatch.setattr(std_json, name, getattr(std_json, name))
    monkeypatch.setattr(std_json._default_decoder, "scan_once", std_json._default_decoder.scan_once)
    monkeypatch.setattr(std_json._default_encoder, "ensure_ascii", True)
    monkeypatch.setattr(std_json.encoder, "encode_basestring_ascii", std_json.encoder.encode_basestring_ascii)
    change(std_json)

    def read_and_write(module: Any, log: list) -> None:
        module.load_json_small(RecChain(log), io.StringIO('{"codes":[],"chain":[1.5,[[2,"\\u00e9\\u00fc"],3]]}'))
        file = io.StringIO()
        module.dump_json_big(RecChain([], [("\u00e9", [(("\u00fc", 1.5), 1)])]), file, False)
        log.append(file.getvalue())

    native, general = both_paths(MODULES["json"], read_and_write)
    assert native == general
    # What the standard json itself now reads and writes.
    loads, dumps = std_json.loads, std_json.dumps
    added = ("add", "bag0", tuple(loads('[2,"\\u00e9\\u00fc"]')), loads("3"))
    text = '{"codes":[],"chain":[' + dumps("\u00e9") + ",[" + dumps(["\u00fc", 1.5]) + ",1]]}"
    assert native == repr([("clear",), ("ProbabilityBag", "bag0"), added, ("set_bag", loads("1.5"), "bag0"), text])


# ------------------------------------------------------- the native paths run


def parsed_documents() -> list[Any]:
    """Every live dict or OrderedDict that holds "codes" and "chain" members."""
    gc.collect()
    return [o for o in gc.get_objects() if isinstance(o, dict) and "chain" in o and "codes" in o]


@pytest.mark.parametrize("name", MODULES)
def test_native_paths_hold_no_parsed_document(name):
    module = MODULES[name]
    seen = []

    class Chain(RecChain):
        def clear(self) -> None:
            seen.append(len(parsed_documents()))

    for encoder, expected in ((module.json, 0), (Delegate(module.json), 1)):
        saved, module.json = module.json, encoder
        try:
            module.load_json_small(Chain([]), io.StringIO('{"codes":[0,"a"],"chain":[0,[[0],1]]}'))
        finally:
            module.json = saved
        assert seen.pop() == expected

    class File(RecFile):
        def write(self, text: str) -> None:
            seen.append(len(parsed_documents()))

    tesmo_cjson.dump_json_small(RecChain([], [("a", [(("a",), 1)])], [("a", 1)]), File([]))
    assert seen == [0]


def test_writer_lookups_run_every_comparison_a_dict_lookup_runs():
    # A table value whose hash collides with "a" is compared with "a" at
    # every lookup of "a"; none of them may be skipped.
    calls = []

    class Collides(str):
        def __hash__(self) -> int:
            return hash("a")

        def __eq__(self, other: Any) -> bool:
            calls.append(other)
            return False

    odd = Collides("z")
    entries = [("a", [(("a", "a"), 1)]), ("a", [(("a",), 2)])]
    file = io.StringIO()
    tesmo_cjson.dump_json_small(RecChain([], entries, [(odd, 2), ("a", 1)]), file)
    written = list(calls)
    calls.clear()
    table = {}
    table[odd], table["a"] = 0, 1  # the table, then two starts and three elements looked up
    for _ in range(5):
        table["a"]
    assert written == calls and len(calls) >= 5


@pytest.mark.parametrize("last_count", [7, math.nan], ids=["rendered", "handed to ujson"])
@pytest.mark.parametrize("compress", [True, False])
def test_writer_long_chains(compress, last_count):
    # Far more items than the writer keeps in one block, rendered natively or,
    # for a NaN at the very end, all handed to ujson.dump after all.
    words = [f"w{i}" for i in range(300)]
    entries = [(w, [((words[(i * 7 + j) % 300], words[j]), j + 1) for j in range(100)]) for i, w in enumerate(words)]
    entries[-1][1].append((("w0",), last_count))
    freqs = [(w, 1) for w in words]

    def write(module: Any, log: list) -> None:
        file = io.StringIO()
        module.dump_json_small(RecChain([], entries, freqs), file, compress)
        log.append(file.getvalue())

    native, general = both_paths(tesmo_cjson, write)
    assert native == general and len(native) > 300_000
