"""A few direct calls of the exported native interface through ctypes, and
containers filled field by field the way other native code fills them."""

from __future__ import annotations

import ctypes
import sys

import pytest

from kinds import FLOAT, INT, KINDS
from orvane import pcm

lib = ctypes.PyDLL(pcm.__file__)
kinds = pytest.mark.parametrize("kind", KINDS, ids=repr)


class FrameListFields(ctypes.Structure):
    _fields_ = [
        ("refcount", ctypes.c_ssize_t),
        ("type", ctypes.c_void_p),
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("bits_per_sample", ctypes.c_uint32),
        ("samples", ctypes.c_void_p),
        ("samples_length", ctypes.c_uint32),
    ]


class FloatFrameListFields(ctypes.Structure):
    _fields_ = [
        ("refcount", ctypes.c_ssize_t),
        ("type", ctypes.c_void_p),
        ("frames", ctypes.c_uint32),
        ("channels", ctypes.c_uint32),
        ("samples", ctypes.c_void_p),
        ("samples_length", ctypes.c_uint32),
    ]


def prefix(kind):
    return "FrameList" if kind is INT else "FloatFrameList"


def function(kind, name, restype, *argtypes):
    f = getattr(lib, f"{prefix(kind)}_{name}")
    f.restype, f.argtypes = restype, list(argtypes)
    return f


def create(kind, frames, channels):
    """A container with counts but no array: only operations that refuse
    before touching the samples may be run on it."""
    x = function(kind, "create", ctypes.py_object)()
    fields = (FrameListFields if kind is INT else FloatFrameListFields).from_address(id(x))
    assert (fields.samples, fields.samples_length) == (None, 0)  # created zeroed
    fields.frames, fields.channels, fields.samples_length = frames, channels, frames * channels
    if kind is INT:
        fields.bits_per_sample = 16
    return x


@kinds
def test_create_gives_exact_type_and_empty_container(kind):
    x = create(kind, 0, 2)
    assert type(x) is kind.type and x == kind.empty(2) and sys.getrefcount(x) == 2


@kinds
def test_concat_overflow_refused_before_touching_samples(kind):
    x = create(kind, 2**31, 1)
    assert len(x) == 2**31
    with pytest.raises(OverflowError):
        x + x
    with pytest.raises(OverflowError):
        x += x
    with pytest.raises(OverflowError):
        x * 2
    assert (x.frames, len(x)) == (-(2**31), 2**31)  # the attribute reads the count as signed
    fields = (FrameListFields if kind is INT else FloatFrameListFields).from_address(id(x))
    fields.frames = fields.samples_length = 0  # it has no array to release


@kinds
def test_check_converter_and_equals(kind):
    check = function(kind, "CheckExact", ctypes.c_int, ctypes.py_object)
    pointer = ctypes.POINTER(ctypes.c_void_p)
    convert = function(kind, "converter", ctypes.c_int, ctypes.py_object, pointer)
    x = kind.make([(1, 2)], 2)
    s = kind.construct(type("Sub", (kind.type,), {}), [1, 2], 2)
    other = (FLOAT if kind is INT else INT).make([(1, 2)], 2)
    assert (check(x), check(s), check(other)) == (1, 0, 0)
    address = ctypes.c_void_p()
    assert convert(s, ctypes.byref(address)) == 1 and address.value == id(s)
    address = ctypes.c_void_p(7)
    with pytest.raises(TypeError, match=f"^not a {prefix(kind)} object$"):
        convert(other, ctypes.byref(address))
    assert address.value == 7
    equals = function(kind, "equals", ctypes.c_int, ctypes.py_object, ctypes.py_object)
    assert equals(s, x) == 1 and equals(x, x * 2) == 0


def test_equals_looks_at_widths_and_signed_zero():
    equals = function(INT, "equals", ctypes.c_int, ctypes.py_object, ctypes.py_object)
    assert equals(pcm.from_list([1], 1, 8, 1), pcm.from_list([1], 1, 16, 1)) == 0
    assert equals(pcm.empty_framelist(2, 8), pcm.from_list([], 2, 8, 1)) == 1
    float_equals = function(FLOAT, "equals", ctypes.c_int, ctypes.py_object, ctypes.py_object)
    assert float_equals(pcm.FloatFrameList([0.0], 1), pcm.FloatFrameList([-0.0], 1)) == 0
