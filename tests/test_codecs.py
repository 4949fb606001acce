"""The exported sample codecs, selectors and bulk helpers, called through
ctypes and checked against the int.from_bytes / int.to_bytes model."""

from __future__ import annotations

import ctypes
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from formats import BY_TAG, FORMATS, Format, library

LIB = library()
INT32 = st.integers(-(2**31), 2**31 - 1)


def decoder(fmt: Format):
    function = getattr(LIB, f"FrameList_{fmt.tag}_char_to_int")
    function.restype = ctypes.c_int32
    function.argtypes = [ctypes.c_char_p]
    return function


def encoder(fmt: Format):
    function = getattr(LIB, f"FrameList_int_to_{fmt.tag}_char")
    function.restype = None
    function.argtypes = [ctypes.c_int32, ctypes.c_char_p]
    return lambda value: _encode_with(function, fmt, value)


def _encode_with(function, fmt: Format, value: int) -> bytes:
    buffer = ctypes.create_string_buffer(b"\xaa" * (fmt.size + 1), fmt.size + 1)
    function(value, buffer)
    # The encoder writes exactly its width: the guard byte stays.
    assert buffer.raw[fmt.size] == 0xAA
    return buffer.raw[: fmt.size]


@pytest.mark.parametrize("fmt", [f for f in FORMATS if f.bits <= 16], ids=lambda f: f.tag)
def test_decoders_agree_with_the_model_on_every_pattern(fmt):
    decode = decoder(fmt)
    for pattern in range(1 << fmt.bits):
        data = pattern.to_bytes(fmt.size, "little")
        assert decode(data) == fmt.decode(data)


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.tag)
@given(data=st.binary(min_size=3, max_size=3))
def test_decoders_agree_with_the_model(fmt, data):
    data = data[: fmt.size]
    assert decoder(fmt)(data) == fmt.decode(data)


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.tag)
@given(value=INT32)
def test_encoders_agree_with_the_model(fmt, value):
    assert encoder(fmt)(value) == fmt.encode(value)


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.tag)
def test_encoders_at_the_edges_and_round_trips(fmt):
    encode, decode = encoder(fmt), decoder(fmt)
    edges = [0, 1, -1, fmt.half - 1, -fmt.half, fmt.half, -fmt.half - 1, 2**31 - 1, -(2**31)]
    for value in edges:
        assert encode(value) == fmt.encode(value)
    for value in (-fmt.half, -1, 0, 1, fmt.half - 1):
        assert decode(encode(value)) == value


@pytest.mark.parametrize(
    "tag, data, value",
    [
        ("U8", b"\x00", -128),
        ("U8", b"\x80", 0),
        ("U8", b"\xff", 127),
        ("S8", b"\x80", -128),
        ("UL16", b"\x00\x80", 0),
        ("SL16", b"\x00\x80", -32768),
        ("SB24", b"\x80\x00\x00", -8388608),
        ("SB24", b"\x7f\xff\xff", 8388607),
        ("UL24", b"\x01\x02\x83", 0x030201),
        ("UB24", b"\x83\x02\x01", 0x030201),
    ],
)
def test_decoding_examples(tag, data, value):
    assert decoder(BY_TAG[tag])(data) == value


@pytest.mark.parametrize(
    "tag, value, data",
    [
        ("U8", 0, b"\x80"),
        ("S8", 200, b"\x7f"),
        ("S8", -300, b"\x80"),
        ("UL16", 32768, b"\x00\x00"),  # the offset sum 65536 wraps
        ("SL16", 32768, b"\xff\x7f"),  # clamped to 32767
        ("UB24", -1, b"\x7f\xff\xff"),
        ("SB24", -(2**31), b"\x80\x00\x00"),
    ],
)
def test_encoding_examples(tag, value, data):
    assert encoder(BY_TAG[tag])(value) == data


def _selector(name: str):
    function = getattr(LIB, name)
    function.restype = ctypes.c_void_p
    function.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
    return function


def _address(name: str) -> int:
    return ctypes.cast(getattr(LIB, name), ctypes.c_void_p).value


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.tag)
def test_selectors_hand_out_the_named_codecs(fmt):
    get_decoder = _selector("FrameList_get_char_to_int_converter")
    get_encoder = _selector("FrameList_get_int_to_char_converter")
    orders = (0, 1, 7) if fmt.bits == 8 else (int(fmt.big_endian),)
    for big_endian in orders:
        for signed in ((1, -5) if fmt.signed else (0,)):
            assert get_decoder(fmt.bits, big_endian, signed) == _address(
                f"FrameList_{fmt.tag}_char_to_int"
            )
            assert get_encoder(fmt.bits, big_endian, signed) == _address(
                f"FrameList_int_to_{fmt.tag}_char"
            )


@pytest.mark.parametrize("bits", [0, 1, 4, 12, 32, -8, 48])
def test_selectors_refuse_other_widths(bits):
    for name in ("FrameList_get_char_to_int_converter", "FrameList_get_int_to_char_converter"):
        assert _selector(name)(bits, 0, 1) is None


# Callback types that receive the raw byte address, not a copied bytes object.
RawDecoder = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p)
RawEncoder = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)


def _bulk_functions():
    to_samples = LIB.FrameList_char_to_samples
    to_samples.restype = None
    to_samples.argtypes = [
        ctypes.POINTER(ctypes.c_int32),
        ctypes.c_char_p,
        ctypes.c_void_p,
        ctypes.c_uint32,
        ctypes.c_int,
    ]
    to_chars = LIB.FrameList_samples_to_char
    to_chars.restype = None
    to_chars.argtypes = [
        ctypes.c_char_p,
        ctypes.POINTER(ctypes.c_int32),
        ctypes.c_void_p,
        ctypes.c_uint32,
        ctypes.c_int,
    ]
    return to_samples, to_chars


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.tag)
@pytest.mark.parametrize("foreign", [False, True], ids=["own codec", "foreign codec"])
def test_bulk_helpers_run_a_codec_over_a_buffer(fmt, foreign):
    to_samples, to_chars = _bulk_functions()
    rng = random.Random(fmt.tag)
    own_decoder = _address(f"FrameList_{fmt.tag}_char_to_int")
    own_encoder = _address(f"FrameList_int_to_{fmt.tag}_char")
    # A codec pointer that is not one of the module's goes through the
    # per-sample path; wrap the module's own codec in a ctypes callback.
    callbacks = (
        RawDecoder(lambda s: decoder(fmt)(ctypes.string_at(s, fmt.size))),
        RawEncoder(lambda v, s: ctypes.memmove(s, encoder(fmt)(v), fmt.size) and None),
    )
    dec = ctypes.cast(callbacks[0], ctypes.c_void_p).value if foreign else own_decoder
    enc = ctypes.cast(callbacks[1], ctypes.c_void_p).value if foreign else own_encoder
    for count in list(range(0, 40)) + [67, 129]:
        data = bytes(rng.randrange(256) for _ in range(count * fmt.size))
        samples = (ctypes.c_int32 * (count + 1))(*([-7] * (count + 1)))
        to_samples(samples, data, dec, count, fmt.bits)
        expected = [fmt.decode(data[i * fmt.size : (i + 1) * fmt.size]) for i in range(count)]
        assert list(samples) == expected + [-7]  # nothing written past count

        size = count * fmt.size + 1
        out = ctypes.create_string_buffer(b"\x5a" * size, size)
        to_chars(out, samples, enc, count, fmt.bits)
        assert out.raw == data + b"\x5a"
