import io
import re

import pytest

from tesmo import cli
from tesmo.cli import main, progress

PLAIN = '{"codes":[],"chain":[null,[["Go"],2],"Go",[["now"],1,["!"],1],"now",[["."],1],".",[[null],1],"!",[[null],1]]}'
COMPRESSED = '{"codes":[0,"b",1,"a","",""],"chain":[1,[[0],2],0,[[1],1,[0,1],1]]}'


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def corpus(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_text("Go now. Go!")
    return path


@pytest.mark.parametrize("flags", [["--plain"], ["--plain", "--compact"]])
def test_train_writes_the_chain_of_words_and_sentence_boundaries(capsys, tmp_path, corpus, flags):
    model = tmp_path / "model.json"
    status, out, err = run(capsys, "train", corpus, "-o", model, "--order", 1, *flags)
    assert (status, out) == (0, "") and model.read_text() == PLAIN
    assert err == f"{model}: plain, 5 starts, 6 transitions, {len(PLAIN)} bytes\n"


@pytest.mark.parametrize("order", [1, 2])
def test_generate_walks_from_sentence_start_to_sentence_end(capsys, tmp_path, order):
    (tmp_path / "c.txt").write_text("The cat sat on the mat.")
    run(capsys, "train", tmp_path / "c.txt", "-o", tmp_path / "m.json", "--order", order)
    assert run(capsys, "generate", tmp_path / "m.json", "-n", 2) == (0, "The cat sat on the mat.\n" * 2, "")


def test_generate_repeats_itself_for_the_same_seed(capsys, tmp_path):
    (tmp_path / "c.txt").write_text("A b c. A c b. B a c! C a b? C b a. B c a.")
    run(capsys, "train", tmp_path / "c.txt", "-o", tmp_path / "m.json", "--order", 1)
    texts = [run(capsys, "generate", tmp_path / "m.json", "-n", 20, "--seed", seed)[1] for seed in (5, 5, 6)]
    assert texts[0] == texts[1] != texts[2]


@pytest.mark.parametrize("first, second", [(["--plain"], ["--coded"]), (["--plain"], ["--compress"])])
def test_convert_both_ways_gives_back_the_streaming_writers_bytes(capsys, tmp_path, corpus, first, second):
    for name, flags in (("c.json", []), ("p.json", ["--plain"])):
        run(capsys, "train", corpus, "-o", tmp_path / name, *flags)
    run(capsys, "convert", tmp_path / "c.json", tmp_path / "to-plain.json", *first)
    run(capsys, "convert", tmp_path / "to-plain.json", tmp_path / "back.json", *second)
    assert (tmp_path / "to-plain.json").read_bytes() == (tmp_path / "p.json").read_bytes()
    assert (tmp_path / "back.json").read_bytes() == (tmp_path / "c.json").read_bytes()


ORDER_2 = (
    '{"codes":[0,".",1,null,2,[null,null],3,"Go",4,[null,"Go"],5,"now",6,["Go","."],7,["Go","now"],8,["now","."]],'
    '"chain":[2,[[3],2],4,[[0],1,[5],1],6,[[1],1],7,[[0],1],8,[[1],1]]}'
)

MIXED = '{"codes":[0,null,1,"a",2,["a","b"]],"chain":[0,[[1],1],2,[[0],1]]}'


@pytest.mark.parametrize(
    "document, kind, order, entries, literals, counts",
    [
        (COMPRESSED, "coded", "1", 3, 1, (2, 3, 4)),
        ('{"codes":[],"chain":["a",[["b"],2],"b",[["a"],1,["b","a"],1]]}', "plain", "1", 0, 0, (2, 3, 4)),
        (ORDER_2, "coded", "2", 9, 0, (5, 6, 7)),
        (MIXED, "coded", "mixed (starts of 1 to 2 tokens)", 3, 0, (2, 2, 2)),
        ('{"codes":[],"chain":[]}', "plain", "none (no starts)", 0, 0, (0, 0, 0)),
    ],
)
def test_inspect_counts_without_keeping_the_chain(capsys, tmp_path, document, kind, order, entries, literals, counts):
    (tmp_path / "d.json").write_text(document)
    status, out, _ = run(capsys, "inspect", tmp_path / "d.json")
    assert status == 0 and out.splitlines() == [
        f"document:        {tmp_path / 'd.json'}",
        f"kind:            {kind}",
        f"order:           {order}",
        f"table entries:   {entries}",
        f"literal entries: {literals}",
        f"starts:          {counts[0]}",
        f"transitions:     {counts[1]}",
        f"total count:     {counts[2]}",
        f"file size:       {len(document)} bytes",
    ]


def test_progress_bar_shows_on_a_terminal_and_leaves_the_output_alone(capsys, tmp_path, monkeypatch):
    (tmp_path / "d.json").write_text(COMPRESSED)
    expected = run(capsys, "inspect", tmp_path / "d.json")[1]
    terminal = io.StringIO()
    terminal.isatty = lambda: True
    monkeypatch.setattr(progress, "PROGRESS_THRESHOLD", 10)
    monkeypatch.setattr("sys.stderr", terminal)
    assert run(capsys, "inspect", tmp_path / "d.json")[:2] == (0, expected)
    assert "reading" in terminal.getvalue()


BROKEN = {
    "truncated.json": COMPRESSED[:40],
    "array.json": "[1, 2]",
    "badkey.json": '{"codes":[0,"a"],"chain":[0,[[1],1]]}',
    "nostart.json": '{"codes":[],"chain":["a",[["b"],1]]}',
}


@pytest.mark.parametrize(
    "argv, message",
    [
        (["generate", "{d}/missing.json"], "cannot read {d}/missing.json: No such file or directory"),
        (["inspect", "{d}"], "cannot read {d}: Is a directory"),
        (["train", "missing.txt", "-o", "{d}/m.json"], "cannot read missing.txt: No such file or directory"),
        (["train", "{d}/corpus.txt", "-o", "{d}/no/m.json"], "cannot write {d}/no/m.json: No such file or directory"),
        (
            ["convert", "{d}/array.json", "{d}/x.json"],
            "{d}/array.json is not a valid chain document (not a JSON object)",
        ),
        (
            ["inspect", "{d}/badkey.json"],
            "{d}/badkey.json is not a valid chain document (the code 1 is not in the table)",
        ),
        (["generate", "{d}/nostart.json"], "{d}/nostart.json holds no sentence to start from"),
        (["generate", "{d}/truncated.json"], re.compile(r"{d}/truncated\.json is not a valid chain document \(.+\)")),
        (["inspect", "{d}/corpus.txt"], re.compile(r"{d}/corpus\.txt is not a valid chain document \(.+\)")),
    ],
)
def test_errors_are_one_line_with_status_2(capsys, tmp_path, corpus, argv, message):
    for name, text in BROKEN.items():
        (tmp_path / name).write_text(text)
    status, out, err = run(capsys, *[arg.format(d=tmp_path) for arg in argv])
    if isinstance(message, str):
        assert err == f"tesmo: error: {message.format(d=tmp_path)}\n"
    else:
        assert re.fullmatch(f"tesmo: error: {message.pattern.format(d=re.escape(str(tmp_path)))}\n", err)
    assert (status, out) == (2, "")


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["generate"],
        ["train", "c.txt"],
        ["generate", "m", "-n", "0"],
        ["convert", "a", "b", "--plain", "--compress"],
        ["train", "c", "-o", "m", "--order", "x"],
    ],
)
def test_bad_arguments_exit_2_with_usage(capsys, argv):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "") and err.startswith("usage: tesmo") and "error: " in err


def test_every_command_and_argument_has_help():
    parser = cli.build_parser()
    commands = next(action for action in parser._actions if action.dest == "command")
    assert set(commands.choices) == {"demo", "train", "generate", "inspect", "convert", "merge"}
    for sub in [parser, *commands.choices.values()]:
        assert all(action.help for action in sub._actions if action is not commands), sub.prog
    assert all(choice.help for choice in commands._choices_actions)


def test_demo_verifies_every_writer_and_reader(capsys):
    status, out, _ = run(capsys, "demo", "-n", 2)
    rows = out.splitlines()[-4:]
    assert status == 0 and [row.split()[:2] for row in rows] == [
        ["dump_json_small", "coded"],
        ["dump_json_small", "plain"],
        ["dump_json_big", "coded"],
        ["dump_json_big", "plain"],
    ]
    assert all(row.endswith("yes") for row in rows)
