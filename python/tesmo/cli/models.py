"""Reading models into a chain and writing a chain as a model, for every command."""

from __future__ import annotations

import gc
import io
import json
import os
import stat
import sys
from collections.abc import Callable, Sequence
from typing import Any

import ijson

import tesmo_cjson
from tesmo import _chain
from tesmo.chain import Chain
from tesmo.cli.atomic import text_output
from tesmo.cli.document import ChainFirst, CheckedCounts, DocumentHead
from tesmo.cli.errors import (
    DOCUMENT_ERRORS,
    CommandError,
    bad_count,
    document_reason,
    first_line,
    os_error,
    reading,
    shown,
)
from tesmo.cli.progress import CHOICES_THRESHOLD, ChoiceCounter, Options
from tesmo.cli.scanner import DocumentScanner
from tesmo.streams import STDIO, CompressionUnavailable, Decompressed, input_size, open_input
from tesmo.train import chain_order


def total_size(paths: Sequence[str]) -> int | None:
    sizes = [input_size(path) for path in paths]
    return None if None in sizes else sum(sizes)  # type: ignore[arg-type]


class CallbackError(ValueError):
    """What a parser callback raised, with the parse error it ended in."""

    def __init__(self, message: str, parse_error: BaseException) -> None:
        super().__init__(message)
        self.parse_error = parse_error


def _document_error(path: str, exc: BaseException, head: DocumentHead) -> CommandError:
    """The one line for a document the reader refused, saying where when the parser tells."""
    shape = None if isinstance(exc, ijson.JSONError) else head.shape_problem()
    if shape is not None:
        # A reader may refuse a well-formed document of the wrong shape
        # itself, in words of its own.
        return CommandError(f"{shown(path)} is not a valid chain document ({shape})")
    if isinstance(exc, KeyError) and exc.args:
        try:
            code = json.dumps(exc.args[0])
        except (TypeError, ValueError):
            code = repr(exc.args[0])
        reason = f"the code {code} is not in the table"
    else:
        reason = document_reason(exc)
    parse_error = exc.parse_error if isinstance(exc, CallbackError) else exc
    where = head.where(parse_error) if isinstance(parse_error, ijson.JSONError) else None
    if where is not None:
        reason += f", near {where}"
    return CommandError(f"{shown(path)} is not a valid chain document ({reason})")


def _load_big(chain: Any, file: Any, merge: bool) -> None:
    """``load_json_big``, with what the yajl2_cffi parser backend prints kept quiet.

    That backend runs Python code in C callbacks: an exception there (a
    string whose escapes make no UTF-8) is printed as an ignored exception
    and the parse ends with "client cancelled parse"; the exception is kept
    and raised in its place. Its parser, closed in the middle of a document,
    raises "premature EOF" from its finalizer, which Python prints at exit
    if not sooner: the failure's traceback, which keeps the parser alive, is
    dropped (the command reports the failure in one line) and the parser
    collected here, where its complaint is dropped too.
    """
    hook = sys.unraisablehook
    in_callbacks: list[BaseException] = []

    def keep_parser_errors(unraisable: Any) -> None:
        if isinstance(unraisable.exc_value, ijson.JSONError):
            return
        if "cffi callback" in (unraisable.err_msg or "") and unraisable.exc_value is not None:
            in_callbacks.append(unraisable.exc_value)
            return
        hook(unraisable)

    sys.unraisablehook = keep_parser_errors
    try:
        tesmo_cjson.load_json_big(chain, file, merge=merge)
    except BaseException as exc:
        exc.__traceback__ = None
        gc.collect()
        if in_callbacks and isinstance(exc, ijson.JSONError):
            raise CallbackError(first_line(in_callbacks[0]), exc) from None
        raise
    finally:
        sys.unraisablehook = hook


def _checked_reload(path: str) -> None:
    """Read ``path`` again into a scratch chain, refusing bad counts one by one."""
    with reading(path), open_input(path) as file:
        _load_big(CheckedCounts(Chain(), path), file, False)


def _load_by_names(target: Any, head: DocumentHead, adding: bool) -> None:
    """Read a document whose chain comes before its table, whole, by its members' names."""
    document = head.replay()
    head.scanner = scanner = DocumentScanner(through_chain=True)
    scanner.feed(document)
    scanner.finish()
    if not adding:
        target.clear()
    if scanner.seen_codes:
        tesmo_cjson.load_json_small(target, io.BytesIO(document), merge=True)
    else:
        # No table at all: what the streaming reader reads is the chain.
        _load_big(target, io.BytesIO(document), True)


def _blame_damaged_data(file: Any) -> None:
    """Read a compressed input to its end, so that damaged data is named as such.

    A flipped bit in gzip or bzip2 data decompresses to garbage that the
    parser refuses before the checksum at the end is read.
    """
    if isinstance(file, Decompressed):
        while file.read(1 << 20):
            pass


def load_models(
    paths: Sequence[str],
    chain: Any,
    opts: Options,
    merge: bool = False,
    check: bool = True,
    loaded: Callable[[str], None] | None = None,
) -> list[DocumentHead]:
    """Fill ``chain`` from the documents ``paths`` with the streaming reader.

    Every document must be an object with a "chain" array; with ``check``
    every count must be a finite positive number. One bar covers all inputs.
    ``loaded(path)`` is called once each document is in.
    """
    bar = opts.bar(total_size(paths), "B", "reading")
    heads = []
    try:
        for number, path in enumerate(paths, 1):
            bar.describe(f"reading {number}/{len(paths)} {shown(path)}")
            adding = merge or number > 1
            # A document read alone into a native chain is checked once it is
            # in, natively, so that the reader fills the chain directly; one
            # added to counts already there is checked count by count.
            check_after = check and not adding and type(chain) is Chain
            target = CheckedCounts(chain, path) if check and not check_after else chain
            with reading(path), open_input(path, bar.update) as file:
                head = DocumentHead(file)
                try:
                    with head.interrupts_at_reads():
                        try:
                            _load_big(target, head, adding)
                        except TypeError:
                            # A count the chain cannot add ("3", null): a file that
                            # can be read again is read count by count to name it.
                            if check_after and os.path.isfile(path):
                                _checked_reload(path)
                            raise
                except ChainFirst:
                    _load_by_names(target, head, adding)
                except DOCUMENT_ERRORS as exc:
                    _blame_damaged_data(file)
                    raise _document_error(path, exc, head) from exc
            problem = head.problem()
            if problem is not None:
                raise CommandError(f"{shown(path)} is not a valid chain document ({problem})")
            bad = _chain.bad_count(chain) if check_after else None
            if bad is not None:
                raise bad_count(path, bad)
            heads.append(head)
            if loaded is not None:
                loaded(path)
    finally:
        bar.close()
    return heads


def choice_count(chain: Chain) -> int:
    if type(chain) is Chain:
        try:
            return _chain.choice_count(chain)  # without a bag object per start
        except TypeError:
            pass  # a bag of another kind
    return sum(bag.unique_count for _, bag in chain.items())


def lone_surrogate(chain: Any) -> str | None:
    """A string of the chain that holds a lone surrogate, if any.

    Such a string is written as its escape, which the streaming reader reads
    back as "?" or refuses: a model holding one would not read back. A native
    chain tells at once whether it holds any; the string is looked for only then.
    """
    if type(chain) is Chain:
        try:
            if not _chain.has_lone_surrogate(chain):
                return None
        except TypeError:
            pass  # a bag of another kind, or a subclass of str or tuple: looked through below
    strings: list[str] = []
    values = list(chain.build_frequency_dict())
    while values:  # a level of tuples at a time
        strings += [value for value in values if isinstance(value, str)]
        values = [item for value in values if isinstance(value, tuple) for item in value]
    try:
        "".join(strings).encode("utf-8")
    except UnicodeEncodeError:
        for text in strings:
            try:
                text.encode("utf-8")
            except UnicodeEncodeError as exc:
                return f"{text!r} holds a lone surrogate (U+{ord(text[exc.start]):04X})"
    return None


def save_model(path: str, chain: Chain, coded: bool, opts: Options, compact: bool = False) -> None:
    """Write ``chain`` to ``path`` with the streaming writer, or the compact one, with a code table or plain."""
    problem = lone_surrogate(chain)
    if problem is not None:
        raise CommandError(f"cannot write {shown(path, output=True)}: {problem}, which would not read back")
    bar = opts.bar(None, "transitions", f"writing {shown(path, output=True)}", CHOICES_THRESHOLD)
    if bar.wanted:
        bar.total = choice_count(chain)  # a walk over every bag, only for a bar that may show
    try:
        with text_output(path) as file:
            if compact:
                tesmo_cjson.dump_json_small(chain, file, coded)
            else:
                tesmo_cjson.dump_json_big(chain, ChoiceCounter(file, bar) if bar.wanted else file, coded)
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except OSError as exc:
        if isinstance(exc, BrokenPipeError) and path == STDIO:
            raise  # the reader of stdout went away; main() ends quietly
        raise os_error("write", path, exc) from exc
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
            raise CommandError(f"{shown(output, output=True)} is the input {path}; refusing to overwrite it")


def model_order(chain: Any, path: str) -> int | None:
    """The order of the model read from ``path`` into ``chain``, None for an empty one.

    A chain whose starts are of different lengths is of no order: it is refused.
    """
    try:
        return chain_order(chain)
    except ValueError as exc:
        raise CommandError(f"{shown(path)} is not a chain of one order ({exc})") from exc


def kind(coded: bool) -> str:
    """A document's kind: "coded" with a code table, "plain" without."""
    return "coded" if coded else "plain"


def describe(path: str, chain: Chain, coded: bool) -> str:
    size = input_size(path)
    tail = "" if size is None else f", {size:,} bytes"
    return (
        f"{shown(path, output=True)}: {kind(coded)}, {len(chain):,} starts, {choice_count(chain):,} transitions{tail}"
    )
