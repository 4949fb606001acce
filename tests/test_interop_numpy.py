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
SHAPES = hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12).filter(
    lambda shape: shape[1] > 0
)


def signed_range(bits: int) -> tuple[int, int]:
    return -(1 << (bits - 1)), (1 << (bits - 1)) - 1


@st.composite
def framelists(draw):
    """A FrameList decoded from random little-endian signed bytes."""
    bits = draw(st.sampled_from(WIDTHS))
    channels = draw(st.integers(1, 6))
    frames = draw(st.integers(0, 30))
    data = draw(st.binary(min_size=frames * channels * bits // 8, max_size=frames * channels * bits // 8))
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


@given(st.sampled_from(WIDTHS), st.sampled_from([np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32]), st.data())
def test_integer_arrays_of_any_dtype_and_shape_round_trip(bits, dtype, data):
    low, high = signed_range(bits)
    info = np.iinfo(dtype)
    array = data.draw(
        hnp.arrays(dtype, SHAPES | hnp.array_shapes(min_dims=1, max_dims=1, min_side=0, max_side=30),
                   elements=st.integers(max(low, info.min), min(high, info.max)))
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
    hnp.arrays(np.uint64, st.one_of(SHAPES, hnp.array_shapes(min_dims=1, max_dims=1, min_side=0, max_side=30)))
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


@pytest.mark.parametrize(
    "array, bits, message",
    [
        (np.array([[0, 32767], [-32769, 5]], np.int32), 16, "sample -32769 in frame 1, channel 0 is outside the 16-bit range -32768 to 32767"),
        (np.array([1, 2**23], np.int64), 24, "sample 8388608 in frame 1, channel 0 is outside the 24-bit range -8388608 to 8388607"),
        (np.array([[1, 2**40]], np.int64), 24, "sample 1099511627776 in frame 0, channel 1 is outside the 24-bit range -8388608 to 8388607"),
        (np.array([[3, 2**64 - 1]], np.uint64), 8, "sample 18446744073709551615 in frame 0, channel 1 is outside the 8-bit range -128 to 127"),
        (np.array([200], np.uint8), 8, "sample 200 in frame 0, channel 0 is outside the 8-bit range -128 to 127"),
        (np.array([[1, 2], [300, -300]], np.int16), 8, "sample 300 in frame 1, channel 0 is outside the 8-bit range -128 to 127"),
    ],
)
def test_out_of_range_integers_are_refused_naming_the_first(array, bits, message):
    with pytest.raises(ValueError) as refused:
        from_numpy(array, bits)
    assert str(refused.value) == message


@pytest.mark.parametrize(
    "array, bits, error, message",
    [
        (np.zeros((4, 0), np.int16), None, ValueError, "number of channels must be > 0"),
        (np.zeros((0, 0)), None, ValueError, "number of channels must be > 0"),
        (np.zeros((2, 2, 2), np.int16), None, ValueError, "array must have 1 or 2 dimensions, not 3"),
        (np.int16(5), None, ValueError, "array must have 1 or 2 dimensions, not 0"),
        (np.zeros(4, np.int32), None, ValueError, "bits_per_sample (8, 16 or 24) is needed for int32 arrays; only int8 and int16 arrays imply a width"),
        (np.zeros(4, np.uint8), None, ValueError, "bits_per_sample (8, 16 or 24) is needed for uint8 arrays; only int8 and int16 arrays imply a width"),
        (np.zeros(4, np.int32), 12, ValueError, "bits_per_sample must be 8, 16 or 24"),
        (np.zeros(4, np.int16), 32, ValueError, "bits_per_sample must be 8, 16 or 24"),
        (np.zeros(4), 16, ValueError, "bits_per_sample applies only to integer arrays; a floating array gives a FloatFrameList"),
        (np.zeros(4, bool), 8, TypeError, "from_numpy() needs an integer or floating array, not dtype bool"),
        (np.zeros(4, complex), None, TypeError, "from_numpy() needs an integer or floating array, not dtype complex128"),
    ],
)
def test_refusals(array, bits, error, message):
    with pytest.raises(error) as refused:
        from_numpy(array, bits)
    assert str(refused.value) == message


def test_width_must_be_an_integer():
    with pytest.raises(TypeError):
        from_numpy(np.zeros(2, np.int32), 16.0)


@pytest.mark.parametrize("value", [[1, 2], np.zeros((2, 2)), "FrameList"])
def test_to_numpy_takes_only_containers(value):
    with pytest.raises(TypeError, match="^expected a FrameList or a FloatFrameList, not "):
        to_numpy(value)


BLOCK_NUMPY = """
import sys

class NoNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, NoNumpy())
"""


@pytest.mark.parametrize("call", ["to_numpy(pcm.FrameList(b'', 1, 16, 0, 1))", "from_numpy([1, 2])"])
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
