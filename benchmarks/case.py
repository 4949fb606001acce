"""What a benchmark case is: the operation, our call, the numpy peers, the
plain copy that sets the memory-speed yardstick, the result check and the
goal.

A case module offers a function `cases(sizes)` that yields Case objects one
by one, so that the large inputs of one case can be freed before the next
is built.  A case whose operation is missing from the installed package is
yielded as a Skip with the reason.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable

import numpy as np

FRAMES_5_MINUTES = 5 * 60 * 44100
BLOCK_FRAMES = 4096


@dataclass
class Goal:
    """ours / peer (against="peer"), ours / copy (against="copy"), or ours
    / ours of an earlier case of the same size (against=its operation), at
    most limit; or, with within=True, no further than limit from 1."""

    against: str
    limit: float
    within: bool = False

    def met(self, ratio: float) -> bool:
        return abs(ratio - 1) <= self.limit if self.within else ratio <= self.limit

    def describe(self) -> str:
        if self.within:
            return f"vs {self.against} within {self.limit:.0%}"
        return f"vs {self.against} <= {self.limit:g}x"


@dataclass
class Case:
    operation: str
    frames: int
    basis_bytes: int  # bytes that the plain copy moves; throughput is measured on them
    ours: Callable[[], object]
    peers: dict[str, Callable[[], object]]
    same: Callable[[object, object], bool]
    goals: list[Goal] = field(default_factory=list)
    copy: Callable[[], object] | None = None

    def __post_init__(self) -> None:
        if self.copy is None:
            source = np.full(self.basis_bytes, 7, np.uint8)
            self.copy = source.copy


@dataclass
class Skip:
    operation: str
    reason: str


def sizes_label(frames: int) -> str:
    return f"{frames:,} fr"
