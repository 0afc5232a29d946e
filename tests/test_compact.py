"""dump_json_small and load_json_small, and the document rules both writers share."""

import io
import json as std_json
from collections import OrderedDict
from fractions import Fraction

import pytest
import ujson
from conftest import (
    EXAMPLE_DOCS,
    EXAMPLE_ENTRIES,
    EXAMPLE_FREQS,
    READ_DOCS,
    BagFactory,
    RecChain,
    RecFile,
    RecJson,
    outcome,
)

import tesmo_cjson

WRITERS = ["dump_json_small", "dump_json_big"]
SPACED_DOCS = {
    True: '{"codes": [0, "b", 1, "a"], "chain": [1, [[0], 2], 0, [[1], 1, [0, 1], 1]]}',
    False: '{"codes": [], "chain": ["a", [["b"], 2], "b", [["a"], 1, ["b", "a"], 1]]}',
}


@pytest.mark.parametrize("compress", [True, False])
def test_compact_writer_renders_the_example_with_either_encoder(log, encoder, compress):
    file = RecFile(log)
    tesmo_cjson.dump_json_small(RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS), file, compress)
    assert file.text == (EXAMPLE_DOCS if encoder is ujson else SPACED_DOCS)[compress]


@pytest.mark.parametrize("compress", [True, False])
def test_compact_writer_converts_everything_then_makes_one_encoder_call(monkeypatch, log, compress):
    monkeypatch.setattr(tesmo_cjson, "json", RecJson(log, ujson))
    file = RecFile(log)
    tesmo_cjson.dump_json_small(RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS), file, compress)
    if compress:
        table = [("build_frequency_dict",), ("freq_items",), ("dumps", "b"), ("dumps", "a")]
        document = OrderedDict([("codes", [0, "b", 1, "a"]), ("chain", (1, ((0,), 2), 0, ((1,), 1, (0, 1), 1)))])
    else:
        table = []
        document = OrderedDict([("codes", []), ("chain", ("a", (("b",), 2), "b", (("a",), 1, ("b", "a"), 1)))])
    assert log == table + [
        ("items",),
        ("choices", "a"),
        ("choices", "b"),
        ("dump", document, file),
        ("write", EXAMPLE_DOCS[compress]),
    ]
    assert type(log[-2][1]) is OrderedDict


SHARED_DOCUMENTS = {
    "empty plain": ([], [("a", 1)], False, '{"codes":[],"chain":[]}'),
    "empty, empty table": ([], [], True, '{"codes":[],"chain":[]}'),
    "table without chain": ([], [("a", 1)], True, '{"codes":[0,"a"],"chain":[]}'),
    "empty bag and next start": (
        [("a", []), ("b", [((), 3)])],
        [("a", 1), ("b", 1)],
        True,
        '{"codes":[0,"a",1,"b"],"chain":[0,[],1,[[],3]]}',
    ),
    "empty bag and next start, plain": (
        [("a", []), ("b", [((), 3)])],
        [],
        False,
        '{"codes":[],"chain":["a",[],"b",[[],3]]}',
    ),
    "stable sort by frequency": (
        [],
        [("a", 1), ("b", 3), ("c", Fraction(1, 2)), ("d", 3), ("e", 2.5), ("f", 2**70), ("g", -1), ("h", True)],
        True,
        '{"codes":[0,"f",1,"b",2,"d",3,"e",4,"a",5,"h",6,"c",7,"g"],"chain":[]}',
    ),
    "repeats and unused values": (
        [("a", [(("a", "a", "b"), 1)])],
        [("z", 5), ("a", 2), ("b", 1)],
        True,
        '{"codes":[0,"z",1,"a",2,"b"],"chain":[1,[[1,1,2],1]]}',
    ),
    "counts as reported": (
        [(0, [(("b",), 2**70), (("c",), -3), ((None, True), 0), ((1.5,), 2.5)])],
        [(0, 1)],
        False,
        '{"codes":[],"chain":[0,[["b"],1180591620717411303424,["c"],-3,[null,true],0,[1.5],2.5]]}',
    ),
    "ascii escapes": ([("\u00e9/", [(("\n",), 1)])], [], False, '{"codes":[],"chain":["\\u00e9\\/",[["\\n"],1]]}'),
}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("case", SHARED_DOCUMENTS)
def test_both_writers_give_the_same_bytes_with_ujson(log, writer, case):
    entries, freqs, compress, expected = SHARED_DOCUMENTS[case]
    file = RecFile(log)
    getattr(tesmo_cjson, writer)(RecChain(log, entries, freqs), file, compress)
    assert file.text == expected


PROBES = [  # value at the probed position, position, its key under ujson, under json
    ("", 9, 9, 9),
    ("", 10, "", ""),
    ("x", 99, 99, 99),
    ("x", 100, "x", "x"),
    ("xy", 999, 999, 999),
    ("xy", 1000, "xy", "xy"),
    (None, 999, 999, 999),
    (None, 1000, None, None),
    ("/", 100, 100, "/"),
    ("/", 1000, "/", "/"),
    # Only strings and None may stand for themselves: anything else could equal another entry's code.
    (7, 10, 10, 10),
    (5, 100, 100, 100),
    (True, 1000, 1000, 1000),
    (2.5, 1000, 1000, 1000),
    ((), 10, 10, 10),
]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("value,position,ujson_key,json_key", PROBES)
def test_literal_entries_only_for_short_strings_and_none(log, encoder, writer, value, position, ujson_key, json_key):
    key = ujson_key if encoder is ujson else json_key
    fillers = [f"filler-{i}" for i in range(position)]
    freqs = [(v, 1) for v in fillers] + [(value, 1), ("after", 1)]
    file = RecFile(log)
    getattr(tesmo_cjson, writer)(RecChain(log, [(value, [((value,), 1)])], freqs), file)
    codes = [item for i, v in enumerate(fillers) for item in (i, v)]
    as_json = list(value) if isinstance(value, tuple) else value
    assert std_json.loads(file.text) == {
        "codes": codes + [key, as_json, position + 1, "after"],
        "chain": [key, [[key], 1]],
    }


MISSING = {  # entries, the missing value, what the streaming writer has written by then
    "start": ([("a", [(("a",), 1)]), ("zz", [(("a",), 2)])], "zz", '{"codes":[0,"a"],"chain":[0,[[0],1],'),
    "element": ([("a", [(("a",), 1), (("a", "q"), 2)])], "q", '{"codes":[0,"a"],"chain":[0,[[0],1,'),
}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("case", MISSING)
def test_a_value_missing_from_the_table_stops_the_writer(log, writer, case):
    entries, missing, streamed = MISSING[case]
    file = RecFile(log)
    with pytest.raises(KeyError) as raised:
        getattr(tesmo_cjson, writer)(RecChain(log, entries, [("a", 1)]), file)
    # The compact writer converts the whole chain before its one encoder call.
    assert (raised.value.args, file.text) == ((missing,), streamed if writer == "dump_json_big" else "")


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("compressed", [True, False])
def test_compact_reader_paths(monkeypatch, log, encoder, merge, compressed):
    monkeypatch.setattr(tesmo_cjson, "json", RecJson(log, encoder))
    monkeypatch.setattr(tesmo_cjson, "ProbabilityBag", BagFactory(log))
    file = io.StringIO(READ_DOCS[compressed])
    tesmo_cjson.load_json_small(RecChain(log), file, merge)
    if merge:
        form = tuple if compressed else list
        calls = [
            ("add_to_bag", "a", form("b"), 2),
            ("add_to_bag", "a", form("ab"), 1),
            ("add_to_bag", "b", form("a"), 3),
        ]
    else:
        calls = [
            ("clear",),
            ("ProbabilityBag", "bag0"),
            ("add", "bag0", ("b",), 2),
            ("add", "bag0", ("a", "b"), 1),
            ("set_bag", "a", "bag0"),
            ("ProbabilityBag", "bag1"),
            ("add", "bag1", ("a",), 3),
            ("set_bag", "b", "bag1"),
        ]
    assert log == [("load", file)] + calls


def clear_bag(*steps):
    """The replace-mode prologue: clear, then the first new bag."""
    return [("clear",), ("ProbabilityBag", "bag0")] + list(steps)


COMPACT_READS = {  # document, merge, expected log, the KeyError's key or the exception type
    "empty chain, merge": ('{"codes":[],"chain":[]}', True, [], None),
    "empty chain, replace": ('{"codes":[],"chain":[]}', False, [("clear",)], None),
    "empty bag, unknown start, merge": ('{"codes":[0,"a"],"chain":[9,[]]}', True, [], None),
    "empty bag, unknown start, replace": ('{"codes":[0,"a"],"chain":[9,[]]}', False, clear_bag(), 9),
    "one-element table is plain": ('{"codes":[7],"chain":[7,[[7],1]]}', True, [("add_to_bag", 7, [7], 1)], None),
    "counts never decoded": ('{"codes":[0,5,1],"chain":[0,[[0],0]]}', True, [("add_to_bag", 5, (5,), 0)], None),
    "later pair wins": ('{"codes":[3,10,3,3],"chain":[3,[[3],1]]}', True, [("add_to_bag", 3, (3,), 1)], None),
    "literal entry": (
        '{"codes":[0,"a","x","x"],"chain":["x",[[0,"x"],1]]}',
        True,
        [("add_to_bag", "x", ("a", "x"), 1)],
        None,
    ),
    "string and empty next start, replace": (
        '{"codes":[],"chain":["a",["bc",1,[],2]]}',
        False,
        clear_bag(("add", "bag0", ("b", "c"), 1), ("add", "bag0", (), 2), ("set_bag", "a", "bag0")),
        None,
    ),
    "string and empty next start, merge": (
        '{"codes":[],"chain":["a",["bc",1,[],2]]}',
        True,
        [("add_to_bag", "a", "bc", 1), ("add_to_bag", "a", [], 2)],
        None,
    ),
    "a start twice, replace": (
        '{"codes":[],"chain":["a",[["x"],1],"a",[["y"],2]]}',
        False,
        clear_bag(
            ("add", "bag0", ("x",), 1),
            ("set_bag", "a", "bag0"),
            ("ProbabilityBag", "bag1"),
            ("add", "bag1", ("y",), 2),
            ("set_bag", "a", "bag1"),
        ),
        None,
    ),
    "member order and extra members": (
        '{"chain":[0,[[1],1]],"x":1,"codes":[0,"a",1,"b"]}',
        True,
        [("add_to_bag", "a", ("b",), 1)],
        None,
    ),
    "unpaired last elements": (
        '{"codes":[],"chain":["a",[["b"],1,["c"]],"z"]}',
        False,
        clear_bag(("add", "bag0", ("b",), 1), ("set_bag", "a", "bag0")),
        None,
    ),
    "unknown start after its bag": (
        '{"codes":[0,"a"],"chain":[0,[[0],1],5,[[0],2]]}',
        False,
        clear_bag(
            ("add", "bag0", ("a",), 1), ("set_bag", "a", "bag0"), ("ProbabilityBag", "bag1"), ("add", "bag1", ("a",), 2)
        ),
        5,
    ),
    "unknown start before its next start": (
        '{"codes":[0,"a"],"chain":[0,[[0],1],5,[[9],2]]}',
        True,
        [("add_to_bag", "a", ("a",), 1)],
        5,
    ),
    "bag not iterable": (
        '{"codes":[],"chain":["a",[["b"],1],"c",5]}',
        False,
        clear_bag(("add", "bag0", ("b",), 1), ("set_bag", "a", "bag0")),
        TypeError,
    ),
    "next start not iterable": ('{"codes":[],"chain":["a",[5,1]]}', False, clear_bag(), TypeError),
}


@pytest.mark.parametrize("case", COMPACT_READS)
def test_compact_reader_calls(monkeypatch, log, case):
    doc, merge, expected, error = COMPACT_READS[case]
    monkeypatch.setattr(tesmo_cjson, "ProbabilityBag", BagFactory(log))
    with outcome(error):
        tesmo_cjson.load_json_small(RecChain(log), io.StringIO(doc), merge)
    assert log == expected


@pytest.mark.parametrize(
    "doc,error",
    [
        ("[1,2]", TypeError),
        ('{"chain":[]}', "codes"),
        ('{"codes":[]}', "chain"),
        ('{"codes":5,"chain":[]}', TypeError),
        ('{"codes":[],"chain":5}', TypeError),
        ('{"codes":[[1],2],"chain":[]}', TypeError),
        ('{"codes":[],', ValueError),
    ],
)
def test_compact_reader_leaves_the_chain_untouched_when_the_document_is_unusable(log, encoder, doc, error):
    with outcome(error):
        tesmo_cjson.load_json_small(RecChain(log), io.StringIO(doc))
    assert log == []
