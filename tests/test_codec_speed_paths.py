"""The whole-buffer codec loops, checked against an int.from_bytes model.

The loops work on several samples at a time (vector registers, and groups
of four for 3-byte samples), so buffers of every length from 0 to 67
samples are tried: they cover the main body and every tail.  Decoding in
one format and encoding in another of the same width checks the decoders
exactly (the bytes are predicted from the model); the bulk helpers, given
any 32-bit values, check that signed formats clamp and unsigned formats
wrap in the vectorised loops too.
"""

from __future__ import annotations

import ctypes

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvane import pcm

# tag: (bits, big-endian, signed)
TAGS = {
    "U8": (8, False, False),
    "S8": (8, False, True),
    "UL16": (16, False, False),
    "SL16": (16, False, True),
    "UB16": (16, True, False),
    "SB16": (16, True, True),
    "UL24": (24, False, False),
    "SL24": (24, False, True),
    "UB24": (24, True, False),
    "SB24": (24, True, True),
}
MAX_SAMPLES = 67


def model_decode(tag: str, data: bytes) -> list[int]:
    bits, big, signed = TAGS[tag]
    size, order = bits // 8, "big" if big else "little"
    values = []
    for start in range(0, len(data), size):
        value = int.from_bytes(data[start : start + size], order, signed=signed)
        values.append(value if signed else value - (1 << (bits - 1)))
    return values


def model_encode(tag: str, values: list[int]) -> bytes:
    bits, big, signed = TAGS[tag]
    size, order, half = bits // 8, "big" if big else "little", 1 << (bits - 1)
    out = bytearray()
    for value in values:
        if signed:
            out += min(max(value, -half), half - 1).to_bytes(size, order, signed=True)
        else:
            out += ((value + half) % (1 << bits)).to_bytes(size, order)
    return bytes(out)


def samples_of(tag: str):
    bits = TAGS[tag][0]
    return st.integers(0, MAX_SAMPLES).flatmap(
        lambda n: st.binary(min_size=n * bits // 8, max_size=n * bits // 8)
    )


@settings(max_examples=400)
@given(st.data())
def test_decoding_in_one_format_and_encoding_in_another_of_the_same_width(data):
    source = data.draw(st.sampled_from(sorted(TAGS)), label="source")
    bits, big, signed = TAGS[source]
    same_width = sorted(tag for tag in TAGS if TAGS[tag][0] == bits)
    target = data.draw(st.sampled_from(same_width), label="target")
    raw = data.draw(samples_of(source), label="raw")
    container = pcm.FrameList(raw, 1, bits, big, signed)
    assert container.frames == len(raw) // (bits // 8)
    _, target_big, target_signed = TAGS[target]
    expected = model_encode(target, model_decode(source, raw))
    assert container.to_bytes(target_big, target_signed) == expected


@pytest.mark.parametrize("tag", sorted(TAGS))
@pytest.mark.parametrize("count", range(MAX_SAMPLES + 1))
def test_every_length_round_trips(tag, count):
    bits, big, signed = TAGS[tag]
    size = bits // 8
    raw = bytes((37 * i + 11) % 256 for i in range(count * size))
    assert pcm.FrameList(raw, 1, bits, big, signed).to_bytes(big, signed) == raw


# The exported bulk helpers, called through ctypes: they take the inlined
# loop for the system's own codecs and call a foreign codec per sample.
LIBRARY = ctypes.CDLL(pcm.__file__)
DECODER = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p)
ENCODER = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)
LIBRARY.FrameList_char_to_samples.restype = None
LIBRARY.FrameList_samples_to_char.restype = None
INT32 = st.integers(-(2**31), 2**31 - 1)


def own_encoder(tag):
    return ctypes.cast(getattr(LIBRARY, f"FrameList_int_to_{tag}_char"), ctypes.c_void_p)


def own_decoder(tag):
    return ctypes.cast(getattr(LIBRARY, f"FrameList_{tag}_char_to_int"), ctypes.c_void_p)


def bulk_encode(tag, encoder, values):
    bits = TAGS[tag][0]
    samples = (ctypes.c_int32 * max(1, len(values)))(*values)
    # One guard byte past the end must stay as it was.
    size = len(values) * bits // 8 + 1
    out = ctypes.create_string_buffer(b"\xa5" * size, size)
    LIBRARY.FrameList_samples_to_char(out, samples, encoder, ctypes.c_uint32(len(values)), bits)
    assert out.raw[-1] == 0xA5
    return out.raw[:-1]


def bulk_decode(tag, decoder, raw):
    bits = TAGS[tag][0]
    count = len(raw) // (bits // 8)
    samples = (ctypes.c_int32 * (count + 1))(*([0x5A5A5A5A] * (count + 1)))
    LIBRARY.FrameList_char_to_samples(samples, raw, decoder, ctypes.c_uint32(count), bits)
    assert samples[count] == 0x5A5A5A5A
    return list(samples[:count])


@pytest.mark.parametrize("tag", sorted(TAGS))
@given(values=st.lists(INT32, max_size=MAX_SAMPLES))
def test_bulk_encoding_clamps_or_wraps_any_32_bit_value(tag, values):
    assert bulk_encode(tag, own_encoder(tag), values) == model_encode(tag, values)


@pytest.mark.parametrize("tag", sorted(TAGS))
@given(st.data())
def test_bulk_decoding_matches_the_model(tag, data):
    raw = data.draw(samples_of(tag))
    assert bulk_decode(tag, own_decoder(tag), raw) == model_decode(tag, raw)


@pytest.mark.parametrize("tag", ["U8", "SL16", "UB24"])
def test_bulk_helpers_call_a_foreign_codec_for_every_sample(tag):
    bits = TAGS[tag][0]
    size = bits // 8
    calls = []

    @DECODER
    def decode_position(address):
        calls.append(address)
        return len(calls)

    @ENCODER
    def encode_marker(value, address):
        ctypes.memmove(address, bytes([value % 256]) * size, size)

    raw = bytes(range(5 * size))
    assert bulk_decode(tag, ctypes.cast(decode_position, ctypes.c_void_p), raw) == [1, 2, 3, 4, 5]
    assert [address - calls[0] for address in calls] == [i * size for i in range(5)]
    encoded = bulk_encode(tag, ctypes.cast(encode_marker, ctypes.c_void_p), [1, 2, 3])
    assert encoded == b"".join(bytes([v]) * size for v in (1, 2, 3))


@pytest.mark.parametrize("tag", ["SL16", "UB24"])
def test_arrays_past_the_huge_page_threshold_round_trip(tag):
    # Sample arrays from 4 MiB up ask for huge pages before they are filled.
    bits, big, signed = TAGS[tag]
    size = bits // 8
    raw = bytes(range(256)) * (3 * 2**20 // 256 * size // 2 + 1)
    raw = raw[: len(raw) // size * size]
    container = pcm.FrameList(raw, 1, bits, big, signed)
    assert container.frames * 4 > 4 * 2**20
    assert container.to_bytes(big, signed) == raw
