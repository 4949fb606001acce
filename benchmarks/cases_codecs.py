"""Decoding bytes into a FrameList and "to_bytes" back, against numpy.

Four formats stand for the ten: SL16 stereo (the CD format), SL24 stereo
(three-byte samples), U8 mono (offset 8-bit) and UB16 stereo (offset and
byte-swapped).  Each has several numpy recipes; the runner keeps the
quickest that gives the same result, so our figures are set against the
best a numpy user could write, not the first.
"""

from __future__ import annotations

import numpy as np

from orvane import pcm

from case import BLOCK_FRAMES, Case, Goal
from native_view import samples

# tag: (channels, bits, big-endian, signed)
FORMATS = {
    "SL16": (2, 16, 0, 1),
    "SL24": (2, 24, 0, 1),
    "U8": (1, 8, 0, 0),
    "UB16": (2, 16, 1, 0),
}

DECODE_GOALS = {"SL16": [Goal("peer", 1.0)], "SL24": [Goal("peer", 0.6)]}
ENCODE_GOALS = {"SL16": [Goal("peer", 0.3)]}
BLOCK_DECODE_GOAL = [Goal("peer", 2.0)]

I4 = np.int32


def decode_sl16(data):
    return {"frombuffer+astype": lambda: np.frombuffer(data, "<i2").astype(I4)}


def decode_ub16(data):
    def astype_subtract():
        out = np.frombuffer(data, ">u2").astype(I4)
        out -= 32768
        return out

    def flip_sign_bit():
        # u - 32768 is u with its top bit flipped, read as signed 16 bits.
        return (np.frombuffer(data, ">i2") ^ np.int16(-32768)).astype(I4)

    def subtract_into_int32():
        return np.subtract(np.frombuffer(data, ">u2"), 32768, dtype=I4)

    return {
        "astype, -= 32768": astype_subtract,
        "xor 0x8000 as int16, astype": flip_sign_bit,
        "subtract(dtype=int32)": subtract_into_int32,
    }


def decode_u8(data):
    def astype_subtract():
        out = np.frombuffer(data, np.uint8).astype(I4)
        out -= 128
        return out

    def flip_sign_bit():
        return (np.frombuffer(data, np.int8) ^ np.int8(-128)).astype(I4)

    def subtract_into_int32():
        return np.subtract(np.frombuffer(data, np.uint8), 128, dtype=I4)

    return {
        "astype, -= 128": astype_subtract,
        "xor 0x80 as int8, astype": flip_sign_bit,
        "subtract(dtype=int32)": subtract_into_int32,
    }


def decode_sl24(data):
    count = len(data) // 3

    def reshape_by_3():
        b = np.frombuffer(data, np.uint8).reshape(-1, 3).astype(I4)
        value = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        return (value ^ 0x800000) - 0x800000

    def overlapping_words():
        # Sample i (i >= 1) is the top three bytes of the little-endian
        # 4-byte word that starts one byte before it: an arithmetic shift
        # by 8 gives it sign-extended.  Sample 0 has no byte before it.
        out = np.empty(count, I4)
        if count:
            first = data[0] | data[1] << 8 | data[2] << 16
            out[0] = first - (first & 0x800000) * 2
        if count > 1:
            words = np.ndarray((count - 1,), "<i4", data, offset=2, strides=(3,))
            np.right_shift(words, 8, out=out[1:])
        return out

    return {
        "reshape by 3, shifts": reshape_by_3,
        "overlapping words at stride 3": overlapping_words,
    }


def encode_sl16(array):
    def clip_astype():
        return np.clip(array, -32768, 32767).astype("<i2").tobytes()

    def clip_into_int16():
        out = np.empty(array.size, "<i2")
        np.clip(array, -32768, 32767, out=out, casting="unsafe")
        return out.tobytes()

    def minimum_maximum():
        return np.minimum(np.maximum(array, -32768), 32767).astype("<i2").tobytes()

    return {
        "clip, astype, tobytes": clip_astype,
        "clip(out=int16), tobytes": clip_into_int16,
        "maximum, minimum, astype, tobytes": minimum_maximum,
    }


def encode_sl24(array):
    def clip_low_three_bytes():
        clipped = np.clip(array, -(1 << 23), (1 << 23) - 1).astype("<i4")
        return clipped.view(np.uint8).reshape(-1, 4)[:, :3].tobytes()

    def clip_byte_planes():
        clipped = np.clip(array, -(1 << 23), (1 << 23) - 1)
        out = np.empty((array.size, 3), np.uint8)
        out[:, 0] = clipped
        out[:, 1] = clipped >> 8
        out[:, 2] = clipped >> 16
        return out.tobytes()

    return {
        "clip, low 3 bytes of each word, tobytes": clip_low_three_bytes,
        "clip, three byte planes, tobytes": clip_byte_planes,
    }


def encode_u8(array):
    def add_astype():
        return (array + 128).astype(np.uint8).tobytes()

    def astype_flip():
        # (v + 128) mod 256 is the low byte of v with its top bit flipped.
        out = array.astype(np.uint8)
        out ^= 0x80
        return out.tobytes()

    return {"+ 128, astype, tobytes": add_astype, "astype, ^= 0x80, tobytes": astype_flip}


def encode_ub16(array):
    def add_astype():
        return (array + 32768).astype(">u2").tobytes()

    def astype_flip_swap():
        out = array.astype(np.uint16)
        out ^= 0x8000
        out.byteswap(inplace=True)
        return out.tobytes()

    return {
        "+ 32768, astype('>u2'), tobytes": add_astype,
        "astype, ^=, byteswap, tobytes": astype_flip_swap,
    }


DECODE_PEERS = {"SL16": decode_sl16, "SL24": decode_sl24, "U8": decode_u8, "UB16": decode_ub16}
ENCODE_PEERS = {"SL16": encode_sl16, "SL24": encode_sl24, "U8": encode_u8, "UB16": encode_ub16}


def same_samples(ours, peer) -> bool:
    return np.array_equal(samples(ours), peer)


def same_bytes(ours, peer) -> bool:
    return bytes(ours) == bytes(peer)


def cases(frame_counts):
    rng = np.random.default_rng(20261209)
    for frames in frame_counts:
        block = frames == BLOCK_FRAMES
        for tag, (channels, bits, big_endian, is_signed) in FORMATS.items():
            count = frames * channels
            data = rng.bytes(count * bits // 8)
            yield Case(
                operation=f"decode {tag} {'stereo' if channels == 2 else 'mono'}",
                frames=frames,
                basis_bytes=count * 4,
                ours=lambda: pcm.FrameList(data, channels, bits, big_endian, is_signed),
                peers=DECODE_PEERS[tag](data),
                same=same_samples,
                goals=BLOCK_DECODE_GOAL if block else DECODE_GOALS.get(tag, []),
            )
            container = pcm.FrameList(data, channels, bits, big_endian, is_signed)
            array = samples(container).copy()
            del data
            yield Case(
                operation=f'"to_bytes" {tag}',
                frames=frames,
                basis_bytes=count * bits // 8,
                ours=lambda: container.to_bytes(big_endian, is_signed),
                peers=ENCODE_PEERS[tag](array),
                same=same_bytes,
                goals=[] if block else ENCODE_GOALS.get(tag, []),
            )
