"""Runs one tesmo_cjson function once on workload (b) with the cheap doubles.

Meant to run under callgrind with collection limited to that function (see
bench/profile.md):

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect='*::dump_json_small(*' \\
        "$PY" bench/callgrind_driver.py dump_json_small --choices 200000

Readers get their document from the matching writer, which runs uncollected.
The last line printed is the number of choices, to divide the total by.
``--real`` takes the native ``tesmo.chain.Chain`` instead of the doubles
(writers write to a StringIO, readers fill a fresh Chain), so the direct
paths run; ``--chain-so`` loads the chain module from a build with symbols.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import io
import sys
from collections.abc import Sequence
from types import ModuleType

from doubles import CheapReaderChain, ListFile, NullBag

FUNCTIONS = ("dump_json_small", "load_json_small", "dump_json_big", "load_json_big")


def load_module(path: str | None, name: str = "tesmo_cjson") -> ModuleType:
    """The installed module ``name``, or the build at ``path`` (one with symbols, for callgrind).

    An editable install's import hook outranks PYTHONPATH, so another build
    is loaded from its file directly.
    """
    if path is None:
        return importlib.import_module(name)
    found = importlib.util.spec_from_file_location(name, path)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("function", choices=FUNCTIONS)
    parser.add_argument("--plain", action="store_true", help="plain documents instead of compressed ones")
    parser.add_argument("--choices", type=int, default=1_000_000, help="size of workload (b) (default 1,000,000)")
    parser.add_argument("--so", help="load the module from this built .so instead of the installed one")
    parser.add_argument("--real", action="store_true", help="the native tesmo.chain.Chain instead of the doubles")
    parser.add_argument("--chain-so", help="load tesmo._chain from this built .so instead of the installed one")
    args = parser.parse_args(argv)
    # Before anything imports the tesmo package, which would import the installed chain module.
    if args.chain_so:
        load_module(args.chain_so, "tesmo._chain")
    from workloads import synthetic_workload

    tesmo_cjson = load_module(args.so)
    compressed = not args.plain
    workload = synthetic_workload(args.choices)
    chain = workload.real_chain() if args.real else workload.cheap_chain()
    function = getattr(tesmo_cjson, args.function)
    print(f"{args.function} from {tesmo_cjson.__file__}", file=sys.stderr)
    if args.function.startswith("dump"):
        arguments = (chain, io.StringIO() if args.real else ListFile(), compressed)
    else:
        writer = getattr(tesmo_cjson, args.function.replace("load", "dump"))
        document = io.StringIO()
        writer(chain, document, compressed)
        text = document.getvalue()
        file = io.StringIO(text) if args.function == "load_json_small" else io.BytesIO(text.encode())
        if args.real:
            arguments = (type(chain)(), file)
        else:
            tesmo_cjson.ProbabilityBag = NullBag
            arguments = (CheapReaderChain(), file)
    # As in the timing scripts: collections triggered during the call do not walk the
    # workload itself, only what the call allocates.
    gc.collect()
    gc.freeze()
    function(*arguments)
    print(workload.choices)
    return 0


if __name__ == "__main__":
    sys.exit(main())
