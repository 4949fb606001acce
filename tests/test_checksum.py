"""Checksum: construction and its refusals, update refusals, readiness,
worked examples, unsigned results and the counted windows."""

from __future__ import annotations

import random

import pytest

from checksum_model import expected, feed, framelist
from orvane import _isotrak, pcm
from orvane._isotrak import Checksum


def test_module_and_type_tables():
    assert _isotrak.__doc__ == "an Isotrak checksum calculation module"
    assert Checksum.__doc__ == "Checksum objects"
    assert Checksum.__module__ == "_isotrak" and Checksum.__name__ == "Checksum"
    assert [name for name in vars(_isotrak) if not name.startswith("__")] == ["Checksum"]
    assert Checksum.update.__doc__ == "update(framelist)"
    assert Checksum.checksums_v1.__doc__ == "checksums_v1() -> [crc, crc, ...]"
    assert Checksum.checksum_v2.__doc__ == "checksum_v2() -> crc"


def test_worked_example():
    checksum = Checksum(4, pcm_frame_range=2, isotrakv2_offset=1)
    checksum.update(framelist([(n, 0) for n in range(1, 6)]))
    assert checksum.checksums_v1() == [30, 40]
    assert checksum.checksum_v2() == 40


@pytest.mark.parametrize(
    "frames, v1, v2",
    [
        ([(-1, 1)], [0x1FFFF], 0x1FFFF),
        ([(-32768, -32768)], [0x80008000], 0x80008000),
        # 2 * 0xFFFF0000 = 0x1FFFE0000: the low half wraps, the high half is 1.
        ([(0, 0), (0, -1)], [0xFFFE0000], 0xFFFE0001),
        # 4294967295 comes back as a positive int.
        ([(-1, -1)], [4294967295], 4294967295),
    ],
)
def test_frame_values_and_wrapping(frames, v1, v2):
    checksum = Checksum(len(frames))
    checksum.update(framelist(frames))
    assert checksum.checksums_v1() == v1
    assert checksum.checksum_v2() == v2


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, None),
        (("10",), {}, TypeError, None),
        ((2**31,), {}, OverflowError, None),
        ((10, 44100, 0, 0, 1, 0, 7), {}, TypeError, None),
        ((0,), {"sample_rate": 0}, ValueError, "total PCM frames must be > 0"),
        ((-5,), {}, ValueError, "total PCM frames must be > 0"),
        ((10,), {"sample_rate": 0, "pcm_frame_range": 0}, ValueError, "sample rate must be > 0"),
        ((10,), {"sample_rate": -1}, ValueError, "sample rate must be > 0"),
        ((10,), {"pcm_frame_range": 0, "isotrakv2_offset": -1}, ValueError,
         "PCM frame range must be > 0"),
        ((10,), {"pcm_frame_range": -3}, ValueError, "PCM frame range must be > 0"),
        ((10,), {"isotrakv2_offset": -1, "pcm_frame_range": 2}, ValueError,
         "isotrakv2_offset must be >= 0"),
        ((10,), {"isotrakv2_offset": 1}, ValueError, "isotrakv2_offset must be < PCM frame range"),
        ((10, 44100, 0, 0, 3, 5), {}, ValueError, "isotrakv2_offset must be < PCM frame range"),
    ],
)
def test_construction_refusals_in_order(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        Checksum(*args, **kwargs)
    if message is not None:
        assert str(raised.value) == message


def test_all_arguments_by_keyword_and_by_position():
    draw = random.Random(298)
    track = [(draw.randrange(-32768, 32768), draw.randrange(-32768, 32768)) for _ in range(300)]
    by_keyword = Checksum(isotrakv2_offset=2, pcm_frame_range=3, is_last=1, is_first=1,
                          sample_rate=1500, total_pcm_frames=298)
    by_position = Checksum(298, 1500, 1, 1, 3, 2)
    feed(by_keyword, track)
    feed(by_position, track, [100])
    want = expected(track, 298, 1500, True, True, 3, 2)
    assert (by_keyword.checksums_v1(), by_keyword.checksum_v2()) == want
    assert (by_position.checksums_v1(), by_position.checksum_v2()) == want


def one_channel_8_bit():
    return pcm.FrameList(b"\x01\x02", 1, 8, 0, 1)


@pytest.mark.parametrize(
    "make_block, error, message",
    [
        (lambda: b"\x00" * 4, TypeError, None),
        (lambda: [(0, 0)], TypeError, None),
        (one_channel_8_bit, ValueError, "FrameList must be 2 channels"),
        (lambda: pcm.FrameList(b"", 1, 16, 0, 1), ValueError, "FrameList must be 2 channels"),
        # Too many frames as well: the shape is tested first.
        (lambda: pcm.FrameList(b"\x00" * 40, 1, 16, 0, 1), ValueError,
         "FrameList must be 2 channels"),
        (lambda: pcm.FrameList(b"\x00" * 60, 2, 24, 0, 1), ValueError,
         "FrameList must be 16 bits per sample"),
        (lambda: pcm.FrameList(b"\x00" * 2, 2, 8, 0, 1), ValueError,
         "FrameList must be 16 bits per sample"),
        (lambda: framelist([(1, 1)] * 6), ValueError, "too many samples for checksum"),
    ],
)
def test_refused_blocks_leave_the_object_usable(make_block, error, message):
    track = [(n, -n) for n in range(1, 7)]
    checksum = Checksum(4, pcm_frame_range=3, isotrakv2_offset=2)
    checksum.update(framelist(track[:1]))
    with pytest.raises(error) as raised:
        checksum.update(make_block())
    if message is not None:
        assert str(raised.value) == message
    checksum.update(framelist(track[1:]))
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == expected(track, 4, 44100, False,
                                                                         False, 3, 2)


def test_update_takes_exactly_one_argument():
    checksum = Checksum(2)
    block = framelist([(0, 0)])
    with pytest.raises(TypeError):
        checksum.update()
    with pytest.raises(TypeError):
        checksum.update(block, block)


def test_subclass_blocks_are_accepted():
    class Block(pcm.FrameList):
        pass

    track = [(7, 9), (-3, 2), (100, -100)]
    checksum = Checksum(3)
    checksum.update(framelist(track, Block))
    assert checksum.checksums_v1() == expected(track, 3)[0]


def test_readiness():
    track = [(n * 3, -n) for n in range(1, 12)]
    checksum = Checksum(8, pcm_frame_range=4, isotrakv2_offset=3)
    feed(checksum, track[:-1])
    for method in (checksum.checksums_v1, checksum.checksum_v2):
        with pytest.raises(ValueError, match="^insufficient samples for checksums$"):
            method()
    checksum.update(framelist(track[-1:]))
    first = (checksum.checksums_v1(), checksum.checksum_v2())
    assert first == expected(track, 8, 44100, False, False, 4, 3)
    # Complete: empty blocks pass, anything more is refused, results stay.
    checksum.update(framelist([]))
    with pytest.raises(ValueError, match="^too many samples for checksum$"):
        checksum.update(framelist([(1, 1)]))
    assert (checksum.checksum_v2(), checksum.checksums_v1()) == (first[1], first[0])


def test_a_fresh_object_reports_insufficient_samples():
    checksum = Checksum(1000)
    with pytest.raises(ValueError, match="^insufficient samples for checksums$"):
        checksum.checksums_v1()
    checksum.update(framelist([(1, 0)] * 1000))
    assert checksum.checksums_v1() == [sum(range(1, 1001))]


def track_with_marks(total, marks):
    """A silent track whose frames numbered in marks hold the value 1."""
    return [(1, 0) if n in marks else (0, 0) for n in range(1, total + 1)]


@pytest.mark.parametrize(
    "sample_rate, start, end",
    [(44100, 2940, 97060), (48000, 3200, 96800), (32000, 2130, 97870)],
)
def test_first_and_last_track_window(sample_rate, start, end):
    marks = {start - 1, start, end, end + 1}
    checksum = Checksum(100000, sample_rate=sample_rate, is_first=1, is_last=1)
    checksum.update(framelist(track_with_marks(100000, marks)))
    assert checksum.checksums_v1() == [start + end]


@pytest.mark.parametrize("total", [2000, 2940])
def test_last_track_no_longer_than_the_skip_sums_nothing(total):
    track = [(5, 5)] * (total + 2)
    checksum = Checksum(total, is_last=1, pcm_frame_range=3, isotrakv2_offset=2)
    checksum.update(framelist(track))
    assert checksum.checksums_v1() == [0, 0, 0]
    assert checksum.checksum_v2() == 0


def test_repeated_init_starts_afresh():
    track = [(n, n) for n in range(1, 10)]
    checksum = Checksum(3, pcm_frame_range=2)
    checksum.update(framelist([(9, 9)] * 4))
    checksum.__init__(7, pcm_frame_range=3, isotrakv2_offset=1)
    with pytest.raises(ValueError, match="^insufficient samples for checksums$"):
        checksum.checksum_v2()
    feed(checksum, track, [2, 2, 5])
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == expected(track, 7, 44100, False,
                                                                         False, 3, 1)


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        (bytes(6), ValueError, "data must be whole 4-byte frames"),
        (bytes(24), ValueError, "too many samples for checksum"),  # 6 frames, 5 wanted
        ("abcd", TypeError, None),
        (memoryview(bytes(16))[::2], BufferError, None),  # not contiguous
        (pcm.FrameList(bytes(8), 2, 16, 0, 1), TypeError, None),
    ],
)
def test_refused_raw_blocks_leave_the_object_usable(data, error, message):
    track = [(n, -n) for n in range(1, 7)]
    raw = b"".join(n.to_bytes(2, "little", signed=True) + (-n).to_bytes(2, "little", signed=True)
                   for n, _ in track)
    checksum = Checksum(4, pcm_frame_range=3, isotrakv2_offset=2)
    checksum.update_bytes(raw[:4])
    with pytest.raises(error) as raised:
        checksum.update_bytes(data)
    if message is not None:
        assert str(raised.value) == message
    with pytest.raises(ValueError, match="^insufficient samples for checksums$"):
        checksum.checksums_v1_bytes()
    checksum.update_bytes(raw[4:])
    v1, v2 = expected(track, 4, 44100, False, False, 3, 2)
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == (v1, v2)
    assert checksum.checksums_v1_bytes() == b"".join(n.to_bytes(4, "little") for n in v1)


def test_raw_methods_of_an_uninitialised_object_are_refused():
    checksum = Checksum.__new__(Checksum)
    for call in (lambda: checksum.update_bytes(b""), checksum.checksums_v1_bytes):
        with pytest.raises(ValueError, match="^Checksum is not initialized$"):
            call()
