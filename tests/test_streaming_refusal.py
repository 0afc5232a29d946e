"""load_json_big refuses, at its end, a JSON text that is no chain document."""

from __future__ import annotations

import io
from types import SimpleNamespace

import pytest
from conftest import RecChain

import tesmo_cjson

NOT_CHAIN_DOCUMENTS = [
    (b"[1,2]", "not a JSON object"),
    (b'"x"', "not a JSON object"),
    (b"3", "not a JSON object"),
    (b'[{"chain":0},[1,[["a"],1]]]', "not a JSON object"),
    (b"{}", 'no "chain" array'),
    (b'{"codes":[]}', 'no "chain" array'),
    (b'{"codes":[0,"a"],"chain":5}', 'no "chain" array'),
    (b'{"x":{"chain":[1,[["a"],1]]}}', 'no "chain" array'),
]


@pytest.fixture(params=["as bound", "through a wrapper"])
def bound_parser(request, parser, monkeypatch):
    """The parser global as it is (the yajl2_cffi backend driven natively), or reached through a wrapper."""
    if request.param == "through a wrapper":
        monkeypatch.setattr(tesmo_cjson, "ijson", SimpleNamespace(basic_parse=parser.basic_parse))


@pytest.mark.parametrize("doc, message", NOT_CHAIN_DOCUMENTS)
@pytest.mark.parametrize("merge", [False, True])
def test_a_document_without_a_chain_array_is_refused(bound_parser, log, doc, message, merge):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tesmo_cjson.load_json_big(RecChain(log), io.BytesIO(doc), merge)
    assert log == ([] if merge else [("clear",)])


@pytest.mark.parametrize("doc", [b'{"chain":[]}', b'{"chain":[],"codes":[0,"a"]}', b'{"x":[1],"chain":[],"chain":5}'])
def test_an_empty_chain_array_is_a_chain_document(bound_parser, log, doc):
    tesmo_cjson.load_json_big(RecChain(log), io.BytesIO(doc), True)
    assert log == []
