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
    AUDIO_SUFFIXES,
    LOSSY_SUFFIXES,
    file_tags,
    is_lossy_file_type,
    open_audio,
    open_track,
)

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
