"""The numbers of a compact disc and of the checksums over it, each said once."""

from __future__ import annotations

__all__ = [
    "BYTES_PER_FRAME",
    "EDGE_SECTORS",
    "FRAMES_PER_SECTOR",
    "MAX_COUNT",
    "MAX_DISC_MINUTES",
    "MAX_DISC_SECTORS",
    "MAX_SHIFT",
    "SAMPLE_RATE",
    "SECTORS_PER_SECOND",
    "counted_window",
    "edge_skip",
]

# CD audio: 2-channel 16-bit frames at 44100 Hz.
SAMPLE_RATE = 44100
BYTES_PER_FRAME = 4

# A disc is read in sectors ("CD frames" in a CUE sheet) of 1/75 s.
SECTORS_PER_SECOND = 75
FRAMES_PER_SECTOR = SAMPLE_RATE // SECTORS_PER_SECOND

# A CD holds at most 99 minutes: no place on a disc, and no gap, is longer.
MAX_DISC_MINUTES = 99
MAX_DISC_SECTORS = MAX_DISC_MINUTES * 60 * SECTORS_PER_SECOND

# The sectors left out of the checksums at each end of a disc: a drive
# cannot read past the disc's edges at every read offset.
EDGE_SECTORS = 5

# The checksum takes signed 32-bit counts: a track's length plus the
# frames read past it, a file's frames and its sample rate stay within them.
MAX_COUNT = 2**31 - 1

# The bound on a read shift: 4194304 frames, over a minute and a half at
# 44100 Hz, far past any drive's read offset; it keeps the checksum's two
# queues of shifts within 64 MiB.
MAX_SHIFT = 2**22


def edge_skip(sample_rate: int) -> int:
    """The frames left out at each end of a disc: five sectors."""
    return EDGE_SECTORS * (sample_rate // SECTORS_PER_SECOND)


def counted_window(frames: int, sample_rate: int, is_first: bool, is_last: bool) -> tuple[int, int]:
    """The first and last counted frame of a track, numbered from 1."""
    skip = edge_skip(sample_rate)
    start = max(skip, 1) if is_first else 1
    end = max(frames - skip, 0) if is_last else frames
    return start, end
