"""Files in the formats of libsndfile (FLAC, AIFF, ...), through the soundfile package.

soundfile is an optional extra, imported only when such a file is opened.
It reads from the file descriptor that was opened for the path, so the
path is still opened once; a pipe is first copied to a temporary file,
since these formats are read with seeks.  Only files of exact 16-bit
integer samples are taken: a lossy file has no exact form to check, and a
file of wider samples is not CD audio.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from orvane.isotrak.audiofile import (
    BYTES_PER_FRAME,
    AudioFile,
    FileInput,
    FrameReader,
    describe_channels,
    reason,
    refuse_rate,
    refuse_shape,
    swap_bytes,
)
from orvane.isotrak.errors import TrackError

__all__ = ["LOSSY_SUBTYPES", "open_soundfile"]

# 262144 frames (1 MiB) a read, which libsndfile decodes into a buffer of
# its own and copies out: fewer calls through soundfile (each also asks
# libsndfile where it stands) than smaller reads, for a few % of the decoding.
_READ_FRAMES = 262144

# Subtypes whose samples are exactly 16-bit integers.
_EXACT_16_BIT = frozenset({"PCM_16", "ALAC_16"})

# Subtypes of lossy codecs: perceptual (Vorbis, Opus, MPEG), ADPCM, GSM, G.72x.
LOSSY_SUBTYPES = frozenset(
    {
        "VORBIS",
        "OPUS",
        "MPEG_LAYER_I",
        "MPEG_LAYER_II",
        "MPEG_LAYER_III",
        "GSM610",
        "IMA_ADPCM",
        "MS_ADPCM",
        "VOX_ADPCM",
        "G721_32",
        "G723_24",
        "G723_40",
        "NMS_ADPCM_16",
        "NMS_ADPCM_24",
        "NMS_ADPCM_32",
    }
)


def _load_soundfile() -> Any:
    """Return the soundfile module, or None when it is not installed."""
    try:
        import soundfile
    except (ImportError, OSError):
        # OSError: the package is there but its native library is not.
        return None
    return soundfile


def _problem(error: Exception) -> str:
    # soundfile's messages name the file by the object it was given (here
    # a descriptor); libsndfile's own words are what says what is wrong.
    text = getattr(error, "error_string", None)
    return str(text).rstrip(".") if text else reason(error)


@contextmanager
def reading(name: str) -> Iterator[None]:
    """Refuse what soundfile could not read with TrackError, naming the file."""
    try:
        yield
    except Exception as error:  # soundfile reports a bad file as RuntimeError or its own error
        raise TrackError(f"{name}: cannot be read: {_problem(error)}") from None


class _PlacedFile:
    """A regular file as the file object soundfile reads through, at a
    place of its own: every read is a pread on the shared descriptor."""

    def __init__(self, input: FileInput) -> None:
        assert input.size is not None
        self._input = input
        self._descriptor = input.file.fileno()
        self._size = input.size
        self._position = 0
        # libsndfile calls back into Python to read, and an exception there
        # would be printed and lost: it is kept here and raised afterwards.
        self.error: TrackError | None = None

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self._position, os.SEEK_END: self._size}[whence]
        self._position = base + offset
        return self._position

    def tell(self) -> int:
        return self._position

    def readinto(self, buffer: memoryview) -> int:
        # Called for every few KiB that libsndfile reads: kept to one call.
        try:
            got = os.preadv(self._descriptor, [buffer], self._position)
        except OSError as error:
            self.error = TrackError(f"{self._input.name}: cannot be read: {reason(error)}")
            return 0
        self._position += got
        return got


def _own_descriptor(input: FileInput) -> int | None:
    """A new descriptor of an open regular file, with a place of its own.

    Linux opens the file itself again through /proc (also a temporary file
    with no name left), not the path it was opened by; elsewhere, and
    should that fail, None.
    """
    if not sys.platform.startswith("linux"):
        return None
    try:
        return os.open(f"/proc/self/fd/{input.file.fileno()}", os.O_RDONLY | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None


class _SoundFileReader:
    """Frames of a file decoded by a SoundFile of its own, as 16-bit stereo.

    It reads through a descriptor of its own where the system gives one:
    libsndfile then reads without the interpreter, so decoders in several
    threads run side by side.  Elsewhere it reads through a _PlacedFile,
    whose reads call back into Python.
    """

    def __init__(self, name: str, input: FileInput) -> None:
        self._name = name
        self._input = input
        self._file: _PlacedFile | None = None
        self._descriptor: int | None = None  # its own, closed with it
        self._reader: Any = None

    def _call(self, function: Callable[..., Any], *arguments: Any) -> Any:
        """function(*arguments), what fails refused with TrackError.

        soundfile's error is let go before the refusal is raised: its
        frames hold a view of the caller's buffer, which must not outlive
        the call in a reference cycle.
        """
        problem = None
        try:
            result = function(*arguments)
        except Exception as error:  # soundfile reports a bad file as RuntimeError or its own error
            problem = _problem(error)
        # A failed read of the file says more than what libsndfile made of it.
        if self._file is not None and self._file.error is not None:
            raise self._file.error
        if problem is not None:
            raise TrackError(f"{self._name}: cannot be read: {problem}")
        return result

    def open(self, soundfile: Any) -> None:
        descriptor = _own_descriptor(self._input)
        if descriptor is None:
            self._file = _PlacedFile(self._input)
            self._reader = self._call(lambda: soundfile.SoundFile(self._file, closefd=False))
            return
        # libsndfile never closes a descriptor it was given to keep.
        self._descriptor = descriptor
        self._reader = self._call(lambda: soundfile.SoundFile(descriptor, closefd=False))

    def read_into(self, buffer: memoryview) -> int:
        frames = int(self._call(self._reader.buffer_read_into, buffer, "int16"))
        if sys.byteorder == "big" and frames:
            size = frames * BYTES_PER_FRAME
            buffer[:size] = swap_bytes(bytes(buffer[:size]))
        return frames

    def skip(self, frames: int) -> None:
        self._call(self._reader.seek, frames, os.SEEK_CUR)

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
        if self._descriptor is not None:
            os.close(self._descriptor)
            self._descriptor = None


class SoundFileAudio(AudioFile):
    """A file read through soundfile, as 16-bit stereo frames."""

    def __init__(self, input: FileInput, path: Path, reader: Any) -> None:
        frames, rate = int(reader.frames), int(reader.samplerate)
        super().__init__(input, path, frames, rate, str(reader.format))
        self._reader = reader

    def _blocks(self) -> Iterator[bytes]:
        got = 0
        with self._reading():
            self._reader.seek(0)
        while got < self.frames:
            with self._reading():
                # A view of a buffer of libsndfile's; samples in the host's order.
                view = self._reader.buffer_read(min(self.frames - got, _READ_FRAMES), "int16")
                data = bytes(view)
            if not data:
                raise self._ended_early(got)
            got += len(data) // BYTES_PER_FRAME
            yield swap_bytes(data) if sys.byteorder == "big" else data

    @contextmanager
    def _reading(self) -> Iterator[None]:
        with reading(self.name):
            yield

    read_frames = _READ_FRAMES
    decodes = True

    def _open_reader(self) -> FrameReader:
        # Each reader decodes with a decoder of its own, reading the file
        # at a place of its own: readers of one file in several threads
        # never move each other's place.
        reader = _SoundFileReader(self.name, self._input)
        try:
            reader.open(_load_soundfile())
        except BaseException:
            reader.close()
            raise
        return reader

    def close(self) -> None:
        self._reader.close()
        super().close()


def open_soundfile(input: FileInput, path: Path) -> SoundFileAudio:
    """Open ``input`` with soundfile and check that it holds 16-bit stereo PCM."""
    name = input.name
    soundfile = _load_soundfile()
    if soundfile is None:
        raise TrackError(
            f"{name}: not a WAV file; reading other formats needs the "
            "soundfile package (pip install 'orvane[soundfile]')"
        )
    input = input.spooled()
    try:
        # libsndfile reads the descriptor from where it stands, which a
        # buffered seek within its buffer would not move.
        descriptor = input.file.fileno()
        os.lseek(descriptor, 0, os.SEEK_SET)
        reader = soundfile.SoundFile(descriptor, closefd=False)
    except Exception as error:  # soundfile reports a bad file as RuntimeError or its own error
        input.close()
        raise TrackError(f"{name}: cannot be read: {_problem(error)}") from None
    audio = SoundFileAudio(input, path, reader)
    try:
        channels = int(reader.channels)
        if reader.subtype in LOSSY_SUBTYPES:
            raise TrackError(f"{name}: lossy audio cannot be verified")
        if channels != 2 or reader.subtype not in _EXACT_16_BIT:
            raise refuse_shape(
                name, f"{reader.format} file of {describe_channels(channels, reader.subtype_info)}"
            )
        refuse_rate(name, audio.sample_rate)
    except BaseException:
        audio.close()
        raise
    return audio
