# Types of the native _interop module: block copies between the pcm
# containers and buffers of numbers, the native half of orvane.numpy.
# Integer buffers hold int8, int16 or int32 items, floating buffers float32
# or float64 items, C-contiguous and in the machine's byte order.  Every
# function takes its arguments by position only.

from collections.abc import Buffer
from typing import Literal, SupportsIndex

from orvane.pcm import FloatFrameList, FrameList

def framelist_from_buffer(
    buffer: Buffer, channels: SupportsIndex, bits_per_sample: SupportsIndex, /
) -> FrameList:
    """framelist_from_buffer(buffer, channels, bits_per_sample) -> FrameList -- copy a C-contiguous buffer of int8, int16 or int32 items, each in the width's signed range"""

def floatframelist_from_buffer(buffer: Buffer, channels: SupportsIndex, /) -> FloatFrameList:
    """floatframelist_from_buffer(buffer, channels) -> FloatFrameList -- copy a C-contiguous buffer of float32 or float64 items"""

def layout(container: FrameList | FloatFrameList, /) -> tuple[int, int, Literal["i", "d"]]:
    """layout(container) -> (frames, channels, typecode) -- typecode 'i' (int32) or 'd' (float64)"""

def samples_bytes(container: FrameList | FloatFrameList, /) -> bytes:
    """samples_bytes(container) -> bytes -- the interleaved samples in the machine's byte order"""

def copy_samples(container: FrameList | FloatFrameList, target: Buffer, /) -> None:
    """copy_samples(container, target) -- copy the interleaved samples into a writable C-contiguous buffer of int32 or float64 items of the same size"""
