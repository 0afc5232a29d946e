"""Corpora named by URLs, and shards trained on a Dask cluster, against one process training local files."""

import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from test_cli_commands import SHIPPED, ok, one_line_error, tesmo_run
from test_shards import document, one_pass

from tesmo.shards import train_files


def without(tmp_path, module):
    """An environment in which importing ``module`` fails, as where it is not installed."""
    shim = tmp_path / "shim"
    shim.mkdir(exist_ok=True)
    (shim / f"{module}.py").write_text(f"raise ImportError({'No module named ' + module!r})\n")
    return {**os.environ, "PYTHONPATH": str(shim)}


def run(argv, env):
    return subprocess.run([sys.executable, "-m", "tesmo", *map(str, argv)], capture_output=True, env=env, timeout=120)


def test_urls_need_fsspec_and_their_protocol_before_any_work(tmp_path):
    big = tmp_path / "big.txt"
    big.write_bytes(SHIPPED.read_bytes() * 8)
    url = f"file://{big}"
    one_line_error(
        run(["train", big, url, "-o", tmp_path / "m.json"], without(tmp_path, "fsspec")),
        re.escape(f"{url}: reading URLs needs the fsspec package (pip install fsspec)"),
    )
    pytest.importorskip("fsspec")
    one_line_error(
        tesmo_run("train", big, "nosuchproto://x/c.txt", "-o", tmp_path / "m.json"), "nosuchproto://x/c.txt: .*"
    )
    one_line_error(
        tesmo_run("train", big, f"file://{tmp_path}/none.txt", "-o", tmp_path / "m.json"),
        re.escape(f"cannot read file://{tmp_path}/none.txt: No such file or directory"),
    )
    assert not (tmp_path / "m.json").exists()
    # A file read through fsspec, by the command and by its workers, trains as the file itself.
    expected = ok("train", big, "-o", "-").stdout
    assert ok("train", url, "-o", "-").stdout == expected
    assert ok("train", url, "-o", "-", "--jobs", 2, "--shard-size", 300_000).stdout == expected


def test_shards_of_a_file_behind_an_url_are_ranges_read_where_it_lies(tmp_path):
    fsspec = pytest.importorskip("fsspec")
    data = SHIPPED.read_bytes()[:120_000]
    (tmp_path / "c.txt").write_bytes(data)
    with fsspec.open("memory://corpora/c.txt", "wb") as file:
        file.write(data)
    with ThreadPoolExecutor(2) as threads:
        chain = train_files(["memory://corpora/c.txt"], 2, threads, 10_000, workers=2, always_parallel=True)
    assert document(chain) == one_pass([str(tmp_path / "c.txt")], 2)


def test_a_scheduler_needs_the_dask_extra_and_an_address_it_can_reach(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_bytes(SHIPPED.read_bytes())
    argv = ["train", corpus, "-o", tmp_path / "m.json", "--scheduler"]
    one_line_error(
        run([*argv, "tcp://127.0.0.1:8786"], without(tmp_path, "distributed")),
        re.escape("--scheduler needs the dask extra (pip install 'tesmo[dask]')"),
    )
    pytest.importorskip("distributed")
    one_line_error(tesmo_run(*argv, "nosuch://x:1"), "cannot reach the scheduler at nosuch://x:1: unknown address .*")
    assert tesmo_run(*argv, "tcp://x:1", "--jobs", 2).returncode == 2  # one or the other
    assert not (tmp_path / "m.json").exists()


def test_a_cluster_trains_the_bytes_of_one_process(tmp_path):
    distributed = pytest.importorskip("distributed")
    corpus = tmp_path / "c.txt"
    corpus.write_bytes(SHIPPED.read_bytes() * 20)
    expected = ok("train", corpus, "-o", "-").stdout
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        assert ok("train", corpus, f"file://{corpus}", "-o", "-", "--scheduler", cluster.scheduler_address).stdout == (
            ok("train", corpus, corpus, "-o", "-").stdout
        )
        done = ok("train", corpus, "-o", "-", "--scheduler", cluster.scheduler_address, "--shard-size", 200_000)
    assert done.stdout == expected
