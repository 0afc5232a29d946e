"""Files for the command line: "-" for stdin and stdout, compression chosen by
the file name's suffix.
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import stat
import sys
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import Any, BinaryIO

STDIO = "-"

SUFFIXES = (".gz", ".bz2", ".xz", ".zst")


class CompressionUnavailable(Exception):
    """The file's compression needs a module that is not installed."""


def compression_of(path: str) -> str | None:
    """The compression suffix of ``path`` (".gz", ".bz2", ".xz", ".zst"), or None."""
    if path == STDIO:
        return None
    for suffix in SUFFIXES:
        if path.endswith(suffix):
            return suffix
    return None


def zstd_module() -> tuple[str, Any]:
    try:
        from compression import zstd  # type: ignore[import-not-found]  # Python 3.14+

        return "stdlib", zstd
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found]

        return "zstandard", zstandard
    except ImportError:
        raise CompressionUnavailable(
            ".zst files need Python 3.14 or the zstandard package (pip install 'tesmo[zstd]')"
        ) from None


def _decompressing(suffix: str, raw: BinaryIO) -> BinaryIO:
    if suffix == ".gz":
        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if suffix == ".bz2":
        return bz2.BZ2File(raw, "rb")  # type: ignore[return-value]
    if suffix == ".xz":
        return lzma.LZMAFile(raw, "rb")  # type: ignore[return-value]
    kind, zstd = zstd_module()
    if kind == "stdlib":
        return zstd.ZstdFile(raw, "rb")
    return zstd.ZstdDecompressor().stream_reader(raw, read_across_frames=True, closefd=False)


def compressing(suffix: str, raw: BinaryIO) -> BinaryIO:
    if suffix == ".gz":
        # Level 6, gzip's own default: level 9 costs far more time for little.
        return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0)  # type: ignore[return-value]
    if suffix == ".bz2":
        return bz2.BZ2File(raw, "wb")  # type: ignore[return-value]
    if suffix == ".xz":
        return lzma.LZMAFile(raw, "wb")  # type: ignore[return-value]
    kind, zstd = zstd_module()
    if kind == "stdlib":
        return zstd.ZstdFile(raw, "wb")
    return zstd.ZstdCompressor().stream_writer(raw, closefd=False)


class Counted:
    """A binary reader that reports the size of every read to ``on_read``."""

    def __init__(self, file: BinaryIO, on_read: Callable[[int], None]) -> None:
        self._file = file
        self._on_read = on_read

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self._on_read(len(data))
        return data

    def readinto(self, buffer: Any) -> int:
        size = self._file.readinto(buffer) or 0
        self._on_read(size)
        return size

    def readable(self) -> bool:
        return True


def input_size(path: str) -> int | None:
    """The size in bytes of ``path`` when it is a regular file, else None."""
    if path == STDIO:
        return None
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


@contextmanager
def open_input(path: str, on_read: Callable[[int], None] | None = None) -> Iterator[BinaryIO]:
    """Open ``path`` ("-" for stdin) for binary reading, decompressed by suffix.

    ``on_read`` is told the size of every read of the file as stored, before
    decompression.
    """
    suffix = compression_of(path)
    if suffix == ".zst":
        zstd_module()
    with ExitStack() as stack:
        if path == STDIO:
            raw: BinaryIO = sys.stdin.buffer
        else:
            raw = stack.enter_context(open(path, "rb"))
        if on_read is not None:
            raw = Counted(raw, on_read)  # type: ignore[assignment]
        if suffix is not None:
            raw = stack.enter_context(_decompressing(suffix, raw))
        yield raw
