"""The results laid out for people and for programs: a table, and JSON.

File names come from the command line and the file system, so they need
not be valid UTF-8; they are shown with the bytes that do not decode
written as ``\\xNN``, which names the file unambiguously and prints under
any output encoding.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from orvane.isotrak.references import (
    DiscVerification,
    disc_verification_json,
    outcome_cell,
    track_verification_json,
    verdict_line,
)
from orvane.isotrak.results import DiscResult, ShiftChecksums, TrackResult

__all__ = ["format_json", "format_table", "json_chunks", "json_document", "shown_name"]


def shown_name(name: str) -> str:
    """A file name as text that any output takes, its undecodable bytes as \\xNN."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        # Lone surrogates: bytes that the file system decoder could not decode.
        name = name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    # Control characters would break a table row; show them escaped too.
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in name)


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

    Below the rows, a disc's hidden audio and skipped data tracks are told;
    with a verification, each row ends with the track's outcome and the
    last line gives the disc's verdict.
    """
    header = ["track", "file", "frames", "v1", *(_shift_label(s) for s in show_shifts), "v2"]
    if verification is not None:
        header.append("outcome")
    outcomes = {t.number: outcome_cell(t) for t in verification.tracks} if verification else {}
    rows = [header]
    for result in _tracks(disc):
        rows.append(
            [
                str(result.number),
                shown_name(result.name),
                str(result.frames),
                _hex(result.checksum_v1),
                *(_hex(result.checksums_v1[s]) for s in show_shifts),
                _hex(result.checksum_v2),
                *([outcomes[result.number]] if verification is not None else []),
            ]
        )
    widths = [max(len(row[column]) for row in rows) for column in range(len(header))]
    # Names and outcomes read best left-aligned, the numbers right-aligned.
    left = {1, len(header) - 1} if verification is not None else {1}
    lines = []
    for row in rows:
        cells = [
            cell.ljust(width) if column in left else cell.rjust(width)
            for column, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(cells).rstrip())
    if isinstance(disc, DiscResult):
        lines.extend(disc_notes(disc))
    if verification is not None:
        lines.append(verdict_line(verification))
    return "\n".join(lines)


def disc_notes(disc: DiscResult) -> list[str]:
    """What the table tells below its rows: hidden audio, skipped data tracks."""
    notes = []
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
    return {
        "track": result.number,
        "file": shown_name(result.name),
        "start": result.start,
        "frames": result.frames,
        "v1": result.checksum_v1,
        "v1_by_shift": (
            {str(shift): value for shift, value in result.checksums_v1.items()} if shifts else {}
        ),
        "v2": result.checksum_v2,
    }


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
