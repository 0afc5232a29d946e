"""Does the native module behave as bench/reference.py, call by call?

    python bench/check_calls.py

Every function of the native module is run against bench/reference.py on
small chains, under both encoders and in both modes, with recording doubles
for the chain, its bags, the bag class and the file: the two must make the
same calls in the same order, write the same documents byte for byte, and
fail alike. The chains hold literal entries, escapes, None, booleans, a
fractional count and empty parts, beside a word chain, an int chain and the
chain of the shipped corpus. run.py runs this before anything is timed.
"""

from __future__ import annotations

import argparse
import io
import sys
from collections.abc import Callable, Sequence
from typing import Any

import doubles
import workloads
from common import ENCODERS, IMPLEMENTATIONS, MODES, WRITERS, switched


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


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the same check (it is small already)")
    parser.parse_args(argv)
    print(f"check against bench/reference.py: {check_against_reference()}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
