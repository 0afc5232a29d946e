"""Sums up a callgrind profile of one tesmo_cjson call, per choice.

    python bench/callgrind_summary.py OUT_FILE CHOICES

Prints the total instructions per choice, the instructions executed in the
module's own code (inlined CPython header code included), and for every
function of the module its own cost and the inclusive cost of each function
it calls: the encoder, the parser, the chain's and the bags' operations, the
file's ``write`` and the CPython API (tuple and dict building, lookups,
deallocation, and the garbage collections that these allocations set off).
Reads ``callgrind_annotate`` output, so valgrind's tools must be installed.
"""

from __future__ import annotations

import re
import subprocess
import sys
from collections import defaultdict
from collections.abc import Sequence

# "  1,234 (12.3%)  *  path:function [object]" or "  >  path:function (5x) [object]"
_LINE = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+([*><])?\s*(.*)$")
_CALLS = re.compile(r" \(([\d,]+)x\)$")


def _function(location: str) -> tuple[str, int]:
    """The function name of a 'path:function (Nx) [object]' entry, and N."""
    location = re.sub(r" \[[^\]]*\]$", "", location)
    calls = 0
    match = _CALLS.search(location)
    if match:
        calls = int(match.group(1).replace(",", ""))
        location = location[: match.start()]
    _, _, name = location.partition(":")
    return (name or location), calls


def _is_module(name: str) -> bool:
    return name.startswith("pjson::") or name.startswith("PyInit_tesmo_cjson")


def _annotate(path: str, *options: str) -> list[str]:
    return subprocess.run(
        ["callgrind_annotate", "--threshold=100", "--auto=no", *options, path],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.splitlines()


Profile = dict[str, dict[str, list[int]]]  # module function -> callee -> [cost, calls]


def summarise(path: str) -> tuple[int, dict[str, int], Profile]:
    """Total cost, each module function's own cost, and its callees' costs."""
    total = 0
    own: dict[str, int] = defaultdict(int)
    for line in _annotate(path):
        match = _LINE.match(line)
        if not match:
            continue
        cost = int(match.group(1).replace(",", ""))
        name = _function(match.group(3))[0]
        if "PROGRAM TOTALS" in line:
            total = cost
        elif _is_module(name):
            own[name] += cost
    callees: Profile = defaultdict(lambda: defaultdict(lambda: [0, 0]))
    caller: str | None = None
    for line in _annotate(path, "--tree=calling", "--inclusive=yes"):
        match = _LINE.match(line)
        if not match:
            continue
        name, calls = _function(match.group(3))
        if match.group(2) == "*":
            caller = name if _is_module(name) else None
        elif match.group(2) == ">" and caller is not None:
            entry = callees[caller][name]
            entry[0] += int(match.group(1).replace(",", ""))
            entry[1] += calls
    return total, own, callees


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if len(args) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    path, choices = args[0], int(args[1])
    total, own, callees = summarise(path)
    own_total = sum(own.values())
    print(
        f"{path}: {total / choices:,.0f} instructions per choice in all, "
        f"{own_total / choices:,.0f} of them in the module's own code ({100 * own_total / total:.0f}%)"
    )
    print(
        "per module function: own cost, then each callee's inclusive cost "
        "(instructions per choice, share of the total, calls per choice)"
    )
    for caller in sorted(callees, key=lambda name: -sum(cost for cost, _ in callees[name].values()) - own[name]):
        inclusive = own[caller] + sum(cost for cost, _ in callees[caller].values())
        if inclusive / total < 0.005:
            continue
        print(f"  {caller}: own {own[caller] / choices:,.0f} ({100 * own[caller] / total:.1f}%)")
        for name, (cost, calls) in sorted(callees[caller].items(), key=lambda item: -item[1][0]):
            if cost / total >= 0.005:
                print(f"    {cost / choices:9,.0f}  {100 * cost / total:5.1f}%  {calls / choices:6.2f}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
