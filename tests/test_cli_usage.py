"""The ``tesmo`` command as a user meets it: checks before the work, names, kinds, directories, --into, bars."""

import bz2
import gzip
import lzma
import os
import re
import subprocess
import sys
import threading

import pytest
from test_cli_commands import SHIPPED, TEXT, ok, one_line_error, starts_and_choices, tesmo_run

import tesmo


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text(TEXT)
    return path


def test_nothing_starts_that_cannot_finish(tmp_path, corpus):
    (tmp_path / "dir").mkdir()
    ok("train", corpus, "-o", tmp_path / "m.json")
    for argv, message in [
        (["train", "-", "nosuch.txt", "-o", "x.json"], "cannot read nosuch.txt: No such file or directory"),
        (["merge", "m.json", "-", "nosuch.json", "-o", "x.json"], "cannot read nosuch.json: No such file or directory"),
        (["merge", "-", "dir", "-o", "x.json"], "cannot read dir: Is a directory"),
        (["train", "-", "-o", "nodir/x.json"], "cannot write nodir/x.json: No such file or directory"),
        (["train", "-", "-o", "dir"], "cannot write dir: Is a directory"),
        (
            ["train", "-", "-o", "x.json.lz4"],
            r"x\.json\.lz4: \.lz4 files are not supported \(\.gz, \.bz2, \.xz and \.zst are\)",
        ),
        (
            ["train", "-", "c.txt.Z", "-o", "x.json"],
            r"c\.txt\.Z: \.Z files are not supported \(\.gz, \.bz2, \.xz and \.zst are\)",
        ),
    ]:
        # Stdin stays open and silent: a command that began its work would wait on it.
        process = subprocess.Popen(
            [sys.executable, "-m", "tesmo", *argv],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=tmp_path,
        )
        try:
            out, err = process.communicate(timeout=60)
        finally:
            process.kill()
        one_line_error(subprocess.CompletedProcess(argv, process.returncode, out, err), message)
    assert sorted(os.listdir(tmp_path)) == ["corpus.txt", "dir", "m.json"]


def test_compression_by_suffix_in_any_case_and_by_first_bytes(tmp_path, corpus):
    plain = ok("train", corpus, "-o", "-").stdout
    ok("train", corpus, "-o", tmp_path / "m.JSON.GZ")
    assert gzip.decompress((tmp_path / "m.JSON.GZ").read_bytes()) == plain
    text = corpus.read_bytes()
    for compress in (gzip.compress, bz2.compress, lzma.compress):
        (tmp_path / "c.data").write_bytes(compress(text))
        assert ok("train", "-", "-o", "-", stdin=compress(text)).stdout == plain
        assert ok("train", tmp_path / "c.data", "-o", "-", "--jobs", 2).stdout == plain
    # A named pipe is read once, by the training: nothing is taken from it before.
    os.mkfifo(tmp_path / "fifo")
    writer = threading.Thread(target=(tmp_path / "fifo").write_bytes, args=(gzip.compress(text),))
    writer.start()
    assert ok("train", tmp_path / "fifo", "-o", "-").stdout == plain
    writer.join()
    report = ok("inspect", "-", stdin=gzip.compress(plain)).stdout.decode()
    assert "kind:            coded\n" in report and f"transitions:     {starts_and_choices(plain)[1]}\n" in report


def test_input_that_is_not_text_or_holds_no_sentence_is_refused(tmp_path, corpus):
    (tmp_path / "prog").write_bytes(b"\x7fELF\x02\x01\x01\x00" + TEXT.encode())
    (tmp_path / "high.txt").write_bytes(b"Text? " + b"\xff" * 1000)
    (tmp_path / "stops.txt").write_text("... !!! ,,, ???")
    for argv, message in [
        (
            ["train", "prog", "-o", "x.json"],
            "prog does not look like text (it holds NUL bytes); --force trains on it anyway",
        ),
        (
            ["train", "high.txt", "-o", "x.json"],
            "high.txt does not look like text (1,000 of its first 1,006 bytes are not UTF-8); "
            "--force trains on it anyway",
        ),
        (["train", "/dev/null", "-o", "x.json"], "found no sentence to train on in /dev/null"),
        (["train", "stops.txt", "/dev/null", "-o", "x.json"], "found no sentence to train on in stops.txt, /dev/null"),
    ]:
        done = tesmo_run(*argv, cwd=tmp_path)
        one_line_error(done, re.escape(message))
    done = tesmo_run("train", "-", "-o", "x.json", stdin=gzip.compress(b"\x00" * 100), cwd=tmp_path)
    one_line_error(done, re.escape("stdin does not look like text (it holds NUL bytes); --force trains on it anyway"))
    assert not (tmp_path / "x.json").exists()
    # Forced, the words in the program are trained on.
    expected = ok("train", "-", "-o", "-", stdin=b"ELF " + TEXT.encode()).stdout
    assert ok("train", "prog", "-o", "-", "--force", cwd=tmp_path).stdout == expected


def test_a_hand_edited_model_is_read_or_refused_with_where_and_what(tmp_path):
    model = '{"codes":[],\n"chain":[null,[["a"],1],"a",[[null],1]]}'
    (tmp_path / "bom.json").write_bytes(b"\xef\xbb\xbf" + model.encode())
    assert ok("generate", tmp_path / "bom.json", "-n", 1).stdout == b"a\n"
    for name, document, reason in [
        (
            "lexical.json",
            '{"codes":[],\n"chain":[null,[["a"],1,x]]}',
            "lexical error: invalid char in json text., near line 2, column 25",
        ),
        ("null.json", '{"codes":[0,"a"],"chain":[0,[[null],1]]}', "the code null is not in the table"),
        ("string.json", '{"codes":[0,"a"],"chain":[0,[["x"],1]]}', 'the code "x" is not in the table'),
        ("number.json", '{"codes":[0,"a"],"chain":[7,[[0],1]]}', "the code 7 is not in the table"),
    ]:
        (tmp_path / name).write_text(document)
        one_line_error(
            tesmo_run("generate", tmp_path / name),
            re.escape(f"{tmp_path / name} is not a valid chain document ({reason})"),
        )
    (tmp_path / "nostart.json").write_text('{"codes":[],"chain":["a",[["b"],1]]}')
    one_line_error(
        tesmo_run("generate", tmp_path / "nostart.json"),
        re.escape(f"{tmp_path}/nostart.json holds no sentence to start from"),
    )


def test_a_models_kind_is_coded_or_plain_and_kept_unless_asked(tmp_path, corpus):
    done = ok("train", corpus, "-o", tmp_path / "p.json", "--plain")
    starts, transitions = starts_and_choices((tmp_path / "p.json").read_bytes())
    size = (tmp_path / "p.json").stat().st_size
    summary = f"{tmp_path}/p.json: plain, {starts} starts, {transitions} transitions, {size} bytes\n"
    assert done.stderr.decode() == summary
    ok("convert", tmp_path / "p.json", tmp_path / "p.json.gz")
    assert gzip.decompress((tmp_path / "p.json.gz").read_bytes()) == (tmp_path / "p.json").read_bytes()
    coded = ok("train", corpus, "-o", "-").stdout
    for flag in ("--coded", "--compress"):
        assert ok("convert", tmp_path / "p.json.gz", "-", flag).stdout == coded
    assert b"kind:            plain\n" in ok("inspect", tmp_path / "p.json.gz").stdout


def test_version_and_unknown_options(tmp_path):
    assert ok("-V").stdout.decode() == f"tesmo {tesmo.__version__}\n"
    for argv, option in [(["-x"], "-x"), (["--frob", "generate", "m.json"], "--frob"), (["-q", "-Z", "demo"], "-Z")]:
        done = tesmo_run(*argv)
        assert (done.returncode, done.stdout) == (2, b"")
        assert done.stderr.decode().endswith(f"tesmo: error: unrecognized arguments: {option}\n")


def test_a_directory_is_its_text_files_in_the_order_of_their_paths(tmp_path):
    tree = tmp_path / "notes"
    for name, data in {
        "b/z.txt": b"Zed here. ",
        "b/a/y.txt.gz": gzip.compress(b"Why not? "),
        "b/c.txt": b"See this! ",
        "a.txt": b"First one. ",
        ".git/HEAD": b"Hidden text. ",
        "b/logo.png": b"\x89PNG\r\n\x1a\n\x00\x00",
    }.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)
    done = ok("train", tree, "-o", "-")
    assert done.stderr.decode().splitlines()[0] == f"tesmo: {tree}: left out 1 file that is not text"
    files = [tree / "a.txt", tree / "b/a/y.txt.gz", tree / "b/c.txt", tree / "b/z.txt"]
    assert done.stdout == ok("train", *files, "-o", "-").stdout


@pytest.mark.parametrize("order", [1, 2])
def test_into_adds_to_a_model_as_merge_does(tmp_path, order):
    text = SHIPPED.read_bytes()
    (tmp_path / "old.txt").write_bytes(text[:60_000])
    (tmp_path / "new.txt").write_bytes(text[60_000:120_000])
    for name in ("old", "new"):
        ok("train", tmp_path / f"{name}.txt", "-o", tmp_path / f"{name}.json", "--order", order, "--plain")
    merged = ok("merge", tmp_path / "old.json", tmp_path / "new.json", "-o", "-", "--plain").stdout
    ok("train", tmp_path / "new.txt", "--into", tmp_path / "old.json")  # in place, of the model's order and kind
    assert (tmp_path / "old.json").read_bytes() == merged
    ok("train", tmp_path / "old.txt", "-o", tmp_path / "old.json", "--order", order, "--plain")
    done = ok(
        "train", tmp_path / "new.txt", "--into", tmp_path / "old.json", "-o", "-", "--jobs", 2, "--shard-size", 20_000
    )
    assert done.stdout == merged
    one_line_error(
        tesmo_run("train", tmp_path / "new.txt", "--into", tmp_path / "old.json", "--order", order + 1),
        re.escape(f"{tmp_path}/old.json is a chain of order {order}; --order {order + 1} cannot add to it"),
    )


# Every sentence an order-2 model of this corpus can make is one of the
# corpus's own: "One." (1 word, 2 tokens) to "Four words are here." (4 words).
SENTENCES = ["One.", "Two words.", "Three words here.", "Four words are here."]


def sentences_of(done, status=0, err=b""):
    assert (done.returncode, done.stderr) == (status, err), done.stderr.decode()
    return done.stdout.decode().splitlines()


def test_generate_begins_limits_retries_and_rejects_copies_as_asked(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_text(" ".join(SENTENCES) + "\n")
    model = tmp_path / "m.json"
    ok("train", corpus, "-o", model)
    walked = sentences_of(ok("generate", model, "-n", 40, "--seed", 1))
    assert set(walked) == set(SENTENCES)
    assert sentences_of(ok("generate", model, "-n", 3, "--start", "Three")) == ["Three words here."] * 3
    # From two tokens on, an order-2 model goes on from the last two, wherever they stood.
    assert sentences_of(ok("generate", model, "-n", 2, "--start", "Two words here")) == ["Two words here."] * 2
    assert (
        sentences_of(ok("generate", model, "-n", 3, "--min-words", 3, "--max-words", 3, "--tries", 200))
        == ["Three words here."] * 3
    )
    # A corpus given as --novel rejects what copies --overlap tokens of it; the
    # 15 tokens by default are longer than any sentence here.
    assert sentences_of(ok("generate", model, "-n", 40, "--seed", 1, "--novel", corpus)) == walked
    assert (
        sentences_of(ok("generate", model, "-n", 3, "--novel", corpus, "--overlap", 3, "--tries", 50)) == ["One."] * 3
    )
    gz = gzip.compress(corpus.read_bytes())
    stdin = sentences_of(ok("generate", model, "-n", 3, "--novel", "-", "--overlap", 3, "--tries", 50, stdin=gz))
    (tmp_path / "texts").mkdir()
    (tmp_path / "texts" / "c.txt").write_bytes(corpus.read_bytes())
    (tmp_path / "texts" / "logo.png").write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00")
    done = tesmo_run("generate", model, "-n", 3, "--novel", tmp_path / "texts", "--overlap", 3, "--tries", 50)
    assert stdin == sentences_of(done, err=f"tesmo: {tmp_path}/texts: left out 1 file that is not text\n".encode())
    assert stdin == ["One."] * 3
    # Sentences that cannot be made within --tries are counted: status 1 when others were printed.
    done = tesmo_run("generate", model, "-n", 20, "--seed", 2, "--min-words", 4, "--tries", 1)
    made = done.stdout.decode().splitlines()
    assert 0 < len(made) < 20 and set(made) == {"Four words are here."}
    message = f"tesmo: error: {20 - len(made)} of 20 sentences could not be made in 1 try each\n"
    assert (done.returncode, done.stderr.decode()) == (1, message)
    for argv, message in [
        (["--min-words", 5, "-n", 3], "none of the 3 sentences could be made in 10 tries each"),
        (["--novel", corpus, "--overlap", 2, "-n", 1, "--tries", 4], "the sentence could not be made in 4 tries"),
        (["--start", "Zebra"], "no sentence of {m} begins with 'Zebra'"),
        (["--start", "Four words here are"], "no sentence of {m} goes on from 'here are'"),
        (["--start", "... ,"], "--start '... ,' holds no word to begin with"),
        (["--start", "One. Two"], "--start 'One. Two' holds more than one sentence"),
        (["--start", "Four words are", "--max-words", 2], "--start holds 3 words, more than --max-words 2"),
        (["--novel", tmp_path / "nosuch.txt"], "cannot read {d}/nosuch.txt: No such file or directory"),
        (
            ["--novel", tmp_path / "texts" / "logo.png"],
            "{d}/texts/logo.png does not look like text (it holds NUL bytes); --force reads it anyway",
        ),
    ]:
        one_line_error(tesmo_run("generate", model, *argv), re.escape(message.format(m=model, d=tmp_path)))
    for argv, message in [
        (["--overlap", 3], "--overlap needs --novel"),
        (["--min-words", 4, "--max-words", 3], "--min-words 4 is more than --max-words 3"),
        (["--novel", "-", "--tries", 0], "argument --tries: expected a positive integer, got '0'"),
    ]:
        done = tesmo_run("generate", model, *argv)
        assert (done.returncode, done.stdout) == (2, b"") and done.stderr.decode().startswith("usage: tesmo generate")
        assert done.stderr.decode().endswith(f"tesmo generate: error: {message}\n")
    done = tesmo_run("generate", "-", "--novel", "-", stdin=model.read_bytes())
    assert done.stderr.decode().endswith("tesmo generate: error: stdin can be read only once: name - only once\n")


def test_models_of_different_orders_are_not_merged_and_inspect_shows_the_order(tmp_path, corpus):
    for order in (1, 3):
        ok("train", corpus, "-o", tmp_path / f"{order}.json", "--order", order)
    assert b"\norder:           3\n" in ok("inspect", tmp_path / "3.json").stdout
    one_line_error(
        tesmo_run("merge", tmp_path / "1.json", tmp_path / "1.json", tmp_path / "3.json", "-o", tmp_path / "m.json"),
        re.escape(
            f"{tmp_path}/1.json is a chain of order 1, {tmp_path}/3.json of order 3; merge needs models of one order"
        ),
    )
    (tmp_path / "mixed.json").write_text('{"codes":[0,null,1,"a",2,["a","b"]],"chain":[0,[[1],1],2,[[0],1]]}')
    for argv in (["generate", tmp_path / "mixed.json"], ["train", corpus, "--into", tmp_path / "mixed.json"]):
        one_line_error(
            tesmo_run(*argv),
            re.escape(f"{tmp_path}/mixed.json is not a chain of one order (the chain mixes starts of 1 and 2 tokens)"),
        )
    assert not (tmp_path / "m.json").exists()


# Runs the command on a terminal of 80 columns of its own, types Ctrl-C once
# the bar shows, and gives what the terminal showed and the command's status.
ON_A_TERMINAL = """
import fcntl, os, pty, signal, struct, sys, termios
pid, terminal = pty.fork()
if pid == 0:
    try:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        os.execv(sys.executable, [sys.executable, "-m", "tesmo", *sys.argv[1:]])
    finally:
        os._exit(127)
seen = b""
while b"reading" not in seen:
    seen += os.read(terminal, 4096)
os.write(terminal, b"\\x03")
while True:
    try:
        data = os.read(terminal, 4096)
    except OSError:
        break
    if not data:
        break
    seen += data
sys.stdout.buffer.write(seen)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


def test_a_bar_on_a_terminal_is_erased_with_the_echo_of_ctrl_c(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(SHIPPED.read_bytes() * 40)
    done = subprocess.run(
        [sys.executable, "-c", ON_A_TERMINAL, "train", corpus, "-o", tmp_path / "m.json"],
        capture_output=True,
        timeout=120,
    )
    text = done.stdout.decode(errors="replace")
    assert done.returncode == 130, text
    # The bar with the echo after it stayed short of the last column, and that line is erased.
    assert max(len(line) for line in re.split(r"[\r\n]", text)) <= 78
    assert "^C" in text and text.endswith("\r\x1b[Ktesmo: interrupted\r\n")
    assert not os.path.exists(tmp_path / "m.json")


def test_the_jobs_bar_moves_in_steps_and_shows_a_speed(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(SHIPPED.read_bytes() * 40)  # about ten shards of 1 MiB
    done = ok("--progress", "train", corpus, "-o", tmp_path / "m.json", "--jobs", 2, "--shard-size", 1 << 20)
    steps = [line for line in done.stderr.decode().split("\r") if line.startswith("training")]
    percents = [int(re.search(r"(\d+)%", line).group(1)) for line in steps]
    assert len(set(percents)) >= 4, steps
    # Once it has moved on from where it was first drawn, the bar shows the speed so far.
    assert not any("?B/s" in line for line, percent in zip(steps, percents, strict=True) if percent > percents[0]), (
        steps
    )
