"""How much do the streaming pair's native paths gain over the paths they stand in for?

    python bench/streaming_fast.py                 # workload (b), 1,000,000 choices
    python bench/streaming_fast.py --quick         # 100,000 choices
    python bench/streaming_fast.py --baseline SO   # dump_json_big also against another build

load_json_big reads a BytesIO: natively, while the parser global is the
genuine yajl2_cffi module; through the backend itself, with the global bound
to a wrapper around it; and load_json_small reads the same document from a
StringIO. dump_json_big writes to a real file opened "w" (an exact
io.TextIOWrapper, which gets gathered writes) and to the same file through a
TextIOWrapper subclass (one write per piece); --baseline names the
tesmo_cjson extension file of another build, main's for instance, whose
dump_json_big writes the real file too. The same workload as a real
tesmo.chain.Chain is written to the real file as well: read directly
through the chain's C API, and through its methods, forced by a subclass
(which is not the exact type). Cheap doubles otherwise, ujson. Times are
medians of the process's CPU time (user and system), which other jobs on a
shared machine disturb less than wall time; ratios are medians of ratios
taken pair by pair, each pair timed back to back.
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import sys
import tempfile
from collections.abc import Callable, Sequence
from types import ModuleType, SimpleNamespace
from typing import Any

import doubles
import ujson
import workloads
from common import (
    PerPiece,
    cpu_time_call,
    frozen_heap,
    load_average,
    load_build,
    pair_ratio,
    record_target,
    skip,
    table,
)

import tesmo_cjson
from tesmo.chain import Chain


class SubChain(Chain):
    """Not the exact native type, so the writers call its methods."""


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.0f}"


def _calls(
    chain: Any, real_chains: tuple[Chain, Chain], compressed: bool, path: str, baseline: ModuleType | None
) -> dict[str, Callable[[], None]]:
    """Every timed call of one mode, by name."""
    backend = tesmo_cjson.ijson
    forced = SimpleNamespace(basic_parse=backend.basic_parse)  # not the genuine module: the backend runs
    text = io.StringIO()
    tesmo_cjson.dump_json_big(chain, text, compressed)
    data = text.getvalue().encode()

    def load(parser: Any) -> Callable[[], None]:
        def call() -> None:
            tesmo_cjson.ijson = parser
            try:
                tesmo_cjson.load_json_big(doubles.CheapReaderChain(), io.BytesIO(data))
            finally:
                tesmo_cjson.ijson = backend

        return call

    def dump(module: ModuleType, file_type: Callable[..., Any], written: Any = chain) -> Callable[[], None]:
        def call() -> None:
            with open(path, "wb") as raw:
                file = file_type(raw, encoding="utf-8")
                module.dump_json_big(written, file, compressed)
                file.flush()
                file.detach()

        return call

    calls = {
        "load native": load(backend),
        "load backend": load(forced),
        "load small": lambda: tesmo_cjson.load_json_small(doubles.CheapReaderChain(), io.StringIO(data.decode())),
        "dump gathered": dump(tesmo_cjson, io.TextIOWrapper),
        "dump per piece": dump(tesmo_cjson, PerPiece),
        "dump native": dump(tesmo_cjson, io.TextIOWrapper, real_chains[0]),
        "dump native methods": dump(tesmo_cjson, io.TextIOWrapper, real_chains[1]),
    }
    if baseline is not None:
        calls["dump baseline"] = dump(baseline, io.TextIOWrapper)
    return calls


# (function, the native call, what it is set against, its name in the table, the goal)
COMPARISONS = [
    ("load_json_big", "load native", "load backend", "yajl2_cffi backend", ">= 10x"),
    ("load_json_big", "load native", "load small", "load_json_small", "<= 1.5"),
    ("dump_json_big", "dump gathered", "dump per piece", "one write per piece", "-"),
    ("dump_json_big", "dump gathered", "dump baseline", "baseline build", ">= 3x"),
    ("dump_json_big", "dump native", "dump native methods", "Chain's methods", "-"),
]


def measure(workload: workloads.Workload, repeats: int, baseline: ModuleType | None) -> list[list[str]]:
    """One row per mode and comparison: the native time, what it stands in for, their ratio, the goal."""
    chain = workload.cheap_chain()
    real_chains = (Chain(), SubChain())
    for start, choices in workload.bags.items():
        for next_start, count in choices.items():
            for real in real_chains:
                real.add_to_bag(start, next_start, count)
    rows = []
    with tempfile.TemporaryDirectory(prefix="tesmo-fast-") as tmp:
        for compressed in (True, False):
            calls = _calls(chain, real_chains, compressed, os.path.join(tmp, "chain.json"), baseline)
            times: dict[str, list[float]] = {name: [] for name in calls}
            with frozen_heap():
                for _ in range(repeats):
                    for name, call in calls.items():
                        times[name].append(cpu_time_call(call))
            for function, native, other, against, goal in COMPARISONS:
                if other not in times:
                    continue
                # A load is set against what it replaces (slower: a speed-up) or
                # against the compact reader (a share of its time).
                mode = "compressed" if compressed else "plain"
                if other == "load small":
                    value = pair_ratio(times[native], times[other])
                    ratio = f"{value:.2f}"
                else:
                    value = pair_ratio(times[other], times[native])
                    ratio = f"{value:.1f}x"
                if goal != "-":
                    bound = float(goal.split()[1].rstrip("x"))
                    met = value >= bound if goal.startswith(">=") else value <= bound
                    record_target("streaming_fast.py", f"{function}, {mode}: against {against} {goal}", ratio, met)
                rows.append(
                    [
                        mode,
                        function,
                        _ms(statistics.median(times[native])),
                        against,
                        _ms(statistics.median(times[other])),
                        ratio,
                        goal,
                    ]
                )
    return rows


HEADERS = ["mode", "function", "native ms", "against", "ms", "ratio", "goal"]


def available() -> bool:
    """Whether the parser global is the yajl2_cffi backend (libyajl2 is installed)."""
    return tesmo_cjson.ijson.__name__ == "ijson.backends.yajl2_cffi"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="100,000 choices, 3 repeats")
    parser.add_argument("--choices", type=int, help="choices of workload (b) (default 1,000,000)")
    parser.add_argument("--repeats", type=int, help="repeats (default 5, quick 3)")
    parser.add_argument("--baseline", help="the tesmo_cjson extension file of another build")
    args = parser.parse_args(argv)
    choices = args.choices or (100_000 if args.quick else 1_000_000)
    repeats = args.repeats or (3 if args.quick else 5)
    if not available():
        return skip("the parser global is not yajl2_cffi (is libyajl2 installed?)")
    baseline = load_build(args.baseline) if args.baseline else None
    tesmo_cjson.json = ujson
    if baseline is not None:
        baseline.json = ujson
    workload = workloads.synthetic_workload(choices)
    print(
        f"workload {workload.name}: {workload.choices:,} choices; cheap doubles, ujson; {repeats} repeats; "
        f"load average before: {load_average()}"
    )
    print(table(HEADERS, measure(workload, repeats, baseline)))
    print(f"load average after: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
