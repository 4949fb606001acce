"""A plain model of what a disc's Isotrak checksums hold, for the tests.

It takes the one-track model of checksum_model.py to a whole disc and, like
it, works from the definition of the sums, not from the streaming steps:
for a track whose counted window runs from frame S to frame E, the version
1 checksum at shift s is the sum over i from S to E of i * v(i + s), and the
version 2 checksum at shift o the sum of the low and the high 32 bits of the
full products i * v(i + o), all modulo 2**32.  v(n) is the value of track
frame n, taken from the disc around the track, and 0 beyond the disc.
"""

from __future__ import annotations

import wave
from collections.abc import Iterable, Sequence
from pathlib import Path

from checksum_model import MASK, frame_value, window

Frame = tuple[int, int]


def track_sums(
    values: Sequence[int],
    position: int,
    frames: int,
    sample_rate: int,
    is_first: bool,
    is_last: bool,
    shifts: Iterable[int],
    v2_offset: int,
) -> tuple[dict[int, int], int]:
    """The checksums of the track at ``values[position:position + frames]``."""
    start, end = window(frames, sample_rate, is_first, is_last)

    def value(track_frame: int) -> int:
        index = position + track_frame - 1
        return values[index] if 0 <= index < len(values) else 0

    v1 = {s: sum(i * value(i + s) for i in range(start, end + 1)) & MASK for s in shifts}
    v2 = 0
    for i in range(start, end + 1):
        product = i * value(i + v2_offset)
        v2 += (product & MASK) + (product >> 32)
    return v1, v2 & MASK


def disc_sums(
    tracks: Sequence[Sequence[Frame]], sample_rate: int, search: int, v2_offset: int
) -> list[tuple[dict[int, int], int]]:
    values = [frame_value(left, right) for track in tracks for left, right in track]
    results = []
    position = 0
    for index, track in enumerate(tracks):
        results.append(
            track_sums(
                values,
                position,
                len(track),
                sample_rate,
                index == 0,
                index == len(tracks) - 1,
                range(-search, search + 1),
                v2_offset,
            )
        )
        position += len(track)
    return results


def sl16_bytes(frames: Sequence[Frame]) -> bytes:
    return b"".join(
        left.to_bytes(2, "little", signed=True) + right.to_bytes(2, "little", signed=True)
        for left, right in frames
    )


def write_wav(
    path: Path, frames: Sequence[Frame] | bytes, sample_rate: int, channels: int = 2, width: int = 2
) -> Path:
    """Write a WAV file; frames are stereo pairs, or raw little-endian bytes."""
    data = frames if isinstance(frames, bytes) else sl16_bytes(frames)
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(channels)
        writer.setsampwidth(width)
        writer.setframerate(sample_rate)
        writer.writeframesraw(data)
    return path
