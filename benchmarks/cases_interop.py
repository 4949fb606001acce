"""Copies between containers and numpy arrays, against the byte-format
route a user has without orvane.numpy and against a plain copy.

Without it, a FrameList reaches numpy through "to_bytes" and frombuffer,
and an array comes back through tobytes and the FrameList initialiser;
doubles have no byte format at all.  The goal is memory speed: within
1.5 x a plain copy of the same samples.
"""

from __future__ import annotations

import sys

import numpy as np

from orvane import pcm

from case import BLOCK_FRAMES, Case, Goal, Skip

LITTLE = sys.byteorder == "little"


def same_array(ours, peer) -> bool:
    return ours.dtype == peer.dtype and np.array_equal(ours, peer)


def same_container(ours, peer) -> bool:
    return ours == peer


def cases(frame_counts):
    try:
        from orvane.numpy import from_numpy, to_numpy
    except ImportError as error:
        yield Skip("orvane.numpy", str(error))
        return
    rng = np.random.default_rng(11)
    for frames in frame_counts:
        pcm16 = rng.integers(-32768, 32768, size=(frames, 2), dtype=np.int16)
        ints = pcm16.astype(np.int32)
        container = pcm.FrameList(pcm16.tobytes(), 2, 16, int(not LITTLE), 1)
        goals = [] if frames == BLOCK_FRAMES else [Goal("copy", 1.5)]

        yield Case(
            operation="to_numpy FrameList",
            frames=frames,
            basis_bytes=ints.nbytes,
            ours=lambda: to_numpy(container),
            peers={
                "to_bytes, frombuffer, astype": lambda: np.frombuffer(
                    container.to_bytes(0, 1), "<i2"
                )
                .astype(np.int32)
                .reshape(-1, 2)
            },
            same=same_array,
            goals=goals,
        )
        yield Case(
            operation="from_numpy int32, 16 bits",
            frames=frames,
            basis_bytes=ints.nbytes,
            ours=lambda: from_numpy(ints, 16),
            peers={
                "astype(<i2), tobytes, FrameList": lambda: pcm.FrameList(
                    ints.astype("<i2").tobytes(), 2, 16, 0, 1
                )
            },
            same=same_container,
            goals=goals,
        )

        floats = ints / 32768.0
        floating = from_numpy(floats)
        yield Case(
            operation="to_numpy FloatFrameList",
            frames=frames,
            basis_bytes=floats.nbytes,
            ours=lambda: to_numpy(floating),
            peers={"to_int(16), bytes route, / 32768": lambda: (
                np.frombuffer(floating.to_int(16).to_bytes(0, 1), "<i2").astype(np.float64)
                / 32768.0
            ).reshape(-1, 2)},
            same=same_array,
            goals=goals,
        )
        yield Case(
            operation="from_numpy float64",
            frames=frames,
            basis_bytes=floats.nbytes,
            ours=lambda: from_numpy(floats),
            peers={"FrameList of bytes, to_float": lambda: pcm.FrameList(
                pcm16.tobytes(), 2, 16, int(not LITTLE), 1
            ).to_float()},
            same=same_container,
            goals=goals,
        )
