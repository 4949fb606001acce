"""FloatFrameList's own behaviour: its initialiser and byte-wise equality."""

from __future__ import annotations

import math
import struct

import pytest

from kinds import state
from orvane import pcm

FF = pcm.FloatFrameList


def from_bits(pattern: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def test_construction():
    ff = FF([0.1, 0.2, 0.3, 0.4], 2)
    assert (ff.frames, ff.channels, len(ff), list(ff)) == (2, 2, 4, [0.1, 0.2, 0.3, 0.4])
    assert list(ff.frame(1)) == [0.3, 0.4] and list(ff.channel(1)) == [0.2, 0.4]
    assert ff[-1] == 0.4 and type(ff[0]) is float
    ints = FF([1, -2, True], 3)
    assert list(ints) == [1.0, -2.0, 1.0] and all(type(s) is float for s in ints)
    assert FF([], 2) == pcm.empty_float_framelist(2)
    assert not hasattr(ff, "bits_per_sample")
    for absent in ("to_bytes", "frame_count", "from_list", "to_float"):
        assert not hasattr(FF, absent)


def test_every_double_survives_a_copy():
    patterns = [0x8000000000000000, 0x7FF8000000000001, 0xFFF0000000000000, 1, 2**63 - 2**52 - 1]
    ff = FF([from_bits(p) for p in patterns], 1)
    joined = pcm.from_float_frames([ff.frame(i) for i in range(5)])
    copies = [ff * 2, ff + ff, joined, ff.channel(0)]
    for copy in copies:
        assert [struct.unpack("<Q", struct.pack("<d", s))[0] for s in copy][:5] == patterns


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([0.5], 0), ValueError, "^number of channels must be > 0$"),
        ((5, 0), ValueError, "^number of channels must be > 0$"),  # channels before the length
        ((5, 1), TypeError, None),
        (([0.1, 0.2, 0.3], 2), ValueError, "^number of samples must be divisible by number of "),
        (([0.5], -1), ValueError, "^number of samples must be divisible"),  # -1 reads as 2**32 - 1
        (([0.5, None], 1), TypeError, None),
        (([0.5, "1.0"], 1), TypeError, None),
        (([10**400], 1), OverflowError, None),
        (([0.5],), TypeError, None),
        (("ab", 1), TypeError, None),
    ],
)
def test_construction_refusals(args, error, message):
    with pytest.raises(error, match=message):
        FF(*args)


def test_keywords_are_not_arguments():
    with pytest.raises(TypeError):
        FF(float_list=[0.5], channels=1)


@pytest.mark.parametrize(
    "args",
    [([1.0], 0), ([1.0, 2.0, 3.0], 2), ([1.0, None], 1), (7, 1), ([1.0, object()], 2)],
)
def test_failed_reinitialisation_leaves_container_as_it_was(args):
    ff = FF([0.25, 0.5, 0.75, 1.0], 2)
    before = state(ff)
    with pytest.raises((ValueError, TypeError)):
        ff.__init__(*args)
    assert state(ff) == before


def test_reinitialisation_replaces_contents():
    ff = FF([0.25, 0.5, 0.75, 1.0], 2)
    ff.__init__([1.0, 2.0, 3.0], 3)
    assert (ff.frames, ff.channels, list(ff)) == (1, 3, [1.0, 2.0, 3.0])


def test_bare_object_is_empty_and_usable():
    bare = FF.__new__(FF)
    assert (bare.frames, bare.channels, len(bare), list(bare)) == (0, 0, 0, [])
    assert bare.split(0)[0] is bare and len(bare * 3) == 0


def test_equality_is_bytewise():
    nan = float("nan")
    assert FF([0.0], 1) != FF([-0.0], 1)
    assert FF([nan], 1) == FF([nan], 1)
    assert FF([from_bits(0x7FF8000000000001)], 1) != FF([from_bits(0x7FF8000000000002)], 1)
    assert FF([math.inf, 1.5], 2) == FF([math.inf, 1.5], 2)
    assert FF([1.0, 2.0], 2) != FF([1.0, 2.0], 1)
    assert FF([1.0], 1) != pcm.from_list([1], 1, 16, 1)
