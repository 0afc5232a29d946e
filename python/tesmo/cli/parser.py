"""The argument parser of the ``tesmo`` command."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import Any

import tesmo
from tesmo.cli.convert import cmd_convert
from tesmo.cli.demo import cmd_demo
from tesmo.cli.errors import PROG
from tesmo.cli.generate import cmd_generate
from tesmo.cli.inspect import cmd_inspect
from tesmo.cli.merge import cmd_merge
from tesmo.cli.train import cmd_train
from tesmo.shards import PARALLEL_MIN
from tesmo.streams import STDIO


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return number


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = -1
    if number < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}")
    return number


_MODEL_HELP = (
    "a chain document, compressed if its name ends in .gz, .bz2, .xz or .zst (or its bytes say so); - for stdin"
)
_CORPUS_HELP = (
    "UTF-8 text file, compressed if its name ends in .gz, .bz2, .xz or .zst (or its bytes say so); "
    "a directory for its text files; an URL (s3://, gs://, hdfs://, file://; needs fsspec); - for stdin"
)
_OUTPUT_HELP = "the document to write, compressed if its name ends in .gz, .bz2, .xz or .zst; - for stdout"


class Parser(argparse.ArgumentParser):
    """Names an unknown option that stands before the command.

    Without a command argparse would only say that one is required, also
    for ``tesmo -x`` where the option is what went wrong.
    """

    def parse_known_args(self, args: Sequence[str] | None = None, namespace: Any = None) -> Any:  # type: ignore[override]
        for arg in args if self.prog == PROG and args is not None else ():
            if not arg.startswith("-") or arg in (STDIO, "--"):
                break
            if self._unknown(arg):
                self.error(f"unrecognized arguments: {arg}")
        return super().parse_known_args(args, namespace)

    def _unknown(self, arg: str) -> bool:
        known = self._option_string_actions
        name = arg.split("=", 1)[0]
        if name in known:
            return False
        if name.startswith("--"):  # a long option may be shortened
            return not any(option.startswith(name) for option in known if option.startswith("--"))
        return not all(f"-{flag}" in known for flag in name[1:])  # short flags may be run together


def _kind_options(sub: argparse.ArgumentParser, default: str) -> None:
    """``--plain`` and ``--coded``: whether the document has a code table."""
    kind = sub.add_mutually_exclusive_group()
    kind.add_argument(
        "--plain", dest="coded", action="store_false", help=f"write every value as it is, with no code table{default}"
    )
    kind.add_argument("--coded", dest="coded", action="store_true", help="write with a code table")
    # The old name of --coded, from when the code table was called compression.
    kind.add_argument("--compress", dest="coded", action="store_true", help=argparse.SUPPRESS)
    sub.set_defaults(coded=None)


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

    parser = Parser(
        prog=PROG,
        parents=[common],
        description="Train, save, load and walk word chains kept as JSON documents.",
        epilog="Messages and progress go to stderr; a failure is one line there and exit status 2.",
    )
    parser.add_argument(
        "-V", "--version", action="version", version=f"{PROG} {tesmo.__version__}", help="print the version and exit"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(
        name: str,
        help: str,
        run: Callable[..., int],
        inputs: Callable[[argparse.Namespace], list[str]],
        output: Callable[[argparse.Namespace], str | None],
    ) -> argparse.ArgumentParser:
        """A subcommand, with what it reads and where its product goes ("-": stdout)."""
        sub = commands.add_parser(name, parents=[common], help=help, description=help[0].upper() + help[1:] + ".")
        sub.set_defaults(run=run, inputs_of=inputs, output_of=output)
        return sub

    demo = command(
        "demo",
        "train on the shipped corpus and round-trip the chain through every writer and reader",
        cmd_demo,
        lambda args: [],
        lambda args: STDIO,
    )
    demo.add_argument("--order", type=_positive, default=2, help="tokens per next start (default 2)")
    demo.add_argument("-n", "--sentences", type=_positive, default=3, help="sentences to print (default 3)")
    demo.add_argument("--seed", type=int, default=1, help="seed of the sentence walk (default 1)")

    train_cmd = command(
        "train",
        "train a chain on text files and save it",
        cmd_train,
        lambda args: [*args.corpus, *([args.into] if args.into else [])],
        lambda args: args.output or args.into,
    )
    # args.corpus holds what a command reads as text: checked and expanded before the work.
    train_cmd.add_argument("corpus", nargs="+", metavar="CORPUS", help=_CORPUS_HELP)
    train_cmd.add_argument("-o", "--output", metavar="MODEL", help=_OUTPUT_HELP + " (default with --into: that model)")
    train_cmd.add_argument(
        "--into", metavar="MODEL", help="add to the chain of this model, as merging it with the new one would"
    )
    train_cmd.add_argument(
        "--order", type=_positive, default=None, help="tokens per next start (default 2, or the order of --into)"
    )
    _kind_options(train_cmd, " (default: with one, or the kind of --into)")
    train_cmd.add_argument("--compact", action="store_true", help="write with the in-memory writer")
    train_cmd.add_argument("--force", action="store_true", help="train also on files that do not look like text")
    parallel = train_cmd.add_mutually_exclusive_group()
    parallel.add_argument(
        "-j",
        "--jobs",
        type=_positive,
        default=None,
        help=f"train shards of the corpora in this many processes (default 1); corpora under "
        f"{PARALLEL_MIN >> 20} MiB, or that would not be done sooner, are trained in one",
    )
    parallel.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="train the shards on the workers of this Dask scheduler (tcp://host:8786; needs the dask extra); "
        "they read the corpora where the names say, an URL or a path they share",
    )
    train_cmd.add_argument(
        "--shard-size",
        type=_positive,
        default=None,
        metavar="BYTES",
        help="bytes per shard with --jobs or --scheduler (default: the corpora split evenly across the jobs, "
        f"1 to 64 MiB a shard); given, the shards are trained in parallel also under {PARALLEL_MIN >> 20} MiB",
    )

    generate = command(
        "generate",
        "print sentences walked from a saved chain",
        cmd_generate,
        lambda args: [args.model, *args.corpus],
        lambda args: STDIO,
    )
    generate.epilog = (
        "Exit status: 0 when every sentence was made, 1 when only some were (a line on stderr says how many "
        "were not), 2 when none were or on any other failure."
    )
    generate.add_argument("model", metavar="MODEL", help=_MODEL_HELP)
    generate.add_argument("-n", "--sentences", type=_positive, default=5, help="sentences to print (default 5)")
    generate.add_argument("--seed", type=int, default=None, help="the same seed gives the same text")
    generate.add_argument(
        "--start", metavar="WORDS", help="begin every sentence with these words (the model must know how to go on)"
    )
    generate.add_argument(
        "--min-words", type=_count, default=1, metavar="N", help="make sentences of at least N words (default 1)"
    )
    generate.add_argument(
        "--max-words",
        type=_positive,
        default=100,
        metavar="N",
        help="make sentences of at most N words (default 100); a longer one is walked again, never cut off",
    )
    generate.add_argument(
        "--tries",
        type=_positive,
        default=10,
        metavar="N",
        help="walks per sentence before giving it up (default 10)",
    )
    generate.add_argument(
        "--novel",
        dest="corpus",
        action="append",
        default=[],
        metavar="CORPUS",
        help="reject sentences that copy --overlap tokens in a row of this corpus (may be given more than once): "
        + _CORPUS_HELP,
    )
    generate.add_argument(
        "--force", action="store_true", help="read --novel corpora also when they do not look like text"
    )
    generate.add_argument(
        "--overlap",
        type=_positive,
        default=None,
        metavar="N",
        help="with --novel: the run of tokens a sentence may not copy (default 15)",
    )

    inspect = command(
        "inspect",
        "describe a document without keeping its chain",
        cmd_inspect,
        lambda args: [args.model],
        lambda args: STDIO,
    )
    inspect.add_argument("model", metavar="MODEL", help=_MODEL_HELP)

    convert = command(
        "convert",
        "rewrite a document coded or plain, compressed or not (in place too)",
        cmd_convert,
        lambda args: [args.input],
        lambda args: args.output,
    )
    convert.add_argument("input", metavar="IN", help=_MODEL_HELP)
    convert.add_argument("output", metavar="OUT", help=_OUTPUT_HELP + "; may be IN")
    _kind_options(convert, " (default: the kind of IN)")

    merge = command(
        "merge",
        "add the counts of several documents into one",
        cmd_merge,
        lambda args: args.inputs,
        lambda args: args.output,
    )
    merge.add_argument("inputs", nargs="+", metavar="IN", help=_MODEL_HELP)
    merge.add_argument("-o", "--output", required=True, metavar="OUT", help=_OUTPUT_HELP + "; not one of IN")
    _kind_options(merge, " (default: with one)")
    return parser


def commands_of(parser: argparse.ArgumentParser) -> Any:
    """The action that holds the subcommands' parsers."""
    return next(action for action in parser._actions if action.dest == "command")


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments of ``argv``, or SystemExit after the usage and an error on stderr."""
    parser = build_parser()
    args = parser.parse_args(sys.argv[1:] if argv is None else list(argv))
    if args.command == "train" and args.output is None and args.into is None:
        commands_of(parser).choices["train"].error("one of the arguments -o/--output --into is required")
    if args.command == "generate":
        usage = commands_of(parser).choices["generate"]
        if args.min_words > args.max_words:
            usage.error(f"--min-words {args.min_words} is more than --max-words {args.max_words}")
        if args.overlap is not None and not args.corpus:
            usage.error("--overlap needs --novel")
        if [args.model, *args.corpus].count(STDIO) > 1:
            usage.error("stdin can be read only once: name - only once")
        args.overlap = args.overlap or 15
    return args
