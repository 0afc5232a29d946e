"""How far does the peak resident size rise during one call of each function?

    python bench/peak_memory.py            # workloads (a) to (c), a million choices
    python bench/peak_memory.py --quick    # 30,000 choices

Peak memory is the growth of the peak resident size (VmHWM) over the settled
resident size, measured per call in a fresh subprocess for each workload and
mode (see procmem.py); it covers everything the process allocates, native
buffers included. Files are real files in a temporary directory, ujson is
the encoder; the native module runs with the cheap doubles and with the real
chain, the reference with the cheap doubles.
"""

from __future__ import annotations

import argparse
import json as std_json
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from typing import Any

import doubles
import procmem
import ujson
import workloads
from common import FUNCTIONS, IMPLEMENTATIONS, MODES, WRITERS, run_phase, switched, table

import tesmo_cjson
from tesmo.bag import ProbabilityBag
from tesmo.chain import Chain


def memory_probe(workload_key: str, mode: str, choices: int) -> dict[str, float]:
    """Peak growth of each call, in MiB, for one workload and mode (ujson)."""
    workload = workloads.workload_by_key(workload_key, choices)
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


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="30,000 choices")
    parser.add_argument("--choices", type=int, help="choices of the synthetic chains (default 1,000,000; quick 30,000)")
    parser.add_argument("--memory-probe", nargs=2, metavar=("WORKLOAD", "MODE"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    settings = workloads.Settings.from_args(args.quick, args.choices)
    if args.memory_probe:
        print(std_json.dumps(memory_probe(*args.memory_probe, settings.choices)))
        return 0
    keys = [key for key, _ in workloads.keyed_workloads(settings.choices)]
    print("\n### Peak memory: growth of peak RSS during one call, MiB (ujson; fresh process per row group)\n")
    print(
        "Files are real files in a temporary directory. 'real' readers build the loaded Chain, "
        "which is part of their growth.\n"
    )
    columns = ["native doubles", "native real", "reference doubles"]
    rows = []
    for key in keys:
        for mode in MODES:
            probe = run_phase(__file__, ["--memory-probe", key, mode, "--choices", str(settings.choices)])
            for function in FUNCTIONS:
                rows.append(
                    [key, mode, function]
                    + [f"{probe[f'{function} {column.split()[0]} {column.split()[1]}']:.1f}" for column in columns]
                )
    print(table(["wl", "mode", "function"] + columns, rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
