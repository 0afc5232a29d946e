"""dump_json_big and load_json_big: pieces, counts, parser events and builders."""

import io
import math
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction

import ijson
import pytest
import ujson
from conftest import (
    EXAMPLE_ENTRIES,
    EXAMPLE_FREQS,
    READ_DOCS,
    Iter,
    RecChain,
    RecFile,
    RecIjson,
    outcome,
    recording_builder,
)

import tesmo_cjson
from tesmo.chain import Chain


def writes(*pieces):
    return [("write", piece) for piece in pieces]


@pytest.mark.parametrize("compress", [True, False])
def test_streaming_writer_writes_the_example_piece_by_piece(log, encoder, compress):
    file = RecFile(log)
    tesmo_cjson.dump_json_big(RecChain(log, EXAMPLE_ENTRIES, EXAMPLE_FREQS), file, compress)
    if compress:
        head = writes('{"codes":[') + [("build_frequency_dict",), ("freq_items",)] + writes('0,"b",', '1,"a"')
        a, b, b_, a_, ba_ = "1,[", "0,[", "[0]", "[1]", "[0,1]"
    else:
        head = writes('{"codes":[')
        a, b, b_, a_, ba_ = '"a",[', '"b",[', '["b"]', '["a"]', '["b","a"]' if encoder is ujson else '["b", "a"]'
    assert log == head + writes('],"chain":[') + [("len",), ("items",)] + writes(a) + [
        ("unique_count", "a"),
        ("choices", "a"),
    ] + writes(b_, ",2", "],", b) + [("unique_count", "b"), ("choices", "b")] + writes(a_, ",1,", ba_, ",1", "]", "]}")


@dataclass
class Text:
    """A count whose str is the given text."""

    text: str

    def __str__(self) -> str:
        return self.text


class Many(int):
    def __str__(self) -> str:
        return "many"


GOOD_COUNTS = [2**100, -7, 0, 2.5, -0.0, 1e16, Decimal("1E+2"), "7", Text("-0"), Text("1.5e-3"), Text("12E+5")]
BAD_COUNTS = [
    math.inf,
    -math.inf,
    math.nan,
    True,
    Fraction(1, 2),
    Decimal("NaN"),
    Many(3),
    Text("07"),
    Text(".5"),
    Text("1."),
    Text("+1"),
    Text("1e"),
    Text("1e+"),
    Text(""),
    Text(" 1"),
    Text("1 "),
    Text("-"),
    Text("0x10"),
    Text("Infinity"),
    Text("1_000"),
    Text("--1"),
]


@pytest.mark.parametrize("count,good", [(c, True) for c in GOOD_COUNTS] + [(c, False) for c in BAD_COUNTS], ids=repr)
def test_a_count_is_written_only_when_its_text_is_a_json_number(log, count, good):
    file = RecFile(log)
    chain = RecChain(log, [("a", [(("b",), count)])])
    if good:
        tesmo_cjson.dump_json_big(chain, file, False)
        assert file.text == f'{{"codes":[],"chain":["a",[["b"],{count}]]}}'
    else:
        with pytest.raises(ValueError) as raised:
            tesmo_cjson.dump_json_big(chain, file, False)
        assert str(raised.value) == f"count {count!r} is written as {str(count)!r}, which is not a JSON number"
        assert file.text == '{"codes":[],"chain":["a",[["b"]'


STREAM_READS = {  # document, merge, the add_to_bag calls
    "example compressed, replace": (
        READ_DOCS[True],
        False,
        [
            ("add_to_bag", "a", Iter(("b",)), 2),
            ("add_to_bag", "a", Iter(("a", "b")), 1),
            ("add_to_bag", "b", Iter(("a",)), 3),
        ],
    ),
    "example plain, merge": (
        READ_DOCS[False],
        True,
        [("add_to_bag", "a", ["b"], 2), ("add_to_bag", "a", ["a", "b"], 1), ("add_to_bag", "b", ["a"], 3)],
    ),
    "empty, replace": ('{"codes":[],"chain":[]}', False, []),
    "empty, merge": ('{"codes":[],"chain":[]}', True, []),
    "empty bag and next start": (
        '{"codes":[0,"a",1,"b"],"chain":[0,[],1,[[],4]]}',
        False,
        [("add_to_bag", "b", Iter(()), 4)],
    ),
    "empty bag and next start, plain": ('{"codes":[],"chain":["a",[],"b",[[],4]]}', True, [("add_to_bag", "b", [], 4)]),
    "later pair wins": ('{"codes":[3,"d",3,3],"chain":[3,[[3],1]]}', True, [("add_to_bag", 3, Iter((3,)), 1)]),
    "one-element table is plain": ('{"codes":[7],"chain":[7,[[7],1]]}', True, [("add_to_bag", 7, [7], 1)]),
    "odd table, counts as parsed": (
        '{"codes":[0,5,1],"chain":[0,[[0],2.5,[0],"n"]]}',
        True,
        [("add_to_bag", 5, Iter((5,)), 2.5), ("add_to_bag", 5, Iter((5,)), "n")],
    ),
    "chain before codes is plain": ('{"chain":[0,[[1],1]],"codes":[0,"a",1,"b"]}', True, [("add_to_bag", 0, [1], 1)]),
    "skipped members, literal entry": (
        '{"meta":{"k":[1,"s"]},"codes":[0,"a","x","x"],"more":[[2],"t"],"chain":["x",[[0,"x"],1]],"tail":"u"}',
        True,
        [("add_to_bag", "x", Iter(("a", "x")), 1)],
    ),
    "null and boolean starts": (
        '{"codes":[],"chain":["a",[["x"],5],null,[["y"],6],true,[["z"],7],false,[["w"],8]]}',
        True,
        [
            ("add_to_bag", "a", ["x"], 5),
            ("add_to_bag", None, ["y"], 6),
            ("add_to_bag", True, ["z"], 7),
            ("add_to_bag", False, ["w"], 8),
        ],
    ),
    "literal null start": (
        '{"codes":[0,"a",null,null],"chain":[null,[[0,null],1]]}',
        True,
        [("add_to_bag", None, Iter(("a", None)), 1)],
    ),
    "a start twice, replace": (
        '{"codes":[],"chain":["a",[["x"],1],"a",[["y"],2]]}',
        False,
        [("add_to_bag", "a", ["x"], 1), ("add_to_bag", "a", ["y"], 2)],
    ),
}


@pytest.mark.parametrize("case", STREAM_READS)
def test_streaming_reader_calls(monkeypatch, log, parser, case):
    doc, merge, calls = STREAM_READS[case]
    monkeypatch.setattr(tesmo_cjson, "ijson", RecIjson(log, parser))
    file = io.BytesIO(doc.encode())
    tesmo_cjson.load_json_big(RecChain(log), file, merge)
    assert log == ([] if merge else [("clear",)]) + [("basic_parse", file)] + calls
    # Equality alone would take 1 for True: the starts must keep their types.
    assert [type(entry[1]) for entry in log if entry[0] == "add_to_bag"] == [type(entry[1]) for entry in calls]


def test_the_parser_is_given_the_file_alone(monkeypatch, log):
    parser = RecIjson(log, ijson)
    monkeypatch.setattr(tesmo_cjson, "ijson", parser)
    tesmo_cjson.load_json_big(RecChain(log), io.BytesIO(READ_DOCS[False].encode()))
    assert parser.options == [((), {})]


@pytest.mark.parametrize(
    "text,value",
    [
        ("0.1", 0.1),
        ("-2.5e-300", -2.5e-300),
        ("1e400", math.inf),
        ("18446744073709551617", 2**64 + 1),
        ("-9223372036854775809", -(2**63) - 1),
    ],
)
def test_fractions_read_as_floats_and_integers_stay_exact(parser, text, value):
    # The parser's Decimals become floats, as the compact reader gives them;
    # integers of any size keep their exact value and type.
    chain = Chain()
    tesmo_cjson.load_json_big(chain, io.BytesIO(f'{{"codes":[],"chain":[{text},[[{text}],{text}]]}}'.encode()))
    [(start, bag)] = chain.items()
    [(next_start, count)] = bag.choices()
    assert [start, next_start[0], count] == [value] * 3
    assert {type(start), type(next_start[0]), type(count)} == {type(value)}


@pytest.mark.parametrize(
    "reader,doc,calls,key",
    [
        ("load_json_small", '{"codes":[0,"a"],"chain":[0,[[0],1,[0,9,0],2]]}', [("add_to_bag", "a", ("a",), 1)], 9),
        (
            "load_json_big",
            '{"codes":[0,"a"],"chain":[0,[[0],1,[0,9,0],2]]}',
            [("add_to_bag", "a", Iter(("a",)), 1), ("add_to_bag", "a", Iter(("a",)), 2)],
            9,
        ),
        ("load_json_small", '{"codes":[0,"a"],"chain":[5,[[9],1]]}', [], 5),
        ("load_json_big", '{"codes":[0,"a"],"chain":[5,[[9],1]]}', [], 5),
    ],
)
def test_where_a_missing_key_is_noticed(log, reader, doc, calls, key):
    # The streaming reader looks next-start elements up only as add_to_bag pulls them.
    with outcome(key):
        getattr(tesmo_cjson, reader)(RecChain(log), io.BytesIO(doc.encode()), True)
    assert log == calls


def test_a_cut_off_document_delivers_what_was_parsed(log, parser):
    with pytest.raises(ijson.JSONError):
        tesmo_cjson.load_json_big(RecChain(log), io.BytesIO(b'{"codes":[],"chain":["a",[["b"],1,["c"],2,'))
    assert log == [("clear",), ("add_to_bag", "a", ["b"], 1), ("add_to_bag", "a", ["c"], 2)]


@pytest.mark.parametrize("shape", [list, iter])
def test_parser_events_need_only_unpack_into_two(monkeypatch, log, shape):
    monkeypatch.setattr(tesmo_cjson, "ijson", RecIjson(log, ijson, shape))
    file = io.BytesIO(READ_DOCS[False].encode())
    tesmo_cjson.load_json_big(RecChain(log), file, True)
    assert log == [("basic_parse", file)] + STREAM_READS["example plain, merge"][2]


def B(event, value=None):
    return ("event", event, value)


BUILDER_READS = {  # merge-mode document, the whole log when the builder is a recording one
    # The builder's value is read when a choice is handed over, so that the
    # lazy next start is the one of that choice however long it is kept.
    "compressed": (
        READ_DOCS[True],
        [
            ("ObjectBuilder",),
            B("start_array"),
            B("number", 0),
            B("string", "b"),
            B("number", 1),
            B("string", "a"),
            ("value",),
            B("end_array"),
            B("start_array"),
            B("number", 0),
            B("end_array"),
            ("value",),
            ("add_to_bag", "a", Iter(("b",)), 2),
            B("start_array"),
            B("number", 1),
            B("number", 0),
            B("end_array"),
            ("value",),
            ("add_to_bag", "a", Iter(("a", "b")), 1),
            B("start_array"),
            B("number", 1),
            B("end_array"),
            ("value",),
            ("add_to_bag", "b", Iter(("a",)), 3),
        ],
    ),
    # A next start is one whole value, however deep: containers inside it
    # are built into it, and the scalar after it is its only count.
    "nested next start": (
        '{"codes":[],"chain":["a",[["b",{"k":[1]}],2,7]]}',
        [
            ("ObjectBuilder",),
            B("start_array"),
            ("value",),
            B("end_array"),
            B("start_array"),
            B("string", "b"),
            B("start_map"),
            B("map_key", "k"),
            B("start_array"),
            B("number", 1),
            B("end_array"),
            B("end_map"),
            B("end_array"),
            ("value",),
            ("add_to_bag", "a", ["b", {"k": [1]}], 2),
        ],
    ),
    "nested table value": (
        '{"codes":[0,{"k":[1,{"z":null}]},1,"a"],"chain":[1,[[0],1]]}',
        [
            ("ObjectBuilder",),
            B("start_array"),
            B("number", 0),
            B("start_map"),
            B("map_key", "k"),
            B("start_array"),
            B("number", 1),
            B("start_map"),
            B("map_key", "z"),
            B("null"),
            B("end_map"),
            B("end_array"),
            B("end_map"),
            B("number", 1),
            B("string", "a"),
            ("value",),
            B("end_array"),
            B("start_array"),
            B("number", 0),
            B("end_array"),
            ("value",),
            ("add_to_bag", "a", Iter(({"k": [1, {"z": None}]},)), 1),
        ],
    ),
}


@pytest.mark.parametrize("route", ["ijson's own class", "recording subclass"])
@pytest.mark.parametrize("case", BUILDER_READS)
def test_both_builder_routes_give_the_same_calls(monkeypatch, log, parser, route, case):
    doc, expected = BUILDER_READS[case]
    if route == "recording subclass":
        monkeypatch.setattr(tesmo_cjson, "ObjectBuilder", recording_builder(log))
    else:
        expected = [entry for entry in expected if entry[0] not in ("ObjectBuilder", "event", "value")]
    tesmo_cjson.load_json_big(RecChain(log), io.BytesIO(doc.encode()), True)
    assert log == expected
