"""Argument handling, flag truth tests, the pairs writers accept and import-time backend choice."""

import io
import subprocess
import sys
import textwrap

import pytest
import ujson
from conftest import EXAMPLE_DOCS, EXAMPLE_ENTRIES, EXAMPLE_FREQS, RecChain, RecFile, RecIjson, RecJson, needs_yajl

import tesmo_cjson

FUNCTIONS = [
    ("dump_json_small", "frequency_compress"),
    ("load_json_small", "merge"),
    ("dump_json_big", "frequency_compress"),
    ("load_json_big", "merge"),
]

ARGUMENT_ERRORS = {
    "chain only": (lambda fn, c, f, flag: fn(c), "takes at least 2 positional arguments (1 given)"),
    "nothing": (lambda fn, c, f, flag: fn(), "takes at least 2 positional arguments (0 given)"),
    "file only": (lambda fn, c, f, flag: fn(file=f), "takes at least 2 positional arguments (0 given)"),
    "no file": (lambda fn, c, f, flag: fn(chain=c, **{flag: 1}), "takes at least 2 positional arguments (1 given)"),
    "four": (lambda fn, c, f, flag: fn(c, f, True, 1), "takes at most 3 positional arguments (4 given)"),
    "unknown": (lambda fn, c, f, flag: fn(c, f, x=1), "got an unexpected keyword argument 'x'"),
    "chain twice": (lambda fn, c, f, flag: fn(c, f, chain=c), "got multiple values for keyword argument 'chain'"),
    "flag twice": (
        lambda fn, c, f, flag: fn(c, f, 1, **{flag: 1}),
        "got multiple values for keyword argument '{flag}'",
    ),
    "non-str key": (lambda fn, c, f, flag: fn(c, f, **{1: 2}), "keywords must be strings"),
}


@pytest.mark.parametrize("name,flag", FUNCTIONS)
@pytest.mark.parametrize("case", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_before_any_work(log, name, flag, case):
    call, message = ARGUMENT_ERRORS[case]
    chain, file = RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS), RecFile(log)
    with pytest.raises(TypeError) as raised:
        call(getattr(tesmo_cjson, name), chain, file, flag)
    assert str(raised.value) == f"{name}() " + message.format(flag=flag)
    assert log == []


@pytest.mark.parametrize("name,flag", FUNCTIONS)
@pytest.mark.parametrize(
    "path",
    ["model.json", b"model.json", bytearray(b"m"), memoryview(b"m")],
    ids=["str", "bytes", "bytearray", "memoryview"],
)
def test_a_path_where_the_file_belongs_is_refused_before_the_chain_is_touched(log, name, flag, path):
    chain = RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS)
    for call in (lambda: getattr(tesmo_cjson, name)(chain, path), lambda: getattr(tesmo_cjson, name)(chain, file=path)):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == f"file must be a file object, not {type(path).__name__}"
    assert log == []


OMITTED = object()


@pytest.mark.parametrize("name,flag", FUNCTIONS)
@pytest.mark.parametrize(
    "value,truth",
    [
        (OMITTED, None),
        (True, True),
        (1, True),
        ("no", True),
        ([0], True),
        (False, False),
        (0, False),
        ("", False),
        (None, False),
    ],
)
def test_flags_are_tested_for_truth_and_default_to_compressed_and_replace(log, name, flag, value, truth):
    chain = RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS)
    writer = name.startswith("dump")
    file = RecFile(log) if writer else io.BytesIO(EXAMPLE_DOCS[False].encode())
    getattr(tesmo_cjson, name)(chain=chain, file=file, **({} if value is OMITTED else {flag: value}))
    if truth is None:
        truth = writer
    if writer:
        assert (("build_frequency_dict",) in log, file.text) == (truth, EXAMPLE_DOCS[truth])
    else:
        assert (("clear",) in log) == (not truth)


class Unanswerable:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "name,expected",
    [
        ("dump_json_small", []),
        ("dump_json_big", [("write", '{"codes":[')]),
        ("load_json_small", [("load", "FILE")]),
        ("load_json_big", []),
    ],
)
def test_a_flag_that_fails_its_truth_test_stops_the_call(monkeypatch, log, name, expected):
    monkeypatch.setattr(tesmo_cjson, "json", RecJson(log, ujson))
    monkeypatch.setattr(tesmo_cjson, "ijson", RecIjson(log, tesmo_cjson.ijson))
    chain = RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS)
    file = RecFile(log) if name.startswith("dump") else io.BytesIO(EXAMPLE_DOCS[True].encode())
    with pytest.raises(ZeroDivisionError):
        getattr(tesmo_cjson, name)(chain, file, Unanswerable())
    assert log == [tuple(file if part == "FILE" else part for part in entry) for entry in expected]


PAIR_SHAPES = [list, iter, type("Pair", (tuple,), {})]


@pytest.mark.parametrize("writer", ["dump_json_small", "dump_json_big"])
@pytest.mark.parametrize("where", ["chain items", "bag choices"])
@pytest.mark.parametrize("shape", PAIR_SHAPES)
def test_writers_take_any_pair_of_two(log, writer, where, shape):
    chain, file = RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS), RecFile(log)
    if where == "chain items":
        chain.entries = [shape(entry) for entry in chain.entries]
    else:
        for _, bag in chain.entries:
            bag._choices = [shape(choice) for choice in bag._choices]
    getattr(tesmo_cjson, writer)(chain, file, False)
    assert file.text == EXAMPLE_DOCS[False]


IMPORT_PROBE = textwrap.dedent("""
    import importlib.abc, sys
    BLOCKED, ERROR = {blocked!r}, {error}

    class Blocker(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name in BLOCKED:
                raise ERROR("blocked " + name)
            return None

    sys.meta_path.insert(0, Blocker())
    try:
        import tesmo_cjson as m
    except BaseException as exc:
        print("failed", type(exc).__name__, "tesmo_cjson" in sys.modules)
    else:
        import collections, math, ijson, tesmo.bag
        print(m.json.__name__, m.ijson.__name__, m.math is math, m.OrderedDict is collections.OrderedDict,
              m.ObjectBuilder is ijson.ObjectBuilder, m.ProbabilityBag is tesmo.bag.ProbabilityBag)
""")
YAJL_NAME = "ijson.backends.yajl2_cffi"


@pytest.mark.parametrize(
    "blocked,error,expected",
    [
        pytest.param((), "ImportError", f"ujson {YAJL_NAME} True True True True", marks=needs_yajl),
        pytest.param(("ujson",), "ImportError", f"json {YAJL_NAME} True True True True", marks=needs_yajl),
        ((YAJL_NAME,), "ModuleNotFoundError", "ujson ijson True True True True"),
        (("cffi",), "ImportError", "ujson ijson True True True True"),
        (("ijson",), "ModuleNotFoundError", "failed ModuleNotFoundError False"),
        (("tesmo.bag",), "ModuleNotFoundError", "failed ModuleNotFoundError False"),
        (("ujson",), "RuntimeError", "failed RuntimeError False"),
        ((YAJL_NAME,), "RuntimeError", "failed RuntimeError False"),
    ],
)
def test_import_binds_globals_with_fallbacks_only_for_import_errors(blocked, error, expected):
    probe = IMPORT_PROBE.format(blocked=set(blocked), error=error)
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert (result.stdout.strip(), result.returncode) == (expected, 0), result.stderr


def test_the_module_holds_nothing_but_its_globals():
    names = sorted(name for name in vars(tesmo_cjson) if not name.startswith("__"))
    assert (tesmo_cjson.__doc__, names) == (
        None,
        [
            "ObjectBuilder",
            "OrderedDict",
            "ProbabilityBag",
            "dump_json_big",
            "dump_json_small",
            "ijson",
            "json",
            "load_json_big",
            "load_json_small",
            "math",
        ],
    )
