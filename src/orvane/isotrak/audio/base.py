"""What every audio file is to the checksum: a track source announced by its
header, and readers of its frames built once on the one stream each format opens.

A format opens a stream of its little-endian 16-bit stereo frames from some
frame on; this module makes of it readers that skip, stop at the announced
length and refuse a file that ends before it, and the blocks that iterating
a file yields.  The words of the refusals every format shares live here too.
"""

from __future__ import annotations

from array import array
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import Protocol, runtime_checkable

from orvane.isotrak.cd import BYTES_PER_FRAME, MAX_COUNT
from orvane.isotrak.errors import TrackError
from orvane.isotrak.audio.input import READ_BYTES, FileInput
from orvane.pcm import FrameList

__all__ = [
    "BYTES_PER_FRAME",
    "MAX_RATE",
    "READ_BYTES",
    "AudioFile",
    "PCMTrack",
    "Reader",
    "Stream",
    "TrackSource",
    "describe_channels",
    "ended_early",
    "partial_frame_warning",
    "refuse_lossy",
    "refuse_rate",
    "refuse_shape",
    "swap_bytes",
]

# No rate beyond the checksum's signed 32-bit count can be checked.
MAX_RATE = MAX_COUNT


def describe_channels(channels: int, what: str) -> str:
    """Say what a track holds: '1 channel of 16-bit PCM', '2 channels of ...'."""
    return f"{channels} channel{'' if channels == 1 else 's'} of {what}"


def refuse_shape(name: str, has: str) -> TrackError:
    return TrackError(f"{name}: {has}; only 2-channel 16-bit PCM can be checked")


def refuse_lossy(name: str, has: str = "") -> TrackError:
    """Refuse lossy audio: it has no exact form whose checksum could match."""
    return TrackError(f"{name}: {has}{'; ' if has else ''}lossy audio cannot be verified")


def refuse_rate(name: str, rate: int) -> None:
    """Refuse a sample rate beyond the checksum's signed 32-bit count."""
    if rate > MAX_RATE:
        raise TrackError(f"{name}: sample rate {rate} Hz is out of range (at most {MAX_RATE} Hz)")


def ended_early(name: str, got: int, frames: int) -> TrackError:
    return TrackError(f"{name}: ends after {got} of its {frames} frames")


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


@runtime_checkable
class TrackSource(Protocol):
    """A track's audio, announced before it is read.

    ``name`` names the track in messages and results, ``frames`` is its
    length in PCM frames and ``sample_rate`` its rate in Hz.  Iterating over
    the source yields the track's audio in order as blocks of 2-channel
    16-bit PCM: ``FrameList`` objects of 2 channels and 16 bits, or
    bytes-like objects of interleaved little-endian signed 16-bit samples
    (left, right), of any sizes, adding up to exactly ``frames`` frames.
    """

    @property
    def name(self) -> str: ...

    @property
    def frames(self) -> int: ...

    @property
    def sample_rate(self) -> int: ...

    def __iter__(self) -> Iterator[FrameList | bytes]: ...


@dataclass(frozen=True)
class PCMTrack:
    """A track source made of blocks that the caller already has.

    ``blocks`` is iterated once per checksum run; a list of blocks can be
    checked again, a generator only once.
    """

    name: str
    frames: int
    sample_rate: int
    blocks: Iterable[FrameList | bytes]

    def __iter__(self) -> Iterator[FrameList | bytes]:
        return iter(self.blocks)


class Reader(Protocol):
    """Reads a track's audio into buffers the caller gives, from some frame on.

    ``read_into`` fills the start of a writable buffer (a multiple of 4
    bytes) with little-endian 16-bit stereo frames and returns how many it
    read, fewer than fit only where the track ends (0 past its end).
    ``skip`` passes over frames.  Raises TrackError when the track cannot
    be read, or ends before the frames it announced."""

    def read_into(self, buffer: memoryview) -> int: ...

    def skip(self, frames: int) -> None: ...

    def close(self) -> None: ...


class Stream(Protocol):
    """A file's frames as a format reads them, from where it was opened on.

    ``read_into`` fills the start of a buffer of whole frames and returns
    how many it read, fewer than fit only at the end of the file."""

    def read_into(self, buffer: memoryview) -> int: ...

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

    A format gives ``_open_stream``; readers and blocks are made of it here.
    """

    # Frames a read fills at most: as much as the format reads best.
    read_frames = READ_BYTES // BYTES_PER_FRAME

    # Whether its audio is decoded (costs far more than its checksums), or
    # read as stored.
    decodes = False

    # Whether its header showed that it carries no tags that file_tags
    # could find (a WAV file, named so, with no ID3 chunk), so that they
    # need not be looked for.
    untagged = False

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

    @property
    def rereadable(self) -> bool:
        """Whether the file can be read again, and by several readers at once:
        a regular file (a pipe is read once, forward)."""
        return self._input.size is not None

    def _open_stream(self, offset: int) -> Stream:
        """The file's frames from frame ``offset`` on (0 for a file that is
        not rereadable: a pipe stands where its header left it)."""
        raise NotImplementedError

    def _claim(self) -> None:
        """Refuse to read a closed file, or a pipe a second time."""
        if self._closed:
            raise TrackError(f"{self.name}: was closed before its audio was read")
        if not self.rereadable:
            if self._started:
                raise TrackError(f"{self.name}: cannot be read twice: it is not a regular file")
            self._started = True

    def reader(self, offset: int = 0) -> Reader:
        """A reader of the audio from frame ``offset`` on.

        For a regular file each reader has a place of its own, and readers
        may be used at once from several threads, each reader from one; a
        pipe has one reader, made once, going forward from its header.
        """
        self._claim()
        reader = _FileReader(self)
        if offset:
            reader.skip(offset)
        return reader

    def __iter__(self) -> Iterator[bytes]:
        self._claim()
        return self._blocks()

    def _blocks(self) -> Iterator[bytes]:
        reader = _FileReader(self)
        try:
            buffer = memoryview(bytearray(min(self.frames, self.read_frames) * BYTES_PER_FRAME))
            while frames := reader.read_into(buffer):
                yield bytes(buffer[: frames * BYTES_PER_FRAME])
        finally:
            reader.close()

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


class _FileReader:
    """Reads a file's frames up to its announced length, through a stream
    opened when first needed; a skip on a regular file opens it anew."""

    def __init__(self, file: AudioFile) -> None:
        self._file = file
        self._stream: Stream | None = None
        self._position = 0  # the next frame to read

    def read_into(self, buffer: memoryview) -> int:
        file = self._file
        want = min(len(buffer) // BYTES_PER_FRAME, file.frames - self._position)
        if want <= 0:
            return 0
        if self._stream is None:
            self._stream = file._open_stream(self._position)
        frames = self._stream.read_into(buffer[: want * BYTES_PER_FRAME])
        if not frames:
            raise ended_early(file.name, self._position, file.frames)
        self._position += frames
        return frames

    def skip(self, frames: int) -> None:
        target = min(self._file.frames, self._position + max(frames, 0))
        if self._file.rereadable:
            self.close()
            self._position = target
            return
        # A pipe passes over frames by reading them.
        step = min(target - self._position, READ_BYTES // BYTES_PER_FRAME)
        buffer = memoryview(bytearray(step * BYTES_PER_FRAME))
        while self._position < target:
            self.read_into(buffer[: (target - self._position) * BYTES_PER_FRAME])

    def close(self) -> None:
        if self._stream is not None:
            stream, self._stream = self._stream, None
            stream.close()
