"""Hostile input: random byte strings, channel counts, widths and flags into
the FrameList constructor and back through every format, and random blocks
(out-of-range samples included) into Checksum.update.  Every refusal must be
a clean exception; every acceptance must give the model's result."""

from __future__ import annotations

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from checksum_model import expected_for, track_keywords
from formats import FORMATS
from orvane import pcm
from orvane._isotrak import Checksum

REFUSALS = {
    "number of channels must be > 0",
    "bits_per_sample must be 8, 16 or 24",
    "number of samples must be divisible by bits-per-sample and number of channels",
}
channel_counts = st.sampled_from([0, 1, 2, 3, 5, 6, 2**28 + 1, 2**29, 2**31, 2**32 - 1]) | st.integers(
    -(2**32), 2**33
)
widths = st.sampled_from([0, 1, 7, 8, 12, 16, 24, 32, 2**31]) | st.integers(-(2**32), 2**33)
flags = st.integers(-(2**31), 2**31 - 1)


@settings(max_examples=400, deadline=None)
@given(data=st.binary(max_size=48), channels=channel_counts, bits=widths, big=flags, signed=flags)
def test_constructor_accepts_or_refuses_cleanly(data, channels, bits, big, signed):
    try:
        container = pcm.FrameList(data, channels, bits, big, signed)
    except OverflowError:
        assert not (0 <= channels < 2**32 and 0 <= bits < 2**32)
        return
    except ValueError as error:
        message = str(error)
        assert message in REFUSALS or "32 bits" in message or "2**32" in message
        return
    bits %= 2**32
    fmt = next(
        f for f in FORMATS if f.bits == bits and f.signed == bool(signed) and (f.bits == 8 or f.big_endian == bool(big))
    )
    values = [fmt.decode(data[i : i + fmt.size]) for i in range(0, len(data), fmt.size)]
    assert list(container) == values
    assert container.channels == channels % 2**32
    for other in (f for f in FORMATS if f.bits == bits):
        expected = b"".join(other.encode(v) for v in values)
        assert container.to_bytes(int(other.big_endian), int(other.signed)) == expected


@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.large_base_example])
@given(
    total=st.integers(1, 20),
    frame_range=st.integers(1, 4),
    rate=st.integers(1, 400),
    first=st.booleans(),
    last=st.booleans(),
    data=st.data(),
)
def test_checksum_takes_random_blocks(total, frame_range, rate, first, last, data):
    offset = data.draw(st.integers(0, frame_range - 1))
    track = track_keywords(total, rate, first, last, frame_range, offset)
    checksum = Checksum(**track)
    needed = total + frame_range - 1
    frames_fed: list[tuple[int, int]] = []
    while len(frames_fed) < needed:
        channels = data.draw(st.sampled_from([2, 2, 2, 1, 3]))
        bits = data.draw(st.sampled_from([16, 16, 16, 8, 24]))
        frames = data.draw(st.integers(0, needed - len(frames_fed) + 2))
        # Samples beyond the 16-bit range are folded by the frame value's rule.
        samples = data.draw(
            st.lists(st.integers(-(2**31), 2**31 - 1), min_size=frames * channels, max_size=frames * channels)
        )
        block = pcm.from_list(samples, channels, bits, 1)
        try:
            checksum.update(block)
        except ValueError:
            assert channels != 2 or bits != 16 or len(frames_fed) + frames > needed
            continue
        frames_fed.extend(zip(samples[0::2], samples[1::2]))
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == expected_for(track, frames_fed)
