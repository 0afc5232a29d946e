"""Files for the command line: "-" for stdin and stdout, compression chosen by
the file name's suffix, and outputs that replace their target only once they
are complete.

A regular file is written as a temporary file beside the target, flushed,
synced and renamed over the target, so an interrupted or failed write leaves
an existing target as it was and no temporary file behind.
"""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import stat
import sys
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import IO, Any, BinaryIO

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


def _zstd_module() -> tuple[str, Any]:
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
    kind, zstd = _zstd_module()
    if kind == "stdlib":
        return zstd.ZstdFile(raw, "rb")
    return zstd.ZstdDecompressor().stream_reader(raw, read_across_frames=True, closefd=False)


def _compressing(suffix: str, raw: BinaryIO) -> BinaryIO:
    if suffix == ".gz":
        # Level 6, gzip's own default: level 9 costs far more time for little.
        return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0)  # type: ignore[return-value]
    if suffix == ".bz2":
        return bz2.BZ2File(raw, "wb")  # type: ignore[return-value]
    if suffix == ".xz":
        return lzma.LZMAFile(raw, "wb")  # type: ignore[return-value]
    kind, zstd = _zstd_module()
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
        _zstd_module()
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


def _exists_as_other_than_regular_file(path: str) -> bool:
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return False


def _create_beside(target: str) -> tuple[str, int]:
    """Create a new, empty temporary file in the target's directory."""
    directory, name = os.path.split(target)
    while True:
        temp = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            # 0o666 under the umask, as a new file made by open() would get.
            return temp, os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
        except FileExistsError:
            continue


def _sync_directory(directory: str) -> None:
    try:
        fd = os.open(directory or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a directory; the rename is done
    finally:
        os.close(fd)


@contextmanager
def open_output(path: str) -> Iterator[BinaryIO]:
    """Open ``path`` ("-" for stdout) for binary writing, compressed by suffix.

    A regular file or a new one is written in a temporary file that replaces
    it only when the block ends without an exception; anything else (stdout,
    a device, a pipe) is written directly.
    """
    suffix = compression_of(path)
    if suffix == ".zst":
        _zstd_module()
    if path == STDIO:
        with _layered(sys.stdout.buffer, suffix) as file:
            yield file
        sys.stdout.buffer.flush()
        return
    if _exists_as_other_than_regular_file(path):
        with open(path, "wb") as raw, _layered(raw, suffix) as file:
            yield file
        return
    # Through a symbolic link, the file it points to is the one replaced.
    target = os.path.realpath(path)
    temp, fd = _create_beside(target)
    done = False
    try:
        with open(fd, "wb") as raw:
            with _layered(raw, suffix) as file:
                yield file
            raw.flush()
            os.fsync(raw.fileno())
            try:
                os.chmod(temp, stat.S_IMODE(os.stat(target).st_mode))
            except FileNotFoundError:
                pass
        os.replace(temp, target)
        done = True
        _sync_directory(os.path.dirname(target))
    finally:
        if not done:
            try:
                os.unlink(temp)
            except FileNotFoundError:
                pass


@contextmanager
def _layered(raw: BinaryIO, suffix: str | None) -> Iterator[BinaryIO]:
    """``raw`` behind a compressor, which is finished only on success."""
    if suffix is None:
        yield raw
        return
    compressor = _compressing(suffix, raw)
    try:
        yield compressor
    except BaseException:
        try:
            compressor.close()
        except Exception:
            pass  # the output is being thrown away; the first error is the one to report
        raise
    compressor.close()


class _TextSink(io.BufferedIOBase):
    """What a text wrapper writes its encoded text into.

    It passes the bytes on and never flushes or closes the file below, which
    is left to :func:`open_output`. Once abandoned it drops what it is given,
    so a wrapper collected after a failure writes nothing more.
    """

    def __init__(self, file: BinaryIO) -> None:
        super().__init__()
        self._file: BinaryIO | None = file

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        if self._file is not None:
            self._file.write(data)
        return len(data)

    def abandon(self) -> None:
        self._file = None


@contextmanager
def text_output(path: str) -> Iterator[IO[str]]:
    """:func:`open_output` as UTF-8 text, written exactly as given."""
    with open_output(path) as binary:
        sink = _TextSink(binary)
        text = io.TextIOWrapper(sink, encoding="utf-8", newline="")  # type: ignore[arg-type]
        try:
            yield text
            text.flush()
        except BaseException:
            sink.abandon()
            raise
