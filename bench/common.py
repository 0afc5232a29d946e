"""What every benchmark script shares: timing, tables, the machine, the targets.

The scripts beside this file each answer one question and import only the
helper modules (this one, workloads, doubles, procmem, reference), never one
another; run.py runs them one by one in subprocesses.
"""

from __future__ import annotations

import contextlib
import gc
import importlib.util
import io
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from datetime import datetime, timezone
from importlib import resources
from types import ModuleType
from typing import Any

import ijson
import reference
import ujson

try:
    import tesmo_cjson
except ImportError as exc:
    sys.exit(f"bench: the native module is not importable ({exc}); install the package first")

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
FUNCTIONS = ("dump_json_small", "load_json_small", "dump_json_big", "load_json_big")
WRITERS = FUNCTIONS[0::2]
MODES = ("compressed", "plain")
ENCODERS = {"ujson": ujson, "json": json}
IMPLEMENTATIONS = {"native": tesmo_cjson, "reference": reference}
# A script that cannot run here (a backend is missing) exits with this status
# after saying why on stderr; run.py then leaves it out instead of failing.
SKIPPED = 77
# run.py sets this to a file where each script appends its targets as JSON lines.
TARGETS_ENV = "TESMO_BENCH_TARGETS"

Args = tuple[Any, ...]


# ------------------------------------------------------------------ timing


def time_call(function: Callable[..., Any], args: Args = ()) -> float:
    """Wall time of one call, after a collection so that earlier garbage is not billed to it.

    What the call returns is dropped after the clock stops: a reader is timed
    for building its result, not for freeing it as well.
    """
    gc.collect()
    started = time.perf_counter()
    result = function(*args)
    elapsed = time.perf_counter() - started
    del result
    return elapsed


def cpu_time_call(call: Callable[[], Any]) -> float:
    """CPU time of this process (user and system) for one call.

    Other jobs on a shared machine disturb it less than wall time.
    """
    gc.collect()
    started = time.process_time()
    call()
    return time.process_time() - started


def best_of(
    repeats: int, action: Callable[[], Any], clock: Callable[[], float] = time.process_time
) -> tuple[float, Any]:
    """The shortest time of ``repeats`` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        gc.collect()
        began = clock()
        result = action()
        best = min(best, clock() - began)
    return best, result


def pair_ratio(slow: Sequence[float], fast: Sequence[float]) -> float:
    """The median of slow/fast over pairs timed in the same repeat."""
    return statistics.median(s / f for s, f in zip(slow, fast, strict=True))


@contextlib.contextmanager
def frozen_heap() -> Iterator[None]:
    """Collections during the block walk only what the timed calls allocate, not the workload."""
    gc.collect()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


@contextlib.contextmanager
def collector_off() -> Iterator[None]:
    """The cyclic collector disabled for the block, as JSON libraries are usually measured."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def ms(seconds: float) -> str:
    """Milliseconds, with a decimal below ten seconds."""
    return f"{seconds * 1000:.1f}" if seconds < 10 else f"{seconds * 1000:.0f}"


# --------------------------------------------------- the module's globals


class switched:
    """Sets module globals on the native module and the reference for a ``with`` block."""

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


class Delegate:
    """Not the genuine module, so the module takes its general path; the work is ujson's."""

    def __init__(self, real: Any) -> None:
        self.real = real

    def dumps(self, obj: Any) -> str:
        return self.real.dumps(obj)

    def dump(self, obj: Any, fp: Any) -> None:
        self.real.dump(obj, fp)

    def load(self, fp: Any) -> Any:
        return self.real.load(fp)


class PerPiece(io.TextIOWrapper):
    """A real file that is no exact TextIOWrapper, so the streaming writer makes one write per piece."""


def load_build(path: str, name: str = "tesmo_cjson") -> ModuleType:
    """Another build of an extension module, loaded from its file beside the installed one.

    An editable install's import hook outranks PYTHONPATH, so the file is
    loaded directly.
    """
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"{path} is no extension module")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# -------------------------------------------------------------- processes


def run_phase(script: str, args: Sequence[str]) -> Any:
    """Run ``script`` with ``args`` in a fresh interpreter; the JSON of its last output line."""
    output = subprocess.run([sys.executable, script, *args], check=True, capture_output=True, text=True)
    return json.loads(output.stdout.splitlines()[-1])


def skip(reason: str) -> int:
    """Say why the script cannot run here; its exit status."""
    print(f"left out: {reason}", file=sys.stderr)
    return SKIPPED


# ------------------------------------------------------------------ output


def table(headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    """A Markdown table with padded columns."""
    cells = [list(map(str, headers))] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = [
        "| " + " | ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)) + " |" for row in cells
    ]
    lines.insert(1, "|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(lines)


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


def record_target(script: str, target: str, measured: str, met: bool) -> str:
    """Note one target for run.py's summary (when run.py asked for it); the verdict."""
    path = os.environ.get(TARGETS_ENV)
    if path:
        with open(path, "a", encoding="utf-8") as out:
            out.write(json.dumps({"script": script, "target": target, "measured": measured, "met": met}) + "\n")
    return verdict(met)


def lscpu_model() -> str:
    try:
        output = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return platform.processor() or "unknown"
    for line in output.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def load_average() -> str:
    return " ".join(f"{load:.2f}" for load in os.getloadavg())


def describe_machine() -> str:
    """Date, machine, load and versions, one fact a line."""
    return "\n".join(
        [
            f"date: {datetime.now(timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
            f"machine: {lscpu_model()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}; "
            f"load average {load_average()}",
            f"python: {platform.python_implementation()} {platform.python_version()}",
            f"ujson {ujson.__version__}, ijson {ijson.__version__}; the module's parser global: "
            f"{tesmo_cjson.ijson.__name__}, its encoder global: {tesmo_cjson.json.__name__}",
        ]
    )


def bar_chart(ratios: dict[str, float], goals: dict[str, float], path: str, title: str, xlabel: str) -> None:
    """Horizontal bars of ``ratios`` on a log scale, each with its goal as a black tick (needs matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("no chart: matplotlib is not installed (pip install matplotlib)")
        return
    names = list(ratios)
    values = [ratios[name] for name in names]
    fig, ax = plt.subplots(figsize=(9, 0.45 * len(names) + 1.5))
    colours = ["tab:green" if ratios[name] >= goals.get(name, 1.0) else "tab:orange" for name in names]
    bars = ax.barh(names, values, color=colours)
    for name, bar in zip(names, bars, strict=True):
        if name in goals:
            ax.plot([goals[name]] * 2, [bar.get_y(), bar.get_y() + bar.get_height()], color="black", lw=1)
    ax.bar_label(bars, labels=[f"{value:.2f}x" for value in values], padding=3)
    ax.axvline(1.0, color="grey", lw=0.8, ls="--")
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel(xlabel)
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"chart: {path}")


# ------------------------------------------------------------ varied text

RENAMED = 0.05  # share of the vocabulary each copy of the varied corpus renames


def _suffix(copy: int) -> str:
    letters = "abcdefghijklmnopqrstuvwxyz"
    suffix = ""
    while True:
        suffix += letters[copy % 26]
        copy //= 26
        if not copy:
            return suffix


def varied_corpus(path: str, megabytes: float) -> int:
    """Write the shipped corpus, varied copy by copy, until ``megabytes`` MB; its size in bytes."""
    text = (resources.files("tesmo") / "data" / "corpus.txt").read_text(encoding="utf-8")
    paragraphs = [re.split(r"(\w+)", paragraph) for paragraph in text.split("\n\n")]
    vocabulary = sorted({word for pieces in paragraphs for word in pieces[1::2]})
    size, copy = 0, 0
    with open(path, "w", encoding="utf-8") as out:
        while size < megabytes * 1e6:
            rng = random.Random(copy)
            order = list(range(len(paragraphs)))
            renamed: dict[str, str] = {}
            if copy:
                rng.shuffle(order)
                suffix = _suffix(copy)
                renamed = {word: word + suffix for word in rng.sample(vocabulary, int(RENAMED * len(vocabulary)))}
            for index in order:
                block = "".join([renamed.get(piece, piece) for piece in paragraphs[index]]) + "\n\n"
                out.write(block)
                size += len(block.encode())
            copy += 1
    return size
