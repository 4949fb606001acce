"""Times the checksum of a five-minute track against a plain copy of the
same sample memory.

The track (13,230,000 stereo 16-bit frames) is fed as 4096-frame FrameList
blocks made beforehand, with pcm_frame_range 1 and 5881.  The copies move
as many bytes as the blocks' sample arrays hold (4 bytes per sample):
"copy blocks" copies the blocks' own sample arrays (found through the
FrameList layout) into one preallocated array, block by block; the others
copy one contiguous array of the same size with numpy (into a preallocated
array and into a new one) and with bytes().  Each figure is the median of
the repetitions after a warm-up, with the cases alternating in a new order each round.  Run with numpy
installed: python benchmarks/checksum_probe.py
"""

from __future__ import annotations

import argparse
import ctypes
import os
import random
import statistics
import time

import numpy as np

from orvane import pcm
from orvane._isotrak import Checksum

FRAMES = 13_230_000
BLOCK = 4096


def make_blocks(frames: int) -> list[pcm.FrameList]:
    data = os.urandom(frames * 4)
    step = BLOCK * 4
    return [pcm.FrameList(data[at:at + step], 2, 16, 0, 1) for at in range(0, len(data), step)]


class FrameListLayout(ctypes.Structure):
    """The head of a pcm_FrameList, up to its sample array."""

    _fields_ = [
        ("refcount", ctypes.c_ssize_t),
        ("type", ctypes.c_void_p),
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("bits_per_sample", ctypes.c_uint32),
        ("samples", ctypes.c_void_p),
    ]


def copy_blocks_case(blocks, target):
    """Copies every block's sample array into target, in order."""
    moves = []
    offset = target.ctypes.data
    for block in blocks:
        layout = FrameListLayout.from_address(id(block))
        size = layout.frames * layout.channels * 4
        moves.append((offset, layout.samples, size))
        offset += size
    assert offset - target.ctypes.data == target.nbytes
    memmove = ctypes.memmove

    def run():
        for destination, source, size in moves:
            memmove(destination, source, size)
    return run


def checksum_case(blocks, frame_range):
    def run():
        checksum = Checksum(FRAMES - frame_range + 1, 44100, 1, 1, frame_range, frame_range // 2)
        update = checksum.update
        for block in blocks:
            update(block)
        return checksum.checksum_v2()
    return run


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    repeat = parser.parse_args().repeat

    blocks = make_blocks(FRAMES)
    source = np.frombuffer(os.urandom(FRAMES * 8), dtype=np.int32)
    target = np.empty_like(source)
    source_bytes = source.tobytes()
    cases = {
        "checksum R=1": checksum_case(blocks, 1),
        "checksum R=5881": checksum_case(blocks, 5881),
        "copy blocks": copy_blocks_case(blocks, target),
        "copy numpy copyto": lambda: np.copyto(target, source),
        "copy numpy .copy()": lambda: source.copy(),
        "copy bytes()": lambda: bytes(memoryview(source_bytes)),
    }
    times: dict[str, list[float]] = {name: [] for name in cases}
    order = list(cases)
    shuffle = random.Random(5881).shuffle
    for round_ in range(repeat + 1):
        # A new order each round, so that no case always follows the one
        # that unmaps 100 MB.
        shuffle(order)
        for name in order:
            run = cases[name]
            began = time.perf_counter()
            run()
            elapsed = time.perf_counter() - began
            if round_:
                times[name].append(elapsed)

    medians = {name: statistics.median(values) for name, values in times.items()}
    megabytes = FRAMES * 8 / 1e6
    for name, median in medians.items():
        print(f"{name:20s} {median * 1e3:8.2f} ms {megabytes / median / 1e3:6.2f} GB/s")
    for copy in ("copy blocks", "copy numpy copyto", "copy numpy .copy()", "copy bytes()"):
        for frame_range in (1, 5881):
            ratio = medians[f"checksum R={frame_range}"] / medians[copy]
            print(f"checksum R={frame_range} / {copy}: {ratio:.2f}")
    print(f"R=1 / R=5881: {medians['checksum R=1'] / medians['checksum R=5881']:.3f}")


if __name__ == "__main__":
    main()
