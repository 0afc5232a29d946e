"""The argument parser of the ``tesmo`` command."""

from __future__ import annotations

import argparse
from collections.abc import Callable

import tesmo
from tesmo.cli.convert import cmd_convert
from tesmo.cli.demo import cmd_demo
from tesmo.cli.errors import PROG
from tesmo.cli.generate import cmd_generate
from tesmo.cli.inspect import cmd_inspect
from tesmo.cli.merge import cmd_merge
from tesmo.cli.train import cmd_train
from tesmo.streams import STDIO


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

    def command(
        name: str,
        help: str,
        run: Callable[..., int],
        inputs: Callable[[argparse.Namespace], list[str]],
        output: Callable[[argparse.Namespace], str],
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
        lambda args: args.corpus,
        lambda args: args.output,
    )
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

    generate = command(
        "generate",
        "print sentences walked from a saved chain",
        cmd_generate,
        lambda args: [args.model],
        lambda args: STDIO,
    )
    generate.add_argument("model", metavar="MODEL", help=_MODEL_HELP)
    generate.add_argument("-n", "--sentences", type=_positive, default=5, help="sentences to print (default 5)")
    generate.add_argument("--seed", type=int, default=None, help="the same seed gives the same text")

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
        "rewrite a document compressed or plain (in place too)",
        cmd_convert,
        lambda args: [args.input],
        lambda args: args.output,
    )
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

    merge = command(
        "merge",
        "add the counts of several documents into one",
        cmd_merge,
        lambda args: args.inputs,
        lambda args: args.output,
    )
    merge.add_argument("inputs", nargs="+", metavar="IN", help=_MODEL_HELP)
    merge.add_argument("-o", "--output", required=True, metavar="OUT", help=_OUTPUT_HELP + "; not one of IN")
    merge.add_argument("--plain", action="store_true", help="write without a code table")
    return parser
