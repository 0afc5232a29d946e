"""Outputs that replace their target only once they are complete.

A regular file is written as a temporary file beside the target, flushed,
synced and renamed over the target, so an interrupted or failed write leaves
an existing target as it was and no temporary file behind. From the rename
on, Ctrl-C and SIGTERM are held back for the rest of the command.
"""

from __future__ import annotations

import errno
import io
import os
import re
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any, BinaryIO

from tesmo.cli import signals
from tesmo.streams import STDIO, compressing, suffix_of, zstd_module


def _exists_as_other_than_regular_file(path: str) -> bool:
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return False


# A temporary file is named after its target and the process writing it, so
# that a user knows it, and a later write can tell one left by a process that
# was killed: ".model.json.tesmo-4711-1f2e3d4c.tmp".
_TEMPORARY = re.compile(r"\..*\.tesmo-(?P<pid>[0-9]+)-[0-9a-f]{8}\.tmp\Z", re.DOTALL)
# Room for the rest of the temporary name within a file name's 255 bytes.
_NAME_ROOM = 200


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):
        return True  # another user's process, or no way to tell: leave its file
    return True


def remove_stale(directory: str) -> None:
    """Remove the temporary files that killed processes left in ``directory``."""
    try:
        entries = list(os.scandir(directory or "."))
    except OSError:
        return
    for entry in entries:
        found = _TEMPORARY.match(entry.name)
        if found is None or int(found["pid"]) == os.getpid() or _alive(int(found["pid"])):
            continue
        try:
            if entry.is_file(follow_symlinks=False):
                os.unlink(entry.path)
        except OSError:
            pass


def _create_beside(target: str) -> tuple[str, int]:
    """Create a new, empty temporary file in the target's directory, as the target is.

    It has the mode, owner and group of an existing target from the start
    (owner and group where the process may set them, as ``install`` does),
    so a private model is never readable by others while it is written; a
    new target gets what ``open`` would give it.
    """
    directory, name = os.path.split(target)
    try:
        existing: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        existing = None
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    short = os.fsdecode(os.fsencode(name)[:_NAME_ROOM])
    while True:
        temp = os.path.join(directory, f".{short}.tesmo-{os.getpid()}-{os.urandom(4).hex()}.tmp")
        try:
            fd = os.open(temp, flags, 0o600 if existing is not None else 0o666)
            break
        except FileExistsError:
            continue
    if existing is not None:
        try:
            _keep_owner(fd, existing)
            os.fchmod(fd, stat.S_IMODE(existing.st_mode))
        except BaseException:
            os.close(fd)
            os.unlink(temp)
            raise
    return temp, fd


def _keep_owner(fd: int, existing: os.stat_result) -> None:
    """Give the file the owner and group of ``existing``, or as much as the process may."""
    for uid, gid in ((existing.st_uid, existing.st_gid), (-1, existing.st_gid)):
        try:
            os.fchown(fd, uid, gid)
            return
        except PermissionError:
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
    suffix = suffix_of(path)
    if suffix == ".zst":
        zstd_module()
    if path == STDIO:
        if sys.stdout is None:
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
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
    remove_stale(os.path.dirname(target))
    temp, fd = _create_beside(target)
    done = False
    try:
        with open(fd, "wb") as raw:
            with _layered(raw, suffix) as file:
                yield file
            raw.flush()
            os.fsync(raw.fileno())
        # From the rename on, the target is the new one: what the command
        # says and returns must say so, whatever signal comes.
        signals.hold()
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
