"""Rip verification: the Isotrak checksums of a whole disc, and its command line.

A rip is checked track by track.  Each track gets one ``Checksum`` fed in a
single pass; the version 1 checksums of every read shift from ``-search``
to ``+search`` come out of that one pass, together with the version 2
checksum of one chosen shift.

Command line: ``orvane-isotrak TRACK...`` or ``python -m orvane.isotrak``.
"""

from orvane._isotrak import Checksum
from orvane.isotrak.checksums import disc_checksums
from orvane.isotrak.cli import format_json, format_table, main
from orvane.isotrak.results import DiscResult, TrackResult
from orvane.isotrak.errors import IsotrakWarning, TrackError
from orvane.isotrak.sources import AudioFile, PCMTrack, TrackSource, open_audio, open_track

__all__ = [
    "AudioFile",
    "Checksum",
    "DiscResult",
    "IsotrakWarning",
    "PCMTrack",
    "TrackError",
    "TrackResult",
    "TrackSource",
    "disc_checksums",
    "format_json",
    "format_table",
    "main",
    "open_audio",
    "open_track",
]
