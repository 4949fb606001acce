"""orvane._interop without numpy: binding to pcm, buffers in and out, refusals.

Buffers come from the array module and memoryview casts; expected samples
come from struct or from the containers' own sequence protocol, never from
the module under test.
"""

from __future__ import annotations

import array
import ctypes
import mmap
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

import orvane._interop as interop
from orvane import pcm

EXPORTED_BY_PCM = (
    "FrameList_create",
    "FrameList_CheckExact",
    "FrameList_converter",
    "FloatFrameList_create",
    "FloatFrameList_CheckExact",
    "FloatFrameList_converter",
    "pcm_FrameListType",
    "pcm_FloatFrameListType",
)


class SubFrameList(pcm.FrameList):
    pass


class SubFloatFrameList(pcm.FloatFrameList):
    pass


def run_child(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True
    )


@pytest.mark.parametrize(
    "imports",
    [
        "import orvane._interop as interop\nimport orvane.pcm as pcm",
        "import orvane.pcm as pcm\nimport orvane._interop as interop",
    ],
    ids=["interop-first", "pcm-first"],
)
def test_works_in_a_fresh_interpreter_whatever_the_import_order(imports):
    child = run_child(
        imports
        + """
import array
made = interop.framelist_from_buffer(array.array("i", [1, -2, 3, -4]), 2, 16)
assert type(made) is pcm.FrameList and list(made) == [1, -2, 3, -4]
assert made == pcm.FrameList(bytes([1, 0, 254, 255, 3, 0, 252, 255]), 2, 16, 0, 1)
floats = interop.floatframelist_from_buffer(array.array("d", [0.5, -0.25]), 1)
assert type(floats) is pcm.FloatFrameList and list(floats) == [0.5, -0.25]
assert interop.layout(made) == (2, 2, "i")
print("ok")
"""
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "ok"


def dynamic_listing(*options: str) -> str:
    return subprocess.run(
        ["nm", "-D", *options, interop.__file__], capture_output=True, text=True, check=True
    ).stdout


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_binds_at_run_time_and_exports_only_its_init():
    undefined = {line.split()[-1] for line in dynamic_listing("--undefined-only").splitlines()}
    assert undefined.isdisjoint(EXPORTED_BY_PCM)
    defined = {line.split()[-1] for line in dynamic_listing("--defined-only").splitlines()}
    defined = {name for name in defined if not name.startswith(("__odr_asan", "__asan", "__ubsan"))}
    assert defined == {"PyInit__interop"}


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf (binutils) is not installed")
def test_is_not_linked_to_pcm():
    needed = subprocess.run(
        ["readelf", "-d", interop.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert "pcm" not in needed


@given(
    st.sampled_from([("b", 8), ("h", 16), ("i", 24), ("i", 16), ("h", 8)]),
    st.integers(1, 5),
    st.integers(0, 20),
    st.data(),
)
def test_integer_buffers_fill_a_framelist(item_and_width, channels, frames, data):
    code, bits = item_and_width
    high = min((1 << (bits - 1)) - 1, (1 << (8 * struct.calcsize(code) - 1)) - 1)
    values = data.draw(st.lists(st.integers(-high - 1, high), min_size=frames * channels,
                                max_size=frames * channels))
    made = interop.framelist_from_buffer(array.array(code, values), channels, bits)
    assert type(made) is pcm.FrameList
    assert (made.frames, made.channels, made.bits_per_sample) == (frames, channels, bits)
    assert list(made) == values
    raw = interop.samples_bytes(made)
    assert list(struct.unpack(f"={len(values)}i", raw)) == values


@given(st.lists(st.integers(0, 2**64 - 1), max_size=30), st.sampled_from([1, 2, 3]))
def test_float64_buffers_keep_every_bit_pattern(patterns, channels):
    patterns = patterns[: len(patterns) - len(patterns) % channels]
    raw = struct.pack(f"={len(patterns)}Q", *patterns)
    made = interop.floatframelist_from_buffer(memoryview(raw).cast("d"), channels)
    assert (made.frames, made.channels) == (len(patterns) // channels, channels)
    assert interop.samples_bytes(made) == raw
    target = bytearray(len(raw))
    interop.copy_samples(made, memoryview(target).cast("d"))
    assert target == raw


def test_float32_items_widen_exactly():
    values = [0.5, -0.0, float("inf"), 1e-45, 3.0e38]
    single = array.array("f", values)
    made = interop.floatframelist_from_buffer(single, 1)
    assert [struct.unpack("=d", struct.pack("=d", v))[0] for v in made] == list(single)
    assert struct.pack("=d", made[1]) == struct.pack("=d", -0.0)


def test_unaligned_buffers_are_read_correctly():
    raw = bytes([0xAA]) + struct.pack("=3i", 7, -8, 2**23 - 1)
    unaligned = memoryview(raw)[1:].cast("i")
    assert list(interop.framelist_from_buffer(unaligned, 3, 24)) == [7, -8, 2**23 - 1]


@pytest.mark.parametrize(
    "code, bits, values, message",
    [
        ("i", 16, [0, 1, 2, 40000], "sample 40000 in frame 1, channel 1 is outside the 16-bit range -32768 to 32767"),
        ("i", 24, [0, -(2**23) - 1], "sample -8388609 in frame 0, channel 1 is outside the 24-bit range -8388608 to 8388607"),
        ("h", 8, [5, 128, -129, 7], "sample 128 in frame 0, channel 1 is outside the 8-bit range -128 to 127"),
        ("i", 8, [-128, 127, 2**31 - 1, -(2**31)], "sample 2147483647 in frame 1, channel 0 is outside the 8-bit range -128 to 127"),
    ],
)
def test_out_of_range_integers_are_refused_naming_the_first(code, bits, values, message):
    with pytest.raises(ValueError) as refused:
        interop.framelist_from_buffer(array.array(code, values), 2, bits)
    assert str(refused.value) == message


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((array.array("i", [1, 2]), 0, 16), ValueError, "number of channels must be > 0"),
        ((array.array("i", [1, 2]), -3, 16), ValueError, "number of channels must be > 0"),
        ((array.array("i", [1, 2]), 2**32, 16), OverflowError, "number of channels must be below 2**32"),
        ((array.array("i", [1, 2]), 0, 12), ValueError, "number of channels must be > 0"),
        ((array.array("i", [1, 2]), 2, 12), ValueError, "bits_per_sample must be 8, 16 or 24"),
        ((array.array("i", [1, 2]), 2, 32), ValueError, "bits_per_sample must be 8, 16 or 24"),
        ((array.array("i", [1, 2, 3]), 2, 16), ValueError, "number of samples must be divisible by number of channels"),
        ((array.array("q", [1, 2]), 2, 16), TypeError, "buffer items must be int8, int16 or int32, not format 'q'"),
        ((array.array("d", [1, 2]), 2, 16), TypeError, "buffer items must be int8, int16 or int32, not format 'd'"),
        ((b"\x01\x02", 2, 8), TypeError, "buffer items must be int8, int16 or int32, not format 'B'"),
        ((memoryview(b"\0" * 8).cast("I"), 2, 16), TypeError, "buffer items must be int8, int16 or int32, not format 'I'"),
    ],
)
def test_framelist_refusals(arguments, error, message):
    with pytest.raises(error) as refused:
        interop.framelist_from_buffer(*arguments)
    assert str(refused.value) == message


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((array.array("d", [1.0]), 0), ValueError, "number of channels must be > 0"),
        ((array.array("d", [1.0, 2.0, 3.0]), 2), ValueError, "number of samples must be divisible by number of channels"),
        ((array.array("i", [1, 2]), 1), TypeError, "buffer items must be float32 or float64, not format 'i'"),
    ],
)
def test_floatframelist_refusals(arguments, error, message):
    with pytest.raises(error) as refused:
        interop.floatframelist_from_buffer(*arguments)
    assert str(refused.value) == message


def ctypes_array(item, values):
    """A buffer whose format names its byte order explicitly, as ctypes does."""
    return (item * len(values))(*values)


def test_explicit_byte_order_is_read_when_it_is_the_machines():
    native, foreign = (ctypes.c_int32, ctypes.c_int32.__ctype_be__)
    if sys.byteorder == "big":
        native, foreign = foreign, ctypes.c_int32.__ctype_le__
    made = interop.framelist_from_buffer(ctypes_array(native, [5, -6]), 2, 16)
    assert list(made) == [5, -6]
    with pytest.raises(TypeError, match="^buffer items must be int8, int16 or int32, not format '[<>]i'$"):
        interop.framelist_from_buffer(ctypes_array(foreign, [5, -6]), 2, 16)
    doubles = interop.floatframelist_from_buffer(ctypes_array(ctypes.c_double, [0.5]), 1)
    assert list(doubles) == [0.5]


def test_strided_buffers_are_left_to_the_exporter_to_refuse():
    with pytest.raises(BufferError):
        interop.framelist_from_buffer(memoryview(array.array("i", [1, 2, 3, 4]))[::2], 1, 16)


def test_thirty_two_bit_limit_is_checked_before_any_copy():
    try:
        region = mmap.mmap(-1, 2**32)
    except (OSError, OverflowError, ValueError):
        pytest.skip("no room for a 4 GiB mapping")
    with region:
        view = memoryview(region).cast("b")
        try:
            with pytest.raises(OverflowError, match=r"more than 2\*\*32 - 1 samples"):
                interop.framelist_from_buffer(view, 1, 8)
        finally:
            view.release()


@pytest.mark.parametrize(
    "container, typecode",
    [
        (pcm.FrameList(bytes(range(12)), 3, 16, 0, 1), "i"),
        (SubFrameList(bytes(range(12)), 3, 16, 0, 1), "i"),
        (pcm.FloatFrameList([0.5, -1.0, 0.25, 2.0], 2), "d"),
        (SubFloatFrameList([0.5, -1.0, 0.25, 2.0], 2), "d"),
        (pcm.FrameList.__new__(pcm.FrameList), "i"),
        (pcm.FloatFrameList.__new__(pcm.FloatFrameList), "d"),
    ],
)
def test_samples_leave_both_containers_and_their_subclasses(container, typecode):
    frames, channels = container.frames, container.channels
    assert interop.layout(container) == (frames, channels, typecode)
    expected = struct.pack(f"={len(container)}{typecode}", *container)
    assert interop.samples_bytes(container) == expected
    target = array.array(typecode, bytes(len(expected)))
    assert interop.copy_samples(container, target) is None
    assert target.tobytes() == expected


@pytest.mark.parametrize("function", [interop.layout, interop.samples_bytes])
@pytest.mark.parametrize("value", [[1, 2], b"ab", 3, None])
def test_only_containers_give_samples(function, value):
    with pytest.raises(TypeError) as refused:
        function(value)
    assert str(refused.value) == f"expected a FrameList or a FloatFrameList, not {type(value).__name__}"


@pytest.mark.parametrize(
    "container, target, error, message",
    [
        (pcm.FrameList(bytes(4), 2, 8, 0, 1), array.array("i", [0]), ValueError, "target holds 4 bytes, the samples 16"),
        (pcm.FrameList(bytes(4), 2, 8, 0, 1), array.array("d", [0] * 2), TypeError, "target items must be int32, not format 'd'"),
        (pcm.FloatFrameList([1.0], 1), array.array("i", [0, 0]), TypeError, "target items must be float64, not format 'i'"),
        (pcm.FloatFrameList([1.0], 1), bytearray(8), TypeError, "target items must be float64, not format 'B'"),
    ],
)
def test_copy_targets_must_match(container, target, error, message):
    before = bytes(target)
    with pytest.raises(error) as refused:
        interop.copy_samples(container, target)
    assert str(refused.value) == message
    assert bytes(target) == before


def test_copy_target_must_be_writable():
    with pytest.raises(BufferError):
        interop.copy_samples(pcm.FloatFrameList([1.0], 1), memoryview(bytes(8)).cast("d"))


def test_container_is_read_after_the_target_exporter_has_run():
    container = pcm.FrameList(bytes([1, 2]), 1, 8, 0, 1)

    class GrowingTarget:
        def __init__(self):
            self.storage = array.array("i", [0] * 4)

        def __buffer__(self, flags):
            nonlocal container
            container += container
            return memoryview(self.storage)

    target = GrowingTarget()
    interop.copy_samples(container, target)
    assert target.storage.tolist() == [1, 2, 1, 2] == list(container)
