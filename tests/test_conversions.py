"""FrameList.to_float and FloatFrameList.to_int, against exact arithmetic."""

from __future__ import annotations

import math
import sys
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kinds import state
from orvane import pcm

FF = pcm.FloatFrameList
WIDTH_MESSAGE = "^bits_per_sample must be between 1 and 32$"


def model_to_int(value: float, bits: int) -> int:
    scale = 2 ** (bits - 1)
    if math.isnan(value):
        return -scale
    product = value * scale  # a double product, as the conversion takes it
    if math.isinf(product):
        return scale - 1 if product > 0 else -scale
    return max(-scale, min(scale - 1, math.trunc(product)))


@pytest.mark.parametrize(
    "values, expected",
    [
        ([1.0, 2.0, 1e10, math.inf], 32767),
        ([0.99999], 32767),
        ([0.5], 16384),
        ([0.00001, -0.00001], 0),
        ([-0.5], -16384),
        ([-0.99999], -32767),
        ([-1.0, -2.0, -1e10, -math.inf], -32768),
    ],
)
def test_to_int_table_at_16_bits(values, expected):
    x = FF(values, 1).to_int(16)
    assert type(x) is pcm.FrameList and list(x) == [expected] * len(values)


@pytest.mark.parametrize(
    "values, bits, expected",
    [
        ([1e10, -math.inf], 8, [127, -128]),
        ([256.0], 24, [8388607]),
        ([1.0, -1.0, 0.5, -0.3 / 32768, 32767.9 / 32768], 16, [32767, -32768, 16384, 0, 32767]),
        ([math.nan, -math.nan], 16, [-32768, -32768]),  # NaN takes the lower bound
        ([1.0, -1.0, 0.5, -0.5, 0.99], 1, [0, -1, 0, 0, 0]),
        ([1.0, -1.0, 0.5, -1.5], 32, [2**31 - 1, -(2**31), 2**30, -(2**31)]),
        ([0.5, -0.125], 4, [4, -1]),
    ],
)
def test_to_int_examples(values, bits, expected):
    x = FF(values, 1).to_int(bits)
    assert list(x) == expected and x.bits_per_sample == bits


def test_to_int_keeps_shape_and_source():
    ff = FF([0.5, -0.5, 0.25, -0.25, 0.0, 1.0], 3)
    before = state(ff)
    x = ff.to_int(24)
    assert (x.frames, x.channels, x.bits_per_sample) == (2, 3, 24)
    assert state(ff) == before
    empty = pcm.empty_float_framelist(4).to_int(8)
    assert (empty.frames, empty.channels, len(empty), empty.bits_per_sample) == (0, 4, 0, 8)


@pytest.mark.parametrize("bits", [0, -1, 33, 64, -(2**31)])
def test_to_int_refuses_widths(bits):
    with pytest.raises(ValueError, match=WIDTH_MESSAGE):
        FF([0.5], 1).to_int(bits)


def test_to_int_argument_errors():
    ff = FF([0.5], 1)
    for args in ((), (16, 1), ("16",), (2**31,)):
        with pytest.raises((TypeError, OverflowError)):
            ff.to_int(*args)


@given(
    values=st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=16),
    bits=st.integers(1, 32),
)
def test_to_int_matches_model(values, bits):
    assert list(FF(values, 1).to_int(bits)) == [model_to_int(v, bits) for v in values]


@pytest.mark.parametrize(
    "samples, bits, expected",
    [
        ([-32768, 0, 32767], 16, [-1.0, 0.0, 0.999969482421875]),
        ([127, -128], 8, [0.9921875, -1.0]),
        ([8388607], 24, [1 - 2**-23]),
    ],
)
def test_to_float_examples(samples, bits, expected):
    ff = pcm.from_list(samples, 1, bits, 1).to_float()
    assert type(ff) is FF and list(ff) == expected


def test_to_float_shape_and_empty():
    x = pcm.from_list([1, 2, 3, 4, 5, 6], 2, 16, 1)
    before = state(x)
    ff = x.to_float()
    assert (ff.frames, ff.channels) == (3, 2) and state(x) == before
    empty = pcm.empty_framelist(5, 24).to_float()
    assert (type(empty), empty.frames, empty.channels, len(empty)) == (FF, 0, 5, 0)
    with pytest.raises(TypeError):
        x.to_float(1)


def test_to_float_widths_from_to_int():
    for bits in (1, 4, 12, 31, 32):
        x = FF([0.5, -1.0], 1).to_int(bits)
        assert list(x.to_float()) == [0.5 if bits > 1 else 0.0, -1.0]
    with pytest.raises(ValueError, match=WIDTH_MESSAGE):
        pcm.FrameList.__new__(pcm.FrameList).to_float()


@given(data=st.data(), bits=st.sampled_from([8, 16, 24]), channels=st.integers(1, 3))
def test_round_trip_is_exact(data, bits, channels):
    scale = 2 ** (bits - 1)
    frames = data.draw(st.integers(0, 6))
    size = frames * channels
    samples = data.draw(st.lists(st.integers(-scale, scale - 1), min_size=size, max_size=size))
    x = pcm.from_list(samples, channels, bits, 1)
    ff = x.to_float()
    assert [Fraction(v) for v in ff] == [Fraction(s, scale) for s in samples]
    assert ff.to_int(bits) == x


@pytest.mark.parametrize("bits", [8, 16])
def test_round_trip_over_the_whole_range(bits):
    scale = 2 ** (bits - 1)
    x = pcm.from_list(range(-scale, scale), 1, bits, 1)
    assert x.to_float().to_int(bits) == x


def test_failed_conversions_keep_reference_counts():
    ff = FF([0.5], 1)
    bare = pcm.FrameList.__new__(pcm.FrameList)
    before = sys.getrefcount(ff), sys.getrefcount(bare)
    for _ in range(10):
        for failing in (lambda: ff.to_int(0), lambda: ff.to_int("x"), lambda: bare.to_float()):
            with pytest.raises((TypeError, ValueError)):
                failing()
        ff.to_int(16).to_float()
    assert (sys.getrefcount(ff), sys.getrefcount(bare)) == before
