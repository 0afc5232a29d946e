"""What does joining a shard's snapshot into the chain cost, per choice?

Trains two chains of order 2 on the halves of a varied corpus, as two shards
of ``tesmo train --jobs 2`` are, then joins the second's snapshot into the
first, which is the only call meant to be collected:

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect='pjson::chain_join*' \\
        "$PY" bench/join_callgrind.py --chain-so BUILD/_chain.*.so

The last line printed is the number of choices joined, to divide the total
by, and a digest of the joined chain (starts, choices and counts in order),
which two builds must share.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import importlib.util
import os
import sys
import tempfile
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=float, default=8, help="size of the corpus (default 8)")
    parser.add_argument("--chain-so", help="load tesmo._chain from this built .so (one with symbols)")
    args = parser.parse_args(argv)
    if args.chain_so:
        # Before anything imports the tesmo package (bench/common does), which
        # would import the installed chain module.
        spec = importlib.util.spec_from_file_location("tesmo._chain", args.chain_so)
        assert spec is not None and spec.loader is not None
        sys.modules["tesmo._chain"] = module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    from common import varied_corpus

    from tesmo import Chain, _chain
    from tesmo.train import train_text

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "corpus.txt")
        varied_corpus(path, args.megabytes)
        with open(path, encoding="utf-8") as file:
            text = file.read()
    middle = text.index("\n\n", len(text) // 2) + 2
    target, shard = Chain(), Chain()
    train_text(target, [text[:middle]], order=2)
    train_text(shard, [text[middle:]], order=2)
    snapshot = _chain.snapshot(shard)
    choices = sum(len(bag) for _, bag in shard.items())
    gc.collect()  # the target is an old chain by the time a shard joins it
    _chain.join(target, snapshot)
    digest = hashlib.sha256()
    for start, bag in target.items():
        digest.update(repr((start, list(bag.choices()))).encode())
    print(f"choices joined {choices} digest {digest.hexdigest()[:16]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
