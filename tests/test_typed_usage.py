"""What a user's code sees through the stubs and the annotations, run here
and checked by make typecheck with mypy --strict.  The calls in
pytest.raises are refused by both: an ignore that is no longer needed
fails the type check."""

from __future__ import annotations

from typing import assert_type

import numpy as np
import pytest
from numpy.typing import NDArray

import orvane
from orvane import pcm
from orvane._isotrak import Checksum
from orvane.numpy import from_numpy, to_numpy


def test_types_seen_by_users() -> None:
    frames = pcm.FrameList(b"\x00\x00\x01\x00", 2, 16, 0, 1)
    floats = frames.to_float()
    assert_type(to_numpy(frames), NDArray[np.int32])
    assert_type(to_numpy(floats), NDArray[np.float64])
    assert_type(from_numpy(to_numpy(frames), 16).bits_per_sample, int)
    assert_type(from_numpy(np.zeros((5, 2), np.int16)), pcm.FrameList)
    assert_type(from_numpy(np.zeros(5, np.uint8), 8), pcm.FrameList)
    assert_type(from_numpy(np.zeros(5)), pcm.FloatFrameList)
    assert_type(from_numpy([[1, 2]], 16), pcm.FrameList | pcm.FloatFrameList)
    assert_type(list(frames), list[int])
    assert_type(floats[0], float)
    checksum = Checksum(total_pcm_frames=1, pcm_frame_range=2, isotrakv2_offset=np.int64(1))
    checksum.update(frames + frames)
    assert_type(checksum.checksums_v1(), list[int])
    assert_type(orvane.__version__, str)
    assert_type(orvane.get_include(), str)
    with pytest.raises(TypeError):
        pcm.FrameList(memoryview(b"\x00\x00"), 1, 16, 0, 1)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        pcm.FrameList(bytearray(2), 1, 16, 0, 1)  # type: ignore[arg-type]
