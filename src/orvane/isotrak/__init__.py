"""Rip verification: the Isotrak checksums of a whole disc, and its command line.

A rip is checked track by track.  Each track gets one ``Checksum`` fed in a
single pass; the version 1 checksums of every read shift from ``-search``
to ``+search`` come out of that one pass, together with the version 2
checksum of one chosen shift.

``verify`` matches the results against reference checksums (earlier rips)
and finds the read offset at which they agree.  ``check_library`` checks
every disc of a library on an executor and keeps the results in SQLite.

Command line: ``orvane-isotrak TRACK...`` or ``python -m orvane.isotrak``.

The names below are imported when first used, so that the command line
starts at once and a program pays only for what it uses.
"""

from __future__ import annotations

import importlib
import importlib.util
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from orvane._isotrak import Checksum
    from orvane.isotrak.cli import main
    from orvane.isotrak.cuesheet import CueError, CueSheet, parse_cue, read_cue
    from orvane.isotrak.discs import check_disc, disc_checksums
    from orvane.isotrak.errors import IncompleteDisc, IsotrakWarning, TrackError
    from orvane.isotrak.library import (
        DiscOutcome,
        LibraryDisc,
        check_library,
        find_discs,
        process_pool,
    )
    from orvane.isotrak.references import (
        BadReference,
        Candidate,
        DiscVerification,
        MalformedReference,
        MismatchedReference,
        Reference,
        TrackVerification,
        UnreadableReference,
        read_reference,
        verify,
    )
    from orvane.isotrak.report import format_json, format_table
    from orvane.isotrak.results import DiscResult, ShiftChecksums, TrackResult
    from orvane.isotrak.audio import AudioFile, PCMTrack, TrackSource, open_audio, open_track
    from orvane.isotrak.store import StoreError

__all__ = [
    "AudioFile",
    "BadReference",
    "Candidate",
    "Checksum",
    "CueError",
    "CueSheet",
    "DiscOutcome",
    "DiscResult",
    "DiscVerification",
    "IncompleteDisc",
    "IsotrakWarning",
    "LibraryDisc",
    "MalformedReference",
    "MismatchedReference",
    "PCMTrack",
    "Reference",
    "ShiftChecksums",
    "StoreError",
    "TrackError",
    "TrackResult",
    "TrackSource",
    "TrackVerification",
    "UnreadableReference",
    "check_disc",
    "check_library",
    "disc_checksums",
    "find_discs",
    "format_json",
    "format_table",
    "main",
    "open_audio",
    "open_track",
    "parse_cue",
    "process_pool",
    "read_cue",
    "read_reference",
    "verify",
]

# Where each name comes from.
_HOMES = {
    "Checksum": "orvane._isotrak",
    "main": "orvane.isotrak.cli",
    **dict.fromkeys(["CueError", "CueSheet", "parse_cue", "read_cue"], "orvane.isotrak.cuesheet"),
    **dict.fromkeys(["check_disc", "disc_checksums"], "orvane.isotrak.discs"),
    **dict.fromkeys(["IncompleteDisc", "IsotrakWarning", "TrackError"], "orvane.isotrak.errors"),
    **dict.fromkeys(
        ["DiscOutcome", "LibraryDisc", "check_library", "find_discs", "process_pool"],
        "orvane.isotrak.library",
    ),
    **dict.fromkeys(
        [
            "BadReference",
            "Candidate",
            "DiscVerification",
            "MalformedReference",
            "MismatchedReference",
            "Reference",
            "TrackVerification",
            "UnreadableReference",
            "read_reference",
            "verify",
        ],
        "orvane.isotrak.references",
    ),
    **dict.fromkeys(["format_json", "format_table"], "orvane.isotrak.report"),
    **dict.fromkeys(["DiscResult", "ShiftChecksums", "TrackResult"], "orvane.isotrak.results"),
    **dict.fromkeys(
        ["AudioFile", "PCMTrack", "TrackSource", "open_audio", "open_track"],
        "orvane.isotrak.audio",
    ),
    "StoreError": "orvane.isotrak.store",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(home), name)
    elif not name.startswith("_") and importlib.util.find_spec(f"{__name__}.{name}") is not None:
        value = importlib.import_module(f"{__name__}.{name}")  # a module of the package
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
