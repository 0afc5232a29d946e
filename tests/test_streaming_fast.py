"""The native paths of the streaming pair against the general ones.

load_json_big drives yajl itself while the parser global is the genuine
yajl2_cffi module; bound through a wrapper, the same backend runs as a
parser. Both must make the same reads, hand the chain the same calls with the
same values, report the same errors and unraisable errors, and warn alike.
dump_json_big gathers its pieces for an exact io.StringIO or io.TextIOWrapper;
a subclass of either gets one write per piece: the files must end alike.
"""

from __future__ import annotations

import decimal
import io
import json
import re
import subprocess
import sys
import warnings
from collections.abc import Callable
from types import SimpleNamespace
from typing import Any
from unittest import mock

import ijson
import pytest
import ujson
from conftest import EXAMPLE_ENTRIES, EXAMPLE_FREQS, YAJL, RecChain, needs_yajl, recording_builder
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_hostile import ODD_STRINGS, REAL_DOCS, SPECIAL_NUMBERS, TOKENS, VALUES, mutants

import tesmo_cjson
from tesmo import Chain

FORCED = SimpleNamespace(basic_parse=lambda file: YAJL.basic_parse(file)) if YAJL else None
FAST = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def typed(value: Any) -> Any:
    """A value with the types of all its parts, so that 1, 1.0 and True stay apart."""
    if isinstance(value, (list, tuple)):
        return [type(value).__name__] + [typed(item) for item in value]
    if isinstance(value, dict):
        return {key: typed(item) for key, item in value.items()}
    return type(value).__name__, repr(value)


class Recorder:
    def __init__(self, log: list, refuse_at: int = 0) -> None:
        self.log, self.refuse_at = log, refuse_at

    def clear(self) -> None:
        self.log.append(("clear",))

    def add_to_bag(self, start: Any, items: Any, count: Any) -> None:
        self.log.append(("add_to_bag", typed(start), typed(list(items)), typed(count)))
        if len(self.log) == self.refuse_at:
            raise LookupError("refused")


class Reader:
    """A file whose reads are logged; `sizes` says how much each read returns, `shape` what it returns."""

    def __init__(
        self,
        log: list,
        data: Any,
        sizes: Callable[[int, int], int] = lambda k, n: n,
        shape: Callable[[Any], Any] = lambda chunk: chunk,
        fail_at: int = 0,
    ) -> None:
        self.log, self.data, self.sizes, self.shape, self.fail_at, self.pos = log, data, sizes, shape, fail_at, 0

    def read(self, n: int) -> Any:
        self.log.append(("read", n))
        if len(self.log) == self.fail_at:
            raise OSError("unreadable")
        size = self.sizes(len(self.log), n) if n else 0
        chunk, self.pos = self.data[self.pos : self.pos + size], self.pos + size
        return self.shape(chunk)


def observe(
    parser: Any, data: Any, merge: bool = False, builder: bool = False, refuse_at: int = 0, **reader: Any
) -> tuple:
    log: list = []
    reports: list = []

    def hook(report: Any) -> None:
        # After a failed read the backend's abandoned parse complains about
        # the premature end once the exception is dropped; the native path
        # has no such parse left over.
        if getattr(report.object, "__name__", None) == "basic_parse_basecoro":
            return
        frames = []
        tb = report.exc_traceback
        while tb:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        reports.append(
            (report.exc_type, str(report.exc_value), re.sub("0x[0-9a-f]+", "", report.err_msg or ""), frames)
        )

    with (
        mock.patch.object(tesmo_cjson, "ijson", parser),
        mock.patch.object(sys, "unraisablehook", hook),
        mock.patch.object(
            tesmo_cjson, "ObjectBuilder", recording_builder(log) if builder else tesmo_cjson.ObjectBuilder
        ),
        warnings.catch_warnings(record=True) as caught,
    ):
        warnings.simplefilter("always")
        try:
            tesmo_cjson.load_json_big(Recorder(log, refuse_at), Reader(log, data, **reader), merge)
        except Exception as error:
            log.append(("raised", type(error), error.args))
    return log, reports, [(w.category, str(w.message)) for w in caught]


def same_as_backend(data: Any, **kwargs: Any) -> None:
    assert observe(YAJL, data, **kwargs) == observe(FORCED, data, **kwargs), data


# The ijson releases whose yajl2_cffi backend the native reader was checked
# against; with any other release the backend runs as it is.
VERIFIED_IJSON = ("3.6.0",)


@needs_yajl
def test_the_genuine_backend_runs_no_python_code_of_its_own():
    if ijson.__version__ not in VERIFIED_IJSON:
        pytest.skip(f"the native reader stands in for ijson {', '.join(VERIFIED_IJSON)}, not {ijson.__version__}")

    def backend_calls(parser: Any) -> int:
        calls = []
        with mock.patch.object(tesmo_cjson, "ijson", parser):
            sys.setprofile(
                lambda frame, event, arg: calls.append(frame.f_code.co_filename) if event == "call" else None
            )
            try:
                tesmo_cjson.load_json_big(Chain(), io.BytesIO(REAL_DOCS[0]))
            finally:
                sys.setprofile(None)
        return sum(name.endswith("yajl2_cffi.py") for name in calls)

    assert backend_calls(YAJL) == 0
    assert backend_calls(FORCED) > 100


# Strings yajl lets through that Python's decoder refuses, and numbers on
# both sides of every limit the native conversion keeps to.
HOSTILE_TOKENS = (
    ODD_STRINGS + SPECIAL_NUMBERS + b'"\xf4\x90\x80\x80" "\xe0\x80\xaf" "a\x00" "\xc3" "\\u00e9\xc3\xa9"'.split()
)
HOSTILE_TOKENS += (
    b"0.0 -0.0 -0e5 1E+2 2.5e-3 1e999999 -1e-999999 1e9999999 123456789012345678901234567890.5e-10".split()
)
HOSTILE_TOKENS += [b"1e" + b"9" * 18, b"1e" + b"9" * 19, b"9" * 18, b"-" + b"9" * 18, b"9" * 19, b"1" * 4300]
HOSTILE_TOKENS += [b"1" * 4301, b"0." + b"0" * 400 + b"1e400"]


@needs_yajl
@pytest.mark.parametrize("token", HOSTILE_TOKENS, ids=repr)
def test_odd_tokens_everywhere(token):
    for template in (
        b'{"codes":[T,[T,{"k":T}]],"chain":[]}',
        b'{"codes":[],"chain":[T,[[T],T,[T,T],1]]}',
        b'{"codes":[0,"a",T,"b"],"chain":[0,[[0,T],T]]}',
        b"{T:[T]}",
    ):
        same_as_backend(template.replace(b"T", token), builder=True)


@needs_yajl
def test_odd_numbers_under_an_odd_decimal_context():
    with decimal.localcontext() as context:
        context.Emax, context.traps[decimal.InvalidOperation] = 9, False
        for token in (b"1e9999999999999999999", b"1.5e99", b"2.5", b"-0e-7"):
            same_as_backend(b'{"codes":[],"chain":[1,[[1],T]]}'.replace(b"T", token))


class Renamed(Exception):
    """Stands in for one of ijson's error classes."""


def upper_events(basic_parse: Any) -> Any:
    def patched(file: Any, **config: Any) -> Any:
        for event, value in basic_parse(file, **config):
            yield event, value.upper() if isinstance(value, str) else value

    return patched


@needs_yajl
@pytest.mark.parametrize(
    "where, name, replacement",
    [
        ("common", "integer_or_decimal", lambda original: lambda text: ("N", original(text))),
        ("common", "IncompleteJSONError", lambda original: type("Incomplete", (Renamed,), {})),
        ("common", "JSONError", lambda original: type("Broken", (Renamed,), {})),
        ("backend", "basic_parse", upper_events),
    ],
)
def test_what_the_backend_looks_up_rebound_after_start_up(where, name, replacement):
    owner = ijson.common if where == "common" else YAJL
    # A document read whole, one cut short, one malformed.
    docs = [
        b'{"codes":[],"chain":["a",[["b",2.5],1,["c"],100000000000000000000]]}',
        b'{"codes":[],"chain":["a",[["b"],1',
        b'{"codes":[],"chain":["a",[["b"],1,}',
    ]
    with mock.patch.object(owner, name, replacement(getattr(owner, name))):
        for data in docs:
            same_as_backend(data)
    same_as_backend(docs[0])


@needs_yajl
@pytest.mark.parametrize("doc", REAL_DOCS, ids=["compressed", "plain"])
def test_mutated_real_documents_read_in_chunks_of_every_kind(doc):
    for mutant in mutants(doc):
        same_as_backend(mutant, merge=True)
        same_as_backend(mutant, sizes=lambda k, n: 7)
    same_as_backend(doc.decode(), builder=True)  # read() gives str
    same_as_backend(doc, sizes=lambda k, n: 3 * n + 1)  # more than asked


@needs_yajl
@pytest.mark.parametrize(
    "shape",
    [
        bytearray,
        memoryview,
        list,
        tuple,
        str,
        lambda c: None,
        lambda c: 7,
        lambda c: type("B", (bytes,), {"__len__": lambda s: 3})(c),
    ],
    ids=["bytearray", "memoryview", "list", "tuple", "str", "None", "int", "lying bytes"],
)
def test_reads_that_give_no_bytes(shape):
    for doc in (REAL_DOCS[1], REAL_DOCS[1][:-5], b""):
        same_as_backend(doc, shape=lambda c: c if not c else shape(c))
        same_as_backend(doc, shape=shape, sizes=lambda k, n: 9)


@pytest.mark.slow
@needs_yajl
def test_failures_between_chunks_and_inside_them():
    big = b'{"codes":[],"chain":["a",[' + b'["b"],1,' * 30_000 + b'["c"],' + b"9" * 5000 + b"]]}"
    for fail_at in (2, 3, 5):
        same_as_backend(big, fail_at=fail_at)
    for refuse_at in (2, 7, 12):
        same_as_backend(big, refuse_at=refuse_at, sizes=lambda k, n: 8)
    # The reader stops inside a chunk that ends in a number too long to convert.
    same_as_backend(big, refuse_at=4, sizes=lambda k, n: len(big) - 3)
    same_as_backend(big[:-1] + b"x", refuse_at=30_001)
    same_as_backend(big[:100_000] + b"\xff" + big[100_000:])


@needs_yajl
@pytest.mark.slow
@pytest.mark.parametrize(
    "data, reader",
    [
        (b'{"codes":[],"chain":["\xed\xa0\x80",[["b"],1]]}', {}),  # a string the backend converts
        (b'{"codes":[],"chain":["a",[[' + b"1" * 30 + b"],1e9999999,[2]," + b"1" * 4400 + b"]]}", {}),
        (b'{"codes":[0,"a"],"chain":[0,[[0],1],', {}),  # a parse error
        (b'{"codes":[0,"a"],"chain":[0,[[0],1,[0],2]]}', {"refuse_at": 4}),  # the reader fails
        (b'{"codes":[0,"a"],"chain":[0,[[0],1,[0],2]]}', {"shape": list}),  # chunks through cffi
        (b'{"codes":[0,"a"],"chain":[0,[[0],1,[0],2]]}', {"fail_at": 3}),  # the file fails
    ],
    ids=["string", "numbers", "parse error", "reader error", "list chunks", "read error"],
)
def test_the_native_paths_leak_nothing(data, reader):
    from test_reliability import leaked_bytes

    refuse_at = reader.pop("refuse_at", 0)
    with mock.patch.object(sys, "unraisablehook", lambda report: None):
        assert leaked_bytes(lambda: observe(YAJL, data, refuse_at=refuse_at, **reader), calls=1000) < 16_000


@needs_yajl
def test_deep_nesting():
    deep = b"[" * 50_000 + b"]" * 50_000
    for doc in (b'{"codes":[X],"chain":[]}', b'{"codes":[],"chain":["a",[X,1]]}', b"X"):
        same_as_backend(doc.replace(b"X", deep))
        same_as_backend(doc.replace(b"X", deep[:-3]))


@needs_yajl
@FAST
@given(
    doc=st.dictionaries(st.sampled_from(["codes", "chain", "x"]), VALUES, max_size=3),
    ascii=st.booleans(),
    size=st.integers(1, 40),
)
def test_random_documents(doc, ascii, size):
    data = json.dumps(doc, ensure_ascii=ascii).encode("utf-8", "surrogatepass")
    same_as_backend(data, builder=True, sizes=lambda k, n: size)


@needs_yajl
@FAST
@given(data=st.binary(max_size=64) | st.lists(st.sampled_from(TOKENS + HOSTILE_TOKENS), max_size=40).map(b"".join))
def test_random_bytes_and_token_soup(data):
    same_as_backend(data, merge=True)


# ---------------------------------------------------------------- writer


def big_chain(values: int = 3000) -> Chain:
    chain = Chain()
    for i in range(values):
        chain.add_to_bag(f"s{i}/\u00e9", (i, f"w{i % 97}", None), i % 5 + 1)
    return chain


def text_files() -> list:
    sub_wrapper = type("SubWrapper", (io.TextIOWrapper,), {})
    return [
        (io.StringIO, type("SubIO", (io.StringIO,), {})),
        (lambda: io.TextIOWrapper(io.BytesIO(), "utf-16"), lambda: sub_wrapper(io.BytesIO(), "utf-16")),
    ]


def contents(file: Any) -> Any:
    file.flush()
    return file.getvalue() if isinstance(file, io.StringIO) else file.buffer.getvalue()


@pytest.mark.parametrize("encoder", [ujson, json])
@pytest.mark.parametrize("compress", [True, False])
def test_gathered_writes_end_in_the_same_file(monkeypatch, encoder, compress):
    monkeypatch.setattr(tesmo_cjson, "json", encoder)
    chain, texts = big_chain(), []
    for exact, sub in text_files():
        files = exact(), sub()
        for file in files:
            tesmo_cjson.dump_json_big(chain, file, compress)
        texts.append(contents(files[0]))
        assert texts[-1] == contents(files[1])
    # The first piece goes out alone, to fail early on a file that cannot be
    # written; then pieces are gathered up to, and never beyond, 64 KiB.
    raw = SimpleNamespace(
        writes=[],
        writable=lambda: True,
        readable=lambda: False,
        seekable=lambda: False,
        closed=False,
        flush=lambda: None,
        close=lambda: None,  # the wrapper closes it when collected
    )
    raw.write = lambda b: raw.writes.append(len(b)) or len(b)
    tesmo_cjson.dump_json_big(chain, io.TextIOWrapper(raw, "ascii", write_through=True), compress)
    assert sum(raw.writes) == len(texts[0]) and raw.writes[0] == len('{"codes":[')
    assert all(64 * 1024 - 100 < size <= 64 * 1024 for size in raw.writes[1:-1])


class Refusing(Chain):
    def items(self) -> Any:
        for n, entry in enumerate(super().items()):
            if n == 2500:
                raise LookupError("refused")
            yield entry


class Unescaped:
    dumps = staticmethod(lambda value: json.dumps(value, ensure_ascii=False))


@pytest.mark.parametrize("encoder", [ujson, Unescaped])
def test_a_failure_leaves_the_same_beginning(monkeypatch, encoder):
    monkeypatch.setattr(tesmo_cjson, "json", encoder)
    chain = Refusing()
    chain.add_to_bag("\ud800", ("x",), 1)  # not ASCII: written alone, so an encoding error is its own
    for start, bag in big_chain().items():
        for items, count in bag.choices():
            chain.add_to_bag(start, items, count)
    for exact, sub in [
        (
            lambda: io.TextIOWrapper(io.BytesIO(), "ascii"),
            lambda: type("S", (io.TextIOWrapper,), {})(io.BytesIO(), "ascii"),
        )
    ] + text_files():
        outcomes = []
        for file in exact(), sub():
            with pytest.raises((LookupError, UnicodeEncodeError)) as raised:
                tesmo_cjson.dump_json_big(chain, file, False)
            outcomes.append((raised.type, str(raised.value), contents(file)))
        assert outcomes[0] == outcomes[1]


def test_a_write_set_on_the_instance_gets_every_piece():
    chain, file, pieces, expected = big_chain(3), io.StringIO(), [], []
    file.write = pieces.append
    tesmo_cjson.dump_json_big(chain, file)
    tesmo_cjson.dump_json_big(chain, SimpleNamespace(write=expected.append))
    assert pieces == expected and len(pieces) == 25


def test_a_closed_file_fails_before_the_chain_is_touched():
    for file in io.StringIO(), io.TextIOWrapper(io.BytesIO()):
        file.close()
        log: list = []
        with pytest.raises(ValueError, match="^I/O operation on closed file"):
            tesmo_cjson.dump_json_big(RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS), file)
        assert log == []


def test_an_integer_the_parser_cannot_convert_is_its_error():
    # ijson's C backend, behind the ijson package, hands out events with no
    # value and an error set for such a number; in a process of its own,
    # should that crash.
    script = "import io, ijson, tesmo_cjson\ntesmo_cjson.ijson = ijson\n"
    script += "tesmo_cjson.load_json_big(type('C', (), {'clear': print})(), io.BytesIO(b'1' * 5000))"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "ValueError: Exceeds the limit (4300" in done.stderr, done.stderr


@needs_yajl
def test_chunks_handed_to_the_backend_while_other_threads_run():
    # A chunk that is not exactly bytes goes through the backend's cffi call,
    # which lets other threads run until yajl calls back: the callbacks must
    # take the interpreter back for this thread. In a process of its own,
    # should that crash.
    script = """if True:
        import io, threading, tesmo_cjson
        doc = b'{"codes":[],"chain":["a",[' + b'["b",2.5],12345678901234567890,' * 3000 + b'["c"],2]]}'
        class Log:
            def __init__(self): self.calls = []
            def clear(self): pass
            def add_to_bag(self, start, items, count): self.calls.append((start, tuple(items), count))
        class Chunk(bytes): pass
        class File:
            def __init__(self): self.data = io.BytesIO(doc)
            def read(self, n): return Chunk(self.data.read(7)) if n else b""
        busy = True
        def spin():
            while busy: sum(range(50))
        results = []
        def load():
            for _ in range(4):
                log = Log()
                tesmo_cjson.load_json_big(log, File())
                results.append(log.calls)
        spinners = [threading.Thread(target=spin) for _ in range(2)]
        loaders = [threading.Thread(target=load) for _ in range(2)]
        for t in spinners + loaders: t.start()
        for t in loaders: t.join()
        busy = False
        for t in spinners: t.join()
        print(len(results), all(calls == results[0] for calls in results), len(results[0]), results[0][-1])
    """
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", script], capture_output=True, text=True, timeout=300
    )
    assert (done.returncode, done.stdout) == (0, "8 True 3001 ('a', ('c',), 2)\n"), done.stderr[-3000:]
