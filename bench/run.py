"""Runs every benchmark script, one after the other, and writes RESULTS.md.

    python bench/run.py                         # full run (a few hours on 2 cores)
    python bench/run.py --quick                 # every script at its small setting
    python bench/run.py --only anchors per_function --output /tmp/results.md

Each script answers one question and runs in its own interpreter; their
output goes into one section each, under a summary of every target they
checked (a script notes its targets in the file that run.py names in the
environment). ``check_calls.py`` runs first: if the native module and
bench/reference.py disagree, nothing is timed. A script that cannot run on
this machine (a backend missing) is left out, with its reason; one that fails
leaves the tail of its error output in its section and the run goes on.
"""

from __future__ import annotations

import argparse
import ast
import json
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from dataclasses import dataclass

from common import BENCH_DIR, SKIPPED, TARGETS_ENV, describe_machine, table


@dataclass
class Step:
    """One script run: its file, its arguments, the same at the quick setting."""

    script: str
    args: tuple[str, ...] = ()
    quick: tuple[str, ...] = ("--quick",)
    memory: bool = False
    chart: bool = False

    @property
    def name(self) -> str:
        return self.script.removesuffix(".py")

    def command(self, quick: bool) -> list[str]:
        return [self.script, *self.args, *(self.quick if quick else ())]


STEPS = [
    Step("check_calls.py", quick=()),
    Step("per_function.py"),
    Step("parser_backends.py"),
    Step("streaming_fast.py"),
    Step("compact_fast.py"),
    Step("alternatives.py"),
    Step("anchors.py", chart=True),
    Step("native_chain.py", chart=True),
    Step("shards.py"),
    Step("peak_memory.py", memory=True),
    Step("compact_memory.py", memory=True),
    Step("streaming_memory.py", memory=True),
    Step("streaming_memory.py", ("--general",), memory=True),
    Step("streaming_memory.py", ("--fresh",), memory=True),
]


def question(script: str) -> str:
    """The first line of the script's docstring: the question it answers."""
    with open(os.path.join(BENCH_DIR, script), encoding="utf-8") as file:
        docstring = ast.get_docstring(ast.parse(file.read())) or script
    return docstring.splitlines()[0]


def as_markdown(output: str) -> str:
    """Tables and headings as they are; runs of plain lines in a text block, so they keep their lines."""
    blocks: list[str] = []
    plain: list[str] = []

    def flush() -> None:
        while plain and not plain[-1].strip():
            plain.pop()
        if plain:
            blocks.append("```text\n" + "\n".join(plain) + "\n```")
        plain.clear()

    for line in output.splitlines():
        if line.startswith(("|", "#")):
            flush()
            if line.startswith("#") or not blocks or not blocks[-1].startswith("|"):
                blocks.append(line)
            else:
                blocks[-1] += "\n" + line
        elif line.strip() or plain:
            plain.append(line)
    flush()
    return "\n\n".join(blocks)


def run_step(step: Step, quick: bool, chart: str | None, env: dict[str, str]) -> tuple[str, int]:
    """Run one script, echoing its output as it comes; its section of the results and its exit status."""
    # The scripts run in bench/, so a chart beside the results is named from there.
    command = step.command(quick) + (["--chart", os.path.relpath(chart, BENCH_DIR)] if chart else [])
    shown = "python bench/" + " ".join(command)
    print(f"\n>>> {shown}", file=sys.stderr, flush=True)
    started = time.perf_counter()
    with tempfile.TemporaryFile("w+") as errors:
        process = subprocess.Popen(
            [sys.executable, *command], cwd=BENCH_DIR, stdout=subprocess.PIPE, stderr=errors, text=True, env=env
        )
        assert process.stdout is not None
        lines = []
        for line in process.stdout:
            sys.stderr.write(line)
            lines.append(line)
        status = process.wait()
        errors.seek(0)
        error_text = errors.read()
    seconds = time.perf_counter() - started
    heading = question(step.script) + (f" ({' '.join(step.args)})" if step.args else "")
    parts = [f"## {heading}", f"`{shown}`, {seconds:.0f} s"]
    if status == SKIPPED:
        parts.append(error_text.strip() or "left out")
    else:
        parts.append(as_markdown("".join(lines)))
        if status:
            tail = "\n".join(error_text.rstrip().splitlines()[-15:])
            parts.append(f"FAILED (exit status {status}):\n\n```text\n{tail}\n```")
            print(error_text, file=sys.stderr)
        if chart and os.path.exists(chart):
            parts.append(f"![{step.name}]({os.path.basename(chart)})")
    return "\n\n".join(parts), status


def chart_path(output: str, step: Step) -> str | None:
    """Charts go beside the results: bench's own names for bench/RESULTS.md, prefixed by the output's name otherwise."""
    if not step.chart:
        return None
    directory, name = os.path.split(os.path.abspath(output))
    if os.path.abspath(output) == os.path.join(BENCH_DIR, "RESULTS.md"):
        return os.path.join(directory, f"{step.name}.png")
    return os.path.join(directory, f"{os.path.splitext(name)[0]}.{step.name}.png")


def summary(targets_file: str) -> str:
    """Every target the scripts checked, in the order they checked them."""
    with open(targets_file, encoding="utf-8") as file:
        rows = [json.loads(line) for line in file if line.strip()]
    if not rows:
        return "No script checked a target."
    cells = [[row["script"], row["target"], row["measured"], "met" if row["met"] else "MISSED"] for row in rows]
    missed = sum(not row["met"] for row in rows)
    return f"{len(rows) - missed} of {len(rows)} met.\n\n" + table(["script", "target", "measured", ""], cells)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="every script at its small setting")
    parser.add_argument("--only", nargs="+", metavar="SCRIPT", help="run only these scripts (names without .py)")
    parser.add_argument("--skip", nargs="+", default=[], metavar="SCRIPT", help="leave out these scripts")
    parser.add_argument("--skip-memory", action="store_true", help="leave out the peak-memory scripts")
    parser.add_argument("--output", default=os.path.join(BENCH_DIR, "RESULTS.md"), help="default: bench/RESULTS.md")
    args = parser.parse_args(argv)
    names = {step.name for step in STEPS}
    unknown = (set(args.only or ()) | set(args.skip)) - names
    if unknown:
        parser.error(f"no such script: {', '.join(sorted(unknown))} (scripts: {', '.join(sorted(names))})")
    steps = [
        step
        for step in STEPS
        if (args.only is None or step.name in args.only or step.name == "check_calls")
        and step.name not in args.skip
        and not (args.skip_memory and step.memory)
    ]

    started = time.perf_counter()
    sections = []
    with tempfile.NamedTemporaryFile("w+", prefix="tesmo-targets-", suffix=".jsonl", delete=False) as targets:
        targets_file = targets.name
    try:
        env = dict(os.environ, **{TARGETS_ENV: targets_file})
        for step in steps:
            section, status = run_step(step, args.quick, chart_path(args.output, step), env)
            sections.append(section)
            if step.name == "check_calls" and status:
                sections.append("Nothing was timed: the native module and bench/reference.py disagree.")
                break
        target_summary = summary(targets_file)
    finally:
        os.remove(targets_file)
    head = [
        "# Benchmark results",
        "```text\n" + describe_machine() + "\n```",
        f"{'Quick run' if args.quick else 'Full run'} of {len(steps)} scripts by `python bench/run.py"
        f"{' --quick' if args.quick else ''}`, {time.perf_counter() - started:.0f} s in all. Every script checks "
        "that what it compares gives the same documents and chains before it times anything, and takes each "
        "ratio side by side in one run.",
        "## Targets",
        target_summary,
    ]
    with open(args.output, "w", encoding="utf-8") as out:
        out.write("\n\n".join(head + sections) + "\n")
    print(f"\nwrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
