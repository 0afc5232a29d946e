"""The README's Python examples, run as written: what they print is what the README says they print."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = (
    re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S) if README.exists() else []
)


def printed(block):
    """The output the README shows: the comment lines right after a line that prints."""
    shown, after_print = [], False
    for line in block.splitlines():
        if after_print and line.startswith("# "):
            shown.append(line[2:])
            continue
        after_print = line.lstrip().startswith("print(")
    return shown


@pytest.mark.skipif(not BLOCKS, reason="no README beside the tests")
@pytest.mark.parametrize("block", BLOCKS, ids=[f"example{number}" for number in range(1, len(BLOCKS) + 1)])
def test_a_readme_example_runs_and_prints_what_the_readme_shows(block, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(block, str(README), "exec"), {"__name__": "__readme__"})
    assert out.getvalue().splitlines() == printed(block)
