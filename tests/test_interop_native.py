"""orvane._interop without numpy: binding to pcm, buffers in and out, refusals.

Buffers come from the array module, memoryview casts and ctypes; expected
samples come from struct or the containers' own sequence protocol.
"""

from __future__ import annotations

import array
import ctypes
import mmap
import shutil
import struct
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given
from hypothesis import strategies as st

import orvane._interop as interop
from orvane import pcm

FROM_PCM = {"FrameList_create", "FrameList_CheckExact", "FrameList_converter",
            "FloatFrameList_create", "FloatFrameList_CheckExact", "FloatFrameList_converter",
            "pcm_FrameListType", "pcm_FloatFrameListType"}  # fmt: skip
CHILD = """
import array
made = interop.framelist_from_buffer(array.array("i", [1, -2, 3, -4]), 2, 16)
assert made == pcm.FrameList(bytes([1, 0, 254, 255, 3, 0, 252, 255]), 2, 16, 0, 1)
floats = interop.floatframelist_from_buffer(array.array("d", [0.5, -0.25]), 1)
assert type(floats) is pcm.FloatFrameList and list(floats) == [0.5, -0.25]
print("ok")
"""


class SubFrameList(pcm.FrameList):
    pass


class SubFloatFrameList(pcm.FloatFrameList):
    pass


@pytest.mark.parametrize("first, second", [("_interop", "pcm"), ("pcm", "_interop")])
def test_works_in_a_fresh_interpreter_whatever_the_import_order(first, second):
    imports = f"import orvane.{first}, orvane.{second}\nfrom orvane import _interop as interop, pcm"
    child = subprocess.run([sys.executable, "-c", imports + CHILD], capture_output=True, text=True)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "ok"


def symbols(*options: str) -> set[str]:
    listing = subprocess.run(["nm", "-D", *options, interop.__file__], capture_output=True,
                             text=True, check=True).stdout  # fmt: skip
    return {line.split()[-1] for line in listing.splitlines()}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_binds_at_run_time_and_exports_only_its_init():
    assert symbols("--undefined-only").isdisjoint(FROM_PCM)
    sanitizers = ("__odr_asan", "__asan", "__ubsan")
    assert {s for s in symbols("--defined-only") if not s.startswith(sanitizers)} == {
        "PyInit__interop"
    }


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf (binutils) is not installed")
def test_is_not_linked_to_pcm():
    dynamic = subprocess.run(["readelf", "-d", interop.__file__], capture_output=True,
                             text=True, check=True).stdout  # fmt: skip
    assert "pcm" not in dynamic


@given(st.sampled_from([("b", 8), ("h", 16), ("h", 24), ("i", 16), ("i", 24)]),
       st.integers(1, 5), st.integers(0, 20), st.data())  # fmt: skip
def test_integer_buffers_fill_a_framelist(item_and_width, channels, frames, data):
    code, bits = item_and_width
    high = (1 << (min(bits, 8 * struct.calcsize(code)) - 1)) - 1
    count = frames * channels
    values = data.draw(st.lists(st.integers(-high - 1, high), min_size=count, max_size=count))
    made = interop.framelist_from_buffer(array.array(code, values), channels, bits)
    assert type(made) is pcm.FrameList
    assert (made.frames, made.channels, made.bits_per_sample) == (frames, channels, bits)
    assert list(made) == values
    assert interop.samples_bytes(made) == struct.pack(f"={count}i", *values)


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


def test_unaligned_buffers_are_read_correctly():
    unaligned = memoryview(b"\xaa" + struct.pack("=3i", 7, -8, 2**23 - 1))[1:].cast("i")
    assert list(interop.framelist_from_buffer(unaligned, 3, 24)) == [7, -8, 2**23 - 1]


def test_explicit_byte_order_is_read_only_when_it_is_the_machines():
    native, foreign = ctypes.c_int32.__ctype_le__, ctypes.c_int32.__ctype_be__
    if sys.byteorder == "big":
        native, foreign = foreign, native
    assert list(interop.framelist_from_buffer((native * 2)(5, -6), 2, 16)) == [5, -6]
    with pytest.raises(TypeError, match="^buffer items must be int8, int16 or int32, not "):
        interop.framelist_from_buffer((foreign * 2)(5, -6), 2, 16)


DIVISIBLE = "number of samples must be divisible by number of channels"
CHANNELS = "number of channels must be > 0"
INTEGERS = "buffer items must be int8, int16 or int32, not format "
ints = array.array("i", [1, 2])


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((ints, 0, 16), ValueError, CHANNELS),
        ((ints, -3, 16), ValueError, CHANNELS),
        ((ints, 0, 12), ValueError, CHANNELS),
        ((ints, 2**32, 16), OverflowError, "number of channels must be below 2**32"),
        ((ints, 2, 12), ValueError, "bits_per_sample must be 8, 16 or 24"),
        ((ints, 2, 32), ValueError, "bits_per_sample must be 8, 16 or 24"),
        ((array.array("i", [1, 2, 3]), 2, 16), ValueError, DIVISIBLE),
        ((array.array("q", [1, 2]), 2, 16), TypeError, INTEGERS + "'q'"),
        ((array.array("d", [1, 2]), 2, 16), TypeError, INTEGERS + "'d'"),
        ((b"\x01\x02", 2, 8), TypeError, INTEGERS + "'B'"),
        ((memoryview(bytes(8)).cast("I"), 2, 16), TypeError, INTEGERS + "'I'"),
    ],
)
def test_framelist_refusals(arguments, error, message):
    with pytest.raises(error) as refused:
        interop.framelist_from_buffer(*arguments)
    assert str(refused.value) == message


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((array.array("d", [1.0]), 0), ValueError, CHANNELS),
        ((array.array("f", [1.0, 2.0, 3.0]), 2), ValueError, DIVISIBLE),
        ((ints, 1), TypeError, "buffer items must be float32 or float64, not format 'i'"),
    ],
)
def test_floatframelist_refusals(arguments, error, message):
    with pytest.raises(error) as refused:
        interop.floatframelist_from_buffer(*arguments)
    assert str(refused.value) == message


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
            with pytest.raises(OverflowError, match=r"^result would hold more than 2\*\*32 - 1"):
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
    assert interop.layout(container) == (container.frames, container.channels, typecode)
    expected = struct.pack(f"={len(container)}{typecode}", *container)
    assert interop.samples_bytes(container) == expected
    target = array.array(typecode, bytes(len(expected)))
    assert interop.copy_samples(container, target) is None
    assert target.tobytes() == expected


@pytest.mark.parametrize("function", [interop.layout, interop.samples_bytes])
@pytest.mark.parametrize("value", [[1, 2], b"ab", None])
def test_only_containers_give_samples(function, value):
    with pytest.raises(TypeError) as refused:
        function(value)
    expected = f"expected a FrameList or a FloatFrameList, not {type(value).__name__}"
    assert str(refused.value) == expected


stereo = pcm.FrameList(bytes(4), 2, 8, 0, 1)
mono = pcm.FloatFrameList([1.0], 1)


@pytest.mark.parametrize(
    "container, target, error, message",
    [
        (stereo, array.array("i", [0]), ValueError, "target holds 4 bytes, the samples 16"),
        (stereo, array.array("d", [0, 0]), TypeError, "target items must be int32, not format 'd'"),
        (mono, array.array("i", [0, 0]), TypeError, "target items must be float64, not format 'i'"),
        (mono, bytearray(8), TypeError, "target items must be float64, not format 'B'"),
    ],
)
def test_copy_targets_must_match(container, target, error, message):
    before = bytes(target)
    with pytest.raises(error) as refused:
        interop.copy_samples(container, target)
    assert str(refused.value) == message
    assert bytes(target) == before
    with pytest.raises(BufferError):
        interop.copy_samples(container, memoryview(before))


def test_container_is_read_after_the_target_exporter_has_run():
    container = pcm.FrameList(bytes([1, 2]), 1, 8, 0, 1)

    class GrowingTarget:
        storage = array.array("i", [0] * 4)

        def __buffer__(self, flags):
            nonlocal container
            container += container
            return memoryview(self.storage)

    interop.copy_samples(container, GrowingTarget())
    assert GrowingTarget.storage.tolist() == [1, 2, 1, 2] == list(container)


INTS = array.array("i", [1, -2, 3, 40000])
DOUBLES = array.array("d", [0.5, -0.25])
TARGET = array.array("i", [0] * 4)
# operation, expected refusal (None when it succeeds), operands it must not keep
OPERATIONS = [
    (lambda: interop.framelist_from_buffer(INTS, 2, 24), None, (INTS,)),
    (lambda: interop.framelist_from_buffer(INTS, 2, 16), ValueError, (INTS,)),
    (lambda: interop.framelist_from_buffer(INTS, 3, 24), ValueError, (INTS,)),
    (lambda: interop.framelist_from_buffer(DOUBLES, 1, 16), TypeError, (DOUBLES,)),
    (lambda: interop.floatframelist_from_buffer(DOUBLES, 2), None, (DOUBLES,)),
    (lambda: interop.copy_samples(stereo, TARGET), None, (stereo, TARGET)),
    (lambda: interop.copy_samples(mono, TARGET), TypeError, (mono, TARGET)),
    (lambda: (interop.layout(mono), interop.samples_bytes(stereo)), None, (mono, stereo)),
]


@pytest.mark.parametrize("operation, error, operands", OPERATIONS)
def test_calls_keep_nothing(operation, error, operands):
    def run():
        for _ in range(2000):
            try:
                operation()
            except Exception as refusal:
                assert error is not None and isinstance(refusal, error)

    run()
    references = [sys.getrefcount(operand) for operand in operands]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 16 * 1024
    assert [sys.getrefcount(operand) for operand in operands] == references
