"""Shows that the streaming pair works in bounded memory.

    python bench/streaming_memory.py            # a document of at least 500 MB
    python bench/streaming_memory.py --mb 20    # a quick check

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
"""

from __future__ import annotations

import argparse
import io
import json
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Hashable, Iterator, Sequence
from types import SimpleNamespace
from typing import Any

import procmem
from doubles import drain

import tesmo_cjson

VOCABULARY = 5000
CHOICES_PER_ENTRY = 40
SAMPLES = 10


def _values() -> list[Hashable]:
    """Distinct words, most frequent first.

    One-letter words at ranks 100 to 125 and two-letter words from rank 1000
    on are short enough for the code table to keep them as literals.
    """
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    pairs = [a + b for a in letters for b in letters]
    values: list[Hashable] = []
    for rank in range(VOCABULARY):
        if 100 <= rank < 126:
            values.append(letters[rank - 100])
        elif 1000 <= rank < 1000 + len(pairs):
            values.append(pairs[rank - 1000])
        else:
            values.append(f"w{rank}")
    return values


class RssSampler:
    """Notes the resident size every ``every`` steps, ``SAMPLES`` times in all."""

    def __init__(self, total: int) -> None:
        self.every = max(1, total // SAMPLES)
        self.samples: list[tuple[int, float]] = []

    def step(self, done: int) -> None:
        """Called with the number of steps done so far."""
        if done % self.every == 0:
            self.samples.append((done, procmem.status_kib("VmRSS") / 1024))


class GeneratedBag:
    """A bag whose choices are computed as they are asked for."""

    __slots__ = ("seed", "unique_count", "values", "totals")

    def __init__(self, seed: int, values: list[Hashable], totals: list[int]) -> None:
        self.seed = seed
        self.unique_count = CHOICES_PER_ENTRY
        self.values = values
        self.totals = totals

    def choices(self) -> Iterator[tuple[tuple[Hashable, ...], int]]:
        """Next starts of 1 to 3 values, most often from the frequent end."""
        values, state = self.values, self.seed
        for _ in range(CHOICES_PER_ENTRY):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            first = (state >> 8) % VOCABULARY
            second = (state >> 4) % 97
            length = 1 + state % 3
            next_start = (values[first * first // VOCABULARY], values[second], values[first])[:length]
            count = 1 + state % 50
            self.totals[0] += 1
            self.totals[1] += count
            yield next_start, count


class GeneratedChain:
    """A chain of ``entries`` entries that exist only while they are written."""

    def __init__(self, entries: int) -> None:
        self.entries = entries
        self.values = _values()
        self.sampler = RssSampler(entries)
        # Choices and the sum of their counts, as the bags hand them out.
        self.totals = [0, 0]

    def __len__(self) -> int:
        return self.entries

    def build_frequency_dict(self) -> dict[Hashable, int]:
        """Every value, the earlier ones more frequent."""
        return {value: VOCABULARY - rank for rank, value in enumerate(self.values)}

    def items(self) -> Iterator[tuple[Hashable, GeneratedBag]]:
        """The entries, generated one by one."""
        values, sampler = self.values, self.sampler
        for index in range(self.entries):
            sampler.step(index)
            yield values[index % VOCABULARY], GeneratedBag(index, values, self.totals)


class CountingChain:
    """A reader's chain that keeps nothing but counts."""

    def __init__(self, expected: int) -> None:
        self.choices = 0
        self.count_sum = 0
        self.sampler = RssSampler(expected)

    def clear(self) -> None:
        """Nothing to clear."""

    def add_to_bag(self, start: Hashable, items: Any, count: int = 1) -> None:
        """Drain the items, so every lookup behind a lazy iterator happens."""
        drain(items)
        self.choices += 1
        self.count_sum += count
        self.sampler.step(self.choices)


def entries_for(megabytes: float, compressed: bool) -> int:
    """How many entries make a document of at least ``megabytes`` MB."""
    sample_entries = 2000
    file = io.StringIO()
    tesmo_cjson.dump_json_big(GeneratedChain(sample_entries), file, compressed)
    table_file = io.StringIO()
    tesmo_cjson.dump_json_big(GeneratedChain(0), table_file, compressed)
    per_entry = (len(file.getvalue()) - len(table_file.getvalue())) / sample_entries
    return int(megabytes * 1e6 / per_entry) + 1


class PerPiece(io.TextIOWrapper):
    """A real file that is no exact TextIOWrapper, so it gets one write per piece."""


def write_phase(path: str, entries: int, compressed: bool, general: bool) -> dict[str, Any]:
    """Write the document; runs in its own process."""
    chain = GeneratedChain(entries)
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
    chain = CountingChain(expected_choices)
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


def _phase(args: list[str]) -> dict[str, Any]:
    output = subprocess.run([sys.executable, __file__, *args], check=True, capture_output=True, text=True)
    return json.loads(output.stdout.splitlines()[-1])


def _report(name: str, result: dict[str, Any], size: int) -> None:
    base, peak = result["base_kib"] / 1024, result["peak_kib"] / 1024
    print(
        f"{name}: {result['choices']:,} choices in {result['seconds']:.1f} s "
        f"({size / result['seconds'] / 1e6:.1f} MB/s); resident before the call {base:.1f} MiB, "
        f"peak {peak:.1f} MiB, growth {peak - base:.1f} MiB"
    )
    print("  resident MiB along the way: " + ", ".join(f"{done:,}: {rss:.1f}" for done, rss in result["samples"]))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, default=500, help="document size to reach, in MB (default 500)")
    parser.add_argument("--plain", action="store_true", help="write a plain document instead of a compressed one")
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
        print(json.dumps(write_phase(args.path, args.entries, compressed, args.general)))
        return 0
    if args.phase == "read":
        print(json.dumps(read_phase(args.path, args.entries * CHOICES_PER_ENTRY, args.general)))
        return 0

    entries = entries_for(args.mb, compressed)
    mode = (["--plain"] if args.plain else []) + (["--general"] if args.general else [])
    print(
        f"tesmo_cjson streaming pair, {'plain' if args.plain else 'compressed'} document of at least "
        f"{args.mb:g} MB: {entries:,} entries of {CHOICES_PER_ENTRY} choices, {VOCABULARY:,} values; "
        f"encoder {tesmo_cjson.json.__name__}, parser {tesmo_cjson.ijson.__name__}, "
        f"{'general paths (one write per piece, the backend parsing)' if args.general else 'native paths'}"
    )
    with tempfile.TemporaryDirectory(prefix="tesmo-stream-", dir=args.dir) as tmp:
        path = os.path.join(tmp, "chain.json")
        written = _phase(["--phase", "write", "--path", path, "--entries", str(entries), *mode])
        size = os.path.getsize(path)
        print(f"document: {size:,} bytes ({size / 1e6:.1f} MB)")
        _report("dump_json_big", written, size)
        read = _phase(["--phase", "read", "--path", path, "--entries", str(entries), *mode])
        _report("load_json_big", read, size)
    if (read["choices"], read["count_sum"]) != (written["choices"], written["count_sum"]):
        print(
            f"MISMATCH: wrote {written['choices']:,} choices (count sum {written['count_sum']:,}), "
            f"read {read['choices']:,} (count sum {read['count_sum']:,})"
        )
        return 1
    print(f"read back all {read['choices']:,} choices, count sum {read['count_sum']:,} as written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
