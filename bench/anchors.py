"""Where do the module's readers, writers, pickle, training and generation stand against the fastest libraries?

    python bench/anchors.py               # a 100 MB corpus
    python bench/anchors.py --mb 20       # a 20 MB corpus
    python bench/anchors.py --quick       # a 3 MB corpus, fewer repeats

The corpus is the shipped one (python/tesmo/data/corpus.txt) repeated until
it reaches --mb MB: each copy after the first shuffles the paragraphs and
renames one word in twenty of the vocabulary with a suffix of its own, so
the model keeps growing with the text as it does on real text. An order-2
native tesmo.Chain is trained on it with tesmo.train.train_text.

- Readers and writers: load_json_small and load_json_big into a native
  Chain from the bytes in memory, and dump_json_small of the chain to a file
  whose write keeps the pieces, compressed and plain, against orjson.loads
  and msgspec.json.decode of the same bytes and orjson.dumps and
  msgspec.json.encode of the parsed document, both with the collector off.
  pickle.dumps and pickle.loads of the chain (highest protocol) against
  dump_json_small and load_json_small (compressed). Before timing, every
  reader must load a chain equal to the trained one, orjson and msgspec must
  parse the documents alike and write the parsed document back byte for
  byte as dump_json_small wrote it, and the pickle must give the chain back.
- Training: ns per token of train_text on the whole corpus, and against
  markovify.Text(text, state_size=2, retain_original=False) on the same
  text (the first --markovify-mb MB of the corpus, both from a str in
  memory); tokens are those of tesmo.train.tokenize. Generation: sentences
  per second of tesmo.train.generate_sentence(chain, rng) against
  markovify's make_sentence() on the models of that text.
- Generation from a saved model: load the whole corpus' model from its file
  with load_json_big and generate 100 sentences, into the native Chain and
  into tesmo.reference.Chain; both must give the same sentences.

Times are wall times of the call alone: what a reader builds (the loaded
chain, orjson's and msgspec's objects, the unpickled chain) is freed after
the clock stops. The readers' and writers' rows are medians over the
repeats, each ratio the median of the ratios taken pair by pair in one
repeat; training and generation are the best of the repeats. A chart of the
ratios goes to anchors.png beside this file when matplotlib is installed.
"""

from __future__ import annotations

import argparse
import io
import os
import pickle
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from typing import Any

import common
import markovify
import msgspec
import orjson
from common import collector_off, frozen_heap, ms, pair_ratio, record_target, table, time_call, varied_corpus
from doubles import ListFile

import tesmo_cjson
from tesmo import reference, train
from tesmo.chain import Chain

ORDER = 2
SENTENCES = 100
TRAIN_NS_GOAL = 80.0
GOALS = {"load_json_small": 1.5, "load_json_big": 1.0, "dump_json_small": 1.0, "pickle": 3.0, "generate": 10.0}


def count_tokens(sources: Any) -> int:
    return sum(1 for _ in train.tokenize(sources))


def count_file_tokens(path: str) -> int:
    with open(path, "rb") as file:
        return count_tokens([train.read_text(file)])


def sentences(chain: Any, count: int, seed: int = 1) -> list[Any]:
    rng = random.Random(seed)
    return [train.generate_sentence(chain, rng) for _ in range(count)]


# ------------------------------------------------- readers, writers, pickle


def read_into(chain: Chain, reader: str, data: bytes) -> Chain:
    """``chain`` filled by ``reader`` from ``data``, handed back so that it is freed after the clock stops."""
    getattr(tesmo_cjson, reader)(chain, io.BytesIO(data))
    return chain


def document_calls(chain: Chain) -> tuple[dict[str, dict[str, Callable[[], Any]]], dict[str, int]]:
    """For each row, the calls side by side (tesmo first); each row's document size. Checked before they are timed."""
    rows: dict[str, dict[str, Callable[[], Any]]] = {}
    sizes: dict[str, int] = {}
    docs: dict[tuple[str, bool], bytes] = {}
    for writer in ("dump_json_small", "dump_json_big"):
        for compressed in (True, False):
            file = io.StringIO()
            getattr(tesmo_cjson, writer)(chain, file, compressed)
            docs[writer, compressed] = file.getvalue().encode()
    for compressed in (True, False):
        mode = "compressed" if compressed else "plain"
        for reader, writer in (("load_json_small", "dump_json_small"), ("load_json_big", "dump_json_big")):
            data = docs[writer, compressed]
            loaded = Chain()
            getattr(tesmo_cjson, reader)(loaded, io.BytesIO(data))
            if loaded != chain:
                raise AssertionError(f"{reader}, {mode}: the loaded chain differs from the trained one")
            if orjson.loads(data) != msgspec.json.decode(data):
                raise AssertionError(f"{writer}, {mode}: orjson and msgspec parse the document differently")
            rows[f"{reader}, {mode}"] = {
                "tesmo": lambda reader=reader, data=data: read_into(Chain(), reader, data),
                "orjson": lambda data=data: orjson.loads(data),
                "msgspec": lambda data=data: msgspec.json.decode(data),
            }
            sizes[f"{reader}, {mode}"] = len(data)
        structure = orjson.loads(docs["dump_json_small", compressed])
        # The writers are set against libraries writing the very same bytes.
        written = docs["dump_json_small", compressed]
        if orjson.dumps(structure) != written or msgspec.json.encode(structure) != written:
            raise AssertionError(f"dump_json_small, {mode}: orjson or msgspec write another document")
        rows[f"dump_json_small, {mode}"] = {
            "tesmo": lambda compressed=compressed: tesmo_cjson.dump_json_small(chain, ListFile(), compressed),
            "orjson": lambda structure=structure: orjson.dumps(structure),
            "msgspec": lambda structure=structure: msgspec.json.encode(structure),
        }
        sizes[f"dump_json_small, {mode}"] = len(docs["dump_json_small", compressed])
    blob = pickle.dumps(chain, pickle.HIGHEST_PROTOCOL)
    if pickle.loads(blob) != chain:
        raise AssertionError("pickle does not give the chain back")
    small = docs["dump_json_small", True]
    rows["pickle.dumps"] = {
        "pickle": lambda: pickle.dumps(chain, pickle.HIGHEST_PROTOCOL),
        "json": lambda: tesmo_cjson.dump_json_small(chain, ListFile()),
    }
    rows["pickle.loads"] = {
        "pickle": lambda: pickle.loads(blob),
        "json": lambda: read_into(Chain(), "load_json_small", small),
    }
    sizes["pickle.dumps"] = sizes["pickle.loads"] = len(blob)
    sizes["json"] = len(small)
    return rows, sizes


Ratios = dict[str, tuple[float, float]]  # name -> (ratio, goal), for the chart


def time_documents(chain: Chain, repeats: int) -> tuple[list[list[str]], list[list[str]], Ratios]:
    """The readers' and writers' table, the pickle table, and their ratios for the chart."""
    calls, sizes = document_calls(chain)
    times: dict[tuple[str, str], list[float]] = {}
    with frozen_heap():
        for repeat in range(repeats):
            for row, sides in calls.items():
                order = list(sides.items())
                if repeat % 2:
                    order.reverse()
                for side, call in order:
                    if side in ("orjson", "msgspec"):
                        with collector_off():
                            times.setdefault((row, side), []).append(time_call(call))
                    else:
                        times.setdefault((row, side), []).append(time_call(call))
    library_rows, pickle_rows, ratios = [], [], Ratios()
    for row in calls:
        size = sizes[row]
        function = row.split(",")[0]
        if function == "pickle.dumps" or function == "pickle.loads":
            ratio = pair_ratio(times[row, "json"], times[row, "pickle"])
            goal = GOALS["pickle"]
            json_name = "dump_json_small" if function == "pickle.dumps" else "load_json_small"
            target = f"{function} of a native Chain >= {goal:g}x {json_name} (compressed)"
            pickle_rows.append(
                [
                    function,
                    f"{size / 1e6:.1f}",
                    ms(statistics.median(times[row, "pickle"])),
                    f"{size / statistics.median(times[row, 'pickle']) / 1e6:.0f}",
                    ms(statistics.median(times[row, "json"])),
                    f"{ratio:.2f}x",
                    f">= {goal:g}x",
                    record_target("anchors.py", target, f"{ratio:.2f}x", ratio >= goal),
                ]
            )
            ratios[f"{function} vs {json_name}"] = (ratio, goal)
            continue
        speeds = {side: size / statistics.median(times[row, side]) / 1e6 for side in calls[row]}
        versus = {other: pair_ratio(times[row, other], times[row, "tesmo"]) for other in ("orjson", "msgspec")}
        goal = GOALS[function]
        what = "orjson.dumps of the parsed document" if function.startswith("dump") else "orjson.loads"
        target = f"{row}: tesmo >= {goal:g}x {what}"
        library_rows.append(
            [
                row,
                f"{size / 1e6:.1f}",
                f"{speeds['tesmo']:.0f}",
                f"{speeds['orjson']:.0f}",
                f"{speeds['msgspec']:.0f}",
                f"{versus['orjson']:.2f}x",
                f"{versus['msgspec']:.2f}x",
                f">= {goal:g}x",
                record_target("anchors.py", target, f"{versus['orjson']:.2f}x", versus["orjson"] >= goal),
            ]
        )
        ratios[f"{row} vs orjson"] = (versus["orjson"], goal)
    return library_rows, pickle_rows, ratios


# --------------------------------------------------- training, generation


def time_training(corpus: str, slice_text: str, repeats: int, sentence_count: int) -> tuple[list[list[str]], Chain]:
    """Training on the whole corpus, and both libraries on the slice; the whole corpus' chain."""

    def train_corpus() -> Chain:
        with open(corpus, "rb") as file:
            return train.train_text(Chain(), [train.read_text(file)], ORDER)

    tokens = count_file_tokens(corpus)
    seconds, chain = common.best_of(repeats, train_corpus, time.perf_counter)
    corpus_ns = seconds / tokens * 1e9
    size = os.path.getsize(corpus) / 1e6
    rows = [
        [
            f"train_text, {size:.0f} MB corpus ({tokens:,} tokens)",
            f"{corpus_ns:.0f} ns/token",
            "-",
            "-",
            f"<= {TRAIN_NS_GOAL:g} ns/token",
            record_target(
                "anchors.py",
                f"training at most {TRAIN_NS_GOAL:g} ns per token ({size:.0f} MB of varied text)",
                f"{corpus_ns:.0f} ns",
                corpus_ns <= TRAIN_NS_GOAL,
            ),
        ]
    ]
    slice_tokens = count_tokens([[slice_text]])
    ours, small = common.best_of(repeats, lambda: train.train_text(Chain(), [[slice_text]], ORDER), time.perf_counter)
    theirs, model = common.best_of(
        1, lambda: markovify.Text(slice_text, state_size=ORDER, retain_original=False), time.perf_counter
    )
    slice_mb = len(slice_text.encode()) / 1e6
    rows.append(
        [
            f"train_text vs markovify.Text, {slice_mb:.0f} MB ({slice_tokens:,} tokens)",
            f"{ours / slice_tokens * 1e9:.0f} ns/token",
            f"{theirs / slice_tokens * 1e9:.0f} ns/token",
            f"{theirs / ours:.1f}x",
            "-",
            "-",
        ]
    )

    def ours_walk() -> int:
        return sum(tokens is not None for tokens in sentences(small, sentence_count))

    def theirs_walk() -> int:
        random.seed(1)
        return sum(model.make_sentence() is not None for _ in range(sentence_count))

    ours_s, ours_made = common.best_of(repeats, ours_walk, time.perf_counter)
    theirs_s, theirs_made = common.best_of(repeats, theirs_walk, time.perf_counter)
    ours_rate, theirs_rate = ours_made / ours_s, theirs_made / theirs_s
    rows.append(
        [
            f"generate_sentence vs make_sentence, {sentence_count} tries ({ours_made} / {theirs_made} sentences)",
            f"{ours_rate:,.0f} sentences/s",
            f"{theirs_rate:,.0f} sentences/s",
            f"{ours_rate / theirs_rate:.1f}x",
            "-",
            "-",
        ]
    )
    return rows, chain


def time_generation(model: str, repeats: int) -> tuple[list[str], tuple[float, float]]:
    """100 sentences from the saved model, load included: native Chain against tesmo.reference."""

    def generate(cls: type) -> list[Any]:
        chain = cls()
        with open(model, "rb") as file:
            tesmo_cjson.load_json_big(chain, file)
        return sentences(chain, SENTENCES)

    native, made = common.best_of(repeats, lambda: generate(Chain), time.perf_counter)
    ref, ref_made = common.best_of(1, lambda: generate(reference.Chain), time.perf_counter)
    if made != ref_made:
        raise AssertionError("the native and the reference chain generate different sentences")
    goal = GOALS["generate"]
    size = os.path.getsize(model) / 1e6
    target = f"generate {SENTENCES} sentences from a {size:.0f} MB model, load included, >= {goal:g}x tesmo.reference"
    return [
        f"generate {SENTENCES}, {size:.0f} MB model, load included",
        f"{native:.2f} s",
        f"{ref:.2f} s (tesmo.reference)",
        f"{ref / native:.1f}x",
        f">= {goal:g}x",
        record_target("anchors.py", target, f"{ref / native:.1f}x", ref / native >= goal),
    ], (ref / native, goal)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, help="corpus size in MB (default 100; quick 3)")
    parser.add_argument("--markovify-mb", type=float, default=20, help="text for the markovify rows (default 20 MB)")
    parser.add_argument("--quick", action="store_true", help="a 3 MB corpus, 2 repeats")
    parser.add_argument("--repeats", type=int, help="repeats (default 5; quick 2)")
    parser.add_argument("--dir", default=None, help="where to put the corpus and model (default: the system temp dir)")
    parser.add_argument("--chart", default=os.path.join(common.BENCH_DIR, "anchors.png"))
    args = parser.parse_args(argv)
    megabytes = args.mb or (3 if args.quick else 100)
    repeats = args.repeats or (2 if args.quick else 5)
    sentence_count = 200 if args.quick else 1000
    print(
        f"orjson {orjson.__version__}, msgspec {msgspec.__version__}, markovify {markovify.__version__}; "
        f"order {ORDER}; {repeats} repeats; load average {common.load_average()}",
        flush=True,
    )
    with tempfile.TemporaryDirectory(prefix="tesmo-anchors-", dir=args.dir) as tmp:
        corpus, model = os.path.join(tmp, "corpus.txt"), os.path.join(tmp, "model.json")
        size = varied_corpus(corpus, megabytes)
        with open(corpus, encoding="utf-8") as file:
            slice_text = file.read(int(args.markovify_mb * 1e6))
            if file.read(1):  # cut at the end of a paragraph
                slice_text = slice_text[: slice_text.rfind("\n\n") + 2]
        training_rows, chain = time_training(corpus, slice_text, 1 if megabytes > 20 else repeats, sentence_count)
        del slice_text
        choices = sum(bag.unique_count for _, bag in chain.items())
        print(f"corpus: {size / 1e6:.1f} MB; model: {len(chain):,} starts, {choices:,} choices", flush=True)
        library_rows, pickle_rows, ratios = time_documents(chain, repeats)
        with open(model, "w", encoding="utf-8") as file:
            tesmo_cjson.dump_json_big(chain, file)
        del chain
        generation_row, ratios[f"generate {SENTENCES} vs tesmo.reference"] = time_generation(model, repeats)

    print("\n### Readers and writers against orjson and msgspec (native Chain, documents in memory)\n")
    print(
        "MB/s: document bytes per second; x orjson, x msgspec: tesmo's speed over theirs, median of pairs "
        "(orjson and msgspec with the collector off).\n"
    )
    headers = ["function", "doc MB", "tesmo MB/s", "orjson MB/s", "msgspec MB/s", "x orjson", "x msgspec", "goal", ""]
    print(table(headers, library_rows))
    print("\n### pickle of a native Chain against the module's own JSON (compressed)\n")
    print(table(["call", "pickle MB", "pickle ms", "MB/s", "json ms", "json / pickle", "goal", ""], pickle_rows))
    print("\n### Training and generation\n")
    print(table(["what", "tesmo", "other", "ratio", "goal", ""], training_rows + [generation_row]))
    common.bar_chart(
        {name: ratio for name, (ratio, _) in ratios.items()},
        {name: goal for name, (_, goal) in ratios.items()},
        args.chart,
        "tesmo against orjson, pickle and tesmo.reference",
        "ratio (higher is better; black tick: target)",
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
