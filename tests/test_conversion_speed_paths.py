"""FloatFrameList.to_int over every length from 0 to 67 samples.

The conversion loop is vectorised (and built for AVX2 too), so its main
body and every tail are tried, with the values where the bounds and the
truncation decide: NaN, infinities, products equal to a bound, just inside
and just outside it, and negative zero.
"""

from __future__ import annotations

import math

import pytest

from orvane import pcm
from test_conversions import model_to_int

SPECIAL = [
    math.nan,
    math.inf,
    -math.inf,
    1.0,
    -1.0,
    32767 / 32768,
    -32767.5 / 32768,
    32767.99 / 32768,
    -0.0,
    -0.3 / 32768,
    1e300,
    -1e300,
]


@pytest.mark.parametrize("bits", [1, 8, 16, 24, 32])
@pytest.mark.parametrize("count", range(68))
def test_to_int_at_every_length(bits, count):
    values = [SPECIAL[(7 * i + count) % len(SPECIAL)] for i in range(count)]
    result = pcm.FloatFrameList(values, 1).to_int(bits)
    assert list(result) == [model_to_int(value, bits) for value in values]
