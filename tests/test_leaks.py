"""Every public operation, succeeding and failing, run many times: the
memory the interpreter's allocator holds and the reference counts of the
operands must not grow."""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import sys
import tracemalloc

import pytest

from checksum_model import Reentrant, ReenteringPcm
from orvane import pcm
from orvane._isotrak import Checksum

ROUNDS = 3000
SLACK = 24 * 1024  # a leak of one small object per call is 100 KB or more


class SubFrameList(pcm.FrameList):
    pass


STEREO = pcm.FrameList(bytes(range(16)), 2, 16, 0, 1)
MONO24 = pcm.FrameList(bytes(range(9)), 1, 24, 1, 0)
FLOATS = pcm.FloatFrameList([0.5, -0.25, 0.0, -0.0], 2)
SUB = SubFrameList(bytes(8), 2, 16, 0, 1)
BLOCK = pcm.from_list(list(range(-8, 8)), 2, 16, 1)


def inplace_concat():
    x = STEREO * 1
    x += STEREO
    x += x


def inplace_repeat():
    x = FLOATS * 1
    x *= 3
    x *= 0


def reinitialise():
    x = pcm.FrameList(b"\x00\x00", 1, 16, 0, 1)
    x.__init__(b"\x00\x01\x02", 3, 8, 0, 1)
    x.__init__(b"\x00", 2, 16, 0, 1)  # refused


def checksum_cycle():
    checksum = Checksum(7, sample_rate=300, is_first=1, pcm_frame_range=2, isotrakv2_offset=1)
    checksum.update(BLOCK)
    checksum.checksums_v1()
    checksum.checksum_v2()
    checksum.__init__(8)
    checksum.update(BLOCK)
    checksum.checksums_v1()
    try:
        checksum.__init__(0)  # refused: leaves an unusable object behind
    except ValueError:
        pass


RAW = bytearray(range(16))


def raw_checksum_cycle():
    checksum = Checksum(3, pcm_frame_range=2, isotrakv2_offset=1)
    checksum.update_bytes(memoryview(RAW)[:8])
    checksum.update_bytes(RAW[8:])
    checksum.checksums_v1_bytes()


def construct_again(checksum):
    checksum.__init__(10, pcm_frame_range=20000)  # 240 KB of arrays


def reentered_init(inner, **keywords):
    """A re-construction that inner re-enters while an argument converts."""
    checksum = Checksum(10)
    checksum.__init__(20, pcm_frame_range=Reentrant(2, checksum, inner), **keywords)


def reentered_by_lookup():
    checksum = Checksum(10)
    sys.modules["orvane.pcm"] = ReenteringPcm(checksum, construct_again)
    try:
        checksum.__init__(20, pcm_frame_range=2)
    finally:
        sys.modules["orvane.pcm"] = pcm


class ShrinkingSequence:
    """Reports two items but fails on the second fetch."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index:
            raise IndexError("gone")
        return STEREO.frame(0)


# name, operation, expected exception (None when it succeeds), operands
OPERATIONS = [
    ("bytes", lambda: pcm.FrameList(b"\x01\x02\x03\x04", 2, 8, 0, 0), None, ()),
    ("bytes refused", lambda: pcm.FrameList(b"\x01\x02\x03", 2, 8, 0, 0), ValueError, ()),
    ("bytes wrapped", lambda: pcm.FrameList(b"", 2**29, 8, 0, 1), ValueError, ()),
    ("reinitialise", reinitialise, ValueError, ()),
    ("to_bytes", lambda: MONO24.to_bytes(0, 1), None, (MONO24,)),
    ("to_bytes refused", lambda: STEREO.to_bytes("x", 1), TypeError, (STEREO,)),
    ("frame", lambda: STEREO.frame(1), None, (STEREO,)),
    ("frame refused", lambda: STEREO.frame(9), IndexError, (STEREO,)),
    ("channel", lambda: STEREO.channel(1), None, (STEREO,)),
    ("channel refused", lambda: FLOATS.channel(2), IndexError, (FLOATS,)),
    ("split", lambda: STEREO.split(2), None, (STEREO,)),
    ("split at the edges", lambda: (STEREO.split(0), FLOATS.split(9)), None, (STEREO, FLOATS)),
    ("split refused", lambda: STEREO.split(-1), IndexError, (STEREO,)),
    ("concat", lambda: STEREO + STEREO, None, (STEREO,)),
    ("concat refused", lambda: STEREO + SUB, TypeError, (STEREO, SUB)),
    ("concat shape refused", lambda: STEREO + MONO24, ValueError, (STEREO, MONO24)),
    ("repeat", lambda: (FLOATS * 3, 0 * STEREO), None, (FLOATS, STEREO)),
    ("inplace concat", inplace_concat, None, (STEREO,)),
    ("inplace repeat", inplace_repeat, None, (FLOATS,)),
    ("inplace refused", lambda: STEREO.__iadd__(5), TypeError, (STEREO,)),
    ("item and iteration", lambda: (STEREO[3], list(FLOATS), STEREO[-1]), None, (STEREO, FLOATS)),
    ("item refused", lambda: FLOATS[99], IndexError, (FLOATS,)),
    ("compare", lambda: (STEREO == STEREO, FLOATS != STEREO, SUB == SUB), None, (STEREO, SUB)),
    ("compare refused", lambda: STEREO < STEREO, TypeError, (STEREO,)),
    ("frame_count", lambda: STEREO.frame_count(4099), None, (STEREO,)),
    ("from_list", lambda: pcm.from_list([1, 2, 3, 4], 2, 16, 0), None, ()),
    ("from_list refused mid-sequence", lambda: pcm.from_list([1, 2, "x", 4], 2, 16, 1), TypeError, ()),
    ("from_list refused", lambda: pcm.from_list([1, 2, 3], 2, 16, 1), ValueError, ()),
    ("from_frames", lambda: pcm.from_frames([STEREO.frame(0), STEREO.frame(1)]), None, (STEREO,)),
    ("from_frames refused mid-sequence", lambda: pcm.from_frames([STEREO.frame(0), STEREO.frame(1), MONO24]), ValueError, (STEREO, MONO24)),
    ("from_frames failing fetch", lambda: pcm.from_frames(ShrinkingSequence()), IndexError, ()),
    ("from_channels", lambda: pcm.FrameList.from_channels([STEREO.channel(0), STEREO.channel(1)]), None, (STEREO,)),
    ("from_channels refused", lambda: pcm.from_channels([STEREO.channel(0), STEREO.channel(1), FLOATS]), TypeError, (STEREO, FLOATS)),
    ("empty", lambda: (pcm.empty_framelist(2, 16), pcm.empty_float_framelist(3)), None, ()),
    ("empty refused", lambda: pcm.empty_framelist(2, 12), ValueError, ()),
    ("floats", lambda: pcm.FloatFrameList([0.5, 1, -2.0, 3.5], 2), None, ()),
    ("floats refused mid-sequence", lambda: pcm.FloatFrameList([0.5, None], 1), TypeError, ()),
    ("float joins", lambda: pcm.from_float_channels([FLOATS.channel(0), FLOATS.channel(1)]), None, (FLOATS,)),
    ("float joins refused", lambda: pcm.from_float_frames([FLOATS.frame(0), STEREO.frame(0)]), TypeError, (FLOATS, STEREO)),
    ("to_float and to_int", lambda: STEREO.to_float().to_int(16), None, (STEREO,)),
    ("to_int refused", lambda: FLOATS.to_int(33), ValueError, (FLOATS,)),
    ("checksum cycle", checksum_cycle, None, (BLOCK,)),
    ("checksum refused", lambda: Checksum(5).update(MONO24), ValueError, (MONO24,)),
    ("checksum raw cycle", raw_checksum_cycle, None, (RAW,)),
    ("checksum raw refused", lambda: Checksum(5).update_bytes(RAW[:6]), ValueError, (RAW,)),
    ("checksum raw too many", lambda: Checksum(1).update_bytes(RAW), ValueError, (RAW,)),
    ("checksum raw of a bad type", lambda: Checksum(5).update_bytes(STEREO), TypeError, (STEREO,)),
    ("checksum results refused", lambda: Checksum(5).checksums_v1(), ValueError, ()),
    ("checksum construction refused", lambda: Checksum(5, pcm_frame_range=0), ValueError, ()),
    ("checksum init re-entered", lambda: reentered_init(construct_again), None, ()),
    ("checksum init re-entered, then refused", lambda: reentered_init(construct_again, isotrakv2_offset=-1), ValueError, ()),
    ("checksum init re-entered and refused", lambda: reentered_init(lambda c: c.__init__(0)), ValueError, ()),
    ("checksum init re-entered by the FrameList lookup", reentered_by_lookup, None, ()),
]


def run(operation, error):
    if error is None:
        operation()
        return
    try:
        operation()
    except error:
        pass
    else:
        raise AssertionError("expected a refusal")


def c_heap_in_use() -> int | None:
    """Bytes held by the C library's malloc (the checksum's arrays come
    from there), or None where glibc's mallinfo2 is not available."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    if not hasattr(libc, "mallinfo2"):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                     "fsmblks", "uordblks", "fordblks", "keepcost")]

    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.parametrize(
    "operation, error, operands", [row[1:] for row in OPERATIONS], ids=[row[0] for row in OPERATIONS]
)
def test_no_growth(operation, error, operands):
    for _ in range(200):
        run(operation, error)
    gc.collect()
    references = [sys.getrefcount(operand) for operand in operands]
    type_references = sys.getrefcount(pcm.FrameList)
    c_heap = c_heap_in_use()
    tracemalloc.start()
    try:
        # The interpreter keeps bounded caches that churn (up to about 50 KB
        # of replaced entries), so growth is measured over a second round of
        # calls, once the first round has cycled them: a leak grows in both.
        for _ in range(ROUNDS):
            run(operation, error)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            run(operation, error)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < SLACK
    # A reference lost per call would show as thousands; the interpreter's
    # own caches may take one or two once.
    assert all(
        sys.getrefcount(operand) - before <= 2 for operand, before in zip(operands, references)
    )
    assert sys.getrefcount(pcm.FrameList) - type_references <= 2
    if c_heap is not None:
        assert c_heap_in_use() - c_heap < 4 * SLACK
