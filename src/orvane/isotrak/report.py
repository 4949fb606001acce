"""The results laid out for people and for programs: every table, JSON
document, verification cell and verdict line, and the library's report.

File names come from the command line and the file system, so they need
not be valid UTF-8; they are shown with the bytes that do not decode
written as ``\\xNN``, which names the file unambiguously and prints under
any output encoding.  The ``verification`` members are also what the
library's database stores of a verification.
"""

from __future__ import annotations

import json
import re
import unicodedata
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any

from orvane.isotrak.results import (
    AUDIO_CHANGED,
    UNCHANGED_AUDIO,
    DiscOutcome,
    DiscResult,
    DiscVerification,
    ShiftChecksums,
    StoredState,
    TrackResult,
    TrackVerification,
    summary,
)

__all__ = [
    "disc_notes",
    "disc_verification_json",
    "format_json",
    "format_table",
    "json_chunks",
    "json_document",
    "library_document",
    "library_json",
    "library_lines",
    "library_report",
    "outcome_cell",
    "shown_name",
    "stored_document",
    "stored_report",
    "track_document",
    "track_verification_json",
    "verdict_line",
]


def shown_name(name: str) -> str:
    """A file name as text that any output takes, its undecodable bytes as \\xNN."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        # Lone surrogates: bytes that the file system decoder could not decode.
        name = name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    if name.isprintable():
        return name
    # Control characters would break a table row; show them escaped too.
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in name)


# -- a verification ---------------------------------------------------------


def _signed(shift: int) -> str:
    return f"{shift:+d}" if shift else "0"


def _shifts_text(shifts: Sequence[int]) -> str:
    if len(shifts) <= 3:
        return ",".join(_signed(s) for s in shifts)
    return f"{len(shifts)} shifts {_signed(shifts[0])}..{_signed(shifts[-1])}"


def outcome_cell(track: TrackVerification) -> str:
    """A short text of a track's outcome, for a table: ``ok v1 +6 (12)``,
    ``ok v1 +6 (12) v2 +6 (3)``, ``ok v2 +6 (3)``, ``NO MATCH``,
    ``NO MATCH: v2 differs at +6``.  The figures in brackets are the
    confidences."""
    differs = f"v2 differs at {_shifts_text(track.conflicts)}" if track.conflicts else ""
    if not track.matched:
        return f"NO MATCH: {differs}" if differs else "NO MATCH"
    parts = ["ok"]
    if track.v1.matched:
        parts.append(f"v1 {_shifts_text(track.v1.shifts)} ({track.v1.confidence})")
    if track.v2 is not None and track.v2.matched:
        parts.append(f"v2 {_signed(track.v2.shift)} ({track.v2.confidence})")
    return " ".join(parts) + (f"; {differs}" if differs else "")


def verdict_line(disc: DiscVerification) -> str:
    """One line of the disc's verdict and the read offset found."""
    total = len(disc.tracks)
    matched = disc.matched_tracks
    if total == 1:
        head = "the track matched" if matched else "the track did not match"
    elif matched == total:
        head = f"all {total} tracks matched"
    else:
        head = f"{total - matched} of {total} tracks did not match"
    offset = disc.offset
    if matched == 0:
        return head
    if offset is not None:
        others = [shift for shift in disc.offsets if shift != offset]
        also = f" (every matched track also matches at {_shifts_text(others)})" if others else ""
        # The words are fixed, whatever the shift, so that programs can read them.
        later = ""
        if offset:
            rip, other = ("the references", "this rip") if offset > 0 else ("this rip", "the references")
            frames = "frame" if abs(offset) == 1 else "frames"
            later = f" ({rip} read {abs(offset)} {frames} later than {other})"
        return (
            f"{head}; read offset differs from the references by {_signed(offset)} frames"
            f"{later}{also}"
        )
    each = ", ".join(
        f"track {track.number} at {_shifts_text(track.shifts)}"
        for track in disc.tracks
        if track.matched
    )
    return f"{head}; the matched tracks agree on no single shift: {each}"


def track_verification_json(track: TrackVerification) -> dict[str, object]:
    """A track's ``verification`` member of the JSON output."""
    return track.document()


def disc_verification_json(disc: DiscVerification) -> dict[str, object]:
    """The disc's ``verification`` member of the JSON output."""
    return disc.document()


# -- one disc --------------------------------------------------------------------


def _hex(value: int) -> str:
    return f"{value:08X}"


def _shift_label(shift: int) -> str:
    return f"v1 {shift:+d}"


def _tracks(disc: DiscResult | Sequence[TrackResult]) -> Sequence[TrackResult]:
    return disc.tracks if isinstance(disc, DiscResult) else disc


def format_table(
    disc: DiscResult | Sequence[TrackResult],
    show_shifts: Sequence[int] = (),
    verification: DiscVerification | None = None,
) -> str:
    """Lay the results out as a table: one row per track, checksums in hex.

    A title column is there when a track has a title or performer.  A
    track that could not be read shows ``FAILED:`` and why, in place of
    its checksums.  Below the rows, a disc's title, hidden audio and
    skipped data tracks are told; with a verification, each row ends with
    the track's outcome and the last line gives the disc's verdict.
    """
    tracks = _tracks(disc)
    disc_performer = disc.performer if isinstance(disc, DiscResult) else None
    titled = any(t.title is not None or t.performer is not None for t in tracks)
    header = ["track", "file", "frames", "v1", *(_shift_label(s) for s in show_shifts), "v2"]
    if titled:
        header.append("title")
    if verification is not None:
        header.append("outcome")
    outcomes = {t.number: outcome_cell(t) for t in verification.tracks} if verification else {}
    rows = [header]
    for result in tracks:
        row = [str(result.number), shown_name(result.name), str(result.frames)]
        if result.error is not None:
            # Fewer cells: the reason runs on from the v1 column.
            row.append(f"FAILED: {shown_name(result.error)}")
        else:
            row += [
                _hex(result.checksum_v1),
                *(_hex(result.checksums_v1[s]) for s in show_shifts),
                _hex(result.checksum_v2),
                *([_title_cell(result, disc_performer)] if titled else []),
                *([outcomes[result.number]] if verification is not None else []),
            ]
        rows.append(row)
    full = [row for row in rows if len(row) == len(header)]
    widths = [
        max(_width(row[column]) for row in (rows if column < 3 else full))
        for column in range(len(header))
    ]
    # Names, titles and outcomes read best left-aligned, the numbers right-aligned.
    left = {1, *range(len(header) - titled - (verification is not None), len(header))}
    lines = []
    for row in rows:
        short = len(row) < len(header)
        cells = [
            _pad(cell, width, column in left or (short and column == len(row) - 1))
            for column, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(cells).rstrip())
    if isinstance(disc, DiscResult):
        lines.extend(disc_notes(disc))
    if verification is not None:
        lines.append(verdict_line(verification))
    return "\n".join(lines)


def _title_cell(result: TrackResult, disc_performer: str | None) -> str:
    title = shown_name(result.title or "")
    if result.performer is not None and result.performer != disc_performer:
        performer = shown_name(result.performer)
        return f"{performer} - {title}" if title else performer
    return title


def _width(text: str) -> int:
    """The columns a text takes on a terminal: wide (East Asian) characters
    and most emoji take two, combining marks none."""
    return sum(
        0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1
        for c in text
    )


def _pad(text: str, width: int, left: bool) -> str:
    room = " " * max(0, width - _width(text))
    return text + room if left else room + text


def disc_notes(disc: DiscResult) -> list[str]:
    """What the table tells below its rows: the disc's title, hidden audio,
    skipped data tracks."""
    notes = []
    if disc.title is not None or disc.performer is not None:
        by = f" by {shown_name(disc.performer)}" if disc.performer is not None else ""
        notes.append(f"disc: {shown_name(disc.title or '(no title)')}{by}")
    if disc.hidden_frames:
        seconds = disc.hidden_frames / disc.sample_rate
        notes.append(
            f"hidden audio before track {disc.tracks[0].number if disc.tracks else 1}: "
            f"{disc.hidden_frames} frames ({seconds:.2f} s), not checked as a track"
        )
    if disc.skipped_tracks:
        numbers = ", ".join(str(number) for number in disc.skipped_tracks)
        plural = "s" if len(disc.skipped_tracks) > 1 else ""
        notes.append(f"data track{plural} {numbers} skipped")
    return notes


def track_document(result: TrackResult, shifts: bool = True) -> dict[str, Any]:
    """A track as JSON data; one that could not be read has null checksums
    and its ``error``."""
    failed = result.error is not None
    document: dict[str, Any] = {
        "track": result.number,
        "file": shown_name(result.name),
        "start": result.start,
        "frames": result.frames,
        "v1": None if failed else result.checksum_v1,
        "v1_by_shift": _shift_object(result.checksums_v1) if shifts else {},
        "v2": None if failed else result.checksum_v2,
        "title": result.title,
        "performer": result.performer,
    }
    if result.error is not None:
        document["error"] = shown_name(result.error)
    return document


_SHIFT_KEYS: dict[tuple[int, int], tuple[str, ...]] = {}


def _shift_keys(start: int, stop: int) -> tuple[str, ...]:
    """The shifts from ``start`` to ``stop`` as keys, made once: the same
    for every track of a library checked at one search."""
    keys = _SHIFT_KEYS.get((start, stop))
    if keys is None:
        if len(_SHIFT_KEYS) >= 8:  # a few searches at most are in use at once
            _SHIFT_KEYS.clear()
        keys = _SHIFT_KEYS[start, stop] = tuple(map(str, range(start, stop)))
    return keys


def _shift_object(checksums: Mapping[int, int]) -> dict[str, int]:
    """The checksums by shift, keyed by the shift as text."""
    if isinstance(checksums, ShiftChecksums):
        # Packed words: read a chunk at a time, not a shift at a time.
        found: dict[str, int] = {}
        for shifts, values in checksums.chunks(_SHIFTS_A_CHUNK):
            found.update(zip(_shift_keys(shifts.start, shifts.stop), values))
        return found
    return {str(shift): value for shift, value in checksums.items()}


def json_document(
    disc: DiscResult, verification: DiscVerification | None = None, *, shifts: bool = True
) -> dict[str, Any]:
    """The results as JSON data, every version 1 shift included (with
    ``shifts``, else each v1_by_shift left empty).

    With a verification, each track and the disc get a ``verification``
    member.
    """
    tracks = [track_document(result, shifts) for result in disc.tracks]
    document: dict[str, Any] = {
        "sample_rate": disc.sample_rate,
        "search": disc.search,
        "v2_offset": disc.v2_offset,
        "hidden_frames": disc.hidden_frames,
        "skipped_tracks": list(disc.skipped_tracks),
        "title": disc.title,
        "performer": disc.performer,
        "tracks": tracks,
        "warnings": list(disc.warnings),
    }
    if verification is not None:
        outcomes = {t.number: track_verification_json(t) for t in verification.tracks}
        for entry in tracks:
            entry["verification"] = outcomes[entry["track"]]
        document["verification"] = disc_verification_json(verification)
    return document


def format_json(disc: DiscResult, verification: DiscVerification | None = None) -> str:
    """Lay the results out as JSON text."""
    return "".join(json_chunks(disc, verification))


# Stands in the document for a track's v1_by_shift until it is written out;
# JSON writes the NUL characters as \u0000, which no name or warning can
# produce between quotes.
_SHIFTS_MARK = "\0v1_by_shift {}\0"
_SHIFTS_FOUND = re.compile(r'"\\u0000v1_by_shift (\d+)\\u0000"')

# Shifts written a chunk at a time: a wide search has millions.
_SHIFTS_A_CHUNK = 8192


def json_chunks(
    disc: DiscResult, verification: DiscVerification | None = None
) -> Iterator[str]:
    """The text of format_json, a piece at a time.

    Every shift of every track is written, yet no text or Python object
    for all of them is held at once: each track's v1_by_shift is written
    as it is reached, a chunk of shifts at a time.
    """
    document = json_document(disc, verification, shifts=False)
    for number, entry in enumerate(document["tracks"]):
        entry["v1_by_shift"] = _SHIFTS_MARK.format(number)
    text = json.dumps(document, indent=2)
    written = 0
    for found in _SHIFTS_FOUND.finditer(text):
        line = text[text.rfind("\n", 0, found.start()) + 1 : found.start()]
        indent = len(line) - len(line.lstrip(" "))
        yield text[written : found.start()]
        yield from _shift_members(disc.tracks[int(found.group(1))].checksums_v1, indent)
        written = found.end()
    yield text[written:]


def _shift_members(checksums: Mapping[int, int], indent: int) -> Iterator[str]:
    """A v1_by_shift object as json.dumps(indent=2) lays it out at ``indent``."""
    if not checksums:
        yield "{}"
        return
    pad = " " * (indent + 2)
    separator = "{\n"
    for shifts, values in _chunks(checksums):
        yield separator + ",\n".join([f'{pad}"{s}": {v}' for s, v in zip(shifts, values)])
        separator = ",\n"
    yield "\n" + " " * indent + "}"


def _chunks(checksums: Mapping[int, int]) -> Iterator[tuple[Sequence[int], Sequence[int]]]:
    if isinstance(checksums, ShiftChecksums):
        yield from checksums.chunks(_SHIFTS_A_CHUNK)
        return
    items = list(checksums.items())
    for start in range(0, len(items), _SHIFTS_A_CHUNK):
        chunk = items[start : start + _SHIFTS_A_CHUNK]
        yield [shift for shift, _ in chunk], [value for _, value in chunk]


# -- a library ---------------------------------------------------------------------


def _track_documents(outcome: DiscOutcome, references: bool) -> list[dict[str, Any]]:
    if outcome.result is None:
        return []
    verifications = outcome.verification.tracks if outcome.verification is not None else ()
    documents = []
    for index, track in enumerate(outcome.result.tracks):
        document = track_document(track)
        document["change"] = outcome.changes[index] if index < len(outcome.changes) else None
        if references:
            document["verification"] = (
                track_verification_json(verifications[index]) if verifications else None
            )
        documents.append(document)
    return documents


def library_document(outcomes: Sequence[DiscOutcome], references: bool = False) -> dict[str, Any]:
    """The outcomes as JSON data: ``{"discs": [...], "summary": {...}}``.

    With ``references`` (--expect-db), each disc and track carries its
    ``verification``.
    """
    return json.loads("".join(library_json(outcomes, references)))  # type: ignore[no-any-return]


def _disc_document(outcome: DiscOutcome, references: bool) -> dict[str, Any]:
    document: dict[str, Any] = {
        "path": shown_name(outcome.disc.path),
        "status": outcome.status,
        "tracks": _track_documents(outcome, references),
    }
    result = outcome.result
    if result is not None:
        document["sample_rate"] = result.sample_rate
        document["hidden_frames"] = result.hidden_frames
        document["skipped_tracks"] = list(result.skipped_tracks)
        document["warnings"] = [shown_name(warning) for warning in result.warnings]
    if outcome.damage:
        document["damage"] = [shown_name(damage) for damage in outcome.damage]
    if outcome.accepted:
        document["accepted"] = True
    if outcome.moved_from is not None:
        document["moved_from"] = shown_name(outcome.moved_from)
    if outcome.pruned:
        document["pruned"] = True
    if outcome.status == "failed":
        document["error"] = shown_name(outcome.error or "failed")
    if references and outcome.status != "failed":
        if outcome.verification is not None:
            document["verification"] = disc_verification_json(outcome.verification)
        else:
            document["verification"] = {
                "tracks": len(document["tracks"]),
                "matched_tracks": 0,
                "offset": None,
                "error": outcome.unverified,
            }
    return document


def library_json(outcomes: Iterable[DiscOutcome], references: bool = False) -> Iterator[str]:
    """The library's JSON text, written as the outcomes arrive: compact,
    one disc a line, ``{"discs": [...], "summary": {...}}``; no disc is
    held once its line is made.

    With ``references`` (--expect-db), each disc and track carries its
    ``verification``, and the summary the discs ``matched`` and
    ``unmatched``.
    """
    counts: dict[str, int] = summary(())
    matched = unmatched = 0
    separator = '{"discs":[\n'
    for outcome in outcomes:
        counts[outcome.status] += 1
        if outcome.verified is not None:
            matched += outcome.verified
            unmatched += not outcome.verified
        yield separator + json.dumps(_disc_document(outcome, references), separators=(",", ":"))
        separator = ",\n"
    if references:
        counts["matched"], counts["unmatched"] = matched, unmatched
    yield ("\n" if separator == ",\n" else '{"discs":[') + '],"summary":' + json.dumps(
        counts, separators=(",", ":")
    ) + "}"


def _track_list(numbers: Sequence[int]) -> str:
    label = "track" if len(numbers) == 1 else "tracks"
    return f"{label} {', '.join(str(number) for number in numbers)}"


def _disc_line(outcome: DiscOutcome) -> str | None:
    """The line a disc gets in the report, or None when all is well."""
    if outcome.status == "skipped" and outcome.verified is not False:
        return None  # most discs of a rescan: nothing to say
    name = shown_name(outcome.disc.name)
    if outcome.status == "failed":
        return f"failed   {name}: {shown_name(outcome.error or '')}"
    if outcome.status == "missing":
        pruned = "; pruned" if outcome.pruned else ""
        return f"missing  {name}: its files are gone{pruned}"
    parts: list[str] = []
    tracks = outcome.result.tracks if outcome.result is not None else ()
    changed = [t.number for t, c in zip(tracks, outcome.changes) if c == AUDIO_CHANGED]
    same = [t.number for t, c in zip(tracks, outcome.changes) if c == UNCHANGED_AUDIO]
    parts.extend(shown_name(damage) for damage in outcome.damage)
    if changed and (outcome.status == "changed" or outcome.accepted):
        parts.append(f"audio changed in {_track_list(changed)}")
    elif outcome.status == "changed" and not outcome.damage:
        parts.append("its tracks changed")
    if outcome.accepted:
        parts.append("accepted as known-good")
    if outcome.status == "moved" and outcome.moved_from is not None:
        parts.append(f"moved from {shown_name(outcome.moved_from)}")
    if outcome.status == "restored":
        parts.append("audio back to its known-good checksums")
    if outcome.files_changed and same:
        parts.append(f"files changed, unchanged audio in {_track_list(same)}")
    if outcome.verified is False:
        # The line names the disc already: a reason naming it too says it once.
        parts.append(
            verdict_line(outcome.verification)
            if outcome.verification is not None
            else shown_name(outcome.unverified or "").removeprefix(f"{name}: ")
        )
    if not parts:
        return f"new      {name}" if outcome.status == "new" else None
    return f"{outcome.status:<8} {name}: {'; '.join(parts)}"


def library_report(outcomes: Iterable[DiscOutcome]) -> str:
    """The library's report: a line for each disc that failed, changed or
    did not match, and a summary."""
    return "".join(library_lines(outcomes))


def library_lines(outcomes: Iterable[DiscOutcome]) -> Iterator[str]:
    """The library's report as the outcomes arrive: a line (with its
    newline) for each disc that failed, changed or did not match, then the
    summary (without one)."""
    counts: dict[str, int] = summary(())
    total = matched = verified = 0
    for outcome in outcomes:
        total += 1
        counts[outcome.status] += 1
        if outcome.verified is not None:
            verified += 1
            matched += outcome.verified
        line = _disc_line(outcome)
        if line is not None:
            yield line + "\n"
    summary_line = _summary_line(total, counts)
    if verified:
        summary_line += f"; {matched} of {verified} matched the reference database"
    yield summary_line


def _summary_line(total: int, counts: Mapping[str, int]) -> str:
    """``N discs: ...``: the four counts always told, the others when any."""
    discs = "disc" if total == 1 else "discs"
    line = (
        f"{total} {discs}: {counts['checked']} checked, "
        f"{counts['skipped']} skipped as unchanged, {counts['changed']} changed, "
        f"{counts['failed']} failed"
    )
    for status in ("restored", "missing", "moved", "new"):
        if counts.get(status):
            line += f", {counts[status]} {status}"
    return line


def _stored_line(state: StoredState) -> str:
    name = shown_name(state.name)
    if state.status == "failed":
        return f"failed   {name}: {shown_name(state.error or '')}"
    changed = [number for number, change in state.changes if change == AUDIO_CHANGED]
    if state.status == "changed" and changed:
        return f"changed  {name}: audio changed in {_track_list(changed)}"
    return f"{state.status:<8} {name}"


def stored_report(states: Iterable[StoredState], counts: dict[str, int]) -> Iterator[str]:
    """The stored state of a database, a line a disc and a summary, as
    it is read; ``counts`` is filled with the discs of each status."""
    total = 0
    for state in states:
        total += 1
        counts[state.status] = counts.get(state.status, 0) + 1
        yield _stored_line(state) + "\n"
    parts = ", ".join(f"{count} {status}" for status, count in counts.items())
    yield f"{total} {'disc' if total == 1 else 'discs'} stored" + (f": {parts}" if parts else "")


def stored_document(states: Iterable[StoredState], counts: dict[str, int]) -> Iterator[str]:
    """The stored state of a database as JSON text, a disc at a time:
    ``{"discs": [{"path", "name", "status", "checked_at", "error",
    "tracks": [{"track", "change"}]}], "summary": {status: n}}``."""
    yield '{\n  "discs": ['
    separator = "\n"
    for state in states:
        counts[state.status] = counts.get(state.status, 0) + 1
        document = {
            "path": shown_name(state.path),
            "name": shown_name(state.name),
            "status": state.status,
            "checked_at": state.checked_at,
            "error": None if state.error is None else shown_name(state.error),
            "tracks": [{"track": number, "change": change} for number, change in state.changes],
        }
        yield separator + "    " + json.dumps(document)
        separator = ",\n"
    yield ("\n  " if separator != "\n" else "") + '],\n  "summary": ' + json.dumps(counts) + "\n}"
