"""Text models with many words through the readers' direct paths.

The direct paths find a word's id from the document's bytes (a small table of
words met lately, then the chain's vocabulary) instead of making a str for it.
A model of thousands of words, some long, escaped, non-ASCII or twins of one
another, must load into an exact native Chain as into a subclass (the general
path) and as the reference classes hold it, replacing or merged with a chain
that already knows part of the words.
"""

from __future__ import annotations

import io
import random
from typing import Any

import pytest

import tesmo_cjson
from tesmo import reference
from tesmo.chain import Chain


class Sub(Chain):
    """Not exact: loaded choice by choice through the chain's methods."""


def state(chain: Any) -> str:
    return repr([(start, list(bag.choices())) for start, bag in chain.items()])


def vocabulary() -> list[Any]:
    rng = random.Random(18)
    words = {"".join(rng.choices("abcdefghij", k=rng.randint(1, 40))) for _ in range(2500)}
    odd = ['a"b', "back\\slash", "sl/ash", "tab\tnew\nline", "caf\u00e9", "cafe", "\u2028", "\U0001f600", "12", ""]
    return sorted(words) + odd + ["w" * 300, "w" * 24, "w" * 25, None]


WORDS = vocabulary()


def fill(chain: Any, step: int, offset: int, count: Any) -> None:
    n = len(WORDS)
    for i in range(0, 2 * n, step):
        start = (WORDS[(i + offset) % n], WORDS[(i * 7 + 1) % n])
        chain.add_to_bag(start, (WORDS[(i * 13 + offset) % n],), count(i))


def written(writer: Any, compress: bool) -> bytes:
    chain = reference.Chain()
    fill(chain, 1, 5, lambda i: (1, 2, 1, 5, 2**40)[i % 5])
    out = io.StringIO()
    writer(chain, out, compress)
    return out.getvalue().encode()


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("writer", [tesmo_cjson.dump_json_small, tesmo_cjson.dump_json_big])
def test_many_words_load_alike_and_as_written(writer, compress, merge):
    data = written(writer, compress)
    expected = reference.Chain()
    if merge:
        fill(expected, 3, 0, lambda i: 1)
    model = reference.Chain()
    fill(model, 1, 5, lambda i: (1, 2, 1, 5, 2**40)[i % 5])
    for start, bag in model.items():
        for items, count in bag.choices():
            expected.add_to_bag(start, items, count)

    for load in (tesmo_cjson.load_json_small, tesmo_cjson.load_json_big):
        for cls in (Chain, Sub):
            chain = cls()
            fill(chain, 3, 0, lambda i: 1)
            load(chain, io.BytesIO(data), merge)
            assert state(chain) == state(expected), (load.__name__, cls.__name__)
