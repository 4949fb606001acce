"""WAV files: a RIFF header read as a stream, then the data chunk's frames.

The chunks are walked in order from the first byte, skipping those the
checksum has no use for (a pipe skips them by reading), until the ``fmt ``
chunk has said what the samples are and the ``data`` chunk has begun; the
audio is then read straight from the file, whose little-endian samples
are already what the checksum takes.  What follows the data chunk is
never read.  The RIFF header's own size is not trusted: writers get it
wrong, and the chunks say where they end.

A damaged header is refused with what is wrong with it and where.
"""

from __future__ import annotations

import struct
from pathlib import Path

from orvane.isotrak.audiofile import (
    BYTES_PER_FRAME,
    FileInput,
    PCMFile,
    describe_channels,
    partial_frame_warning,
    refuse_rate,
    refuse_shape,
)
from orvane.isotrak.errors import TrackError, Warn

__all__ = ["is_wav", "open_wav"]

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
        raise TrackError(f"{name}: lossy audio cannot be verified")
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


def open_wav(input: FileInput, path: Path, warn: Warn) -> PCMFile:
    """Read a WAV header from ``input`` and leave it at the first audio byte."""
    name = input.name
    input.read(12)  # RIFF, its size, WAVE: checked by is_wav
    rate: int | None = None
    pad = 0
    last = ""
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
        if chunk_id == b"data":
            if rate is None:
                raise _damaged(name, "its 'data' chunk comes before its 'fmt ' chunk")
            break
        read = 0
        if chunk_id == b"fmt " and rate is None:
            rate, read = _read_fmt(input, size)
        if input.skip(size - read) < size - read:
            raise _past_end(name, last, size)

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
        held = (input.size - start) // BYTES_PER_FRAME
        raise TrackError(f"{name}: ends after {held} of its {frames} frames")
    if stray:
        warn(partial_frame_warning(name, stray))
    return PCMFile(input, path, frames, rate, "WAV", start=start)
