"""Read-only numpy views of a container's sample array, for result checks.

The containers expose no buffer of their own, so the checks read the sample
array through the object layout that native code shares: after the object
header come frames, channels (and bits_per_sample for FrameList) as 32-bit
counts, then the samples pointer and samples_length.  The view is only valid
while the container lives; callers keep it alive alongside.
"""

from __future__ import annotations

import ctypes

import numpy as np

from orvane import pcm

# The object header (reference count and type pointer) precedes the fields.
_HEADER = object.__basicsize__


class _FrameListFields(ctypes.Structure):
    _fields_ = [
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("bits_per_sample", ctypes.c_uint32),
        ("samples", ctypes.c_void_p),
        ("samples_length", ctypes.c_uint32),
    ]


class _FloatFrameListFields(ctypes.Structure):
    _fields_ = [
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("samples", ctypes.c_void_p),
        ("samples_length", ctypes.c_uint32),
    ]


def _view(container, fields_type, dtype) -> np.ndarray:
    fields = fields_type.from_address(id(container) + _HEADER)
    if fields.samples_length == 0:
        return np.empty(0, dtype)
    buffer = (ctypes.c_char * (fields.samples_length * np.dtype(dtype).itemsize)).from_address(
        fields.samples
    )
    view = np.frombuffer(buffer, dtype)
    view.flags.writeable = False
    return view


def samples(container) -> np.ndarray:
    """The interleaved samples of a FrameList (int32) or FloatFrameList (float64)."""
    if isinstance(container, pcm.FrameList):
        return _view(container, _FrameListFields, np.int32)
    return _view(container, _FloatFrameListFields, np.float64)
