"""Operations shared by FrameList and FloatFrameList, against a list model.

Every test runs on both containers; the model is a plain list of frames.
"""

from __future__ import annotations

import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kinds import FLOAT, INT, KINDS, flat, frames_of, models, state, the_other
from orvane import pcm

kinds = pytest.mark.parametrize("kind", KINDS, ids=repr)


def one_of_each(kind):
    """A 2-channel container of 3 frames and an instance of a subclass."""
    x = kind.make([(1, 2), (3, 4), (5, 6)], 2)
    sub = type("Sub", (kind.type,), {})
    return x, kind.construct(sub, [1, 2, 3, 4, 5, 6], 2)


# ---- properties against the model ---------------------------------------


@kinds
@given(data=st.data())
def test_frame_and_channel_match_model(kind, data):
    channels, model = data.draw(models(kind, min_frames=1))
    x = kind.make(model, channels)
    i = data.draw(st.integers(0, len(model) - 1))
    c = data.draw(st.integers(0, channels - 1))
    frame, channel = x.frame(i), x.channel(c)
    assert type(frame) is kind.type and type(channel) is kind.type
    assert frames_of(frame) == [model[i]] and frame.channels == channels
    assert frames_of(channel) == [(f[c],) for f in model]
    assert channel.frames == len(model) and channel.channels == 1


@kinds
@given(data=st.data())
def test_split_matches_model_and_joins_back(kind, data):
    channels, model = data.draw(models(kind))
    x = kind.make(model, channels)
    i = data.draw(st.integers(0, len(model) + 2))
    head, tail = x.split(i)
    assert frames_of(head) == model[:i] and frames_of(tail) == model[i:]
    assert head.channels == tail.channels == channels
    assert head + tail == x
    # the operand itself stands for a half that would equal it
    if i >= len(model):
        assert head is x and tail is not x
    elif i == 0:
        assert tail is x and head is not x
    else:
        assert head is not x and tail is not x


@kinds
@given(data=st.data())
def test_concat_matches_model(kind, data):
    channels, left = data.draw(models(kind))
    right = data.draw(st.lists(st.tuples(*[kind.sample] * channels), max_size=6))
    x, y = kind.make(left, channels), kind.make(right, channels)
    before = state(x), state(y)
    z = x + y
    assert frames_of(z) == left + right and z.frames == len(left) + len(right)
    assert (state(x), state(y)) == before


@kinds
@given(data=st.data(), n=st.integers(-3, 5))
def test_repeat_matches_model(kind, data, n):
    channels, model = data.draw(models(kind))
    x = kind.make(model, channels)
    before = state(x)
    for result in (x * n, n * x):
        assert result is not x and type(result) is kind.type
        assert frames_of(result) == model * max(n, 0)
        assert result.channels == channels and result.frames == len(model) * max(n, 0)
    assert state(x) == before


@kinds
@given(data=st.data())
def test_inplace_concat_matches_model(kind, data):
    channels, left = data.draw(models(kind))
    right = data.draw(st.lists(st.tuples(*[kind.sample] * channels), max_size=6))
    x, y = kind.make(left, channels), kind.make(right, channels)
    alias, y_before = x, state(y)
    x += y
    assert x is alias and frames_of(x) == left + right and x.frames == len(left) + len(right)
    assert state(y) == y_before
    x += x  # the right operand is the left one: its former samples twice
    assert frames_of(x) == (left + right) * 2


@kinds
@given(data=st.data(), n=st.integers(-3, 5))
def test_inplace_repeat_matches_model(kind, data, n):
    channels, model = data.draw(models(kind))
    x = kind.make(model, channels)
    alias = x
    x *= n
    assert x is alias and frames_of(x) == model * max(n, 0)
    assert x.channels == channels and x.frames == len(model) * max(n, 0)
    if kind.has_bits:
        assert x.bits_per_sample == 16


@kinds
@given(data=st.data())
def test_iteration_and_indexing_match_model(kind, data):
    channels, model = data.draw(models(kind))
    x = kind.make(model, channels)
    samples = flat(model)
    assert len(x) == len(samples) and list(x) == samples and bool(x) == bool(samples)
    for i in range(-len(samples), len(samples)):
        assert x[i] == samples[i]
    for i in (len(samples), -len(samples) - 1):
        with pytest.raises(IndexError, match="^index out of range$"):
            x[i]


@kinds
@given(data=st.data())
def test_join_round_trips(kind, data):
    channels, model = data.draw(models(kind, min_frames=1))
    x = kind.make(model, channels)
    by_frames = kind.from_frames([x.frame(i) for i in range(x.frames)])
    by_channels = kind.from_channels([x.channel(c) for c in range(channels)])
    assert by_frames == x and by_channels == x
    assert by_frames is not x and by_channels is not x


# ---- edges, identities and exact types ----------------------------------


@kinds
def test_split_edges_and_empty_operand(kind):
    x = kind.make([(1, 2), (3, 4)], 2)
    head, tail = x.split(0)
    assert tail is x and (head.frames, head.channels, len(head)) == (0, 2, 0)
    for i in (2, 3, 2**31 - 1):
        head, tail = x.split(i)
        assert head is x and (tail.frames, tail.channels) == (0, 2)
    empty = kind.empty(3)
    head, tail = empty.split(0)
    assert head is empty and tail is not empty and tail == empty


@kinds
def test_channel_of_single_channel_is_a_copy(kind):
    x = kind.make([(7,), (8,)], 1)
    assert x.channel(0) == x and x.channel(0) is not x
    assert x * 1 == x and x * 1 is not x


@kinds
def test_empty_containers_and_zero_repeats(kind):
    x, _ = one_of_each(kind)
    for result in (x * 0, x * -1, 0 * x):
        assert (result.frames, result.channels, len(result)) == (0, 2, 0) and not result
        assert result == kind.empty(2)
        if kind.has_bits:
            assert result.bits_per_sample == 16
    assert 3 * x == x + x + x


@kinds
def test_subclass_operands(kind):
    x, s = one_of_each(kind)
    assert s != s and not (s == s) and s != x
    for result in (s + x, s * 2, s.frame(0), s.channel(1), s.split(1)[0], s.split(1)[1]):
        assert type(result) is kind.type
    assert s + x == x + x
    head, tail = s.split(0)
    assert tail is s and type(head) is kind.type
    with pytest.raises(TypeError, match=f"^can only concatenate {kind.name} with other "):
        x + s


@kinds
def test_comparison_rules(kind):
    x, _ = one_of_each(kind)
    other = the_other(kind).make([(1, 2), (3, 4), (5, 6)], 2)
    assert (x == 5) is False and (x != 5) is True and (5 == x) is False
    assert (x == other) is False and (x != other) is True
    assert kind.empty(2) == kind.build([], 2)  # with and without an array
    assert kind.empty(2) != kind.empty(1)
    for compare in (
        lambda: x < x,
        lambda: x <= x,
        lambda: x > 5,
        lambda: x >= "a",
    ):
        with pytest.raises(TypeError, match="^unsupported comparison$"):
            compare()
    with pytest.raises(TypeError, match="unhashable"):
        hash(x)


def test_framelists_of_other_widths_are_unequal():
    a = pcm.from_list([1, 2], 1, 16, 1)
    assert a != pcm.from_list([1, 2], 1, 8, 1) and a != pcm.from_list([1, 2], 1, 24, 1)
    assert pcm.empty_framelist(2, 8) != pcm.empty_framelist(2, 16)


# ---- refusals, in order, leaving the operands unchanged -----------------


@kinds
def test_index_refusals(kind):
    x, _ = one_of_each(kind)
    for i in (-1, 3, 2**31 - 1):
        with pytest.raises(IndexError, match="^frame number out of range$"):
            x.frame(i)
    for i in (-1, 2):
        with pytest.raises(IndexError, match="^channel number out of range$"):
            x.channel(i)
    with pytest.raises(IndexError, match="^split point must be >= 0$"):
        x.split(-1)
    with pytest.raises(IndexError, match="^frame number out of range$"):
        kind.empty(2).frame(0)
    for method in (x.frame, x.channel, x.split):
        with pytest.raises(TypeError):
            method("0")
        with pytest.raises(TypeError):
            method()
        with pytest.raises(OverflowError):
            method(2**31)


def concat_refusals(kind):
    """(right operand, exception, message) in the order the checks run."""
    other = the_other(kind)
    type_message = f"^can only concatenate {kind.name} with other {kind.name}s$"
    channels_message = f"^both {kind.name}s must have the same number of channels$"
    cases = [
        (5, TypeError, type_message),
        ([1.0, 2.0], TypeError, type_message),
        (other.make([(1,)], 1), TypeError, type_message),  # checked before channels
        (kind.make([(1,)], 1), ValueError, channels_message),
    ]
    if kind.has_bits:
        bits_message = "^both FrameLists must have the same number of bits per sample$"
        cases.append((pcm.from_list([1], 1, 8, 1), ValueError, channels_message))
        cases.append((pcm.from_list([1, 2], 2, 8, 1), ValueError, bits_message))
    return cases


@kinds
def test_concat_refusals_leave_operands_unchanged(kind):
    x, _ = one_of_each(kind)
    for right, error, message in concat_refusals(kind):
        is_container = isinstance(right, (pcm.FrameList, pcm.FloatFrameList))
        before = state(x), state(right) if is_container else right
        with pytest.raises(error, match=message):
            x + right
        alias = x
        with pytest.raises(error, match=message):
            x += right
        assert alias is x and (state(x), state(right) if is_container else right) == before


@kinds
def test_overflow_refusals_allocate_nothing(kind):
    # 1 frame of 2 channels: 2**31 repeats would need 2**32 samples.
    x = kind.make([(1, 2)], 2)
    before = state(x)
    for repeat in (lambda: x * 2**31, lambda: 2**31 * x, lambda: x * (sys.maxsize)):
        with pytest.raises(OverflowError):
            repeat()
    with pytest.raises(OverflowError):
        x *= 2**31
    assert state(x) == before
    # an empty container repeats to an empty one however large the count
    empty = kind.empty(2)
    assert len(empty * sys.maxsize) == 0
    empty *= sys.maxsize
    assert len(empty) == 0 and empty.channels == 2


@kinds
def test_reference_counts_survive_operations(kind):
    x, s = one_of_each(kind)
    y = kind.make([(9, 9)], 2)
    odd = kind.make([(1,)], 1)
    operands = (x, y, s, odd)
    before = [sys.getrefcount(o) for o in operands]
    for _ in range(20):
        x.frame(1), x.channel(0), x.split(0), x.split(1), x.split(9)
        x + y, s + y, x * 3, 2 * y, list(x), x == y, x != s
        z = x + y
        z += y
        z *= 2
        z += z
        for failing in (
            lambda: x + odd,
            lambda: x + s,
            lambda: x.frame(7),
            lambda: x.split(-2),
            lambda: x < y,
            lambda: x[99],
            lambda: kind.from_frames([x.frame(0), odd]),
            lambda: kind.from_channels([x.channel(0), x]),
            lambda: x * 2**31,
        ):
            with pytest.raises((TypeError, ValueError, IndexError, OverflowError)):
                failing()
    assert [sys.getrefcount(o) for o in operands] == before


@kinds
def test_sequence_protocol_extras(kind):
    x, _ = one_of_each(kind)
    assert x[-1] == 6 and 3 in x and 7 not in x
    with pytest.raises(TypeError):
        x[0] = 1
    with pytest.raises(TypeError):
        x[0:1]


# ---- FrameList only: frame_count -------------------------------------------


@pytest.mark.parametrize(
    "channels, bits, table",
    [
        (2, 16, {4096: 1024, 4099: 1024, 4: 1, 3: 1, 0: 1, -3: 1, -8: -2, 2**31 - 1: 2**29 - 1}),
        (1, 24, {5: 1, 6: 2, -(2**31): -715827882}),
        (3, 8, {9: 3, 10: 3}),
    ],
)
def test_frame_count(channels, bits, table):
    x = pcm.empty_framelist(channels, bits)
    assert {n: x.frame_count(n) for n in table} == table


def test_frame_count_refusals():
    x = pcm.empty_framelist(2, 16)
    for args in ((), ("4",), (2**31,), (1, 2)):
        with pytest.raises((TypeError, OverflowError)):
            x.frame_count(*args)
    # no positive bytes per frame to divide by
    for container in (pcm.FrameList.__new__(pcm.FrameList), pcm.FloatFrameList([0.5], 1).to_int(4)):
        with pytest.raises(ValueError, match="bytes per frame"):
            container.frame_count(4)
