"""Audio files opened once: one handle, its header read first, then its audio.

A path is opened exactly once.  The header is read from that handle when
the file is opened, and the audio later from the same handle, so a named
pipe or a process substitution (``<(cat t.wav)``) reads like a file and no
byte is asked for twice.  A regular file can be read again from its start;
anything else is read forward only, and chunks it holds are skipped by
reading them.

Every problem is a TrackError whose message starts with the file's name.
"""

from __future__ import annotations

import io
import os
import stat
import tempfile
from array import array
from collections.abc import Iterator
from pathlib import Path
from types import TracebackType
from typing import BinaryIO, Protocol, cast

from orvane.isotrak.cd import BYTES_PER_FRAME, MAX_COUNT
from orvane.isotrak.errors import TrackError, Warn

__all__ = [
    "BYTES_PER_FRAME",
    "READ_BYTES",
    "AudioFile",
    "FileInput",
    "FrameReader",
    "MAX_FRAMES",
    "MAX_RATE",
    "PCMFile",
    "describe_channels",
    "open_raw",
    "partial_frame_warning",
    "reason",
    "refuse_rate",
    "refuse_shape",
    "swap_bytes",
]


# Audio is read 1 MiB (262144 frames) at a time: few system calls and few
# Python steps per second of audio, yet no track is held whole.
READ_BYTES = 1 << 20

# No file the checksum can take holds more frames (a pipe is spooled up
# to that and no further), and no rate beyond it can be checked.
MAX_FRAMES = MAX_RATE = MAX_COUNT


def reason(error: BaseException) -> str:
    """What went wrong, in the words of the system where it has some."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def describe_channels(channels: int, what: str) -> str:
    """Say what a track holds: '1 channel of 16-bit PCM', '2 channels of ...'."""
    return f"{channels} channel{'' if channels == 1 else 's'} of {what}"


def refuse_shape(name: str, has: str) -> TrackError:
    return TrackError(f"{name}: {has}; only 2-channel 16-bit PCM can be checked")


def refuse_rate(name: str, rate: int) -> None:
    """Refuse a sample rate beyond the checksum's signed 32-bit count."""
    if rate > MAX_RATE:
        raise TrackError(f"{name}: sample rate {rate} Hz is out of range (at most {MAX_RATE} Hz)")


def partial_frame_warning(name: str, stray: int) -> str:
    return (
        f"{name}: ignoring the last {stray} byte{'' if stray == 1 else 's'} of its audio, "
        "which do not make a whole frame"
    )


def swap_bytes(data: bytes) -> bytes:
    """Swap the two bytes of every 16-bit sample."""
    samples = array("h", data)
    samples.byteswap()
    return samples.tobytes()


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


class FrameReader(Protocol):
    """Reads a file's audio into buffers the caller gives, from some frame on.

    ``read_into`` fills the start of a writable buffer (a multiple of 4
    bytes) with little-endian 16-bit stereo frames and returns how many it
    read, fewer than fit only where the audio runs out (0 at its end).
    ``skip`` passes over frames.  Raises TrackError when the file cannot be
    read."""

    def read_into(self, buffer: memoryview) -> int: ...

    def skip(self, frames: int) -> None: ...

    def close(self) -> None: ...


class AudioFile:
    """An opened audio file: its header read, its audio ready to be read.

    ``name`` names it in messages and results, ``path`` is where it was
    opened, ``frames`` its length in frames, ``sample_rate`` its rate in Hz
    and ``format`` a short word for what it is ("WAV", "FLAC", ...).
    Iterating yields its audio as bytes of little-endian signed 16-bit
    stereo frames, whole frames in every block, and raises TrackError if
    reading fails part-way or the file ends before ``frames`` frames.  A
    regular file can be iterated again; a pipe only once.
    """

    def __init__(
        self, input: FileInput, path: Path, frames: int, sample_rate: int, format: str
    ) -> None:
        self._input = input
        self.name = input.name
        self.path = path
        self.frames = frames
        self.sample_rate = sample_rate
        self.format = format
        self._started = False
        self._closed = False

    def __repr__(self) -> str:
        return (
            f"<{type(self).__name__} {self.name!r}: {self.format}, "
            f"{self.frames} frames at {self.sample_rate} Hz>"
        )

    def __iter__(self) -> Iterator[bytes]:
        if self._closed:
            raise TrackError(f"{self.name}: was closed before its audio was read")
        if self._started and self._input.size is None:
            raise TrackError(f"{self.name}: cannot be read twice: it is not a regular file")
        self._started = True
        return self._blocks()

    def _blocks(self) -> Iterator[bytes]:
        raise NotImplementedError

    @property
    def rereadable(self) -> bool:
        """Whether the file can be read again, and by several readers at once:
        a regular file (a pipe is read once, forward)."""
        return self._input.size is not None

    # Frames a read fills at most: as much as the reader handles best.
    read_frames = READ_BYTES // BYTES_PER_FRAME

    # Whether its audio is decoded (costs far more than its checksums), or
    # read as stored.
    decodes = False

    def frame_reader(self, offset: int = 0) -> FrameReader:
        """A reader of the audio from frame ``offset`` on.

        For a regular file each reader has a place of its own, and readers
        may be used at once from several threads; a pipe has one reader,
        made once, going forward from where the header left it.
        """
        if self._closed:
            raise TrackError(f"{self.name}: was closed before its audio was read")
        if not self.rereadable:
            if self._started:
                raise TrackError(f"{self.name}: cannot be read twice: it is not a regular file")
            self._started = True
        reader = self._open_reader()
        if offset:
            reader.skip(offset)
        return reader

    def _open_reader(self) -> FrameReader:
        raise NotImplementedError

    def _ended_early(self, got: int) -> TrackError:
        return TrackError(f"{self.name}: ends after {got} of its {self.frames} frames")

    def close(self) -> None:
        self._closed = True
        self._input.close()

    def __enter__(self) -> AudioFile:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


class PCMFile(AudioFile):
    """A file whose audio is 16-bit stereo PCM as stored, from byte ``start`` on.

    WAV data chunks and raw images are such files; ``big_endian`` marks
    samples that must be byte-swapped into the little-endian blocks.
    """

    def __init__(
        self,
        input: FileInput,
        path: Path,
        frames: int,
        sample_rate: int,
        format: str,
        *,
        start: int,
        big_endian: bool = False,
    ) -> None:
        super().__init__(input, path, frames, sample_rate, format)
        self._start = start
        # Bytes in a file are the same on every host: only their order in
        # the file decides whether they need swapping.
        self._swap = big_endian

    def _open_reader(self) -> FrameReader:
        # A pipe stands at the first audio byte once its header is read.
        return _PCMReader(self, self._input, self._start, self._swap)

    def _blocks(self) -> Iterator[bytes]:
        input = self._input
        if input.size is not None:
            input.seek(self._start)
        remaining = self.frames * BYTES_PER_FRAME
        while remaining:
            want = min(remaining, READ_BYTES)
            data = input.read(want)
            if len(data) < want:
                data = data[: len(data) - len(data) % BYTES_PER_FRAME]
            remaining -= len(data)
            if data:
                yield swap_bytes(data) if self._swap else data
            if len(data) < want:
                raise self._ended_early(self.frames - remaining // BYTES_PER_FRAME)


class _PCMReader:
    """Reads a PCMFile's frames: at its own place in a regular file (pread),
    or straight on from a pipe."""

    def __init__(self, file: PCMFile, input: FileInput, start: int, swap: bool) -> None:
        self._input = input
        self._swap = swap
        self._end = start + file.frames * BYTES_PER_FRAME
        self._position = start  # the next byte to read
        self._shared = input.size is None

    def read_into(self, buffer: memoryview) -> int:
        want = min(len(buffer), self._end - self._position)
        if want <= 0:
            return 0
        target = buffer[:want]
        if self._shared:
            got = self._input.readinto(target)
        else:
            got = self._input.pread(target, self._position)
        self._position += got
        frames = got // BYTES_PER_FRAME
        if self._swap:
            size = frames * BYTES_PER_FRAME
            target[:size] = swap_bytes(bytes(target[:size]))
        return frames

    def skip(self, frames: int) -> None:
        count = min(frames * BYTES_PER_FRAME, self._end - self._position)
        if self._shared:
            count = self._input.skip(count)
        self._position += count

    def close(self) -> None:
        pass


def open_raw(
    input: FileInput, path: Path, *, big_endian: bool, sample_rate: int, warn: Warn
) -> PCMFile:
    """A headerless image of 16-bit stereo frames, its length that of the file."""
    input = input.spooled()
    assert input.size is not None
    start = input.position
    frames, stray = divmod(input.size - start, BYTES_PER_FRAME)
    if stray:
        warn(partial_frame_warning(input.name, stray))
    format = f"raw {'big' if big_endian else 'little'}-endian PCM"
    return PCMFile(input, path, frames, sample_rate, format, start=start, big_endian=big_endian)
