"""Timing of one benchmark case: ours, its peer and a plain copy, alternated.

Each case supplies three zero-argument callables.  After a warm-up call of
each, every repetition times all three back to back, rotating which goes
first, so that a slow spell of the shared machine hits all of them alike.
The figure kept for each is the median over the repetitions.  Calls that
take only microseconds are timed in batches, so that the clock's resolution
and the loop's own cost stay small beside the work.
"""

from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass
from typing import Callable

# A repetition of a fast call runs it in a batch lasting about this long.
BATCH_SECONDS = 0.02


def time_once(function: Callable[[], object], calls: int) -> float:
    """Seconds per call of `calls` back-to-back calls.

    A single call's result is dropped after the clock stops, so freeing a
    large result is not counted.  In a batch each result is dropped at once,
    as a loop over blocks would, so the allocator reuses the same memory and
    its freeing counts, for ours, the peer and the copy alike."""
    if calls == 1:
        start = time.perf_counter()
        result = function()
        elapsed = time.perf_counter() - start
        del result
        return elapsed
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls


def batch_size(function: Callable[[], object]) -> int:
    """Calls per repetition so that one repetition lasts about BATCH_SECONDS."""
    single = time_once(function, 1)
    if single >= BATCH_SECONDS:
        return 1
    calls = 1
    while True:
        calls *= 4
        if time_once(function, calls) * calls >= BATCH_SECONDS or calls >= 1 << 16:
            return calls


@dataclass
class Timings:
    ours: float
    peer: float
    copy: float


def measure(
    ours: Callable[[], object],
    peer: Callable[[], object],
    copy: Callable[[], object],
    repetitions: int,
) -> Timings:
    """Medians over `repetitions` rounds of the three callables, alternated."""
    functions = [ours, peer, copy]
    batches = [batch_size(function) for function in functions]  # also the warm-up
    samples: list[list[float]] = [[], [], []]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for repetition in range(repetitions):
            for step in range(3):
                index = (repetition + step) % 3
                samples[index].append(time_once(functions[index], batches[index]))
    finally:
        if gc_was_enabled:
            gc.enable()
    return Timings(*(statistics.median(series) for series in samples))


def fastest(candidates: dict[str, Callable[[], object]], repetitions: int = 3):
    """The name of the quickest candidate (median of a few calls) and the
    median time of every candidate, by name."""
    times = {}
    for name, function in candidates.items():
        calls = batch_size(function)
        times[name] = statistics.median(time_once(function, calls) for _ in range(repetitions))
    return min(times, key=times.get), times
