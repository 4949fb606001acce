"""A small demo disc for the checksum tool: three short WAV tracks.

The audio is made with integer arithmetic only (a pitched square-ish tone
per track under a little pseudo-random noise), so the files, and therefore
the checksums printed for them, are the same bytes on every machine.
"""

from __future__ import annotations

import wave
from array import array
from pathlib import Path

from orvane.isotrak.cd import SAMPLE_RATE

__all__ = ["DEMO_TRACK_FRAMES", "demo_track_samples", "write_demo_disc"]

DEMO_SAMPLE_RATE = SAMPLE_RATE

# Lengths in frames: a little over 2, 1 and 1.5 seconds, none a whole
# number of blocks or sectors, and each longer than the lead-in skip twice.
DEMO_TRACK_FRAMES = (88_200 + 1_234, 44_100 + 567, 66_150 + 89)

# Half-periods in frames of each track's tone, left and right.
_HALF_PERIODS = ((50, 75), (40, 60), (67, 100))


def demo_track_samples(track: int) -> array[int]:
    """Return the interleaved 16-bit samples (left, right) of demo track 0, 1 or 2."""
    samples = array("h")
    state = 0x2545F491 + track
    left_half, right_half = _HALF_PERIODS[track]
    for frame in range(DEMO_TRACK_FRAMES[track]):
        # A 32-bit linear congruential generator: same numbers everywhere.
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        noise = (state >> 20) - 2048
        left = (6000 if (frame // left_half) % 2 else -6000) + noise
        right = (4000 if (frame // right_half) % 2 else -4000) - noise
        samples.append(left)
        samples.append(right)
    return samples


def write_demo_disc(folder: Path) -> list[Path]:
    """Write the three demo tracks into ``folder``; return their paths in order."""
    paths = []
    for track in range(len(DEMO_TRACK_FRAMES)):
        path = folder / f"demo-track{track + 1:02d}.wav"
        with wave.open(str(path), "wb") as writer:
            writer.setnchannels(2)
            writer.setsampwidth(2)
            writer.setframerate(DEMO_SAMPLE_RATE)
            # writeframes takes samples in the host's byte order, as array holds them.
            writer.writeframes(demo_track_samples(track).tobytes())
        paths.append(path)
    return paths
