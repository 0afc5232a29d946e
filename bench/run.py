"""Benchmarks of the four tesmo_cjson functions against the alternatives.

    python bench/run.py            # full run (about half an hour on 2 cores)
    python bench/run.py --quick    # smaller chains and fewer repeats

Before anything is timed, every function of the native module is checked
against bench/reference.py on small chains: the same documents byte for byte
and the same calls on the chain, its bags, the bag class and the file. The
full-size documents of every timed configuration are compared as well.

Times are medians over repeated runs; a ratio is the median of the ratios
taken pair by pair, each pair timed back to back in the same repeat. Peak
memory is the growth of the peak resident size (VmHWM) over the settled
resident size, measured per call in a fresh subprocess for each workload and
mode (see procmem.py); it covers everything the process allocates, native
buffers included.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import io
import json as std_json
import os
import pickle
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any

import doubles
import ijson
import procmem
import reference
import streaming_fast
import ujson
import workloads

from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain

try:
    import tesmo_cjson
except ImportError as exc:
    sys.exit(f"run.py: the native module is not importable ({exc}); install the package first")

FUNCTIONS = ("dump_json_small", "load_json_small", "dump_json_big", "load_json_big")
WRITERS = FUNCTIONS[0::2]
MODES = ("compressed", "plain")
ENCODERS = {"ujson": ujson, "json": std_json}
IMPLEMENTATIONS = {"native": tesmo_cjson, "reference": reference}
VARIANTS = ("doubles", "real")
Args = tuple[Any, ...]


# ---------------------------------------------------------------- settings


@dataclass
class Settings:
    """Sizes and repeats of one run."""

    choices: int
    repeats: dict[str, int]
    quick: bool

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Settings:
        """Quick runs shrink the chains and the repeats, never the measurements."""
        if args.quick:
            return cls(args.choices or 30_000, {"ujson": 3, "json": 2}, True)
        return cls(args.choices or 1_000_000, {"ujson": 3, "json": 3}, False)


class switched:
    """Sets module globals on both implementations for a ``with`` block."""

    def __init__(self, **globals_: Any) -> None:
        self.globals = globals_
        self.saved: list[tuple[Any, str, Any]] = []

    def __enter__(self) -> None:
        for module in IMPLEMENTATIONS.values():
            for name, value in self.globals.items():
                self.saved.append((module, name, getattr(module, name)))
                setattr(module, name, value)

    def __exit__(self, *exc: object) -> None:
        for module, name, value in reversed(self.saved):
            setattr(module, name, value)
        self.saved.clear()


# ------------------------------------------------- checks against reference


def _first_difference(native: list[Any], ref: list[Any]) -> str:
    for index, (left, right) in enumerate(zip(native, ref, strict=False)):
        if left != right:
            return f"entry {index}: native {left!r:.300} != reference {right!r:.300}"
    return f"lengths differ: native {len(native)}, reference {len(ref)}"


def _logged(call: Callable[[list[Any]], None]) -> list[Any]:
    """The log of one call; an exception ends the log with its type and text."""
    log: list[Any] = []
    try:
        call(log)
    except Exception as exc:  # the two sides must fail alike, too
        log.append(("raised", type(exc).__name__, str(exc)))
    return log


def _check_chain(name: str, bags: workloads.Bags, frequencies: dict[Any, Any]) -> int:
    """Compare every function of both implementations call by call."""
    compared = 0
    for encoder_name, encoder in ENCODERS.items():
        for mode in MODES:
            logs: dict[str, list[Any]] = {}
            docs: dict[str, str] = {}
            for impl_name, module in IMPLEMENTATIONS.items():
                with switched(json=encoder):
                    for writer in WRITERS:

                        def write(log: list[Any]) -> None:
                            chain = doubles.RecordingChain(log, bags, frequencies)
                            getattr(module, writer)(chain, doubles.RecordingFile(log), mode == "compressed")

                        logs[f"{writer} {impl_name}"] = _logged(write)
            for writer in WRITERS:
                native, ref = logs[f"{writer} native"], logs[f"{writer} reference"]
                where = f"{name}, {encoder_name}, {mode}: {writer}"
                if native != ref:
                    raise AssertionError(f"{where}: calls differ, {_first_difference(native, ref)}")
                docs[writer] = "".join(entry[1] for entry in native if entry[0] == "write")
                compared += 1
            for reader, writer in (("load_json_small", "dump_json_small"), ("load_json_big", "dump_json_big")):
                for merge in (False, True):
                    reader_logs = []
                    for module in IMPLEMENTATIONS.values():

                        def read(log: list[Any]) -> None:
                            file = (
                                io.StringIO(docs[writer])
                                if reader.endswith("small")
                                else io.BytesIO(docs[writer].encode())
                            )
                            with switched(json=encoder, ProbabilityBag=doubles.recording_bag_class(log)):
                                getattr(module, reader)(doubles.RecordingChain(log), file, merge)

                        reader_logs.append(_logged(read))
                    where = f"{name}, {encoder_name}, {mode}: {reader}(merge={merge})"
                    if reader_logs[0] != reader_logs[1]:
                        raise AssertionError(f"{where}: calls differ, {_first_difference(*reader_logs)}")
                    compared += 1
    return compared


def check_against_reference() -> str:
    """Small chains with literal entries, escapes, None, booleans, a fractional count, empty parts."""
    words = workloads.synthetic_workload(4000, seed=11)
    words.bags[None] = {(True, "x/y"): 3, (): 1, ("\u00e9t\u00e9", None, False): 2.5}
    words.bags[""] = {}
    ints = workloads.synthetic_workload(4000, ints=True, seed=12)
    corpus, _ = workloads.corpus_workload()
    chains = [("words", words.bags), ("ints", ints.bags)]
    if corpus is not None:
        chains.append(("corpus", corpus.bags))
    compared = 0
    for name, bags in chains:
        frequencies = workloads.chain_from_bags(bags).build_frequency_dict()
        compared += _check_chain(name, bags, frequencies)
    return f"{compared} call logs identical ({', '.join(name for name, _ in chains)})"


# ------------------------------------------------------------------ timing


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


def _time_call(function: Callable[..., None], args: Args) -> float:
    gc.collect()
    started = time.perf_counter()
    function(*args)
    return time.perf_counter() - started


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
    gc.collect()
    gc.freeze()
    try:
        with switched(json=ENCODERS[config.encoder], ProbabilityBag=bag_class):
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
                        timings.setdefault((function, impl_name), []).append(
                            _time_call(getattr(module, function), args)
                        )
                        if repeat == 0 and variant == "real" and function not in WRITERS:
                            loaded[impl_name] = args[0]
                        del args
                    if loaded:
                        _check_loaded(config, function, loaded)
                    if function in floors:
                        floor, make_floor_args = floors[function]
                        timings.setdefault((function, "floor"), []).append(_time_call(floor, make_floor_args()))
    finally:
        gc.unfreeze()
    return timings


def pair_ratio(slow: Sequence[float], fast: Sequence[float]) -> float:
    """The median of slow/fast over pairs timed in the same repeat."""
    return statistics.median(s / f for s, f in zip(slow, fast, strict=False))


# ------------------------------------------------------------ alternatives


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
    gc.collect()
    gc.freeze()
    try:
        with switched(json=ujson):
            for _ in range(repeats):
                for kind, table in (("save", savers), ("load", loaders)):
                    for name, call in table.items():
                        times.setdefault((kind, name), []).append(_time_call(call, ()))
    finally:
        gc.unfreeze()
    return {"times": times, "sizes": {name: len(data) for name, data in outputs.items()}}


# ------------------------------------------------------------------ memory


def memory_probe(workload_key: str, mode: str, choices: int) -> dict[str, float]:
    """Peak growth of each call, in MiB, for one workload and mode (ujson)."""
    workload = _workload_by_key(workload_key, choices)
    assert workload is not None
    compressed = mode == "compressed"
    results: dict[str, float] = {}
    real, cheap = workload.real_chain(), workload.cheap_chain()
    with tempfile.TemporaryDirectory(prefix="tesmo-bench-") as tmp, switched(json=ujson):
        paths = {writer: os.path.join(tmp, writer + ".json") for writer in WRITERS}
        for writer in WRITERS:
            with open(paths[writer], "w") as file:
                getattr(tesmo_cjson, writer)(real, file, compressed)
        out_path = os.path.join(tmp, "out.json")
        runs = [("native", "doubles"), ("native", "real"), ("reference", "doubles")]
        for impl_name, variant in runs:
            module = IMPLEMENTATIONS[impl_name]
            for function in FUNCTIONS:
                call = _memory_call(module, function, variant, compressed, real, cheap, paths, out_path)
                with switched(ProbabilityBag=doubles.NullBag if variant == "doubles" else ProbabilityBag):
                    results[f"{function} {impl_name} {variant}"] = procmem.peak_growth_kib(call) / 1024
    return results


def _memory_call(
    module: Any,
    function: str,
    variant: str,
    compressed: bool,
    real: Chain,
    cheap: Any,
    paths: dict[str, str],
    out_path: str,
) -> Callable[[], None]:
    """One call with a real file on disk, so that output is not held in memory."""

    def call() -> None:
        if function in WRITERS:
            with open(out_path, "w") as file:
                getattr(module, function)(cheap if variant == "doubles" else real, file, compressed)
            return
        target = doubles.CheapReaderChain() if variant == "doubles" else Chain()
        small = function == "load_json_small"
        with open(paths["dump_json_small" if small else "dump_json_big"], "r" if small else "rb") as file:
            getattr(module, function)(target, file)

    return call


def run_memory_probes(keys: Sequence[str], choices: int) -> dict[tuple[str, str], dict[str, float]]:
    """One fresh subprocess per workload and mode."""
    results = {}
    for key in keys:
        for mode in MODES:
            output = subprocess.run(
                [sys.executable, __file__, "--memory-probe", key, mode, "--choices", str(choices)],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
            results[(key, mode)] = std_json.loads(output.splitlines()[-1])
    return results


# ------------------------------------------------------------------ output


def table(headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    """A Markdown table with padded columns."""
    cells = [list(map(str, headers))] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = [
        "| " + " | ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=False)) + " |" for row in cells
    ]
    lines.insert(1, "|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(lines)


def _lscpu_model() -> str:
    try:
        output = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return platform.processor() or "unknown"
    for line in output.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def header(settings: Settings) -> str:
    """Date, machine and versions."""
    return "\n".join(
        [
            f"date: {datetime.now(timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
            f"machine: {_lscpu_model()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}",
            f"python: {platform.python_implementation()} {platform.python_version()}",
            f"ujson {ujson.__version__}, ijson {ijson.__version__}; the module's parser global: "
            f"{tesmo_cjson.ijson.__name__}, its encoder global: {tesmo_cjson.json.__name__}",
            f"sizes: synthetic chains of {settings.choices:,} choices; repeats: "
            + ", ".join(f"{n} with {name}" for name, n in settings.repeats.items())
            + (" (quick run)" if settings.quick else ""),
        ]
    )


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f}" if seconds < 10 else f"{seconds * 1000:.0f}"


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
                _ms(median),
                f"{median / choices * 1e9:.0f}",
                f"{config.doc_bytes(function) / median / 1e6:.1f}",
                _ms(statistics.median(ref)),
                f"{statistics.median(ref) / choices * 1e9:.0f}",
                f"{pair_ratio(ref, native):.2f}x",
                _ms(statistics.median(floor)) if floor else "-",
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
                    "met" if ratio >= goal else "MISSED",
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
                    "met" if ratio <= 1.3 else "MISSED",
                ]
            )
    return rows


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
                    _time_call(lambda: doubles.drain(module.basic_parse(io.BytesIO(data))), ())
                )
                for impl_name, impl in IMPLEMENTATIONS.items():
                    times.setdefault(impl_name, []).append(
                        _time_call(impl.load_json_big, (doubles.CheapReaderChain(), io.BytesIO(data)))
                    )
                times.setdefault("small", []).append(
                    _time_call(tesmo_cjson.load_json_small, (doubles.CheapReaderChain(), io.StringIO(text)))
                )
        rows.append(
            [
                f"ijson.backends.{backend}",
                _ms(statistics.median(times["parse"])),
                f"{len(data) / statistics.median(times['parse']) / 1e6:.1f}",
                _ms(statistics.median(times["native"])),
                _ms(statistics.median(times["reference"])),
                f"{pair_ratio(times['reference'], times['native']):.2f}x",
                f"{pair_ratio(times['native'], times['small']):.2f}",
            ]
        )
    return rows


def _workload_by_key(key: str, choices: int) -> workloads.Workload | None:
    if key == "a":
        return workloads.corpus_workload()[0]
    return workloads.synthetic_workload(choices, ints=key == "c")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small chains, few repeats (under two minutes)")
    parser.add_argument("--choices", type=int, help="choices of the synthetic chains (default 1,000,000; quick 30,000)")
    parser.add_argument("--skip-memory", action="store_true", help="leave out the peak-memory subprocesses")
    parser.add_argument("--memory-probe", nargs=2, metavar=("WORKLOAD", "MODE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    settings = Settings.from_args(args)
    if args.memory_probe:
        print(std_json.dumps(memory_probe(*args.memory_probe, settings.choices)))
        return 0

    started = time.perf_counter()
    print(header(settings), flush=True)
    print(f"check against bench/reference.py: {check_against_reference()}", flush=True)

    corpus, reason = workloads.corpus_workload()
    keyed: list[tuple[str, workloads.Workload]] = []
    if corpus is None:
        print(f"workload (a) left out: {reason}")
    else:
        keyed.append(("a", corpus))
    keyed += [
        ("b", workloads.synthetic_workload(settings.choices)),
        ("c", workloads.synthetic_workload(settings.choices, ints=True)),
    ]
    for _, workload in keyed:
        print(
            f"workload {workload.name}: {workload.choices:,} choices, {len(workload.bags):,} starts, "
            f"{len(workload.frequencies):,} distinct values",
            flush=True,
        )

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

    print("\n## Time per function (native vs bench/reference.py)\n")
    print(
        "ms: median wall time of one call; ns/ch: per choice; MB/s: document bytes per second; "
        "ratio: reference / native, median of per-repeat pairs.\n"
    )
    print(
        "floor ms: the encoder, parser and file work of the function alone (cheap doubles only); "
        "own: the share of the native time spent beyond that floor.\n"
    )
    print(
        table(
            [
                "wl",
                "encoder",
                "mode",
                "variant",
                "function",
                "native ms",
                "ns/ch",
                "MB/s",
                "ref ms",
                "ref ns/ch",
                "ratio",
                "floor ms",
                "own",
            ],
            timing_table,
        )
    )
    print("\n## Streaming over compact (time of *_big / time of *_small, median of pairs)\n")
    print(
        table(
            ["wl", "encoder", "mode", "variant", "native dump", "native load", "ref dump", "ref load"], streaming_table
        )
    )

    print(
        "\n## load_json_big by parser backend (the parser global of both implementations; "
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

    if streaming_fast.available():
        print("\n## Native streaming paths (bench/streaming_fast.py; (b), cheap doubles, ujson)\n")
        print(table(streaming_fast.HEADERS, streaming_fast.measure(dict(keyed)["b"], settings.repeats["ujson"], None)))

    print("\n## Against what a user would do instead (real Chain, ujson, compressed)\n")
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
                    _ms(statistics.median(save)),
                    f"{pair_ratio(save, alt['times'][('save', base)]):.2f}",
                    _ms(statistics.median(load)),
                    f"{pair_ratio(load, alt['times'][('load', base)]):.2f}",
                ]
            )
    print(table(["wl", "method", "file MB", "save ms", "save / native", "load ms", "load / native"], rows))

    if not args.skip_memory:
        print("\n## Peak memory: growth of peak RSS during one call, MiB (ujson; fresh process per row group)\n")
        print(
            "Files are real files in a temporary directory. 'real' readers build the loaded Chain, "
            "which is part of their growth.\n"
        )
        memory = run_memory_probes([key for key, _ in keyed], settings.choices)
        columns = ["native doubles", "native real", "reference doubles"]
        rows = []
        for (key, mode), probe in memory.items():
            for function in FUNCTIONS:
                rows.append(
                    [key, mode, function]
                    + [f"{probe[f'{function} {column.split()[0]} {column.split()[1]}']:.1f}" for column in columns]
                )
        print(table(["wl", "mode", "function"] + columns, rows))

    print("\n## Targets (workload (b), cheap doubles, ujson)\n")
    print(
        "ceiling: reference / floor, the ratio that a module costing nothing beyond its encoder, "
        "parser and file calls would reach.\n"
    )
    print(table(["target", "goal", "measured", "ceiling", ""], targets(results)))
    import compact_fast  # imports this module in turn, so only here

    print("\n## The compact pair's native paths against its general path (workload (b), cheap doubles and real)\n")
    print(compact_fast.report(dict(keyed)["b"], max(settings.repeats["ujson"], 3)))
    print(f"\ntotal run time: {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
