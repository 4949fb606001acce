"""Opening a path once: one handle, read forward, that can give back what it peeked at.

The header of a file is read from this handle when the file is opened and
its audio later from the same handle, so a named pipe or a process
substitution (``<(cat t.wav)``) reads like a file and no byte is asked for
twice.  A regular file can also be read at any place; a pipe is read
forward only, and copied to a temporary file where a format needs seeks.
"""

from __future__ import annotations

import errno
import io
import os
import stat
from typing import BinaryIO, cast

from orvane.isotrak.cd import BYTES_PER_FRAME, MAX_COUNT
from orvane.isotrak.errors import TrackError

__all__ = ["MAX_FRAMES", "READ_BYTES", "FileInput", "PlacedFile", "is_file", "is_folder", "reason"]

# Audio is read 1 MiB (262144 frames) at a time: few system calls and few
# Python steps per second of audio, yet no track is held whole.
READ_BYTES = 1 << 20

# No file the checksum can take holds more frames: a pipe is spooled up to
# that and no further.
MAX_FRAMES = MAX_COUNT


def reason(error: BaseException) -> str:
    """What went wrong, in the words of the system where it has some."""
    if isinstance(error, OSError) and error.errno == errno.ENAMETOOLONG:
        # A name past NAME_MAX, or a path past PATH_MAX.
        return "file name too long"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def is_file(path: str | os.PathLike[str]) -> bool:
    """Whether ``path`` is a regular file (or a link to one); False for a
    path the system cannot even look up (too long, say)."""
    try:
        return os.path.isfile(path)
    except (OSError, ValueError):
        return False


def is_folder(path: str | os.PathLike[str]) -> bool:
    """Whether ``path`` is a folder (or a link to one); False for a path
    the system cannot look up."""
    try:
        return os.path.isdir(path)
    except (OSError, ValueError):
        return False


class FileInput:
    """One open file, read forward, that can give back what it has peeked at.

    ``size`` is the length of a regular file, None for anything else (a
    pipe, a device): only a regular file can seek, and only its size is
    known before it is read.  ``position`` counts the bytes taken so far.
    """

    def __init__(self, name: str, file: BinaryIO) -> None:
        self.name = name
        self.file = file
        self.position = 0
        self._peeked = b""
        try:
            status = os.fstat(file.fileno())
        except OSError as error:
            file.close()
            raise TrackError(f"{name}: cannot be read: {reason(error)}") from None
        if stat.S_ISCHR(status.st_mode) or stat.S_ISBLK(status.st_mode):
            # A device may never end (/dev/zero), and a CD drive's audio is
            # not read through its block device.
            file.close()
            raise TrackError(f"{name}: cannot be read: it is a device, not a file or a pipe")
        self.size: int | None = status.st_size if stat.S_ISREG(status.st_mode) else None

    @classmethod
    def open(cls, path: str | os.PathLike[str], name: str) -> FileInput:
        try:
            file = open(path, "rb")
        except ValueError:
            # open() says "embedded null byte", naming nothing.
            raise TrackError(f"{name}: cannot be read: its path holds a NUL character") from None
        except OSError as error:
            raise TrackError(f"{name}: cannot be read: {reason(error)}") from None
        return cls(name, file)

    def close(self) -> None:
        self.file.close()

    def _read_file(self, count: int) -> bytes:
        try:
            # A buffered read returns fewer bytes than asked only at the end.
            return self.file.read(count)
        except (OSError, ValueError) as error:
            raise TrackError(f"{self.name}: cannot be read: {reason(error)}") from None

    def read(self, count: int) -> bytes:
        """Up to ``count`` bytes; fewer only at the end of the file."""
        if self._peeked:
            data, self._peeked = self._peeked[:count], self._peeked[count:]
            if len(data) < count:
                data += self._read_file(count - len(data))
        else:
            data = self._read_file(count)
        self.position += len(data)
        return data

    def readinto(self, buffer: memoryview) -> int:
        """Fill ``buffer`` from the input; fewer bytes only at the end of the file."""
        got = 0
        if self._peeked:
            got = min(len(self._peeked), len(buffer))
            buffer[:got] = self._peeked[:got]
            self._peeked = self._peeked[got:]
        file = cast(io.BufferedIOBase, self.file)  # what open(path, "rb") gives
        try:
            while got < len(buffer):
                count = file.readinto(buffer[got:])
                if not count:
                    break
                got += count
        except (OSError, ValueError) as error:
            raise TrackError(f"{self.name}: cannot be read: {reason(error)}") from None
        self.position += got
        return got

    def pread(self, buffer: memoryview, position: int) -> int:
        """Fill ``buffer`` from byte ``position`` of a regular file, leaving
        this input where it stands; fewer bytes only at the end of the file.

        Any number of threads may read at once, each at its own place."""
        got = 0
        try:
            while got < len(buffer):
                count = os.preadv(self.file.fileno(), [buffer[got:]], position + got)
                if not count:
                    break
                got += count
        except (OSError, ValueError) as error:
            raise TrackError(f"{self.name}: cannot be read: {reason(error)}") from None
        return got

    def peek(self, count: int) -> bytes:
        """The next ``count`` bytes (fewer at the end), left to be read again."""
        if len(self._peeked) < count:
            self._peeked += self._read_file(count - len(self._peeked))
        return self._peeked[:count]

    def skip(self, count: int) -> int:
        """Pass over ``count`` bytes; return how many there were."""
        if self.size is not None:
            skipped = max(0, min(count, self.size - self.position))
            self.seek(self.position + skipped)
            return skipped
        skipped = 0
        while skipped < count:
            data = self.read(min(count - skipped, READ_BYTES))
            if not data:
                break
            skipped += len(data)
        return skipped

    def seek(self, position: int) -> None:
        """Go to ``position``; for regular files only."""
        try:
            self.file.seek(position)
        except (OSError, ValueError) as error:
            raise TrackError(f"{self.name}: cannot be read: {reason(error)}") from None
        self._peeked = b""
        self.position = position

    def spooled(self) -> FileInput:
        """This input as a regular file: a pipe's bytes are copied to a temporary file.

        What has been peeked at is copied too, so the temporary file starts
        where this input stands.  Refuses a stream longer than any file the
        checksum can take (a device that never ends, say).
        """
        if self.size is not None:
            return self
        limit = MAX_FRAMES * BYTES_PER_FRAME
        import tempfile  # for pipes alone

        spool = tempfile.TemporaryFile()
        try:
            copied = 0
            while data := self.read(READ_BYTES):
                copied += len(data)
                if copied > limit:
                    raise TrackError(f"{self.name}: holds more audio than a checksum can take")
                spool.write(data)
            spool.flush()
            spool.seek(0)
        except OSError as error:
            spool.close()
            problem = reason(error)
            raise TrackError(f"{self.name}: cannot be copied from its pipe: {problem}") from None
        except BaseException:
            spool.close()
            raise
        self.close()
        return FileInput(self.name, spool)


class PlacedFile:
    """An open regular file as a file object at a place of its own, for a
    decoder that reads through Python: every read is a pread on the shared
    descriptor, so no reader moves another's place.

    A decoder that calls back into Python may print and lose an exception
    raised there: ``readinto`` keeps its failure in ``error`` and gives no
    bytes, for the caller to raise afterwards; ``read`` raises it.
    """

    def __init__(self, input: FileInput) -> None:
        assert input.size is not None
        self._name = input.name
        self._descriptor = input.file.fileno()
        self._size = input.size
        self._position = 0
        self.error: TrackError | None = None

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self._position, os.SEEK_END: self._size}[whence]
        self._position = base + offset
        return self._position

    def tell(self) -> int:
        return self._position

    def readinto(self, buffer: memoryview) -> int:
        # Called for every few KiB that a decoder reads: kept to one call.
        try:
            got = os.preadv(self._descriptor, [buffer], self._position)
        except OSError as error:
            self.error = TrackError(f"{self._name}: cannot be read: {reason(error)}")
            return 0
        self._position += got
        return got

    def read(self, count: int) -> bytes:
        buffer = bytearray(max(0, min(count, self._size - self._position)))
        got = self.readinto(memoryview(buffer))
        if self.error is not None:
            raise self.error
        return bytes(buffer[:got])
