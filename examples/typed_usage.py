"""Every function of tesmo_cjson on a tesmo.Chain, in both modes, checked by mypy --strict.

Run it to see the four functions round-trip a chain through files and memory:

    python examples/typed_usage.py
"""

from __future__ import annotations

import io
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING

import tesmo_cjson
from tesmo import Chain


def sample_chain() -> Chain:
    chain = Chain()
    chain.add_to_bag("a", ("b",), count=2)
    chain.add_to_bag("b", ("a",))
    chain.add_to_bag("b", ("b", "a"))
    return chain


def round_trip_files(chain: Chain, folder: Path) -> None:
    """The streaming pair: text out, binary in."""
    for compress in (True, False):
        path = folder / f"chain-{compress}.json"
        with path.open("w", encoding="utf-8") as out:
            tesmo_cjson.dump_json_big(chain, out, frequency_compress=compress)
        loaded = Chain()
        with path.open("rb") as document:
            tesmo_cjson.load_json_big(loaded, document)
        assert loaded == chain

        # The compact reader takes the same file in either mode.
        for mode in ("r", "rb"):
            again = Chain()
            with path.open(mode) as document:
                tesmo_cjson.load_json_small(again, document)
            assert again == chain


def round_trip_memory(chain: Chain) -> str:
    """The compact pair through an in-memory file; merging doubles every count."""
    text = io.StringIO()
    tesmo_cjson.dump_json_small(chain, text, frequency_compress=False)
    merged = sample_chain()
    tesmo_cjson.load_json_small(merged, io.StringIO(text.getvalue()), merge=True)
    tesmo_cjson.load_json_big(merged, io.BytesIO(text.getvalue().encode()), merge=True)
    assert all(
        count == 3 * dict(chain[start].choices())[next_start]
        for start, bag in merged.items()
        for next_start, count in bag.choices()
    )
    return text.getvalue()


def main() -> None:
    chain = sample_chain()
    with tempfile.TemporaryDirectory() as folder:
        round_trip_files(chain, Path(folder))
    print(round_trip_memory(chain))


if TYPE_CHECKING:
    # What the checker turns away. Strict mode reports an ignore that is no
    # longer needed, so each line proves the stubs still reject that call.
    def misuses(chain: Chain) -> None:
        tesmo_cjson.load_json_big(chain, io.StringIO("{}"))  # type: ignore[arg-type]
        tesmo_cjson.dump_json_big(chain, io.BytesIO())  # type: ignore[arg-type]
        tesmo_cjson.dump_json_small(chain.items(), io.StringIO())  # type: ignore[arg-type]
        tesmo_cjson.load_json_small(chain, io.StringIO(), True, 1)  # type: ignore[call-arg]


if __name__ == "__main__":
    main()
