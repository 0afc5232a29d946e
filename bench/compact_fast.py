"""How much do the compact pair's native paths gain over its general path?

    python bench/compact_fast.py                    # workload (b), 1,000,000 choices
    python bench/compact_fast.py --quick            # 100,000 choices, 3 repeats

With ujson bound as the module's ``json``, ``dump_json_small`` renders the
document itself and ``load_json_small`` parses the text itself. Binding an
object that delegates to ujson instead forces the general path (ujson's own
``dump`` of the converted document, ujson's own ``load`` and a walk of the
parsed document). Each repeat times the two back to back, in alternating
order; a ratio is the median of general / native over the repeats. Before
timing, both paths must write the same document and load equal chains.
"""

from __future__ import annotations

import argparse
import io
import statistics
import sys
from collections.abc import Callable, Sequence
from typing import Any

import doubles
import ujson
import workloads
from common import Delegate, frozen_heap, ms, pair_ratio, record_target, switched, table, time_call

import tesmo_cjson
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

MODES = ("compressed", "plain")
VARIANTS = ("doubles", "real")
TARGETS = {"dump_json_small": 2.5, "load_json_small": 4.0}


PATHS = {"native": ujson, "general": Delegate(ujson)}


def _calls(variant: str, chain: Any, compressed: bool, text: str) -> dict[str, Callable[[], tuple[Any, ...]]]:
    """Fresh arguments for each function."""
    make_file = doubles.ListFile if variant == "doubles" else io.StringIO
    make_chain = doubles.CheapReaderChain if variant == "doubles" else Chain
    return {
        "dump_json_small": lambda: (chain, make_file(), compressed),
        "load_json_small": lambda: (make_chain(), io.StringIO(text)),
    }


def _check(workload: workloads.Workload, compressed: bool) -> str:
    """Both paths write the same document and load the same chain."""
    texts, loaded = {}, {}
    for name, encoder in PATHS.items():
        with switched(json=encoder):
            file = io.StringIO()
            tesmo_cjson.dump_json_small(workload.real_chain(), file, compressed)
            texts[name] = file.getvalue()
            loaded[name] = Chain()
            tesmo_cjson.load_json_small(loaded[name], io.StringIO(texts[name]))
    if texts["native"] != texts["general"]:
        raise AssertionError(f"{workload.name}: the native and the general path write different documents")
    if not loaded["native"] == loaded["general"] == workload.real_chain():
        raise AssertionError(f"{workload.name}: the native and the general path load different chains")
    return texts["native"]


def time_paths(workload: workloads.Workload, repeats: int) -> list[list[str]]:
    """One row per mode, variant and function: native and general medians and their ratio."""
    rows = []
    for mode in MODES:
        compressed = mode == "compressed"
        text = _check(workload, compressed)
        for variant in VARIANTS:
            chain = workload.cheap_chain() if variant == "doubles" else workload.real_chain()
            bag_class = doubles.NullBag if variant == "doubles" else ProbabilityBag
            calls = _calls(variant, chain, compressed, text)
            times: dict[tuple[str, str], list[float]] = {}
            with frozen_heap():
                for repeat in range(repeats):
                    order = list(PATHS.items())
                    if repeat % 2:
                        order.reverse()
                    for function, make_args in calls.items():
                        for path, encoder in order:
                            with switched(json=encoder, ProbabilityBag=bag_class):
                                args = make_args()
                                times.setdefault((function, path), []).append(
                                    time_call(getattr(tesmo_cjson, function), args)
                                )
                                del args
            for function in calls:
                native, general = times[(function, "native")], times[(function, "general")]
                ratio = pair_ratio(general, native)
                goal = TARGETS[function] if variant == "doubles" else None
                rows.append(
                    [
                        mode,
                        variant,
                        function,
                        ms(statistics.median(native)),
                        ms(statistics.median(general)),
                        f"{ratio:.2f}x",
                        f">= {goal:.1f}x" if goal else "-",
                        _verdict(mode, function, ratio, goal) if goal else "-",
                    ]
                )
    return rows


def _verdict(mode: str, function: str, ratio: float, goal: float) -> str:
    target = f"{function}, {mode}: native / general path, cheap doubles >= {goal:.1f}x"
    return record_target("compact_fast.py", target, f"{ratio:.2f}x", ratio >= goal)


HEADERS = ["mode", "variant", "function", "native ms", "general ms", "general / native", "target", ""]


def report(workload: workloads.Workload, repeats: int) -> str:
    """The table, with a line saying what it measured."""
    rows = time_paths(workload, repeats)
    return (
        f"{workload.name}: {workload.choices:,} choices, ujson, median of {repeats} pairs; "
        f"documents and loaded chains of both paths identical\n\n" + table(HEADERS, rows)
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="100,000 choices, 3 repeats")
    parser.add_argument("--choices", type=int, help="choices of workload (b) (default 1,000,000)")
    parser.add_argument("--repeats", type=int, help="repeats (default 5, quick 3)")
    args = parser.parse_args(argv)
    choices = args.choices or (100_000 if args.quick else 1_000_000)
    repeats = args.repeats or (3 if args.quick else 5)
    print(report(workloads.synthetic_workload(choices), repeats))
    return 0


if __name__ == "__main__":
    sys.exit(main())
