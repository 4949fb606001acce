"""Audio stored as 16-bit stereo PCM: WAV files, their RIFF header read as a
stream, and raw images; their frames are read as stored, from a byte on.

The chunks of a WAV file are walked in order from the first byte, skipping
those the checksum has no use for (a pipe skips them by reading), until the
``fmt `` chunk has said what the samples are and the ``data`` chunk has
begun; the audio is then read straight from the file, whose little-endian
samples are already what the checksum takes.  What follows the data chunk
is never read.  The RIFF header's own size is not trusted: writers get it
wrong, and the chunks say where they end.  A damaged header is refused
with what is wrong with it and where.
"""

from __future__ import annotations

import struct
from pathlib import Path

from orvane.isotrak.audio.base import (
    BYTES_PER_FRAME,
    AudioFile,
    Stream,
    describe_channels,
    ended_early,
    partial_frame_warning,
    refuse_lossy,
    refuse_rate,
    refuse_shape,
    swap_bytes,
)
from orvane.isotrak.audio.input import FileInput
from orvane.isotrak.errors import TrackError, warn

__all__ = ["PCMFile", "is_wav", "open_raw", "open_wav"]

_PCM = 0x0001
_EXTENSIBLE = 0xFFFE

# WAVE_FORMAT_EXTENSIBLE names its sample format by a GUID whose first two
# bytes are the plain format tag and whose other fourteen are these.
_GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")

# Format tags that are not PCM, named for the refusal.
_FORMAT_NAMES = {
    3: "floating-point samples",
    6: "A-law samples",
    7: "mu-law samples",
}

# Format tags of lossy codecs: ADPCM, GSM, MPEG audio, AAC, WMA, AC-3.
_LOSSY_TAGS = frozenset(
    {0x0002, 0x0011, 0x0031, 0x0050, 0x0055, 0x00FF, 0x0161, 0x0162, 0x1610, 0x2000}
)

# Ids that, found one byte early, show a missing pad byte beyond doubt.
_COMMON_IDS = frozenset({b"data", b"fmt ", b"LIST", b"JUNK", b"fact"})

# The data sizes that a writer to a pipe leaves in the header.
_UNKNOWN_SIZES = (0, 0xFFFFFFFF)


def is_wav(head: bytes) -> bool:
    return len(head) >= 12 and head[:4] == b"RIFF" and head[8:12] == b"WAVE"


def _is_chunk_id(data: bytes) -> bool:
    return len(data) == 4 and all(0x20 <= byte <= 0x7E for byte in data)


def _damaged(name: str, problem: str) -> TrackError:
    return TrackError(f"{name}: cannot be read as a WAV file: {problem}")


def _past_end(name: str, chunk_id: str, size: int) -> TrackError:
    return _damaged(name, f"its {chunk_id!r} chunk of {size} bytes runs past the end of the file")


def _read_fmt(input: FileInput, size: int) -> tuple[int, int]:
    """Check a ``fmt `` chunk of ``size`` bytes; return (sample_rate, its bytes read)."""
    name = input.name
    # Only the first 40 bytes can matter; a declared size beyond the file
    # must not be allocated before it is found to be false.
    body = input.read(min(size, 40))
    if len(body) < min(size, 40):
        raise _past_end(name, "fmt ", size)
    if size < 16:
        raise _damaged(name, f"its 'fmt ' chunk has {size} bytes, fewer than the 16 of a format")
    tag, channels, rate, _, block_align, bits = struct.unpack_from("<HHIIHH", body)
    if tag == _EXTENSIBLE:
        if size < 40:
            raise _damaged(
                name,
                f"its extensible 'fmt ' chunk has {size} bytes, fewer than the 40 it needs"
            )
        guid = body[24:40]
        if guid[2:] != _GUID_TAIL:
            raise TrackError(
                f"{name}: WAV file of an unknown sample format; only PCM can be checked"
            )
        tag = int.from_bytes(guid[:2], "little")
    if tag in _LOSSY_TAGS:
        raise refuse_lossy(name)
    if tag != _PCM:
        kind = _FORMAT_NAMES.get(tag, f"format tag {tag}")
        raise TrackError(f"{name}: WAV file of {kind}; only 2-channel 16-bit PCM can be checked")
    if channels != 2 or bits != 16:
        raise refuse_shape(name, describe_channels(channels, f"{bits}-bit PCM"))
    if block_align != BYTES_PER_FRAME:
        raise _damaged(
            name,
            f"its 'fmt ' chunk gives frames of {block_align} bytes, "
            f"not the {BYTES_PER_FRAME} of 2 channels of 16 bits"
        )
    refuse_rate(name, rate)
    return rate, len(body)


def open_wav(input: FileInput, path: Path) -> PCMFile:
    """Read a WAV header from ``input`` and leave it at the first audio byte."""
    name = input.name
    input.read(12)  # RIFF, its size, WAVE: checked by is_wav
    rate: int | None = None
    pad = 0
    last = ""
    id3 = False  # an ID3 chunk ("id3 " or "ID3 "), where WAV files keep their tags
    while True:
        start = input.position
        header = input.read(8 + pad)
        if pad and len(header) == 9 and header[0] != 0 and _is_chunk_id(header[:4]):
            # An odd-sized chunk is followed by a zero pad byte; a writer
            # that left it out puts the next id one byte early.
            if header[:4] in _COMMON_IDS or not _is_chunk_id(header[1:5]):
                raise _damaged(name, f"its {last!r} chunk of odd size has no pad byte after it")
        header = header[pad:]
        if len(header) < 8:
            missing = "'fmt '" if rate is None else "'data'"
            raise _damaged(name, f"it has no {missing} chunk")
        chunk_id, size = header[:4], int.from_bytes(header[4:], "little")
        if not _is_chunk_id(chunk_id):
            raise _damaged(name, f"damaged chunk header at byte {start + pad}")
        last = chunk_id.decode("ascii")
        pad = size % 2
        id3 = id3 or chunk_id[:3].lower() == b"id3"
        if chunk_id == b"data":
            if rate is None:
                raise _damaged(name, "its 'data' chunk comes before its 'fmt ' chunk")
            break
        read = 0
        if chunk_id == b"fmt " and rate is None:
            rate, read = _read_fmt(input, size)
        if input.skip(size - read) < size - read:
            raise _past_end(name, last, size)

    # Chunks after the audio are not walked: any byte there may be a tag.
    untagged = not id3 and input.size is not None and input.size <= input.position + size + pad
    if input.size is None and size in _UNKNOWN_SIZES:
        # A writer to a pipe cannot go back to fill in the size: the audio
        # runs to the end of the stream.
        input = input.spooled()
        assert input.size is not None
        size = input.size
    frames, stray = divmod(size, BYTES_PER_FRAME)
    start = input.position
    if input.size is not None and start + size > input.size:
        # Said now rather than after the tracks before it have been read.
        raise ended_early(name, (input.size - start) // BYTES_PER_FRAME, frames)
    if stray:
        warn(partial_frame_warning(name, stray))
    audio = PCMFile(input, path, frames, rate, "WAV", start=start)
    audio.untagged = untagged
    return audio


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

    def _open_stream(self, offset: int) -> Stream:
        return _PCMStream(self._input, self._start + offset * BYTES_PER_FRAME, self._swap)


class _PCMStream:
    """Frames as stored: at a place of its own in a regular file (pread),
    or straight on from a pipe, which stands at the first audio byte once
    its header is read."""

    def __init__(self, input: FileInput, position: int, swap: bool) -> None:
        self._input = input
        self._position = position  # the next byte to read
        self._swap = swap
        self._shared = input.size is None

    def read_into(self, buffer: memoryview) -> int:
        if self._shared:
            got = self._input.readinto(buffer)
        else:
            got = self._input.pread(buffer, self._position)
        self._position += got
        frames = got // BYTES_PER_FRAME
        if self._swap:
            size = frames * BYTES_PER_FRAME
            buffer[:size] = swap_bytes(bytes(buffer[:size]))
        return frames

    def close(self) -> None:
        pass


def open_raw(input: FileInput, path: Path, *, big_endian: bool, sample_rate: int) -> PCMFile:
    """A headerless image of 16-bit stereo frames, its length that of the file."""
    input = input.spooled()
    assert input.size is not None
    start = input.position
    frames, stray = divmod(input.size - start, BYTES_PER_FRAME)
    if stray:
        warn(partial_frame_warning(input.name, stray))
    format = f"raw {'big' if big_endian else 'little'}-endian PCM"
    return PCMFile(input, path, frames, sample_rate, format, start=start, big_endian=big_endian)
