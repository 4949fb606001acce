"""The ten sample byte formats and an independent model of their codecs.

The model works on Python ints with int.from_bytes / int.to_bytes, so the
tests never check the native codecs against themselves.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass

import orvane.pcm


@dataclass(frozen=True)
class Format:
    tag: str
    bits: int
    signed: bool
    big_endian: bool

    @property
    def size(self) -> int:
        return self.bits // 8

    @property
    def half(self) -> int:
        return 1 << (self.bits - 1)

    @property
    def order(self) -> str:
        return "big" if self.big_endian else "little"

    def decode(self, data: bytes) -> int:
        if self.signed:
            return int.from_bytes(data, self.order, signed=True)
        return int.from_bytes(data, self.order) - self.half

    def encode(self, value: int) -> bytes:
        if self.signed:
            clamped = max(-self.half, min(self.half - 1, value))
            return clamped.to_bytes(self.size, self.order, signed=True)
        return ((value + self.half) % (1 << self.bits)).to_bytes(self.size, self.order)


FORMATS = [
    Format("U8", 8, False, False),
    Format("S8", 8, True, False),
    Format("UL16", 16, False, False),
    Format("SL16", 16, True, False),
    Format("UB16", 16, False, True),
    Format("SB16", 16, True, True),
    Format("UL24", 24, False, False),
    Format("SL24", 24, True, False),
    Format("UB24", 24, False, True),
    Format("SB24", 24, True, True),
]
BY_TAG = {f.tag: f for f in FORMATS}


def library() -> ctypes.PyDLL:
    """The loaded pcm extension, for calling its exported C functions."""
    return ctypes.PyDLL(orvane.pcm.__file__)



class FrameListStruct(ctypes.Structure):
    """The pcm_FrameList layout that native code reads."""

    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("bits_per_sample", ctypes.c_uint32),
        ("samples", ctypes.POINTER(ctypes.c_int32)),
        ("samples_length", ctypes.c_uint32),
    ]


class FloatFrameListStruct(ctypes.Structure):
    """The pcm_FloatFrameList layout that native code reads."""

    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("samples", ctypes.POINTER(ctypes.c_double)),
        ("samples_length", ctypes.c_uint32),
    ]


def fields(container: object) -> FrameListStruct | FloatFrameListStruct:
    """A view of a container's structure (valid while the object lives)."""
    floating = isinstance(container, orvane.pcm.FloatFrameList)
    return (FloatFrameListStruct if floating else FrameListStruct).from_address(id(container))


def samples(framelist: object) -> list[int]:
    view = fields(framelist)
    return view.samples[: view.samples_length] if view.samples_length else []
