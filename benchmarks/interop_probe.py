"""How to_numpy and from_numpy compare with a plain copy of the same bytes.

A five-minute stereo track at 44.1 kHz (13,230,000 frames) as a FrameList
and as a FloatFrameList; each case is timed as the best of several runs,
next to numpy copying an array of the same size (a fresh allocation and one
block copy, which is what each conversion has to do at least).

    python benchmarks/interop_probe.py [repeats]
"""

from __future__ import annotations

import sys
import time

import numpy as np

from orvane import pcm
from orvane.numpy import from_numpy, to_numpy

FRAMES = 13_230_000
CHANNELS = 2


def best_of(cases: dict, repeats: int) -> dict:
    """The best time of each case; the cases take turns, so that a change
    in the machine's load falls on all of them alike."""
    times = {name: float("inf") for name in cases}
    for _ in range(repeats):
        for name, function in cases.items():
            start = time.perf_counter()
            result = function()
            times[name] = min(times[name], time.perf_counter() - start)
            del result
    return times


def report(name: str, seconds: float, baseline: float, size: int) -> None:
    print(
        f"{name:<34} {seconds * 1e3:8.1f} ms  {size / seconds / 1e9:6.2f} GB/s"
        f"  {seconds / baseline:5.2f} x plain copy"
    )


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    rng = np.random.default_rng(1)
    pcm16 = rng.integers(-32768, 32768, size=(FRAMES, CHANNELS), dtype=np.int16)
    ints = pcm16.astype(np.int32)
    floats = ints / 32768.0
    framelist = pcm.FrameList(pcm16.tobytes(), CHANNELS, 16, sys.byteorder == "big", 1)
    floatframelist = from_numpy(floats)
    assert (to_numpy(framelist) == ints).all()

    times = best_of(
        {
            "plain copy, int32": ints.copy,
            "to_numpy(FrameList)": lambda: to_numpy(framelist),
            "from_numpy(int32 array, 16)": lambda: from_numpy(ints, 16),
            "from_numpy(int16 array)": lambda: from_numpy(pcm16),
            "plain copy, float64": floats.copy,
            "to_numpy(FloatFrameList)": lambda: to_numpy(floatframelist),
            "from_numpy(float64 array)": lambda: from_numpy(floats),
        },
        repeats,
    )
    print(f"{FRAMES:,} stereo frames, best of {repeats}")
    for name, seconds in times.items():
        floating = "float" in name or "Float" in name
        baseline = times["plain copy, float64" if floating else "plain copy, int32"]
        report(name, seconds, baseline, floats.nbytes if floating else ints.nbytes)


if __name__ == "__main__":
    main()
