"""What checking a disc gives: the checksums of each track, and of the disc.

These are plain frozen records, shared by the API, the command line's table
and JSON, and everything built on the results (references, the library).
"""

from __future__ import annotations

import sys
from array import array
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

__all__ = ["DiscResult", "ShiftChecksums", "TrackResult"]

# The array type code of unsigned 32-bit words on this host.
_WORD = "I" if array("I").itemsize == 4 else "L"


class ShiftChecksums(Mapping[int, int]):
    """A track's version 1 checksums by read shift, 4 bytes each.

    A mapping of the shifts ``-search`` to ``+search`` to their checksums,
    like the dict it stands in for (it compares equal to one with the same
    items), kept as ``data``, the little-endian 32-bit words of the
    checksums in the order of their shifts; a wide search has millions of
    shifts, and a Python int for each would take ten times the memory.
    """

    __slots__ = ("_data", "_search", "_words")

    def __init__(self, data: bytes, search: int) -> None:
        if search < 0 or len(data) != 4 * (2 * search + 1):
            raise ValueError(f"{len(data)} bytes are not the checksums of shifts -{search}..+{search}")
        self._data = data
        self._search = search
        self._words: Sequence[int]
        if sys.byteorder == "little" and _WORD == "I":
            self._words = memoryview(data).cast("I")
        else:
            words = array(_WORD, data)
            if sys.byteorder == "big":
                words.byteswap()
            self._words = words

    @classmethod
    def pack(cls, checksums: Mapping[int, int], search: int) -> ShiftChecksums:
        """The checksums of the shifts ``-search`` to ``+search`` of any mapping."""
        if isinstance(checksums, ShiftChecksums) and checksums._search == search:
            return checksums
        words = array(_WORD, (checksums[shift] for shift in range(-search, search + 1)))
        if sys.byteorder == "big":
            words.byteswap()
        return cls(words.tobytes(), search)

    @property
    def data(self) -> bytes:
        """The checksums as little-endian 32-bit words, in the order of their shifts."""
        return self._data

    @property
    def search(self) -> int:
        """The widest shift held: the shifts run from ``-search`` to ``+search``."""
        return self._search

    def narrowed(self, search: int) -> ShiftChecksums:
        """The checksums of the shifts ``-search`` to ``+search`` alone."""
        if not 0 <= search <= self._search:
            held = f"-{self._search}..+{self._search}"
            raise ValueError(f"shifts -{search}..+{search} reach past the {held} held")
        skip = 4 * (self._search - search)
        return ShiftChecksums(self._data[skip : len(self._data) - skip], search)

    def __getitem__(self, shift: int) -> int:
        if isinstance(shift, int) and -self._search <= shift <= self._search:
            return self._words[self._search + int(shift)]
        raise KeyError(shift)

    def __iter__(self) -> Iterator[int]:
        return iter(range(-self._search, self._search + 1))

    def __len__(self) -> int:
        return 2 * self._search + 1

    def __contains__(self, shift: object) -> bool:
        return isinstance(shift, int) and -self._search <= shift <= self._search

    def shifts_of(self, checksum: int) -> Iterator[int]:
        """The shifts whose checksum is ``checksum``, in order, found
        without a Python object for the others."""
        if not 0 <= checksum < 2**32:
            return
        pattern = checksum.to_bytes(4, "little")
        at = self._data.find(pattern)
        while at >= 0:
            if at % 4:  # straddles two words
                at = self._data.find(pattern, at + 1)
                continue
            yield at // 4 - self._search
            at = self._data.find(pattern, at + 4)

    def chunks(self, size: int) -> Iterator[tuple[range, list[int]]]:
        """The shifts in order, ``size`` at a time, with their checksums."""
        for start in range(0, len(self), size):
            stop = min(start + size, len(self))
            shifts = range(start - self._search, stop - self._search)
            yield shifts, list(self._words[start:stop])

    def __eq__(self, other: object) -> bool:
        if isinstance(other, ShiftChecksums):
            return self._search == other._search and self._data == other._data
        return super().__eq__(other)

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[Any, ...]:
        return (ShiftChecksums, (self._data, self._search))

    def __repr__(self) -> str:
        return f"<ShiftChecksums of shifts -{self._search}..+{self._search}>"


@dataclass(frozen=True)
class TrackResult:
    """The checksums of one track of a disc.

    ``checksums_v1`` maps each read shift, from ``-search`` to ``+search``,
    to the version 1 checksum of the track read that many frames later
    (a ShiftChecksums from a check, any mapping when made by hand);
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
