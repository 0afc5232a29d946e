"""Sharded training against the one-pass training it must reproduce byte for byte."""

import gzip
import io
import multiprocessing
import os
import tempfile
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from importlib import resources
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tesmo_cjson
from tesmo import shards
from tesmo.chain import Chain
from tesmo.shards import PARALLEL_MIN, ProcessPool, plan_here, plan_shards, train_files
from tesmo.train import Utf8Text, tokenize, train

SHIPPED = resources.files("tesmo") / "data" / "corpus.txt"


def document(chain):
    out = io.StringIO()
    tesmo_cjson.dump_json_big(chain, out, False)
    return out.getvalue()


def one_pass(paths, order, split=None):
    def texts():
        for path in paths:
            with open(path, "rb") as file:
                text = Utf8Text(file, 1 << 16)
                yield text
                if split is not None:
                    split.append(text.split_tokens)

    return document(train(Chain(), tokenize(texts()), order))


# Words, digits, stops, closing quotes and brackets, spaces, line breaks,
# non-ASCII letters and whitespace, bytes that are not UTF-8, words whose dot
# ends nothing (abbreviations, initials, numbered clauses), and long runs.
PARTS = [
    b"Mr",
    b"A",
    b"e.g",
    b"Ok",
    "\u3002".encode(),
    "\u2026".encode(),
    b"y" * 60,
    b"word",
    b"Ab",
    b"x",
    b"2",
    b"0",
    b".",
    b"!",
    b"?",
    b"...",
    b'"',
    b"'",
    b")",
    b"]",
    b"(",
    "\u2019".encode(),
    "\u201d".encode(),
    b" ",
    b"  ",
    b"\n",
    b"\r\n",
    b"\t",
    "\u00e9t\u00e9".encode(),
    "\u00a0".encode(),
    b"\xff",
    b"\xe2\x80",
    b"-",
]
corpora = st.lists(st.lists(st.sampled_from(PARTS), max_size=60).map(b"".join), max_size=4)


@settings(max_examples=400, deadline=None)
@given(
    corpora,
    st.integers(1, 40),
    st.integers(1, 4),
    st.sampled_from([1, 5, 16, 1 << 16]),
    st.sampled_from([None, 1, 3]),
)
def test_shards_of_any_size_join_into_the_one_pass_chain(texts, shard_size, order, scan, workers):
    # A small scan makes the search for cuts, and for a shard's last tokens
    # from its end backwards, take many steps. Shards trained by workers come
    # back as snapshots and are joined; the others are trained into the chain.
    # The threads end with each example: a thread left running would make the
    # process pools of later tests fork a multi-threaded process.
    with (
        tempfile.TemporaryDirectory() as directory,
        mock.patch.object(shards, "_SCAN", scan),
        ThreadPoolExecutor(2) as threads,
    ):
        paths = []
        for index, data in enumerate(texts):
            paths.append(os.path.join(directory, f"{index}.txt"))
            with open(paths[-1], "wb") as file:
                file.write(data)
        split, expected_split = [], []
        chain = train_files(
            paths,
            order,
            None if workers is None else threads,
            shard_size,
            lambda shard, result: split.extend(result.split),
            workers or 1,
            always_parallel=True,
        )
        assert document(chain) == one_pass(paths, order, expected_split)
        assert sum(split) == sum(expected_split)


# Stops that end a sentence beside ones that do not: abbreviations, initials,
# numbered clauses, a stray stop before any sentence, closing quotes.
TRAPS = (
    '?..." "Go" x. Mr. Smith met J. Ok. A. B. Yes? 7. Seven e.g. so.\n8. Eight... "Ok." (Ok!) '
    "\u2026\u201d Ok\u3002\u300d Ok. etc. Vs. vs.. ab. Ab. Abc."
).encode()


@pytest.mark.parametrize("order", [1, 2])
def test_a_file_cut_anywhere_joins_into_the_one_pass_chain(tmp_path, order):
    path = tmp_path / "traps.txt"
    path.write_bytes(TRAPS)
    expected = one_pass([str(path)], order)
    for shard_size in range(1, len(TRAPS)):
        assert document(train_files([str(path)], order, None, shard_size)) == expected, shard_size


def test_large_files_are_cut_at_sentence_ends_and_small_ones_grouped(tmp_path):
    big, small = tmp_path / "big.txt", tmp_path / "small.txt"
    big.write_bytes(SHIPPED.read_bytes())
    small.write_bytes(b"Small. File")
    shards = plan_shards([str(small), str(big), str(small), str(small)], 20_000)
    ranges = [(piece.start, piece.stop) for shard in shards for piece in shard if piece.path == str(big)]
    assert len(ranges) == 13 and ranges[0][0] == 0 and ranges[-1][1] is None
    data = big.read_bytes()
    for (_, stop), (start, _) in zip(ranges, ranges[1:], strict=False):
        assert (
            stop == start
            and data[stop - 1 : stop].isspace()
            and data[: stop - 1].rstrip(b"\"')]").endswith((b".", b"!", b"?"))
        )
    # The first small file is a shard of its own, as the big one's first range would overfill it;
    # the big one's last range and the last two small ones share one.
    assert [len(shard) for shard in shards][:: len(shards) - 1] == [1, 3]


# No case forks this process while a thread of an earlier one may still be
# ending: a child forked then can inherit a lock of the allocator held, which
# the sanitizer build's allocator does not guard against. Tesmo's pool forks
# first; the standard pool starts its workers from a server; threads last.
@pytest.mark.parametrize(
    "make",
    [
        lambda: ProcessPool(2),
        lambda: ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")),
        lambda: ThreadPoolExecutor(2),
    ],
    ids=["tesmo-pool", "processes", "threads"],
)
def test_any_executor_gives_the_one_pass_chain(tmp_path, make):
    (tmp_path / "a.txt").write_bytes(SHIPPED.read_bytes()[:150_000])
    (tmp_path / "b.txt").write_bytes(b"A short one. Without an end")
    paths = [str(tmp_path / "a.txt"), str(tmp_path / "b.txt")]
    executor = make()
    joined = []
    try:
        chain = train_files(paths, 2, executor, 10_000, lambda s, r: joined.append(r.snapshot), 2, always_parallel=True)
        assert document(chain) == one_pass(paths, 2)
    finally:
        executor.shutdown()
    # This process trained a first share; the workers' chains came back as snapshots.
    assert joined[0] is None and joined[-1] is not None and isinstance(joined[-1][0], bytes)


def test_a_dask_cluster_gives_the_one_pass_chain(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    (tmp_path / "a.txt").write_bytes(SHIPPED.read_bytes()[:100_000])
    paths = [str(tmp_path / "a.txt")]
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        chain = train_files(paths, 3, client.get_executor(), 10_000, workers=2, always_parallel=True)
    assert document(chain) == one_pass(paths, 3)


@given(st.lists(st.sampled_from(PARTS), max_size=40).map(b"".join), st.integers(1, 8))
def test_undecodable_bytes_are_counted_as_they_are_replaced(data, chunk_size):
    text = Utf8Text(io.BytesIO(data), chunk_size)
    assert "".join(text) == data.decode("utf-8", "replace")
    # surrogateescape turns each byte that is not UTF-8 into one lone surrogate.
    assert text.replaced == sum(0xDC80 <= ord(c) <= 0xDCFF for c in data.decode("utf-8", "surrogateescape"))


def test_no_worker_gets_a_shard_where_one_process_is_done_first(tmp_path):
    small, big, packed = tmp_path / "small.txt", tmp_path / "big.txt", tmp_path / "packed.txt.gz"
    small.write_bytes(SHIPPED.read_bytes())
    big.write_bytes(SHIPPED.read_bytes() * (PARALLEL_MIN // len(SHIPPED.read_bytes()) * 3))
    packed.write_bytes(gzip.compress(big.read_bytes(), 1))
    # Under PARALLEL_MIN bytes, and a large file that cannot be cut beside a small one.
    for paths in ([small], [small, packed]):
        assert all(plan_here(plan_shards(list(map(str, paths)), 100_000), 1))
    # Larger corpora: this process trains a first run of shards, the less the more workers there are.
    here = plan_here(plan_shards([str(big)], 1 << 20), 1)
    assert here[0] and not here[-1] and here == sorted(here, reverse=True)
    assert sum(plan_here(plan_shards([str(big)], 1 << 20), 40)) < sum(here)
