"""empty / from_list / joining frames and channels, for both containers."""

from __future__ import annotations

import sys

import pytest

from kinds import FLOAT, INT, KINDS, state, the_other
from orvane import pcm

kinds = pytest.mark.parametrize("kind", KINDS, ids=repr)


class Reported:
    """A sequence that reports one length and yields items of another."""

    def __init__(self, length, item):
        self.length, self.item = length, item

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.item


# ---- empty ---------------------------------------------------------------


def test_empty_framelist():
    x = pcm.empty_framelist(2, 16)
    assert (type(x), x.frames, x.channels, x.bits_per_sample, len(x)) == (
        pcm.FrameList, 0, 2, 16, 0)
    for args, message in [
        ((0, 12), "^channels must be > 0$"),  # channels are checked first
        ((-1, 16), "^channels must be > 0$"),
        ((2, 12), "^bits_per_sample must be 8, 16 or 24$"),
        ((2, -8), "^bits_per_sample must be 8, 16 or 24$"),
        ((2, 0), "^bits_per_sample must be 8, 16 or 24$"),
    ]:
        with pytest.raises(ValueError, match=message):
            pcm.empty_framelist(*args)
    with pytest.raises(TypeError):
        pcm.empty_framelist(2)


def test_empty_float_framelist():
    x = pcm.empty_float_framelist(3)
    assert (type(x), x.frames, x.channels, len(x)) == (pcm.FloatFrameList, 0, 3, 0)
    for channels in (0, -3):
        with pytest.raises(ValueError, match="^channels must be > 0$"):
            pcm.empty_float_framelist(channels)
    with pytest.raises(TypeError):
        pcm.empty_float_framelist(2, 16)
    assert not hasattr(pcm.FloatFrameList, "empty_float_framelist")


# ---- from_list -------------------------------------------------------------


@pytest.mark.parametrize(
    "values, bits, is_signed, expected",
    [
        ([0, 128, 255], 8, 0, [-128, 0, 127]),
        ([0, 128, 255], 8, 1, [0, 128, 255]),  # no range test
        ([0, 32768, 65535], 16, 0, [-32768, 0, 32767]),
        ([0, 2**23, 2**24 - 1], 24, 0, [-(2**23), 0, 2**23 - 1]),
        ([2**32 + 5], 16, 1, [5]),  # wraps to 32 bits
        ([2**31], 16, 1, [-(2**31)]),
        ([-(2**63)], 8, 0, [-128]),  # the offset wraps too, without overflow
        ([True, 3], 16, 1, [1, 3]),
    ],
)
def test_from_list_values(values, bits, is_signed, expected):
    x = pcm.from_list(values, 1, bits, is_signed)
    assert list(x) == expected and x.bits_per_sample == bits and x.frames == len(values)


def test_from_list_shape_and_class_method():
    x = pcm.from_list(range(6), 3, 24, 1)
    assert (x.frames, x.channels, x.bits_per_sample, list(x)) == (2, 3, 24, list(range(6)))
    sub = type("Sub", (pcm.FrameList,), {})
    y = sub.from_list(range(6), 3, 24, 1)
    assert type(y) is pcm.FrameList and y == x == pcm.FrameList.from_list(range(6), 3, 24, 1)
    empty = pcm.from_list([], 2, 16, 1)
    assert (empty.frames, empty.channels, empty.bits_per_sample) == (0, 2, 16)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((5, 0, 16, 1), TypeError, None),  # the length comes before the channels
        (([1, 2], 0, 12, 1), ValueError, "^channels must be > 0$"),
        (([1, 2], 2, 12, 1), ValueError, "^unsupported number of bits per sample$"),
        (([1, 2, 3], 2, 16, 1), ValueError, "^number of samples must be divisible by number of "),
        (([1, 2.5], 1, 16, 1), TypeError, None),
        (([1, "2"], 1, 16, 1), TypeError, None),
        (([2**64], 1, 16, 1), OverflowError, None),
        (([1], 1, 16), TypeError, None),
    ],
)
def test_from_list_refusals(args, error, message):
    with pytest.raises(error, match=message):
        pcm.from_list(*args)


def test_from_list_refuses_more_than_32_bits_of_samples():
    with pytest.raises(OverflowError):
        pcm.from_list(Reported(2**32, 0), 1, 16, 1)


# ---- joining frames and channels ------------------------------------------


@kinds
def test_join_single_items_copies(kind):
    f = kind.make([(1, 2)], 2)
    c = kind.make([(1,), (2,), (3,)], 1)
    assert kind.from_frames([f]) == f and kind.from_frames([f]) is not f
    assert kind.from_channels([c]) == c and kind.from_channels([c]) is not c
    zero_frames = kind.build([], 1)
    joined = kind.from_channels([zero_frames] * 3)
    assert (joined.frames, joined.channels, len(joined)) == (0, 3, 0)
    joined = kind.from_channels((c, c))  # any sequence, not only lists
    assert list(joined) == [1, 1, 2, 2, 3, 3]


@kinds
def test_join_class_methods(kind):
    a = kind.make([(1, 2), (3, 4)], 2)
    sub = type("Sub", (kind.type,), {})
    frames = [a.frame(0), a.frame(1)]
    channels = [a.channel(0), a.channel(1)]
    for cls in (kind.type, sub):
        assert type(cls.from_frames(frames)) is kind.type and cls.from_frames(frames) == a
        assert type(cls.from_channels(channels)) is kind.type and cls.from_channels(channels) == a


def join_refusals(kind):
    """(join, items, error, message), each item list failing at its first bad item."""
    other = the_other(kind)
    sub = type("Sub", (kind.type,), {})
    f2 = kind.make([(1, 2)], 2)
    c3 = kind.make([(1,), (2,), (3,)], 1)
    tall = kind.make([(1,), (2,)], 1)
    frames_type = (TypeError, f"^frames must be of type {kind.name}$")
    channels_type = (TypeError, f"^channels must be of type {kind.name}$")
    one_frame = (ValueError, "^all subframes must be 1 frame long$")
    same_channels = (ValueError, "^all subframes must have the same number of channels$")
    one_channel = (ValueError, "^all channels must be 1 channel wide$")
    same_frames = (ValueError, "^all channels must have the same number of frames$")
    cases = [
        ("frames", [], IndexError, None),
        ("frames", 5, TypeError, None),
        ("frames", [other.make([(1,)], 1)], *frames_type),
        ("frames", [kind.construct(sub, [1], 1)], *frames_type),
        ("frames", [f2, 7], *frames_type),
        ("frames", [tall], *one_frame),
        ("frames", [f2, kind.make([(1, 2), (3, 4)], 2)], *one_frame),
        ("frames", [f2, kind.make([(1,)], 1)], *same_channels),
        ("frames", [f2, tall], *one_frame),  # size is tested before channels
        ("channels", [], IndexError, None),
        ("channels", None, TypeError, None),
        ("channels", [other.make([(1,)], 1)], *channels_type),
        ("channels", [c3, kind.construct(sub, [1, 2, 3], 1)], *channels_type),
        ("channels", [f2], *one_channel),
        ("channels", [c3, f2], *one_channel),
        ("channels", [c3, tall], *same_frames),
    ]
    if kind.has_bits:
        bits = "must have the same number of bits per sample$"
        f2_8, c3_8 = pcm.from_list([1, 2], 2, 8, 1), pcm.from_list([7, 8, 9], 1, 8, 1)
        cases += [
            ("frames", [f2, f2_8], ValueError, "^all subframes " + bits),
            ("frames", [f2, pcm.from_list([1], 1, 8, 1)], *same_channels),
            ("channels", [c3, c3_8], ValueError, "^all channels " + bits),
            ("channels", [c3, pcm.from_list([1], 1, 8, 1)], *same_frames),
        ]
    return cases


@kinds
def test_join_refusals_in_order(kind):
    for axis, items, error, message in join_refusals(kind):
        join = kind.from_frames if axis == "frames" else kind.from_channels
        containers = [i for i in items if isinstance(i, kind.type)] if type(items) is list else []
        snapshot = [state(i) for i in containers]
        counts = [sys.getrefcount(i) for i in containers]
        with pytest.raises(error, match=message):
            join(items)
        assert [state(i) for i in containers] == snapshot
        assert [sys.getrefcount(i) for i in containers] == counts


@kinds
def test_join_passes_sequence_errors_through(kind):
    class Shrinking:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index >= 2:
                raise KeyError(index)
            return kind.make([(index,)], 1)

    with pytest.raises(KeyError):
        kind.from_frames(Shrinking())
    with pytest.raises(KeyError):
        kind.from_channels(Shrinking())


@kinds
def test_join_refuses_item_beyond_reported_length(kind):
    with pytest.raises(ValueError, match="length of 0"):
        kind.from_frames(Reported(0, kind.make([(1, 2)], 2)))
    with pytest.raises(ValueError, match="length of 0"):
        kind.from_channels(Reported(0, kind.make([(1,)], 1)))


@kinds
def test_join_overflow_refusals_allocate_nothing(kind):
    frame = kind.make([(1, 2)], 2)
    with pytest.raises(OverflowError):
        kind.from_frames(Reported(2**31, frame))  # 2**32 samples
    empty_channel = kind.build([], 1)
    with pytest.raises(OverflowError):
        kind.from_channels(Reported(2**32, empty_channel))  # 2**32 channels
    channel = kind.make([(1,), (2,)], 1)
    with pytest.raises(OverflowError):
        kind.from_channels(Reported(2**31, channel))
