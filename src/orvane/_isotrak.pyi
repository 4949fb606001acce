# Types of the native _isotrak module: the Checksum accumulator of one
# track, fed 2-channel 16-bit FrameList blocks.  Checksums are unsigned
# 32-bit ints.

from collections.abc import Buffer
from typing import SupportsIndex

from typing_extensions import disjoint_base

from orvane.pcm import FrameList

@disjoint_base
class Checksum:
    """Checksum objects"""

    def __init__(
        self,
        total_pcm_frames: SupportsIndex,
        sample_rate: SupportsIndex = 44100,
        is_first: SupportsIndex = 0,
        is_last: SupportsIndex = 0,
        pcm_frame_range: SupportsIndex = 1,
        isotrakv2_offset: SupportsIndex = 0,
    ) -> None: ...
    def update(self, framelist: FrameList, /) -> None:
        """update(framelist)"""

    def checksums_v1(self) -> list[int]:
        """checksums_v1() -> [crc, crc, ...]"""

    def checksum_v2(self) -> int:
        """checksum_v2() -> crc"""

    def update_bytes(self, data: Buffer, /) -> None:
        """update_bytes(data) -- fold raw little-endian 16-bit stereo frames into the sums"""

    def checksums_v1_bytes(self) -> bytes:
        """checksums_v1_bytes() -> bytes -- checksums_v1() as little-endian 32-bit words"""
