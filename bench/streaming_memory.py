"""Does the streaming pair work in bounded memory?

    python bench/streaming_memory.py                  # a document of at least 500 MB
    python bench/streaming_memory.py --mb 20          # a quick check
    python bench/streaming_memory.py --fresh          # the writer, both modes, 100 MB each

The writer phase saves, with ``dump_json_big``, a chain that holds nothing:
its ``items`` generates the entries on the fly, each bag generates its
choices, and ``build_frequency_dict`` returns a table of a few thousand
values. The reader phase loads the document with ``load_json_big`` (file
opened 'rb') into a chain whose ``add_to_bag`` drains the items and counts.
Each phase runs in a fresh subprocess, which reports its peak resident size
(VmHWM) against its resident size right before the call, after the imports
and the set-up; the document is written to a temporary directory and deleted
afterwards.

Both phases take the native paths: the writer gathers its pieces for the
file (an exact io.TextIOWrapper), the reader drives yajl itself while the
parser global is the genuine yajl2_cffi backend. ``--general`` takes the
paths they stand in for: a TextIOWrapper subclass, written one piece at a
time, and the backend itself, reached through a wrapper bound as the global.

By default the chain hands out the same few thousand value objects over and
over. With ``--fresh`` it makes every start, next-start tuple and value anew
as it hands them out, as a chain that generates its entries or reads them
from a database does; the writer must not hold on to what it has written.
That case writes a compressed and a plain document (100 MB each by default),
reads each back to check it, and sets each writer's growth against the
target.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
import tempfile
import time
from collections.abc import Sequence
from types import SimpleNamespace
from typing import Any

import procmem
from common import PerPiece, record_target, run_phase, table
from doubles import CHOICES_PER_ENTRY, GENERATED_VOCABULARY, CountingChain, GeneratedChain, generated_entries_for

import tesmo_cjson

GROWTH_GOAL_MB = 20


def write_phase(path: str, entries: int, compressed: bool, general: bool, fresh: bool) -> dict[str, Any]:
    """Write the document; runs in its own process."""
    chain = GeneratedChain(entries, fresh, procmem.RssSampler(entries))
    with open(path, "wb") as raw, (PerPiece if general else io.TextIOWrapper)(raw, encoding="ascii") as file:
        procmem.settle()
        base = procmem.status_kib("VmRSS")
        procmem.reset_peak()
        started = time.perf_counter()
        tesmo_cjson.dump_json_big(chain, file, compressed)
    seconds = time.perf_counter() - started
    return {
        "base_kib": base,
        "peak_kib": procmem.status_kib("VmHWM"),
        "seconds": seconds,
        "choices": chain.totals[0],
        "count_sum": chain.totals[1],
        "samples": chain.sampler.samples,
    }


def read_phase(path: str, expected_choices: int, general: bool) -> dict[str, Any]:
    """Read the document back; runs in its own process."""
    if general:
        tesmo_cjson.ijson = SimpleNamespace(basic_parse=tesmo_cjson.ijson.basic_parse)
    chain = CountingChain(procmem.RssSampler(expected_choices))
    with open(path, "rb") as file:
        procmem.settle()
        base = procmem.status_kib("VmRSS")
        procmem.reset_peak()
        started = time.perf_counter()
        tesmo_cjson.load_json_big(chain, file)
    seconds = time.perf_counter() - started
    return {
        "base_kib": base,
        "peak_kib": procmem.status_kib("VmHWM"),
        "seconds": seconds,
        "choices": chain.choices,
        "count_sum": chain.count_sum,
        "samples": chain.sampler.samples,
    }


def _report(name: str, result: dict[str, Any], size: int) -> None:
    base, peak = result["base_kib"] / 1024, result["peak_kib"] / 1024
    print(
        f"{name}: {result['choices']:,} choices in {result['seconds']:.1f} s "
        f"({size / result['seconds'] / 1e6:.1f} MB/s); resident before the call {base:.1f} MiB, "
        f"peak {peak:.1f} MiB, growth {peak - base:.1f} MiB"
    )
    print("  resident MiB along the way: " + ", ".join(f"{done:,}: {rss:.1f}" for done, rss in result["samples"]))


def _growth_mb(result: dict[str, Any]) -> float:
    return (result["peak_kib"] - result["base_kib"]) * 1024 / 1e6


def write_and_read(tmp: str, entries: int, compressed: bool, general: bool, fresh: bool) -> tuple[Any, Any, int]:
    """Both phases on one document, each in its own process; what they report and the document's size."""
    path = os.path.join(tmp, "chain.json")
    flags = (["--plain"] if not compressed else []) + (["--general"] if general else [])
    written = run_phase(
        __file__,
        ["--phase", "write", "--path", path, "--entries", str(entries), *flags] + (["--fresh"] if fresh else []),
    )
    size = os.path.getsize(path)
    read = run_phase(__file__, ["--phase", "read", "--path", path, "--entries", str(entries), *flags])
    os.remove(path)
    return written, read, size


def _mismatch(written: dict[str, Any], read: dict[str, Any]) -> str | None:
    if (read["choices"], read["count_sum"]) == (written["choices"], written["count_sum"]):
        return None
    return (
        f"MISMATCH: wrote {written['choices']:,} choices (count sum {written['count_sum']:,}), "
        f"read {read['choices']:,} (count sum {read['count_sum']:,})"
    )


def check_fresh_writes_the_same() -> None:
    """A chain that makes its values anew writes what the one handing out the same objects writes."""
    for compressed in (True, False):
        texts = []
        for fresh in (False, True):
            file = io.StringIO()
            tesmo_cjson.dump_json_big(GeneratedChain(2000, fresh), file, compressed)
            texts.append(file.getvalue())
        if texts[0] != texts[1]:
            raise AssertionError(f"{'compressed' if compressed else 'plain'}: fresh values write another document")


def fresh_case(megabytes: float, tmp: str) -> int:
    """The writer with fresh values, in both modes, against the growth goal."""
    check_fresh_writes_the_same()
    print(
        f"tesmo_cjson.dump_json_big of a chain making every start, next start and value anew, compressed and "
        f"plain documents of at least {megabytes:g} MB, to a real file (native paths); the same documents as "
        f"a chain handing out the same objects (checked on 2,000 entries)"
    )
    rows, status = [], 0
    for compressed in (True, False):
        mode = "compressed" if compressed else "plain"
        entries = generated_entries_for(megabytes, compressed)
        written, read, size = write_and_read(tmp, entries, compressed, False, True)
        print(f"{mode}: document {size:,} bytes ({size / 1e6:.1f} MB), {entries:,} entries")
        _report("  dump_json_big", written, size)
        problem = _mismatch(written, read)
        if problem:
            print("  " + problem)
            status = 1
        growth = _growth_mb(written)
        met = growth < GROWTH_GOAL_MB
        goal = f"dump_json_big, fresh values, {mode}: peak RSS growth < {GROWTH_GOAL_MB} MB"
        rows.append(
            [
                mode,
                f"{size / 1e6:.1f}",
                f"{written['choices']:,}",
                f"{written['seconds']:.1f}",
                f"{growth:,.1f}",
                f"< {GROWTH_GOAL_MB}",
                "read back as written" if not problem else "MISMATCH",
                record_target("streaming_memory.py --fresh", goal, f"{growth:,.1f} MB", met),
            ]
        )
    print()
    print(table(["mode", "document MB", "choices", "write s", "growth MB", "goal MB", "check", ""], rows))
    return status


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, help="document size to reach, in MB (default 500; --fresh 100; --quick 20)")
    parser.add_argument("--quick", action="store_true", help="documents of 20 MB")
    parser.add_argument("--plain", action="store_true", help="write a plain document instead of a compressed one")
    parser.add_argument("--fresh", action="store_true", help="the writer of a chain making its values anew, both modes")
    parser.add_argument("--dir", default=None, help="where to put the document (default: the system temp dir)")
    parser.add_argument(
        "--general",
        action="store_true",
        help="one write per piece, and the parser backend itself instead of native yajl",
    )
    parser.add_argument("--phase", choices=("write", "read"), help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    parser.add_argument("--entries", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    compressed = not args.plain
    if args.phase == "write":
        print(json.dumps(write_phase(args.path, args.entries, compressed, args.general, args.fresh)))
        return 0
    if args.phase == "read":
        print(json.dumps(read_phase(args.path, args.entries * CHOICES_PER_ENTRY, args.general)))
        return 0

    megabytes = args.mb or (20 if args.quick else 100 if args.fresh else 500)
    with tempfile.TemporaryDirectory(prefix="tesmo-stream-", dir=args.dir) as tmp:
        if args.fresh:
            return fresh_case(megabytes, tmp)
        entries = generated_entries_for(megabytes, compressed)
        print(
            f"tesmo_cjson streaming pair, {'plain' if args.plain else 'compressed'} document of at least "
            f"{megabytes:g} MB: {entries:,} entries of {CHOICES_PER_ENTRY} choices, {GENERATED_VOCABULARY:,} values; "
            f"encoder {tesmo_cjson.json.__name__}, parser {tesmo_cjson.ijson.__name__}, "
            f"{'general paths (one write per piece, the backend parsing)' if args.general else 'native paths'}"
        )
        written, read, size = write_and_read(tmp, entries, compressed, args.general, False)
    print(f"document: {size:,} bytes ({size / 1e6:.1f} MB)")
    _report("dump_json_big", written, size)
    _report("load_json_big", read, size)
    problem = _mismatch(written, read)
    if problem:
        print(problem)
        return 1
    print(f"read back all {read['choices']:,} choices, count sum {read['count_sum']:,} as written")
    growth = max(_growth_mb(written), _growth_mb(read))
    paths = "general paths" if args.general else "native paths"
    goal = f"streaming pair, {paths}, {'plain' if args.plain else 'compressed'}: peak RSS growth < {GROWTH_GOAL_MB} MB"
    met = record_target("streaming_memory.py", goal, f"{growth:.1f} MB at {size / 1e6:.0f} MB", growth < GROWTH_GOAL_MB)
    print(f"goal: growth under {GROWTH_GOAL_MB} MB in both phases: {met}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
