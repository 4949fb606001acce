"""What the checksums hold, computed straight from their sums, and helpers
that feed a track to a Checksum in blocks.

The model takes every sum in full: for each offset k the sum over the
window of i * v(i + k), and for version 2 the low and high halves of each
64-bit product i * v(i + O).  It shares nothing with the module's
streaming arithmetic.
"""

from __future__ import annotations

import struct
import sys

from orvane import pcm

MASK = 0xFFFFFFFF


def frame_value(left: int, right: int) -> int:
    """The right sample's 16-bit pattern over the left sample's.  Samples
    beyond 16 bits follow the same rule: the left one, lifted by 65536 when
    negative, is ORed in whole."""
    low = (left + 65536 if left < 0 else left) & MASK
    return ((right << 16) & MASK) | low


def window(total: int, sample_rate: int, is_first: bool, is_last: bool) -> tuple[int, int]:
    """First and last counted frame; empty when the first is past the last."""
    skip = 5 * (sample_rate // 75)
    start = max(skip, 1) if is_first else 1
    end = max(total - skip, 0) if is_last else total
    return start, end


def expected(frames, total, sample_rate=44100, is_first=False, is_last=False, frame_range=1,
             v2_offset=0):
    """(checksums_v1, checksum_v2) of a track given as (left, right) pairs."""
    assert len(frames) == total + frame_range - 1
    values = [frame_value(left, right) for left, right in frames]
    start, end = window(total, sample_rate, is_first, is_last)
    counted = range(start, end + 1)

    def v(n: int) -> int:
        return values[n - 1]

    v1 = [sum(i * v(i + k) for i in counted) & MASK for k in range(frame_range)]
    products = [i * v(i + v2_offset) for i in counted]
    v2 = sum((p & MASK) + (p >> 32) for p in products) & MASK
    return v1, v2


def track_keywords(total, sample_rate, is_first, is_last, frame_range, v2_offset) -> dict:
    """The Checksum constructor's keywords for a track."""
    return dict(
        total_pcm_frames=total,
        sample_rate=sample_rate,
        is_first=int(is_first),
        is_last=int(is_last),
        pcm_frame_range=frame_range,
        isotrakv2_offset=v2_offset,
    )


def expected_for(track: dict, frames) -> tuple[list[int], int]:
    """expected() for a track given as the Checksum constructor's keywords."""
    return expected(
        frames,
        track["total_pcm_frames"],
        track["sample_rate"],
        bool(track["is_first"]),
        bool(track["is_last"]),
        track["pcm_frame_range"],
        track["isotrakv2_offset"],
    )


def framelist(frames, cls=None) -> pcm.FrameList:
    """A 2-channel 16-bit FrameList of (left, right) pairs."""
    flat = [sample for frame in frames for sample in frame]
    data = struct.pack(f"<{len(flat)}h", *flat)
    return (cls or pcm.FrameList)(data, 2, 16, 0, 1)


def feed(checksum, frames, cuts=()) -> None:
    """Feeds frames as blocks split at the given cut positions (repeated
    cuts make empty blocks)."""
    bounds = [0, *sorted(cuts), len(frames)]
    for begin, end in zip(bounds, bounds[1:]):
        checksum.update(framelist(frames[begin:end]))


class Reentrant:
    """An int argument whose conversion first runs inner(checksum): code
    that re-enters a Checksum while its constructor converts arguments."""

    def __init__(self, value, checksum, inner):
        self.value, self.checksum, self.inner = value, checksum, inner

    def __index__(self):
        self.inner(self.checksum)
        return self.value


class ReenteringPcm:
    """Stands in for orvane.pcm in sys.modules: looking up FrameList puts
    the module back and runs inner(checksum) first."""

    def __init__(self, checksum, inner):
        self.checksum, self.inner = checksum, inner

    @property
    def FrameList(self):
        sys.modules["orvane.pcm"] = pcm
        self.inner(self.checksum)
        return pcm.FrameList
