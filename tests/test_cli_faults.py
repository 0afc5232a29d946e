"""The ``tesmo`` command under faults: damaged input, outputs that fail, signals, killed processes."""

import bz2
import gzip
import json
import lzma
import os
import re
import subprocess
import sys
import time
from functools import partial

import pytest
from test_cli_commands import (
    SHIPPED,
    TEXT,
    _zstd_available,
    big_model,
    ok,
    one_line_error,
    starts_and_choices,
    stderr_until,
    tesmo_run,
)

COMPRESSORS = {".gz": ("gzip", gzip.compress), ".bz2": ("bzip2", bz2.compress), ".xz": ("xz", lzma.compress)}
if _zstd_available():
    try:
        from compression import zstd as _zstd

        COMPRESSORS[".zst"] = ("zstd", partial(_zstd.compress, options={_zstd.CompressionParameter.checksum_flag: 1}))
    except ImportError:
        import zstandard

        COMPRESSORS[".zst"] = ("zstd", zstandard.ZstdCompressor(write_checksum=True).compress)


def run_patched(code, *argv, **kwargs):
    """The command, after ``code`` has patched the process it runs in."""
    program = f"{code}\nimport sys\nfrom tesmo.cli import main\nsys.exit(main())"
    return tesmo_run(*argv, prefix=("-c", program), **kwargs)


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text(TEXT)
    return path


def test_numbers_of_thousands_of_digits_are_one_line_errors(tmp_path):
    huge = "1" + "0" * 6000
    documents = {
        "count.json": '{"codes":[],"chain":[null,[["a"],' + huge + "]]]}",
        "code.json": '{"codes":[0,"a",' + huge + ',"b"],"chain":[0,[[0],1]]}',
    }
    for name, document in documents.items():
        (tmp_path / name).write_text(document)
        for command in ("inspect", "generate"):
            one_line_error(
                tesmo_run(command, tmp_path / name),
                re.escape(f"{tmp_path / name} is not a valid chain document (")
                + r"Exceeds the limit \(\d+( digits)?\) for integer string conversion.*\)",
            )


@pytest.mark.parametrize("suffix", list(COMPRESSORS))
def test_damaged_compressed_models_and_corpora_are_one_line_errors(tmp_path, suffix):
    kind, compress = COMPRESSORS[suffix]
    text = SHIPPED.read_bytes()[:200_000]
    plain = ok("train", "-", "-o", "-", "--plain", stdin=text).stdout
    for name, data in (("m.json", plain), ("c.txt", text)):
        packed = compress(data)
        flipped = bytearray(packed)
        flipped[len(packed) // 2] ^= 0x04
        (tmp_path / f"flip-{name}{suffix}").write_bytes(flipped)
        (tmp_path / f"cut-{name}{suffix}").write_bytes(packed[: len(packed) // 2])
    for argv, path, problem in [
        (["inspect"], f"flip-m.json{suffix}", rf"corrupt {kind} data \(.+\)"),
        (["generate"], f"cut-m.json{suffix}", f"{kind} data cut short"),
        (["train", "-o", "out.json"], f"flip-c.txt{suffix}", rf"corrupt {kind} data \(.+\)"),
        (["train", "-o", "out.json", "--jobs", "2"], f"cut-c.txt{suffix}", f"{kind} data cut short"),
    ]:
        done = tesmo_run(argv[0], path, *argv[1:], cwd=tmp_path)
        one_line_error(done, re.escape(f"cannot read {path}: ") + problem)
    assert not (tmp_path / "out.json").exists()


@pytest.mark.skipif(".zst" not in COMPRESSORS, reason="no zstd module")
def test_zst_models_carry_a_content_checksum(tmp_path, corpus):
    ok("train", corpus, "-o", tmp_path / "m.json.zst")
    data = bytearray((tmp_path / "m.json.zst").read_bytes())
    # The frame header's descriptor (after the 4-byte magic number) has the content checksum flag.
    assert data[:4] == b"\x28\xb5\x2f\xfd" and data[4] & 0x04
    data[-1] ^= 0x01  # the last byte is the checksum's
    (tmp_path / "m.json.zst").write_bytes(data)
    one_line_error(
        tesmo_run("generate", tmp_path / "m.json.zst"),
        re.escape(f"cannot read {tmp_path}/m.json.zst: corrupt zstd data (") + ".*checksum.*",
    )


def test_outputs_that_cannot_be_written_and_closed_streams_are_errors(tmp_path, corpus):
    model = tmp_path / "m.json"
    ok("train", corpus, "-o", model)
    writers = [["generate", model], ["inspect", model], ["convert", model, "-"], ["train", corpus, "-o", "-"]]
    for argv in writers:
        with open("/dev/full", "wb") as full:
            done = subprocess.run([sys.executable, "-m", "tesmo", *map(str, argv)], stdout=full, stderr=subprocess.PIPE)
        assert (done.returncode, done.stderr) == (2, b"tesmo: error: write error: No space left on device\n"), argv
    shell = 'exec "$@"'
    for argv, closing, message in [
        *[(argv, ">&-", b"write error: Bad file descriptor") for argv in writers],
        (["generate", "-"], "<&-", b"cannot read stdin: Bad file descriptor"),
        (["train", "-", "-o", tmp_path / "new.json"], "<&-", b"cannot read stdin: Bad file descriptor"),
    ]:
        command = ["sh", "-c", f"{shell} {closing}", "sh", sys.executable, "-m", "tesmo", *map(str, argv)]
        done = subprocess.run(command, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        assert (done.returncode, done.stderr) == (2, b"tesmo: error: " + message + b"\n"), (argv, closing)
    assert not (tmp_path / "new.json").exists()


PATCHES = {
    # SIGTERM the moment the new model has replaced the old one.
    "after the rename": (
        "import os, signal\nreal = os.replace\n"
        "def replace(a, b):\n    real(a, b)\n    os.kill(os.getpid(), signal.SIGTERM)\nos.replace = replace"
    ),
    # SIGTERM as the command's last output is written.
    "after the output": (
        "import os, signal\nimport tesmo.cli.app as app\nreal = app.flush_stdout\n"
        "def flush():\n    real()\n    os.kill(os.getpid(), signal.SIGTERM)\napp.flush_stdout = flush"
    ),
    # Ctrl-C in main's last moment before the signals are held.
    "before the hold": (
        "import os, signal\nimport tesmo.cli.signals as s\nreal, sent = s.hold, []\n"
        "def hold():\n    if not sent:\n        sent.append(1)\n"
        "        os.kill(os.getpid(), signal.SIGINT)\n    real()\n"
        "s.hold = hold"
    ),
}


def test_a_late_signal_tells_the_truth_about_the_target(tmp_path, corpus):
    model = tmp_path / "m.json"
    ok("train", corpus, "-o", model, "--plain")
    done = run_patched(PATCHES["after the rename"], "convert", model, model, "--coded")
    # The model was replaced: the command finished, and says so.
    written = model.read_bytes()
    starts, choices = starts_and_choices(written)
    assert written.startswith(b'{"codes":[0,') and done.returncode == 0
    assert done.stderr.decode() == f"{model}: coded, {starts} starts, {choices} transitions, {len(written)} bytes\n"
    for patch, status, message in [("after the output", 143, "terminated"), ("before the hold", 130, "interrupted")]:
        done = run_patched(PATCHES[patch], "generate", model, "-n", 1)
        assert (done.returncode, done.stderr.decode()) == (status, f"tesmo: {message}\n"), patch
    assert sorted(os.listdir(tmp_path)) == ["corpus.txt", "m.json"]


@pytest.mark.slow
@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another user needs root")
def test_a_rewritten_model_keeps_its_mode_and_owner_from_the_start(tmp_path):
    model = tmp_path / "model.json.xz"
    big_model(model)
    os.chown(model, 65534, 65534)
    os.chmod(model, 0o640)
    process = subprocess.Popen(
        [sys.executable, "-m", "tesmo", "--progress", "convert", "--compress", model, model], stderr=subprocess.PIPE
    )
    reader, _ = stderr_until(process, b"writing")
    [temp] = [name for name in os.listdir(tmp_path) if name != "model.json.xz"]
    assert re.fullmatch(rf"\.model\.json\.xz\.tesmo-{process.pid}-[0-9a-f]{{8}}\.tmp", temp)
    info = os.stat(tmp_path / temp)
    assert (oct(info.st_mode & 0o7777), info.st_uid, info.st_gid) == ("0o640", 65534, 65534)
    assert process.wait(timeout=120) == 0
    reader.join()
    info = os.stat(model)
    assert (oct(info.st_mode & 0o7777), info.st_uid, info.st_gid) == ("0o640", 65534, 65534)


def test_a_write_removes_the_temporary_files_of_dead_processes_only(tmp_path, corpus):
    dead = subprocess.Popen([sys.executable, "-c", ""])
    dead.wait()
    names = [
        f".m.json.tesmo-{dead.pid}-0123abcd.tmp",  # left by a process that was killed
        f".other.json.tesmo-{dead.pid}-89abcdef.tmp",
        f".m.json.tesmo-{os.getpid()}-0123abcd.tmp",  # a process still writing
        ".m.json.0123abcd.tmp",  # not one of ours
    ]
    for name in names:
        (tmp_path / name).write_text("partial")
    ok("train", corpus, "-o", tmp_path / "m.json")
    assert sorted(os.listdir(tmp_path)) == sorted(["corpus.txt", "m.json", *names[2:]])


def test_workers_of_a_killed_command_end_quietly_at_once(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(SHIPPED.read_bytes() * 12)
    argv = ["--progress", "train", corpus, "-o", tmp_path / "m.json", "--jobs", 3, "--shard-size", 200_000]
    process = subprocess.Popen([sys.executable, "-m", "tesmo", *map(str, argv)], stderr=subprocess.PIPE)
    reader, chunks = stderr_until(process, b"training 1 shards")
    workers = [int(pid) for pid in open(f"/proc/{process.pid}/task/{process.pid}/children").read().split()]
    assert len(workers) == 2
    process.kill()
    process.wait()
    deadline = time.monotonic() + 5
    while any(os.path.exists(f"/proc/{pid}") for pid in workers):
        assert time.monotonic() < deadline, "a worker outlived its parent"
        time.sleep(0.05)
    # The workers shared the command's stderr: it ends without a word from them.
    reader.join(timeout=5)
    assert "Traceback" not in b"".join(chunks).decode() and not reader.is_alive()


def test_a_model_whose_chain_comes_first_is_read_by_its_members_names(tmp_path, corpus):
    model = tmp_path / "m.json"
    ok("train", corpus, "-o", model)
    written = json.loads(model.read_text())
    (tmp_path / "sorted.json").write_text(json.dumps(written, sort_keys=True, indent=1))
    # All but the name and the size, as the document in its own order tells them.
    report = ok("inspect", tmp_path / "sorted.json").stdout.decode().splitlines()
    assert report[1:-1] == ok("inspect", model).stdout.decode().splitlines()[1:-1]
    assert report[1] == "kind:            coded"
    assert ok("convert", tmp_path / "sorted.json", "-").stdout == ok("convert", model, "-").stdout
    lone = '{"chain":[null,[["caf\\udce9"],true],"caf\\udce9",[[null],1]],"codes":[]}'
    (tmp_path / "lone.json").write_text(lone)
    one_line_error(
        tesmo_run("convert", tmp_path / "lone.json", tmp_path / "out.json"),
        re.escape(f"cannot write {tmp_path}/out.json: 'caf\\udce9' holds a lone surrogate (U+DCE9), ")
        + "which would not read back",
    )
    # A count of true is the 1 it adds.
    assert b"total count:     2\n" in ok("inspect", tmp_path / "lone.json").stdout
    assert not (tmp_path / "out.json").exists()


def peak_rss_kib(*argv):
    """Run the command; its status, stderr and peak resident memory in KiB."""
    process = subprocess.Popen(
        [sys.executable, "-m", "tesmo", *map(str, argv)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    err = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, err.decode(), usage.ru_maxrss


@pytest.mark.slow
def test_deep_nesting_is_read_in_memory_bounded_by_the_document(tmp_path, corpus):
    ok("train", corpus, "-o", tmp_path / "small.json")
    deep = "[" * 20_000 + "]" * 20_000
    documents = {
        "top.json": deep,
        "table.json": '{"codes":[0,' + deep + '],"chain":[]}',
        "member.json": '{"other":' + deep + ',"codes":[],"chain":[null,[["a"],1]]}',
        "chain-first.json": '{"chain":[null,[' + deep + ',1]],"codes":[0,"a"]}',
    }
    for name, document in documents.items():
        (tmp_path / name).write_text(document)
    out = tmp_path / "out.json"
    for command, extra in [("inspect", []), ("generate", []), ("convert", [out]), ("merge", ["-o", out])]:
        baseline = peak_rss_kib(command, tmp_path / "small.json", *extra)[2]
        for name in documents:
            status, err, peak = peak_rss_kib(command, tmp_path / name, *extra)
            assert status in (0, 2) and "Traceback" not in err and err.count("\n") <= 1, (command, name, err)
            assert peak < baseline + 40_000, (command, name, peak, baseline)


def test_running_out_of_memory_is_one_line(tmp_path, corpus):
    ok("train", corpus, "-o", tmp_path / "m.json")
    patch = "import tesmo_cjson\ndef load(*args, **kwargs):\n    raise MemoryError\ntesmo_cjson.load_json_big = load"
    one_line_error(run_patched(patch, "generate", tmp_path / "m.json"), "out of memory")
