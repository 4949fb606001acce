"""Two tracks checksummed in two threads against one thread doing both.

Each track is a 5-minute buffer with its own Checksum (R = 5881), fed in
one call: raw bytes through update_bytes, or one FrameList through update.
Ours runs the two tracks at once in the two threads of a pool made
beforehand (as a reader of tracks would keep its workers); the peer runs
them one after the other in the calling thread.  Both get the same
buffers, also made beforehand.  ours/peer is the inverse of the gain from the second core:
the goal of 0.59 is a throughput 1.7 times that of one thread.

The copy yardstick copies into memory made beforehand, not into fresh
memory as elsewhere: on a 2-core machine the kernel's work after freeing
a fresh 100 MB copy (page zeroing and compaction) took a core for long
enough that the two threads found only one free.
"""

from __future__ import annotations

import random
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from orvane import pcm

from case import FRAMES_5_MINUTES, Case, Goal, Skip

try:
    from orvane import _isotrak
except ImportError:
    _isotrak = None

FRAME_RANGE = 5881
TRACKS = 2


def checksum_of(update_name: str, data, total: int):
    checksum = _isotrak.Checksum(total, 44100, 1, 1, FRAME_RANGE, FRAME_RANGE // 2)
    getattr(checksum, update_name)(data)
    return checksum.checksums_v1_bytes(), checksum.checksum_v2()


def track_pair_case(label: str, update_name: str, buffers, bytes_per_frame: int, pool):
    frames = FRAMES_5_MINUTES
    total = frames - FRAME_RANGE + 1

    def one(data):
        return checksum_of(update_name, data, total)

    def serial():
        return [one(data) for data in buffers]

    def in_threads():
        return list(pool.map(one, buffers))

    source = np.full(TRACKS * frames * bytes_per_frame, 7, np.uint8)
    destination = np.empty_like(source)
    return Case(
        operation=f"2 tracks in 2 threads, {label}",
        frames=frames,
        basis_bytes=TRACKS * frames * bytes_per_frame,
        ours=in_threads,
        peers={"one thread, one track after the other": serial},
        same=lambda a, b: a == b,
        goals=[Goal("peer", 0.59)],
        copy=lambda: np.copyto(destination, source),
    )


def cases(frame_counts):
    if _isotrak is None or not hasattr(_isotrak.Checksum, "update_bytes"):
        yield Skip("threads", "orvane._isotrak has no update_bytes in this build")
        return
    if FRAMES_5_MINUTES not in frame_counts:
        return
    rng = random.Random(5)
    raw = [rng.randbytes(FRAMES_5_MINUTES * 4) for _ in range(TRACKS)]
    with ThreadPoolExecutor(TRACKS) as pool:
        yield track_pair_case("update_bytes", "update_bytes", raw, 4, pool)
        framelists = [pcm.FrameList(data, 2, 16, 0, 1) for data in raw]
        del raw
        yield track_pair_case("update(FrameList)", "update", framelists, 8, pool)
