"""Files for the command line: "-" for stdin and stdout, URLs, and compression.

A file is compressed as its name's suffix says (in any case: ".GZ" is
".gz"); a file read whose name has no such suffix, and stdin, are
recognised by their first bytes. Suffixes of compression formats that are
not supported are refused rather than taken for plain data.

A file to read may also be named by an URL (``s3://bucket/corpus.txt``,
``gs://``, ``hdfs://``, ``file://``, any protocol fsspec knows), read
through fsspec, which only such names need.
"""

from __future__ import annotations

import bz2
import errno
import gzip
import lzma
import os
import re
import stat
import sys
from collections.abc import Callable, Iterator
from contextlib import ExitStack, closing, contextmanager
from typing import Any, BinaryIO

STDIO = "-"

SUFFIXES = (".gz", ".bz2", ".xz", ".zst")
# Compression and archive formats that a file may be named for but that no
# reader here understands: taken for plain data, they would be trained on or
# written as if they were text.
UNSUPPORTED = (".lz4", ".lzma", ".lz", ".lzo", ".br", ".z", ".sz", ".zip", ".7z", ".rar")
# The first bytes of each supported format, and how many to look at.
_BZIP2 = re.compile(rb"BZh[1-9](?:1AY&SY|\x17\x72\x45\x38\x50\x90)")
_MAGIC = ((b"\x1f\x8b\x08", ".gz"), (b"\xfd7zXZ\x00", ".xz"), (b"\x28\xb5\x2f\xfd", ".zst"))
MAGIC_SIZE = 10


class CompressionUnavailable(Exception):
    """The file's compression needs a module that is not installed, or is not supported."""


class UrlUnavailable(Exception):
    """An URL whose protocol needs a module that is not installed."""


# A scheme of two letters or more, so that a Windows drive ("C:\\") is no URL.
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]+://")


def is_url(path: str) -> bool:
    """Whether ``path`` names a file by an URL (``s3://...``) rather than a local path."""
    return _URL.match(path) is not None


def url_filesystem(path: str) -> Any:
    """The fsspec filesystem of the URL ``path``; :class:`UrlUnavailable` without fsspec or its protocol's package."""
    try:
        import fsspec  # type: ignore[import-not-found,import-untyped,unused-ignore]
    except ImportError:
        raise UrlUnavailable(f"{path}: reading URLs needs the fsspec package (pip install fsspec)") from None
    protocol = path.split("://", 1)[0]
    try:
        return fsspec.filesystem(protocol)
    except (ImportError, ValueError) as exc:
        # fsspec names the package a protocol needs ("Install s3fs to access S3").
        reason = str(exc).strip().strip("'\"").splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise UrlUnavailable(f"{path}: {reason}") from exc


@contextmanager
def open_stored(path: str) -> Iterator[Any]:
    """Open ``path`` (a local path or an URL) for binary reading, its bytes as stored; it may seek."""
    if not is_url(path):
        with open(path, "rb") as file:
            yield file
        return
    with url_filesystem(path).open(path, "rb") as file:
        yield file


def suffix_of(path: str) -> str | None:
    """The compression suffix of ``path`` (".gz", ".bz2", ".xz", ".zst"), in lower case, or None.

    Raises :class:`CompressionUnavailable` for the suffix of a format that is
    not supported.
    """
    if path == STDIO:
        return None
    lower = path.lower()
    for suffix in SUFFIXES:
        if lower.endswith(suffix):
            return suffix
    for suffix in UNSUPPORTED:
        if lower.endswith(suffix):
            raise CompressionUnavailable(
                f"{path}: {path[-len(suffix) :]} files are not supported (.gz, .bz2, .xz and .zst are)"
            )
    return None


def compression_by_magic(head: bytes) -> str | None:
    """The compression whose magic number ``head`` begins with, as its suffix, or None."""
    for magic, suffix in _MAGIC:
        if head.startswith(magic):
            return suffix
    return ".bz2" if _BZIP2.match(head) else None


def compression_of(path: str) -> str | None:
    """The compression of ``path`` to read: by its suffix, else (a regular file) by its first bytes."""
    suffix = suffix_of(path)
    if suffix is not None or path == STDIO:
        return suffix
    try:
        if is_url(path):
            with open_stored(path) as file:
                return compression_by_magic(file.read(MAGIC_SIZE))
        with open(path, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                return None
            return compression_by_magic(file.read(MAGIC_SIZE))
    except OSError:
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
    return _ZstandardReader(zstd, raw)  # type: ignore[return-value]


class _ZstandardReader:
    """The frames of a .zst file through the zstandard package, one after another.

    Its own stream reader ends quietly where a frame is cut short; this one
    raises EOFError there, as the standard library's readers do.
    """

    # Small feeds keep the output of one call small, even for data that
    # expands thousands of times.
    _FEED = 16 << 10

    def __init__(self, zstd: Any, raw: BinaryIO) -> None:
        self._new = zstd.ZstdDecompressor().decompressobj
        self._raw = raw
        self._frame: Any = None
        self._ready = b""
        self._at = 0

    def read(self, size: int = -1) -> bytes:
        while size < 0 or len(self._ready) - self._at < size:
            if not self._fill():
                break
        end = len(self._ready) if size < 0 else self._at + size
        chunk = self._ready[self._at : end]
        self._at = end
        return chunk

    def _fill(self) -> bool:
        """Decompress the next block of stored bytes; False at the end of the last frame."""
        data = self._raw.read(self._FEED)
        if not data:
            if self._frame is not None:
                raise EOFError("Compressed file ended before the end-of-frame marker was reached")
            return False
        pieces = [self._ready[self._at :]]
        while data:
            if self._frame is None:
                self._frame = self._new()
            pieces.append(self._frame.decompress(data))
            data = b""
            if self._frame.eof:
                data, self._frame = self._frame.unused_data, None
        self._ready, self._at = b"".join(pieces), 0
        return True

    def close(self) -> None:
        pass


def compressing(suffix: str, raw: BinaryIO) -> BinaryIO:
    if suffix == ".gz":
        # Level 6, gzip's own default: level 9 costs far more time for little.
        return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0)  # type: ignore[return-value]
    if suffix == ".bz2":
        return bz2.BZ2File(raw, "wb")  # type: ignore[return-value]
    if suffix == ".xz":
        return lzma.LZMAFile(raw, "wb")  # type: ignore[return-value]
    # With the content checksum, a flipped bit is an error when read, not
    # another chain; gzip, bzip2 and xz carry their checks already.
    kind, zstd = zstd_module()
    if kind == "stdlib":
        return zstd.ZstdFile(raw, "wb", options={zstd.CompressionParameter.checksum_flag: 1})
    return zstd.ZstdCompressor(write_checksum=True).stream_writer(raw, closefd=False)


_KINDS = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}


class CorruptInput(OSError):
    """Compressed data that does not decompress: damaged, or cut short."""


class _Watched:
    """The stored bytes under a decompressor, remembering the error of a read.

    An error of the file itself is told apart from one of the data this way,
    so that a failing disk is not reported as damaged data.
    """

    def __init__(self, file: Any) -> None:
        self._file = file
        self.error: BaseException | None = None

    def read(self, size: int = -1) -> bytes:
        try:
            return self._file.read(size)  # type: ignore[no-any-return]
        except BaseException as exc:
            self.error = exc
            raise

    def readinto(self, buffer: Any) -> int:
        try:
            return self._file.readinto(buffer) or 0
        except BaseException as exc:
            self.error = exc
            raise

    def readable(self) -> bool:
        return True


class Decompressed:
    """A decompressing reader whose data errors are :class:`CorruptInput`."""

    def __init__(self, suffix: str, file: Any, name: str) -> None:
        self._stored = _Watched(file)
        self._kind = _KINDS[suffix]
        self._name = name
        self._file = _decompressing(suffix, self._stored)  # type: ignore[arg-type]

    def read(self, size: int = -1) -> bytes:
        try:
            data: bytes = self._file.read(size)
        except MemoryError:
            raise
        except Exception as exc:
            if exc is self._stored.error:
                raise
            if isinstance(exc, EOFError):
                problem = f"{self._kind} data cut short"
            else:
                problem = f"corrupt {self._kind} data ({str(exc).strip() or type(exc).__name__})"
            raise CorruptInput(None, problem, self._name) from exc
        return data

    def readable(self) -> bool:
        return True

    def close(self) -> None:
        self._file.close()


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
    """The size in bytes of ``path`` when it is a regular file (or an URL's file), else None."""
    if path == STDIO:
        return None
    if is_url(path):
        try:
            return int(url_filesystem(path).size(path))
        except (OSError, UrlUnavailable, TypeError, ValueError):
            return None
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


class _Prefixed:
    """A binary reader that gives ``prefix`` before the rest of ``file``."""

    def __init__(self, prefix: bytes, file: Any) -> None:
        self._prefix = prefix
        self._file = file

    def read(self, size: int = -1) -> bytes:
        prefix = self._prefix
        if not prefix:
            return self._file.read(size)  # type: ignore[no-any-return]
        if 0 <= size <= len(prefix):
            self._prefix = prefix[size:]
            return prefix[:size]
        self._prefix = b""
        return prefix + self._file.read(-1 if size < 0 else size - len(prefix))

    def readable(self) -> bool:
        return True


class _Stdin:
    """Stdin's bytes, of which a first part may have been looked at already."""

    kept = b""

    def read(self, size: int = -1) -> bytes:
        kept = _Stdin.kept
        if not kept:
            return _stdin().read(size)  # type: ignore[no-any-return]
        if 0 <= size <= len(kept):
            _Stdin.kept = kept[size:]
            return kept[:size]
        _Stdin.kept = b""
        return kept + _stdin().read(-1 if size < 0 else size - len(kept))

    def readable(self) -> bool:
        return True


def _stdin() -> BinaryIO:
    if sys.stdin is None:
        # Started with stdin closed: nothing to read, which is not an empty input.
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    return sys.stdin.buffer


def _read_up_to(file: Any, size: int) -> bytes:
    """Up to ``size`` bytes, fewer only at the end (a pipe gives what it has)."""
    pieces, left = [], size
    while left > 0:
        data = file.read(left)
        if not data:
            break
        pieces.append(data)
        left -= len(data)
    return b"".join(pieces)


def peek_stdin(size: int) -> bytes:
    """The first ``size`` bytes of stdin (fewer at its end), left for its readers to read."""
    if len(_Stdin.kept) < size:
        _Stdin.kept += _read_up_to(_stdin(), size - len(_Stdin.kept))
    return _Stdin.kept[:size]


@contextmanager
def open_input(path: str, on_read: Callable[[int], None] | None = None) -> Iterator[BinaryIO]:
    """Open ``path`` ("-" for stdin) for binary reading, decompressed as it is compressed.

    ``on_read`` is told the size of every read of the file as stored, before
    decompression.
    """
    suffix = suffix_of(path)
    if suffix == ".zst":
        zstd_module()
    with ExitStack() as stack:
        raw: Any = _Stdin() if path == STDIO else stack.enter_context(open_stored(path))
        if on_read is not None:
            raw = Counted(raw, on_read)
        if suffix is None:
            head = _read_up_to(raw, MAGIC_SIZE)
            suffix = compression_by_magic(head)
            raw = _Prefixed(head, raw)
            if suffix == ".zst":
                zstd_module()
        if suffix is not None:
            raw = stack.enter_context(closing(Decompressed(suffix, raw, path)))
        yield raw
