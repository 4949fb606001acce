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
    from orvane.isotrak.audio import AudioFile, PCMTrack, TrackSource, open_audio, open_track
    from orvane.isotrak.cli import main
    from orvane.isotrak.cuesheet import CueSheet, parse_cue, read_cue
    from orvane.isotrak.discs import check_disc, disc_checksums
    from orvane.isotrak.errors import (
        AmbiguousDisc,
        BadReference,
        CueError,
        IncompleteDisc,
        IsotrakError,
        IsotrakWarning,
        LibraryError,
        MalformedReference,
        MismatchedReference,
        StoreError,
        TrackError,
        UnreadableReference,
        UsageError,
    )
    from orvane.isotrak.library import check_library, find_discs, process_pool
    from orvane.isotrak.references import Candidate, Reference, read_reference, verify
    from orvane.isotrak.report import format_json, format_table
    from orvane.isotrak.results import (
        DiscOutcome,
        DiscResult,
        DiscVerification,
        LibraryDisc,
        ShiftChecksums,
        TrackResult,
        TrackVerification,
    )

__all__ = [
    "AmbiguousDisc",
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
    "IsotrakError",
    "IsotrakWarning",
    "LibraryDisc",
    "LibraryError",
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
    "UsageError",
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

# Where the names are found, lightest first: a name is imported from the
# first of these modules that exports it, when it is first used.
_HOMES = (
    "orvane._isotrak",
    "orvane.isotrak.errors",
    "orvane.isotrak.results",
    "orvane.isotrak.cli",
    "orvane.isotrak.cuesheet",
    "orvane.isotrak.references",
    "orvane.isotrak.report",
    "orvane.isotrak.audio",
    "orvane.isotrak.discs",
    "orvane.isotrak.library",
)


def __getattr__(name: str) -> Any:
    value: Any
    if name in __all__:
        for home in _HOMES:
            module = importlib.import_module(home)
            exported = getattr(module, "__all__", None)
            if name in (vars(module) if exported is None else exported):
                value = getattr(module, name)
                break
        else:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    elif not name.startswith("_") and importlib.util.find_spec(f"{__name__}.{name}") is not None:
        value = importlib.import_module(f"{__name__}.{name}")  # a module of the package
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
