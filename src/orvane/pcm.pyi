# Types of the native pcm module: the integer container FrameList, the
# floating container FloatFrameList and the module's constructors.  Every
# native function takes its arguments by position only; integer arguments
# take anything with __index__, and a byte string must be bytes (or str,
# taken as UTF-8): the parser refuses buffers such as memoryview.  Both
# containers iterate through item access; the stubs say so with __iter__
# so that list(x) and for-loops type-check.  Only == and != compare, and
# the containers are unhashable.  Each container has its own native
# layout, so no class can derive from both (disjoint bases).

from collections.abc import Iterator, Sequence
from typing import ClassVar, Self, SupportsFloat, SupportsIndex

from typing_extensions import CapsuleType, disjoint_base

# The table of the native interface for other native code (pcm_import.h).
_C_API: CapsuleType

@disjoint_base
class FrameList:
    """FrameList(string, channels, bits_per_sample, is_big_endian, is_signed)"""

    def __init__(
        self,
        string: bytes | str,
        channels: SupportsIndex,
        bits_per_sample: SupportsIndex,
        is_big_endian: SupportsIndex,
        is_signed: SupportsIndex,
        /,
    ) -> None: ...
    @property
    def frames(self) -> int:
        """frame count"""

    @property
    def channels(self) -> int:
        """channel count"""

    @property
    def bits_per_sample(self) -> int:
        """bits per sample"""

    def frame(self, i: SupportsIndex, /) -> FrameList:
        """F.frame(i) -> FrameList -- return the given PCM frame"""

    def channel(self, i: SupportsIndex, /) -> FrameList:
        """F.channel(i) -> FrameList -- return the given channel"""

    def to_bytes(self, is_big_endian: SupportsIndex, is_signed: SupportsIndex, /) -> bytes:
        """F.to_bytes(is_big_endian, is_signed) -> string"""

    def split(self, i: SupportsIndex, /) -> tuple[FrameList, FrameList]:
        """F.split(i) -> (FrameList,FrameList) -- splits the FrameList at the given index"""

    def to_float(self) -> FloatFrameList:
        """F.to_float() -> FloatFrameList"""

    @classmethod
    def from_list(
        cls,
        int_list: Sequence[SupportsIndex],
        channels: SupportsIndex,
        bits_per_sample: SupportsIndex,
        is_signed: SupportsIndex,
        /,
    ) -> FrameList:
        """FrameList.from_list(int_list, channels, bits_per_sample, is_signed) -> FrameList"""

    @classmethod
    def from_frames(cls, framelist_list: Sequence[FrameList], /) -> FrameList:
        """FrameList.from_frames(framelist_list) -> FrameList"""

    @classmethod
    def from_channels(cls, framelist_list: Sequence[FrameList], /) -> FrameList:
        """FrameList.from_channels(framelist_list) -> FrameList"""

    def frame_count(self, bytes: SupportsIndex, /) -> int:
        """F.frame_count(bytes) -> int -- given a number of bytes, returns the maximum number of frames that would fit or a minimum of 1"""

    def __len__(self) -> int: ...
    def __getitem__(self, i: SupportsIndex, /) -> int: ...
    def __iter__(self) -> Iterator[int]: ...
    def __add__(self, other: FrameList, /) -> FrameList: ...
    def __iadd__(self, other: FrameList, /) -> Self: ...
    def __mul__(self, count: SupportsIndex, /) -> FrameList: ...
    def __rmul__(self, count: SupportsIndex, /) -> FrameList: ...
    def __imul__(self, count: SupportsIndex, /) -> Self: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class FloatFrameList:
    """FloatFrameList(float_list, channels)"""

    def __init__(
        self, float_list: Sequence[SupportsFloat | SupportsIndex], channels: SupportsIndex, /
    ) -> None: ...
    @property
    def frames(self) -> int:
        """frame count"""

    @property
    def channels(self) -> int:
        """channel count"""

    def frame(self, i: SupportsIndex, /) -> FloatFrameList:
        """FF.frame(i) -> FloatFrameList -- return the given PCM frame"""

    def channel(self, i: SupportsIndex, /) -> FloatFrameList:
        """FF.channel(i) -> FloatFrameList -- return the given channel"""

    def split(self, i: SupportsIndex, /) -> tuple[FloatFrameList, FloatFrameList]:
        """FF.split(i) -> (FloatFrameList,FloatFrameList) -- splits the FloatFrameList at the given index"""

    @classmethod
    def from_frames(cls, floatframelist_list: Sequence[FloatFrameList], /) -> FloatFrameList:
        """FloatFrameList.from_frames(floatframelist_list) -> FloatFrameList"""

    @classmethod
    def from_channels(cls, floatframelist_list: Sequence[FloatFrameList], /) -> FloatFrameList:
        """FloatFrameList.from_channels(floatframelist_list) -> FloatFrameList"""

    def to_int(self, bits_per_sample: SupportsIndex, /) -> FrameList:
        """FF.to_int(bits_per_sample) -> FrameList"""

    def __len__(self) -> int: ...
    def __getitem__(self, i: SupportsIndex, /) -> float: ...
    def __iter__(self) -> Iterator[float]: ...
    def __add__(self, other: FloatFrameList, /) -> FloatFrameList: ...
    def __iadd__(self, other: FloatFrameList, /) -> Self: ...
    def __mul__(self, count: SupportsIndex, /) -> FloatFrameList: ...
    def __rmul__(self, count: SupportsIndex, /) -> FloatFrameList: ...
    def __imul__(self, count: SupportsIndex, /) -> Self: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def empty_framelist(channels: SupportsIndex, bits_per_sample: SupportsIndex, /) -> FrameList:
    """empty_framelist(channels, bits_per_sample) -> FrameList"""

def from_list(
    int_list: Sequence[SupportsIndex],
    channels: SupportsIndex,
    bits_per_sample: SupportsIndex,
    is_signed: SupportsIndex,
    /,
) -> FrameList:
    """from_list(int_list, channels, bits_per_sample, is_signed) -> FrameList"""

def from_frames(framelist_list: Sequence[FrameList], /) -> FrameList:
    """from_frames(framelist_list) -> FrameList"""

def from_channels(framelist_list: Sequence[FrameList], /) -> FrameList:
    """from_channels(framelist_list) -> FrameList"""

def empty_float_framelist(channels: SupportsIndex, /) -> FloatFrameList:
    """empty_float_framelist(channels) -> FloatFrameList"""

def from_float_frames(floatframelist_list: Sequence[FloatFrameList], /) -> FloatFrameList:
    """from_float_frames(floatframelist_list) -> FloatFrameList"""

def from_float_channels(floatframelist_list: Sequence[FloatFrameList], /) -> FloatFrameList:
    """from_float_channels(floatframelist_list) -> FloatFrameList"""
