"""How much memory does load_json_small take, the native parser against the general path?

    python bench/compact_memory.py            # a document of at least 100 MB
    python bench/compact_memory.py --mb 20    # a quick check

The document is the one of bench/streaming_memory.py (a chain generated on
the fly, compressed, written by ``dump_json_big``, which gives the same bytes
as ``dump_json_small`` with ujson and integer counts). Each read runs in a
fresh subprocess that loads it with ``load_json_small`` in merge mode into a
chain that keeps only counts, and reports its peak resident size (VmHWM)
against its resident size right before the call: with ujson bound as the
module's ``json`` (the native parser) and with an object that delegates to
ujson (the general path: ujson's parsed document, then the walk). The file is
opened in text mode, whose ``read`` holds the bytes and the decoded text at
once for a moment, and in binary mode.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from collections.abc import Sequence
from typing import Any

import procmem
import ujson
from common import Delegate, record_target, run_phase
from doubles import CHOICES_PER_ENTRY, CountingChain, GeneratedChain, generated_entries_for

import tesmo_cjson

RUNS = [("native", "r"), ("native", "rb"), ("general", "r")]
GOAL = 2.5


def read_phase(path: str, expected: int, path_kind: str, file_mode: str) -> dict[str, Any]:
    """Load the document once; runs in its own process."""
    tesmo_cjson.json = ujson if path_kind == "native" else Delegate(ujson)
    chain = CountingChain(procmem.RssSampler(expected))
    with open(path, file_mode) as file:
        procmem.settle()
        base = procmem.status_kib("VmRSS")
        procmem.reset_peak()
        started = time.perf_counter()
        tesmo_cjson.load_json_small(chain, file, True)
    return {
        "base_kib": base,
        "peak_kib": procmem.status_kib("VmHWM"),
        "seconds": time.perf_counter() - started,
        "choices": chain.choices,
        "count_sum": chain.count_sum,
    }


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, help="document size to reach, in MB (default 100, quick 20)")
    parser.add_argument("--quick", action="store_true", help="a document of 20 MB")
    parser.add_argument("--dir", default=None, help="where to put the document (default: the system temp dir)")
    parser.add_argument("--phase", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.phase:
        path, expected, path_kind, file_mode, _ = args.phase
        print(json.dumps(read_phase(path, int(expected), path_kind, file_mode)))
        return 0

    megabytes = args.mb or (20 if args.quick else 100)
    entries = generated_entries_for(megabytes, True)
    print(
        f"load_json_small, compressed document of at least {megabytes:g} MB: {entries:,} entries of "
        f"{CHOICES_PER_ENTRY} choices; merge mode into a chain that keeps only counts"
    )
    with tempfile.TemporaryDirectory(prefix="tesmo-compact-", dir=args.dir) as tmp:
        path = os.path.join(tmp, "chain.json")
        chain = GeneratedChain(entries)
        with open(path, "w", encoding="ascii") as file:
            tesmo_cjson.dump_json_big(chain, file)
        size = os.path.getsize(path)
        print(f"document: {size:,} bytes ({size / 1e6:.1f} MB)")
        for path_kind, file_mode in RUNS:
            result = run_phase(__file__, ["--phase", path, str(entries * CHOICES_PER_ENTRY), path_kind, file_mode, "-"])
            growth = (result["peak_kib"] - result["base_kib"]) * 1024
            same = (result["choices"], result["count_sum"]) == tuple(chain.totals)
            print(
                f"{path_kind:8} file '{file_mode}': {result['seconds']:.1f} s, peak growth {growth / 2**20:,.0f} MiB "
                f"= {growth / size:.2f} x the document; "
                + ("all choices and counts read back" if same else "MISMATCH with what was written")
            )
            if not same:
                return 1
            if path_kind == "native":
                record_target(
                    "compact_memory.py",
                    f"load_json_small, file '{file_mode}': peak growth <= {GOAL} x the document",
                    f"{growth / size:.2f}x",
                    growth / size <= GOAL,
                )
    print(f"goal for the native parser: peak growth at most {GOAL} x the document")
    return 0


if __name__ == "__main__":
    sys.exit(main())
