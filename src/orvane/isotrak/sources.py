"""Where the checksum tool gets a track's audio: files and in-memory sources.

A track source tells its name, its length in frames and its sample rate
before any audio is read, so that the checksum of a track can be set up
before its audio flows; then it yields the audio as blocks of 2-channel
16-bit PCM.  Files are read a few thousand frames at a time and never held
whole.  WAV files go through the standard library's wave module; every
other format goes through the soundfile package, an optional extra.

Every refusal is a TrackError whose message starts with the track's name
and says what the track has.
"""

from __future__ import annotations

import os
import sys
import wave
from array import array
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol, runtime_checkable

from orvane.isotrak.errors import TrackError
from orvane.pcm import FrameList

__all__ = [
    "BLOCK_FRAMES",
    "BYTES_PER_FRAME",
    "PCMTrack",
    "SoundFileTrack",
    "TrackError",
    "TrackSource",
    "WaveTrack",
    "checked_blocks",
    "describe_channels",
    "open_track",
    "refuse_shape",
]

# Ten CD sectors of 588 frames: small enough that no track is held whole,
# large enough that the per-block work in Python stays negligible.
BLOCK_FRAMES = 5880

# A frame of 2-channel 16-bit PCM: left sample, then right, two bytes each.
BYTES_PER_FRAME = 4

# The wave module reads and writes samples in the host's byte order; the
# blocks handed around here are always little-endian, as on a CD.
_HOST_IS_BIG_ENDIAN = sys.byteorder == "big"

# WAV format tags that the wave module refuses, named for the refusal.
_WAVE_FORMAT_NAMES = {
    3: "floating-point samples",
    6: "A-law samples",
    7: "mu-law samples",
    0x55: "MP3 data",
}


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


def _little_endian(data: bytes) -> bytes:
    """Return host-order 16-bit samples as little-endian bytes."""
    if not _HOST_IS_BIG_ENDIAN:
        return data
    samples = array("h", data)
    samples.byteswap()
    return samples.tobytes()


def describe_channels(channels: int, what: str) -> str:
    """Say what a track holds: '1 channel of 16-bit PCM', '2 channels of ...'."""
    return f"{channels} channel{'' if channels == 1 else 's'} of {what}"


def refuse_shape(name: str, has: str) -> TrackError:
    return TrackError(f"{name}: {has}; only 2-channel 16-bit PCM can be checked")


class WaveTrack:
    """A WAV file read through the standard library's wave module.

    The header is read and checked when the object is made; the audio is
    read block by block each time the object is iterated.
    """

    def __init__(self, path: str | os.PathLike[str], name: str | None = None) -> None:
        self.path = Path(path)
        self.name = str(path) if name is None else name
        try:
            with wave.open(str(self.path), "rb") as reader:
                channels = reader.getnchannels()
                width = reader.getsampwidth()
                self.sample_rate = reader.getframerate()
                self.frames = reader.getnframes()
        except wave.Error as error:
            raise TrackError(f"{self.name}: {self._wave_problem(error)}") from None
        except (OSError, EOFError) as error:
            raise TrackError(f"{self.name}: cannot be read: {_reason(error)}") from None
        if channels != 2 or width != 2:
            raise refuse_shape(self.name, describe_channels(channels, f"{8 * width}-bit PCM"))

    @staticmethod
    def _wave_problem(error: wave.Error) -> str:
        text = str(error)
        prefix = "unknown format: "
        if text.startswith(prefix):
            tag = text[len(prefix) :]
            known = _WAVE_FORMAT_NAMES.get(int(tag)) if tag.isdigit() else None
            kind = known or f"format tag {tag}"
            return f"WAV file of {kind}; only 2-channel 16-bit PCM can be checked"
        return f"cannot be read as a WAV file: {text}"

    def __iter__(self) -> Iterator[bytes]:
        try:
            with wave.open(str(self.path), "rb") as reader:
                while True:
                    data = reader.readframes(BLOCK_FRAMES)
                    if not data:
                        return
                    yield _little_endian(data)
        except (wave.Error, OSError, EOFError) as error:
            raise TrackError(f"{self.name}: cannot be read: {_reason(error)}") from None


def _load_soundfile() -> Any:
    """Return the soundfile module, or None when it is not installed."""
    try:
        import soundfile
    except (ImportError, OSError):
        # OSError: the package is there but its native library is not.
        return None
    return soundfile


class SoundFileTrack:
    """A file in any format that the soundfile package reads (FLAC, ...).

    Only files whose samples are 16-bit integers are taken: a decoded lossy
    file or a file of wider samples has no exact 16-bit form to check.
    """

    def __init__(self, path: str | os.PathLike[str], name: str | None = None) -> None:
        self.path = Path(path)
        self.name = str(path) if name is None else name
        self._soundfile = _load_soundfile()
        if self._soundfile is None:
            raise TrackError(
                f"{self.name}: not a WAV file; reading other formats needs the "
                "soundfile package (pip install 'orvane[soundfile]')"
            )
        try:
            info = self._soundfile.info(str(self.path))
        except Exception as error:  # soundfile reports a bad file as RuntimeError or its own error
            raise TrackError(f"{self.name}: cannot be read: {_reason(error)}") from None
        self.sample_rate = int(info.samplerate)
        self.frames = int(info.frames)
        channels = int(info.channels)
        if channels != 2 or info.subtype != "PCM_16":
            raise refuse_shape(
                self.name, f"{info.format} file of {describe_channels(channels, info.subtype_info)}"
            )

    def __iter__(self) -> Iterator[bytes]:
        try:
            with self._soundfile.SoundFile(str(self.path)) as reader:
                while True:
                    samples = reader.read(BLOCK_FRAMES, dtype="int16")
                    if len(samples) == 0:
                        return
                    yield samples.astype("<i2").tobytes()
        except Exception as error:
            raise TrackError(f"{self.name}: cannot be read: {_reason(error)}") from None


def checked_blocks(source: TrackSource) -> Iterator[bytes]:
    """Yield a source's blocks as little-endian 16-bit stereo bytes, counted."""
    fed = 0
    for block in source:
        if isinstance(block, FrameList):
            if block.channels != 2 or block.bits_per_sample != 16:
                shape = describe_channels(block.channels, f"{block.bits_per_sample}-bit samples")
                raise refuse_shape(source.name, f"yields a block of {shape}")
            data = block.to_bytes(0, 1)
        else:
            data = bytes(block)
            if len(data) % BYTES_PER_FRAME:
                raise TrackError(
                    f"{source.name}: yields a block of {len(data)} bytes, "
                    f"not a whole number of 4-byte frames"
                )
        fed += len(data) // BYTES_PER_FRAME
        if fed > source.frames:
            raise TrackError(
                f"{source.name}: holds more than the {source.frames} frames it announced"
            )
        if data:
            yield data
    if fed < source.frames:
        raise TrackError(f"{source.name}: ends after {fed} of its {source.frames} frames")


def _reason(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _is_wave_file(path: Path, name: str) -> bool:
    try:
        with path.open("rb") as file:
            head = file.read(12)
    except OSError as error:
        raise TrackError(f"{name}: cannot be read: {_reason(error)}") from None
    return len(head) == 12 and head[:4] == b"RIFF" and head[8:] == b"WAVE"


def open_track(path: str | os.PathLike[str], name: str | None = None) -> WaveTrack | SoundFileTrack:
    """Open an audio file as a track source and check its header.

    WAV files (known by their content, not their name) are read with the
    wave module, all others with soundfile when it is installed.  ``name``
    is the track's name in messages and results; the path by default.
    Raises TrackError for a file that cannot be checked.
    """
    shown = str(path) if name is None else name
    if _is_wave_file(Path(path), shown):
        return WaveTrack(path, shown)
    return SoundFileTrack(path, shown)


def open_audio(
    path: str | os.PathLike[str],
    name: str | None = None,
    *,
    file_type: str | None = None,
    warn: object = None,
) -> WaveTrack | SoundFileTrack:
    return open_track(path, name)
