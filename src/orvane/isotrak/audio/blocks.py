"""Reading any track source: an audio file by a reader of its own, a source
that only yields blocks by a forward reader over its blocks, checked.

Only FrameList objects of 2 channels and 16 bits, and bytes-like objects of
whole 4-byte frames, are blocks; and a source must yield exactly the frames
it announced: one that ends early, or holds more, is refused.
"""

from __future__ import annotations

from collections.abc import Iterator

from orvane.isotrak.audio.base import (
    BYTES_PER_FRAME,
    READ_BYTES,
    AudioFile,
    Reader,
    TrackSource,
    describe_channels,
    ended_early,
    refuse_shape,
)
from orvane.isotrak.errors import TrackError
from orvane.pcm import FrameList

__all__ = ["checked_blocks", "open_reader"]


def open_reader(source: TrackSource, offset: int = 0) -> Reader:
    """A reader of a source's audio from frame ``offset`` on.

    An audio file gives a reader of its own (see ``AudioFile.reader``); any
    other source is read forward, once, from its blocks.
    """
    if isinstance(source, AudioFile):
        return source.reader(offset)
    reader = _BlockReader(source)
    if offset:
        reader.skip(offset)
    return reader


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
    """Yield a source's blocks as little-endian 16-bit stereo bytes, counted:
    refused as soon as they hold more frames than announced, and at their
    end if they hold fewer."""
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
        raise ended_early(name, fed, announced)


class _BlockReader:
    """A source's checked blocks, copied into the caller's buffers.

    A block refused part-way through a read is refused by the next read,
    once the frames before it are given.  Reaching the announced end, the
    reader reads the source to its end, so that one holding more frames
    than it announced is refused there.
    """

    def __init__(self, source: TrackSource) -> None:
        self._frames = source.frames
        self._blocks = checked_blocks(source)
        self._pending = memoryview(b"")
        self._position = 0
        self._refusal: TrackError | None = None

    def read_into(self, buffer: memoryview) -> int:
        if self._refusal is not None:
            raise self._refusal
        want = min(len(buffer) // BYTES_PER_FRAME, self._frames - self._position)
        got = 0
        while got < want:
            if not self._pending:
                try:
                    # Never runs out here: checked_blocks refuses a source that ends early.
                    self._pending = memoryview(next(self._blocks))
                except TrackError as refusal:
                    if not got:
                        raise
                    self._refusal = refusal
                    break
            count = min(want - got, len(self._pending) // BYTES_PER_FRAME)
            size = count * BYTES_PER_FRAME
            buffer[got * BYTES_PER_FRAME : got * BYTES_PER_FRAME + size] = self._pending[:size]
            self._pending = self._pending[size:]
            got += count
        self._position += got
        if got and self._position == self._frames:
            for _ in self._blocks:  # the checks at the source's end
                pass
        return got

    def skip(self, frames: int) -> None:
        left = min(frames, self._frames - self._position)
        step = min(left, READ_BYTES // BYTES_PER_FRAME)
        scratch = memoryview(bytearray(max(step, 0) * BYTES_PER_FRAME))
        while left > 0:
            left -= self.read_into(scratch[: left * BYTES_PER_FRAME])

    def close(self) -> None:
        pass
