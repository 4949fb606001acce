"""What a file is by its name alone (a CUE sheet, lossless or lossy
audio) and the order people count names in: all that listing a folder
needs, without loading a parser or a decoder."""

from __future__ import annotations

import os
import re

__all__ = ["AUDIO_SUFFIXES", "LOSSY_SUFFIXES", "is_audio_name", "is_cue_sheet", "natural_key"]

# Audio files a folder's disc is made of, and the suffixes a sheet's file
# may have been re-encoded to.
# MP4 and ASF files may hold lossless audio or lossy: each file's codec decides.
AUDIO_SUFFIXES = (
    ".wav", ".wave", ".flac", ".aiff", ".aif", ".aifc",
    ".wv", ".ape", ".tak", ".tta", ".shn", ".m4a", ".mp4", ".wma",
)

# Files of lossy audio, named to say why a folder of them holds no disc.
LOSSY_SUFFIXES = (".mp3", ".ogg", ".oga", ".opus", ".aac", ".mpc")

_AUDIO = frozenset(AUDIO_SUFFIXES)


def is_audio_name(name: str) -> bool:
    """Whether a file's name (not a path) is that of an audio file a disc is
    made of: its suffix, as os.path.splitext tells it, in any case."""
    stem = name.lstrip(".")  # splitext passes over leading dots
    dot = stem.rfind(".")
    return dot > 0 and stem[dot:].lower() in _AUDIO


_DIGITS = re.compile(r"(\d+)")


def natural_key(name: str) -> list[tuple[int, int | str]]:
    """Order names as people count: track2 before track10."""
    parts = _DIGITS.split(name)
    if len(parts) == 1:  # no digits: most folder names
        return [(1, name.casefold())] if name else []
    # isdecimal, not isdigit: a superscript two is a digit that int() refuses.
    return [(0, int(part)) if part.isdecimal() else (1, part.casefold()) for part in parts if part]


def is_cue_sheet(path: str | os.PathLike[str]) -> bool:
    """Whether a path names a CUE sheet (by its .cue suffix, in any case)."""
    name = os.fspath(path)
    if os.sep in name or (os.altsep is not None and os.altsep in name):
        name = os.path.basename(name.rstrip(os.sep + (os.altsep or "")))
    # The suffix as pathlib tells it, without a Path for every name listed.
    dot = name.rfind(".")
    return 0 < dot < len(name) - 1 and name[dot:].lower() == ".cue"
