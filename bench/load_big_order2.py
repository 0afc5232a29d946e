"""load_json_big into a native Chain against orjson.loads, on order-2 documents of varied text.

    python bench/load_big_order2.py --mb 3 [--so BUILD.so] [--chain-so CHAIN.so] [--once compressed]

Times each document min-of-N side by side with orjson.loads (collector off).
``--once MODE`` loads that document once and nothing else, after gc.freeze(),
for callgrind (toggle on ``*::stream_load(*``); the last line printed is the
number of choices, to divide the total by.
"""

from __future__ import annotations

import argparse
import gc
import io
import os
import sys
import tempfile
import time

from callgrind_driver import load_module
from common import varied_corpus


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=3)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--so")
    parser.add_argument("--chain-so")
    parser.add_argument("--once", choices=["compressed", "plain"])
    args = parser.parse_args()
    if args.chain_so:
        load_module(args.chain_so, "tesmo._chain")
    tesmo_cjson = load_module(args.so)
    import orjson

    from tesmo import train
    from tesmo.chain import Chain

    with tempfile.TemporaryDirectory() as tmp:
        corpus = os.path.join(tmp, "corpus.txt")
        varied_corpus(corpus, args.mb)
        with open(corpus, "rb") as file:
            chain = train.train_text(Chain(), [train.read_text(file)], 2)
    choices = sum(bag.unique_count for _, bag in chain.items())
    docs = {}
    for compressed, mode in ((True, "compressed"), (False, "plain")):
        out = io.StringIO()
        tesmo_cjson.dump_json_big(chain, out, compressed)
        docs[mode] = out.getvalue().encode()
    if args.once:
        data = docs[args.once]
        del chain
        target = Chain()
        gc.collect()
        gc.freeze()
        tesmo_cjson.load_json_big(target, io.BytesIO(data))
        print(choices)
        return 0
    for mode, data in docs.items():
        loaded = Chain()
        tesmo_cjson.load_json_big(loaded, io.BytesIO(data))
        assert loaded == chain, mode
        best_t = best_o = float("inf")
        for _ in range(args.repeats):
            t0 = time.perf_counter()
            tesmo_cjson.load_json_big(Chain(), io.BytesIO(data))
            t1 = time.perf_counter()
            gc.disable()
            orjson.loads(data)
            t2 = time.perf_counter()
            gc.enable()
            best_t, best_o = min(best_t, t1 - t0), min(best_o, t2 - t1)
        mb = len(data) / 1e6
        print(
            f"{mode}: {mb:.1f} MB, {choices:,} choices; load_json_big {mb / best_t:.1f} MB/s, "
            f"orjson {mb / best_o:.1f} MB/s, {best_o / best_t:.2f}x orjson (min of {args.repeats})"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
