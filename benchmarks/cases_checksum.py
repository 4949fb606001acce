"""The checksum of a whole track, fed in 4096-frame blocks, against numpy.

The numpy peer computes the same sums from their definitions, vectorised:
with W(k) and Q(k) the sums of v(m) and m·v(m) over the frames
m = S+k .. E+k, the version 1 checksum of offset k is

    sum over i = S..E of i·v(i + k) = Q(k) - k·W(k)      (mod 2**32)

W(0) and Q(0) are two reductions over the track, and W(k), Q(k) follow
from them by cumulative sums over the frames that enter and leave the
window, so all R offsets cost O(frames + R).  The version 2 checksum adds
the high halves of the 64-bit products i·v(i + O).  Both sides get the
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
    # Narrowing while joining: one pass makes the int16 pairs that are v(m).
    values = np.concatenate(blocks, dtype="<i2", casting="unsafe").view("<u4")
    start, end = window(total_frames)
    numbers = np.arange(1, values.size + 1, dtype=U32)  # frame m is entry m - 1
    counted = slice(start - 1, end)

    # Offset 0 directly; offset k from offset k - 1, as the window moves on
    # by one frame: W(k) = sum of v(m), Q(k) = sum of m·v(m) over
    # m = S+k..E+k, and checksum(k) = Q(k) - k·W(k).  All mod 2**32.
    first_w = values[counted].sum(dtype=U32)
    first_q = np.vdot(numbers[counted], values[counted])
    offsets = np.arange(1, frame_range, dtype=U32)
    entering = values[end : end + frame_range - 1]
    leaving = values[start - 1 : start + frame_range - 2]
    w = np.empty(frame_range, U32)
    q = np.empty(frame_range, U32)
    w[0], q[0] = first_w, first_q
    np.cumsum(entering - leaving, dtype=U32, out=w[1:])
    np.cumsum((end + offsets) * entering - (start - 1 + offsets) * leaving, dtype=U32, out=q[1:])
    w[1:] += first_w
    q[1:] += first_q
    v1 = q - np.arange(frame_range, dtype=U32) * w

    # Version 2: the products i·v(i + O) in full.  Their high halves sum to
    # (sum of products - sum of low halves) / 2**32, both taken mod 2**64.
    shifted = values[start - 1 + v2_offset : end + v2_offset]
    low_sum = (numbers[counted] * shifted).sum(dtype=np.uint64)
    product_sum = np.vdot(numbers[counted].astype(np.uint64), shifted.astype(np.uint64))
    high_sum = (int(product_sum) - int(low_sum)) % 2**64 >> 32
    return [int(x) for x in v1], (int(v1[v2_offset]) + high_sum) & 0xFFFFFFFF


class NumpyStream:
    """The R = 1 sums updated block by block, for the per-call comparison:
    offset 0 and the version 2 high halves, over the window of a track.
    Two recipes: the full 64-bit products split into halves, or 32-bit
    products and one 64-bit dot product (fewer passes, more calls)."""

    RECIPES = ("64-bit products", "32-bit products and a 64-bit dot")

    def __init__(self, total_frames: int, recipe: str = RECIPES[0]) -> None:
        self.start, self.end = window(total_frames)
        self.next_frame = 1
        self.low_sum = 0
        self.high_sum = 0
        self.by_dot = recipe == self.RECIPES[1]

    def update(self, block: np.ndarray) -> None:
        values = frame_values(block)
        first = self.next_frame
        self.next_frame += values.size
        begin, stop = max(first, self.start), min(self.next_frame - 1, self.end)
        if begin > stop:
            return
        counted = values[begin - first : stop - first + 1]
        if self.by_dot:
            numbers = np.arange(begin, stop + 1, dtype=U32)
            low = int((numbers * counted).sum(dtype=np.uint64))
            total = int(np.vdot(numbers.astype(np.uint64), counted.astype(np.uint64)))
            high = (total - low) % 2**64 >> 32
        else:
            products = np.arange(begin, stop + 1, dtype=np.uint64) * counted.astype(np.uint64)
            low = int((products & np.uint64(0xFFFFFFFF)).sum())
            high = int((products >> np.uint64(32)).sum())
        self.low_sum = (self.low_sum + low) & 0xFFFFFFFF
        self.high_sum = (self.high_sum + high) & 0xFFFFFFFF

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

    def check_numpy(recipe):
        stream = NumpyStream(check_frames, recipe)
        for index in range(check_frames // BLOCK_FRAMES):
            stream.update(arrays[index])
        stream.update(short_array)
        return stream.result()

    rest = check_frames % BLOCK_FRAMES
    short_array = arrays[-1][: rest * 2].copy()
    short_block = pcm.FrameList(short_array.astype("<i2").tobytes(), 2, 16, 0, 1)
    ours_result = check_ours()
    for recipe in NumpyStream.RECIPES:
        if check_numpy(recipe) != ours_result:
            raise SystemExit(f"checksum of a short track: ours {ours_result}, {recipe} differs")

    # Tracks as long as the counts allow, started afresh on both sides
    # whenever the timed updates have filled one.
    capacity = (2**31 - 1) // BLOCK_FRAMES
    state = {"checksum": None, "left": 0}

    def ours():
        if state["left"] == 0:
            state["checksum"] = _isotrak.Checksum(capacity * BLOCK_FRAMES, SAMPLE_RATE, 1, 1)
            state["left"] = capacity
        state["left"] -= 1
        return state["checksum"].update(block)

    def numpy_update(recipe):
        numpy_state = {"stream": None, "left": 0}

        def update():
            if numpy_state["left"] == 0:
                numpy_state["stream"] = NumpyStream(capacity * BLOCK_FRAMES, recipe)
                numpy_state["left"] = capacity
            numpy_state["left"] -= 1
            return numpy_state["stream"].update(array)

        return update

    return Case(
        operation="checksum update (R=1)",
        frames=BLOCK_FRAMES,
        basis_bytes=BLOCK_FRAMES * 8,
        ours=ours,
        peers={recipe: numpy_update(recipe) for recipe in NumpyStream.RECIPES},
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
            [Goal("peer", 0.35), Goal("copy", 1.2), Goal("checksum R=1", 0.1, within=True)],
        )
    if BLOCK_FRAMES in frame_counts:
        yield block_case(blocks, arrays)
