"""``tesmo demo``: train on the shipped corpus, round-trip the chain through every writer and reader."""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from collections.abc import Callable
from functools import partial
from importlib import resources

import tesmo_cjson
from tesmo.chain import Chain
from tesmo.cli.generate import Sentences, Walk
from tesmo.cli.models import choice_count
from tesmo.cli.output import emit
from tesmo.cli.progress import Options
from tesmo.train import read_text, train_text


def _timed(action: Callable[[], object]) -> float:
    began = time.perf_counter()
    action()
    return time.perf_counter() - began


def _demo_row(chain: Chain, directory: str, writer: str, compress: bool) -> list[str]:
    mode = "coded" if compress else "plain"
    path = os.path.join(directory, f"{writer}-{mode}.json")
    with open(path, "w", encoding="utf-8", newline="") as file:
        write_time = _timed(partial(getattr(tesmo_cjson, writer), chain, file, compress))
    row = [writer, mode, f"{os.path.getsize(path):,} B", f"{write_time * 1000:.1f} ms"]
    verified = True
    for reader, binary in (("load_json_small", False), ("load_json_big", True)):
        loaded = Chain()
        with open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as file:
            read_time = _timed(partial(getattr(tesmo_cjson, reader), loaded, file))
        verified = verified and loaded == chain
        row.append(f"{read_time * 1000:.1f} ms")
    row.append("yes" if verified else "no")
    return row


def cmd_demo(args: argparse.Namespace, opts: Options) -> int:
    """Train on the shipped corpus, round-trip the chain through every writer and reader."""
    corpus = resources.files("tesmo") / "data" / "corpus.txt"
    with corpus.open("rb") as file:
        chain = train_text(Chain(), [read_text(file)], args.order)
    emit(
        f"Trained an order-{args.order} chain on the shipped corpus: "
        f"{len(chain):,} starts, {choice_count(chain):,} transitions.\n"
    )
    sentences = Sentences(chain, "the corpus", Walk())
    for sentence in sentences.walk(args.sentences, args.seed):
        emit(f"  {sentence}")
    header = ["writer", "mode", "size", "write", "load_json_small", "load_json_big", "verified"]
    with tempfile.TemporaryDirectory(prefix="tesmo-demo-") as directory:
        rows = [
            _demo_row(chain, directory, writer, compress)
            for writer in ("dump_json_small", "dump_json_big")
            for compress in (True, False)
        ]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    emit("")
    for row in [header] + rows:
        emit("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=False)).rstrip())
    return 0 if all(row[-1] == "yes" for row in rows) and not sentences.failed else 1
