"""The ``tesmo`` command line: demo, train, generate, inspect, convert and merge.

Every command reports a failure as one line on stderr and exits with status 2.
Messages and progress bars go to stderr, so stdout carries only a command's
product: a model written to "-", generated text, a report.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import random
import signal
import stat
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable, Hashable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from functools import partial
from importlib import resources
from typing import IO, Any

import ijson
from tqdm import tqdm

import tesmo
import tesmo_cjson
from tesmo import _chain
from tesmo.chain import Chain
from tesmo.shards import SHARD_SIZE, ProcessPool, Shard, ShardResult, train_files
from tesmo.streams import STDIO, CompressionUnavailable, input_size, open_input, text_output
from tesmo.train import Utf8Text, format_sentence, generate_sentence, read_text, train_text

PROG = "tesmo"
# Inputs smaller than this, and writes of fewer choices, go by too fast for a
# progress bar to help.
PROGRESS_THRESHOLD = 4 * 1024 * 1024
CHOICES_THRESHOLD = 200_000

# What a reader raises on a document it cannot make sense of: the parsers'
# syntax errors, a key missing from the code table or a missing member, an
# unhashable table key, a count that cannot be added, bytes that are no text,
# a compressed stream cut short.
_DOCUMENT_ERRORS = (ijson.JSONError, ValueError, KeyError, TypeError, ArithmeticError, RecursionError, EOFError)


class CommandError(Exception):
    """A failure to report as one line on stderr, with exit status 2."""


@contextmanager
def _signals_held() -> Iterator[None]:
    """Hold Ctrl-C and SIGTERM back while a bar is drawn or removed.

    A signal that lands inside tqdm's constructor, after it has drawn the bar
    but before the bar is ours to remove, would leave the bar on the screen;
    held, it is handled once the block is done.
    """
    held = {signal.SIGINT, signal.SIGTERM}
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class Bar:
    """One progress bar on stderr, made when it is first worth showing.

    ``show`` is "never", "always", or "auto": only on a terminal, and only
    once the total or the progress passes ``threshold``. The bar is removed
    when closed, also after a failure or Ctrl-C.
    """

    def __init__(self, show: str, total: int | None, unit: str, desc: str, threshold: int) -> None:
        self.total = total
        self._show = show
        self._unit = unit
        self._desc = desc
        self._threshold = threshold
        self._seen = 0
        self._bar: tqdm | None = None
        if show == "auto" and not (sys.stderr is not None and sys.stderr.isatty()):
            self._show = "never"

    @property
    def wanted(self) -> bool:
        """Whether the bar may ever show, so that counting for it is worth it."""
        return self._show != "never"

    def describe(self, desc: str) -> None:
        self._desc = desc
        if self._bar is not None:
            self._bar.set_description_str(desc)

    def update(self, size: int) -> None:
        self._seen += size
        if self._bar is not None:
            self._bar.update(size)
        elif self._show == "always" or (self._show == "auto" and max(self._seen, self.total or 0) > self._threshold):
            with _signals_held():
                self._bar = tqdm(
                    total=self.total,
                    initial=self._seen,
                    desc=self._desc,
                    unit=self._unit,
                    unit_scale=True,
                    file=sys.stderr,
                    leave=False,
                )

    def close(self) -> None:
        if self._bar is not None:
            with _signals_held():
                self._bar.close()
                self._bar = None


class ChoiceCounter:
    """A text file that moves a bar on by one for every choice the streaming writer writes.

    The writer writes each count as a piece of its own, and only those pieces
    begin with a comma.
    """

    def __init__(self, file: IO[str], bar: Bar) -> None:
        self._write = file.write
        self._bar = bar

    def write(self, text: str) -> int:
        if text.startswith(","):
            self._bar.update(1)
        return self._write(text)


def _first_line(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and exc.args:
        return f"missing key {exc.args[0]!r}"
    text = exc.args[0] if len(exc.args) == 1 and isinstance(exc.args[0], bytes) else exc
    if isinstance(text, bytes):
        # Some parser backends give their message as bytes.
        text = text.decode("utf-8", "replace")
    lines = str(text).strip().splitlines()
    return lines[0].strip() if lines else type(exc).__name__


def _os_error(verb: str, path: str, exc: OSError) -> CommandError:
    return CommandError(f"cannot {verb} {_shown(path, verb == 'write')}: {exc.strerror or _first_line(exc)}")


def _shown(path: str, output: bool = False) -> str:
    if path != STDIO:
        return path
    return "stdout" if output else "stdin"


@contextmanager
def _reading(path: str) -> Iterator[None]:
    """Turn the errors of reading ``path`` as a chain document into CommandError."""
    try:
        yield
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except OSError as exc:
        raise _os_error("read", path, exc) from exc
    except _DOCUMENT_ERRORS as exc:
        raise CommandError(f"{_shown(path)} is not a valid chain document ({_first_line(exc)})") from exc


def _is_count(count: Any) -> bool:
    # true counts as the 1 it adds, as the chain itself takes it
    return isinstance(count, (int, float)) and 0 < count < math.inf


def _bad_count(path: str, count: Any) -> CommandError:
    return CommandError(
        f"{_shown(path)} is not a valid chain document (a count is not a finite positive number: {count!r})"
    )


class CheckedCounts:
    """Stands between the streaming reader and a chain, refusing bad counts.

    A count that is not a finite positive number (a number too large for a
    float reads as inf) would make totals and weighted picks meaningless.
    """

    __slots__ = ("_chain", "_add", "_path")

    def __init__(self, chain: Any, path: str) -> None:
        self._chain = chain
        self._add = chain.add_to_bag
        self._path = path

    def clear(self) -> None:
        self._chain.clear()

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        if not _is_count(count):
            raise _bad_count(self._path, count)
        self._add(start, items, count)


_NOT_SCALAR = object()


class DocumentHead:
    """A binary reader that watches the start of a document as it is read.

    It parses the bytes on their way to the streaming reader up to the
    "chain" array, to learn what the code table holds, that the chain is
    there, and that the top level is an object. Like the streaming reader,
    it takes only a "codes" array before "chain" for the table. A literal
    entry is a pair whose key is its value. It raises nothing itself, so a
    malformed document fails in the streaming reader, with its message.
    """

    def __init__(self, file: Any) -> None:
        self.entries = 0
        self.literals = 0
        self.has_chain = False
        self.interrupted = False
        self.is_object: bool | None = None
        self.size = 0
        self._file = file
        self._watching = True
        self._events = ijson.sendable_list()
        self._parser = ijson.parse_coro(self._events)
        self._key: Any = _NOT_SCALAR
        self._position = 0

    @property
    def compressed(self) -> bool:
        """A table with at least one pair makes the document a compressed one."""
        return self.entries > 0

    def read(self, size: int = -1) -> bytes:
        if self.interrupted:
            raise KeyboardInterrupt
        data = self._file.read(size)
        self.size += len(data)
        if data and self._watching:
            try:
                self._parser.send(data)
            except ijson.JSONError:
                self._watching = False
            self._watch()
        return data

    def _watch(self) -> None:
        for prefix, event, value in self._events:
            if self.is_object is None:
                self.is_object = event == "start_map"
            elif prefix == "chain" and event == "start_array":
                self.has_chain = True
                self._watching = False
                break
            elif prefix == "codes" and event == "start_array":
                self.entries = self.literals = self._position = 0
            elif prefix == "codes.item" and not event.startswith("end_"):
                self._table_element(_NOT_SCALAR if event.startswith("start_") else value)
        del self._events[:]

    @contextmanager
    def interrupts_at_reads(self) -> Iterator[None]:
        """Hold Ctrl-C back until the reader next reads.

        The yajl2_cffi parser backend runs Python code in C callbacks, where
        an exception is printed and taken for a parse error; raised from
        ``read`` it reaches the caller as it should.
        """
        if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
            yield  # Ctrl-C is ignored or handled by someone else
            return

        def hold(signum: int, frame: Any) -> None:
            self.interrupted = True

        signal.signal(signal.SIGINT, hold)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        if self.interrupted:
            raise KeyboardInterrupt

    def problem(self) -> str | None:
        """What makes the document read so far no chain document, if anything."""
        if not self.is_object:
            return "not a JSON object"
        if not self.has_chain:
            return 'no "chain" array'
        return None

    def _table_element(self, element: Any) -> None:
        if self._position % 2 == 0:
            self._key = element
        else:
            self.entries += 1
            key = self._key
            if key is not _NOT_SCALAR and type(key) is type(element) and key == element:
                self.literals += 1
        self._position += 1


class Options:
    """What every command is given besides its own arguments."""

    def __init__(self, args: argparse.Namespace) -> None:
        # Absent unless given, before or after the command's name.
        self.quiet = getattr(args, "quiet", False)
        self.show = "never" if self.quiet else "always" if getattr(args, "progress", False) else "auto"

    def say(self, text: str) -> None:
        """A message for the user; ``-q`` silences it."""
        if not self.quiet:
            print(text, file=sys.stderr)

    def bar(self, total: int | None, unit: str, desc: str, threshold: int | None = None) -> Bar:
        return Bar(self.show, total, unit, desc, PROGRESS_THRESHOLD if threshold is None else threshold)


def _total_size(paths: Sequence[str]) -> int | None:
    sizes = [input_size(path) for path in paths]
    return None if None in sizes else sum(sizes)  # type: ignore[arg-type]


def _load_big(chain: Any, file: Any, merge: bool) -> None:
    """``load_json_big``, collecting a parser that a failure leaves behind quietly.

    The yajl2_cffi backend's parser, closed in the middle of a document,
    raises "premature EOF" from its finalizer, which Python prints as an
    ignored exception, at exit if not sooner. The failure's traceback keeps
    the parser alive; it is dropped (the command reports the failure in one
    line) and the parser collected here, where its complaint is dropped too.
    """
    try:
        tesmo_cjson.load_json_big(chain, file, merge=merge)
    except (KeyboardInterrupt, Terminated, CommandError, OSError) + _DOCUMENT_ERRORS as exc:
        hook = sys.unraisablehook

        def drop_parser_errors(unraisable: Any) -> None:
            if not isinstance(unraisable.exc_value, ijson.JSONError):
                hook(unraisable)

        sys.unraisablehook = drop_parser_errors
        try:
            exc.__traceback__ = None
            gc.collect()
        finally:
            sys.unraisablehook = hook
        raise


def _checked_reload(path: str) -> None:
    """Read ``path`` again into a scratch chain, refusing bad counts one by one."""
    with _reading(path), open_input(path) as file:
        _load_big(CheckedCounts(Chain(), path), file, False)


def load_models(
    paths: Sequence[str], chain: Any, opts: Options, merge: bool = False, check: bool = True
) -> list[DocumentHead]:
    """Fill ``chain`` from the documents ``paths`` with the streaming reader.

    Every document must be an object with a "chain" array; with ``check``
    every count must be a finite positive number. One bar covers all inputs.
    """
    bar = opts.bar(_total_size(paths), "B", "reading")
    heads = []
    try:
        for number, path in enumerate(paths, 1):
            bar.describe(f"reading {number}/{len(paths)} {_shown(path)}")
            adding = merge or number > 1
            # A document read alone into a native chain is checked once it is
            # in, natively, so that the reader fills the chain directly; one
            # added to counts already there is checked count by count.
            check_after = check and not adding and type(chain) is Chain
            with _reading(path), open_input(path, bar.update) as file:
                head = DocumentHead(file)
                target = CheckedCounts(chain, path) if check and not check_after else chain
                with head.interrupts_at_reads():
                    try:
                        _load_big(target, head, adding)
                    except TypeError:
                        # A count the chain cannot add ("3", null): a file that
                        # can be read again is read count by count to name it.
                        if check_after and os.path.isfile(path):
                            _checked_reload(path)
                        raise
            problem = head.problem()
            if problem is not None:
                raise CommandError(f"{_shown(path)} is not a valid chain document ({problem})")
            bad = _chain.bad_count(chain) if check_after else None
            if bad is not None:
                raise _bad_count(path, bad)
            heads.append(head)
    finally:
        bar.close()
    return heads


def _choice_count(chain: Chain) -> int:
    return sum(bag.unique_count for _, bag in chain.items())


def save_model(path: str, chain: Chain, compress: bool, opts: Options, compact: bool = False) -> None:
    """Write ``chain`` to ``path`` with the streaming writer, or the compact one."""
    bar = opts.bar(_choice_count(chain), "choices", f"writing {_shown(path, output=True)}", CHOICES_THRESHOLD)
    try:
        with text_output(path) as file:
            if compact:
                tesmo_cjson.dump_json_small(chain, file, compress)
            else:
                tesmo_cjson.dump_json_big(chain, ChoiceCounter(file, bar) if bar.wanted else file, compress)
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except OSError as exc:
        if isinstance(exc, BrokenPipeError) and path == STDIO:
            raise  # the reader of stdout went away; main() ends quietly
        raise _os_error("write", path, exc) from exc
    finally:
        bar.close()


def refuse_overwriting(inputs: Sequence[str], output: str) -> None:
    """Refuse to write ``output`` when it is one of ``inputs``.

    For "-", that is when stdout is redirected to an input.
    """
    try:
        if output == STDIO:
            out = os.fstat(sys.stdout.fileno())
            if not stat.S_ISREG(out.st_mode):
                return
        else:
            out = os.stat(output)
    except (OSError, ValueError, AttributeError):
        return  # no such output yet, or no stdout to compare
    for path in inputs:
        if path == STDIO:
            continue
        try:
            same = os.path.samestat(os.stat(path), out)
        except OSError:
            continue
        if same:
            raise CommandError(f"{_shown(output, output=True)} is the input {path}; refusing to overwrite it")


class _CorpusReader:
    """The corpora as texts for the tokenizer, read here one after another."""

    def __init__(self, paths: Sequence[str], bar: Bar) -> None:
        self.texts: list[tuple[str, Utf8Text]] = []
        self.current = ""
        self._paths = paths
        self._bar = bar

    def __iter__(self) -> Iterator[Utf8Text]:
        for number, path in enumerate(self._paths, 1):
            self.current = path
            self._bar.describe(f"reading {number}/{len(self._paths)} {_shown(path)}")
            with open_input(path, self._bar.update) as file:
                text = Utf8Text(file)
                self.texts.append((path, text))
                yield text


def _train_here(paths: Sequence[str], order: int, bar: Bar) -> tuple[Chain, list[tuple[str, int]]]:
    reader = _CorpusReader(paths, bar)
    try:
        chain = train_text(Chain(), reader, order)
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except (OSError, EOFError) as exc:
        raise CommandError(
            f"cannot read {_shown(reader.current)}: {getattr(exc, 'strerror', None) or _first_line(exc)}"
        ) from exc
    return chain, [(path, text.replaced) for path, text in reader.texts]


def _train_in_pool(
    paths: Sequence[str], order: int, jobs: int, shard_size: int, bar: Bar
) -> tuple[Chain, list[tuple[str, int]]]:
    replaced: dict = {}
    joined = [0]

    def on_shard(shard: Shard, result: ShardResult) -> None:
        joined[0] += 1
        bar.describe(f"training {joined[0]} shards, at {_shown(shard[-1].path)}")
        for piece, count in zip(shard, result.replaced, strict=False):
            replaced[piece.path] = replaced.get(piece.path, 0) + count
        bar.update(result.size)

    # The calling process trains the first shard itself.
    pool = ProcessPool(jobs - 1)
    try:
        chain = train_files(paths, order, pool, shard_size, on_shard)
    except BaseException:
        pool.shutdown(cancel_futures=True)
        raise
    pool.shutdown()
    return chain, list(replaced.items())


def _shard_size(paths: Sequence[str], jobs: int, given: int | None) -> int:
    if given is not None:
        return given
    # One shard per job costs the least in chains to send back and join;
    # a cap keeps the progress moving and the work even on large corpora.
    total = sum(input_size(path) or 0 for path in paths)
    return max(1 << 20, min(SHARD_SIZE, -(-total // jobs)))


def _describe(path: str, chain: Chain, compressed: bool) -> str:
    kind = "compressed" if compressed else "plain"
    size = input_size(path)
    tail = "" if size is None else f", {size:,} bytes"
    return f"{_shown(path, output=True)}: {kind}, {len(chain):,} starts, {_choice_count(chain):,} choices{tail}"


def cmd_train(args: argparse.Namespace, opts: Options) -> int:
    """Train a chain on text files and save it."""
    refuse_overwriting(args.corpus, args.output)
    bar = opts.bar(_total_size(args.corpus), "B", "reading")
    try:
        if args.jobs > 1:
            shard_size = _shard_size(args.corpus, args.jobs, args.shard_size)
            try:
                chain, replaced = _train_in_pool(args.corpus, args.order, args.jobs, shard_size, bar)
            except OSError as exc:
                raise _os_error("read", exc.filename or "a corpus", exc) from exc
        else:
            chain, replaced = _train_here(args.corpus, args.order, bar)
    finally:
        bar.close()
    for path, count in replaced:
        if count:
            opts.say(
                f"{PROG}: {_shown(path)}: replaced {count:,} undecodable byte{'s' if count != 1 else ''} with U+FFFD"
            )
    save_model(args.output, chain, not args.plain, opts, args.compact)
    opts.say(_describe(args.output, chain, not args.plain))
    return 0


def _sentences(chain: Chain, count: int, seed: int | None, path: str) -> Iterator[str]:
    if None not in chain:
        raise CommandError(f"{_shown(path)} holds no sentence start (no null start)")
    rng = random.Random(seed)
    for _ in range(count):
        yield format_sentence(generate_sentence(chain, rng))


def cmd_generate(args: argparse.Namespace, opts: Options) -> int:
    """Print sentences walked from a saved chain."""
    chain = Chain()
    load_models([args.model], chain, opts)
    for sentence in _sentences(chain, args.sentences, args.seed, args.model):
        print(sentence)
    return 0


class Census:
    """A stand-in chain for the streaming reader that counts and keeps nothing.

    Consecutive choices with the same start belong to one entry of the
    document, so entries are counted where the start changes.
    """

    def __init__(self, path: str) -> None:
        self._path = path
        self.clear()

    def clear(self) -> None:
        """Start counting afresh."""
        self.starts = 0
        self.choices = 0
        self.total: Any = 0
        self._last: Any = _NOT_SCALAR

    def add_to_bag(self, start: Hashable, items: Iterable[Hashable], count: Any = 1) -> None:
        """Count one choice; ``items`` is drained, as a lazy iterator must be."""
        if not _is_count(count):
            raise _bad_count(self._path, count)
        deque(items, maxlen=0)
        if type(start) is not type(self._last) or start != self._last:
            self.starts += 1
            self._last = start
        self.choices += 1
        self.total += count


def cmd_inspect(args: argparse.Namespace, opts: Options) -> int:
    """Print what a document holds, without keeping the chain."""
    census = Census(args.model)
    head = load_models([args.model], census, opts, check=False)[0]
    total = census.total
    rows = [
        ("document", _shown(args.model)),
        ("kind", "compressed" if head.compressed else "plain"),
        ("table entries", f"{head.entries:,}"),
        ("literal entries", f"{head.literals:,}"),
        ("starts", f"{census.starts:,}"),
        ("choices", f"{census.choices:,}"),
        ("total count", f"{total:,}" if isinstance(total, int) else repr(total)),
        ("file size", f"{input_size(args.model) or head.size:,} bytes"),
    ]
    for name, value in rows:
        print(f"{name + ':':<17}{value}")
    return 0


def cmd_convert(args: argparse.Namespace, opts: Options) -> int:
    """Rewrite a document with the streaming writer, by default as the other kind."""
    chain = Chain()
    head = load_models([args.input], chain, opts)[0]
    compress = not head.compressed if args.compress is None else args.compress
    save_model(args.output, chain, compress, opts)
    opts.say(_describe(args.output, chain, compress))
    return 0


def cmd_merge(args: argparse.Namespace, opts: Options) -> int:
    """Add the counts of several documents into one."""
    refuse_overwriting(args.inputs, args.output)
    chain = Chain()
    load_models(args.inputs, chain, opts, merge=True)
    save_model(args.output, chain, not args.plain, opts)
    opts.say(_describe(args.output, chain, not args.plain))
    return 0


def _timed(action: Callable[[], object]) -> float:
    began = time.perf_counter()
    action()
    return time.perf_counter() - began


def _demo_row(chain: Chain, directory: str, writer: str, compress: bool) -> list[str]:
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


def cmd_demo(args: argparse.Namespace, opts: Options) -> int:
    """Train on the shipped corpus, round-trip the chain through every writer and reader."""
    corpus = resources.files("tesmo") / "data" / "corpus.txt"
    with corpus.open("rb") as file:
        chain = train_text(Chain(), [read_text(file)], args.order)
    print(
        f"Trained an order-{args.order} chain on the shipped corpus: "
        f"{len(chain):,} starts, {_choice_count(chain):,} choices.\n"
    )
    for sentence in _sentences(chain, args.sentences, args.seed, "the corpus"):
        print(f"  {sentence}")
    header = ["writer", "mode", "size", "write", "load_json_small", "load_json_big", "verified"]
    with tempfile.TemporaryDirectory(prefix="tesmo-demo-") as directory:
        rows = [
            _demo_row(chain, directory, writer, compress)
            for writer in ("dump_json_small", "dump_json_big")
            for compress in (True, False)
        ]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print()
    for row in [header] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=False)).rstrip())
    return 0 if all(row[-1] == "yes" for row in rows) else 1


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return number


_MODEL_HELP = "a chain document; .gz, .bz2, .xz or .zst by suffix; - for stdin"
_OUTPUT_HELP = "the document to write; .gz, .bz2, .xz or .zst by suffix; - for stdout"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``tesmo`` command."""
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        default=argparse.SUPPRESS,
        help="print no summaries, warnings or progress bars (errors still show)",
    )
    common.add_argument(
        "--progress",
        action="store_true",
        default=argparse.SUPPRESS,
        help="show progress bars even when stderr is not a terminal or the input is small",
    )

    parser = argparse.ArgumentParser(
        prog=PROG,
        parents=[common],
        description="Train, save, load and walk word chains kept as JSON documents.",
        epilog="Messages and progress go to stderr; a failure is one line there and exit status 2.",
    )
    parser.add_argument(
        "--version", action="version", version=f"{PROG} {tesmo.__version__}", help="print the version and exit"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, run: Callable[..., int]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[common], help=help, description=help[0].upper() + help[1:] + ".")
        sub.set_defaults(run=run)
        return sub

    demo = command(
        "demo", "train on the shipped corpus and round-trip the chain through every writer and reader", cmd_demo
    )
    demo.add_argument("--order", type=_positive, default=2, help="tokens per next start (default 2)")
    demo.add_argument("-n", "--sentences", type=_positive, default=3, help="sentences to print (default 3)")
    demo.add_argument("--seed", type=int, default=1, help="seed of the sentence walk (default 1)")

    train_cmd = command("train", "train a chain on text files and save it", cmd_train)
    train_cmd.add_argument(
        "corpus", nargs="+", metavar="CORPUS", help="UTF-8 text file (.gz, .bz2, .xz or .zst by suffix; - for stdin)"
    )
    train_cmd.add_argument("-o", "--output", required=True, metavar="MODEL", help=_OUTPUT_HELP)
    train_cmd.add_argument("--order", type=_positive, default=2, help="tokens per next start (default 2)")
    train_cmd.add_argument("--plain", action="store_true", help="write without a code table")
    train_cmd.add_argument("--compact", action="store_true", help="write with the in-memory writer")
    train_cmd.add_argument(
        "-j", "--jobs", type=_positive, default=1, help="train shards of the corpora in this many processes (default 1)"
    )
    train_cmd.add_argument(
        "--shard-size",
        type=_positive,
        default=None,
        metavar="BYTES",
        help="bytes per shard with --jobs (default: the corpora split evenly across the jobs, 1 to 64 MiB a shard)",
    )

    generate = command("generate", "print sentences walked from a saved chain", cmd_generate)
    generate.add_argument("model", metavar="MODEL", help=_MODEL_HELP)
    generate.add_argument("-n", "--sentences", type=_positive, default=5, help="sentences to print (default 5)")
    generate.add_argument("--seed", type=int, default=None, help="the same seed gives the same text")

    inspect = command("inspect", "describe a document without keeping its chain", cmd_inspect)
    inspect.add_argument("model", metavar="MODEL", help=_MODEL_HELP)

    convert = command("convert", "rewrite a document compressed or plain (in place too)", cmd_convert)
    convert.add_argument("input", metavar="IN", help=_MODEL_HELP)
    convert.add_argument("output", metavar="OUT", help=_OUTPUT_HELP + "; may be IN")
    kind = convert.add_mutually_exclusive_group()
    kind.add_argument(
        "--plain",
        dest="compress",
        action="store_false",
        help="write a plain document (default: the other kind than IN)",
    )
    kind.add_argument("--compress", dest="compress", action="store_true", help="write a compressed document")
    convert.set_defaults(compress=None)

    merge = command("merge", "add the counts of several documents into one", cmd_merge)
    merge.add_argument("inputs", nargs="+", metavar="IN", help=_MODEL_HELP)
    merge.add_argument("-o", "--output", required=True, metavar="OUT", help=_OUTPUT_HELP + "; not one of IN")
    merge.add_argument("--plain", action="store_true", help="write without a code table")
    return parser


class Terminated(BaseException):
    """SIGTERM, raised so that a write in progress unwinds as for Ctrl-C."""


def _terminated(signum: int, frame: Any) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line on ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 2
    try:
        previous = signal.signal(signal.SIGTERM, _terminated)
    except ValueError:  # not the main thread: leave SIGTERM alone
        previous = None
    try:
        return args.run(args, Options(args))
    except CommandError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        # The reader of stdout went away (``tesmo generate ... | head``); point
        # stdout at devnull so that flushing it at exit does not fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
