"""The records of what the verifier found: each track's checksums, the disc's,
what references said of them, and what a library scan found of each disc.

They are plain frozen records, shared by the API, the reports and JSON, the
library and its database.
"""

from __future__ import annotations

import sys
from array import array
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple

from orvane.isotrak.errors import UsageError

__all__ = [
    "AUDIO_CHANGED",
    "FLAC_MD5_MISMATCH",
    "STATUSES",
    "UNCHANGED_AUDIO",
    "DiscOutcome",
    "DiscResult",
    "DiscVerification",
    "FileState",
    "LibraryDisc",
    "ShiftChecksums",
    "Status",
    "StoredState",
    "TrackResult",
    "TrackVerification",
    "V1Outcome",
    "V2Comparison",
    "V2Outcome",
    "fingerprint",
    "skipped_outcome",
    "summary",
]

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
            raise UsageError(
                f"{len(data)} bytes are not the checksums of shifts -{search}..+{search}"
            )
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
            raise UsageError(f"shifts -{search}..+{search} reach past the {held} held")
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
    first frame in the disc stream.  ``title`` and ``performer`` are kept
    for display, from the CUE sheet or the track file's tags.

    ``error`` says why a track could not be read (its file failed
    part-way): then it has no checksums (``checksums_v1`` is empty,
    ``checksum_v1`` and ``checksum_v2`` are 0) and cannot match.
    """

    number: int
    name: str
    frames: int
    checksums_v1: Mapping[int, int]
    checksum_v2: int
    v2_offset: int
    start: int = 0
    title: str | None = None
    performer: str | None = None
    error: str | None = None

    @property
    def checksum_v1(self) -> int:
        """The version 1 checksum of the track as read, at shift 0."""
        return 0 if self.error is not None else self.checksums_v1[0]


@dataclass(frozen=True)
class DiscResult:
    """The checksums of every track of a disc, and what the disc held besides.

    ``tracks`` holds one TrackResult per audio track, in disc order.
    ``sample_rate``, ``search`` and ``v2_offset`` are those the checksums
    were computed with.  ``hidden_frames`` counts the frames of hidden
    audio before the first track, ``skipped_tracks`` holds the numbers of
    the data tracks left out, and ``warnings`` the warnings given.
    ``verification`` says what the references given said of the disc.
    ``title`` and ``performer`` are the disc's, from its CUE sheet.
    """

    tracks: tuple[TrackResult, ...]
    sample_rate: int
    search: int
    v2_offset: int
    hidden_frames: int = 0
    skipped_tracks: tuple[int, ...] = ()
    warnings: tuple[str, ...] = ()
    verification: DiscVerification | None = None
    title: str | None = None
    performer: str | None = None

    @property
    def failed(self) -> tuple[TrackResult, ...]:
        """The tracks that could not be read (each with its ``error``)."""
        return tuple(track for track in self.tracks if track.error is not None)


# -- what references say of a disc ------------------------------------------


@dataclass(frozen=True)
class V1Outcome:
    """The shifts at which a track's version 1 checksum equals a candidate's.

    ``confidence_by_shift`` sums, for each of those shifts, the counts of
    the candidates that agree there: equal on version 1, and not carrying
    another version 2 checksum where the track's was taken (that is
    another rip, which adds nothing); ``confidence`` sums the counts of
    every candidate that agrees at one of the shifts or more, each
    counted once.
    """

    shifts: tuple[int, ...]
    confidence: int
    confidence_by_shift: Mapping[int, int]

    @property
    def matched(self) -> bool:
        return bool(self.shifts)


@dataclass(frozen=True)
class V2Comparison:
    """A track's version 2 checksum at one shift against the candidates':
    ``confidence`` sums the counts of those equal to it (0: no match)."""

    shift: int
    checksum: int
    confidence: int

    @property
    def matched(self) -> bool:
        return self.confidence > 0


@dataclass(frozen=True)
class V2Outcome:
    """The version 2 comparisons of a track.

    ``comparisons`` holds the one at the version 1 match, when it was
    taken, then the one at the disc's ``v2_offset``.  The properties
    describe the first comparison that matched, or else the first.
    """

    comparisons: tuple[V2Comparison, ...]

    @property
    def deciding(self) -> V2Comparison:
        return next((c for c in self.comparisons if c.matched), self.comparisons[0])

    @property
    def matched(self) -> bool:
        return self.deciding.matched

    @property
    def shift(self) -> int:
        return self.deciding.shift

    @property
    def confidence(self) -> int:
        return self.deciding.confidence


@dataclass(frozen=True)
class TrackVerification:
    """What the references say of one track.

    ``v2`` is None when no reference has a version 2 checksum for it.
    ``conflicts`` holds the shifts at which the track's version 1 checksum
    equals candidates, every one of which carries another version 2
    checksum than the track's there: those rips agree on version 1 only,
    so the audio differs where version 1 cannot see, and the track does
    not match at those shifts.  Each candidate is judged alone: one that
    differs on version 2 does not stop another from matching.
    """

    number: int
    v1: V1Outcome
    v2: V2Outcome | None
    conflicts: tuple[int, ...] = ()

    @property
    def shifts(self) -> tuple[int, ...]:
        """The shifts at which the track matched, by either version."""
        shifts = set(self.v1.shifts) - set(self.conflicts)
        if self.v2 is not None:
            shifts.update(c.shift for c in self.v2.comparisons if c.matched)
        return tuple(sorted(shifts))

    @property
    def matched(self) -> bool:
        return bool(self.shifts)

    def document(self) -> dict[str, object]:
        """As plain data: the track's ``verification`` in JSON and in the database."""
        v2: dict[str, object] | None = None
        if self.v2 is not None:
            v2 = _comparison_document(self.v2.deciding)
            v2["comparisons"] = [_comparison_document(c) for c in self.v2.comparisons]
        return {
            "matched": self.matched,
            "shifts": list(self.shifts),
            "v1": {
                "matched": self.v1.matched,
                "shifts": list(self.v1.shifts),
                "confidence": self.v1.confidence,
                "confidence_by_shift": {
                    str(shift): count for shift, count in self.v1.confidence_by_shift.items()
                },
            },
            "v2": v2,
            "conflicts": list(self.conflicts),
        }


def _comparison_document(comparison: V2Comparison) -> dict[str, object]:
    return {
        "matched": comparison.matched,
        "shift": comparison.shift,
        "checksum": comparison.checksum,
        "confidence": comparison.confidence,
    }


@dataclass(frozen=True)
class DiscVerification:
    """What the references say of a disc: one TrackVerification per track.

    ``offsets`` holds the shifts at which every matched track matched.
    ``offset`` is the one of them nearest 0 (several fit when the tracks
    are silent, or when references at different shifts all agree): the
    references equal this rip read ``offset`` frames later.  It is None
    when no track matched, when no one shift fits them all, or when -s and
    +s are the nearest.
    """

    tracks: tuple[TrackVerification, ...]
    references: tuple[str, ...]

    @property
    def matched_tracks(self) -> int:
        return sum(track.matched for track in self.tracks)

    @property
    def matched(self) -> bool:
        """Whether every track matched."""
        return self.matched_tracks == len(self.tracks)

    @property
    def offsets(self) -> tuple[int, ...]:
        matched = [set(track.shifts) for track in self.tracks if track.matched]
        return tuple(sorted(set.intersection(*matched))) if matched else ()

    @property
    def offset(self) -> int | None:
        nearest = sorted(self.offsets, key=abs)[:2]
        if not nearest or (len(nearest) == 2 and nearest[1] == -nearest[0]):
            return None
        return nearest[0]

    def document(self) -> dict[str, object]:
        """As plain data: the disc's ``verification`` in JSON and in the database."""
        return {
            "tracks": len(self.tracks),
            "matched_tracks": self.matched_tracks,
            "offset": self.offset,
            "offsets": list(self.offsets),
            "unmatched": [track.number for track in self.tracks if not track.matched],
            "references": list(self.references),
        }


# -- what a library scan found --------------------------------------------------

Status = Literal["checked", "skipped", "changed", "restored", "missing", "moved", "new", "failed"]
STATUSES: tuple[Status, ...] = (
    "checked",
    "skipped",
    "changed",
    "restored",
    "missing",
    "moved",
    "new",
    "failed",
)

# A track's change against its known-good checksums.
AUDIO_CHANGED = "audio changed"
UNCHANGED_AUDIO = "unchanged audio"
# Why a FLAC file's disc is changed even with nothing stored to compare.
FLAC_MD5_MISMATCH = "audio does not match its FLAC MD5"


@dataclass(frozen=True, slots=True)
class LibraryDisc:
    """A disc found in a library.

    ``path`` is its CUE sheet when ``sheet`` is true, else its folder,
    whose audio files ``tracks`` lists in order; ``name`` is the path
    relative to the library's ``root``, which names the disc across copies
    of a library.  Paths are absolute, so that workers elsewhere can open
    them.
    """

    path: str
    name: str
    root: str
    sheet: bool
    tracks: tuple[str, ...] = ()


class FileState(NamedTuple):
    """A file of a disc as last seen: its size and modification time (ns).

    A tuple, so that a library's thousands of them are made and compared
    at the speed of tuples."""

    path: str
    size: int
    mtime: int


@dataclass(frozen=True)
class DiscOutcome:
    """What a scan found of one disc.

    ``status``: ``new`` (checked for the first time), ``checked`` (its
    checksums are new, and every track's audio equals its known-good
    checksums), ``changed`` (some track's audio differs from them, or
    ``damage`` says why the audio is damaged), ``restored`` (checked, and
    back to its known-good checksums after a change), ``moved`` (a new
    disc with the layout and checksums of a missing one, ``moved_from``
    its old path, whose history it takes over), ``skipped`` (its files are
    as stored, so the stored checksums stand), ``missing`` (stored, but
    its files are gone; ``pruned`` when its rows were dropped) or
    ``failed`` (``error`` says why).  ``result`` holds the checksums:
    the new ones, the stored ones of a skipped disc, the tracks finished
    before a failure part-way (else None).  ``changes`` holds, for each
    track of ``result``, ``AUDIO_CHANGED`` or ``UNCHANGED_AUDIO`` against
    the known-good checksums, or None when there were none to compare.
    ``accepted`` says that the user made this check's checksums the
    known-good ones.  ``files_changed`` says whether the disc's files
    differ from those stored.  With references, ``verification`` holds
    the outcome, or ``unverified`` says why there is none (the disc is not
    in the reference database, or has other tracks there).  ``files``
    holds the disc's files as they were when it was checked.
    """

    disc: LibraryDisc
    status: Status
    result: DiscResult | None = None
    changes: tuple[str | None, ...] = ()
    files_changed: bool = False
    error: str | None = None
    verification: DiscVerification | None = None
    unverified: str | None = None
    files: tuple[FileState, ...] = ()
    damage: tuple[str, ...] = ()
    accepted: bool = False
    moved_from: str | None = None
    pruned: bool = False

    @property
    def verified(self) -> bool | None:
        """Whether every track matched the references; None without any."""
        if self.verification is not None:
            return self.verification.matched
        return False if self.unverified is not None else None


def skipped_outcome(disc: LibraryDisc) -> DiscOutcome:
    """``DiscOutcome(disc, "skipped")``, as a rescan makes one for nearly
    every disc: a copy of one made once, with its disc, which costs a fifth
    of the dataclass's own __init__."""
    outcome = object.__new__(DiscOutcome)
    outcome.__dict__.update(_SKIPPED)
    outcome.__dict__["disc"] = disc
    return outcome


_SKIPPED = dict(DiscOutcome(LibraryDisc("", "", "", sheet=False), "skipped").__dict__)


@dataclass(frozen=True)
class StoredState:
    """What a library's database holds of a disc, as ``--report`` shows it.

    ``status`` is the outcome of its last check (``checked``, ``changed``
    or ``failed``), or ``missing`` when the last scan found its files
    gone; ``changes`` pairs each track's number with its change at that
    check; ``error`` says why it failed; ``checked_at`` is when its audio
    was last read in full.
    """

    path: str
    name: str
    status: str
    checked_at: str | None = None
    error: str | None = None
    changes: tuple[tuple[int, str | None], ...] = ()


def fingerprint(result: DiscResult) -> tuple[object, ...]:
    """What a disc moved elsewhere keeps: its layout and its checksums
    (version 1 at shift 0, version 2 at its offset)."""
    return (
        result.v2_offset,
        tuple(
            (track.number, track.start, track.frames, track.checksum_v1, track.checksum_v2)
            for track in result.tracks
        ),
    )


def summary(outcomes: Iterable[DiscOutcome]) -> dict[str, int]:
    """The number of discs of each status."""
    counts: dict[str, int] = dict.fromkeys(STATUSES, 0)
    for outcome in outcomes:
        counts[outcome.status] += 1
    return counts
