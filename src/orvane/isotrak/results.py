"""What checking a disc gives: the checksums of each track, and of the disc.

These are plain frozen records, shared by the API, the command line's table
and JSON, and everything built on the results (references, the library).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

__all__ = ["DiscResult", "TrackResult"]


@dataclass(frozen=True)
class TrackResult:
    """The checksums of one track of a disc.

    ``checksums_v1`` maps each read shift, from ``-search`` to ``+search``,
    to the version 1 checksum of the track read that many frames later;
    ``checksum_v2`` is the version 2 checksum at shift ``v2_offset``.
    Checksums are unsigned 32-bit ints.  ``number`` is the track's number
    on the disc (its number in the CUE sheet), ``name`` the file its audio
    starts in, ``frames`` its length and ``start`` the position of its
    first frame in the disc stream.
    """

    number: int
    name: str
    frames: int
    checksums_v1: Mapping[int, int]
    checksum_v2: int
    v2_offset: int
    start: int = 0

    @property
    def checksum_v1(self) -> int:
        """The version 1 checksum of the track as read, at shift 0."""
        return self.checksums_v1[0]


@dataclass(frozen=True)
class DiscResult:
    """The checksums of every track of a disc, and what the disc held besides.

    ``tracks`` holds one TrackResult per audio track, in disc order.
    ``sample_rate``, ``search`` and ``v2_offset`` are those the checksums
    were computed with.  ``hidden_frames`` counts the frames of hidden
    audio before the first track, ``skipped_tracks`` holds the numbers of
    the data tracks left out, and ``warnings`` the warnings given.
    """

    tracks: tuple[TrackResult, ...]
    sample_rate: int
    search: int
    v2_offset: int
    hidden_frames: int = 0
    skipped_tracks: tuple[int, ...] = ()
    warnings: tuple[str, ...] = ()
