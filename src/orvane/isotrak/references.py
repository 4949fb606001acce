"""Reference checksums read from their files, and a rip's checksums matched
against them (``verify``).

A reference is one earlier rip of the disc, or a set of them: for each
track, candidate checksum pairs (version 1, and version 2 when known), each
with the count of rips that agree on it.  Three forms are read, told apart
by their content:

- the tool's own ``--json`` output: its per-track ``v1`` and ``v2`` are one
  candidate of count 1 (its ``v2`` only when its ``v2_offset`` is 0: a
  version 2 checksum taken at another shift is not the rip as read);
- JSON of the form ``{"tracks": [{"track": 1, "checksums": [{"v1": ...,
  "v2": ..., "count": 12}]}]}``, ``v2`` optional or null, ``count``
  optional (1);
- plain text, one line per track: ``TRACK V1 [V2]``, checksums as 8
  hexadecimal digits, ``#`` comments and blank lines allowed.

A file whose first character other than white space is ``{`` or ``[`` is
JSON; any other is plain text.  JSON checksums are integers (hexadecimal
strings are refused, as a string of digits could be read either way).

A rip's track matches at read shift s when its checksum at s equals a
candidate's: the candidate is the rip read s frames later.  ``verify``
decides this for every track and finds the disc's read offset; nothing
here prints (``report`` lays a verification out).
"""

from __future__ import annotations

import json
import os
import re
from collections import Counter
from collections.abc import Callable, Collection, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from orvane.isotrak.audio.input import reason
from orvane.isotrak.errors import (
    BadReference,
    MalformedReference,
    MismatchedReference,
    UnreadableReference,
    UsageError,
)
from orvane.isotrak.results import (
    DiscResult,
    DiscVerification,
    ShiftChecksums,
    TrackResult,
    TrackVerification,
    V1Outcome,
    V2Comparison,
    V2Outcome,
)

# Published here first; they live with the rest of the presentation now.
_MOVED_TO_REPORT = frozenset(
    ["disc_verification_json", "outcome_cell", "track_verification_json", "verdict_line"]
)

__all__ = [
    "BadReference",
    "Candidate",
    "DiscVerification",
    "MalformedReference",
    "MismatchedReference",
    "Reference",
    "TrackVerification",
    "UnreadableReference",
    "V1Outcome",
    "V2At",
    "V2Comparison",
    "V2Outcome",
    "check_references",
    "parse_reference",
    "read_reference",
    "verify",
]

_MAX_CHECKSUM = 2**32 - 1

# Far above any real reference (a few kilobytes a disc); it keeps a wrong
# file, or an endless one such as /dev/zero, from filling memory.
MAX_REFERENCE_BYTES = 16 * 2**20

# Takes {track number: shift} and returns {track number: version 2 checksum
# of that track at that shift}.
V2At = Callable[[Mapping[int, int]], Mapping[int, int]]


@dataclass(frozen=True)
class Candidate:
    """One checksum pair of a track that ``count`` earlier rips agree on."""

    v1: int
    v2: int | None = None
    count: int = 1

    def __post_init__(self) -> None:
        for value in (self.v1, self.v2):
            if value is not None and not 0 <= value <= _MAX_CHECKSUM:
                raise UsageError(f"checksum {value} is not a 32-bit unsigned integer")
        if self.count < 1:
            raise UsageError(f"count {self.count} is not positive")


@dataclass(frozen=True)
class Reference:
    """A reference: ``tracks`` maps each track number to its candidates.

    ``name`` names the reference in messages (its file, as given).  A track
    may have no candidates; then it cannot match this reference.
    """

    name: str
    tracks: Mapping[int, tuple[Candidate, ...]]


# -- reading ----------------------------------------------------------------


def read_reference(path: str | os.PathLike[str], name: str | None = None) -> Reference:
    """Read a reference file in any of the accepted forms.

    ``name`` names it in messages (by default the path).  Raises
    UnreadableReference when the file cannot be read or is not UTF-8, and
    MalformedReference when it is in none of the forms.
    """
    shown = os.fsdecode(path) if name is None else name
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_REFERENCE_BYTES + 1)
    except OSError as error:
        raise UnreadableReference(f"{shown}: cannot be read: {reason(error)}") from None
    if len(data) > MAX_REFERENCE_BYTES:
        raise MalformedReference(
            f"{shown}: more than {MAX_REFERENCE_BYTES} bytes, too large for a reference"
        )
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise UnreadableReference(f"{shown}:{line}: not UTF-8 text") from None
    return parse_reference(text, shown)


def parse_reference(text: str, name: str) -> Reference:
    """Read a reference from its text; ``name`` names it in messages."""
    if text.lstrip()[:1] in ("{", "["):
        tracks = _parse_json(text, name)
    else:
        tracks = _parse_text(text, name)
    if not tracks:
        raise MalformedReference(f"{name}: lists no tracks")
    return Reference(name, tracks)


# Nine digits at most: far beyond any disc, and well within what int() takes.
_TRACK_NUMBER = re.compile(r"[0-9]{1,9}")
_HEX_CHECKSUM = re.compile(r"[0-9A-Fa-f]{8}")


def _quote(field: str) -> str:
    return repr(field if len(field) <= 24 else field[:21] + "...")


def _parse_text(text: str, name: str) -> dict[int, tuple[Candidate, ...]]:
    tracks: dict[int, tuple[Candidate, ...]] = {}
    lines: dict[int, int] = {}
    for line_number, line in enumerate(text.split("\n"), 1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        where = f"{name}:{line_number}"
        if len(fields) > 3 or len(fields) < 2:
            raise MalformedReference(f"{where}: not a line of TRACK V1 [V2]")
        track, *checksums = fields
        if not _TRACK_NUMBER.fullmatch(track) or int(track) == 0:
            raise MalformedReference(f"{where}: track {_quote(track)} is not a positive integer")
        for field in checksums:
            if not _HEX_CHECKSUM.fullmatch(field):
                raise MalformedReference(
                    f"{where}: {_quote(field)} is not a checksum of 8 hexadecimal digits"
                )
        number = int(track)
        if number in tracks:
            raise MalformedReference(
                f"{where}: track {number} is listed twice (also on line {lines[number]})"
            )
        values = [int(field, 16) for field in checksums]
        tracks[number] = (Candidate(values[0], values[1] if len(values) == 2 else None),)
        lines[number] = line_number
    return tracks


class _Object(dict[str, object]):
    """A JSON object that remembers the first key it was given twice."""

    repeated: str | None = None


def _object(pairs: list[tuple[str, object]]) -> _Object:
    result = _Object()
    for key, value in pairs:
        if key in result and result.repeated is None:
            result.repeated = key
        result[key] = value
    return result


def _refuse_constant(constant: str) -> object:
    raise ValueError(f"{constant} is not JSON")


def _integer(digits: str) -> int:
    # Far beyond any checksum or count, and short of the digits int() refuses.
    if len(digits) > 40:
        raise ValueError(f"a number of {len(digits)} digits")
    return int(digits)


def _parse_json(text: str, name: str) -> dict[int, tuple[Candidate, ...]]:
    try:
        document = json.loads(
            text, object_pairs_hook=_object, parse_constant=_refuse_constant, parse_int=_integer
        )
    except json.JSONDecodeError as error:
        raise MalformedReference(
            f"{name}:{error.lineno}:{error.colno}: not valid JSON: {error.msg}"
        ) from None
    except ValueError as error:
        raise MalformedReference(f"{name}: not valid JSON: {error}") from None
    except RecursionError:
        raise MalformedReference(f"{name}: not valid JSON: nested too deeply") from None

    def fault(path: str, what: str) -> MalformedReference:
        return MalformedReference(f"{name}: {path}: {what}" if path else f"{name}: {what}")

    def as_object(value: object, path: str) -> _Object:
        if not isinstance(value, _Object):
            raise fault(path, "not a JSON object")
        if value.repeated is not None:
            raise fault(path, f'key "{value.repeated}" appears twice')
        return value

    def member(entry: _Object, key: str, path: str) -> object:
        if key not in entry:
            raise fault(f"{path}.{key}" if path else key, "missing")
        return entry[key]

    def as_list(value: object, path: str) -> list[object]:
        if not isinstance(value, list):
            raise fault(path, "not a list")
        return value

    def integer(value: object, path: str, low: int | None, high: int | None, what: str) -> int:
        # bool is an int to Python, never to a reference.
        if (
            isinstance(value, bool)
            or not isinstance(value, int)
            or (low is not None and value < low)
            or (high is not None and value > high)
        ):
            raise fault(path, f"not {what}")
        return value

    def checksum(value: object, path: str) -> int:
        return integer(value, path, 0, _MAX_CHECKSUM, "a 32-bit unsigned integer")

    def v2_of(entry: _Object, path: str) -> int | None:
        value = entry.get("v2")
        return None if value is None else checksum(value, f"{path}.v2")

    top = as_object(document, "")
    v2_offset = 0
    if "v2_offset" in top:
        v2_offset = integer(top["v2_offset"], "v2_offset", None, None, "an integer")
    tracks: dict[int, tuple[Candidate, ...]] = {}
    paths: dict[int, str] = {}
    for index, item in enumerate(as_list(member(top, "tracks", ""), "tracks")):
        path = f"tracks[{index}]"
        entry = as_object(item, path)
        number = integer(
            member(entry, "track", path), f"{path}.track", 1, None, "a positive integer"
        )
        if number in tracks:
            raise fault(
                f"{path}.track", f"track {number} is listed twice (also at {paths[number]})"
            )
        if ("checksums" in entry) == ("v1" in entry):
            raise fault(path, 'needs either "checksums" or "v1"')
        if "v1" in entry:
            # The tool's own output: one rip, its version 2 checksum taken at
            # the document's v2_offset.
            v1 = checksum(entry["v1"], f"{path}.v1")
            v2 = v2_of(entry, path)
            candidates = [Candidate(v1, v2 if v2_offset == 0 else None)]
        else:
            candidates = []
            for position, value in enumerate(as_list(entry["checksums"], f"{path}.checksums")):
                where = f"{path}.checksums[{position}]"
                pair = as_object(value, where)
                v1 = checksum(member(pair, "v1", where), f"{where}.v1")
                count = integer(
                    pair.get("count", 1), f"{where}.count", 1, None, "a positive integer"
                )
                candidates.append(Candidate(v1, v2_of(pair, where), count))
        tracks[number] = tuple(candidates)
        paths[number] = path
    return tracks


# -- matching ---------------------------------------------------------------


def _tracks_of(disc: DiscResult | Sequence[TrackResult]) -> tuple[TrackResult, ...]:
    return disc.tracks if isinstance(disc, DiscResult) else tuple(disc)


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def check_references(references: Sequence[Reference], track_numbers: Sequence[int]) -> None:
    """Refuse, with MismatchedReference, a reference for other tracks than
    the disc's: another number of them, or one numbered otherwise."""
    numbers = set(track_numbers)
    for reference in references:
        if len(reference.tracks) != len(numbers):
            raise MismatchedReference(
                f"{reference.name}: has {_plural(len(reference.tracks), 'track')}, "
                f"the disc {len(numbers)}"
            )
        for number in sorted(reference.tracks):
            if number not in numbers:
                raise MismatchedReference(f"{reference.name}: track {number} is not on the disc")


def _shifts_by_value(
    checksums: Mapping[int, int], values: Collection[int]
) -> Iterator[tuple[int, int]]:
    """(shift, checksum) for every shift whose checksum is one of ``values``."""
    if isinstance(checksums, ShiftChecksums):
        # A scan of the words for each value: a wide search holds millions
        # of shifts, and the candidates are few.
        for value in values:
            for shift in checksums.shifts_of(value):
                yield shift, value
        return
    for shift, checksum in checksums.items():
        if checksum in values:
            yield shift, checksum


def _match_v1(
    track: TrackResult, candidates: Sequence[Candidate], v2_known: Mapping[int, int] | None = None
) -> tuple[V1Outcome, tuple[int, ...]]:
    """The track's version 1 outcome, and its conflicts.

    ``v2_known`` maps the shifts where the track's version 2 checksum was
    taken to that checksum.  There, a candidate that agrees on version 1
    but carries another version 2 checksum is another rip: it adds nothing
    to the shift's confidence, and a shift where every agreeing candidate
    is such a one is a conflict.
    """
    known = v2_known or {}
    by_value: dict[int, list[int]] = {}
    for index, candidate in enumerate(candidates):
        by_value.setdefault(candidate.v1, []).append(index)
    by_shift = {}
    agreeing: set[int] = set()
    conflicts = []
    for shift, checksum in _shifts_by_value(track.checksums_v1, by_value.keys()):
        equal = by_value[checksum]
        if shift in known:
            equal = [
                i for i in equal if candidates[i].v2 is None or candidates[i].v2 == known[shift]
            ]
            if not equal:
                conflicts.append(shift)
        by_shift[shift] = sum(candidates[i].count for i in equal)
        agreeing.update(equal)
    shifts = tuple(sorted(by_shift))
    confidence = sum(candidates[i].count for i in agreeing)
    outcome = V1Outcome(shifts, confidence, {shift: by_shift[shift] for shift in shifts})
    return outcome, tuple(sorted(conflicts))


def _compare_v2(shift: int, checksum: int, candidates: Sequence[Candidate]) -> V2Comparison:
    return V2Comparison(shift, checksum, sum(c.count for c in candidates if c.v2 == checksum))


def verify(
    disc: DiscResult | Sequence[TrackResult],
    references: Sequence[Reference],
    v2_at: V2At | None = None,
) -> DiscVerification:
    """Match a disc's checksums against references.

    Version 1 is compared at every shift the results hold, version 2 at the
    results' ``v2_offset``.  When a track's version 1 matched, but not at
    ``v2_offset``, and a reference has a version 2 checksum for it, version
    2 is also compared at the shift version 1 matched at (the one most
    tracks share, then the one of highest confidence, then the one nearest
    0): ``v2_at`` is called once with every such track and its shift, and
    returns their version 2 checksums there.  Without ``v2_at`` those
    comparisons are left out.

    Raises MismatchedReference for a reference for other tracks than the
    disc's, UsageError for no references at all.
    """
    tracks = _tracks_of(disc)
    if not references:
        raise UsageError("verify needs at least one reference")
    check_references(references, [track.number for track in tracks])
    # A reference given twice is still one set of rips: its counts count once.
    unique: list[Reference] = []
    for reference in references:
        if reference not in unique:
            unique.append(reference)
    references = unique
    pools = [
        tuple(c for reference in references for c in reference.tracks[track.number])
        for track in tracks
    ]
    v1s = [_match_v1(track, pool)[0] for track, pool in zip(tracks, pools)]

    sharing = Counter(shift for v1 in v1s for shift in v1.shifts)
    wanted = {}
    for track, pool, v1 in zip(tracks, pools, v1s):
        if (
            v1.matched
            and track.v2_offset not in v1.confidence_by_shift
            and any(c.v2 is not None for c in pool)
        ):
            wanted[track.number] = max(
                v1.shifts,
                key=lambda s: (sharing[s], v1.confidence_by_shift[s], -abs(s), -s),
            )
    found = dict(v2_at(wanted)) if wanted and v2_at is not None else {}

    verifications = []
    for track, pool, v1 in zip(tracks, pools, v1s):
        if track.error is not None or not any(c.v2 is not None for c in pool):
            # A track that could not be read has no checksums: it matches nothing.
            verifications.append(TrackVerification(track.number, v1, None))
            continue
        comparisons = []
        if track.number in found:
            comparisons.append(_compare_v2(wanted[track.number], found[track.number], pool))
        comparisons.append(_compare_v2(track.v2_offset, track.checksum_v2, pool))
        v2 = V2Outcome(tuple(comparisons))
        final, conflicts = _match_v1(track, pool, {c.shift: c.checksum for c in comparisons})
        verifications.append(TrackVerification(track.number, final, v2, conflicts))
    return DiscVerification(tuple(verifications), tuple(r.name for r in references))


def __getattr__(name: str) -> Any:
    if name in _MOVED_TO_REPORT:
        from orvane.isotrak import report

        return getattr(report, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
