"""A plain-Python model of the two containers, for the stateful tests.

A container is modelled by its kind, shape and flat list of samples; every
operation below computes, from models alone, what the native operation must
return or raise.  Floating samples are compared by their bit patterns, as
the containers compare them.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

from orvane import pcm

FLOAT, INT = "float", "int"


@dataclass
class Model:
    kind: str
    channels: int
    bits: int | None
    samples: list = field(default_factory=list)
    exact: bool = True  # False for instances of a Python subclass

    @property
    def frames(self) -> int:
        return len(self.samples) // self.channels if self.channels else 0

    def same_shape(self, other: Model) -> bool:
        return self.kind == other.kind and self.channels == other.channels and self.bits == other.bits

    def copy(self, samples: list | None = None, **changes) -> Model:
        values = dict(kind=self.kind, channels=self.channels, bits=self.bits, exact=True)
        values.update(changes)
        return Model(samples=list(self.samples if samples is None else samples), **values)

    def key(self) -> tuple:
        samples = self.samples
        if self.kind == FLOAT:
            samples = [struct.pack("<d", x) for x in samples]
        return (self.kind, self.channels, self.bits, self.frames, tuple(samples))


def observe(container) -> Model:
    """What a container shows through its Python interface."""
    if isinstance(container, pcm.FloatFrameList):
        kind, bits = FLOAT, None
    else:
        kind, bits = INT, container.bits_per_sample
    exact = type(container) in (pcm.FrameList, pcm.FloatFrameList)
    observed = Model(kind, container.channels, bits, list(container), exact)
    assert len(container) == len(observed.samples)
    assert container.frames == observed.frames
    return observed


def equal(a: Model, b: Model) -> bool:
    return a.exact and b.exact and a.key() == b.key()


def to_int(model: Model, bits: int) -> Model:
    scale = 1 << (bits - 1)
    upper, lower = scale - 1, -scale
    result = []
    for x in model.samples:
        product = x * float(scale)
        if math.isnan(product):
            value = lower
        elif math.isinf(product):
            value = upper if product > 0 else lower
        else:
            value = max(lower, min(upper, math.trunc(product)))
        result.append(value)
    return Model(INT, model.channels, bits, result)


def to_float(model: Model) -> Model:
    scale = float(1 << (model.bits - 1))
    return Model(FLOAT, model.channels, None, [v / scale for v in model.samples])
