"""The module against the model of what the sums hold, over random tracks,
windows, offset ranges, version 2 offsets and cuttings into blocks."""

from __future__ import annotations

import random
import struct

from hypothesis import given, settings
from hypothesis import strategies as st

from checksum_model import expected, feed, framelist
from orvane._isotrak import Checksum

sample = st.integers(-32768, 32767)
# Low rates give lead-in skips short enough for small tracks; 44100 and
# 48000 make short tracks whose windows are empty.
sample_rates = st.integers(1, 2000) | st.sampled_from([44100, 48000])


@st.composite
def tracks(draw):
    total = draw(st.integers(1, 300))
    frame_range = draw(st.integers(1, 40))
    v2_offset = draw(st.integers(0, frame_range - 1))
    length = total + frame_range - 1
    # Loud samples push the products past 2^32; quiet ones keep runs alike.
    level = draw(st.sampled_from([1, 300, 32767]))
    frames = draw(st.lists(st.tuples(st.integers(-level - 1, level), st.integers(-level - 1, level)),
                           min_size=length, max_size=length))
    cuts = draw(st.lists(st.integers(0, length), max_size=8))
    return total, frame_range, v2_offset, frames, cuts


@settings(max_examples=300, deadline=None)
@given(tracks(), sample_rates, st.booleans(), st.booleans())
def test_matches_the_sums(track, sample_rate, is_first, is_last):
    total, frame_range, v2_offset, frames, cuts = track
    checksum = Checksum(total, sample_rate, is_first, is_last, frame_range, v2_offset)
    feed(checksum, frames, cuts)
    want = expected(frames, total, sample_rate, is_first, is_last, frame_range, v2_offset)
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == want


@settings(max_examples=25, deadline=None)
@given(st.lists(st.integers(0, 20000), max_size=12), st.integers(0, 2**32 - 1), st.booleans(),
       st.booleans())
def test_long_tracks_with_large_products(cuts, seed, is_first, is_last):
    # Frame numbers in the tens of thousands times full-scale values carry
    # high halves into version 2 on almost every frame.
    shuffle = random.Random(seed)
    total, frame_range = 20000, 7
    frames = [(shuffle.randrange(-32768, 32768), shuffle.randrange(-32768, 32768))
              for _ in range(total + frame_range - 1)]
    v2_offset = shuffle.randrange(frame_range)
    checksum = Checksum(total, 44100, is_first, is_last, frame_range, v2_offset)
    feed(checksum, frames, cuts)
    want = expected(frames, total, 44100, is_first, is_last, frame_range, v2_offset)
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == want


@settings(max_examples=50, deadline=None)
@given(st.integers(1, 60), st.integers(1, 12), st.lists(sample, min_size=2, max_size=2))
def test_frame_by_frame_equals_one_block(total, frame_range, first):
    frames = [tuple(first)] + [((n * 37) % 65536 - 32768, (n * 91) % 65536 - 32768)
                               for n in range(total + frame_range - 2)]
    whole, stepwise = Checksum(total, pcm_frame_range=frame_range), \
        Checksum(total, pcm_frame_range=frame_range)
    feed(whole, frames)
    feed(stepwise, frames, range(len(frames)))
    assert whole.checksums_v1() == stepwise.checksums_v1()
    assert whole.checksum_v2() == stepwise.checksum_v2()


def sl16(frames) -> bytes:
    return struct.pack(f"<{2 * len(frames)}h", *(sample for frame in frames for sample in frame))


@settings(max_examples=150, deadline=None)
@given(tracks(), sample_rates, st.booleans(), st.booleans(), st.lists(st.sampled_from(
    [bytes, bytearray, memoryview, "framelist"]), min_size=1, max_size=9))
def test_raw_bytes_give_the_sums_of_framelists(track, sample_rate, is_first, is_last, kinds):
    # Any cutting, with blocks of either form mixed in one track.
    total, frame_range, v2_offset, frames, cuts = track
    checksum = Checksum(total, sample_rate, is_first, is_last, frame_range, v2_offset)
    bounds = [0, *sorted(cuts), len(frames)]
    for n, (begin, end) in enumerate(zip(bounds, bounds[1:])):
        kind = kinds[n % len(kinds)]
        if kind == "framelist":
            checksum.update(framelist(frames[begin:end]))
        else:
            checksum.update_bytes(kind(sl16(frames[begin:end])))
    want = expected(frames, total, sample_rate, is_first, is_last, frame_range, v2_offset)
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == want
    assert checksum.checksums_v1_bytes() == struct.pack(f"<{frame_range}I", *want[0])
