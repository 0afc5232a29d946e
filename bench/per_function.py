"""How fast is each of the four functions against bench/reference.py?

    python bench/per_function.py            # workloads (a) to (c), a million choices
    python bench/per_function.py --quick    # smaller chains and fewer repeats

Each workload is timed under both encoders and in both modes, with the cheap
doubles (what the serialiser itself costs) and with the real chain. Before
anything is timed, both implementations write the full-size documents of
every configuration and these must match byte for byte; the chains that the
readers load in the first repeat with the real chain must equal the
workload.

Times are medians over repeated runs; a ratio is the median of the ratios
taken pair by pair, each pair timed back to back in the same repeat. With
the cheap doubles each function's floor (its encoder, parser and file work
alone) is timed in the same repeat.
"""

from __future__ import annotations

import argparse
import io
import statistics
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import doubles
import workloads
from common import (
    ENCODERS,
    FUNCTIONS,
    IMPLEMENTATIONS,
    MODES,
    WRITERS,
    Args,
    frozen_heap,
    ms,
    pair_ratio,
    record_target,
    switched,
    table,
    time_call,
)

import tesmo_cjson
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

VARIANTS = ("doubles", "real")


@dataclass
class Config:
    """One workload under one encoder and mode, with its prepared documents."""

    workload: workloads.Workload
    encoder: str
    mode: str
    docs: dict[str, str] = field(default_factory=dict)

    @property
    def compressed(self) -> bool:
        return self.mode == "compressed"

    def doc_bytes(self, function: str) -> int:
        """Size of the document that ``function`` writes or reads."""
        return len(self.docs["dump_json_small" if function.endswith("small") else "dump_json_big"])


def _writer_args(config: Config, variant: str, chain: Any) -> Callable[[], Args]:
    make_file = doubles.ListFile if variant == "doubles" else io.StringIO
    return lambda: (chain, make_file(), config.compressed)


def _reader_args(config: Config, variant: str, function: str) -> Callable[[], Args]:
    make_chain = doubles.CheapReaderChain if variant == "doubles" else Chain
    if function == "load_json_small":
        text = config.docs["dump_json_small"]
        return lambda: (make_chain(), io.StringIO(text))
    data = config.docs["dump_json_big"].encode()
    return lambda: (make_chain(), io.BytesIO(data))


def prepare(config: Config) -> None:
    """Write both documents with both implementations and insist they match."""
    with switched(json=ENCODERS[config.encoder]):
        chain = config.workload.real_chain()
        for writer in WRITERS:
            texts = []
            for module in IMPLEMENTATIONS.values():
                file = io.StringIO()
                getattr(module, writer)(chain, file, config.compressed)
                texts.append(file.getvalue())
            if texts[0] != texts[1]:
                raise AssertionError(
                    f"{config.workload.name}, {config.encoder}, {config.mode}: {writer} documents differ: "
                    + _text_difference(*texts)
                )
            config.docs[writer] = texts[0]


def _text_difference(native: str, ref: str) -> str:
    offset = next((i for i, (a, b) in enumerate(zip(native, ref, strict=False)) if a != b), min(len(native), len(ref)))
    return f"first at offset {offset}: native {native[offset : offset + 60]!r}, reference {ref[offset : offset + 60]!r}"


def _check_loaded(config: Config, function: str, loaded: dict[str, Chain]) -> None:
    expected = config.workload.real_chain()
    for impl_name, chain in loaded.items():
        if chain != expected:
            raise AssertionError(
                f"{config.workload.name}, {config.encoder}, {config.mode}: {function} of {impl_name} "
                "loaded a different chain"
            )


Timings = dict[tuple[str, str], list[float]]  # (function, implementation) -> seconds


def _floor_calls(config: Config, chain: Any) -> dict[str, tuple[Callable[..., None], Callable[[], Args]]]:
    """Each function's encoder, parser and file work alone, without the module.

    The compact writer's floor is one ``dump`` of the parsed document; the
    streaming writer's is its pieces appended to a list (plus, in plain
    mode, one ``dumps`` per start and next start); the readers' floors are
    the decoder's ``load`` and a drained ``basic_parse`` of the module's
    parser global.
    """
    encoder = ENCODERS[config.encoder]
    document = encoder.loads(config.docs["dump_json_small"])
    pieces_file = doubles.ListFile()
    tesmo_cjson.dump_json_big(chain, pieces_file, config.compressed)
    pieces = pieces_file.parts
    values: list[Any] = []
    if not config.compressed:
        for start, bag in chain.items():
            values.append(start)
            values.extend(next_start for next_start, _ in bag.choices())
    small_text = config.docs["dump_json_small"]
    big_data = config.docs["dump_json_big"].encode()

    def write_pieces(file: doubles.ListFile) -> None:
        doubles.drain(map(file.write, pieces))
        doubles.drain(map(encoder.dumps, values))

    def parse(file: io.BytesIO) -> None:
        doubles.drain(tesmo_cjson.ijson.basic_parse(file))

    return {
        "dump_json_small": (encoder.dump, lambda: (document, doubles.ListFile())),
        "load_json_small": (encoder.load, lambda: (io.StringIO(small_text),)),
        "dump_json_big": (write_pieces, lambda: (doubles.ListFile(),)),
        "load_json_big": (parse, lambda: (io.BytesIO(big_data),)),
    }


def time_config(config: Config, variant: str, repeats: int) -> Timings:
    """Time all four functions of both implementations, pair by pair.

    With the cheap doubles the floor of each function (see ``_floor_calls``)
    is timed in the same repeat.
    """
    timings: Timings = {}
    chain = config.workload.cheap_chain() if variant == "doubles" else config.workload.real_chain()
    bag_class = doubles.NullBag if variant == "doubles" else ProbabilityBag
    floors = _floor_calls(config, chain) if variant == "doubles" else {}
    with frozen_heap(), switched(json=ENCODERS[config.encoder], ProbabilityBag=bag_class):
        for repeat in range(repeats):
            order = list(IMPLEMENTATIONS.items())
            if repeat % 2:
                order.reverse()
            for function in FUNCTIONS:
                if function in WRITERS:
                    make_args = _writer_args(config, variant, chain)
                else:
                    make_args = _reader_args(config, variant, function)
                loaded: dict[str, Chain] = {}
                for impl_name, module in order:
                    args = make_args()
                    timings.setdefault((function, impl_name), []).append(time_call(getattr(module, function), args))
                    if repeat == 0 and variant == "real" and function not in WRITERS:
                        loaded[impl_name] = args[0]
                    del args
                if loaded:
                    _check_loaded(config, function, loaded)
                if function in floors:
                    floor, make_floor_args = floors[function]
                    timings.setdefault((function, "floor"), []).append(time_call(floor, make_floor_args()))
    return timings


def timing_rows(config: Config, variant: str, timings: Timings) -> list[list[str]]:
    """One row per function: native and reference medians and their ratio."""
    rows = []
    choices = config.workload.choices
    for function in FUNCTIONS:
        native, ref = timings[(function, "native")], timings[(function, "reference")]
        median = statistics.median(native)
        floor = timings.get((function, "floor"))
        rows.append(
            [
                config.workload.name[:3],
                config.encoder,
                config.mode,
                variant,
                function,
                ms(median),
                f"{median / choices * 1e9:.0f}",
                f"{config.doc_bytes(function) / median / 1e6:.1f}",
                ms(statistics.median(ref)),
                f"{statistics.median(ref) / choices * 1e9:.0f}",
                f"{pair_ratio(ref, native):.2f}x",
                ms(statistics.median(floor)) if floor else "-",
                f"{100 * (1 - 1 / pair_ratio(native, floor)):.0f}%" if floor else "-",
            ]
        )
    return rows


def streaming_rows(config: Config, variant: str, timings: Timings) -> list[str]:
    """Streaming over compact time, native, pair by pair."""
    return [
        config.workload.name[:3],
        config.encoder,
        config.mode,
        variant,
        f"{pair_ratio(timings[('dump_json_big', 'native')], timings[('dump_json_small', 'native')]):.2f}",
        f"{pair_ratio(timings[('load_json_big', 'native')], timings[('load_json_small', 'native')]):.2f}",
        f"{pair_ratio(timings[('dump_json_big', 'reference')], timings[('dump_json_small', 'reference')]):.2f}",
        f"{pair_ratio(timings[('load_json_big', 'reference')], timings[('load_json_small', 'reference')]):.2f}",
    ]


def _target(target: str, measured: str, met: bool) -> str:
    return record_target("per_function.py", target, measured, met)


def targets(results: dict[tuple[str, str, str, str], Timings]) -> list[list[str]]:
    """The goals of the speed issue, on workload (b) with the cheap doubles and ujson."""
    rows = []
    for mode, goal in (("compressed", 8.0), ("plain", 3.0)):
        timings = results[("b", "ujson", mode, "doubles")]
        for function in FUNCTIONS:
            ratio = pair_ratio(timings[(function, "reference")], timings[(function, "native")])
            ceiling = pair_ratio(timings[(function, "reference")], timings[(function, "floor")])
            rows.append(
                [
                    f"{function}, {mode}: vs reference",
                    f">= {goal:.0f}x",
                    f"{ratio:.2f}x",
                    f"{ceiling:.1f}x",
                    record_target(
                        "per_function.py",
                        f"{function}, {mode}: vs reference >= {goal:.0f}x",
                        f"{ratio:.2f}x",
                        ratio >= goal,
                    ),
                ]
            )
        for writer, name in (("dump_json", "writers"), ("load_json", "readers")):
            ratio = pair_ratio(timings[(writer + "_big", "native")], timings[(writer + "_small", "native")])
            rows.append(
                [
                    f"{name}, {mode}: streaming / compact time",
                    "<= 1.3",
                    f"{ratio:.2f}",
                    "-",
                    record_target(
                        "per_function.py",
                        f"{name}, {mode}: streaming / compact time <= 1.3",
                        f"{ratio:.2f}",
                        ratio <= 1.3,
                    ),
                ]
            )
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small chains, few repeats (a few minutes)")
    parser.add_argument("--choices", type=int, help="choices of the synthetic chains (default 1,000,000; quick 30,000)")
    args = parser.parse_args(argv)
    settings = workloads.Settings.from_args(args.quick, args.choices)
    print(settings.describe(), flush=True)
    keyed = workloads.keyed_workloads(settings.choices)

    results: dict[tuple[str, str, str, str], Timings] = {}
    timing_table: list[list[str]] = []
    streaming_table: list[list[str]] = []
    for key, workload in keyed:
        for encoder in ENCODERS:
            for mode in MODES:
                config = Config(workload, encoder, mode)
                prepare(config)
                for variant in VARIANTS:
                    timings = time_config(config, variant, settings.repeats[encoder])
                    results[(key, encoder, mode, variant)] = timings
                    timing_table += timing_rows(config, variant, timings)
                    streaming_table.append(streaming_rows(config, variant, timings))
                print(
                    f"  timed {workload.name}, {encoder}, {mode}: full-size documents identical "
                    f"({config.doc_bytes('dump_json_small'):,} / {config.doc_bytes('dump_json_big'):,} bytes)",
                    flush=True,
                )

    print("\n### Time per function (native vs bench/reference.py)\n")
    print(
        "ms: median wall time of one call; ns/ch: per choice; MB/s: document bytes per second; "
        "ratio: reference / native, median of per-repeat pairs.\n"
    )
    print(
        "floor ms: the encoder, parser and file work of the function alone (cheap doubles only); "
        "own: the share of the native time spent beyond that floor.\n"
    )
    headers = ["wl", "encoder", "mode", "variant", "function", "native ms", "ns/ch", "MB/s", "ref ms", "ref ns/ch"]
    print(table(headers + ["ratio", "floor ms", "own"], timing_table))
    print("\n### Streaming over compact (time of *_big / time of *_small, median of pairs)\n")
    print(
        table(
            ["wl", "encoder", "mode", "variant", "native dump", "native load", "ref dump", "ref load"], streaming_table
        )
    )
    if any(key == "b" for key, _ in keyed):
        print("\n### Targets (workload (b), cheap doubles, ujson)\n")
        print(
            "ceiling: reference / floor, the ratio that a module costing nothing beyond its encoder, "
            "parser and file calls would reach.\n"
        )
        print(table(["target", "goal", "measured", "ceiling", ""], targets(results)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
