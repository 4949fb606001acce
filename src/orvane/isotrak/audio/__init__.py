"""Temporary: the audio room's interface over today's modules."""

from __future__ import annotations

from collections.abc import Iterator

from orvane.isotrak.audiofile import READ_BYTES, AudioFile, FrameReader
from orvane.isotrak.cd import BYTES_PER_FRAME
from orvane.isotrak.errors import TrackError
from orvane.isotrak.sources import PCMTrack, TrackSource, checked_blocks, open_audio, open_track

Reader = FrameReader
__all__ = ["READ_BYTES", "AudioFile", "PCMTrack", "Reader", "TrackSource", "open_audio", "open_reader", "open_track"]


class _Blocks:
    def __init__(self, source: TrackSource) -> None:
        self.source = source
        self.blocks: Iterator[bytes] = checked_blocks(source)
        self.pending = memoryview(b"")
        self.position = 0

    def read_into(self, buffer: memoryview) -> int:
        if not self.pending:
            self.pending = memoryview(next(self.blocks, b""))
            if not self.pending:
                return 0
        take = min(len(buffer), len(self.pending)) // BYTES_PER_FRAME * BYTES_PER_FRAME
        buffer[:take] = self.pending[:take]
        self.pending = self.pending[take:]
        frames = take // BYTES_PER_FRAME
        self.position += frames
        if self.position >= self.source.frames and not self.pending:
            for _ in self.blocks:
                pass
        return frames

    def skip(self, frames: int) -> None:
        buffer = memoryview(bytearray(min(frames, 65536) * BYTES_PER_FRAME))
        while frames:
            got = self.read_into(buffer[: min(frames, 65536) * BYTES_PER_FRAME])
            if not got:
                raise TrackError(f"{self.source.name}: ends after {self.position} of its {self.source.frames} frames")
            frames -= got

    def close(self) -> None:
        pass


def open_reader(source: TrackSource, offset: int = 0) -> Reader:
    if isinstance(source, AudioFile):
        return source.frame_reader(offset)
    reader = _Blocks(source)
    if offset:
        reader.skip(offset)
    return reader
