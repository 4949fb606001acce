"""The checksum of a whole track, fed in 4096-frame blocks, against numpy.

The numpy peer computes the same sums from their definitions in one
vectorised pass: with P1 and P2 the running sums of v(m) and m·v(m) over the
frame numbers m, the version 1 checksum of offset k is

    sum over i = S..E of i·v(i + k) = (P2[E+k] - P2[S+k-1]) - k·(P1[E+k] - P1[S+k-1])

(mod 2**32), so all R offsets cost O(frames + R); the version 2 checksum
adds the high halves of the 64-bit products i·v(i + O).  Both sides get the
same 4096-frame blocks, made beforehand: FrameLists for ours, int32 arrays
for numpy.
"""

from __future__ import annotations

import numpy as np

from orvane import pcm

from case import BLOCK_FRAMES, FRAMES_5_MINUTES, Case, Goal, Skip
from native_view import samples

try:
    from orvane import _isotrak
except ImportError:
    _isotrak = None

SAMPLE_RATE = 44100
LEAD_IN = 5 * (SAMPLE_RATE // 75)
U32 = np.uint32


def window(total_frames: int) -> tuple[int, int]:
    """First and last counted frame of a track that is both first and last."""
    return LEAD_IN, max(total_frames - LEAD_IN, 0)


def frame_values(stream: np.ndarray) -> np.ndarray:
    """v(m) for m = 1.. as uint32: right sample's 16 bits above the left's.

    For samples of a 16-bit list this is the two samples narrowed to int16
    and read as one little-endian 32-bit word."""
    values = stream.astype("<i2").view("<u4")
    return values if values.dtype == U32 else values.astype(U32)


def numpy_checksums(blocks, total_frames, frame_range, v2_offset):
    values = frame_values(np.concatenate(blocks))
    start, end = window(total_frames)
    numbers = np.arange(1, values.size + 1, dtype=U32)
    p1 = np.zeros(values.size + 1, U32)
    p2 = np.zeros(values.size + 1, U32)
    np.cumsum(values, dtype=U32, out=p1[1:])
    np.cumsum(numbers * values, dtype=U32, out=p2[1:])
    offsets = np.arange(frame_range, dtype=U32)
    high, low = end + offsets, start - 1 + offsets
    v1 = (p2[high] - p2[low]) - offsets * (p1[high] - p1[low])
    positions = np.arange(start, end + 1, dtype=np.uint64)
    shifted = values[start - 1 + v2_offset : end + v2_offset].astype(np.uint64)
    high_sum = int(((positions * shifted) >> np.uint64(32)).sum()) & 0xFFFFFFFF
    return [int(x) for x in v1], (int(v1[v2_offset]) + high_sum) & 0xFFFFFFFF


class NumpyStream:
    """The R = 1 sums updated block by block, for the per-call comparison:
    offset 0 and the version 2 high halves, over the window of a track."""

    def __init__(self, total_frames: int) -> None:
        self.start, self.end = window(total_frames)
        self.next_frame = 1
        self.low_sum = 0
        self.high_sum = 0

    def update(self, block: np.ndarray) -> None:
        values = frame_values(block)
        first = self.next_frame
        self.next_frame += values.size
        begin, stop = max(first, self.start), min(self.next_frame - 1, self.end)
        if begin > stop:
            return
        counted = values[begin - first : stop - first + 1].astype(np.uint64)
        products = np.arange(begin, stop + 1, dtype=np.uint64) * counted
        self.low_sum = (self.low_sum + int((products & np.uint64(0xFFFFFFFF)).sum())) & 0xFFFFFFFF
        self.high_sum = (self.high_sum + int((products >> np.uint64(32)).sum())) & 0xFFFFFFFF

    def result(self):
        return [self.low_sum], (self.low_sum + self.high_sum) & 0xFFFFFFFF


def checksum_results(checksum):
    return checksum.checksums_v1(), checksum.checksum_v2()


def track_case(blocks, arrays, stream_frames, frame_range, goals):
    total = stream_frames - frame_range + 1
    v2_offset = frame_range // 2

    def ours():
        checksum = _isotrak.Checksum(total, SAMPLE_RATE, 1, 1, frame_range, v2_offset)
        for block in blocks:
            checksum.update(block)
        return checksum_results(checksum)

    return Case(
        operation=f"checksum R={frame_range}",
        frames=stream_frames,
        basis_bytes=stream_frames * 8,
        ours=ours,
        peers={
            "cumulative sums": lambda: numpy_checksums(arrays, total, frame_range, v2_offset)
        },
        same=lambda a, b: a == b,
        goals=goals,
    )


def block_case(blocks, arrays):
    """One update of a 4096-frame block; the result check feeds a short
    track to both sides."""
    block, array = blocks[0], arrays[0]
    check_frames = 8 * BLOCK_FRAMES + 2 * LEAD_IN

    def check_ours():
        checksum = _isotrak.Checksum(check_frames, SAMPLE_RATE, 1, 1, 1, 0)
        for index in range(check_frames // BLOCK_FRAMES):
            checksum.update(blocks[index])
        checksum.update(short_block)
        return checksum_results(checksum)

    def check_numpy():
        stream = NumpyStream(check_frames)
        for index in range(check_frames // BLOCK_FRAMES):
            stream.update(arrays[index])
        stream.update(short_array)
        return stream.result()

    rest = check_frames % BLOCK_FRAMES
    short_array = arrays[-1][: rest * 2].copy()
    short_block = pcm.FrameList(short_array.astype("<i2").tobytes(), 2, 16, 0, 1)
    ours_result, numpy_result = check_ours(), check_numpy()
    if ours_result != numpy_result:
        raise SystemExit(f"checksum of a short track: ours {ours_result}, numpy {numpy_result}")

    # Tracks as long as the counts allow, started afresh on both sides
    # whenever the timed updates have filled one.
    capacity = (2**31 - 1) // BLOCK_FRAMES
    state = {"checksum": None, "stream": None, "ours_left": 0, "peer_left": 0}

    def ours():
        if state["ours_left"] == 0:
            state["checksum"] = _isotrak.Checksum(capacity * BLOCK_FRAMES, SAMPLE_RATE, 1, 1)
            state["ours_left"] = capacity
        state["ours_left"] -= 1
        return state["checksum"].update(block)

    def peer():
        if state["peer_left"] == 0:
            state["stream"] = NumpyStream(capacity * BLOCK_FRAMES)
            state["peer_left"] = capacity
        state["peer_left"] -= 1
        return state["stream"].update(array)

    return Case(
        operation="checksum update (R=1)",
        frames=BLOCK_FRAMES,
        basis_bytes=BLOCK_FRAMES * 8,
        ours=ours,
        peers={"numpy sums of the block": peer},
        same=lambda a, b: True,  # checked on the short track above
        goals=[Goal("peer", 2.0)],
    )


def cases(frame_counts):
    if _isotrak is None or not hasattr(_isotrak, "Checksum"):
        yield Skip("checksum", "orvane._isotrak is not in this build")
        return
    rng = np.random.default_rng(11)
    stream_frames = FRAMES_5_MINUTES if FRAMES_5_MINUTES in frame_counts else 64 * BLOCK_FRAMES
    data = rng.bytes(stream_frames * 4)
    blocks, arrays = [], []
    for start in range(0, stream_frames * 4, BLOCK_FRAMES * 4):
        block = pcm.FrameList(data[start : start + BLOCK_FRAMES * 4], 2, 16, 0, 1)
        blocks.append(block)
        arrays.append(samples(block).copy())
    del data
    if FRAMES_5_MINUTES in frame_counts:
        yield track_case(blocks, arrays, stream_frames, 1, [])
        yield track_case(
            blocks,
            arrays,
            stream_frames,
            5881,
            [Goal("peer", 0.35), Goal("copy", 1.2), Goal("checksum R=1", 1.1)],
        )
    if BLOCK_FRAMES in frame_counts:
        yield block_case(blocks, arrays)
