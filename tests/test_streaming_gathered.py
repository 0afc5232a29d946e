"""dump_json_big of an exact native chain into a file whose pieces are gathered.

An exact io.TextIOWrapper gets the pieces gathered into writes of up to 64 KiB,
and an exact native Chain has its table and blocks written by id; a trivial
subclass goes the general path into the same kind of file. The raw file under
the wrapper records every write and may act on the n-th (rebinding the
encoder, changing the chain): both must give the same writes, the same error
and leave the chain alike.
"""

from __future__ import annotations

import io
import json
from collections.abc import Callable
from typing import Any

import pytest
from test_compact_fast import MODULES, Delegate
from test_direct_writers import compare, mutations, outcome

from tesmo import reference
from tesmo.bag import ProbabilityBag


class Raw:
    """The raw file under a wrapper that writes through: one call per gathered write."""

    closed = False

    def __init__(self, act: Callable[[int], None]) -> None:
        self.writes: list[bytes] = []
        self.act = act

    def writable(self) -> bool:
        return True

    def readable(self) -> bool:
        return False

    def seekable(self) -> bool:
        return False

    def flush(self) -> None:
        pass

    def close(self) -> None:
        pass

    def write(self, data: bytes) -> int:
        self.writes.append(bytes(data))
        self.act(len(self.writes))
        return len(data)


class Text(str):
    """Not exact, so not a value whose text or key can be taken by id."""


def ops(mixed: bool) -> list:
    """Enough distinct values for a table and a chain of several writes each; in
    each bag, next starts that repeat one value, which json and ujson render apart."""
    values = [f"word/{i}\u00e9" * 3 if i % 7 == 0 else f"word/{i}" * 3 for i in range(3000)]
    values += [1.5, 2**63 - 1, (1, "x"), None, True, -4]
    if mixed:
        values.append(Text("p"))
    same = ["a/b", (1e16, "c/d")]
    counts = [1, 2**40, -1, 7]
    result: list = []
    for i in range(6000):
        start = values[i % 611]
        items = (
            [same[i % 611 % 2]] * (i // 611 + 1)
            if i % 2
            else [values[i // 2 * 7 % len(values)], values[i // 2 % len(values)]]
        )
        result.append(("add", start, items, 2**70 if i % 997 == 0 else counts[i % 4]))
    if mixed:
        result.append(("bag", "r", [(["a"], 5)], reference.ProbabilityBag))
    result.append(("bag", "e", [], ProbabilityBag))
    return result


def actions(chain: Any, module: Any, saved: Any) -> list[Callable[[], None]]:
    def rebind() -> None:  # at every write from then on, back and forth
        module.json = Delegate(json) if module.json is saved else saved

    def free_and_take() -> None:
        starts = list(chain)
        chain.set_bag(starts[0], ProbabilityBag())
        fresh = ProbabilityBag()
        fresh.add(["fresh", 2.5])
        chain.set_bag(starts[-3], fresh)

    return [rebind, free_and_take, *mutations(chain)]


@pytest.mark.parametrize("name", ["ujson", "json"])
@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("mixed", [False, True])
@pytest.mark.parametrize("what", range(8))
def test_writes_and_failures_match_the_general_path(name, compress, mixed, what):
    module = MODULES[name]
    saved = module.json
    try:
        for at in (0, 2, 3):

            def run(chain: Any) -> Any:
                module.json = saved
                change = actions(chain, module, saved)[what]
                raw = Raw(lambda n: change() if n == at or 0 < at < n and what == 0 else None)
                file = io.TextIOWrapper(raw, "utf-8", write_through=True)  # type: ignore[arg-type]
                error = outcome(lambda: module.dump_json_big(chain, file, compress))
                return error, raw.writes

            error, writes = compare(ops(mixed), run)[0]
            if at == 0:  # the document takes several writes, a table more than one
                assert error is None and len(writes) > 3 and not (compress and b'"chain"' in writes[1])
    finally:
        module.json = saved
