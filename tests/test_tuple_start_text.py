"""Tuple starts of strs written by the direct writers, character for character
as the encoder writes them: strs of every length around the word sizes the
writer copies by, with a character that needs an escape at either end or in
the middle, against the general path that calls the encoder's own dumps."""

from __future__ import annotations

import io

import pytest
from test_compact_fast import MODULES, Delegate

from tesmo.chain import Chain

LENGTHS = [*range(19), 23, 24, 25, 31, 32, 33, 63, 64, 65, 70]
# Escaped by both encoders, by one of them only ("/" by ujson, DEL by json),
# or not ASCII at all.
ODD = ['"', "\\", "/", "\x7f", "\x00", "\x1f", "\u00e9", " "]


def words() -> list[str]:
    found = []
    for length in LENGTHS:
        plain = "".join(chr(ord("a") + i % 26) for i in range(length))
        found.append(plain)
        for odd in ODD:
            for at in sorted({0, length // 2, length - 1} if length else set()):
                found.append(plain[:at] + odd + plain[at + 1 :])
    return found


def written(module, chain, compress: bool, general: bool) -> str:
    saved = module.json
    if general:
        module.json = Delegate(saved)
    try:
        out = io.StringIO()
        module.dump_json_small(chain, out, compress)
    finally:
        module.json = saved
    return out.getvalue()


@pytest.mark.parametrize("name", sorted(MODULES))
@pytest.mark.parametrize("compress", [True, False])
def test_tuple_starts_of_strs_as_the_encoder_writes_them(name, compress):
    module = MODULES[name]
    chain = Chain()
    found = words()
    for i, word in enumerate(found):
        other = found[(i * 7 + 3) % len(found)]
        chain.add_to_bag((word, other), [other], 1)
        chain.add_to_bag((other, word, "x"), [word], 2)
    direct = written(module, chain, compress, general=False)
    assert direct == written(module, chain, compress, general=True)
    # The encoder's own text of a start with an escape shows up whole.
    start = (found[2], found[17 % len(found)])
    assert module.json.dumps(list(start)) in direct
