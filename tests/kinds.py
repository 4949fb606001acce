"""The two containers described side by side, so that one test runs on both.

A container is modelled as a plain list of frames (tuples of samples); the
helpers here build real containers from a model and read them back.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, Callable

from hypothesis import strategies as st

from orvane import pcm


@dataclass(frozen=True)
class Kind:
    name: str
    type: type
    has_bits: bool
    sample: st.SearchStrategy
    build: Callable[[list, int], Any]
    empty: Callable[[int], Any]
    from_frames: Callable[[Any], Any]
    from_channels: Callable[[Any], Any]
    construct: Callable[[type, list, int], Any]  # through the type's initialiser

    def make(self, frames: list[tuple], channels: int):
        return self.build([s for f in frames for s in f], channels)

    def __repr__(self) -> str:
        return self.name


INT = Kind(
    name="FrameList",
    type=pcm.FrameList,
    has_bits=True,
    sample=st.integers(-(2**15), 2**15 - 1),
    build=lambda flat, channels: pcm.from_list(flat, channels, 16, 1),
    empty=lambda channels: pcm.empty_framelist(channels, 16),
    from_frames=pcm.from_frames,
    from_channels=pcm.from_channels,
    construct=lambda cls, flat, channels: cls(
        struct.pack(f"<{len(flat)}h", *flat), channels, 16, 0, 1
    ),
)

FLOAT = Kind(
    name="FloatFrameList",
    type=pcm.FloatFrameList,
    has_bits=False,
    sample=st.floats(allow_nan=False),
    build=lambda flat, channels: pcm.FloatFrameList(flat, channels),
    empty=pcm.empty_float_framelist,
    from_frames=pcm.from_float_frames,
    from_channels=pcm.from_float_channels,
    construct=lambda cls, flat, channels: cls(flat, channels),
)

KINDS = [INT, FLOAT]


def the_other(kind: Kind) -> Kind:
    return FLOAT if kind is INT else INT


@st.composite
def models(draw, kind: Kind, min_frames: int = 0, max_frames: int = 8):
    """A (channels, frames) model: frames is a list of channel-long tuples."""
    channels = draw(st.integers(1, 4))
    frame = st.tuples(*[kind.sample] * channels)
    return channels, draw(st.lists(frame, min_size=min_frames, max_size=max_frames))


def flat(frames: list[tuple]) -> list:
    return [s for f in frames for s in f]


def frames_of(container) -> list[tuple]:
    """The container read back through the sequence protocol, as a model."""
    samples = list(container)
    c = container.channels
    return [tuple(samples[i : i + c]) for i in range(0, len(samples), c)]


def state(container) -> tuple:
    """Everything observable about a container, bit-exact for doubles."""
    samples = tuple(
        struct.pack("<d", s) if isinstance(s, float) else s for s in container
    )
    bits = getattr(container, "bits_per_sample", None)
    return type(container), container.frames, container.channels, bits, samples
