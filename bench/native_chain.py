"""The native Chain and ProbabilityBag against the pure-Python reference classes, end to end.

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
import gc
import io
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from importlib import resources
from typing import Any

import tesmo_cjson
from tesmo import reference, train
from tesmo.chain import Chain

IMPLEMENTATIONS = {"reference": reference.Chain, "native": Chain}
TARGETS = {"train": 10.0, "generate": 10.0, "memory": 3.0, "function": 5.0}
WORDS = 30_000
ORDER = 2


CLOCK = time.process_time


def best_of(repeats: int, action: Callable[[], Any]) -> tuple[float, Any]:
    """The shortest time of `repeats` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        gc.collect()
        began = CLOCK()
        result = action()
        best = min(best, CLOCK() - began)
    return best, result


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


def generate_from(kind: str, model: str) -> list[str]:
    return [train.format_sentence(tokens) for tokens in walk(loaded(kind, model))]


MEMORY_CHILD = """
import json, sys
sys.path.insert(0, {bench!r})
import procmem, tesmo_cjson
from tesmo import reference
from tesmo.chain import Chain
chain = {{"reference": reference.Chain, "native": Chain}}[{kind!r}]()
procmem.settle()
procmem.reset_peak()
base = procmem.status_kib("VmRSS")
with open({model!r}, "rb") as file:
    tesmo_cjson.load_json_big(chain, file)
peak = procmem.status_kib("VmHWM") - base
procmem.settle()
print(json.dumps({{"kept": procmem.status_kib("VmRSS") - base, "peak": peak, "starts": len(chain)}}))
"""


def memory_of(kind: str, model: str) -> dict[str, int]:
    code = MEMORY_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)), kind=kind, model=model)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def chart(ratios: dict[str, float], path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("no chart: matplotlib is not installed (pip install matplotlib)")
        return
    names = list(ratios)
    values = [ratios[n] for n in names]
    fig, ax = plt.subplots(figsize=(9, 0.45 * len(names) + 1.5))
    bars = ax.barh(
        names,
        values,
        color=["tab:green" if v >= target_of(n) else "tab:orange" for n, v in zip(names, values, strict=False)],
    )
    for name, bar in zip(names, bars, strict=False):
        ax.plot([target_of(name)] * 2, [bar.get_y(), bar.get_y() + bar.get_height()], color="black", lw=1)
    ax.bar_label(bars, labels=[f"{v:.1f}x" for v in values], padding=3)
    ax.axvline(1.0, color="grey", lw=0.8, ls="--")
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("reference / native (higher is better; black tick: target)")
    ax.set_title("tesmo: native chain against the pure-Python classes")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart: {path}")


def target_of(name: str) -> float:
    for key, value in TARGETS.items():
        if name.startswith(key) or (key == "function" and name.startswith(("dump", "load"))):
            return value
    return 1.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a 5 MB corpus and 100,000 choices")
    parser.add_argument("--chart", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "native_chain.png"))
    parser.add_argument("--wall", action="store_true", help="time by the wall clock instead of CPU time")
    args = parser.parse_args()
    global CLOCK
    CLOCK = time.perf_counter if args.wall else time.process_time
    megabytes, choices, repeats = (5, 100_000, 2) if args.quick else (50, 1_000_000, 2)
    ratios: dict[str, float] = {}

    def report(name: str, ref: float, native: float, unit: str = "s") -> None:
        ratios[name] = ref / native
        print(f"{name:<34} reference {ref:>10.3f} {unit}  native {native:>9.3f} {unit}  ratio {ref / native:6.1f}x")

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
        assert [train.format_sentence(tokens) for tokens in walks["native"][1]] == gen["native"][1]
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
    chart(ratios, args.chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
