"""The ``tesmo`` command line: demo, train, generate, inspect and convert.

Every command reports a failure as one line on stderr and exits with status 2.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time
from collections import deque
from contextlib import contextmanager
from functools import partial
from importlib import resources
from typing import IO, Any, Callable, Hashable, Iterable, Iterator, List, Optional, Sequence

import ijson
import tesmo_cjson
from tqdm import tqdm

from tesmo.chain import Chain
from tesmo.train import format_sentence, generate_sentence, read_text, tokenize, train

PROG = "tesmo"
# Files smaller than this go by too fast for a progress bar to help.
PROGRESS_THRESHOLD = 4 * 1024 * 1024

# What a reader raises on a document it cannot make sense of: the parsers'
# syntax errors, a key missing from the code table or a missing member, an
# unhashable table key, a count that cannot be added, bytes that are no text.
_DOCUMENT_ERRORS = (ijson.JSONError, ValueError, KeyError, TypeError, ArithmeticError, RecursionError)


class CommandError(Exception):
    """A failure to report as one line on stderr, with exit status 2."""


class Progress:
    """A file wrapper that shows the bytes passing through it as a progress bar.

    The bar goes to stderr, and only when stderr is a terminal and the file is
    large: a read whose ``total`` is over the threshold, or a write once more
    than the threshold has passed.
    """

    def __init__(self, file: Any, desc: str, total: Optional[int] = None) -> None:
        self._file = file
        self._desc = desc
        self._total = total
        self._seen = 0
        self._bar: Optional[tqdm] = None
        self._wanted = sys.stderr is not None and sys.stderr.isatty()

    def _advance(self, size: int) -> None:
        self._seen += size
        if self._bar is not None:
            self._bar.update(size)
        elif self._wanted and max(self._seen, self._total or 0) > PROGRESS_THRESHOLD:
            self._bar = tqdm(
                total=self._total, initial=self._seen, desc=self._desc, unit="B",
                unit_scale=True, file=sys.stderr, leave=False,
            )

    def read(self, size: int = -1) -> Any:
        data = self._file.read(size)
        self._advance(len(data))
        return data

    def readinto(self, buffer: Any) -> Optional[int]:
        size = self._file.readinto(buffer)
        self._advance(size or 0)
        return size

    def write(self, text: Any) -> int:
        written = self._file.write(text)
        self._advance(len(text))
        return written

    def close(self) -> None:
        """Remove the bar, if one was shown; the file stays open."""
        if self._bar is not None:
            self._bar.close()


def _first_line(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and exc.args:
        return f"missing key {exc.args[0]!r}"
    lines = str(exc).strip().splitlines()
    return lines[0].strip() if lines else type(exc).__name__


@contextmanager
def _reading(path: str) -> Iterator[None]:
    """Turn the errors of reading ``path`` as a chain document into CommandError."""
    try:
        yield
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from exc
    except _DOCUMENT_ERRORS as exc:
        raise CommandError(f"{path} is not a valid chain document ({_first_line(exc)})") from exc


@contextmanager
def _open_for_writing(path: str) -> Iterator[Progress]:
    try:
        with open(path, "w", encoding="utf-8", newline="") as file:
            progress = Progress(file, f"writing {path}")
            try:
                yield progress
            finally:
                progress.close()
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from exc


@contextmanager
def _open_document(path: str) -> Iterator[Progress]:
    with _reading(path):
        with open(path, "rb") as file:
            progress = Progress(file, f"reading {path}", os.fstat(file.fileno()).st_size)
            try:
                yield progress
            finally:
                progress.close()


class TableHead:
    """What the code table of a document says: its pairs and literal entries."""

    def __init__(self, entries: int = 0, literals: int = 0) -> None:
        self.entries = entries
        self.literals = literals

    @property
    def compressed(self) -> bool:
        """A table with at least one pair makes the document a compressed one."""
        return self.entries > 0


_NOT_SCALAR = object()


def read_table_head(path: str) -> TableHead:
    """Count the code-table pairs of a document, reading no further than the table.

    Like the streaming reader, only a "codes" array that comes before "chain"
    counts. A literal entry is a pair whose key is its value.
    """
    head = TableHead()
    with _reading(path), open(path, "rb") as file:
        events = ijson.parse(file)
        first = next(events, None)
        if first is None or first[1] != "start_map":
            raise CommandError(f"{path} is not a valid chain document (not a JSON object)")
        key: Any = _NOT_SCALAR
        position = 0
        for prefix, event, value in events:
            if (prefix, event, value) in (("", "map_key", "chain"), ("codes", "end_array", None)):
                break
            if prefix != "codes.item" or event.startswith("end_"):
                continue
            element = _NOT_SCALAR if event.startswith("start_") else value
            if position % 2 == 0:
                key = element
            else:
                head.entries += 1
                if key is not _NOT_SCALAR and type(key) is type(element) and key == element:
                    head.literals += 1
            position += 1
    return head


def load_model(path: str, chain: Any) -> TableHead:
    """Fill ``chain`` from the document at ``path`` with the streaming reader.

    Returns what the document's code table says; a document whose top level
    is not an object is refused before the chain is touched.
    """
    head = read_table_head(path)
    with _open_document(path) as file:
        tesmo_cjson.load_json_big(chain, file)
    return head


def save_model(path: str, chain: Chain, compress: bool, compact: bool = False) -> None:
    """Write ``chain`` to ``path`` with the streaming writer, or the compact one."""
    dump = tesmo_cjson.dump_json_small if compact else tesmo_cjson.dump_json_big
    with _open_for_writing(path) as file:
        dump(chain, file, compress)


_NO_START = object()


class Census:
    """A stand-in chain for the streaming reader that counts and keeps nothing.

    Consecutive choices with the same start belong to one entry of the
    document, so entries are counted where the start changes.
    """

    def __init__(self) -> None:
        self.clear()

    def clear(self) -> None:
        """Start counting afresh."""
        self.starts = 0
        self.choices = 0
        self.total: Any = 0
        self._last: Any = _NO_START

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        """Count one choice; ``items`` is drained, as a lazy iterator must be."""
        deque(items, maxlen=0)
        if type(start) is not type(self._last) or start != self._last:
            self.starts += 1
            self._last = start
        self.choices += 1
        self.total += count


def _open_corpus(path: str) -> IO[bytes]:
    try:
        return open(path, "rb")
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from exc


def _corpus_chain(paths: Sequence[str], order: int) -> Chain:
    def texts() -> Iterator[Iterator[str]]:
        for path in paths:
            with _open_corpus(path) as file:
                progress = Progress(file, f"training on {path}", os.fstat(file.fileno()).st_size)
                try:
                    yield read_text(progress)
                finally:
                    progress.close()

    return train(Chain(), tokenize(texts()), order)


def _choice_count(chain: Chain) -> int:
    return sum(bag.unique_count for _, bag in chain.items())


def _sentences(chain: Chain, count: int, seed: Optional[int], path: str) -> List[str]:
    if None not in chain:
        raise CommandError(f"{path} holds no sentence start (no null start)")
    rng = random.Random(seed)
    try:
        return [format_sentence(generate_sentence(chain, rng)) for _ in range(count)]
    except ValueError as exc:
        raise CommandError(f"{path} cannot be walked ({exc})") from exc


def _describe(path: str, chain: Chain, compressed: bool) -> str:
    kind = "compressed" if compressed else "plain"
    return (f"{path}: {kind}, {len(chain):,} starts, {_choice_count(chain):,} choices, "
            f"{os.path.getsize(path):,} bytes")


def cmd_train(args: argparse.Namespace) -> int:
    """Train a chain on text files and save it."""
    chain = _corpus_chain(args.corpus, args.order)
    save_model(args.output, chain, not args.plain, args.compact)
    print(_describe(args.output, chain, not args.plain))
    return 0


def cmd_generate(args: argparse.Namespace) -> int:
    """Print sentences walked from a saved chain."""
    chain = Chain()
    load_model(args.model, chain)
    for sentence in _sentences(chain, args.sentences, args.seed, args.model):
        print(sentence)
    return 0


def cmd_inspect(args: argparse.Namespace) -> int:
    """Print what a document holds, without keeping the chain."""
    census = Census()
    head = load_model(args.model, census)
    rows = [
        ("document", args.model),
        ("kind", "compressed" if head.compressed else "plain"),
        ("table entries", f"{head.entries:,}"),
        ("literal entries", f"{head.literals:,}"),
        ("starts", f"{census.starts:,}"),
        ("choices", f"{census.choices:,}"),
        ("total count", f"{census.total:,}" if isinstance(census.total, int) else str(census.total)),
        ("file size", f"{os.path.getsize(args.model):,} bytes"),
    ]
    for name, value in rows:
        print(f"{name + ':':<17}{value}")
    return 0


def cmd_convert(args: argparse.Namespace) -> int:
    """Rewrite a document with the streaming writer, by default as the other kind."""
    chain = Chain()
    head = load_model(args.input, chain)
    compress = not head.compressed if args.compress is None else args.compress
    save_model(args.output, chain, compress)
    print(_describe(args.output, chain, compress))
    return 0


def _timed(action: Callable[[], object]) -> float:
    began = time.perf_counter()
    action()
    return time.perf_counter() - began


def _demo_row(chain: Chain, directory: str, writer: str, compress: bool) -> List[str]:
    mode = "compressed" if compress else "plain"
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


def cmd_demo(args: argparse.Namespace) -> int:
    """Train on the shipped corpus, round-trip the chain through every writer and reader."""
    corpus = resources.files("tesmo") / "data" / "corpus.txt"
    with corpus.open("rb") as file:
        chain = train(Chain(), tokenize([read_text(file)]), args.order)
    print(f"Trained an order-{args.order} chain on the shipped corpus: "
          f"{len(chain):,} starts, {_choice_count(chain):,} choices.\n")
    for sentence in _sentences(chain, args.sentences, args.seed, "the corpus"):
        print(f"  {sentence}")
    header = ["writer", "mode", "size", "write", "load_json_small", "load_json_big", "verified"]
    with tempfile.TemporaryDirectory(prefix="tesmo-demo-") as directory:
        rows = [_demo_row(chain, directory, writer, compress)
                for writer in ("dump_json_small", "dump_json_big") for compress in (True, False)]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print()
    for row in [header] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 0 if all(row[-1] == "yes" for row in rows) else 1


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return number


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``tesmo`` command."""
    parser = argparse.ArgumentParser(prog=PROG, description="Train, save and load word chains as JSON.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    demo = commands.add_parser("demo", help="train on the shipped corpus and round-trip the chain")
    demo.add_argument("--order", type=_positive, default=2, help="words per next start (default 2)")
    demo.add_argument("-n", "--sentences", type=_positive, default=3, help="sentences to print")
    demo.add_argument("--seed", type=int, default=1, help="seed of the sentence walk")
    demo.set_defaults(run=cmd_demo)

    train_cmd = commands.add_parser("train", help="train a chain on text files and save it")
    train_cmd.add_argument("corpus", nargs="+", metavar="CORPUS", help="UTF-8 text file")
    train_cmd.add_argument("-o", "--output", required=True, metavar="MODEL", help="document to write")
    train_cmd.add_argument("--order", type=_positive, default=2, help="words per next start (default 2)")
    train_cmd.add_argument("--plain", action="store_true", help="write without a code table")
    train_cmd.add_argument("--compact", action="store_true", help="use the in-memory writer")
    train_cmd.set_defaults(run=cmd_train)

    generate = commands.add_parser("generate", help="print sentences from a saved chain")
    generate.add_argument("model", metavar="MODEL")
    generate.add_argument("-n", "--sentences", type=_positive, default=5, help="sentences (default 5)")
    generate.add_argument("--seed", type=int, default=None, help="the same seed gives the same text")
    generate.set_defaults(run=cmd_generate)

    inspect = commands.add_parser("inspect", help="describe a document without keeping its chain")
    inspect.add_argument("model", metavar="MODEL")
    inspect.set_defaults(run=cmd_inspect)

    convert = commands.add_parser("convert", help="rewrite a document compressed or plain")
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    kind = convert.add_mutually_exclusive_group()
    kind.add_argument("--plain", dest="compress", action="store_false", help="write a plain document")
    kind.add_argument("--compress", dest="compress", action="store_true", help="write a compressed document")
    convert.set_defaults(run=cmd_convert, compress=None)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 2
    try:
        return args.run(args)
    except CommandError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of stdout went away (``tesmo generate ... | head``); point
        # stdout at devnull so that flushing it at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
