"""How fast does load_json_big read under each installed ijson backend?

    python bench/parser_backends.py            # workload (b), a million choices
    python bench/parser_backends.py --quick    # 30,000 choices

The backend is bound as the parser global of both implementations; the
document is workload (b)'s compressed one, read into the cheap doubles, with
ujson as the encoder. Each repeat times, back to back, the backend's
``basic_parse`` drained, ``load_json_big`` of both implementations, and the
native ``load_json_small`` on the same chain. Times are medians; a ratio is
the median of the ratios taken pair by pair.
"""

from __future__ import annotations

import argparse
import importlib
import io
import statistics
import sys
from collections.abc import Sequence

import doubles
import ujson
import workloads
from common import IMPLEMENTATIONS, ms, pair_ratio, switched, table, time_call

import tesmo_cjson


def parser_rows(keyed: Sequence[tuple[str, workloads.Workload]], repeats: int) -> list[list[str]]:
    """The streaming reader under each installed ijson backend, as the parser global.

    Workload (b), compressed, cheap doubles, ujson. Each repeat times, back to
    back, the backend's ``basic_parse`` drained, ``load_json_big`` of both
    implementations, and the native ``load_json_small`` on the same chain.
    """
    workload = dict(keyed)["b"]
    chain = workload.cheap_chain()
    big, small = io.StringIO(), io.StringIO()
    with switched(json=ujson):
        tesmo_cjson.dump_json_big(chain, big)
        tesmo_cjson.dump_json_small(chain, small)
    data, text = big.getvalue().encode(), small.getvalue()
    rows = []
    for backend in ("yajl2_c", "yajl2_cffi", "yajl2"):
        try:
            module = importlib.import_module(f"ijson.backends.{backend}")
        except ImportError:
            continue
        times: dict[str, list[float]] = {}
        with switched(json=ujson, ijson=module, ProbabilityBag=doubles.NullBag):
            for _ in range(repeats):
                times.setdefault("parse", []).append(
                    time_call(lambda: doubles.drain(module.basic_parse(io.BytesIO(data))), ())
                )
                for impl_name, impl in IMPLEMENTATIONS.items():
                    times.setdefault(impl_name, []).append(
                        time_call(impl.load_json_big, (doubles.CheapReaderChain(), io.BytesIO(data)))
                    )
                times.setdefault("small", []).append(
                    time_call(tesmo_cjson.load_json_small, (doubles.CheapReaderChain(), io.StringIO(text)))
                )
        rows.append(
            [
                f"ijson.backends.{backend}",
                ms(statistics.median(times["parse"])),
                f"{len(data) / statistics.median(times['parse']) / 1e6:.1f}",
                ms(statistics.median(times["native"])),
                ms(statistics.median(times["reference"])),
                f"{pair_ratio(times['reference'], times['native']):.2f}x",
                f"{pair_ratio(times['native'], times['small']):.2f}",
            ]
        )
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="30,000 choices, fewer repeats")
    parser.add_argument("--choices", type=int, help="choices of workload (b) (default 1,000,000; quick 30,000)")
    args = parser.parse_args(argv)
    settings = workloads.Settings.from_args(args.quick, args.choices)
    keyed = workloads.keyed_workloads(settings.choices, "b")
    print(
        "\n### load_json_big by parser backend (the parser global of both implementations; "
        "(b), compressed, cheap doubles, ujson)\n"
    )
    print(
        "parse: basic_parse alone, drained; ratio: reference / native; vs small: native load_json_big / "
        "native load_json_small, pair by pair.\n"
    )
    print(
        table(
            ["backend", "parse ms", "parse MB/s", "native ms", "ref ms", "ratio", "vs small"],
            parser_rows(keyed, settings.repeats["ujson"]),
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
