"""A track's audio: files opened once and read as streams of 16-bit stereo
frames, and the track sources a user gives.

``open_audio`` tells a file's format by its content and checks its header
(formats.py); an ``AudioFile`` gives readers of its frames (base.py) made
on the one stream each format opens: WAV files and raw images as stored
(pcm.py), the formats of libsndfile decoded (libsndfile.py), every path
opened once (input.py).  ``open_reader`` reads any track source, a user's
blocks checked (blocks.py).  Every refusal is a TrackError whose message
starts with the track's name and says what the track has.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from orvane.isotrak.names import AUDIO_SUFFIXES, LOSSY_SUFFIXES
    from orvane.isotrak.audio.base import (
        READ_BYTES,
        AudioFile,
        PCMTrack,
        Reader,
        TrackSource,
        refuse_lossy,
    )
    from orvane.isotrak.audio.blocks import open_reader
    from orvane.isotrak.audio.formats import (
        file_tags,
        is_lossy_file_type,
        open_audio,
        open_track,
    )

# Each name is imported from its module when first asked for, so that a
# program needing only input.py (a library rescan) loads no decoder.
_HOMES = {
    "READ_BYTES": "orvane.isotrak.audio.base",
    "AudioFile": "orvane.isotrak.audio.base",
    "PCMTrack": "orvane.isotrak.audio.base",
    "Reader": "orvane.isotrak.audio.base",
    "TrackSource": "orvane.isotrak.audio.base",
    "refuse_lossy": "orvane.isotrak.audio.base",
    "open_reader": "orvane.isotrak.audio.blocks",
    "AUDIO_SUFFIXES": "orvane.isotrak.names",
    "LOSSY_SUFFIXES": "orvane.isotrak.names",
    "file_tags": "orvane.isotrak.audio.formats",
    "is_lossy_file_type": "orvane.isotrak.audio.formats",
    "open_audio": "orvane.isotrak.audio.formats",
    "open_track": "orvane.isotrak.audio.formats",
}


def __getattr__(name: str) -> Any:
    import importlib

    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


__all__ = [
    "AUDIO_SUFFIXES",
    "LOSSY_SUFFIXES",
    "READ_BYTES",
    "AudioFile",
    "PCMTrack",
    "Reader",
    "TrackSource",
    "file_tags",
    "is_lossy_file_type",
    "open_audio",
    "open_reader",
    "open_track",
    "refuse_lossy",
]
