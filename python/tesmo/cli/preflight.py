"""What a command checks before it starts its work.

Every input is opened (it exists, may be read, is no directory where a file
is wanted), every corpus is looked at for being text, the output's directory
must exist and take a new file, and every compression the names ask for must
be supported: a typo in the last of several names fails at once, not after
minutes of training.
"""

from __future__ import annotations

import argparse
import bz2
import codecs
import errno
import lzma
import os
import re
import stat
import sys
import zlib
from typing import Any

from tesmo.cli.errors import CommandError, os_error, shown
from tesmo.streams import (
    STDIO,
    CompressionUnavailable,
    UrlUnavailable,
    compression_by_magic,
    is_url,
    open_input,
    peek_stdin,
    suffix_of,
    url_filesystem,
    zstd_module,
)

_CLOSED = os.strerror(errno.EBADF)
# How much of a corpus is looked at, and how much of it may be bytes that
# are not UTF-8 before it is taken for something else than text: text in
# another encoding has a few, binary data about half.
SNIFF_SIZE = 64 << 10
_UNDECODABLE_SHARE = 10  # percent
_UNDECODABLE_FLOOR = 16  # bytes: a few stray ones never refuse a short text
_ESCAPED = re.compile("[\udc80-\udcff]")


def preflight(args: argparse.Namespace) -> None:
    """Refuse to start a command that could not read its inputs or write its output.

    What only needs names and metadata comes first; the corpora are looked
    at last, since stdin may be slow to give its first bytes.
    """
    inputs = args.inputs_of(args)
    output = args.output_of(args)
    if STDIO in inputs and sys.stdin is None:
        raise CommandError(f"cannot read stdin: {_CLOSED}")
    if output == STDIO and sys.stdout is None:
        raise CommandError(f"write error: {_CLOSED}")
    for path in [*inputs, output]:
        _check_codec(path)
    corpora = getattr(args, "corpus", None)
    for path in inputs:
        if path != STDIO:
            _check_readable(path, directory=corpora is not None and path in corpora)
    if output is not None and output != STDIO:
        check_writable(output)
    if corpora is not None:
        use = "train on" if args.command == "train" else "read"
        args.corpus, args.left_out = corpus_files(corpora, force=args.force, use=use)


def _check_codec(path: str | None) -> None:
    if path is None or path == STDIO:
        return
    try:
        if suffix_of(path) == ".zst":
            zstd_module()
        if is_url(path):
            url_filesystem(path)
    except (CompressionUnavailable, UrlUnavailable) as exc:
        raise CommandError(str(exc)) from exc


def _check_readable(path: str, directory: bool) -> None:
    """Open ``path`` for reading, which is also what tells a directory (allowed as a corpus) from a file."""
    if is_url(path):
        return _check_url(path)
    try:
        info = os.stat(path)
        if directory and stat.S_ISDIR(info.st_mode):
            os.scandir(path).close()
            return
        if not stat.S_ISREG(info.st_mode) and not stat.S_ISDIR(info.st_mode):
            # A pipe or a device: opening it may wait for a writer, and
            # closing it may end the writer's output.
            if not os.access(path, os.R_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
            return
        with open(path, "rb") as file:
            if stat.S_ISDIR(os.fstat(file.fileno()).st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    except OSError as exc:
        raise os_error("read", path, exc) from exc


def _check_url(path: str) -> None:
    """An URL must name a file that is there: a directory of a cluster's storage is not looked into."""
    try:
        if url_filesystem(path).isdir(path):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        with url_filesystem(path).open(path, "rb"):
            pass
    except OSError as exc:
        raise os_error("read", path, exc) from exc


def check_writable(path: str) -> None:
    """Refuse an output whose directory is missing or takes no new file, or that is a directory."""
    target = os.path.realpath(path)
    directory = os.path.dirname(target) or "."
    try:
        info = os.stat(target)
    except FileNotFoundError:
        info = None
    except OSError as exc:
        raise os_error("write", path, exc) from exc
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise os_error("write", path, IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR)))
    if info is not None and not stat.S_ISREG(info.st_mode):
        # A device or a pipe is written directly.
        if not os.access(target, os.W_OK):
            raise os_error("write", path, PermissionError(errno.EACCES, os.strerror(errno.EACCES)))
        return
    if not os.path.isdir(directory):
        raise os_error("write", path, FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT)))
    if not os.access(directory, os.W_OK | os.X_OK):
        code = errno.EROFS if _read_only(directory) else errno.EACCES
        raise os_error("write", path, OSError(code, os.strerror(code)))


def _read_only(directory: str) -> bool:
    try:
        return bool(os.statvfs(directory).f_flag & os.ST_RDONLY)
    except OSError:
        return False


def text_problem(sample: bytes) -> str | None:
    """Why the first bytes of a corpus, ``sample``, are not text, or None."""
    if b"\0" in sample:
        return "it holds NUL bytes"
    # Each byte that is not UTF-8 becomes one escape; a character cut at the
    # end of the sample is held back, not counted.
    text = codecs.getincrementaldecoder("utf-8")(errors="surrogateescape").decode(sample, final=False)
    undecodable = len(_ESCAPED.findall(text))
    if undecodable >= _UNDECODABLE_FLOOR and undecodable * 100 > len(sample) * _UNDECODABLE_SHARE:
        return f"{undecodable:,} of its first {len(sample):,} bytes are not UTF-8"
    return None


def _sample(path: str) -> bytes:
    """The first bytes of a corpus as text, decompressed, without taking them from its readers."""
    if path != STDIO:
        with open_input(path) as file:
            return file.read(SNIFF_SIZE)
    stored = peek_stdin(SNIFF_SIZE)
    return _decompress_start(compression_by_magic(stored), stored)


def _decompress_start(suffix: str | None, data: bytes) -> bytes:
    """As much of ``SNIFF_SIZE`` bytes as the start ``data`` of compressed data gives."""
    if suffix is None:
        return data
    decompressor: Any
    if suffix == ".gz":
        decompressor = zlib.decompressobj(wbits=31)
    elif suffix == ".bz2":
        decompressor = bz2.BZ2Decompressor()
    elif suffix == ".xz":
        decompressor = lzma.LZMADecompressor()
    else:
        kind, zstd = zstd_module()
        if kind == "stdlib":
            decompressor = zstd.ZstdDecompressor()
        else:
            frame = zstd.ZstdDecompressor().decompressobj()
            return bytes(frame.decompress(data[:4096]))[:SNIFF_SIZE]
    try:
        return bytes(decompressor.decompress(data, SNIFF_SIZE))
    except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error):
        return b""  # damaged: reading it reports that


def corpus_files(paths: list[str], force: bool, use: str = "train on") -> tuple[list[str], list[tuple[str, int]]]:
    """The corpora with directories replaced by their text files, each checked for being text.

    A directory gives the files under it, recursively, in the order of their
    paths, leaving out hidden ones and those that cannot be read as text
    (unless ``force``, those that are not text). Returns the files, and for
    each directory how many files it left out. ``use`` says in the errors
    what the command does with the text ("train on").
    """
    files: list[str] = []
    left_out: list[tuple[str, int]] = []
    for path in paths:
        if path != STDIO and os.path.isdir(path):
            found, skipped = _text_files(path, force)
            if not found:
                raise CommandError(f"{path} holds no text file to {use}")
            files.extend(found)
            if skipped:
                left_out.append((path, skipped))
            continue
        if not force:
            problem = _corpus_problem(path)
            if problem is not None:
                verb = use.replace(" ", "s ", 1) if " " in use else use + "s"
                raise CommandError(f"{shown(path)} does not look like text ({problem}); --force {verb} it anyway")
        files.append(path)
    return files, left_out


def _corpus_problem(path: str) -> str | None:
    if path != STDIO and not is_url(path) and not os.path.isfile(path):
        return None  # a pipe or a device gives its bytes once: they are for training
    try:
        return text_problem(_sample(path))
    except CompressionUnavailable as exc:
        raise CommandError(str(exc)) from exc
    except OSError as exc:
        raise os_error("read", path, exc) from exc


def _text_files(directory: str, force: bool) -> tuple[list[str], int]:
    found = []
    for root, dirs, names in os.walk(directory):
        dirs[:] = [name for name in dirs if not name.startswith(".")]
        found.extend(os.path.join(root, name) for name in names if not name.startswith("."))
    found.sort(key=lambda path: os.path.relpath(path, directory).split(os.sep))
    files = []
    for path in found:
        if not os.path.isfile(path):
            continue
        try:
            if force:
                suffix_of(path)
            elif _corpus_problem(path) is not None:
                continue
        except (CommandError, CompressionUnavailable):
            continue
        files.append(path)
    return files, len(found) - len(files)
