"""Where the checksum tool gets a track's audio: files and in-memory sources.

A track source tells its name, its length in frames and its sample rate
before any audio is read, so that the checksum of a track can be set up
before its audio flows; then it yields the audio as blocks of 2-channel
16-bit PCM.  Files are opened once and read a block at a time, never held
whole: WAV files by a reader of their own (wavfile.py), raw images as
they are, every other format through the soundfile package, an optional
extra (soundfiles.py).  What a file is comes from its content, not its
name; a CUE sheet's FILE type says only whether it is raw.

Every refusal is a TrackError whose message starts with the track's name
and says what the track has.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol, runtime_checkable

from orvane.isotrak.audiofile import (
    BYTES_PER_FRAME,
    AudioFile,
    FileInput,
    describe_channels,
    open_raw,
    refuse_shape,
)
from orvane.isotrak.cd import SAMPLE_RATE
from orvane.isotrak.errors import TrackError, Warn, issue_warning
from orvane.isotrak.errors import warn as errors_warn
from orvane.isotrak.soundfiles import open_soundfile
from orvane.isotrak.wavfile import is_wav, open_wav
from orvane.pcm import FrameList

__all__ = [
    "BYTES_PER_FRAME",
    "AudioFile",
    "PCMTrack",
    "TrackError",
    "TrackSource",
    "checked_blocks",
    "describe_channels",
    "open_audio",
    "open_track",
    "refuse_shape",
]

# The rate of raw images, which have no header to say it: a CD's.
RAW_SAMPLE_RATE = SAMPLE_RATE

# CUE sheet FILE types of lossy data, refused without reading the file.
_LOSSY_FILE_TYPES = frozenset({"MP3", "MP2", "AAC", "OPUS", "VORBIS"})
_RAW_FILE_TYPES = {"BINARY": False, "MOTOROLA": True}  # type -> big-endian

# Enough of a file's start to tell its format, Ogg's first packet included.
_HEAD_BYTES = 64

# An ID3 tag before audio is read past to see what follows it, up to this size.
_MAX_ID3_BYTES = 16 << 20


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


def _container(head: bytes) -> str | None:
    """The format that a file's first bytes name beyond doubt, if any."""
    if is_wav(head):
        return "a WAV file"
    if head[:4] == b"fLaC":
        return "a FLAC file"
    if head[:4] == b"FORM" and head[8:12] in (b"AIFF", b"AIFC"):
        return "an AIFF file"
    if head[:4] == b"OggS":
        return "an Ogg file"
    if head[:3] == b"ID3" and head[3:4] in (b"\x02", b"\x03", b"\x04"):
        return "an ID3-tagged file"
    return None


def _is_lossy(input: FileInput, head: bytes) -> bool:
    """Whether a file's first bytes are those of MPEG audio, Ogg Vorbis or Opus."""
    if head[:3] == b"ID3" and len(head) >= 10:
        # An ID3 tag usually heads an MP3 file, but a FLAC file may carry one.
        size = 10 + sum((byte & 0x7F) << (7 * (3 - n)) for n, byte in enumerate(head[6:10]))
        size += 10 if head[5] & 0x10 else 0  # a footer
        if size > _MAX_ID3_BYTES:
            return True
        return input.peek(size + 4)[size:] != b"fLaC"
    if len(head) >= 2 and head[0] == 0xFF and head[1] & 0xE0 == 0xE0:
        return True  # an MPEG audio frame's sync word (MP1/2/3, AAC in ADTS)
    if head[:4] == b"OggS":
        return any(mark in head for mark in (b"\x01vorbis", b"OpusHead", b"Speex   "))
    return False


def open_audio(
    path: str | os.PathLike[str],
    name: str | None = None,
    *,
    file_type: str | None = None,
    warn: Warn | None = None,
) -> AudioFile:
    """Open an audio file as a track source and check its header.

    ``name`` is the track's name in messages and results; the path by
    default.  ``file_type`` is a CUE sheet's FILE type: BINARY (raw
    little-endian 16-bit stereo at 44100 Hz) and MOTOROLA (the same,
    big-endian) are read as raw images; MP3 and the other lossy types are
    refused unread; anything else, or None, means the format is told by
    the file's content (WAV, and with soundfile FLAC, AIFF and the rest of
    libsndfile's formats).  ``warn`` takes warnings about the file, one
    line each (by default they are issued through the warnings module).

    The path is opened once, and read forward from that one handle, so a
    named pipe or a process substitution works.  Raises TrackError for a
    file that cannot be checked.
    """
    shown = str(path) if name is None else name
    warn = errors_warn if warn is None else warn
    kind = None if file_type is None else file_type.upper()
    if kind in _LOSSY_FILE_TYPES:
        raise TrackError(f"{shown}: lossy audio cannot be verified")
    input = FileInput.open(path, shown)
    try:
        head = input.peek(_HEAD_BYTES)
        if kind in _RAW_FILE_TYPES:
            found = _container(head)
            if found is None:
                return open_raw(
                    input,
                    Path(path),
                    big_endian=_RAW_FILE_TYPES[kind],
                    sample_rate=RAW_SAMPLE_RATE,
                    warn=warn,
                )
            # Read raw, a file with a header would have its header checksummed
            # as audio; lossy data is refused below in one line.
            if not _is_lossy(input, head):
                warn(f"{shown}: FILE type {kind}, but it holds {found}; it is read as such")
        if not head:
            raise TrackError(f"{shown}: the file is empty")
        if is_wav(head):
            return open_wav(input, Path(path), warn)
        if _is_lossy(input, head):
            raise TrackError(f"{shown}: lossy audio cannot be verified")
        return open_soundfile(input, Path(path))
    except BaseException:
        input.close()
        raise


def open_track(
    path: str | os.PathLike[str], name: str | None = None, *, warn: Warn | None = None
) -> AudioFile:
    """Open an audio file as a track source, its format told by its content.

    The same as ``open_audio`` without a FILE type.
    """
    return open_audio(path, name, warn=warn)


def _block_bytes(name: str, block: object) -> bytes:
    """A block's audio as little-endian 16-bit stereo bytes, its shape checked."""
    if isinstance(block, FrameList):
        # Through the type's own descriptors: a subclass may override the
        # attributes, but not what the object holds.
        channels = int(FrameList.channels.__get__(block))
        bits = int(FrameList.bits_per_sample.__get__(block))
        if channels != 2 or bits != 16:
            shape = describe_channels(channels, f"{bits}-bit samples")
            raise refuse_shape(name, f"yields a block of {shape}")
        return FrameList.to_bytes(block, 0, 1)
    try:
        view = memoryview(block)  # type: ignore[arg-type]
    except TypeError:
        raise TrackError(
            f"{name}: yields a block of type {type(block).__name__}, not a FrameList or bytes"
        ) from None
    with view:
        data = block if type(block) is bytes else bytes(view)
    if len(data) % BYTES_PER_FRAME:
        raise TrackError(
            f"{name}: yields a block of {len(data)} bytes, not a whole number of 4-byte frames"
        )
    return data


def checked_blocks(source: TrackSource) -> Iterator[bytes]:
    """Yield a source's blocks as little-endian 16-bit stereo bytes, counted.

    Only FrameList objects and bytes-like objects (bytes, bytearray,
    memoryview, ...) are blocks; anything else is refused by its type.
    """
    name = source.name
    announced = source.frames
    fed = 0
    for block in source:
        data = _block_bytes(name, block)
        fed += len(data) // BYTES_PER_FRAME
        if fed > announced:
            raise TrackError(f"{name}: holds more than the {announced} frames it announced")
        if data:
            yield data
    if fed < announced:
        raise TrackError(f"{name}: ends after {fed} of its {announced} frames")
