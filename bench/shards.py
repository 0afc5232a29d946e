"""Does sharded training pay: `tesmo train --jobs 2` against one job, and a two-worker Dask cluster against one?

For each corpus size (varied text, built as bench/anchors.py builds it):

- ``tesmo train CORPUS -o MODEL`` with ``--jobs 1`` and ``--jobs 2``, each a
  fresh process, the best of the repeats; the two models must be the same
  bytes. ``--parallel`` also runs ``--jobs 2`` with two shards forced
  (``--shard-size``), which trains in parallel below the size where the
  command itself stops doing so: where the two lines cross is that size.
- ``train_files`` in one process against ``train_files`` on a running
  ``LocalCluster`` of two single-threaded worker processes (the dask
  extra), the cluster started beforehand; the chains must be equal.

Target: ``--jobs 2`` at least 1.6x one job on 300 MB of varied text, and
never slower than one job.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence

from common import describe_machine, record_target, table, varied_corpus

from tesmo.chain import Chain
from tesmo.shards import PARALLEL_MIN, train_files

GOAL = 1.6
GOAL_MB = 300


def best_run(argv: Sequence[str], repeats: int) -> float:
    """Seconds of the fastest of ``repeats`` runs of the command line (start-up included)."""
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "tesmo", *argv], check=True)
        best = min(best, time.perf_counter() - started)
    return best


def best_call(call, repeats: int) -> tuple[float, Chain]:
    best, result = float("inf"), None
    for _ in range(repeats):
        started = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - started)
    return best, result


def command_rows(corpus: str, size: int, directory: str, repeats: int, parallel: bool) -> list[list[str]]:
    models = {jobs: os.path.join(directory, f"jobs{jobs}.json") for jobs in (1, 2)}
    one = best_run(["train", corpus, "-o", models[1], "--jobs", "1"], repeats)
    two = best_run(["train", corpus, "-o", models[2], "--jobs", "2"], repeats)
    with open(models[1], "rb") as a, open(models[2], "rb") as b:
        if a.read() != b.read():
            raise AssertionError(f"{size / 1e6:.0f} MB: --jobs 2 wrote another model than --jobs 1")
    row = [f"{size / 1e6:.0f}", f"{one:.2f}", f"{two:.2f}", f"{one / two:.2f}x"]
    if parallel:
        forced = best_run(
            ["train", corpus, "-o", models[2], "--jobs", "2", "--shard-size", str(size // 2 + 1)], repeats
        )
        row.append(f"{forced:.2f} ({one / forced:.2f}x)")
    met = two <= one * 1.05
    if size >= GOAL_MB * 1e6 * 0.95:
        met = met and one / two >= GOAL
        row.append(
            record_target("shards.py", f"--jobs 2 at least {GOAL}x one job on {GOAL_MB} MB", f"{one / two:.2f}x", met)
        )
    else:
        row.append(record_target("shards.py", f"--jobs 2 not slower than one job ({size / 1e6:.0f} MB)", "", met))
    return row


def cluster_rows(corpora: Sequence[tuple[str, int]], repeats: int) -> list[list[str]]:
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("no Dask rows: the dask extra is not installed (pip install 'tesmo[dask]')", file=sys.stderr)
        return []
    started = time.perf_counter()
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        start_up = time.perf_counter() - started
        executor = client.get_executor()
        rows = []
        for corpus, size in corpora:
            here, chain = best_call(lambda: train_files([corpus], 2), repeats)
            there, joined = best_call(lambda: train_files([corpus], 2, executor, workers=2), repeats)
            if joined != chain:
                raise AssertionError(f"{size / 1e6:.0f} MB: the cluster's chain differs from one process's")
            rows.append([f"{size / 1e6:.0f}", f"{here:.2f}", f"{there:.2f}", f"{here / there:.2f}x"])
    print(f"(the cluster started in {start_up:.1f} s, before the timings)")
    return rows


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, nargs="+", help="corpus sizes in MB (default 2 4 8 16 32 64 128 300)")
    parser.add_argument("--quick", action="store_true", help="2, 4, 8 and 16 MB, three repeats")
    parser.add_argument("--repeats", type=int, help="runs per measurement, the best kept (default 2; quick 3)")
    parser.add_argument("--parallel", action="store_true", help="also --jobs 2 with two shards forced")
    parser.add_argument("--cluster-mb", type=float, nargs="*", help="sizes for the Dask rows (default 16 64)")
    parser.add_argument("--dir", default=None, help="where to put corpora and models (default: the temp dir)")
    args = parser.parse_args(argv)
    sizes = args.mb or ([2, 4, 8, 16] if args.quick else [2, 4, 8, 16, 32, 64, 128, 300])
    # One run of a second or two swings by more than the 5% a check allows.
    repeats = args.repeats or (3 if args.quick else 2)
    cluster_sizes = args.cluster_mb if args.cluster_mb is not None else ([8] if args.quick else [16, 64])
    print(describe_machine())
    print(f"parallel training from {PARALLEL_MIN / 2**20:g} MiB; {repeats} repeat(s), the best kept\n")
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        corpora = {}
        for mb in sorted(set(sizes) | set(cluster_sizes)):
            path = os.path.join(directory, f"varied-{mb:g}.txt")
            corpora[mb] = (path, varied_corpus(path, mb))
        rows = [command_rows(*corpora[mb], directory, repeats, args.parallel) for mb in sizes]
        headers = ["MB", "--jobs 1 s", "--jobs 2 s", "speed-up"] + (["2 shards forced"] if args.parallel else [])
        print("### tesmo train: --jobs 2 against one job (end to end, model written)\n")
        print(table([*headers, ""], rows))
        cluster = cluster_rows([corpora[mb] for mb in cluster_sizes], repeats)
        if cluster:
            print("\n### train_files: a two-worker LocalCluster against one process\n")
            print(table(["MB", "one process s", "cluster s", "speed-up"], cluster))
    return 0


if __name__ == "__main__":
    sys.exit(main())
