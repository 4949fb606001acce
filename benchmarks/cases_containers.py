"""The conversions and the copying operations, against numpy.

"to_float" and "to_int(16)" are set against the numpy recipes a user would
write (a true division; a product, a truncation and a clip); `+`, `*` and
"split" against np.concatenate, np.tile and copied slices, and above all
against a plain copy of the result, since all three are block copies.  Each
case is skipped while the installed package lacks its operation.
"""

from __future__ import annotations

import numpy as np

from orvane import pcm

from case import BLOCK_FRAMES, Case, Goal, Skip
from native_view import samples

SCALE_16 = 32768.0


def to_float_recipes(array):
    def divide():
        return array / SCALE_16

    def multiply_by_reciprocal():
        # Exact as well: the scale is a power of two.
        return array * (1.0 / SCALE_16)

    def astype_then_divide_in_place():
        out = array.astype(np.float64)
        out /= SCALE_16
        return out

    return {
        "a / 32768": divide,
        "a * (1/32768)": multiply_by_reciprocal,
        "astype(float64), /= 32768": astype_then_divide_in_place,
    }


def to_int_recipes(array):
    def trunc_clip_astype():
        return np.clip(np.trunc(array * SCALE_16), -32768, 32767).astype(np.int32)

    def clip_in_place_then_astype():
        # Clipping before the truncation gives the same integers, and the
        # float-to-int cast truncates toward zero by itself.
        scaled = array * SCALE_16
        np.clip(scaled, -32768, 32767, out=scaled)
        return scaled.astype(np.int32)

    def clip_into_int32():
        out = np.empty(array.size, np.int32)
        np.clip(array * SCALE_16, -32768, 32767, out=out, casting="unsafe")
        return out

    return {
        "trunc, clip, astype": trunc_clip_astype,
        "*, clip(out=), astype": clip_in_place_then_astype,
        "*, clip(out=int32)": clip_into_int32,
    }


def same_container(ours, peer) -> bool:
    return np.array_equal(samples(ours), peer)


def same_halves(ours, peer) -> bool:
    return len(ours) == 2 and all(same_container(o, p) for o, p in zip(ours, peer))


def cases(frame_counts):
    rng = np.random.default_rng(7)
    has_float = hasattr(pcm.FrameList, "to_float")
    has_int = hasattr(pcm, "FloatFrameList") and hasattr(pcm.FloatFrameList, "to_int")
    has_concat = hasattr(pcm.FrameList, "__add__")
    has_repeat = hasattr(pcm.FrameList, "__mul__")
    has_split = hasattr(pcm.FrameList, "split")
    for frames in frame_counts:
        count = frames * 2
        data = rng.bytes(count * 2)
        container = pcm.FrameList(data, 2, 16, 0, 1)
        array = samples(container).copy()

        if has_float:
            yield Case(
                operation='"to_float" SL16 stereo',
                frames=frames,
                basis_bytes=count * 8,
                ours=container.to_float,
                peers=to_float_recipes(array),
                same=same_container,
                goals=[] if frames == BLOCK_FRAMES else [Goal("peer", 1.0)],
            )
        else:
            yield Skip('"to_float"', "FrameList.to_float is not in this build")

        if has_float and has_int:
            floats = container.to_float()
            float_array = samples(floats).copy()
            yield Case(
                operation='"to_int(16)" stereo',
                frames=frames,
                basis_bytes=count * 4,
                ours=lambda: floats.to_int(16),
                peers=to_int_recipes(float_array),
                same=same_container,
                goals=[] if frames == BLOCK_FRAMES else [Goal("peer", 0.4)],
            )
        else:
            yield Skip('"to_int(16)"', "FloatFrameList.to_int is not in this build")

        # Halves of the stream, each built from its own bytes.
        middle = (frames // 2) * 4
        head = pcm.FrameList(data[:middle], 2, 16, 0, 1)
        tail = pcm.FrameList(data[middle:], 2, 16, 0, 1)
        head_array, tail_array = samples(head).copy(), samples(tail).copy()
        copy_goal = [] if frames == BLOCK_FRAMES else [Goal("copy", 1.2)]

        if has_concat:
            yield Case(
                operation="`+` (two halves)",
                frames=frames,
                basis_bytes=count * 4,
                ours=lambda: head + tail,
                peers={"np.concatenate": lambda: np.concatenate((head_array, tail_array))},
                same=same_container,
                goals=copy_goal,
            )
        else:
            yield Skip("`+`", "FrameList concatenation is not in this build")

        if has_repeat:
            yield Case(
                operation="`*` 2 (half repeated)",
                frames=frames,
                basis_bytes=count * 4,
                ours=lambda: head * 2,
                peers={
                    "np.tile": lambda: np.tile(head_array, 2),
                    "np.concatenate": lambda: np.concatenate((head_array, head_array)),
                },
                same=same_container,
                goals=copy_goal,
            )
        else:
            yield Skip("`*`", "FrameList repetition is not in this build")

        if has_split:
            split_at = frames // 2
            yield Case(
                operation='"split" in the middle',
                frames=frames,
                basis_bytes=count * 4,
                ours=lambda: container.split(split_at),
                peers={
                    "copied slices": lambda: (
                        array[: split_at * 2].copy(),
                        array[split_at * 2 :].copy(),
                    )
                },
                same=same_halves,
                goals=copy_goal,
            )
        else:
            yield Skip('"split"', "FrameList.split is not in this build")
