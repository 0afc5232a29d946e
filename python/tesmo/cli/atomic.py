"""Outputs that replace their target only once they are complete.

A regular file is written as a temporary file beside the target, flushed,
synced and renamed over the target, so an interrupted or failed write leaves
an existing target as it was and no temporary file behind.
"""

from __future__ import annotations

import io
import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any, BinaryIO

from tesmo.streams import STDIO, compressing, compression_of, zstd_module


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
        zstd_module()
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
    compressor = compressing(suffix, raw)
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
