"""Reading corpora as texts for the tokenizer, and the warnings about what reading them changed."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager

from tesmo.cli.errors import PROG, CommandError, first_line, shown
from tesmo.cli.progress import Bar
from tesmo.streams import CompressionUnavailable, open_input
from tesmo.train import TOKEN_CAP, Utf8Text


class CorpusReader:
    """The corpora as texts for the tokenizer, read one after another.

    Iterating opens each file in turn; what reading it changed (bytes that
    were not UTF-8, tokens cut at the cap) is counted on its text, and
    ``errors()`` names the file being read when a read fails.
    """

    def __init__(self, paths: Sequence[str], bar: Bar) -> None:
        self.texts: list[tuple[str, Utf8Text]] = []
        self.current = ""
        self._paths = paths
        self._bar = bar

    def __iter__(self) -> Iterator[Utf8Text]:
        for number, path in enumerate(self._paths, 1):
            self.current = path
            self._bar.describe(f"reading {number}/{len(self._paths)} {shown(path)}")
            with open_input(path, self._bar.update) as file:
                text = Utf8Text(file)
                self.texts.append((path, text))
                yield text

    @contextmanager
    def errors(self) -> Iterator[None]:
        """Turn a failure to read the corpus at hand into one line."""
        try:
            yield
        except CompressionUnavailable as exc:
            raise CommandError(str(exc)) from exc
        except (OSError, EOFError) as exc:
            reason = getattr(exc, "strerror", None) or first_line(exc)
            raise CommandError(f"cannot read {shown(self.current)}: {reason}") from exc

    def counts(self) -> list[tuple[str, int, int]]:
        """Per file read: the bytes replaced with U+FFFD and the tokens cut into pieces."""
        return [(path, text.replaced, text.split_tokens) for path, text in self.texts]


def reading_warnings(counts: Iterable[tuple[str, int, int]]) -> Iterator[str]:
    """The lines that tell, file by file, what reading the corpora changed in their text."""
    for path, replaced, split in counts:
        if replaced:
            yield f"{PROG}: {shown(path)}: replaced {replaced:,} undecodable byte{_s(replaced)} with U+FFFD"
        if split:
            yield (
                f"{PROG}: {shown(path)}: cut {split:,} token{_s(split)} longer than {TOKEN_CAP} characters "
                f"into pieces of {TOKEN_CAP}"
            )


def left_out_warnings(left_out: Iterable[tuple[str, int]]) -> Iterator[str]:
    """The lines that tell, for each directory given as a corpus, how many of its files were not text."""
    for directory, count in left_out:
        files = "1 file that is" if count == 1 else f"{count:,} files that are"
        yield f"{PROG}: {directory}: left out {files} not text"


def _s(count: int) -> str:
    return "" if count == 1 else "s"
