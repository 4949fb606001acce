"""What the tests of the verifier share: generated audio, and the same audio
read some frames earlier or later."""

from __future__ import annotations

import random
from collections.abc import Sequence
from typing import TypeVar

from isotrak_model import Frame

T = TypeVar("T")


def noise(seed: int, frames: int) -> list[Frame]:
    """``frames`` random stereo frames, the same for the same seed."""
    return noise_disc(seed, [frames])[0]


def noise_disc(seed: int, lengths: Sequence[int]) -> list[list[Frame]]:
    """Random tracks of these lengths, the same for the same seed."""
    rng = random.Random(seed)
    return [
        [(rng.randint(-32768, 32767), rng.randint(-32768, 32767)) for _ in range(length)]
        for length in lengths
    ]


def split(stream: Sequence[T], lengths: Sequence[int]) -> list[list[T]]:
    """The stream cut into tracks of these lengths."""
    cut, position = [], 0
    for length in lengths:
        cut.append(list(stream[position : position + length]))
        position += length
    return cut


def shifted(tracks: Sequence[Sequence[Frame]], shift: int) -> list[list[Frame]]:
    """The same track lengths over the disc's audio read ``shift`` frames
    later (a negative shift: earlier), silence beyond the stream's ends."""
    stream = [frame for track in tracks for frame in track]
    silence = [(0, 0)] * abs(shift)
    moved = (stream + silence)[shift:] if shift >= 0 else (silence + stream)[: len(stream)]
    return split(moved, [len(track) for track in tracks])
