"""The ``tesmo`` command end to end, run as a user runs it: a process of its own."""

import bz2
import gzip
import io
import lzma
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from functools import partial
from importlib import resources

import pytest

import tesmo
import tesmo_cjson
from tesmo.chain import Chain

SHIPPED = resources.files("tesmo") / "data" / "corpus.txt"
TEXT = "Go now. Go there! Is it 2.0? It is. Then (see file.txt) stop.\n"


def tesmo_run(*argv, stdin=b"", cwd=None, prefix=()):
    command = [sys.executable, *(prefix or ("-m", "tesmo")), *map(str, argv)]
    return subprocess.run(command, input=stdin, capture_output=True, cwd=cwd, timeout=300)


def ok(*argv, **kwargs):
    done = tesmo_run(*argv, **kwargs)
    assert done.returncode == 0, done.stderr.decode()
    return done


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text(TEXT)
    return path


def one_line_error(done, message):
    assert (done.returncode, done.stdout) == (2, b"")
    err = done.stderr.decode()
    assert err.count("\n") == 1 and "Traceback" not in err
    assert re.fullmatch(f"tesmo: error: {message}\n", err), err


def starts_and_choices(document):
    """What the compact reader finds in a document: the starts and choices of its chain."""
    chain = Chain()
    tesmo_cjson.load_json_small(chain, io.BytesIO(document))
    return len(chain), sum(bag.unique_count for _, bag in chain.items())


def big_model(path, choices=300_000):
    """A model whose write takes seconds when compressed with xz."""
    chain = Chain()
    rng = random.Random(7)
    chain.add_to_bag(None, ("w0",))
    for index in range(choices):
        chain.add_to_bag(f"w{index % 5000}", (f"w{rng.randrange(10**5)}", f"w{rng.randrange(10**5)}"))
    with lzma.open(path, "wt", preset=0) as file:
        tesmo_cjson.dump_json_big(chain, file)


def stderr_until(process, text):
    """Collect the process's stderr in a thread; return the chunks once ``text`` showed."""
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(partial(process.stderr.read1, 4096), b"")))
    reader.start()
    deadline = time.monotonic() + 120
    while text not in b"".join(chunks):
        assert process.poll() is None and time.monotonic() < deadline, f"{text} never showed"
        time.sleep(0.02)
    return reader, chunks


@pytest.mark.parametrize(
    "signum, status, message", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")]
)
def test_a_write_stopped_by_a_signal_leaves_the_target_and_no_temporary_file(tmp_path, signum, status, message):
    model = tmp_path / "model.json.xz"
    big_model(model)
    before = model.read_bytes()
    process = subprocess.Popen(
        [sys.executable, "-m", "tesmo", "--progress", "convert", "--coded", model, model],
        stderr=subprocess.PIPE,
    )
    # The bar of the write shows once transitions are being written.
    reader, chunks = stderr_until(process, b"writing")
    assert [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]
    process.send_signal(signum)
    process.wait(timeout=120)
    reader.join()
    err = b"".join(chunks).decode()
    print(f"status {process.returncode}; stderr ends {err[-160:]!r}; directory {os.listdir(tmp_path)}")
    assert process.returncode == status
    # The writing bar was shown, then cleared before the message.
    assert re.search(rf"writing [^\r]*transitions[^\r]*\r *\rtesmo: {message}\n\Z", err)
    assert model.read_bytes() == before and os.listdir(tmp_path) == ["model.json.xz"]


def test_ctrl_c_stops_parallel_training_and_its_workers_at_once(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(SHIPPED.read_bytes() * 12)
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "tesmo",
            "--progress",
            "train",
            corpus,
            "-o",
            tmp_path / "m.json",
            "--jobs",
            "2",
            "--shard-size",
            "300000",
        ],
        stderr=subprocess.PIPE,
    )
    reader, chunks = stderr_until(process, b"training 1 shards")
    process.send_signal(signal.SIGINT)
    process.wait(timeout=10)
    reader.join()
    err = b"".join(chunks).decode()
    assert process.returncode == 130 and err.endswith("\rtesmo: interrupted\n") and "Traceback" not in err
    assert os.listdir(tmp_path) == ["corpus.txt"]


def test_convert_in_place_replaces_the_file_but_other_outputs_may_not_be_inputs(tmp_path, corpus):
    model = tmp_path / "m.json"
    ok("train", corpus, "-o", model)
    os.link(corpus, tmp_path / "hardlink.txt")
    os.symlink(model, tmp_path / "symlink.json")
    for argv, output in [
        (["train", corpus, "-o", corpus], corpus),
        (["train", corpus, "-o", tmp_path / "hardlink.txt"], tmp_path / "hardlink.txt"),
        (["merge", corpus, model, "-o", tmp_path / "symlink.json"], tmp_path / "symlink.json"),
    ]:
        one_line_error(tesmo_run(*argv), re.escape(f"{output} is the input ") + ".*; refusing to overwrite it")
    assert corpus.read_text() == TEXT
    ok("convert", model, tmp_path / "plain.json")
    ok("convert", model, model)
    assert model.read_bytes() == (tmp_path / "plain.json").read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["corpus.txt", "hardlink.txt", "m.json", "plain.json", "symlink.json"]


def test_pipes_carry_models_and_text_while_messages_go_to_stderr(tmp_path, corpus):
    ok("train", corpus, "-o", tmp_path / "m.json")
    written = (tmp_path / "m.json").read_bytes()
    trained = ok("train", "-", "-o", "-", stdin=corpus.read_bytes())
    assert trained.stdout == written
    starts, choices = starts_and_choices(written)
    assert trained.stderr.decode() == f"stdout: coded, {starts} starts, {choices} transitions\n"
    assert ok("train", corpus, "-o", "/dev/stdout").stdout == written
    plain = ok("convert", "-", "-", "--plain", stdin=written).stdout
    assert plain == ok("convert", tmp_path / "m.json", "-", "--plain").stdout and plain.startswith(b'{"codes":[],')
    assert (
        ok("generate", "-", "-n", 4, "--seed", 3, stdin=plain).stdout
        == ok("generate", tmp_path / "m.json", "-n", 4, "--seed", 3).stdout
    )
    assert b"file size:       " + f"{len(plain):,}".encode() in ok("inspect", "-", stdin=plain).stdout


def test_version_quiet_and_help(tmp_path, corpus):
    assert ok("--version").stdout.decode() == f"tesmo {tesmo.__version__}\n"
    for argv in (["-q", "train", corpus, "-o", tmp_path / "m.json"], ["convert", "-q", tmp_path / "m.json", "-"]):
        assert ok(*argv).stderr == b""
    for command in ("demo", "train", "generate", "inspect", "convert", "merge"):
        assert ok(command, "--help").stdout.startswith(f"usage: tesmo {command}".encode())


COUNT_DOC = '{"codes":[],"chain":[null,[["a"],%s]]}'
BAD_MODELS = {
    "inf.json": (COUNT_DOC % "1.5e400", r"a count is not a finite positive number: inf"),
    "negative.json": (COUNT_DOC % "-2", r"a count is not a finite positive number: -2"),
    "zero.json": (COUNT_DOC % "0", r"a count is not a finite positive number: 0"),
    "string.json": (COUNT_DOC % '"3"', r"a count is not a finite positive number: '3'"),
    "null.json": (COUNT_DOC % "null", r"a count is not a finite positive number: None"),
    "empty-object.json": ("{}", r'no "chain" array'),
    "array.json": ("[1, 2]", "not a JSON object"),
    "binary.png": (b"\x89PNG\r\n\x1a\n\x00\x00", r"lexical error: invalid char in json text\."),
    "truncated.json": ('{"codes":[0,"a"],"chain":[0,[[0],1', r"parse error: premature EOF"),
}


@pytest.mark.parametrize("name", BAD_MODELS)
@pytest.mark.parametrize("command", ["inspect", "generate", "convert", "merge"])
def test_a_bad_model_is_one_line_and_status_2(tmp_path, name, command):
    document, problem = BAD_MODELS[name]
    path = tmp_path / name
    path.write_bytes(document if isinstance(document, bytes) else document.encode())
    argv = {
        "inspect": [path],
        "generate": [path],
        "convert": [path, tmp_path / "out.json"],
        "merge": [path, "-o", tmp_path / "out.json"],
    }[command]
    one_line_error(tesmo_run(command, *argv), re.escape(f"{path} is not a valid chain document (") + problem + r"\)")
    assert not (tmp_path / "out.json").exists()


def test_a_model_without_a_sentence_start_cannot_generate(tmp_path):
    # Of order 2: it has ("a", "b") but not the state (None, None) a sentence starts from.
    (tmp_path / "m.json").write_text('{"codes":[0,"a",1,["a","b"]],"chain":[1,[[0],1]]}')
    one_line_error(
        tesmo_run("generate", tmp_path / "m.json"),
        re.escape(f"{tmp_path}/m.json holds no sentence to start from"),
    )


def test_one_bar_across_all_inputs_and_one_counting_choices_while_writing(tmp_path, corpus):
    second = tmp_path / "second.txt"
    second.write_text("Another text here. And more!\n")
    done = ok("--progress", "train", corpus, second, "-o", tmp_path / "m.json")
    updates = done.stderr.decode().split("\r")
    total = len(TEXT) + second.stat().st_size
    # tqdm redraws at most ten times a second, so only the first states are sure to show.
    for name in (rf"reading 1/2 {re.escape(str(corpus))}", rf"reading 2/2 {re.escape(str(second))}"):
        assert any(re.match(rf"{name}: .*/{total}(\.0)? ", line) for line in updates)
    choices = starts_and_choices((tmp_path / "m.json").read_bytes())[1]
    assert any(re.match(rf"writing .*m\.json: .*/{choices}(\.0)? .*transitions/s", line) for line in updates)


def test_undecodable_bytes_and_cut_tokens_are_counted_and_stops_end_sentences_only_before_space(tmp_path):
    (tmp_path / "bad.txt").write_bytes(b"Caf\xe9 is open \xff\xfe. See v2.0 now.")
    # Runs of 250 and 101 characters are cut; one of 100 is a token as it is.
    (tmp_path / "long.txt").write_text(f"{'x' * 250} y. {'w' * 100}. {'z' * 101}.\n" * 3)
    for jobs in (1, 2):
        done = ok("train", tmp_path / "bad.txt", tmp_path / "long.txt", "-o", "-", "--jobs", jobs, "--shard-size", 200)
        assert done.stderr.decode().splitlines()[:2] == [
            f"tesmo: {tmp_path}/bad.txt: replaced 3 undecodable bytes with U+FFFD",
            f"tesmo: {tmp_path}/long.txt: cut 6 tokens longer than 100 characters into pieces of 100",
        ]
        done = ok("train", tmp_path / "bad.txt", "-o", "-", "--order", 1, "--plain", "--jobs", jobs)
        assert (
            done.stderr.decode().splitlines()[0]
            == f"tesmo: {tmp_path}/bad.txt: replaced 3 undecodable bytes with U+FFFD"
        )
        # U+FFFD is a word character like any symbol; "2.0" stays whole.
        assert done.stdout.decode() == (
            '{"codes":[],"chain":[null,[["Caf\\ufffd"],1,["See"],1],"Caf\\ufffd",[["is"],1],"is",[["open"],1],'
            '"open",[["\\ufffd\\ufffd"],1],"\\ufffd\\ufffd",[["."],1],".",[[null],2],"See",[["v2.0"],1],'
            '"v2.0",[["now"],1],"now",[["."],1]]}'
        )


@pytest.mark.parametrize("order", [1, 2])
def test_merge_adds_the_counts_of_its_inputs(tmp_path, order):
    texts = ["One fish. Two fish! Red fish", "Blue fish. One more fish."]
    for index, text in enumerate(texts):
        (tmp_path / f"{index}.txt").write_text(text)
        ok("train", tmp_path / f"{index}.txt", "-o", tmp_path / f"{index}.json.gz", "--order", order)
    ok("merge", tmp_path / "0.json.gz", tmp_path / "1.json.gz", "-o", tmp_path / "merged.json", "--plain")
    # The other reader's merge mode, on the same documents, gives the same chain.
    expected = Chain()
    for index in range(2):
        with gzip.open(tmp_path / f"{index}.json.gz", "rt") as file:
            tesmo_cjson.load_json_small(expected, file, merge=True)
    out = io.StringIO()
    tesmo_cjson.dump_json_big(expected, out, False)
    assert (tmp_path / "merged.json").read_text() == out.getvalue()
    if order == 1:
        # With order 1 no window crosses from one corpus into the next.
        ok("train", tmp_path / "0.txt", tmp_path / "1.txt", "-o", tmp_path / "at-once.json", "--order", 1, "--plain")
        assert (tmp_path / "merged.json").read_bytes() == (tmp_path / "at-once.json").read_bytes()


@pytest.mark.parametrize("order", [1, 2, 3])
def test_jobs_train_the_bytes_of_one_process(tmp_path, order):
    files = {
        "shipped.txt": SHIPPED.read_bytes()[:60_000],
        "empty.txt": b"",
        "one.txt": b"Just one sentence.",
        "no-end.txt": b"no sentence end here",
        "quotes.txt": b'He said "Stop." Then (he left!) "Why?"\n ok',
    }
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    names = ["shipped.txt", "empty.txt", "one.txt", "-", "no-end.txt", "quotes.txt", "shipped.txt"]
    stdin = b"From stdin. Two sentences"
    one = ok("train", *names, "-o", "-", "--order", order, cwd=tmp_path, stdin=stdin).stdout
    for size in (50, 4096):
        assert (
            ok(
                "train",
                *names,
                "-o",
                "-",
                "--order",
                order,
                "--jobs",
                2,
                "--shard-size",
                size,
                cwd=tmp_path,
                stdin=stdin,
            ).stdout
            == one
        )


def _zstd_available():
    try:
        from compression import zstd  # noqa: F401

        return True
    except ImportError:
        pass
    try:
        import zstandard  # noqa: F401

        return True
    except ImportError:
        return False


def _zstd_decompress(data):
    try:
        from compression import zstd

        return zstd.decompress(data)
    except ImportError:
        import zstandard

        return zstandard.ZstdDecompressor().stream_reader(io.BytesIO(data)).read()


@pytest.mark.parametrize(
    "suffix, decompress",
    [
        (".gz", gzip.decompress),
        (".bz2", bz2.decompress),
        (".xz", lzma.decompress),
        pytest.param(
            ".zst", _zstd_decompress, marks=pytest.mark.skipif(not _zstd_available(), reason="no zstd module")
        ),
    ],
)
def test_models_are_compressed_by_suffix(tmp_path, corpus, suffix, decompress):
    ok("train", corpus, "-o", tmp_path / "m.json")
    ok("train", corpus, "-o", tmp_path / f"m.json{suffix}")
    plain = (tmp_path / "m.json").read_bytes()
    assert decompress((tmp_path / f"m.json{suffix}").read_bytes()) == plain
    ok("convert", tmp_path / f"m.json{suffix}", tmp_path / f"back.json{suffix}")
    assert decompress((tmp_path / f"back.json{suffix}").read_bytes()) == plain
    choices = starts_and_choices(plain)[1]
    assert f"transitions:     {choices}\n".encode() in ok("inspect", tmp_path / f"m.json{suffix}").stdout


def test_zstd_without_a_module_is_one_line(tmp_path, corpus):
    hide = (
        "import sys; sys.modules['zstandard'] = sys.modules['compression'] = None; "
        "from tesmo.cli import main; sys.exit(main())"
    )
    done = tesmo_run("train", corpus, "-o", tmp_path / "m.json.zst", prefix=("-c", hide))
    one_line_error(done, re.escape(".zst files need Python 3.14 or the zstandard package (pip install 'tesmo[zstd]')"))
    assert os.listdir(tmp_path) == ["corpus.txt"]
