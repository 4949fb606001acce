"""Copies between the pcm containers and numpy arrays, at memory speed.

``to_numpy`` gives a ``(frames, channels)`` array that owns its copy of the
samples (int32 for a ``FrameList``, float64 for a ``FloatFrameList``), and
``from_numpy`` builds a container from a 1-D (mono) or 2-D
``(frames, channels)`` array.  The copying is native (``orvane._interop``);
this module only chooses dtypes and shapes, and lets numpy convert whatever
input is not already a C-contiguous array of a type the native side reads,
so no sample ever passes through a Python object.

numpy is optional: it is imported on the first call, and its absence is
reported then with an ImportError that says what to install.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, SupportsIndex, overload

from orvane import _interop, pcm

if TYPE_CHECKING:
    # numpy's types give the overloads below their precision; where numpy
    # is not installed, a type checker takes them as Any and the functions
    # as they are at run time.
    import numpy as np
    from numpy.typing import ArrayLike, NDArray

__all__ = ["from_numpy", "to_numpy"]

_WIDTHS = (8, 16, 24)


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as error:
        raise ImportError(
            "orvane.numpy needs numpy, which is not installed: "
            "pip install numpy (or pip install 'orvane[numpy]')",
            name="numpy",
        ) from error
    return numpy


@overload
def to_numpy(container: pcm.FrameList) -> NDArray[np.int32]: ...
@overload
def to_numpy(container: pcm.FloatFrameList) -> NDArray[np.float64]: ...
def to_numpy(container: pcm.FrameList | pcm.FloatFrameList) -> NDArray[Any]:
    """Return the samples of a container as a new ``(frames, channels)`` array.

    A ``FrameList`` gives int32 samples (its ``bits_per_sample`` says their
    range), a ``FloatFrameList`` float64 samples, bit for bit.  The array is
    writable and owns its memory; the container is not changed.
    """
    np = _numpy()
    frames, channels, typecode = _interop.layout(container)
    array: NDArray[Any] = np.empty(
        (frames, channels), dtype=np.int32 if typecode == "i" else np.float64
    )
    _interop.copy_samples(container, array)
    return array


# int8 and int16 arrays imply their width, other integer arrays need one,
# floating arrays take none; anything else numpy converts first, and the
# result's type is known only at run time.
@overload
def from_numpy(
    array: NDArray[np.int8 | np.int16], bits_per_sample: SupportsIndex | None = None
) -> pcm.FrameList: ...
@overload
def from_numpy(array: NDArray[np.integer[Any]], bits_per_sample: SupportsIndex) -> pcm.FrameList: ...
@overload
def from_numpy(
    array: NDArray[np.floating[Any]], bits_per_sample: None = None
) -> pcm.FloatFrameList: ...
@overload
def from_numpy(
    array: ArrayLike, bits_per_sample: SupportsIndex | None = None
) -> pcm.FrameList | pcm.FloatFrameList: ...
def from_numpy(
    array: ArrayLike, bits_per_sample: SupportsIndex | None = None
) -> pcm.FrameList | pcm.FloatFrameList:
    """Return a new container holding a copy of a 1-D or 2-D array.

    A 1-D array is one channel; a 2-D array is ``(frames, channels)``.  An
    integer array gives a ``FrameList``: int8 and int16 arrays imply a width
    of 8 or 16 bits, other integer dtypes need ``bits_per_sample`` (8, 16 or
    24), and every value must lie in the width's signed range.  A floating
    array gives a ``FloatFrameList`` (as float64) and takes no width.
    """
    np = _numpy()
    values: NDArray[Any] = np.asarray(array)
    if values.ndim not in (1, 2):
        raise ValueError(f"array must have 1 or 2 dimensions, not {values.ndim}")
    channels = 1 if values.ndim == 1 else values.shape[1]
    kind = values.dtype.kind
    if kind == "f":
        if bits_per_sample is not None:
            raise ValueError(
                "bits_per_sample applies only to integer arrays; "
                "a floating array gives a FloatFrameList"
            )
        # float32 and float64 are read natively; other widths become float64.
        target = values.dtype if values.dtype.itemsize in (4, 8) else np.float64
        data = np.ascontiguousarray(values, dtype=np.dtype(target).newbyteorder("="))
        return _interop.floatframelist_from_buffer(data, channels)
    if kind not in "iu":
        raise TypeError(f"from_numpy() needs an integer or floating array, not dtype {values.dtype}")

    if bits_per_sample is None:
        if kind != "i" or values.dtype.itemsize > 2:
            raise ValueError(
                f"bits_per_sample (8, 16 or 24) is needed for {values.dtype} arrays; "
                "only int8 and int16 arrays imply a width"
            )
        bits_per_sample = 8 * values.dtype.itemsize
    bits_per_sample = operator.index(bits_per_sample)
    if bits_per_sample not in _WIDTHS:
        raise ValueError("bits_per_sample must be 8, 16 or 24")

    if kind == "i" and values.dtype.itemsize <= 4:
        # int8, int16 and int32 are read natively, which checks the range.
        target = np.dtype(f"i{values.dtype.itemsize}")
    else:
        # Wider or unsigned values are checked here, before they narrow.
        _check_range(np, values, channels, bits_per_sample)
        target = np.dtype(np.int32)
    data = np.ascontiguousarray(values, dtype=target)
    return _interop.framelist_from_buffer(data, channels, bits_per_sample)


def _check_range(np: Any, array: NDArray[Any], channels: int, bits_per_sample: int) -> None:
    """Refuse an integer array with a value outside the width's signed range.

    The message names the first offender in frame order, as the native
    check does for the narrower dtypes.
    """
    high = (1 << (bits_per_sample - 1)) - 1
    low = -high - 1
    flat = array.reshape(-1)
    outside = flat > high
    if array.dtype.kind == "i":
        outside |= flat < low
    if not outside.any():
        return
    index = int(np.argmax(outside))
    raise ValueError(
        f"sample {int(flat[index])} in frame {index // channels}, channel {index % channels} "
        f"is outside the {bits_per_sample}-bit range {low} to {high}"
    )
