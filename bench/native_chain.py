"""How do the native Chain and ProbabilityBag compare with the pure-Python classes, end to end?

    python bench/native_chain.py            # a 50 MB corpus and 1,000,000 choices
    python bench/native_chain.py --quick    # a 5 MB corpus and 100,000 choices

On the same data, one run times both implementations (tesmo.reference
against tesmo.chain/tesmo.bag):

- training an order-2 chain on the shipped corpus and on a synthetic corpus
  (Zipf-distributed words in sentences, written to a temporary file and read
  through tesmo.train.read_text): tesmo.train.train on the tokenizer's
  tokens for the reference, tesmo.train.train_text for the native chain;
- the four tesmo_cjson functions (compressed documents) on a chain of
  1,000,000 choices, real files in memory (StringIO/BytesIO);
- generating 100 sentences from the synthetic corpus' model, loading the
  model with load_json_big included, and the walk alone (tesmo.train's
  generate_sentence on the model already loaded);
- the memory of the loaded chain: the rise of the resident size (VmRSS)
  that load_json_big leaves behind, and its peak (VmHWM), in a fresh
  subprocess per implementation (see procmem.py).

Times are the best of the repeats, in CPU time of this process by default
(the machine may be shared: wall time then mostly measures the neighbours;
--wall for wall time). A ratio is reference / native (for
memory: reference / native too, so higher is better everywhere). A chart of
the ratios goes to native_chain.png beside the output when matplotlib is
installed (pip install matplotlib).
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from importlib import resources
from typing import Any

import common
import procmem
from common import bar_chart, record_target

import tesmo_cjson
from tesmo import reference, train
from tesmo.chain import Chain

IMPLEMENTATIONS = {"reference": reference.Chain, "native": Chain}
TARGETS = {"train": 10.0, "generate": 10.0, "memory": 3.0, "function": 5.0}
WORDS = 30_000
ORDER = 2


CLOCK = time.process_time


def best_of(repeats: int, action: Callable[[], Any]) -> tuple[float, Any]:
    """The shortest time of `repeats` runs by the chosen clock, and the last result."""
    return common.best_of(repeats, action, CLOCK)


def synthetic_corpus(path: str, megabytes: int, seed: int = 11) -> None:
    """Sentences of Zipf-distributed words, with commas, quotes and the three stops."""
    rng = random.Random(seed)
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(1, 9))) for _ in range(WORDS)]
    cumulative, total = [], 0.0
    for rank in range(WORDS):
        total += 1.0 / (rank + 2.7) ** 1.07
        cumulative.append(total)
    target = megabytes * 1_000_000
    written = 0
    with open(path, "w", encoding="utf-8") as out:
        while written < target:
            lines = []
            for _ in range(2000):
                sentence = rng.choices(words, cum_weights=cumulative, k=rng.randint(4, 24))
                if rng.random() < 0.3:
                    sentence[rng.randrange(len(sentence))] += ","
                text = " ".join(sentence).capitalize() + rng.choice(".....!?")
                lines.append(f'"{text}"' if rng.random() < 0.05 else text)
            block = " ".join(lines) + "\n"
            out.write(block)
            written += len(block)


def train_file(kind: str, path: str) -> Chain:
    with open(path, "rb") as file:
        if kind == "native":
            return train.train_text(Chain(), [train.read_text(file)], ORDER)
        return train.train(reference.Chain(), train.tokenize([train.read_text(file)]), ORDER)


def choices_of(chain: Any) -> int:
    return sum(bag.unique_count for _, bag in chain.items())


def synthetic_chain(cls: type, choices: int, seed: int = 5) -> Any:
    """A chain of `choices` distinct choices over 4,000 words, next starts of 1 to 3 words."""
    rng = random.Random(seed)
    words = [f"w{i}" for i in range(4000)]
    chain, made = cls(), 0
    starts = rng.choices(words, k=choices * 2)
    while made < choices:
        start = starts[made % len(starts)]
        next_start = tuple(rng.choices(words, k=rng.choice((1, 2, 2, 3))))
        chain.add_to_bag(start, next_start, rng.randint(1, 20))
        made = made + 1 if chain[start].unique_count else made
    while choices_of(chain) < choices:
        chain.add_to_bag(rng.choice(words), (rng.choice(words), rng.choice(words), rng.choice(words)))
    return chain


def time_functions(choices: int, repeats: int) -> dict[str, dict[str, float]]:
    chains = {kind: synthetic_chain(cls, choices) for kind, cls in IMPLEMENTATIONS.items()}
    docs = {}
    times: dict[str, dict[str, float]] = {}
    for kind, chain in chains.items():
        row = times.setdefault(kind, {})
        for name in ("dump_json_small", "dump_json_big"):

            def dump(name: str = name) -> str:
                out = io.StringIO()
                getattr(tesmo_cjson, name)(chain, out)
                return out.getvalue()

            row[name], docs[kind, name] = best_of(repeats, dump)
        text = docs[kind, "dump_json_big"]
        row["load_json_small"], small = best_of(repeats, lambda: load(kind, "load_json_small", io.StringIO(text)))
        row["load_json_big"], big = best_of(repeats, lambda: load(kind, "load_json_big", io.BytesIO(text.encode())))
        assert choices_of(small) == choices_of(big) == choices_of(chain)
    for name in ("dump_json_small", "dump_json_big"):
        assert docs["native", name] == docs["reference", name], f"{name}: the documents differ"
    return times


def load(kind: str, function: str, file: Any) -> Any:
    chain = IMPLEMENTATIONS[kind]()
    getattr(tesmo_cjson, function)(chain, file)
    return chain


def loaded(kind: str, model: str) -> Any:
    chain = IMPLEMENTATIONS[kind]()
    with open(model, "rb") as file:
        tesmo_cjson.load_json_big(chain, file)
    return chain


def walk(chain: Any, sentences: int = 100) -> list[Any]:
    rng = random.Random(1)
    return [train.generate_sentence(chain, rng) for _ in range(sentences)]


def formatted(walked: list[Any]) -> list[str | None]:
    """The sentences as text (a walk that found no sentence stays None)."""
    return [None if tokens is None else train.format_sentence(tokens) for tokens in walked]


def generate_from(kind: str, model: str) -> list[str | None]:
    return formatted(walk(loaded(kind, model)))


def memory_child(kind: str, model: str) -> dict[str, int]:
    """Load the model into a fresh chain; runs in its own process."""
    chain = IMPLEMENTATIONS[kind]()
    procmem.settle()
    procmem.reset_peak()
    base = procmem.status_kib("VmRSS")
    with open(model, "rb") as file:
        tesmo_cjson.load_json_big(chain, file)
    peak = procmem.status_kib("VmHWM") - base
    procmem.settle()
    return {"kept": procmem.status_kib("VmRSS") - base, "peak": peak, "starts": len(chain)}


def memory_of(kind: str, model: str) -> dict[str, int]:
    return common.run_phase(__file__, ["--memory-of", kind, model])


def target_of(name: str) -> float:
    for key, value in TARGETS.items():
        if name.startswith(key) or (key == "function" and name.startswith(("dump", "load"))):
            return value
    return 1.0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a 5 MB corpus and 100,000 choices")
    parser.add_argument("--chart", default=os.path.join(common.BENCH_DIR, "native_chain.png"))
    parser.add_argument("--wall", action="store_true", help="time by the wall clock instead of CPU time")
    parser.add_argument("--memory-of", nargs=2, metavar=("KIND", "MODEL"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_of:
        print(json.dumps(memory_child(*args.memory_of)))
        return 0
    global CLOCK
    CLOCK = time.perf_counter if args.wall else time.process_time
    megabytes, choices, repeats = (5, 100_000, 2) if args.quick else (50, 1_000_000, 2)
    ratios: dict[str, float] = {}

    def report(name: str, ref: float, native: float, unit: str = "s") -> None:
        ratios[name] = ref / native
        print(f"{name:<34} reference {ref:>10.3f} {unit}  native {native:>9.3f} {unit}  ratio {ref / native:6.1f}x")
        goal = target_of(name)
        record_target(
            "native_chain.py", f"{name}: reference / native >= {goal:g}x", f"{ref / native:.1f}x", ref / native >= goal
        )

    print(
        f"python {sys.version.split()[0]}; corpus {megabytes} MB; {choices:,} choices; best of {repeats}; "
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs; "
        f"{'wall' if args.wall else 'CPU'} time"
    )
    corpus = str(resources.files("tesmo") / "data" / "corpus.txt")
    times = {kind: best_of(repeats, lambda kind=kind: train_file(kind, corpus)) for kind in IMPLEMENTATIONS}
    assert [(s, list(b.choices())) for s, b in times["native"][1].items()] == [
        (s, list(b.choices())) for s, b in times["reference"][1].items()
    ]
    report("train, shipped corpus", times["reference"][0], times["native"][0])

    with tempfile.TemporaryDirectory(prefix="tesmo-bench-") as tmp:
        path, model = os.path.join(tmp, "corpus.txt"), os.path.join(tmp, "model.json")
        synthetic_corpus(path, megabytes)
        size = os.path.getsize(path) / 1e6
        native_time, native_chain = best_of(1, lambda: train_file("native", path))
        ref_time, ref_chain = best_of(1, lambda: train_file("reference", path))
        assert native_chain == native_chain and len(native_chain) == len(ref_chain)
        assert choices_of(native_chain) == choices_of(ref_chain)
        del ref_chain
        report(f"train, synthetic {size:.0f} MB", ref_time, native_time)
        with open(model, "w", encoding="ascii") as file:
            tesmo_cjson.dump_json_big(native_chain, file)
        print(
            f"model: {len(native_chain):,} starts, {choices_of(native_chain):,} choices, "
            f"{os.path.getsize(model) / 1e6:.1f} MB"
        )
        del native_chain
        gen = {kind: best_of(1, lambda kind=kind: generate_from(kind, model)) for kind in IMPLEMENTATIONS}
        assert gen["native"][1] == gen["reference"][1], "the sentences differ"
        report("generate 100, load included", gen["reference"][0], gen["native"][0])
        walks = {}
        for kind in IMPLEMENTATIONS:
            chain = loaded(kind, model)
            walks[kind] = best_of(5, lambda chain=chain: walk(chain))
            del chain
        assert walks["native"][1] == walks["reference"][1], "the walks differ"
        assert formatted(walks["native"][1]) == gen["native"][1]
        report("generate 100, walk only", walks["reference"][0], walks["native"][0])
        memory = {kind: memory_of(kind, model) for kind in IMPLEMENTATIONS}
        for what in ("kept", "peak"):
            report(
                f"memory of the loaded model ({what})",
                memory["reference"][what] / 1024,
                memory["native"][what] / 1024,
                "MB",
            )

    functions = time_functions(choices, repeats)
    for name in ("dump_json_small", "load_json_small", "dump_json_big", "load_json_big"):
        report(f"{name}, {choices:,} choices", functions["reference"][name], functions["native"][name])
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    bar_chart(
        ratios,
        {name: target_of(name) for name in ratios},
        args.chart,
        "tesmo: native chain against the pure-Python classes",
        "reference / native (higher is better; black tick: target)",
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
