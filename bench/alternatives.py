"""How does the compact pair compare with what a user would do instead?

    python bench/alternatives.py            # workloads (a) to (c), a million choices
    python bench/alternatives.py --quick    # 30,000 choices

The native compact writer and reader (ujson, compressed, a real Chain)
against pickle of the chain and the standard json module on a dict form of
it (start as JSON text -> [[next start, count], ...]), each saving to and
loading from memory. Both alternatives must give back an equal chain before
anything is timed. Times are medians; a ratio is the median of the ratios
taken pair by pair, each pair timed in the same repeat.
"""

from __future__ import annotations

import argparse
import io
import json as std_json
import pickle
import statistics
import sys
from collections.abc import Callable, Sequence
from typing import Any

import ujson
import workloads
from common import frozen_heap, ms, pair_ratio, switched, table, time_call

import tesmo_cjson
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain


def _dict_form(chain: Chain) -> dict[str, list[Any]]:
    """What a user might save instead: start (as JSON text) -> [[next start, count], ...]."""
    return {
        std_json.dumps(start): [[list(next_start), count] for next_start, count in bag.choices()]
        for start, bag in chain.items()
    }


def _from_dict_form(form: dict[str, list[Any]]) -> Chain:
    chain = Chain()
    for key, choices in form.items():
        bag = ProbabilityBag()
        for next_start, count in choices:
            bag.add(next_start, count=count)
        chain.set_bag(std_json.loads(key), bag)
    return chain


def time_alternatives(workload: workloads.Workload, repeats: int) -> dict[str, Any]:
    """The native compact pair against pickle and json of a dict form, real chain."""
    chain = workload.real_chain()
    outputs: dict[str, bytes] = {}

    def native_dump() -> io.StringIO:
        file = io.StringIO()
        tesmo_cjson.dump_json_small(chain, file)
        return file

    savers: dict[str, Callable[[], Any]] = {
        "tesmo_cjson compact (ujson)": native_dump,
        "pickle": lambda: pickle.dump(chain, io.BytesIO()),
        "json of dict form": lambda: std_json.dump(_dict_form(chain), io.StringIO()),
    }
    outputs["tesmo_cjson compact (ujson)"] = native_dump().getvalue().encode()
    outputs["pickle"] = pickle.dumps(chain)
    outputs["json of dict form"] = std_json.dumps(_dict_form(chain)).encode()
    loaders: dict[str, Callable[[], Any]] = {
        "tesmo_cjson compact (ujson)": lambda: tesmo_cjson.load_json_small(
            Chain(), io.StringIO(outputs["tesmo_cjson compact (ujson)"].decode())
        ),
        "pickle": lambda: pickle.load(io.BytesIO(outputs["pickle"])),
        "json of dict form": lambda: _from_dict_form(std_json.load(io.StringIO(outputs["json of dict form"].decode()))),
    }
    if (
        pickle.loads(outputs["pickle"]) != chain
        or _from_dict_form(std_json.loads(outputs["json of dict form"])) != chain
    ):
        raise AssertionError("an alternative does not round-trip the chain")
    times: dict[tuple[str, str], list[float]] = {}
    with frozen_heap(), switched(json=ujson):
        for _ in range(repeats):
            for kind, calls in (("save", savers), ("load", loaders)):
                for name, call in calls.items():
                    times.setdefault((kind, name), []).append(time_call(call))
    return {"times": times, "sizes": {name: len(data) for name, data in outputs.items()}}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="30,000 choices, fewer repeats")
    parser.add_argument("--choices", type=int, help="choices of the synthetic chains (default 1,000,000; quick 30,000)")
    args = parser.parse_args(argv)
    settings = workloads.Settings.from_args(args.quick, args.choices)
    keyed = workloads.keyed_workloads(settings.choices)
    print("\n### Against what a user would do instead (real Chain, ujson, compressed)\n")
    rows = []
    for _key, workload in keyed:
        alt = time_alternatives(workload, settings.repeats["ujson"])
        base = "tesmo_cjson compact (ujson)"
        for name, size in alt["sizes"].items():
            save, load = alt["times"][("save", name)], alt["times"][("load", name)]
            rows.append(
                [
                    workload.name[:3],
                    name,
                    f"{size / 1e6:.2f}",
                    ms(statistics.median(save)),
                    f"{pair_ratio(save, alt['times'][('save', base)]):.2f}",
                    ms(statistics.median(load)),
                    f"{pair_ratio(load, alt['times'][('load', base)]):.2f}",
                ]
            )
    print(table(["wl", "method", "file MB", "save ms", "save / native", "load ms", "load / native"], rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
