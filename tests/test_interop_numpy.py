"""orvane.numpy: round trips, dtype and shape handling, refusals, numpy absent."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
from hypothesis.extra import numpy as hnp  # noqa: E402

from orvane import pcm  # noqa: E402
from orvane.numpy import from_numpy, to_numpy  # noqa: E402

WIDTHS = (8, 16, 24)
SHAPES = st.one_of(
    hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12).filter(lambda s: s[1] > 0),
    hnp.array_shapes(min_dims=1, max_dims=1, min_side=0, max_side=30),
)
INTEGER_DTYPES = [np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32]


def signed_range(bits: int) -> tuple[int, int]:
    return -(1 << (bits - 1)), (1 << (bits - 1)) - 1


@st.composite
def framelists(draw):
    """A FrameList decoded from random little-endian signed bytes."""
    bits = draw(st.sampled_from(WIDTHS))
    channels = draw(st.integers(1, 6))
    frames = draw(st.integers(0, 30))
    size = frames * channels * bits // 8
    data = draw(st.binary(min_size=size, max_size=size))
    return pcm.FrameList(data, channels, bits, 0, 1)


@given(framelists())
def test_framelists_go_to_int32_arrays_and_back(framelist):
    array = to_numpy(framelist)
    assert array.dtype == np.int32
    assert array.shape == (framelist.frames, framelist.channels)
    assert array.ravel().tolist() == list(framelist)
    assert array.flags.owndata and array.flags.writeable and array.flags.c_contiguous
    back = from_numpy(array, framelist.bits_per_sample)
    assert back == framelist


@given(st.sampled_from(WIDTHS), st.sampled_from(INTEGER_DTYPES), st.data())
def test_integer_arrays_of_any_dtype_and_shape_round_trip(bits, dtype, data):
    low, high = signed_range(bits)
    info = np.iinfo(dtype)
    array = data.draw(
        hnp.arrays(dtype, SHAPES, elements=st.integers(max(low, info.min), min(high, info.max)))
    )
    made = from_numpy(array, bits)
    assert type(made) is pcm.FrameList and made.bits_per_sample == bits
    back = to_numpy(made)
    assert back.shape == (array.shape if array.ndim == 2 else (array.shape[0], 1))
    assert back.ravel().tolist() == array.ravel().tolist()


@pytest.mark.parametrize("dtype, bits", [(np.int8, 8), (np.int16, 16), (np.dtype(">i2"), 16)])
def test_int8_and_int16_imply_their_width(dtype, bits):
    low, high = signed_range(bits)
    array = np.array([[low, high], [0, -1]], dtype=dtype)
    made = from_numpy(array)
    assert made.bits_per_sample == bits
    assert list(made) == [low, high, 0, -1]


@given(
    hnp.arrays(np.uint64, SHAPES)
)
def test_doubles_round_trip_bit_for_bit(patterns):
    doubles = patterns.view(np.float64)
    made = from_numpy(doubles)
    assert type(made) is pcm.FloatFrameList
    back = to_numpy(made)
    assert back.dtype == np.float64
    assert back.view(np.uint64).ravel().tolist() == patterns.ravel().tolist()
    assert from_numpy(back) == made


def test_nan_payloads_and_negative_zero_survive_both_ways():
    patterns = np.array([0x7FF8000000000001, 0xFFF0000000000ABC, 0x8000000000000000, 0], np.uint64)
    made = from_numpy(patterns.view(np.float64))
    assert made == pcm.FloatFrameList(list(patterns.view(np.float64)), 1)
    assert to_numpy(made).view(np.uint64).ravel().tolist() == patterns.tolist()
    assert made != from_numpy(np.zeros(4))


@pytest.mark.parametrize(
    "array",
    [
        np.arange(12, dtype=np.int32).reshape(3, 4, order="F"),
        np.arange(24, dtype=np.int32).reshape(6, 4)[::2, 1:3],
        np.arange(12, dtype=np.dtype(">i4")).reshape(6, 2),
        np.arange(12, dtype=np.int64).reshape(6, 2)[::-1],
    ],
    ids=["fortran", "strided", "big-endian", "reversed-int64"],
)
def test_any_layout_is_converted_by_numpy_first(array):
    made = from_numpy(array, 16)
    assert (made.frames, made.channels) == array.shape
    assert list(made) == array.ravel().tolist()


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.dtype(">f8"), np.longdouble])
def test_other_floating_dtypes_become_float64(dtype):
    array = np.array([[0.5, -0.25], [1.0, -0.0]], dtype=dtype)
    made = from_numpy(array)
    assert list(made) == [0.5, -0.25, 1.0, -0.0]
    assert np.signbit(to_numpy(made)[1, 1])


def test_one_dimension_is_mono_and_empty_arrays_keep_their_channels():
    assert to_numpy(from_numpy(np.array([1, 2, 3], np.int16))).shape == (3, 1)
    empty = from_numpy(np.zeros((0, 5), np.int16))
    assert (empty.frames, empty.channels) == (0, 5)
    assert to_numpy(empty).shape == (0, 5)
    assert to_numpy(pcm.FloatFrameList.__new__(pcm.FloatFrameList)).shape == (0, 0)


def test_copies_are_independent_of_their_sources():
    array = np.array([[1, 2], [3, 4]], np.int16)
    made = from_numpy(array)
    array[0, 0] = 99
    assert list(made) == [1, 2, 3, 4]
    out = to_numpy(made)
    out[:] = 0
    assert list(made) == [1, 2, 3, 4]


def outside(value: int, frame: int, channel: int, bits: int) -> str:
    low, high = signed_range(bits)
    where = f"in frame {frame}, channel {channel}"
    return f"sample {value} {where} is outside the {bits}-bit range {low} to {high}"


@pytest.mark.parametrize(
    "values, dtype, bits, message",
    [
        ([[0, 32767], [-32769, 5]], np.int32, 16, outside(-32769, 1, 0, 16)),
        ([1, 2**23], np.int64, 24, outside(2**23, 1, 0, 24)),
        ([[1, 2**40]], np.int64, 24, outside(2**40, 0, 1, 24)),
        ([[3, 2**64 - 1]], np.uint64, 8, outside(2**64 - 1, 0, 1, 8)),
        ([200], np.uint8, 8, outside(200, 0, 0, 8)),
        ([[1, 2], [300, -300]], np.int16, 8, outside(300, 1, 0, 8)),
    ],
)
def test_out_of_range_integers_are_refused_naming_the_first(values, dtype, bits, message):
    with pytest.raises(ValueError) as refused:
        from_numpy(np.array(values, dtype), bits)
    assert str(refused.value) == message


NEEDS_WIDTH = (
    "bits_per_sample (8, 16 or 24) is needed for {} arrays; "
    "only int8 and int16 arrays imply a width"
)
FLOAT_WIDTH = (
    "bits_per_sample applies only to integer arrays; a floating array gives a FloatFrameList"
)
DIMENSIONS = "array must have 1 or 2 dimensions, not {}"
WIDTHS_MESSAGE = "bits_per_sample must be 8, 16 or 24"
NOT_AN_INTEGER = "'float' object cannot be interpreted as an integer"
NOT_NUMBERS = "from_numpy() needs an integer or floating array, not dtype {}"


@pytest.mark.parametrize(
    "array, bits, error, message",
    [
        (np.zeros((4, 0), np.int16), None, ValueError, "number of channels must be > 0"),
        (np.zeros((0, 0)), None, ValueError, "number of channels must be > 0"),
        (np.zeros((2, 2, 2), np.int16), None, ValueError, DIMENSIONS.format(3)),
        (np.int16(5), None, ValueError, DIMENSIONS.format(0)),
        (np.zeros(4, np.int32), None, ValueError, NEEDS_WIDTH.format("int32")),
        (np.zeros(4, np.uint8), None, ValueError, NEEDS_WIDTH.format("uint8")),
        (np.zeros(4, np.int32), 12, ValueError, WIDTHS_MESSAGE),
        (np.zeros(4, np.int16), 32, ValueError, WIDTHS_MESSAGE),
        (np.zeros(4, np.int32), 16.0, TypeError, NOT_AN_INTEGER),
        (np.zeros(4), 16, ValueError, FLOAT_WIDTH),
        (np.zeros(4, bool), 8, TypeError, NOT_NUMBERS.format("bool")),
        (np.zeros(4, complex), None, TypeError, NOT_NUMBERS.format("complex128")),
    ],
)
def test_refusals(array, bits, error, message):
    with pytest.raises(error) as refused:
        from_numpy(array, bits)
    assert str(refused.value) == message


BLOCK_NUMPY = """
import sys

class NoNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, NoNumpy())
"""


@pytest.mark.parametrize("call", ["to_numpy(pcm.FrameList(b'', 1, 8, 0, 1))", "from_numpy([1])"])
def test_without_numpy_the_module_imports_and_calls_say_what_to_install(call):
    code = BLOCK_NUMPY + textwrap.dedent(
        f"""
        from orvane import pcm
        from orvane.numpy import from_numpy, to_numpy
        try:
            {call}
        except ImportError as error:
            print(type(error).__name__, error.name, error)
        """
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == (
        "ImportError numpy orvane.numpy needs numpy, which is not installed: "
        "pip install numpy (or pip install 'orvane[numpy]')"
    )
